// float!: IEEE arithmetic, the result types of mixed operands, tolerant equality, rounding and
// conversions.
#include <gtest/gtest.h>

#include "tests/support/held.h"

#include <cmath>
#include <limits>

#include "datatypes/float.h"
#include "datatypes/block.h"
#include "loading/lexer.h"
#include "tests/support/values.h"

using namespace test_support;

namespace {

const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

// n units in the last place above v.
double ulps_above(double v, int n) {
    for (int i = 0; i < n; i++) v = std::nextafter(v, kInf);
    return v;
}

Cell block_of(std::initializer_list<Cell> cells) {
    Cell b;
    block::make_new(&b, 4);
    tv::hold(b);
    for (const Cell& c : cells) block::append_cell(b.node(), &c);
    return b;
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

}  // namespace

TEST(Float, ArithmeticFollowsIeee) {
    struct {
        int action;
        double a, b, expected;
    } cases[] = {
        {ACT_ADD, 0.1, 0.2, 0.1 + 0.2},
        {ACT_DIVIDE, 1.0, 0.0, kInf},
        {ACT_DIVIDE, -1.0, 0.0, -kInf},
        {ACT_REMAINDER, 7.5, 2.0, 1.5},
        {ACT_REMAINDER, -7.5, 2.0, -1.5},
        {ACT_REMAINDER, 5.0, kInf, 5.0},
        {ACT_REMAINDER, -5.0, -kInf, -5.0},
        {ACT_SUBTRACT, 1e308, -1e308, kInf},
    };
    for (auto& c : cases) {
        Cell r = act(c.action, {real(c.a), real(c.b)});
        ASSERT_EQ(r.type(), TYPE_FLOAT);
        EXPECT_TRUE(same_bits(r.f(), c.expected)) << c.a << " action " << c.action << " " << c.b << " gave " << r.f();
    }
    // Every remainder without a finite answer is NaN.
    const double nan_cases[][2] = {{0.0, 0.0}, {5.0, 0.0}, {5.0, kNaN}, {kInf, 2.0}, {kInf, kInf}, {kNaN, kInf}};
    for (auto& c : nan_cases) EXPECT_TRUE(std::isnan(act(ACT_REMAINDER, {real(c[0]), real(c[1])}).f())) << c[0] << " " << c[1];
    EXPECT_TRUE(std::isnan(act(ACT_DIVIDE, {real(0.0), real(0.0)}).f()));
    EXPECT_EQ(formed(act(ACT_DIVIDE, {real(1.0), real(0.0)})), "1.#INF");
    EXPECT_EQ(molded(act(ACT_DIVIDE, {real(-1.0), real(0.0)})), "-1.#INF");
    EXPECT_EQ(formed(act(ACT_DIVIDE, {real(0.0), real(0.0)})), "1.#NaN");
}

TEST(Float, ResultTypeOfMixedOperands) {
    struct {
        int action;
        Cell a, b;
        uint8_t type;
        double value;
    } cases[] = {
        {ACT_ADD, percent(0.5), real(1.0), TYPE_PERCENT, 1.5},
        {ACT_ADD, real(1.0), percent(0.5), TYPE_FLOAT, 1.5},
        {ACT_MULTIPLY, percent(0.5), percent(0.5), TYPE_PERCENT, 0.25},
        {ACT_MULTIPLY, real(1.5), time_of(2.0), TYPE_TIME, 3.0},
        {ACT_MULTIPLY, time_of(2.0), real(1.5), TYPE_TIME, 3.0},
        {ACT_ADD, time_of(1.0), time_of(2.0), TYPE_TIME, 3.0},
        {ACT_ADD, percent(0.5), time_of(2.0), TYPE_TIME, 2.5},
        {ACT_ADD, real(1.5), int_(2), TYPE_FLOAT, 3.5},
        {ACT_ADD, real(1.5), char_of('A'), TYPE_FLOAT, 66.5},
        {ACT_SUBTRACT, time_of(10.0), int_(4), TYPE_TIME, 6.0},
    };
    for (auto& c : cases) {
        // percent! registers later; it shares float!'s arithmetic.
        Cell r = c.a.type() == TYPE_PERCENT ? run(reinterpret_cast<ActionFn>(datatype::slot(TYPE_FLOAT, c.action)), {c.a, c.b})
                                            : act(c.action, {c.a, c.b});
        EXPECT_EQ(r.type(), c.type) << describe(c.a) << " " << c.action << " " << describe(c.b);
        EXPECT_EQ(r.f(), c.value);
    }
    // A char! joins float! arithmetic but not percent! or time!.
    EXPECT_RAISES(err::script::invalid_type, act(ACT_ADD, {time_of(1.0), char_of('A')}));
    EXPECT_RAISES(err::script::invalid_type, run(float_::add, {percent(0.5), char_of('A')}));
    EXPECT_RAISES(err::script::invalid_type, act(ACT_ADD, {real(1.0), text("1")}));
    // float! has no bitwise actions at all.
    EXPECT_RAISES(err::script::expect_arg, act(ACT_AND_T, {real(1.0), real(1.0)}));
}

TEST(Float, TolerantEquality) {
    struct {
        double a, b;
        bool equal;
    } cases[] = {
        {0.1 + 0.2, 0.3, true},
        {1.0, ulps_above(1.0, 1), true},
        {1.0, ulps_above(1.0, 10), true},
        {1.0, ulps_above(1.0, 11), false},
        {-1.0, ulps_above(-1.0, 10), true},
        {0.0, -0.0, true},
        {1e-300, 2e-300, true},  // closer than the double epsilon
        // The epsilon itself is not closer than the epsilon; just below it is.
        {0.0, 2.220446049250313e-16, false},
        {0.0, std::nextafter(2.220446049250313e-16, 0.0), true},
        {1.0, -1.0, false},
        {kInf, kInf, true},
        {kInf, std::numeric_limits<double>::max(), false},
        {-kInf, -std::numeric_limits<double>::max(), false},
        {kNaN, kNaN, false},
        {kNaN, 1.0, false},
        // Across a power of two, where the high words of the keys differ.
        {2.0, std::nextafter(2.0, 0.0), true},
        {1e300, ulps_above(1e300, 10), true},
        {1e300, ulps_above(1e300, 11), false},
    };
    for (auto& c : cases) {
        EXPECT_EQ(float_::almost_equal_q(c.a, c.b), c.equal) << c.a << " " << c.b;
        EXPECT_EQ(float_::almost_equal_q(c.b, c.a), c.equal) << c.b << " " << c.a;
    }
}

TEST(Float, Comparison) {
    struct {
        Cell a, b;
        int op;
        bool expected;
    } cases[] = {
        {real(0.1 + 0.2), real(0.3), COMP_EQUAL, true},
        {real(0.1 + 0.2), real(0.3), COMP_STRICT_EQUAL, false},
        {real(0.1 + 0.2), real(0.3), COMP_NOT_EQUAL, false},
        {real(kNaN), real(kNaN), COMP_EQUAL, false},
        {real(kNaN), real(kNaN), COMP_STRICT_EQUAL, false},
        {real(kNaN), real(kNaN), COMP_SAME, true},
        {real(0.0), real(-0.0), COMP_SAME, false},
        {real(0.0), real(-0.0), COMP_EQUAL, true},
        {real(3.0), int_(3), COMP_EQUAL, true},
        {real(3.0), int_(3), COMP_STRICT_EQUAL, false},
        {real(0.5), percent(0.5), COMP_EQUAL, true},
        {real(0.5), percent(0.5), COMP_EQUAL_FIND, false},
        {real(65.0), char_of('A'), COMP_EQUAL, false},
        {real(1.5), int_(2), COMP_LESSER, true},
        // Every ordering with NaN is false, and NaN is found nowhere.
        {real(kNaN), real(1.0), COMP_LESSER, false},
        {real(kNaN), real(1.0), COMP_LESSER_EQUAL, false},
        {real(kNaN), real(1.0), COMP_GREATER, false},
        {real(kNaN), real(1.0), COMP_GREATER_EQUAL, false},
        {real(1.0), real(kNaN), COMP_GREATER, false},
        {real(kNaN), real(1.0), COMP_EQUAL_FIND, false},
        {real(kNaN), real(kNaN), COMP_EQUAL_FIND, false},
    };
    for (auto& c : cases)
        EXPECT_EQ(actions::compare(&c.a, &c.b, c.op), c.expected) << describe(c.a) << " op " << c.op << " " << describe(c.b);
    Cell a = real(1.0), s = text("1");
    EXPECT_RAISES(err::script::invalid_compare, actions::compare(&a, &s, COMP_GREATER));
}

TEST(Float, UnaryActions) {
    Cell n = act(ACT_NEGATE, {real(0.0)});
    EXPECT_TRUE(same_bits(n.f(), 0.0));
    EXPECT_TRUE(same_bits(act(ACT_NEGATE, {real(2.5)}).f(), -2.5));
    EXPECT_TRUE(same_bits(act(ACT_ABSOLUTE, {real(-0.0)}).f(), 0.0));
    EXPECT_TRUE(same_bits(act(ACT_ABSOLUTE, {real(-kInf)}).f(), kInf));
    EXPECT_EQ(run(float_::negate, {percent(0.5)}).type(), TYPE_PERCENT);
    struct {
        double v;
        bool even;
    } parity[] = {{2.5, true}, {-3.7, false}, {0.9, true}, {-2147483648.0, true}, {2147483647.0, false}};
    for (auto& p : parity) {
        EXPECT_EQ(act(ACT_EVEN_Q, {real(p.v)}).data1 != 0, p.even) << p.v;
        EXPECT_EQ(act(ACT_ODD_Q, {real(p.v)}).data1 != 0, !p.even) << p.v;
    }
    // Outside the 32-bit range there is no integer to take the low bit of.
    EXPECT_RAISES(err::script::type_limit, act(ACT_EVEN_Q, {real(3e9)}));
    EXPECT_RAISES(err::script::type_limit, act(ACT_ODD_Q, {real(kNaN)}));
    EXPECT_RAISES(err::script::type_limit, act(ACT_ODD_Q, {real(-kInf)}));
    EXPECT_EQ(act(ACT_POWER, {real(2.0), int_(10)}).f(), 1024.0);
    EXPECT_EQ(act(ACT_POWER, {real(4.0), real(0.5)}).f(), 2.0);
    EXPECT_RAISES(err::script::expect_arg, act(ACT_POWER, {real(2.0), percent(0.5)}));
}

TEST(Float, RandomStaysBetweenZeroAndTheValue) {
    const double max = std::numeric_limits<double>::max();
    for (bool secure : {false, true})
        for (double x : {max, -max, 1.0, -0.5})
            for (int i = 0; i < 50; i++) {
                double r = float_::random_value(x, secure);
                EXPECT_TRUE(std::isfinite(r)) << x << (secure ? " secure" : "");
                EXPECT_LE(std::fabs(r), std::fabs(x)) << x << (secure ? " secure" : "");
                EXPECT_FALSE(r * x < 0) << x << (secure ? " secure" : "");
            }
}

namespace {
Cell round_with(Cell v, int flag) { return flag < 0 ? act(ACT_ROUND, {v}) : act(ACT_ROUND, {v}, {{flag, 0}}); }
Cell round_to(Cell v, Cell scale) { return act(ACT_ROUND, {v, scale}, {{0, 1}}); }
}  // namespace

TEST(Float, RoundModes) {
    // Flags: 1 /even, 2 /down, 3 /half-down, 4 /floor, 5 /ceiling, 6 /half-ceiling.
    struct {
        double v;
        int flag;
        double expected;
    } cases[] = {
        {2.5, -1, 3.0},  {-2.5, -1, -3.0}, {2.4, -1, 2.0},  {2.6, -1, 3.0},   {2.5, 1, 2.0},  {3.5, 1, 4.0},
        {-2.5, 1, -2.0}, {2.5, 3, 2.0},    {-2.5, 3, -2.0}, {-2.5, 6, -2.0},  {2.5, 6, 3.0},  {-2.1, 4, -3.0},
        {2.9, 4, 2.0},   {-2.1, 5, -2.0},  {2.1, 5, 3.0},   {-2.7, 2, -2.0},  {2.7, 2, 2.0},
    };
    for (auto& c : cases) {
        Cell r = round_with(real(c.v), c.flag);
        ASSERT_EQ(r.type(), TYPE_FLOAT);
        EXPECT_EQ(r.f(), c.expected) << "round " << c.v << " flag " << c.flag;
    }
    // A negative value rounding to zero gives 0.0, not -0.0.
    EXPECT_TRUE(same_bits(round_with(real(-0.4), -1).f(), 0.0));
}

TEST(Float, RoundToScale) {
    Cell r = round_to(real(3.7), int_(1));
    ASSERT_EQ(r.type(), TYPE_INTEGER);
    EXPECT_EQ(r.i1(), 4);
    r = round_to(real(-3.7), int_(2));
    ASSERT_EQ(r.type(), TYPE_INTEGER);
    EXPECT_EQ(r.i1(), -4);
    r = round_to(real(1.26), real(0.1));
    EXPECT_EQ(r.type(), TYPE_FLOAT);
    EXPECT_DOUBLE_EQ(r.f(), 1.3);
    r = round_to(real(1.26), percent(0.05));
    EXPECT_EQ(r.type(), TYPE_PERCENT);
    EXPECT_DOUBLE_EQ(r.f(), 1.25);
    r = round_to(real(95.0), time_of(60.0));
    EXPECT_EQ(r.type(), TYPE_TIME);
    EXPECT_EQ(r.f(), 120.0);
    // A scale too small to matter leaves the value alone.
    r = round_to(real(1e300), real(1e-300));
    EXPECT_EQ(r.type(), TYPE_FLOAT);
    EXPECT_EQ(r.f(), 1e300);
    // A zero scale too.
    EXPECT_EQ(round_to(real(2.5), real(0.0)).f(), 2.5);
    // Scales below the normal range keep their precision.
    EXPECT_DOUBLE_EQ(round_to(real(7.4e-311), real(1e-311)).f(), 7e-311);
    EXPECT_EQ(round_to(real(-0.7), real(-0.5)).f(), -0.5);
    // percent!: every scale counts in percent, a percent scale included (1% is a hundredth of a
    // percent point).
    r = run(float_::round, {percent(0.12345)});
    EXPECT_EQ(r.type(), TYPE_PERCENT);
    EXPECT_DOUBLE_EQ(r.f(), 0.12);
    EXPECT_DOUBLE_EQ(run(float_::round, {percent(0.12345), real(1.0)}, {{0, 1}}).f(), 0.12);
    EXPECT_DOUBLE_EQ(run(float_::round, {percent(0.12345), percent(0.01)}, {{0, 1}}).f(), 0.1235);
    // Results that no longer fit.
    EXPECT_RAISES(err::math::overflow, round_to(real(3e9), int_(1)));
    EXPECT_RAISES(err::math::overflow, round_to(real(kNaN), int_(1)));
    EXPECT_RAISES(err::math::overflow, round_to(real(1.7e308), real(1e308)));
    EXPECT_RAISES(err::script::expect_arg, round_to(real(1.5), text("1")));
}

TEST(Float, Conversions) {
    struct {
        Cell spec;
        double expected;
    } cases[] = {
        {real(2.5), 2.5},
        {percent(0.5), 0.5},
        {int_(-3), -3.0},
        {char_of('A'), 65.0},
        {time_of(1.5), 1.5},
        {binary_of({0x3F, 0xF0, 0, 0, 0, 0, 0, 0}), 1.0},
        {binary_of({0x3F, 0xF0, 0, 0, 0, 0, 0, 0, 0x55}), 1.0},
        {binary_of({}), 0.0},
        {block_of({real(1.5), int_(2)}), 150.0},
        {block_of({int_(15), real(-1.9)}), 1.5},
        {block_of({int_(1), int_(400)}), kInf},
        {block_of({int_(1), real(-1e300)}), 0.0},
    };
    for (auto& c : cases) {
        Cell r = act(ACT_TO, {type_of(TYPE_FLOAT), c.spec});
        ASSERT_EQ(r.type(), TYPE_FLOAT);
        EXPECT_EQ(r.f(), c.expected) << describe(c.spec);
    }
    // Text: float! reads a float; percent! takes the number of the one value the text holds.
    struct {
        int type;
        const char* text;
        double expected;
    } texts[] = {
        {TYPE_FLOAT, "1.5e3", 1500.0}, {TYPE_FLOAT, "-12", -12.0}, {TYPE_FLOAT, "1'000.5", 1000.5},
        {TYPE_PERCENT, "50%", 0.5},    {TYPE_PERCENT, "12", 12.0}, {TYPE_PERCENT, "2.5", 2.5},
    };
    for (auto& t : texts) {
        Cell r = act(ACT_TO, {type_of(t.type), text(t.text)});
        EXPECT_EQ(r.type(), t.type) << t.text;
        EXPECT_EQ(r.f(), t.expected) << t.text;
    }
    for (const char* bad : {"", "abc", "1.5x", "1:00"}) {
        EXPECT_RAISES(err::script::bad_to_arg, act(ACT_TO, {type_of(TYPE_FLOAT), text(bad)}));
        EXPECT_RAISES(err::script::bad_to_arg, act(ACT_TO, {type_of(TYPE_PERCENT), text(bad)}));
    }
    Cell money;
    lexer::load_one(&money, "$1.50");
    EXPECT_EQ(act(ACT_TO, {type_of(TYPE_FLOAT), money}).f(), 1.5);
    // Fewer than 8 bytes are the low end of the pattern.
    EXPECT_EQ(act(ACT_TO, {type_of(TYPE_FLOAT), binary_of({0x01})}).f(), 5e-324);
    EXPECT_RAISES(err::script::bad_to_arg, act(ACT_TO, {type_of(TYPE_FLOAT), block_of({int_(1), int_(2), int_(3)})}));
    EXPECT_RAISES(err::script::bad_to_arg, act(ACT_TO, {type_of(TYPE_FLOAT), block_of({int_(1), text("2")})}));
    EXPECT_RAISES(err::script::bad_to_arg, act(ACT_TO, {type_of(TYPE_FLOAT), none_value()}));
    EXPECT_RAISES(err::script::bad_to_arg, act(ACT_MAKE, {type_of(TYPE_FLOAT), logic_of(true)}));
}

TEST(Float, FormAndMoldDiffer) {
    EXPECT_EQ(molded(real(0.1 + 0.2)), "0.30000000000000004");
    EXPECT_EQ(formed(real(0.1 + 0.2)), "0.3");
    EXPECT_EQ(molded(real(-0.0)), "-0.0");
    EXPECT_EQ(formed(real(-0.0)), "0.0");
    EXPECT_EQ(molded(real(100.0)), "100.0");
    EXPECT_EQ(formed(real(1e16)), "1.0e16");
}

TEST(Float, CheckIntegerRange) {
    Cell ok[] = {real(2147483647.0), real(-2147483648.0), real(-1.9), int_(5)};
    int32_t expected[] = {2147483647, -2147483648, -1, 5};
    for (int i = 0; i < 4; i++) EXPECT_EQ(float_::check_integer_range(&ok[i]), expected[i]);
    for (double bad : {2147483648.0, -2147483649.0, kNaN, kInf}) {
        Cell v = real(bad);
        EXPECT_RAISES(err::script::out_of_range, float_::check_integer_range(&v));
    }
}

TEST(Float, Float32Equality) {
    auto up = [](float v, int n) {
        for (int i = 0; i < n; i++) v = std::nextafter(v, INFINITY);
        return v;
    };
    EXPECT_TRUE(float32::almost_equal_q(1.0f, up(1.0f, 10)));
    EXPECT_FALSE(float32::almost_equal_q(1.0f, up(1.0f, 11)));
    EXPECT_TRUE(float32::almost_equal_q(-0.0f, 0.0f));
    EXPECT_TRUE(float32::almost_equal_q(INFINITY, INFINITY));
    EXPECT_FALSE(float32::almost_equal_q(INFINITY, -INFINITY));
    EXPECT_FALSE(float32::almost_equal_q(NAN, NAN));
    EXPECT_TRUE(float32::nan_q(NAN));
    EXPECT_FALSE(float32::nan_q(1.0f));
}
