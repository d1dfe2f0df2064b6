// Small primitives of compiled code: type checks, pattern fill and mold indentation.
#include <gtest/gtest.h>

#include "tests/support/held.h"

#include <cstring>
#include <string>

#include "datatypes/block.h"
#include "datatypes/typeset.h"
#include "runtime/memory.h"
#include "runtime/mold.h"
#include "runtime/switch.h"
#include "runtime/typecheck.h"
#include "tests/support/values.h"

using namespace test_support;

TEST(Primitives, FillPattern) {
    struct {
        const char* seed;
        size_t n, total;
        const char* expected;
    } cases[] = {
        {"abc", 3, 10, "abcabcabca"}, {"ab", 2, 2, "ab"}, {"ab", 2, 1, "ab"}, {"x", 1, 7, "xxxxxxx"}, {"abc", 3, 6, "abcabc"},
    };
    for (auto& c : cases) {
        uint8_t buf[32] = {};
        std::memcpy(buf, c.seed, std::strlen(c.seed));
        uint8_t* end = memory::fill_pattern(buf, c.n, c.total);
        EXPECT_EQ(end, buf + c.total);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(buf)), c.expected);
    }
}

TEST(Primitives, MoldIndent) {
    Cell s = text("");
    EXPECT_EQ(mold::indent(s.node(), 2, 100), 92);
    EXPECT_EQ(mold::indent(s.node(), 0, 100), 100);
    EXPECT_EQ(string::to_utf8(&s), "        ");
}

TEST(Primitives, TypeChecks) {
    Cell numbers;
    typeset::make_at(&numbers, 0, 0, 0);
    tv::hold(numbers);
    typeset::set(&numbers, TYPE_INTEGER);
    typeset::set(&numbers, TYPE_FLOAT);
    Cell one = int_(1), s = text("1"), u = unset_value(), yes = logic_of(true), no = logic_of(false);
    EXPECT_EQ(typecheck::arg(&numbers, 0, &one), &one);
    EXPECT_RAISES(err::script::expect_arg, typecheck::arg(&numbers, 0, &s));
    EXPECT_EQ(typecheck::ref_arg(&no, &numbers, 0, &s), &s);  // refinement not used
    EXPECT_RAISES(err::script::expect_arg, typecheck::ref_arg(&yes, &numbers, 0, &s));
    EXPECT_EQ(typecheck::not_unset(0, &one), &one);
    EXPECT_RAISES(err::script::expect_arg, typecheck::not_unset(0, &u));

    stack::Saved saved = stack::save();
    stack::mark_named(stack::body_symbol, FRAME_NATIVE);
    stack::push(&one);
    stack::push(&s);
    typecheck::opt_arg(-1, &numbers, 0);
    typecheck::opt_arg(0, &numbers, 0);
    EXPECT_RAISES(err::script::expect_arg, typecheck::opt_arg(1, &numbers, 0));
    stack::restore(saved);
}

namespace {

Cell block_of(std::initializer_list<Cell> cells) {
    Cell b;
    block::make_new(&b, 4);
    tv::hold(b);
    for (const Cell& c : cells) block::append_cell(b.node(), &c);
    return b;
}

// Runs switch_::find on a value and a block; answers the pushed cell or the result slot.
Cell switch_find(const Cell& value, const Cell& block, bool every_cell, bool want_block) {
    stack::Saved saved = stack::save();
    stack::mark_named(stack::body_symbol, FRAME_NATIVE);
    stack::push(&value);
    stack::push(&block);
    switch_::find(every_cell, want_block);
    Cell r = every_cell ? *(stack::top - 1) : *stack::arguments;
    stack::restore(saved);
    return r;
}

}  // namespace

TEST(Primitives, SwitchFind) {
    Cell pairs = block_of({int_(1), char_of('a'), int_(2), char_of('b')});
    EXPECT_EQ(switch_find(int_(2), pairs, false, false).i1(), 'b');
    // Values are keys only at the key positions.
    EXPECT_EQ(switch_find(char_of('a'), pairs, false, false).type(), TYPE_NONE);
    EXPECT_EQ(switch_find(char_of('a'), pairs, true, false).i1(), 2);
    // The type must match as well as the value.
    EXPECT_EQ(switch_find(real(2.0), pairs, false, false).type(), TYPE_NONE);
    Cell cases = block_of({int_(1), block_of({int_(10)}), int_(2), char_of('y'), block_of({int_(20)})});
    Cell r = switch_find(int_(2), cases, true, true);
    ASSERT_EQ(r.type(), TYPE_BLOCK);
    EXPECT_EQ(block::rs_head(&r)->i1(), 20);
    EXPECT_EQ(switch_find(int_(3), cases, true, true).type(), TYPE_NONE);
    // A match on the last cell answers the match itself; a block! is never found.
    Cell last = block_of({int_(1), int_(2)});
    EXPECT_EQ(switch_find(int_(2), last, true, false).i1(), 2);
    Cell nested = block_of({block_of({}), int_(1)});
    EXPECT_EQ(switch_find(block_of({}), nested, true, false).type(), TYPE_NONE);
}
