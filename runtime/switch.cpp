#include "runtime/switch.h"

#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "evaluator/actions.h"
#include "runtime/stack.h"

namespace switch_ {

static int32_t match(const Cell* value, const Cell* block, bool every_cell) {
    if (value->type() == TYPE_BLOCK) return -1;
    int32_t n = block::rs_length_q(block);
    for (int32_t i = 0; i < n; i += every_cell ? 1 : 2) {
        const Cell* c = block::rs_head(block) + i;
        if (c->type() == value->type() && actions::compare_value(value, c, COMP_EQUAL) == 0) return i;
    }
    return -1;
}

void find(bool every_cell, bool want_block) {
    Cell value = *stack::arguments;
    Cell block = *(stack::arguments + 1);
    Cell result;
    set_cell(&result, TYPE_NONE);
    int32_t i = match(&value, &block, every_cell);
    if (i >= 0) {
        int32_t n = block::rs_length_q(&block);
        const Cell* head = block::rs_head(&block);
        if (want_block) {
            for (int32_t k = i + 1; k < n; k++) {
                if (head[k].type() == TYPE_BLOCK) {
                    result = head[k];
                    break;
                }
            }
        } else {
            result = head[i + 1 < n ? i + 1 : i];
        }
    }
    if (every_cell)
        stack::push(&result);
    else
        *stack::arguments = result;
}

}  // namespace switch_
