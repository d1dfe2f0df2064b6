// Series ownership: which object owns a series, and through which field. Series actions ask
// before and after they modify a series; when the series is owned by an object with change
// handlers, the owner's on-deep-change* hears about it. Ownership reaches into nested blocks,
// paths and sub-objects.
//
// The owned-series table is a record table (kind 4) keyed by series node; a record holds the
// owned series value, the owner object! and the field word. It is weak: the collector drops a
// record whose series or owner went unreached (hashtable::prune_dead on table_root()).
#pragma once

#include <cstdint>

#include "datatypes/cell.h"

namespace ownership {

// The change events that series actions report: each action before the change, then its
// past-tense word after it.
enum Event : int {
    APPEND, APPENDED,
    INSERT, INSERTED,
    CHANGE, CHANGED,
    CLEAR, CLEARED,
    POKE, POKED,
    PUT, PUT_ED,
    REMOVE, REMOVED,
    RANDOM, RANDOMIZED,
    REVERSE, REVERSED,
    SORT, SORTED,
    SWAP, SWAPED,
    TAKE, TAKEN,
    MOVE, MOVED,
    TRIM, TRIMMED,
    EVENT_COUNT
};
// The symbol id of an event word ("append", "appended", ... "put-ed", "swaped").
int32_t symbol_of(Event e);

void init();

// Records the owner (an object!) and field word of a value: an ownable series not owned yet
// gets its marker and a record; blocks, paths and sub-objects are walked (each series once).
// The marker of an image! is its record alone: image cells are copied freely.
void set(const Cell* value, const Cell* owner, const Cell* word);
// Makes owner the owner of value (and of the series under it) through the field word, and marks
// the owner's context as an owner.
void set_owned(const Cell* value, const Cell* owner, const Cell* word);
// Removes the ownership of a value and of everything under it.
void unbind(const Cell* value);
void unbind_range(const Cell* block, int32_t position, int32_t count);

// The owner object of a series node (or of an object's context node), or null. Valid until the
// next allocation.
Cell* owner_of(Node n);
// Whether a value is marked owned (fast test before any lookup).
bool owned_q(const Cell* value);

// Called by every series action before and after it modifies a series: the series value (or an
// object! value, looked up by its context), then the change: the action word, the new value
// (null: none), the index and the part. When the series is owned by an object that has change
// handlers, runs the owner's on-deep-change* and answers true; otherwise answers false and calls
// nothing.
bool check(const Cell* value, const Cell* action, const Cell* new_value, int32_t index, int32_t part);
bool check(const Cell* value, Event e, const Cell* new_value, int32_t index, int32_t part);

// The table's node, for the collector (marked as a table, then pruned after marking).
Node* table_root();

}  // namespace ownership
