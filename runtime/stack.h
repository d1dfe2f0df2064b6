// The data stack of value cells and the call-frame stack. Both are fixed at start-up and never
// move, so pointers into them stay valid across allocations.
#pragma once

#include <cstdint>

#include "datatypes/cell.h"

enum FrameKind : uint32_t {
    FRAME_FUNCTION = 0x01000000,
    FRAME_NATIVE = 0x02000000,
    FRAME_FUNC_CTX = 0x12000000,  // compiled function: kind 2 with the return-target flag
    FRAME_TRY = 0x04000000,
    FRAME_BOUNDARY = 0x05000000,
    FRAME_CATCH = 0x06000000,
    FRAME_LOOP = 0x08000000,
    FRAME_KIND9 = 0x09000000,
    FRAME_INTERP_FUNC = 0x81000000,
    FRAME_INTERP_NATIVE = 0x82000000,
    FRAME_EVAL = 0x87000000,
};

namespace frame_flag {
constexpr uint32_t return_target = 0x10000000;
constexpr uint32_t interpreted = 0x80000000;
constexpr uint32_t kind_mask = 0x0F000000;
}  // namespace frame_flag

// One call-frame record. Arguments are data-stack cell indices; the symbol is a full 32-bit id.
struct Frame {
    uint32_t header;        // kind in bits 24-27, return target bit 28, interpreted bit 31
    uint32_t symbol;        // symbol id of the word naming the call
    uint32_t saved_args;    // stack::arguments when pushed, as a cell index from the bottom
    Node context;           // context node of the naming word (a block node in `self` frames)
    Node function_context;  // context whose values live in this frame's argument cells, or 0
    uint32_t saved_values;  // that context's values field before the call, or 0

    uint32_t kind() const { return (header & frame_flag::kind_mask) >> 24; }
};

namespace context {
extern Node global_node;
}

namespace stack {

constexpr int kDataCells = 20000;
// Cells past `end`, usable only while an overflow's error is being made: the cells that the
// error would otherwise take from below the top may hold the values of calls that survive it.
constexpr int kSpareCells = 256;
constexpr int kFrames = 12000;

extern Cell* bottom;
extern Cell* arguments;
extern Cell* top;
extern Cell* end;
extern Frame* cbottom;
extern Frame* ctop;
extern Frame* cend;
extern Node data_node;   // the fixed series holding the data stack
extern Node frame_node;  // the fixed series holding the frames
extern uint32_t body_symbol;   // "<body>"
extern uint32_t anon_symbol;   // "<anon>"
extern bool remembered;        // set by throw: get_call_name answers the throwing call's name

void init();
// Allocates the two stacks (before the symbols exist); init() finishes once names can be made.
void alloc();

inline uint32_t index_of(const Cell* c) { return static_cast<uint32_t>(c - bottom); }
inline Cell* at_index(uint32_t i) { return bottom + i; }

// Room checks raise internal stack-overflow after making room for the error to be handled.
[[noreturn]] void data_overflow();
[[noreturn]] void frame_overflow();

// Frames. Pushing and popping are a few stores on the hot paths of every call: inline.
inline void mark(uint32_t symbol, Node context, uint32_t kind) {
    if (ctop >= cend) frame_overflow();
    Frame* f = ctop++;
    f->header = kind;
    f->symbol = symbol;
    f->saved_args = index_of(arguments);
    f->context = context;
    f->function_context = 0;
    f->saved_values = 0;
    arguments = top;
}
inline void mark_word(const Cell* word, uint32_t kind) { mark(word->data2, word->data1, kind); }
void mark_func(const Cell* word, Node function_context);
void mark_func_ctx(const Cell* word, Node function_context);
inline void mark_native(const Cell* word) { mark_word(word, FRAME_NATIVE); }
inline void mark_try(const Cell* word) { mark_word(word, FRAME_TRY); }
inline void mark_boundary(const Cell* word) { mark_word(word, FRAME_BOUNDARY); }
inline void mark_catch(const Cell* word) { mark_word(word, FRAME_CATCH); }
inline void mark_loop(const Cell* word) { mark_word(word, FRAME_LOOP); }
inline void mark_eval(const Cell* word) { mark_word(word, FRAME_EVAL); }
inline void mark_interp_native(const Cell* word) { mark_word(word, FRAME_INTERP_NATIVE); }
inline void mark_interp_func(const Cell* word) { mark_word(word, FRAME_INTERP_FUNC); }
// Frames named by a symbol directly ("<body>", "<anon>").
inline void mark_named(uint32_t symbol, uint32_t kind) { mark(symbol, context::global_node, kind); }

inline Frame* top_frame() { return ctop - 1; }
inline bool has_frames() { return ctop > cbottom; }
void set_ctop(Frame* f);
inline void set_frame_flag(bool on) {
    if (on)
        top_frame()->header |= frame_flag::return_target;
    else
        top_frame()->header &= ~frame_flag::return_target;
}
inline void set_interp_flag() { top_frame()->header |= frame_flag::interpreted; }
Frame* claim_caller_flag();
inline void clear_frame_flag(Frame* f) { f->header &= ~frame_flag::return_target; }

// Popping: each removes the top frame.
inline void unwind() {
    Frame* f = --ctop;
    top = arguments + 1;
    arguments = at_index(f->saved_args);
}
void unwind_restore();
inline void unwind_last() {
    Cell* result = arguments;
    Frame* f = --ctop;
    arguments = at_index(f->saved_args);
    *arguments = *result;
    top = arguments + 1;
}
void unwind_last_restore();
void pop_frame();
void pop_frame_restore();
void revert();
// Restores a function context's values pointer from a frame being dropped.
void restore_values(const Frame* f);

// Cells.
// The new cell holds none until its owner writes it: the collector marks every cell below the
// top, and what lay above it may name a series freed since.
inline Cell* push_cell() {
    if (top + 1 >= end) data_overflow();
    top->header = TYPE_NONE;
    return top++;
}
inline Cell* push(const Cell* value) {
    if (top + 1 >= end) data_overflow();
    *top = *value;
    return top++;
}
inline void pop(int n) { top = (top - bottom) > n ? top - n : bottom; }
inline void reset() { top = arguments; }
inline void keep() { top = arguments + 1; }
inline Cell* set_last(const Cell* value) {
    *arguments = *value;
    return arguments;
}
inline Cell* set_last_drop(const Cell* value) {
    top = arguments + 1;
    *arguments = *value;
    return arguments;
}
inline Cell* top_cell() { return top > bottom ? top - 1 : bottom; }
inline int top_type() { return top_cell()->type(); }
inline Cell* arg(int i) { return arguments + i; }
void keep_error();

// Inspection.
bool eval_q(Frame* from, bool only_this_one);
// The word naming the innermost call, into out.
Cell* get_call_name(Cell* out);
void collect_calls(Node block);
void frames_to_block(int level, Node block, Frame* limit);
int form_trace(int level, const Cell* error, Node string, int budget);
void attach_trace(Cell* error);

// Non-local exits (each throws its code; see the unwinding rules).
[[noreturn]] void throw_error(Cell* error);
[[noreturn]] void throw_break(bool has_value, bool continue_);
[[noreturn]] void throw_exit(bool has_value, bool include_top);
[[noreturn]] void throw_throw(uint32_t code);
void unroll(uint32_t kind, int mode);
void unroll_last(uint32_t kind);
void unroll_loop(int mode);

// The error value handed to the nearest try frame (the top cell when code error is caught).
// Set by throw_error; read by catchers.
extern Cell pending_error;

// Saved stack state, for catch sites that restore it.
struct Saved {
    Cell* arguments;
    Cell* top;
    Frame* ctop;
};
inline Saved save() { return {arguments, top, ctop}; }
inline void restore(const Saved& s) {
    arguments = s.arguments;
    top = s.top;
    ctop = s.ctop;
}

}  // namespace stack
