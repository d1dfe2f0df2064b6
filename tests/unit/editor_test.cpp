// The console's key decoder, its width arithmetic and the line editor, driven through a stand-in
// terminal whose screen is modelled cell by cell.
#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <string>
#include <vector>

#include "console/editor.h"
#include "console/keys.h"
#include "console/terminal.h"
#include "datatypes/block.h"
#include "datatypes/string.h"
#include "runtime/collector.h"
#include "runtime/fire.h"
#include "runtime/root.h"
#include "runtime/stack.h"
#include "../support/kel_eval.h"
#include "../support/value_builders.h"
#include "../support/vt_screen.h"

namespace {

// ---------------------------------------------------------------------------------------------
// Key decoding

keys::Decoded decode(const std::string& bytes, bool more = true) {
    return keys::decode(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), more);
}

TEST(KeyDecoding, SequencesOfSpecialKeys) {
    struct Case {
        const char* bytes;
        int32_t key;
    };
    const Case cases[] = {
        {"\x1b[A", keys::up}, {"\x1b[B", keys::down}, {"\x1b[C", keys::right}, {"\x1b[D", keys::left},
        {"\x1b[H", keys::home}, {"\x1b[F", keys::end}, {"\x1bOA", keys::up}, {"\x1bOD", keys::left},
        {"\x1bOH", keys::home}, {"\x1bOF", keys::end}, {"\x1b[1~", keys::home}, {"\x1b[7~", keys::home},
        {"\x1b[4~", keys::end}, {"\x1b[8~", keys::end}, {"\x1b[2~", keys::insert}, {"\x1b[3~", keys::delete_},
        {"\x1b[5~", keys::page_up}, {"\x1b[6~", keys::page_down}, {"\x1bOP", -31}, {"\x1bOQ", -32},
        {"\x1bOR", -33}, {"\x1bOS", -34}, {"\x1b[11~", -31}, {"\x1b[15~", -35}, {"\x1b[17~", -36},
        {"\x1b[21~", -40}, {"\x1b[23~", -41}, {"\x1b[24~", -42}, {"\x1b[[A", -31}, {"\x1b[[E", -35},
        // Modifiers do not change the key.
        {"\x1b[1;5C", keys::right}, {"\x1b[3;2~", keys::delete_}, {"\x1bO5A", keys::up},
        {"\x1bOM", keys::enter},
    };
    for (const Case& c : cases) {
        std::string s = c.bytes;
        keys::Decoded d = decode(s + "x");  // a key typed after the sequence is not taken with it
        EXPECT_EQ(d.key, c.key) << s.substr(1);
        EXPECT_EQ(d.length, s.size()) << s.substr(1);
    }
    keys::Decoded back_tab = decode("\x1b[Z");
    EXPECT_EQ(back_tab.key, keys::tab);
    EXPECT_TRUE(back_tab.shift);
}

TEST(KeyDecoding, CharactersAndControls) {
    EXPECT_EQ(decode("a").key, 'a');
    EXPECT_EQ(decode("\r").key, keys::enter);
    EXPECT_EQ(decode("\n").key, keys::enter);
    EXPECT_EQ(decode("\x7f").key, 127);
    EXPECT_EQ(decode("\x08").key, 8);
    EXPECT_EQ(decode("\x03").key, 3);
    EXPECT_EQ(decode("\t").key, keys::tab);
    struct Case {
        const char* bytes;
        int32_t key;
    };
    for (Case c : {Case{"\xc3\xa9", 0xE9}, Case{"\xe4\xb8\xad", 0x4E2D}, Case{"\xf0\x9f\x98\x80", 0x1F600}}) {
        std::string s = c.bytes;
        keys::Decoded d = decode(s + "z");
        EXPECT_EQ(d.key, c.key);
        EXPECT_EQ(d.length, s.size());
        // Cut short, the character waits for its rest, or is dropped when none comes.
        EXPECT_EQ(decode(s.substr(0, s.size() - 1)).length, 0u);
        keys::Decoded cut = decode(s.substr(0, s.size() - 1), false);
        EXPECT_EQ(cut.key, 0);
        EXPECT_EQ(cut.length, s.size() - 1);
    }
    // Bytes that start no character are dropped one at a time: decoding picks up after them.
    for (const char* bad : {"\x80", "\xbf", "\xc0\x80", "\xf5\x80\x80\x80", "\xff", "\xed\xa0\x80", "\xe0\x80\x80", "\xc3("}) {
        keys::Decoded d = decode(bad);
        EXPECT_EQ(d.key, 0) << bad;
        EXPECT_EQ(d.length, 1u) << bad;
    }
}

TEST(KeyDecoding, EscapeAloneAndSequencesThatAreNoKey) {
    // ESC alone waits: it is the Escape key only when nothing follows it in time.
    EXPECT_EQ(decode("\x1b").length, 0u);
    EXPECT_EQ(decode("\x1b", false).key, keys::escape);
    EXPECT_EQ(decode("\x1b", false).length, 1u);
    // ESC ESC, ESC and a control key: the first is a key of its own.
    for (const char* two : {"\x1b\x1b[A", "\x1b\r", "\x1b\t"}) {
        EXPECT_EQ(decode(two).key, keys::escape);
        EXPECT_EQ(decode(two).length, 1u);
    }
    // A sequence cut short waits, or goes when nothing more comes.
    for (const char* cut : {"\x1b[", "\x1b[1", "\x1b[1;", "\x1bO", "\x1b[[", "\x1b]0;title"}) {
        EXPECT_EQ(decode(cut).length, 0u) << cut + 1;
        keys::Decoded d = decode(cut, false);
        EXPECT_EQ(d.key, 0) << cut + 1;
        EXPECT_EQ(d.length, std::strlen(cut)) << cut + 1;
    }
    struct Case {
        const char* bytes;
        size_t length;
    };
    const Case dropped[] = {
        {"\x1b[<0;12;5M", 10},     // SGR mouse report
        {"\x1b[M !!", 6},          // X10 mouse report: three raw bytes after the M
        {"\x1b[12;40R", 8},        // cursor position report
        {"\x1b[200~", 6},          // bracketed paste marker
        {"\x1b[99~", 5},           // unknown "~" key
        {"\x1b]0;title\x07", 10},  // string commands
        {"\x1b]2;x\x1b\\", 7},
        {"\x1b" "b", 2},           // Alt with a key
        {"\x1b\xc3\xa9", 3},
        {"\x1b\x7f", 2},           // Alt-Backspace
        {"\x1b[1\x03", 3},         // a control byte breaks the sequence off before itself
    };
    for (const Case& c : dropped) {
        keys::Decoded d = decode(c.bytes);
        EXPECT_EQ(d.key, 0) << c.bytes + 1;
        EXPECT_EQ(d.length, c.length) << c.bytes + 1;
    }
    // Input that never ends a sequence cannot make the reader wait for more forever.
    std::string endless = "\x1b[" + std::string(200, '1');
    keys::Decoded d = decode(endless);
    EXPECT_EQ(d.key, 0);
    EXPECT_GT(d.length, 0u);
    EXPECT_LE(d.length, keys::kMaxSequence);
    std::string title = "\x1b]0;" + std::string(200, 'x');
    EXPECT_GT(decode(title).length, 0u);
}

// ---------------------------------------------------------------------------------------------
// Width arithmetic

std::vector<uint32_t> codepoints(const std::string& utf8) {
    std::vector<uint32_t> out;
    const auto* p = reinterpret_cast<const uint8_t*>(utf8.data());
    const auto* end = p + utf8.size();
    while (p < end) {
        int32_t cp;
        p = unicode::fast_decode_utf8_char(p, end, &cp);
        out.push_back(uint32_t(cp));
    }
    return out;
}

int64_t measure(const std::string& text, int64_t start, int columns, bool hidden = false) {
    std::vector<uint32_t> cps = codepoints(text);
    return editor::measure(cps.data(), cps.size(), start, columns, hidden);
}

TEST(EditorWidth, CellsOfCharacters) {
    struct Case {
        uint32_t cp;
        int cells, hidden_cells;
    };
    const Case cases[] = {
        {'a', 1, 1},     {0x4E2D, 2, 1},  {0x1F300, 2, 1}, {0x1F5FF, 2, 1}, {0x0301, 0, 1},
        {'\t', 4, 4},    {1, 2, 1},       {0x7F, 2, 1},    {0x85, 1, 1},    {27, 0, 1},
        {0xFF21, 2, 1},  {0xE9, 1, 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(editor::char_cells(c.cp, false), c.cells) << std::hex << c.cp;
        EXPECT_EQ(editor::char_cells(c.cp, true), c.hidden_cells) << std::hex << c.cp;
    }
}

TEST(EditorWidth, PositionsAcrossRows) {
    struct Case {
        const char* text;
        int64_t start;
        int columns;
        int64_t end;
    };
    const Case cases[] = {
        {"abc", 0, 10, 3},
        {"abc", 8, 10, 11},            // wraps like any other cell
        {"\xe4\xb8\xad", 9, 10, 12},   // a wide character in the last cell moves to the next row
        {"\xe4\xb8\xad", 8, 10, 10},   // exactly fits
        {"a\xe4\xb8\xad" "b", 8, 10, 13},
        {"\t", 8, 10, 12},             // each of the tab's four cells wraps by itself
        {"e\xcc\x81", 0, 10, 1},       // combining mark
        {"\x1b[1;31mab\x1b[0m", 2, 10, 4},  // colour sequences take no cells
        {"\x1b(Bx", 0, 10, 1},
        {"\x01x", 0, 10, 3},           // ^A
        {"", 5, 10, 5},
    };
    for (const Case& c : cases) EXPECT_EQ(measure(c.text, c.start, c.columns), c.end) << c.text;
    // Hidden text counts one cell a character, whatever it is.
    EXPECT_EQ(measure("\xe4\xb8\xad\x1b\t", 0, 10, true), 6);
}

// ---------------------------------------------------------------------------------------------
// The editor on a stand-in terminal

struct Term {
    static VtScreen* screen;
    static std::deque<int32_t> keys;
    static int columns, rows;
    static int64_t start_column;  // -2: the model's own cursor column
    static std::string colours;
    static std::string last_write;
    static std::string written;
    static int reads;
    // When the editor asks for a key while this many are left, the screen is looked at.
    static inline int watch_remaining = -1;
    static inline int watched_row = -1, watched_column = -1;
    static inline bool watched_pending = false;
    static inline size_t watched_written = 0;
    static inline std::vector<int> columns_seen;
    static inline std::vector<size_t> written_seen;

    static int32_t read_key() {
        reads++;
        columns_seen.push_back(screen->column());
        written_seen.push_back(written.size());
        if (int(keys.size()) == watch_remaining) {
            watched_row = screen->row();
            watched_column = screen->column();
            watched_pending = screen->pending_wrap();
            watched_written = written.size();
        }
        if (keys.empty()) return -1;
        int32_t k = keys.front();
        keys.pop_front();
        return k;
    }
    static void write(const char* b, size_t n) {
        last_write.assign(b, n);
        written.append(b, n);
        screen->feed(last_write);
    }
    static void colour(const char* s, size_t n) {
        colours.append(s, n);
        written.append(s, n);
        screen->feed(std::string(s, n));
    }
    static bool size(int& c, int& r) {
        c = columns;
        r = rows;
        return true;
    }
    static int64_t column() {
        if (start_column != -2) return start_column;
        return screen->column() + (screen->pending_wrap() ? 1 : 0);
    }
};
VtScreen* Term::screen = nullptr;
std::deque<int32_t> Term::keys;
int Term::columns = 40, Term::rows = 12;
int64_t Term::start_column = -2;
std::string Term::colours, Term::last_write, Term::written;
int Term::reads = 0;

const editor::Io kTermIo{Term::read_key, Term::write, Term::colour, Term::size, Term::column};

// Completion stand-in: answers the block prepared by the test and records the line it got.
struct Completion {
    static int32_t answer_slot;  // the answer, in the root block
    static std::vector<std::pair<std::string, int32_t>> calls;
    static bool fail;
    static void complete(Cell* out, const Cell* line) {
        Cell whole = *line;
        whole.set_index(0);
        calls.emplace_back(string::to_utf8(&whole), line->index());
        if (fail) fire(err::script::invalid_arg, line);
        *out = *root::at(answer_slot);
    }
};
int32_t Completion::answer_slot = -1;
std::vector<std::pair<std::string, int32_t>> Completion::calls;
bool Completion::fail = false;

class Editor : public testing::Test {
protected:
    void SetUp() override {
        screen_ = std::make_unique<VtScreen>(Term::columns = 40, Term::rows = 12);
        Term::screen = screen_.get();
        Term::keys.clear();
        Term::start_column = -2;
        Term::colours.clear();
        Term::written.clear();
        Term::reads = 0;
        Term::watch_remaining = -1;
        Term::columns_seen.clear();
        Term::written_seen.clear();
        editor::set_io(&kTermIo);
        editor::set_completer(Completion::complete);
        Completion::calls.clear();
        Completion::fail = false;
        if (Completion::answer_slot < 0) {
            Cell none = tv::none();
            Completion::answer_slot = root::keep(&none);
            history_slot_ = root::keep(&none);
        }
        answer({});
        Cell h = tv::blk({});
        *root::at(history_slot_) = h;
        // An edit left waiting by an earlier test (Tab with several candidates) starts empty.
        drain_saved_line();
    }
    void TearDown() override {
        editor::set_io(nullptr);
        editor::set_completer(nullptr);
    }

    void resize(int columns, int rows) {
        screen_ = std::make_unique<VtScreen>(Term::columns = columns, Term::rows = rows);
        Term::screen = screen_.get();
    }

    void drain_saved_line() {
        Term::keys = {keys::escape};
        edit(">> ");
        screen_ = std::make_unique<VtScreen>(Term::columns, Term::rows);
        Term::screen = screen_.get();
        Term::written.clear();
        Term::columns_seen.clear();
        Term::written_seen.clear();
    }

    static void answer(std::initializer_list<std::pair<const char*, int32_t>> entries) {
        Cell b = tv::blk({});
        collector::Root keep(&b);
        for (auto& e : entries) {
            Cell s = tv::str(e.first);
            s.set_index(e.second);
            block::append_cell(b.node(), &s);
        }
        *root::at(Completion::answer_slot) = b;
    }

    void history(std::initializer_list<const char*> entries) {
        Cell b = tv::blk({});
        collector::Root keep(&b);
        for (const char* e : entries) {
            Cell s = tv::str(e);
            block::append_cell(b.node(), &s);
        }
        *root::at(history_slot_) = b;
    }
    std::vector<std::string> history_entries() {
        std::vector<std::string> out;
        Cell h = *root::at(history_slot_);
        for (int32_t i = 0; i < block::node_length(h.node()); i++) out.push_back(tv::text_of(*block::node_cell(h.node(), i)));
        return out;
    }

    static void type(const std::string& text) {
        for (uint32_t cp : codepoints(text)) Term::keys.push_back(int32_t(cp));
    }
    static void press(std::initializer_list<int32_t> ks) {
        for (int32_t k : ks) Term::keys.push_back(k);
    }

    // One edit: answers how it ended; the line's text is in line_.
    editor::End edit(const char* prompt, bool hidden = false) {
        Cell line;
        string::make_at_unit(&line, 4, 1);
        collector::Root keep(&line);
        Cell h = *root::at(history_slot_);
        editor::setup(&line, &h);
        Cell p = tv::str(prompt);
        collector::Root keep_p(&p);
        editor::End end = editor::edit_line(&p, hidden);
        line_ = string::to_utf8(editor::line_cell());
        EXPECT_TRUE(screen_->unsupported().empty()) << screen_->unsupported().front();
        return end;
    }

    // The rows of the screen from the first, joined: what prompt and line look like.
    std::string shown(int first_row, int rows) {
        std::string s;
        for (int r = first_row; r < first_row + rows; r++) {
            std::string t = screen_->text(r);
            if (r + 1 < first_row + rows) t.resize(size_t(Term::columns), ' ');
            s += t;
        }
        return s;
    }

    std::unique_ptr<VtScreen> screen_;
    std::string line_;
    static inline int32_t history_slot_ = -1;
};

TEST_F(Editor, EditingKeys) {
    constexpr int32_t bs = 8, del = 127, ctrl_a = 1, ctrl_b = 2, ctrl_d = 4, ctrl_e = 5, ctrl_f = 6, ctrl_k = 11;
    struct Case {
        const char* text;
        std::vector<int32_t> keys;
        const char* more;
        const char* line;
    };
    const Case cases[] = {
        {"abc", {}, "", "abc"},
        {"abc", {keys::left, keys::left}, "X", "aXbc"},
        {"abc", {ctrl_b, ctrl_b, ctrl_f}, "X", "abXc"},
        {"abc", {keys::left, keys::right, keys::right}, "X", "abcX"},  // Right stops at the end
        {"abc", {keys::home}, "X", "Xabc"},
        {"abc", {ctrl_a, keys::end}, "X", "abcX"},
        {"abc", {ctrl_a, ctrl_e}, "X", "abcX"},
        {"abc", {bs}, "", "ab"},
        {"abc", {keys::left, del}, "", "ac"},
        {"abc", {keys::home, bs}, "", "abc"},  // nothing before the cursor
        {"abc", {keys::home, keys::delete_}, "", "bc"},
        {"abc", {keys::delete_}, "", "abc"},  // nothing after the cursor
        {"abcdef", {keys::left, keys::left, keys::left, ctrl_k}, "", "abc"},
        {"abc", {keys::home, ctrl_d}, "", "bc"},
        {"abc", {ctrl_d}, "", "abc"},  // at the end of a line that is not empty: nothing
        // Keys of no effect here: Insert, Page Up and Down, F1, other control characters.
        {"ab", {keys::insert, keys::page_up, keys::page_down, keys::f1, 0, 7, 0x1F, 26}, "c", "abc"},
        {"\xe4\xb8\xad\xf0\x9f\x98\x80", {keys::left}, "x", "\xe4\xb8\xadx\xf0\x9f\x98\x80"},
    };
    for (const Case& c : cases) {
        SetUp();
        type(c.text);
        for (int32_t k : c.keys) Term::keys.push_back(k);
        type(c.more);
        press({keys::enter});
        EXPECT_EQ(edit(">> "), editor::End::enter) << c.line;
        EXPECT_EQ(line_, c.line);
        // What is shown is what was typed, and the cursor went below the input.
        EXPECT_EQ(screen_->text(0), std::string(">> ") + c.line);
        EXPECT_EQ(screen_->column(), 0);
    }
}

TEST_F(Editor, KeysThatEndTheLine) {
    type("abc");
    press({3});
    EXPECT_EQ(edit(">> "), editor::End::quit);
    EXPECT_EQ(line_, "q");

    SetUp();
    press({3});
    EXPECT_EQ(edit(">> "), editor::End::quit);
    EXPECT_EQ(line_, "q");

    SetUp();
    press({4});
    EXPECT_EQ(edit(">> "), editor::End::quit);
    EXPECT_EQ(line_, "q");

    SetUp();
    type("ab");
    press({keys::left, keys::escape});
    EXPECT_EQ(edit(">> "), editor::End::escape);
    EXPECT_EQ(line_, "ab\x1b");
    EXPECT_TRUE(history_entries().empty());

    // The terminal went away: the line is "q", as Ctrl-D on an empty line.
    SetUp();
    type("abc");
    EXPECT_EQ(edit(">> "), editor::End::terminal_gone);
    EXPECT_EQ(line_, "q");
}

TEST_F(Editor, HistoryUpAndDown) {
    constexpr int32_t ctrl_p = 16, ctrl_n = 14;
    history({"third", "second", "first"});
    struct Case {
        std::vector<int32_t> keys;
        const char* line;
    };
    const Case cases[] = {
        {{keys::up}, "third"},
        {{keys::up, keys::up}, "second"},
        {{ctrl_p, ctrl_p, ctrl_p}, "first"},
        {{keys::up, keys::up, keys::up, keys::up}, ""},                 // past the oldest entry
        {{keys::up, keys::up, keys::up, keys::up, keys::down}, "second"},  // the index stayed
        {{keys::up, keys::up, keys::down}, "third"},
        {{keys::up, keys::up, ctrl_n, ctrl_n}, ""},                      // back to the fresh line
        {{keys::down}, ""},
        {{keys::down, keys::down, keys::up}, "third"},
    };
    for (const Case& c : cases) {
        Term::keys.clear();
        type("typed");
        for (int32_t k : c.keys) Term::keys.push_back(k);
        press({keys::escape});
        edit(">> ");
        EXPECT_EQ(line_, std::string(c.line) + "\x1b");
        resize(40, 12);
    }
    // Fetched lines are edited like typed ones.
    press({keys::up, keys::left, keys::left});
    type("X");
    press({keys::escape});
    edit(">> ");
    EXPECT_EQ(line_, "thiXrd\x1b");

    // An empty history has nothing to give.
    history({});
    press({keys::up, keys::escape});
    edit(">> ");
    EXPECT_EQ(line_, "\x1b");
}

TEST_F(Editor, LinesEnterTheHistory) {
    for (const char* l : {"one", "two", "two", "", "one"}) {
        type(l);
        press({keys::enter});
        edit(">> ");
    }
    // Newest first; a line equal to the newest entry and an empty line are not added.
    EXPECT_EQ(history_entries(), (std::vector<std::string>{"one", "two", "one"}));
    // Equal means equal in case too.
    type("ONE");
    press({keys::enter});
    edit(">> ");
    EXPECT_EQ(history_entries().front(), "ONE");
    // Hidden lines, Escape and Ctrl-C add nothing.
    type("secret");
    press({keys::enter});
    edit("Password: ", true);
    type("esc");
    press({keys::escape});
    edit(">> ");
    type("quit");
    press({3});
    edit(">> ");
    EXPECT_EQ(history_entries().size(), 4u);
    // The history is read from the head index it was given and filled there.
    Cell h = *root::at(history_slot_);
    h.set_index(1);
    *root::at(history_slot_) = h;
    press({keys::up, keys::enter});
    edit(">> ");
    EXPECT_EQ(line_, "one");
    std::vector<std::string> entries = history_entries();
    EXPECT_EQ(entries[0], "ONE");
    EXPECT_EQ(entries[1], "one");
}

TEST_F(Editor, PromptWithColoursTakesOnlyItsVisibleCells) {
    type("abc");
    press({keys::left, keys::enter});
    Term::watch_remaining = 1;
    edit("\x1b[1;32m>> \x1b[0m");
    EXPECT_EQ(Term::colours, "\x1b[1;32m\x1b[0m");
    EXPECT_EQ(screen_->text(0), ">> abc");
    EXPECT_EQ(Term::watched_column, 5);
}

TEST_F(Editor, CursorFollowsTheLine) {
    type("abcd");
    press({keys::left, keys::left, keys::home, keys::end});
    edit(">> ");
    // Before each key: the prompt's 3 cells, then the text up to the cursor.
    EXPECT_EQ(Term::columns_seen, (std::vector<int>{3, 4, 5, 6, 7, 6, 5, 3, 7}));
}

TEST_F(Editor, TabsHiddenTextAndControlCharacters) {
    type("a\tb");
    press({keys::enter});
    edit(">> ");
    EXPECT_EQ(line_, "a\tb");
    EXPECT_EQ(screen_->text(0), ">> a    b");

    resize(40, 12);
    type("se\tcr\xe4\xb8\xad");
    press({keys::left, keys::enter});
    EXPECT_EQ(edit("Password: ", true), editor::End::enter);
    EXPECT_EQ(line_, "se\tcr\xe4\xb8\xad");
    EXPECT_EQ(screen_->text(0), "Password: *********");  // the tab shows as four
    EXPECT_EQ(Term::written.find("cr"), std::string::npos);

    // A control character from the history shows in its caret form and takes two cells.
    resize(40, 12);
    history({"a\x01" "b"});
    press({keys::up, keys::left});
    type("X");
    press({keys::enter});
    edit(">> ");
    EXPECT_EQ(line_, "a\x01Xb");
    EXPECT_EQ(screen_->text(0), ">> a^AXb");

    // A colour sequence in the line is carried out and takes no cells, also with the cursor
    // inside it.
    resize(40, 12);
    history({"a\x1b[31mbc"});
    press({keys::up, keys::home, keys::right, keys::right, keys::right, terminal::kContinued, keys::enter});
    Term::colours.clear();
    edit(">> ");
    EXPECT_EQ(screen_->text(0), ">> abc");
    EXPECT_EQ(Term::colours, "\x1b[31m\x1b[31m");  // once for each of the two redraws
}

TEST_F(Editor, WideCharacterAtTheRowsEnd) {
    resize(10, 6);
    // ">> abcdef" fills 9 cells: the wide character cannot start in the last one.
    type("abcdef\xe4\xb8\xad" "g");
    press({keys::enter});
    edit(">> ");
    EXPECT_EQ(screen_->text(0), ">> abcdef");
    EXPECT_EQ(screen_->at(0, 9), 0u);
    EXPECT_EQ(screen_->text(1), "\xe4\xb8\xad" "g");

    // The cursor on such a character shows at the next row's start.
    resize(10, 6);
    type("abcdef\xe4\xb8\xad");
    press({keys::left, keys::enter});
    Term::watch_remaining = 1;
    edit(">> ");
    EXPECT_EQ(Term::watched_row, 1);
    EXPECT_EQ(Term::watched_column, 0);
}

TEST_F(Editor, LongLineWrapsAndIsEditedInItsMiddle) {
    resize(20, 10);
    std::string text;
    for (int i = 0; i < 50; i++) text += char('a' + i % 26);
    type(text);
    press({keys::home});
    for (int i = 0; i < 25; i++) press({keys::right});
    type("XYZ");
    press({keys::left, keys::left, keys::left, keys::left, 8, keys::delete_});
    std::string expected = text.substr(0, 23) + "XYZ" + text.substr(25);
    press({keys::enter});
    Term::watch_remaining = 1;
    edit(">> ");
    EXPECT_EQ(line_, expected);
    // The screen holds prompt and line over three rows, nothing more.
    EXPECT_EQ(shown(0, 3), ">> " + expected);
    EXPECT_EQ(screen_->text(3), "");
    // Before Enter the cursor stood after "...wx" (23 characters), on cell 3 + 23.
    EXPECT_EQ(Term::watched_row, (3 + 23) / 20);
    EXPECT_EQ(Term::watched_column, (3 + 23) % 20);
    // Enter left the cursor at the start of the input's last row.
    EXPECT_EQ(screen_->row(), 2);
}

TEST_F(Editor, TypingAtTheRowsEndWrapsTheCursor) {
    resize(10, 6);
    type("1234567");  // fills the first row exactly after ">> "
    type("8");
    press({keys::left, keys::left});
    type("x");
    press({keys::enter});
    Term::watch_remaining = int(Term::keys.size()) - 7;
    edit(">> ");
    // After the row's last cell the cursor waits at the next row's start, not in the last cell.
    EXPECT_EQ(Term::watched_row, 1);
    EXPECT_EQ(Term::watched_column, 0);
    EXPECT_FALSE(Term::watched_pending);
    EXPECT_EQ(line_, "123456x78");
    EXPECT_EQ(screen_->text(0), ">> 123456x");
    EXPECT_EQ(screen_->text(1), "78");
}

TEST_F(Editor, TypingAtTheEndWritesOnlyTheCharacter) {
    type("abc");
    edit(">> ");
    // What went out between reading the "c" and asking for the next key.
    ASSERT_GE(Term::written_seen.size(), 4u);
    EXPECT_EQ(Term::written.substr(Term::written_seen[2], Term::written_seen[3] - Term::written_seen[2]), "c");
}

TEST_F(Editor, ALongPasteKeepsUp) {
    // Each character typed at the end used to lay the whole line out again, so a paste of many
    // thousand characters took minutes. The bound is far above what the work takes.
    resize(80, 24);
    constexpr size_t kLength = 100000;
    Term::keys.assign(kLength, int32_t('x'));
    press({keys::enter});
    auto started = std::chrono::steady_clock::now();
    edit(">> ");
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EXPECT_EQ(line_, std::string(kLength, 'x'));
    EXPECT_LT(seconds, 5.0);
    // The last rows as the terminal shows them: a full one, then the three cells that ">> " put
    // over.
    EXPECT_EQ(screen_->text(screen_->row() - 1), std::string(80, 'x'));
    EXPECT_EQ(screen_->text(screen_->row()), "xxx");
}

TEST_F(Editor, InputStartsWhereTheCursorStands) {
    screen_->feed("Name? ");
    type("Ann");
    press({keys::left, keys::left});
    type("x");
    press({keys::enter});
    edit("");
    EXPECT_EQ(screen_->text(0), "Name? Axnn");

    // Unknown: the input starts at the line's start.
    resize(40, 12);
    screen_->feed("junk");
    Term::start_column = -1;
    type("a");
    press({keys::enter});
    edit(">> ");
    EXPECT_EQ(screen_->text(0), ">> a");

    // Output that ended exactly at the row's end: the input starts on the next row.
    resize(10, 6);
    screen_->feed("0123456789");
    Term::start_column = -2;
    type("ab");
    press({keys::left});
    type("x");
    press({keys::enter});
    edit(">> ");
    EXPECT_EQ(screen_->text(0), "0123456789");
    EXPECT_EQ(screen_->text(1), ">> axb");
}

TEST_F(Editor, PromptOverSeveralRows) {
    type("ab");
    press({keys::left});
    type("x");
    press({keys::enter});
    edit("first\nsecond> ");
    EXPECT_EQ(screen_->text(0), "first");
    EXPECT_EQ(screen_->text(1), "second> axb");
}

TEST_F(Editor, WindowResizedDuringTheEdit) {
    struct Resizing {
        static int32_t read_key() {
            int32_t k = Term::read_key();
            if (k == terminal::kResized) Term::columns = 20;
            return k;
        }
    };
    editor::Io io = kTermIo;
    io.read_key = Resizing::read_key;
    editor::set_io(&io);
    type("abcdef");
    Term::keys.push_back(terminal::kResized);
    press({keys::home});
    type("X");
    press({keys::enter});
    edit(">> ");
    EXPECT_EQ(line_, "Xabcdef");
    EXPECT_EQ(screen_->text(0), ">> Xabcdef");
}

TEST_F(Editor, CompletionWithOneCandidate) {
    answer({{"print", 5}});
    type("pri");
    press({keys::tab});
    type("X");
    press({keys::enter});
    edit(">> ");
    EXPECT_EQ(line_, "printX");
    ASSERT_EQ(Completion::calls.size(), 1u);
    EXPECT_EQ(Completion::calls[0].first, "pri");
    EXPECT_EQ(Completion::calls[0].second, 3);
    EXPECT_EQ(screen_->text(0), ">> printX");

    // In the middle of a line: the completer gets the line with its head at the cursor, and the
    // cursor goes where the completed line's head is.
    SetUp();
    answer({{"abc print xyz", 9}});
    type("abc pri xyz");
    press({keys::left, keys::left, keys::left, keys::left, keys::tab});
    type("!");
    press({keys::enter});
    edit(">> ");
    EXPECT_EQ(Completion::calls[0].second, 7);
    EXPECT_EQ(line_, "abc print! xyz");
}

TEST_F(Editor, CompletionWithSeveralCandidates) {
    answer({{"pr", 2}, {"print", 0}, {"probe", 0}, {"prin", 0}});
    type("p");
    press({keys::tab});
    EXPECT_EQ(edit(">> "), editor::End::enter);
    EXPECT_EQ(line_, "");
    // The candidates are listed in place of the input, and the next edit starts with the
    // completed text, the cursor after it.
    EXPECT_EQ(screen_->text(0), ">> print probe prin");
    EXPECT_EQ(screen_->row(), 0);
    answer({});
    type("in");
    press({keys::enter});
    edit(">> ");
    EXPECT_EQ(line_, "prin");
    // Only Enter and Escape let the completed text go.
    answer({{"pr", 2}, {"print", 0}, {"probe", 0}});
    type("p");
    press({keys::tab});
    edit(">> ");
    press({3});
    edit(">> ");
    EXPECT_EQ(line_, "q");
    press({keys::escape});
    edit(">> ");
    EXPECT_EQ(line_, "pr\x1b");
    press({keys::enter});
    edit(">> ");
    EXPECT_EQ(line_, "");
}

TEST_F(Editor, TabInsertsATabWhenNothingCompletes) {
    type("ab");
    press({keys::tab, keys::enter});
    edit(">> ");
    EXPECT_EQ(line_, "ab\t");
    EXPECT_EQ(Completion::calls.size(), 1u);

    // A completion that fails completes nothing.
    SetUp();
    Completion::fail = true;
    type("ab");
    press({keys::tab, keys::enter});
    edit(">> ");
    EXPECT_EQ(line_, "ab\t");

    // Hidden input is never handed to completion.
    SetUp();
    answer({{"secretive", 9}});
    type("secr");
    press({keys::tab, keys::enter});
    edit("Password: ", true);
    EXPECT_EQ(line_, "secr\t");
    EXPECT_TRUE(Completion::calls.empty());
    EXPECT_EQ(screen_->text(0), "Password: ********");
}

TEST_F(Editor, ExitsOutOfACompletionFunctionStopAtTheEdit) {
    // A script's own completion function that throws, breaks or continues past itself: the frame
    // that would take the exit sits below the edit, as `catch [ask ...]` or a loop around ask
    // would. The exit must not reach it: the cells above it belong to calls still running.
    struct Case {
        const char* body;
        uint32_t kind;  // the frame waiting below the edit
    };
    const Case cases[] = {
        {"throw 'gone", FRAME_CATCH},
        {"break", FRAME_LOOP},
        {"continue", FRAME_LOOP},
    };
    kel_test::Outcome o = kel_test::run("set/any 'completion-saved get/any 'kel-complete-ctx true");
    ASSERT_FALSE(o.error) << o.text << " " << o.message;
    static const uint32_t sym = symbol::make("waiting");
    for (const Case& c : cases) {
        SetUp();
        editor::set_completer(nullptr);
        o = kel_test::run(std::string("kel-complete-ctx: make object! [complete-input: func [line console?] [") +
                          c.body + "]] true");
        ASSERT_FALSE(o.error) << o.text << " " << o.message;
        stack::Saved saved = stack::save();
        stack::mark(sym, context::global_node, c.kind);
        Cell* slot = stack::push_cell();
        set_cell(slot, TYPE_INTEGER, 42);
        type("ab");
        press({keys::tab, keys::enter});
        edit(">> ");
        EXPECT_EQ(line_, "ab\t") << c.body;
        EXPECT_TRUE(slot->is(TYPE_INTEGER) && int_of(slot) == 42) << c.body;
        stack::restore(saved);
    }
    o = kel_test::run("set/any 'kel-complete-ctx get/any 'completion-saved true");
    ASSERT_FALSE(o.error) << o.text << " " << o.message;
}

}  // namespace
