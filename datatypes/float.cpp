#include "datatypes/float.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "runtime/dtoa.h"

namespace float_ {

bool pretty_print = true;

namespace {

// printf's %.<precision>g, locale-free.
int print_g(double v, int precision, char* out) {
    auto r = std::to_chars(out, out + kFormSize - 1, v, std::chars_format::general, precision);
    *r.ptr = 0;
    return int(r.ptr - out);
}

int first_text(double v, int kind, char* out) {
    switch (kind) {
        case kFloat: return print_g(v, 16, out);
        case kPercent: return print_g(v, 13, out);
        case kTimeSeconds: return dtoa::form_float(v, 6, false, out);
        default: return print_g(v, 7, out);
    }
}

}  // namespace

int form_float(double v, int kind, char* out) {
    if (std::isnan(v)) {
        std::memcpy(out, "1.#NaN", 7);
        return 6;
    }
    if (std::isinf(v)) {
        const char* s = v < 0 ? "-1.#INF" : "1.#INF";
        int n = int(std::strlen(s));
        std::memcpy(out, s, size_t(n) + 1);
        return n;
    }
    const bool percent = kind == kPercent32 || kind == kPercent;
    if (pretty_print && std::fabs(v) < std::numeric_limits<double>::epsilon()) {
        const char* s = percent ? "0%" : kind == kPoint ? "0" : "0.0";
        int n = int(std::strlen(s));
        std::memcpy(out, s, size_t(n) + 1);
        return n;
    }
    int len = first_text(v, kind, out);
    if (pretty_print) {
        // Binary noise in the last places (0.1 + 0.2 printed as ...0000000004 or ...9999999) is
        // printed again with fewer digits.
        const char* e = static_cast<const char*>(std::memchr(out, 'e', size_t(len)));
        int mantissa = e ? int(e - out) : len;
        int lead = out[0] == '-' ? 1 : 0;
        bool long_text = e ? mantissa > 16 : len > 16 && (out[lead] != '0' || len > 17);
        if (long_text && mantissa >= 2) {
            const char* tail = out + mantissa - 2;
            if ((tail[0] == '0' && tail[1] == '1') || (tail[0] == '9' && tail[1] == '9')) {
                bool short_kind = kind == kFloat32 || kind == kTimeSeconds || kind == kPoint;
                len = print_g(v, short_kind ? 5 : 14, out);
            }
        }
    }
    // Exponent without '+' and leading zeros: 1e+020 -> 1e20, 1e-005 -> 1e-5.
    if (char* e = static_cast<char*>(std::memchr(out, 'e', size_t(len)))) {
        char* from = e + 1;
        char* to = e + 1;
        if (*from == '+') {
            from++;
        } else if (*from == '-') {
            *to++ = *from++;
        }
        while (*from == '0' && from[1] >= '0' && from[1] <= '9') from++;
        while (*from) *to++ = *from++;
        *to = 0;
        len = int(to - out);
    }
    if (kind <= kPercent && !std::memchr(out, '.', size_t(len))) {
        char* e = static_cast<char*>(std::memchr(out, 'e', size_t(len)));
        if (e) {
            std::memmove(e + 2, e, size_t(out + len - e) + 1);
            e[0] = '.';
            e[1] = '0';
        } else {
            out[len] = '.';
            out[len + 1] = '0';
            out[len + 2] = 0;
        }
        len += 2;
    }
    if (percent) {
        out[len++] = '%';
        out[len] = 0;
    }
    return len;
}

const char* form_float(double v, int kind) {
    static char text[kFormSize];
    form_float(v, kind, text);
    return text;
}

}  // namespace float_
