// BMP files, read and written by hand.
//
// Read: the core (12-byte) and info headers of 40, 52, 56, 64, 108 and 124 bytes; 1, 4 and 8 bits
// per pixel through a palette, 16, 24 and 32 bits; uncompressed, RLE8, RLE4 and bit-field
// layouts; rows bottom-up or (negative height) top-down. 32-bit pixels without an alpha mask are
// opaque; pixels that run-length data skips are transparent.
//
// Written: a 14-byte file header and a 124-byte version 5 info header, 32 bits per pixel with bit
// fields R 0x00FF0000, G 0x0000FF00, B 0x000000FF and A 0xFF000000, rows bottom-up, so the
// alpha channel survives a round trip.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "services/imaging.h"

namespace bmp {

constexpr uint32_t kFileHeader = 14;
constexpr uint32_t kInfoHeaderV5 = 124;

bool decode(const uint8_t* data, size_t n, imaging::Sink& sink);
bool encode(const uint8_t* pixels, int width, int height, std::vector<uint8_t>& out);

}  // namespace bmp
