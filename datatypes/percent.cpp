#include "datatypes/percent.h"

#include <string>

#include "datatypes/datatype.h"
#include "datatypes/number_text.h"
#include "datatypes/string.h"

namespace percent {

Cell* make_at(Cell* c, double d) {
    c->header = (c->header & ~cell_flag::type_mask) | TYPE_PERCENT;
    c->data1 = 0;
    c->set_f(d);
    return c;
}

int form(const Cell* value, Node buffer, const Cell*, int limit) {
    std::string s = number_text::form_float(value->f() * 100.0, number_text::KIND_PERCENT);
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
