// The platform layer over POSIX: process set-up, the interpreter thread, fault handling and the
// operating-system services the run-time calls.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// First step of start-up: arguments, fault handlers, SIGPIPE ignored.
void init(int argc, char** argv);
// Stores the arguments in the system record as UTF-8 heap texts (program path first).
void get_args(int argc, char** argv);
// Installs the fault handlers (on an alternate signal stack) that turn processor faults into
// run-time error reports.
void install_fault_handlers();
// System-library set-up of run-time initialisation; on Linux only the console output set-up.
void init_io();

// Runs fn on a thread whose stack is large enough for deep evaluation (1 GiB reserved, committed
// by the kernel on use; a quarter of the address space when the process has a limit on it) and
// returns its result.
int run_on_interpreter_thread(int (*fn)(void*), void* arg);
// The process's limit on its address space in bytes, or 0 when it has none.
size_t address_space_limit();
// The same with a stack of the given size: the thread gets its alternate signal stack and its
// stack limit (4 MiB, at most half the stack, kept free below it) like the interpreter's.
int run_on_thread(int (*fn)(void*), void* arg, size_t stack_bytes);

// Lowest native stack address that evaluation may reach before it must raise stack-overflow.
extern const char* stack_limit;
// Sets stack_limit for the calling thread, leaving margin bytes for the error to be handled.
void set_stack_limit_for_current_thread(size_t margin);
inline bool stack_exhausted() {
    return static_cast<const char*>(__builtin_frame_address(0)) < stack_limit;
}

bool set_current_dir(const std::string& path);
// The signal-to-run-time-error mapping, by signal number and si_code.
int fault_code(int signo, int si_code, bool stack_fault);

}  // namespace platform

namespace os {

std::string get_current_dir();
bool set_env(const std::string& name, const std::string* value);  // null value removes it
bool get_env(const std::string& name, std::string& out);
// Sleeps the given seconds; below one millisecond (and negative) sleeps one millisecond.
void wait(double seconds);
int wait_milliseconds(double seconds);
// UTC time of day in seconds, with the fraction of the second when precise.
double time_of_day(bool precise);
// Packed date: year << 17, month << 12, has-time bit 16, day << 7, zone in bits 0-6.
uint32_t date_now(bool utc);
uint32_t pack_zone(int minutes_east);
// Zone offset of local time in minutes east of UTC.
int local_zone_minutes();

}  // namespace os
