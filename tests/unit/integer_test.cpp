// integer!: arithmetic without wrap-around, rounding, comparison, text and conversions.
#include <gtest/gtest.h>

#include "tests/support/held.h"

#include <cmath>
#include <cstring>

#include "datatypes/integer.h"
#include "datatypes/symbol.h"
#include "loading/lexer.h"
#include "tests/support/values.h"

using namespace test_support;

namespace {

struct MathCase {
    int action;
    Cell a, b;
    Cell expected;
};

void expect_value(const Cell& got, const Cell& expected, const std::string& what) {
    ASSERT_EQ(got.type(), expected.type()) << what << ": " << describe(got);
    if (expected.type() == TYPE_INTEGER || expected.type() == TYPE_CHAR)
        EXPECT_EQ(got.i1(), expected.i1()) << what;
    else
        EXPECT_TRUE(same_bits(got.f(), expected.f())) << what << ": " << describe(got) << " vs " << describe(expected);
}

Cell binary_of(std::initializer_list<uint8_t> bytes) {
    Node n = tv::hold_node(memory::alloc_bytes(static_cast<int32_t>(bytes.size())));
    SeriesBuf* b = memory::nodes[n];
    size_t i = 0;
    for (uint8_t x : bytes) b->data()[i++] = x;
    b->tail = static_cast<uint32_t>(bytes.size());
    Cell c;
    set_cell(&c, TYPE_BINARY, 0, n);
    return c;
}

Cell money_of(const char* text) {
    Cell c;
    lexer::load_one(&c, text);
    return c;
}

Cell issue_of(const char* hex) {
    Cell c;
    set_cell(&c, TYPE_ISSUE, 0, static_cast<uint32_t>(symbol::make(hex)), 0xFFFFFFFF);
    return c;
}

}  // namespace

TEST(Integer, ArithmeticKeepsIntegersAndOverflowsToFloat) {
    const MathCase cases[] = {
        {ACT_ADD, int_(1), int_(2), int_(3)},
        {ACT_ADD, int_(2147483647), int_(1), real(2147483648.0)},
        {ACT_ADD, int_(-2147483647), int_(-2), real(-2147483649.0)},
        {ACT_SUBTRACT, int_(-2147483648), int_(1), real(-2147483649.0)},
        {ACT_SUBTRACT, int_(0), int_(-2147483648), real(2147483648.0)},
        {ACT_MULTIPLY, int_(65536), int_(65536), real(4294967296.0)},
        {ACT_MULTIPLY, int_(-65536), int_(32768), int_(-2147483648)},
        {ACT_DIVIDE, int_(7), int_(2), real(3.5)},
        {ACT_DIVIDE, int_(-7), int_(2), real(-3.5)},
        {ACT_DIVIDE, int_(6), int_(3), int_(2)},
        {ACT_DIVIDE, int_(-6), int_(3), int_(-2)},
        {ACT_REMAINDER, int_(-7), int_(2), int_(-1)},
        {ACT_REMAINDER, int_(7), int_(-2), int_(1)},
        {ACT_REMAINDER, int_(-2147483648), int_(3), int_(-2)},
        {ACT_AND_T, int_(12), int_(10), int_(8)},
        {ACT_OR_T, int_(12), int_(10), int_(14)},
        {ACT_XOR_T, int_(12), int_(10), int_(6)},
        {ACT_AND_T, int_(-1), int_(-2147483648), int_(-2147483648)},
        {ACT_ADD, int_(1), char_of('A'), int_(66)},
        // Float-based right operands hand the operation to float!.
        {ACT_ADD, int_(1), real(1.5), real(2.5)},
        {ACT_ADD, int_(1), percent(0.5), real(1.5)},
        {ACT_MULTIPLY, int_(2), time_of(3.0), time_of(6.0)},
        {ACT_SUBTRACT, int_(1), time_of(1.0), time_of(0.0)},
        {ACT_DIVIDE, int_(1), real(0.0), real(INFINITY)},
    };
    for (const MathCase& c : cases) {
        std::string what = describe(c.a) + " action " + std::to_string(c.action) + " " + describe(c.b);
        auto e = raised([&] { expect_value(act(c.action, {c.a, c.b}), c.expected, what); });
        EXPECT_FALSE(e.has_value()) << what << " raised " << int(e->id.category) << "/" << int(e->id.index);
    }
}

TEST(Integer, ArithmeticErrors) {
    EXPECT_RAISES(err::math::zero_divide, act(ACT_DIVIDE, {int_(1), int_(0)}));
    EXPECT_RAISES(err::math::zero_divide, act(ACT_REMAINDER, {int_(1), int_(0)}));
    EXPECT_RAISES(err::math::overflow, act(ACT_DIVIDE, {int_(-2147483648), int_(-1)}));
    EXPECT_RAISES(err::math::overflow, act(ACT_REMAINDER, {int_(-2147483648), int_(-1)}));
    EXPECT_RAISES(err::math::overflow, act(ACT_NEGATE, {int_(-2147483648)}));
    EXPECT_RAISES(err::math::overflow, act(ACT_ABSOLUTE, {int_(-2147483648)}));
    EXPECT_RAISES(err::script::invalid_type, act(ACT_ADD, {int_(1), text("1")}));
    EXPECT_RAISES(err::script::invalid_type, act(ACT_ADD, {int_(1), none_value()}));
    // Bitwise operations have no float meaning.
    EXPECT_RAISES(err::script::cannot_use, act(ACT_AND_T, {int_(1), real(1.0)}));
    EXPECT_RAISES(err::script::expect_arg, act(ACT_POWER, {int_(2), text("2")}));
}

TEST(Integer, UnaryActions) {
    EXPECT_EQ(act(ACT_NEGATE, {int_(5)}).i1(), -5);
    EXPECT_EQ(act(ACT_NEGATE, {int_(2147483647)}).i1(), -2147483647);
    EXPECT_EQ(act(ACT_ABSOLUTE, {int_(-5)}).i1(), 5);
    EXPECT_EQ(act(ACT_COMPLEMENT, {int_(0)}).i1(), -1);
    EXPECT_EQ(act(ACT_COMPLEMENT, {int_(-2147483648)}).i1(), 2147483647);
    struct {
        int32_t n;
        bool even;
    } parity[] = {{0, true}, {-3, false}, {4, true}, {-2147483648, true}, {2147483647, false}};
    for (auto& p : parity) {
        Cell e = act(ACT_EVEN_Q, {int_(p.n)});
        Cell o = act(ACT_ODD_Q, {int_(p.n)});
        ASSERT_EQ(e.type(), TYPE_LOGIC);
        EXPECT_EQ(e.data1 != 0, p.even) << p.n;
        EXPECT_EQ(o.data1 != 0, !p.even) << p.n;
    }
}

TEST(Integer, PowerIsExactUntilItOverflows) {
    const MathCase cases[] = {
        {ACT_POWER, int_(2), int_(30), int_(1073741824)},
        {ACT_POWER, int_(2), int_(31), real(2147483648.0)},
        {ACT_POWER, int_(-2), int_(31), int_(-2147483648)},
        {ACT_POWER, int_(-2), int_(3), int_(-8)},
        {ACT_POWER, int_(0), int_(0), int_(1)},
        {ACT_POWER, int_(7), int_(1), int_(7)},
        {ACT_POWER, int_(2), int_(-1), real(0.5)},
        {ACT_POWER, int_(4), real(0.5), real(2.0)},
        // The squared base overflows while exponent bits remain.
        {ACT_POWER, int_(3), int_(40), real(std::pow(3.0, 40.0))},
        {ACT_POWER, int_(1), int_(2147483647), int_(1)},
    };
    for (const MathCase& c : cases) expect_value(act(c.action, {c.a, c.b}), c.expected, describe(c.a) + " ** " + describe(c.b));
}

namespace {
// Refinement positions of round: /to 0, /even 1, /down 2, /half-down 3, /floor 4, /ceiling 5,
// /half-ceiling 6.
Cell round_int(int32_t n, int32_t scale, int flag = -1) {
    if (flag < 0) return act(ACT_ROUND, {int_(n), int_(scale)}, {{0, 1}});
    return act(ACT_ROUND, {int_(n), int_(scale)}, {{0, 1}, {flag, 0}});
}
}  // namespace

TEST(Integer, RoundModes) {
    struct {
        int32_t n, scale;
        int flag;
        int32_t expected;
    } cases[] = {
        {17, 5, -1, 15},   {18, 5, -1, 20},    {-15, 10, -1, -20}, {-15, 10, 3, -10}, {-15, 10, 6, -10},
        {15, 10, 6, 20},   {25, 10, 1, 20},    {35, 10, 1, 40},    {-11, 5, 4, -15},  {11, 5, 4, 10},
        {-11, 5, 5, -10},  {11, 5, 5, 15},     {-17, 5, 2, -15},   {17, 5, 2, 15},    {5, 0, -1, 5},
        {5, -2, -1, 6},    {7, 1, -1, 7},      {-2147483647, 2, 4, -2147483648},
        {-2147483647, 2, -1, -2147483648},
        // Only the chosen result can overflow: rounding down from the top of the range is fine.
        {2147483647, 2, 4, 2147483646},
        {2147483647, 2, 2, 2147483646},
        // The lowest value rounds like any other; to 1 it stays as it is.
        {-2147483648, 1, -1, -2147483648},
        {-2147483648, 10, 2, -2147483640},
        {-2147483648, 10, 5, -2147483640},
        {-2147483648, 3, 2, -2147483646},
    };
    for (auto& c : cases) {
        Cell r = round_int(c.n, c.scale, c.flag);
        ASSERT_EQ(r.type(), TYPE_INTEGER);
        EXPECT_EQ(r.i1(), c.expected) << "round " << c.n << " to " << c.scale << " flag " << c.flag;
    }
    EXPECT_EQ(act(ACT_ROUND, {int_(7)}).i1(), 7);
    EXPECT_RAISES(err::math::overflow, round_int(2147483647, 10));
    EXPECT_RAISES(err::math::overflow, round_int(2147483647, 2, 5));
    EXPECT_RAISES(err::math::overflow, round_int(2147483647, 2, -1));
    EXPECT_RAISES(err::math::overflow, round_int(7, -2147483648));
    EXPECT_RAISES(err::math::overflow, round_int(-2147483648, 10));
    EXPECT_RAISES(err::math::overflow, round_int(-2147483648, 10, 4));
    EXPECT_RAISES(err::math::overflow, round_int(-2147483648, 3));
    // A float scale hands the value to float! rounding.
    Cell f = act(ACT_ROUND, {int_(7), real(2.5)}, {{0, 1}});
    ASSERT_EQ(f.type(), TYPE_FLOAT);
    EXPECT_EQ(f.f(), 7.5);
}

TEST(Integer, Comparison) {
    struct {
        Cell a, b;
        int op;
        bool expected;
    } cases[] = {
        {int_(3), real(3.0), COMP_EQUAL, true},
        {int_(3), real(3.0), COMP_STRICT_EQUAL, false},
        {int_(3), real(3.0), COMP_SAME, false},
        {int_(65), char_of('A'), COMP_EQUAL, true},
        {int_(65), char_of('A'), COMP_STRICT_EQUAL, false},
        {int_(65), char_of('A'), COMP_EQUAL_FIND, false},
        {int_(1), int_(2), COMP_LESSER, true},
        {int_(-2147483648), int_(2147483647), COMP_LESSER, true},
        {int_(2), real(1.5), COMP_LESSER_EQUAL, false},
        {int_(3), time_of(2.5), COMP_GREATER, true},
        {int_(1), text("1"), COMP_EQUAL, false},
        {int_(1), text("1"), COMP_NOT_EQUAL, true},
        {int_(2), money_of("$2"), COMP_EQUAL, true},
        {int_(1), money_of("$1.50"), COMP_LESSER, true},
        {int_(2), money_of("$1.50"), COMP_GREATER, true},
    };
    for (auto& c : cases)
        EXPECT_EQ(actions::compare(&c.a, &c.b, c.op), c.expected) << molded(c.a) << " op " << c.op << " " << molded(c.b);
    Cell a = int_(1), s = text("1");
    EXPECT_RAISES(err::script::invalid_compare, actions::compare(&a, &s, COMP_LESSER));
}

TEST(Integer, Text) {
    struct {
        int32_t n;
        const char* text;
    } cases[] = {{0, "0"}, {-5, "-5"}, {42, "42"}, {-2147483648, "-2147483648"}, {2147483647, "2147483647"}};
    for (auto& c : cases) {
        EXPECT_EQ(formed(int_(c.n)), c.text);
        EXPECT_EQ(molded(int_(c.n)), c.text);
        EXPECT_STREQ(integer::form_signed(c.n), c.text);
    }
}

TEST(Integer, Conversions) {
    struct {
        Cell spec;
        int32_t expected;
    } ok[] = {
        {text("1'000"), 1000},
        {text("-2147483648"), -2147483648},
        {text("+17"), 17},
        {real(2147483647.0), 2147483647},
        {real(-2147483648.0), -2147483648},
        {real(2.9), 2},
        {real(-2.9), -2},
        {percent(0.5), 0},
        {char_of(0x20AC), 0x20AC},
        {time_of(1.5), 2},
        {time_of(-1.5), -1},
        {time_of(-1.7), -2},
        {binary_of({1, 2, 3, 4}), 16909060},
        {binary_of({1, 2}), 258},
        {binary_of({1, 2, 3, 4, 5}), 16909060},
        {binary_of({}), 0},
        {issue_of("FFFFFFFF"), -1},
        {issue_of("1a"), 26},
    };
    for (auto& c : ok) {
        Cell r = act(ACT_TO, {type_of(TYPE_INTEGER), c.spec});
        ASSERT_EQ(r.type(), TYPE_INTEGER) << molded(c.spec);
        EXPECT_EQ(r.i1(), c.expected) << molded(c.spec);
    }
    // A text positioned outside its buffer is read from the clamped position.
    Cell before = text("12"), past = text("12");
    before.set_index(-3);
    past.set_index(5);
    EXPECT_EQ(act(ACT_TO, {type_of(TYPE_INTEGER), before}).i1(), 12);
    EXPECT_RAISES(err::script::bad_to_arg, act(ACT_TO, {type_of(TYPE_INTEGER), past}));
    EXPECT_RAISES(err::script::bad_to_arg, act(ACT_TO, {type_of(TYPE_INTEGER), text("12a")}));
    EXPECT_RAISES(err::script::bad_to_arg, act(ACT_TO, {type_of(TYPE_INTEGER), text("2147483648")}));
    EXPECT_RAISES(err::script::bad_to_arg, act(ACT_TO, {type_of(TYPE_INTEGER), text("")}));
    EXPECT_RAISES(err::script::bad_to_arg, act(ACT_TO, {type_of(TYPE_INTEGER), text("-")}));
    EXPECT_RAISES(err::script::type_limit, act(ACT_TO, {type_of(TYPE_INTEGER), real(2147483648.0)}));
    EXPECT_RAISES(err::script::type_limit, act(ACT_TO, {type_of(TYPE_INTEGER), real(NAN)}));
    EXPECT_RAISES(err::script::type_limit, act(ACT_TO, {type_of(TYPE_INTEGER), time_of(1e300)}));
    EXPECT_RAISES(err::script::invalid_data, act(ACT_TO, {type_of(TYPE_INTEGER), issue_of("123456789")}));
    EXPECT_RAISES(err::script::invalid_data, act(ACT_TO, {type_of(TYPE_INTEGER), issue_of("12G")}));
    // make takes a logic!; to refuses it.
    EXPECT_EQ(act(ACT_MAKE, {type_of(TYPE_INTEGER), logic_of(true)}).i1(), 1);
    EXPECT_EQ(act(ACT_MAKE, {type_of(TYPE_INTEGER), logic_of(false)}).i1(), 0);
    EXPECT_RAISES(err::script::bad_to_arg, act(ACT_TO, {type_of(TYPE_INTEGER), logic_of(true)}));
    EXPECT_RAISES(err::script::bad_to_arg, act(ACT_TO, {type_of(TYPE_INTEGER), none_value()}));
}
