// Line-driven evaluator of Kel expressions for the differential tests in tests/py/. Each input
// line is Kel text; each answers one line:
//   float BITS       a float! result, its double's 16 hexadecimal digits
//   value MOLD       any other result, molded
//   error CAT/ID     an error
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "../support/kel_eval.h"
#include "runtime/collector.h"
#include "runtime/init.h"
#include "runtime/platform.h"

int main(int argc, char** argv) {
    platform::init(argc, argv);
    platform::set_stack_limit_for_current_thread(size_t(1) << 20);
    runtime::init();
    collector::enabled = true;  // as after start-up
    kel_test::boot();
    std::string line;
    while (std::getline(std::cin, line)) {
        // The float result is taken before molding, through a word the snippet sets.
        kel_test::Outcome o = kel_test::run("probe-result: (" + line + ") type? :probe-result");
        if (o.error) {
            std::printf("error %s\n", o.text.c_str());
        } else if (o.text == "float!") {
            Cell w;
            word::load(&w, "probe-result");
            double d = word::peek(&w)->f();
            uint64_t bits;
            std::memcpy(&bits, &d, sizeof bits);
            std::printf("float %016" PRIx64 "\n", bits);
        } else {
            std::printf("value %s\n", kel_test::eval("probe-result").c_str());
        }
        std::fflush(stdout);
    }
    return 0;
}
