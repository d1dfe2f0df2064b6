#include "datatypes/pair.h"

#include <cmath>

#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/float.h"
#include "datatypes/integer.h"
#include "datatypes/number.h"
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

Cell* make_in(Node block, int32_t x, int32_t y) {
    Cell* c = block::alloc_tail(block);
    c->header = 0;
    return make_at(c, x, y);
}

Cell* push(int32_t x, int32_t y) {
    Cell* c = stack::push_cell();
    c->header = 0;
    return make_at(c, x, y);
}

void to_point(int index) {
    Cell* c = stack::arguments + index;
    point2D::make_at(c, static_cast<float>(x_of(c)), static_cast<float>(y_of(c)));
}

int form(const Cell* value, Node buffer, const Cell*, int limit) {
    char text[26];
    int n = integer::form_signed(x_of(value), text);
    text[n++] = 'x';
    n += integer::form_signed(y_of(value), text + n);
    string::concatenate_literal_n(buffer, text, size_t(n));
    return limit - n;
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

// ---- make and to ----

// A float as a component: truncated toward zero; false when NaN or outside the integers.
static bool component_of_float(double f, int32_t* out) { return number::to_int32(f, out); }

Cell* make(Cell* proto, Cell* spec, int) {
    int32_t x = 0, y = 0;
    switch (spec->type()) {
        case TYPE_BLOCK: {
            bool ok = block::rs_length_q(spec) >= 2;
            const Cell* v = ok ? block::rs_head(spec) : nullptr;
            int32_t xy[2] = {0, 0};
            for (int i = 0; ok && i < 2; i++) {
                if (v[i].type() == TYPE_INTEGER)
                    xy[i] = v[i].i1();
                else
                    ok = v[i].type() == TYPE_FLOAT && component_of_float(v[i].f(), xy + i);
            }
            if (!ok) {
                Cell s = *spec;
                fire(err::syntax::malconstruct, &s);
            }
            x = xy[0];
            y = xy[1];
            break;
        }
        case TYPE_STRING: {
            Cell v = number::scan_as(spec, TYPE_PAIR);
            x = x_of(&v);
            y = y_of(&v);
            break;
        }
        case TYPE_PAIR:
            x = x_of(spec);
            y = y_of(spec);
            break;
        case TYPE_INTEGER: x = y = spec->i1(); break;
        case TYPE_FLOAT:
        case TYPE_PERCENT:
            if (!component_of_float(spec->f(), &x)) {
                Cell s = *spec;
                fire(err::script::invalid_arg, &s);
            }
            y = x;
            break;
        case TYPE_POINT2D: {
            float px = point2D::coord(spec, 0), py = point2D::coord(spec, 1);
            if (!component_of_float(px, &x) || !component_of_float(py, &y)) {
                Cell s = *spec;
                fire(err::script::invalid_arg, &s);
            }
            break;
        }
        default: number::fire_bad_to_arg(TYPE_PAIR, spec);
    }
    proto->header = 0;
    return make_at(proto, x, y);
}

// ---- Arithmetic ----

void do_math(int op) {
    Cell* left = stack::arguments;
    Cell* right = left + 1;
    int32_t x2, y2;
    switch (right->type()) {
        case TYPE_PAIR:
            x2 = x_of(right);
            y2 = y_of(right);
            break;
        case TYPE_INTEGER: x2 = y2 = right->i1(); break;
        case TYPE_POINT2D:
            to_point(0);
            point2D::do_math(op);
            return;
        case TYPE_FLOAT:
        case TYPE_PERCENT: {
            double f = right->f();
            if (op == OP_MUL || op == OP_DIV) {
                // A product or quotient with a float leaves the integers.
                if (op == OP_MUL ? float_::special_q(f) : float_::nan_q(f)) {
                    Cell r = *right;
                    fire(err::script::invalid_arg, &r);
                }
                double x = x_of(left), y = y_of(left);
                point2D::make_at(left, static_cast<float>(op == OP_MUL ? x * f : x / f),
                                 static_cast<float>(op == OP_MUL ? y * f : y / f));
                stack::keep();
                return;
            }
            // Any other operation takes the float's whole part, which must be an integer.
            if (float_::special_q(f) || !number::to_int32(f, &x2)) {
                Cell r = *right;
                fire(err::script::invalid_arg, &r);
            }
            y2 = x2;
            break;
        }
        default: number::fire_invalid_type(right);
    }
    // Both components go through the integer routine before a float restart, so a zero or
    // overflowing divisor in y raises even when x has already left the integers.
    Cell rx{}, ry{};
    int32_t x = integer::do_math(x_of(left), x2, op, &rx);
    int32_t y = integer::do_math(y_of(left), y2, op, &ry);
    if (rx.type() != TYPE_INTEGER || ry.type() != TYPE_INTEGER) {
        // Out of the integers: the whole operation again on points.
        make_at(right, x2, y2);
        to_point(0);
        to_point(1);
        point2D::do_math(op);
        return;
    }
    make_at(left, x, y);
    stack::keep();
}

static void add(const int32_t*) { do_math(OP_ADD); }
static void subtract(const int32_t*) { do_math(OP_SUB); }
static void multiply(const int32_t*) { do_math(OP_MUL); }
static void divide(const int32_t*) { do_math(OP_DIV); }
static void remainder(const int32_t*) { do_math(OP_REM); }
static void and_(const int32_t*) { do_math(OP_AND); }
static void or_(const int32_t*) { do_math(OP_OR); }
static void xor_(const int32_t*) { do_math(OP_XOR); }

// A component of -2147483648 has no integer negation: the pair leaves the integers for the point
// of the true negation, as its arithmetic does on overflow, instead of keeping the wrong sign.
void negate(const int32_t* refs) {
    Cell* v = stack::arguments;
    if (x_of(v) == INT32_MIN || y_of(v) == INT32_MIN) {
        to_point(0);
        point2D::negate(refs);
        return;
    }
    make_at(v, -x_of(v), -y_of(v));
}

static void absolute(const int32_t*) {
    Cell* v = stack::arguments;
    make_at(v, integer::abs(x_of(v)), integer::abs(y_of(v)));
}

// No refinement applies: the components swap.
static void reverse(const int32_t*) {
    Cell* v = stack::arguments;
    make_at(v, y_of(v), x_of(v));
}

// Each component rounds as an integer! does, with the same refinements; a pair scale gives each
// component its own scale.
static void round(const int32_t* refs) {
    Cell* args = stack::arguments;
    Cell* scale = refs[0] >= 0 ? args + refs[0] : nullptr;
    if (scale && scale->type() == TYPE_MONEY) number::fire_not_related_call(TYPE_MONEY);
    const Cell pair = *args;
    const Cell saved_scale = scale ? *scale : pair;
    int32_t out[2];
    for (int i = 0; i < 2; i++) {
        integer::make_at(args, i == 0 ? x_of(&pair) : y_of(&pair));
        if (scale && saved_scale.type() == TYPE_PAIR)
            integer::make_at(scale, i == 0 ? x_of(&saved_scale) : y_of(&saved_scale));
        integer::round(refs);
        if (args->type() == TYPE_INTEGER) {
            out[i] = args->i1();
        } else if (!number::to_int32(args->f(), out + i)) {
            *args = pair;
            fire(err::math::overflow);
        }
        if (scale) *scale = saved_scale;
    }
    *args = pair;
    make_at(args, out[0], out[1]);
}

// Each non-zero component c becomes 1 .. c (c .. -1 when negative).
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

// ---- Components ----

static const symbol::Known sym_x("x"), sym_y("y");

// The component an element names: 1 for x, 2 for y, 0 for none.
static int component_of(const Cell* element) {
    if (element->type() == TYPE_INTEGER) {
        int32_t i = element->i1();
        return i == 1 || i == 2 ? i : 0;
    }
    if (element->type() == TYPE_WORD) {
        if (sym_x.is(element)) return 1;
        if (sym_y.is(element)) return 2;
    }
    return 0;
}

Cell* eval_path(PathStep& step, Cell* out) {
    int k = component_of(step.element);
    if (!k) {
        Cell p = step.path ? *step.path : *step.value, e = *step.element;
        fire(err::script::invalid_path, &p, &e);
    }
    if (!step.store) return integer::make_at(out, k == 1 ? x_of(step.value) : y_of(step.value));
    if (step.store->type() != TYPE_INTEGER) number::fire_invalid_type(step.store);
    // The change is made in the cell given; the path walk stores the pair back where it was read
    // from, and that place's owner hears of it there.
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
        if (i.type() == TYPE_WORD) {
            Cell v = *p;
            fire(err::script::cannot_use, &i, &v);
        }
        fire(err::script::out_of_range, &i);
    }
    integer::make_at(p, k == 1 ? x_of(p) : y_of(p));
    stack::keep();
}

void init() {
    datatype::Row row;
    row.set(ACT_MAKE, make)
        .set(ACT_RANDOM, random)
        .set(ACT_TO, make)
        .set(ACT_FORM, form)
        .set(ACT_MOLD, mold)
        .set(ACT_EVAL_PATH, eval_path)
        .set(ACT_COMPARE, compare)
        .set(ACT_ABSOLUTE, absolute)
        .set(ACT_ADD, add)
        .set(ACT_DIVIDE, divide)
        .set(ACT_MULTIPLY, multiply)
        .set(ACT_NEGATE, negate)
        .set(ACT_REMAINDER, remainder)
        .set(ACT_ROUND, round)
        .set(ACT_SUBTRACT, subtract)
        .set(ACT_AND_T, and_)
        .set(ACT_OR_T, or_)
        .set(ACT_XOR_T, xor_)
        .set(ACT_PICK, pick)
        .set(ACT_REVERSE, reverse);
    datatype::register_row(TYPE_PAIR, 0, "pair!", row);
}

}  // namespace pair
