// func, function, does and has: the spec they give the new function and what it runs.
#include <gtest/gtest.h>

#include "tests/support/kel_cases.h"

using kel_test::expect_cases;

TEST(NativesFunctions, Makers) {
    expect_cases({
        {"f: func [a b] [a * b] f 3 4", "12"},
        {"f: does [5] f", "5"},
        {"reflect does [5] 'spec", "[]"},
        {"f: has [x] [x: 5 x] f", "5"},
        {"reflect has [] [] 'spec", "[/local]"},
        {"reflect has [a b] [] 'spec", "[/local a b]"},
        {"s: [a] has s [] s", "[a]"},
        {"f: function [a] [b: a * 2 b] f 3", "6"},
        {"reflect function [a] [b: 1 a: 2] 'spec", "[a /local b]"},
        {"reflect function [/extern x] [x: 1 y: 2] 'spec", "[/local y]"},
        {"x: 0 f: function [/extern x] [x: 5] f x", "5"},
        {"y: 0 f: function [] [y: 5] f y", "0"},
        {"s: [a] function s [b: 1] s", "[a]"},
        {"s: next [x a] reflect func s [] 'spec", "[a]"},
        {"func [a a] []", "!script/dup-vars"},
        {"func [1] []", "!script/bad-func-def"},
        {"f: func [a [integer!]] [a] f \"x\"", "!script/expect-arg"},
    });
}
