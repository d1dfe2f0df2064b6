// The natives table: built-in functions called with a check flag and one integer per refinement;
// their arguments are the data-stack cells from stack::arguments, and the first argument cell is
// the result slot.
#pragma once

#include <cstdint>
#include <ctime>
#include <string_view>

#include "datatypes/cell.h"

namespace natives {

// check: 0 when the interpreter already checked the arguments against the spec, 1 when the
// caller did not. refs: one integer per refinement, -1 when absent, else the index of the
// refinement's first argument cell.
using NativeFn = void (*)(int check, const int32_t* refs);

constexpr int kSlots = 120;
constexpr int kCount = 107;  // natives installed by init
extern NativeFn table[kSlots];
extern int counter;  // next slot + 1; 1 before any install

void init();
void install_table(int n, const NativeFn* fns);
// Puts the routine of a native whose work belongs to another module into slot n - 1 (parse,
// compress, decompress, call, browse start as routines raising internal not-done).
void replace(int n, NativeFn fn);

// The shared work block of print and prin.
extern Node print_buffer;
// Whether the last print or prin ended its output with a line feed.
extern bool last_lf;

// The spec blocks of the natives and actions as Kel source: `natives: [word [spec] ...]` in table
// order, `actions: [word [spec] ...]` in action order.
std::string_view boot_source();
// Loads boot_source into out (from its binary image when the program carries one).
Cell* load_boot_source(Cell* out);
// Makes a native! value for every entry of a natives block and an action! value for every
// non-empty entry of an actions block (both as in boot_source), and sets the global word before
// each spec to it. The values are kept for argument checks of callers that pass the check flag,
// and to check the spec of a value made by script for the same code.
void define_words(const Cell* natives_block, const Cell* actions_block);
// Loads boot_source and runs define_words on its two blocks.
void define_boot_words();
// The native! value of native n (none before define_words).
const Cell* value_of(int n);
// The action! value of action n as define_words made it (none before, or for an unused slot).
const Cell* action_value_of(int n);
// Whether define_words has made the values above.
bool words_defined();

// Checks the arguments of the running native n against its spec: each mandatory argument, and
// the arguments of each refinement that refs marks as present. A value outside its types raises
// script expect-arg naming the call, the value's datatype and the argument.
void check_args(int n, const int32_t* refs);

// ---- Hooks filled by later subsystems (null: the native raises internal not-done) ----

// The environment's do-file: runs a script file or URL; args is the /args value or none. The
// result goes into the result slot.
extern void (*do_file)(const Cell* file, const Cell* args);
// The preprocessor's expansion of a block in place (do/expand).
extern void (*expand)(Cell* block);
// The environment's show-memory-stats: prints a stats/info block.
extern void (*show_memory_stats)(const Cell* info);
// One pass over pending terminal GUI events (wait); may be null.
extern void (*wait_events)();
// The clock of now: fills a timespec of CLOCK_REALTIME (tests fix the instant).
extern void (*read_clock)(struct timespec* ts);

// ---- Shared helpers of the natives ----

// Each sets the result slot and puts the stack top just above it.
void set_none();
void set_unset();
void set_logic(bool b);
void set_integer(int32_t n);
void set_float(double d);

// Evaluates a value as one expression standing alone (functions taken as values) into the
// result slot of the current call.
void eval_single(const Cell* value);

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
