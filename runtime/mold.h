// Indentation of molded text.
#pragma once

#include "runtime/memory.h"

namespace mold {

// Appends four spaces n times; returns limit - 4n.
int indent(Node buffer, int n, int limit);

}  // namespace mold
