// typeset!: the bit layout, members, set operations and text.
#include <gtest/gtest.h>

#include "tests/support/held.h"

#include "datatypes/block.h"
#include "datatypes/symbol.h"
#include "datatypes/typeset.h"
#include "tests/support/values.h"

using namespace test_support;

namespace {

Cell block_of(std::initializer_list<Cell> cells) {
    Cell b;
    block::make_new(&b, 4);
    tv::hold(b);
    for (const Cell& c : cells) block::append_cell(b.node(), &c);
    return b;
}

Cell set_of(std::initializer_list<int> types) {
    Cell ts;
    typeset::make_at(&ts, 0, 0, 0);
    tv::hold(ts);
    for (int t : types) typeset::set(&ts, t);
    return ts;
}

}  // namespace

TEST(Typeset, BitLayout) {
    // Type t is bit 0x80 >> (t & 7) of byte t >> 3, in memory order.
    Cell ts = set_of({TYPE_DATATYPE, TYPE_FILE, TYPE_TIME});
    const auto* bytes = reinterpret_cast<const uint8_t*>(&ts.data1);
    EXPECT_EQ(bytes[0], 0x40);
    EXPECT_EQ(bytes[1], 0x80);
    EXPECT_EQ(bytes[TYPE_TIME >> 3], 0x80 >> (TYPE_TIME & 7));
    EXPECT_EQ(typeset::count(&ts), 3);
    Node b = tv::hold_node(block::make_node(1));
    Cell* any = typeset::make_any_value(b);
    EXPECT_FALSE(typeset::has(any, TYPE_UNSET));
    EXPECT_TRUE(typeset::has(any, TYPE_NONE));
    EXPECT_TRUE(typeset::has(any, TYPE_EVENT));
}

TEST(Typeset, MakeAndMold) {
    Cell ts = act(ACT_MAKE, {type_of(TYPE_TYPESET), block_of({type_of(TYPE_FLOAT), type_of(TYPE_INTEGER)})});
    ASSERT_EQ(ts.type(), TYPE_TYPESET);
    EXPECT_EQ(typeset::count(&ts), 2);
    EXPECT_EQ(molded(ts), "make typeset! [integer! float!]");
    EXPECT_EQ(formed(ts), "make typeset! [integer! float!]");
    Cell only = act(ACT_MOLD, {ts}, {{0, 0}});
    EXPECT_EQ(string::to_utf8(&only), "integer! float!");
    EXPECT_EQ(molded(set_of({})), "make typeset! []");
    // Types whose values this run-time cannot make are still named.
    EXPECT_EQ(molded(set_of({TYPE_IMAGE, TYPE_PORT, TYPE_EVENT})), "make typeset! [port! image! event!]");
    Cell empty_only = act(ACT_MOLD, {set_of({})}, {{0, 0}});
    EXPECT_EQ(string::to_utf8(&empty_only), "");
    // Merging a typeset, and making from one.
    Cell merged = act(ACT_TO, {type_of(TYPE_TYPESET), block_of({ts, type_of(TYPE_STRING)})});
    EXPECT_EQ(typeset::count(&merged), 3);
    EXPECT_EQ(act(ACT_MAKE, {type_of(TYPE_TYPESET), ts}).data1, ts.data1);
    EXPECT_RAISES(err::script::bad_to_arg, act(ACT_MAKE, {type_of(TYPE_TYPESET), int_(1)}));
    EXPECT_RAISES(err::script::invalid_arg, act(ACT_MAKE, {type_of(TYPE_TYPESET), block_of({int_(1)})}));
}

TEST(Typeset, FindAndSetOperations) {
    Cell ts = set_of({TYPE_INTEGER, TYPE_FLOAT});
    EXPECT_EQ(act(ACT_FIND, {ts, type_of(TYPE_INTEGER)}).data1, 1u);
    EXPECT_EQ(act(ACT_FIND, {ts, type_of(TYPE_STRING)}).data1, 0u);
    EXPECT_RAISES(err::script::invalid_arg, act(ACT_FIND, {ts, int_(1)}));

    Cell with_string = act(ACT_OR_T, {ts, type_of(TYPE_STRING)});
    EXPECT_EQ(typeset::count(&with_string), 3);
    Cell common = act(ACT_AND_T, {ts, set_of({TYPE_FLOAT, TYPE_STRING})});
    EXPECT_EQ(common.data1, set_of({TYPE_FLOAT}).data1);
    Cell either = act(ACT_XOR_T, {ts, set_of({TYPE_FLOAT, TYPE_STRING})});
    EXPECT_TRUE(typeset::has(&either, TYPE_INTEGER) && typeset::has(&either, TYPE_STRING));
    EXPECT_FALSE(typeset::has(&either, TYPE_FLOAT));
    EXPECT_RAISES(err::script::invalid_arg, act(ACT_OR_T, {ts, int_(1)}));

    // The set-operation codes of the natives.
    stack::Saved saved = stack::save();
    stack::mark_named(stack::body_symbol, FRAME_NATIVE);
    stack::push(&ts);
    Cell f = type_of(TYPE_FLOAT);
    stack::push(&f);
    Cell* r = typeset::do_bitwise(OP_EXCLUDE);
    EXPECT_TRUE(typeset::has(r, TYPE_INTEGER));
    EXPECT_EQ(typeset::count(r), 1);
    *stack::arguments = ts;
    r = typeset::do_bitwise(OP_UNIQUE);
    EXPECT_EQ(typeset::count(r), 2);
    stack::restore(saved);

    // The complement of the empty set holds every registered type.
    Cell all = act(ACT_COMPLEMENT, {set_of({})});
    EXPECT_EQ(typeset::count(&all), datatype::top_id);
}

TEST(Typeset, Comparison) {
    Cell a = set_of({TYPE_INTEGER, TYPE_FLOAT}), b = set_of({TYPE_FLOAT, TYPE_INTEGER}), c = set_of({TYPE_STRING});
    EXPECT_TRUE(actions::compare(&a, &b, COMP_EQUAL));
    EXPECT_FALSE(actions::compare(&a, &c, COMP_EQUAL));
    EXPECT_GT(actions::compare_value(&a, &c, COMP_SORT), 0);
    EXPECT_LT(actions::compare_value(&c, &a, COMP_SORT), 0);
    EXPECT_RAISES(err::script::invalid_compare, actions::compare(&a, &c, COMP_LESSER));
}

TEST(Typeset, FromFunctionSpec) {
    Node b = tv::hold_node(block::make_node(2));
    Cell spec = block_of({type_of(TYPE_INTEGER), block_of({}), set_of({TYPE_STRING})});
    Cell* ts = typeset::make_from_spec(b, &spec);
    EXPECT_TRUE(typeset::has(ts, TYPE_INTEGER));
    EXPECT_TRUE(typeset::has(ts, TYPE_STRING));
    EXPECT_EQ(typeset::count(ts), 2);
    Cell bad = block_of({int_(1)});
    EXPECT_RAISES(err::script::invalid_type_spec, typeset::make_from_spec(b, &bad));
    Cell words;
    Cell two = set_of({TYPE_INTEGER, TYPE_FLOAT});
    typeset::to_block(&two, &words);
    ASSERT_EQ(block::rs_length_q(&words), 2);
    const Cell* w = block::rs_head(&words);
    ASSERT_EQ(w[0].type(), TYPE_WORD);
    EXPECT_EQ(symbol::text(static_cast<int32_t>(w[0].data2)), "integer!");
    EXPECT_EQ(symbol::text(static_cast<int32_t>(w[1].data2)), "float!");
}
