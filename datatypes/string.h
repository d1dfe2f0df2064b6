// string! buffers: codepoints in units of 1, 2 or 4 bytes. A store that does not fit the unit
// widens the whole buffer in place, one way only.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "datatypes/cell.h"

namespace string {

// Reading.
inline uint32_t get_char(const uint8_t* p, uint32_t unit) {
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
inline void put_char(uint8_t* p, uint32_t unit, uint32_t cp) {
    switch (unit) {
        case 1: *p = static_cast<uint8_t>(cp); break;
        case 2:
            p[0] = static_cast<uint8_t>(cp);
            p[1] = static_cast<uint8_t>(cp >> 8);
            break;
        default: std::memcpy(p, &cp, 4); break;
    }
}
// Characters from the value's head to the tail (0 when the head lies past the tail).
int32_t rs_length_q(const Cell* value);
// Characters from the first used unit to the tail.
int32_t rs_abs_length_q(const Cell* value);
// Clamps a head index past the tail to the tail; returns the head's byte offset.
uint32_t rs_head(Cell* value);
bool rs_tail_q(const Cell* value);
// Codepoint at an absolute character index from the first used unit.
uint32_t rs_abs_at(const Cell* value, int32_t index);
int32_t find_char(const Cell* value, uint32_t cp);
bool match_literal_q(const Cell* value, const char* literal);

// Writing characters; every one may move the buffer.
void append_char(Node buffer, uint32_t cp);
// Stores at a character index from the data start (widening above 255 in 1-byte units).
void poke_char(Node buffer, uint32_t char_index, uint32_t cp);
void overwrite_char(Node buffer, uint32_t char_index, uint32_t cp);
void insert_char(Node buffer, uint32_t char_index, uint32_t cp);
void remove_char(Cell* value, int32_t index);
void remove_part(Cell* value, int32_t index, int32_t count);
void rs_reset(Cell* value);
// Widens a buffer in place to a larger unit.
void widen(Node buffer, uint32_t unit);
void limit_tail(Node buffer, uint32_t n);

// Appending text.
void concatenate_literal(Node buffer, const char* bytes);
void concatenate_literal_n(Node buffer, const char* bytes, size_t n);
void append_utf8(Node buffer, const char* bytes, size_t n);
inline void append_utf8(Node buffer, std::string_view s) { append_utf8(buffer, s.data(), s.size()); }
// Appends the characters of a string value from its head (at most part characters when part
// is not negative).
void append_string(Node buffer, const Cell* source, int32_t part = -1);

// Appends one codepoint in molded form. Mode 253 (what string and char! molds pass) enables the
// caret escapes (^@ ^A ... ^/ ^- ^" ^^ ^~); in every mode 30, 128-159, and with all every
// codepoint above 127, are written in hexadecimal as ^(1E).
void mold_char(Node buffer, uint32_t cp, int mode, bool all);

// Making strings.
Node make_node(int32_t bytes, uint32_t unit = 1);
Cell* rs_make_at(Cell* c, int32_t bytes);
Cell* make_at_unit(Cell* c, int32_t units, uint32_t unit);
Cell* make_at(Cell* c, Node node, int32_t index = 0, uint8_t type = TYPE_STRING);
Cell* push(const Cell* value);
// A new string! from UTF-8 text.
Cell* load_at(Cell* c, const char* bytes, size_t n);
inline Cell* load_at(Cell* c, std::string_view s) { return load_at(c, s.data(), s.size()); }
Cell* load_push(std::string_view s);

// Text of a string value from its head as UTF-8 (for C++ callers: file names, messages).
std::string to_utf8(const Cell* value);
std::string to_utf8_part(const Cell* value, int32_t part);
// The whole buffer (from its head offset 0) as UTF-8.
std::string node_to_utf8(Node buffer, uint32_t from_char = 0);

// The compare action of string!: text order under a comparison operator (case-insensitive
// unless the operator is a strict one); -2 when b is not comparable.
int compare(const Cell* a, const Cell* b, int op);

// Two upper-case hexadecimal digits / 8 digits (leading zeros dropped with trim).
void byte_to_hex(uint8_t byte, char out[2]);
std::string to_hex(int32_t value, bool trim);

}  // namespace string
