// UTF-8 / UTF-16 loading and encoding over string buffers, and display width. Random and
// exhaustive comparisons with Python's codecs live in tests/py/test_text_conversions.py; these
// cover the buffer handling: widening, growth, heads, conversion buffers, bounds and errors.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../support/fired.h"
#include "../support/text_buffers.h"
#include "runtime/unicode.h"

using namespace test_support;
using V = std::vector<uint32_t>;

namespace {

Node load(const std::string& s, Node target = 0, bool crlf = false, uint32_t* remaining = nullptr) {
    return unicode::load_utf8(unicode::Source::external(s.data()), uint32_t(s.size()), target, crlf, remaining);
}

}  // namespace

TEST(Utf8Load, WidensStepByStepKeepingPositions) {
    Node n = load("A\xC3\xA9");
    EXPECT_EQ(memory::nodes[n]->unit(), 1u);
    EXPECT_EQ(cps_of(n), (V{0x41, 0xE9}));
    load("\xE2\x82\xAC", n);
    EXPECT_EQ(memory::nodes[n]->unit(), 2u);
    EXPECT_EQ(cps_of(n), (V{0x41, 0xE9, 0x20AC}));
    load("x\xF0\x9F\x98\x80y", n);
    EXPECT_EQ(memory::nodes[n]->unit(), 4u);
    EXPECT_EQ(cps_of(n), (V{0x41, 0xE9, 0x20AC, 0x78, 0x1F600, 0x79}));
}

TEST(Utf8Load, AppendsToFullTargetsOfEveryUnit) {
    // Targets with no spare room, some with their head away from the data start: every store
    // must find room first (ASan reports any write past the buffer).
    std::string text;
    V expected_tail;
    for (int i = 0; i < 300; i++) {
        text += i % 3 ? "\xE2\x82\xAC" : "q";
        expected_tail.push_back(i % 3 ? 0x20AC : 'q');
    }
    for (uint32_t unit : {1u, 2u, 4u}) {
        for (uint32_t head : {0u, 8u}) {
            V start(16 - head / unit, 'a');
            Node n = make_text(start, unit, 0, head);
            load(text, n);
            V want = start;
            want.insert(want.end(), expected_tail.begin(), expected_tail.end());
            EXPECT_EQ(cps_of(n), want) << "unit " << unit << " head " << head;
            EXPECT_EQ(memory::nodes[n]->unit(), std::max(unit, 2u));
        }
    }
}

TEST(Utf8Load, CutSequenceIsLeftUnread) {
    uint32_t remaining = 99;
    Node n = load("ab\xE2\x82", 0, false, &remaining);
    EXPECT_EQ(cps_of(n), (V{'a', 'b'}));
    EXPECT_EQ(remaining, 2u);
    n = load("\xF0\x9F\x98", 0, false, &remaining);
    EXPECT_EQ(cps_of(n), V{});
    EXPECT_EQ(remaining, 3u);
    n = load("\xEF\xBB\xBF", 0, false, &remaining);
    EXPECT_EQ(cps_of(n), V{});
    EXPECT_EQ(remaining, 0u);
}

TEST(Utf8Load, CrLfFolding) {
    EXPECT_EQ(cps_of(load("a\r\nb", 0, true)), (V{'a', '\n', 'b'}));
    EXPECT_EQ(cps_of(load("a\rb", 0, true)), (V{'a', '\n', 'b'}));
    EXPECT_EQ(cps_of(load("a\r\nb", 0, false)), (V{'a', '\r', '\n', 'b'}));
}

TEST(Utf8Load, InvalidInputKeepsTheTargetAndNamesOnlyRealBytes) {
    Node n = make_text({'x', 'y'}, 1, 4);
    // The bad sequence comes after a widening character: the target keeps its two characters.
    auto f = fired([&] { load(std::string("\xE2\x82\xAC" "c\xFF"), n); });
    ASSERT_TRUE(f);
    EXPECT_TRUE(f->id == err::access::invalid_utf8);
    EXPECT_EQ(binary_bytes(f->arg1), std::vector<uint8_t>{0xFF});
    EXPECT_EQ(cps_of(n), (V{'x', 'y'}));
}

TEST(Utf8Decode, CheckedDecoderCases) {
    struct Case {
        std::string in;
        int32_t cp;    // -1: cut; -2: invalid-utf8
        int32_t used;  // sequence length on success
    };
    const Case cases[] = {
        {"A", 'A', 1},
        {"\xC0\x80", 0, 2},            // overlong forms load
        {"\xE0\x80\x80", 0, 3},
        {"\xF0\x80\x80\x80", 0, 4},
        {"\xED\xA0\x80", 0xD800, 3},   // a high surrogate loads
        {"\xED\xB4\x80", 0xDD00, 3},
        {"\xED\xB0\x80", -2, 0},       // 0xDC00-0xDCFF do not
        {"\xED\xB3\xBF", -2, 0},
        {"\xF4\x8F\xBF\xBF", 0x10FFFF, 4},
        {"\xF4\x90\x80\x80", -2, 0},
        {"\xF8\x88\x80\x80\x80", -2, 0},
        {"\x80", -2, 0},
        {"\xC3\x41", -2, 0},
        {"\xE2\x82", -1, 0},           // cut, could still be completed
        {"\xE2", -1, 0},
        {"\xE0\x41", -2, 0},           // cut, but already wrong
        {"\xED\xB0", -2, 0},           // cut, but can only become 0xDCxx
        {"\xF5\x80", -2, 0},           // cut, but above 0x10FFFF whatever follows
    };
    for (const Case& c : cases) {
        int32_t n = int32_t(c.in.size());
        int32_t cp = 0;
        auto f = fired([&] { cp = unicode::decode_utf8_checked(reinterpret_cast<const uint8_t*>(c.in.data()), &n); });
        if (c.cp == -2) {
            ASSERT_TRUE(f) << "input " << testing::PrintToString(c.in);
            EXPECT_TRUE(f->id == err::access::invalid_utf8);
            // The argument holds at most 4 bytes and never more than the input has.
            std::string want = c.in.substr(0, 4);
            EXPECT_EQ(binary_bytes(f->arg1), std::vector<uint8_t>(want.begin(), want.end()));
        } else {
            ASSERT_FALSE(f) << "input " << testing::PrintToString(c.in);
            EXPECT_EQ(cp, c.cp) << testing::PrintToString(c.in);
            if (c.cp >= 0) {
                EXPECT_EQ(n, c.used);
            }
        }
    }
}

TEST(Utf8Decode, FastDecoderStopsAtTheEnd) {
    // Each input sits at the end of a larger buffer that holds continuation bytes after it, so
    // a decoder that reads past its end would find a complete sequence there.
    const std::string buf = "ab\xE2\x82\xAC\xAC";
    const auto* p = reinterpret_cast<const uint8_t*>(buf.data());
    int32_t cp = 0;
    const uint8_t* next = unicode::fast_decode_utf8_char(p + 2, p + 4, &cp);
    EXPECT_EQ(cp, -1);
    EXPECT_EQ(next, p + 4);
    next = unicode::fast_decode_utf8_char(p + 2, p + 5, &cp);
    EXPECT_EQ(cp, 0x20AC);
    EXPECT_EQ(next, p + 5);
    // The fast decoder is strict: overlong forms and surrogates are invalid there.
    const std::string strict = "\xC0\x80\xED\xA0\x80";
    const auto* s = reinterpret_cast<const uint8_t*>(strict.data());
    unicode::fast_decode_utf8_char(s, s + 2, &cp);
    EXPECT_EQ(cp, -1);
    unicode::fast_decode_utf8_char(s + 2, s + 5, &cp);
    EXPECT_EQ(cp, -1);

    EXPECT_EQ(unicode::count_chars(p, p + 4), 3);  // a, b and the cut sequence
    EXPECT_EQ(unicode::count_chars(p, p + 5), 3);
    EXPECT_EQ(unicode::skip_chars(p, p + 5, 2), p + 2);
    EXPECT_EQ(unicode::skip_chars(p, p + 5, 10), p + 5);
    EXPECT_EQ(unicode::skip_chars(p, p + 4, 3), p + 4);
}

TEST(Utf8Encode, SizesLimitsAndInvalidCodepoints) {
    EXPECT_EQ(unicode::cp_utf8_size(0x7F), 1);
    EXPECT_EQ(unicode::cp_utf8_size(0x80), 2);
    EXPECT_EQ(unicode::cp_utf8_size(0xFFFF), 3);
    EXPECT_EQ(unicode::cp_utf8_size(0x10FFFF), 4);
    auto f = fired([] { unicode::cp_utf8_size(0x110000); });
    ASSERT_TRUE(f);
    EXPECT_TRUE(f->id == err::script::invalid_char);
    EXPECT_TRUE(f->arg1.is(TYPE_INTEGER));
    EXPECT_EQ(f->arg1.data1, 0x110000u);

    uint8_t out[4] = {0, 0, 0, 0};
    EXPECT_EQ(unicode::cp_to_utf8_limit(0x1F600, out, 2), 2);  // cut after the bytes that fit
    EXPECT_EQ(out[0], 0xF0);
    EXPECT_EQ(out[1], 0x9F);
    EXPECT_EQ(out[2], 0);
    EXPECT_EQ(unicode::cp_to_utf8_limit(0x41, out, 0), 0);

    Node n = make_text({'a', 0xE9, 0x20AC, 0x1F600}, 4);
    SeriesBuf* b = memory::nodes[n];
    EXPECT_EQ(unicode::utf8_length(b->at_head(), b->at_tail(), 4), 1 + 2 + 3 + 4);
}

TEST(Utf8Encode, ConversionBufferCopies) {
    Node n = make_text({'a', '\n', 0xE9, 'b'}, 1);
    Cell s = string_value(n, 1);  // from the line feed on
    int32_t len = -1;
    const char* t = unicode::to_utf8(&s, &len, true);
    EXPECT_EQ(std::string(t, size_t(len)), "\r\n\xC3\xA9" "b");
    EXPECT_EQ(t[len], 0);
    Node scratch = s.data3;
    ASSERT_NE(scratch, 0u);
    len = 2;  // a part
    t = unicode::to_utf8(&s, &len, false);
    EXPECT_EQ(std::string(t, size_t(len)), "\n\xC3\xA9");
    EXPECT_EQ(s.data3, scratch);  // the same conversion buffer is reused

    // A head past the tail converts nothing.
    Cell past = string_value(n, 9);
    len = -1;
    EXPECT_STREQ(unicode::to_utf8(&past, &len, false), "");
    EXPECT_EQ(len, 0);

    // Limited writing cuts inside the last codepoint and still terminates.
    Cell whole = string_value(make_text({0x20AC, 0x20AC}, 2));
    uint8_t out[8];
    std::memset(out, 0x55, sizeof out);
    EXPECT_EQ(unicode::write_utf8_limit(&whole, -1, out, 5, true), 4);
    EXPECT_EQ(out[3], 0xE2);
    EXPECT_EQ(out[4], 0);
    EXPECT_EQ(out[5], 0x55);
    EXPECT_EQ(unicode::write_utf8(&whole, 1, out, true), 3);
    EXPECT_EQ(out[3], 0);
}

TEST(Utf16Encode, PairsLineEndsAndInvalidCodepoints) {
    Cell s = string_value(make_text({0x10000, '\n', 'a'}, 4));
    int32_t len = -1;
    const uint16_t* u = unicode::to_utf16_part(&s, &len, true);
    ASSERT_NE(u, nullptr);
    EXPECT_EQ(std::vector<uint16_t>(u, u + len + 1), (std::vector<uint16_t>{0xD800, 0xDC00, '\r', '\n', 'a', 0}));
    // The conversion buffer was sized for the pair and the CR.
    EXPECT_GE(memory::nodes[s.data3]->capacity, uint32_t(len + 1) * 2);

    Cell bad = string_value(make_text({'a', 0x110000}, 4));
    len = -1;
    EXPECT_EQ(unicode::to_utf16_part(&bad, &len, false), nullptr);
    uint16_t two[2];
    EXPECT_EQ(unicode::cp_to_utf16(0x110000, two), 0);
}

TEST(Utf16Load, WidthsTargetsAndSurrogates) {
    auto units = [](std::vector<uint16_t> v) { return v; };
    struct Case {
        std::vector<uint16_t> in;
        uint32_t unit;
        V cps;
    };
    const Case cases[] = {
        {units({'a', 0xE9}), 1, {'a', 0xE9}},
        {units({'a', 0x20AC}), 2, {'a', 0x20AC}},
        {units({0xD83D, 0xDE00, 'b'}), 4, {0x1F600, 'b'}},
        {units({0xDC00, 'b'}), 4, {0xDC00, 'b'}},  // a lone low surrogate is kept as it is
        {units({}), 2, {}},
    };
    for (const Case& c : cases) {
        Node n = unicode::load_utf16(unicode::Source::external(c.in.data()), uint32_t(c.in.size()), nullptr, false);
        EXPECT_EQ(memory::nodes[n]->unit(), c.unit);
        EXPECT_EQ(cps_of(n), c.cps);
        EXPECT_TRUE(memory::nodes[n]->flags & unicode::kUtf16Loaded);
    }

    // A target's content is replaced; CRs go with the flag.
    Node t = make_text({'o', 'l', 'd'}, 1);
    Cell tv = string_value(t);
    std::vector<uint16_t> in = {'x', '\r', '\n', 0x3042};
    unicode::load_utf16(unicode::Source::external(in.data()), 4, &tv, true);
    EXPECT_EQ(memory::nodes[t]->unit(), 2u);
    EXPECT_EQ(cps_of(t), (V{'x', '\n', 0x3042}));

    // Bad pairs are errors, raised before the target changes.
    for (std::vector<uint16_t> bad : {units({'a', 0xD800, 'A'}), units({'a', 0xD800})}) {
        auto f = fired([&] {
            unicode::load_utf16(unicode::Source::external(bad.data()), uint32_t(bad.size()), &tv, false);
        });
        ASSERT_TRUE(f);
        EXPECT_TRUE(f->id == err::access::invalid_utf8);
        EXPECT_EQ(binary_bytes(f->arg1).size(), bad.size() == 3 ? 4u : 2u);
        EXPECT_EQ(cps_of(t), (V{'x', '\n', 0x3042}));
    }

    // Without a source the input is the target's conversion buffer.
    int32_t len = -1;
    Cell src = string_value(make_text({'h', 0x1F600}, 4));
    unicode::to_utf16_part(&src, &len, false);
    unicode::load_utf16(unicode::Source{}, uint32_t(len), &src, false);
    EXPECT_EQ(cps_of(src.node()), (V{'h', 0x1F600}));
}

TEST(Widen, KeepsCharactersHeadsAndEmptiness) {
    for (uint32_t to : {2u, 4u}) {
        Node empty = make_text({}, 1);
        unicode::widen(empty, to);
        EXPECT_EQ(memory::nodes[empty]->unit(), to);
        EXPECT_EQ(cps_of(empty), V{});
    }
    // Full buffers, with and without a head offset, grow as they widen.
    for (uint32_t head : {0u, 16u}) {
        V cps;
        for (uint32_t i = 0; i < 40; i++) cps.push_back(0x80 + i);
        Node n = make_text(cps, 1, 0, head);
        unicode::latin1_to_ucs2(n);
        EXPECT_EQ(cps_of(n), cps);
        unicode::ucs2_to_ucs4(n);
        EXPECT_EQ(cps_of(n), cps);
        EXPECT_EQ(memory::nodes[n]->unit(), 4u);
        Node m = make_text(cps, 1, 200, head);
        unicode::latin1_to_ucs4(m);
        EXPECT_EQ(cps_of(m), cps);
    }
}

TEST(CharWidth, Classes) {
    // The CJK variant looks at ambiguous width first, so marks that are also ambiguous (U+0300
    // and up, the variation selectors) take two cells there.
    struct Case {
        uint32_t cp;
        int width;
        int cjk;
    };
    const Case cases[] = {
        {0x0000, 0, 0},  {0x0007, 1, 1},  {0x0085, 1, 1},  {0x0041, 1, 1},   {0x00A1, 1, 2},
        {0x0301, 0, 2},  {0x200B, 0, 0},  {0x00AD, 1, 2},  {0x1160, 0, 0},   {0x11FF, 0, 0},
        {0x1100, 2, 2},  {0x4E2D, 2, 2},  {0xAC00, 2, 2},  {0xFF21, 2, 2},   {0x1F600, 2, 2},
        {0x3FFFD, 2, 2}, {0x40000, 1, 1}, {0xE0100, 0, 2}, {0x10FFFD, 1, 2}, {0x110000, 1, 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(unicode::char_width(c.cp), c.width) << std::hex << c.cp;
        EXPECT_EQ(unicode::char_width_cjk(c.cp), c.cjk) << std::hex << c.cp;
    }
}

TEST(CharWidth, IntervalSearchBounds) {
    const uint32_t table[] = {10, 20, 30, 30, 40, 50};
    for (uint32_t cp : {10u, 15u, 20u, 30u, 40u, 50u}) EXPECT_TRUE(unicode::interval_search(cp, table, 6)) << cp;
    for (uint32_t cp : {0u, 9u, 21u, 29u, 31u, 39u, 51u}) EXPECT_FALSE(unicode::interval_search(cp, table, 6)) << cp;
    EXPECT_FALSE(unicode::interval_search(10, table, 0));
}
