// The parse dialect: matches an input series (block-like, string-like or binary!) against a block
// of rules.
//
// The engine is one non-recursive state machine. Its backtracking state lives in two work blocks
// shared by every call (the rules stack of three-cell frames and the series stack of `into`
// inputs), so a deep grammar never grows the native stack; the rules stack holds at most 10,000
// cells for all nested calls together. A paren in the rules, or the trace callback, may call parse
// again: each call opens a level of its own on the two stacks and cuts them back to where it found
// them on every way out, errors included.
#pragma once

#include <cstdint>

#include "datatypes/cell.h"

namespace parse {

// Cells each work stack may hold before a push is refused with parse-stack.
constexpr int32_t kStackLimit = 10000;

// Start-up: makes the two work stacks (kept by the root block) and the keyword symbols.
void init();

// The engine. input: a block-like, string-like or binary! value; rules: a block!; mode 0 compares
// ignoring case, 2 case-sensitively; limit: an absolute index of the input where it ends, or -1 for
// none; callback: a function! called on every event, or null. Writes logic! (whether the rules
// matched the whole input) or the block of a top-level `collect` into out and answers out. out may
// be the cell that holds input.
Cell* process(Cell* out, const Cell* input, const Cell* rules, int mode, int32_t limit, const Cell* callback);

// The work of the parse native: /case when case_ is set; part is the /part argument (an integer!
// length or a position in the input) or null; callback the /trace function or null. The result
// goes into the current call's result slot (stack::arguments), with the stack top just above it.
// break, continue, return and exit thrown by code in the rules are thrown on for an interpreted
// caller and left pending in runtime::sys.thrown for a compiled one.
void parse(const Cell* input, const Cell* rules, bool case_, const Cell* part, const Cell* callback);

// The native's routine (natives table slot 40): arguments input, rules; refinements /case, /part
// length, /trace callback. With check set the argument types are checked first.
void native(int check, const int32_t* refs);

// Cells used now on the rules stack and the series stack (for tests: both are 0 between calls).
int32_t rules_depth();
int32_t series_depth();

}  // namespace parse
