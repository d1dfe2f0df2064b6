// ref! values: strings naming a reference, written with a leading "@" (@name).
#pragma once

#include "datatypes/cell.h"

namespace ref {

int mold(const Cell* value, Node buffer, bool only, bool all, bool flat, const Cell* part, int limit, int indent);

void init();

}  // namespace ref
