// The numeric natives. Float results are also checked against Python's math module by
// tests/py/test_math_natives.py.
#include <gtest/gtest.h>

#include <cmath>

#include "evaluator/natives_math.h"
#include "tests/support/kel_cases.h"

using kel_test::expect_cases;

TEST(NativesMath, SignTests) {
    expect_cases({
        {"negative? -1", "true"},
        {"negative? 0.0", "false"},
        {"positive? 0.0", "false"},
        {"positive? 1%", "true"},
        {"negative? 1.#NaN", "false"},
        {"positive? 1.#NaN", "false"},
        {"sign? -0:00:01", "-1"},
        {"sign? 0", "0"},
        {"sign? 2.5", "1"},
        {"sign? 1.#NaN", "0"},
        {"sign? -$3", "-1"},
        {"negative? \"x\"", "!script/expect-arg"},
        {"zero? 0x0", "true"},
        {"zero? 0x1", "false"},
        {"zero? 0.0.0", "true"},
        {"zero? 0.0.1", "false"},
        {"zero? #\"^@\"", "true"},
        {"zero? 0:00", "true"},
        {"zero? $0", "true"},
        {"zero? 1.#NaN", "false"},
        {"zero? as-point2D 0 0", "true"},
        {"zero? as-point3D 0 0 1", "false"},
        {"NaN? 5", "false"},
        {"NaN? 1.#NaN", "true"},
        {"NaN? 1.#INF", "false"},
    });
}

TEST(NativesMath, Shift) {
    expect_cases({
        {"shift -8 1", "-4"},
        {"shift/logical -8 1", "2147483644"},
        {"shift/left 1 31", "-2147483648"},
        {"shift/left 1 32", "0"},
        {"shift/left/logical 3 1", "6"},
        {"shift -1 40", "-1"},
        {"shift 8 40", "0"},
        {"shift/logical -1 32", "0"},
        {"shift 5 -3", "5"},
        {"shift/left -1 -3", "-1"},
    });
}

// NaN wins; a compound value takes the number coordinate by coordinate; everything else is the
// compare action's order (max keeps value1 and min takes value2 on equality).
TEST(NativesMath, MaxMin) {
    expect_cases({
        {"max 1 2", "2"},
        {"min 1 2", "1"},
        {"min 2 2.0", "2.0"},
        {"max 2 2.0", "2"},
        {"NaN? max 1.#NaN 1.0", "true"},
        {"NaN? min 1.0 1.#NaN", "true"},
        {"NaN? max 1 1.#NaN", "true"},
        {"max 1x5 3x2", "3x5"},
        {"min 1x5 3x2", "1x2"},
        {"max 3 1x5", "3x5"},
        {"max 1x5 3", "3x5"},
        {"max 1x5 2.9", "2x5"},
        {"min 1.2.3 2", "1.2.2"},
        {"max 1.2.3 300", "255.255.255"},
        {"min 1.2.3 -5", "0.0.0"},
        {"max 1.2.3 3.2.1", "3.2.3"},
        {"max 1.2.3 1e20", "!script/type-limit"},
        {"max 1.2.3 1.#NaN", "!script/type-limit"},
        {"type? max 1x2 1e20", "point2D!"},
        {"max 1x2 1e20", "(1.0e20, 1.0e20)"},
        {"max as-point2D 1 5 3", "(3.0, 5.0)"},
        {"min as-point2D 1 5 3x2", "(1.0, 2.0)"},
        {"max as-point3D 1 5 2 as-point3D 2 1 2", "(2.0, 5.0, 2.0)"},
        {"max as-point2D 1 5 as-point2D 1.#NaN 0", "(1.#NaN, 5.0)"},
        {"min as-point2D 1 5 as-point2D 0 1.#NaN", "(0.0, 1.#NaN)"},
        {"max as-point3D 1 5 2 as-point3D 2 1.#NaN 2", "(2.0, 1.#NaN, 2.0)"},
        {"max \"abc\" \"abd\"", "\"abd\""},
        {"max [1] 2", "!script/invalid-compare"},
        {"max 1.2.3 1.2.3.4", "1.2.3.4"},
    });
}

TEST(NativesMath, DegreeReduction) {
    constexpr double pi = 3.141592653589793;
    EXPECT_EQ(math::degrees_to_radians(270, 2), -90 * pi / 180);
    EXPECT_EQ(math::degrees_to_radians(270, 0), -90 * pi / 180);
    EXPECT_EQ(math::degrees_to_radians(270, 1), -90 * pi / 180);
    EXPECT_EQ(math::degrees_to_radians(150, 2), 30 * pi / 180);
    EXPECT_EQ(math::degrees_to_radians(150, 0), -30 * pi / 180);
    EXPECT_EQ(math::degrees_to_radians(150, 1), 150 * pi / 180);
    EXPECT_EQ(math::degrees_to_radians(-200, 1), 160 * pi / 180);
    EXPECT_EQ(math::degrees_to_radians(-100, 2), -80 * pi / 180);
    EXPECT_EQ(math::degrees_to_radians(750, 1), 30 * pi / 180);
    EXPECT_TRUE(std::isnan(math::degrees_to_radians(INFINITY, 1)));
}

TEST(NativesMath, Trigonometry) {
    expect_cases({
        {"sine 180", "0.0"},
        {"sine 0", "0.0"},
        {"sine 90", "1.0"},
        {"cosine 90", "0.0"},
        {"cosine 180", "-1.0"},
        {"tangent 90", "1.#INF"},
        {"tangent -90", "-1.#INF"},
        {"tangent 270", "-1.#INF"},
        {"tangent 45", "0.9999999999999999"},
        {"same? sine 390 sine 30", "true"},
        {"same? sine 150 sine 30", "true"},
        {"same? sine -30 negate sine 30", "true"},
        {"sine/radians 3.141592653589793", "0.0"},
        {"type? sine 1", "float!"},
        {"arcsine 1", "90.0"},
        {"arccosine 1", "0.0"},
        {"arctangent 1", "45.0"},
        {"arcsine/radians 1", "1.5707963267948966"},
        {"NaN? arcsine 2", "true"},
        {"arctangent2 1 1", "45.0"},
        {"arctangent2 0 -1", "180.0"},
        {"arctangent2/radians 0 -1", "3.141592653589793"},
        {"NaN? sine 1.#INF", "true"},
    });
}

TEST(NativesMath, LogarithmsAndPowers) {
    expect_cases({
        {"log-2 8", "3.0"},
        {"log-10 1000", "3.0"},
        {"log-e 1", "0.0"},
        {"log-e 0", "-1.#INF"},
        {"NaN? log-e -1", "true"},
        {"exp 0", "1.0"},
        {"square-root 4", "2.0"},
        {"square-root 400%", "2.0"},
        {"NaN? square-root -1", "true"},
        {"type? square-root 4", "float!"},
    });
}
