#include "runtime/slots.h"

#include "runtime/memory.h"

namespace slots {

namespace {
Node table = 0;
int32_t free_head = -1;
// Marks the integer! cells that are free slots, so that freeing a slot twice cannot link it into
// the free list twice.
constexpr uint32_t kFreeFlag = 0x00800000;

Cell* cells() { return cells_head(memory::nodes[table]); }
bool is_free(const Cell* c) { return c->type() == TYPE_INTEGER && (c->header & kFreeFlag); }
}  // namespace

int32_t capacity() { return table ? static_cast<int32_t>(memory::nodes[table]->used_bytes() / 16) : 0; }

void rebuild_free_list(int32_t from) {
    int32_t n = capacity();
    if (from < 0 || from >= n) return;
    Cell* c = cells();
    for (int32_t i = from; i < n; i++) {
        set_cell(c + i, TYPE_INTEGER, static_cast<uint32_t>(i + 1 < n ? i + 1 : -1));
        c[i].header |= kFreeFlag;
    }
    free_head = from;
}

void init() {
    table = memory::alloc_cells(kInitialSlots);
    memory::nodes[table]->tail = kInitialSlots * 16;
    rebuild_free_list(0);
}

int32_t store(const Cell* value) {
    Cell v = *value;
    if (!table) init();
    if (free_head < 0) {
        int32_t n = capacity();
        SeriesBuf* b = memory::expand_series(table, static_cast<uint32_t>(n) * 32);
        b->tail = b->head + static_cast<uint32_t>(n) * 32;
        rebuild_free_list(n);
    }
    int32_t i = free_head;
    Cell* c = cells() + i;
    free_head = c->i1();
    *c = v;
    return i + 1;
}

Cell* at(int32_t i) { return i >= 1 && i <= capacity() ? cells() + (i - 1) : nullptr; }

void free(int32_t i) {
    Cell* c = at(i);
    if (!c || is_free(c)) return;
    set_cell(c, TYPE_INTEGER, static_cast<uint32_t>(free_head));
    c->header |= kFreeFlag;
    free_head = i - 1;
}

Node* root() { return &table; }

}  // namespace slots
