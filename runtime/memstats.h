// Memory statistics behind the stats native: the bytes in use, and the detailed view of node
// frames, series frames, big regions and heap blocks.
#pragma once

#include <cstdint>

#include "runtime/memory.h"

namespace memstats {

// Mode 1 answers the bytes in use: 4 per node in use, the used bytes of every series frame and
// the size of every big region. Mode 2 and above also append, to the parent block, a block per
// node frame (free nodes, nodes in use, capacity), a block per series frame (free bytes, used
// bytes, data size) and a block of big-region sizes, then to the output block the total of the
// big regions (size + 12 each) and of the heap blocks (asked size + 16 each). Mode 0 answers 0.
// Collection is off while it runs.
double collect(Node parent, Node output, int mode);
// Appends a byte count as integer!, or float! beyond 2147483647.
void append_count(Node block, double bytes);

}  // namespace memstats
