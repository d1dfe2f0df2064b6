#include "datatypes/tag.h"

#include <climits>

#include "datatypes/datatype.h"
#include "datatypes/string.h"

namespace tag {

int form(const Cell* value, Node buffer, const Cell* part, int limit) {
    string::append_char(buffer, '<');
    limit = string::form(value, buffer, part, limit == INT_MIN ? limit : limit - 1);
    string::append_char(buffer, '>');
    return limit == INT_MIN ? limit : limit - 1;
}

int mold(const Cell* value, Node buffer, bool, bool, bool, const Cell* part, int limit, int) {
    return form(value, buffer, part, limit);
}

void init() {
    datatype::Row row;
    row.inherit({ACT_MAKE, ACT_REFLECT, ACT_TO, ACT_EVAL_PATH, ACT_COMPARE, ACT_APPEND, ACT_AT, ACT_BACK, ACT_CHANGE,
                 ACT_CLEAR, ACT_COPY, ACT_FIND, ACT_HEAD, ACT_HEAD_Q, ACT_INDEX_Q, ACT_INSERT, ACT_LENGTH_Q, ACT_MOVE,
                 ACT_NEXT, ACT_PICK, ACT_POKE, ACT_PUT, ACT_REMOVE, ACT_REVERSE, ACT_SELECT, ACT_SKIP, ACT_SWAP,
                 ACT_TAIL, ACT_TAIL_Q, ACT_TAKE, ACT_MODIFY});
    row.set(ACT_FORM, form).set(ACT_MOLD, mold);
    datatype::register_row(TYPE_TAG, TYPE_STRING, "tag!", row);
}

}  // namespace tag
