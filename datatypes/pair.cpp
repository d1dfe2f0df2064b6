#include "datatypes/pair.h"

#include <string>

#include "datatypes/datatype.h"
#include "datatypes/point.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "runtime/fire.h"
#include "services/random.h"
#include "runtime/stack.h"

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

// The component an element names: 1 for x, 2 for y, 0 for none.
static int component_of(const Cell* element) {
    if (element->type() == TYPE_INTEGER) {
        int32_t i = int_of(element);
        return i == 1 || i == 2 ? i : 0;
    }
    if (element->type() == TYPE_WORD) {
        int32_t s = symbol::resolve(static_cast<int32_t>(element->data2));
        if (s == symbol::resolve(symbol::make("x"))) return 1;
        if (s == symbol::resolve(symbol::make("y"))) return 2;
    }
    return 0;
}

Cell* eval_path(PathStep& step, Cell* out) {
    int k = component_of(step.element);
    if (!k) {
        Cell e = *step.element, p;
        if (step.path)
            p = *step.path;
        else
            p = *step.value;
        fire(err::script::invalid_path, &e, &p);
    }
    if (!step.store) return set_cell(out, TYPE_INTEGER, static_cast<uint32_t>(k == 1 ? x_of(step.value) : y_of(step.value)));
    if (step.store->type() != TYPE_INTEGER) {
        Cell t;
        datatype::make_at(&t, step.store->type());
        fire(err::script::invalid_type, &t);
    }
    if (k == 1)
        step.value->data2 = step.store->data1;
    else
        step.value->data3 = step.store->data1;
    *out = *step.store;
    return out;
}

static void pick(const int32_t*) {
    Cell* p = stack::arguments;
    int k = component_of(p + 1);
    if (!k) {
        Cell i = p[1];
        fire(err::script::out_of_range, &i);
    }
    set_cell(p, TYPE_INTEGER, static_cast<uint32_t>(k == 1 ? x_of(p) : y_of(p)));
    stack::keep();
}

// Each component drawn as integer! random draws it; a zero component stays 0.
void random(const int32_t* refs) {
    Cell* v = stack::arguments;
    if (refs[0] >= 0) {
        random_::seed(v->data2 ^ v->data3);
        set_cell(v, TYPE_UNSET);
        return;
    }
    bool secure = refs[1] >= 0;
    v->data2 = static_cast<uint32_t>(random_::int_(secure, x_of(v)));
    v->data3 = static_cast<uint32_t>(random_::int_(secure, y_of(v)));
}

void init() {
    datatype::Row row;
    row.set(ACT_RANDOM, random).set(ACT_FORM, form).set(ACT_MOLD, mold).set(ACT_COMPARE, compare).set(ACT_EVAL_PATH, eval_path).set(ACT_PICK, pick);
    datatype::register_row(TYPE_PAIR, 0, "pair!", row);
}

}  // namespace pair
