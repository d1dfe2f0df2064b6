#include "datatypes/point.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/number.h"
#include "datatypes/pair.h"
#include "datatypes/float.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "runtime/fire.h"
#include "runtime/dtoa.h"
#include "runtime/hashtable.h"
#include "services/random.h"
#include "runtime/stack.h"

namespace point2D {

// Whether the text of a float's magnitude loads back as that float: the loader reads a double
// and rounds it to single precision, a double past the largest float by half a step or more
// being an infinity.
static bool reads_back(const char* first, const char* last, float magnitude) {
    int left = 0;
    double d = dtoa::strtod(first, last, 0, &left);
    if (d > double(std::numeric_limits<float>::max()))
        return magnitude == std::numeric_limits<float>::max() && d < 3.4028235677973366e38;
    return static_cast<float>(d) == magnitude;
}

// A coordinate: the shortest digits that read back to the same 32-bit float, in fixed notation
// from 1e-4 to below 1e7 and as d.ddde<exp> outside; a whole number ends in ".0", and both zeros
// are "0.0". Infinities and NaN: "1.#INF", "-1.#INF", "1.#NaN".
static std::string coordinate_text(float v) {
    if (std::isnan(v)) return "1.#NaN";
    if (std::isinf(v)) return v < 0 ? "-1.#INF" : "1.#INF";
    if (v == 0) return "0.0";
    char buf[64];
    const float magnitude = std::fabs(v);
    std::to_chars_result r = std::to_chars(buf, buf + sizeof buf, magnitude, std::chars_format::scientific);
    // The loader reads a double and rounds that to single precision. A few shortest texts lie
    // so near the midpoint to a neighbour that their double is the midpoint and rounds to the
    // neighbour (7.038531e-26): they get more digits, and nine always read back.
    int digits = 0;
    for (const char* q = buf; q < r.ptr && *q != 'e'; q++) digits += *q != '.';
    while (digits < 9 && !reads_back(buf, r.ptr, magnitude))
        r = std::to_chars(buf, buf + sizeof buf, magnitude, std::chars_format::scientific, digits++);
    *r.ptr = 0;
    std::string mant;
    const char* p = buf;
    for (; *p && *p != 'e'; p++)
        if (*p != '.') mant.push_back(*p);
    while (mant.size() > 1 && mant.back() == '0') mant.pop_back();
    int exp10 = std::atoi(p + 1);
    int n = static_cast<int>(mant.size());
    std::string out;
    if (std::signbit(v)) out.push_back('-');
    if (exp10 < -4 || exp10 >= 7) {
        out.push_back(mant[0]);
        out.push_back('.');
        out.append(n > 1 ? mant.substr(1) : std::string("0"));
        out.push_back('e');
        out.append(std::to_string(exp10));
    } else if (exp10 >= 0) {
        if (n > exp10 + 1) {
            out.append(mant, 0, size_t(exp10) + 1);
            out.push_back('.');
            out.append(mant, size_t(exp10) + 1, std::string::npos);
        } else {
            out.append(mant);
            out.append(size_t(exp10 + 1 - n), '0');
            out.append(".0");
        }
    } else {
        out.append("0.");
        out.append(size_t(-exp10 - 1), '0');
        out.append(mant);
    }
    return out;
}


Cell* make_at(Cell* c, float x, float y) {
    c->header = (c->header & ~cell_flag::type_mask) | TYPE_POINT2D;
    set_coord(c, 0, x);
    set_coord(c, 1, y);
    c->data3 = 0;
    return c;
}

Cell* make_in(Node block, float x, float y) { return make_at(block::alloc_tail(block), x, y); }

Cell* push(float x, float y) {
    Cell* c = stack::push_cell();
    c->header = 0;
    return make_at(c, x, y);
}

float number_to_float(const Cell* number) {
    return number->type() == TYPE_INTEGER ? static_cast<float>(number->i1()) : static_cast<float>(number->f());
}

static int count_of(const Cell* point) { return point->type() == TYPE_POINT3D ? 3 : 2; }

// The coordinates of a and b compare under an operator; n is 2 or 3. Loose equality is the
// single-precision one, relative to the coordinates' magnitude: tiny coordinates stay distinct.
int compare_coords(const Cell* a, const Cell* b, int n, int op) {
    switch (op) {
        case COMP_EQUAL:
        case COMP_NOT_EQUAL:
        case COMP_EQUAL_FIND:
        case COMP_FIND:
            for (int i = 0; i < n; i++)
                if (!float32::almost_equal_q(coord(a, i), coord(b, i))) return 1;
            return 0;
        case COMP_STRICT_EQUAL:
        case COMP_STRICT_EQUAL_WORD:
            for (int i = 0; i < n; i++)
                if (!(coord(a, i) == coord(b, i))) return 1;
            return 0;
        case COMP_SAME:
            for (int i = 0; i < n; i++)
                if (word_of(a, i) != word_of(b, i)) return 1;
            return 0;
        default: {
            float d = 0;
            for (int i = 0; i < n; i++) {
                float x = coord(a, i), y = coord(b, i);
                if (float32::almost_equal_q(x, y)) continue;
                d = x - y;
                break;
            }
            return d < 0 ? -1 : (d > 0 ? 1 : 0);
        }
    }
}

int write_coords(const Cell* value, int n, Node buffer, int limit) {
    std::string s = "(";
    for (int i = 0; i < n; i++) {
        if (i) s += ", ";
        s += coordinate_text(coord(value, i));
    }
    s += ")";
    string::concatenate_literal_n(buffer, s.data(), s.size());
    return limit - static_cast<int>(s.size());
}

int form(const Cell* value, Node buffer, const Cell*, int limit) { return write_coords(value, 2, buffer, limit); }

int mold(const Cell* value, Node buffer, bool, bool, bool, const Cell*, int limit, int) {
    return write_coords(value, 2, buffer, limit);
}

int compare(const Cell* a, const Cell* b, int op) {
    if (b->type() == TYPE_PAIR) {
        Cell p{};
        make_at(&p, static_cast<float>(pair::x_of(b)), static_cast<float>(pair::y_of(b)));
        return compare_coords(a, &p, 2, op);
    }
    if (b->type() != TYPE_POINT2D) return -2;
    return compare_coords(a, b, 2, op);
}

// Shared by both point types: n is 2 or 3.
void random_coords(int n, const int32_t* refs) {
    Cell* v = stack::arguments;
    if (refs[0] >= 0) {
        uint8_t bytes[12];
        for (int i = 0; i < n; i++) std::memcpy(bytes + 4 * i, &word_of(v, i), 4);
        random_::seed(hashtable::murmur3(bytes, uint32_t(n) * 4));
        set_cell(v, TYPE_UNSET);
        return;
    }
    bool secure = refs[1] >= 0;
    for (int i = 0; i < n; i++) {
        float c = coord(v, i);
        if (c != 0) set_coord(v, i, static_cast<float>(float_::random_value(c, secure)));
    }
}

void random(const int32_t* refs) { random_coords(2, refs); }


// ---- Actions shared by both point types ----

static void store(Cell* c, int type, const float* xyz) {
    if (type == TYPE_POINT3D)
        point3D::make_at(c, xyz[0], xyz[1], xyz[2]);
    else
        make_at(c, xyz[0], xyz[1]);
}

Cell* make(Cell* proto, Cell* spec, int type) {
    const int n = type == TYPE_POINT3D ? 3 : 2;
    float xyz[3] = {0, 0, 0};
    switch (spec->type()) {
        case TYPE_INTEGER:
        case TYPE_FLOAT:
        case TYPE_PERCENT: xyz[0] = xyz[1] = xyz[2] = number_to_float(spec); break;
        case TYPE_BLOCK: {
            bool ok = block::rs_length_q(spec) >= n;
            const Cell* v = block::rs_head(spec);
            for (int i = 0; ok && i < n; i++) {
                if (v[i].type() != TYPE_INTEGER && v[i].type() != TYPE_FLOAT)
                    ok = false;
                else
                    xyz[i] = number_to_float(v + i);
            }
            if (!ok) {
                Cell s = *spec;
                fire(err::syntax::malconstruct, &s);
            }
            break;
        }
        case TYPE_PAIR:
            xyz[0] = static_cast<float>(pair::x_of(spec));
            xyz[1] = static_cast<float>(pair::y_of(spec));
            break;
        case TYPE_POINT2D:
            xyz[0] = coord(spec, 0);
            xyz[1] = coord(spec, 1);
            break;
        case TYPE_POINT3D:
            if (n == 2) number::fire_bad_to_arg(type, spec);
            for (int i = 0; i < 3; i++) xyz[i] = coord(spec, i);
            break;
        case TYPE_STRING: {
            Cell v = number::scan_as(spec, type);
            for (int i = 0; i < n; i++) xyz[i] = coord(&v, i);
            break;
        }
        default: number::fire_bad_to_arg(type, spec);
    }
    proto->header = 0;
    store(proto, type, xyz);
    return proto;
}

void do_math(int op) {
    Cell* left = stack::arguments;
    const Cell* right = left + 1;
    const int n = count_of(left);
    float other[3];
    switch (right->type()) {
        case TYPE_INTEGER: other[0] = other[1] = other[2] = number_to_float(right); break;
        case TYPE_FLOAT:
        case TYPE_PERCENT: {
            double f = right->f();
            if (op == OP_MUL || op == OP_DIV) {
                // A scalar factor or divisor applies to each coordinate unrounded.
                for (int i = 0; i < n; i++) {
                    double c = coord(left, i);
                    set_coord(left, i, static_cast<float>(op == OP_MUL ? c * f : c / f));
                }
                stack::keep();
                return;
            }
            other[0] = other[1] = other[2] = static_cast<float>(f);
            break;
        }
        case TYPE_PAIR:
            if (n != 2) number::fire_invalid_type(right);
            other[0] = static_cast<float>(pair::x_of(right));
            other[1] = static_cast<float>(pair::y_of(right));
            break;
        case TYPE_POINT2D:
        case TYPE_POINT3D:
            if (right->type() != left->type()) number::fire_invalid_type(right);
            for (int i = 0; i < n; i++) other[i] = coord(right, i);
            break;
        default: number::fire_invalid_type(right);
    }
    for (int i = 0; i < n; i++)
        set_coord(left, i, static_cast<float>(float_::do_math_op(coord(left, i), other[i], op)));
    stack::keep();
}

static void add(const int32_t*) { do_math(OP_ADD); }
static void subtract(const int32_t*) { do_math(OP_SUB); }
static void multiply(const int32_t*) { do_math(OP_MUL); }
static void divide(const int32_t*) { do_math(OP_DIV); }
static void remainder(const int32_t*) { do_math(OP_REM); }

void negate(const int32_t*) {
    Cell* v = stack::arguments;
    for (int i = 0, n = count_of(v); i < n; i++) set_coord(v, i, -coord(v, i));
}

void absolute(const int32_t*) {
    Cell* v = stack::arguments;
    for (int i = 0, n = count_of(v); i < n; i++) set_coord(v, i, std::fabs(coord(v, i)));
}

// point2D! swaps x and y, point3D! x and z.
void reverse(const int32_t*) {
    Cell* v = stack::arguments;
    int last = count_of(v) - 1;
    float first = coord(v, 0);
    set_coord(v, 0, coord(v, last));
    set_coord(v, last, first);
}

void round(const int32_t* refs) {
    Cell* v = stack::arguments;
    const int n = count_of(v);
    const Cell* scale = refs[0] >= 0 ? stack::arguments + refs[0] : nullptr;
    double s[3] = {1.0, 1.0, 1.0};
    if (scale) {
        switch (scale->type()) {
            case TYPE_MONEY: number::fire_not_related_call(TYPE_MONEY);
            case TYPE_INTEGER: s[0] = s[1] = s[2] = std::fabs(double(scale->i1())); break;
            case TYPE_FLOAT:
            case TYPE_PERCENT:
            case TYPE_TIME: s[0] = s[1] = s[2] = std::fabs(scale->f()); break;
            case TYPE_PAIR:
                if (n != 2) number::fire_expect_arg_named(scale, "scale");
                s[0] = std::fabs(double(pair::x_of(scale)));
                s[1] = std::fabs(double(pair::y_of(scale)));
                break;
            case TYPE_POINT2D:
            case TYPE_POINT3D:
                // Each coordinate by the scale's matching one, so the scale has the same count.
                if (scale->type() != v->type()) number::fire_expect_arg_named(scale, "scale");
                for (int i = 0; i < n; i++) s[i] = std::fabs(double(coord(scale, i)));
                break;
            default: number::fire_expect_arg_named(scale, "scale");
        }
    }
    float_::RoundMode mode = float_::round_mode(refs);
    float r[3];
    for (int i = 0; i < n; i++) r[i] = static_cast<float>(float_::round_to(coord(v, i), s[i], mode));
    for (int i = 0; i < n; i++) set_coord(v, i, r[i]);
}

static const symbol::Known sym_x("x"), sym_y("y"), sym_z("z");

// The coordinate (1 .. n) that an index or a coordinate word names; 0 for none.
static int coordinate_of(const Cell* element, int n) {
    if (element->type() == TYPE_INTEGER) {
        int32_t i = element->i1();
        return i >= 1 && i <= n ? i : 0;
    }
    if (element->type() == TYPE_WORD) {
        if (sym_x.is(element)) return 1;
        if (sym_y.is(element)) return 2;
        if (n == 3 && sym_z.is(element)) return 3;
    }
    return 0;
}

void pick(const int32_t*) {
    Cell* v = stack::arguments;
    const Cell* index = v + 1;
    int k = coordinate_of(index, count_of(v));
    if (!k) {
        Cell i = *index;
        if (i.type() == TYPE_WORD) {
            Cell p = *v;
            fire(err::script::cannot_use, &i, &p);
        }
        fire(err::script::out_of_range, &i);
    }
    float_::make_at(v, coord(v, k - 1));
    stack::keep();
}

Cell* eval_path(PathStep& step, Cell* out) {
    Cell* v = step.value;
    int k = coordinate_of(step.element, count_of(v));
    if (!k) {
        Cell p = step.path ? *step.path : *v, e = *step.element;
        fire(err::script::invalid_path, &p, &e);
    }
    if (!step.store) return float_::make_at(out, coord(v, k - 1));
    const Cell* value = step.store;
    if (value->type() != TYPE_INTEGER && value->type() != TYPE_FLOAT) number::fire_invalid_type(value);
    // The change is made in the cell given; the path walk stores the point back where it was
    // read from, and that place's owner hears of it there.
    set_coord(v, k - 1, number_to_float(value));
    *out = *value;
    return out;
}

static datatype::Row action_row() {
    datatype::Row row;
    row.set(ACT_MAKE, make)
        .set(ACT_TO, make)
        .set(ACT_EVAL_PATH, eval_path)
        .set(ACT_ABSOLUTE, absolute)
        .set(ACT_ADD, add)
        .set(ACT_DIVIDE, divide)
        .set(ACT_MULTIPLY, multiply)
        .set(ACT_NEGATE, negate)
        .set(ACT_REMAINDER, remainder)
        .set(ACT_ROUND, round)
        .set(ACT_SUBTRACT, subtract)
        .set(ACT_PICK, pick)
        .set(ACT_REVERSE, reverse);
    return row;
}

void init() {
    datatype::Row row = action_row();
    row.set(ACT_RANDOM, random).set(ACT_FORM, form).set(ACT_MOLD, mold).set(ACT_COMPARE, compare);
    datatype::register_row(TYPE_POINT2D, 0, "point2D!", row);
}

}  // namespace point2D

namespace point3D {

Cell* make_at(Cell* c, float x, float y, float z) {
    c->header = (c->header & ~cell_flag::type_mask) | TYPE_POINT3D;
    point2D::set_coord(c, 0, x);
    point2D::set_coord(c, 1, y);
    point2D::set_coord(c, 2, z);
    return c;
}

Cell* make_in(Node block, float x, float y, float z) { return make_at(block::alloc_tail(block), x, y, z); }

Cell* push(float x, float y, float z) {
    Cell* c = stack::push_cell();
    c->header = 0;
    return make_at(c, x, y, z);
}

int form(const Cell* value, Node buffer, const Cell*, int limit) { return point2D::write_coords(value, 3, buffer, limit); }

int mold(const Cell* value, Node buffer, bool, bool, bool, const Cell*, int limit, int) {
    return point2D::write_coords(value, 3, buffer, limit);
}

int compare(const Cell* a, const Cell* b, int op) {
    if (b->type() != TYPE_POINT3D) return -2;
    return point2D::compare_coords(a, b, 3, op);
}

void random(const int32_t* refs) { point2D::random_coords(3, refs); }

void init() {
    datatype::Row row = point2D::action_row();
    row.set(ACT_RANDOM, random).set(ACT_FORM, form).set(ACT_MOLD, mold).set(ACT_COMPARE, compare);
    datatype::register_row(TYPE_POINT3D, 0, "point3D!", row);
}

}  // namespace point3D
