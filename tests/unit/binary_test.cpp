// binary!: conversion to bytes, append/insert/change with their refinements and size checks,
// trim, complement and the bitwise actions, owner notifications, and the byte helpers that other
// modules call from C++.
#include "datatypes/binary.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "datatypes/bitset.h"
#include "runtime/collector.h"
#include "tests/support/fired.h"
#include "tests/support/kel_cases.h"
#include "tests/support/value_builders.h"

using kel_test::eval;
using kel_test::expect_cases;

namespace {

std::vector<uint8_t> bytes_of(const Cell* b) {
    const uint8_t* p = binary::rs_head(b);
    return std::vector<uint8_t>(p, p + binary::rs_length_q(b));
}

// The value of a snippet, held for the rest of the test run.
Cell value_of(const char* code) {
    kel_test::Outcome o = kel_test::run(std::string("binary-test-value: ") + code);
    EXPECT_FALSE(o.error) << code << ": " << o.text;
    return tv::hold(tv::get("binary-test-value"));
}

}  // namespace

TEST(Binary, To) {
    expect_cases({
        {"to binary! 1", "#{00000001}"},
        {"to binary! -2", "#{FFFFFFFE}"},
        {"to binary! 1.0", "#{3FF0000000000000}"},
        {"to binary! 50%", "#{3FE0000000000000}"},
        {"to binary! #\"a\"", "#{61}"},
        {"to binary! #\"\u20AC\"", "#{E282AC}"},
        // Text of every unit width becomes UTF-8.
        {"to binary! \"\u00E9\"", "#{C3A9}"},
        {"to binary! \"a\u20ACb\"", "#{61E282AC62}"},
        {"to binary! \"\U0001F600\"", "#{F09F9880}"},
        {"to binary! next \"xyz\"", "#{797A}"},
        {"to binary! %a/b", "#{612F62}"},
        {"to binary! <p>", "#{70}"},
        {"to binary! \"\"", "#{}"},
        {"to binary! 1.2.3", "#{010203}"},
        {"to binary! #ABCD", "#{ABCD}"},
        {"to binary! make bitset! [0 7 8]", "#{8180}"},
        {"to binary! [1 #\"a\" \"\u00E9\" #{FF} 1.2.3 (255)]", "#{0161C3A9FF010203FF}"},
        {"to binary! [[1 [2]] 3]", "#{010203}"},
        {"b: #{0102} c: to binary! b append b 3 c", "#{0102}"},
        {"to binary! next #{0102}", "#{02}"},
        {"make binary! \"\u00E9\"", "#{C3A9}"},
        {"length? make binary! 100", "0"},
        // Errors.
        {"to binary! none", "!script/bad-to-arg"},
        {"to binary! 'word", "!script/bad-to-arg"},
        {"to binary! [1 word]", "!script/bad-to-arg"},
        {"to binary! [256]", "!script/invalid-arg"},
        {"to binary! #AG", "!script/invalid-data"},
        {"b: copy [1] append/only b b to binary! b", "!internal/no-cycle"},
    });
}

TEST(Binary, AppendAndInsert) {
    expect_cases({
        {"append #{01} #{0203}", "#{010203}"},
        {"index? append next #{01} #{02}", "1"},
        {"append #{} -1", "#{FF}"},
        {"append #{} -128", "#{80}"},
        {"append #{} 256", "!script/invalid-arg"},
        {"append #{} -129", "!script/invalid-arg"},
        {"append #{} 'word", "!script/invalid-arg"},
        // Nothing changes when the value fails part-way through a block.
        {"b: #{01} try [append b [2 300]] b", "#{01}"},
        {"append #{} \"\u00E9\"", "#{C3A9}"},
        {"append #{} [1 \"a\" #{FF}]", "#{0161FF}"},
        {"append/dup #{AA} #{0102} 3", "#{AA010201020102}"},
        {"append/dup #{AA} #{0102} 1", "#{AA0102}"},
        {"append/dup #{AA} #{0102} 0", "#{AA}"},
        {"append/dup #{AA} #{0102} -1", "#{AA}"},
        {"append/part #{} \"abcdef\" 3", "#{616263}"},
        {"append/part #{} \"abc\" 10", "#{616263}"},
        {"append/part #{} \"\u20AC\" 2", "#{E282}"},
        {"s: \"abcd\" append/part #{} s at s 3", "#{6162}"},
        // In a block /part counts values; with /only it counts bytes.
        {"append/part #{} [#{0102} #{0304} #{05}] 2", "#{01020304}"},
        {"append/part/only #{} [#{0102} #{0304} #{05}] 3", "#{010203}"},
        {"append/part #{01} #{0203} 0", "#{01}"},
        {"b: #{0102} append b b", "#{01020102}"},
        {"b: #{0102} append/dup b b 2", "#{010201020102}"},
        {"b: #{0102} append b reduce [b 3 b]", "#{01020102030102}"},
        {"insert #{0304} #{0102}", "#{0304}"},
        {"b: #{0304} insert b #{0102} b", "#{01020304}"},
        {"index? insert #{0304} #{0102}", "3"},
        {"head insert next #{0304} #{0102}", "#{03010204}"},
        {"head insert/dup #{} #\"a\" 3", "#{616161}"},
        {"index? insert/dup #{FF} #\"a\" 3", "4"},
        {"head insert/part next #{FF} [1 2 3] 2", "#{FF0102}"},
        {"b: #{010203} head insert next b b", "#{010102030203}"},
        {"b: #{0102} head insert tail b b", "#{01020102}"},
        {"index? insert tail #{0102} #{03}", "4"},
        // A head left past the tail by another value's removal is set back to the tail.
        {"b: #{01020304} c: at b 4 clear next b append c #{FF} b", "#{01FF}"},
        {"b: #{01020304} c: at b 4 clear next b index? insert c #{FF}", "3"},
        {"b: #{01020304} c: at b 4 clear next b insert c #{FF} b", "#{01FF}"},
    });
}

TEST(Binary, Change) {
    expect_cases({
        {"head change #{010203} #{AABB}", "#{AABB03}"},
        {"index? change #{010203} #{AABB}", "3"},
        {"head change #{01} #{AABBCC}", "#{AABBCC}"},
        {"head change/part #{010203} #{AABB} 1", "#{AABB0203}"},
        {"head change/part #{010203} #{AA} 5", "#{AA}"},
        {"head change/part #{010203} #{} 2", "#{03}"},
        {"b: #{010203} head change/part b #{AA} at b 3", "#{AA03}"},
        {"head change/dup #{0102} #{AA} 3", "#{AAAAAA}"},
        {"head change/dup next #{01020304} #{AABB} 2.9", "#{01AABBAABB}"},
        {"head change/dup #{0102} #{AA} 0", "#{0102}"},
        {"head change next #{0102} 255", "#{01FF}"},
        {"head change #{0102} \"\u00E9\"", "#{C3A9}"},
        {"head change #{0102} [3 4 5]", "#{030405}"},
        {"change tail #{01} #{02}", "#{}"},
        {"head change tail #{01} #{02}", "#{0102}"},
        {"b: #{010203} head change next b b", "#{01010203}"},
        {"b: #{01020304} head change b next b", "#{02030404}"},
        {"b: #{01020304} c: at b 4 clear next b head change c #{FF}", "#{01FF}"},
        {"change #{01} 300", "!script/invalid-arg"},
    });
}

TEST(Binary, SizeOverflowRaisesNoMemory) {
    // The sizes are measured before anything grows: none of these allocates the bytes it names.
    expect_cases({
        {"append/dup #{01} #{0102} 2000000000", "!internal/no-memory"},
        {"insert/dup #{01} #{0102} 2147483647", "!internal/no-memory"},
        {"change/dup #{01} #{0102} 2000000000", "!internal/no-memory"},
        {"x: make binary! 1048576 append/dup x #{00} 1048576 b: copy [] loop 2048 [append b x] "
         "append #{} b",
         "!internal/no-memory"},
        {"length? to binary! b", "!internal/no-memory"},
        {"c: #{01} try [append/dup c #{0102} 2000000000] c", "#{01}"},
    });
}

TEST(Binary, Trim) {
    expect_cases({
        {"trim #{0000AB00}", "#{AB}"},
        {"trim/head #{0000AB00}", "#{AB00}"},
        {"trim/tail #{0000AB00}", "#{0000AB}"},
        {"trim/head/tail #{00AB00}", "#{AB}"},
        {"trim #{0000}", "#{}"},
        {"head trim next #{0000AB00}", "#{00AB}"},
        {"trim/all #{00AB00CD00}", "#{ABCD}"},
        {"trim/with #{0102030201} #{02}", "#{010301}"},
        {"trim/with #{0102030201} \"^A^B\"", "#{03}"},
        {"trim/with #{0102030201} 1", "#{020302}"},
        {"trim/with #{0102030201} #\"^C\"", "#{01020201}"},
        {"trim/auto #{00}", "!internal/not-done"},
        {"trim/lines #{00}", "!internal/not-done"},
    });
}

TEST(Binary, ComplementAndBitwise) {
    expect_cases({
        {"complement #{00FF0F}", "#{FF00F0}"},
        {"b: #{00FF} same? b complement b", "true"},
        {"head complement next #{00FF}", "#{0000}"},
        {"and~ #{FF00} #{0F}", "#{0F00}"},
        {"or~ #{FF00} #{0F}", "#{FF00}"},
        {"xor~ #{FF00} #{0F}", "#{F000}"},
        {"and~ #{0F} #{FF00}", "#{0F00}"},
        {"or~ #{0F} #{F0F0}", "#{FFF0}"},
        {"xor~ #{} #{0102}", "#{0102}"},
        {"#{F0} or #{0F}", "#{FF}"},
        {"and~ next #{FF0F} #{FF}", "#{0F}"},
        {"and~ #{FF} 1", "!script/invalid-arg"},
    });
}

TEST(Binary, CompareAndInheritedActions) {
    expect_cases({
        {"#{0102} = #{0102}", "true"},
        {"#{0102} = next #{000102}", "true"},
        {"#{01} < #{0100}", "true"},
        {"#{FF} > #{0100}", "true"},
        {"#{0102} = \"ab\"", "false"},
        {"find #{010203} #{0203}", "#{0203}"},
        {"select #{010203} 2", "3"},
        {"pick #{0102} 2", "2"},
        // A poked byte takes what append takes: -128..255 and chars up to 255.
        {"b: copy #{0102} poke b 1 -1 b", "#{FF02}"},
        {"b: copy #{0102} b/2: -128 b", "#{0180}"},
        {"b: copy #{0102} poke b 2 #\"\u00E9\" b", "#{01E9}"},
        {"poke copy #{0102} 1 256", "!script/out-of-range"},
        {"poke copy #{0102} 1 -129", "!script/out-of-range"},
        {"poke copy #{0102} 1 #\"\u20AC\"", "!script/out-of-range"},
        {"copy/part #{010203} 2", "#{0102}"},
        {"length? next #{0102}", "1"},
    });
}

TEST(Binary, OwnerHearsOfEveryChange) {
    expect_cases({
        {"log: copy [] o: make object! [b: #{0102} on-deep-change*: func [owner word target action new index "
         "part] [append log reduce [action index part]]] append o/b 3 insert o/b #{0405} change o/b #{06} "
         "trim o/b log",
         "[append 2 -1 appended 2 1 insert 0 -1 inserted 0 1 change 0 1 changed 0 1 trim 0 5 trimmed 0 5]"},
        // A failed conversion tells the owner nothing.
        {"log: copy [] o: make object! [b: #{01} on-deep-change*: func [owner word target action new index "
         "part] [append log action]] try [append o/b 999] log",
         "[]"},
    });
}

// ---- The byte helpers ----

class BinaryHelpers : public testing::Test {
protected:
    void SetUp() override { kel_test::boot(); }
};

TEST_F(BinaryHelpers, WritesGrowAndKeepTheHead) {
    Cell b;
    binary::make_at(&b, 0);
    collector::Root keep(&b);
    const uint8_t abc[] = {'a', 'b', 'c'};
    uint8_t* at = binary::rs_append(&b, abc, 3);
    EXPECT_EQ(at[0], 'a');
    binary::append_int32(&b, 0x01020304);
    EXPECT_EQ(bytes_of(&b), (std::vector<uint8_t>{'a', 'b', 'c', 1, 2, 3, 4}));
    binary::rs_next(&b);
    const uint8_t xy[] = {'x', 'y'};
    binary::rs_insert(&b, 1, xy, 2);  // offsets count from the head
    EXPECT_EQ(bytes_of(&b), (std::vector<uint8_t>{'b', 'x', 'y', 'c', 1, 2, 3, 4}));
    binary::rs_overwrite(&b, 6, abc, 3);  // runs past the tail: the tail moves out
    EXPECT_EQ(bytes_of(&b), (std::vector<uint8_t>{'b', 'x', 'y', 'c', 1, 2, 'a', 'b', 'c'}));
    binary::rs_overwrite(&b, 11, xy, 1);  // a gap is zero-filled
    EXPECT_EQ(bytes_of(&b), (std::vector<uint8_t>{'b', 'x', 'y', 'c', 1, 2, 'a', 'b', 'c', 0, 0, 'x'}));
    EXPECT_EQ(binary::get_byte(&b), 'b');
    binary::rs_skip(&b, 100);
    EXPECT_TRUE(binary::rs_tail_q(&b));
    EXPECT_EQ(binary::rs_head(&b), binary::rs_tail(&b));
    binary::rs_skip(&b, -100);
    EXPECT_EQ(b.index(), 0);
    binary::rs_next(&b);
    binary::rs_clear(&b);
    EXPECT_EQ(binary::rs_length_q(&b), 0);
    b.set_index(0);
    EXPECT_EQ(bytes_of(&b), (std::vector<uint8_t>{'a'}));
    // Many appends: the buffer grows by doubling, the content stays.
    std::vector<uint8_t> model{'a'};
    for (int i = 0; i < 2000; i++) {
        uint8_t v = static_cast<uint8_t>(i);
        binary::rs_append(&b, &v, 1);
        model.push_back(v);
    }
    EXPECT_EQ(bytes_of(&b), model);
}

TEST_F(BinaryHelpers, LoadPushAndMakeIn) {
    const uint8_t data[] = {9, 8, 7};
    Cell* pushed = binary::load(data, 3);
    EXPECT_EQ(bytes_of(pushed), (std::vector<uint8_t>{9, 8, 7}));
    Cell copy = *pushed;
    stack::pop(1);
    Cell* again = binary::push(&copy);
    EXPECT_EQ(again->node(), copy.node());
    stack::pop(1);
    Cell blk = tv::hold(tv::blk({}));
    binary::load_in(blk.node(), data, 2);
    binary::make_in(blk.node(), 64);
    SeriesBuf* s = memory::nodes[blk.node()];
    ASSERT_EQ(s->length(), 2u);
    EXPECT_EQ(bytes_of(cells_head(s)), (std::vector<uint8_t>{9, 8}));
    EXPECT_EQ(binary::rs_length_q(cells_head(memory::nodes[blk.node()]) + 1), 0);
}

TEST_F(BinaryHelpers, SetByteAndBitsetMembership) {
    uint8_t x = 0;
    Cell v;
    binary::set_byte(&x, set_cell(&v, TYPE_INTEGER, static_cast<uint32_t>(-1)));
    EXPECT_EQ(x, 0xFF);
    binary::set_byte(&x, set_cell(&v, TYPE_CHAR, 0x141));
    EXPECT_EQ(x, 0x41);
    auto e = test_support::fired([&] { binary::set_byte(&x, set_cell(&v, TYPE_NONE)); });
    ASSERT_TRUE(e);
    EXPECT_TRUE(e->id == err::script::invalid_arg);

    Cell bits = value_of("make bitset! [1 200]");
    Cell nbits = value_of("make bitset! [not 1]");
    const uint8_t data[] = {1, 2, 200};
    Cell b;
    binary::load_at(&b, data, 3);
    collector::Root keep(&b);
    EXPECT_TRUE(binary::byte_in_bitset_q(&b, &bits));
    EXPECT_FALSE(binary::byte_in_bitset_q(&b, &nbits));
    binary::rs_next(&b);
    EXPECT_FALSE(binary::byte_in_bitset_q(&b, &bits));
    // Past the array only a complemented set has the byte.
    binary::rs_next(&b);
    EXPECT_TRUE(binary::byte_in_bitset_q(&b, &bits));
    EXPECT_TRUE(binary::byte_in_bitset_q(&b, &nbits));
    binary::rs_next(&b);
    EXPECT_FALSE(binary::byte_in_bitset_q(&b, &bits));
}

TEST_F(BinaryHelpers, ValueBytesMeasuresWhatItWrites) {
    struct Case {
        const char* code;
        int32_t part;
        bool only;
        std::vector<uint8_t> expected;
    } cases[] = {
        {"#\"\u20AC\"", -1, false, {0xE2, 0x82, 0xAC}},
        {"#\"\u20AC\"", 2, false, {0xE2, 0x82}},
        {"\"a\U0001F600\"", -1, false, {'a', 0xF0, 0x9F, 0x98, 0x80}},
        {"\"abc\"", 0, false, {'a', 'b', 'c'}},  // 0 is no limit
        {"[1 \"ab\" 3]", 2, false, {1, 'a', 'b'}},
        {"[1 \"ab\" 3]", 2, true, {1, 'a'}},
        {"[[1 2] 3]", 1, false, {1, 2}},
        {"1.2.3.4", -1, false, {1, 2, 3, 4}},
        {"next #{010203}", -1, false, {2, 3}},
        {"<b>", -1, false, {'b'}},
    };
    for (const Case& c : cases) {
        Cell v = value_of(c.code);
        int64_t n = binary::value_bytes(nullptr, &v, c.part, c.only);
        ASSERT_EQ(n, int64_t(c.expected.size())) << c.code;
        std::vector<uint8_t> out(size_t(n) + 1, 0xEE);
        EXPECT_EQ(binary::value_bytes(out.data(), &v, c.part, c.only), n) << c.code;
        EXPECT_EQ(out[size_t(n)], 0xEE) << c.code << ": wrote past the measured count";
        out.pop_back();
        EXPECT_EQ(out, c.expected) << c.code;
    }
    Cell word = tv::wrd("w");
    auto e = test_support::fired([&] { binary::value_bytes(nullptr, &word, -1, false); });
    ASSERT_TRUE(e);
    EXPECT_TRUE(e->id == err::script::invalid_arg);
    e = test_support::fired([&] { binary::value_bytes(nullptr, &word, -1, false, true); });
    ASSERT_TRUE(e);
    EXPECT_TRUE(e->id == err::script::bad_to_arg);
}

TEST_F(BinaryHelpers, EqualAndMatchAgainstText) {
    struct Case {
        const char* binary;
        const char* other;
        bool equal, match;
    } cases[] = {
        {"#{C3A9}", "\"\u00E9\"", true, true},
        {"#{61C3A9}", "next \"a\u00E9\"", false, false},
        {"#{C3A978}", "\"\u00E9\"", false, true},
        {"#{C3}", "\"\u00E9\"", false, false},
        {"#{612F62}", "%a/b", true, true},
        {"#{0102}", "#{0102}", true, true},
        {"#{0102}", "#{01}", false, true},
        {"#{01}", "#{0102}", false, false},
        {"#{}", "\"\"", true, true},
        {"#{31}", "1", false, false},
    };
    for (const Case& c : cases) {
        Cell b = value_of(c.binary);
        Cell o = value_of(c.other);
        EXPECT_EQ(binary::equal_q(&b, &o), c.equal) << c.binary << " " << c.other;
        EXPECT_EQ(binary::match_q(&b, &o), c.match) << c.binary << " " << c.other;
    }
}
