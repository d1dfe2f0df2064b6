#include "datatypes/money.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <string>
#include <vector>

#include "datatypes/datatype.h"
#include "datatypes/string.h"
#include "runtime/dtoa.h"
#include "runtime/fire.h"
#include "services/random.h"
#include "runtime/stack.h"

namespace money {

int (*money_digits)() = nullptr;

static const char kInitialCodes[] =
    "AED AFN ALL AMD ANG AOA ARS AUD AWG AZN BAM BBD BDT BTC BGN BHD BIF BMD BND BOB BRL BSD BTN BWP BYN BZD CAD "
    "CDF CHF CKD CLP CNY COP CRC CUC CUP CVE CZK DJF DKK DOP DZD EGP ERN ETB ETH EUR FJD FKP FOK GBP GEL GGP GHS "
    "GIP GMD GNF GTQ GYD HKD HNL HRK HTG HUF IDR ILS IMP INR IQD IRR ISK JEP JMD JOD JPY KES KGS KHR KID KMF KPW "
    "KRW KWD KYD KZT LAK LBP LKR LRD LSL LYD MAD MDL MGA MKD MMK MNT MOP MRU MUR MVR MWK MXN MYR MZN NAD NGN NIO "
    "NOK NPR NZD OMR PAB PEN PGK PHP PKR PLN PND PRB PYG QAR KEL RON RSD RUB RWF SAR SBD SCR SDG SEK SGD SHP SLL "
    "SLS SOS SRD SSP STN SYP SZL THB TJS TMT TND TOP TRY TTD TVD TWD TZS UAH UGX USD UYU UZS VES VND VUV WST CFA "
    "XAF XCD XOF CFP XPF YER ZAR ZMW";

static std::vector<std::string>& codes() {
    static std::vector<std::string> list = [] {
        std::vector<std::string> v;
        std::string_view all(kInitialCodes);
        for (size_t i = 0; i + 3 <= all.size(); i += 4) v.emplace_back(all.substr(i, 3));
        return v;
    }();
    return list;
}

int currency_count() { return static_cast<int>(codes().size()); }

int currency_index(std::string_view code) {
    auto& list = codes();
    for (size_t i = 0; i < list.size(); i++) {
        const std::string& c = list[i];
        if (c.size() != code.size()) continue;
        bool same = true;
        for (size_t k = 0; k < c.size() && same; k++)
            same = std::toupper(static_cast<unsigned char>(code[k])) == static_cast<unsigned char>(c[k]);
        if (same) return static_cast<int>(i + 1);
    }
    return 0;
}

std::string_view currency_code(int index) {
    auto& list = codes();
    if (index < 1 || index > static_cast<int>(list.size())) return {};
    return list[size_t(index - 1)];
}

int add_currency(std::string_view code) {
    if (int i = currency_index(code)) return i;
    // The index lives in one byte of the cell.
    if (codes().size() >= 255) return 0;
    std::string up(code);
    for (char& ch : up) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    codes().push_back(up);
    return static_cast<int>(codes().size());
}

int get_digit(const Cell* c, int i) {
    uint8_t b = bytes_of(c)[(i - 1) / 2];
    return (i & 1) ? b >> 4 : b & 15;
}

void set_digit(Cell* c, int i, int d) {
    uint8_t& b = bytes_of(c)[(i - 1) / 2];
    if (i & 1)
        b = static_cast<uint8_t>((b & 0x0F) | (d << 4));
    else
        b = static_cast<uint8_t>((b & 0xF0) | (d & 15));
}

bool zero_q(const Cell* c) {
    const uint8_t* b = bytes_of(c);
    for (int i = 0; i < 11; i++)
        if (b[i]) return false;
    return true;
}

bool negative_q(const Cell* c) { return (c->header & sign_flag) && !zero_q(c); }

static void clear(Cell* c, bool negative) {
    c->header = (c->header & ~(cell_flag::type_mask | sign_flag)) | TYPE_MONEY | (negative ? sign_flag : 0);
    c->data1 = c->data2 = c->data3 = 0;
}

bool make_from_text(Cell* c, bool negative, const char* code, size_t code_length, const char* before,
                    const char* point, const char* end) {
    clear(c, negative);
    if (code) {
        int index = currency_index(std::string_view(code, code_length));
        if (!index) return false;
        c->data1 = static_cast<uint32_t>(index);
    }
    const char* int_end = point ? point : end;
    int digit = kIntegerDigits;
    for (const char* p = int_end - 1; p > before && digit >= 1; p--) {
        if (*p == '\'') continue;
        set_digit(c, digit--, *p - '0');
    }
    if (point) {
        digit = kIntegerDigits + 1;
        for (const char* p = point + 1; p < end && digit <= kDigits; p++) {
            if (*p == '\'') continue;
            set_digit(c, digit++, *p - '0');
        }
    }
    return true;
}

Cell* from_integer(Cell* c, int32_t n) {
    clear(c, n < 0);
    uint32_t m = n < 0 ? 0u - static_cast<uint32_t>(n) : static_cast<uint32_t>(n);
    for (int digit = kIntegerDigits; m && digit >= 1; digit--, m /= 10) set_digit(c, digit, static_cast<int>(m % 10));
    return c;
}

// The amount's digits as text: integer part without leading zeros, then all five decimals.
static std::string amount_text(const Cell* c) {
    std::string s;
    for (int i = 1; i <= kIntegerDigits; i++) {
        int d = get_digit(c, i);
        if (s.empty() && d == 0) continue;
        s.push_back(static_cast<char>('0' + d));
    }
    if (s.empty()) s.push_back('0');
    s.push_back('.');
    for (int i = kIntegerDigits + 1; i <= kDigits; i++) s.push_back(static_cast<char>('0' + get_digit(c, i)));
    return s;
}

double to_float(const Cell* c) {
    std::string s = amount_text(c);
    int left;
    double d = dtoa::strtod(s.data(), s.data() + s.size(), 0, &left);
    return negative_q(c) ? -d : d;
}

static std::string form_amount(const Cell* c, bool all_decimals, bool separators) {
    std::string s;
    if (negative_q(c)) s.push_back('-');
    if (int index = currency_of(c)) s += currency_code(index);
    s.push_back('$');
    bool started = false;
    for (int i = 1; i <= kIntegerDigits; i++) {
        int d = get_digit(c, i);
        if (!started && d == 0 && i < kIntegerDigits) continue;
        started = true;
        s.push_back(static_cast<char>('0' + d));
        if (separators && i < kIntegerDigits && (i == 2 || i == 5 || i == 8 || i == 11 || i == 14)) s.push_back('\'');
    }
    int decimals = money_digits ? money_digits() : 2;
    if (all_decimals || decimals > 5) decimals = 5;
    if (decimals >= 1) {
        s.push_back('.');
        for (int i = 0; i < decimals; i++) s.push_back(static_cast<char>('0' + get_digit(c, kIntegerDigits + 1 + i)));
    }
    return s;
}

int form(const Cell* value, Node buffer, const Cell*, int limit) {
    std::string s = form_amount(value, false, true);
    string::concatenate_literal_n(buffer, s.data(), s.size());
    return limit - static_cast<int>(s.size());
}

int mold(const Cell* value, Node buffer, bool, bool all, bool, const Cell*, int limit, int) {
    std::string s = form_amount(value, all, false);
    string::concatenate_literal_n(buffer, s.data(), s.size());
    return limit - static_cast<int>(s.size());
}

// Signed decimal order of two amounts.
static int compare_amounts(const Cell* a, const Cell* b) {
    bool na = negative_q(a), nb = negative_q(b);
    if (na != nb) return na ? -1 : 1;
    for (int i = 1; i <= kDigits; i++) {
        int x = get_digit(a, i), y = get_digit(b, i);
        if (x != y) return (x < y) != na ? -1 : 1;
    }
    return 0;
}

int compare(const Cell* a, const Cell* b, int op) {
    bool strict = op == COMP_STRICT_EQUAL || op == COMP_SAME || op == COMP_EQUAL_FIND;
    Cell other;
    switch (b->type()) {
        case TYPE_MONEY: {
            int ca = currency_of(a), cb = currency_of(b);
            if (ca != cb) {
                if (op == COMP_SORT || op == COMP_CASE_SORT) {
                    if (!ca || !cb) return ca ? 1 : -1;
                    int r = std::string(currency_code(ca)).compare(std::string(currency_code(cb)));
                    return r < 0 ? -1 : 1;
                }
                if (op >= COMP_LESSER && op <= COMP_GREATER_EQUAL) {
                    if (ca && cb) fire(err::script::wrong_denom, a, b);
                } else {
                    return 1;
                }
            }
            return compare_amounts(a, b);
        }
        case TYPE_INTEGER:
            if (strict) return 1;
            from_integer(&other, b->i1());
            return compare_amounts(a, &other);
        case TYPE_FLOAT: {
            if (strict) return 1;
            double f = b->f();
            if (std::isnan(f)) return 1;
            double x = to_float(a);
            return x < f ? -1 : (x > f ? 1 : 0);
        }
        default: return strict ? 1 : -2;
    }
}

// The digits from the first significant one on: while the result still equals the value so far,
// a digit d becomes 0 .. d, where d itself stands only one time in 1000 (so the result rarely
// equals the value); after the first smaller digit the rest are free. Sign and currency stay.
void random(const int32_t* refs) {
    Cell* v = stack::arguments;
    if (refs[0] >= 0) {
        random_::seed(v->data1 ^ v->data2 ^ v->data3 ^ (v->header & sign_flag));
        set_cell(v, TYPE_UNSET);
        return;
    }
    bool secure = refs[1] >= 0;
    int i = 1;
    while (i <= kDigits && get_digit(v, i) == 0) i++;
    bool bounded = true;
    for (; i <= kDigits; i++) {
        int d = get_digit(v, i);
        int r;
        if (!bounded) {
            r = random_::int_(secure, 10) - 1;
        } else if (d == 0) {
            r = 0;  // nothing below it to draw
        } else {
            do r = random_::int_(secure, d + 1) - 1;
            while (r == d && random_::int_(secure, 1000) != 1);
            bounded = r == d;
        }
        set_digit(v, i, r);
    }
}

void init() {
    datatype::Row row;
    row.set(ACT_RANDOM, random).set(ACT_FORM, form).set(ACT_MOLD, mold).set(ACT_COMPARE, compare);
    datatype::register_row(TYPE_MONEY, 0, "money!", row);
}

}  // namespace money
