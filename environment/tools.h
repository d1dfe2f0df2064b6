// The evaluation tools' run-time side: the routines behind `trace` and the trace-active test.
#pragma once

namespace eval_tools {

// Registers the routines (called once while the environment is built).
void init();

}  // namespace eval_tools
