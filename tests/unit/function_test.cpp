#include "datatypes/function.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "datatypes/symbol.h"
#include "tests/support/errors.h"
#include "tests/support/value_builders.h"

namespace {

using namespace tv;

class Functions : public testing::Test {
protected:
    void SetUp() override {
        install_stand_ins();
        set("integer!", datatype_of(TYPE_INTEGER));
        set("string!", datatype_of(TYPE_STRING));
    }
    // A function made from spec and body; validation first, as func does.
    static Cell func(const Cell& spec, const Cell& body) {
        Cell fn;
        uint32_t flags = function::validate_spec(&spec);
        function::make_at(&fn, &spec, &body, flags);
        tv::hold(fn);
        return fn;
    }
};

TEST_F(Functions, SpecValidation) {
    Cell ints = blk({wrd("integer!")});
    auto doc = [] { return str("doc"); };
    struct Case {
        const char* what;
        Cell spec;
        ErrorId error;  // category 0, index 0: valid
    } cases[] = {
        {"typed then doc", blk({wrd("a"), ints, doc()}), {0, 0}},
        {"doc before types", blk({wrd("a"), doc(), ints}), err::script::bad_func_def},
        {"argument after return", blk({set_word("return"), ints, wrd("a")}), err::script::bad_func_def},
        {"return then locals", blk({wrd("a"), set_word("return"), ints, refinement("local"), wrd("b")}), {0, 0}},
        {"return after local", blk({refinement("local"), wrd("b"), set_word("return"), ints}), err::script::bad_func_def},
        {"other set-word", blk({set_word("res"), ints}), err::script::bad_func_def},
        {"two returns", blk({set_word("return"), ints, set_word("return"), ints}), err::script::bad_func_def},
        {"return without types", blk({set_word("return"), wrd("a")}), err::script::bad_func_def},
        {"duplicate ignoring case", blk({wrd("a"), wrd("A")}), err::script::dup_vars},
        {"duplicate refinement", blk({wrd("a"), refinement("a")}), err::script::dup_vars},
        {"lit-word local", blk({refinement("local"), lit_word("x")}), err::script::bad_func_def},
        {"refinement after local", blk({refinement("local"), wrd("x"), refinement("r")}), err::script::bad_func_def},
        {"refinement then integer", blk({refinement("r"), integer(1)}), err::script::bad_func_def},
        {"integer in spec", blk({wrd("a"), integer(1)}), err::script::bad_func_def},
        {"bad type element", blk({wrd("a"), blk({integer(1)})}), err::script::invalid_type_spec},
        {"unset type word", blk({wrd("a"), blk({wrd("no-such-type!")})}), err::script::no_value},
        {"attributes", blk({blk({wrd("trace")}), wrd("a")}), {0, 0}},
        {"attribute not a word", blk({blk({wrd("trace"), integer(1)}), wrd("a")}), err::script::bad_func_def},
    };
    for (Case& c : cases) {
        Cell e = catch_error([&] { function::validate_spec(&c.spec); });
        if (c.error.category == 0 && c.error.index == 0)
            EXPECT_EQ(e.type(), TYPE_NONE) << c.what;
        else
            EXPECT_TRUE(is_error(e, c.error)) << c.what;
    }
    Cell traced = blk({blk({wrd("trace"), wrd("no-trace")}), wrd("a")});
    EXPECT_EQ(function::validate_spec(&traced), function::flag_trace | function::flag_no_trace);
    // The error names the whole spec.
    Cell bad = blk({wrd("a"), integer(1)});
    Cell e = catch_error([&] { function::validate_spec(&bad); });
    EXPECT_EQ(error::field(&e, error::FIELD_ARG1)->node(), bad.node());
}

TEST_F(Functions, MakeActionNeedsTwoBlocks) {
    Cell proto = datatype_of(TYPE_FUNCTION);
    Cell one = blk({blk({wrd("a")})});
    EXPECT_TRUE(is_error(catch_error([&] { function::make(&proto, &one, TYPE_FUNCTION); }), err::script::bad_func_def));
    Cell made = blk({blk({wrd("a")}), blk({wrd("a")}), integer(5)});
    function::make(&proto, &made, TYPE_FUNCTION);
    tv::hold(proto);
    EXPECT_EQ(proto.type(), TYPE_FUNCTION);
    set("made-fn", proto);
    EXPECT_EQ(eval(blk({wrd("made-fn"), integer(41)})).i1(), 41);
}

TEST_F(Functions, BodyIsACopyBoundToTheArguments) {
    Cell body = blk({wrd("arg-x"), blk({wrd("arg-x")})});
    Cell fn = func(blk({wrd("arg-x")}), body);
    Cell copy = *function::body_of(&fn);
    EXPECT_NE(copy.node(), body.node());
    EXPECT_EQ(at(copy, 0).data1, fn.data1);
    EXPECT_EQ(at(at(copy, 1), 0).data1, fn.data1);
    EXPECT_NE(at(body, 0).data1, fn.data1);
    EXPECT_EQ(context::owner_of(fn.data1)->data3, fn.data3);

    set("id-fn", fn);
    Cell r = eval(blk({wrd("id-fn"), integer(7)}));
    ASSERT_EQ(r.type(), TYPE_BLOCK);
    EXPECT_EQ(r.node(), at(copy, 1).node());
}

TEST_F(Functions, EqualityIsIdentity) {
    Cell spec = blk({wrd("a")}), body = blk({wrd("a")});
    Cell f = func(spec, body), g = func(spec, body);
    Cell copy = f;
    EXPECT_NE(function::compare(&f, &g, COMP_EQUAL), 0);
    EXPECT_EQ(function::compare(&f, &copy, COMP_EQUAL), 0);
    EXPECT_EQ(function::compare(&f, &copy, COMP_SAME), 0);
    EXPECT_EQ(function::compare(&f, &copy, COMP_LESSER), -2);
    Cell i = integer(1);
    EXPECT_EQ(function::compare(&f, &i, COMP_EQUAL), -2);
}

TEST_F(Functions, ReflectAndTextForms) {
    Cell fn = func(blk({wrd("ra"), refinement("local"), wrd("rb")}), blk({wrd("ra")}));
    Cell words = act(ACT_REFLECT, {fn, wrd("words")});
    ASSERT_EQ(length(words), 3);
    EXPECT_EQ(mold(words), "[ra local rb]");
    EXPECT_EQ(at(words, 2).data1, fn.data1);
    EXPECT_EQ(at(words, 2).i3(), 2);
    EXPECT_EQ(act(ACT_REFLECT, {fn, wrd("spec")}).node(), fn.data2);
    EXPECT_EQ(act(ACT_REFLECT, {fn, wrd("body")}).node(), function::body_of(&fn)->node());
    EXPECT_TRUE(is_error(catch_error([&] { act(ACT_REFLECT, {fn, wrd("class")}); }), err::internal::not_done));
    EXPECT_EQ(form(fn), "?function?");
    EXPECT_EQ(mold(fn), "func [ra /local rb][ra]");
    Cell bodyless;
    Cell spec = blk({});
    function::make_at(&bodyless, &spec, nullptr, 0);
    tv::hold(bodyless);
    EXPECT_EQ(mold(bodyless), "func [] none");
}

TEST_F(Functions, CollectWordsForTheFunctionNative) {
    // function [a /extern ext] [x: 1 a: 2 ext: 3 foreach [k v] blk [y: 2] repeat i 3 [] local: 0]
    Cell spec = blk({wrd("a"), refinement("extern"), wrd("ext")});
    Cell body = blk({set_word("x"), integer(1), set_word("a"), integer(2), set_word("ext"), integer(3), wrd("foreach"),
                     blk({wrd("k"), wrd("v")}), wrd("blk"), blk({set_word("y"), integer(2)}), wrd("repeat"), wrd("i"),
                     integer(3), blk({}), set_word("local"), integer(0)});
    Cell locals;
    function::collect_words(&locals, &spec, &body);
    EXPECT_EQ(mold(locals), "[x k v y i]");
    EXPECT_EQ(mold(spec), "[a /local x k v y i]");

    Cell plain = blk({wrd("p")});
    Cell none_found;
    Cell empty_body = blk({wrd("p")});
    function::collect_words(&none_found, &plain, &empty_body);
    EXPECT_EQ(length(none_found), 0);
    EXPECT_EQ(mold(plain), "[p]");

    // Locals already named after /extern's /local are kept.
    Cell with_local = blk({refinement("extern"), wrd("e1"), refinement("local"), wrd("l1")});
    Cell b2 = blk({set_word("z"), integer(1)});
    function::collect_words(&locals, &with_local, &b2);
    EXPECT_EQ(mold(with_local), "[/local l1 z]");

    // A loop word block is walked as well: its words and its set-words are locals.
    Cell loop_spec = blk({wrd("a")});
    Cell loop_body = blk({wrd("remove-each"), blk({set_word("g"), wrd("h"), lit_word("a")}), wrd("b"), blk({})});
    function::collect_words(&locals, &loop_spec, &loop_body);
    EXPECT_EQ(mold(loop_spec), "[a /local h g]");

    Cell bad = blk({refinement("extern"), integer(1)});
    EXPECT_TRUE(is_error(catch_error([&] { function::collect_words(&locals, &bad, &b2); }), err::script::bad_func_extern));
}

TEST_F(Functions, LocalSlots) {
    Cell spec = blk({wrd("a"), refinement("r"), wrd("b"), refinement("local"), wrd("c"), wrd("d")});
    EXPECT_EQ(function::count_locals(spec.node(), 0, false), 3);
    Cell plain = blk({wrd("a")});
    EXPECT_EQ(function::count_locals(plain.node(), 0, true), -1);
    EXPECT_EQ(function::count_locals(plain.node(), 0, false), 0);
    stack::Saved saved = stack::save();
    function::init_locals(3);
    EXPECT_EQ(stack::top - saved.top, 3);
    EXPECT_EQ(saved.top[0].type(), TYPE_LOGIC);
    EXPECT_EQ(saved.top[0].data1, 0u);
    EXPECT_EQ(saved.top[1].type(), TYPE_NONE);
    EXPECT_EQ(saved.top[2].type(), TYPE_NONE);
    stack::restore(saved);
}

TEST_F(Functions, RoutineArity) {
    stack::Saved saved = stack::save();
    Cell spec = blk({wrd("a"), wrd("b"), wrd("c"), refinement("local"), wrd("d")});
    Cell none_body = tv::none();
    Cell r = tv::hold(*routine::push(&spec, &none_body, 1, 0, true));
    EXPECT_EQ(r.type(), TYPE_ROUTINE);
    EXPECT_EQ(routine::get_arity(&r), 4);
    EXPECT_TRUE(r.header & routine::flag_maker);
    EXPECT_EQ(form(r), "?routine?");
    EXPECT_EQ(mold(r), "routine [a b c /local d] none");
    stack::restore(saved);

    Cell big;
    block::make_new(&big, 40);
    tv::hold(big);
    for (int i = 0; i < 32; i++) {
        std::string name = std::string("w") + std::to_string(i);
        Cell w = wrd(name.c_str());
        block::append_cell(big.node(), &w);
    }
    EXPECT_TRUE(is_error(catch_error([&] { routine::push(&big, &none_body, 1, 0, false); }), err::script::bad_func_def));
}

}  // namespace
