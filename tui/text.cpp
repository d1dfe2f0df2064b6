// Text metrics in cells, for alignment, size-text and a rich-text face's caret and offset
// conversions.
#include "tui/text.h"

#include "datatypes/datatype.h"
#include "datatypes/float.h"
#include "datatypes/pair.h"
#include "datatypes/point.h"
#include "datatypes/symbol.h"
#include "evaluator/natives.h"
#include "runtime/fire.h"
#include "runtime/stack.h"
#include "runtime/unicode.h"

namespace tui {

Extent text_extent(const TextView& t, int32_t wrap, SkipEscape skip) {
    int64_t widest = 0, line = 0;
    int32_t lines = 1;
    for (int32_t i = 0; i < t.length; i++) {
        uint32_t cp = t.at(i);
        if (cp == 27 && skip) {
            i = skip(t, i);
            continue;
        }
        if (cp == '\n') {
            if (line > widest) widest = line;
            line = 0;
            lines++;
            continue;
        }
        int w = unicode::char_width(cp);
        if (line + w > wrap) {
            if (w > wrap) break;
            if (line > widest) widest = line;
            line = 0;
            lines++;
        }
        line += w;
    }
    if (line > widest) widest = line;
    Extent e;
    e.width = widest > INT32_MAX ? INT32_MAX : static_cast<int32_t>(widest);
    e.lines = lines;
    return e;
}


static int32_t whole(float f) {
    if (!(f > -2147483520.0f)) return f != f ? 0 : INT32_MIN;
    if (f >= 2147483520.0f) return kNoWrap;
    return static_cast<int32_t>(f);
}

void wrap_size(const Cell* face, int32_t* width, int32_t* height) {
    const Cell* size = facet(face, kFSize);
    *width = *height = kNoWrap;
    if (!size) return;
    if (size->is(TYPE_PAIR)) {
        *width = pair::x_of(size);
        *height = pair::y_of(size);
    } else if (size->is(TYPE_POINT2D)) {
        *width = whole(point2D::coord(size, 0));
        *height = whole(point2D::coord(size, 1));
    }
}

// The position of the index-th character (1-based) walking the text: where it begins, and the
// column after it with its line. An index past the end gives the end of the text.
struct CaretWalk {
    int64_t begin_col = 0, begin_line = 0, after_col = 0, after_line = 0;
};

static CaretWalk caret_walk(const TextView& t, int64_t index, int32_t wrap) {
    CaretWalk r;
    int64_t col = 0, line = 0;
    int64_t n = index < t.length ? index : t.length;
    int64_t k = 0;
    for (; k < n; k++) {
        uint32_t cp = t.at(static_cast<int32_t>(k));
        if (cp == '\n') {
            r.begin_col = r.after_col = col;
            r.begin_line = r.after_line = line;
            line++;
            col = 0;
            continue;
        }
        int w = unicode::char_width(cp);
        if (col + w > wrap) {
            if (w > wrap) break;
            line++;
            col = 0;
        }
        r.begin_col = col;
        r.begin_line = line;
        col += w;
        r.after_col = col;
        r.after_line = line;
    }
    if (index > k || index <= 0) {  // past the end (or before the start): where the text ends
        r.begin_col = r.after_col = index <= 0 ? 0 : col;
        r.begin_line = r.after_line = index <= 0 ? 0 : line;
    }
    return r;
}

// The 1-based index of the character at column x of line y; beyond tells that the point lies
// past the end of the text.
static int64_t index_at(const TextView& t, int64_t x, int64_t y, int32_t wrap, bool* beyond) {
    if (x < 0) x = 0;
    if (y < 0) y = 0;
    int64_t col = 0, line = 0;
    int32_t k = 0;
    while (line < y && k < t.length) {
        uint32_t cp = t.at(k);
        if (cp == '\n') {
            line++;
            col = 0;
            k++;
            continue;
        }
        int w = unicode::char_width(cp);
        if (col + w > wrap) {
            if (w > wrap) break;
            line++;
            col = 0;
            continue;
        }
        col += w;
        k++;
        if (col == wrap) {
            line++;
            col = 0;
        }
    }
    while (line == y && k < t.length && col < x) {
        uint32_t cp = t.at(k);
        int w = unicode::char_width(cp);
        if (cp == '\n' || col + w > wrap) break;
        col += w;
        k++;
    }
    *beyond = k >= t.length && (line < y || col < x);
    return k + 1;
}

static void point_of(const Cell* arg, int64_t* x, int64_t* y) {
    if (arg->is(TYPE_PAIR)) {
        *x = pair::x_of(arg);
        *y = pair::y_of(arg);
    } else {
        *x = whole(point2D::coord(arg, 0));
        *y = whole(point2D::coord(arg, 1));
    }
}

static float as_float(int64_t v) { return static_cast<float>(v); }

// size-text: face [object!] value [any-type!]
static void size_text() {
    Cell* face = stack::arguments;
    Cell* value = stack::arguments + 1;
    const Cell* text;
    if (value->is(TYPE_STRING)) {
        text = value;
    } else if (value->is(TYPE_NONE)) {
        text = facet(face, kFText);
    } else {
        Cell type;
        datatype::make_at(&type, value->type());
        fire(err::script::invalid_type, &type);
    }
    if (!text || !text->is(TYPE_STRING)) {
        set_cell(stack::arguments, TYPE_NONE);
    } else {
        Extent e = gui::get_text_size(text);
        point2D::make_at(stack::arguments, float(e.width), float(e.lines));
    }
    stack::keep();
}

// text-box-metrics: box [object!] arg0 [any-type!] type [integer!]
static void text_box_metrics() {
    Cell* face = stack::arguments;
    static const int32_t s_rich = symbol::make("rich-text");
    const Cell* type = facet(face, kFType);
    if (!type || !types::word_like(type->type()) || symbol::resolve(type->i2()) != symbol::resolve(s_rich)) {
        Cell word = type ? *type : Cell{TYPE_NONE, 0, 0, 0};
        fire(err::script::face_type, &word);
    }
    const Cell* text = facet(face, kFText);
    Cell result;
    if (!text || !text->is(TYPE_STRING)) set_cell(&result, TYPE_NONE);
    else gui::OS_text_box_metrics(face, stack::arguments + 1, int_of(stack::arguments + 2), &result);
    *stack::arguments = result;
    stack::keep();
}

void register_text_routines() {
    routines::register_("gui-size-text", size_text);
    routines::register_("gui-text-box-metrics", text_box_metrics);
}

}  // namespace tui

namespace gui {

using namespace tui;

tui::Extent get_text_size(const Cell* text) { return text_extent(text_view(text), kNoWrap); }

void OS_text_box_metrics(const Cell* face, const Cell* arg, int32_t code, Cell* out) {
    TextView t = text_view(facet(face, kFText));
    int32_t wrap, height;
    wrap_size(face, &wrap, &height);
    switch (code) {
        case kCaretAt:
        case kCaretAfter: {
            if (!arg->is(TYPE_INTEGER)) fire(err::script::invalid_arg, arg);
            CaretWalk r = caret_walk(t, int_of(arg), wrap);
            if (code == kCaretAt) point2D::make_at(out, as_float(r.begin_col), as_float(r.begin_line));
            else point2D::make_at(out, as_float(r.after_col), as_float(r.after_line + 1));
            return;
        }
        case kIndexAt:
        case kIndexAtLast: {
            if (!arg->is(TYPE_PAIR) && !arg->is(TYPE_POINT2D)) fire(err::script::invalid_arg, arg);
            int64_t x, y;
            point_of(arg, &x, &y);
            bool beyond;
            int64_t i = index_at(t, x, y, wrap, &beyond);
            if (code == kIndexAtLast && beyond && i > 1) i--;
            set_cell(out, TYPE_INTEGER, static_cast<uint32_t>(static_cast<int32_t>(i)));
            return;
        }
        case kLineHeight: float_::make_at(out, 1.0); return;
        case kTextSize: {
            Extent e = text_extent(t, wrap);
            point2D::make_at(out, float(e.width), float(e.lines));
            return;
        }
        case kLineCount: set_cell(out, TYPE_INTEGER, static_cast<uint32_t>(text_extent(t, wrap).lines)); return;
        default: set_cell(out, TYPE_NONE); return;
    }
}

}  // namespace gui
