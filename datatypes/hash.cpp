#include "datatypes/hash.h"

#include <algorithm>

#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "runtime/collector.h"
#include "runtime/cycles.h"
#include "runtime/fire.h"
#include "runtime/hashtable.h"
#include "runtime/stack.h"

namespace hash {

// A size given to make is only a reservation: past this the block and the table grow as values
// come, so a huge number asks for no huge allocation up front.
constexpr int32_t kMaxReserve = 1 << 20;

Cell* index_in_place(Cell* block) {
    int32_t n = block::rs_length_q(block);
    Node table = hashtable::init(std::clamp(n, 1, kMaxReserve), block, hashtable::kHash, 0);
    block->set_type(TYPE_HASH);
    block->data3 = table;
    return block;
}

Cell* copy_at(Cell* out, const Cell* value) {
    Cell src = *value;
    collector::Root keep(&src);
    Cell copy;
    set_cell(&copy, TYPE_NONE);
    collector::Root keep_copy(&copy);
    series::copy_core(&copy, &src, nullptr);
    if (src.index() <= 0 && src.data3) {
        // The same cells at the same positions: the table is copied as it stands.
        Node table = hashtable::copy(src.data3, copy.node());
        copy.set_type(TYPE_HASH);
        copy.data3 = table;
    } else {
        index_in_place(&copy);
    }
    *out = copy;
    return out;
}

Cell* make(Cell* proto, Cell* spec, int type) {
    uint8_t st = spec->type();
    if (st == TYPE_INTEGER || st == TYPE_FLOAT) {
        int64_t n;
        if (st == TYPE_FLOAT) {
            double d = spec->f();
            if (!(d > -2147483649.0 && d < 2147483648.0)) {
                Cell t, s = *spec;
                datatype::make_at(&t, type);
                fire(err::script::bad_make_arg, &t, &s);
            }
            n = static_cast<int64_t>(d);
        } else {
            n = int_of(spec);
        }
        int32_t room = static_cast<int32_t>(std::clamp<int64_t>(n, 1, kMaxReserve));
        block::make_new(proto, room);
        Node table = hashtable::init(room, proto, hashtable::kHash, 0);
        proto->set_type(TYPE_HASH);
        proto->data3 = table;
        return proto;
    }
    if (st == TYPE_HASH) return copy_at(proto, spec);
    if (st == TYPE_BLOCK) {
        Node node = block::copy_cells(spec);
        block::make_at(proto, node);
        return index_in_place(proto);
    }
    return to(proto, spec, type);
}

Cell* to(Cell* proto, Cell* spec, int) {
    if (spec->type() == TYPE_HASH) return copy_at(proto, spec);
    Cell* converted = block::to(proto, spec, TYPE_BLOCK);
    if (converted != proto) *proto = *converted;
    proto->set_index(0);
    return index_in_place(proto);
}

int mold(const Cell* value, Node buffer, bool only, bool all, bool flat, const Cell* part, int limit, int indent) {
    // A hash! met again inside itself is only its marker, without the "make hash! " in front.
    if (cycles::detect_q(value, buffer, &limit, true)) return limit;
    if (!only) {
        string::concatenate_literal_n(buffer, "make hash! ", 11);
        limit -= 11;
    }
    return block::mold(value, buffer, only, all, flat, part, limit, indent);
}

void copy(const int32_t* refs) {
    Cell* args = stack::arguments;
    bool whole = refs[0] < 0 && refs[1] < 0 && refs[2] < 0;
    if (whole && args->index() <= 0) {
        copy_at(args, args);
        stack::keep();
        return;
    }
    // block! copy does the copying (part, deep, types) and indexes a plain copy itself.
    block::copy(refs);
    args = stack::arguments;
    if (args->type() != TYPE_HASH || !args->data3) {
        args->set_type(TYPE_BLOCK);
        index_in_place(args);
    }
    stack::keep();
}

void init() {
    datatype::Row row;
    row.set(ACT_MAKE, make).set(ACT_TO, to).set(ACT_MOLD, mold).set(ACT_COPY, copy);
    // block!'s sort and trim rebuild a hash!'s table once the values have moved.
    row.inherit({ACT_REFLECT,  ACT_FORM,   ACT_EVAL_PATH, ACT_COMPARE, ACT_APPEND, ACT_AT,     ACT_BACK,
                 ACT_CHANGE,   ACT_CLEAR,  ACT_FIND,      ACT_HEAD,    ACT_HEAD_Q, ACT_INDEX_Q, ACT_INSERT,
                 ACT_LENGTH_Q, ACT_MOVE,   ACT_NEXT,      ACT_PICK,    ACT_POKE,   ACT_PUT,    ACT_REMOVE,
                 ACT_REVERSE,  ACT_SELECT, ACT_SORT,      ACT_SKIP,    ACT_SWAP,   ACT_TAIL,   ACT_TAIL_Q,
                 ACT_TAKE,     ACT_TRIM,   ACT_MODIFY});
    datatype::register_row(TYPE_HASH, TYPE_BLOCK, "hash!", row);
}

}  // namespace hash
