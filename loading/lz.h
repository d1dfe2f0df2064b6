// The LZ block codec of packed data blocks (binary images and embedded data).
//
// Stream: a 4-byte little-endian packed size P, a 4-byte unpacked size U, then P bytes of blocks.
// Each block: a 4-byte output length (1 to 0x100000) and an LSB-first bit stream of items, ended
// by 7 zero bits and padded to a byte. An item is a 0 bit and a literal byte, or a 1 bit, a length code (3 to 566 bytes) and a
// distance code (1 to 0x40000 bytes back).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace compress {

// Packs n bytes into out, which has room for n bytes: answers the stream length (P + 8), or -1
// when the input is shorter than 128 bytes or the stream would not be at least 8 bytes smaller.
int64_t compress(const uint8_t* in, size_t n, uint8_t* out);

// Unpacks a stream of size bytes into out. False (out emptied) when the stream is truncated, a
// block length or a distance is out of range, a match runs past its block, or the bytes produced
// are not the U the header gives. Output grows block by block, so a forged U costs nothing.
bool decompress(const uint8_t* stream, size_t size, std::vector<uint8_t>& out);

}  // namespace compress
