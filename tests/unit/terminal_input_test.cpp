// Reading redirected standard input: lines of UTF-8 from a pipe and from a file, bad bytes, and
// the raw reader behind read-stdin.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>

#include "../support/errors.h"
#include "../support/value_builders.h"
#include "console/terminal.h"
#include "datatypes/binary.h"
#include "datatypes/string.h"
#include "evaluator/natives.h"
#include "runtime/collector.h"
#include "runtime/stack.h"

namespace {

// Puts a descriptor in place of standard input for the life of the object.
class StdinFrom {
public:
    explicit StdinFrom(int fd) : saved_(dup(0)) {
        dup2(fd, 0);
        close(fd);
    }
    ~StdinFrom() {
        dup2(saved_, 0);
        close(saved_);
    }

private:
    int saved_;
};

int pipe_with(const std::string& bytes) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    EXPECT_EQ(write(fds[1], bytes.data(), bytes.size()), ssize_t(bytes.size()));
    close(fds[1]);
    return fds[0];
}

int file_with(const std::string& bytes) {
    char name[] = "/tmp/kel-stdin-XXXXXX";
    int fd = mkstemp(name);
    EXPECT_GE(fd, 0);
    unlink(name);
    EXPECT_EQ(write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    lseek(fd, 0, SEEK_SET);
    return fd;
}

// One line, or nullopt-like "<end>" when the input ended before anything was read.
std::string line() {
    Cell s;
    string::make_at_unit(&s, 8, 1);
    collector::Root keep(&s);
    bool any = terminal::stdin_readline(s.node());
    std::string text = string::to_utf8(&s);
    return any ? text : "<end>" + text;
}

TEST(RedirectedInput, LinesFromAPipe) {
    StdinFrom in(pipe_with("abc\r\nd\xc3\xa9\xe2\x82\xac\xf0\x9d\x84\x9e\n\nlast"));
    EXPECT_EQ(line(), "abc\r");  // a carriage return before the line feed stays
    Cell s;
    string::make_at_unit(&s, 8, 1);
    collector::Root keep(&s);
    ASSERT_TRUE(terminal::stdin_readline(s.node()));
    ASSERT_EQ(string::rs_length_q(&s), 4);
    EXPECT_EQ(string::rs_abs_at(&s, 0), uint32_t('d'));
    EXPECT_EQ(string::rs_abs_at(&s, 1), 0xE9u);
    EXPECT_EQ(string::rs_abs_at(&s, 2), 0x20ACu);
    EXPECT_EQ(string::rs_abs_at(&s, 3), 0x1D11Eu);
    EXPECT_EQ(line(), "");  // an empty line is a line
    EXPECT_EQ(line(), "last");  // the end of input ends the last line
    EXPECT_EQ(line(), "<end>");
    EXPECT_EQ(line(), "<end>");
}

TEST(RedirectedInput, ANonBlockingPipeIsWaitedFor) {
    // Whoever shares standard input may have made it non-blocking: a line that has not come yet
    // must be waited for, not taken for the end of the input.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    fcntl(fds[0], F_SETFL, fcntl(fds[0], F_GETFL) | O_NONBLOCK);
    std::thread writer([w = fds[1]] {
        usleep(100 * 1000);
        EXPECT_EQ(write(w, "late\nla", 7), 7);
        usleep(100 * 1000);
        EXPECT_EQ(write(w, "ter\n", 4), 4);
        close(w);
    });
    {
        StdinFrom in(fds[0]);
        EXPECT_EQ(line(), "late");
        EXPECT_EQ(line(), "later");
        EXPECT_EQ(line(), "<end>");
    }
    writer.join();
}

// A line with a bad character is an error and is refused whole: the rest of it never comes back
// as a line of its own (the end of a commented-out console line would run).
// The error holds the bytes of the bad character read so far.
TEST(RedirectedInput, BadBytesAreAnErrorAndReadingGoesOn) {
    StdinFrom in(pipe_with("a\xff" "b\n\xe2\x82x\nok\n; caf\xe9 quit\n\xc3\nlast\n\xe2\x82"));
    auto bad_bytes = [] {
        Cell e = catch_error([] { line(); });
        EXPECT_TRUE(is_error(e, err::access::invalid_utf8));
        const Cell* arg = error::field(&e, error::FIELD_ARG1);
        if (!arg || arg->type() != TYPE_BINARY) return std::string("<none>");
        SeriesBuf* b = memory::nodes[arg->node()];
        return std::string(reinterpret_cast<const char*>(b->at_head()) + arg->index(),
                           reinterpret_cast<const char*>(b->at_tail()));
    };
    EXPECT_EQ(bad_bytes(), "\xff");
    // A character cut short by a byte that starts another.
    EXPECT_EQ(bad_bytes(), "\xe2\x82");
    EXPECT_EQ(line(), "ok");
    EXPECT_EQ(bad_bytes(), "\xe9");
    // Cut short by the line's own end.
    EXPECT_EQ(bad_bytes(), "\xc3");
    EXPECT_EQ(line(), "last");
    // Cut short by the end of input.
    EXPECT_EQ(bad_bytes(), "\xe2\x82");
    EXPECT_EQ(line(), "<end>");
}

TEST(RedirectedInput, AFileIsLeftRightAfterTheLineRead) {
    // Whatever reads standard input next (a process the script starts) goes on from there.
    StdinFrom in(file_with("one\ntwo\r\nthree"));
    EXPECT_EQ(line(), "one");
    EXPECT_EQ(lseek(0, 0, SEEK_CUR), 4);
    EXPECT_EQ(line(), "two\r");
    EXPECT_EQ(lseek(0, 0, SEEK_CUR), 9);
    EXPECT_EQ(line(), "three");
    EXPECT_EQ(line(), "<end>");
}

// Calls the read-stdin routine with a binary and a length; answers the bytes the binary holds.
Cell empty_binary(int32_t capacity) {
    Node node = memory::alloc_bytes(capacity);
    memory::nodes[node]->head = memory::nodes[node]->tail = 0;
    Cell bin;
    set_cell(&bin, TYPE_BINARY, 0, node, 0);
    return bin;
}

std::string read_stdin(int32_t capacity, int32_t length) {
    Cell bin = empty_binary(capacity);
    collector::Root keep(&bin);
    terminal::init();
    int code = routines::find("read-stdin");
    EXPECT_GT(code, 0);
    stack::Saved saved = stack::save();
    stack::arguments = stack::top;
    stack::push(&bin);
    Cell n = tv::integer(length);
    stack::push(&n);
    routines::table[code - 1]();
    stack::restore(saved);
    SeriesBuf* b = memory::nodes[bin.node()];
    return std::string(reinterpret_cast<const char*>(b->at_head()), b->used_bytes());
}

TEST(RedirectedInput, RawReads) {
    std::string bytes = std::string(100, 'x') + std::string("\xff\x00!", 3);
    StdinFrom in(pipe_with("line\nraw " + bytes));
    EXPECT_EQ(line(), "line");
    EXPECT_EQ(read_stdin(64, 4), "raw ");
    // The binary is not grown: what does not fit stays unread.
    Cell probe = empty_binary(1);
    uint32_t room = memory::nodes[probe.node()]->capacity;
    ASSERT_LT(room, 100u);
    EXPECT_EQ(read_stdin(1, int32_t(room) + 100), bytes.substr(0, room));
    EXPECT_EQ(read_stdin(256, 256), bytes.substr(room));
    EXPECT_EQ(read_stdin(64, -5), "");
    EXPECT_EQ(read_stdin(64, 64), "");  // the end
}

TEST(RedirectedInput, ARawReadWaitsOnANonBlockingPipe) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    fcntl(fds[0], F_SETFL, fcntl(fds[0], F_GETFL) | O_NONBLOCK);
    std::thread writer([w = fds[1]] {
        usleep(100 * 1000);
        EXPECT_EQ(write(w, "raw", 3), 3);
        close(w);
    });
    {
        StdinFrom in(fds[0]);
        EXPECT_EQ(read_stdin(64, 64), "raw");
        EXPECT_EQ(read_stdin(64, 64), "");  // the end
    }
    writer.join();
}

}  // namespace
