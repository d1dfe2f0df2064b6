#include "datatypes/ref.h"

#include <climits>

#include "datatypes/datatype.h"
#include "datatypes/string.h"

namespace ref {

int mold(const Cell* value, Node buffer, bool, bool, bool, const Cell* part, int limit, int) {
    string::append_char(buffer, '@');
    return string::form(value, buffer, part, limit == INT_MIN ? limit : limit - 1);
}

void init() {
    datatype::Row row;
    row.inherit({ACT_MAKE, ACT_REFLECT, ACT_TO, ACT_FORM, ACT_COMPARE, ACT_AT, ACT_BACK, ACT_CHANGE, ACT_CLEAR, ACT_COPY,
                 ACT_FIND, ACT_HEAD, ACT_HEAD_Q, ACT_INDEX_Q, ACT_INSERT, ACT_LENGTH_Q, ACT_MOVE, ACT_NEXT, ACT_PICK,
                 ACT_POKE, ACT_REMOVE, ACT_REVERSE, ACT_SELECT, ACT_SKIP, ACT_SWAP, ACT_TAIL, ACT_TAIL_Q, ACT_TAKE,
                 ACT_MODIFY});
    row.set(ACT_MOLD, mold);
    datatype::register_row(TYPE_REF, TYPE_STRING, "ref!", row);
}

}  // namespace ref
