// The terminal's modes while a window is shown: raw input on standard input, VT private modes,
// the alternate screen, mouse reporting and the cursor. Every switch is one write to standard
// output. Whatever the GUI changed is put back on every way out of the process (errors that end
// it, quit, a fatal signal), not only when the event loop ends normally.
#pragma once

#include <cstdint>

#include "datatypes/cell.h"

namespace tui {

// "\e[?<n>h" and "\e[?<n>l".
void set_private_mode(int32_t n);
void reset_private_mode(int32_t n);
// "\e[6n": the answer becomes the origin of the inline drawing (see the input decoder).
void ask_cursor_position();
// Mode 1049 set and the screen cleared; mode 1049 reset.
void alternate_screen_on();
void alternate_screen_off();
// Modes 1000, 1003, 1015 and 1006, in that order.
void mouse_reporting_on();
void mouse_reporting_off();
// Mode 25; each writes only when the cursor is not already in that state.
void cursor_hide();
void cursor_show();
// "\e[<n>B" for n >= 1.
void cursor_down(int32_t n);
// "\e[2J", only while the alternate screen is on.
void clear_alternate_screen();

// Whether standard input is a terminal (the GUI mode is switched on only then).
bool stdin_is_console();
// Raw input (no echo, no line discipline, no signals from keys) on standard input; raw_off puts
// back the mode raw_on found. Output processing is left alone, so printed text between frames
// keeps its usual line ends.
void raw_on();
void raw_off();

// Once per outermost loop: raw mode and the GUI-active flag when standard input is a terminal,
// then, in GUI mode and unless a full-screen window is wanted, a cursor-position request.
void terminal_on();
// Raw mode off and the GUI-active flag cleared.
void terminal_off();
// The alternate screen for a full-screen window.
void enter_full_screen();
void leave_full_screen();

// Reads the terminal's size into state.columns and state.rows (80 x 24 when it cannot tell).
void read_console_size();
// The size facet of system/view/screens' first face, or null when there is none yet.
Cell* screen_size_facet();
// Whether the size differs from the one the loop last told its windows of (a resize seen between
// frames); a change is reported once.
bool console_size_changed();

// Tests write the escape output to another descriptor and pretend that it is a terminal; -1
// puts standard input back.
void set_input_fd(int fd, bool is_console);
int input_fd();

// Whether the process came back from a stop while the GUI had the terminal (once per stop): the
// terminal's modes are back, the drawing is not.
bool take_resumed();

}  // namespace tui
