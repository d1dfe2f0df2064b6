#include "datatypes/typeset.h"

#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/number.h"
#include "datatypes/string.h"
#include "datatypes/word.h"
#include "runtime/collector.h"
#include "runtime/fire.h"
#include "runtime/runtime.h"
#include "runtime/stack.h"

namespace typeset {

Cell* make_at(Cell* c, uint32_t w1, uint32_t w2, uint32_t w3) { return set_cell(c, TYPE_TYPESET, w1, w2, w3); }
Cell* make_in(Node block, uint32_t w1, uint32_t w2, uint32_t w3) { return make_at(block::alloc_tail(block), w1, w2, w3); }
Cell* push(const Cell* ts) { return stack::push(ts); }
Cell* box(const Cell* ts) { return stack::set_last(ts); }

Cell* make_any_value(Node block) {
    Cell* c = make_in(block, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF);
    reinterpret_cast<uint8_t*>(&c->data1)[TYPE_UNSET >> 3] &= static_cast<uint8_t>(~(0x80 >> (TYPE_UNSET & 7)));
    return c;
}

void clear(Cell* ts) { ts->data1 = ts->data2 = ts->data3 = 0; }

int count(const Cell* ts) {
    int n = 0;
    for (int t = 1; t <= datatype::top_id; t++) n += has(ts, t);
    return n;
}

void set_type(Cell* ts, const Cell* value) {
    if (value->type() == TYPE_WORD) {
        const Cell* v = word::peek(value);
        if (!v) fire(err::script::invalid_arg, value);
        value = v;
    }
    switch (value->type()) {
        case TYPE_TYPESET:
            ts->data1 |= value->data1;
            ts->data2 |= value->data2;
            ts->data3 |= value->data3;
            break;
        case TYPE_DATATYPE: set(ts, static_cast<int>(value->data1)); break;
        default: {
            Cell v = *value;
            fire(err::script::invalid_arg, &v);
        }
    }
}

Cell* make_from_spec(Node block, const Cell* spec) {
    Cell ts;
    make_at(&ts, 0, 0, 0);
    int32_t n = block::rs_length_q(spec);
    for (int32_t i = 0; i < n; i++) {
        Cell c = block::rs_head(spec)[i];
        const Cell* v = &c;
        if (c.type() == TYPE_WORD) {
            v = word::peek(&c);
            if (!v) fire(err::script::invalid_type_spec, &c);
        }
        switch (v->type()) {
            case TYPE_DATATYPE: set(&ts, static_cast<int>(v->data1)); break;
            case TYPE_TYPESET:
                ts.data1 |= v->data1;
                ts.data2 |= v->data2;
                ts.data3 |= v->data3;
                break;
            case TYPE_WORD: set(&ts, TYPE_OBJECT); break;
            case TYPE_BLOCK: break;
            default: {
                Cell bad = *v;
                fire(err::script::invalid_type_spec, &bad);
            }
        }
    }
    Cell* out = block::alloc_tail(block);
    *out = ts;
    return out;
}

Cell* to_block(const Cell* ts, Cell* out) {
    Cell set = *ts;
    Node b = block::make_node(4);
    collector::NodeRoot keep(&b);
    for (int t = 1; t <= datatype::top_id; t++)
        if (has(&set, t) && datatype::names[t].name) block::append_cell(b, &datatype::names[t].word);
    return block::make_at(out, b);
}

int form_to(const Cell* ts, Node buffer, bool only, const Cell* part, int limit) {
    Cell set = *ts;
    if (!only) {
        string::concatenate_literal(buffer, "make typeset! [");
        limit -= 15;
    }
    bool wrote = false;
    for (int t = 1; t <= datatype::top_id; t++) {
        if (!has(&set, t) || !datatype::names[t].name) continue;  // a type not registered yet
        if (part && limit < 0) break;
        const datatype::NameEntry& e = datatype::names[t];
        string::concatenate_literal(buffer, e.name);
        string::concatenate_literal(buffer, " ");
        limit -= e.length + 2;
        wrote = true;
    }
    uint32_t length = memory::nodes[buffer]->length();
    if (only) {
        if (wrote) {
            string::limit_tail(buffer, length - 1);
            limit += 1;
        }
    } else if (wrote) {
        string::overwrite_char(buffer, memory::nodes[buffer]->head / memory::nodes[buffer]->unit() + length - 1, ']');
    } else {
        string::concatenate_literal(buffer, "]");
        limit -= 1;
    }
    return limit;
}

Cell* do_bitwise(int op) {
    Cell* a = stack::arguments;
    const Cell* b = a + 1;
    if (op == OP_UNIQUE) return a;
    Cell other;
    if (b->type() == TYPE_TYPESET) {
        other = *b;
    } else if (b->type() == TYPE_DATATYPE) {
        make_at(&other, 0, 0, 0);
        set(&other, static_cast<int>(b->data1));
    } else {
        Cell v = *b;
        fire(err::script::invalid_arg, &v);
    }
    switch (op) {
        case OP_OR:
        case OP_UNION:
            a->data1 |= other.data1;
            a->data2 |= other.data2;
            a->data3 |= other.data3;
            break;
        case OP_AND:
        case OP_INTERSECT:
            a->data1 &= other.data1;
            a->data2 &= other.data2;
            a->data3 &= other.data3;
            break;
        case OP_XOR:
        case OP_DIFFERENCE:
            a->data1 ^= other.data1;
            a->data2 ^= other.data2;
            a->data3 ^= other.data3;
            break;
        case OP_EXCLUDE:
            a->data1 &= ~other.data1;
            a->data2 &= ~other.data2;
            a->data3 &= ~other.data3;
            break;
        default: runtime::quit(101, KEL_CALLER_ADDRESS());
    }
    stack::keep();
    return a;
}

void and_(const int32_t*) { do_bitwise(OP_AND); }
void or_(const int32_t*) { do_bitwise(OP_OR); }
void xor_(const int32_t*) { do_bitwise(OP_XOR); }

void complement(const int32_t*) {
    Cell* a = stack::arguments;
    a->data1 = ~a->data1;
    a->data2 = ~a->data2;
    a->data3 = ~a->data3;
}

void find(const int32_t*) {
    Cell* set = stack::arguments;
    const Cell* value = set + 1;
    if (value->type() != TYPE_DATATYPE) {
        Cell v = *value;
        fire(err::script::invalid_arg, &v);
    }
    bool found = has(set, static_cast<int>(value->data1));
    set_cell(set, TYPE_LOGIC, found ? 1 : 0);
    stack::keep();
}

Cell* make(Cell* proto, Cell* spec, int) {
    if (spec->type() == TYPE_TYPESET) {
        *proto = *spec;
        return proto;
    }
    if (spec->type() != TYPE_BLOCK) number::fire_bad_to_arg(TYPE_TYPESET, spec);
    Cell ts;
    make_at(&ts, 0, 0, 0);
    int32_t n = block::rs_length_q(spec);
    for (int32_t i = 0; i < n; i++) {
        Cell c = block::rs_head(spec)[i];
        set_type(&ts, &c);
    }
    *proto = ts;
    return proto;
}

int form(const Cell* value, Node buffer, const Cell* part, int limit) { return form_to(value, buffer, false, part, limit); }

int mold(const Cell* value, Node buffer, bool only, bool, bool, const Cell* part, int limit, int) {
    return form_to(value, buffer, only, part, limit);
}

int compare(const Cell* a, const Cell* b, int op) {
    if (b->type() != TYPE_TYPESET) return -2;
    switch (op) {
        case COMP_EQUAL:
        case COMP_NOT_EQUAL:
        case COMP_STRICT_EQUAL:
        case COMP_SAME:
        case COMP_EQUAL_FIND: return a->data1 == b->data1 && a->data2 == b->data2 && a->data3 == b->data3 ? 0 : 1;
        case COMP_SORT:
        case COMP_CASE_SORT: {
            int x = count(a), y = count(b);
            return (x > y) - (x < y);
        }
        default: return -2;
    }
}

void init() {
    datatype::Row row;
    row.set(ACT_MAKE, make)
        .set(ACT_TO, make)
        .set(ACT_FORM, form)
        .set(ACT_MOLD, mold)
        .set(ACT_COMPARE, compare)
        .set(ACT_AND_T, and_)
        .set(ACT_COMPLEMENT, complement)
        .set(ACT_OR_T, or_)
        .set(ACT_XOR_T, xor_)
        .set(ACT_FIND, find);
    datatype::register_row(TYPE_TYPESET, 0, "typeset!", row);
}

}  // namespace typeset
