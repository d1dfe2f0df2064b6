#include "runtime/dtoa.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

namespace dtoa {

namespace {

constexpr int kMaxDigits = 40;

struct Decimal {
    char digits[kMaxDigits + 8];  // significant digits, no leading or trailing zeros
    int n = 0;
    int pos = 0;  // value = 0.digits * 10^pos
    bool negative = false;
    const char* special = nullptr;  // final text for infinities, NaN and zero
    int special_pos = 0;
};

// The digits of |v| through std::to_chars in scientific form: shortest round trip without a
// precision, else exactly `digits` significant digits, correctly rounded.
// `single` asks for the shortest digits that read back to the same 32-bit float instead.
void digits_of(double v, int digits, bool keep_zero, Decimal& d, bool single = false) {
    d.negative = std::signbit(v);
    if (std::isnan(v)) {
        d.special = "1.#NaN";
        d.special_pos = kSpecial;
        return;
    }
    if (std::isinf(v)) {
        d.special = d.negative ? "-1.#INF" : "1.#INF";
        d.special_pos = kSpecial;
        return;
    }
    if (v == 0) {
        d.special = keep_zero ? (d.negative ? "-0.0" : "0.0") : (d.negative ? "-0" : "0");
        d.special_pos = kZero;
        return;
    }
    char buf[kMaxDigits + 16];
    std::to_chars_result r;
    double a = std::fabs(v);
    if (single)
        r = std::to_chars(buf, buf + sizeof buf, static_cast<float>(a), std::chars_format::scientific);
    else if (digits <= 0)
        r = std::to_chars(buf, buf + sizeof buf, a, std::chars_format::scientific);
    else
        r = std::to_chars(buf, buf + sizeof buf, a, std::chars_format::scientific,
                          (digits > kMaxDigits ? kMaxDigits : digits) - 1);
    // d[.ddd]e(+|-)xx
    const char* p = buf;
    const char* e = static_cast<const char*>(std::memchr(buf, 'e', size_t(r.ptr - buf)));
    int n = 0;
    for (; p < e; p++)
        if (*p != '.') d.digits[n++] = *p;
    while (n > 1 && d.digits[n - 1] == '0') n--;
    d.n = n;
    d.digits[n] = 0;
    int exp = 0;
    std::from_chars(e + 1 + (e[1] == '+'), r.ptr, exp);
    d.pos = exp + 1;
}

int append(char* out, int at, const char* s, int n) {
    std::memcpy(out + at, s, size_t(n));
    return at + n;
}

int append_int(char* out, int at, int v) {
    auto r = std::to_chars(out + at, out + kTextSize, v);
    return int(r.ptr - out);
}

}  // namespace

const char* dtoa(double v, int digits, int* pos, bool* sign, int* len, bool keep_zero) {
    static char text[kTextSize + 2];
    Decimal d;
    digits_of(v, digits, keep_zero, d);
    *sign = d.negative;
    if (d.special) {
        *pos = d.special_pos;
        *len = int(std::strlen(d.special));
        return d.special;
    }
    *pos = d.pos;
    // '-' sits in front of the digits, so the sign costs no move.
    text[0] = '-';
    std::memcpy(text + 1, d.digits, size_t(d.n) + 1);
    *len = d.n + (d.negative ? 1 : 0);
    return d.negative ? text : text + 1;
}

namespace {

int layout(const Decimal& d, bool keep_point_zero, char* out) {
    if (d.special) {
        int n = int(std::strlen(d.special));
        std::memcpy(out, d.special, size_t(n) + 1);
        return n;
    }
    int at = 0;
    if (d.negative) out[at++] = '-';
    const int n = d.n;
    const int p = d.pos;
    bool exponent = p > 17 || p < -6;
    if (exponent) {
        out[at++] = d.digits[0];
        out[at++] = '.';
        at = append(out, at, d.digits + 1, n - 1);
    } else if (p > 0) {
        if (p < n) {
            at = append(out, at, d.digits, p);
            out[at++] = '.';
            at = append(out, at, d.digits + p, n - p);
        } else {
            at = append(out, at, d.digits, n);
            for (int i = n; i < p; i++) out[at++] = '0';
            out[at++] = '.';
        }
    } else {
        out[at++] = '0';
        out[at++] = '.';
        for (int i = 0; i < -p; i++) out[at++] = '0';
        at = append(out, at, d.digits, n);
    }
    if (out[at - 1] == '.') {
        if (keep_point_zero)
            out[at++] = '0';
        else
            at--;
    }
    if (exponent) {
        out[at++] = 'e';
        at = append_int(out, at, p - 1);
    }
    out[at] = 0;
    return at;
}

}  // namespace

int form_float(double v, int digits, bool keep_point_zero, char* out) {
    Decimal d;
    digits_of(v, digits, keep_point_zero, d);
    return layout(d, keep_point_zero, out);
}

int form_float32(float v, bool keep_point_zero, char* out) {
    Decimal d;
    digits_of(v, 0, keep_point_zero, d, true);
    return layout(d, keep_point_zero, out);
}

const char* form_float(double v, int digits, bool keep_point_zero) {
    static char text[kTextSize];
    form_float(v, digits, keep_point_zero, text);
    return text;
}

double strtod(const char* first, const char* end, int extra_exp, int* left) {
    const char* p = first;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
    const double sign = negative ? -1.0 : 1.0;

    // One digit, a point, '#', then INF or NaN.
    if (end - p >= 4 && *p >= '0' && *p <= '9' && p[1] == '.' && p[2] == '#') {
        char c = p[3];
        if (c == 'I' || c == 'i' || c == 'N' || c == 'n') {
            p += 4;
            for (int k = 0; k < 2 && p < end && ((*p | 0x20) >= 'a' && (*p | 0x20) <= 'z'); k++) p++;
            *left = int(end - p);
            if (c == 'N' || c == 'n') return std::numeric_limits<double>::quiet_NaN();
            return sign * std::numeric_limits<double>::infinity();
        }
    }

    // Significant digits (leading zeros dropped) and the power of ten of the last one.
    char small[128];
    std::string large;
    char* digits = small;
    size_t n = 0;
    size_t capacity = sizeof small - 24;  // room left for the exponent
    int64_t exp10 = 0;
    bool any = false;
    auto add = [&](char c) {
        if (n == capacity) {
            large.assign(digits, n);
            large.reserve(size_t(end - first) + 32);
            large.resize(size_t(end - first) + 32);
            digits = large.data();
            capacity = large.size() - 24;
        }
        digits[n++] = c;
    };
    for (; p < end && *p >= '0' && *p <= '9'; p++) {
        any = true;
        if (n || *p != '0') add(*p);
    }
    if (p < end && *p == '.') {
        p++;
        for (; p < end && *p >= '0' && *p <= '9'; p++) {
            any = true;
            if (n || *p != '0') add(*p);
            exp10--;
        }
    }
    if (!any) {
        *left = int(end - first);
        return 0.0;
    }
    if (p + 1 < end && (*p == 'e' || *p == 'E')) {
        const char* q = p + 1;
        bool eneg = false;
        if (*q == '+' || *q == '-') eneg = *q++ == '-';
        if (q < end && *q >= '0' && *q <= '9') {
            int64_t e = 0;
            for (; q < end && *q >= '0' && *q <= '9'; q++)
                if (e < 100000000) e = e * 10 + (*q - '0');
            exp10 += eneg ? -e : e;
            p = q;
        }
    }
    *left = int(end - p);
    exp10 += extra_exp;
    while (n > 0 && digits[n - 1] == '0') {
        n--;
        exp10++;
    }
    if (n == 0) return sign * 0.0;
    // Decimal exponent of the leading digit decides the hopeless cases outright.
    int64_t lead = exp10 + int64_t(n) - 1;
    if (lead > 310) return sign * std::numeric_limits<double>::infinity();
    if (lead < -330) return sign * 0.0;
    size_t len = n;
    digits[len++] = 'e';
    auto r = std::to_chars(digits + len, digits + len + 22, exp10);
    len = size_t(r.ptr - digits);
    double value = 0;
    auto res = std::from_chars(digits, digits + len, value, std::chars_format::scientific);
    if (res.ec == std::errc::result_out_of_range)
        value = lead > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    return sign * value;
}

}  // namespace dtoa
