#include "datatypes/block.h"

#include <cstring>

#include "runtime/collector.h"
#include "runtime/cycles.h"
#include "runtime/fire.h"
#include "runtime/stack.h"

namespace block {

Node make_node(int32_t n) { return memory::alloc_cells(n <= 0 ? 1 : n); }

Cell* make_at(Cell* c, Node node, int32_t index, uint8_t type) {
    return set_cell(c, type, static_cast<uint32_t>(index), node);
}

Cell* make_new(Cell* c, int32_t n, uint8_t type) { return make_at(c, make_node(n), 0, type); }

Cell* push_new(int32_t n, uint8_t type) {
    Node node = make_node(n);
    return make_at(stack::push_cell(), node, 0, type);
}

Cell* alloc_tail(Node node) {
    SeriesBuf* s = memory::nodes[node];
    if (s->tail + 16 > s->capacity) s = memory::expand_series(node, 0);
    Cell* c = reinterpret_cast<Cell*>(s->at_tail());
    set_cell(c, TYPE_UNSET);
    s->tail += 16;
    return c;
}

Cell* append_cell(Node node, const Cell* value) {
    Cell copy = *value;  // the value may live in the buffer that grows
    Cell* c = alloc_tail(node);
    *c = copy;
    return c;
}

void insert_cell(Node node, int32_t index, const Cell* value) {
    Cell copy = *value;
    alloc_tail(node);
    SeriesBuf* s = memory::nodes[node];
    Cell* head = cells_head(s);
    int32_t len = static_cast<int32_t>(s->length());
    if (index < 0) index = 0;
    if (index > len - 1) index = len - 1;
    std::memmove(head + index + 1, head + index, size_t(len - 1 - index) * sizeof(Cell));
    head[index] = copy;
}

Node copy_cells(const Cell* v) {
    int32_t n = rs_length_q(v);
    Node node = make_node(n);
    Node src = v->node();
    int32_t from = v->index() > 0 ? v->index() : 0;
    SeriesBuf* d = memory::nodes[node];
    std::memcpy(d->data(), cells_head(memory::nodes[src]) + from, size_t(n) * sizeof(Cell));
    d->tail = uint32_t(n) * 16;
    return node;
}

// Replaces every nested block of a fresh copy by a copy of its own; the originals being copied
// sit on the cycle stack, so a series met again inside itself raises no-cycle.
static void copy_nested(Node copy) {
    int32_t n = node_length(copy);
    for (int32_t i = 0; i < n; i++) {
        Cell inner = *node_cell(copy, i);
        if (!types::any_block(inner.type())) continue;
        if (cycles::find_q(inner.node())) {
            cycles::reset();
            fire(err::internal::no_cycle);
        }
        cycles::push(inner.node());
        Node nested = copy_cells(&inner);
        collector::NodeRoot keep(&nested);
        copy_nested(nested);
        cycles::pop();
        Cell* slot = node_cell(copy, i);
        slot->data2 = nested;
        slot->data1 = 0;
    }
}

Node copy_deep(const Cell* v) {
    Node copy = copy_cells(v);
    collector::NodeRoot keep(&copy);
    int depth = cycles::depth();
    cycles::push(v->node());
    try {
        copy_nested(copy);
    } catch (...) {
        cycles::pop_n(cycles::depth() - depth);
        throw;
    }
    cycles::pop();
    return copy;
}

void clear(Node node) {
    SeriesBuf* s = memory::nodes[node];
    s->tail = s->head;
}

}  // namespace block
