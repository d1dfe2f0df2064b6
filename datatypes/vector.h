// vector!: a series of numbers of one element type packed in a byte buffer. char! and integer!
// elements are 1, 2 or 4 bytes wide, float! and percent! elements 4 or 8 (float32 or float64);
// the buffer's unit is the element width. It inherits series navigation and element access from
// string! and adds its own make, text forms, comparison, element-wise arithmetic and the putting
// actions.
//
// Cell: data1 head index in elements, data2 the buffer's node, data3 the element type id (10
// char!, 11 integer!, 12 float!, 38 percent!).
#pragma once

#include <cstdint>
#include <cstring>

#include "datatypes/cell.h"
#include "datatypes/datatype.h"

namespace vector {

inline bool float_type_q(int type) { return type == TYPE_FLOAT || type == TYPE_PERCENT; }
// The width an element type has when a spec gives none: 4 for char!/integer!, 8 for float!/percent!.
inline uint32_t default_unit(int type) { return float_type_q(type) ? 8 : 4; }

// ---- Elements ----

// The element at an address as a number: integer! elements of 1 and 2 bytes sign-extended,
// char! elements (chars) zero-extended, float32 elements widened.
inline int64_t read_int(const uint8_t* p, uint32_t unit, bool chars) {
    switch (unit) {
        case 1: return chars ? int64_t(p[0]) : int64_t(static_cast<int8_t>(p[0]));
        case 2: {
            uint16_t h;
            std::memcpy(&h, p, 2);
            return chars ? int64_t(h) : int64_t(static_cast<int16_t>(h));
        }
        default: {
            uint32_t w;
            std::memcpy(&w, p, 4);
            return chars ? int64_t(w) : int64_t(static_cast<int32_t>(w));
        }
    }
}

inline double read_float(const uint8_t* p, uint32_t unit) {
    if (unit == 4) {
        float f;
        std::memcpy(&f, p, 4);
        return f;
    }
    double d;
    std::memcpy(&d, p, 8);
    return d;
}

// The element at an address as a value of the element type, into out: integer! elements of 1 and
// 2 bytes are sign-extended, char! elements zero-extended, float32 elements widened.
Cell* get_value(const uint8_t* address, uint32_t unit, int type, Cell* out);
// Stores a value into the element at an address: a char! or integer! stores its low unit bytes
// into a char!/integer! element, a float! or percent! is stored as float32 or float64 into a
// float!/percent! element; a number of the other kind is converted (floats truncated toward zero,
// out of range raising math overflow). Any other value raises script invalid-type. Exactly `unit`
// bytes are written.
void set_value(uint8_t* address, int type, uint32_t unit, const Cell* value);

// ---- Making vectors ----

// An empty vector with room for count elements of the type and width (1, 2, 4 or 8 bytes), into
// c. A size beyond what a series can hold raises internal no-memory.
Cell* make_at(Cell* c, int32_t count, int type, uint32_t unit);
// Pushes a copy of a vector cell (the same vector) on the data stack.
Cell* push(const Cell* vec);
// A block! of the elements from the head, into out.
Cell* to_block(const Cell* vec, Cell* out);

// Elements from the head to the tail (0 when the head lies past it).
int32_t rs_length_q(const Cell* vec);
// Address of the head element and past the last element (valid until the next allocation).
uint8_t* rs_head(const Cell* vec);
uint8_t* rs_tail(const Cell* vec);
bool rs_tail_q(const Cell* vec);
// Cuts the vector at its head.
void rs_clear(const Cell* vec);
// Moves the head by n elements, or by one, when it stays within the tail; answer whether the
// head then lies at the tail.
bool rs_skip(Cell* vec, int32_t n);
bool rs_next(Cell* vec);
// Appends one element holding a 32-bit integer (stored in the element's width).
void rs_append_int(const Cell* vec, int32_t value);

// ---- Arithmetic ----

// The operation (0 add, 1 subtract, 2 multiply, 3 divide, 4 remainder, 5 or, 6 and, 7 xor) on
// the running call's two first arguments, a vector and a scalar (either first) or two vectors of
// one element type. Two vectors give a new vector as wide as the wider and as long as the
// shorter; a scalar changes the vector in place from its head. The result replaces the first
// argument.
void do_math(int op);
// The same for callers that hold the two operands: the result goes into out.
Cell* do_math_op(int op, const Cell* left, const Cell* right, Cell* out);

// ---- Actions ----

// make from a count (that many zero integers), from [type! width count [values]] (percent!
// may leave out the width; the count or the values block may be left out), or from a block of
// values whose first value gives the element type in its default width.
Cell* make(Cell* proto, Cell* spec, int type);
int form(const Cell* value, Node buffer, const Cell* part, int limit);
int mold(const Cell* value, Node buffer, bool only, bool all, bool flat, const Cell* part, int limit, int indent);
int compare(const Cell* a, const Cell* b, int op);
void add(const int32_t* refs);
void subtract(const int32_t* refs);
void multiply(const int32_t* refs);
void divide(const int32_t* refs);
void remainder(const int32_t* refs);
void and_(const int32_t* refs);
void or_(const int32_t* refs);
void xor_(const int32_t* refs);
void append(const int32_t* refs);
void insert(const int32_t* refs);
void change(const int32_t* refs);

// Registers vector! (type 35, parent string!) and installs the element routines of series!.
void init();

}  // namespace vector
