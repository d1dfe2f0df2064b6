// Decimal text of the float-based values this module family writes (percent!, point2D!,
// point3D!, the seconds of time-of-day parts) and the locale-free reading of decimal text.
#pragma once

#include <cstddef>
#include <string>

namespace number_text {

// Kinds of the pretty float layout.
enum Kind { KIND_FLOAT32 = 0, KIND_FLOAT = 1, KIND_PERCENT32 = 2, KIND_PERCENT = 3, KIND_TIME = 4, KIND_POINT = 5 };

// The shortest digits (digits <= 0) or at most `digits` significant digits of v, laid out in fixed
// notation from 1e-7 to below 1e17 and as d.ddde<exp> outside; a text ending in its point gets a
// "0" (keep_point_zero) or loses the point. Infinities and NaN: "1.#INF", "-1.#INF", "1.#NaN".
std::string form_digits(double v, int digits, bool keep_point_zero);

// The pretty layout of the float-based values: 13 significant digits and a "%" for percent!,
// 16 for float!, 7 for the other 32-bit kinds.
std::string form_float(double v, Kind kind);

// A point coordinate: the shortest digits that read back to the same 32-bit float, in fixed
// notation from 1e-4 to below 1e7 and as d.ddde<exp> outside; a whole number ends in ".0", and
// both zeros are "0.0".
std::string form_coordinate(float v);

// Reads [first, end): an optional sign, digits with an optional point, an optional exponent; the
// extra exponent is added to the written one (-2 reads a percentage). The nearest double; ok is
// false when the text is not a number.
double read_decimal(const char* first, const char* end, int extra_exp, bool* ok);

}  // namespace number_text
