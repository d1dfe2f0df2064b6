// The lexer: every literal form, nesting, the scan modes, syntax errors and the trace protocol.
#include <gtest/gtest.h>

#include "tests/support/held.h"

#include <cmath>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "datatypes/binary.h"
#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/date.h"
#include "datatypes/error.h"
#include "datatypes/map.h"
#include "datatypes/money.h"
#include "datatypes/pair.h"
#include "datatypes/point.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/tuple.h"
#include "evaluator/actions.h"
#include "loading/lexer.h"
#include "runtime/fire.h"
#include "runtime/runtime.h"
#include "runtime/stack.h"

namespace {

Cell load_block(std::string_view text) {
    Cell b;
    lexer::load(&b, text);
    return tv::hold(b);
}

int32_t length(const Cell& b) { return block::rs_length_q(&b); }
Cell item(const Cell& b, int i) { return *(block::rs_head(&b) + i); }

// The single value a text holds.
Cell value_of(std::string_view text) {
    Cell b = load_block(text);
    EXPECT_EQ(length(b), 1) << text;
    return length(b) ? item(b, 0) : Cell{};
}

std::string text_of(const Cell& v) { return string::to_utf8(&v); }

std::string mold(const Cell& v, bool all = false) {
    Cell s;
    actions::mold_new(&s, &v, all);
    return string::to_utf8(&s);
}

std::string word_text(const Cell& w) { return symbol::to_string(static_cast<int32_t>(w.data2)); }

std::string utf8_of(uint32_t cp) {
    std::string s;
    if (cp < 0x80) {
        s.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        s.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        s.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        s.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        s.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        s.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        s.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        s.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        s.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        s.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
    return s;
}

// Equality of two loaded values: through their compare action when the type has one, else by
// content.
bool same_value(const Cell& a, const Cell& b) {
    if (a.type() != b.type()) return false;
    if (datatype::slot(a.type(), ACT_COMPARE)) return actions::compare_value(&a, &b, COMP_STRICT_EQUAL) == 0;
    if (types::any_string(a.type())) return text_of(a) == text_of(b);
    if (a.type() == TYPE_BINARY) {
        int32_t n = binary::rs_length_q(&a);
        return n == binary::rs_length_q(&b) && std::memcmp(binary::rs_head(&a), binary::rs_head(&b), size_t(n)) == 0;
    }
    return a.data1 == b.data1 && a.data2 == b.data2 && a.data3 == b.data3;
}

// A syntax (or other) error raised by f: its id and the message the catalog makes of it.
struct Raised {
    std::string id;
    std::string message;
    std::vector<Cell> args;
};

std::string arg_text(const Cell& a) {
    switch (a.type()) {
        case TYPE_STRING: return text_of(a);
        case TYPE_CHAR: return utf8_of(a.data1);
        case TYPE_DATATYPE: {
            // The registry's name (without "!"); types registered by modules not linked in yet
            // are named from the fixed table of type ids.
            static const char* const names[] = {
                "", "datatype", "unset", "none", "logic", "block", "paren", "string", "file", "url", "char",
                "integer", "float", "symbol", "context", "word", "set-word", "lit-word", "get-word", "refinement",
                "issue", "native", "action", "op", "function", "path", "lit-path", "set-path", "get-path",
                "routine", "bitset", "triple", "object", "typeset", "error", "vector", "hash", "pair", "percent",
                "tuple", "map", "binary", "series", "time", "tag", "email", "handle", "date", "port", "money",
                "ref", "point2D", "point3D", "image", "event"};
            int t = static_cast<int>(a.data1);
            std::string n = datatype::name_of(t);
            if (!n.empty()) return n.substr(0, n.size() - 1);
            return t > 0 && t < int(sizeof names / sizeof *names) ? names[t] : "?";
        }
        default: return "?";
    }
}

// The catalog's message template ([:arg1 "invalid" :arg2 "at" :arg3]) filled with the arguments,
// syntax arguments formed.
std::string format_message(const char* tmpl, const std::vector<Cell>& args) {
    std::string out;
    const char* p = tmpl;
    auto add = [&](const std::string& piece) {
        if (!out.empty()) out.push_back(' ');
        out += piece;
    };
    while (*p) {
        if (*p == '"') {
            const char* e = std::strchr(p + 1, '"');
            add(std::string(p + 1, e));
            p = e + 1;
        } else if (std::strncmp(p, ":arg", 4) == 0) {
            size_t i = size_t(p[4] - '1');
            add(i < args.size() ? arg_text(args[i]) : "none");
            p += 5;
        } else {
            p++;
        }
    }
    return out;
}

template <class F>
std::optional<Raised> raised(F&& f) {
    stack::Saved saved = stack::save();
    stack::mark_named(stack::body_symbol, FRAME_TRY);
    try {
        f();
    } catch (const Throw& t) {
        stack::restore(saved);
        if (t.code != codes::error) throw;
        runtime::sys.thrown = 0;
        Cell err = stack::pending_error;
        ErrorId id = error::id_of(&err);
        std::vector<Cell> args;
        for (int i = 0; i < 3; i++) args.push_back(*error::field(&err, static_cast<error::Field>(error::FIELD_ARG1 + i)));
        const catalog::IdText& entry = catalog::categories[id.category].ids[id.index - 2];
        return Raised{entry.name, format_message(entry.message, args), args};
    }
    stack::restore(saved);
    return std::nullopt;
}

std::string error_message(std::string_view text) {
    auto r = raised([&] { load_block(text); });
    return r ? r->message : "(no error)";
}

// ---------------------------------------------------------------------------------------------

// Every literal form of the types whose text this module writes: the loaded value has the type,
// molds to the canonical form, and that form loads back to an equal value.
TEST(LexerLiterals, MoldedFormLoadsBack) {
    struct Case {
        const char* text;
        uint8_t type;
        const char* molded;
        bool all;
    };
    const Case cases[] = {
        {"1x2", TYPE_PAIR, "1x2", false},
        {"-1x-2", TYPE_PAIR, "-1x-2", false},
        {"3X4", TYPE_PAIR, "3x4", false},
        {"1'000x+2", TYPE_PAIR, "1000x2", false},
        {"50%", TYPE_PERCENT, "50%", false},
        {"12.5%", TYPE_PERCENT, "12.5%", false},
        {"-0.5%", TYPE_PERCENT, "-0.5%", false},
        {"1e2%", TYPE_PERCENT, "100%", false},
        {"1.2.3", TYPE_TUPLE, "1.2.3", false},
        {"255.0.0.128", TYPE_TUPLE, "255.0.0.128", false},
        {"1.2.3.4.5.6.7.8.9.10.11.12", TYPE_TUPLE, "1.2.3.4.5.6.7.8.9.10.11.12", false},
        {"$1.50", TYPE_MONEY, "$1.50", false},
        {"-$1", TYPE_MONEY, "-$1.00", false},
        {"+$2", TYPE_MONEY, "$2.00", false},
        {"$1,5", TYPE_MONEY, "$1.50", false},
        {"$007", TYPE_MONEY, "$7.00", false},
        {"usd$1'000.5", TYPE_MONEY, "USD$1000.50", false},
        {"USD$1'000.12345", TYPE_MONEY, "USD$1000.12345", true},
        {"-EUR$0.00001", TYPE_MONEY, "-EUR$0.00001", true},
        {"$99999999999999999.99999", TYPE_MONEY, "$99999999999999999.99999", true},
        {"$0000000000000000000000000000000000000000000000000000000000000000000000012.5", TYPE_MONEY, "$12.50", false},
        {"2024-01-15", TYPE_DATE, "15-Jan-2024", false},
        {"15-Jan-2024", TYPE_DATE, "15-Jan-2024", false},
        {"15/1/24", TYPE_DATE, "15-Jan-2024", false},
        {"15-jan-75", TYPE_DATE, "15-Jan-1975", false},
        {"15-jan-49", TYPE_DATE, "15-Jan-2049", false},
        {"15-jan-50", TYPE_DATE, "15-Jan-1950", false},
        {"15-jan-050", TYPE_DATE, "15-Jan-0050", false},
        {"1-September-2001", TYPE_DATE, "1-Sep-2001", false},
        {"1-1-1", TYPE_DATE, "1-Jan-2001", false},
        {"29-Feb-2000", TYPE_DATE, "29-Feb-2000", false},
        {"20240115T103000Z", TYPE_DATE, "15-Jan-2024/10:30:00", false},
        {"20240115T1030+0130", TYPE_DATE, "15-Jan-2024/10:30:00+01:30", false},
        {"20240115T103000.5-0130", TYPE_DATE, "15-Jan-2024/10:30:00.5-01:30", false},
        {"20240115T235959.75-1500", TYPE_DATE, "15-Jan-2024/23:59:59.75-15:00", false},
        {"20240115T103005.Z", TYPE_DATE, "15-Jan-2024/10:30:05", false},
        {"2024-01-15T10:30:05.5+0530", TYPE_DATE, "15-Jan-2024/10:30:05.5+05:30", false},
        {"2024-01-15T10:30+1", TYPE_DATE, "15-Jan-2024/10:30:00+01:00", false},
        {"2024-W03-1T10:30Z", TYPE_DATE, "15-Jan-2024/10:30:00", false},
        {"2024-W03-1", TYPE_DATE, "15-Jan-2024", false},
        {"2024-W01", TYPE_DATE, "1-Jan-2024", false},
        {"2021-W53-5", TYPE_DATE, "7-Jan-2022", false},
        {"2024-015", TYPE_DATE, "15-Jan-2024", false},
        {"2024-366", TYPE_DATE, "31-Dec-2024", false},
        {"2024-01-15/10:30:00+01:00", TYPE_DATE, "15-Jan-2024/10:30:00+01:00", false},
        {"2024-01-15T10:30-05:30", TYPE_DATE, "15-Jan-2024/10:30:00-05:30", false},
        {"1-Jan-2000/10:00-0:30", TYPE_DATE, "1-Jan-2000/10:00:00-00:30", false},
        {"2024-01-15/10:30Z", TYPE_DATE, "15-Jan-2024/10:30:00", false},
        {"1-Jan-2000/0:00", TYPE_DATE, "1-Jan-2000/0:00:00", false},
        {"1-Jan-2000/23:59:59.5", TYPE_DATE, "1-Jan-2000/23:59:59.5", false},
        {"5-Mar-0099", TYPE_DATE, "5-Mar-0099", false},
        {"15/Mar/-0044", TYPE_DATE, "15/Mar/-0044", false},
        // A first number of three digits or more is the year, however small; a shorter one the day.
        {"0001-02-03", TYPE_DATE, "3-Feb-0001", false},
        {"0099-12-31", TYPE_DATE, "31-Dec-0099", false},
        {"0044/3/15", TYPE_DATE, "15-Mar-0044", false},
        {"-0044-03-15", TYPE_DATE, "15/Mar/-0044", false},
        {"0005-Mar-02T10:00", TYPE_DATE, "2-Mar-0005/10:00:00", false},
        {"01-02-03", TYPE_DATE, "1-Feb-2003", false},
        {"0001-02-2003", TYPE_DATE, "1-Feb-2003", false},
        {"(1, 2)", TYPE_POINT2D, "(1.0, 2.0)", false},
        {"( -1.5 ,2.25 )", TYPE_POINT2D, "(-1.5, 2.25)", false},
        {"(0.1, 1e-3)", TYPE_POINT2D, "(0.1, 0.001)", false},
        {"(1.#INF, -1.#inf)", TYPE_POINT2D, "(1.#INF, -1.#INF)", false},
        {"(1.5, 2, 3e2)", TYPE_POINT3D, "(1.5, 2.0, 300.0)", false},
        {"(1'000.5, 2)", TYPE_POINT2D, "(1000.5, 2.0)", false},
        {"(1.5'5, 2'0)", TYPE_POINT2D, "(1.55, 20.0)", false},
        {"20240229T103000", TYPE_DATE, "29-Feb-2024/10:30:00", false},
        {"#{0102FF}", TYPE_BINARY, "#{0102FF}", false},
        {"#{01 02 ff}", TYPE_BINARY, "#{0102FF}", false},
        {"16#{}", TYPE_BINARY, "#{}", false},
        {"2#{00000001 11111111}", TYPE_BINARY, "#{01FF}", false},
        {"64#{AQ==}", TYPE_BINARY, "#{01}", false},
        {"64#{/w==}", TYPE_BINARY, "#{FF}", false},
        {"64#{AQID}", TYPE_BINARY, "#{010203}", false},
        {"#{01 ; note\n02}", TYPE_BINARY, "#{0102}", false},
        {"2#{0000 ; note\n0001}", TYPE_BINARY, "#{01}", false},
        {"64#{AQ ; note\nID}", TYPE_BINARY, "#{010203}", false},
        {"64#{AQ=; note\n=}", TYPE_BINARY, "#{01}", false},
        {"64#{AQI=}", TYPE_BINARY, "#{0102}", false},
        {"%a/b.txt", TYPE_FILE, "%a/b.txt", false},
        {"%\"a b\"", TYPE_FILE, "%\"a b\"", false},
        {"%a%20b", TYPE_FILE, "%\"a b\"", false},
        {"%\"\"", TYPE_FILE, "%\"\"", false},
        {"%\xC3\xA9.txt", TYPE_FILE, "%\xC3\xA9.txt", false},
        {"%\"a^\"b\"", TYPE_FILE, "%\"a^\"b\"", false},
        {"http://example.com/a?b=1&c", TYPE_URL, "http://example.com/a?b=1&c", false},
        {"http://x.org/a%20b", TYPE_URL, "http://x.org/a%20b", false},
        {"ftp://h/%C3%A9", TYPE_URL, "ftp://h/%C3%A9", false},
        {"a:b", TYPE_URL, "a:b", false},
        {"user@example.com", TYPE_EMAIL, "user@example.com", false},
        {"<a>", TYPE_TAG, "<a>", false},
        {"<a href=\">\">", TYPE_TAG, "<a href=\">\">", false},
        {"</b>", TYPE_TAG, "</b>", false},
        {"<->", TYPE_TAG, "<->", false},
        {"@name", TYPE_REF, "@name", false},
        {"#[a 1x2 3x4 b: c 'd]", TYPE_MAP, "#[\n    a: 1x2\n    3x4 b:\n    c: 'd\n]", false},
        {"#[]", TYPE_MAP, "#[]", false},
        {"a", TYPE_WORD, "a", false},
        {"a:", TYPE_SET_WORD, "a:", false},
        {":a", TYPE_GET_WORD, ":a", false},
        {"'a", TYPE_LIT_WORD, "'a", false},
        {"/a", TYPE_REFINEMENT, "/a", false},
        {"+", TYPE_WORD, "+", false},
        {"-", TYPE_WORD, "-", false},
        {"->", TYPE_WORD, "->", false},
        {"<", TYPE_WORD, "<", false},
        {"<=", TYPE_WORD, "<=", false},
        {"<>", TYPE_WORD, "<>", false},
        {"<<", TYPE_WORD, "<<", false},
        {"<-", TYPE_WORD, "<-", false},
        {">=", TYPE_WORD, ">=", false},
        {"/", TYPE_WORD, "/", false},
        {"//", TYPE_WORD, "//", false},
        {"%", TYPE_WORD, "%", false},
        {"'/", TYPE_LIT_WORD, "'/", false},
        {":/", TYPE_GET_WORD, ":/", false},
        {"/:", TYPE_SET_WORD, "/:", false},
        {"'//", TYPE_LIT_WORD, "'//", false},
        {"://", TYPE_GET_WORD, "://", false},
        {"//:", TYPE_SET_WORD, "//:", false},
        {"'<<", TYPE_LIT_WORD, "'<<", false},
        {":<<", TYPE_GET_WORD, ":<<", false},
        {"<>:", TYPE_SET_WORD, "<>:", false},
        {"'-", TYPE_LIT_WORD, "'-", false},
        {"...", TYPE_WORD, "...", false},
        {"a.b", TYPE_WORD, "a.b", false},
        {"a'b", TYPE_WORD, "a'b", false},
        {"\xC3\xA9t\xC3\xA9", TYPE_WORD, "\xC3\xA9t\xC3\xA9", false},
        {"each", TYPE_WORD, "each", false},
        {"BEACH", TYPE_WORD, "BEACH", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        Cell v = value_of(c.text);
        ASSERT_EQ(v.type(), c.type);
        std::string m = mold(v, c.all);
        EXPECT_EQ(m, c.molded);
        Cell again = value_of(m);
        EXPECT_TRUE(same_value(v, again)) << m;
    }
}

// Whether a value and everything in it have a mold action registered.
bool moldable(const Cell& v) {
    if (!datatype::slot(v.type(), ACT_MOLD)) return false;
    if (types::any_block(v.type()))
        for (int32_t i = 0; i < length(v); i++)
            if (!moldable(item(v, i))) return false;
    return true;
}

// The same for the literal forms of the core types, whose text their own modules write: checked
// once those modules are registered (their loaded contents are checked below regardless).
TEST(LexerLiterals, CoreFormsLoadBack) {
    struct Case {
        const char* text;
        uint8_t type;
        const char* molded;
    };
    const Case cases[] = {
        {"123", TYPE_INTEGER, "123"},
        {"-5", TYPE_INTEGER, "-5"},
        {"1.5", TYPE_FLOAT, "1.5"},
        {"1e20", TYPE_FLOAT, "1.0e20"},
        {"#\"a\"", TYPE_CHAR, "#\"a\""},
        {"1:30", TYPE_TIME, "1:30:00"},
        {"-0:30", TYPE_TIME, "-0:30:00"},
        {"#abc", TYPE_ISSUE, "#abc"},
        {"\"abc\"", TYPE_STRING, "\"abc\""},
        {"[a [b] (c)]", TYPE_BLOCK, "[a [b] (c)]"},
        {"(a 1x2)", TYPE_PAREN, "(a 1x2)"},
        {"a/b/c", TYPE_PATH, "a/b/c"},
        {"a/b:", TYPE_SET_PATH, "a/b:"},
        {"'a/b", TYPE_LIT_PATH, "'a/b"},
        {":a/b", TYPE_GET_PATH, ":a/b"},
        {"a/(b)/1", TYPE_PATH, "a/(b)/1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        Cell v = value_of(c.text);
        ASSERT_EQ(v.type(), c.type);
        if (!moldable(v)) continue;
        std::string m = mold(v);
        EXPECT_EQ(m, c.molded);
        EXPECT_TRUE(same_value(v, value_of(m)));
    }
}

TEST(LexerLiterals, Integers) {
    const std::pair<const char*, int32_t> cases[] = {
        {"0", 0},           {"7", 7},        {"2147483647", 2147483647}, {"-2147483648", INT32_MIN},
        {"+5", 5},          {"-0", 0},       {"1'000'000", 1000000},     {"0012", 12},
        {"FFh", 255},       {"FFFFFFFFh", -1}, {"0FFh", 255},            {"80000000h", INT32_MIN},
        {"1E5h", 0x1E5},    {"12h", 0x12},   {"DEADh", 0xDEAD},
    };
    for (auto& [text, expected] : cases) {
        SCOPED_TRACE(text);
        Cell v = value_of(text);
        ASSERT_EQ(v.type(), TYPE_INTEGER);
        EXPECT_EQ(v.i1(), expected);
    }
}

TEST(LexerLiterals, Floats) {
    const double inf = std::numeric_limits<double>::infinity();
    const std::pair<const char*, double> cases[] = {
        {"2147483648", 2147483648.0},   {"-2147483649", -2147483649.0}, {"12345678901", 12345678901.0},
        {"00000000001", 1.0},           {"1.5", 1.5},                   {".5", 0.5},
        {"-.5", -0.5},                  {"1.", 1.0},                    {"1e10", 1e10},
        {"1E-3", 0.001},                {"1.5e+2", 150.0},              {"1'000.5", 1000.5},
        {"0.1", 0.1},                   {"1E5", 1e5},                   {"1.#INF", inf},
        {"-1.#inf", -inf},              {"1e400", inf},
    };
    for (auto& [text, expected] : cases) {
        SCOPED_TRACE(text);
        Cell v = value_of(text);
        ASSERT_EQ(v.type(), TYPE_FLOAT);
        EXPECT_EQ(v.f(), expected);
    }
    Cell nan = value_of("1.#NaN");
    ASSERT_EQ(nan.type(), TYPE_FLOAT);
    EXPECT_TRUE(std::isnan(nan.f()));
    // Percentages are scaled exactly, not by a rounded division.
    EXPECT_EQ(value_of("0.3%").f(), 0.003);
}

TEST(LexerLiterals, Times) {
    const std::pair<const char*, double> cases[] = {
        {"1:30", 5400},     {"1:30.5", 90.5},     {"-0:30", -1800}, {"1:30:45.25", 5445.25},
        {"+1:00", 3600},    {"100:00", 360000},   {"0:0:1,5", 1.5}, {"1'000:00", 3600000},
    };
    for (auto& [text, expected] : cases) {
        SCOPED_TRACE(text);
        Cell v = value_of(text);
        ASSERT_EQ(v.type(), TYPE_TIME);
        EXPECT_EQ(v.f(), expected);
    }
}

// The seconds of a time are float text and may be as long as any float text (312 characters):
// a long fraction, as a program writing full precision makes, loads; one character more is
// invalid, as it is for a float.
TEST(LexerLiterals, TimeSecondsAsLongAsFloatText) {
    auto seconds = [](size_t length) { return "1." + std::string(length - 3, '0') + "5"; };  // 1.0...05
    struct Case {
        std::string text;
        double expected;
    };
    const Case cases[] = {
        {"1:00:" + seconds(61), 3601},
        {"1:00:" + seconds(312), 3601},
        {"2:01." + std::string(80, '0') + "5", 121},  // minutes:seconds.fraction
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.size());
        ASSERT_EQ(error_message(c.text), "(no error)");
        Cell v = value_of(c.text);
        ASSERT_EQ(v.type(), TYPE_TIME);
        EXPECT_EQ(v.f(), c.expected);
    }
    EXPECT_EQ(error_message("1:00:" + seconds(313)).substr(0, 22), "(line 1) invalid time ");
}

TEST(LexerLiterals, Chars) {
    const std::pair<const char*, uint32_t> cases[] = {
        {"#\"a\"", 'a'},          {"#\"^(41)\"", 0x41},    {"#\"^(1F600)\"", 0x1F600}, {"#\"^/\"", 10},
        {"#\"^(line)\"", 10},     {"#\"^(TAB)\"", 9},      {"#\"\xC3\xA9\"", 0xE9},    {"#\"^^\"", '^'},
        {"#\"^\"\"", '"'},        {"#\"^A\"", 1},          {"#\"^[\"", 27},            {"#\"^-\"", 9},
        {"#\"^~\"", 127},         {"#\"^@\"", 0},          {"#\"^(null)\"", 0},        {"#\"^(10FFFF)\"", 0x10FFFF},
        {"#\"\xF0\x9F\x98\x80\"", 0x1F600},
        {"#\"^(D800)\"", 0xD800},     {"#\"^(DFFF)\"", 0xDFFF},  // surrogates are code points too
    };
    for (auto& [text, expected] : cases) {
        SCOPED_TRACE(text);
        Cell v = value_of(text);
        ASSERT_EQ(v.type(), TYPE_CHAR);
        EXPECT_EQ(v.data1, expected);
    }
}

TEST(LexerLiterals, Strings) {
    const std::pair<const char*, const char*> cases[] = {
        {"\"a^(41)b\"", "aAb"},
        {"\"^(line)x^/\"", "\nx\n"},
        {"\"\"", ""},
        {"{a{b}c}", "a{b}c"},
        {"{a\nb}", "a\nb"},
        {"{^}x^{}", "}x{"},
        {"{}", ""},
        {"%{a}%", "a"},
        {"%%{a}% b}%%", "a}% b"},
        {"%{x{y}%", "x{y"},
        {"%{^/}%", "^/"},
        {"\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\"", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
        {"\"^(E9)\"", "\xC3\xA9"},
        {"\"^(DC00)x\"", "\xED\xB0\x80x"},  // a surrogate escape gives that code point
    };
    for (auto& [text, expected] : cases) {
        SCOPED_TRACE(text);
        Cell v = value_of(text);
        ASSERT_EQ(v.type(), TYPE_STRING);
        EXPECT_EQ(text_of(v), expected);
    }
    // The unit follows the largest code point: 1 byte up to U+00FF, 2 up to U+FFFF, else 4.
    EXPECT_EQ(memory::nodes[value_of("\"abc\"").node()]->unit(), 1u);
    EXPECT_EQ(memory::nodes[value_of("\"\xE2\x82\xAC\"").node()]->unit(), 2u);
    EXPECT_EQ(memory::nodes[value_of("\"^(1F600)\"").node()]->unit(), 4u);
}

TEST(LexerLiterals, IssuesAndConstructions) {
    Cell issue = value_of("#abc");
    ASSERT_EQ(issue.type(), TYPE_ISSUE);
    EXPECT_EQ(word_text(issue), "abc");
    EXPECT_EQ(word_text(value_of("#1.2")), "1.2");
    Cell t = value_of("#(true)");
    EXPECT_EQ(t.type(), TYPE_LOGIC);
    EXPECT_EQ(t.data1, 1u);
    EXPECT_EQ(value_of("#(False)").data1, 0u);
    EXPECT_EQ(value_of("#(NONE)").type(), TYPE_NONE);
    EXPECT_EQ(value_of("#(unset)").type(), TYPE_UNSET);
    Cell dt = value_of("#(PAIR!)");
    ASSERT_EQ(dt.type(), TYPE_DATATYPE);
    EXPECT_EQ(dt.data1, uint32_t(TYPE_PAIR));
}

// Blocks, parens, paths and maps nest in any combination; each value keeps its type.
TEST(LexerStructure, Nesting) {
    Cell b = load_block("[a [b c] (d)] e");
    ASSERT_EQ(length(b), 2);
    Cell outer = item(b, 0);
    ASSERT_EQ(outer.type(), TYPE_BLOCK);
    ASSERT_EQ(length(outer), 3);
    EXPECT_EQ(item(outer, 1).type(), TYPE_BLOCK);
    EXPECT_EQ(length(item(outer, 1)), 2);
    EXPECT_EQ(item(outer, 2).type(), TYPE_PAREN);
    EXPECT_EQ(word_text(item(item(outer, 2), 0)), "d");

    Cell path = value_of("a/1/(b c)/\"s\"/#i/<t>/@r/$1/'c/:d");
    ASSERT_EQ(path.type(), TYPE_PATH);
    const uint8_t kinds[] = {TYPE_WORD,  TYPE_INTEGER, TYPE_PAREN, TYPE_STRING,   TYPE_ISSUE,
                             TYPE_TAG,   TYPE_REF,     TYPE_MONEY, TYPE_LIT_WORD, TYPE_GET_WORD};
    ASSERT_EQ(length(path), 10);
    for (int i = 0; i < 10; i++) EXPECT_EQ(item(path, i).type(), kinds[i]) << i;
    EXPECT_EQ(length(item(path, 2)), 2);

    Cell set = value_of("a/b/c:");
    ASSERT_EQ(set.type(), TYPE_SET_PATH);
    EXPECT_EQ(length(set), 3);
    EXPECT_EQ(value_of("'a/b").type(), TYPE_LIT_PATH);
    EXPECT_EQ(value_of(":a/b").type(), TYPE_GET_PATH);
    EXPECT_EQ(word_text(item(value_of("'a/b"), 0)), "a");

    Cell mixed = load_block("[a/b: x/(y/z)] (1, 2)");
    ASSERT_EQ(length(mixed), 2);
    Cell inner = item(mixed, 0);
    EXPECT_EQ(item(inner, 0).type(), TYPE_SET_PATH);
    Cell xp = item(inner, 1);
    ASSERT_EQ(xp.type(), TYPE_PATH);
    EXPECT_EQ(item(item(xp, 1), 0).type(), TYPE_PATH);
    EXPECT_EQ(item(mixed, 1).type(), TYPE_POINT2D);

    Cell m = value_of("#[a [1x1 #[b c]] \"s\" (x)]");
    ASSERT_EQ(m.type(), TYPE_MAP);
    EXPECT_EQ(map::count(&m), 2);
}

// Delimiters that end a token without a blank.
TEST(LexerStructure, TokenBoundaries) {
    struct Case {
        const char* text;
        std::vector<uint8_t> types;
    };
    const Case cases[] = {
        {"a[b]", {TYPE_WORD, TYPE_BLOCK}},
        {"a\"s\"", {TYPE_WORD, TYPE_STRING}},
        {"a#b", {TYPE_WORD, TYPE_ISSUE}},
        {"a<b>", {TYPE_WORD, TYPE_TAG}},
        {"1;c\n2", {TYPE_INTEGER, TYPE_INTEGER}},
        {"#a@b", {TYPE_ISSUE, TYPE_REF}},
        {"%a:b", {TYPE_FILE, TYPE_GET_WORD}},
        {"1.5<a>", {TYPE_FLOAT, TYPE_TAG}},
        {"$1[2]", {TYPE_MONEY, TYPE_BLOCK}},
        {"x:[1]", {TYPE_SET_WORD, TYPE_BLOCK}},
        {"(a)(b)", {TYPE_PAREN, TYPE_PAREN}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        Cell b = load_block(c.text);
        ASSERT_EQ(length(b), static_cast<int32_t>(c.types.size()));
        for (size_t i = 0; i < c.types.size(); i++) EXPECT_EQ(item(b, int(i)).type(), c.types[i]);
    }
}

// White space: blanks, control bytes and Unicode spaces separate tokens; NUL ends the text; a
// value that begins a line carries the new-line mark.
TEST(LexerStructure, BlanksAndLines) {
    EXPECT_EQ(length(load_block("")), 0);
    EXPECT_EQ(length(load_block(" \t\r\n ")), 0);
    EXPECT_EQ(length(load_block("a\x01\x0B\x1F" "b")), 2);
    Cell nul = load_block(std::string_view("a b\0c", 5));
    ASSERT_EQ(length(nul), 2);
    EXPECT_EQ(word_text(item(nul, 1)), "b");
    // U+3000 and U+00A0 around and inside words, and a token of spaces only.
    Cell u = load_block("\xE3\x80\x80" "a\xE3\x80\x80" "b\xC2\xA0 \xE3\x80\x80");
    ASSERT_EQ(length(u), 2);
    EXPECT_EQ(word_text(item(u, 0)), "a");
    EXPECT_EQ(word_text(item(u, 1)), "b");

    Cell lines = load_block("a b\nc [d\n e] ;x\n\xE3\x80\x80" "f");
    ASSERT_EQ(length(lines), 5);
    auto newline = [](const Cell& c) { return (c.header & cell_flag::newline) != 0; };
    EXPECT_FALSE(newline(item(lines, 0)));
    EXPECT_FALSE(newline(item(lines, 1)));
    EXPECT_TRUE(newline(item(lines, 2)));
    EXPECT_FALSE(newline(item(lines, 3)));
    EXPECT_TRUE(newline(item(item(lines, 3), 1)));
    EXPECT_TRUE(newline(item(lines, 4)));
    EXPECT_TRUE(newline(item(load_block("\na"), 0)));
    EXPECT_TRUE(newline(item(load_block("x\n{s}"), 1)));
}

// The value buffer grows past its first size; values before and after the growth survive.
TEST(LexerStructure, ManyValues) {
    std::string text;
    for (int i = 0; i < 5000; i++) {
        text += "[";
        text += std::to_string(i);
        text += "x1 a] ";
    }
    Cell b = load_block(text);
    ASSERT_EQ(length(b), 5000);
    for (int i : {0, 999, 1000, 4999}) {
        Cell inner = item(b, i);
        ASSERT_EQ(length(inner), 2);
        Cell p = item(inner, 0);
        EXPECT_EQ(pair::x_of(&p), i);
    }
}

// Deep nesting is refused with an error, not a native stack overflow.
TEST(LexerStructure, DeepNesting) {
    std::string deep(200000, '[');
    auto r = raised([&] { load_block(deep); });
    ASSERT_TRUE(r);
    EXPECT_EQ(r->id, "too-deep");
    std::string fine(lexer::kMaxDepth - 1, '(');
    fine += std::string(lexer::kMaxDepth - 1, ')');
    EXPECT_EQ(load_block(fine).type(), TYPE_BLOCK);
}

// Every syntax error names its line and quotes the text from where the error is.
TEST(LexerErrors, Messages) {
    const std::pair<const char*, const char*> cases[] = {
        {"[1 2", "(line 1) missing ] at [1 2"},
        {"(1", "(line 1) missing ) at (1"},
        {"1 ]", "(line 1) missing [ at ]"},
        {"[1)", "(line 1) missing ] at )"},
        {"(1]", "(line 1) missing ) at ]"},
        {"#[a 1", "(line 1) missing ] at #[a 1"},
        {"a [b (c", "(line 1) missing ) at (c"},
        {"1''0", "(line 1) invalid integer at 1''0"},
        {"1'", "(line 1) invalid integer at 1'"},
        {"123456789h", "(line 1) invalid integer at 123456789h"},
        {"1h", "(line 1) invalid integer at 1h"},
        {"Ah", "(line 1) invalid word at Ah"},
        {"1.#XYZ", "(line 1) invalid float at 1.#XYZ"},
        {"2.#INF", "(line 1) invalid float at 2.#INF"},
        {"1..2", "(line 1) invalid float at 1..2"},
        {"1e", "(line 1) invalid float at 1e"},
        {"1.2.256", "(line 1) invalid tuple at 1.2.256"},
        {"1.2..3", "(line 1) invalid tuple at 1.2..3"},
        {"1.2.3.4.5.6.7.8.9.10.11.12.13", "(line 1) invalid tuple at 1.2.3.4.5.6.7.8.9.10.11.12.13"},
        {"1.5x2", "(line 1) invalid pair at 1.5x2"},
        {"1x", "(line 1) invalid pair at 1x"},
        {"1x99999999999", "(line 1) invalid pair at 1x99999999999"},
        {"(1, )", "(line 1) invalid point2D at (1, )"},
        {"(1, 2, 3, 4)", "(line 1) invalid point3D at (1, 2, 3, 4)"},
        {"(1, 2 3)", "(line 1) invalid point2D at (1, 2 3)"},
        {"(x , y)", "(line 1) invalid point2D at (x , y)"},
        {"(x, y)", "(line 1) invalid word at x, y)"},
        {"a , b", "(line 1) invalid point2D at , b"},
        {"1:30:", "(line 1) invalid time at 1:30:"},
        {"1:30e5", "(line 1) invalid time at 1:30e5"},
        {"99999999999:00", "(line 1) invalid time at 99999999999:00"},
        {"2023-02-29", "(line 1) invalid date at 2023-02-29"},
        {"2024-13-01", "(line 1) invalid date at 2024-13-01"},
        {"2024-01-15/24:00", "(line 1) invalid date at 2024-01-15/24:00"},
        {"2024-01-15/10:60", "(line 1) invalid date at 2024-01-15/10:60"},
        {"2024-01-15/10:00+16:00", "(line 1) invalid date at 2024-01-15/10:00+16:00"},
        {"32-Jan-2024", "(line 1) invalid date at 32-Jan-2024"},
        {"2023-366", "(line 1) invalid date at 2023-366"},
        {"2024-W54", "(line 1) invalid date at 2024-W54"},
        {"2024-W01-8", "(line 1) invalid date at 2024-W01-8"},
        {"1-Foo-2000", "(line 1) invalid date at 1-Foo-2000"},
        {"1-Ja-2000", "(line 1) invalid date at 1-Ja-2000"},
        {"1-Jan/2000", "(line 1) invalid date at 1-Jan/2000"},
        {"20240115T10", "(line 1) invalid date at 20240115T10"},
        {"20240115T1030", "(line 1) invalid date at 20240115T1030"},
        {"20240115T2400Z", "(line 1) invalid date at 20240115T2400Z"},
        {"20240115T1060Z", "(line 1) invalid date at 20240115T1060Z"},
        {"20240115T103060Z", "(line 1) invalid date at 20240115T103060Z"},
        {"20240115T1030+1600", "(line 1) invalid date at 20240115T1030+1600"},
        {"20240115T1030+013", "(line 1) invalid date at 20240115T1030+013"},
        {"20240115T1030+0160", "(line 1) invalid date at 20240115T1030+0160"},
        {"20240115T1030Z1", "(line 1) invalid date at 20240115T1030Z1"},
        {"20241315T103000Z", "(line 1) invalid date at 20241315T103000Z"},
        {"20240015T103000", "(line 1) invalid date at 20240015T103000"},
        {"20240100T103000", "(line 1) invalid date at 20240100T103000"},
        {"20240231T103000", "(line 1) invalid date at 20240231T103000"},
        {"20230229T103000", "(line 1) invalid date at 20230229T103000"},
        {"20240115T1030.5.5", "(line 1) invalid date at 20240115T1030.5.5"},
        {"2024-01-15T10:30:60", "(line 1) invalid date at 2024-01-15T10:30:60"},
        {"2024-01-15T10:30:", "(line 1) invalid date at 2024-01-15T10:30:"},
        {"2024-01-15T10:30+01:60", "(line 1) invalid date at 2024-01-15T10:30+01:60"},
        {"2024-01-15T10:30+", "(line 1) invalid date at 2024-01-15T10:30+"},
        {"2024-01-15T10:30:1.2.3", "(line 1) invalid date at 2024-01-15T10:30:1.2.3"},
        {"2024-W03-1T25:00", "(line 1) invalid date at 2024-W03-1T25:00"},
        {"1T", "(line 1) invalid date at 1T"},
        {"$1.123456", "(line 1) invalid money at $1.123456"},
        {"$'1", "(line 1) invalid money at $'1"},
        {"$1''0", "(line 1) invalid money at $1''0"},
        {"$1'", "(line 1) invalid money at $1'"},
        {"$", "(line 1) invalid money at $"},
        {"XYZ$1", "(line 1) invalid money at XYZ$1"},
        {"ABCD$1", "(line 1) invalid money at ABCD$1"},
        {"$123456789012345678", "(line 1) invalid money at $123456789012345678"},
        {">:=", "(line 1) invalid url at >:="},
        {"a>b:c", "(line 1) invalid url at a>b:c"},
        {"a^b:c", "(line 1) invalid url at a^b:c"},
        {"#(foo)", "(line 1) invalid construction spec at #(foo)"},
        {"#(true )", "(line 1) invalid construction spec at #(true )"},
        {"#(pair", "(line 1) invalid construction spec at #(pair"},
        {"#[a 1 b]", "(line 1) invalid map at #[a 1 b]"},
        {"#[[a] 1]", "(line 1) invalid map at #[[a] 1]"},
        {"\"^(tab\"", "(line 1) invalid string at \"^(tab\""},
        {"\"^(110000)\"", "(line 1) invalid string at \"^(110000)\""},
        {"\"abc", "(line 1) invalid string at \"abc"},
        {"\"a\xC3(\"", "(line 1) invalid string at \"a\xC3\x83(\""},
        {"{a{b}", "(line 1) invalid string at {a{b}"},
        {"%{a}%b", "(line 1) invalid string at %{a}%b"},
        {"%%{a}%", "(line 1) invalid string at %%{a}%"},
        {"#\"\"", "(line 1) invalid char at #\"\""},
        {"#\"ab\"", "(line 1) invalid char at #\"ab\""},
        {"#{0}", "(line 1) invalid binary at #{0}"},
        {"#{0G}", "(line 1) invalid binary at #{0G}"},
        {"3#{01}", "(line 1) invalid binary at 3#{01}"},
        {"1'6#{01}", "(line 1) invalid binary at 1'6#{01}"},
        {"-16#{01}", "(line 1) invalid binary at -16#{01}"},
        {"99999999999999999999#{01}", "(line 1) invalid binary at 99999999999999999999#{01}"},
        {"2#{0101}", "(line 1) invalid binary at 2#{0101}"},
        {"#{01 ; c}", "(line 1) invalid binary at #{01 ; c}"},
        {"2#{00000001 ; c}", "(line 1) invalid binary at 2#{00000001 ; c}"},
        {"64#{AQID ; c}", "(line 1) invalid binary at 64#{AQID ; c}"},
        {"64#{A@==}", "(line 1) invalid binary at 64#{A@==}"},
        {"64#{A===}", "(line 1) invalid binary at 64#{A===}"},
        {"64#{AQ==AQ==}", "(line 1) invalid binary at 64#{AQ==AQ==}"},
        {"#{01", "(line 1) invalid binary at #{01"},
        {"a/", "(line 1) invalid path at a/"},
        {"a/b/", "(line 1) invalid path at a/b/"},
        {"a/ b", "(line 1) invalid path at a/ b"},
        {"a/b:/c", "(line 1) invalid path at a/b:/c"},
        {"'a/b:", "(line 1) invalid character at 'a/b:"},
        {"'a:", "(line 1) invalid lit-word at 'a:"},
        {"'a:b", "(line 1) invalid lit-word at 'a:b"},
        {":a:b", "(line 1) invalid get-word at :a:b"},
        {":a:", "(line 1) invalid get-word at :a:"},
        {"[:a: 1]", "(line 1) invalid get-word at :a: 1]"},
        {"'1", "(line 1) invalid lit-word at '1"},
        {"a%b", "(line 1) invalid word at a%b"},
        {"/a:b", "(line 1) invalid refinement at /a:b"},
        {"%\"a", "(line 1) invalid file at %\"a"},
        {"}", "(line 1) invalid character at }"},
        {"a \\ b", "(line 1) invalid character at \\ b"},
        {"\x80", "(line 1) invalid character at \xC2\x80"},
        // A continuation byte without its lead byte inside a word-like token.
        {"a\x80", "(line 1) invalid word at a\xC2\x80"},
        {"'a\xBF", "(line 1) invalid word at 'a\xC2\xBF"},
        {":a\x80", "(line 1) invalid word at :a\xC2\x80"},
        {"a\x80:", "(line 1) invalid word at a\xC2\x80:"},
        {"a/b\x80", "(line 1) invalid word at b\xC2\x80"},
        {"#", "(line 1) invalid issue at #"},
        {"@", "(line 1) invalid ref at @"},
        {"<a", "(line 1) invalid tag at <a"},
        {"a\n\nb 1''0 c", "(line 3) invalid integer at 1''0 c"},
        {"\"abc\ndef\"", "(line 1) invalid string at \"abc"},
        {"x: \"0123456789012345678901234567890123456789", "(line 1) invalid string at \"01234567890123456789012345678"},
        {"\"aaaaaaaaaaaaaaaaaaaaaaaaaaaa\xC3\xA9zz", "(line 1) invalid string at \"aaaaaaaaaaaaaaaaaaaaaaaaaaaa\xC3\xA9"},
    };
    for (auto& [text, message] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(error_message(text), message);
    }
}

TEST(LexerErrors, Arguments) {
    auto r = raised([] { load_block("[1 2"); });
    ASSERT_TRUE(r);
    EXPECT_EQ(r->id, "missing");
    ASSERT_EQ(r->args.size() >= 3, true);
    EXPECT_EQ(r->args[0].type(), TYPE_STRING);
    EXPECT_EQ(r->args[1].type(), TYPE_CHAR);
    EXPECT_EQ(r->args[1].data1, uint32_t(']'));
    EXPECT_EQ(text_of(r->args[2]), "[1 2");
    auto i = raised([] { load_block("1.2.256"); });
    ASSERT_TRUE(i);
    EXPECT_EQ(i->id, "invalid");
    EXPECT_EQ(i->args[1].type(), TYPE_DATATYPE);
    EXPECT_EQ(i->args[1].data1, uint32_t(TYPE_TUPLE));
    EXPECT_EQ(raised([] { load_block("#(foo)"); })->id, "malconstruct");
    EXPECT_EQ(raised([] { load_block("}"); })->id, "bad-char");
    // No scan is left behind by an error.
    EXPECT_EQ(lexer::active_scans(), 0);
}

// Values before an error stay in the block the scan appends to.
TEST(LexerErrors, IntoKeepsEarlierValues) {
    Cell into;
    block::make_new(&into, 4);
    tv::hold(into);
    lexer::Options o;
    o.into = &into;
    Cell out;
    auto r = raised([&] { lexer::scan(&out, "a [b c] (d 1''0 e", o, nullptr); });
    ASSERT_TRUE(r);
    ASSERT_EQ(length(into), 3);
    EXPECT_EQ(word_text(item(into, 0)), "a");
    EXPECT_EQ(length(item(into, 1)), 2);
    EXPECT_EQ(item(into, 2).type(), TYPE_PAREN);
    EXPECT_EQ(length(item(into, 2)), 1);
}

// ---------------------------------------------------------------------------------------------

TEST(LexerModes, OneNextScanPrescan) {
    Cell v;
    int32_t end = -1;
    lexer::next(&v, "1 2", &end);
    EXPECT_EQ(v.i1(), 1);
    EXPECT_EQ(end, 1);
    lexer::next(&v, "  [a b] c", &end);
    EXPECT_EQ(v.type(), TYPE_BLOCK);
    EXPECT_EQ(end, 7);
    lexer::next(&v, " ; nothing\n ", &end);
    EXPECT_EQ(v.type(), TYPE_NONE);
    EXPECT_EQ(end, 12);
    lexer::next(&v, "a/b/c d", &end);
    EXPECT_EQ(v.type(), TYPE_PATH);
    EXPECT_EQ(end, 5);

    const std::pair<const char*, int32_t> scans[] = {
        {"1.5", TYPE_FLOAT},    {"[", TYPE_ERROR},       {"[1 2]", TYPE_BLOCK}, {"1''0", TYPE_ERROR},
        {"}", TYPE_ERROR},      {"a/b", TYPE_PATH},      {"#(none)", TYPE_NONE}, {"12345678901", TYPE_FLOAT},
        {"\"abc", TYPE_ERROR},  {"{a}", TYPE_STRING},    {"", 0},               {"#[a b]", TYPE_MAP},
        {"(1, 2)", TYPE_POINT2D}, {"a:", TYPE_WORD},
    };
    for (auto& [text, type] : scans) {
        SCOPED_TRACE(text);
        EXPECT_EQ(lexer::scan_type(text), type);
    }
    const std::pair<const char*, int32_t> prescans[] = {
        {"1.5", TYPE_FLOAT}, {"[1 2]", TYPE_BLOCK}, {"[", TYPE_ERROR}, {"a/b", TYPE_PATH},
        {"\"abc", TYPE_ERROR}, {"<a>", TYPE_TAG},  {"{a}", TYPE_STRING},
    };
    for (auto& [text, type] : prescans) {
        SCOPED_TRACE(text);
        EXPECT_EQ(lexer::prescan_type(text), type);
    }
    // The checking modes build nothing and raise nothing.
    lexer::Options o;
    o.load = false;
    Cell out;
    EXPECT_FALSE(raised([&] { lexer::scan(&out, "[1 2", o, nullptr); }));
    EXPECT_EQ(out.type(), TYPE_NONE);
}

// A series value is scanned from its head; positions count its characters.
TEST(LexerModes, SeriesSources) {
    Cell text;
    string::load_at(&text, "\xC3\xA9t\xC3\xA9 [1x2] rest");
    tv::hold(text);
    lexer::Options o;
    o.one = true;
    Cell out;
    int32_t used = 0;
    lexer::scan_value(&out, &text, -1, o, &used);
    EXPECT_EQ(word_text(out), "\xC3\xA9t\xC3\xA9");
    EXPECT_EQ(used, 3);
    text.set_index(4);
    lexer::scan_value(&out, &text, -1, o, &used);
    EXPECT_EQ(out.type(), TYPE_BLOCK);
    EXPECT_EQ(used, 5);
    // A part shorter than the text stops the scan there; a longer one is clamped.
    text.set_index(0);
    lexer::Options all;
    lexer::scan_value(&out, &text, 9, all, &used);
    EXPECT_EQ(length(out), 2);
    EXPECT_EQ(item(out, 1).type(), TYPE_BLOCK);
    EXPECT_TRUE(raised([&] { lexer::scan_value(&out, &text, 6, all, &used); }));
    lexer::scan_value(&out, &text, 1000, all, &used);
    EXPECT_EQ(length(out), 3);
    EXPECT_EQ(used, 14);

    // A text larger than the staging buffer is staged on the heap.
    std::string big;
    for (int i = 0; i < 60000; i++) big += "\xE2\x82\xAC ";
    Cell large;
    string::load_at(&large, big);
    tv::hold(large);
    lexer::scan_value(&out, &large, -1, all, &used);
    EXPECT_EQ(length(out), 60000);
    EXPECT_EQ(used, 120000);

    Cell bin;
    binary::load_at(&bin, reinterpret_cast<const uint8_t*>("a \xC3\xA9 c"), 6);
    tv::hold(bin);
    lexer::scan_value(&out, &bin, -1, all, &used);
    EXPECT_EQ(length(out), 3);
    EXPECT_EQ(used, 6);
}

// ---------------------------------------------------------------------------------------------

struct Recorded {
    uint32_t event;
    int32_t type;
    int32_t line, start, end, input;
};

// The console keeps a stack of open delimiters from the open, close and error events of its
// pending input; an error at the end of input with the block open means "go on reading".
TEST(LexerTrace, MultiLineInput) {
    std::vector<Recorded> seen;
    lexer::Trace trace;
    trace.mask = lexer::EV_OPEN | lexer::EV_CLOSE | lexer::EV_ERROR;
    trace.fn = [&](lexer::TraceEvent& e) {
        seen.push_back({e.event, e.type, e.line, e.start, e.end, e.input});
        return true;
    };
    lexer::Options o;
    o.trace = &trace;
    Cell out;
    auto r = raised([&] { lexer::scan(&out, "[1 2\n", o, nullptr); });
    ASSERT_TRUE(r);
    EXPECT_EQ(r->message, "(line 2) missing ] at [1 2");
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].event, lexer::EV_OPEN);
    EXPECT_EQ(seen[0].type, TYPE_BLOCK);
    EXPECT_EQ(seen[0].start, 0);
    EXPECT_EQ(seen[0].input, 0);
    EXPECT_EQ(seen[1].event, lexer::EV_ERROR);
    EXPECT_EQ(seen[1].type, TYPE_BLOCK);
    EXPECT_EQ(seen[1].start, 0);
    // The input position stands at the end: nothing after it closes the block.
    EXPECT_EQ(seen[1].input, 5);

    seen.clear();
    EXPECT_FALSE(raised([&] { lexer::scan(&out, "[1 2\n3]\n", o, nullptr); }));
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].event, lexer::EV_OPEN);
    EXPECT_EQ(seen[1].event, lexer::EV_CLOSE);
    EXPECT_EQ(seen[1].type, TYPE_BLOCK);
    EXPECT_EQ(seen[1].start, 0);
    EXPECT_EQ(seen[1].end, 7);
    EXPECT_EQ(seen[1].line, 2);
    ASSERT_EQ(length(out), 1);
    EXPECT_EQ(length(item(out, 0)), 3);

    // An open braced string, path and paren report their own types.
    seen.clear();
    raised([&] { lexer::scan(&out, "print {abc\n", o, nullptr); });
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].type, TYPE_STRING);
    EXPECT_EQ(seen[1].event, lexer::EV_ERROR);
    EXPECT_EQ(seen[1].type, TYPE_STRING);
    EXPECT_EQ(seen[1].start, 6);
    seen.clear();
    raised([&] { lexer::scan(&out, "a/(b\n", o, nullptr); });
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].type, TYPE_PATH);
    EXPECT_EQ(seen[1].type, TYPE_PAREN);
    EXPECT_EQ(seen[2].type, TYPE_PAREN);
}

TEST(LexerTrace, Masks) {
    auto body_mask = [](const char* body) {
        Cell b = load_block(body);
        return lexer::mask_of_body(&b);
    };
    EXPECT_EQ(body_mask("[error] x"), uint32_t(lexer::EV_ERROR));
    EXPECT_EQ(body_mask("[open close foo 1] x"), uint32_t(lexer::EV_OPEN | lexer::EV_CLOSE));
    EXPECT_EQ(body_mask("[prescan scan load] x"), uint32_t(lexer::EV_PRESCAN | lexer::EV_SCAN | lexer::EV_LOAD));
    EXPECT_EQ(body_mask("x [error]"), uint32_t(lexer::EV_ALL));
    EXPECT_EQ(body_mask(""), uint32_t(lexer::EV_ALL));

    // Only the masked events arrive.
    std::vector<uint32_t> events;
    lexer::Trace trace;
    trace.mask = lexer::EV_ERROR;
    trace.fn = [&](lexer::TraceEvent& e) {
        events.push_back(e.event);
        return true;
    };
    lexer::Options o;
    o.trace = &trace;
    Cell out;
    lexer::scan(&out, "a [b] {c} ; d\n", o, nullptr);
    EXPECT_TRUE(events.empty());
}

// What each answer does, and the positions and types events carry.
TEST(LexerTrace, Answers) {
    lexer::Options o;
    lexer::Trace trace;
    o.trace = &trace;
    Cell out;

    // false to an error: no error; the values before it are the result.
    trace.mask = lexer::EV_ERROR;
    trace.fn = [](lexer::TraceEvent&) { return false; };
    EXPECT_FALSE(raised([&] { lexer::scan(&out, "a b 1''0 c", o, nullptr); }));
    ASSERT_EQ(length(out), 2);
    // ... and false to the missing delimiter at the end gives none.
    lexer::scan(&out, "[a", o, nullptr);
    EXPECT_EQ(out.type(), TYPE_NONE);

    // false to a load drops the value.
    trace.mask = lexer::EV_LOAD;
    trace.fn = [](lexer::TraceEvent& e) { return e.value.type() != TYPE_PAIR; };
    lexer::scan(&out, "a 1x1 b [2x2 c]", o, nullptr);
    ASSERT_EQ(length(out), 3);
    EXPECT_EQ(length(item(out, 2)), 1);

    // false to a prescan skips the token; false to a scan builds nothing.
    trace.mask = lexer::EV_PRESCAN;
    trace.fn = [](lexer::TraceEvent& e) { return !(e.type == TYPE_WORD && e.end - e.start == 1); };
    lexer::scan(&out, "a bb c \"s\"", o, nullptr);
    ASSERT_EQ(length(out), 2);
    EXPECT_EQ(word_text(item(out, 0)), "bb");
    trace.mask = lexer::EV_SCAN;
    trace.fn = [](lexer::TraceEvent& e) { return e.type != TYPE_TAG; };
    lexer::scan(&out, "<a> b <c>", o, nullptr);
    ASSERT_EQ(length(out), 1);

    // Moving the input position makes the lexer go on from there.
    trace.mask = lexer::EV_PRESCAN;
    trace.fn = [](lexer::TraceEvent& e) {
        if (e.start == 2) e.resume = 9;
        return true;
    };
    lexer::scan(&out, "a skip b c", o, nullptr);
    ASSERT_EQ(length(out), 2);
    EXPECT_EQ(word_text(item(out, 1)), "c");
    // ... also after an error, which a callback can step over.
    trace.mask = lexer::EV_ERROR;
    trace.fn = [](lexer::TraceEvent& e) {
        e.resume = e.input + 1;
        return false;
    };
    lexer::scan(&out, "a } b ] c", o, nullptr);
    ASSERT_EQ(length(out), 3);
    EXPECT_EQ(word_text(item(out, 2)), "c");

    // Positions are in characters for a string source; untyped tokens report -token.
    std::vector<Recorded> seen;
    trace.mask = lexer::EV_ALL;
    trace.fn = [&](lexer::TraceEvent& e) {
        seen.push_back({e.event, e.type, e.line, e.start, e.end, e.input});
        return true;
    };
    Cell text;
    string::load_at(&text, "\xC3\xA9 [1x2] ;c\n");
    lexer::scan_value(&out, &text, -1, o, nullptr);
    std::vector<Recorded> expect = {
        {lexer::EV_PRESCAN, TYPE_WORD, 1, 0, 1, 1},     {lexer::EV_SCAN, TYPE_WORD, 1, 0, 1, 1},
        {lexer::EV_LOAD, TYPE_WORD, 1, 0, 1, 1},        {lexer::EV_PRESCAN, -lexer::T_BLOCK_OPEN, 1, 2, 2, 2},
        {lexer::EV_OPEN, TYPE_BLOCK, 1, 2, 3, 2},       {lexer::EV_PRESCAN, TYPE_PAIR, 1, 3, 6, 6},
        {lexer::EV_SCAN, TYPE_PAIR, 1, 3, 6, 6},        {lexer::EV_LOAD, TYPE_PAIR, 1, 3, 6, 6},
        {lexer::EV_PRESCAN, -lexer::T_BLOCK_CLOSE, 1, 6, 6, 6}, {lexer::EV_CLOSE, TYPE_BLOCK, 1, 2, 7, 7},
        {lexer::EV_PRESCAN, -lexer::T_COMMENT, 1, 8, 10, 8},    {lexer::EV_SCAN, -lexer::T_COMMENT, 1, 8, 10, 10},
        {lexer::EV_PRESCAN, -lexer::T_END, 2, 11, 11, 11},
    };
    ASSERT_EQ(seen.size(), expect.size());
    for (size_t i = 0; i < expect.size(); i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(seen[i].event, expect[i].event);
        EXPECT_EQ(seen[i].type, expect[i].type);
        EXPECT_EQ(seen[i].line, expect[i].line);
        EXPECT_EQ(seen[i].start, expect[i].start);
        EXPECT_EQ(seen[i].end, expect[i].end);
        EXPECT_EQ(seen[i].input, expect[i].input);
    }
}

// A callback may scan text itself (the scans share the value buffer) or raise an error, which
// leaves the lexer cleanly.
TEST(LexerTrace, Reentry) {
    lexer::Options o;
    lexer::Trace trace;
    o.trace = &trace;
    trace.mask = lexer::EV_LOAD;
    int nested = 0;
    trace.fn = [&](lexer::TraceEvent&) {
        std::string many;
        for (int i = 0; i < 1500; i++) many += "x ";
        Cell b = load_block(many);
        nested += length(b);
        return true;
    };
    Cell out;
    lexer::scan(&out, "[a [b c]] d", o, nullptr);
    EXPECT_EQ(nested, 1500 * 4);
    ASSERT_EQ(length(out), 2);
    EXPECT_EQ(word_text(item(item(item(out, 0), 1), 1)), "c");

    trace.fn = [](lexer::TraceEvent& e) {
        if (e.value.type() == TYPE_ISSUE) fire(err::script::invalid_arg, &e.value);
        return true;
    };
    auto r = raised([&] { lexer::scan(&out, "[a #b c", o, nullptr); });
    ASSERT_TRUE(r);
    EXPECT_EQ(r->id, "invalid-arg");
    EXPECT_EQ(lexer::active_scans(), 0);
    // The buffer is whole again for the next scan.
    EXPECT_EQ(length(load_block("[1x1] 2x2")), 2);
}

// A traced load checks a value before it builds it; the line count must not see the token twice.
// A raw string whose end is searched for past a shorter run of "%" is the case where the loader
// itself counts line feeds.
TEST(LexerTrace, LinesCountedOnceWhenTraced) {
    lexer::Options o;
    lexer::Trace trace;
    trace.fn = [](lexer::TraceEvent&) { return true; };
    for (const char* text : {"%%{a\n}%\n}%%\n1x", "%{a\n}%\n1x", "{a\nb}\n1x", "\"a\"\n;c\n1x"}) {
        for (bool traced : {false, true}) {
            o.trace = traced ? &trace : nullptr;
            Cell out;
            auto r = raised([&] { lexer::scan(&out, text, o, nullptr); });
            ASSERT_TRUE(r) << text;
            int lf = 0;
            for (const char* c = text; *c; c++) lf += *c == '\n';
            EXPECT_EQ(r->message, "(line " + std::to_string(lf + 1) + ") invalid pair at 1x") << text << traced;
        }
    }
}

// ---------------------------------------------------------------------------------------------

TEST(LexerConversions, ScanSingle) {
    auto single = [](const char* text) {
        Cell s, target;
        collector::Root keep_target(&target);  // the scan's block lives in it
        string::load_at(&s, text);
        tv::hold(s);
        return tv::hold(*conversion::scan_single(&s, &target));
    };
    EXPECT_EQ(single("12 abc").type(), TYPE_NONE);
    EXPECT_EQ(single("").type(), TYPE_UNSET);
    EXPECT_EQ(single("  ").type(), TYPE_UNSET);
    EXPECT_EQ(single("1x2").type(), TYPE_PAIR);
    EXPECT_EQ(single("  1.2.3  ").type(), TYPE_TUPLE);
    EXPECT_EQ(single("[a b]").type(), TYPE_BLOCK);
    EXPECT_TRUE(raised([&] { single("1.2.256"); }));
}

TEST(LexerConversions, TextScanners) {
    auto units = [](const char* t) { return reinterpret_cast<const uint8_t*>(t); };
    auto integer = [&](const char* t, int* err) {
        return lexer::scan_integer(units(t), static_cast<int32_t>(std::strlen(t)), 1, err);
    };
    int err;
    EXPECT_EQ(integer("123", &err), 123);
    EXPECT_EQ(err, 0);
    EXPECT_EQ(integer("-2147483648", &err), INT32_MIN);
    EXPECT_EQ(err, 0);
    EXPECT_EQ(integer("+1'000", &err), 1000);
    EXPECT_EQ(err, 0);
    integer("2147483648", &err);
    EXPECT_EQ(err, -2);
    integer("99999999999999999999", &err);
    EXPECT_EQ(err, -2);
    integer("12a", &err);
    EXPECT_EQ(err, -1);
    integer("", &err);
    EXPECT_EQ(err, -1);
    // Wider units read the same characters.
    const uint16_t wide[] = {'4', '2'};
    EXPECT_EQ(lexer::scan_integer(reinterpret_cast<const uint8_t*>(wide), 2, 2, &err), 42);
    const uint32_t arabic[] = {0x661};
    lexer::scan_integer(reinterpret_cast<const uint8_t*>(arabic), 1, 4, &err);
    EXPECT_EQ(err, -1);

    auto real = [&](const char* t, int* e) {
        return lexer::scan_float(units(t), static_cast<int32_t>(std::strlen(t)), 1, e);
    };
    EXPECT_EQ(real("1,5", &err), 1.5);
    EXPECT_EQ(err, 0);
    EXPECT_EQ(real("-1e3", &err), -1000.0);
    EXPECT_TRUE(std::isnan(real("abc", &err)));
    EXPECT_EQ(err, -1);
    std::string long_text(313, '1');
    real(long_text.c_str(), &err);
    EXPECT_EQ(err, -1);

    Cell m;
    EXPECT_TRUE(lexer::scan_money(&m, units("-USD$1.5"), 8, 1));
    EXPECT_EQ(mold(m), "-USD$1.50");
    EXPECT_FALSE(lexer::scan_money(&m, units("$"), 1, 1));
    Cell t;
    EXPECT_TRUE(lexer::scan_tuple(&t, units("1.2"), 3, 1));
    EXPECT_EQ(mold(t), "1.2.0");
    EXPECT_FALSE(lexer::scan_tuple(&t, units("1.2.256"), 7, 1));
    EXPECT_FALSE(lexer::scan_tuple(&t, units("1.2.3.4.5.6.7.8.9.10.11.12.13"), 29, 1));

    EXPECT_EQ(lexer::word_kind("a"), TYPE_WORD);
    EXPECT_EQ(lexer::word_kind("a:"), TYPE_SET_WORD);
    EXPECT_EQ(lexer::word_kind("'a"), TYPE_LIT_WORD);
    EXPECT_EQ(lexer::word_kind(":a"), TYPE_GET_WORD);
    EXPECT_EQ(lexer::word_kind("1"), 0);
    EXPECT_EQ(lexer::word_kind("a b"), 0);
    EXPECT_EQ(lexer::word_kind(""), 0);
}

}  // namespace
