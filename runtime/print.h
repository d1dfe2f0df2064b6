// Typed printing: diagnostics and run-time reports printed from machine values, with no values
// of the language involved.
#pragma once

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
}  // namespace print

namespace cstring {
bool equal_q(const char* a, const char* b);
}
