#include "console/terminal.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "datatypes/block.h"
#include "datatypes/string.h"
#include "datatypes/word.h"
#include "evaluator/interpreter.h"
#include "evaluator/natives.h"
#include "loading/lexer.h"
#include "runtime/collector.h"
#include "runtime/output.h"
#include "runtime/runtime.h"
#include "runtime/root.h"
#include "runtime/stack.h"
#include "runtime/unicode.h"

namespace terminal {

// The line being edited and its history, set by _set-buffer-history for the next _read-input.
static int32_t line_slot = -1;
static int32_t history_slot = -1;

static Cell* arg(int i) { return stack::arguments + i; }

static void set_buffer_history() {
    if (line_slot < 0) {
        line_slot = root::keep(arg(0));
        history_slot = root::keep(arg(1));
    } else {
        *root::at(line_slot) = *arg(0);
        *root::at(history_slot) = *arg(1);
    }
    stack::keep();
}

// Reads one byte of standard input; -1 at the end of the input or on a failed read.
static int read_byte() {
    unsigned char c;
    while (true) {
        ssize_t n = ::read(0, &c, 1);
        if (n == 1) return c;
        if (n < 0 && errno == EINTR) continue;
        return -1;
    }
}

// One UTF-8 character of standard input, or -1.
static int32_t read_utf8_char() {
    int b = read_byte();
    if (b < 0) return -1;
    uint8_t bytes[4] = {static_cast<uint8_t>(b), 0, 0, 0};
    uint32_t len = unicode::utf8_lead_size(bytes[0]);
    if (bytes[0] < 0x80) return bytes[0];
    if (len < 2) return -1;
    for (uint32_t i = 1; i < len; i++) {
        int c = read_byte();
        if (c < 0) return -1;
        bytes[i] = static_cast<uint8_t>(c);
    }
    int32_t remaining = static_cast<int32_t>(len);
    return unicode::decode_utf8_checked(bytes, &remaining);
}

// Appends the characters of one line (without its line feed) to a string; false when the input
// ended before any character.
static bool stdin_readline(Node line) {
    bool any = false;
    while (true) {
        int32_t cp = read_utf8_char();
        if (cp < 0) return any;
        any = true;
        if (cp == 10) return true;
        string::append_char(line, static_cast<uint32_t>(cp));
    }
}

// The end of the input at the prompt ends the console as `q` does.
[[noreturn]] static void end_of_input() {
    Cell code;
    lexer::load(&code, "quit");
    collector::Root keep(&code);
    stack::mark_named(stack::body_symbol, FRAME_INTERP_NATIVE);
    interpreter::eval_block(&code, true);
    runtime::exit_with(0);
}

static void read_input() {
    Cell prompt = *arg(0);
    if (isatty(0)) {
        std::string p = string::to_utf8(&prompt);
        output::write_bytes(p.data(), p.size());
        output::flush();
    }
    Node line = root::at(line_slot)->node();
    if (!stdin_readline(line)) end_of_input();
    if (isatty(0) && !isatty(1)) output::write_bytes("\n", 1);
    stack::keep();
}

static void terminate_console() { stack::keep(); }

static void input_stdin() {
    Cell s;
    string::rs_make_at(&s, 256);
    collector::Root keep(&s);
    stdin_readline(s.node());
    *stack::arguments = s;
    stack::keep();
}

static void read_stdin() {
    Cell* buffer = arg(0);
    int32_t len = arg(1)->i1();
    SeriesBuf* b = memory::nodes[buffer->node()];
    uint32_t head = b->head + static_cast<uint32_t>(buffer->index());
    if (len > 0 && head + static_cast<uint32_t>(len) <= b->capacity) {
        ssize_t n;
        do n = ::read(0, b->data() + head, static_cast<size_t>(len));
        while (n < 0 && errno == EINTR);
        if (n > 0) b->tail = head + static_cast<uint32_t>(n);
    }
    stack::keep();
}

// Sets the terminal's title (nothing when standard output is not a terminal) and the console
// size.
static void console_init() {
    if (output::stdout_is_terminal()) {
        std::string title = string::to_utf8(arg(0));
        std::string seq = "\x1b]0;" + title + "\x07";
        output::write_bytes(seq.data(), seq.size());
        output::flush();
    }
    int cols = 80, rows = 50;
    struct winsize ws {};
    if (output::stdout_is_terminal() && ioctl(1, TIOCGWINSZ, &ws) == 0 && ws.ws_col && ws.ws_row) {
        cols = ws.ws_col;
        rows = ws.ws_row;
    }
    Cell w;
    lexer::load(&w, "system/console/size");
    collector::Root keep(&w);
    Cell pair;
    set_cell(&pair, TYPE_PAIR, static_cast<uint32_t>(cols), static_cast<uint32_t>(rows));
    Cell* path = block::rs_head(&w);
    Cell setpath = *path;
    setpath.set_type(TYPE_SET_PATH);
    *block::rs_head(&w) = setpath;
    set_cell(block::alloc_tail(w.node()), TYPE_PAIR, static_cast<uint32_t>(cols), static_cast<uint32_t>(rows));
    stack::mark_named(stack::body_symbol, FRAME_INTERP_NATIVE);
    interpreter::eval_block(&w, true);
    stack::pop_frame();
    stack::keep();
}

void init() {
    routines::register_("set-buffer-history", set_buffer_history);
    routines::register_("read-input", read_input);
    routines::register_("terminate-console", terminate_console);
    routines::register_("input-stdin", input_stdin);
    routines::register_("read-stdin", read_stdin);
    routines::register_("console-init", console_init);
}

}  // namespace terminal
