// The natives table, the spec blocks of the boot data and the checks of callers that pass the
// check flag.
#include <gtest/gtest.h>

#include "datatypes/block.h"
#include "datatypes/word.h"
#include "evaluator/actions.h"
#include "evaluator/natives.h"
#include "loading/lexer.h"
#include "runtime/stack.h"
#include "tests/support/kel_cases.h"

using kel_test::eval;

TEST(NativesTable, InstalledInOrder) {
    kel_test::boot();
    EXPECT_EQ(natives::counter, natives::kCount + 1);
    for (int i = 0; i < natives::kCount; i++) EXPECT_NE(natives::table[i], nullptr) << i;
    for (int i = natives::kCount; i < natives::kSlots; i++) EXPECT_EQ(natives::table[i], nullptr) << i;
    // A few numbers other data depend on (serialised native! values carry them).
    struct Entry {
        const char* word;
        int n;
    };
    for (Entry e : {Entry{"if", 1}, {"do", 20}, {"parse", 40}, {"to-hex", 54}, {"try", 70}, {"catch", 82},
                    {"now", 96}, {"call", 99}, {"transcode", 106}, {"apply", 107}}) {
        Cell w;
        word::load(&w, e.word);
        const Cell* v = word::peek(&w);
        ASSERT_NE(v, nullptr) << e.word;
        EXPECT_EQ(v->type(), TYPE_NATIVE) << e.word;
        EXPECT_EQ(static_cast<int>(v->data1), e.n) << e.word;
    }
    EXPECT_EQ(eval("type? :make"), "action!");
    EXPECT_EQ(eval("type? :write"), "action!");
}

// Every action word's spec has the refinements the action entry passes integers for, so that
// the interpreter's refinement positions line up with the datatype implementations.
TEST(NativesTable, ActionSpecsMatchTheEntries) {
    Cell* code = stack::push_cell();
    lexer::load(code, natives::boot_source());
    Cell* actions_block = nullptr;
    for (int32_t i = 0; i + 1 < block::rs_length_q(code); i++) {
        Cell* c = block::rs_head(code) + i;
        if (c->type() == TYPE_SET_WORD && std::string(symbol::text(c->data2)) == "actions") actions_block = c + 1;
    }
    ASSERT_NE(actions_block, nullptr);
    int32_t n = block::rs_length_q(actions_block);
    ASSERT_EQ(n, 2 * kActionCount);
    for (int32_t a = 0; a < kActionCount; a++) {
        const Cell* spec = block::rs_head(actions_block) + 2 * a + 1;
        ASSERT_EQ(spec->type(), TYPE_BLOCK);
        int refinements = 0;
        for (int32_t i = 0; i < block::rs_length_q(spec); i++)
            if (block::rs_head(spec)[i].type() == TYPE_REFINEMENT) refinements++;
        EXPECT_EQ(refinements, actions::refinement_count[a])
            << std::string(symbol::text(block::rs_head(actions_block)[2 * a].data2));
    }
    stack::top = code;
}

// Called with the check flag set (as compiled code calls), a native tests its own arguments.
TEST(NativesTable, CheckFlagTestsArguments) {
    kel_test::boot();
    stack::Saved saved = stack::save();
    static const int32_t sym = symbol::make("test");
    stack::mark(sym, context::global_node, FRAME_TRY);
    stack::mark(sym, context::global_node, FRAME_NATIVE);
    set_cell(stack::push_cell(), TYPE_INTEGER, 1);
    set_cell(stack::push_cell(), TYPE_INTEGER, 2);  // if: then-blk must be a block!
    int32_t none[1] = {-1};
    bool raised = false;
    try {
        natives::table[0](1, none);
    } catch (const Throw& t) {
        raised = t.code == codes::error;
        EXPECT_EQ(stack::top_cell()->type(), TYPE_ERROR);
        Cell* e = stack::top_cell();
        EXPECT_EQ(std::string(symbol::text(error::get_id(e))), "expect-arg");
    }
    EXPECT_TRUE(raised);
    runtime::sys.thrown = 0;
    stack::restore(saved);

    // A refinement argument is checked only when its refinement is present.
    stack::mark(sym, context::global_node, FRAME_TRY);
    stack::mark(sym, context::global_node, FRAME_NATIVE);
    set_cell(stack::push_cell(), TYPE_INTEGER, 255);
    set_cell(stack::push_cell(), TYPE_NONE);  // to-hex/size length must be an integer!
    int32_t absent[1] = {-1};
    natives::table[53](1, absent);
    int32_t present[1] = {1};
    set_cell(stack::arguments, TYPE_INTEGER, 255);
    set_cell(stack::arguments + 1, TYPE_NONE);
    stack::top = stack::arguments + 2;
    raised = false;
    try {
        natives::table[53](1, present);
    } catch (const Throw& t) {
        raised = t.code == codes::error;
    }
    EXPECT_TRUE(raised);
    runtime::sys.thrown = 0;
    stack::restore(saved);
}

// Under a caller without an interpreted frame (compiled code), do and try leave a loop exit
// pending in the system record instead of throwing it through the caller.
TEST(NativesTable, ExitsPendingForCompiledCallers) {
    kel_test::boot();
    static const int32_t sym = symbol::make("test");
    for (int n : {20, 70}) {  // do, try
        stack::Saved saved = stack::save();
        stack::mark(sym, context::global_node, FRAME_LOOP);
        stack::mark(sym, context::global_node, FRAME_NATIVE);
        Cell* code = stack::push_cell();
        lexer::load(code, "break/return 3");
        int32_t refs[4] = {-1, -1, -1, -1};
        runtime::sys.thrown = 0;
        bool thrown = false;
        try {
            natives::table[n - 1](0, refs);
        } catch (const Throw&) {
            thrown = true;
        }
        EXPECT_FALSE(thrown) << n;
        EXPECT_EQ(runtime::sys.thrown, codes::brk) << n;
        EXPECT_EQ((stack::ctop - 1)->kind(), 8u) << n;
        EXPECT_EQ(stack::arguments->i1(), 3) << n;
        runtime::sys.thrown = 0;
        stack::restore(saved);
    }
}
