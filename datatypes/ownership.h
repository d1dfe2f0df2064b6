// Series ownership: which object owns a series and through which field, so that changes made
// deep inside the series reach the owner's deep-change handler.
#pragma once

#include <cstdint>

#include "datatypes/cell.h"

namespace ownership {

// Called by every series action before and after it modifies a series: the series value (or an
// object! value, looked up by its context), then the change: the action word, the new value, the
// index and the part. Answers whether the owner's handler ran (false when the series has no
// owner or its owner has no change handler).
bool check(const Cell* value, const Cell* action, const Cell* new_value, int32_t index, int32_t part);

// The owner cell of a series node's record, or null when the series has no owner.
Cell* owner_of(Node node);

// Removes the ownership of a value and of everything under it.
void unbind(const Cell* value);

// Makes owner the owner of value (and of the series under it) through the field word, and marks
// the owner's context as an owner.
void set_owned(const Cell* value, const Cell* owner, const Cell* word);

}  // namespace ownership
