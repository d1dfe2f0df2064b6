// Text forms and comparison of the datatypes that literals produce, beyond what round trips show.
#include <gtest/gtest.h>

#include "tests/support/held.h"

#include <cmath>
#include <cstring>
#include <string>

#include "datatypes/binary.h"
#include "datatypes/block.h"
#include "datatypes/date.h"
#include "datatypes/datatype.h"
#include "datatypes/map.h"
#include "datatypes/money.h"
#include "datatypes/pair.h"
#include "datatypes/point.h"
#include "datatypes/string.h"
#include "datatypes/tuple.h"
#include "datatypes/url.h"
#include "evaluator/actions.h"
#include "loading/lexer.h"

namespace {

Cell value_of(std::string_view text) {
    Cell v;
    lexer::load_one(&v, text);
    return tv::hold(v);
}

std::string mold(const Cell& v, bool all = false, bool flat = false) {
    Cell s;
    actions::mold_new(&s, &v, all, flat);
    return string::to_utf8(&s);
}

std::string mold_only(const Cell& v) {
    Cell copy = v;
    Node buf = tv::hold_node(string::make_node(16));
    actions::mold(&copy, buf, true, false, false, nullptr, 0x7FFFFFFF, 0);
    Cell s;
    string::make_at(&s, buf);
    tv::hold(s);
    return string::to_utf8(&s);
}

std::string form(const Cell& v) {
    Cell s;
    actions::form_new(&s, &v);
    return string::to_utf8(&s);
}

int compare(std::string_view a, std::string_view b, int op) {
    Cell x = value_of(a), y = value_of(b);
    return actions::compare_value(&x, &y, op);
}

TEST(LiteralTypes, Binary) {
    std::string bytes30(30, '\x01'), bytes31(31, '\x01'), bytes32(32, '\x01'), bytes40(40, '\xAB');
    auto bin = [](const std::string& b) {
        Cell c;
        binary::load_at(&c, reinterpret_cast<const uint8_t*>(b.data()), b.size());
        tv::hold(c);
        return c;
    };
    std::string hex30, hex32;
    for (int i = 0; i < 30; i++) hex30 += "01";
    for (int i = 0; i < 32; i++) hex32 += "01";
    EXPECT_EQ(mold(bin(bytes30)), "#{" + hex30 + "}");
    EXPECT_EQ(mold(bin(bytes31)), "#{\n    " + hex30 + "01\n}");
    // A last full line keeps its break to the deeper level before the closing brace.
    EXPECT_EQ(mold(bin(bytes32)), "#{\n    " + hex32 + "\n    }");
    EXPECT_EQ(mold(bin(bytes32 + bytes32)), "#{\n    " + hex32 + "\n    " + hex32 + "\n    }");
    std::string ab32, ab8;
    for (int i = 0; i < 32; i++) ab32 += "AB";
    for (int i = 0; i < 8; i++) ab8 += "AB";
    EXPECT_EQ(mold(bin(bytes40)), "#{\n    " + ab32 + "\n    " + ab8 + "\n}");
    EXPECT_EQ(mold(bin(bytes40), false, true), "#{" + ab32 + ab8 + "}");
    EXPECT_EQ(form(bin(bytes30)), "#{" + hex30 + "}");
    // Order: bytes as unsigned, then length; equality needs equal lengths.
    EXPECT_EQ(compare("#{01FF}", "#{0200}", COMP_LESSER), -1);
    EXPECT_EQ(compare("#{FF}", "#{0100}", COMP_LESSER), 1);
    EXPECT_EQ(compare("#{01}", "#{0100}", COMP_LESSER), -1);
    EXPECT_EQ(compare("#{01}", "#{0100}", COMP_EQUAL), 1);
    EXPECT_EQ(compare("#{0102}", "#{0102}", COMP_EQUAL), 0);
}

TEST(LiteralTypes, FilesAndUrls) {
    Cell f = value_of("%a/b");
    f.set_index(10);  // past the tail
    EXPECT_EQ(mold(f), "%\"\"");
    EXPECT_EQ(mold(value_of("%\"a;b\"")), "%\"a;b\"");
    EXPECT_EQ(mold(value_of("%\"a^/b\"")), "%\"a^/b\"");
    Cell u;
    string::load_at(&u, "http://h/a b~@\xC3\xA9");
    tv::hold(u);
    u.set_type(TYPE_URL);
    EXPECT_EQ(mold(u), "http://h/a%20b~@%C3%A9");

    auto decoded = [](const char* text) {
        Node n = tv::hold_node(string::make_node(16));
        url::decode(reinterpret_cast<const uint8_t*>(text), std::strlen(text), n);
        return string::node_to_utf8(n);
    };
    EXPECT_EQ(decoded("%41"), "A");
    EXPECT_EQ(decoded("%C3%A9"), "\xC3\xA9");
    EXPECT_EQ(decoded("%C3x"), "%C3x");
    EXPECT_EQ(decoded("%zz%"), "%zz%");
    EXPECT_EQ(decoded("%FF%41"), "%FFA");
    EXPECT_EQ(decoded("%80"), "\xC2\x80");
    EXPECT_EQ(decoded("a%2"), "a%2");
}

TEST(LiteralTypes, TagsEmailsRefs) {
    EXPECT_EQ(form(value_of("<a b>")), "<a b>");
    EXPECT_EQ(mold(value_of("<a b>")), "<a b>");
    EXPECT_EQ(mold(value_of("a@b.c")), "a@b.c");
    EXPECT_EQ(mold(value_of("@name")), "@name");
}

TEST(LiteralTypes, Numbers) {
    EXPECT_EQ(form(value_of("12.5%")), "12.5%");
    EXPECT_EQ(form(value_of("33.33333333333333%")), "33.33333333333%");
    EXPECT_EQ(form(value_of("0%")), "0%");
    EXPECT_EQ(form(value_of("(0.1, -0.0)")), "(0.1, 0.0)");
    // Coordinates keep every digit a 32-bit float needs to read back the same.
    EXPECT_EQ(form(value_of("(16777217, 1e20)")), "(1.6777216e7, 1.0e20)");
    EXPECT_EQ(form(value_of("(1234567, -0.0001)")), "(1234567.0, -0.0001)");
    EXPECT_EQ(form(value_of("(0.3, 1e-5)")), "(0.3, 1.0e-5)");
    EXPECT_EQ(form(value_of("(1e-20, 3.4e38)")), "(1.0e-20, 3.4e38)");
    // Beyond the largest 32-bit float a coordinate is an infinity, as IEEE rounding makes it.
    EXPECT_EQ(form(value_of("(1e39, -1e300)")), "(1.#INF, -1.#INF)");
    EXPECT_EQ(form(value_of("(3.4028235e38, 3.40282356e38)")), "(3.4028235e38, 3.4028235e38)");
    EXPECT_EQ(form(value_of("1.2.3.4")), "1.2.3.4");
    EXPECT_EQ(form(value_of("-1x2")), "-1x2");

    // Pairs order by x, then y, under every operator; another type is not comparable.
    EXPECT_EQ(compare("1x2", "1x3", COMP_LESSER), -1);
    EXPECT_EQ(compare("2x0", "1x100", COMP_GREATER), 1);
    EXPECT_EQ(compare("1x2", "1x2", COMP_STRICT_EQUAL), 0);
    EXPECT_EQ(compare("1x2", "(1, 2)", COMP_EQUAL), 0);
    EXPECT_EQ(compare("1x2", "1.2.3", COMP_EQUAL), -2);
    // Tuples: missing bytes count as 0.
    EXPECT_EQ(compare("1.2.3", "1.2.3.0", COMP_EQUAL), 0);
    EXPECT_EQ(compare("1.2.3", "1.2.3.1", COMP_LESSER), -1);
    EXPECT_EQ(compare("1.2.4", "1.2.3.200", COMP_GREATER), 1);

    // Points: equal within a few units in the last place, except under strict equality.
    Cell a, b;
    point2D::make_at(&a, 1.0f, 2.0f);
    point2D::make_at(&b, std::nextafter(1.0f, 2.0f), 2.0f);
    EXPECT_EQ(actions::compare_value(&a, &b, COMP_EQUAL), 0);
    EXPECT_EQ(actions::compare_value(&a, &b, COMP_STRICT_EQUAL), 1);
    EXPECT_EQ(actions::compare_value(&a, &b, COMP_SAME), 1);
    EXPECT_EQ(compare("(1, 2)", "(1, 3)", COMP_LESSER), -1);
    EXPECT_EQ(compare("(1, 2, 3)", "(1, 2, 2)", COMP_GREATER), 1);
    EXPECT_EQ(compare("(1, 2, 3)", "(1, 2)", COMP_EQUAL), -2);
}

TEST(LiteralTypes, Money) {
    EXPECT_EQ(form(value_of("$1234567.5")), "$1'234'567.50");
    EXPECT_EQ(mold(value_of("$1234567.5")), "$1234567.50");
    EXPECT_EQ(form(value_of("-EUR$12345678901234567")), "-EUR$12'345'678'901'234'567.00");
    EXPECT_EQ(mold(value_of("$1.005"), true), "$1.00500");
    EXPECT_EQ(mold(value_of("$1.005")), "$1.00");
    EXPECT_EQ(mold(value_of("-$0")), "$0.00");
    EXPECT_EQ(compare("$1", "$1.00001", COMP_LESSER), -1);
    EXPECT_EQ(compare("-$2", "-$1", COMP_LESSER), -1);
    EXPECT_EQ(compare("-$0", "$0", COMP_EQUAL), 0);
    EXPECT_EQ(compare("USD$1", "EUR$1", COMP_EQUAL), 1);
    EXPECT_EQ(compare("$1", "USD$1", COMP_SORT), -1);
    EXPECT_EQ(compare("EUR$5", "USD$1", COMP_SORT), -1);
    EXPECT_EQ(compare("$1", "1.2.3", COMP_EQUAL), -2);
    EXPECT_EQ(compare("$1", "1.2.3", COMP_STRICT_EQUAL), 1);
    EXPECT_EQ(money::currency_code(money::currency_index("kel")), "KEL");
    EXPECT_EQ(money::currency_index("XXX"), 0);
    int added = money::add_currency("xxx");
    EXPECT_EQ(money::currency_index("XXX"), added);
    EXPECT_EQ(mold(value_of("XXX$3")), "XXX$3.00");
}

TEST(LiteralTypes, Dates) {
    EXPECT_EQ(date::to_days(2000, 1, 1), 730425);
    EXPECT_EQ(date::weekday(730425), 6);
    for (int32_t days : {0, 1, 59, 60, 730425, 730484, 800000, -1, -400}) {
        uint32_t packed = date::from_days(days, 0, false);
        EXPECT_EQ(date::days_of(packed), days) << days;
    }
    // 29 February 1900 does not exist: its day number is that of 1 March.
    EXPECT_EQ(date::to_days(1900, 2, 29), date::to_days(1900, 3, 1));
    int w;
    date::iso_week1_start(date::from_days(date::to_days(2021, 1, 1), 0, false), &w);
    EXPECT_EQ(w, 5);

    EXPECT_EQ(mold(value_of("5-Mar-2021/10:30+5:30")), "5-Mar-2021/10:30:00+05:30");
    EXPECT_EQ(mold(value_of("1-Jan-2000/0:00:00.25")), "1-Jan-2000/0:00:00.25");
    EXPECT_EQ(mold(value_of("1/Jan/-1")), "1/Jan/-0001");
    EXPECT_EQ(mold(value_of("1-Jan-0")), "1-Jan-2000");
    EXPECT_EQ(mold(value_of("1-Jan-000")), "1-Jan-0000");
    // The stored time is UTC: the zone moves the clock reading, not the instant.
    Cell d = value_of("1-Jan-2000/10:00+02:00");
    EXPECT_EQ(d.f(), 8 * 3600.0);
    // The same instant in two zones is equal; ordering follows the instants.
    EXPECT_EQ(compare("1-Jan-2000/23:00-01:00", "2-Jan-2000/0:00", COMP_EQUAL), 0);
    EXPECT_EQ(compare("1-Jan-2000/23:00-05:00", "2-Jan-2000/1:00", COMP_GREATER), 1);
    EXPECT_EQ(compare("1-Jan-2000", "1-Jan-2000/0:00", COMP_EQUAL), 0);
    EXPECT_EQ(compare("1-Jan-2000", "2-Jan-2000", COMP_LESSER), -1);
    EXPECT_EQ(compare("1-Jan-2000/10:00+01:00", "1-Jan-2000/9:00", COMP_SAME), 0);
    EXPECT_EQ(compare("1-Jan-2000/10:00", "1-Jan-2000/10:00:00.000001", COMP_SAME), 1);
    EXPECT_EQ(compare("1-Jan-2000", "1x1", COMP_EQUAL), -2);
}

TEST(LiteralTypes, Maps) {
    Cell m = value_of("#[a 1x1 b 2x2]");
    EXPECT_EQ(mold(m, false, true), "#[a: 1x1 b: 2x2]");
    EXPECT_EQ(mold_only(m), "a: 1x1\nb: 2x2");
    EXPECT_EQ(form(m), "a: 1x1\nb: 2x2");
    Cell nested = value_of("[#[k #[j 1x1]]]");
    EXPECT_EQ(block::rs_head(&nested)->type(), TYPE_MAP);
    Cell inner = *block::rs_head(&nested);
    EXPECT_EQ(mold(inner), "#[\n    k: #[\n        j: 1x1\n    ]\n]");
    // A later duplicate key takes the first entry's place.
    Cell dup = value_of("#[a 1x1 a 2x2]");
    EXPECT_EQ(map::count(&dup), 1);
    EXPECT_EQ(mold(dup, false, true), "#[a: 2x2]");

    EXPECT_EQ(compare("#[a 1x1 b 2x2]", "#[b 2x2 a 1x1]", COMP_EQUAL), 0);
    EXPECT_EQ(compare("#[a 1x1]", "#[A 1x1]", COMP_EQUAL), 0);
    EXPECT_EQ(compare("#[a 1x1]", "#[A 1x1]", COMP_STRICT_EQUAL), 1);
    EXPECT_EQ(compare("#[a 1x1]", "#[a 1x2]", COMP_EQUAL), 1);
    EXPECT_EQ(compare("#[a 1x1]", "#[a 1x1 b 1x1]", COMP_EQUAL), 1);
    EXPECT_EQ(compare("#[]", "#[]", COMP_EQUAL), 0);
    EXPECT_EQ(compare("#[a 1x1]", "#[a 1x1]", COMP_LESSER), -2);
}

}  // namespace
