// time!: a signed duration or time of day in seconds, a double in the same place as float!'s.
// It takes float!'s arithmetic with its own result-type rules, and has the fields hour, minute
// and second for path access and pick.
//
// Cell: data1 unused (zero); the seconds in data2-data3.
#pragma once

#include <cstdint>

#include "datatypes/datatype.h"

namespace time_ {

constexpr double kHour = 3600.0;
constexpr double kMinute = 60.0;
// The smallest seconds part written with digits.
constexpr double kTiny = 1e-6;

enum Field { FIELD_HOUR = 1, FIELD_MINUTE = 2, FIELD_SECOND = 3 };

// Keeps the header's flags.
Cell* make_at(Cell* c, double seconds);
Cell* make_in(Node block, double seconds);
Cell* push(double seconds);
// Result slot := time!.
Cell* box(double seconds);

// seconds / 3600 truncated toward zero (a whole number; it may lie beyond the 32-bit range).
double get_hours(double seconds);
// floor(fmod(|seconds|, 3600) / 60): 0 to 59.
int32_t get_minutes(double seconds);
// Field 1 the hours and 2 the minutes as integer!, 3 the seconds part (fmod by 60, sign kept)
// as float!, into out. Hours outside the 32-bit range raise script type-limit.
Cell* field_value(double seconds, int field, Cell* out);
// The same, pushed on the data stack.
Cell* get_field(const Cell* time, int field);
// 1, 2 or 3 for the words hour, minute, second; -1 for another value. Another word raises
// script cannot-use with the word and the parent when the parent is a time!.
int field_index(const Cell* element, const Cell* parent);

// Appends hours:minutes:seconds (1:02:03, -0:01:30, 0:00:00.25) and returns limit minus the
// characters written.
int form_into(double seconds, Node buffer, int limit);

// Actions.
Cell* make(Cell* proto, Cell* spec, int type);
int form(const Cell* value, Node buffer, const Cell* part, int limit);
int mold(const Cell* value, Node buffer, bool only, bool all, bool flat, const Cell* part, int limit, int indent);
Cell* eval_path(PathStep& step, Cell* out);
void add(const int32_t* refs);
void divide(const int32_t* refs);
void multiply(const int32_t* refs);
void round(const int32_t* refs);
void subtract(const int32_t* refs);
void even_q(const int32_t* refs);
void odd_q(const int32_t* refs);
void pick(const int32_t* refs);

void init();

}  // namespace time_
