// Output hooks, the default string hook and the low-level printers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <cstdio>
#include <string>
#include <vector>

#include "datatypes/cell.h"
#include "runtime/console.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/output.h"
#include "runtime/print.h"
#include "runtime/runtime.h"
#include "tests/support/captured_stdout.h"
#include "tests/support/errors.h"

namespace {

using Redirect = tv::CapturedStdout;

// A string value of the given unit width holding the codepoints.
Cell make_string(int unit, const std::vector<uint32_t>& cps, int32_t index = 0) {
    Node node = tv::hold_node(memory::alloc_codepoints(static_cast<int32_t>(cps.size()), unit));
    SeriesBuf* s = memory::nodes[node];
    for (size_t i = 0; i < cps.size(); i++) std::memcpy(s->at_head() + i * size_t(unit), &cps[i], size_t(unit));
    s->tail = s->head + static_cast<uint32_t>(cps.size() * size_t(unit));
    Cell c;
    set_cell(&c, TYPE_STRING, static_cast<uint32_t>(index), node);
    return c;
}

std::vector<std::string> calls;
#define RECORDER(name) \
    void name(const Cell*, bool line_end) { calls.push_back(std::string(#name) + (line_end ? "/line" : "")); }
RECORDER(h1)
RECORDER(h2)
RECORDER(h3)
RECORDER(h4)
RECORDER(h5)
RECORDER(h6)
RECORDER(h7)

std::string texts;
void text_hook(const char* t, size_t n, int flag) {
    texts.append(t, n);
    texts += '|';
    texts += std::to_string(flag);
    texts += ' ';
}

TEST(OutputHooks, KeepOrderAcrossGrowthAndRemoveFirstEntryOnly) {
    calls.clear();
    int before = output::string_hook_count();
    output::remove_hooks(output::print_string, nullptr);  // keeps the test's output quiet
    for (auto h : {h1, h2, h3, h4, h5, h6}) output::add_hooks(h, nullptr);
    EXPECT_EQ(output::string_hook_count(), before - 1 + 6);
    EXPECT_GE(output::string_hook_capacity(), output::string_hook_count());
    EXPECT_EQ(output::string_hook_capacity() % 5, 0);
    Cell s = make_string(1, {'x'});
    output::call_hooks(&s, true);
    EXPECT_EQ(calls, (std::vector<std::string>{"h1/line", "h2/line", "h3/line", "h4/line", "h5/line", "h6/line"}));

    // h2 twice: removal takes the first; absent and null hooks change nothing.
    output::add_hooks(h2, nullptr);
    output::remove_hooks(h2, nullptr);
    output::remove_hooks(nullptr, nullptr);
    output::remove_hooks(h7, text_hook);
    calls.clear();
    output::call_hooks(&s, false);
    EXPECT_EQ(calls, (std::vector<std::string>{"h1", "h3", "h4", "h5", "h6", "h2"}));

    for (auto h : {h1, h2, h3, h4, h5, h6}) output::remove_hooks(h, nullptr);
    output::add_hooks(output::print_string, nullptr);
    EXPECT_EQ(output::string_hook_count(), before);
}

// A hook that removes itself or an earlier hook while the hooks run: every other hook still gets
// the string, once; a hook removed before its turn is not called.
void once_hook(const Cell*, bool) {
    calls.push_back("once");
    output::remove_hooks(once_hook, nullptr);
}
void drop_h1(const Cell*, bool) {
    calls.push_back("drop_h1");
    output::remove_hooks(h1, nullptr);
}
void drop_h4(const Cell*, bool) {
    calls.push_back("drop_h4");
    output::remove_hooks(h4, nullptr);
}

TEST(OutputHooks, HooksRemovedWhileRunningSkipNoOtherHook) {
    struct Case {
        std::vector<output::StringHook> hooks;
        std::vector<std::string> first, second;
    } cases[] = {
        {{once_hook, h2, h3}, {"once", "h2", "h3"}, {"h2", "h3"}},
        {{h1, drop_h1, h2}, {"h1", "drop_h1", "h2"}, {"drop_h1", "h2"}},
        {{drop_h4, h4, h5}, {"drop_h4", "h5"}, {"drop_h4", "h5"}},
        {{once_hook, once_hook, h2}, {"once", "once", "h2"}, {"h2"}},
    };
    output::remove_hooks(output::print_string, nullptr);
    Cell s = make_string(1, {'x'});
    for (const Case& c : cases) {
        for (auto h : c.hooks) output::add_hooks(h, nullptr);
        calls.clear();
        output::call_hooks(&s, false);
        EXPECT_EQ(calls, c.first);
        calls.clear();
        output::call_hooks(&s, false);
        EXPECT_EQ(calls, c.second);
        for (auto h : c.hooks) output::remove_hooks(h, nullptr);
        EXPECT_EQ(output::string_hook_count(), 0);
    }
    output::add_hooks(output::print_string, nullptr);
}

// A hook that raises an error stops the hooks after it; the error goes on to the caller and the
// lists still work for the next print, and for removals made then.
void failing_hook(const Cell*, bool) {
    calls.push_back("failing");
    Cell arg;
    set_cell(&arg, TYPE_INTEGER, 7);
    fire(err::script::invalid_char, &arg);
}

TEST(OutputHooks, HookRaisingAnErrorLeavesTheListsUsable) {
    output::remove_hooks(output::print_string, nullptr);
    Cell s = make_string(1, {'x'});
    output::add_hooks(h1, nullptr);
    output::add_hooks(failing_hook, nullptr);
    output::add_hooks(h2, nullptr);
    calls.clear();
    EXPECT_EQ(catch_error([&] { output::call_hooks(&s, true); }).type(), TYPE_ERROR);
    EXPECT_EQ(calls, (std::vector<std::string>{"h1/line", "failing"}));
    output::remove_hooks(failing_hook, nullptr);
    output::add_hooks(drop_h1, nullptr);
    calls.clear();
    output::call_hooks(&s, false);
    EXPECT_EQ(calls, (std::vector<std::string>{"h1", "h2", "drop_h1"}));
    for (auto h : {h1, h2, drop_h1}) output::remove_hooks(h, nullptr);
    EXPECT_EQ(output::string_hook_count(), 0);
    output::add_hooks(output::print_string, nullptr);
}

TEST(OutputHooks, DefaultHookWritesEveryUnitWidth) {
    // 2- and 4-byte strings take their own paths; the value's index selects the start.
    Redirect r;
    Cell a = make_string(1, {'h', 'i', 0xE9});
    Cell b = make_string(2, {'x', 0x20AC}, 1);
    Cell c = make_string(4, {0x1F600});
    output::print_string(&a, true);
    output::print_string(&b, false);
    output::print_string(&c, true);
    EXPECT_EQ(r.text(), "hi\xc3\xa9\n\xe2\x82\xac\xf0\x9f\x98\x80\n");
}

TEST(OutputHooks, DefaultHookSurvivesBadStrings) {
    Redirect r;
    Cell past = make_string(1, {'a', 'b'}, 5);  // index past the tail
    output::print_string(&past, true);
    Cell odd = make_string(1, {'a'});
    SeriesBuf* s = memory::nodes[odd.node()];
    s->flags = (s->flags & ~series_flag::unit_mask) | 3;
    output::print_string(&odd, true);
    s->flags = (s->flags & ~series_flag::unit_mask) | 1;
    EXPECT_EQ(r.text(), "\nError: unknown string encoding: 3\n");
}

int begins = 0, ends = 0, depth_seen = 0;
void gui_begin() {
    begins++;
    depth_seen = std::max(depth_seen, begins - ends);
}
void gui_end() { ends++; }

TEST(OutputHooks, GuiBracketsEveryWriteOnceEvenOnErrors) {
    begins = ends = depth_seen = 0;
    output::set_print_brackets(gui_begin, gui_end);
    {
        Redirect r(true);
        // The report inside a printed string prints through the typed printer: still one bracket.
        Cell s = make_string(1, {0x1B, '[', '?'});
        output::print_string(&s, false);
        print_line({Typed::text("x")});
        Cell bad = make_string(4, {'a', 0x7FFFFFFF});
        EXPECT_EQ(catch_error([&] { output::print_string(&bad, false); }).type(), TYPE_ERROR);
        r.text();
    }
    output::set_print_brackets(nullptr, nullptr);
    EXPECT_EQ(begins, 3);
    EXPECT_EQ(ends, 3);
    EXPECT_EQ(depth_seen, 1);
}

TEST(LowLevelPrinters, PrintAndFeedTheTextHooks) {
    texts.clear();
    output::add_hooks(nullptr, text_hook);
    Redirect r;
    print::integer(-2147483647 - 1);
    print::hex_byte(0x0A);
    print::hex(0xBEEF);
    print::float_(0.1);
    print::float_(1e300);
    print::float32(0.1f);
    print::float_(1.0 / 3);
    EXPECT_STREQ(print::cstring("raw\xff"), "raw\xff");
    output::remove_hooks(nullptr, text_hook);
    print::integer(7);
    EXPECT_EQ(r.text(), "-21474836480A0000BEEF0.11e+3000.10.3333333333333333raw\xff" "7");
    EXPECT_EQ(texts, "-2147483648|0 0A|0 0000BEEF|0 0.1|0 1e+300|0 0.1|0 0.3333333333333333|0 raw\xff|0 ");
}

TEST(LowLevelPrinters, BuildDate) {
    // Day and hour without leading zeros, as in 9-Nov-2026/9:41:09.
    const char* date = runtime::build_date();
    int day, year, hour, minute, second;
    char month[4], rest;
    ASSERT_EQ(std::sscanf(date, "%d-%3[A-Za-z]-%d/%d:%d:%d%c", &day, month, &year, &hour, &minute, &second, &rest), 6)
        << date;
    EXPECT_NE(std::string("JanFebMarAprMayJunJulAugSepOctNovDec").find(month), std::string::npos) << date;
    EXPECT_TRUE(day >= 1 && day <= 31 && year >= 2024 && hour < 24 && minute < 60 && second < 60) << date;
    EXPECT_NE(date[0], '0');
    std::string time = std::string(date).substr(std::string(date).find('/') + 1);
    EXPECT_EQ(time.size(), hour < 10 ? 7u : 8u) << date;  // minutes and seconds keep two digits
}

}  // namespace

TEST(TypedPrinter, ValuesOfEveryKindAndSeparators) {
    Redirect r;
    print_line({Typed::integer(42), Typed::text("x")});
    print::typed_spaced({Typed::integer(42), Typed::text("x")});
    // No space after a value that already ends in white space, none after the last.
    print::typed_spaced({Typed::text("a "), Typed::byte('\t'), Typed::text("b"), Typed::byte('c'), Typed::logic(true)});
    print::typed({Typed::text("|")});
    print_line({Typed::logic(false), Typed::byte('!'), Typed::float32(0.1f), Typed::text(" "), Typed::float64(0.1),
                Typed::text(" "), Typed::float64(1e20), Typed::text(" "), Typed::hex(0xBEEF), Typed::text(nullptr)});
    print::cstring_part("abcdef", 3);
    print::cstring_part("ab", 9);
    print::byte('\n');
    EXPECT_EQ(r.text(), "42x\n42 xa \tb c true|false!0.1 0.1 1e+20 0000BEEF\nabcab\n");
}

TEST(TypedPrinter, CharLiterals) {
    const std::pair<unsigned char, const char*> cases[] = {
        {0, "#\"^@\""},    {1, "#\"^A\""},     {9, "#\"^-\""},     {10, "#\"^/\""},
        {26, "#\"^Z\""},   {27, "#\"^]\""},    {31, "#\"^_\""},    {32, "#\" \""},
        {'a', "#\"a\""},   {127, "#\"\x7F\""}, {128, "#\"^(80)\""}, {255, "#\"^(FF)\""},
    };
    for (auto [c, want] : cases) {
        Redirect r;
        print::char_literal(c);
        EXPECT_EQ(r.text(), want) << int(c);
    }
    EXPECT_TRUE(cstring::equal_q("abc", "abc"));
    EXPECT_FALSE(cstring::equal_q("abc", "abcd"));
    EXPECT_FALSE(cstring::equal_q("abd", "abc"));
}
