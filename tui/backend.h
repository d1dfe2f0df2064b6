// The terminal GUI backend: the records and state its modules share. Faces are drawn as text cells
// and written to the terminal as VT frames; terminal input becomes event! values for the view
// engine. One thread runs everything, so the state is plain module-level data.
//
// Widgets are records owned by the backend. Scripts reach one only through the handle! in
// face/state/1, whose value is the widget's id; ids carry a generation, so a handle kept past its
// widget's destruction finds nothing instead of freed memory.
#pragma once

#include <cstdint>
#include <vector>

#include "datatypes/cell.h"

namespace tui {

// ---- Cells and colours (the renderer's buffer and a widget's own cell array) ----

// Cell attribute flags.
enum CellFlag : uint32_t {
    kBlink = 0x1,
    kBold = 0x2,
    kDim = 0x4,
    kReverse = 0x8,
    kUnderline = 0x10,
    kStrike = 0x40,
    kItalic = 0x100,
    kHidden = 0x200,
    kWideTail = 0x400,  // second column of a wide character: not written
    kPassword = 0x800,  // written as "*"
};

struct TermCell {
    uint32_t cp;     // 0 is blank, written as a space
    uint32_t bg;     // colour: top byte the kind (below)
    uint32_t fg;
    uint32_t flags;  // CellFlag bits
};
static_assert(sizeof(TermCell) == 16);

// Colour kinds (the top byte of a colour).
constexpr uint32_t kColourDefault = 0x00000000;
constexpr uint32_t kColourBasic = 0x01000000;  // 0-15 in the low 4 bits
constexpr uint32_t kColour256 = 0x02000000;    // xterm index in the low byte
constexpr uint32_t kColourRGB = 0x04000000;    // 0xRRGGBB in the low 24 bits

// A width x height array of cells, row-major (the frame buffer, a widget's image, styled text).
struct CellGrid {
    int32_t width = 0;
    int32_t height = 0;
    std::vector<TermCell> cells;
};

// ---- Widgets ----

enum WidgetFlag : uint32_t {
    kSizeGiven = 0x10000,
    kWHidden = 0x20000,
    kDisabled = 0x40000,
    kAllOver = 0x100000,
    kShowsCaret = 0x200000,
    kFocusable = 0x400000,
    kAway = 0x1000000,
    kHasFocus = 0x2000000,
    kWPassword = 0x10000000,
    kFullScreen = 0x40000000,
    kCaretPlaceholder = 0x80000000,
};

// Render flags passed to the generic render.
enum RenderFlag : uint32_t {
    kRenderReverse = 0x8,
    kRenderPassword = 0x800,
    kRenderEscapes = 0x1000,
    kRenderNoFaceText = 0x2000,
};

struct Widget;
struct EventRecord;

using UpdateHandler = void (*)(Widget* w);
using RenderHandler = void (*)(int32_t x, int32_t y, Widget* w);
using EventHandler = void (*)(int32_t type, EventRecord* ev);

// A window's record (linked from its window widget).
struct WindowRecord {
    float x1 = 0, y1 = 0, x2 = 0, y2 = 0;  // union of the window's and its children's rectangles
    Widget* window = nullptr;
    Widget* focused = nullptr;
    int32_t carets = 0;                    // widgets of the window that show a caret
};

// A field's caret.
struct CaretRecord {
    int32_t index = 0;   // characters before the caret
    int32_t column = 0;  // cells before the caret
    int32_t width = 0;   // cells of the whole text
};

struct Widget {
    uint32_t id = 0;        // the value of the face's handle!
    int32_t type = 0;       // symbol of the face's type word
    uint32_t flags = 0;     // WidgetFlag bits
    float x1 = 0, y1 = 0, x2 = 0, y2 = 0;  // cells, relative to the parent widget
    Widget* parent = nullptr;              // null for a window
    CellGrid* image = nullptr;             // owned: the face's image as cells, or null
    Cell ui{TYPE_NONE, 0, 0, 0};           // rendered text (string!) or none; marked
    Cell face{TYPE_NONE, 0, 0, 0};         // a copy of the face object; marked
    // Kind data (at most one is used, by kind).
    WindowRecord* window = nullptr;        // window
    CaretRecord* caret = nullptr;          // field
    int32_t scroll = 0;                    // text-list: items scrolled off the top
    CellGrid* styled = nullptr;            // rich-text: one cell per character of the text
    UpdateHandler update = nullptr;
    RenderHandler render = nullptr;
    EventHandler event = nullptr;
};

// The widget of an id, or null when the id is stale or 0.
Widget* widget_of(uint32_t id);
// Gives a widget its id (0 when the table is full); remove_widget makes the id stale. The table
// does not own the record.
uint32_t add_widget(Widget* w);
void remove_widget(Widget* w);
// A new zeroed widget record, owned by the backend, with a fresh id (its face and ui none).
Widget* new_widget();
// Frees a record of new_widget and what it owns (the kind's data, cell arrays, window record and
// timers); its id goes stale, and events and backend state that refer to it let go of it.
void free_widget(Widget* w);
// Calls fn on every live widget (the collector's marker walks them this way).
void for_each_widget(void (*fn)(Widget* w));

// ---- Events ----

enum EventType : int32_t {
    kEvDown = 1, kEvUp = 2, kEvMidDown = 3, kEvMidUp = 4, kEvAltDown = 5, kEvAltUp = 6,
    kEvAuxDown = 7, kEvAuxUp = 8, kEvClick = 9, kEvDblClick = 10, kEvWheel = 11, kEvOver = 12,
    kEvKey = 13, kEvKeyDown = 14, kEvKeyUp = 15, kEvFocus = 17, kEvUnfocus = 18,
    kEvSelect = 25, kEvChange = 26, kEvResize = 30, kEvTime = 33,
};

enum EventFlag : uint32_t {
    kEfSpecialKey = 0x1,
    kEfAuxDown = 0x400000,
    kEfAltDown = 0x800000,
    kEfMidDown = 0x1000000,
    kEfDown = 0x2000000,
    kEfAway = 0x4000000,
    kEfControl = 0x10000000,
    kEfShift = 0x20000000,
    kEfAlt = 0x40000000,
    kEfCommand = 0x80000000,
};

// What an event! value of this backend refers to.
struct EventRecord {
    Widget* widget = nullptr;
    float x = 0, y = 0;   // cells, relative to the widget
    int32_t key = 0;      // key code (negative for special keys) or the picked value
    float delta = 0;      // wheel delta
};

// Event records live in a side table: an event! value of the backend holds the record's id. A
// record lives while its event is being dispatched; after free_event_record the id is stale and
// the event's backend fields read as none.
uint32_t new_event_record(const EventRecord& record);
EventRecord* event_record(uint32_t id);  // null when stale
void free_event_record(uint32_t id);

// Fields of a backend event! value (asked by the event! datatype). Each writes out and returns it.
Cell* event_face(const Cell* ev, Cell* out);
Cell* event_window(const Cell* ev, Cell* out);
Cell* event_offset(const Cell* ev, Cell* out);
Cell* event_key(const Cell* ev, Cell* out);
Cell* event_picked(const Cell* ev, Cell* out);
Cell* event_flags(const Cell* ev, Cell* out);  // a new block of the flag words
bool event_flag_q(const Cell* ev, uint32_t bit);

// Face flag bits, as get_flags gives them.
enum FaceFlag : uint32_t {
    kFfAllOver = 0x1,
    kFfFocusable = 0x2,
    kFfTriState = 0x20000,
    kFfScrollable = 0x40000,
    kFfPassword = 0x80000,
    kFfNoSync = 0x100000,
    kFfFullscreen = 0x200000,
    kFfPopup = 0x1000000,
    kFfModal = 0x2000000,
    kFfResize = 0x4000000,
    kFfNoButtons = 0x8000000,
    kFfNoMax = 0x10000000,
    kFfNoMin = 0x20000000,
    kFfNoTitle = 0x40000000,
    kFfNoBorder = 0x80000000,
};

// Facet indexes of a face! object.
enum Facet : int32_t {
    kFType = 0, kFOffset, kFSize, kFText, kFImage, kFColor, kFMenu, kFData, kFEnabled,
    kFVisible, kFSelected, kFFlags, kFOptions, kFParent, kFPane, kFState, kFRate, kFEdge,
    kFPara, kFFont, kFActors, kFExtra, kFDraw,
};

// ---- Timers ----

struct Timer {
    int32_t one_shot = 0;
    int32_t stopped = 0;
    int32_t elapsed = 0;   // ms since it last fired
    int32_t interval = 0;  // ms between firings
    int32_t running = 0;   // 1 while its callback runs: a nested loop's frames must not fire it
    Widget* owner = nullptr;
    void (*callback)(Timer* t) = nullptr;
};

// ---- Backend state ----

struct State {
    int32_t gui_active = 0;
    int32_t colour_mode = 4;  // 4 true colour, 2 xterm 256
    int32_t columns = 80, rows = 24;
    std::vector<Widget*> windows;
    std::vector<Widget*> pressed;
    std::vector<Timer*> timers;
    std::vector<uint8_t> output;  // the frame being written
    std::vector<uint8_t> input;   // bytes read, not yet decoded
    int32_t read_index = 0;       // next byte of input to decode (0-based here)
    int32_t incomplete = 0;
    int32_t button_state = 1;
    Widget* focused = nullptr;
    Widget* current_window = nullptr;
    Widget* under_pointer = nullptr;
    Widget* captured = nullptr;
    float last_x = 0, last_y = 0;
    int32_t loop_depth = 0;
    int32_t waiting_loops = 0;  // waiting event loops now running; the outermost owns the terminal
    int32_t mouse_on = 0;
    int32_t full_screen_wanted = 0;
    int32_t alternate_screen = 0;
    int32_t cursor_hidden = 0;
    int32_t click_state = 0;
    int32_t dbl_click_counter = 0;
    // Renderer.
    int32_t drawn_inline = 0;
    int32_t cursor_row = 0;
    int32_t caret_column = -1, caret_row = -1;
    int32_t origin_column = 0, origin_row = 0;
    CellGrid buffer;
    int32_t redraw = 0;
    int32_t report_pending = 0;  // cursor position requests whose answers are not yet read
};

extern State state;

// Registers the backend's routines (the boot sources bind them by name).
void register_routines();

// Registers the collector's marker of the backend (widgets' cells, the event flags block) once.
void ensure_marker_registered();

// Around every write to standard output (registered with the output layer by gui::init): take
// the inline drawing away and give the terminal its printing mode, then put the GUI mode back and
// ask for the cursor position so the next frame is drawn below the text.
void print_begin();
void print_end();

}  // namespace tui

namespace gui {

// The backend's start-up: the platform object's version fields, the colour mode, the lists and
// the collector's marker. Writes nothing to the terminal.
void init(const Cell* platform);
// Face flags facet (a word or a block of words) to FaceFlag bits; an unknown word raises
// invalid-arg.
uint32_t get_flags(const Cell* facet);

// Face glue. A face's state/1 is a handle whose value is its widget's id.
tui::Widget* face_handle_q(const Cell* face);  // null when the face has no live widget
tui::Widget* get_face_handle(const Cell* face);  // the same, for callers that know state/1 is a handle
tui::Widget* OS_make_view(const Cell* face, tui::Widget* parent);
void OS_update_view(const Cell* face);
void OS_update_facet(const Cell* owner, const Cell* word, const Cell* value, const Cell* action, const Cell* new_,
                     int32_t index, int32_t part);
void OS_destroy_view(const Cell* face, bool empty);
void update_font(const Cell* font, int32_t code);
void update_para(const Cell* face, int32_t code);
void OS_show_window(tui::Widget* window);
void OS_refresh_window(tui::Widget* w);
void OS_redraw(tui::Widget* w);

}  // namespace gui
