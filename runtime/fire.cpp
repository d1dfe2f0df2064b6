#include "runtime/fire.h"

#include "datatypes/cell.h"
#include "datatypes/error.h"
#include "evaluator/interpreter.h"
#include "runtime/collector.h"
#include "runtime/memory.h"
#include "runtime/runtime.h"
#include "runtime/stack.h"

void fire(ErrorId id, const Cell* arg1, const Cell* arg2, const Cell* arg3) {
    // A size refused outright (past what a series can hold) is memory running out as well: after
    // an error, raising it would unwind the frames a second time (see memory::AfterError).
    if (memory::after_error_active() && id == err::internal::no_memory)
        runtime::quit(94, KEL_CALLER_ADDRESS());
    Cell err;
    set_cell(&err, TYPE_NONE);
    collector::Root keep(&err);
    error::create(&err, id, arg1, arg2, arg3);
    if (interpreter::tracing) {
        // The trace callback runs script code: it must not see a throw in progress.
        uint32_t thrown = runtime::sys.thrown;
        runtime::sys.thrown = 0;
        interpreter::fire_event(interpreter::EV_ERROR, nullptr, -1, nullptr, &err);
        runtime::sys.thrown = thrown;
    }
    stack::throw_error(&err);
}
