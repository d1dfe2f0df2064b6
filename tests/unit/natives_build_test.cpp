// construct, value?, case changes, pairs, points and money from parts, extend, unset, new-line
// markers, context? and as.
#include <gtest/gtest.h>

#include "tests/support/kel_cases.h"

using kel_test::expect_cases;

TEST(NativesBuild, ObjectsAndWords) {
    expect_cases({
        {"o: construct [a: 1 b: c: 2] reduce [o/a o/b o/c]", "[1 2 2]"},
        {"o: construct [a: 1 + 2] o/a", "1"},
        {"type? get in construct [a: true] 'a", "logic!"},
        {"type? get in construct/only [a: true] 'a", "word!"},
        {"p: construct [a: 1] o: construct/with [b: 2] p reduce [o/a o/b]", "[1 2]"},
        {"value? 'no-such-word-at-all", "false"},
        {"x: none value? 'x", "true"},
        {"a: 1 b: 2 unset [a b: 3] reduce [value? 'a value? 'b]", "[false true]"},
        {"a: 1 unset 'a value? 'a", "false"},
        {"o: make object! [a: 1] same? o context? in o 'a", "true"},
        {"f: func [x] [context? 'x] same? :f f 1", "true"},
        {"extend make object! [] [a 1]", "!internal/not-done"},
    });
}

TEST(NativesBuild, Case) {
    expect_cases({
        {"uppercase #\"a\"", "#\"A\""},
        {"lowercase #\"A\"", "#\"a\""},
        {"uppercase \"abc\"", "\"ABC\""},
        {"s: \"abc\" uppercase s s", "\"ABC\""},
        {"uppercase/part \"abcd\" 2", "\"ABcd\""},
        {"uppercase/part \"abcd\" 2.7", "\"ABcd\""},
        {"s: \"abcd\" uppercase/part s skip s 3", "\"ABCd\""},
        {"uppercase/part \"abcd\" \"xy\"", "!script/invalid-refine-arg"},
        {"lowercase next \"ABC\"", "\"bc\""},
    });
}

TEST(NativesBuild, PairsPointsMoney) {
    expect_cases({
        {"as-pair 1.9 -1.9", "1x-1"},
        {"as-pair 3 4", "3x4"},
        {"as-pair 1.#INF 1", "!script/invalid-arg"},
        {"as-pair 1 1.#NaN", "!script/invalid-arg"},
        {"as-pair 1e20 1", "!script/invalid-arg"},
        // Whole parts at the edges of the 32-bit range still fit, a fraction beyond them does not.
        {"as-pair 2147483647.5 -2147483648.9", "2147483647x-2147483648"},
        {"as-pair 2147483648.0 0", "!script/invalid-arg"},
        {"as-pair 0 -2147483649.0", "!script/invalid-arg"},
        {"as-point2D 1 2.5", "(1.0, 2.5)"},
        {"as-point3D 1 2 3.5", "(1.0, 2.0, 3.5)"},
        {"as-money 'USD 5", "USD$5.00"},
        {"as-money 'usd -5", "-USD$5.00"},
        {"as-money 'EUR 1.5", "EUR$1.50"},
        {"as-money 'EUR 0.1234567", "!script/bad-make-arg"},
        {"as-money 'XYZ 1", "!script/bad-denom"},
    });
}

TEST(NativesBuild, NewLineMarkers) {
    expect_cases({
        {"b: [1 2 3 4 5 6] new-line/skip b true 2 r: copy [] forall b [append r new-line? b] r",
         "[true false true false true false]"},
        {"b: [1 2 3 4 5 6] new-line/skip b false 2 r: copy [] forall b [append r new-line? b] r",
         "[false true false true false true]"},
        {"b: [1 2 3] new-line/all b true r: copy [] forall b [append r new-line? b] r", "[true true true]"},
        {"b: [1 2 3] new-line/all/skip b true 3 r: copy [] forall b [append r new-line? b] r", "[true false false]"},
        {"b: [1 2 3] new-line next b true r: copy [] forall b [append r new-line? b] r", "[false true false]"},
        {"new-line/skip [1 2] true 0", "!script/out-of-range"},
        {"b: [1] new-line tail b true", "[]"},
        {"new-line? tail [1]", "false"},
    });
}

TEST(NativesBuild, As) {
    expect_cases({
        {"as file! \"a\"", "%a"},
        {"s: \"ab\" f: as url! s same? s as string! f", "true"},
        {"b: [1 2] p: as paren! b reduce [p same? b as block! p]", "[(1 2) true]"},
        {"as path! [a b]", "a/b"},
        {"as block! \"a\"", "!script/not-same-class"},
        {"as string! [a]", "!script/not-same-class"},
        {"as integer! [a]", "!script/not-same-class"},
        {"as pick [(x)] 1 [1]", "(1)"},
    });
    kel_test::Outcome o = kel_test::run("as block! \"a\"");
    EXPECT_NE(o.message.find("cannot coerce string! to block!"), std::string::npos) << o.message;
}
