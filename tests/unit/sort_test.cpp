// Record sorting: order, stability, record widths, input shapes, comparators that move the buffer,
// throw, lie or play an adversary.
#include <gtest/gtest.h>

#include "runtime/collector.h"
#include "tests/support/held.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "../support/fired.h"
#include "runtime/runtime.h"
#include "runtime/sort.h"

using namespace test_support;

namespace {

// A record: a 16-bit key, a 32-bit sequence number, then filler bytes derived from the sequence
// number, so that a record torn or mixed with another is noticed.
struct Ctx {
    uint64_t calls = 0;
    std::function<void()> hook;  // runs inside the comparator, after the records were read
    bool reverse = false;
};

uint16_t key_of(const uint8_t* r) {
    uint16_t k;
    std::memcpy(&k, r, 2);
    return k;
}

int32_t compare_keys(const uint8_t* a, const uint8_t* b, intptr_t op, int32_t) {
    auto* c = reinterpret_cast<Ctx*>(op);
    int32_t ka = key_of(a), kb = key_of(b);
    c->calls++;
    if (c->hook) c->hook();
    return c->reverse ? kb - ka : ka - kb;
}

uint8_t filler(uint32_t seq, uint32_t i) { return static_cast<uint8_t>(seq * 31 + i * 7 + 1); }

struct Records {
    Node node;
    uint32_t offset;  // records start this many bytes into the buffer
    uint32_t count;
    uint32_t width;

    Records(const std::vector<uint16_t>& keys, uint32_t w, uint32_t off = 16)
        : offset(off), count(uint32_t(keys.size())), width(w) {
        node = tv::hold_node(memory::alloc_series(int32_t(off + keys.size() * w + 16), 1, 0));
        for (uint32_t s = 0; s < count; s++) {
            uint8_t* r = at(s);
            std::memcpy(r, &keys[s], 2);
            std::memcpy(r + 2, &s, 4);
            for (uint32_t i = 6; i < w; i++) r[i] = filler(s, i);
        }
    }
    uint8_t* at(uint32_t i) const { return memory::nodes[node]->data() + offset + size_t(i) * width; }
    uint32_t seq(uint32_t i) const {
        uint32_t s;
        std::memcpy(&s, at(i) + 2, 4);
        return s;
    }

    // Every record once and intact; ordered; equal keys in input order when stable.
    ::testing::AssertionResult valid(const std::vector<uint16_t>& keys, bool ordered, bool stable, bool reverse = false) const {
        std::vector<bool> seen(count);
        for (uint32_t i = 0; i < count; i++) {
            uint32_t s = seq(i);
            if (s >= count || seen[s]) return ::testing::AssertionFailure() << "record " << s << " lost or doubled";
            seen[s] = true;
            if (key_of(at(i)) != keys[s]) return ::testing::AssertionFailure() << "record " << s << " torn";
            for (uint32_t k = 6; k < width; k++)
                if (at(i)[k] != filler(s, k)) return ::testing::AssertionFailure() << "record " << s << " torn";
            if (!ordered || i == 0) continue;
            int a = key_of(at(i - 1)), b = key_of(at(i));
            if (reverse) std::swap(a, b);
            if (a > b) return ::testing::AssertionFailure() << "out of order at " << i;
            if (stable && a == b && seq(i - 1) > s) return ::testing::AssertionFailure() << "unstable at " << i;
        }
        return ::testing::AssertionSuccess();
    }
};

using Sort = void (*)(const Records&, Ctx&);
void run_stable(const Records& r, Ctx& c) {
    sort::stable(r.node, r.offset, r.count, r.width, reinterpret_cast<intptr_t>(&c), 0, compare_keys);
}
void run_qsort(const Records& r, Ctx& c) {
    sort::qsort(r.node, r.offset, r.count, r.width, reinterpret_cast<intptr_t>(&c), 0, compare_keys);
}

std::vector<uint16_t> shape(const std::string& name, uint32_t n, std::mt19937& rng) {
    std::vector<uint16_t> k(n);
    for (uint32_t i = 0; i < n; i++) {
        if (name == "random") k[i] = uint16_t(rng());
        else if (name == "few") k[i] = uint16_t(rng() % 5);
        else if (name == "sorted") k[i] = uint16_t(i * 60000ull / std::max(n, 1u));
        else if (name == "reversed") k[i] = uint16_t(60000 - i * 60000ull / std::max(n, 1u));
        else if (name == "equal") k[i] = 7;
        else if (name == "organ") k[i] = uint16_t(std::min(i, n - i));
        else if (name == "saw") k[i] = uint16_t(i % 37);
        else if (name == "runs") k[i] = uint16_t((i / 50) % 2 ? 1000 - i % 50 / 3 : i % 50);
        else k[i] = uint16_t(i * 60000ull / std::max(n, 1u));  // nearly sorted, see below
    }
    if (name == "nearly" || name == "nearly-reversed") {
        for (uint32_t s = 0; s < n / 50 + 1 && n > 1; s++) std::swap(k[rng() % n], k[rng() % n]);
        if (name == "nearly-reversed") std::reverse(k.begin(), k.end());
    }
    return k;
}

}  // namespace

TEST(Sort, OrdersEveryShapeSizeAndWidth) {
    std::mt19937 rng(12345);
    const char* shapes[] = {"random", "few", "sorted", "reversed", "equal", "organ", "saw", "runs", "nearly", "nearly-reversed"};
    const uint32_t sizes[] = {0, 1, 2, 3, 7, 8, 23, 24, 25, 100, 511, 512, 513, 1000, 4097, 20000};
    for (const char* name : shapes) {
        for (uint32_t n : sizes) {
            auto keys = shape(name, n, rng);
            for (uint32_t width : {6u, 16u, 32u, 48u}) {
                if (n > 5000 && width != 16) continue;
                for (bool stable : {true, false}) {
                    Records r(keys, width);
                    Ctx c;
                    (stable ? run_stable : run_qsort)(r, c);
                    ASSERT_TRUE(r.valid(keys, true, stable))
                        << name << " n=" << n << " width=" << width << (stable ? " stable" : " qsort");
                }
            }
        }
    }
}

TEST(Sort, ReverseComparatorAndStabilityAcrossDescendingRuns) {
    // Descending runs with equal keys inside: the stable sort must not reverse the equal ones.
    std::vector<uint16_t> keys;
    for (int block = 0; block < 40; block++)
        for (int k = 9; k >= 0; k--) keys.insert(keys.end(), {uint16_t(k), uint16_t(k)});
    Records r(keys, 16);
    Ctx c;
    c.reverse = true;
    run_stable(r, c);
    EXPECT_TRUE(r.valid(keys, true, true, true));
    Records q(keys, 16);
    run_qsort(q, c);
    EXPECT_TRUE(q.valid(keys, true, false, true));
}

TEST(Sort, OrderedInputCostsOnePass) {
    for (Sort run : {run_stable, run_qsort}) {
        for (uint32_t n : {0u, 1u}) {
            Records r(std::vector<uint16_t>(n, 1), 16);
            Ctx c;
            run(r, c);
            EXPECT_EQ(c.calls, 0u);
        }
        std::vector<uint16_t> up(1000), down(1000);
        for (uint16_t i = 0; i < 1000; i++) up[i] = i, down[i] = uint16_t(1000 - i);
        for (const auto& keys : {up, down}) {
            Records r(keys, 16);
            Ctx c;
            run(r, c);
            EXPECT_TRUE(r.valid(keys, true, true));
            EXPECT_EQ(c.calls, 999u);
        }
    }
}

TEST(Sort, ComparatorMovingTheBuffer) {
    // The comparator grows the buffer now and then (as script code that allocates may) and
    // scribbles over the abandoned copy: a sort that kept an old address writes into the
    // scribbled copy or reads garbage from it.
    std::mt19937 rng(7);
    for (Sort run : {run_stable, run_qsort}) {
        for (const char* name : {"random", "few", "nearly"}) {
            auto keys = shape(name, 600, rng);
            Records r(keys, 16);
            Ctx c;
            c.hook = [&] {
                if (c.calls % 7) return;
                SeriesBuf* old = memory::nodes[r.node];
                uint32_t before = collector::cycles;
                memory::expand_series(r.node, old->capacity + 16);
                // Unless a collection has already reclaimed it, the abandoned copy is still there.
                if (collector::cycles == before) memory::poison(old->data(), old->capacity);
            };
            run(r, c);
            ASSERT_TRUE(r.valid(keys, true, run == run_stable)) << name;
        }
    }
}

TEST(Sort, ComparatorReorderingTheRecordsLosesNone) {
    // Script code run by the comparator may reverse or shuffle the series being sorted; the
    // order that comes out is then anyone's, but every record must still be there once.
    std::mt19937 rng(17);
    for (Sort run : {run_stable, run_qsort}) {
        for (uint32_t n : {60u, 1000u}) {
            auto keys = shape("random", n, rng);
            Records r(keys, 16);
            Ctx c;
            c.hook = [&] {
                if (c.calls % 5) return;
                for (uint32_t i = 0, j = r.count - 1; i < j; i++, j--) sort::swap(r.at(i), r.at(j), r.width, false);
            };
            run(r, c);
            ASSERT_TRUE(r.valid(keys, false, false)) << "n=" << n << (run == run_stable ? " stable" : " qsort");
        }
    }
}

TEST(Sort, ComparatorThrowingLeavesEveryRecord) {
    std::mt19937 rng(99);
    for (Sort run : {run_stable, run_qsort}) {
        for (uint32_t n : {30u, 1000u}) {
            auto keys = shape("random", n, rng);
            Ctx full;
            run(Records(keys, 48), full);
            // Throw at points spread over the whole sort: inside runs, merges and partitions.
            for (uint64_t k = 1; k < 40; k++) {
                uint64_t at = full.calls * k / 40 + 1;
                Records r(keys, 48);
                Ctx c;
                c.hook = [&] {
                    if (c.calls == at) runtime::throw_code(codes::brk);
                };
                bool thrown = false;
                try {
                    run(r, c);
                } catch (const Throw& t) {
                    thrown = t.code == codes::brk;
                }
                EXPECT_TRUE(thrown);
                ASSERT_TRUE(r.valid(keys, false, false)) << "n=" << n << " throw at " << at;
            }
        }
    }
}

TEST(Sort, ComparatorShrinkingTheBufferIsAnError) {
    for (Sort run : {run_stable, run_qsort}) {
        std::mt19937 rng(3);
        auto keys = shape("random", 500, rng);
        Records r(keys, 16);
        Ctx c;
        c.hook = [&] {
            if (c.calls == 100) memory::realloc_series(r.node, 16);
        };
        auto f = fired([&] { run(r, c); });
        ASSERT_TRUE(f);
        EXPECT_TRUE(f->id == err::script::past_end);
    }
}

TEST(Sort, InconsistentComparatorStillEnds) {
    std::mt19937 rng(5);
    for (Sort run : {run_stable, run_qsort}) {
        auto keys = shape("random", 5000, rng);
        Records r(keys, 16);
        struct Liar {
            static int32_t cmp(const uint8_t*, const uint8_t*, intptr_t op, int32_t) {
                auto* g = reinterpret_cast<std::mt19937*>(op);
                return int32_t((*g)() % 3) - 1;
            }
        };
        std::mt19937 g(11);
        if (run == run_stable)
            sort::stable(r.node, r.offset, r.count, r.width, reinterpret_cast<intptr_t>(&g), 0, Liar::cmp);
        else
            sort::qsort(r.node, r.offset, r.count, r.width, reinterpret_cast<intptr_t>(&g), 0, Liar::cmp);
        EXPECT_TRUE(r.valid(keys, false, false));
    }
}

TEST(Sort, AdversaryCannotForceQuadraticWork) {
    // McIlroy's adversary decides the order of values only when a comparison forces it,
    // steering any quicksort toward its worst case.
    struct Adversary {
        std::vector<uint32_t> value;
        uint32_t gas, solid = 0, candidate = 0;
        uint64_t calls = 0;
        static int32_t cmp(const uint8_t* a, const uint8_t* b, intptr_t op, int32_t) {
            auto* s = reinterpret_cast<Adversary*>(op);
            uint32_t x, y;
            std::memcpy(&x, a, 4);
            std::memcpy(&y, b, 4);
            s->calls++;
            if (s->value[x] == s->gas && s->value[y] == s->gas) s->value[x == s->candidate ? x : y] = s->solid++;
            if (s->value[x] == s->gas)
                s->candidate = x;
            else if (s->value[y] == s->gas)
                s->candidate = y;
            return s->value[x] < s->value[y] ? -1 : s->value[x] > s->value[y] ? 1 : 0;
        }
    };
    const uint32_t n = 20000;
    for (bool stable : {true, false}) {
        Adversary adv;
        adv.gas = n;
        adv.value.assign(n, n);
        Node node = tv::hold_node(memory::alloc_series(int32_t(n * 16), 1, 0));
        for (uint32_t i = 0; i < n; i++) std::memcpy(memory::nodes[node]->data() + i * 16, &i, 4);
        if (stable)
            sort::stable(node, 0, n, 16, reinterpret_cast<intptr_t>(&adv), 0, Adversary::cmp);
        else
            sort::qsort(node, 0, n, 16, reinterpret_cast<intptr_t>(&adv), 0, Adversary::cmp);
        EXPECT_LT(adv.calls, uint64_t(8 * n * std::log2(double(n)))) << (stable ? "stable" : "qsort");
        for (uint32_t i = 1; i < n; i++) {
            uint32_t a, b;
            std::memcpy(&a, memory::nodes[node]->data() + (i - 1) * 16, 4);
            std::memcpy(&b, memory::nodes[node]->data() + i * 16, 4);
            ASSERT_LE(adv.value[a], adv.value[b]);
        }
    }
}

TEST(Sort, CellTemporaryAreaIsVisibleToTheCollector) {
    std::mt19937 rng(1);
    auto keys = shape("random", 200, rng);
    Records r(keys, 16);
    static size_t seen_cells;
    auto mark = [](Cell* first, Cell* end) { seen_cells = std::max(seen_cells, size_t(end - first)); };
    Ctx c;
    c.hook = [&] { sort::mark_temp_areas(mark); };
    seen_cells = 0;
    sort::stable(r.node, r.offset, r.count, r.width, reinterpret_cast<intptr_t>(&c), 0, compare_keys, true);
    EXPECT_EQ(seen_cells, 100u);
    seen_cells = 0;
    sort::mark_temp_areas(mark);  // none once the sort is over
    EXPECT_EQ(seen_cells, 0u);
}
