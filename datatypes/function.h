// function! and routine! values. Function cell: data1 context node (values on the data stack
// while a call runs), data2 spec node, data3 node of the five-cell "more" block: body, argument
// cache, native code, operator copy, extra. native!/action! cells: data1 table index, data2 spec
// node, data3 a two-cell block (context cell copy, argument cache).
#pragma once

#include <cstdint>

#include "datatypes/cell.h"

namespace function {

constexpr uint32_t flag_no_trace = 0x200;
constexpr uint32_t flag_trace = 0x400;
// Functions made by the boot script: they run like compiled code (no trace events inside) and
// `source` shows their body.
constexpr uint32_t flag_builtin = 0x1000;

enum More { MORE_BODY = 0, MORE_CACHE = 1, MORE_CODE = 2, MORE_OP = 3, MORE_EXTRA = 4 };

// The body block cell of a function (null for other types).
Cell* body_of(const Cell* fn);
// From the start index: 0 until /local, then 1 for /local and 1 for each later word; -1 with
// strict when there is no /local.
int32_t count_locals(Node spec, int32_t start, bool strict);
// Pushes the initial local slots of a call: false for /local, then n - 1 none values.
void init_locals(int32_t n);
int32_t local_symbol();

// Makes a function value from a spec and a body block (deep-copied and bound), pushes it and
// answers its context node.
Node push(const Cell* spec, const Cell* body, Node ctx, int32_t code, int32_t extra, uint32_t flags);
// The same, written into out.
Cell* make_at(Cell* out, const Cell* spec, const Cell* body, uint32_t flags);

void init();

}  // namespace function
