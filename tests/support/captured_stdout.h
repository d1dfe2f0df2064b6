// Standard output redirected to an in-memory file for the life of the object, so a test reads back
// the exact bytes the run-time wrote.
#pragma once

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>

#include "runtime/output.h"

namespace tv {

class CapturedStdout {
public:
    // terminal: whether the run-time is told the file is a terminal.
    explicit CapturedStdout(bool terminal = false) : fd_(memfd_create("stdout", 0)) {
        EXPECT_GE(fd_, 0);
        output::set_stdout(fd_, terminal);
    }
    ~CapturedStdout() {
        output::set_stdout(1, isatty(1) != 0);
        close(fd_);
    }
    CapturedStdout(const CapturedStdout&) = delete;
    CapturedStdout& operator=(const CapturedStdout&) = delete;

    std::string text() {
        output::flush();
        std::string all;
        char buf[4096];
        ssize_t n;
        for (off_t at = 0; (n = pread(fd_, buf, sizeof buf, at)) > 0; at += n) all.append(buf, size_t(n));
        return all;
    }

private:
    int fd_;
};

}  // namespace tv
