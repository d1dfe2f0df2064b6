// The parse dialect, driven by Kel text: rules and inputs are loaded by the lexer and the parse
// native is called from evaluated code, so parens, words and callbacks run as they do in scripts.
#include <gtest/gtest.h>

#if __has_include("loading/lexer.h")

#include <initializer_list>
#include <string>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/function.h"
#include "datatypes/native.h"
#include "datatypes/string.h"
#include "evaluator/parse.h"
#include "loading/lexer.h"
#include "runtime/collector.h"
#include "tests/support/errors.h"
#include "tests/support/value_builders.h"

namespace {

// A bitset! of the given characters.
Cell charset(const std::string& chars) {
    Node n = tv::hold_node(memory::alloc_bytes_filled(32, 0));
    SeriesBuf* b = memory::nodes[n];
    b->tail = b->head + 32;
    for (unsigned char c : chars) b->at_head()[c >> 3] |= static_cast<uint8_t>(0x80 >> (c & 7));
    Cell c;
    set_cell(&c, TYPE_BITSET, 0, n);
    return tv::hold(c);
}

Cell load(const std::string& text) {
    Cell c;
    lexer::load(&c, text);
    return tv::hold(c);
}
Cell load_one(const std::string& text) {
    Cell c;
    lexer::load_one(&c, text);
    return tv::hold(c);
}

// Evaluates Kel text and answers its value.
Cell run(const std::string& text) { return tv::eval(load(text)); }
// The molded value, or the error it raised as "*** " and its text.
std::string molded(const std::string& text) {
    Cell result = tv::none();
    Cell e = catch_error([&] { result = run(text); });
    if (e.type() == TYPE_ERROR) return "*** " + tv::form(e);
    return tv::mold(result);
}
Cell error_of(const std::string& text) {
    return catch_error([&] { run(text); });
}
bool raises(const std::string& text, ErrorId id) { return is_error(error_of(text), id); }

class Parse : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // The words the rules below use, parse among them (start-up put it in the natives table).
        auto define = [](const char* name, uint8_t type, const char* spec, int n) {
            Cell s = load_one(spec), v;
            native::make_at(&v, type, &s, n);
            tv::hold(v);
            tv::set(name, v);
        };
        define("parse", TYPE_NATIVE, "[input rules /case /part length /trace callback]", 40);
        define("append", TYPE_ACTION, "[series value /part length /only /dup count]", ACT_APPEND);
        define("insert", TYPE_ACTION, "[series value /part length /only /dup count]", ACT_INSERT);
        define("remove", TYPE_ACTION, "[series /part length /key key-arg]", ACT_REMOVE);
        define("clear", TYPE_ACTION, "[series]", ACT_CLEAR);
        define("copy", TYPE_ACTION, "[value /part length /deep /types kind]", ACT_COPY);
        define("head", TYPE_ACTION, "[series]", ACT_HEAD);
        define("index?", TYPE_ACTION, "[series]", ACT_INDEX_Q);
        define("length?", TYPE_ACTION, "[series]", ACT_LENGTH_Q);
        define("tail", TYPE_ACTION, "[series]", ACT_TAIL);
        define("poke", TYPE_ACTION, "[series index value]", ACT_POKE);
        define("change", TYPE_ACTION, "[series value /part range /only /dup count]", ACT_CHANGE);
        define("skip", TYPE_ACTION, "[series offset]", ACT_SKIP);
        define("select", TYPE_ACTION, "[series value /part length /only /case /same /any /with wild /skip size /last /reverse]", ACT_SELECT);
        for (int t = 1; t < kTypeCount; t++)
            if (datatype::names[t].name) tv::set(datatype::names[t].name, tv::datatype_of(t));
        tv::set("true", tv::logic(true));
        tv::set("false", tv::logic(false));
        tv::set("none", tv::none());
        tv::set("digit", charset("0123456789"));
        tv::set("alpha", charset("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"));
    }
    void TearDown() override {
        // Every way out of a call gives the work stacks back.
        EXPECT_EQ(parse::rules_depth(), 0);
        EXPECT_EQ(parse::series_depth(), 0);
    }
};

struct Case {
    const char* input;
    const char* rules;
    bool expected;
};

void check_table(const std::vector<Case>& cases, const char* refinement = "parse") {
    for (const Case& c : cases) {
        std::string code = std::string(refinement) + " " + c.input + " [" + c.rules + "]";
        EXPECT_EQ(molded(code), c.expected ? "true" : "false") << code;
    }
}

// Each code's molded value, as a table.
struct Molded {
    const char* code;
    const char* result;
};

void expect_molded(std::initializer_list<Molded> rows) {
    for (const Molded& r : rows) EXPECT_EQ(molded(r.code), r.result) << r.code;
}

TEST_F(Parse, LiteralsAndRepetitionOnText) {
    check_table({
        {R"("aaa")", R"(any "a")", true},
        {R"("aaa")", R"(some "b")", false},
        {R"("aaa")", R"(opt "b" 3 "a")", true},
        {R"("aaa")", R"(2 3 "a")", true},
        {R"("aaaa")", R"(2 3 "a")", false},
        {R"("aa")", R"(3 "a")", false},
        {R"("aaa")", R"(0 "b" 3 "a")", true},
        {R"("abab")", R"(some "ab")", true},
        {R"("ababa")", R"(some "ab")", false},
        {R"("ABC")", R"("abc")", true},
        {R"("aBc")", R"(#"A" #"b" #"C")", true},
        {R"("abc")", R"("a" "b")", false},
        {R"("")", R"(any "a")", true},
        {R"("")", R"("")", true},
        {R"("")", R"("a")", false},
        {R"("a<b>c")", R"("a" <b> "c")", true},
        {R"("123x")", R"(some digit "x")", true},
        {R"("x")", R"(some digit "x")", false},
        {R"("ab12")", R"(2 alpha 2 digit)", true},
        {R"("éÉ")", R"(2 #"é")", true},
        {R"("straße")", R"("STRASSE")", false},
    });
    check_table(
        {
            {R"("ABC")", R"("abc")", false},
            {R"("aA")", R"(some #"a")", false},
            {R"("abc")", R"("abc")", true},
        },
        "parse/case");
}

TEST_F(Parse, WiderUnitsMatchAndWiden) {
    // Characters past Latin-1 put the input in 2- and 4-byte units; rules of narrower units
    // still compare by codepoint, and folding applies to the wide letters.
    check_table({
        {R"("ЖжЖ")", R"(3 #"ж")", true},
        {R"("жук")", R"("ЖУК")", true},
        {R"("a😀b")", R"("a" #"😀" "b")", true},
        {R"("a😀b")", R"(thru #"😀" "b")", true},
        {R"("ab")", R"("a" "😀")", false},
    });
}

TEST_F(Parse, AlternativesFailBreakReject) {
    check_table({
        {R"("b")", R"("a" | "b")", true},
        {R"("c")", R"("a" | "b")", false},
        // A | at the end of a block is an empty last alternative.
        {R"("x")", R"(["a" |] "x")", true},
        {R"("ax")", R"(["a" |] "x")", true},
        {R"("ab")", R"("a" fail "b" | "ab")", true},
        {R"("ab")", R"(["a" fail | "a"] "b")", true},
        {R"("aaa")", R"(some ["a" break] 2 "a")", true},
        {R"("aaa")", R"(some ["a" reject])", false},
        {R"("aaa")", R"(any ["a" reject] 2 "a")", true},
        // break inside a nested block stops the repetition once its pass completes.
        {R"("abab")", R"(any ["a" [break] "b"] "ab")", true},
        {R"("ab")", R"(any [break] "ab")", true},
    });
}

TEST_F(Parse, SkipEndToThru) {
    check_table({
        {R"("abc")", R"(skip skip skip end)", true},
        {R"("a")", R"(none "a" none)", true},
        {R"("abc")", R"(3 skip)", true},
        {R"("ab")", R"(skip end)", false},
        {R"("abc")", R"(to "c" "c")", true},
        {R"("abc")", R"(thru "b" "c")", true},
        {R"("abc")", R"(to "x")", false},
        {R"("abc")", R"(skip to end)", true},
        {R"("abc")", R"(skip thru end)", true},
        {R"("")", R"(to end)", true},
        {R"("aXc")", R"(to #"x" 2 skip)", true},
        {R"("aXc")", R"(thru "X" "c")", true},
        {R"("a<b>c")", R"(thru <b> "c")", true},
        {R"("ab1c")", R"(to digit "1c")", true},
        {R"("ab12")", R"(thru [digit digit] end)", true},
        {R"("ab12")", R"(to [digit digit] "12")", true},
        {R"("ab")", R"(to [digit] to end)", false},
        {R"("abc")", R"(to [end])", true},
        {R"("abc")", R"(thru "")", false},
        {R"("abc")", R"(to "" "abc")", true},
    });
    check_table({{R"("aXc")", R"(to #"x" 2 skip)", false}}, "parse/case");
}

TEST_F(Parse, LookaheadAndWhile) {
    check_table({
        {R"("ab")", R"(not "b" "a" ahead "b" "b")", true},
        {R"("ab")", R"(ahead "b" to end)", false},
        {R"("a")", R"(not "a" skip)", false},
        // any stops after a pass that consumed nothing; while goes on.
        {R"("aaa")", R"(any [ahead "a"] 3 "a")", true},
        {R"("aaa")", R"(while [remove "a"])", true},
        {R"("aaa")", R"(some [while "a"])", true},
    });
    EXPECT_EQ(molded(R"(s: "aaab" parse s [while [remove "a"] "b"] s)"), R"("b")");
}

TEST_F(Parse, BlockInput) {
    check_table({
        {"[a b c]", "'a 'b 'c", true},
        {"[a b c]", "3 word!", true},
        {"[1 \"x\"]", "integer! string!", true},
        {"[1 \"x\"]", "integer! integer!", false},
        {"[\"X\"]", "\"x\"", true},
        {"[a 1]", "'a quote 1", true},
        {"[a [b]]", "'a quote [b]", true},
        {"[1 1 1 2]", "some quote 1 quote 2", true},
        {"[1 2 3 x]", "to 'x 'x", true},
        {"[1 2 3 x]", "thru word! end", true},
        {"[[a b] c]", "into ['a 'b] 'c", true},
        {"[[a b]]", "into ['a]", false},
        {"[[a b]]", "into ['a 'b | 'c]", true},
        {"[\"abc\" x]", "into [\"a\" to end] 'x", true},
        {"[x]", "into ['x]", false},
        {"[]", "into ['x]", false},
        {"[]", "any \"a\"", true},
        {"[a b]", "'a", false},
    });
    check_table({{"[\"X\"]", "\"x\"", false}, {"[a]", "'A", false}}, "parse/case");
    // A typeset matches the values of its types.
    Cell ts;
    set_cell(&ts, TYPE_TYPESET);
    interpreter::typeset_set(&ts, TYPE_WORD);
    interpreter::typeset_set(&ts, TYPE_INTEGER);
    tv::set("word-or-integer", ts);
    EXPECT_EQ(molded(R"(parse [a 1 b] [3 word-or-integer])"), "true");
    EXPECT_EQ(molded(R"(parse [a "x"] [2 word-or-integer])"), "false");
    // A word whose value is a string is matched as that string.
    EXPECT_EQ(molded(R"(w: "ab" parse "abab" [2 w])"), "true");
    EXPECT_EQ(molded(R"(w: 'x parse [x] [quote x])"), "true");
}

// After a repetition or a to/thru, set-words, get-words and paths are values to match, not
// position captures or rule errors; after the other commands they keep their rule meaning.
TEST_F(Parse, RepetitionAndSearchMatchWordsAndPathsLiterally) {
    check_table({
        {"[x: x:]", "some x:", true},
        {"[a b: c]", "to b: 2 skip", true},
        {"[a b: c]", "thru b: 'c", true},
        {"[:g :g]", "2 :g", true},
        {"[a/b a/b c]", "some a/b 'c", true},
        {"[a/b: c]", "any a/b: 'c", true},
        {"[a b]", "some :g", false},
        {"\"ab\"", "some p: 2 skip", false},
        {"[a b c]", "copy x p: 3 skip", true},
    });
    EXPECT_EQ(molded(R"(parse [a b] [skip copy x p: skip] index? p)"), "2");
    EXPECT_TRUE(raises(R"(parse "ab" [to p: skip])", err::script::parse_rule));
    EXPECT_TRUE(raises(R"(parse [a/b] [not a/b])", err::script::parse_rule));
    EXPECT_TRUE(raises(R"(parse [a/b] [a/b])", err::script::parse_rule));
}

TEST_F(Parse, SetAndGetWordPositions) {
    EXPECT_EQ(molded(R"(parse "abc" [skip p: to end :p "bc"])"), "true");
    EXPECT_EQ(molded(R"(parse "abc" [skip p: to end] p)"), R"("bc")");
    EXPECT_EQ(molded(R"(parse [a b c] [skip p: 2 skip] index? p)"), "2");
    EXPECT_TRUE(raises(R"(q: "xyz" parse "abc" [:q])", err::script::parse_invalid_ref));
    EXPECT_TRUE(raises(R"(q: ["abc"] parse "abc" [:q])", err::script::parse_invalid_ref));
}

TEST_F(Parse, SetAndCopy) {
    EXPECT_EQ(molded(R"(parse "abc" [set x skip copy y to end] x)"), R"(#"a")");
    EXPECT_EQ(molded("y"), R"("bc")");
    EXPECT_EQ(molded(R"(parse [1 2 3] [set x integer! copy y to end] x)"), "1");
    EXPECT_EQ(molded("y"), "[2 3]");
    EXPECT_EQ(molded(R"(parse #{0102} [set x skip copy y skip] x)"), "1");
    EXPECT_EQ(molded("y"), "#{02}");
    // A capture over a rule that matched nothing: none and an empty series.
    EXPECT_EQ(molded(R"(parse "abc" [set x any "z" copy y any "z" to end] x)"), "none");
    EXPECT_EQ(molded("y"), R"("")");
    // A failed capture leaves the word alone.
    EXPECT_EQ(molded(R"(x: 0 parse "abc" [set x "z" | to end] x)"), "0");
    EXPECT_EQ(molded(R"(parse "aabbc" [copy x some "a" copy y [some "b"] "c"] x)"), R"("aa")");
    EXPECT_EQ(molded("y"), R"("bb")");
    EXPECT_TRUE(raises(R"(parse "a" [set x])", err::script::parse_end));
    EXPECT_TRUE(raises(R"(parse "a" [copy "x" skip])", err::script::parse_end));
}

TEST_F(Parse, RemoveInsertChange) {
    EXPECT_EQ(molded(R"(s: "abc" parse s [remove "a" to end] s)"), R"("bc")");
    EXPECT_EQ(molded(R"(s: "abc" parse s [remove ["a" "b"] "c"] s)"), R"("c")");
    EXPECT_EQ(molded(R"(s: "abc" parse s [skip p: 2 skip remove p] s)"), R"("a")");
    EXPECT_EQ(molded(R"(s: "abc" parse s [skip insert "X" to end] s)"), R"("aXbc")");
    EXPECT_EQ(molded(R"(s: [a b] parse s [skip insert only [x] 'b] s)"), "[a [x] b]");
    EXPECT_EQ(molded(R"(s: [a b] parse s [skip insert [x y] 'b] s)"), "[a x y b]");
    // An insertion before the current position moves the position on.
    EXPECT_EQ(molded(R"(s: "abc" parse s [p: 2 skip insert p "XY" "c"])"), "true");
    EXPECT_EQ(molded(R"(s: "abc" parse s [p: 2 skip insert p "XY" "c"] s)"), R"("XYabc")");
    // After it, the position stays.
    EXPECT_EQ(molded(R"(s: "abc" parse s [p: skip :p skip q: :p insert q "X" "aXbc"])"), "true");
    EXPECT_EQ(molded(R"(s: "abc" parse s [change "a" "X" to end] s)"), R"("Xbc")");
    EXPECT_EQ(molded(R"(s: "abc" parse s [change ["a" "b"] "YYY" "c"] s)"), R"("YYYc")");
    EXPECT_EQ(molded(R"(s: "abc" parse s [change ["a" "b"] "Y" "c"])"), "true");
    EXPECT_EQ(molded(R"(s: "abc" parse s [change "z" "Y" | to end] s)"), R"("abc")");
    EXPECT_EQ(molded(R"(s: [a b c] parse s [change 'a (1) 2 skip] s)"), "[1 b c]");
    EXPECT_EQ(molded(R"(s: [a b c] parse s [change only 'a [x y] 2 skip] s)"), "[[x y] b c]");
    EXPECT_EQ(molded(R"(s: "abcd" parse s [p: 2 skip change p "Z" "cd"])"), "false");
    EXPECT_EQ(molded(R"(s: "abcd" parse s [p: 2 skip change p "Z" "Zcd"] s)"), R"("Zcd")");
    EXPECT_TRUE(raises(R"(parse "a" [change "a"])", err::script::parse_end));
    EXPECT_TRUE(raises(R"(parse "a" [insert])", err::script::parse_end));
    EXPECT_TRUE(raises(R"(parse "a" [insert unset-word-here])", err::script::no_value));
    EXPECT_TRUE(raises(R"(p: "a" parse p [insert p])", err::script::parse_rule));
    EXPECT_TRUE(raises(R"(parse "a" [remove a/b])", err::script::parse_rule));
    EXPECT_TRUE(raises(R"(parse "a" [insert a/b])", err::script::parse_rule));
}

TEST_F(Parse, Collect) {
    // A top-level collect answers its block, whether or not the rules matched the whole input.
    EXPECT_EQ(molded(R"(parse "abc" [collect [keep skip keep skip]])"), R"([#"a" #"b"])");
    EXPECT_EQ(molded(R"(parse "ab" [collect [keep skip] collect [keep skip]])"), R"([#"a" [#"b"]])");
    EXPECT_EQ(molded(R"(parse "abc" [collect [keep 2 skip keep pick 1 skip]])"), R"(["ab" #"c"])");
    EXPECT_EQ(molded(R"(parse "abc" [collect [keep pick 3 skip]])"), R"([#"a" #"b" #"c"])");
    EXPECT_EQ(molded(R"(parse [1 2 3] [collect [keep 2 skip keep integer!]])"), "[[1 2] 3]");
    EXPECT_EQ(molded(R"(parse [1 2] [collect [keep (1) keep pick ([a b])]])"), "[1 a b]");
    EXPECT_EQ(molded(R"(parse #{0102} [collect [keep skip keep skip]])"), "[1 2]");
    EXPECT_EQ(molded(R"(parse "ab" [collect [keep any "z" keep "a" collect [keep "b"]]])"), R"([#"a" [#"b"]])");
    // collect set names the block and leaves the answer logic!.
    EXPECT_EQ(molded(R"(parse "ab" [collect set x [keep skip] skip])"), "true");
    EXPECT_EQ(molded(R"(parse "ab" [collect set x [keep skip] skip] x)"), R"([#"a"])");
    EXPECT_EQ(molded(R"(parse "ab" [collect [collect set x [keep skip] keep skip]] x)"), R"([#"a"])");
    EXPECT_EQ(molded(R"(parse "ab" [collect [collect set x [keep skip] keep skip]])"), R"([#"b"])");
    EXPECT_TRUE(raises(R"(parse "a" [keep skip])", err::script::parse_keep));
    EXPECT_TRUE(raises(R"(parse "a" [collect [keep]])", err::script::parse_end));
}

TEST_F(Parse, CollectIntoAndAfter) {
    // The word's series starts at the first kept value once the collect is over.
    EXPECT_EQ(molded(R"(out: tail "xy" parse "abc" [collect into out [keep skip keep 2 skip]] head out)"),
              R"("xyabc")");
    EXPECT_EQ(molded(R"(out: tail "xy" parse "abc" [collect into out [keep skip keep 2 skip]] out)"), R"("abc")");
    EXPECT_EQ(molded(R"(out: "xy" parse "abc" [collect into out [keep skip keep skip]] out)"), R"("abxy")");
    EXPECT_EQ(molded(R"(out: "xy" parse "abc" [collect after out [keep skip keep skip]] out)"), R"("xyab")");
    EXPECT_EQ(molded(R"(out: [x] parse "abc" [collect into out [keep skip keep 2 skip]] out)"), R"([#"a" "bc" x])");
    EXPECT_EQ(molded(R"(out: [x] parse [1 2] [collect after out [keep skip collect [keep skip]]] out)"), "[x 1 [2]]");
    EXPECT_EQ(molded(R"(out: [] parse "ab" [collect into out [keep skip]])"), "false");
    EXPECT_TRUE(raises(R"(s: "abc" parse s [collect into s [keep skip]])", err::script::parse_into_bad));
    EXPECT_TRUE(raises(R"(out: #{} parse "abc" [collect into out [keep skip]])", err::script::parse_into_type));
    EXPECT_TRUE(raises(R"(out: "" parse [a] [collect into out [keep skip]])", err::script::parse_into_type));
    EXPECT_TRUE(raises(R"(out: 1 parse [a] [collect into out [keep skip]])", err::script::parse_into_type));
}

// The target word checked at the start of a collect may be pointed at the input by a paren: a kept
// run then goes into the input as a copy of what was matched, wherever it lands.
TEST_F(Parse, CollectTargetRepointedAtTheInput) {
    expect_molded({
        {R"(s: "abcdef" d: "" parse s [collect into d [(d: s) 3 skip keep 3 skip] to end] s)", R"("defabcdef")"},
        {R"(s: "abcdef" d: "" parse s [collect into d [(d: skip s 1) keep 3 skip] to end] s)", R"("aabcbcdef")"},
        {R"(s: "abcdef" d: "" parse s [collect after d [(d: s) keep 3 skip] to end] s)", R"("abcdefabc")"},
        {R"(s: #{010203} d: #{} parse s [collect into d [(d: s) skip keep 2 skip] to end] s)", "#{0203010203}"},
        // With pick the values go in one by one, each one moving the rest of the run.
        {R"(s: [1 2] d: [] parse s [collect into d [(d: s) keep pick 2 skip]] s)", "[1 2 1 2]"},
        {R"(s: "abc" d: "" parse s [collect into d [(d: s) keep pick 2 skip] to end] s)", R"("ababc")"},
        {R"(s: "abc" d: "" parse s [collect after d [(d: s) keep pick 2 skip] to end] s)", R"("abcab")"},
        {R"(s: #{0102} d: #{} parse s [collect into d [(d: s) keep pick 2 skip]] s)", "#{01020102}"},
    });
}

// keep pick of a paren whose block is the collect target adds the elements the block had: the
// walk over them does not meet the ones it puts in.
TEST_F(Parse, KeepPickOfTheTargetItself) {
    expect_molded({
        {"d: [1 2] parse [x] [collect into d [keep pick (d) skip]] d", "[1 2 1 2]"},
        {"d: [1 2] parse [x] [collect after d [keep pick (d) skip]] d", "[1 2 1 2]"},
        {"d: [1 2 3] parse [x] [collect into d [keep pick (skip d 1) skip]] d", "[2 3 1 2 3]"},
    });
}

// A paren that shortens the input under a running command leaves that command a start past the
// tail: each command then works on the part that is left.
TEST_F(Parse, CommandsOverInputShortenedByAParen) {
    expect_molded({
        {R"(s: "abcdef" parse s [2 skip copy x [2 skip (clear s)] to end] x)", R"("")"},
        {R"(s: "abcdef" parse s [2 skip set x [2 skip (clear s)] to end] x)", "none"},
        {R"(s: "abcdef" parse s [2 skip remove [2 skip (clear s)] to end] s)", R"("")"},
        {R"(s: "abcdef" parse s [2 skip change [2 skip (clear s)] "XY" to end] s)", R"("XY")"},
        {R"(s: "abcdef" parse s [2 skip collect [keep [2 skip (clear s)]] to end])", "[]"},
        {R"(s: "abcdef" parse s [2 skip copy x [2 skip (remove/part s 3)] to end] x)", R"("f")"},
        {R"(s: "abcdef" parse s [2 skip collect [keep [2 skip (remove/part s 3)]] to end])", R"([#"f"])"},
    });
}

// A keyword whose modifier is the last thing in the rule names the keyword in its error.
TEST_F(Parse, ModifierWithoutRule) {
    struct Row {
        const char* code;
        const char* message;
    };
    const Row rows[] = {
        {R"(parse "a" [change])", "PARSE - unexpected end of rule after: change"},
        {R"(parse "a" [change only])", "PARSE - unexpected end of rule after: change"},
        {R"(parse "a" [insert only])", "PARSE - unexpected end of rule after: insert"},
        {R"(parse "a" [collect [keep pick]])", "PARSE - unexpected end of rule after: keep"},
        {R"(p: "a" parse p [change p])", "PARSE - invalid rule or usage of rule: change"},
        {R"(p: "a" parse p [change only p])", "PARSE - invalid rule or usage of rule: change"},
        {R"(p: "a" parse p [insert only p])", "PARSE - invalid rule or usage of rule: insert"},
    };
    for (const Row& r : rows) {
        std::string text = tv::form(error_of(r.code));
        EXPECT_EQ(text.substr(0, text.find('\n')), std::string("*** Script Error: ") + r.message) << r.code;
    }
}

TEST_F(Parse, ParensAndIf) {
    EXPECT_EQ(molded(R"(n: 0 parse "ab" [(n: 1) skip (m: 2) skip] n)"), "1");
    EXPECT_EQ(molded("m"), "2");
    check_table({
        {R"("a")", R"(if (true) "a")", true},
        {R"("a")", R"(if (none) "a" | "a")", true},
        {R"("a")", R"(if (false) "a")", false},
    });
    // A paren that shortens the input pulls the position back to the new tail.
    EXPECT_EQ(molded(R"(s: "abcd" parse s [3 skip (clear s) end])"), "true");
    EXPECT_TRUE(raises(R"(parse "a" [if "a"])", err::script::parse_end));
}

TEST_F(Parse, PartLimit) {
    EXPECT_EQ(molded(R"(parse/part "abc" ["ab"] 2)"), "true");
    EXPECT_EQ(molded(R"(parse/part "abc" [to end] 2)"), "true");
    // A literal must end within the limit.
    EXPECT_EQ(molded(R"(parse/part "abc" ["abc"] 2)"), "false");
    EXPECT_EQ(molded(R"(parse/part "abc" [some "a" skip] 2)"), "true");
    EXPECT_EQ(molded(R"(parse/part "abc" [some "a" | 2 skip] 2)"), "false");
    EXPECT_EQ(molded(R"(parse/part "abc" [3 skip] 2)"), "false");
    EXPECT_EQ(molded(R"(s: "abc" parse/part s ["ab"] skip s 2)"), "true");
    EXPECT_EQ(molded(R"(parse/part [a b c] ['a 'b] 2)"), "true");
    EXPECT_EQ(molded(R"(parse/part [a b c] [thru 'c] 2)"), "false");
    // A limit at or before the head of the series: the rules do not run, and the answer is
    // whether the input is empty from its position.
    expect_molded({
        {R"(parse/part "" [end] 0)", "true"},
        {R"(parse/part "" [skip] 0)", "true"},
        {R"(parse/part "abc" [end] 0)", "false"},
        {R"(parse/part "abc" [to end] -1)", "false"},
        {R"(parse/part [a] [] 0)", "false"},
        {R"(parse/part #{01} [opt skip] -3)", "false"},
        {R"(s: "abc" parse/part s [to end] s)", "false"},
        {R"(parse/part "abc" [collect [keep to end]] 0)", "false"},
        {R"(x: 0 parse/part "abc" [(x: 1)] -5 x)", "0"},
        {R"(parse/part tail "abc" [skip] -3)", "true"},
        // A limit after the head but not after the input's position: the input is at its end.
        {R"(parse/part skip "abc" 3 [end] 0)", "true"},
        {R"(parse/part skip "abc" 2 [end] -1)", "true"},
        {R"(parse/part skip "abc" 2 ["c"] -1)", "false"},
    });
    EXPECT_TRUE(raises(R"(parse/part "abc" ["a"] "abc")", err::script::invalid_refine_arg));
}

TEST_F(Parse, BinaryInput) {
    check_table({
        {"#{616263}", R"(#"a" "bc")", true},
        {"#{616263}", R"("ABC")", true},
        {"#{616263}", R"(#"A" to end)", false},
        {"#{616263}", R"(#{61} thru #{63})", true},
        {"#{00FF00}", "skip #{FF} skip", true},
        {"#{C3A9}", R"("é")", true},
        {"#{3132}", R"(some digit)", true},
        {"#{31323320616263}", "integer! word!", true},
        {"#{31323320616263}", "word!", false},
    });
    check_table({{"#{616263}", R"("ABC")", false}}, "parse/case");
}

TEST_F(Parse, RuleErrors) {
    struct ErrorCase {
        const char* code;
        ErrorId id;
    };
    std::vector<ErrorCase> cases = {
        {R"(parse "a" [any])", err::script::parse_end},
        {R"(parse "a" [some])", err::script::parse_end},
        {R"(parse "a" [opt])", err::script::parse_end},
        {R"(parse "a" [to])", err::script::parse_end},
        {R"(parse "a" [not])", err::script::parse_end},
        {R"(parse "a" [ahead])", err::script::parse_end},
        {R"(parse "a" [quote])", err::script::parse_end},
        {R"(parse "a" [case])", err::script::parse_end},
        {R"(parse [a] [into])", err::script::parse_end},
        {R"(parse [a] [into "x"])", err::script::parse_end},
        {R"(parse "a" [into ["a"]])", err::script::parse_block},
        {R"(parse "a" [a/b])", err::script::parse_rule},
        {R"(parse "a" [no-such-rule-word])", err::script::parse_rule},
        {R"(w: 'x parse "a" [w])", err::script::parse_rule},
        {R"(parse "aaa" [3 2 "a"])", err::script::parse_rule},
        {R"(parse "aaa" [2])", err::script::parse_rule},
        {R"(parse "aaa" [2 3])", err::script::parse_rule},
        {R"(parse "aaa" [-1 "a"])", err::script::out_of_range},
        {R"(parse "a" [string!])", err::script::parse_unsupported},
        {R"(parse "a" [to 1.5])", err::script::parse_rule},
    };
    for (const ErrorCase& c : cases) EXPECT_TRUE(raises(c.code, c.id)) << c.code << " gave " << molded(c.code);
}

TEST_F(Parse, CaseKeyword) {
    check_table({
        {R"("aA")", R"(case true ["a" "A"])", true},
        {R"("aa")", R"(case true ["a" "A"])", false},
        {R"("aA")", R"(case true "a" "a")", true},
    });
    check_table({{R"("aA")", R"(case false [2 "a"] "")", true}}, "parse/case");
}

TEST_F(Parse, DeepAndInfiniteRulesHitTheStackLimit) {
    EXPECT_TRUE(raises(R"(r: [r] parse "a" r)", err::script::parse_stack));
    EXPECT_TRUE(raises(R"(r: ["a" r | "b"] parse "ab" [r])", err::script::parse_stack) == false);
    // Nesting within the limit still works.
    std::string deep = "parse \"a\" ";
    for (int i = 0; i < 3000; i++) deep += "[";
    deep += "\"a\"";
    for (int i = 0; i < 3000; i++) deep += "]";
    EXPECT_EQ(molded(deep), "true");
    std::string deeper = "parse \"a\" ";
    for (int i = 0; i < 3400; i++) deeper += "[";
    deeper += "\"a\"";
    for (int i = 0; i < 3400; i++) deeper += "]";
    EXPECT_TRUE(raises(deeper, err::script::parse_stack));
}

TEST_F(Parse, ReentrantFromParens) {
    EXPECT_EQ(molded(R"(parse "ab" [skip (r: parse [x] ['x]) skip] r)"), "true");
    EXPECT_EQ(molded(R"(parse "ab" [skip (r: parse [x] ['y]) skip])"), "true");
    EXPECT_EQ(molded(R"(parse "ab" [skip (r: parse "zz" [collect [keep skip]]) skip] r)"), R"([#"z"])");
    // Recursion through parens ends in an error, whichever limit it reaches first.
    Cell e = error_of(R"(r: [(parse "a" r)] parse "a" r)");
    EXPECT_TRUE(is_error(e, err::script::parse_stack) || is_error(e, err::internal::stack_overflow)) << tv::form(e);
    // An error inside the nested call leaves the outer call's stacks intact.
    EXPECT_TRUE(raises(R"(parse "ab" [skip (parse "x" [any]) skip])", err::script::parse_end));
}

// A function! made from spec and body text, set to a global word.
void define_function(const char* name, const char* spec, const char* body) {
    Cell s = load_one(spec), b = load_one(body), f;
    function::make_at(&f, &s, &b, 0);
    tv::hold(f);
    tv::set(name, f);
}

TEST_F(Parse, TraceEventsInOrder) {
    define_function("trace-log", "[event match? rule input stack]", "[append log event true]");
    EXPECT_EQ(molded(R"(log: copy [] parse/trace "a" ["a"] :trace-log log)"), "[push fetch match pop end]");
    EXPECT_EQ(molded(R"(log: copy [] parse/trace "ab" [some "a" "b"] :trace-log log)"),
              "[push fetch push match pop fetch match pop end]");
    EXPECT_EQ(molded(R"(log: copy [] parse/trace "aa" [some ["a"]] :trace-log log)"),
              "[push fetch push push fetch match pop iterate push fetch match pop iterate push fetch match pop pop pop end]");
    EXPECT_EQ(molded(R"(log: copy [] parse/trace "b" [to ["b"]] :trace-log log)"),
              "[push fetch push push fetch match pop pop pop end]");
    EXPECT_EQ(molded(R"(log: copy [] parse/trace "a" [(1) skip] :trace-log log)"),
              "[push fetch paren fetch match pop end]");
    EXPECT_EQ(molded(R"(log: copy [] parse/trace "xxb" [to [skip "b"]] :trace-log log)"),
              "[push fetch push push fetch match fetch match pop pop iterate push fetch match fetch match pop pop pop end]");
}

TEST_F(Parse, TraceSeesRulePositionInputAndStack) {
    define_function("trace-all", "[event match? rule input stack]",
                    "[append log event append log match? append log index? rule append log index? input "
                    "append log length? stack true]");
    EXPECT_EQ(molded(R"(log: copy [] parse/trace "ab" [skip "x" | 2 skip] :trace-all log)"),
              "[push true 1 1 3 fetch true 1 1 3 match true 1 2 3 fetch true 2 2 3 match false 2 2 3 "
              "fetch true 4 1 3 push true 5 1 6 match true 5 2 6 iterate true 5 2 6 match true 5 3 6 "
              "pop true 5 3 6 pop true 6 3 3 end true 6 3 3]");
}

TEST_F(Parse, TraceCallbackStops) {
    define_function("stop-at-once", "[event match? rule input stack]", "[false]");
    EXPECT_EQ(molded(R"(parse/trace "abc" ["x"] :stop-at-once)"), "true");
    EXPECT_EQ(molded(R"(parse/trace "abc" [collect [keep skip]] :stop-at-once)"), "true");
    // Going on for every event but match: the parse ends with the failed match's flag.
    define_function("stop-on-match", "[event match? rule input stack]",
                    "[select [push #(true) fetch #(true) match #(false) pop #(true) end #(true)] event]");
    EXPECT_EQ(molded(R"(parse/trace "abc" ["x" | to end] :stop-on-match)"), "false");
    EXPECT_EQ(parse::rules_depth(), 0);
    EXPECT_EQ(molded(R"(parse "abc" ["abc"])"), "true");
    // An error raised inside the callback.
    define_function("trace-error", "[event match? rule input stack]",
                    "[parse \"x\" select [push [] fetch [] match [any] pop [] end []] event true]");
    EXPECT_TRUE(raises(R"(parse/trace "abc" ["abc"] :trace-error)", err::script::parse_end));
}

TEST_F(Parse, CallbackThatRewritesTheStackGetsAnErrorNotACrash) {
    // Every tampering ends in a result or a language error; the stacks are clean afterwards.
    for (const char* body : {
             "[clear stack true]",
             "[append stack 'x true]",
             "[append stack 1 true]",
             "[insert stack [1 2 3] true]",
             "[remove stack true]",
             "[change stack [none none none none none none] true]",
             "[poke stack 2 1.2.3 true]",
             "[poke stack length? stack 1x2 true]",
             "[poke stack length? stack 'word true]",
             "[append stack [#(none) 1x2 [a b]] true]",
         }) {
        define_function("tamper", "[event match? rule input stack]", body);
        for (const char* rules : {R"(["a" some ["b" | "c"] copy x to end])", R"([collect [keep skip] into ["q"]])",
                                  R"([any [skip] 2 3 "a"])"}) {
            std::string code = std::string(R"(parse/trace "abcbc" )") + rules + " :tamper";
            Cell result = tv::none();
            Cell e = catch_error([&] { result = run(code); });
            if (e.type() != TYPE_ERROR) {
                EXPECT_TRUE(result.type() == TYPE_LOGIC || result.type() == TYPE_BLOCK) << code;
            }
            EXPECT_EQ(parse::rules_depth(), 0) << body << " " << code;
            EXPECT_EQ(parse::series_depth(), 0) << body << " " << code;
        }
    }
}

TEST_F(Parse, CollectIntoWiderAndNarrowerTargets) {
    EXPECT_EQ(molded(R"(out: "ж" parse "abc" [collect after out [keep 2 skip keep skip]] out)"), R"("жabc")");
    EXPECT_EQ(molded(R"(out: "x" parse "жук" [collect after out [keep 2 skip keep skip]] out)"), R"("xжук")");
    EXPECT_EQ(molded(R"(out: copy [] parse #{010203} [collect into out [keep 2 skip keep skip]] out)"),
              "[#{0102} 3]");
}

}  // namespace

#endif
