#include "evaluator/interpreter.h"

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/datatype.h"
#include "datatypes/error.h"
#include "datatypes/function.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "evaluator/actions.h"
#include "evaluator/natives.h"
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
uint32_t trace_mask = 0x1FFFF;
Cell current_block;

static Node callback_holder = 0;  // a block holding the trace callback (cell 0)
static int32_t callback_locals = 0;
static int32_t sym_set_path = 0, sym_system = 0, sym_system_global = 0, sym_interp_callback = 0;
static int32_t event_symbols[16];

// ---- Helpers ----

static inline SeriesBuf* code_buf(const Cell* code) { return memory::nodes[code->node()]; }
static inline int32_t tail_of(const Cell* code) { return static_cast<int32_t>(code_buf(code)->length()); }
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

// Word lookup on the hot path: the slot of a bound, resolved word.
static inline Cell* word_value(const Cell* w) {
    Node ctx = w->data1;
    int32_t index = static_cast<int32_t>(w->data3);
    if (index >= 0 && ctx) {
        Cell* c = context::cell_of(ctx);
        if (!(c->header & context::on_stack)) return cells_head(memory::nodes[c->data2]) + index;
        if (c->data2) return stack::bottom + (c->data2 - 1) + index;
    }
    return context::get(w);
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
    fire_event(EV_INIT, nullptr, -1, nullptr, nullptr);
    return true;
}

void trace_end() {
    if (!trace_active) return;
    fire_event(EV_END, nullptr, -1, nullptr, nullptr);
    trace_active = tracing = false;
}

void fire_event(uint32_t event, const Cell* code, int32_t pos, const Cell* ref, const Cell* value) {
    if (!(trace_mask & event)) return;
    Cell callback = *block::node_cell(callback_holder, 0);
    if (!types::any_function(callback.type())) return;
    Frame* saved_ctop = stack::ctop;
    Cell* saved_top = stack::top;
    uint32_t frame_base = stack::index_of(stack::arguments);
    uint32_t frame_top = stack::index_of(stack::top);
    stack::top++;  // the cell just above the top may hold a value being produced
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
    set_cell(&pair, TYPE_PAIR, frame_base, frame_top);
    stack::push(&pair);
    if (callback_locals > 0) function::init_locals(callback_locals);
    tracing = false;
    if (callback.type() == TYPE_FUNCTION) {
        call_function(&callback, fctx, &name);
    }
    tracing = true;
    stack::restore_values(stack::ctop - 1);
    stack::ctop = saved_ctop;
    stack::top = saved_top;
    stack::arguments = stack::bottom + frame_base;
}

// ---- Blocks ----

void eval_block(const Cell* block, bool copy_result) {
    Cell code = *block;
    collector::Root keep(&code);
    Cell saved_block = current_block;
    stack::mark_named(stack::body_symbol, FRAME_EVAL);
    int32_t pos = code.index() > 0 ? code.index() : 0;
    if (tracing) fire_event(EV_ENTER, &code, pos, nullptr, nullptr);
    if (pos >= tail_of(&code)) {
        set_cell(stack::arguments, TYPE_UNSET);
        stack::keep();
    } else {
        current_block = code;
        while (true) {
            int32_t end = tail_of(&code);
            if (pos >= end) break;
            current_block.set_index(pos);
            pos = eval_expression(&code, pos, end, false, false, false);
            if (pos < tail_of(&code)) stack::reset();
        }
    }
    if (tracing) fire_event(EV_EXIT, &code, tail_of(&code), nullptr, stack::arguments);
    current_block = saved_block;
    if (copy_result)
        stack::unwind_last();
    else
        stack::unwind();
}

int32_t eval_next(const Cell* code, int32_t pos, int32_t end, bool push) {
    stack::mark_named(stack::body_symbol, FRAME_INTERP_NATIVE);
    pos = eval_expression(code, pos, end, false, false, false);
    if (push)
        stack::unwind();
    else
        stack::unwind_last();
    return pos;
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
    Cell saved_block = current_block;
    current_block = c;
    current_block.set_index(pos);
    pos = eval_next(&c, pos, tail_of(&c), false);
    current_block = saved_block;
    return pos;
}

// ---- Expressions ----

static int32_t eval_infix(const Cell* code, int32_t pos, int32_t end, Cell* entry_top, bool push) {
    while (true) {
        int32_t limit = tail_of(code);
        if (end > limit) end = limit;
        if (pos >= end) return pos;
        Cell* c = cell_at(code, pos);
        if (c->type() != TYPE_WORD || !c->data1) return pos;
        if (context::values_on_stack(c->data1)) return pos;
        Cell* v = word::peek(c);
        if (!v || v->type() != TYPE_OP) return pos;
        if (tracing) fire_event(EV_FETCH, code, pos, nullptr, c);
        Cell name = *c;
        Cell op = *v;
        uint8_t wrapped = static_cast<uint8_t>((op.header >> 16) & 0xFF);
        if (wrapped == TYPE_FUNCTION || wrapped == TYPE_ROUTINE)
            op = *block::node_cell(op.data3, 3);
        else
            op.set_type(wrapped);
        stack::top = entry_top;
        pos = eval_code(&op, code, pos + 1, end, push, nullptr, 0, nullptr, 0, true, &name);
    }
}

int32_t eval_expression(const Cell* code, int32_t pos, int32_t end, bool no_infix, bool push, bool literal_functions) {
    if (platform::stack_exhausted()) {
        cycles::reset();
        fire(err::internal::stack_overflow);
    }
    int32_t limit = tail_of(code);
    if (end > limit) end = limit;
    Cell* entry_top = push ? stack::top : stack::arguments;
    Cell* c = cell_at(code, pos);
    if (tracing) fire_event(EV_FETCH, code, pos, nullptr, c);
    switch (c->type()) {
        case TYPE_PAREN: {
            Cell paren = *c;
            stack::mark_named(stack::body_symbol, FRAME_INTERP_NATIVE);
            paren.set_type(TYPE_BLOCK);
            eval_block(&paren, true);
            if (push)
                stack::unwind();
            else
                stack::unwind_last();
            pos++;
            break;
        }
        case TYPE_SET_WORD: {
            Cell sw = *c;
            stack::mark_interp_native(&sw);
            stack::push(&sw);
            if (tracing) fire_event(EV_PUSH, code, pos, nullptr, &sw);
            if (pos + 1 >= end) fire_copy(err::script::need_value, &sw);
            pos = eval_expression(code, pos + 1, end, false, true, false);
            Cell* value = stack::arguments + 1;
            if (tracing) fire_event(EV_SET, code, pos, &sw, value);
            if (value->type() == TYPE_UNSET) fire_copy(err::script::need_value, &sw);
            Cell v = *value;
            context::set_value(stack::arguments, &v);
            *stack::arguments = v;
            if (push)
                stack::unwind();
            else
                stack::unwind_last();
            break;
        }
        case TYPE_SET_PATH: {
            Cell sp = *c;
            collector::Root keep(&sp);
            if (tracing) fire_event(EV_PUSH, code, pos, nullptr, &sp);
            if (pos + 1 >= end) fire_copy(err::script::need_value, &sp);
            stack::mark_named(static_cast<uint32_t>(sym_set_path), FRAME_INTERP_NATIVE);
            pos = eval_expression(code, pos + 1, end, false, true, false);
            if (tracing) fire_event(EV_SET, code, pos, &sp, stack::arguments);
            eval_path(&sp, code, pos, end, true, false, false, false);
            if (push)
                stack::unwind();
            else
                stack::unwind_last();
            break;
        }
        case TYPE_GET_WORD: {
            Cell v = *word_value(c);
            place(&v, push);
            pos++;
            break;
        }
        case TYPE_LIT_WORD: {
            Cell w = *c;
            w.header = TYPE_WORD;
            place(&w, push);
            pos++;
            break;
        }
        case TYPE_WORD: {
            Cell* v = word_value(c);
            switch (v->type()) {
                case TYPE_UNSET: fire_copy(err::script::no_value, c);
                case TYPE_OP: fire_copy(err::script::no_op_arg, c);
                case TYPE_FUNCTION:
                case TYPE_ROUTINE:
                case TYPE_NATIVE:
                case TYPE_ACTION: {
                    Cell fn = *v;
                    Cell name = *c;
                    pos = eval_code(&fn, code, pos + 1, end, push, nullptr, 0, nullptr, 0, false, &name);
                    break;
                }
                default: {
                    Cell value = *v;
                    place(&value, push);
                    pos++;
                    break;
                }
            }
            break;
        }
        case TYPE_PATH: {
            Cell p = *c;
            pos = eval_path(&p, code, pos + 1, end, false, false, push, false);
            break;
        }
        case TYPE_GET_PATH: {
            Cell p = *c;
            pos = eval_path(&p, code, pos + 1, end, false, true, push, false);
            break;
        }
        case TYPE_LIT_PATH: {
            Cell p = *c;
            p.set_type(TYPE_PATH);
            p.data3 = 0;
            place(&p, push);
            pos++;
            break;
        }
        case TYPE_OP: fire(err::internal::not_done);
        case TYPE_FUNCTION:
        case TYPE_ROUTINE:
        case TYPE_NATIVE:
        case TYPE_ACTION: {
            Cell fn = *c;
            if (literal_functions) {
                place(&fn, push);
                pos++;
            } else {
                Cell name;
                anon_name(&name);
                pos = eval_code(&fn, code, pos + 1, end, push, nullptr, 0, nullptr, 0, false, &name);
            }
            break;
        }
        case TYPE_ISSUE: {
            Cell issue = *c;
            if (pos + 1 < end && cell_at(code, pos + 1)->type() == TYPE_BLOCK) {
                int32_t s = symbol::resolve(static_cast<int32_t>(issue.data2));
                if (s == symbol::resolve(sym_system) || s == symbol::resolve(sym_system_global))
                    fire(err::internal::kel_system);
            }
            place(&issue, push);
            pos++;
            break;
        }
        default: {
            Cell value = *c;
            place(&value, push);
            pos++;
            break;
        }
    }
    if (!no_infix) pos = eval_infix(code, pos, end, entry_top, push);
    if (tracing && !push) fire_event(EV_EXPR, code, pos, nullptr, stack::arguments);
    return pos;
}

// ---- Argument cache ----

// Cache cells: a typeset per argument (fetch mode in header bits 20-21, the argument's spec
// position in bits 8-19), a copy of each refinement but /local (natives: ordinal in data3), and a
// final integer (locals count for functions, refinement count for natives).
constexpr uint32_t kModeShift = 20;
enum FetchMode { FETCH_WORD = 0, FETCH_GET = 1, FETCH_LIT = 2, FETCH_RETURN = 3 };

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
        if (v.type() == TYPE_WORD) {
            Cell* got = word::peek(&v);
            if (!got) fire_copy(err::script::invalid_type_spec, &v);
            if (got->type() == TYPE_UNSET && provisional_types) {
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
            fire_copy(err::script::invalid_type_spec, &v);
    }
}

static void any_but_unset(Cell* ts) {
    set_cell(ts, TYPE_TYPESET, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF);
    auto* bytes = reinterpret_cast<uint8_t*>(&ts->data1);
    bytes[TYPE_UNSET >> 3] &= static_cast<uint8_t>(~(0x80 >> (TYPE_UNSET & 7)));
}

static Node build_cache(const Cell* fn) {
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
            if (t == TYPE_SET_WORD && symbol::to_string(static_cast<int32_t>(c.data2)) != "return") fire_copy(err::script::bad_func_def, &c);
            Cell ts;
            if (i + 1 < n && block::node_cell(spec, i + 1)->type() == TYPE_BLOCK && block::rs_length_q(block::node_cell(spec, i + 1)) > 0) {
                Cell types_block = *block::node_cell(spec, i + 1);
                typeset_from_spec(&ts, &types_block);
            } else {
                any_but_unset(&ts);
            }
            uint32_t mode = t == TYPE_WORD ? FETCH_WORD : t == TYPE_GET_WORD ? FETCH_GET : t == TYPE_LIT_WORD ? FETCH_LIT : FETCH_RETURN;
            ts.header = TYPE_TYPESET | (mode << kModeShift) | (static_cast<uint32_t>(i < 4096 ? i : 4095) << 8);
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
    return cache;
}

Node arg_cache(const Cell* fn) {
    Cell* slot = block::node_cell(fn->data3, 1);
    if (slot->type() == TYPE_BLOCK) return slot->node();
    cache_incomplete = false;
    Node cache = build_cache(fn);
    if (!cache_incomplete) block::make_at(block::node_cell(fn->data3, 1), cache);
    return cache;
}

// The spec word of the argument a cache typeset describes.
static void argument_word(Cell* out, const Cell* fn, const Cell* ts) {
    int32_t i = static_cast<int32_t>((ts->header >> 8) & 0xFFF);
    *out = *block::node_cell(fn->data2, i);
    out->header = TYPE_WORD;
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
    int32_t limit = tail_of(code);
    if (end > limit) end = limit;
    if (pos >= end) {
        Cell n = *name, arg;
        argument_word(&arg, fn, ts);
        fire(err::script::no_arg, &n, &arg);
    }
    if (mode == FETCH_WORD) return eval_expression(code, pos, end, infix, true, false);
    Cell c = *cell_at(code, pos);
    if (tracing) fire_event(EV_FETCH, code, pos, nullptr, &c);
    if (mode == FETCH_LIT) {
        switch (c.type()) {
            case TYPE_PAREN: {
                Cell anon;
                anon_name(&anon);
                stack::mark_interp_native(&anon);
                c.set_type(TYPE_BLOCK);
                eval_block(&c, true);
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

static bool truthy(const Cell* v) {
    uint8_t t = v->type();
    return !(t == TYPE_NONE || (t == TYPE_LOGIC && v->data1 == 0));
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

static int32_t eval_arguments(const Cell* fn, const Cell* code, int32_t pos, int32_t end, const Cell* path, int32_t path_index,
                              int apply_mode, bool infix, const Cell* name) {
    bool native = fn->type() == TYPE_NATIVE || fn->type() == TYPE_ACTION;
    if (infix) stack::top++;
    Node cache = arg_cache(fn);
    collector::NodeRoot keep_cache(&cache);
    int32_t ncache = block::node_length(cache);
    int32_t refs[32];
    int32_t nrefs = 0;
    if (native && ncache > 0 && block::node_cell(cache, ncache - 1)->type() == TYPE_INTEGER) {
        nrefs = block::node_cell(cache, ncache - 1)->i1();
        if (nrefs > 32) nrefs = 32;
        for (int32_t i = 0; i < nrefs; i++) refs[i] = -1;
    }
    int32_t count = 0;
    int32_t locals = 0;
    bool active = true;
    bool first = true;
    for (int32_t i = 0; i < ncache; i++) {
        Cell* cc = block::node_cell(cache, i);
        switch (cc->type()) {
            case TYPE_TYPESET: {
                uint32_t mode = (cc->header >> kModeShift) & 3;
                if (mode == FETCH_RETURN) break;
                if (active) {
                    if (infix && first) {
                        Cell ts = *cc;
                        if (!typeset_has(&ts, stack::arguments->type())) expect_arg(name, stack::arguments, fn, &ts);
                    } else if (apply_mode && pos >= end) {
                        set_cell(stack::push_cell(), TYPE_NONE);
                    } else {
                        Cell ts = *cc;
                        if (mode == FETCH_LIT && typeset_has(&ts, TYPE_UNSET) && pos >= tail_of(code)) {
                            set_cell(stack::push_cell(), TYPE_UNSET);
                        } else {
                            pos = fetch_argument(mode, code, pos, end, infix, name, fn, &ts);
                            if (!typeset_has(&ts, (stack::top - 1)->type())) expect_arg(name, stack::top - 1, fn, &ts);
                        }
                    }
                    count++;
                    first = false;
                } else {
                    if (!native) set_cell(stack::push_cell(), TYPE_NONE);
                    if (apply_mode == 1 && pos < end) {
                        Cell ts = *cc;
                        pos = fetch_argument(mode, code, pos, end, false, name, fn, &ts);
                        stack::top--;
                    }
                }
                break;
            }
            case TYPE_REFINEMENT: {
                if (apply_mode && !(apply_mode & 2)) {
                    bool on = false;
                    if (pos < end) {
                        pos = eval_expression(code, pos, end, false, true, false);
                        Cell flag = *(stack::top - 1);
                        stack::top--;
                        if (flag.type() != TYPE_LOGIC) {
                            Cell n = *name, type, arg = *cc;
                            datatype::make_at(&type, flag.type());
                            arg.header = TYPE_WORD;
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

    // Refinements named by the path after the function element, or by refinement! values in the
    // apply form.
    bool by_path = path != nullptr;
    if (by_path || (apply_mode & 2)) {
        int32_t elements = by_path ? block::rs_length_q(path) : 0;
        int32_t k = by_path ? path_index + 1 : 0;
        while (by_path ? k < elements : pos < end) {
            Cell elem = by_path ? block::rs_head(path)[k] : *cell_at(code, pos);
            uint8_t et = elem.type();
            bool ok = by_path ? (et == TYPE_WORD || et == TYPE_GET_WORD) : (et == TYPE_REFINEMENT || et == TYPE_GET_WORD);
            if (!ok) {
                if (!by_path && find_refinement(cache, -1) < 0 && ncache > 0 && block::node_cell(cache, 0)->type() != TYPE_REFINEMENT) {
                    // An apply of a function without refinements stops here.
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
                pos++;
                pos = eval_expression(code, pos, end, false, true, false);
                on = truthy(stack::top - 1);
                stack::top--;
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
                slot = context::find_word(fn->data1, static_cast<int32_t>(elem.data2), true);
                Cell* flag = stack::arguments + slot;
                if (flag->type() == TYPE_LOGIC && flag->data1) fire_copy(err::script::dup_refine, &elem);
                set_cell(flag, TYPE_LOGIC, on ? 1 : 0);
            }
            int32_t a = 0;
            for (int32_t j = r + 1; j < ncache; j++) {
                Cell ts = *block::node_cell(cache, j);
                if (ts.type() != TYPE_TYPESET) break;
                uint32_t mode = (ts.header >> kModeShift) & 3;
                if (mode == FETCH_RETURN) continue;
                a++;
                if ((apply_mode & 4) && !on) {
                    pos++;
                    continue;
                }
                pos = fetch_argument(mode, code, pos, end, false, name, fn, &ts);
                if (!on) {
                    stack::top--;
                    continue;
                }
                if (!typeset_has(&ts, (stack::top - 1)->type())) expect_arg(name, stack::top - 1, fn, &ts);
                if (native) {
                    count++;
                } else {
                    stack::arguments[slot + a] = *(stack::top - 1);
                    stack::top--;
                }
            }
        }
        if (native)
            for (int32_t i = 0; i < nrefs; i++)
                if (refs[i] == -2) refs[i] = -1;
    }

    if (tracing) fire_event(EV_CALL, code, pos, name, fn);
    if (native) {
        if (fn->type() == TYPE_NATIVE)
            natives::table[fn->data1 - 1](0, refs);
        else
            actions::entry(static_cast<int>(fn->data1), refs);
    } else if (locals > 0) {
        function::init_locals(locals);
    }
    return pos;
}

// ---- Calls ----

static void eval_body(const Cell* fn, const Cell* name) {
    Node ctx = fn->data1;
    Cell* cc = context::cell_of(ctx);
    uint32_t saved_values = cc->data2;
    cc->data2 = stack::index_of(stack::arguments) + 1;
    stack::set_frame_flag(true);
    bool saved_tracing = tracing;
    if (fn->header & function::flag_builtin)
        tracing = false;
    else if (fn->header & function::flag_no_trace)
        tracing = false;
    else if (fn->header & function::flag_trace)
        tracing = trace_active;
    Frame* frame = stack::ctop - 1;
    Cell body = *function::body_of(fn);
    if (tracing) fire_event(EV_PROLOG, nullptr, -1, name, fn);
    try {
        eval_block(&body, true);
    } catch (const Throw& t) {
        tracing = saved_tracing;
        context::cell_of(ctx)->data2 = saved_values;
        if (t.code != codes::ret && t.code != codes::exit) throw;
        runtime::sys.thrown = 0;
    }
    if (tracing) fire_event(EV_EPILOG, nullptr, -1, name, fn);
    tracing = saved_tracing;
    stack::clear_frame_flag(frame);
    context::cell_of(ctx)->data2 = saved_values;
}

void call_function(const Cell* fn, Node, const Cell* name) {
    if (tracing) fire_event(EV_CALL, nullptr, -1, name, fn);
    eval_body(fn, name);
    if (tracing) fire_event(EV_RETURN, nullptr, -1, name, stack::arguments);
}

static void exec_routine(const Cell* fn) {
    Cell* code = block::node_cell(fn->data3, 2);
    int32_t n = code->i1();
    if (n < 1 || n > routines::counter - 1 || !routines::table[n - 1]) fire(err::internal::routines);
    routines::table[n - 1]();
}

int32_t eval_code(const Cell* fn_in, const Cell* code, int32_t pos, int32_t end, bool push, const Cell* path, int32_t path_index,
                  const Cell* source, int apply_mode, bool infix, const Cell* name_in) {
    Cell fn = *fn_in;
    Cell name;
    if (name_in && name_in->type() == TYPE_WORD)
        name = *name_in;
    else
        anon_name(&name);
    if (tracing) {
        if (infix) stack::top++;
        fire_event(EV_OPEN, code, pos, nullptr, &name);
        if (infix) stack::top--;
    }
    if (!infix) stack::push(&fn);
    switch (fn.type()) {
        case TYPE_NATIVE:
        case TYPE_ACTION:
            stack::mark_interp_native(&name);
            pos = eval_arguments(&fn, code, pos, end, path, path_index, apply_mode, infix, &name);
            break;
        case TYPE_ROUTINE:
            stack::mark_interp_native(&name);
            pos = eval_arguments(&fn, code, pos, end, path, path_index, apply_mode, infix, &name);
            exec_routine(&fn);
            break;
        case TYPE_FUNCTION: {
            Node ctx = name.data1;
            if (source && types::any_object(source->type()) && source->data1 != context::global_node)
                ctx = source->data1;
            else if (block::node_cell(fn.data3, 4)->type() == TYPE_INTEGER)
                ctx = block::node_cell(fn.data3, 4)->data1;
            stack::mark_interp_func(&name);
            Frame* f = stack::ctop - 1;
            f->function_context = fn.data1;
            f->saved_values = context::cell_of(fn.data1)->data2;
            pos = eval_arguments(&fn, code, pos, end, path, path_index, apply_mode, infix, &name);
            call_function(&fn, ctx, &name);
            break;
        }
        default: runtime::quit(101, KEL_CALLER_ADDRESS());
    }
    if (push)
        stack::unwind();
    else
        stack::unwind_last();
    if (tracing) fire_event(EV_RETURN, code, pos, &name, push ? stack::top - 1 : stack::arguments);
    if (!infix && push) {
        *(stack::top - 2) = *(stack::top - 1);
        stack::top--;
    }
    return pos;
}

void call_with(Cell* out, const Cell* fn_in, const Cell* const* args, int nargs) {
    Cell fn = *fn_in;
    collector::Root keep(&fn);
    // The arguments go into a block that is then evaluated as the call's code, so that the
    // function's own argument collection (types, refinements off) applies unchanged.
    Node code_node = block::make_node(nargs + 1);
    Cell code;
    block::make_at(&code, code_node);
    collector::Root keep_code(&code);
    for (int i = 0; i < nargs; i++) {
        Cell a = *args[i];
        // Arguments are taken literally: words and paths must not be evaluated again.
        if (types::any_word(a.type()) || types::any_path(a.type()) || a.type() == TYPE_PAREN || types::any_function(a.type())) {
            Cell quoted;
            block::make_new(&quoted, 1, TYPE_PAREN);
            Cell q;
            word::load(&q, "quote");
            block::append_cell(quoted.node(), &q);
            block::append_cell(quoted.node(), &a);
            block::append_cell(code_node, &quoted);
        } else {
            block::append_cell(code_node, &a);
        }
    }
    Cell* saved_top = stack::top;
    stack::mark_named(stack::body_symbol, FRAME_INTERP_NATIVE);
    Cell name;
    anon_name(&name);
    eval_code(&fn, &code, 0, nargs, false, nullptr, 0, nullptr, 0, false, &name);
    *out = *stack::arguments;
    stack::pop_frame();
    stack::top = saved_top;  // the caller's cells above its arguments stay
}

// ---- Paths ----

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
    Cell* base = stack::top;
    // Working cells on the data stack: current value, parent, previous element, step result.
    Cell* current = stack::push(&hv);
    Cell* parent = stack::push_cell();
    set_cell(parent, TYPE_NONE);
    Node hctx = head.data1;
    if (hctx && hctx != context::global_node) {
        Cell* owner = context::owner_of(hctx);
        if (owner->type() != TYPE_OBJECT && owner->type() != TYPE_UNSET) *parent = *owner;
    }
    Cell* previous = stack::push_cell();
    set_cell(previous, TYPE_NONE);
    Cell* out = stack::push_cell();
    Cell* elem_cell = stack::push_cell();
    Cell* scratch_top = stack::top;
    for (int32_t i = 1; i < len; i++) {
        Cell elem = block::rs_head(&path)[i];
        if (tracing) fire_event(EV_FETCH, &path, path.index() + i, nullptr, &elem);
        if (elem.type() == TYPE_GET_WORD) {
            elem = *word_value(&elem);
        } else if (elem.type() == TYPE_PAREN) {
            stack::mark_named(stack::body_symbol, FRAME_INTERP_NATIVE);
            Cell p = elem;
            p.set_type(TYPE_BLOCK);
            eval_block(&p, true);
            stack::unwind();
            elem = *(stack::top - 1);
            stack::top = scratch_top;
        }
        if (tracing) fire_event(EV_PUSH, &path, path.index() + i, nullptr, &elem);
        *elem_cell = elem;
        if (elem.type() == TYPE_UNSET) fire_copy(err::script::unset_path, &path, &elem);
        bool last = i == len - 1;
        bool notify = false;
        if (set && last && i >= 2) {
            if (parent->type() == TYPE_OBJECT)
                notify = parent->data3 != 0 && previous->type() == TYPE_WORD;
            else
                notify = types::any_block(parent->type());
        }
        PathStep step{current, elem_cell, set && last ? stack::arguments : nullptr, &path, parent, previous, i - 1, case_, get, last, notify};
        Cell* r = actions::eval_path(step, out);
        if (!set && !get && types::any_function(r->type()) && r->type() != TYPE_OP) {
            Cell fn = *r;
            Cell source = *current;
            Cell name = elem.type() == TYPE_WORD ? elem : head;
            pos = eval_code(&fn, code, pos, end, push, &path, i, &source, 0, false, &name);
            if (push) {
                Cell result = *(stack::top - 1);
                stack::top = base;
                stack::push(&result);
            }
            if (tracing) fire_event(EV_EXIT, &path, path.index() + len, nullptr, push ? stack::top - 1 : stack::arguments);
            return pos;
        }
        Cell result = *r;
        *parent = *current;
        *current = result;
        *previous = elem;
        stack::top = scratch_top;
    }
    if (tracing) fire_event(EV_EXIT, &path, path.index() + len, nullptr, current);
    Cell final_value = *current;
    stack::top = base;
    if (set) final_value = *stack::arguments;
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
    static const char* const names[16] = {"init", "end", "prolog", "epilog", "enter", "exit", "open", "return",
                                          "fetch", "push", "set", "call", "error", "throw", "catch", "expr"};
    for (int i = 0; i < 16; i++) event_symbols[i] = symbol::make(names[i]);
    error::near_hook = near_position;
}

}  // namespace interpreter
