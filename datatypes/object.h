// object! values: a context of named fields with a class id and optional change handlers.
// Object cell: data1 context node, data2 class id, data3 node of the change-handler information
// or 0.
#pragma once

#include <cstdint>

#include "datatypes/cell.h"

namespace object {

void init();

// An empty object with room for n fields, class 0, no handlers; stored as its context's owner.
Cell* make_at(Cell* c, int32_t n);
int32_t new_class_id();

// Calls the object's on-change* handler for a field being stored: the old value is replaced by
// the new one in the field and the handler receives (word, old, new).
void fire_on_change(Cell* owner, const Cell* word, int32_t index, const Cell* value);

}  // namespace object
