// The memory manager: series frames and their sizes, the big-series threshold, buffer layout for
// every unit size, expansion and copies, nodes, and the final release of every frame.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "datatypes/cell.h"
#include "runtime/collector.h"
#include "runtime/memory.h"
#include "runtime/print.h"
#include "runtime/runtime.h"
#include "tests/support/child.h"
#include "tests/support/fired.h"

using test_support::ChildResult;
using test_support::in_child;

namespace {

Node bytes_of(const char* text) {
    auto n = static_cast<int32_t>(std::strlen(text));
    Node node = memory::alloc_bytes(n);
    SeriesBuf* b = memory::nodes[node];
    std::memcpy(b->data(), text, size_t(n));
    b->tail = uint32_t(n);
    return node;
}

std::string text_of(Node node) {
    SeriesBuf* b = memory::nodes[node];
    return std::string(reinterpret_cast<const char*>(b->at_head()), b->used_bytes());
}

bool frames_in_address_order() {
    for (SeriesFrame* f = memory::state.series_first; f && f->next; f = f->next)
        if (!(f < f->next) || f->next->prev != f) return false;
    return true;
}

// These tests look at buffers held only by bare nodes, which the collector cannot see: they run
// with it off.
struct NoCollection {
    bool was = collector::enabled;
    NoCollection() { collector::enabled = false; }
    ~NoCollection() { collector::enabled = was; }
};

}  // namespace

TEST(Memory, FirstFrameOneMebibyteThenTwo) {
    // The sizes follow the next-frame size: 1 MiB at start, doubled once to the maximum.
    size_t saved = memory::state.next_frame_size;
    memory::state.next_frame_size = memory::kDefaultFrameSize;
    SeriesFrame* first = memory::alloc_series_frame();
    SeriesFrame* second = memory::alloc_series_frame();
    SeriesFrame* third = memory::alloc_series_frame();
    EXPECT_EQ(size_t(first->end - first->data()), size_t(1) << 20);
    EXPECT_EQ(size_t(second->end - second->data()), size_t(2) << 20);
    EXPECT_EQ(size_t(third->end - third->data()), size_t(2) << 20);
    EXPECT_EQ(memory::state.next_frame_size, memory::kMaxFrameSize);
    EXPECT_TRUE(frames_in_address_order());
    size_t total = memory::state.total;
    for (SeriesFrame* f : {second, first, third}) memory::free_series_frame(f);
    EXPECT_LT(memory::state.total, total);
    EXPECT_TRUE(frames_in_address_order());
    memory::state.next_frame_size = saved;
}

TEST(Memory, BigSeriesThreshold) {
    // A buffer takes its capacity (a multiple of 16) plus the 24-byte header; from 2 MiB on it
    // gets a region of its own. With 16-byte capacities the nearest sizes to the threshold are
    // 2,097,144 (in a frame) and 2,097,160 (a region).
    struct Case {
        int32_t bytes;
        uint32_t capacity;
        bool big;
    };
    const Case cases[] = {
        {2097120, 2097120, false},
        {2097121, 2097136, true},
        {2097128, 2097136, true},
        {4 << 20, 4 << 20, true},
    };
    for (const Case& c : cases) {
        Node n = memory::alloc_series(c.bytes, 1, 0);
        SeriesBuf* b = memory::nodes[n];
        EXPECT_EQ(b->capacity, c.capacity) << c.bytes;
        EXPECT_EQ((b->flags & series_flag::big) != 0, c.big) << c.bytes;
        EXPECT_EQ(memory::in_series_frames(b), !c.big) << c.bytes;
        EXPECT_EQ(b->node, n);
        // The whole capacity is usable.
        std::memset(b->data(), 0x5A, b->capacity);
        if (c.big) {
            memory::free_big_region(b);
            memory::free_node(n);
        }
    }
}

TEST(Memory, BufferLayoutForEveryUnit) {
    struct Case {
        int32_t units;
        int unit;
        int32_t offset;
        uint32_t capacity, head;
    };
    const Case cases[] = {
        {3, 8, 0, 32, 0},   {2, 16, 0, 32, 0}, {5, 2, 0, 16, 0}, {5, 4, 0, 32, 0},
        {32, 1, -1, 32, 16},  // head (and tail) at the middle
        {0, 1, 0, 0, 0},      // nothing asked: a buffer of capacity 0
        {10, 1, 4, 16, 4},
    };
    for (const Case& c : cases) {
        Node n = memory::alloc_series(c.units, c.unit, c.offset);
        SeriesBuf* b = memory::nodes[n];
        EXPECT_EQ(b->capacity, c.capacity) << c.units << "x" << c.unit;
        EXPECT_EQ(b->unit(), uint32_t(c.unit));
        EXPECT_EQ(b->head, c.head);
        EXPECT_EQ(b->tail, c.head);
        EXPECT_EQ((b->flags & series_flag::middle) != 0, c.offset == -1);
        EXPECT_TRUE(b->flags & series_flag::in_use);
        EXPECT_TRUE(b->flags & series_flag::fresh);
    }
    // The helpers that turn 0 into 16 bytes, and the cell helpers.
    EXPECT_EQ(memory::nodes[memory::alloc_bytes(0)]->capacity, 16u);
    EXPECT_EQ(memory::nodes[memory::alloc_codepoints(0, 4)]->capacity, 16u);
    EXPECT_EQ(memory::nodes[memory::alloc_codepoints(0, 2)]->unit(), 2u);
    SeriesBuf* u = memory::nodes[memory::alloc_cells_unset(3)];
    EXPECT_EQ(u->capacity, 48u);
    for (int i = 0; i < 3; i++) EXPECT_EQ(cells_of(u)[i].type(), TYPE_UNSET);
    SeriesBuf* f = memory::nodes[memory::alloc_bytes_filled(20, 0xAB)];
    for (uint32_t i = 0; i < f->capacity; i++) ASSERT_EQ(f->data()[i], 0xAB);
    // Sizes that do not fit 31 bits are refused as no-memory, not wrapped, and take no node.
    for (auto [units_, unit_] : {std::pair{-1, 1}, {0x40000000, 16}, {0x7FFFFFFF, 1}}) {
        int32_t units = units_;
        int unit = unit_;  // lambdas below capture these (clang 14 cannot capture bindings)
        // The node the allocation takes first (the head of the free list) goes back to the list
        // (or to a later allocation), never stays in use without a buffer.
        Node probe = memory::alloc_node();
        memory::free_node(probe);
        auto e = test_support::fired([&] { memory::alloc_series(units, unit, 0); });
        EXPECT_NE(memory::nodes[probe], nullptr);
        ASSERT_TRUE(e.has_value()) << units;
        EXPECT_TRUE(e->id == err::internal::no_memory);
        e = test_support::fired([&] { memory::alloc_fixed_series(units, unit, 0); });
        ASSERT_TRUE(e.has_value()) << units;
        EXPECT_TRUE(e->id == err::internal::no_memory);
    }
}

TEST(Memory, ExpansionKeepsTheDataAndStartsAtTheDataStart) {
    NoCollection off;
    // The head had moved past the data start: the new buffer has the same used bytes at its
    // own data start.
    Node n = bytes_of("0123456789abcdef");
    SeriesBuf* old = memory::nodes[n];
    old->head = 4;
    old->tail = 12;
    SeriesBuf* grown = memory::expand_series(n, 0);
    EXPECT_EQ(memory::nodes[n], grown);
    EXPECT_EQ(grown->capacity, 32u);
    EXPECT_EQ(grown->head, 0u);
    EXPECT_EQ(grown->tail, 8u);
    EXPECT_EQ(text_of(n), "456789ab");
    EXPECT_EQ(grown->node, n);
    // The abandoned buffer is marked as such.
    EXPECT_EQ(old->node, 0u);
    EXPECT_FALSE(old->flags & series_flag::in_use);
    // An explicit size, and bytes past the old capacity filled.
    SeriesBuf* filled = memory::expand_series_filled(n, 64, '-');
    EXPECT_EQ(filled->capacity, 64u);
    EXPECT_EQ(text_of(n), "456789ab");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(filled->data()) + 32, 32), std::string(32, '-'));
    // Units other than bytes keep their unit, and a buffer of capacity 0 can grow.
    Node wide = memory::alloc_series(2, 8, 0);
    EXPECT_EQ(memory::realloc_series(wide, 0)->capacity, 32u);
    EXPECT_EQ(memory::nodes[wide]->unit(), 8u);
    Node empty = memory::alloc_series(0, 1, 0);
    EXPECT_GT(memory::expand_series(empty, 0)->capacity, 0u);
}

TEST(Memory, CopiesOfWholeSeriesAndParts) {
    NoCollection off;
    Node n = bytes_of("abcdef");
    memory::nodes[n]->head = 1;
    series::set_flags(n, 0x00040000 | series_flag::owned);
    Node whole = memory::copy_series(n);
    SeriesBuf* c = memory::nodes[whole];
    EXPECT_EQ(c->capacity, memory::nodes[n]->capacity);
    EXPECT_EQ(c->unit(), 1u);
    EXPECT_EQ(text_of(whole), "bcdef");
    EXPECT_TRUE(c->flags & 0x00040000);          // the owner's bits come along
    EXPECT_FALSE(c->flags & series_flag::owned);  // the ownership does not
    EXPECT_EQ(c->node, whole);
    struct Case {
        int32_t offset, length;
        const char* text;
    };
    // Offsets count from the head; parts reaching outside the data are cut to it.
    const Case cases[] = {{1, 3, "cde"}, {0, 5, "bcdef"}, {3, 10, "ef"}, {-2, 2, "bc"}, {9, 2, ""}, {2, -1, ""}};
    for (const Case& k : cases) {
        Node part = series::copy_part(n, k.offset, k.length);
        EXPECT_EQ(text_of(part), k.text) << k.offset << "," << k.length;
        EXPECT_FALSE(memory::nodes[part]->flags & series_flag::owned);
    }
    // Parts of 8-byte units.
    Node wide = memory::alloc_series(4, 8, 0);
    SeriesBuf* w = memory::nodes[wide];
    for (uint64_t i = 0; i < 4; i++) std::memcpy(w->data() + i * 8, &i, 8);
    w->tail = 32;
    Node part = series::copy_part(wide, 1, 2);
    SeriesBuf* p = memory::nodes[part];
    EXPECT_EQ(p->unit(), 8u);
    EXPECT_EQ(p->used_bytes(), 16u);
    uint64_t first = 0, second = 0;
    std::memcpy(&first, p->data(), 8);
    std::memcpy(&second, p->data() + 8, 8);
    EXPECT_EQ(first, 1u);
    EXPECT_EQ(second, 2u);
}

TEST(Memory, NodesComeFromTheFreeList) {
    Node a = memory::alloc_node();
    NodeFrame* f = memory::frame_of_node(a);
    ASSERT_NE(f, nullptr);
    uint32_t in_use = f->in_use;
    memory::free_node(a);
    EXPECT_EQ(f->in_use, in_use - 1);
    EXPECT_FALSE(memory::node_in_use(a));
    // The node freed last is the first given out again.
    Node b = memory::alloc_node();
    EXPECT_EQ(b, a);
    EXPECT_EQ(f->in_use, in_use);
    memory::free_node(b);
}

TEST(Memory, ReleaseAllReturnsEveryFrame) {
    NoCollection off;
    ChildResult r = in_child([] {
        memory::alloc_series(3 << 20, 1, 0);  // a big region among the frames
        memory::release_all_frames();
        print_line({Typed::logic(memory::state.series_first == nullptr), Typed::byte(' '),
                    Typed::logic(memory::state.series_last == nullptr), Typed::byte(' '),
                    Typed::logic(memory::state.big_first == nullptr), Typed::byte(' '),
                    Typed::integer(static_cast<int64_t>(memory::state.total))});
        runtime::quit(0);
    });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "true true true 0\n");
}
