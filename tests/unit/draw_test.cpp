// Draw command blocks run into small cell grids, and the dialect's checks.
#include <gtest/gtest.h>

#include <string>

#include "datatypes/block.h"
#include "datatypes/image.h"
#include "datatypes/word.h"
#include "tests/support/captured_stdout.h"
#include "tests/support/fired.h"
#include "tests/support/held.h"
#include "runtime/output.h"
#include "tests/support/kel_eval.h"
#include "tui/draw.h"
#include "tui/render.h"

namespace {

using test_support::fired;

// The value of a block written in Kel (its words bound to the global context).
Cell block_of(const std::string& text) {
    kel_test::Outcome o = kel_test::run("draw-test-value: " + text);
    EXPECT_FALSE(o.error) << o.text << " " << o.message;
    Cell w;
    word::load(&w, "draw-test-value");
    Cell v = *word::peek(&w);
    tv::hold(v);
    return v;
}

using Redirect = tv::CapturedStdout;

struct Grid {
    tui::CellGrid g;
    Grid(int w, int h) {
        g.width = w;
        g.height = h;
        g.cells.assign(size_t(w * h), tui::TermCell{0, 0, 0, 0});
    }
    tui::TermCell& at(int x, int y) { return g.cells[size_t(y * g.width + x)]; }
    // One character a cell: '#' full block, box corners '+', sides '|' and '-', 'o' a blank
    // cell with a background, '.' an untouched one.
    std::string picture() {
        std::string s;
        for (int y = 0; y < g.height; y++) {
            if (y) s += '\n';
            for (int x = 0; x < g.width; x++) {
                const tui::TermCell& c = at(x, y);
                switch (c.cp) {
                    case 0: s += c.bg ? 'o' : '.'; break;
                    case 0x2588: s += '#'; break;
                    case 0x250C: case 0x2510: case 0x2514: case 0x2518: s += '+'; break;
                    case 0x2500: s += '-'; break;
                    case 0x2502: s += '|'; break;
                    default: s += '?';
                }
            }
        }
        return s;
    }
};

// Runs a block (Kel text) into a fresh grid over the whole of it.
std::string draw(int w, int h, const std::string& commands, Grid* keep = nullptr) {
    Grid local(w, h);
    Grid& grid = keep ? *keep : local;
    Cell b = block_of(commands);
    tui::DrawContext ctx;
    tui::draw_begin(&ctx, &grid.g);
    auto f = fired([&] { tui::draw_run(&ctx, &b, false); });
    EXPECT_FALSE(f.has_value()) << commands;
    return grid.picture();
}

constexpr uint32_t kRed = tui::kColour256 | 196, kBlue = tui::kColour256 | 21;

class Draw : public testing::Test {
protected:
    void SetUp() override { kel_test::run("red: 255.0.0 blue: 0.0.255 yellow: 255.255.0 not-a-colour: 7"); }
};

TEST_F(Draw, LinesInEveryOctantAreUnbrokenFromEndToEnd) {
    // From the centre of a 13x13 grid to points in each octant, both ways round.
    const int ends[][2] = {{6, 2}, {2, 6}, {-2, 6}, {-6, 2}, {-6, -2}, {-2, -6}, {2, -6}, {6, -2},
                           {6, 0}, {0, 6}, {-6, 0}, {0, -6}, {5, 5}, {-5, -5}};
    for (auto& e : ends) {
        for (bool reverse : {false, true}) {
            int x0 = 6, y0 = 6, x1 = 6 + e[0], y1 = 6 + e[1];
            if (reverse) std::swap(x0, x1), std::swap(y0, y1);
            Grid g(13, 13);
            draw(13, 13,
                 "[line " + std::to_string(x0) + "x" + std::to_string(y0) + " " + std::to_string(x1) + "x" +
                     std::to_string(y1) + "]",
                 &g);
            SCOPED_TRACE(testing::Message() << x0 << "x" << y0 << " to " << x1 << "x" << y1);
            int count = 0;
            for (int y = 0; y < 13; y++)
                for (int x = 0; x < 13; x++)
                    if (g.at(x, y).cp) {
                        count++;
                        EXPECT_EQ(g.at(x, y).cp, 0x2588u);
                        // Every cell of the line lies in the segment's box and touches another.
                        EXPECT_TRUE(x >= std::min(x0, x1) && x <= std::max(x0, x1) && y >= std::min(y0, y1) &&
                                    y <= std::max(y0, y1));
                        bool touches = false;
                        for (int dy = -1; dy <= 1; dy++)
                            for (int dx = -1; dx <= 1; dx++)
                                if ((dx || dy) && x + dx >= 0 && x + dx < 13 && y + dy >= 0 && y + dy < 13 &&
                                    g.at(x + dx, y + dy).cp)
                                    touches = true;
                        EXPECT_TRUE(touches);
                    }
            EXPECT_EQ(count, std::max(std::abs(e[0]), std::abs(e[1])) + 1);
            EXPECT_EQ(g.at(x0, y0).cp, 0x2588u);
            EXPECT_EQ(g.at(x1, y1).cp, 0x2588u);
        }
    }
}

TEST_F(Draw, LinePicturesAndPen) {
    EXPECT_EQ(draw(4, 4, "[line 0x0 3x3]"), "#...\n.#..\n..#.\n...#");
    EXPECT_EQ(draw(7, 3, "[line 0x0 6x2]"), "##.....\n..###..\n.....##");
    // A run of points is a polyline; point2D! coordinates are cut toward zero.
    EXPECT_EQ(draw(4, 3, "[line 0x0 3x0 (3.9, 2.9) (0.5, 2.0)]"), "####\n...#\n####");
    // Drawing stops at the first point off the grid, even where the line would come back.
    EXPECT_EQ(draw(4, 2, "[line -1x0 3x0]"), "....\n....");
    EXPECT_EQ(draw(4, 2, "[line 1x0 9x0]"), ".###\n....");
    // A line takes the pen colour even with the pen off.
    Grid g(3, 1);
    draw(3, 1, "[pen red pen off line 0x0 2x0]", &g);
    EXPECT_EQ(g.at(1, 0).fg, kRed);
}

TEST_F(Draw, Boxes) {
    EXPECT_EQ(draw(6, 4, "[box 0x0 4x2]"), "+---+.\n|...|.\n+---+.\n......");
    // Corners in any order; a radius is read and cells keep square corners.
    EXPECT_EQ(draw(6, 4, "[box 4x2 0x0 2]"), "+---+.\n|...|.\n+---+.\n......");
    EXPECT_EQ(draw(6, 4, "[pen off box 0x0 4x2]"), "......\n......\n......\n......");
    EXPECT_EQ(draw(5, 3, "[pen off fill-pen blue box 1x0 3x2]"), ".ooo.\n.ooo.\n.ooo.");
    // A box larger than the grid keeps only its own edges, not the grid's.
    EXPECT_EQ(draw(4, 3, "[box 1x1 9x9]"), "....\n.+--\n.|..");
    Grid g(5, 3);
    draw(5, 3, "[pen red fill-pen blue box 0x0 4x2]", &g);
    EXPECT_EQ(g.at(0, 0).fg, kRed);
    EXPECT_EQ(g.at(0, 0).bg, kBlue);
    EXPECT_EQ(g.at(2, 1).cp, 0u);
    EXPECT_EQ(g.at(2, 1).bg, kBlue);
    EXPECT_EQ(g.at(2, 1).fg, 0u);  // inner cells keep their foreground
    // A transparent fill is the default background.
    draw(5, 3, "[fill-pen 1.2.3.255 box 0x0 4x2]", &g);
    EXPECT_EQ(g.at(2, 1).bg, 0u);
}

TEST_F(Draw, OriginAndClipOfAFace) {
    // A face at 2x1 showing only its cells up to column 4: the drawing moves with it and is cut.
    Grid g(7, 4);
    Cell b = block_of("[box 0x0 4x2 line 0x0 4x0]");
    tui::draw_face(&g.g, 2, 1, 2, 1, 5, 4, 0, &b);
    EXPECT_EQ(g.picture(), ".......\n..###..\n..|....\n..+--..");
}

TEST_F(Draw, CirclesAndEllipses) {
    EXPECT_EQ(draw(11, 5, "[circle 5x2 2]"),
              "...#####...\n"
              "..#.....#..\n"
              ".#.......#.\n"
              "..#.....#..\n"
              "...#####...");
    // A second radius is the vertical one.
    EXPECT_EQ(draw(7, 3, "[circle 3x1 1 1]"), "..###..\n.#...#.\n..###..");
    EXPECT_EQ(draw(5, 3, "[circle 2x1 0]"), ".....\n.....\n.....");
    EXPECT_EQ(draw(5, 3, "[ellipse 0x0 0x3]"), ".....\n.....\n.....");
    // The box form: radii from the size, centred in it.
    EXPECT_EQ(draw(9, 5, "[ellipse 0x0 8x4]"), draw(9, 5, "[circle 4x2 2]"));
    // The fill lies inside the outline, whether or not the outline is drawn.
    EXPECT_EQ(draw(11, 5, "[pen off fill-pen blue circle 5x2 2]"),
              "....ooo....\n"
              "...ooooo...\n"
              "..ooooooo..\n"
              "...ooooo...\n"
              "....ooo....");
    EXPECT_EQ(draw(11, 5, "[fill-pen blue circle 5x2 2]"),
              "...#####...\n"
              "..#ooooo#..\n"
              ".#ooooooo#.\n"
              "..#ooooo#..\n"
              "...#####...");
    // Far off-grid or huge shapes cost nothing and paint nothing.
    EXPECT_EQ(draw(3, 2, "[circle 100000x100000 2000000000 ellipse -5x-5 (1e30, 1e30)]"), "...\n...");
}

TEST_F(Draw, Triangles) {
    EXPECT_EQ(draw(7, 4, "[triangle 0x0 6x3 0x3]"),
              "#......\n"
              "###....\n"
              "#..##..\n"
              "#######");
    EXPECT_EQ(draw(7, 4, "[pen off fill-pen blue triangle 6x3 0x0 0x3]"),
              "o......\n"
              "ooo....\n"
              "ooooo..\n"
              "ooooooo");
    // Flat: all three points on one row.
    EXPECT_EQ(draw(5, 1, "[pen off fill-pen blue triangle 0x0 4x0 2x0]"), "ooooo");
    // Corners at the ends of the integer range: the edges still cross the grid where they run
    // (here the diagonal x = y bounds the fill on the right).
    EXPECT_EQ(draw(5, 3,
                   "[pen off fill-pen blue triangle -2147483648x-2147483648 2147483647x2147483647 "
                   "-2147483648x2147483647]"),
              "o....\n"
              "oo...\n"
              "ooo..");
    EXPECT_EQ(draw(5, 3,
                   "[pen off fill-pen blue triangle 2147483647x-2147483648 -2147483648x2147483647 "
                   "2147483647x2147483647]"),
              "ooooo\n"
              "ooooo\n"
              "ooooo");
}

// The characters of a grid's rows, blanks as spaces.
std::string text_of(Grid& g) {
    std::string s;
    for (int y = 0; y < g.g.height; y++) {
        if (y) s += '|';
        for (int x = 0; x < g.g.width; x++) {
            uint32_t cp = g.at(x, y).cp;
            s += cp == 0 ? ' ' : cp < 128 ? char(cp) : '?';
        }
    }
    return s;
}

TEST_F(Draw, Text) {
    Grid g(6, 3);
    draw(6, 3, "[pen red text 1x0 {ab^/c^[[1mde} text 4x2 {xyz}]", &g);
    // Lines start at the position; text wraps at the clip's right edge and is cut at the bottom.
    EXPECT_EQ(text_of(g), " ab   | cde  |    xy");
    EXPECT_EQ(g.at(1, 0).fg, kRed);                       // the pen colours text
    EXPECT_EQ(g.at(2, 1).flags & tui::kBold, uint32_t(tui::kBold));  // escapes are read
    EXPECT_EQ(g.at(1, 1).flags & tui::kBold, 0u);
    // In a face: moved by the origin and cut to the clip.
    Grid f(6, 2);
    Cell b = block_of("[text 0x0 {hello} text -2x1 {abcd}]");
    tui::draw_face(&f.g, 1, 0, 1, 0, 4, 2, 0, &b);
    EXPECT_EQ(text_of(f), " hel  | cd   ");
    // A face (an object value, not a word) shows its text with its style runs; an object that is no
    // face with text is refused.
    kel_test::Outcome made = kel_test::run("rt-face: make object! [type: 'rich-text offset: 0x0 size: 5x1 text: {abc} image: none "
                  "color: none menu: none data: none enabled?: true visible?: true selected: none flags: none "
                  "options: none parent: none pane: none state: none rate: none edge: none para: none font: none "
                  "actors: none extra: none draw: none] other: make object! [a: 1]");
    ASSERT_FALSE(made.error) << made.text << made.message;
    Grid r(4, 1);
    draw(4, 1, "reduce ['text 1x0 rt-face]", &r);
    EXPECT_EQ(text_of(r), " abc");
    // Its own para decides whether it wraps at the clip's right edge.
    kel_test::run("rt-face/text: {abcdef}");
    Grid cut(4, 2);
    draw(4, 2, "reduce ['text 1x0 rt-face]", &cut);
    EXPECT_EQ(text_of(cut), " abc|    ");
    kel_test::run("rt-face/para: make object! [align: 'left v-align: 'top wrap?: true]");
    Grid wrapped(4, 2);
    draw(4, 2, "reduce ['text 1x0 rt-face]", &wrapped);
    EXPECT_EQ(text_of(wrapped), " abc| def");
    // Only a rich-text face's data is a style block: a label whose data is the block its text
    // loaded to, or a list's items, is drawn as its plain text.
    for (const char* data : {"[hello world]", "[1x2 bold]", "[{one} two]"}) {
        kel_test::run(std::string("label-face: make rt-face [type: 'text text: {abc} data: ") + data + "]");
        Grid label(4, 1);
        draw(4, 1, "reduce ['text 1x0 label-face]", &label);
        EXPECT_EQ(text_of(label), " abc") << data;
        EXPECT_EQ(label.at(1, 0).flags & tui::kBold, 0u) << data;
    }
    Cell bad = block_of("reduce ['text 0x0 other]");
    tui::DrawContext ctx;
    tui::draw_begin(&ctx, &f.g);
    auto e = fired([&] { tui::draw_run(&ctx, &bad, false); });
    ASSERT_TRUE(e.has_value());
    EXPECT_TRUE(e->id == err::script::draw_invalid);
    EXPECT_EQ(e->arg1.index(), 2);
}

TEST_F(Draw, TheRendererPaintsAFacesDrawBlock) {
    // A 4x2 face at 1x1 on a blue background: its draw block is painted over it, in the face.
    kel_test::Outcome made = kel_test::run(
        "drawn-face: make object! [type: 'base offset: 1x1 size: 4x2 text: none image: none "
        "color: 0.0.255 menu: none data: none enabled?: true visible?: true selected: none flags: none "
        "options: none parent: none pane: none state: none rate: none edge: none para: none font: none "
        "actors: none extra: none draw: [pen 255.255.0 line 0x0 9x0 text 0x1 {abcdef}]]");
    ASSERT_FALSE(made.error) << made.text << made.message;
    Cell w;
    word::load(&w, "drawn-face");
    tui::Widget widget;
    widget.face = *word::peek(&w);
    tv::hold(widget.face);
    widget.x1 = widget.y1 = 1;
    widget.x2 = 5;
    widget.y2 = 3;
    tui::draw_init();
    Grid saved(0, 0);
    std::swap(saved.g, tui::state.buffer);
    tui::state.buffer.width = 6;
    tui::state.buffer.height = 3;
    tui::state.buffer.cells.assign(18, tui::TermCell{0, 0, 0, 0});
    tui::generic_render(1, 1, &widget, tui::kRenderEscapes);
    Grid out(0, 0);
    std::swap(out.g, tui::state.buffer);
    std::swap(saved.g, tui::state.buffer);
    EXPECT_EQ(out.picture(), "......\n.####.\n.????.");
    EXPECT_EQ(text_of(out), "      | ???? | abcd ");
    EXPECT_EQ(out.at(1, 1).fg, tui::kColour256 | 226u);
    EXPECT_EQ(out.at(2, 2).fg, tui::kColour256 | 226u);
    EXPECT_EQ(out.at(2, 2).bg, kBlue);  // text keeps the face's background
}

TEST_F(Draw, PenFontAndTextColours) {
    kel_test::run("blue-font: make object! [color: 0.0.255] plain-font: make object! [color: none]");
    Cell b = block_of("[pen red font blue-font pen 255.255.0]");
    Grid g(1, 1);
    tui::DrawContext ctx;
    tui::draw_begin(&ctx, &g.g);
    tui::draw_run(&ctx, &b, false);
    EXPECT_TRUE(ctx.text_colour_set);
    EXPECT_EQ(ctx.text_colour, kBlue);                   // the font's colour stays
    EXPECT_EQ(ctx.pen, tui::kColour256 | 226u);
    b = block_of("[font plain-font pen red]");
    tui::draw_run(&ctx, &b, false);
    EXPECT_FALSE(ctx.text_colour_set);
    EXPECT_EQ(ctx.text_colour, kRed);                    // the pen colours text again
}

TEST_F(Draw, CommandsTheTerminalCannotPaintAreReadAndChecked) {
    const char* blocks[] = {
        "[pen linear blue yellow]",
        "[pen linear red 0.1 blue 0.5 yellow 0x0 10x10 reflect]",
        "[fill-pen radial red blue 5x5 3 1x1 pad]",
        "[fill-pen diamond red blue 0x0 5x5]",
        "[pen linear 0x0 0 10 45 1.0 1.0 red blue yellow]",
        "[pen pattern 4x4 0x0 4x4 tile [line 0x0 3x3]]",
        "[polygon 0x0 5x0 5x5 0x5 arc 5x5 3x3 0 90 closed curve 0x0 1x1 2x0 spline 0x0 5x5 closed]",
        "[anti-alias off line-width 2 line-join round line-cap square line-pattern 1 2 3]",
        "[shadow 2x2 3 1 red inset shadow off shadow 1x1]",
        "[clip 0x0 5x5 intersect [pen red] clip [move 0x0 line 5x5 'hline 3 close] xor]",
        "[shape [move 0x0 arc 5x5 2 2 0 sweep large curve 1x1 2x2 3x3 qcurv 4x4 'vline 2 [close]]]",
        "[rotate 'pen 45 5x5 [pen red] scale 2 50% translate 1x1 skew 1.5 2 transform 1x1 30 1 1 2x2]",
        "[matrix [1 0 0 1 0 0] reset-matrix 'fill-pen invert-matrix]",
        "[image draw-test-image 0x0 5x5 red border image draw-test-image crop 0x0 2x2]",
    };
    kel_test::run("draw-test-image: make image! 2x2");
    for (const char* b : blocks) EXPECT_EQ(draw(4, 2, b), "....\n....") << b;
    // The block of a transformation or clip is drawn, untransformed.
    EXPECT_EQ(draw(4, 1, "[rotate 45 [line 0x0 1x0] clip 0x0 1x1 [line 3x0 3x0]]"), "##.#");
    // A pattern's commands are checked but paint nothing, and the pen stays as it was.
    Grid g(4, 4);
    draw(4, 4, "[pen red pen pattern 2x2 [pen blue] line 0x0 3x0]", &g);
    EXPECT_EQ(g.at(0, 0).fg, kRed);
}

TEST_F(Draw, NestedBlocksPushAndSetWords) {
    // Colour changes inside push persist: save and restore do nothing on cells.
    Grid g(3, 3);
    draw(3, 3, "[push [pen blue] box 0x0 2x2]", &g);
    EXPECT_EQ(g.at(0, 0).fg, kBlue);
    EXPECT_EQ(draw(3, 1, "[[[line 0x0 2x0]]]"), "###");
    // A set-word marks the place after it.
    draw(3, 1, "[a: box 0x0 2x0 b: [line 0x0 1x0]]");
    EXPECT_EQ(kel_test::eval("a"), "[box 0x0 2x0 b: [line 0x0 1x0]]");
    EXPECT_EQ(kel_test::eval("b"), "[[line 0x0 1x0]]");
}

struct BadCase {
    const char* block;
    int position;  // index of the offending value (1-based), or 0 for the block's tail
};

TEST_F(Draw, ErrorsPointAtTheOffendingValue) {
    const BadCase cases[] = {
        {"[line 0x0]", 2},
        {"[line]", 0},
        {"[box 0x0 5x5 unknown-command]", 4},
        {"[10 line 0x0 1x1]", 1},
        {"[pen not-a-colour]", 2},
        {"[pen]", 0},
        {"[pen linear 0x0 0 10 blue]", 0},
        {"[pen linear red]", 0},
        {"[pen linear red blue 0x0]", 0},
        {"[fill-pen radial red blue 0x0 box 0x0 1x1]", 6},
        {"[matrix [1 0 0 1 0]]", 2},
        {"[matrix [1 0 0 1 0 x]]", 2},
        {"[rotate 'box 45]", 2},
        {"[reset-matrix 'other]", 2},
        {"[shadow 1x1 inset]", 3},
        {"[shape [move 0x0 jump 1x1]]", 3},  // in the shape's block
        {"[font 3]", 2},
        {"[text 0x0 5]", 3},
        {"[triangle 0x0 1x1 \"x\"]", 4},
        {"[pen pattern 2x2 [box]]", 0},
        {"[pen bitmap 2x2]", 3},
    };
    for (const BadCase& c : cases) {
        Cell b = block_of(c.block);
        Grid g(2, 2);
        tui::DrawContext ctx;
        tui::draw_begin(&ctx, &g.g);
        auto f = fired([&] { tui::draw_run(&ctx, &b, false); });
        ASSERT_TRUE(f.has_value()) << c.block;
        EXPECT_TRUE(f->id == err::script::draw_invalid) << c.block;
        ASSERT_EQ(f->arg1.type(), TYPE_BLOCK) << c.block;
        if (c.position)
            EXPECT_EQ(f->arg1.index(), c.position - 1) << c.block;
        else
            EXPECT_EQ(block::rs_length_q(&f->arg1), 0) << c.block;
    }
}

TEST_F(Draw, ABlockThatContainsItselfIsInfinite) {
    for (const char* code : {"b: [line 0x0 1x1] append/only b b b", "b: [push []] append/only b/2 b b",
                             "b: [shape [move 0x0]] append/only b/2 b/2 b"}) {
        kel_test::run(std::string("draw-test-value: do [") + code + "]");
        Cell w;
        word::load(&w, "draw-test-value");
        Cell b = *word::peek(&w);
        tv::hold(b);
        tui::DrawContext ctx;
        tui::draw_begin(&ctx, nullptr);
        auto f = fired([&] { tui::draw_run(&ctx, &b, false); });
        ASSERT_TRUE(f.has_value()) << code;
        EXPECT_TRUE(f->id == err::script::draw_infinite) << code;
    }
    // Blocks nested deeper than the cycle stack holds are an error, not a crash.
    kel_test::run("deep: [line 0x0 1x0] loop 5000 [deep: reduce [deep]] none");
    Cell deep_word;
    word::load(&deep_word, "deep");
    Cell deep = *word::peek(&deep_word);
    tv::hold(deep);
    tui::DrawContext ctx;
    tui::draw_begin(&ctx, nullptr);
    auto f = fired([&] { tui::draw_run(&ctx, &deep, false); });
    ASSERT_TRUE(f.has_value());
    EXPECT_TRUE(f->id == err::internal::too_deep);
    // The cycle stack is left empty for the next walk.
    EXPECT_EQ(draw(2, 1, "[line 0x0 1x0]"), "##");
}

TEST_F(Draw, FaceDrawingPrintsTheErrorAndAbandonsTheRun) {
    Grid g(3, 1);
    Cell b = block_of("[line 0x0 2x0 bad]");
    Redirect out;
    uint32_t code = catch_frame(codes::all, [&] { tui::draw_face(&g.g, 0, 0, 0, 0, 3, 1, 0, &b); });
    EXPECT_EQ(code, codes::error);
    runtime::sys.thrown = 0;
    EXPECT_NE(out.text().find("DRAW - invalid input at:"), std::string::npos) << out.text();
    EXPECT_EQ(g.picture(), "###");  // what came before the bad command stays drawn
}

TEST_F(Draw, AnImageTargetIsCheckedNotPainted) {
    kel_test::run("draw-test-image: make image! 3x2");
    Cell w;
    word::load(&w, "draw-test-image");
    Cell img = *word::peek(&w);
    tv::hold(img);
    uint32_t before = image::pixels_of(&img)[0];
    Cell good = block_of("[fill-pen red box 0x0 2x1]");
    EXPECT_FALSE(fired([&] { gui::OS_do_draw(nullptr, &img, &good, false); }).has_value());
    EXPECT_EQ(image::pixels_of(&img)[0], before);
    Cell bad = block_of("[box 0x0]");
    auto f = fired([&] { gui::OS_do_draw(nullptr, &img, &bad, false); });
    ASSERT_TRUE(f.has_value());
    EXPECT_TRUE(f->id == err::script::draw_invalid);
    // Catching drops the error.
    Redirect out;
    EXPECT_FALSE(fired([&] { gui::OS_do_draw(nullptr, &img, &bad, true); }).has_value());
    EXPECT_EQ(runtime::sys.thrown, 0u);
    // An empty block does nothing at all.
    Cell empty = block_of("[]");
    EXPECT_FALSE(fired([&] { gui::OS_do_draw(nullptr, &img, &empty, false); }).has_value());
}

TEST_F(Draw, SilentStopsWithoutAnError) {
    kel_test::run("system: make object! [view: make object! [silent?: true]]");
    Cell bad = block_of("[line 0x0 2x0 bad line 0x1 2x1]");
    Grid g(3, 2);
    auto f = fired([&] { gui::OS_do_draw(nullptr, nullptr, &bad, false); });
    EXPECT_FALSE(f.has_value());
    EXPECT_EQ(runtime::sys.thrown, 0u);
    // A face's run is abandoned quietly where the bad command stands.
    Redirect out;
    uint32_t code = catch_frame(codes::all, [&] { tui::draw_face(&g.g, 0, 0, 0, 0, 3, 2, 0, &bad); });
    runtime::sys.thrown = 0;
    kel_test::run("system: none");
    EXPECT_EQ(code, codes::error);
    EXPECT_EQ(out.text(), "");
    EXPECT_EQ(g.picture(), "###\n...");
}

}  // namespace
