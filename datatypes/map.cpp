#include "datatypes/map.h"

#include <algorithm>

#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "evaluator/actions.h"
#include "runtime/collector.h"
#include "runtime/cycles.h"
#include "runtime/fire.h"
#include "runtime/hashtable.h"
#include "runtime/stack.h"

namespace map {

bool valid_key_q(uint8_t t) {
    switch (t) {
        case TYPE_WORD: case TYPE_SET_WORD: case TYPE_LIT_WORD: case TYPE_GET_WORD: case TYPE_REFINEMENT:
        case TYPE_ISSUE: case TYPE_STRING: case TYPE_FILE: case TYPE_URL: case TYPE_TAG: case TYPE_EMAIL:
        case TYPE_REF: case TYPE_BINARY: case TYPE_CHAR: case TYPE_INTEGER: case TYPE_FLOAT: case TYPE_PERCENT:
        case TYPE_MONEY: case TYPE_PAIR: case TYPE_TUPLE: case TYPE_TIME: case TYPE_DATE: case TYPE_POINT2D:
        case TYPE_POINT3D: return true;
        default: return false;
    }
}

void preprocess_key(Cell* key) {
    uint8_t t = key->type();
    if (t == TYPE_WORD || t == TYPE_LIT_WORD || t == TYPE_GET_WORD) key->set_type(TYPE_SET_WORD);
}

Cell* make_at(Cell* c, Node entries) {
    Cell block;
    block::make_at(&block, entries);
    collector::Root keep(&block);
    int32_t pairs = block::node_length(entries) / 2;
    Node table = hashtable::init(pairs, &block, hashtable::kMap, 0);
    // The table may have dropped duplicate keys from the block, but the block stays the one given.
    return set_cell(c, TYPE_MAP, 0, hashtable::block_of(table), table);
}

int32_t count(const Cell* m) { return static_cast<int32_t>(hashtable::count(m->data3)); }

static bool hole_q(const Cell* value) { return value->header == 0; }

namespace {

const symbol::Known sym_words("words"), sym_values("values"), sym_body("body");

// A size given to make is only a reservation: past it the entry block and the table grow as
// entries come, so a huge number asks for no huge allocation up front.
constexpr int32_t kMaxReserve = 1 << 20;

inline int32_t entry_length(const Cell* m) { return block::node_length(m->data2); }
inline Cell* entry_at(const Cell* m, int32_t i) { return block::node_cell(m->data2, i); }

// The key position of an entry whose key equals key under mode: a live one when there is one,
// else (with holes) a removed one that a store can revive; -1 when neither.
int32_t lookup(const Cell* m, const Cell* key, int mode, bool holes) {
    Cell k = *key;
    hashtable::Probe probe{};
    int32_t hole = -1;
    for (int32_t pos = hashtable::find_first(m->data3, &k, mode, probe); pos >= 0;
         pos = hashtable::find_next(m->data3, &k, mode, probe)) {
        if (pos + 1 >= entry_length(m)) continue;
        if (!hole_q(entry_at(m, pos + 1))) return pos;
        if (hole < 0) hole = pos;
    }
    return holes ? hole : -1;
}

// The datatype! cell of a spec that cannot make a map.
[[noreturn]] void bad_to_arg(const Cell* spec) {
    Cell t, s = *spec;
    datatype::make_at(&t, TYPE_MAP);
    fire(err::script::bad_to_arg, &t, &s);
}

// A stored key as find, reflect and foreach hand it out: a set-word! comes back as word!, and a
// text or binary key as a copy, so that changing it cannot change the key under the table. key
// must be guarded.
Cell* key_out(Cell* key) {
    uint8_t t = key->type();
    if (t == TYPE_SET_WORD) {
        key->set_type(TYPE_WORD);
    } else if (types::any_string(t) || t == TYPE_BINARY) {
        Cell src = *key;
        collector::Root keep(&src);
        series::copy_core(key, &src, nullptr);
    }
    key->header &= ~cell_flag::newline;
    return key;
}

}  // namespace

void prepare_key(Cell* key, const Cell* path) {
    uint8_t t = key->type();
    if (!valid_key_q(t)) {
        Cell where, type;
        if (path)
            where = *path;
        else
            set_cell(&where, TYPE_NONE);
        datatype::make_at(&type, t);
        fire(err::script::invalid_path, &where, &type);
    }
    if (t == TYPE_WORD || t == TYPE_LIT_WORD || t == TYPE_GET_WORD) {
        key->set_type(TYPE_SET_WORD);
    } else if (types::any_string(t) || t == TYPE_BINARY) {
        // A key of its own, so that changing the text it came from leaves the table intact.
        Cell src = *key;
        collector::Root keep(&src);
        Cell copy;
        set_cell(&copy, TYPE_NONE);
        collector::Root keep_copy(&copy);
        series::copy_core(&copy, &src, nullptr);
        copy.header &= ~cell_flag::newline;
        *key = copy;
    }
}

Cell* make_new(Cell* c, int32_t size) {
    int32_t n = std::clamp(size, 0, kMaxReserve);
    Cell block;
    block::make_new(&block, n == 0 ? 2 : 2 * n);
    collector::Root keep(&block);
    Node table = hashtable::init(n, &block, hashtable::kMap, 0);
    return set_cell(c, TYPE_MAP, 0, block.node(), table);
}

Cell* push(const Cell* m) { return stack::push(m); }

int32_t find_entry(const Cell* m, const Cell* key, int mode) { return lookup(m, key, mode, false); }

Cell* select_value(const Cell* m, const Cell* key, int mode) {
    int32_t pos = lookup(m, key, mode, false);
    return pos < 0 ? nullptr : entry_at(m, pos + 1);
}

void put_value(const Cell* map, const Cell* key, const Cell* value, bool case_, const Cell* path) {
    Cell m = *map, k = *key, v = *value;
    collector::Root keep_m(&m);
    collector::Root keep_k(&k);
    collector::Root keep_v(&v);
    int32_t pos = lookup(&m, &k, case_ ? COMP_STRICT_EQUAL : COMP_EQUAL, true);
    if (pos >= 0) {
        Cell* slot = entry_at(&m, pos + 1);
        bool revived = hole_q(slot);
        *slot = v;
        if (revived) hashtable::adjust_count(m.data3, 1);
        return;
    }
    prepare_key(&k, path);
    int32_t at = entry_length(&m);
    // Room for the pair first, so that a key never lands without its value. A table that cannot
    // grow to take the key is left as it was: the pair goes again, or the map would hold a key
    // its lookups miss, and the next put of that key would add it a second time.
    series::reserve(m.data2, 32);
    block::append_cell(m.data2, &k);
    block::append_cell(m.data2, &v);
    try {
        hashtable::add_cell(m.data3, at);
    } catch (...) {
        memory::nodes[m.data2]->tail -= 32;
        throw;
    }
}

bool remove_key(const Cell* m, const Cell* key, int mode) {
    int32_t pos = lookup(m, key, mode, false);
    if (pos < 0) return false;
    hashtable::delete_(m->data3, pos);
    return true;
}

Cell* copy_at(Cell* out, const Cell* map, bool deep, const Cell* kind) {
    Cell src = *map;
    collector::Root keep_src(&src);
    Cell entries;
    block::make_at(&entries, src.data2);
    collector::Root keep_entries(&entries);
    Cell blk;
    block::make_at(&blk, block::copy_cells(&entries));
    collector::Root keep_blk(&blk);
    if (deep || kind) {
        if (cycles::find_q(src.data2)) {
            cycles::reset();
            fire(err::internal::no_cycle);
        }
        cycles::Scope scope(src.data2);
        if (kind)
            block::copy_series_by_type(&blk, 1, entry_length(&src) - 1, 2, kind, deep);
        else
            block::deep_copy_cells(&blk);
    }
    // The copy keeps every key at its position, so the table indexes it as it is.
    Node table = hashtable::copy(src.data3, blk.node());
    return set_cell(out, TYPE_MAP, 0, blk.node(), table);
}

void extend(const Cell* map, const Cell* spec, bool case_) {
    Cell m = *map, b = *spec;
    collector::Root keep_m(&m);
    collector::Root keep_b(&b);
    int32_t n = block::rs_length_q(&b);
    if (n % 2 != 0) fire(err::script::invalid_arg, &b);
    // Room for every pair at once; keys already present need none of it.
    int64_t need = (int64_t(entry_length(&m)) + n) * 16;
    if (need > 0x7FFFFFF0) fire(err::internal::no_memory);
    series::reserve(m.data2, static_cast<uint32_t>(n) * 16);
    Cell k, v;
    collector::Root keep_k(&k);
    collector::Root keep_v(&v);
    int32_t from = b.index() > 0 ? b.index() : 0;
    for (int32_t i = 0; i + 1 < n; i += 2) {
        if (from + i + 1 >= block::node_length(b.node())) break;
        k = *block::node_cell(b.node(), from + i);
        v = *block::node_cell(b.node(), from + i + 1);
        put_value(&m, &k, &v, case_);
    }
}

bool foreach_next(Cell* cursor, const Cell* words, int32_t n) {
    Cell m = *cursor;
    collector::Root keep_m(&m);
    Cell ws = *words;
    collector::Root keep_ws(&ws);
    if (n > block::rs_length_q(&ws)) n = block::rs_length_q(&ws);
    int32_t at = m.index() > 0 ? m.index() : 0;
    at += at & 1;
    bool any = false;
    Cell w, item;
    collector::Root keep_w(&w);
    collector::Root keep_item(&item);
    for (int32_t i = 0; i < n;) {
        while (at + 1 < entry_length(&m) && hole_q(entry_at(&m, at + 1))) at += 2;
        bool have = at + 1 < entry_length(&m);
        // The key goes to one word and the value to the next.
        for (int32_t k = 0; k < 2 && i < n; k++, i++) {
            w = *(block::rs_head(&ws) + i);
            uint8_t t = w.type();
            if (t != TYPE_WORD && t != TYPE_SET_WORD && t != TYPE_GET_WORD && t != TYPE_LIT_WORD)
                fire(err::script::invalid_arg, &w);
            if (have) {
                item = *entry_at(&m, at + k);
                item.header &= ~cell_flag::newline;
                if (k == 0) key_out(&item);
            } else {
                set_cell(&item, TYPE_NONE);
            }
            w.set_type(TYPE_WORD);
            word::set_value(&w, &item);
        }
        if (have) {
            at += 2;
            any = true;
        }
    }
    cursor->set_index(at);
    return any;
}

Cell* reflect_field(Cell* out, const Cell* map, const Cell* field) {
    bool words = false, values = false, body = false;
    if (types::any_word(field->type())) {
        words = sym_words.is(field);
        values = sym_values.is(field);
        body = sym_body.is(field);
    }
    if (!words && !values && !body) fire(err::internal::not_done);
    Cell m = *map;
    collector::Root keep_m(&m);
    int32_t live = count(&m);
    Cell result;
    block::make_new(&result, body ? 2 * live : live);
    collector::Root keep_result(&result);
    Cell item;
    collector::Root keep_item(&item);
    for (int32_t i = 0; i + 1 < entry_length(&m); i += 2) {
        if (hole_q(entry_at(&m, i + 1))) continue;
        if (words || body) {
            item = *entry_at(&m, i);
            uint8_t t = item.type();
            key_out(&item);
            if (body) {
                // The body keeps the keys as stored: set-words.
                item.set_type(t);
                item.header |= cell_flag::newline;
            }
            block::append_cell(result.node(), &item);
        }
        if (values || body) {
            item = *entry_at(&m, i + 1);
            item.header &= ~cell_flag::newline;
            block::append_cell(result.node(), &item);
        }
    }
    *out = result;
    return out;
}

// The entries: key, a space, value, separated as the layout asks. Returns the limit left.
static int write_entries(const Cell* m, Node buffer, bool all, bool flat, const Cell* part, int limit, int level,
                         bool lines, bool indent_entries) {
    Node blk = m->data2;
    int32_t n = block::node_length(blk);
    bool first = true;
    for (int32_t i = 0; i + 1 < n; i += 2) {
        if (part && limit <= 0) break;
        Cell key = *block::node_cell(blk, i);
        Cell value = *block::node_cell(blk, i + 1);
        if (hole_q(&value)) continue;
        collector::Root keep_key(&key);
        collector::Root keep_value(&value);
        if (!first && !lines) {
            string::append_char(buffer, flat ? ' ' : '\n');
            limit -= 1;
        }
        first = false;
        if (indent_entries) {
            for (int k = 0; k < level; k++) string::concatenate_literal_n(buffer, "    ", 4);
            limit -= 4 * level;
        }
        limit = actions::mold(&key, buffer, false, all, flat, part, limit, level);
        string::append_char(buffer, ' ');
        limit = actions::mold(&value, buffer, false, all, flat, part, limit - 1, level);
        if (lines) {
            string::append_char(buffer, '\n');
            limit -= 1;
        }
    }
    return limit;
}

int form(const Cell* value, Node buffer, const Cell* part, int limit) {
    if (cycles::detect_q(value, buffer, &limit, false)) return limit;
    cycles::Scope scope(cycles::node_of(value));
    cycles::Writing writing(value, buffer, part);
    return write_entries(value, buffer, false, false, part, limit, 0, false, false);
}

int mold(const Cell* value, Node buffer, bool only, bool all, bool flat, const Cell* part, int limit, int indent) {
    if (cycles::detect_q(value, buffer, &limit, true)) return limit;
    cycles::Scope scope(cycles::node_of(value));
    cycles::Writing writing(value, buffer, part);
    if (only) {
        limit = write_entries(value, buffer, all, flat, part, limit, 0, false, false);
    } else if (flat) {
        string::concatenate_literal_n(buffer, "#[", 2);
        limit = write_entries(value, buffer, all, true, part, limit - 2, 0, false, false);
        string::append_char(buffer, ']');
        limit -= 1;
    } else {
        string::concatenate_literal_n(buffer, "#[", 2);
        limit -= 2;
        if (count(value) > 0) {
            string::append_char(buffer, '\n');
            limit = write_entries(value, buffer, all, false, part, limit - 1, indent + 1, true, true);
            for (int k = 0; k < indent; k++) string::concatenate_literal_n(buffer, "    ", 4);
            limit -= 4 * indent;
        }
        string::append_char(buffer, ']');
        limit -= 1;
    }
    return limit;
}

// The value of a live entry of m whose key equals key under op, tried over every equal key, that
// equals value under op; answers whether one does.
static bool has_entry(const Cell* m, const Cell* key, const Cell* value, int op) {
    // The table is read from the map each time: comparing values may allocate.
    hashtable::Probe probe{};
    for (int32_t pos = hashtable::find_first(m->data3, key, op, probe); pos >= 0;
         pos = hashtable::find_next(m->data3, key, op, probe)) {
        Cell other = *hashtable::cell_at(m->data3, pos + 1);
        if (hole_q(&other)) continue;
        Cell v = *value;
        collector::Root keep_other(&other);
        collector::Root keep_v(&v);
        if (actions::compare_value(&v, &other, op) == 0) return true;
        if (op == COMP_STRICT_EQUAL) return false;
    }
    return false;
}

int compare(const Cell* a, const Cell* b, int op) {
    if (b->type() != TYPE_MAP) return -2;
    if (op == COMP_SORT || op == COMP_CASE_SORT) return a->data2 == b->data2 ? 0 : (a->data2 < b->data2 ? -1 : 1);
    if (op != COMP_EQUAL && op != COMP_NOT_EQUAL && op != COMP_STRICT_EQUAL && op != COMP_SAME && op != COMP_EQUAL_FIND)
        return -2;
    if (a->data2 == b->data2 && a->data1 == b->data1) return 0;
    if (op == COMP_SAME) return -1;
    if (cycles::find_q(a->data2)) return cycles::find_q(b->data2) ? 0 : -1;
    int32_t ca = count(a), cb = count(b);
    if (ca != cb) return 1;
    if (ca == 0) return 0;
    int lookup = op == COMP_STRICT_EQUAL ? COMP_STRICT_EQUAL : COMP_EQUAL;
    // Both maps go on the cycle stack, so that two maps that each hold themselves meet the
    // cycle check together and compare equal instead of failing on the first nested map.
    cycles::Comparing comparing;
    int known;
    const Node node_a = a->data2, node_b = b->data2;
    if (comparing.known(node_a, 0, node_b, 0, op, &known)) return known;
    cycles::Scope in_a(a->data2);
    cycles::Scope in_b(b->data2);
    Node blk = a->data2;
    int result = 0;
    int32_t n = block::node_length(blk);
    for (int32_t i = 0; i + 1 < n && result == 0; i += 2) {
        Cell key = *block::node_cell(blk, i);
        Cell value = *block::node_cell(blk, i + 1);
        if (hole_q(&value)) continue;
        collector::Root keep_key(&key);
        collector::Root keep_value(&value);
        if (!has_entry(b, &key, &value, lookup)) result = 1;
    }
    comparing.note(node_a, 0, node_b, 0, op, result);
    return result;
}

// ---------------------------------------------------------------------------------------------
// Actions

static Cell* make_or_to(Cell* proto, Cell* spec, bool to_mode) {
    switch (spec->type()) {
        case TYPE_INTEGER:
        case TYPE_FLOAT: {
            if (to_mode) bad_to_arg(spec);
            int64_t n;
            if (spec->type() == TYPE_FLOAT) {
                double d = spec->f();
                n = d > -2147483649.0 && d < 2147483648.0 ? static_cast<int64_t>(d) : (d < 0 ? -1 : INT32_MAX);
            } else {
                n = int_of(spec);
            }
            if (n < 0) {
                Cell s = *spec;
                fire(err::script::out_of_range, &s);
            }
            return make_new(proto, static_cast<int32_t>(n));
        }
        case TYPE_BLOCK:
        case TYPE_PAREN:
        case TYPE_HASH: {
            Cell src = *spec;
            collector::Root keep_src(&src);
            if (block::rs_length_q(&src) % 2 != 0) fire(err::script::invalid_arg, &src);
            Cell blk;
            block::make_at(&blk, block::copy_cells(&src));
            collector::Root keep_blk(&blk);
            Cell key;
            set_cell(&key, TYPE_NONE);  // guarded from here on: never uninitialised
            collector::Root keep_key(&key);
            for (int32_t i = 0; i < block::node_length(blk.node()); i += 2) {
                key = *block::node_cell(blk.node(), i);
                prepare_key(&key, nullptr);
                *block::node_cell(blk.node(), i) = key;
            }
            return make_at(proto, blk.node());
        }
        case TYPE_MAP: return copy_at(proto, spec, false, nullptr);
        default: bad_to_arg(spec);
    }
}

Cell* make(Cell* proto, Cell* spec, int) { return make_or_to(proto, spec, false); }
Cell* to(Cell* proto, Cell* spec, int) { return make_or_to(proto, spec, true); }

Cell* eval_path(PathStep& step, Cell* out) {
    Cell m = *step.value;
    collector::Root keep(&m);
    int mode = step.case_ ? COMP_STRICT_EQUAL : COMP_EQUAL;
    if (!step.store) {
        Cell* v = select_value(&m, step.element, mode);
        if (!v) return set_cell(out, TYPE_NONE);
        *out = *v;
        return out;
    }
    Cell value = *step.store;
    collector::Root keep_value(&value);
    put_value(&m, step.element, &value, step.case_, step.path);
    *out = value;
    return out;
}

void reflect(const int32_t*) {
    Cell* args = stack::arguments;
    reflect_field(args, args, args + 1);
    stack::keep();
}

void clear(const int32_t*) {
    Cell* args = stack::arguments;
    hashtable::clear(args->data3);
    block::clear(args->data2);
    stack::keep();
}

void copy(const int32_t* refs) {
    Cell* args = stack::arguments;
    copy_at(args, args, refs[1] >= 0, refs[2] >= 0 ? args + refs[2] : nullptr);
    stack::keep();
}

// The lookup mode of find and select: /case and /same are their third and fourth refinements.
static int lookup_mode(const int32_t* refs) {
    if (refs[3] >= 0) return COMP_SAME;
    return refs[2] >= 0 ? COMP_STRICT_EQUAL : COMP_EQUAL;
}

void find(const int32_t* refs) {
    Cell* args = stack::arguments;
    int32_t pos = find_entry(args, args + 1, lookup_mode(refs));
    if (pos < 0) {
        set_cell(args, TYPE_NONE);
    } else {
        Cell key = *entry_at(args, pos);
        collector::Root keep(&key);
        *args = *key_out(&key);
    }
    stack::keep();
}

void select(const int32_t* refs) {
    Cell* args = stack::arguments;
    Cell* v = select_value(args, args + 1, lookup_mode(refs));
    if (v)
        *args = *v;
    else
        set_cell(args, TYPE_NONE);
    stack::keep();
}

void length_q(const int32_t*) {
    Cell* args = stack::arguments;
    set_cell(args, TYPE_INTEGER, static_cast<uint32_t>(count(args)));
    stack::keep();
}

void put(const int32_t* refs) {
    Cell* args = stack::arguments;
    put_value(args, args + 1, args + 2, refs[0] >= 0);
    *args = args[2];
    stack::keep();
}

void remove(const int32_t* refs) {
    Cell* args = stack::arguments;
    if (refs[1] < 0) fire(err::script::missing_arg);
    remove_key(args, args + refs[1], COMP_STRICT_EQUAL);
    stack::keep();
}

void init() {
    datatype::Row row;
    row.set(ACT_MAKE, make)
        .set(ACT_REFLECT, reflect)
        .set(ACT_TO, to)
        .set(ACT_FORM, form)
        .set(ACT_MOLD, mold)
        .set(ACT_EVAL_PATH, eval_path)
        .set(ACT_COMPARE, compare)
        .set(ACT_CLEAR, clear)
        .set(ACT_COPY, copy)
        .set(ACT_FIND, find)
        .set(ACT_LENGTH_Q, length_q)
        .set(ACT_PUT, put)
        .set(ACT_REMOVE, remove)
        .set(ACT_SELECT, select);
    datatype::register_row(TYPE_MAP, 0, "map!", row);
}

}  // namespace map
