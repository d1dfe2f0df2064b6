// block! and paren!: series of value cells. block! inherits the position and element actions of
// series! and adds its own; paren! inherits everything from block! but trim and molds with
// parentheses. The path types and hash! build on these routines too.
#pragma once

#include <cstdint>

#include "datatypes/cell.h"
#include "datatypes/datatype.h"

namespace block {

// ---- Making blocks ----

// A new empty block buffer with room for n cells (0 or less counts as 1).
Node make_node(int32_t n);
Cell* make_at(Cell* c, Node node, int32_t index = 0, uint8_t type = TYPE_BLOCK);
// A new empty block value of room n.
Cell* make_new(Cell* c, int32_t n, uint8_t type = TYPE_BLOCK);
inline Cell* make_at_size(Cell* c, int32_t n) { return make_new(c, n < 0 ? 1 : n); }
Cell* push_new(int32_t n, uint8_t type = TYPE_BLOCK);
// A new block of n cells appended to a parent block (to the root block when parent is 0); answers
// the new cell (valid until the next allocation).
Cell* make_in(Node parent, int32_t n);
// Pushes a copy of a block value; push_only pushes a new empty block of room n (1 when 0).
Cell* push(const Cell* value);
inline Cell* push_only(int32_t n) { return push_new(n == 0 ? 1 : n); }

// ---- Cell-series routines ----

// Reserves one unset cell at the tail and returns it (valid until the next allocation).
Cell* alloc_tail(Node node);
// Appends a copy of the value (the value may lie in the same buffer).
Cell* append_cell(Node node, const Cell* value);
inline Cell* rs_append(Node node, const Cell* value) { return append_cell(node, value); }
// Inserts a copy of the value before the cell at index (from the buffer's head).
void insert_cell(Node node, int32_t index, const Cell* value);
// Inserts a copy of a value at the block's head (at its first cell with at_first), moving the rest
// up; a hash! table follows. With advance the head moves past the new cell.
void insert_value(Cell* block, const Cell* value, bool at_first, bool advance);
// Inserts every cell of another block from its head, one by one, through insert_value.
void insert_block(Cell* block, const Cell* other);
// Appends copies of the cells of another block from its head.
void append_block(Node node, const Cell* other);

// Addressing from a value's index, clamped to the tail.
inline Cell* rs_head(const Cell* v) {
    SeriesBuf* s = memory::nodes[v->node()];
    Cell* head = cells_head(s) + (v->index() > 0 ? v->index() : 0);
    Cell* tail = cells_tail(s);
    return head < tail ? head : tail;
}
inline Cell* rs_tail(const Cell* v) { return cells_tail(memory::nodes[v->node()]); }
inline int32_t rs_length_q(const Cell* v) {
    SeriesBuf* s = memory::nodes[v->node()];
    int64_t n = int64_t(s->length()) - (v->index() > 0 ? v->index() : 0);
    return n > 0 ? static_cast<int32_t>(n) : 0;
}
inline bool rs_tail_q(const Cell* v) { return rs_length_q(v) == 0; }
// Moves the head one cell on when not at the tail; answers whether it is then at the tail.
bool rs_next(Cell* v);
inline Cell* rs_abs_at(const Cell* v, int32_t index) { return cells_head(memory::nodes[v->node()]) + index; }
inline int32_t node_length(Node n) { return static_cast<int32_t>(memory::nodes[n]->length()); }
inline Cell* node_cell(Node n, int32_t i) { return cells_head(memory::nodes[n]) + i; }
// Drops the last cell; a head beyond the new tail moves to it.
void remove_last(Cell* v);
// Cuts the block at its head, or at first cell + n.
void clear_at_head(const Cell* v);
void set_tail(Node node, int32_t n);
void clear(Node node);

// The cell after the first cell (from the head) that compare finds equal to value under the
// find operator, into out; none when absent or last.
Cell* select_value(const Cell* v, const Cell* value, Cell* out);
// Removes the first such cell (from the head, or from the first cell with at_first); answers
// false when absent.
bool remove_value(Cell* v, const Cell* value, bool at_first);
// The cell after the first word-like cell (word!, set-word!, lit-word!, get-word!) naming the same
// symbol as word (through the case-insensitive alias unless case_), into out; none when absent
// or last.
Cell* select_word(const Cell* v, const Cell* word, bool case_, Cell* out);
// The position of the cell that a path read by a key that is not an integer selects (the cell
// after the key's match), or -1 when that read answers none.
int32_t path_read_at(const Cell* v, const Cell* element, bool case_);

// ---- Copies ----

// A shallow copy of the cells from the value's index to the tail.
Node copy_cells(const Cell* v);
// A copy of the cells from the value's index, with nested blocks, parens and paths copied too;
// a series that contains itself raises internal no-cycle.
Node copy_deep(const Cell* v);
// Pushes a copy of a block from its head. With deep, nested block! cells are copied too, and with
// also_parens paren! and path cells as well; each copy keeps the header of the cell it replaces.
Cell* clone(const Cell* v, bool deep, bool also_parens);
// Replaces every step-th cell from index from (count cells) whose type is in kind (a typeset!
// or a datatype!) and that is a series, bitset!, object!, error! or map! by its copy: a deep
// copy restricted to the same kind with deep, else a shallow one.
void copy_series_by_type(const Cell* v, int32_t from, int32_t count, int32_t step, const Cell* kind, bool deep);
// Replaces every series cell of a fresh copy by its deep copy (the block the copy was made from
// must already be on the cycle stack).
void deep_copy_cells(const Cell* copy);

// ---- Searching ----

struct FindOptions {
    const Cell* part = nullptr;  // /part argument, or null
    const Cell* skip = nullptr;  // /skip argument, or null
    bool only = false;
    bool case_ = false;
    bool same = false;
    bool last = false;
    bool reverse = false;
    bool match = false;
};
// Where a find matched: the number of cells the match covers (the sequence length for a
// block-like value searched as a sequence, else 1) and the position /tail answers.
struct FindMatch {
    int32_t length = 1;
    int32_t tail = 0;
};
// The find search of a block-like series: answers the absolute index of the matched cell, or -1
// when nothing matches.
int32_t find_value(const Cell* series, const Cell* value, const FindOptions& options, FindMatch* match = nullptr);

// ---- Molding ----

// The elements of mold shared by block!, paren! and the path types: new-line markers and
// indentation as described with mold; returns the budget left.
int mold_each(const Cell* value, Node buffer, bool only, bool all, bool flat, const Cell* part, int limit, int indent);

// ---- Actions ----

Cell* make(Cell* proto, Cell* spec, int type);
Cell* to(Cell* proto, Cell* spec, int type);
int form(const Cell* value, Node buffer, const Cell* part, int limit);
int mold(const Cell* value, Node buffer, bool only, bool all, bool flat, const Cell* part, int limit, int indent);
Cell* eval_path(PathStep& step, Cell* out);
int compare(const Cell* a, const Cell* b, int op);
void append(const int32_t* refs);  // also insert: the two are told apart by the call
void insert(const int32_t* refs);
void change(const int32_t* refs);
void copy(const int32_t* refs);
void find(const int32_t* refs);
void put(const int32_t* refs);
void select(const int32_t* refs);
void sort(const int32_t* refs);
void swap(const int32_t* refs);
void take(const int32_t* refs);
void trim(const int32_t* refs);

// Set operations for the natives unique, union, intersect, exclude and difference: the two sets
// are the current call's first two arguments, skip is the /skip argument or null, op one of
// OP_UNIQUE .. OP_DIFFERENCE. The result replaces the first argument.
void do_set_op(bool case_, const Cell* skip, int op);

// Registers block! (its parent series! must be registered first).
void init();

}  // namespace block

namespace paren {

int mold(const Cell* value, Node buffer, bool only, bool all, bool flat, const Cell* part, int limit, int indent);
// Pushes a copy of a block value as paren!.
Cell* push(const Cell* value);
// Registers paren! (after block!).
void init();

}  // namespace paren
