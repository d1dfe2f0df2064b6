// The parse engine driven from C++ with rule blocks built cell by cell: the matching core,
// the work stacks and the errors, independent of the lexer.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/string.h"
#include "evaluator/parse.h"
#include "runtime/stack.h"
#include "tests/support/errors.h"
#include "tests/support/value_builders.h"

namespace {

using tv::blk;
using tv::str;
using tv::wrd;

Cell chr(uint32_t c) {
    Cell v;
    set_cell(&v, TYPE_CHAR, c);
    return v;
}

// Runs the engine; answers the result cell.
Cell run(const Cell& input, const Cell& rules, int mode = 0, int32_t limit = -1) {
    Cell out;
    stack::Saved saved = stack::save();
    parse::process(&out, &input, &rules, mode, limit, nullptr);
    stack::restore(saved);
    return out;
}
bool matches(const Cell& input, const Cell& rules, int mode = 0, int32_t limit = -1) {
    Cell r = run(input, rules, mode, limit);
    EXPECT_EQ(r.type(), TYPE_LOGIC);
    return r.type() == TYPE_LOGIC && r.data1 != 0;
}
Cell error_of(const Cell& input, const Cell& rules) {
    return catch_error([&] { run(input, rules); });
}

class ParseEngine : public ::testing::Test {
protected:
    void TearDown() override {
        EXPECT_EQ(parse::rules_depth(), 0);
        EXPECT_EQ(parse::series_depth(), 0);
    }
};

TEST_F(ParseEngine, TextLiteralsRepetitionAndAlternatives) {
    struct Case {
        const char* input;
        Cell rules;
        int mode;
        bool expected;
    };
    std::vector<Case> cases = {
        {"aaa", blk({wrd("any"), str("a")}), 0, true},
        {"aaa", blk({wrd("some"), str("b")}), 0, false},
        {"aaa", blk({wrd("opt"), str("b"), tv::integer(3), str("a")}), 0, true},
        {"aaaa", blk({tv::integer(2), tv::integer(3), str("a")}), 0, false},
        {"aAa", blk({tv::integer(3), chr('a')}), 0, true},
        {"aAa", blk({tv::integer(3), chr('a')}), 2, false},
        {"ABC", blk({str("abc")}), 0, true},
        {"ABC", blk({str("abc")}), 2, false},
        {"c", blk({str("a"), wrd("|"), str("b")}), 0, false},
        {"b", blk({str("a"), wrd("|"), str("b")}), 0, true},
        {"ab", blk({str("a"), wrd("fail"), wrd("|"), str("ab")}), 0, true},
        {"abc", blk({wrd("to"), str("c"), wrd("skip"), wrd("end")}), 0, true},
        {"abc", blk({wrd("thru"), str("b"), str("c")}), 0, true},
        {"abc", blk({wrd("skip"), wrd("to"), wrd("end")}), 0, true},
        {"abc", blk({wrd("to"), str("x")}), 0, false},
        {"ab", blk({wrd("not"), str("b"), str("a"), wrd("ahead"), str("b"), str("b")}), 0, true},
        {"", blk({str("")}), 0, true},
        {"xay", blk({wrd("skip"), blk({str("a"), wrd("|")}), str("y")}), 0, true},
    };
    for (const Case& c : cases) EXPECT_EQ(matches(str(c.input), c.rules, c.mode), c.expected) << c.input << " " << tv::mold(c.rules);
}

TEST_F(ParseEngine, BlockInputAndCopy) {
    Cell input = blk({wrd("a"), wrd("b"), wrd("c")});
    EXPECT_TRUE(matches(input, blk({tv::lit_word("a"), tv::lit_word("b"), tv::lit_word("c")})));
    EXPECT_FALSE(matches(input, blk({tv::lit_word("a"), tv::lit_word("c")})));
    EXPECT_TRUE(matches(input, blk({wrd("thru"), tv::lit_word("b"), wrd("skip")})));
    EXPECT_TRUE(matches(input, blk({wrd("copy"), wrd("part"), tv::integer(2), wrd("skip"), wrd("skip")})));
    EXPECT_EQ(tv::mold(tv::get("part")), "[a b]");
    EXPECT_TRUE(matches(str("key=value"), blk({wrd("copy"), wrd("k"), wrd("to"), chr('='), wrd("skip"), wrd("copy"), wrd("v"),
                                               wrd("to"), wrd("end")})));
    EXPECT_EQ(tv::text_of(tv::get("k")), "key");
    EXPECT_EQ(tv::text_of(tv::get("v")), "value");
}

TEST_F(ParseEngine, PartLimit) {
    Cell abc = str("abc");
    EXPECT_TRUE(matches(abc, blk({str("ab")}), 0, 2));
    EXPECT_FALSE(matches(abc, blk({str("abc")}), 0, 2));
    EXPECT_TRUE(matches(abc, blk({wrd("to"), wrd("end")}), 0, 2));
    EXPECT_TRUE(matches(abc, blk({wrd("end")}), 0, 0));
}

TEST_F(ParseEngine, ErrorsLeaveTheStacksClean) {
    struct Case {
        Cell rules;
        ErrorId id;
    };
    std::vector<Case> cases = {
        {blk({wrd("any")}), err::script::parse_end},
        {blk({wrd("to")}), err::script::parse_end},
        {blk({wrd("skip"), blk({wrd("copy"), wrd("x")})}), err::script::parse_end},
        {blk({wrd("no-such-rule-here")}), err::script::parse_rule},
        {blk({tv::integer(3), tv::integer(2), str("a")}), err::script::parse_rule},
        {blk({tv::integer(-1), str("a")}), err::script::out_of_range},
        {blk({wrd("into"), blk({})}), err::script::parse_block},
        {blk({wrd("keep"), wrd("skip")}), err::script::parse_keep},
    };
    for (const Case& c : cases) {
        Cell e = error_of(str("aaa"), c.rules);
        EXPECT_TRUE(is_error(e, c.id)) << tv::mold(c.rules);
        EXPECT_EQ(parse::rules_depth(), 0);
    }
}

TEST_F(ParseEngine, RecursionReachesTheStackLimit) {
    // r: [r] as a block that contains the word bound to itself.
    Cell r = blk({wrd("r")});
    tv::set("r", r);
    EXPECT_TRUE(is_error(error_of(str("a"), r), err::script::parse_stack));
    // Nesting just within the limit matches.
    Cell inner = blk({str("a")});
    collector::Root keep_inner(&inner);
    for (int i = 0; i < 3300; i++) inner = blk({inner});
    EXPECT_TRUE(matches(str("a"), inner));
    for (int i = 0; i < 40; i++) inner = blk({inner});
    EXPECT_TRUE(is_error(error_of(str("a"), inner), err::script::parse_stack));
}

}  // namespace
