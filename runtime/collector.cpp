#include "runtime/collector.h"

#include <cstdlib>
#include <vector>

#include "datatypes/cell.h"
#include "runtime/hashtable.h"

#include "runtime/runtime.h"

namespace collector {

bool enabled = false;
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

// The collection itself comes with the collector; until then allocation never collects.
bool auto_cycle() { return false; }

void add_marker(void (*marker)()) {
    for (int i = 0; i < marker_total; i++)
        if (markers[i] == marker) return;
    // A full table is a fault of the build, not of a script: end with a report instead of
    // writing past the array.
    if (marker_total >= kMaxMarkers) runtime::quit(98, KEL_CALLER_ADDRESS());
    markers[marker_total++] = marker;
}

void remove_marker(void (*marker)()) {
    for (int i = 0; i < marker_total; i++)
        if (markers[i] == marker) {
            markers[i] = markers[--marker_total];
            return;
        }
}

int marker_count() { return marker_total; }


static constexpr int kMaxGuards = 1 << 16;
static Cell* guarded_cells[kMaxGuards];
static int guarded_cell_count = 0;
static Node* guarded_nodes[kMaxGuards];
static int guarded_node_count = 0;

Root::Root(Cell* c) {
    if (guarded_cell_count >= kMaxGuards) runtime::quit(98, KEL_CALLER_ADDRESS());
    guarded_cells[guarded_cell_count++] = c;
}
Root::~Root() { guarded_cell_count--; }

NodeRoot::NodeRoot(Node* n) {
    if (guarded_node_count >= kMaxGuards) runtime::quit(98, KEL_CALLER_ADDRESS());
    guarded_nodes[guarded_node_count++] = n;
}
NodeRoot::~NodeRoot() { guarded_node_count--; }

Guards guards() { return {guarded_cells, guarded_cell_count, guarded_nodes, guarded_node_count}; }

// Blocks whose values still need marking. An explicit work list instead of recursion: deeply
// nested data must not exhaust the native stack.
static std::vector<Node> pending;

bool keep(Node* slot) {
    if (!*slot) return false;
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
    if (!keep(slot)) return;
    pending.push_back(*slot);  // the context cell and the owner cell are marked as values
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

void queue_node(Node n) {
    if (dead_count == kQueueSize) free_queued_nodes();
    dead_queue[dead_count++] = n;
}

void free_queued_nodes() {
    for (int i = 0; i < dead_count; i++) memory::free_node(dead_queue[i]);
    dead_count = 0;
}

}  // namespace collector
