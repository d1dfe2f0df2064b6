// The renderer: the current window's widget tree painted into the cell buffer and written to the
// terminal as one frame of VT text, inline below the console's output or on the alternate screen.
#pragma once

#include <cstdint>

#include "datatypes/cell.h"
#include "tui/backend.h"

namespace tui {

// No terminal shows more cells than this; the frame buffer and a face's image cells stop here.
constexpr int32_t kMaxColumns = 2048, kMaxRows = 1024;

// ---- Colours ----

// A colour tuple as 0xTTBBGGRR (R in the low byte); a three-byte tuple has no transparency byte.
uint32_t tuple_to_rgb(const Cell* tuple);
// 0..255 to a level of the xterm colour cube, 0..5.
int channel_level(int v);
// A 0xTTBBGGRR colour to the nearest xterm-256 colour (kind 2); fully transparent gives the
// default colour.
uint32_t rgb_to_256(uint32_t rgb);

// ---- Faces seen from the backend ----

// A facet of a face object (null when the value is not an object or is too short).
Cell* facet(const Cell* face, int index);
// A field of an object by name (case-insensitive), or null.
Cell* field(const Cell* object, int32_t symbol);
// The widget of a face: its state facet is a block whose first value is a handle!.
Widget* face_widget(const Cell* face);
// A float coordinate as whole cells, clamped far outside any screen so that it never overflows.
int32_t to_cells(float v);

// A read-only view of a string value's characters (valid until the next allocation).
struct TextView {
    const uint8_t* p = nullptr;
    uint32_t unit = 1;
    int32_t length = 0;
    uint32_t at(int32_t i) const {
        return unit == 1 ? p[i] : unit == 2 ? reinterpret_cast<const uint16_t*>(p)[i] : reinterpret_cast<const uint32_t*>(p)[i];
    }
};
// The characters of a string value from its head; an empty view for anything else.
TextView text_view(const Cell* string_value);

// ---- Drawing into the buffer ----

struct Clip {
    int32_t x1 = 0, y1 = 0, x2 = 0, y2 = 0;
    bool empty() const { return x1 >= x2 || y1 >= y2; }
};

// Text alignment and wrapping bits taken from a face's para.
enum TextStyle : uint32_t {
    kAlignRight = 0x1,
    kAlignCenter = 0x2,
    kAlignMiddle = 0x4,
    kAlignBottom = 0x8,
    kWrap = 0x20,
};

struct Pen {
    uint32_t fg = 0, bg = 0, flags = 0;  // flags: CellFlag bits
    // Text keeps the background already under it (the face's colour, an image, a filled box)
    // unless an escape sequence in the text set one.
    bool bg_set = false;
};

// Draws text at (x, y) into the buffer inside clip; with escapes, "\e[...m" sequences in the text
// change the pen. Password flag: every character takes one cell and is written as "*".
void draw_text(const TextView& text, int32_t x, int32_t y, const Clip& clip, Pen pen, bool wrap, bool escapes);
// Draws a row of styled cells (a rich-text face's characters) laid out as text.
void draw_styled(const CellGrid& styled, int32_t x, int32_t y, const Clip& clip, bool wrap);

// The widget's rectangle at (x, y) cut by its parent's (below the window) and by the buffer.
Clip widget_clip(int32_t x, int32_t y, const Widget* w);
// The value after a key word in the face's options block, or null.
const Cell* option(const Cell* face, int32_t key);
// The background and foreground of a face (its color and its font's color) as terminal colours.
Pen face_pen(const Cell* face);
// The alignment and wrap flags of a face's para (0 without one). Takes the renderer's words on
// first use, which may allocate.
uint32_t para_style(const Cell* face);

// The default render of a widget: colours, image, rendered text, the face's text or hint, draw.
void generic_render(int32_t x, int32_t y, Widget* w, uint32_t render_flags);
// generic_render with embedded escape sequences interpreted (a new widget's render handler).
void default_render(int32_t x, int32_t y, Widget* w);
// Paints a widget and the widgets of its face's pane at (x, y) in the window.
void draw_widget_tree(Widget* w, int32_t x, int32_t y);
// The face's image drawn into the widget's own cell array (half blocks, two pixels a cell).
void draw_image(Widget* w, const Cell* image);

// Runs a face's draw block into the buffer (set by the draw dialect's module).
extern void (*draw_facet)(Widget* w, const Cell* block, const Clip& clip, int32_t x, int32_t y);

// ---- Frames ----

// Marks the window of the widget (the focused widget when null) for redrawing when it is the
// current window.
void mark_redraw(Widget* w);
// Paints the current window into the buffer, when something changed, and writes the frame. An
// error raised while painting is printed and the frame abandoned by a throw of codes::error.
void render();
// Appends the frame of the buffer to state.output (nothing when the buffer is empty).
void compose_frame();
// Takes the inline drawing away so that printed text appears where it stood.
void erase_inline();
// Moves below the inline drawing at the end of the outermost event loop.
void leave_inline();
// Writes state.output to standard output with one write and empties it.
void flush_output();

}  // namespace tui
