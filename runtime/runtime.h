// The run-time's system record, tracked heap blocks, native catch frames (throw codes) and the
// single exit path of the process.
#pragma once

#include <cstddef>
#include <cstdint>

// Throw codes. A catch frame takes every code up to its threshold (unsigned comparison), so a
// frame that takes errors also takes every loop and function exit.
namespace codes {
constexpr uint32_t error = 0x7FFFFFFF;
constexpr uint32_t brk = 0x7FFFFFFE;
constexpr uint32_t cont = 0x7FFFFFFD;
constexpr uint32_t ret = 0x7FFFFFFC;
constexpr uint32_t exit = 0x7FFFFFFB;
constexpr uint32_t throw_ = 0x7FFFFFFA;
constexpr uint32_t vm_alloc = 0x7FFFFFF7;
constexpr uint32_t vm_free = 0x7FFFFFF6;
constexpr uint32_t normal_end = 0x0BADCAFE;
constexpr uint32_t all = 0xFFFFFFFF;
}  // namespace codes

// A throw in flight. Native catch frames are C++ handlers that compare the code with their
// threshold and rethrow what they do not take.
struct Throw {
    uint32_t code;
};

struct HeapBlock {
    HeapBlock* prev;
    HeapBlock* next;
    size_t size;
    size_t spare;  // keeps the caller's bytes 16-byte aligned
};
static_assert(sizeof(HeapBlock) == 32);

namespace runtime {

struct SystemRecord {
    uint32_t thrown = 0;        // code of the throw in progress or last handled
    int argc = 0;               // command-line arguments as UTF-8 texts, program path first
    char** argv = nullptr;
    HeapBlock* heap_first = nullptr;
    HeapBlock* heap_last = nullptr;
};
extern SystemRecord sys;

// Tracked heap blocks: every one is in one list so that all can be given back at exit.
// Exhausted memory ends the process with run-time error 94.
void* allocate(size_t n);
void* allocate_zeroed(size_t n);
void* resize(void* p, size_t n);
// The same for a caller that can raise an error instead: null when memory is exhausted, the
// block given to try_resize left as it was.
void* try_allocate(size_t n);
void* try_resize(void* p, size_t n);
void free(void* p);
void free_all();
void release_all();
void dump_heap();
size_t heap_total();   // sum of the real sizes of all live blocks
size_t heap_count();

// The date and time this run-time was built, as in "19-Nov-2026/9:41:09".
const char* build_date();

// Throws the code stored in sys.thrown.
[[noreturn]] void throw_();
// Stores the code in sys.thrown and throws it.
[[noreturn]] void throw_code(uint32_t code);

// The one exit path: code 0 ends quietly, any other code prints the run-time error report first.
// The exit status is the code's low 8 bits.
[[noreturn]] void quit(int code, const void* address = nullptr);
// The outermost catch frame's handler: the normal end (codes::normal_end) quits with 0, any other
// code is a throw nothing took and quits with run-time error 95 ("no CATCH for THROW"), reported
// at the handler's own address.
[[noreturn]] void top_catch(uint32_t code);
// Ends the process with a status and no report: the language's own exits (an uncaught error's
// -2, quit-return). Output is flushed and the terminal restored first.
[[noreturn]] void exit_with(int status);
// The report text of a run-time error code ("unknown error code!" for codes outside the table).
const char* error_text(int code);
// Ends the process from a signal handler: the report is written without allocating.
[[noreturn]] void quit_from_signal(int code, const void* address);

}  // namespace runtime

// Runs f under a native catch frame that takes every code up to threshold. Returns 0 when f
// returns normally, else the code taken (also left in runtime::sys.thrown for the catcher to
// clear). Codes above the threshold pass on.
template <class F>
inline uint32_t catch_frame(uint32_t threshold, F&& f) {
    try {
        f();
        return 0;
    } catch (const Throw& t) {
        if (t.code > threshold) throw;
        runtime::sys.thrown = t.code;
        return t.code;
    }
}

#define KEL_CALLER_ADDRESS() (__builtin_extract_return_addr(__builtin_return_address(0)))
