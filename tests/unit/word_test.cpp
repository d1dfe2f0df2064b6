#include "datatypes/word.h"

#include <gtest/gtest.h>

#include "datatypes/object.h"
#include "datatypes/symbol.h"
#include "tests/support/errors.h"
#include "tests/support/value_builders.h"

namespace {

using namespace tv;

class Words : public testing::Test {
protected:
    void SetUp() override { install_stand_ins(); }
};

TEST_F(Words, ComparisonUnderEachOperator) {
    Cell obj;
    object::make_at(&obj, 1);
    tv::hold(obj);
    Cell n = tv::none();
    Cell local = wrd("cw");
    context::set_or_add(obj.data1, &local, &n);
    context::bind_word(obj.data1, &local);

    Cell w = wrd("cw"), W = wrd("CW"), lit = lit_word("cw"), setw = set_word("cw"), other = wrd("cx");
    Cell issue = w;
    issue.header = TYPE_ISSUE;
    struct Case {
        const Cell* a;
        const Cell* b;
        int op;
        int expected;
    } cases[] = {
        {&w, &W, COMP_EQUAL, 0},          {&w, &setw, COMP_EQUAL, 0},         {&w, &other, COMP_EQUAL, 1},
        {&w, &W, COMP_STRICT_EQUAL, 1},   {&w, &setw, COMP_STRICT_EQUAL, 1},  {&w, &w, COMP_STRICT_EQUAL, 0},
        {&w, &local, COMP_SAME, 1},       {&w, &w, COMP_SAME, 0},             {&w, &local, COMP_EQUAL, 0},
        // word against lit-word: 10 compares raw symbols, 11 resolved ones; other kinds by type
        {&w, &lit, 10, 0},                {&W, &lit, 10, 1},                  {&w, &setw, 10, 1},
        {&W, &lit, 11, 0},                {&W, &setw, 11, 1},                 {&W, &w, 11, 0},
        {&w, &other, COMP_SORT, -1},      {&other, &W, COMP_SORT, 1},         {&w, &issue, COMP_EQUAL, -2},
        {&issue, &w, COMP_EQUAL, 0},
    };
    for (const Case& c : cases) EXPECT_EQ(word::compare(c.a, c.b, c.op), c.expected) << mold(*c.a) << " op " << c.op << " " << mold(*c.b);
    Cell i = integer(1);
    EXPECT_EQ(word::compare(&w, &i, COMP_EQUAL), -2);
}

TEST_F(Words, TextFormsKeepTheVariantsOwnCase) {
    Cell g = get_word("MixedCase-Word");
    EXPECT_EQ(mold(g), ":MixedCase-Word");
    EXPECT_EQ(form(g), "MixedCase-Word");
    EXPECT_EQ(mold(set_word("sw")), "sw:");
    EXPECT_EQ(mold(lit_word("lw")), "'lw");
    EXPECT_EQ(mold(refinement("rw")), "/rw");
    EXPECT_EQ(mold_part(lit_word("lw"), 1), "'");
    EXPECT_EQ(mold_part(wrd("abcdef"), 3), "abc");
}

TEST_F(Words, MakeAndToFromNonTextValues) {
    Cell proto = datatype_of(TYPE_SET_WORD);
    Cell spec = wrd("mk");
    Cell r = proto;
    word::make(&r, &spec, TYPE_SET_WORD);
    tv::hold(r);
    EXPECT_EQ(r.type(), TYPE_SET_WORD);
    EXPECT_EQ(r.data2, spec.data2);
    EXPECT_EQ(r.data3, spec.data3);

    Cell t = logic(true);
    word::make(&r, &t, TYPE_WORD);
    tv::hold(r);
    EXPECT_EQ(r.type(), TYPE_WORD);
    EXPECT_EQ(mold(r), "true");
    EXPECT_EQ(r.data1, context::global_node);

    Cell dt = datatype_of(TYPE_INTEGER);
    word::make(&r, &dt, TYPE_LIT_WORD);
    tv::hold(r);
    EXPECT_EQ(mold(r), "'integer!");

    Cell n = integer(3);
    Cell e = catch_error([&] { word::make(&r, &n, TYPE_WORD); });
    EXPECT_TRUE(is_error(e, err::script::bad_to_arg));
}

TEST_F(Words, MakeFromText) {
    if (!word::scan_one) GTEST_SKIP() << "text conversions come with the lexer";
    Cell r;
    Cell s = str("mk-text:");
    word::make(&r, &s, TYPE_WORD);
    tv::hold(r);
    EXPECT_EQ(r.type(), TYPE_WORD);
    EXPECT_EQ(mold(r), "mk-text");
    Cell two = str("a b");
    EXPECT_TRUE(is_error(catch_error([&] { word::make(&r, &two, TYPE_WORD); }), err::script::invalid_chars));
    Cell num = str("12");
    EXPECT_TRUE(is_error(catch_error([&] { word::make(&r, &num, TYPE_WORD); }), err::script::invalid_chars));
    Cell ref = refinement("refword");
    word::make(&r, &ref, TYPE_WORD);
    tv::hold(r);
    EXPECT_EQ(mold(r), "refword");
    Cell issue = wrd("issueword");
    issue.header = TYPE_ISSUE;
    word::make(&r, &issue, TYPE_SET_WORD);
    tv::hold(r);
    EXPECT_EQ(mold(r), "issueword:");
    Cell numeric_issue = wrd("123");
    numeric_issue.header = TYPE_ISSUE;
    EXPECT_TRUE(is_error(catch_error([&] { word::make(&r, &numeric_issue, TYPE_WORD); }), err::script::bad_to_arg));
    Cell ch;
    set_cell(&ch, TYPE_CHAR, 'q');
    word::make(&r, &ch, TYPE_WORD);
    tv::hold(r);
    EXPECT_EQ(mold(r), "q");
    set_cell(&ch, TYPE_CHAR, ' ');
    EXPECT_TRUE(is_error(catch_error([&] { word::make(&r, &ch, TYPE_WORD); }), err::script::invalid_chars));
}

TEST_F(Words, IndexAndValues) {
    Cell x = wrd("index-probe");
    Cell r = act(ACT_INDEX_Q, {x});
    EXPECT_EQ(r.type(), TYPE_INTEGER);
    EXPECT_EQ(r.i1(), x.i3() + 1);
    x.data3 = static_cast<uint32_t>(-1);
    EXPECT_EQ(act(ACT_INDEX_Q, {x}).type(), TYPE_NONE);

    Cell fresh = wrd("unset-probe");
    EXPECT_TRUE(is_error(catch_error([&] { word::get(&fresh); }), err::script::no_value));

    // The set operation of compiled code: the word, then the value, in the running call.
    auto set_from_stack = [&](const Cell& value) {
        return catch_error([&] {
            stack::mark_named(stack::body_symbol, FRAME_NATIVE);
            stack::push(&fresh);
            stack::push(&value);
            word::set_from_stack();
            EXPECT_EQ(stack::arguments->i1(), 9);
        });
    };
    Cell unset;
    set_cell(&unset, TYPE_UNSET);
    EXPECT_TRUE(is_error(set_from_stack(unset), err::script::need_value));
    EXPECT_EQ(set_from_stack(integer(9)).type(), TYPE_NONE);
    EXPECT_EQ(get("unset-probe").i1(), 9);
}

}  // namespace
