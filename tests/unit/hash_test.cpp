// hash!: making and converting, mold, copies with their own tables, and the table kept in step
// with the block through every series action (checked against a plain block's search).
#include "datatypes/hash.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "tests/support/kel_cases.h"

using kel_test::eval;
using kel_test::expect_cases;

TEST(Hash, MakeToAndMold) {
    expect_cases({
        {"make hash! 0", "make hash! []"},
        {"make hash! -5", "make hash! []"},
        {"make hash! 100000000", "make hash! []"},
        {"h: make hash! 2.5 append h [a 1] select h 'a", "1"},
        {"mold make hash! [1 2 3]", "\"make hash! [1 2 3]\""},
        {"mold/only make hash! [1 2 3]", "\"1 2 3\""},
        {"form make hash! [a 1 b 2]", "\"a 1 b 2\""},
        {"b: [a 1] h: make hash! b append b [c 3] reduce [h select h 'c]", "[make hash! [a 1] none]"},
        {"make hash! next [a 1]", "make hash! [1]"},
        {"make hash! make hash! [a 1]", "make hash! [a 1]"},
        {"make hash! \"a 1\"", "make hash! [a 1]"},
        {"to hash! [a 1]", "make hash! [a 1]"},
        {"h: to hash! \"a 1 b 2\" select h 'b", "2"},
        {"h: to hash! make map! [a 1] select h to set-word! 'a", "1"},
        {"h: to hash! make vector! [4 5 6] index? find h 5", "2"},
        {"h: to hash! 7 find h 7", "make hash! [7]"},
        {"make hash! 1e20", "!script/bad-make-arg"},
        {"type? union make hash! [a b] [b c]", "hash!"},
        {"(make hash! [1 2]) = make hash! [1 2]", "true"},
    });
}

TEST(Hash, CopiesHaveTablesOfTheirOwn) {
    expect_cases({
        {"h: make hash! [a 1 b 2] c: copy h append c [z 9] reduce [select h 'z select c 'z select c 'b]", "[none 9 2]"},
        {"h: make hash! [a 1 b 2] c: copy h append h [z 9] select c 'z", "none"},
        {"h: make hash! [a 1 b 2 c 3] c: copy/part h 2 reduce [c select c 'a find c 'b type? c]",
         "[make hash! [a 1] 1 none hash!]"},
        {"h: make hash! [a 1 b 2] c: copy next h reduce [c select c 'b index? find c 'b]", "[make hash! [1 b 2] 2 2]"},
        {"h: make hash! [a 1 b 2 c 3] c: copy/deep h reduce [type? c select c 'b]", "[hash! 2]"},
        {"h: make hash! [a [1] b 2] c: copy/deep h append pick c 2 9 h", "make hash! [a [1] b 2]"},
        {"h: make hash! [a [1] b 2] c: copy/types h block! append pick c 2 9 reduce [h select c 'b]",
         "[make hash! [a [1] b 2] 2]"},
    });
}

TEST(Hash, SortAndTrimReindex) {
    expect_cases({
        {"h: make hash! [c 3 a 1 b 2] sort/skip h 2 reduce [h select h 'a select h 'b select h 'c]",
         "[make hash! [a 1 b 2 c 3] 1 2 3]"},
        {"h: make hash! [3 1 2] sort h reduce [index? find h 1 index? find h 3]", "[1 3]"},
        {"h: make hash! [c b a] sort next h reduce [index? find h 'a index? find h 'b]", "[2 3]"},
        {"h: make hash! reduce ['a none 'b 2] trim h reduce [h select h 'b find h none]", "[make hash! [a b 2] 2 none]"},
    });
}

TEST(Hash, TableFollowsSwapsAndRemovals) {
    expect_cases({
        // The table never names a cell that already holds another value, not even between the
        // two halves of a swap.
        {"h: make hash! [x a a] swap h next h reduce [index? find h 'a index? find h 'x index? find/last h 'a]",
         "[1 2 3]"},
        {"h: make hash! [a b a] swap h skip h 1 reduce [index? find h 'b index? find/last h 'a]", "[1 3]"},
        // Taking the first cells keeps the keys of the rest.
        {"h: make hash! [a b c] take/part h 2 reduce [h index? find h 'c find h 'a]", "[make hash! [c] 1 none]"},
        {"h: make hash! [a b c] remove/part h 2 index? find h 'c", "1"},
        {"h: make hash! [a b c] clear h reduce [find h 'a length? h]", "[none 0]"},
    });
}

TEST(Hash, SeriesActionsKeepTheTableInStep) {
    // Random edits through the block actions; after each one every key must be found where a
    // linear search of the same values finds it.
    std::mt19937 rng(9);
    ASSERT_FALSE(kel_test::run("h: make hash! [w0 w1 w2 w3 w4 w5]").error);
    auto key = [&] { return "'w" + std::to_string(rng() % 8); };
    auto pos = [&] { return std::to_string(rng() % 8); };
    for (int step = 0; step < 400; step++) {
        std::string code;
        switch (rng() % 13) {
            case 0: code = "append h " + key(); break;
            case 1: code = "insert skip h " + pos() + " " + key(); break;
            case 2: code = "remove/part skip h " + pos() + " " + std::to_string(rng() % 3); break;
            case 3: code = "change skip h " + pos() + " reduce [" + key() + " " + key() + "]"; break;
            case 4: code = "take/last h"; break;
            case 5: {
                std::string p = pos();
                code = "if " + p + " < length? h [poke h 1 + " + p + " " + key() + "]";
                break;
            }
            case 6: code = "sort h"; break;
            case 7: code = "reverse skip h " + pos(); break;
            case 8: code = "if 30 < length? h [clear skip h 10]"; break;
            case 9: code = "swap skip h " + pos() + " skip h " + pos(); break;
            case 10: code = "move/part skip h " + pos() + " skip h " + pos() + " 2"; break;
            case 11: code = "take/part skip h " + pos() + " 2"; break;
            default: code = "insert/dup h " + key() + " 3"; break;
        }
        auto r = kel_test::run(code);
        ASSERT_FALSE(r.error) << code << ": " << r.message;
        // From every start position, so that a stale entry anywhere in a chain shows; /last from
        // the head (a block's /last looks before a later start, a hash!'s table does not).
        std::string check =
            "b: to block! h r: true repeat i 1 + length? h [repeat k 8 [w: to word! append copy \"w\" k - 1 "
            "x: all [p: find skip h i - 1 w index? p] y: all [p: find skip b i - 1 w index? p] "
            "if x <> y [r: reduce [i w x y]]]] "
            "repeat k 8 [w: to word! append copy \"w\" k - 1 "
            "x: all [p: find/last h w index? p] y: all [p: find/last b w index? p] "
            "if x <> y [r: reduce ['last w x y]]] r";
        ASSERT_EQ(eval(check), "true") << "step " << step << " after " << code << ": " << eval("h");
    }
}
