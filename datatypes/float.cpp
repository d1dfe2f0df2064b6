#include "datatypes/float.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/integer.h"
#include "datatypes/money.h"
#include "datatypes/number.h"
#include "datatypes/string.h"
#include "loading/lexer.h"
#include "runtime/dtoa.h"
#include "runtime/fire.h"
#include "services/random.h"
#include "runtime/stack.h"

namespace float_ {

bool pretty_print = true;

namespace {

// printf's %.<precision>g, locale-free.
int print_g(double v, int precision, char* out) {
    auto r = std::to_chars(out, out + kFormSize - 1, v, std::chars_format::general, precision);
    *r.ptr = 0;
    return int(r.ptr - out);
}

int first_text(double v, int kind, char* out) {
    switch (kind) {
        case kFloat: return print_g(v, 16, out);
        case kPercent: return print_g(v, 13, out);
        case kTimeSeconds: return dtoa::form_float(v, 6, false, out);
        default: return print_g(v, 7, out);
    }
}

}  // namespace

int form_float(double v, int kind, char* out) {
    if (std::isnan(v)) {
        std::memcpy(out, "1.#NaN", 7);
        return 6;
    }
    if (std::isinf(v)) {
        const char* s = v < 0 ? "-1.#INF" : "1.#INF";
        int n = int(std::strlen(s));
        std::memcpy(out, s, size_t(n) + 1);
        return n;
    }
    const bool percent = kind == kPercent32 || kind == kPercent;
    if (pretty_print && std::fabs(v) < std::numeric_limits<double>::epsilon()) {
        const char* s = percent ? "0%" : kind == kPoint ? "0" : "0.0";
        int n = int(std::strlen(s));
        std::memcpy(out, s, size_t(n) + 1);
        return n;
    }
    int len = first_text(v, kind, out);
    if (pretty_print) {
        // Binary noise in the last places (0.1 + 0.2 printed as ...0000000004 or ...9999999) is
        // printed again with fewer digits.
        const char* e = static_cast<const char*>(std::memchr(out, 'e', size_t(len)));
        int mantissa = e ? int(e - out) : len;
        int lead = out[0] == '-' ? 1 : 0;
        bool long_text = e ? mantissa > 16 : len > 16 && (out[lead] != '0' || len > 17);
        if (long_text && mantissa >= 2) {
            const char* tail = out + mantissa - 2;
            if ((tail[0] == '0' && tail[1] == '1') || (tail[0] == '9' && tail[1] == '9')) {
                bool short_kind = kind == kFloat32 || kind == kTimeSeconds || kind == kPoint;
                len = print_g(v, short_kind ? 5 : 14, out);
            }
        }
    }
    // Exponent without '+' and leading zeros: 1e+020 -> 1e20, 1e-005 -> 1e-5.
    if (char* e = static_cast<char*>(std::memchr(out, 'e', size_t(len)))) {
        char* from = e + 1;
        char* to = e + 1;
        if (*from == '+') {
            from++;
        } else if (*from == '-') {
            *to++ = *from++;
        }
        while (*from == '0' && from[1] >= '0' && from[1] <= '9') from++;
        while (*from) *to++ = *from++;
        *to = 0;
        len = int(to - out);
    }
    if (kind <= kPercent && !std::memchr(out, '.', size_t(len))) {
        char* e = static_cast<char*>(std::memchr(out, 'e', size_t(len)));
        if (e) {
            std::memmove(e + 2, e, size_t(out + len - e) + 1);
            e[0] = '.';
            e[1] = '0';
        } else {
            out[len] = '.';
            out[len + 1] = '0';
            out[len + 2] = 0;
        }
        len += 2;
    }
    if (percent) {
        out[len++] = '%';
        out[len] = 0;
    }
    return len;
}

const char* form_float(double v, int kind) {
    static char text[kFormSize];
    form_float(v, kind, text);
    return text;
}


// ---- Values ----

Cell* make_at(Cell* c, double v) {
    set_cell(c, TYPE_FLOAT);
    c->set_f(v);
    return c;
}

Cell* make_in(Node block, double v) { return make_at(block::alloc_tail(block), v); }
Cell* push(double v) { return make_at(stack::push_cell(), v); }

Cell* push64(uint32_t high, uint32_t low) {
    Cell* c = set_cell(stack::push_cell(), TYPE_FLOAT);
    c->data2 = low;
    c->data3 = high;
    return c;
}

Cell* box(double v) { return make_at(stack::arguments, v); }

static uint64_t bits_of(double v) {
    uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

bool nan_q(double v) {
    uint64_t b = bits_of(v);
    return (b & 0x7FF0000000000000ULL) == 0x7FF0000000000000ULL && (b & 0x000FFFFFFFFFFFFFULL) != 0;
}

bool special_q(double v) { return (bits_of(v) & 0x7FF0000000000000ULL) == 0x7FF0000000000000ULL; }

double abs(double v) {
    uint64_t b = bits_of(v) & ~(uint64_t(1) << 63);
    double r;
    std::memcpy(&r, &b, sizeof r);
    return r;
}

// A key that orders doubles as unsigned integers: negative patterns negated, non-negative
// ones with the top bit set (so 0.0 and -0.0 meet).
static uint64_t order_key(double v) {
    uint64_t b = bits_of(v);
    return (b >> 63) ? 0 - b : b | (uint64_t(1) << 63);
}

bool almost_equal_q(double a, double b) {
    if (nan_q(a) || nan_q(b)) return false;
    if (a == b) return true;
    // An infinity is no neighbour of the largest finite values.
    if (std::isinf(a) || std::isinf(b)) return false;
    if (std::fabs(a - b) < 2.220446049250313e-16) return true;
    uint64_t ka = order_key(a), kb = order_key(b);
    uint64_t distance = ka > kb ? ka - kb : kb - ka;
    return distance <= 10;
}

int32_t check_integer_range(const Cell* value) {
    if (value->type() != TYPE_FLOAT) return value->i1();
    int32_t n;
    if (!number::to_int32(value->f(), &n)) fire(err::script::out_of_range, value);
    return n;
}

// ---- Arithmetic ----

double do_math_op(double a, double b, int op) {
    switch (op) {
        case OP_ADD: return a + b;
        case OP_SUB: return a - b;
        case OP_MUL: return a * b;
        case OP_DIV: return a / b;
        case OP_REM:
            if (b * 0.0 == 0.0) return std::fmod(a, b);
            if (std::isnan(b) || !std::isfinite(a)) return std::numeric_limits<double>::quiet_NaN();
            return a;
        default: {
            Cell name, type;
            stack::get_call_name(&name);
            datatype::make_at(&type, TYPE_FLOAT);
            fire(err::script::cannot_use, &name, &type);
        }
    }
}

void do_math(int op) {
    Cell* left = stack::arguments;
    Cell* right = left + 1;
    uint8_t lt = left->type();
    uint8_t rt = right->type();
    switch (rt) {
        case TYPE_TUPLE:
        case TYPE_MONEY:
        case TYPE_VECTOR:
            if (!number::run_type_math(rt, op)) number::fire_invalid_type(right);
            stack::keep();
            return;
        case TYPE_PAIR:
        case TYPE_POINT2D:
        case TYPE_POINT3D:
            if (lt == TYPE_TIME) break;  // the general rule refuses them
            if (op == OP_SUB || op == OP_DIV) number::fire_not_related(number::word_of(op), rt);
            std::swap(*left, *right);
            if (!number::run_type_math(rt, op)) number::fire_invalid_type(left);
            stack::keep();
            return;
        default: break;
    }
    double y;
    switch (rt) {
        case TYPE_CHAR:
            if (lt == TYPE_TIME || lt == TYPE_PERCENT) number::fire_invalid_type(right);
            y = double(right->i1());
            break;
        case TYPE_INTEGER: y = double(right->i1()); break;
        case TYPE_FLOAT:
        case TYPE_PERCENT:
        case TYPE_TIME: y = right->f(); break;
        default: number::fire_invalid_type(right);
    }
    double x;
    if (lt == TYPE_INTEGER) {
        x = double(left->i1());
        lt = TYPE_FLOAT;
    } else {
        x = left->f();
    }
    uint8_t result_type = (lt == TYPE_TIME) != (rt == TYPE_TIME) ? uint8_t(TYPE_TIME) : lt;
    double v = do_math_op(x, y, op);
    left->set_type(result_type);
    left->data1 = 0;
    left->set_f(v);
    stack::keep();
}

void add(const int32_t*) { do_math(OP_ADD); }
void subtract(const int32_t*) { do_math(OP_SUB); }
void multiply(const int32_t*) { do_math(OP_MUL); }
void divide(const int32_t*) { do_math(OP_DIV); }
void remainder(const int32_t*) { do_math(OP_REM); }

void power(const int32_t*) {
    Cell* base = stack::arguments;
    const Cell* exponent = base + 1;
    double e;
    switch (exponent->type()) {
        case TYPE_INTEGER: e = double(exponent->i1()); break;
        case TYPE_FLOAT: e = exponent->f(); break;
        default: number::fire_expect_arg(exponent, 1);
    }
    base->set_f(std::pow(base->f(), e));
    stack::keep();
}

void absolute(const int32_t*) { stack::arguments->set_f(abs(stack::arguments->f())); }

// 0.0 minus the value, so that negate 0.0 stays 0.0.
void negate(const int32_t*) { stack::arguments->set_f(0.0 - stack::arguments->f()); }

double random_value(double x, bool secure) {
    if (!secure) return x * (random_::next() / 2147483647.0);
    double r1 = random_::secure_next();
    double r2 = random_::secure_next();
    // The fraction first: scaling x up by the draw before dividing overflows for large x.
    return x * ((r2 + r1 / 2147483647.0) / 2147483648.0);
}

// The payload alone changes, so time! and percent! (which take this action) keep their type.
void random(const int32_t* refs) {
    Cell* v = stack::arguments;
    if (refs[0] >= 0) {
        random_::seed(v->data2 ^ v->data3);
        set_cell(v, TYPE_UNSET);
        return;
    }
    v->set_f(random_value(v->f(), refs[1] >= 0));
}

static bool low_bit(const Cell* value) {
    int32_t n;
    if (!number::to_int32(value->f(), &n)) number::fire_type_limit(TYPE_INTEGER);
    return n & 1;
}

void even_q(const int32_t*) {
    bool odd = low_bit(stack::arguments);
    set_cell(stack::arguments, TYPE_LOGIC, odd ? 0 : 1);
}

void odd_q(const int32_t*) {
    bool odd = low_bit(stack::arguments);
    set_cell(stack::arguments, TYPE_LOGIC, odd ? 1 : 0);
}

int compare_numbers(double a, double b, int op) {
    switch (op) {
        case COMP_EQUAL:
        case COMP_NOT_EQUAL:
        case COMP_FIND: return almost_equal_q(a, b) ? 0 : 1;
        case COMP_STRICT_EQUAL:
        case COMP_STRICT_EQUAL_WORD: return a == b ? 0 : 1;
        case COMP_SAME: return bits_of(a) == bits_of(b) ? 0 : 1;
        default: break;
    }
    if (nan_q(a) || nan_q(b)) {
        // Every ordering test with NaN is false, and NaN is found nowhere.
        switch (op) {
            case COMP_LESSER:
            case COMP_LESSER_EQUAL:
            case COMP_EQUAL_FIND: return 1;
            case COMP_GREATER:
            case COMP_GREATER_EQUAL: return -1;
            default: return 0;
        }
    }
    return (a > b) - (a < b);
}

int compare(const Cell* a, const Cell* b, int op) {
    switch (op) {
        case COMP_STRICT_EQUAL:
        case COMP_SAME:
        case COMP_STRICT_EQUAL_WORD:
        case COMP_EQUAL_FIND:
            if (b->type() != a->type()) return 1;
            break;
        default: break;
    }
    double y;
    switch (b->type()) {
        case TYPE_INTEGER: y = double(b->i1()); break;
        case TYPE_FLOAT:
        case TYPE_PERCENT:
        case TYPE_TIME: y = b->f(); break;
        // percent! and time! share this compare, so they meet money! as their number does.
        case TYPE_MONEY: return money::compare_number(a, b, op);
        default: return -2;
    }
    return compare_numbers(a->f(), y, op);
}

// ---- Rounding ----

RoundMode round_mode(const int32_t* refs) {
    return RoundMode{refs[1] >= 0, refs[2] >= 0, refs[3] >= 0, refs[4] >= 0, refs[5] >= 0, refs[6] >= 0};
}

double round_to(double v, double scale, const RoundMode& m) {
    // At a scale this small relative to v, rounding cannot change it (infinities included).
    if (scale == 0.0 || scale < std::fabs(v) * 0x1p-53) return v;
    int shift = 0;
    bool large = scale >= 1.0;
    double reciprocal = 0.0;
    double q;
    if (large) {
        q = v / scale;
    } else {
        // A tiny scale has its binary exponent moved onto the value, so that the reciprocal
        // stays finite.
        if (scale < 0x1p-1021) {
            scale = std::frexp(scale, &shift);
            v = std::ldexp(v, -shift);
        }
        reciprocal = 1.0 / scale;
        q = v * reciprocal;
    }
    double a = std::fabs(q);
    auto with_sign = [q](double magnitude) { return q < 0 ? 0.0 - magnitude : magnitude; };
    double r;
    if (m.down) {
        r = with_sign(std::floor(a));
    } else if (m.floor) {
        r = std::floor(q);
    } else if (m.ceiling) {
        r = std::ceil(q);
    } else {
        double half = std::floor(a) + 0.5;
        if (half < a)
            r = with_sign(std::ceil(a));
        else if (half > a)
            r = with_sign(std::floor(a));
        else if (m.even)
            r = with_sign(std::fmod(a, 2.0) >= 1.0 ? std::ceil(a) : std::floor(a));
        else if (m.half_down)
            r = with_sign(std::floor(a));
        else if (m.half_ceiling)
            r = std::ceil(q);
        else
            r = with_sign(std::ceil(a));
    }
    double result = large ? r * scale : r / reciprocal;
    if (shift) result = std::ldexp(result, shift);
    if (std::isinf(result) && std::isfinite(v)) fire(err::math::overflow);
    return result;
}

void round(const int32_t* refs) {
    Cell* value = stack::arguments;
    const Cell* scale = refs[0] >= 0 ? stack::arguments + refs[0] : nullptr;
    if (scale && scale->type() == TYPE_MONEY) number::fire_not_related_call(TYPE_MONEY);
    bool percent = value->type() == TYPE_PERCENT;
    double s;
    if (!scale) {
        s = percent ? 0.01 : 1.0;
    } else {
        switch (scale->type()) {
            case TYPE_INTEGER: s = double(scale->i1()); break;
            case TYPE_FLOAT:
            case TYPE_PERCENT:
            case TYPE_TIME: s = scale->f(); break;
            default: number::fire_expect_arg_named(scale, "scale");
        }
        s = std::fabs(s);
        // A percent value is rounded in percent units, whatever the scale's own type.
        if (percent) s /= 100.0;
    }
    double r = round_to(value->f(), s, round_mode(refs));
    if (scale && scale->type() == TYPE_INTEGER) {
        int32_t n;
        if (!number::to_int32(r, &n)) fire(err::math::overflow);
        integer::make_at(value, n);
        return;
    }
    if (scale) value->set_type(scale->type());
    value->set_f(r);
}

// ---- Conversion and text ----

Cell* make(Cell* proto, Cell* spec, int type) {
    double v;
    switch (spec->type()) {
        case TYPE_FLOAT:
        case TYPE_PERCENT:
        case TYPE_TIME: v = spec->f(); break;
        case TYPE_INTEGER:
        case TYPE_CHAR: v = double(spec->i1()); break;
        case TYPE_MONEY: v = money::to_float(spec); break;
        case TYPE_BINARY: {
            // Up to 8 bytes from the head, big-endian; fewer bytes are right-aligned.
            SeriesBuf* s = memory::nodes[spec->node()];
            int64_t from = spec->index() > 0 ? spec->index() : 0;
            int64_t len = int64_t(s->length()) - from;
            uint64_t bits = 0;
            for (int64_t i = 0; i < len && i < 8; i++) bits = (bits << 8) | s->at_head()[from + i];
            std::memcpy(&v, &bits, sizeof v);
            break;
        }
        case TYPE_BLOCK:
        case TYPE_PAREN:
        case TYPE_HASH: {
            // [mantissa exponent]: the first times ten to the power of the second.
            if (block::rs_length_q(spec) != 2) number::fire_bad_to_arg(type, spec);
            const Cell* m = block::rs_head(spec);
            double parts[2];
            for (int i = 0; i < 2; i++) {
                const Cell* c = m + i;
                if (c->type() == TYPE_INTEGER)
                    parts[i] = double(c->i1());
                else if (c->type() == TYPE_FLOAT)
                    parts[i] = c->f();
                else
                    number::fire_bad_to_arg(TYPE_FLOAT, c);
            }
            // The exponent is truncated toward zero; pow saturates far outside the range of
            // doubles, so no integer conversion is needed.
            v = parts[0] * std::pow(10.0, std::trunc(parts[1]));
            break;
        }
        case TYPE_STRING:
        case TYPE_FILE:
        case TYPE_URL:
        case TYPE_TAG:
        case TYPE_EMAIL:
        case TYPE_REF:
            if (type == TYPE_FLOAT) {
                int32_t count;
                int unit, error;
                const uint8_t* units = number::text_units(spec, &count, &unit);
                if (count <= 0) number::fire_bad_to_arg(type, spec);
                v = lexer::scan_float(units, count, unit, &error);
                if (error) number::fire_bad_to_arg(type, spec);
            } else {
                // percent! takes the number the text stands for: 50 is 50, 50% is 0.5.
                Cell n = number::scan_one(spec);
                if (n.type() == TYPE_INTEGER)
                    v = double(n.i1());
                else if (n.type() == TYPE_FLOAT || n.type() == TYPE_PERCENT)
                    v = n.f();
                else
                    number::fire_bad_to_arg(type, spec);
            }
            break;
        default: number::fire_bad_to_arg(type, spec);
    }
    set_cell(proto, static_cast<uint8_t>(type));
    proto->set_f(v);
    return proto;
}

int form(const Cell* value, Node buffer, const Cell*, int limit) {
    char text[kFormSize];
    int n = form_float(value->f(), kFloat, text);
    string::concatenate_literal_n(buffer, text, size_t(n));
    return limit - n;
}

int mold(const Cell* value, Node buffer, bool, bool, bool, const Cell*, int limit, int) {
    char text[dtoa::kTextSize];
    int n = dtoa::form_float(value->f(), 0, true, text);
    string::concatenate_literal_n(buffer, text, size_t(n));
    return limit - n;
}

void init() {
    datatype::Row row;
    row.set(ACT_MAKE, make)
        .set(ACT_RANDOM, random)
        .set(ACT_TO, make)
        .set(ACT_FORM, form)
        .set(ACT_MOLD, mold)
        .set(ACT_COMPARE, compare)
        .set(ACT_ABSOLUTE, absolute)
        .set(ACT_ADD, add)
        .set(ACT_DIVIDE, divide)
        .set(ACT_MULTIPLY, multiply)
        .set(ACT_NEGATE, negate)
        .set(ACT_POWER, power)
        .set(ACT_REMAINDER, remainder)
        .set(ACT_ROUND, round)
        .set(ACT_SUBTRACT, subtract)
        .set(ACT_EVEN_Q, even_q)
        .set(ACT_ODD_Q, odd_q);
    datatype::register_row(TYPE_FLOAT, 0, "float!", row);
}

}  // namespace float_

namespace float32 {

bool nan_q(float v) { return v != v; }

static uint32_t bits_of(float v) {
    uint32_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

bool almost_equal_q(float a, float b) {
    if (nan_q(a) || nan_q(b)) return false;
    if (a == b) return true;
    uint32_t pa = bits_of(a), pb = bits_of(b);
    uint32_t ma = pa & 0x7FFFFFFF, mb = pb & 0x7FFFFFFF;
    if (ma > 0x7F7FFFFE || mb > 0x7F7FFFFE) {
        if ((pa ^ pb) & 0x80000000) return false;
        uint32_t d = ma > mb ? ma - mb : mb - ma;
        return d < 0x100000;
    }
    if (ma == 0 && mb == 0) return true;
    // Sign-magnitude patterns as two's complement, in 64 bits so the distance cannot overflow.
    int64_t ka = (pa & 0x80000000) ? -int64_t(ma) : int64_t(ma);
    int64_t kb = (pb & 0x80000000) ? -int64_t(mb) : int64_t(mb);
    int64_t d = ka > kb ? ka - kb : kb - ka;
    return d <= 10;
}

}  // namespace float32
