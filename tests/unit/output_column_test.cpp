// The column that the output layer follows on a terminal, where the line editor starts its input.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>

#include "runtime/output.h"

namespace {

// Bytes written to a stand-in terminal (an in-memory file said to be one); answers the column.
int64_t column_after(const std::string& bytes) {
    int fd = memfd_create("terminal", 0);
    output::set_stdout(fd, true);
    output::write_bytes(bytes.data(), bytes.size());
    output::flush();
    int64_t column = output::column();
    output::set_stdout(1, isatty(1) != 0);
    close(fd);
    return column;
}

TEST(OutputColumn, FollowsWhatTheTerminalDoesWithTheBytes) {
    struct Case {
        const char* bytes;
        int64_t column;
    };
    const Case cases[] = {
        {"", 0},
        {"abc", 3},
        {"ab\ncd", 2},
        {"abc\rd", 1},
        {"\xe4\xb8\xad\xc3\xa9", 3},        // a wide character and a narrow one
        {"e\xcc\x81", 1},                    // a combining mark takes no cell
        {"a\tb", 9},
        {"abc\b", 2},
        {"\x1b[1;31mab\x1b[0m", 2},          // colours
        {"ab\x1b[K\x1b[J", 2},               // erasing
        {"\x1b]2;a title\x07x", 1},          // a string command
        {"\x1b]2;title\x1b\\xy", 2},
        {"\x1b[22;0tz", 1},
        {"ab\x1b[5D", 0},
        {"ab\x1b[3C", 5},
        {"ab\x1b[C", 3},
        {"\x1b[10G", 9},
        {"\x1b[2;5H", 4},
        {"abc\x1b" "8", -1},                  // back to a saved cursor: unknown
        {"abc\x1b[6n", 3},
        {"abc\x1b[?25l", 3},                  // modes move nothing
        {"abc\x1b[3S", -1},                   // others: unknown
        {"abc\x1b" "8\nxy", 2},               // known again from the next line on
        {"ab\xe4\xb8", 2},                    // a character not complete yet
        {"caf\xe9.", 5},                      // bytes of a name that is not UTF-8: one cell each
        {"a\x80\xbf" "b", 4},
    };
    for (const Case& c : cases) EXPECT_EQ(column_after(c.bytes), c.column) << c.bytes;
}

}  // namespace
