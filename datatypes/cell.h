// The value cell: a 32-bit header (type id in bits 0-7, flags above) and three 32-bit payload
// words. Nothing in a cell is a pointer: series and contexts are node handles, natives and
// actions are table indices.
#pragma once

#include <cstdint>
#include <cstring>

#include "runtime/memory.h"

enum Type : uint8_t {
    TYPE_NONE_ID = 0,
    TYPE_DATATYPE = 1,
    TYPE_UNSET = 2,
    TYPE_NONE = 3,
    TYPE_LOGIC = 4,
    TYPE_BLOCK = 5,
    TYPE_PAREN = 6,
    TYPE_STRING = 7,
    TYPE_FILE = 8,
    TYPE_URL = 9,
    TYPE_CHAR = 10,
    TYPE_INTEGER = 11,
    TYPE_FLOAT = 12,
    TYPE_SYMBOL = 13,
    TYPE_CONTEXT = 14,
    TYPE_WORD = 15,
    TYPE_SET_WORD = 16,
    TYPE_LIT_WORD = 17,
    TYPE_GET_WORD = 18,
    TYPE_REFINEMENT = 19,
    TYPE_ISSUE = 20,
    TYPE_NATIVE = 21,
    TYPE_ACTION = 22,
    TYPE_OP = 23,
    TYPE_FUNCTION = 24,
    TYPE_PATH = 25,
    TYPE_LIT_PATH = 26,
    TYPE_SET_PATH = 27,
    TYPE_GET_PATH = 28,
    TYPE_ROUTINE = 29,
    TYPE_BITSET = 30,
    TYPE_TRIPLE = 31,
    TYPE_OBJECT = 32,
    TYPE_TYPESET = 33,
    TYPE_ERROR = 34,
    TYPE_VECTOR = 35,
    TYPE_HASH = 36,
    TYPE_PAIR = 37,
    TYPE_PERCENT = 38,
    TYPE_TUPLE = 39,
    TYPE_MAP = 40,
    TYPE_BINARY = 41,
    TYPE_SERIES = 42,
    TYPE_TIME = 43,
    TYPE_TAG = 44,
    TYPE_EMAIL = 45,
    TYPE_HANDLE = 46,
    TYPE_DATE = 47,
    TYPE_PORT = 48,
    TYPE_MONEY = 49,
    TYPE_REF = 50,
    TYPE_POINT2D = 51,
    TYPE_POINT3D = 52,
    TYPE_IMAGE = 53,
    TYPE_EVENT = 54,
};

constexpr int kTypeCount = 57;  // entries of the name and action tables (0 stays empty)

namespace cell_flag {
constexpr uint32_t type_mask = 0xFF;
constexpr uint32_t newline = 0x40000000;   // mold starts a new line before this value
constexpr uint32_t owned_mark = 0x00010000;  // watched image!; owner object's context cell
}  // namespace cell_flag

struct Cell {
    uint32_t header;
    uint32_t data1;
    uint32_t data2;
    uint32_t data3;

    uint8_t type() const { return static_cast<uint8_t>(header & 0xFF); }
    void set_type(uint8_t t) { header = (header & ~0xFFu) | t; }
    // Replaces the whole header (flags cleared).
    void reset(uint8_t t) { header = t; }
    bool is(uint8_t t) const { return type() == t; }

    int32_t i1() const { return static_cast<int32_t>(data1); }
    int32_t i2() const { return static_cast<int32_t>(data2); }
    int32_t i3() const { return static_cast<int32_t>(data3); }

    // 64-bit payloads (floats, times) occupy words 2-3.
    double f() const {
        double d;
        std::memcpy(&d, &data2, sizeof d);
        return d;
    }
    void set_f(double d) { std::memcpy(&data2, &d, sizeof d); }
    int64_t i64() const {
        int64_t v;
        std::memcpy(&v, &data2, sizeof v);
        return v;
    }
    void set_i64(int64_t v) { std::memcpy(&data2, &v, sizeof v); }

    // Series values: head index (units), node, per-type extra.
    int32_t index() const { return static_cast<int32_t>(data1); }
    void set_index(int32_t i) { data1 = static_cast<uint32_t>(i); }
    Node node() const { return data2; }
    SeriesBuf* buffer() const { return memory::nodes[data2]; }
};
static_assert(sizeof(Cell) == 16);

inline void copy_cell(const Cell* from, Cell* to) { *to = *from; }

// integer! and char! keep their value in the first payload word.
inline int32_t int_of(const Cell* c) { return static_cast<int32_t>(c->data1); }
inline uint32_t cp_of(const Cell* c) { return c->data1; }

// Writes a value with a given type and payload, flags cleared.
inline Cell* set_cell(Cell* c, uint8_t type, uint32_t d1 = 0, uint32_t d2 = 0, uint32_t d3 = 0) {
    c->header = type;
    c->data1 = d1;
    c->data2 = d2;
    c->data3 = d3;
    return c;
}

// Cells of a block buffer.
inline Cell* cells_of(SeriesBuf* s) { return reinterpret_cast<Cell*>(s->data()); }
inline Cell* cells_head(SeriesBuf* s) { return reinterpret_cast<Cell*>(s->at_head()); }
inline Cell* cells_tail(SeriesBuf* s) { return reinterpret_cast<Cell*>(s->at_tail()); }

// Type groups.
namespace types {
inline bool any_word(uint8_t t) { return t >= TYPE_WORD && t <= TYPE_ISSUE; }
inline bool word_like(uint8_t t) { return t >= TYPE_WORD && t <= TYPE_REFINEMENT; }
inline bool any_path(uint8_t t) { return t >= TYPE_PATH && t <= TYPE_GET_PATH; }
inline bool any_block(uint8_t t) { return t == TYPE_BLOCK || t == TYPE_PAREN || t == TYPE_HASH || any_path(t); }
inline bool any_list(uint8_t t) { return t == TYPE_BLOCK || t == TYPE_PAREN || t == TYPE_HASH; }
inline bool any_string(uint8_t t) {
    return t == TYPE_STRING || t == TYPE_FILE || t == TYPE_URL || t == TYPE_TAG || t == TYPE_EMAIL || t == TYPE_REF;
}
inline bool any_function(uint8_t t) {
    return t == TYPE_NATIVE || t == TYPE_ACTION || t == TYPE_OP || t == TYPE_FUNCTION || t == TYPE_ROUTINE;
}
inline bool any_object(uint8_t t) { return t == TYPE_OBJECT || t == TYPE_ERROR || t == TYPE_PORT; }
inline bool series(uint8_t t) {
    return any_block(t) || any_string(t) || t == TYPE_BINARY || t == TYPE_VECTOR || t == TYPE_IMAGE;
}
inline bool number(uint8_t t) { return t == TYPE_INTEGER || t == TYPE_FLOAT || t == TYPE_PERCENT; }
}  // namespace types
