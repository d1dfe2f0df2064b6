// The entry point: platform set-up, then everything else on the interpreter thread.
#include <new>

#include "boot/boot.h"
#include "runtime/collector.h"
#include "runtime/memory.h"
#include "runtime/init.h"
#include "runtime/platform.h"
#include "runtime/runtime.h"

namespace boot_images {
extern const boot_sources::File files[];
extern const int count;
}  // namespace boot_images

static const boot_sources::File* image_of(std::string_view name) {
    for (int i = 0; i < boot_images::count; i++)
        if (name == boot_images::files[i].name) return &boot_images::files[i];
    return nullptr;
}

static int run(void*) {
    try {
        boot::image_of = image_of;
        memory::starting = true;
        runtime::init();
        // The boot data is in: from here on any allocation may collect.
        collector::enabled = true;
        boot::build_environment();
        memory::starting = false;
        boot::hand_over();
    } catch (const Throw& t) {
        // The outermost catch frame: the normal end, or a throw nothing else took.
        runtime::top_catch(t.code);
    } catch (const std::bad_alloc&) {
        // The C++ heap ran out outside any call that could raise it as a language error.
        runtime::quit(94);
    }
    runtime::quit(0);
}

int main(int argc, char** argv) {
    platform::init(argc, argv);
    return platform::run_on_interpreter_thread(run, nullptr);
}
