// Test support: Kel text run in a child process under collection torture, with every free cell
// above the data stack's top overwritten by a stale value at every collection. A native that
// lets the collector see a cell of its own before giving it a value, or that reads a cell back
// after letting the top down below it, meets that stale value: the torture check ends the child
// (Runtime Error 101) or the run goes wrong. A sound run prints the molded result and exits with 0.
#pragma once

#include <cstdio>
#include <string>

#include "runtime/collector.h"
#include "runtime/stack.h"
#include "tests/support/child.h"
#include "tests/support/kel_eval.h"

namespace test_support {

// A text value naming the data stack's own cells: the torture check refuses to mark it.
inline void poison_above_top() {
    Cell stale;
    set_cell(&stale, TYPE_STRING, 0, stack::data_node);
    for (Cell* c = stack::top; c < stack::top + 64 && c < stack::end; c++) *c = stale;
}

inline ChildResult eval_over_stale_stack(const char* code) {
    kel_test::eval("1");  // start-up work happens once, outside the child
    return in_child([code] {
        poison_above_top();
        collector::add_marker(&poison_above_top);  // runs within every collection
        collector::torture = true;
        std::printf("%s\n", kel_test::eval(code).c_str());
        std::fflush(stdout);
        _exit(0);
    });
}

}  // namespace test_support
