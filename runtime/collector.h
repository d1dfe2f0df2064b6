// The interface between the memory manager, the modules that own series and the garbage
// collector.
#pragma once

#include <cstdint>

#include "runtime/memory.h"

struct Cell;

namespace collector {

extern bool enabled;      // collection runs only once the boot data is loaded
// Collection torture: every series allocation collects, moves every live buffer and poisons what
// it left, so a value or address held across an allocation without a guard fails at once. On in
// builds made with KEL_GC_TORTURE, or when the environment variable KEL_GC_TORTURE is set (not
// "0") at start-up.
extern bool torture;
// Whether torture also covers the environment's start-up, which runs the same way every time:
// only when the variable is "all", so that a test run starting many processes stays quick.
extern bool torture_start_up;
extern uint32_t cycles;   // completed collections
extern bool active;       // a collection is running
// Node compaction may renumber nodes; tables that hash by node handle switch it off while they
// rebuild and rehash when node_passes has moved on since their hashes were taken.
extern bool node_compaction;
extern uint32_t node_passes;  // node-compaction passes that moved at least one node frame

// Figures of the collections so far: bytes of series buffers reclaimed and nodes freed.
extern uint64_t bytes_freed;
extern uint64_t nodes_freed;

// Clears the counters (run-time start-up).
void init();
// Runs a collection when enabled and none is running; true when one ran. Called by the
// allocator when it finds no room.
bool auto_cycle();
// One full collection whether or not automatic collection is enabled (recycle). Stops the world:
// marks from the roots, drops weak records, compacts the series frames, frees dead big regions,
// nodes and empty node frames. Every buffer address held across it is stale afterwards.
void do_cycle();
inline bool active_q() { return active; }

// Marking callbacks of modules that keep series outside what the roots reach (at most 100).
void add_marker(void (*marker)());
void remove_marker(void (*marker)());
int marker_count();

// Marking functions for owners of series, usable inside marking callbacks.
bool keep(Node* slot);
void mark_series(Cell* value);
void mark_block(Node* slot);
void mark_context(Node* slot);
void mark_values(Cell* first, Cell* end);
void unmark(Node n);

// Scoped roots: C++ code that holds a value or a bare node across an allocation guards it, so the
// collector keeps it and, when nodes move, rewrites it in place. Guards nest strictly (LIFO).
// The guard tables; constructing and dropping a guard is a store and a count on hot paths.
constexpr int kMaxGuards = 1 << 16;
extern Cell* guarded_cells[kMaxGuards];
extern int guarded_cell_count;
extern Node* guarded_nodes[kMaxGuards];
extern int guarded_node_count;
[[noreturn]] void guards_exhausted();
class Root {
public:
    explicit Root(Cell* c) {
        if (guarded_cell_count >= kMaxGuards) guards_exhausted();
        guarded_cells[guarded_cell_count++] = c;
    }
    ~Root() { guarded_cell_count--; }
    Root(const Root&) = delete;
    Root& operator=(const Root&) = delete;
};
class NodeRoot {
public:
    explicit NodeRoot(Node* n) {
        if (guarded_node_count >= kMaxGuards) guards_exhausted();
        guarded_nodes[guarded_node_count++] = n;
    }
    ~NodeRoot() { guarded_node_count--; }
    NodeRoot(const NodeRoot&) = delete;
    NodeRoot& operator=(const NodeRoot&) = delete;
};
// The guarded cells and nodes, for the marking phase.
struct Guards {
    Cell** cells;
    int cell_count;
    Node** nodes;
    int node_count;
};
Guards guards();

void queue_node(Node n);
void free_queued_nodes();

}  // namespace collector
