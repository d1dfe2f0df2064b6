// function! and routine! values.
//
// Function cell: data1 context node (kind function, values on the data stack while a call
// runs; its owner cell holds a copy of the function), data2 spec node (the spec from its first
// cell), data3 node of the five-cell "more" block: body, argument cache, native code, operator
// copy, extra. Header flags: 0x400 trace, 0x200 no-trace, 0x1000 built-in.
// Routine cell: the same layout typed 29; header bit 0x8000 on request and the argument count
// in bits 25-29; more block: body source, argument cache, routine number, unset, return type.
#pragma once

#include <cstdint>

#include "datatypes/cell.h"

namespace function {

constexpr uint32_t flag_no_trace = 0x200;
constexpr uint32_t flag_trace = 0x400;
// Functions made by the boot script: they run like compiled code (no trace events inside) and
// `source` shows their body.
constexpr uint32_t flag_builtin = 0x1000;
// On while the boot script runs: the functions it makes are the system's own, flagged built-in
// (a trace does not look inside them).
extern bool making_builtins;

enum More { MORE_BODY = 0, MORE_CACHE = 1, MORE_CODE = 2, MORE_OP = 3, MORE_EXTRA = 4 };

void init();

// The body block cell of a function or routine (null for other types).
Cell* body_of(const Cell* fn);
// From the start index: 0 until /local, then 1 for /local and 1 for each later word; -1 with
// strict when there is no /local.
int32_t count_locals(Node spec, int32_t start, bool strict);
// Pushes the initial local slots of a call: false for /local, then n - 1 none values.
void init_locals(int32_t n);
int32_t local_symbol();

// Spec validation: answers the attribute flags (trace / no-trace), or raises bad-func-def,
// invalid-type-spec, dup-vars or no-value.
uint32_t validate_spec(const Cell* spec);
// Flags of an attribute block, or -1 when it holds something other than words.
int32_t spec_attributes(const Cell* attributes);
void check_type_block(const Cell* types_block);
void check_duplicates(const Cell* spec);

// Makes a function value from a spec and a body block (deep-copied and bound to a context made
// from the spec unless ctx is given), pushes it and answers its context node. body may be null
// or none for a function without body source.
Node push(const Cell* spec, const Cell* body, Node ctx, int32_t code, int32_t extra, uint32_t flags);
// The same, written into out instead of pushed.
Cell* make_at(Cell* out, const Cell* spec, const Cell* body, uint32_t flags);
// A function over a spec series, a context and a body that are used as they are (no copy, no
// binding): re-making a function for another object.
Cell* make_with(Cell* out, Node spec, const Cell* body, Node ctx, uint32_t flags);

// The locals of the `function` native: the set-words of the body and the words of foreach,
// remove-each and repeat, minus the spec's own words and those after /extern. Appends them to
// the spec (after /local) in place, and answers them as a block.
Cell* collect_words(Cell* out, Cell* spec, const Cell* body);

// Actions.
Cell* make(Cell* proto, Cell* spec, int type);
int form(const Cell* value, Node buffer, const Cell* part, int limit);
int mold(const Cell* value, Node buffer, bool only, bool all, bool flat, const Cell* part, int limit, int indent);
int compare(const Cell* a, const Cell* b, int op);

}  // namespace function

namespace routine {

constexpr uint32_t flag_maker = 0x8000;
constexpr uint32_t arity_shift = 25;
constexpr uint32_t arity_mask = 0x1F;

void init();
// Makes a routine value of a registered code number and pushes it. A spec of more than 31 words
// raises bad-func-def.
Cell* push(const Cell* spec, const Cell* body, int32_t code, int32_t return_type, bool flag);
int32_t get_arity(const Cell* r);
void set_arity(Cell* r);

}  // namespace routine
