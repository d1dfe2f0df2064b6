#include "runtime/platform.h"

#include <malloc.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "runtime/console.h"
#include "runtime/output.h"
#include "runtime/runtime.h"

namespace platform {

const char* stack_limit = nullptr;

static char* thread_stack_low = nullptr;   // lowest address of the interpreter thread's stack
static size_t thread_stack_size = 0;

static constexpr size_t kInterpreterStack = size_t(1) << 30;  // 1 GiB reserved
// The least native stack the system starts and runs a session on, its deepest walks refused as
// stack-overflow errors: below it start-up or the settings saved at quit ran off the end. The
// main thread has a few KB less than its limit (ulimit -s), taken by the arguments and
// environment.
#ifdef KEL_SANITIZE
static constexpr size_t kLeastStack = size_t(224) << 10;  // instrumented frames are larger
#else
static constexpr size_t kLeastStack = size_t(56) << 10;
#endif

void get_args(int argc, char** argv) {
    auto** list = static_cast<char**>(runtime::allocate(sizeof(char*) * (argc + 1)));
    // Kept as the bytes they are (not always UTF-8: a file name in another encoding); they become
    // strings by string::load_os_at, which loses none of them.
    for (int i = 0; i < argc; i++) {
        size_t n = std::strlen(argv[i]);
        list[i] = static_cast<char*>(runtime::allocate(n + 1));
        std::memcpy(list[i], argv[i], n + 1);
    }
    list[argc] = nullptr;
    runtime::sys.argc = argc;
    runtime::sys.argv = list;
}

int fault_code(int signo, int code, bool stack_fault) {
    if (stack_fault) return 19;
    switch (signo) {
        case SIGSEGV:
            switch (code) {
                case SEGV_MAPERR: return 1;
                case SEGV_ACCERR: return 1;
#ifdef SEGV_BNDERR
                case SEGV_BNDERR: return 5;
#endif
                default: return 32;
            }
        case SIGBUS:
            switch (code) {
                case BUS_ADRALN: return 2;
                case BUS_ADRERR: return 27;
                case BUS_OBJERR: return 28;
#ifdef BUS_MCEERR_AR
                case BUS_MCEERR_AR: return 29;
                case BUS_MCEERR_AO: return 30;
#endif
                default: return 34;
            }
        case SIGFPE:
            switch (code) {
                case FPE_INTDIV: return 13;
                case FPE_INTOVF: return 14;
                case FPE_FLTDIV: return 7;
                case FPE_FLTOVF: return 10;
                case FPE_FLTUND: return 12;
                case FPE_FLTRES: return 8;
                case FPE_FLTINV: return 9;
                case FPE_FLTSUB: return 5;
                default: return 33;
            }
        case SIGILL:
            switch (code) {
                case ILL_ILLOPC: return 17;
                case ILL_ILLOPN: return 23;
                case ILL_ILLADR: return 24;
                case ILL_ILLTRP: return 25;
                case ILL_PRVOPC: return 15;
                case ILL_PRVREG: return 31;
                case ILL_COPROC: return 26;
                case ILL_BADSTK: return 19;
                default: return 17;
            }
        case SIGTRAP:
            switch (code) {
                case TRAP_BRKPT: return 3;
                case TRAP_TRACE: return 4;
                default: return 3;
            }
        default: return 99;
    }
}

// The address of the instruction that faulted, from the signal's machine context (si_addr is
// the data address for memory faults, not the instruction's).
static const void* fault_pc(const siginfo_t* info, const void* context) {
    const auto* uc = static_cast<const ucontext_t*>(context);
#if defined(__x86_64__)
    if (uc) return reinterpret_cast<const void*>(uc->uc_mcontext.gregs[REG_RIP]);
#elif defined(__aarch64__)
    if (uc) return reinterpret_cast<const void*>(uc->uc_mcontext.pc);
#else
    (void)uc;
#endif
    return info->si_addr;
}

static void on_fault(int signo, siginfo_t* info, void* context) {
    const char* addr = static_cast<const char*>(info->si_addr);
    // A fault within the lowest megabyte of the interpreter stack (or its guard page just below)
    // is a native stack overflow.
    bool stack_fault = signo == SIGSEGV && thread_stack_low &&
                       addr >= thread_stack_low - 65536 && addr < thread_stack_low + (1 << 20);
    runtime::quit_from_signal(fault_code(signo, info->si_code, stack_fault), fault_pc(info, context));
}

// Each thread's own alternate signal stack, in mapped pages: a sanitizer run-time that unmaps a
// thread's alternate stack when the thread ends can do so with this one too.
static void install_alt_stack() {
    static thread_local bool installed = false;
    if (installed) return;
    constexpr size_t kSize = size_t(1) << 16;
    void* p = mmap(nullptr, kSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return;
    stack_t ss{};
    ss.ss_sp = p;
    ss.ss_size = kSize;
    ss.ss_flags = 0;
    if (sigaltstack(&ss, nullptr) != 0) {
        munmap(p, kSize);
        return;
    }
    installed = true;
}

void install_fault_handlers() {
    install_alt_stack();
    struct sigaction sa{};
    sa.sa_sigaction = on_fault;
    sa.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
    sigemptyset(&sa.sa_mask);
    for (int s : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP}) sigaction(s, &sa, nullptr);
}

void init(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    // A write past the file size limit fails with EFBIG and is reported as the write's error;
    // the signal's default would end the whole session instead, unsaved work and all.
    signal(SIGXFSZ, SIG_IGN);
    // A parent that ignores SIGCHLD hands the ignore down, and with it ended children are
    // collected by the kernel at once: call could no longer learn how its programs ended.
    signal(SIGCHLD, SIG_DFL);
    install_fault_handlers();
    get_args(argc, argv);
}

void init_io() { console::init_output(); }

void set_stack_limit_for_current_thread(size_t margin) {
    pthread_attr_t attr;
    void* low = nullptr;
    size_t size = 0;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        pthread_attr_getstack(&attr, &low, &size);
        pthread_attr_destroy(&attr);
    }
    if (!low) {
        // Fall back on the resource limit, measured from the current frame.
        struct rlimit rl{};
        getrlimit(RLIMIT_STACK, &rl);
        size = rl.rlim_cur == RLIM_INFINITY ? (8u << 20) : rl.rlim_cur;
        low = static_cast<char*>(__builtin_frame_address(0)) - size + 65536;
    }
    if (margin > size / 2) margin = size / 2;
    stack_limit = static_cast<const char*>(low) + margin;
    thread_stack_low = static_cast<char*>(low);
    thread_stack_size = size;
}

struct ThreadStart {
    int (*fn)(void*);
    void* arg;
    int result;
};

static void* thread_main(void* p) {
    auto* start = static_cast<ThreadStart*>(p);
    install_alt_stack();
    // Keep 4 MiB below the limit: enough for an error to be made, printed and caught.
    set_stack_limit_for_current_thread(size_t(4) << 20);
    start->result = start->fn(start->arg);
    return nullptr;
}

size_t address_space_limit() {
    struct rlimit rl{};
    if (getrlimit(RLIMIT_AS, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY) return 0;
    return static_cast<size_t>(rl.rlim_cur);
}

// Bytes of address space the process has mapped, or 0 when unknown.
static size_t mapped_bytes() {
    FILE* f = std::fopen("/proc/self/statm", "r");
    if (!f) return 0;
    unsigned long pages = 0;
    int got = std::fscanf(f, "%lu", &pages);
    std::fclose(f);
    return got == 1 ? static_cast<size_t>(pages) * static_cast<size_t>(sysconf(_SC_PAGESIZE)) : 0;
}

int run_on_interpreter_thread(int (*fn)(void*), void* arg) {
    // Under a limit the stack's reservation leaves the rest of the address space to the values.
    // The program and its libraries hold part of the limit already: a stack sized from the limit
    // alone left start-up (about 15 MiB) too little under limits of 36 to 46 MB, which failed
    // where smaller ones, with no room for the thread, started on the main thread. The values
    // keep 24 MiB of the room left where the stack can still have an eighth of it, as the main
    // thread's has.
    size_t bytes = kInterpreterStack;
    if (size_t limit = address_space_limit(); limit && limit / 4 < bytes) {
        bytes = std::max(limit / 4, size_t(16) << 20);
        if (size_t used = mapped_bytes(); used && used < limit) {
            size_t room = limit - used;
            bytes = std::min(bytes, std::max(room / 8, room > (size_t(24) << 20) ? room - (size_t(24) << 20) : 0));
        }
    }
    return run_on_thread(fn, arg, bytes);
}

// Under a limit on the address space the main thread's stack grows only while the limit leaves
// room: a deep recursion then faults far above the low end the guard was measured from, and the
// process dies with an access violation. The stack is grown here at once, to an eighth of the
// room left at the most (the values need the rest), and the guard is measured from that end.
[[gnu::noinline]] static void commit_main_stack(size_t margin) {
    size_t limit = address_space_limit();
    if (!limit || !thread_stack_low) return;
    size_t used = mapped_bytes();
    if (!used || used >= limit) return;
    constexpr size_t kStep = 4096;  // a page or less, so that every page is touched
    char* here = static_cast<char*>(__builtin_frame_address(0)) - 65536;  // below this frame's work
    if (here <= thread_stack_low + kStep) return;
    size_t size = std::min(size_t(here - thread_stack_low) - kStep, (limit - used) / 8);
    char* low = here - size;
    // Touched from the top down, one page after the other, as a recursion would.
    volatile char* area = static_cast<volatile char*>(__builtin_alloca(size_t(here - low) + 65536));
    for (size_t off = size + 65536; off >= kStep; off -= kStep) area[off - 1] = 0;
    area[0] = 0;
    if (margin > size / 2) margin = size / 2;
    thread_stack_low = low;
    thread_stack_size = size;
    stack_limit = low + margin;
}

int run_on_thread(int (*fn)(void*), void* arg, size_t stack_bytes) {
    // The C library gives a new thread an arena of its own that reserves 64 MiB of address space
    // (asking for twice that first, to align it): under a limit on the address space that is
    // room the values never get, and once the reservation fails every small allocation makes a
    // mapping of its own. The main thread only waits, so the one arena serves both.
    mallopt(M_ARENA_MAX, 1);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, stack_bytes);
    ThreadStart start{fn, arg, 0};
    // The limit is the evaluating thread's; the caller's comes back when that thread is done.
    const char* limit = stack_limit;
    char* low = thread_stack_low;
    size_t size = thread_stack_size;
    pthread_t thread;
    if (pthread_create(&thread, &attr, thread_main, &start) != 0) {
        // No room for a big stack: run here with what the main thread has.
        pthread_attr_destroy(&attr);
        set_stack_limit_for_current_thread(size_t(1) << 20);
        if (thread_stack_size < kLeastStack) {
            // Too little to start on: a fault part-way, or a session that cannot quit cleanly.
            char text[200];
            int n = std::snprintf(text, sizeof text,
                                  "*** Not enough stack to start: %zu KB, and no thread with a stack of its "
                                  "own could be made; %zu KB are needed (ulimit -s %zu or more)\n",
                                  thread_stack_size >> 10, kLeastStack >> 10, (kLeastStack >> 10) + 8);
            if (n > 0) output::write_fd_all(2, text, std::min(size_t(n), sizeof text - 1));
            _exit(19);
        }
        commit_main_stack(size_t(1) << 20);
        return fn(arg);
    }
    pthread_attr_destroy(&attr);
    // The kernel hands a signal to any thread that does not block it. The handled ones go to the
    // thread that runs: a resize or a continue after a stop must interrupt its waits (the line
    // editor's key wait), and a handler that puts the terminal back must not race its drawing.
    sigset_t waiting, saved_mask;
    sigemptyset(&waiting);
    for (int s : {SIGWINCH, SIGCONT, SIGTSTP, SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&waiting, s);
    pthread_sigmask(SIG_BLOCK, &waiting, &saved_mask);
    pthread_join(thread, nullptr);
    pthread_sigmask(SIG_SETMASK, &saved_mask, nullptr);
    stack_limit = limit;
    thread_stack_low = low;
    thread_stack_size = size;
    return start.result;
}

// A NUL would cut the name short and move the process to another folder than the one asked for.
bool set_current_dir(const std::string& path) {
    return path.find('\0') == std::string::npos && chdir(path.c_str()) == 0;
}

}  // namespace platform

namespace os {

std::string get_current_dir() {
    std::vector<char> buf(4096);
    while (!getcwd(buf.data(), buf.size())) {
        if (errno != ERANGE) return std::string();
        buf.resize(buf.size() * 2);
    }
    return std::string(buf.data());
}

// A name holding a NUL names no variable: cut there, it would name (and change) another one.
bool set_env(const std::string& name, const std::string* value) {
    if (name.find('\0') != std::string::npos) return false;
    if (!value) return unsetenv(name.c_str()) == 0;
    return setenv(name.c_str(), value->c_str(), 1) == 0;
}

bool get_env(const std::string& name, std::string& out) {
    if (name.find('\0') != std::string::npos) return false;
    // A name ends at its first "=" (one that begins it is part of it): a longer one names no
    // variable, and the C library would answer the tail of another one's value ("A=B" of A=B=C).
    if (name.find('=', 1) != std::string::npos) return false;
    const char* v = getenv(name.c_str());
    if (!v) return false;
    out = v;
    return true;
}

int wait_milliseconds(double seconds) {
    double ms = seconds * 1000.0;
    if (!(ms >= 1.0)) return 1;              // below 1 ms, negative and NaN
    if (ms > 2147483647.0) return 2147483647;
    return static_cast<int>(ms);
}

void wait(double seconds) {
    int ms = wait_milliseconds(seconds);
    struct timespec ts{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

double time_of_day(bool precise) {
    struct timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    double secs = static_cast<double>(ts.tv_sec % 86400);
    if (precise) secs += static_cast<double>(ts.tv_nsec) / 1e9;
    return secs;
}

int local_zone_minutes() {
    time_t now = time(nullptr);
    struct tm local{};
    localtime_r(&now, &local);
    return static_cast<int>(local.tm_gmtoff / 60);
}

uint32_t pack_zone(int minutes_east) {
    int m = minutes_east < 0 ? -minutes_east : minutes_east;
    uint32_t hours = static_cast<uint32_t>(m / 60) & 0x0F;
    uint32_t quarters = static_cast<uint32_t>((m % 60) / 15) & 0x03;
    uint32_t zone = (hours << 2) | quarters;
    // A west offset that the bits hold as zero (under a quarter hour, or 16 hours) is zone 0: a
    // sign alone would be written as "-00:00".
    return minutes_east < 0 && zone ? zone | 0x40 : zone;
}

uint32_t date_now(bool utc) {
    time_t now = time(nullptr);
    struct tm t{};
    uint32_t zone = 0;
    if (utc) {
        gmtime_r(&now, &t);
    } else {
        localtime_r(&now, &t);
        zone = pack_zone(static_cast<int>(t.tm_gmtoff / 60));
    }
    uint32_t year = static_cast<uint32_t>(t.tm_year + 1900);
    uint32_t month = static_cast<uint32_t>(t.tm_mon + 1);
    uint32_t day = static_cast<uint32_t>(t.tm_mday);
    return (year << 17) | (month << 12) | (1u << 16) | (day << 7) | zone;
}

}  // namespace os
