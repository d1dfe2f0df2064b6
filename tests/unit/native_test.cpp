#include "datatypes/native.h"

#include <gtest/gtest.h>

#include "datatypes/function.h"
#include "evaluator/natives.h"
#include "tests/support/errors.h"
#include "tests/support/value_builders.h"

namespace {

using namespace tv;

class Natives : public testing::Test {
protected:
    void SetUp() override { install_stand_ins(); }
    static Cell make(int type, const Cell& spec) {
        Cell proto = datatype_of(type), s = spec;
        actions::make(&proto, &s);
        tv::hold(proto);
        return proto;
    }
};

TEST_F(Natives, MakeFromSpecAndIndex) {
    Cell spec = blk({wrd("series"), wrd("value")});
    for (const Cell& bad : {blk({spec, integer(3), integer(1)}), blk({spec, integer(0)}), blk({spec, integer(63)}),
                            blk({integer(3), spec}), blk({spec})}) {
        EXPECT_TRUE(is_error(catch_error([&] { make(TYPE_ACTION, bad); }), err::script::bad_make_arg)) << mold(bad);
    }
    // Natives are checked against the natives actually installed.
    EXPECT_TRUE(is_error(catch_error([&] { make(TYPE_NATIVE, blk({spec, integer(natives::counter)})); }), err::script::bad_make_arg));

    Cell a = make(TYPE_ACTION, blk({spec, integer(ACT_APPEND)}));
    Cell b = make(TYPE_ACTION, blk({spec, integer(ACT_APPEND)}));
    EXPECT_EQ(a.type(), TYPE_ACTION);
    EXPECT_EQ(act(ACT_REFLECT, {a, wrd("body")}).i1(), ACT_APPEND);
    EXPECT_EQ(act(ACT_REFLECT, {a, wrd("spec")}).node(), spec.node());
    EXPECT_TRUE(is_error(catch_error([&] { act(ACT_REFLECT, {a, wrd("words")}); }), err::internal::not_done));
    EXPECT_EQ(native::compare(&a, &b, COMP_EQUAL), 0);
    EXPECT_EQ(native::compare(&a, &b, COMP_SAME), 0);
    Cell c = make(TYPE_ACTION, blk({spec, integer(ACT_INSERT)}));
    EXPECT_NE(native::compare(&a, &c, COMP_EQUAL), 0);
    EXPECT_EQ(native::compare(&a, &c, COMP_LESSER), -2);
    EXPECT_EQ(form(a), "?action?");
    EXPECT_EQ(mold(a), "make action! [[series value]]");
    // The value's context is made from the spec, values on the stack.
    Cell ctx = at(Cell{TYPE_BLOCK, 0, a.data3, 0}, native::MORE_CONTEXT);
    EXPECT_EQ(ctx.type(), TYPE_CONTEXT);
    EXPECT_TRUE(ctx.header & context::on_stack);
}

TEST_F(Natives, OperatorSpecs) {
    struct Case {
        Cell spec;
        bool valid;
    } cases[] = {
        {blk({wrd("a"), wrd("b")}), true},
        {blk({wrd("a"), wrd("b"), wrd("c")}), false},
        {blk({lit_word("a"), wrd("b")}), false},
        {blk({wrd("a"), refinement("ref"), wrd("b")}), false},
        {blk({wrd("a"), lit_word("b")}), true},
        {blk({wrd("a"), wrd("b"), refinement("local"), wrd("c")}), true},
        {blk({str("doc"), wrd("a"), blk({}), wrd("b"), set_word("return"), blk({}), wrd("c")}), true},
        {blk({wrd("a")}), false},
    };
    for (const Case& c : cases) EXPECT_EQ(native::op_valid_spec_q(c.spec.node()), c.valid) << mold(c.spec);
}

TEST_F(Natives, OperatorsWrapFunctions) {
    Cell spec = blk({wrd("a"), wrd("b")}), body = blk({wrd("b")}), fn;
    function::make_at(&fn, &spec, &body, 0);
    tv::hold(fn);
    Cell op = make(TYPE_OP, fn);
    EXPECT_EQ(op.type(), TYPE_OP);
    EXPECT_EQ(native::op_wrapped(&op), TYPE_FUNCTION);
    EXPECT_EQ(op.data3, fn.data3);
    EXPECT_EQ(block::node_cell(fn.data3, function::MORE_OP)->data3, fn.data3);
    EXPECT_EQ(mold(op), "make op! func [a b][b]");
    EXPECT_EQ(form(op), "?op?");
    EXPECT_EQ(act(ACT_REFLECT, {op, wrd("body")}).node(), function::body_of(&fn)->node());

    // Used infix by the interpreter.
    set("second-of", op);
    EXPECT_EQ(eval(blk({integer(1), wrd("second-of"), integer(2)})).i1(), 2);

    EXPECT_TRUE(is_error(catch_error([&] { make(TYPE_OP, integer(1)); }), err::script::invalid_type));
    Cell three = blk({wrd("a"), wrd("b"), wrd("c")}), f3;
    function::make_at(&f3, &three, &body, 0);
    tv::hold(f3);
    EXPECT_TRUE(is_error(catch_error([&] { make(TYPE_OP, f3); }), err::script::bad_op_spec));
}

}  // namespace
