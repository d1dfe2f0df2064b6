#include "runtime/slots.h"

#include <gtest/gtest.h>

#include <set>

namespace {

Cell integer(int32_t v) {
    Cell c;
    set_cell(&c, TYPE_INTEGER, static_cast<uint32_t>(v));
    return c;
}

TEST(Slots, FullTableDoublesAndKeepsValues) {
    slots::init();
    for (int32_t i = 1; i <= 100; i++) {
        Cell c = integer(i * 7);
        ASSERT_EQ(slots::store(&c), i);
    }
    EXPECT_EQ(slots::capacity(), 100);
    Cell v = integer(-1);
    EXPECT_EQ(slots::store(&v), 101);
    EXPECT_EQ(slots::capacity(), 200);
    for (int32_t i = 1; i <= 100; i++) ASSERT_EQ(slots::at(i)->i1(), i * 7);
    EXPECT_EQ(slots::store(&v), 102);
    EXPECT_EQ(slots::at(0), nullptr);
    EXPECT_EQ(slots::at(201), nullptr);
}

TEST(Slots, FreedSlotsAreReusedOnce) {
    slots::init();
    Cell v = integer(1);
    int32_t a = slots::store(&v);
    int32_t b = slots::store(&v);
    slots::free(a);
    slots::free(a);  // a second free must not link the slot twice
    slots::free(0);
    slots::free(1000);
    std::set<int32_t> taken;
    for (int i = 0; i < 99; i++) taken.insert(slots::store(&v));
    EXPECT_EQ(taken.size(), 99u);
    EXPECT_TRUE(taken.count(a));
    EXPECT_FALSE(taken.count(b));
    EXPECT_EQ(slots::capacity(), 100);
    // A slot's value may be the table's own cell: it is read before the table grows.
    int32_t c = slots::store(slots::at(b));
    EXPECT_EQ(c, 101);
    EXPECT_EQ(slots::at(c)->i1(), 1);
}

}  // namespace
