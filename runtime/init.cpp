#include "runtime/init.h"

#include "runtime/memory.h"
#include "runtime/output.h"
#include "runtime/platform.h"

namespace runtime {

void init() {
    output::init();
    platform::init_io();
    memory::init();
}

}  // namespace runtime
