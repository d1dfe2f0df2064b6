// pair! values: two 32-bit integers written as 3x4. Cell: data2 x, data3 y.
//
// Arithmetic stays in the integers while it can; a result that leaves them (an overflow, an
// inexact quotient, a product or quotient with a float) is a point2D!.
#pragma once

#include <cstdint>

#include "datatypes/cell.h"
#include "datatypes/datatype.h"

namespace pair {

Cell* make_at(Cell* c, int32_t x, int32_t y);
Cell* make_in(Node block, int32_t x, int32_t y);
Cell* push(int32_t x, int32_t y);
inline int32_t x_of(const Cell* c) { return c->i2(); }
inline int32_t y_of(const Cell* c) { return c->i3(); }
// Rewrites argument `index` (0 or 1) of the current call as the point2D! of its pair.
void to_point(int index);

// make and to (one routine; the prototype is ignored).
Cell* make(Cell* proto, Cell* spec, int type);
// Arithmetic and bitwise operations (op 0 add ... 7 xor) with the pair in argument 0 and the
// result there.
void do_math(int op);
void negate(const int32_t* refs);
// random: /seed seeds with x xor y (unset result); else each component as integer! random.
void random(const int32_t* refs);
Cell* eval_path(PathStep& step, Cell* out);
int form(const Cell* value, Node buffer, const Cell* part, int limit);
int mold(const Cell* value, Node buffer, bool only, bool all, bool flat, const Cell* part, int limit, int indent);
int compare(const Cell* a, const Cell* b, int op);

void init();

}  // namespace pair
