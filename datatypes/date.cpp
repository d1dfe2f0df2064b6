#include "datatypes/date.h"

#include <cmath>
#include <cstring>
#include <string>

#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/string.h"
#include "runtime/dtoa.h"
#include "runtime/fire.h"
#include "services/random.h"
#include "runtime/stack.h"

namespace date {

Cell* (*locale_months)() = nullptr;

static const char* const kMonthNames[12] = {"January", "February", "March",     "April",   "May",      "June",
                                            "July",    "August",   "September", "October", "November", "December"};

bool leap_year_q(int32_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int days_in_month(int32_t year, int month) {
    static const int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12) return 0;
    return month == 2 && leap_year_q(year) ? 29 : days[month - 1];
}

int32_t to_days(int32_t year, int month, int day) {
    int32_t m = (month + 9) % 12;
    int32_t y = year - m / 10;
    return 365 * y + y / 4 - y / 100 + y / 400 + (306 * m + 5) / 10 + (day - 1);
}

int32_t days_of(uint32_t packed) { return to_days(year_of(packed), month_of(packed), day_of(packed)); }

static uint32_t pack(int32_t year, int month, int day, uint32_t zone, bool time) {
    return (static_cast<uint32_t>(year) << 17) | (uint32_t(month & 15) << 12) | (uint32_t(day & 31) << 7) |
           (time ? time_flag : 0) | (zone & zone_mask);
}

uint32_t from_days(int32_t days, uint32_t zone, bool time) {
    auto year_days = [](int64_t y) { return 365 * y + y / 4 - y / 100 + y / 400; };
    int64_t y = static_cast<int64_t>(std::trunc((10000.0 * days + 14780.0) / 3652425.0));
    int64_t r = days - year_days(y);
    if (r < 0) {
        y -= 1;
        r = days - year_days(y);
    }
    int64_t mi = (100 * r + 52) / 3060;
    int month = static_cast<int>((mi + 2) % 12 + 1);
    int64_t year = y + (mi + 2) / 12;
    int day = static_cast<int>(r - (mi * 306 + 5) / 10 + 1);
    return pack(static_cast<int32_t>(year), month, day, zone, time);
}

int32_t year_start_days(uint32_t packed) { return to_days(year_of(packed), 1, 1); }

int weekday(int32_t days) {
    int w = (days + 2) % 7;
    if (w < 0) w += 7;
    return w + 1;
}

int32_t iso_week1_start(uint32_t packed, int* jan1_weekday) {
    int32_t jan1 = year_start_days(packed);
    int w = weekday(jan1);
    if (jan1_weekday) *jan1_weekday = w;
    return w <= 4 ? jan1 + 1 - w : jan1 + 8 - w;
}

int32_t zone_seconds(uint32_t zone) {
    int32_t s = int32_t((zone >> 2) & 15) * 3600 + int32_t(zone & 3) * 900;
    return zone & zone_sign ? -s : s;
}

uint32_t zone_bits(int32_t hours, int32_t minutes) {
    bool west = hours < 0 || minutes < 0;
    uint32_t h = static_cast<uint32_t>(hours < 0 ? -int64_t(hours) : hours) & 31;
    uint32_t q = static_cast<uint32_t>((minutes < 0 ? -int64_t(minutes) : minutes) / 15) & 3;
    return ((h << 2) | q | (west ? zone_sign : 0)) & zone_mask;
}

Cell* make_from_fields(Cell* c, int32_t year, int month, int day, double seconds, int32_t zone_hours,
                       int32_t zone_minutes, bool time) {
    uint32_t zone = time ? zone_bits(zone_hours, zone_minutes) : 0;
    c->header = (c->header & ~cell_flag::type_mask) | TYPE_DATE;
    c->data1 = pack(year, month, day, zone, time);
    c->set_f(time ? seconds - zone_seconds(zone) : 0.0);
    return c;
}

static void move_to(Cell* c, int32_t days) {
    uint32_t p = c->data1;
    c->data1 = from_days(days, p & zone_mask, has_time(p));
}

void set_week(Cell* c, int32_t week) { move_to(c, iso_week1_start(c->data1, nullptr) + (week - 1) * 7); }

void set_weekday(Cell* c, int32_t day) {
    int32_t days = days_of(c->data1);
    int w = (days + 2) % 7;
    if (w < 0) w += 7;
    move_to(c, days + day - 1 - w);
}

void set_yearday(Cell* c, int32_t day) { move_to(c, year_start_days(c->data1) + day - 1); }

// hours:minutes:seconds of a time of day, as time! writes it.
static std::string time_text(double t) {
    if (!std::isfinite(t)) return dtoa::form_float(t, 0, false);
    std::string s;
    if (t < 0) {
        s.push_back('-');
        t = -t;
    }
    double hours = std::floor(t / 3600);
    // Hours beyond any integer (a time no literal makes) are written as a number.
    if (hours < 9.0e15)
        s += std::to_string(static_cast<int64_t>(hours));
    else
        s += dtoa::form_float(hours, 0, false);
    int minutes = static_cast<int>(std::floor(std::fmod(t, 3600) / 60));
    s.push_back(':');
    if (minutes < 10) s.push_back('0');
    s += std::to_string(minutes);
    s.push_back(':');
    double secs = std::fmod(t, 60);
    if (secs < 0.000001) {
        s += "00";
    } else {
        std::string f = dtoa::form_float(secs, 6, false);
        if (f.size() == 1 || f[1] == '.') s.push_back('0');
        s += f;
    }
    return s;
}

static std::string month_name(int month) {
    Cell* months = locale_months ? locale_months() : nullptr;
    if (!months) return std::string(kMonthNames[month - 1], 3);
    if (!types::any_list(months->type()) || block::rs_length_q(months) < month) fire(err::script::invalid_months);
    const Cell* name = block::rs_head(months) + (month - 1);
    if (name->type() != TYPE_STRING) fire(err::script::invalid_months);
    std::string s = string::to_utf8_part(name, 3);
    return s;
}

static std::string two_digits(int n) {
    std::string s;
    if (n < 10) s.push_back('0');
    s += std::to_string(n);
    return s;
}

int mold(const Cell* value, Node buffer, bool, bool, bool, const Cell*, int limit, int) {
    uint32_t p = value->data1;
    int32_t year = year_of(p);
    int month = month_of(p);
    std::string s = std::to_string(day_of(p));
    const char* sep = year < 0 ? "/" : "-";
    s += sep;
    s += month >= 1 && month <= 12 ? month_name(month) : std::to_string(month);
    s += sep;
    int32_t y = year < 0 ? -year : year;
    if (year < 0) s.push_back('-');
    std::string ys = std::to_string(y);
    if (y < 100) ys.insert(0, 4 - ys.size(), '0');
    s += ys;
    if (has_time(p)) {
        s.push_back('/');
        s += time_text(value->f() + zone_seconds(p));
        uint32_t zone = p & zone_mask;
        if (zone) {
            s.push_back(zone & zone_sign ? '-' : '+');
            s += two_digits(static_cast<int>((zone >> 2) & 15));
            s.push_back(':');
            s += two_digits(static_cast<int>(zone & 3) * 15);
        }
    }
    string::append_utf8(buffer, s);
    return limit - static_cast<int>(s.size());
}

int form(const Cell* value, Node buffer, const Cell* part, int limit) {
    return mold(value, buffer, false, false, false, part, limit, 0);
}

static bool almost_equal(double a, double b) {
    if (a == b) return true;
    if (!std::isfinite(a) || !std::isfinite(b)) return false;
    if (std::fabs(a - b) <= 2.220446049250313e-16) return true;
    int64_t ia, ib;
    std::memcpy(&ia, &a, 8);
    std::memcpy(&ib, &b, 8);
    if ((ia < 0) != (ib < 0)) return false;
    int64_t d = ia > ib ? ia - ib : ib - ia;
    return d <= 10;
}

// Dates compare as instants: the local day number plus the stored UTC seconds, brought to a UTC day
// and a time within it, so the same instant written in two zones is equal.
int compare(const Cell* a, const Cell* b, int op) {
    if (b->type() != TYPE_DATE) return -2;
    if (op == COMP_SAME)
        return (a->data1 & ~zone_mask) == (b->data1 & ~zone_mask) && a->data2 == b->data2 && a->data3 == b->data3 ? 0 : 1;
    auto utc = [](const Cell* c, double* day, double* secs) {
        double t = c->f();
        double carry = std::isfinite(t) ? std::floor(t / 86400) : 0;
        *day = days_of(c->data1) + carry;
        *secs = t - carry * 86400;
    };
    double da, db;
    double ta, tb;
    utc(a, &da, &ta);
    utc(b, &db, &tb);
    bool equal = da == db && almost_equal(ta, tb);
    switch (op) {
        case COMP_EQUAL:
        case COMP_NOT_EQUAL:
        case COMP_STRICT_EQUAL:
        case COMP_EQUAL_FIND: return equal ? 0 : 1;
        default:
            if (equal) return 0;
            if (da != db) return da < db ? -1 : 1;
            return ta < tb ? -1 : 1;
    }
}

// A day from the first day of the count up to the day before this one; a date with a time also
// gets a random zone (quarter hours up to 15:45 either way) and a random local time of day.
void random(const int32_t* refs) {
    Cell* v = stack::arguments;
    uint32_t packed = v->data1;
    if (refs[0] >= 0) {
        double t = v->f();
        // The whole seconds, taken modulo 2^32 (a stored time is well inside the int64 range,
        // anything else counts as 0).
        uint32_t whole = std::isfinite(t) && std::fabs(t) < 9.0e18 ? static_cast<uint32_t>(static_cast<int64_t>(t)) : 0;
        random_::seed(packed + whole);
        set_cell(v, TYPE_UNSET);
        return;
    }
    bool secure = refs[1] >= 0;
    int32_t days = random_::int_(secure, days_of(packed)) - 1;
    if (!has_time(packed)) {
        v->data1 = from_days(days, packed & zone_mask, false);
        return;
    }
    uint32_t p = from_days(days, 0, true);
    int32_t quarters = random_::int_(secure, 127) - 64;  // -63 .. 63
    int32_t seconds = random_::int_(secure, 86400) - 1;
    make_from_fields(v, year_of(p), month_of(p), day_of(p), seconds, quarters / 4, (quarters % 4) * 15, true);
}

void init() {
    datatype::Row row;
    row.set(ACT_RANDOM, random).set(ACT_FORM, form).set(ACT_MOLD, mold).set(ACT_COMPARE, compare);
    datatype::register_row(TYPE_DATE, 0, "date!", row);
}

}  // namespace date
