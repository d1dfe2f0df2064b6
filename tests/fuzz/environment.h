// The whole environment as a libFuzzer target sees it, shared by the targets that run script code.
// A language error (or any other throw) is the only acceptable way for an input to fail; crashes,
// hangs and sanitizer reports are faults.
//
// The environment is built once. Words that reach the outside world (files, processes, the
// terminal, the process's own state) are rebound before any input runs to a function that raises
// an error, and the global words are put back after each input so that one input cannot change
// what the next one sees. Each input runs on a thread with the interpreter's large stack, under a
// CPU-time budget: when it runs out, the interpreter's stack guard is made to trip, so the next
// expression raises an error instead of the loop running on.
//
// A target's setup code defines fuzz-one, which the target calls with each input, and may define
// checks of its own: when a check sets fault to a string, the string is printed and the run
// aborts, so libFuzzer keeps the input. The setup code runs as the body of an object that no
// global word names afterwards, so that code an input runs cannot set fault by name.
#pragma once

#include <sys/time.h>
#include <unistd.h>

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "boot/boot.h"
#include "datatypes/binary.h"
#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "evaluator/interpreter.h"
#include "loading/lexer.h"
#include "runtime/collector.h"
#include "runtime/init.h"
#include "runtime/memory.h"
#include "runtime/output.h"
#include "runtime/platform.h"
#include "runtime/root.h"
#include "runtime/runtime.h"
#include "runtime/stack.h"
#include "runtime/unicode.h"

namespace fuzz_env {

// Words that read or change files, the terminal, other processes or the process's own state.
// Loading and saving stay: they reach files only through read and write.
inline const char* const kRefuse = R"(
    fuzz-refused: func [] [do make error! "refused by the fuzzer"]
    foreach w [
        quit q quit-return halt exit-console
        write write-clipboard delete delete-dir make-dir rename create open close update
        modify change-dir cd set-current-dir set-env call wait browse launch run
        ask input read-clipboard read-thru load-thru do-thru read do-file
        view unview show do-events
        ls ll list-dir
    ][
        if value? w [set w :fuzz-refused]
    ]
)";

// Global values as they were before the first input.
inline Node snapshot = 0;
inline int32_t snapshot_count = 0;
inline const char* setup_code = "";
// The object of the setup code, whose field fault reports a failed check.
inline Node checks = 0;

// The CPU-time budget of one input. The stack guard reads stack_limit before every expression:
// a limit above every frame makes each further step raise stack-overflow.
inline long budget_microseconds = 300000;
inline const char* saved_limit = nullptr;
inline volatile sig_atomic_t expired = 0;

inline void on_budget(int) {
    expired = 1;
    platform::stack_limit = reinterpret_cast<const char*>(~uintptr_t(0));
}

inline void arm(bool on) {
    itimerval t{};
    t.it_value.tv_sec = on ? budget_microseconds / 1000000 : 0;
    t.it_value.tv_usec = on ? budget_microseconds % 1000000 : 0;
    setitimer(ITIMER_VIRTUAL, &t, nullptr);
}

inline void quiet(const Cell*, bool) {}
inline void quiet_text(const char*, size_t, int) {}

// Runs f under a try frame that takes every throw; the stacks are put back afterwards.
template <class F>
void guarded(F&& f) {
    stack::Saved saved = stack::save();
    stack::mark_named(stack::body_symbol, FRAME_TRY);
    try {
        f();
    } catch (const Throw&) {
    }
    stack::restore(saved);
}

inline void restore_globals() {
    int32_t n = context::count(context::global_node);
    Cell* values = context::values(context::global_node);
    const Cell* kept = block::node_cell(snapshot, 0);
    for (int32_t i = 0; i < n; i++) {
        if (i < snapshot_count)
            values[i] = kept[i];
        else
            set_cell(values + i, TYPE_UNSET);
    }
}

// Evaluates Kel source text in the global context.
inline void run_source(std::string_view text) {
    Cell code;
    lexer::load(&code, text);
    collector::Root keep(&code);
    interpreter::eval_block(&code, true);
}

inline int boot_thread(void*) {
    runtime::init();
    collector::enabled = true;
    output::remove_hooks(output::print_string, nullptr);
    output::add_hooks(quiet, quiet_text);
    boot::build_environment();
    guarded([] { run_source(kRefuse); });
    std::string setup = std::string("fuzz-checks: context [fault: none fuzz-one: none\n") + setup_code +
                        "\n]\nfuzz-one: get in fuzz-checks 'fuzz-one\n";
    guarded([&] { run_source(setup); });
    Cell w;
    word::load(&w, "fuzz-checks");
    Cell* object = context::get(&w);
    if (!object || object->type() != TYPE_OBJECT) std::abort();
    checks = object->data1;
    root::keep_node(checks);
    set_cell(object, TYPE_UNSET);
    snapshot_count = context::count(context::global_node);
    snapshot = memory::alloc_cells(snapshot_count);
    root::keep_node(snapshot);
    const Cell* values = context::values(context::global_node);
    for (int32_t i = 0; i < snapshot_count; i++) block::append_cell(snapshot, values + i);
    return 0;
}

// Inputs that may run long without evaluating an expression per step, where the budget cannot
// stop them: loops with empty bodies, and words whose work grows with a count the input gives.
// Those are legitimate long runs, not faults.
inline bool long_run(std::string_view text) {
    static const char* const kWords[] = {"/dup", "loop", "repeat", "forever", "while", "until", "for",
                                         "insert", "append", "array", "make", "random", "**", "power",
                                         "shift", "exp", "to-", "pad", "change", "foreach"};
    int digits = 0, longest = 0;
    for (char ch : text) {
        digits = ch >= '0' && ch <= '9' ? digits + 1 : 0;
        if (digits > longest) longest = digits;
    }
    // `forever []` and parse's `while` over a rule that matches nothing evaluate no expression.
    if (text.find("forever") != std::string_view::npos) return true;
    if (text.find("while") != std::string_view::npos && text.find("parse") != std::string_view::npos) return true;
    if (longest < 5 && text.find("**") == std::string_view::npos && text.find("power") == std::string_view::npos &&
        text.find("shift") == std::string_view::npos)
        return false;
    for (const char* w : kWords)
        if (text.find(w) != std::string_view::npos) return true;
    return false;
}

// Boots the environment and then runs the target's setup code, whose definitions every input sees.
inline void initialize(int* argc, char*** argv, const char* setup) {
    platform::init(*argc, *argv);
    // Relative paths stay in a scratch folder of their own.
    static char dir[] = "/tmp/kel-fuzz-XXXXXX";
    if (!mkdtemp(dir) || chdir(dir) != 0) std::abort();
    std::atexit([] {
        if (chdir("/") == 0) rmdir(dir);
    });
    struct sigaction sa{};
    sa.sa_handler = on_budget;
    sigaction(SIGVTALRM, &sa, nullptr);
    setup_code = setup;
    if (platform::run_on_interpreter_thread(boot_thread, nullptr) != 0) std::abort();
}

// Aborts when a check of the target's own left a message in fault; clears it otherwise.
inline void check_fault() {
    Cell* v = context::value_of_symbol(symbol::make("fault"), checks);
    if (!v || v->type() != TYPE_STRING) return;
    int32_t len = -1;
    const char* text = unicode::to_utf8(v, &len, false);
    std::fprintf(stderr, "fault: %.*s\n", int(len), text);
    std::abort();
}

struct Input {
    void (*make)(Cell* code, const uint8_t* data, size_t size);
    const uint8_t* data;
    size_t size;
};

inline int input_thread(void* arg) {
    auto* in = static_cast<Input*>(arg);
    saved_limit = platform::stack_limit;
    expired = 0;
    guarded([&] {
        Cell code;
        set_cell(&code, TYPE_NONE);
        collector::Root keep(&code);
        in->make(&code, in->data, in->size);
        arm(true);
        interpreter::eval_block(&code, true);
    });
    arm(false);
    platform::stack_limit = saved_limit;
    interpreter::tracing = false;
    interpreter::trace_active = false;
    check_fault();
    restore_globals();
    return 0;
}

// Runs one input: make turns the bytes into the block to evaluate.
inline void run(void (*make)(Cell* code, const uint8_t* data, size_t size), const uint8_t* data, size_t size) {
    Input in{make, data, size};
    platform::run_on_interpreter_thread(input_thread, &in);
}

// The block [fuzz-one #{...}]: calls the setup code's fuzz-one with the input as a binary.
inline void call_fuzz_one(Cell* code, const uint8_t* data, size_t size) {
    lexer::load(code, "fuzz-one");
    Cell bin;
    set_cell(&bin, TYPE_NONE);
    collector::Root keep(&bin);
    binary::load_at(&bin, data, size);
    block::append_cell(code->node(), &bin);
}

}  // namespace fuzz_env

// The entry points of a target whose work is all in its setup code: each input up to 4 KB is
// given to fuzz-one.
#define KEL_SCRIPT_FUZZ_TARGET(setup)                                               \
    extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {                  \
        fuzz_env::initialize(argc, argv, setup);                                    \
        return 0;                                                                   \
    }                                                                               \
    extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {       \
        if (size <= 4096) fuzz_env::run(fuzz_env::call_fuzz_one, data, size);       \
        return 0;                                                                   \
    }
