#include "datatypes/ownership.h"

#include <gtest/gtest.h>

#include "datatypes/object.h"
#include "tests/support/errors.h"
#include "tests/support/value_builders.h"

namespace {

using namespace tv;

class Ownership : public testing::Test {
protected:
    void SetUp() override { install_stand_ins(); }
    // An object whose events are set, so that its records count as a handler owner.
    static Cell owner_object() {
        Cell o;
        object::make_at(&o, 2);
        tv::hold(o);
        return o;
    }
};

TEST_F(Ownership, FirstOwnerStays) {
    Cell a = owner_object(), b = owner_object();
    Cell s = str("owned"), wa = wrd("fa"), wb = wrd("fb");
    ownership::set(&s, &a, &wa);
    ownership::set(&s, &b, &wb);
    Cell* owner = ownership::owner_of(s.node());
    ASSERT_NE(owner, nullptr);
    EXPECT_EQ(owner->data1, a.data1);
    EXPECT_TRUE(ownership::owned_q(&s));
    ownership::unbind(&s);
    EXPECT_EQ(ownership::owner_of(s.node()), nullptr);
    EXPECT_FALSE(ownership::owned_q(&s));
}

TEST_F(Ownership, WalksNestedSeriesOnce) {
    Cell o = owner_object();
    Cell inner = blk({str("deep")});
    Cell outer = blk({inner, integer(1)});
    block::append_cell(outer.node(), &outer);  // contains itself
    Cell w = wrd("field");
    ownership::set(&outer, &o, &w);
    EXPECT_TRUE(ownership::owned_q(&outer));
    EXPECT_TRUE(ownership::owned_q(&inner));
    Cell deep = at(inner, 0);
    EXPECT_TRUE(ownership::owned_q(&deep));
    EXPECT_EQ(cycles::depth(), 0);
    ownership::unbind(&outer);
    EXPECT_FALSE(ownership::owned_q(&deep));
    EXPECT_EQ(cycles::depth(), 0);
}

TEST_F(Ownership, SubObjectsLendTheirFieldWords) {
    Cell owner = owner_object();
    Cell sub;
    object::make_at(&sub, 2);
    tv::hold(sub);
    Cell sw = wrd("sub-field"), text = str("in sub");
    context::set_or_add(sub.data1, &sw, &text);
    context::set_or_add(sub.data1, &sw, &text);
    Cell w = wrd("outer-field");
    ownership::set(&sub, &owner, &w);
    Cell held = context::values(sub.data1)[0];
    Cell* rec = ownership::owner_of(held.node());
    ASSERT_NE(rec, nullptr);
    EXPECT_EQ(rec->data1, owner.data1);
    EXPECT_EQ(mold(rec[1]), "sub-field");
}

TEST_F(Ownership, CheckCallsOnlyOwnersWithHandlers) {
    Cell o = owner_object();
    Cell s = blk({integer(1)}), w = wrd("f");
    ownership::set(&s, &o, &w);
    // No events on the owner: nothing to call.
    EXPECT_FALSE(ownership::check(&s, ownership::APPEND, nullptr, 0, 1));
    Cell loose = blk({});
    EXPECT_FALSE(ownership::check(&loose, ownership::APPEND, nullptr, 0, 1));
    Cell i = integer(1);
    EXPECT_FALSE(ownership::check(&i, ownership::APPEND, nullptr, 0, 1));
    // Events without an on-deep-change* handler: still nothing.
    Node info = tv::hold_node(object::make_owner_info(0, 0, -1, 0, -1, 0));
    o.data3 = info;
    *context::owner_of(o.data1) = o;
    EXPECT_FALSE(ownership::check(&s, ownership::APPEND, nullptr, 0, 1));
}

TEST_F(Ownership, EventWords) {
    EXPECT_EQ(mold(wrd("put-ed")), "put-ed");
    Cell w;
    word::make_global(&w, ownership::symbol_of(ownership::SWAPED));
    EXPECT_EQ(mold(w), "swaped");
    word::make_global(&w, ownership::symbol_of(ownership::RANDOMIZED));
    EXPECT_EQ(mold(w), "randomized");
}

}  // namespace
