// The environment's routines: run-time operations exposed to scripts (registered by name; the
// boot sources bind them with `routine [spec] #name`).
#pragma once

#include "datatypes/cell.h"

namespace env_routines {

void init();

}  // namespace env_routines
