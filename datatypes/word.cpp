#include "datatypes/word.h"

#include "datatypes/context.h"
#include "datatypes/datatype.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "runtime/fire.h"
#include "runtime/stack.h"

namespace word {

Cell* make_at(int32_t sym, Cell* c) {
    Cell w;
    set_cell(&w, TYPE_WORD, context::global_node, static_cast<uint32_t>(sym), static_cast<uint32_t>(-1));
    int32_t i = context::add_or_find(context::global_node, &w);
    // Case variants share the first variant's slot.
    w.data3 = context::word_at_node(context::global_node, i)->data3;
    *c = w;
    return c;
}

Cell* make_global(Cell* c, int32_t sym, uint8_t type) {
    make_at(sym, c);
    c->header = type;
    return c;
}

Cell* make_in_context(Cell* c, int32_t sym, Node ctx, uint8_t type) {
    int32_t i = ctx ? context::find_word(ctx, sym, false) : -1;
    return set_cell(c, type, ctx, static_cast<uint32_t>(sym), static_cast<uint32_t>(i));
}

Cell* load(Cell* c, std::string_view text) {
    int32_t sym = symbol::make(text);
    context::add_global(c, sym, true, true);
    return c;
}

Cell* push_global(int32_t sym) { return make_global(stack::push_cell(), sym); }

Cell* peek(const Cell* w) {
    Node ctx = w->data1;
    int32_t index = static_cast<int32_t>(w->data3);
    if (!ctx || index < 0) return nullptr;
    Cell* v = context::values(ctx);
    return v ? v + index : nullptr;
}

Cell* get(const Cell* w) {
    Cell* v = context::get(w);
    if (v->type() == TYPE_UNSET) {
        Cell copy = *w;
        fire(err::script::no_value, &copy);
    }
    return stack::push(v);
}

void set_value(Cell* w, const Cell* value) { context::set_value(w, value); }

static int append_text(const Cell* value, Node buffer, int limit, const char* prefix, const char* suffix) {
    if (prefix) {
        string::concatenate_literal(buffer, prefix);
        limit -= 1;
    }
    Cell s;
    string::make_at(&s, symbol::get_string(static_cast<int32_t>(value->data2)));
    string::append_string(buffer, &s);
    limit -= string::rs_length_q(&s);
    if (suffix) {
        string::concatenate_literal(buffer, suffix);
        limit -= 1;
    }
    return limit;
}

int form(const Cell* value, Node buffer, const Cell*, int limit) { return append_text(value, buffer, limit, nullptr, nullptr); }

int mold(const Cell* value, Node buffer, bool, bool, bool, const Cell*, int limit, int) {
    return append_text(value, buffer, limit, nullptr, nullptr);
}

static int mold_set(const Cell* v, Node b, bool, bool, bool, const Cell*, int limit, int) {
    return append_text(v, b, limit, nullptr, ":");
}
static int mold_lit(const Cell* v, Node b, bool, bool, bool, const Cell*, int limit, int) {
    return append_text(v, b, limit, "'", nullptr);
}
static int mold_get(const Cell* v, Node b, bool, bool, bool, const Cell*, int limit, int) {
    return append_text(v, b, limit, ":", nullptr);
}
static int mold_refinement(const Cell* v, Node b, bool, bool, bool, const Cell*, int limit, int) {
    return append_text(v, b, limit, "/", nullptr);
}

int compare(const Cell* a, const Cell* b, int op) {
    uint8_t ta = a->type(), tb = b->type();
    if (!types::any_word(tb) || (tb == TYPE_ISSUE && ta != TYPE_ISSUE)) return -2;
    auto sa = static_cast<int32_t>(a->data2), sb = static_cast<int32_t>(b->data2);
    bool word_lit = (ta == TYPE_WORD && tb == TYPE_LIT_WORD) || (ta == TYPE_LIT_WORD && tb == TYPE_WORD);
    switch (op) {
        case COMP_SAME: return ta == tb && sa == sb && a->data1 == b->data1 ? 0 : 1;
        case COMP_STRICT_EQUAL_WORD:
            if (word_lit) return sa == sb ? 0 : 1;
            return ta == tb && sa == sb ? 0 : 1;
        case COMP_STRICT_EQUAL: return ta == tb && sa == sb ? 0 : 1;
        case COMP_FIND:
            if (word_lit) return symbol::resolve(sa) == symbol::resolve(sb) ? 0 : 1;
            return ta == tb && symbol::resolve(sa) == symbol::resolve(sb) ? 0 : 1;
        case COMP_EQUAL:
        case COMP_NOT_EQUAL:
        case COMP_EQUAL_FIND: return symbol::resolve(sa) == symbol::resolve(sb) ? 0 : 1;
        default: {
            Cell x, y;
            string::make_at(&x, symbol::get_string(sa));
            string::make_at(&y, symbol::get_string(sb));
            int r = string::compare(&x, &y, op);
            return r < 0 ? -1 : (r > 0 ? 1 : 0);
        }
    }
}

static void index_q(const int32_t*) {
    Cell* w = stack::arguments;
    int32_t i = static_cast<int32_t>(w->data3);
    if (i < 0)
        set_cell(w, TYPE_NONE);
    else
        set_cell(w, TYPE_INTEGER, static_cast<uint32_t>(i + 1));
    stack::keep();
}

void init() {
    datatype::Row row;
    row.set(ACT_FORM, form).set(ACT_MOLD, mold).set(ACT_COMPARE, compare).set(ACT_INDEX_Q, index_q);
    datatype::register_row(TYPE_WORD, TYPE_SYMBOL, "word!", row);
    datatype::Row lit;
    lit.inherit({ACT_MAKE, ACT_TO, ACT_FORM, ACT_COMPARE, ACT_INDEX_Q}).set(ACT_MOLD, mold_lit);
    datatype::register_row(TYPE_LIT_WORD, TYPE_WORD, "lit-word!", lit);
    datatype::Row set;
    set.inherit({ACT_MAKE, ACT_TO, ACT_FORM, ACT_COMPARE, ACT_INDEX_Q}).set(ACT_MOLD, mold_set);
    datatype::register_row(TYPE_SET_WORD, TYPE_WORD, "set-word!", set);
    datatype::Row get;
    get.inherit({ACT_MAKE, ACT_TO, ACT_FORM, ACT_COMPARE, ACT_INDEX_Q}).set(ACT_MOLD, mold_get);
    datatype::register_row(TYPE_GET_WORD, TYPE_WORD, "get-word!", get);
    datatype::Row ref;
    ref.inherit({ACT_MAKE, ACT_TO, ACT_FORM, ACT_COMPARE}).set(ACT_MOLD, mold_refinement);
    datatype::register_row(TYPE_REFINEMENT, TYPE_WORD, "refinement!", ref);
}

}  // namespace word
