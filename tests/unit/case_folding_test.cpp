// Case mapping of codepoints and of strings in place.
#include <gtest/gtest.h>

#include "../support/fired.h"
#include "../support/text_buffers.h"
#include "runtime/case_folding.h"

using namespace test_support;
using V = std::vector<uint32_t>;

TEST(CaseFolding, Codepoints) {
    struct Case {
        uint32_t cp, upper, lower;
    };
    const Case cases[] = {
        {'a', 'A', 'a'},
        {'Z', 'Z', 'z'},
        {'5', '5', '5'},
        {' ', ' ', ' '},
        {0xDF, 0xDF, 0xDF},        // sharp s has no one-codepoint upper case
        {0xFF, 0x178, 0xFF},       // y with diaeresis: its upper case is outside Latin-1
        {0x130, 0x130, 'i'},       // dotted capital I
        {0x3C3, 0x3A3, 0x3C3},     // Greek sigma, final sigma, capital sigma
        {0x3C2, 0x3A3, 0x3C2},
        {0x3A3, 0x3A3, 0x3C3},
        {0x44F, 0x42F, 0x44F},     // Cyrillic ya
        {0x401, 0x401, 0x451},     // Cyrillic Io
        {0x1C5, 0x1C4, 0x1C6},     // title-case digraph maps both ways
        {0xFF41, 0xFF21, 0xFF41},  // fullwidth a
        {0x10428, 0x10400, 0x10428},  // Deseret, above the basic plane
        {0x10400, 0x10400, 0x10428},
        {0x1E922, 0x1E900, 0x1E922},  // Adlam: the last pairs of the lists
        {0x1E943, 0x1E921, 0x1E943},
        {0x1E944, 0x1E944, 0x1E944},
        {0x1F600, 0x1F600, 0x1F600},
        {0x10FFFF, 0x10FFFF, 0x10FFFF},
        {0x7FFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF},  // garbage in, unchanged out
    };
    for (const Case& c : cases) {
        EXPECT_EQ(case_folding::change(c.cp, true), c.upper) << std::hex << c.cp;
        EXPECT_EQ(case_folding::change(c.cp, false), c.lower) << std::hex << c.cp;
    }
    EXPECT_EQ(case_folding::toggle('a'), uint32_t('A'));
    EXPECT_EQ(case_folding::toggle('A'), uint32_t('a'));
    EXPECT_EQ(case_folding::toggle('1'), uint32_t('1'));
    EXPECT_EQ(case_folding::to_upper_bmp('b'), uint32_t('B'));
    EXPECT_EQ(case_folding::to_upper_bmp('B'), 0u);
    EXPECT_EQ(case_folding::to_upper_bmp(0x10428), 0x10400u);
}

TEST(CaseFolding, StringsInPlace) {
    // Lower-casing Latin-1 stays in 1-byte units.
    Node n = make_text({'A', 0xC0, 'b'}, 1);
    Cell s = string_value(n);
    case_folding::change_string(&s, false);
    EXPECT_EQ(memory::nodes[n]->unit(), 1u);
    EXPECT_EQ(cps_of(n), (V{'a', 0xE0, 'b'}));

    // Upper-casing y-diaeresis widens to 2-byte units; the other characters keep their places,
    // also with the head away from the data start.
    n = make_text({'x', 0xFF, 'z', 0xDF}, 1, 0, 16);
    s = string_value(n);
    case_folding::change_string(&s, true);
    EXPECT_EQ(memory::nodes[n]->unit(), 2u);
    EXPECT_EQ(cps_of(n), (V{'X', 0x178, 'Z', 0xDF}));

    // Only from the value's head on.
    n = make_text({'a', 'b', 'c'}, 1);
    s = string_value(n, 1);
    case_folding::change_string(&s, true);
    EXPECT_EQ(cps_of(n), (V{'a', 'B', 'C'}));

    Cell ch;
    set_cell(&ch, TYPE_CHAR, 0x3B1);
    case_folding::change_string(&ch, true);
    EXPECT_EQ(ch.data1, 0x391u);
}

TEST(CaseFolding, PartCounts) {
    Node n = make_text({'a', 'b', 'c', 'd'}, 1);
    Cell s = string_value(n, 1);
    Cell count;
    set_cell(&count, TYPE_INTEGER, 2);
    case_folding::change_string(&s, true, &count);
    EXPECT_EQ(cps_of(n), (V{'a', 'B', 'C', 'd'}));

    set_cell(&count, TYPE_INTEGER, uint32_t(-5));  // negative counts nothing
    case_folding::change_string(&s, true, &count);
    set_cell(&count, TYPE_INTEGER, 100);  // never beyond the tail
    case_folding::change_string(&s, false, &count);
    EXPECT_EQ(cps_of(n), (V{'a', 'b', 'c', 'd'}));

    // A position in the same series ends the part; one before the head counts nothing.
    Cell end = string_value(n, 3);
    case_folding::change_string(&s, true, &end);
    EXPECT_EQ(cps_of(n), (V{'a', 'B', 'C', 'd'}));
    Cell before = string_value(n, 0);
    case_folding::change_string(&s, false, &before);
    EXPECT_EQ(cps_of(n), (V{'a', 'B', 'C', 'd'}));

    // Another series is an error, and nothing changes.
    Cell other = string_value(make_text({'x'}, 1), 0);
    Cell word;
    set_cell(&word, TYPE_WORD, 0, 0, 0);
    auto f = fired([&] { case_folding::change_string(&s, false, &other, &word); });
    ASSERT_TRUE(f);
    EXPECT_TRUE(f->id == err::script::invalid_refine_arg);
    EXPECT_EQ(cps_of(n), (V{'a', 'B', 'C', 'd'}));

    // A head past the tail is moved to the tail.
    Cell past = string_value(n, 9);
    case_folding::change_string(&past, true);
    EXPECT_EQ(past.index(), 4);
}
