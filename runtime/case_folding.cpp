#include "runtime/case_folding.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "case_folding_tables.h"
#include "runtime/collector.h"
#include "runtime/fire.h"
#include "runtime/runtime.h"
#include "runtime/unicode.h"

namespace case_folding {

namespace {

// Basic-plane tables indexed by codepoint: the mapped codepoint, 0 when it maps to itself.
// Every case-insensitive comparison pays one load per character here.
uint32_t upper_table[0x10000];
uint32_t lower_table[0x10000];
bool ready = false;

// Runs init() during static initialisation, so that change() is usable from the first line of
// main on, whatever the order of the run-time's own set-up.
struct Init {
    Init() { init(); }
} const init_at_start;

template <size_t N>
uint32_t search(const uint32_t (&pairs)[N][2], uint32_t cp) {
    if (N == 0 || cp < pairs[0][0] || cp > pairs[N - 1][0]) return cp;
    auto it = std::lower_bound(std::begin(pairs), std::end(pairs), cp,
                               [](const uint32_t (&pair)[2], uint32_t key) { return pair[0] < key; });
    return it != std::end(pairs) && (*it)[0] == cp ? (*it)[1] : cp;
}

}  // namespace

void init() {
    if (ready) return;
    for (const auto& p : case_folding_data::upper_bmp) upper_table[p[0]] = p[1];
    for (const auto& p : case_folding_data::lower_bmp) lower_table[p[0]] = p[1];
    ready = true;
}

uint32_t change(uint32_t cp, bool upper) {
    if (cp <= 0xFFFF) {
        uint32_t v = (upper ? upper_table : lower_table)[cp];
        return v ? v : cp;
    }
    return upper ? search(case_folding_data::upper_astral, cp) : search(case_folding_data::lower_astral, cp);
}

uint32_t toggle(uint32_t cp) {
    uint32_t up = change(cp, true);
    return up != cp ? up : change(cp, false);
}

uint32_t to_upper_bmp(uint32_t cp) { return cp <= 0xFFFF ? upper_table[cp] : change(cp, true); }

void change_string(Cell* value, bool upper, const Cell* part, const Cell* part_word) {
    if (value->is(TYPE_CHAR)) {
        value->data1 = change(value->data1, upper);
        return;
    }
    if (!types::any_string(value->type())) fire(err::script::invalid_arg, value);
    Node node = value->node();
    collector::NodeRoot keep(&node);
    SeriesBuf* b = memory::nodes[node];
    uint32_t unit = b->unit();
    if (unit != 1 && unit != 2 && unit != 4) runtime::quit(101, KEL_CALLER_ADDRESS());
    int64_t total = (b->tail - b->head) / unit;
    int64_t head = value->index();
    if (head < 0) head = 0;
    if (head > total) {
        head = total;
        value->set_index(static_cast<int32_t>(total));
    }
    int64_t count = total - head;
    if (part) {
        int64_t want;
        if (part->is(TYPE_INTEGER)) {
            want = part->i1();
        } else if (types::series(part->type())) {
            if (part->type() != value->type() || part->node() != node)
                fire(err::script::invalid_refine_arg, part_word, part);
            want = int64_t(part->index()) - head;
        } else {
            fire(err::script::invalid_refine_arg, part_word, part);
        }
        count = std::clamp<int64_t>(want, 0, count);
    }
    // Only widening allocates here, so the buffer's address is fetched again only after it.
    b = memory::nodes[node];
    int64_t i = 0;
    if (unit == 1) {
        // One-byte text maps through the table in place until a character needs a wider unit.
        const uint32_t* table = upper ? upper_table : lower_table;
        uint8_t* base = b->at_head() + size_t(head);
        for (; i < count; i++) {
            uint32_t mapped = table[base[i]];
            if (mapped == 0) continue;
            if (mapped > 0xFF) break;
            base[i] = static_cast<uint8_t>(mapped);
        }
    }
    for (; i < count; i++) {
        uint8_t* p = b->at_head() + size_t(head + i) * unit;
        uint32_t cp = unicode::get_unit(p, unit);
        uint32_t mapped = change(cp, upper);
        if (mapped == cp) continue;
        uint32_t need = mapped <= 0xFF ? 1 : mapped <= 0xFFFF ? 2 : 4;
        if (need > unit) {
            // Widening rebuilds the buffer: the position is found again in the new unit.
            b = unicode::widen(node, need);
            unit = need;
            p = b->at_head() + size_t(head + i) * unit;
        }
        unicode::put_unit(p, unit, mapped);
    }
}

}  // namespace case_folding
