// The environment's routines: run-time operations exposed to scripts (registered by name; the
// boot sources bind them with `routine [spec] #name`).
#pragma once

#include "datatypes/cell.h"

namespace env_routines {

// Whether the last print/prin output was a print (ended with a line break).
extern bool last_print_ended_line;
// Fills the value that os-info returns (set by the OS-information module).
extern void (*os_info_hook)(Cell* out);

void init();

}  // namespace env_routines
