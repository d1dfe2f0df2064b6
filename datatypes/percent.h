// percent! values: a float! whose text ends in "%" (50% holds 0.5). The double sits where a
// float! keeps it, so float! code reads a percent! unchanged.
#pragma once

#include <cstdint>

#include "datatypes/cell.h"

namespace percent {

Cell* make_at(Cell* c, double d);
// The same from the two halves of the double's bit pattern, the high half first.
Cell* make_at_bits(Cell* c, uint32_t high, uint32_t low);
Cell* make_in(Node block, uint32_t high, uint32_t low);
Cell* push(double d);
Cell* push_bits(uint32_t high, uint32_t low);
// Result slot := percent!.
Cell* box(double d);
inline double get_value(const Cell* c) { return c->f(); }

int form(const Cell* value, Node buffer, const Cell* part, int limit);
int mold(const Cell* value, Node buffer, bool only, bool all, bool flat, const Cell* part, int limit, int indent);

void init();

}  // namespace percent
