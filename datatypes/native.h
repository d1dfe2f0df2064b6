// native!, action! and op! values: built-in code held in words and called like functions.
//
// native! and action! cell: data1 the 1-based index N of the natives table or of the action entry
// points, data2 the spec block's node, data3 a two-cell block: a copy of the context cell made
// from the spec (kind function, values on the stack), then the argument cache (none until the
// interpreter builds it).
// op! cell: header type 23 with the wrapped type (21, 22, 24 or 29) in bits 16-23, then the
// wrapped value's three payload words unchanged. A wrapped function! or routine! is also copied
// into the fourth cell of its more block, where the interpreter finds it.
#pragma once

#include <cstdint>

#include "datatypes/cell.h"

namespace native {

enum More { MORE_CONTEXT = 0, MORE_CACHE = 1 };

void init();

// A native! or action! of index n with a spec block (pushed / written into out). No range
// check: start-up code installs its own tables.
Cell* make_at(Cell* out, uint8_t type, const Cell* spec, int32_t n);
Cell* push(uint8_t type, const Cell* spec, int32_t n);

// The make action of native! and action!: a block of a spec block and an integer! index.
Cell* make(Cell* proto, Cell* spec, int type);
int form(const Cell* value, Node buffer, const Cell* part, int limit);
int mold(const Cell* value, Node buffer, bool only, bool all, bool flat, const Cell* part, int limit, int indent);
int compare(const Cell* a, const Cell* b, int op);

// The type an op! wraps.
inline uint8_t op_wrapped(const Cell* op) { return static_cast<uint8_t>((op->header >> 16) & 0xFF); }
// Header flag of an op! over a native! or action! that a script made: it may take fewer types
// than the built-in code it runs, so the interpreter's arithmetic shortcuts check its operands.
constexpr uint32_t op_checks_operands = 0x01000000;
// Whether a spec describes exactly two arguments, the first one a plain word!.
bool op_valid_spec_q(Node spec);
Cell* op_make(Cell* proto, Cell* spec, int type);

}  // namespace native
