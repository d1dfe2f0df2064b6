// point2D! and point3D!: construction, coordinate arithmetic in single precision, rounding,
// comparison within units in the last place, coordinate access by path and pick.
#include "datatypes/point.h"

#include <gtest/gtest.h>

#include "datatypes/block.h"
#include "tests/support/kel_cases.h"

using kel_test::eval;
using kel_test::expect_cases;

TEST(PointActions, MakeAndTo) {
    expect_cases({
        {"make point2D! 3", "(3.0, 3.0)"},
        {"make point3D! 1.5", "(1.5, 1.5, 1.5)"},
        {"make point2D! 50%", "(0.5, 0.5)"},
        {"make point2D! [1 2.5 3]", "(1.0, 2.5)"},
        {"make point3D! [1 2 3]", "(1.0, 2.0, 3.0)"},
        {"make point3D! 1x2", "(1.0, 2.0, 0.0)"},
        {"to point2D! 1x2", "(1.0, 2.0)"},
        {"to point3D! (1.0, 2.0)", "(1.0, 2.0, 0.0)"},
        {"to point2D! (1.0, 2.0)", "(1.0, 2.0)"},
        {"to point3D! (1.0, 2.0, 3.0)", "(1.0, 2.0, 3.0)"},
        {"to point2D! \"(1, 2)\"", "(1.0, 2.0)"},
        {"to point3D! \"(1, 2, 3)\"", "(1.0, 2.0, 3.0)"},
        // Rounded to single precision.
        {"make point2D! [0.1 16777217]", "(0.1, 1.6777216e7)"},
        // Errors.
        {"make point3D! [1 2]", "!syntax/malconstruct"},
        {"make point2D! [1 x]", "!syntax/malconstruct"},
        {"to point2D! (1.0, 2.0, 3.0)", "!script/bad-to-arg"},
        {"to point2D! \"1x2\"", "!script/bad-to-arg"},
        {"to point3D! \"(1, 2)\"", "!script/bad-to-arg"},
        {"to point2D! 'a", "!script/bad-to-arg"},
        {"e: try [to point2D! none] reduce [e/arg1 e/arg2]", "[point2D! none]"},
    });
}

TEST(PointActions, Arithmetic) {
    expect_cases({
        {"(1.5, 2.5) + 1x1", "(2.5, 3.5)"},
        {"(1.0, 2.0) * 2", "(2.0, 4.0)"},
        {"(1.0, 2.0) / 0", "(1.#INF, 1.#INF)"},
        {"(-1.0, 0.0) / 0.0", "(-1.#INF, 1.#NaN)"},
        {"(5.0, 7.0) % 3", "(2.0, 1.0)"},
        {"(5.0, 7.0) % 0", "(1.#NaN, 1.#NaN)"},
        {"(1.0, 2.0) - (0.5, 0.5)", "(0.5, 1.5)"},
        {"(1.0, 2.0, 3.0) + (1.0, 1.0, 1.0)", "(2.0, 3.0, 4.0)"},
        {"(1.0, 2.0, 3.0) * 50%", "(0.5, 1.0, 1.5)"},
        {"(0.1, 0.2) + (0.2, 0.1)", "(0.3, 0.3)"},
        // A scalar factor is applied to the single coordinate unrounded: 3 * 0.1 in double
        // precision, then rounded to single.
        {"(3.0, 1.0) * 0.1", "(0.3, 0.1)"},
        {"2 * (1.0, 2.0)", "(2.0, 4.0)"},
        {"2 - (1.0, 2.0)", "(1.0, 0.0)"},
        {"1.5 + (1.0, 2.0)", "(2.5, 3.5)"},
        {"1.5 - (1.0, 2.0)", "!script/not-related"},
        {"(1.0, 2.0, 3.0) + 1x1", "!script/invalid-type"},
        {"(1.0, 2.0) + (1.0, 2.0, 3.0)", "!script/invalid-type"},
        {"(1.0, 2.0) + 1.2.3", "!script/invalid-type"},
        {"(1.0, 2.0) and 1", "!script/expect-arg"},
        {"negate (1.0, -2.0, 0.0)", "(-1.0, 2.0, 0.0)"},
        {"absolute (-1.5, 2.0)", "(1.5, 2.0)"},
        {"reverse (1.0, 2.0)", "(2.0, 1.0)"},
        {"reverse (1.0, 2.0, 3.0)", "(3.0, 2.0, 1.0)"},
    });
}

TEST(PointActions, Round) {
    expect_cases({
        {"round (1.4, 2.5)", "(1.0, 3.0)"},
        {"round (-1.5, -2.4, 2.6)", "(-2.0, -2.0, 3.0)"},
        {"round/down (1.9, -1.9)", "(1.0, -1.0)"},
        {"round/floor (1.9, -1.1)", "(1.0, -2.0)"},
        {"round/even (2.5, 3.5)", "(2.0, 4.0)"},
        {"round/to (14.0, 26.0) 10", "(10.0, 30.0)"},
        {"round/to (14.0, 26.0) 10x5", "(10.0, 25.0)"},
        {"round/to (0.26, 0.74) 0.5", "(0.5, 0.5)"},
        {"round/to (14.0, 26.0) (4.0, 0.5)", "(16.0, 26.0)"},
        {"round/to (1.0, 2.0, 3.0) (2.0, 2.0, 2.0)", "(2.0, 2.0, 4.0)"},
        {"round/to (1.0, 2.0) $1", "!script/not-related"},
        {"round/to (1.0, 2.0, 3.0) 1x1", "!script/expect-arg"},
    });
}

TEST(PointActions, Compare) {
    expect_cases({
        {"(1.0, 2.0) = (1.0, 2.0)", "true"},
        // One unit in the last place apart: equal, but not strictly.
        {"(1.0, 1.0) = make point2D! [1.0 1.0000001]", "true"},
        {"strict-equal? (1.0, 1.0) make point2D! [1.0 1.0000001]", "false"},
        {"(1.0, 1.0) < make point2D! [1.0 1.0000001]", "false"},
        // Ten units in the last place are still equal, eleven are not.
        {"(1.0, 1.0) = make point2D! [1.0 1.0000011920928955]", "true"},
        {"(1.0, 1.0) = make point2D! [1.0 1.0000013113021851]", "false"},
        {"(1.0, 1.0) < make point2D! [1.0 1.0000011920928955]", "false"},
        {"(1.0, 2.0) < (1.0, 3.0)", "true"},
        {"(2.0, 0.0) > (1.0, 9.0)", "true"},
        {"(1.0, 2.0, 3.0) < (1.0, 2.0, 4.0)", "true"},
        {"(1.0, 2.0) = 1x2", "true"},
        {"(1.0, 2.0) = (1.0, 2.0, 0.0)", "false"},
        {"(1.0, 2.0) < 1", "!script/invalid-compare"},
        {"same? (0.0, 0.0) negate (0.0, 0.0)", "false"},
        {"(0.0, 0.0) = negate (0.0, 0.0)", "true"},
    });
}

TEST(PointActions, CoordinatesByPathAndPick) {
    expect_cases({
        {"p: (1.0, 2.0) p/y: 5 p", "(1.0, 5.0)"},
        {"p: (1.0, 2.0, 3.0) p/Z: 0.25 p", "(1.0, 2.0, 0.25)"},
        {"p: (1.0, 2.0, 3.0) p/3", "3.0"},
        {"p: (1.0, 2.0) p/x", "1.0"},
        {"p: (1.0, 2.0) p/x: 0.1 p/x", "0.10000000149011612"},
        {"p: (1.0, 2.0) p/z", "!script/invalid-path"},
        {"p: (1.0, 2.0) p/3", "!script/invalid-path"},
        {"p: (1.0, 2.0) p/x: \"a\"", "!script/invalid-type"},
        {"pick (1.0, 2.0) 2", "2.0"},
        {"pick (1.0, 2.0, 3.0) 'z", "3.0"},
        {"pick (1.0, 2.0) 'z", "!script/cannot-use"},
        {"pick (1.0, 2.0) 3", "!script/out-of-range"},
        {"e: try [p: (1.0, 2.0) p/z] reduce [e/arg1 e/arg2]", "[p/z z]"},
        {"log: copy [] o: make object! [p: (1.0, 2.0) on-change*: func [w o n] [append log reduce [w o n]]] "
         "o/p/y: 3 log",
         "[p (1.0, 2.0) (1.0, 3.0)]"},
    });
}

TEST(PointActions, Constructors) {
    kel_test::boot();
    Node b = block::make_node(2);
    Cell* c = point3D::make_in(b, 1.5f, -2.0f, 0.25f);
    EXPECT_EQ(c->type(), TYPE_POINT3D);
    EXPECT_EQ(point2D::coord(c, 2), 0.25f);
    Cell* d = point2D::make_in(b, 1.0f, 2.0f);
    EXPECT_EQ(d->type(), TYPE_POINT2D);
    EXPECT_EQ(d->data3, 0u);
    Cell n{};
    set_cell(&n, TYPE_INTEGER, 16777217u);
    EXPECT_EQ(point2D::number_to_float(&n), 16777216.0f);
}
