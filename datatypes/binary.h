// binary! values: a series of bytes, written #{0102FF}. Cell: data1 head index in bytes, data2
// the node (unit 1), data3 unused.
//
// The byte helpers below work from the head index. Those that take a Cell* may allocate: the cell
// must be where the collector finds it (the data stack, a collector::Root), and a source given
// as an address must not lie in a series buffer (copy such bytes out first), since growing the
// target may move every buffer. Addresses they return are valid until the next allocation.
#pragma once

#include <cstddef>
#include <cstdint>

#include "datatypes/cell.h"

namespace binary {

// ---- Reading ----

// Bytes from the head to the tail (0 when the head lies past the tail).
int32_t rs_length_q(const Cell* value);
// Address of the head byte (the tail when the head lies past it).
const uint8_t* rs_head(const Cell* value);
// Address past the last byte.
const uint8_t* rs_tail(const Cell* value);
// Whether the head is at or past the tail.
bool rs_tail_q(const Cell* value);
// The byte at the head; the head must be before the tail.
uint8_t get_byte(const Cell* value);
// Moves the head by n bytes (clamped to 0 .. the tail); rs_next moves it by one.
void rs_skip(Cell* value, int32_t n);
void rs_next(Cell* value);
// Whether the byte at the head is a member of a bitset (false at the tail).
bool byte_in_bitset_q(const Cell* value, const Cell* bitset);

// ---- Writing ----

// Sets the tail to the head.
void rs_clear(Cell* value);
// Appends n bytes at the tail, growing the buffer; answers where they were written.
uint8_t* rs_append(Cell* value, const uint8_t* bytes, size_t n);
// Inserts n bytes at offset bytes from the head (clamped to the tail).
void rs_insert(Cell* value, int32_t offset, const uint8_t* bytes, size_t n);
// Overwrites n bytes at offset bytes from the head, moving the tail out when they go past it.
void rs_overwrite(Cell* value, int32_t offset, const uint8_t* bytes, size_t n);
// Appends four bytes, most significant first.
void append_int32(Cell* value, uint32_t v);
// Stores an integer! or char! value as one byte (its low 8 bits); any other value raises script
// invalid-arg.
void set_byte(uint8_t* address, const Cell* value);

// ---- Making ----

// A new empty binary with room for size bytes, into c.
Cell* make_at(Cell* c, int32_t size);
// Appends such a binary to a block.
Cell* make_in(Node block, int32_t size);
// A new binary holding a copy of n bytes: into c, pushed on the data stack, appended to a block.
Cell* load_at(Cell* c, const uint8_t* bytes, size_t n);
Cell* load(const uint8_t* bytes, size_t n);
Cell* load_in(Node block, const uint8_t* bytes, size_t n);
// Pushes a copy of a binary cell (the same bytes).
Cell* push(const Cell* value);

// ---- Values as bytes ----

// The bytes a value stands for: a char! its UTF-8 bytes; an integer! one byte (-128..255, else
// script invalid-arg); a binary! its bytes from the head; a tuple! its bytes; the text types their
// UTF-8 text from the head; block!, paren! and hash! the bytes of each value in turn. part above
// 0 limits the count: in bytes, except for a block without only, where it counts values. Another
// value raises script bad-to-arg (binary!, value) with from_to, invalid-arg otherwise.
// With dest null nothing is written and the count is only measured; otherwise dest must have
// room for the measured count. Neither mode allocates, so dest may lie in a series buffer.
int64_t value_bytes(uint8_t* dest, const Cell* value, int32_t part, bool only, bool from_to = false);

// Whether the bytes from the head equal those of another binary!, or the UTF-8 bytes of a
// string!, file!, url!, tag!, email! or ref! (false for any other value). With prefix the other
// value's bytes need only equal the first bytes of the binary.
bool equal_q(const Cell* value, const Cell* other, bool prefix = false);
inline bool match_q(const Cell* value, const Cell* other) { return equal_q(value, other, true); }

// The bytes of an image!'s pixels, set by the image module (null until then: to binary! of an
// image raises bad-to-arg).
extern Cell* (*image_bytes)(Cell* out, const Cell* image);

// ---- Actions ----

Cell* to(Cell* proto, Cell* spec, int type);
int form(const Cell* value, Node buffer, const Cell* part, int limit);
int mold(const Cell* value, Node buffer, bool only, bool all, bool flat, const Cell* part, int limit, int indent);
int compare(const Cell* a, const Cell* b, int op);

// The bytes of value put at the tail (append, answering the series at its head) or at the head
// (insert, answering the series past the new bytes); part a count (negative: absent), dup the
// /dup count. Sizes beyond 31 bits raise internal no-memory before anything changes.
Cell* append(Cell* series, const Cell* value, int32_t part, bool only, int32_t dup, bool at_tail);
// The bytes of value (dup times) over those from the head: as many as are written, or part bytes
// when part is not negative; answers the series past the new bytes.
Cell* change(Cell* series, const Cell* value, int32_t part, bool only, int32_t dup);

// Frame-convention entries (datatype.h).
void append_action(const int32_t* refs);
void insert_action(const int32_t* refs);
void change_action(const int32_t* refs);
void trim_action(const int32_t* refs);
void complement_action(const int32_t* refs);
void and_(const int32_t* refs);
void or_(const int32_t* refs);
void xor_(const int32_t* refs);
// The bitwise work of and~ (6), or~ (5) and xor~ (7) on the frame's two arguments.
void do_bitwise(int op);

// Registers binary! (type 41, parent string!).
void init();

}  // namespace binary
