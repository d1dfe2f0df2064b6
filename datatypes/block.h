// block! and paren! buffers: series of value cells.
#pragma once

#include <cstdint>

#include "datatypes/cell.h"

namespace block {

// A new empty block buffer with room for n cells (0 counts as 1).
Node make_node(int32_t n);
Cell* make_at(Cell* c, Node node, int32_t index = 0, uint8_t type = TYPE_BLOCK);
// A new empty block value of room n.
Cell* make_new(Cell* c, int32_t n, uint8_t type = TYPE_BLOCK);
Cell* push_new(int32_t n, uint8_t type = TYPE_BLOCK);

// Reserves one unset cell at the tail and returns it (valid until the next allocation).
Cell* alloc_tail(Node node);
// Appends a copy of the value (the value may lie in the same buffer).
Cell* append_cell(Node node, const Cell* value);
// Inserts a copy of the value before the cell at index (from the data start's head).
void insert_cell(Node node, int32_t index, const Cell* value);

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
inline int32_t node_length(Node n) { return static_cast<int32_t>(memory::nodes[n]->length()); }
inline Cell* node_cell(Node n, int32_t i) { return cells_head(memory::nodes[n]) + i; }

// A shallow copy of the cells from the value's index to the tail.
Node copy_cells(const Cell* v);
// A copy of the cells from the value's index, with nested blocks, parens and paths copied too;
// a series that contains itself raises internal no-cycle.
Node copy_deep(const Cell* v);
void clear(Node node);

}  // namespace block
