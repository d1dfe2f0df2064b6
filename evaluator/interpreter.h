// The interpreter: evaluates blocks in place, expression by expression, on the data stack.
//
// Positions are (code node, cell index) pairs: the code block may move or change while it runs,
// so no cell address is kept across an evaluation step, and the block's tail is read again before
// each expression.
#pragma once

#include <cstdint>

#include "datatypes/cell.h"

namespace interpreter {

// Trace switch and the trace-active flag (set while a do/trace runs).
extern bool tracing;
extern bool trace_active;
extern uint32_t trace_mask;

// The block being evaluated; its index is the start of the current expression.
extern Cell current_block;

void init();

// Evaluates a whole block. With copy_result the value ends in the caller's result slot, else it
// is left pushed as one cell.
void eval_block(const Cell* block, bool copy_result);
// The same for a block that is likely to be run often and to be simple (a loop's body, a branch, a
// paren): its leading expressions that call nothing are done first, without a frame, which none of
// them could show. Costs a little for a block that starts with a call.
void eval_block_quick(const Cell* block, bool copy_result);

// Evaluates one expression at pos (a cell index of the code block) and returns the position after
// it. push: leave the value as one pushed cell instead of the result slot.
int32_t eval_expression(const Cell* code, int32_t pos, int32_t end, bool no_infix, bool push, bool literal_functions);

// One expression under its own frame; the value placed by push.
int32_t eval_next(const Cell* code, int32_t pos, int32_t end, bool push);
// A native that walks a block with eval_next (reduce, any, all, case) reports the walk as the
// block's evaluation: enter before its first expression, exit (with value) after its last.
void trace_walk_event(uint32_t event, const Cell* code, int32_t pos, const Cell* value);
inline void trace_walk(uint32_t event, const Cell* code, int32_t pos, const Cell* value) {
    if (trace_active) [[unlikely]] trace_walk_event(event, code, pos, value);
}
// do/next: evaluates the expression at the block's index into the result slot and returns the new
// index (unchanged, with unset, at the tail).
int32_t do_next(const Cell* code);

// Calls a function value with arguments read from the code after pos (path: the path whose
// remaining elements are refinements, from path_index on). Returns the position after the call.
int32_t eval_code(const Cell* fn, const Cell* code, int32_t pos, int32_t end, bool push, const Cell* path,
                  int32_t path_index, const Cell* source, int apply_mode, bool infix, const Cell* name);

// Path evaluation in get, set (the value is the cell at stack::arguments) or call mode.
int32_t eval_path(const Cell* path, const Cell* code, int32_t pos, int32_t end, bool set, bool get, bool push, bool case_);

// Runs a function! whose arguments are already in place in the current frame.
void call_function(const Cell* fn, Node ctx, const Cell* name);

// Calls any function value with the given argument values (no refinements) and leaves the
// result in out. Used by run-time code that calls back into script (sort comparators,
// change handlers, trace callbacks).
void call_with(Cell* out, const Cell* fn, const Cell* const* args, int nargs);

// Set while the environment is built: type words not yet set admit every type (see the .cpp).
extern bool provisional_types;
// The argument cache of a function value (built on first use).
Node arg_cache(const Cell* fn);
// Builds the caches of the built-in natives and actions from their specs as the boot made them.
// A cache is never rebuilt, and their spec blocks are the script's to edit (reflect answers the
// block itself): their code must keep getting the arguments it was written for.
void settle_builtin_caches();

// The spec position of the argument a cache typeset describes: its low 12 bits in header bits
// 8-19 (beside the fetch mode in bits 20-21), the rest in bits 22-29, so that the arguments of
// long specs are found as well.
constexpr int32_t kMaxSpecPosition = (1 << 20) - 1;
inline uint32_t spec_position_bits(int32_t i) {
    uint32_t p = static_cast<uint32_t>(i < kMaxSpecPosition ? i : kMaxSpecPosition);
    return ((p & 0xFFF) << 8) | ((p >> 12) << 22);
}
inline int32_t spec_position(const Cell* ts) {
    return static_cast<int32_t>(((ts->header >> 8) & 0xFFF) | (((ts->header >> 22) & 0xFF) << 12));
}

// Typeset bits.
inline bool typeset_has(const Cell* ts, int type) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(&ts->data1);
    return bytes[type >> 3] & (0x80 >> (type & 7));
}
inline void typeset_set(Cell* ts, int type) {
    auto* bytes = reinterpret_cast<uint8_t*>(&ts->data1);
    bytes[type >> 3] |= static_cast<uint8_t>(0x80 >> (type & 7));
}

// Tracing.
enum Event : uint32_t {
    EV_INIT = 0x1,
    EV_END = 0x2,
    EV_PROLOG = 0x4,
    EV_EPILOG = 0x8,
    EV_ENTER = 0x10,
    EV_EXIT = 0x20,
    EV_OPEN = 0x40,
    EV_RETURN = 0x80,
    EV_FETCH = 0x100,
    EV_PUSH = 0x200,
    EV_SET = 0x400,
    EV_CALL = 0x800,
    EV_ERROR = 0x1000,
    EV_THROW = 0x2000,
    EV_CATCH = 0x4000,
    EV_EXPR = 0x8000,
};
void fire_event(uint32_t event, const Cell* code, int32_t pos, const Cell* ref, const Cell* value);
// Installs a trace callback for the duration of a do/trace (no effect while one is active);
// answers whether it installed it.
bool trace_begin(const Cell* callback);
void trace_end();
// Runs fn(arg) while a throw is under way: the thrown code and the pending error set aside, under
// a boundary frame of its own, so that an error, break, return or throw that fn starts stops there
// and is dropped, and the throw in flight goes on unchanged.
void run_aside(void (*fn)(void*), void* arg);
uint32_t mask_of(const Cell* callback);

}  // namespace interpreter
