#include "tui/draw_cells.h"

#include <algorithm>
#include <memory>
#include <utility>

#include "datatypes/context.h"
#include "datatypes/symbol.h"
#include "runtime/collector.h"
#include "tui/render.h"
#include "tui/rich_text.h"

namespace tui {

namespace {

constexpr uint32_t kFullBlock = 0x2588;
constexpr uint32_t kHorizontal = 0x2500, kVertical = 0x2502;
constexpr uint32_t kTopLeft = 0x250C, kTopRight = 0x2510, kBottomLeft = 0x2514, kBottomRight = 0x2518;
// Radii beyond any terminal's size; the cap keeps the error terms of the ellipse in 64 bits.
constexpr int64_t kMaxRadius = 32767;


// The clip cut to the grid: cells (x, y) with x1 <= x < x2 and y1 <= y < y2 may be painted.
struct Area {
    int64_t x1, y1, x2, y2;
    bool empty() const { return x1 >= x2 || y1 >= y2; }
    bool holds(int64_t x, int64_t y) const { return x >= x1 && x < x2 && y >= y1 && y < y2; }
};

Area area_of(const DrawContext* ctx) {
    const CellGrid* g = ctx->grid;
    if (!g) return {0, 0, 0, 0};
    return {std::max<int64_t>(ctx->clip_x1, 0), std::max<int64_t>(ctx->clip_y1, 0),
            std::min<int64_t>(ctx->clip_x2, g->width), std::min<int64_t>(ctx->clip_y2, g->height)};
}

TermCell& cell_at(DrawContext* ctx, int64_t x, int64_t y) {
    return ctx->grid->cells[static_cast<size_t>(y * ctx->grid->width + x)];
}

void paint_blank(DrawContext* ctx, int64_t x, int64_t y) {
    TermCell& c = cell_at(ctx, x, y);
    c.cp = 0;
    c.bg = ctx->fill;
    // No longer the right half of a wide character: the frame writes this cell itself.
    c.flags &= ~uint32_t(kWideTail);
}

void paint_char(DrawContext* ctx, int64_t x, int64_t y, uint32_t cp) {
    TermCell& c = cell_at(ctx, x, y);
    c.cp = cp;
    c.fg = ctx->pen;
    c.flags &= ~uint32_t(kWideTail);
}

// A row of blank fill cells from x1 to x2, both included (none when x1 > x2), cut to the area.
void fill_span(DrawContext* ctx, const Area& a, int64_t y, int64_t x1, int64_t x2) {
    if (y < a.y1 || y >= a.y2) return;
    x1 = std::max(x1, a.x1);
    x2 = std::min(x2, a.x2 - 1);
    for (int64_t x = x1; x <= x2; x++) paint_blank(ctx, x, y);
}

// Bresenham's line in grid coordinates. It ends at the first point that leaves the grid; points
// inside the grid but outside the clip are passed over, so a face's drawing stays in the face.
void segment(DrawContext* ctx, const Area& a, int64_t x0, int64_t y0, int64_t x1, int64_t y1) {
    const CellGrid* g = ctx->grid;
    int64_t dx = x1 > x0 ? x1 - x0 : x0 - x1;
    int64_t dy = y1 > y0 ? y1 - y0 : y0 - y1;
    int64_t sx = x0 < x1 ? 1 : -1, sy = y0 < y1 ? 1 : -1;
    int64_t err = dx - dy;
    for (;;) {
        if (x0 < 0 || y0 < 0 || x0 >= g->width || y0 >= g->height) return;
        if (a.holds(x0, y0)) paint_char(ctx, x0, y0, kFullBlock);
        if (x0 == x1 && y0 == y1) return;
        int64_t e2 = 2 * err;
        if (e2 > -dy) {
            err -= dy;
            x0 += sx;
        }
        if (e2 < dx) {
            err += dx;
            y0 += sy;
        }
    }
}

// x of the edge from (xa, ya) to (xb, yb) at row y (between ya and yb), interpolated in integers.
// Both differences span up to 2^32 for points at the ends of the int32 range, so their product
// takes 128 bits; the quotient is no farther from xa than xb is.
int64_t edge_x(int64_t xa, int64_t ya, int64_t xb, int64_t yb, int64_t y) {
    if (yb == ya) return xa;
    return xa + static_cast<int64_t>(static_cast<__int128>(xb - xa) * (y - ya) / (yb - ya));
}

}  // namespace

void draw_begin(DrawContext* ctx, CellGrid* grid) {
    *ctx = DrawContext{};
    ctx->grid = grid;
    if (grid) {
        ctx->clip_x2 = grid->width;
        ctx->clip_y2 = grid->height;
    }
    ctx->style = kRenderEscapes;
}

void draw_begin_at(DrawContext* ctx, CellGrid* grid, int32_t origin_x, int32_t origin_y, int32_t clip_x1,
                   int32_t clip_y1, int32_t clip_x2, int32_t clip_y2, uint32_t render_flags) {
    *ctx = DrawContext{};
    ctx->grid = grid;
    ctx->origin_x = origin_x;
    ctx->origin_y = origin_y;
    ctx->clip_x1 = clip_x1;
    ctx->clip_y1 = clip_y1;
    ctx->clip_x2 = clip_x2;
    ctx->clip_y2 = clip_y2;
    ctx->style = render_flags | kRenderEscapes;
}

void draw_pen(DrawContext* ctx, bool off, uint32_t rgba) {
    if (off) {
        ctx->pen_on = false;
        return;
    }
    ctx->pen = rgb_to_256(rgba);
    if (!ctx->text_colour_set) ctx->text_colour = ctx->pen;
    ctx->pen_on = true;
}

void draw_fill_pen(DrawContext* ctx, bool off, uint32_t rgba) {
    if (off) {
        ctx->fill_on = false;
        return;
    }
    ctx->fill = rgb_to_256(rgba);
    ctx->fill_on = true;
}

void draw_font(DrawContext* ctx, const Cell* font) {
    static const int32_t color = symbol::make("color");
    const Cell* c = font->type() == TYPE_OBJECT ? context::value_of_symbol(color, font->data1) : nullptr;
    if (c && c->type() == TYPE_TUPLE) {
        ctx->text_colour = rgb_to_256(tuple_to_rgb(c));
        ctx->text_colour_set = true;
    } else {
        ctx->text_colour_set = false;
    }
}

void draw_line(DrawContext* ctx, int32_t x0, int32_t y0, int32_t x1, int32_t y1) {
    Area a = area_of(ctx);
    if (a.empty()) return;
    segment(ctx, a, int64_t(x0) + ctx->origin_x, int64_t(y0) + ctx->origin_y, int64_t(x1) + ctx->origin_x,
            int64_t(y1) + ctx->origin_y);
}

void draw_box(DrawContext* ctx, int32_t x1_, int32_t y1_, int32_t x2_, int32_t y2_) {
    Area a = area_of(ctx);
    if (a.empty()) return;
    int64_t x1 = std::min(x1_, x2_) + int64_t(ctx->origin_x), x2 = std::max(x1_, x2_) + int64_t(ctx->origin_x);
    int64_t y1 = std::min(y1_, y2_) + int64_t(ctx->origin_y), y2 = std::max(y1_, y2_) + int64_t(ctx->origin_y);
    int64_t from_x = std::max(x1, a.x1), to_x = std::min(x2, a.x2 - 1);
    int64_t from_y = std::max(y1, a.y1), to_y = std::min(y2, a.y2 - 1);
    for (int64_t y = from_y; y <= to_y; y++) {
        for (int64_t x = from_x; x <= to_x; x++) {
            if (ctx->fill_on) paint_blank(ctx, x, y);
            if (!ctx->pen_on) continue;
            // The border is the box's own, not the edge where the clip cuts it.
            bool left = x == x1, right = x == x2, top = y == y1, bottom = y == y2;
            uint32_t cp = top && left       ? kTopLeft
                          : top && right    ? kTopRight
                          : bottom && left  ? kBottomLeft
                          : bottom && right ? kBottomRight
                          : left || right   ? kVertical
                          : top || bottom   ? kHorizontal
                                            : 0;
            if (cp) paint_char(ctx, x, y, cp);
        }
    }
}

void draw_triangle(DrawContext* ctx, int32_t x0, int32_t y0, int32_t x1, int32_t y1, int32_t x2, int32_t y2) {
    Area a = area_of(ctx);
    if (a.empty()) return;
    std::pair<int64_t, int64_t> p[3] = {{int64_t(y0) + ctx->origin_y, int64_t(x0) + ctx->origin_x},
                                        {int64_t(y1) + ctx->origin_y, int64_t(x1) + ctx->origin_x},
                                        {int64_t(y2) + ctx->origin_y, int64_t(x2) + ctx->origin_x}};
    std::sort(p, p + 3);  // by y
    auto [ty, tx] = p[0];
    auto [my, mx] = p[1];
    auto [by, bx] = p[2];
    if (ctx->fill_on) {
        for (int64_t y = std::max(ty, a.y1); y <= std::min(by, a.y2 - 1); y++) {
            int64_t long_x = edge_x(tx, ty, bx, by, y);
            int64_t short_x = y < my ? edge_x(tx, ty, mx, my, y) : edge_x(mx, my, bx, by, y);
            if (ty == by)  // all on one row
                fill_span(ctx, a, y, std::min({tx, mx, bx}), std::max({tx, mx, bx}));
            else
                fill_span(ctx, a, y, std::min(long_x, short_x), std::max(long_x, short_x));
        }
    }
    if (ctx->pen_on) {
        segment(ctx, a, tx, ty, mx, my);
        segment(ctx, a, mx, my, bx, by);
        segment(ctx, a, bx, by, tx, ty);
    }
}

void draw_circle(DrawContext* ctx, int32_t cx, int32_t cy, int32_t radius) {
    if (radius > 0) draw_ellipse(ctx, cx, cy, static_cast<int32_t>(std::min<int64_t>(2 * int64_t(radius), kMaxRadius)), radius);
}

void draw_ellipse_box(DrawContext* ctx, int32_t x, int32_t y, double width, double height) {
    if (!(width >= 1) || !(height >= 1)) return;
    int32_t rx = static_cast<int32_t>(std::min<double>((width + 0.5) / 2, kMaxRadius));
    int32_t ry = static_cast<int32_t>(std::min<double>((height + 0.5) / 2, kMaxRadius));
    draw_ellipse(ctx, static_cast<int32_t>(std::clamp<int64_t>(int64_t(x) + rx, INT32_MIN, INT32_MAX)),
                 static_cast<int32_t>(std::clamp<int64_t>(int64_t(y) + ry, INT32_MIN, INT32_MAX)), rx, ry);
}

static bool rich_text_face(const Cell* face) {
    static const int32_t s_rich = symbol::make("rich-text");
    const Cell* type = facet(face, kFType);
    return type && types::word_like(type->type()) && symbol::resolve(type->i2()) == symbol::resolve(s_rich);
}

bool draw_text_at(DrawContext* ctx, int32_t x, int32_t y, const Cell* value) {
    Cell v = *value;
    collector::Root keep(&v);
    Widget temporary;
    std::unique_ptr<CellGrid> styled;
    const CellGrid* cells = nullptr;
    if (v.type() == TYPE_OBJECT) {
        const Cell* text = facet(&v, kFText);
        if (!text || text->type() != TYPE_STRING) return false;
        Widget* w = face_widget(&v);
        if (!w || !w->styled) {
            // A face not shown (or shown as no rich text) gets its styled cells for this drawing.
            temporary.face = v;
            collector::Root keep_face(&temporary.face);
            // Owned here before the styling, which raises on a bad style block.
            styled = std::make_unique<CellGrid>();
            temporary.styled = styled.get();
            apply_rich_text(&temporary, rich_text_face(&v));
            temporary.styled = nullptr;
            w = &temporary;
            cells = styled.get();
        } else {
            cells = w->styled;
        }
    } else if (v.type() != TYPE_STRING) {
        return false;
    }
    if (!ctx->grid) return true;
    bool wrap = !cells || (para_style(&v) & kWrap);  // a face wraps as its para says
    Clip clip{static_cast<int32_t>(std::max(ctx->clip_x1, 0)), static_cast<int32_t>(std::max(ctx->clip_y1, 0)),
              std::min(ctx->clip_x2, ctx->grid->width), std::min(ctx->clip_y2, ctx->grid->height)};
    if (clip.empty()) return true;
    int32_t at_x = static_cast<int32_t>(std::clamp<int64_t>(int64_t(x) + ctx->origin_x, INT32_MIN / 2, INT32_MAX / 2));
    int32_t at_y = static_cast<int32_t>(std::clamp<int64_t>(int64_t(y) + ctx->origin_y, INT32_MIN / 2, INT32_MAX / 2));
    // The renderer's text drawing paints the frame buffer: lend it the grid for the call.
    std::swap(state.buffer, *ctx->grid);
    if (cells) {
        draw_styled(*cells, at_x, at_y, clip, wrap);
    } else {
        Pen pen;
        pen.fg = ctx->text_colour_set ? ctx->text_colour : ctx->pen_on ? ctx->pen : 0;
        pen.flags = ctx->style & (kReverse | kPassword);
        draw_text(text_view(&v), at_x, at_y, clip, pen, true, ctx->style & kRenderEscapes);
    }
    std::swap(state.buffer, *ctx->grid);
    return true;
}

void draw_ellipse(DrawContext* ctx, int32_t cx_, int32_t cy_, int32_t rx, int32_t ry) {
    Area a = area_of(ctx);
    if (a.empty() || rx < 0 || ry < 0) return;
    int64_t ra = std::min<int64_t>(rx, kMaxRadius), rb = std::min<int64_t>(ry, kMaxRadius);
    int64_t cx = int64_t(cx_) + ctx->origin_x, cy = int64_t(cy_) + ctx->origin_y;
    // Nothing of an ellipse outside the clip shows; skipping it also bounds the work.
    if (cx + ra < a.x1 || cx - ra >= a.x2 || cy + rb < a.y1 || cy - rb >= a.y2) return;
    auto plot = [&](int64_t x, int64_t y) {
        if (a.holds(x, y)) paint_char(ctx, x, y, kFullBlock);
    };
    // Four quadrants from the left end up to the top; the fill of a step's two rows goes first,
    // so that the outline stays on top where later steps of a flat end share a row.
    auto step = [&](int64_t x, int64_t y) {  // x <= 0
        if (ctx->fill_on) {
            fill_span(ctx, a, cy + y, cx + x + 1, cx - x - 1);
            if (y) fill_span(ctx, a, cy - y, cx + x + 1, cx - x - 1);
        }
        if (ctx->pen_on) {
            plot(cx - x, cy + y);
            plot(cx + x, cy + y);
            plot(cx + x, cy - y);
            plot(cx - x, cy - y);
        }
    };
    int64_t x = -ra, y = 0;
    int64_t a2 = ra * ra, b2 = rb * rb;
    int64_t err = x * (2 * b2 + x) + b2;
    do {
        step(x, y);
        int64_t e2 = 2 * err;
        if (e2 >= (x * 2 + 1) * b2) err += (++x * 2 + 1) * b2;
        if (e2 <= (y * 2 + 1) * a2) err += (++y * 2 + 1) * a2;
    } while (x <= 0);
    // A flat ellipse reaches x = 0 before its top: finish the tips.
    while (y++ < rb) step(0, y);
}

}  // namespace tui
