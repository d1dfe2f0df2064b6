// The terminal backend's start-up, its routines, the print hooks and the face glue (widget
// records made, updated and destroyed from face objects).
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <initializer_list>
#include <new>
#include <optional>
#include <string>

#include "datatypes/error.h"
#include "datatypes/handle.h"
#include "datatypes/symbol.h"
#include "evaluator/natives.h"
#include "runtime/output.h"
#include "runtime/runtime.h"
#include "tests/support/fired.h"
#include "tests/support/kel_cases.h"
#include "tui/backend.h"

using kel_test::expect_cases;

namespace {

void setup() {
    static bool done = false;
    if (done) return;
    done = true;
    tui::register_routines();
}

Cell global(const char* name) {
    Cell w;
    word::load(&w, name);
    const Cell* v = word::peek(&w);
    return v ? *v : Cell{};
}

std::optional<test_support::Fired> last_error;

// Calls a registered routine with argument values: the molded answer, or "!error" with the error
// kept in last_error.
std::string call(const char* name, std::initializer_list<Cell> args) {
    setup();
    int code = routines::find(name);
    EXPECT_GT(code, 0) << name;
    if (code <= 0) return "";
    Cell r;
    last_error = test_support::fired([&] {
        stack::arguments = stack::top;
        for (const Cell& a : args) stack::push(&a);
        routines::table[code - 1]();
        r = *stack::arguments;
    });
    if (last_error) return "!error";
    kel_test::set_global("answer", &r);
    return kel_test::eval("answer");
}

bool raised(ErrorId id) { return last_error && last_error->id == id; }

// Face-like objects: the facets in the view engine's order, so the glue reads them by index.
const char* const kFaceProto = R"(
    face-proto: make object! [
        type: 'base offset: 0x0 size: 10x3 text: none image: none color: none menu: none data: none
        enabled?: true visible?: true selected: none flags: none options: none parent: none
        pane: none state: none rate: none edge: none para: none font: none actors: none extra: none
        draw: none
    ]
)";

Cell face(const char* name, const char* spec) {
    setup();
    kel_test::run(kFaceProto);
    std::string code = std::string(name) + ": make face-proto " + spec;
    kel_test::Outcome o = kel_test::run(code);
    EXPECT_FALSE(o.error) << code << ": " << o.message;
    return global(name);
}

// Links a face to its widget the way the view engine does: state is [handle changed-bits].
void link(const char* name, const tui::Widget* w) {
    Cell h;
    handle::make_at(&h, static_cast<int32_t>(w->id), handle::kWindow);
    kel_test::set_global("the-handle", &h);
    kel_test::run(std::string(name) + "/state: reduce [the-handle 0]");
}

Cell logic_of(bool b) {
    Cell c;
    set_cell(&c, TYPE_LOGIC, b);
    return c;
}

}  // namespace

TEST(TuiBackend, FaceFlags) {
    setup();
    struct Case {
        const char* facet;
        uint32_t bits;
    };
    for (Case c : {Case{"'focusable", tui::kFfFocusable},
                   {"[all-over Password no-border]", tui::kFfAllOver | tui::kFfPassword | tui::kFfNoBorder},
                   {"[]", 0},
                   {"none", 0},
                   {"\"focusable\"", 0}}) {
        kel_test::run(std::string("facet-value: ") + c.facet);
        Cell v = global("facet-value");
        EXPECT_EQ(gui::get_flags(&v), c.bits) << c.facet;
    }
    kel_test::run("facet-value: [focusable bogus]");
    Cell bad = global("facet-value");
    auto e = test_support::fired([&] { gui::get_flags(&bad); });
    ASSERT_TRUE(e);
    EXPECT_TRUE(e->id == err::script::invalid_arg);
}

TEST(TuiBackend, FindFlag) {
    setup();
    struct Case {
        const char* facet;
        const char* flag;
        const char* answer;
    };
    for (Case c : {Case{"[all-over focusable]", "focusable", "true"},
                   {"[all-over 'Focusable]", "focusable", "true"},
                   {"[all-over]", "focusable", "false"},
                   {"[\"focusable\" 3]", "focusable", "false"},
                   {"'modal", "MODAL", "true"},
                   {"\"focusable\"", "focusable", "false"},
                   {"none", "focusable", "false"}}) {
        kel_test::run(std::string("facet-value: ") + c.facet + " flag-value: '" + c.flag);
        EXPECT_EQ(call("find-flag?", {global("facet-value"), global("flag-value")}), c.answer) << c.facet;
    }
}

TEST(TuiBackend, PlatformAnswers) {
    Cell none;
    set_cell(&none, TYPE_NONE);
    EXPECT_EQ(call("gui-support-dark-mode?", {}), "false");
    EXPECT_EQ(call("gui-request-font", {none, none, logic_of(false)}), "none");
    EXPECT_EQ(call("gui-fetch-all-screens", {}), "none");
    EXPECT_EQ(call("send-event-os", {none, logic_of(true)}), "false");
    EXPECT_EQ(call("gui-make-null-handle", {}), "handle!");
    kel_test::run("nh: answer");
    EXPECT_EQ(kel_test::eval("mold/all nh"), "\"#[handle! 00000000h null]\"");
}

TEST(TuiBackend, StartUpSetsVersionAndColourModeQuietly) {
    setup();
    kel_test::run("platform: make object! [version: none build: none product: none]");
    Cell platform = global("platform");
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    output::set_stdout(pipe_fds[1], true);
    tui::state.colour_mode = 0;
    gui::init(&platform);
    output::flush();
    output::set_stdout(1, isatty(1) != 0);
    close(pipe_fds[1]);
    char buf[16];
    EXPECT_EQ(read(pipe_fds[0], buf, sizeof buf), 0) << "start-up wrote to the terminal";
    close(pipe_fds[0]);
    expect_cases({{"reduce [platform/version platform/build platform/product]", "[10.10.10 1000 0]"}});
    // Without the view engine's helper the mode is true colour.
    EXPECT_EQ(tui::state.colour_mode, 4);

    kel_test::run("TUI-helpers: make object! [check-color-support: func [] [2]]");
    gui::init(&platform);
    EXPECT_EQ(tui::state.colour_mode, 2);
    kel_test::run("TUI-helpers: make object! [check-color-support: func [] [4]]");
    gui::init(&platform);
    EXPECT_EQ(tui::state.colour_mode, 4);
    kel_test::run("TUI-helpers: none");
}

TEST(TuiBackend, PrintHooksEraseTheInlineDrawingOnlyWhileActive) {
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    fcntl(pipe_fds[0], F_SETFL, O_NONBLOCK);
    output::set_stdout(pipe_fds[1], true);
    auto drain = [&] {
        output::flush();
        std::string s;
        char buf[256];
        ssize_t n;
        while ((n = read(pipe_fds[0], buf, sizeof buf)) > 0) s.append(buf, size_t(n));
        return s;
    };
    tui::state.gui_active = 0;
    tui::state.drawn_inline = 1;
    tui::state.cursor_row = 3;
    tui::print_begin();
    tui::print_end();
    EXPECT_EQ(drain(), "");
    EXPECT_EQ(tui::state.drawn_inline, 1);

    tui::state.gui_active = 1;
    tui::state.redraw = 0;
    tui::print_begin();
    EXPECT_EQ(drain(), "\r\x1b[3A\x1b[0J");
    EXPECT_EQ(tui::state.drawn_inline, 0);
    EXPECT_EQ(tui::state.cursor_row, 0);
    output::write_text("hello\n");
    tui::print_end();
    EXPECT_EQ(drain(), "hello\n\x1b[6n");
    EXPECT_EQ(tui::state.redraw, 1);

    // Nothing drawn inline: nothing to erase.
    tui::print_begin();
    tui::print_end();
    EXPECT_EQ(drain(), "\x1b[6n");
    tui::state.gui_active = 0;
    output::set_stdout(1, isatty(1) != 0);
    close(pipe_fds[0]);
    close(pipe_fds[1]);
}

TEST(TuiGlue, MakeViewBuildsTheWidgetRecord) {
    Cell win = face("win", "[type: 'window offset: 100x100 size: 40x10 pane: []]");
    tui::Widget* ww = gui::OS_make_view(&win, nullptr);
    ASSERT_NE(ww, nullptr);
    EXPECT_EQ(tui::widget_of(ww->id), ww);
    EXPECT_EQ(ww->parent, nullptr);
    EXPECT_EQ(std::string(symbol::text(ww->type)), "window");
    // A window is drawn at the origin: its offset becomes 0x0.
    EXPECT_EQ(kel_test::eval("win/offset"), "0x0");
    EXPECT_EQ(ww->x1, 0);
    EXPECT_EQ(ww->x2, 40);
    EXPECT_EQ(ww->y2, 10);
    EXPECT_TRUE(ww->flags & tui::kSizeGiven);
    EXPECT_EQ(ww->face.data1, win.data1);

    Cell b = face("btn", "[offset: 2x3 size: (5.5, 1) flags: [focusable all-over password] visible?: false enabled?: 1]");
    tui::Widget* bw = gui::OS_make_view(&b, ww);
    EXPECT_EQ(bw->parent, ww);
    // A pair offset is kept as a point.
    EXPECT_EQ(kel_test::eval("btn/offset"), "(2.0, 3.0)");
    EXPECT_EQ(bw->x1, 2);
    EXPECT_EQ(bw->y1, 3);
    EXPECT_FLOAT_EQ(bw->x2, 7.5f);
    EXPECT_EQ(bw->y2, 4);
    // The first focusable widget of the window takes the focus from the window.
    uint32_t expected =
        tui::kFocusable | tui::kAllOver | tui::kWPassword | tui::kWHidden | tui::kDisabled | tui::kHasFocus;
    EXPECT_EQ(bw->flags, expected);
    ASSERT_NE(ww->window, nullptr);
    EXPECT_EQ(ww->window->focused, bw);
    EXPECT_FALSE(ww->flags & tui::kHasFocus);
    EXPECT_EQ(tui::state.focused, bw);
    EXPECT_EQ(tui::state.windows.back(), ww);
    // The window's bounds hold its children.
    Cell far = face("far", "[offset: 30x8 size: 20x4]");
    tui::Widget* fw = gui::OS_make_view(&far, ww);
    EXPECT_EQ(ww->window->x2, 50);
    EXPECT_EQ(ww->window->y2, 12);
    EXPECT_EQ(ww->window->focused, bw);

    Cell bad = face("bad", "[flags: [focusable nonsense]]");
    auto e = test_support::fired([&] { gui::OS_make_view(&bad, ww); });
    ASSERT_TRUE(e);
    EXPECT_TRUE(e->id == err::script::invalid_arg);

    // The widget keeps its face alive through collections.
    kel_test::run("btn: none recycle");
    EXPECT_EQ(bw->face.type(), TYPE_OBJECT);
    tui::free_widget(fw);
    tui::free_widget(bw);
    EXPECT_EQ(ww->window->focused, nullptr);
    EXPECT_EQ(tui::state.focused, nullptr);
    tui::free_widget(ww);
    EXPECT_TRUE(tui::state.windows.empty());
}

TEST(TuiGlue, UpdateViewAppliesTheChangedFacets) {
    Cell win = face("win", "[type: 'window size: 40x10 pane: []]");
    tui::Widget* ww = gui::OS_make_view(&win, nullptr);
    Cell f = face("fld", "[offset: 1x1 size: 6x2 flags: 'focusable]");
    tui::Widget* fw = gui::OS_make_view(&f, ww);
    link("fld", fw);
    link("win", ww);
    EXPECT_EQ(gui::face_handle_q(&f), fw);

    // Offset (bit 1) moves it keeping its size; visible? (bit 9) hides it; flags (bit 11).
    kel_test::run("fld/offset: 4x5 fld/visible?: false fld/size: 1x1 fld/flags: [all-over] fld/state/2: 2 + 512 + 2048");
    gui::OS_update_view(&f);
    EXPECT_EQ(fw->x1, 4);
    EXPECT_EQ(fw->y1, 5);
    EXPECT_EQ(fw->x2, 10);
    EXPECT_EQ(fw->y2, 7);
    EXPECT_TRUE(fw->flags & tui::kWHidden);
    EXPECT_TRUE(fw->flags & tui::kAllOver);
    EXPECT_EQ(kel_test::eval("fld/state/2"), "0");

    // Size (bit 2) and enabled? (bit 8).
    kel_test::run("fld/visible?: true fld/enabled?: false fld/state/2: 4 + 256 + 512");
    gui::OS_update_view(&f);
    EXPECT_EQ(fw->x2, 5);
    EXPECT_EQ(fw->y2, 6);
    EXPECT_FALSE(fw->flags & tui::kWHidden);
    EXPECT_TRUE(fw->flags & tui::kDisabled);

    // Bits not set change nothing.
    kel_test::run("fld/offset: 0x0 fld/state/2: 0");
    gui::OS_update_view(&f);
    EXPECT_EQ(fw->x1, 4);

    // update-view: a screen is left alone; a block must hold objects only.
    kel_test::run("scr: make face-proto [type: 'screen] blk: reduce [fld 1]");
    EXPECT_EQ(call("gui-update-view", {global("scr")}), "none");
    EXPECT_EQ(call("gui-update-view", {global("blk")}), "!error");
    ASSERT_TRUE(raised(err::script::invalid_type));
    kel_test::set_global("error-arg", &last_error->arg1);
    EXPECT_EQ(kel_test::eval("error-arg"), "integer!");
    kel_test::run("v: 5");
    EXPECT_EQ(call("gui-update-view", {global("v")}), "!error");
    EXPECT_TRUE(raised(err::script::invalid_type));

    // The TUI helpers read the record.
    fw->flags |= tui::kHasFocus;
    fw->scroll = 3;
    EXPECT_EQ(call("tui-focused?", {f}), "true");
    EXPECT_EQ(call("tui-widget-data", {f}), "3");
    kel_test::run("ui-text: \"[x]\"");
    EXPECT_EQ(call("tui-set-face-ui", {f, global("ui-text")}), "none");
    kel_test::run("ui-probe: none");
    kel_test::set_global("ui-probe", &fw->ui);
    EXPECT_EQ(kel_test::eval("ui-probe"), "\"[x]\"");

    kel_test::run("append win/pane fld");
    gui::OS_destroy_view(&win, false);
    EXPECT_EQ(call("tui-focused?", {f}), "false");
    EXPECT_EQ(call("tui-widget-data", {f}), "0");
}

TEST(TuiGlue, TextListDataChangesMoveTheScroll) {
    Cell tl = face("tl", "[type: 'text-list data: [a b c d e f] selected: 6]");
    tui::Widget* w = gui::OS_make_view(&tl, nullptr);
    link("tl", w);
    kel_test::run("w-remove: 'remove w-clear: 'clear w-data: 'data");
    Cell action = global("w-remove"), word = global("w-data");
    w->scroll = 3;
    gui::OS_update_facet(&tl, &word, nullptr, &action, nullptr, 1, 1);
    EXPECT_EQ(w->scroll, 1);
    EXPECT_EQ(kel_test::eval("tl/selected"), "5");

    action = global("w-clear");
    w->scroll = 2;
    gui::OS_update_facet(&tl, &word, nullptr, &action, nullptr, 0, 6);
    EXPECT_EQ(w->scroll, 0);
    EXPECT_EQ(kel_test::eval("tl/selected"), "0");
    gui::OS_destroy_view(&tl, true);
}

TEST(TuiGlue, DestroyViewFreesTheTreeAndLeavesStaleIds) {
    Cell win = face("win", "[type: 'window size: 20x5]");
    kel_test::run("fnt: make object! [name: none size: none color: none state: 'cached parent: none]");
    Cell child = face("kid", "[font: fnt]");
    Cell other = face("other", "[font: fnt]");
    kel_test::run("win/pane: reduce [kid] fnt/parent: reduce [kid other]");
    tui::Widget* ww = gui::OS_make_view(&win, nullptr);
    tui::Widget* kw = gui::OS_make_view(&child, ww);
    link("win", ww);
    link("kid", kw);
    uint32_t wid = ww->id, kid = kw->id;
    uint32_t record = tui::new_event_record({kw, 0, 0, 0, 0});

    gui::OS_destroy_view(&win, false);
    EXPECT_EQ(tui::widget_of(wid), nullptr);
    EXPECT_EQ(tui::widget_of(kid), nullptr);
    EXPECT_EQ(tui::event_record(record)->widget, nullptr);
    expect_cases({
        {"reduce [win/state kid/state]", "[none none]"},
        {"length? fnt/parent", "1"},
        {"fnt/state", "cached"},
    });
    // The font keeps its state while another face uses it; the last one out clears it.
    tui::Widget* ow = gui::OS_make_view(&other, nullptr);
    link("other", ow);
    gui::OS_destroy_view(&other, true);
    expect_cases({{"reduce [length? fnt/parent fnt/state]", "[0 none]"}});
    tui::free_event_record(record);

    // A new widget may take a freed slot, but never an old id.
    tui::Widget* fresh = tui::new_widget();
    EXPECT_NE(fresh->id, wid);
    EXPECT_NE(fresh->id, kid);
    tui::free_widget(fresh);
    // Destroying a face without a widget does nothing.
    gui::OS_destroy_view(&win, false);
}

TEST(TuiGlue, AWidgetRecordMadeAnywhereHoldsNoneInItsValueCells) {
    // Records made on the stack (the renderer's tests) or in reused memory read their face and
    // rendered text like new_widget's: none, not whatever the memory held.
    alignas(tui::Widget) unsigned char raw[sizeof(tui::Widget)];
    std::memset(raw, 0xDB, sizeof raw);
    auto* w = new (raw) tui::Widget;
    EXPECT_EQ(w->ui.type(), TYPE_NONE);
    EXPECT_EQ(w->face.type(), TYPE_NONE);
    EXPECT_EQ(w->ui.data2, 0u);
    w->~Widget();
}

TEST(TuiGlue, FontAndParaCodes) {
    kel_test::run("fnt: make object! [state: 'cached]");
    Cell font = global("fnt");
    gui::update_font(&font, 4);
    EXPECT_EQ(kel_test::eval("fnt/state"), "cached");
    gui::update_font(&font, 2);
    EXPECT_EQ(kel_test::eval("fnt/state"), "none");

    Cell f = face("pf", "[state: [none 3]]");
    gui::update_para(&f, 1);
    EXPECT_EQ(kel_test::eval("pf/state/2"), "262147");
}

TEST(TuiGlue, DestroyingAWindowShowsTheLastOneLeft) {
    tui::state.windows.clear();
    tui::state.current_window = nullptr;
    Cell a = face("win-a", "[type: 'window size: 5x5]");
    Cell b = face("win-b", "[type: 'window size: 6x6]");
    tui::Widget* wa = gui::OS_make_view(&a, nullptr);
    tui::Widget* wb = gui::OS_make_view(&b, nullptr);
    link("win-a", wa);
    link("win-b", wb);
    gui::OS_show_window(wb);
    EXPECT_EQ(tui::state.current_window, wb);
    ASSERT_EQ(tui::state.windows.size(), 2u);

    gui::OS_destroy_view(&b, false);
    ASSERT_EQ(tui::state.windows.size(), 1u);
    EXPECT_EQ(tui::state.current_window, wa);
    EXPECT_EQ(tui::state.focused, wa);
    gui::OS_destroy_view(&a, true);
    EXPECT_TRUE(tui::state.windows.empty());
    EXPECT_EQ(tui::state.current_window, nullptr);
    EXPECT_EQ(tui::state.focused, nullptr);
}

TEST(TuiGlue, RateTimersLiveAndDieWithTheWidget) {
    auto count_widgets = [] {
        static int n;
        n = 0;
        tui::for_each_widget([](tui::Widget*) { n++; });
        return n;
    };
    auto timers_of = [](const tui::Widget* w) {
        int n = 0;
        for (const tui::Timer* t : tui::state.timers) n += t->owner == w;
        return n;
    };
    int before = count_widgets();
    Cell bad = face("ticker", "[rate: \"often\"]");
    auto e = test_support::fired([&] { gui::OS_make_view(&bad, nullptr); });
    ASSERT_TRUE(e);
    EXPECT_TRUE(e->id == err::script::invalid_facet_type);
    EXPECT_EQ(count_widgets(), before);

    Cell f = face("ticker", "[rate: 10]");
    tui::Widget* w = gui::OS_make_view(&f, nullptr);
    link("ticker", w);
    ASSERT_EQ(timers_of(w), 1);
    EXPECT_EQ(tui::state.timers.back()->interval, 100);
    // A changed rate replaces the timer; none removes it.
    kel_test::run("ticker/rate: 4 ticker/state/2: 65536");
    gui::OS_update_view(&f);
    ASSERT_EQ(timers_of(w), 1);
    EXPECT_EQ(tui::state.timers.back()->interval, 250);
    kel_test::run("ticker/rate: none ticker/state/2: 65536");
    gui::OS_update_view(&f);
    EXPECT_EQ(timers_of(w), 0);
    kel_test::run("ticker/rate: 2 ticker/state/2: 65536");
    gui::OS_update_view(&f);
    size_t timers = tui::state.timers.size();
    gui::OS_destroy_view(&f, true);
    EXPECT_EQ(tui::state.timers.size(), timers - 1);
    EXPECT_EQ(count_widgets(), before);
}
