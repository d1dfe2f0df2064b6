#include "runtime/externals.h"

#include <gtest/gtest.h>

#include <map>

namespace {

std::map<externals::Handle, int> released;
void release_image(externals::Handle h) { released[h]++; }

class Externals : public ::testing::Test {
protected:
    void SetUp() override {
        externals::init();
        released.clear();
        kind = externals::register_kind("image", release_image);
    }
    int32_t kind = 0;
};

TEST_F(Externals, SweepReleasesUnreachedRecordsOnce) {
    int32_t live = externals::store(0x1000, kind);
    int32_t dead = externals::store(0x2000, kind);
    int32_t plain = externals::store(0x3000, 0);  // no kind: nothing to release
    for (int cycle = 0; cycle < 3; cycle++) {
        EXPECT_TRUE(externals::mark(live));
        EXPECT_FALSE(externals::mark(live));  // already marked this cycle
        externals::sweep();
    }
    EXPECT_EQ(released[0x2000], 1);
    EXPECT_EQ(released.count(0x1000), 0u);
    EXPECT_EQ(released.count(0x3000), 0u);
    EXPECT_EQ(externals::entry(dead), nullptr);
    EXPECT_EQ(externals::entry(plain), nullptr);
    ASSERT_NE(externals::entry(live), nullptr);
    EXPECT_EQ(externals::entry(live)->kind, static_cast<uint32_t>(kind));  // mark cleared
    EXPECT_EQ(externals::used_count(), 1);
    // Freed records are handed out again.
    int32_t again = externals::store(0x4000, kind);
    EXPECT_TRUE(again == dead || again == plain);
}

TEST_F(Externals, TakingTheLastFreeRecordDoublesTheTable) {
    for (int32_t i = 0; i < 999; i++) ASSERT_EQ(externals::store(i + 1, kind), i);
    EXPECT_EQ(externals::capacity(), 1000);
    EXPECT_EQ(externals::store(5000, kind), 999);
    EXPECT_EQ(externals::capacity(), 2000);
    for (int32_t i = 1000; i < 1500; i++) ASSERT_EQ(externals::store(i + 1, kind), i);
    // Every record survives the move of the table.
    for (int32_t i = 0; i < 999; i++) ASSERT_EQ(externals::entry(i)->handle, externals::Handle(i + 1));
}

TEST_F(Externals, BadIndicesAreRefused) {
    int32_t r = externals::store(0x10, kind);
    for (int32_t bad : {-1, externals::capacity(), 1 << 30, r + 1}) {
        EXPECT_FALSE(externals::mark(bad)) << bad;
        EXPECT_FALSE(externals::remove(bad, true)) << bad;
        EXPECT_FALSE(externals::replace_handle(bad, 0x99)) << bad;
    }
    EXPECT_EQ(externals::store(0x20, 7), -1);  // kind never registered
    EXPECT_TRUE(externals::remove(r, false));
    EXPECT_FALSE(externals::remove(r, true));  // a record is freed once
    EXPECT_TRUE(released.empty());
    EXPECT_EQ(externals::used_count(), 0);
    for (int i = 1; i < externals::kMaxKinds; i++) EXPECT_GT(externals::register_kind("k", nullptr), 0);
    EXPECT_EQ(externals::register_kind("one too many", nullptr), 0);
}

TEST_F(Externals, RemoveReplaceAndWalk) {
    int32_t a = externals::store(0xA, kind);
    int32_t b = externals::store(0xB, kind);
    int32_t c = externals::store(0xC, kind);
    EXPECT_TRUE(externals::replace_handle(b, 0xBB));
    EXPECT_EQ(released[0xB], 1);
    EXPECT_TRUE(externals::replace_handle(b, 0xBB));  // same handle: nothing released
    EXPECT_EQ(released.count(0xBB), 0u);
    EXPECT_TRUE(externals::remove(b, true));  // from the middle of the used list
    EXPECT_EQ(released[0xBB], 1);
    std::map<externals::Handle, int> seen;
    static std::map<externals::Handle, int>* out;
    out = &seen;
    externals::walk(kind, [](int32_t, externals::Handle h) { (*out)[h]++; });
    EXPECT_EQ(seen, (std::map<externals::Handle, int>{{0xA, 1}, {0xC, 1}}));
    EXPECT_TRUE(externals::mark(a, 0xAA));  // marking may carry a new handle
    EXPECT_EQ(externals::entry(a)->handle, externals::Handle(0xAA));
    externals::sweep();
    EXPECT_EQ(released[0xC], 1);
    EXPECT_EQ(externals::entry(c), nullptr);
    EXPECT_STREQ(externals::kind_name(kind), "image");
}

}  // namespace
