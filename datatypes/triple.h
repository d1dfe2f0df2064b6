// triple!: three 32-bit integers in one cell (data1, data2, data3). The run-time uses triples as
// internal markers (lexer nesting, parse frames); scripts can only form and mold them.
#pragma once

#include <cstdint>

#include "datatypes/cell.h"

namespace triple {

Cell* make_at(Cell* c, int32_t a, int32_t b, int32_t c3);
Cell* push(int32_t a, int32_t b, int32_t c3);

int form(const Cell* value, Node buffer, const Cell* part, int limit);
int mold(const Cell* value, Node buffer, bool only, bool all, bool flat, const Cell* part, int limit, int indent);

// Registers triple! (type 31, no parent).
void init();

}  // namespace triple
