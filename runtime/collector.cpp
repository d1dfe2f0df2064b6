#include "runtime/collector.h"

#include <cstdlib>

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

bool keep(Node* slot) {
    SeriesBuf* b = memory::nodes[*slot];
    if (!b || (reinterpret_cast<uintptr_t>(b) & 1)) return false;
    if (b->flags & series_flag::mark) return false;
    b->flags |= series_flag::mark;
    return true;
}

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

void queue_node(Node n) {
    if (dead_count == kQueueSize) free_queued_nodes();
    dead_queue[dead_count++] = n;
}

void free_queued_nodes() {
    for (int i = 0; i < dead_count; i++) memory::free_node(dead_queue[i]);
    dead_count = 0;
}

}  // namespace collector
