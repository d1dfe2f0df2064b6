// Pieces shared by the numeric datatypes (integer!, float!, char!, time!): the operation codes'
// actions and words, hand-over of an operation to the arithmetic of another datatype, checked
// float-to-integer conversion, and the errors they raise.
#pragma once

#include <cstdint>

#include "datatypes/cell.h"

namespace number {

// The action that carries an operation code (0 add ... 7 xor), and its word.
int action_of(int op);
const char* word_of(int op);

// Runs the current frame's operation (two arguments at stack::arguments) through the action of
// datatype `type` for op, when that datatype has one; false when it has none.
bool run_type_math(int type, int op);

// x truncated toward zero as an int32, when x lies within -2147483648.0 to 2147483647.0 (NaN
// never does).
inline bool to_int32(double x, int32_t* out) {
    if (!(x >= -2147483648.0 && x <= 2147483647.0)) return false;
    *out = static_cast<int32_t>(x);
    return true;
}

// The one value a text (string!, file!, ... from its head) scans to; none when text is left
// over after it, unset when it holds no value.
Cell scan_one(const Cell* text);
// The value a text scans to when it is one value of the type; script bad-to-arg (the type, the
// text) otherwise.
Cell scan_as(const Cell* text, int type);
// The characters of a text from its clamped head: their address (valid until the next
// allocation), count and unit size.
const uint8_t* text_units(const Cell* text, int32_t* count, int* unit);

// script invalid-type with the value's datatype.
[[noreturn]] void fire_invalid_type(const Cell* value);
// script not-related with a word and a datatype.
[[noreturn]] void fire_not_related(const char* word, int type);
// script not-related naming the running call.
[[noreturn]] void fire_not_related_call(int type);
// script bad-to-arg with the target datatype and the spec.
[[noreturn]] void fire_bad_to_arg(int type, const Cell* spec);
// script expect-arg: the running call, the value's datatype and the word of argument index.
[[noreturn]] void fire_expect_arg(const Cell* value, int index);
// The same with the word of the argument given by name.
[[noreturn]] void fire_expect_arg_named(const Cell* value, const char* argument);
// script type-limit with a datatype.
[[noreturn]] void fire_type_limit(int type);

}  // namespace number
