#include "runtime/root.h"

#include "datatypes/block.h"

namespace root {

Node block_node = 0;

void init() { block_node = memory::alloc_fixed_series(10000, 16, 0); }

int32_t keep(const Cell* value) {
    block::append_cell(block_node, value);
    return block::node_length(block_node) - 1;
}

int32_t keep_node(Node n) {
    Cell c;
    uint8_t type = memory::nodes[n]->unit() == 16 ? TYPE_BLOCK : TYPE_BINARY;
    set_cell(&c, type, 0, n);
    return keep(&c);
}

Cell* at(int32_t index) { return block::node_cell(block_node, index); }

}  // namespace root
