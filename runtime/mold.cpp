#include "runtime/mold.h"

#include "datatypes/string.h"

namespace mold {

int indent(Node buffer, int n, int limit) {
    for (int i = 0; i < n; i++) string::concatenate_literal_n(buffer, "    ", 4);
    return n > 0 ? limit - 4 * n : limit;
}

}  // namespace mold
