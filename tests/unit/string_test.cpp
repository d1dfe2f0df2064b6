// string! and issue!: buffers and widening, the actions driven through the action dispatch, text
// forms, sorting, searching and trimming, with values built in C++.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "../support/fired.h"
#include "../support/text_buffers.h"
#include "../support/value_builders.h"
#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/function.h"
#include "datatypes/issue.h"
#include "datatypes/object.h"
#include "datatypes/ownership.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "evaluator/actions.h"
#include "evaluator/natives.h"
#include "runtime/hashtable.h"
#include "runtime/stack.h"

namespace {

using test_support::cps_of;
using test_support::fired;
using test_support::make_text;

// ---- Values ----

Cell str(const char* utf8, uint8_t type = TYPE_STRING) {
    Cell c;
    string::load_at(&c, utf8);
    tv::hold(c);
    c.set_type(type);
    return c;
}

// A string of the given unit holding the codepoints, its head `index` characters in.
Cell text(const std::u32string& s, uint32_t unit, int32_t index = 0) {
    std::vector<uint32_t> cps(s.begin(), s.end());
    Cell c;
    string::make_at(&c, make_text(cps, unit, 4), index);
    tv::hold(c);
    return c;
}

std::string utf8(const Cell& c) {
    Cell whole = c;
    whole.set_index(0);
    return string::to_utf8(&whole);
}
std::string from_head(const Cell& c) { return string::to_utf8(&c); }
uint32_t unit_of(const Cell& c) { return memory::nodes[c.node()]->unit(); }

Cell integer(int32_t v) {
    Cell c;
    set_cell(&c, TYPE_INTEGER, static_cast<uint32_t>(v));
    return c;
}
Cell character(uint32_t cp) {
    Cell c;
    set_cell(&c, TYPE_CHAR, cp);
    return c;
}
Cell none() {
    Cell c;
    set_cell(&c, TYPE_NONE);
    return c;
}
Cell float_(double d) {
    Cell c;
    set_cell(&c, TYPE_FLOAT);
    c.set_f(d);
    return c;
}
Cell word_of(const char* text, uint8_t type = TYPE_WORD) {
    Cell c;
    word::load(&c, text);
    c.set_type(type);
    return c;
}
Cell block_of(std::initializer_list<Cell> values) {
    Cell b;
    block::make_new(&b, 4);
    tv::hold(b);
    for (const Cell& v : values) block::append_cell(b.node(), &v);
    return b;
}
Cell binary_of(std::initializer_list<uint8_t> bytes) {
    Node n = tv::hold_node(memory::alloc_bytes(static_cast<int32_t>(bytes.size())));
    SeriesBuf* b = memory::nodes[n];
    size_t i = 0;
    for (uint8_t x : bytes) b->data()[i++] = x;
    b->tail = static_cast<uint32_t>(bytes.size());
    Cell c;
    set_cell(&c, TYPE_BINARY, 0, n);
    return c;
}
Cell datatype_of(int type) {
    Cell c;
    datatype::make_at(&c, type);
    tv::hold(c);
    return c;
}
Cell at(Cell v, int32_t index) {
    v.set_index(index);
    return v;
}

// ---- Running actions ----

// A refinement in use: its number in the action's spec (0-based) and its argument, if it takes one.
struct Ref {
    int number;
    const Cell* arg = nullptr;
};

Cell run(int action, std::vector<Cell> args, std::vector<Ref> refs = {}) {
    int32_t r[12];
    for (int32_t& x : r) x = -1;
    for (const Ref& ref : refs) {
        if (ref.arg) {
            r[ref.number] = static_cast<int32_t>(args.size());
            args.push_back(*ref.arg);
        } else {
            r[ref.number] = 0;
        }
    }
    std::vector<const Cell*> ptrs;
    for (const Cell& a : args) ptrs.push_back(&a);
    Cell out;
    actions::call(&out, action, ptrs.data(), static_cast<int>(ptrs.size()), r);
    return out;
}

#define EXPECT_FIRES(error_id, expr)                                             \
    do {                                                                         \
        auto e_ = fired([&] { expr; });                                          \
        ASSERT_TRUE(e_.has_value()) << "no error from " #expr;                   \
        EXPECT_TRUE(e_->id == error_id) << "other error from " #expr;            \
    } while (0)

std::string molded(const Cell& v, bool all = false) {
    Cell out;
    actions::mold_new(&out, &v, all);
    return from_head(out);
}

// form of tag! where its own module is not linked in: this file needs it only to have a
// formed value that is not a word.
int form_tag_fallback(const Cell* value, Node buffer, const Cell*, int limit) {
    string::append_char(buffer, '<');
    string::append_string(buffer, value);
    string::append_char(buffer, '>');
    return limit - 2 - string::rs_length_q(value);
}

class StringTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        // Earlier tests may have left a table of their own in place of the run-time's symbols.
        hashtable::set_symbol_table(symbol::table_node);
        tv::install_stand_ins();
        if (!datatype::slot(TYPE_TAG, ACT_FORM)) {
            datatype::Row row;
            row.set(ACT_FORM, form_tag_fallback).inherit({ACT_TAKE});
            datatype::register_row(TYPE_TAG, TYPE_STRING, "tag!", row);
        }
        // binary! reaches these actions through string!'s slots.
        if (!datatype::slot(TYPE_BINARY, ACT_SELECT)) {
            datatype::Row row;
            row.inherit({ACT_FIND, ACT_SELECT, ACT_TAKE, ACT_SWAP, ACT_SORT});
            datatype::register_row(TYPE_BINARY, TYPE_STRING, "binary!", row);
        }
    }
};

// =============================================================================================
// Buffers: units and widening

TEST_F(StringTest, AppendWidensAt128AndStoresOnlyAbove255) {
    struct Case {
        const char* what;
        void (*op)(Node, uint32_t, uint32_t);  // buffer, data-start index of the last character, cp
        uint32_t cp;
        uint32_t unit;
    } cases[] = {
        {"append 7F", [](Node n, uint32_t, uint32_t cp) { string::append_char(n, cp); }, 0x7F, 1},
        {"append 80", [](Node n, uint32_t, uint32_t cp) { string::append_char(n, cp); }, 0x80, 2},
        {"append E9", [](Node n, uint32_t, uint32_t cp) { string::append_char(n, cp); }, 0xE9, 2},
        {"append FFFF", [](Node n, uint32_t, uint32_t cp) { string::append_char(n, cp); }, 0xFFFF, 2},
        {"append 10000", [](Node n, uint32_t, uint32_t cp) { string::append_char(n, cp); }, 0x10000, 4},
        {"poke E9", [](Node n, uint32_t i, uint32_t cp) { string::poke_char(n, i, cp); }, 0xE9, 1},
        {"poke FF", [](Node n, uint32_t i, uint32_t cp) { string::poke_char(n, i, cp); }, 0xFF, 1},
        {"poke 100", [](Node n, uint32_t i, uint32_t cp) { string::poke_char(n, i, cp); }, 0x100, 2},
        {"poke 1F600", [](Node n, uint32_t i, uint32_t cp) { string::poke_char(n, i, cp); }, 0x1F600, 4},
        {"insert FF", [](Node n, uint32_t i, uint32_t cp) { string::insert_char(n, i, cp); }, 0xFF, 1},
        {"insert 100", [](Node n, uint32_t i, uint32_t cp) { string::insert_char(n, i, cp); }, 0x100, 2},
        {"overwrite FF", [](Node n, uint32_t i, uint32_t cp) { string::overwrite_char(n, i, cp); }, 0xFF, 1},
        {"overwrite 10FFFF", [](Node n, uint32_t i, uint32_t cp) { string::overwrite_char(n, i, cp); }, 0x10FFFF, 4},
    };
    for (const Case& c : cases) {
        // The head starts 3 units into the buffer, so that data-start indices differ from indices
        // from the head.
        Node n = make_text({'a', 'b', 'c', 'd', 'e'}, 1, 2, 3);
        c.op(n, 3 + 4, c.cp);
        EXPECT_EQ(memory::nodes[n]->unit(), c.unit) << c.what;
        std::vector<uint32_t> got = cps_of(n);
        ASSERT_GE(got.size(), 5u) << c.what;
        // The other characters keep their places: only the last one or the new one changes.
        EXPECT_EQ(std::vector<uint32_t>(got.begin(), got.begin() + 4), (std::vector<uint32_t>{'a', 'b', 'c', 'd'})) << c.what;
        EXPECT_TRUE(std::find(got.begin(), got.end(), c.cp) != got.end()) << c.what;
    }
}

TEST_F(StringTest, PositionsSurviveWidening) {
    // Poking U+1F600 into a 1-byte string of 5 characters widens it to 4-byte units and keeps the
    // other characters where they were, also when the head lies inside the buffer.
    Node n = make_text({'h', 'e', 'l', 'l', 'o'}, 1, 0, 6);
    string::poke_char(n, 6 + 2, 0x1F600);
    EXPECT_EQ(cps_of(n), (std::vector<uint32_t>{'h', 'e', 0x1F600, 'l', 'o'}));
    EXPECT_EQ(memory::nodes[n]->unit(), 4u);

    // insert and overwrite keep their index meaning across widening and growth.
    Node m = make_text({'a', 'b', 'c'}, 1, 0, 5);
    string::insert_char(m, 5 + 1, 0x3B1);
    EXPECT_EQ(cps_of(m), (std::vector<uint32_t>{'a', 0x3B1, 'b', 'c'}));
    uint32_t head_units = memory::nodes[m]->head / memory::nodes[m]->unit();
    string::overwrite_char(m, head_units + 4, 0x10400);
    EXPECT_EQ(cps_of(m), (std::vector<uint32_t>{'a', 0x3B1, 'b', 'c', 0x10400}));

    // A string value's index keeps pointing at the same character after an append widens it.
    Cell s = text(U"abcdef", 1, 3);
    Cell wide = character(0x4E2D);
    run(ACT_APPEND, {s, wide});
    EXPECT_EQ(unit_of(s), 2u);
    EXPECT_EQ(from_head(s), "def\xE4\xB8\xAD");
}

TEST_F(StringTest, HeadPastTheTail) {
    Cell s = str("abcdef");
    Cell later = at(s, 5);
    string::remove_part(&s, 1, 4);  // "af"
    EXPECT_EQ(string::rs_length_q(&later), 0);
    EXPECT_TRUE(string::rs_tail_q(&later));
    uint32_t off = string::rs_head(&later);
    EXPECT_EQ(later.index(), 2);
    EXPECT_EQ(off, memory::nodes[s.node()]->tail);
}

TEST_F(StringTest, ConcatenateModesAndUnits) {
    // A narrower source widens in place to the target's unit, unless it must stay untouched.
    Cell target = text(U"xy\u0101", 2);
    Cell source = text(U"ab", 1);
    string::concatenate(&target, &source, -1, 0, true, string::CONCAT_APPEND);
    EXPECT_EQ(unit_of(source), 1u);
    string::concatenate(&target, &source, -1, 1, false, string::CONCAT_INSERT);
    EXPECT_EQ(unit_of(source), 2u);
    EXPECT_EQ(utf8(target), "xaby\xC4\x81" "ab");
    // Overwrite runs over the tail and moves it.
    Cell big = text(U"\U0001F600!", 4);
    string::concatenate(&target, &big, -1, 6, true, string::CONCAT_OVERWRITE);
    EXPECT_EQ(unit_of(target), 4u);
    EXPECT_EQ(utf8(target), "xaby\xC4\x81" "a\xF0\x9F\x98\x80!");
    // A part takes that many characters; a string inserted into itself reads its old text.
    Cell self = str("abc");
    string::concatenate(&self, &self, 2, 1, false, string::CONCAT_INSERT);
    EXPECT_EQ(utf8(self), "aabbc");
}

TEST_F(StringTest, LoadingAndEncodings) {
    // Bad input and unknown encodings are language errors, never an exit.
    const uint8_t bad16[] = {0x00, 0xD8, 0x41, 0x00};  // a high surrogate followed by 'A'
    EXPECT_FIRES(err::access::invalid_utf8, string::load(bad16, 2, nullptr, -1));
    const uint8_t ok16[] = {0x41, 0x00, 0x3B, 0x04};
    Cell s;
    string::load(ok16, 2, &s, -1);
    EXPECT_EQ(utf8(s), "A\xD0\xBB");
    auto e = fired([&] { string::load(ok16, 4, nullptr, 7); });
    ASSERT_TRUE(e);
    EXPECT_TRUE(e->id == err::access::no_codec);
    EXPECT_EQ(e->arg1.i1(), 7);

    // A binary whose last bytes start a sequence they do not finish: the error carries those
    // bytes and no more.
    Cell bin = binary_of({'o', 'k', 0xE2, 0x82});
    Cell out;
    e = fired([&] { string::load_binary(&out, &bin); });
    ASSERT_TRUE(e);
    EXPECT_TRUE(e->id == err::access::invalid_utf8);
    EXPECT_EQ(test_support::binary_bytes(e->arg1), (std::vector<uint8_t>{0xE2, 0x82}));
    Cell euro = binary_of({0xE2, 0x82, 0xAC});
    string::load_binary(&out, &euro);
    EXPECT_EQ(utf8(out), "\xE2\x82\xAC");
    EXPECT_EQ(unit_of(out), 2u);

    // append_utf8 leaves the target as it was when the text is bad.
    Cell t = str("keep");
    EXPECT_FIRES(err::access::invalid_utf8, string::append_utf8(t.node(), "ab\xC3", 3));
    EXPECT_EQ(utf8(t), "keep");
}

TEST_F(StringTest, HexAndFloatText) {
    EXPECT_EQ(string::to_hex(30, true), "1E");
    EXPECT_EQ(string::to_hex(0, true), "00");
    EXPECT_EQ(string::to_hex(-1, false), "FFFFFFFF");
    EXPECT_EQ(string::to_hex(255, false), "000000FF");
    bool error = true;
    EXPECT_EQ(string::to_float("2.5e3", 5, &error), 2500.0);
    EXPECT_FALSE(error);
    string::to_float("2.5x", 4, &error);
    EXPECT_TRUE(error);
}

// =============================================================================================
// make and to

TEST_F(StringTest, MakeAndTo) {
    Cell proto = datatype_of(TYPE_STRING);
    Cell capacity = float_(2.7);
    Cell made = tv::hold(*actions::make(&proto, &capacity));
    EXPECT_EQ(made.type(), TYPE_STRING);
    EXPECT_EQ(string::rs_length_q(&made), 0);
    EXPECT_FIRES(err::script::out_of_range, { Cell p = datatype_of(TYPE_STRING); Cell n = integer(-1); actions::make(&p, &n); });
    EXPECT_FIRES(err::script::out_of_range, { Cell p = datatype_of(TYPE_STRING); Cell n = float_(1e300); actions::make(&p, &n); });
    EXPECT_FIRES(err::script::bad_to_arg, { Cell p = datatype_of(TYPE_STRING); Cell n = none(); actions::to(&p, &n); });

    // A block's values are formed one after the other, without separators.
    Cell b = block_of({word_of("a"), integer(1), str("b")});
    Cell p = datatype_of(TYPE_STRING);
    EXPECT_EQ(utf8(*actions::to(&p, &b)), "a1b");
    // Text is copied from its head, and the result takes the target type.
    Cell src = at(str("hello"), 2);
    p = datatype_of(TYPE_FILE);
    Cell copy = tv::hold(*string::to(&p, &src, TYPE_FILE));
    EXPECT_EQ(copy.type(), TYPE_FILE);
    EXPECT_EQ(utf8(copy), "llo");
    EXPECT_NE(copy.node(), src.node());
    // A refinement forms without its slash into a string.
    Cell ref = word_of("only", TYPE_REFINEMENT);
    p = datatype_of(TYPE_STRING);
    EXPECT_EQ(utf8(*actions::to(&p, &ref)), "only");
    // A binary is read as UTF-8 from its head.
    Cell bin = at(binary_of({'x', 0xC3, 0xA9}), 1);
    p = datatype_of(TYPE_STRING);
    EXPECT_EQ(utf8(*actions::to(&p, &bin)), "\xC3\xA9");
}

// =============================================================================================
// append, insert and change

TEST_F(StringTest, AppendAnswersTheHead) {
    Cell s = at(str("abc"), 2);
    Cell r = run(ACT_APPEND, {s, str("de")});
    EXPECT_EQ(r.index(), 0);
    EXPECT_EQ(utf8(r), "abcde");
    // An empty value leaves the series as it was, index included.
    r = run(ACT_APPEND, {at(str("abc"), 2), str("")});
    EXPECT_EQ(r.index(), 2);

    struct Case {
        const char* what;
        Cell value;
        std::vector<Ref> refs;
        const char* expected;
    };
    Cell two = integer(2), three = integer(3), one = integer(1), zero = integer(0), minus = integer(-1);
    Cell words = block_of({word_of("ab"), word_of("cd"), word_of("ef")});
    Case cases[] = {
        {"block of values", block_of({integer(1), word_of("x")}), {}, "1x"},
        {"/part counts values", words, {{0, &two}}, "abcd"},
        {"/part/only counts characters", words, {{0, &three}, {1}}, "abc"},
        {"/dup 3", str("a"), {{2, &three}}, "aaa"},
        {"/dup 1", str("a"), {{2, &one}}, "a"},
        {"/dup 0", str("a"), {{2, &zero}}, ""},
        {"/dup -1", integer(42), {{2, &minus}}, ""},
        {"tag brackets", str("b", TYPE_TAG), {}, "<b>"},
        {"tag /part", str("b", TYPE_TAG), {{0, &two}}, "<b"},
        {"formed /dup", integer(42), {{2, &three}}, "424242"},
        {"string /part", str("wxyz"), {{0, &two}}, "wx"},
        {"char", character('q'), {}, "q"},
    };
    for (const Case& c : cases) {
        Cell t = str("");
        run(ACT_APPEND, {t, c.value}, c.refs);
        EXPECT_EQ(utf8(t), c.expected) << c.what;
    }

    // The char é widens a 1-byte string; a does not.
    Cell narrow = str("x");
    run(ACT_APPEND, {narrow, character('a')});
    EXPECT_EQ(unit_of(narrow), 1u);
    run(ACT_APPEND, {narrow, character(0xE9)});
    EXPECT_EQ(unit_of(narrow), 2u);
    EXPECT_EQ(utf8(narrow), "xa\xC3\xA9");

    // A string appended to itself appends its old text.
    Cell self = at(str("abc"), 1);
    run(ACT_APPEND, {self, self});
    EXPECT_EQ(utf8(self), "abcbc");
}

TEST_F(StringTest, InsertAnswersPastTheNewText) {
    Cell three = integer(3), two = integer(2), zero = integer(0);
    struct Case {
        const char* what;
        Cell series;
        Cell value;
        std::vector<Ref> refs;
        const char* expected;
        int32_t index;
    } cases[] = {
        {"string in the middle", at(str("abc"), 1), str("xy"), {}, "axybc", 3},
        {"block /part is a character limit", str("xy"), block_of({word_of("ab"), word_of("cd"), word_of("ef")}),
         {{0, &three}}, "abcxy", 3},
        {"char /dup", str("ab"), character('-'), {{2, &three}}, "---ab", 3},
        {"formed value", str("ab"), integer(42), {}, "42ab", 2},
        {"formed /dup", at(str("ab"), 1), integer(7), {{2, &three}}, "a777b", 4},
        {"/dup 0", at(str("ab"), 1), str("x"), {{2, &zero}}, "ab", 1},
        {"at the tail", at(str("ab"), 2), str("cd"), {}, "abcd", 4},
        {"head past the tail", at(str("ab"), 9), str("c"), {}, "abc", 3},
        {"tag /part keeps room for the bracket only", str("z"), str("bc", TYPE_TAG), {{0, &three}}, "<bcz", 3},
        {"wider text", str("ab"), text(U"\u0436\u0437", 2), {{0, &two}}, "\xD0\xB6\xD0\xB7" "ab", 2},
        {"formed text that widens the target", at(str("ab"), 1), block_of({text(U"\u4E2D", 2), word_of("x")}), {},
         "a\xE4\xB8\xAD" "xb", 3},
    };
    for (const Case& c : cases) {
        Cell s = c.series;
        Cell r = run(ACT_INSERT, {s, c.value}, c.refs);
        EXPECT_EQ(utf8(r), c.expected) << c.what;
        EXPECT_EQ(r.index(), c.index) << c.what;
    }
    // A formed value also lands at the head when the buffer has to grow for it.
    Cell full = str("abcdefghijklmnop");
    ASSERT_EQ(memory::nodes[full.node()]->capacity, memory::nodes[full.node()]->tail);  // no room left
    Cell r = run(ACT_INSERT, {full, integer(42)});
    EXPECT_EQ(utf8(r), "42abcdefghijklmnop");
    EXPECT_EQ(r.index(), 2);
    // A string inserted into itself inserts its old text.
    Cell self = at(str("abc"), 1);
    r = run(ACT_INSERT, {self, self});
    EXPECT_EQ(utf8(r), "abcbc");
    EXPECT_EQ(r.index(), 3);
}

TEST_F(StringTest, ChangeReplacesAtTheHead) {
    Cell zero = integer(0), one = integer(1), two = integer(2), three = integer(3);
    struct Case {
        const char* what;
        Cell series;
        Cell value;
        std::vector<Ref> refs;
        const char* expected;
        int32_t index;
    } cases[] = {
        {"same length", str("abc"), str("XY"), {}, "XYc", 2},
        {"/part 1", str("abc"), str("XY"), {{0, &one}}, "XYbc", 2},
        {"the tail moves out", str("ab"), str("WXYZ"), {}, "WXYZ", 4},
        {"at the tail", at(str("ab"), 2), str("cd"), {}, "abcd", 4},
        {"char /dup", str("abcd"), character('-'), {{2, &two}}, "--cd", 2},
        {"formed value", str("abcd"), integer(42), {}, "42cd", 2},
        {"formed value, /part 3", str("abcd"), integer(42), {{0, &three}}, "42d", 2},
        {"formed value, /part 0", at(str("abcd"), 1), integer(5), {{0, &zero}}, "a5bcd", 2},
        {"block, /part does not limit it", str("abcd"), block_of({word_of("xy"), word_of("z")}), {{0, &one}}, "xyzbcd", 3},
        {"formed /dup", str("abcdef"), integer(9), {{2, &three}}, "999def", 3},
        {"/dup 0", at(str("abcd"), 1), str("x"), {{2, &zero}}, "abcd", 1},
        {"wider text", str("abcd"), text(U"\U0001F600", 4), {}, "\xF0\x9F\x98\x80" "bcd", 1},
        {"empty text with /part", str("abc"), str(""), {{0, &one}}, "bc", 0},
    };
    for (const Case& c : cases) {
        Cell s = c.series;
        Cell r = run(ACT_CHANGE, {s, c.value}, c.refs);
        EXPECT_EQ(utf8(r), c.expected) << c.what;
        EXPECT_EQ(r.index(), c.index) << c.what;
    }
    // A value over the target's own buffer is read as it stood before the change.
    Cell self = str("abcdef");
    Cell r = run(ACT_CHANGE, {self, at(self, 2)});
    EXPECT_EQ(utf8(r), "cdefef");
    Cell shifted = at(str("abcdef"), 3);
    r = run(ACT_CHANGE, {shifted, at(shifted, 0)}, {{0, &one}});
    EXPECT_EQ(utf8(r), "abcabcdefef");
}

TEST_F(StringTest, RandomEditsAgreeWithAModel) {
    // append, insert and change with characters, texts of every width (some over the target's own
    // buffer), formed values and blocks, /part and /dup, at random positions, checked against a
    // plain codepoint string after every step.
    uint32_t seed = 20261209;
    auto next = [&seed](uint32_t n) {
        seed = seed * 1664525u + 1013904223u;
        return (seed >> 8) % n;
    };
    auto random_cp = [&]() -> char32_t {
        switch (next(4)) {
            case 0: return U'a' + next(26);
            case 1: return 0x80 + next(0x80);
            case 2: return 0x100 + next(0x3000);
            default: return 0x10000 + next(0x100);
        }
    };
    auto to_u32 = [](const std::string& u8) {
        std::u32string out;
        for (size_t i = 0; i < u8.size();) {
            unsigned char c = static_cast<unsigned char>(u8[i]);
            int n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
            char32_t cp = n == 1 ? c : c & (0x7F >> n);
            for (int k = 1; k < n; k++) cp = (cp << 6) | (static_cast<unsigned char>(u8[i + k]) & 0x3F);
            out.push_back(cp);
            i += size_t(n);
        }
        return out;
    };
    Cell target = text(U"start", 1);
    std::u32string model = U"start";
    uint32_t widest = 1;
    for (int step = 0; step < 1500; step++) {
        int32_t len = static_cast<int32_t>(model.size());
        Cell series = at(target, len ? static_cast<int32_t>(next(uint32_t(len) + 1)) : 0);
        // The value and the text it contributes.
        Cell value;
        std::u32string added;
        bool formed = false;
        switch (next(5)) {
            case 0: {
                char32_t c = random_cp();
                value = character(c);
                added = std::u32string(1, c);
                break;
            }
            case 1: {
                std::u32string t;
                for (uint32_t k = next(6); k > 0; k--) t.push_back(random_cp());
                uint32_t unit = 1;
                for (char32_t c : t) unit = std::max(unit, c > 0xFFFF ? 4u : c > 0xFF ? 2u : 1u);
                value = text(t, unit);
                added = t;
                break;
            }
            case 2: {
                // Text over the target's own buffer.
                int32_t from = len ? static_cast<int32_t>(next(uint32_t(len))) : 0;
                value = at(target, from);
                added = model.substr(size_t(from));
                break;
            }
            case 3: {
                int32_t k = static_cast<int32_t>(next(100000)) - 50000;
                value = integer(k);
                added = to_u32(std::to_string(k));
                formed = true;
                break;
            }
            default: {
                value = block_of({word_of("w"), integer(static_cast<int32_t>(next(100)))});
                std::string formed_text = "w";
                formed_text += std::to_string(block::node_cell(value.node(), 1)->i1());
                added = to_u32(formed_text);
                formed = true;
                break;
            }
        }
        int32_t dup = next(4) == 0 ? static_cast<int32_t>(next(4)) + 1 : 1;
        Cell dup_cell = integer(dup);
        int action = next(3) == 0 ? ACT_APPEND : next(2) ? ACT_INSERT : ACT_CHANGE;
        int32_t head = series.index();
        std::vector<Ref> refs;
        if (dup > 1) refs.push_back({2, &dup_cell});
        int32_t part = -1;
        Cell part_cell;
        if (!formed && value.type() != TYPE_CHAR && next(3) == 0) {
            part = static_cast<int32_t>(next(4));
            if (action != ACT_CHANGE && part == 0) part = 1;
            part_cell = integer(part);
            refs.push_back({0, &part_cell});
        }
        std::u32string repeated;
        std::u32string text_part = added;
        if (action != ACT_CHANGE && part >= 0 && part < int32_t(text_part.size())) text_part.resize(size_t(part));
        for (int32_t k = 0; k < dup; k++) repeated += action == ACT_CHANGE ? added : text_part;
        int32_t expected_index;
        if (action == ACT_APPEND) {
            model += repeated;
            expected_index = repeated.empty() ? head : 0;
        } else if (action == ACT_INSERT) {
            model.insert(size_t(head), repeated);
            expected_index = head + int32_t(repeated.size());
        } else {
            int32_t rest = len - head;
            int32_t replaced = part >= 0 ? std::min(part, rest) : std::min(int32_t(repeated.size()), rest);
            model.replace(size_t(head), size_t(replaced), repeated);
            expected_index = head + int32_t(repeated.size());
        }
        Cell r = run(action, {series, value}, refs);
        ASSERT_EQ(to_u32(utf8(r)), model) << "step " << step;
        ASSERT_EQ(r.index(), expected_index) << "step " << step;
        uint32_t unit = unit_of(r);
        ASSERT_GE(unit, widest) << "step " << step;  // widening is one way
        widest = unit;
        if (model.size() > 400) {
            model.erase(0, 300);
            string::remove_part(&target, 0, 300);
        }
    }
}

TEST_F(StringTest, OversizedResultsRaiseNoMemoryAndKeepTheTail) {
    Cell big = integer(INT32_MAX);
    Cell s = str("abc");
    EXPECT_FIRES(err::internal::no_memory, run(ACT_APPEND, {s, str("xy")}, {{2, &big}}));
    EXPECT_EQ(utf8(s), "abc");
    // A formed value is written before its repeats are measured: the tail goes back all the same.
    EXPECT_FIRES(err::internal::no_memory, run(ACT_APPEND, {s, integer(12)}, {{2, &big}}));
    EXPECT_EQ(utf8(s), "abc");
    EXPECT_FIRES(err::internal::no_memory, run(ACT_INSERT, {s, integer(12)}, {{2, &big}}));
    EXPECT_EQ(utf8(s), "abc");
    EXPECT_FIRES(err::internal::no_memory, run(ACT_CHANGE, {s, integer(12)}, {{2, &big}}));
    EXPECT_EQ(utf8(s), "abc");
}

TEST_F(StringTest, ExchangeRuns) {
    // Runs of every size relation, with and without room between them, through the scratch area
    // and (both runs larger than it) by rotation.
    struct Case {
        uint32_t a, b, g;
    } cases[] = {{3, 5, 0}, {5, 3, 2}, {0, 4, 3}, {4, 0, 2}, {70000, 80000, 5}, {90000, 70000, 0}, {1, 100000, 7}};
    for (const Case& c : cases) {
        std::vector<uint8_t> buf(c.a + c.b + c.g);
        for (uint32_t i = 0; i < c.a; i++) buf[i] = static_cast<uint8_t>(i * 7 + 1);
        for (uint32_t i = 0; i < c.b; i++) buf[c.a + i] = static_cast<uint8_t>(i * 13 + 2);
        std::vector<uint8_t> first(buf.begin(), buf.begin() + c.a), second(buf.begin() + c.a, buf.begin() + c.a + c.b);
        string::exchange_runs(buf.data(), c.a, c.b, c.g);
        EXPECT_TRUE(std::equal(second.begin(), second.end(), buf.begin())) << c.a << " " << c.b;
        EXPECT_TRUE(std::equal(first.begin(), first.end(), buf.begin() + c.b + c.g)) << c.a << " " << c.b;
    }
}

// =============================================================================================
// mold and form

TEST_F(StringTest, MoldChoosesDelimitersAndEscapes) {
    std::string s49(49, 'x'), s50(50, 'x');
    std::string brace50 = "{" + std::string(49, 'x');
    struct Case {
        std::string text;
        std::string molded;
    } cases[] = {
        {"", "\"\""},
        {s49, "\"" + s49 + "\""},
        {s50, "{" + s50 + "}"},
        {"a\nb\nc", "\"a^/b^/c\""},
        {"a\nb\nc\nd", "{a^/b^/c^/d}"},
        {"say \"hi\"", "{say \"hi\"}"},
        {"x^y", "\"x^^y\""},
        {"\"^", "{\"^^}"},
        {"tab\there", "\"tab^-here\""},
        {std::string("\0\x01\x1A\x1B\x1C\x1D\x1E\x1F\x7F", 9), "\"^@^A^Z^[^\\^]^(1E)^_^~\""},
        {"\r", "\"^M\""},
        {"{a}", "\"{a}\""},
        {brace50, "{^{" + std::string(49, 'x') + "}"},
        {"\"{a}\"", "{\"{a}\"}"},
        {"\"}", "{\"^}}"},
        {"\"{{}", "{\"^{^{^}}"},  // the outer brace finds no match: every later one is escaped
        {"\"{}}", "{\"{}^}}"},
        {"\xC2\x85", "\"^(85)\""},
        {"\xC3\xA9", "\"\xC3\xA9\""},
    };
    for (const Case& c : cases) {
        Cell v;
        string::load_at(&v, c.text.data(), c.text.size());
        tv::hold(v);
        EXPECT_EQ(molded(v), c.molded) << c.text;
    }
    // /all writes every codepoint above 127 in hexadecimal.
    EXPECT_EQ(molded(str("\xC3\xA9\xF0\x9F\x98\x80"), true), "\"^(E9)^(1F600)\"");
    // Only the characters from the head count, but the length of the whole rest decides braces.
    EXPECT_EQ(molded(at(str("\"ab"), 1)), "\"ab\"");
}

TEST_F(StringTest, MoldAndFormBudgets) {
    Cell s = str("abcdefghij");
    Cell part = integer(5);
    Node out = tv::hold_node(string::make_node(16));
    EXPECT_EQ(string::mold(&s, out, false, false, false, &part, 5, 0), -2);
    EXPECT_EQ(string::node_to_utf8(out), "\"abcde\"");
    out = string::make_node(16);
    EXPECT_EQ(string::form(&s, out, &part, 5), -5);
    EXPECT_EQ(string::node_to_utf8(out), "abcde");
    out = string::make_node(16);
    EXPECT_EQ(string::form(&s, out, nullptr, 100), 90);
    // form through the action cuts to the limit; a limit below 1 gives an empty string.
    EXPECT_EQ(from_head(run(ACT_FORM, {s}, {{0, &(const Cell&)integer(3)}})), "abc");
    EXPECT_EQ(from_head(run(ACT_MOLD, {s}, {{3, &(const Cell&)integer(0)}})), "");
    // form never widens or narrows its source.
    Cell wide = text(U"ab", 2);
    out = string::make_node(16);
    string::form(&wide, out, nullptr, INT_MAX);
    EXPECT_EQ(unit_of(wide), 2u);
    EXPECT_EQ(string::node_to_utf8(out), "ab");
}

// =============================================================================================
// Comparison

TEST_F(StringTest, ComparisonFoldsCaseThroughTheCaseTables) {
    struct Case {
        const char* a;
        const char* b;
        int op;
        int expected;
    } cases[] = {
        {"abc", "ABC", COMP_EQUAL, 0},
        {"abc", "ABC", COMP_STRICT_EQUAL, 1},
        {"\xC3\xA9t\xC3\xA9", "\xC3\x89T\xC3\x89", COMP_EQUAL, 0},        // Latin-1 letters
        {"\xD0\xB4\xD0\xB0", "\xD0\x94\xD0\x90", COMP_EQUAL, 0},          // Cyrillic
        {"\xF0\x90\x90\xA8", "\xF0\x90\x90\x80", COMP_EQUAL, 0},          // Deseret, above the basic plane
        {"abc", "abd", COMP_LESSER, -1},
        {"abd", "ABC", COMP_GREATER, 1},
        {"ab", "abc", COMP_LESSER, -1},
        {"abc", "ab", COMP_EQUAL, 1},
        {"abc", "", COMP_LESSER, 1},
        {"", "", COMP_EQUAL, 0},
        {"B", "a", COMP_CASE_SORT, -1},
        {"B", "a", COMP_SORT, 1},
    };
    for (const Case& c : cases) {
        Cell a = str(c.a), b = str(c.b);
        EXPECT_EQ(string::compare(&a, &b, c.op), c.expected) << c.a << " " << c.b << " " << c.op;
    }
    // Different widths compare by codepoint.
    Cell narrow = text(U"a\u00E9", 1), wide = text(U"A\u00C9", 4);
    EXPECT_EQ(string::compare(&narrow, &wide, COMP_EQUAL), 0);
    // Across text types only equality applies.
    Cell s = str("x"), f = str("X", TYPE_FILE);
    EXPECT_EQ(string::compare(&s, &f, COMP_EQUAL), 0);
    EXPECT_EQ(string::compare(&s, &f, COMP_LESSER), -2);
    Cell w = word_of("x");
    EXPECT_EQ(string::compare(&s, &w, COMP_EQUAL), -2);
    // same? is identity of buffer and position.
    EXPECT_EQ(string::compare(&s, &s, COMP_SAME), 0);
    Cell twin = str("x");
    EXPECT_EQ(string::compare(&s, &twin, COMP_SAME), -1);
    // Prefix mode: the first text begins with the second.
    Cell abc = str("abc"), ab = str("AB"), empty = str("");
    EXPECT_EQ(string::compare_strings(&abc, &ab, COMP_EQUAL, true), 0);
    EXPECT_NE(string::compare_strings(&ab, &abc, COMP_EQUAL, true), 0);
    EXPECT_EQ(string::compare_strings(&abc, &empty, COMP_EQUAL_FIND, true), 1);
    // A text cut short in place still holds its old characters past the tail; the match stops
    // at the tail.
    Cell cut = str("abc");
    string::remove_part(&cut, 2, 1);
    Cell abc2 = str("abc");
    EXPECT_NE(string::compare_strings(&cut, &abc2, COMP_EQUAL, true), 0);
    EXPECT_FALSE(string::match_value_q(&cut, &abc2, COMP_EQUAL));
}

// =============================================================================================
// trim

TEST_F(StringTest, TrimModes) {
    Cell space = character(' ');
    Cell ab = str("ab"), nothing = str("");
    struct Case {
        const char* what;
        const char* text;
        std::vector<Ref> refs;
        const char* expected;
    } cases[] = {
        {"plain", "  a  \n  b\n\n", {}, "a\nb\n"},
        {"plain keeps inner blank lines", "\ta \n\n  b", {}, "a\n\nb"},
        {"plain without a trailing line feed", " a b ", {}, "a b"},
        {"plain: only white", " \n ", {}, ""},
        {"plain: wide blanks inside lines", "x\xE3\x80\x80\ny", {}, "x\ny"},
        {"/head", " \n a \n", {{0}}, "a \n"},
        {"/tail", " \n a \n", {{1}}, " \n a"},
        {"/head/tail", "  a b  ", {{0}, {1}}, "a b"},
        {"/lines", "a\t\nb", {{3}}, "a b"},
        {"/lines runs", "  a  \n\n b c ", {{3}}, "a b c"},
        {"/all", " a\tb\r\nc ", {{4}}, "abc"},
        {"/with char", "a b c", {{5, &space}}, "abc"},
        {"/with string", "abcabd", {{5, &ab}}, "cd"},
        {"/with empty string", "a b", {{5, &nothing}}, "a b"},
    };
    for (const Case& c : cases) {
        Cell s = str(c.text);
        run(ACT_TRIM, {s}, c.refs);
        EXPECT_EQ(utf8(s), c.expected) << c.what;
    }
    // Trimming works from the head only.
    Cell s = at(str("x  y  "), 1);
    run(ACT_TRIM, {s});
    EXPECT_EQ(utf8(s), "xy");
    EXPECT_FIRES(err::internal::not_done, run(ACT_TRIM, {str(" a ")}, {{2}}));
}

// =============================================================================================
// sort

// A routine answering whether its first argument (a char!) is below its second.
void routine_lesser() {
    Cell* a = stack::arguments;
    bool less = a[0].data1 < a[1].data1;
    set_cell(a, TYPE_LOGIC, less ? 1 : 0);
    stack::keep();
}

// func [x y] [lesser x y]: the comparison function of the tests.
Cell lesser_function() {
    static Cell fn;
    static bool made = false;
    if (made) return fn;
    Cell spec = block_of({word_of("x"), word_of("y")});
    Node more = tv::hold_node(memory::alloc_cells(5));
    for (int i = 0; i < 5; i++) set_cell(block::alloc_tail(more), TYPE_UNSET);
    set_cell(block::node_cell(more, 2), TYPE_INTEGER, static_cast<uint32_t>(routines::register_("test-lesser", routine_lesser)));
    Cell routine;
    set_cell(&routine, TYPE_ROUTINE, 0, spec.node(), more);
    Cell name = word_of("kel-test-lesser");
    word::set_value(&name, &routine);
    Cell body = block_of({name, word_of("x"), word_of("y")});
    function::make_at(&fn, &spec, &body, 0);
    tv::hold(fn);
    made = true;
    return fn;
}

TEST_F(StringTest, SortRefinements) {
    Cell two = integer(2), four = integer(4), zero = integer(0), three = integer(3);
    Cell minus2 = integer(-2), minus5 = integer(-5);
    Cell fn = lesser_function();
    struct Case {
        const char* what;
        Cell series;
        std::vector<Ref> refs;
        const char* expected;
        int32_t index;
    } cases[] = {
        {"plain", str("cba"), {}, "abc", 0},
        {"/reverse", str("abc"), {{5}}, "cba", 0},
        {"folds case, equal letters keep their order", str("bBaA"), {{6}}, "aAbB", 0},
        {"1-byte folds like the wider units", text(U"\u00E9b\u00C9", 1), {{6}}, "b\xC3\xA9\xC3\x89", 0},
        {"folds to upper case, as comparison does", str("_a"), {}, "a_", 0},
        {"2-byte folds through the case table", text(U"\u00E9\u00C9b", 2), {{6}}, "b\xC3\xA9\xC3\x89", 0},
        {"/stable keeps equal records in order", str("bAa"), {{6}}, "Aab", 0},
        {"/case sorts by codepoint", str("bAa"), {{0}}, "Aab", 0},
        {"/stable /case", str("baA"), {{0}, {6}}, "Aab", 0},
        {"/skip 2 by the first character", str("c1a2b3"), {{1, &two}}, "a2b3c1", 0},
        {"/skip/compare by the second character", str("a3b1c2"), {{1, &two}, {2, &two}}, "b1c2a3", 0},
        {"/skip/all compares whole records", str("b2a9a1"), {{1, &two}, {4}}, "a1a9b2", 0},
        {"/part negative", at(str("dcba"), 3), {{3, &minus2}}, "dbca", 1},
        {"/part before the start", at(str("dcba"), 3), {{3, &minus5}}, "dcba", 0},
        {"/part 2", str("dcba"), {{3, &two}}, "cdba", 0},
        {"/compare function", str("dbca"), {{2, &fn}}, "abcd", 0},
        {"/compare function /reverse", str("dbca"), {{2, &fn}, {5}}, "dcba", 0},
        {"/compare function /stable", str("bca"), {{2, &fn}, {6}}, "abc", 0},
    };
    for (const Case& c : cases) {
        Cell s = c.series;
        Cell r = run(ACT_SORT, {s}, c.refs);
        EXPECT_EQ(utf8(r), c.expected) << c.what;
        EXPECT_EQ(r.index(), c.index) << c.what;
    }
    EXPECT_FIRES(err::script::invalid_refine_arg, run(ACT_SORT, {str("abcdef")}, {{1, &four}}));
    EXPECT_FIRES(err::script::invalid_refine_arg, run(ACT_SORT, {str("abcdef")}, {{1, &zero}}));
    EXPECT_FIRES(err::script::out_of_range, run(ACT_SORT, {str("abcdef")}, {{1, &two}, {2, &three}}));
    EXPECT_FIRES(err::script::bad_refines, run(ACT_SORT, {str("abc")}, {{4}}));
    EXPECT_FIRES(err::script::bad_refines, run(ACT_SORT, {str("abcd")}, {{2, &two}}));
    EXPECT_FIRES(err::script::invalid_refine_arg, run(ACT_SORT, {str("abc")}, {{2, &(const Cell&)str("x")}}));
    Cell other = str("abc");
    EXPECT_FIRES(err::script::invalid_refine_arg, run(ACT_SORT, {str("abc")}, {{3, &other}}));
}

TEST_F(StringTest, SortLargeInputsAgreeAcrossSorts) {
    // Both sorts on a few thousand characters of each width give the same order as a reference.
    for (uint32_t unit : {1u, 2u, 4u}) {
        std::u32string s;
        uint32_t x = 12345;
        for (int i = 0; i < 5000; i++) {
            x = x * 1103515245u + 12345u;
            uint32_t c = 'a' + (x >> 16) % 26;
            if (unit == 2 && i % 3 == 0) c = 0x430 + (x >> 8) % 32;
            if (unit == 4 && i % 5 == 0) c = 0x10400 + (x >> 8) % 40;
            s.push_back(c);
        }
        std::u32string expected = s;
        std::stable_sort(expected.begin(), expected.end(), [](char32_t a, char32_t b) { return a < b; });
        std::string want;
        {
            Cell e = text(expected, unit);
            want = utf8(e);
        }
        for (bool stable : {false, true}) {
            Cell v = text(s, unit);
            std::vector<Ref> refs = {{0}};
            if (stable) refs.push_back({6});
            run(ACT_SORT, {v}, refs);
            EXPECT_EQ(utf8(v), want) << unit << " " << stable;
        }
    }
}

// =============================================================================================
// find and select

TEST_F(StringTest, FindRefinements) {
    Cell two = integer(2), zero = integer(0), three = integer(3);
    struct Case {
        const char* what;
        Cell series;
        Cell value;
        std::vector<Ref> refs;
        int32_t index;  // -1: none
    } cases[] = {
        {"folds case", str("abc"), str("B"), {}, 1},
        {"/case", str("abc"), str("B"), {{2}}, -1},
        {"char", str("abcb"), character('B'), {}, 1},
        {"char /case", str("abcb"), character('B'), {{2}}, -1},
        {"wide folding", text(U"x\u0434\u0430", 2), text(U"\u0414\u0410", 2), {}, 1},
        {"/match only at the head", str("abc"), str("b"), {{10}}, -1},
        {"/match at the head", str("abc"), str("ab"), {{10}}, 0},
        {"/tail", str("abcd"), str("bc"), {{9}}, 3},
        {"/last", str("abab"), str("ab"), {{7}}, 2},
        {"/reverse", at(str("abcab"), 4), str("ab"), {{8}}, 3},
        {"/reverse from the head", at(str("abcab"), 3), str("ab"), {{8}}, 0},
        {"/reverse /match", at(str("abc"), 2), str("a"), {{8}, {10}}, -1},
        {"/part cuts the range", str("abcdef"), str("cd"), {{0, &three}}, -1},
        {"/part", str("abcdef"), str("bc"), {{0, &three}}, 1},
        {"/part 0", str("abc"), str("a"), {{0, &zero}}, -1},
        {"/skip 2", str("baax"), character('a'), {{6, &two}}, 2},
        {"word by its text", str("say hello"), word_of("hello"), {}, 4},
        {"formed integer", str("a12b"), integer(12), {}, 1},
        {"tag with its brackets", str("x<b>y"), str("b", TYPE_TAG), {}, 1},
        {"empty series", str(""), str("a"), {}, -1},
        {"at the tail", at(str("ab"), 2), str("a"), {}, -1},
        {"match past the end", str("abc"), str("bcd"), {}, -1},
    };
    for (const Case& c : cases) {
        Cell r = run(ACT_FIND, {c.series, c.value}, c.refs);
        if (c.index < 0) {
            EXPECT_EQ(r.type(), TYPE_NONE) << c.what;
        } else {
            ASSERT_EQ(r.type(), c.series.type()) << c.what;
            EXPECT_EQ(r.index(), c.index) << c.what;
            EXPECT_EQ(r.node(), c.series.node()) << c.what;
        }
    }
    // A bitset matches a character whose bit is set; past its bytes only a complemented one does.
    Node bits = tv::hold_node(memory::alloc_bytes(13));
    memory::nodes[bits]->tail = 13;
    std::memset(memory::nodes[bits]->data(), 0, 13);
    memory::nodes[bits]->data()['c' >> 3] |= 0x80 >> ('c' & 7);
    Cell bitset;
    set_cell(&bitset, TYPE_BITSET, 0, bits);
    EXPECT_EQ(run(ACT_FIND, {str("abcd"), bitset}).index(), 2);
    EXPECT_EQ(run(ACT_FIND, {text(U"ab\u4E2D", 2), bitset}).type(), TYPE_NONE);
    memory::nodes[bits]->flags |= series_flag::complement;
    EXPECT_EQ(run(ACT_FIND, {text(U"ab\u4E2D", 2), bitset}).index(), 2);

    // In bytes and vectors numbers are compared by value, element by element.
    string::FindOptions o;
    int32_t len = 0;
    Cell bytes = binary_of({1, 200, 3});
    Cell two_hundred = integer(200);
    EXPECT_EQ(string::find_value(&bytes, &two_hundred, o, &len), 1);
    Cell ok = str("ok");
    Cell utf8_bytes = binary_of({'x', 0xC3, 0xA9, 'o', 'k'});
    Cell e_acute = text(U"\u00E9", 1);
    EXPECT_EQ(string::find_value(&utf8_bytes, &e_acute, o, &len), 1);  // text is searched by its UTF-8
    EXPECT_EQ(len, 2);
    EXPECT_EQ(string::find_value(&utf8_bytes, &ok, o, &len), 3);
    Node elements = tv::hold_node(memory::alloc_series(3, 2, 0));
    int16_t values[3] = {-1, 5, 300};
    std::memcpy(memory::nodes[elements]->data(), values, 6);
    memory::nodes[elements]->tail = 6;
    Cell vec;
    set_cell(&vec, TYPE_VECTOR, 0, elements, TYPE_INTEGER);
    Cell minus1 = integer(-1), three_hundred = integer(300), halfway = float_(5.0);
    EXPECT_EQ(string::find_value(&vec, &minus1, o, &len), 0);
    EXPECT_EQ(string::find_value(&vec, &three_hundred, o, &len), 2);
    EXPECT_EQ(string::find_value(&vec, &halfway, o, &len), 1);

    Cell w = none();
    EXPECT_FIRES(err::internal::not_done, run(ACT_FIND, {str("abc"), str("a")}, {{4}}));
    EXPECT_FIRES(err::internal::not_done, run(ACT_FIND, {str("abc"), str("a")}, {{5, &w}}));
    EXPECT_FIRES(err::internal::not_done, run(ACT_SELECT, {str("abc"), str("a")}, {{4}}));
    EXPECT_FIRES(err::script::out_of_range, run(ACT_FIND, {str("abc"), str("a")}, {{6, &zero}}));
    EXPECT_FIRES(err::script::invalid_arg, run(ACT_FIND, {str("abc"), binary_of({'a'})}));
    Cell other = str("abc");
    EXPECT_FIRES(err::script::invalid_refine_arg, run(ACT_FIND, {str("abc"), str("a")}, {{0, &other}}));
}

TEST_F(StringTest, SelectAnswersWhatFollowsTheMatch) {
    Cell two = integer(2);
    struct Case {
        const char* what;
        Cell series;
        Cell value;
        std::vector<Ref> refs;
        int32_t expected;  // codepoint, -1: none
    } cases[] = {
        {"char", str("ab"), character('a'), {}, 'b'},
        {"char at the end", str("a"), character('a'), {}, -1},
        {"string", str("xaby"), str("ab"), {}, 'y'},
        // A formed value is found by its text, but the read moves on by one element only.
        {"formed integer", str("a12b"), integer(12), {}, '2'},
        {"tag", str("x<b>y"), str("b", TYPE_TAG), {}, 'y'},
        {"word", str("key=v"), word_of("key"), {}, '='},
        {"/skip", str("baax"), character('a'), {{6, &two}}, 'x'},
        {"not found", str("abc"), character('z'), {}, -1},
    };
    for (const Case& c : cases) {
        Cell r = run(ACT_SELECT, {c.series, c.value}, c.refs);
        if (c.expected < 0) {
            EXPECT_EQ(r.type(), TYPE_NONE) << c.what;
        } else {
            ASSERT_EQ(r.type(), TYPE_CHAR) << c.what;
            EXPECT_EQ(r.data1, uint32_t(c.expected)) << c.what;
        }
    }
    // In a binary the element is a byte.
    Cell r = run(ACT_SELECT, {binary_of({1, 2, 3}), integer(2)});
    ASSERT_EQ(r.type(), TYPE_INTEGER);
    EXPECT_EQ(r.i1(), 3);
}

TEST_F(StringTest, PathAccess) {
    Cell s = at(str("abcd"), 1);
    auto path = [&](const Cell& element, const Cell* store) {
        PathStep step{};
        Cell v = s;
        step.value = &v;
        step.element = &element;
        step.store = store;
        step.index = -1;
        step.last = true;
        Cell out;
        return *string::eval_path(step, &out);
    };
    EXPECT_EQ(path(integer(1), nullptr).data1, uint32_t('b'));
    EXPECT_EQ(path(integer(-1), nullptr).data1, uint32_t('a'));
    EXPECT_EQ(path(integer(0), nullptr).type(), TYPE_NONE);
    EXPECT_EQ(path(integer(9), nullptr).type(), TYPE_NONE);
    EXPECT_EQ(path(str("bc"), nullptr).data1, uint32_t('d'));
    // A store by key writes the unit after the match's first one, not after the whole match.
    Cell x = character('X');
    path(str("bc"), &x);
    EXPECT_EQ(utf8(s), "abXd");
    Cell y = character('Y');
    path(integer(3), &y);
    EXPECT_EQ(utf8(s), "abXY");
    // A key matching the last unit leaves nothing to store into.
    EXPECT_FIRES(err::script::out_of_range, path(str("Y"), &x));
    EXPECT_FIRES(err::script::bad_path_set, path(character('q'), &x));
    EXPECT_FIRES(err::script::out_of_range, path(integer(0), &x));
    EXPECT_FIRES(err::script::invalid_arg, path(integer(1), &(const Cell&)integer(5)));
    EXPECT_FIRES(err::script::invalid_path, path(word_of("w"), nullptr));
}

// =============================================================================================
// take and swap

TEST_F(StringTest, Take) {
    Cell one = integer(1), minus2 = integer(-2), zero = integer(0);
    Cell s = str("abc");
    Cell r = run(ACT_TAKE, {s});
    EXPECT_EQ(r.type(), TYPE_CHAR);
    EXPECT_EQ(r.data1, uint32_t('a'));
    EXPECT_EQ(utf8(s), "bc");
    r = run(ACT_TAKE, {s}, {{2}});
    EXPECT_EQ(r.data1, uint32_t('c'));
    EXPECT_EQ(utf8(s), "b");
    r = run(ACT_TAKE, {s}, {{0, &one}});
    EXPECT_EQ(r.type(), TYPE_STRING);
    EXPECT_EQ(utf8(r), "b");
    EXPECT_EQ(run(ACT_TAKE, {s}).type(), TYPE_NONE);

    // A negative /part takes the characters before the head; the result keeps type and unit.
    Cell f = at(str("wxyz", TYPE_TAG), 3);
    r = run(ACT_TAKE, {f}, {{0, &minus2}});
    EXPECT_EQ(r.type(), TYPE_TAG);
    EXPECT_EQ(utf8(r), "xy");
    EXPECT_EQ(utf8(f), "wz");
    Cell wide = text(U"\u0101bc", 2);
    r = run(ACT_TAKE, {wide}, {{0, &(const Cell&)integer(2)}, {2}});
    EXPECT_EQ(utf8(r), "bc");
    EXPECT_EQ(unit_of(r), 2u);
    r = run(ACT_TAKE, {str("ab")}, {{0, &zero}});
    EXPECT_EQ(r.type(), TYPE_STRING);
    EXPECT_EQ(string::rs_length_q(&r), 0);
    // In a binary the element is a byte.
    r = run(ACT_TAKE, {binary_of({7, 8})});
    EXPECT_EQ(r.type(), TYPE_INTEGER);
    EXPECT_EQ(r.i1(), 7);
}

TEST_F(StringTest, Swap) {
    Cell a = str("abc"), b = at(str("xyz"), 1);
    Cell r = run(ACT_SWAP, {a, b});
    EXPECT_EQ(r.node(), a.node());
    EXPECT_EQ(utf8(a), "ybc");
    EXPECT_EQ(utf8(b), "xaz");
    // Each side widens as the other's character needs.
    Cell wide = text(U"\u4E2D", 2);
    run(ACT_SWAP, {a, wide});
    EXPECT_EQ(unit_of(a), 2u);
    EXPECT_EQ(utf8(a), "\xE4\xB8\xAD" "bc");
    EXPECT_EQ(utf8(wide), "y");
    // A binary takes bytes only.
    EXPECT_FIRES(err::script::invalid_arg, run(ACT_SWAP, {binary_of({1}), a}));
    EXPECT_FIRES(err::script::invalid_arg, run(ACT_SWAP, {a, integer(1)}));
    // Nothing to exchange at a tail.
    Cell end = at(str("q"), 1);
    run(ACT_SWAP, {end, a});
    EXPECT_EQ(utf8(end), "q");
}

// =============================================================================================
// Set operations and matching

TEST_F(StringTest, SetOperations) {
    Cell two = integer(2);
    struct Case {
        const char* what;
        int op;
        const char* a;
        const char* b;
        bool case_;
        const Cell* skip;
        const char* expected;
    } cases[] = {
        {"unique folds case", OP_UNIQUE, "aAbB", "", false, nullptr, "ab"},
        {"unique /case", OP_UNIQUE, "aAbB", "", true, nullptr, "aAbB"},
        {"difference", OP_DIFFERENCE, "", "xx", false, nullptr, "x"},
        {"difference both ways", OP_DIFFERENCE, "abc", "bcd", false, nullptr, "ad"},
        {"union /skip", OP_UNION, "a1b2", "a3c4", false, &two, "a1b2c4"},
        {"intersect", OP_INTERSECT, "abcA", "CA", false, nullptr, "ac"},
        {"exclude", OP_EXCLUDE, "abcA", "CA", false, nullptr, "b"},
        {"wide keys", OP_UNIQUE, "\xD0\xB4\xD0\x94x", "", false, nullptr, "\xD0\xB4x"},
    };
    for (const Case& c : cases) {
        Cell a = str(c.a), b = str(c.b);
        string::do_set_op(&a, &b, c.op, c.case_, c.skip);
        EXPECT_EQ(utf8(a), c.expected) << c.what;
        EXPECT_EQ(a.type(), TYPE_STRING) << c.what;
    }
    Cell a = str("ab"), b = str("b");
    EXPECT_FIRES(err::script::invalid_refine_arg, string::do_set_op(&a, &b, OP_UNION, false, &(const Cell&)integer(0)));
}

TEST_F(StringTest, MatchingAtTheHead) {
    Cell s = str("<b>rest");
    Cell tag = str("b", TYPE_TAG);
    EXPECT_TRUE(string::match_tag_q(&s, &tag));
    EXPECT_TRUE(string::match_value_q(&s, &tag, COMP_EQUAL));
    // Never reads past the tail: the closing bracket would lie beyond it.
    Cell cut = str("<b");
    EXPECT_FALSE(string::match_tag_q(&cut, &tag));
    Cell longer = str("bcd", TYPE_TAG);
    EXPECT_FALSE(string::match_tag_q(&s, &longer));
    Cell text1 = str("<B>");
    EXPECT_TRUE(string::match_value_q(&text1, &tag, COMP_EQUAL));
    EXPECT_FALSE(string::match_value_q(&text1, &tag, COMP_STRICT_EQUAL));

    Cell hello = str("Hello");
    EXPECT_TRUE(string::match_value_q(&hello, &(const Cell&)str("hel"), COMP_EQUAL));
    EXPECT_FALSE(string::match_value_q(&hello, &(const Cell&)str("hel"), COMP_STRICT_EQUAL));
    EXPECT_FALSE(string::match_value_q(&hello, &(const Cell&)str("hello!"), COMP_EQUAL));
    EXPECT_TRUE(string::match_value_q(&hello, &(const Cell&)character('h'), COMP_EQUAL));
    EXPECT_FALSE(string::match_value_q(&hello, &(const Cell&)character('h'), COMP_STRICT_EQUAL));
    EXPECT_FALSE(string::match_value_q(&hello, &(const Cell&)integer(1), COMP_EQUAL));
    EXPECT_TRUE(string::match_literal_q(&hello, "Hel"));
    EXPECT_FALSE(string::match_literal_q(&hello, "Hello!"));
    EXPECT_EQ(string::find_char(&hello, 'l'), 2);
}

// =============================================================================================
// Owner notification

std::vector<std::string> events;

// The routine behind the owner's on-deep-change*: records the action word, the index and the part.
void record_event() {
    Cell* a = stack::arguments;
    events.push_back(tv::mold(a[3]) + " " + std::to_string(a[5].i1()) + " " + std::to_string(a[6].i1()));
    set_cell(a, TYPE_UNSET);
}

TEST_F(StringTest, OwnersHearEveryChangeBeforeAndAfter) {
    static int code = routines::register_("test-record-event", record_event);
    stack::Saved saved = stack::save();
    Cell spec = block_of({word_of("owner"), word_of("word"), word_of("target"), word_of("action"), word_of("new"),
                          word_of("index"), word_of("part")});
    Cell nothing = none();
    Cell recorder = tv::hold(*routine::push(&spec, &nothing, code, 0, false));
    stack::restore(saved);
    Cell recorder_name = word_of("kel-test-record-event");
    word::set_value(&recorder_name, &recorder);
    Cell body = block_of({recorder_name, word_of("owner"), word_of("word"), word_of("target"), word_of("action"),
                          word_of("new", TYPE_GET_WORD), word_of("index"), word_of("part")});
    Cell handler;
    function::make_at(&handler, &spec, &body, function::validate_spec(&spec));
    tv::hold(handler);
    Cell handler_name = word_of("kel-test-deep-handler");
    word::set_value(&handler_name, &handler);
    Cell object_spec = block_of({word_of("text", TYPE_SET_WORD), str("abc"), word_of("on-deep-change*", TYPE_SET_WORD),
                                 word_of("kel-test-deep-handler", TYPE_GET_WORD)});
    Cell proto = datatype_of(TYPE_OBJECT);
    Cell o = tv::hold(*actions::make(&proto, &object_spec));
    Cell field_word = word_of("text");
    Cell text = *object::get_word(&o, &field_word);
    ASSERT_EQ(text.type(), TYPE_STRING);

    struct Case {
        const char* what;
        int action;
        std::vector<Cell> args;
        std::vector<Ref> refs;
        std::vector<std::string> heard;
    } cases[] = {
        {"append", ACT_APPEND, {text, str("de")}, {}, {"append 3 -1", "appended 3 1"}},
        {"insert", ACT_INSERT, {at(text, 1), str("x")}, {}, {"insert 1 -1", "inserted 1 1"}},
        {"change", ACT_CHANGE, {at(text, 2), str("YZ")}, {}, {"change 2 1", "changed 2 2"}},
        {"sort", ACT_SORT, {text}, {{0}}, {"sort 0 6", "sorted 0 6"}},
        {"trim", ACT_TRIM, {text}, {}, {"trim 0 6", "trimmed 0 6"}},
        {"take", ACT_TAKE, {text}, {{2}}, {"take 5 1", "taken 5 1"}},
        {"swap", ACT_SWAP, {text, str("q")}, {}, {"swap 0 1", "swaped 0 1"}},
        {"an empty append tells only before", ACT_APPEND, {text, str("")}, {}, {"append 5 -1"}},
    };
    for (const Case& c : cases) {
        events.clear();
        run(c.action, c.args, c.refs);
        EXPECT_EQ(events, c.heard) << c.what;
    }
    // Path stores go through poke.
    events.clear();
    PathStep step{};
    Cell v = text, el = integer(2), x = character('!');
    step.value = &v;
    step.element = &el;
    step.store = &x;
    step.index = -1;
    step.last = true;
    Cell out;
    string::eval_path(step, &out);
    EXPECT_EQ(events, (std::vector<std::string>{"poke 1 1", "poked 1 1"}));
    EXPECT_EQ(utf8(text), "q!ade");  // the text after all of the above
}

// =============================================================================================
// issue!

TEST_F(StringTest, Issue) {
    Cell p = datatype_of(TYPE_ISSUE);
    Cell s = str("abc");
    Cell i = tv::hold(*actions::to(&p, &s));
    EXPECT_EQ(i.type(), TYPE_ISSUE);
    EXPECT_EQ(molded(i), "#abc");
    Cell formed;
    actions::form_new(&formed, &i);
    EXPECT_EQ(from_head(formed), "abc");
    p = datatype_of(TYPE_ISSUE);
    Cell later = at(str("abc-123"), 4);
    EXPECT_EQ(molded(*actions::to(&p, &later)), "#123");
    p = datatype_of(TYPE_ISSUE);
    Cell x = character('x');
    EXPECT_EQ(molded(*actions::make(&p, &x)), "#x");
    // A word keeps its symbol, binding and index under the new type.
    Cell w = word_of("system");
    p = datatype_of(TYPE_ISSUE);
    Cell from_word = tv::hold(*actions::to(&p, &w));
    EXPECT_EQ(from_word.type(), TYPE_ISSUE);
    EXPECT_EQ(from_word.data1, w.data1);
    EXPECT_EQ(from_word.data2, w.data2);
    EXPECT_EQ(from_word.data3, w.data3);
    // Comparable with issues only: a word of the same text is not comparable.
    Cell j;
    issue::make_at(&j, "abc");
    tv::hold(j);
    EXPECT_EQ(actions::compare_value(&i, &j, COMP_EQUAL), 0);
    Cell abc = word_of("abc");
    EXPECT_EQ(actions::compare_value(&i, &abc, COMP_EQUAL), -2);
    Cell k;
    issue::make_at(&k, "ABC");
    tv::hold(k);
    EXPECT_EQ(actions::compare_value(&i, &k, COMP_EQUAL), 0);
    EXPECT_NE(actions::compare_value(&i, &k, COMP_STRICT_EQUAL), 0);
}

}  // namespace
