// The loop natives: counts, words, break and continue, and the series loops.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/kel_cases.h"
#include "tests/support/stale_stack.h"

using kel_test::expect_cases;

TEST(NativesLoops, CountedLoops) {
    expect_cases({
        {"loop 0 [1]", "none"},
        {"loop -3 [1]", "none"},
        {"x: 0 loop 2.9 [x: x + 1] x", "2"},
        {"x: 0 loop -0.5 [x: x + 1] x", "0"},
        {"loop 3 [4]", "4"},
        {"loop 2 [break/return 5]", "5"},
        {"loop 2 [break]", "unset"},
        {"n: 0 loop 3 [n: n + 1 if n > 1 [continue] n: n + 10] n", "13"},
        {"loop 1e20 [1]", "!script/out-of-range"},
        {"loop 1.#NaN [1]", "!script/out-of-range"},
        // A count too low for 32 bits is still below 1: nothing runs, the word is left alone.
        {"x: 0 loop -1e20 [x: 1] x", "0"},
        {"loop -1e20 [1]", "none"},
        {"x: 7 repeat x -1.#INF [1] x", "7"},
        {"x: 7 repeat x 0 [1] x", "7"},
        {"x: 7 repeat x -2.5 [1] x", "7"},
        {"repeat i 3 [i * 10]", "30"},
        {"repeat i 3 [] i", "3"},
        {"r: copy [] repeat i 3 [append r i i: 10] r", "[1 2 3]"},
        {"r: copy [] repeat i 2.9 [append r i] r", "[1 2]"},
        {"repeat i 5 [if i = 2 [break/return i * 100]]", "200"},
        {"f: func [/local i] [repeat i 3 [] i] f", "3"},
    });
}

TEST(NativesLoops, ConditionLoops) {
    expect_cases({
        {"i: 0 while [i < 3] [i: i + 1]", "unset"},
        {"i: 0 while [i < 3] [i: i + 1] i", "3"},
        {"while [true] [break/return 5]", "unset"},
        {"i: 0 while [i < 5] [i: i + 1 if i > 2 [continue] i: i + 0] i", "5"},
        {"while [break] [1]", "!throw/while-cond"},
        {"while [continue] [1]", "!throw/while-cond"},
        {"while [()] [1]", "!script/no-return"},
        {"i: 0 until [i: i + 1 i = 3]", "true"},
        {"until [break/return 7]", "7"},
        {"until [break]", "unset"},
        {"i: 0 until [i: i + 1 if i < 3 [continue] true] i", "3"},
        {"until [()]", "!script/no-return"},
        {"i: 0 forever [i: i + 1 if i = 3 [break/return i * 2]]", "6"},
        {"forever [break]", "unset"},
    });
}

TEST(NativesLoops, Foreach) {
    expect_cases({
        {"r: copy [] foreach [a b] [1 2 3] [append r reduce [a b]] r", "[1 2 3 none]"},
        {"n: 0 foreach [a b] [1 2 3] [n: n + 1] n", "2"},
        {"foreach x [] [1]", "unset"},
        {"foreach x [1 2] [x * 3]", "6"},
        {"r: copy [] foreach c \"ab\" [append r c] r", "[#\"a\" #\"b\"]"},
        {"r: copy [] foreach b #{0102} [append r b] r", "[1 2]"},
        {"foreach x [1 2 3] [if x = 2 [break/return 9]]", "9"},
        {"r: copy [] foreach x [1 2 3] [if x = 2 [continue] append r x] r", "[1 3]"},
        {"foreach [] [1 2] []", "!script/invalid-arg"},
        {"foreach [a 1] [1 2] []", "!script/invalid-arg"},
        {"foreach [a b] reduce [1 ()] []", "!script/need-value"},
        {"r: copy [] foreach [k v] #[a 1 b 2] [append r reduce [k v]] r", "[a 1 b 2]"},
        {"foreach k #[a 1] []", "!script/invalid-arg"},
        {"foreach [k v w] #[a 1] []", "!script/invalid-arg"},
        {"b: [1 2] foreach x b [] b", "[1 2]"},
        {"f: func [/local x] [foreach x [5 6] [] x] f", "6"},
    });
}

// forall walks the word's own series in place and puts it back after a normal end.
TEST(NativesLoops, Forall) {
    expect_cases({
        {"s: [1 2 3] r: copy [] forall s [append r s/1] r", "[1 2 3]"},
        {"s: [1 2 3] forall s [] index? s", "1"},
        {"s: next [1 2 3] forall s [] index? s", "2"},
        {"s: [1 2 3] forall s [if s/1 = 2 [break]] index? s", "2"},
        {"s: [1 2 3] n: 0 forall s [n: n + 1 s: tail s] n", "1"},
        {"s: [1 2 3] forall s [s/1 * 2]", "6"},
        {"s: [] forall s [1]", "unset"},
        {"s: \"ab\" r: copy [] forall s [append r index? s] r", "[1 2]"},
        {"x: 5 forall x []", "!script/expect-arg"},
        {"unset 'no-such-series forall no-such-series []", "!script/no-value"},
        {"s: [1 2] forall s [s: [3 4]]", "!script/bad-loop-series"},
        {"s: [1 2] forall s [s: 5]", "!script/bad-loop-series"},
    });
}

TEST(NativesLoops, RemoveEach) {
    expect_cases({
        {"b: [1 2 3 4] remove-each x b [even? x]", "[1 3]"},
        {"b: [1 2 3 4] remove-each x b [even? x] b", "[1 3]"},
        {"d: [1 2 3 4 5] remove-each [a b] d [a = 3] d", "[1 2 5]"},
        {"d: [1 2 3 4 5] remove-each [a b] d [a = 5] d", "[1 2 3 4]"},
        {"d: next [1 2 3] r: remove-each x d [true] reduce [r head d]", "[[] [1]]"},
        {"d: [1 2] remove-each [] d [true] d", "[1 2]"},
        {"remove-each x [1 2 3] [()]", "[]"},
        {"remove-each x [1 2 3] [if x = 2 [continue] true]", "[2]"},
        {"remove-each x [1 2 3] [if x = 2 [break] true]", "[2 3]"},
        {"remove-each c \"abcb\" [c = #\"b\"]", "\"ac\""},
    });
}

// The loop's own result slot is given a value before the collector can see it.
TEST(NativesLoops, RemoveEachLeavesNoStaleCellForTheCollector) {
    test_support::ChildResult r = test_support::eval_over_stale_stack("b: [1 2 3 4] remove-each x b [recycle even? x]");
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("[1 3]"), std::string::npos) << r.out;
}
