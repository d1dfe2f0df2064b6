// get, set, print, same?, type?, reduce, compose, bind, in, the comparison natives and the set
// operations.
#include <gtest/gtest.h>

#include <string>

#include "datatypes/block.h"
#include "evaluator/natives.h"
#include "tests/support/kel_cases.h"
#include "tests/support/stale_stack.h"

using kel_test::eval;
using kel_test::expect_cases;

TEST(NativesValues, GetAndSet) {
    expect_cases({
        {"x: 5 get 'x", "5"},
        {"get 'no-such-value", "!script/no-value"},
        {"type? get/any 'no-such-value", "unset!"},
        {"set 'x 9 x", "9"},
        {"set 'x 9", "9"},
        {"set 'x ()", "!script/need-value"},
        {"set/any 'x () value? 'x", "false"},
        {"set [a b c] [1 2] reduce [a b c]", "[1 2 none]"},
        {"a: 0 set/some [a b] reduce [none 2] reduce [a b]", "[0 2]"},
        {"set/only [a b] [1 2] a", "[1 2]"},
        {"set [a b] 7 reduce [a b]", "[7 7]"},
        {"set [k v] make map! [x 1] reduce [form k v]", "[\"x\" 1]"},
        {"set/only [k v] m: make map! [x 1] same? k m", "true"},
        // A removed entry is no longer in the map: its key must not come back through set.
        {"m: make map! [x 1 y 2 z 3] remove/key m 'x set [k v k2 v2 k3] m reduce [form k v form k2 v2 k3]",
         "[\"y\" 2 \"z\" 3 none]"},
        {"m: make map! [x 1 y 2] remove/key m 'y set [k v k2] m reduce [form k v k2]", "[\"x\" 1 none]"},
        {"m: make map! [x 1] remove/key m 'x a: 0 set/some [a] m a", "0"},
        // Text keys come out as copies: changing one leaves the map able to find its entry.
        {"m: make map! [\"ab\" 1 %f 2 #{01} 3] set [k v k2 v2 k3] m append k \"X\" append k2 \"g\" "
         "append k3 #{02} reduce [select m \"ab\" select m %f select m #{01} mold/flat m]",
         "[1 2 3 {#[\"ab\" 1 %f 2 #{01} 3]}]"},
        {"set [a 1] [1 2]", "!script/invalid-arg"},
        {"a: 0 set [a b] reduce [1 ()]", "!script/need-value"},
        {"a: 0 try [set [a b] reduce [1 ()]] a", "0"},
        {"set/any [a b] reduce [1 ()] value? 'b", "false"},
        {"o: make object! [a: 1] set 'o/a 5 o/a", "5"},
        {"o: make object! [a: 1] get 'o/a", "1"},
        {"o: make object! [a: 1 b: 2] set o 9 reduce [o/a o/b]", "[9 9]"},
        {"o: make object! [a: 1 b: 2] get o", "[1 2]"},
        {"o: make object! [a: 1 b: 2] set o [3 4] reduce [o/a o/b]", "[3 4]"},
        {"o: make object! [a: 1 b: 2] set/some o reduce [none 5] reduce [o/a o/b]", "[1 5]"},
        {"o: make object! [a: 1 b: 2] set/only o [3 4] o/b", "[3 4]"},
        {"o: make object! [a: 1] set/any 'o/a () value? in o 'a", "false"},
        {"o: make object! [a: 1] set 'o/a ()", "!script/need-value"},
        {"b: [1 2] set 'b/2 5 b", "[1 5]"},
    });
}

TEST(NativesValues, Print) {
    {
        kel_test::Capture out;
        EXPECT_EQ(eval("print [1 + 1 \"a\"]"), "unset");
        EXPECT_EQ(eval("print \"x\""), "unset");
        EXPECT_EQ(eval("prin 1 prin [2 3]"), "unset");
        EXPECT_FALSE(natives::last_lf);
        EXPECT_EQ(eval("print []"), "unset");
        EXPECT_TRUE(natives::last_lf);
        EXPECT_EQ(out.text, "2 a\nx\n12 3\n");
    }
    {
        // A print inside the printed block prints its own line first; the outer line keeps its
        // values.
        kel_test::Capture out;
        eval("f: func [] [print [\"inner\" 7] 5] print [1 f 2]");
        EXPECT_EQ(out.text, "inner 7\n1 5 2\n");
    }
    {
        // An error inside the printed block leaves the shared buffer as it was.
        kel_test::Capture out;
        EXPECT_EQ(eval("print [1 1 / 0]"), "!math/zero-divide");
        EXPECT_EQ(block::node_length(natives::print_buffer), 0);
        eval("print [3]");
        EXPECT_EQ(out.text, "3\n");
    }
}

TEST(NativesValues, SameNotType) {
    expect_cases({
        {"a: \"x\" same? a a", "true"},
        {"same? \"x\" \"x\"", "false"},
        {"a: \"xy\" same? a next a", "false"},
        {"a: \"xy\" same? next a next a", "true"},
        {"same? 1 1", "true"},
        {"same? 1 1.0", "false"},
        {"same? 'a 'a", "true"},
        {"same? none none", "true"},
        {"same? 1x2 1x2", "true"},
        {"b: [1] same? b copy b", "false"},
        {"same? :add :add", "true"},
        {"same? :add :subtract", "false"},
        {"not none", "true"},
        {"not false", "true"},
        {"not 0", "false"},
        {"type? 1", "integer!"},
        {"type?/word 1", "integer!"},
        {"type? type?/word 1", "word!"},
        {"type? ()", "unset!"},
        {"type? type? 1", "datatype!"},
    });
}

TEST(NativesValues, ReduceAndCompose) {
    expect_cases({
        {"reduce [1 + 2 'a]", "[3 a]"},
        {"reduce []", "[]"},
        {"reduce to paren! [1 + 2]", "3"},
        {"type? reduce :if", "native!"},
        {"x: 4 reduce 'x", "4"},
        {"b: [x] r: reduce/into [1 + 1 3] b reduce [b r]", "[[2 3 x] [x]]"},
        {"b: [x] r: reduce/into [1 2] tail b reduce [b index? r]", "[[x 1 2] 2]"},
        {"b: [] reduce/into 5 b b", "[5]"},
        {"b: [\n1\n2] reduce [new-line? b new-line? reduce b]", "[true false]"},
        {"compose [1 (1 + 1) [(3)]]", "[1 2 [(3)]]"},
        {"compose/deep [1 (1 + 1) [(3) [(4)]]]", "[1 2 [3 [4]]]"},
        {"compose [([])]", "[]"},
        {"compose/only [([])]", "[[]]"},
        {"compose [([1 2])]", "[1 2]"},
        {"compose/only [([1 2])]", "[[1 2]]"},
        {"compose [() x]", "[x]"},
        {"compose [(())]", "[]"},
        {"b: [a] compose/into [(1 + 1)] b", "[a]"},
        {"b: [a] compose/into [(1 + 1)] b b", "[2 a]"},
        {"b: [a] compose/into [(1 + 1)] tail b b", "[a 2]"},
        {"compose [(1 / 0)]", "!math/zero-divide"},
        // Nesting too deep for the stacks, and a block that holds itself, end in an error.
        {"b: copy [] loop 20000 [b: reduce [b]] compose/deep b", "!internal/stack-overflow"},
        {"b: copy [(1)] append/only b b compose/deep b", "!internal/stack-overflow"},
    });
}

// reduce/into of a single value keeps its target where the collector sees it while the value goes
// in: a target held by nothing else (a fresh copy) is not freed under the write.
TEST(NativesValues, ReduceIntoASingleValueKeepsItsTarget) {
    test_support::ChildResult r = test_support::eval_over_stale_stack(
        "x: 4 reduce [reduce/into 'x tail copy [1 2] reduce/into pick [(1 + 1)] 1 tail copy [3]]");
    EXPECT_TRUE(r.exited) << r.out;
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("[[4] [2]]"), std::string::npos) << r.out;
}

TEST(NativesValues, BindAndIn) {
    expect_cases({
        {"o: make object! [a: 5] b: [a] bind b o do b", "5"},
        {"o: make object! [a: 5] b: [a] c: bind/copy b o reduce [do c same? b c]", "[5 false]"},
        {"o: make object! [a: 5] b: [[a]] c: bind/copy b o same? pick b 1 pick c 1", "false"},
        {"o: make object! [a: 5] get bind 'a o", "5"},
        {"o: make object! [a: 5] w: 'zzz same? context? bind w o context? w", "true"},
        {"o: make object! [a: 5] in o 'zzz", "none"},
        {"o: make object! [a: 5] get in o 'a", "5"},
        {"o: make object! [a: 5] type? in o /a", "word!"},
        {"f: func [x] [] in :f 'x", "x"},
        {"in :append 'part", "part"},
        {"in :append 'nothing", "none"},
        // A native, action or op over one answers words of the one context it was made with.
        {"same? in :append 'series in :append 'series", "true"},
        {"same? in :now 'year in :now 'year", "true"},
        {"same? in :+ 'value1 in :add 'value1", "true"},
        {"in :+ 'nothing", "none"},
        {"in :continue 'x", "none"},
    });
}

// Operator codes: 0 equal, 1 not equal, 2 strict, 3 lesser, 4 lesser or equal, 5 greater,
// 6 greater or equal; values that cannot be ordered are an error only for the ordering ones.
TEST(NativesValues, Comparison) {
    expect_cases({
        {"equal? 1 1.0", "true"},
        {"equal? 1 \"1\"", "false"},
        {"not-equal? 1 \"1\"", "true"},
        {"strict-equal? 1 1.0", "false"},
        {"lesser? 1 \"1\"", "!script/invalid-compare"},
        {"lesser? 1 2", "true"},
        {"lesser-or-equal? 2 2", "true"},
        {"greater? 2 2", "false"},
        {"greater-or-equal? 2 2", "true"},
        {"greater? 3 2", "true"},
        {"equal? \"abc\" \"ABC\"", "true"},
        {"strict-equal? \"abc\" \"ABC\"", "false"},
        {"1 < 2", "true"},
        {"[1] = [1]", "true"},
    });
}

TEST(NativesValues, SetOperations) {
    expect_cases({
        {"union [a b] [b c]", "[a b c]"},
        {"intersect [a b] [b c]", "[b]"},
        {"exclude [1 2 3] [2]", "[1 3]"},
        {"difference [1 2] [2 3]", "[1 3]"},
        {"unique [1 2 1]", "[1 2]"},
        {"union [a] \"a\"", "!script/expect-val"},
        {"union \"ab\" \"bc\"", "\"abc\""},
        {"unique \"aAb\"", "\"ab\""},
        {"exclude/case \"aAb\" \"a\"", "\"Ab\""},
        {"union/skip \"aXbY\" \"aZ\" 2", "\"aXbY\""},
        {"union make typeset! [integer!] make typeset! [float!]", "make typeset! [integer! float!]"},
        {"difference 2-Jan-2020 1-Jan-2020", "24:00:00"},
        {"difference 1-Jan-2020/10:00 1-Jan-2020/9:30", "0:30:00"},
        {"intersect 1-Jan-2020 2-Jan-2020", "!script/expect-arg"},
        {"difference 1-Jan-2020 [1]", "!script/expect-val"},
        {"union 1-Jan-2020 2-Jan-2020", "!script/expect-arg"},
    });
}
