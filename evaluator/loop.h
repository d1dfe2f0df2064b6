// The loop step routines shared by the loop natives: one step of foreach, remove-each and forall,
// word assignment from a source value, and count conversion.
//
// While a loop runs, its work cells lie just below its loop frame's argument base
// (stack::arguments): arguments - 1 the loop word or word block, arguments - 2 the series cursor
// (a series value whose index the loop advances; for forall the saved series), arguments - 3 the
// number of words (remove-each only).
#pragma once

#include <cstdint>

#include "datatypes/cell.h"

namespace loop {

// Whether a cursor lies before its tail.
bool cursor_valid_q(const Cell* cursor);
// One step of a single-word foreach: sets the word to the value at the cursor and advances the
// cursor by one; false when the cursor was at its tail.
bool foreach_next();
// One step of a multi-word loop: assigns the n words from the values at the cursor (none past
// the tail) and advances the cursor by n; false when the cursor was at its tail.
bool set_words(int32_t n);
// After a remove-each body whose value is the top cell: when it is truthy, steps the cursor back
// by n and removes n values there.
void remove_each_next(int32_t n);
// Stores the length of the word block into the word-count cell.
void remove_each_init();
// With advance, moves the value of the forall word one position on in place; true when that
// value is at its end.
bool forall_next(bool advance);
// Sets the forall word back to the saved series.
void forall_end();
// A float! count becomes the integer! truncated toward zero, the lowest integer when it lies
// below the 32-bit range; NaN or a float above that range raises script out-of-range. Other cells
// stay.
void count_to_int(Cell* c);
// Sets the n words of a block from a source: spread (value i is the source's value at position
// i, none past its tail) when the source is block-like or a map! and only is clear, else every
// word gets the source itself. All words are checked before any is set: an element that is not
// a word kind raises script invalid-arg; an unset value without any raises script need-value.
// With some a none value leaves its word untouched.
void assign_words(const Cell* words, const Cell* source, int32_t n, bool any, bool only, bool some);
// Sets word i (1 .. n) of a block to the value of the source at position i.
void set_words_by_pick(const Cell* words, const Cell* source, int32_t n);

// The value of a series at 1-based position i from its index into out (none outside it).
Cell* pick_at(const Cell* series, int32_t i, Cell* out);

}  // namespace loop
