// binary! values: a series of bytes, written #{0102FF}. Cell: data1 head index in bytes, data2
// the node (unit 1).
#pragma once

#include <cstddef>
#include <cstdint>

#include "datatypes/cell.h"

namespace binary {

// A new binary! holding a copy of n bytes.
Cell* load_at(Cell* c, const uint8_t* bytes, size_t n);
int32_t rs_length_q(const Cell* value);
// Address of the head byte (valid until the next allocation).
const uint8_t* rs_head(const Cell* value);

int form(const Cell* value, Node buffer, const Cell* part, int limit);
int mold(const Cell* value, Node buffer, bool only, bool all, bool flat, const Cell* part, int limit, int indent);
int compare(const Cell* a, const Cell* b, int op);

void init();

}  // namespace binary
