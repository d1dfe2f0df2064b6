// Series and block actions, driven through the action dispatch with values built in C++.
#include "datatypes/block.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "datatypes/error.h"
#include "datatypes/function.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "evaluator/actions.h"
#include "evaluator/interpreter.h"
#include "runtime/cycles.h"
#include "runtime/hashtable.h"
#include "runtime/runtime.h"
#include "runtime/stack.h"
#include "tests/support/held.h"

// Until errors are values, fire leaves the id here; afterwards the caught error value tells it.
namespace fire_carrier {
extern ErrorId last __attribute__((weak));
}

namespace {

// ---- Building values ----

Cell none() {
    Cell c;
    set_cell(&c, TYPE_NONE);
    return c;
}

Cell integer(int32_t v) {
    Cell c;
    set_cell(&c, TYPE_INTEGER, static_cast<uint32_t>(v));
    return c;
}

Cell pair(int32_t x, int32_t y) {
    Cell c;
    set_cell(&c, TYPE_PAIR, 0, static_cast<uint32_t>(x), static_cast<uint32_t>(y));
    return c;
}

Cell character(uint32_t cp) {
    Cell c;
    set_cell(&c, TYPE_CHAR, cp);
    return c;
}

Cell datatype_of(int type) {
    Cell c;
    datatype::make_at(&c, type);
    tv::hold(c);
    return c;
}

Cell word_of(const char* text, uint8_t type = TYPE_WORD) {
    Cell c;
    word::load(&c, text);
    c.set_type(type);
    return c;
}

// Builds a block from a small notation: words, set-words (a:), integers, [ ] and ( ) nesting,
// @none for none!, @block! style datatypes; a value that begins a line carries the new-line
// marker, as loaded code does.
struct Builder {
    const char* p;

    Cell parse_block(uint8_t type, char close) {
        Cell b;
        block::make_new(&b, 4, type);
        tv::hold(b);
        bool line_start = false;
        while (*p) {
            char ch = *p;
            if (ch == '\n') {
                line_start = true;
                p++;
                continue;
            }
            if (ch == ' ') {
                p++;
                continue;
            }
            if (ch == close) {
                p++;
                return b;
            }
            Cell v;
            if (ch == '[') {
                p++;
                v = parse_block(TYPE_BLOCK, ']');
            } else if (ch == '(') {
                p++;
                v = parse_block(TYPE_PAREN, ')');
            } else {
                const char* start = p;
                while (*p && *p != ' ' && *p != '\n' && *p != ']' && *p != ')' && *p != '[' && *p != '(') p++;
                std::string tok(start, p);
                if (tok == "@none") {
                    v = none();
                } else if (tok[0] == '@') {
                    int id = 0;
                    for (int t = 1; t <= datatype::top_id; t++)
                        if (datatype::names[t].name && tok.substr(1) == datatype::names[t].name) id = t;
                    EXPECT_NE(id, 0) << tok;
                    v = datatype_of(id);
                } else if (std::isdigit(static_cast<unsigned char>(tok[0])) || tok[0] == '-') {
                    v = integer(std::stoi(tok));
                } else if (tok.back() == ':') {
                    v = word_of(tok.substr(0, tok.size() - 1).c_str(), TYPE_SET_WORD);
                } else {
                    v = word_of(tok.c_str());
                }
            }
            if (line_start) v.header |= cell_flag::newline;
            line_start = false;
            block::append_cell(b.node(), &v);
        }
        return b;
    }
};

Cell blk(const char* text) {
    Builder b{text};
    return b.parse_block(TYPE_BLOCK, 0);
}

Cell at_index(Cell v, int32_t index) {
    v.set_index(index);
    return v;
}

// A text series of the given unit holding the codepoints.
Cell text(const std::u32string& s, uint32_t unit, uint8_t type = TYPE_STRING) {
    Node n = tv::hold_node(memory::alloc_series(static_cast<int32_t>(s.size()) + 1, static_cast<int>(unit), 0));
    SeriesBuf* b = memory::nodes[n];
    for (size_t i = 0; i < s.size(); i++) string::put_char(b->data() + i * unit, unit, s[i]);
    b->tail = static_cast<uint32_t>(s.size()) * unit;
    Cell c;
    set_cell(&c, type, 0, n);
    return tv::hold(c);
}

std::u32string codepoints(const Cell& v) {
    SeriesBuf* b = memory::nodes[v.node()];
    std::u32string out;
    for (uint32_t i = 0; i < b->length(); i++)
        out += static_cast<char32_t>(string::get_char(b->at_head() + i * b->unit(), b->unit()));
    return out;
}

// ---- Running actions ----

struct Ref {
    int index;        // refinement position in the action's spec
    const Cell* arg;  // its argument, or null for a flag
};

// Runs an action through its entry point, as a call from script would.
Cell run(int action, std::vector<Cell> args, std::vector<Ref> refs = {}) {
    int n = actions::refinement_count[action - 1];
    std::vector<int32_t> r(size_t(n > 0 ? n : 1), -1);
    std::vector<Cell> all = args;
    for (const Ref& ref : refs) {
        if (ref.arg) {
            r[size_t(ref.index)] = static_cast<int32_t>(all.size());
            all.push_back(*ref.arg);
        } else {
            r[size_t(ref.index)] = 0;
        }
    }
    std::vector<const Cell*> ptrs;
    for (Cell& c : all) ptrs.push_back(&c);
    Cell out;
    actions::call(&out, action, ptrs.data(), static_cast<int>(ptrs.size()), r.data());
    return tv::hold(out);
}

// Runs an implementation directly in a native frame (for series types whose own rows are
// registered elsewhere).
Cell run_fn(ActionFn fn, std::vector<Cell> args, std::vector<Ref> refs = {}, int refinements = 4) {
    std::vector<int32_t> r(size_t(refinements), -1);
    std::vector<Cell> all = args;
    for (const Ref& ref : refs) {
        if (ref.arg) {
            r[size_t(ref.index)] = static_cast<int32_t>(all.size());
            all.push_back(*ref.arg);
        } else {
            r[size_t(ref.index)] = 0;
        }
    }
    stack::mark_named(stack::body_symbol, FRAME_NATIVE);
    stack::arguments = stack::top;
    for (Cell& c : all) stack::push(&c);
    fn(r.data());
    Cell out = *stack::arguments;
    stack::pop_frame();
    return tv::hold(out);
}

// The catalog name of the error a call raises ("" when it raises none).
template <class F>
std::string error_of(F&& f) {
    stack::Saved saved = stack::save();
    set_cell(&stack::pending_error, TYPE_NONE);
    Cell w = word_of("try");
    stack::mark_try(&w);
    ErrorId id{255, 255};
    uint32_t code = catch_frame(codes::error, [&] {
        f();
        stack::pop_frame();
    });
    if (code == 0) return "";
    stack::restore(saved);
    runtime::sys.thrown = 0;
    if (stack::pending_error.type() == TYPE_ERROR)
        id = error::id_of(&stack::pending_error);
    else if (&fire_carrier::last)
        id = fire_carrier::last;
    for (int k = 0; k < catalog::category_count; k++) {
        const catalog::Category& cat = catalog::categories[k];
        if (cat.code / 100 != id.category) continue;
        if (id.index >= 2 && id.index - 2 < cat.count) return cat.ids[id.index - 2].name;
    }
    return "?";
}

std::string molded(const Cell& v, std::vector<Ref> refs = {}) {
    Cell s = run(ACT_MOLD, {v}, refs);
    return string::to_utf8(&s);
}

std::string formed(const Cell& v) {
    Cell s = run(ACT_FORM, {v});
    return string::to_utf8(&s);
}

bool same_text(const Cell& a, const char* expected) { return molded(a) == expected; }

int32_t idx(const Cell& v) { return v.index(); }

}  // namespace

// ---- Positions ----

TEST(Series, PositionsClampAtBothEnds) {
    Cell b = blk("a b c d");
    struct Case {
        int action;
        int32_t from;
        int32_t arg;
        int32_t expected;
    } cases[] = {
        {ACT_AT, 0, 1, 0},  {ACT_AT, 0, 0, 0},   {ACT_AT, 2, -1, 1},  {ACT_AT, 1, 3, 3},    {ACT_AT, 0, 99, 4},
        {ACT_AT, 2, -9, 0}, {ACT_AT, 2, 0, 2},  {ACT_SKIP, 1, 2, 3}, {ACT_SKIP, 1, 9, 4}, {ACT_SKIP, 2, -5, 0}, {ACT_SKIP, 2, 0, 2},
    };
    for (const Case& c : cases) {
        Cell r = run(c.action, {at_index(b, c.from), integer(c.arg)});
        EXPECT_EQ(idx(r), c.expected) << "action " << c.action << " from " << c.from << " by " << c.arg;
    }
    EXPECT_EQ(idx(run(ACT_BACK, {b})), 0);
    EXPECT_EQ(idx(run(ACT_NEXT, {at_index(b, 4)})), 4);
    EXPECT_EQ(idx(run(ACT_NEXT, {at_index(b, 3)})), 4);
    EXPECT_EQ(idx(run(ACT_TAIL, {b})), 4);
    EXPECT_EQ(idx(run(ACT_HEAD, {at_index(b, 3)})), 0);
    EXPECT_EQ(run(ACT_INDEX_Q, {at_index(b, 2)}).i1(), 3);
    EXPECT_EQ(error_of([&] { run(ACT_AT, {b, word_of("x")}); }), "invalid-arg");
    EXPECT_EQ(error_of([&] { run(ACT_SKIP, {b, none()}); }), "invalid-arg");
}

TEST(Series, HeadPastShrunkTail) {
    Cell b = blk("a b c d e");
    Cell far = at_index(b, 4);
    run(ACT_CLEAR, {at_index(b, 2)});
    EXPECT_EQ(run(ACT_LENGTH_Q, {far}).i1(), 0);
    EXPECT_EQ(run(ACT_TAIL_Q, {far}).data1, 1u);
    EXPECT_EQ(run(ACT_PICK, {far, integer(1)}).type(), TYPE_NONE);
    // pick counts from the head but checks against the buffer: -3 from index 4 is the second cell.
    EXPECT_TRUE(same_text(run(ACT_PICK, {far, integer(-3)}), "b"));
    EXPECT_TRUE(same_text(run(ACT_COPY, {far}), "[]"));
    EXPECT_EQ(run(ACT_FIND, {far, word_of("a")}).type(), TYPE_NONE);
    EXPECT_TRUE(same_text(b, "[a b]"));
    // insert and append at a head past the tail land at the tail.
    Cell r = run(ACT_INSERT, {far, word_of("z")});
    EXPECT_TRUE(same_text(b, "[a b z]"));
    EXPECT_EQ(idx(r), 3);
}

TEST(Series, PickAndPokeRanges) {
    Cell b = blk("a b c d");
    Cell at2 = at_index(b, 2);
    struct Case {
        int32_t index;
        const char* expected;  // null: none
    } picks[] = {{1, "c"}, {2, "d"}, {3, nullptr}, {0, nullptr}, {-1, "b"}, {-2, "a"}, {-3, nullptr}};
    for (const Case& c : picks) {
        Cell r = run(ACT_PICK, {at2, integer(c.index)});
        if (c.expected)
            EXPECT_TRUE(same_text(r, c.expected)) << c.index;
        else
            EXPECT_EQ(r.type(), TYPE_NONE) << c.index;
    }
    Cell x = word_of("x");
    EXPECT_TRUE(same_text(run(ACT_POKE, {at2, integer(-1), x}), "x"));
    EXPECT_TRUE(same_text(b, "[a x c d]"));
    for (int32_t bad : {0, 3, -3, 100})
        EXPECT_EQ(error_of([&] { run(ACT_POKE, {at2, integer(bad), x}); }), "out-of-range") << bad;
    EXPECT_TRUE(same_text(b, "[a x c d]"));
}

TEST(Series, BlockAndParenShareTheSeriesActions) {
    for (int a : {ACT_NEXT, ACT_BACK, ACT_HEAD, ACT_TAIL, ACT_AT, ACT_SKIP, ACT_PICK, ACT_POKE, ACT_REMOVE}) {
        EXPECT_EQ(datatype::slot(TYPE_BLOCK, a), datatype::slot(TYPE_SERIES, a)) << a;
        EXPECT_EQ(datatype::slot(TYPE_PAREN, a), datatype::slot(TYPE_SERIES, a)) << a;
    }
    EXPECT_NE(datatype::slot(TYPE_BLOCK, ACT_TRIM), nullptr);
    EXPECT_EQ(datatype::slot(TYPE_PAREN, ACT_TRIM), nullptr);
    EXPECT_EQ(datatype::slot(TYPE_PAREN, ACT_SORT), datatype::slot(TYPE_BLOCK, ACT_SORT));
    EXPECT_NE(datatype::slot(TYPE_PAREN, ACT_MOLD), datatype::slot(TYPE_BLOCK, ACT_MOLD));
    Cell p = blk("a (b c)");
    EXPECT_EQ(molded(p), "[a (b c)]");
    Cell inner = run(ACT_PICK, {p, integer(2)});
    EXPECT_EQ(inner.type(), TYPE_PAREN);
    EXPECT_TRUE(same_text(run(ACT_NEXT, {inner}), "(c)"));
}

// ---- Removing ----

TEST(Series, RemoveWithPartAndKey) {
    struct Case {
        const char* start;
        int32_t index;
        int32_t part;  // -100: no /part
        const char* after;
    } cases[] = {
        {"a b c d", 0, -100, "[b c d]"}, {"a b c d", 1, 2, "[a d]"},  {"a b c d", 1, 0, "[a b c d]"},
        {"a b c d", 1, -1, "[a b c d]"}, {"a b c d", 2, 99, "[a b]"}, {"a b c d", 4, -100, "[a b c d]"},
    };
    for (const Case& c : cases) {
        Cell b = blk(c.start);
        Cell part = integer(c.part);
        Cell r = c.part == -100 ? run(ACT_REMOVE, {at_index(b, c.index)})
                                : run(ACT_REMOVE, {at_index(b, c.index)}, {{0, &part}});
        EXPECT_EQ(molded(b), c.after) << c.start << " @" << c.index << " /part " << c.part;
        EXPECT_EQ(idx(r), c.index);
    }
    // A position in the same series as /part.
    Cell b = blk("a b c d e");
    Cell upto = at_index(b, 3);
    run(ACT_REMOVE, {at_index(b, 1)}, {{0, &upto}});
    EXPECT_EQ(molded(b), "[a d e]");
    Cell other = blk("x");
    EXPECT_EQ(error_of([&] { run(ACT_REMOVE, {b}, {{0, &other}}); }), "invalid-refine-arg");

    // /key removes the key and what follows it, answering the series at the key.
    Cell k = blk("a p b q c r");
    Cell key = word_of("b");
    Cell r = run(ACT_REMOVE, {k}, {{1, &key}});
    EXPECT_EQ(molded(k), "[a p c r]");
    EXPECT_EQ(idx(r), 2);
    Cell absent = word_of("q");
    EXPECT_EQ(run(ACT_REMOVE, {k}, {{1, &absent}}).type(), TYPE_NONE);
    Cell one = integer(1);
    Cell key_a = word_of("a");
    run(ACT_REMOVE, {k}, {{0, &one}, {1, &key_a}});
    EXPECT_EQ(molded(k), "[c r]");
}

TEST(Series, ClearTrimAndReverse) {
    Cell b = blk("a b c d");
    run(ACT_CLEAR, {at_index(b, 1)});
    EXPECT_EQ(molded(b), "[a]");

    Cell t = blk("@none a @none @none b c @none");
    run(ACT_TRIM, {t});
    EXPECT_EQ(molded(t), "[a b c]");

    Cell r = blk("a b c d e f");
    run(ACT_REVERSE, {at_index(r, 1)});
    EXPECT_EQ(molded(r), "[a f e d c b]");
    Cell two = integer(2), three = integer(3), four = integer(4), zero = integer(0);
    Cell s = blk("a p b q c r");
    run(ACT_REVERSE, {s}, {{1, &two}});
    EXPECT_EQ(molded(s), "[c r b q a p]");
    run(ACT_REVERSE, {s}, {{0, &four}, {1, &two}});
    EXPECT_EQ(molded(s), "[b q c r a p]");
    EXPECT_EQ(error_of([&] { run(ACT_REVERSE, {s}, {{1, &four}}); }), "invalid-refine-arg");
    EXPECT_EQ(error_of([&] { run(ACT_REVERSE, {s}, {{1, &zero}}); }), "out-of-range");
    run(ACT_REVERSE, {s}, {{0, &three}});
    EXPECT_EQ(molded(s), "[c q b r a p]");
}

// ---- Copying and taking ----

TEST(Series, CopyPartVariants) {
    Cell b = blk("a b c d e");
    Cell at2 = at_index(b, 2);
    Cell two = integer(2), minus2 = integer(-2), minus9 = integer(-9), big = integer(99);
    Cell range = pair(2, 4), back_range = pair(-1, 1), empty_range = pair(3, 2);
    Cell upto = at_index(b, 4), before = at_index(b, 0);
    struct Case {
        const Cell* part;
        const char* expected;
    } cases[] = {
        {nullptr, "[c d e]"}, {&two, "[c d]"},        {&minus2, "[a b]"},   {&minus9, "[a b]"}, {&big, "[c d e]"},
        {&range, "[d e]"},    {&back_range, "[b c]"}, {&empty_range, "[]"}, {&upto, "[c d]"},   {&before, "[a b]"},
    };
    for (const Case& c : cases) {
        Cell r = c.part ? run(ACT_COPY, {at2}, {{0, c.part}}) : run(ACT_COPY, {at2});
        EXPECT_EQ(molded(r), c.expected) << (c.part ? molded(*c.part) : "none");
        EXPECT_EQ(idx(r), 0);
        EXPECT_NE(r.node(), b.node());
    }
    Cell w = word_of("x");
    EXPECT_EQ(error_of([&] { run(ACT_COPY, {b}, {{0, &w}}); }), "invalid-refine-arg");

    // A copy carries the new-line marker of the value copied, and no owner.
    Cell marked = b;
    marked.header |= cell_flag::newline;
    Cell r = run(ACT_COPY, {marked});
    EXPECT_TRUE(r.header & cell_flag::newline);
}

TEST(Series, CopyDeepAndCycles) {
    Cell b = blk("a [b [c]] (d)");
    Cell r = run(ACT_COPY, {b}, {{1, nullptr}});
    EXPECT_EQ(molded(r), "[a [b [c]] (d)]");
    Cell inner = run(ACT_PICK, {r, integer(2)});
    Cell orig_inner = run(ACT_PICK, {b, integer(2)});
    EXPECT_NE(inner.node(), orig_inner.node());
    Cell shallow = run(ACT_COPY, {b});
    EXPECT_EQ(run(ACT_PICK, {shallow, integer(2)}).node(), orig_inner.node());

    // A block containing itself: mold and form write the cycle marker, deep copy refuses.
    Cell self = blk("1 2");
    run(ACT_APPEND, {self, self}, {{1, nullptr}});
    EXPECT_EQ(run(ACT_LENGTH_Q, {self}).i1(), 3);
    EXPECT_EQ(error_of([&] { run(ACT_COPY, {self}, {{1, nullptr}}); }), "no-cycle");
    EXPECT_EQ(cycles::depth(), 0);
    Cell words = blk("a");
    run(ACT_APPEND, {words, words}, {{1, nullptr}});
    EXPECT_EQ(molded(words), "[a [...]]");
    EXPECT_EQ(formed(words), "a ...");
    Cell paren = blk("a");
    paren.set_type(TYPE_PAREN);
    run(ACT_APPEND, {paren, paren}, {{1, nullptr}});
    EXPECT_EQ(molded(paren), "(a (...))");
    EXPECT_EQ(cycles::depth(), 0);

    // copy/types copies only the nested series of the given type.
    Cell nested = blk("[a] (b)");
    Cell kind = datatype_of(TYPE_PAREN);
    Cell typed = run(ACT_COPY, {nested}, {{2, &kind}});
    EXPECT_EQ(run(ACT_PICK, {typed, integer(1)}).node(), run(ACT_PICK, {nested, integer(1)}).node());
    EXPECT_NE(run(ACT_PICK, {typed, integer(2)}).node(), run(ACT_PICK, {nested, integer(2)}).node());
}

TEST(Series, Take) {
    Cell b = blk("a b c d e");
    EXPECT_TRUE(same_text(run(ACT_TAKE, {b}), "a"));
    EXPECT_TRUE(same_text(run(ACT_TAKE, {b}, {{2, nullptr}}), "e"));
    EXPECT_EQ(molded(b), "[b c d]");
    Cell two = integer(2);
    Cell r = run(ACT_TAKE, {b}, {{0, &two}, {2, nullptr}});
    EXPECT_EQ(molded(r), "[c d]");
    EXPECT_EQ(molded(b), "[b]");

    Cell c = blk("a b c d e");
    Cell minus2 = integer(-2), zero = integer(0), nine = integer(9);
    r = run(ACT_TAKE, {at_index(c, 3)}, {{0, &minus2}});
    EXPECT_EQ(molded(r), "[b c]");
    EXPECT_EQ(molded(c), "[a d e]");
    r = run(ACT_TAKE, {at_index(c, 1)}, {{0, &zero}});
    EXPECT_EQ(molded(r), "[]");
    EXPECT_EQ(molded(c), "[a d e]");
    r = run(ACT_TAKE, {c}, {{0, &minus2}, {2, nullptr}});
    EXPECT_EQ(molded(r), "[]");
    EXPECT_EQ(molded(c), "[a d e]");
    r = run(ACT_TAKE, {at_index(c, 1)}, {{0, &nine}});
    EXPECT_EQ(molded(r), "[d e]");
    EXPECT_EQ(molded(c), "[a]");
    Cell empty = blk("");
    EXPECT_EQ(run(ACT_TAKE, {empty}).type(), TYPE_NONE);
    EXPECT_EQ(run(ACT_TAKE, {at_index(c, 1)}).type(), TYPE_NONE);

    // /deep copies the series inside what was taken.
    Cell d = blk("[x] y");
    Cell inner = run(ACT_PICK, {d, integer(1)});
    Cell taken = run(ACT_TAKE, {d}, {{1, nullptr}});
    EXPECT_EQ(molded(taken), "[x]");
    EXPECT_NE(taken.node(), inner.node());
}

// ---- Adding ----

TEST(Block, AppendInsertAndTheirAnswers) {
    Cell b = blk("a b");
    Cell r = run(ACT_APPEND, {at_index(b, 1), blk("c d")});
    EXPECT_EQ(molded(b), "[a b c d]");
    EXPECT_EQ(idx(r), 0);
    r = run(ACT_APPEND, {b, blk("e")}, {{1, nullptr}});
    EXPECT_EQ(molded(b), "[a b c d [e]]");
    r = run(ACT_INSERT, {at_index(b, 1), blk("x y")});
    EXPECT_EQ(molded(b), "[a x y b c d [e]]");
    EXPECT_EQ(idx(r), 3);

    // An empty block contributes nothing: the series comes back as it was given.
    r = run(ACT_APPEND, {at_index(b, 2), blk("")});
    EXPECT_EQ(idx(r), 2);
    r = run(ACT_INSERT, {at_index(b, 2), blk("")});
    EXPECT_EQ(idx(r), 2);
    EXPECT_EQ(molded(b), "[a x y b c d [e]]");

    Cell c = blk("a");
    Cell three = integer(3), one = integer(1), zero = integer(0);
    run(ACT_APPEND, {c, blk("x y")}, {{2, &three}});
    EXPECT_EQ(molded(c), "[a x y x y x y]");
    run(ACT_INSERT, {c, blk("p q r")}, {{0, &one}, {2, &three}});
    EXPECT_EQ(molded(c), "[p p p a x y x y x y]");
    r = run(ACT_INSERT, {at_index(c, 1), word_of("z")}, {{2, &zero}});
    EXPECT_EQ(molded(c), "[p p p a x y x y x y]");

    // A block appended or inserted into itself contributes the cells it had.
    Cell s = blk("a b");
    run(ACT_APPEND, {s, s});
    EXPECT_EQ(molded(s), "[a b a b]");
    run(ACT_INSERT, {at_index(s, 1), s});
    EXPECT_EQ(molded(s), "[a a b a b b a b]");
    Cell t = blk("a b c");
    run(ACT_INSERT, {t, at_index(t, 1)}, {{2, &three}});
    EXPECT_EQ(molded(t), "[b c b c b c a b c]");

    Cell huge = integer(0x7FFFFFFF);
    EXPECT_EQ(error_of([&] { run(ACT_APPEND, {t, blk("a b")}, {{2, &huge}}); }), "no-memory");
    EXPECT_EQ(molded(t), "[b c b c b c a b c]");
}

TEST(Block, Change) {
    struct Case {
        const char* start;
        int32_t index;
        const char* value;
        bool only;
        int32_t part;  // -100: none
        int32_t dup;   // 0: none
        const char* after;
        int32_t answer;
    } cases[] = {
        {"a b c d", 1, "x", false, -100, 0, "[a x c d]", 2},
        {"a b c d", 1, "x y z w v", false, -100, 0, "[a x y z w v]", 6},
        {"a b c d", 1, "x", false, 2, 0, "[a x d]", 2},
        {"a b c d", 1, "x y", true, -100, 0, "[a [x y] c d]", 2},
        {"a b c d", 0, "x", false, -100, 3, "[x x x d]", 3},
        {"a b c d", 1, "", false, 2, 0, "[a d]", 1},
        {"a b c d", 4, "x", false, -100, 0, "[a b c d x]", 5},
    };
    for (const Case& c : cases) {
        Cell b = blk(c.start);
        Cell v = c.only ? blk(c.value) : (std::strchr(c.value, ' ') || !*c.value ? blk(c.value) : word_of(c.value));
        Cell part = integer(c.part), dup = integer(c.dup);
        std::vector<Ref> refs;
        if (c.part != -100) refs.push_back({0, &part});
        if (c.only) refs.push_back({1, nullptr});
        if (c.dup) refs.push_back({2, &dup});
        Cell r = run(ACT_CHANGE, {at_index(b, c.index), v}, refs);
        EXPECT_EQ(molded(b), c.after) << c.start << " / " << c.value;
        EXPECT_EQ(idx(r), c.answer) << c.start << " / " << c.value;
    }
    // A value taken from the block itself is read from where the change left it.
    Cell s = blk("a b c d e");
    run(ACT_CHANGE, {at_index(s, 1), at_index(s, 3)});
    EXPECT_EQ(molded(s), "[a d e d e]");
    Cell t = blk("a b c d e");
    run(ACT_CHANGE, {at_index(t, 3), t});
    EXPECT_EQ(molded(t), "[a b c a b c d e]");
}

TEST(Block, PutAndSwap) {
    Cell b = blk("a 1 b 2");
    Cell three = integer(3);
    Cell r = run(ACT_PUT, {b, word_of("B"), three});
    EXPECT_EQ(r.i1(), 3);
    EXPECT_EQ(run(ACT_PICK, {b, integer(4)}).i1(), 3);
    run(ACT_PUT, {b, word_of("c"), word_of("x")});
    EXPECT_EQ(run(ACT_LENGTH_Q, {b}).i1(), 6);
    EXPECT_TRUE(same_text(run(ACT_PICK, {b, integer(6)}), "x"));
    // /case: a key differing in case is absent.
    run(ACT_PUT, {b, word_of("A"), word_of("y")}, {{0, nullptr}});
    EXPECT_EQ(run(ACT_LENGTH_Q, {b}).i1(), 8);
    // A key that is the last cell gets the value appended after it.
    Cell k = blk("a b k");
    run(ACT_PUT, {k, word_of("k"), word_of("v")});
    EXPECT_EQ(molded(k), "[a b k v]");
    // A block-like key is searched as a sequence.
    Cell seq = blk("a b c d");
    run(ACT_PUT, {seq, blk("a b"), word_of("z")});
    EXPECT_EQ(molded(seq), "[a b z d]");

    Cell x = blk("a b c");
    Cell y = blk("p q");
    EXPECT_EQ(idx(run(ACT_SWAP, {at_index(x, 1), at_index(y, 1)})), 1);
    EXPECT_EQ(molded(x), "[a q c]");
    EXPECT_EQ(molded(y), "[p b]");
    run(ACT_SWAP, {at_index(x, 3), y});
    EXPECT_EQ(molded(x), "[a q c]");
    EXPECT_EQ(error_of([&] { run(ACT_SWAP, {x, word_of("w")}); }), "invalid-arg");
}

// ---- Searching ----

TEST(Block, FindVariants) {
    Cell b = blk("a b c a b d 5 [a b]");
    struct Case {
        const char* what;
        Cell value;
        std::vector<int> flags;  // refinement positions without arguments
        const Cell* part;
        int32_t skip;  // 0: none
        int32_t from;
        int32_t expected;  // -1: none
    };
    Cell two = integer(2), four = integer(4);
    Cell upto = at_index(b, 3);
    std::vector<Case> cases = {
        {"word", word_of("b"), {}, nullptr, 0, 0, 1},
        {"word from later", word_of("b"), {}, nullptr, 0, 2, 4},
        {"sequence", blk("a b d"), {}, nullptr, 0, 0, 3},
        {"nested with only", blk("a b"), {1}, nullptr, 0, 0, 7},
        {"datatype", datatype_of(TYPE_INTEGER), {}, nullptr, 0, 0, 6},
        {"datatype only", datatype_of(TYPE_INTEGER), {1}, nullptr, 0, 0, -1},
        {"case", word_of("B"), {2}, nullptr, 0, 0, -1},
        {"no case", word_of("B"), {}, nullptr, 0, 0, 1},
        {"skip 2 odd positions", word_of("d"), {}, nullptr, 2, 0, -1},
        {"skip 2 hits", word_of("c"), {}, nullptr, 2, 0, 2},
        {"last", word_of("a"), {7}, nullptr, 0, 0, 3},
        {"last sequence", blk("a b"), {7}, nullptr, 0, 0, 3},
        {"reverse", word_of("a"), {8}, nullptr, 0, 3, 0},
        {"reverse from head", word_of("a"), {8}, nullptr, 0, 0, -1},
        {"part count", word_of("d"), {}, &four, 0, 2, 5},
        {"part count short", word_of("d"), {}, &two, 0, 2, -1},
        {"part position includes its cell", word_of("a"), {}, &upto, 0, 1, 3},
        {"last from part limit", word_of("b"), {7}, &upto, 0, 0, 1},
        {"match", word_of("a"), {10}, nullptr, 0, 3, 3},
        {"match misses", word_of("b"), {10}, nullptr, 0, 0, -1},
        {"empty block matches an equal cell", blk(""), {}, nullptr, 0, 0, -1},
    };
    for (Case& c : cases) {
        std::vector<Ref> refs;
        for (int f : c.flags) refs.push_back({f, nullptr});
        if (c.part) refs.push_back({0, c.part});
        Cell skip = integer(c.skip);
        if (c.skip) refs.push_back({6, &skip});
        Cell r = run(ACT_FIND, {at_index(b, c.from), c.value}, refs);
        if (c.expected < 0)
            EXPECT_EQ(r.type(), TYPE_NONE) << c.what;
        else {
            EXPECT_EQ(r.type(), TYPE_BLOCK) << c.what;
            EXPECT_EQ(idx(r), c.expected) << c.what;
        }
    }
    // A sequence whose start matches at the tail is no match.
    EXPECT_EQ(run(ACT_FIND, {blk("x a b"), blk("a b c")}).type(), TYPE_NONE);
    Cell w = word_of("x"), zero = integer(0);
    EXPECT_EQ(error_of([&] { run(ACT_FIND, {b, w}, {{6, &w}}); }), "invalid-refine-arg");
    EXPECT_EQ(error_of([&] { run(ACT_FIND, {b, w}, {{6, &zero}}); }), "out-of-range");
    EXPECT_EQ(error_of([&] { run(ACT_FIND, {b, w}, {{0, &w}}); }), "invalid-refine-arg");
}

TEST(Block, FindTail) {
    Cell b = blk("a b c d e f");
    Cell two = integer(2);
    // A single value forward: the match plus the skip size; backward: the match plus one.
    EXPECT_EQ(idx(run(ACT_FIND, {b, word_of("c")}, {{6, &two}, {9, nullptr}})), 4);
    EXPECT_EQ(idx(run(ACT_FIND, {b, word_of("c")}, {{7, nullptr}, {9, nullptr}})), 3);
    EXPECT_EQ(idx(run(ACT_FIND, {b, blk("b c d")}, {{9, nullptr}})), 4);
    EXPECT_EQ(idx(run(ACT_FIND, {b, word_of("f")}, {{9, nullptr}})), 6);
    EXPECT_EQ(idx(run(ACT_FIND, {b, word_of("e")}, {{6, &two}, {9, nullptr}})), 6);
}

TEST(Block, SelectVariants) {
    Cell b = blk("a 1 b c d [b c] e");
    EXPECT_EQ(run(ACT_SELECT, {b, word_of("a")}).i1(), 1);
    EXPECT_TRUE(same_text(run(ACT_SELECT, {b, blk("b c")}), "d"));
    EXPECT_TRUE(same_text(run(ACT_SELECT, {b, blk("b c")}, {{1, nullptr}}), "e"));
    EXPECT_EQ(run(ACT_SELECT, {b, word_of("e")}).type(), TYPE_NONE);
    EXPECT_EQ(run(ACT_SELECT, {b, word_of("q")}).type(), TYPE_NONE);
    EXPECT_TRUE(same_text(run(ACT_SELECT, {b, datatype_of(TYPE_INTEGER)}), "b"));
    Cell e = blk("[] x");
    EXPECT_TRUE(same_text(run(ACT_SELECT, {e, blk("")}), "x"));
}

TEST(Block, PathAccess) {
    Cell b = blk("Name: n1 name n2 x [p q] 7");
    auto read = [&](const Cell& element, bool case_) {
        Cell out;
        Cell v = b;
        PathStep step{&v, &element, nullptr, nullptr, nullptr, nullptr, -1, case_, false, true, false};
        return *actions::eval_path(step, &out);
    };
    EXPECT_TRUE(same_text(read(word_of("name"), false), "n1"));
    EXPECT_TRUE(same_text(read(word_of("name"), true), "n2"));
    EXPECT_TRUE(same_text(read(integer(2), false), "n1"));
    EXPECT_EQ(read(integer(99), false).type(), TYPE_NONE);
    EXPECT_EQ(read(blk("p q"), false).i1(), 7);
    EXPECT_EQ(read(word_of("missing"), false).type(), TYPE_NONE);

    auto store = [&](const Cell& element, const Cell& value) {
        Cell out;
        Cell v = b;
        PathStep step{&v, &element, &value, nullptr, nullptr, nullptr, -1, false, false, true, false};
        actions::eval_path(step, &out);
    };
    store(word_of("x"), word_of("y"));
    EXPECT_TRUE(same_text(read(word_of("x"), false), "y"));
    store(integer(1), word_of("z"));
    EXPECT_TRUE(same_text(read(integer(1), false), "z"));
    EXPECT_EQ(error_of([&] { store(word_of("missing"), word_of("v")); }), "bad-path-set");
    EXPECT_EQ(error_of([&] { store(integer(8), word_of("v")); }), "out-of-range");
    Cell last = blk("a b k");
    Cell out;
    Cell key = word_of("k"), v = word_of("v");
    PathStep step{&last, &key, &v, nullptr, nullptr, nullptr, -1, false, false, true, false};
    EXPECT_EQ(error_of([&] { actions::eval_path(step, &out); }), "out-of-range");
}

// ---- Molding and forming ----

TEST(Block, MoldLayout) {
    struct Case {
        const char* source;
        std::vector<int> flags;  // mold refinements: 0 /only, 1 /all, 2 /flat
        const char* expected;
    } cases[] = {
        {"a b [c d] (e)", {}, "[a b [c d] (e)]"},
        {"\na\nb", {}, "[\n    a\n    b\n]"},
        {"\na b\nc", {}, "[\n    a b\n    c\n]"},
        {"a\nb", {}, "[a\nb]"},
        {"\na [\nb\nc]", {}, "[\n    a [\n        b\n        c\n    ]\n]"},
        {"\na\nb", {2}, "[a b]"},
        {"\na\nb", {0}, "a\nb"},
        {"a [b c]", {0}, "a [b c]"},
        {"", {}, "[]"},
        {"", {0}, ""},
    };
    for (const Case& c : cases) {
        std::vector<Ref> refs;
        for (int f : c.flags) refs.push_back({f, nullptr});
        EXPECT_EQ(molded(blk(c.source), refs), c.expected) << c.source;
    }
    Cell limit = integer(5);
    EXPECT_EQ(molded(blk("alpha beta gamma"), {{3, &limit}}), "[alph");
}

TEST(Block, FormSeparatesWithSpaces) {
    EXPECT_EQ(formed(blk("a [b c] d")), "a b c d");
    EXPECT_EQ(formed(blk("")), "");
    // A value whose form ends in a tab or a line break is followed by no space.
    Cell b = blk("");
    for (const char32_t* part : {U"a\t", U"b\n", U"c\r", U"d", U"e ", U"f"}) {
        Cell t = text(part, 1);
        block::append_cell(b.node(), &t);
    }
    EXPECT_EQ(formed(b), "a\tb\nc\rd e  f");
}

// ---- Comparing and sorting ----

TEST(Block, Compare) {
    auto cmp = [](const Cell& a, const Cell& b, int op) { return actions::compare_value(&a, &b, op); };
    EXPECT_EQ(cmp(blk(""), blk("a"), COMP_SORT), -1);
    EXPECT_EQ(cmp(blk("a"), blk(""), COMP_SORT), 1);
    EXPECT_EQ(cmp(blk(""), blk(""), COMP_EQUAL), 0);
    EXPECT_EQ(cmp(blk("a b"), blk("A B"), COMP_EQUAL), 0);
    EXPECT_NE(cmp(blk("a b"), blk("A B"), COMP_STRICT_EQUAL), 0);
    EXPECT_EQ(cmp(blk("a b"), blk("a c"), COMP_SORT), -1);
    EXPECT_EQ(cmp(blk("a b"), blk("a b c"), COMP_SORT), -1);
    EXPECT_EQ(cmp(blk("a b"), blk("a b c"), COMP_EQUAL), 1);
    EXPECT_EQ(cmp(blk("a"), blk("a:"), COMP_EQUAL), 0);
    // Cells of unrelated types order by type id: block! (5) before word! (15).
    EXPECT_EQ(cmp(blk("[x]"), blk("x"), COMP_SORT), -1);
    EXPECT_EQ(cmp(blk("a"), blk("a"), COMP_SAME), -1);
    Cell b = blk("a");
    EXPECT_EQ(cmp(b, b, COMP_SAME), 0);
    EXPECT_EQ(cmp(blk("a"), word_of("a"), COMP_EQUAL), -2);
    // Self-containing blocks compare without recursing forever.
    Cell x = blk("a"), y = blk("a");
    run(ACT_APPEND, {x, x}, {{1, nullptr}});
    run(ACT_APPEND, {y, y}, {{1, nullptr}});
    EXPECT_EQ(cmp(x, y, COMP_EQUAL), 0);
    EXPECT_EQ(cycles::depth(), 0);
}

TEST(Block, Sort) {
    struct Case {
        const char* source;
        int32_t from;
        std::vector<int> flags;  // 0 /case 4 /all 5 /reverse 6 /stable
        int32_t skip;
        int32_t compare;  // 0: none
        int32_t part;     // 0: none
        const char* expected;
        int32_t answer;
    } cases[] = {
        {"c a b", 0, {}, 0, 0, 0, "[a b c]", 0},
        {"c a b", 0, {5}, 0, 0, 0, "[c b a]", 0},
        {"x c y a z b", 0, {}, 2, 2, 0, "[y a z b x c]", 0},
        {"b y a x b x", 0, {4}, 2, 0, 0, "[a x b x b y]", 0},
        {"B a b A", 0, {6}, 0, 0, 0, "[a A B b]", 0},
        {"d c b a", 2, {}, 0, 0, -2, "[c d b a]", 0},
        {"d c b a", 1, {}, 0, 0, 2, "[d b c a]", 1},
        {"d c b a", 3, {}, 0, 0, -2, "[d b c a]", 1},
        {"d c b a", 1, {}, 0, 0, -5, "[d c b a]", 0},
        {"[b] a [a]", 0, {}, 0, 0, 0, "[[a] [b] a]", 0},
    };
    for (const Case& c : cases) {
        Cell b = blk(c.source);
        std::vector<Ref> refs;
        for (int f : c.flags) refs.push_back({f, nullptr});
        Cell skip = integer(c.skip), compare = integer(c.compare), part = integer(c.part);
        if (c.skip) refs.push_back({1, &skip});
        if (c.compare) refs.push_back({2, &compare});
        if (c.part) refs.push_back({3, &part});
        Cell r = run(ACT_SORT, {at_index(b, c.from)}, refs);
        EXPECT_EQ(molded(b), c.expected) << c.source;
        EXPECT_EQ(idx(r), c.answer) << c.source;
    }
    Cell b = blk("c a b d");
    Cell three = integer(3), two = integer(2), one = integer(1), w = word_of("w");
    EXPECT_EQ(error_of([&] { run(ACT_SORT, {b}, {{4, nullptr}}); }), "bad-refines");
    EXPECT_EQ(error_of([&] { run(ACT_SORT, {b}, {{2, &one}}); }), "bad-refines");
    EXPECT_EQ(error_of([&] { run(ACT_SORT, {b}, {{1, &two}, {2, &one}, {4, nullptr}}); }), "bad-refines");
    EXPECT_EQ(error_of([&] { run(ACT_SORT, {b}, {{1, &two}, {2, &three}}); }), "out-of-range");
    EXPECT_EQ(error_of([&] { run(ACT_SORT, {b}, {{1, &three}}); }), "invalid-refine-arg");
    EXPECT_EQ(error_of([&] { run(ACT_SORT, {b}, {{2, &w}}); }), "invalid-refine-arg");
    EXPECT_EQ(molded(b), "[c a b d]");
}

TEST(Block, SortStableKeepsEqualKeysInOrder) {
    // Many records with few distinct keys: the stable sort keeps the payload order per key.
    Cell b = blk("");
    const char* keys[] = {"c", "a", "b", "A", "C", "B"};
    for (int i = 0; i < 300; i++) {
        Cell k = word_of(keys[i % 6]);
        block::append_cell(b.node(), &k);
        Cell n = integer(i);
        block::append_cell(b.node(), &n);
    }
    Cell two = integer(2);
    run(ACT_SORT, {b}, {{1, &two}, {6, nullptr}});
    int32_t last_key = -1, last_payload = -1;
    for (int i = 0; i < 300; i++) {
        Cell k = run(ACT_PICK, {b, integer(2 * i + 1)});
        Cell n = run(ACT_PICK, {b, integer(2 * i + 2)});
        int32_t key = symbol::resolve(static_cast<int32_t>(k.data2));
        if (key == last_key) {
            EXPECT_GT(n.i1(), last_payload);
        }
        last_key = key;
        last_payload = n.i1();
    }
}

// ---- Moving, shuffling ----

TEST(Series, MoveWithinAndBetween) {
    struct Case {
        const char* start;
        int32_t origin;
        int32_t target;
        int32_t part;  // 0: none
        const char* expected;
    } cases[] = {
        {"a b c d e", 0, 2, 1, "[b c a d e]"}, {"a b c d e", 0, 5, 2, "[c d e a b]"},
        {"a b c d e", 3, 1, 2, "[a d e b c]"}, {"a b c d e", 1, 1, 1, "[a b c d e]"},
        {"a b c d e", 0, 4, 3, "[a b c d e]"}, {"a b c d e", 4, 0, 0, "[e a b c d]"},
    };
    for (const Case& c : cases) {
        Cell b = blk(c.start);
        Cell part = integer(c.part);
        std::vector<Ref> refs;
        if (c.part) refs.push_back({0, &part});
        run(ACT_MOVE, {at_index(b, c.origin), at_index(b, c.target)}, refs);
        EXPECT_EQ(molded(b), c.expected) << c.origin << " -> " << c.target;
    }
    Cell from = blk("a b c"), to = blk("x y");
    Cell two = integer(2);
    Cell r = run(ACT_MOVE, {at_index(from, 1), at_index(to, 1)}, {{0, &two}});
    EXPECT_EQ(molded(from), "[a]");
    EXPECT_EQ(molded(to), "[x b c y]");
    EXPECT_EQ(r.node(), to.node());
    Cell s = text(U"abc", 1);
    EXPECT_EQ(error_of([&] { run(ACT_MOVE, {to, s}); }), "move-bad");
    EXPECT_EQ(error_of([&] { run(ACT_MOVE, {to, word_of("w")}); }), "expect-arg");
    EXPECT_EQ(molded(to), "[x b c y]");
}

TEST(Series, RandomShufflesInPlace) {
    Cell b = blk("a b c d e f g h");
    std::string before = molded(b);
    run(ACT_RANDOM, {b});
    std::string after = molded(b);
    std::sort(before.begin(), before.end());
    std::sort(after.begin(), after.end());
    EXPECT_EQ(before, after);
    Cell picked = run(ACT_RANDOM, {b}, {{2, nullptr}});
    EXPECT_EQ(picked.type(), TYPE_WORD);
    EXPECT_EQ(run(ACT_RANDOM, {blk("")}, {{2, nullptr}}).type(), TYPE_NONE);
    // Seeding with the same series gives the same shuffle.
    Cell x = blk("a b c d e f g h i j"), y = blk("a b c d e f g h i j");
    run(ACT_RANDOM, {blk("s")}, {{0, nullptr}});
    run(ACT_RANDOM, {x});
    run(ACT_RANDOM, {blk("s")}, {{0, nullptr}});
    run(ACT_RANDOM, {y});
    EXPECT_EQ(molded(x), molded(y));
}

// ---- Other units ----

TEST(Series, TextAndBinaryUnits) {
    for (uint32_t unit : {1u, 2u, 4u}) {
        SCOPED_TRACE(unit);
        Cell s = text(U"hello", unit);
        Cell r = run_fn(series::pick, {s, integer(2)});
        EXPECT_EQ(r.type(), TYPE_CHAR);
        EXPECT_EQ(r.data1, uint32_t('e'));
        run_fn(series::poke, {s, integer(1), character(0x1F600)});
        EXPECT_EQ(codepoints(s), U"\U0001F600ello");
        EXPECT_EQ(memory::nodes[s.node()]->unit(), 4u);
        EXPECT_EQ(error_of([&] { run_fn(series::poke, {s, integer(1), word_of("w")}); }), "invalid-arg");

        Cell t = text(U"abcdef", unit);
        Cell two = integer(2), minus2 = integer(-2), three = integer(3);
        run_fn(series::remove, {at_index(t, 1)}, {{0, &two}});
        EXPECT_EQ(codepoints(t), U"adef");
        run_fn(series::reverse, {t});
        EXPECT_EQ(codepoints(t), U"feda");
        Cell c = run_fn(series::copy, {at_index(t, 3)}, {{0, &minus2}});
        EXPECT_EQ(codepoints(c), U"ed");
        EXPECT_EQ(memory::nodes[c.node()]->unit(), unit);
        Cell taken = run_fn(series::take, {t});
        EXPECT_EQ(taken.type(), TYPE_CHAR);
        EXPECT_EQ(taken.data1, uint32_t('f'));
        taken = run_fn(series::take, {t}, {{0, &three}, {2, nullptr}});
        EXPECT_EQ(taken.type(), TYPE_STRING);
        EXPECT_EQ(codepoints(taken), U"eda");
        EXPECT_EQ(codepoints(t), U"");
    }
    // Strings of different units move through a conversion of their codepoints; without /part
    // one character moves.
    Cell narrow = text(U"xy", 1), wide = text(U"\u0100\u0101", 2);
    run_fn(series::move, {wide, at_index(narrow, 1)}, {}, 1);
    EXPECT_EQ(codepoints(narrow), U"x\u0100y");
    EXPECT_EQ(codepoints(wide), U"\u0101");
    Cell two_units = integer(2);
    narrow = text(U"xy", 1);
    wide = text(U"\u0100\u0101", 2);
    run_fn(series::move, {wide, at_index(narrow, 1)}, {{0, &two_units}}, 1);
    EXPECT_EQ(codepoints(narrow), U"x\u0100\u0101y");
    EXPECT_EQ(codepoints(wide), U"");

    Cell bin = text(U"\x01\x02\x03", 1, TYPE_BINARY);
    Cell r = run_fn(series::pick, {bin, integer(3)});
    EXPECT_EQ(r.type(), TYPE_INTEGER);
    EXPECT_EQ(r.i1(), 3);
    run_fn(series::poke, {bin, integer(1), integer(255)});
    EXPECT_EQ(run_fn(series::pick, {bin, integer(1)}).i1(), 255);
    EXPECT_EQ(error_of([&] { run_fn(series::poke, {bin, integer(1), integer(256)}); }), "out-of-range");
    EXPECT_EQ(error_of([&] { run_fn(series::poke, {bin, integer(1), integer(-129)}); }), "out-of-range");
    Cell wide2 = text(U"ab", 2);
    EXPECT_EQ(error_of([&] { run_fn(series::move, {bin, wide2}, {}, 1); }), "move-bad");
    Cell s = text(U"ab", 1);
    Cell three_units = integer(3);
    EXPECT_EQ(error_of([&] { run_fn(series::move, {bin, s}, {{0, &three_units}}, 1); }), "");
    EXPECT_EQ(codepoints(s),
              U"\xFF\x02\x03"
              U"ab");
}

// ---- hash! tables follow their blocks ----

TEST(Block, HashTableFollowsChanges) {
    Cell b = blk("a b c d e f");
    Cell h = b;
    h.set_type(TYPE_HASH);
    h.data3 = hashtable::init(8, &b, hashtable::kHash, 0);
    auto find_at = [&](const char* w) {
        Cell r = run_fn(block::find, {h, word_of(w)}, {}, 11);
        return r.type() == TYPE_NONE ? -1 : r.index();
    };
    EXPECT_EQ(find_at("d"), 3);
    Cell two = integer(2);
    run_fn(series::remove, {at_index(h, 1)}, {{0, &two}}, 2);
    EXPECT_EQ(find_at("d"), 1);
    EXPECT_EQ(find_at("b"), -1);
    run_fn(block::insert, {h, blk("x y")}, {}, 3);
    EXPECT_EQ(find_at("d"), 3);
    EXPECT_EQ(find_at("y"), 1);
    run_fn(series::poke, {h, integer(1), word_of("z")}, {}, 0);
    EXPECT_EQ(find_at("x"), -1);
    EXPECT_EQ(find_at("z"), 0);
    run_fn(series::reverse, {h}, {}, 2);
    EXPECT_EQ(find_at("z"), 5);
    EXPECT_EQ(find_at("f"), 0);
}

// ---- Set operations ----

TEST(Block, SetOperations) {
    struct Case {
        int op;
        const char* a;
        const char* b;
        const char* expected;
    } cases[] = {
        {OP_UNIQUE, "a b a c b", "", "[a b c]"},     {OP_UNION, "a b", "b c a d", "[a b c d]"},
        {OP_INTERSECT, "a b c d", "d b x", "[b d]"}, {OP_EXCLUDE, "a b c d", "d b x", "[a c]"},
        {OP_DIFFERENCE, "a b c", "c d", "[a b d]"},  {OP_UNION, "a [x] b", "[x] c", "[a [x] b c]"},
    };
    for (const Case& c : cases) {
        stack::mark_named(stack::body_symbol, FRAME_NATIVE);
        stack::arguments = stack::top;
        Cell a = blk(c.a), b = blk(c.b);
        stack::push(&a);
        stack::push(&b);
        block::do_set_op(false, nullptr, c.op);
        Cell r = *stack::arguments;
        stack::pop_frame();
        EXPECT_EQ(r.type(), TYPE_BLOCK);
        EXPECT_EQ(molded(r), c.expected) << c.a << " / " << c.b;
    }
}

// ---- Making ----

TEST(Block, MakeAndTo) {
    Cell proto = datatype_of(TYPE_BLOCK);
    Cell src = blk("a b c");
    Cell made = tv::hold(*actions::make(&proto, &src));
    EXPECT_EQ(molded(made), "[a b c]");
    EXPECT_NE(made.node(), src.node());
    proto = datatype_of(TYPE_PAREN);
    Cell n = integer(10);
    made = tv::hold(*actions::make(&proto, &n));
    EXPECT_EQ(made.type(), TYPE_PAREN);
    EXPECT_EQ(molded(made), "()");
    proto = datatype_of(TYPE_BLOCK);
    Cell w = word_of("w");
    EXPECT_EQ(error_of([&] {
                  Cell p = proto;
                  actions::make(&p, &w);
                  tv::hold(p);
              }),
              "bad-make-arg");
    Cell p2 = datatype_of(TYPE_BLOCK);
    EXPECT_EQ(molded(*actions::to(&p2, &w)), "[w]");
    Cell ts;
    set_cell(&ts, TYPE_TYPESET);
    interpreter::typeset_set(&ts, TYPE_WORD);
    interpreter::typeset_set(&ts, TYPE_BLOCK);
    Cell p3 = datatype_of(TYPE_BLOCK);
    EXPECT_EQ(molded(*actions::to(&p3, &ts)), "[block! word!]");
}

TEST(Block, SortWithComparisonFunction) {
    auto logic = [](bool b) {
        Cell c;
        set_cell(&c, TYPE_LOGIC, b ? 1 : 0);
        return c;
    };
    auto fn = [](const Cell& result_or_word) {
        Cell spec = blk("x y");
        Cell body = blk("");
        block::append_cell(body.node(), &result_or_word);
        Cell f;
        function::make_at(&f, &spec, &body, 0);
        tv::hold(f);
        return f;
    };
    auto sorted = [&](Cell b, const Cell& f, bool reverse) {
        std::vector<Ref> refs = {{2, &f}, {6, nullptr}};
        if (reverse) refs.push_back({5, nullptr});
        run(ACT_SORT, {b}, refs);
        std::string out;
        for (int32_t i = 1; i <= run(ACT_LENGTH_Q, {b}).i1(); i++)
            out += run(ACT_PICK, {b, integer(i)}).data1 ? 'T' : 'F';
        return out;
    };
    auto pairs = [&] {
        Cell b = blk("");
        Cell f = logic(false), t = logic(true);
        block::append_cell(b.node(), &f);
        block::append_cell(b.node(), &t);
        return b;
    };
    // The function receives the second record first: answering its first argument orders by it.
    EXPECT_EQ(sorted(pairs(), fn(word_of("x")), false), "TF");
    EXPECT_EQ(sorted(pairs(), fn(word_of("x")), true), "FT");
    EXPECT_EQ(sorted(pairs(), fn(word_of("y")), false), "FT");
    // Answers as orders: true, a positive number and anything else put the first record after
    // the second; false, none, zero or a negative number keep the order.
    Cell minus = integer(-3), plus = integer(4), neg_f, pos_f, zero_f, nan_f, nothing = none();
    set_cell(&neg_f, TYPE_FLOAT);
    neg_f.set_f(-0.5);
    set_cell(&pos_f, TYPE_FLOAT);
    pos_f.set_f(2.5);
    set_cell(&zero_f, TYPE_FLOAT);
    zero_f.set_f(0.0);
    set_cell(&nan_f, TYPE_FLOAT);
    nan_f.set_f(std::nan(""));
    struct Case {
        Cell answer;
        const char* expected;
    } cases[] = {{logic(true), "TF"}, {logic(false), "FT"}, {minus, "FT"}, {plus, "TF"},    {neg_f, "FT"},
                 {pos_f, "TF"},       {zero_f, "FT"},       {nan_f, "FT"}, {nothing, "FT"}, {blk("a"), "TF"}};
    for (const Case& c : cases) EXPECT_EQ(sorted(pairs(), fn(c.answer), false), c.expected) << molded(c.answer);

    // With /all the two whole records come as blocks.
    Cell b = blk("b y a x");
    Cell two = integer(2);
    Cell f = fn(blk(""));
    run(ACT_SORT, {b}, {{1, &two}, {2, &f}, {4, nullptr}, {6, nullptr}});
    EXPECT_EQ(molded(b), "[a x b y]");
}

TEST(Block, CellSeriesRoutines) {
    Cell b = blk("a b c d");
    Cell out;
    EXPECT_TRUE(same_text(*block::select_value(&b, &(out = word_of("B")), &out), "c"));
    EXPECT_EQ(block::select_value(&b, &(out = word_of("d")), &out)->type(), TYPE_NONE);
    Cell w = word_of("x");
    EXPECT_TRUE(same_text(*block::select_word(&b, &(out = word_of("A")), false, &out), "b"));
    EXPECT_EQ(block::select_word(&b, &w, false, &out)->type(), TYPE_NONE);

    Cell at2 = at_index(b, 2);
    block::insert_value(&at2, &w, false, true);
    EXPECT_EQ(molded(b), "[a b x c d]");
    EXPECT_EQ(idx(at2), 3);
    block::insert_value(&at2, &w, true, false);
    EXPECT_EQ(molded(b), "[x a b x c d]");
    EXPECT_TRUE(block::remove_value(&b, &w, false));
    EXPECT_TRUE(block::remove_value(&b, &w, false));
    EXPECT_FALSE(block::remove_value(&b, &w, false));
    EXPECT_EQ(molded(b), "[a b c d]");

    Cell end = at_index(b, 4);
    block::remove_last(&end);
    EXPECT_EQ(idx(end), 3);
    EXPECT_EQ(molded(b), "[a b c]");
    Cell other = blk("p q");
    block::append_block(b.node(), &other);
    block::insert_block(&at2, &other);
    EXPECT_EQ(molded(b), "[a b c p q p q]");
    out = at_index(b, 3);
    block::clear_at_head(&out);
    EXPECT_EQ(molded(b), "[a b c]");
    block::set_tail(b.node(), 1);
    EXPECT_EQ(molded(b), "[a]");

    // clone copies nested blocks (and parens and paths with the second flag) but keeps headers.
    Cell n = blk("[x] (y)");
    Cell* first = block::rs_head(&n);
    first->header |= cell_flag::newline;
    Cell* c = block::clone(&n, true, false);
    Cell copy = *c;
    stack::pop(1);
    EXPECT_NE(block::rs_head(&copy)->node(), block::rs_head(&n)->node());
    EXPECT_TRUE(block::rs_head(&copy)->header & cell_flag::newline);
    EXPECT_EQ((block::rs_head(&copy) + 1)->node(), (block::rs_head(&n) + 1)->node());
    c = block::clone(&n, true, true);
    copy = *c;
    stack::pop(1);
    EXPECT_NE((block::rs_head(&copy) + 1)->node(), (block::rs_head(&n) + 1)->node());
}

TEST(Block, DeepNestingStopsAtTheCycleStackLimit) {
    auto nest = [](int levels) {
        Cell outer = blk("a");
        Cell inner = outer;
        for (int i = 0; i < levels; i++) {
            Cell next = blk("b");
            block::append_cell(inner.node(), &next);
            inner = next;
        }
        return outer;
    };
    Cell ok = nest(990);
    EXPECT_EQ(molded(ok).size(), size_t(990 * 4 + 3));
    Cell copied = run(ACT_COPY, {ok}, {{1, nullptr}});
    EXPECT_EQ(molded(copied), molded(ok));
    Cell deep = nest(1200);
    EXPECT_EQ(error_of([&] { molded(deep); }), "too-deep");
    EXPECT_EQ(error_of([&] { run(ACT_COPY, {deep}, {{1, nullptr}}); }), "too-deep");
    EXPECT_EQ(cycles::depth(), 0);
}

// Random edits of a block and of a hash! against a plain model: contents must agree after every
// step, and the hash! table must find every word at its first position.
TEST(Block, RandomEditsAgreeWithAModel) {
    std::mt19937 rng(7);
    const char* names[] = {"a", "b", "c", "d", "e", "f", "g", "h"};
    for (bool hashed : {false, true}) {
        SCOPED_TRACE(hashed ? "hash!" : "block!");
        Cell b = blk("");
        std::vector<int> model;
        if (hashed) {
            b.set_type(TYPE_HASH);
            b.data3 = hashtable::init(8, &b, hashtable::kHash, 0);
        }
        auto word_cell = [&](int k) { return word_of(names[k]); };
        auto contents = [&] {
            std::vector<int> out;
            SeriesBuf* s = memory::nodes[b.node()];
            for (uint32_t i = 0; i < s->length(); i++) {
                const Cell& c = cells_head(s)[i];
                std::string w = symbol::to_string(static_cast<int32_t>(c.data2));
                out.push_back(w[0] - 'a');
            }
            return out;
        };
        for (int step = 0; step < 1500; step++) {
            int len = static_cast<int>(model.size());
            int at = len ? static_cast<int>(rng() % (len + 1)) : 0;
            int k = static_cast<int>(rng() % 8);
            int count = static_cast<int>(rng() % 4);
            Cell pos = at_index(b, at);
            Cell n = integer(count);
            switch (rng() % 6) {
                case 0: {
                    run_fn(block::insert, {pos, word_cell(k)}, {}, 3);
                    model.insert(model.begin() + at, k);
                    break;
                }
                case 1: {
                    Cell two = blk("");
                    Cell w1 = word_cell(k), w2 = word_cell((k + 1) % 8);
                    block::append_cell(two.node(), &w1);
                    block::append_cell(two.node(), &w2);
                    run_fn(block::append, {pos, two}, {}, 3);
                    model.push_back(k);
                    model.push_back((k + 1) % 8);
                    break;
                }
                case 2: {
                    run_fn(series::remove, {pos}, {{0, &n}}, 2);
                    if (count > 0 && at < len)
                        model.erase(model.begin() + at, model.begin() + std::min(len, at + count));
                    break;
                }
                case 3: {
                    run_fn(block::change, {pos, word_cell(k)}, {}, 3);
                    if (at < len)
                        model[size_t(at)] = k;
                    else
                        model.push_back(k);
                    break;
                }
                case 4: {
                    if (at < len) {
                        int target = static_cast<int>(rng() % (len + 1));
                        Cell t = at_index(b, target);
                        Cell one = integer(1);
                        run_fn(series::move, {pos, t}, {{0, &one}}, 1);
                        if (target != at) {
                            int v = model[size_t(at)];
                            if (target > at) {
                                model.erase(model.begin() + at);
                                int dest = target == len ? len - 1 : target;
                                model.insert(model.begin() + dest, v);
                            } else {
                                model.erase(model.begin() + at);
                                model.insert(model.begin() + target, v);
                            }
                        }
                    }
                    break;
                }
                default: {
                    if (at < len) {
                        int upto = std::min(len - at, count + 1);
                        Cell part = integer(upto);
                        run_fn(series::reverse, {pos}, {{0, &part}}, 2);
                        std::reverse(model.begin() + at, model.begin() + at + upto);
                    }
                    break;
                }
            }
            ASSERT_EQ(contents(), model) << "step " << step;
            if (hashed) {
                for (int w = 0; w < 8; w++) {
                    Cell r = run_fn(block::find, {b, word_cell(w)}, {}, 11);
                    auto it = std::find(model.begin(), model.end(), w);
                    int expected = it == model.end() ? -1 : static_cast<int>(it - model.begin());
                    ASSERT_EQ(r.type() == TYPE_NONE ? -1 : r.index(), expected)
                        << "step " << step << " word " << names[w];
                }
            }
        }
    }
}

#if __has_include("loading/lexer.h")
TEST(Block, ToBlockScansText) {
    auto to_type = [](int type, const char* source) {
        Cell s;
        string::load_at(&s, source);
        tv::hold(s);
        Cell p = datatype_of(type);
        return *actions::to(&p, &s);
    };
    Cell r = to_type(TYPE_BLOCK, "a [b c]\n d:");
    EXPECT_EQ(r.type(), TYPE_BLOCK);
    EXPECT_EQ(molded(r), "[a [b c]\nd:]");
    r = to_type(TYPE_PAREN, "x y");
    EXPECT_EQ(molded(r), "(x y)");
    EXPECT_EQ(molded(to_type(TYPE_BLOCK, "")), "[]");
    EXPECT_EQ(error_of([&] { to_type(TYPE_BLOCK, "a [b"); }).empty(), false);
}
#endif
