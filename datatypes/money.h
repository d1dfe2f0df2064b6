// money! values: an exact decimal of 17 integer digits and 5 decimals with an optional currency.
// Cell bytes: 0 type, header bit 14 the sign; byte 4 the currency index (0 none, else the 1-based
// position in system/locale/currencies/list); bytes 5-15 hold 22 BCD digits, two a byte, the
// odd-numbered digit in the high nibble. Digit 1 is the most significant; digits 18-22 are the
// decimals, so the amount is the 22 digits read as an integer, divided by 100000.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "datatypes/cell.h"

namespace money {

constexpr uint32_t sign_flag = 1u << 14;
constexpr int kDigits = 22;
constexpr int kIntegerDigits = 17;
// Floats at or above this magnitude have no money! amount; non-zero ones below kFloatMin neither.
constexpr double kFloatLimit = 1e17;
constexpr double kFloatMin = 1e-5;

inline uint8_t* bytes_of(Cell* c) { return reinterpret_cast<uint8_t*>(c) + 5; }
inline const uint8_t* bytes_of(const Cell* c) { return reinterpret_cast<const uint8_t*>(c) + 5; }
inline int currency_of(const Cell* c) { return static_cast<int>(c->data1 & 0xFF); }
inline void set_currency(Cell* c, int index) { c->data1 = (c->data1 & ~0xFFu) | (static_cast<uint32_t>(index) & 0xFF); }
inline bool get_sign(const Cell* c) { return (c->header & sign_flag) != 0; }
inline void set_sign(Cell* c, bool negative) { c->header = negative ? (c->header | sign_flag) : (c->header & ~sign_flag); }
int get_digit(const Cell* c, int i);  // i = 1..22
void set_digit(Cell* c, int i, int d);
bool zero_q(const Cell* c);
bool negative_q(const Cell* c);  // the sign set on a non-zero amount
bool positive_q(const Cell* c);
int sign(const Cell* c);  // -1, 0 or 1

// The currency list: system/locale/currencies/list once the system object exists, else the codes
// known at start (plus those added with add_currency, for runs without the system object).
int currency_index(std::string_view code);  // 0 when unknown (or beyond what a cell can hold)
std::string currency_code(int index);        // empty when there is none
int add_currency(std::string_view code);
int currency_count();

// The lexer's constructor over single-byte text: the integer digits lie strictly between `before`
// and the point (or the end), the decimals between the point and the end; "'" is skipped;
// digits beyond 17 integer or 5 decimal places are not stored (the fraction is truncated).
// Answers false (a zero amount left in the cell) for an unknown currency code.
bool make_from_text(Cell* c, bool negative, const char* code, size_t code_length, const char* before,
                    const char* point, const char* end);
// The binary codec's constructors: the 11 digit bytes as they are.
Cell* make_from_bcd(Cell* c, bool negative, int currency, const uint8_t* digits);
Cell* push_bcd(bool negative, int currency, const uint8_t* digits);
Cell* from_integer(Cell* c, int32_t n);
// The integer part with the sign; out of the int32 range: script type-limit (integer!).
int32_t to_integer(const Cell* c);
// From a float's shortest decimal text. NaN, infinities, |x| >= 1e17 and non-zero |x| < 1e-5 raise
// script bad-make-arg; so does, when strict, a text with more than 5 decimals (else they are cut).
Cell* from_float(Cell* c, double x, bool strict);
double to_float(const Cell* c);
inline bool float_too_big_q(double x) { return !(x < kFloatLimit && x > -kFloatLimit); }
inline bool float_too_small_q(double x) { return x != 0.0 && x < kFloatMin && x > -kFloatMin; }

// money! text: "-", the currency code, "$", the integer part (with "'" between groups of three
// when separators is set), then system/options/money-digits decimals (all five when
// all_decimals is set).
std::string form_amount(const Cell* c, bool all_decimals, bool separators);

// The arithmetic of the running add, subtract, multiply, divide or remainder call, with at least
// one money! argument; the result replaces the first argument.
void do_math(int op);

// random: /seed seeds from the cell's bits (unset result); else an amount of the same sign and
// currency whose magnitude does not exceed the value's.
void random(const int32_t* refs);
int form(const Cell* value, Node buffer, const Cell* part, int limit);
int mold(const Cell* value, Node buffer, bool only, bool all, bool flat, const Cell* part, int limit, int indent);
int compare(const Cell* a, const Cell* b, int op);
// A plain number (integer!, float!, percent!, time!) against an amount: asked from the money side
// with the operator mirrored, so that a number meets any currency by its amount from either side.
int compare_number(const Cell* number, const Cell* money, int op);
// An amount against a float, exactly against the float's shortest decimal text.
int compare_float(const Cell* a, double b, int op);

void init();

}  // namespace money
