// Completion's script side (console/complete.kel): words, paths into objects, refinements,
// accessors and file names, at the end and in the middle of a line.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "../support/completion_env.h"
#include "../support/kel_eval.h"

namespace {

class Completion : public testing::Test {
protected:
    static void SetUpTestSuite() {
        kel_test::Outcome o = completion_env::load();
        ASSERT_FALSE(o.error) << o.text << " " << o.message;
        o = kel_test::run(R"(
            compl-alpha: 1 compl-alpine: 2 compl-beta: 3
            compl-obj: make object! [alpha: 1 alpine: 2 beta: 3 inner: make object! [deep: 4 deeper: 5]]
            compl-fn: func [a /only /part n /local x] []
            compl-pair: 1x2
            probe-complete: func [line cursor /local r] [
                r: kel-complete-ctx/complete-input at line cursor + 1 true
                if empty? r [return []]
                reduce [head first r  index? first r  copy next r]
            ]
            true
        )");
        ASSERT_FALSE(o.error) << o.text << " " << o.message;
    }

    static void TearDownTestSuite() {
        kel_test::Outcome o = completion_env::unload();
        ASSERT_FALSE(o.error) << o.text << " " << o.message;
    }

    static std::string complete(const char* line, int cursor) {
        return kel_test::eval("probe-complete " + std::string("{") + line + "} " + std::to_string(cursor));
    }
    static std::string complete(const char* line) { return complete(line, int(std::strlen(line))); }
};

TEST_F(Completion, GlobalWords) {
    // Several: sorted, behind their common prefix; the line is completed up to it.
    EXPECT_EQ(complete("compl-al"), R"(["compl-alp" 10 ["compl-alpha" "compl-alpine"]])");
    // One: the line is completed and the cursor goes after it.
    EXPECT_EQ(complete("compl-b"), R"(["compl-beta" 11 []])");
    EXPECT_EQ(complete("COMPL-B"), R"(["compl-beta" 11 []])");
    // Complete already, nothing else to offer: no candidates, so Tab goes in as a character.
    EXPECT_EQ(complete("compl-beta"), "[]");
    EXPECT_EQ(complete("no-such-word-here"), "[]");
    EXPECT_EQ(complete(""), "[]");
    // Completing leaves the user's own words alone, the short names a loop might use too.
    kel_test::eval("d: 'mine w: 'mine");
    complete("x: compl-al");
    EXPECT_EQ(kel_test::eval("reduce [d w]"), "[mine mine]");
}

TEST_F(Completion, TextAroundTheWordStays) {
    EXPECT_EQ(complete("x: compl-b"), R"(["x: compl-beta" 14 []])");
    EXPECT_EQ(complete("[compl-b"), R"(["[compl-beta" 12 []])");
    EXPECT_EQ(complete("print (compl-b"), R"(["print (compl-beta" 18 []])");
    // In the middle of a line: the rest follows the completion, the cursor stays after it.
    EXPECT_EQ(complete("compl-b + 1", 7), R"(["compl-beta + 1" 11 []])");
    EXPECT_EQ(complete("a [compl-al] b", 11), R"(["a [compl-alp] b" 13 ["compl-alpha" "compl-alpine"]])");
}

TEST_F(Completion, PathsIntoObjectsAndFunctions) {
    EXPECT_EQ(complete("compl-obj/al"), R"(["compl-obj/alp" 14 ["alpha" "alpine"]])");
    EXPECT_EQ(complete("compl-obj/b"), R"(["compl-obj/beta" 15 []])");
    EXPECT_EQ(complete("compl-obj/inner/deep"), R"(["compl-obj/inner/deep" 21 ["deep" "deeper"]])");
    EXPECT_EQ(complete("compl-obj/"), R"(["compl-obj/" 11 ["alpha" "alpine" "beta" "inner"]])");
    // A function's refinements, /local left out.
    EXPECT_EQ(complete("compl-fn/"), R"(["compl-fn/" 10 ["only" "part"]])");
    EXPECT_EQ(complete("compl-fn/o"), R"(["compl-fn/only" 14 []])");
    EXPECT_EQ(complete("x: compl-fn/p"), R"(["x: compl-fn/part" 17 []])");
    // A datatype's accessors.
    EXPECT_EQ(complete("compl-pair/"), R"(["compl-pair/" 12 ["x" "y"]])");
    // Segments that are no words, words of no value, values without fields: nothing.
    EXPECT_EQ(complete("12/x"), "[]");
    EXPECT_EQ(complete("no-such-word/x"), "[]");
    EXPECT_EQ(complete("compl-alpha/x"), "[]");
    // A field that has no value has nothing to complete, rather than raising an error.
    kel_test::eval("compl-holey: make object! [gap: none] unset in compl-holey 'gap");
    EXPECT_EQ(complete("compl-holey/gap/"), "[]");
    EXPECT_EQ(complete("compl-holey/gap/x"), "[]");
    EXPECT_EQ(complete("compl-holey/g"), R"(["compl-holey/gap" 16 []])");
}

TEST_F(Completion, FileNames) {
    EXPECT_EQ(complete("%al"), R"(["%alp" 5 [%alpha.kel %alpine/ %Alps.md]])");
    EXPECT_EQ(complete("%b"), R"(["%beta.txt" 10 []])");
    EXPECT_EQ(complete("%src/ma"), R"(["%src/ma" 8 [%main.cpp %make.sh]])");
    EXPECT_EQ(complete("%src/mai"), R"(["%src/main.cpp" 14 []])");
    EXPECT_EQ(complete("load %b"), R"(["load %beta.txt" 15 []])");
    EXPECT_EQ(complete("%nowhere/x"), "[]");
    // A lone "%" is no file name.
    EXPECT_EQ(complete("%"), "[]");
}

}  // namespace
