#include "datatypes/tuple.h"

#include <cmath>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "datatypes/binary.h"
#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/float.h"
#include "datatypes/number.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "runtime/fire.h"
#include "runtime/runtime.h"
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

Cell* push(int n, uint32_t data1, uint32_t data2, uint32_t data3) {
    if (n > 12) n = 12;
    Cell* c = set_cell(stack::push_cell(), TYPE_TUPLE, data1, data2, data3);
    c->header |= uint32_t(n) << count_shift;
    return c;
}

Cell* push_bytes(int n, const int32_t* values) {
    uint8_t bytes[12];
    if (n > 12) n = 12;
    for (int i = 0; i < n; i++) bytes[i] = static_cast<uint8_t>(values[i]);
    Cell* c = stack::push_cell();
    c->header = 0;
    return make_at(c, bytes, n);
}

Cell* from_rgba(Cell* c, int32_t r, int32_t g, int32_t b, int32_t a) {
    const uint8_t bytes[4] = {uint8_t(r), uint8_t(g), uint8_t(b), uint8_t(a)};
    c->header = 0;
    return make_at(c, bytes, a == -1 ? 3 : 4);
}

bool all_zero_q(const Cell* c) {
    const uint8_t* b = bytes_of(c);
    for (int i = 0, n = count_of(c); i < n; i++)
        if (b[i]) return false;
    return true;
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


// ---- to and make ----

static int hex_digit(uint32_t ch) {
    if (ch >= '0' && ch <= '9') return int(ch - '0');
    if (ch >= 'A' && ch <= 'F') return int(ch - 'A' + 10);
    if (ch >= 'a' && ch <= 'f') return int(ch - 'a' + 10);
    return -1;
}

// A colour issue: 3 digits (each doubled), 6 digits (r g b) or 8 (r g b a).
static int bytes_of_issue(const Cell* issue, uint8_t* out) {
    std::string_view text = symbol::text(static_cast<int32_t>(issue->data2));
    size_t len = text.size();
    if (len != 3 && len != 6 && len != 8) fire(err::script::invalid_data, issue);
    int digits[8];
    for (size_t i = 0; i < len; i++)
        if ((digits[i] = hex_digit(static_cast<unsigned char>(text[i]))) < 0) fire(err::script::invalid_data, issue);
    if (len == 3) {
        for (int i = 0; i < 3; i++) out[i] = static_cast<uint8_t>(digits[i] * 17);
        return 3;
    }
    for (size_t i = 0; i < len / 2; i++) out[i] = static_cast<uint8_t>(digits[2 * i] * 16 + digits[2 * i + 1]);
    return static_cast<int>(len / 2);
}

Cell* to(Cell* proto, Cell* spec, int) {
    uint8_t bytes[12] = {};
    int n = 0;
    switch (spec->type()) {
        case TYPE_BLOCK:
        case TYPE_PAREN:
        case TYPE_HASH: {
            n = block::rs_length_q(spec);
            if (n > 12) number::fire_bad_to_arg(TYPE_TUPLE, spec);
            const Cell* v = block::rs_head(spec);
            for (int i = 0; i < n; i++) {
                double b;
                switch (v[i].type()) {
                    case TYPE_INTEGER:
                    case TYPE_CHAR: b = double(v[i].i1()); break;
                    case TYPE_FLOAT: b = std::trunc(v[i].f()); break;
                    default: number::fire_bad_to_arg(TYPE_TUPLE, spec);
                }
                if (!(b >= 0 && b <= 255)) number::fire_bad_to_arg(TYPE_TUPLE, spec);
                bytes[i] = static_cast<uint8_t>(b);
            }
            break;
        }
        case TYPE_STRING:
        case TYPE_FILE:
        case TYPE_URL:
        case TYPE_TAG:
        case TYPE_EMAIL:
        case TYPE_REF: {
            Cell v = number::scan_as(spec, TYPE_TUPLE);
            n = count_of(&v);
            std::memcpy(bytes, bytes_of(&v), size_t(n));
            break;
        }
        case TYPE_ISSUE: n = bytes_of_issue(spec, bytes); break;
        case TYPE_TUPLE:
            n = count_of(spec);
            std::memcpy(bytes, bytes_of(spec), size_t(n));
            break;
        case TYPE_BINARY:
            n = binary::rs_length_q(spec);
            if (n > 12) n = 12;
            if (n > 0) std::memcpy(bytes, binary::rs_head(spec), size_t(n));
            break;
        default: number::fire_bad_to_arg(TYPE_TUPLE, spec);
    }
    proto->header = 0;
    return make_at(proto, bytes, n);
}

// ---- Arithmetic ----

static uint8_t clamp_byte(int64_t v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); }

// Truncated toward zero and clamped; NaN gives 0.
static uint8_t clamp_byte(double v) { return static_cast<uint8_t>(v >= 255.0 ? 255 : v > 0 ? static_cast<int>(v) : 0); }

static int64_t byte_op(int64_t a, int64_t b, int op) {
    switch (op) {
        case OP_ADD: return a + b;
        case OP_SUB: return a - b;
        case OP_MUL: return a * b;
        case OP_DIV:
            if (b == 0) fire(err::math::zero_divide);
            return a / b;
        case OP_REM:
            if (b == 0) fire(err::math::zero_divide);
            return a % b;
        // The bitwise results of the 32-bit operands, as signed numbers.
        case OP_OR: return static_cast<int32_t>(uint32_t(a) | uint32_t(b));
        case OP_AND: return static_cast<int32_t>(uint32_t(a) & uint32_t(b));
        case OP_XOR: return static_cast<int32_t>(uint32_t(a) ^ uint32_t(b));
        default: runtime::quit(101, KEL_CALLER_ADDRESS());
    }
}

void do_math(int op) {
    Cell* args = stack::arguments;
    Cell left = args[0], right = args[1];
    if (left.type() != TYPE_TUPLE) {
        if (op == OP_SUB || op == OP_DIV) number::fire_not_related(number::word_of(op), left.type());
        std::swap(left, right);
    }
    int n = count_of(&left);
    uint8_t* b = bytes_of(&left);
    switch (right.type()) {
        case TYPE_FLOAT:
        case TYPE_PERCENT: {
            double f = right.f();
            if ((op == OP_DIV || op == OP_REM) && f == 0.0) fire(err::math::zero_divide);
            for (int i = 0; i < n; i++) b[i] = clamp_byte(float_::do_math_op(double(b[i]), f, op));
            break;
        }
        case TYPE_INTEGER: {
            int64_t k = right.i1();
            for (int i = 0; i < n; i++) b[i] = clamp_byte(byte_op(b[i], k, op));
            break;
        }
        case TYPE_TUPLE: {
            int n2 = count_of(&right);
            const uint8_t* c = bytes_of(&right);
            int count = n2 > n ? n2 : n;
            uint8_t out[12];
            for (int i = 0; i < count; i++) out[i] = clamp_byte(byte_op(i < n ? b[i] : 0, i < n2 ? c[i] : 0, op));
            make_at(&left, out, count);
            break;
        }
        default: number::fire_invalid_type(&right);
    }
    args[0] = left;
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

static void complement(const int32_t*) {
    Cell* v = stack::arguments;
    uint8_t* b = bytes_of(v);
    for (int i = 0, n = count_of(v); i < n; i++) b[i] = static_cast<uint8_t>(255 - b[i]);
}

static void length_q(const int32_t*) { set_cell(stack::arguments, TYPE_INTEGER, static_cast<uint32_t>(count_of(stack::arguments))); }

// ---- Bytes by index ----

static void pick(const int32_t*) {
    Cell* v = stack::arguments;
    const Cell* index = v + 1;
    int32_t i = index->type() == TYPE_INTEGER ? index->i1() : 0;
    if (i < 1 || i > count_of(v)) {
        Cell k = *index;
        fire(err::script::out_of_range, &k);
    }
    set_cell(v, TYPE_INTEGER, bytes_of(v)[i - 1]);
    stack::keep();
}

Cell* eval_path(PathStep& step, Cell* out) {
    Cell* v = step.value;
    const Cell* element = step.element;
    if (element->type() != TYPE_INTEGER) number::fire_invalid_type(element);
    int32_t i = element->i1();
    int n = count_of(v);
    if (!step.store) {
        if (i < 1 || i > n) fire(err::script::out_of_range, element);
        return set_cell(out, TYPE_INTEGER, bytes_of(v)[i - 1]);
    }
    const Cell* value = step.store;
    if (value->type() != TYPE_INTEGER && value->type() != TYPE_NONE) number::fire_invalid_type(value);
    if (i < 1 || i > n) fire(err::script::out_of_range, element);
    // The change is made in the cell given; the path walk stores the tuple back where it was read
    // from, and that place's owner hears of it there.
    uint8_t* b = bytes_of(v);
    if (value->type() == TYPE_INTEGER) {
        b[i - 1] = clamp_byte(int64_t(value->i1()));
    } else {
        // none cuts the tuple before the index, keeping at least three bytes.
        for (int k = i - 1; k < n; k++) b[k] = 0;
        int count = i - 1 < 3 ? 3 : i - 1;
        v->header = (v->header & ~count_mask) | (uint32_t(count) << count_shift);
    }
    *out = *value;
    return out;
}

// reverse/part/skip: the first `part` bytes reversed, in records of `skip` bytes.
static void reverse(const int32_t* refs) {
    Cell* v = stack::arguments;
    int n = count_of(v);
    int32_t part = n;
    if (refs[0] >= 0) {
        const Cell* p = v + refs[0];
        if (p->type() != TYPE_INTEGER) series::bad_refine("part", p);
        if (p->i1() < 0) fire(err::script::out_of_range, p);
        if (p->i1() < n) part = p->i1();
    }
    int32_t size = 1;
    if (refs[1] >= 0) {
        const Cell* s = v + refs[1];
        if (s->type() != TYPE_INTEGER) series::bad_refine("skip", s);
        size = s->i1();
        if (size == part) return;
        if (size < 1) fire(err::script::out_of_range, s);
        if (size > part || part % size != 0) series::bad_refine("skip", s);
    }
    uint8_t* b = bytes_of(v);
    for (int32_t lo = 0, hi = part - size; lo < hi; lo += size, hi -= size)
        for (int32_t k = 0; k < size; k++) std::swap(b[lo + k], b[hi + k]);
}

void init() {
    datatype::Row row;
    row.set(ACT_MAKE, to)
        .set(ACT_RANDOM, random)
        .set(ACT_TO, to)
        .set(ACT_FORM, form)
        .set(ACT_MOLD, mold)
        .set(ACT_EVAL_PATH, eval_path)
        .set(ACT_COMPARE, compare)
        .set(ACT_ADD, add)
        .set(ACT_DIVIDE, divide)
        .set(ACT_MULTIPLY, multiply)
        .set(ACT_REMAINDER, remainder)
        .set(ACT_SUBTRACT, subtract)
        .set(ACT_AND_T, and_)
        .set(ACT_COMPLEMENT, complement)
        .set(ACT_OR_T, or_)
        .set(ACT_XOR_T, xor_)
        .set(ACT_LENGTH_Q, length_q)
        .set(ACT_PICK, pick)
        .set(ACT_REVERSE, reverse);
    datatype::register_row(TYPE_TUPLE, 0, "tuple!", row);
}

}  // namespace tuple
