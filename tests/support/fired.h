// Test support: which language error a call raised, and its first argument.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "catalog_ids.h"
#include "datatypes/cell.h"
#include "runtime/runtime.h"

// Until error values exist, fire() leaves the raised error here.
namespace fire_carrier {
extern ErrorId last;
extern Cell args[3];
extern int count;
}  // namespace fire_carrier

namespace test_support {

struct Fired {
    ErrorId id;
    Cell arg1;
    bool has_arg1;
};

// Runs f; the error it raised, or nothing when it returned normally.
template <class F>
std::optional<Fired> fired(F&& f) {
    try {
        f();
    } catch (const Throw& t) {
        if (t.code != codes::error) throw;
        return Fired{fire_carrier::last, fire_carrier::args[0], fire_carrier::count > 0};
    }
    return std::nullopt;
}

inline bool same_id(ErrorId a, ErrorId b) { return a.category == b.category && a.index == b.index; }

// Bytes of a binary! argument.
inline std::vector<uint8_t> binary_bytes(const Cell& c) {
    SeriesBuf* b = memory::nodes[c.node()];
    return std::vector<uint8_t>(b->at_head() + c.index(), b->at_tail());
}

}  // namespace test_support
