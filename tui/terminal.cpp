#include "tui/terminal.h"

#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "console/terminal.h"
#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/pair.h"
#include "datatypes/symbol.h"
#include "runtime/output.h"
#include "tui/backend.h"

namespace tui {

namespace {

int in_fd = 0;
int in_console = -1;  // -1: not decided yet

termios saved_mode;
termios raw_mode;  // put back after a stop
// Mirrors of what the GUI changed, read by the restorer, which may run inside a signal handler.
volatile sig_atomic_t raw_set = 0;
volatile sig_atomic_t mouse_set = 0;
volatile sig_atomic_t alternate_set = 0;
volatile sig_atomic_t cursor_hidden_set = 0;
bool restorer_registered = false;
// Set when the process came back from a stop with the GUI on: the screen holds the shell's text.
volatile sig_atomic_t resumed = 0;

// The size the event loop's windows were last told of. Kept apart from state.columns and
// state.rows, which a script's get-screen-size re-reads: that must not hide a resize from the loop.
int32_t told_columns = 0, told_rows = 0;

const char kMouseOff[] = "\x1b[?1000l\x1b[?1003l\x1b[?1015l\x1b[?1006l";
const char kMouseOn[] = "\x1b[?1000h\x1b[?1003h\x1b[?1015h\x1b[?1006h";

void put(const char* bytes, size_t n) { output::write_raw(bytes, n); }

void put_mode(int32_t n, char final) {
    char buf[24];
    int len = std::snprintf(buf, sizeof buf, "\x1b[?%d%c", n, final);
    put(buf, size_t(len));
}

// Async-signal-safe: fixed texts, write and tcsetattr only.
void restore_terminal() {
    int fd = output::stdout_fd();
    if (mouse_set) {
        output::write_fd_all(fd, kMouseOff, sizeof kMouseOff - 1);
        mouse_set = 0;
    }
    if (alternate_set) {
        output::write_fd_all(fd, "\x1b[?1049l", 8);
        alternate_set = 0;
    }
    // The renderer may hide the cursor by itself.
    if (cursor_hidden_set || state.cursor_hidden) {
        output::write_fd_all(fd, "\x1b[?25h", 6);
        cursor_hidden_set = 0;
    }
    if (raw_set) {
        tcsetattr(in_fd, TCSANOW, &saved_mode);
        raw_set = 0;
    }
}

// A stop (SIGTSTP) hands the terminal to the shell as it was before the GUI, and the GUI takes it
// back when the process continues (SIGCONT, also after a SIGSTOP, which cannot be caught). The
// mirrors are kept: they say what to put back. Async-signal-safe, like restore_terminal.
void release_for_stop() {
    int fd = output::stdout_fd();
    if (mouse_set) output::write_fd_all(fd, kMouseOff, sizeof kMouseOff - 1);
    if (alternate_set) output::write_fd_all(fd, "\x1b[?1049l", 8);
    if (cursor_hidden_set || state.cursor_hidden) output::write_fd_all(fd, "\x1b[?25h", 6);
    if (raw_set) tcsetattr(in_fd, TCSANOW, &saved_mode);
}

void take_back_after_stop() {
    if (!raw_set && !alternate_set) return;
    int fd = output::stdout_fd();
    if (raw_set) tcsetattr(in_fd, TCSANOW, &raw_mode);
    // Entering the alternate screen again clears it: the frame loop draws everything anew.
    if (alternate_set) output::write_fd_all(fd, "\x1b[?1049h", 8);
    if (mouse_set) output::write_fd_all(fd, kMouseOn, sizeof kMouseOn - 1);
    if (cursor_hidden_set || state.cursor_hidden) output::write_fd_all(fd, "\x1b[?25l", 6);
    resumed = 1;
}

void on_stop(int) {
    int saved_errno = errno;
    release_for_stop();
    struct sigaction stop{}, mine{};
    stop.sa_handler = SIG_DFL;
    sigemptyset(&stop.sa_mask);
    sigaction(SIGTSTP, &stop, &mine);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTSTP);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    raise(SIGTSTP);
    // Here once continued; SIGCONT's handler has taken the terminal back.
    sigaction(SIGTSTP, &mine, nullptr);
    errno = saved_errno;
}

void register_restorer() {
    if (restorer_registered) return;
    restorer_registered = true;
    output::on_exit(restore_terminal, true);
    // The console's own start-up installs the handlers that run the restorers when a signal
    // ends the process; a script run without the line editor has not done that yet.
    terminal::start();
    terminal::on_continue_call(take_back_after_stop);
    struct sigaction sa{};
    sa.sa_handler = on_stop;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGTSTP, &sa, nullptr);
}

int32_t sym_system = 0, sym_view = 0, sym_screens = 0, sym_size = 0;

// The size facet of the first screen face, or null when there is none.
Cell* screen_size_slot() {
    if (!sym_system) {
        sym_system = symbol::make("system");
        sym_view = symbol::make("view");
        sym_screens = symbol::make("screens");
        sym_size = symbol::make("size");
    }
    Cell* sys = context::value_of_symbol(sym_system, context::global_node);
    if (!sys || sys->type() != TYPE_OBJECT) return nullptr;
    Cell* view = context::value_of_symbol(sym_view, sys->data1);
    if (!view || view->type() != TYPE_OBJECT) return nullptr;
    Cell* screens = context::value_of_symbol(sym_screens, view->data1);
    if (!screens || screens->type() != TYPE_BLOCK || block::rs_tail_q(screens)) return nullptr;
    Cell* screen = block::rs_head(screens);
    if (screen->type() != TYPE_OBJECT) return nullptr;
    return context::value_of_symbol(sym_size, screen->data1);
}

}  // namespace

void set_private_mode(int32_t n) { put_mode(n, 'h'); }
void reset_private_mode(int32_t n) { put_mode(n, 'l'); }

void ask_cursor_position() {
    put("\x1b[6n", 4);
    state.report_pending++;
}

void alternate_screen_on() {
    register_restorer();
    alternate_set = 1;
    set_private_mode(1049);
    put("\x1b[2J", 4);
}

void alternate_screen_off() {
    reset_private_mode(1049);
    alternate_set = 0;
}

void mouse_reporting_on() {
    register_restorer();
    mouse_set = 1;
    for (int32_t m : {1000, 1003, 1015, 1006}) set_private_mode(m);
}

void mouse_reporting_off() {
    for (int32_t m : {1000, 1003, 1015, 1006}) reset_private_mode(m);
    mouse_set = 0;
}

void cursor_hide() {
    if (state.cursor_hidden) return;
    register_restorer();
    state.cursor_hidden = 1;
    cursor_hidden_set = 1;
    reset_private_mode(25);
}

void cursor_show() {
    if (!state.cursor_hidden) return;
    set_private_mode(25);
    state.cursor_hidden = 0;
    cursor_hidden_set = 0;
}

void cursor_down(int32_t n) {
    if (n < 1) return;
    char buf[24];
    int len = std::snprintf(buf, sizeof buf, "\x1b[%dB", n);
    put(buf, size_t(len));
}

void clear_alternate_screen() {
    if (!state.alternate_screen) return;
    put("\x1b[2J", 4);
    std::fflush(nullptr);
}

bool stdin_is_console() {
    if (in_console < 0) in_console = isatty(in_fd) ? 1 : 0;
    return in_console == 1;
}

void raw_on() {
    if (raw_set || !stdin_is_console()) return;
    if (tcgetattr(in_fd, &saved_mode) != 0) return;
    raw_mode = terminal::raw_of(saved_mode);
    register_restorer();
    // Set before the mode changes: a signal in between still restores.
    raw_set = 1;
    if (tcsetattr(in_fd, TCSANOW, &raw_mode) != 0) raw_set = 0;
}

void raw_off() {
    if (!raw_set) return;
    tcsetattr(in_fd, TCSANOW, &saved_mode);
    raw_set = 0;
}

void terminal_on() {
    if (!state.gui_active && stdin_is_console()) {
        resumed = 0;
        raw_on();
        read_console_size();
        told_columns = state.columns;
        told_rows = state.rows;
        Cell* size = screen_size_slot();
        if (size) pair::make_at(size, state.columns, state.rows);
        state.gui_active = 1;
    }
    // Without a terminal on standard input nobody would answer, and the frames are not drawn.
    if (state.gui_active && !state.full_screen_wanted) ask_cursor_position();
}

void terminal_off() {
    if (!state.gui_active) return;
    raw_off();
    state.gui_active = 0;
}

void enter_full_screen() {
    if (state.full_screen_wanted && !state.alternate_screen) {
        alternate_screen_on();
        state.alternate_screen = 1;
    }
}

void leave_full_screen() {
    if (!state.alternate_screen) return;
    alternate_screen_off();
    state.alternate_screen = 0;
}

void read_console_size() {
    winsize ws{};
    if (ioctl(output::stdout_fd(), TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 && ws.ws_row > 0) {
        state.columns = ws.ws_col;
        state.rows = ws.ws_row;
    } else {
        state.columns = 80;
        state.rows = 24;
    }
}

bool console_size_changed() {
    winsize ws{};
    if (ioctl(output::stdout_fd(), TIOCGWINSZ, &ws) != 0 || ws.ws_col == 0 || ws.ws_row == 0) return false;
    if (told_columns <= 0 || told_rows <= 0) {
        told_columns = state.columns;
        told_rows = state.rows;
    }
    if (ws.ws_col == told_columns && ws.ws_row == told_rows) return false;
    told_columns = ws.ws_col;
    told_rows = ws.ws_row;
    return true;
}

Cell* screen_size_facet() { return screen_size_slot(); }

void set_input_fd(int fd, bool is_console) {
    if (fd < 0) {
        in_fd = 0;
        in_console = -1;
        return;
    }
    in_fd = fd;
    in_console = is_console ? 1 : 0;
}

int input_fd() { return in_fd; }

bool take_resumed() {
    if (!resumed) return false;
    resumed = 0;
    return true;
}

}  // namespace tui
