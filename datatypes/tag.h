// tag! values: strings written in angle brackets (<a href="x">).
#pragma once

#include "datatypes/cell.h"

namespace tag {

int form(const Cell* value, Node buffer, const Cell* part, int limit);
int mold(const Cell* value, Node buffer, bool only, bool all, bool flat, const Cell* part, int limit, int indent);

void init();

}  // namespace tag
