// Unit-test entry: the run-time is initialised once for all tests.
#include <gtest/gtest.h>

#include "runtime/collector.h"
#include "runtime/init.h"
#include "runtime/platform.h"
#include "tests/support/held.h"

// What one test held is let go before the next one starts.
class ReleaseHeld : public testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo&) override { tv::release_held(); }
};

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    platform::init(argc, argv);
    platform::set_stack_limit_for_current_thread(size_t(1) << 20);
    runtime::init();
    // As after start-up: any allocation may collect from here on.
    collector::enabled = true;
    testing::UnitTest::GetInstance()->listeners().Append(new ReleaseHeld);
    return RUN_ALL_TESTS();
}
