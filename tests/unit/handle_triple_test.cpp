// handle! and triple!: their constructors, text forms and comparison.
#include <gtest/gtest.h>

#include "datatypes/block.h"
#include "datatypes/handle.h"
#include "datatypes/triple.h"
#include "tests/support/kel_cases.h"
#include "tests/support/value_builders.h"

using kel_test::expect_cases;

TEST(Handle, FormMoldAndCompare) {
    Cell h;
    handle::make_at(&h, 255, handle::kWindow);
    EXPECT_EQ(h.type(), TYPE_HANDLE);
    EXPECT_EQ(h.i3(), -1);
    EXPECT_EQ(tv::form(h), "000000FFh");
    EXPECT_EQ(tv::mold(h), "handle!");
    EXPECT_EQ(tv::mold(h, false, true), "#[handle! 000000FFh window]");
    handle::make_at(&h, -2, handle::kNone);
    EXPECT_EQ(tv::form(h), "FFFFFFFEh");
    EXPECT_EQ(tv::mold(h, false, true), "#[handle! FFFFFFFEh]");
    handle::make_at(&h, 1, 99);  // a class without a name
    EXPECT_EQ(tv::mold(h, false, true), "#[handle! 00000001h]");
    for (int32_t cls = handle::kNull; cls <= handle::kRichText; cls++) EXPECT_NE(handle::class_name(cls), nullptr);

    expect_cases({
        {"make handle! 0", "handle!"},
        {"mold/all make handle! 16", "\"#[handle! 00000010h]\""},
        {"type? make handle! 0", "handle!"},
        {"(make handle! 1) = make handle! 1", "true"},
        {"(make handle! -1) < make handle! 1", "true"},
        // Any other value is unequal, never incomparable.
        {"(make handle! 1) = 1", "false"},
        {"(make handle! 1) <> 1", "true"},
        {"make handle! \"x\"", "!script/bad-make-arg"},
    });
}

TEST(Handle, Constructors) {
    Cell b = tv::blk({});
    handle::make_in(b.node(), 7, handle::kFont);
    ASSERT_EQ(tv::length(b), 1);
    Cell in_block = tv::at(b, 0);
    EXPECT_EQ(handle::value_of(&in_block), 7);
    EXPECT_EQ(handle::class_of(&in_block), handle::kFont);
    Cell* top = stack::top;
    Cell* pushed = handle::push_empty();
    EXPECT_EQ(pushed->type(), TYPE_HANDLE);
    EXPECT_EQ(handle::value_of(pushed), 0);
    EXPECT_EQ(handle::class_of(pushed), 0);
    stack::top = top;
}

TEST(Triple, FormsAsMake) {
    Cell t;
    triple::make_at(&t, 1, -2, 3);
    EXPECT_EQ(tv::mold(t), "make triple! [1 -2 3]");
    EXPECT_EQ(tv::form(t), "make triple! [1 -2 3]");
    triple::make_at(&t, INT32_MIN, 0, INT32_MAX);
    EXPECT_EQ(tv::mold(t), "make triple! [-2147483648 0 2147483647]");
    EXPECT_EQ(tv::mold_part(t, 15), "make triple! [-");
}
