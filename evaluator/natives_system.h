// Natives that reach the operating system or the evaluator's machinery.
#pragma once

#include <cstdint>

namespace natives {

void to_local_file(int check, const int32_t* refs);
void wait(int check, const int32_t* refs);
void size_q(int check, const int32_t* refs);
void set_env(int check, const int32_t* refs);
void get_env(int check, const int32_t* refs);
void list_env(int check, const int32_t* refs);
void now(int check, const int32_t* refs);
void call(int check, const int32_t* refs);
void browse(int check, const int32_t* refs);
void recycle(int check, const int32_t* refs);
void transcode(int check, const int32_t* refs);
void apply(int check, const int32_t* refs);

}  // namespace natives
