// Catching language errors in tests the way the try native does: under a try frame, so that the
// error is taken there instead of ending the process, with both stacks restored afterwards.
#pragma once

#include "datatypes/cell.h"
#include "datatypes/error.h"
#include "runtime/runtime.h"
#include "runtime/stack.h"
#include "tests/support/held.h"

// Runs f; answers the error value it raised, or none when it raised nothing.
template <class F>
inline Cell catch_error(F&& f) {
    stack::Saved saved = stack::save();
    stack::mark_named(stack::body_symbol, FRAME_TRY);
    Cell result;
    set_cell(&result, TYPE_NONE);
    uint32_t code = catch_frame(codes::error, [&] { f(); });
    if (code == codes::error) result = stack::pending_error;
    stack::restore(saved);
    runtime::sys.thrown = 0;
    return tv::hold(result);
}

// Whether a value is an error of the given catalog id.
inline bool is_error(const Cell& e, ErrorId id) { return e.type() == TYPE_ERROR && error::is(&e, id); }
