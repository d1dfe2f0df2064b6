#include "datatypes/number_text.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace number_text {

static std::string special(double v) {
    if (std::isnan(v)) return "1.#NaN";
    return std::signbit(v) ? "-1.#INF" : "1.#INF";
}

std::string form_digits(double v, int digits, bool keep_point_zero) {
    if (!std::isfinite(v)) return special(v);
    bool negative = std::signbit(v);
    if (v == 0) {
        std::string z = keep_point_zero ? "0.0" : "0";
        return negative ? "-" + z : z;
    }
    // Scientific digits d.ddd e±x, then the mantissa digits without trailing zeros.
    char buf[64];
    double a = std::fabs(v);
    std::to_chars_result r = digits > 0 ? std::to_chars(buf, buf + sizeof buf, a, std::chars_format::scientific, digits - 1)
                                        : std::to_chars(buf, buf + sizeof buf, a, std::chars_format::scientific);
    *r.ptr = 0;
    std::string mant;
    const char* p = buf;
    for (; *p && *p != 'e'; p++)
        if (*p != '.') mant.push_back(*p);
    int exp10 = std::atoi(p + 1);
    while (mant.size() > 1 && mant.back() == '0') mant.pop_back();
    int n = static_cast<int>(mant.size());
    int pos = exp10 + 1;  // 0.d1d2... times 10^pos
    std::string out;
    if (negative) out.push_back('-');
    std::string body;
    bool exponent = pos > 17 || pos < -6;
    if (exponent) {
        body.push_back(mant[0]);
        body.push_back('.');
        body.append(mant, 1, std::string::npos);
    } else if (pos > 0) {
        if (pos < n) {
            body.append(mant, 0, size_t(pos));
            body.push_back('.');
            body.append(mant, size_t(pos), std::string::npos);
        } else {
            body = mant;
            body.append(size_t(pos - n), '0');
            body.push_back('.');
        }
    } else {
        body = "0.";
        body.append(size_t(-pos), '0');
        body += mant;
    }
    if (body.back() == '.') {
        if (keep_point_zero)
            body.push_back('0');
        else
            body.pop_back();
    }
    out += body;
    if (exponent) {
        out.push_back('e');
        out += std::to_string(pos - 1);
    }
    return out;
}

// printf "%.<precision>g", which std::to_chars reproduces without the locale.
static std::string print_g(double v, int precision) {
    char buf[64];
    std::to_chars_result r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::general, precision);
    return std::string(buf, r.ptr);
}

std::string form_float(double v, Kind kind) {
    if (!std::isfinite(v)) return special(v);
    bool percent = kind == KIND_PERCENT || kind == KIND_PERCENT32;
    if (std::fabs(v) < 2.220446049250313e-16) {
        if (percent) return "0%";
        return "0.0";
    }
    int precision = kind == KIND_PERCENT ? 13 : (kind == KIND_FLOAT ? 16 : 7);
    std::string text = print_g(v, precision);
    // A second, shorter printing hides the binary noise of values such as 0.1 + 0.2.
    size_t e = text.find('e');
    std::string mantissa = e == std::string::npos ? text : text.substr(0, e);
    bool retry;
    if (e == std::string::npos) {
        size_t first = text[0] == '-' ? 1 : 0;
        retry = text.size() > 16 && (text[first] != '0' || text.size() > 17);
    } else {
        retry = mantissa.size() > 16;
    }
    if (retry && mantissa.size() >= 2) {
        std::string tail = mantissa.substr(mantissa.size() - 2);
        if (tail == "01" || tail == "99") {
            bool short_kind = kind == KIND_FLOAT32 || kind == KIND_TIME || kind == KIND_POINT;
            text = print_g(v, short_kind ? 5 : 14);
        }
    }
    // Exponent tidying: no '+', no leading zeros.
    e = text.find('e');
    if (e != std::string::npos) {
        std::string head = text.substr(0, e);
        std::string x = text.substr(e + 1);
        bool minus = false;
        size_t i = 0;
        if (i < x.size() && (x[i] == '+' || x[i] == '-')) minus = x[i++] == '-';
        while (i + 1 < x.size() && x[i] == '0') i++;
        text = head + "e" + (minus ? "-" : "") + x.substr(i);
    }
    if (percent) return text + "%";
    if (kind != KIND_TIME && text.find('.') == std::string::npos) {
        e = text.find('e');
        if (e == std::string::npos)
            text += ".0";
        else
            text.insert(e, ".0");
    }
    return text;
}

std::string form_coordinate(float v) {
    if (!std::isfinite(v)) return special(v);
    if (v == 0) return "0.0";
    char buf[64];
    std::to_chars_result r = std::to_chars(buf, buf + sizeof buf, std::fabs(v), std::chars_format::scientific);
    *r.ptr = 0;
    std::string mant;
    const char* p = buf;
    for (; *p && *p != 'e'; p++)
        if (*p != '.') mant.push_back(*p);
    int exp10 = std::atoi(p + 1);
    int n = static_cast<int>(mant.size());
    std::string out = std::signbit(v) ? "-" : "";
    if (exp10 < -4 || exp10 >= 7) {
        out.push_back(mant[0]);
        out.push_back('.');
        out += n > 1 ? mant.substr(1) : "0";
        out += "e" + std::to_string(exp10);
    } else if (exp10 >= 0) {
        if (n > exp10 + 1) {
            out += mant.substr(0, size_t(exp10) + 1) + "." + mant.substr(size_t(exp10) + 1);
        } else {
            out += mant + std::string(size_t(exp10 + 1 - n), '0') + ".0";
        }
    } else {
        out += "0." + std::string(size_t(-exp10 - 1), '0') + mant;
    }
    return out;
}

double read_decimal(const char* first, const char* end, int extra_exp, bool* ok) {
    *ok = false;
    const char* p = first;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
    std::string digits;
    int64_t point_shift = 0;  // digits after the point
    bool any = false, point = false;
    for (; p < end; p++) {
        char c = *p;
        if (c >= '0' && c <= '9') {
            any = true;
            if (!(digits.empty() && c == '0')) digits.push_back(c);
            if (point) point_shift++;
        } else if (c == '.' && !point) {
            point = true;
        } else {
            break;
        }
    }
    int64_t exp = 0;
    if (p < end && (*p == 'e' || *p == 'E')) {
        p++;
        bool eneg = false;
        if (p < end && (*p == '+' || *p == '-')) eneg = *p++ == '-';
        if (p == end) return 0;
        for (; p < end && *p >= '0' && *p <= '9'; p++)
            if (exp < 100000000) exp = exp * 10 + (*p - '0');
        if (eneg) exp = -exp;
    }
    if (p != end || !any) return 0;
    *ok = true;
    if (digits.empty()) return negative ? -0.0 : 0.0;
    // Leading zeros after the point were dropped from the digits but still count in the shift.
    int64_t e10 = exp + extra_exp - point_shift;
    int64_t magnitude = e10 + int64_t(digits.size());  // the value is about 10^magnitude
    if (magnitude > 400) return negative ? -HUGE_VAL : HUGE_VAL;
    if (magnitude < -400) return negative ? -0.0 : 0.0;
    std::string text = digits + "e" + std::to_string(e10);
    double d = 0;
    std::from_chars_result r = std::from_chars(text.data(), text.data() + text.size(), d, std::chars_format::scientific);
    if (r.ec == std::errc::result_out_of_range) d = magnitude > 0 ? HUGE_VAL : 0.0;
    return negative ? -d : d;
}

}  // namespace number_text
