#include "evaluator/actions.h"

#include <cmath>

#include "datatypes/block.h"
#include "datatypes/error.h"
#include "datatypes/float.h"
#include "datatypes/integer.h"
#include "datatypes/number.h"
#include "datatypes/string.h"
#include "datatypes/word.h"
#include "evaluator/natives.h"
#include "evaluator/natives_values.h"
#include "runtime/collector.h"
#include "runtime/fire.h"
#include "runtime/hashtable.h"
#include "runtime/runtime.h"
#include "runtime/stack.h"

namespace actions {

void* (*port_action_hook)(const Cell* port, int action) = nullptr;

const int8_t refinement_count[kActionCount] = {
    0,  // make
    3,  // random /seed /secure /only
    0,  // reflect
    0,  // to
    1,  // form /part
    4,  // mold /only /all /flat /part
    0,  // eval-path
    0,  // set-path
    0,  // compare
    0, 0, 0, 0, 0, 0, 0,  // absolute add divide multiply negate power remainder
    7,  // round /to /even /down /half-down /floor /ceiling /half-ceiling
    0, 0, 0, 0, 0, 0, 0,  // subtract even? odd? and~ complement or~ xor~
    3,  // append /part /only /dup
    0,  // at
    0,  // back
    3,  // change /part /only /dup
    0,  // clear
    3,  // copy /part /deep /types
    11, // find /part /only /case /same /any /with /skip /last /reverse /tail /match
    0, 0, 0,  // head head? index?
    3,  // insert /part /only /dup
    0,  // length?
    1,  // move /part
    0,  // next
    0,  // pick
    0,  // poke
    1,  // put /case
    2,  // remove /part /key
    2,  // reverse /part /skip
    9,  // select /part /only /case /same /any /with /skip /last /reverse
    7,  // sort /case /skip /compare /part /all /reverse /stable
    0,  // skip
    0,  // swap
    0,  // tail
    0,  // tail?
    3,  // take /part /deep /last
    6,  // trim /head /tail /auto /lines /all /with
    0,  // create
    0,  // close
    0,  // delete
    1,  // modify /case
    5,  // open /new /read /write /seek /allow
    0,  // open?
    0,  // query
    6,  // read /part /seek /binary /lines /info /as
    0,  // rename
    0,  // update
    8,  // write /binary /lines /info /append /part /seek /allow /as
};

[[noreturn]] static void no_action_for(int type_id) {
    Cell name, type, arg;
    stack::get_call_name(&name);
    datatype::make_at(&type, type_id);
    error::get_call_argument(0, &arg);
    fire(err::script::expect_arg, &name, &type, &arg);
}

[[noreturn]] static void no_action(const Cell* value) { no_action_for(value->type()); }

void* get_action_by_type(int type, const Cell* value, int action) {
    if (value && value->type() == TYPE_PORT && action >= ACT_APPEND) {
        if (void* fn = port_action_hook ? port_action_hook(value, action) : nullptr) return fn;
    }
    void* fn = datatype::slot(type, action);
    if (!fn) no_action(value);
    return fn;
}

void* get_action(const Cell* value, int action) { return get_action_by_type(value->type(), value, action); }

int form(const Cell* value, Node buffer, const Cell* part, int limit) {
    auto fn = reinterpret_cast<FormFn>(datatype::slot(value->type(), ACT_FORM));
    if (!fn) no_action(value);
    return fn(value, buffer, part, limit);
}

int mold(const Cell* value, Node buffer, bool only, bool all, bool flat, const Cell* part, int limit, int indent) {
    auto fn = reinterpret_cast<MoldFn>(datatype::slot(value->type(), ACT_MOLD));
    if (!fn) no_action(value);
    return fn(value, buffer, only, all, flat, part, limit, indent);
}

Cell* mold_new(Cell* out, const Cell* value, bool all, bool flat) {
    Cell v = *value;
    collector::Root keep_value(&v);
    Node buf = string::make_node(16);
    collector::NodeRoot keep_buf(&buf);
    mold(&v, buf, false, all, flat, nullptr, 0x7FFFFFFF, 0);
    return string::make_at(out, buf);
}

Cell* form_new(Cell* out, const Cell* value) {
    Cell v = *value;
    collector::Root keep_value(&v);
    Node buf = string::make_node(16);
    collector::NodeRoot keep_buf(&buf);
    form(&v, buf, nullptr, 0x7FFFFFFF);
    return string::make_at(out, buf);
}

int compare_value(const Cell* a, const Cell* b, int op) {
    switch (a->type()) {
        case TYPE_LOGIC:
            if (b->type() != TYPE_LOGIC) return -2;
            return static_cast<int>(a->data1 != 0) - static_cast<int>(b->data1 != 0);
        default: break;
    }
    auto fn = reinterpret_cast<CompareFn>(datatype::slot(a->type(), ACT_COMPARE));
    if (!fn) return -2;
    return fn(a, b, op);
}

static bool answer(int r, int op) {
    switch (op) {
        case COMP_NOT_EQUAL: return r != 0;
        case COMP_LESSER: return r < 0;
        case COMP_LESSER_EQUAL: return r <= 0;
        case COMP_GREATER: return r > 0;
        case COMP_GREATER_EQUAL: return r >= 0;
        case COMP_EQUAL:
        case COMP_STRICT_EQUAL:
        case COMP_SAME:
        case COMP_STRICT_EQUAL_WORD:
        case COMP_FIND:
        case COMP_EQUAL_FIND: return r == 0;
        default: runtime::quit(101, KEL_CALLER_ADDRESS());
    }
}

bool compare(const Cell* a, const Cell* b, int op) {
    auto fn = reinterpret_cast<CompareFn>(datatype::slot(a->type(), ACT_COMPARE));
    int r = fn ? fn(a, b, op) : -2;
    if (r == -2) {
        switch (op) {
            case COMP_EQUAL:
            case COMP_STRICT_EQUAL:
            case COMP_SAME:
            case COMP_STRICT_EQUAL_WORD:
            case COMP_FIND:
            case COMP_EQUAL_FIND: return false;
            case COMP_NOT_EQUAL: return true;
            default: fire(err::script::invalid_compare, a, b);
        }
    }
    return answer(r, op);
}

void compare_op(int op) {
    bool r = compare(stack::arguments, stack::arguments + 1, op);
    set_cell(stack::arguments, TYPE_LOGIC, r ? 1 : 0);
    stack::keep();
}

static int target_type(const Cell* proto) {
    return proto->type() == TYPE_DATATYPE ? static_cast<int>(proto->data1) : proto->type();
}

static Cell* make_or_to(Cell* proto, Cell* spec, int action) {
    int type = target_type(proto);
    auto fn = reinterpret_cast<MakeFn>(datatype::slot(type, action));
    // Name the type that lacks the action, not datatype! of the prototype argument.
    if (!fn) no_action_for(type);
    return fn(proto, spec, type);
}

Cell* make(Cell* proto, Cell* spec) { return make_or_to(proto, spec, ACT_MAKE); }
Cell* to(Cell* proto, Cell* spec) { return make_or_to(proto, spec, ACT_TO); }

Cell* eval_path(PathStep& step, Cell* out) {
    auto fn = reinterpret_cast<EvalPathFn>(datatype::slot(step.value->type(), ACT_EVAL_PATH));
    if (!fn) {
        Cell type;
        datatype::make_at(&type, step.value->type());
        if (step.path) {
            Cell cut;
            error::path_up_to(&cut, step.path, step.index);
            fire(err::script::bad_path_type, &cut, &type, step.element);
        }
        fire(err::script::bad_path_type2, step.element, &type);
    }
    return fn(step, out);
}

int32_t get_index_arg(const Cell* index) {
    switch (index->type()) {
        case TYPE_INTEGER:
        case TYPE_CHAR: return index->i1();
        case TYPE_LOGIC: return index->data1 ? 1 : 2;
        default: return 0;
    }
}

// /part of append and insert: an integer count, or a position in the value being added.
static void normalise_part(Cell* target_value, Cell* part, bool of_target) {
    const Cell* series = of_target ? stack::arguments : target_value;
    if (!of_target && !types::series(series->type()) && series->type() != TYPE_MAP)
        fire(err::script::invalid_part, part);
    int32_t count;
    if (part->type() == TYPE_INTEGER) {
        count = part->i1();
    } else if (part->type() == series->type() && part->node() == series->node() && part->type() != TYPE_PORT) {
        int32_t len = static_cast<int32_t>(memory::nodes[part->node()]->length());
        int32_t pos = part->index() < len ? part->index() : len;
        // A value whose head lies past its tail stands at the tail: a position there counts 0.
        if (!of_target && part->type() != TYPE_IMAGE && target_value->index() > len) target_value->set_index(len);
        count = pos - series->index();
    } else {
        Cell w;
        word::load(&w, "part");
        fire(err::script::invalid_refine_arg, &w, part);
    }
    if (!of_target && count < 0) {
        // A negative count moves the value's start back (never before its head) and counts
        // forward from there.
        int32_t start = target_value->index() + count;
        if (start < 0) start = 0;
        count = target_value->index() - start;
        target_value->set_index(start);
    }
    set_cell(part, TYPE_INTEGER, static_cast<uint32_t>(count));
}

// The /dup count of append, insert and change: false when it is below 1 (nothing to do). change
// takes any number!, so a float! or percent! count is cut to its whole part here, once for every
// series type (a port's actor still gets the count as given).
static bool dup_count_to_integer(const Cell* target, Cell* dup) {
    if (dup->type() == TYPE_INTEGER) return dup->i1() >= 1;
    if (dup->type() != TYPE_FLOAT && dup->type() != TYPE_PERCENT) return true;
    double x = dup->f();
    if (std::isnan(x)) {
        Cell w;
        word::load(&w, "dup");
        fire(err::script::invalid_refine_arg, &w, dup);
    }
    if (x < 1) return false;
    if (target->type() != TYPE_PORT) {
        // A count past the integer range asks for more than any series can hold: the series
        // types raise no-memory for it, as for the largest integer count.
        int32_t n = x >= 2147483647.0 ? INT32_MAX : static_cast<int32_t>(x);
        set_cell(dup, TYPE_INTEGER, static_cast<uint32_t>(n));
    }
    return true;
}

void entry(int action, const int32_t* refs) {
    Cell* args = stack::arguments;
    switch (action) {
        case ACT_MAKE:
        case ACT_TO: {
            Cell* r = make_or_to(args, args + 1, action);
            if (r != args) *args = *r;
            stack::keep();
            return;
        }
        case ACT_FORM:
        case ACT_MOLD: {
            int part_ref = action == ACT_FORM ? refs[0] : refs[3];
            const Cell* part = part_ref >= 0 ? args + part_ref : nullptr;
            int limit = 0x7FFFFFFF;
            if (part) {
                limit = part->type() == TYPE_INTEGER ? part->i1() : 0x7FFFFFFF;
                if (limit < 1) {
                    string::rs_make_at(args, 1);
                    stack::keep();
                    return;
                }
            }
            Cell value = *args;
            Node buf = string::make_node(16);
            Cell* holder = stack::push_cell();  // keeps the buffer reachable while it fills
            string::make_at(holder, buf);
            if (action == ACT_FORM)
                form(&value, buf, part, limit);
            else
                mold(&value, buf, refs[0] >= 0, refs[1] >= 0, refs[2] >= 0, part, limit, 0);
            if (part) string::limit_tail(buf, static_cast<uint32_t>(limit));
            string::make_at(args, buf);
            stack::keep();
            return;
        }
        case ACT_COMPARE: compare_op(args[2].i1()); return;
        case ACT_APPEND:
        case ACT_INSERT:
        case ACT_CHANGE: {
            if (refs[2] >= 0 && !dup_count_to_integer(args, args + refs[2])) {
                stack::keep();
                return;
            }
            if (action != ACT_APPEND && types::series(args->type()) && args->type() != TYPE_IMAGE) {
                int32_t len = static_cast<int32_t>(memory::nodes[args->node()]->length());
                if (args->index() > len) args->set_index(len);
            }
            if (refs[0] >= 0) {
                normalise_part(args + 1, args + refs[0], action == ACT_CHANGE);
                if (action != ACT_CHANGE && args[refs[0]].i1() == 0) {
                    stack::keep();
                    return;
                }
            }
            break;
        }
        case ACT_COPY:
            if (refs[2] >= 0) {
                const Cell* kind = args + refs[2];
                if (kind->type() != TYPE_DATATYPE && kind->type() != TYPE_TYPESET) {
                    Cell name, type, arg;
                    stack::get_call_name(&name);
                    datatype::make_at(&type, kind->type());
                    word::load(&arg, "kind");
                    fire(err::script::expect_arg, &name, &type, &arg);
                }
            }
            break;
        default: break;
    }
    auto fn = reinterpret_cast<ActionFn>(get_action(args, action));
    fn(refs);
}

void call(Cell* out, int action, const Cell* const* args, int nargs, const int32_t* refs) {
    Cell* saved_top = stack::top;
    stack::mark_named(stack::body_symbol, FRAME_NATIVE);
    for (int i = 0; i < nargs; i++) stack::push(args[i]);
    int32_t none[12] = {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1};
    entry(action, refs ? refs : none);
    *out = *stack::arguments;
    stack::pop_frame();
    stack::top = saved_top;  // the caller's cells above its arguments stay
}

// ---- Fast paths ----

static void mark_named_frame(const Cell* name) {
    if (name)
        stack::mark_native(name);
    else
        stack::mark_named(stack::body_symbol, FRAME_NATIVE);
}

// The result of two integer! or two float! operands computed in place; false when the pair
// needs the generic action.
static bool math_now(int op, const Cell* a, const Cell* b, Cell* out) {
    if (a->type() == TYPE_INTEGER && b->type() == TYPE_INTEGER) {
        int32_t x = a->i1(), y = b->i1(), v;
        bool overflow;
        switch (op) {
            case OP_ADD: overflow = __builtin_add_overflow(x, y, &v); break;
            case OP_SUB: overflow = __builtin_sub_overflow(x, y, &v); break;
            case OP_MUL: overflow = __builtin_mul_overflow(x, y, &v); break;
            case OP_OR: return set_cell(out, TYPE_INTEGER, a->data1 | b->data1), true;
            case OP_AND: return set_cell(out, TYPE_INTEGER, a->data1 & b->data1), true;
            case OP_XOR: return set_cell(out, TYPE_INTEGER, a->data1 ^ b->data1), true;
            default: runtime::quit(101, KEL_CALLER_ADDRESS());
        }
        if (!overflow) {
            set_cell(out, TYPE_INTEGER, static_cast<uint32_t>(v));
        } else {
            double exact = op == OP_ADD ? double(x) + double(y) : op == OP_SUB ? double(x) - double(y) : double(x) * double(y);
            float_::make_at(out, exact);
        }
        return true;
    }
    if (a->type() == TYPE_FLOAT && b->type() == TYPE_FLOAT && op <= OP_MUL) {
        float_::make_at(out, float_::do_math_op(a->f(), b->f(), op));
        return true;
    }
    return false;
}

// The natives behind the comparison operators, by number - 25.
const natives::NativeFn comparison_natives[7] = {natives::equal_q,  natives::not_equal_q,      natives::strict_equal_q,
                                               natives::lesser_q, natives::greater_q,        natives::lesser_or_equal_q,
                                               natives::greater_or_equal_q};

bool has_shortcut(const Cell* fn) {
    switch (fn->type()) {
        case TYPE_ACTION:
            switch (fn->data1) {
                case ACT_ADD:
                case ACT_SUBTRACT:
                case ACT_MULTIPLY:
                case ACT_REMAINDER: return true;
                default: return false;
            }
        case TYPE_NATIVE: return fn->data1 - 25 < 7 && natives::table[fn->data1 - 1] == comparison_natives[fn->data1 - 25];
        default: return false;
    }
}

bool call_fast(const Cell* fn, const Cell* a, const Cell* b, Cell* out) {
    // Only add, subtract, multiply, remainder (actions 11, 13, 16, 18) and the comparison
    // natives (25 to 31) have an answer here.
    uint32_t number = fn->data1;
    if (fn->type() == TYPE_ACTION ? number < ACT_ADD || number > ACT_SUBTRACT : number - 25 >= 7) return false;
    uint8_t ta = a->type(), tb = b->type();
    bool ints = ta == TYPE_INTEGER && tb == TYPE_INTEGER;
    bool floats = ta == TYPE_FLOAT && tb == TYPE_FLOAT;
    if (fn->type() == TYPE_ACTION) {
        // Arithmetic also takes an integer with a float, either way round: the integer's action
        // hands such a pair to the float's, which reads both as doubles.
        bool mixed = (ta == TYPE_INTEGER && tb == TYPE_FLOAT) || (ta == TYPE_FLOAT && tb == TYPE_INTEGER);
        if (!ints && !floats && !mixed) return false;
        int op;
        switch (fn->data1) {
            case ACT_ADD: op = OP_ADD; break;
            case ACT_SUBTRACT: op = OP_SUB; break;
            case ACT_MULTIPLY: op = OP_MUL; break;
            case ACT_REMAINDER:
                // Only the cases that cannot raise: the error needs the call's frame.
                if (!ints || b->i1() == 0 || b->i1() == -1) return false;
                op = OP_REM;
                break;
            default: return false;
        }
        // As the actions do it: the result takes the left operand's cell, flags included.
        *out = *a;
        if (ints) {
            integer::do_math(a->i1(), b->i1(), op, out);
        } else {
            double x = ta == TYPE_INTEGER ? double(a->i1()) : a->f();
            double y = tb == TYPE_INTEGER ? double(b->i1()) : b->f();
            out->set_type(TYPE_FLOAT);
            out->data1 = 0;
            out->set_f(float_::do_math_op(x, y, op));
        }
        return true;
    }
    if (!ints && !floats) return false;
    if (fn->type() != TYPE_NATIVE) return false;
    static const int comparisons[7] = {COMP_EQUAL,  COMP_NOT_EQUAL, COMP_STRICT_EQUAL,   COMP_LESSER,
                                       COMP_GREATER, COMP_LESSER_EQUAL, COMP_GREATER_EQUAL};
    // equal? ... greater-or-equal? are natives 25 to 31, in that order.
    uint32_t k = fn->data1 - 25;
    if (k >= 7 || natives::table[fn->data1 - 1] != comparison_natives[k]) return false;
    int op = comparisons[k];
    int r = ints ? (a->i1() > b->i1()) - (a->i1() < b->i1()) : float_::compare_numbers(a->f(), b->f(), op);
    set_cell(out, TYPE_LOGIC, answer(r, op) ? 1 : 0);
    return true;
}

static void math_any(int op, const Cell* name, const Cell* a, const Cell* b, Cell* out) {
    if (op != OP_ADD && op != OP_SUB && op != OP_MUL && op != OP_OR && op != OP_AND && op != OP_XOR)
        runtime::quit(101, KEL_CALLER_ADDRESS());
    if (math_now(op, a, b, out)) return;
    Cell x = *a, y = *b;
    mark_named_frame(name);
    stack::push(&x);
    stack::push(&y);
    static const int32_t no_refs[1] = {-1};
    entry(number::action_of(op), no_refs);
    Cell result = *stack::arguments;
    stack::pop_frame();
    *out = result;
}

void math_fast(int op, const Cell* name, const Cell* a, const Cell* b) {
    Cell result;
    math_any(op, name, a, b, &result);
    stack::push(&result);
}

void math_fast_int(int op, const Cell* name, const Cell* a, int32_t b) {
    Cell y;
    set_cell(&y, TYPE_INTEGER, static_cast<uint32_t>(b));
    math_fast(op, name, a, &y);
}

void math_fast_top(int op, const Cell* name, const Cell* b) {
    Cell* top = stack::top - 1;
    Cell x = *top, result;
    math_any(op, name, &x, b, &result);
    *top = result;
}

void math_fast_top_int(int op, const Cell* name, int32_t b) {
    Cell y;
    set_cell(&y, TYPE_INTEGER, static_cast<uint32_t>(b));
    math_fast_top(op, name, &y);
}

static bool compare_any(int op, const Cell* name, const Cell* a, const Cell* b) {
    if (a->type() == TYPE_INTEGER && b->type() == TYPE_INTEGER) {
        int32_t x = a->i1(), y = b->i1();
        return answer((x > y) - (x < y), op);
    }
    if (a->type() == TYPE_FLOAT && b->type() == TYPE_FLOAT) return answer(float_::compare_numbers(a->f(), b->f(), op), op);
    Cell x = *a, y = *b;
    mark_named_frame(name);
    stack::push(&x);
    stack::push(&y);
    compare_op(op);
    bool r = stack::arguments->data1 != 0;
    stack::pop_frame();
    return r;
}

void compare_fast(int op, const Cell* name, const Cell* a, const Cell* b) {
    bool r = compare_any(op, name, a, b);
    set_cell(stack::push_cell(), TYPE_LOGIC, r ? 1 : 0);
}

void compare_fast_int(int op, const Cell* name, const Cell* a, int32_t b) {
    Cell y;
    set_cell(&y, TYPE_INTEGER, static_cast<uint32_t>(b));
    compare_fast(op, name, a, &y);
}

bool compare_fast_test(int op, const Cell* name, const Cell* a, const Cell* b, bool invert) {
    return compare_any(op, name, a, b) != invert;
}

bool compare_fast_test_int(int op, const Cell* name, const Cell* a, int32_t b, bool invert) {
    Cell y;
    set_cell(&y, TYPE_INTEGER, static_cast<uint32_t>(b));
    return compare_fast_test(op, name, a, &y, invert);
}

bool compare_fast_cond(int op, const Cell* name, const Cell* a, const Cell* b) {
    bool r = compare_any(op, name, a, b);
    set_cell(stack::arguments, TYPE_LOGIC, r ? 1 : 0);
    return r;
}

bool compare_fast_cond_int(int op, const Cell* name, const Cell* a, int32_t b) {
    Cell y;
    set_cell(&y, TYPE_INTEGER, static_cast<uint32_t>(b));
    return compare_fast_cond(op, name, a, &y);
}

void compare_fast_top(int op, const Cell* name, const Cell* b) {
    Cell* top = stack::top - 1;
    Cell x = *top;
    bool r = compare_any(op, name, &x, b);
    set_cell(top, TYPE_LOGIC, r ? 1 : 0);
}

void compare_fast_top_int(int op, const Cell* name, int32_t b) {
    Cell y;
    set_cell(&y, TYPE_INTEGER, static_cast<uint32_t>(b));
    compare_fast_top(op, name, &y);
}

void pick_fast(const Cell* value, int32_t index, const Cell* name) {
    if (value->type() == TYPE_BLOCK) {
        Cell result;
        int32_t len = block::rs_length_q(value);
        if (index >= 1 && index <= len)
            result = block::rs_head(value)[index - 1];
        else
            set_cell(&result, TYPE_NONE);
        stack::push(&result);
        return;
    }
    Cell v = *value, element;
    set_cell(&element, TYPE_INTEGER, static_cast<uint32_t>(index));
    mark_named_frame(name);
    Cell* current = stack::push(&v);
    Cell* elem = stack::push(&element);
    Cell* out = stack::push_cell();
    set_cell(out, TYPE_NONE);
    PathStep step{current, elem, nullptr, nullptr, nullptr, nullptr, -1, false, false, true, false};
    Cell result = *eval_path(step, out);
    stack::pop_frame();
    stack::push(&result);
}

void series_fast(const Cell* value, int code, const Cell* name) {
    static const int actions_of[9] = {0, ACT_LENGTH_Q, ACT_INDEX_Q, ACT_HEAD_Q, ACT_TAIL_Q, ACT_NEXT, ACT_BACK, ACT_HEAD, ACT_TAIL};
    if (code < 1 || code > 8) runtime::quit(101, KEL_CALLER_ADDRESS());
    Cell result = *value;
    if (value->type() == TYPE_BLOCK) {
        int32_t index = value->index();
        int32_t total = block::node_length(value->node());
        int32_t left = block::rs_length_q(value);
        switch (code) {
            case 1: set_cell(&result, TYPE_INTEGER, static_cast<uint32_t>(left)); break;
            case 2: set_cell(&result, TYPE_INTEGER, static_cast<uint32_t>(index + 1)); break;
            case 3: set_cell(&result, TYPE_LOGIC, index <= 0 ? 1 : 0); break;
            case 4: set_cell(&result, TYPE_LOGIC, index >= total ? 1 : 0); break;
            case 5:
                if (index < total) result.set_index(index + 1);
                break;
            case 6:
                if (index > 0) result.set_index(index - 1);
                break;
            case 7: result.set_index(0); break;
            default: result.set_index(index + left); break;
        }
        stack::push(&result);
        return;
    }
    mark_named_frame(name);
    stack::push(&result);
    static const int32_t no_refs[1] = {-1};
    entry(actions_of[code], no_refs);
    result = *stack::arguments;
    stack::pop_frame();
    stack::push(&result);
}

// Keys whose cells alone do not tell equality (two bitsets or vectors with the same contents, a
// money amount written two ways) are matched in hash tables by their type's compare.
void init() { hashtable::compare_hook = compare_value; }

}  // namespace actions
