// Terminal input: byte strings fed to the decoder, and what reaches the widgets' own handlers and
// system/view/awake (a recording function here).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../support/kel_eval.h"
#include "datatypes/event.h"
#include "tui/backend.h"
#include "tui/input.h"

namespace {

using kel_test::eval;

struct Handled {
    int32_t type;
    uint32_t widget;
    float x, y;
    int32_t key;
};
std::vector<Handled> handled;

void record(int32_t type, tui::EventRecord* ev) {
    handled.push_back({type, ev->widget ? ev->widget->id : 0, ev->x, ev->y, ev->key});
}

// A window of 20 x 6 cells holding a button at (2, 1)-(8, 2) and a focusable field at
// (2, 3)-(12, 4). awake logs [type face-text offset picked flags] (and the key of key events) and
// answers `answer`.
class TuiInput : public ::testing::Test {
protected:
    tui::Widget* window = nullptr;
    tui::Widget* button = nullptr;
    tui::Widget* field = nullptr;

    static void SetUpTestSuite() {
        kel_test::boot();
        static bool registered = false;
        if (!registered) event::init();
        registered = true;
    }

    tui::Widget* widget(const char* face, float x1, float y1, float x2, float y2) {
        tui::Widget* w = tui::new_widget();
        eval(std::string(face) + "/state: reduce [make handle! " + std::to_string(w->id) + "]");
        Cell word;
        word::load(&word, face);
        w->face = *word::peek(&word);
        w->x1 = x1, w->y1 = y1, w->x2 = x2, w->y2 = y2;
        w->event = record;
        return w;
    }

    void SetUp() override {
        ASSERT_EQ(eval(R"(
            log: copy []
            answer: none
            system: make object! [
                view: make object! [
                    awake: func [e] [
                        entry: reduce [e/type e/face/text e/offset e/picked copy e/flags]
                        if find [key key-down] e/type [append entry e/key]
                        append/only log entry
                        answer
                    ]
                ]
            ]
            face!: make object! [
                type: offset: size: text: image: color: menu: data: enabled?: visible?: selected:
                flags: options: parent: pane: state: rate: edge: para: font: actors: extra: draw: none
            ]
            btn: make face! [type: 'button text: "btn"]
            fld: make face! [type: 'field text: "fld"]
            win: make face! [type: 'window text: "win" pane: reduce [btn fld]]
            true
        )"), "true");
        button = widget("btn", 2, 1, 8, 2);
        field = widget("fld", 2, 3, 12, 4);
        field->flags |= tui::kFocusable;
        window = widget("win", 0, 0, 20, 6);
        window->window = new tui::WindowRecord;
        window->window->window = window;
        button->parent = field->parent = window;
        tui::state.windows.push_back(window);
        tui::state.current_window = window;
        tui::state.focused = field;
        field->flags |= tui::kHasFocus;
        tui::state.origin_row = 0;
        tui::state.button_state = 1;
        tui::state.click_state = 0;
        tui::state.dbl_click_counter = 0;
        tui::empty_input();
        handled.clear();
    }

    void TearDown() override {
        for (tui::Widget* w : {button, field, window})
            if (w) tui::free_widget(w);
        tui::state.windows.clear();
        tui::state.pressed.clear();
    }

    // Feeds bytes as one frame's input and decodes them; answers what awake logged meanwhile.
    std::string feed(const std::string& bytes) {
        eval("clear log");
        tui::state.input.insert(tui::state.input.end(), bytes.begin(), bytes.end());
        tui::decode_input();
        return eval("log");
    }
};

TEST_F(TuiInput, KeysReachAwakeThenTheFocusedWidget) {
    struct Case {
        const char* bytes;
        const char* key;  // e/key as molded
        int32_t code;     // what the widget's handler gets
    };
    const Case cases[] = {
        {"a", "#\"a\"", 'a'},
        {"\xC3\xA9", "#\"\xC3\xA9\"", 0xE9},
        {"\xF0\x9F\x98\x80", "#\"\xF0\x9F\x98\x80\"", 0x1F600},
        {"\x08", "#\"^~\"", 127},
        {"\n", "#\"^M\"", 13},
        {"\x1b[A", "up", tui::kKeyUp},
        {"\x1b[F", "end", tui::kKeyEnd},
        {"\x1b[3~", "delete", tui::kKeyDelete},
        {"\x1b[6~", "page-down", tui::kKeyPageDown},
        {"\x1bOP", "F1", -31},
        {"\x1bOS", "F4", -34},
        {"\x1b[15~", "F5", -35},
        {"\x1b[24~", "F12", -42},
        {"\x1b", "#\"^[\"", 27},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes);
        handled.clear();
        std::string log = feed(c.bytes);
        std::string tail = std::to_string(c.code);
        tail.append(" [] ").append(c.key).append("]");
        std::string expected = "[[key-down \"fld\" 0x0 ";
        expected.append(tail).append(" [key \"fld\" 0x0 ").append(tail).append("]");
        EXPECT_EQ(log, expected);
        ASSERT_EQ(handled.size(), 1u);
        EXPECT_EQ(handled[0].type, tui::kEvKey);
        EXPECT_EQ(handled[0].widget, field->id);
        EXPECT_EQ(handled[0].key, c.code);
        tui::decode_input();  // nothing new: the queue empties
        EXPECT_TRUE(tui::state.input.empty());
    }
}

TEST_F(TuiInput, BackTabIsTabWithShift) {
    std::string log = feed("\x1b[Z");
    EXPECT_EQ(log, "[[key-down \"fld\" 0x0 9 [shift] #\"^-\"] [key \"fld\" 0x0 9 [shift] #\"^-\"]]");
}

TEST_F(TuiInput, UnknownAndForeignSequencesAreDropped) {
    for (const char* bytes : {"\x1b[1;5A", "\x1b[99~", "\x1b[<1;2;3;4;5M", "\x1b]0;title\x1b\\",
                              "\x1bPq#0\x1b\\", "\x1bx"}) {
        SCOPED_TRACE(bytes);
        handled.clear();
        EXPECT_EQ(feed(bytes), "[]");
        EXPECT_TRUE(handled.empty());
    }
    // What follows a dropped sequence in the same frame is still decoded.
    std::string log = feed("\x1b]2;t\x1b\\z");
    EXPECT_NE(log.find("#\"z\""), std::string::npos) << log;
}

TEST_F(TuiInput, SequencesCutAtTheEndWaitForTheirRest) {
    EXPECT_EQ(feed("a\x1b["), "[[key-down \"fld\" 0x0 97 [] #\"a\"] [key \"fld\" 0x0 97 [] #\"a\"]]");
    EXPECT_EQ(tui::state.incomplete, 1);
    EXPECT_EQ(feed("1"), "[]");
    EXPECT_EQ(feed("5~"), "[[key-down \"fld\" 0x0 -35 [] F5] [key \"fld\" 0x0 -35 [] F5]]");

    EXPECT_EQ(feed("\xC3"), "[]");
    EXPECT_NE(feed("\xA9").find("#\"\xC3\xA9\""), std::string::npos);

    // A lone escape after other bytes is kept; in a later frame with nothing new it is Escape.
    EXPECT_EQ(feed("b\x1b").find("^["), std::string::npos);
    EXPECT_NE(feed("").find("#\"^[\""), std::string::npos);

    // A byte that no continuation can make valid is dropped, not kept forever.
    std::string log = feed("\xFF" "c");
    EXPECT_NE(log.find("#\"c\""), std::string::npos) << log;
    EXPECT_EQ(tui::state.incomplete, 0);
}

TEST_F(TuiInput, HugeOrEndlessSequencesStayBounded) {
    std::string digits = "\x1b[" + std::string(3000, '9');
    EXPECT_EQ(feed(digits + "~"), "[]");  // no overflow in the parameter
    std::string osc = "\x1b]" + std::string(5000, 'x');
    feed(osc);
    EXPECT_LT(tui::state.input.size(), 5000u);
    EXPECT_NE(feed("q").find("#\"q\""), std::string::npos);
}

// A handler that waits runs a nested frame, which decodes the queue again (here with one more
// key typed meanwhile, for a key sent by itself or from inside a sequence).
void nested_frame(int32_t type, tui::EventRecord* ev) {
    record(type, ev);
    if (handled.size() != 1) return;
    tui::state.input.push_back('n');
    tui::decode_input();
}

TEST_F(TuiInput, AKeyHandledWhileANestedFrameDecodesIsSentOnce) {
    for (const char* first : {"a", "\x1b[A", "\x1bOP", "\r"}) {
        SCOPED_TRACE(first);
        field->event = nested_frame;
        handled.clear();
        feed(std::string(first) + "bc");
        std::vector<int32_t> keys;
        for (const Handled& h : handled) keys.push_back(h.key);
        int32_t key0 = handled.empty() ? 0 : handled[0].key;
        EXPECT_EQ(keys, (std::vector<int32_t>{key0, 'b', 'c', 'n'}));
        field->event = record;
        tui::decode_input();
        EXPECT_TRUE(tui::state.input.empty());
    }
}

TEST_F(TuiInput, ActorAnsweringDoneKeepsTheKeyFromTheWidget) {
    eval("answer: 'done");
    EXPECT_EQ(feed("x"), "[[key-down \"fld\" 0x0 120 [] #\"x\"]]");
    EXPECT_TRUE(handled.empty());
    eval("answer: 'DONE");
    feed("y");
    EXPECT_TRUE(handled.empty());
}

TEST_F(TuiInput, AThrowingAwakeDoesNotStopTheDispatch) {
    eval("system/view/awake: func [e] [append log e/type 1 / 0]");
    EXPECT_EQ(feed("k"), "[key-down key]");
    ASSERT_EQ(handled.size(), 1u);
    EXPECT_EQ(handled[0].key, 'k');
    EXPECT_EQ(runtime::sys.thrown, 0u);
    eval("system/view/awake: func [e] [throw 'out]");
    handled.clear();
    feed("k");
    EXPECT_EQ(handled.size(), 1u);
}

TEST_F(TuiInput, DisabledWidgetsGetNothing) {
    field->flags |= tui::kDisabled;
    // The focused field, disabled, hears no key; its window takes them, so Tab and Escape work.
    EXPECT_EQ(feed("\t"), "[[key-down \"win\" 0x0 9 [] #\"^-\"] [key \"win\" 0x0 9 [] #\"^-\"]]");
    ASSERT_EQ(handled.size(), 1u);
    EXPECT_EQ(handled[0].widget, window->id);
    window->flags |= tui::kDisabled;
    EXPECT_EQ(feed("a"), "[]");
    window->flags &= ~uint32_t(tui::kDisabled);
    // So does it when the focused widget is gone.
    handled.clear();
    tui::state.focused = nullptr;
    EXPECT_EQ(feed("\x1b[B"), "[[key-down \"win\" 0x0 -21 [] down] [key \"win\" 0x0 -21 [] down]]");
    handled.clear();
    button->flags |= tui::kDisabled;
    // The window under it still takes the press.
    EXPECT_EQ(feed("\x1b[<0;4;2M\x1b[<0;4;2m"),
              "[[down \"win\" 3x1 0 []] [up \"win\" 3x1 0 []] [click \"win\" 3x1 0 []]]");
    ASSERT_EQ(handled.size(), 3u);
    for (const Handled& h : handled) EXPECT_EQ(h.widget, window->id);
}

TEST_F(TuiInput, ButtonEventsBubbleUntilAnsweredDone) {
    EXPECT_EQ(feed("\x1b[<0;4;2M\x1b[<0;4;2m"),
              "[[down \"btn\" 1x0 0 []] [down \"win\" 3x1 0 []] [up \"btn\" 1x0 0 []] [click \"btn\" 1x0 0 []] "
              "[up \"win\" 3x1 0 []] [click \"win\" 3x1 0 []]]");
    EXPECT_EQ(handled.size(), 6u);
}

TEST_F(TuiInput, PressAndReleaseOnAButtonClickThenDoubleClick) {
    eval("answer: 'done");
    // Column 4, row 2 is (3, 1) in the window, (1, 0) in the button.
    std::string pair = "\x1b[<0;4;2M\x1b[<0;4;2m";
    EXPECT_EQ(feed(pair),
              "[[down \"btn\" 1x0 0 []] [up \"btn\" 1x0 0 []] [click \"btn\" 1x0 0 []]]");
    EXPECT_EQ(tui::state.click_state, 2);
    tui::state.dbl_click_counter = 14 * 33;  // 14 frames later
    EXPECT_EQ(feed(pair),
              "[[down \"btn\" 1x0 0 []] [up \"btn\" 1x0 0 []] [click \"btn\" 1x0 0 []] "
              "[dbl-click \"btn\" 1x0 0 []]]");
    // A third quick release is a new first click.
    EXPECT_EQ(feed(pair).find("dbl-click"), std::string::npos);
    // A second release after 500 ms is a click of its own.
    tui::state.dbl_click_counter = 500;
    EXPECT_EQ(feed(pair).find("dbl-click"), std::string::npos);
    // The widgets' own handlers saw the button events too, never through the window.
    for (const Handled& h : handled) EXPECT_EQ(h.widget, button->id);
}

TEST_F(TuiInput, ModifiersAndButtonsOfMouseReports) {
    eval("answer: 'done");
    // 4 shift, 8 alt, 16 control; 1 middle, 2 right.
    EXPECT_EQ(feed("\x1b[<21;4;2M"), "[[mid-down \"btn\" 1x0 0 [control shift]]]");
    EXPECT_EQ(feed("\x1b[<10;4;2m"), "[[alt-up \"btn\" 1x0 0 [alt]]]");
}

TEST_F(TuiInput, WheelGoesToAwakeOnly) {
    EXPECT_EQ(feed("\x1b[<64;4;2M"), "[[wheel \"btn\" 1x0 1.0 []] [wheel \"win\" 3x1 1.0 []]]");
    EXPECT_EQ(feed("\x1b[<65;15;6M"), "[[wheel \"win\" 14x5 -1.0 []]]");
    EXPECT_TRUE(handled.empty());
    // Answered done by the button: the window does not see it.
    eval("answer: 'done");
    EXPECT_EQ(feed("\x1b[<65;4;2M"), "[[wheel \"btn\" 1x0 -1.0 []]]");
}

TEST_F(TuiInput, CursorReportMovesTheOriginOfMouseRows) {
    eval("answer: 'done");
    feed("\x1b[12;1R");
    EXPECT_EQ(tui::state.origin_row, 11);
    EXPECT_EQ(tui::state.origin_column, 0);
    // Row 13 is now the drawing's row 1.
    EXPECT_EQ(feed("\x1b[<0;4;13M"), "[[down \"btn\" 1x0 0 []]]");
}

TEST_F(TuiInput, PointerMovingBetweenSiblings) {
    // First motion: the window and then the button hear of the pointer.
    EXPECT_EQ(feed("\x1b[<35;4;2M"), "[[over \"win\" 3x1 0 []] [over \"btn\" 1x0 0 []]]");
    EXPECT_EQ(tui::state.under_pointer, button);
    // Inside the button nothing new happens (it has no all-over flag).
    EXPECT_EQ(feed("\x1b[<35;5;2M"), "[]");
    // Onto the field: the button is left (with its last position), the field entered.
    EXPECT_EQ(feed("\x1b[<35;4;4M"), "[[over \"btn\" 2x0 0 [away]] [over \"fld\" 1x0 0 []]]");
    EXPECT_EQ(tui::state.under_pointer, field);
    field->flags |= tui::kAllOver;
    EXPECT_EQ(feed("\x1b[<35;6;4M"), "[[over \"fld\" 3x0 0 []]]");
}

TEST_F(TuiInput, DraggingOutOfAPressedWidgetReleasesItToo) {
    feed("\x1b[<35;4;2M\x1b[<0;4;2M");
    EXPECT_EQ(tui::state.captured, button);
    // Motion with the button held carries the down flag; leaving marks the button away.
    EXPECT_EQ(feed("\x1b[<32;4;4M"),
              "[[over \"btn\" 1x0 0 [away down]] [over \"fld\" 1x0 0 [down]]]");
    EXPECT_TRUE(button->flags & tui::kAway);
    // Released over the field: no click for the button or the field (only the window was under
    // the pointer at both ends), and the button gets its up in its own coordinates.
    EXPECT_EQ(feed("\x1b[<0;4;4m"),
              "[[up \"fld\" 1x0 0 []] [up \"win\" 3x3 0 []] [click \"win\" 3x3 0 []] [up \"btn\" 1x2 0 []]]");
    EXPECT_EQ(tui::state.captured, nullptr);
    EXPECT_TRUE(tui::state.pressed.empty());
}

TEST_F(TuiInput, ClickingAFocusableWidgetMovesTheFocus) {
    tui::set_focus(button);
    EXPECT_EQ(tui::state.focused, button);
    EXPECT_TRUE(button->flags & tui::kHasFocus);
    std::string log = feed("\x1b[<0;4;4M\x1b[<0;4;4m");
    EXPECT_NE(log.find("[unfocus \"btn\""), std::string::npos) << log;
    EXPECT_NE(log.find("[focus \"fld\""), std::string::npos) << log;
    EXPECT_EQ(tui::state.focused, field);
    EXPECT_FALSE(button->flags & tui::kHasFocus);
    EXPECT_EQ(window->window->focused, field);
}

TEST_F(TuiInput, HitTestTakesTheLastFaceDrawnAndSkipsHiddenOnes) {
    // Make the button cover the field: the field is later in the pane, so it wins.
    button->y2 = 5;
    EXPECT_EQ(tui::hit_test(window, 3, 3), field);
    field->flags |= tui::kWHidden;
    EXPECT_EQ(tui::hit_test(window, 3, 3), button);
    EXPECT_EQ(tui::hit_test(window, 8, 1), nullptr);  // right edge excluded
    EXPECT_EQ(tui::hit_test(window, 2, 1), button);
}

// An actor that closes the window while its click is dispatched: the dispatch must not touch
// the freed widgets.
tui::Widget* doomed[3];
void close_on_click(int32_t type, tui::EventRecord*) {
    if (type != tui::kEvClick) return;
    for (tui::Widget*& w : doomed) {
        tui::free_widget(w);
        w = nullptr;
    }
}

TEST_F(TuiInput, WidgetsFreedDuringADispatch) {
    doomed[0] = button, doomed[1] = field, doomed[2] = window;
    button->event = close_on_click;
    feed("\x1b[<0;4;2M\x1b[<0;4;2m");
    EXPECT_EQ(tui::state.current_window, nullptr);
    EXPECT_TRUE(tui::state.pressed.empty());
    button = field = window = nullptr;
}

// An unfocus actor that closes the window (a dialog that goes away when its field is left): the
// widget clicked to take the focus is gone with it and must not become the focused one.
void close_on_unfocus(int32_t type, tui::EventRecord*) {
    if (type != tui::kEvUnfocus) return;
    for (tui::Widget*& w : doomed) {
        tui::free_widget(w);
        w = nullptr;
    }
}

TEST_F(TuiInput, AnUnfocusThatClosesTheWindowLeavesNoFocus) {
    doomed[0] = button, doomed[1] = field, doomed[2] = window;
    button->flags |= tui::kFocusable;
    field->event = close_on_unfocus;
    feed("\x1b[<0;4;2M\x1b[<0;4;2m");
    EXPECT_EQ(tui::state.focused, nullptr);
    EXPECT_EQ(tui::state.current_window, nullptr);
    button = field = window = nullptr;
}

// An unfocus actor that takes the focus back (a field that keeps it until its text is valid):
// its choice stands, and exactly one widget carries the focus.
tui::Widget* keeper;
void keep_focus(int32_t type, tui::EventRecord*) {
    if (type == tui::kEvUnfocus) tui::set_focus(keeper);
}

TEST_F(TuiInput, AnUnfocusActorThatKeepsTheFocus) {
    keeper = field;
    field->event = keep_focus;
    button->flags |= tui::kFocusable;
    feed("\x1b[<0;4;2M\x1b[<0;4;2m");
    EXPECT_EQ(tui::state.focused, field);
    EXPECT_TRUE(field->flags & tui::kHasFocus);
    EXPECT_FALSE(button->flags & tui::kHasFocus);
    EXPECT_EQ(window->window->focused, field);
}

// A widget replaced by another when the pointer leaves it (a hover hint): the widget entered
// next still hears of the pointer, and nothing reads the one that is gone (whose memory the new
// one may take).
void replace_on_leave(int32_t type, tui::EventRecord* ev) {
    if (type == tui::kEvOver && ev->widget == doomed[0] && (ev->widget->flags & tui::kAway)) {
        tui::free_widget(doomed[0]);
        doomed[0] = nullptr;
        doomed[1] = tui::new_widget();
    }
}

TEST_F(TuiInput, PointerLeavingAWidgetThatGoesAway) {
    doomed[0] = button;
    doomed[1] = nullptr;
    button->event = replace_on_leave;
    tui::state.captured = button;  // pressed, so that leaving it marks it away
    feed("\x1b[<35;4;2M");
    EXPECT_EQ(feed("\x1b[<35;4;4M"), "[[over \"fld\" 1x0 0 []]]");
    EXPECT_EQ(doomed[0], nullptr);
    EXPECT_EQ(tui::state.under_pointer, field);
    tui::free_widget(doomed[1]);
    button = nullptr;
}

}  // namespace
