// The renderer. Only the current window is painted: its widgets draw themselves into a buffer of
// cells as large as the window (cut to the screen), and the buffer goes out as one write whose
// escape sequences change attributes and colours only where they differ from the previous cell.
#include "tui/render.h"

#include <cstdio>
#include <cstring>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/handle.h"
#include "datatypes/image.h"
#include "datatypes/pair.h"
#include "datatypes/point.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/tuple.h"
#include "datatypes/error.h"
#include "runtime/collector.h"
#include "runtime/memory.h"
#include "runtime/output.h"
#include "runtime/runtime.h"
#include "runtime/stack.h"
#include "runtime/unicode.h"
#include "tui/text.h"

namespace tui {

void (*draw_facet)(Widget* w, const Cell* block, const Clip& clip, int32_t x, int32_t y) = nullptr;

// ---- Colours ----

uint32_t tuple_to_rgb(const Cell* tuple) {
    const uint8_t* b = tuple::bytes_of(tuple);
    uint32_t v = uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16;
    if (tuple::count_of(tuple) >= 4) v |= uint32_t(b[3]) << 24;
    return v;
}

int channel_level(int v) {
    if (v < 48) return 0;
    if (v <= 114) return 1;
    return (v - 35) / 40;
}

uint32_t rgb_to_256(uint32_t rgb) {
    if ((rgb >> 24) == 0xFF) return kColourDefault;
    static const int levels[6] = {0, 95, 135, 175, 215, 255};
    int r = rgb & 0xFF, g = (rgb >> 8) & 0xFF, b = (rgb >> 16) & 0xFF;
    int lr = channel_level(r), lg = channel_level(g), lb = channel_level(b);
    int cube = 16 + 36 * lr + 6 * lg + lb;
    int average = (r + g + b) / 3;
    int step = average > 238 ? 23 : (average - 3) / 10;  // truncates toward zero
    int grey = 232 + step;
    int grey_level = 8 + 10 * step;
    auto sq = [](int d) { return d * d; };
    int cube_distance = sq(r - levels[lr]) + sq(g - levels[lg]) + sq(b - levels[lb]);
    int grey_distance = sq(r - grey_level) + sq(g - grey_level) + sq(b - grey_level);
    return kColour256 | static_cast<uint32_t>(grey_distance <= cube_distance ? grey : cube);
}

// ---- Faces ----

Cell* facet(const Cell* face, int index) {
    if (!face || face->type() != TYPE_OBJECT) return nullptr;
    if (index < 0 || index >= context::count(face->data1)) return nullptr;
    Cell* values = context::values(face->data1);
    return values ? values + index : nullptr;
}

Cell* field(const Cell* object, int32_t symbol) {
    if (!object || object->type() != TYPE_OBJECT) return nullptr;
    int32_t i = context::find_word(object->data1, symbol, true);
    if (i < 0) return nullptr;
    Cell* values = context::values(object->data1);
    return values ? values + i : nullptr;
}

Widget* face_widget(const Cell* face) {
    const Cell* state = facet(face, kFState);
    if (!state || state->type() != TYPE_BLOCK) return nullptr;
    SeriesBuf* b = state->buffer();
    if (state->index() < 0 || uint32_t(state->index()) >= b->length()) return nullptr;
    const Cell* h = cells_head(b) + state->index();
    if (h->type() != TYPE_HANDLE) return nullptr;
    return widget_of(static_cast<uint32_t>(handle::value_of(h)));
}

int32_t to_cells(float v) {
    if (!(v > -1e6f)) return -1000000;  // NaN counts as far left
    if (v > 1e6f) return 1000000;
    return static_cast<int32_t>(v);
}

TextView text_view(const Cell* s) {
    TextView t;
    if (!s || !types::any_string(s->type())) return t;
    int32_t n = string::rs_length_q(s);
    if (n <= 0) return t;
    SeriesBuf* b = s->buffer();
    t.unit = b->unit();
    t.p = b->at_head() + size_t(s->index()) * t.unit;
    t.length = n;
    return t;
}

static int32_t sym(const char* name) { return symbol::make(name); }

// The words the renderer looks for. Made on first use, which may allocate: callers take them
// before they hold any value's address.
namespace {
struct Words {
    int32_t align = sym("align"), v_align = sym("v-align"), wrap = sym("wrap?"), center = sym("center"),
            right = sym("right"), middle = sym("middle"), bottom = sym("bottom"), color = sym("color"),
            rich_text = sym("rich-text"), hint = sym("hint");
};
const Words& words() {
    static const Words w;
    return w;
}
}  // namespace

// ---- Text into cells ----

static TermCell* cell_at(int32_t x, int32_t y) {
    return &state.buffer.cells[size_t(y) * size_t(state.buffer.width) + size_t(x)];
}

// Puts a character of width w (1 or 2) at (col, row); the caller made sure it fits the clip.
static void put(int32_t col, int32_t row, uint32_t cp, int w, const Pen& pen) {
    TermCell* c = cell_at(col, row);
    *c = TermCell{cp, pen.bg_set ? pen.bg : c->bg, pen.fg, pen.flags};
    if (w == 2) c[1] = TermCell{0, pen.bg_set ? pen.bg : c[1].bg, pen.fg, pen.flags | kWideTail};
}

// Applies one SGR code to the pen; base is what code 0 goes back to.
static void apply_sgr(uint32_t code, Pen& pen, const Pen& base) {
    static const uint32_t bits[10] = {0, kBold, kDim, kItalic, kUnderline, kBlink, 0, kReverse, kHidden, kStrike};
    if (code == 0) {
        pen = base;
    } else if (code <= 9) {
        pen.flags |= bits[code];
    } else if (code >= 21 && code <= 29) {
        pen.flags &= ~bits[code - 20];
    } else if ((code >= 30 && code <= 37) || code == 39) {
        pen.fg = kColourBasic | (code - 30);
    } else if ((code >= 40 && code <= 47) || code == 49) {
        pen.bg = kColourBasic | (code - 40);
        pen.bg_set = true;
    } else if (code >= 90 && code <= 97) {
        pen.fg = kColourBasic | (code - 80);
    } else if (code >= 100 && code <= 107) {
        pen.bg = kColourBasic | (code - 90);
        pen.bg_set = true;
    }
}

static void apply_group(const uint32_t* g, int n, Pen& pen, const Pen& base) {
    if (n == 3 && g[1] == 5 && (g[0] == 38 || g[0] == 48)) {
        (g[0] == 38 ? pen.fg : pen.bg) = kColour256 | (g[2] & 0xFF);
        if (g[0] == 48) pen.bg_set = true;
        return;
    }
    for (int i = 0; i < n; i++) apply_sgr(g[i], pen, base);
}

// Reads the sequence that starts with the escape at i; returns the index of its last character.
static int32_t escape_sequence(const TextView& t, int32_t i, Pen& pen, const Pen& base) {
    if (i + 1 >= t.length || t.at(i + 1) != '[') return i;
    uint32_t group[3];
    int n = 0;
    bool in_number = false;
    uint32_t value = 0;
    for (int32_t j = i + 2; j < t.length; j++) {
        uint32_t c = t.at(j);
        if (c >= '0' && c <= '9') {
            value = (value * 10 + (c - '0')) % 65535;
            in_number = true;
        } else if (c == ';') {
            if (n == 3) {
                apply_group(group, n, pen, base);
                n = 0;
            }
            group[n++] = in_number ? value : 0;
            value = 0;
            in_number = false;
        } else if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) {
            if (in_number || n > 0) {
                if (n == 3) {
                    apply_group(group, n, pen, base);
                    n = 0;
                }
                group[n++] = in_number ? value : 0;
            }
            if (c == 'm' && n > 0) apply_group(group, n, pen, base);
            return j;
        } else {
            return j - 1;  // not a sequence character: the text goes on from here
        }
    }
    return t.length - 1;
}

void draw_text(const TextView& t, int32_t x, int32_t y, const Clip& clip, Pen pen, bool wrap, bool escapes) {
    const Pen base = pen;
    const bool password = pen.flags & kPassword;
    int32_t col = x, row = y;
    bool skip_line = false;
    for (int32_t i = 0; i < t.length; i++) {
        if (row >= clip.y2) return;
        uint32_t cp = t.at(i);
        if (cp == 27 && escapes) {
            i = escape_sequence(t, i, pen, base);
            continue;
        }
        if (cp == '\n') {
            row++;
            col = x;
            skip_line = false;
            continue;
        }
        if (skip_line) continue;
        int w = password ? 1 : unicode::char_width(cp);
        if (w == 0) continue;
        if (col + w > clip.x2) {
            if (!wrap || col == x) {  // a character wider than the whole row is never written
                skip_line = true;
                continue;
            }
            row++;
            col = x;
            if (row >= clip.y2) return;
        }
        if (row >= clip.y1 && col >= clip.x1) put(col, row, cp, w, pen);
        col += w;  // one straddling the left edge is not written but still takes its cells
    }
}

void draw_styled(const CellGrid& styled, int32_t x, int32_t y, const Clip& clip, bool wrap) {
    int32_t col = x, row = y;
    bool skip_line = false;
    size_t n = styled.cells.size();
    for (size_t i = 0; i < n; i++) {
        if (row >= clip.y2) return;
        const TermCell& s = styled.cells[i];
        if (s.cp == '\n') {
            row++;
            col = x;
            skip_line = false;
            continue;
        }
        if (skip_line) continue;
        int w = unicode::char_width(s.cp);
        if (w == 0) continue;
        if (col + w > clip.x2) {
            if (!wrap || col == x) {
                skip_line = true;
                continue;
            }
            row++;
            col = x;
            if (row >= clip.y2) return;
        }
        if (row >= clip.y1 && col >= clip.x1) put(col, row, s.cp, w, Pen{s.fg, s.bg, s.flags & ~kWideTail, true});
        col += w;
    }
}

// ---- Text extent, for alignment ----

// An escape sequence in a measured text takes no cells.
static int32_t skip_escape(const TextView& t, int32_t i) {
    Pen scratch;
    return escape_sequence(t, i, scratch, scratch);
}

// Draws a string at (x, y) placed in the box of w x h cells by the alignment bits.
static void draw_aligned(const TextView& t, int32_t x, int32_t y, int32_t w, int32_t h, const Clip& clip, Pen pen,
                         uint32_t style, bool escapes) {
    bool wrap = style & kWrap;
    if (style & (kAlignRight | kAlignCenter | kAlignMiddle | kAlignBottom)) {
        Extent e = text_extent(t, wrap ? (w > 0 ? w : 0) : kNoWrap, escapes ? skip_escape : nullptr);
        int32_t tw = e.width, th = e.lines;
        if (tw < w) {
            if (style & kAlignCenter) x += (w - tw) / 2;
            else if (style & kAlignRight) x += w - tw;
        }
        if (th < h) {
            if (style & kAlignMiddle) y += (h - th) / 2;
            else if (style & kAlignBottom) y += h - th;
        }
    }
    draw_text(t, x, y, clip, pen, wrap, escapes);
}

// ---- Widgets ----

uint32_t para_style(const Cell* face) {
    // The words first: taking them the first time allocates, which may move the face's values.
    const Words& k = words();
    const Cell* para = facet(face, kFPara);
    if (!para || para->type() != TYPE_OBJECT) return 0;
    const int32_t s_align = k.align, s_valign = k.v_align, s_wrap = k.wrap, s_center = k.center, s_right = k.right,
                  s_middle = k.middle, s_bottom = k.bottom;
    uint32_t style = 0;
    auto is_word = [](const Cell* v, int32_t s) {
        return v && types::word_like(v->type()) && symbol::resolve(v->i2()) == symbol::resolve(s);
    };
    const Cell* a = field(para, s_align);
    if (is_word(a, s_center)) style |= kAlignCenter;
    else if (is_word(a, s_right)) style |= kAlignRight;
    const Cell* v = field(para, s_valign);
    if (is_word(v, s_middle)) style |= kAlignMiddle;
    else if (is_word(v, s_bottom)) style |= kAlignBottom;
    const Cell* wr = field(para, s_wrap);
    if (wr && wr->type() == TYPE_LOGIC && wr->data1) style |= kWrap;
    return style;
}

// The value after the key word in an options block, or null.
const Cell* option(const Cell* face, int32_t key) {
    const Cell* options = facet(face, kFOptions);
    if (!options || options->type() != TYPE_BLOCK) return nullptr;
    SeriesBuf* b = options->buffer();
    int32_t n = static_cast<int32_t>(b->length()) - options->index();
    const Cell* v = cells_head(b) + options->index();
    for (int32_t i = 0; i + 1 < n; i += 2)
        if (types::word_like(v[i].type()) && symbol::resolve(v[i].i2()) == symbol::resolve(key)) return v + i + 1;
    return nullptr;
}

Pen face_pen(const Cell* face) {
    const int32_t s_color = words().color;
    Pen pen;
    if (const Cell* color = facet(face, kFColor); color && color->type() == TYPE_TUPLE)
        pen.bg = rgb_to_256(tuple_to_rgb(color));
    if (const Cell* font = facet(face, kFFont); font && font->type() == TYPE_OBJECT) {
        if (const Cell* fc = field(font, s_color); fc && fc->type() == TYPE_TUPLE) pen.fg = rgb_to_256(tuple_to_rgb(fc));
    }
    return pen;
}

Clip widget_clip(int32_t x, int32_t y, const Widget* w) {
    Clip clip{x, y, x + to_cells(w->x2 - w->x1), y + to_cells(w->y2 - w->y1)};
    if (w->parent && !w->parent->window) {
        int32_t px = x - to_cells(w->x1), py = y - to_cells(w->y1);
        Clip p{px, py, px + to_cells(w->parent->x2 - w->parent->x1), py + to_cells(w->parent->y2 - w->parent->y1)};
        if (p.x1 > clip.x1) clip.x1 = p.x1;
        if (p.y1 > clip.y1) clip.y1 = p.y1;
        if (p.x2 < clip.x2) clip.x2 = p.x2;
        if (p.y2 < clip.y2) clip.y2 = p.y2;
    }
    if (clip.x1 < 0) clip.x1 = 0;
    if (clip.y1 < 0) clip.y1 = 0;
    if (clip.x2 > state.buffer.width) clip.x2 = state.buffer.width;
    if (clip.y2 > state.buffer.height) clip.y2 = state.buffer.height;
    return clip;
}

void generic_render(int32_t x, int32_t y, Widget* w, uint32_t render_flags) {
    const Words& k = words();
    const Cell* face = &w->face;
    Pen pen = face_pen(face);
    uint32_t style = para_style(face);
    pen.flags = render_flags & (kReverse | kPassword);
    int32_t width = to_cells(w->x2 - w->x1), height = to_cells(w->y2 - w->y1);
    Clip clip = widget_clip(x, y, w);
    if (clip.empty()) return;

    for (int32_t r = clip.y1; r < clip.y2; r++)
        for (int32_t c = clip.x1; c < clip.x2; c++) *cell_at(c, r) = TermCell{0, pen.bg, 0, 0};

    if (CellGrid* img = w->image) {
        for (int32_t r = 0; r < img->height; r++) {
            if (y + r < clip.y1 || y + r >= clip.y2) continue;
            for (int32_t c = 0; c < img->width; c++)
                if (x + c >= clip.x1 && x + c < clip.x2)
                    *cell_at(x + c, y + r) = img->cells[size_t(r) * size_t(img->width) + size_t(c)];
        }
    }

    bool escapes = render_flags & kRenderEscapes;
    if (w->ui.type() == TYPE_STRING) draw_text(text_view(&w->ui), x, y, clip, pen, style & kWrap, escapes);

    if (!(render_flags & kRenderNoFaceText)) {
        const Cell* text = facet(face, kFText);
        const int32_t s_rich = k.rich_text, s_hint = k.hint;
        if (text && text->type() == TYPE_STRING && w->styled && symbol::resolve(w->type) == symbol::resolve(s_rich)) {
            draw_styled(*w->styled, x, y, clip, style & kWrap);
        } else if (text && text->type() == TYPE_STRING && string::rs_length_q(text) > 0) {
            draw_aligned(text_view(text), x, y, width, height, clip, pen, style, escapes);
        } else if (const Cell* hint = option(face, s_hint); hint && hint->type() == TYPE_STRING) {
            Pen dim = pen;
            dim.flags |= kDim;
            draw_aligned(text_view(hint), x, y, width, height, clip, dim, style, escapes);
        }
    }

    const Cell* draw = facet(face, kFDraw);
    if (draw_facet && draw && draw->type() == TYPE_BLOCK && int32_t(draw->buffer()->length()) > draw->index()) {
        Cell block = *draw;  // the face may change while the dialect runs
        draw_facet(w, &block, clip, x, y);
    }
}

void default_render(int32_t x, int32_t y, Widget* w) { generic_render(x, y, w, kRenderEscapes); }

// Panes nest as deep as scripts make them; past this depth (or in a face that holds itself)
// nothing more is drawn rather than running off the stack.
constexpr int kMaxDepth = 256;

static void draw_tree(Widget* w, float x, float y, int depth) {
    if (!w || (w->flags & kWHidden) || depth > kMaxDepth) return;
    if (w->render) w->render(to_cells(x), to_cells(y), w);
    const Cell* pane = facet(&w->face, kFPane);
    if (!pane || pane->type() != TYPE_BLOCK) return;
    Cell hold = *pane;
    for (int32_t i = hold.index();; i++) {
        SeriesBuf* b = hold.buffer();  // a render handler may have changed the pane
        if (i < 0 || uint32_t(i) >= b->length()) break;
        Cell child_face = cells_head(b)[i];
        Widget* child = face_widget(&child_face);
        if (child) draw_tree(child, x + child->x1, y + child->y1, depth + 1);
    }
}

void draw_widget_tree(Widget* w, int32_t x, int32_t y) { draw_tree(w, float(x), float(y), 0); }

void draw_image(Widget* w, const Cell* img) {
    int32_t width = to_cells(w->x2 - w->x1), height = to_cells(w->y2 - w->y1);
    delete w->image;
    w->image = nullptr;
    if (width <= 0 || height <= 0) return;
    // A huge face keeps a cell array of screen size, not gigabytes.
    if (width > kMaxColumns) width = kMaxColumns;
    if (height > kMaxRows) height = kMaxRows;
    int32_t iw = image::width_of(img), ih = image::height_of(img);
    auto* grid = new CellGrid;
    grid->width = width;
    grid->height = height;
    grid->cells.assign(size_t(width) * size_t(height), TermCell{0, 0, 0, 0});
    w->image = grid;
    if (iw <= 0 || ih <= 0) return;
    const uint32_t* px = image::pixels_of(img);
    int32_t head = img->index();
    auto colour = [](uint32_t p) -> uint32_t {
        uint32_t r = (p >> 16) & 0xFF, g = (p >> 8) & 0xFF, b = p & 0xFF;
        if (state.colour_mode == 4) return kColourRGB | r << 16 | g << 8 | b;
        return rgb_to_256(r | g << 8 | b << 16);
    };
    int64_t pixel_rows = int64_t(height) * 2;
    for (int32_t r = 0; r < height; r++) {
        // Nearest neighbour from the scaled size back to the image.
        int64_t up_y = int64_t(2 * r) * ih / pixel_rows, low_y = int64_t(2 * r + 1) * ih / pixel_rows;
        for (int32_t c = 0; c < width; c++) {
            int64_t sx = int64_t(c) * iw / width;
            int64_t up = up_y * iw + sx - head, low = low_y * iw + sx - head;
            if (up < 0 || low < 0) continue;  // pixels before the image's head are not drawn
            uint32_t upper = px[up], lower = px[low];
            if ((upper >> 24) == 0) continue;
            TermCell& cell = grid->cells[size_t(r) * size_t(width) + size_t(c)];
            cell.cp = 0x2584;
            cell.bg = colour(upper);
            cell.fg = (lower >> 24) == 0 ? kColourDefault : colour(lower);
        }
    }
}

// ---- Frames ----

static Widget* window_of(Widget* w) {
    for (int depth = 0; w && w->parent && depth < 100000; depth++) w = w->parent;
    return w;
}

void mark_redraw(Widget* w) {
    if (!w) w = state.focused;
    Widget* win = window_of(w);
    if (win && win == state.current_window) state.redraw = 1;
}

static void out(const char* s) {
    state.output.insert(state.output.end(), s, s + std::strlen(s));
}

static void outf(const char* format, int32_t n) {
    char buf[24];
    int len = std::snprintf(buf, sizeof buf, format, n);
    if (len > 0) state.output.insert(state.output.end(), buf, buf + len);
}

static void out_colour(uint32_t colour, bool background) {
    static const char* const basic_bg[18] = {"40",  "41",  "42",  "43",  "44",  "45",  "46",  "47",  "0",
                                             "49",  "100", "101", "102", "103", "104", "105", "106", "107"};
    static const char* const basic_fg[18] = {"30", "31", "32", "33", "34", "35", "36", "37", "0",
                                             "39", "90", "91", "92", "93", "94", "95", "96", "97"};
    char buf[32];
    const char* text = buf;
    switch (colour >> 24) {
        case 0: text = background ? "49" : "39"; break;
        case 1: {
            uint32_t i = colour & 0x1F;
            text = i < 18 ? (background ? basic_bg[i] : basic_fg[i]) : "0";
            break;
        }
        case 2: std::snprintf(buf, sizeof buf, background ? "48;5;%u" : "38;5;%u", colour & 0xFF); break;
        case 4:
            std::snprintf(buf, sizeof buf, background ? "48;2;%u;%u;%u" : "38;2;%u;%u;%u", (colour >> 16) & 0xFF,
                          (colour >> 8) & 0xFF, colour & 0xFF);
            break;
        default: text = "0"; break;
    }
    out("\x1b[");
    out(text);
    out("m");
}

// Writes what changes between two cells. "\e[22m" ends bold and dim together, so the one of them
// that stays on is set again.
static void out_changes(const TermCell& a, const TermCell& b) {
    uint32_t d = a.flags ^ b.flags;
    bool bold_on = a.flags & kBold;
    if (d & kDim) {
        if (b.flags & kDim) out("\x1b[2m");
        else {
            out("\x1b[22m");
            bold_on = false;
        }
    }
    if (d & kReverse) out(b.flags & kReverse ? "\x1b[7m" : "\x1b[27m");
    if (bool(b.flags & kBold) != bold_on) {
        if (b.flags & kBold) out("\x1b[1m");
        else {
            out("\x1b[22m");
            if (b.flags & kDim) out("\x1b[2m");
        }
    }
    if (d & kItalic) out(b.flags & kItalic ? "\x1b[3m" : "\x1b[23m");
    if (d & kStrike) out(b.flags & kStrike ? "\x1b[9m" : "\x1b[29m");
    if (d & kUnderline) out(b.flags & kUnderline ? "\x1b[4m" : "\x1b[24m");
    if (a.fg != b.fg) out_colour(b.fg, false);
    if (a.bg != b.bg) out_colour(b.bg, true);
}

static bool focused_shows_caret() { return state.focused && (state.focused->flags & kShowsCaret); }

void compose_frame() {
    const CellGrid& g = state.buffer;
    if (g.width < 1 || g.height < 1) return;
    state.output.reserve(state.output.size() + size_t(g.width) * size_t(g.height) * 2 + 64);
    if (state.alternate_screen) {
        out("\x1b[H");
    } else {
        out("\r");
        if (state.cursor_row > 0) outf("\x1b[%dA", state.cursor_row);
        out("\x1b[0J");
    }
    TermCell prev{0, 0, 0, 0};
    for (int32_t r = 0; r < g.height; r++) {
        const TermCell* row = &g.cells[size_t(r) * size_t(g.width)];
        for (int32_t c = 0; c < g.width; c++) {
            const TermCell& cell = row[c];
            // A wide character is written with its tail; when something was drawn over one half
            // of it, the other half goes out as a blank, else the rest of the row would shift.
            bool tail = cell.flags & kWideTail;
            if (tail && c > 0 && !(row[c - 1].flags & (kWideTail | kPassword)) && unicode::char_width(row[c - 1].cp) == 2)
                continue;
            bool broken = tail || ((cell.flags & kPassword) == 0 && unicode::char_width(cell.cp) == 2 &&
                                   (c + 1 == g.width || !(row[c + 1].flags & kWideTail)));
            out_changes(prev, cell);
            prev = cell;
            uint32_t cp = (cell.flags & kPassword) ? '*' : broken ? ' ' : cell.cp;
            // A control character would move the terminal's cursor under the frame's feet.
            if (cp < 32 || (cp >= 127 && cp < 160)) cp = ' ';
            else if ((cp >= 0xD800 && cp < 0xE000) || cp > 0x10FFFF) cp = 0xFFFD;
            uint8_t utf8[4];
            int n = unicode::cp_to_utf8(cp, utf8);
            state.output.insert(state.output.end(), utf8, utf8 + (n > 0 ? n : 0));
        }
        if (r + 1 < g.height) {
            prev.bg = kColourDefault;
            out("\x1b[49m\r\n");
        }
    }
    out_changes(prev, TermCell{0, 0, 0, 0});
    // A caret below the drawing (a field cut off by its panel or by the screen) stays where the
    // frame ended: the cursor cannot go there, and counting its row would make the next frame
    // and the erase climb above the drawing into the console's output.
    if (focused_shows_caret() && state.caret_column >= 0 && state.caret_row >= 0 && state.caret_row < g.height) {
        out("\r");
        int32_t n = g.height - (state.caret_row + 1);
        if (n > 0) outf("\x1b[%dA", n);
        if (state.caret_column > 0) outf("\x1b[%dC", state.caret_column);
        state.cursor_row = state.caret_row;
    } else {
        state.cursor_row = g.height - 1;
    }
}

void flush_output() {
    if (state.output.empty()) return;
    output::flush();
    std::fflush(nullptr);
    output::write_fd_all(output::stdout_fd(), state.output.data(), state.output.size());
    state.output.clear();
}

static void render_unguarded() {
    Widget* win = state.current_window;
    CellGrid& g = state.buffer;
    if (state.alternate_screen) {
        state.origin_column = 0;
        state.origin_row = 0;
    } else if (state.origin_row + g.height > state.rows) {
        state.origin_row = state.rows - g.height;
    }
    if (!state.redraw) return;
    if (!win) {
        // The last window closed: nothing to draw, and blank rows would only push the console down.
        state.redraw = 0;
        return;
    }
    if (state.gui_active && win->window) {
        const WindowRecord* rec = win->window;
        int32_t w = to_cells(rec->x2 - rec->x1), h = to_cells(rec->y2 - rec->y1);
        if (w > state.columns) w = state.columns;
        if (h > state.rows) h = state.rows;
        // A terminal may claim up to 65535 x 65535 cells: gigabytes of buffer that no screen shows.
        if (w > kMaxColumns) w = kMaxColumns;
        if (h > kMaxRows) h = kMaxRows;
        if (w < 0) w = 0;
        if (h < 0) h = 0;
        g.width = w;
        g.height = h;
        g.cells.resize(size_t(w) * size_t(h));
    }
    std::fill(g.cells.begin(), g.cells.end(), TermCell{0, 0, 0, 0});
    state.caret_column = -1;
    state.caret_row = -1;
    if (win) draw_widget_tree(win, 0, 0);
    bool caret = focused_shows_caret();
    if (!caret && !state.cursor_hidden) {
        out("\x1b[?25l");
        state.cursor_hidden = 1;
    }
    compose_frame();
    if (caret && state.cursor_hidden) {
        out("\x1b[?25h");
        state.cursor_hidden = 0;
    }
    flush_output();
    state.drawn_inline = state.alternate_screen ? 0 : 1;
    state.redraw = 0;
}

// Faces are painted outside any call of the script, yet painting one can raise an error (a
// rich-text face's bad style block, a draw block's set-word that cannot be set) or, through a
// set-word's on-change* handler, throw, break or continue. Unstopped, these would unwind the
// frames of the script calls that run the loop while their C++ callers go on. A boundary frame
// stops them all here as an error, which is printed, and the frame is abandoned with
// codes::error, as a bad draw command abandons it.
void render() {
    stack::Saved saved = stack::save();
    Frame* below = stack::ctop;
    stack::mark_named(stack::body_symbol, FRAME_BOUNDARY);
    uint32_t code = catch_frame(codes::all, [] { render_unguarded(); });
    // A raised error drops the frames down to and with the boundary frame; other codes leave it.
    bool raised = code == codes::error && stack::ctop <= below;
    stack::restore(saved);
    if (!code) return;
    if (raised) {
        Cell err = stack::pending_error;
        collector::Root keep(&err);
        // The error has unwound the frames to the boundary already, which is gone: one raised
        // by its printing would unwind the script's frames below, past its try. Running out of
        // memory there ends the process (run-time error 94) instead.
        memory::AfterError printing;
        error::print_uncaught(&err);
    }
    runtime::throw_code(code);
}

void erase_inline() {
    if (!state.drawn_inline) return;
    out("\r");
    if (state.cursor_row > 0) outf("\x1b[%dA", state.cursor_row);
    // Also for a one-row drawing: without the erase its row would stay above the printed text.
    out("\x1b[0J");
    state.cursor_row = 0;
    state.drawn_inline = 0;
    flush_output();
}

void leave_inline() {
    // A drawing that printed text erased and no frame put back leaves nothing to step over.
    if (!state.drawn_inline) return;
    int32_t below = state.buffer.height - 1 - state.cursor_row;
    if (below > 0) outf("\x1b[%dB", below);
    out("\r\n");
    state.cursor_row = 0;
    flush_output();
}

}  // namespace tui
