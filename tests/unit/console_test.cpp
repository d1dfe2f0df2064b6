// The console layer: what reaches standard output, as a terminal and as a pipe or file.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "runtime/console.h"
#include "runtime/output.h"
#include "runtime/runtime.h"
#include "tests/support/errors.h"

namespace {

const std::string E = "\x1b";

// Points standard output at a socket of packets, so that every write call arrives as one packet.
class Capture {
public:
    explicit Capture(bool terminal) {
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds_), 0);
        int big = 1 << 20;
        setsockopt(fds_[0], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
        setsockopt(fds_[1], SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
        output::set_stdout(fds_[0], terminal);
    }
    ~Capture() {
        output::set_stdout(1, isatty(1) != 0);
        close(fds_[0]);
        close(fds_[1]);
    }
    // The write calls made so far, one string each.
    std::vector<std::string> writes() {
        output::flush();
        std::vector<std::string> out;
        char buf[1 << 16];
        for (;;) {
            ssize_t n = recv(fds_[1], buf, sizeof buf, MSG_DONTWAIT);
            if (n < 0) break;
            out.emplace_back(buf, size_t(n));
        }
        return out;
    }
    std::string text() {
        std::string all;
        for (auto& w : writes()) all += w;
        return all;
    }

private:
    int fds_[2];
};

// A terminal of 80x24 whose cursor sits where the test puts it; row < 0 means no answer.
int cursor_col = 0, cursor_row = -1;
bool fake_size(int& c, int& r) {
    c = 80;
    r = 24;
    return true;
}
bool fake_cursor(int& c, int& r) {
    if (cursor_row < 0) return false;
    c = cursor_col;
    r = cursor_row;
    return true;
}
const console::TerminalQueries fake{fake_size, fake_cursor};

class Console : public ::testing::Test {
protected:
    void SetUp() override {
        console::set_terminal_queries(&fake);
        cursor_row = -1;
        reset_attributes();
    }
    void TearDown() override {
        reset_attributes();
        console::set_terminal_queries(nullptr);
    }
    static void reset_attributes() {
        Capture c(true);
        std::string s = E + "[0m";
        console::write_ansi(s.data(), s.size(), 1, false);
    }
    // The bytes a 1-byte string becomes on a terminal.
    static std::string terminal(const std::string& s, bool line_end = false) {
        Capture c(true);
        console::print_ucs(s.data(), s.size(), 1, line_end);
        return c.text();
    }
};

std::vector<uint16_t> units16(const std::u16string& s) { return {s.begin(), s.end()}; }

TEST_F(Console, SequencesBecomeVtSequences) {
    struct Case {
        std::string in, out;
    } cases[] = {
        {"ab" + E + "[31mcd", "ab" + E + "[0;31mcd"},
        {E + "[44m", E + "[0;44m"},                      // blue: console bit 1 is ANSI colour 4
        {E + "[1;31;42m", E + "[0;91;102m"},             // both intensities, red on green
        {E + "[1;31;m", E + "[0;91;100m"},               // pairs end with a bare m
        {E + "[7m", E + "[0;30;47m"},                    // nibbles swapped
        {E + "[31;4m", E + "[0;31;4m"},
        {E + "[4;31m", E + "[0;31m"},                    // a colour keeps only the low byte
        {E + "[22m", E + "[0;33;44m"},                   // raw attribute 0x16
        {E + "[65536m", E + "[0;97;100m"},               // parameters count modulo 65535: SGR 1
        {E + "[31mx" + E + "[39my", E + "[0;31mx" + E + "[0my"},
        {E + "[m", ""},
        {E + "[0m", E + "[0m"},
        {E + "[5H", ""},
        {E + "[5;2H", E + "[3;6H"},                      // column 5, row 2, from 0
        {E + "[0;0f", E + "[1;1H"},
        {E + "[H", E + "[H"},
        {E + "[s" + E + "[u", E + "[s" + E + "[u"},
        {E + "[3A" + E + "[2B" + E + "[12C" + E + "[1D", E + "[3A" + E + "[2B" + E + "[12C" + E + "[1D"},
        {E + "[0A", ""},                                 // VT would move one row
        {E + "[J", E + "[2K" + E + "[J"},
        {E + "[0J" + E + "[3J" + E + "[0K", ""},
        {E + "[K", E + "[K"},
        {E + "[2K", E + "[2K\r"},
        {E + "[2J", E + "[2J" + E + "[H"},
        {E + "[1;2x", ""},                               // unknown final characters are dropped
        {E + "Xab" + E, E + "Xab" + E},                  // no "[": an ordinary character
        {"ab" + E + "[12", "ab"},                        // cut off by the end of the text
    };
    for (const Case& c : cases) {
        SetUp();
        EXPECT_EQ(terminal(c.in), c.out) << "input: " << c.in.substr(1);
    }
}

TEST_F(Console, AttributesFollowTheConsoleArithmetic) {
    terminal(E + "[1;31;42m");
    EXPECT_EQ(console::attributes(), 0xACu);
    terminal(E + "[0m");
    EXPECT_EQ(console::attributes(), console::default_attributes());
    terminal(E + "[4m");
    EXPECT_EQ(console::attributes(), 0x8007u);
}

TEST_F(Console, ErasingUsesTheDefaultAttributes) {
    terminal(E + "[31m");
    EXPECT_EQ(terminal(E + "[K"), E + "[0m" + E + "[K" + E + "[0;31m");
    EXPECT_EQ(terminal(E + "[2K"), E + "[0m" + E + "[2K" + E + "[0;31m\r");
}

TEST_F(Console, PartialErasesUseTheCursorPosition) {
    cursor_col = 7;
    cursor_row = 4;
    EXPECT_EQ(terminal(E + "[1K"), "\r" + E + "[7X");
    EXPECT_EQ(terminal(E + "[1J"), E + "[4;9999H" + E + "[1J" + E + "[5;8H");
    cursor_col = 0;
    cursor_row = 0;
    EXPECT_EQ(terminal(E + "[1K"), "\r");
    EXPECT_EQ(terminal(E + "[1J"), "");
    // A terminal that does not answer gets the nearest VT forms.
    cursor_row = -1;
    EXPECT_EQ(terminal(E + "[1K"), E + "[1K\r");
    EXPECT_EQ(terminal(E + "[1J"), E + "7" + E + "[A" + E + "[9999C" + E + "[1J" + E + "8");
}

TEST_F(Console, ScreenReport) {
    cursor_col = 3;
    cursor_row = 5;
    terminal(E + "[31m");
    EXPECT_EQ(terminal("a" + E + "[?b"),
              "aScreen buffer info:\n"
              "   size______ 80x24\n"
              "   cursor____ 3x5\n"
              "   attribute_ 00000004 00000007\n"
              "   left______ 0 top: 0\n"
              "   right_____ 79 bottom: 23\n"
              "   max_______ 80x24\n"
              "b");
}

TEST_F(Console, RedirectedOutputPassesEveryByte) {
    std::string s = "ab" + E + "[31mcd" + E + "[?" + E + "[2J";
    Capture c(false);
    console::print_ucs(s.data(), s.size(), 1, true);
    EXPECT_EQ(c.text(), s + "\n");
    EXPECT_EQ(console::attributes(), console::default_attributes());
}

TEST_F(Console, UnitsAreWrittenAsUtf8) {
    // Latin-1 bytes, 2-byte units (including a sequence), 4-byte units with a character above the
    // BMP; lines end with LF alone.
    {
        std::string s = "caf\xe9";
        Capture c(false);
        console::write_utf8(s.data(), s.size(), 1, true);
        EXPECT_EQ(c.text(), "caf\xc3\xa9\n");
    }
    for (bool term : {false, true}) {
        auto u = units16(u"\u20ac\x1b[31m!");
        Capture c(term);
        console::print_ucs(u.data(), u.size() * 2, 2, true);
        EXPECT_EQ(c.text(), "\xe2\x82\xac" + E + (term ? "[0;31m" : "[31m") + "!\n");
        Console::reset_attributes();
    }
    for (bool term : {false, true}) {
        std::vector<uint32_t> u = {0x1B, '[', '3', '1', 'm', 0x1F600};
        Capture c(term);
        console::write_utf8(u.data(), u.size() * 4, 4, true);
        EXPECT_EQ(c.text(), E + "[31m\xf0\x9f\x98\x80\n");
    }
}

TEST_F(Console, SequencesLookAtWholeUnits) {
    // U+0131 has the low byte of "1" but is no digit: it ends the sequence without effect.
    auto u = units16(u"\x1b[3\u0131mX");
    Capture c(true);
    console::write_ansi(u.data(), u.size() * 2, 2, false);
    EXPECT_EQ(c.text(), "mX");
}

TEST_F(Console, WritesGoOutInBoundedChunks) {
    {
        std::string s(600, 'x');
        Capture c(true);
        console::print_ucs(s.data(), s.size(), 1, true);
        auto w = c.writes();
        ASSERT_EQ(w.size(), 2u);
        EXPECT_EQ(w[0], std::string(510, 'x'));
        EXPECT_EQ(w[1], std::string(90, 'x') + "\n");
    }
    {
        // Two-byte encodings straddle the 1024-byte chunks without being split.
        std::string s;
        for (int i = 0; i < 3000; i++) s += (i % 3) ? 'a' : '\xe9';
        Capture c(false);
        console::write_utf8(s.data(), s.size(), 1, false);
        std::string all;
        for (auto& w : c.writes()) {
            EXPECT_LE(w.size(), output::kChunk);
            EXPECT_NE(static_cast<unsigned char>(w.back()), 0xC3u);
            all += w;
        }
        std::string expected;
        for (int i = 0; i < 3000; i++) expected += (i % 3) ? "a" : "\xc3\xa9";
        EXPECT_EQ(all, expected);
    }
}

TEST_F(Console, CodepointBeyondUnicodeIsAnError) {
    // Through either writer, to a pipe or a terminal: what precedes it goes out, then the error.
    std::vector<uint32_t> u = {'o', 'k', 0x110000, 'x'};
    for (bool term : {false, true}) {
        auto write = term ? console::write_ansi : console::write_utf8;
        Capture c(term);
        Cell e = catch_error([&] { write(u.data(), u.size() * 4, 4, true); });
        EXPECT_EQ(e.type(), TYPE_ERROR);
        EXPECT_EQ(c.text(), "ok");
    }
}

// Every entry point reads 1-, 2- and 4-byte units alike.
TEST_F(Console, EveryUnitWidth) {
    auto widen = [](const std::string& s, int unit) {
        std::string out;
        for (unsigned char ch : s) {
            uint32_t v = ch;
            out.append(reinterpret_cast<const char*>(&v), size_t(unit));  // little-endian
        }
        return out;
    };
    for (int unit : {1, 2, 4}) {
        SCOPED_TRACE(unit);
        std::string red = widen(E + "[31mtail", unit);
        {
            Capture c(true);
            EXPECT_EQ(console::ansi_sequence(red.data(), red.size(), unit), 5u * unit);
            EXPECT_EQ(c.text(), E + "[0;31m");
        }
        reset_attributes();
        std::string lone = widen(E + "x", unit);
        EXPECT_EQ(console::ansi_sequence(lone.data(), lone.size(), unit), 0u);
        {
            Capture c(true);
            console::write_ansi(red.data(), red.size(), unit, true);
            EXPECT_EQ(c.text(), E + "[0;31mtail\n");
        }
        reset_attributes();
    }
}

TEST(ConsoleDeath, UnitWidthOtherThanOneTwoOrFourEndsTheProcess) {
    char text[6] = {};
    EXPECT_EXIT(console::write_utf8(text, 6, 3, false), ::testing::ExitedWithCode(101), "");
    EXPECT_EXIT(console::write_ansi(text, 6, 3, false), ::testing::ExitedWithCode(101), "");
    EXPECT_EXIT(console::ansi_sequence(text, 6, 3), ::testing::ExitedWithCode(101), "");
}

TEST_F(Console, TruncatedUnitsAreNotRead) {
    // A byte length that is no multiple of the unit leaves the partial unit alone.
    uint16_t u[2] = {'a', 'b'};
    Capture c(false);
    console::write_utf8(u, 3, 2, false);
    EXPECT_EQ(c.text(), "a");
}

}  // namespace
