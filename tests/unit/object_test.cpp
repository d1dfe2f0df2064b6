#include "datatypes/object.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "datatypes/function.h"
#include "datatypes/ownership.h"
#include "evaluator/natives.h"
#include "tests/support/errors.h"
#include "tests/support/value_builders.h"

namespace {

using namespace tv;

// Calls of the recording routine: the molded arguments of each call, joined by spaces.
std::vector<std::string> calls;
int record_arity = 0;

void record() {
    std::string line;
    for (int i = 0; i < record_arity; i++) {
        if (i) line += ' ';
        line += mold(stack::arguments[i], false, false, true);
    }
    calls.push_back(line);
    set_cell(stack::arguments, TYPE_UNSET);
}

class Objects : public testing::Test {
protected:
    void SetUp() override {
        install_stand_ins();
        calls.clear();
        static int routine_code = routines::register_("test-record", record);
        stack::Saved saved = stack::save();
        Cell spec3 = blk({wrd("a"), wrd("b"), wrd("c")});
        Cell spec7 = blk({wrd("a"), wrd("b"), wrd("c"), wrd("d"), wrd("e"), wrd("f"), wrd("g")});
        Cell none_body = tv::none();
        set("record3", *routine::push(&spec3, &none_body, routine_code, 0, false));
        set("record7", *routine::push(&spec7, &none_body, routine_code, 0, false));
        stack::restore(saved);
    }

    static Cell make(const Cell& proto, const Cell& spec) {
        Cell p = proto, s = spec;
        actions::make(&p, &s);
        tv::hold(p);
        return p;
    }
    static Cell make_object(const Cell& spec) { return make(datatype_of(TYPE_OBJECT), spec); }
    static Cell func(const Cell& spec, const Cell& body) {
        Cell fn;
        function::make_at(&fn, &spec, &body, function::validate_spec(&spec));
        tv::hold(fn);
        return fn;
    }
    // An on-change* handler that records (word old new).
    static Cell change_recorder() {
        record_arity = 3;
        return func(blk({wrd("word"), wrd("old"), wrd("new")}),
                    blk({wrd("record3"), wrd("word"), get_word("old"), get_word("new")}));
    }
    static Cell deep_recorder() {
        record_arity = 7;
        return func(blk({wrd("owner"), wrd("word"), wrd("target"), wrd("action"), wrd("new"), wrd("index"), wrd("part")}),
                    blk({wrd("record7"), wrd("owner"), wrd("word"), wrd("target"), wrd("action"), get_word("new"),
                         wrd("index"), wrd("part")}));
    }
    static Cell field(const Cell& obj, const char* name) {
        Cell w = wrd(name);
        return *object::get_word(&obj, &w);
    }
    static int32_t class_of(const Cell& obj) { return obj.i2(); }
};

TEST_F(Objects, MakeEvaluatesTheSpecInTheNewObject) {
    Cell o = make_object(blk({set_word("ma"), integer(1), set_word("mb"), wrd("ma"), set_word("ms"), wrd("self")}));
    EXPECT_EQ(o.type(), TYPE_OBJECT);
    EXPECT_EQ(field(o, "ma").i1(), 1);
    EXPECT_EQ(field(o, "mb").i1(), 1);
    EXPECT_EQ(field(o, "ms").data1, o.data1);
    EXPECT_EQ(field(o, "MA").i1(), 1);  // fields are found ignoring case
    EXPECT_EQ(act(ACT_REFLECT, {o, wrd("changed")}).type(), TYPE_BLOCK);
    EXPECT_EQ(length(act(ACT_REFLECT, {o, wrd("changed")})), 0);
    EXPECT_TRUE(is_error(catch_error([&] { make_object(integer(5)); }), err::syntax::malconstruct));
}

TEST_F(Objects, ClassIdsFollowTheShape) {
    Cell p = make_object(blk({set_word("cx"), integer(1)}));
    EXPECT_GT(class_of(p), object::kFirstClassId);
    Cell same = make(p, blk({set_word("cx"), integer(2)}));
    EXPECT_EQ(class_of(same), class_of(p));
    Cell wider = make(p, blk({set_word("cy"), integer(2)}));
    EXPECT_NE(class_of(wider), class_of(p));
    EXPECT_NE(class_of(make_object(blk({set_word("cx"), integer(1)}))), class_of(p));
    EXPECT_EQ(class_of(act(ACT_COPY, {p})), class_of(p));
    stack::Saved saved = stack::save();
    Cell spec = blk({set_word("cz"), integer(3)});
    Cell built = tv::hold(*object::make_from_spec(&spec, &p, false));
    stack::restore(saved);
    EXPECT_EQ(class_of(built), class_of(p));
    EXPECT_EQ(act(ACT_REFLECT, {p, wrd("class")}).i1(), class_of(p));
    // From an object spec: a new id only when words are added.
    Cell from_same = make(p, make_object(blk({set_word("cx"), integer(9)})));
    EXPECT_EQ(class_of(from_same), class_of(p));
    EXPECT_EQ(field(from_same, "cx").i1(), 9);
    EXPECT_NE(class_of(make(p, make_object(blk({set_word("cw"), integer(9)})))), class_of(p));
}

TEST_F(Objects, MethodsAreRemadeForTheCopy) {
    Cell p = make_object(blk({set_word("x"), integer(1), set_word("m"), tv::none(), set_word("arg"), tv::none()}));
    // As a func in the spec would: the methods' bodies see the object's fields.
    Cell m = func(blk({}), blk({wrd("x")}));
    context::bind(function::body_of(&m), p.data1, true);
    Cell shadow = func(blk({wrd("x")}), blk({wrd("x")}));
    context::bind(function::body_of(&shadow), p.data1, true);
    context::bind(function::body_of(&shadow), shadow.data1, false);
    auto set_field = [&](const char* name, const Cell& v) {
        Cell w = wrd(name);
        w.data3 = static_cast<uint32_t>(-1);
        context::set_in(&w, &v, p.data1, false);
    };
    set_field("m", m);
    set_field("arg", shadow);

    set("proto-obj", p);
    Cell q = make(p, blk({set_word("x"), integer(2)}));
    set("copy-obj", q);
    auto call = [](const char* obj, const char* method) { return eval(blk({blk({wrd(obj), wrd(method)}, TYPE_PATH)})); };
    EXPECT_EQ(call("copy-obj", "m").i1(), 2);
    EXPECT_EQ(call("proto-obj", "m").i1(), 1);
    EXPECT_EQ(eval(blk({blk({wrd("copy-obj"), wrd("arg")}, TYPE_PATH), integer(5)})).i1(), 5);
    EXPECT_NE(field(q, "m").data3, m.data3);

    Cell c = act(ACT_COPY, {q});
    set("copied-obj", c);
    Cell three = integer(3), xw = wrd("x");
    context::bind_word(c.data1, &xw);
    context::set_in(&xw, &three, c.data1, false);
    EXPECT_EQ(call("copied-obj", "m").i1(), 3);
    EXPECT_EQ(call("copy-obj", "m").i1(), 2);

    // A method without body source cannot be re-made.
    Cell bodyless, spec = blk({});
    function::make_at(&bodyless, &spec, nullptr, 0);
    tv::hold(bodyless);
    set_field("m", bodyless);
    EXPECT_TRUE(is_error(catch_error([&] { make(p, blk({})); }), err::script::bad_func_def));
}

TEST_F(Objects, SeriesFieldsAreCopiedAndRebound) {
    Cell p = make_object(blk({set_word("sx"), integer(1), set_word("sb"), blk({wrd("sx")}), set_word("st"), str("text")}));
    Cell pb = field(p, "sb");
    EXPECT_EQ(at(pb, 0).data1, p.data1);
    Cell q = make(p, blk({}));
    Cell qb = field(q, "sb");
    EXPECT_NE(qb.node(), pb.node());
    EXPECT_EQ(at(qb, 0).data1, q.data1);
    EXPECT_NE(field(q, "st").node(), field(p, "st").node());
    EXPECT_EQ(text_of(field(q, "st")), "text");
    // copy without /deep shares series; /deep copies them.
    EXPECT_EQ(field(act(ACT_COPY, {p}), "sb").node(), pb.node());
    EXPECT_NE(field(act(ACT_COPY, {p}, {-1, 0, -1}), "sb").node(), pb.node());
    Cell e = catch_error([&] { act(ACT_COPY, {p, integer(1)}, {1, -1, -1}); });
    EXPECT_TRUE(is_error(e, err::script::invalid_refine_arg));
}

TEST_F(Objects, ConstructDoesNotEvaluate) {
    stack::Saved saved = stack::save();
    Cell spec = blk({set_word("ka"), set_word("kb"), integer(1), set_word("kd"), wrd("yes"), set_word("ke"), wrd("none"),
                     set_word("kw"), wrd("other"), set_word("kc")});
    Cell o = tv::hold(*object::make_from_spec(&spec, nullptr, false));
    EXPECT_EQ(field(o, "ka").i1(), 1);
    EXPECT_EQ(field(o, "kb").i1(), 1);
    EXPECT_EQ(field(o, "kc").type(), TYPE_NONE);
    EXPECT_EQ(field(o, "kd").type(), TYPE_LOGIC);
    EXPECT_EQ(field(o, "kd").data1, 1u);
    EXPECT_EQ(field(o, "ke").type(), TYPE_NONE);
    EXPECT_EQ(mold(field(o, "kw")), "other");
    Cell only = tv::hold(*object::make_from_spec(&spec, nullptr, true));
    EXPECT_EQ(mold(field(only, "kd")), "yes");
    stack::restore(saved);
}

TEST_F(Objects, SetSpreadsValuesOverFields) {
    auto fresh = [] { return make_object(blk({set_word("f1"), integer(1), set_word("f2"), integer(2), set_word("f3"), integer(3)})); };
    Cell o = fresh();
    Cell two = blk({integer(10), integer(20)});
    object::set_many(&o, &two, false, false, false);
    EXPECT_EQ(mold(o, false, false, true), "make object! [f1: 10 f2: 20 f3: none]");
    o = fresh();
    object::set_many(&o, &two, false, false, true);
    EXPECT_EQ(mold(o, false, false, true), "make object! [f1: 10 f2: 20 f3: 3]");
    o = fresh();
    object::set_many(&o, &two, false, true, false);
    EXPECT_EQ(mold(o, false, false, true), "make object! [f1: [10 20] f2: [10 20] f3: [10 20]]");

    Cell unset;
    set_cell(&unset, TYPE_UNSET);
    Cell with_unset = blk({integer(1), unset});
    Cell e = catch_error([&] { object::set_many(&o, &with_unset, false, false, false); });
    ASSERT_TRUE(is_error(e, err::script::need_value));
    EXPECT_EQ(mold(*error::field(&e, error::FIELD_ARG1)), "f2");
    object::set_many(&o, &with_unset, true, false, false);
    EXPECT_EQ(field(o, "f2").type(), TYPE_UNSET);

    Cell src = make_object(blk({set_word("f3"), integer(33), set_word("zz"), integer(0)}));
    o = fresh();
    object::set_many(&o, &src, false, false, false);
    EXPECT_EQ(mold(o, false, false, true), "make object! [f1: 1 f2: 2 f3: 33]");
}

TEST_F(Objects, OnChangeHearsOldAndNewValues) {
    set("change-handler", change_recorder());
    Cell o = make_object(blk({set_word("ca"), integer(1), set_word("on-change*"), get_word("change-handler")}));
    EXPECT_TRUE(act(ACT_REFLECT, {o, wrd("events?")}).data1);
    calls.clear();
    set("watched", o);
    // Through a path, through a word bound to the object, through put and through set.
    eval(blk({blk({wrd("watched"), wrd("ca")}, TYPE_SET_PATH), integer(2)}));
    Cell w = wrd("ca");
    context::bind_word(o.data1, &w);
    Cell three = integer(3);
    context::set_value(&w, &three);
    act(ACT_PUT, {o, wrd("ca"), integer(4)});
    Cell five = blk({integer(5)});
    object::set_many(&o, &five, false, false, false);
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0], "ca 1 2");
    EXPECT_EQ(calls[1], "ca 2 3");
    EXPECT_EQ(calls[2], "ca 3 4");
    EXPECT_EQ(calls[3], "ca 4 5");
    EXPECT_EQ(field(o, "on-change*").type(), TYPE_FUNCTION);  // set leaves the handler alone

    // Storing without the fire flag is silent.
    calls.clear();
    Cell six = integer(6);
    context::set_in(&w, &six, o.data1, false);
    EXPECT_TRUE(calls.empty());

    // A part of a scalar changed through a path reports the whole new value.
    Cell seven = integer(7);
    object::fire_on_change(&o, &w, w.i3(), &seven);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0], "ca 6 7");
    EXPECT_EQ(field(o, "ca").i1(), 7);
}

TEST_F(Objects, HandlerFieldsMustHoldFunctions) {
    Cell e = catch_error([&] { make_object(blk({set_word("on-change*"), integer(1)})); });
    ASSERT_TRUE(is_error(e, err::script::bad_field_set));
    EXPECT_EQ(mold(*error::field(&e, error::FIELD_ARG1)), "on-change*");
    EXPECT_EQ(mold(*error::field(&e, error::FIELD_ARG2)), "integer!");

    set("change-handler", change_recorder());
    Cell o = make_object(blk({set_word("ha"), integer(1), set_word("on-change*"), get_word("change-handler")}));
    // A handler replaced by a non-function is found out at its next call.
    Cell h = wrd("on-change*"), one = integer(1);
    context::bind_word(o.data1, &h);
    context::set_in(&h, &one, o.data1, false);
    EXPECT_TRUE(is_error(catch_error([&] { act(ACT_PUT, {o, wrd("ha"), integer(2)}); }), err::script::invalid_obj_evt));
}

TEST_F(Objects, PathAccessErrors) {
    Cell o = make_object(blk({set_word("pa"), integer(1)}));
    set("path-obj", o);
    Cell missing = blk({wrd("path-obj"), wrd("nope")}, TYPE_PATH);
    EXPECT_TRUE(is_error(catch_error([&] { eval(blk({missing})); }), err::script::invalid_path));
    Cell deeper = blk({wrd("path-obj"), wrd("nope"), wrd("more")}, TYPE_PATH);
    EXPECT_TRUE(is_error(catch_error([&] { eval(blk({deeper})); }), err::script::unset_path));
    Cell get = missing;
    get.header = TYPE_GET_PATH;
    EXPECT_EQ(eval(blk({get})).type(), TYPE_UNSET);
    Cell by_number = blk({wrd("path-obj"), integer(1)}, TYPE_PATH);
    EXPECT_TRUE(is_error(catch_error([&] { eval(blk({by_number})); }), err::script::invalid_path));
    EXPECT_TRUE(is_error(catch_error([&] { act(ACT_PUT, {o, wrd("nope"), integer(1)}); }), err::script::invalid_path));
    EXPECT_TRUE(is_error(catch_error([&] { act(ACT_PUT, {o, integer(1), integer(1)}); }), err::script::invalid_key_type));
    EXPECT_TRUE(is_error(catch_error([&] { act(ACT_SELECT, {o, integer(1)}); }), err::script::invalid_type));
    EXPECT_EQ(act(ACT_SELECT, {o, lit_word("PA")}).i1(), 1);
    EXPECT_EQ(act(ACT_SELECT, {o, wrd("nope")}).type(), TYPE_NONE);
}

TEST_F(Objects, Reflection) {
    Cell path = blk({wrd("ra"), wrd("rb")}, TYPE_PATH);
    Cell o = make_object(blk({set_word("ra"), lit_word("x"), set_word("rb"), lit_word("rb")}));
    Cell w = wrd("rb");
    context::bind_word(o.data1, &w);
    context::set_in(&w, &path, o.data1, false);
    Cell body = act(ACT_REFLECT, {o, wrd("body")});
    ASSERT_EQ(length(body), 4);
    const char* expected[] = {"ra:", "'x", "rb:", "'ra/rb"};
    for (int i = 0; i < 4; i++) EXPECT_EQ(mold(at(body, i)), expected[i]);
    EXPECT_TRUE(at(body, 0).header & cell_flag::newline);
    EXPECT_TRUE(at(body, 2).header & cell_flag::newline);
    EXPECT_EQ(at(body, 0).data1, o.data1);
    EXPECT_EQ(mold(act(ACT_REFLECT, {o, wrd("words")})), "[ra rb]");
    EXPECT_EQ(mold(act(ACT_REFLECT, {o, wrd("values")})), "[x ra/rb]");
    EXPECT_EQ(mold(act(ACT_REFLECT, {o, wrd("changed")})), "[rb]");
    act(ACT_MODIFY, {o, wrd("changed"), tv::none()});
    EXPECT_EQ(mold(act(ACT_REFLECT, {o, wrd("changed")})), "[]");
    EXPECT_FALSE(act(ACT_REFLECT, {o, wrd("owner")}).data1);
    EXPECT_FALSE(act(ACT_REFLECT, {o, wrd("events?")}).data1);
    EXPECT_TRUE(is_error(catch_error([&] { act(ACT_REFLECT, {o, wrd("spec")}); }), err::internal::not_done));
    EXPECT_TRUE(is_error(catch_error([&] { act(ACT_MODIFY, {o, wrd("changed"), integer(1)}); }), err::script::invalid_arg));
}

TEST_F(Objects, Comparison) {
    Cell a = make_object(blk({set_word("k"), integer(1)}));
    Cell b = make_object(blk({set_word("k"), integer(1)}));
    Cell c = make_object(blk({set_word("k"), integer(2)}));
    Cell d = make_object(blk({set_word("k"), integer(1), set_word("l"), integer(1)}));
    EXPECT_EQ(object::compare(&a, &b, COMP_EQUAL), 0);
    EXPECT_NE(object::compare(&a, &b, COMP_SAME), 0);
    EXPECT_LT(object::compare(&a, &c, COMP_SORT), 0);
    EXPECT_LT(object::compare(&a, &d, COMP_EQUAL), 0);
    EXPECT_EQ(object::compare(&a, &a, COMP_SAME), 0);
    Cell i = integer(1);
    EXPECT_EQ(object::compare(&a, &i, COMP_EQUAL), -2);

    // Objects holding each other: the walk ends.
    Cell x = make_object(blk({set_word("peer"), tv::none()}));
    Cell y = make_object(blk({set_word("peer"), x}));
    Cell pw = wrd("peer");
    context::bind_word(x.data1, &pw);
    context::set_in(&pw, &y, x.data1, false);
    int r = object::compare(&x, &y, COMP_EQUAL);
    EXPECT_TRUE(r == 0 || r == -1 || r == 1);
    EXPECT_EQ(cycles::depth(), 0);
}

TEST_F(Objects, TextForms) {
    EXPECT_EQ(mold(make_object(blk({}))), "make object! []");
    set("change-handler", change_recorder());
    Cell o = make_object(blk({set_word("ta"), integer(1), set_word("tb"), lit_word("w"), set_word("on-change*"),
                              get_word("change-handler")}));
    EXPECT_EQ(mold(o), "make object! [\n    ta: 1\n    tb: 'w\n]");
    EXPECT_EQ(mold(o, false, false, true), "make object! [ta: 1 tb: 'w]");
    EXPECT_EQ(form(o), "ta: 1\ntb: 'w");
    std::string all = mold(o, false, true, true);
    EXPECT_EQ(all.rfind("make object! [ta: 1 tb: 'w on-change*: func [word old new]", 0), 0u) << all;

    Cell inner = make_object(blk({set_word("n"), integer(2)}));
    Cell outer = make_object(blk({set_word("i"), inner}));
    EXPECT_EQ(mold(outer), "make object! [\n    i: make object! [\n        n: 2\n    ]\n]");
    EXPECT_EQ(mold(outer, true), "i: make object! [\n        n: 2\n    ]");

    Cell self_ref = make_object(blk({set_word("me"), tv::none()}));
    Cell me = wrd("me");
    context::bind_word(self_ref.data1, &me);
    context::set_in(&me, &self_ref, self_ref.data1, false);
    EXPECT_EQ(mold(self_ref, false, false, true), "make object! [me: make object! [...]]");
    EXPECT_EQ(form(self_ref), "me: make object! [...]");
}

TEST_F(Objects, OnDeepChangeHearsTheActions) {
    set("deep-handler", deep_recorder());
    Cell o = make_object(blk({set_word("items"), blk({integer(1), integer(2)}), set_word("on-deep-change*"),
                              get_word("deep-handler")}));
    EXPECT_TRUE(act(ACT_REFLECT, {o, wrd("owner")}).data1);
    Cell items = field(o, "items");
    calls.clear();
    Cell three = integer(3);
    EXPECT_TRUE(ownership::check(&items, ownership::APPEND, &three, 2, 1));
    EXPECT_TRUE(ownership::check(&items, ownership::APPENDED, &three, 2, 1));
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0], "make object! [items: [1 2]] items [1 2] append 3 2 1");
    EXPECT_EQ(calls[1], "make object! [items: [1 2]] items [1 2] appended 3 2 1");

    // Without the handler nothing is called.
    act(ACT_MODIFY, {o, wrd("owned"), tv::none()});
    calls.clear();
    EXPECT_FALSE(ownership::check(&items, ownership::REMOVE, nullptr, 0, 1));
    EXPECT_TRUE(calls.empty());
}

}  // namespace
