// date! values: a calendar date with an optional time of day and zone. Cell: data1 the packed
// date, data2-3 the time as a double of UTC seconds.
//
// Packed date: year in bits 17-31 (signed), month 12-15, day 7-11, time flag 16, zone sign 6
// (west of UTC), zone hours 2-5, zone quarter hours 0-1. The date fields are the local date; the
// stored time is UTC, so local time = stored time + zone offset.
#pragma once

#include <cstdint>

#include "datatypes/cell.h"

namespace date {

constexpr uint32_t time_flag = 1u << 16;
constexpr uint32_t zone_mask = 0x7F;
constexpr uint32_t zone_sign = 0x40;

inline int32_t year_of(uint32_t packed) { return static_cast<int32_t>(packed) >> 17; }
inline int month_of(uint32_t packed) { return static_cast<int>((packed >> 12) & 15); }
inline int day_of(uint32_t packed) { return static_cast<int>((packed >> 7) & 31); }
inline bool has_time(uint32_t packed) { return packed & time_flag; }

bool leap_year_q(int32_t year);
int days_in_month(int32_t year, int month);

// Day numbers: a March-based proleptic Gregorian count (day 0 is 1 March of year 0).
int32_t to_days(int32_t year, int month, int day);
int32_t days_of(uint32_t packed);
uint32_t from_days(int32_t days, uint32_t zone_bits, bool time);
int32_t year_start_days(uint32_t packed);
// 1 Monday ... 7 Sunday.
int weekday(int32_t days);
// Day number of the Monday that begins ISO week 1 of the packed date's year; weekday of 1 January
// through jan1_weekday when not null.
int32_t iso_week1_start(uint32_t packed, int* jan1_weekday);

// Zone offset in seconds of the zone bits.
int32_t zone_seconds(uint32_t zone_bits);
// Zone bits of an offset in hours and minutes (negative when either is negative).
uint32_t zone_bits(int32_t hours, int32_t minutes);

// The lexer's constructor: date fields taken as given (already valid), the local time in
// seconds converted to UTC when a time is present.
Cell* make_from_fields(Cell* c, int32_t year, int month, int day, double seconds, int32_t zone_hours,
                       int32_t zone_minutes, bool time);
// Moves within the year, keeping zone and time flag.
void set_week(Cell* c, int32_t week);     // the Monday of ISO week n
void set_weekday(Cell* c, int32_t day);   // day n of the same Monday-based week
void set_yearday(Cell* c, int32_t day);   // day n of the year

// Month names when the locale gives none; a hook the environment sets to its months block.
extern Cell* (*locale_months)();

// random: /seed seeds with the packed date plus the whole seconds of the time (unset result);
// else a random earlier date (and, with a time, a random zone and time of day).
void random(const int32_t* refs);
int form(const Cell* value, Node buffer, const Cell* part, int limit);
int mold(const Cell* value, Node buffer, bool only, bool all, bool flat, const Cell* part, int limit, int indent);
int compare(const Cell* a, const Cell* b, int op);

void init();

}  // namespace date
