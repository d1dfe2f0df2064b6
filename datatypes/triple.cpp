#include "datatypes/triple.h"

#include <string>

#include "datatypes/datatype.h"
#include "datatypes/string.h"
#include "runtime/stack.h"

namespace triple {

Cell* make_at(Cell* c, int32_t a, int32_t b, int32_t c3) {
    return set_cell(c, TYPE_TRIPLE, static_cast<uint32_t>(a), static_cast<uint32_t>(b), static_cast<uint32_t>(c3));
}

Cell* push(int32_t a, int32_t b, int32_t c3) { return make_at(stack::push_cell(), a, b, c3); }

int form(const Cell* value, Node buffer, const Cell*, int limit) {
    std::string s = "make triple! [" + std::to_string(value->i1()) + " " + std::to_string(value->i2()) + " " +
                    std::to_string(value->i3()) + "]";
    string::concatenate_literal_n(buffer, s.data(), s.size());
    return limit - static_cast<int>(s.size());
}

int mold(const Cell* value, Node buffer, bool, bool, bool, const Cell* part, int limit, int) {
    return form(value, buffer, part, limit);
}

void init() {
    datatype::Row row;
    row.set(ACT_FORM, form).set(ACT_MOLD, mold);
    datatype::register_row(TYPE_TRIPLE, 0, "triple!", row);
}

}  // namespace triple
