// The event loop of the terminal backend: frames of 33 ms that read input, fire the timers of the
// faces' `rate` facets, draw the current window and dispatch the input. Loops nest (a window
// opened from an actor, `wait` while a window is shown); only the outermost one switches the
// terminal into GUI mode and puts it back.
#pragma once

#include <cstdint>

#include "tui/backend.h"

namespace tui {

// Frame period and double-click bounds, in milliseconds.
constexpr int32_t kFrameMs = 33;
// How long the end of the loop waits for the answer to an outstanding cursor position request.
constexpr int32_t kReportWaitMs = 200;
constexpr int32_t kDoubleClickMs = 500;
constexpr int32_t kClickCounterMax = 800;

// ---- Timers ----

// A repeating timer of the owner that sends it `time` events.
Timer* add_timer(Widget* owner, int32_t interval_ms);
// Removes the last timer of the list that belongs to the owner (one at most).
void remove_timer(Widget* owner);
// Advances every timer by ms and calls those that are due.
void fire_timers(int32_t ms);
// A face's `rate` facet for its widget (made, or the facet changed): the old timer goes, then an
// integer n > 0 gives a timer of 1000 / n ms, a time t > 0 one of t seconds, none nothing; any
// other value raises script invalid-facet-type.
void set_rate(Widget* w, const Cell* rate);

// The terminal changed size: the screen face and every window hear of it.
void console_resized();

// Registers the routines #gui-do-event-loop and #gui-exit-event-loop and the native wait's hook.
void register_loop_routines();

// Tests replace the millisecond clock (null: CLOCK_MONOTONIC).
void set_clock(int64_t (*now_ms)());

}  // namespace tui

namespace gui {

// Runs the event loop until its level ends (no_wait: one frame, none at all when no input is
// pending). Answers whether input was pending in the last frame.
bool do_events(bool no_wait);
// Ends the innermost running loop.
void post_quit_msg();

}  // namespace gui
