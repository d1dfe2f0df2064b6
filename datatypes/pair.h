// pair! values: two 32-bit integers written as 3x4. Cell: data2 x, data3 y.
#pragma once

#include <cstdint>

#include "datatypes/cell.h"

namespace pair {

Cell* make_at(Cell* c, int32_t x, int32_t y);
inline int32_t x_of(const Cell* c) { return c->i2(); }
inline int32_t y_of(const Cell* c) { return c->i3(); }

// random: /seed seeds with x xor y (unset result); else each component as integer! random.
void random(const int32_t* refs);
int form(const Cell* value, Node buffer, const Cell* part, int limit);
int mold(const Cell* value, Node buffer, bool only, bool all, bool flat, const Cell* part, int limit, int indent);
int compare(const Cell* a, const Cell* b, int op);

void init();

}  // namespace pair
