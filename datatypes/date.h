// date! values: a calendar date with an optional time of day and zone. Cell: data1 the packed
// date, data2-3 the time as a double of UTC seconds.
//
// Packed date: year in bits 17-31 (signed), month 12-15, day 7-11, time flag 16, zone sign 6
// (west of UTC), zone hours 2-5, zone quarter hours 0-1. The date fields are the local date; the
// stored time is UTC, so local time = stored time + zone offset, and after normalisation the
// local time lies in [0, 86400). A value without the time flag has time 0.0 and zone bits 0.
#pragma once

#include <cstdint>

#include "datatypes/cell.h"

struct PathStep;

namespace date {

constexpr uint32_t time_flag = 1u << 16;
constexpr uint32_t zone_mask = 0x7F;
constexpr uint32_t zone_sign = 0x40;
// The years a packed date holds.
constexpr int32_t kMinYear = -16384;
constexpr int32_t kMaxYear = 16383;

inline int32_t year_of(uint32_t packed) { return static_cast<int32_t>(packed) >> 17; }
inline int month_of(uint32_t packed) { return static_cast<int>((packed >> 12) & 15); }
inline int day_of(uint32_t packed) { return static_cast<int>((packed >> 7) & 31); }
inline bool has_time(uint32_t packed) { return packed & time_flag; }

bool leap_year_q(int32_t year);
int days_in_month(int32_t year, int month);

// Day numbers: a March-based proleptic Gregorian count (day 0 is 1 March of year 0). Any day
// count is accepted and rolls over (day 0 is the previous month's last day).
int32_t to_days(int32_t year, int month, int day);
int32_t days_of(uint32_t packed);
// The packed date of a day number, with the given zone bits and time flag. The day number must
// lie in the packed year range (see in_range).
uint32_t from_days(int32_t days, uint32_t zone_bits, bool time);
// Whether a day number has a date in the packed year range.
bool in_range(int64_t days);
int32_t year_start_days(uint32_t packed);
int32_t yearday(uint32_t packed);
// 1 Monday ... 7 Sunday.
int weekday(int32_t days);
// Day number of the Monday that begins ISO week 1 of the packed date's year; weekday of 1 January
// through jan1_weekday when not null.
int32_t iso_week1_start(uint32_t packed, int* jan1_weekday);
// ISO 8601 week number of the packed date.
int iso_week(uint32_t packed);

// Zone offset in seconds of the zone bits.
int32_t zone_seconds(uint32_t zone_bits);
// Zone bits of an offset in hours and minutes (negative when either is negative).
uint32_t zone_bits(int32_t hours, int32_t minutes);
// Seconds moved by the zone: direction 0 UTC to local, 1 local to UTC.
double apply_zone(double seconds, uint32_t zone_bits, int direction);
inline double to_local(double seconds, uint32_t zone) { return apply_zone(seconds, zone, 0); }
inline double to_utc(double seconds, uint32_t zone) { return apply_zone(seconds, zone, 1); }
// Carries whole days out of a UTC time so that its local reading lies in [0, 86400); answers the
// new day number. A day number or time beyond the packed year range raises type-limit.
int32_t normalize_time(int64_t days, double* time, uint32_t zone_bits);
// Stores the time (converted from local to UTC first when to_utc) and rebuilds the cell's date
// from the carried day number, keeping its zone and time flag.
void normalize(Cell* c, double time, bool to_utc);
// Sets the month (any integer: whole years roll over); a day past the month's end moves on.
void set_month(Cell* c, int64_t month);

// Constructors.
// The binary codec's reader: a date appended to a block, the time double in two halves.
Cell* make_in(Node block, uint32_t packed, uint32_t time_high, uint32_t time_low);
Cell* push(uint32_t packed, double time);
// The lexer's constructor: date fields taken as given (already valid), the local time in
// seconds converted to UTC when a time is present.
Cell* make_from_fields(Cell* c, int32_t year, int month, int day, double seconds, int32_t zone_hours,
                       int32_t zone_minutes, bool time);
// A date with the time flag set; the caller fills the time (UTC) and zone.
Cell* make_from_system_time(Cell* c, int32_t year, int month, int day);
// Moves within the year, keeping zone and time flag.
void set_week(Cell* c, int32_t week);     // the Monday of ISO week n
void set_weekday(Cell* c, int32_t day);   // day n of the same Monday-based week
void set_yearday(Cell* c, int32_t day);   // day n of the year

// Seconds since 1 January 1970 UTC, the time rounded to whole seconds (halves upward).
int64_t to_unix_seconds(const Cell* d);
// The time! from b to a, written into a.
void to_time_difference(Cell* a, const Cell* b);

// Fields by number: 1 date, 2 year, 3 month, 4 day, 5 zone, 6 time, 7 hour, 8 minute, 9 second,
// 10 weekday, 11 yearday, 12 timezone, 13 week, 14 isoweek.
enum Field : int {
    F_DATE = 1,
    F_YEAR,
    F_MONTH,
    F_DAY,
    F_ZONE,
    F_TIME,
    F_HOUR,
    F_MINUTE,
    F_SECOND,
    F_WEEKDAY,
    F_YEARDAY,
    F_TIMEZONE,
    F_WEEK,
    F_ISOWEEK,
};
// The field an element names (an integer 1-14 or a field word), or 0.
int field_of(const Cell* element);
// The value of field n of a date, written to out.
Cell* get_field(const Cell* d, int field, Cell* out);
// Pushes field n of a date on the data stack.
Cell* push_field(const Cell* d, int field);

// Actions. add_subtract works on the frame's two arguments, the date in argument 0 (integer!
// and time! arithmetic hand a date operand over with the operands swapped).
void add_subtract(int op);
void add(const int32_t* refs);
void subtract(const int32_t* refs);
Cell* make(Cell* proto, Cell* spec, int type);
Cell* to(Cell* proto, Cell* spec, int type);
Cell* eval_path(PathStep& step, Cell* out);
void pick(const int32_t* refs);
// random: /seed seeds with the packed date plus the whole seconds of the time (unset result);
// else a random earlier date (and, with a time, a random zone and time of day).
void random(const int32_t* refs);
int form(const Cell* value, Node buffer, const Cell* part, int limit);
int mold(const Cell* value, Node buffer, bool only, bool all, bool flat, const Cell* part, int limit, int indent);
int compare(const Cell* a, const Cell* b, int op);
// The UTC day number and the seconds within that day of a date: what compare orders by, and so
// what a hash of a date must depend on alone.
void instant(const Cell* c, double* day, double* secs);

void init();

}  // namespace date
