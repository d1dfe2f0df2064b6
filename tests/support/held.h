// Values that tests keep in C++ locals are invisible to the collector, which may run at any
// allocation. Builders park what they make in a block that the root block keeps, so a value stays
// alive (its node stays valid) until the next test starts; buffers still move, so tests re-read
// addresses through nodes like the run-time does.
#pragma once

#include "datatypes/block.h"
#include "runtime/collector.h"
#include "runtime/hashtable.h"
#include "runtime/root.h"

namespace tv {

inline Node& held_block() {
    static Node n = 0;
    return n;
}

// Drops every held value (run between tests).
inline void release_held() {
    if (Node n = held_block()) memory::nodes[n]->tail = memory::nodes[n]->head;
}

inline const Cell& hold(const Cell& value) {
    Cell copy = value;
    collector::Root keep(&copy);
    if (!held_block()) {
        Node n = block::make_node(64);
        root::keep_node(n);
        held_block() = n;
    }
    block::append_cell(held_block(), &copy);
    return value;
}

// A bare series node, held as a block or binary value.
inline Node hold_node(Node n) {
    Cell c;
    set_cell(&c, memory::nodes[n]->unit() == 16 ? TYPE_BLOCK : TYPE_BINARY, 0, n);
    hold(c);
    return n;
}

// A hash table made on its own, held the way a map! value holds its table; for_the_run keeps it
// past the test (a table that a static stands for).
inline Node hold_table(Node table, bool for_the_run = false) {
    Cell c;
    set_cell(&c, TYPE_MAP, 0, hashtable::block_of(table), table);
    if (for_the_run)
        root::keep(&c);
    else
        hold(c);
    return table;
}

}  // namespace tv
