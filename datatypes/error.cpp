#include "datatypes/error.h"

#include <cstring>
#include <string>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/datatype.h"
#include "datatypes/object.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "evaluator/actions.h"
#include "evaluator/interpreter.h"
#include "runtime/collector.h"
#include "runtime/cycles.h"
#include "runtime/fire.h"
#include "runtime/output.h"
#include "runtime/root.h"
#include "runtime/runtime.h"
#include "runtime/stack.h"

namespace error {

void (*near_hook)(Cell* out) = nullptr;

static const char* const field_names[FIELD_COUNT] = {"code", "type", "id", "arg1", "arg2", "arg3", "near", "where", "stack", "files"};
static const symbol::Known sym_type("type"), sym_id("id"), sym_syntax("syntax"), sym_internal("internal"),
    sym_invalid_error("invalid-error"), sym_user("user"), sym_message("message"), sym_stack_trace("stack-trace"),
    sym_source_files("source-files"), sym_system("system"), sym_state("state"), sym_catalog("catalog"), sym_errors("errors"),
    sym_standard("standard"), sym_error("error");

// Root block positions of the catalog, the prototype and the state object (-1 until made), and
// of the catalog built at start-up, which stays as the fallback once a script-level catalog is
// installed: a script may change that one, but never so far that an error cannot be made.
static int32_t catalog_slot = -1, prototype_slot = -1, state_slot = -1, builtin_slot = -1;

const Cell* catalog() { return catalog_slot < 0 ? nullptr : root::at(catalog_slot); }
const Cell* prototype() { return prototype_slot < 0 ? nullptr : root::at(prototype_slot); }

static void store(int32_t* slot, const Cell* value) {
    if (*slot < 0)
        *slot = root::keep(value);
    else
        *root::at(*slot) = *value;
}

void set_catalog(const Cell* c) { store(&catalog_slot, c); }
void set_prototype(const Cell* p) { store(&prototype_slot, p); }
void set_state(const Cell* s) { store(&state_slot, s); }

// The state object: the one installed with set_state, else whatever system/state holds now (a
// script may set its fields or replace it), or null.
static const Cell* state_object() {
    if (state_slot >= 0) return root::at(state_slot);
    if (context::global_node == 0) return nullptr;
    const Cell* sys = context::value_of_symbol(sym_system.id(), context::global_node);
    if (!sys || sys->type() != TYPE_OBJECT) return nullptr;
    int32_t i = context::find_word(sys->data1, sym_state.id(), true);
    return i < 0 ? nullptr : context::values(sys->data1) + i;
}

// A field of the state object by name, or null.
static const Cell* state_field(const symbol::Known& name) {
    const Cell* s = state_object();
    if (!s || !types::any_object(s->type())) return nullptr;
    int32_t i = context::find_word(s->data1, name.id(), true);
    return i < 0 ? nullptr : context::values(s->data1) + i;
}

int trace_level() {
    const Cell* v = state_field(sym_stack_trace);
    if (!v) return 1;
    return v->type() == TYPE_INTEGER ? v->i1() : 0;
}

// ---- The catalog ----

// Reads one message value of the generated catalog: a "string", a [block] of strings and
// words, or 'word (the word itself).
namespace {
struct TemplateReader {
    const char* p;

    void skip() {
        while (*p == ' ' || *p == '\t' || *p == '\n') p++;
    }
    void string_value(Cell* out) {
        std::string s;
        p++;
        while (*p && *p != '"') {
            if (*p == '^' && p[1]) {
                p++;
                s.push_back(*p == '/' ? '\n' : *p);
                p++;
                continue;
            }
            s.push_back(*p++);
        }
        if (*p) p++;
        string::load_at(out, s);
    }
    void word_value(Cell* out, uint8_t type) {
        const char* start = p;
        while (*p && *p != ' ' && *p != ']' && *p != '\n') p++;
        word::load_typed(out, std::string_view(start, size_t(p - start)), type);
    }
    void value(Cell* out) {
        skip();
        switch (*p) {
            case '"': string_value(out); return;
            case '[': {
                p++;
                block::make_new(out, 4);
                collector::Root keep(out);
                while (true) {
                    skip();
                    if (!*p) return;
                    if (*p == ']') {
                        p++;
                        return;
                    }
                    Cell item;
                    set_cell(&item, TYPE_NONE);
                    collector::Root keep_item(&item);
                    value(&item);
                    block::append_cell(out->node(), &item);
                }
            }
            case '\'':
                p++;
                word_value(out, TYPE_WORD);
                return;
            case ':':
                p++;
                word_value(out, TYPE_GET_WORD);
                return;
            default: word_value(out, TYPE_WORD); return;
        }
    }
};
}  // namespace

static void add_field(Node ctx, std::string_view name, const Cell* value) {
    Cell v = *value, w;
    collector::Root keep(&v);
    word::load(&w, name);
    context::set_or_add(ctx, &w, &v);
}

void init_catalog() {
    Cell cat;
    object::make_at(&cat, catalog::category_count);
    collector::Root keep_cat(&cat);
    for (int k = 0; k < catalog::category_count; k++) {
        const catalog::Category& c = catalog::categories[k];
        Cell category;
        object::make_at(&category, c.count + 2);
        collector::Root keep_category(&category);
        Cell v;
        set_cell(&v, TYPE_INTEGER, static_cast<uint32_t>(c.code));
        add_field(category.data1, "code", &v);
        string::load_at(&v, c.title);
        add_field(category.data1, "type", &v);
        for (int i = 0; i < c.count; i++) {
            Cell message;
            set_cell(&message, TYPE_NONE);
            collector::Root keep_message(&message);
            TemplateReader{c.ids[i].message}.value(&message);
            add_field(category.data1, c.ids[i].name, &message);
        }
        add_field(cat.data1, c.name, &category);
    }
    set_catalog(&cat);
    builtin_slot = root::keep(&cat);

    Cell proto;
    object::make_at(&proto, FIELD_COUNT);
    collector::Root keep_proto(&proto);
    Cell none;
    set_cell(&none, TYPE_NONE);
    for (const char* name : field_names) add_field(proto.data1, name, &none);
    set_prototype(&proto);
}

// The category object at position k of a catalog (null when there is none).
static const Cell* category_in(const Cell* c, int32_t k) {
    if (!c || !types::any_object(c->type()) || k < 0 || k >= context::count(c->data1)) return nullptr;
    const Cell* v = context::values(c->data1) + k;
    return types::any_object(v->type()) ? v : nullptr;
}

// The category object at catalog position k: the installed catalog's, or the built-in one when
// a script has put something else there.
static const Cell* category_at(int32_t k) {
    const Cell* v = category_in(catalog(), k);
    return v ? v : category_in(builtin_slot < 0 ? nullptr : root::at(builtin_slot), k);
}

// The category object that holds message position i of category k (the run-time's ids are
// positions of the built-in catalog, which a script-level category may lack).
static const Cell* category_with(int32_t k, int32_t i) {
    const Cell* v = category_at(k);
    if (v && i >= 2 && i < context::count(v->data1)) return v;
    v = category_in(builtin_slot < 0 ? nullptr : root::at(builtin_slot), k);
    return v && i >= 2 && i < context::count(v->data1) ? v : nullptr;
}

// The catalog position of a category word, or -1.
static int32_t category_index(const Cell* w) {
    const Cell* c = catalog();
    if (!c || !types::any_word(w->type())) return -1;
    int32_t k = context::find_word(c->data1, static_cast<int32_t>(w->data2), true);
    return category_at(k) ? k : -1;
}

// The field position of an id word in a category object (ids start at 2), or -1.
static int32_t id_index(const Cell* category, const Cell* w) {
    if (!category || !types::any_word(w->type())) return -1;
    int32_t i = context::find_word(category->data1, static_cast<int32_t>(w->data2), true);
    return i >= 2 ? i : -1;
}

// ---- Fields ----

Cell* field(const Cell* err, Field f) {
    if (err->type() != TYPE_ERROR || context::count(err->data1) <= f) return nullptr;
    Cell* v = context::values(err->data1);
    return v ? v + f : nullptr;
}

void set_field(Cell* err, Field f, const Cell* value) {
    Cell* slot = field(err, f);
    if (slot) *slot = *value;
}

int32_t get_type(const Cell* err) {
    const Cell* t = field(err, FIELD_TYPE);
    return t && types::any_word(t->type()) ? static_cast<int32_t>(t->data2) : 0;
}

int32_t get_id(const Cell* err) {
    const Cell* i = field(err, FIELD_ID);
    return i && types::any_word(i->type()) ? static_cast<int32_t>(i->data2) : 0;
}

// Sets type, id and code from catalog positions: category k, id i of the given category object.
static void set_words_of(Cell* err, int32_t k, int32_t i, const Cell* category) {
    const Cell* c = category_in(catalog(), k) ? catalog() : root::at(builtin_slot);
    Cell v;
    set_cell(&v, TYPE_INTEGER, static_cast<uint32_t>(k * 100 + i - 2));
    set_field(err, FIELD_CODE, &v);
    v = *context::word_at_node(c->data1, k);
    v.header = TYPE_WORD;
    set_field(err, FIELD_TYPE, &v);
    v = *context::word_at_node(category->data1, i);
    v.header = TYPE_WORD;
    set_field(err, FIELD_ID, &v);
}

// The same for a category that holds position i (see category_with).
static void set_words(Cell* err, int32_t k, int32_t i) { set_words_of(err, k, i, category_with(k, i)); }

// Whether two objects have the same words in the same order.
static bool same_words(const Cell* a, const Cell* b) {
    int32_t n = context::count(a->data1);
    if (n != context::count(b->data1)) return false;
    for (int32_t i = 0; i < n; i++)
        if (context::word_at_node(a->data1, i)->data2 != context::word_at_node(b->data1, i)->data2) return false;
    return true;
}

void install_system_objects() {
    if (context::global_node == 0 || builtin_slot < 0) return;
    const Cell* sys = context::value_of_symbol(sym_system.id(), context::global_node);
    if (!sys || sys->type() != TYPE_OBJECT) return;
    auto field_of = [](const Cell* obj, const symbol::Known& name) -> const Cell* {
        if (!obj || obj->type() != TYPE_OBJECT) return nullptr;
        int32_t i = context::find_word(obj->data1, name.id(), true);
        return i < 0 ? nullptr : context::values(obj->data1) + i;
    };
    // The run-time's ids are positions: the script-level objects take over only when they are
    // laid out as the built-in ones.
    const Cell* errors = field_of(field_of(sys, sym_catalog), sym_errors);
    const Cell* builtin = root::at(builtin_slot);
    if (errors && errors->type() == TYPE_OBJECT && same_words(errors, builtin)) {
        bool same = true;
        for (int32_t k = 0; same && k < context::count(builtin->data1); k++) {
            const Cell* mine = category_in(builtin, k);
            const Cell* theirs = category_in(errors, k);
            same = mine && theirs && same_words(mine, theirs);
        }
        if (same) {
            Cell c = *errors;
            set_catalog(&c);
        }
    }
    const Cell* proto = field_of(field_of(sys, sym_standard), sym_error);
    if (proto && proto->type() == TYPE_OBJECT && same_words(proto, prototype())) {
        Cell p = *proto;
        set_prototype(&p);
    }
}

// A new error: a copy of the prototype typed error!, class 1, no handlers.
static Cell* new_error(Cell* out) {
    const Cell* p = prototype();
    if (!p || !catalog()) runtime::quit(98, KEL_CALLER_ADDRESS());
    Cell proto = *p;
    collector::Root keep(&proto);
    object::duplicate(&proto, out, false, nullptr, false);
    out->reset(TYPE_ERROR);
    out->data2 = 1;
    out->data3 = 0;
    *context::owner_of(out->data1) = *out;
    return out;
}

static void set_near(Cell* err) {
    if (!near_hook) return;
    Cell near;
    near_hook(&near);
    set_field(err, FIELD_NEAR, &near);
}

Cell* create(Cell* out, ErrorId id, const Cell* arg1, const Cell* arg2, const Cell* arg3) {
    // The arguments may lie in buffers that move: copy them before anything allocates.
    Cell args[3];
    int n = 0;
    for (const Cell* a : {arg1, arg2, arg3}) {
        if (!a) break;
        args[n++] = *a;
    }
    collector::Root k1(args), k2(args + 1), k3(args + 2);
    for (int i = n; i < 3; i++) set_cell(args + i, TYPE_NONE);
    Cell err;
    set_cell(&err, TYPE_NONE);
    collector::Root keep(&err);
    new_error(&err);
    int32_t k = id.category, i = id.index;
    if (!category_with(k, i)) {
        // The catalog in use lacks the id: report it as an invalid error naming the code.
        set_cell(args, TYPE_INTEGER, static_cast<uint32_t>(k * 100 + i - 2));
        n = n > 0 ? n : 1;
        const Cell* builtin = builtin_slot < 0 ? nullptr : root::at(builtin_slot);
        k = builtin ? context::find_word(builtin->data1, sym_internal.id(), true) : -1;
        const Cell* internal = category_in(builtin, k);
        i = internal ? context::find_word(internal->data1, sym_invalid_error.id(), true) : -1;
        if (!internal || i < 2) runtime::quit(98, KEL_CALLER_ADDRESS());
    }
    set_words(&err, k, i);
    for (int a = 0; a < n; a++) set_field(&err, static_cast<Field>(FIELD_ARG1 + a), args + a);
    set_near(&err);
    *out = err;
    return out;
}

ErrorId id_of(const Cell* err) {
    const Cell* type = field(err, FIELD_TYPE);
    const Cell* id = field(err, FIELD_ID);
    if (!type || !id) return err::internal::invalid_error;
    int32_t k = category_index(type);
    int32_t i = k < 0 ? -1 : id_index(category_at(k), id);
    if (k < 0 || i < 0 || k > 255 || i > 255) return err::internal::invalid_error;
    return ErrorId{static_cast<uint8_t>(k), static_cast<uint8_t>(i)};
}

bool is(const Cell* err, ErrorId id) {
    return id_of(err) == id;
}

// ---- make ----

[[noreturn]] static void spec_field_error(const symbol::Known& which) {
    Cell w;
    word::make_global(&w, which.id());
    fire(err::script::invalid_spec_field, &w);
}

Cell* make(Cell* proto, Cell* spec_in, int) {
    Cell spec = *spec_in;
    collector::Root keep_spec(&spec);
    if (spec.type() == TYPE_STRING) return create(proto, err::user::message, &spec);
    if (spec.type() != TYPE_INTEGER && spec.type() != TYPE_BLOCK) {
        Cell t;
        datatype::make_at(&t, TYPE_ERROR);
        fire(err::script::bad_make_arg, &t, &spec);
    }
    Cell* result = stack::push_cell();
    set_cell(result, TYPE_NONE);
    new_error(result);
    if (spec.type() == TYPE_INTEGER) {
        int32_t s = spec.i1();
        int32_t k = s < 0 ? -1 : s / 100;
        const Cell* category = category_at(k);
        int32_t i = s < 0 ? -1 : s % 100 + 2;
        if (!category || i >= context::count(category->data1)) fire(err::script::out_of_range, &spec);
        set_words(result, k, i);
    } else {
        int32_t n = block::rs_length_q(&spec);
        uint8_t first = n > 0 ? block::rs_head(&spec)->type() : uint8_t(TYPE_NONE_ID);
        if (first == TYPE_WORD) {
            Cell cw = block::rs_head(&spec)[0];
            int32_t k = category_index(&cw);
            if (k < 0) spec_field_error(sym_type);
            if (n < 2) spec_field_error(sym_id);
            Cell iw = block::rs_head(&spec)[1];
            if (iw.type() != TYPE_WORD) fire(err::script::invalid_arg, &iw);
            int32_t i = id_index(category_at(k), &iw);
            if (i < 0) spec_field_error(sym_id);
            set_words(result, k, i);
        } else if (first == TYPE_SET_WORD) {
            context::bind(&spec, result->data1, true);
            Cell* saved_top = stack::top;
            interpreter::eval_block(&spec, false);
            stack::top = saved_top;
            Cell type = *field(result, FIELD_TYPE), id = *field(result, FIELD_ID);
            int32_t k = category_index(&type);
            if (k < 0) spec_field_error(sym_type);
            int32_t i = id_index(category_at(k), &id);
            if (i < 0) spec_field_error(sym_id);
            Cell code;
            set_cell(&code, TYPE_INTEGER, static_cast<uint32_t>(k * 100 + i - 2));
            set_field(result, FIELD_CODE, &code);
        } else {
            fire(err::internal::invalid_error);
        }
    }
    set_near(result);
    *proto = *result;
    stack::top = result;
    return proto;
}

// ---- Text ----

// A part budget in force for the helpers below.
static Cell part_on = {TYPE_INTEGER, 0, 0, 0};

// Writes a value molded flat (only: without outer brackets) or formed, cut at n characters.
static void write_cut(const Cell* value, Node buffer, bool mold_it, bool only, int n) {
    Cell v = *value;
    collector::Root keep(&v);
    Node tmp = string::make_node(64);
    collector::NodeRoot keep_tmp(&tmp);
    if (mold_it)
        actions::mold(&v, tmp, only, false, true, &part_on, n, 0);
    else
        actions::form(&v, tmp, &part_on, n);
    Cell s;
    string::make_at(&s, tmp);
    string::append_string(buffer, &s, n);
}

// Turns the error into the internal invalid-error naming the offending word, and returns the
// category object that holds that id, with its position in *index. The catalog's internal
// category serves while it still has the id; one a script has spoilt gives way to the built-in.
static const Cell* set_fallback(Cell* err, const Cell* offending, int32_t* index) {
    set_field(err, FIELD_ARG1, offending);
    const Cell* builtin = root::at(builtin_slot);
    int32_t k = context::find_word(builtin->data1, sym_internal.id(), true);
    const Cell* category = category_at(k);
    int32_t i = category ? context::find_word(category->data1, sym_invalid_error.id(), true) : -1;
    if (i < 2) {
        category = category_in(builtin, k);
        i = category ? context::find_word(category->data1, sym_invalid_error.id(), true) : -1;
    }
    if (i < 2) runtime::quit(98, KEL_CALLER_ADDRESS());
    set_words_of(err, k, i, category);
    *index = i;
    return category;
}

int reduce_message(const Cell* message_in, Node buffer, const Cell* err_in, int limit) {
    Cell message = *message_in, err = *err_in;
    collector::Root k1(&message), k2(&err);
    const Cell* type = field(&err, FIELD_TYPE);
    bool syntax = type && types::any_word(type->type()) && sym_syntax.is(type);
    int32_t before = static_cast<int32_t>(memory::nodes[buffer]->length());
    int32_t n = block::rs_length_q(&message);
    for (int32_t i = 0; i < n; i++) {
        Cell v = block::rs_head(&message)[i];
        if (v.type() == TYPE_STRING) {
            string::append_string(buffer, &v);
        } else if (v.type() == TYPE_WORD || v.type() == TYPE_GET_WORD) {
            int32_t f = context::find_word(err.data1, static_cast<int32_t>(v.data2), true);
            Cell arg;
            if (f >= 0)
                arg = context::values(err.data1)[f];
            else
                set_cell(&arg, TYPE_NONE);
            // A failure while writing the argument names this frame.
            stack::Saved saved = stack::save();
            stack::mark_named(stack::body_symbol, FRAME_NATIVE);
            write_cut(&arg, buffer, !syntax, false, 80);
            stack::restore(saved);
        }
        if (i + 1 < n) string::append_char(buffer, ' ');
    }
    return limit - (static_cast<int32_t>(memory::nodes[buffer]->length()) - before);
}

int form(const Cell* value, Node buffer, const Cell*, int limit) {
    // An error reached again through its own arguments (a syntax error's are formed) is written
    // as a marker, not formed again without end.
    if (cycles::detect_q(value, buffer, &limit, false)) return limit;
    cycles::Scope walking(cycles::node_of(value));
    Cell err = *value;
    collector::Root keep(&err);
    int32_t before = static_cast<int32_t>(memory::nodes[buffer]->length());
    string::concatenate_literal(buffer, "*** ");
    Cell type = *field(&err, FIELD_TYPE);
    int32_t k = category_index(&type);
    const Cell* category = nullptr;
    int32_t i = -1;
    if (k < 0) {
        category = set_fallback(&err, &type, &i);
    } else {
        category = category_at(k);
        Cell id = *field(&err, FIELD_ID);
        i = id_index(category, &id);
        if (i < 0) category = set_fallback(&err, &id, &i);
    }
    {
        Cell title = context::values(category->data1)[1];
        Cell message = context::values(category->data1)[i];
        collector::Root k1(&title), k2(&message);
        if (title.type() == TYPE_STRING)
            string::append_string(buffer, &title);
        else
            actions::form(&title, buffer, nullptr, 0x7FFFFFFF);
        string::concatenate_literal(buffer, ": ");
        if (message.type() == TYPE_WORD) {
            int32_t f = context::find_word(err.data1, static_cast<int32_t>(message.data2), true);
            if (f >= 0)
                message = context::values(err.data1)[f];
            else
                set_cell(&message, TYPE_NONE);
        }
        if (message.type() == TYPE_STRING) {
            string::append_string(buffer, &message);
        } else if (message.type() == TYPE_BLOCK) {
            reduce_message(&message, buffer, &err, 0x7FFFFFFF);
        } else {
            Cell t = *field(&err, FIELD_TYPE);
            set_fallback(&err, &t, &i);
        }
    }
    string::concatenate_literal(buffer, "\n*** Where: ");
    Cell where = *field(&err, FIELD_WHERE);
    if (types::any_word(where.type()))
        word::form(&where, buffer, nullptr, 0x7FFFFFFF);
    else if (where.type() == TYPE_STRING)
        string::append_string(buffer, &where);
    else
        string::concatenate_literal(buffer, "???");
    string::concatenate_literal(buffer, "\n*** Near : ");
    Cell near = *field(&err, FIELD_NEAR);
    write_cut(&near, buffer, true, true, 40);
    int level = trace_level();
    if (level > 0) {
        Cell stk = *field(&err, FIELD_STACK);
        if (stk.type() == TYPE_INTEGER) {
            string::concatenate_literal(buffer, "\n*** Stack: ");
            // The trace gets what is left of the part limit.
            int used = static_cast<int>(memory::nodes[buffer]->length()) - before;
            stack::form_trace(level, &err, buffer, limit - used);
        } else if (stk.type() == TYPE_BLOCK) {
            string::concatenate_literal(buffer, "\n*** Stack: ");
            actions::form(&stk, buffer, nullptr, 0x7FFFFFFF);
        }
    }
    Cell files = *field(&err, FIELD_FILES);
    if (files.type() == TYPE_BLOCK) {
        string::concatenate_literal(buffer, "\n*** Files: ");
        write_cut(&files, buffer, true, true, 40);
    }
    return limit - (static_cast<int32_t>(memory::nodes[buffer]->length()) - before);
}

int mold(const Cell* value, Node buffer, bool only, bool all, bool flat, const Cell* part, int limit, int indent) {
    // An error that holds itself in a field is written as a marker there, not walked again.
    if (cycles::detect_q(value, buffer, &limit, true)) return limit;
    if (!only) {
        string::concatenate_literal(buffer, "make error! [");
        limit -= 13;
    }
    limit = object::serialize(value, buffer, only, all, flat, part, limit, true, indent + 1, true);
    if (!flat && indent > 0) {
        for (int i = 0; i < indent; i++) string::concatenate_literal(buffer, "    ");
        limit -= 4 * indent;
    }
    if (!only) {
        string::append_char(buffer, ']');
        limit--;
    }
    return limit;
}

int compare(const Cell* a, const Cell* b, int op) {
    if (b->type() != TYPE_ERROR) return -2;
    return object::compare(a, b, op);
}

void print_uncaught(const Cell* err) {
    Cell e = *err;
    collector::Root keep(&e);
    Node buf = string::make_node(256);
    collector::NodeRoot keep_buf(&buf);
    form(&e, buf, nullptr, 0x7FFFFFFF);
    Cell s;
    string::make_at(&s, buf);
    collector::Root keep_text(&s);
    // As the print native prints it: through the output hooks, which make way for the terminal
    // GUI's inline drawing.
    output::call_hooks(&s, true);
}

void set_stack(Cell* err) {
    Cell* stk = field(err, FIELD_STACK);
    if (!stk) return;
    Cell e = *err;
    collector::Root keep(&e);
    // The files go with the trace: an error kept again on its way out (a script run by another
    // re-raises what its own run kept) still names the files being run where it was raised.
    if (stk->type() != TYPE_INTEGER) return;
    int32_t position = stk->i1();
    int level = trace_level();
    if (level <= 0) level = 1;
    Node calls = block::make_node(20);
    collector::NodeRoot keep_calls(&calls);
    if (position > stack::kFrames) position = stack::kFrames;
    if (position > 0) stack::frames_to_block(level, calls, stack::cbottom + position);
    Cell b;
    block::make_at(&b, calls);
    set_field(&e, FIELD_STACK, &b);
    const Cell* files = state_field(sym_source_files);
    if (files && types::any_block(files->type()) && block::rs_length_q(files) > 0) {
        Cell f = *files;
        Cell copy;
        block::make_at(&copy, block::copy_cells(&f));
        set_field(&e, FIELD_FILES, &copy);
    }
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
    Cell p = *path;
    collector::Root keep(&p);
    Node copy = block::make_node(n);
    collector::NodeRoot keep_copy(&copy);
    for (int32_t j = 0; j < n; j++) block::append_cell(copy, block::rs_head(&p) + j);
    return block::make_at(out, copy, 0, p.type());
}

void init() {
    datatype::Row row;
    row.set(ACT_MAKE, make)
        .set(ACT_FORM, form)
        .set(ACT_MOLD, mold)
        .set(ACT_EVAL_PATH, object::eval_path)
        .set(ACT_COMPARE, compare)
        .inherit({ACT_REFLECT, ACT_COPY, ACT_SELECT});
    datatype::register_row(TYPE_ERROR, TYPE_OBJECT, "error!", row);
}

}  // namespace error
