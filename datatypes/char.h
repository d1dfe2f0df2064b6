// char!: one Unicode codepoint. It registers integer! as its parent (random, absolute, even?
// and odd? come from there) and does range-checked arithmetic on its codepoint.
//
// Cell: data1 the codepoint (0 to 0x10FFFF); data2 and data3 unused (zero).
#pragma once

#include <cstdint>

#include "datatypes/cell.h"

namespace char_ {

constexpr int32_t kMax = 0x10FFFF;

Cell* make_at(Cell* c, int32_t codepoint);
Cell* make_in(Node block, int32_t codepoint);
Cell* push(int32_t codepoint);
// Result slot := char!.
Cell* box(int32_t codepoint);

// The binary actions (op 0 add ... 7 xor) on the current frame's two arguments, computed in
// 64 bits; a result outside 0 to 0x10FFFF raises math overflow.
void do_math(int op);

// make and to (one routine).
Cell* make(Cell* proto, Cell* spec, int type);
int form(const Cell* value, Node buffer, const Cell* part, int limit);
int mold(const Cell* value, Node buffer, bool only, bool all, bool flat, const Cell* part, int limit, int indent);
int compare(const Cell* a, const Cell* b, int op);
void add(const int32_t* refs);
void divide(const int32_t* refs);
void multiply(const int32_t* refs);
void remainder(const int32_t* refs);
void subtract(const int32_t* refs);
void and_(const int32_t* refs);
void or_(const int32_t* refs);
void xor_(const int32_t* refs);

void init();

}  // namespace char_
