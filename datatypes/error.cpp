#include "datatypes/error.h"

#include <cstring>
#include <string>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/datatype.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "evaluator/actions.h"
#include "runtime/collector.h"
#include "runtime/fire.h"
#include "runtime/output.h"
#include "runtime/stack.h"

namespace error {

void (*near_hook)(Cell* out) = nullptr;
int trace_level = 0;

static const char* const field_names[FIELD_COUNT] = {"code", "type", "id", "arg1", "arg2", "arg3", "near", "where", "stack", "files"};
static int32_t field_symbols[FIELD_COUNT];
static int32_t category_symbols[catalog::category_count];

static void ensure_symbols() {
    if (field_symbols[0]) return;
    for (int i = 0; i < FIELD_COUNT; i++) field_symbols[i] = symbol::make(field_names[i]);
    for (int k = 0; k < catalog::category_count; k++) category_symbols[k] = symbol::make(catalog::categories[k].name);
}

// A new error object: a context with the ten fields, all none.
static Cell* new_error(Cell* out) {
    ensure_symbols();
    Node ctx = context::create(FIELD_COUNT, false, true, 0, context::KIND_OBJECT);
    collector::NodeRoot keep(&ctx);
    for (int i = 0; i < FIELD_COUNT; i++) {
        int32_t index;
        context::add_word(ctx, field_symbols[i], true, &index);
        Cell none;
        set_cell(&none, TYPE_NONE);
        block::append_cell(context::cell_of(ctx)->data2, &none);
    }
    set_cell(out, TYPE_ERROR, ctx, 1, 0);
    *context::owner_of(ctx) = *out;
    return out;
}

Cell* field(const Cell* err, Field f) {
    if (err->type() != TYPE_ERROR) return nullptr;
    Cell* v = context::values(err->data1);
    return v ? v + f : nullptr;
}

void set_field(Cell* err, Field f, const Cell* value) {
    Cell* slot = field(err, f);
    if (slot) *slot = *value;
}

static void set_words(Cell* err, int category, int index) {
    Cell v;
    set_cell(&v, TYPE_INTEGER, static_cast<uint32_t>(category * 100 + index - 2));
    set_field(err, FIELD_CODE, &v);
    word::make_global(&v, category_symbols[category]);
    set_field(err, FIELD_TYPE, &v);
    word::make_global(&v, symbol::make(catalog::categories[category].ids[index - 2].name));
    set_field(err, FIELD_ID, &v);
}

Cell* create(Cell* out, ErrorId id, const Cell* arg1, const Cell* arg2, const Cell* arg3) {
    Cell args[3];
    int n = 0;
    for (const Cell* a : {arg1, arg2, arg3}) {
        if (!a) break;
        args[n++] = *a;
    }
    Cell err;
    collector::Root keep(&err);
    set_cell(&err, TYPE_NONE);
    new_error(&err);
    set_words(&err, id.category, id.index);
    for (int i = 0; i < n; i++) set_field(&err, static_cast<Field>(FIELD_ARG1 + i), &args[i]);
    if (near_hook) {
        Cell near;
        near_hook(&near);
        set_field(&err, FIELD_NEAR, &near);
    }
    *out = err;
    return out;
}

ErrorId id_of(const Cell* err) {
    ensure_symbols();
    const Cell* type = field(err, FIELD_TYPE);
    const Cell* id = field(err, FIELD_ID);
    if (!type || !id || !types::any_word(type->type()) || !types::any_word(id->type())) return err::internal::invalid_error;
    int32_t t = symbol::resolve(static_cast<int32_t>(type->data2));
    for (int k = 0; k < catalog::category_count; k++) {
        if (symbol::resolve(category_symbols[k]) != t) continue;
        std::string name = symbol::to_string(static_cast<int32_t>(id->data2));
        for (int i = 0; i < catalog::categories[k].count; i++)
            if (name == catalog::categories[k].ids[i].name) return ErrorId{static_cast<uint8_t>(k), static_cast<uint8_t>(i + 2)};
    }
    return err::internal::invalid_error;
}

// Writes an argument molded flat (formed for syntax errors) and cut at 80 characters.
static void write_arg(const Cell* value, Node buffer, bool syntax) {
    Cell v = *value;
    Node tmp = string::make_node(32);
    collector::NodeRoot keep(&tmp);
    if (syntax)
        actions::form(&v, tmp, nullptr, 0x7FFFFFFF);
    else
        actions::mold(&v, tmp, false, false, true, nullptr, 0x7FFFFFFF, 0);
    Cell s;
    string::make_at(&s, tmp);
    string::append_string(buffer, &s, 80);
}

// Writes a message template of the catalog: a string, or a block of strings and :argN words.
static void write_template(const char* text, const Cell* err, Node buffer, bool syntax) {
    const char* p = text;
    auto skip_space = [&] {
        while (*p == ' ') p++;
    };
    auto string_token = [&](std::string& out) {
        p++;  // opening quote
        while (*p && *p != '"') out.push_back(*p++);
        if (*p) p++;
    };
    skip_space();
    if (*p == '"') {
        std::string s;
        string_token(s);
        string::append_utf8(buffer, s);
        return;
    }
    if (*p == '\'') {
        // The message is the value of the named field.
        std::string name(p + 1);
        for (int f = FIELD_ARG1; f <= FIELD_ARG3; f++)
            if (name == field_names[f]) {
                const Cell* v = field(err, static_cast<Field>(f));
                if (v && types::any_string(v->type())) string::append_string(buffer, v);
            }
        return;
    }
    if (*p != '[') return;
    p++;
    bool first = true;
    while (true) {
        skip_space();
        if (!*p || *p == ']') break;
        if (!first) string::append_char(buffer, ' ');
        first = false;
        if (*p == '"') {
            std::string s;
            string_token(s);
            string::append_utf8(buffer, s);
            continue;
        }
        if (*p == ':') p++;
        std::string name;
        while (*p && *p != ' ' && *p != ']') name.push_back(*p++);
        const Cell* v = nullptr;
        for (int f = 0; f < FIELD_COUNT; f++)
            if (name == field_names[f]) v = field(err, static_cast<Field>(f));
        Cell none;
        set_cell(&none, TYPE_NONE);
        write_arg(v ? v : &none, buffer, syntax);
    }
}

static void write_cut(const Cell* value, Node buffer, int cut) {
    Cell v = *value;
    Node tmp = string::make_node(64);
    collector::NodeRoot keep(&tmp);
    actions::mold(&v, tmp, true, false, true, nullptr, 0x7FFFFFFF, 0);
    Cell s;
    string::make_at(&s, tmp);
    string::append_string(buffer, &s, cut);
}

int form(const Cell* value, Node buffer, const Cell*, int limit) {
    Cell err = *value;
    collector::Root keep(&err);
    int32_t before = static_cast<int32_t>(memory::nodes[buffer]->length());
    string::concatenate_literal(buffer, "*** ");
    ErrorId id = id_of(&err);
    if (id.category == err::internal::invalid_error.category && id.index == err::internal::invalid_error.index) {
        // An unknown category or id: the fallback names the offending word.
        const Cell* t = field(&err, FIELD_TYPE);
        const Cell* i = field(&err, FIELD_ID);
        if (t && i && types::any_word(i->type())) {
            Cell arg = *i;
            bool type_known = false;
            if (types::any_word(t->type()))
                for (int k = 0; k < catalog::category_count; k++)
                    if (symbol::resolve(category_symbols[k]) == symbol::resolve(static_cast<int32_t>(t->data2))) type_known = true;
            if (!type_known) arg = *t;
            if (!(t->type() == TYPE_WORD && symbol::to_string(static_cast<int32_t>(i->data2)) == "invalid-error")) {
                set_field(&err, FIELD_ARG1, &arg);
                set_words(&err, id.category, id.index);
            }
        }
    }
    const catalog::Category& cat = catalog::categories[id.category];
    string::append_utf8(buffer, cat.title);
    string::concatenate_literal(buffer, ": ");
    write_template(cat.ids[id.index - 2].message, &err, buffer, id.category == 2);
    string::concatenate_literal(buffer, "\n*** Where: ");
    const Cell* where = field(&err, FIELD_WHERE);
    if (where && types::any_word(where->type()))
        word::form(where, buffer, nullptr, 0x7FFFFFFF);
    else if (where && where->type() == TYPE_STRING)
        string::append_string(buffer, where);
    else
        string::concatenate_literal(buffer, "???");
    string::concatenate_literal(buffer, "\n*** Near : ");
    const Cell* near = field(&err, FIELD_NEAR);
    if (near) write_cut(near, buffer, 40);
    const Cell* stk = field(&err, FIELD_STACK);
    if (trace_level > 0 && stk) {
        if (stk->type() == TYPE_INTEGER) {
            string::concatenate_literal(buffer, "\n*** Stack: ");
            stack::form_trace(trace_level, &err, buffer, 0x7FFFFFFF);
        } else if (stk->type() == TYPE_BLOCK) {
            string::concatenate_literal(buffer, "\n*** Stack: ");
            Cell b = *stk;
            actions::form(&b, buffer, nullptr, 0x7FFFFFFF);
        }
    }
    const Cell* files = field(&err, FIELD_FILES);
    if (files && files->type() == TYPE_BLOCK) {
        string::concatenate_literal(buffer, "\n*** Files: ");
        write_cut(files, buffer, 40);
    }
    return limit - (static_cast<int32_t>(memory::nodes[buffer]->length()) - before);
}

void print_uncaught(const Cell* err) {
    Cell e = *err;
    collector::Root keep(&e);
    Node buf = string::make_node(256);
    collector::NodeRoot keep_buf(&buf);
    form(&e, buf, nullptr, 0x7FFFFFFF);
    Cell s;
    string::make_at(&s, buf);
    std::string text = string::to_utf8(&s);
    text.push_back('\n');
    output::write_bytes(text.data(), text.size());
    output::flush();
}

Cell* get_call_argument(int i, Cell* out) {
    set_cell(out, TYPE_NONE);
    Cell name;
    stack::get_call_name(&name);
    const Cell* fn = word::peek(&name);
    if (!fn || !types::any_function(fn->type())) return out;
    // Every function type keeps its spec block's node in the second payload word.
    Node spec = fn->data2;
    int32_t n = block::node_length(spec);
    int k = 0;
    for (int32_t j = 0; j < n; j++) {
        Cell* c = block::node_cell(spec, j);
        uint8_t t = c->type();
        if (t == TYPE_WORD || t == TYPE_LIT_WORD || t == TYPE_GET_WORD || t == TYPE_REFINEMENT) {
            if (k == i) {
                *out = *c;
                return out;
            }
            k++;
        }
    }
    return out;
}

Cell* path_up_to(Cell* out, const Cell* path, int index) {
    int32_t total = block::rs_length_q(path);
    int32_t n = index + 2;
    if (n > total) n = total;
    if (n < 0) n = 0;
    Node copy = block::make_node(n);
    collector::NodeRoot keep(&copy);
    for (int32_t j = 0; j < n; j++) block::append_cell(copy, block::rs_head(path) + j);
    return block::make_at(out, copy, 0, path->type());
}

}  // namespace error
