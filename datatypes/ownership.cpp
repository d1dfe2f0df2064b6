#include "datatypes/ownership.h"

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/object.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "runtime/collector.h"
#include "runtime/cycles.h"
#include "runtime/hashtable.h"

namespace ownership {

static Node table = 0;
static int32_t event_symbols[EVENT_COUNT];

// Record cells after the key: the owned value, the owner, the field word.
enum { REC_VALUE = 0, REC_OWNER = 1, REC_WORD = 2 };

static const char* const event_names[EVENT_COUNT] = {
    "append", "appended", "insert",  "inserted",   "change",  "changed",  "clear", "cleared", "poke", "poked",
    "put",    "put-ed",   "remove",  "removed",    "random",  "randomized", "reverse", "reversed", "sort", "sorted",
    "swap",   "swaped",   "take",    "taken",      "move",    "moved",    "trim",  "trimmed"};

int32_t symbol_of(Event e) {
    if (!event_symbols[e]) event_symbols[e] = symbol::make(event_names[e]);
    return event_symbols[e];
}

static void mark_table() {
    if (table) hashtable::mark(&table);
}

void init() {
    table = hashtable::init(1000, nullptr, hashtable::kOwned, 3);
    collector::add_marker(mark_table);
    for (int e = 0; e < EVENT_COUNT; e++) symbol_of(static_cast<Event>(e));
}

Node* table_root() { return &table; }

static bool ownable(uint8_t t) {
    switch (t) {
        case TYPE_PATH:
        case TYPE_LIT_PATH:
        case TYPE_SET_PATH:
        case TYPE_GET_PATH:
        case TYPE_BLOCK:
        case TYPE_PAREN:
        case TYPE_HASH:
        case TYPE_STRING:
        case TYPE_FILE:
        case TYPE_URL:
        case TYPE_TAG:
        case TYPE_EMAIL:
        case TYPE_REF:
        case TYPE_BINARY:
        case TYPE_VECTOR:
        case TYPE_IMAGE:
        case TYPE_BITSET: return true;
        default: return false;
    }
}

static Node key_of(const Cell* v) { return types::any_object(v->type()) ? v->data1 : v->data2; }

static bool marked(const Cell* v) {
    Node n = v->data2;
    if (!n) return false;
    if (v->type() == TYPE_IMAGE) return hashtable::get_int_key(table, n) != nullptr;
    return memory::nodes[n]->flags & series_flag::owned;
}

bool owned_q(const Cell* value) {
    uint8_t t = value->type();
    if (ownable(t)) return marked(value);
    if (types::any_object(t)) return table && hashtable::get_int_key(table, value->data1) != nullptr;
    return false;
}

static bool is_owner(Node ctx) { return context::cell_of(ctx)->header & context::owner_flag; }

static void set_value(Cell v, const Cell& owner, const Cell& word) {
    uint8_t t = v.type();
    if (ownable(t)) {
        if (!v.data2) return;
        if (!marked(&v)) {
            if (t != TYPE_IMAGE) memory::nodes[v.data2]->flags |= series_flag::owned;
            Cell value = v, o = owner, w = word;
            collector::Root k1(&value), k2(&o), k3(&w);
            Cell* rec = hashtable::put_int_key(table, key_of(&value));
            rec[REC_VALUE] = value;
            rec[REC_OWNER] = o;
            rec[REC_WORD] = w;
        }
        if (t == TYPE_BITSET || !types::any_block(t)) return;
        Node series = v.data2;
        if (cycles::find_q(series)) return;
        collector::Root keep(&v);
        cycles::push(series);
        for (int32_t i = v.index() > 0 ? v.index() : 0; i < block::node_length(v.data2); i++) {
            set_value(*block::node_cell(v.data2, i), owner, word);
        }
        cycles::pop();
        return;
    }
    if (t == TYPE_OBJECT) {
        Node ctx = v.data1;
        if (is_owner(ctx) || cycles::find_q(ctx)) return;
        collector::Root keep(&v);
        cycles::push(ctx);
        for (int32_t i = 0; i < context::count(v.data1); i++) {
            Cell field = context::values(v.data1)[i];
            if (field.type() == TYPE_OBJECT && field.data1 == owner.data1) continue;
            Cell w = *context::word_at_node(v.data1, i);
            w.header = TYPE_WORD;
            set_value(field, owner, w);
        }
        cycles::pop();
    }
}

void set(const Cell* value, const Cell* owner, const Cell* word) {
    if (!table) return;
    set_value(*value, *owner, *word);
}

void set_owned(const Cell* value, const Cell* owner, const Cell* word) {
    if (!table) return;
    Cell o = *owner;
    collector::Root keep(&o);
    // A context already marked as an owner is walked again, so that fields added since are
    // owned too.
    if (types::any_object(o.type())) context::cell_of(o.data1)->header &= ~context::owner_flag;
    set_value(*value, o, *word);
    if (types::any_object(o.type())) context::cell_of(o.data1)->header |= context::owner_flag;
}

static void drop_record(Node key) {
    Cell* rec = hashtable::get_int_key(table, key);
    if (!rec) return;
    for (int i = 0; i < 3; i++) set_cell(rec + i, TYPE_UNSET);
    hashtable::remove_int_key(table, key);
}

static void unbind_value(Cell v, bool top) {
    uint8_t t = v.type();
    if (ownable(t)) {
        if (!v.data2) return;
        if (t != TYPE_IMAGE) memory::nodes[v.data2]->flags &= ~series_flag::owned;
        drop_record(v.data2);
        if (t == TYPE_BITSET || !types::any_block(t)) return;
        Node series = v.data2;
        if (cycles::find_q(series)) return;
        collector::Root keep(&v);
        cycles::push(series);
        for (int32_t i = v.index() > 0 ? v.index() : 0; i < block::node_length(v.data2); i++) {
            unbind_value(*block::node_cell(v.data2, i), false);
        }
        cycles::pop();
        return;
    }
    if (types::any_object(t)) {
        Node ctx = v.data1;
        drop_record(ctx);
        // A nested owner keeps its own series; the object asked for is always walked.
        if (cycles::find_q(ctx) || (!top && is_owner(ctx))) return;
        collector::Root keep(&v);
        cycles::push(ctx);
        for (int32_t i = 0; i < context::count(v.data1); i++) {
            unbind_value(context::values(v.data1)[i], false);
        }
        cycles::pop();
    }
}

void unbind(const Cell* value) {
    if (!table) return;
    unbind_value(*value, true);
}

void unbind_range(const Cell* blk, int32_t position, int32_t count) {
    if (!table || !types::any_block(blk->type())) return;
    Node n = blk->node();
    collector::NodeRoot keep(&n);
    for (int32_t i = 0; i < count; i++) {
        int32_t at = position + i;
        if (at < 0 || at >= block::node_length(n)) break;
        unbind_value(*block::node_cell(n, at), false);
    }
}

Cell* owner_of(Node n) {
    if (!table || !n) return nullptr;
    Cell* rec = hashtable::get_int_key(table, n);
    return rec ? rec + REC_OWNER : nullptr;
}

bool check(const Cell* series, Event e, const Cell* new_value, int32_t index, int32_t part) {
    if (!owned_q(series)) return false;
    Cell w;
    word::make_global(&w, symbol_of(e));
    return check(series, &w, new_value, index, part);
}

bool check(const Cell* series, const Cell* action, const Cell* new_value, int32_t index, int32_t part) {
    uint8_t t = series->type();
    if (!table) return false;
    if (ownable(t)) {
        if (!marked(series)) return false;
    } else if (!types::any_object(t)) {
        return false;
    }
    Cell* rec = hashtable::get_int_key(table, key_of(series));
    if (!rec) return false;
    if (!types::any_object(rec[REC_OWNER].type())) return false;
    // The owner's handlers as they stand now, not as they were when the record was made.
    Cell owner = *context::owner_of(rec[REC_OWNER].data1);
    if (!types::any_object(owner.type()) || !object::has_deep_handler_q(&owner)) return false;
    Cell word = rec[REC_WORD], target = *series, value, act = *action;
    if (new_value)
        value = *new_value;
    else
        set_cell(&value, TYPE_NONE);
    collector::Root k1(&owner), k2(&word), k3(&target), k4(&value), k5(&act);
    object::fire_on_deep(&owner, &word, &target, &act, &value, index, part);
    return true;
}

}  // namespace ownership
