#include "datatypes/time.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/float.h"
#include "datatypes/integer.h"
#include "datatypes/number.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "runtime/fire.h"
#include "runtime/stack.h"

namespace time_ {

// Symbols of the field words, made on first use (registration runs before symbols exist).
static int32_t field_symbol(int field) {
    static int32_t symbols[4];
    static const char* const names[4] = {"", "hour", "minute", "second"};
    if (!symbols[field]) symbols[field] = symbol::make(names[field]);
    return symbols[field];
}

Cell* make_at(Cell* c, double seconds) {
    c->set_type(TYPE_TIME);
    c->data1 = 0;
    c->set_f(seconds);
    return c;
}

Cell* make_in(Node block, double seconds) { return make_at(set_cell(block::alloc_tail(block), TYPE_TIME), seconds); }
Cell* push(double seconds) { return make_at(set_cell(stack::push_cell(), TYPE_TIME), seconds); }
Cell* box(double seconds) { return make_at(set_cell(stack::arguments, TYPE_TIME), seconds); }

double get_hours(double seconds) { return std::trunc(seconds / kHour); }

int32_t get_minutes(double seconds) {
    double m = std::floor(std::fmod(std::fabs(seconds), kHour) / kMinute);
    return m >= 0.0 && m < 60.0 ? static_cast<int32_t>(m) : 0;  // NaN and infinities have none
}

Cell* field_value(double seconds, int field, Cell* out) {
    switch (field) {
        case FIELD_HOUR: {
            int32_t h;
            if (!number::to_int32(get_hours(seconds), &h)) number::fire_type_limit(TYPE_INTEGER);
            return set_cell(out, TYPE_INTEGER, static_cast<uint32_t>(h));
        }
        case FIELD_MINUTE: return set_cell(out, TYPE_INTEGER, static_cast<uint32_t>(get_minutes(seconds)));
        default: return float_::make_at(out, std::fmod(seconds, kMinute));
    }
}

Cell* get_field(const Cell* time, int field) {
    double seconds = time->f();
    return field_value(seconds, field, stack::push_cell());
}

int field_index(const Cell* element, const Cell* parent) {
    if (!types::any_word(element->type())) return -1;
    int32_t sym = symbol::resolve(static_cast<int32_t>(element->data2));
    for (int f = FIELD_HOUR; f <= FIELD_SECOND; f++)
        if (sym == symbol::resolve(field_symbol(f))) return f;
    if (parent && parent->type() == TYPE_TIME) {
        Cell w = *element, t = *parent;
        fire(err::script::cannot_use, &w, &t);
    }
    return -1;
}

int form_into(double seconds, Node buffer, int limit) {
    char text[float_::kFormSize];
    if (!std::isfinite(seconds)) {
        int n = float_::form_float(seconds, float_::kFloat, text);
        string::concatenate_literal_n(buffer, text, size_t(n));
        return limit - n;
    }
    int written = 0;
    if (seconds < 0) {
        string::concatenate_literal(buffer, "-");
        written++;
    }
    seconds = std::fabs(seconds);  // -0.0 too
    double s = std::fmod(seconds, kMinute);
    int n = 0;
    bool whole = s < kTiny;
    if (!whole) {
        n = float_::form_float(s, float_::kTimeSeconds, text);
        // Six digits round 59.9999999 up to "60": that is the next whole minute, carried into the
        // minutes and hours, never written as a seconds field of 60.
        if (n == 2 && text[0] == '6' && text[1] == '0') {
            seconds = seconds - s + kMinute;
            whole = true;
        }
    }
    // The hour count is written from the double itself, so any magnitude has its digits: up to
    // 309 of them for the largest finite double, more than the float text buffer holds.
    double hours = std::floor(seconds / kHour);
    char digits[std::numeric_limits<double>::max_exponent10 + 8];
    auto r = std::to_chars(digits, digits + sizeof digits, hours, std::chars_format::fixed, 0);
    int h = int(r.ptr - digits);
    string::concatenate_literal_n(buffer, digits, size_t(h));
    written += h;
    int32_t minutes = get_minutes(seconds);
    char mm[4] = {':', char('0' + minutes / 10), char('0' + minutes % 10), 0};
    string::concatenate_literal(buffer, mm);
    written += 3;
    string::concatenate_literal(buffer, ":");
    written++;
    if (whole) {
        string::concatenate_literal(buffer, "00");
        written += 2;
    } else {
        if (n == 1 || text[1] == '.') {
            string::concatenate_literal(buffer, "0");
            written++;
        }
        string::concatenate_literal_n(buffer, text, size_t(n));
        written += n;
    }
    return limit - written;
}

int form(const Cell* value, Node buffer, const Cell*, int limit) { return form_into(value->f(), buffer, limit); }

int mold(const Cell* value, Node buffer, bool, bool, bool, const Cell*, int limit, int) {
    return form_into(value->f(), buffer, limit);
}

Cell* make(Cell* proto, Cell* spec, int) {
    double seconds;
    switch (spec->type()) {
        case TYPE_TIME:
            *proto = *spec;
            return proto;
        case TYPE_INTEGER: seconds = double(spec->i1()); break;
        case TYPE_FLOAT:
        case TYPE_PERCENT: seconds = spec->f(); break;
        case TYPE_BLOCK:
        case TYPE_PAREN:
        case TYPE_HASH: {
            // [hours minutes seconds]: only the hours may be negative, and make the whole time
            // negative.
            int32_t n = block::rs_length_q(spec);
            if (n > 3) number::fire_bad_to_arg(TYPE_TIME, spec);
            const Cell* c = block::rs_head(spec);
            double parts[3] = {0.0, 0.0, 0.0};
            for (int32_t i = 0; i < n; i++) {
                if (c[i].type() == TYPE_INTEGER)
                    parts[i] = double(c[i].i1());
                else if (i == 2 && c[i].type() == TYPE_FLOAT)
                    parts[i] = c[i].f();
                else
                    number::fire_bad_to_arg(TYPE_TIME, spec);
                if (i > 0 && !(parts[i] >= 0.0)) number::fire_bad_to_arg(TYPE_TIME, spec);
            }
            bool negative = parts[0] < 0;
            seconds = std::fabs(parts[0]) * kHour + parts[1] * kMinute + parts[2];
            if (negative) seconds = -seconds;
            break;
        }
        case TYPE_STRING:
        case TYPE_FILE:
        case TYPE_URL:
        case TYPE_TAG:
        case TYPE_EMAIL:
        case TYPE_REF: {
            seconds = number::scan_as(spec, TYPE_TIME).f();
            break;
        }
        default: number::fire_bad_to_arg(TYPE_TIME, spec);
    }
    set_cell(proto, TYPE_TIME);
    proto->set_f(seconds);
    return proto;
}

// Element of a path or pick: 1, 2, 3 or the field words.
static int field_of(const Cell* element, const Cell* time) {
    if (element->type() == TYPE_INTEGER) {
        int32_t i = element->i1();
        return i >= 1 && i <= 3 ? i : -1;
    }
    return field_index(element, time);
}

Cell* eval_path(PathStep& step, Cell* out) {
    Cell* time = step.value;
    int field = field_of(step.element, time);
    if (field < 0) {
        Cell path, element = *step.element;
        if (step.path)
            path = *step.path;
        else
            set_cell(&path, TYPE_NONE);
        fire(err::script::invalid_path, &path, &element);
    }
    if (!step.store) return field_value(time->f(), field, out);
    Cell value = *step.store;
    double x = time->f();
    switch (field) {
        case FIELD_HOUR:
            if (value.type() != TYPE_INTEGER) fire(err::script::invalid_arg, &value);
            x -= (std::floor(x / kHour) - value.i1()) * kHour;
            break;
        case FIELD_MINUTE:
            if (value.type() != TYPE_INTEGER) fire(err::script::invalid_arg, &value);
            x -= (std::floor(std::fmod(x, kHour) / kMinute) - value.i1()) * kMinute;
            break;
        default:
            if (value.type() == TYPE_INTEGER)
                x -= std::fmod(x, kMinute) - value.i1();
            else if (value.type() == TYPE_FLOAT)
                x -= std::fmod(x, kMinute) - value.f();
            else
                fire(err::script::invalid_arg, &value);
            break;
    }
    // The change is made in the cell given; the path walk stores the changed time back into
    // the place it was read from, and that place's owner hears of it there.
    time->set_f(x);
    *out = value;
    return out;
}

void pick(const int32_t*) {
    Cell* time = stack::arguments;
    const Cell* index = time + 1;
    int field = field_of(index, time);
    if (field < 0) fire(err::script::out_of_range, index);
    double seconds = time->f();
    field_value(seconds, field, time);
    stack::keep();
}

void add(const int32_t*) {
    Cell* right = stack::arguments + 1;
    if (right->type() == TYPE_DATE) {
        std::swap(*stack::arguments, *right);
        if (!number::run_type_math(TYPE_DATE, OP_ADD)) number::fire_invalid_type(stack::arguments);
        stack::keep();
        return;
    }
    float_::do_math(OP_ADD);
}

void subtract(const int32_t*) {
    if (stack::arguments[1].type() == TYPE_DATE) number::fire_not_related("subtract", TYPE_TIME);
    float_::do_math(OP_SUB);
}

void multiply(const int32_t*) {
    if (stack::arguments[1].type() == TYPE_TIME) number::fire_not_related("multiply", TYPE_TIME);
    float_::do_math(OP_MUL);
}

// The ratio of two durations is a plain number.
void divide(const int32_t*) {
    bool ratio = stack::arguments[1].type() == TYPE_TIME;
    float_::do_math(OP_DIV);
    if (ratio) stack::arguments->set_type(TYPE_FLOAT);
}

void round(const int32_t* refs) {
    Cell* value = stack::arguments;
    const Cell* scale = refs[0] >= 0 ? stack::arguments + refs[0] : nullptr;
    double s = 1.0;
    if (scale) {
        switch (scale->type()) {
            case TYPE_MONEY: number::fire_not_related_call(TYPE_MONEY);
            case TYPE_INTEGER: s = double(scale->i1()); break;
            case TYPE_FLOAT:
            case TYPE_PERCENT:
            case TYPE_TIME: s = scale->f(); break;
            default: number::fire_expect_arg_named(scale, "scale");
        }
    }
    double r = float_::round_to(value->f(), std::fabs(s), float_::round_mode(refs));
    make_at(value, r);
}

// The lowest bit of the whole seconds, read a microsecond away from zero so that a time just
// below a whole second counts as that second.
static bool odd_seconds(const Cell* value) {
    double x = value->f();
    x = x >= 0 ? x + kTiny : x - kTiny;
    int32_t n;
    if (!number::to_int32(std::fmod(x, kMinute), &n)) number::fire_type_limit(TYPE_INTEGER);
    return n & 1;
}

void even_q(const int32_t*) {
    bool odd = odd_seconds(stack::arguments);
    set_cell(stack::arguments, TYPE_LOGIC, odd ? 0 : 1);
}

void odd_q(const int32_t*) {
    bool odd = odd_seconds(stack::arguments);
    set_cell(stack::arguments, TYPE_LOGIC, odd ? 1 : 0);
}

void init() {
    datatype::Row row;
    row.set(ACT_MAKE, make)
        .set(ACT_TO, make)
        .set(ACT_FORM, form)
        .set(ACT_MOLD, mold)
        .set(ACT_EVAL_PATH, eval_path)
        .set(ACT_ADD, add)
        .set(ACT_DIVIDE, divide)
        .set(ACT_MULTIPLY, multiply)
        .set(ACT_ROUND, round)
        .set(ACT_SUBTRACT, subtract)
        .set(ACT_EVEN_Q, even_q)
        .set(ACT_ODD_Q, odd_q)
        .set(ACT_PICK, pick)
        .inherit({ACT_RANDOM, ACT_COMPARE, ACT_ABSOLUTE, ACT_NEGATE, ACT_REMAINDER});
    datatype::register_row(TYPE_TIME, TYPE_FLOAT, "time!", row);
}

}  // namespace time_
