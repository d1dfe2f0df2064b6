#include "datatypes/email.h"

#include "datatypes/datatype.h"
#include "datatypes/string.h"

namespace email {

int mold(const Cell* value, Node buffer, bool, bool, bool, const Cell*, int limit, int) {
    string::append_string(buffer, value);
    return limit - string::rs_length_q(value);
}

void init() {
    datatype::Row row;
    // Path access to the user and host parts comes with the email! actions; string!'s serves now.
    row.inherit({ACT_MAKE, ACT_REFLECT, ACT_TO, ACT_FORM, ACT_EVAL_PATH, ACT_COMPARE, ACT_APPEND, ACT_AT, ACT_BACK,
                 ACT_CHANGE, ACT_CLEAR, ACT_COPY, ACT_FIND, ACT_HEAD, ACT_HEAD_Q, ACT_INDEX_Q, ACT_INSERT, ACT_LENGTH_Q,
                 ACT_MOVE, ACT_NEXT, ACT_PICK, ACT_POKE, ACT_PUT, ACT_REMOVE, ACT_REVERSE, ACT_SELECT, ACT_SKIP,
                 ACT_SWAP, ACT_TAIL, ACT_TAIL_Q, ACT_TAKE, ACT_MODIFY});
    row.set(ACT_MOLD, mold);
    datatype::register_row(TYPE_EMAIL, TYPE_STRING, "email!", row);
}

}  // namespace email
