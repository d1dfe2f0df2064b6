#include "runtime/arrays.h"

#include <cstring>

#include "datatypes/cell.h"
#include "runtime/fire.h"

namespace array {

Node make(int32_t n, int size) { return memory::alloc_series(n < 0 ? 0 : n, size, 0); }

int32_t length_q(Node a) {
    SeriesBuf* b = memory::nodes[a];
    return static_cast<int32_t>(b->used_bytes() / b->unit());
}

void clear(Node a) {
    SeriesBuf* b = memory::nodes[a];
    b->tail = b->head;
}

void set_tail_at(Node a, int32_t i) {
    SeriesBuf* b = memory::nodes[a];
    int64_t keep = int64_t(i) - 1;
    if (keep < 0) keep = 0;
    uint64_t bytes = uint64_t(keep) * b->unit();
    if (bytes < b->used_bytes()) b->tail = b->head + static_cast<uint32_t>(bytes);
}

Node copy(Node a) { return memory::copy_series(a); }

uint32_t flags(Node a) { return memory::nodes[a]->flags; }

void append_byte(Node a, uint8_t byte) {
    uint32_t at = series::alloc_tail_bytes(a, 1);
    memory::nodes[a]->data()[at] = byte;
}

uint8_t* append_bytes(Node a, const void* p, int32_t len) {
    if (len <= 0) return memory::nodes[a]->at_tail();
    uint32_t at = series::alloc_tail_bytes(a, static_cast<uint32_t>(len));
    uint8_t* to = memory::nodes[a]->data() + at;
    std::memcpy(to, p, static_cast<size_t>(len));
    return to;
}

static void append_word(Node a, uint32_t v) {
    uint32_t at = series::alloc_tail_bytes(a, 4);
    std::memcpy(memory::nodes[a]->data() + at, &v, 4);
}

void append_int(Node a, int32_t v) { append_word(a, static_cast<uint32_t>(v)); }
void append_ptr(Node a, uint32_t v) { append_word(a, v); }

void insert_int(Node a, int32_t v, int32_t position) {
    SeriesBuf* b = series::reserve(a, 4);
    uint32_t length = b->used_bytes() / 4;
    uint32_t pos = position < 0 ? 0 : static_cast<uint32_t>(position);
    if (pos > length) pos = length;
    uint8_t* at = b->at_head() + pos * 4;
    std::memmove(at + 4, at, (length - pos) * 4);
    std::memcpy(at, &v, 4);
    b->tail += 4;
}

// Address of element i (1-based) of size bytes; raises out-of-range outside the array.
static uint8_t* element(Node a, int32_t i, uint32_t size) {
    SeriesBuf* b = memory::nodes[a];
    if (i < 1 || uint64_t(i) * size > b->used_bytes()) {
        Cell arg;
        set_cell(&arg, TYPE_INTEGER, static_cast<uint32_t>(i));
        fire(err::script::out_of_range, &arg);
    }
    return b->at_head() + size_t(i - 1) * size;
}

uint8_t pick_byte(Node a, int32_t i) { return *element(a, i, 1); }

int32_t pick_int(Node a, int32_t i) {
    int32_t v;
    std::memcpy(&v, element(a, i, 4), 4);
    return v;
}

uint32_t pick_ptr(Node a, int32_t i) { return static_cast<uint32_t>(pick_int(a, i)); }

void poke_int(Node a, int32_t i, int32_t v) { std::memcpy(element(a, i, 4), &v, 4); }

int32_t find_ptr(Node a, uint32_t v) {
    SeriesBuf* b = memory::nodes[a];
    const uint8_t* p = b->at_head();
    uint32_t bytes = b->used_bytes() & ~3u;
    for (uint32_t off = 0; off < bytes; off += 4) {
        uint32_t w;
        std::memcpy(&w, p + off, 4);
        if (w == v) return static_cast<int32_t>(off);
    }
    return -1;
}

int32_t find_int(Node a, int32_t v) { return find_ptr(a, static_cast<uint32_t>(v)); }

void remove_at(Node a, int32_t offset, int32_t count) {
    SeriesBuf* b = memory::nodes[a];
    uint32_t used = b->used_bytes();
    if (offset < 0 || count <= 0 || uint32_t(offset) >= used) return;
    uint32_t off = static_cast<uint32_t>(offset);
    uint32_t n = static_cast<uint32_t>(count);
    if (n > used - off) n = used - off;
    uint8_t* at = b->at_head() + off;
    std::memmove(at, at + n, used - off - n);
    b->tail -= n;
}

int32_t remove_ptr(Node a, uint32_t v) {
    int32_t off = find_ptr(a, v);
    if (off >= 0) remove_at(a, off, 4);
    return off;
}

}  // namespace array
