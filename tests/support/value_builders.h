// Building and inspecting values in tests: words, numbers, strings and blocks made in C++, text
// forms, evaluation of a block.
//
// Some datatypes' text forms come from other modules. For a type that nothing has registered yet
// install_stand_ins() registers a minimal form, mold and compare, enough to test the types
// built on them; a real registration, once it exists, is used instead.
#pragma once

#include <cstring>
#include <initializer_list>
#include <string>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/datatype.h"
#include "datatypes/string.h"
#include "datatypes/word.h"
#include "evaluator/actions.h"
#include "evaluator/interpreter.h"
#include "runtime/cycles.h"
#include "tests/support/held.h"
#include "runtime/stack.h"

namespace tv {

inline Cell wrd(const char* text, uint8_t type = TYPE_WORD) {
    Cell c;
    word::load_typed(&c, text, type);
    return c;
}
inline Cell set_word(const char* text) { return wrd(text, TYPE_SET_WORD); }
inline Cell lit_word(const char* text) { return wrd(text, TYPE_LIT_WORD); }
inline Cell get_word(const char* text) { return wrd(text, TYPE_GET_WORD); }
inline Cell refinement(const char* text) { return wrd(text, TYPE_REFINEMENT); }

inline Cell integer(int32_t v) {
    Cell c;
    set_cell(&c, TYPE_INTEGER, static_cast<uint32_t>(v));
    return c;
}
inline Cell number(double d, uint8_t type = TYPE_FLOAT) {
    Cell c;
    set_cell(&c, type);
    c.set_f(d);
    return c;
}
inline Cell none() {
    Cell c;
    set_cell(&c, TYPE_NONE);
    return c;
}
inline Cell logic(bool b) {
    Cell c;
    set_cell(&c, TYPE_LOGIC, b ? 1 : 0);
    return c;
}
inline Cell str(const std::string& s) {
    Cell c;
    string::load_at(&c, s);
    return hold(c);
}
inline Cell datatype_of(int t) {
    Cell c;
    datatype::make_at(&c, t);
    return c;
}
inline Cell blk(std::initializer_list<Cell> items, uint8_t type = TYPE_BLOCK) {
    Cell b;
    block::make_new(&b, static_cast<int32_t>(items.size()), type);
    hold(b);
    for (const Cell& c : items) block::append_cell(b.node(), &c);
    return b;
}
inline Cell at(const Cell& series, int32_t i) { return *block::node_cell(series.node(), i); }
inline int32_t length(const Cell& series) { return block::rs_length_q(&series); }

// Global words.
inline void set(const char* name, const Cell& value) {
    Cell w = wrd(name);
    context::set_value(&w, &value);
}
inline Cell get(const char* name) {
    Cell w = wrd(name);
    return *context::get(&w);
}

inline std::string text_of(const Cell& s) { return string::to_utf8(&s); }
inline std::string mold(const Cell& v, bool only = false, bool all = false, bool flat = false) {
    Cell out;
    Cell value = v;
    collector::Root keep_value(&value);
    Node buf = string::make_node(16);
    collector::NodeRoot keep_buf(&buf);
    actions::mold(&value, buf, only, all, flat, nullptr, 0x7FFFFFFF, 0);
    string::make_at(&out, buf);
    return text_of(out);
}
inline std::string form(const Cell& v) {
    Cell out, value = v;
    collector::Root keep_value(&value), keep_out(&out);
    actions::form_new(&out, &value);
    return text_of(out);
}
// Text forms under a /part budget (the result cut to the budget as the actions do).
inline std::string mold_part(const Cell& v, int limit) {
    Cell value = v, part = integer(limit), out;
    collector::Root keep_value(&value);
    Node buf = string::make_node(16);
    collector::NodeRoot keep_buf(&buf);
    actions::mold(&value, buf, false, false, false, &part, limit, 0);
    string::limit_tail(buf, static_cast<uint32_t>(limit));
    string::make_at(&out, buf);
    return text_of(out);
}
inline std::string form_part(const Cell& v, int limit) {
    Cell value = v, part = integer(limit), out;
    collector::Root keep_value(&value);
    Node buf = string::make_node(16);
    collector::NodeRoot keep_buf(&buf);
    actions::form(&value, buf, &part, limit);
    string::limit_tail(buf, static_cast<uint32_t>(limit));
    string::make_at(&out, buf);
    return text_of(out);
}

// Evaluates a block and answers its value.
inline Cell eval(const Cell& code) {
    stack::Saved saved = stack::save();
    interpreter::eval_block(&code, false);
    Cell result = *(stack::top - 1);
    stack::restore(saved);
    return hold(result);
}

// Runs an action on values, answering its result.
inline Cell act(int action, std::initializer_list<Cell> args, std::initializer_list<int32_t> refs = {}) {
    const Cell* pointers[8];
    int n = 0;
    for (const Cell& a : args) pointers[n++] = &a;
    int32_t r[12] = {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1};
    int k = 0;
    for (int32_t x : refs) r[k++] = x;
    Cell out;
    set_cell(&out, TYPE_NONE);
    collector::Root keep_out(&out);
    stack::Saved saved = stack::save();
    actions::call(&out, action, pointers, n, r);
    stack::restore(saved);
    return hold(out);
}

namespace stand_in {

inline int literal(Node b, const char* t, int limit) {
    string::concatenate_literal(b, t);
    return limit - static_cast<int>(std::strlen(t));
}
inline int form_none(const Cell*, Node b, const Cell*, int limit) { return literal(b, "none", limit); }
inline int mold_none(const Cell* v, Node b, bool, bool, bool, const Cell* p, int limit, int) { return form_none(v, b, p, limit); }
inline int compare_same_type(const Cell* a, const Cell* b, int) {
    if (b->type() != a->type()) return -2;
    return a->data1 == b->data1 ? 0 : (a->data1 < b->data1 ? -1 : 1);
}
inline int form_logic(const Cell* v, Node b, const Cell*, int limit) { return literal(b, v->data1 ? "true" : "false", limit); }
inline int mold_logic(const Cell* v, Node b, bool, bool, bool, const Cell* p, int limit, int) { return form_logic(v, b, p, limit); }
inline int form_integer(const Cell* v, Node b, const Cell*, int limit) {
    return literal(b, std::to_string(v->i1()).c_str(), limit);
}
inline int mold_integer(const Cell* v, Node b, bool, bool, bool, const Cell* p, int limit, int) { return form_integer(v, b, p, limit); }
inline int compare_integer(const Cell* a, const Cell* b, int) {
    if (b->type() != TYPE_INTEGER) return -2;
    return a->i1() == b->i1() ? 0 : (a->i1() < b->i1() ? -1 : 1);
}
inline int form_string(const Cell* v, Node b, const Cell*, int limit) {
    string::append_string(b, v);
    return limit - string::rs_length_q(v);
}
inline int mold_string(const Cell* v, Node b, bool, bool, bool, const Cell* p, int limit, int) {
    string::append_char(b, '"');
    limit = form_string(v, b, p, limit);
    string::append_char(b, '"');
    return limit - 2;
}
inline int write_block(const Cell* v, Node b, bool mold, bool only, bool all, bool flat, const Cell* part, int limit) {
    if (cycles::detect_q(v, b, &limit, mold)) return limit;
    Cell blk = *v;
    cycles::Scope scope(blk.node());
    bool brackets = mold && !only;
    if (brackets) limit = literal(b, v->type() == TYPE_PAREN ? "(" : "[", limit);
    for (int32_t i = 0; i < block::rs_length_q(&blk); i++) {
        if (i > 0) limit = literal(b, " ", limit);
        Cell e = block::rs_head(&blk)[i];
        limit = mold ? actions::mold(&e, b, false, all, flat, part, limit, 0) : actions::form(&e, b, part, limit);
        if (part && limit <= 0) return limit;
    }
    if (brackets) limit = literal(b, v->type() == TYPE_PAREN ? ")" : "]", limit);
    return limit;
}
inline int form_block(const Cell* v, Node b, const Cell* p, int limit) { return write_block(v, b, false, false, false, false, p, limit); }
inline int mold_block(const Cell* v, Node b, bool only, bool all, bool flat, const Cell* p, int limit, int) {
    return write_block(v, b, true, only, all, flat, p, limit);
}

inline void install(int type, const char* name, const void* form, const void* mold, const void* compare) {
    if (datatype::names[type].name) return;
    datatype::Row row;
    row.set(ACT_FORM, form).set(ACT_MOLD, mold);
    if (compare) row.set(ACT_COMPARE, compare);
    datatype::register_row(type, 0, name, row);
}

}  // namespace stand_in

inline void install_stand_ins() {
    using namespace stand_in;
    auto fp = [](auto f) { return reinterpret_cast<const void*>(f); };
    install(TYPE_NONE, "none!", fp(form_none), fp(mold_none), fp(compare_same_type));
    install(TYPE_LOGIC, "logic!", fp(form_logic), fp(mold_logic), fp(compare_same_type));
    install(TYPE_INTEGER, "integer!", fp(form_integer), fp(mold_integer), fp(compare_integer));
    install(TYPE_STRING, "string!", fp(form_string), fp(mold_string), fp(string::compare));
    install(TYPE_BLOCK, "block!", fp(form_block), fp(mold_block), nullptr);
    install(TYPE_PAREN, "paren!", fp(form_block), fp(mold_block), nullptr);
}

}  // namespace tv
