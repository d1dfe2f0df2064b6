// Terminal input: the bytes read from standard input are queued, then decoded once per frame into
// keys (UTF-8 characters, control keys, the VT sequences of special keys), SGR mouse reports and
// cursor-position reports, and dispatched: keys to the focused widget, mouse events to the widget
// under the pointer. Every event goes to the widget's own handler and, when the widget has a face,
// to system/view/awake.
#pragma once

#include <cstdint>

#include "tui/backend.h"

namespace tui {

// Key codes of the special keys (shared with the line editor).
enum KeyCode : int32_t {
    kKeyUp = -20, kKeyDown = -21, kKeyRight = -22, kKeyLeft = -23, kKeyEnd = -24, kKeyHome = -25,
    kKeyInsert = -26, kKeyDelete = -27, kKeyPageUp = -28, kKeyPageDown = -29,
    kKeyF1 = -31, kKeyF12 = -42,
    // Not a key code of its own: shift-tab, which send_key turns into Tab with the shift flag.
    kKeyBackTab = -99,
};

// Reads what standard input has pending into state.input and answers the number of bytes read
// (0 when the GUI mode is off, nothing is pending or the read fails). With drain the bytes are
// read and thrown away. A size change of the terminal seen here is handled at once.
int32_t poll_input(bool drain);
// Decodes state.input from state.read_index and dispatches what it finds. A sequence cut at the
// end of the queue stays there for the bytes of a later frame.
void decode_input();
// Forgets every queued byte.
void empty_input();

// A key for a widget (the focused one when null): key-down and key go to system/view/awake; when
// neither is answered `done`, the widget's own handler gets key. special is a KeyCode or 0.
void send_key(Widget* w, int32_t ch, int32_t special);
// An event for a widget: its own handler, then system/view/awake when it has a face. Answers 1
// when awake answered `done`; 0 (and nothing sent) for a disabled widget.
int32_t send_mouse_event(int32_t type, Widget* w, float x, float y, uint32_t flags);
// Calls system/view/awake with a backend event! for the record, catching every throw. Answers 1
// when the result is the word `done`.
int32_t call_awake(int32_t type, EventRecord* rec, uint32_t flags);
// Moves the focus to w (unfocus to the old widget, focus to the new one); win defaults to the
// current window's record.
void set_focus(Widget* w, WindowRecord* win = nullptr);
// The child of w under (x, y) (cells relative to w): the last face of its pane that has a widget,
// is not hidden and contains the point; null when none does.
Widget* hit_test(Widget* w, float x, float y);
}  // namespace tui
