// Natives that turn data into other encodings: URL escapes, hexadecimal issues, base-N, and
// checksums and digests, and zlib, raw DEFLATE and gzip packing.
#pragma once

#include <cstdint>

namespace natives {

void dehex(int check, const int32_t* refs);
void enhex(int check, const int32_t* refs);
void to_hex(int check, const int32_t* refs);
void enbase(int check, const int32_t* refs);
void debase(int check, const int32_t* refs);
void checksum(int check, const int32_t* refs);
void compress(int check, const int32_t* refs);
void decompress(int check, const int32_t* refs);

}  // namespace natives
