// Widget kinds: what each face type draws and how it answers keys and clicks.
#pragma once

#include <cstdint>

#include "tui/backend.h"

namespace tui {

// Fills in the handlers and kind data of a new widget from its face's type (the face copy, rect,
// flags and parent are set already). A window gets its window record and joins the window list.
void setup_kind(Widget* w);
// Frees what the kind owns (caret record, styled cells, cell array); the window record stays
// with whoever takes the window off the list.
void release_kind(Widget* w);

// Sends an event of a widget to its face through system/view/awake and answers whether it was
// done; picked is the event's integer. Set by the event dispatch module; while it is unset,
// widgets change their faces without telling them.
extern bool (*send_face_event)(Widget* w, int32_t type, int32_t picked);

// Calls a function of the view engine's TUI-helpers object with the face; with as_ui a string
// answer becomes the widget's rendered text (the others leave their text in the face). Nothing
// when the object or the function is missing.
void call_ui_helper(Widget* w, const char* name, bool as_ui);

}  // namespace tui
