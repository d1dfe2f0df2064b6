// char!: range-checked arithmetic on codepoints, conversions, the molded escapes and the slots
// taken from integer!.
#include <gtest/gtest.h>

#include "tests/support/held.h"

#include <cmath>
#include <vector>

#include "datatypes/char.h"
#include "tests/support/fired.h"
#include "tests/support/values.h"

using namespace test_support;

namespace {

Cell binary_of(const std::vector<uint8_t>& bytes) {
    Node n = tv::hold_node(memory::alloc_bytes(static_cast<int32_t>(bytes.size()) + 1));
    SeriesBuf* b = memory::nodes[n];
    size_t i = 0;
    for (uint8_t x : bytes) b->data()[i++] = x;
    b->tail = static_cast<uint32_t>(bytes.size());
    Cell c;
    set_cell(&c, TYPE_BINARY, 0, n);
    return c;
}

}  // namespace

TEST(Char, Arithmetic) {
    struct {
        int action;
        Cell a, b;
        int32_t expected;
    } cases[] = {
        {ACT_ADD, char_of('a'), int_(1), 'b'},
        {ACT_ADD, char_of('a'), real(1.9), 'b'},
        {ACT_ADD, char_of('a'), char_of(1), 'b'},
        {ACT_SUBTRACT, char_of('b'), int_(1), 'a'},
        {ACT_MULTIPLY, char_of('a'), int_(0), 0},
        {ACT_DIVIDE, char_of('d'), int_(3), 33},
        {ACT_REMAINDER, char_of('d'), int_(3), 1},
        {ACT_AND_T, char_of('a'), int_(0xDF), 'A'},
        {ACT_OR_T, char_of('A'), int_(0x20), 'a'},
        {ACT_XOR_T, char_of('a'), int_(0x20), 'A'},
        {ACT_AND_T, char_of('a'), int_(-1), 'a'},
        {ACT_ADD, char_of(0x10FFFE), int_(1), 0x10FFFF},
        {ACT_SUBTRACT, char_of(1), int_(1), 0},
    };
    for (auto& c : cases) {
        Cell r = act(c.action, {c.a, c.b});
        ASSERT_EQ(r.type(), TYPE_CHAR) << molded(c.a) << " " << c.action << " " << molded(c.b);
        EXPECT_EQ(r.i1(), c.expected) << molded(c.a) << " " << c.action << " " << molded(c.b);
    }
    // Results outside 0 to 0x10FFFF, including products far beyond 32 bits.
    EXPECT_RAISES(err::math::overflow, act(ACT_SUBTRACT, {char_of(0), int_(1)}));
    EXPECT_RAISES(err::math::overflow, act(ACT_ADD, {char_of(0x10FFFF), int_(1)}));
    EXPECT_RAISES(err::math::overflow, act(ACT_MULTIPLY, {char_of('a'), int_(2147483647)}));
    EXPECT_RAISES(err::math::overflow, act(ACT_ADD, {char_of('a'), int_(-2147483648)}));
    EXPECT_RAISES(err::math::overflow, act(ACT_ADD, {char_of('a'), real(1e10)}));
    EXPECT_RAISES(err::math::overflow, act(ACT_ADD, {char_of('a'), real(NAN)}));
    EXPECT_RAISES(err::math::zero_divide, act(ACT_DIVIDE, {char_of('a'), int_(0)}));
    EXPECT_RAISES(err::math::zero_divide, act(ACT_REMAINDER, {char_of('a'), char_of(0)}));
    EXPECT_RAISES(err::script::invalid_type, act(ACT_ADD, {char_of('a'), text("b")}));
    EXPECT_RAISES(err::script::invalid_type, act(ACT_ADD, {char_of('a'), time_of(1.0)}));
    // char! has neither negate nor power.
    EXPECT_RAISES(err::script::expect_arg, act(ACT_NEGATE, {char_of('a')}));
}

TEST(Char, SlotsFromIntegerKeepTheType) {
    Cell r = act(ACT_ABSOLUTE, {char_of('a')});
    EXPECT_EQ(r.type(), TYPE_CHAR);
    EXPECT_EQ(r.i1(), 'a');
    EXPECT_EQ(act(ACT_EVEN_Q, {char_of('b')}).data1, 1u);
    EXPECT_EQ(act(ACT_ODD_Q, {char_of('b')}).data1, 0u);
}

TEST(Char, Conversions) {
    struct {
        Cell spec;
        int32_t expected;
    } ok[] = {
        {text("abc"), 'a'},
        {text("\xE2\x82\xAC"), 0x20AC},
        {int_(0x10FFFF), 0x10FFFF},
        {int_(0), 0},
        {char_of('x'), 'x'},
        {real(65.7), 'A'},
        {percent(66.2), 'B'},
        {binary_of({0xE2, 0x82, 0xAC}), 0x20AC},
        {binary_of({'A', 0xFF}), 'A'},
    };
    for (auto& c : ok) {
        Cell r = act(ACT_TO, {type_of(TYPE_CHAR), c.spec});
        ASSERT_EQ(r.type(), TYPE_CHAR) << describe(c.spec);
        EXPECT_EQ(r.i1(), c.expected) << describe(c.spec);
    }
    EXPECT_RAISES(err::script::out_of_range, act(ACT_TO, {type_of(TYPE_CHAR), int_(0x110000)}));
    EXPECT_RAISES(err::script::out_of_range, act(ACT_TO, {type_of(TYPE_CHAR), int_(-1)}));
    EXPECT_RAISES(err::script::out_of_range, act(ACT_TO, {type_of(TYPE_CHAR), real(-0.5 - 1)}));
    EXPECT_RAISES(err::script::out_of_range, act(ACT_TO, {type_of(TYPE_CHAR), real(1e20)}));
    EXPECT_RAISES(err::script::out_of_range, act(ACT_TO, {type_of(TYPE_CHAR), real(NAN)}));
    EXPECT_RAISES(err::script::bad_to_arg, act(ACT_TO, {type_of(TYPE_CHAR), text("")}));
    Cell before = text("xy"), past = text("xy");
    before.set_index(-2);
    past.set_index(3);
    EXPECT_EQ(act(ACT_TO, {type_of(TYPE_CHAR), before}).i1(), 'x');
    EXPECT_RAISES(err::script::bad_to_arg, act(ACT_TO, {type_of(TYPE_CHAR), past}));
    EXPECT_RAISES(err::script::bad_to_arg, act(ACT_TO, {type_of(TYPE_CHAR), binary_of({})}));
    EXPECT_RAISES(err::script::bad_to_arg, act(ACT_MAKE, {type_of(TYPE_CHAR), none_value()}));
    // A sequence cut by the end of the binary, or not UTF-8 at all: the error holds the bytes
    // from the head, four at the most.
    struct {
        std::vector<uint8_t> bytes, arg;
    } bad[] = {
        {{0xE2, 0x82}, {0xE2, 0x82}},
        {{0xFF}, {0xFF}},
        {{0x82, 0x41}, {0x82, 0x41}},
        {{0xF0, 0x9F, 0x41, 0x42, 0x43}, {0xF0, 0x9F, 0x41, 0x42}},
    };
    for (auto& c : bad) {
        auto e = fired([&] { act(ACT_TO, {type_of(TYPE_CHAR), binary_of(c.bytes)}); });
        ASSERT_TRUE(e.has_value());
        EXPECT_TRUE(e->id == err::access::invalid_utf8);
        ASSERT_EQ(e->arg1.type(), TYPE_BINARY);
        EXPECT_EQ(binary_bytes(e->arg1), c.arg);
    }
}

TEST(Char, MoldEscapes) {
    struct {
        uint32_t cp;
        const char* mold;
        const char* mold_all;
    } cases[] = {
        {'a', "#\"a\"", "#\"a\""},
        {0, "#\"^@\"", "#\"^@\""},
        {10, "#\"^/\"", "#\"^/\""},
        {9, "#\"^-\"", "#\"^-\""},
        {13, "#\"^M\"", "#\"^M\""},
        {27, "#\"^[\"", "#\"^[\""},
        {28, "#\"^\\\"", "#\"^\\\""},
        {30, "#\"^(1E)\"", "#\"^(1E)\""},
        {31, "#\"^_\"", "#\"^_\""},
        {'"', "#\"^\"\"", "#\"^\"\""},
        {'^', "#\"^^\"", "#\"^^\""},
        {127, "#\"^~\"", "#\"^~\""},
        {0x85, "#\"^(85)\"", "#\"^(85)\""},
        {0xE9, "#\"\xC3\xA9\"", "#\"^(E9)\""},
        {0x1F600, "#\"\xF0\x9F\x98\x80\"", "#\"^(1F600)\""},
        // A lone surrogate has no UTF-8 form the lexer takes back: always hexadecimal.
        {0xD800, "#\"^(D800)\"", "#\"^(D800)\""},
        {0xDFFF, "#\"^(DFFF)\"", "#\"^(DFFF)\""},
    };
    for (auto& c : cases) {
        EXPECT_EQ(molded(char_of(c.cp)), c.mold) << c.cp;
        EXPECT_EQ(molded(char_of(c.cp), true), c.mold_all) << c.cp;
    }
    EXPECT_EQ(formed(char_of(0x20AC)), "\xE2\x82\xAC");
}

TEST(Char, Comparison) {
    struct {
        Cell a, b;
        int op;
        bool expected;
    } cases[] = {
        {char_of('A'), int_(65), COMP_EQUAL, true},
        {char_of('A'), int_(65), COMP_STRICT_EQUAL, false},
        {char_of('A'), int_(65), COMP_EQUAL_FIND, false},
        {char_of('A'), int_(65), COMP_SAME, false},
        {char_of('a'), char_of('A'), COMP_EQUAL, false},
        {char_of('a'), char_of('b'), COMP_LESSER, true},
        {char_of('a'), int_(97), COMP_GREATER_EQUAL, true},
        {char_of('a'), real(97.0), COMP_EQUAL, false},
    };
    for (auto& c : cases) EXPECT_EQ(actions::compare(&c.a, &c.b, c.op), c.expected) << molded(c.a) << " " << c.op;
    Cell a = char_of('a'), f = real(1.0);
    EXPECT_RAISES(err::script::invalid_compare, actions::compare(&a, &f, COMP_LESSER));
}
