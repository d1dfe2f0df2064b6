#include "datatypes/integer.h"

#include <cmath>
#include <cstring>
#include <string_view>
#include <utility>

#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/date.h"
#include "datatypes/float.h"
#include "datatypes/money.h"
#include "datatypes/number.h"
#include "datatypes/pair.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "loading/lexer.h"
#include "runtime/fire.h"
#include "services/random.h"
#include "runtime/runtime.h"
#include "runtime/stack.h"

namespace integer {

Cell* make_at(Cell* c, int32_t v) {
    c->set_type(TYPE_INTEGER);
    c->data1 = static_cast<uint32_t>(v);
    c->data2 = c->data3 = 0;
    return c;
}

Cell* make_in(Node block, int32_t v) { return set_cell(block::alloc_tail(block), TYPE_INTEGER, static_cast<uint32_t>(v)); }
Cell* push(int32_t v) { return set_cell(stack::push_cell(), TYPE_INTEGER, static_cast<uint32_t>(v)); }
Cell* box(int32_t v) { return set_cell(stack::arguments, TYPE_INTEGER, static_cast<uint32_t>(v)); }

int32_t get_any() { return stack::arguments->i1(); }
int32_t get() { return stack::arguments->type() == TYPE_INTEGER ? stack::arguments->i1() : 0; }

int32_t abs(int32_t n) {
    if (n == INT32_MIN) fire(err::math::overflow);
    return n < 0 ? -n : n;
}

bool float_out_of_range_q(const Cell* f) {
    double v = f->f();
    return std::isnan(v) || v > 2147483647.0 || v < -2147483648.0;
}

int form_signed(int32_t n, char* out) {
    char digits[12];
    int k = 0;
    // Work on the magnitude as unsigned so that -2147483648 needs no special case.
    uint32_t m = n < 0 ? 0u - static_cast<uint32_t>(n) : static_cast<uint32_t>(n);
    do {
        digits[k++] = static_cast<char>('0' + m % 10);
        m /= 10;
    } while (m);
    int len = 0;
    if (n < 0) out[len++] = '-';
    while (k) out[len++] = digits[--k];
    out[len] = 0;
    return len;
}

const char* form_signed(int32_t n) {
    static char text[12];
    form_signed(n, text);
    return text;
}

// Turns a cell into a float! in place, keeping its header flags.
static void become_float(Cell* c, double v) {
    c->set_type(TYPE_FLOAT);
    c->data1 = 0;
    c->set_f(v);
}

int32_t do_math(int32_t a, int32_t b, int op, Cell* result) {
    int32_t v = 0;
    switch (op) {
        case OP_ADD:
            if (__builtin_add_overflow(a, b, &v)) {
                if (result) become_float(result, double(a) + double(b));
                return 0;
            }
            break;
        case OP_SUB:
            if (__builtin_sub_overflow(a, b, &v)) {
                if (result) become_float(result, double(a) - double(b));
                return 0;
            }
            break;
        case OP_MUL:
            if (__builtin_mul_overflow(a, b, &v)) {
                if (result) become_float(result, double(a) * double(b));
                return 0;
            }
            break;
        case OP_DIV:
            if (b == 0) fire(err::math::zero_divide);
            if (a == INT32_MIN && b == -1) fire(err::math::overflow);
            if (result && a % b != 0) {
                become_float(result, double(a) / double(b));
                return 0;
            }
            v = a / b;
            break;
        case OP_REM:
            if (b == 0) fire(err::math::zero_divide);
            if (a == INT32_MIN && b == -1) fire(err::math::overflow);
            v = a % b;
            break;
        case OP_OR: v = static_cast<int32_t>(static_cast<uint32_t>(a) | static_cast<uint32_t>(b)); break;
        case OP_AND: v = static_cast<int32_t>(static_cast<uint32_t>(a) & static_cast<uint32_t>(b)); break;
        case OP_XOR: v = static_cast<int32_t>(static_cast<uint32_t>(a) ^ static_cast<uint32_t>(b)); break;
        default: runtime::quit(101, KEL_CALLER_ADDRESS());
    }
    if (result) make_at(result, v);
    return v;
}

void do_math_stack(int op) {
    Cell* left = stack::arguments;
    Cell* right = left + 1;
    switch (right->type()) {
        case TYPE_INTEGER:
        case TYPE_CHAR: do_math(left->i1(), right->i1(), op, left); break;
        case TYPE_FLOAT:
        case TYPE_PERCENT:
        case TYPE_TIME: float_::do_math(op); break;
        case TYPE_MONEY:
        case TYPE_VECTOR:
            // Their own arithmetic takes the integer as a scalar, in either position.
            if (!number::run_type_math(right->type(), op)) number::fire_invalid_type(right);
            break;
        case TYPE_PAIR:
        case TYPE_POINT2D:
        case TYPE_POINT3D: {
            uint8_t type = right->type();
            std::swap(*left, *right);
            if (op == OP_DIV) number::fire_not_related("divide", TYPE_INTEGER);
            if (op == OP_SUB) {
                // n - p is -p + n. A pair component of -2147483648 has no integer negation, so
                // such a pair is negated as a point, where pair arithmetic would overflow to anyway.
                if (type == TYPE_PAIR && (pair::x_of(left) == INT32_MIN || pair::y_of(left) == INT32_MIN)) {
                    pair::to_point(0);
                    type = TYPE_POINT2D;
                }
                auto negate = reinterpret_cast<ActionFn>(datatype::slot(type, ACT_NEGATE));
                static const int32_t no_refs[1] = {-1};
                if (!negate) number::fire_invalid_type(left);
                negate(no_refs);
                op = OP_ADD;
            }
            if (!number::run_type_math(type, op)) number::fire_invalid_type(left);
            break;
        }
        case TYPE_TUPLE: {
            std::swap(*left, *right);
            if (op == OP_SUB || op == OP_DIV) number::fire_not_related(number::word_of(op), TYPE_INTEGER);
            if (!number::run_type_math(TYPE_TUPLE, op)) number::fire_invalid_type(left);
            break;
        }
        case TYPE_DATE: {
            if (op != OP_ADD) number::fire_not_related(number::word_of(op), TYPE_INTEGER);
            std::swap(*left, *right);
            if (!number::run_type_math(TYPE_DATE, op)) number::fire_invalid_type(left);
            break;
        }
        default: number::fire_invalid_type(right);
    }
    stack::keep();
}

void add(const int32_t*) { do_math_stack(OP_ADD); }
void subtract(const int32_t*) { do_math_stack(OP_SUB); }
void multiply(const int32_t*) { do_math_stack(OP_MUL); }
void divide(const int32_t*) { do_math_stack(OP_DIV); }
void remainder(const int32_t*) { do_math_stack(OP_REM); }
void and_(const int32_t*) { do_math_stack(OP_AND); }
void or_(const int32_t*) { do_math_stack(OP_OR); }
void xor_(const int32_t*) { do_math_stack(OP_XOR); }

// The unary actions change the value word only: char! inherits them and stays a char!.
void absolute(const int32_t*) { stack::arguments->data1 = static_cast<uint32_t>(abs(stack::arguments->i1())); }

void negate(const int32_t*) {
    int32_t n = stack::arguments->i1();
    if (n == INT32_MIN) fire(err::math::overflow);
    stack::arguments->data1 = static_cast<uint32_t>(-n);
}

void complement(const int32_t*) { make_at(stack::arguments, static_cast<int32_t>(~stack::arguments->data1)); }

// The payload alone changes, so char! (which takes this action) stays char!.
void random(const int32_t* refs) {
    Cell* v = stack::arguments;
    if (refs[0] >= 0) {
        random_::seed(v->data1);
        set_cell(v, TYPE_UNSET);
        return;
    }
    v->data1 = static_cast<uint32_t>(random_::int_(refs[1] >= 0, v->i1()));
}

void even_q(const int32_t*) { set_cell(stack::arguments, TYPE_LOGIC, (stack::arguments->data1 & 1) ? 0 : 1); }
void odd_q(const int32_t*) { set_cell(stack::arguments, TYPE_LOGIC, stack::arguments->data1 & 1); }

void power(const int32_t* refs) {
    Cell* base = stack::arguments;
    const Cell* exponent = base + 1;
    if (exponent->type() != TYPE_INTEGER && exponent->type() != TYPE_FLOAT) number::fire_expect_arg(exponent, 1);
    if (exponent->type() == TYPE_INTEGER && exponent->i1() >= 0) {
        // Binary exponentiation; an overflow of the product or of the squared base (while
        // exponent bits remain) falls back to the float computation below.
        int32_t result = 1;
        int32_t b = base->i1();
        uint32_t e = exponent->data1;
        bool exact = true;
        while (e) {
            if ((e & 1) && __builtin_mul_overflow(result, b, &result)) {
                exact = false;
                break;
            }
            e >>= 1;
            if (e && __builtin_mul_overflow(b, b, &b)) {
                exact = false;
                break;
            }
        }
        if (exact) {
            make_at(base, result);
            return;
        }
    }
    become_float(base, double(base->i1()));
    float_::power(refs);
}

void round(const int32_t* refs) {
    Cell* value = stack::arguments;
    const Cell* scale = refs[0] >= 0 ? stack::arguments + refs[0] : nullptr;
    if (scale && scale->type() == TYPE_MONEY) number::fire_not_related_call(TYPE_MONEY);
    // The lowest value rounds like any other (the 64-bit work below has room for its magnitude):
    // returned as it is, it would not be a multiple of the scale.
    int32_t n = value->i1();
    if (scale && scale->type() != TYPE_INTEGER) {
        become_float(value, double(n));
        float_::round(refs);
        return;
    }
    // In 64 bits, so that only the chosen result can overflow.
    int64_t s = scale ? abs(scale->i1()) : 1;
    if (s == 0) return;
    int64_t a = n < 0 ? -int64_t(n) : int64_t(n);
    int64_t r = a % s;
    if (r == 0) return;
    int64_t down = a - r;
    int64_t up = a + (s - r);
    bool neg = n < 0;
    auto toward_zero = [&] { return neg ? -down : down; };
    auto away = [&] { return neg ? -up : up; };
    int64_t result;
    if (refs[2] >= 0)  // /down
        result = toward_zero();
    else if (refs[4] >= 0)  // /floor
        result = neg ? -up : down;
    else if (refs[5] >= 0)  // /ceiling
        result = neg ? -down : up;
    else if (r < s - r)
        result = toward_zero();
    else if (r > s - r)
        result = away();
    else if (refs[1] >= 0)  // /even
        result = (a / s) % 2 == 0 ? toward_zero() : away();
    else if (refs[3] >= 0)  // /half-down
        result = toward_zero();
    else if (refs[6] >= 0)  // /half-ceiling
        result = neg ? -down : up;
    else
        result = away();
    if (result > INT32_MAX || result < INT32_MIN) fire(err::math::overflow);
    make_at(value, static_cast<int32_t>(result));
}

int compare(const Cell* a, const Cell* b, int op) {
    switch (op) {
        case COMP_STRICT_EQUAL:
        case COMP_SAME:
        case COMP_STRICT_EQUAL_WORD:
        case COMP_EQUAL_FIND:
            if (b->type() != TYPE_INTEGER) return 1;
            break;
        default: break;
    }
    switch (b->type()) {
        case TYPE_INTEGER:
        case TYPE_CHAR: {
            int32_t x = a->i1(), y = b->i1();
            return (x > y) - (x < y);
        }
        case TYPE_FLOAT:
        case TYPE_PERCENT:
        case TYPE_TIME: return float_::compare_numbers(double(a->i1()), b->f(), op);
        case TYPE_MONEY: return money::compare_number(a, b, op);
        default: return -2;
    }
}

int form(const Cell* value, Node buffer, const Cell*, int limit) {
    char text[12];
    int n = form_signed(value->i1(), text);
    string::concatenate_literal_n(buffer, text, size_t(n));
    return limit - n;
}

int mold(const Cell* value, Node buffer, bool, bool, bool, const Cell* part, int limit, int) {
    return form(value, buffer, part, limit);
}

// An issue's text as up to 8 hexadecimal digits, read as the 32-bit pattern.
static int32_t scan_hex_issue(const Cell* issue) {
    std::string_view text = symbol::text(static_cast<int32_t>(issue->data2));
    if (text.empty() || text.size() > 8) fire(err::script::invalid_data, issue);
    uint32_t v = 0;
    for (char ch : text) {
        uint32_t d;
        if (ch >= '0' && ch <= '9')
            d = uint32_t(ch - '0');
        else if (ch >= 'A' && ch <= 'F')
            d = uint32_t(ch - 'A' + 10);
        else if (ch >= 'a' && ch <= 'f')
            d = uint32_t(ch - 'a' + 10);
        else
            fire(err::script::invalid_data, issue);
        v = (v << 4) | d;
    }
    return static_cast<int32_t>(v);
}

Cell* to(Cell* proto, Cell* spec, int) {
    int32_t v = 0;
    switch (spec->type()) {
        case TYPE_INTEGER:
        case TYPE_CHAR: v = spec->i1(); break;
        case TYPE_FLOAT:
        case TYPE_PERCENT:
            if (float_out_of_range_q(spec)) number::fire_type_limit(TYPE_INTEGER);
            v = static_cast<int32_t>(spec->f());
            break;
        case TYPE_TIME: {
            // Rounded to the nearest second, halves upward.
            double x = std::floor(spec->f() + 0.5);
            if (!number::to_int32(x, &v)) number::fire_type_limit(TYPE_INTEGER);
            break;
        }
        case TYPE_BINARY: {
            SeriesBuf* s = memory::nodes[spec->node()];
            int64_t len = int64_t(s->length()) - (spec->index() > 0 ? spec->index() : 0);
            const uint8_t* p = s->at_head() + (spec->index() > 0 ? spec->index() : 0);
            uint32_t bits = 0;
            for (int64_t i = 0; i < len && i < 4; i++) bits = (bits << 8) | p[i];
            v = static_cast<int32_t>(bits);
            break;
        }
        case TYPE_ISSUE: v = scan_hex_issue(spec); break;
        case TYPE_DATE: {
            int64_t seconds = date::to_unix_seconds(spec);
            if (seconds < INT32_MIN || seconds > INT32_MAX) number::fire_type_limit(TYPE_INTEGER);
            v = static_cast<int32_t>(seconds);
            break;
        }
        case TYPE_MONEY: v = money::to_integer(spec); break;
        case TYPE_STRING:
        case TYPE_FILE:
        case TYPE_URL:
        case TYPE_TAG:
        case TYPE_EMAIL:
        case TYPE_REF:
        {
            int32_t count;
            int unit, error;
            const uint8_t* units = number::text_units(spec, &count, &unit);
            v = lexer::scan_integer(units, count, unit, &error);
            if (error) number::fire_bad_to_arg(TYPE_INTEGER, spec);
            break;
        }
        default: number::fire_bad_to_arg(TYPE_INTEGER, spec);
    }
    return set_cell(proto, TYPE_INTEGER, static_cast<uint32_t>(v));
}

Cell* make(Cell* proto, Cell* spec, int type) {
    if (spec->type() == TYPE_LOGIC) return set_cell(proto, TYPE_INTEGER, spec->data1 ? 1 : 0);
    return to(proto, spec, type);
}

void init() {
    datatype::Row row;
    row.set(ACT_MAKE, make)
        .set(ACT_RANDOM, random)
        .set(ACT_TO, to)
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
        .set(ACT_ODD_Q, odd_q)
        .set(ACT_AND_T, and_)
        .set(ACT_COMPLEMENT, complement)
        .set(ACT_OR_T, or_)
        .set(ACT_XOR_T, xor_);
    datatype::register_row(TYPE_INTEGER, 0, "integer!", row);
}

}  // namespace integer
