#include "runtime/arrays.h"

#include <gtest/gtest.h>

#include <cstring>

#include "runtime/fire.h"
#include "runtime/runtime.h"
#include "tests/support/errors.h"

namespace {

TEST(Arrays, LengthTailAndClear) {
    Node a = tv::hold_node(array::make(50, 4));
    EXPECT_EQ(array::length_q(a), 0);
    EXPECT_EQ(array::flags(a) & series_flag::unit_mask, 4u);
    for (int32_t i = 0; i < 5; i++) array::append_int(a, i * 10);
    array::set_tail_at(a, 3);
    EXPECT_EQ(array::length_q(a), 2);
    array::set_tail_at(a, 9);  // past the tail: nothing to cut
    EXPECT_EQ(array::length_q(a), 2);
    array::set_tail_at(a, 1);
    EXPECT_EQ(array::length_q(a), 0);
    array::append_int(a, 7);
    array::clear(a);
    EXPECT_EQ(array::length_q(a), 0);
}

TEST(Arrays, GrowthKeepsElementsAndCopiesAreIndependent) {
    Node a = tv::hold_node(array::make(0, 4));
    for (int32_t i = 0; i < 1000; i++) array::append_int(a, i * 3);
    for (int32_t i = 0; i < 1000; i++) ASSERT_EQ(array::pick_int(a, i + 1), i * 3);
    Node b = tv::hold_node(array::copy(a));
    array::poke_int(b, 1, -1);
    EXPECT_EQ(array::pick_int(a, 1), 0);
    EXPECT_EQ(array::pick_int(b, 1), -1);
    EXPECT_EQ(array::length_q(b), 1000);

    Node bytes = tv::hold_node(array::make(2, 1));
    const char text[] = "growable";
    uint8_t* copy = array::append_bytes(bytes, text, 8);
    EXPECT_EQ(std::memcmp(copy, text, 8), 0);
    array::append_byte(bytes, '!');
    EXPECT_EQ(array::length_q(bytes), 9);
    EXPECT_EQ(array::pick_byte(bytes, 9), '!');
}

TEST(Arrays, SearchAnswersByteOffsets) {
    Node a = tv::hold_node(array::make(4, 4));
    for (uint32_t v : {5u, 6u, 7u, 6u}) array::append_ptr(a, v);
    EXPECT_EQ(array::find_int(a, 5), 0);
    EXPECT_EQ(array::find_int(a, 6), 4);
    EXPECT_EQ(array::find_ptr(a, 7), 8);
    EXPECT_EQ(array::find_int(a, 9), -1);
    EXPECT_EQ(array::remove_ptr(a, 99), -1);
    EXPECT_EQ(array::length_q(a), 4);
    EXPECT_EQ(array::remove_ptr(a, 6), 4);
    EXPECT_EQ(array::length_q(a), 3);
    EXPECT_EQ(array::pick_ptr(a, 2), 7u);
    EXPECT_EQ(array::pick_ptr(a, 3), 6u);
    array::remove_at(a, 4, 100);  // clamped to the tail
    EXPECT_EQ(array::length_q(a), 1);
}

TEST(Arrays, InsertMovesTheRestUp) {
    Node a = tv::hold_node(array::make(2, 4));
    array::append_int(a, 1);
    array::append_int(a, 3);
    array::insert_int(a, 2, 1);  // no room left: the buffer expands first
    array::insert_int(a, 0, 0);
    array::insert_int(a, 4, 99);  // past the end appends
    for (int32_t i = 0; i < 5; i++) EXPECT_EQ(array::pick_int(a, i + 1), i);
}

TEST(Arrays, PositionsOutsideTheArrayAreRefused) {
    Node a = tv::hold_node(array::make(8, 4));
    array::append_int(a, 1);
    for (int32_t bad : {0, 2, -1}) {
        Cell e = catch_error([&] { array::pick_int(a, bad); });
        EXPECT_TRUE(is_error(e, err::script::out_of_range)) << bad;
    }
    EXPECT_EQ(catch_error([&] { array::poke_int(a, 2, 5); }).type(), TYPE_ERROR);
    EXPECT_EQ(array::length_q(a), 1);
}

}  // namespace
