#include "datatypes/percent.h"

#include <string>

#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/float.h"
#include "datatypes/string.h"
#include "runtime/stack.h"

namespace percent {

Cell* make_at(Cell* c, double d) {
    c->header = (c->header & ~cell_flag::type_mask) | TYPE_PERCENT;
    c->data1 = 0;
    c->set_f(d);
    return c;
}

Cell* make_at_bits(Cell* c, uint32_t high, uint32_t low) {
    c->header = (c->header & ~cell_flag::type_mask) | TYPE_PERCENT;
    c->data1 = 0;
    c->data2 = low;
    c->data3 = high;
    return c;
}

Cell* make_in(Node block, uint32_t high, uint32_t low) {
    Cell* c = block::alloc_tail(block);
    c->header = 0;
    return make_at_bits(c, high, low);
}

Cell* push(double d) {
    Cell* c = stack::push_cell();
    c->header = 0;
    return make_at(c, d);
}

Cell* push_bits(uint32_t high, uint32_t low) {
    Cell* c = stack::push_cell();
    c->header = 0;
    return make_at_bits(c, high, low);
}

Cell* box(double d) {
    stack::arguments->header = 0;
    return make_at(stack::arguments, d);
}

int form(const Cell* value, Node buffer, const Cell*, int limit) {
    // A whole percentage has no point: 50%, not 50.0%.
    std::string s = float_::form_float(value->f() * 100.0, float_::kPercent);
    if (s.size() > 3 && s.compare(s.size() - 3, 3, ".0%") == 0) s.erase(s.size() - 3, 2);
    string::concatenate_literal_n(buffer, s.data(), s.size());
    return limit - static_cast<int>(s.size());
}

int mold(const Cell* value, Node buffer, bool, bool, bool, const Cell* part, int limit, int) {
    return form(value, buffer, part, limit);
}

void init() {
    datatype::Row row;
    row.inherit({ACT_MAKE, ACT_RANDOM, ACT_TO, ACT_COMPARE, ACT_ABSOLUTE, ACT_ADD, ACT_DIVIDE, ACT_MULTIPLY, ACT_NEGATE,
                 ACT_POWER, ACT_REMAINDER, ACT_ROUND, ACT_SUBTRACT, ACT_EVEN_Q, ACT_ODD_Q});
    row.set(ACT_FORM, form).set(ACT_MOLD, mold);
    datatype::register_row(TYPE_PERCENT, TYPE_FLOAT, "percent!", row);
}

}  // namespace percent
