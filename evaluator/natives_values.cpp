#include "evaluator/natives_values.h"

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/datatype.h"
#include "datatypes/date.h"
#include "datatypes/native.h"
#include "datatypes/object.h"
#include "datatypes/ownership.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/tuple.h"
#include "datatypes/typeset.h"
#include "datatypes/word.h"
#include "evaluator/actions.h"
#include "evaluator/interpreter.h"
#include "evaluator/loop.h"
#include "evaluator/natives.h"
#include "runtime/collector.h"
#include "runtime/cycles.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/memstats.h"
#include "runtime/output.h"
#include "runtime/platform.h"
#include "runtime/runtime.h"
#include "runtime/stack.h"

namespace natives {

enum : int {
    N_GET = 21, N_SET, N_PRINT, N_PRIN, N_EQUAL, N_NOT_EQUAL, N_STRICT_EQUAL, N_LESSER, N_GREATER,
    N_LESSER_OR_EQUAL, N_GREATER_OR_EQUAL, N_SAME, N_NOT, N_TYPE, N_REDUCE, N_COMPOSE, N_STATS, N_BIND, N_IN,
    N_UNION = 41, N_INTERSECT, N_UNIQUE, N_DIFFERENCE, N_EXCLUDE, N_COMPLEMENT,
};

static inline bool truthy(const Cell* v) {
    uint8_t t = v->type();
    return !(t == TYPE_NONE || (t == TYPE_LOGIC && v->data1 == 0));
}

static inline int32_t head_of(const Cell* v) { return v->index() > 0 ? v->index() : 0; }

// Adds a value to a target block: at its tail (append), or at its index, which then moves past
// the new value (insert). A hash! target's table follows.
static void add_value(Cell* target, const Cell* value, bool append) {
    if (append) {
        int32_t old = block::node_length(target->node());
        block::append_cell(target->node(), value);
        series::hash_inserted(target, old, 1, old);
    } else {
        block::insert_value(target, value, false, true);
    }
}

// reduce/into inserts each value as the insert action does, so an owner hears of each one.
static void reduce_add(Cell* target, const Cell* value, bool append) {
    if (append) return add_value(target, value, true);
    // The owner's handler pushes its cells at the stack top: keep the target below it.
    Cell* saved_top = stack::top;
    if (stack::top <= target) stack::top = target + 1;
    series::notify(target, series::EV_INSERT, false, value, head_of(target), 1);
    int32_t at = std::min(head_of(target), block::node_length(target->node()));
    block::insert_value(target, value, false, true);
    series::notify(target, series::EV_INSERT, true, value, at, 1);
    stack::top = saved_top;
}

// ---- get and set ----

void get(int check, const int32_t* refs) {
    if (check) check_args(N_GET, refs);
    Cell* args = stack::arguments;
    bool any = refs[0] >= 0, case_ = refs[1] >= 0;
    uint8_t t = args->type();
    if (types::any_path(t)) {
        interpreter::eval_path(args, args, 0, 0, false, true, false, case_);
        return;
    }
    if (t == TYPE_OBJECT) {
        Cell field;
        word::load(&field, "values");
        Cell* held = stack::push(&field);
        const Cell* call_args[2] = {args, held};
        actions::call(args, ACT_REFLECT, call_args, 2, nullptr);
        stack::keep();
        return;
    }
    Cell value = *context::get(args);
    if (value.type() == TYPE_UNSET && !any) {
        Cell w = *args;
        fire(err::script::no_value, &w);
    }
    *args = value;
    stack::keep();
}

void set(int check, const int32_t* refs) {
    if (check) check_args(N_SET, refs);
    Cell* args = stack::arguments;
    bool any = refs[0] >= 0, case_ = refs[1] >= 0, only = refs[2] >= 0, some = refs[3] >= 0;
    if (args[1].type() == TYPE_UNSET && !any) {
        Cell w = *args;
        fire(err::script::need_value, &w);
    }
    uint8_t t = args->type();
    if (t == TYPE_BLOCK) {
        stack::mark_named(stack::anon_symbol, FRAME_NATIVE);
        ::loop::assign_words(args, args + 1, block::rs_length_q(args), any, only, some);
        stack::pop_frame();
    } else if (types::any_path(t)) {
        stack::mark_named(stack::anon_symbol, FRAME_NATIVE);
        stack::push(args + 1);  // the value to store is the frame's first argument
        interpreter::eval_path(args, args, 0, 0, true, false, false, case_);
        stack::pop_frame();
    } else if (t == TYPE_OBJECT) {
        object::set_many(args, args + 1, any, only, some);
    } else {
        Cell w = *args;
        collector::Root keep(&w);
        word::set_value(&w, args + 1);
    }
    *args = args[1];
    stack::keep();
}

// ---- print and prin ----

// Cuts the print buffer back to n cells.
static void cut_print_buffer(int32_t n) {
    SeriesBuf* b = memory::nodes[print_buffer];
    uint32_t tail = b->head + uint32_t(n) * 16;
    if (tail < b->tail) b->tail = tail;
}

void print_core(const Cell* value_in, bool newline) {
    Cell* base = stack::top;
    Cell* value = stack::push(value_in);
    int32_t saved = -1;
    if (value->type() == TYPE_BLOCK) {
        // The values are reduced into the shared buffer after those of any print that is still
        // reducing, and only this print's own values are printed.
        saved = block::node_length(print_buffer);
        stack::mark_named(stack::anon_symbol, FRAME_NATIVE);
        stack::push(value);
        block::make_at(stack::push_cell(), print_buffer, saved);
        int32_t refs[1] = {1};
        try {
            reduce(0, refs);
        } catch (const Throw&) {
            cut_print_buffer(saved);
            throw;
        }
        stack::pop_frame();
        block::make_at(value, print_buffer, saved);
    }
    Cell* text = stack::push_cell();
    if (value->type() == TYPE_STRING) {
        *text = *value;
        int32_t n = static_cast<int32_t>(memory::nodes[text->node()]->length());
        if (text->index() > n) text->set_index(n);
    } else {
        set_cell(text, TYPE_NONE);
        try {
            actions::form_new(text, value);
        } catch (const Throw&) {
            if (saved >= 0) cut_print_buffer(saved);
            throw;
        }
    }
    if (saved >= 0) cut_print_buffer(saved);
    output::call_hooks(text, newline);
    last_lf = newline;
    stack::top = base;
}

void print(int, const int32_t*) {
    print_core(stack::arguments, true);
    set_unset();
}

void prin(int check, const int32_t* refs) {
    if (check) check_args(N_PRIN, refs);
    print_core(stack::arguments, false);
    set_unset();
}

// ---- Comparison ----

void equal_q(int, const int32_t*) { actions::compare_op(COMP_EQUAL); }
void not_equal_q(int, const int32_t*) { actions::compare_op(COMP_NOT_EQUAL); }
void strict_equal_q(int, const int32_t*) { actions::compare_op(COMP_STRICT_EQUAL); }
void lesser_q(int, const int32_t*) { actions::compare_op(COMP_LESSER); }
void greater_q(int, const int32_t*) { actions::compare_op(COMP_GREATER); }
void lesser_or_equal_q(int, const int32_t*) { actions::compare_op(COMP_LESSER_EQUAL); }
void greater_or_equal_q(int, const int32_t*) { actions::compare_op(COMP_GREATER_EQUAL); }

// ---- same?, not, type? ----

bool same_core(const Cell* a, const Cell* b) {
    uint8_t t = a->type();
    if (t != b->type()) return false;
    switch (t) {
        case TYPE_DATATYPE:
        case TYPE_LOGIC:
        case TYPE_OBJECT: return a->data1 == b->data1;
        case TYPE_CHAR:
        case TYPE_INTEGER: return a->data1 == b->data1;
        case TYPE_BITSET: return a->data2 == b->data2;
        case TYPE_FLOAT:
        case TYPE_PERCENT:
        case TYPE_PAIR:
        case TYPE_TIME: return a->data2 == b->data2 && a->data3 == b->data3;
        case TYPE_TUPLE:
            return tuple::count_of(a) == tuple::count_of(b) && actions::compare_value(a, b, COMP_EQUAL) == 0;
        case TYPE_NONE:
        case TYPE_UNSET: return true;
        case TYPE_MONEY: return actions::compare_value(a, b, COMP_SAME) == 0;
        case TYPE_NATIVE:
        case TYPE_ACTION:
        case TYPE_POINT2D: return a->data1 == b->data1 && a->data2 == b->data2;
        case TYPE_OP: return a->data2 == b->data2 && a->data3 == b->data3;
        default:
            if (types::any_block(t) || types::any_string(t) || t == TYPE_BINARY || t == TYPE_VECTOR || t == TYPE_IMAGE)
                return a->data1 == b->data1 && a->data2 == b->data2;
            return a->data1 == b->data1 && a->data2 == b->data2 && a->data3 == b->data3;
    }
}

void same_q(int check, const int32_t* refs) {
    if (check) check_args(N_SAME, refs);
    set_logic(same_core(stack::arguments, stack::arguments + 1));
}

void not_(int check, const int32_t* refs) {
    if (check) check_args(N_NOT, refs);
    set_logic(!truthy(stack::arguments));
}

void type_q(int check, const int32_t* refs) {
    if (check) check_args(N_TYPE, refs);
    Cell* args = stack::arguments;
    int t = args->type();
    if (refs[0] >= 0) {
        if (!types::any_word(datatype::names[t].word.type())) datatype::init_words();
        *args = datatype::names[t].word;
        args->header = TYPE_WORD;
    } else {
        datatype::make_at(args, t);
    }
    stack::keep();
}

// ---- reduce and compose ----

void reduce(int check, const int32_t* refs) {
    if (check) check_args(N_REDUCE, refs);
    Cell* args = stack::arguments;
    bool into = refs[0] >= 0;
    Cell* out = into ? args + refs[0] : nullptr;
    if (args->type() != TYPE_BLOCK) {
        if (types::any_function(args->type())) return stack::keep();
        int32_t old_length = into ? block::node_length(out->node()) : 0;
        eval_single(args);
        if (into) {
            // The evaluation let the stack top down to the result: the target (perhaps held
            // nowhere else) goes back below it, where the collector marks it.
            if (stack::top <= out) stack::top = out + 1;
            bool append = head_of(out) >= block::node_length(out->node());
            reduce_add(out, args, append);
            *args = *out;
            // An owning object hears of the appended value as it does of a reduced block's.
            if (append && series::owned_q(args)) {
                stack::top = args + 1;
                int32_t added = block::node_length(args->node()) - old_length;
                ownership::check(args, ownership::APPENDED, nullptr, old_length, added);
            }
        }
        return stack::keep();
    }
    Cell* code = stack::push(args);
    stack::mark_named(stack::anon_symbol, FRAME_NATIVE);
    Cell* target;
    bool append = true;
    int32_t old_length = 0;
    if (into) {
        target = stack::push(out);
        old_length = block::node_length(target->node());
        append = head_of(target) >= old_length;
        // Reducing a block into itself walks the values it had, not the ones it gains.
        if (target->node() == code->node()) {
            Node copy = block::copy_cells(code);
            set_cell(code, TYPE_BLOCK, 0, copy);
        }
    } else {
        target = block::push_new(block::rs_length_q(code));
    }
    int32_t pos = head_of(code);
    interpreter::trace_walk(interpreter::EV_ENTER, code, pos, nullptr);
    while (pos < block::node_length(code->node())) {
        pos = interpreter::eval_next(code, pos, block::node_length(code->node()), true);
        Cell* v = stack::top - 1;
        v->header &= ~cell_flag::newline;
        reduce_add(target, v, append);
        stack::top = target + 1;
    }
    interpreter::trace_walk(interpreter::EV_EXIT, code, block::node_length(code->node()), target);
    if (into && append && series::owned_q(target)) {
        int32_t added = block::node_length(target->node()) - old_length;
        ownership::check(target, ownership::APPENDED, nullptr, old_length, added);
    }
    stack::unwind_last();
}

static void compose_block(const Cell* block_in, bool deep, bool only, Cell* target, bool append) {
    if (platform::stack_exhausted()) fire(err::internal::stack_overflow);
    Cell* code = stack::push(block_in);
    for (int32_t i = head_of(code); i < block::node_length(code->node()); i++) {
        Cell* c = stack::push(block::node_cell(code->node(), i));
        if (c->type() == TYPE_BLOCK && deep) {
            Cell* sub = block::push_new(block::rs_length_q(c));
            compose_block(c, deep, only, sub, true);
            // The composed copy stands where the template block stood, so it keeps that block's
            // place on a new line, as it would without /deep.
            sub->header = (sub->header & ~cell_flag::newline) | (c->header & cell_flag::newline);
            add_value(target, sub, append);
        } else if (c->type() == TYPE_PAREN) {
            if (block::rs_length_q(c) > 0) {
                c->set_type(TYPE_BLOCK);
                interpreter::eval_block(c, false);
                Cell* r = stack::top - 1;
                if (r->type() == TYPE_BLOCK && !only) {
                    // Splicing the target into itself takes the values it has now, not the ones
                    // it gains while they are added.
                    if (r->node() == target->node()) {
                        Node copy = block::copy_cells(r);
                        set_cell(r, TYPE_BLOCK, 0, copy);
                    }
                    for (int32_t k = head_of(r); k < block::node_length(r->node()); k++) {
                        Cell* e = stack::push(block::node_cell(r->node(), k));
                        add_value(target, e, append);
                        stack::top = e;
                    }
                } else if (r->type() != TYPE_UNSET) {
                    add_value(target, r, append);
                }
            }
        } else {
            add_value(target, c, append);
        }
        stack::top = c;
    }
    stack::top = code;
}

void compose(int check, const int32_t* refs) {
    if (check) check_args(N_COMPOSE, refs);
    Cell* args = stack::arguments;
    if (args->type() != TYPE_BLOCK) {
        Cell expected, got;
        datatype::make_at(&expected, TYPE_BLOCK);
        datatype::make_at(&got, args->type());
        fire(err::script::expect_val, &expected, &got);
    }
    bool deep = refs[0] >= 0, only = refs[1] >= 0;
    // /deep makes a block for every path to a nested block: one holding the same sub-block twice,
    // nested 40 deep, would fill memory for a long time before failing.
    if (deep) {
        size_t most = memory::most_nodes();
        if (cycles::unfolded_series(args, most + 1) > most) fire(err::internal::no_memory);
    }
    Cell* target;
    bool append = true;
    if (refs[2] >= 0) {
        target = stack::push(args + refs[2]);
        append = head_of(target) >= block::node_length(target->node());
        // Composing a block into itself walks the values it had, not the ones it gains.
        if (target->node() == args->node()) {
            Node copy = block::copy_cells(args);
            set_cell(args, TYPE_BLOCK, 0, copy);
        }
    } else {
        target = block::push_new(block::rs_length_q(args));
    }
    compose_block(args, deep, only, target, append);
    *args = *target;
    stack::keep();
}

// ---- stats ----

void stats(int check, const int32_t* refs) {
    if (check) check_args(N_STATS, refs);
    bool show = refs[0] >= 0, info = refs[1] >= 0;
    if (!show && !info) {
        double used = memstats::collect(0, 0, 1);
        if (used <= 2147483647.0)
            set_integer(static_cast<int32_t>(used));
        else
            set_float(used);
        return;
    }
    Cell* details = block::push_new(5);
    memstats::collect(details->node(), details->node(), 2);
    if (show) {
        if (!show_memory_stats) fire(err::internal::not_done);
        show_memory_stats(details);
        return set_unset();
    }
    *stack::arguments = *details;
    stack::keep();
}

// ---- bind and in ----

// The context a bind target stands for.
static Node target_context(const Cell* target) {
    uint8_t t = target->type();
    if (types::any_word(t) || types::any_object(t) || t == TYPE_FUNCTION || t == TYPE_ROUTINE) {
        if (!target->data1) {
            Cell w = *target;
            fire(err::script::not_defined, &w);
        }
        return target->data1;
    }
    Cell v = *target;
    fire(err::script::invalid_arg, &v);
}

void bind(int check, const int32_t* refs) {
    if (check) check_args(N_BIND, refs);
    Cell* args = stack::arguments;
    Node ctx = target_context(args + 1);
    bool self = args[1].type() == TYPE_OBJECT;
    if (args->type() == TYPE_BLOCK) {
        if (refs[0] >= 0) {
            Node copy = block::copy_deep(args);
            block::make_at(args, copy);
        }
        context::bind(args, ctx, self);
    } else {
        context::bind_word(ctx, args);
    }
    stack::keep();
}

void in(int check, const int32_t* refs) {
    if (check) check_args(N_IN, refs);
    Cell* args = stack::arguments;
    uint8_t t = args->type();
    uint8_t wrapped = t == TYPE_OP ? native::op_wrapped(args) : t;
    Node ctx;
    if (types::any_object(t) || wrapped == TYPE_FUNCTION || wrapped == TYPE_ROUTINE) {
        ctx = args->data1;
    } else {
        // A native, action or op over one: the context the value was made with, so that every
        // lookup in it answers the same word. Its more block keeps a copy of the context cell,
        // whose word list names the context's node; with no words nothing can be found.
        const Cell* kept = block::node_cell(args->data3, native::MORE_CONTEXT);
        if (kept->type() != TYPE_CONTEXT || block::node_length(kept->data3) == 0) return set_none();
        ctx = block::node_cell(kept->data3, 0)->data1;
    }
    Cell w = args[1];
    if (w.type() == TYPE_REFINEMENT) w.header = TYPE_WORD;
    if (context::bind_word(ctx, &w) < 0) return set_none();
    *args = w;
    stack::keep();
}

// ---- Set operations ----

using SetOpFn = void (*)(bool case_, const Cell* skip, int op);

static void typeset_op(bool, const Cell*, int op) { typeset::do_bitwise(op); }

static void string_op(bool case_, const Cell* skip, int op) {
    string::do_set_op(stack::arguments, op == OP_UNIQUE ? nullptr : stack::arguments + 1, op, case_, skip);
}

// difference of two dates: the time between them.
static void date_difference(bool, const Cell*, int op) {
    Cell* args = stack::arguments;
    if (op != OP_DIFFERENCE || args[1].type() != TYPE_DATE) {
        Cell name, type, arg;
        stack::get_call_name(&name);
        datatype::make_at(&type, TYPE_DATE);
        word::load(&arg, "set1");
        fire(err::script::expect_arg, &name, &type, &arg);
    }
    date::to_time_difference(args, args + 1);
}

static SetOpFn set_routines[kTypeCount] = {};

void register_set_op(int type, void (*fn)(bool case_, const Cell* skip, int op)) {
    if (type > 0 && type < kTypeCount) set_routines[type] = fn;
}

static void init_set_routines() {
    if (set_routines[TYPE_BLOCK]) return;
    set_routines[TYPE_BLOCK] = block::do_set_op;
    set_routines[TYPE_HASH] = block::do_set_op;
    set_routines[TYPE_STRING] = string_op;
    set_routines[TYPE_TYPESET] = typeset_op;
    set_routines[TYPE_DATE] = date_difference;
}

void set_op(bool case_, const Cell* skip, int op) {
    init_set_routines();
    Cell* args = stack::arguments;
    uint8_t t1 = args[0].type(), t2 = args[1].type();
    if (op != OP_UNIQUE) {
        bool blocks = (t1 == TYPE_BLOCK || t1 == TYPE_HASH) && (t2 == TYPE_BLOCK || t2 == TYPE_HASH);
        if (!blocks && t1 != t2) {
            Cell a, b;
            datatype::make_at(&a, t1);
            datatype::make_at(&b, t2);
            fire(err::script::expect_val, &a, &b);
        }
    }
    SetOpFn fn = t1 < kTypeCount ? set_routines[t1] : nullptr;
    if (!fn) {
        Cell name, type, arg;
        stack::get_call_name(&name);
        datatype::make_at(&type, t1);
        word::load(&arg, op == OP_UNIQUE ? "set" : "set1");
        fire(err::script::expect_arg, &name, &type, &arg);
    }
    fn(case_, skip, op);
    stack::keep();
}

static void set_native(int n, int check, const int32_t* refs, int op) {
    if (check) check_args(n, refs);
    set_op(refs[0] >= 0, refs[1] >= 0 ? stack::arguments + refs[1] : nullptr, op);
}

void union_(int check, const int32_t* refs) { set_native(N_UNION, check, refs, OP_UNION); }
void intersect(int check, const int32_t* refs) { set_native(N_INTERSECT, check, refs, OP_INTERSECT); }
void unique(int check, const int32_t* refs) { set_native(N_UNIQUE, check, refs, OP_UNIQUE); }
void difference(int check, const int32_t* refs) { set_native(N_DIFFERENCE, check, refs, OP_DIFFERENCE); }
void exclude(int check, const int32_t* refs) { set_native(N_EXCLUDE, check, refs, OP_EXCLUDE); }

void complement_q(int check, const int32_t* refs) {
    if (check) check_args(N_COMPLEMENT, refs);
    Cell* args = stack::arguments;
    if (args->type() != TYPE_BITSET) {
        Cell name, type, arg;
        stack::get_call_name(&name);
        datatype::make_at(&type, args->type());
        word::load(&arg, "bits");
        fire(err::script::expect_arg, &name, &type, &arg);
    }
    set_logic((memory::nodes[args->node()]->flags & series_flag::complement) != 0);
}

}  // namespace natives
