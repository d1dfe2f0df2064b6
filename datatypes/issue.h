// issue!: a word-like value written with a leading number sign (#abc-123). It shares the word
// cell layout (data1 context node, data2 symbol id, data3 slot index, -1 when unresolved) and is
// never evaluated as a variable; it takes form from word!.
#pragma once

#include <cstdint>

#include "datatypes/cell.h"

namespace issue {

// Set by start-up while it fills the root block: issues loaded then go there instead of onto the
// data stack.
extern bool building_root;

// An issue! of the UTF-8 text, bound to the global context with index -1.
Cell* make_at(Cell* c, const char* text);
Cell* make_in(Node block, const char* text);
// Appends to the root block while start-up builds it, else pushes on the data stack.
Cell* load(const char* text);
// Pushes a copy of a word cell retyped as issue!.
Cell* from_word(const Cell* word);

// Actions (to is the same function as make).
Cell* make(Cell* proto, Cell* spec, int type);
int mold(const Cell* value, Node buffer, bool only, bool all, bool flat, const Cell* part, int limit, int indent);
int compare(const Cell* a, const Cell* b, int op);

// Registers issue! (type 20, parent word!).
void init();

}  // namespace issue
