#include "datatypes/context.h"

#include <gtest/gtest.h>

#include "datatypes/function.h"
#include "datatypes/object.h"
#include "datatypes/symbol.h"
#include "tests/support/errors.h"
#include "tests/support/value_builders.h"

namespace {

using namespace tv;

class Contexts : public testing::Test {
protected:
    void SetUp() override { install_stand_ins(); }
};

TEST_F(Contexts, MadeFromASpecBlock) {
    Cell empty = blk({});
    Node e = tv::hold_node(context::make(&empty, false, true, context::KIND_OBJECT));
    EXPECT_EQ(context::count(e), 0);
    EXPECT_GE(memory::nodes[context::cell_of(e)->data2]->capacity, 16u);

    // Every word kind but set-words, from the block's first cell; a repeated word has one entry
    // and two value cells.
    Cell spec = blk({wrd("ca"), set_word("cb"), lit_word("cc"), wrd("CA"), refinement("cd")});
    spec.set_index(3);
    Node c = tv::hold_node(context::make(&spec, false, false, context::KIND_OBJECT));
    EXPECT_EQ(context::count(c), 3);
    EXPECT_EQ(block::node_length(context::cell_of(c)->data2), 4);
    EXPECT_EQ(context::kind_of(c), context::KIND_OBJECT);
    Cell ca = wrd("ca");
    EXPECT_EQ(context::find_word(c, static_cast<int32_t>(ca.data2), true), 0);
    EXPECT_EQ(context::find_word(c, symbol::make("cd"), true), 2);
    EXPECT_EQ(context::find_word(c, symbol::make("cb"), true), -1);
    EXPECT_EQ(context::find_word(c, symbol::make("CA"), false), -1);
}

TEST_F(Contexts, GlobalCaseVariantsShareOneSlot) {
    Cell lower = wrd("shared-slot");
    set("shared-slot", integer(1));
    // A variant made without case-insensitive lookup still lands on the first variant's slot.
    Cell upper;
    context::add_global_tracked(&upper, symbol::make("Shared-Slot"));
    EXPECT_EQ(upper.data3, lower.data3);
    Cell two = integer(2);
    context::set_value(&upper, &two);
    EXPECT_EQ(context::get(&lower)->i1(), 2);
    Cell loaded = wrd("SHARED-SLOT");
    EXPECT_EQ(loaded.data3, lower.data3);
    EXPECT_EQ(symbol::text(static_cast<int32_t>(loaded.data2)), "SHARED-SLOT");
}

TEST_F(Contexts, BindingWalksNestedBlocksOnly) {
    Cell obj;
    object::make_at(&obj, 4);
    tv::hold(obj);
    Cell x = wrd("bx"), n = tv::none();
    context::set_or_add(obj.data1, &x, &n);
    Cell inner = blk({wrd("bx")});
    Cell par = blk({wrd("bx")}, TYPE_PAREN);
    Cell path = blk({wrd("bx"), wrd("bx")}, TYPE_PATH);
    Cell text = str("bx");
    Cell body = blk({wrd("bx"), set_word("bx"), wrd("by"), inner, par, path, text});
    Cell by_before = at(body, 2);
    context::bind(&body, obj.data1, false);
    EXPECT_EQ(at(body, 0).data1, obj.data1);
    EXPECT_EQ(at(body, 1).data1, obj.data1);
    EXPECT_EQ(at(inner, 0).data1, obj.data1);
    EXPECT_EQ(at(par, 0).data1, obj.data1);
    EXPECT_EQ(at(path, 1).data1, obj.data1);
    EXPECT_EQ(at(body, 2).data1, by_before.data1);  // not in the context: unchanged
    EXPECT_EQ(at(body, 2).data3, by_before.data3);
}

TEST_F(Contexts, SelfRuleAndSelfContainingBlocks) {
    Cell obj;
    object::make_at(&obj, 2);
    tv::hold(obj);
    Cell body = blk({wrd("self"), set_word("self"), lit_word("self")});
    block::append_cell(body.node(), &body);  // contains itself
    context::bind(&body, obj.data1, true);
    Cell self = at(body, 0);
    EXPECT_EQ(self.data1, obj.data1);
    EXPECT_EQ(self.i3(), -1);
    EXPECT_EQ(context::get(&self)->data1, obj.data1);
    EXPECT_NE(at(body, 1).data1, obj.data1);
    EXPECT_NE(at(body, 2).data1, obj.data1);
}

TEST_F(Contexts, ReadingAndWritingFailures) {
    Cell unbound = wrd("never-bound");
    unbound.data3 = static_cast<uint32_t>(-1);
    EXPECT_TRUE(is_error(catch_error([&] { context::get(&unbound); }), err::script::no_value));

    Cell spec = blk({wrd("fa")}), body = blk({wrd("fa")}), fn;
    function::make_at(&fn, &spec, &body, 0);
    tv::hold(fn);
    Cell fa = at(*function::body_of(&fn), 0);
    EXPECT_EQ(fa.data1, fn.data1);
    EXPECT_TRUE(is_error(catch_error([&] { context::get(&fa); }), err::script::not_in_context));
    Cell one = integer(1);
    EXPECT_TRUE(is_error(catch_error([&] { context::set_value(&fa, &one); }), err::script::not_defined));
    EXPECT_TRUE(is_error(catch_error([&] { context::push_value(fn.data1, 0); }), err::script::not_defined));
}

TEST_F(Contexts, SettingAddsMissingWordsAndMarksObjectFields) {
    Cell obj;
    object::make_at(&obj, 2);
    tv::hold(obj);
    Cell w = wrd("added-late"), v = integer(7);
    w.data3 = static_cast<uint32_t>(-1);
    context::set_in(&w, &v, obj.data1, true);
    EXPECT_EQ(w.i3(), 0);
    EXPECT_EQ(context::count(obj.data1), 1);
    EXPECT_EQ(context::values(obj.data1)[0].i1(), 7);
    EXPECT_TRUE(context::word_at_node(obj.data1, 0)->header & context::word_changed);
}

TEST_F(Contexts, CompiledCodeCopiesLocals) {
    Cell obj;
    object::make_at(&obj, 2);
    tv::hold(obj);
    Cell w = wrd("loc"), v = integer(5);
    context::set_or_add(obj.data1, &w, &v);
    stack::Saved saved = stack::save();
    stack::push(&w);
    Cell* before = stack::top - 1;
    context::push_local(obj.data1, 0);
    EXPECT_EQ(stack::top - 1, before + 1);
    EXPECT_EQ(before->i1(), 5);
    EXPECT_EQ((stack::top - 1)->i1(), 5);
    stack::push(&w);
    context::copy_local(obj.data1, 0);
    EXPECT_EQ((stack::top - 1)->i1(), 5);
    EXPECT_TRUE(context::word_at_node(obj.data1, 0)->header & context::word_changed);
    stack::restore(saved);
}

TEST_F(Contexts, RenewGivesAFreshContextWithTheSameWords) {
    Cell obj;
    object::make_at(&obj, 2);
    tv::hold(obj);
    Cell a = wrd("ra"), b = wrd("rb"), one = integer(1);
    context::set_or_add(obj.data1, &a, &one);
    context::set_or_add(obj.data1, &b, &one);
    Node old = obj.data1;
    Node fresh = tv::hold_node(context::renew(&obj, context::KIND_OBJECT));
    EXPECT_NE(fresh, old);
    EXPECT_EQ(obj.data1, fresh);
    EXPECT_EQ(context::count(fresh), 2);
    EXPECT_EQ(context::word_at_node(fresh, 1)->data1, fresh);
    EXPECT_EQ(context::values(fresh)[1].type(), TYPE_UNSET);
    EXPECT_TRUE(context::cell_of(fresh)->header & context::object_flag);
}

}  // namespace
