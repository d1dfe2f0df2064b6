// Natives that build values from parts, coerce series, change case and inspect or change words
// and new-line markers.
#pragma once

#include <cstdint>

namespace natives {

void construct(int check, const int32_t* refs);
void value_q(int check, const int32_t* refs);
void uppercase(int check, const int32_t* refs);
void lowercase(int check, const int32_t* refs);
void as_pair(int check, const int32_t* refs);
void as_point2D(int check, const int32_t* refs);
void as_point3D(int check, const int32_t* refs);
void as_money(int check, const int32_t* refs);
void extend(int check, const int32_t* refs);
void unset(int check, const int32_t* refs);
void new_line(int check, const int32_t* refs);
void new_line_q(int check, const int32_t* refs);
void context_q(int check, const int32_t* refs);
void as(int check, const int32_t* refs);

}  // namespace natives
