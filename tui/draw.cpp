#include "tui/draw.h"

#include <cmath>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/error.h"
#include "datatypes/image.h"
#include "datatypes/ownership.h"
#include "datatypes/pair.h"
#include "datatypes/point.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "evaluator/natives.h"
#include "runtime/collector.h"
#include "runtime/cycles.h"
#include "runtime/fire.h"
#include "runtime/runtime.h"
#include "runtime/stack.h"
#include "tui/render.h"

namespace tui {

namespace {

// The dialect's words, as resolved (case-insensitive) symbols.
struct Words {
    int32_t line, line_width, box, triangle, pen, fill_pen, polygon, circle, anti_alias, font, text, ellipse,
        arc, curve, spline, line_join, line_cap, line_pattern, matrix, invert_matrix, reset_matrix, push, clip,
        replace, intersect, union_, xor_, exclude, rotate, scale, translate, skew, transform, shape, curv, hline,
        vline, move, qcurv, qcurve, sweep, large, close, off, closed, border, crop, repeat, reflect, linear,
        radial, diamond, pattern, bitmap, pad, tile, flip_x, flip_y, flip_xy, clamp, shadow, inset, image;
    int32_t system, view, silent_q;
};

int32_t sym(const char* name) { return symbol::resolve(symbol::make(name)); }

const Words& words() {
    static const Words w = {
        sym("line"), sym("line-width"), sym("box"), sym("triangle"), sym("pen"), sym("fill-pen"),
        sym("polygon"), sym("circle"), sym("anti-alias"), sym("font"), sym("text"), sym("ellipse"),
        sym("arc"), sym("curve"), sym("spline"), sym("line-join"), sym("line-cap"), sym("line-pattern"),
        sym("matrix"), sym("invert-matrix"), sym("reset-matrix"), sym("push"), sym("clip"), sym("replace"),
        sym("intersect"), sym("union"), sym("xor"), sym("exclude"), sym("rotate"), sym("scale"),
        sym("translate"), sym("skew"), sym("transform"), sym("shape"), sym("curv"), sym("hline"),
        sym("vline"), sym("move"), sym("qcurv"), sym("qcurve"), sym("sweep"), sym("large"), sym("close"),
        sym("off"), sym("closed"), sym("border"), sym("crop"), sym("repeat"), sym("reflect"), sym("linear"),
        sym("radial"), sym("diamond"), sym("pattern"), sym("bitmap"), sym("pad"), sym("tile"), sym("flip-x"),
        sym("flip-y"), sym("flip-xy"), sym("clamp"), sym("shadow"), sym("inset"), sym("image"),
        sym("system"), sym("view"), sym("silent?"),
    };
    return w;
}

bool silent_q() {
    const Words& w = words();
    const Cell* system = context::value_of_symbol(w.system, context::global_node);
    if (!system || system->type() != TYPE_OBJECT) return false;
    const Cell* view = context::value_of_symbol(w.view, system->data1);
    if (!view || view->type() != TYPE_OBJECT) return false;
    const Cell* silent = context::value_of_symbol(w.silent_q, view->data1);
    return silent && silent->type() == TYPE_LOGIC && silent->data1 != 0;
}

// Coordinates far beyond any screen are held here, so that no sum with an origin overflows.
constexpr double kCoordLimit = 1 << 30;

int32_t to_coord(double v) {
    if (std::isnan(v)) return 0;
    if (v > kCoordLimit) return static_cast<int32_t>(kCoordLimit);
    if (v < -kCoordLimit) return static_cast<int32_t>(-kCoordLimit);
    return static_cast<int32_t>(v);  // toward zero
}

struct Point {
    int32_t x, y;
    double fx, fy;  // as written (a size keeps its fraction)
};

// One command block being walked: its series, the head it was given at, and where the walk is.
class Walk {
public:
    Walk(DrawContext* ctx, bool catching, const Cell* block)
        : ctx_(ctx), catching_(catching), node_(block->node()), head_(block->index()) {}

    void run();

private:
    DrawContext* ctx_;
    bool catching_;
    Node node_;
    int32_t head_;

    // ---- Reading values (copies: nothing here holds a cell across an allocation) ----

    int32_t tail() const { return block::node_length(node_); }
    bool at(int32_t i, Cell* out) const {
        if (i < 0 || i >= tail()) return false;
        *out = *block::node_cell(node_, i);
        return true;
    }
    uint8_t type_at(int32_t i) const {
        Cell c{};
        return at(i, &c) ? c.type() : uint8_t(TYPE_NONE_ID);
    }
    // The resolved symbol of a word! at i, or -1.
    int32_t word_at(int32_t i, uint8_t type = TYPE_WORD) const {
        Cell c{};
        if (!at(i, &c) || c.type() != type) return -1;
        return symbol::resolve(static_cast<int32_t>(c.data2));
    }
    bool keyword(int32_t i, int32_t symbol) const { return word_at(i) == symbol; }
    bool point_at(int32_t i, Point* p = nullptr) const {
        Cell c{};
        if (!at(i, &c)) return false;
        if (c.type() == TYPE_PAIR) {
            if (p) *p = {pair::x_of(&c), pair::y_of(&c), double(pair::x_of(&c)), double(pair::y_of(&c))};
            return true;
        }
        if (c.type() == TYPE_POINT2D) {
            double x = point2D::coord(&c, 0), y = point2D::coord(&c, 1);
            if (p) *p = {to_coord(x), to_coord(y), x, y};
            return true;
        }
        return false;
    }
    bool number_at(int32_t i, double* n = nullptr) const {
        Cell c{};
        if (!at(i, &c)) return false;
        if (c.type() == TYPE_INTEGER) {
            if (n) *n = c.i1();
            return true;
        }
        if (c.type() == TYPE_FLOAT) {
            if (n) *n = c.f();
            return true;
        }
        return false;
    }
    bool integer_at(int32_t i) const { return type_at(i) == TYPE_INTEGER; }
    bool float_at(int32_t i) const { return type_at(i) == TYPE_FLOAT; }
    bool factor_at(int32_t i) const { return number_at(i) || type_at(i) == TYPE_PERCENT; }
    // A word's value, when it has one.
    bool word_value(int32_t i, Cell* out) const {
        Cell c{};
        if (!at(i, &c) || c.type() != TYPE_WORD) return false;
        const Cell* v = word::peek(&c);
        if (!v) return false;
        *out = *v;
        return true;
    }
    // A tuple, or a word whose value is a tuple.
    bool colour_at(int32_t i, uint32_t* rgba = nullptr) const {
        Cell c{};
        if (!at(i, &c)) return false;
        if (c.type() == TYPE_WORD && !word_value(i, &c)) return false;
        if (c.type() != TYPE_TUPLE) return false;
        if (rgba) *rgba = tuple_to_rgb(&c);
        return true;
    }
    // A value of a type, or a word whose value is of that type.
    bool valued_at(int32_t i, uint8_t type, Cell* out) const {
        if (!at(i, out)) return false;
        if (out->type() == TYPE_WORD && !word_value(i, out)) return false;
        return out->type() == type;
    }

    // ---- Checks: each answers the index of the value it read ----

    [[noreturn]] void fail(int32_t i, ErrorId id = err::script::draw_invalid) const;
    int32_t need_point(int32_t i, Point* p = nullptr) const {
        if (!point_at(i, p)) fail(i);
        return i;
    }
    int32_t need_number(int32_t i, double* n = nullptr) const {
        if (!number_at(i, n)) fail(i);
        return i;
    }
    // A run of at least `least` points from i; answers the last. A run too short fails at its
    // start.
    int32_t point_run(int32_t i, int32_t least = 1) const {
        int32_t last = i - 1;
        while (point_at(last + 1)) last++;
        if (last - i + 1 < least) fail(i);
        return last;
    }
    int32_t need_block(int32_t i) const {
        if (type_at(i) != TYPE_BLOCK) fail(i);
        return i;
    }

    // ---- Commands: i is the command word; each answers the last value used ----

    int32_t command(int32_t i);
    int32_t paint(int32_t i, bool fill);
    int32_t gradient(int32_t i, int32_t kind);
    int32_t colour_stops(int32_t i, int32_t* count) const;
    int32_t pattern(int32_t i);
    int32_t bitmap(int32_t i) const;
    int32_t line(int32_t i);
    int32_t text(int32_t i);
    int32_t image(int32_t i) const;
    int32_t shadow(int32_t i) const;
    int32_t clip(int32_t i);
    int32_t target(int32_t i) const;
    int32_t transformation(int32_t i, int32_t which);
    int32_t matrix(int32_t i) const;
    int32_t tile_mode(int32_t i) const;
    int32_t then_block(int32_t i);
    void nested(int32_t i);
    void check_only(int32_t i);
    void set_word(int32_t i) const;
    void shape(int32_t i, bool drawn);
    void shape_block(const Cell* block, bool drawn);
    int32_t shape_command(int32_t i, int32_t w);
};

void Walk::fail(int32_t i, ErrorId id) const {
    Cell where;
    if (id == err::script::draw_infinite)
        block::make_at(&where, node_, head_);
    else
        block::make_at(&where, node_, i < tail() ? i : tail());
    cycles::reset();
    if (silent_q()) runtime::throw_code(catching_ ? codes::error : 1);
    if (!catching_) fire(id, &where);
    Cell err;
    set_cell(&err, TYPE_NONE);
    collector::Root keep_where(&where);
    collector::Root keep(&err);
    error::create(&err, id, &where);
    error::print_uncaught(&err);
    runtime::throw_code(codes::error);
}

void Walk::run() {
    if (cycles::find_q(node_)) fail(head_, err::script::draw_infinite);
    cycles::Scope scope(node_);
    for (int32_t i = head_; i < tail(); i++) {
        Cell c{};
        at(i, &c);
        switch (c.type()) {
            case TYPE_WORD: i = command(i); break;
            case TYPE_SET_WORD: set_word(i); break;
            case TYPE_BLOCK: nested(i); break;
            default: fail(i);
        }
    }
}

// A set-word marks the place after it, so that a script can change the arguments there later.
void Walk::set_word(int32_t i) const {
    Cell w, place;
    at(i, &w);
    block::make_at(&place, node_, i + 1);
    word::set_value(&w, &place);
}

void Walk::nested(int32_t i) {
    Cell b;
    at(i, &b);
    collector::Root keep(&b);
    Walk inner(ctx_, catching_, &b);
    inner.run();
}

// A block read for its errors only (a pattern's commands): nothing of it is painted and its pen
// and fill changes stay inside.
void Walk::check_only(int32_t i) {
    DrawContext quiet = *ctx_;
    quiet.grid = nullptr;
    Cell b;
    at(i, &b);
    collector::Root keep(&b);
    Walk inner(&quiet, catching_, &b);
    inner.run();
}

int32_t Walk::command(int32_t i) {
    const Words& w = words();
    int32_t s = word_at(i);
    Point p[3];
    double n = 0, n2 = 0;
    if (s == w.pen || s == w.fill_pen) return paint(i, s == w.fill_pen);
    if (s == w.line) return line(i);
    if (s == w.box) {
        need_point(i + 1, &p[0]);
        int32_t last = need_point(i + 2, &p[1]);
        if (number_at(last + 1)) last++;  // a corner radius: cells have no round corners
        draw_box(ctx_, p[0].x, p[0].y, p[1].x, p[1].y);
        return last;
    }
    if (s == w.triangle) {
        for (int k = 0; k < 3; k++) need_point(i + 1 + k, &p[k]);
        draw_triangle(ctx_, p[0].x, p[0].y, p[1].x, p[1].y, p[2].x, p[2].y);
        return i + 3;
    }
    if (s == w.polygon) return point_run(i + 1, 3);
    if (s == w.circle) {
        need_point(i + 1, &p[0]);
        int32_t last = need_number(i + 2, &n);
        if (number_at(last + 1, &n2)) {
            last++;
            draw_ellipse(ctx_, p[0].x, p[0].y, to_coord(2 * n), to_coord(n2));
        } else {
            draw_circle(ctx_, p[0].x, p[0].y, to_coord(n));
        }
        return last;
    }
    if (s == w.ellipse) {
        need_point(i + 1, &p[0]);
        need_point(i + 2, &p[1]);
        draw_ellipse_box(ctx_, p[0].x, p[0].y, p[1].fx, p[1].fy);
        return i + 2;
    }
    if (s == w.arc) {
        need_point(i + 1);
        need_point(i + 2);
        need_number(i + 3);
        int32_t last = need_number(i + 4);
        return keyword(last + 1, w.closed) ? last + 1 : last;
    }
    if (s == w.curve) {
        need_point(i + 1);
        need_point(i + 2);
        need_point(i + 3);
        return point_at(i + 4) ? i + 4 : i + 3;
    }
    if (s == w.spline) {
        int32_t last = point_run(i + 1, 2);
        return keyword(last + 1, w.closed) ? last + 1 : last;
    }
    if (s == w.text) return text(i);
    if (s == w.font) {
        Cell font;
        if (!valued_at(i + 1, TYPE_OBJECT, &font)) fail(i + 1);
        draw_font(ctx_, &font);
        return i + 1;
    }
    if (s == w.image) return image(i);
    if (s == w.anti_alias || s == w.line_join || s == w.line_cap) {
        if (type_at(i + 1) != TYPE_WORD) fail(i + 1);
        return i + 1;
    }
    if (s == w.line_width) return need_number(i + 1);
    if (s == w.line_pattern) {
        while (integer_at(i + 1)) i++;
        return i;
    }
    if (s == w.shadow) return shadow(i);
    if (s == w.clip) return clip(i);
    if (s == w.shape) {
        need_block(i + 1);
        shape(i + 1, true);
        return i + 1;
    }
    if (s == w.rotate || s == w.scale || s == w.translate || s == w.skew || s == w.transform)
        return transformation(i, s);
    if (s == w.push) {
        nested(need_block(i + 1));
        return i + 1;
    }
    if (s == w.matrix) return matrix(i);
    if (s == w.reset_matrix || s == w.invert_matrix) return target(i + 1) - 1;
    fail(i);
}

// pen / fill-pen: a colour, off, or a paint that cells cannot show.
int32_t Walk::paint(int32_t i, bool fill) {
    const Words& w = words();
    int32_t k = i + 1;
    int32_t s = word_at(k);
    uint32_t rgba = 0;
    if (s == w.off) {
        fill ? draw_fill_pen(ctx_, true, 0) : draw_pen(ctx_, true, 0);
        return k;
    }
    if (s == w.linear || s == w.radial || s == w.diamond) return gradient(k, s);
    if (s == w.pattern) return pattern(k);
    if (s == w.bitmap) return bitmap(k);
    if (!colour_at(k, &rgba)) fail(k);
    fill ? draw_fill_pen(ctx_, false, rgba) : draw_pen(ctx_, false, rgba);
    return k;
}

// Colours, each with an optional float offset, from i; answers the last value read.
int32_t Walk::colour_stops(int32_t i, int32_t* count) const {
    *count = 0;
    int32_t last = i - 1;
    while (colour_at(last + 1)) {
        last++;
        ++*count;
        if (float_at(last + 1)) last++;
    }
    return last;
}

int32_t Walk::gradient(int32_t k, int32_t kind) {
    const Words& w = words();
    int32_t count = 0, last;
    if (point_at(k + 1)) {
        // The offset form: start and stop, up to three numbers, then the colours.
        last = k + 1;
        for (int n = 0; n < 2; n++) {
            if (!integer_at(last + 1)) fail(last + 1);
            last++;
        }
        for (int n = 0; n < 3 && number_at(last + 1); n++) last++;
        last = colour_stops(last + 1, &count);
        if (count < 2) fail(last + 1);
        return last;
    }
    last = colour_stops(k + 1, &count);
    if (count < 2) fail(last + 1);
    if (kind == w.linear) {
        if (point_at(last + 1)) last = need_point(last + 2);
    } else if (kind == w.radial) {
        if (point_at(last + 1)) {
            last = need_number(last + 2);
            if (point_at(last + 1)) last++;
        }
    } else if (point_at(last + 1)) {  // diamond
        last = need_point(last + 2);
        if (point_at(last + 1)) last++;
    }
    int32_t spread = word_at(last + 1);
    if (spread == w.pad || spread == w.repeat || spread == w.reflect) last++;
    return last;
}

int32_t Walk::tile_mode(int32_t i) const {
    const Words& w = words();
    int32_t s = word_at(i + 1);
    return s == w.tile || s == w.flip_x || s == w.flip_y || s == w.flip_xy || s == w.clamp ? i + 1 : i;
}

int32_t Walk::pattern(int32_t k) {
    int32_t last = need_point(k + 1);
    for (int n = 0; n < 2 && point_at(last + 1); n++) last++;
    last = need_block(tile_mode(last) + 1);
    check_only(last);
    return last;
}

int32_t Walk::bitmap(int32_t k) const {
    Cell img;
    if (type_at(k + 1) != TYPE_WORD || !valued_at(k + 1, TYPE_IMAGE, &img)) fail(k + 1);
    int32_t last = k + 1;
    for (int n = 0; n < 2 && point_at(last + 1); n++) last++;
    return tile_mode(last);
}

int32_t Walk::line(int32_t i) {
    int32_t last = point_run(i + 1, 2);
    Point a{}, b{};
    point_at(i + 1, &a);
    for (int32_t k = i + 2; k <= last; k++) {
        point_at(k, &b);
        draw_line(ctx_, a.x, a.y, b.x, b.y);
        a = b;
    }
    return last;
}

int32_t Walk::text(int32_t i) {
    Point p{};
    need_point(i + 1, &p);
    Cell t;
    if (!at(i + 2, &t) || !draw_text_at(ctx_, p.x, p.y, &t)) fail(i + 2);
    return i + 2;
}

int32_t Walk::image(int32_t i) const {
    const Words& w = words();
    Cell img;
    if (!valued_at(i + 1, TYPE_IMAGE, &img)) fail(i + 1);
    int32_t last = i + 1;
    while (point_at(last + 1)) last++;
    // A key colour; a word that holds no tuple is left for what follows.
    if (colour_at(last + 1)) last++;
    if (keyword(last + 1, w.border)) {
        last++;
    } else if (keyword(last + 1, w.crop)) {
        need_point(last + 2);
        last = need_point(last + 3);
    }
    return last;
}

int32_t Walk::shadow(int32_t i) const {
    const Words& w = words();
    if (keyword(i + 1, w.off)) return i + 1;
    if (type_at(i + 1) != TYPE_PAIR) fail(i + 1);
    int32_t last = i + 1;
    for (int n = 0; n < 2 && integer_at(last + 1); n++) last++;
    // Any word here is the colour: inset can only follow a colour written out.
    uint8_t t = type_at(last + 1);
    if (t == TYPE_WORD && !colour_at(last + 1)) fail(last + 1);
    if (t == TYPE_WORD || t == TYPE_TUPLE) last++;
    if (keyword(last + 1, w.inset)) last++;
    return last;
}

// A lit-word 'pen or 'fill-pen at i selects that pen's own matrix; answers the next index.
int32_t Walk::target(int32_t i) const {
    const Words& w = words();
    int32_t s = word_at(i, TYPE_LIT_WORD);
    return s == w.pen || s == w.fill_pen ? i + 1 : i;
}

// A block after a transformation or clip is drawn under it; without one, the rest of the current
// block is.
int32_t Walk::then_block(int32_t last) {
    if (type_at(last + 1) != TYPE_BLOCK) return last;
    nested(last + 1);
    return last + 1;
}

int32_t Walk::clip(int32_t i) {
    const Words& w = words();
    int32_t last;
    if (type_at(i + 1) == TYPE_BLOCK) {
        shape(i + 1, false);
        last = i + 1;
    } else {
        need_point(i + 1);
        last = need_point(i + 2);
    }
    int32_t mode = word_at(last + 1);
    if (mode == w.replace || mode == w.intersect || mode == w.union_ || mode == w.xor_ || mode == w.exclude) last++;
    return then_block(last);
}

int32_t Walk::transformation(int32_t i, int32_t which) {
    const Words& w = words();
    int32_t k = target(i + 1);
    int32_t last;
    if (which == w.rotate) {
        last = need_number(k);
        if (point_at(last + 1)) last++;
    } else if (which == w.scale) {
        if (!factor_at(k)) fail(k);
        if (!factor_at(k + 1)) fail(k + 1);
        last = k + 1;
        if (point_at(last + 1)) last++;
    } else if (which == w.translate) {
        last = need_point(k);
    } else if (which == w.skew) {
        last = need_number(k);
        if (number_at(last + 1)) last++;
        if (point_at(last + 1)) last++;
    } else {  // transform
        if (point_at(k)) k++;
        need_number(k);
        if (!factor_at(k + 1)) fail(k + 1);
        if (!factor_at(k + 2)) fail(k + 2);
        last = need_point(k + 3);
    }
    return then_block(last);
}

int32_t Walk::matrix(int32_t i) const {
    int32_t k = target(i + 1);
    Cell m;
    if (!at(k, &m) || m.type() != TYPE_BLOCK) fail(k);
    int32_t len = block::node_length(m.node()) - m.index();
    bool six = len == 6;
    for (int32_t n = 0; six && n < 6; n++) {
        uint8_t t = block::node_cell(m.node(), m.index() + n)->type();
        six = t == TYPE_INTEGER || t == TYPE_FLOAT;
    }
    if (!six) fail(k);
    return k;
}

// ---- Shapes: read and checked; cells have no paths to fill ----

void Walk::shape(int32_t i, bool drawn) {
    Cell b;
    at(i, &b);
    collector::Root keep(&b);
    shape_block(&b, drawn);
}

void Walk::shape_block(const Cell* block, bool drawn) {
    Walk inner(ctx_, catching_, block);
    if (cycles::find_q(inner.node_)) inner.fail(inner.head_, err::script::draw_infinite);
    cycles::Scope scope(inner.node_);
    for (int32_t i = inner.head_; i < inner.tail(); i++) {
        Cell c{};
        inner.at(i, &c);
        switch (c.type()) {
            case TYPE_BLOCK:
                inner.shape(i, drawn);
                break;
            case TYPE_WORD:
            case TYPE_LIT_WORD:
                i = inner.shape_command(i, symbol::resolve(static_cast<int32_t>(c.data2)));
                break;
            case TYPE_SET_WORD: inner.set_word(i); break;
            default: inner.fail(i);
        }
    }
}

int32_t Walk::shape_command(int32_t i, int32_t s) {
    const Words& w = words();
    if (s == w.move) return need_point(i + 1);
    if (s == w.line || s == w.qcurv) return point_run(i + 1);
    if (s == w.hline || s == w.vline) return need_number(i + 1);
    if (s == w.arc) {
        need_point(i + 1);
        need_number(i + 2);
        need_number(i + 3);
        int32_t last = need_number(i + 4);
        for (int n = 0; n < 2 && (keyword(last + 1, w.sweep) || keyword(last + 1, w.large)); n++) last++;
        return last;
    }
    if (s == w.curve) return point_run(i + 1, 3);
    if (s == w.curv || s == w.qcurve) return point_run(i + 1, 2);
    if (s == w.close) return i;
    fail(i);
}

// ---- Routines ----

Cell* arg(int i) { return stack::arguments + i; }

void result_none() {
    set_cell(stack::arguments, TYPE_NONE);
    stack::keep();
}

void draw_image_routine() {
    Cell img = *arg(0), cmds = *arg(1);
    collector::Root keep_img(&img);
    collector::Root keep_cmds(&cmds);
    if (image::width_of(&img) > 0 && image::height_of(&img) > 0) {
        gui::OS_do_draw(nullptr, &img, &cmds, false);
        ownership::check(&img, ownership::CHANGED, nullptr, -1, -1);
    }
    result_none();
}

// Faces' draw blocks are painted as the renderer draws each face; only the face's flags are read,
// so that an unknown flag is refused here as everywhere else.
void draw_face_routine() {
    if (const Cell* flags = facet(arg(0), kFFlags)) {
        Cell v = *flags;
        collector::Root keep(&v);
        gui::get_flags(&v);
    }
    result_none();
}

}  // namespace

void draw_run(DrawContext* ctx, const Cell* block, bool catching) {
    Cell b = *block;
    collector::Root keep(&b);
    words();
    Walk walk(ctx, catching, &b);
    walk.run();
}

void draw_face(CellGrid* grid, int32_t x, int32_t y, int32_t clip_x1, int32_t clip_y1, int32_t clip_x2,
               int32_t clip_y2, uint32_t render_flags, const Cell* commands) {
    if (commands->type() != TYPE_BLOCK || block::rs_length_q(commands) == 0) return;
    DrawContext ctx;
    draw_begin_at(&ctx, grid, x, y, clip_x1, clip_y1, clip_x2, clip_y2, render_flags);
    draw_run(&ctx, commands, true);
}

// The renderer's entry for a face whose draw facet holds commands.
static void draw_facet_of(Widget* w, const Cell* block, const Clip& clip, int32_t x, int32_t y) {
    DrawContext ctx;
    draw_begin_at(&ctx, &state.buffer, x, y, clip.x1, clip.y1, clip.x2, clip.y2,
                  w->flags & kWPassword ? uint32_t(kRenderPassword) : 0);
    draw_run(&ctx, block, true);
}

void draw_init() {
    words();
    draw_facet = draw_facet_of;
    routines::register_("gui-draw-image", draw_image_routine);
    routines::register_("gui-draw-face", draw_face_routine);
}

}  // namespace tui

namespace gui {

void OS_do_draw(const Cell* canvas, const Cell* image, const Cell* commands, bool catching) {
    (void)image;  // no pixels are painted on this terminal: the block is only checked
    if (commands->type() != TYPE_BLOCK || (!canvas && block::rs_length_q(commands) == 0)) return;
    runtime::sys.thrown = 0;
    tui::DrawContext ctx;
    tui::draw_begin(&ctx, nullptr);
    uint32_t code = catch_frame(codes::error, [&] { tui::draw_run(&ctx, commands, catching); });
    // Taken here: an abandoned run (code 1 when silent, an error already printed when catching).
    // A throw, break or return that a set-word's on-change* handler started has unwound the
    // frames down to its target already, and goes on to it.
    if (code == 1 || (code == codes::error && catching)) {
        runtime::sys.thrown = 0;
        return;
    }
    if (code) runtime::throw_code(code);
}

}  // namespace gui
