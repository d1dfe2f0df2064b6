// object! values: a context of named fields with a class id, optional change handlers
// (on-change*, on-deep-change*) and ownership of its series values.
//
// Object cell: data1 context node (kind object, values in a series; the context's owner cell
// holds a copy of the object cell), data2 class id (objects of one shape share it; every error
// has 1; 0 for an object the run-time made empty), data3 node of the change-handler information
// or 0.
//
// Change-handler information: a block of two pair! cells, the first for on-change*, the second
// for on-deep-change*; in each, x (data2) is the handler's field index (-1 when absent), y
// (data3) its number of local slots, and data1 the node of the handler's spec when that count
// was taken (0: count again at the next call).
#pragma once

#include <cstdint>

#include "datatypes/cell.h"
#include "datatypes/datatype.h"

namespace object {

constexpr int32_t kFirstClassId = 1000000;

void init();

// ---- Construction ----
// An empty object with room for n fields, class 0, no handlers; stored as its context's owner.
Cell* make_at(Cell* c, int32_t n);
int32_t new_class_id();
// Push an object cell for a context and store it as the context's owner. push_ctx first gives
// an empty values series one unset cell per word.
Cell* push(Node ctx, Node events, int32_t class_id);
Cell* push_ctx(Node ctx, int32_t class_id);
// Completes the object on top of the data stack with handler information for the given field
// indices (-1 when absent) and local counts; an on-deep-change* handler makes the object the
// owner of its series values. Answers the information block's node.
Node make_owned(Node ctx, int32_t change_index, int32_t change_locals, int32_t deep_index, int32_t deep_locals);
// Recomputes the handler information of an object (bad-field-set for a handler field holding
// something other than a function); an on-deep-change* handler makes it an owner.
void init_owner(Cell* obj);

// The copy behind make, copy and construct: a new context with the prototype's words and
// values; with deep (and no types) its series are copied deep and its functions re-made for the
// copy; with types only the values of those types are copied; recompute gives the copy its own
// handler information instead of sharing the prototype's.
Cell* duplicate(const Cell* proto, Cell* result, bool deep, const Cell* types, bool recompute);
// Re-makes the function! in value slot i of a copy's context, bound to that context: its spec
// is shared, its body copied deep and bound first to the object (self rule) then to its own new
// context. A function without body source raises bad-func-def.
void copy_function(Node copy_ctx, int32_t i);
// Replaces the series values of a new object by deep copies of the prototype's (block-like
// copies bound to the new object); other values are copied only with copy_others.
void copy_series_values(const Cell* proto, const Cell* obj, bool copy_others);
// Sets every field of the source in the target (adding missing words), then copies the
// target's series and re-makes its functions. Answers whether the target gained words.
bool transfer_values(Node target, Node source);

// construct: the set-words of a spec with the value that follows each run of them.
bool collect_set_words(Node ctx, const Cell* spec, bool only);
// Pushes the object made from a spec (prototype null for none).
Cell* make_from_spec(const Cell* spec, const Cell* proto, bool only);
// The object case of the set native.
void set_many(const Cell* obj, const Cell* value, bool any, bool only, bool some);

// ---- Accessors (field lookups ignore case) ----
int32_t find_word_index(const Cell* obj, const Cell* word);
// The field's value cell, or a none cell when absent (valid until the next allocation).
Cell* get_word(const Cell* obj, const Cell* word);
Cell* word_at_node(Node ctx, int32_t i);
Cell* first_word(const Cell* obj);
Cell* get_values(const Cell* obj);
int32_t get_size(const Cell* obj);
bool is_class_word_q(const Cell* word, int32_t class_id);
bool is_class_at_q(Node ctx, int32_t i, int32_t class_id);

// ---- Change handlers ----
Node make_events_info(Node ctx);
Node make_owner_info(Node change_spec, Node deep_spec, int32_t change_index, int32_t change_locals, int32_t deep_index,
                     int32_t deep_locals);
bool has_deep_handler_q(const Cell* obj);
// Runs on-change* with the field word, the old and the new value (for an object with events).
void fire_on_set(const Cell* obj, const Cell* word, const Cell* old_value, const Cell* new_value);
// Stores a new value into field index of an object and, when the object has events, runs
// on-change* with the word, the field's old value and the new one. Path access to the parts of
// scalar values (time/hour: ...) reports through it.
void fire_on_change(const Cell* obj, const Cell* word, int32_t index, const Cell* value);
// The same with the old value in the top cell of the data stack and the new one below it.
void on_set_word(const Cell* obj, const Cell* word);
void on_set_ctx_word(Node ctx, const Cell* word);
void on_set_compiled(const Cell* object_word, const Cell* field_word);
// Runs on-deep-change* with the owner, the field word, the changed series, the action word, the
// new value (null: none), the index and the part.
void fire_on_deep(const Cell* obj, const Cell* word, const Cell* target, const Cell* action, const Cell* new_value,
                  int32_t index, int32_t part);

// ---- Actions ----
Cell* make(Cell* proto, Cell* spec, int type);
Cell* eval_path(PathStep& step, Cell* out);
int form(const Cell* value, Node buffer, const Cell* part, int limit);
int mold(const Cell* value, Node buffer, bool only, bool all, bool flat, const Cell* part, int limit, int indent);
int compare(const Cell* a, const Cell* b, int op);
// Writes the fields: the body of form and mold.
int serialize(const Cell* obj, Node buffer, bool only, bool all, bool flat, const Cell* part, int limit, bool indent,
              int level, bool mold_mode);
// Action slots error! takes over.
void reflect(const int32_t* refs);
void copy(const int32_t* refs);
void select(const int32_t* refs);

}  // namespace object
