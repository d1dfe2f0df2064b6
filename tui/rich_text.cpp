// Style runs of rich-text faces. The data block comes from the rich-text dialect: a pair sets the
// range (1-based start by length, in characters), the values after it style that range.
#include "tui/rich_text.h"

#include "datatypes/pair.h"
#include "datatypes/symbol.h"
#include "datatypes/tuple.h"
#include "datatypes/word.h"
#include "runtime/fire.h"
#include "tui/render.h"

namespace tui {

bool view_silent() {
    static const int32_t s_view = symbol::make("view"), s_silent = symbol::make("silent?");
    Cell w;
    word::load(&w, "system");
    const Cell* system = word::peek(&w);
    const Cell* view = field(system, s_view);
    const Cell* silent = field(view, s_silent);
    return silent && silent->is(TYPE_LOGIC) && silent->data1;
}

static bool is(const Cell* v, int32_t symbol) {
    return types::word_like(v->type()) && symbol::resolve(v->i2()) == symbol::resolve(symbol);
}

// Stops the walk at the value at offset i of the block: draw-invalid, or quietly when silent.
static bool invalid(const Cell* data, int32_t i) {
    if (view_silent()) return false;
    Cell at = *data;
    at.set_index(data->index() + i);
    fire(err::script::draw_invalid, &at);
}

void apply_style_runs(CellGrid& cells, const Cell* data) {
    if (!data->is(TYPE_BLOCK)) return;
    static const int32_t s_backdrop = symbol::make("backdrop"), s_bold = symbol::make("bold"),
                         s_italic = symbol::make("italic"), s_underline = symbol::make("underline"),
                         s_strike = symbol::make("strike"), s_border = symbol::make("border");
    const int64_t count = static_cast<int64_t>(cells.cells.size());
    int64_t start = 0, length = 0;
    // The block is read through its node each step: fire() may run code, nothing else allocates.
    auto values = [&]() { return cells_head(data->buffer()) + data->index(); };
    int32_t n = static_cast<int32_t>(data->buffer()->length()) - data->index();
    auto each = [&](auto fn) {
        int64_t end = start + length > count ? count : start + length;
        for (int64_t k = start < 0 ? 0 : start; k < end; k++) fn(cells.cells[size_t(k)]);
    };
    for (int32_t i = 0; i < n; i++) {
        const Cell* v = values() + i;
        switch (v->type()) {
            case TYPE_PAIR:
                start = int64_t(pair::x_of(v)) - 1;
                length = pair::y_of(v);
                if (start < 0) start = 0;
                if (length < 0) length = 0;
                if (start + length > count) length = count > start ? count - start : 0;
                break;
            case TYPE_TUPLE: {
                uint32_t fg = rgb_to_256(tuple_to_rgb(v));
                each([&](TermCell& c) { c.fg = fg; });
                break;
            }
            case TYPE_STRING:  // a font name
            case TYPE_INTEGER:
            case TYPE_FLOAT:  // a font size
                break;
            case TYPE_WORD:
            case TYPE_LIT_WORD:
            case TYPE_GET_WORD:
            case TYPE_SET_WORD:
                if (is(v, s_backdrop)) {
                    const Cell* c = i + 1 < n ? values() + i + 1 : nullptr;
                    if (c && c->is(TYPE_WORD)) c = word::peek(c);
                    if (!c || !c->is(TYPE_TUPLE)) {
                        if (!invalid(data, i + 1)) return;
                    }
                    uint32_t bg = rgb_to_256(tuple_to_rgb(c));
                    each([&](TermCell& cell) { cell.bg = bg; });
                    i++;
                } else if (is(v, s_bold)) {
                    each([](TermCell& c) { c.flags |= kBold; });
                } else if (is(v, s_italic)) {
                    each([](TermCell& c) { c.flags |= kItalic; });
                } else if (is(v, s_underline) || is(v, s_strike) || is(v, s_border)) {
                    uint32_t flag = is(v, s_underline) ? uint32_t(kUnderline) : is(v, s_strike) ? uint32_t(kStrike) : 0u;
                    each([&](TermCell& c) { c.flags |= flag; });
                    // An optional line colour and style: taken, not shown on a terminal.
                    if (i + 1 < n && values()[i + 1].is(TYPE_TUPLE)) i++;
                    if (i + 1 < n && values()[i + 1].is(TYPE_LIT_WORD)) i++;
                } else if (!invalid(data, i)) {
                    return;
                }
                break;
            default:
                if (!invalid(data, i)) return;
        }
    }
}

void apply_rich_text(Widget* w, bool styles) {
    const Cell* text = facet(&w->face, kFText);
    TextView t = text_view(text);
    if (!w->styled) w->styled = new CellGrid;
    CellGrid& g = *w->styled;
    uint32_t bg = 0;
    if (const Cell* color = facet(&w->face, kFColor); color && color->is(TYPE_TUPLE)) bg = rgb_to_256(tuple_to_rgb(color));
    g.width = t.length;
    g.height = 1;
    g.cells.resize(size_t(t.length));
    for (int32_t i = 0; i < t.length; i++) g.cells[size_t(i)] = TermCell{t.at(i), bg, 0, 0};
    const Cell* data = facet(&w->face, kFData);
    if (styles && data && data->is(TYPE_BLOCK)) {
        Cell block = *data;
        apply_style_runs(g, &block);
    }
}

}  // namespace tui
