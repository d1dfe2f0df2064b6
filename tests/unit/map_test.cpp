// map!: key rules, lookups with /case and /same, holes left by remove and revived by put,
// path access, copies, extend and the foreach step, checked also against a model of random puts
// and removals.
#include "datatypes/map.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "datatypes/block.h"
#include "runtime/collector.h"
#include "tests/support/errors.h"
#include "tests/support/kel_cases.h"
#include "tests/support/value_builders.h"

using kel_test::eval;
using kel_test::expect_cases;

TEST(Map, KeysAndLookups) {
    expect_cases({
        // Words of every kind are one key, stored as a set-word.
        {"m: make map! [a 1 \"B\" 2] reduce [select m 'a select m to set-word! \"a\" select m to lit-word! \"a\" "
         "select m to get-word! \"a\"]",
         "[1 1 1 1]"},
        {"m: make map! [a 1 \"B\" 2] reduce [select m \"b\" select/case m \"b\" select/case m \"B\"]", "[2 none 2]"},
        {"m: make map! [a 1] reduce [m/A select/case m 'A]", "[1 none]"},
        {"m: make map! [a 1] put/case m 'A 2 reduce [length? m m/a select/case m 'A]", "[2 1 2]"},
        {"m: make map! [/a 1 a 2] reduce [select m /a select m 'a]", "[1 2]"},
        {"m: make map! [1 one 2.5 two #\"c\" three 1x2 four] reduce [m/1 select m 2.5 select m #\"c\" select m 1x2]",
         "[one two three four]"},
        {"m: make map! [1 one] select m 1.0", "none"},
        {"m: make map! [a 1] reduce [find m 'a find m 'z find/same m 'a]", "[a none a]"},
        {"m: make map! [a 1 a 2] reduce [length? m m/a]", "[1 2]"},
        // A map literal merges only keys that are strictly equal: a molded map whose keys differ
        // only in letter case loads back with all of them.
        {"m: #[a 1 A 2 a: 3 \"k\" 4 \"k\" 5 \"K\" 6] "
         "reduce [length? m select/case m 'a select/case m 'A select/case m \"k\" select/case m \"K\"]",
         "[4 3 2 5 6]"},
        // A text key is a copy of its own: changing the text it came from, or a key handed out,
        // leaves the map as it was.
        {"s: \"key\" m: make map! reduce [s 1] append s \"x\" select m \"key\"", "1"},
        {"s: \"key\" m: make map! [] put m s 1 append s \"x\" select m \"key\"", "1"},
        {"m: make map! [\"a\" 1] k: find m \"a\" append k \"x\" select m \"a\"", "1"},
        {"m: make map! [\"a\" 1] k: pick reflect m 'words 1 append k \"x\" select m \"a\"", "1"},
    });
}

TEST(Map, HolesAndRevival) {
    expect_cases({
        {"m: make map! [a 1 b 2 c 3] remove/key m 'b reduce [length? m select m 'b reflect m 'words]", "[2 none [a c]]"},
        // put revives a removed entry in its old position.
        {"m: make map! [a 1 b 2 c 3] remove/key m 'b put m 'b 9 reflect m 'body", "[\n    a: 1\n    b: 9\n    c: 3\n]"},
        {"m: make map! [a 1 b 2 c 3] remove/key m 'b m/b: 4 reflect m 'values", "[1 4 3]"},
        {"m: make map! [a 1 b 2] remove/key m 'a remove/key m 'a length? m", "1"},
        // remove looks strictly.
        {"m: make map! [a 1] remove/key m 'A length? m", "1"},
        {"m: make map! [a 1 b 2] remove/key m 'a mold m", "\"#[^/    b: 2^/]\""},
        {"m: make map! [a 1 b 2] remove/key m 'a form m", "\"b: 2\""},
        {"m: make map! [a 1 b 2] remove/key m 'a m = make map! [b 2]", "true"},
        {"m: make map! [a 1 b 2] clear m reduce [length? m m/a mold m]", "[0 none \"#[]\"]"},
        {"m: make map! [a 1 b 2] clear m m/c: 3 m", "#[\n    c: 3\n]"},
    });
}

TEST(Map, MakeToAndErrors) {
    expect_cases({
        {"make map! 0", "#[]"},
        {"length? make map! 10", "0"},
        {"make map! [a 1 b 2]", "#[\n    a: 1\n    b: 2\n]"},
        {"make map! make hash! [a 1]", "#[\n    a: 1\n]"},
        {"make map! pick [(a 1)] 1", "#[\n    a: 1\n]"},
        {"to map! [a 1]", "#[\n    a: 1\n]"},
        {"m: make map! [a 1] n: make map! m put n 'b 2 length? m", "1"},
        {"m: make map! [a 1] n: to map! m put n 'b 2 length? m", "1"},
        {"make map! [a 1 b]", "!script/invalid-arg"},
        {"make map! -1", "!script/out-of-range"},
        {"to map! 3", "!script/bad-to-arg"},
        {"make map! \"a\"", "!script/bad-to-arg"},
        {"make map! [[1] 2]", "!script/invalid-path"},
        {"m: make map! [] put m [1] 5", "!script/expect-arg"},
        {"m: make map! [] m/([1]): 2", "!script/invalid-path"},
        {"m: make map! [] k: make object! [] m/(k): 2", "!script/invalid-path"},
        {"remove make map! [a 1]", "!script/missing-arg"},
        {"reflect make map! [a 1] 'spec", "!internal/not-done"},
    });
}

TEST(Map, TextForms) {
    expect_cases({
        {"mold make map! [a 1 b 2]", "{#[^/    a: 1^/    b: 2^/]}"},
        {"form make map! [a 1 b 2]", "\"a: 1^/b: 2\""},
        {"mold/flat make map! [a 1 b 2]", "\"#[a: 1 b: 2]\""},
        {"mold/only make map! [a 1 b 2]", "\"a: 1^/b: 2\""},
        {"mold make map! []", "\"#[]\""},
        {"mold [#[a 1 b #[c 2]]]", "{[#[^/    a: 1^/    b: #[^/        c: 2^/    ]^/]]}"},
        {"m: make map! [a 1] m/self: m mold/flat m", "\"#[a: 1 self: #[...]]\""},
    });
}

TEST(Map, PathsCopiesAndReflect) {
    expect_cases({
        {"m: make map! [a 1] reduce [m/a m/b]", "[1 none]"},
        {"m: make map! [a 1] m/b: 5 m", "#[\n    a: 1\n    b: 5\n]"},
        {"m: make map! [a 1] m/a: 5", "5"},
        {"m: make map! [a 1] m/(\"x\"): 5 m/(\"X\")", "5"},
        {"m: make map! [a #[b 1]] m/a/b: 5 m/a/b", "5"},
        {"m: make map! [a 1] put m 'a 2", "2"},
        {"m: make map! [a 1 b 2] n: copy m put n 'c 3 reduce [length? m length? n]", "[2 3]"},
        {"m: make map! [a 1 b 2] n: copy m remove/key n 'a reduce [m/a n/a]", "[1 none]"},
        {"m: make map! [a [1] b 2] n: copy m append n/a 2 m/a", "[1 2]"},
        {"m: make map! [a [1] b 2] n: copy/deep m append n/a 2 m/a", "[1]"},
        {"m: make map! [a \"x\" b [1]] n: copy/types m string! append n/a \"y\" append n/b 2 reduce [m/a m/b]",
         "[\"x\" [1 2]]"},
        {"m: make map! [a \"x\" b [1]] n: copy/types/deep m block! append n/b 2 m/b", "[1]"},
        {"reflect make map! [a 1 b 2] 'words", "[a b]"},
        {"reflect make map! [a 1 b 2] 'values", "[1 2]"},
        {"reflect make map! [a 1 b 2] 'body", "[\n    a: 1\n    b: 2\n]"},
        {"to block! make map! [a 1]", "[\n    a: 1\n]"},
        {"(make map! [a 1 b 2]) = make map! [b 2 a 1]", "true"},
        {"(make map! [a 1 b 2]) = make map! [b 2 a 3]", "false"},
        {"(make map! [a \"x\"]) = make map! [a \"X\"]", "true"},
        {"(make map! [a \"x\"]) == make map! [a \"X\"]", "false"},
        {"m: make map! [a 1 b 2] extend m [b 3 c 4] m", "#[\n    a: 1\n    b: 3\n    c: 4\n]"},
        {"m: make map! [a 1] extend m [b 2 c] m", "!script/invalid-arg"},
        {"r: copy [] foreach [k v] make map! [a 1 \"s\" 2] [append r reduce [k v]] r", "[a 1 \"s\" 2]"},
    });
}

namespace {

Cell global(const char* name) { return tv::get(name); }

}  // namespace

TEST(Map, ExtendAndForeachStepInCpp) {
    ASSERT_FALSE(kel_test::run("m: make map! [a 1 b 2 c 3] remove/key m 'b w: [k v]").error);
    Cell m = global("m");
    collector::Root keep_m(&m);
    Cell spec = tv::blk({tv::wrd("A"), tv::integer(10), tv::str("t"), tv::integer(20)});
    collector::Root keep_spec(&spec);
    map::extend(&m, &spec, false);
    EXPECT_EQ(map::count(&m), 3);  // a changed, t added
    EXPECT_EQ(kel_test::eval("reduce [m/a m/(\"t\")]"), "[10 20]");
    map::extend(&m, &spec, true);  // A differs from a under /case
    EXPECT_EQ(map::count(&m), 4);
    Cell odd = tv::blk({tv::wrd("x")});
    EXPECT_TRUE(is_error(catch_error([&] { map::extend(&m, &odd, false); }), err::script::invalid_arg));

    // The step skips the hole of b and leaves words without an entry at none.
    Cell cursor = global("m");
    Cell words = global("w");
    collector::Root keep_cursor(&cursor);
    collector::Root keep_words(&words);
    std::vector<std::string> seen;
    while (map::foreach_next(&cursor, &words, 2)) seen.push_back(kel_test::eval("reduce [k v]"));
    EXPECT_EQ(seen, (std::vector<std::string>{"[a 10]", "[c 3]", "[\"t\" 20]", "[A 10]"}));
    // Three words: key, value and the next entry's key.
    Cell three = tv::blk({tv::wrd("k"), tv::wrd("v"), tv::wrd("z")});
    collector::Root keep_three(&three);
    cursor = global("m");
    ASSERT_TRUE(map::foreach_next(&cursor, &three, 3));
    EXPECT_EQ(kel_test::eval("reduce [k v z]"), "[a 10 c]");
    ASSERT_TRUE(map::foreach_next(&cursor, &three, 3));
    EXPECT_EQ(kel_test::eval("reduce [k v z]"), "[\"t\" 20 A]");
    EXPECT_FALSE(map::foreach_next(&cursor, &three, 3));
    EXPECT_EQ(kel_test::eval("reduce [k v z]"), "[none none none]");
    Cell bad = tv::blk({tv::integer(1)});
    cursor = global("m");
    EXPECT_TRUE(is_error(catch_error([&] { map::foreach_next(&cursor, &bad, 1); }), err::script::invalid_arg));
}

TEST(Map, RandomPutsAndRemovalsMatchAModel) {
    // Entries keep the order in which their keys first came, removed ones revive in place, and
    // lookups agree with the model all along.
    struct Entry {
        int key;
        int value;
        bool live;
    };
    std::vector<Entry> model;
    std::mt19937 rng(3);
    ASSERT_FALSE(kel_test::run("m: make map! 0").error);
    for (int step = 0; step < 400; step++) {
        int key = int(rng() % 40), value = int(rng() % 1000);
        // Integer keys and word keys alternate by parity, so both kinds share the table.
        std::string k = key % 2 ? std::to_string(key) : "'k" + std::to_string(key);
        auto it = std::find_if(model.begin(), model.end(), [&](const Entry& e) { return e.key == key; });
        if (rng() % 3 == 0) {
            ASSERT_FALSE(kel_test::run("remove/key m " + k).error);
            if (it != model.end()) it->live = false;
        } else {
            ASSERT_FALSE(kel_test::run("put m " + k + " " + std::to_string(value)).error);
            if (it != model.end()) {
                it->value = value;
                it->live = true;
            } else {
                model.push_back({key, value, true});
            }
        }
        int probe = int(rng() % 40);
        std::string pk = probe % 2 ? std::to_string(probe) : "'k" + std::to_string(probe);
        auto pt = std::find_if(model.begin(), model.end(), [&](const Entry& e) { return e.key == probe; });
        std::string expected = pt != model.end() && pt->live ? std::to_string(pt->value) : "none";
        ASSERT_EQ(kel_test::eval("select m " + pk), expected) << "step " << step;
    }
    std::string words = "[", values = "[";
    int live = 0;
    for (const Entry& e : model) {
        if (!e.live) continue;
        if (live++) {
            words += ' ';
            values += ' ';
        }
        if (e.key % 2 == 0) words += 'k';
        words += std::to_string(e.key);
        values += std::to_string(e.value);
    }
    words += ']';
    values += ']';
    EXPECT_EQ(kel_test::eval("reflect m 'words"), words);
    EXPECT_EQ(kel_test::eval("reflect m 'values"), values);
    EXPECT_EQ(kel_test::eval("length? m"), std::to_string(live));
}
