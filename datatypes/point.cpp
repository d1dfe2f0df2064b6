#include "datatypes/point.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string>

#include "datatypes/datatype.h"
#include "datatypes/pair.h"
#include "datatypes/float.h"
#include "datatypes/string.h"
#include "runtime/hashtable.h"
#include "services/random.h"
#include "runtime/stack.h"

namespace point2D {

// A coordinate: the shortest digits that read back to the same 32-bit float, in fixed notation
// from 1e-4 to below 1e7 and as d.ddde<exp> outside; a whole number ends in ".0", and both zeros
// are "0.0". Infinities and NaN: "1.#INF", "-1.#INF", "1.#NaN".
static std::string coordinate_text(float v) {
    if (std::isnan(v)) return "1.#NaN";
    if (std::isinf(v)) return v < 0 ? "-1.#INF" : "1.#INF";
    if (v == 0) return "0.0";
    char buf[64];
    std::to_chars_result r = std::to_chars(buf, buf + sizeof buf, std::fabs(v), std::chars_format::scientific);
    *r.ptr = 0;
    std::string mant;
    const char* p = buf;
    for (; *p && *p != 'e'; p++)
        if (*p != '.') mant.push_back(*p);
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

// Distance of two floats in representable steps, through their ordered integer images.
static int64_t ulp_distance(float a, float b) {
    int32_t ia, ib;
    std::memcpy(&ia, &a, 4);
    std::memcpy(&ib, &b, 4);
    int64_t oa = ia < 0 ? int64_t(INT32_MIN) - ia : ia;
    int64_t ob = ib < 0 ? int64_t(INT32_MIN) - ib : ib;
    return oa > ob ? oa - ob : ob - oa;
}

bool almost_equal(float a, float b) {
    if (a == b) return true;
    if (std::isnan(a) || std::isnan(b) || std::isinf(a) || std::isinf(b)) return false;
    if (std::fabs(a - b) <= 1.1920929e-07f) return true;  // near zero the steps are too fine
    return ulp_distance(a, b) <= 4;
}

// The coordinates of a and b compare under an operator; n is 2 or 3.
int compare_coords(const Cell* a, const Cell* b, int n, int op) {
    switch (op) {
        case COMP_EQUAL:
        case COMP_NOT_EQUAL:
        case COMP_EQUAL_FIND:
        case COMP_FIND:
            for (int i = 0; i < n; i++)
                if (!almost_equal(coord(a, i), coord(b, i))) return 1;
            return 0;
        case COMP_STRICT_EQUAL:
        case COMP_STRICT_EQUAL_WORD:
            for (int i = 0; i < n; i++)
                if (!(coord(a, i) == coord(b, i))) return 1;
            return 0;
        case COMP_SAME:
            for (int i = 0; i < n; i++)
                if ((&a->data1)[i] != (&b->data1)[i]) return 1;
            return 0;
        default: {
            float d = 0;
            for (int i = 0; i < n; i++) {
                float x = coord(a, i), y = coord(b, i);
                if (almost_equal(x, y)) continue;
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
        random_::seed(hashtable::murmur3(reinterpret_cast<const uint8_t*>(&v->data1), uint32_t(n) * 4));
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

void init() {
    datatype::Row row;
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
    datatype::Row row;
    row.set(ACT_RANDOM, random).set(ACT_FORM, form).set(ACT_MOLD, mold).set(ACT_COMPARE, compare);
    datatype::register_row(TYPE_POINT3D, 0, "point3D!", row);
}

}  // namespace point3D
