// Standard output and standard error of the run-time, and the output hooks.
//
// Standard output is UTF-8 bytes, written in chunks of at most kChunk bytes by loops that survive
// partial writes, EINTR and non-blocking descriptors. Script-level printing does not write here
// directly: it hands each formed string to the string hooks, whose default member writes it
// through the console layer (runtime/console.h); a host can add hooks to capture output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

struct Cell;

namespace output {

// Largest chunk handed to one write call on standard output.
constexpr size_t kChunk = 1024;

// Allocates the hook arrays and registers print_string as the first string hook. Runs once.
void init();

// Appends bytes to the standard-output buffer; the caller flushes.
void write_bytes(const char* bytes, size_t n);
void write_text(const char* text);
// Flushes the buffer, then writes the bytes.
void write_raw(const char* bytes, size_t n);
void flush();

// The descriptor of standard output and whether it is a terminal, fixed at start-up by
// console::init_output. Tests point output at another descriptor.
void set_stdout(int fd, bool terminal);
int stdout_fd();
bool stdout_is_terminal();
// On a terminal, the cells between the start of the cursor's line and the cursor as far as the
// bytes written so far tell (not wrapped at the terminal's width); -1 when a sequence moved the
// cursor where the bytes cannot tell. 0 when standard output is not a terminal.
int64_t column();

// Standard error: UTF-8, unbuffered. Pending standard output is flushed first so that the two
// streams keep their order when they share a terminal.
void write_err(const char* bytes, size_t n);
void err_text(const char* text);

// Around every write to standard output: lets the terminal GUI take its inline drawing away and
// put it back. Nested pairs reach the GUI once, at the outermost level.
void begin_write();
void end_write();
// The terminal GUI registers its print-begin and print-end here; until then both do nothing.
// Null pointers unregister.
void set_print_brackets(void (*begin)(), void (*end)());

// Restores what the run-time changed on the terminal; called on every way out.
void at_exit();
void at_exit_from_signal();
// Registers a restorer run by at_exit (and, when async-signal-safe, from signals).
void on_exit(void (*restore)(), bool signal_safe);

// Writes all n bytes to a descriptor; false when the descriptor refuses them.
bool write_fd_all(int fd, const void* bytes, size_t n);

// Output hooks. A string hook receives every string printed by the language with its line-end
// flag; a text hook receives the raw text of the low-level printers (byte strings and numbers).
using StringHook = void (*)(const Cell* string, bool line_end);
using TextHook = void (*)(const char* text, size_t length, int flag);

// Appends each non-null hook to its list (a hook may be registered more than once).
void add_hooks(StringHook string_hook, TextHook text_hook);
// Removes the first entry of each non-null hook; absent hooks change nothing.
void remove_hooks(StringHook string_hook, TextHook text_hook);
// Calls every string hook in registration order.
void call_hooks(const Cell* string, bool line_end);
// Calls every text hook in registration order.
void call_hooks_3(const char* text, size_t length, int flag);
// The default string hook: writes the string to standard output through the console layer.
void print_string(const Cell* string, bool line_end);

// Registered hooks and the room their lists have, for diagnostics.
int string_hook_count();
int string_hook_capacity();
int text_hook_count();
int text_hook_capacity();

}  // namespace output
