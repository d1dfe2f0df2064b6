// Unit-test entry: the run-time is initialised once for all tests.
#include <gtest/gtest.h>

#include "runtime/init.h"
#include "runtime/platform.h"

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    platform::init(argc, argv);
    platform::set_stack_limit_for_current_thread(size_t(1) << 20);
    runtime::init();
    return RUN_ALL_TESTS();
}
