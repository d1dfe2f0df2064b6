// Conditionals, switch, case and do, evaluated from Kel text.
#include <gtest/gtest.h>

#include "tests/support/kel_cases.h"

using kel_test::expect_cases;

// if, unless and any/all take unset as true; either and case refuse it.
TEST(NativesControl, TruthByConstruct) {
    expect_cases({
        {"if none [1]", "none"},
        {"if false [1]", "none"},
        {"if 0 [1]", "1"},
        {"if () [1]", "1"},
        {"unless none [1]", "1"},
        {"unless 1 [2]", "none"},
        {"unless () [1]", "none"},
        {"either none [1] [2]", "2"},
        {"either 'x [1] [2]", "1"},
        {"either () [1] [2]", "!script/no-return"},
        {"not ()", "false"},
        {"any [none false 3 4]", "3"},
        {"any [none false]", "none"},
        {"any []", "none"},
        {"all []", "none"},
        {"all [1 2]", "2"},
        {"all [1 none 3]", "none"},
        {"all [1 () 3]", "3"},
        {"x: 0 all [false x: 1] x", "0"},
        {"x: 0 any [1 x: 1] x", "0"},
    });
}

// A call of if, unless or either by its word runs the chosen branch in place; through a path the
// native runs it. Both give the same value, the same error and the same frame depth at the error.
TEST(NativesControl, BranchesInPlaceAgreeWithTheNative) {
    const char* const calls[] = {
        "X true [1] [2]",        "X none [1] [2]",        "X () [1] [2]",          "X 0 [] [2]",
        "X true [1 / 0] [2]",    "X false [1] [2 + \"a\"]", "X 1 2 [3]",
        "f: func [n] [X n < 1 [n / 0] [f n - 1]] f 3",
        "g: func [] [X true [return 5] [6] 7] g", "loop 2 [X true [break/return 8] [0]]",
    };
    auto with = [](const char* code, const std::string& name, const std::string& call) {
        std::string s = code;
        for (size_t at; (at = s.find('X')) != std::string::npos;) s.replace(at, 1, call);
        return "nat: make object! [f: :" + name + "] e: try [reduce [do [" + s + "]]] either error! = type? e [reduce [e/id e/stack]] [e]";
    };
    for (std::string name : {"either", "if", "unless"}) {
        // if and unless take one block: the second is then the next expression.
        for (const char* c : calls) EXPECT_EQ(kel_test::eval(with(c, name, name)), kel_test::eval(with(c, name, "nat/f"))) << name << ": " << c;
    }
    kel_test::expect_cases({
        {"e: try [either true [1 / 0] [2]] reduce [e/id e/stack > 0]", "[zero-divide true]"},
        {"g: func [] [either true [return 5] [6] 7] g", "5"},
    });
}

TEST(NativesControl, Switch) {
    expect_cases({
        {"switch 2 [1 ['a] 2 3 ['b]]", "b"},
        {"switch 5 [1 ['a]]", "none"},
        {"switch/default 5 [1 ['a]] ['d]", "d"},
        {"switch 1 [1]", "none"},
        {"switch [1] [[1] ['x]]", "none"},
        {"switch/default [1] [[1] ['x]] ['d]", "d"},
        {"switch 1 [1.0 ['float] 1 ['integer]]", "integer"},
        {"switch 'a ['a [1] a [2]]", "2"},
        {"switch 3 [1 ['a] 3 ['c] 3 ['d]]", "c"},
    });
}

TEST(NativesControl, Case) {
    expect_cases({
        {"case [false [1] true [2]]", "2"},
        {"case [false [1]]", "none"},
        {"case []", "none"},
        {"case/all [true [1] false [2]]", "none"},
        {"case/all [true [1] true [2]]", "2"},
        {"n: 0 case/all [true [n: n + 1] true [n: n + 10]] n", "11"},
        {"case [true]", "!script/need-value"},
        {"case [() [1]]", "!script/no-return"},
        {"b: [9] case [true b]", "[9]"},
        {"case [1 2]", "2"},
        {"case [false (1 + 2) true 3]", "3"},
        {"case [true 1 + 2]", "3"},
    });
}

TEST(NativesControl, Do) {
    expect_cases({
        {"do [1 2]", "2"},
        {"do []", "unset"},
        {"do \"1 + 2\"", "3"},
        {"do 5", "5"},
        {"x: 7 do 'x", "7"},
        {"type? do :if", "native!"},
        {"do to paren! [1 + 2]", "3"},
        {"b: [1 + 2 3] r: do/next b 'p reduce [r index? p same? head p b]", "[3 4 true]"},
        {"b: [] set/any 'r do/next b 'p reduce [type? :r index? p]", "[unset! 1]"},
        {"o: make object! [a: 5] do 'o/a", "5"},
        {"do make error! \"boom\"", "!user/message"},
        {"do %nowhere.kel", "!internal/not-done"},
        {"do/expand [1]", "!internal/not-done"},
        {"f: func [] [do [return 3] 4] f", "3"},
        {"loop 2 [do [break/return 6] 1]", "6"},
    });
}

// do/trace reports to a callback while the value runs, and only then.
TEST(NativesControl, DoTrace) {
    expect_cases({
        {"r: copy [] do/trace [1 + 2 3 * 4] func [event code offset value ref frame] [[expr] append r value] r",
         "[3 12]"},
        {"r: copy [] do/trace [1 + 2] func [event code offset value ref frame] [[init end] append r event] r",
         "[init end]"},
        {"cb: func [event code offset value ref frame] [] do/trace [1 + 2] :cb", "3"},
        {"cb: func [event code offset value ref frame] [] f: func [] [do/trace [return 5] :cb 6] f", "5"},
        {"cb: func [event code offset value ref frame] [] f: func [] [do/trace [exit] :cb 6] f", "unset"},
        {"cb: func [event code offset value ref frame] [] loop 3 [do/trace [break/return 4] :cb]", "4"},
        {"cb: func [event code offset value ref frame] [] try [do/trace [1 / 0] :cb] 7", "7"},
    });
    EXPECT_FALSE(interpreter::tracing);
    EXPECT_FALSE(interpreter::trace_active);
}
