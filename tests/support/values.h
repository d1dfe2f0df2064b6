// Test support: values made in C++, actions run on them, and their text.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>

#include "datatypes/cell.h"
#include "datatypes/datatype.h"
#include "datatypes/string.h"
#include "evaluator/actions.h"
#include "runtime/stack.h"
#include "tests/support/fired.h"
#include "tests/support/held.h"

namespace test_support {

inline Cell int_(int32_t v) {
    Cell c;
    set_cell(&c, TYPE_INTEGER, static_cast<uint32_t>(v));
    return c;
}
inline Cell real(double v, uint8_t type = TYPE_FLOAT) {
    Cell c;
    set_cell(&c, type);
    c.set_f(v);
    return c;
}
inline Cell time_of(double seconds) { return real(seconds, TYPE_TIME); }
inline Cell percent(double fraction) { return real(fraction, TYPE_PERCENT); }
inline Cell char_of(uint32_t cp) {
    Cell c;
    set_cell(&c, TYPE_CHAR, cp);
    return c;
}
inline Cell logic_of(bool b) {
    Cell c;
    set_cell(&c, TYPE_LOGIC, b ? 1 : 0);
    return c;
}
inline Cell none_value() {
    Cell c;
    set_cell(&c, TYPE_NONE);
    return c;
}
inline Cell unset_value() {
    Cell c;
    set_cell(&c, TYPE_UNSET);
    return c;
}
inline Cell type_of(int type) {
    Cell c;
    set_cell(&c, TYPE_DATATYPE, static_cast<uint32_t>(type));
    return c;
}
inline Cell text(const char* s) {
    Cell c;
    string::load_at(&c, s);
    return tv::hold(c);
}

// A refinement: its position in the refinement list and, for one with an argument, the index
// of that argument among the pushed arguments (a flag refinement passes 0).
struct Ref {
    int position;
    int32_t index;
};

// Runs an action on the arguments with the refinements given (all others absent) and answers
// its result. The stacks are left as they were, also when the action raises an error.
inline Cell act(int action, std::initializer_list<Cell> args, std::initializer_list<Ref> refs = {}) {
    const Cell* ptrs[8];
    int n = 0;
    for (const Cell& a : args) ptrs[n++] = &a;
    int32_t r[12] = {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1};
    for (const Ref& ref : refs) r[ref.position] = ref.index;
    stack::Saved saved = stack::save();
    Cell out;
    try {
        actions::call(&out, action, ptrs, n, r);
    } catch (...) {
        stack::restore(saved);
        throw;
    }
    stack::restore(saved);
    return tv::hold(out);
}

// Runs one datatype's implementation of a frame action directly (for types whose own row is
// registered by a later module, such as percent!, that inherit it).
inline Cell run(ActionFn fn, std::initializer_list<Cell> args, std::initializer_list<Ref> refs = {}) {
    int32_t r[12] = {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1};
    for (const Ref& ref : refs) r[ref.position] = ref.index;
    stack::Saved saved = stack::save();
    Cell out;
    try {
        stack::mark_named(stack::body_symbol, FRAME_NATIVE);
        for (const Cell& a : args) stack::push(&a);
        fn(r);
        out = *stack::arguments;
    } catch (...) {
        stack::restore(saved);
        throw;
    }
    stack::restore(saved);
    return tv::hold(out);
}

// The error an action raised (restoring the stacks), or nothing.
template <class F>
std::optional<Fired> raised(F&& f) {
    stack::Saved saved = stack::save();
    auto e = fired(f);
    stack::restore(saved);
    return e;
}

inline std::string molded(const Cell& v, bool all = false) {
    Cell s;
    actions::mold_new(&s, &v, all);
    return string::to_utf8(&s);
}
inline std::string formed(const Cell& v) {
    Cell s;
    actions::form_new(&s, &v);
    return string::to_utf8(&s);
}

// Molded text when the value's type can mold (some types register later), else a raw form.
inline std::string describe(const Cell& v) {
    if (datatype::slot(v.type(), ACT_MOLD)) return molded(v);
    return std::string(datatype::name_of(v.type())) + "(" + std::to_string(v.f()) + ")";
}

inline bool same_bits(double a, double b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

}  // namespace test_support

// Asserts that a statement raises the language error id.
#define EXPECT_RAISES(error_id, statement)                                                                \
    do {                                                                                            \
        auto fired_ = test_support::raised([&] { statement; });                                     \
        ASSERT_TRUE(fired_.has_value()) << #statement << " raised nothing";                         \
        EXPECT_TRUE(fired_->id == error_id) << #statement << " raised another error";               \
    } while (0)
