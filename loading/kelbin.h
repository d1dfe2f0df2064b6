// KELBIN: the binary value format. An image is a header ("KELBIN", a version byte, a flags byte),
// an optional symbol table and the records of one or more values, in plain records
// (little-endian dwords) or compact records (bytes and LEB128 varints), optionally packed with
// the LZ block codec. Shared series, contexts and functions are stored once; later occurrences
// carry a reference path to the first one, so shared and circular structures come back shared.
//
// The reader checks every count, offset and index against the real input: corrupt data raises
// script kb-invalid-record with the 1-based byte position of the fault, a type without a record
// form raises access no-codec.
#pragma once

#include <cstddef>
#include <cstdint>

#include "datatypes/cell.h"

namespace kelbin {

constexpr uint8_t kFlagCompact = 1;
constexpr uint8_t kFlagCompressed = 2;
constexpr uint8_t kFlagSymbols = 4;

// Codec mode: on for images made and read by scripts (set pairs refused, words bound by their
// owner records, decoded objects get class id -1); off for the boot image (set pairs accepted,
// words bound by context number or to the global context, class ids taken from the image).
extern bool codec_mode;

// Index in the root block of the first cell the last boot-mode decode appended.
extern int32_t literal_base;

enum Mode : int { MODE_BOOT = 0, MODE_SCRIPT = 1 };

// Decodes an image into a block: every top-level record appends one cell (a set pair none).
// length is the number of bytes available, or -1 when unknown (the body size still bounds the
// records). data must not lie in a series buffer (decoding allocates). invalid_arg is the value
// that script-mode invalid-data errors carry (none when null). Answers the index of the first
// cell appended; in boot mode it also becomes literal_base. A bad magic or unpacking failure in
// boot mode prints a line and ends the process with status 0.
int32_t decode(const uint8_t* data, int64_t length, Node block, int mode, const Cell* invalid_arg = nullptr);

// The whole image of one value, in plain (encode) or compact (encode_cp) records, as a new
// binary! written into out. Both switch codec mode on.
Cell* encode(Cell* out, const Cell* value);
Cell* encode_cp(Cell* out, const Cell* value);

// Decodes a boot image (compact, unknown length) into the root block with collection switched
// off and codec mode off. With keep_base the literal base is left as it was. Answers the index
// of literal cell 0 in the root block.
int32_t boot_load(const uint8_t* data, bool keep_base);

// The codec's decode routine: a binary! (or file!/url!, read whole) of more than 10 bytes is
// decoded in codec mode into a new block; the only value, or the block when it holds another
// number of values, goes into out.
Cell* decode_value(Cell* out, const Cell* payload);

}  // namespace kelbin
