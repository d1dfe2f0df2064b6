// Line-driven evaluator of Kel expressions with a C++ heap that refuses large blocks, for
// tests/py/test_heap_exhaustion.py: every operator new of LIMIT bytes or more (the first argument)
// throws std::bad_alloc, as it would with the address space used up. Each line answers
//   value MOLD       the result, molded
//   error CAT/ID     an error
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <new>
#include <string>

#include "../support/kel_eval.h"
#include "runtime/collector.h"
#include "runtime/init.h"
#include "runtime/platform.h"

static size_t limit = SIZE_MAX;

void* operator new(size_t n) {
    if (n >= limit) throw std::bad_alloc();
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

int main(int argc, char** argv) {
    platform::init(argc, argv);
    platform::set_stack_limit_for_current_thread(size_t(1) << 20);
    runtime::init();
    collector::enabled = true;  // as after start-up
    kel_test::boot();
    if (argc > 1) limit = std::strtoull(argv[1], nullptr, 10);
    std::string line;
    while (std::getline(std::cin, line)) {
        kel_test::Outcome o = kel_test::run(line);
        std::printf("%s %s\n", o.error ? "error" : "value", o.text.c_str());
        std::fflush(stdout);
    }
    return 0;
}
