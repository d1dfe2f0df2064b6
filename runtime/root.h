// The root block: values the run-time keeps for the whole run (the collector's first root).
#pragma once

#include "datatypes/cell.h"

namespace root {

extern Node block_node;

void init();
// Appends a value to the root block and answers its index there.
int32_t keep(const Cell* value);
// Keeps a series node alive for the run (as a block or byte series value).
int32_t keep_node(Node n);
Cell* at(int32_t index);

}  // namespace root
