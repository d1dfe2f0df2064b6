// The slot table: a block in which run-time code parks values so that the collector keeps them.
// Slots are numbered from 1; a free slot is an integer! cell holding the 0-based index of the
// next free slot (-1 at the end).
#pragma once

#include <cstdint>

#include "datatypes/cell.h"

namespace slots {

constexpr int32_t kInitialSlots = 100;

// Makes the table of 100 free slots.
void init();
// Copies the value into the first free slot (doubling the table when none is free) and answers
// the slot's 1-based number.
int32_t store(const Cell* value);
// Address of slot i (1-based), valid until the next allocation; null outside the table.
Cell* at(int32_t i);
// Frees slot i; 0, a number outside the table and a slot already free do nothing.
void free(int32_t i);
// Links every slot from the 0-based index on as free, in order, ending the list there.
void rebuild_free_list(int32_t from);
int32_t capacity();
// The table's node, for the collector to mark as a root (it may rewrite the handle).
Node* root();

}  // namespace slots
