// Natives that decide what code runs and how often, and the natives that make functions.
#pragma once

#include <cstdint>

namespace natives {

void if_(int check, const int32_t* refs);
void unless(int check, const int32_t* refs);
void either(int check, const int32_t* refs);
void any(int check, const int32_t* refs);
void all(int check, const int32_t* refs);
void while_(int check, const int32_t* refs);
void until(int check, const int32_t* refs);
void loop(int check, const int32_t* refs);
void repeat(int check, const int32_t* refs);
void forever(int check, const int32_t* refs);
void foreach(int check, const int32_t* refs);
void forall(int check, const int32_t* refs);
void remove_each(int check, const int32_t* refs);
void func(int check, const int32_t* refs);
void function(int check, const int32_t* refs);
void does(int check, const int32_t* refs);
void has(int check, const int32_t* refs);
void switch_(int check, const int32_t* refs);
void case_(int check, const int32_t* refs);
void do_(int check, const int32_t* refs);

}  // namespace natives
