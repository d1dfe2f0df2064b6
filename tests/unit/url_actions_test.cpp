// url! and file!: building URLs from blocks, joining path elements, the percent encoders, mold,
// the action rows, and how read and write hand URLs to the HTTP service and to ports.
#include "datatypes/url.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/logic.h"
#include "datatypes/string.h"
#include "runtime/collector.h"
#include "tests/support/fired.h"
#include "tests/support/kel_cases.h"
#include "tests/support/value_builders.h"

using kel_test::eval;
using kel_test::expect_cases;

namespace {

std::string encoded(const char* utf8, int selector) {
    Cell s = tv::str(utf8);
    Node out = tv::hold_node(string::make_node(8));
    url::encode(&s, out, selector);
    return string::node_to_utf8(out);
}

std::string decoded(const std::string& bytes) {
    Node n = tv::hold_node(string::make_node(8));
    url::decode(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), n);
    return string::node_to_utf8(n);
}

// A stand-in HTTP service that answers a block of what it was given ([method url headers data
// binary lines info]), or none for a URL whose host is "down".
Cell* fake_http(Cell* out, const Cell* method, const Cell* u, const Cell* headers, const Cell* data, bool binary,
                bool lines, bool info) {
    if (string::to_utf8(u).find("//down") != std::string::npos) return set_cell(out, TYPE_NONE);
    Cell args[7] = {*method, *u, tv::none(), tv::none(), tv::logic(binary), tv::logic(lines), tv::logic(info)};
    if (headers) args[2] = *headers;
    if (data) args[3] = *data;
    Cell b;
    block::make_new(&b, 7);
    collector::Root keep(&b);
    for (Cell& a : args) block::append_cell(b.node(), &a);
    *out = b;
    return out;
}

struct HttpStandIn {
    HttpStandIn() { url::request_http = fake_http; }
    ~HttpStandIn() { url::request_http = nullptr; }
};

}  // namespace

TEST(Url, BuildFromBlock) {
    expect_cases({
        {"make url! [http host]", "http://host"},
        {"make url! [http host 81]", "http://host:81"},
        {"make url! [http host 8080 a b]", "http://host:8080/a/b"},
        {"make url! [http host a #frag]", "http://host/a#frag"},
        {"make url! [ftp h.org 21 dir file.txt]", "ftp://h.org:21/dir/file.txt"},
        {"make url! [http]", "http://"},
        // Only the third value may be a port; a later number is a path part.
        {"make url! [http host a 1]", "http://host/a/1"},
        {"to url! [https host 443]", "https://host:443"},
        {"to url! to paren! [http host]", "http://host"},
        {"make url! make hash! [http host 81]", "http://host:81"},
        {"make url! next [x http host]", "http://host"},
        {"make url! []", "!script/bad-to-arg"},
        {"to url! []", "!script/bad-to-arg"},
        // Anything else is made as a string is.
        {"to url! \"http://a b\"", "http://a%20b"},
        {"type? make url! 10", "url!"},
        {"to file! [a b]", "%ab"},
    });
    kel_test::Outcome o = kel_test::run("make url! []");
    EXPECT_NE(o.message.find("cannot MAKE/TO url! from: []"), std::string::npos) << o.message;
}

TEST(Url, PathJoin) {
    expect_cases({
        {"u: http://h/ u/b", "http://h/b"},
        {"u: http://h u/b", "http://h/b"},
        {"u: http://h/ u/b u", "http://h/"},
        {"u: http://h u/a/b", "http://h/a/b"},
        {"u: http://h/ u/(%/x)", "http://h/x"},
        {"u: http://h u/(%/x)", "http://h/x"},
        {"u: http://h w: 'page u/:w", "http://h/page"},
        {"u: http://h u/1", "http://h/1"},
        {"f: %dir/ f/x", "%dir/x"},
        {"f: %dir f/x/y.txt", "%dir/x/y.txt"},
        {"type? %dir/x", "file!"},
        {"f: %dir/ f/x f", "%dir/"},
        {"f: next %dir f/x", "%ir/x"},
        {"f: %\"\" f/x", "%/x"},
        // Characters wider than a byte survive the join in either part.
        {"f: %d\u00E9 f/\u20AC", "%d\u00E9/\u20AC"},
        {"u: http://h u/b: 1", "!script/bad-path-set"},
        {"f: %d f/b: 1", "!script/bad-path-set"},
    });
    kel_test::Outcome o = kel_test::run("u: http://h u/b: 1");
    EXPECT_NE(o.message.find("cannot set b in path u/b:"), std::string::npos) << o.message;
}

TEST(Url, Encoders) {
    EXPECT_EQ(encoded("a b/c~d@e", url::kUrl), "a%20b/c~d@e");
    EXPECT_EQ(encoded("a b/c~d@e", url::kStrict), "a%20b%2Fc~d%40e");
    EXPECT_EQ(encoded("\u00E9\u20AC", url::kUrl), "%C3%A9%E2%82%AC");
    EXPECT_EQ(encoded("!#$&'()*+,-.:=?_", url::kUrl), "!#$&'()*+,-.:=?_");
    EXPECT_EQ(encoded("%\"<>[]^`{|}\\;", url::kUrl), "%25%22%3C%3E%5B%5D%5E%60%7B%7C%7D%5C%3B");
    EXPECT_EQ(encoded("-._~", url::kStrict), "-._~");
    EXPECT_EQ(encoded("", url::kUrl), "");

    auto one = [](int selector, uint8_t b) {
        int n = 0;
        const char* p = url::encode_char(selector, &b, &n);
        return std::string(p, size_t(n));
    };
    EXPECT_EQ(one(url::kStrict, 0x2F), "%2F");
    EXPECT_EQ(one(url::kUrl, 0x2F), "/");
    EXPECT_EQ(one(url::kUrl, 0xAB), "%AB");
    EXPECT_EQ(one(url::kStrict, '~'), "~");

    static const uint8_t good[] = "%4a", bad[] = "%4g", cut[] = "%4";
    uint8_t out = 0;
    EXPECT_TRUE(url::decode_hex_pair(good, good + 3, &out));
    EXPECT_EQ(out, 0x4A);
    EXPECT_FALSE(url::decode_hex_pair(bad, bad + 3, &out));
    EXPECT_FALSE(url::decode_hex_pair(cut, cut + 2, &out));

    expect_cases({
        {"enhex \"a b/\u00E9\"", "\"a%20b%2F%C3%A9\""},
        {"enhex %\"a b/c\"", "\"a%20b/c\""},
        {"dehex \"%C3%A9%41\"", "\"\u00E9A\""},
    });
}

TEST(Url, Decode) {
    EXPECT_EQ(decoded("%41"), "A");
    EXPECT_EQ(decoded("%c3%a9"), "\u00E9");
    EXPECT_EQ(decoded("%E2%82%AC%F0%9F%98%80"), "\u20AC\U0001F600");
    EXPECT_EQ(decoded("%C3C3"), "%C3C3");
    EXPECT_EQ(decoded("%FF%41%42"), "%FFAB");
    EXPECT_EQ(decoded("%E2%82"), "%E2\u0082");
    EXPECT_EQ(decoded("%80"), "\u0080");
    EXPECT_EQ(decoded("50%"), "50%");
    EXPECT_EQ(decoded("%%41"), "%A");
    EXPECT_EQ(decoded("a\u00E9b"), "a\u00E9b");
    EXPECT_EQ(decoded(""), "");
    // Malformed raw UTF-8 is an error, never an over-read.
    auto raised = test_support::fired([] { decoded("a\xC3"); });
    ASSERT_TRUE(raised.has_value());
    EXPECT_TRUE(raised->id == err::access::invalid_utf8);
    EXPECT_FALSE(test_support::fired([] { decoded("%C3"); }).has_value());
    Cell* top = stack::top;
    static const uint8_t text[] = "h://a%20b";
    Cell* u = url::load(text, sizeof text - 1);
    EXPECT_EQ(u->type(), TYPE_URL);
    EXPECT_EQ(string::to_utf8(u), "h://a b");
    EXPECT_EQ(tv::mold(*u), "h://a%20b");
    stack::top = top;
}

TEST(Url, Mold) {
    expect_cases({
        {"to url! \"http://h/a b~@\u00E9\"", "http://h/a%20b~@%C3%A9"},
        {"mold/part to url! \"a b c\" 5", "\"a%20b\""},
        {"mold/part to url! \"a b c\" 4", "\"a%20\""},
        {"mold/part to url! \"a b c\" 3", "\"a%2\""},
        {"skip http://ab 8", "b"},
        {"form to url! \"a b\"", "\"a b\""},
    });
}

TEST(Url, ActionRows) {
    auto has = [](int type, int action) { return datatype::slot(type, action) != nullptr; };
    // url!: own make, to, mold, eval-path, open, read and write; string!'s series actions.
    for (int a : {ACT_MAKE, ACT_TO, ACT_FORM, ACT_MOLD, ACT_EVAL_PATH, ACT_COMPARE, ACT_APPEND, ACT_POKE, ACT_REMOVE,
                  ACT_SELECT, ACT_SKIP, ACT_TAKE, ACT_MODIFY, ACT_OPEN, ACT_READ, ACT_WRITE})
        EXPECT_TRUE(has(TYPE_URL, a)) << a;
    for (int a : {ACT_RANDOM, ACT_REFLECT, ACT_SET_PATH, ACT_ADD, ACT_AND_T, ACT_PUT, ACT_SORT, ACT_TRIM, ACT_CREATE,
                  ACT_CLOSE, ACT_DELETE, ACT_OPEN_Q, ACT_QUERY, ACT_RENAME, ACT_UPDATE})
        EXPECT_FALSE(has(TYPE_URL, a)) << a;
    EXPECT_EQ(datatype::slot(TYPE_URL, ACT_EVAL_PATH), reinterpret_cast<void*>(&url::eval_path));
    EXPECT_EQ(datatype::slot(TYPE_URL, ACT_FORM), datatype::slot(TYPE_STRING, ACT_FORM));
    // file!: url!'s make, to and path access; its own I/O; no open.
    for (int a : {ACT_MAKE, ACT_TO, ACT_EVAL_PATH}) EXPECT_EQ(datatype::slot(TYPE_FILE, a), datatype::slot(TYPE_URL, a)) << a;
    for (int a : {ACT_DELETE, ACT_QUERY, ACT_READ, ACT_RENAME, ACT_WRITE}) EXPECT_TRUE(has(TYPE_FILE, a)) << a;
    for (int a : {ACT_RANDOM, ACT_REFLECT, ACT_PUT, ACT_SORT, ACT_TRIM, ACT_OPEN, ACT_OPEN_Q, ACT_CLOSE})
        EXPECT_FALSE(has(TYPE_FILE, a)) << a;
    expect_cases({
        {"sort http://cba", "!script/expect-arg"},
        {"random %abc", "!script/expect-arg"},
        {"append http://h/ 'x", "http://h/x"},
    });
}

TEST(Url, HttpReadAndWrite) {
    HttpStandIn http;
    expect_cases({
        {"read http://h/x", "[get http://h/x none none false false false]"},
        {"read/binary/info https://h", "[get https://h none none true false true]"},
        {"read/lines http://h", "[get http://h none none false true false]"},
        {"write http://h/x \"a=1\"", "[post http://h/x none \"a=1\" false false false]"},
        {"write/binary http://h #{01}", "[post http://h none #{01} true false false]"},
        {"write http://h []", "[get http://h none [] false false false]"},
        {"write http://h [put]", "[put http://h none none false false false]"},
        {"write http://h [put [Accept \"x\"]]", "[put http://h [Accept \"x\"] none false false false]"},
        {"write http://h [put [] \"body\"]", "[put http://h [] \"body\" false false false]"},
        {"write http://h [put [] [a 1]]", "[put http://h [] [a 1] false false false]"},
        {"write/info/lines http://h \"\"", "[post http://h none \"\" false true true]"},
        // Wrong shapes of data.
        {"write http://h [\"put\"]", "!script/invalid-arg"},
        {"write http://h [put \"x\"]", "!script/invalid-arg"},
        {"write http://h [put [] 1]", "!script/invalid-arg"},
        {"write http://h 1", "!script/invalid-arg"},
        // What the request cannot take raises not-done before anything is sent.
        {"read/part http://h 1", "!internal/not-done"},
        {"read/seek http://h 1", "!internal/not-done"},
        {"read/as http://h 'utf-8", "!internal/not-done"},
        {"write/seek http://h \"\" 1", "!internal/not-done"},
        {"write/allow http://h \"\" []", "!internal/not-done"},
        {"write/as http://h \"\" 'utf-8", "!internal/not-done"},
        // "http" is matched exactly, from the head; other schemes go to ports, which are missing.
        {"read HTTP://h", "!internal/not-done"},
        {"read next xhttp://h", "[get http://h none none false false false]"},
        {"read http://down", "!access/no-connect"},
        {"write http://down \"\"", "!access/no-connect"},
    });
    kel_test::Outcome o = kel_test::run("read http://down/x");
    EXPECT_NE(o.message.find("cannot connect: http://down/x reason: timeout"), std::string::npos) << o.message;
}

TEST(Url, WithoutServices) {
    // No HTTP service, no URL parser, no ports: every way out is the internal not-done.
    struct Unregistered {
        url::HttpRequest saved = url::request_http;
        Unregistered() { url::request_http = nullptr; }
        ~Unregistered() { url::request_http = saved; }
    } no_http;
    expect_cases({
        {"read http://h", "!internal/not-done"},
        {"write http://h \"x\"", "!internal/not-done"},
        {"read ftp://h", "!internal/not-done"},
        {"write ftp://h \"x\"", "!internal/not-done"},
        {"open http://h", "!internal/not-done"},
    });
}
