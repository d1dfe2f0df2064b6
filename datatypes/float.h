// float! text: the "pretty" form used by form (mold uses dtoa::form_float).
#pragma once

namespace float_ {

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

}  // namespace float_
