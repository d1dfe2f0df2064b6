// The terminal under the console: raw mode for the line editor, keys, the window size, and the
// readers of redirected standard input; and the routines through which `ask`, `input` and the
// console reach them.
//
// Lines are edited only when standard input and standard output are both terminals. Otherwise
// lines are read byte by byte from standard input as UTF-8, without prompt or editing (a
// terminal on standard input then keeps its own line discipline and echo).
#pragma once

#include <termios.h>

#include <cstdint>

#include "datatypes/cell.h"

namespace terminal {

// Keys that are not keys: what read_key answers when the window changed size, and when the
// process came back from a stop (the screen may hold anything; the editor draws again).
constexpr int32_t kResized = -100;
constexpr int32_t kContinued = -101;

// Registers the console's routines by the names the console's source binds:
// set-buffer-history, read-input, terminate-console, input-stdin, read-stdin, console-init.
void init();

// Decides whether the line editor can run, installs the signal handlers that restore the
// terminal (SIGTERM, SIGHUP, SIGINT, SIGQUIT), follow its size (SIGWINCH) and take it back after
// a stop (SIGCONT), and publishes the size. Runs once, on first use.
void start();
bool is_console();

// Registers an async-signal-safe function that SIGCONT runs after the console's own handling,
// for another owner of the terminal (the GUI) to take it back after a stop.
void on_continue_call(void (*fn)());

// Raw mode for one edit: no echo, no line discipline, no signals from keys (Ctrl-C and Ctrl-Z
// arrive as keys), output processing kept. Set with TCSANOW so that keys typed ahead stay
// pending. raw_off restores the mode found by raw_on; so does every way out of the process.
void raw_on();
void raw_off();
// The raw mode made from a cooked one: the line editor's, which the GUI takes as well.
termios raw_of(const termios& cooked);
bool raw_active();

// The next key from standard input (keys.h codes, kResized, kContinued), or -1 when the
// terminal is gone (end of input, a read error). A lone ESC is the Escape key when nothing
// follows it within kEscapeWaitMs; a sequence that has not ended within kSequenceWaitMs is
// dropped.
constexpr int kEscapeWaitMs = 50;
constexpr int kSequenceWaitMs = 500;
int32_t read_key();

// Window size in cells; false (and nothing changed) when the terminal cannot tell.
bool window_size(int& columns, int& rows);
// Stores the size in system/console/size when the console object exists.
void publish_size(int columns, int rows);

// ---- Redirected standard input ----

// The next codepoint of standard input read as UTF-8, or -1 at the end of input or on a read
// error. An invalid sequence raises access invalid-utf8 with its bytes.
int32_t read_utf8_char();
// Appends characters to the string buffer until a line feed (not appended) or the end of input.
// Answers false when the input ended before anything, a line feed included, was read.
bool stdin_readline(Node line);

// What the routines do, for C++ callers.
void set_buffer_history(const Cell* line, const Cell* history);
void read_input(const Cell* prompt, bool hidden);
void console_init(const Cell* title);

}  // namespace terminal
