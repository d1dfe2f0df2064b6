// The numeric natives: sign tests, max and min, shift, degree-based trigonometry, logarithms.
#pragma once

#include <cstdint>

namespace natives {

void negative_q(int check, const int32_t* refs);
void positive_q(int check, const int32_t* refs);
void sign_q(int check, const int32_t* refs);
void zero_q(int check, const int32_t* refs);
void max(int check, const int32_t* refs);
void min(int check, const int32_t* refs);
void shift(int check, const int32_t* refs);
void sine(int check, const int32_t* refs);
void cosine(int check, const int32_t* refs);
void tangent(int check, const int32_t* refs);
void arcsine(int check, const int32_t* refs);
void arccosine(int check, const int32_t* refs);
void arctangent(int check, const int32_t* refs);
void arctangent2(int check, const int32_t* refs);
void NaN_q(int check, const int32_t* refs);
void log_2(int check, const int32_t* refs);
void log_10(int check, const int32_t* refs);
void log_e(int check, const int32_t* refs);
void exp(int check, const int32_t* refs);
void square_root(int check, const int32_t* refs);

}  // namespace natives

namespace math {

// An angle in degrees reduced so that multiples of 90 give exact results, in radians. Mode 0
// folds by tangent's period (180), mode 2 by sine's symmetry about 90, mode 1 leaves the angle
// within -180 .. 180.
double degrees_to_radians(double degrees, int mode);

}  // namespace math
