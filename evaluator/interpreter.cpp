#include "evaluator/interpreter.h"

#include <new>
#include <optional>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/date.h"
#include "datatypes/datatype.h"
#include "datatypes/error.h"
#include "datatypes/function.h"
#include "datatypes/native.h"
#include "datatypes/object.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "evaluator/actions.h"
#include "evaluator/natives.h"
#include "evaluator/natives_control.h"
#include "runtime/collector.h"
#include "runtime/cycles.h"
#include "runtime/root.h"
#include "runtime/fire.h"
#include "runtime/platform.h"
#include "runtime/runtime.h"
#include "runtime/stack.h"

namespace interpreter {

bool tracing = false;
bool trace_active = false;
// The switch is off only because the environment's own code runs (it reports nothing, as
// compiled code): a block of the script's, which that code evaluates, reports again.
static bool env_muted = false;
uint32_t trace_mask = 0x1FFFF;
Cell current_block;

// Puts back the caller's current block however the evaluation ends: a return, break or throw
// that unwinds through a block must not leave later errors of the caller's expression telling
// the inner block as their position. The hot block evaluation restores it on its normal way out
// only (a guard there costs every call); the places that stop an unwinding and go on with the
// caller's expression (a native's return, a function's return) put it back themselves.
struct KeepCurrentBlock {
    Cell saved = current_block;
    ~KeepCurrentBlock() { current_block = saved; }
};

// The block call_with makes to hand its argument values to a call: no code of anyone's, so its
// events are not reported (the call itself is, by call_function's call and return).
static const Cell* given_args = nullptr;
static Node callback_holder = 0;  // a block holding the trace callback (cell 0)
static int32_t callback_locals = 0;
static int32_t sym_set_path = 0, sym_system = 0, sym_system_global = 0, sym_interp_callback = 0, sym_return = 0;
static int32_t event_symbols[16];

// ---- Helpers ----

static inline SeriesBuf* code_buf(const Cell* code) { return memory::nodes[code->node()]; }
static inline int32_t tail_of(const Cell* code) { return static_cast<int32_t>((code_buf(code)->tail - code_buf(code)->head) >> 4); }
static inline Cell* cell_at(const Cell* code, int32_t pos) { return cells_head(code_buf(code)) + pos; }

static void anon_name(Cell* out) { set_cell(out, TYPE_WORD, context::global_node, stack::anon_symbol, static_cast<uint32_t>(-1)); }

[[noreturn]] static void fire_copy(ErrorId id, const Cell* a, const Cell* b = nullptr, const Cell* c = nullptr) {
    Cell x, y, z;
    if (a) x = *a;
    if (b) y = *b;
    if (c) z = *c;
    fire(id, a ? &x : nullptr, b ? &y : nullptr, c ? &z : nullptr);
}

static inline void place(const Cell* value, bool push) {
    if (push)
        stack::push(value);
    else
        stack::set_last_drop(value);
}

// The push event for the value just placed from the code at pos (traced evaluation only): the
// tracer learns of each argument and result this way.
[[gnu::noinline]] static void fire_placed(const Cell* code, int32_t pos, bool push) {
    Cell v = push ? *(stack::top - 1) : *stack::arguments;
    fire_event(EV_PUSH, code, pos, nullptr, &v);
}

// Cells of a cell series, without a division by the unit.
static inline uint32_t cell_count(const SeriesBuf* b) { return (b->tail - b->head) >> 4; }

// Word lookup on the hot path: the slot of a bound, resolved word whose index lies inside its
// context; everything else (unresolved, unbound, out of range) takes the checked lookup, which
// raises the error.
static inline Cell* bound_slot(const Cell* w) {
    Node ctx = w->data1;
    uint32_t index = w->data3;
    if (ctx && index < 0x80000000u) {
        Cell* c = context::cell_of(ctx);
        if (!c->data2) return nullptr;
        if (!(c->header & context::on_stack)) {
            SeriesBuf* values = memory::nodes[c->data2];
            if (index < cell_count(values)) return cells_head(values) + index;
        } else if (index < cell_count(memory::nodes[c->data3])) {
            return stack::bottom + (c->data2 - 1) + index;
        }
    }
    return nullptr;
}

// The op! that a word in code stands for when it can act as an infix operator: a word of a
// context that keeps its values in a series of its own (a function's locals never supply one).
static inline Cell* infix_op(const Cell* w) {
    if (w->type() != TYPE_WORD) return nullptr;
    Node ctx = w->data1;
    uint32_t index = w->data3;
    if (!ctx || index >= 0x80000000u) return nullptr;
    Cell* c = context::cell_of(ctx);
    if ((c->header & context::on_stack) || !c->data2) return nullptr;
    SeriesBuf* values = memory::nodes[c->data2];
    if (index >= cell_count(values)) return nullptr;
    Cell* v = cells_head(values) + index;
    return v->type() == TYPE_OP ? v : nullptr;
}

// The value of code that evaluates to itself or to a word's plain value, with nothing to call
// and nothing to raise: a literal (not a word, path, paren, function or issue) or a bound word
// holding such data. Null for everything else.
// Whether a word's or a field's value is plain data: none of the values that a word calls or
// that raise when read (unset).
[[gnu::always_inline]] static inline bool plain_data(const Cell* v) {
    switch (v->type()) {
        case TYPE_UNSET:
        case TYPE_OP:
        case TYPE_FUNCTION:
        case TYPE_ROUTINE:
        case TYPE_NATIVE:
        case TYPE_ACTION: return false;
        default: return true;
    }
}

static inline const Cell* plain_value(const Cell* c) {
    switch (c->type()) {
        case TYPE_WORD: {
            const Cell* v = bound_slot(c);
            return v && plain_data(v) ? v : nullptr;
        }
        case TYPE_SET_WORD:
        case TYPE_GET_WORD:
        case TYPE_LIT_WORD:
        case TYPE_PATH:
        case TYPE_SET_PATH:
        case TYPE_GET_PATH:
        case TYPE_LIT_PATH:
        case TYPE_PAREN:
        case TYPE_OP:
        case TYPE_FUNCTION:
        case TYPE_ROUTINE:
        case TYPE_NATIVE:
        case TYPE_ACTION:
        case TYPE_ISSUE: return nullptr;
        default: return c;
    }
}

// The field a two-step path `word/word` names in the object its first word holds, found as the
// object's path step finds it: its index in that object's context (ctx), or -1 whenever the step
// would do anything else (an unbound word, no such field) or the path is any other.
static inline int32_t object_field_at(const Cell* path, Node* ctx, uint32_t* handlers = nullptr) {
    SeriesBuf* b = code_buf(path);
    uint32_t pos = path->index() > 0 ? static_cast<uint32_t>(path->index()) : 0;
    if (pos + 2 != cell_count(b)) return -1;
    const Cell* head = cells_head(b) + pos;
    const Cell* e = head + 1;
    if (head->type() != TYPE_WORD || e->type() != TYPE_WORD) return -1;
    const Cell* hv = bound_slot(head);
    if (!hv || hv->type() != TYPE_OBJECT) return -1;
    if (datatype::slot(TYPE_OBJECT, ACT_EVAL_PATH) != reinterpret_cast<void*>(&object::eval_path)) return -1;
    *ctx = hv->data1;
    if (handlers) *handlers = hv->data3;
    int32_t index = e->data1 == *ctx ? static_cast<int32_t>(e->data3) : -1;
    if (index < 0 || index >= context::count(*ctx)) index = context::find_word(*ctx, static_cast<int32_t>(e->data2), true);
    return index >= 0 && context::values(*ctx) ? index : -1;
}

static inline const Cell* object_field(const Cell* path) {
    Node ctx = 0;
    int32_t index = object_field_at(path, &ctx);
    return index >= 0 ? context::values(ctx) + index : nullptr;
}

// Whether a path's first word holds an object: the test before object_path, inline, which a path
// calling a function (the commoner kind in code) passes through cheaply.
static inline bool object_head_q(const Cell* path) {
    SeriesBuf* b = code_buf(path);
    uint32_t pos = path->index() > 0 ? static_cast<uint32_t>(path->index()) : 0;
    if (pos >= cell_count(b)) return false;
    const Cell* head = cells_head(b) + pos;
    if (head->type() != TYPE_WORD) return false;
    const Cell* hv = bound_slot(head);
    return hv && hv->type() == TYPE_OBJECT;
}

// The commonest paths, an object's field by a word read or set (the value to store in the result
// slot), done untraced without the working cells of eval_path's walk (a set goes no further up:
// the object is changed in place): answers false, having done nothing, for anything else the
// object's step would do (raise, answer unset, call a function, tell the object's handler).
[[gnu::noinline]] static bool object_path(const Cell* path, bool set, bool get, bool push) {
    Node ctx = 0;
    uint32_t handlers = 0;
    int32_t index = object_field_at(path, &ctx, &handlers);
    if (index < 0) return false;
    if (!set) {
        Cell v = context::values(ctx)[index];
        if (v.type() == TYPE_UNSET || (!get && types::any_function(v.type()) && v.type() != TYPE_OP)) return false;
        place(&v, push);
        return true;
    }
    if (handlers) return false;
    Cell value = *stack::arguments;
    Cell w = *context::word_at_node(ctx, index);
    w.header = TYPE_WORD;
    context::set_in(&w, &value, ctx, false);
    Cell final_value = *stack::arguments;
    place(&final_value, push);
    return true;
}

constexpr uint32_t kModeShift = 20;
enum FetchMode { FETCH_WORD = 0, FETCH_GET = 1, FETCH_LIT = 2, FETCH_RETURN = 3 };

// Whether an operator's two operands are of the types its first two arguments take: at once for
// one over built-in code; else by its stored cache (none yet: no), since a native! or action!
// made by script may take fewer types, which the shortcuts below must not skip checking.
static inline bool operands_fit(const Cell* fn, const Cell* a, const Cell* b) {
    if (!(fn->header & native::op_checks_operands)) [[likely]]
        return true;
    const Cell* slot = block::node_cell(fn->data3, function::MORE_CACHE);
    if (slot->type() != TYPE_BLOCK) return false;
    SeriesBuf* cache = memory::nodes[slot->node()];
    if (cell_count(cache) < 2) return false;
    const Cell* ts = cells_head(cache);
    for (int i = 0; i < 2; i++)
        if (ts[i].type() != TYPE_TYPESET || ((ts[i].header >> kModeShift) & 3) != FETCH_WORD) return false;
    return typeset_has(ts, a->type()) && typeset_has(ts + 1, b->type());
}

// actions::call_fast with the common case, two integers, answered here without the call: the
// same results (the left operand's cell with its flags, an overflow taking the general path to
// its float!, a remainder that could fail refused).
static inline bool fast_op(const Cell* fn, const Cell* a, const Cell* b, Cell* out) {
    if (a->type() != TYPE_INTEGER || b->type() != TYPE_INTEGER) return actions::call_fast(fn, a, b, out);
    int32_t x = a->i1(), y = b->i1(), v;
    uint32_t number = fn->data1;
    if (fn->type() == TYPE_ACTION) {
        switch (number) {
            case ACT_ADD:
                if (__builtin_add_overflow(x, y, &v)) return actions::call_fast(fn, a, b, out);
                break;
            case ACT_SUBTRACT:
                if (__builtin_sub_overflow(x, y, &v)) return actions::call_fast(fn, a, b, out);
                break;
            case ACT_MULTIPLY:
                if (__builtin_mul_overflow(x, y, &v)) return actions::call_fast(fn, a, b, out);
                break;
            case ACT_REMAINDER:
                if (y == 0 || y == -1) return false;
                v = x % y;
                break;
            default: return false;
        }
        out->header = (a->header & ~0xFFu) | TYPE_INTEGER;
        out->data1 = static_cast<uint32_t>(v);
        out->data2 = out->data3 = 0;
        return true;
    }
    if (fn->type() != TYPE_NATIVE) return false;
    uint32_t k = number - 25;
    if (k >= 7 || natives::table[number - 1] != actions::comparison_natives[k]) return false;
    bool r;
    switch (k) {
        case 0:
        case 2: r = x == y; break;
        case 1: r = x != y; break;
        case 3: r = x < y; break;
        case 4: r = x > y; break;
        case 5: r = x <= y; break;
        default: r = x >= y; break;
    }
    set_cell(out, TYPE_LOGIC, r ? 1 : 0);
    return true;
}

// actions::has_shortcut, inline for the operator loop.
static inline bool shortcut_q(const Cell* fn) {
    uint32_t number = fn->data1;
    if (fn->type() == TYPE_ACTION)
        return number == ACT_ADD || number == ACT_SUBTRACT || number == ACT_MULTIPLY || number == ACT_REMAINDER;
    return fn->type() == TYPE_NATIVE && number - 25 < 7 && natives::table[number - 1] == actions::comparison_natives[number - 25];
}

// ---- Pure evaluation ----
//
// Code that calls nothing, raises nothing and allocates nothing leaves no trace of how it ran: no
// frame of it is ever seen by an error, a trace or the collector. Such code (literals, words
// holding plain values, parens of such code, operators answered by fast_op on numbers, and at a
// block's top level set-words storing into a plain slot) is evaluated here without frames. Each
// routine answers the position after what it evaluated, or -1 having changed nothing, and the
// caller then evaluates the same code the full way.

constexpr int kPureDepth = 8;  // parens nested deeper take the full way (bounds the recursion)

static bool pure_paren(const Cell* paren, Cell* out, int depth);

// A quick look at the cell code starts with, which turns away at once the common expressions that
// cannot be pure (a call by a word, also as the first thing in a paren).
static inline bool may_start_pure(const Cell* c) {
    if (plain_value(c) || c->type() == TYPE_SET_WORD) return true;
    if (c->type() != TYPE_PAREN) return false;
    SeriesBuf* b = code_buf(c);
    uint32_t pos = c->index() > 0 ? static_cast<uint32_t>(c->index()) : 0;
    if (pos >= cell_count(b)) return false;
    const Cell* first = cells_head(b) + pos;
    return first->type() == TYPE_PAREN || plain_value(first);
}

// An object's field holding plain data: reading it runs and raises nothing. Out of line, which
// keeps the common operands' test small.
[[gnu::noinline]] static bool pure_path(const Cell* c, Cell* out) {
    const Cell* v = object_field(c);
    if (!v || !plain_data(v)) return false;
    *out = *v;
    return true;
}

[[gnu::always_inline]] static inline bool pure_operand(const Cell* c, Cell* out, int depth) {
    if (const Cell* v = plain_value(c)) {
        *out = *v;
        return true;
    }
    if (c->type() == TYPE_PATH) return object_head_q(c) && pure_path(c, out);
    return c->type() == TYPE_PAREN && depth < kPureDepth && pure_paren(c, out, depth + 1);
}

// One expression without set-words: an operand and the operators after it.
[[gnu::always_inline]] static inline int32_t pure_value_in(SeriesBuf* b, int32_t pos, int32_t end, Cell* out, int depth) {
    const Cell* cells = cells_head(b);
    if (!pure_operand(cells + pos, out, depth)) return -1;
    for (pos++; pos < end; pos += 2) {
        const Cell* c = cells + pos;
        const Cell* v = infix_op(c);
        if (!v) return pos;
        uint8_t wrapped = static_cast<uint8_t>((v->header >> 16) & 0xFF);
        if (pos + 1 >= end || wrapped == TYPE_FUNCTION || wrapped == TYPE_ROUTINE) return -1;
        Cell right;
        if (!pure_operand(c + 1, &right, depth)) return -1;
        if (right.type() != TYPE_INTEGER && right.type() != TYPE_FLOAT) return -1;
        Cell op = *v;
        op.set_type(wrapped);
        if (!operands_fit(&op, out, &right) || !fast_op(&op, out, &right, out)) return -1;
    }
    return pos;
}

[[gnu::noinline]] static int32_t pure_value(SeriesBuf* b, int32_t pos, int32_t end, Cell* out, int depth) {
    return pure_value_in(b, pos, end, out, depth);
}

static bool pure_paren(const Cell* paren, Cell* out, int depth) {
    SeriesBuf* b = code_buf(paren);
    int32_t end = static_cast<int32_t>(cell_count(b));
    int32_t pos = paren->index() > 0 ? paren->index() : 0;
    if (pos >= end) return false;
    do {
        pos = pure_value(b, pos, end, out, depth);
        if (pos < 0) return false;
    } while (pos < end);
    return true;
}

// One expression of a block, set-words first: their slots are checked before the value is
// computed and written only after it, so a refusal leaves every slot as it was.
[[gnu::always_inline]] static inline int32_t pure_statement(SeriesBuf* b, int32_t pos, int32_t end, Cell* out) {
    constexpr int kMaxChain = 4;
    Cell* slots[kMaxChain];
    int n = 0;
    const Cell* cells = cells_head(b);
    while (cells[pos].type() == TYPE_SET_WORD) {
        if (n == kMaxChain) return -1;
        Cell* slot = bound_slot(cells + pos);
        // An object's word tells its owner of the change: that runs code.
        if (!slot || context::kind_of(cells[pos].data1) == context::KIND_OBJECT) return -1;
        slots[n++] = slot;
        if (++pos >= end) return -1;
    }
    pos = pure_value_in(b, pos, end, out, 0);
    if (pos < 0) return -1;
    for (int i = 0; i < n; i++) {
        // A literal unset (reduce and compose put one in code) is a value, but no word takes it.
        if (out->type() == TYPE_UNSET) [[unlikely]]
            return -1;
        *slots[i] = *out;
    }
    return pos;
}

static inline Cell* word_value(const Cell* w) {
    Cell* v = bound_slot(w);
    return v ? v : context::get(w);
}

static void near_position(Cell* out) {
    if (current_block.type() == TYPE_UNSET)
        set_cell(out, TYPE_NONE);
    else
        *out = current_block;
}

// ---- Tracing ----

uint32_t mask_of(const Cell* callback) {
    if (callback->type() != TYPE_FUNCTION) return 0x1FFFF;
    Cell* body = function::body_of(callback);
    if (!body || body->type() != TYPE_BLOCK || block::rs_length_q(body) == 0) return 0x1FFFF;
    Cell* first = block::rs_head(body);
    if (first->type() != TYPE_BLOCK) return 0x1FFFF;
    uint32_t mask = 0;
    int32_t n = block::rs_length_q(first);
    Cell* w = block::rs_head(first);
    for (int32_t i = 0; i < n; i++) {
        if (!types::any_word(w[i].type())) continue;
        int32_t s = symbol::resolve(static_cast<int32_t>(w[i].data2));
        for (int k = 0; k < 16; k++)
            if (symbol::resolve(event_symbols[k]) == s) mask |= 1u << k;
    }
    return mask;
}

bool trace_begin(const Cell* callback) {
    if (trace_active) return false;
    *block::node_cell(callback_holder, 0) = *callback;
    callback_locals = callback->type() == TYPE_FUNCTION ? function::count_locals(callback->data2, 0, false) : 0;
    trace_mask = mask_of(callback);
    trace_active = tracing = true;
    env_muted = false;
    try {
        fire_event(EV_INIT, nullptr, -1, nullptr, nullptr);
    } catch (const Throw&) {
        // The callback refused to start: no trace was begun, so none is left on.
        trace_active = tracing = false;
        throw;
    }
    return true;
}

void trace_end() {
    if (!trace_active) return;
    // The trace ends also when the callback raises an error at its end event; the error goes on.
    struct Off {
        ~Off() { trace_active = tracing = env_muted = false; }
    } off;
    fire_event(EV_END, nullptr, -1, nullptr, nullptr);
}

void fire_event(uint32_t event, const Cell* code, int32_t pos, const Cell* ref, const Cell* value) {
    if (!(trace_mask & event)) return;
    if (code && given_args && code->node() == given_args->node()) return;
    Cell callback = *block::node_cell(callback_holder, 0);
    if (!types::any_function(callback.type())) return;
    // Events raised inside the callback, or while its call is set up (a stack overflow there), are
    // not reported. An exit or error the callback raises goes on from the event site (the
    // unwinding drops the event frame), with the switch on again as it was there.
    struct SwitchBack {
        ~SwitchBack() { tracing = true; }
    } switch_back;
    tracing = false;
    Frame* saved_ctop = stack::ctop;
    Cell* saved_top = stack::top;
    uint32_t frame_base = stack::index_of(stack::arguments);
    uint32_t frame_top = stack::index_of(stack::top);
    // The cell at the top is kept from the callback's frame: a value may be being produced there.
    // While the callback runs it holds none, since it is as likely a stale cell that names a
    // series since given back, which the collector must not take for a value; it gets its
    // content back afterwards.
    Cell above = *stack::top;
    set_cell(stack::top, TYPE_NONE);
    stack::top++;
    Cell name;
    set_cell(&name, TYPE_WORD, context::global_node, static_cast<uint32_t>(sym_interp_callback), static_cast<uint32_t>(-1));
    Node fctx = callback.type() == TYPE_FUNCTION ? callback.data1 : 0;
    stack::mark_func(&name, fctx);
    int bit = __builtin_ctz(event);
    Cell w;
    word::make_global(&w, event_symbols[bit]);
    stack::push(&w);
    Cell c, off;
    if (code && types::any_block(code->type())) {
        c = *code;
        int32_t offset = pos >= 0 && pos < tail_of(code) ? pos - (code->index() > 0 ? code->index() : 0) : -1;
        set_cell(&off, TYPE_INTEGER, static_cast<uint32_t>(offset));
    } else {
        set_cell(&c, TYPE_NONE);
        set_cell(&off, TYPE_INTEGER, static_cast<uint32_t>(-1));
    }
    stack::push(&c);
    stack::push(&off);
    Cell none;
    set_cell(&none, TYPE_NONE);
    stack::push(value ? value : &none);
    bool with_ref = event == EV_SET || event == EV_EPILOG || event == EV_PROLOG || event == EV_RETURN || event == EV_CALL;
    stack::push(with_ref && ref ? ref : &none);
    Cell pair;
    set_cell(&pair, TYPE_PAIR, 0, frame_base, frame_top);
    stack::push(&pair);
    if (callback_locals > 0) function::init_locals(callback_locals);
    if (callback.type() == TYPE_FUNCTION) call_function(&callback, fctx, &name);
    stack::restore_values(stack::ctop - 1);
    stack::ctop = saved_ctop;
    stack::top = saved_top;
    *saved_top = above;
    stack::arguments = stack::bottom + frame_base;
}

// ---- Blocks ----

[[gnu::always_inline]] static inline int32_t eval_top(const Cell* code, int32_t pos, int32_t end);

static inline bool env_code_q(const Cell* block) {
    return (code_buf(block)->flags & series_flag::env_code) != 0;
}

// While a trace runs, the switch follows whose code a block is: off for the environment's own
// code, on again for the script's blocks that it evaluates (attempt, collect and the like).
struct TraceScope {
    bool saved_tracing = tracing, saved_muted = env_muted, changed = false;
    explicit TraceScope(const Cell* block) {
        if (env_muted && !env_code_q(block)) {
            tracing = true;
            env_muted = false;
            changed = true;
        } else if (tracing && env_code_q(block)) {
            tracing = false;
            env_muted = true;
            changed = true;
        }
    }
    ~TraceScope() {
        if (changed) tracing = saved_tracing, env_muted = saved_muted;
    }
};

static void eval_block_traced(const Cell* block, int32_t pos, bool copy_result);

// A block's evaluation in its frame from pos on. A paren of the code is traced as a paren, while
// an error inside it tells its position as that of a block, as it does untraced (near_as_block).
template <bool near_as_block = false>
[[gnu::always_inline]] static inline void eval_block_body(const Cell* block, int32_t pos, bool copy_result) {
    // The code is kept on the data stack just below the frame, where the collector sees it (and
    // rewrites it when nodes move); the frame's result goes to the caller's slot, or is moved
    // down over the code cell so that exactly one cell is left pushed.
    Cell* code = stack::push(block);
    Cell saved_block = current_block;
    stack::mark_named(stack::body_symbol, FRAME_EVAL);
    if (tracing) fire_event(EV_ENTER, code, pos, nullptr, nullptr);
    int32_t end = tail_of(code);
    if (pos >= end) {
        set_cell(stack::arguments, TYPE_UNSET);
        stack::keep();
    } else {
        for (;;) {
            // The whole cell each time, at the position of the expression about to run.
            current_block = *code;
            current_block.set_index(pos);
            if constexpr (near_as_block) current_block.set_type(TYPE_BLOCK);
            pos = tracing ? eval_expression(code, pos, end, false, false, false) : eval_top(code, pos, end);
            // The tail is read again: the expression may have changed the block.
            end = tail_of(code);
            if (pos >= end) break;
            stack::reset();
        }
    }
    if (tracing) fire_event(EV_EXIT, code, tail_of(code), nullptr, stack::arguments);
    current_block = saved_block;
    if (copy_result) {
        stack::unwind_last();
    } else {
        stack::unwind();
        *(stack::top - 2) = *(stack::top - 1);
        stack::top--;
    }
}

[[gnu::noinline]] static void eval_block_traced(const Cell* block, int32_t pos, bool copy_result) {
    // The switches can be left on by a body that began inside a trace that has ended since.
    if (!trace_active) return eval_block_body(block, pos, copy_result);
    TraceScope scope(block);
    eval_block_body(block, pos, copy_result);
}

[[gnu::noinline]] static void eval_paren_traced(const Cell* paren, bool copy_result) {
    TraceScope scope(paren);
    eval_block_body<true>(paren, paren->index() > 0 ? paren->index() : 0, copy_result);
}

// A paren's body as a block evaluation, in the frame the caller has marked; the events of a
// traced one carry the paren itself. The cell is the caller's own copy.
[[gnu::always_inline]] static inline void eval_paren(Cell* paren, bool copy_result) {
    if (tracing) {
        eval_paren_traced(paren, copy_result);
    } else {
        paren->set_type(TYPE_BLOCK);
        eval_block(paren, copy_result);
    }
}

[[gnu::always_inline]] static inline void eval_block_from(const Cell* block, int32_t pos, bool copy_result) {
    // One test on the common path; the trace's own state is looked at out of line.
    if (tracing | env_muted) [[unlikely]] {
        eval_block_traced(block, pos, copy_result);
        return;
    }
    eval_block_body(block, pos, copy_result);
}

// The expressions that need no frame, done before it is made (none is made when all of them are
// such): answers false when the first one is not, having done nothing.
[[gnu::noinline]] static void eval_block_rest(const Cell* block, int32_t pos, bool copy_result) {
    eval_block_from(block, pos, copy_result);
}

[[gnu::noinline]] static bool eval_block_pure(const Cell* block, int32_t pos, bool copy_result) {
    // A copy: a set-word below may store into the cell the block was read from.
    Cell copy = *block;
    SeriesBuf* b = code_buf(&copy);
    int32_t end = static_cast<int32_t>(cell_count(b));
    Cell v;
    // The caller has looked at the first expression's start.
    int32_t p = pure_statement(b, pos, end, &v);
    if (p < 0) return false;
    while (p < end && may_start_pure(cells_head(b) + p)) {
        int32_t next = pure_statement(b, p, end, &v);
        if (next < 0) break;
        p = next;
    }
    if (p < end) {
        eval_block_rest(&copy, p, copy_result);
    } else if (copy_result) {
        stack::set_last_drop(&v);
    } else {
        stack::push(&v);
    }
    return true;
}

void eval_block(const Cell* block, bool copy_result) {
    eval_block_from(block, block->index() > 0 ? block->index() : 0, copy_result);
}

void eval_block_quick(const Cell* block, bool copy_result) {
    // Raised here, before anything of the block runs: a loop whose every expression is a plain
    // value checks the guard nowhere else, and must stay stoppable by it.
    if (platform::stack_exhausted()) {
        cycles::reset();
        fire(err::internal::stack_overflow);
    }
    int32_t pos = block->index() > 0 ? block->index() : 0;
    if (!tracing && !env_muted) {
        SeriesBuf* b = code_buf(block);
        if (static_cast<uint32_t>(pos) < cell_count(b) && may_start_pure(cells_head(b) + pos) &&
            eval_block_pure(block, pos, copy_result))
            return;
    }
    eval_block(block, copy_result);
}

static inline int32_t eval_next_in_frame(const Cell* code, int32_t pos, int32_t end, bool push) {
    stack::mark_named(stack::body_symbol, FRAME_INTERP_NATIVE);
    // The frame is empty, so a pushed value lands in its result slot as a placed one would; the
    // mode still counts for the trace: a value taken for a native (reduce) ends no expression.
    pos = eval_expression(code, pos, end, false, push, false);
    if (push)
        stack::unwind();
    else
        stack::unwind_last();
    return pos;
}

int32_t eval_next(const Cell* code, int32_t pos, int32_t end, bool push) {
    if (trace_active && (tracing || env_muted)) [[unlikely]] {
        // reduce, all, any, case: the expressions are those of the block they walk.
        TraceScope scope(code);
        return eval_next_in_frame(code, pos, end, push);
    }
    return eval_next_in_frame(code, pos, end, push);
}

void trace_walk_event(uint32_t event, const Cell* code, int32_t pos, const Cell* value) {
    // A tracer keeps a level per evaluated block; without one the walk's expressions would be
    // taken for parts of the expression that called the native.
    if (tracing || env_muted) {
        TraceScope scope(code);
        if (tracing) fire_event(event, code, pos, nullptr, value);
    }
}

int32_t do_next(const Cell* code) {
    Cell c = *code;
    collector::Root keep(&c);
    int32_t pos = c.index() > 0 ? c.index() : 0;
    if (pos >= tail_of(&c)) {
        set_cell(stack::arguments, TYPE_UNSET);
        stack::keep();
        return pos;
    }
    KeepCurrentBlock keep_block;
    current_block = c;
    current_block.set_index(pos);
    trace_walk(EV_ENTER, &c, pos, nullptr);
    if (pos < tail_of(&c)) {
        pos = eval_next(&c, pos, tail_of(&c), false);
    } else {  // the event's callback emptied the block
        set_cell(stack::arguments, TYPE_UNSET);
        stack::keep();
    }
    trace_walk(EV_EXIT, &c, pos, stack::arguments);
    return pos;
}

// ---- Expressions ----

static int32_t infix_shortcut(const Cell* op, const Cell* name, const Cell* code, int32_t pos, int32_t end, bool push);
static int32_t call_plain(const Cell* fn_in, const Cell* name, const Cell* code, int32_t pos, int32_t end, bool push);

// The operators after a value: b is the code's buffer as it is now and end lies within it.
// The buffer is fetched again only after something ran (a call, a trace event).
static int32_t eval_infix_in(const Cell* code, SeriesBuf* b, int32_t pos, int32_t end, Cell* entry_top, bool push) {
    while (true) {
        if (pos >= end) return pos;
        Cell* c = cells_head(b) + pos;
        Cell* v = infix_op(c);
        if (!v) return pos;
        // Arithmetic and comparison of two numbers whose right operand is a number or a word
        // holding one: answered at once, as the call would (it raises nothing there). Traced
        // evaluation takes the call, which reports its events.
        if (!tracing && pos + 1 < end) {
            uint8_t wrapped = static_cast<uint8_t>((v->header >> 16) & 0xFF);
            const Cell* right = c + 1;  // nothing has run since c was read
            if (right->type() == TYPE_WORD) right = bound_slot(right);
            if (wrapped != TYPE_FUNCTION && wrapped != TYPE_ROUTINE && right &&
                (right->type() == TYPE_INTEGER || right->type() == TYPE_FLOAT)) {
                Cell op = *v;
                op.set_type(wrapped);
                stack::top = entry_top;
                if (operands_fit(&op, entry_top, right) && fast_op(&op, entry_top, right, entry_top)) {
                    stack::top = entry_top + 1;
                    pos += 2;
                    continue;  // nothing ran: b and end still hold
                }
            }
        }
        Cell name = *c;
        Cell op = *v;
        if (tracing) {
            // The callback may run the collector, which moves the code and the word's context.
            fire_event(EV_FETCH, code, pos, nullptr, &name);
            c = &name;
        }
        uint8_t wrapped = static_cast<uint8_t>((op.header >> 16) & 0xFF);
        if (wrapped == TYPE_FUNCTION || wrapped == TYPE_ROUTINE)
            op = *block::node_cell(op.data3, 3);
        else
            op.set_type(wrapped);
        stack::top = entry_top;
        {
            // The operator is no cell of the data stack: kept alive here while its operand runs
            // (which may set its word to something else).
            collector::Root keep_op(&op);
            if (!tracing && shortcut_q(&op))
                pos = infix_shortcut(&op, &name, code, pos + 1, end, push);
            else
                pos = eval_code(&op, code, pos + 1, end, push, nullptr, 0, nullptr, 0, true, &name);
        }
        b = code_buf(code);
        int32_t limit = static_cast<int32_t>(cell_count(b));
        if (end > limit) end = limit;
    }
}

// The operators after a value, entered only when the code goes on with a word (the only cell
// that can be an operator); b and end as for eval_infix_in.
static inline int32_t infix_in(const Cell* code, SeriesBuf* b, int32_t pos, int32_t end, Cell* entry_top, bool push) {
    if (pos >= end || cells_head(b)[pos].type() != TYPE_WORD) return pos;
    return eval_infix_in(code, b, pos, end, entry_top, push);
}

// The same after code that may have run anything.
static inline int32_t infix_after(const Cell* code, int32_t pos, int32_t end, Cell* entry_top, bool push) {
    SeriesBuf* b = code_buf(code);
    int32_t limit = static_cast<int32_t>(cell_count(b));
    if (end > limit) end = limit;
    return infix_in(code, b, pos, end, entry_top, push);
}

// An argument that starts with a literal, a word's plain value or a paren, evaluated untraced as
// eval_expression(code, pos, end, !chain, true, false) would: the value pushed, then (chain) the
// operators after it. Answers -1, with nothing pushed, when the argument needs the full
// evaluation.
static inline int32_t plain_argument(const Cell* code, int32_t pos, int32_t end, bool chain) {
    SeriesBuf* b = code_buf(code);
    int32_t limit = static_cast<int32_t>(cell_count(b));
    if (end < limit) limit = end;
    if (pos >= limit || pos < 0) return -1;
    Cell* c = cells_head(b) + pos;
    const Cell* v = plain_value(c);
    if (!v) {
        if (c->type() != TYPE_PAREN) return -1;
        // A paren leaves its value as one pushed cell, through its block evaluation alone.
        Cell paren = *c;
        paren.set_type(TYPE_BLOCK);
        eval_block(&paren, false);
        return chain ? infix_after(code, pos + 1, end, stack::top - 1, true) : pos + 1;
    }
    stack::push(v);
    if (chain) return infix_in(code, b, pos + 1, limit, stack::top - 1, true);
    return pos + 1;
}

// The value kinds an expression rarely starts with, kept out of the hot function below.
[[gnu::noinline]] static int32_t eval_uncommon(const Cell* code, int32_t pos, int32_t end, bool push, bool literal_functions) {
    Cell* c = cell_at(code, pos);
    switch (c->type()) {
        case TYPE_SET_PATH: {
            Cell sp = *c;
            collector::Root keep(&sp);
            if (tracing) fire_event(EV_PUSH, code, pos, nullptr, &sp);
            if (pos + 1 >= end) fire_copy(err::script::need_value, &sp);
            stack::mark_named(static_cast<uint32_t>(sym_set_path), FRAME_INTERP_NATIVE);
            pos = eval_expression(code, pos + 1, end, false, true, false);
            if (tracing) fire_event(EV_SET, code, pos, &sp, stack::arguments);
            if (tracing || !object_path(&sp, true, false, false)) eval_path(&sp, code, pos, end, true, false, false, false);
            if (push)
                stack::unwind();
            else
                stack::unwind_last();
            return pos;
        }
        case TYPE_GET_WORD: {
            Cell v = *word_value(c);
            place(&v, push);
            if (tracing) fire_placed(code, pos, push);
            return pos + 1;
        }
        case TYPE_LIT_WORD: {
            Cell w = *c;
            w.header = TYPE_WORD;
            place(&w, push);
            if (tracing) fire_placed(code, pos, push);
            return pos + 1;
        }
        case TYPE_PATH: {
            if (!tracing && object_head_q(c) && object_path(c, false, false, push)) return pos + 1;
            Cell p = *c;
            return eval_path(&p, code, pos + 1, end, false, false, push, false);
        }
        case TYPE_GET_PATH: {
            if (!tracing && object_head_q(c) && object_path(c, false, true, push)) return pos + 1;
            Cell p = *c;
            return eval_path(&p, code, pos + 1, end, false, true, push, false);
        }
        case TYPE_LIT_PATH: {
            Cell p = *c;
            p.set_type(TYPE_PATH);
            p.data3 = 0;
            place(&p, push);
            return pos + 1;
        }
        case TYPE_OP: fire(err::internal::not_done);
        case TYPE_FUNCTION:
        case TYPE_ROUTINE:
        case TYPE_NATIVE:
        case TYPE_ACTION: {
            if (literal_functions) {
                place(c, push);
                return pos + 1;
            }
            Cell name;
            anon_name(&name);
            return eval_code(c, code, pos + 1, end, push, nullptr, 0, nullptr, 0, false, &name);
        }
        case TYPE_ISSUE: {
            Cell issue = *c;
            if (pos + 1 < end && cell_at(code, pos + 1)->type() == TYPE_BLOCK) {
                int32_t s = symbol::resolve(static_cast<int32_t>(issue.data2));
                if (s == symbol::resolve(sym_system) || s == symbol::resolve(sym_system_global))
                    fire(err::internal::kel_system);
            }
            place(&issue, push);
            return pos + 1;
        }
        default: place(c, push); return pos + 1;
    }
}

// A set-word at pos (c: its cell, or the copy a trace event was given) and the expression after
// it; the value placed as push says.
static int32_t eval_set_word(const Cell* code, const Cell* c, int32_t pos, int32_t end, bool push) {
    if (!tracing && pos + 1 < end && may_start_pure(cells_head(code_buf(code)) + pos + 1)) {
        Cell v;
        int32_t next = pure_statement(code_buf(code), pos, end, &v);
        if (next >= 0) {
            place(&v, push);
            return next;
        }
    }
    Cell sw = *c;
    stack::mark_interp_native(&sw);
    stack::push(&sw);
    if (tracing) fire_event(EV_PUSH, code, pos, nullptr, &sw);
    if (pos + 1 >= end) fire_copy(err::script::need_value, &sw);
    int32_t next = tracing ? -1 : plain_argument(code, pos + 1, end, true);
    pos = next >= 0 ? next : eval_expression(code, pos + 1, end, false, true, false);
    Cell* value = stack::arguments + 1;
    if (tracing) fire_event(EV_SET, code, pos, &sw, value);
    if (value->type() == TYPE_UNSET) fire_copy(err::script::need_value, &sw);
    // A word of the global context or of a function: a plain store. Objects (change
    // handlers) and words not resolved yet take the full assignment.
    Cell* slot = bound_slot(stack::arguments);
    if (slot && context::kind_of(stack::arguments->data1) != context::KIND_OBJECT) {
        *slot = *value;
    } else {
        Cell v = *value;
        context::set_value(stack::arguments, &v);
    }
    *stack::arguments = *value;
    if (push)
        stack::unwind();
    else
        stack::unwind_last();
    return pos;
}

int32_t eval_expression(const Cell* code, int32_t pos, int32_t end, bool no_infix, bool push, bool literal_functions) {
    if (platform::stack_exhausted()) {
        cycles::reset();
        fire(err::internal::stack_overflow);
    }
    SeriesBuf* b = code_buf(code);
    int32_t limit = static_cast<int32_t>(cell_count(b));
    if (end > limit) end = limit;
    Cell* entry_top = push ? stack::top : stack::arguments;
    if (pos >= end || pos < 0) {
        // Nothing left to evaluate (the block shrank under a caller, or a caller's position is
        // off): the value of no expression, and nothing read past the code.
        Cell none;
        set_cell(&none, TYPE_UNSET);
        place(&none, push);
        return pos < 0 ? 0 : pos;
    }
    Cell* c = cells_head(b) + pos;
    Cell fetched;
    // Whether b still holds after the value is placed: nothing ran (no trace event).
    bool untraced = !tracing;
    if (!untraced) {
        // The callback may change or move the code (it may run the collector): the value is
        // taken as it was fetched.
        fetched = *c;
        fire_event(EV_FETCH, code, pos, nullptr, &fetched);
        c = &fetched;
    }
    switch (c->type()) {
        case TYPE_WORD: {
            Cell* v = bound_slot(c);
            bool direct = v != nullptr;
            if (!v) v = context::get(c);
            switch (v->type()) {
                case TYPE_UNSET: fire_copy(err::script::no_value, c);
                case TYPE_OP: fire_copy(err::script::no_op_arg, c);
                case TYPE_FUNCTION:
                case TYPE_ROUTINE:
                case TYPE_NATIVE:
                case TYPE_ACTION: {
                    // The call copies the function onto the data stack before anything runs;
                    // the name is kept here for the whole call.
                    Cell name = *c;
                    if (!tracing && v->type() != TYPE_ROUTINE)
                        pos = call_plain(v, &name, code, pos + 1, end, push);
                    else
                        pos = eval_code(v, code, pos + 1, end, push, nullptr, 0, nullptr, 0, false, &name);
                    break;
                }
                default:
                    place(v, push);
                    pos++;
                    // Nothing ran: the buffer fetched above still holds.
                    if (direct && untraced) return no_infix ? pos : infix_in(code, b, pos, end, entry_top, push);
                    if (!untraced) fire_placed(code, pos - 1, push);
                    break;
            }
            break;
        }
        case TYPE_PAREN: {
            // The block evaluation's own frame places the value as the expression must: into
            // the result slot, or as one pushed cell.
            Cell paren = *c;
            eval_paren(&paren, !push);
            pos++;
            break;
        }
        case TYPE_SET_WORD: pos = eval_set_word(code, c, pos, end, push); break;
        case TYPE_SET_PATH:
        case TYPE_GET_WORD:
        case TYPE_LIT_WORD:
        case TYPE_PATH:
        case TYPE_GET_PATH:
        case TYPE_LIT_PATH:
        case TYPE_OP:
        case TYPE_FUNCTION:
        case TYPE_ROUTINE:
        case TYPE_NATIVE:
        case TYPE_ACTION:
        case TYPE_ISSUE: pos = eval_uncommon(code, pos, end, push, literal_functions); break;
        default:
            place(c, push);
            pos++;
            if (untraced) return no_infix ? pos : infix_in(code, b, pos, end, entry_top, push);
            fire_placed(code, pos - 1, push);
            break;
    }
    if (!no_infix) pos = infix_after(code, pos, end, entry_top, push);
    if (tracing && !push) fire_event(EV_EXPR, code, pos, nullptr, stack::arguments);
    return pos;
}

// None and false are false, everything else (unset too) is true.
static inline bool truthy(const Cell* v) {
    uint8_t t = v->type();
    return !(t == TYPE_NONE || (t == TYPE_LOGIC && v->data1 == 0));
}

// ---- Argument cache ----

// Cache cells: a typeset per argument (fetch mode in header bits 20-21, the argument's spec
// position as spec_position reads it), a copy of each refinement but /local (natives: ordinal in data3), and a
// final integer (locals count for functions, refinement count for natives). The mode constants
// are defined with the operator shortcuts, which read the cache too.
// Apply-mode bit of run-time callers (call_with): every argument is the next value of the code
// taken as it is, and every refinement is off. Kept apart from the bits apply passes (1, 2, 4).
constexpr int kLiteralArgs = 8;
// Room for the refinement integers of a native or action call.
constexpr int32_t kMaxRefinements = 32;

// While the environment is being built, the typeset words of the natives' specs are not set yet
// when the first calls run; such a typeset admits every type and its cache is not kept, so the
// next call builds it again once the words are set.
bool provisional_types = false;
static bool cache_incomplete = false;

static void typeset_from_spec(Cell* ts, const Cell* types_block) {
    set_cell(ts, TYPE_TYPESET);
    int32_t n = block::rs_length_q(types_block);
    for (int32_t i = 0; i < n; i++) {
        Cell v = block::rs_head(types_block)[i];
        // A type word may have been unset or set to something else since the function was made:
        // the errors name the word, as the check at making does.
        Cell element = v;
        if (v.type() == TYPE_WORD) {
            Cell* got = word::peek(&v);
            if (!got) fire_copy(err::script::invalid_type_spec, &v);
            if (got->type() == TYPE_UNSET) {
                if (!provisional_types) fire_copy(err::script::no_value, &element);
                set_cell(ts, TYPE_TYPESET, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF);
                cache_incomplete = true;
                return;
            }
            v = *got;
        }
        if (v.type() == TYPE_DATATYPE)
            typeset_set(ts, static_cast<int>(v.data1));
        else if (v.type() == TYPE_TYPESET) {
            ts->data1 |= v.data1;
            ts->data2 |= v.data2;
            ts->data3 |= v.data3;
        } else if (v.type() == TYPE_WORD)
            typeset_set(ts, TYPE_OBJECT);
        else if (v.type() != TYPE_BLOCK)
            fire_copy(err::script::invalid_type_spec, &element);
    }
}

static void any_but_unset(Cell* ts) {
    set_cell(ts, TYPE_TYPESET, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF);
    auto* bytes = reinterpret_cast<uint8_t*>(&ts->data1);
    bytes[TYPE_UNSET >> 3] &= static_cast<uint8_t>(~(0x80 >> (TYPE_UNSET & 7)));
}

// The shape of a call, kept in the cache slot's spare word once the cache is stored: whether
// the call is plain (its first arguments fetched by value, and then nothing more that a call
// without refinements pushes), how many such arguments and its final count (locals or
// refinements). A plain call collects its arguments without walking the cache.
constexpr uint32_t kPlainCall = 0x80000000u;
inline uint32_t plain_args(uint32_t summary) { return summary & 0xFF; }
inline int32_t plain_last(uint32_t summary) { return static_cast<int32_t>((summary >> 8) & 0xFF); }

static Node build_cache(const Cell* fn, uint32_t* summary) {
    bool native = fn->type() == TYPE_NATIVE || fn->type() == TYPE_ACTION;
    Node spec = fn->data2;
    collector::NodeRoot keep_spec(&spec);
    Node cache = block::make_node(8);
    collector::NodeRoot keep_cache(&cache);
    int32_t n = block::node_length(spec);
    int32_t ordinal = 0;
    int32_t locals = -1;
    for (int32_t i = 0; i < n; i++) {
        Cell c = *block::node_cell(spec, i);
        uint8_t t = c.type();
        if (locals >= 0) {
            if (t == TYPE_SET_WORD) break;
            locals++;
            continue;
        }
        if (t == TYPE_WORD || t == TYPE_GET_WORD || t == TYPE_LIT_WORD || (t == TYPE_SET_WORD)) {
            // Compared ignoring case, as the spec's check compares it.
            if (t == TYPE_SET_WORD && symbol::resolve(static_cast<int32_t>(c.data2)) != symbol::resolve(sym_return))
                fire_copy(err::script::bad_func_def, &c);
            Cell ts;
            if (i + 1 < n && block::node_cell(spec, i + 1)->type() == TYPE_BLOCK && block::rs_length_q(block::node_cell(spec, i + 1)) > 0) {
                Cell types_block = *block::node_cell(spec, i + 1);
                typeset_from_spec(&ts, &types_block);
            } else {
                any_but_unset(&ts);
            }
            uint32_t mode = t == TYPE_WORD ? FETCH_WORD : t == TYPE_GET_WORD ? FETCH_GET : t == TYPE_LIT_WORD ? FETCH_LIT : FETCH_RETURN;
            ts.header = TYPE_TYPESET | (mode << kModeShift) | spec_position_bits(i);
            block::append_cell(cache, &ts);
        } else if (t == TYPE_REFINEMENT) {
            if (symbol::resolve(static_cast<int32_t>(c.data2)) == symbol::resolve(function::local_symbol())) {
                locals = 1;
                continue;
            }
            Cell r = c;
            ordinal++;
            if (native) r.data3 = static_cast<uint32_t>(ordinal);
            block::append_cell(cache, &r);
        }
    }
    Cell count;
    if (native) {
        if (ordinal > 0) block::append_cell(cache, set_cell(&count, TYPE_INTEGER, static_cast<uint32_t>(ordinal)));
    } else if (locals > 0) {
        block::append_cell(cache, set_cell(&count, TYPE_INTEGER, static_cast<uint32_t>(locals)));
    }
    // A native's arguments after its first refinement are pushed only when the refinement is
    // named; a function pushes a flag and a none for each, which the plain path does not do.
    *summary = 0;
    int32_t ncache = block::node_length(cache);
    uint32_t args = 0;
    bool plain = true;
    for (int32_t i = 0; i < ncache && plain; i++) {
        const Cell* c = block::node_cell(cache, i);
        if (c->type() == TYPE_TYPESET) {
            if (((c->header >> kModeShift) & 3) != FETCH_WORD) plain = false;
            else args++;
        } else if (c->type() == TYPE_REFINEMENT) {
            if (!native) plain = false;
            break;
        } else if (c->type() != TYPE_INTEGER) {
            plain = false;
        }
    }
    int32_t last = native ? ordinal : (locals > 0 ? locals : 0);
    if (plain && args <= 0xFF && last >= 0 && last <= 0xFF && (!native || last <= kMaxRefinements))
        *summary = kPlainCall | args | (static_cast<uint32_t>(last) << 8);
    return cache;
}

// A cache made from a script's spec for built-in code, against the cache of that code's own
// spec: answers whether both describe the same arguments taken the same way and the same
// refinements in the same places (return: specs aside), and then narrows each argument's types
// to those the code takes, so that the usual check refuses the others.
static bool fit_cache(Node made, Node own) {
    auto next = [](Node cache, int32_t i) {
        int32_t n = block::node_length(cache);
        while (i < n) {
            const Cell* c = block::node_cell(cache, i);
            if (!(c->type() == TYPE_TYPESET && ((c->header >> kModeShift) & 3) == FETCH_RETURN)) break;
            i++;
        }
        return i;
    };
    int32_t nm = block::node_length(made), no = block::node_length(own);
    int32_t i = next(made, 0), j = next(own, 0);
    for (; i < nm && j < no; i = next(made, i + 1), j = next(own, j + 1)) {
        const Cell* a = block::node_cell(made, i);
        const Cell* b = block::node_cell(own, j);
        if (a->type() != b->type()) return false;
        if (a->type() == TYPE_TYPESET && ((a->header >> kModeShift) & 3) != ((b->header >> kModeShift) & 3)) return false;
        if (a->type() == TYPE_INTEGER && a->data1 != b->data1) return false;
    }
    if (i < nm || j < no) return false;
    for (i = next(made, 0), j = next(own, 0); i < nm; i = next(made, i + 1), j = next(own, j + 1)) {
        Cell* a = block::node_cell(made, i);
        const Cell* b = block::node_cell(own, j);
        if (a->type() != TYPE_TYPESET) continue;
        a->data1 &= b->data1;
        a->data2 &= b->data2;
        a->data3 &= b->data3;
    }
    return true;
}

// A native! or action! made by script runs the built-in code of its number, which reads the
// arguments its own spec describes: a spec of another shape is refused before any call, as is
// any spec for code that has no value of its own (the actions the run-time alone calls).
static void check_made_spec(const Cell* fn, Node cache) {
    const Cell* own = fn->type() == TYPE_NATIVE ? natives::value_of(static_cast<int>(fn->data1))
                                                : natives::action_value_of(static_cast<int>(fn->data1));
    // Only the built-in value itself goes unchecked: a value made from its spec block may see
    // that block after a script has edited it.
    if (own->type() == fn->type() && own->data3 == fn->data3) return;
    bool fits = false;
    if (own->type() == fn->type()) {
        Cell original = *own;
        collector::Root keep_original(&original);
        collector::NodeRoot keep_cache(&cache);
        Node own_cache = arg_cache(&original);
        fits = fit_cache(cache, own_cache);
    }
    if (!fits) {
        Cell spec;
        block::make_at(&spec, fn->data2);
        fire(err::script::bad_func_def, &spec);
    }
}

Node arg_cache(const Cell* fn) {
    Cell* slot = block::node_cell(fn->data3, 1);
    if (slot->type() == TYPE_BLOCK) return slot->node();
    cache_incomplete = false;
    uint32_t summary;
    Node cache = build_cache(fn, &summary);
    if ((fn->type() == TYPE_NATIVE || fn->type() == TYPE_ACTION) && !cache_incomplete && !provisional_types &&
        natives::words_defined())
        check_made_spec(fn, cache);
    if (!cache_incomplete) {
        Cell* stored = block::make_at(block::node_cell(fn->data3, 1), cache);
        stored->data3 = summary;
    }
    return cache;
}

void settle_builtin_caches() {
    for (int n = 1; n < natives::counter; n++) {
        Cell fn = *natives::value_of(n);
        if (fn.type() == TYPE_NATIVE) arg_cache(&fn);
    }
    for (int n = 1; n <= kActionCount; n++) {
        Cell fn = *natives::action_value_of(n);
        if (fn.type() == TYPE_ACTION) arg_cache(&fn);
    }
}

// The argument cache of a function value the caller keeps alive (on the data stack or under a
// guard). A stored cache lives as long as that value, which holds it; only a provisional one,
// which nothing holds, is guarded here for the call.
class CallCache {
public:
    Node node;
    explicit CallCache(const Cell* fn) {
        const Cell* slot = block::node_cell(fn->data3, function::MORE_CACHE);
        if (slot->type() == TYPE_BLOCK) {
            node = slot->node();
            return;
        }
        node = arg_cache(fn);
        if (block::node_cell(fn->data3, function::MORE_CACHE)->type() != TYPE_BLOCK) guard.emplace(&node);
    }

private:
    std::optional<collector::NodeRoot> guard;
};

// The spec word of the argument a cache typeset describes.
static void argument_word(Cell* out, const Cell* fn, const Cell* ts) {
    int32_t i = spec_position(ts);
    // The spec may have been cut since the cache was built: its old position is no word now.
    if (i >= block::node_length(fn->data2) || !types::any_word(block::node_cell(fn->data2, i)->type())) {
        anon_name(out);
        return;
    }
    *out = *block::node_cell(fn->data2, i);
    out->header = TYPE_WORD;
}

// The spec word of a refinement the cache holds. A native's cached copy carries its ordinal in
// the slot field, which a word handed out would take for its slot: the spec's own cell is used.
static void refinement_word(Cell* out, const Cell* fn, const Cell* cached, bool native) {
    *out = *cached;
    out->header = TYPE_WORD;
    if (!native) return;
    for (int32_t i = 0; i < block::node_length(fn->data2); i++) {
        const Cell* c = block::node_cell(fn->data2, i);
        if (c->type() == TYPE_REFINEMENT && c->data2 == cached->data2) {
            *out = *c;
            out->header = TYPE_WORD;
            return;
        }
    }
    // The spec changed since the cache was built: the word is left unresolved.
    out->data3 = static_cast<uint32_t>(-1);
}

[[noreturn]] static void expect_arg(const Cell* name, const Cell* value, const Cell* fn, const Cell* ts) {
    Cell n = *name, type, arg;
    datatype::make_at(&type, value->type());
    argument_word(&arg, fn, ts);
    fire(err::script::expect_arg, &n, &type, &arg);
}

// Fetches one argument by its mode and pushes it; returns the new position.
static int32_t fetch_argument(uint32_t mode, const Cell* code, int32_t pos, int32_t end, bool infix, const Cell* name,
                              const Cell* fn, const Cell* ts) {
    SeriesBuf* b = code_buf(code);
    int32_t limit = static_cast<int32_t>(cell_count(b));
    if (end > limit) end = limit;
    if (pos >= end) {
        Cell n = *name, arg;
        argument_word(&arg, fn, ts);
        fire(err::script::no_arg, &n, &arg);
    }
    if (mode == FETCH_WORD) {
        // A literal or a word's plain value is taken as it stands, the operators after it
        // applied in place (traced evaluation takes the long way, which reports the fetch).
        if (!tracing) {
            int32_t next = plain_argument(code, pos, end, !infix);
            if (next >= 0) return next;
        }
        return eval_expression(code, pos, end, infix, true, false);
    }
    Cell c = *cell_at(code, pos);
    if (tracing) fire_event(EV_FETCH, code, pos, nullptr, &c);
    if (mode == FETCH_LIT) {
        switch (c.type()) {
            case TYPE_PAREN: {
                Cell anon;
                anon_name(&anon);
                stack::mark_interp_native(&anon);
                eval_paren(&c, true);
                stack::unwind();
                return pos + 1;
            }
            case TYPE_GET_WORD: stack::push(word_value(&c)); return pos + 1;
            case TYPE_GET_PATH: eval_path(&c, code, pos + 1, end, false, true, true, false); return pos + 1;
            default: break;
        }
    }
    stack::push(&c);
    if (tracing) fire_event(EV_PUSH, code, pos, nullptr, &c);
    return pos + 1;
}

// The C++ heap running out inside a native, an action or a routine (a work copy of a huge value
// handed to the operating system, say) is the language's no-memory error, raised from the call's
// own frame: an exception the run-time does not know would abort the process. Frames the call
// pushed for itself are dropped first, so that none of them takes the error.
[[noreturn, gnu::cold, gnu::noinline]] static void heap_exhausted(Frame* own) {
    while (stack::ctop > own) stack::pop_frame_restore();
    fire(err::internal::no_memory);
}

template <class F>
static inline void run_native_code(F&& f) {
    Frame* own = stack::ctop;
    // A native that stopped an unwinding inside (try, catch, a loop's break) returns with the
    // current block of wherever that began.
    Cell saved_block = current_block;
    try {
        f();
    } catch (const std::bad_alloc&) {
        heap_exhausted(own);
    }
    current_block = saved_block;
}

// An operator with a shortcut (actions::has_shortcut) whose right operand needs evaluating: the
// call as eval_code makes it for an infix native (its frame, the left operand checked before the
// right one is fetched), with the shortcut tried before the native runs.
static int32_t infix_shortcut(const Cell* op, const Cell* name, const Cell* code, int32_t pos, int32_t end, bool push) {
    stack::mark_interp_native(name);
    Cell* args = stack::arguments;
    stack::top = args + 1;  // the left operand is the first argument
    CallCache call_cache(op);
    Node cache = call_cache.node;
    const Cell* ts = cells_head(memory::nodes[cache]);
    if (cell_count(memory::nodes[cache]) < 2 || ts[0].type() != TYPE_TYPESET || ts[1].type() != TYPE_TYPESET)
        fire(err::internal::not_done);  // these natives and actions take two plain arguments
    if (!typeset_has(ts, args->type())) expect_arg(name, args, op, ts);
    int32_t next = plain_argument(code, pos, end, false);
    pos = next >= 0 ? next : fetch_argument(FETCH_WORD, code, pos, end, true, name, op, ts + 1);
    if (!(op->header & native::op_checks_operands) && fast_op(op, args, args + 1, args)) {
        stack::keep();
    } else {
        ts = cells_head(memory::nodes[cache]);
        if (!typeset_has(ts + 1, args[1].type())) expect_arg(name, args + 1, op, ts + 1);
        static const int32_t no_refs[1] = {-1};
        run_native_code([&] {
            if (op->type() == TYPE_NATIVE)
                natives::table[op->data1 - 1](0, no_refs);
            else
                actions::entry(static_cast<int>(op->data1), no_refs);
        });
    }
    if (push)
        stack::unwind();
    else
        stack::unwind_last();
    return pos;
}

static void eval_body(const Cell* fn, const Cell* name);

// if, unless and either, whose arguments are in place and checked: the chosen block runs in the
// frame the call pushed, as the native would run it, without the native's round trip. Answers
// false for any other native.
static inline bool run_branch(natives::NativeFn native) {
    const Cell* args = stack::arguments;
    if (native == natives::either) {
        if (args->type() == TYPE_UNSET) fire(err::script::no_return);
        eval_block(truthy(args) ? args + 1 : args + 2, true);
    } else if (native == natives::if_) {
        if (truthy(args))
            eval_block(args + 1, true);
        else
            natives::set_none();
    } else if (native == natives::unless) {
        if (truthy(args))
            natives::set_none();
        else
            eval_block(args + 1, true);
    } else {
        return false;
    }
    return true;
}

// The call of call_plain once its arguments are in place: count arguments, last the final
// count of the cache (a native's refinements, all absent, or a function's locals).
[[gnu::always_inline]] static inline int32_t finish_plain(const Cell* fn, const Cell* name, int32_t pos, bool push, int32_t count, int32_t last) {
    if (fn->type() != TYPE_FUNCTION) {
        // The last integer of a native's cache counts its refinements: all absent.
        if (last < 0 || last > kMaxRefinements) fire(err::internal::not_done);
        int32_t refs[kMaxRefinements];
        for (int32_t i = 0; i < last; i++) refs[i] = -1;
        if (count == 2 && last == 0 && fast_op(fn, stack::arguments, stack::arguments + 1, stack::arguments)) {
            stack::keep();
        } else {
            uint32_t number = fn->data1;
            if (fn->type() == TYPE_NATIVE) {
                if (number - 1 >= uint32_t(natives::counter - 1) || !natives::table[number - 1]) fire(err::internal::not_done);
                natives::NativeFn native = natives::table[number - 1];
                if (!run_branch(native)) run_native_code([&] { native(0, refs); });
            } else {
                if (number - 1 >= uint32_t(kActionCount)) fire(err::internal::not_done);
                run_native_code([&] { actions::entry(static_cast<int>(number), refs); });
            }
        }
    } else {
        if (last > 0) function::init_locals(last);
        eval_body(fn, name);
    }
    if (push) {
        stack::unwind();
        *(stack::top - 2) = *(stack::top - 1);
        stack::top--;
    } else {
        stack::unwind_last();
    }
    return pos;
}

// A call by a word in code, untraced: eval_code and eval_arguments for the common case (no path,
// no apply, not infix) in one place. Refinements are all off: a native gets -1 for each, a
// function a false flag and none for its arguments; locals follow.
static int32_t call_walking_cache(const Cell* fn, bool native, const Cell* name, const Cell* code, int32_t pos, int32_t end,
                                  bool push);

static int32_t call_plain(const Cell* fn_in, const Cell* name, const Cell* code, int32_t pos, int32_t end, bool push) {
    const Cell* fn = stack::push(fn_in);
    bool native = fn->type() != TYPE_FUNCTION;
    if (native) {
        stack::mark_interp_native(name);
    } else {
        stack::mark_interp_func(name);
        Frame* f = stack::top_frame();
        f->function_context = fn->data1;
        f->saved_values = context::cell_of(fn->data1)->data2;
    }
    const Cell* slot = cells_head(memory::nodes[fn->data3]) + function::MORE_CACHE;
    if (slot->type() == TYPE_BLOCK && (slot->data3 & kPlainCall)) {
        // A stored cache, held by the function on the data stack.
        Node cache = slot->node();
        uint32_t summary = slot->data3;
        int32_t nargs = static_cast<int32_t>(plain_args(summary));
        for (int32_t i = 0; i < nargs; i++) {
            int32_t next = plain_argument(code, pos, end, true);
            pos = next >= 0 ? next : fetch_argument(FETCH_WORD, code, pos, end, false, name, fn, cells_head(memory::nodes[cache]) + i);
            const Cell* ts = cells_head(memory::nodes[cache]) + i;
            if (!typeset_has(ts, (stack::top - 1)->type())) expect_arg(name, stack::top - 1, fn, ts);
        }
        return finish_plain(fn, name, pos, push, nargs, plain_last(summary));
    }
    return call_walking_cache(fn, native, name, code, pos, end, push);
}

// call_plain for a function whose cache has no plain-call summary (yet): the arguments by the
// walk of the cache. Out of line, which keeps the common path's registers free.
[[gnu::noinline]] static int32_t call_walking_cache(const Cell* fn, bool native, const Cell* name, const Cell* code, int32_t pos,
                                                    int32_t end, bool push) {
    CallCache call_cache(fn);
    Node cache = call_cache.node;
    int32_t ncache = static_cast<int32_t>(cell_count(memory::nodes[cache]));
    int32_t count = 0, last = 0;
    bool active = true;
    for (int32_t i = 0; i < ncache; i++) {
        Cell* cc = cells_head(memory::nodes[cache]) + i;
        switch (cc->type()) {
            case TYPE_TYPESET: {
                uint32_t mode = (cc->header >> kModeShift) & 3;
                if (mode == FETCH_RETURN) break;
                if (!active) {
                    if (!native) set_cell(stack::push_cell(), TYPE_NONE);
                    break;
                }
                if (mode == FETCH_LIT && typeset_has(cc, TYPE_UNSET) && (pos >= end || pos >= tail_of(code))) {
                    set_cell(stack::push_cell(), TYPE_UNSET);
                } else {
                    int32_t next = mode == FETCH_WORD ? plain_argument(code, pos, end, true) : -1;
                    pos = next >= 0 ? next : fetch_argument(mode, code, pos, end, false, name, fn, cc);
                    cc = cells_head(memory::nodes[cache]) + i;
                    if (!typeset_has(cc, (stack::top - 1)->type())) expect_arg(name, stack::top - 1, fn, cc);
                }
                count++;
                break;
            }
            case TYPE_REFINEMENT:
                if (!native) set_cell(stack::push_cell(), TYPE_LOGIC, 0);
                active = false;
                break;
            case TYPE_INTEGER: last = cc->i1(); break;
            default: break;
        }
    }
    return finish_plain(fn, name, pos, push, count, last);
}


// One expression of a block, untraced, into the result slot: a literal, a word's plain value or
// a call by a word without the expression routine (the operators after them taken here);
// anything else through it.
[[gnu::always_inline]] static inline int32_t eval_top(const Cell* code, int32_t pos, int32_t end) {
    SeriesBuf* b = code_buf(code);  // end lies within it: the caller has just read the tail
    Cell* c = cells_head(b) + pos;
    const Cell* v;
    switch (c->type()) {
        case TYPE_WORD:
            v = bound_slot(c);
            if (!v) break;
            switch (v->type()) {
                case TYPE_UNSET:
                case TYPE_OP:
                case TYPE_ROUTINE: return eval_expression(code, pos, end, false, false, false);
                case TYPE_FUNCTION:
                case TYPE_NATIVE:
                case TYPE_ACTION: {
                    if (platform::stack_exhausted()) break;  // the expression routine raises it
                    Cell name = *c;
                    pos = call_plain(v, &name, code, pos + 1, end, false);
                    return infix_after(code, pos, end, stack::arguments, false);
                }
                default:
                    stack::set_last_drop(v);
                    return infix_in(code, b, pos + 1, end, stack::arguments, false);
            }
            break;
        case TYPE_PAREN: {
            if (platform::stack_exhausted()) break;
            Cell paren = *c;
            paren.set_type(TYPE_BLOCK);
            eval_block(&paren, true);
            return infix_after(code, pos + 1, end, stack::arguments, false);
        }
        case TYPE_SET_WORD:
            if (platform::stack_exhausted()) break;
            pos = eval_set_word(code, c, pos, end, false);
            return infix_after(code, pos, end, stack::arguments, false);
        default:
            v = plain_value(c);
            if (!v) break;
            stack::set_last_drop(v);
            return infix_in(code, b, pos + 1, end, stack::arguments, false);
    }
    return eval_expression(code, pos, end, false, false, false);
}


// Finds a refinement of the cache by symbol; answers its cache index or -1.
static int32_t find_refinement(Node cache, int32_t sym) {
    int32_t n = block::node_length(cache);
    int32_t s = symbol::resolve(sym);
    for (int32_t i = 0; i < n; i++) {
        Cell* c = block::node_cell(cache, i);
        if (c->type() == TYPE_REFINEMENT && symbol::resolve(static_cast<int32_t>(c->data2)) == s) return i;
    }
    return -1;
}

// Refinements named by the path after the function element, or by refinement! values in the
// apply form: switched on in the frame (functions) or in the refinement integers (natives), their
// arguments fetched. Kept apart from the common call, which names none.
[[gnu::noinline]] static int32_t named_refinements(const Cell* fn, const Cell* code, int32_t pos, int32_t end, const Cell* path,
                                                  int32_t path_index, int apply_mode, const Cell* name, Node cache,
                                                  int32_t* refs, int32_t nrefs, int32_t& count) {
    bool native = fn->type() == TYPE_NATIVE || fn->type() == TYPE_ACTION;
    collector::NodeRoot keep_cache(&cache);
    int32_t ncache = static_cast<int32_t>(cell_count(memory::nodes[cache]));
    bool by_path = path != nullptr;
    int32_t elements = by_path ? block::rs_length_q(path) : 0;
    int32_t k = by_path ? path_index + 1 : 0;
    uint64_t named = 0;  // the refinements of a function named so far, by cache position
    std::vector<bool> named_far;  // the same from position 64 on, for functions with that many
    // Both ends are read afresh: an argument's expression may shorten the block or the path, and
    // what it removed is no longer there to name a refinement.
    while (by_path ? k < elements && k < block::rs_length_q(path) : pos < end && pos < tail_of(code)) {
        Cell elem = by_path ? block::rs_head(path)[k] : *cell_at(code, pos);
        uint8_t et = elem.type();
        bool ok = by_path ? (et == TYPE_WORD || et == TYPE_GET_WORD) : (et == TYPE_REFINEMENT || et == TYPE_GET_WORD);
        if (!ok) {
            // An apply of a function without refinements stops here.
            if (!by_path) {
                bool any_ref = false;
                for (int32_t j = 0; j < ncache; j++)
                    if (block::node_cell(cache, j)->type() == TYPE_REFINEMENT) any_ref = true;
                if (!any_ref) break;
            }
            fire_copy(err::script::bad_refine, &elem);
        }
        bool on;
        if (by_path) {
            on = et == TYPE_WORD || truthy(word_value(&elem));
            k++;
        } else {
            // The refinement's truth is the expression after it. One written last, with nothing
            // after it (as send passes /no-wait), is off, as a refinement reached at the end of
            // the block is; nothing is read past the code.
            pos++;
            if (pos >= end || pos >= tail_of(code)) {
                on = false;
            } else {
                pos = eval_expression(code, pos, end, false, true, false);
                on = truthy(stack::top - 1);
                stack::top--;
            }
        }
        int32_t r = find_refinement(cache, static_cast<int32_t>(elem.data2));
        if (r < 0) {
            Cell n = *name;
            elem.header = TYPE_WORD;
            fire(err::script::no_refine, &n, &elem);
        }
        int32_t slot = -1;
        if (native) {
            int32_t ordinal = static_cast<int32_t>(block::node_cell(cache, r)->data3);
            if (refs[ordinal - 1] != -1) fire_copy(err::script::dup_refine, &elem);
            refs[ordinal - 1] = on ? count : -2;
        } else {
            // The spec may have been changed since the function was made: a refinement it names
            // now need not be a word of the function, nor lie among the cells of this frame.
            slot = context::find_word(fn->data1, static_cast<int32_t>(elem.data2), true);
            if (slot < 0 || stack::arguments + slot >= stack::top) {
                Cell n = *name;
                elem.header = TYPE_WORD;
                fire(err::script::no_refine, &n, &elem);
            }
            Cell* flag = stack::arguments + slot;
            // A refinement named once already is a second use even when the first was off.
            if (r >= 64 && named_far.empty()) named_far.resize(static_cast<size_t>(ncache));
            bool again = r < 64 ? (named >> r) & 1 : bool(named_far[static_cast<size_t>(r)]);
            if (again) fire_copy(err::script::dup_refine, &elem);
            if (r < 64)
                named |= uint64_t(1) << r;
            else
                named_far[static_cast<size_t>(r)] = true;
            set_cell(flag, TYPE_LOGIC, on ? 1 : 0);
        }
        int32_t a = 0;
        for (int32_t j = r + 1; j < ncache; j++) {
            Cell ts = *block::node_cell(cache, j);
            if (ts.type() != TYPE_TYPESET) break;
            uint32_t mode = (ts.header >> kModeShift) & 3;
            if (mode == FETCH_RETURN) continue;
            a++;
            // An off refinement's arguments past the block's end are not there to skip.
            if (!on && !by_path && (pos >= end || pos >= tail_of(code))) continue;
            if ((apply_mode & 4) && !on) {
                pos++;
                continue;
            }
            pos = fetch_argument(mode, code, pos, (apply_mode & 4) && end > pos + 1 ? pos + 1 : end, false, name, fn, &ts);
            if (!on) {
                stack::top--;
                continue;
            }
            if (!typeset_has(&ts, (stack::top - 1)->type())) expect_arg(name, stack::top - 1, fn, &ts);
            if (native) {
                count++;
            } else {
                Cell v = *(stack::top - 1);
                stack::top--;
                // Past the frame's cells only after such a change: the value has no word to go to.
                if (stack::arguments + slot + a < stack::top) stack::arguments[slot + a] = v;
            }
        }
    }
    if (native)
        for (int32_t i = 0; i < nrefs; i++)
            if (refs[i] == -2) refs[i] = -1;
    return pos;
}

// One argument of an apply call from its block: none past the block's end; with single values,
// an expression no longer than the one value at its position.
[[gnu::noinline]] static int32_t apply_argument(uint32_t mode, const Cell* code, int32_t pos, int32_t end, int apply_mode,
                                                const Cell* name, const Cell* fn, Node cache, int32_t i) {
    if (pos >= end || pos >= tail_of(code)) {
        set_cell(stack::push_cell(), TYPE_NONE);
        // Built-in code reads its arguments as its spec types them: a none it does not take
        // would reach it unchecked.
        bool builtin = fn->type() == TYPE_NATIVE || fn->type() == TYPE_ACTION;
        if (builtin && !typeset_has(block::node_cell(cache, i), TYPE_NONE))
            expect_arg(name, stack::top - 1, fn, block::node_cell(cache, i));
        return pos;
    }
    if ((apply_mode & 4) && end > pos + 1) end = pos + 1;
    collector::NodeRoot keep_cache(&cache);
    pos = fetch_argument(mode, code, pos, end, false, name, fn, block::node_cell(cache, i));
    const Cell* cc = block::node_cell(cache, i);
    if (!typeset_has(cc, (stack::top - 1)->type())) expect_arg(name, stack::top - 1, fn, cc);
    return pos;
}

static int32_t eval_arguments(const Cell* fn, const Cell* code, int32_t pos, int32_t end, const Cell* path, int32_t path_index,
                              int apply_mode, bool infix, const Cell* name) {
    bool native = fn->type() == TYPE_NATIVE || fn->type() == TYPE_ACTION;
    bool literal = apply_mode & kLiteralArgs;
    apply_mode &= ~kLiteralArgs;
    if (infix) stack::top++;
    CallCache call_cache(fn);
    Node cache = call_cache.node;
    int32_t ncache = static_cast<int32_t>(cell_count(memory::nodes[cache]));
    int32_t refs[kMaxRefinements];
    int32_t nrefs = 0;
    if (native && ncache > 0 && block::node_cell(cache, ncache - 1)->type() == TYPE_INTEGER) {
        nrefs = block::node_cell(cache, ncache - 1)->i1();
        // Natives and actions are made by the run-time itself; none has this many.
        if (nrefs < 0 || nrefs > kMaxRefinements) fire(err::internal::not_done);
        for (int32_t i = 0; i < nrefs; i++) refs[i] = -1;
    }
    int32_t count = 0;
    int32_t locals = 0;
    bool active = true;
    bool first = true;
    // Argument evaluation may move the cache: its cells are read in place (never copied to a
    // local, which would also make the CPU wait on the typeset bytes) and fetched again after
    // every evaluation.
    for (int32_t i = 0; i < ncache; i++) {
        Cell* cc = cells_head(memory::nodes[cache]) + i;
        switch (cc->type()) {
            case TYPE_TYPESET: {
                uint32_t mode = (cc->header >> kModeShift) & 3;
                if (mode == FETCH_RETURN) break;
                if (active) {
                    if (infix && first) {
                        if (!typeset_has(cc, stack::arguments->type())) expect_arg(name, stack::arguments, fn, cc);
                    } else if (apply_mode) {
                        pos = apply_argument(mode, code, pos, end, apply_mode, name, fn, cache, i);
                    } else {
                        if (literal) mode = FETCH_GET;
                        if (mode == FETCH_LIT && typeset_has(cc, TYPE_UNSET) && (pos >= end || pos >= tail_of(code))) {
                            set_cell(stack::push_cell(), TYPE_UNSET);
                        } else {
                            // The common argument, a literal or a word's plain value (and the
                            // operators after it), is taken here; everything else by fetch_argument.
                            int32_t next = mode == FETCH_WORD && !tracing ? plain_argument(code, pos, end, !infix) : -1;
                            pos = next >= 0 ? next : fetch_argument(mode, code, pos, end, infix, name, fn, cc);
                            cc = cells_head(memory::nodes[cache]) + i;
                            if (!typeset_has(cc, (stack::top - 1)->type())) expect_arg(name, stack::top - 1, fn, cc);
                        }
                    }
                    count++;
                    first = false;
                } else {
                    if (!native) set_cell(stack::push_cell(), TYPE_NONE);
                    if (apply_mode == 1 && pos < end && pos < tail_of(code)) {
                        pos = fetch_argument(mode, code, pos, end, false, name, fn, cc);
                        stack::top--;
                    } else if ((apply_mode & 6) == 4 && pos < end && pos < tail_of(code)) {
                        pos++;  // the single value of an argument that is off, never evaluated
                    }
                }
                break;
            }
            case TYPE_REFINEMENT: {
                if (apply_mode && !(apply_mode & 2)) {
                    bool on = false;
                    if (pos < end && pos < tail_of(code)) {
                        pos = eval_expression(code, pos, end, false, true, false);
                        cc = cells_head(memory::nodes[cache]) + i;
                        Cell flag = *(stack::top - 1);
                        stack::top--;
                        if (flag.type() != TYPE_LOGIC) {
                            Cell n = *name, type, arg;
                            datatype::make_at(&type, flag.type());
                            refinement_word(&arg, fn, cc, native);
                            fire(err::script::expect_arg, &n, &type, &arg);
                        }
                        on = flag.data1 != 0;
                    }
                    active = on;
                    if (native) {
                        if (on) refs[cc->data3 - 1] = count;
                    } else {
                        set_cell(stack::push_cell(), TYPE_LOGIC, on ? 1 : 0);
                    }
                } else {
                    if (!native) set_cell(stack::push_cell(), TYPE_LOGIC, 0);
                    active = false;
                }
                break;
            }
            case TYPE_INTEGER: locals = cc->i1(); break;
            default: break;
        }
    }

    if (path || (apply_mode & 2))
        pos = named_refinements(fn, code, pos, end, path, path_index, apply_mode, name, cache, refs, nrefs, count);

    if (tracing) fire_event(EV_CALL, code, pos, name, fn);
    if (native) {
        // Two numbers for arithmetic or a comparison: the answer without the call.
        if (!tracing && count == 2 && nrefs == 0 && fast_op(fn, stack::arguments, stack::arguments + 1, stack::arguments)) {
            stack::keep();
            return pos;
        }
        uint32_t number = fn->data1;
        if (fn->type() == TYPE_NATIVE) {
            // A native! made from a damaged value must not index past the table.
            if (number - 1 >= uint32_t(natives::counter - 1) || !natives::table[number - 1]) fire(err::internal::not_done);
            run_native_code([&] { natives::table[number - 1](0, refs); });
        } else {
            if (number - 1 >= uint32_t(kActionCount)) fire(err::internal::not_done);
            run_native_code([&] { actions::entry(static_cast<int>(number), refs); });
        }
    } else if (locals > 0) {
        function::init_locals(locals);
    }
    return pos;
}

// ---- Calls ----

// Puts the trace switch and the function context's values back on every way out of a body.
struct BodyExit {
    Node ctx;
    uint32_t values;
    bool tracing_before;
    bool muted_before;
    // The caller's expression goes on after a return: its errors tell its own block.
    Cell caller_block;
    ~BodyExit() {
        tracing = tracing_before;
        env_muted = muted_before;
        context::cell_of(ctx)->data2 = values;
    }
};

void run_aside(void (*fn)(void*), void* arg) {
    uint32_t thrown = runtime::sys.thrown;
    Cell pending = stack::pending_error;
    collector::Root keep_pending(&pending);
    stack::Saved saved = stack::save();
    runtime::sys.thrown = 0;
    try {
        stack::mark_named(stack::body_symbol, FRAME_BOUNDARY);
        fn(arg);
    } catch (const Throw&) {
    }
    stack::restore(saved);
    stack::pending_error = pending;
    runtime::sys.thrown = thrown;
}

// The epilog of a body that an error, a throw, a break or a continue cut short, so that a tracer
// sees every prolog closed. fn and name are the caller's guarded copies.
[[gnu::noinline]] static void epilog_unwinding(const Cell* fn, const Cell* name) {
    bool was_tracing = tracing;
    struct Event {
        const Cell *fn, *name;
    } event{fn, name};
    run_aside(
        [](void* p) {
            auto* e = static_cast<Event*>(p);
            fire_event(EV_EPILOG, nullptr, -1, e->name, e->fn);
        },
        &event);
    tracing = was_tracing;
}

// A body run between its prolog and its epilog. The function's and the name's cells may go with
// the frames when an exit unwinds them: the epilog of a body cut short reads copies.
[[gnu::noinline]] static void run_traced_body(const Cell* fn, const Cell* name, const Cell* body) {
    Cell traced_fn = *fn, traced_name = *name;
    collector::Root keep_fn(&traced_fn), keep_name(&traced_name);
    try {
        fire_event(EV_PROLOG, nullptr, -1, name, fn);
        eval_block(body, true);
    } catch (const Throw& t) {
        if (t.code != codes::ret && t.code != codes::exit) {
            if (trace_active) epilog_unwinding(&traced_fn, &traced_name);
            throw;
        }
        runtime::sys.thrown = 0;
    }
    if (tracing) fire_event(EV_EPILOG, nullptr, -1, name, fn);
}

static void eval_body(const Cell* fn, const Cell* name) {
    Node ctx = fn->data1;
    Cell* cc = context::cell_of(ctx);
    BodyExit restore{ctx, cc->data2, tracing, env_muted, current_block};
    // The arguments were collected by the spec as it is now; a spec changed after the function
    // was made can leave fewer cells than the context has words. The rest start as none, never
    // as whatever lies above the frame (or past the stack's end).
    Cell* needed = stack::arguments + cell_count(memory::nodes[cc->data3]);
    if (stack::top < needed) [[unlikely]]
        while (stack::top < needed) set_cell(stack::push_cell(), TYPE_NONE);
    cc->data2 = stack::index_of(stack::arguments) + 1;
    stack::set_frame_flag(true);
    if (fn->header & function::flag_no_trace) {
        tracing = env_muted = false;
    } else if (fn->header & function::flag_builtin) {
        // The environment's functions report nothing of their own, as compiled code.
        if (tracing) env_muted = true;
        tracing = false;
    } else if (fn->header & function::flag_trace) {
        tracing = trace_active;
        env_muted = false;
    }
    Frame* frame = stack::ctop - 1;
    Cell body = *block::node_cell(fn->data3, function::MORE_BODY);
    if (tracing) [[unlikely]] {
        run_traced_body(fn, name, &body);
        current_block = restore.caller_block;
    } else {
        try {
            eval_block(&body, true);
        } catch (const Throw& t) {
            if (t.code != codes::ret && t.code != codes::exit) throw;
            // return and exit stop here: their value is already in this call's result slot.
            runtime::sys.thrown = 0;
            current_block = restore.caller_block;
        }
    }
    stack::clear_frame_flag(frame);
}

void call_function(const Cell* fn, Node ctx, const Cell* name) {
    (void)ctx;  // interpreted bodies run in their own context; a compiled entry would take ctx
    if (tracing) fire_event(EV_CALL, nullptr, -1, name, fn);
    eval_body(fn, name);
    if (tracing) fire_event(EV_RETURN, nullptr, -1, name, stack::arguments);
}

static void exec_routine(const Cell* fn) {
    Cell* code = block::node_cell(fn->data3, 2);
    int32_t n = code->i1();
    if (n < 1 || n > routines::counter - 1 || !routines::table[n - 1]) fire(err::internal::routines);
    run_native_code([&] { routines::table[n - 1](); });
}

int32_t eval_code(const Cell* fn_in, const Cell* code, int32_t pos, int32_t end, bool push, const Cell* path, int32_t path_index,
                  const Cell* source, int apply_mode, bool infix, const Cell* name_in) {
    // The callers' name cells are their own copies; an unnamed call is named "<anon>".
    Cell anon;
    const Cell* name = name_in;
    if (!name || name->type() != TYPE_WORD) {
        anon_name(&anon);
        name = &anon;
    }
    Cell traced;
    if (tracing) {
        // The callback may change the place the function was read from.
        traced = *fn_in;
        fn_in = &traced;
        if (infix) stack::top++;
        fire_event(EV_OPEN, code, pos, nullptr, name);
        if (infix) stack::top--;
    }
    // The function is read from its copy on the data stack, where the collector keeps it; an
    // infix call's operator is its caller's copy.
    const Cell* fn = infix ? fn_in : stack::push(fn_in);
    switch (fn->type()) {
        case TYPE_NATIVE:
        case TYPE_ACTION:
            stack::mark_interp_native(name);
            pos = eval_arguments(fn, code, pos, end, path, path_index, apply_mode, infix, name);
            break;
        case TYPE_ROUTINE:
            stack::mark_interp_native(name);
            pos = eval_arguments(fn, code, pos, end, path, path_index, apply_mode, infix, name);
            exec_routine(fn);
            break;
        case TYPE_FUNCTION: {
            // The context a function runs in: the object it was reached through, else the one
            // kept in its extra block, else its name's. Only compiled bodies take it.
            Node ctx = name->data1;
            if (source && types::any_object(source->type()) && source->data1 != context::global_node)
                ctx = source->data1;
            stack::mark_interp_func(name);
            Frame* f = stack::ctop - 1;
            f->function_context = fn->data1;
            f->saved_values = context::cell_of(fn->data1)->data2;
            pos = eval_arguments(fn, code, pos, end, path, path_index, apply_mode, infix, name);
            call_function(fn, ctx, name);
            break;
        }
        default: runtime::quit(101, KEL_CALLER_ADDRESS());
    }
    // The code and the name may be cells of the caller's frame above its result (apply's), which
    // the event's own frame reuses once the call's frame is gone: the event reads copies, taken
    // here and pushed by it before anything can allocate.
    Cell code_copy, name_copy;
    if (tracing) {
        code_copy = *code;
        name_copy = *name;
        code = &code_copy;
        name = &name_copy;
    }
    if (push)
        stack::unwind();
    else
        stack::unwind_last();
    if (tracing) fire_event(EV_RETURN, code, pos, name, push ? stack::top - 1 : stack::arguments);
    if (!infix && push) {
        *(stack::top - 2) = *(stack::top - 1);
        stack::top--;
    }
    return pos;
}

void call_with(Cell* out, const Cell* fn_in, const Cell* const* args, int nargs) {
    Cell fn = *fn_in;
    collector::Root keep(&fn);
    // An operator given as the function is called as the function it wraps, as apply calls it.
    if (fn.type() == TYPE_OP) {
        uint8_t wrapped = native::op_wrapped(&fn);
        if (wrapped == TYPE_FUNCTION || wrapped == TYPE_ROUTINE)
            fn = *block::node_cell(fn.data3, function::MORE_OP);
        else
            fn.set_type(wrapped);
    }
    // The arguments go into a block that serves as the call's code, each taken as it is (a word
    // or a function among them is not evaluated), so that the function's own argument collection
    // (types, refinements off) applies unchanged.
    Node code_node = block::make_node(nargs > 0 ? nargs : 1);
    Cell code;
    block::make_at(&code, code_node);
    collector::Root keep_code(&code);
    for (int i = 0; i < nargs; i++) {
        Cell a = *args[i];
        block::append_cell(code_node, &a);
    }
    Cell* saved_top = stack::top;
    struct Given {
        const Cell* saved = given_args;
        ~Given() { given_args = saved; }
    } given;
    given_args = &code;
    stack::mark_named(stack::body_symbol, FRAME_INTERP_NATIVE);
    Cell name;
    anon_name(&name);
    eval_code(&fn, &code, 0, nargs, false, nullptr, 0, nullptr, kLiteralArgs, false, &name);
    *out = *stack::arguments;
    stack::pop_frame();
    stack::top = saved_top;  // the caller's cells above its arguments stay
}

// ---- Paths ----

// Whether a path assignment into a value of this type changes what the cell refers to (a series,
// a context, a table) rather than the cell itself. Any other value (a time, a pair, a date) is
// changed in the cell, which must then be stored back where it came from.
static bool assigned_elsewhere(uint8_t t) {
    return types::series(t) || types::any_object(t) || types::any_function(t) || t == TYPE_MAP || t == TYPE_BITSET ||
           t == TYPE_CONTEXT;
}

// The notify flag of a store by element i (1 for the first element after the head).
static bool notify_q(int32_t i, const Cell* parent, const Cell* previous) {
    if (i < 2) return false;
    if (parent->type() == TYPE_OBJECT) return parent->data3 != 0 && previous->type() == TYPE_WORD;
    return types::any_block(parent->type());
}

int32_t eval_path(const Cell* path_in, const Cell* code, int32_t pos, int32_t end, bool set, bool get, bool push, bool case_) {
    Cell path = *path_in;
    collector::Root keep(&path);
    int32_t len = block::rs_length_q(&path);
    if (len == 0) fire(err::script::empty_path);
    if (tracing) fire_event(EV_ENTER, &path, path.index(), nullptr, nullptr);
    Cell head = *block::rs_head(&path);
    if (tracing) fire_event(EV_FETCH, &path, path.index(), nullptr, &head);
    if (head.type() != TYPE_WORD) fire_copy(err::script::word_first, &path);
    Cell hv = *word_value(&head);
    if (types::any_function(hv.type()) && hv.type() != TYPE_OP) {
        if (set) fire_copy(err::script::invalid_path_set, &path);
        if (get) fire_copy(err::script::invalid_path_get, &path);
        pos = eval_code(&hv, code, pos, end, push, &path, 0, nullptr, 0, false, &head);
        if (tracing) fire_event(EV_EXIT, &path, path.index() + len, nullptr, push ? stack::top - 1 : stack::arguments);
        return pos;
    }
    if (hv.type() == TYPE_UNSET) fire_copy(err::script::unset_path, &path, &head);
    if (tracing) fire_event(EV_PUSH, &path, path.index(), nullptr, &hv);
    if (!tracing && hv.type() == TYPE_OBJECT && object_path(&path, set, get, push)) return pos;
    // Working cells on the data stack: the value reached at every step (values[0] is the head
    // word's), every evaluated element, the parent of the first step, a none and the step's
    // result. All steps are kept, not only the last two: a set that changes a value held in the
    // cell itself is stored back up the chain into the place each value was read from.
    Cell* base = stack::top;
    Cell* values = base;
    for (int32_t i = 0; i < len; i++) set_cell(stack::push_cell(), TYPE_NONE);
    Cell* elements = stack::top;
    for (int32_t i = 0; i < len; i++) set_cell(stack::push_cell(), TYPE_NONE);
    Cell* first_parent = stack::push_cell();
    set_cell(first_parent, TYPE_NONE);
    Node hctx = head.data1;
    if (hctx && hctx != context::global_node) {
        Cell* owner = context::owner_of(hctx);
        if (owner->type() != TYPE_OBJECT && owner->type() != TYPE_UNSET) *first_parent = *owner;
    }
    Cell* none = stack::push_cell();
    set_cell(none, TYPE_NONE);
    // Below the top the collector marks it: whatever an earlier call left there must not be
    // taken for a value (a stale string naming a node reused by a block would keep the block
    // without its contents being walked).
    Cell* out = stack::push_cell();
    set_cell(out, TYPE_NONE);
    Cell* scratch_top = stack::top;
    values[0] = hv;
    // The walk ends at the path's tail as it is at each step: a paren may shorten the path, and
    // the cells past its new tail are stale. It never goes past the length the working cells
    // were made for.
    int32_t n = len;
    for (int32_t i = 1; i < n; i++) {
        if (block::rs_length_q(&path) <= i) {
            n = i;
            break;
        }
        const Cell written = block::rs_head(&path)[i];
        Cell elem = written;
        if (tracing) fire_event(EV_FETCH, &path, path.index() + i, nullptr, &elem);
        if (elem.type() == TYPE_GET_WORD) {
            elem = *word_value(&elem);
        } else if (elem.type() == TYPE_PAREN) {
            stack::mark_named(stack::body_symbol, FRAME_INTERP_NATIVE);
            Cell p = elem;
            eval_paren(&p, true);
            stack::unwind();
            elem = *(stack::top - 1);
            stack::top = scratch_top;
        }
        if (tracing) fire_event(EV_PUSH, &path, path.index() + i, nullptr, &elem);
        elements[i] = elem;
        if (elem.type() == TYPE_UNSET) fire_copy(err::script::unset_path, &path, &elem);
        int32_t now = block::rs_length_q(&path);
        if (now < n) n = now > i ? now : i + 1;
        bool last = i == n - 1;
        Cell* current = values + (i - 1);
        Cell* parent = i >= 2 ? values + (i - 2) : first_parent;
        Cell* previous = i >= 2 ? elements + (i - 1) : none;
        bool notify = set && last && notify_q(i, parent, previous);
        PathStep step{current, elements + i, set && last ? stack::arguments : nullptr, &path, parent, previous, i - 1, case_, get, last, notify};
        Cell* r = actions::eval_path(step, out);
        if (!set && !get && types::any_function(r->type()) && r->type() != TYPE_OP) {
            Cell fn = *r;
            Cell source = *current;
            // Named by the element as written: a call through anything but a word is unnamed.
            Cell name = written;
            pos = eval_code(&fn, code, pos, end, push, &path, i, &source, 0, false, &name);
            if (push) {
                Cell result = *(stack::top - 1);
                stack::top = base;
                stack::push(&result);
            }
            if (tracing) fire_event(EV_EXIT, &path, path.index() + len, nullptr, push ? stack::top - 1 : stack::arguments);
            return pos;
        }
        values[i] = *r;
        stack::top = scratch_top;
    }
    if (set) {
        // The last step changed values[len - 2]. When that value lives in the cell itself, the
        // change is in this copy only: store it into its container through the container's own
        // path assignment (which tells an owner, as any assignment does), and go on up while the
        // container is itself such a value; the head word's value goes back into its slot.
        for (int32_t k = n - 2; k >= 0; k--) {
            if (assigned_elsewhere(values[k].type())) break;
            if (k > 0 && values[k].type() == TYPE_DATE && values[k - 1].type() == TYPE_DATE) {
                // A date's `date` field is its day alone: going back it replaces the day and
                // keeps the time and zone (stored as a field it would clear them).
                constexpr uint32_t keep = date::time_flag | date::zone_mask;
                values[k - 1].data1 = (values[k].data1 & ~keep) | (values[k - 1].data1 & keep);
                continue;
            }
            if (k == 0) {
                Cell w = head;
                context::set_value(&w, values);
                break;
            }
            Cell* parent = k >= 2 ? values + (k - 2) : first_parent;
            Cell* previous = k >= 2 ? elements + (k - 1) : none;
            Cell* container = values + (k - 1);
            const Cell* element = elements + k;
            Cell index;
            if (types::any_block(container->type()) && element->type() != TYPE_INTEGER) {
                // Back into the very cell the read took: a store by key searches another way (a
                // word also matches a refinement, a block key is a sequence, /case wants the
                // same word type) and could land on a different cell.
                int32_t at = block::path_read_at(container, element, case_);
                if (at >= 0) element = set_cell(&index, TYPE_INTEGER, static_cast<uint32_t>(at - container->index() + 1));
            }
            PathStep up{container, element, values + k, &path, parent, previous, k - 1, case_, false, true,
                        notify_q(k, parent, previous)};
            actions::eval_path(up, out);
            stack::top = scratch_top;
        }
    }
    if (tracing) fire_event(EV_EXIT, &path, path.index() + n, nullptr, values + (n - 1));
    Cell final_value = set ? *stack::arguments : values[n - 1];
    stack::top = base;
    place(&final_value, push);
    return pos;
}

// ---- Set-up ----

void init() {
    set_cell(&current_block, TYPE_UNSET);
    callback_holder = block::make_node(1);
    set_cell(block::alloc_tail(callback_holder), TYPE_NONE);
    root::keep_node(callback_holder);
    sym_set_path = symbol::make("set-path");
    sym_system = symbol::make("system");
    sym_system_global = symbol::make("system-global");
    sym_interp_callback = symbol::make("<interp-callback>");
    sym_return = symbol::make("return");
    static const char* const names[16] = {"init", "end", "prolog", "epilog", "enter", "exit", "open", "return",
                                          "fetch", "push", "set", "call", "error", "throw", "catch", "expr"};
    for (int i = 0; i < 16; i++) event_symbols[i] = symbol::make(names[i]);
    error::near_hook = near_position;
}

}  // namespace interpreter
