// port! values whose actor is a handle! naming a table of native implementations, and the
// header map built from an HTTP answer's header lines.
#include <gtest/gtest.h>

#include <cstdlib>

#include "datatypes/handle.h"
#include "datatypes/port.h"
#include "runtime/collector.h"
#include "runtime/stack.h"
#include "services/http.h"
#include "tests/support/kel_cases.h"
#include "tests/support/value_builders.h"

using kel_test::expect_cases;

namespace {

// length? answers 7 (and counts its calls); pick answers its index argument.
int length_calls = 0;
void native_length(const int32_t*) {
    length_calls++;
    set_cell(stack::arguments, TYPE_INTEGER, 7);
    stack::keep();
}
void native_pick(const int32_t*) {
    *stack::arguments = stack::arguments[1];
    stack::keep();
}

// Stands a small system object in for the environment's (schemes and the two prototypes) and
// puts the real one back afterwards.
class NativePorts : public ::testing::Test {
protected:
    void SetUp() override {
        kel_test::eval("none");
        saved_ = tv::get("system");
        static port::NativeActor table;
        table.actions[ACT_LENGTH_Q - ACT_APPEND] = native_length;
        table.actions[ACT_PICK - ACT_APPEND] = native_pick;
        static int32_t id = port::register_native_actor(&table);
        Cell h;
        handle::make_at(&h, id, handle::kNone);
        tv::set("native-actor", h);
        handle::make_at(&h, 12345, handle::kNone);
        tv::set("unknown-actor", h);
        kel_test::eval(R"(system: make object! [
            schemes: reduce [
                'nat make object! [name: 'nat title: info: none actor: native-actor awake: none]
                'gone make object! [name: 'gone title: info: none actor: unknown-actor awake: none]
                'bad make object! [name: 'bad title: info: none actor: 5 awake: none]
            ]
            standard: make object! [
                port: make object! [spec: scheme: actor: awake: state: data: extra: none]
                url-parts: make object! [scheme: host: none]
            ]
        ] none)");
    }
    void TearDown() override { tv::set("system", saved_); }
    Cell saved_;
};

}  // namespace

TEST_F(NativePorts, ActionsGoThroughTheTable) {
    length_calls = 0;
    expect_cases({
        {"type? p: make port! [scheme: 'nat]", "port!"},
        {"length? p", "7"},
        {"pick p 3", "3"},
        {"p/scheme", "nat"},
        {"p/spec/host", "none"},
        // Entries the table leaves empty, and a handle that names no table.
        {"next p", "!access/no-port-action"},
        {"read p", "!access/no-port-action"},
        {"length? make port! [scheme: 'gone]", "!access/no-port-action"},
        // Actions below append never consult the actor.
        {"same? p p", "true"},
        {"make port! [scheme: 'bad]", "!access/invalid-actor"},
        {"make port! [scheme: 'none-such]", "!access/unknown-scheme"},
        {"make port! [host: \"x\"]", "!access/no-scheme"},
        {"mold/flat make port! make object! [scheme: 'nat]", "{make port! [spec: make object! [scheme: 'nat] scheme: 'nat "
                                                   "actor: handle! awake: none state: none data: none extra: none]}"},
    });
    EXPECT_EQ(length_calls, 1);
    // An actor field that holds no object! is a broken port for the forwarded actions.
    expect_cases({
        {"p: make port! [scheme: 'nat] p/actor: 1 next p", "!access/invalid-port"},
    });
}

TEST(HttpHeaders, MapOfHeaderLines) {
    Cell map;
    set_cell(&map, TYPE_NONE);
    collector::Root keep(&map);
    simple_io::parse_headers(
        "Date: Mon, 10:20:30 GMT\r\nSet-Cookie: a=1\r\nContent-Length: 3\r\nset-cookie: b=2\r\n"
        "no colon here\r\nSet-Cookie:c=3\r\nEmpty: \r\nLast: end",
        &map);
    EXPECT_EQ(tv::mold(map, false, false, true),
              "#[Date: \"Mon, 10:20:30 GMT\" Set-Cookie: [\"a=1\" \"b=2\" \"c=3\"] Content-Length: \"3\" Empty: \"\" "
              "Last: \"end\"]");
    simple_io::parse_headers("", &map);
    EXPECT_EQ(tv::mold(map), "#[]");
}

TEST(HttpMethods, MethodWordsAndRefusedConnections) {
    struct {
        const char* word;
        const char* text;
    } cases[] = {{"get", "GET"}, {"head", "HEAD"}, {"post", "POST"}, {"put", "PUT"}, {"Delete", "DELETE"}};
    for (auto& c : cases) {
        Cell w = tv::wrd(c.word);
        EXPECT_EQ(simple_io::method_text(&w), c.text);
    }
    // Nothing listens on port 1 of the loopback address; another protocol is no HTTP request.
    // A proxy of the environment would answer in the server's place.
    for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
        unsetenv(name);
    for (const char* url : {"http://127.0.0.1:1/", "httpx://127.0.0.1/", "http://[::1/"}) {
        simple_io::HttpExchange ex;
        ex.method = "GET";
        ex.url = url;
        EXPECT_FALSE(simple_io::http_transfer(ex)) << url;
        EXPECT_FALSE(ex.failure.empty()) << url;
    }
}
