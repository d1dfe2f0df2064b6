#include "datatypes/unset.h"

#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/string.h"
#include "runtime/stack.h"

namespace unset {

Cell* make_at(Cell* c) { return set_cell(c, TYPE_UNSET); }
Cell* make_in(Node block) { return make_at(block::alloc_tail(block)); }
Cell* push() { return make_at(stack::push_cell()); }
Cell* push_last() { return make_at(stack::arguments); }

Cell* make(Cell* proto, Cell*, int) { return make_at(proto); }

int form(const Cell*, Node, const Cell*, int limit) { return limit; }

int mold(const Cell*, Node buffer, bool, bool all, bool, const Cell*, int limit, int) {
    if (all) {
        string::concatenate_literal(buffer, "#(unset)");
        return limit - 8;
    }
    string::concatenate_literal(buffer, "unset");
    return limit - 5;
}

void init() {
    datatype::Row row;
    row.set(ACT_MAKE, make).set(ACT_TO, make).set(ACT_FORM, form).set(ACT_MOLD, mold).set(ACT_COMPARE, datatype::compare_alike);
    datatype::register_row(TYPE_UNSET, 0, "unset!", row);
}

}  // namespace unset
