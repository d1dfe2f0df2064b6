#include "datatypes/logic.h"

#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/error.h"
#include "datatypes/string.h"
#include "runtime/fire.h"
#include "services/random.h"
#include "runtime/runtime.h"
#include "runtime/stack.h"

namespace logic {

const Cell true_cell = {TYPE_LOGIC, 1, 0, 0};
const Cell false_cell = {TYPE_LOGIC, 0, 0, 0};

Cell* make_at(Cell* c, bool truth) { return set_cell(c, TYPE_LOGIC, truth ? 1 : 0); }
Cell* make_in(Node block, bool t) { return make_at(block::alloc_tail(block), t); }
Cell* push(bool t) { return make_at(stack::push_cell(), t); }
Cell* box(bool t) { return make_at(stack::arguments, t); }

bool true_value_q(const Cell* c, bool check, const Cell* word) {
    if (check && c->type() == TYPE_UNSET) fire(err::script::no_value, word);
    return truth(c);
}

bool true_q(const Cell* c) {
    if (c->type() == TYPE_UNSET) fire(err::script::no_return);
    return truth(c);
}

bool true_q() { return true_q(stack::arguments); }

bool false_q() { return !truth(stack::arguments); }

bool top_true_q() { return truth(stack::top > stack::arguments ? stack::top - 1 : stack::arguments); }

bool top_false_q() { return !top_true_q(); }

Cell* make(Cell* proto, Cell* spec, int type) {
    switch (spec->type()) {
        case TYPE_INTEGER: return make_at(proto, spec->i1() != 0);
        case TYPE_FLOAT:
        case TYPE_PERCENT: return make_at(proto, !(spec->f() == 0.0));  // NaN counts as true
        default: return to(proto, spec, type);
    }
}

Cell* to(Cell* proto, Cell* spec, int) {
    if (spec->type() == TYPE_LOGIC) {
        *proto = *spec;
        return proto;
    }
    *proto = spec->type() == TYPE_NONE ? false_cell : true_cell;
    return proto;
}

int form(const Cell* value, Node buffer, const Cell*, int limit) {
    if (value->data1) {
        string::concatenate_literal(buffer, "true");
        return limit - 4;
    }
    string::concatenate_literal(buffer, "false");
    return limit - 5;
}

int mold(const Cell* value, Node buffer, bool, bool all, bool, const Cell* part, int limit, int) {
    if (!all) return form(value, buffer, part, limit);
    if (value->data1) {
        string::concatenate_literal(buffer, "#(true)");
        return limit - 7;
    }
    string::concatenate_literal(buffer, "#(false)");
    return limit - 8;
}

// true sorts after false; logic values have no order for lesser? and its kin.
int compare(const Cell* a, const Cell* b, int op) {
    if (b->type() != TYPE_LOGIC || !unordered_op(op)) return -2;
    return static_cast<int>(a->data1 != 0) - static_cast<int>(b->data1 != 0);
}

void complement(const int32_t*) {
    Cell* v = stack::arguments;
    v->data1 = v->data1 ? 0 : 1;
}

static void bitwise(int op) {
    Cell* a = stack::arguments;
    const Cell* b = a + 1;
    if (b->type() != TYPE_LOGIC) {
        Cell name, type, arg;
        stack::get_call_name(&name);
        datatype::make_at(&type, b->type());
        error::get_call_argument(1, &arg);
        fire(err::script::expect_arg, &name, &type, &arg);
    }
    uint32_t x = a->data1 != 0, y = b->data1 != 0;
    switch (op) {
        case OP_AND: a->data1 = x & y; break;
        case OP_OR: a->data1 = x | y; break;
        case OP_XOR: a->data1 = x ^ y; break;
        default: runtime::quit(101, KEL_CALLER_ADDRESS());
    }
    stack::keep();
}

// A fair coin: the draw's upper half (as a signed word) is true.
void random(const int32_t* refs) {
    Cell* v = stack::arguments;
    if (refs[0] >= 0) {
        random_::seed(v->data1);
        set_cell(v, TYPE_UNSET);
        return;
    }
    int32_t r = refs[1] >= 0 ? random_::secure_next() : random_::next();
    make_at(v, r > 0x3FFFFFFF);
}

void and_(const int32_t*) { bitwise(OP_AND); }
void or_(const int32_t*) { bitwise(OP_OR); }
void xor_(const int32_t*) { bitwise(OP_XOR); }

void init() {
    datatype::Row row;
    row.set(ACT_MAKE, make)
        .set(ACT_RANDOM, random)
        .set(ACT_TO, to)
        .set(ACT_FORM, form)
        .set(ACT_MOLD, mold)
        .set(ACT_COMPARE, compare)
        .set(ACT_AND_T, and_)
        .set(ACT_COMPLEMENT, complement)
        .set(ACT_OR_T, or_)
        .set(ACT_XOR_T, xor_);
    datatype::register_row(TYPE_LOGIC, 0, "logic!", row);
}

}  // namespace logic
