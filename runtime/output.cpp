#include "runtime/output.h"

#include <poll.h>
#include <algorithm>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "datatypes/cell.h"
#include "runtime/console.h"
#include "runtime/memory.h"
#include "runtime/print.h"
#include "runtime/runtime.h"
#include "runtime/unicode.h"

namespace output {

static char buffer[kChunk];
static size_t used = 0;
static int out_fd = 1;
static int terminal = -1;  // -1 until known

struct Restorer {
    void (*fn)();
    bool signal_safe;
};
static Restorer restorers[8];
static int restorer_count = 0;

static void (*gui_begin)() = nullptr;
static void (*gui_end)() = nullptr;
static int write_depth = 0;

bool write_fd_all(int fd, const void* bytes, size_t n) {
    auto* p = static_cast<const char*>(bytes);
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                // A descriptor left non-blocking by someone else: wait until it takes more.
                pollfd pfd{fd, POLLOUT, 0};
                if (poll(&pfd, 1, -1) < 0 && errno != EINTR) return false;
                continue;
            }
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Column tracking: the line editor starts its input where the cursor stands and may not ask the
// terminal where that is, so the bytes written to a terminal are followed as the terminal would
// move its cursor. A sequence that moves the cursor somewhere this cannot follow makes the column
// unknown until the next line start.

namespace {
struct ColumnTracker {
    int64_t column = 0;  // cells since the line start, or -1
    int state = 0;       // 0 text, 1 after ESC, 2 in CSI, 3 in a string command, 4 ESC in one
    uint32_t params[2] = {0, 0};
    int param = 0;
    uint32_t cp = 0;     // UTF-8 character being gathered
    int more = 0;        // continuation bytes it still needs

    void advance(int64_t cells) {
        if (column >= 0) column += cells;
    }

    void csi_final(uint8_t b) {
        uint32_t n = params[0] ? params[0] : 1;
        switch (b) {
            case 'm': case 'K': case 'J': case 'A': case 'B': case 'h': case 'l': case 'X': case 'n': case 't': break;
            case 'C': advance(n); break;
            case 'D':
                if (column >= 0) column = column > int64_t(n) ? column - n : 0;
                break;
            case 'G': case '`': column = int64_t(n) - 1; break;
            case 'E': case 'F': column = 0; break;
            case 'H': case 'f': column = params[1] ? int64_t(params[1]) - 1 : 0; break;
            default: column = -1; break;
        }
    }

    void feed(const uint8_t* p, size_t n) {
        for (size_t i = 0; i < n; i++) {
            uint8_t b = p[i];
            switch (state) {
                case 1:
                    if (b == '[') {
                        state = 2;
                        params[0] = params[1] = 0;
                        param = 0;
                    } else if (b == ']' || b == 'P' || b == '_' || b == '^' || b == 'X') {
                        state = 3;
                    } else {
                        state = 0;
                        if (b == 'E') column = 0;
                        else if (b == '8') column = -1;  // restores a cursor saved somewhere else
                    }
                    continue;
                case 2:
                    if (b >= '0' && b <= '9') {
                        if (param < 2 && params[param] < 100000) params[param] = params[param] * 10 + (b - '0');
                    } else if (b == ';') {
                        param++;
                    } else if (b >= 0x40 && b <= 0x7E) {
                        state = 0;
                        csi_final(b);
                    } else if (b < 0x20 || b > 0x7E) {
                        state = 0;
                        column = -1;
                    }
                    continue;
                case 3:
                    if (b == 7) state = 0;
                    else if (b == 27) state = 4;
                    continue;
                case 4:
                    state = b == '\\' ? 0 : 3;
                    continue;
                default: break;
            }
            if (more > 0) {
                if ((b & 0xC0) == 0x80) {
                    cp = (cp << 6) | (b & 0x3F);
                    if (--more == 0) advance(unicode::char_width(cp));
                    continue;
                }
                more = 0;
                advance(1);  // a cut character shows as one replacement cell
            }
            if (b >= 0xC0) {
                more = b >= 0xF0 ? 3 : b >= 0xE0 ? 2 : 1;
                cp = b & (0x3F >> more);
            } else if (b == '\n' || b == '\r') {
                column = 0;
            } else if (b == 27) {
                state = 1;
            } else if (b == '\b') {
                if (column > 0) column--;
            } else if (b == '\t') {
                if (column >= 0) column = (column / 8 + 1) * 8;
            } else if (b >= 0x20 && b != 0x7F) {
                advance(1);  // a stray continuation byte shows as one replacement cell
            }
        }
    }
};
ColumnTracker tracker;
}  // namespace

int64_t column() { return tracker.column; }

// Standard output that takes no more bytes (its reader went away, the device is full, the
// terminal hung up) ends the process: what the script prints from then on would be lost without a
// word, the run would still end as a success, and a script printing in a loop would never end. A
// reader that went away ends it quietly with the status of the signal that the run-time ignores
// (for its sockets and child pipes); any other failure is told on standard error.
[[noreturn]] static void stdout_lost(int err) {
    used = 0;
    if (err != EPIPE) {
        char text[160];
        int n = std::snprintf(text, sizeof text, "*** Output error: %s\n", std::strerror(err));
        if (n > 0) write_fd_all(2, text, std::min(size_t(n), sizeof text - 1));
    }
    for (int i = restorer_count - 1; i >= 0; i--) restorers[i].fn();
    _exit(err == EPIPE ? 141 : 1);
}

// Every byte for standard output passes here on its way out.
static void write_out(const char* p, size_t n) {
    if (stdout_is_terminal()) tracker.feed(reinterpret_cast<const uint8_t*>(p), n);
    if (!write_fd_all(out_fd, p, n)) stdout_lost(errno);
}

// Writes in chunks of at most kChunk bytes.
static void write_chunked(const char* p, size_t n) {
    while (n > 0) {
        size_t k = n < kChunk ? n : kChunk;
        write_out(p, k);
        p += k;
        n -= k;
    }
}

void set_stdout(int fd, bool is_terminal) {
    flush();
    out_fd = fd;
    terminal = is_terminal ? 1 : 0;
    tracker = ColumnTracker{};
}

int stdout_fd() { return out_fd; }

bool stdout_is_terminal() {
    if (terminal < 0) terminal = isatty(out_fd) ? 1 : 0;
    return terminal == 1;
}

void flush() {
    if (used) write_out(buffer, used);
    used = 0;
}

void write_bytes(const char* bytes, size_t n) {
    if (used + n > kChunk) {
        flush();
        if (n >= kChunk) {
            write_chunked(bytes, n);
            return;
        }
    }
    std::memcpy(buffer + used, bytes, n);
    used += n;
}

void write_text(const char* text) { write_bytes(text, std::strlen(text)); }

void write_raw(const char* bytes, size_t n) {
    flush();
    write_chunked(bytes, n);
}

void write_err(const char* bytes, size_t n) {
    flush();
    write_fd_all(2, bytes, n);
}

void err_text(const char* text) { write_err(text, std::strlen(text)); }

void set_print_brackets(void (*begin)(), void (*end)()) {
    gui_begin = begin;
    gui_end = end;
}

void begin_write() {
    if (write_depth++ == 0 && gui_begin) gui_begin();
}

void end_write() {
    if (write_depth > 0 && --write_depth == 0 && gui_end) gui_end();
}

void on_exit(void (*restore)(), bool signal_safe) {
    if (restorer_count < 8) restorers[restorer_count++] = {restore, signal_safe};
}

void at_exit() {
    flush();
    for (int i = restorer_count - 1; i >= 0; i--) restorers[i].fn();
}

void at_exit_from_signal() {
    for (int i = restorer_count - 1; i >= 0; i--)
        if (restorers[i].signal_safe) restorers[i].fn();
}

// ---------------------------------------------------------------------------------------------
// Hooks: two lists in tracked heap blocks, grown by kHookStep entries when full.

constexpr int kHookStep = 5;

// A walk of a hook list in progress. A hook may remove hooks while it runs: the walks then step
// back over the removed entry, so that no later hook misses the text.
struct HookWalk {
    int next;
    HookWalk* outer;
};

template <class F>
struct HookList {
    F* items = nullptr;
    int count = 0;
    int capacity = 0;
    HookWalk* walks = nullptr;  // innermost first: hooks may print, and so walk the list again

    template <class... A>
    void call(A... args) {
        HookWalk walk{0, walks};
        walks = &walk;
        struct Pop {
            HookList* list;
            HookWalk* walk;
            ~Pop() { list->walks = walk->outer; }
        } pop{this, &walk};
        // The list is read afresh on every step: a hook may add or remove hooks while it runs.
        while (walk.next < count) items[walk.next++](args...);
    }
};

static HookList<StringHook> string_hooks;
static HookList<TextHook> text_hooks;
static bool initialised = false;

template <class F>
static void append_hook(HookList<F>& list, F f) {
    if (list.count == list.capacity) {
        auto* grown = static_cast<F*>(runtime::allocate(sizeof(F) * size_t(list.capacity + kHookStep)));
        if (list.count) std::memcpy(grown, list.items, sizeof(F) * size_t(list.count));
        if (list.items) runtime::free(list.items);
        list.items = grown;
        list.capacity += kHookStep;
    }
    list.items[list.count++] = f;
}

template <class F>
static void remove_hook(HookList<F>& list, F f) {
    if (!f) return;
    for (int i = 0; i < list.count; i++) {
        if (list.items[i] != f) continue;
        std::memmove(list.items + i, list.items + i + 1, sizeof(F) * size_t(list.count - i - 1));
        list.count--;
        for (HookWalk* w = list.walks; w; w = w->outer)
            if (w->next > i) w->next--;
        return;
    }
}

void init() {
    if (initialised) return;
    string_hooks.items = static_cast<StringHook*>(runtime::allocate(sizeof(StringHook) * kHookStep));
    string_hooks.capacity = kHookStep;
    text_hooks.items = static_cast<TextHook*>(runtime::allocate(sizeof(TextHook) * kHookStep));
    text_hooks.capacity = kHookStep;
    initialised = true;
    add_hooks(print_string, nullptr);
}

void add_hooks(StringHook string_hook, TextHook text_hook) {
    if (string_hook) append_hook(string_hooks, string_hook);
    if (text_hook) append_hook(text_hooks, text_hook);
}

void remove_hooks(StringHook string_hook, TextHook text_hook) {
    remove_hook(string_hooks, string_hook);
    remove_hook(text_hooks, text_hook);
}

void call_hooks(const Cell* string, bool line_end) { string_hooks.call(string, line_end); }

void call_hooks_3(const char* text, size_t length, int flag) { text_hooks.call(text, length, flag); }

int string_hook_count() { return string_hooks.count; }
int string_hook_capacity() { return string_hooks.capacity; }
int text_hook_count() { return text_hooks.count; }
int text_hook_capacity() { return text_hooks.capacity; }

namespace {
// Keeps the terminal GUI's brackets balanced when a write raises an error.
struct WriteBracket {
    WriteBracket() { begin_write(); }
    ~WriteBracket() { end_write(); }
};
}  // namespace

void print_string(const Cell* string, bool line_end) {
    WriteBracket bracket;
    // The buffer is fetched after the GUI's bracket, which might move it.
    SeriesBuf* s = memory::nodes[string->node()];
    uint32_t unit = s->unit();
    if (unit != 1 && unit != 2 && unit != 4) {
        print_line({Typed::text("Error: unknown string encoding: "), Typed::integer(unit)});
        return;
    }
    // The value's index may lie past a tail that shrank since: print nothing then.
    uint64_t start = uint64_t(s->head) + uint64_t(uint32_t(string->index() < 0 ? 0 : string->index())) * unit;
    size_t bytes = start < s->tail ? size_t(s->tail - start) : 0;
    const uint8_t* text = s->data() + (start < s->tail ? start : s->tail);
    switch (unit) {
        case 1: line_end ? print::latin1_line(text, bytes) : print::latin1(text, bytes); break;
        case 2: line_end ? print::ucs2_line(text, bytes) : print::ucs2(text, bytes); break;
        default: line_end ? print::ucs4_line(text, bytes) : print::ucs4(text, bytes); break;
    }
    flush();
    std::fflush(stdout);  // in case anything else wrote through the C library
}

}  // namespace output
