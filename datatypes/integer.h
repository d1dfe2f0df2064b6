// integer!: the 32-bit signed whole number. Arithmetic never wraps: a sum, difference, product
// or power that leaves the 32-bit range, and an inexact quotient, become float!.
//
// Cell: data1 the value; data2 and data3 unused (zero).
#pragma once

#include <cstdint>

#include "datatypes/cell.h"

namespace integer {

// Keeps the header's flags.
Cell* make_at(Cell* c, int32_t value);
Cell* make_in(Node block, int32_t value);
Cell* push(int32_t value);
// Result slot := integer!.
Cell* box(int32_t value);
// The value word of the result slot, whatever its type.
int32_t get_any();
// The result slot's value when it is an integer!, else 0.
int32_t get();
inline int32_t value(const Cell* c) { return c->i1(); }

inline int sign(int32_t n) { return (n > 0) - (n < 0); }
// |n|; -2147483648 raises math overflow.
int32_t abs(int32_t n);
// A float (float!, percent!, time! cell) that is NaN or outside -2147483648.0 .. 2147483647.0.
bool float_out_of_range_q(const Cell* f);

// Decimal text of n into out (at least 12 bytes, NUL-terminated); returns its length.
int form_signed(int32_t n, char* out);
// The same text in a buffer that the next call overwrites.
const char* form_signed(int32_t n);

// Arithmetic core on two values (op 0 add ... 7 xor). With a result cell, the result is stored
// there: as integer!, or, after an overflowing add, subtract or multiply or an inexact divide,
// as the float! of the exact operation (the function then returns 0). Division and remainder
// by 0 raise math zero-divide; -2147483648 divided by -1 raises math overflow.
int32_t do_math(int32_t left, int32_t right, int op, Cell* result);
// The binary actions: the first argument (integer!) is the left operand and the result slot,
// the second any supported right operand.
void do_math_stack(int op);

// Actions.
Cell* make(Cell* proto, Cell* spec, int type);
Cell* to(Cell* proto, Cell* spec, int type);
int form(const Cell* value, Node buffer, const Cell* part, int limit);
int mold(const Cell* value, Node buffer, bool only, bool all, bool flat, const Cell* part, int limit, int indent);
int compare(const Cell* a, const Cell* b, int op);
// random: /seed seeds with the value (unset result); else 1 .. n, n .. -1, or 0 for 0.
void random(const int32_t* refs);
void absolute(const int32_t* refs);
void add(const int32_t* refs);
void divide(const int32_t* refs);
void multiply(const int32_t* refs);
void negate(const int32_t* refs);
void power(const int32_t* refs);
void remainder(const int32_t* refs);
void round(const int32_t* refs);
void subtract(const int32_t* refs);
void even_q(const int32_t* refs);
void odd_q(const int32_t* refs);
void and_(const int32_t* refs);
void complement(const int32_t* refs);
void or_(const int32_t* refs);
void xor_(const int32_t* refs);

void init();

}  // namespace integer
