// date!: the day-number calendar, construction from block specs and Unix seconds, arithmetic,
// comparison, the text form, and field access by path and pick.
#include <gtest/gtest.h>

#include <string>

#include "datatypes/date.h"
#include "tests/support/kel_cases.h"

using kel_test::Case;
using kel_test::eval;
using kel_test::expect_cases;

namespace {

// The first line of the error a snippet raises.
std::string first_line(const char* code) {
    std::string m = kel_test::run(code).message;
    return m.substr(0, m.find('\n'));
}

}  // namespace

TEST(DateCalendar, DayNumbersRunContinuouslyOverTheWholeRange) {
    // Every day number maps to a date and back, and the next day number is the next calendar
    // day, across year 0 and the negative years too.
    int32_t first = date::to_days(date::kMinYear, 1, 1);
    int32_t last = date::to_days(date::kMaxYear, 12, 31);
    EXPECT_TRUE(date::in_range(first));
    EXPECT_TRUE(date::in_range(last));
    EXPECT_FALSE(date::in_range(int64_t(first) - 1));
    EXPECT_FALSE(date::in_range(int64_t(last) + 1));
    uint32_t prev = date::from_days(first, 0, false);
    EXPECT_EQ(date::year_of(prev), date::kMinYear);
    EXPECT_EQ(date::month_of(prev), 1);
    EXPECT_EQ(date::day_of(prev), 1);
    for (int32_t d = first + 1; d <= last; d++) {
        uint32_t p = date::from_days(d, 0, false);
        ASSERT_EQ(date::days_of(p), d);
        int32_t y = date::year_of(prev);
        int m = date::month_of(prev), day = date::day_of(prev);
        if (day < date::days_in_month(y, m)) {
            ASSERT_TRUE(date::year_of(p) == y && date::month_of(p) == m && date::day_of(p) == day + 1) << d;
        } else if (m < 12) {
            ASSERT_TRUE(date::month_of(p) == m + 1 && date::day_of(p) == 1 && date::year_of(p) == y) << d;
        } else {
            ASSERT_TRUE(date::month_of(p) == 1 && date::day_of(p) == 1 && date::year_of(p) == y + 1) << d;
        }
        prev = p;
    }
    EXPECT_EQ(date::year_of(prev), date::kMaxYear);
}

TEST(DateCalendar, KnownDays) {
    EXPECT_EQ(date::to_days(2000, 1, 1), 730425);
    EXPECT_EQ(date::weekday(730425), 6);
    EXPECT_EQ(date::to_days(0, 3, 1), 0);
    EXPECT_EQ(date::to_days(0, 2, 29), -1);  // year 0 is a leap year
    EXPECT_EQ(date::weekday(date::to_days(1, 1, 1)), 1);  // Monday
    EXPECT_EQ(date::weekday(date::to_days(0, 1, 1)), 6);  // 366 days earlier
    EXPECT_EQ(date::to_days(-1, 12, 31), date::to_days(0, 1, 1) - 1);
    EXPECT_EQ(date::to_days(1900, 2, 29), date::to_days(1900, 3, 1));
    EXPECT_EQ(date::iso_week(date::from_days(date::to_days(2021, 1, 1), 0, false)), 53);
    EXPECT_EQ(date::iso_week(date::from_days(date::to_days(2022, 1, 1), 0, false)), 52);
    EXPECT_EQ(date::iso_week(date::from_days(date::to_days(2005, 1, 1), 0, false)), 53);
    EXPECT_EQ(date::iso_week(date::from_days(date::to_days(2024, 12, 30), 0, false)), 1);
    EXPECT_EQ(date::zone_bits(5, 30), (5u << 2) | 2);
    EXPECT_EQ(date::zone_bits(-3, 0), date::zone_sign | (3u << 2));
    EXPECT_EQ(date::zone_bits(0, 0), 0u);
}

// Weekday, yearday, ISO week, Sunday-based week, Unix seconds at noon and days since 1970,
// checked against an independent calendar.
TEST(DateCalendar, FieldsAgainstReference) {
    expect_cases({
        {"d: 1-Jan-2021 reduce [d/weekday d/yearday d/isoweek d/week]", "[5 1 53 1]"},
        {"d: 3-Jan-2021 reduce [d/weekday d/yearday d/isoweek d/week]", "[7 3 53 2]"},
        {"d: 4-Jan-2021 reduce [d/weekday d/yearday d/isoweek d/week]", "[1 4 1 2]"},
        {"d: 31-Dec-2024 reduce [d/weekday d/yearday d/isoweek d/week]", "[2 366 1 53]"},
        {"d: 29-Feb-2000 reduce [d/weekday d/yearday d/isoweek d/week]", "[2 60 9 10]"},
        {"d: 1-Jan-2005 reduce [d/weekday d/isoweek]", "[6 53]"},
        {"d: 1-Jan-2022 reduce [d/weekday d/isoweek]", "[6 52]"},
        {"d: 1-Jan-2023 reduce [d/weekday d/isoweek d/week]", "[7 52 1]"},
        {"d: 9-Sep-1752 reduce [d/weekday d/yearday d/isoweek]", "[6 253 36]"},
        {"to integer! 19-Jan-2038/3:14:07", "2147483647"},
        {"to integer! 13-Dec-1901/20:45:52", "-2147483648"},
        {"to integer! 2-Jan-1970/0:00:00.5", "86401"},
        {"to integer! 1-Jan-1970/0:00", "0"},
        {"to integer! 1-Jan-1970/1:00+1:00", "0"},
        {"to integer! 1-Jan-1970", "0"},
        {"to integer! 19-Jan-2038/3:14:08", "!script/type-limit"},
    });
}

TEST(DateMake, BlockSpecs) {
    expect_cases({
        {"make date! [1 1 2020]", "1-Jan-2020"},
        {"make date! [2020 1 1]", "1-Jan-2020"},
        {"make date! to paren! [1 2 2020]", "1-Feb-2020"},
        {"make date! make hash! [1 2 2020]", "1-Feb-2020"},
        {"to date! [99 1 2020]", "8-Apr-2020"},  // below 100: never the year
        {"make date! [29 2 2020]", "29-Feb-2020"},
        {"make date! [1 1 2020 10:30]", "1-Jan-2020/10:30:00"},
        {"make date! [1 1 2020 10 30]", "1-Jan-2020/10:30:00"},
        {"make date! [1 1 2020 10 30 15]", "1-Jan-2020/10:30:15"},
        {"make date! [1 1 2020 10 30 15.25]", "1-Jan-2020/10:30:15.25"},
        {"make date! [1 1 2020 10:30 5]", "1-Jan-2020/10:30:00+05:00"},
        {"make date! [1 1 2020 10:30 5 30]", "1-Jan-2020/10:30:00+05:30"},
        {"make date! [1 1 2020 10:30 -3:30]", "1-Jan-2020/10:30:00-03:30"},
        {"make date! [1 1 2020 10 30 0 -5]", "1-Jan-2020/10:30:00-05:00"},
        {"make date! [1 1 2020 10 30 0 -0:30]", "1-Jan-2020/10:30:00-00:30"},
        {"make date! [1 1 2020 1:00 5]", "1-Jan-2020/1:00:00+05:00"},
        {"make date! 1-Jan-2020/10:00", "1-Jan-2020/10:00:00"},
        {"d: make date! [1 1 2020 1:00 5] d/time", "1:00:00"},
    });
    // Refused: out-of-range fields (make is strict), missing or extra values, wrong types.
    expect_cases({
        {"make date! [31 2 2021]", "!script/bad-to-arg"},
        {"make date! [1 13 2020]", "!script/bad-to-arg"},
        {"make date! [0 1 2020]", "!script/bad-to-arg"},
        {"make date! [1 1 2020 24:00]", "!script/bad-to-arg"},
        {"make date! [1 1 2020 -1:00]", "!script/bad-to-arg"},
        {"make date! [1 1 2020 10 60]", "!script/bad-to-arg"},
        {"make date! [1 1 2020 10 30 60]", "!script/bad-to-arg"},
        {"make date! [1 1 2020 10]", "!script/bad-to-arg"},
        {"make date! [1 1]", "!script/bad-to-arg"},
        {"make date! []", "!script/bad-to-arg"},
        {"make date! [1 1 2020 10:00 5 30 1]", "!script/bad-to-arg"},
        {"make date! [1 1 2020 10:00 5:00 1]", "!script/bad-to-arg"},
        {"make date! [1 1 2020 10:00 16]", "!script/bad-to-arg"},
        {"make date! [1 1 2020 10:00 5 60]", "!script/bad-to-arg"},
        {"make date! [1.0 1 2020]", "!script/bad-to-arg"},
        {"make date! [1 1 2020 10 1:00]", "!script/bad-to-arg"},
        {"make date! [1 \"Jan\" 2020]", "!script/bad-to-arg"},
        {"make date! [1 1 99999]", "!script/bad-to-arg"},
        {"make date! 0", "!script/bad-to-arg"},
        {"make date! \"1-Jan-2020\"", "!script/bad-to-arg"},
    });
    EXPECT_EQ(first_line("make date! [31 2 2021]"), "*** Script Error: cannot MAKE/TO date! from: [31 2 2021]");
}

TEST(DateTo, RollsOverAndReadsUnixSeconds) {
    expect_cases({
        {"to date! [31 2 2021]", "3-Mar-2021"},
        {"to date! [1 13 2020]", "1-Jan-2021"},
        {"to date! [1 0 2020]", "1-Dec-2019"},
        {"to date! [0 3 2020]", "29-Feb-2020"},
        {"to date! [1 1 2020 25:00]", "2-Jan-2020/1:00:00"},
        {"to date! [1 1 2020 -1:00]", "31-Dec-2019/23:00:00"},
        {"to date! [1 1 2020 10 90]", "1-Jan-2020/11:30:00"},
        {"to date! [1 1 2020 23:00 -2]", "1-Jan-2020/23:00:00-02:00"},
        {"to date! 0", "1-Jan-1970/0:00:00"},
        {"to date! -1", "31-Dec-1969/23:59:59"},
        {"to date! 86401", "2-Jan-1970/0:00:01"},
        {"to date! -86400", "31-Dec-1969/0:00:00"},
        {"to date! 2147483647", "19-Jan-2038/3:14:07"},
        {"to date! -2147483648", "13-Dec-1901/20:45:52"},
        {"to date! 1-Jan-2020", "1-Jan-2020"},
        {"to date! [1 1 2020 10]", "!script/bad-to-arg"},
        {"to date! \"1-Jan-2020\"", "!script/bad-to-arg"},
        {"to date! 1.5", "!script/bad-to-arg"},
        {"to date! [1 1 16383 10000000:00]", "!script/bad-to-arg"},
    });
}

TEST(DateArithmetic, DaysTimesAndDifferences) {
    expect_cases({
        {"31-Jan-2021 + 1", "1-Feb-2021"},
        {"1-Mar-2021 - 1", "28-Feb-2021"},
        {"1-Mar-2020 - 1", "29-Feb-2020"},
        {"1-Jan-2021 + -366", "1-Jan-2020"},
        {"3 + 1-Jan-2020", "4-Jan-2020"},
        {"1-Jan-2021/23:00 + 2:00", "2-Jan-2021/1:00:00"},
        {"2:00 + 1-Jan-2021/23:00", "2-Jan-2021/1:00:00"},
        {"1-Jan-2021/1:00 - 2:00", "31-Dec-2020/23:00:00"},
        {"1-Jan-2021/23:00+5:00 + 2:00", "2-Jan-2021/1:00:00+05:00"},
        {"1-Jan-2021/10:00 + 48:00", "3-Jan-2021/10:00:00"},
        // A date without a time gains whole days only.
        {"1-Jan-2021 + 36:00", "2-Jan-2021"},
        {"1-Jan-2021 + 12:00", "1-Jan-2021"},
        {"1-Mar-2021 - 1-Jan-2021", "59"},
        {"1-Jan-2021 - 1-Mar-2021", "-59"},
        {"2-Jan-2021/1:00 - 1-Jan-2021/2:00", "0"},
        {"2-Jan-2021/3:00 - 1-Jan-2021/2:00", "1"},
        {"2-Jan-2021/1:00+5:00 - 1-Jan-2021/21:00", "-1"},
        {"(make date! [1 1 16383]) - make date! [1 1 -16384]", "11967901"},
    });
    expect_cases({
        {"1-Jan-2021 + 1-Jan-2021", "!script/not-related"},
        {"1-Jan-2021 + 1.5", "!script/invalid-type"},
        {"1-Jan-2021 - 1.5", "!script/invalid-type"},
        {"1 - 1-Jan-2021", "!script/not-related"},
        {"1:00 - 1-Jan-2021", "!script/not-related"},
        {"(make date! [31 12 16383]) + 1", "!script/type-limit"},
        {"(make date! [1 1 -16384]) - 1", "!script/type-limit"},
        {"1-Jan-2021 + 2147483647", "!script/type-limit"},
        {"1-Jan-2021/0:00 + to time! 1e300", "!script/type-limit"},
    });
    EXPECT_EQ(first_line("1-Jan-2021 + 1-Jan-2021"),
              "*** Script Error: incompatible argument for add of date!");
    EXPECT_EQ(first_line("1-Jan-2021 + 1.5"),
              "*** Script Error: float! type is not allowed here");
}

TEST(DateCompare, InstantsAndTolerance) {
    expect_cases({
        {"1-Jan-2021 = 1-Jan-2021", "true"},
        {"1-Jan-2021 = 1-Jan-2021/0:00", "true"},
        {"1-Jan-2021 = 2-Jan-2021", "false"},
        {"1-Jan-2021 < 2-Jan-2021", "true"},
        {"1-Jan-2021/10:00 < 1-Jan-2021/9:00", "false"},
        {"31-Dec-2020/23:59 < 1-Jan-2021", "true"},
        {"1-Jan--0001 < 1-Jan-0001", "true"},
        {"1-Jan-2021/10:00+2:00 = 1-Jan-2021/8:00", "true"},
        {"1-Jan-2021/1:00+5:00 = 31-Dec-2020/20:00", "true"},
        {"1-Jan-2021/1:00+5:00 < 31-Dec-2020/21:00", "true"},
        {"1-Jan-2021/10:00 <> 1-Jan-2021/10:00:01", "true"},
        {"d: 1-Jan-2021/10:00 e: d + to time! 3e-11 d = e", "true"},
        {"d: 1-Jan-2021/10:00 e: d + to time! 3e-11 same? d e", "false"},
        {"same? 1-Jan-2021/10:00 1-Jan-2021/10:00", "true"},
        {"1-Jan-2021 = 1", "false"},
        {"1-Jan-2021 < 1", "!script/invalid-compare"},
        {"sort [3-Jan-2021 1-Jan-2021/10:00 1-Jan-2021 2-Jan-2021]", "[1-Jan-2021 1-Jan-2021/10:00:00 2-Jan-2021 3-Jan-2021]"},
    });
}

TEST(DateText, MoldAndForm) {
    expect_cases({
        {"5-Mar-2021/10:30+5:30", "5-Mar-2021/10:30:00+05:30"},
        {"5-Mar-2021/10:30-10:00", "5-Mar-2021/10:30:00-10:00"},
        {"5-Mar-2021/10:30+0:00", "5-Mar-2021/10:30:00"},
        {"5-Mar-0099", "5-Mar-0099"},
        {"5-Mar-0100", "5-Mar-100"},
        {"make date! [5 3 12345]", "5-Mar-12345"},
        {"15/Mar/-0044", "15/Mar/-0044"},
        {"form 1-Sep-2021/0:00:00.25", "\"1-Sep-2021/0:00:00.25\""},
        {"mold/part 5-Mar-2021/10:30 8", "\"5-Mar-20\""},
    });
}

// The seconds are written to six digits; a reading that rounds to 60 must still load back.
TEST(DateText, SecondsThatRoundUpCarryIntoTheMinuteAndTheDay) {
    expect_cases({
        {"mold 1-Jan-2000/10:00:59.99996", "\"1-Jan-2000/10:01:00\""},
        {"mold 1-Jan-2000/10:59:59.999999", "\"1-Jan-2000/11:00:00\""},
        {"mold 31-Dec-1999/23:59:59.99996+5:30", "\"1-Jan-2000/0:00:00+05:30\""},
        {"mold 28-Feb-2000/23:59:59.99999-2:00", "\"29-Feb-2000/0:00:00-02:00\""},
        {"mold 1-Jan-2000/10:00:59.99994", "\"1-Jan-2000/10:00:59.9999\""},
        {"d: 31-Dec-1999/23:59:59.99996 reduce [d/day d/minute]", "[31 59]"},
    });
}

TEST(DatePath, GetFields) {
    expect_cases({
        {"d: 5-Mar-2021/10:30:15.5+5:30 reduce [d/date d/year d/month d/day d/zone d/time]",
         "[5-Mar-2021 2021 3 5 5:30:00 10:30:15.5]"},
        {"d: 5-Mar-2021/10:30:15.5+5:30 reduce [d/hour d/minute d/second d/weekday d/yearday d/julian d/timezone]",
         "[10 30 15.5 5 64 64 5:30:00]"},
        {"d: 5-Mar-2021/10:30:15.5+5:30 reduce [d/1 d/2 d/3 d/4 d/5 d/6 d/7 d/8 d/9 d/10 d/11 d/12 d/13 d/14]",
         "[5-Mar-2021 2021 3 5 5:30:00 10:30:15.5 10 30 15.5 5 64 5:30:00 10 9]"},
        {"d: 5-Mar-2021 reduce [d/zone d/time d/hour d/minute d/second d/timezone]", "[none none 0 0 0.0 none]"},
        {"d: 5-Mar-2021/1:00-5:00 d/day", "5"},
        {"d: 5-Mar-2021 d/YEAR", "2021"},
        {"d: 5-Mar-2021 d/0", "!script/invalid-path"},
        {"d: 5-Mar-2021 d/15", "!script/invalid-path"},
        {"d: 5-Mar-2021 d/foo", "!script/invalid-path"},
        {"d: 5-Mar-2021 d/(1.0)", "!script/invalid-path"},
        {"pick 5-Mar-2021/10:00 2", "2021"},
        {"pick 5-Mar-2021/10:00 'hour", "10"},
        {"pick 5-Mar-2021/10:00 'julian", "64"},
        {"pick 5-Mar-2021 0", "!script/out-of-range"},
        {"pick 5-Mar-2021 'foo", "!script/out-of-range"},
        {"pick 5-Mar-2021 \"year\"", "!script/out-of-range"},
    });
    EXPECT_EQ(first_line("d: 5-Mar-2021 d/foo"),
              "*** Script Error: cannot access foo in path d/foo");
}

TEST(DatePath, SetFields) {
    expect_cases({
        {"d: 5-Mar-2021/10:00+2:00 d/date: 1-Jan-2020/3:00 d", "1-Jan-2020/10:00:00+02:00"},
        {"d: 5-Mar-2021/10:00+2:00 d/date: 1-Jan-2020 d", "1-Jan-2020"},
        {"d: 5-Mar-2021 d/date: 1-Jan-2020/3:00 d", "1-Jan-2020/0:00:00"},
        {"d: 29-Feb-2020/10:00 d/year: 2021 d", "1-Mar-2021/10:00:00"},
        {"d: 31-Jan-2021 d/month: 2 d", "3-Mar-2021"},
        {"d: 31-Jan-2020 d/month: 2 d", "2-Mar-2020"},
        {"d: 15-Jan-2021 d/month: 13 d", "15-Jan-2022"},
        {"d: 15-Jan-2021 d/month: 0 d", "15-Dec-2020"},
        {"d: 15-Jan-2021 d/month: -12 d", "15-Dec-2019"},
        {"d: 15-Jan-2021 d/day: 0 d", "31-Dec-2020"},
        {"d: 15-Jan-2021 d/day: 32 d", "1-Feb-2021"},
        {"d: 5-Mar-2021/10:30+5:30 d/zone: 0 d", "5-Mar-2021/10:30:00"},
        {"d: 5-Mar-2021/10:30+5:30 d/timezone: 0 d", "5-Mar-2021/5:00:00"},
        {"d: 5-Mar-2021/1:00 d/timezone: -2 d", "4-Mar-2021/23:00:00-02:00"},
        {"d: 5-Mar-2021/1:00 d/timezone: -2:30 d", "4-Mar-2021/22:30:00-02:30"},
        {"d: 5-Mar-2021/1:00 d/zone: 17 d", "5-Mar-2021/1:00:00+01:00"},
        {"d: 5-Mar-2021/1:00 d/zone: 5:45 d", "5-Mar-2021/1:00:00+05:45"},
        {"d: 5-Mar-2021 d/zone: 2 d", "5-Mar-2021/0:00:00+02:00"},
        {"d: 5-Mar-2021 d/timezone: 2 d", "5-Mar-2021/2:00:00+02:00"},
        {"d: 5-Mar-2021 d/time: 10:30 d", "5-Mar-2021/10:30:00"},
        {"d: 5-Mar-2021/1:00+3:00 d/time: 23:30 d", "5-Mar-2021/23:30:00+03:00"},
        {"d: 5-Mar-2021/1:00 d/time: 25:00 d", "6-Mar-2021/1:00:00"},
        {"d: 5-Mar-2021/1:00+3:00 d/time: none d", "5-Mar-2021"},
        {"d: 5-Mar-2021/1:00+3:00 d/time: none d = 5-Mar-2021", "true"},
        {"d: 5-Mar-2021/10:20:30+3:00 d/hour: 4 d", "5-Mar-2021/4:20:30+03:00"},
        {"d: 5-Mar-2021/10:20:30 d/hour: 25 d", "6-Mar-2021/1:20:30"},
        {"d: 5-Mar-2021/10:20:30 d/minute: 5 d", "5-Mar-2021/10:05:30"},
        {"d: 5-Mar-2021/10:20:30 d/minute: -30 d", "5-Mar-2021/9:30:30"},
        {"d: 5-Mar-2021/10:20:30 d/second: 1.5 d", "5-Mar-2021/10:20:01.5"},
        {"d: 5-Mar-2021/10:20:30 d/second: 0 d", "5-Mar-2021/10:20:00"},
        {"d: 5-Mar-2021 d/hour: 3 d", "5-Mar-2021/3:00:00"},
        {"d: 5-Mar-2021/10:00 d/weekday: 1 d", "1-Mar-2021/10:00:00"},
        {"d: 5-Mar-2021 d/weekday: 7 d", "7-Mar-2021"},
        {"d: 5-Mar-2021 d/yearday: 1 d", "1-Jan-2021"},
        {"d: 5-Mar-2021 d/julian: 365 d", "31-Dec-2021"},
        {"d: 5-Mar-2021 d/week: 1 d", "1-Jan-2021"},
        {"d: 5-Mar-2021 d/week: 2 d", "3-Jan-2021"},
        {"d: 5-Mar-2021 d/isoweek: 1 d", "4-Jan-2021"},
        {"d: 5-Mar-2020 d/isoweek: 1 d", "30-Dec-2019"},
        {"d: 5-Mar-2021 d/3: 4 d", "5-Apr-2021"},
        {"d: 5-Mar-2021 d/month: 4", "4"},
    });
    // Wrong value types and results beyond the date range leave the date as it was.
    expect_cases({
        {"d: 5-Mar-2021 d/year: \"2020\"", "!script/invalid-arg"},
        {"d: 5-Mar-2021 d/date: 1", "!script/invalid-arg"},
        {"d: 5-Mar-2021 d/time: 1", "!script/invalid-arg"},
        {"d: 5-Mar-2021 d/zone: 1.5", "!script/invalid-arg"},
        {"d: 5-Mar-2021 d/hour: 1.5", "!script/invalid-arg"},
        {"d: 5-Mar-2021 d/weekday: none", "!script/invalid-arg"},
        {"d: 5-Mar-2021 d/foo: 1", "!script/invalid-path"},
        {"d: 5-Mar-2021 try [d/year: \"x\"] d", "5-Mar-2021"},
        {"d: 5-Mar-2021 try [d/day: 2147483647] d", "5-Mar-2021"},
        {"d: 5-Mar-2021 d/year: 20000", "!script/type-limit"},
        {"d: 5-Mar-2021 d/month: -2147483648", "!script/type-limit"},
    });
    EXPECT_EQ(first_line("d: 5-Mar-2021 d/year: \"x\""),
              "*** Script Error: invalid argument: \"x\"");
}

// A date held in a block or an object changes where it lives.
TEST(DatePath, SetStoresBackIntoContainers) {
    expect_cases({
        {"b: reduce [1 5-Mar-2021] b/2/year: 2000 b", "[1 5-Mar-2000]"},
        {"o: make object! [d: 5-Mar-2021/10:00] o/d/hour: 12 o/d", "5-Mar-2021/12:00:00"},
        {"o: make object! [d: 5-Mar-2021 log: copy [] on-change*: func [w old new][append log reduce [w old new]]] "
         "o/d/month: 4 o/log",
         "[d 5-Mar-2021 5-Apr-2021]"},
    });
}
