// Weak definitions of the ownership interface for builds that do not link the owned-series table:
// without it no series can have an owner, so nothing is ever told and nothing is owned. The
// table's own module replaces every one of these at link time.
#include "datatypes/ownership.h"

#include "runtime/fire.h"

namespace ownership {

__attribute__((weak)) bool check(const Cell*, const Cell*, const Cell*, int32_t, int32_t) { return false; }

__attribute__((weak)) Cell* owner_of(Node) { return nullptr; }

__attribute__((weak)) void unbind(const Cell*) {}

__attribute__((weak)) void set_owned(const Cell*, const Cell*, const Cell*) { fire(err::internal::not_done); }

}  // namespace ownership
