// Running out of the two stacks and of the cycle stack raises an error that leaves the run-time
// usable.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "datatypes/context.h"
#include "datatypes/error.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "runtime/collector.h"
#include "runtime/memory.h"
#include "runtime/platform.h"
#include "runtime/cycles.h"
#include "runtime/fire.h"
#include "runtime/stack.h"
#include "tests/support/values.h"

using namespace test_support;

namespace {

// Runs f under a try frame and, unlike fired(), leaves the stacks as the unwinding left them.
template <class F>
std::optional<ErrorId> caught_in_place(F&& f) {
    stack::mark_named(stack::body_symbol, FRAME_TRY);
    try {
        f();
    } catch (const Throw& t) {
        if (t.code != codes::error) throw;
        runtime::sys.thrown = 0;
        return error::id_of(&stack::pending_error);
    }
    stack::pop_frame();
    return std::nullopt;
}

}  // namespace

TEST(Stack, FrameExhaustionRaisesAndRecovers) {
    stack::Saved saved = stack::save();
    cycles::reset();
    cycles::push(1);  // a mold in progress is abandoned with the overflow
    int pushed = 0;
    auto e = caught_in_place([&] {
        for (;;) {
            stack::mark_named(stack::body_symbol, FRAME_NATIVE);
            pushed++;
        }
    });
    ASSERT_TRUE(e.has_value());
    EXPECT_TRUE(*e == err::internal::stack_overflow);
    // Every frame but the try frame's was used, and the error unwound them all.
    EXPECT_EQ(pushed, stack::kFrames - (saved.ctop - stack::cbottom) - 1);
    EXPECT_EQ(stack::ctop, saved.ctop);
    EXPECT_EQ(cycles::depth(), 0);
    stack::restore(saved);
    // The next call works: a frame, a pushed value, a result.
    stack::mark_named(stack::body_symbol, FRAME_NATIVE);
    Cell v = int_(7);
    stack::push(&v);
    stack::unwind_last();
    EXPECT_EQ(stack::ctop, saved.ctop);
    EXPECT_EQ(stack::arguments->i1(), 7);
    stack::restore(saved);
    EXPECT_EQ(act(ACT_ADD, {int_(1), int_(2)}).i1(), 3);
}

TEST(Stack, DataExhaustionMakesRoomForTheError) {
    stack::Saved saved = stack::save();
    auto e = caught_in_place([] {
        stack::top = stack::end - 1;
        stack::push_cell();
    });
    ASSERT_TRUE(e.has_value());
    EXPECT_TRUE(*e == err::internal::stack_overflow);
    // The top went down by 4 cells, one of which now holds the error.
    EXPECT_EQ(stack::top, stack::end - 4);
    stack::restore(saved);
    stack::top = stack::end - 2;
    EXPECT_NE(stack::push_cell(), nullptr);  // the cell before the last is still usable
    stack::restore(saved);
}

TEST(Stack, PopClampsAtTheBottom) {
    stack::Saved saved = stack::save();
    stack::top = stack::bottom + 3;
    stack::pop(10);
    EXPECT_EQ(stack::top, stack::bottom);
    stack::restore(saved);
}

TEST(Cycles, NineHundredNinetyNineLevels) {
    cycles::reset();
    for (Node n = 1; n <= 999; n++) cycles::push(n);
    EXPECT_EQ(cycles::depth(), 999);
    EXPECT_TRUE(cycles::find_q(999));
    EXPECT_RAISES(err::internal::too_deep, cycles::push(1000));
    EXPECT_EQ(cycles::depth(), 0);
    cycles::pop();
    EXPECT_EQ(cycles::depth(), 0);
    cycles::push(5);
    cycles::pop_n(3);
    EXPECT_EQ(cycles::depth(), 0);
}

TEST(Cycles, NativeStackRunningOutIsStackOverflow) {
    // On a small native stack the walk runs out of it long before 999 levels: the push that
    // finds the stack short raises stack-overflow and empties the cycle stack, as too-deep does.
    cycles::reset();
    for (Node n = 1; n <= 10; n++) cycles::push(n);
    const char* saved = platform::stack_limit;
    platform::stack_limit = static_cast<const char*>(__builtin_frame_address(0)) + 4096;
    auto e = raised([] { cycles::push(11); });
    platform::stack_limit = saved;
    ASSERT_TRUE(e.has_value());
    EXPECT_TRUE(e->id == err::internal::stack_overflow);
    EXPECT_EQ(cycles::depth(), 0);
    cycles::push(1);
    EXPECT_EQ(cycles::depth(), 1);
    cycles::reset();
}

TEST(Stack, ErrorWithoutTryFrameEndsTheRun) {
    // Frames are running but none of them is a try frame: the error is printed and the run ends
    // with status -2, as at the outermost level.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        dup2(fds[1], 1);
        dup2(fds[1], 2);
        stack::mark_named(stack::body_symbol, FRAME_NATIVE);
        stack::mark_named(stack::body_symbol, FRAME_LOOP);
        try {
            fire(err::math::zero_divide);
        } catch (...) {
            _exit(99);
        }
        _exit(98);
    }
    close(fds[1]);
    std::string out;
    char buf[256];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) out.append(buf, size_t(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 254);
    EXPECT_NE(out.find("attempt to divide by zero"), std::string::npos) << out;
}

// An error's trace is formed after the unwinding, from the frame records above the top that the
// error's stack field reaches. Records whose context was collected (its node freed, or reused for
// another series) or that hold no symbol are skipped, not read.
TEST(Stack, TraceSkipsFramesLeftWithoutTheirContext) {
    Cell err;
    set_cell(&err, TYPE_NONE);
    collector::Root keep(&err);
    error::create(&err, err::math::zero_divide);
    Node freed = memory::alloc_node();
    memory::free_node(freed);
    Node reused = string::make_node(16);
    collector::NodeRoot keep_reused(&reused);
    uint32_t named = static_cast<uint32_t>(symbol::make("stale-call"));
    auto formed_trace = [&](int level, int extra) {
        set_cell(error::field(&err, error::FIELD_STACK), TYPE_INTEGER, static_cast<uint32_t>(stack::ctop - stack::cbottom + extra));
        Cell out;
        string::make_at(&out, string::make_node(64));
        collector::Root keep_out(&out);
        stack::form_trace(level, &err, out.node(), 1000);
        return string::to_utf8(&out);
    };
    std::string live1 = formed_trace(1, 0), live2 = formed_trace(2, 0);
    Frame* above = stack::ctop;
    above[0] = Frame{FRAME_INTERP_FUNC, named, 0, freed, 0, 0};
    above[1] = Frame{FRAME_INTERP_FUNC, named, 0, reused, 0, 0};
    above[2] = Frame{FRAME_INTERP_FUNC, 0x7FFFFFF0u, 0, context::global_node, 0, 0};
    above[3] = Frame{FRAME_INTERP_FUNC, 0, 0, 0, 0, 0};
    EXPECT_EQ(formed_trace(1, 4), live1);
    EXPECT_EQ(formed_trace(2, 4), live2);
    // A record whose context is alive still counts.
    above[0] = Frame{FRAME_INTERP_FUNC, named, 0, context::global_node, 0, 0};
    EXPECT_EQ(formed_trace(2, 4), live2 + "stale-call ");
    std::fill(above, above + 4, Frame{});
}
