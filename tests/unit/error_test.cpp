#include "datatypes/error.h"

#include <gtest/gtest.h>

#include <string>

#include "datatypes/object.h"
#include "evaluator/interpreter.h"
#include "runtime/fire.h"
#include "tests/support/errors.h"
#include "tests/support/value_builders.h"

namespace {

using namespace tv;

class Errors : public testing::Test {
protected:
    void SetUp() override { install_stand_ins(); }
    void TearDown() override {
        Cell none = tv::none();
        error::set_state(&none);
    }
    static Cell make(const Cell& spec) {
        Cell proto = datatype_of(TYPE_ERROR), s = spec;
        actions::make(&proto, &s);
        tv::hold(proto);
        return proto;
    }
    // An error as fire makes it, with a known place: where and near as the console would see them.
    static Cell raised(ErrorId id, const Cell* a1 = nullptr, const Cell* a2 = nullptr, const Cell* a3 = nullptr) {
        Cell e;
        error::create(&e, id, a1, a2, a3);
        tv::hold(e);
        Cell where = wrd("probe"), near = blk({wrd("x"), wrd("+"), integer(1)});
        error::set_field(&e, error::FIELD_WHERE, &where);
        error::set_field(&e, error::FIELD_NEAR, &near);
        return e;
    }
    static int32_t code_of(const Cell& e) { return error::field(&e, error::FIELD_CODE)->i1(); }
    // A state object holding only stack-trace.
    static Cell make_object(int32_t trace) {
        Cell o;
        object::make_at(&o, 1);
        tv::hold(o);
        Cell w = wrd("stack-trace"), v = integer(trace);
        context::set_or_add(o.data1, &w, &v);
        return o;
    }
};

TEST_F(Errors, FormedAsTheConsolePrintsThem) {
    Cell x = wrd("x"), file = str("data.txt"), boom = str("boom"), token = str("foo:"), kind = str("word"),
         where = str("line 3"), feature = wrd("clipboard");
    struct Case {
        Cell error;
        const char* text;
    } cases[] = {
        {raised(err::throw_::break_), "*** Throw Error: no loop to break"},
        {raised(err::note::no_load, &file), "*** note: cannot load:  \"data.txt\""},
        {raised(err::syntax::invalid, &kind, &token, &where), "*** Syntax Error: word invalid foo: at line 3"},
        {raised(err::script::no_value, &x), "*** Script Error: x has no value"},
        {raised(err::script::invalid_spec_field, &file), "*** Script Error: invalid \"data.txt\" field in spec block"},
        {raised(err::math::zero_divide), "*** Math Error: attempt to divide by zero"},
        {raised(err::access::cannot_open, &file), "*** Access Error: cannot open: \"data.txt\""},
        {raised(err::user::message, &boom), "*** User Error: boom"},
        {raised(err::internal::no_cycle), "*** Internal Error: circular reference not allowed"},
        {raised(err::internal::not_here, &feature), "*** Internal Error: clipboard not supported on your system"},
    };
    for (const Case& c : cases) EXPECT_EQ(form(c.error), std::string(c.text) + "\n*** Where: probe\n*** Near : x + 1");
}

TEST_F(Errors, RaisedErrorsKnowWhereAndNear) {
    // No block is being evaluated (an earlier test's error may have left its block as the
    // interpreter's current one, which is where errors outside evaluation find their position).
    set_cell(&interpreter::current_block, TYPE_UNSET);
    Cell arg = wrd("undefined-thing");
    Cell e = catch_error([&] {
        Cell name = wrd("probe");
        stack::mark_native(&name);
        fire(err::script::no_value, &arg);
    });
    ASSERT_TRUE(is_error(e, err::script::no_value));
    EXPECT_EQ(code_of(e), 300);
    EXPECT_EQ(mold(*error::field(&e, error::FIELD_WHERE)), "probe");
    EXPECT_EQ(error::field(&e, error::FIELD_STACK)->type(), TYPE_INTEGER);
    std::string text = form(e);
    EXPECT_EQ(text.rfind("*** Script Error: undefined-thing has no value\n*** Where: probe\n*** Near : none\n*** Stack: ", 0), 0u)
        << text;

    // Evaluation supplies the code position.
    set("needs-value", integer(0));
    Cell code = blk({integer(1), wrd("never-set-word-value")});
    Cell unset;
    set_cell(&unset, TYPE_UNSET);
    set("never-set-word-value", unset);
    Cell from_eval = catch_error([&] { eval(code); });
    ASSERT_TRUE(is_error(from_eval, err::script::no_value));
    Cell near = *error::field(&from_eval, error::FIELD_NEAR);
    EXPECT_EQ(near.node(), code.node());
    EXPECT_EQ(near.index(), 1);
}

TEST_F(Errors, StackLineFollowsTheTraceSetting) {
    Cell e = raised(err::math::overflow);
    Cell calls = blk({wrd("outer"), wrd("inner")});
    error::set_field(&e, error::FIELD_STACK, &calls);
    EXPECT_EQ(form(e), "*** Math Error: math or number overflow\n*** Where: probe\n*** Near : x + 1\n*** Stack: outer inner");
    Cell off = make_object(0), on = make_object(2);
    error::set_state(&off);
    EXPECT_EQ(form(e), "*** Math Error: math or number overflow\n*** Where: probe\n*** Near : x + 1");
    error::set_state(&on);
    Cell files = blk({str("a.kel")});
    error::set_field(&e, error::FIELD_FILES, &files);
    EXPECT_EQ(form(e),
              "*** Math Error: math or number overflow\n*** Where: probe\n*** Near : x + 1\n*** Stack: outer inner\n"
              "*** Files: \"a.kel\"");
}

TEST_F(Errors, LongNearAndArgumentsAreCut) {
    std::string long_text(100, 'a');
    Cell arg = str(long_text);
    Cell e = raised(err::script::invalid_arg, &arg);
    Cell near = blk({str(long_text)});
    error::set_field(&e, error::FIELD_NEAR, &near);
    // A string of 50 characters or more molds in braces.
    std::string expected = "*** Script Error: invalid argument: {" + std::string(79, 'a') + "\n*** Where: probe\n*** Near : {" +
                           std::string(39, 'a');
    EXPECT_EQ(form(e), expected);
}

TEST_F(Errors, MadeFromCodes) {
    Cell e = make(integer(300));
    EXPECT_TRUE(is_error(e, err::script::no_value));
    EXPECT_EQ(mold(*error::field(&e, error::FIELD_TYPE)), "script");
    EXPECT_EQ(mold(*error::field(&e, error::FIELD_ID)), "no-value");
    EXPECT_EQ(e.i2(), 1);  // every error has class 1
    EXPECT_TRUE(is_error(make(integer(903)), err::internal::wrong_mem));
    for (int32_t bad : {299, -1, -300, 1000, 2147483647, -2147483647 - 1}) {
        Cell r = catch_error([&] { make(integer(bad)); });
        ASSERT_TRUE(is_error(r, err::script::out_of_range)) << bad;
        EXPECT_EQ(error::field(&r, error::FIELD_ARG1)->i1(), bad);
    }
}

TEST_F(Errors, MadeFromBlocks) {
    EXPECT_EQ(code_of(make(blk({wrd("script"), wrd("no-value")}))), 300);
    EXPECT_EQ(code_of(make(blk({wrd("math"), wrd("overflow")}))), 401);
    struct Case {
        Cell spec;
        ErrorId error;
        const char* arg;
    } cases[] = {
        {blk({wrd("script"), wrd("bogus")}), err::script::invalid_spec_field, "id"},
        {blk({wrd("script"), wrd("code")}), err::script::invalid_spec_field, "id"},
        {blk({wrd("script")}), err::script::invalid_spec_field, "id"},
        {blk({wrd("bogus"), wrd("x")}), err::script::invalid_spec_field, "type"},
        {blk({wrd("script"), integer(5)}), err::script::invalid_arg, "5"},
        {blk({integer(1)}), err::internal::invalid_error, "none"},
        {blk({}), err::internal::invalid_error, "none"},
        {blk({set_word("type"), lit_word("math"), set_word("id"), lit_word("nope")}), err::script::invalid_spec_field, "id"},
    };
    for (const Case& c : cases) {
        Cell r = catch_error([&] { make(c.spec); });
        ASSERT_TRUE(is_error(r, c.error)) << mold(c.spec);
        EXPECT_EQ(mold(*error::field(&r, error::FIELD_ARG1)), c.arg) << mold(c.spec);
    }
    Cell by_fields = make(blk({set_word("type"), lit_word("math"), set_word("id"), lit_word("positive"), set_word("arg1"), integer(7)}));
    EXPECT_EQ(code_of(by_fields), 402);
    EXPECT_EQ(error::field(&by_fields, error::FIELD_ARG1)->i1(), 7);
    EXPECT_TRUE(is_error(catch_error([&] { make(number(1.5)); }), err::script::bad_make_arg));
}

TEST_F(Errors, MadeFromAString) {
    Cell e = make(str("it broke"));
    ASSERT_TRUE(is_error(e, err::user::message));
    EXPECT_EQ(text_of(*error::field(&e, error::FIELD_ARG1)), "it broke");
    Cell where = wrd("probe");
    error::set_field(&e, error::FIELD_WHERE, &where);
    Cell near = blk({wrd("do-it")});
    error::set_field(&e, error::FIELD_NEAR, &near);
    EXPECT_EQ(form(e), "*** User Error: it broke\n*** Where: probe\n*** Near : do-it");
}

TEST_F(Errors, UnknownFieldsFallBackToInvalidError) {
    Cell e = raised(err::script::no_value);
    Cell bogus = wrd("bogus-type");
    error::set_field(&e, error::FIELD_TYPE, &bogus);
    EXPECT_EQ(form(e), "*** Internal Error: invalid error object field value: bogus-type\n*** Where: probe\n*** Near : x + 1");
    Cell e2 = raised(err::script::no_value);
    Cell bad_id = wrd("bogus-id");
    error::set_field(&e2, error::FIELD_ID, &bad_id);
    EXPECT_EQ(form(e2), "*** Internal Error: invalid error object field value: bogus-id\n*** Where: probe\n*** Near : x + 1");
    Cell e3 = raised(err::script::no_value);
    Cell num = integer(3);
    error::set_field(&e3, error::FIELD_TYPE, &num);
    EXPECT_EQ(form(e3), "*** Internal Error: invalid error object field value: 3\n*** Where: probe\n*** Near : x + 1");
}

TEST_F(Errors, ActionsOnErrors) {
    Cell e = raised(err::math::positive);
    std::string m = mold(e);
    EXPECT_EQ(m.rfind("make error! [\n    code: 402\n    type: 'math\n    id: 'positive\n    arg1: none\n", 0), 0u) << m;
    EXPECT_EQ(m.substr(m.size() - 2), "\n]");
    EXPECT_EQ(mold(e, false, false, true).rfind("make error! [code: 402 type: 'math id: 'positive arg1: none", 0), 0u);
    Cell none = tv::none();
    error::set_field(&e, error::FIELD_NEAR, &none);
    Cell copy = act(ACT_COPY, {e});
    EXPECT_EQ(copy.type(), TYPE_ERROR);
    EXPECT_EQ(error::compare(&e, &copy, COMP_EQUAL), 0);
    EXPECT_NE(error::compare(&e, &copy, COMP_SAME), 0);
    Cell obj = make_object(1);
    EXPECT_EQ(error::compare(&e, &obj, COMP_EQUAL), -2);
    EXPECT_EQ(act(ACT_SELECT, {e, wrd("code")}).i1(), 402);
    set("an-error", e);
    EXPECT_EQ(eval(blk({blk({wrd("an-error"), wrd("id")}, TYPE_PATH)})).data2, error::field(&e, error::FIELD_ID)->data2);
    EXPECT_TRUE(is_error(catch_error([&] { act(ACT_FIND, {e, wrd("code")}); }), err::script::expect_arg));
}

}  // namespace
