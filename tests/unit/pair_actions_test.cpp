// pair!: construction, arithmetic with its fall-back to point2D! when a result leaves the
// integers, rounding, comparison, component access by path and pick, and the constructors that
// other modules call.
#include "datatypes/pair.h"

#include <gtest/gtest.h>

#include "datatypes/block.h"
#include "datatypes/point.h"
#include "tests/support/kel_cases.h"

using kel_test::eval;
using kel_test::expect_cases;

TEST(PairActions, MakeAndTo) {
    expect_cases({
        {"make pair! [1.9 -2.9]", "1x-2"},
        {"make pair! [3 4 5]", "3x4"},
        {"to pair! 7", "7x7"},
        {"to pair! -2.7", "-2x-2"},
        {"to pair! 50%", "0x0"},
        {"to pair! 3x4", "3x4"},
        {"make 1x1 [5 6]", "5x6"},
        {"to pair! \"3x4\"", "3x4"},
        {"to pair! (1.5, -2.5)", "1x-2"},
        // Errors.
        {"make pair! [1]", "!syntax/malconstruct"},
        {"make pair! [1 a]", "!syntax/malconstruct"},
        {"make pair! [1 1e10]", "!syntax/malconstruct"},
        {"to pair! \"3\"", "!script/bad-to-arg"},
        {"to pair! \"3x\"", "!script/bad-to-arg"},
        {"to pair! 'a", "!script/bad-to-arg"},
        {"to pair! 1e10", "!script/invalid-arg"},
        {"to pair! (1.#INF, 2.0)", "!script/invalid-arg"},
        {"to pair! (1.0, 1.#NaN)", "!script/invalid-arg"},
        {"to pair! (3e9, 1.0)", "!script/invalid-arg"},
    });
}

TEST(PairActions, ArithmeticStaysInIntegersWhileItCan) {
    expect_cases({
        {"1x2 + 3x4", "4x6"},
        {"1x2 + 3", "4x5"},
        {"5x5 - 1x2", "4x3"},
        {"2x3 * 4", "8x12"},
        {"4x6 / 2", "2x3"},
        {"7x-7 % 3", "1x-1"},
        {"2x3 + 1.9", "3x4"},
        {"2x3 - 50%", "2x3"},
        {"6x3 and 3x5", "2x1"},
        {"6x3 or 1", "7x3"},
        {"6x3 xor 2x2", "4x1"},
        // The integer on the left: the operands exchange, subtraction goes through negate.
        {"2 * 1x2", "2x4"},
        {"2 - 1x2", "1x0"},
        {"2 / 1x2", "!script/not-related"},
        {"negate -3x4", "3x-4"},
        {"absolute -3x4", "3x4"},
        {"absolute -2147483648x1", "!math/overflow"},
        {"reverse 1x2", "2x1"},
        {"reverse/part 1x2 1", "2x1"},
    });
}

TEST(PairActions, ResultsOutsideTheIntegersArePoints) {
    expect_cases({
        {"3x4 / 2", "(1.5, 2.0)"},
        // float32 rounding of 2147483648 + 1.
        {"2147483647x1 + 1x1", "(2.1474836e9, 2.0)"},
        {"(2147483647x1 + 1x1) = make point2D! [2147483648.0 2.0]", "true"},
        {"-2147483648x0 - 1x0", "(-2.1474836e9, 0.0)"},
        // An integer less a pair whose component has no integer negation.
        {"5 - -2147483648x0", "(2.1474836e9, 5.0)"},
        {"0 - -2147483648x1", "(2.1474836e9, -1.0)"},
        {"5 - -2147483647x1", "(2.1474836e9, 4.0)"},
        // Negation itself: a pair that kept -2147483648 would have the wrong sign.
        {"negate -2147483648x1", "(2.1474836e9, -1.0)"},
        {"negate 7x-2147483648", "(-7.0, 2.1474836e9)"},
        {"negate negate -2147483648x1", "(-2.1474836e9, 1.0)"},
        {"65536x1 * 65536", "(4.2949673e9, 65536.0)"},
        {"2x3 * 1.5", "(3.0, 4.5)"},
        {"1.5 * 1x2", "(1.5, 3.0)"},
        {"1x2 * 50%", "(0.5, 1.0)"},
        {"1x2 / 0.0", "(1.#INF, 1.#INF)"},
        {"1x2 / 4.0", "(0.25, 0.5)"},
        {"1x2 + (0.5, 0.5)", "(1.5, 2.5)"},
        // Errors: nothing is changed before them.
        {"1x2 / 0", "!math/zero-divide"},
        {"1x2 % 0x1", "!math/zero-divide"},
        // y is checked even when x has already left the integers.
        {"5x6 / 2x0", "!math/zero-divide"},
        {"3x-2147483648 / 2x-1", "!math/overflow"},
        {"2147483647x-2147483648 + 1x-1", "(2.1474836e9, -2.1474836e9)"},
        {"-2147483648x1 / -1", "!math/overflow"},
        {"1x2 * 1.#INF", "!script/invalid-arg"},
        {"1x2 / 1.#NaN", "!script/invalid-arg"},
        {"1x2 + 1.#INF", "!script/invalid-arg"},
        {"1x2 + 1e10", "!script/invalid-arg"},
        {"1x2 + 1.2.3", "!script/invalid-type"},
        {"1x2 and 1.5", "!script/expect-arg"},
    });
}

TEST(PairActions, Round) {
    expect_cases({
        {"round 1x2", "1x2"},
        {"round/to 17x23 10", "20x20"},
        {"round/to 17x23 5x10", "15x20"},
        {"round/to -15x15 10", "-20x20"},
        {"round/to/down 19x-19 10", "10x-10"},
        {"round/to/floor 19x-11 10", "10x-20"},
        {"round/to/even 25x35 10", "20x40"},
        // A float scale gives a float, truncated back into the component.
        {"round/to 17x23 2.5", "17x22"},
        {"round/to 1x2 $1", "!script/not-related"},
        {"round/to 2147483647x0 10", "!math/overflow"},
    });
}

TEST(PairActions, Compare) {
    expect_cases({
        {"1x2 < 1x3", "true"},
        {"2x0 > 1x100", "true"},
        {"1x2 = 1x2", "true"},
        {"-1x0 < 0x-5", "true"},
        {"1x2 = (1.0, 2.0)", "true"},
        {"1x2 < (1.0, 3.0)", "true"},
        {"1x2 = 1", "false"},
        {"1x2 <> 1", "true"},
        {"1x2 < 1", "!script/invalid-compare"},
        {"sort [3x1 1x5 1x2]", "[1x2 1x5 3x1]"},
    });
}

TEST(PairActions, ComponentsByPathAndPick) {
    expect_cases({
        {"p: 1x2 p/x: 5 p", "5x2"},
        {"p: 1x2 p/2: -7 p", "1x-7"},
        {"p: 1x2 p/Y", "2"},
        {"p: 1x2 reduce [p/1 p/2]", "[1 2]"},
        {"p: 1x2 p/x: 5", "5"},
        {"p: 1x2 p/z", "!script/invalid-path"},
        {"p: 1x2 p/3", "!script/invalid-path"},
        {"p: 1x2 p/x: 1.5", "!script/invalid-type"},
        {"pick 1x2 2", "2"},
        {"pick 1x2 'x", "1"},
        {"pick 1x2 'z", "!script/cannot-use"},
        {"pick 1x2 3", "!script/out-of-range"},
        {"pick 1x2 0", "!script/out-of-range"},
        // What the errors name.
        {"e: try [p: 1x2 p/z] reduce [e/arg1 e/arg2]", "[p/z z]"},
        {"e: try [pick 1x2 'z] reduce [e/arg1 e/arg2]", "[z 1x2]"},
        {"e: try [p: 1x2 p/x: 1.5] e/arg1", "float!"},
        // A pair in a block and in an object field changes where it lives.
        {"b: [1x1] b/1/y: 9 b", "[1x9]"},
        {"log: copy [] o: make object! [p: 1x2 on-change*: func [w o n] [append log reduce [w o n]]] "
         "o/p/x: 7 reduce [o/p log]",
         "[7x2 [p 1x2 7x2]]"},
    });
}

TEST(PairActions, FormMoldAndRandom) {
    expect_cases({
        {"form -1x2", "\"-1x2\""},
        {"mold -2147483648x2147483647", "\"-2147483648x2147483647\""},
        {"mold/part 123x456 5", "\"123x4\""},
        {"random/seed 3x4", "unset"},
        {"p: random 0x5 p/x", "0"},
        {"random 0x0", "0x0"},
    });
    for (int i = 0; i < 50; i++) {
        std::string v = eval("p: random -3x4 all [p/x >= -3 p/x <= -1 p/y >= 1 p/y <= 4]");
        ASSERT_EQ(v, "true");
    }
}

TEST(PairActions, Constructors) {
    kel_test::boot();
    Node b = block::make_node(2);
    Cell* c = pair::make_in(b, -3, 7);
    EXPECT_EQ(c->type(), TYPE_PAIR);
    EXPECT_EQ(pair::x_of(c), -3);
    EXPECT_EQ(pair::y_of(c), 7);
    Cell p{};
    p.header = cell_flag::newline | TYPE_INTEGER;
    pair::make_at(&p, 1, 2);
    EXPECT_EQ(p.header, cell_flag::newline | TYPE_PAIR);
}
