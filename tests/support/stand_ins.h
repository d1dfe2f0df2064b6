// Weak stand-ins for modules that other work provides: the case-folding tables and the
// collector's marking functions. The real definitions, once linked, take precedence.
//
// The case mapping covers ASCII, Latin-1, the Cyrillic basic block and the Deseret letters (a
// pair above the basic plane); the marking walks blocks, strings, symbols, hash! and map!.
#pragma once

#include <cstdint>

#include "datatypes/cell.h"
#include "runtime/case_folding.h"
#include "runtime/collector.h"
#include "runtime/hashtable.h"
#include "runtime/memory.h"

namespace case_folding {
__attribute__((weak)) uint32_t change(uint32_t cp, bool upper) {
    auto is_lower = [](uint32_t c) {
        return (c >= 'a' && c <= 'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7) || (c >= 0x430 && c <= 0x44F) ||
               (c >= 0x10428 && c <= 0x1044F);
    };
    auto is_upper = [](uint32_t c) {
        return (c >= 'A' && c <= 'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7) || (c >= 0x410 && c <= 0x42F) ||
               (c >= 0x10400 && c <= 0x10427);
    };
    uint32_t delta = cp >= 0x10400 ? 0x28 : 0x20;
    if (upper && is_lower(cp)) return cp - delta;
    if (!upper && is_upper(cp)) return cp + delta;
    return cp;
}
}  // namespace case_folding

namespace collector {
__attribute__((weak)) void mark_block(Node* slot);
__attribute__((weak)) void mark_values(Cell* first, Cell* end) {
    for (Cell* c = first; c < end; c++) {
        uint8_t t = c->type();
        if (types::any_block(t) || t == TYPE_MAP) {
            if (c->data2) mark_block(&c->data2);
            if ((t == TYPE_HASH || t == TYPE_MAP) && c->data3) hashtable::mark(&c->data3);
        } else if (types::any_string(t) || t == TYPE_BINARY) {
            keep(&c->data2);
        } else if (t == TYPE_SYMBOL) {
            keep(&c->data3);
            if (c->data2) keep(&c->data2);
        }
    }
}
__attribute__((weak)) void mark_block(Node* slot) {
    if (!*slot || !keep(slot)) return;
    SeriesBuf* b = memory::nodes[*slot];
    mark_values(cells_head(b), cells_tail(b));
}
}  // namespace collector

