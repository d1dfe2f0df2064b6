#include "datatypes/char.h"

#include <cmath>
#include <cstring>

#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/number.h"
#include "datatypes/string.h"
#include "runtime/fire.h"
#include "runtime/runtime.h"
#include "runtime/unicode.h"
#include "runtime/stack.h"

namespace char_ {

Cell* make_at(Cell* c, int32_t cp) { return set_cell(c, TYPE_CHAR, static_cast<uint32_t>(cp)); }
Cell* make_in(Node block, int32_t cp) { return make_at(block::alloc_tail(block), cp); }
Cell* push(int32_t cp) { return make_at(stack::push_cell(), cp); }
Cell* box(int32_t cp) { return make_at(stack::arguments, cp); }

void do_math(int op) {
    Cell* left = stack::arguments;
    const Cell* right = left + 1;
    int64_t b;
    switch (right->type()) {
        case TYPE_CHAR:
        case TYPE_INTEGER: b = right->i1(); break;
        case TYPE_FLOAT: {
            int32_t n;
            if (!number::to_int32(right->f(), &n)) fire(err::math::overflow);
            b = n;
            break;
        }
        case TYPE_VECTOR:
            if (!number::run_type_math(TYPE_VECTOR, op)) number::fire_invalid_type(right);
            stack::keep();
            return;
        default: number::fire_invalid_type(right);
    }
    int64_t a = left->i1();
    int64_t v;
    switch (op) {
        case OP_ADD: v = a + b; break;
        case OP_SUB: v = a - b; break;
        case OP_MUL: v = a * b; break;
        case OP_DIV:
            if (b == 0) fire(err::math::zero_divide);
            v = a / b;
            break;
        case OP_REM:
            if (b == 0) fire(err::math::zero_divide);
            v = a % b;
            break;
        case OP_OR: v = static_cast<int32_t>(static_cast<uint32_t>(a) | static_cast<uint32_t>(b)); break;
        case OP_AND: v = static_cast<int32_t>(static_cast<uint32_t>(a) & static_cast<uint32_t>(b)); break;
        case OP_XOR: v = static_cast<int32_t>(static_cast<uint32_t>(a) ^ static_cast<uint32_t>(b)); break;
        default: runtime::quit(101, KEL_CALLER_ADDRESS());
    }
    if (v < 0 || v > kMax) fire(err::math::overflow);
    left->data1 = static_cast<uint32_t>(v);
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

// A char! equals an integer! of the same number, but only under the tolerant operators.
int compare(const Cell* a, const Cell* b, int op) {
    switch (op) {
        case COMP_STRICT_EQUAL:
        case COMP_SAME:
        case COMP_STRICT_EQUAL_WORD:
        case COMP_EQUAL_FIND:
            if (b->type() != TYPE_CHAR) return 1;
            break;
        default: break;
    }
    if (b->type() != TYPE_CHAR && b->type() != TYPE_INTEGER) return -2;
    int32_t x = a->i1(), y = b->i1();
    return (x > y) - (x < y);
}

static Cell* checked(Cell* proto, const Cell* spec, int64_t cp) {
    if (cp < 0 || cp > kMax) fire(err::script::out_of_range, spec);
    return make_at(proto, static_cast<int32_t>(cp));
}

// The first UTF-8 character at a binary's head, through the checked decoder; a sequence cut
// by the end of the binary raises access invalid-utf8 with its bytes as well.
static int32_t first_utf8_char(const Cell* bin) {
    SeriesBuf* s = memory::nodes[bin->node()];
    int64_t from = bin->index() > 0 ? bin->index() : 0;
    int64_t left = int64_t(s->length()) - from;
    int32_t avail = left < 4 ? static_cast<int32_t>(left) : 4;
    int32_t cp = unicode::decode_utf8_checked(s->at_head() + from, &avail);
    if (cp < 0) unicode::fire_invalid_utf8(s->at_head() + from, avail);
    return cp;
}

Cell* make(Cell* proto, Cell* spec, int) {
    switch (spec->type()) {
        case TYPE_STRING:
        case TYPE_FILE:
        case TYPE_URL:
        case TYPE_TAG:
        case TYPE_EMAIL:
        case TYPE_REF: {
            Cell text = *spec;
            uint32_t head = string::rs_head(&text);  // clamps the index into the text
            if (string::rs_length_q(&text) <= 0) number::fire_bad_to_arg(TYPE_CHAR, spec);
            SeriesBuf* s = memory::nodes[text.node()];
            return make_at(proto, static_cast<int32_t>(string::get_char(s->data() + head, s->unit())));
        }
        case TYPE_CHAR:
        case TYPE_INTEGER: return checked(proto, spec, spec->i1());
        case TYPE_FLOAT:
        case TYPE_PERCENT: {
            double x = std::trunc(spec->f());
            if (!(x >= 0.0 && x <= double(kMax))) fire(err::script::out_of_range, spec);
            return make_at(proto, static_cast<int32_t>(x));
        }
        case TYPE_BINARY: {
            SeriesBuf* s = memory::nodes[spec->node()];
            if (int64_t(s->length()) <= int64_t(spec->index() > 0 ? spec->index() : 0)) number::fire_bad_to_arg(TYPE_CHAR, spec);
            return make_at(proto, first_utf8_char(spec));
        }
        default: number::fire_bad_to_arg(TYPE_CHAR, spec);
    }
}

int form(const Cell* value, Node buffer, const Cell*, int limit) {
    string::append_char(buffer, value->data1);
    return limit - 1;
}

int mold(const Cell* value, Node buffer, bool, bool all, bool, const Cell*, int limit, int) {
    string::concatenate_literal(buffer, "#\"");
    string::mold_char(buffer, value->data1, 253, all);
    string::concatenate_literal(buffer, "\"");
    return limit - 4;
}

void init() {
    datatype::Row row;
    row.set(ACT_MAKE, make)
        .set(ACT_TO, make)
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
        .inherit({ACT_RANDOM, ACT_ABSOLUTE, ACT_EVEN_Q, ACT_ODD_Q});
    datatype::register_row(TYPE_CHAR, TYPE_INTEGER, "char!", row);
}

}  // namespace char_
