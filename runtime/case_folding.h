// Upper- and lower-case mapping of codepoints, one codepoint to one codepoint (so a string never
// changes length), from the simple case mappings of the Unicode Character Database.
#pragma once

#include <cstdint>

#include "datatypes/cell.h"

namespace case_folding {

// Fills the basic-plane tables. Runs by itself before main; calling it again does nothing.
void init();

// The upper-case form (upper) or lower-case form of cp; cp itself when it has none.
uint32_t change(uint32_t cp, bool upper);
// The upper-case form, or the lower-case form when cp is its own upper-case form.
uint32_t toggle(uint32_t cp);
// The upper table's entry for a basic-plane codepoint (0 when it maps to itself); above the basic
// plane the upper-case form.
uint32_t to_upper_bmp(uint32_t cp);

// Changes the case of a char! value (codepoint in data1) or of a string value (type 7 or another
// text type: data1 head index, data2 buffer node) in place. `part` is null, an integer! count, or
// a series value that must be the same series (same type and buffer) as `value`; a different
// one raises script invalid-refine-arg with `part_word` (the word naming the refinement) and
// `part`. Codepoints that no longer fit the buffer's unit widen it.
void change_string(Cell* value, bool upper, const Cell* part = nullptr, const Cell* part_word = nullptr);

}  // namespace case_folding
