#include "datatypes/percent.h"

#include <cmath>
#include <cstring>
#include <string>

#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/float.h"
#include "datatypes/string.h"
#include "runtime/dtoa.h"
#include "runtime/stack.h"

namespace percent {

Cell* make_at(Cell* c, double d) {
    c->header = (c->header & ~cell_flag::type_mask) | TYPE_PERCENT;
    c->data1 = 0;
    c->set_f(d);
    return c;
}

Cell* make_at_bits(Cell* c, uint32_t high, uint32_t low) {
    c->header = (c->header & ~cell_flag::type_mask) | TYPE_PERCENT;
    c->data1 = 0;
    c->data2 = low;
    c->data3 = high;
    return c;
}

Cell* make_in(Node block, uint32_t high, uint32_t low) {
    Cell* c = block::alloc_tail(block);
    c->header = 0;
    return make_at_bits(c, high, low);
}

Cell* push(double d) {
    Cell* c = stack::push_cell();
    c->header = 0;
    return make_at(c, d);
}

Cell* push_bits(uint32_t high, uint32_t low) {
    Cell* c = stack::push_cell();
    c->header = 0;
    return make_at_bits(c, high, low);
}

Cell* box(double d) {
    stack::arguments->header = 0;
    return make_at(stack::arguments, d);
}

namespace {

std::string formed(double v) {
    // A whole percentage has no point: 50%, not 50.0%.
    std::string s = float_::form_float(v * 100.0, float_::kPercent);
    if (s.size() > 3 && s.compare(s.size() - 3, 3, ".0%") == 0) s.erase(s.size() - 3, 2);
    return s;
}

// The text of v that a percent literal reads back to the same bits: the shortest digits of the
// fraction itself, with the point moved two places (the literal divides by 100 exactly as it reads,
// so no product with 100 rounds in between).
std::string exact(double v) {
    int pos, len;
    bool sign;
    const char* d = dtoa::dtoa(v, 0, &pos, &sign, &len, false);
    std::string out;
    if (sign) {
        out += '-';
        d++;
        len--;
    }
    if (pos == dtoa::kZero) return out + "0%";
    std::string digits(d, size_t(len));
    int p = pos + 2;  // 0.digits times 10^p
    if (p > 17 || p < -6) {
        out += digits[0];
        out += '.';
        out += len > 1 ? digits.substr(1) : "0";
        out += 'e' + std::to_string(p - 1);
    } else if (p <= 0) {
        out += "0." + std::string(size_t(-p), '0') + digits;
    } else if (p < len) {
        out += digits.substr(0, size_t(p)) + '.' + digits.substr(size_t(p));
    } else {
        out += digits + std::string(size_t(p - len), '0');
    }
    return out + '%';
}

}  // namespace

int form(const Cell* value, Node buffer, const Cell*, int limit) {
    std::string s = formed(value->f());
    string::concatenate_literal_n(buffer, s.data(), s.size());
    return limit - static_cast<int>(s.size());
}

int mold(const Cell* value, Node buffer, bool, bool, bool, const Cell*, int limit, int) {
    // The formed text when it loads back to the same value, else one that does: saved data keeps
    // its percentages exactly, as it keeps its floats.
    double v = value->f();
    std::string s = formed(v);
    if (std::isfinite(v)) {
        int left;
        double back = dtoa::strtod(s.data(), s.data() + s.size() - 1, -2, &left);
        if (left != 0 || std::memcmp(&back, &v, sizeof v) != 0) s = exact(v);
    }
    string::concatenate_literal_n(buffer, s.data(), s.size());
    return limit - static_cast<int>(s.size());
}

void init() {
    datatype::Row row;
    row.inherit({ACT_MAKE, ACT_RANDOM, ACT_TO, ACT_COMPARE, ACT_ABSOLUTE, ACT_ADD, ACT_DIVIDE, ACT_MULTIPLY, ACT_NEGATE,
                 ACT_POWER, ACT_REMAINDER, ACT_ROUND, ACT_SUBTRACT, ACT_EVEN_Q, ACT_ODD_Q});
    row.set(ACT_FORM, form).set(ACT_MOLD, mold);
    datatype::register_row(TYPE_PERCENT, TYPE_FLOAT, "percent!", row);
}

}  // namespace percent
