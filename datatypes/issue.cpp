#include "datatypes/issue.h"

#include <climits>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/datatype.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "runtime/collector.h"
#include "runtime/fire.h"
#include "runtime/root.h"
#include "runtime/stack.h"

namespace issue {

bool building_root = false;

namespace {

Cell* make_symbol(Cell* c, int32_t sym) {
    return set_cell(c, TYPE_ISSUE, context::global_node, static_cast<uint32_t>(sym), static_cast<uint32_t>(-1));
}

}  // namespace

Cell* make_at(Cell* c, const char* text) { return make_symbol(c, symbol::make(text)); }

Cell* make_in(Node block, const char* text) {
    Cell c;
    make_at(&c, text);
    return block::append_cell(block, &c);
}

Cell* load(const char* text) {
    Cell c;
    make_at(&c, text);
    if (building_root) return root::at(root::keep(&c));
    return stack::push(&c);
}

Cell* from_word(const Cell* word) {
    Cell* c = stack::push(word);
    c->set_type(TYPE_ISSUE);
    return c;
}

Cell* make(Cell* proto, Cell* spec_in, int type) {
    Cell spec = *spec_in;
    switch (spec.type()) {
        case TYPE_STRING:
            // The text from the head names the symbol.
            return make_symbol(proto, symbol::make_from_string(&spec));
        case TYPE_CHAR: {
            Cell s;
            string::rs_make_at(&s, 4);
            collector::Root keep(&s);
            string::append_char(s.node(), spec.data1);  // the codepoint of a char! cell
            return make_symbol(proto, symbol::make_from_string(&s));
        }
        case TYPE_WORD:
        case TYPE_SET_WORD:
        case TYPE_LIT_WORD:
        case TYPE_GET_WORD:
        case TYPE_REFINEMENT:
        case TYPE_ISSUE:
            *proto = spec;
            proto->set_type(TYPE_ISSUE);
            return proto;
        default: break;
    }
    // Everything else converts as for word!, which also reports what it cannot convert.
    auto word_make = reinterpret_cast<MakeFn>(datatype::slot(TYPE_WORD, ACT_MAKE));
    if (!word_make) {
        Cell t;
        datatype::make_at(&t, type);
        fire(err::script::bad_to_arg, &t, &spec);
    }
    return word_make(proto, &spec, type);
}

int mold(const Cell* value, Node buffer, bool, bool, bool, const Cell* part, int limit, int) {
    string::append_char(buffer, '#');
    return word::form(value, buffer, part, limit - 1);
}

int compare(const Cell* a, const Cell* b, int op) {
    if (b->type() != TYPE_ISSUE) return -2;
    return word::compare(a, b, op);
}

void init() {
    datatype::Row row;
    row.set(ACT_MAKE, make).set(ACT_TO, make).set(ACT_MOLD, mold).set(ACT_COMPARE, compare).inherit({ACT_FORM});
    datatype::register_row(TYPE_ISSUE, TYPE_WORD, "issue!", row);
}

}  // namespace issue
