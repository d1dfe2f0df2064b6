#include "console/terminal.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "console/editor.h"
#include "console/keys.h"
#include "datatypes/context.h"
#include "datatypes/pair.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "evaluator/interpreter.h"
#include "evaluator/natives.h"
#include "runtime/collector.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/output.h"
#include "runtime/runtime.h"
#include "runtime/stack.h"
#include "runtime/unicode.h"
#include "services/process.h"

namespace terminal {

namespace {

constexpr int kIn = 0;  // standard input

bool initialised = false;
bool console = false;

// Raw mode. The handlers read these, so they are set before the mode changes.
termios saved_mode;
termios raw_mode;
volatile sig_atomic_t raw = 0;

volatile sig_atomic_t resized_flag = 0;
volatile sig_atomic_t continued_flag = 0;
void (*volatile continue_call)() = nullptr;

void restore_mode() {
    if (raw) tcsetattr(kIn, TCSANOW, &saved_mode);
}

// Signals that end the process: the terminal is put back first, then the signal takes its
// ordinary course.
void on_end_signal(int signo) {
    output::at_exit_from_signal();
    raw = 0;
    struct sigaction sa{};
    sa.sa_handler = SIG_DFL;
    sigemptyset(&sa.sa_mask);
    sigaction(signo, &sa, nullptr);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signo);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    raise(signo);
}

void on_resize(int) { resized_flag = 1; }

// Back from a stop: the shell has put its own mode on the terminal meanwhile.
void on_continue(int) {
    int saved_errno = errno;
    if (raw) tcsetattr(kIn, TCSANOW, &raw_mode);
    continued_flag = 1;
    if (continue_call) continue_call();
    errno = saved_errno;
}

void install(int signo, void (*handler)(int), bool restart) {
    struct sigaction sa{};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = restart ? SA_RESTART : 0;
    sigaction(signo, &sa, nullptr);
}

// ---- Keys ----

uint8_t key_bytes[2 * keys::kMaxSequence];
size_t key_count = 0;

enum class Wait { ready, timeout, interrupted, gone };

// How often a key wait looks for ended children while some are left.
constexpr int kReapEveryMs = 500;

Wait wait_input(int timeout_ms) {
    pollfd pfd{kIn, POLLIN, 0};
    int r = poll(&pfd, 1, timeout_ms);
    if (r < 0) return errno == EINTR ? Wait::interrupted : Wait::gone;
    if (r == 0) return Wait::timeout;
    return Wait::ready;
}

// Reads what standard input has into the key buffer.
Wait fill_keys() {
    for (;;) {
        ssize_t n = read(kIn, key_bytes + key_count, sizeof key_bytes - key_count);
        if (n > 0) {
            key_count += size_t(n);
            return Wait::ready;
        }
        if (n == 0) return Wait::gone;
        if (errno == EINTR) return Wait::interrupted;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return Wait::timeout;
        return Wait::gone;
    }
}

void take_keys(size_t n) {
    std::memmove(key_bytes, key_bytes + n, key_count - n);
    key_count -= n;
}

// ---- Redirected input ----

// A regular file is read in blocks and the position put back after the bytes not used, so that
// a process started later reads on from the right place; anything else is read a byte at a time
// for the same reason.
int seekable = -1;
uint8_t in_bytes[4096];
size_t in_pos = 0, in_len = 0;
int pushed_back = -1;

// After a read that failed: whether it failed only because standard input was left non-blocking
// by whoever shares it and nothing had come yet. That is not the end of the input: the call
// waits until there is something to read.
bool waited_for_input() {
    if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
    pollfd pfd{kIn, POLLIN, 0};
    return poll(&pfd, 1, -1) >= 0 || errno == EINTR;
}

int read_byte() {
    if (pushed_back >= 0) {
        int b = pushed_back;
        pushed_back = -1;
        return b;
    }
    if (in_pos < in_len) return in_bytes[in_pos++];
    if (seekable < 0) {
        struct stat st;
        seekable = fstat(kIn, &st) == 0 && S_ISREG(st.st_mode) ? 1 : 0;
    }
    for (;;) {
        ssize_t n = read(kIn, in_bytes, seekable ? sizeof in_bytes : 1);
        if (n > 0) {
            in_pos = 1;
            in_len = size_t(n);
            return in_bytes[0];
        }
        if (n < 0 && (errno == EINTR || waited_for_input())) continue;
        return -1;
    }
}

// Gives a file back the bytes read ahead. From a pipe only the byte after a bad character can
// be ahead; it stays for the next read.
void settle_input() {
    if (seekable == 1) {
        size_t ahead = in_len - in_pos + (pushed_back >= 0 ? 1 : 0);
        if (ahead) lseek(kIn, -off_t(ahead), SEEK_CUR);
        pushed_back = -1;
    }
    in_pos = in_len = 0;
    seekable = -1;  // standard input may be another file by the next read
}

// ---- The console object ----

// A field of system/console, or null when the console object is not (yet) there.
Cell* console_slot(const char* field) {
    static int32_t sys_sym = 0, con_sym = 0;
    if (!sys_sym) {
        sys_sym = symbol::make("system");
        con_sym = symbol::make("console");
    }
    Cell* sys = context::value_of_symbol(sys_sym, context::global_node);
    if (!sys || sys->type() != TYPE_OBJECT) return nullptr;
    Cell* con = context::value_of_symbol(con_sym, sys->data1);
    if (!con || con->type() != TYPE_OBJECT) return nullptr;
    return context::value_of_symbol(symbol::make(field), con->data1);
}

Cell* console_size_slot() { return console_slot("size"); }

// Consecutive reads that met the end of the input. The first answers an empty line (or "q" from
// the editor); the second means nobody is there to type: the console ends as `q` would.
int ended_reads = 0;

// Calls a function value with no arguments; an error it raises is dropped.
static void call_quietly(const Cell* fn) {
    if (!fn || !types::any_function(fn->type())) return;
    Cell f = *fn;
    Cell result;
    set_cell(&result, TYPE_NONE);
    collector::Root keep_f(&f);
    collector::Root keep_result(&result);
    stack::Saved saved = stack::save();
    stack::mark_named(stack::body_symbol, FRAME_TRY);
    catch_frame(codes::error, [&] { interpreter::call_with(&result, &f, nullptr, 0); });
    stack::restore(saved);
}

// `quit` saves the settings and ends the process. Should it fail instead, the process ends all
// the same: nobody is there to read its error and try again. A command still waiting for its
// closing bracket is run first, so that its error is shown rather than the text dropped.
[[noreturn]] void end_like_quit(bool at_prompt) {
    if (at_prompt) {
        Cell* buffer = console_slot("buffer");
        if (buffer && buffer->type() == TYPE_STRING && series::total_length(buffer) > 0) call_quietly(console_slot("do-command"));
    }
    call_quietly(context::value_of_symbol(symbol::make("quit"), context::global_node));
    runtime::exit_with(0);
}

// Whether a frame named `name` is on the call-frame stack.
static bool inside_frame_named(const char* name, uint32_t& symbol) {
    if (!symbol) symbol = symbol::make(name);
    for (const Frame* f = stack::ctop - 1; f > stack::cbottom; f--)
        if (f->symbol == symbol) return true;
    return false;
}

// Whether the read comes from code that the console runs (a typed command or the script named on
// the command line, both evaluated by the console's try-do) rather than from its own prompt.
static bool reading_for_code() {
    static uint32_t try_do = 0;
    return inside_frame_named("try-do", try_do);
}

// A terminal that is gone ends the process wherever it is read. The end of redirected input ends
// it only at the prompt: a script that reads past the end gets empty lines and finishes with its
// own output and status. A script that keeps reading long after the end waits for a line that
// can never come: it ends as at the prompt rather than spin for ever.
constexpr int kScriptReadsPastEnd = 10000;

// Whether the read comes from inside a trace handler: the debugger reads once per evaluation
// step, so its reads advance the run and never spin.
static bool reading_for_trace_handler() {
    static uint32_t callback = 0;
    return inside_frame_named("<interp-callback>", callback);
}

void input_ended(bool ended, bool redirected) {
    if (!ended) {
        ended_reads = 0;
        return;
    }
    // A debugging run whose commands ran out steps on to its end, then the script goes on.
    if (redirected && reading_for_trace_handler()) return;
    ++ended_reads;
    bool for_code = reading_for_code();
    // A terminal's end of input is one Ctrl-D, not a lasting state: a second read would wait for
    // more keys. At the prompt the first one ends the console, as the editor's Ctrl-D does.
    bool typed_end = redirected && !for_code && isatty(kIn);
    if (ended_reads < 2 && !typed_end) return;
    if (!(redirected && for_code && ended_reads < kScriptReadsPastEnd)) end_like_quit(!for_code);
}

struct RawScope {
    RawScope() { raw_on(); }
    ~RawScope() { raw_off(); }
};

// Hidden input typed on a terminal while the output goes elsewhere (piped to a log): the line is
// read without the editor, and the terminal's own echo would show it in clear. The echo is off
// for the read, but for the line end, which moves on as after any line. The mode is kept where
// the raw mode is, so the signal handlers and the restorers at exit put the old one back too.
struct EchoOffScope {
    bool set = false;
    explicit EchoOffScope(bool want) {
        if (!want || raw || !isatty(kIn) || tcgetattr(kIn, &saved_mode) != 0) return;
        raw_mode = saved_mode;
        raw_mode.c_lflag = (raw_mode.c_lflag & ~tcflag_t(ECHO | ECHOE | ECHOK)) | ECHONL;
        raw = 1;
        if (tcsetattr(kIn, TCSANOW, &raw_mode) != 0) raw = 0;
        set = raw != 0;
    }
    ~EchoOffScope() {
        if (set) raw_off();
    }
};

// ---- Routines ----

// Each routine leaves its result in the first argument cell.
void routine_set_buffer_history() {
    set_buffer_history(stack::arg(0), stack::arg(1));
    set_cell(stack::arguments, TYPE_UNSET);
    stack::keep();
}

void routine_read_input() {
    Cell prompt = *stack::arg(0);
    bool hidden = stack::arg(1)->type() == TYPE_LOGIC && stack::arg(1)->data1 != 0;
    read_input(&prompt, hidden);
    set_cell(stack::arguments, TYPE_UNSET);
    stack::keep();
}

void routine_terminate_console() {
    set_cell(stack::arguments, TYPE_UNSET);
    stack::keep();
}

void routine_input_stdin() {
    Cell s;
    string::make_at_unit(&s, 256, 1);
    collector::Root keep(&s);
    stdin_readline(s.node());
    *stack::arguments = s;
    stack::keep();
}

void routine_read_stdin() {
    Cell buffer = *stack::arg(0);
    int64_t want = stack::arg(1)->i1();
    set_cell(stack::arguments, TYPE_UNSET);
    stack::keep();
    if (buffer.type() != TYPE_BINARY || want <= 0) return;
    // The binary is not grown: at most the room it has after its tail is filled.
    SeriesBuf* b = memory::nodes[buffer.node()];
    int64_t room = int64_t(b->capacity) - int64_t(b->tail);
    if (want > room) want = room;
    if (want <= 0) return;
    size_t got = 0;
    // Bytes read ahead by the line reader come first.
    if (pushed_back >= 0 && got < size_t(want)) {
        b->data()[b->tail + got++] = uint8_t(pushed_back);
        pushed_back = -1;
    }
    while (in_pos < in_len && got < size_t(want)) b->data()[b->tail + got++] = in_bytes[in_pos++];
    if (got == 0) {
        for (;;) {
            ssize_t n = read(kIn, b->data() + b->tail, size_t(want));
            if (n < 0 && (errno == EINTR || waited_for_input())) continue;
            if (n > 0) got = size_t(n);
            break;
        }
    }
    b->tail += uint32_t(got);
}

void routine_console_init() {
    Cell title = *stack::arg(0);
    console_init(&title);
    set_cell(stack::arguments, TYPE_UNSET);
    stack::keep();
}

// The title of the terminal window is put back as it was when the process ends.
volatile sig_atomic_t title_pushed = 0;
void pop_title() {
    if (title_pushed) output::write_fd_all(output::stdout_fd(), "\x1b[23;0t", 7);
}

}  // namespace

// ---------------------------------------------------------------------------------------------

void start() {
    if (initialised) return;
    initialised = true;
    console = isatty(kIn) && output::stdout_is_terminal();
    output::on_exit(restore_mode, true);
    output::on_exit(pop_title, true);
    // A signal the parent ignores (nohup's hang-up, the keys of a background job of a shell
    // without job control) stays ignored: it must not end the run.
    for (int s : {SIGTERM, SIGHUP, SIGINT, SIGQUIT}) {
        struct sigaction old{};
        if (sigaction(s, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
        install(s, on_end_signal, true);
    }
    // No restart: a key read waiting in poll comes back to follow the new size.
    install(SIGWINCH, on_resize, false);
    install(SIGCONT, on_continue, false);
    int columns, rows;
    if (output::stdout_is_terminal() && window_size(columns, rows)) publish_size(columns, rows);
}

void on_continue_call(void (*fn)()) { continue_call = fn; }

bool is_console() {
    start();
    return console;
}

termios raw_of(const termios& cooked) {
    termios r = cooked;
    r.c_iflag &= ~tcflag_t(BRKINT | ICRNL | INLCR | IGNCR | INPCK | ISTRIP | IXON);
    r.c_lflag &= ~tcflag_t(ECHO | ICANON | IEXTEN | ISIG);
    r.c_cflag |= CS8;
    r.c_cc[VMIN] = 1;
    r.c_cc[VTIME] = 0;
    return r;
}

void raw_on() {
    if (!is_console() || raw) return;
    if (tcgetattr(kIn, &saved_mode) != 0) return;
    raw_mode = raw_of(saved_mode);
    resized_flag = 0;  // the edit reads the size as it starts
    raw = 1;
    if (tcsetattr(kIn, TCSANOW, &raw_mode) != 0) raw = 0;
}

void raw_off() {
    if (!raw) return;
    tcsetattr(kIn, TCSANOW, &saved_mode);
    raw = 0;
}

bool raw_active() { return raw != 0; }

int32_t read_key() {
    for (;;) {
        if (resized_flag) {
            resized_flag = 0;
            return kResized;
        }
        if (continued_flag) {
            continued_flag = 0;
            return kContinued;
        }
        if (key_count > 0) {
            keys::Decoded d = keys::decode(key_bytes, key_count, true);
            if (d.length == 0) {
                // A character's bytes all come: the rest of one is waited for as long as it
                // takes. After an escape character the rest of a sequence follows at once, or
                // the escape was a key of its own.
                int wait = key_bytes[0] != 27 ? -1 : key_count == 1 ? kEscapeWaitMs : kSequenceWaitMs;
                Wait w = wait_input(wait);
                if (w == Wait::ready) {
                    Wait f = fill_keys();
                    if (f == Wait::ready || f == Wait::interrupted) continue;
                }
                if (w == Wait::interrupted) continue;
                d = keys::decode(key_bytes, key_count, false);
            }
            take_keys(d.length);
            if (d.key == 0 || d.shift) continue;
            return d.key;
        }
        // Programs that `call` started without waiting are collected while the user thinks:
        // otherwise one that ended stays a zombie until the next call.
        process::reap();
        Wait w = wait_input(process::unreaped() ? kReapEveryMs : -1);
        if (w == Wait::interrupted || w == Wait::timeout) continue;
        if (w == Wait::gone) return -1;
        Wait f = fill_keys();
        if (f == Wait::gone) return -1;
    }
}

bool window_size(int& columns, int& rows) {
    winsize ws{};
    if ((ioctl(output::stdout_fd(), TIOCGWINSZ, &ws) != 0 || ws.ws_col == 0) &&
        (ioctl(kIn, TIOCGWINSZ, &ws) != 0 || ws.ws_col == 0))
        return false;
    columns = ws.ws_col;
    rows = ws.ws_row;
    return true;
}

void publish_size(int columns, int rows) {
    Cell* slot = console_size_slot();
    if (slot) pair::make_at(slot, columns, rows);
}

int32_t read_utf8_char() {
    int lead = read_byte();
    if (lead < 0) return -1;
    uint8_t bytes[4] = {uint8_t(lead), 0, 0, 0};
    int need = lead < 0x80 ? 1 : (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3 : (lead & 0xF8) == 0xF0 ? 4 : 0;
    if (need == 0) unicode::fire_invalid_utf8(bytes, 1);
    int have = 1;
    while (have < need) {
        int b = read_byte();
        if (b < 0) unicode::fire_invalid_utf8(bytes, have);
        if ((b & 0xC0) != 0x80) {
            // Not part of this character: it starts the next one.
            pushed_back = b;
            unicode::fire_invalid_utf8(bytes, have);
        }
        bytes[have++] = uint8_t(b);
    }
    int32_t remaining = need;
    return unicode::decode_utf8_checked(bytes, &remaining);
}

bool stdin_readline(Node line) {
    bool any = false;
    for (;;) {
        int32_t c;
        try {
            c = read_utf8_char();
        } catch (...) {
            // The line with the bad character is refused whole: what follows it on the line must
            // not come back as a line of its own (the end of a commented-out line would run).
            for (int b = read_byte(); b >= 0 && b != '\n'; b = read_byte()) {
            }
            settle_input();
            throw;
        }
        if (c < 0) break;
        any = true;
        if (c == '\n') break;
        string::append_char(line, uint32_t(c));
    }
    settle_input();
    return any;
}

void set_buffer_history(const Cell* line, const Cell* history) { editor::setup(line, history); }

void read_input(const Cell* prompt, bool hidden) {
    if (is_console()) {
        editor::End end;
        {
            RawScope scope;
            end = editor::edit_line(prompt, hidden);
        }
        output::write_bytes("\n", 1);
        output::flush();
        input_ended(end == editor::End::terminal_gone, false);
        return;
    }
    Cell line = *editor::line_cell();
    collector::Root keep(&line);
    if (!types::any_string(line.type())) return;
    bool read;
    {
        EchoOffScope quiet(hidden);
        read = stdin_readline(line.node());
    }
    input_ended(!read, true);
}

void console_init(const Cell* title) {
    // The title goes only to a terminal; elsewhere there is nothing to name.
    if (output::stdout_is_terminal() && types::any_string(title->type())) {
        std::string text = string::to_utf8(title);
        // The old title is saved once: the one restore at exit must find it, however often the
        // title is set.
        std::string seq = title_pushed ? "\x1b]2;" : "\x1b[22;0t\x1b]2;";
        for (char c : text)
            if (static_cast<unsigned char>(c) >= 32 && c != 127) seq += c;
        seq += '\a';
        output::write_bytes(seq.data(), seq.size());
        output::flush();
        title_pushed = 1;
    }
    start();
    Cell* slot = console_size_slot();
    if (slot && slot->type() == TYPE_PAIR && (pair::x_of(slot) == 0 || pair::y_of(slot) == 0)) pair::make_at(slot, 80, 50);
}

void init() {
    routines::register_("set-buffer-history", routine_set_buffer_history);
    routines::register_("read-input", routine_read_input);
    routines::register_("terminate-console", routine_terminate_console);
    routines::register_("input-stdin", routine_input_stdin);
    routines::register_("read-stdin", routine_read_stdin);
    routines::register_("console-init", routine_console_init);
}

}  // namespace terminal
