// Text conversion between string buffers (codepoints in units of 1, 2 or 4 bytes) and the two
// external encodings, UTF-8 and UTF-16LE; display width of codepoints in terminal cells.
//
// Every decoder is bounded by the end of its input and never reads past it. Functions that may
// allocate can move any series buffer: a source held in a series is therefore passed as
// (node, byte offset), never as an address, and addresses returned into a series are valid only
// until the next allocation.
//
// A string value cell is: type in the header, data1 = head index in units, data2 = buffer node,
// data3 = 0 or the node of the string's conversion buffer (a byte series reused by every
// conversion of that string to UTF-8 or UTF-16). A value passed to a function that allocates
// must be where the collector finds it (the data stack, a collector::Root).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "datatypes/cell.h"

namespace unicode {

// One codepoint of a text in units of 1, 2 or 4 bytes (little-endian), read or written in place.
inline uint32_t get_unit(const uint8_t* p, uint32_t unit) {
    switch (unit) {
        case 1: return *p;
        case 2: return uint32_t(p[0]) | (uint32_t(p[1]) << 8);
        default: {
            uint32_t v;
            std::memcpy(&v, p, 4);
            return v;
        }
    }
}
inline void put_unit(uint8_t* p, uint32_t unit, uint32_t cp) {
    switch (unit) {
        case 1: *p = static_cast<uint8_t>(cp); break;
        case 2:
            p[0] = static_cast<uint8_t>(cp);
            p[1] = static_cast<uint8_t>(cp >> 8);
            break;
        default: std::memcpy(p, &cp, 4); break;
    }
}

constexpr uint32_t kMaxCodepoint = 0x10FFFF;
// Set on a buffer filled from UTF-16 input.
constexpr uint32_t kUtf16Loaded = 0x00040000;

// ---- Decoding and counting UTF-8 ----

// Table-driven strict decoder for hot paths (counting, skipping). Stores the codepoint, or -1
// for an invalid or cut sequence, and returns the position after the bytes read (at most end).
const uint8_t* fast_decode_utf8_char(const uint8_t* p, const uint8_t* end, int32_t* cp);
// Characters in [start, end): each decoder step counts one, valid or not.
int32_t count_chars(const uint8_t* start, const uint8_t* end);
// Position after at most n characters, stopping at end.
const uint8_t* skip_chars(const uint8_t* p, const uint8_t* end, int32_t n);
// 4, 3 or 2 for a lead byte with that many top bits set, else 0.
int utf8_lead_size(uint8_t byte);
// Decodes one character of the *remaining bytes at p. Returns the codepoint and sets *remaining
// to the sequence length, or returns -1 (leaving *remaining alone) when the input ends inside a
// sequence that more bytes could still complete. Overlong forms and the surrogates outside
// 0xDC00-0xDCFF are accepted. Anything else invalid raises access invalid-utf8 with the bytes
// at p (at most 4, never past the input) as a binary! argument.
int32_t decode_utf8_checked(const uint8_t* p, int32_t* remaining);
// Raises access invalid-utf8 with the bytes at p (the first 4 at most of the available ones)
// as a binary! argument; p may point into a series buffer.
[[noreturn]] void fire_invalid_utf8(const uint8_t* p, int32_t available);

// ---- Encoding UTF-8 ----

// 1-4; script invalid-char above 0x10FFFF.
int cp_utf8_size(uint32_t cp);
// Bytes that the units in [start, end) take as UTF-8 (invalid-char above 0x10FFFF).
int64_t utf8_length(const uint8_t* start, const uint8_t* end, uint32_t unit);
// Writes 1-4 bytes and returns their number; invalid-char above 0x10FFFF.
int cp_to_utf8(uint32_t cp, uint8_t* dst);
// Writes only the bytes of the sequence that fit in `left` (a cut last codepoint keeps its first
// bytes); returns the number written, 0 when left <= 0.
int cp_to_utf8_limit(uint32_t cp, uint8_t* dst, int64_t left);
// Appends the UTF-8 form of cp at the tail of a byte series (may move it).
void append_utf8(Node bytes, uint32_t cp);

// Conversion buffer of a string value: creates the byte series (recorded in value->data3) or
// grows it to at least `bytes`; returns its data area (valid until the next allocation).
uint8_t* scratch_buffer(Cell* value, uint32_t bytes);

// NUL-terminated UTF-8 copy of the string from its head, in its conversion buffer. *length on
// entry: characters to convert (-1 or beyond the length means all); on return: bytes written,
// NUL excluded. With crlf every line feed is written as CR LF.
const char* to_utf8(Cell* value, int32_t* length, bool crlf);
inline const char* to_utf8_cstring(Cell* value, int32_t* length) {
    *length = -1;
    return to_utf8(value, length, false);
}
inline const char* to_utf8_part_cstring(Cell* value, int32_t* length, bool crlf = false) {
    return to_utf8(value, length, crlf);
}
// Encodes the first n characters from the head (all when n < 0 or beyond the length) into dst,
// which the caller sized with utf8_length; appends a NUL (not counted) with nul. Returns the
// bytes written.
int64_t write_utf8(const Cell* value, int32_t n, uint8_t* dst, bool nul);
// As write_utf8 but never writes more than limit bytes (NUL included): a last codepoint may be cut.
int64_t write_utf8_limit(const Cell* value, int32_t n, uint8_t* dst, int64_t limit, bool nul);

// ---- Widening a string buffer in place ----
// Each keeps the characters, their indices and the head index; the content is moved to the data
// start when the buffer is rebuilt. They return the buffer, which may have moved.
SeriesBuf* latin1_to_ucs2(Node buffer);
SeriesBuf* latin1_to_ucs4(Node buffer);
SeriesBuf* ucs2_to_ucs4(Node buffer);
// Widens to `unit` (2 or 4) when the buffer's unit is narrower; reserves room for extra_bytes
// more bytes after the tail in the same step.
SeriesBuf* widen(Node buffer, uint32_t unit, uint32_t extra_bytes = 0);

// ---- Loading external text into string buffers ----

// Where input bytes live: memory that never moves (ptr), or a series (node + byte offset from
// its data start), fetched again after every allocation.
struct Source {
    const uint8_t* ptr = nullptr;
    Node node = 0;
    uint32_t offset = 0;
    const uint8_t* at() const { return node ? memory::nodes[node]->data() + offset : ptr; }
    static Source external(const void* p) { return Source{static_cast<const uint8_t*>(p), 0, 0}; }
    static Source in_series(Node n, uint32_t byte_offset) { return Source{nullptr, n, byte_offset}; }
};

// Appends UTF-8 text to the target buffer (or to a new 1-byte string when target is 0), using
// the narrowest unit the codepoints need, and returns the buffer's node. A leading byte order
// mark is skipped. With crlf, CR LF becomes LF and a lone CR becomes LF. A sequence cut by the
// end of the input stops the load before it: its bytes are reported in *remaining (when given).
// On an invalid sequence the target keeps its old characters and invalid-utf8 is raised.
Node load_utf8(Source src, uint32_t length, Node target, bool crlf, uint32_t* remaining = nullptr);
inline Node load_utf8_new(const uint8_t* p, uint32_t length, bool crlf, uint32_t* remaining = nullptr) {
    return load_utf8(Source::external(p), length, 0, crlf, remaining);
}
inline Node load_utf8_into(Node target, const uint8_t* p, uint32_t length, bool crlf, uint32_t* remaining = nullptr) {
    return load_utf8(Source::external(p), length, target, crlf, remaining);
}

// Unit width (1, 2 or 4) that `units` UTF-16LE units need.
uint32_t utf16_width(const uint8_t* src, uint32_t units);
// Fills a string from `units` UTF-16LE units: a new buffer when target is null, else the target
// value's buffer, whose content is replaced. With no source (src.ptr and src.node both 0) the
// input is the target's conversion buffer. With cr every carriage return is dropped. A high
// surrogate not followed by a low one raises access invalid-utf8 with the offending bytes,
// before anything is changed. Returns the buffer's node.
Node load_utf16(Source src, uint32_t units, Cell* target, bool cr);

// ---- Encoding UTF-16LE ----

// Units written: 1 below 0x10000, 2 (a surrogate pair) up to 0x10FFFF, 0 above.
int cp_to_utf16(uint32_t cp, uint16_t* dst);
// Bytes beyond 2 per character that a UTF-16 copy of [start, end) needs (line feeds for CR LF,
// codepoints above 0xFFFF).
int64_t utf16_size(const uint8_t* start, const uint8_t* end, uint32_t unit);
// NUL-terminated UTF-16LE copy in the string's conversion buffer, or null when a codepoint above
// 0x10FFFF is met. *length: characters in (-1 = all), 16-bit units written out (NUL excluded).
const uint16_t* to_utf16_part(Cell* value, int32_t* length, bool crlf);
inline const uint16_t* to_utf16(Cell* value) {
    int32_t n = -1;
    return to_utf16_part(value, &n, true);
}

// ---- Display width ----

// True when cp lies in one of the inclusive ranges of a flat (low, high, ...) table of `count`
// 32-bit values in ascending order.
bool interval_search(uint32_t cp, const uint32_t* table, uint32_t count);
// Terminal cells a codepoint takes: 0 for NUL and combining marks, 2 for East Asian wide and
// fullwidth characters, 1 for everything else (control characters included).
int char_width(uint32_t cp);
// As char_width, but East Asian ambiguous characters take 2 cells.
int char_width_cjk(uint32_t cp);

}  // namespace unicode
