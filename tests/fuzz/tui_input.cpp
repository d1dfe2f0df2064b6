// libFuzzer target: arbitrary terminal input decoded and dispatched to a shown window of a few
// widgets (a button, a field, an area, text lists, a panel with a check box, faces of odd sizes
// and places), the way the frame loop decodes what each frame read. The fuzzer's first byte cuts
// the rest into the pieces that successive frames read. Actors react to what reaches them: the
// button hides and shows a face, the check box moves the panel far off, and a key closes the
// window. Each input is fed to a window viewed afresh. Besides the sanitizers' findings, every
// frame must leave the queue bounded, its read index inside it, and the widgets that the input
// state points at alive.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "boot/boot.h"
#include "datatypes/block.h"
#include "datatypes/context.h"
#include "evaluator/interpreter.h"
#include "loading/lexer.h"
#include "runtime/collector.h"
#include "runtime/init.h"
#include "runtime/output.h"
#include "runtime/platform.h"
#include "runtime/runtime.h"
#include "runtime/stack.h"
#include "tui/backend.h"
#include "tui/input.h"

namespace {

const char* const kSetup = R"(
    fuzz-win: layout [
        b: button "b" [t/visible?: not t/visible?]
        f: field "field" on-key [if event/key = #"^Q" [unview/all]]
        t: text "text"
        return
        a: area "line one^/line two" 20x3
        l: text-list data ["one" "two" "three" "four"] 10x3
        p: panel [c: check "c" [p/offset: either c/data [-1000000x1000000][0x0]]]
        return
        text-list data ["x" "y"] 10x-2000000 select 2147483647
        at -3x-3 field "off the edge" 2147483647x1
    ]
)";
const char* const kShow = "view/no-wait fuzz-win";

void quiet(const Cell*, bool) {}
void quiet_text(const char*, size_t, int) {}

// Runs Kel text under a try frame that takes every throw; the stacks are put back afterwards.
void run(const char* text) {
    stack::Saved saved = stack::save();
    stack::mark_named(stack::body_symbol, FRAME_TRY);
    try {
        Cell code;
        lexer::load(&code, text);
        collector::Root keep(&code);
        interpreter::eval_block(&code, true);
    } catch (const Throw&) {
    }
    stack::restore(saved);
}

struct Input {
    const uint8_t* data;
    size_t size;
};

bool live(const tui::Widget* w) { return !w || tui::widget_of(w->id) == w; }

int boot_thread(void*) {
    runtime::init();
    collector::enabled = true;
    output::remove_hooks(output::print_string, nullptr);
    output::add_hooks(quiet, quiet_text);
    boot::build_environment();
    run(kSetup);
    return 0;
}

int input_thread(void* arg) {
    auto* in = static_cast<Input*>(arg);
    run(kShow);
    if (!tui::state.current_window) std::abort();
    tui::empty_input();
    size_t piece = in->data[0] % 32 + 1;
    for (size_t fed = 1; fed < in->size && tui::state.current_window; fed += piece) {
        size_t n = in->size - fed < piece ? in->size - fed : piece;
        tui::state.input.insert(tui::state.input.end(), in->data + fed, in->data + fed + n);
        tui::decode_input();
        // A sequence kept for later may hold at most the bound plus one frame's read.
        if (tui::state.input.size() > 4096 + piece) std::abort();
        if (tui::state.read_index < 0 || size_t(tui::state.read_index) > tui::state.input.size()) std::abort();
        if (!live(tui::state.focused) || !live(tui::state.under_pointer) || !live(tui::state.captured) ||
            !live(tui::state.current_window))
            std::abort();
        for (tui::Widget* w : tui::state.pressed)
            if (!live(w)) std::abort();
    }
    // Each input starts from a fresh window, and none is left open at exit.
    tui::empty_input();
    run("unview/all");
    if (!tui::state.windows.empty()) std::abort();
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    platform::init(*argc, *argv);
    if (platform::run_on_interpreter_thread(boot_thread, nullptr) != 0) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2 || size > 8192) return 0;
    Input in{data, size};
    platform::run_on_interpreter_thread(input_thread, &in);
    return 0;
}
