#pragma once

namespace runtime {
// Brings every module of the run-time up once, in the fixed start-up order.
void init();
}
