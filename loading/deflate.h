// DEFLATE (raw, zlib-framed and gzip-framed) over caller-supplied buffers, without allocation.
//
// Every routine takes (out, len, in, n): out may be null only when *len is 0; *len is the
// capacity on entry and, on return, the bytes written or, after a shortage, the bytes needed, so
// that a caller can size its buffer and call again. Nothing is ever written past the capacity.
#pragma once

#include <cstddef>
#include <cstdint>

namespace compress {

enum Result : int {
    kOk = 0,
    kShort = 1,         // the output did not fit; *len holds the size needed
    kCorrupt = 2,       // bad header, check value, code table or truncated data
    kStoredShort = 3,   // a stored block longer than the rest of the input
    kBadBlockType = 4,  // block type 3
    kBadDistance = 5,   // a distance reaching before the output start
};

// One final fixed-Huffman block with greedy matching over a small hash table.
int deflate(uint8_t* out, size_t* len, const uint8_t* in, size_t n);
// Decodes every block kind. With a capacity of 0 it only measures.
int inflate(uint8_t* out, size_t* len, const uint8_t* in, size_t n);

// The 2-byte header 78 01, raw DEFLATE, the Adler-32 of the data big-endian.
int zlib(uint8_t* out, size_t* len, const uint8_t* in, size_t n);
int unzlib(uint8_t* out, size_t* len, const uint8_t* in, size_t n);
// A gzip member without optional fields, and the reader of a gzip file: one member or several
// in a row, their data joined (it skips FEXTRA, FNAME, FCOMMENT and checks FHCRC). The reader
// checks each trailer's length against the bytes really inflated, so a forged length can neither
// drive an allocation nor pass as valid.
int gzip(uint8_t* out, size_t* len, const uint8_t* in, size_t n);
int gunzip(uint8_t* out, size_t* len, const uint8_t* in, size_t n);

}  // namespace compress
