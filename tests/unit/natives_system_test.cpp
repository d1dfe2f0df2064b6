// wait, now, the environment, files, recycle, transcode and apply.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "evaluator/natives.h"
#include "runtime/collector.h"
#include "runtime/platform.h"
#include "tests/support/kel_cases.h"
#include "tests/support/stale_stack.h"

using kel_test::eval;
using kel_test::expect_cases;

TEST(NativesSystem, Wait) {
    expect_cases({
        {"wait 0", "none"},
        {"wait 0.0001", "none"},
        {"wait 0:00:00.001", "none"},
        {"wait [1]", "!script/invalid-arg"},
        {"wait none", "!script/invalid-arg"},
    });
    auto start = std::chrono::steady_clock::now();
    eval("wait 0.05");
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(50));
}

// now reads the clock once; the instant is fixed here at Monday 1 February 2021, 23:30:15.25 UTC,
// in a zone two hours east (so the local date is already Tuesday the 2nd).
static void fixed_clock(struct timespec* ts) {
    ts->tv_sec = 1612222215;
    ts->tv_nsec = 250000000;
}

TEST(NativesSystem, Now) {
    const char* old_tz = getenv("TZ");
    std::string saved_tz = old_tz ? old_tz : "";
    setenv("TZ", "EET-2", 1);
    tzset();
    auto saved_clock = natives::read_clock;
    natives::read_clock = fixed_clock;
    expect_cases({
        {"now/year/month", "!script/bad-refines"},
        {"now/date/time", "!script/bad-refines"},
        {"now/year", "2021"},
        {"now/month", "2"},
        {"now/day", "2"},
        {"now/weekday", "2"},
        {"now/yearday", "33"},
        {"now/zone", "2:00:00"},
        {"now/time", "1:30:15"},
        {"now/time/precise", "1:30:15.25"},
        {"now/time/precise/year", "2021"},
        {"now/date", "2-Feb-2021"},
        {"now", "2-Feb-2021/1:30:15+02:00"},
        {"now/utc", "1-Feb-2021/23:30:15"},
        {"now/utc/date", "1-Feb-2021"},
        {"now/utc/weekday", "1"},
        {"now/utc/yearday", "32"},
        {"now/utc/time", "23:30:15"},
    });
    // Zone bits hold whole quarter hours up to 15:45: an offset they cannot hold keeps the
    // instant (now equals now/utc) and reads the clock by the zone bits, across midnight too.
    struct ZoneCase {
        const char* tz;
        const char* now;
        const char* zone;
        const char* day;
    };
    const ZoneCase odd_zones[] = {
        {"XYZ-5:20", "2-Feb-2021/4:45:15+05:15", "5:15:00", "2"},
        {"XYZ-0:29:50", "1-Feb-2021/23:45:15+00:15", "0:15:00", "1"},
        {"XYZ+3:50", "1-Feb-2021/19:45:15-03:45", "-3:45:00", "1"},
        {"XYZ-17", "2-Feb-2021/0:30:15+01:00", "1:00:00", "2"},
        // West offsets that the bits hold as zero are zone 0, not a sign alone ("-00:00").
        {"XYZ+0:10", "1-Feb-2021/23:30:15", "0:00:00", "1"},
        {"XYZ+16", "1-Feb-2021/23:30:15", "0:00:00", "1"},
    };
    for (const ZoneCase& z : odd_zones) {
        setenv("TZ", z.tz, 1);
        tzset();
        SCOPED_TRACE(z.tz);
        expect_cases({
            {"now", z.now},
            {"now = now/utc", "true"},
            {"difference now now/utc", "0:00:00"},
            {"now/zone", z.zone},
            {"now/day", z.day},
        });
    }
    natives::read_clock = saved_clock;
    if (old_tz)
        setenv("TZ", saved_tz.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
    EXPECT_EQ(eval("type? now"), "date!");
}

TEST(NativesSystem, Environment) {
    unsetenv("KEL_TEST_VARIABLE");
    expect_cases({
        {"get-env \"KEL_TEST_VARIABLE\"", "none"},
        {"set-env \"KEL_TEST_VARIABLE\" \"a b\"", "\"a b\""},
        {"get-env 'KEL_TEST_VARIABLE", "\"a b\""},
        {"set-env %KEL_TEST_VARIABLE \"line^/two\" equal? get-env \"KEL_TEST_VARIABLE\" \"line^/two\"", "true"},
        {"type? list-env", "map!"},
        {"set-env \"KEL_TEST_VARIABLE\" none", "none"},
        {"get-env \"KEL_TEST_VARIABLE\"", "none"},
    });
    EXPECT_EQ(getenv("KEL_TEST_VARIABLE"), nullptr);
    setenv("KEL_TEST_VARIABLE", "x", 1);
    EXPECT_EQ(eval("get-env \"KEL_TEST_VARIABLE\""), "\"x\"");
    unsetenv("KEL_TEST_VARIABLE");
}

// Runs f with the given entries as the process environment; the real one is put back however f
// ends.
template <class F>
auto with_environ(char** entries, F f) {
    struct Restore {
        char** saved;
        ~Restore() { environ = saved; }
    } restore{environ};
    environ = entries;
    return f();
}

// Every entry of the environment block: the first "=" after the first character separates, so a
// name may begin with "=" and a value may hold "="; an entry without a separator is no variable.
TEST(NativesSystem, ListEnvSplitsEntries) {
    char e1[] = "=C:=C:\\x", e2[] = "A=b=c", e3[] = "NOSEPARATOR", e4[] = "E=", e5[] = "=";
    char* entries[] = {e1, e2, e3, e4, e5, nullptr};
    std::string listed = with_environ(entries, [] { return eval("mold/flat list-env"); });
    EXPECT_EQ(listed, R"({#["=C:" "C:\x" "A" "b=c" "E" ""]})");
}

// Another program may leave bytes that are not UTF-8 in the environment: each such byte reads as
// a codepoint of its own (0xDC00 + byte), neither that variable nor the rest of the environment is
// lost to an error, and set-env gives the same bytes back (a search path naming a Latin-1 folder).
TEST(NativesSystem, EnvironmentWithBytesThatAreNotUtf8) {
    char e1[] = "KEL_BAD=a\xFF" "b\xC3", e2[] = "KEL_\xFE=v", e3[] = "KEL_GOOD=ok";
    char* entries[] = {e1, e2, e3, nullptr};
    std::string listed, got;
    with_environ(entries, [&] {
        listed = eval("mold/flat list-env");
        got = eval("get-env \"KEL_BAD\"");
    });
    EXPECT_EQ(listed, "{#[\"KEL_BAD\" \"a^^(DCFF)b^^(DCC3)\" \"KEL_^^(DCFE)\" \"v\" \"KEL_GOOD\" \"ok\"]}");
    EXPECT_EQ(got, "\"a^(DCFF)b^(DCC3)\"");
    eval("set-env \"KEL_TEST_\xC3\xA9^(DCE9)\" {x^(DCE9)y\xC3\xA9}");
    const char* back = getenv("KEL_TEST_\xC3\xA9\xE9");
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(std::string(back), "x\xE9y\xC3\xA9");
    EXPECT_EQ(eval("get-env \"KEL_TEST_\xC3\xA9^(DCE9)\""), "\"x^(DCE9)y\xC3\xA9\"");
    unsetenv("KEL_TEST_\xC3\xA9\xE9");
}

// Variable names are case-sensitive: FOO and foo are two variables, each with its own value, and a
// name given twice keeps its last value.
TEST(NativesSystem, ListEnvKeepsNamesThatDifferInCase) {
    char e1[] = "FOO=1", e2[] = "foo=2", e3[] = "Foo=3", e4[] = "BAR=a", e5[] = "BAR=b";
    char* entries[] = {e1, e2, e3, e4, e5, nullptr};
    std::string listed = with_environ(entries, [] { return eval("env: list-env mold/flat env"); });
    EXPECT_EQ(listed, R"({#["FOO" "1" "foo" "2" "Foo" "3" "BAR" "b"]})");
    expect_cases({
        {"length? env", "4"},
        {"select/case env \"FOO\"", "\"1\""},
        {"select/case env \"foo\"", "\"2\""},
        {"select/case env \"Foo\"", "\"3\""},
        {"select/case env \"fOO\"", "none"},
        {"select env \"fOO\"", "\"1\""},
    });
}

TEST(NativesSystem, Files) {
    std::string dir = os::get_current_dir();
    expect_cases({
        {"to-local-file %a/b", "\"a/b\""},
        {"to-local-file %/usr/lib", "\"/usr/lib\""},
        {"to-local-file \"x y\"", "\"x y\""},
    });
    // Molded through the same rule: a long folder name molds in braces, a short one in quotes.
    std::string full = dir + (dir == "/" ? "" : "/") + "a/b";
    EXPECT_EQ(eval("to-local-file/full %a/b"), eval("{" + full + "}"));
    EXPECT_EQ(eval("to-local-file/full %/a"), "\"/a\"");

    char path[] = "/tmp/kel-size-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "12345", 5), 5);
    close(fd);
    EXPECT_EQ(eval(std::string("size? %") + path), "5");
    unlink(path);
    expect_cases({
        {"size? %/tmp/", "none"},
        {"size? %/tmp", "none"},
        {"size? %.", "none"},
        {"size? %/no/such/file/here", "none"},
    });
}

TEST(NativesSystem, Recycle) {
    bool enabled = collector::enabled;
    expect_cases({
        {"recycle/off", "unset"},
        {"recycle/on", "unset"},
        {"recycle/on/off", "unset"},
        {"type? recycle", "integer!"},
        // The figure is the memory in use after the collection: a dropped 30,000-character
        // string (and the buffers it grew through) no longer counts.
        {"big: copy \"\" loop 3000 [append big \"0123456789\"] before: recycle big: none before - recycle > 30000",
         "true"},
        {"type? stats", "integer!"},
        {"s: stats/info reduce [length? s type? pick s 1]", "[5 block!]"},
        {"stats/show", "!internal/not-done"},
    });
    EXPECT_TRUE(collector::enabled);
    collector::enabled = enabled;
}

TEST(NativesSystem, Transcode) {
    expect_cases({
        {"transcode \"\"", "[]"},
        {"transcode \"1 [2] a\"", "[1 [2] a]"},
        {"transcode/one \"1 2\"", "1"},
        {"transcode/next \"1 2\"", "[1 \" 2\"]"},
        {"transcode/next/one \"1 2\"", "1"},
        {"transcode/scan #{}", "none"},
        {"transcode/scan \"1\"", "integer!"},
        {"transcode/scan \"[1\"", "error!"},
        {"transcode/prescan \"abc\"", "word!"},
        {"transcode #{EFBBBF31}", "[1]"},
        {"b: #{EFBBBF3120} r: transcode/next b index? pick r 2", "5"},
        {"b: [x] transcode/into \"1\" b", "[x 1]"},
        {"b: [x] transcode/into/next \"1 2\" b", "[x 1]"},
        {"transcode/part \"1 2 3\" 3", "[1 2]"},
        {"b: #{313220333420} transcode/part b skip b 4", "[12 3]"},
        {"transcode/part \"12\" #{31}", "!script/not-same-type"},
        {"transcode/part \"1 2\" \"1\"", "!script/expect-arg"},
        {"transcode \"[1\"", "!syntax/missing"},
        {"r: copy [] transcode/trace \"1 2\" func [e i t l tok] [[load] append r tok true] r", "[1 2]"},
        {"transcode/trace \"1 2\" func [e i t l tok] [[load] tok <> 1]", "[2]"},
        {"transcode/trace \"1 ) 2\" func [e i t l tok] [[error] false]", "[1]"},
        {"transcode/trace \"1 ) 2\" func [e i t l tok] [[error] i: next i false]", "[1 2]"},
        // The input of an error at a stray bracket stands at the bracket: stepping one on goes
        // past it and no further.
        {"transcode/trace \"1)2\" func [e i t l tok] [[error] i: next i false]", "[1 2]"},
        {"transcode/trace \"[1 2)3]\" func [e i t l tok] [[error] i: next i false]", "[[1 2 3]]"},
        {"transcode/trace \"(a]b)\" func [e i t l tok] [[error] i: next i false]", "[(a b)]"},
        // So does the input of a token no rule accepts: the value after it is kept.
        {"transcode/trace \"a }b c\" func [e i t l tok] [[error] i: next i false]", "[a b c]"},
        {"transcode/trace \"a b 1x c\" func [e i t l tok] [[error] i: next i false]", "[a b c]"},
        {"transcode/trace \"1\\2 3\" func [e i t l tok] [[error] i: next i false]", "[2 3]"},
        {"transcode/trace \"[1,2]\" func [e i t l tok] [[error] i: next i false]", "[[1 2]]"},
    });
}

TEST(NativesSystem, Apply) {
    expect_cases({
        {"apply :append [[] 1]", "[1]"},
        {"apply 'append [[] 1]", "[1]"},
        {"apply :append [[] [1] /only true]", "[[1]]"},
        {"apply :append [[] [1] /only false]", "[1]"},
        {"apply/all :append [[] 1 false none false true 2]", "[1 1]"},
        {"apply 'append/only [[] [1]]", "[[1]]"},
        {"apply :+ [1 2]", "3"},
        {"f: func [a b] [a - b] apply :f [5 2]", "3"},
        {"x: 5 apply 'x [1]", "!script/invalid-arg"},
        {"apply :append [[] 1 + 1]", "[2]"},
    });
}

// The cells a trace callback gets hold a value before the collector can see them: naming the kind
// of some tokens (eof, comment, hex) makes a word, which may collect.
TEST(NativesSystem, TranscodeTraceLeavesNoStaleCellForTheCollector) {
    test_support::ChildResult r = test_support::eval_over_stale_stack(
        "n: 0 r: transcode/trace {1 [2] ;c\n} func [e i t l o] [n: n + 1 true] reduce [r n > 0]");
    EXPECT_TRUE(r.exited) << r.out;
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("[[1 [2]] true]"), std::string::npos) << r.out;
}

// apply's own cells (the function and its name) hold a value before the collector can see them.
// The first apply of a function value in a process makes the name of its frame, which collects
// under torture: ctest runs this test in a process of its own.
TEST(NativesSystem, ApplyLeavesNoStaleCellForTheCollector) {
    for (const char* code : {"apply :append [[1] 2]", "apply func [a] [a + 1] [1]"}) {
        test_support::ChildResult r = test_support::eval_over_stale_stack(code);
        EXPECT_TRUE(r.exited) << code;
        EXPECT_EQ(r.status, 0) << code << "\n" << r.out;
    }
}
