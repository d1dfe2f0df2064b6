#include "runtime/runtime.h"

#include <unistd.h>

#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "runtime/output.h"
#include "runtime/print.h"

namespace runtime {

SystemRecord sys;

static size_t live_blocks = 0;

static void link_last(HeapBlock* b) {
    b->next = nullptr;
    b->prev = sys.heap_last;
    if (sys.heap_last)
        sys.heap_last->next = b;
    else
        sys.heap_first = b;
    sys.heap_last = b;
}

static void unlink(HeapBlock* b) {
    if (b->prev)
        b->prev->next = b->next;
    else
        sys.heap_first = b->next;
    if (b->next)
        b->next->prev = b->prev;
    else
        sys.heap_last = b->prev;
}

void* try_allocate(size_t n) {
    auto* b = static_cast<HeapBlock*>(std::malloc(n + sizeof(HeapBlock)));
    if (!b) return nullptr;
    b->size = n;
    b->spare = 0;
    link_last(b);
    live_blocks++;
    return b + 1;
}

void* allocate(size_t n) {
    void* p = try_allocate(n);
    if (!p) quit(94, KEL_CALLER_ADDRESS());
    return p;
}

void* allocate_zeroed(size_t n) {
    void* p = allocate(n);
    std::memset(p, 0, n);
    return p;
}

// The header is found from the address itself, so unlinking and resizing are O(1); a foreign
// address would be undefined, which is why `free` still checks membership.
static HeapBlock* header_of(void* p) { return static_cast<HeapBlock*>(p) - 1; }

static bool in_list(HeapBlock* target) {
    for (HeapBlock* b = sys.heap_first; b; b = b->next)
        if (b == target) return true;
    return false;
}

void* try_resize(void* p, size_t n) {
    if (!p) return try_allocate(n);
    if (n == 0) {
        free(p);
        return nullptr;
    }
    HeapBlock* old = header_of(p);
    HeapBlock* prev = old->prev;
    HeapBlock* next = old->next;
    auto* b = static_cast<HeapBlock*>(std::realloc(old, n + sizeof(HeapBlock)));
    if (!b) return nullptr;  // the old block is untouched and still linked
    b->size = n;
    if (prev)
        prev->next = b;
    else
        sys.heap_first = b;
    if (next)
        next->prev = b;
    else
        sys.heap_last = b;
    return b + 1;
}

void* resize(void* p, size_t n) {
    void* q = try_resize(p, n);
    if (!q && n) quit(94, KEL_CALLER_ADDRESS());
    return q;
}

void free(void* p) {
    if (!p) return;
    HeapBlock* b = header_of(p);
    // A second free of the same address finds nothing and does nothing.
    if (!in_list(b)) return;
    unlink(b);
    live_blocks--;
    std::free(b);
}

void free_all() {
    HeapBlock* b = sys.heap_first;
    while (b) {
        HeapBlock* next = b->next;
        std::free(b);
        b = next;
    }
    sys.heap_first = sys.heap_last = nullptr;
    live_blocks = 0;
}

void release_all() { free_all(); }

size_t heap_total() {
    size_t sum = 0;
    for (HeapBlock* b = sys.heap_first; b; b = b->next) sum += b->size + sizeof(HeapBlock);
    return sum;
}

size_t heap_count() { return live_blocks; }

void dump_heap() {
    print_line({Typed::text("-- Heap-allocations --")});
    print_line({Typed::text("Asked   Real")});
    size_t sum = 0;
    for (HeapBlock* b = sys.heap_first; b; b = b->next) {
        print_line({Typed::integer(static_cast<int64_t>(b->size)), Typed::byte('\t'),
                    Typed::integer(static_cast<int64_t>(b->size + sizeof(HeapBlock)))});
        sum += b->size + sizeof(HeapBlock);
    }
    print_line({Typed::text("-- Sum: "), Typed::integer(static_cast<int64_t>(sum)), Typed::text(" --")});
}

void throw_() { throw Throw{sys.thrown}; }

void throw_code(uint32_t code) {
    sys.thrown = code;
    throw Throw{code};
}

const char* error_text(int code) {
    static const char* const low[] = {
        nullptr,
        "access violation",
        "invalid alignment",
        "breakpoint",
        "single step",
        "bounds exceeded",
        "float denormal operan",
        "float divide by zero",
        "float inexact result",
        "float invalid operation",
        "float overflow",
        "float stack check",
        "float underflow",
        "integer divide by zero",
        "integer overflow",
        "privileged instruction",
        "invalid virtual address",
        "illegal instruction",
        "non-continuable exception",
        "stack error or overflow",
        "invalid disposition",
        "guard page",
        "invalid handle",
        "illegal operand",
        "illegal addressing mode",
        "illegal trap",
        "coprocessor error",
        "non-existent physical address",
        "object specific hardware error",
        "hardware memory error consumed AR",
        "hardware memory error consumed AO",
        "privileged register",
        "segmentation fault",
        "FPU error",
        "Bus error",
    };
    if (code >= 1 && code <= 34) return low[code];
    switch (code) {
        case 94: return "out of memory";
        case 95: return "no CATCH for THROW";
        case 98: return "assertion failed";
        case 99: return "unknown error";
        case 100: return "no value matched in CASE";
        case 101: return "no value matched in SWITCH";
        default: return "unknown error code!";
    }
}

// The report of a run-time error, written without the C library's formatting so that a signal
// handler can use it too. Answers its length.
static size_t format_report(char* buf, int code, const void* address) {
    size_t n = 0;
    auto text = [&](const char* t) {
        while (*t) buf[n++] = *t++;
    };
    text("\n*** Runtime Error ");
    // Decimal code; the magnitude is taken in 64 bits so that INT_MIN has one too.
    int64_t v = code;
    if (v < 0) {
        buf[n++] = '-';
        v = -v;
    }
    char digits[24];
    int k = 0;
    do {
        digits[k++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v);
    while (k) buf[n++] = digits[--k];
    text(": ");
    text(error_text(code));
    text("\n*** at: ");
    // The address as eight uppercase hexadecimal digits: the low 32 bits on a 64-bit platform.
    auto addr = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(address));
    for (int shift = 28; shift >= 0; shift -= 4) buf[n++] = "0123456789ABCDEF"[(addr >> shift) & 0xF];
    text("h\n");
    return n;
}

const char* build_date() {
    // __DATE__ is "Mmm dd yyyy" (day padded with a space), __TIME__ "hh:mm:ss".
    static char text[24];
    if (!text[0]) {
        const char* d = __DATE__;
        const char* t = __TIME__;
        int day = (d[4] == ' ' ? 0 : d[4] - '0') * 10 + (d[5] - '0');
        int hour = (t[0] - '0') * 10 + (t[1] - '0');
        std::snprintf(text, sizeof text, "%d-%.3s-%.4s/%d:%.5s", day, d, d + 7, hour, t + 3);
    }
    return text;
}

// The report is longest for the longest message: well below this.
static constexpr size_t kReportSize = 128;

void quit(int code, const void* address) {
    if (code != 0) {
        char buf[kReportSize];
        size_t n = format_report(buf, code, address);
        output::begin_write();
        output::write_bytes(buf, n);
        output::flush();
        output::end_write();
    }
    output::flush();
    output::at_exit();
    release_all();
    _exit(code & 0xFF);
}

void top_catch(uint32_t code) {
    if (code == codes::normal_end) quit(0);
    quit(95, reinterpret_cast<const void*>(&top_catch));
}

void exit_with(int status) {
    output::flush();
    output::at_exit();
    // The process keeps 8 bits of its status: a failure whose low byte is 0 (256, -256) would
    // read as success, so it ends with the highest status instead.
    int code = status & 0xFF;
    _exit(status != 0 && code == 0 ? 255 : code);
}

void quit_from_signal(int code, const void* address) {
    // No allocation and no locks here: the fault may have struck inside the allocator. What the
    // output buffer holds goes out first (it is plain bytes, written with write), then the report.
    char buf[kReportSize];
    size_t n = format_report(buf, code, address);
    output::flush();
    output::write_fd_all(output::stdout_fd(), buf, n);
    output::at_exit_from_signal();
    _exit(code & 0xFF);
}

}  // namespace runtime
