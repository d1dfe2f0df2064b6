#include "datatypes/tuple.h"

#include <cstring>
#include <string>

#include "datatypes/datatype.h"
#include "datatypes/string.h"
#include "services/random.h"
#include "runtime/stack.h"

namespace tuple {

Cell* make_at(Cell* c, const uint8_t* bytes, int n) {
    if (n > 12) n = 12;
    int count = n < 3 ? 3 : n;
    uint32_t flags = c->header & ~(cell_flag::type_mask | count_mask);
    c->header = flags | TYPE_TUPLE | (uint32_t(count) << count_shift);
    c->data1 = c->data2 = c->data3 = 0;
    if (n > 0) std::memcpy(bytes_of(c), bytes, size_t(n));
    return c;
}

int form(const Cell* value, Node buffer, const Cell*, int limit) {
    std::string s;
    int n = count_of(value);
    const uint8_t* b = bytes_of(value);
    for (int i = 0; i < n; i++) {
        if (i) s.push_back('.');
        s += std::to_string(b[i]);
    }
    string::concatenate_literal_n(buffer, s.data(), s.size());
    return limit - static_cast<int>(s.size());
}

int mold(const Cell* value, Node buffer, bool, bool, bool, const Cell* part, int limit, int) {
    return form(value, buffer, part, limit);
}

int compare(const Cell* a, const Cell* b, int) {
    if (b->type() != TYPE_TUPLE) return -2;
    int n1 = count_of(a), n2 = count_of(b);
    int n = n1 > n2 ? n1 : n2;
    const uint8_t* x = bytes_of(a);
    const uint8_t* y = bytes_of(b);
    for (int i = 0; i < n; i++) {
        int u = i < n1 ? x[i] : 0;
        int v = i < n2 ? y[i] : 0;
        if (u != v) return u < v ? -1 : 1;
    }
    return 0;
}

// Each byte b becomes 0 .. b.
void random(const int32_t* refs) {
    Cell* v = stack::arguments;
    if (refs[0] >= 0) {
        random_::seed(v->data1 ^ v->data2 ^ v->data3);
        set_cell(v, TYPE_UNSET);
        return;
    }
    bool secure = refs[1] >= 0;
    uint8_t* b = bytes_of(v);
    for (int i = 0, n = count_of(v); i < n; i++) b[i] = static_cast<uint8_t>(random_::int_(secure, b[i] + 1) - 1);
}

void init() {
    datatype::Row row;
    row.set(ACT_RANDOM, random).set(ACT_FORM, form).set(ACT_MOLD, mold).set(ACT_COMPARE, compare);
    datatype::register_row(TYPE_TUPLE, 0, "tuple!", row);
}

}  // namespace tuple
