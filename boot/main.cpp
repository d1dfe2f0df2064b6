// The entry point: platform set-up, then everything else on the interpreter thread.
#include "boot/boot.h"
#include "runtime/collector.h"
#include "runtime/init.h"
#include "runtime/platform.h"
#include "runtime/runtime.h"

static int run(void*) {
    try {
        runtime::init();
        // The boot data is in: from here on any allocation may collect.
        collector::enabled = true;
        boot::build_environment();
        boot::hand_over();
    } catch (const Throw& t) {
        // The outermost catch frame: the normal end, or a throw nothing else took.
        runtime::top_catch(t.code);
    }
    runtime::quit(0);
}

int main(int argc, char** argv) {
    platform::init(argc, argv);
    return platform::run_on_interpreter_thread(run, nullptr);
}
