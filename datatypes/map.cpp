#include "datatypes/map.h"

#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/string.h"
#include "evaluator/actions.h"
#include "runtime/collector.h"
#include "runtime/cycles.h"
#include "runtime/hashtable.h"

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
    cycles::push(cycles::node_of(value));
    limit = write_entries(value, buffer, false, false, part, limit, 0, false, false);
    cycles::pop();
    return limit;
}

int mold(const Cell* value, Node buffer, bool only, bool all, bool flat, const Cell* part, int limit, int indent) {
    if (cycles::detect_q(value, buffer, &limit, true)) return limit;
    cycles::push(cycles::node_of(value));
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
    cycles::pop();
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
    cycles::push(a->data2);
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
    cycles::pop();
    return result;
}

void init() {
    datatype::Row row;
    row.set(ACT_FORM, form).set(ACT_MOLD, mold).set(ACT_COMPARE, compare);
    datatype::register_row(TYPE_MAP, 0, "map!", row);
}

}  // namespace map
