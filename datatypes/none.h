// none!: the single "no value" value.
#pragma once

#include <cstdint>

#include "datatypes/cell.h"

namespace none {

Cell* make_at(Cell* c);
Cell* make_in(Node block);
Cell* push();
// Result slot := none.
Cell* push_last();
inline Cell* box() { return push_last(); }

// make and to: none whatever the spec.
Cell* make(Cell* proto, Cell* spec, int type);
int form(const Cell* value, Node buffer, const Cell* part, int limit);
int mold(const Cell* value, Node buffer, bool only, bool all, bool flat, const Cell* part, int limit, int indent);
// clear, find, remove, select, take and length? of none all answer none.
void answer_none(const int32_t* refs);

void init();

}  // namespace none
