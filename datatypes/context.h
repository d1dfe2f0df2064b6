// Contexts: ordered word lists with a value slot per word. A context lives in a node whose
// series holds two cells: the context cell and the owner cell.
#pragma once

#include <cstdint>

#include "datatypes/cell.h"

namespace context {

// Context cell: type 14; bits 11-12 of the header the kind; payload: data1 word table (hash
// table node), data2 values (a cell series node, or for contexts whose values live on the data
// stack the stack index of the first argument cell plus 1, 0 while no call runs), data3 the word
// list (the table's key block).
constexpr uint32_t kind_shift = 11;
constexpr uint32_t kind_mask = 0x1800;
constexpr uint32_t on_stack = 0x400000;
constexpr uint32_t object_flag = 0x1000000;
constexpr uint32_t owner_flag = 0x10000;
enum Kind { KIND_GLOBAL = 0, KIND_FUNCTION = 1, KIND_OBJECT = 2 };

// Changed mark on word cells of an object's word list.
constexpr uint32_t word_changed = 0x2000;

extern Node global_node;

inline Cell* cell_of(Node ctx) { return cells_of(memory::nodes[ctx]); }
inline Cell* owner_of(Node ctx) { return cells_of(memory::nodes[ctx]) + 1; }
inline int kind_of(Node ctx) { return static_cast<int>((cell_of(ctx)->header & kind_mask) >> kind_shift); }
inline bool values_on_stack(Node ctx) { return cell_of(ctx)->header & on_stack; }
inline Node words_node(Node ctx) { return cell_of(ctx)->data3; }
inline int32_t count(Node ctx) { return static_cast<int32_t>(memory::nodes[words_node(ctx)]->length()); }
// First value cell, or null when a function context has no running call.
Cell* values(Node ctx);
inline Cell* word_at_node(Node ctx, int32_t i) { return cells_head(memory::nodes[words_node(ctx)]) + i; }
inline Cell* word_at(const Cell* context_cell, int32_t i) { return cells_head(memory::nodes[context_cell->data3]) + i; }
// The word list's buffer.
inline SeriesBuf* symbols(const Cell* context_cell) { return memory::nodes[context_cell->data3]; }
// The header of the context cell of an object or function value (kind and context flags).
inline uint32_t header_of(const Cell* value) { return cell_of(value->data1)->header; }

void init();         // registers context!
void init_global();  // makes the global context (after the symbol table)

Node create(int32_t slots, bool values_on_stack, bool object, Node source, int kind);
Node make(const Cell* block, bool values_on_stack, bool object, int kind);
Node renew(Cell* object, int kind);

int32_t find_word(Node ctx, int32_t symbol, bool case_insensitive);
// -1 when added (index through out), else the existing index.
int32_t add_word(Node ctx, int32_t symbol, bool case_insensitive, int32_t* out);
int32_t add_or_find(Node ctx, const Cell* word);
Cell* add_with_value(Node ctx, const Cell* word, const Cell* value, Cell* none_out);
void set_or_add(Node ctx, const Cell* word, const Cell* value);
bool add_set_words(Node ctx, const Cell* block);
void word_of_symbol(Cell* out, Node ctx, int32_t symbol);
Cell* value_of_symbol(int32_t symbol, Node ctx);

// Global words.
void add_global(Cell* out, int32_t symbol, bool case_insensitive, bool keep_text);
void add_global_tracked(Cell* out, int32_t symbol);

// Values.
Cell* get_in(const Cell* word, Node ctx);
Cell* get(const Cell* word);
// Sets a word's value in a context (fire: call an object's change handler).
Cell* set_in(Cell* word, const Cell* value, Node ctx, bool fire_handler);
void set_value(Cell* word, const Cell* value);
// Pushes a copy of value i; a context without values raises not-defined.
void push_value(Node ctx, int32_t i);
// For compiled code: push_local pushes a copy of value i and also writes it into the cell that
// was the top before; copy_local only writes it into the top cell. An object's word i gets its
// changed mark.
void push_local(Node ctx, int32_t i);
void copy_local(Node ctx, int32_t i);

// Binding.
int32_t bind_word(Node ctx, Cell* word);
void bind(const Cell* block, Node ctx, bool self);

}  // namespace context
