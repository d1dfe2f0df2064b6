#include "datatypes/path.h"

#include <cmath>

#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/string.h"
#include "evaluator/actions.h"
#include "runtime/collector.h"
#include "runtime/cycles.h"
#include "runtime/fire.h"
#include "runtime/stack.h"

namespace path {

// A size given to make is only a capacity hint: beyond this the series grows on demand instead
// of reserving memory the value may never use.
constexpr int32_t kMaxRoomHint = 1 << 20;

Cell* push(Cell* c, uint8_t type) {
    c->header = type;
    return stack::push(c);
}

Cell* make_at(Cell* c, int32_t n, uint8_t type) {
    set_cell(c, TYPE_UNSET);
    if (n < 1) n = 1;
    if (n > kMaxRoomHint) n = kMaxRoomHint;
    Node node = block::make_node(n);
    return block::make_at(c, node, 0, type);
}

[[noreturn]] static void bad_arg(ErrorId id, int type, const Cell* spec) {
    Cell t, s = *spec;
    datatype::make_at(&t, type);
    fire(id, &t, &s);
}

// A new series of the target type holding copies of the values from the spec's position.
static Cell* copy_as(Cell* out, const Cell* spec, int type) {
    Node copy = block::copy_cells(spec);
    return block::make_at(out, copy, 0, static_cast<uint8_t>(type));
}

// Conversions of block! for any other spec, whatever the block module registered.
static Cell* block_to(Cell* proto, Cell* spec, int type) {
    auto fn = reinterpret_cast<MakeFn>(datatype::slot(TYPE_BLOCK, ACT_TO));
    if (!fn) bad_arg(err::script::bad_to_arg, type, spec);
    Cell* r = fn(proto, spec, TYPE_BLOCK);
    if (r != proto) *proto = *r;
    proto->header = static_cast<uint32_t>(type);
    return proto;
}

Cell* make(Cell* proto, Cell* spec, int type) {
    switch (spec->type()) {
        case TYPE_INTEGER: return make_at(proto, spec->i1(), static_cast<uint8_t>(type));
        case TYPE_FLOAT:
        case TYPE_PERCENT: {
            double d = spec->f();
            if (!(d > -2147483649.0 && d < 2147483648.0)) bad_arg(err::script::bad_make_arg, type, spec);
            return make_at(proto, static_cast<int32_t>(std::trunc(d)), static_cast<uint8_t>(type));
        }
        default:
            if (types::any_block(spec->type())) return copy_as(proto, spec, type);
            bad_arg(err::script::bad_make_arg, type, spec);
    }
}

Cell* to(Cell* proto, Cell* spec, int type) {
    switch (spec->type()) {
        case TYPE_MAP:
        case TYPE_OBJECT:
        case TYPE_TYPESET: {
            Cell value = *spec;
            collector::Root keep(&value);
            make_at(proto, 1, static_cast<uint8_t>(type));
            block::append_cell(proto->node(), &value);
            return proto;
        }
        default:
            if (types::any_block(spec->type())) return copy_as(proto, spec, type);
            return block_to(proto, spec, type);
    }
}

// The elements from the path's position, each formed or molded, separated by "/".
static int write(const Cell* value, Node buffer, bool mold_mode, bool only, bool all, bool flat, const Cell* part, int limit) {
    if (cycles::detect_q(value, buffer, &limit, mold_mode)) return limit;
    cycles::Writing writing(value, buffer, part);
    Cell p = *value;
    collector::Root keep(&p);
    cycles::Scope scope(p.node());
    int32_t from = p.index() > 0 ? p.index() : 0;
    for (int32_t i = from; i < block::node_length(p.node()); i++) {
        Cell element = *block::node_cell(p.node(), i);
        if (mold_mode)
            limit = actions::mold(&element, buffer, only, all, flat, part, limit, 0);
        else
            limit = actions::form(&element, buffer, part, limit);
        if (part && limit <= 0) return limit;
        if (i + 1 < block::node_length(p.node())) {
            string::append_char(buffer, '/');
            limit--;
        }
    }
    return limit;
}

int form(const Cell* value, Node buffer, const Cell* part, int limit) {
    return write(value, buffer, false, false, false, false, part, limit);
}

int mold(const Cell* value, Node buffer, bool only, bool all, bool flat, const Cell* part, int limit, int) {
    return write(value, buffer, true, only, all, flat, part, limit);
}

// A path met again inside itself is only the marker, without its ', : or trailing :.
static int mold_lit(const Cell* v, Node b, bool only, bool all, bool flat, const Cell* part, int limit, int indent) {
    if (cycles::detect_q(v, b, &limit, true)) return limit;
    string::append_char(b, '\'');
    return mold(v, b, only, all, flat, part, limit - 1, indent);
}

static int mold_get(const Cell* v, Node b, bool only, bool all, bool flat, const Cell* part, int limit, int indent) {
    if (cycles::detect_q(v, b, &limit, true)) return limit;
    string::append_char(b, ':');
    return mold(v, b, only, all, flat, part, limit - 1, indent);
}

static int mold_set(const Cell* v, Node b, bool only, bool all, bool flat, const Cell* part, int limit, int indent) {
    if (cycles::detect_q(v, b, &limit, true)) return limit;
    limit = mold(v, b, only, all, flat, part, limit, indent);
    string::append_char(b, ':');
    return limit - 1;
}

// copy is block!'s copy, whatever block! registered when the call is made.
static void copy(const int32_t* refs) {
    auto fn = reinterpret_cast<ActionFn>(actions::get_action_by_type(TYPE_BLOCK, stack::arguments, ACT_COPY));
    fn(refs);
}

void init() {
    static constexpr int kFromBlock[] = {ACT_REFLECT, ACT_EVAL_PATH, ACT_COMPARE, ACT_APPEND, ACT_AT,     ACT_BACK,
                                         ACT_CHANGE,  ACT_CLEAR,     ACT_FIND,    ACT_HEAD,   ACT_HEAD_Q, ACT_INDEX_Q,
                                         ACT_INSERT,  ACT_LENGTH_Q,  ACT_MOVE,    ACT_NEXT,   ACT_PICK,   ACT_POKE,
                                         ACT_PUT,     ACT_REMOVE,    ACT_REVERSE, ACT_SELECT, ACT_SKIP,   ACT_SWAP,
                                         ACT_TAIL,    ACT_TAIL_Q,    ACT_TAKE,    ACT_MODIFY};
    datatype::Row row;
    for (int a : kFromBlock) row.slots[a - 1] = datatype::kInherit;
    row.set(ACT_MAKE, make).set(ACT_TO, to).set(ACT_FORM, form).set(ACT_MOLD, mold).set(ACT_COPY, copy);
    datatype::register_row(TYPE_PATH, TYPE_BLOCK, "path!", row);

    auto variant = [](int type, const char* name, MoldFn fn) {
        datatype::Row r;
        for (int a : kFromBlock) r.slots[a - 1] = datatype::kInherit;
        r.inherit({ACT_MAKE, ACT_TO, ACT_FORM, ACT_COPY}).set(ACT_MOLD, fn);
        datatype::register_row(type, TYPE_PATH, name, r);
    };
    variant(TYPE_LIT_PATH, "lit-path!", mold_lit);
    variant(TYPE_SET_PATH, "set-path!", mold_set);
    variant(TYPE_GET_PATH, "get-path!", mold_get);
}

}  // namespace path
