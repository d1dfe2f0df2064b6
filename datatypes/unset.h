// unset!: the value of nothing (a word without a value, the result of an empty block).
#pragma once

#include "datatypes/cell.h"

namespace unset {

Cell* make_at(Cell* c);
Cell* make_in(Node block);
Cell* push();
// Result slot := unset.
Cell* push_last();
inline Cell* box() { return push_last(); }

// make and to: a new unset value whatever the spec.
Cell* make(Cell* proto, Cell* spec, int type);
int form(const Cell* value, Node buffer, const Cell* part, int limit);
int mold(const Cell* value, Node buffer, bool only, bool all, bool flat, const Cell* part, int limit, int indent);

void init();

}  // namespace unset
