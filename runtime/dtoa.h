// Correctly rounded conversion between 64-bit floats and decimal text, locale-free.
#pragma once

#include <cstdint>

namespace dtoa {

// Decimal-point positions that mark a final text instead of digits.
constexpr int kSpecial = 9999;  // infinities and NaN: "1.#INF", "-1.#INF", "1.#NaN"
constexpr int kZero = 9998;     // "0.0" / "-0.0" with keep_zero, else "0" / "-0"
// Room that every text of this module fits in, NUL included.
constexpr int kTextSize = 64;

// Decimal digits of v, meaning 0.d1d2...dn times 10 to the power *pos, without leading or
// trailing zeros. digits <= 0 asks for the shortest digits that read back to v; digits > 0 for
// at most that many significant digits (capped at 40), correctly rounded. *sign is v's sign
// bit. A negative value's text starts with '-'; *len counts the whole text. For infinities, NaN
// and zero *pos is kSpecial or kZero and the text is final. The text lives in a buffer that the
// next call overwrites.
const char* dtoa(double v, int digits, int* pos, bool* sign, int* len, bool keep_zero);

// Layout of the digits of dtoa: fixed notation for values from 1e-7 to below 1e17, otherwise
// d.ddd e exponent (1.5e20, 1.0e-8); a text that ends in its point gets "0" (keep_point_zero) or
// loses the point. mold of float! uses digits 0 with the flag, the seconds of time! 6 without.
// Writes into out (kTextSize bytes, NUL-terminated) and returns the length.
int form_float(double v, int digits, bool keep_point_zero, char* out);
// Same text in a buffer that the next call overwrites.
const char* form_float(double v, int digits, bool keep_point_zero);
// The layout of form_float with the shortest digits that read back to the same 32-bit float.
int form_float32(float v, bool keep_point_zero, char* out);

// Reads the decimal text in [first, end) (no terminator needed): optional sign, digits with an
// optional point, then an exponent when 'e' or 'E' is followed by more text; "1.#INF",
// "-1.#INF" and "1.#NaN" read back as the special values. extra_exp is added to the decimal
// exponent (the lexer passes -2 for percent literals). The result is the nearest double;
// beyond the range of doubles it is an infinity, far below it zero. *left receives the number of
// characters after the last one read.
double strtod(const char* first, const char* end, int extra_exp, int* left);

}  // namespace dtoa
