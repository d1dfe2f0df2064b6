// email! values: strings written as they are (user@host).
#pragma once

#include "datatypes/cell.h"

namespace email {

int mold(const Cell* value, Node buffer, bool only, bool all, bool flat, const Cell* part, int limit, int indent);

void init();

}  // namespace email
