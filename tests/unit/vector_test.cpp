// vector!: specs and widths, how elements read back, text forms, comparison, element-wise
// arithmetic, append/insert/change (checked against a model), and the series actions it takes
// from string! over every width.
#include "datatypes/vector.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "tests/support/kel_cases.h"
#include "tests/support/value_builders.h"

using kel_test::eval;
using kel_test::expect_cases;

TEST(Vector, MakeAndMold) {
    expect_cases({
        {"make vector! [integer! 16 5]", "make vector! [integer! 16 [0 0 0 0 0]]"},
        {"length? make vector! [integer! 16 2 [1 2 3]]", "3"},
        {"make vector! [integer! 16 5 [1 2]]", "make vector! [integer! 16 [1 2 0 0 0]]"},
        {"make vector! [integer! 32 [1 2]]", "make vector! [1 2]"},
        {"make vector! [1 2 3]", "make vector! [1 2 3]"},
        // Without a type word the first value gives the element type.
        {"make vector! [1.5 2.0]", "make vector! [1.5 2.0]"},
        {"make vector! [#\"a\"]", "make vector! [#\"a\"]"},
        {"make vector! [10% 20%]", "make vector! [10% 20%]"},
        {"v: make vector! [float! 64 [0.5]] v = do mold v", "true"},
        {"v: make vector! [percent! [12.5%]] v = do mold v", "true"},
        {"v: make vector! [char! 8 [#\"a\"]] v = do mold v", "true"},
        {"v: make vector! [] v = do mold v", "true"},
        {"make vector! 3", "make vector! [0 0 0]"},
        {"make vector! 2.7", "make vector! [0 0]"},
        {"make vector! []", "make vector! [integer! 32 []]"},
        {"length? make vector! -5", "0"},
        {"make vector! [percent! [50%]]", "make vector! [50%]"},
        {"make vector! [percent! 16 [50% 12.5%]]", "make vector! [50% 12.5%]"},
        {"make vector! [float! 32 [1.5 2.25]]", "make vector! [float! 32 [1.5 2.25]]"},
        {"make vector! [float! 64 [1.5]]", "make vector! [1.5]"},
        {"make vector! [char! 32 [#\"a\"]]", "make vector! [#\"a\"]"},
        {"make vector! [char! 8 [#\"a\" #\"^/\"]]", "make vector! [char! 8 [#\"a\" #\"^/\"]]"},
        {"form make vector! [char! 8 [#\"a\" #\"^/\" #\"b\"]]", "\"a ^^/ b\""},
        {"form make vector! [float! 64 [0.1 2.0]]", "\"0.1 2.0\""},
        {"form make vector! [float! 32 [0.1]]", "\"0.1\""},
        {"form make vector! [percent! [50% 12.5%]]", "\"50% 12.5%\""},
        {"mold/only make vector! [1 2]", "\"1 2\""},
        {"mold/only make vector! [integer! 8 [1 2]]", "\"integer! 8 [1 2]\""},
        {"mold/part make vector! [1 2 3 4 5] 18", "\"make vector! [1 2 \""},
        {"form/part make vector! [10 20 30] 4", "\"10 2\""},
        {"to block! make vector! [1 2 3]", "[1 2 3]"},
        {"make block! make vector! [float! 32 [0.5]]", "[0.5]"},
    });
}

TEST(Vector, MakeErrors) {
    expect_cases({
        {"make vector! [float! [1.0]]", "!script/invalid-spec-field"},
        {"make vector! [char! [#\"a\"]]", "!script/invalid-spec-field"},
        {"make vector! [integer! 16 x]", "!script/invalid-spec-field"},
        {"make vector! [integer! 16]", "!script/invalid-spec-field"},
        {"make vector! [percent! [0.5]]", "!script/invalid-arg"},
        {"make vector! [1 2.0]", "!script/invalid-arg"},
        {"make vector! [1.0 2]", "!script/invalid-arg"},
        {"make vector! [integer! 16 [#\"a\"]]", "!script/invalid-arg"},
        {"make vector! [integer!]", "!script/bad-make-arg"},
        {"make vector! [integer! 12 [1]]", "!script/bad-make-arg"},
        {"make vector! [float! 16 [1.0]]", "!script/bad-make-arg"},
        {"make vector! [char! 64 [#\"a\"]]", "!script/bad-make-arg"},
        {"make vector! [foo! 8 [1]]", "!script/bad-make-arg"},
        {"make vector! 1e20", "!script/bad-make-arg"},
        {"make vector! \"abc\"", "!internal/not-done"},
        {"make vector! [integer! 32 2000000000]", "!internal/no-memory"},
    });
}

TEST(Vector, ElementsReadBackInTheirWidth) {
    expect_cases({
        {"v: make vector! [integer! 8 [127 -128]] reduce [v/1 v/2]", "[127 -128]"},
        {"v: make vector! [integer! 8 [300]] reduce [v/1 pick v 1]", "[44 44]"},
        {"v: make vector! [integer! 8 [255]] v/1", "-1"},
        {"v: make vector! [integer! 16 [40000]] v/1", "-25536"},
        // char! elements are codepoints: never negative, whatever the width.
        {"v: make vector! [char! 8 [#\"^(E9)\"]] v/1 = #\"^(E9)\"", "true"},
        {"v: make vector! [char! 16 [#\"^(4E2D)\"]] v/1 = #\"^(4E2D)\"", "true"},
        {"v: make vector! [float! 32 [0.1 1e39 -1e39]] v", "make vector! [float! 32 [0.1 1.#INF -1.#INF]]"},
        {"v: make vector! [percent! [25%]] v/1", "25%"},
        {"v: make vector! [integer! 16 [1 2 3]] poke v 2 -5 v", "make vector! [integer! 16 [1 -5 3]]"},
        {"v: make vector! [integer! 16 [1 2 3]] v/3: 7 v", "make vector! [integer! 16 [1 2 7]]"},
        {"v: make vector! [1 2 3] poke v 1 1.5", "!script/invalid-arg"},
    });
}

TEST(Vector, Comparison) {
    expect_cases({
        {"(make vector! [1 2]) = make vector! [1 2 3]", "false"},
        {"(make vector! [1 2]) < make vector! [1 2 3]", "true"},
        {"(make vector! [1 3]) > make vector! [1 2 3]", "true"},
        {"(make vector! [1 2]) = make vector! [integer! 8 [1 2]]", "true"},
        {"(make vector! [float! 32 [0.5]]) = make vector! [float! 64 [0.5]]", "true"},
        {"(make vector! [char! 8 [#\"^(FF)\"]]) > make vector! [char! 8 [#\"a\"]]", "true"},
        {"(make vector! [integer! 8 [-1]]) < make vector! [integer! 8 [1]]", "true"},
        {"(make vector! []) = make vector! []", "true"},
        {"(make vector! [1 2]) = make vector! [float! 64 [1.0 2.0]]", "!script/not-same-type"},
        {"v: make vector! [1 2] same? v copy v", "false"},
        {"v: make vector! [1 2] same? v v", "true"},
    });
}

TEST(Vector, Arithmetic) {
    expect_cases({
        {"length? (make vector! [1 2 3]) + make vector! [1 2 3 4 5]", "3"},
        {"(make vector! [1 2 3]) + make vector! [10 20 30 40]", "make vector! [11 22 33]"},
        // Two vectors give one as wide as the wider.
        {"(make vector! [integer! 8 [100]]) + make vector! [integer! 16 [100]]", "make vector! [integer! 16 [200]]"},
        {"(make vector! [integer! 8 [100]]) + make vector! [integer! 8 [100]]", "make vector! [integer! 8 [-56]]"},
        {"(make vector! [float! 32 [0.5]]) * make vector! [float! 64 [3.0]]", "make vector! [1.5]"},
        // A scalar changes the vector in place; 0 and 1 leave it as it is.
        {"v: make vector! [1 2 3] same? v v + 0", "true"},
        {"v: make vector! [1 2 3] v * 2 v", "make vector! [2 4 6]"},
        {"v: make vector! [1 2 3] next v v + 10 v", "make vector! [11 12 13]"},
        {"v: make vector! [1 2 3] (next v) + 10 v", "make vector! [1 12 13]"},
        {"v: make vector! [1 2 3] v - 10", "make vector! [-9 -8 -7]"},
        // With the scalar first, the scalar is the left operand.
        {"v: make vector! [1 2 3] 10 - v", "make vector! [9 8 7]"},
        {"v: make vector! [1 2 3] 100 / v", "make vector! [100 50 33]"},
        {"v: make vector! [1 2 3] 0 - v", "make vector! [-1 -2 -3]"},
        {"2 * make vector! [1 2]", "make vector! [2 4]"},
        {"1.5 + make vector! [float! 64 [1.0]]", "make vector! [2.5]"},
        {"#\"^A\" + make vector! [char! 32 [#\"a\"]]", "make vector! [#\"b\"]"},
        {"(make vector! [1 2]) + 1.9", "make vector! [2 3]"},
        {"(make vector! [float! 64 [1.0]]) + 50%", "make vector! [1.5]"},
        // Integer results keep their low 32 bits.
        {"v: make vector! [2147483647] v + 1", "make vector! [-2147483648]"},
        // The lowest integer by -1 has no 32-bit quotient; its remainder, 0, is exact.
        {"v: make vector! [-2147483648] v / -1", "!math/overflow"},
        {"v: make vector! [-2147483648] remainder v -1", "make vector! [0]"},
        {"(make vector! [7 12]) and 6", "make vector! [6 4]"},
        {"(make vector! [1 2]) or 4", "make vector! [5 6]"},
        {"(make vector! [3]) xor 1", "make vector! [2]"},
        {"remainder make vector! [float! 64 [5.5]] 2", "make vector! [1.5]"},
        {"(make vector! [float! 64 [1.0]]) / 0", "make vector! [1.#INF]"},
        {"(make vector! [1 2 3]) / 0", "!math/zero-divide"},
        {"remainder make vector! [1] 0", "!math/zero-divide"},
        {"(make vector! [1 2]) + 1e20", "!math/overflow"},
        {"(make vector! [char! 32 [#\"a\"]]) + 2000000", "!math/overflow"},
        {"(make vector! [float! 64 [1.0]]) and 1", "!script/cannot-use"},
        // Float elements follow the float! rules, scalar and element by element: an infinite
        // divisor leaves the dividend, a dividend that is not finite gives NaN.
        {"remainder make vector! [float! 64 [5.5 -2.0]] 1.#INF", "make vector! [5.5 -2.0]"},
        {"remainder 1.#INF make vector! [float! 32 [2.0]]", "make vector! [float! 32 [1.#NaN]]"},
        {"remainder (make vector! [float! 64 [7.5 1.0]]) make vector! [float! 32 [2.0 1.#INF]]",
         "make vector! [1.5 1.0]"},
        {"(make vector! [float! 64 [1.0]]) xor make vector! [float! 64 [1.0]]", "!script/cannot-use"},
        {"(make vector! [1 2]) + make vector! [float! 64 [1.0]]", "!script/not-same-type"},
        {"(make vector! [float! 64 [1.0]]) + #\"a\"", "!internal/not-done"},
    });
}

TEST(Vector, AppendInsertChange) {
    expect_cases({
        {"v: make vector! [1 2 3] append v 4", "make vector! [1 2 3 4]"},
        {"v: make vector! [1 2 3] append next v [4 5]", "make vector! [2 3 4 5]"},
        {"v: make vector! [1 2 3] insert v [4 5]", "make vector! [1 2 3]"},
        {"v: make vector! [1 2 3] insert v [4 5] v", "make vector! [4 5 1 2 3]"},
        {"v: make vector! [1 2 3] insert next v 9 v", "make vector! [1 9 2 3]"},
        {"v: make vector! [1 2 3] append/dup v 9 3", "make vector! [1 2 3 9 9 9]"},
        {"v: make vector! [1 2 3] append/dup v [7 8] 2", "make vector! [1 2 3 7 8 7 8]"},
        {"v: make vector! [1 2 3] append/part v [4 5 6] 2", "make vector! [1 2 3 4 5]"},
        {"v: make vector! [1 2 3] append v []", "make vector! [1 2 3]"},
        {"v: make vector! [1 2 3] change v [8 9] v", "make vector! [8 9 3]"},
        {"v: make vector! [1 2 3] change v [8 9]", "make vector! [3]"},
        {"v: make vector! [1 2 3] change/part v [8 9] 1 v", "make vector! [8 9 2 3]"},
        {"v: make vector! [1 2 3] change/part v [] 2 v", "make vector! [3]"},
        {"v: make vector! [1 2 3] change/dup v 0 2 v", "make vector! [0 0 3]"},
        {"v: make vector! [1 2 3] change skip v 2 [7 8 9] v", "make vector! [1 2 7 8 9]"},
        {"v: make vector! [1 2 3] v: skip v 5 change v [9] head v", "make vector! [1 2 3 9]"},
        // Values are converted where nothing is lost, refused otherwise.
        {"v: make vector! [float! 64 [1.0]] append v 2", "make vector! [1.0 2.0]"},
        {"v: make vector! [char! 8 [#\"a\"]] append v 98", "make vector! [char! 8 [#\"a\" #\"b\"]]"},
        {"v: make vector! [1] append v #\"a\"", "make vector! [1 97]"},
        {"v: make vector! [1 2 3] append v 1.5", "!script/invalid-arg"},
        {"v: make vector! [percent! [10%]] append v 0.5", "!script/invalid-arg"},
        {"v: make vector! [char! 8 [#\"a\"]] append v -1", "!script/out-of-range"},
        {"v: make vector! [1 2 3] append v \"x\"", "!script/invalid-type"},
        {"v: make vector! [1 2 3] insert/only v [1]", "!script/invalid-type"},
        // A refused value leaves the vector as it was.
        {"v: make vector! [1 2] try [append v [3 \"x\"]] v", "make vector! [1 2]"},
        {"v: make vector! [1 2] try [change v [3 4.5]] v", "make vector! [1 2]"},
    });
}

TEST(Vector, SeriesActionsOverEveryWidth) {
    expect_cases({
        {"v: make vector! [integer! 16 [1 2 3]] find v 2", "make vector! [integer! 16 [2 3]]"},
        {"v: make vector! [char! 8 [#\"a\" #\"^(E9)\"]] index? find v #\"^(E9)\"", "2"},
        {"v: make vector! [float! 64 [1.0 2.0 3.0]] select v 2.0", "3.0"},
        {"v: make vector! [float! 64 [3.0 1.0 2.0]] sort v", "make vector! [1.0 2.0 3.0]"},
        {"v: make vector! [percent! [50% 10%]] sort v", "make vector! [10% 50%]"},
        {"v: make vector! [integer! 8 [3 -1 2]] sort v", "make vector! [integer! 8 [-1 2 3]]"},
        {"v: make vector! [float! 32 [1.0 2.0]] reverse v", "make vector! [float! 32 [2.0 1.0]]"},
        {"v: make vector! [float! 64 [1.5 2.5]] take v", "1.5"},
        {"v: make vector! [float! 64 [1.5 2.5]] take/last v v", "make vector! [1.5]"},
        {"v: make vector! [integer! 16 [1 2 3]] copy/part next v 1", "make vector! [integer! 16 [2]]"},
        {"v: make vector! [1 2 3] clear next v v", "make vector! [1]"},
        {"v: make vector! [1 2 3] remove next v v", "make vector! [1 3]"},
        {"length? next make vector! [float! 64 [1.0 2.0]]", "1"},
        {"log: copy [] o: make object! [v: make vector! [1 2] on-deep-change*: func [owner word target action new "
         "index part] [append log reduce [action index part]]] append o/v 3 insert o/v [7 8] change o/v 5 log",
         "[append 2 1 appended 2 1 insert 0 2 inserted 0 2 change 0 1 changed 0 1]"},
        // The handler is given the value put in, before and after the change.
        {"log: copy [] o: make object! [v: make vector! [1 2] on-deep-change*: func [owner word target action new "
         "index part] [append/only log reduce [action :new]]] append o/v 3 insert/dup o/v [7 8] 2 "
         "change/part o/v 5 3 log",
         "[[append 3] [appended 3] [insert [7 8]] [inserted [7 8]] [change 5] [changed 5]]"},
    });
}

TEST(Vector, RandomPutsMatchAModel) {
    // append, insert and change (with /part and /dup) at random positions of a 16-bit vector.
    std::mt19937 rng(5);
    std::vector<int64_t> model;
    ASSERT_FALSE(kel_test::run("v: make vector! [integer! 16 []]").error);
    for (int step = 0; step < 300; step++) {
        int pos = model.empty() ? 0 : int(rng() % (model.size() + 1));
        int n = int(rng() % 4), dup = 1 + int(rng() % 3), kind = int(rng() % 3);
        std::vector<int64_t> values;
        std::string block("[");
        for (int k = 0; k < n; k++) {
            int64_t x = int64_t(rng() % 60000) - 30000;
            values.push_back(x);
            block += ' ';
            block += std::to_string(x);
        }
        block += ']';
        std::string code("v: head v ");
        std::vector<int64_t> written;
        for (int d = 0; d < dup; d++) written.insert(written.end(), values.begin(), values.end());
        if (kind == 0) {
            code += "append/dup v ";
            model.insert(model.end(), written.begin(), written.end());
        } else if (kind == 1) {
            code += "insert/dup skip v " + std::to_string(pos) + " ";
            model.insert(model.begin() + pos, written.begin(), written.end());
        } else {
            int part = int(rng() % 4);
            code += "change/part/dup skip v " + std::to_string(pos) + " ";
            int removed = std::min<int>(part, int(model.size()) - pos);
            model.erase(model.begin() + pos, model.begin() + pos + removed);
            model.insert(model.begin() + pos, written.begin(), written.end());
            block += ' ';
            block += std::to_string(part);
        }
        code += block;
        code += ' ';
        code += std::to_string(dup);
        ASSERT_FALSE(kel_test::run(code).error) << code;
        Cell v = tv::get("v");
        ASSERT_EQ(size_t(vector::rs_length_q(&v)), model.size()) << code;
    }
    Cell v = tv::get("v");
    for (size_t i = 0; i < model.size(); i++) {
        Cell e;
        vector::get_value(vector::rs_head(&v) + i * 2, 2, TYPE_INTEGER, &e);
        ASSERT_EQ(int_of(&e), model[i]) << "element " << i;
    }
}
