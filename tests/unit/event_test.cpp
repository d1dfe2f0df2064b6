// event! values: made by scripts, made by the terminal backend from its event records, read by
// path and pick, compared, and what a record that is gone reads as.
#include <gtest/gtest.h>

#include "datatypes/event.h"
#include "tests/support/kel_cases.h"
#include "tui/backend.h"

using kel_test::expect_cases;

namespace {

void registered() {
    static bool done = false;
    if (!done) event::init();
    done = true;
}

// A backend event bound to the global word `ev`.
void set_backend_event(int32_t type, uint32_t flags, uint32_t record) {
    Cell ev;
    event::make_backend(&ev, type, flags, record);
    kel_test::set_global("ev", &ev);
}

}  // namespace

TEST(Event, MadeFromASpecBlock) {
    registered();
    kel_test::run("e: make event! [type: 'key key: #\"a\" flags: [control shift bogus]]");
    expect_cases({
        {"e/type", "key"},
        {"e/key", "#\"a\""},
        {"reduce [e/ctrl? e/shift? e/down? e/away?]", "[true true false false]"},
        {"e/flags", "[control shift]"},
        // Every flag word is listed, and each event's flags are its own block.
        {"g: make event! [flags: [command alt down]] g/flags", "[down alt command]"},
        {"reduce [e/flags g/flags]", "[[control shift] [down alt command]]"},
        {"kept: e/flags g/flags append kept 'extra reduce [kept e/flags]", "[[control shift extra] [control shift]]"},
        // No face, window, offset or picked given: no record behind the event.
        {"reduce [e/face e/window e/offset e/picked e/orientation]", "[none none 0x0 0 none]"},
        {"f: make event! [offset: 3x4 picked: 7] reduce [f/offset f/picked f/face f/key]", "[3x4 7 none none]"},
        {"o: make object! [a: 1] g: make event! [face: o] same? g/face o", "true"},
        {"h: make event! [offset: (1.5, 2.5)] h/offset", "(1.5, 2.5)"},
        // A word in the spec stands for its value: one without a value leaves the type unset.
        {"t: 'click h: make event! [type: t] h/type", "click"},
        {"unset 'nothing-here h: make event! [type: nothing-here] h/type", "none"},
        {"h: make event! [type: 'KEY-Down] h/type", "key-down"},
        {"make event! [type: 'bogus]", "!script/not-event-type"},
        // Values of the wrong type are skipped.
        {"h: make event! [key: 65 offset: \"x\" flags: control] reduce [h/key h/offset h/flags]", "[none 0x0 []]"},
        {"h: make event! 12 h/type", "none"},
    });
}

TEST(Event, PathAndPick) {
    registered();
    kel_test::run("e: make event! [type: 'down]");
    expect_cases({
        {"e/type: 'click e/type", "click"},
        {"e/TYPE", "click"},
        {"e/key: #\"b\"", "!script/bad-path-set"},
        {"e/type: 5", "!script/bad-path-set"},
        {"e/type: 'nonsense", "!script/not-event-type"},
        {"e/bogus", "!script/invalid-path"},
        {"pick e 'type", "click"},
        {"pick e 4", "0x0"},
        {"pick e 15", "none"},
        {"pick e 16", "!script/out-of-range"},
        {"pick e 0", "!script/out-of-range"},
        {"pick e 'bogus", "!script/cannot-use"},
    });
}

TEST(Event, FormMoldAndCompare) {
    registered();
    kel_test::run("a: make event! [type: 'down] b: make event! [type: 'up key: #\"x\"]");
    expect_cases({
        {"form a", "\"event\""},
        {"mold b", "\"event\""},
        {"a = b", "true"},
        {"a == b", "true"},
        {"a <> b", "false"},
        {"a = 1", "false"},
        {"a < b", "!script/invalid-compare"},
    });
}

TEST(Event, TypeWordsBothWays) {
    registered();
    Cell w;
    for (int32_t code = 1; code <= event::kTypeCount; code++) {
        event::type_to_word(&w, code);
        ASSERT_EQ(w.type(), TYPE_WORD);
        EXPECT_EQ(event::word_to_type(&w), code);
    }
    event::type_to_word(&w, 0);
    EXPECT_EQ(w.type(), TYPE_NONE);
    event::type_to_word(&w, 39);
    EXPECT_EQ(w.type(), TYPE_NONE);
}

TEST(Event, BackendFields) {
    registered();
    tui::Widget* widget = tui::new_widget();
    kel_test::run("the-face: make object! [name: 'me]");
    Cell fw;
    word::load(&fw, "the-face");
    widget->face = *word::peek(&fw);

    uint32_t id = tui::new_event_record({widget, 2.0f, 5.0f, 'q', 0.0f});
    set_backend_event(tui::kEvKey, tui::kEfShift | tui::kEfDown, id);
    expect_cases({
        {"ev/type", "key"},
        {"ev/key", "#\"q\""},
        {"ev/offset", "2x5"},
        {"ev/face/name", "me"},
        {"ev/window", "none"},
        {"ev/picked", "113"},
        {"reduce [ev/shift? ev/down? ev/ctrl?]", "[true true false]"},
        {"ev/flags", "[down shift]"},
        // A block kept from this event is not refilled by the next one asked.
        {"kept: ev/flags other: make event! [flags: [control]] other/flags kept", "[down shift]"},
    });
    tui::free_event_record(id);

    struct KeyCase {
        int32_t code;
        const char* word;
    };
    for (KeyCase k : {KeyCase{-20, "up"}, {-29, "page-down"}, {-31, "F1"}, {-42, "F12"}, {-30, "none"},
                      {-19, "none"}, {-43, "none"}}) {
        uint32_t r = tui::new_event_record({widget, 0, 0, k.code, 0});
        set_backend_event(tui::kEvKey, tui::kEfSpecialKey, r);
        EXPECT_EQ(kel_test::eval("ev/key"), k.word) << k.code;
        tui::free_event_record(r);
    }

    uint32_t wheel = tui::new_event_record({widget, 0, 0, 3, -1.5f});
    set_backend_event(tui::kEvWheel, 0, wheel);
    EXPECT_EQ(kel_test::eval("ev/picked"), "-1.5");
    tui::free_event_record(wheel);

    // Out-of-range coordinates are clamped, not converted into undefined values.
    uint32_t far = tui::new_event_record({widget, 1e20f, -1e20f, 0, 0});
    set_backend_event(tui::kEvDown, 0, far);
    EXPECT_EQ(kel_test::eval("ev/offset"), "2147483647x-2147483648");
    tui::free_event_record(far);
    tui::free_widget(widget);
}

TEST(Event, StaleRecordsReadAsNone) {
    registered();
    tui::Widget* widget = tui::new_widget();
    uint32_t id = tui::new_event_record({widget, 1, 1, 'a', 0});
    set_backend_event(tui::kEvKey, tui::kEfControl, id);
    tui::free_event_record(id);
    // A new record takes the slot; the old id must not find it.
    uint32_t reused = tui::new_event_record({widget, 9, 9, 'z', 0});
    EXPECT_NE(reused, id);
    EXPECT_EQ(tui::event_record(id), nullptr);
    expect_cases({
        {"reduce [ev/face ev/offset ev/key ev/picked ev/flags]", "[none none none none none]"},
        {"ev/type", "key"},
        {"ev/ctrl?", "true"},
    });
    // A record whose widget is destroyed loses its face.
    set_backend_event(tui::kEvKey, 0, reused);
    tui::free_widget(widget);
    EXPECT_EQ(kel_test::eval("ev/face"), "none");
    EXPECT_EQ(kel_test::eval("ev/offset"), "9x9");
    tui::free_event_record(reused);
    EXPECT_EQ(tui::event_record(0), nullptr);
}
