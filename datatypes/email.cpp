#include "datatypes/email.h"

#include "datatypes/datatype.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "runtime/collector.h"
#include "runtime/fire.h"
#include "runtime/memory.h"

namespace email {

namespace {
symbol::Known sym_user("user");
symbol::Known sym_host("host");
}  // namespace

int mold(const Cell* value, Node buffer, bool, bool, bool, const Cell* part, int limit, int) {
    return string::form(value, buffer, part, limit);
}

Cell* eval_path(PathStep& step, Cell* out) {
    const Cell* el = step.element;
    if (el->type() == TYPE_INTEGER) return string::eval_path(step, out);
    bool user = el->type() == TYPE_WORD && sym_user.is(el);
    bool host = el->type() == TYPE_WORD && sym_host.is(el);
    if (!user && !host) {
        Cell where = step.path ? *step.path : *step.value;
        Cell e = *el;
        fire(err::script::invalid_path, &where, &e);
    }
    Cell e = *step.value;
    collector::Root keep(&e);
    int32_t len = string::rs_length_q(&e);
    int32_t head = e.index() > 0 ? e.index() : 0;
    int32_t at = string::find_char(&e, '@');
    // The part: user is what precedes the first "@" (everything without one), host what follows.
    int32_t from = user ? 0 : (at < 0 ? len : at + 1);
    int32_t count = user ? (at < 0 ? len : at) : len - from;
    if (step.store) {
        Cell place = e;
        place.set_index(head + from);
        string::change(&place, step.store, count, false, 1);
        *out = *step.store;
        return out;
    }
    Cell result;
    if (count > 0)
        string::make_at(&result, series::copy_part(e.node(), head + from, count));
    else
        string::make_at_unit(&result, 1, string::text_unit(memory::nodes[e.node()]));
    *out = result;
    return out;
}

void init() {
    datatype::Row row;
    row.inherit({ACT_MAKE, ACT_REFLECT, ACT_TO, ACT_FORM, ACT_COMPARE, ACT_APPEND, ACT_AT, ACT_BACK, ACT_CHANGE,
                 ACT_CLEAR, ACT_COPY, ACT_FIND, ACT_HEAD, ACT_HEAD_Q, ACT_INDEX_Q, ACT_INSERT, ACT_LENGTH_Q, ACT_MOVE,
                 ACT_NEXT, ACT_PICK, ACT_POKE, ACT_PUT, ACT_REMOVE, ACT_REVERSE, ACT_SELECT, ACT_SKIP, ACT_SWAP,
                 ACT_TAIL, ACT_TAIL_Q, ACT_TAKE, ACT_MODIFY});
    row.set(ACT_MOLD, mold).set(ACT_EVAL_PATH, eval_path);
    datatype::register_row(TYPE_EMAIL, TYPE_STRING, "email!", row);
}

}  // namespace email
