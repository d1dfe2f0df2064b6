// Words and their variants (set-word!, lit-word!, get-word!, refinement!; issue! shares the
// layout). Word cell: data1 context node, data2 symbol id (as written), data3 slot index (-1
// until resolved).
#pragma once

#include <cstdint>
#include <string_view>

#include "datatypes/cell.h"

namespace word {

void init();

// A word! bound in the global context (its slot found or added).
Cell* make_at(int32_t symbol, Cell* c);
Cell* make_global(Cell* c, int32_t symbol, uint8_t type = TYPE_WORD);
// A word naming a symbol in a context: its index found case-sensitively (-1 when absent).
Cell* make_in_context(Cell* c, int32_t symbol, Node ctx, uint8_t type = TYPE_WORD);
Cell* load(Cell* c, std::string_view text);
Cell* push_global(int32_t symbol);

// The word's value cell, or null when unbound or its context has no values now.
Cell* peek(const Cell* w);
// Pushes a copy of the value; unset raises no-value.
Cell* get(const Cell* w);
void set_value(Cell* w, const Cell* value);

int form(const Cell* value, Node buffer, const Cell* part, int limit);
int mold(const Cell* value, Node buffer, bool only, bool all, bool flat, const Cell* part, int limit, int indent);
int compare(const Cell* a, const Cell* b, int op);

}  // namespace word
