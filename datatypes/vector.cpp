#include "datatypes/vector.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/float.h"
#include "datatypes/percent.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "runtime/collector.h"
#include "runtime/dtoa.h"
#include "runtime/fire.h"
#include "runtime/stack.h"

namespace vector {

namespace {

constexpr int64_t kMaxBytes = 0x7FFFFFF0;

const symbol::Known sym_char("char!"), sym_integer("integer!"), sym_float("float!"), sym_percent("percent!");

inline SeriesBuf* sbuf(const Cell* v) { return memory::nodes[v->node()]; }
inline int type_of(const Cell* v) { return static_cast<int>(v->data3); }

// The low unit bytes of v.
void write_int(uint8_t* p, uint32_t unit, int64_t v) {
    uint32_t w = static_cast<uint32_t>(static_cast<uint64_t>(v));
    switch (unit) {
        case 1: p[0] = static_cast<uint8_t>(w); break;
        case 2: {
            uint16_t h = static_cast<uint16_t>(w);
            std::memcpy(p, &h, 2);
            break;
        }
        default: std::memcpy(p, &w, 4); break;
    }
}

// float32 of a double as IEEE rounding gives it: magnitudes that round past the largest float
// become infinities (a plain conversion of those is undefined in C++).
float narrow(double d) {
    if (std::isnan(d)) return std::numeric_limits<float>::quiet_NaN();
    constexpr double kRoundsToInfinity = 0x1.ffffffp127;  // FLT_MAX plus half its last place
    if (d >= kRoundsToInfinity) return std::numeric_limits<float>::infinity();
    if (d <= -kRoundsToInfinity) return -std::numeric_limits<float>::infinity();
    return static_cast<float>(d);
}

void write_float(uint8_t* p, uint32_t unit, double d) {
    if (unit == 4) {
        float f = narrow(d);
        std::memcpy(p, &f, 4);
    } else {
        std::memcpy(p, &d, 8);
    }
}

bool numeric_q(uint8_t t) { return t == TYPE_CHAR || t == TYPE_INTEGER || t == TYPE_FLOAT || t == TYPE_PERCENT; }

[[noreturn]] void fire_invalid_type(const Cell* value) {
    Cell t;
    datatype::make_at(&t, value->type());
    fire(err::script::invalid_type, &t);
}

[[noreturn]] void fire_bad_make(const Cell* spec) {
    Cell t, s = *spec;
    datatype::make_at(&t, TYPE_VECTOR);
    fire(err::script::bad_make_arg, &t, &s);
}

[[noreturn]] void fire_spec_field(const Cell* field) {
    Cell f = *field;
    fire(err::script::invalid_spec_field, &f);
}

// A float truncated toward zero into the int32 range, else math overflow.
int64_t truncate_checked(double d) {
    if (!(d > -2147483649.0 && d < 2147483648.0)) fire(err::math::overflow);
    return static_cast<int64_t>(d);
}

const char* type_name(int type) {
    switch (type) {
        case TYPE_CHAR: return "char!";
        case TYPE_INTEGER: return "integer!";
        case TYPE_FLOAT: return "float!";
        default: return "percent!";
    }
}

// Whether a value may be put into a vector of an element type: its own type; an integer! into
// float! elements; char! and integer! into each other's elements.
bool accepts_q(int element, uint8_t t) {
    if (t == element) return true;
    if (element == TYPE_FLOAT) return t == TYPE_INTEGER;
    if (element == TYPE_INTEGER || element == TYPE_CHAR) return t == TYPE_INTEGER || t == TYPE_CHAR;
    return false;
}

// The elements a value puts into a vector, already in the vector's width.
struct Encoded {
    std::vector<uint8_t> bytes;
    int64_t count = 0;
};

void encode_one(int element, uint32_t unit, const Cell* value, Encoded& e) {
    uint8_t t = value->type();
    if (!numeric_q(t)) fire_invalid_type(value);
    if (!accepts_q(element, t)) {
        Cell v = *value;
        fire(err::script::invalid_arg, &v);
    }
    if (element == TYPE_CHAR && t == TYPE_INTEGER && (int_of(value) < 0 || int_of(value) > 0x10FFFF)) {
        Cell v = *value;
        fire(err::script::out_of_range, &v);
    }
    size_t at = e.bytes.size();
    e.bytes.resize(at + unit);
    set_value(e.bytes.data() + at, element, unit, value);
    e.count++;
}

// A block!, paren! or hash! gives its values from its head (at most part of them when part is
// not negative), unless only; any other value is one element.
void encode(const Cell* vec, const Cell* value, int32_t part, bool only, Encoded& e) {
    int element = type_of(vec);
    uint32_t unit = sbuf(vec)->unit();
    if (only || !types::any_list(value->type())) {
        encode_one(element, unit, value, e);
        return;
    }
    int32_t n = block::rs_length_q(value);
    if (part >= 0 && part < n) n = part;
    e.bytes.reserve(size_t(n) * unit);
    for (int32_t i = 0; i < n; i++) {
        Cell c = *(block::rs_head(value) + i);
        encode_one(element, unit, &c, e);
    }
}

enum PutMode { PUT_APPEND, PUT_INSERT, PUT_CHANGE };

// Writes the encoded elements dup times at the tail (append), at the head (insert) or over the
// elements from the head (change: `replace` of them, or as many as are written when negative).
// Answers the position past the written elements; the owner hears of the value put in.
int64_t put_elements(Cell* v, const Cell* value, const Encoded& e, int64_t dup, PutMode mode, int64_t replace) {
    uint32_t unit = sbuf(v)->unit();
    if (dup < 1) dup = 0;
    if (e.count > 0 && dup > kMaxBytes / unit / e.count) fire(err::internal::no_memory);
    int64_t written = e.count * dup;
    // Nothing to write changes nothing, except that change/part still takes its elements out.
    if (written == 0 && !(mode == PUT_CHANGE && replace > 0)) return std::clamp<int64_t>(v->index(), 0, sbuf(v)->length());
    int64_t total = sbuf(v)->length();
    int64_t head = std::clamp<int64_t>(v->index(), 0, total);
    int64_t at = mode == PUT_APPEND ? total : head;
    series::Event event = mode == PUT_APPEND ? series::EV_APPEND : mode == PUT_INSERT ? series::EV_INSERT : series::EV_CHANGE;
    series::notify(v, event, false, value, static_cast<int32_t>(at), static_cast<int32_t>(written));
    // The owner's handler may have changed the vector.
    total = sbuf(v)->length();
    // append goes at the tail the handler left, which it may have moved either way.
    if (at > total || mode == PUT_APPEND) at = total;
    int64_t removed = 0;
    if (mode == PUT_CHANGE) removed = std::clamp<int64_t>(replace < 0 ? written : replace, 0, total - at);
    int64_t new_total = total - removed + written;
    if (new_total * unit > kMaxBytes) fire(err::internal::no_memory);
    if (new_total > total) series::reserve(v->node(), static_cast<uint32_t>((new_total - total) * unit));
    SeriesBuf* b = sbuf(v);
    uint8_t* base = b->at_head();
    std::memmove(base + (at + written) * unit, base + (at + removed) * unit, size_t(total - at - removed) * unit);
    if (e.count > 0)
        for (int64_t k = 0; k < dup; k++) std::memcpy(base + (at + k * e.count) * unit, e.bytes.data(), e.bytes.size());
    b->tail = b->head + static_cast<uint32_t>(new_total * unit);
    series::notify(v, event, true, value, static_cast<int32_t>(at), static_cast<int32_t>(written));
    return at + written;
}

void put_action(const int32_t* refs, PutMode mode) {
    Cell* args = stack::arguments;
    // The value stays on the stack until it is written: it may be held by nothing else.
    const Cell* part = refs[0] >= 0 ? args + refs[0] : nullptr;
    bool only = refs[1] >= 0;
    int64_t dup = 1;
    if (refs[2] >= 0 && args[refs[2]].type() == TYPE_INTEGER) dup = int_of(args + refs[2]);
    int32_t part_count = part && part->type() == TYPE_INTEGER ? int_of(part) : -1;
    Encoded e;
    if (mode == PUT_CHANGE) {
        // /part counts the elements replaced, not the values taken.
        encode(args, args + 1, -1, only, e);
        if (part_count < 0 && part) part_count = 0;
        int64_t past = put_elements(args, args + 1, e, dup, mode, part ? part_count : -1);
        args->set_index(static_cast<int32_t>(past));
        return stack::keep();
    }
    encode(args, args + 1, part ? std::max(part_count, 0) : -1, only, e);
    int64_t past = put_elements(args, args + 1, e, dup, mode, 0);
    if (mode == PUT_INSERT) args->set_index(static_cast<int32_t>(past));
    stack::keep();
}

// ---- Element arithmetic ----

int64_t int_op(int64_t a, int64_t b, int op) {
    switch (op) {
        case OP_ADD: return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
        case OP_SUB: return static_cast<int64_t>(static_cast<uint64_t>(a) - static_cast<uint64_t>(b));
        case OP_MUL: return static_cast<int64_t>(static_cast<uint64_t>(a) * static_cast<uint64_t>(b));
        case OP_DIV:
            if (b == 0) fire(err::math::zero_divide);
            // The lowest integer by -1 has no 32-bit quotient: it fails as integer! division
            // does, rather than wrapping back to the lowest integer.
            if (a == INT32_MIN && b == -1) fire(err::math::overflow);
            return a / b;
        case OP_REM:
            if (b == 0) fire(err::math::zero_divide);
            return a % b;
        case OP_OR: return a | b;
        case OP_AND: return a & b;
        default: return a ^ b;
    }
}

// Stores an integer result in an element: 32-bit char! elements must stay codepoints; narrower
// ones keep their low bits as every integer element does.
void store_int(uint8_t* p, uint32_t unit, int element, int64_t r) {
    int32_t low = static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(r)));
    if (element == TYPE_CHAR && unit == 4 && (low < 0 || low > 0x10FFFF)) fire(err::math::overflow);
    write_int(p, unit, low);
}

// vector op scalar (scalar op vector with scalar_first), in place from the head.
void vector_scalar(Cell* vec, const Cell* scalar, int op, bool scalar_first) {
    int element = type_of(vec);
    bool floats = float_type_q(element);
    uint8_t st = scalar->type();
    int64_t n = 0;
    double d = 0;
    if (floats) {
        if (st == TYPE_INTEGER)
            d = double(int_of(scalar));
        else if (st == TYPE_FLOAT || st == TYPE_PERCENT)
            d = scalar->f();
        else
            fire(err::internal::not_done);
    } else {
        if (st == TYPE_INTEGER || st == TYPE_CHAR)
            n = int_of(scalar);
        else if (st == TYPE_FLOAT || st == TYPE_PERCENT)
            n = truncate_checked(scalar->f());
        else
            fire(err::internal::not_done);
    }
    double amount = floats ? d : double(n);
    bool neutral = ((op == OP_ADD || op == OP_SUB) && amount == 0.0) || ((op == OP_MUL || op == OP_DIV) && amount == 1.0);
    // 0 - v and 1 / v are not v: only the commutative ones leave a vector that comes second.
    if (neutral && (!scalar_first || op == OP_ADD || op == OP_MUL)) return;
    SeriesBuf* b = sbuf(vec);
    uint32_t unit = b->unit();
    int64_t total = b->length();
    int64_t head = std::clamp<int64_t>(vec->index(), 0, total);
    // The results go to a scratch copy first: an element that fails (a division by zero, a
    // codepoint out of range) must leave the vector as it was, not half changed.
    uint8_t* from = b->at_head() + head * unit;
    size_t bytes = size_t(total - head) * unit;
    std::vector<uint8_t> work;
    try {
        work.assign(from, from + bytes);
    } catch (const std::bad_alloc&) {
        fire(err::internal::no_memory);
    }
    uint8_t* p = work.data();
    for (int64_t i = head; i < total; i++, p += unit) {
        if (floats) {
            double e = read_float(p, unit);
            write_float(p, unit, scalar_first ? float_::do_math_op(d, e, op) : float_::do_math_op(e, d, op));
        } else {
            int64_t e = read_int(p, unit, element == TYPE_CHAR);
            store_int(p, unit, element, scalar_first ? int_op(n, e, op) : int_op(e, n, op));
        }
    }
    if (bytes) std::memcpy(sbuf(vec)->at_head() + head * unit, work.data(), bytes);
}

// Element by element over the shorter length, as wide as the wider operand.
void vector_vector(Cell* out, const Cell* a_in, const Cell* b_in, int op) {
    Cell a = *a_in, b = *b_in;
    collector::Root keep_a(&a);
    collector::Root keep_b(&b);
    int element = type_of(&a);
    if (type_of(&b) != element) fire(err::script::not_same_type);
    uint32_t ua = sbuf(&a)->unit(), ub = sbuf(&b)->unit();
    uint32_t unit = std::max(ua, ub);
    int32_t n = std::min(rs_length_q(&a), rs_length_q(&b));
    Cell result;
    make_at(&result, n, element, unit);
    bool floats = float_type_q(element);
    const uint8_t* pa = rs_head(&a);
    const uint8_t* pb = rs_head(&b);
    uint8_t* pr = sbuf(&result)->at_head();
    for (int32_t i = 0; i < n; i++) {
        if (floats) {
            double x = read_float(pa + size_t(i) * ua, ua), y = read_float(pb + size_t(i) * ub, ub);
            write_float(pr + size_t(i) * unit, unit, float_::do_math_op(x, y, op));
        } else {
            bool chars = element == TYPE_CHAR;
            int64_t r = int_op(read_int(pa + size_t(i) * ua, ua, chars), read_int(pb + size_t(i) * ub, ub, chars), op);
            store_int(pr + size_t(i) * unit, unit, element, r);
        }
    }
    sbuf(&result)->tail = sbuf(&result)->head + uint32_t(n) * unit;
    *out = result;
}

// Appends text and answers the limit left.
int put_text(Node buffer, const char* text, size_t n, int limit) {
    string::concatenate_literal_n(buffer, text, n);
    return limit - static_cast<int>(n);
}

int element_text(const Cell* vec, int32_t i, Node buffer, bool molded, int limit) {
    Cell e;
    get_value(rs_head(vec) + size_t(i) * sbuf(vec)->unit(), sbuf(vec)->unit(), type_of(vec), &e);
    switch (e.type()) {
        case TYPE_CHAR: {
            uint32_t before = memory::nodes[buffer]->length();
            if (molded) string::concatenate_literal_n(buffer, "#\"", 2);
            string::mold_char(buffer, cp_of(&e), 253, false);
            if (molded) string::append_char(buffer, '"');
            return limit - static_cast<int>(memory::nodes[buffer]->length() - before);
        }
        case TYPE_INTEGER: {
            std::string s = std::to_string(int_of(&e));
            return put_text(buffer, s.data(), s.size(), limit);
        }
        case TYPE_PERCENT:
            if (sbuf(vec)->unit() == 8)
                return molded ? percent::mold(&e, buffer, false, false, false, nullptr, limit, 0)
                              : percent::form(&e, buffer, nullptr, limit);
            [[fallthrough]];
        default: {
            char text[float_::kFormSize];
            bool narrow_unit = sbuf(vec)->unit() == 4;
            if (molded && e.type() == TYPE_FLOAT) {
                // The exact digits, as mold of a float! writes them: the pretty form of the
                // formatter drops the last digits and tiny values, so a molded vector would
                // load back with other numbers.
                int n = narrow_unit ? dtoa::form_float32(static_cast<float>(e.f()), true, text)
                                    : dtoa::form_float(e.f(), 0, true, text);
                return put_text(buffer, text, size_t(n), limit);
            }
            int n = e.type() == TYPE_PERCENT ? float_::form_float(e.f() * 100.0, float_::kPercent32, text)
                                             : float_::form_float(e.f(), narrow_unit ? float_::kFloat32 : float_::kFloat, text);
            return put_text(buffer, text, size_t(n), limit);
        }
    }
}

int write_elements(const Cell* vec, Node buffer, bool molded, const Cell* part, int limit) {
    int32_t n = rs_length_q(vec);
    for (int32_t i = 0; i < n; i++) {
        if (part && limit <= 0) break;
        if (i > 0) limit = put_text(buffer, " ", 1, limit);
        limit = element_text(vec, i, buffer, molded, limit);
    }
    return limit;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Elements

Cell* get_value(const uint8_t* p, uint32_t unit, int type, Cell* out) {
    if (float_type_q(type)) {
        set_cell(out, static_cast<uint8_t>(type));
        out->set_f(read_float(p, unit));
        return out;
    }
    return set_cell(out, static_cast<uint8_t>(type), static_cast<uint32_t>(read_int(p, unit, type == TYPE_CHAR)));
}

void set_value(uint8_t* p, int type, uint32_t unit, const Cell* value) {
    uint8_t t = value->type();
    if (!numeric_q(t)) fire_invalid_type(value);
    bool value_float = t == TYPE_FLOAT || t == TYPE_PERCENT;
    if (float_type_q(type)) {
        write_float(p, unit, value_float ? value->f() : double(int_of(value)));
        return;
    }
    write_int(p, unit, value_float ? truncate_checked(value->f()) : int64_t(value->data1));
}

// ---------------------------------------------------------------------------------------------
// Making

Cell* make_at(Cell* c, int32_t count, int type, uint32_t unit) {
    int64_t n = count < 1 ? 1 : count;
    if (n * unit > kMaxBytes) fire(err::internal::no_memory);
    Node node = memory::alloc_series(static_cast<int32_t>(n), static_cast<int>(unit), 0);
    return set_cell(c, TYPE_VECTOR, 0, node, static_cast<uint32_t>(type));
}

Cell* push(const Cell* vec) { return stack::push(vec); }

int32_t rs_length_q(const Cell* vec) {
    int64_t n = int64_t(sbuf(vec)->length()) - (vec->index() > 0 ? vec->index() : 0);
    return n > 0 ? static_cast<int32_t>(n) : 0;
}

uint8_t* rs_head(const Cell* vec) {
    SeriesBuf* b = sbuf(vec);
    int64_t i = std::clamp<int64_t>(vec->index(), 0, b->length());
    return b->at_head() + i * b->unit();
}

uint8_t* rs_tail(const Cell* vec) { return sbuf(vec)->at_tail(); }

bool rs_tail_q(const Cell* vec) { return rs_length_q(vec) == 0; }

void rs_clear(const Cell* vec) {
    SeriesBuf* b = sbuf(vec);
    b->tail = static_cast<uint32_t>(rs_head(vec) - b->data());
}

bool rs_skip(Cell* vec, int32_t n) {
    int64_t total = sbuf(vec)->length();
    int64_t to = int64_t(vec->index()) + n;
    if (to >= 0 && to <= total) vec->set_index(static_cast<int32_t>(to));
    return vec->index() >= total;
}

bool rs_next(Cell* vec) { return rs_skip(vec, 1); }

void rs_append_int(const Cell* vec, int32_t value) {
    uint32_t unit = sbuf(vec)->unit();
    if (int64_t(sbuf(vec)->used_bytes()) + unit > kMaxBytes) fire(err::internal::no_memory);
    uint32_t at = series::alloc_tail_bytes(vec->node(), unit);
    Cell v;
    set_cell(&v, TYPE_INTEGER, static_cast<uint32_t>(value));
    set_value(sbuf(vec)->data() + at, type_of(vec), unit, &v);
}

Cell* to_block(const Cell* vec, Cell* out) {
    Cell v = *vec;
    collector::Root keep(&v);
    int32_t n = rs_length_q(&v);
    Cell result;
    block::make_new(&result, n);
    collector::Root keep_result(&result);
    Cell e;
    for (int32_t i = 0; i < n; i++) {
        get_value(rs_head(&v) + size_t(i) * sbuf(&v)->unit(), sbuf(&v)->unit(), type_of(&v), &e);
        block::append_cell(result.node(), &e);
    }
    *out = result;
    return out;
}

Cell* make(Cell* proto, Cell* spec_in, int) {
    Cell* work = stack::push_cell();
    set_cell(work, TYPE_NONE);
    Cell* spec = stack::push(spec_in);
    int element = TYPE_INTEGER;
    uint32_t unit = 4;
    int64_t count = -1;
    const Cell* values = nullptr;
    switch (spec->type()) {
        case TYPE_INTEGER: count = int_of(spec); break;
        case TYPE_FLOAT: {
            double d = spec->f();
            if (!(d > -2147483649.0 && d < 2147483648.0)) fire_bad_make(spec);
            count = static_cast<int64_t>(d);
            break;
        }
        case TYPE_BLOCK: {
            int32_t len = block::rs_length_q(spec);
            auto at = [&](int32_t i) { return block::rs_head(spec) + i; };
            if (len == 0) {
                count = 0;
                break;
            }
            if (at(0)->type() != TYPE_WORD) {
                // The first value names the element type, in its default width, so that what
                // mold writes for such a vector makes it again.
                uint8_t first = at(0)->type();
                if (first == TYPE_CHAR || first == TYPE_FLOAT || first == TYPE_PERCENT) {
                    element = first;
                    unit = default_unit(first);
                }
                values = spec;
                break;
            }
            if (len < 2) fire_bad_make(spec);
            const Cell* name = at(0);
            if (sym_integer.is(name))
                element = TYPE_INTEGER;
            else if (sym_char.is(name))
                element = TYPE_CHAR;
            else if (sym_float.is(name))
                element = TYPE_FLOAT;
            else if (sym_percent.is(name))
                element = TYPE_PERCENT;
            else
                fire_bad_make(spec);
            int32_t i = 1;
            if (at(i)->type() == TYPE_INTEGER) {
                int32_t bits = int_of(at(i));
                if (element == TYPE_PERCENT)
                    unit = 8;
                else if (element == TYPE_FLOAT && (bits == 32 || bits == 64))
                    unit = static_cast<uint32_t>(bits / 8);
                else if (element != TYPE_FLOAT && (bits == 8 || bits == 16 || bits == 32))
                    unit = static_cast<uint32_t>(bits / 8);
                else
                    fire_bad_make(spec);
                i++;
            } else if (element == TYPE_PERCENT) {
                unit = 8;
            } else {
                fire_spec_field(at(i));
            }
            if (i < len && at(i)->type() == TYPE_INTEGER) {
                count = int_of(at(i));
                i++;
                if (i < len && at(i)->type() == TYPE_BLOCK) values = at(i);
            } else if (i < len && at(i)->type() == TYPE_BLOCK) {
                values = at(i);
            } else {
                fire_spec_field(i < len ? at(i) : spec);
            }
            break;
        }
        default: fire(err::internal::not_done);
    }
    Cell* vals = values ? stack::push(values) : nullptr;
    int32_t given = vals ? block::rs_length_q(vals) : 0;
    if (count <= given) count = given;
    if (count * unit > kMaxBytes) fire(err::internal::no_memory);
    make_at(work, static_cast<int32_t>(count), element, unit);
    for (int32_t i = 0; i < given; i++) {
        const Cell* v = block::rs_head(vals) + i;
        if (v->type() != element) {
            Cell bad = *v;
            fire(err::script::invalid_arg, &bad);
        }
        set_value(sbuf(work)->data() + size_t(i) * unit, element, unit, v);
    }
    if (count > given) std::memset(sbuf(work)->data() + size_t(given) * unit, 0, size_t(count - given) * unit);
    sbuf(work)->tail = static_cast<uint32_t>(std::max<int64_t>(count, 0) * unit);
    *proto = *work;
    stack::top = work;
    return proto;
}

// ---------------------------------------------------------------------------------------------
// Text

int form(const Cell* value, Node buffer, const Cell* part, int limit) {
    Cell v = *value;
    collector::Root keep(&v);
    return write_elements(&v, buffer, false, part, limit);
}

int mold(const Cell* value, Node buffer, bool only, bool, bool, const Cell* part, int limit, int) {
    Cell v = *value;
    collector::Root keep(&v);
    int element = type_of(&v);
    uint32_t unit = sbuf(&v)->unit();
    bool compact = rs_length_q(&v) > 0 && unit == default_unit(element);
    if (!only) limit = put_text(buffer, "make vector! [", 14, limit);
    if (!compact) {
        std::string head = std::string(type_name(element)) + " " + std::to_string(unit * 8) + " [";
        limit = put_text(buffer, head.data(), head.size(), limit);
    }
    limit = write_elements(&v, buffer, true, part, limit);
    if (part && limit <= 0) return limit;
    if (!compact) limit = put_text(buffer, "]", 1, limit);
    if (!only) limit = put_text(buffer, "]", 1, limit);
    return limit;
}

// ---------------------------------------------------------------------------------------------
// Comparison

int compare(const Cell* a, const Cell* b, int op) {
    if (b->type() != TYPE_VECTOR) return -2;
    int element = type_of(a);
    if (type_of(b) != element) fire(err::script::not_same_type);
    bool equality = op == COMP_EQUAL || op == COMP_NOT_EQUAL || op == COMP_STRICT_EQUAL || op == COMP_EQUAL_FIND;
    if (a->node() == b->node() && a->index() == b->index()) return 0;
    if (op == COMP_SAME) return -1;
    int32_t la = rs_length_q(a), lb = rs_length_q(b);
    if (equality && la != lb) return 1;
    uint32_t ua = sbuf(a)->unit(), ub = sbuf(b)->unit();
    const uint8_t* pa = rs_head(a);
    const uint8_t* pb = rs_head(b);
    int32_t n = std::min(la, lb);
    bool floats = float_type_q(element), chars = element == TYPE_CHAR;
    for (int32_t i = 0; i < n; i++) {
        if (floats) {
            double x = read_float(pa + size_t(i) * ua, ua), y = read_float(pb + size_t(i) * ub, ub);
            if (x == y) continue;
            return x < y ? -1 : 1;
        }
        int64_t x = read_int(pa + size_t(i) * ua, ua, chars), y = read_int(pb + size_t(i) * ub, ub, chars);
        if (x != y) return x < y ? -1 : 1;
    }
    if (la == lb) return 0;
    return la < lb ? -1 : 1;
}

// ---------------------------------------------------------------------------------------------
// Arithmetic

Cell* do_math_op(int op, const Cell* left, const Cell* right, Cell* out) {
    if (left->type() == TYPE_VECTOR && right->type() == TYPE_VECTOR) {
        vector_vector(out, left, right, op);
        return out;
    }
    bool vector_first = left->type() == TYPE_VECTOR;
    Cell vec = vector_first ? *left : *right;
    Cell scalar = vector_first ? *right : *left;
    collector::Root keep(&vec);
    vector_scalar(&vec, &scalar, op, !vector_first);
    *out = vec;
    return out;
}

void do_math(int op) {
    Cell* args = stack::arguments;
    do_math_op(op, args, args + 1, args);
    stack::keep();
}

void add(const int32_t*) { do_math(OP_ADD); }
void subtract(const int32_t*) { do_math(OP_SUB); }
void multiply(const int32_t*) { do_math(OP_MUL); }
void divide(const int32_t*) { do_math(OP_DIV); }
void remainder(const int32_t*) { do_math(OP_REM); }
void and_(const int32_t*) { do_math(OP_AND); }
void or_(const int32_t*) { do_math(OP_OR); }
void xor_(const int32_t*) { do_math(OP_XOR); }

// ---------------------------------------------------------------------------------------------
// append, insert, change

void append(const int32_t* refs) { put_action(refs, PUT_APPEND); }
void insert(const int32_t* refs) { put_action(refs, PUT_INSERT); }
void change(const int32_t* refs) { put_action(refs, PUT_CHANGE); }

void init() {
    datatype::Row row;
    row.set(ACT_MAKE, make)
        .set(ACT_FORM, form)
        .set(ACT_MOLD, mold)
        .set(ACT_COMPARE, compare)
        .set(ACT_ADD, add)
        .set(ACT_DIVIDE, divide)
        .set(ACT_MULTIPLY, multiply)
        .set(ACT_REMAINDER, remainder)
        .set(ACT_SUBTRACT, subtract)
        .set(ACT_AND_T, and_)
        .set(ACT_OR_T, or_)
        .set(ACT_XOR_T, xor_)
        .set(ACT_APPEND, append)
        .set(ACT_CHANGE, change)
        .set(ACT_INSERT, insert);
    row.inherit({ACT_RANDOM, ACT_REFLECT, ACT_EVAL_PATH, ACT_AT, ACT_BACK, ACT_CLEAR, ACT_COPY, ACT_FIND, ACT_HEAD,
                 ACT_HEAD_Q, ACT_INDEX_Q, ACT_LENGTH_Q, ACT_MOVE, ACT_NEXT, ACT_PICK, ACT_POKE, ACT_REMOVE,
                 ACT_REVERSE, ACT_SELECT, ACT_SORT, ACT_SKIP, ACT_TAIL, ACT_TAIL_Q, ACT_TAKE, ACT_MODIFY});
    datatype::register_row(TYPE_VECTOR, TYPE_STRING, "vector!", row);
    series::vector_get_value = get_value;
    series::vector_set_value = set_value;
}

}  // namespace vector
