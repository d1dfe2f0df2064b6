// time!: construction, the hours:minutes:seconds text, field access, and float! arithmetic with
// time!'s own result types.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/function.h"
#include "datatypes/object.h"
#include "datatypes/time.h"
#include "datatypes/word.h"
#include "evaluator/natives.h"
#include "loading/lexer.h"
#include "tests/support/value_builders.h"
#include "tests/support/values.h"

using namespace test_support;

namespace {

Cell block_of(std::initializer_list<Cell> cells) {
    Cell b;
    block::make_new(&b, 4);
    tv::hold(b);
    for (const Cell& c : cells) block::append_cell(b.node(), &c);
    return b;
}

Cell word_of(const char* name) {
    Cell w;
    word::load(&w, name);
    return w;
}

// Reads (store null) or writes one field through path access.
Cell path_step(Cell& time, const Cell& element, const Cell* store = nullptr) {
    Cell out;
    set_cell(&out, TYPE_NONE);
    PathStep step{&time, &element, store, nullptr, nullptr, nullptr, 0, false, false, true, false};
    return *time_::eval_path(step, &out);
}

}  // namespace

TEST(Time, MakeFromNumbersAndBlocks) {
    struct {
        Cell spec;
        double seconds;
    } cases[] = {
        {block_of({int_(1), int_(2), int_(3)}), 3723.0},
        {block_of({int_(-1), int_(30)}), -5400.0},
        {block_of({}), 0.0},
        {block_of({int_(0), int_(0), real(1.5)}), 1.5},
        {block_of({int_(2)}), 7200.0},
        {int_(3600), 3600.0},
        {real(1.5), 1.5},
        {time_of(-7.0), -7.0},
        {text("1:02:03"), 3723.0},
        {text(" -0:01:30.5 "), -90.5},
    };
    for (auto& c : cases) {
        Cell r = act(ACT_MAKE, {type_of(TYPE_TIME), c.spec});
        ASSERT_EQ(r.type(), TYPE_TIME) << describe(c.spec);
        EXPECT_EQ(r.f(), c.seconds) << describe(c.spec);
        EXPECT_EQ(act(ACT_TO, {type_of(TYPE_TIME), c.spec}).f(), c.seconds);
    }
    Cell bad[] = {block_of({int_(1), int_(-30)}),
                  block_of({int_(1), int_(2), real(-1.0)}),
                  block_of({int_(1), int_(2), int_(3), int_(4)}),
                  block_of({real(1.5)}),
                  block_of({int_(1), real(2.0)}),
                  block_of({int_(1), int_(2), real(NAN)}),
                  none_value(),
                  logic_of(true),
                  text("12"),
                  text("abc"),
                  text("1:02:03 x"),
                  text("1:02:xx"),
                  text("[1:00")};
    for (const Cell& spec : bad) EXPECT_RAISES(err::script::bad_to_arg, act(ACT_MAKE, {type_of(TYPE_TIME), spec}));
}

TEST(Time, Text) {
    struct {
        double seconds;
        const char* text;
    } cases[] = {
        {3723.0, "1:02:03"},
        {3723.5, "1:02:03.5"},
        {-90.0, "-0:01:30"},
        {0.0, "0:00:00"},
        {-0.0, "0:00:00"},
        {5.0, "0:00:05"},
        {0.25, "0:00:00.25"},
        {0.1234567, "0:00:00.123457"},
        {0.0000005, "0:00:00"},
        {360000.0, "100:00:00"},
        {1e20, "27777777777777776:46:40"},
        {-1e20, "-27777777777777776:46:40"},
        // Seconds that six digits round up to 60 are the next whole minute, carried on.
        {59.9999999, "0:01:00"},
        {119.99996, "0:02:00"},
        {3599.99999, "1:00:00"},
        {-3599.99999, "-1:00:00"},
        {359999.99999, "100:00:00"},
        {59.99994, "0:00:59.9999"},
    };
    for (auto& c : cases) {
        EXPECT_EQ(formed(time_of(c.seconds)), c.text) << c.seconds;
        EXPECT_EQ(molded(time_of(c.seconds)), c.text) << c.seconds;
    }
    EXPECT_EQ(formed(time_of(INFINITY)), "1.#INF");
    // Hour counts wider than any number text still get all their digits.
    std::string huge = formed(time_of(1e300));
    ASSERT_EQ(huge.size(), 303u);
    EXPECT_EQ(huge.substr(0, 20), "27777777777777780688");
    EXPECT_EQ(huge.find_first_not_of("0123456789"), 297u);
    EXPECT_EQ(huge.substr(297), ":36:00");
    EXPECT_EQ(formed(time_of(-1.7976931348623157e308)).size(), 312u);
}

TEST(Time, Fields) {
    Cell t = time_of(3723.0);
    Cell h = path_step(t, word_of("hour"));
    ASSERT_EQ(h.type(), TYPE_INTEGER);
    EXPECT_EQ(h.i1(), 1);
    EXPECT_EQ(path_step(t, word_of("Minute")).i1(), 2);
    Cell s = path_step(t, word_of("second"));
    ASSERT_EQ(s.type(), TYPE_FLOAT);
    EXPECT_EQ(s.f(), 3.0);
    EXPECT_EQ(path_step(t, int_(2)).i1(), 2);

    struct {
        const char* field;
        Cell value;
        double seconds;
    } sets[] = {
        {"minute", int_(5), 3903.0},
        {"hour", int_(10), 36123.0},
        {"second", real(30.5), 3750.5},
        {"second", int_(0), 3720.0},
    };
    for (auto& c : sets) {
        Cell x = time_of(3723.0);
        Cell r = path_step(x, word_of(c.field), &c.value);
        EXPECT_EQ(x.f(), c.seconds) << c.field;
        EXPECT_EQ(r.type(), c.value.type());
    }
    Cell x = time_of(3723.0);
    Cell bad = text("5");
    EXPECT_RAISES(err::script::invalid_arg, path_step(x, word_of("hour"), &bad));
    Cell f = real(5.0);
    EXPECT_RAISES(err::script::invalid_arg, path_step(x, word_of("minute"), &f));
    EXPECT_RAISES(err::script::invalid_arg, path_step(x, word_of("second"), &bad));
    EXPECT_EQ(x.f(), 3723.0);
    EXPECT_RAISES(err::script::cannot_use, path_step(x, word_of("day")));
    EXPECT_RAISES(err::script::invalid_path, path_step(x, int_(4)));
    EXPECT_RAISES(err::script::invalid_path, path_step(x, text("hour")));

    // Hours beyond the 32-bit range have no integer!; the other fields still answer.
    Cell huge = time_of(1e20);
    EXPECT_RAISES(err::script::type_limit, path_step(huge, word_of("hour")));
    EXPECT_EQ(path_step(huge, word_of("minute")).i1(), 46);
}

TEST(Time, Pick) {
    Cell t = time_of(3723.0);
    EXPECT_EQ(act(ACT_PICK, {t, int_(1)}).i1(), 1);
    EXPECT_EQ(act(ACT_PICK, {t, word_of("second")}).f(), 3.0);
    EXPECT_RAISES(err::script::out_of_range, act(ACT_PICK, {t, int_(4)}));
    EXPECT_RAISES(err::script::out_of_range, act(ACT_PICK, {t, int_(0)}));
    EXPECT_RAISES(err::script::out_of_range, act(ACT_PICK, {t, text("x")}));
}

TEST(Time, Arithmetic) {
    struct {
        int action;
        Cell a, b;
        uint8_t type;
        double value;
    } cases[] = {
        {ACT_DIVIDE, time_of(3600.0), time_of(1800.0), TYPE_FLOAT, 2.0},
        {ACT_DIVIDE, time_of(3600.0), int_(2), TYPE_TIME, 1800.0},
        {ACT_MULTIPLY, time_of(3600.0), int_(2), TYPE_TIME, 7200.0},
        {ACT_MULTIPLY, real(1.5), time_of(2.0), TYPE_TIME, 3.0},
        {ACT_ADD, time_of(3600.0), int_(30), TYPE_TIME, 3630.0},
        {ACT_ADD, int_(2), time_of(3.0), TYPE_TIME, 5.0},
        {ACT_SUBTRACT, time_of(60.0), time_of(90.0), TYPE_TIME, -30.0},
        {ACT_REMAINDER, time_of(90.0), time_of(60.0), TYPE_TIME, 30.0},
    };
    for (auto& c : cases) {
        Cell r = act(c.action, {c.a, c.b});
        EXPECT_EQ(r.type(), c.type) << describe(c.a) << " " << c.action << " " << describe(c.b);
        EXPECT_EQ(r.f(), c.value) << describe(c.a) << " " << c.action << " " << describe(c.b);
    }
    Cell n = act(ACT_NEGATE, {time_of(3600.0)});
    EXPECT_EQ(n.type(), TYPE_TIME);
    EXPECT_EQ(n.f(), -3600.0);
    EXPECT_EQ(act(ACT_ABSOLUTE, {time_of(-5.0)}).f(), 5.0);
    EXPECT_RAISES(err::script::not_related, act(ACT_MULTIPLY, {time_of(3600.0), time_of(1.0)}));
    EXPECT_RAISES(err::script::invalid_type, act(ACT_ADD, {time_of(1.0), char_of('a')}));
    EXPECT_RAISES(err::script::expect_arg, act(ACT_POWER, {time_of(1.0), int_(2)}));
}

TEST(Time, RoundStaysTime) {
    Cell r = act(ACT_ROUND, {time_of(3723.6)});
    EXPECT_EQ(r.type(), TYPE_TIME);
    EXPECT_EQ(r.f(), 3724.0);
    r = act(ACT_ROUND, {time_of(3753.0), int_(60)}, {{0, 1}});
    EXPECT_EQ(r.type(), TYPE_TIME);
    EXPECT_EQ(r.f(), 3780.0);
    r = act(ACT_ROUND, {time_of(3753.0), time_of(60.0)}, {{0, 1}, {4, 0}});
    EXPECT_EQ(r.f(), 3720.0);
    // A percent or float scale is a number of seconds; a money! scale is refused like any other
    // non-number.
    r = act(ACT_ROUND, {time_of(3753.3), real(0.5, TYPE_PERCENT)}, {{0, 1}});
    EXPECT_EQ(r.type(), TYPE_TIME);
    EXPECT_EQ(r.f(), 3753.5);
    r = act(ACT_ROUND, {time_of(3753.3), real(0.25)}, {{0, 1}});
    EXPECT_EQ(r.f(), 3753.25);
    Cell dollar;
    lexer::load_one(&dollar, "$1");
    EXPECT_RAISES(err::script::not_related, act(ACT_ROUND, {time_of(3753.0), dollar}, {{0, 1}}));
    EXPECT_RAISES(err::script::expect_arg, act(ACT_ROUND, {time_of(3753.0), text("60")}, {{0, 1}}));
    // Rounding a duration far beyond 32-bit hours converts nothing to an integer.
    r = act(ACT_ROUND, {time_of(1.2e15 + 31.0), int_(60)}, {{0, 1}});
    EXPECT_EQ(r.f(), 1.2e15 + 60.0);
}

TEST(Time, ParityOfTheSeconds) {
    struct {
        double seconds;
        bool even;
    } cases[] = {{3602.0, true}, {3603.0, false}, {3601.9999999, true}, {-3.0, false}, {0.0, true}};
    for (auto& c : cases) {
        EXPECT_EQ(act(ACT_EVEN_Q, {time_of(c.seconds)}).data1 != 0, c.even) << c.seconds;
        EXPECT_EQ(act(ACT_ODD_Q, {time_of(c.seconds)}).data1 != 0, !c.even) << c.seconds;
    }
    EXPECT_RAISES(err::script::type_limit, act(ACT_EVEN_Q, {time_of(NAN)}));
}

TEST(Time, ComparesAsSeconds) {
    struct {
        Cell a, b;
        int op;
        bool expected;
    } cases[] = {
        {time_of(3600.0), int_(3600), COMP_EQUAL, true},
        {time_of(1.0), time_of(2.0), COMP_LESSER, true},
        {time_of(1.0), real(1.0), COMP_STRICT_EQUAL, false},
        {time_of(1.0), time_of(1.0), COMP_STRICT_EQUAL, true},
    };
    for (auto& c : cases) EXPECT_EQ(actions::compare(&c.a, &c.b, c.op), c.expected) << describe(c.a) << " " << c.op;
}

namespace {

std::vector<std::string> changes;

// A routine that records its three arguments (word old new), molded.
void record_change() {
    changes.push_back(tv::mold(stack::arguments[0]) + " " + tv::mold(stack::arguments[1]) + " " +
                      tv::mold(stack::arguments[2]));
    set_cell(stack::arguments, TYPE_UNSET);
}

}  // namespace

TEST(Time, SettingAFieldTellsTheOwningObject) {
    using namespace tv;
    static int code = routines::register_("test-record-time-change", record_change);
    stack::Saved saved = stack::save();
    Cell spec = blk({wrd("word"), wrd("old"), wrd("new")});
    Cell no_body = none();
    set("record-time-change", *routine::push(&spec, &no_body, code, 0, false));
    stack::restore(saved);
    Cell body = blk({wrd("record-time-change"), wrd("word"), get_word("old"), get_word("new")});
    Cell handler;
    function::make_at(&handler, &spec, &body, function::validate_spec(&spec));
    tv::hold(handler);
    set("time-change-handler", handler);
    Cell proto = datatype_of(TYPE_OBJECT);
    Cell object_spec = blk({set_word("t"), time_of(3723.0), set_word("on-change*"), get_word("time-change-handler")});
    actions::make(&proto, &object_spec);
    tv::hold(proto);
    set("clock", proto);
    changes.clear();
    eval(blk({blk({wrd("clock"), wrd("t"), wrd("minute")}, TYPE_SET_PATH), integer(5)}));
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0], "t 1:02:03 1:05:03");
    Cell t = wrd("t");
    EXPECT_EQ(object::get_word(&proto, &t)->f(), 3903.0);
}
