#include "runtime/collector.h"

#include <algorithm>
#include <atomic>
#include <new>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "datatypes/cell.h"
#include "datatypes/context.h"
#include "datatypes/ownership.h"
#include "datatypes/symbol.h"
#include "evaluator/interpreter.h"
#include "runtime/externals.h"
#include "runtime/hashtable.h"
#include "runtime/root.h"
#include "runtime/runtime.h"
#include "runtime/slots.h"
#include "runtime/stack.h"

namespace collector {

bool enabled = false;
#ifdef KEL_GC_TORTURE
bool torture = true;
#else
bool torture = false;
#endif
bool torture_start_up = true;
uint32_t cycles = 0;
bool active = false;
bool node_compaction = true;
uint32_t node_passes = 0;

static constexpr int kMaxMarkers = 100;
static void (*markers[kMaxMarkers])() = {};
static int marker_total = 0;

static constexpr int kQueueSize = 20000;
static Node dead_queue[kQueueSize];
static int dead_count = 0;

uint64_t bytes_freed = 0;
uint64_t nodes_freed = 0;

void init() {
    if (const char* t = std::getenv("KEL_GC_TORTURE"); t && *t && std::strcmp(t, "0") != 0) {
        torture = true;
        torture_start_up = std::strcmp(t, "all") == 0;
    }
    cycles = 0;
    node_passes = 0;
    bytes_freed = 0;
    nodes_freed = 0;
}

bool auto_cycle() {
    if (!enabled || active) return false;
    do_cycle();
    return true;
}

void add_marker(void (*marker)()) {
    for (int i = 0; i < marker_total; i++)
        if (markers[i] == marker) return;
    // A full table is a fault of the build, not of a script: end with a report instead of
    // writing past the array.
    if (marker_total >= kMaxMarkers) runtime::quit(98, KEL_CALLER_ADDRESS());
    markers[marker_total++] = marker;
}

void remove_marker(void (*marker)()) {
    // Registration order is kept: the remaining markers close up.
    for (int i = 0; i < marker_total; i++)
        if (markers[i] == marker) {
            for (int j = i + 1; j < marker_total; j++) markers[j - 1] = markers[j];
            markers[--marker_total] = nullptr;
            return;
        }
}

int marker_count() { return marker_total; }


Cell* guarded_cells[kMaxGuards];
int guarded_cell_count = 0;
Node* guarded_nodes[kMaxGuards];
int guarded_node_count = 0;

void guards_exhausted() { runtime::quit(98, KEL_CALLER_ADDRESS()); }

Guards guards() { return {guarded_cells, guarded_cell_count, guarded_nodes, guarded_node_count}; }

// Blocks whose values still need marking. An explicit work list instead of recursion: deeply
// nested data must not exhaust the native stack.
static std::vector<Node> pending;

bool keep(Node* slot) {
    if (!*slot || *slot >= memory::state.node_high) return false;
    SeriesBuf* b = memory::nodes[*slot];
    if (!b || (reinterpret_cast<uintptr_t>(b) & 1)) return false;
    if (b->flags & series_flag::mark) return false;
    b->flags |= series_flag::mark;
    return true;
}

static void drain();

void mark_block(Node* slot) {
    if (keep(slot) && memory::nodes[*slot]->unit() == 16) pending.push_back(*slot);
}

void mark_series(Cell* value) { mark_block(&value->data2); }

void mark_context(Node* slot) {
    // The context cell and the owner cell are marked as values. A cell guarded before it was
    // given a value may name any series: only cell series are walked.
    if (keep(slot) && memory::nodes[*slot]->unit() == 16) pending.push_back(*slot);
}

static void mark_cell(Cell* c) {
    switch (c->type()) {
        case TYPE_BLOCK:
        case TYPE_PAREN:
        case TYPE_PATH:
        case TYPE_LIT_PATH:
        case TYPE_SET_PATH:
        case TYPE_GET_PATH:
            if (c->data2) mark_block(&c->data2);
            break;
        case TYPE_STRING:
        case TYPE_FILE:
        case TYPE_URL:
        case TYPE_TAG:
        case TYPE_EMAIL:
        case TYPE_REF:
            keep(&c->data2);
            if (c->data3) keep(&c->data3);
            // Under torture a text value naming a series of cells is a stale cell left where the
            // collector looks (the cells of that series would not be walked): fail loudly at once.
            if (torture && c->data2 && c->data2 < memory::state.node_high && memory::node_in_use(c->data2) &&
                memory::nodes[c->data2]->unit() == sizeof(Cell))
                runtime::quit(101, KEL_CALLER_ADDRESS());
            break;
        case TYPE_SYMBOL:
            keep(&c->data3);
            if (c->data2) keep(&c->data2);
            break;
        case TYPE_CONTEXT:
            if (c->data1) hashtable::mark(&c->data1);
            if (c->data3) mark_block(&c->data3);
            if (!(c->header & 0x400000) && c->data2) mark_block(&c->data2);
            break;
        case TYPE_WORD:
        case TYPE_SET_WORD:
        case TYPE_LIT_WORD:
        case TYPE_GET_WORD:
        case TYPE_REFINEMENT:
        case TYPE_ISSUE:
            if (c->data1) {
                // A word bound to `self` in a frame may name a block instead of a context; both
                // are cell series, so marking its cells covers either.
                mark_block(&c->data1);
            }
            break;
        case TYPE_NATIVE:
        case TYPE_ACTION:
            mark_block(&c->data2);
            mark_block(&c->data3);
            break;
        case TYPE_OP: {
            uint32_t wrapped = (c->header >> 16) & 0xFF;
            mark_block(&c->data2);
            mark_block(&c->data3);
            if (wrapped == TYPE_FUNCTION || wrapped == TYPE_ROUTINE) mark_context(&c->data1);
            break;
        }
        case TYPE_FUNCTION:
        case TYPE_ROUTINE:
            mark_context(&c->data1);
            mark_block(&c->data2);
            mark_block(&c->data3);
            break;
        case TYPE_BITSET:
        case TYPE_VECTOR:
        case TYPE_BINARY: keep(&c->data2); break;
        case TYPE_OBJECT:
        case TYPE_ERROR:
        case TYPE_PORT:
            mark_context(&c->data1);
            if (c->data3) mark_block(&c->data3);
            break;
        case TYPE_HASH:
        case TYPE_MAP:
            mark_block(&c->data2);
            if (c->data3) hashtable::mark(&c->data3);
            break;
        case TYPE_IMAGE:
            if (c->data2) keep(&c->data2);
            break;
        case TYPE_HANDLE:
            if (c->i3() >= 0) externals::mark(c->i3());
            break;
        case TYPE_EVENT:
            if ((c->header & 0x1000) && c->data2) mark_block(&c->data2);
            break;
        default: break;
    }
}

static void drain() {
    while (!pending.empty()) {
        Node n = pending.back();
        pending.pop_back();
        SeriesBuf* b = memory::nodes[n];
        Cell* c = cells_head(b);
        Cell* end = cells_tail(b);
        for (; c < end; c++) mark_cell(c);
    }
}

void mark_values(Cell* first, Cell* end) {
    for (Cell* c = first; c < end; c++) mark_cell(c);
    drain();
}

void unmark(Node n) {
    if (memory::node_in_use(n)) memory::nodes[n]->flags &= ~series_flag::mark;
}

void queue_node(Node n) {
    if (dead_count == kQueueSize) free_queued_nodes();
    dead_queue[dead_count++] = n;
}

void free_queued_nodes() {
    for (int i = 0; i < dead_count; i++) memory::free_node(dead_queue[i]);
    nodes_freed += static_cast<uint64_t>(dead_count);
    dead_count = 0;
}

// ---- A collection ----

static void mark_roots() {
    if (root::block_node) mark_block(&root::block_node);
    // The stacks' own buffers only: the frame stack holds records, not cells.
    if (stack::data_node) keep(&stack::data_node);
    if (stack::frame_node) keep(&stack::frame_node);
    if (stack::bottom) mark_values(stack::bottom, stack::top);
    for (Frame* f = stack::cbottom; f && f < stack::ctop; f++) {
        // A frame's naming context is a block in `self` frames: both are cell series.
        if (f->context) mark_block(&f->context);
        if (f->function_context) mark_context(&f->function_context);
    }
    // The symbol table is marked by its module's marker too; named here so that a table put in
    // its place for a while (tests do) cannot cost the real one its symbols.
    if (symbol::table_node) hashtable::mark(&symbol::table_node);
    if (symbol::block_node) mark_block(&symbol::block_node);
    if (context::global_node) mark_context(&context::global_node);
    mark_values(&interpreter::current_block, &interpreter::current_block + 1);
    mark_values(&stack::pending_error, &stack::pending_error + 1);
    if (*slots::root()) mark_block(slots::root());
    for (int i = 0; i < guarded_cell_count; i++) mark_cell(guarded_cells[i]);
    for (int i = 0; i < guarded_node_count; i++) mark_block(guarded_nodes[i]);
    drain();
    for (int i = 0; i < marker_total; i++) {
        if (markers[i]) markers[i]();
        drain();
    }
}

static void move_buffer(SeriesBuf* from, uint8_t* to, size_t size) {
    if (reinterpret_cast<uint8_t*>(from) == to) return;
    // Buffers only slide down: the part of the target below the source was dead space.
    KEL_MEM_UNDEFINED(to, std::min(size, size_t(reinterpret_cast<uint8_t*>(from) - to)));
    std::memmove(to, from, size);
    auto* b = reinterpret_cast<SeriesBuf*>(to);
    memory::nodes[b->node] = b;
}

// Slides the live buffers of the series frames down over the dead ones, in address order. A live
// buffer goes to the earliest frame that still has more than kMinFrameRoom bytes free and room for
// it (its own frame when no earlier one has), so live data packs into the low frames and later
// frames empty out and go back to the operating system (memory::measure_after_collection keeps a
// reserve of them). Head and tail are offsets, so a moved buffer needs only its node rewritten.
static void compact_series_frames() {
    SeriesFrame* dest = memory::state.series_first;
    for (SeriesFrame* f = memory::state.series_first; f; f = f->next) {
        uint8_t* write = f->data();
        uint8_t* old_free = f->free;
        for (uint8_t* p = f->data(); p < old_free;) {
            auto* b = reinterpret_cast<SeriesBuf*>(p);
            size_t size = size_t(b->capacity) + sizeof(SeriesBuf);
            p += size;
            if (!(b->flags & series_flag::in_use) || !(b->flags & series_flag::mark)) {
                if ((b->flags & series_flag::in_use) && b->node) queue_node(b->node);
                bytes_freed += size;
                continue;
            }
            b->flags &= ~series_flag::mark;
            while (dest != f) {
                size_t room = size_t(dest->end - dest->free);
                if (room > memory::kMinFrameRoom && size <= room) break;
                dest = dest->next;
            }
            if (dest != f) {
                move_buffer(b, dest->free, size);
                dest->free += size;
            } else {
                move_buffer(b, write, size);
                write += size;
            }
        }
        f->free = write;
        if (torture) memory::poison(write, size_t(old_free - write));
        KEL_MEM_NOACCESS(write, size_t(old_free - write));
    }
}

static bool cycle();

void do_cycle() {
    if (active) return;
    // Half a collection cannot be undone: the C++ heap running out in its bookkeeping ends the
    // process as any exhausted run-time heap does, instead of leaving marks and moves half made
    // behind an error that a script could catch.
    bool done;
    try {
        done = cycle();
    } catch (const std::bad_alloc&) {
        runtime::quit(94, KEL_CALLER_ADDRESS());
    }
    if (!done) memory::out_of_memory();
}

// Marking changes nothing but the mark bits: when its work list cannot grow (the address space
// is full, as it is when a collection is most wanted), the marks are taken back and the
// collection is given up, for the allocation that wanted it to be refused as the language's
// no-memory error.
static bool abandon_marking() {
    for (Node n = 1; n < memory::state.node_high; n++)
        if (memory::node_in_use(n)) memory::nodes[n]->flags &= ~series_flag::mark;
    // The list keeps the room it has: the next collection, after the script dropped some of
    // what it holds, needs no more than that.
    pending.clear();
    active = false;
    std::atomic_thread_fence(std::memory_order_seq_cst);
    return false;
}

// False when the collection was given up before anything was freed or moved.
static bool cycle() {
    std::atomic_thread_fence(std::memory_order_seq_cst);
    active = true;
    // Catch a write through a stale address at the first collection after it, near its cause.
    if (const char* problem = nullptr; torture && !memory::verify(&problem)) {
        std::fprintf(stderr, "*** corrupt series memory: %s\n", problem);
        std::abort();
    }
    try {
        pending.clear();
        mark_roots();
    } catch (const std::bad_alloc&) {
        return abandon_marking();
    }
    // Weak references: resources and ownership records whose holders went unreached.
    externals::sweep();
    if (Node* owned = ownership::table_root(); *owned && memory::node_in_use(*owned)) {
        hashtable::prune_dead(*owned);
        drain();
    }
    compact_series_frames();
    memory::sweep_big_series();
    free_queued_nodes();
    memory::compact_nodes();
    memory::clear_fixed_marks();
    if (torture) memory::relocate_all();
    memory::measure_after_collection();
    cycles++;
    active = false;
    std::atomic_thread_fence(std::memory_order_seq_cst);
    return true;
}

}  // namespace collector
