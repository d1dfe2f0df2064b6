// Text measured in cells: every character is 0, 1 or 2 cells wide and every line one cell high.
#pragma once

#include <cstdint>

#include "datatypes/cell.h"
#include "tui/render.h"

namespace tui {

constexpr int32_t kNoWrap = 2147483647;

struct Extent {
    int32_t width = 0;  // cells of the widest line
    int32_t lines = 1;
};

// Given the index of an escape character, the index of the last character of its sequence.
using SkipEscape = int32_t (*)(const TextView& text, int32_t i);

// The widest line and number of lines of a text wrapped at wrap cells. A character wider than
// the wrap width ends the walk. With skip, escape sequences take no room.
Extent text_extent(const TextView& text, int32_t wrap, SkipEscape skip = nullptr);
// The wrap width and height of a face: its size in whole cells, kNoWrap without a size.
void wrap_size(const Cell* face, int32_t* width, int32_t* height);

// Metric codes of a rich-text face's text box.
enum MetricCode : int32_t {
    kCaretAt = 0,       // index -> point2D where the character begins
    kIndexAt = 1,       // point -> index of the character there
    kLineHeight = 2,    // -> 1.0
    kTextSize = 3,      // -> point2D extent
    kLineCount = 4,     // -> integer
    kIndexAtLast = 5,   // point -> index, the last character for a point past the end
    kCaretAfter = 6,    // index -> point2D after the character, on the line below it
};
// Registers #gui-size-text and #gui-text-box-metrics.
void register_text_routines();

}  // namespace tui

namespace gui {

// The extent of a string value without wrapping.
tui::Extent get_text_size(const Cell* text);
// Answers one metric of the face's text (a string!) into out; none for an unknown code. An
// argument of the wrong kind raises script invalid-arg.
void OS_text_box_metrics(const Cell* face, const Cell* arg, int32_t code, Cell* out);

}  // namespace gui
