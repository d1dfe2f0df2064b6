#include "evaluator/natives_build.h"

#include <charconv>
#include <cmath>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/datatype.h"
#include "datatypes/money.h"
#include "datatypes/object.h"
#include "datatypes/ownership.h"
#include "datatypes/point.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "evaluator/actions.h"
#include "evaluator/natives.h"
#include "runtime/case_folding.h"
#include "runtime/collector.h"
#include "runtime/fire.h"
#include "runtime/stack.h"

namespace natives {

enum : int {
    N_CONSTRUCT = 68, N_VALUE, N_UPPERCASE = 71, N_LOWERCASE, N_AS_PAIR, N_AS_POINT2D, N_AS_POINT3D, N_AS_MONEY,
    N_EXTEND = 83, N_UNSET = 88, N_NEW_LINE, N_NEW_LINE_Q, N_CONTEXT = 92, N_AS = 98,
};

void construct(int check, const int32_t* refs) {
    if (check) check_args(N_CONSTRUCT, refs);
    Cell* args = stack::arguments;
    const Cell* proto = refs[0] >= 0 ? args + refs[0] : nullptr;
    object::make_from_spec(args, proto, refs[1] >= 0);
    *args = *(stack::top - 1);
    stack::keep();
}

void value_q(int check, const int32_t* refs) {
    if (check) check_args(N_VALUE, refs);
    const Cell* v = stack::arguments;
    uint8_t t = v->type();
    if (t == TYPE_WORD || t == TYPE_SET_WORD || t == TYPE_GET_WORD || t == TYPE_LIT_WORD) v = context::get(v);
    set_logic(v->type() != TYPE_UNSET);
}

// ---- Case ----

static void case_native(int n, int check, const int32_t* refs, bool upper) {
    if (check) check_args(n, refs);
    Cell* args = stack::arguments;
    if (args->type() == TYPE_CHAR) {
        args->data1 = case_folding::change(args->data1, upper);
        return stack::keep();
    }
    Cell* part = nullptr;
    if (refs[0] >= 0) {
        part = args + refs[0];
        // A float limit counts its whole part.
        if (part->type() == TYPE_FLOAT || part->type() == TYPE_PERCENT) {
            double d = part->f();
            if (!(d >= -2147483648.0 && d <= 2147483647.0)) {
                Cell v = *part;
                fire(err::script::out_of_range, &v);
            }
            set_cell(part, TYPE_INTEGER, static_cast<uint32_t>(static_cast<int32_t>(d)));
        }
    }
    Cell* part_word = stack::push_cell();
    word::load(part_word, "part");
    case_folding::change_string(args, upper, part, part_word);
    if (series::owned_q(args)) {
        // The owner hears of the change: the action's word, the head and the characters changed.
        int32_t head = args->index() > 0 ? args->index() : 0;
        int32_t count = string::rs_length_q(args);
        if (part) {
            int32_t want = part->type() == TYPE_INTEGER ? part->i1() : part->index() - head;
            count = want < 0 ? 0 : (want < count ? want : count);
        }
        Cell* action = stack::push_cell();
        word::load(action, upper ? "uppercase" : "lowercase");
        ownership::check(args, action, nullptr, head, count);
    }
    stack::keep();
}

void uppercase(int check, const int32_t* refs) { case_native(N_UPPERCASE, check, refs, true); }
void lowercase(int check, const int32_t* refs) { case_native(N_LOWERCASE, check, refs, false); }

// ---- Pairs, points, money ----

// A pair coordinate: an integer, or a float truncated toward zero; a float that is NaN, infinite
// or whose whole part lies outside the 32-bit range has no integer and is refused.
static int32_t pair_coordinate(const Cell* c) {
    if (c->type() == TYPE_INTEGER) return c->i1();
    double d = c->f();
    if (!(d > -2147483649.0 && d < 2147483648.0)) {
        Cell v = *c;
        fire(err::script::invalid_arg, &v);
    }
    return static_cast<int32_t>(d);
}

static float point_coordinate(const Cell* c) {
    return c->type() == TYPE_INTEGER ? static_cast<float>(c->i1()) : static_cast<float>(c->f());
}

void as_pair(int check, const int32_t* refs) {
    if (check) check_args(N_AS_PAIR, refs);
    Cell* args = stack::arguments;
    int32_t x = pair_coordinate(args), y = pair_coordinate(args + 1);
    set_cell(args, TYPE_PAIR, 0, static_cast<uint32_t>(x), static_cast<uint32_t>(y));
    stack::keep();
}

void as_point2D(int check, const int32_t* refs) {
    if (check) check_args(N_AS_POINT2D, refs);
    Cell* args = stack::arguments;
    float x = point_coordinate(args), y = point_coordinate(args + 1);
    point2D::make_at(args, x, y);
    stack::keep();
}

void as_point3D(int check, const int32_t* refs) {
    if (check) check_args(N_AS_POINT3D, refs);
    Cell* args = stack::arguments;
    float x = point_coordinate(args), y = point_coordinate(args + 1), z = point_coordinate(args + 2);
    point3D::make_at(args, x, y, z);
    stack::keep();
}

void as_money(int check, const int32_t* refs) {
    if (check) check_args(N_AS_MONEY, refs);
    Cell* args = stack::arguments;
    int index = money::currency_index(symbol::text(static_cast<int32_t>(args->data2)));
    if (index <= 0) {
        Cell w = *args;
        fire(err::script::bad_denom, &w);
    }
    Cell amount;
    amount.header = 0;
    if (args[1].type() == TYPE_INTEGER)
        money::from_integer(&amount, args[1].i1());
    else
        money::from_float(&amount, args[1].f(), true);
    money::set_currency(&amount, index);
    *args = amount;
    stack::keep();
}

// ---- extend ----

// Puts one key and value into a map through its put action.
static void put_pair(Cell* map, const Cell* key, const Cell* value, bool case_) {
    Cell out;
    set_cell(&out, TYPE_NONE);
    collector::Root keep(&out);
    const Cell* args[3] = {map, key, value};
    int32_t refs[1] = {case_ ? 3 : -1};
    actions::call(&out, ACT_PUT, args, 3, refs);
}

void extend(int check, const int32_t* refs) {
    if (check) check_args(N_EXTEND, refs);
    Cell* args = stack::arguments;
    if (args->type() == TYPE_OBJECT) fire(err::internal::not_done);
    bool case_ = refs[0] >= 0;
    Cell* spec = args + 1;
    int32_t from = spec->index() > 0 ? spec->index() : 0;
    // Only the entries the spec has now: a map extended by itself gains an entry for every key
    // that finds no match (a NaN), and walking those too would never end.
    int32_t end = block::node_length(spec->node());
    if (spec->type() == TYPE_MAP) {
        // The live entries of another map, in order (removed entries have a value header of 0).
        for (int32_t i = from; i + 1 < end && i + 1 < block::node_length(spec->node()); i += 2) {
            if (block::node_cell(spec->node(), i + 1)->header == 0) continue;
            Cell* key = stack::push(block::node_cell(spec->node(), i));
            Cell* value = stack::push(block::node_cell(spec->node(), i + 1));
            put_pair(args, key, value, case_);
            stack::top = key;
        }
    } else {
        if (block::rs_length_q(spec) % 2 != 0) {
            Cell v = *spec;
            fire(err::script::invalid_arg, &v);
        }
        for (int32_t i = from; i + 1 < end && i + 1 < block::node_length(spec->node()); i += 2) {
            Cell* key = stack::push(block::node_cell(spec->node(), i));
            Cell* value = stack::push(block::node_cell(spec->node(), i + 1));
            put_pair(args, key, value, case_);
            stack::top = key;
        }
    }
    stack::keep();
}

// ---- Words and markers ----

void unset(int check, const int32_t* refs) {
    if (check) check_args(N_UNSET, refs);
    Cell* args = stack::arguments;
    Cell nothing;
    set_cell(&nothing, TYPE_UNSET);
    if (args->type() == TYPE_WORD) {
        word::set_value(args, &nothing);
    } else {
        for (int32_t i = args->index() > 0 ? args->index() : 0; i < block::node_length(args->node()); i++) {
            Cell* w = stack::push(block::node_cell(args->node(), i));
            if (w->type() == TYPE_WORD) word::set_value(w, &nothing);
            stack::top = w;
        }
    }
    set_unset();
}

void new_line(int check, const int32_t* refs) {
    if (check) check_args(N_NEW_LINE, refs);
    Cell* args = stack::arguments;
    bool on = args[1].data1 != 0;
    bool every = refs[0] >= 0, skip = refs[1] >= 0;
    int32_t at = args->index() > 0 ? args->index() : 0;
    SeriesBuf* s = memory::nodes[args->node()];
    int32_t total = static_cast<int32_t>(s->length());
    if (!every && !skip) {
        if (at < total) {
            Cell* c = cells_head(s) + at;
            c->header = on ? (c->header | cell_flag::newline) : (c->header & ~cell_flag::newline);
        }
        return stack::keep();
    }
    int32_t step = 1;
    if (skip) {
        step = args[refs[1]].i1();
        if (step <= 0) {
            Cell v = args[refs[1]];
            fire(err::script::out_of_range, &v);
        }
    }
    Cell* cells = cells_head(s);
    for (int32_t i = 0; at + i < total; i++) {
        bool marked = (step == 1 || i % step == 0) ? on : !on;
        Cell* c = cells + at + i;
        c->header = marked ? (c->header | cell_flag::newline) : (c->header & ~cell_flag::newline);
    }
    stack::keep();
}

void new_line_q(int check, const int32_t* refs) {
    if (check) check_args(N_NEW_LINE_Q, refs);
    Cell* args = stack::arguments;
    int32_t at = args->index() > 0 ? args->index() : 0;
    SeriesBuf* s = memory::nodes[args->node()];
    if (at >= static_cast<int32_t>(s->length())) return set_logic(false);
    set_logic((cells_head(s)[at].header & cell_flag::newline) != 0);
}

void context_q(int check, const int32_t* refs) {
    if (check) check_args(N_CONTEXT, refs);
    Cell* args = stack::arguments;
    if (!args->data1) return set_none();
    *args = *context::owner_of(args->data1);
    if (args->type() == TYPE_UNSET) set_cell(args, TYPE_NONE);
    stack::keep();
}

// ---- as ----

static bool list_family(uint8_t t) { return t == TYPE_BLOCK || t == TYPE_PAREN || types::any_path(t); }

void as(int check, const int32_t* refs) {
    if (check) check_args(N_AS, refs);
    Cell* args = stack::arguments;
    int target = args->type() == TYPE_DATATYPE ? static_cast<int>(args->data1) : args->type();
    uint8_t from = args[1].type();
    bool allowed = target > 0 && target < 256 &&
                   ((list_family(static_cast<uint8_t>(target)) && list_family(from)) ||
                    (types::any_string(static_cast<uint8_t>(target)) && types::any_string(from)));
    if (!allowed) {
        Cell a, b;
        datatype::make_at(&a, from);
        datatype::make_at(&b, target);
        fire(err::script::not_same_class, &a, &b);
    }
    *args = args[1];
    args->set_type(static_cast<uint8_t>(target));
    stack::keep();
}

}  // namespace natives
