// float!: the 64-bit IEEE number, its text forms, the mixed arithmetic that integer!, percent!
// and time! share, the tolerant equality and rounding.
//
// Cell: data1 unused (zero); the double in data2-data3 (low half first). percent! and time!
// keep their double in the same place, so a cell changes between these types by its type byte.
#pragma once

#include <cstdint>

#include "datatypes/cell.h"

namespace float_ {

// ---- Text ----

// system/options/float/pretty?: tidy near-zero values and binary noise in formed floats.
extern bool pretty_print;

// What a number stands for when it is formed.
enum FormKind : int {
    kFloat32 = 0,      // vector! of 32-bit floats
    kFloat = 1,        // float!, vector! of 64-bit floats
    kPercent32 = 2,    // 32-bit percent
    kPercent = 3,      // percent! (the caller passes the number to show)
    kTimeSeconds = 4,  // seconds of a time!
    kPoint = 5,        // point2D! and point3D! coordinates
};

// Room that every formed text fits in, NUL included.
constexpr int kFormSize = 64;

// Formed text of v for the kind: "1.#INF", "-1.#INF" and "1.#NaN" for the special values;
// otherwise printed with %g at 7 (kinds 0, 2, 5), 13 (kind 3) or 16 (kind 1) digits, or with
// dtoa::form_float at 6 digits (kind 4); then, with pretty_print, values below the double
// epsilon show as zero and a long text ending in 01 or 99 is printed again with fewer digits;
// the exponent loses '+' and leading zeros; kinds 0-3 always show a point (1.0e20, 100.0);
// percent kinds end in '%'. Writes into out (kFormSize bytes) and returns the length.
int form_float(double v, int kind, char* out);
// Same text in a buffer that the next call overwrites.
const char* form_float(double v, int kind);

// ---- Values ----

Cell* make_at(Cell* c, double v);
Cell* make_in(Node block, double v);
Cell* push(double v);
Cell* push64(uint32_t high, uint32_t low);
// Result slot := float!.
Cell* box(double v);
// The double of a float!, percent! or time! cell.
inline double get(const Cell* c) { return c->f(); }

bool nan_q(double v);
// NaN or an infinity.
bool special_q(double v);
// v with its sign bit cleared.
double abs(double v);

// Equal within 10 units in the last place (or closer than the double epsilon); NaN never is,
// and an infinity only equals itself.
bool almost_equal_q(double a, double b);

// A float! cell that is NaN or outside -2147483648.0 .. 2147483647.0 raises script
// out-of-range with the value; else it answers the float truncated toward zero. Any other value
// answers its integer payload.
int32_t check_integer_range(const Cell* value);

// ---- Arithmetic ----

// The scalar core: add, subtract, multiply, divide follow IEEE (1.0 / 0.0 is infinity);
// remainder is fmod for a finite divisor, the dividend for an infinite one (NaN when the
// dividend is not finite or the divisor is NaN). Any other code raises script cannot-use.
double do_math_op(double a, double b, int op);
// A random float between 0 and x: a draw of the seeded generator scaled to 0 .. 1, or with
// secure two draws of the cryptographic source combined to 0 .. just below 1.
double random_value(double x, bool secure);
// The stack routine: the first argument is the left operand and the result slot. The result is
// time! when exactly one operand is time!, else percent! when the left one is, else float!.
void do_math(int op);

// The comparison of two numbers under an operator code (0 equal? and 1 with the tolerance of
// almost_equal_q, 2 exact, 9 identical bit patterns, ordering with NaN never ordered).
int compare_numbers(double a, double b, int op);

// Rounding modes of round, in its refinement order.
struct RoundMode {
    bool even, down, half_down, floor, ceiling, half_ceiling;
};
RoundMode round_mode(const int32_t* refs);
// v rounded to a multiple of scale (scale >= 0; 0 leaves v unchanged). A result that overflows
// to infinity from a finite v raises math overflow.
double round_to(double v, double scale, const RoundMode& mode);

// ---- Actions ----

// make and to (one routine): the target type is float! or percent!.
Cell* make(Cell* proto, Cell* spec, int type);
int form(const Cell* value, Node buffer, const Cell* part, int limit);
int mold(const Cell* value, Node buffer, bool only, bool all, bool flat, const Cell* part, int limit, int indent);
int compare(const Cell* a, const Cell* b, int op);
// random: /seed seeds with the two halves of the bit pattern xored (unset result); else
// random_value of the value.
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

void init();

}  // namespace float_

namespace float32 {
bool nan_q(float v);
bool almost_equal_q(float a, float b);
}  // namespace float32
