// Action dispatch: the 62 action entry points, the lookup of a datatype's implementation, and
// typed helpers that C++ code uses to run an action on values it holds.
#pragma once

#include <cstdint>

#include "datatypes/datatype.h"

namespace actions {

// Number of refinements of each action, in spec order (index: action number - 1).
extern const int8_t refinement_count[kActionCount];

// Entry point of an action: arguments on the data stack from stack::arguments, one refinement
// integer per refinement. Dispatches on the type of the first argument.
void entry(int action, const int32_t* refs);

// Implementation of an action for a value's type; raises script expect-arg when the type has
// none (the port rule first for port! values with a handle actor).
void* get_action(const Cell* value, int action);
// Set by the port module: the implementation of a series or port action taken from a port whose
// actor is a handle, or null for the ordinary row.
extern void* (*port_action_hook)(const Cell* port, int action);
void* get_action_by_type(int type, const Cell* value, int action);

// Dispatching helpers for C++ callers.
int form(const Cell* value, Node buffer, const Cell* part, int limit);
int mold(const Cell* value, Node buffer, bool only, bool all, bool flat, const Cell* part, int limit, int indent);
// Molds or forms a value into a new string value (into out).
Cell* mold_new(Cell* out, const Cell* value, bool all = false, bool flat = false);
Cell* form_new(Cell* out, const Cell* value);
// The raw comparison (-2 when the pair cannot be compared under op).
int compare_value(const Cell* a, const Cell* b, int op);
// Comparison as a truth value; raises invalid-compare for ordering operators on -2.
bool compare(const Cell* a, const Cell* b, int op);
// compare-op: compares the current frame's two arguments and stores a logic! in the result slot.
void compare_op(int op);
// make and to with a datatype or prototype in proto (the result replaces it).
Cell* make(Cell* proto, Cell* spec);
Cell* to(Cell* proto, Cell* spec);
// Runs an action with the given arguments under a native frame; the result is left in out.
// refs as for the entry (one per refinement of the action; -1 absent).
void call(Cell* out, int action, const Cell* const* args, int nargs, const int32_t* refs);

// Path access on a value (the type's eval-path), raising bad-path-type(2) when it has none.
Cell* eval_path(PathStep& step, Cell* out);

// Index argument of pick and poke: integer! or char! its value, logic! true 1 and false 2,
// other types 0.
int32_t get_index_arg(const Cell* index);

// Fast paths for compiled code. Two integer! operands are computed at once (add, subtract and
// multiply overflowing to the float! of the exact result; or, and, xor bitwise), as are
// add, subtract and multiply of two float! operands and comparisons of two integers or two
// floats; every other pair runs the generic action under a native frame named by name (a word
// cell, or null for an unnamed frame). Arithmetic codes: 0 add, 1 subtract, 2 multiply, 5 or,
// 6 and, 7 xor; comparison codes those of the compare action. Another code is run-time
// failure 101. The -int variants take the second operand as a machine integer; the -top
// variants take the first operand from the top of the data stack and replace it with the result.
void math_fast(int op, const Cell* name, const Cell* a, const Cell* b);  // pushes the result
void math_fast_int(int op, const Cell* name, const Cell* a, int32_t b);
void math_fast_top(int op, const Cell* name, const Cell* b);
void math_fast_top_int(int op, const Cell* name, int32_t b);
void compare_fast(int op, const Cell* name, const Cell* a, const Cell* b);  // pushes a logic!
void compare_fast_int(int op, const Cell* name, const Cell* a, int32_t b);
// Nothing is left on the stack; invert negates the answer.
bool compare_fast_test(int op, const Cell* name, const Cell* a, const Cell* b, bool invert);
bool compare_fast_test_int(int op, const Cell* name, const Cell* a, int32_t b, bool invert);
// Also stores the answer as a logic! in the result slot.
bool compare_fast_cond(int op, const Cell* name, const Cell* a, const Cell* b);
bool compare_fast_cond_int(int op, const Cell* name, const Cell* a, int32_t b);
void compare_fast_top(int op, const Cell* name, const Cell* b);
void compare_fast_top_int(int op, const Cell* name, int32_t b);
// Pushes the value at 1-based position index of a block (none outside it); other types go
// through path access with an integer! element.
void pick_fast(const Cell* value, int32_t index, const Cell* name);
// Block navigation (1 length?, 2 index?, 3 head?, 4 tail?, 5 next, 6 back, 7 head, 8 tail),
// answered at once for a block! and through the action otherwise; pushes the result.
void series_fast(const Cell* value, int code, const Cell* name);

// The interpreter's shortcut for operator calls: add, subtract, multiply, remainder and the
// comparison natives on two integer! or two float! values, answered into out without a call
// when nothing can go wrong (no error, so no frame is needed). False when the call must be made.
bool call_fast(const Cell* fn, const Cell* a, const Cell* b, Cell* out);
// The natives behind the comparison operators, by number - 25 (equal? ... greater-or-equal?).
extern void (*const comparison_natives[7])(int check, const int32_t* refs);
// Whether call_fast may answer calls of this function (the operators above): two arguments, no
// refinements.
bool has_shortcut(const Cell* fn);

void init();

}  // namespace actions
