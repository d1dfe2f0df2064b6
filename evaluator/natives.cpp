#include "evaluator/natives.h"

#include "datatypes/block.h"
#include "runtime/root.h"

namespace natives {

NativeFn table[kSlots] = {};
int counter = 1;
Node print_buffer = 0;

void install_table(int n, const NativeFn* fns) {
    for (int i = 0; i < n && counter <= kSlots; i++) table[counter++ - 1] = fns[i];
}

void init() {
    print_buffer = block::make_node(32);
    root::keep_node(print_buffer);
}

}  // namespace natives

namespace routines {

RoutineFn table[kSlots] = {};
int counter = 1;

int register_(RoutineFn fn) {
    if (counter > kSlots) return 0;
    table[counter - 1] = fn;
    return counter++;
}

}  // namespace routines
