// hash!: a block whose values are also indexed by a hash table, so that find and select on it
// are fast. Cell: the block layout (data1 head index, data2 the block's node) and data3 the
// table (hashtable kind kHash over the block). It takes every series action from block!, whose
// routines keep the table in step as values are inserted, changed, moved or removed; this module
// holds the actions that make, convert, mold or copy a hash!.
#pragma once

#include <cstdint>

#include "datatypes/cell.h"

namespace hash {

// Gives a block! value (head 0) a new table over its cells and makes it a hash!, in place.
Cell* index_in_place(Cell* block);
// A copy of a hash! value from its head, with a table of its own, into out.
Cell* copy_at(Cell* out, const Cell* value);

Cell* make(Cell* proto, Cell* spec, int type);
Cell* to(Cell* proto, Cell* spec, int type);
int mold(const Cell* value, Node buffer, bool only, bool all, bool flat, const Cell* part, int limit, int indent);
void copy(const int32_t* refs);

// Registers hash! (type 36, parent block!).
void init();

}  // namespace hash
