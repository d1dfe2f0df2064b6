#include "datatypes/native.h"

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/datatype.h"
#include "datatypes/function.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "evaluator/actions.h"
#include "evaluator/natives.h"
#include "runtime/collector.h"
#include "runtime/fire.h"
#include "runtime/stack.h"

namespace native {

static const symbol::Known sym_spec("spec"), sym_body("body"), sym_local("local"), sym_extern("extern");

Cell* make_at(Cell* out, uint8_t type, const Cell* spec_in, int32_t n) {
    Cell spec = *spec_in;
    collector::Root keep_spec(&spec);
    if (spec.index() > 0) block::make_at(&spec, block::copy_cells(&spec));
    Node more = block::make_node(2);
    collector::NodeRoot keep_more(&more);
    Node ctx = context::make(&spec, true, false, context::KIND_FUNCTION);
    Cell* m = block::alloc_tail(more);
    *m = *context::cell_of(ctx);
    set_cell(block::alloc_tail(more), TYPE_NONE);
    Cell v;
    set_cell(&v, type, static_cast<uint32_t>(n), spec.node(), more);
    *out = v;
    return out;
}

Cell* push(uint8_t type, const Cell* spec, int32_t n) {
    Cell v;
    make_at(&v, type, spec, n);
    return stack::push(&v);
}

[[noreturn]] static void bad_make_arg(int type, const Cell* spec) {
    Cell t, s = *spec;
    datatype::make_at(&t, type);
    fire(err::script::bad_make_arg, &t, &s);
}

Cell* make(Cell* proto, Cell* spec, int type) {
    if (spec->type() != TYPE_BLOCK || block::rs_length_q(spec) != 2) bad_make_arg(type, spec);
    Cell* items = block::rs_head(spec);
    if (items[0].type() != TYPE_BLOCK || items[1].type() != TYPE_INTEGER) bad_make_arg(type, spec);
    int32_t n = items[1].i1();
    int32_t top = type == TYPE_NATIVE ? natives::counter - 1 : kActionCount;
    if (n < 1 || n > top) bad_make_arg(type, spec);
    Cell spec_block = items[0];
    return make_at(proto, static_cast<uint8_t>(type), &spec_block, n);
}

static void reflect(const int32_t*) {
    Cell* args = stack::arguments;
    Cell value = args[0];
    const Cell* field = args + 1;
    if (!types::any_word(field->type())) fire(err::internal::not_done);
    if (sym_spec.is(field)) {
        block::make_at(args, value.data2);
    } else if (sym_body.is(field)) {
        uint8_t wrapped = value.type() == TYPE_OP ? op_wrapped(&value) : value.type();
        if (wrapped == TYPE_FUNCTION || wrapped == TYPE_ROUTINE)
            *args = *block::node_cell(value.data3, function::MORE_BODY);
        else
            set_cell(args, TYPE_INTEGER, value.data1);
    } else {
        fire(err::internal::not_done);
    }
    stack::keep();
}

int form(const Cell* value, Node buffer, const Cell* part, int limit) {
    switch (value->type()) {
        case TYPE_NATIVE: return string::concatenate_part(buffer, part, limit, "?native?", 8);
        case TYPE_ACTION: return string::concatenate_part(buffer, part, limit, "?action?", 8);
        default: return string::concatenate_part(buffer, part, limit, "?op?", 4);
    }
}

static int mold_block(Node buffer, Node series, bool all, bool flat, const Cell* part, int limit, int indent) {
    if (part && limit <= 0) return limit;
    Cell b;
    block::make_at(&b, series);
    return actions::mold(&b, buffer, false, all, flat, part, limit, indent);
}

int mold(const Cell* value_in, Node buffer, bool, bool all, bool flat, const Cell* part, int limit, int indent) {
    Cell value = *value_in;
    collector::Root keep(&value);
    switch (value.type()) {
        case TYPE_NATIVE:
        case TYPE_ACTION:
            limit = string::concatenate_part(buffer, part, limit,
                                             value.type() == TYPE_NATIVE ? "make native! [" : "make action! [", 14);
            limit = mold_block(buffer, value.data2, all, flat, part, limit, indent);
            return string::concatenate_part(buffer, part, limit, "]", 1);
        default: break;
    }
    limit = string::concatenate_part(buffer, part, limit, "make op! ", 9);
    // A failure while molding the spec shows this call in the error's stack.
    stack::Saved saved = stack::save();
    stack::mark_named(stack::body_symbol, FRAME_NATIVE);
    // Only an operator over a function molds as its source; over a routine it shows its spec,
    // as over a native or an action.
    if (op_wrapped(&value) == TYPE_FUNCTION) {
        limit = string::concatenate_part(buffer, part, limit, "func ", 5);
        limit = mold_block(buffer, value.data2, all, flat, part, limit, indent);
        Cell body = *block::node_cell(value.data3, function::MORE_BODY);
        if (body.type() == TYPE_BLOCK && !(part && limit <= 0)) limit = actions::mold(&body, buffer, false, all, flat, part, limit, indent);
    } else {
        limit = string::concatenate_part(buffer, part, limit, "[", 1);
        limit = mold_block(buffer, value.data2, all, flat, part, limit, indent);
        limit = string::concatenate_part(buffer, part, limit, "]", 1);
    }
    stack::restore(saved);
    return limit;
}

int compare(const Cell* a, const Cell* b, int op) {
    if (b->type() != a->type() || !unordered_op(op)) return -2;
    int32_t x = a->i1(), y = b->i1();
    return x == y ? 0 : (x < y ? -1 : 1);
}

bool op_valid_spec_q(Node spec) {
    int32_t n = block::node_length(spec);
    int args = 0;
    bool plain_first = false;
    for (int32_t i = 0; i < n; i++) {
        const Cell* c = block::node_cell(spec, i);
        uint8_t t = c->type();
        if (t == TYPE_WORD) {
            if (args == 0) plain_first = true;
            args++;
        } else if (t == TYPE_LIT_WORD || t == TYPE_GET_WORD) {
            if (args == 0) return false;
            args++;
        } else if (t == TYPE_REFINEMENT) {
            if (sym_local.is(c) || sym_extern.is(c)) break;
            return false;
        } else if (t == TYPE_SET_WORD) {
            break;
        }
    }
    return args == 2 && plain_first;
}

Cell* op_make(Cell* proto, Cell* spec, int) {
    uint8_t t = spec->type();
    if (t != TYPE_ACTION && t != TYPE_NATIVE && t != TYPE_FUNCTION && t != TYPE_ROUTINE) {
        Cell type;
        datatype::make_at(&type, t);
        fire(err::script::invalid_type, &type);
    }
    if (!op_valid_spec_q(spec->data2)) fire(err::script::bad_op_spec);
    Cell v = *spec;
    v.header = TYPE_OP | (static_cast<uint32_t>(t) << 16);
    if (t == TYPE_NATIVE || t == TYPE_ACTION) {
        int n = static_cast<int>(spec->data1);
        const Cell* own = t == TYPE_NATIVE ? natives::value_of(n) : natives::action_value_of(n);
        if (own->type() != t || own->data3 != spec->data3) v.header |= op_checks_operands;
    }
    if (t == TYPE_FUNCTION || t == TYPE_ROUTINE) *block::node_cell(spec->data3, function::MORE_OP) = *spec;
    *proto = v;
    return proto;
}

void init() {
    datatype::Row n;
    n.set(ACT_MAKE, make).set(ACT_REFLECT, reflect).set(ACT_FORM, form).set(ACT_MOLD, mold).set(ACT_COMPARE, compare);
    datatype::register_row(TYPE_NATIVE, 0, "native!", n);
    datatype::Row a;
    a.set(ACT_MAKE, make).set(ACT_FORM, form).set(ACT_MOLD, mold).set(ACT_COMPARE, compare).inherit({ACT_REFLECT});
    datatype::register_row(TYPE_ACTION, TYPE_NATIVE, "action!", a);
    datatype::Row o;
    o.set(ACT_MAKE, op_make).set(ACT_FORM, form).set(ACT_MOLD, mold).set(ACT_COMPARE, compare).inherit({ACT_REFLECT});
    datatype::register_row(TYPE_OP, TYPE_NATIVE, "op!", o);
}

}  // namespace native
