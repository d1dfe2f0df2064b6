#include "runtime/typecheck.h"

#include "datatypes/number.h"
#include "datatypes/typeset.h"
#include "runtime/stack.h"

namespace typecheck {

Cell* arg(const Cell* ts, int index, Cell* value) {
    if (!typeset::has(ts, value->type())) number::fire_expect_arg(value, index);
    return value;
}

void opt_arg(int position, const Cell* ts, int index) {
    if (position == -1) return;
    arg(ts, index, stack::arguments + position);
}

Cell* ref_arg(const Cell* refinement, const Cell* ts, int index, Cell* value) {
    if (refinement->data1) arg(ts, index, value);
    return value;
}

Cell* not_unset(int index, Cell* value) {
    if (value->type() == TYPE_UNSET) number::fire_expect_arg(value, index);
    return value;
}

}  // namespace typecheck
