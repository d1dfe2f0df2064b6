#include "runtime/console.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <type_traits>

#include "datatypes/cell.h"
#include "runtime/fire.h"
#include "runtime/output.h"
#include "runtime/print.h"
#include "runtime/runtime.h"

static_assert(std::endian::native == std::endian::little, "string units are read as little-endian");

namespace console {

static uint32_t current_attr = attr::initial;
static uint32_t default_attr = attr::initial;
static bool initialised = false;

// ---------------------------------------------------------------------------------------------
// Units and UTF-8

template <int U>
static inline uint32_t load(const uint8_t* p) {
    if constexpr (U == 1) {
        return *p;
    } else if constexpr (U == 2) {
        uint16_t v;
        std::memcpy(&v, p, 2);
        return v;
    } else {
        uint32_t v;
        std::memcpy(&v, p, 4);
        return v;
    }
}

// Standard UTF-8 form of a codepoint up to 0x10FFFF (surrogate values are encoded as they are),
// except that 0xDC80-0xDCFF, which stand for the bytes of a name from the system that is not
// UTF-8 (string::append_os), are those bytes again: a printed file name names the file.
static inline size_t put_utf8(uint32_t c, char* o) {
    if (c < 0x80 || (c >= 0xDC80 && c <= 0xDCFF)) {
        o[0] = char(c < 0x80 ? c : c - 0xDC00);
        return 1;
    }
    if (c < 0x800) {
        o[0] = char(0xC0 | (c >> 6));
        o[1] = char(0x80 | (c & 0x3F));
        return 2;
    }
    if (c < 0x10000) {
        o[0] = char(0xE0 | (c >> 12));
        o[1] = char(0x80 | ((c >> 6) & 0x3F));
        o[2] = char(0x80 | (c & 0x3F));
        return 3;
    }
    o[0] = char(0xF0 | (c >> 18));
    o[1] = char(0x80 | ((c >> 12) & 0x3F));
    o[2] = char(0x80 | ((c >> 6) & 0x3F));
    o[3] = char(0x80 | (c & 0x3F));
    return 4;
}

[[noreturn]] static void bad_unit() { runtime::quit(101, KEL_CALLER_ADDRESS()); }

// ---------------------------------------------------------------------------------------------
// Terminal queries

static bool real_size(int& columns, int& rows) {
    winsize ws{};
    if (ioctl(output::stdout_fd(), TIOCGWINSZ, &ws) != 0 || ws.ws_col == 0 || ws.ws_row == 0) return false;
    columns = ws.ws_col;
    rows = ws.ws_row;
    return true;
}

// State of a cursor-position query in progress, for the restorer that runs on a fatal signal.
static int query_fd = -1;
static termios query_saved;
static volatile sig_atomic_t query_active = 0;
// A terminal that once failed to answer is not asked again: every question would cost the wait.
static bool cursor_unanswered = false;
constexpr int kReportWaitMs = 500;

static void restore_query_mode() {
    if (query_active) tcsetattr(query_fd, TCSANOW, &query_saved);
}

static long elapsed_ms(const timespec& since) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return long(now.tv_sec - since.tv_sec) * 1000 + (now.tv_nsec - since.tv_nsec) / 1000000;
}

// Reads the reply ESC [ row ; column R byte by byte, so that input after it stays unread. Bytes
// before it (keys typed ahead) are dropped.
static bool read_cursor_report(int fd, int& column, int& row) {
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    int state = 0;  // 0 wait ESC, 1 wait '[', 2 row digits, 3 column digits
    long r = 0, c = 0;
    for (int budget = 256; budget > 0;) {
        long left = kReportWaitMs - elapsed_ms(start);
        if (left <= 0) return false;
        pollfd pfd{fd, POLLIN, 0};
        int ready = poll(&pfd, 1, int(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        unsigned char b;
        ssize_t got = read(fd, &b, 1);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        budget--;
        if (b == 0x1B) {
            state = 1;
            continue;
        }
        switch (state) {
            case 1: state = b == '[' ? 2 : 0; r = c = 0; break;
            case 2:
                if (b >= '0' && b <= '9' && r < 100000) r = r * 10 + (b - '0');
                else state = b == ';' ? 3 : 0;
                break;
            case 3:
                if (b >= '0' && b <= '9' && c < 100000) {
                    c = c * 10 + (b - '0');
                } else if (b == 'R' && r > 0 && c > 0) {
                    row = int(r - 1);
                    column = int(c - 1);
                    return true;
                } else {
                    state = 0;
                }
                break;
            default: break;
        }
    }
    return false;
}

static bool real_cursor(int& column, int& row) {
    if (cursor_unanswered) return false;
    output::flush();
    char name[256];
    if (ttyname_r(output::stdout_fd(), name, sizeof name) != 0) return false;
    int fd = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = false;
    termios saved;
    // A process in the background would be stopped by the mode change: ask only in front.
    if (tcgetpgrp(fd) == getpgrp() && tcgetattr(fd, &saved) == 0) {
        termios quiet = saved;
        quiet.c_lflag &= ~tcflag_t(ICANON | ECHO);
        quiet.c_cc[VMIN] = 0;
        quiet.c_cc[VTIME] = 0;
        query_saved = saved;
        query_fd = fd;
        query_active = 1;
        if (tcsetattr(fd, TCSANOW, &quiet) == 0) {
            ok = output::write_fd_all(fd, "\x1b[6n", 4) && read_cursor_report(fd, column, row);
            tcsetattr(fd, TCSANOW, &saved);
        }
        query_active = 0;
        if (!ok) cursor_unanswered = true;
    }
    close(fd);
    return ok;
}

static const TerminalQueries real_queries{real_size, real_cursor};
static const TerminalQueries* queries = &real_queries;

void set_terminal_queries(const TerminalQueries* q) {
    queries = q ? q : &real_queries;
    cursor_unanswered = false;
}

// ---------------------------------------------------------------------------------------------
// Attributes

// Console colour bits are blue 1, green 2, red 4; ANSI colour numbers are red 1, green 2, blue 4.
static inline uint32_t ansi_colour(uint32_t bits) { return ((bits & 1) << 2) | (bits & 2) | ((bits & 4) >> 2); }

static char* put_number(char* o, uint32_t n) {
    char digits[10];
    int k = 0;
    do {
        digits[k++] = char('0' + n % 10);
        n /= 10;
    } while (n);
    while (k) *o++ = digits[--k];
    return o;
}

size_t vt_attribute(uint32_t a, char* out) {
    // Colours equal to the default attributes' show as the terminal's own default colours.
    char* o = out;
    *o++ = '\x1b';
    *o++ = '[';
    *o++ = '0';
    uint32_t fg = a & 0x0F, bg = (a >> 4) & 0x0F;
    if (fg != (default_attr & 0x0F)) {
        *o++ = ';';
        o = put_number(o, ((fg & 8) ? 90 : 30) + ansi_colour(fg));
    }
    if (bg != ((default_attr >> 4) & 0x0F)) {
        *o++ = ';';
        o = put_number(o, ((bg & 8) ? 100 : 40) + ansi_colour(bg));
    }
    if (a & attr::underscore) {
        *o++ = ';';
        *o++ = '4';
    }
    *o++ = 'm';
    return size_t(o - out);
}

uint32_t sgr_attribute(uint32_t a, uint32_t n) {
    static constexpr uint8_t colour_bits[8] = {0, 4, 2, 6, 1, 5, 3, 7};
    if (n == 0) return default_attr;
    if (n == 1) return a | attr::fg_intensity | attr::bg_intensity;
    if (n == 4) return a | attr::underscore;
    if (n == 7) return ((a & 0x0F) << 4) | ((a & 0xF0) >> 4);
    if (n >= 30 && n <= 37) return (a & 0xF8) | colour_bits[n - 30];
    if (n >= 40 && n <= 47) return (a & 0x8F) | (uint32_t(colour_bits[n - 40]) << 4);
    // 39 and 49 select the default colour of their plane, as the parameters mean everywhere else.
    if (n == 39) return (a & ~0x0Fu) | (default_attr & 0x0F);
    if (n == 49) return (a & ~0xF0u) | (default_attr & 0xF0);
    return n;  // a raw console attribute
}

uint32_t attributes() { return current_attr; }
uint32_t default_attributes() { return default_attr; }

void save_attributes() { default_attr = current_attr; }

// Leaves the terminal in its own colours, whatever the last printed sequence set.
static void reset_attributes_at_exit() {
    if (output::stdout_is_terminal() && current_attr != default_attr) output::write_fd_all(output::stdout_fd(), "\x1b[0m", 4);
}

void init_output() {
    int fd = output::stdout_fd();
    output::set_stdout(fd, isatty(fd) != 0);
    if (initialised) return;
    initialised = true;
    output::on_exit(restore_query_mode, true);
    output::on_exit(reset_attributes_at_exit, true);
}

// ---------------------------------------------------------------------------------------------
// Sequences

namespace {

enum class Op {
    none,
    save,
    restore,
    home,
    erase_from_row,   // J
    erase_to_eol,     // K
    report,           // ?
    set_attr,         // m
    up,
    down,
    right,
    left,
    erase_above,      // 1J
    erase_all,        // 2J
    erase_row_start,  // 1K
    erase_row,        // 2K
    move_to,          // p ; q H
};

struct Parsed {
    size_t units;  // consumed, from the ESC on; 0 when the ESC starts no sequence
    Op op;
    uint32_t p, q;
    uint32_t attr;
};

template <int U>
Parsed parse(const uint8_t* t, size_t n) {
    if (n < 2 || load<U>(t + U) != '[') return {0, Op::none, 0, 0, 0};
    int state = 1;
    uint32_t p = 0, q = 0;
    bool attr_read = false;
    uint32_t kept = 0;
    auto read_attr = [&] {
        if (!attr_read) kept = current_attr;
        attr_read = true;
    };
    for (size_t i = 2; i < n; i++) {
        uint32_t c = load<U>(t + size_t(i) * U);
        size_t used = i + 1;
        bool digit = c >= '0' && c <= '9';
        switch (state) {
            case 1:
                if (digit) {
                    p = c - '0';
                    state = 2;
                    continue;
                }
                switch (c) {
                    case ';': continue;
                    case 's': return {used, Op::save, 0, 0, 0};
                    case 'u': return {used, Op::restore, 0, 0, 0};
                    case 'H':
                    case 'f': return {used, Op::home, 0, 0, 0};
                    case 'J': return {used, Op::erase_from_row, 0, 0, 0};
                    case 'K': return {used, Op::erase_to_eol, 0, 0, 0};
                    case '?': return {used, Op::report, 0, 0, 0};
                    case 'm': return {used, attr_read ? Op::set_attr : Op::none, 0, 0, kept};
                    default: return {used, Op::none, 0, 0, 0};
                }
            case 2:
                if (digit) {
                    p = (p * 10 + (c - '0')) % 65535;
                    continue;
                }
                switch (c) {
                    case ';': state = 3; continue;
                    case 'm': read_attr(); return {used, Op::set_attr, 0, 0, sgr_attribute(kept, p)};
                    case 'A': return {used, Op::up, p, 0, 0};
                    case 'B': return {used, Op::down, p, 0, 0};
                    case 'C': return {used, Op::right, p, 0, 0};
                    case 'D': return {used, Op::left, p, 0, 0};
                    case 'J': return {used, p == 1 ? Op::erase_above : p == 2 ? Op::erase_all : Op::none, 0, 0, 0};
                    case 'K': return {used, p == 1 ? Op::erase_row_start : p == 2 ? Op::erase_row : Op::none, 0, 0, 0};
                    default: return {used, Op::none, 0, 0, 0};
                }
            case 3:
                if (digit) {
                    q = c - '0';
                    state = 4;
                    continue;
                }
                if (c == ';') continue;
                return {used, Op::none, 0, 0, 0};
            default:  // 4
                if (digit) {
                    q = (q * 10 + (c - '0')) % 65535;
                    continue;
                }
                switch (c) {
                    case ';':
                        read_attr();
                        kept = sgr_attribute(sgr_attribute(kept, p), q);
                        p = q = 0;
                        state = 1;
                        continue;
                    case 'm':
                        read_attr();
                        return {used, Op::set_attr, 0, 0, sgr_attribute(sgr_attribute(kept, p), q)};
                    case 'H':
                    case 'f': return {used, Op::move_to, p, q, 0};
                    default: return {used, Op::none, 0, 0, 0};
                }
        }
    }
    // Cut off by the end of the text: everything is taken, nothing is done.
    return {n, Op::none, 0, 0, 0};
}

// Collects the VT bytes of one sequence.
struct Emit {
    char buf[128];
    size_t n = 0;
    Emit& s(const char* t) {
        size_t k = std::strlen(t);
        std::memcpy(buf + n, t, k);
        n += k;
        return *this;
    }
    Emit& num(uint32_t v) {
        n = size_t(put_number(buf + n, v) - buf);
        return *this;
    }
    Emit& attr(uint32_t a) {
        n += vt_attribute(a, buf + n);
        return *this;
    }
    const char* c_str() {
        buf[n] = 0;
        return buf;
    }
};

// Terminals erase with the current background; the console erases with the default attributes.
void erase_with_defaults(Emit& e, const char* erase) {
    if (current_attr == default_attr) {
        e.s(erase);
        return;
    }
    e.s("\x1b[0m").s(erase).attr(current_attr);
}

void report() {
    int w = 0, h = 0, col = 0, row = 0;
    if (!queries->size(w, h)) w = h = 0;
    if (!queries->cursor(col, row)) col = row = 0;
    int right = w > 0 ? w - 1 : 0, bottom = h > 0 ? h - 1 : 0;
    print_line({Typed::text("Screen buffer info:")});
    print_line({Typed::text("   size______ "), Typed::integer(w), Typed::text("x"), Typed::integer(h)});
    print_line({Typed::text("   cursor____ "), Typed::integer(col), Typed::text("x"), Typed::integer(row)});
    print_line({Typed::text("   attribute_ "), Typed::hex(current_attr), Typed::text(" "), Typed::hex(default_attr)});
    print_line({Typed::text("   left______ "), Typed::integer(0), Typed::text(" top: "), Typed::integer(0)});
    print_line({Typed::text("   right_____ "), Typed::integer(right), Typed::text(" bottom: "), Typed::integer(bottom)});
    print_line({Typed::text("   max_______ "), Typed::integer(w), Typed::text("x"), Typed::integer(h)});
}

void perform(const Parsed& a) {
    Emit e;
    int col = 0, row = 0;
    switch (a.op) {
        case Op::none: return;
        case Op::save: e.s("\x1b[s"); break;
        case Op::restore: e.s("\x1b[u"); break;
        case Op::home: e.s("\x1b[H"); break;
        case Op::erase_from_row: erase_with_defaults(e, "\x1b[2K\x1b[J"); break;
        case Op::erase_to_eol: erase_with_defaults(e, "\x1b[K"); break;
        case Op::report: report(); return;
        case Op::set_attr:
            current_attr = a.attr;
            e.attr(current_attr);
            break;
        case Op::up:
        case Op::down:
        case Op::right:
        case Op::left:
            // A count of 0 moves nothing here, while VT reads it as 1.
            if (a.p == 0) return;
            e.s("\x1b[").num(a.p).s(a.op == Op::up ? "A" : a.op == Op::down ? "B" : a.op == Op::right ? "C" : "D");
            break;
        case Op::erase_above:
            // VT erases from the origin through the cursor; the rows above end at the previous row's
            // last column. Row 0 has no rows above.
            if (queries->cursor(col, row)) {
                if (row == 0) return;
                Emit inner;
                inner.s("\x1b[").num(uint32_t(row)).s(";9999H\x1b[1J\x1b[").num(uint32_t(row) + 1).s(";").num(uint32_t(col) + 1).s("H");
                erase_with_defaults(e, inner.c_str());
            } else {
                erase_with_defaults(e, "\x1b" "7\x1b[A\x1b[9999C\x1b[1J\x1b" "8");
            }
            break;
        case Op::erase_all:
            erase_with_defaults(e, "\x1b[2J");
            e.s("\x1b[H");
            break;
        case Op::erase_row_start:
            // The cells before the cursor, not the one under it; then the cursor to the row start.
            if (queries->cursor(col, row)) {
                e.s("\r");
                if (col == 0) break;
                Emit inner;
                erase_with_defaults(e, inner.s("\x1b[").num(uint32_t(col)).s("X").c_str());
            } else {
                erase_with_defaults(e, "\x1b[1K");
                e.s("\r");
            }
            break;
        case Op::erase_row:
            erase_with_defaults(e, "\x1b[2K");
            e.s("\r");
            break;
        case Op::move_to:
            // Column first and 0-based here; VT takes row first, 1-based.
            e.s("\x1b[").num(a.q + 1).s(";").num(a.p + 1).s("H");
            break;
    }
    output::write_bytes(e.buf, e.n);
    output::flush();
}

template <int U>
size_t sequence(const uint8_t* t, size_t units) {
    Parsed a = parse<U>(t, units);
    if (a.units) perform(a);
    return a.units * U;
}

// A codepoint past Unicode: what precedes it goes out, then the error.
[[noreturn]] void beyond_unicode(char* chunk, size_t k, uint32_t c) {
    if (k) output::write_raw(chunk, k);
    Cell arg;
    set_cell(&arg, TYPE_INTEGER, c);
    fire(err::script::invalid_char, &arg);
}

// Up to this many codepoints go out in one write on the terminal.
constexpr unsigned kTerminalChunk = 510;

template <int U>
void ansi_units(const uint8_t* t, size_t n, bool line_end) {
    char chunk[kTerminalChunk * 4 + 8];
    size_t k = 0;
    unsigned pending = 0;
    size_t i = 0;
    while (i < n) {
        uint32_t c = load<U>(t + i * U);
        if (c == 0x1B) {
            if (k) output::write_raw(chunk, k);
            k = 0;
            pending = 0;
            size_t used = sequence<U>(t + i * U, n - i) / U;
            if (used) {
                i += used;
                continue;
            }
        }
        if (U == 4 && c > 0x10FFFF) beyond_unicode(chunk, k, c);
        k += put_utf8(c, chunk + k);
        i++;
        if (++pending == kTerminalChunk) {
            output::write_raw(chunk, k);
            k = 0;
            pending = 0;
        }
    }
    if (line_end) chunk[k++] = '\n';
    if (k) output::write_raw(chunk, k);
}

// Redirected output goes out once more than this many bytes are pending; the longest encoding
// still fits in the 1024-byte chunk.
constexpr size_t kStreamFlushAt = 1020;

template <int U>
void utf8_units(const uint8_t* t, size_t n, bool line_end) {
    char chunk[output::kChunk + 8];
    size_t k = 0;
    for (size_t i = 0; i < n; i++) {
        uint32_t c = load<U>(t + i * U);
        if (c < 0x80) {
            chunk[k++] = char(c);
        } else {
            if (U == 4 && c > 0x10FFFF) beyond_unicode(chunk, k, c);
            k += put_utf8(c, chunk + k);
        }
        if (k > kStreamFlushAt) {
            output::write_raw(chunk, k);
            k = 0;
        }
    }
    if (line_end) chunk[k++] = '\n';
    if (k) output::write_raw(chunk, k);
}

// Calls f with the unit width as a constant (std::integral_constant) and the count of whole units
// in bytes.
template <typename F>
decltype(auto) by_unit(int unit, size_t bytes, F f) {
    switch (unit) {
        case 1: return f(std::integral_constant<int, 1>{}, bytes);
        case 2: return f(std::integral_constant<int, 2>{}, bytes / 2);
        case 4: return f(std::integral_constant<int, 4>{}, bytes / 4);
        default: bad_unit();
    }
}

}  // namespace

size_t ansi_sequence(const void* text, size_t bytes, int unit) {
    auto* t = static_cast<const uint8_t*>(text);
    return by_unit(unit, bytes, [t](auto u, size_t n) { return sequence<u>(t, n); });
}

void write_ansi(const void* text, size_t bytes, int unit, bool line_end) {
    auto* t = static_cast<const uint8_t*>(text);
    by_unit(unit, bytes, [=](auto u, size_t n) { ansi_units<u>(t, n, line_end); });
}

void write_utf8(const void* text, size_t bytes, int unit, bool line_end) {
    auto* t = static_cast<const uint8_t*>(text);
    by_unit(unit, bytes, [=](auto u, size_t n) { utf8_units<u>(t, n, line_end); });
}

void print_ucs(const void* text, size_t bytes, int unit, bool line_end) {
    if (output::stdout_is_terminal() && unit != 4)
        write_ansi(text, bytes, unit, line_end);
    else
        write_utf8(text, bytes, unit, line_end);
}

void put_wchar(uint32_t codepoint) { write_utf8(&codepoint, 4, 4, false); }

}  // namespace console
