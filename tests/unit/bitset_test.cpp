// bitset!: making from specs, text forms, membership inside and past the array, the modifying
// actions with their growth rules, comparison, and the bitwise and set operations checked
// against a model of sets that may be complemented.
#include "datatypes/bitset.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>

#include "tests/support/kel_cases.h"
#include "tests/support/value_builders.h"

using kel_test::eval;
using kel_test::expect_cases;

TEST(Bitset, MakeToAndMold) {
    expect_cases({
        {"make bitset! 8", "make bitset! #{00}"},
        {"make bitset! 9", "make bitset! #{0000}"},
        {"make bitset! 9.9", "make bitset! #{0000}"},
        {"length? make bitset! 0", "0"},
        {"make bitset! \"\"", "make bitset! #{00}"},
        {"make bitset! []", "make bitset! #{00}"},
        {"make bitset! \"A\"", "make bitset! #{000000000000000040}"},
        {"make bitset! #\"A\"", "make bitset! #{000000000000000040}"},
        {"make bitset! 7", "make bitset! #{00}"},
        {"make bitset! [0 7 8]", "make bitset! #{8180}"},
        {"make bitset! [1.5 3.9]", "make bitset! #{50}"},
        {"make bitset! [#\"a\" - #\"c\"]", "make bitset! #{00000000000000000000000070}"},
        {"make bitset! [0 - 9 12]", "make bitset! #{FFC8}"},
        {"make bitset! [3 - 3]", "make bitset! #{10}"},
        {"make bitset! [\"ab\" [#\"c\" [100]]]", "make bitset! #{00000000000000000000000078}"},
        {"make bitset! #{F001}", "make bitset! #{F001}"},
        {"make bitset! next #{F001}", "make bitset! #{01}"},
        {"make bitset! [not]", "make bitset! [not #{00}]"},
        {"make bitset! [not \"A\"]", "make bitset! [not #{000000000000000040}]"},
        {"make bitset! [not #{F0}]", "make bitset! [not #{F0}]"},
        {"make bitset! [not 0 - 3]", "make bitset! [not #{F0}]"},
        {"make bitset! make bitset! [not 1]", "make bitset! [not #{40}]"},
        {"to bitset! \"ab\"", "make bitset! #{00000000000000000000000060}"},
        {"to bitset! [1 - 2]", "make bitset! #{60}"},
        // A block inside itself names nothing new.
        {"b: [1 2] append/only b b make bitset! b", "make bitset! #{60}"},
        {"form make bitset! [1]", "\"make bitset! #{40}\""},
        {"mold/part make bitset! \"A\" 20", "\"make bitset! #{00000\""},
        {"mold/part make bitset! [not 1] 21", "\"make bitset! [not #{4\""},
        {"mold/part make bitset! [1] 18", "\"make bitset! #{40}\""},
    });
}

TEST(Bitset, MakeErrors) {
    expect_cases({
        {"make bitset! -1", "!script/out-of-range"},
        {"make bitset! 1e20", "!script/out-of-range"},
        {"make bitset! [-1]", "!script/out-of-range"},
        {"make bitset! [2147483647]", "!script/out-of-range"},
        {"make bitset! [#\"c\" - #\"a\"]", "!script/past-end"},
        {"make bitset! [1 -]", "!script/past-end"},
        {"make bitset! [1 - #\"c\"]", "!script/invalid-arg"},
        {"make bitset! [1 - 2.5]", "!script/invalid-arg"},
        {"make bitset! [#{00}]", "!internal/not-done"},
        {"make bitset! [a]", "!script/bad-make-arg"},
        {"make bitset! %file", "!script/bad-make-arg"},
        {"to bitset! 8", "!script/bad-to-arg"},
        {"to bitset! [a]", "!script/bad-to-arg"},
        {"append make bitset! 8 [a]", "!script/invalid-arg"},
        {"append make bitset! 8 -1", "!script/out-of-range"},
        {"remove make bitset! 8", "!script/missing-arg"},
        {"reflect make bitset! 8 'words", "!internal/not-done"},
        {"b: make bitset! 8 b/\"a\"", "!script/invalid-type"},
        {"(make bitset! 8) and 1", "!script/invalid-type"},
        {"union make bitset! 8 \"a\"", "!script/expect-val"},
    });
}

TEST(Bitset, MembershipInsideAndPastTheArray) {
    expect_cases({
        {"b: make bitset! \"abc\" reduce [pick b #\"a\" pick b #\"d\" pick b 97 b/98 b/(#\"z\")]", "[true false true true false]"},
        // Past the array: only a complemented set has the bit, and asking grows nothing.
        {"b: make bitset! 8 reduce [pick b 1000 length? b]", "[false 8]"},
        {"b: make bitset! [not 1] reduce [pick b 1000 pick b 1 pick b 2 length? b]", "[true false true 8]"},
        {"b: make bitset! [not \"A\"] reduce [pick b #\"A\" pick b #\"B\" pick b 100000]", "[false true true]"},
        {"pick make bitset! [not] -1", "true"},
        {"pick make bitset! 8 -1", "false"},
        {"pick make bitset! [not] 1e30", "true"},
        // A spec is a member when all of it is.
        {"b: make bitset! \"abc\" reduce [find b \"ab\" find b \"abd\" find b [#\"a\" - #\"c\"] find b []]", "[true none true true]"},
        {"b: make bitset! [not 5] reduce [pick b [1 - 4] pick b [1 - 5] pick b [100 - 200]]", "[true false true]"},
        {"b: make bitset! [10 - 20] reduce [pick b [10 - 20] pick b [9 - 20] pick b [10 - 21]]", "[true false false]"},
        {"complement? make bitset! [not 1]", "true"},
        {"complement? make bitset! [1]", "false"},
        {"alpha: make bitset! [#\"a\" - #\"z\"] parse \"abc\" [some alpha]", "true"},
        {"other: make bitset! [not \"a\"] parse \"xyz\" [some other]", "true"},
        {"other: make bitset! [not \"a\"] parse \"xaz\" [some other]", "false"},
    });
}

TEST(Bitset, ModifyingActionsAndGrowth) {
    expect_cases({
        {"b: make bitset! 8 append b 9 b", "make bitset! #{0040}"},
        {"b: make bitset! 8 insert b [#\"A\"] length? b", "72"},
        {"b: make bitset! [1] remove/part b [1 5] b", "make bitset! #{00}"},
        {"b: make bitset! [1] remove/part b 100 length? b", "8"},
        // Clearing a bit of a complemented set grows its array with members.
        {"b: make bitset! [not] remove/part b 20 reduce [pick b 20 pick b 19 pick b 21 length? b]", "[false true true 24]"},
        // Setting one of it is a member already, past the end too.
        {"b: make bitset! [not 1] append b 1 b", "make bitset! [not #{00}]"},
        {"b: make bitset! [not 1] append b 100 pick b 100", "true"},
        {"b: make bitset! 8 poke b 3 true b", "make bitset! #{10}"},
        {"b: make bitset! [3] poke b 3 none b", "make bitset! #{00}"},
        {"b: make bitset! [3] poke b 3 0 b", "make bitset! #{00}"},
        {"b: make bitset! [3] poke b 3 0.0 b", "make bitset! #{00}"},
        {"b: make bitset! [3] poke b 3 false", "false"},
        {"b: make bitset! [3] b/3: false b", "make bitset! #{00}"},
        {"b: make bitset! 8 b/(#\"a\"): 1 pick b #\"a\"", "true"},
        {"b: make bitset! [1 2] clear b", "make bitset! #{00}"},
        {"clear make bitset! [not \"a\"]", "make bitset! [not #{00000000000000000000000000}]"},
        {"x: make bitset! \"a\" y: copy x append y \"b\" reduce [x y]",
         "[make bitset! #{00000000000000000000000040} make bitset! #{00000000000000000000000060}]"},
        {"b: make bitset! [not 1] c: copy b complement? c", "true"},
        {"complement make bitset! [0]", "make bitset! [not #{80}]"},
        {"b: make bitset! [0] c: negate b reduce [b c]", "[make bitset! #{80} make bitset! [not #{80}]]"},
    });
}

TEST(Bitset, OwnerHearsEveryChange) {
    expect_cases({
        {"log: copy [] o: make object! [b: make bitset! 8 on-deep-change*: func [owner word target action new index part] "
         "[append log action]] append o/b 3 poke o/b 1 true remove/part o/b 3 clear o/b o/b/2: false insert o/b 5 log",
         "[append appended poke poked remove removed clear cleared poke poked insert inserted]"},
        {"o: make object! [b: make bitset! 8 on-deep-change*: func [a b c d e f g] []] same? o reflect o/b 'owned", "true"},
        {"o: make object! [b: make bitset! 8 on-deep-change*: func [a b c d e f g] []] modify o/b 'owned none "
         "reflect o/b 'owned",
         "none"},
        {"log: copy [] o: make object! [b: none on-deep-change*: func [owner word target action new index part] "
         "[append log word]] c: make bitset! 8 modify c 'owned reduce [o 'b] append c 1 log",
         "[b b]"},
    });
}

TEST(Bitset, Comparison) {
    expect_cases({
        {"(make bitset! \"a\") = make bitset! \"a\"", "true"},
        {"(make bitset! \"a\") = make bitset! \"b\"", "false"},
        // A shorter array is smaller; bytes compare from the last one.
        {"(make bitset! 8) < make bitset! 16", "true"},
        {"(make bitset! [0 9]) < make bitset! [1 8]", "true"},
        {"(make bitset! [15]) < make bitset! [8]", "true"},
        {"(make bitset! [1]) < make bitset! [not 1]", "true"},
        // Two empty arrays hold nothing and everything under different flags.
        {"(make bitset! 0) = complement make bitset! 0", "false"},
        {"b: make bitset! 8 same? b b", "true"},
        {"same? make bitset! 8 make bitset! 8", "false"},
        {"(make bitset! 8) = 8", "false"},
    });
}

TEST(Bitset, LengthsOfTheBitwiseResults) {
    expect_cases({
        {"length? (make bitset! 8) and make bitset! 32", "8"},
        {"length? intersect make bitset! 8 make bitset! 32", "32"},
        {"length? (make bitset! 8) or make bitset! 32", "32"},
        {"length? exclude make bitset! 32 make bitset! 8", "32"},
        {"(make bitset! [1 9]) and make bitset! [1]", "make bitset! #{40}"},
        {"(make bitset! [1]) xor make bitset! [1 9]", "make bitset! #{0040}"},
        {"exclude make bitset! [1 9] make bitset! [1]", "make bitset! #{0040}"},
        {"difference make bitset! \"ab\" make bitset! \"bc\"", "make bitset! #{00000000000000000000000050}"},
    });
}

namespace {

// A set of numbers that may be complemented: members are the listed numbers, or all others.
struct ModelSet {
    std::set<int> bits;
    bool complemented = false;
    bool has(int n) const { return (bits.count(n) != 0) != complemented; }
};

std::string spec_text(const ModelSet& s) {
    std::string t(s.complemented ? "[not" : "[");
    for (int n : s.bits) {
        t += ' ';
        t += std::to_string(n);
    }
    t += ']';
    return t;
}

}  // namespace

TEST(Bitset, BitwiseAndSetOperationsMatchAModel) {
    // Every bit, inside both arrays, past one of them and past both, must be what the operation
    // on the two sets says, whatever the complement flags.
    std::mt19937 rng(7);
    struct Op {
        const char* code;  // the operands are a and b
        bool (*f)(bool, bool);
    };
    const Op ops[] = {
        {"a or b", [](bool x, bool y) { return x || y; }},
        {"union a b", [](bool x, bool y) { return x || y; }},
        {"a and b", [](bool x, bool y) { return x && y; }},
        {"intersect a b", [](bool x, bool y) { return x && y; }},
        {"a xor b", [](bool x, bool y) { return x != y; }},
        {"difference a b", [](bool x, bool y) { return x != y; }},
        {"exclude a b", [](bool x, bool y) { return x && !y; }},
    };
    for (int round = 0; round < 40; round++) {
        ModelSet a, b;
        a.complemented = rng() & 1;
        b.complemented = rng() & 1;
        int reach_a = 8 + int(rng() % 120), reach_b = 8 + int(rng() % 120);
        for (int k = 0; k < 12; k++) {
            a.bits.insert(int(rng() % reach_a));
            b.bits.insert(int(rng() % reach_b));
        }
        for (const Op& op : ops) {
            std::string code = "a: make bitset! " + spec_text(a) + " b: make bitset! " + spec_text(b) + " r: " + op.code;
            ASSERT_FALSE(kel_test::run(code).error) << code;
            Cell r = tv::get("r");
            ASSERT_EQ(r.type(), TYPE_BITSET) << code;
            for (int n : {0, 1, 7, 8, 63, 64, 100, 127, 128, 200, 1000, 100000}) {
                EXPECT_EQ(bitset::match_q(&r, uint32_t(n)), op.f(a.has(n), b.has(n))) << code << " bit " << n;
            }
            for (int n = 0; n < 140; n++)
                ASSERT_EQ(bitset::match_q(&r, uint32_t(n)), op.f(a.has(n), b.has(n))) << code << " bit " << n;
        }
    }
}

TEST(Bitset, RandomEditsMatchAModel) {
    // append, remove/part and poke on plain and complemented sets; the array grows as needed and
    // never changes a member that was not named.
    std::mt19937 rng(11);
    for (int round = 0; round < 20; round++) {
        ModelSet m;
        m.complemented = rng() & 1;
        ASSERT_FALSE(kel_test::run(m.complemented ? "s: make bitset! [not]" : "s: make bitset! 0").error);
        for (int step = 0; step < 30; step++) {
            int lo = int(rng() % 300), hi = lo + int(rng() % 20);
            bool on = rng() & 1;
            std::string range("[");
            range += std::to_string(lo);
            range += " - ";
            range += std::to_string(hi);
            range += ']';
            std::string code = on ? "append s " : (rng() & 1) ? "remove/part s " : "poke s ";
            code += range;
            if (code[0] == 'p') code += " false";
            ASSERT_FALSE(kel_test::run(code).error) << code;
            for (int n = lo; n <= hi; n++) {
                if (on != m.complemented)
                    m.bits.insert(n);
                else
                    m.bits.erase(n);
            }
        }
        Cell s = tv::get("s");
        for (int n = 0; n < 400; n++) ASSERT_EQ(bitset::match_q(&s, uint32_t(n)), m.has(n)) << "round " << round << " bit " << n;
        EXPECT_EQ(bitset::match_q(&s, 1u << 30), m.complemented);
    }
}
