// Test support: Kel text run in a child process with the free cells above the data stack's top
// filled with a stale value, under collection torture. A native that lets the collector see a
// cell of its own before giving it a value marks that stale cell, and the torture check ends the
// child (Runtime Error 101); a sound run prints the molded result and exits with 0.
#pragma once

#include <cstdio>
#include <string>

#include "datatypes/block.h"
#include "runtime/collector.h"
#include "runtime/stack.h"
#include "tests/support/child.h"
#include "tests/support/kel_eval.h"

namespace test_support {

inline ChildResult eval_over_stale_stack(const char* code) {
    kel_test::eval("1");  // start-up work happens once, outside the child
    return in_child([code] {
        // A text value naming a block's cells: the torture check refuses to mark it.
        Cell stale;
        set_cell(&stale, TYPE_STRING, 0, block::make_node(4));
        for (Cell* c = stack::top; c < stack::top + 400 && c < stack::end; c++) *c = stale;
        collector::torture = true;
        std::printf("%s\n", kel_test::eval(code).c_str());
        std::fflush(stdout);
        _exit(0);
    });
}

}  // namespace test_support
