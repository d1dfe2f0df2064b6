// email! values: strings written as they are (user@host), whose user and host parts a path
// reads and sets.
#pragma once

#include "datatypes/cell.h"
#include "datatypes/datatype.h"

namespace email {

int mold(const Cell* value, Node buffer, bool only, bool all, bool flat, const Cell* part, int limit, int indent);
// An integer! element picks a character as for string!; user and host read the text before and
// after the first "@" as a new string!, and set that part in place.
Cell* eval_path(PathStep& step, Cell* out);

void init();

}  // namespace email
