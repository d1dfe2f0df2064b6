#include "datatypes/word.h"

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/datatype.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "runtime/collector.h"
#include "runtime/fire.h"
#include "runtime/stack.h"

#if __has_include("loading/lexer.h")
#include "loading/lexer.h"
#define KEL_HAVE_LEXER 1
#endif

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
    int32_t i = ctx ? context::find_word(ctx, sym, true) : -1;
    return set_cell(c, type, ctx, static_cast<uint32_t>(sym), static_cast<uint32_t>(i));
}

Cell* load(Cell* c, std::string_view text) {
    int32_t sym = symbol::make(text);
    context::add_global(c, sym, true, true);
    return c;
}

Cell* load_typed(Cell* c, std::string_view text, uint8_t type) {
    load(c, text);
    c->header = type;
    return c;
}

Cell* make_in(int32_t sym, Node blk, uint8_t type) {
    Cell w;
    make_global(&w, sym, type);
    return block::append_cell(blk, &w);
}

Cell* load_in(std::string_view text, Node blk, uint8_t type) {
    Cell w;
    load_typed(&w, text, type);
    return block::append_cell(blk, &w);
}

Cell* push_global(int32_t sym, uint8_t type) {
    Cell w;
    make_global(&w, sym, type);
    return stack::push(&w);
}

Cell* push(const Cell* w, uint8_t type) {
    Cell* c = stack::push(w);
    c->header = type;
    return c;
}

Cell* push_local(Node ctx, int32_t i, uint8_t type) { return push(context::word_at_node(ctx, i), type); }

Cell* push_as_string(const Cell* w) {
    Node s = symbol::get_string(static_cast<int32_t>(w->data2));
    return string::make_at(stack::push_cell(), s);
}

Cell* symbol_cell(const Cell* w) { return symbol::get(static_cast<int32_t>(w->data2)); }

Cell* peek(const Cell* w) {
    Node ctx = w->data1;
    int32_t index = static_cast<int32_t>(w->data3);
    if (!ctx || index < 0) return nullptr;
    Cell* v = context::values(ctx);
    if (!v) return nullptr;
    Cell* c = context::cell_of(ctx);
    int32_t limit = (c->header & context::on_stack) ? context::count(ctx) : block::node_length(c->data2);
    return index < limit ? v + index : nullptr;
}

Cell* get_any(const Cell* w) { return context::get(w); }

Cell* get(const Cell* w) {
    Cell* v = context::get(w);
    if (v->type() == TYPE_UNSET) {
        Cell copy = *w;
        fire(err::script::no_value, &copy);
    }
    return stack::push(v);
}

void set_value(Cell* w, const Cell* value) { context::set_value(w, value); }

void set_from_stack() {
    Cell* args = stack::arguments;
    if (args[1].type() == TYPE_UNSET) {
        Cell w = args[0];
        fire(err::script::need_value, &w);
    }
    Cell w = args[0], v = args[1];
    collector::Root k1(&w), k2(&v);
    context::set_value(&w, &v);
    stack::set_last_drop(&v);
}

void get_from_stack() {
    Cell w = *stack::arguments;
    Cell v = *context::get(&w);
    stack::set_last_drop(&v);
}

bool (*scan_one)(const Cell* string, Cell* out) = nullptr;

#ifdef KEL_HAVE_LEXER
static bool lexer_scan_one(const Cell* text, Cell* out) {
    Cell target;
    set_cell(&target, TYPE_NONE);
    collector::Root keep(&target);
    Cell* v = conversion::scan_single(text, &target);
    // Exactly one value: the answer is the target block's head cell. No value leaves the target
    // unset; text left over answers a none cell of its own.
    if (target.type() != TYPE_BLOCK || block::rs_length_q(&target) == 0 || v != block::rs_head(&target)) return false;
    *out = *v;
    return true;
}
#endif

[[noreturn]] static void bad_to_arg(int type, const Cell* spec) {
    Cell t, s = *spec;
    datatype::make_at(&t, type);
    fire(err::script::bad_to_arg, &t, &s);
}

// Scans a text as one value; without a lexer, text conversions are not available yet.
static bool scan_text(const Cell* text, Cell* out) {
    if (!scan_one) fire(err::internal::not_done);
    return scan_one(text, out);
}

Cell* make(Cell* proto, Cell* spec, int type) {
    Cell result;
    switch (spec->type()) {
        case TYPE_WORD:
        case TYPE_SET_WORD:
        case TYPE_LIT_WORD:
        case TYPE_GET_WORD: result = *spec; break;
        case TYPE_REFINEMENT:
        case TYPE_ISSUE: {
            Cell s = *spec;
            collector::Root keep(&s);
            Cell text;
            string::make_at(&text, symbol::get_string(static_cast<int32_t>(s.data2)));
            Cell scanned;
            set_cell(&scanned, TYPE_NONE);
            collector::Root keep_scanned(&scanned);
            if (!scan_text(&text, &scanned) || !types::word_like(scanned.type()) || scanned.type() == TYPE_REFINEMENT)
                bad_to_arg(type, &s);
            result = s;
            // Bound to the global context only when the word exists there.
            int32_t i = context::find_word(context::global_node, static_cast<int32_t>(s.data2), true);
            if (i >= 0) {
                result.data1 = context::global_node;
                result.data3 = context::word_at_node(context::global_node, i)->data3;
            }
            break;
        }
        case TYPE_STRING:
        case TYPE_CHAR: {
            Cell text = *spec;
            collector::Root keep(&text);
            if (text.type() == TYPE_CHAR) {
                uint32_t cp = text.data1;
                string::make_at(&text, string::make_node(4));
                string::append_char(text.node(), cp);
            }
            Cell scanned;
            set_cell(&scanned, TYPE_NONE);
            collector::Root keep_scanned(&scanned);
            if (!scan_text(&text, &scanned) || !types::any_word(scanned.type())) fire(err::script::invalid_chars);
            result = scanned;
            break;
        }
        case TYPE_DATATYPE: {
            uint32_t t = spec->data1;
            if (t == 0 || t >= static_cast<uint32_t>(kTypeCount) || !datatype::names[t].name) bad_to_arg(type, spec);
            if (!types::any_word(datatype::names[t].word.type())) datatype::init_words();
            result = datatype::names[t].word;
            break;
        }
        case TYPE_LOGIC: load(&result, spec->data1 ? "true" : "false"); break;
        default: bad_to_arg(type, spec);
    }
    result.header = static_cast<uint32_t>(type);
    *proto = result;
    return proto;
}

// Appends the word's own text under the part budget.
static int append_text(const Cell* value, Node buffer, const Cell* part, int limit, const char* prefix, const char* suffix) {
    if (part && limit <= 0) return limit;
    if (prefix) {
        string::concatenate_literal(buffer, prefix);
        if (--limit <= 0 && part) return limit;
    }
    Cell s;
    string::make_at(&s, symbol::get_string(static_cast<int32_t>(value->data2)));
    int32_t n = string::rs_length_q(&s);
    if (part && n > limit) n = limit;
    string::append_string(buffer, &s, n);
    limit -= n;
    if (suffix && !(part && limit <= 0)) {
        string::concatenate_literal(buffer, suffix);
        limit -= 1;
    }
    return limit;
}

int form(const Cell* value, Node buffer, const Cell* part, int limit) {
    return append_text(value, buffer, part, limit, nullptr, nullptr);
}

int mold(const Cell* value, Node buffer, bool, bool, bool, const Cell* part, int limit, int) {
    return append_text(value, buffer, part, limit, nullptr, nullptr);
}

static int mold_set(const Cell* v, Node b, bool, bool, bool, const Cell* part, int limit, int) {
    return append_text(v, b, part, limit, nullptr, ":");
}
static int mold_lit(const Cell* v, Node b, bool, bool, bool, const Cell* part, int limit, int) {
    return append_text(v, b, part, limit, "'", nullptr);
}
static int mold_get(const Cell* v, Node b, bool, bool, bool, const Cell* part, int limit, int) {
    return append_text(v, b, part, limit, ":", nullptr);
}
static int mold_refinement(const Cell* v, Node b, bool, bool, bool, const Cell* part, int limit, int) {
    return append_text(v, b, part, limit, "/", nullptr);
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
            // The symbols' cached strings: ordering two words allocates nothing after the first
            // time each text is asked for.
            Node na = symbol::get_string(sa);
            collector::NodeRoot keep(&na);
            Node nb = symbol::get_string(sb);
            Cell x, y;
            string::make_at(&x, na);
            string::make_at(&y, nb);
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
#ifdef KEL_HAVE_LEXER
    if (!scan_one) scan_one = lexer_scan_one;
#endif
    datatype::Row row;
    row.set(ACT_MAKE, make).set(ACT_TO, make).set(ACT_FORM, form).set(ACT_MOLD, mold).set(ACT_COMPARE, compare).set(ACT_INDEX_Q, index_q);
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
