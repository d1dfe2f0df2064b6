#include "datatypes/path.h"

#include <gtest/gtest.h>

#include "datatypes/object.h"
#include "tests/support/errors.h"
#include "tests/support/value_builders.h"

namespace {

using namespace tv;

class Paths : public testing::Test {
protected:
    void SetUp() override { install_stand_ins(); }
    static Cell make(int type, const Cell& spec, int action = ACT_MAKE) {
        Cell proto = datatype_of(type), s = spec;
        if (action == ACT_MAKE)
            actions::make(&proto, &s);
        else
            actions::to(&proto, &s);
        return tv::hold(proto);
    }
};

TEST_F(Paths, MakeFromSizesAndBlocks) {
    Cell p0 = make(TYPE_PATH, integer(0));
    EXPECT_EQ(p0.type(), TYPE_PATH);
    EXPECT_EQ(length(p0), 0);
    Cell p2 = make(TYPE_PATH, number(2.9));
    EXPECT_EQ(length(p2), 0);
    EXPECT_GE(memory::nodes[p2.node()]->capacity, 32u);
    Cell s3 = make(TYPE_SET_PATH, integer(3));
    EXPECT_EQ(s3.type(), TYPE_SET_PATH);
    EXPECT_EQ(length(make(TYPE_PATH, integer(-5))), 0);
    EXPECT_EQ(length(make(TYPE_PATH, integer(2000000000))), 0);

    for (const Cell& bad : {str("a/b"), number(1e300), number(0.0 / 0.0)})
        EXPECT_TRUE(is_error(catch_error([&] { make(TYPE_PATH, bad); }), err::script::bad_make_arg)) << mold(bad);

    Cell b = blk({wrd("a"), wrd("b")});
    Cell g = make(TYPE_GET_PATH, b, ACT_TO);
    EXPECT_EQ(mold(g), ":a/b");
    EXPECT_NE(g.node(), b.node());
    Cell obj;
    object::make_at(&obj, 1);
    tv::hold(obj);
    Cell one = make(TYPE_PATH, obj, ACT_TO);
    ASSERT_EQ(length(one), 1);
    EXPECT_EQ(at(one, 0).data1, obj.data1);
}

TEST_F(Paths, TextForms) {
    Cell p = blk({wrd("a"), wrd("b")}, TYPE_PATH);
    EXPECT_EQ(mold(p), "a/b");
    Cell s = p, l = p, g = p;
    s.header = TYPE_SET_PATH;
    l.header = TYPE_LIT_PATH;
    g.header = TYPE_GET_PATH;
    EXPECT_EQ(mold(s), "a/b:");
    EXPECT_EQ(mold(l), "'a/b");
    EXPECT_EQ(mold(g), ":a/b");
    EXPECT_EQ(form(s), "a/b");

    Cell with_text = blk({wrd("f"), str("x y")}, TYPE_PATH);
    EXPECT_EQ(form(with_text), "f/x y");
    EXPECT_EQ(mold(with_text), "f/\"x y\"");

    Cell long_path = blk({wrd("abc"), wrd("def")}, TYPE_PATH);
    EXPECT_EQ(form_part(long_path, 2), "ab");
    EXPECT_EQ(mold_part(long_path, 5), "abc/d");
}

TEST_F(Paths, SelfContainingPathIsWrittenOnce) {
    Cell p = blk({wrd("a")}, TYPE_PATH);
    block::append_cell(p.node(), &p);
    EXPECT_EQ(form(p), "a/...");
    EXPECT_EQ(mold(p), "a/...");
}

TEST_F(Paths, ActionsRefused) {
    Cell p = blk({wrd("b"), wrd("a")}, TYPE_PATH);
    for (int a : {ACT_SORT, ACT_TRIM, ACT_RANDOM}) {
        Cell e = catch_error([&] { act(a, {p}); });
        EXPECT_TRUE(is_error(e, err::script::expect_arg)) << a;
    }
}

}  // namespace
