#include "datatypes/pair.h"

#include <string>

#include "datatypes/datatype.h"
#include "datatypes/point.h"
#include "datatypes/string.h"

namespace pair {

Cell* make_at(Cell* c, int32_t x, int32_t y) {
    c->header = (c->header & ~cell_flag::type_mask) | TYPE_PAIR;
    c->data1 = 0;
    c->data2 = static_cast<uint32_t>(x);
    c->data3 = static_cast<uint32_t>(y);
    return c;
}

int form(const Cell* value, Node buffer, const Cell*, int limit) {
    std::string s = std::to_string(x_of(value)) + "x" + std::to_string(y_of(value));
    string::concatenate_literal_n(buffer, s.data(), s.size());
    return limit - static_cast<int>(s.size());
}

int mold(const Cell* value, Node buffer, bool, bool, bool, const Cell* part, int limit, int) {
    return form(value, buffer, part, limit);
}

int compare(const Cell* a, const Cell* b, int op) {
    if (b->type() == TYPE_POINT2D) {
        Cell p{};
        point2D::make_at(&p, static_cast<float>(x_of(a)), static_cast<float>(y_of(a)));
        return point2D::compare(&p, b, op);
    }
    if (b->type() != TYPE_PAIR) return -2;
    int32_t d1 = x_of(a), d2 = x_of(b);
    if (d1 == d2) {
        d1 = y_of(a);
        d2 = y_of(b);
    }
    return d1 < d2 ? -1 : (d1 > d2 ? 1 : 0);
}

void init() {
    datatype::Row row;
    row.set(ACT_FORM, form).set(ACT_MOLD, mold).set(ACT_COMPARE, compare);
    datatype::register_row(TYPE_PAIR, 0, "pair!", row);
}

}  // namespace pair
