// Typed printing: diagnostics and run-time reports printed from machine values, with no values
// of the language involved.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>

struct Typed {
    enum Kind : int { Logic = 1, Integer = 2, Byte = 3, Float32 = 4, Float64 = 5, Text = 6, Hex = 7 };
    int kind;
    int64_t i;
    double f;
    const char* s;

    static Typed logic(bool b) { return {Logic, b ? 1 : 0, 0, nullptr}; }
    static Typed integer(int64_t v) { return {Integer, v, 0, nullptr}; }
    static Typed byte(unsigned char c) { return {Byte, c, 0, nullptr}; }
    static Typed float32(float v) { return {Float32, 0, v, nullptr}; }
    static Typed float64(double v) { return {Float64, 0, v, nullptr}; }
    static Typed text(const char* t) { return {Text, 0, 0, t}; }
    static Typed hex(uint32_t v) { return {Hex, v, 0, nullptr}; }
};

// The values one after another, then a line end.
void print_line(std::initializer_list<Typed> items);
namespace print {
// The values one after another, no line end.
void typed(std::initializer_list<Typed> items);
// The values with one space after each but the last, unless it already ends in white space.
void typed_spaced(std::initializer_list<Typed> items);
void typed_list(std::initializer_list<Typed> items, bool separate);
void byte(unsigned char c);
void char_literal(unsigned char c);
void cstring_part(const char* text, int n);

// Strings of one unit width, by their text and length in bytes; the _line forms end with LF.
// Strings of 1- and 2-byte units have their ANSI sequences carried out on a terminal; 4-byte units
// are written without that.
void latin1(const void* text, size_t bytes);
void latin1_line(const void* text, size_t bytes);
void ucs2(const void* text, size_t bytes);
void ucs2_line(const void* text, size_t bytes);
void ucs4(const void* text, size_t bytes);
void ucs4_line(const void* text, size_t bytes);
// Writes the bytes as they are, then hands them to the text hooks; returns the text.
const char* cstring(const char* text);
// Numbers in fixed formats: "%i", "%02X", "%08X", "%.16g", "%.7g". Each is printed and then handed
// to the text hooks.
void integer(int32_t v);
void hex_byte(uint8_t v);
void hex(uint32_t v);
void float_(double v);
void float32(float v);
void formatted(const char* text, size_t n);
// The "%.16g" and "%.7g" forms, locale-free; returns the length written (at most 31 bytes + NUL).
size_t format_float(double v, int digits, char* out);
}  // namespace print

namespace cstring {
bool equal_q(const char* a, const char* b);
}
