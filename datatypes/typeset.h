// typeset!: a set of datatypes held in the cell itself: 96 bits in memory order over the three
// payload words; type t is bit 0x80 >> (t & 7) of byte t >> 3.
#pragma once

#include <cstdint>

#include "datatypes/cell.h"

namespace typeset {

inline bool has(const Cell* ts, int type) {
    if (type < 0 || type >= 96) return false;
    const auto* bytes = reinterpret_cast<const uint8_t*>(&ts->data1);
    return bytes[type >> 3] & (0x80 >> (type & 7));
}
inline void set(Cell* ts, int type) {
    if (type < 0 || type >= 96) return;
    auto* bytes = reinterpret_cast<uint8_t*>(&ts->data1);
    bytes[type >> 3] |= static_cast<uint8_t>(0x80 >> (type & 7));
}

Cell* make_at(Cell* c, uint32_t w1, uint32_t w2, uint32_t w3);
Cell* make_in(Node block, uint32_t w1, uint32_t w2, uint32_t w3);
// Pushes a copy of a typeset value.
Cell* push(const Cell* ts);
// Result slot := a copy of a typeset value.
Cell* box(const Cell* ts);
// Appends the argument-default typeset: every type but unset!.
Cell* make_any_value(Node block);
void clear(Cell* ts);
// Members among the type ids 1 to the highest registered one.
int count(const Cell* ts);
// Adds a member: a word is replaced by its value, a typeset! is merged in, a datatype! sets its
// bit; any other value raises script invalid-arg.
void set_type(Cell* ts, const Cell* value);
// Appends the typeset of a function spec's type block: words stand for their values; datatypes
// and typesets are added, a word! value adds object!, a block! is skipped, anything else raises
// script invalid-type-spec.
Cell* make_from_spec(Node block, const Cell* spec);
// out := a new block of the member types' name words, in type id order.
Cell* to_block(const Cell* ts, Cell* out);
// The text shared by form and mold: "make typeset! [integer! float!]" (without the prefix and
// the bracket when only is set).
int form_to(const Cell* ts, Node buffer, bool only, const Cell* part, int limit);
// The set operations on the current frame's two arguments (5 or~ and 9 union, 6 and~ and 10
// intersect, 7 xor~ and 12 difference, 11 exclude; 8 unique answers the first unchanged); the
// result replaces the first argument, which is returned.
Cell* do_bitwise(int op);

// Actions.
Cell* make(Cell* proto, Cell* spec, int type);
int form(const Cell* value, Node buffer, const Cell* part, int limit);
int mold(const Cell* value, Node buffer, bool only, bool all, bool flat, const Cell* part, int limit, int indent);
int compare(const Cell* a, const Cell* b, int op);
void and_(const int32_t* refs);
void complement(const int32_t* refs);
void or_(const int32_t* refs);
void xor_(const int32_t* refs);
void find(const int32_t* refs);

void init();

}  // namespace typeset
