// percent!: its text form, float! arithmetic on percent cells, and the constructors that the
// binary codec and compiled code call.
#include "datatypes/percent.h"

#include <gtest/gtest.h>

#include <cstring>

#include "datatypes/block.h"
#include "runtime/stack.h"
#include "tests/support/kel_cases.h"

using kel_test::expect_cases;

TEST(PercentActions, FormAndFloatArithmetic) {
    expect_cases({
        {"to percent! 0.5", "50%"},
        {"to percent! 0.125", "12.5%"},
        {"form 33.33333333333%", "\"33.33333333333%\""},
        {"mold/part 12.5% 3", "\"12.\""},
        {"to percent! \"50%\"", "50%"},
        {"make percent! 1", "100%"},
        {"50% + 50%", "100%"},
        {"50% * 2", "100%"},
        {"1 + 50%", "1.5"},
        {"negate 50%", "-50%"},
        {"round 12.345%", "12%"},
        {"50% = 0.5", "true"},
        {"to float! 50%", "0.5"},
        // Other datatypes take the fraction.
        {"10.20.30 * 50%", "5.10.15"},
        {"1x2 * 50%", "(0.5, 1.0)"},
        {"(2.0, 4.0) * 50%", "(1.0, 2.0)"},
        {"pick 50% 1", "!script/expect-arg"},
    });
}

TEST(PercentActions, MoldLoadsBackToTheSameBits) {
    // form keeps its 13 digits; mold adds digits only where those would load back to another
    // value, and keeps the sign of zero and the magnitude of values too small for the form.
    expect_cases({
        {"mold 12.5%", "\"12.5%\""},
        {"mold 33.33333333333333%", "\"33.33333333333333%\""},
        {"mold make percent! 0.1 + 0.2", "\"30.000000000000004%\""},
        {"form make percent! 0.1 + 0.2", "\"30%\""},
        {"mold 12.345678901234567%", "\"12.345678901234566%\""},
        {"mold make percent! 1e-20", "\"1.0e-18%\""},
        {"mold make percent! -0.0", "\"-0%\""},
        {"mold make percent! 1e300", "\"1.0e302%\""},
        {"mold make percent! 5e-324", "\"5.0e-322%\""},
    });
}

TEST(PercentActions, RoundScaleCountsInPercent) {
    // A percent value's /to scale is read in percent units whatever its own type: a percent
    // scale such as 5% is not taken as the fraction 0.05 of the value.
    expect_cases({
        {"round/to 12.345% 1%", "12.35%"},
        {"round/to 17% 5%", "17%"},
        {"round/to 17% 500%", "15%"},
        {"round/to/floor 12.345% 10%", "12.3%"},
        {"round/to 12.345% 1", "0"},
        {"round/to 12.345% 0.1", "0.123"},
        {"round/to 1.26 5%", "125%"},
    });
}

TEST(PercentActions, Constructors) {
    kel_test::boot();
    double half = 0.5;
    uint64_t bits;
    std::memcpy(&bits, &half, sizeof bits);
    Node b = block::make_node(1);
    Cell* c = percent::make_in(b, uint32_t(bits >> 32), uint32_t(bits));
    EXPECT_EQ(c->type(), TYPE_PERCENT);
    EXPECT_EQ(percent::get_value(c), 0.5);
    Cell* saved = stack::top;
    Cell* p = percent::push_bits(uint32_t(bits >> 32), uint32_t(bits));
    EXPECT_EQ(p->type(), TYPE_PERCENT);
    EXPECT_EQ(percent::get_value(p), 0.5);
    EXPECT_EQ(percent::push(0.25)->f(), 0.25);
    stack::top = saved;
}
