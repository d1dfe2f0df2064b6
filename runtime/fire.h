// Raising language errors from run-time code.
#pragma once

#include "catalog_ids.h"

struct Cell;

// Makes the error value of a catalog id with up to three arguments and throws it to the nearest
// try frame. Arguments not given keep the prototype's values.
[[noreturn]] void fire(ErrorId id, const Cell* arg1 = nullptr, const Cell* arg2 = nullptr,
                       const Cell* arg3 = nullptr);
