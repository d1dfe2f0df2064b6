// The typed fast paths of compiled code: integer and float pairs answered at once, other pairs
// through the generic actions, results pushed or stored where each variant says.
#include <gtest/gtest.h>

#include "tests/support/held.h"

#include <cmath>

#include "datatypes/block.h"
#include "tests/support/values.h"

using namespace test_support;

namespace {

// Runs f inside a frame and answers the cell it left on top of the stack.
template <class F>
Cell pushed_by(F&& f) {
    stack::Saved saved = stack::save();
    stack::mark_named(stack::body_symbol, FRAME_NATIVE);
    Cell* before = stack::top;
    f();
    EXPECT_EQ(stack::top, before + 1);
    Cell r = *(stack::top - 1);
    stack::restore(saved);
    return r;
}

}  // namespace

TEST(FastPaths, Math) {
    struct {
        int op;
        Cell a, b;
        uint8_t type;
        double value;
    } cases[] = {
        {OP_ADD, int_(1), int_(2), TYPE_INTEGER, 3},
        {OP_ADD, int_(2147483647), int_(1), TYPE_FLOAT, 2147483648.0},
        {OP_SUB, int_(-2147483648), int_(1), TYPE_FLOAT, -2147483649.0},
        {OP_MUL, int_(65536), int_(65536), TYPE_FLOAT, 4294967296.0},
        {OP_OR, int_(12), int_(3), TYPE_INTEGER, 15},
        {OP_AND, int_(12), int_(4), TYPE_INTEGER, 4},
        {OP_XOR, int_(12), int_(4), TYPE_INTEGER, 8},
        {OP_ADD, real(1.5), real(2.25), TYPE_FLOAT, 3.75},
        {OP_MUL, real(1.5), real(2.0), TYPE_FLOAT, 3.0},
        // Mixed pairs take the generic action.
        {OP_ADD, int_(1), real(1.5), TYPE_FLOAT, 2.5},
        {OP_SUB, time_of(10.0), int_(4), TYPE_TIME, 6.0},
        {OP_ADD, char_of('a'), int_(1), TYPE_CHAR, 'b'},
    };
    for (auto& c : cases) {
        Cell r = pushed_by([&] { actions::math_fast(c.op, nullptr, &c.a, &c.b); });
        ASSERT_EQ(r.type(), c.type) << describe(c.a) << " op " << c.op << " " << describe(c.b);
        double got = (r.type() == TYPE_INTEGER || r.type() == TYPE_CHAR) ? double(r.i1()) : r.f();
        EXPECT_EQ(got, c.value) << describe(c.a) << " op " << c.op << " " << describe(c.b);
    }
    EXPECT_EQ(pushed_by([] {
                  Cell a = int_(40);
                  actions::math_fast_int(OP_ADD, nullptr, &a, 2);
              }).i1(),
              42);
    // The -top variants replace the top cell.
    Cell r = pushed_by([] {
        Cell a = int_(5), b = real(0.5);
        stack::push(&a);
        actions::math_fast_top(OP_MUL, nullptr, &b);
        stack::push(&a);
        actions::math_fast_top_int(OP_SUB, nullptr, 6);
        Cell last = *(stack::top - 1);
        stack::pop(2);
        stack::push(&last);
    });
    EXPECT_EQ(r.i1(), -1);
    Cell a = int_(1), s = text("x");
    EXPECT_RAISES(err::script::invalid_type, actions::math_fast(OP_ADD, nullptr, &a, &s));
}

TEST(FastPaths, Compare) {
    struct {
        int op;
        Cell a, b;
        bool expected;
    } cases[] = {
        {COMP_LESSER, int_(1), int_(2), true},
        {COMP_GREATER_EQUAL, int_(1), int_(2), false},
        {COMP_EQUAL, real(0.1 + 0.2), real(0.3), true},
        {COMP_STRICT_EQUAL, real(0.1 + 0.2), real(0.3), false},
        {COMP_LESSER, real(NAN), real(1.0), false},
        {COMP_EQUAL, int_(1), real(1.0), true},
        {COMP_NOT_EQUAL, char_of('a'), int_(97), false},
    };
    for (auto& c : cases) {
        Cell r = pushed_by([&] { actions::compare_fast(c.op, nullptr, &c.a, &c.b); });
        ASSERT_EQ(r.type(), TYPE_LOGIC);
        EXPECT_EQ(r.data1 != 0, c.expected) << describe(c.a) << " op " << c.op << " " << describe(c.b);
        EXPECT_EQ(actions::compare_fast_test(c.op, nullptr, &c.a, &c.b, false), c.expected);
        EXPECT_EQ(actions::compare_fast_test(c.op, nullptr, &c.a, &c.b, true), !c.expected);
    }
    Cell three = int_(3);
    EXPECT_TRUE(actions::compare_fast_test_int(COMP_GREATER, nullptr, &three, 2, false));
    // cond stores its answer in the result slot.
    stack::Saved saved = stack::save();
    stack::mark_named(stack::body_symbol, FRAME_NATIVE);
    stack::keep();
    EXPECT_TRUE(actions::compare_fast_cond_int(COMP_EQUAL, nullptr, &three, 3));
    EXPECT_EQ(stack::arguments->type(), TYPE_LOGIC);
    EXPECT_EQ(stack::arguments->data1, 1u);
    stack::push(&three);
    actions::compare_fast_top_int(COMP_LESSER, nullptr, 2);
    EXPECT_EQ((stack::top - 1)->type(), TYPE_LOGIC);
    EXPECT_EQ((stack::top - 1)->data1, 0u);
    stack::restore(saved);
    Cell s = text("x");
    EXPECT_RAISES(err::script::invalid_compare, actions::compare_fast(COMP_LESSER, nullptr, &three, &s));
}

TEST(FastPaths, PickAndNavigation) {
    Cell b;
    block::make_new(&b, 4);
    tv::hold(b);
    for (int i = 1; i <= 3; i++) {
        Cell v = int_(i * 10);
        block::append_cell(b.node(), &v);
    }
    struct {
        int32_t index;
        uint8_t type;
        int32_t value;
    } picks[] = {{0, TYPE_NONE, 0}, {1, TYPE_INTEGER, 10}, {3, TYPE_INTEGER, 30}, {4, TYPE_NONE, 0}, {-1, TYPE_NONE, 0}};
    for (auto& p : picks) {
        Cell r = pushed_by([&] { actions::pick_fast(&b, p.index, nullptr); });
        ASSERT_EQ(r.type(), p.type) << p.index;
        if (p.type == TYPE_INTEGER) {
            EXPECT_EQ(r.i1(), p.value);
        }
    }
    // Other types go through path access.
    Cell t = time_of(3723.0);
    EXPECT_EQ(pushed_by([&] { actions::pick_fast(&t, 2, nullptr); }).i1(), 2);

    Cell at_tail = b;
    at_tail.set_index(3);
    struct {
        const Cell* v;
        int code;
        int32_t expected;  // integer, truth, or the new index
    } nav[] = {
        {&b, 1, 3}, {&at_tail, 1, 0}, {&b, 2, 1}, {&at_tail, 2, 4}, {&b, 3, 1}, {&at_tail, 3, 0}, {&b, 4, 0},
        {&at_tail, 4, 1}, {&b, 5, 1}, {&at_tail, 5, 3}, {&b, 6, 0}, {&at_tail, 6, 2}, {&at_tail, 7, 0}, {&b, 8, 3},
    };
    for (auto& n : nav) {
        Cell r = pushed_by([&] { actions::series_fast(n.v, n.code, nullptr); });
        int32_t got = r.type() == TYPE_BLOCK ? r.index() : r.type() == TYPE_LOGIC ? int32_t(r.data1) : r.i1();
        EXPECT_EQ(got, n.expected) << "index " << n.v->index() << " code " << n.code;
    }
}
