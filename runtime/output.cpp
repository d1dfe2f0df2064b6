#include "runtime/output.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace output {

static char buffer[16384];
static size_t used = 0;
static int terminal = -1;

struct Restorer {
    void (*fn)();
    bool signal_safe;
};
static Restorer restorers[8];
static int restorer_count = 0;

bool write_fd_all(int fd, const void* bytes, size_t n) {
    auto* p = static_cast<const char*>(bytes);
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

void init() { terminal = isatty(1) ? 1 : 0; }

bool stdout_is_terminal() {
    if (terminal < 0) init();
    return terminal == 1;
}

void flush() {
    if (used) write_fd_all(1, buffer, used);
    used = 0;
}

void write_bytes(const char* bytes, size_t n) {
    if (n >= sizeof buffer) {
        flush();
        write_fd_all(1, bytes, n);
        return;
    }
    if (used + n > sizeof buffer) flush();
    std::memcpy(buffer + used, bytes, n);
    used += n;
}

void write_text(const char* text) { write_bytes(text, std::strlen(text)); }

void write_raw(const char* bytes, size_t n) {
    flush();
    write_fd_all(1, bytes, n);
}

void begin_write() {}
void end_write() {}

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

}  // namespace output
