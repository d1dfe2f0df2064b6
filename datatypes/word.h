// Words and their variants (set-word!, lit-word!, get-word!, refinement!; issue! shares the
// layout). Word cell: data1 context node, data2 symbol id (as written), data3 slot index (-1
// until resolved).
#pragma once

#include <cstdint>
#include <string_view>

#include "datatypes/cell.h"

namespace word {

void init();

// A word! bound in the global context (its slot found or added case-insensitively, so case
// variants share the first variant's slot).
Cell* make_at(int32_t symbol, Cell* c);
Cell* make_global(Cell* c, int32_t symbol, uint8_t type = TYPE_WORD);
// A word naming a symbol in a context: its index found case-insensitively, as binding finds it,
// so a call written as myfunc names the slot of a Myfunc: definition (-1 when absent).
Cell* make_in_context(Cell* c, int32_t symbol, Node ctx, uint8_t type = TYPE_WORD);
// A global word of a text, keeping the text's own case variant.
Cell* load(Cell* c, std::string_view text);
Cell* load_typed(Cell* c, std::string_view text, uint8_t type);
// Appends a new global word (of a symbol or a text) to a block, retyped.
Cell* make_in(int32_t symbol, Node block, uint8_t type = TYPE_WORD);
Cell* load_in(std::string_view text, Node block, uint8_t type = TYPE_WORD);
Cell* push_global(int32_t symbol, uint8_t type = TYPE_WORD);
// Pushes a copy of a word, retyped.
Cell* push(const Cell* w, uint8_t type = TYPE_WORD);
// Pushes word i of a context's word list, retyped.
Cell* push_local(Node ctx, int32_t i, uint8_t type = TYPE_WORD);
// Pushes the word's text as a string! sharing the symbol's string series.
Cell* push_as_string(const Cell* w);
Cell* symbol_cell(const Cell* w);

// The word's value cell, or null when unbound or its context has no values now.
Cell* peek(const Cell* w);
// Pushes a copy of the value; unset raises no-value.
Cell* get(const Cell* w);
// The value through the word's context without the unset check (self and errors as
// context::get).
Cell* get_any(const Cell* w);
void set_value(Cell* w, const Cell* value);
// The set operation of compiled code: the running call's first argument is a word, its second
// the value; an unset value raises need-value, else the word is set and the value becomes the
// result.
void set_from_stack();
// The get operation: the value of the word in the first argument becomes the result.
void get_from_stack();

// Scans the whole text of a string! as one value into out; answers false when the text is not
// exactly one value. Installed by the lexer; word conversions from text need it.
extern bool (*scan_one)(const Cell* string, Cell* out);

// make and to of every word type.
Cell* make(Cell* proto, Cell* spec, int type);

int form(const Cell* value, Node buffer, const Cell* part, int limit);
int mold(const Cell* value, Node buffer, bool only, bool all, bool flat, const Cell* part, int limit, int indent);
int compare(const Cell* a, const Cell* b, int op);

}  // namespace word
