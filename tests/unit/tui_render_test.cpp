// The terminal renderer, widget kinds, text metrics and rich-text runs: widget records built by
// hand over face objects, painted into the cell buffer, checked cell by cell and as frame bytes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "datatypes/point.h"
#include "datatypes/symbol.h"
#include "evaluator/natives.h"
#include "runtime/output.h"
#include "runtime/runtime.h"
#include "runtime/stack.h"
#include "tests/support/captured_stdout.h"
#include "tests/support/fired.h"
#include "tests/support/kel_eval.h"
#include "tests/support/value_builders.h"
#include "tui/draw.h"
#include "tui/render.h"
#include "tui/rich_text.h"
#include "tui/text.h"
#include "tui/widgets.h"

using namespace tui;

namespace {

constexpr const char* kFaceProto =
    "tui-face-proto: make object! [type: 'base offset: 0x0 size: 10x1 text: none image: none color: none "
    "menu: none data: none enabled?: true visible?: true selected: none flags: none options: none "
    "parent: none pane: none state: none rate: none edge: none para: none font: none actors: none "
    "extra: none draw: none]";

// A face object: the prototype with the given fields changed (Kel text of set-words and values).
Cell face(const std::string& fields) {
    kel_test::run(kFaceProto);
    kel_test::Outcome o = kel_test::run("tui-test-face: make tui-face-proto [" + fields + "]");
    EXPECT_FALSE(o.error) << fields << ": " << o.text;
    return tv::hold(tv::get("tui-test-face"));
}

class Tui : public testing::Test {
protected:
    std::vector<std::unique_ptr<Widget>> widgets;

    void SetUp() override {
        kel_test::boot();
        state.windows.clear();
        state.output.clear();
        state.buffer = CellGrid{};
        state.focused = nullptr;
        state.current_window = nullptr;
        state.cursor_row = 0;
        state.caret_column = state.caret_row = -1;
        state.drawn_inline = 0;
        state.alternate_screen = 0;
        state.cursor_hidden = 0;
        state.colour_mode = 4;
        state.redraw = 0;
        state.gui_active = 1;
        state.columns = 80;
        state.rows = 24;
        send_face_event = nullptr;
    }
    void TearDown() override {
        for (auto& w : widgets) {
            if (w->id) remove_widget(w.get());
            release_kind(w.get());
            delete w->window;
        }
        state.windows.clear();
        send_face_event = nullptr;
    }

    // A widget over a new face, its kind set up, at offset (x, y) of its parent. The face's state
    // holds the widget's handle, as for a shown face.
    Widget* make(const std::string& fields, Widget* parent = nullptr) {
        Cell f = face(fields);
        auto w = std::make_unique<Widget>();
        Widget* raw = w.get();
        widgets.push_back(std::move(w));
        raw->face = f;
        set_cell(&raw->ui, TYPE_NONE);
        raw->parent = parent;
        raw->type = facet(&f, kFType)->i2();
        const Cell* off = facet(&f, kFOffset);
        const Cell* size = facet(&f, kFSize);
        raw->x1 = float(off->i2());
        raw->y1 = float(off->i3());
        raw->x2 = raw->x1 + float(size->i2());
        raw->y2 = raw->y1 + float(size->i3());
        if (!facet(&f, kFVisible)->data1) raw->flags |= kWHidden;
        add_widget(raw);
        kel_test::run("tui-test-face/state: reduce [make handle! " + std::to_string(raw->id) + "]");
        setup_kind(raw);
        return raw;
    }

    // A window of w x h cells made current, with its children's faces in its pane.
    Widget* window(int w, int h) {
        Widget* win = make("type: 'window size: " + std::to_string(w) + "x" + std::to_string(h) + " pane: []");
        state.current_window = win;
        return win;
    }
    void add_child(Widget* parent, Widget* child) {
        Cell pane = *facet(&parent->face, kFPane);
        block::append_cell(pane.node(), &child->face);
    }

    static void buffer(int w, int h) {
        state.buffer.width = w;
        state.buffer.height = h;
        state.buffer.cells.assign(size_t(w) * size_t(h), TermCell{0, 0, 0, 0});
    }
    static const TermCell& at(int x, int y) { return state.buffer.cells[size_t(y) * size_t(state.buffer.width) + x]; }
    // The characters of a buffer row ("." for a blank, "~" for a wide character's tail).
    static std::string row(int y) {
        std::string s;
        for (int x = 0; x < state.buffer.width; x++) {
            const TermCell& c = at(x, y);
            if (c.flags & kWideTail) s += "~";
            else if (c.cp == 0) s += ".";
            else if (c.cp < 128) s += char(c.cp);
            else s += "#";
        }
        return s;
    }
    static std::string frame() {
        state.output.clear();
        compose_frame();
        return std::string(state.output.begin(), state.output.end());
    }
};

// What render() writes to standard output.
std::string rendered() {
    int fds[2];
    if (pipe(fds) != 0) return "pipe failed";
    int old_fd = output::stdout_fd();
    bool old_terminal = output::stdout_is_terminal();
    output::flush();
    output::set_stdout(fds[1], false);
    render();
    output::set_stdout(old_fd, old_terminal);
    close(fds[1]);
    std::string bytes;
    char buf[4096];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) bytes.append(buf, size_t(n));
    close(fds[0]);
    return bytes;
}

EventRecord key(Widget* w, int32_t k) {
    EventRecord ev;
    ev.widget = w;
    ev.key = k;
    return ev;
}

}  // namespace

// ---- Colours ----

TEST_F(Tui, ColourConversion) {
    struct Case {
        const char* tuple;
        uint32_t expected;
    } cases[] = {
        {"255.0.0", kColour256 | 196},
        {"0.0.0", kColour256 | 16},        // black: cube and grey tie at distance 0 and 192: cube
        {"128.128.128", kColour256 | 244},  // grey ramp
        {"255.255.255", kColour256 | 231},
        {"10.20.30", kColour256 | 233},
        {"0.0.255.255", kColourDefault},  // fully transparent
        {"0.0.255.254", kColour256 | 21},
    };
    for (const Case& c : cases) {
        kel_test::run(std::string("tui-test-colour: ") + c.tuple);
        Cell t = tv::get("tui-test-colour");
        EXPECT_EQ(rgb_to_256(tuple_to_rgb(&t)), c.expected) << c.tuple;
    }
    EXPECT_EQ(channel_level(47), 0);
    EXPECT_EQ(channel_level(48), 1);
    EXPECT_EQ(channel_level(114), 1);
    EXPECT_EQ(channel_level(115), 2);
    EXPECT_EQ(channel_level(255), 5);
}

// ---- Frames ----

TEST_F(Tui, FrameWritesColoursAndAttributesWhereTheyChange) {
    buffer(6, 1);
    auto& c = state.buffer.cells;
    c[0] = {'a', kColourBasic | 1, kColourBasic | 12, 0};
    c[1] = {'b', kColourBasic | 1, kColourBasic | 12, 0};  // no change: nothing written
    c[2] = {'c', kColour256 | 196, kColourRGB | 0x0A141E, kBold};
    c[3] = {'d', kColourDefault, kColourDefault, kBold | kDim};
    c[4] = {'e', kColourDefault, 0x03000005, kDim};  // unknown kind; bold off keeps dim
    c[5] = {0, kColourDefault, kColourDefault, kUnderline | kReverse};
    EXPECT_EQ(frame(),
              "\r\x1b[0J"
              "\x1b[92m\x1b[41ma"
              "b"
              "\x1b[1m\x1b[38;2;10;20;30m\x1b[48;5;196mc"
              "\x1b[2m\x1b[39m\x1b[49md"
              "\x1b[22m\x1b[2m\x1b[0me"
              "\x1b[22m\x1b[7m\x1b[4m\x1b[39m "
              "\x1b[27m\x1b[24m");
    EXPECT_EQ(state.cursor_row, 0);
}


TEST_F(Tui, AWideCharacterWithOneHalfDrawnOverKeepsTheRowInPlace) {
    constexpr uint32_t kWide = 0x65E5;  // two cells
    const std::string wide = "\xE6\x97\xA5";
    struct Case {
        std::vector<TermCell> cells;
        std::string written;
    } cases[] = {
        {{{kWide, 0, 0, 0}, {0, 0, 0, kWideTail}, {'a', 0, 0, 0}}, wide + "a"},
        // The head drawn over: the tail left behind is a blank.
        {{{'X', 0, 0, 0}, {0, 0, 0, kWideTail}, {'a', 0, 0, 0}}, "X a"},
        // The tail drawn over: the head left behind is a blank.
        {{{kWide, 0, 0, 0}, {'X', 0, 0, 0}, {'a', 0, 0, 0}}, " Xa"},
        {{{'a', 0, 0, 0}, {'b', 0, 0, 0}, {kWide, 0, 0, 0}}, "ab "},
        {{{kWide, 0, 0, 0}, {kWide, 0, 0, 0}, {0, 0, 0, kWideTail}}, " " + wide},
    };
    for (const Case& c : cases) {
        buffer(3, 1);
        state.buffer.cells = c.cells;
        EXPECT_EQ(frame(), "\r\x1b[0J" + c.written);
    }
}

TEST_F(Tui, InlineFramesReplaceThePreviousOne) {
    Widget* win = window(3, 5);
    Widget* b = make("type: 'base offset: 0x4 size: 3x1 text: {xyz}", win);
    add_child(win, b);
    state.redraw = 1;
    std::string first = rendered();
    EXPECT_EQ(first.rfind("\x1b[?25l\r\x1b[0J", 0), 0u) << first;
    EXPECT_NE(first.find("xyz"), std::string::npos);
    EXPECT_EQ(state.cursor_row, 4);
    EXPECT_EQ(state.drawn_inline, 1);
    EXPECT_EQ(state.redraw, 0);
    EXPECT_EQ(rendered(), "");  // nothing changed, nothing written
    Widget* other = window(2, 2);
    Widget* elsewhere = make("type: 'base size: 1x1", other);
    state.current_window = win;
    mark_redraw(elsewhere);  // a window that is not shown is not drawn again
    EXPECT_EQ(state.redraw, 0);
    for (int i = 0; i < 2; i++) {
        mark_redraw(b);
        std::string again = rendered();
        EXPECT_EQ(again.rfind("\r\x1b[4A\x1b[0J", 0), 0u) << again;
        EXPECT_EQ(again.substr(again.size() - 3), "xyz");
    }
    // The print hook's erase goes back to the drawing's first row and clears to the end.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    int old_fd = output::stdout_fd();
    bool old_terminal = output::stdout_is_terminal();
    output::set_stdout(fds[1], false);
    erase_inline();
    output::set_stdout(old_fd, old_terminal);
    close(fds[1]);
    char buf[64];
    ssize_t n = read(fds[0], buf, sizeof buf);
    close(fds[0]);
    EXPECT_EQ(std::string(buf, size_t(n > 0 ? n : 0)), "\r\x1b[4A\x1b[0J");
    EXPECT_EQ(state.cursor_row, 0);
    EXPECT_EQ(state.drawn_inline, 0);
}

TEST_F(Tui, WindowIsCutToTheScreen) {
    state.columns = 4;
    state.rows = 2;
    Widget* win = window(10, 5);
    state.redraw = 1;
    rendered();
    EXPECT_EQ(state.buffer.width, 4);
    EXPECT_EQ(state.buffer.height, 2);
    (void)win;
}

TEST_F(Tui, AHugeWindowOnAHugeTerminalKeepsABufferOfScreenSize) {
    // The largest size a terminal can report: its cells would take 64 GiB.
    state.columns = 65535;
    state.rows = 65535;
    Widget* win = window(65535, 65535);
    Widget* b = make("type: 'base offset: 2x1 size: 3x1 text: {big}", win);
    add_child(win, b);
    state.redraw = 1;
    int null_fd = open("/dev/null", O_WRONLY);
    ASSERT_GE(null_fd, 0);
    int old_fd = output::stdout_fd();
    bool old_terminal = output::stdout_is_terminal();
    output::set_stdout(null_fd, false);
    render();
    output::set_stdout(old_fd, old_terminal);
    close(null_fd);
    EXPECT_EQ(state.buffer.width, kMaxColumns);
    EXPECT_EQ(state.buffer.height, kMaxRows);
    EXPECT_EQ(row(1).substr(0, 6), "..big.");
    EXPECT_EQ(state.cursor_row, kMaxRows - 1);
}

TEST_F(Tui, CaretFollowsTheFocusedField) {
    Widget* win = window(12, 3);
    Widget* f = make("type: 'field offset: 2x1 size: 8x1 text: {abc}", win);
    add_child(win, f);
    state.focused = f;
    f->flags |= kHasFocus;
    state.cursor_hidden = 1;
    state.redraw = 1;
    std::string bytes = rendered();
    // Caret after "abc": column 2 + 3, one row up from the last.
    EXPECT_EQ(bytes.substr(bytes.size() - 15), "\r\x1b[1A\x1b[5C\x1b[?25h");
    EXPECT_EQ(state.cursor_row, 1);
    EXPECT_EQ(state.cursor_hidden, 0);
}

TEST_F(Tui, ACaretBelowTheDrawingKeepsTheNextFrameInPlace) {
    // The focused field lies below its panel, so its caret row is past the drawing's last row.
    Widget* win = window(12, 3);
    Widget* panel = make("type: 'panel offset: 0x1 size: 12x2 pane: []", win);
    add_child(win, panel);
    Widget* f = make("type: 'field offset: 2x4 size: 8x1 text: {abc}", panel);
    add_child(panel, f);
    state.focused = f;
    f->flags |= kHasFocus;
    for (int i = 0; i < 2; i++) {
        state.redraw = 1;
        std::string bytes = rendered();
        EXPECT_EQ(state.cursor_row, 2);
        if (i == 1) {
            EXPECT_EQ(bytes.rfind("\r\x1b[2A\x1b[0J", 0), 0u) << bytes;
        }
    }
    // The erase goes back to the drawing's first row, not above it.
    state.output.clear();
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    int old_fd = output::stdout_fd();
    bool old_terminal = output::stdout_is_terminal();
    output::set_stdout(fds[1], false);
    erase_inline();
    output::set_stdout(old_fd, old_terminal);
    close(fds[1]);
    char buf[64];
    ssize_t n = read(fds[0], buf, sizeof buf);
    close(fds[0]);
    EXPECT_EQ(std::string(buf, size_t(n > 0 ? n : 0)), "\r\x1b[2A\x1b[0J");
}

// ---- Painting widgets ----

TEST_F(Tui, ButtonColoursAndFocus) {
    buffer(8, 1);
    Widget* b = make("type: 'button size: 4x1 text: {ok} color: 255.0.0 font: make object! [color: 0.0.255]");
    b->render(1, 0, b);
    EXPECT_EQ(row(0), ".ok.....");
    EXPECT_EQ(at(1, 0).bg, kColour256 | 196);
    EXPECT_EQ(at(4, 0).bg, kColour256 | 196);  // the whole rectangle takes the background
    EXPECT_EQ(at(5, 0).bg, kColourDefault);
    EXPECT_EQ(at(1, 0).fg, kColour256 | 21);
    EXPECT_EQ(at(1, 0).flags, 0u);
    EXPECT_NE(frame().find("\x1b[48;5;196m"), std::string::npos);
    b->flags |= kHasFocus;
    b->render(1, 0, b);
    EXPECT_EQ(at(1, 0).flags, uint32_t(kReverse));

    Widget* clear = make("type: 'button size: 2x1 text: {x} color: 255.0.0.255");
    clear->render(0, 0, clear);
    EXPECT_EQ(at(0, 0).bg, kColourDefault);
}

TEST_F(Tui, EmbeddedSequences) {
    struct Case {
        const char* text;  // Kel string
        const char* cells;
        std::vector<TermCell> checked;  // the first cells' colours and flags (code points ignored)
    } cases[] = {
        {"{ab^[[1mcd^[[0m}", "abcd....", {{0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, kBold}, {0, 0, 0, kBold}}},
        {"{^[[38;5;21ma^[[48;5;196mb}", "ab......", {{0, 0, kColour256 | 21, 0}, {0, kColour256 | 196, kColour256 | 21, 0}}},
        {"{^[[91;42;4ma^[[24;39mb}", "ab......",
         {{0, kColourBasic | 2, kColourBasic | 11, kUnderline}, {0, kColourBasic | 2, kColourBasic | 9, 0}}},
        {"{^[[1;2;3;4ma}", "a.......", {{0, 0, 0, kBold | kDim | kItalic | kUnderline}}},
        {"{^[[ma^[[2Jb^[[Kc}", "abc.....", {{0, 0, 0, 0}}},
        {"{^[[106;97mx}", "x.......", {{0, kColourBasic | 16, kColourBasic | 17, 0}}},
        {"{^[[65536mx}", "x.......", {{0, 0, 0, kBold}}},  // numbers are taken modulo 65535
    };
    for (const Case& c : cases) {
        buffer(8, 1);
        Widget* w = make(std::string("type: 'base size: 8x1 text: ") + c.text);
        w->render(0, 0, w);
        EXPECT_EQ(row(0), c.cells) << c.text;
        for (size_t i = 0; i < c.checked.size(); i++) {
            EXPECT_EQ(at(int(i), 0).fg, c.checked[i].fg) << c.text << " cell " << i;
            EXPECT_EQ(at(int(i), 0).bg, c.checked[i].bg) << c.text << " cell " << i;
            EXPECT_EQ(at(int(i), 0).flags, c.checked[i].flags) << c.text << " cell " << i;
        }
    }
    // Without the escape flag the escape is an ordinary character.
    buffer(8, 1);
    Widget* w = make("type: 'progress size: 8x1 text: {^[[1mz}");
    w->render(0, 0, w);
    EXPECT_EQ(at(4, 0).cp, uint32_t('z'));
}

TEST_F(Tui, WideCharactersAndClipping) {
    buffer(6, 2);
    // U+4E2D is two cells wide: it fits at column 2-3, not at column 5 (the last visible one).
    Widget* w = make("type: 'base size: 6x1 text: {ab^(4E2D)cd^(4E2D)}");
    w->render(0, 0, w);
    EXPECT_EQ(row(0), "ab#~cd");
    buffer(6, 1);
    Widget* cut = make("type: 'base size: 6x1 text: {a^(4E2D)b}");
    cut->render(-2, 0, cut);  // the wide character straddles the left edge: not written
    EXPECT_EQ(row(0), ".b....");
    EXPECT_EQ(frame(), "\r\x1b[0J b    ");

    buffer(6, 1);
    Widget* wide = make("type: 'base size: 6x1 text: {^(4E2D)x}");
    wide->render(0, 0, wide);
    EXPECT_EQ(frame(), "\r\x1b[0J\xe4\xb8\xadx   ");  // the tail cell is not written

    // Control characters never reach the terminal as such.
    buffer(5, 1);
    Widget* controls = make("type: 'progress size: 5x1 text: {a^-^M^[b}");
    controls->render(0, 0, controls);
    EXPECT_EQ(frame(), "\r\x1b[0Ja   b");
}

TEST_F(Tui, PasswordShowsOneStarPerCharacter) {
    buffer(8, 1);
    Widget* f = make("type: 'field size: 8x1 text: {p^(4E2D)ss} flags: 'password");
    f->flags |= kWPassword;
    f->render(0, 0, f);
    EXPECT_EQ(frame(), "\r\x1b[0J****    ");
}

TEST_F(Tui, AlignmentWrapAndHint) {
    struct Case {
        const char* fields;
        std::vector<std::string> rows;
    } cases[] = {
        {"size: 7x3 text: {ab} para: make object! [align: 'center v-align: 'middle wrap?: false]",
         {".......", "..ab...", "......."}},
        {"size: 7x3 text: {ab} para: make object! [align: 'right v-align: 'bottom wrap?: false]",
         {".......", ".......", ".....ab"}},
        {"size: 4x3 text: {abcdefg} para: make object! [align: 'left v-align: 'top wrap?: true]",
         {"abcd", "efg.", "...."}},
        {"size: 4x3 text: {abcdefg^/h}", {"abcd", "h...", "...."}},
        {"size: 6x1 text: {} options: [hint: {type}]", {"type.."}},
    };
    for (const Case& c : cases) {
        int width = int(c.rows[0].size()), height = int(c.rows.size());
        buffer(width, height);
        Widget* w = make(std::string("type: 'base ") + c.fields);
        w->render(0, 0, w);
        for (int r = 0; r < height; r++) EXPECT_EQ(row(r), c.rows[size_t(r)]) << c.fields << " row " << r;
    }
    EXPECT_EQ(at(0, 0).flags, uint32_t(kDim));  // the hint
}

TEST_F(Tui, TreeDrawsChildrenAtTheirOffsetsInsideTheirParents) {
    Widget* win = window(8, 3);
    Widget* panel = make("type: 'panel offset: 1x1 size: 4x2 pane: [] color: 0.0.255", win);
    add_child(win, panel);
    Widget* inner = make("type: 'base offset: 2x0 size: 5x1 text: {hello}", panel);
    add_child(panel, inner);
    Widget* gone = make("type: 'base offset: 0x1 size: 2x1 text: {zz} visible?: false", panel);
    add_child(panel, gone);
    buffer(8, 3);
    draw_widget_tree(win, 0, 0);
    EXPECT_EQ(row(0), "........");
    EXPECT_EQ(row(1), "...he...");  // cut to the panel
    EXPECT_EQ(row(2), "........");
    EXPECT_EQ(at(1, 2).bg, kColour256 | 21);
    gone->flags &= ~kWHidden;
    panel->flags |= kWHidden;  // hides the children too
    draw_widget_tree(win, 0, 0);
    EXPECT_EQ(at(1, 2).bg, kColour256 | 21);  // the buffer is not cleared here
    buffer(8, 3);
    draw_widget_tree(win, 0, 0);
    EXPECT_EQ(row(1) + row(2), "................");
}

TEST_F(Tui, TextKeepsTheBackgroundUnderIt) {
    // A label over the face's image: the letters stand on the image's colours.
    kel_test::run("tui-test-image: make image! [1x2 #{0A141E 808080}]");
    Cell img = tv::hold(tv::get("tui-test-image"));
    Widget* w = make("type: 'base size: 3x1 text: {ab}");
    draw_image(w, &img);
    buffer(3, 1);
    w->render(0, 0, w);
    EXPECT_EQ(row(0), "ab#");
    for (int x = 0; x < 3; x++) EXPECT_EQ(at(x, 0).bg, kColourRGB | 0x0A141E) << x;

    // Text drawn on a filled box; an escape sequence's own background still wins, until a reset.
    draw_init();
    buffer(8, 3);
    Widget* d = make("type: 'base size: 8x3 draw: [fill-pen 0.0.255 box 0x0 7x2 text 1x1 {h^(4E2D)^[[41mi^[[0mj}]");
    d->render(0, 0, d);
    EXPECT_EQ(row(1), "#h#~ij.#");
    const uint32_t blue = kColour256 | 21;
    for (int x : {1, 2, 3, 5, 6}) EXPECT_EQ(at(x, 1).bg, blue) << x;
    EXPECT_EQ(at(4, 1).bg, kColourBasic | 1);
}

TEST_F(Tui, AFilledBoxOverHalfAWideCharacterIsFilledToItsEdge) {
    // The box covers the right half of the first character and the left half of the third.
    draw_init();
    buffer(8, 1);
    Widget* d = make("type: 'base size: 8x1 text: {^(4E2D)^(4E2D)^(4E2D)} draw: [pen off fill-pen 0.0.255 box 1x0 4x0]");
    d->render(0, 0, d);
    EXPECT_EQ(frame(), "\r\x1b[0J \x1b[48;5;21m    \x1b[49m   ");
}

TEST_F(Tui, ImagesAsHalfBlocks) {
    kel_test::run("tui-test-image: make image! [1x2 #{0A141E 808080}]");
    Cell img = tv::hold(tv::get("tui-test-image"));
    Widget* w = make("type: 'base size: 1x1");
    draw_image(w, &img);
    ASSERT_TRUE(w->image);
    TermCell c = w->image->cells[0];
    EXPECT_EQ(c.cp, 0x2584u);
    EXPECT_EQ(c.bg, kColourRGB | 0x0A141E);
    EXPECT_EQ(c.fg, kColourRGB | 0x808080);
    buffer(1, 1);
    w->render(0, 0, w);
    EXPECT_EQ(frame(), "\r\x1b[0J\x1b[38;2;128;128;128m\x1b[48;2;10;20;30m\xe2\x96\x84\x1b[39m\x1b[49m");

    state.colour_mode = 2;
    draw_image(w, &img);
    EXPECT_EQ(w->image->cells[0].bg, kColour256 | 233);
    EXPECT_EQ(w->image->cells[0].fg, kColour256 | 244);

    // A transparent upper pixel leaves the cell blank; the image is scaled to the widget.
    kel_test::run("tui-test-image: make image! [1x1 10.20.30.255]");
    img = tv::hold(tv::get("tui-test-image"));
    Widget* big = make("type: 'base size: 3x2");
    draw_image(big, &img);
    ASSERT_EQ(big->image->cells.size(), 6u);
    for (const TermCell& cell : big->image->cells) EXPECT_EQ(cell.cp, 0u);

    // A face far larger than any screen keeps a cell array of screen size.
    Widget* huge = make("type: 'base size: 65535x65535");
    draw_image(huge, &img);
    ASSERT_TRUE(huge->image);
    EXPECT_LE(huge->image->cells.size(), size_t(1) << 22);
}

// ---- Widget events ----

TEST_F(Tui, FieldEditingKeys) {
    struct Case {
        const char* text;
        int width;
        std::vector<int32_t> keys;
        const char* after;
        int index, column;
    } cases[] = {
        {"abc", 10, {'d', 'e'}, "abcde", 5, 5},
        {"abc", 5, {'d', 'e', 'f'}, "abcde", 5, 5},        // the 6th character does not fit
        {"abc", 10, {-23, -23, 'X'}, "aXbc", 2, 2},        // left, left, insert
        {"abc", 10, {2, 2, 2, 2, 8}, "abc", 0, 0},          // backspace at the start
        {"abc", 10, {-27, -25, -24, 10, 9, 13, 0}, "abc", 3, 3},  // delete, home, end...: nothing
        {"abc", 10, {8, 8}, "a", 1, 1},
        {"abc", 10, {-23, 127}, "ac", 1, 1},
        {"abc", 10, {2, 2, 2, 6, -22, 'Z'}, "abZc", 3, 3},
        {"abc", 6, {0x4E2D, 0x4E2D}, "abc\xe4\xb8\xad", 4, 5},  // a wide one fits once
        {"", 10, {0x263A}, "\xe2\x98\xba", 1, 1},
    };
    for (const Case& c : cases) {
        Widget* f = make(std::string("type: 'field size: ") + std::to_string(c.width) + "x1 text: {" + c.text + "}");
        for (int32_t k : c.keys) {
            EventRecord ev = key(f, k);
            f->event(kEvKey, &ev);
        }
        Cell text = *facet(&f->face, kFText);
        EXPECT_EQ(tv::text_of(text), c.after) << c.text << " / " << c.keys.size() << " keys";
        EXPECT_EQ(f->caret->index, c.index) << c.after;
        EXPECT_EQ(f->caret->column, c.column) << c.after;
    }
    // A text that is not a string becomes an empty one; a click places the caret.
    Widget* f = make("type: 'field size: 10x1 text: none");
    EventRecord ev = key(f, 'q');
    f->event(kEvKey, &ev);
    EXPECT_EQ(tv::text_of(*facet(&f->face, kFText)), "q");
    Widget* g = make("type: 'field size: 10x1 text: {abcdef}");
    EventRecord click;
    click.widget = g;
    click.x = 2.7f;
    g->event(kEvClick, &click);
    EXPECT_EQ(g->caret->index, 2);
    EXPECT_EQ(g->caret->column, 2);
}

// Space on a button whose click closes the window: the button is gone once the click returns,
// and nothing may read it after that.
TEST_F(Tui, SpaceOnAButtonThatClosesItsWindow) {
    static std::vector<std::unique_ptr<Widget>>* owned;
    owned = &widgets;
    send_face_event = [](Widget* w, int32_t type, int32_t) {
        if (type != kEvClick) return false;
        remove_widget(w);
        release_kind(w);
        std::erase_if(*owned, [w](const std::unique_ptr<Widget>& p) { return p.get() == w; });
        return false;
    };
    Widget* button = make("type: 'button size: 4x1 text: {ok}");
    state.current_window = button;
    EventRecord space = key(button, ' ');
    button->event(kEvKey, &space);
    EXPECT_TRUE(widgets.empty());
    EXPECT_EQ(state.redraw, 0);
    state.current_window = nullptr;
}

TEST_F(Tui, ChecksRadiosAndButtonsRaiseTheirEvents) {
    std::vector<std::pair<int32_t, int32_t>> sent;
    static std::vector<std::pair<int32_t, int32_t>>* log;
    log = &sent;
    send_face_event = [](Widget*, int32_t type, int32_t picked) {
        log->push_back({type, picked});
        return false;
    };
    Widget* check = make("type: 'check size: 6x1 data: none");
    const char* expected[] = {"true", "false", "true"};
    for (const char* e : expected) {
        EventRecord ev = key(check, ' ');
        check->event(kEvKey, &ev);
        EXPECT_EQ(tv::mold(*facet(&check->face, kFData)), e);
    }
    Widget* other = make("type: 'check size: 6x1 data: 3");
    EventRecord click;
    click.widget = other;
    other->event(kEvClick, &click);
    EXPECT_EQ(tv::mold(*facet(&other->face, kFData)), "false");
    Widget* radio = make("type: 'radio size: 6x1 data: true");
    click.widget = radio;
    radio->event(kEvClick, &click);
    EXPECT_EQ(tv::mold(*facet(&radio->face, kFData)), "true");
    EXPECT_EQ(sent.size(), 5u);
    for (auto& e : sent) EXPECT_EQ(e.first, int32_t(kEvChange));

    sent.clear();
    Widget* button = make("type: 'button size: 4x1 text: {go}");
    EventRecord space = key(button, ' ');
    button->event(kEvKey, &space);
    EventRecord other_key = key(button, 'x');
    button->event(kEvKey, &other_key);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].first, int32_t(kEvClick));

    // A disabled widget tells its face nothing.
    sent.clear();
    check->flags |= kDisabled;
    EventRecord ev = key(check, ' ');
    check->event(kEvKey, &ev);
    EXPECT_TRUE(sent.empty());
}

TEST_F(Tui, TextListSelection) {
    static std::vector<std::pair<int32_t, int32_t>> sent;
    sent.clear();
    static bool answer_done;
    answer_done = false;
    send_face_event = [](Widget*, int32_t type, int32_t picked) {
        sent.push_back({type, picked});
        return answer_done;
    };
    Widget* list = make("type: 'text-list size: 10x3 data: [a b c d e f g] selected: none state: []");
    list->scroll = 2;
    EventRecord click;
    click.widget = list;
    click.y = 2;
    list->event(kEvClick, &click);  // the third visible line of a list scrolled by 2
    EXPECT_EQ(tv::mold(*facet(&list->face, kFSelected)), "5");
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0], std::make_pair(int32_t(kEvSelect), 5));
    EXPECT_EQ(sent[1], std::make_pair(int32_t(kEvChange), 5));

    struct Step {
        int32_t key;
        const char* selected;
        int scroll;
    } steps[] = {{-21, "6", 3}, {-21, "7", 4}, {-21, "7", 4}, {-20, "6", 4}, {-20, "5", 4}, {-20, "4", 3}, {'x', "4", 3}};
    for (const Step& st : steps) {
        EventRecord ev = key(list, st.key);
        list->event(kEvKey, &ev);
        EXPECT_EQ(tv::mold(*facet(&list->face, kFSelected)), st.selected) << st.key;
        EXPECT_EQ(list->scroll, st.scroll) << st.key << " to " << st.selected;
    }
    // A select answered done is not followed by a change.
    sent.clear();
    answer_done = true;
    EventRecord up = key(list, -20);
    list->event(kEvKey, &up);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].first, int32_t(kEvSelect));

    // Keys in a list with nothing selected: Up leaves it so, Down selects the first item.
    answer_done = false;
    Widget* fresh = make("type: 'text-list size: 10x3 data: [a b c] selected: none state: []");
    EventRecord first_up = key(fresh, -20);
    fresh->event(kEvKey, &first_up);
    EXPECT_EQ(tv::mold(*facet(&fresh->face, kFSelected)), "none");
    EventRecord first_down = key(fresh, -21);
    fresh->event(kEvKey, &first_down);
    EXPECT_EQ(tv::mold(*facet(&fresh->face, kFSelected)), "1");
}

TEST_F(Tui, TextListKeysWithExtremeSelectionAndHeight) {
    send_face_event = [](Widget*, int32_t, int32_t) { return false; };
    // A selection at the top of the range in a list whose size makes its height negative.
    Widget* list = make("type: 'text-list size: 10x-2000000 data: [a b c] selected: 2147483647 state: []");
    EventRecord down = key(list, -21);
    list->event(kEvKey, &down);
    EXPECT_EQ(tv::mold(*facet(&list->face, kFSelected)), "2147483647");
    EXPECT_EQ(list->scroll, 1);
    EventRecord up = key(list, -20);
    list->event(kEvKey, &up);
    EXPECT_EQ(tv::mold(*facet(&list->face, kFSelected)), "2147483646");
    // Up from a selection at or below the first item scrolls a scrolled list back a line, also
    // from the bottom of the range.
    for (const char* low : {"0", "-2147483648"}) {
        Widget* l = make(std::string("type: 'text-list size: 10x2 data: [a b c] selected: ") + low + " state: []");
        l->scroll = 2;
        EventRecord k = key(l, -20);
        l->event(kEvKey, &k);
        EXPECT_EQ(tv::mold(*facet(&l->face, kFSelected)), low);
        EXPECT_EQ(l->scroll, 1) << low;
    }
}

TEST_F(Tui, GroupBoxFrameAndTitle) {
    buffer(7, 3);
    Widget* g = make("type: 'group-box size: 7x3 text: {Title} options: [border-corners: round border-color: 255.0.0]");
    g->render(0, 0, g);
    EXPECT_EQ(at(0, 0).cp, 0x256Du);
    EXPECT_EQ(at(6, 0).cp, 0x256Eu);
    EXPECT_EQ(at(0, 2).cp, 0x2570u);
    EXPECT_EQ(at(6, 2).cp, 0x256Fu);
    EXPECT_EQ(at(0, 1).cp, 0x2502u);
    EXPECT_EQ(at(3, 2).cp, 0x2500u);
    EXPECT_EQ(at(0, 1).fg, kColour256 | 196);
    EXPECT_EQ(row(0), "#Title#");  // from the column after the corner, stopping before the other
    EXPECT_EQ(at(1, 0).fg, kColourDefault);
    EXPECT_EQ(row(1), "#.....#");

    buffer(4, 2);
    Widget* square = make("type: 'group-box size: 4x4 text: {Long title} options: [border-color: none]");
    square->render(0, 0, square);
    EXPECT_EQ(at(0, 0).cp, 0x250Cu);
    EXPECT_EQ(at(3, 0).cp, 0x2510u);
    EXPECT_EQ(row(0), "#Lo#");
    EXPECT_EQ(row(1), "#..#");  // the bottom is cut off
    EXPECT_EQ(at(0, 1).fg, kColourDefault);
}

TEST_F(Tui, BaseCaretPlaceholder) {
    Widget* win = window(20, 3);
    // The target is a plain widget: the placeholder gives it the caret (a field has its own).
    Widget* f = make("type: 'editor offset: 0x0 size: 5x1 text: {ab}", win);
    add_child(win, f);
    EXPECT_FALSE(f->flags & kShowsCaret);
    kel_test::run("tui-test-target: tui-test-face");
    Widget* base = make("type: 'base offset: 7x2 size: 1x1 options: [caret tui-test-target]", win);
    add_child(win, base);
    EXPECT_TRUE(base->flags & kCaretPlaceholder);
    EXPECT_TRUE(f->flags & kShowsCaret);
    EXPECT_EQ(win->window->carets, 1);
    f->flags |= kHasFocus;
    buffer(20, 3);
    state.caret_column = state.caret_row = -1;
    draw_widget_tree(win, 0, 0);
    EXPECT_EQ(state.caret_column, 7);
    EXPECT_EQ(state.caret_row, 2);
    // A placeholder draws nothing of its own.
    EXPECT_EQ(row(2), "....................");
}

TEST_F(Tui, KindsTakeTheirTextFromTheViewHelpers) {
    kel_test::run(
        "TUI-helpers: make object! ["
        "  make-checkbox-ui: func [face] [append copy either face/data [{[x] }] [{[ ] }] face/text]"
        "  make-progress-ui: func [face] [face/text: {[##  ]}]"
        "]");
    buffer(8, 1);
    Widget* check = make("type: 'check size: 8x1 text: {on} data: false");
    EXPECT_EQ(tv::text_of(check->ui), "[ ] on");
    EventRecord ev = key(check, ' ');
    check->event(kEvKey, &ev);
    EXPECT_EQ(tv::text_of(check->ui), "[x] on");
    check->render(0, 0, check);
    EXPECT_EQ(row(0), "[x] on..");  // the ui, not the face's text as well

    // The progress helper leaves its text in the face.
    Widget* bar = make("type: 'progress size: 6x1 data: 0.5");
    EXPECT_NE(bar->ui.type(), TYPE_STRING);
    buffer(6, 1);
    bar->render(0, 0, bar);
    EXPECT_EQ(row(0), "[##  ]");
    kel_test::run("TUI-helpers: none");
}

// ---- Text metrics ----

TEST_F(Tui, TextExtent) {
    struct Case {
        const char* text;
        int32_t wrap;
        int32_t width, lines;
    } cases[] = {
        {"", kNoWrap, 0, 1},
        {"ab^/cde", kNoWrap, 3, 2},
        {"ab^/", kNoWrap, 2, 2},
        {"^(4E2D)^(4E2D)x", kNoWrap, 5, 1},
        {"ab^(4E2D)", 3, 2, 2},  // the wide character does not fit after "ab"
        {"abcdefg", 3, 3, 3},
        {"^(4E2D)ab", 1, 0, 1},  // wider than the wrap width: the walk stops
    };
    for (const Case& c : cases) {
        kel_test::run(std::string("tui-test-text: {") + c.text + "}");
        Cell t = tv::get("tui-test-text");
        Extent e = text_extent(text_view(&t), c.wrap);
        EXPECT_EQ(e.width, c.width) << c.text << " at " << c.wrap;
        EXPECT_EQ(e.lines, c.lines) << c.text << " at " << c.wrap;
    }
}

TEST_F(Tui, TextBoxMetrics) {
    Cell f = face("type: 'rich-text size: 10x5 text: {ab^/c}");
    Cell wide = face("type: 'rich-text size: 3x5 text: {ab^(4E2D)d}");
    struct Case {
        const Cell* face;
        const char* arg;
        int32_t code;
        const char* expected;
    } cases[] = {
        {&f, "none", 4, "2"},
        {&f, "none", 3, "(2.0, 2.0)"},
        {&f, "none", 2, "1.0"},
        {&f, "4", 0, "(0.0, 1.0)"},
        {&f, "1", 0, "(0.0, 0.0)"},
        {&f, "2", 6, "(2.0, 1.0)"},
        {&f, "3", 0, "(2.0, 0.0)"},  // the line feed begins where the line ends
        {&f, "9", 0, "(1.0, 1.0)"},  // past the end: the end of the text
        {&f, "1x0", 1, "2"},
        {&f, "0x1", 1, "4"},
        {&f, "5x0", 1, "3"},  // past the end of the line: at its line feed
        {&f, "5x1", 1, "5"},
        {&f, "5x1", 5, "4"},  // past the end of the text: the last character
        {&f, "-3x-2", 1, "1"},
        {&f, "(1.0, 1.0)", 1, "5"},
        {&f, "none", 9, "none"},
        {&wide, "3", 0, "(0.0, 1.0)"},  // the wide character wraps to the next line
        {&wide, "3", 6, "(2.0, 2.0)"},
        {&wide, "none", 4, "2"},
        {&wide, "0x1", 1, "3"},
        {&wide, "2x0", 1, "3"},  // the line ends at its width after "ab"
    };
    for (const Case& c : cases) {
        kel_test::run(std::string("tui-test-arg: ") + c.arg);
        Cell arg = tv::get("tui-test-arg");
        Cell out;
        gui::OS_text_box_metrics(c.face, &arg, c.code, &out);
        EXPECT_EQ(tv::mold(out), c.expected) << c.arg << " code " << c.code;
    }
    Cell bad = tv::get("none");
    Cell out;
    auto e = test_support::fired([&] { gui::OS_text_box_metrics(&f, &bad, 0, &out); });
    ASSERT_TRUE(e);
    EXPECT_TRUE(e->id == err::script::invalid_arg);
}

namespace {

// Calls a registered routine with the values of a Kel block as its arguments.
struct RoutineCall {
    std::optional<test_support::Fired> error;
    std::string result;
};
RoutineCall call_routine(const char* name, const std::string& args) {
    register_text_routines();
    kel_test::run("tui-test-args: reduce [" + args + "]");
    Cell block = tv::hold(tv::get("tui-test-args"));
    int code = routines::find(name);
    EXPECT_GT(code, 0) << name;
    RoutineCall r;
    Cell result;
    r.error = test_support::fired([&] {
        stack::Saved saved = stack::save();
        stack::arguments = stack::top;
        for (int32_t i = 0; i < tv::length(block); i++) {
            Cell v = tv::at(block, i);
            stack::push(&v);
        }
        routines::table[code - 1]();
        result = *stack::arguments;
        stack::restore(saved);
    });
    if (!r.error) r.result = tv::mold(result);
    return r;
}

}  // namespace

TEST_F(Tui, SizeTextAndMetricsRoutines) {
    kel_test::run(kFaceProto);
    struct Case {
        const char* routine;
        const char* args;
        const char* expected;  // "!id" for an error
    } cases[] = {
        {"gui-size-text", "make tui-face-proto [text: {ab^/cde}] none", "(3.0, 2.0)"},
        {"gui-size-text", "make tui-face-proto [text: {ab^/cde}] {x^(4E2D)}", "(3.0, 1.0)"},
        {"gui-size-text", "make tui-face-proto [text: none] none", "none"},
        {"gui-size-text", "make tui-face-proto [] 5", "!invalid-type"},
        {"gui-text-box-metrics", "make tui-face-proto [type: 'rich-text text: {ab^/c}] none 4", "2"},
        {"gui-text-box-metrics", "make tui-face-proto [type: 'rich-text text: none] none 4", "none"},
        {"gui-text-box-metrics", "make tui-face-proto [type: 'field text: {ab}] none 4", "!face-type"},
    };
    for (const Case& c : cases) {
        RoutineCall r = call_routine(c.routine, c.args);
        if (c.expected[0] == '!') {
            ASSERT_TRUE(r.error) << c.args;
            ErrorId want = std::string(c.expected) == "!invalid-type" ? err::script::invalid_type : err::script::face_type;
            EXPECT_TRUE(r.error->id == want) << c.args;
        } else {
            EXPECT_FALSE(r.error) << c.args;
            EXPECT_EQ(r.result, c.expected) << c.args;
        }
    }
}

// ---- Rich-text runs ----

TEST_F(Tui, RichTextStyleRuns) {
    struct Case {
        const char* data;
        // Per character of "abcdefghij": '.' plain, 'b' bold, 'i' italic, 'u' underline, 's' strike,
        // 'c' coloured (foreground), 'k' backdrop.
        const char* marks;
    } cases[] = {
        {"[1x5 bold]", "bbbbb....."},
        {"[bold 1x3 italic]", "iii......."},
        {"[3x100 underline]", "..uuuuuuuu"},
        {"[1x2 {Consolas} 12 0.0.255]", "cc........"},
        {"[2x2 strike 255.0.0 'dotted 5x1 underline]", ".ss.u....."},
        {"[4x2 backdrop 0.255.0]", "...kk....."},
        {"[1x1 border 2x1 italic 0x0 bold]", ".i........"},
    };
    for (const Case& c : cases) {
        Widget* w = make(std::string("type: 'rich-text size: 10x1 text: {abcdefghij} data: ") + c.data);
        ASSERT_TRUE(w->styled);
        ASSERT_EQ(w->styled->cells.size(), 10u);
        std::string marks;
        for (const TermCell& cell : w->styled->cells) {
            char m = '.';
            if (cell.flags & kBold) m = 'b';
            if (cell.flags & kItalic) m = 'i';
            if (cell.flags & kUnderline) m = 'u';
            if (cell.flags & kStrike) m = 's';
            if (cell.fg == (kColour256 | 21)) m = 'c';
            if (cell.bg == (kColour256 | 46)) m = 'k';
            marks += m;
        }
        EXPECT_EQ(marks, c.marks) << c.data;
    }
    // The styled cells are what the widget paints.
    buffer(10, 1);
    Widget* w = make("type: 'rich-text size: 10x1 text: {abc} color: 255.0.0 data: [2x1 bold]");
    w->render(0, 0, w);
    EXPECT_EQ(row(0), "abc.......");
    EXPECT_EQ(at(1, 0).flags, uint32_t(kBold));
    EXPECT_EQ(at(0, 0).bg, kColour256 | 196);
    EXPECT_EQ(at(5, 0).bg, kColour256 | 196);
}

TEST_F(Tui, RichTextBadStyleValues) {
    struct Case {
        const char* data;
        const char* at;  // the data block from the offending value
    } cases[] = {
        {"[1x2 backdrop 10]", "[10]"},
        {"[1x2 backdrop]", "[]"},
        {"[1x2 wavy bold]", "[wavy bold]"},
        {"[1x2 bold #issue]", "[#issue]"},
    };
    for (const Case& c : cases) {
        Cell f = face(std::string("type: 'rich-text size: 10x1 text: {abcdefghij} data: ") + c.data);
        CellGrid grid;
        grid.cells.assign(10, TermCell{'x', 0, 0, 0});
        Cell data = *facet(&f, kFData);
        auto e = test_support::fired([&] { apply_style_runs(grid, &data); });
        ASSERT_TRUE(e) << c.data;
        EXPECT_TRUE(e->id == err::script::draw_invalid) << c.data;
        ASSERT_TRUE(e->has_arg1);
        EXPECT_EQ(tv::mold(e->arg1), c.at) << c.data;
    }
    // With system/view/silent? the styling stops quietly at the bad value.
    kel_test::run("system: make object! [view: make object! [silent?: true]]");
    Cell f = face("type: 'rich-text text: {abc} data: [1x3 bold wavy italic]");
    CellGrid grid;
    grid.cells.assign(3, TermCell{'x', 0, 0, 0});
    Cell data = *facet(&f, kFData);
    EXPECT_FALSE(test_support::fired([&] { apply_style_runs(grid, &data); }));
    EXPECT_EQ(grid.cells[0].flags, uint32_t(kBold));
    kel_test::run("system: none");
}

TEST_F(Tui, AnErrorRaisedWhilePaintingAFrameLeavesTheScriptsCallsAlone) {
    draw_init();
    kel_test::run("tui-test-maker: func [/local a][[a: box 0x0 1x1]]");
    struct Case {
        const char* fields;
        const char* spoil;    // run after the face is shown
        const char* printed;
    } cases[] = {
        // A style block that went bad after the face was shown.
        {"type: 'rich-text size: 5x1 text: {abc} data: [1x1 bold]", "append tui-test-face/data 'bogus",
         "DRAW - invalid input at: [bogus]"},
        // A set-word of a function that has returned: there is nothing to set.
        {"type: 'base size: 5x1 draw: tui-test-maker", "", "a: word is not bound"},
    };
    for (const Case& c : cases) {
        Widget* win = window(5, 1);
        Widget* w = make(c.fields, win);
        add_child(win, w);
        if (*c.spoil) kel_test::run(c.spoil);
        state.redraw = 1;
        tv::CapturedStdout out;
        stack::Saved before = stack::save();
        // Stands for the calls of the script that runs the loop.
        stack::mark_named(stack::body_symbol, FRAME_TRY);
        Frame* script = stack::ctop;
        uint32_t code = catch_frame(codes::all, [] { render(); });
        EXPECT_EQ(code, codes::error) << c.fields;
        EXPECT_EQ(stack::ctop, script) << c.fields;
        stack::restore(before);
        runtime::sys.thrown = 0;
        EXPECT_NE(out.text().find(c.printed), std::string::npos) << out.text();
    }
}

// A set-word of a face's draw block whose word's on-change* handler throws, breaks or continues:
// the exit must not look for its target among the script's calls below the frame being painted,
// where a catch or a loop would have its frames dropped (and its cells overwritten) while the loop
// that paints goes on. It stops at the frame as an error, printed like any other.
TEST_F(Tui, AnExitLeavingAPaintedFrameLeavesTheScriptsCallsAlone) {
    draw_init();
    struct Case {
        const char* handler;
        uint32_t script_kind;  // the frame below that the exit would take for its target
        const char* printed;
    } cases[] = {
        {"throw 'painted", FRAME_CATCH, "no catch for throw: painted"},
        {"break", FRAME_LOOP, "no loop to break"},
        {"continue", FRAME_LOOP, "no loop to continue"},
    };
    for (const Case& c : cases) {
        kel_test::run(std::string("tui-test-obj: make object! [p: none on-change*: func [w o n] [") + c.handler +
                      "]]");
        Widget* win = window(5, 1);
        Widget* w = make("type: 'base size: 5x1 draw: bind [p: box 0x0 1x1] tui-test-obj", win);
        add_child(win, w);
        state.redraw = 1;
        tv::CapturedStdout out;
        stack::Saved before = stack::save();
        stack::mark_named(stack::body_symbol, c.script_kind);
        Frame* script = stack::ctop;
        Cell* slot = stack::push_cell();
        set_cell(slot, TYPE_INTEGER, 7);
        uint32_t code = catch_frame(codes::all, [] { render(); });
        EXPECT_EQ(code, codes::error) << c.handler;
        EXPECT_EQ(stack::ctop, script) << c.handler;
        EXPECT_TRUE(slot->type() == TYPE_INTEGER && slot->i1() == 7) << c.handler;
        stack::restore(before);
        runtime::sys.thrown = 0;
        EXPECT_NE(out.text().find(c.printed), std::string::npos) << c.handler << ": " << out.text();
    }
    kel_test::run("system: none");
}
