#include "datatypes/date.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/datatype.h"
#include "datatypes/float.h"
#include "datatypes/number.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/time.h"
#include "runtime/fire.h"
#include "runtime/stack.h"
#include "services/random.h"

namespace date {

namespace {

constexpr double kDay = 86400.0;

const char* const kMonthNames[12] = {"January", "February", "March",     "April",   "May",      "June",
                                     "July",    "August",   "September", "October", "November", "December"};

// Division and remainder rounding toward minus infinity, so that day numbers before year 0
// stay one continuous count.
int64_t floor_div(int64_t a, int64_t b) {
    int64_t q = a / b;
    return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}
int64_t floor_mod(int64_t a, int64_t b) { return a - floor_div(a, b) * b; }

// Days from day 0 to 1 March of the March-based year y.
int64_t year_days(int64_t y) { return 365 * y + floor_div(y, 4) - floor_div(y, 100) + floor_div(y, 400); }

int64_t days64(int64_t year, int64_t month, int64_t day) {
    int64_t m = floor_mod(month + 9, 12);
    int64_t y = year - m / 10;
    return year_days(y) + (306 * m + 5) / 10 + (day - 1);
}

uint32_t pack(int32_t year, int month, int day, uint32_t zone, bool time) {
    return (static_cast<uint32_t>(year) << 17) | (uint32_t(month & 15) << 12) | (uint32_t(day & 31) << 7) |
           (time ? time_flag : 0) | (zone & zone_mask);
}

const int64_t kFirstDay = days64(kMinYear, 1, 1);
const int64_t kLastDay = days64(kMaxYear, 12, 31);

[[noreturn]] void fire_range() { number::fire_type_limit(TYPE_DATE); }

// The packed date of a day number that must lie in range.
uint32_t rebuild(int64_t days, uint32_t zone, bool time) {
    if (!in_range(days)) fire_range();
    return from_days(static_cast<int32_t>(days), zone, time);
}

// Carries whole days out of a UTC time so its local reading lies in [0, 86400); false when the
// time is not finite or the day number leaves the range.
bool carry_days(int64_t* days, double* time, int32_t zone_secs) {
    double t = *time;
    if (!std::isfinite(t)) return false;
    double z = zone_secs / 3600.0;
    double carry = std::trunc(std::trunc(z + t / 3600.0) / 24.0);
    if (std::fabs(carry) > 1.0e9) return false;
    int64_t d = *days + static_cast<int64_t>(carry);
    t -= carry * kDay;
    if (t + zone_secs < 0) {
        t += kDay;
        d -= 1;
        // A time a hair below the day's start rounds up to a whole day here: keep 0:00 of the
        // later day rather than a 24:00 reading of the earlier one.
        if (t + zone_secs >= kDay) {
            t -= kDay;
            d += 1;
        }
    } else if (t + zone_secs >= kDay) {  // a rounding at the top of the day
        t -= kDay;
        d += 1;
    }
    if (!in_range(d)) return false;
    *days = d;
    *time = t;
    return true;
}

// The local time of day of a date (0 without a time).
double local_time(const Cell* d) { return has_time(d->data1) ? d->f() + zone_seconds(d->data1 & zone_mask) : 0.0; }

int64_t iso_week1_start_of_year(int64_t year, int* jan1_weekday) {
    int64_t jan1 = days64(year, 1, 1);
    int w = static_cast<int>(floor_mod(jan1 + 2, 7)) + 1;
    if (jan1_weekday) *jan1_weekday = w;
    return w <= 4 ? jan1 + 1 - w : jan1 + 8 - w;
}

// Zone bits of a whole-hour count (magnitude taken mod 16) or of a time! (its hours mod 16 and
// its minutes as quarter hours); false for any other value.
bool zone_from_value(const Cell* v, uint32_t* zone) {
    bool west;
    uint32_t hours, quarters = 0;
    if (v->type() == TYPE_INTEGER) {
        int64_t h = v->i1();
        west = h < 0;
        hours = static_cast<uint32_t>((h < 0 ? -h : h) % 16);
    } else if (v->type() == TYPE_TIME) {
        double s = v->f();
        if (!std::isfinite(s)) return false;
        west = s < 0;
        double mag = std::fabs(s);
        hours = static_cast<uint32_t>(std::fmod(std::floor(mag / 3600.0), 16.0));
        quarters = static_cast<uint32_t>(std::floor(std::fmod(mag, 3600.0) / 60.0)) / 15;
    } else {
        return false;
    }
    *zone = (hours << 2) | quarters;
    if (west && *zone) *zone |= zone_sign;
    return true;
}

// Symbols of the field words, by field number (yearday and julian both name field 11).
const symbol::Known kFieldWords[] = {
    symbol::Known("date"),    symbol::Known("year"),     symbol::Known("month"),   symbol::Known("day"),
    symbol::Known("zone"),    symbol::Known("time"),     symbol::Known("hour"),    symbol::Known("minute"),
    symbol::Known("second"),  symbol::Known("weekday"),  symbol::Known("yearday"), symbol::Known("timezone"),
    symbol::Known("week"),    symbol::Known("isoweek"),  symbol::Known("julian"),
};

const symbol::Known kSystem("system");
const symbol::Known kLocale("locale");
const symbol::Known kMonths("months");

// The month's name from system/locale/months (the built-in English names while there is no
// system object, as before the environment is built).
std::string month_name(int month) {
    Cell* sys = context::value_of_symbol(kSystem, context::global_node);
    Cell* locale = sys && sys->type() == TYPE_OBJECT ? context::value_of_symbol(kLocale, sys->data1) : nullptr;
    Cell* months = locale && locale->type() == TYPE_OBJECT ? context::value_of_symbol(kMonths, locale->data1) : nullptr;
    if (!months) return std::string(kMonthNames[month - 1], 3);
    if (!types::any_list(months->type()) || block::rs_length_q(months) < month) fire(err::script::invalid_months);
    const Cell* name = block::rs_head(months) + (month - 1);
    if (name->type() != TYPE_STRING) fire(err::script::invalid_months);
    return string::to_utf8_part(name, 3);
}

}  // namespace

bool leap_year_q(int32_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int days_in_month(int32_t year, int month) {
    static const int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12) return 0;
    return month == 2 && leap_year_q(year) ? 29 : days[month - 1];
}

int32_t to_days(int32_t year, int month, int day) { return static_cast<int32_t>(days64(year, month, day)); }

int32_t days_of(uint32_t packed) { return to_days(year_of(packed), month_of(packed), day_of(packed)); }

bool in_range(int64_t days) { return days >= kFirstDay && days <= kLastDay; }

uint32_t from_days(int32_t days, uint32_t zone, bool time) {
    // An estimate of the March-based year, then corrected to the year whose span holds the day.
    int64_t y = static_cast<int64_t>(std::floor((10000.0 * days + 14780.0) / 3652425.0));
    int64_t r = days - year_days(y);
    while (r < 0) {
        y -= 1;
        r = days - year_days(y);
    }
    while (r >= year_days(y + 1) - year_days(y)) {
        y += 1;
        r = days - year_days(y);
    }
    int64_t mi = (100 * r + 52) / 3060;
    int month = static_cast<int>((mi + 2) % 12 + 1);
    int64_t year = y + (mi + 2) / 12;
    int day = static_cast<int>(r - (mi * 306 + 5) / 10 + 1);
    return pack(static_cast<int32_t>(year), month, day, zone, time);
}

int32_t year_start_days(uint32_t packed) { return to_days(year_of(packed), 1, 1); }

int32_t yearday(uint32_t packed) { return days_of(packed) - year_start_days(packed) + 1; }

int weekday(int32_t days) { return static_cast<int>(floor_mod(int64_t(days) + 2, 7)) + 1; }

int32_t iso_week1_start(uint32_t packed, int* jan1_weekday) {
    return static_cast<int32_t>(iso_week1_start_of_year(year_of(packed), jan1_weekday));
}

int iso_week(uint32_t packed) {
    int64_t d = days_of(packed);
    int wd;
    int64_t w1 = iso_week1_start_of_year(year_of(packed), &wd);
    if (d < w1) {
        if (wd == 5) return 53;
        if (wd == 6) return leap_year_q(year_of(packed) - 1) ? 53 : 52;
        return 52;
    }
    int64_t next = iso_week1_start_of_year(int64_t(year_of(packed)) + 1, nullptr);
    return d < next ? static_cast<int>((d - w1) / 7 + 1) : 1;
}

int32_t zone_seconds(uint32_t zone) {
    int32_t s = int32_t((zone >> 2) & 15) * 3600 + int32_t(zone & 3) * 900;
    return zone & zone_sign ? -s : s;
}

uint32_t zone_bits(int32_t hours, int32_t minutes) {
    bool west = hours < 0 || minutes < 0;
    uint32_t h = static_cast<uint32_t>(hours < 0 ? -int64_t(hours) : hours) & 15;
    uint32_t q = static_cast<uint32_t>((minutes < 0 ? -int64_t(minutes) : minutes) / 15) & 3;
    uint32_t z = (h << 2) | q;
    return z && west ? z | zone_sign : z;
}

double apply_zone(double seconds, uint32_t zone, int direction) {
    double offset = zone_seconds(zone);
    return direction == 0 ? seconds + offset : seconds - offset;
}

int32_t normalize_time(int64_t days, double* time, uint32_t zone) {
    if (!carry_days(&days, time, zone_seconds(zone))) fire_range();
    return static_cast<int32_t>(days);
}

void normalize(Cell* c, double time, bool to_utc_q) {
    uint32_t p = c->data1;
    uint32_t zone = has_time(p) ? p & zone_mask : 0;
    if (to_utc_q) time = to_utc(time, zone);
    int32_t days = normalize_time(days_of(p), &time, zone);
    c->data1 = from_days(days, zone, has_time(p));
    c->set_f(has_time(p) ? time : 0.0);
}

void set_month(Cell* c, int64_t month) {
    uint32_t p = c->data1;
    int64_t year = year_of(p) + floor_div(month - 1, 12);
    int64_t m = floor_mod(month - 1, 12) + 1;
    if (year < kMinYear || year > kMaxYear) fire_range();
    c->data1 = rebuild(days64(year, m, day_of(p)), p & zone_mask, has_time(p));
}

// ---- Constructors ----

Cell* make_in(Node block, uint32_t packed, uint32_t time_high, uint32_t time_low) {
    Cell* c = block::alloc_tail(block);
    // The double's low half is the first payload word on this little-endian layout.
    return set_cell(c, TYPE_DATE, packed, time_low, time_high);
}

Cell* push(uint32_t packed, double time) {
    Cell* c = set_cell(stack::push_cell(), TYPE_DATE, packed);
    c->set_f(time);
    return c;
}

Cell* make_from_fields(Cell* c, int32_t year, int month, int day, double seconds, int32_t zone_hours,
                       int32_t zone_minutes, bool time) {
    uint32_t zone = time ? zone_bits(zone_hours, zone_minutes) : 0;
    c->header = (c->header & ~cell_flag::type_mask) | TYPE_DATE;
    c->data1 = pack(year, month, day, zone, time);
    c->set_f(time ? seconds - zone_seconds(zone) : 0.0);
    return c;
}

Cell* make_from_system_time(Cell* c, int32_t year, int month, int day) {
    c->header = (c->header & ~cell_flag::type_mask) | TYPE_DATE;
    c->data1 = pack(year, month, day, 0, true);
    return c;
}

static void move_to(Cell* c, int64_t days) {
    uint32_t p = c->data1;
    c->data1 = rebuild(days, p & zone_mask, has_time(p));
}

void set_week(Cell* c, int32_t week) { move_to(c, iso_week1_start_of_year(year_of(c->data1), nullptr) + (int64_t(week) - 1) * 7); }

void set_weekday(Cell* c, int32_t day) {
    int64_t days = days_of(c->data1);
    move_to(c, days + day - 1 - floor_mod(days + 2, 7));
}

void set_yearday(Cell* c, int32_t day) { move_to(c, int64_t(year_start_days(c->data1)) + day - 1); }

// Sunday-based week: 1 January starts week 1, every Sunday after it a new one.
static int sunday_week(uint32_t packed) {
    int64_t jan1 = year_start_days(packed);
    int64_t s = floor_mod(jan1 + 3, 7);  // 0 Sunday ... 6 Saturday
    int64_t yd = yearday(packed);
    return yd <= 7 - s ? 1 : static_cast<int>((yd + s - 1) / 7 + 1);
}

static void set_sunday_week(Cell* c, int64_t week) {
    int64_t jan1 = year_start_days(c->data1);
    int64_t s = floor_mod(jan1 + 3, 7);
    move_to(c, week == 1 ? jan1 : jan1 + (week - 2) * 7 + 7 - s);
}

int64_t to_unix_seconds(const Cell* d) {
    static const int64_t epoch = days64(1970, 1, 1);
    double t = d->f();
    double whole = std::isfinite(t) ? std::floor(t + 0.5) : 0.0;
    return (int64_t(days_of(d->data1)) - epoch) * 86400 + static_cast<int64_t>(whole);
}

void to_time_difference(Cell* a, const Cell* b) {
    double days = double(days_of(a->data1)) - double(days_of(b->data1));
    double seconds = days * kDay + (a->f() - b->f());
    time_::make_at(set_cell(a, TYPE_TIME), seconds);
}

// ---- Fields ----

int field_of(const Cell* element) {
    if (element->type() == TYPE_INTEGER) {
        int32_t i = element->i1();
        return i >= F_DATE && i <= F_ISOWEEK ? i : 0;
    }
    if (!types::word_like(element->type())) return 0;
    int32_t sym = symbol::resolve(static_cast<int32_t>(element->data2));
    for (int f = 0; f < 15; f++)
        if (sym == symbol::resolve(kFieldWords[f].id())) return f == 14 ? F_YEARDAY : f + 1;
    return 0;
}

Cell* get_field(const Cell* d, int field, Cell* out) {
    uint32_t p = d->data1;
    Cell r;
    switch (field) {
        case F_DATE:
            set_cell(&r, TYPE_DATE, p & ~(time_flag | zone_mask));
            r.set_f(0.0);
            break;
        case F_YEAR: set_cell(&r, TYPE_INTEGER, static_cast<uint32_t>(year_of(p))); break;
        case F_MONTH: set_cell(&r, TYPE_INTEGER, static_cast<uint32_t>(month_of(p))); break;
        case F_DAY: set_cell(&r, TYPE_INTEGER, static_cast<uint32_t>(day_of(p))); break;
        case F_ZONE:
        case F_TIMEZONE:
            if (has_time(p))
                time_::make_at(set_cell(&r, TYPE_TIME), zone_seconds(p & zone_mask));
            else
                set_cell(&r, TYPE_NONE);
            break;
        case F_TIME:
            if (has_time(p))
                time_::make_at(set_cell(&r, TYPE_TIME), local_time(d));
            else
                set_cell(&r, TYPE_NONE);
            break;
        case F_HOUR: {
            int32_t h;
            if (!number::to_int32(std::floor(local_time(d) / 3600.0), &h)) h = 0;
            set_cell(&r, TYPE_INTEGER, static_cast<uint32_t>(h));
            break;
        }
        case F_MINUTE: set_cell(&r, TYPE_INTEGER, static_cast<uint32_t>(time_::get_minutes(local_time(d)))); break;
        case F_SECOND: float_::make_at(set_cell(&r, TYPE_FLOAT), std::fmod(local_time(d), 60.0)); break;
        case F_WEEKDAY: set_cell(&r, TYPE_INTEGER, static_cast<uint32_t>(weekday(days_of(p)))); break;
        case F_YEARDAY: set_cell(&r, TYPE_INTEGER, static_cast<uint32_t>(yearday(p))); break;
        case F_WEEK: set_cell(&r, TYPE_INTEGER, static_cast<uint32_t>(sunday_week(p))); break;
        default: set_cell(&r, TYPE_INTEGER, static_cast<uint32_t>(iso_week(p))); break;
    }
    *out = r;
    return out;
}

Cell* push_field(const Cell* d, int field) {
    Cell v = *d;
    return get_field(&v, field, stack::push_cell());
}

// Changes field n of the date to value v. The work is done on a copy, so an error leaves the date
// as it was.
static void set_field(Cell* target, int field, const Cell* v) {
    Cell d = *target;
    uint32_t p = d.data1;
    auto need = [&](bool ok) {
        if (!ok) {
            Cell arg = *v;
            fire(err::script::invalid_arg, &arg);
        }
    };
    switch (field) {
        case F_DATE: {
            need(v->type() == TYPE_DATE);
            uint32_t q = (v->data1 & ~zone_mask) | (p & zone_mask);
            if (!has_time(q)) q &= ~zone_mask;
            d.data1 = q;
            d.set_f(has_time(q) ? d.f() : 0.0);
            break;
        }
        case F_YEAR:
            need(v->type() == TYPE_INTEGER);
            if (v->i1() < kMinYear || v->i1() > kMaxYear) fire_range();
            d.data1 = rebuild(days64(v->i1(), month_of(p), day_of(p)), p & zone_mask, has_time(p));
            break;
        case F_MONTH:
            need(v->type() == TYPE_INTEGER);
            set_month(&d, v->i1());
            break;
        case F_DAY:
            need(v->type() == TYPE_INTEGER);
            d.data1 = rebuild(days64(year_of(p), month_of(p), 1) - 1 + v->i1(), p & zone_mask, has_time(p));
            break;
        case F_ZONE:
        case F_TIMEZONE: {
            uint32_t zone;
            need(zone_from_value(v, &zone));
            // zone keeps the clock reading, timezone keeps the instant; a date without a time
            // gets one: midnight local or midnight UTC.
            double time = field == F_ZONE ? to_utc(local_time(&d), zone) : (has_time(p) ? d.f() : 0.0);
            d.data1 = (p & ~zone_mask) | time_flag | zone;
            normalize(&d, time, false);
            break;
        }
        case F_TIME:
            if (v->type() == TYPE_NONE) {
                d.data1 = p & ~(time_flag | zone_mask);
                d.set_f(0.0);
                break;
            }
            need(v->type() == TYPE_TIME && std::isfinite(v->f()));
            if (!has_time(p)) p &= ~zone_mask;
            d.data1 = p | time_flag;
            normalize(&d, v->f(), true);
            break;
        case F_HOUR:
        case F_MINUTE:
        case F_SECOND: {
            // As time! path assignment changes a time, on the local clock reading.
            double x = local_time(&d);
            double n;
            if (v->type() == TYPE_INTEGER)
                n = v->i1();
            else {
                need(field == F_SECOND && v->type() == TYPE_FLOAT && std::isfinite(v->f()));
                n = v->f();
            }
            if (field == F_HOUR)
                x -= (std::floor(x / 3600.0) - n) * 3600.0;
            else if (field == F_MINUTE)
                x -= (std::floor(std::fmod(x, 3600.0) / 60.0) - n) * 60.0;
            else
                x -= std::fmod(x, 60.0) - n;
            if (!has_time(p)) p &= ~zone_mask;
            d.data1 = p | time_flag;
            normalize(&d, x, true);
            break;
        }
        case F_WEEKDAY:
            need(v->type() == TYPE_INTEGER);
            set_weekday(&d, v->i1());
            break;
        case F_YEARDAY:
            need(v->type() == TYPE_INTEGER);
            set_yearday(&d, v->i1());
            break;
        case F_WEEK:
            need(v->type() == TYPE_INTEGER);
            set_sunday_week(&d, v->i1());
            break;
        default:
            need(v->type() == TYPE_INTEGER);
            set_week(&d, v->i1());
            break;
    }
    *target = d;
}

Cell* eval_path(PathStep& step, Cell* out) {
    int field = field_of(step.element);
    if (!field) {
        Cell path = step.path ? *step.path : *step.value, element = *step.element;
        fire(err::script::invalid_path, &path, &element);
    }
    if (!step.store) return get_field(step.value, field, out);
    Cell value = *step.store;
    // The change is made in the cell given; the path walk stores the changed date back where
    // it was read from, and that place's owner hears of it there.
    set_field(step.value, field, &value);
    *out = value;
    return out;
}

void pick(const int32_t*) {
    Cell* d = stack::arguments;
    int field = field_of(d + 1);
    if (!field) {
        Cell index = d[1];
        fire(err::script::out_of_range, &index);
    }
    get_field(d, field, d);
    stack::keep();
}

// ---- make and to ----

// Reads a block spec: day month year (year first when the first number is 100 or more and the
// larger), then a time! or hour minute [second], then a zone as time! or hours [minutes].
static Cell* from_block(Cell* proto, const Cell* spec, bool strict) {
    Cell s = *spec;
    auto refuse = [&]() { number::fire_bad_to_arg(TYPE_DATE, &s); };
    int32_t n = block::rs_length_q(spec);
    const Cell* v = block::rs_head(spec);
    int64_t nums[3] = {0, 0, 0};
    int64_t hour = 0, minute = 0, zone_h = 0, zone_m = 0;
    double seconds = 0.0, time = 0.0, zone_time = 0.0;
    bool clock = false, zone_is_time = false;
    int state = 0;
    for (int32_t i = 0; i < n; i++) {
        uint8_t t = v[i].type();
        bool integer = t == TYPE_INTEGER, is_time = t == TYPE_TIME;
        int64_t iv = integer ? v[i].i1() : 0;
        if (is_time && !std::isfinite(v[i].f())) refuse();
        switch (state) {
            case 0:
            case 1:
            case 2:
                if (!integer) refuse();
                nums[state] = iv;
                state++;
                break;
            case 3:
                if (integer) {
                    hour = iv;
                    clock = true;
                    state = 8;
                } else if (is_time) {
                    time = v[i].f();
                    state = 4;
                } else {
                    refuse();
                }
                break;
            case 4:
            case 10:
                if (integer) {
                    zone_h = iv;
                    state = state == 4 ? 6 : 12;
                } else if (is_time) {
                    zone_time = v[i].f();
                    zone_is_time = true;
                    state = state == 4 ? 5 : 11;
                } else {
                    refuse();
                }
                break;
            case 6:
            case 12:
                if (!integer) refuse();
                zone_m = iv;
                state++;
                break;
            case 8:
                if (!integer) refuse();
                minute = iv;
                state = 9;
                break;
            case 9:
                if (integer)
                    seconds = double(iv);
                else if (t == TYPE_FLOAT && std::isfinite(v[i].f()))
                    seconds = v[i].f();
                else
                    refuse();
                state = 10;
                break;
            default: refuse();
        }
    }
    if (state < 3 || state == 8) refuse();
    bool has_clock = n > 3;
    if (nums[0] >= 100 && nums[0] > nums[2]) std::swap(nums[0], nums[2]);
    int64_t day = nums[0], month = nums[1], year = nums[2];
    if (clock) time = seconds + 60.0 * double(minute) + 3600.0 * double(hour);

    // The zone: hours -15 to 15 and minutes 0 to 59, in quarter hours.
    bool west;
    int64_t zh, zq;
    if (zone_is_time) {
        west = zone_time < 0;
        double mag = std::fabs(zone_time);
        double h = std::floor(mag / 3600.0);
        if (h > 15) refuse();
        zh = static_cast<int64_t>(h);
        zq = static_cast<int64_t>(std::floor(std::fmod(mag, 3600.0) / 60.0)) / 15;
    } else {
        if (zone_h < -15 || zone_h > 15 || zone_m < 0 || zone_m > 59) refuse();
        west = zone_h < 0;
        zh = west ? -zone_h : zone_h;
        zq = zone_m / 15;
    }
    uint32_t zone = static_cast<uint32_t>(zh << 2 | zq);
    if (west && zone) zone |= zone_sign;

    // The date through its day number, so out-of-range months and days roll over.
    int64_t y = year + floor_div(month - 1, 12);
    int64_t m = floor_mod(month - 1, 12) + 1;
    if (y < kMinYear || y > kMaxYear || day < -1000000000 || day > 1000000000) refuse();
    int64_t days = days64(y, m, 1) - 1 + day;
    if (!in_range(days)) refuse();
    uint32_t packed = from_days(static_cast<int32_t>(days), 0, has_clock);
    if (strict) {
        bool same = year_of(packed) == year && month_of(packed) == month && day_of(packed) == day;
        if (!same) refuse();
        if (has_clock) {
            if (!(time >= 0.0 && time < kDay)) refuse();
            if (clock && time_::get_minutes(time) != minute) refuse();
        }
    }
    if (!has_clock) {
        set_cell(proto, TYPE_DATE, packed);
        proto->set_f(0.0);
        return proto;
    }
    double utc = time - zone_seconds(zone);
    if (!carry_days(&days, &utc, zone_seconds(zone))) refuse();
    set_cell(proto, TYPE_DATE, from_days(static_cast<int32_t>(days), zone, true));
    proto->set_f(utc);
    return proto;
}

Cell* make(Cell* proto, Cell* spec, int) {
    if (spec->type() == TYPE_DATE) {
        *proto = *spec;
        return proto;
    }
    if (!types::any_list(spec->type())) number::fire_bad_to_arg(TYPE_DATE, spec);
    return from_block(proto, spec, true);
}

Cell* to(Cell* proto, Cell* spec, int) {
    switch (spec->type()) {
        case TYPE_DATE: *proto = *spec; return proto;
        case TYPE_INTEGER: {
            // Unix seconds.
            int64_t n = spec->i1();
            int64_t days = days64(1970, 1, 1) + n / 86400;
            double time = double(n % 86400);
            carry_days(&days, &time, 0);  // a 32-bit count of seconds stays well in range
            set_cell(proto, TYPE_DATE, from_days(static_cast<int32_t>(days), 0, true));
            proto->set_f(time);
            return proto;
        }
        case TYPE_BLOCK:
        case TYPE_PAREN:
        case TYPE_HASH: return from_block(proto, spec, false);
        default: number::fire_bad_to_arg(TYPE_DATE, spec);
    }
}

// ---- Arithmetic ----

void add_subtract(int op) {
    Cell* a = stack::arguments;
    const Cell* b = a + 1;
    int64_t days;
    double time;
    switch (b->type()) {
        case TYPE_INTEGER:
            days = b->i1();
            time = 0.0;
            break;
        case TYPE_TIME:
            days = 0;
            time = b->f();
            break;
        case TYPE_DATE: {
            if (op != OP_SUB) number::fire_not_related(number::word_of(op), TYPE_DATE);
            // The whole days between the two instants, the times carried first.
            int64_t d = int64_t(days_of(a->data1)) - days_of(b->data1);
            double t = a->f() - b->f();
            if (!carry_days(&d, &t, 0)) {
                // Only a difference beyond the date range itself lands here; count it out.
                d = static_cast<int64_t>(std::floor((double(d) * kDay + t) / kDay));
            }
            set_cell(a, TYPE_INTEGER, static_cast<uint32_t>(static_cast<int32_t>(d)));
            stack::keep();
            return;
        }
        default: number::fire_invalid_type(b);
    }
    uint32_t p = a->data1;
    bool timed = has_time(p);
    uint32_t zone = timed ? p & zone_mask : 0;
    int64_t d = days_of(p);
    double t = a->f();
    if (op == OP_SUB) {
        d -= days;
        t -= time;
    } else {
        d += days;
        t += time;
    }
    int32_t result = normalize_time(d, &t, zone);
    set_cell(a, TYPE_DATE, from_days(result, zone, timed));
    // A date without a time keeps none: only whole days of the time added count.
    a->set_f(timed ? t : 0.0);
    stack::keep();
}

void add(const int32_t*) { add_subtract(OP_ADD); }
void subtract(const int32_t*) { add_subtract(OP_SUB); }

// ---- Text ----

int mold(const Cell* value, Node buffer, bool, bool, bool, const Cell*, int limit, int) {
    // Everything is read before anything is appended (appending may move the value's block).
    uint32_t p = value->data1;
    bool timed = has_time(p);
    double local = timed ? local_time(value) : 0.0;
    if (timed && std::isfinite(local)) {
        // Seconds that the time text rounds up to 60 are written as the next whole minute, and a
        // minute that reaches midnight as the next day: a date reading 23:59:60 or 24:00 would
        // not load back.
        char secs[float_::kFormSize];
        double s = std::fmod(local, 60.0);
        if (s >= 59.0 && float_::form_float(s, float_::kTimeSeconds, secs) == 2 && secs[0] == '6') {
            local = (std::floor(local / 60.0) + 1.0) * 60.0;
            int64_t next = int64_t(days_of(p)) + 1;
            if (local >= kDay && in_range(next)) {
                local -= kDay;
                p = from_days(static_cast<int32_t>(next), p & zone_mask, true);
            }
        }
    }
    int32_t year = year_of(p);
    int month = month_of(p);
    std::string name = month >= 1 && month <= 12 ? month_name(month) : std::to_string(month);
    const char* sep = year < 0 ? "/" : "-";
    int64_t y = year < 0 ? -int64_t(year) : year;
    char text[96];
    int n = std::snprintf(text, sizeof text, "%d%s%s%s%s%0*lld", day_of(p), sep, name.c_str(), sep, year < 0 ? "-" : "",
                          y < 100 ? 4 : 1, static_cast<long long>(y));
    int written = 0;  // characters, not bytes (a locale's month name may be any text)
    for (int i = 0; i < n; i++) written += (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80;
    string::append_utf8(buffer, text, size_t(n));
    if (timed) {
        string::concatenate_literal(buffer, "/");
        written++;
        limit = time_::form_into(local, buffer, limit - written);
        written = 0;
        uint32_t zone = p & zone_mask;
        if (zone) {
            int h = static_cast<int>((zone >> 2) & 15), m = static_cast<int>(zone & 3) * 15;
            n = std::snprintf(text, sizeof text, "%c%02d:%02d", zone & zone_sign ? '-' : '+', h, m);
            string::concatenate_literal_n(buffer, text, size_t(n));
            written += n;
        }
    }
    return limit - written;
}

int form(const Cell* value, Node buffer, const Cell* part, int limit) {
    return mold(value, buffer, false, false, false, part, limit, 0);
}

// ---- Comparison ----

// The local day number plus the stored UTC seconds, brought to a UTC day and a time within it.
void instant(const Cell* c, double* day, double* secs) {
    double t = c->f();
    double carry = std::isfinite(t) ? std::floor(t / kDay) : 0;
    *day = days_of(c->data1) + carry;
    *secs = t - carry * kDay;
}

// Dates compare as instants, so the same instant written in two zones is equal and two zones
// order by the instant.
int compare(const Cell* a, const Cell* b, int op) {
    if (b->type() != TYPE_DATE) return -2;
    constexpr uint32_t date_part = ~(time_flag | zone_mask);
    if (op == COMP_SAME)
        return (a->data1 & date_part) == (b->data1 & date_part) && a->data2 == b->data2 && a->data3 == b->data3 ? 0 : 1;
    double da, db, ta, tb;
    instant(a, &da, &ta);
    instant(b, &db, &tb);
    bool equal = da == db && float_::almost_equal_q(ta, tb);
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

// ---- random ----

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
    if (!in_range(days)) fire_range();
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
    row.set(ACT_MAKE, make)
        .set(ACT_RANDOM, random)
        .set(ACT_TO, to)
        .set(ACT_FORM, form)
        .set(ACT_MOLD, mold)
        .set(ACT_EVAL_PATH, eval_path)
        .set(ACT_COMPARE, compare)
        .set(ACT_ADD, add)
        .set(ACT_SUBTRACT, subtract)
        .set(ACT_PICK, pick);
    datatype::register_row(TYPE_DATE, 0, "date!", row);
}

}  // namespace date
