// Test support: runs code in a forked child whose end is the point of the test (a process exit,
// a fault report), and answers its exit status and what it wrote to standard output.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "runtime/output.h"

namespace test_support {

struct ChildResult {
    bool exited = false;  // ended through exit, not killed by a signal
    int status = -1;      // exit status when exited
    int signal = 0;       // the signal that killed it otherwise
    std::string out;      // standard output and standard error, in order
};

// f runs in the child with standard output and error on a pipe; when it returns, the child exits
// with status 77 (a test expecting the process to end inside f sees that as a failure).
template <class F>
ChildResult in_child(F&& f) {
    ChildResult r;
    output::flush();  // nothing of the parent's pending output is written twice
    int fds[2];
    if (pipe(fds) != 0) return r;
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        dup2(fds[1], 1);
        dup2(fds[1], 2);
        f();
        output::flush();
        _exit(77);
    }
    close(fds[1]);
    char buf[4096];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) r.out.append(buf, size_t(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    r.exited = WIFEXITED(status);
    if (r.exited) r.status = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) r.signal = WTERMSIG(status);
    return r;
}

}  // namespace test_support
