#include "datatypes/context.h"

#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/object.h"
#include "datatypes/symbol.h"
#include "runtime/collector.h"
#include "runtime/cycles.h"
#include "runtime/fire.h"
#include "runtime/hashtable.h"
#include "runtime/stack.h"

namespace context {

Node global_node = 0;

static uint32_t self_symbol = 0;

Cell* values(Node ctx) {
    Cell* c = cell_of(ctx);
    if (c->header & on_stack) return c->data2 ? stack::bottom + (c->data2 - 1) : nullptr;
    return c->data2 ? cells_head(memory::nodes[c->data2]) : nullptr;
}

Node create(int32_t slots, bool values_on_stack, bool object, Node source, int kind) {
    if (slots <= 0) slots = 1;
    Node ctx = memory::alloc_cells(2);
    collector::NodeRoot keep_ctx(&ctx);
    SeriesBuf* b = memory::nodes[ctx];
    set_cell(cells_of(b), TYPE_CONTEXT);
    set_cell(cells_of(b) + 1, TYPE_UNSET);
    b->tail = 32;
    Node table = source ? hashtable::copy_record(cell_of(source)->data1) : hashtable::init(slots, nullptr, 2, 2);
    Cell* c = cell_of(ctx);
    c->data1 = table;
    c->data3 = hashtable::block_of(table);
    if (values_on_stack) {
        c->header |= on_stack;
        c->data2 = 0;
    } else {
        Node vals = memory::alloc_cells(slots);
        cell_of(ctx)->data2 = vals;
    }
    c = cell_of(ctx);
    c->header |= static_cast<uint32_t>(kind) << kind_shift;
    if (object) c->header |= object_flag;
    // A copied word table still names the source context in its words: rebind them.
    if (source) {
        Node words = c->data3;
        int32_t n = block::node_length(words);
        Cell* w = cells_head(memory::nodes[words]);
        for (int32_t i = 0; i < n; i++) w[i].data1 = ctx;
    }
    return ctx;
}

static void append_unset(Node ctx) {
    Node vals = cell_of(ctx)->data2;
    block::alloc_tail(vals);
}

Node make(const Cell* blk, bool values_on_stack, bool object, int kind) {
    Cell spec = *blk;
    collector::Root keep_spec(&spec);
    Node ctx = create(block::rs_length_q(&spec), values_on_stack, object, 0, kind);
    collector::NodeRoot keep_ctx(&ctx);
    int32_t n = static_cast<int32_t>(memory::nodes[spec.node()]->length());
    for (int32_t i = 0; i < n; i++) {
        Cell* w = block::node_cell(spec.node(), i);
        uint8_t t = w->type();
        if (t != TYPE_WORD && t != TYPE_GET_WORD && t != TYPE_LIT_WORD && t != TYPE_REFINEMENT) continue;
        int32_t out;
        add_word(ctx, static_cast<int32_t>(w->data2), true, &out);
        if (!values_on_stack) append_unset(ctx);
    }
    return ctx;
}

Node renew(Cell* object, int kind) {
    Node old = object->data1;
    collector::NodeRoot keep_old(&old);
    Cell* oc = cell_of(old);
    bool stacked = oc->header & on_stack;
    bool obj = oc->header & object_flag;
    Node fresh = create(count(old), stacked, obj, old, kind);
    collector::NodeRoot keep_fresh(&fresh);
    // Every word of the copied list gets a slot, unset until someone sets it.
    if (!stacked)
        for (int32_t i = count(fresh); i > 0; i--) append_unset(fresh);
    object->data1 = fresh;
    *owner_of(fresh) = *object;
    return fresh;
}

int32_t find_word(Node ctx, int32_t sym, bool case_insensitive) {
    return hashtable::context_find(cell_of(ctx)->data1, sym, case_insensitive);
}

int32_t add_word(Node ctx, int32_t sym, bool case_insensitive, int32_t* out) {
    int32_t found = find_word(ctx, sym, case_insensitive);
    if (found >= 0) {
        *out = found;
        return found;
    }
    Cell w;
    int32_t index = count(ctx);
    set_cell(&w, TYPE_WORD, ctx, static_cast<uint32_t>(sym), static_cast<uint32_t>(index));
    block::append_cell(words_node(ctx), &w);
    hashtable::add_cell(cell_of(ctx)->data1, index);
    *out = index;
    return -1;
}

int32_t add_or_find(Node ctx, const Cell* word) {
    int32_t index;
    if (add_word(ctx, static_cast<int32_t>(word->data2), true, &index) == -1 && !values_on_stack(ctx))
        append_unset(ctx);
    return index;
}

Cell* add_with_value(Node ctx, const Cell* word, const Cell* value, Cell* none_out) {
    Cell v = *value;
    int32_t index;
    if (add_word(ctx, static_cast<int32_t>(word->data2), true, &index) != -1) return set_cell(none_out, TYPE_NONE);
    Cell* slot = block::append_cell(cell_of(ctx)->data2, &v);
    return slot;
}

void set_or_add(Node ctx, const Cell* word, const Cell* value) {
    Cell v = *value;
    int32_t index;
    if (add_word(ctx, static_cast<int32_t>(word->data2), true, &index) == -1) {
        block::append_cell(cell_of(ctx)->data2, &v);
    } else {
        values(ctx)[index] = v;
    }
}

bool add_set_words(Node ctx, const Cell* blk) {
    Cell b = *blk;
    collector::Root keep(&b);
    int32_t len = block::node_length(b.node());
    if (b.index() > len) b.set_index(len);
    int32_t before = count(ctx);
    for (int32_t i = b.index(); i < block::node_length(b.node()); i++) {
        Cell* w = block::node_cell(b.node(), i);
        if (w->type() == TYPE_SET_WORD) {
            Cell word = *w;
            add_or_find(ctx, &word);
        }
    }
    return count(ctx) > before;
}

void word_of_symbol(Cell* out, Node ctx, int32_t sym) {
    int32_t i = find_word(ctx, sym, false);
    if (i >= 0) {
        *out = *word_at_node(ctx, i);
        out->header = TYPE_WORD;
        return;
    }
    add_global_tracked(out, sym);
}

Cell* value_of_symbol(int32_t sym, Node ctx) {
    if (values_on_stack(ctx)) ctx = global_node;
    int32_t i = find_word(ctx, sym, true);
    if (i < 0) return nullptr;
    Cell* v = values(ctx);
    return v ? v + i : nullptr;
}

void add_global(Cell* out, int32_t sym, bool case_insensitive, bool keep_text) {
    // The first case variant already present, looked up before adding so that the new word
    // cannot be found in its place.
    int32_t first = -1;
    if (!case_insensitive && symbol::alias_of(sym) > 0) first = find_word(global_node, sym, true);
    int32_t index;
    if (add_word(global_node, sym, case_insensitive, &index) == -1) {
        // A new case variant shares the slot of the first variant already present.
        if (first >= 0) word_at_node(global_node, index)->data3 = static_cast<uint32_t>(first);
        append_unset(global_node);
        *out = *word_at_node(global_node, index);
        out->header = TYPE_WORD;
        return;
    }
    *out = *word_at_node(global_node, index);
    out->header = TYPE_WORD;
    if (case_insensitive && keep_text && static_cast<int32_t>(out->data2) != sym) out->data2 = static_cast<uint32_t>(sym);
}

void add_global_tracked(Cell* out, int32_t sym) { add_global(out, sym, false, true); }

// A slot index a word carries is trusted only inside the context's values.
static bool slot_ok(Node ctx, int32_t index) {
    Cell* c = cell_of(ctx);
    if (c->header & on_stack) return index < count(ctx);
    return index < block::node_length(c->data2);
}

[[noreturn]] static void fire_word(ErrorId id, const Cell* word) {
    Cell w = *word;
    fire(id, &w);
}

Cell* get_in(const Cell* word, Node ctx) {
    int32_t index = static_cast<int32_t>(word->data3);
    if (index < 0) {
        if (symbol::resolve(static_cast<int32_t>(word->data2)) == symbol::resolve(static_cast<int32_t>(self_symbol)))
            return owner_of(ctx);
        fire_word(err::script::no_value, word);
    }
    Cell* v = values(ctx);
    if (!v) fire_word(err::script::not_in_context, word);
    if (!slot_ok(ctx, index)) fire_word(err::script::not_defined, word);
    return v + index;
}

Cell* get(const Cell* word) { return get_in(word, word->data1); }

Cell* set_in(Cell* word, const Cell* value, Node ctx, bool fire_handler) {
    Cell v = *value;
    if (static_cast<int32_t>(word->data3) < 0) {
        int32_t i = find_word(ctx, static_cast<int32_t>(word->data2), false);
        if (i < 0) {
            // A function's values are its call's cells on the data stack: a slot added there
            // would be written over whatever follows them.
            if (values_on_stack(ctx)) fire_word(err::script::not_defined, word);
            collector::Root keep(&v);
            i = add_or_find(ctx, word);
        }
        word->data3 = static_cast<uint32_t>(i);
    }
    int32_t index = static_cast<int32_t>(word->data3);
    Cell* vals = values(ctx);
    if (!vals) fire_word(err::script::not_defined, word);
    if (!slot_ok(ctx, index)) fire_word(err::script::not_defined, word);
    if (kind_of(ctx) == KIND_OBJECT) {
        word_at_node(ctx, index)->header |= word_changed;
        Cell* owner = owner_of(ctx);
        if (fire_handler && types::any_object(owner->type()) && owner->data3) {
            Cell o = *owner, w = *word;
            Cell* saved_top = stack::top;
            Cell* old = stack::push(vals + index);
            vals[index] = v;
            object::fire_on_set(&o, &w, old, vals + index);
            stack::top = saved_top;
            return values(ctx) + index;
        }
    }
    vals[index] = v;
    return vals + index;
}

void set_value(Cell* word, const Cell* value) { set_in(word, value, word->data1, true); }

void push_value(Node ctx, int32_t i) {
    Cell* v = values(ctx);
    if (!v) {
        Cell w = *word_at_node(ctx, i);
        fire(err::script::not_defined, &w);
    }
    stack::push(v + i);
}

static Cell* local_value(Node ctx, int32_t i) {
    if (kind_of(ctx) == KIND_OBJECT) word_at_node(ctx, i)->header |= word_changed;
    Cell* v = values(ctx);
    if (!v) {
        Cell w = *word_at_node(ctx, i);
        fire(err::script::not_defined, &w);
    }
    return v + i;
}

void push_local(Node ctx, int32_t i) {
    Cell value = *local_value(ctx, i);
    *stack::top_cell() = value;
    stack::push(&value);
}

void copy_local(Node ctx, int32_t i) {
    Cell value = *local_value(ctx, i);
    *stack::top_cell() = value;
}

int32_t bind_word(Node ctx, Cell* word) {
    int32_t i = find_word(ctx, static_cast<int32_t>(word->data2), true);
    if (i >= 0) {
        word->data1 = ctx;
        word->data3 = static_cast<uint32_t>(i);
    }
    return i;
}

static cycles::Visited* binding = nullptr;  // of the bind in progress

static void bind_series(Node series, int32_t from, Node ctx, bool self) {
    uint64_t mark;
    if (cycles::find_q(series) || binding->walked_q(series, from, &mark)) return;
    cycles::push(series);
    int32_t n = block::node_length(series);
    for (int32_t i = from; i < n; i++) {
        Cell* c = block::node_cell(series, i);
        uint8_t t = c->type();
        if (types::word_like(t)) {
            if (self && t == TYPE_WORD && symbol::resolve(static_cast<int32_t>(c->data2)) == symbol::resolve(static_cast<int32_t>(self_symbol))) {
                c->data1 = ctx;
                c->data3 = static_cast<uint32_t>(-1);
            } else {
                bind_word(ctx, c);
            }
        } else if (types::any_block(t)) {
            bind_series(c->node(), c->index() > 0 ? c->index() : 0, ctx, self);
        }
    }
    cycles::pop();
    binding->done(series, from, mark);
}

void bind(const Cell* blk, Node ctx, bool self) {
    cycles::Visited visited;
    cycles::Visited* outer = binding;
    binding = &visited;
    struct Restore {
        cycles::Visited* outer;
        ~Restore() { binding = outer; }
    } restore{outer};
    bind_series(blk->node(), blk->index() > 0 ? blk->index() : 0, ctx, self);
}

void init() {
    datatype::Row row;
    datatype::register_row(TYPE_CONTEXT, 0, "context!", row);
}

void init_global() {
    global_node = create(4000, false, false, 0, KIND_GLOBAL);
    self_symbol = static_cast<uint32_t>(symbol::make("self"));
}

}  // namespace context
