#include "datatypes/object.h"

#include <cstring>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/function.h"
#include "datatypes/ownership.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "evaluator/actions.h"
#include "evaluator/interpreter.h"
#include "runtime/collector.h"
#include "runtime/cycles.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/stack.h"

namespace object {

static int32_t class_counter = kFirstClassId;

static const symbol::Known sym_on_change("on-change*"), sym_on_deep("on-deep-change*"), sym_changed("changed"),
    sym_class("class"), sym_words("words"), sym_values("values"), sym_body("body"), sym_owner("owner"),
    sym_owned("owned"), sym_events("events?"), sym_part("part"), sym_true("true"), sym_false("false"), sym_yes("yes"),
    sym_no("no"), sym_on("on"), sym_off("off"), sym_none("none");

int32_t new_class_id() {
    if (class_counter == INT32_MAX) class_counter = kFirstClassId;
    return ++class_counter;
}

static Cell* store_owner(const Cell* obj) {
    Cell* owner = context::owner_of(obj->data1);
    *owner = *obj;
    owner->header = obj->type();
    return owner;
}

// ---- Construction ----

Cell* make_at(Cell* c, int32_t n) {
    Node ctx = context::create(n, false, true, 0, context::KIND_OBJECT);
    set_cell(c, TYPE_OBJECT, ctx, 0, 0);
    store_owner(c);
    return c;
}

Cell* push(Node ctx, Node events, int32_t class_id) {
    Cell* c = set_cell(stack::push_cell(), TYPE_OBJECT, ctx, static_cast<uint32_t>(class_id), events);
    store_owner(c);
    return c;
}

Cell* push_ctx(Node ctx, int32_t class_id) {
    collector::NodeRoot keep(&ctx);
    Node vals = context::cell_of(ctx)->data2;
    if (block::node_length(vals) == 0)
        for (int32_t i = context::count(ctx); i > 0; i--) block::alloc_tail(context::cell_of(ctx)->data2);
    return push(ctx, 0, class_id);
}

Node make_owner_info(Node change_spec, Node deep_spec, int32_t change_index, int32_t change_locals, int32_t deep_index,
                     int32_t deep_locals) {
    Node info = block::make_node(2);
    collector::NodeRoot keep(&info);
    set_cell(block::alloc_tail(info), TYPE_PAIR, change_spec, static_cast<uint32_t>(change_index),
             static_cast<uint32_t>(change_locals));
    set_cell(block::alloc_tail(info), TYPE_PAIR, deep_spec, static_cast<uint32_t>(deep_index),
             static_cast<uint32_t>(deep_locals));
    return info;
}

static int32_t handler_index(Node events, int which) {
    return events ? block::node_cell(events, which)->i2() : -1;
}

Node make_owned(Node ctx, int32_t change_index, int32_t change_locals, int32_t deep_index, int32_t deep_locals) {
    collector::NodeRoot keep(&ctx);
    Node info = make_owner_info(0, 0, change_index, change_locals, deep_index, deep_locals);
    Cell* obj = stack::top_cell();
    obj->data3 = info;
    store_owner(obj);
    if (deep_index != -1) {
        Cell o = *obj, none;
        set_cell(&none, TYPE_NONE);
        collector::Root k1(&o);
        ownership::set_owned(&o, &o, &none);
    }
    return info;
}

bool has_deep_handler_q(const Cell* obj) { return obj->data3 && handler_index(obj->data3, 1) != -1; }

Node make_events_info(Node ctx) {
    int32_t change = -1, deep = -1;
    for (int32_t i = 0; i < context::count(ctx); i++) {
        const Cell* w = context::word_at_node(ctx, i);
        if (sym_on_change.is(w))
            change = i;
        else if (sym_on_deep.is(w))
            deep = i;
    }
    if (change < 0 && deep < 0) return 0;
    Node specs[2] = {0, 0};
    int32_t locals[2] = {0, 0};
    int32_t index[2] = {change, deep};
    for (int k = 0; k < 2; k++) {
        if (index[k] < 0) continue;
        Cell v = context::values(ctx)[index[k]];
        if (v.type() != TYPE_FUNCTION && v.type() != TYPE_ROUTINE) {
            Cell w, type;
            word::make_global(&w, k == 0 ? sym_on_change.id() : sym_on_deep.id());
            datatype::make_at(&type, v.type());
            fire(err::script::bad_field_set, &w, &type);
        }
        specs[k] = v.data2;
        locals[k] = function::count_locals(v.data2, 0, false);
    }
    return make_owner_info(specs[0], specs[1], change, locals[0], deep, locals[1]);
}

void init_owner(Cell* obj) {
    Cell o = *obj;
    collector::Root keep(&o);
    Node events = make_events_info(o.data1);
    o.data3 = events;
    obj->data3 = events;
    store_owner(&o);
    if (has_deep_handler_q(&o)) {
        Cell none;
        set_cell(&none, TYPE_NONE);
        ownership::set_owned(&o, &o, &none);
    }
}

// ---- Copying ----

static bool deep_copied(uint8_t t) {
    return t == TYPE_BLOCK || t == TYPE_PAREN || types::any_path(t) || types::any_string(t);
}

static bool series_copied(uint8_t t) {
    return deep_copied(t) || t == TYPE_HASH || t == TYPE_BINARY || t == TYPE_VECTOR || t == TYPE_IMAGE;
}

// A copy of a series value through its type's copy action (deep for nested blocks).
static void copy_value(Cell* out, const Cell* value, bool deep) {
    Cell v = *value;
    collector::Root keep(&v);
    uint32_t flags = v.header & ~cell_flag::type_mask;
    if (datatype::slot(v.type(), ACT_COPY)) {
        const Cell* args[1] = {&v};
        int32_t refs[3] = {-1, deep ? 0 : -1, -1};
        // The call's frame is dropped down to the caller's arguments: keep the cells above them.
        stack::Saved saved = stack::save();
        actions::call(out, ACT_COPY, args, 1, refs);
        stack::restore(saved);
    } else if (types::any_block(v.type())) {
        Node n = deep ? block::copy_deep(&v) : block::copy_cells(&v);
        block::make_at(out, n, 0, v.type());
    } else {
        int32_t index = v.index() > 0 ? v.index() : 0;
        int32_t length = static_cast<int32_t>(memory::nodes[v.node()]->length()) - index;
        Node n = series::copy_part(v.node(), index, length > 0 ? length : 0);
        set_cell(out, v.type(), 0, n, v.data3);
    }
    out->header = (out->header & cell_flag::type_mask) | flags;
}

static void copy_slot(Node ctx, int32_t i, bool deep) {
    Cell copy;
    set_cell(&copy, TYPE_NONE);
    collector::Root keep(&copy);
    collector::NodeRoot keep_ctx(&ctx);
    Cell v = context::values(ctx)[i];
    copy_value(&copy, &v, deep);
    context::values(ctx)[i] = copy;
}

void copy_function(Node k, int32_t i) {
    collector::NodeRoot keep_k(&k);
    Cell f = context::values(k)[i];
    collector::Root keep_f(&f);
    Cell* body = function::body_of(&f);
    if (!body || body->type() != TYPE_BLOCK) fire(err::script::bad_func_def, &f);
    Cell b = *body;
    Node fctx = memory::copy_series(f.data1);
    collector::NodeRoot keep_fctx(&fctx);
    // The copy has no running call, even when the original is running now.
    context::cell_of(fctx)->data2 = 0;
    Cell copy;
    block::make_at(&copy, block::copy_deep(&b), 0, TYPE_BLOCK);
    collector::Root keep_copy(&copy);
    // Fields first, then the function's own words, so that arguments and locals shadow fields.
    context::bind(&copy, k, true);
    context::bind(&copy, fctx, false);
    Cell fn;
    function::make_with(&fn, f.data2, &copy, fctx, f.header & ~cell_flag::type_mask);
    context::values(k)[i] = fn;
}

Cell* duplicate(const Cell* proto_in, Cell* result, bool deep, const Cell* types_in, bool recompute) {
    Cell p = *proto_in, t;
    if (types_in)
        t = *types_in;
    else
        set_cell(&t, TYPE_NONE);
    collector::Root k1(&p), k2(&t);
    int32_t n = context::count(p.data1);
    Node ctx = context::create(n, false, true, p.data1, context::KIND_OBJECT);
    collector::NodeRoot keep_ctx(&ctx);
    Node vals = context::cell_of(ctx)->data2;
    series::reserve(vals, static_cast<uint32_t>(n) * 16);
    vals = context::cell_of(ctx)->data2;
    SeriesBuf* vb = memory::nodes[vals];
    std::memcpy(vb->at_tail(), context::values(p.data1), size_t(n) * 16);
    vb->tail += static_cast<uint32_t>(n) * 16;
    Cell r;
    set_cell(&r, p.type(), ctx, p.data2, recompute ? 0 : p.data3);
    *result = r;
    store_owner(&r);
    bool has_types = t.type() == TYPE_DATATYPE || t.type() == TYPE_TYPESET;
    if (deep && !has_types) {
        for (int32_t i = 0; i < n; i++) {
            uint8_t type = context::values(ctx)[i].type();
            if (deep_copied(type))
                copy_slot(ctx, i, true);
            else if (type == TYPE_FUNCTION)
                copy_function(ctx, i);
        }
    } else {
        for (int32_t i = 0; i < n; i++)
            if (context::values(ctx)[i].type() == TYPE_FUNCTION) copy_function(ctx, i);
        if (has_types) {
            int depth = cycles::depth();
            if (deep) {
                if (cycles::find_q(p.data1)) {
                    cycles::reset();
                    fire(err::internal::no_cycle);
                }
                cycles::push(p.data1);
            }
            try {
                // The values go through the block routine so that nested maps, objects and
                // bitsets of the asked types are copied too, deeply under the same filter.
                Cell vals;
                block::make_at(&vals, context::cell_of(ctx)->data2);
                collector::Root keep_vals(&vals);
                block::copy_series_by_type(&vals, 0, n, 1, &t, deep);
            } catch (...) {
                cycles::pop_n(cycles::depth() - depth);
                throw;
            }
            cycles::pop_n(cycles::depth() - depth);
        }
    }
    if (recompute) init_owner(result);
    return result;
}

void copy_series_values(const Cell* proto, const Cell* obj, bool copy_others) {
    Cell p = *proto, o = *obj;
    collector::Root k1(&p), k2(&o);
    int32_t n = context::count(p.data1);
    int32_t m = context::count(o.data1);
    for (int32_t i = 0; i < n && i < m; i++) {
        Cell v = context::values(p.data1)[i];
        if (series_copied(v.type())) {
            Cell copy;
            set_cell(&copy, TYPE_NONE);
            collector::Root keep(&copy);
            copy_value(&copy, &v, true);
            if (types::any_block(copy.type())) context::bind(&copy, o.data1, true);
            context::values(o.data1)[i] = copy;
        } else if (copy_others) {
            context::values(o.data1)[i] = v;
        }
    }
}

bool transfer_values(Node target, Node source) {
    collector::NodeRoot k1(&target), k2(&source);
    int32_t before = context::count(target);
    for (int32_t i = 0; i < context::count(source); i++) {
        Cell w = *context::word_at_node(source, i);
        Cell v = context::values(source)[i];
        collector::Root kw(&w), kv(&v);
        context::set_or_add(target, &w, &v);
    }
    for (int32_t i = 0; i < context::count(target); i++) {
        uint8_t type = context::values(target)[i].type();
        if (series_copied(type))
            copy_slot(target, i, true);
        else if (type == TYPE_FUNCTION)
            copy_function(target, i);
    }
    return context::count(target) > before;
}

static void clear_marks(Node ctx) {
    int32_t n = context::count(ctx);
    for (int32_t i = 0; i < n; i++) context::word_at_node(ctx, i)->header &= ~context::word_changed;
    Cell* v = context::values(ctx);
    for (int32_t i = 0; i < n; i++) v[i].header &= ~cell_flag::newline;
}

Cell* make(Cell* proto, Cell* spec_in, int) {
    Cell spec = *spec_in;
    collector::Root keep_spec(&spec);
    Cell* result = stack::push_cell();
    set_cell(result, TYPE_UNSET);
    bool from_object = proto->type() == TYPE_OBJECT;
    Cell p = *proto;
    collector::Root keep_p(&p);
    if (spec.type() != TYPE_OBJECT && spec.type() != TYPE_BLOCK) fire(err::syntax::malconstruct, &spec);
    if (from_object)
        duplicate(&p, result, true, nullptr, false);
    else
        make_at(result, 4);
    bool grew;
    if (spec.type() == TYPE_OBJECT) {
        grew = transfer_values(result->data1, spec.data1);
    } else {
        grew = context::add_set_words(result->data1, &spec);
        context::bind(&spec, result->data1, true);
        if (from_object) copy_series_values(&p, result, false);
        Cell body = spec;
        collector::Root keep_body(&body);
        Cell* saved_top = stack::top;
        interpreter::eval_block(&body, false);
        stack::top = saved_top;
        clear_marks(result->data1);
    }
    result->data2 = static_cast<uint32_t>(grew || !from_object ? new_class_id() : p.i2());
    store_owner(result);
    init_owner(result);
    *proto = *result;
    stack::top = result;
    return proto;
}

bool collect_set_words(Node ctx, const Cell* spec_in, bool only) {
    Cell spec = *spec_in;
    collector::Root keep(&spec);
    collector::NodeRoot keep_ctx(&ctx);
    int32_t before = context::count(ctx);
    int32_t from = spec.index() > 0 ? spec.index() : 0;
    for (int32_t i = from; i < block::node_length(spec.node()); i++) {
        if (block::node_cell(spec.node(), i)->type() != TYPE_SET_WORD) continue;
        int32_t j = i;
        while (j < block::node_length(spec.node()) && block::node_cell(spec.node(), j)->type() == TYPE_SET_WORD) j++;
        Cell value;
        if (j < block::node_length(spec.node()))
            value = *block::node_cell(spec.node(), j);
        else
            set_cell(&value, TYPE_NONE);
        if (!only && value.type() == TYPE_WORD) {
            if (sym_true.is(&value) || sym_yes.is(&value) || sym_on.is(&value))
                set_cell(&value, TYPE_LOGIC, 1);
            else if (sym_false.is(&value) || sym_no.is(&value) || sym_off.is(&value))
                set_cell(&value, TYPE_LOGIC, 0);
            else if (sym_none.is(&value))
                set_cell(&value, TYPE_NONE);
        }
        collector::Root keep_value(&value);
        for (int32_t k = i; k < j; k++) {
            Cell w = *block::node_cell(spec.node(), k);
            collector::Root keep_word(&w);
            context::set_or_add(ctx, &w, &value);
        }
        i = j;
    }
    return context::count(ctx) > before;
}

Cell* make_from_spec(const Cell* spec_in, const Cell* proto, bool only) {
    Cell spec = *spec_in;
    collector::Root keep(&spec);
    Cell* result = stack::push_cell();
    set_cell(result, TYPE_UNSET);
    if (proto) {
        Cell p = *proto;
        collector::Root keep_p(&p);
        duplicate(&p, result, true, nullptr, true);
    } else {
        make_at(result, 4);
        result->data2 = static_cast<uint32_t>(new_class_id());
        store_owner(result);
    }
    collect_set_words(result->data1, &spec, only);
    return result;
}

// ---- Handler calls ----

// Calls a handler function with its arguments under a function frame named after the handler;
// the function's further slots start as a call without refinements leaves them.
static void call_handler(const Cell* fn_in, const Cell* obj, int32_t name_symbol, const Cell* args, int n) {
    Cell fn = *fn_in;
    collector::Root keep(&fn);
    stack::Saved saved = stack::save();
    Cell name;
    word::make_in_context(&name, name_symbol, obj->data1);
    stack::mark_func(&name, fn.data1);
    for (int i = 0; i < n; i++) stack::push(args + i);
    int32_t slot = 0;
    for (int32_t i = 0; i < block::node_length(fn.data2); i++) {
        uint8_t t = block::node_cell(fn.data2, i)->type();
        if (t != TYPE_WORD && t != TYPE_LIT_WORD && t != TYPE_GET_WORD && t != TYPE_REFINEMENT) continue;
        if (slot++ < n) continue;
        set_cell(stack::push_cell(), t == TYPE_REFINEMENT ? TYPE_LOGIC : TYPE_NONE);
    }
    interpreter::call_function(&fn, obj->data1, &name);
    stack::restore(saved);
}

// The handler of an information entry, with its local count brought up to date when the
// handler was replaced since.
static bool handler_of(Node events, int which, Node ctx, Cell* out) {
    Cell* entry = block::node_cell(events, which);
    int32_t index = entry->i2();
    if (index < 0 || index >= context::count(ctx)) return false;
    *out = context::values(ctx)[index];
    if (out->type() == TYPE_FUNCTION && entry->data1 != out->data2) {
        entry->data1 = out->data2;
        entry->data3 = static_cast<uint32_t>(function::count_locals(out->data2, 0, false));
    }
    return true;
}

void fire_on_set(const Cell* obj_in, const Cell* word_in, const Cell* old_value, const Cell* new_value) {
    Cell args[3] = {*word_in, *old_value, *new_value};
    Cell obj = *obj_in;
    if (!obj.data3) return;
    collector::Root k0(&obj), k1(args), k2(args + 1), k3(args + 2);
    Cell handler;
    if (!handler_of(obj.data3, 0, obj.data1, &handler)) return;
    if (handler.type() != TYPE_FUNCTION) fire(err::script::invalid_obj_evt, &handler);
    collector::Root keep_handler(&handler);
    // The handler gets a plain word: the flags of the cell it came from (a set-word's line break
    // in the code, the changed mark of the object's word list) are not the word's.
    args[0].header = TYPE_WORD;
    if (args[0].data1 != obj.data1 || static_cast<int32_t>(args[0].data3) < 0) context::bind_word(obj.data1, args);
    call_handler(&handler, &obj, sym_on_change.id(), args, 3);
}

void fire_on_change(const Cell* obj_in, const Cell* word, int32_t index, const Cell* value) {
    Cell obj = *obj_in, w = *word, v = *value;
    if (index < 0 || index >= context::count(obj.data1)) return;
    collector::Root k1(&obj), k2(&w), k3(&v);
    Cell old = context::values(obj.data1)[index];
    collector::Root k4(&old);
    context::values(obj.data1)[index] = v;
    context::word_at_node(obj.data1, index)->header |= context::word_changed;
    Cell current = *context::owner_of(obj.data1);
    if (types::any_object(current.type()) && current.data3) fire_on_set(&current, &w, &old, &v);
}

void on_set_word(const Cell* obj, const Cell* word) {
    Cell* top = stack::top_cell();
    fire_on_set(obj, word, top, top - 1);
}

void on_set_ctx_word(Node ctx, const Cell* word) {
    Cell obj = *context::owner_of(ctx);
    if (!types::any_object(obj.type()) || !obj.data3) return;
    on_set_word(&obj, word);
}

void on_set_compiled(const Cell* object_word, const Cell* field_word) {
    Cell obj = *context::get(object_word);
    if (!types::any_object(obj.type()) || !obj.data3) return;
    on_set_word(&obj, field_word);
}

void fire_on_deep(const Cell* obj_in, const Cell* word, const Cell* target, const Cell* action, const Cell* new_value,
                  int32_t index, int32_t part) {
    Cell obj = *obj_in;
    if (!obj.data3) fire(err::script::invalid_obj_evt, &obj);
    Cell args[7];
    collector::Root k0(args), k1(args + 1), k2(args + 2), k3(args + 3), k4(args + 4);
    args[0] = obj;
    args[1] = *word;
    args[2] = *target;
    args[3] = *action;
    if (new_value)
        args[4] = *new_value;
    else
        set_cell(&args[4], TYPE_NONE);
    set_cell(&args[5], TYPE_INTEGER, static_cast<uint32_t>(index));
    set_cell(&args[6], TYPE_INTEGER, static_cast<uint32_t>(part));
    collector::Root keep_obj(&obj);
    Cell handler;
    if (!handler_of(obj.data3, 1, obj.data1, &handler) || handler.type() != TYPE_FUNCTION) return;
    collector::Root keep_handler(&handler);
    call_handler(&handler, &obj, sym_on_deep.id(), args, 7);
}

// ---- set ----

void set_many(const Cell* obj_in, const Cell* value_in, bool any, bool only, bool some) {
    Cell obj = *obj_in, value = *value_in;
    collector::Root k1(&obj), k2(&value);
    Node ctx = obj.data1;
    collector::NodeRoot keep_ctx(&ctx);
    int32_t n = context::count(ctx);
    bool spread = !only && (value.type() == TYPE_BLOCK || types::any_object(value.type()));
    bool from_block = spread && value.type() == TYPE_BLOCK;
    if (spread && !some && !any) {
        int32_t m = from_block ? block::rs_length_q(&value) : context::count(value.data1);
        for (int32_t i = 0; i < n && i < m; i++) {
            const Cell* v = from_block ? block::rs_head(&value) + i : context::values(value.data1) + i;
            if (v->type() == TYPE_UNSET) {
                Cell w = *context::word_at_node(ctx, i);
                w.header = TYPE_WORD;
                fire(err::script::need_value, &w);
            }
        }
    }
    int32_t change = obj.data3 ? handler_index(obj.data3, 0) : -1;
    int32_t deep = obj.data3 ? handler_index(obj.data3, 1) : -1;
    for (int32_t i = 0; i < context::count(ctx); i++) {
        Cell v;
        if (!spread) {
            v = value;
        } else if (from_block) {
            if (i < block::rs_length_q(&value))
                v = block::rs_head(&value)[i];
            else
                set_cell(&v, TYPE_NONE);
        } else {
            int32_t k = context::find_word(value.data1, static_cast<int32_t>(context::word_at_node(ctx, i)->data2), true);
            if (k < 0) continue;
            v = context::values(value.data1)[k];
        }
        if (some && v.type() == TYPE_NONE) continue;
        if (obj.data3 && (i == change || i == deep)) continue;
        context::word_at_node(ctx, i)->header |= context::word_changed;
        if (obj.data3) {
            Cell w = *context::word_at_node(ctx, i), old = context::values(ctx)[i];
            w.header = TYPE_WORD;
            collector::Root kw(&w), ko(&old), kv(&v);
            context::values(ctx)[i] = v;
            fire_on_set(&obj, &w, &old, &v);
        } else {
            context::values(ctx)[i] = v;
        }
    }
}

// ---- Accessors ----

static Cell shared_none = {TYPE_NONE, 0, 0, 0};

int32_t find_word_index(const Cell* obj, const Cell* w) {
    return context::find_word(obj->data1, static_cast<int32_t>(w->data2), true);
}

Cell* get_word(const Cell* obj, const Cell* w) {
    int32_t i = find_word_index(obj, w);
    if (i < 0) {
        set_cell(&shared_none, TYPE_NONE);
        return &shared_none;
    }
    return context::values(obj->data1) + i;
}

Cell* word_at_node(Node ctx, int32_t i) { return context::word_at_node(ctx, i); }
Cell* first_word(const Cell* obj) { return context::word_at_node(obj->data1, 0); }
Cell* get_values(const Cell* obj) { return context::values(obj->data1); }
int32_t get_size(const Cell* obj) { return context::count(obj->data1); }

bool is_class_word_q(const Cell* w, int32_t class_id) {
    const Cell* v = word::peek(w);
    return v && v->type() == TYPE_OBJECT && v->i2() == class_id;
}

bool is_class_at_q(Node ctx, int32_t i, int32_t class_id) {
    const Cell* v = context::values(ctx) + i;
    return v->type() == TYPE_OBJECT && v->i2() == class_id;
}

// ---- Path access ----

[[noreturn]] static void path_error(const PathStep& step, bool last) {
    Cell p, e = *step.element;
    if (step.path)
        p = *step.path;
    else
        set_cell(&p, TYPE_NONE);
    fire(last ? err::script::invalid_path : err::script::unset_path, &p, &e);
}

Cell* eval_path(PathStep& step, Cell* out) {
    const Cell* e = step.element;
    uint8_t t = e->type();
    if (t != TYPE_WORD && t != TYPE_SET_WORD && t != TYPE_GET_WORD && t != TYPE_LIT_WORD) path_error(step, true);
    Cell obj = *step.value;
    collector::Root keep_obj(&obj);
    Node ctx = obj.data1;
    collector::NodeRoot keep_ctx(&ctx);
    int32_t index = e->data1 == ctx ? static_cast<int32_t>(e->data3) : -1;
    if (index < 0 || index >= context::count(ctx)) index = context::find_word(ctx, static_cast<int32_t>(e->data2), true);
    if (index < 0) {
        if (step.get && step.last) return set_cell(out, TYPE_UNSET);
        path_error(step, step.last);
    }
    if (!step.store) {
        Cell* v = context::values(ctx) + index;
        if (v->type() == TYPE_UNSET) {
            if (step.get && step.last) return set_cell(out, TYPE_UNSET);
            path_error(step, step.last);
        }
        return v;
    }
    Cell value = *step.store;
    collector::Root keep_value(&value);
    Cell w = *context::word_at_node(ctx, index);
    w.header = TYPE_WORD;
    if (obj.data3) {
        Cell old = context::values(ctx)[index];
        collector::Root keep_old(&old);
        context::set_in(&w, &value, ctx, false);
        fire_on_set(&obj, &w, &old, &value);
    } else {
        context::set_in(&w, &value, ctx, false);
    }
    *out = value;
    return out;
}

// ---- Text ----

static void indent(Node buffer, int level) {
    for (int i = 0; i < level; i++) string::concatenate_literal(buffer, "    ");
}

int serialize(const Cell* obj_in, Node buffer, bool only, bool all, bool flat, const Cell* part, int limit, bool indent_on,
              int level, bool mold_mode) {
    Cell obj = *obj_in;
    collector::Root keep(&obj);
    Node ctx = obj.data1;
    collector::NodeRoot keep_ctx(&ctx);
    int32_t n = context::count(ctx);
    if (n == 0) return limit;
    char separator = '\n';
    if (flat) {
        separator = ' ';
        indent_on = false;
    } else if (mold_mode) {
        if (!only) {
            string::append_char(buffer, '\n');
            limit--;
        } else {
            indent_on = false;
        }
    }
    cycles::Scope scope(ctx);
    auto shown = [&](int32_t i) {
        const Cell* w = context::word_at_node(ctx, i);
        return all || !(sym_on_change.is(w) || sym_on_deep.is(w));
    };
    // The separator goes between written fields only: left-out handlers at the end leave none.
    int32_t last = n - 1;
    while (last >= 0 && !shown(last)) last--;
    for (int32_t i = 0; i <= last; i++) {
        if (limit < 1) break;
        if (!shown(i)) continue;
        Cell w = *context::word_at_node(ctx, i);
        if (indent_on) {
            indent(buffer, level);
            limit -= 4 * level;
        }
        w.header = TYPE_WORD;
        limit = actions::mold(&w, buffer, false, false, flat, part, limit, level);
        string::concatenate_literal(buffer, ": ");
        limit -= 2;
        Cell* slot = context::values(ctx) + i;
        if (slot->type() == TYPE_NONE_ID) set_cell(slot, TYPE_UNSET);
        Cell v = *slot;
        if (v.type() == TYPE_WORD) {
            string::append_char(buffer, '\'');
            limit--;
        }
        limit = actions::mold(&v, buffer, false, all, flat, part, limit, level);
        if (indent_on || i < last) {
            string::append_char(buffer, static_cast<uint32_t>(separator));
            limit--;
        }
    }
    return limit;
}

int form(const Cell* value, Node buffer, const Cell* part, int limit) {
    if (cycles::detect_q(value, buffer, &limit, false)) return limit;
    cycles::Writing writing(value, buffer, part);
    return serialize(value, buffer, false, false, false, part, limit, false, 0, false);
}

int mold(const Cell* value, Node buffer, bool only, bool all, bool flat, const Cell* part, int limit, int level) {
    if (cycles::detect_q(value, buffer, &limit, true)) return limit;
    cycles::Writing writing(value, buffer, part);
    if (!only) {
        string::concatenate_literal(buffer, "make object! [");
        limit -= 14;
    }
    limit = serialize(value, buffer, only, all, flat, part, limit, true, level + 1, true);
    if (!flat && level >= 1) {
        indent(buffer, level);
        limit -= 4 * level;
    }
    if (!only) {
        string::append_char(buffer, ']');
        limit--;
    }
    return limit;
}

// ---- Comparison ----

static bool numeric(uint8_t t) { return t == TYPE_INTEGER || t == TYPE_FLOAT || t == TYPE_PERCENT; }

int compare(const Cell* a, const Cell* b, int op) {
    // Only values of one kind compare field by field: an object! is not equal to an error! (or
    // port!) with the same fields, whichever side it is on.
    if (!types::any_object(b->type()) || b->type() != a->type()) return -2;
    Node ca = a->data1, cb = b->data1;
    if (ca == cb) return 0;
    if (op == COMP_SAME) return -1;
    if (cycles::find_q(ca)) return cycles::find_q(cb) ? 0 : -1;
    int32_t na = context::count(ca), nb = context::count(cb);
    if (na != nb) return na < nb ? -1 : 1;
    if (na == 0) return 0;
    cycles::Comparing comparing;
    int known;
    if (comparing.known(ca, 0, cb, 0, op, &known)) return known;
    collector::NodeRoot k1(&ca), k2(&cb);
    cycles::Scope sa(ca);
    cycles::Scope sb(cb);
    int r = 0;
    for (int32_t i = 0; i < na && r == 0; i++) {
        int32_t wa = symbol::resolve(static_cast<int32_t>(context::word_at_node(ca, i)->data2));
        int32_t wb = symbol::resolve(static_cast<int32_t>(context::word_at_node(cb, i)->data2));
        if (wa != wb) {
            r = wa < wb ? -1 : 1;
            break;
        }
        Cell x = context::values(ca)[i], y = context::values(cb)[i];
        uint8_t tx = x.type(), ty = y.type();
        if (tx == ty || (types::any_word(tx) && types::any_word(ty)) || (numeric(tx) && numeric(ty)))
            r = actions::compare_value(&x, &y, op);
        else
            r = tx < ty ? -1 : 1;
    }
    comparing.note(ca, 0, cb, 0, op, r);
    return r;
}

// ---- Series-like actions ----

void copy(const int32_t* refs) {
    Cell* args = stack::arguments;
    if (refs[0] >= 0) {
        Cell w, arg = args[refs[0]];
        word::make_global(&w, sym_part.id(), TYPE_REFINEMENT);
        fire(err::script::invalid_refine_arg, &w, &arg);
    }
    Cell proto = args[0];
    collector::Root keep(&proto);
    const Cell* types = refs[2] >= 0 ? args + refs[2] : nullptr;
    duplicate(&proto, args, refs[1] >= 0, types, true);
    stack::keep();
}

void select(const int32_t*) {
    Cell* args = stack::arguments;
    const Cell* key = args + 1;
    uint8_t t = key->type();
    if (t != TYPE_WORD && t != TYPE_SET_WORD && t != TYPE_GET_WORD && t != TYPE_LIT_WORD) {
        Cell type;
        datatype::make_at(&type, t);
        fire(err::script::invalid_type, &type);
    }
    Cell v = *get_word(args, key);
    *args = v;
    stack::keep();
}

static void put(const int32_t*) {
    Cell* args = stack::arguments;
    if (args[1].type() != TYPE_WORD) {
        Cell type;
        datatype::make_at(&type, args[1].type());
        fire(err::script::invalid_key_type, &type);
    }
    Cell element = args[1];
    Cell out;
    PathStep step{args, &element, args + 2, nullptr, nullptr, nullptr, -1, false, false, true, false};
    Cell* r = eval_path(step, &out);
    *args = *r;
    stack::keep();
}

static void modify(const int32_t*) {
    Cell* args = stack::arguments;
    Cell obj = args[0], field = args[1], value = args[2];
    collector::Root k1(&obj), k2(&field), k3(&value);
    if (types::any_word(field.type())) {
        if (sym_changed.is(&field)) {
            if (value.type() != TYPE_NONE) fire(err::script::invalid_arg, &value);
            for (int32_t i = 0; i < context::count(obj.data1); i++)
                context::word_at_node(obj.data1, i)->header &= ~context::word_changed;
        } else if (sym_owner.is(&field)) {
            Cell none;
            set_cell(&none, TYPE_NONE);
            ownership::set_owned(&obj, &obj, &none);
        } else if (sym_owned.is(&field)) {
            if (value.type() == TYPE_NONE) {
                ownership::unbind(&obj);
            } else if (value.type() == TYPE_BLOCK && block::rs_length_q(&value) >= 2 &&
                       types::any_object(block::rs_head(&value)->type()) && types::any_word(block::rs_head(&value)[1].type())) {
                Cell owner = block::rs_head(&value)[0], w = block::rs_head(&value)[1];
                collector::Root k4(&owner), k5(&w);
                ownership::set(&obj, &owner, &w);
            } else {
                fire(err::script::invalid_arg, &value);
            }
        }
    }
    *args = value;
    stack::keep();
}

void reflect(const int32_t*) {
    Cell* args = stack::arguments;
    Cell obj = args[0];
    collector::Root keep(&obj);
    const Cell* field = args + 1;
    if (!types::any_word(field->type())) fire(err::internal::not_done);
    Node ctx = obj.data1;
    collector::NodeRoot keep_ctx(&ctx);
    int32_t n = context::count(ctx);
    Cell result;
    Node out = 0;
    collector::NodeRoot keep_out(&out);
    if (sym_changed.is(field)) {
        out = block::make_node(n);
        for (int32_t i = 0; i < context::count(obj.data1); i++) {
            Cell w = *context::word_at_node(obj.data1, i);
            if (!(w.header & context::word_changed)) continue;
            w.header = TYPE_WORD;
            block::append_cell(out, &w);
        }
        block::make_at(&result, out);
    } else if (sym_class.is(field)) {
        set_cell(&result, TYPE_INTEGER, obj.data2);
    } else if (sym_words.is(field)) {
        out = block::make_node(n);
        for (int32_t i = 0; i < n; i++) {
            Cell w = *context::word_at_node(obj.data1, i);
            set_cell(&w, TYPE_WORD, obj.data1, w.data2, static_cast<uint32_t>(i));
            block::append_cell(out, &w);
        }
        block::make_at(&result, out);
    } else if (sym_values.is(field)) {
        out = block::make_node(n);
        for (int32_t i = 0; i < n; i++) block::append_cell(out, context::values(obj.data1) + i);
        block::make_at(&result, out);
    } else if (sym_body.is(field)) {
        out = block::make_node(n * 2);
        for (int32_t i = 0; i < n; i++) {
            Cell w = *context::word_at_node(obj.data1, i);
            set_cell(&w, TYPE_SET_WORD, obj.data1, w.data2, static_cast<uint32_t>(i));
            w.header |= cell_flag::newline;
            block::append_cell(out, &w);
            Cell v = context::values(obj.data1)[i];
            if (v.type() == TYPE_WORD)
                v.set_type(TYPE_LIT_WORD);
            else if (v.type() == TYPE_PATH)
                v.set_type(TYPE_LIT_PATH);
            block::append_cell(out, &v);
        }
        block::make_at(&result, out);
    } else if (sym_owner.is(field)) {
        set_cell(&result, TYPE_LOGIC, (context::cell_of(ctx)->header & context::owner_flag) ? 1 : 0);
    } else if (sym_events.is(field)) {
        set_cell(&result, TYPE_LOGIC, obj.data3 ? 1 : 0);
    } else {
        fire(err::internal::not_done);
    }
    *args = result;
    stack::keep();
}

void init() {
    datatype::Row row;
    row.set(ACT_MAKE, make)
        .set(ACT_REFLECT, reflect)
        .set(ACT_FORM, form)
        .set(ACT_MOLD, mold)
        .set(ACT_EVAL_PATH, eval_path)
        .set(ACT_COMPARE, compare)
        .set(ACT_COPY, copy)
        .set(ACT_PUT, put)
        .set(ACT_SELECT, select)
        .set(ACT_MODIFY, modify);
    datatype::register_row(TYPE_OBJECT, 0, "object!", row);
}

}  // namespace object
