// Test support: which language error a call raised, and its first argument.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "catalog_ids.h"
#include "datatypes/cell.h"
#include "datatypes/error.h"
#include "runtime/runtime.h"
#include "runtime/stack.h"
#include "tests/support/held.h"

namespace test_support {

struct Fired {
    ErrorId id;
    Cell arg1;
    bool has_arg1;
};

// Runs f under a try frame; the error it raised, or nothing when it returned normally.
template <class F>
std::optional<Fired> fired(F&& f) {
    stack::Saved saved = stack::save();
    stack::mark_named(stack::body_symbol, FRAME_TRY);
    try {
        f();
    } catch (const Throw& t) {
        stack::restore(saved);
        if (t.code != codes::error) throw;
        runtime::sys.thrown = 0;
        Cell err = tv::hold(stack::pending_error);
        const Cell* arg1 = error::field(&err, error::FIELD_ARG1);
        bool given = arg1 && arg1->type() != TYPE_NONE;
        return Fired{error::id_of(&err), given ? *arg1 : Cell{}, given};
    }
    stack::restore(saved);
    return std::nullopt;
}

// Bytes of a binary! argument.
inline std::vector<uint8_t> binary_bytes(const Cell& c) {
    SeriesBuf* b = memory::nodes[c.node()];
    return std::vector<uint8_t>(b->at_head() + c.index(), b->at_tail());
}

}  // namespace test_support
