// try, catch and throw, and the loop and function exits.
#include <gtest/gtest.h>

#include "tests/support/kel_cases.h"

using kel_test::expect_cases;

TEST(NativesErrors, Try) {
    expect_cases({
        {"type? try [1 / 0]", "error!"},
        {"try [1 + 1]", "2"},
        {"e: try [1 / 0] e/id", "zero-divide"},
        {"n: 0 loop 3 [n: n + 1 try [break]] n", "1"},
        {"f: func [] [try [return 1] 2] f", "1"},
        {"e: try/all [break] e/id", "break"},
        {"e: try/all [throw 1] e/id", "throw"},
        {"catch [try [throw 4] 5]", "4"},
        {"e: try/keep [1 / 0] type? e/stack", "block!"},
        {"e: try [1 / 0] type? e/stack", "integer!"},
    });
}

TEST(NativesErrors, CatchAndThrow) {
    expect_cases({
        {"catch [throw 5]", "5"},
        {"catch [1 2]", "2"},
        {"catch [throw/name 5 'a]", "5"},
        {"catch [catch/name [throw/name 5 'a] 'b 6]", "5"},
        {"catch/name [throw/name 5 'A] [x a]", "5"},
        {"catch/name [throw/name 5 'a] 'a", "5"},
        {"catch [catch/name [throw 5] 'a 6]", "5"},
        {"catch/name [throw/name 5 'b] [a 1]", "!script/invalid-refine-arg"},
        {"catch/name [throw/name 5 'a] [a 1]", "5"},
        {"catch/name [throw/name 5 'c] [a b]", "!throw/throw"},
        {"throw 5", "!throw/throw"},
        {"f: does [throw 3] catch [f 4]", "3"},
        {"catch [loop 5 [throw 8]]", "8"},
    });
}

TEST(NativesErrors, Exits) {
    expect_cases({
        {"break", "!throw/break"},
        {"break/return 1", "!throw/break"},
        {"continue", "!throw/continue"},
        {"return 1", "!throw/return"},
        {"exit", "!throw/return"},
        {"f: func [] [loop 3 [loop 3 [return 7]] 0] f", "7"},
        {"f: func [] [exit 1] f", "unset"},
        {"f: does [loop 2 [break/return 1] 5] n: 0 loop 3 [n: n + f] n", "15"},
        {"f: does [break] loop 2 [f 3]", "unset"},
    });
}
