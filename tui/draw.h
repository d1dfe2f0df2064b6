// The draw dialect: a block of drawing commands run on a target. Every command is read and
// checked completely, also those this terminal cannot paint, so that a block written for a
// richer backend runs here without error; only pens, fonts, lines, boxes, triangles, circles,
// ellipses and text paint cells.
#pragma once

#include <cstdint>

#include "datatypes/cell.h"
#include "tui/draw_cells.h"

namespace tui {

// Runs a command block (a block! from its index) on a context. A bad command raises script
// draw-invalid (draw-infinite for a block that contains itself) with the block at the offending
// value. With system/view/silent? true nothing is raised: the run is abandoned by a throw of
// codes::error when catching, else of code 1. When catching, the error is printed instead of
// raised and the run abandoned by a throw of codes::error.
void draw_run(DrawContext* ctx, const Cell* block, bool catching);

// Paints a face's draw block into a grid: the block's coordinates start at (x, y) and only cells
// inside the clip (x2 and y2 exclusive) change; the style is the face's render flags. A bad block
// prints its error and throws codes::error out of this call, for the frame loop to take.
void draw_face(CellGrid* grid, int32_t x, int32_t y, int32_t clip_x1, int32_t clip_y1, int32_t clip_x2,
               int32_t clip_y2, uint32_t render_flags, const Cell* commands);

// Registers the routines #gui-draw-image and #gui-draw-face.
void draw_init();

}  // namespace tui

namespace gui {

// Runs a command block on a target. Without a canvas (an image target, whose pixels this backend
// does not paint) a block that is not a block! or is empty does nothing. An error inside is
// raised after the run ends unless catching, in which case it is dropped; a silent stop is
// always dropped.
void OS_do_draw(const Cell* canvas, const Cell* image, const Cell* commands, bool catching);

}  // namespace gui
