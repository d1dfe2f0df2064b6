// The event loop: terminal switches and their escape output, raw mode and its restoration on the
// way out of the process, timers of the `rate` facet under a fake clock, and how loops end.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "../support/child.h"
#include "../support/kel_eval.h"
#include "datatypes/event.h"
#include "runtime/output.h"
#include "tui/backend.h"
#include "tui/input.h"
#include "tui/loop.h"
#include "tui/terminal.h"

namespace {

using kel_test::eval;

// Everything the switches write while f runs.
template <class F>
std::string written(F&& f) {
    output::flush();
    int fds[2];
    if (pipe(fds) != 0) return "pipe failed";
    int old_fd = output::stdout_fd();
    bool old_terminal = output::stdout_is_terminal();
    output::set_stdout(fds[1], true);
    f();
    output::flush();
    output::set_stdout(old_fd, old_terminal);
    close(fds[1]);
    std::string out;
    char buf[512];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) out.append(buf, size_t(n));
    close(fds[0]);
    return out;
}

TEST(TuiTerminal, SwitchesWriteTheirSequencesOnce) {
    struct Case {
        const char* name;
        void (*action)();
        const char* bytes;
    };
    const Case cases[] = {
        {"mouse on", tui::mouse_reporting_on, "\x1b[?1000h\x1b[?1003h\x1b[?1015h\x1b[?1006h"},
        {"mouse off", tui::mouse_reporting_off, "\x1b[?1000l\x1b[?1003l\x1b[?1015l\x1b[?1006l"},
        {"alternate on", tui::alternate_screen_on, "\x1b[?1049h\x1b[2J"},
        {"alternate off", tui::alternate_screen_off, "\x1b[?1049l"},
        {"position", tui::ask_cursor_position, "\x1b[6n"},
        {"hide twice", [] { tui::cursor_hide(); tui::cursor_hide(); }, "\x1b[?25l"},
        {"show twice", [] { tui::cursor_show(); tui::cursor_show(); }, "\x1b[?25h"},
        {"show when shown", tui::cursor_show, ""},
        {"down", [] { tui::cursor_down(0); tui::cursor_down(-2); tui::cursor_down(3); }, "\x1b[3B"},
        {"clear, inline", tui::clear_alternate_screen, ""},
        {"clear, full screen",
         [] {
             tui::state.alternate_screen = 1;
             tui::clear_alternate_screen();
             tui::state.alternate_screen = 0;
         },
         "\x1b[2J"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(written(c.action), c.bytes);
    }
}

// A pseudo-terminal standing in for standard input and output.
struct Pty {
    int master = -1, slave = -1;
    Pty() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return;
        slave = open(ptsname(master), O_RDWR | O_NOCTTY);
        winsize ws{};
        ws.ws_col = 100;
        ws.ws_row = 30;
        ioctl(master, TIOCSWINSZ, &ws);
    }
    ~Pty() {
        if (slave >= 0) close(slave);
        if (master >= 0) close(master);
    }
    // What the program wrote to the terminal so far.
    std::string drain() const {
        std::string out;
        char buf[512];
        pollfd p{master, POLLIN, 0};
        while (poll(&p, 1, 50) > 0 && (p.revents & POLLIN)) {
            ssize_t n = read(master, buf, sizeof buf);
            if (n <= 0) break;
            out.append(buf, size_t(n));
        }
        return out;
    }
};

TEST(TuiTerminal, GuiModeOnATerminal) {
    Pty pty;
    ASSERT_GE(pty.slave, 0);
    termios before{};
    tcgetattr(pty.slave, &before);
    output::flush();
    int old_fd = output::stdout_fd();
    bool old_terminal = output::stdout_is_terminal();
    output::set_stdout(pty.slave, true);
    tui::set_input_fd(pty.slave, true);
    tui::empty_input();

    tui::terminal_on();
    EXPECT_EQ(tui::state.gui_active, 1);
    EXPECT_EQ(tui::state.columns, 100);
    EXPECT_EQ(tui::state.rows, 30);
    termios raw{};
    tcgetattr(pty.slave, &raw);
    EXPECT_FALSE(raw.c_lflag & (ECHO | ICANON | ISIG));
    EXPECT_FALSE(raw.c_iflag & (ICRNL | IXON));
    // Input arrives byte by byte and is queued.
    ASSERT_EQ(write(pty.master, "x\r", 2), 2);
    pollfd p{pty.slave, POLLIN, 0};
    poll(&p, 1, 1000);
    EXPECT_EQ(tui::poll_input(false), 2);
    EXPECT_EQ(std::string(tui::state.input.begin(), tui::state.input.end()), "x\r");
    tui::empty_input();

    tui::terminal_off();
    EXPECT_EQ(tui::state.gui_active, 0);
    termios after{};
    tcgetattr(pty.slave, &after);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);

    output::flush();
    output::set_stdout(old_fd, old_terminal);
    tui::set_input_fd(-1, false);
    EXPECT_EQ(pty.drain(), "\x1b[6n");
}

TEST(TuiTerminal, NotATerminalLeavesTheModesAlone) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    tui::set_input_fd(fds[0], false);
    std::string out = written([] {
        tui::terminal_on();
        tui::raw_on();
    });
    EXPECT_EQ(tui::state.gui_active, 0);
    EXPECT_EQ(tui::poll_input(false), 0);
    tui::set_input_fd(-1, false);
    close(fds[0]);
    close(fds[1]);
    EXPECT_EQ(out, "");
}

TEST(TuiTerminal, EveryWayOutRestoresTheTerminal) {
    using Exit = void (*)();
    const std::pair<const char*, Exit> exits[] = {
        {"quit", [] { runtime::exit_with(3); }},
        {"fault report", [] { runtime::quit(94); }},
        {"signal", [] { raise(SIGTERM); }},
    };
    for (const auto& exit_case : exits) {
        SCOPED_TRACE(exit_case.first);
        Exit leave = exit_case.second;
        Pty pty;
        ASSERT_GE(pty.slave, 0);
        termios before{};
        tcgetattr(pty.slave, &before);
        int slave = pty.slave;
        test_support::ChildResult r = test_support::in_child([slave, leave] {
            output::set_stdout(slave, true);
            tui::set_input_fd(slave, true);
            tui::terminal_on();
            tui::mouse_reporting_on();
            tui::alternate_screen_on();
            tui::cursor_hide();
            leave();
        });
        EXPECT_TRUE(r.exited || r.signal == SIGTERM);
        std::string out = pty.drain();
        EXPECT_NE(out.find("\x1b[?1000l\x1b[?1003l\x1b[?1015l\x1b[?1006l"), std::string::npos);
        EXPECT_NE(out.find("\x1b[?1049l"), std::string::npos);
        EXPECT_NE(out.find("\x1b[?25h"), std::string::npos);
        termios after{};
        tcgetattr(pty.slave, &after);
        EXPECT_EQ(after.c_lflag, before.c_lflag);
    }
}

// ---- Timers and the loop ----

std::vector<std::pair<uint32_t, int32_t>> handled;  // widget id, event type
int32_t quit_after = 0;  // time events until the handler ends the loop (0: never)
int32_t time_events = 0;
enum class OnTime { nothing, stop_rate, free_widget, throw_out, nested_pass } on_time = OnTime::nothing;
tui::Widget* nested_owner = nullptr;  // whose time event runs nested passes

void record(int32_t type, tui::EventRecord* ev) {
    handled.push_back({ev->widget ? ev->widget->id : 0, type});
    if (type != tui::kEvTime) return;
    time_events++;
    if (quit_after && time_events == quit_after) gui::post_quit_msg();
    Cell none;
    set_cell(&none, TYPE_NONE);
    switch (on_time) {
        case OnTime::stop_rate: tui::set_rate(ev->widget, &none); break;
        case OnTime::free_widget: tui::free_widget(ev->widget); break;
        case OnTime::throw_out: runtime::throw_code(codes::throw_); break;
        // As a dialog opened from the actor runs frames of its own.
        case OnTime::nested_pass: {
            static int depth = 0;
            if (ev->widget != nested_owner || depth > 2) break;  // bounded, should a timer fire inside its own callback
            depth++;
            for (int i = 0; i < 3; i++) tui::fire_timers(100);
            depth--;
            break;
        }
        case OnTime::nothing: break;
    }
}

int64_t fake_now = 0;
int64_t fake_clock() { return fake_now += 50; }  // every frame's work "takes" 50 ms

class TuiLoop : public ::testing::Test {
protected:
    int fds[2] = {-1, -1};

    static void SetUpTestSuite() {
        kel_test::boot();
        static bool registered = false;
        if (!registered) event::init();
        registered = true;
    }

    Cell value(const char* name) {
        Cell w;
        word::load(&w, name);
        return *word::peek(&w);
    }

    tui::Widget* window(const char* face) {
        tui::Widget* w = tui::new_widget();
        eval(std::string(face) + ": make face! [type: 'window text: \"" + face +
             "\" pane: [] state: reduce [make handle! " + std::to_string(w->id) + "]]");
        w->face = value(face);
        w->x2 = 10;
        w->y2 = 3;
        w->event = record;
        w->window = new tui::WindowRecord;
        w->window->window = w;
        tui::state.windows.push_back(w);
        tui::state.current_window = w;
        return w;
    }

    void SetUp() override {
        ASSERT_EQ(eval(R"(
            log: copy []
            face!: make object! [
                type: offset: size: text: image: color: menu: data: enabled?: visible?: selected:
                flags: options: parent: pane: state: rate: edge: para: font: actors: extra: draw: none
            ]
            system: make object! [
                view: make object! [
                    awake: func [e] [append log e/type none]
                    screens: reduce [make object! [size: 0x0]]
                    platform: make object! [mouse-event?: true]
                ]
            ]
            true
        )"), "true");
        // Standard input is a pipe: no GUI mode, nothing written, frames only sleep.
        ASSERT_EQ(pipe(fds), 0);
        tui::set_input_fd(fds[0], false);
        tui::set_clock(fake_clock);
        handled.clear();
        quit_after = 0;
        time_events = 0;
        on_time = OnTime::nothing;
    }

    void TearDown() override {
        tui::set_clock(nullptr);
        tui::set_input_fd(-1, false);
        close(fds[0]);
        close(fds[1]);
        // free_widget takes each window off the list: walk a copy.
        std::vector<tui::Widget*> open = tui::state.windows;
        for (tui::Widget* w : open) tui::free_widget(w);
        tui::state.windows.clear();
        tui::state.loop_depth = 0;
        tui::state.waiting_loops = 0;
    }
};

TEST_F(TuiLoop, RateValues) {
    tui::Widget* w = window("win");
    struct Case {
        const char* rate;
        int32_t interval;  // -1: invalid-facet-type
    };
    const Case cases[] = {
        {"10", 100}, {"3", 333}, {"2000", 0}, {"0:0:2", 2000}, {"0:0:0.25", 250},
        {"0", -1}, {"-5", -1}, {"0:0:0", -1}, {"-0:0:1", -1}, {"1.5", -1}, {"\"x\"", -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rate);
        eval(std::string("r: ") + c.rate);
        Cell rate = value("r");
        bool raised = false;
        stack::Saved saved = stack::save();
        stack::mark_named(stack::body_symbol, FRAME_TRY);
        try {
            tui::set_rate(w, &rate);
        } catch (const Throw&) {
            raised = true;
        }
        runtime::sys.thrown = 0;
        stack::restore(saved);
        if (c.interval < 0) {
            EXPECT_TRUE(raised);
            EXPECT_TRUE(tui::state.timers.empty());
        } else {
            ASSERT_EQ(tui::state.timers.size(), 1u);
            EXPECT_EQ(tui::state.timers[0]->interval, c.interval);
            EXPECT_EQ(tui::state.timers[0]->owner, w);
        }
        // A change takes the old timer away first; none leaves no timer.
        Cell none;
        set_cell(&none, TYPE_NONE);
        tui::set_rate(w, &none);
        EXPECT_TRUE(tui::state.timers.empty());
    }
}

TEST_F(TuiLoop, TimersFireWhenTheirTimeHasAccumulated) {
    tui::Widget* w = window("win");
    tui::Widget* other = window("other");
    tui::add_timer(w, 100);
    tui::add_timer(other, 0);  // every pass
    for (int i = 0; i < 3; i++) tui::fire_timers(33);
    EXPECT_EQ(time_events, 3);  // only the 0 ms timer
    tui::fire_timers(33);       // 132 ms: w fires and starts again
    EXPECT_EQ(time_events, 5);
    tui::fire_timers(99);
    EXPECT_EQ(time_events, 6);
    EXPECT_EQ(eval("log"), "[time time time time time time]");
    // A disabled owner's own handler hears nothing; its face still does.
    other->flags |= tui::kDisabled;
    handled.clear();
    tui::fire_timers(0);  // w stands at 99 of 100
    EXPECT_TRUE(handled.empty());
    EXPECT_EQ(eval("pick log length? log"), "time");
    // Removing takes one timer, the last of the owner's.
    tui::add_timer(w, 5);
    tui::remove_timer(w);
    ASSERT_EQ(tui::state.timers.size(), 2u);
    EXPECT_EQ(tui::state.timers[0]->interval, 100);
}

TEST_F(TuiLoop, ACallbackMayStopOrFreeWhatIsFiring) {
    for (OnTime what : {OnTime::stop_rate, OnTime::free_widget}) {
        on_time = what;
        tui::Widget* a = window("a");
        tui::Widget* b = window("b");
        tui::add_timer(a, 10);
        tui::add_timer(b, 10);
        tui::fire_timers(10);
        EXPECT_EQ(time_events, 2);
        EXPECT_TRUE(tui::state.timers.empty());
        tui::fire_timers(10);
        EXPECT_EQ(time_events, 2);
        time_events = 0;
        if (what == OnTime::free_widget) tui::state.windows.clear();
        else for (tui::Widget* w : {a, b}) tui::free_widget(w), std::erase(tui::state.windows, w);
    }
}

TEST_F(TuiLoop, ATimerWhoseCallbackRunsANestedLoopWaitsForIt) {
    tui::Widget* w = window("win");
    tui::Widget* other = window("other");
    tui::add_timer(w, 100);
    on_time = OnTime::nested_pass;
    nested_owner = w;
    tui::fire_timers(100);
    // Only w's own callback ran its nested frames: there w waited, and other (0 ms) fired in each.
    tui::Widget* fired_first = tui::widget_of(handled.empty() ? 0 : handled[0].first);
    EXPECT_EQ(fired_first, w);
    EXPECT_EQ(time_events, 1);
    on_time = OnTime::nothing;
    tui::add_timer(other, 0);
    on_time = OnTime::nested_pass;
    handled.clear();
    time_events = 0;
    tui::fire_timers(100);  // w fires (its nested frames fire other three times), then other once
    EXPECT_EQ(time_events, 1 + 3 + 1);
    // A callback that throws does not leave its timer stuck.
    on_time = OnTime::throw_out;
    time_events = 0;
    try {
        tui::fire_timers(100);
    } catch (const Throw&) {
    }
    runtime::sys.thrown = 0;
    on_time = OnTime::nothing;
    tui::fire_timers(100);
    EXPECT_EQ(time_events, 1 + 2);
}

TEST_F(TuiLoop, FramesAdvanceTimersByTheirMeasuredLength) {
    tui::Widget* w = window("win");
    uint32_t id = w->id;
    eval("r: 10");
    Cell rate = value("r");
    tui::set_rate(w, &rate);
    quit_after = 2;
    // Frames: 33 ms (first, waited), then 50 ms each: 33, 83, 133 (fires), 50, 100 (fires).
    int64_t start = fake_now;
    EXPECT_FALSE(gui::do_events(false));
    EXPECT_EQ(fake_now - start, 5 * 2 * 50);  // two clock reads per frame
    EXPECT_EQ(time_events, 2);
    EXPECT_EQ(tui::state.loop_depth, 0);
    // The loop was stopped with its window still open: the window keeps its widget and timer
    // for a later do-events, and stays the current window.
    EXPECT_EQ(tui::widget_of(id), w);
    EXPECT_EQ(tui::state.windows.size(), 1u);
    EXPECT_EQ(tui::state.timers.size(), 1u);
    EXPECT_EQ(tui::state.current_window, w);
    EXPECT_EQ(tui::state.redraw, 1);
}

TEST_F(TuiLoop, AThrowOutOfAFrameEndsOnlyItsLoop) {
    tui::Widget* w = window("win");
    tui::add_timer(w, 0);
    on_time = OnTime::throw_out;
    EXPECT_FALSE(gui::do_events(false));
    EXPECT_EQ(time_events, 1);
    EXPECT_EQ(tui::state.loop_depth, 0);
    EXPECT_EQ(runtime::sys.thrown, 0u);
}

TEST_F(TuiLoop, AnInnerLoopOfTwoWindowsKeepsTheBackend) {
    tui::Widget* a = window("a");
    tui::Widget* b = window("b");
    tui::add_timer(b, 0);
    quit_after = 1;
    tui::state.loop_depth = 1;  // as inside the first window's loop
    tui::state.waiting_loops = 1;
    std::string out = written([] { gui::do_events(false); });
    EXPECT_EQ(out, "");
    EXPECT_EQ(tui::state.loop_depth, 1);
    EXPECT_EQ(tui::state.windows.size(), 2u);
    EXPECT_EQ(tui::widget_of(a->id), a);
    EXPECT_EQ(tui::state.timers.size(), 1u);
}

TEST_F(TuiLoop, NoWaitWithoutInputRunsNoFrame) {
    tui::Widget* w = window("win");
    tui::add_timer(w, 0);
    int64_t start = fake_now;
    EXPECT_FALSE(gui::do_events(true));
    EXPECT_EQ(time_events, 0);
    EXPECT_EQ(fake_now, start);
    EXPECT_EQ(tui::state.windows.size(), 1u);  // nested: nothing reset
}

TEST_F(TuiLoop, ResizeReachesTheScreenAndEveryWindow) {
    tui::Widget* a = window("a");
    tui::Widget* b = window("b");
    tui::state.gui_active = 1;
    tui::state.redraw = 0;
    tui::console_resized();
    tui::state.gui_active = 0;
    EXPECT_EQ(tui::state.redraw, 1);  // an inline drawing is drawn again in the next frame
    std::vector<std::pair<uint32_t, int32_t>> expected = {{a->id, tui::kEvResize}, {b->id, tui::kEvResize}};
    EXPECT_EQ(handled, expected);
    EXPECT_EQ(eval("log"), "[resize resize]");
    std::string size = std::to_string(tui::state.columns) + "x" + std::to_string(tui::state.rows);
    EXPECT_EQ(eval("system/view/screens/1/size"), size);
}

}  // namespace
