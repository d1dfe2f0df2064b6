// The natives table: built-in functions called with a check flag and one integer per refinement;
// their arguments are the data-stack cells from stack::arguments, and the first argument cell is
// the result slot.
#pragma once

#include <cstdint>

#include "datatypes/cell.h"

namespace natives {

// check: 0 when the interpreter already checked the arguments against the spec, 1 when the
// caller did not. refs: one integer per refinement, -1 when absent, else the index of the
// refinement's first argument cell.
using NativeFn = void (*)(int check, const int32_t* refs);

constexpr int kSlots = 120;
extern NativeFn table[kSlots];
extern int counter;  // next slot + 1; 1 before any install

void init();
void install_table(int n, const NativeFn* fns);

// The shared work block of print and prin.
extern Node print_buffer;

}  // namespace natives

namespace routines {

// A routine's code: reads its arguments from stack::arguments and writes the result slot.
using RoutineFn = void (*)();

constexpr int kSlots = 512;
extern RoutineFn table[kSlots];
extern int counter;
// Registers a routine's code under a name and returns its 1-based number (kept in the routine's
// code cell); the boot sources name the code they bind.
int register_(const char* name, RoutineFn fn);
// The number of the code registered under a name, or 0.
int find(const char* name);

}  // namespace routines
