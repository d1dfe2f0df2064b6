#include "tui/loop.h"

#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <string>

#include "datatypes/context.h"
#include "datatypes/pair.h"
#include "datatypes/symbol.h"
#include "evaluator/natives.h"
#include "runtime/fire.h"
#include "runtime/runtime.h"
#include "runtime/stack.h"
#include "services/process.h"
#include "tui/input.h"
#include "tui/render.h"
#include "tui/terminal.h"
#include "tui/widgets.h"

namespace tui {

namespace {

const symbol::Known sym_system("system"), sym_view("view"), sym_platform("platform"),
    sym_mouse_event("mouse-event?");

int64_t monotonic_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int64_t (*clock_ms)() = monotonic_ms;

// Timers removed while a pass fires them are only marked (owner null) and swept when the
// outermost pass ends, so that a callback may stop its own timer or any other.
int32_t firing = 0;

void sweep_timers() {
    auto dead = std::remove_if(state.timers.begin(), state.timers.end(), [](Timer* t) {
        if (t->owner) return false;
        delete t;
        return true;
    });
    state.timers.erase(dead, state.timers.end());
}

void time_fired(Timer* t) {
    Widget* w = t->owner;
    uint32_t id = w->id;
    EventRecord rec;
    rec.widget = w;
    if (!(w->flags & kDisabled) && w->event) w->event(kEvTime, &rec);
    if (widget_of(id) == w && w->face.type() == TYPE_OBJECT) call_awake(kEvTime, &rec, 0);
}

// system/view/platform/mouse-event? as a logic, or -1 when it cannot be read.
int32_t mouse_event_wanted() {
    Cell* sys = context::value_of_symbol(sym_system, context::global_node);
    if (!sys || sys->type() != TYPE_OBJECT) return -1;
    Cell* view = context::value_of_symbol(sym_view, sys->data1);
    if (!view || view->type() != TYPE_OBJECT) return -1;
    Cell* platform = context::value_of_symbol(sym_platform, view->data1);
    if (!platform || platform->type() != TYPE_OBJECT) return -1;
    Cell* v = context::value_of_symbol(sym_mouse_event, platform->data1);
    if (!v || v->type() != TYPE_LOGIC) return -1;
    return v->data1 ? 1 : 0;
}

// Waits up to ms for input on standard input; without a terminal it only sleeps.
void wait_input(int32_t ms) {
    if (ms <= 0) return;
    if (state.gui_active) {
        pollfd pfd{input_fd(), POLLIN, 0};
        int r = poll(&pfd, 1, ms);
        // A terminal that hung up is always "ready": sleep instead of spinning.
        if (r > 0 && !(pfd.revents & POLLIN)) poll(nullptr, 0, ms);
        return;
    }
    poll(nullptr, 0, ms);
}

// Counts the cursor position reports (ESC [ digits ; digits R) in bytes read from the terminal.
static int32_t count_reports(const std::string& bytes) {
    int32_t n = 0;
    for (size_t i = 0; i + 1 < bytes.size(); i++) {
        if (bytes[i] != '\x1b' || bytes[i + 1] != '[') continue;
        size_t j = i + 2;
        bool digits = false, semicolon = false;
        while (j < bytes.size() && ((bytes[j] >= '0' && bytes[j] <= '9') || bytes[j] == ';')) {
            if (bytes[j] == ';') semicolon = true;
            else digits = true;
            j++;
        }
        if (j < bytes.size() && bytes[j] == 'R' && digits && semicolon) n++;
    }
    return n;
}

// Reads and drops input until the answers to every outstanding cursor position request came, or
// ms passed. An answer left unread would be echoed by the cooked console as text.
static void drain_reports(int32_t ms) {
    if (!state.gui_active || state.report_pending <= 0) return;
    int64_t deadline = monotonic_ms() + ms;
    std::string seen;
    while (state.report_pending > 0) {
        int64_t left = deadline - monotonic_ms();
        if (left <= 0) break;
        pollfd pfd{input_fd(), POLLIN, 0};
        int r = poll(&pfd, 1, int(left));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0 || !(pfd.revents & POLLIN)) break;
        char buf[256];
        ssize_t n = read(pfd.fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        seen.append(buf, size_t(n));
        int32_t done = count_reports(seen);
        if (done > 0) {
            state.report_pending = done >= state.report_pending ? 0 : state.report_pending - done;
            seen.clear();
        } else if (seen.size() > 4096) {
            seen.erase(0, seen.size() - 64);  // keep a partial report that may straddle reads
        }
    }
}

// Windows still in the list when the outermost loop ends are still open on their screen (the loop
// was stopped by stop-events, or view/no-wait opened them before it): they keep their widgets, so
// that a later do-events or unview finds them live. Only the terminal session is forgotten.
void reset_backend() {
    state.windows.erase(std::remove_if(state.windows.begin(), state.windows.end(),
                                       [](Widget* w) { return widget_of(w->id) != w; }),
                        state.windows.end());
    state.buffer.width = 0;
    state.buffer.height = 0;
    state.buffer.cells.clear();
    state.origin_column = 0;
    state.origin_row = 0;
    if (state.windows.empty()) {
        state.current_window = nullptr;
        state.focused = nullptr;
    } else {
        state.redraw = 1;  // the next loop's first frame draws them again
    }
    state.under_pointer = nullptr;
    state.captured = nullptr;
    state.pressed.clear();
    state.output.clear();
    state.click_state = 0;
    state.dbl_click_counter = 0;
    state.mouse_on = 0;
    // What the closed windows left undecoded (an Escape held back to see whether a sequence
    // follows) or a button they saw pressed must not reach the next window.
    empty_input();
    state.button_state = 1;
    // A later window that is not full-screen is drawn inline again.
    state.full_screen_wanted = 0;
    for (Widget* w : state.windows)
        if (w->flags & kFullScreen) state.full_screen_wanted = 1;
    state.drawn_inline = 0;
    state.report_pending = 0;
    state.cursor_row = 0;
}

void routine_do_event_loop() {
    bool no_wait = stack::arguments->type() == TYPE_LOGIC && stack::arguments->data1 != 0;
    bool pending = gui::do_events(no_wait);
    set_cell(stack::arguments, TYPE_LOGIC, pending ? 1 : 0);
    stack::keep();
}

void routine_exit_event_loop() {
    gui::post_quit_msg();
    set_cell(stack::arguments, TYPE_NONE);
    stack::keep();
}

void wait_hook() {
    if (state.gui_active) gui::do_events(true);
}

// What the widget kinds tell their faces (a changed selection, a field's text).
bool face_event(Widget* w, int32_t type, int32_t picked) {
    EventRecord rec;
    rec.widget = w;
    rec.key = picked;
    return call_awake(type, &rec, 0) == 1;
}

}  // namespace

Timer* add_timer(Widget* owner, int32_t interval_ms) {
    Timer* t = new Timer;
    t->interval = interval_ms;
    t->owner = owner;
    t->callback = time_fired;
    state.timers.push_back(t);
    return t;
}

void remove_timer(Widget* owner) {
    if (!owner) return;
    for (size_t i = state.timers.size(); i-- > 0;) {
        Timer* t = state.timers[i];
        if (t->owner != owner) continue;
        if (firing) {
            t->owner = nullptr;
            t->stopped = 1;
        } else {
            state.timers.erase(state.timers.begin() + std::ptrdiff_t(i));
            delete t;
        }
        return;
    }
}

void fire_timers(int32_t ms) {
    // A callback may throw out of the pass: the count and the sweep must still happen.
    struct Pass {
        Pass() { firing++; }
        ~Pass() {
            if (--firing == 0) sweep_timers();
        }
    } pass;
    // The timers of the pass's start; a callback may add timers (they wait for the next pass)
    // or remove any, its own included (removed ones are no longer in the list).
    std::vector<Timer*> pass_timers = state.timers;
    for (Timer* t : pass_timers) {
        if (std::find(state.timers.begin(), state.timers.end(), t) == state.timers.end() || !t->owner) continue;
        t->elapsed = ms > INT32_MAX - t->elapsed ? INT32_MAX : t->elapsed + ms;
        // A callback that opens a window (an alert, say) runs the frames of a nested loop: there
        // its own timer waits for it to return instead of firing it again and again, one level
        // deeper each time. A removed timer is freed only after the outermost pass.
        if (t->stopped || t->running || t->elapsed < t->interval) continue;
        struct Running {
            Timer* t;
            ~Running() { t->running = 0; }
        } running{t};
        t->running = 1;
        t->callback(t);
        if (std::find(state.timers.begin(), state.timers.end(), t) == state.timers.end() || !t->owner) continue;
        t->elapsed = 0;
        t->stopped = t->one_shot ? 1 : 0;
    }
}

void set_rate(Widget* w, const Cell* rate) {
    remove_timer(w);
    switch (rate->type()) {
        case TYPE_NONE: return;
        case TYPE_INTEGER: {
            int32_t n = int_of(rate);
            if (n > 0) {
                add_timer(w, 1000 / n);
                return;
            }
            break;
        }
        case TYPE_TIME: {
            double t = rate->f();
            if (t > 0) {
                double ms = std::trunc(t * 1000.0);
                add_timer(w, ms >= double(INT32_MAX) ? INT32_MAX : int32_t(ms));
                return;
            }
            break;
        }
        default: break;
    }
    Cell v = *rate;
    fire(err::script::invalid_facet_type, &v);
}

void console_resized() {
    read_console_size();
    if (Cell* size = screen_size_facet()) {
        Cell pair;
        pair::make_at(&pair, state.columns, state.rows);
        *size = pair;
    }
    if (!state.gui_active) return;
    std::vector<Widget*> windows = state.windows;
    for (Widget* w : windows) {
        uint32_t id = w->id;
        if (widget_of(id) != w) continue;
        EventRecord rec;
        rec.widget = w;
        rec.x = float(state.columns);
        rec.y = float(state.rows);
        if (w->event) w->event(kEvResize, &rec);
        if (widget_of(id) == w && w->face.type() == TYPE_OBJECT) call_awake(kEvResize, &rec, 0);
    }
    // The terminal may have reflowed or cut the inline drawing: the next frame draws it anew.
    state.redraw = 1;
    if (state.alternate_screen) render();
}

void register_loop_routines() {
    routines::register_("gui-do-event-loop", routine_do_event_loop);
    routines::register_("gui-exit-event-loop", routine_exit_event_loop);
    natives::wait_events = wait_hook;
    send_face_event = face_event;
}

void set_clock(int64_t (*now_ms)()) { clock_ms = now_ms ? now_ms : monotonic_ms; }

}  // namespace tui

namespace gui {

using namespace tui;

// Whether a timer can still fire: without a terminal on standard input, timers are the only
// thing that can move a waiting loop on.
static bool live_timer() {
    // A timer whose actor is running (and waits in this loop) cannot fire before the loop ends.
    for (const Timer* t : state.timers)
        if (t->owner && !t->stopped && !t->running) return true;
    return false;
}

bool do_events(bool no_wait) {
    // A loop inside a waiting one is inner, however many windows are open (view/no-wait leaves
    // some before the outermost loop starts): only the outermost one switches the terminal.
    bool nested = no_wait || state.waiting_loops > 0;
    int32_t saved_depth = state.loop_depth;
    if (!no_wait) state.loop_depth++;
    struct Waiting {
        bool on;
        explicit Waiting(bool w) : on(w) { if (on) state.waiting_loops++; }
        ~Waiting() { if (on) state.waiting_loops--; }
    } waiting(!no_wait);
    if (nested) {
        if (!no_wait) {
            empty_input();
            state.button_state = 1;
        }
    } else {
        terminal_on();
        if (state.gui_active) {
            enter_full_screen();
            int32_t wanted = mouse_event_wanted();
            if (wanted >= 0 && wanted != state.mouse_on) {
                state.mouse_on = wanted;
                if (wanted) mouse_reporting_on();
                else mouse_reporting_off();
            }
        }
    }
    int32_t elapsed = 0;
    bool pending = false;
    bool stuck = false, orphaned = false;
    for (;;) {
        bool leave = false;
        stack::Saved saved = stack::save();
        uint32_t code = catch_frame(codes::all, [&] {
            pending = poll_input(false) > 0;
            if (no_wait && !pending) {
                leave = true;
                return;
            }
            // A program that an actor started without waiting must not stay a zombie while the
            // window is up.
            process::reap();
            int32_t step = kFrameMs;
            if (elapsed > kFrameMs) step = elapsed;
            else wait_input(kFrameMs - elapsed);
            int64_t start = clock_ms();
            fire_timers(step);
            // Without a terminal on standard input the frames are not drawn: redirected output
            // stays the script's own.
            if (state.gui_active) render();
            decode_input();
            if (state.click_state == 2 && state.dbl_click_counter < kClickCounterMax)
                state.dbl_click_counter += kFrameMs;
            int64_t took = clock_ms() - start;
            elapsed = took < 0 ? 0 : took > INT32_MAX ? INT32_MAX : int32_t(took);
            // No input can come and no timer is left to close the window: waiting would never
            // end, so the script goes on with its windows open, as after view/no-wait.
            if (!state.gui_active && !no_wait && saved_depth < state.loop_depth && !live_timer()) {
                stuck = true;
                leave = true;
            }
            // Every window is closed, yet this loop is still waited on (an actor viewed its own
            // window again: one close ended only the inner loop). Nothing could end it now.
            if (!no_wait && saved_depth < state.loop_depth && state.windows.empty()) {
                orphaned = true;
                leave = true;
            }
        });
        if (code) {
            stack::restore(saved);
            runtime::sys.thrown = 0;
            state.loop_depth--;
        }
        if (leave || no_wait || saved_depth >= state.loop_depth) break;
    }
    if (stuck || orphaned) state.loop_depth = saved_depth;
    if (nested || stuck) {
        poll_input(true);
        empty_input();
    } else {
        if (state.gui_active) leave_inline();
        if (state.mouse_on) {
            state.mouse_on = 0;
            mouse_reporting_off();
        }
        leave_full_screen();
        cursor_show();
        // A cursor report still on its way would reach the console after raw mode is off and be
        // echoed there as text: wait a moment for it, then drop it with the rest.
        drain_reports(kReportWaitMs);
        poll_input(true);
        state.report_pending = 0;
        terminal_off();
        reset_backend();
    }
    return pending;
}

void post_quit_msg() { tui::state.loop_depth--; }

}  // namespace gui
