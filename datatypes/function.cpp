#include "datatypes/function.h"

#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/datatype.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "evaluator/actions.h"
#include "runtime/collector.h"
#include "runtime/cycles.h"
#include "runtime/fire.h"
#include "runtime/stack.h"

namespace function {

bool making_builtins = false;


static const symbol::Known sym_local("local"), sym_extern("extern"), sym_return("return"), sym_trace("trace"),
    sym_no_trace("no-trace"), sym_spec("spec"), sym_body("body"), sym_words("words"), sym_foreach("foreach"),
    sym_remove_each("remove-each"), sym_repeat("repeat");

int32_t local_symbol() { return sym_local.id(); }

Cell* body_of(const Cell* fn) {
    if (fn->type() != TYPE_FUNCTION && fn->type() != TYPE_ROUTINE) return nullptr;
    return block::node_cell(fn->data3, MORE_BODY);
}

int32_t count_locals(Node spec, int32_t start, bool strict) {
    int32_t n = block::node_length(spec);
    int32_t count = -1;
    for (int32_t i = start < 0 ? 0 : start; i < n; i++) {
        Cell* c = block::node_cell(spec, i);
        if (count < 0) {
            if (c->type() == TYPE_REFINEMENT && sym_local.is(c)) count = 1;
        } else if (c->type() == TYPE_WORD) {
            count++;
        }
    }
    if (count < 0) return strict ? -1 : 0;
    return count;
}

void init_locals(int32_t n) {
    if (n <= 0) return;
    set_cell(stack::push_cell(), TYPE_LOGIC, 0);
    for (int32_t i = 1; i < n; i++) set_cell(stack::push_cell(), TYPE_NONE);
}

// ---- Spec validation ----

[[noreturn]] static void bad_def(const Cell* spec) {
    Cell s = *spec;
    fire(err::script::bad_func_def, &s);
}

int32_t spec_attributes(const Cell* attributes) {
    int32_t flags = 0;
    int32_t n = block::rs_length_q(attributes);
    for (int32_t i = 0; i < n; i++) {
        const Cell* c = block::rs_head(attributes) + i;
        if (c->type() != TYPE_WORD) return -1;
        if (sym_trace.is(c))
            flags |= flag_trace;
        else if (sym_no_trace.is(c))
            flags |= flag_no_trace;
    }
    return flags;
}

void check_type_block(const Cell* types_in) {
    Cell types = *types_in;
    collector::Root keep(&types);
    for (int32_t i = 0; i < block::rs_length_q(&types); i++) {
        Cell element = block::rs_head(&types)[i];
        uint8_t t = element.type();
        if (t == TYPE_DATATYPE || t == TYPE_TYPESET) continue;
        if (t == TYPE_WORD) {
            const Cell* v = context::get(&element);
            if (v->type() == TYPE_UNSET) fire(err::script::no_value, &element);
            uint8_t vt = v->type();
            if (vt == TYPE_DATATYPE || vt == TYPE_TYPESET || vt == TYPE_WORD) continue;
        }
        fire(err::script::invalid_type_spec, &element);
    }
}

static bool spec_word(uint8_t t) {
    return t == TYPE_WORD || t == TYPE_LIT_WORD || t == TYPE_GET_WORD || t == TYPE_REFINEMENT;
}

void check_duplicates(const Cell* spec) {
    int32_t n = block::rs_length_q(spec);
    const Cell* cells = block::rs_head(spec);
    // Positions of the spec's words; the first repeat names the earlier of the two.
    constexpr int32_t kSmall = 24;
    int32_t small_ids[kSmall];
    int32_t small_pos[kSmall];
    int32_t count = 0;
    std::unordered_map<int32_t, int32_t> seen;
    for (int32_t i = 0; i < n; i++) {
        if (!spec_word(cells[i].type())) continue;
        int32_t id = symbol::resolve(static_cast<int32_t>(cells[i].data2));
        int32_t earlier = -1;
        if (count < kSmall) {
            for (int32_t k = 0; k < count; k++)
                if (small_ids[k] == id) earlier = small_pos[k];
            if (earlier < 0) {
                small_ids[count] = id;
                small_pos[count] = i;
            }
        } else {
            if (seen.empty())
                for (int32_t k = 0; k < kSmall; k++) seen.emplace(small_ids[k], small_pos[k]);
            auto it = seen.find(id);
            if (it != seen.end())
                earlier = it->second;
            else
                seen.emplace(id, i);
        }
        if (earlier >= 0) {
            Cell w = cells[earlier];
            fire(err::script::dup_vars, &w);
        }
        count++;
    }
}

uint32_t validate_spec(const Cell* spec_in) {
    Cell spec = *spec_in;
    collector::Root keep(&spec);
    uint32_t flags = 0;
    int32_t i = 0;
    auto length = [&] { return block::rs_length_q(&spec); };
    auto at = [&](int32_t k) { return block::rs_head(&spec) + k; };
    if (length() > 0 && at(0)->type() == TYPE_BLOCK) {
        int32_t f = spec_attributes(at(0));
        if (f < 0) bad_def(&spec);
        flags = static_cast<uint32_t>(f);
        i = 1;
    }
    bool return_seen = false, local_seen = false;
    while (i < length()) {
        uint8_t t = at(i)->type();
        auto next_type = [&](int32_t k) { return k < length() ? at(k)->type() : uint8_t(TYPE_NONE_ID); };
        switch (t) {
            case TYPE_WORD:
            case TYPE_LIT_WORD:
            case TYPE_GET_WORD:
                if (local_seen && t != TYPE_WORD) bad_def(&spec);
                if (next_type(i + 1) == TYPE_STRING && next_type(i + 2) == TYPE_BLOCK) bad_def(&spec);
                if (return_seen && !local_seen) bad_def(&spec);
                if (next_type(i + 1) == TYPE_BLOCK) {
                    Cell types = *at(i + 1);
                    check_type_block(&types);
                    i++;
                }
                break;
            case TYPE_SET_WORD: {
                if (!sym_return.is(at(i)) || return_seen || local_seen) bad_def(&spec);
                if (next_type(i + 1) != TYPE_BLOCK) bad_def(&spec);
                uint8_t after = next_type(i + 2);
                if (after != TYPE_NONE_ID && after != TYPE_REFINEMENT && after != TYPE_STRING) bad_def(&spec);
                return_seen = true;
                i++;
                break;
            }
            case TYPE_REFINEMENT: {
                if (sym_local.is(at(i)))
                    local_seen = true;
                else if (local_seen || return_seen)
                    bad_def(&spec);
                uint8_t next = next_type(i + 1);
                if (next != TYPE_NONE_ID && next != TYPE_WORD && next != TYPE_GET_WORD && next != TYPE_LIT_WORD &&
                    next != TYPE_REFINEMENT && next != TYPE_SET_WORD && next != TYPE_STRING)
                    bad_def(&spec);
                break;
            }
            case TYPE_STRING: break;
            default: bad_def(&spec);
        }
        i++;
    }
    check_duplicates(&spec);
    return flags;
}

// ---- Making ----

static Cell* build(Cell* out, const Cell* spec_in, const Cell* body_in, Node given_ctx, int32_t code, int32_t extra,
                   uint32_t flags) {
    Cell spec = *spec_in, body;
    if (body_in && body_in->type() == TYPE_BLOCK)
        body = *body_in;
    else
        set_cell(&body, TYPE_NONE);
    collector::Root keep_spec(&spec), keep_body(&body);
    // The spec is kept from its first cell.
    if (spec.index() > 0) {
        if (spec.index() > block::node_length(spec.node())) spec.set_index(block::node_length(spec.node()));
        Node copy = block::copy_cells(&spec);
        block::make_at(&spec, copy);
    }
    if (body.type() == TYPE_BLOCK && body.index() > block::node_length(body.node()))
        body.set_index(block::node_length(body.node()));
    Node more = block::make_node(5);
    collector::NodeRoot keep_more(&more);
    for (int i = 0; i < 5; i++) set_cell(block::alloc_tail(more), TYPE_UNSET);
    Node ctx = given_ctx ? given_ctx : context::make(&spec, true, false, context::KIND_FUNCTION);
    collector::NodeRoot keep_ctx(&ctx);
    Cell fn;
    set_cell(&fn, TYPE_FUNCTION, ctx, spec.node(), more);
    fn.header |= flags;
    if (making_builtins) fn.header |= flag_builtin;
    *context::owner_of(ctx) = fn;
    if (body.type() == TYPE_BLOCK) {
        Node copy = block::copy_deep(&body);
        Cell bound;
        block::make_at(&bound, copy);
        *block::node_cell(more, MORE_BODY) = bound;
        if (!given_ctx) context::bind(&bound, ctx, false);
    } else {
        set_cell(block::node_cell(more, MORE_BODY), TYPE_NONE);
    }
    if (code) set_cell(block::node_cell(more, MORE_CODE), TYPE_INTEGER, static_cast<uint32_t>(code));
    if (extra) set_cell(block::node_cell(more, MORE_EXTRA), TYPE_INTEGER, static_cast<uint32_t>(extra));
    *out = fn;
    return out;
}

Cell* make_with(Cell* out, Node spec, const Cell* body_in, Node ctx, uint32_t flags) {
    Cell body = *body_in;
    collector::Root keep_body(&body);
    collector::NodeRoot keep_spec(&spec), keep_ctx(&ctx);
    Node more = block::make_node(5);
    collector::NodeRoot keep_more(&more);
    for (int i = 0; i < 5; i++) set_cell(block::alloc_tail(more), TYPE_UNSET);
    *block::node_cell(more, MORE_BODY) = body;
    Cell fn;
    set_cell(&fn, TYPE_FUNCTION, ctx, spec, more);
    fn.header |= flags;
    *context::owner_of(ctx) = fn;
    *out = fn;
    return out;
}

Cell* make_at(Cell* out, const Cell* spec, const Cell* body, uint32_t flags) {
    return build(out, spec, body, 0, 0, 0, flags);
}

Node push(const Cell* spec, const Cell* body, Node ctx, int32_t code, int32_t extra, uint32_t flags) {
    Cell* slot = stack::push_cell();
    set_cell(slot, TYPE_UNSET);
    Cell fn;
    build(&fn, spec, body, ctx, code, extra, flags);
    *slot = fn;
    return fn.data1;
}

Cell* make(Cell* proto, Cell* spec, int) {
    if (spec->type() != TYPE_BLOCK || block::rs_length_q(spec) < 2) bad_def(spec);
    Cell* items = block::rs_head(spec);
    if (items[0].type() != TYPE_BLOCK || items[1].type() != TYPE_BLOCK) bad_def(spec);
    Cell s = items[0], b = items[1];
    collector::Root k1(&s), k2(&b);
    uint32_t flags = validate_spec(&s);
    return build(proto, &s, &b, 0, 0, 0, flags);
}

// ---- Local words of the `function` native ----

namespace {

struct Collector {
    std::unordered_set<int32_t> excluded;  // resolved symbol ids
    Node collected;

    void collect(const Cell* w) {
        int32_t id = symbol::resolve(static_cast<int32_t>(w->data2));
        if (!excluded.insert(id).second) return;
        Cell word = *w;
        word.header = TYPE_WORD;
        block::append_cell(collected, &word);
    }

    cycles::Visited visited;

    void walk(Node series, int32_t from) {
        uint64_t mark;
        if (cycles::find_q(series) || visited.walked_q(series, from, &mark)) return;
        cycles::Scope scope(series);
        for (int32_t i = from; i < block::node_length(series); i++) {
            Cell c = *block::node_cell(series, i);
            uint8_t t = c.type();
            if (t == TYPE_SET_WORD) {
                collect(&c);
            } else if (t == TYPE_WORD && (sym_foreach.is(&c) || sym_remove_each.is(&c) || sym_repeat.is(&c))) {
                if (i + 1 >= block::node_length(series)) continue;
                Cell next = *block::node_cell(series, i + 1);
                if (next.type() == TYPE_WORD || next.type() == TYPE_SET_WORD) {
                    collect(&next);
                    i++;
                } else if (next.type() == TYPE_BLOCK && !sym_repeat.is(&c)) {
                    // The block is walked next like any other, so a set-word among the loop words
                    // (which the loop sets as well) is collected too.
                    for (int32_t k = next.index() > 0 ? next.index() : 0; k < block::node_length(next.node()); k++) {
                        Cell w = *block::node_cell(next.node(), k);
                        if (w.type() == TYPE_WORD || w.type() == TYPE_GET_WORD || w.type() == TYPE_LIT_WORD) collect(&w);
                    }
                }
            } else if (t == TYPE_BLOCK || t == TYPE_PAREN) {
                walk(c.node(), c.index() > 0 ? c.index() : 0);
            }
        }
        visited.done(series, from, mark);
    }
};

}  // namespace

Cell* collect_words(Cell* out, Cell* spec, const Cell* body_in) {
    Cell body = *body_in;
    collector::Root keep_body(&body);
    Collector c;
    c.collected = block::make_node(8);
    collector::NodeRoot keep_collected(&c.collected);
    Node s = spec->node();
    collector::NodeRoot keep_spec(&s);
    int32_t from = spec->index() > 0 ? spec->index() : 0;
    int32_t n = block::node_length(s);
    // The /extern refinement: its words are never made local, and the locals after a /local
    // that follows them are kept.
    int32_t extern_at = -1;
    for (int32_t i = from; i < n; i++) {
        const Cell* w = block::node_cell(s, i);
        if (w->type() == TYPE_REFINEMENT && sym_extern.is(w)) {
            extern_at = i;
            break;
        }
    }
    for (int32_t i = from; i < n; i++) {
        Cell v = *block::node_cell(s, i);
        uint8_t t = v.type();
        if (types::word_like(t)) {
            c.excluded.insert(symbol::resolve(static_cast<int32_t>(v.data2)));
        } else if (extern_at >= 0 && t != TYPE_BLOCK && t != TYPE_STRING) {
            fire(err::script::bad_func_extern, &v);
        }
    }
    if (extern_at >= 0) {
        int32_t i = extern_at + 1;
        while (i < n && block::node_cell(s, i)->type() != TYPE_REFINEMENT) i++;
        if (i < n && sym_local.is(block::node_cell(s, i)))
            for (i++; i < n; i++) {
                Cell w = *block::node_cell(s, i);
                if (w.type() == TYPE_WORD) block::append_cell(c.collected, &w);
            }
        memory::nodes[s]->tail = memory::nodes[s]->head + static_cast<uint32_t>(extern_at) * 16;
    }
    if (body.type() == TYPE_BLOCK || body.type() == TYPE_PAREN) c.walk(body.node(), body.index() > 0 ? body.index() : 0);
    int32_t count = block::node_length(c.collected);
    if (count > 0) {
        bool has_local = false;
        for (int32_t i = from; i < block::node_length(s); i++) {
            const Cell* w = block::node_cell(s, i);
            if (w->type() == TYPE_REFINEMENT && sym_local.is(w)) has_local = true;
        }
        if (!has_local) {
            Cell ref;
            word::make_global(&ref, sym_local, TYPE_REFINEMENT);
            block::append_cell(s, &ref);
        }
        for (int32_t i = 0; i < block::node_length(c.collected); i++) {
            Cell w = *block::node_cell(c.collected, i);
            if (sym_local.is(&w)) {
                SeriesBuf* b = memory::nodes[c.collected];
                Cell* cells = cells_head(b);
                int32_t len = static_cast<int32_t>(b->length());
                for (int32_t k = i; k + 1 < len; k++) cells[k] = cells[k + 1];
                b->tail -= 16;
                break;
            }
        }
        for (int32_t i = 0; i < block::node_length(c.collected); i++) {
            Cell w = *block::node_cell(c.collected, i);
            block::append_cell(s, &w);
        }
    }
    return block::make_at(out, c.collected);
}

// ---- Actions ----

static void reflect(const int32_t*) {
    Cell* args = stack::arguments;
    Cell fn = args[0];
    collector::Root keep(&fn);
    const Cell* field = args + 1;
    if (!types::any_word(field->type())) fire(err::internal::not_done);
    if (sym_spec.is(field)) {
        block::make_at(args, fn.data2);
    } else if (sym_body.is(field)) {
        *args = *block::node_cell(fn.data3, MORE_BODY);
    } else if (sym_words.is(field)) {
        int32_t n = context::count(fn.data1);
        Node out = block::make_node(n);
        collector::NodeRoot keep_out(&out);
        for (int32_t i = 0; i < n; i++) {
            Cell w = *context::word_at_node(fn.data1, i);
            w.header = TYPE_WORD;
            w.data1 = fn.data1;
            w.data3 = static_cast<uint32_t>(i);
            block::append_cell(out, &w);
        }
        block::make_at(args, out);
    } else {
        fire(err::internal::not_done);
    }
    stack::keep();
}

int form(const Cell* value, Node buffer, const Cell* part, int limit) {
    if (value->type() == TYPE_ROUTINE) return string::concatenate_part(buffer, part, limit, "?routine?", 9);
    return string::concatenate_part(buffer, part, limit, "?function?", 10);
}

int mold(const Cell* value_in, Node buffer, bool, bool all, bool flat, const Cell* part, int limit, int indent) {
    Cell value = *value_in;
    collector::Root keep(&value);
    bool routine = value.type() == TYPE_ROUTINE;
    limit = string::concatenate_part(buffer, part, limit, routine ? "routine " : "func ", routine ? 8 : 5);
    if (part && limit <= 0) return limit;
    Cell spec;
    block::make_at(&spec, value.data2);
    limit = actions::mold(&spec, buffer, false, all, flat, part, limit, indent);
    if (part && limit <= 0) return limit;
    Cell body = *block::node_cell(value.data3, MORE_BODY);
    if (body.type() == TYPE_NONE) return string::concatenate_part(buffer, part, limit, " none", 5);
    return actions::mold(&body, buffer, false, all, flat, part, limit, indent);
}

int compare(const Cell* a, const Cell* b, int op) {
    if (b->type() != a->type() || !unordered_op(op)) return -2;
    return a->data3 == b->data3 ? 0 : (a->data3 < b->data3 ? -1 : 1);
}

void init() {
    datatype::Row f;
    f.set(ACT_MAKE, make).set(ACT_REFLECT, reflect).set(ACT_FORM, form).set(ACT_MOLD, mold).set(ACT_COMPARE, compare);
    datatype::register_row(TYPE_FUNCTION, TYPE_CONTEXT, "function!", f);
}

}  // namespace function

namespace routine {

static int32_t count_words(Node spec) {
    int32_t n = 0;
    for (int32_t i = 0; i < block::node_length(spec); i++)
        if (block::node_cell(spec, i)->type() == TYPE_WORD) n++;
    return n;
}

Cell* push(const Cell* spec_in, const Cell* body_in, int32_t code, int32_t return_type, bool flag) {
    Cell spec = *spec_in, body;
    if (body_in && body_in->type() != TYPE_UNSET)
        body = *body_in;
    else
        set_cell(&body, TYPE_NONE);
    collector::Root k1(&spec), k2(&body);
    if (spec.index() > 0) block::make_at(&spec, block::copy_cells(&spec));
    int32_t arity = count_words(spec.node());
    if (arity > static_cast<int32_t>(arity_mask)) fire(err::script::bad_func_def, &spec);
    Cell* slot = stack::push_cell();
    set_cell(slot, TYPE_UNSET);
    Node more = block::make_node(5);
    collector::NodeRoot keep_more(&more);
    Node ctx = context::make(&spec, true, false, context::KIND_FUNCTION);
    Cell* m = block::alloc_tail(more);
    *m = body;
    set_cell(block::alloc_tail(more), TYPE_UNSET);
    set_cell(block::alloc_tail(more), TYPE_INTEGER, static_cast<uint32_t>(code));
    set_cell(block::alloc_tail(more), TYPE_UNSET);
    set_cell(block::alloc_tail(more), TYPE_INTEGER, static_cast<uint32_t>(return_type));
    Cell r;
    set_cell(&r, TYPE_ROUTINE, ctx, spec.node(), more);
    r.header |= static_cast<uint32_t>(arity) << arity_shift;
    if (flag) r.header |= flag_maker;
    *slot = r;
    return slot;
}

int32_t get_arity(const Cell* r) { return static_cast<int32_t>((r->header >> arity_shift) & arity_mask); }

void set_arity(Cell* r) {
    int32_t arity = count_words(r->data2);
    if (arity > static_cast<int32_t>(arity_mask)) {
        Cell spec;
        block::make_at(&spec, r->data2);
        fire(err::script::bad_func_def, &spec);
    }
    r->header = (r->header & ~(arity_mask << arity_shift)) | (static_cast<uint32_t>(arity) << arity_shift);
}

void init() {
    datatype::Row row;
    row.set(ACT_FORM, function::form).set(ACT_MOLD, function::mold).set(ACT_COMPARE, function::compare).inherit({ACT_REFLECT});
    datatype::register_row(TYPE_ROUTINE, TYPE_FUNCTION, "routine!", row);
}

}  // namespace routine
