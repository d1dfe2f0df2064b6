// Test support: string buffers made from and read back as codepoint lists.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "datatypes/cell.h"
#include "tests/support/held.h"

namespace test_support {

// A buffer of the given unit holding cps after `head` spare bytes, with room for `extra` more
// units after them.
inline Node make_text(const std::vector<uint32_t>& cps, uint32_t unit, uint32_t extra = 0, uint32_t head = 0) {
    Node n = tv::hold_node(memory::alloc_series(int32_t(head / unit + cps.size() + extra), int(unit), 0));
    SeriesBuf* b = memory::nodes[n];
    b->head = head;
    for (size_t i = 0; i < cps.size(); i++) std::memcpy(b->data() + head + i * unit, &cps[i], unit);
    b->tail = head + uint32_t(cps.size()) * unit;
    return n;
}

inline Cell string_value(Node n, int32_t index = 0) {
    Cell c;
    set_cell(&c, TYPE_STRING, uint32_t(index), n, 0);
    return c;
}

inline std::vector<uint32_t> cps_of(Node n) {
    SeriesBuf* b = memory::nodes[n];
    uint32_t unit = b->unit();
    std::vector<uint32_t> out;
    for (uint32_t off = b->head; off + unit <= b->tail; off += unit) {
        uint32_t cp = 0;
        std::memcpy(&cp, b->data() + off, unit);
        out.push_back(cp);
    }
    return out;
}

inline std::vector<uint8_t> bytes(const char* s) {
    return std::vector<uint8_t>(reinterpret_cast<const uint8_t*>(s), reinterpret_cast<const uint8_t*>(s) + std::strlen(s));
}

}  // namespace test_support
