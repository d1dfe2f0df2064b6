// The run-time's own machinery: the tracked heap list, native catch frames and their thresholds,
// the one exit path with its report, and faults that end the process with that report.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "runtime/platform.h"
#include "runtime/print.h"
#include "runtime/runtime.h"
#include "tests/support/child.h"
#include "tests/support/kel_eval.h"

using test_support::ChildResult;
using test_support::in_child;

namespace {

HeapBlock* header(void* p) { return static_cast<HeapBlock*>(p) - 1; }

bool listed(void* p) {
    for (HeapBlock* b = runtime::sys.heap_first; b; b = b->next)
        if (b == header(p)) return true;
    return false;
}

// The list read forwards and backwards must agree, and end where first and last say.
bool list_consistent() {
    std::vector<HeapBlock*> forward, backward;
    for (HeapBlock* b = runtime::sys.heap_first; b; b = b->next) forward.push_back(b);
    for (HeapBlock* b = runtime::sys.heap_last; b; b = b->prev) backward.insert(backward.begin(), b);
    return forward == backward && forward.size() == runtime::heap_count();
}

}  // namespace

TEST(HeapBlocks, AllocationAppendsAndFreeUnlinks) {
    size_t count = runtime::heap_count();
    std::vector<void*> blocks;
    for (size_t n : {1, 16, 100, 4096}) {
        void* p = runtime::allocate(n);
        EXPECT_EQ(runtime::sys.heap_last, header(p));  // in order of allocation
        EXPECT_EQ(header(p)->size, n);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u);
        blocks.push_back(p);
    }
    auto* zeroed = static_cast<unsigned char*>(runtime::allocate_zeroed(64));
    for (int i = 0; i < 64; i++) EXPECT_EQ(zeroed[i], 0);
    EXPECT_EQ(runtime::heap_count(), count + 5);
    EXPECT_TRUE(list_consistent());
    // Unlinking from the middle, the end and again the new end.
    runtime::free(blocks[1]);
    runtime::free(zeroed);
    EXPECT_EQ(runtime::sys.heap_last, header(blocks[3]));
    runtime::free(blocks[3]);
    EXPECT_EQ(runtime::sys.heap_last, header(blocks[2]));
    EXPECT_TRUE(list_consistent());
    // A second free of the same address, a null and an address never allocated do nothing.
    size_t before = runtime::heap_count();
    runtime::free(blocks[1]);
    runtime::free(nullptr);
    alignas(16) char foreign[64] = {};
    runtime::free(foreign + 32);
    EXPECT_EQ(runtime::heap_count(), before);
    EXPECT_TRUE(list_consistent());
    runtime::free(blocks[0]);
    runtime::free(blocks[2]);
    EXPECT_EQ(runtime::heap_count(), count);
}

TEST(HeapBlocks, Resize) {
    size_t count = runtime::heap_count();
    // A null address allocates; size 0 frees and answers null.
    void* p = runtime::resize(nullptr, 24);
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(listed(p));
    EXPECT_EQ(runtime::heap_count(), count + 1);
    std::memcpy(p, "twenty-four bytes here!", 24);
    void* q = runtime::allocate(8);
    // Growing a block in the middle of the list far enough to move it keeps its bytes and its
    // place between its neighbours.
    HeapBlock* prev = header(p)->prev;
    void* grown = runtime::resize(p, 1 << 20);
    EXPECT_EQ(std::memcmp(grown, "twenty-four bytes here!", 24), 0);
    EXPECT_EQ(header(grown)->size, size_t(1) << 20);
    EXPECT_EQ(header(grown)->prev, prev);
    EXPECT_EQ(header(grown)->next, header(q));
    EXPECT_EQ(header(q)->prev, header(grown));
    EXPECT_TRUE(list_consistent());
    // The last block resized stays last.
    void* q2 = runtime::resize(q, 1 << 16);
    EXPECT_EQ(runtime::sys.heap_last, header(q2));
    EXPECT_EQ(runtime::resize(q2, 0), nullptr);
    EXPECT_FALSE(listed(q2));
    EXPECT_EQ(runtime::resize(grown, 0), nullptr);
    EXPECT_EQ(runtime::heap_count(), count);
    EXPECT_TRUE(list_consistent());
}

TEST(HeapBlocks, FreeAllEmptiesTheListAndTheDumpShowsIt) {
    // Freeing everything ends the run-time's use of the heap: done in a child.
    ChildResult r = in_child([] {
        runtime::free_all();
        print_line({Typed::logic(runtime::sys.heap_first == nullptr && runtime::sys.heap_last == nullptr &&
                                 runtime::heap_count() == 0)});
        runtime::dump_heap();
        // The only block of the list is first and last, also after it moved.
        void* p = runtime::allocate(10);
        p = runtime::resize(p, 1 << 20);
        print_line({Typed::logic(runtime::sys.heap_first == header(p) && runtime::sys.heap_last == header(p))});
        runtime::allocate(100);
        p = runtime::resize(p, 10);
        runtime::dump_heap();
        runtime::quit(0);
    });
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0);
    std::string real10 = std::to_string(10 + sizeof(HeapBlock)), real100 = std::to_string(100 + sizeof(HeapBlock));
    std::string sum = std::to_string(110 + 2 * sizeof(HeapBlock));
    EXPECT_EQ(r.out,
              "true\n-- Heap-allocations --\nAsked   Real\n-- Sum: 0 --\ntrue\n"
              "-- Heap-allocations --\nAsked   Real\n10\t" + real10 + "\n100\t" + real100 + "\n-- Sum: " + sum + " --\n");
}

// A catch frame takes every code up to its threshold, compared unsigned, and lets the others pass
// to the frame around it.
TEST(CatchFrames, Thresholds) {
    struct Case {
        uint32_t threshold, code;
        bool taken;
    };
    const Case cases[] = {
        {codes::ret, codes::ret, true},       {codes::ret, codes::exit, true},   {codes::ret, codes::throw_, true},
        {codes::ret, codes::vm_alloc, true},  {codes::ret, codes::cont, false},  {codes::ret, codes::brk, false},
        {codes::ret, codes::error, false},    {0x7FFFFFF8, codes::vm_alloc, true}, {0x7FFFFFF8, codes::vm_free, true},
        {0x7FFFFFF8, codes::throw_, false},   {codes::error, codes::error, true}, {codes::error, codes::normal_end, true},
        {codes::all, codes::normal_end, true}, {codes::all, 0xFFFFFFFF, true},   {codes::error, 0x80000000, false},
        {0, 1, false},
    };
    for (const Case& c : cases) {
        uint32_t inner = 0, outer = catch_frame(codes::all, [&] {
            inner = catch_frame(c.threshold, [&] { runtime::throw_code(c.code); });
        });
        if (c.taken) {
            EXPECT_EQ(inner, c.code) << std::hex << c.threshold << " " << c.code;
            EXPECT_EQ(outer, 0u);
        } else {
            EXPECT_EQ(outer, c.code) << std::hex << c.threshold << " " << c.code;
        }
        runtime::sys.thrown = 0;
    }
}

TEST(CatchFrames, ResumeAfterTheProtectedCallWithTheCodePending) {
    // A frame without a handler continues right after the call in progress; the catcher finds
    // the code in the system record and clears it itself.
    std::vector<int> steps;
    uint32_t code = catch_frame(codes::error, [&] {
        steps.push_back(1);
        catch_frame(codes::ret, [&] {
            steps.push_back(2);
            runtime::sys.thrown = codes::brk;
            runtime::throw_();
        });
        steps.push_back(3);  // not reached: break is above the inner threshold
    });
    steps.push_back(4);
    EXPECT_EQ(steps, (std::vector<int>{1, 2, 4}));
    EXPECT_EQ(code, codes::brk);
    EXPECT_EQ(runtime::sys.thrown, codes::brk);
    runtime::sys.thrown = 0;
    // A protected call that returns normally answers 0 and leaves the record alone.
    EXPECT_EQ(catch_frame(codes::all, [] {}), 0u);
    EXPECT_EQ(runtime::sys.thrown, 0u);
}

TEST(ProcessExit, Reports) {
    EXPECT_STREQ(runtime::error_text(1), "access violation");
    EXPECT_STREQ(runtime::error_text(34), "Bus error");
    EXPECT_STREQ(runtime::error_text(101), "no value matched in SWITCH");
    for (int code : {0, 35, 93, 96, 97, 102, 200, -2}) EXPECT_STREQ(runtime::error_text(code), "unknown error code!") << code;

    auto at = reinterpret_cast<const void*>(uintptr_t(0x12AB34CD));
    struct Case {
        int code;
        int status;
        const char* out;
    };
    const Case cases[] = {
        {0, 0, ""},
        {200, 200, "\n*** Runtime Error 200: unknown error code!\n*** at: 12AB34CDh\n"},
        {13, 13, "\n*** Runtime Error 13: integer divide by zero\n*** at: 12AB34CDh\n"},
        {94, 94, "\n*** Runtime Error 94: out of memory\n*** at: 12AB34CDh\n"},
        {-2, 254, "\n*** Runtime Error -2: unknown error code!\n*** at: 12AB34CDh\n"},  // 8-bit statuses
    };
    for (const Case& c : cases) {
        ChildResult r = in_child([&] { runtime::quit(c.code, at); });
        EXPECT_TRUE(r.exited);
        EXPECT_EQ(r.status, c.status) << c.code;
        EXPECT_EQ(r.out, c.out) << c.code;
    }
    // Output still in the buffer goes out before the report.
    ChildResult r = in_child([&] {
        output::write_text("pending");
        runtime::quit(1, at);
    });
    EXPECT_EQ(r.out, "pending\n*** Runtime Error 1: access violation\n*** at: 12AB34CDh\n");
    // The language's own exits end silently with their 8-bit status.
    r = in_child([] { runtime::exit_with(-2); });
    EXPECT_EQ(r.status, 254);
    EXPECT_EQ(r.out, "");
}

TEST(ProcessExit, OutermostCatchFrame) {
    ChildResult r = in_child([] { runtime::top_catch(codes::normal_end); });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    r = in_child([] { runtime::top_catch(codes::throw_); });
    EXPECT_EQ(r.status, 95);
    EXPECT_EQ(r.out.rfind("\n*** Runtime Error 95: no CATCH for THROW\n*** at: ", 0), 0u) << r.out;
}

#ifndef KEL_SANITIZE
namespace {

// Answers the code address in the report ("*** at: XXXXXXXXh"), or ~0 when there is none.
uint32_t reported_address(const std::string& out) {
    size_t at = out.find("*** at: ");
    if (at == std::string::npos || out.size() < at + 17 || out[at + 16] != 'h') return ~0u;
    return static_cast<uint32_t>(std::stoul(out.substr(at + 8, 8), nullptr, 16));
}

// Whether an address lies within the first 4 KiB of a function's code.
bool inside(uint32_t address, const void* fn) {
    return address - static_cast<uint32_t>(reinterpret_cast<uintptr_t>(fn)) < 4096;
}

volatile int sink = 0;
int* volatile null_pointer = nullptr;
volatile int zero = 0;
volatile bool stop_recursion = false;

__attribute__((noinline)) void write_through_null() { *null_pointer = 1; }

__attribute__((noinline)) void divide_by_zero() { sink = sink / zero; }

__attribute__((noinline)) int recurse(int depth) {
    volatile char pad[512];
    pad[0] = static_cast<char>(depth);
    if (stop_recursion) return pad[0];
    return recurse(depth + 1) + pad[0];
}

int recurse_on_thread(void*) { return recurse(0); }

}  // namespace

// Processor faults end the process with the run-time error report, the faulting instruction's
// address and the error's code as the exit status. (The sanitizers take these signals in their
// build.)
TEST(Faults, NullWriteDivisionByZeroAndNativeStackOverflow) {
    ChildResult r = in_child(write_through_null);
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out.rfind("\n*** Runtime Error 1: access violation\n*** at: ", 0), 0u) << r.out;
    EXPECT_TRUE(inside(reported_address(r.out), reinterpret_cast<const void*>(write_through_null))) << r.out;

    r = in_child(divide_by_zero);
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.status, 13);
    EXPECT_EQ(r.out.rfind("\n*** Runtime Error 13: integer divide by zero\n*** at: ", 0), 0u) << r.out;
    EXPECT_TRUE(inside(reported_address(r.out), reinterpret_cast<const void*>(divide_by_zero))) << r.out;

    // Unbounded native recursion on a thread of 2 MiB: the overflow is reported, not a crash.
    r = in_child([] { platform::run_on_thread(recurse_on_thread, nullptr, size_t(2) << 20); });
    EXPECT_TRUE(r.exited) << "signal " << r.signal;
    EXPECT_EQ(r.status, 19);
    EXPECT_EQ(r.out.rfind("\n*** Runtime Error 19: stack error or overflow\n*** at: ", 0), 0u) << r.out;
}
#endif

namespace {

int deep_kel_recursion(void*) {
    kel_test::Outcome o = kel_test::run("deep: func [n] [1 + deep n + 1] deep 1");
    print_line({Typed::text(o.text.c_str())});
    o = kel_test::run("1 + 2");
    print_line({Typed::text(o.text.c_str())});
    return 0;
}

}  // namespace

// On a small native stack, script recursion meets the stack's depth guard before the frame
// stack runs out: a language error the next evaluation survives, not a fault.
TEST(Faults, ScriptRecursionStopsAtTheNativeStackGuard) {
    kel_test::boot();
    ChildResult r = in_child([] {
        platform::run_on_thread(deep_kel_recursion, nullptr, size_t(2) << 20);
        runtime::quit(0);
    });
    EXPECT_TRUE(r.exited) << "signal " << r.signal;
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "internal/stack-overflow\n3\n");
}
