// The console's line editor: reads one line key by key and lets the user edit it in place, with
// history, completion on Tab and hidden input. The prompt and the line wrap over as many rows as
// they need; characters take 0, 1 or 2 cells, a tab 4, and a control character its two-cell
// caret form. The editor moves the terminal's cursor only relative to where it is, so it never
// asks the terminal anything.
//
// The line is a string! value (the buffer `ask` returns) and the history a block! of strings,
// newest first. Both, the prompt and the saved line (the completed text that Tab with several
// candidates leaves for the next edit) are kept in the root block between calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "datatypes/cell.h"

namespace editor {

// What the editor needs of the terminal. Tests stand in for it.
struct Io {
    // The next key (console/keys.h codes, terminal::kResized, terminal::kContinued), or -1 when
    // the terminal is gone.
    int32_t (*read_key)();
    // Writes the editor's bytes (UTF-8 text and VT sequences).
    void (*write)(const char* bytes, size_t n);
    // Carries out a colour sequence ESC [ ... m met in the prompt or the line.
    void (*colour)(const char* sequence, size_t n);
    // The window size in cells; false when unknown.
    bool (*size)(int& columns, int& rows);
    // Cells from the start of the cursor's line to the cursor when the edit begins (not wrapped
    // at the window's width), or -1 when unknown.
    int64_t (*column)();
};
// Null restores the real terminal.
void set_io(const Io* io);

// Tab: fills out with the block that completion answers for the line (the line's head index at
// the cursor). The default calls complete-input of kel-complete-ctx with console? true, and
// answers an empty block when there is no such function.
using Completer = void (*)(Cell* out, const Cell* line_at_cursor);
// Null restores the default.
void set_completer(Completer completer);

// Stores the line and the history block for the next edit.
void setup(const Cell* line, const Cell* history);
// The line stored by setup (a root cell: fetch it again after anything that allocates).
Cell* line_cell();

enum class End { enter, escape, quit, terminal_gone };
// Edits the stored line until a key ends it, and leaves the cursor at the start of the input's
// last row. Ctrl-C, and Ctrl-D on an empty line, make the line "q"; so does a terminal that is
// gone. Escape ends the line with the escape character.
End edit_line(const Cell* prompt, bool hidden);

// ---- Width arithmetic ----

// Cells are counted as one linear position: row = pos / columns, column = pos % columns.
// Placing a glyph of width w at pos: a wide glyph that would start in a row's last cell moves
// to the next row and leaves that cell empty.
inline int64_t place(int64_t pos, int w, int columns) {
    if (w == 2 && columns - pos % columns == 1) return pos + 3;
    return pos + w;
}
// Cells a character of the line takes as the editor shows it: a tab 4, a control character 2
// (^X), an escape character 0 (it starts a sequence), U+1F300-U+1F5FF 2, others their display
// width. Hidden, every character takes 1 and a tab 4.
int char_cells(uint32_t cp, bool hidden);
// Where text (codepoints) placed from start on a screen of `columns` columns ends. Escape
// sequences take no cells.
int64_t measure(const uint32_t* text, size_t n, int64_t start, int columns, bool hidden);

}  // namespace editor
