// The base-2, base-16, base-58 and base-64 encoders and decoders of binary data behind the
// enbase and debase natives.
#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/memory.h"

namespace binary {

// Encoders: write the text of count source bytes at dest and return the end of what they wrote.
// dest must have room for the sizes enbase computes. Base 64 uses the standard alphabet with "="
// padding and no line breaks; base 16 upper-case digits; base 2 eight digits a byte, most
// significant bit first; base 58 the Bitcoin alphabet with a "1" per leading zero byte.
uint8_t* encode_2(uint8_t* dest, const uint8_t* source, size_t count);
uint8_t* encode_16(uint8_t* dest, const uint8_t* source, size_t count);
uint8_t* encode_58(uint8_t* dest, const uint8_t* source, size_t count);
uint8_t* encode_64(uint8_t* dest, const uint8_t* source, size_t count);

// Decoders over codepoints in units of 1, 2 or 4 bytes (length in characters): a new byte series
// (node), or 0 when the text is not valid in the base. A ";" starts a comment up to the next
// line feed. Characters above 127 make base-2, base-16 and base-64 text invalid and end base-58
// text.
Node decode_2(const uint8_t* text, int32_t length, uint32_t unit);
Node decode_16(const uint8_t* text, int32_t length, uint32_t unit);
Node decode_58(const uint8_t* text, int32_t length, uint32_t unit);
Node decode_64(const uint8_t* text, int32_t length, uint32_t unit);

}  // namespace binary
