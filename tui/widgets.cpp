// Widget kinds. A face's type picks the handlers: most kinds draw with the generic render and a
// few render flags; fields edit their face's text in place; check boxes, radio buttons, progress
// bars and text lists get their painted text from the view engine's TUI-helpers functions.
#include "tui/widgets.h"

#include "datatypes/block.h"
#include "datatypes/hash.h"
#include "datatypes/map.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "evaluator/interpreter.h"
#include "runtime/collector.h"
#include "runtime/unicode.h"
#include "tui/render.h"
#include "tui/rich_text.h"

namespace tui {

bool (*send_face_event)(Widget* w, int32_t type, int32_t picked) = nullptr;

static int32_t sym(const char* name) { return symbol::make(name); }
static bool same(int32_t a, int32_t b) { return symbol::resolve(a) == symbol::resolve(b); }

static Widget* window_of(Widget* w) {
    for (int depth = 0; w && w->parent && depth < 100000; depth++) w = w->parent;
    return w;
}

static bool send(Widget* w, int32_t type, int32_t picked) {
    if (!send_face_event || (w->flags & kDisabled) || !w->face.is(TYPE_OBJECT)) return false;
    return send_face_event(w, type, picked);
}

void call_ui_helper(Widget* w, const char* name, bool as_ui) {
    static const int32_t s_helpers = sym("TUI-helpers");
    const int32_t s_name = sym(name);  // before any value's address is taken: it may allocate
    Cell word;
    word::make_global(&word, s_helpers);
    const Cell* helpers = word::peek(&word);
    const Cell* fn = field(helpers, s_name);
    if (!fn || !types::any_function(fn->type())) return;
    Cell function = *fn, face = w->face, result;
    set_cell(&result, TYPE_NONE);
    collector::Root keep_fn(&function), keep_face(&face), keep_result(&result);
    const Cell* args[1] = {&face};
    uint32_t id = w->id;
    interpreter::call_with(&result, &function, args, 1);
    // The helper runs script code, which may have destroyed the widget.
    if (id && widget_of(id) != w) return;
    if (as_ui && result.is(TYPE_STRING)) w->ui = result;
}

// ---- Window ----

static void setup_window(Widget* w) {
    if (w->flags & kFullScreen) state.full_screen_wanted = 1;
    if (!state.focused) {
        state.focused = w;
        w->flags |= kHasFocus;
    }
    auto* rec = new WindowRecord;
    rec->x1 = w->x1;
    rec->y1 = w->y1;
    rec->x2 = w->x2;
    rec->y2 = w->y2;
    rec->window = w;
    w->window = rec;
    w->render = nullptr;
    state.windows.push_back(w);
}

// ---- Base: a caret placeholder puts the caret of another face's widget at its own place ----

// Scans the options for caret keys; the widgets named there show a caret, and when one has the
// focus the caret stands at (x, y). Answers whether the base is a placeholder.
static bool scan_caret(Widget* w, int32_t x, int32_t y, bool count) {
    static const int32_t s_caret = sym("caret");
    const Cell* options = facet(&w->face, kFOptions);
    if (!options || !options->is(TYPE_BLOCK)) return false;
    int32_t n = static_cast<int32_t>(options->buffer()->length()) - options->index();
    if (n <= 0 || n % 2) return false;
    bool placeholder = false;
    for (int32_t i = 0; i < n; i += 2) {
        const Cell* key = cells_head(options->buffer()) + options->index() + i;
        if (!types::word_like(key->type()) || !same(key->i2(), s_caret)) continue;
        placeholder = true;
        const Cell* target = key + 1;
        if (types::word_like(target->type())) target = word::peek(target);
        Widget* t = target ? face_widget(target) : nullptr;
        if (!t) continue;
        if (count && !(t->flags & kShowsCaret)) {
            t->flags |= kShowsCaret;
            if (Widget* win = window_of(w); win && win->window) win->window->carets++;
        }
        if (t->flags & kHasFocus) {
            state.caret_column = x;
            state.caret_row = y;
        }
    }
    return placeholder;
}

static void render_base(int32_t x, int32_t y, Widget* w) {
    if (w->flags & kCaretPlaceholder) scan_caret(w, x, y, false);
    else generic_render(x, y, w, kRenderEscapes);
}

// ---- Button ----

static void render_button(int32_t x, int32_t y, Widget* w) {
    generic_render(x, y, w, (w->flags & kHasFocus) ? kRenderEscapes | kRenderReverse : kRenderEscapes);
}

static void button_event(int32_t type, EventRecord* ev) {
    if (type != kEvKey) return;
    Widget* w = ev->widget;
    uint32_t id = w->id;  // the click's actor may close the window and free w
    if (ev->key == ' ') send(w, kEvClick, 0);
    if (widget_of(id) == w) mark_redraw(w);
}

// ---- Field ----

static int field_char_width(const Widget* w, uint32_t cp) {
    return (w->flags & kWPassword) ? 1 : unicode::char_width(cp);
}

// Puts the caret after as many characters as fit in cells columns; the record's width is the
// whole text's.
static void place_caret(Widget* w, int64_t cells) {
    TextView t = text_view(facet(&w->face, kFText));
    int64_t col = 0, width = 0;
    int32_t index = 0;
    bool placing = true;
    for (int32_t i = 0; i < t.length; i++) {
        int cw = field_char_width(w, t.at(i));
        if (placing && col + cw <= cells) {
            col += cw;
            index = i + 1;
        } else {
            placing = false;
        }
        width += cw;
    }
    w->caret->index = index;
    w->caret->column = static_cast<int32_t>(col);
    w->caret->width = width > INT32_MAX ? INT32_MAX : static_cast<int32_t>(width);
}

static void render_field(int32_t x, int32_t y, Widget* w) {
    w->y2 = w->y1 + 1.0f;
    generic_render(x, y, w, (w->flags & kWPassword) ? kRenderEscapes | kRenderPassword : kRenderEscapes);
    if ((w->flags & kHasFocus) && w->caret) {
        state.caret_column = x + w->caret->column;
        state.caret_row = y;
    }
}

static void field_event(int32_t type, EventRecord* ev) {
    Widget* w = ev->widget;
    if (!w->caret) return;
    Cell* text = facet(&w->face, kFText);
    if (!text) return;
    if (!text->is(TYPE_STRING)) {
        Cell s;
        string::rs_make_at(&s, 16);
        collector::Root keep(&s);
        if (Cell* t = facet(&w->face, kFText)) *t = s;
    }
    Cell str = *facet(&w->face, kFText);
    collector::Root keep(&str);
    int32_t length = string::rs_length_q(&str);
    int32_t field_width = to_cells(w->x2 - w->x1);
    CaretRecord& caret = *w->caret;
    // A script may have changed the text since the last key: the caret stays within it.
    if (caret.index > length) caret.index = length;
    if (caret.index < 0) caret.index = 0;
    auto width_at = [&](int32_t i) { return field_char_width(w, string::rs_abs_at(&str, str.index() + i)); };
    int64_t col = 0, total = 0;
    for (int32_t i = 0; i < length; i++) {
        int cw = width_at(i);
        if (i < caret.index) col += cw;
        total += cw;
    }
    caret.column = static_cast<int32_t>(col);
    caret.width = total > INT32_MAX ? INT32_MAX : static_cast<int32_t>(total);

    if (type == kEvClick) {
        place_caret(w, to_cells(ev->x) < 0 ? 0 : to_cells(ev->x));
        mark_redraw(w);
        return;
    }
    if (type != kEvKey) return;
    int32_t key = ev->key;
    if (key == 0 || key == 9 || key == 13) return;  // the view engine's keys
    if (key == 2 || key == -23) {
        if (caret.index > 0) {
            caret.column -= width_at(caret.index - 1);
            caret.index--;
        }
    } else if (key == 6 || key == -22) {
        if (caret.index < length) {
            caret.column += width_at(caret.index);
            caret.index++;
        }
    } else if (key == 8 || key == 127) {
        if (caret.index > 0) {
            int cw = width_at(caret.index - 1);
            string::remove_char(&str, str.index() + caret.index - 1);
            caret.index--;
            caret.column -= cw;
            caret.width -= cw;
        }
    } else if (key >= 32 && key <= 0x10FFFF) {
        uint32_t cp = static_cast<uint32_t>(key);
        int cw = field_char_width(w, cp);
        if (int64_t(caret.width) + cw <= field_width) {
            SeriesBuf* b = str.buffer();
            uint32_t at = b->head / b->unit() + uint32_t(str.index()) + uint32_t(caret.index);
            if (caret.index >= length) string::append_char(str.node(), cp);
            else string::insert_char(str.node(), at, cp);
            caret.index++;
            caret.column += cw;
            caret.width += cw;
        }
    }
    mark_redraw(w);
}

// ---- Check boxes and radio buttons ----

static void render_check(int32_t x, int32_t y, Widget* w) {
    uint32_t flags = kRenderEscapes | kRenderNoFaceText;
    generic_render(x, y, w, (w->flags & kHasFocus) ? flags | kRenderReverse : flags);
}

static void update_check(Widget* w) { call_ui_helper(w, "make-checkbox-ui", true); }
static void update_radio(Widget* w) { call_ui_helper(w, "make-radio-ui", true); }
static void update_progress(Widget* w) { call_ui_helper(w, "make-progress-ui", false); }
static void update_text_list(Widget* w) { call_ui_helper(w, "make-text-list-ui", false); }

static void toggle_event(int32_t type, EventRecord* ev, bool radio) {
    Widget* w = ev->widget;
    if (type == kEvFocus) {
        mark_redraw(w);
        return;
    }
    if (!(type == kEvClick || (type == kEvKey && ev->key == ' '))) return;
    Cell* data = facet(&w->face, kFData);
    if (!data) return;
    if (radio || data->is(TYPE_NONE)) set_cell(data, TYPE_LOGIC, 1);
    else if (data->is(TYPE_LOGIC)) set_cell(data, TYPE_LOGIC, data->data1 ? 0 : 1);
    else set_cell(data, TYPE_LOGIC, 0);
    uint32_t id = w->id;
    w->update(w);
    if (widget_of(id) != w) return;
    mark_redraw(w);
    send(w, kEvChange, 0);
}

static void check_event(int32_t type, EventRecord* ev) { toggle_event(type, ev, false); }
static void radio_event(int32_t type, EventRecord* ev) { toggle_event(type, ev, true); }

// ---- Text list ----

static int32_t item_count(const Cell* data) {
    if (!data) return 0;
    if (data->is(TYPE_BLOCK) || data->is(TYPE_HASH)) {
        int32_t n = static_cast<int32_t>(data->buffer()->length()) - data->index();
        return n > 0 ? n : 0;
    }
    if (data->is(TYPE_MAP)) return map::count(data);
    return 0;
}

static void text_list_event(int32_t type, EventRecord* ev) {
    Widget* w = ev->widget;
    uint32_t id = w->id;
    if (type == kEvFocus) {
        w->update(w);
        if (widget_of(id) == w) mark_redraw(w);
        return;
    }
    Cell* sel = facet(&w->face, kFSelected);
    if (!sel) return;
    int32_t old = sel->is(TYPE_INTEGER) ? int_of(sel) : 0;
    int32_t now = old;
    int32_t height = to_cells(w->y2 - w->y1);
    if (type == kEvKey && ev->key == -20) {
        if (now > 1) now--;
        // In 64 bits: a selection at the bottom of the range stays there.
        if (int64_t(now) - 1 < w->scroll && w->scroll > 0) w->scroll--;
    } else if (type == kEvKey && ev->key == -21) {
        if (now < item_count(facet(&w->face, kFData))) now++;
        // In 64 bits: a selection set near the top of the range and a height made negative
        // by the face's size must not overflow.
        if (int64_t(w->scroll) < int64_t(now) - height) w->scroll++;
    } else if (type == kEvClick) {
        int64_t picked = int64_t(w->scroll) + to_cells(ev->y) + 1;
        now = picked > INT32_MAX ? INT32_MAX : picked < INT32_MIN ? INT32_MIN : static_cast<int32_t>(picked);
        if (!sel->is(TYPE_INTEGER)) set_cell(sel, TYPE_INTEGER, static_cast<uint32_t>(old));
    } else {
        return;
    }
    if (now == old) return;
    // Down in a list with nothing selected selects its first item, as a click would.
    if (!sel->is(TYPE_INTEGER)) set_cell(sel, TYPE_INTEGER, static_cast<uint32_t>(old));
    bool done = send(w, kEvSelect, now);
    if (widget_of(id) != w) return;
    const Cell* state_facet = facet(&w->face, kFState);
    sel = facet(&w->face, kFSelected);
    if (!state_facet || !state_facet->is(TYPE_BLOCK) || !sel || !sel->is(TYPE_INTEGER) || int_of(sel) != old) return;
    set_cell(sel, TYPE_INTEGER, static_cast<uint32_t>(now));
    w->update(w);
    if (widget_of(id) != w) return;
    mark_redraw(w);
    if (!done) send(w, kEvChange, now);
}

// ---- Group box ----

static void render_group_box(int32_t x, int32_t y, Widget* w) {
    generic_render(x, y, w, kRenderNoFaceText);
    Clip clip = widget_clip(x, y, w);
    if (clip.empty()) return;
    static const int32_t s_corners = sym("border-corners"), s_round = sym("round"), s_colour = sym("border-color");
    const Cell* corners = option(&w->face, s_corners);
    bool round = corners && types::word_like(corners->type()) && same(corners->i2(), s_round);
    Pen pen = face_pen(&w->face);
    Pen frame = pen;
    if (const Cell* c = option(&w->face, s_colour); c && c->is(TYPE_TUPLE)) frame.fg = rgb_to_256(tuple_to_rgb(c));
    int32_t x2 = x + to_cells(w->x2 - w->x1) - 1, y2 = y + to_cells(w->y2 - w->y1) - 1;
    auto plot = [&](int32_t cx, int32_t cy, uint32_t cp) {
        if (cx < clip.x1 || cx >= clip.x2 || cy < clip.y1 || cy >= clip.y2) return;
        TermCell& cell = state.buffer.cells[size_t(cy) * size_t(state.buffer.width) + size_t(cx)];
        cell.cp = cp;
        cell.fg = frame.fg;
        cell.flags = 0;
    };
    for (int32_t c = x + 1; c < x2; c++) {
        plot(c, y, 0x2500);
        plot(c, y2, 0x2500);
    }
    for (int32_t r = y + 1; r < y2; r++) {
        plot(x, r, 0x2502);
        plot(x2, r, 0x2502);
    }
    plot(x, y, round ? 0x256D : 0x250C);
    plot(x2, y, round ? 0x256E : 0x2510);
    plot(x, y2, round ? 0x2570 : 0x2514);
    plot(x2, y2, round ? 0x256F : 0x2518);
    const Cell* title = facet(&w->face, kFText);
    if (title && title->is(TYPE_STRING)) {
        Clip row = clip;
        if (row.y2 > y + 1) row.y2 = y + 1;
        if (row.x2 > x2) row.x2 = x2;  // the title stops before the right corner
        if (!row.empty()) draw_text(text_view(title), x + 1, y, row, pen, false, true);
    }
}

// ---- Rich text ----

static void update_rich_text(Widget* w) { apply_rich_text(w); }

static void render_rich_text(int32_t x, int32_t y, Widget* w) {
    apply_rich_text(w);
    generic_render(x, y, w, 0);
}

// ---- Set-up ----

void setup_kind(Widget* w) {
    w->render = default_render;
    w->update = nullptr;
    w->event = nullptr;
    static const int32_t s_window = sym("window"), s_base = sym("base"), s_button = sym("button"),
                         s_field = sym("field"), s_progress = sym("progress"), s_check = sym("check"),
                         s_radio = sym("radio"), s_text_list = sym("text-list"), s_group_box = sym("group-box"),
                         s_rich_text = sym("rich-text");
    int32_t t = w->type;
    if (same(t, s_window)) {
        setup_window(w);
    } else if (same(t, s_base)) {
        if (scan_caret(w, to_cells(w->x1), to_cells(w->y1), true)) w->flags |= kCaretPlaceholder;
        w->render = render_base;
    } else if (same(t, s_button)) {
        w->render = render_button;
        w->event = button_event;
    } else if (same(t, s_field)) {
        w->flags |= kShowsCaret;
        w->caret = new CaretRecord;
        place_caret(w, to_cells(w->x2 - w->x1));
        w->render = render_field;
        w->event = field_event;
    } else if (same(t, s_progress)) {
        w->update = update_progress;
        w->render = [](int32_t x, int32_t y, Widget* v) { generic_render(x, y, v, 0); };
        update_progress(w);
    } else if (same(t, s_check) || same(t, s_radio)) {
        bool radio = same(t, s_radio);
        w->update = radio ? update_radio : update_check;
        w->render = render_check;
        w->event = radio ? radio_event : check_event;
        w->update(w);
    } else if (same(t, s_text_list)) {
        w->scroll = 0;
        w->update = update_text_list;
        w->event = text_list_event;
        update_text_list(w);
    } else if (same(t, s_group_box)) {
        w->render = render_group_box;
    } else if (same(t, s_rich_text)) {
        w->update = update_rich_text;
        w->render = render_rich_text;
        apply_rich_text(w);
    }
}

void release_kind(Widget* w) {
    delete w->caret;
    w->caret = nullptr;
    delete w->styled;
    w->styled = nullptr;
    delete w->image;
    w->image = nullptr;
}

}  // namespace tui
