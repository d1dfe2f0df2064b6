// percent! values: a float! whose text ends in "%" (50% holds 0.5). The double sits where a
// float! keeps it, so float! code reads a percent! unchanged.
#pragma once

#include "datatypes/cell.h"

namespace percent {

Cell* make_at(Cell* c, double d);

int form(const Cell* value, Node buffer, const Cell* part, int limit);
int mold(const Cell* value, Node buffer, bool only, bool all, bool flat, const Cell* part, int limit, int indent);

void init();

}  // namespace percent
