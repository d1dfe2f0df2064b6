// Standard output of the run-time: UTF-8 bytes, buffered, written with loops that survive partial
// writes and EINTR.
#pragma once

#include <cstddef>
#include <sys/types.h>

namespace output {

void init();
// Appends bytes to the standard-output buffer.
void write_bytes(const char* bytes, size_t n);
void write_text(const char* text);
// Writes bytes at once, bypassing nothing but the buffer (which is flushed first).
void write_raw(const char* bytes, size_t n);
void flush();
bool stdout_is_terminal();

// Around every write: lets the terminal GUI take its inline drawing away and put it back.
void begin_write();
void end_write();

// Restores what the run-time changed on the terminal; called on every way out.
void at_exit();
void at_exit_from_signal();
// Registers a restorer run by at_exit (and, when async-signal-safe, from signals).
void on_exit(void (*restore)(), bool signal_safe);

// Writes all n bytes to a descriptor; false when the descriptor refuses them.
bool write_fd_all(int fd, const void* bytes, size_t n);

}  // namespace output
