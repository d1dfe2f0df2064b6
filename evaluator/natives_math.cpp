#include "evaluator/natives_math.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "datatypes/datatype.h"
#include "datatypes/money.h"
#include "datatypes/point.h"
#include "datatypes/tuple.h"
#include "datatypes/word.h"
#include "evaluator/actions.h"
#include "evaluator/natives.h"
#include "runtime/fire.h"
#include "runtime/stack.h"

namespace math {

constexpr double kPi = 3.141592653589793;

double degrees_to_radians(double degrees, int mode) {
    double b = std::fmod(degrees, 360.0);
    if (b > 180.0 || b < -180.0) b += b >= 0 ? -360.0 : 360.0;
    if (b > 90.0 || b < -90.0) {
        if (mode == 0)
            b += b >= 0 ? -180.0 : 180.0;
        else if (mode == 2)
            b = b >= 0 ? 180.0 - b : -180.0 - b;
    }
    return b * kPi / 180.0;
}

}  // namespace math

namespace natives {

enum : int {
    N_NEGATIVE = 49, N_POSITIVE, N_MAX, N_MIN, N_SHIFT, N_SINE = 55, N_COSINE, N_TANGENT, N_ARCSINE, N_ARCCOSINE,
    N_ARCTANGENT, N_ARCTANGENT2, N_NAN, N_LOG_2, N_LOG_10, N_LOG_E, N_EXP, N_SQUARE_ROOT, N_SIGN = 97, N_ZERO = 100,
};

constexpr double kEpsilon = 2.220446049250313e-16;

// The bytes of a tuple (never more than a cell holds, whatever its header says), and the
// coordinates of points, addressed through the cell's bytes: payload word k at byte 4k.
static int tuple_bytes(const Cell* t) { return std::min(tuple::count_of(t), 12); }
static uint8_t* payload(Cell* c) { return reinterpret_cast<uint8_t*>(c) + 4; }
static const uint8_t* payload(const Cell* c) { return reinterpret_cast<const uint8_t*>(c) + 4; }
static float coord(const Cell* c, int i) {
    float f;
    std::memcpy(&f, payload(c) + 4 * i, sizeof f);
    return f;
}
static void set_coord(Cell* c, int i, float f) { std::memcpy(payload(c) + 4 * i, &f, sizeof f); }


[[noreturn]] static void expect_arg(const Cell* value, const char* argument) {
    Cell name, type, arg;
    stack::get_call_name(&name);
    datatype::make_at(&type, value->type());
    word::load(&arg, argument);
    fire(err::script::expect_arg, &name, &type, &arg);
}

// The double of a numeric argument: integer! converted, float!, percent! and time! as they are.
static double number_of(const Cell* c) { return c->type() == TYPE_INTEGER ? double(c->i1()) : c->f(); }

// Turns an integer! or percent! argument into a float! in place and answers its double.
static double to_float_cell(Cell* c) {
    double d = number_of(c);
    set_cell(c, TYPE_FLOAT);
    c->set_f(d);
    return d;
}

// ---- Sign tests ----

// -1, 0 or 1 for a number, money or time; NaN counts as 0.
static int sign_of(const Cell* v, const char* argument) {
    switch (v->type()) {
        case TYPE_MONEY: return money::zero_q(v) ? 0 : (money::negative_q(v) ? -1 : 1);
        case TYPE_INTEGER: return (v->i1() > 0) - (v->i1() < 0);
        case TYPE_FLOAT:
        case TYPE_PERCENT:
        case TYPE_TIME: {
            double d = v->f();
            return (d > 0.0) - (d < 0.0);
        }
        default: expect_arg(v, argument);
    }
}

void negative_q(int check, const int32_t* refs) {
    if (check) check_args(N_NEGATIVE, refs);
    set_logic(sign_of(stack::arguments, "number") < 0);
}

void positive_q(int check, const int32_t* refs) {
    if (check) check_args(N_POSITIVE, refs);
    set_logic(sign_of(stack::arguments, "number") > 0);
}

void sign_q(int check, const int32_t* refs) {
    if (check) check_args(N_SIGN, refs);
    set_integer(sign_of(stack::arguments, "number"));
}

void zero_q(int check, const int32_t* refs) {
    if (check) check_args(N_ZERO, refs);
    const Cell* v = stack::arguments;
    bool zero = false;
    switch (v->type()) {
        case TYPE_MONEY: zero = money::zero_q(v); break;
        case TYPE_CHAR:
        case TYPE_INTEGER: zero = v->i1() == 0; break;
        case TYPE_TIME:
        case TYPE_PERCENT:
        case TYPE_FLOAT: zero = v->f() == 0.0; break;
        case TYPE_PAIR: zero = v->i2() == 0 && v->i3() == 0; break;
        case TYPE_POINT2D: zero = coord(v, 0) == 0.0f && coord(v, 1) == 0.0f; break;
        case TYPE_POINT3D:
            zero = coord(v, 0) == 0.0f && coord(v, 1) == 0.0f && coord(v, 2) == 0.0f;
            break;
        case TYPE_TUPLE: {
            zero = true;
            const uint8_t* b = payload(v);
            for (int i = 0; i < std::min(tuple::count_of(v), 12); i++) zero = zero && b[i] == 0;
            break;
        }
        default: break;
    }
    set_logic(zero);
}

void NaN_q(int check, const int32_t* refs) {
    if (check) check_args(N_NAN, refs);
    const Cell* v = stack::arguments;
    set_logic((v->type() == TYPE_FLOAT || v->type() == TYPE_PERCENT) && std::isnan(v->f()));
}

// ---- shift ----

void shift(int check, const int32_t* refs) {
    if (check) check_args(N_SHIFT, refs);
    Cell* args = stack::arguments;
    int32_t data = args->i1();
    int32_t bits = args[1].i1();
    if (bits < 0) bits = 0;
    uint32_t u = static_cast<uint32_t>(data);
    int32_t r;
    if (refs[0] >= 0)
        r = bits > 31 ? 0 : static_cast<int32_t>(u << bits);
    else if (refs[1] >= 0)
        r = bits > 31 ? 0 : static_cast<int32_t>(u >> bits);
    else
        r = bits > 31 ? (data < 0 ? -1 : 0) : (data >> bits);
    set_integer(r);
}

// ---- max and min ----

static inline bool floaty(uint8_t t) { return t == TYPE_FLOAT || t == TYPE_PERCENT; }
static inline bool plain_number(uint8_t t) { return t == TYPE_INTEGER || floaty(t); }
static inline bool compound(uint8_t t) {
    return t == TYPE_PAIR || t == TYPE_POINT2D || t == TYPE_POINT3D || t == TYPE_TUPLE;
}

template <class T>
static inline T pick(bool greater, T a, T b) {
    return greater ? (a < b ? b : a) : (b < a ? b : a);
}

// A coordinate of value1 replaced by value2's when it is less (max) or greater (min), or when
// value2's is a NaN.
static inline float merge(bool greater, float own, float other) {
    if (std::isnan(other)) return other;
    return (greater ? own < other : own > other) ? other : own;
}

static void make_point(Cell* c, float x, float y) {
    set_cell(c, TYPE_POINT2D);
    set_coord(c, 0, x);
    set_coord(c, 1, y);
}

static void pair_to_point(Cell* c) { make_point(c, static_cast<float>(c->i2()), static_cast<float>(c->i3())); }

// Combines a compound value c (changed in place) with n; false when the pair of types is left
// to the general comparison.
static bool combine(bool greater, Cell* c, Cell* n, bool* restart) {
    uint8_t tn = n->type();
    switch (c->type()) {
        case TYPE_PAIR:
            if (tn == TYPE_FLOAT) {
                double d = n->f();
                if (!(std::isfinite(d) && d >= -2147483648.0 && d <= 2147483647.0)) {
                    float f = static_cast<float>(d);
                    make_point(n, f, f);
                    *restart = true;
                    return true;
                }
                int32_t k = static_cast<int32_t>(d);
                c->data2 = static_cast<uint32_t>(pick(greater, c->i2(), k));
                c->data3 = static_cast<uint32_t>(pick(greater, c->i3(), k));
                return true;
            }
            if (tn == TYPE_INTEGER) {
                c->data2 = static_cast<uint32_t>(pick(greater, c->i2(), n->i1()));
                c->data3 = static_cast<uint32_t>(pick(greater, c->i3(), n->i1()));
                return true;
            }
            if (tn == TYPE_PAIR) {
                c->data2 = static_cast<uint32_t>(pick(greater, c->i2(), n->i2()));
                c->data3 = static_cast<uint32_t>(pick(greater, c->i3(), n->i3()));
                return true;
            }
            if (tn == TYPE_POINT2D) {
                pair_to_point(c);
                return combine(greater, c, n, restart);
            }
            return false;
        case TYPE_POINT2D:
        case TYPE_POINT3D: {
            int coords = c->type() == TYPE_POINT2D ? 2 : 3;
            if (plain_number(tn) && tn != TYPE_PERCENT) {
                float f = static_cast<float>(number_of(n));
                for (int i = 0; i < coords; i++) {
                    float own = coord(c, i);
                    if (std::isnan(f) || (greater ? own < f : own > f)) set_coord(c, i, f);
                }
                return true;
            }
            if (tn == TYPE_PAIR && coords == 2) {
                float x = static_cast<float>(n->i2()), y = static_cast<float>(n->i3());
                float own_x = coord(c, 0), own_y = coord(c, 1);
                if (greater ? own_x < x : own_x > x) set_coord(c, 0, x);
                if (greater ? own_y < y : own_y > y) set_coord(c, 1, y);
                return true;
            }
            if (tn == c->type()) {
                for (int i = 0; i < coords; i++)
                    set_coord(c, i, merge(greater, coord(c, i), coord(n, i)));
                return true;
            }
            return false;
        }
        case TYPE_TUPLE: {
            if (tn == TYPE_INTEGER || tn == TYPE_FLOAT) {
                int32_t k;
                if (tn == TYPE_INTEGER) {
                    k = n->i1();
                } else {
                    double d = n->f();
                    if (!(d >= -2147483648.0 && d <= 2147483647.0)) {
                        Cell t;
                        datatype::make_at(&t, TYPE_INTEGER);
                        fire(err::script::type_limit, &t);
                    }
                    k = static_cast<int32_t>(d);
                }
                uint8_t b = static_cast<uint8_t>(k < 0 ? 0 : (k > 255 ? 255 : k));
                uint8_t* bytes = payload(c);
                for (int i = 0; i < tuple_bytes(c); i++) bytes[i] = pick(greater, bytes[i], b);
                return true;
            }
            if (tn == TYPE_TUPLE && tuple::count_of(n) == tuple::count_of(c)) {
                uint8_t* bytes = payload(c);
                const uint8_t* other = payload(n);
                for (int i = 0; i < tuple_bytes(c); i++) bytes[i] = pick(greater, bytes[i], other[i]);
                return true;
            }
            return false;
        }
        default: return false;
    }
}

static void max_min(bool greater) {
    Cell* a = stack::arguments;
    Cell* b = a + 1;
    for (int round = 0; round < 3; round++) {
        uint8_t ta = a->type(), tb = b->type();
        if (floaty(ta) && std::isnan(a->f()) && plain_number(tb)) return stack::keep();
        if (floaty(tb) && std::isnan(b->f()) && plain_number(ta)) {
            *a = *b;
            return stack::keep();
        }
        Cell* c = a;
        Cell* n = b;
        if (compound(tb) && (ta == TYPE_INTEGER || ta == TYPE_FLOAT)) {
            c = b;
            n = a;
        }
        if (!compound(c->type())) break;
        bool restart = false;
        if (!combine(greater, c, n, &restart)) break;
        if (restart) continue;
        if (c != a) *a = *c;
        return stack::keep();
    }
    bool lesser = actions::compare(a, b, COMP_LESSER);
    if (greater ? lesser : !lesser) *a = *b;
    stack::keep();
}

void max(int check, const int32_t* refs) {
    if (check) check_args(N_MAX, refs);
    max_min(true);
}

void min(int check, const int32_t* refs) {
    if (check) check_args(N_MIN, refs);
    max_min(false);
}

// ---- Trigonometry ----

// Sine and cosine results this close to zero are zero, so that multiples of 90 degrees are exact.
static double tidy(double r) { return std::fabs(r) < kEpsilon ? 0.0 : r; }

static double angle_arg(const int32_t* refs, int mode) {
    double x = to_float_cell(stack::arguments);
    return refs[0] >= 0 ? x : math::degrees_to_radians(x, mode);
}

void sine(int check, const int32_t* refs) {
    if (check) check_args(N_SINE, refs);
    set_float(tidy(std::sin(angle_arg(refs, 2))));
}

void cosine(int check, const int32_t* refs) {
    if (check) check_args(N_COSINE, refs);
    set_float(tidy(std::cos(angle_arg(refs, 1))));
}

void tangent(int check, const int32_t* refs) {
    if (check) check_args(N_TANGENT, refs);
    double r = angle_arg(refs, 0);
    constexpr double half_pi = math::kPi / 2;
    if (r == half_pi)
        set_float(INFINITY);
    else if (r == -half_pi)
        set_float(-INFINITY);
    else
        set_float(std::tan(r));
}

static void inverse(const int32_t* refs, double (*fn)(double)) {
    double r = fn(to_float_cell(stack::arguments));
    if (refs[0] < 0) r = r * 180.0 / math::kPi;
    set_float(r);
}

void arcsine(int check, const int32_t* refs) {
    if (check) check_args(N_ARCSINE, refs);
    inverse(refs, [](double x) { return std::asin(x); });
}

void arccosine(int check, const int32_t* refs) {
    if (check) check_args(N_ARCCOSINE, refs);
    inverse(refs, [](double x) { return std::acos(x); });
}

void arctangent(int check, const int32_t* refs) {
    if (check) check_args(N_ARCTANGENT, refs);
    inverse(refs, [](double x) { return std::atan(x); });
}

void arctangent2(int check, const int32_t* refs) {
    if (check) check_args(N_ARCTANGENT2, refs);
    Cell* args = stack::arguments;
    double y = number_of(args);
    double x = to_float_cell(args + 1);
    double r = std::atan2(y, x);
    if (refs[0] < 0) r *= 180.0 / math::kPi;
    args[1].set_f(r);
    *args = args[1];
    stack::keep();
}

// ---- Logarithms and powers ----

static void unary(double (*fn)(double)) { set_float(fn(to_float_cell(stack::arguments))); }

void log_2(int check, const int32_t* refs) {
    if (check) check_args(N_LOG_2, refs);
    unary([](double x) { return std::log(x) / 0.6931471805599453; });
}

void log_10(int check, const int32_t* refs) {
    if (check) check_args(N_LOG_10, refs);
    unary([](double x) { return std::log10(x); });
}

void log_e(int check, const int32_t* refs) {
    if (check) check_args(N_LOG_E, refs);
    unary([](double x) { return std::log(x); });
}

void exp(int check, const int32_t* refs) {
    if (check) check_args(N_EXP, refs);
    unary([](double x) { return std::pow(2.718281828459045, x); });
}

void square_root(int check, const int32_t* refs) {
    if (check) check_args(N_SQUARE_ROOT, refs);
    unary([](double x) { return std::sqrt(x); });
}

}  // namespace natives
