// Float text: the digit generator's outputs, the layouts' fixed points, and the scanner's bounds.
// Random comparisons with Python's repr, %g and float() live in tests/py/test_text_conversions.py.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "datatypes/float.h"
#include "runtime/dtoa.h"

TEST(Dtoa, DigitsPositionsAndSpecials) {
    struct Case {
        double v;
        int digits;
        bool keep_zero;
        const char* text;
        int pos;
        bool sign;
    };
    const double inf = std::numeric_limits<double>::infinity();
    const Case cases[] = {
        {1.0, 0, true, "1", 1, false},
        {0.001, 0, true, "1", -2, false},
        {-12.5, 0, true, "-125", 2, true},
        {0.1 + 0.2, 0, true, "30000000000000004", 0, false},
        {1.123456789, 6, true, "112346", 1, false},
        {2.5, 1, true, "2", 1, false},  // exact ties go to even
        {1e22, 3, true, "1", 23, false},
        {0.0, 0, true, "0.0", dtoa::kZero, false},
        {-0.0, 0, true, "-0.0", dtoa::kZero, true},
        {-0.0, 0, false, "-0", dtoa::kZero, true},
        {inf, 0, true, "1.#INF", dtoa::kSpecial, false},
        {-inf, 0, true, "-1.#INF", dtoa::kSpecial, true},
        {-std::numeric_limits<double>::quiet_NaN(), 0, true, "1.#NaN", dtoa::kSpecial, true},
    };
    for (const Case& c : cases) {
        int pos = 0, len = 0;
        bool sign = false;
        const char* t = dtoa::dtoa(c.v, c.digits, &pos, &sign, &len, c.keep_zero);
        EXPECT_EQ(std::string(t, size_t(len)), c.text) << c.v;
        EXPECT_EQ(pos, c.pos) << c.v;
        EXPECT_EQ(sign, c.sign) << c.v;
    }
}

TEST(Dtoa, Layouts) {
    struct Case {
        double v;
        const char* mold;
        const char* form;
        const char* form_plain;  // pretty printing off
    };
    const Case cases[] = {
        {0.1 + 0.2, "0.30000000000000004", "0.3", "0.3"},
        {1e16, "10000000000000000.0", "1.0e16", "1.0e16"},
        {1e17, "1.0e17", "1.0e17", "1.0e17"},
        {1e15, "1000000000000000.0", "1000000000000000.0", "1000000000000000.0"},
        {1e-7, "0.0000001", "1.0e-7", "1.0e-7"},
        {1e-8, "1.0e-8", "1.0e-8", "1.0e-8"},
        {0.0001, "0.0001", "0.0001", "0.0001"},
        {0.00001, "0.00001", "1.0e-5", "1.0e-5"},
        {-0.0, "-0.0", "0.0", "-0.0"},
        // Below the double epsilon the pretty form shows zero; plain %.16g shows the double.
        {1e-20, "1.0e-20", "0.0", "9.999999999999999e-21"},
        {100.0, "100.0", "100.0", "100.0"},
        {1e300, "1.0e300", "1.0e300", "1.0e300"},
        {1.5e-300, "1.5e-300", "0.0", "1.5e-300"},
        {-2.5e-5, "-0.000025", "-2.5e-5", "-2.5e-5"},
        {1.0000000000000009, "1.0000000000000009", "1.0", "1.000000000000001"},
        // Noise in a mantissa of 17 characters before an exponent.
        {1.000000000000001e20, "1.000000000000001e20", "1.0e20", "1.000000000000001e20"},
        {2.0 / 3.0, "0.6666666666666666", "0.6666666666666666", "0.6666666666666666"},
    };
    for (const Case& c : cases) {
        EXPECT_STREQ(dtoa::form_float(c.v, 0, true), c.mold) << c.v;
        EXPECT_STREQ(float_::form_float(c.v, float_::kFloat), c.form) << c.v;
        float_::pretty_print = false;
        EXPECT_STREQ(float_::form_float(c.v, float_::kFloat), c.form_plain) << c.v;
        float_::pretty_print = true;
    }
    EXPECT_STREQ(dtoa::form_float(1200.0, 0, false), "1200");
    EXPECT_STREQ(dtoa::form_float(1e17, 0, false), "1e17");
    EXPECT_STREQ(float_::form_float(1.123456789, float_::kTimeSeconds), "1.12346");
    EXPECT_STREQ(float_::form_float(100.0, float_::kPercent), "100.0%");
    EXPECT_STREQ(float_::form_float(12.5, float_::kPercent), "12.5%");
    EXPECT_STREQ(float_::form_float(1e-30, float_::kPercent), "0%");
    EXPECT_STREQ(float_::form_float(3.0, float_::kPoint), "3");
    EXPECT_STREQ(float_::form_float(1e-30, float_::kPoint), "0");
    const double inf = std::numeric_limits<double>::infinity();
    for (int kind = 0; kind <= 5; kind++) {
        EXPECT_STREQ(float_::form_float(inf, kind), "1.#INF");
        EXPECT_STREQ(float_::form_float(-inf, kind), "-1.#INF");
        EXPECT_STREQ(float_::form_float(std::nan(""), kind), "1.#NaN");
    }
}

TEST(Strtod, BoundsAndLeftovers) {
    auto read = [](const std::string& s, size_t n, int extra, int* left) {
        return dtoa::strtod(s.data(), s.data() + n, extra, left);
    };
    int left = -1;
    // The end bounds the text: digits after it are not read.
    EXPECT_EQ(read("12345", 2, 0, &left), 12.0);
    EXPECT_EQ(left, 0);
    EXPECT_EQ(read("1.5e3", 4, 0, &left), 1.5);  // "1.5e": the 'e' needs more text after it
    EXPECT_EQ(left, 1);
    EXPECT_EQ(read("1.5abc", 6, 0, &left), 1.5);
    EXPECT_EQ(left, 3);
    EXPECT_EQ(read("2e+", 3, 0, &left), 2.0);
    EXPECT_EQ(left, 2);
    EXPECT_EQ(read("50", 2, -2, &left), 0.5);
    EXPECT_EQ(read("-0", 2, 0, &left), 0.0);
    EXPECT_TRUE(std::signbit(read("-0", 2, 0, &left)));
    EXPECT_EQ(read("1e400", 5, 0, &left), std::numeric_limits<double>::infinity());
    EXPECT_EQ(read("-1e400", 6, 0, &left), -std::numeric_limits<double>::infinity());
    EXPECT_EQ(read("1e-400", 6, 0, &left), 0.0);
    std::string huge = "1e" + std::string(40, '9');
    EXPECT_EQ(read(huge, huge.size(), 0, &left), std::numeric_limits<double>::infinity());
    EXPECT_EQ(left, 0);
    EXPECT_TRUE(std::isinf(read("1.#INF", 6, 0, &left)));
    EXPECT_EQ(left, 0);
    double nan = read("1.#NaN", 6, 0, &left);
    uint64_t bits;
    std::memcpy(&bits, &nan, 8);
    EXPECT_EQ(bits, 0x7FF8000000000000ull);
    EXPECT_EQ(read("", 0, 0, &left), 0.0);
}
