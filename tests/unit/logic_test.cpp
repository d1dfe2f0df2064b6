// unset!, none! and logic!, and the rule of truth.
#include <gtest/gtest.h>

#include <cmath>
#include <set>

#include "datatypes/logic.h"
#include "runtime/stack.h"
#include "tests/support/values.h"

using namespace test_support;

TEST(Logic, MakeAndTo) {
    struct {
        int action;
        Cell spec;
        bool expected;
    } cases[] = {
        {ACT_MAKE, int_(0), false},      {ACT_MAKE, int_(2), true},       {ACT_MAKE, real(0.0), false},
        {ACT_MAKE, real(-0.0), false},   {ACT_MAKE, real(NAN), true},     {ACT_MAKE, percent(0.0), false},
        {ACT_MAKE, text("false"), true}, {ACT_MAKE, none_value(), false}, {ACT_MAKE, logic_of(false), false},
        {ACT_TO, none_value(), false},   {ACT_TO, int_(0), true},         {ACT_TO, logic_of(false), false},
        {ACT_TO, unset_value(), true},
    };
    for (auto& c : cases) {
        Cell r = act(c.action, {type_of(TYPE_LOGIC), c.spec});
        ASSERT_EQ(r.type(), TYPE_LOGIC);
        EXPECT_EQ(r.data1 != 0, c.expected) << c.action << " " << describe(c.spec);
    }
    // unset! and none! are made from anything.
    EXPECT_EQ(act(ACT_MAKE, {type_of(TYPE_NONE), int_(1)}).type(), TYPE_NONE);
    EXPECT_EQ(act(ACT_TO, {type_of(TYPE_UNSET), text("x")}).type(), TYPE_UNSET);
}

TEST(Logic, Text) {
    EXPECT_EQ(formed(logic_of(true)), "true");
    EXPECT_EQ(molded(logic_of(false)), "false");
    EXPECT_EQ(molded(logic_of(true), true), "#(true)");
    EXPECT_EQ(molded(logic_of(false), true), "#(false)");
    EXPECT_EQ(formed(none_value()), "none");
    EXPECT_EQ(molded(none_value()), "none");
    EXPECT_EQ(molded(none_value(), true), "#(none)");
    EXPECT_EQ(formed(unset_value()), "");
    EXPECT_EQ(molded(unset_value()), "unset");
    EXPECT_EQ(molded(unset_value(), true), "#(unset)");
}

TEST(Logic, Comparison) {
    struct {
        Cell a, b;
        int op;
        bool expected;
    } cases[] = {
        {logic_of(true), logic_of(true), COMP_EQUAL, true},
        {logic_of(true), logic_of(false), COMP_NOT_EQUAL, true},
        {none_value(), none_value(), COMP_EQUAL, true},
        {none_value(), logic_of(false), COMP_EQUAL, false},
        {unset_value(), unset_value(), COMP_STRICT_EQUAL, true},
        {unset_value(), none_value(), COMP_EQUAL, false},
        {logic_of(false), int_(0), COMP_EQUAL, false},
    };
    for (auto& c : cases) EXPECT_EQ(actions::compare(&c.a, &c.b, c.op), c.expected) << describe(c.a) << " " << c.op;
    // Under sorting false comes first; there is no order for lesser? and its kin.
    Cell t = logic_of(true), f = logic_of(false), n = none_value(), u = unset_value();
    EXPECT_LT(actions::compare_value(&f, &t, COMP_SORT), 0);
    EXPECT_RAISES(err::script::invalid_compare, actions::compare(&t, &f, COMP_LESSER));
    EXPECT_RAISES(err::script::invalid_compare, actions::compare(&n, &n, COMP_GREATER));
    EXPECT_RAISES(err::script::invalid_compare, actions::compare(&u, &u, COMP_LESSER_EQUAL));
}

// unset! and none! through their compare slot under every operator code: equal to their own
// kind under 0, 1, 2, 7, 8, 9 and 12, unordered (-2) under the rest and against any other type.
TEST(Logic, OneValuedTypesUnderEveryOperator) {
    const std::set<int> equal_ops = {COMP_EQUAL, COMP_NOT_EQUAL, COMP_STRICT_EQUAL, COMP_SORT,
                                     COMP_CASE_SORT, COMP_SAME, COMP_EQUAL_FIND};
    for (Cell a : {unset_value(), none_value()}) {
        auto compare = reinterpret_cast<CompareFn>(datatype::slot(a.type(), ACT_COMPARE));
        for (Cell other : {unset_value(), none_value(), logic_of(false), int_(0)}) {
            for (int op = COMP_EQUAL; op <= COMP_EQUAL_FIND; op++) {
                int expected = other.type() == a.type() && equal_ops.count(op) ? 0 : -2;
                EXPECT_EQ(compare(&a, &other, op), expected) << describe(a) << " " << describe(other) << " " << op;
            }
        }
    }
}

TEST(Logic, BitwiseActions) {
    struct {
        int action;
        bool a, b, expected;
    } cases[] = {
        {ACT_AND_T, true, false, false}, {ACT_AND_T, true, true, true},   {ACT_OR_T, false, true, true},
        {ACT_OR_T, false, false, false}, {ACT_XOR_T, true, true, false}, {ACT_XOR_T, false, true, true},
    };
    for (auto& c : cases) EXPECT_EQ(act(c.action, {logic_of(c.a), logic_of(c.b)}).data1 != 0, c.expected);
    EXPECT_EQ(act(ACT_COMPLEMENT, {logic_of(true)}).data1, 0u);
    EXPECT_EQ(act(ACT_COMPLEMENT, {logic_of(false)}).data1, 1u);
    EXPECT_RAISES(err::script::expect_arg, act(ACT_AND_T, {logic_of(true), int_(1)}));
    EXPECT_RAISES(err::script::expect_arg, act(ACT_XOR_T, {logic_of(true), none_value()}));
    // A logic! has no find.
    EXPECT_RAISES(err::script::expect_arg, act(ACT_FIND, {logic_of(true), int_(1)}));
}

TEST(Logic, NoneAnswersNone) {
    for (int a : {ACT_LENGTH_Q, ACT_CLEAR, ACT_REMOVE, ACT_TAKE}) EXPECT_EQ(act(a, {none_value()}).type(), TYPE_NONE) << a;
    for (int a : {ACT_FIND, ACT_SELECT}) EXPECT_EQ(act(a, {none_value(), int_(1)}).type(), TYPE_NONE) << a;
}

TEST(Logic, Truth) {
    struct {
        Cell value;
        bool truth;
    } cases[] = {{none_value(), false}, {logic_of(false), false}, {logic_of(true), true},
                 {int_(0), true},       {text(""), true},         {unset_value(), true}};
    for (auto& c : cases) {
        EXPECT_EQ(logic::truth(&c.value), c.truth) << describe(c.value);
        EXPECT_EQ(logic::true_value_q(&c.value, false, nullptr), c.truth);
    }
    // either, while, until and case refuse an unset condition; if and its kin take it as true.
    Cell u = unset_value(), w = none_value();
    EXPECT_RAISES(err::script::no_return, logic::true_q(&u));
    EXPECT_RAISES(err::script::no_value, logic::true_value_q(&u, true, &w));
    Cell t = logic_of(true);
    EXPECT_TRUE(logic::true_q(&t));
}

TEST(Logic, ResultSlotTruth) {
    // The result slot and the top of the stack, as compiled conditionals read them.
    stack::Saved saved = stack::save();
    stack::mark_named(stack::body_symbol, FRAME_NATIVE);
    logic::box(false);
    stack::keep();
    EXPECT_TRUE(logic::false_q());
    EXPECT_FALSE(logic::true_q());
    EXPECT_FALSE(logic::top_true_q());
    Cell one = int_(1);
    stack::push(&one);
    EXPECT_TRUE(logic::top_true_q());
    EXPECT_FALSE(logic::top_false_q());
    set_cell(stack::arguments, TYPE_UNSET);
    EXPECT_FALSE(logic::false_q());
    stack::restore(saved);
    EXPECT_RAISES(err::script::no_return, {
        set_cell(stack::arguments, TYPE_UNSET);
        stack::keep();
        logic::true_q();
    });
}
