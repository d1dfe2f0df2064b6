// Style runs of a rich-text face: its data block of ranges and styles marked on one cell per
// character of its text.
#pragma once

#include "datatypes/cell.h"
#include "tui/backend.h"

namespace tui {

// Refills the styled cells from the text (one per character, background from the face's colour),
// then applies the style block. A bad value of the block raises draw-invalid at its position
// (nothing with system/view/silent? true: styling stops there). Without styles, the data is left
// alone: only a rich-text face's data is a style block.
void apply_rich_text(Widget* w, bool styles = true);
// Applies a style block to styled cells; text gives the characters' count.
void apply_style_runs(CellGrid& cells, const Cell* data);

// Whether system/view/silent? is true (dialects stop quietly instead of raising).
bool view_silent();

}  // namespace tui
