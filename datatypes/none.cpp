#include "datatypes/none.h"

#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/string.h"
#include "runtime/stack.h"

namespace none {

Cell* make_at(Cell* c) { return set_cell(c, TYPE_NONE); }
Cell* make_in(Node block) { return make_at(block::alloc_tail(block)); }
Cell* push() { return make_at(stack::push_cell()); }
Cell* push_last() { return make_at(stack::arguments); }

Cell* make(Cell* proto, Cell*, int) { return make_at(proto); }

int form(const Cell*, Node buffer, const Cell*, int limit) {
    string::concatenate_literal(buffer, "none");
    return limit - 4;
}

int mold(const Cell*, Node buffer, bool, bool all, bool, const Cell*, int limit, int) {
    if (all) {
        string::concatenate_literal(buffer, "#(none)");
        return limit - 7;
    }
    string::concatenate_literal(buffer, "none");
    return limit - 4;
}

void answer_none(const int32_t*) {
    make_at(stack::arguments);
    stack::keep();
}

void init() {
    datatype::Row row;
    row.set(ACT_MAKE, make).set(ACT_TO, make).set(ACT_FORM, form).set(ACT_MOLD, mold).set(ACT_COMPARE, datatype::compare_alike);
    for (int a : {ACT_CLEAR, ACT_FIND, ACT_LENGTH_Q, ACT_REMOVE, ACT_SELECT, ACT_TAKE}) row.set(a, answer_none);
    datatype::register_row(TYPE_NONE, 0, "none!", row);
}

}  // namespace none
