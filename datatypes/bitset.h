// bitset!: a set of non-negative integers (character codepoints or plain numbers) kept as an
// array of bits. Bit n lives in byte n >> 3 at mask 0x80 >> (n & 7). The buffer's complement flag
// makes every bit past the end of the array a member; inside the array a set bit is a member
// whatever the flag, so growing a complemented array fills the new bytes with 0xFF.
//
// Cell: data1 head index (0), data2 node of the byte series, data3 unused.
#pragma once

#include <cstdint>

#include "datatypes/cell.h"
#include "datatypes/datatype.h"

namespace bitset {

// ---- Reading the bits ----

inline bool complemented_q(const Cell* bits) {
    return (memory::nodes[bits->node()]->flags & series_flag::complement) != 0;
}
// Bytes in the bit array.
inline uint32_t byte_size(const Cell* bits) { return memory::nodes[bits->node()]->used_bytes(); }
// Address of byte 0 and past the last byte (valid until the next allocation).
inline uint8_t* rs_head(const Cell* bits) { return memory::nodes[bits->node()]->at_head(); }
inline uint8_t* rs_tail(const Cell* bits) { return memory::nodes[bits->node()]->at_tail(); }

// Membership of a codepoint or number: past the array only a complemented set has it.
inline bool match_q(const Cell* bits, uint32_t n) {
    SeriesBuf* b = memory::nodes[bits->node()];
    uint32_t byte = n >> 3;
    if (byte >= b->tail - b->head) return (b->flags & series_flag::complement) != 0;
    return (b->at_head()[byte] & (0x80u >> (n & 7))) != 0;
}

// ---- Making bitsets ----

// A plain bitset of `bytes` zero bytes (none for 0), into c.
Cell* make_at(Cell* c, uint32_t bytes);
// Pushes a copy of a bitset cell (the same bits) on the data stack.
Cell* push(const Cell* bits);
// A new bitset made from a spec as make (to_mode false) or to (true) do, into out.
Cell* make_from(Cell* out, const Cell* spec, bool to_mode);

// ---- The spec walker ----

enum Mode : int { MEASURE = 0, SET = 1, TEST = 2, CLEAR = 3 };
enum Caller : int { FROM_MAKE = 0, FROM_TO = 1, FROM_ACTION = 2 };

// Walks a spec (a char!, integer!, float!, string! or a block of them with low - high ranges)
// over a bitset (null in measure mode). Answers the highest bit named (-1 for none) in measure
// mode, 1 or 0 (every bit named is a member) in test mode, 0 otherwise. A top-level walk in set
// mode moves the array's end out to the highest bit. The caller only picks the error for a spec
// of a wrong type.
int64_t process_spec(const Cell* spec, Cell* bits, int mode, bool nested, int caller);

// ---- Operations ----

// The bitwise and set operations on the running call's first two arguments: 5 or, 6 and, 7 xor,
// 8 unique (the first set unchanged), 9 union, 10 intersect, 11 exclude, 12 difference. The
// result, a new bitset, replaces the first argument.
void do_bitwise(int op);
// The set routine the set natives dispatch bitset! to.
void set_op(bool case_, const Cell* skip, int op);

// ---- Actions ----

Cell* make(Cell* proto, Cell* spec, int type);
Cell* to(Cell* proto, Cell* spec, int type);
int form(const Cell* value, Node buffer, const Cell* part, int limit);
int mold(const Cell* value, Node buffer, bool only, bool all, bool flat, const Cell* part, int limit, int indent);
Cell* eval_path(PathStep& step, Cell* out);
int compare(const Cell* a, const Cell* b, int op);
void negate(const int32_t* refs);
void and_(const int32_t* refs);
void complement(const int32_t* refs);
void or_(const int32_t* refs);
void xor_(const int32_t* refs);
void append(const int32_t* refs);
void insert(const int32_t* refs);
void clear(const int32_t* refs);
void copy(const int32_t* refs);
void find(const int32_t* refs);
void length_q(const int32_t* refs);
void pick(const int32_t* refs);
void poke(const int32_t* refs);
void remove(const int32_t* refs);

// Registers bitset! (type 30, no parent).
void init();

}  // namespace bitset
