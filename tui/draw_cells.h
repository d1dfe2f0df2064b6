// Drawing shapes into a grid of terminal cells: outlines as full blocks or box-drawing characters
// in the pen colour, fills as blank cells on the fill colour. The draw dialect calls one of these
// per command; commands a terminal cannot show have no primitive here.
#pragma once

#include <cstdint>

#include "tui/backend.h"

namespace tui {

// What the primitives of one draw run share. Colours are 256-colour values (kind 2) or 0.
struct DrawContext {
    CellGrid* grid = nullptr;         // null: nothing is painted (an image target)
    int32_t origin_x = 0, origin_y = 0;
    int32_t clip_x1 = 0, clip_y1 = 0;  // the visible part of the face, x2 and y2 exclusive
    int32_t clip_x2 = 0, clip_y2 = 0;
    bool pen_on = true;
    uint32_t pen = 0;
    bool fill_on = false;
    uint32_t fill = 0;
    bool text_colour_set = false;
    uint32_t text_colour = 0;
    uint32_t style = 0;    // render flags for text
};

// A context over a whole grid with origin 0x0 and the pen, fill and text colours of a fresh run.
void draw_begin(DrawContext* ctx, CellGrid* grid);
// The same at an origin with a clip rectangle (x2, y2 exclusive); the style is the face's render
// flags, to which escape interpretation is added.
void draw_begin_at(DrawContext* ctx, CellGrid* grid, int32_t origin_x, int32_t origin_y, int32_t clip_x1,
                   int32_t clip_y1, int32_t clip_x2, int32_t clip_y2, uint32_t render_flags);

// Colours are 0xTTBBGGRR as the renderer's tuple_to_rgb makes them.
void draw_pen(DrawContext* ctx, bool off, uint32_t rgba);
void draw_fill_pen(DrawContext* ctx, bool off, uint32_t rgba);
// A font whose color is a tuple gives the text colour; any other font lets the pen colour it.
void draw_font(DrawContext* ctx, const Cell* font);

void draw_line(DrawContext* ctx, int32_t x0, int32_t y0, int32_t x1, int32_t y1);
void draw_box(DrawContext* ctx, int32_t x1, int32_t y1, int32_t x2, int32_t y2);
void draw_triangle(DrawContext* ctx, int32_t x0, int32_t y0, int32_t x1, int32_t y1, int32_t x2, int32_t y2);
// Cells are about twice as tall as wide, so a circle is twice as wide in cells as tall.
void draw_circle(DrawContext* ctx, int32_t cx, int32_t cy, int32_t radius);
void draw_ellipse_box(DrawContext* ctx, int32_t x, int32_t y, double width, double height);
// Text at a position: a string (escape sequences in it interpreted), or a face's text with its
// style runs. Answers false for an object that is not a face with a string text.
bool draw_text_at(DrawContext* ctx, int32_t x, int32_t y, const Cell* value);
// The midpoint ellipse around a centre with its two radii in cells.
void draw_ellipse(DrawContext* ctx, int32_t cx, int32_t cy, int32_t rx, int32_t ry);

}  // namespace tui
