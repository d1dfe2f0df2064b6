#include "evaluator/natives.h"

#include <cstring>

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
static const char* names[kSlots] = {};

int register_(const char* name, RoutineFn fn) {
    if (int n = find(name)) {
        table[n - 1] = fn;
        return n;
    }
    if (counter > kSlots) return 0;
    table[counter - 1] = fn;
    names[counter - 1] = name;
    return counter++;
}

int find(const char* name) {
    for (int i = 0; i < counter - 1; i++)
        if (std::strcmp(names[i], name) == 0) return i + 1;
    return 0;
}

}  // namespace routines
