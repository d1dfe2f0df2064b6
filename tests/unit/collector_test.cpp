// The collector: what it keeps, what it reclaims, and the state it leaves memory in.
#include "runtime/collector.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/string.h"
#include "runtime/externals.h"
#include "runtime/stack.h"
#include "tests/support/child.h"
#include "tests/support/fired.h"
#include "tests/support/held.h"

namespace {

Node text_node(const std::string& s) {
    Cell c;
    string::load_at(&c, s);
    return c.node();
}

std::string text_of(Node n) {
    Cell c;
    set_cell(&c, TYPE_STRING, 0, n);
    return string::to_utf8(&c);
}

int series_frames() {
    int n = 0;
    for (SeriesFrame* f = memory::state.series_first; f; f = f->next) n++;
    return n;
}

int big_regions() {
    int n = 0;
    for (BigRegion* r = memory::state.big_first; r; r = r->next) n++;
    return n;
}

// Every buffer of the frames and big regions, and the fixed series the run-time keeps.
std::vector<SeriesBuf*> all_buffers() {
    std::vector<SeriesBuf*> out;
    for (SeriesFrame* f = memory::state.series_first; f; f = f->next)
        for (uint8_t* p = f->data(); p < f->free;) {
            auto* b = reinterpret_cast<SeriesBuf*>(p);
            out.push_back(b);
            p += b->capacity + sizeof(SeriesBuf);
        }
    for (BigRegion* r = memory::state.big_first; r; r = r->next) out.push_back(r->buffer());
    out.push_back(memory::nodes[stack::data_node]);
    out.push_back(memory::nodes[stack::frame_node]);
    return out;
}

TEST(Collector, ReachedSeriesSurviveWithTheirContentAndTheRestIsReclaimed) {
    Node kept = block::make_node(4);
    collector::NodeRoot keep_block(&kept);
    for (int i = 0; i < 200; i++) {
        Cell s;
        string::load_at(&s, "kept " + std::to_string(i));
        block::append_cell(kept, &s);
    }
    // Made after everything kept, so no kept series can have taken over a dead one's node.
    std::vector<Node> garbage;
    for (int i = 0; i < 200; i++) {
        garbage.push_back(text_node("garbage " + std::to_string(i)));
        garbage.push_back(block::make_node(8));
    }
    collector::do_cycle();
    for (Node g : garbage) EXPECT_FALSE(memory::node_in_use(g) && memory::nodes[g]->node == g) << g;
    ASSERT_EQ(block::node_length(kept), 200);
    for (int i = 0; i < 200; i++) {
        Cell s = *block::node_cell(kept, i);
        EXPECT_EQ(text_of(s.node()), "kept " + std::to_string(i));
    }
    // The layout is whole: every buffer in use is reached back from its node.
    const char* problem = nullptr;
    EXPECT_TRUE(memory::verify(&problem)) << problem;
}

TEST(Collector, GuardsKeepCellsAndBareNodesOnlyWhileTheyLive) {
    Node inner = 0;
    {
        Cell value;
        string::load_at(&value, "guarded value");
        collector::Root keep_value(&value);
        Node bare = text_node("guarded node");
        collector::NodeRoot keep_bare(&bare);
        collector::do_cycle();
        EXPECT_EQ(text_of(value.node()), "guarded value");
        EXPECT_EQ(text_of(bare), "guarded node");
        inner = bare;
    }
    collector::do_cycle();
    EXPECT_FALSE(memory::node_in_use(inner) && memory::nodes[inner]->node == inner);
}

TEST(Collector, NoBufferKeepsItsMarkAfterACollection) {
    Node kept = tv::hold_node(block::make_node(2));
    Cell s;
    string::load_at(&s, "marked once");
    block::append_cell(kept, &s);
    collector::do_cycle();
    for (SeriesBuf* b : all_buffers()) EXPECT_FALSE(b->flags & series_flag::mark);
}

TEST(Collector, AnAbandonedBufferIsReclaimedWithoutFreeingItsNode) {
    Node grown = tv::hold_node(text_node("abcdefghijklmnop"));
    collector::do_cycle();  // nothing else dies below
    uint64_t nodes_before = collector::nodes_freed;
    uint64_t bytes_before = collector::bytes_freed;
    uint32_t old_size = memory::nodes[grown]->capacity + sizeof(SeriesBuf);
    memory::expand_series(grown, 64);
    collector::do_cycle();
    EXPECT_EQ(collector::nodes_freed, nodes_before);
    EXPECT_GE(collector::bytes_freed - bytes_before, old_size);
    EXPECT_EQ(text_of(grown), "abcdefghijklmnop");
}

TEST(Collector, WithoutCollectionFramesAreAddedAndRecycleGivesThemBack) {
    collector::do_cycle();
    int frames_before = series_frames();
    size_t total_before = memory::state.total;
    uint32_t cycles_before = collector::cycles;
    collector::enabled = false;
    // Three frames' worth of series that nothing reaches, and one kept at the end.
    for (int i = 0; i < 48; i++) memory::alloc_bytes(128 * 1024);
    Node last = tv::hold_node(text_node("made last"));
    collector::enabled = true;
    EXPECT_EQ(collector::cycles, cycles_before);
    EXPECT_GE(series_frames(), frames_before + 2);
    collector::do_cycle();
    // The survivor moved down into an earlier frame and the emptied frames went back.
    EXPECT_EQ(text_of(last), "made last");
    EXPECT_LE(series_frames(), frames_before + 1);
    if (!collector::torture) {  // torture keeps spare frames of its own
        EXPECT_LE(memory::state.total, total_before + memory::kMaxFrameSize + 8192);
    }
}

// A heap that only grows (nothing becomes garbage) must not be collected at every new frame:
// that makes filling memory quadratic. The room added after each collection follows what lives.
TEST(Collector, AGrowingHeapIsCollectedLessOftenAsItGrows) {
    if (collector::torture) GTEST_SKIP() << "torture collects at every allocation";
    collector::do_cycle();
    Node keep = tv::hold_node(block::make_node(1024));
    uint32_t cycles_before = collector::cycles;
    // 64 MiB of live text in 64 KiB pieces: 32 frames' worth.
    for (int i = 0; i < 1024; i++) {
        Node piece = memory::alloc_bytes(64 * 1024);
        memory::nodes[piece]->tail = memory::nodes[piece]->head + 64 * 1024;
        Cell c;
        set_cell(&c, TYPE_BINARY, 0, piece);
        collector::Root hold_piece(&c);
        block::append_cell(keep, &c);
    }
    EXPECT_LE(collector::cycles - cycles_before, 12u);
}

TEST(Collector, UnreachedBigSeriesGiveTheirRegionBack) {
    collector::do_cycle();
    int regions = big_regions();
    size_t total = memory::state.total;
    Node kept = tv::hold_node(memory::alloc_bytes(3 * 1024 * 1024));
    memory::nodes[kept]->data()[12345] = 0x5A;
    memory::alloc_bytes(3 * 1024 * 1024);  // unreached
    EXPECT_EQ(big_regions(), regions + 2);
    collector::do_cycle();
    EXPECT_EQ(big_regions(), regions + 1);
    EXPECT_EQ(memory::nodes[kept]->data()[12345], 0x5A);
    if (!collector::torture) {
        EXPECT_LT(memory::state.total, total + 4 * 1024 * 1024);
    }
}

int released_count = 0;
void count_release(externals::Handle) { released_count++; }

TEST(Collector, ResourcesOfUnreachedHandlesAreReleasedExactlyOnce) {
    static int32_t kind = externals::register_kind("collector-test", count_release);
    ASSERT_GT(kind, 0);
    released_count = 0;
    // A record is swept at the next collection unless a handle! value reaches it by then, so the
    // blocks come first and the records go into them before anything else allocates.
    Node holder = tv::hold_node(block::make_node(2));
    Node lost = block::make_node(2);
    collector::NodeRoot keep_lost(&lost);
    int32_t live = externals::store(0x1111, kind);
    int32_t dead = externals::store(0x2222, kind);
    Cell h;
    set_cell(&h, TYPE_HANDLE, 0, 0, static_cast<uint32_t>(live));
    block::append_cell(holder, &h);
    set_cell(&h, TYPE_HANDLE, 0, 0, static_cast<uint32_t>(dead));
    block::append_cell(lost, &h);
    lost = 0;
    for (int i = 0; i < 3; i++) collector::do_cycle();
    EXPECT_EQ(released_count, 1);
    EXPECT_EQ(externals::entry(dead), nullptr);
    ASSERT_NE(externals::entry(live), nullptr);
    EXPECT_EQ(externals::entry(live)->handle, externals::Handle(0x1111));
}

TEST(Collector, DeeplyNestedBlocksAreMarkedWithoutNativeRecursion) {
    // Under torture every allocation collects: keep the quadratic cost small.
    const int depth = collector::torture ? 2000 : 300000;
    Cell outer;
    block::make_new(&outer, 1);
    collector::Root keep_outer(&outer);
    Cell at = outer;
    collector::Root keep_at(&at);
    for (int i = 0; i < depth; i++) {
        Cell next;
        block::make_new(&next, 1);
        block::append_cell(at.node(), &next);
        at = next;
    }
    Cell leaf;
    string::load_at(&leaf, "leaf");
    block::append_cell(at.node(), &leaf);
    at = outer;  // only the outermost block is held now
    collector::do_cycle();
    Cell c = outer;
    for (int i = 0; i < depth; i++) c = *block::node_cell(c.node(), 0);
    ASSERT_EQ(c.type(), TYPE_BLOCK);
    EXPECT_EQ(text_of(block::node_cell(c.node(), 0)->node()), "leaf");
}

TEST(Collector, MarkersRunInRegistrationOrderAndCanBeRemoved) {
    static Node owned = 0;
    static std::vector<int>* order = nullptr;
    std::vector<int> seen;
    order = &seen;
    auto first = [] {
        order->push_back(1);
        if (owned) collector::mark_block(&owned);
    };
    auto second = [] { order->push_back(2); };
    collector::add_marker(first);
    collector::add_marker(second);
    owned = block::make_node(2);
    Node probe = owned;
    collector::do_cycle();
    EXPECT_TRUE(memory::node_in_use(probe) && memory::nodes[probe]->node == probe);
    ASSERT_GE(seen.size(), 2u);
    EXPECT_EQ(seen[seen.size() - 2], 1);
    EXPECT_EQ(seen.back(), 2);
    collector::remove_marker(first);
    collector::remove_marker(second);
    seen.clear();
    collector::do_cycle();
    EXPECT_TRUE(seen.empty());
    EXPECT_FALSE(memory::node_in_use(probe) && memory::nodes[probe]->node == probe);
    owned = 0;
}

}  // namespace

namespace {
template <int N>
void marker_number() {}
template <int... N>
void add_markers(std::integer_sequence<int, N...>) {
    (collector::add_marker(&marker_number<N>), ...);
}
}  // namespace

// The marking table is fixed: one callback too many ends the process with a report rather than
// writing past the table.
TEST(Collector, OneMarkerTooManyEndsTheProcess) {
    test_support::ChildResult r = test_support::in_child([] { add_markers(std::make_integer_sequence<int, 101>()); });
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.status, 98);
    EXPECT_NE(r.out.find("*** Runtime Error 98"), std::string::npos) << r.out;
}

// Under torture, a text value naming a series of cells (a stale cell left where the collector
// looks) ends the process at once rather than letting the cells go unwalked and be freed in use.
TEST(Collector, UnderTortureATextCellNamingCellsEndsTheProcess) {
    test_support::ChildResult r = test_support::in_child([] {
        collector::torture = true;
        Cell stale;
        set_cell(&stale, TYPE_STRING, 0, block::make_node(4));
        collector::Root keep(&stale);
        collector::do_cycle();
    });
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.status, 101);
    EXPECT_NE(r.out.find("*** Runtime Error 101"), std::string::npos) << r.out;
}

// A series the system refuses memory for is a language error the script can catch, not the end
// of the process. (AddressSanitizer and ThreadSanitizer reserve their own shadow memory, so an
// address-space limit cannot be set under them.)
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KEL_SHADOW_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define KEL_SHADOW_SANITIZER 1
#endif
#endif
#ifndef KEL_SHADOW_SANITIZER
TEST(Collector, RefusedMemoryForASeriesIsALanguageError) {
    test_support::ChildResult r = test_support::in_child([] {
        rlimit limit{};
        getrlimit(RLIMIT_AS, &limit);
        limit.rlim_cur = 1ull << 30;  // less than the series below asks for
        setrlimit(RLIMIT_AS, &limit);
        auto raised = test_support::fired([] { memory::alloc_series(0x7FFFFFF0 / 16, 16, 0); });
        std::printf("%s\n", raised && raised->id == err::internal::no_memory ? "no-memory" : "other");
        std::fflush(stdout);
        _exit(0);
    });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "no-memory\n");
}
#endif
