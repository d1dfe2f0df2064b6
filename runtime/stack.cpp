#include "runtime/stack.h"

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/error.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "runtime/cycles.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/root.h"
#include "runtime/runtime.h"

namespace stack {

Cell* bottom = nullptr;
Cell* arguments = nullptr;
Cell* top = nullptr;
Cell* end = nullptr;
Frame* cbottom = nullptr;
Frame* ctop = nullptr;
Frame* cend = nullptr;
Node data_node = 0;
Node frame_node = 0;
uint32_t body_symbol = 0;
uint32_t anon_symbol = 0;
bool remembered = false;
Cell pending_error;

static uint32_t not_found_symbol = 0;
// The name of the call in which a throw happened, kept as a word in the root block while the
// throw travels: the frames it leaves are reused meanwhile (by trace handlers that run as a
// traced `do` is left, for one), so their records cannot be read back later.
static int32_t remembered_slot = -1;

void alloc() {
    data_node = memory::alloc_fixed_series(kDataCells + kSpareCells, 16, 0);
    frame_node = memory::alloc_fixed_series(kFrames * static_cast<int>(sizeof(Frame)) / 16 + 1, 16, 0);
    SeriesBuf* d = memory::nodes[data_node];
    bottom = arguments = top = cells_of(d);
    end = bottom + kDataCells;
    for (Cell* c = bottom; c < end + kSpareCells; c++) set_cell(c, TYPE_UNSET);
    SeriesBuf* f = memory::nodes[frame_node];
    cbottom = ctop = reinterpret_cast<Frame*>(f->data());
    cend = cbottom + kFrames;
}

void init() {
    if (!bottom) alloc();
    arguments = top = bottom;
    ctop = cbottom;
    body_symbol = symbol::make("<body>");
    anon_symbol = symbol::make("<anon>");
    not_found_symbol = symbol::make("<not-found>");
    remembered = false;
    if (remembered_slot < 0) {
        Cell none;
        set_cell(&none, TYPE_NONE);
        remembered_slot = root::keep(&none);
    }
}

// The room for the error: the top goes down, but not below the innermost call's arguments,
// since the cells there belong to calls that a try between them and the overflow survives (a
// function's argument and local values among them); the spare cells past the end make up for
// what that leaves, also for an overflow met while the error is made (a trace handler's call
// with the frames full). Only with the spare cells spent does the room come from below.
[[noreturn]] static void overflow(int by) {
    Cell* spare_end = bottom + kDataCells + kSpareCells;
    Cell* floor = arguments >= bottom && arguments <= top ? arguments : bottom;
    top = (top - floor) > by ? top - by : floor;
    if (spare_end - top <= by) top = (top - bottom) > by ? top - by : bottom;
    cycles::reset();
    struct Restore {
        Cell* saved_end;
        ~Restore() { end = saved_end; }
    } restore{end};
    end = spare_end;
    fire(err::internal::stack_overflow);
}

void data_overflow() { overflow(4); }

void frame_overflow() { overflow(5); }


void mark_func(const Cell* word, Node function_context) {
    mark_word(word, FRAME_FUNCTION);
    Frame* f = ctop - 1;
    f->function_context = function_context;
    f->saved_values = function_context ? context::cell_of(function_context)->data2 : 0;
}

void mark_func_ctx(const Cell* word, Node function_context) {
    mark_word(word, FRAME_FUNC_CTX);
    Frame* f = ctop - 1;
    f->function_context = function_context;
    Cell* ctx = context::cell_of(function_context);
    f->saved_values = ctx->data2;
    ctx->data2 = index_of(arguments) + 1;
}

void set_ctop(Frame* f) { ctop = f; }



Frame* claim_caller_flag() {
    if (ctop - cbottom < 2) return nullptr;
    Frame* f = ctop - 2;
    if (f->header & frame_flag::return_target) return nullptr;
    f->header |= frame_flag::return_target;
    return f;
}


void restore_values(const Frame* f) {
    if (f->function_context) context::cell_of(f->function_context)->data2 = f->saved_values;
}

void unwind_restore() {
    restore_values(ctop - 1);
    unwind();
}

void unwind_last_restore() {
    restore_values(ctop - 1);
    unwind_last();
}

void pop_frame() {
    Frame* f = --ctop;
    arguments = top = at_index(f->saved_args);
}

void pop_frame_restore() {
    restore_values(ctop - 1);
    pop_frame();
}

void revert() {
    Frame* f = --ctop;
    if (f->kind() == 1) restore_values(f);
    if (ctop == cbottom) {
        arguments = top = bottom;
    } else {
        top = arguments;
        arguments = at_index(f->saved_args);
    }
}

void keep_error() {
    if (top > bottom && (top - 1)->type() == TYPE_ERROR) *arguments = *(top - 1);
    top = arguments + 1;
}

bool eval_q(Frame* from, bool only_this_one) {
    Frame* f = from ? from : ctop - 1;
    for (; f >= cbottom; f--) {
        if (f->header & frame_flag::interpreted) return true;
        if (only_this_one) break;
    }
    return false;
}

static bool unnamed(const Frame* f) { return f->symbol == body_symbol || f->symbol == anon_symbol; }

// The word naming the innermost named call from frame `from` down.
static Cell* name_from(Frame* from, Cell* out) {
    for (Frame* f = from; f >= cbottom; f--) {
        if (!unnamed(f)) return word::make_in_context(out, f->symbol, f->context);
    }
    return word::make_global(out, not_found_symbol);
}

Cell* get_call_name(Cell* out) {
    if (remembered) {
        remembered = false;
        *out = *root::at(remembered_slot);
        return out;
    }
    return name_from(ctop - 1, out);
}

void collect_calls(Node block_node) {
    for (Frame* f = ctop - 1; f > cbottom; f--) {
        if (unnamed(f)) continue;
        Cell w;
        Node ctx = f->function_context ? f->function_context : context::global_node;
        word::make_in_context(&w, f->symbol, ctx);
        block::append_cell(block_node, &w);
        Cell n;
        set_cell(&n, TYPE_INTEGER, f->saved_args);
        block::append_cell(block_node, &n);
    }
}

// A frame above the top is what the last deeper calls left there (an error's trace is formed
// after the unwinding): its context may since have been collected and its node reused, and an
// error whose stack field a script set may reach records never written. Such a frame counts only
// while its symbol exists and its context node still holds a context.
static bool frame_readable(const Frame* f) {
    if (f < ctop) return true;
    if (f->symbol == 0 || f->symbol > static_cast<uint32_t>(symbol::count())) return false;
    Node n = f->context;
    if (n == 0 || n >= memory::state.node_high || !memory::node_in_use(n)) return false;
    SeriesBuf* b = memory::nodes[n];
    return b->unit() == sizeof(Cell) && b->tail >= sizeof(Cell) && cells_of(b)->type() == TYPE_CONTEXT;
}

// Frames named by a word that (at level 1 or below) holds a function in the frame's context.
static bool selected(const Frame* f, int level) {
    if (!frame_readable(f) || unnamed(f)) return false;
    if (level > 1) return true;
    Cell w;
    word::make_in_context(&w, f->symbol, f->context);
    const Cell* v = word::peek(&w);
    return v && v->type() == TYPE_FUNCTION;
}

// Frames above the top count too: a kept trace is taken as the error is caught, when the frames
// it passed through are gone from the stack but their records are still in place.
void frames_to_block(int level, Node block_node, Frame* limit) {
    for (Frame* f = cbottom; f < limit && f < cend; f++) {
        if (!selected(f, level)) continue;
        Cell w;
        word::make_global(&w, f->symbol);
        block::append_cell(block_node, &w);
    }
}

int form_trace(int level, const Cell* err, Node string_node, int budget) {
    const Cell* field = error::field(err, error::FIELD_STACK);
    if (!field || field->type() != TYPE_INTEGER) return budget;
    Frame* limit = cbottom + field->i1();
    for (Frame* f = cbottom; f < limit && f < cend; f++) {
        if (!selected(f, level)) continue;
        if (budget <= 0) break;
        Cell w;
        word::make_global(&w, f->symbol);
        budget = word::form(&w, string_node, nullptr, budget);
        string::append_char(string_node, ' ');
        budget -= 1;
    }
    return budget;
}

void attach_trace(Cell* err) {
    Cell* field = error::field(err, error::FIELD_STACK);
    if (!field || field->type() == TYPE_BLOCK) return;
    set_cell(field, TYPE_INTEGER, static_cast<uint32_t>(ctop - cbottom));
}

void unroll(uint32_t kind, int mode) {
    Frame* start = ctop;
    Frame* found = nullptr;
    while (ctop > cbottom) {
        Frame* f = --ctop;
        restore_values(f);
        uint32_t k = f->kind();
        if (k == kind || k == 5) {
            found = f;
            break;
        }
    }
    if (found && mode == 1) ctop++;
    if (ctop == start) {
        top = arguments + 1;
    } else if (ctop == cbottom) {
        arguments = top = bottom;
    } else {
        top = arguments + 1;
        arguments = at_index(ctop->saved_args);
    }
    if (found && mode == 0) ctop++;
}

void unroll_last(uint32_t kind) {
    Cell result = *arguments;
    unroll(kind, 0);
    Cell* slot = at_index(ctop->saved_args);
    *slot = result;
    arguments = top = slot;
}

void unroll_loop(int mode) { unroll(8, mode); }

[[noreturn]] static void boundary_error(const Saved& saved, ErrorId id, const Cell* arg = nullptr) {
    restore(saved);
    fire(id, arg);
}

// An error that no try frame takes. Memory refused while the system starts is a failed start,
// ended as an exhausted heap: no script is there yet to be told.
[[noreturn]] static void uncaught(Cell* value) {
    if (memory::starting && error::is(value, err::internal::no_memory)) runtime::quit(94, KEL_CALLER_ADDRESS());
    error::print_uncaught(value);
    runtime::exit_with(-2);
}

void throw_error(Cell* err) {
    Cell value = *err;
    if (ctop > cbottom) {
        Cell* where = error::field(&value, error::FIELD_WHERE);
        if (where && where->type() == TYPE_NONE) {
            Cell name;
            get_call_name(&name);
            error::set_field(&value, error::FIELD_WHERE, &name);
        }
        attach_trace(&value);
        Cell* saved_top = top;
        unroll(4, 0);
        // unroll stops just above a try or boundary frame; at the bottom there was none.
        if (ctop == cbottom) uncaught(&value);
        ctop--;  // drop the found frame
        top = saved_top;
    } else {
        uncaught(&value);
    }
    pending_error = value;
    push(&value);
    runtime::throw_code(codes::error);
}

// Whether a frame below `from` is the target of an exit before a boundary frame or the bottom
// stops the search. An exit that finds none raises its error where it began: the walk that pops
// frames restores each function's values, so it must not start then, or a try in a running
// function would catch the error with that function's words pointing at its caller's values.
template <class IsTarget>
static bool target_below(const Frame* from, IsTarget is_target) {
    for (const Frame* f = from; f > cbottom; --f) {
        if (is_target(f - 1)) return true;
        if ((f - 1)->kind() == 5) return false;
    }
    return false;
}

void throw_break(bool has_value, bool continue_) {
    Saved saved = save();
    Cell value = *arguments;
    if (!target_below(ctop, [](const Frame* f) { return f->kind() == 8; }))
        boundary_error(saved, continue_ ? err::throw_::continue_ : err::throw_::break_);
    while (ctop > cbottom && (ctop - 1)->kind() != 8) {
        Frame* f = --ctop;
        restore_values(f);
        if (f->kind() == 5) boundary_error(saved, continue_ ? err::throw_::continue_ : err::throw_::break_);
    }
    if (ctop == cbottom) boundary_error(saved, continue_ ? err::throw_::continue_ : err::throw_::break_);
    arguments = top = at_index(ctop->saved_args);
    if (has_value && !continue_)
        *arguments = value;
    else
        set_cell(arguments, TYPE_UNSET);
    top = arguments + 1;
    runtime::throw_code(continue_ ? codes::cont : codes::brk);
}

void throw_exit(bool has_value, bool include_top) {
    Saved saved = save();
    Cell value = *arguments;
    const Frame* from = !include_top && ctop > cbottom ? ctop - 1 : ctop;
    if (!target_below(from, [](const Frame* f) { return (f->header & frame_flag::return_target) != 0; }))
        boundary_error(saved, err::throw_::return_);
    if (!include_top && ctop > cbottom) {
        --ctop;
        restore_values(ctop);
    }
    while (ctop > cbottom && !((ctop - 1)->header & frame_flag::return_target)) {
        Frame* f = --ctop;
        restore_values(f);
        if (f->kind() == 5) boundary_error(saved, err::throw_::return_);
    }
    if (ctop == cbottom) boundary_error(saved, err::throw_::return_);
    arguments = at_index(ctop->saved_args);
    if (has_value)
        *arguments = value;
    else
        set_cell(arguments, TYPE_UNSET);
    top = arguments + 1;
    runtime::throw_code(has_value ? codes::ret : codes::exit);
}

void throw_throw(uint32_t code) {
    Saved saved = save();
    Cell value = arguments[0];
    Cell name = arguments[1];
    if (ctop > cbottom) --ctop;
    if (!remembered && ctop > cbottom && remembered_slot >= 0) {
        name_from(ctop - 1, root::at(remembered_slot));
        remembered = true;
    }
    if (!target_below(ctop, [](const Frame* f) { return f->kind() == 6; }))
        boundary_error(saved, err::throw_::throw_, &value);
    while (ctop > cbottom && (ctop - 1)->kind() != 6) {
        Frame* f = --ctop;
        restore_values(f);
        if (f->kind() == 5) boundary_error(saved, err::throw_::throw_, &value);
    }
    if (ctop == cbottom) boundary_error(saved, err::throw_::throw_, &value);
    arguments = top = at_index(ctop->saved_args);
    push(&value);
    push(&name);
    runtime::throw_code(code);
}

}  // namespace stack
