#include "datatypes/money.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <charconv>
#include <cmath>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/datatype.h"
#include "datatypes/float.h"
#include "datatypes/number.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "loading/lexer.h"
#include "runtime/dtoa.h"
#include "runtime/fire.h"
#include "runtime/runtime.h"
#include "runtime/stack.h"
#include "services/random.h"

namespace money {

// ---- The currency list ----

static const char kInitialCodes[] =
    "AED AFN ALL AMD ANG AOA ARS AUD AWG AZN BAM BBD BDT BTC BGN BHD BIF BMD BND BOB BRL BSD BTN BWP BYN BZD CAD "
    "CDF CHF CKD CLP CNY COP CRC CUC CUP CVE CZK DJF DKK DOP DZD EGP ERN ETB ETH EUR FJD FKP FOK GBP GEL GGP GHS "
    "GIP GMD GNF GTQ GYD HKD HNL HRK HTG HUF IDR ILS IMP INR IQD IRR ISK JEP JMD JOD JPY KES KGS KHR KID KMF KPW "
    "KRW KWD KYD KZT LAK LBP LKR LRD LSL LYD MAD MDL MGA MKD MMK MNT MOP MRU MUR MVR MWK MXN MYR MZN NAD NGN NIO "
    "NOK NPR NZD OMR PAB PEN PGK PHP PKR PLN PND PRB PYG QAR KEL RON RSD RUB RWF SAR SBD SCR SDG SEK SGD SHP SLL "
    "SLS SOS SRD SSP STN SYP SZL THB TJS TMT TND TOP TRY TTD TVD TWD TZS UAH UGX USD UYU UZS VES VND VUV WST CFA "
    "XAF XCD XOF CFP XPF YER ZAR ZMW";

// A value stores its currency in one byte.
constexpr int kMaxCurrencies = 255;

// The codes used while there is no system object (start-up, bare run-times).
static std::vector<std::string>& fallback_codes() {
    static std::vector<std::string> list = [] {
        std::vector<std::string> v;
        std::string_view all(kInitialCodes);
        for (size_t i = 0; i + 3 <= all.size(); i += 4) v.emplace_back(all.substr(i, 3));
        return v;
    }();
    return list;
}

static const symbol::Known sym_system("system"), sym_locale("locale"), sym_currencies("currencies"), sym_list("list"),
    sym_options("options"), sym_money_digits("money-digits"), sym_code("code"), sym_amount("amount");

// A field of an object value, or null.
static Cell* field_of(const Cell* object, int32_t symbol) {
    if (!object || object->type() != TYPE_OBJECT) return nullptr;
    return context::value_of_symbol(symbol, object->data1);
}

static Cell* system_object() {
    if (!context::global_node) return nullptr;
    Cell* s = context::value_of_symbol(sym_system, context::global_node);
    return s && s->type() == TYPE_OBJECT ? s : nullptr;
}

// system/locale/currencies/list, or null while there is none.
static const Cell* currency_block() {
    Cell* list = field_of(field_of(field_of(system_object(), sym_locale), sym_currencies), sym_list);
    return list && list->type() == TYPE_BLOCK ? list : nullptr;
}

static bool same_code(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t k = 0; k < a.size(); k++)
        if (std::toupper(static_cast<unsigned char>(a[k])) != std::toupper(static_cast<unsigned char>(b[k]))) return false;
    return true;
}

int currency_count() {
    const Cell* list = currency_block();
    return list ? block::rs_length_q(list) : static_cast<int>(fallback_codes().size());
}

int currency_index(std::string_view code) {
    if (const Cell* list = currency_block()) {
        const Cell* head = block::rs_head(list);
        int32_t n = block::rs_length_q(list);
        for (int32_t i = 0; i < n && i < kMaxCurrencies; i++)
            if (types::any_word(head[i].type()) && same_code(symbol::text(static_cast<int32_t>(head[i].data2)), code))
                return i + 1;
        return 0;
    }
    auto& list = fallback_codes();
    for (size_t i = 0; i < list.size(); i++)
        if (same_code(list[i], code)) return static_cast<int>(i + 1);
    return 0;
}

std::string currency_code(int index) {
    if (index < 1) return {};
    if (const Cell* list = currency_block()) {
        if (index > block::rs_length_q(list)) return {};
        const Cell* w = block::rs_head(list) + (index - 1);
        if (!types::any_word(w->type())) return {};
        std::string s(symbol::text(static_cast<int32_t>(w->data2)));
        for (char& ch : s) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        return s;
    }
    auto& list = fallback_codes();
    return index <= static_cast<int>(list.size()) ? list[size_t(index - 1)] : std::string();
}

int add_currency(std::string_view code) {
    if (int i = currency_index(code)) return i;
    if (currency_block() || fallback_codes().size() >= kMaxCurrencies) return 0;
    std::string up(code);
    for (char& ch : up) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    fallback_codes().push_back(up);
    return static_cast<int>(fallback_codes().size());
}

// The currency's word: the list's own when there is a list.
static Cell* currency_word(Cell* out, int index) {
    if (const Cell* list = currency_block(); list && index <= block::rs_length_q(list)) {
        *out = block::rs_head(list)[index - 1];
        out->set_type(TYPE_WORD);
        return out;
    }
    std::string code = currency_code(index);
    Cell w;
    word::make_at(symbol::make(code), &w);
    *out = w;
    return out;
}

// ---- Digits ----

using u128 = unsigned __int128;

static constexpr u128 pow10(int n) {
    u128 p = 1;
    while (n-- > 0) p *= 10;
    return p;
}
// One past the largest magnitude, in units of 0.00001.
static constexpr u128 kLimit = pow10(kDigits);
static constexpr u128 kUnit = pow10(kDigits - kIntegerDigits);

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

bool negative_q(const Cell* c) { return get_sign(c) && !zero_q(c); }
bool positive_q(const Cell* c) { return !get_sign(c) && !zero_q(c); }
int sign(const Cell* c) { return zero_q(c) ? 0 : (get_sign(c) ? -1 : 1); }

// The 22 digits read as one integer: the amount in units of 0.00001. The arithmetic works on it:
// every intermediate value stays below 10^28, so the results are the exact decimal ones.
static u128 magnitude(const Cell* c) {
    const uint8_t* b = bytes_of(c);
    uint64_t high = 0, low = 0;  // digits 1-10 and 11-22
    for (int i = 0; i < 5; i++) high = high * 100 + (b[i] >> 4) * 10 + (b[i] & 15);
    for (int i = 5; i < 11; i++) low = low * 100 + (b[i] >> 4) * 10 + (b[i] & 15);
    return u128(high) * pow10(12) + low;
}

static void store(Cell* c, u128 m) {
    uint8_t* b = bytes_of(c);
    uint64_t low = static_cast<uint64_t>(m % pow10(12)), high = static_cast<uint64_t>(m / pow10(12));
    for (int i = 10; i >= 5; i--, low /= 100) b[i] = static_cast<uint8_t>(((low / 10 % 10) << 4) | (low % 10));
    for (int i = 4; i >= 0; i--, high /= 100) b[i] = static_cast<uint8_t>(((high / 10 % 10) << 4) | (high % 10));
}

static int digit_count(u128 m) {
    int n = 0;
    while (m) {
        m /= 10;
        n++;
    }
    return n;
}

// Writes an amount into c, keeping c's other header flags; a zero amount is never negative.
static Cell* make_amount(Cell* c, bool negative, int currency, u128 m) {
    c->header = (c->header & ~(cell_flag::type_mask | sign_flag)) | TYPE_MONEY | (negative && m ? sign_flag : 0);
    c->data1 = static_cast<uint32_t>(currency) & 0xFF;
    c->data2 = c->data3 = 0;
    store(c, m);
    return c;
}

static void clear(Cell* c, bool negative) {
    c->header = (c->header & ~(cell_flag::type_mask | sign_flag)) | TYPE_MONEY | (negative ? sign_flag : 0);
    c->data1 = c->data2 = c->data3 = 0;
}

// ---- Constructors and conversions ----

bool make_from_text(Cell* c, bool negative, const char* code, size_t code_length, const char* before,
                    const char* point, const char* end) {
    clear(c, negative);
    if (code) {
        int index = currency_index(std::string_view(code, code_length));
        if (!index) return false;
        set_currency(c, index);
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

Cell* make_from_bcd(Cell* c, bool negative, int currency, const uint8_t* digits) {
    clear(c, negative);
    set_currency(c, currency);
    for (int i = 0; i < 11; i++) bytes_of(c)[i] = digits[i];
    return c;
}

Cell* push_bcd(bool negative, int currency, const uint8_t* digits) {
    Cell* c = stack::push_cell();
    c->header = 0;
    return make_from_bcd(c, negative, currency, digits);
}

Cell* from_integer(Cell* c, int32_t n) {
    clear(c, n < 0);
    uint32_t m = n < 0 ? 0u - static_cast<uint32_t>(n) : static_cast<uint32_t>(n);
    for (int digit = kIntegerDigits; m && digit >= 1; digit--, m /= 10) set_digit(c, digit, static_cast<int>(m % 10));
    return c;
}

int32_t to_integer(const Cell* c) {
    u128 whole = magnitude(c) / kUnit;
    bool negative = negative_q(c);
    if (whole > (negative ? u128(2147483648u) : u128(2147483647u))) number::fire_type_limit(TYPE_INTEGER);
    int64_t v = static_cast<int64_t>(whole);
    return static_cast<int32_t>(negative ? -v : v);
}

[[noreturn]] static void fire_bad_float(double x) {
    Cell type, v;
    datatype::make_at(&type, TYPE_MONEY);
    float_::make_at(&v, x);
    fire(err::script::bad_make_arg, &type, &v);
}

// The shortest decimal text that reads back as |x|, in fixed notation, after one leading byte
// that make_from_text may look at; answers its end and the decimal point (or null).
struct FloatText {
    char text[400];  // the smallest denormal needs 326 characters
    const char* end;
    const char* point;
};

static void float_text(double x, FloatText& t) {
    t.text[0] = ' ';
    auto r = std::to_chars(t.text + 1, t.text + sizeof t.text, std::fabs(x), std::chars_format::fixed);
    t.end = r.ec == std::errc() ? r.ptr : t.text + 1;
    t.point = nullptr;
    for (const char* p = t.text + 1; p < t.end; p++)
        if (*p == '.') t.point = p;
}

Cell* from_float(Cell* c, double x, bool strict) {
    if (float_too_big_q(x) || float_too_small_q(x)) fire_bad_float(x);
    FloatText t;
    float_text(x, t);
    if (strict && t.point && t.end - t.point - 1 > 5) fire_bad_float(x);
    make_from_text(c, x < 0, nullptr, 0, t.text, t.point, t.end);
    return c;
}

// The digits as text: the integer part without leading zeros, then all five decimals.
static int amount_text(const Cell* c, char* out) {
    int n = 0;
    for (int i = 1; i <= kIntegerDigits; i++) {
        int d = get_digit(c, i);
        if (n == 0 && d == 0 && i < kIntegerDigits) continue;
        out[n++] = static_cast<char>('0' + d);
    }
    out[n++] = '.';
    for (int i = kIntegerDigits + 1; i <= kDigits; i++) out[n++] = static_cast<char>('0' + get_digit(c, i));
    return n;
}

double to_float(const Cell* c) {
    char text[32];
    int n = amount_text(c, text);
    int error = 0;
    double d = dtoa::strtod(text, text + n, 0, &error);
    return negative_q(c) ? -d : d;
}

// ---- form and mold ----

// system/options/money-digits when it is an integer!, else 2.
static int money_digits() {
    Cell* d = field_of(field_of(system_object(), sym_options), sym_money_digits);
    return d && d->type() == TYPE_INTEGER ? d->i1() : 2;
}

std::string form_amount(const Cell* value, bool all_decimals, bool separators) {
    Cell c = *value;
    std::string s;
    if (negative_q(&c)) s.push_back('-');
    if (int index = currency_of(&c)) s += currency_code(index);
    s.push_back('$');
    bool started = false;
    for (int i = 1; i <= kIntegerDigits; i++) {
        int d = get_digit(&c, i);
        if (!started && d == 0 && i < kIntegerDigits) continue;
        started = true;
        s.push_back(static_cast<char>('0' + d));
        if (separators && (i == 2 || i == 5 || i == 8 || i == 11 || i == 14)) s.push_back('\'');
    }
    int decimals = money_digits();
    if (all_decimals || decimals > 5) decimals = 5;
    if (decimals >= 1) {
        s.push_back('.');
        for (int i = 0; i < decimals; i++) s.push_back(static_cast<char>('0' + get_digit(&c, kIntegerDigits + 1 + i)));
    }
    return s;
}

// Appends the text, under a /part limit no more than the budget left; answers the budget after it.
static int append_text(Node buffer, const std::string& s, const Cell* part, int limit) {
    size_t n = s.size();
    if (part) n = std::min(n, static_cast<size_t>(std::max(limit, 0)));
    string::concatenate_literal_n(buffer, s.data(), n);
    int64_t left = int64_t(limit) - int64_t(s.size());
    return left < INT_MIN ? INT_MIN : static_cast<int>(left);
}

int form(const Cell* value, Node buffer, const Cell* part, int limit) {
    return append_text(buffer, form_amount(value, false, true), part, limit);
}

int mold(const Cell* value, Node buffer, bool, bool all, bool, const Cell* part, int limit, int) {
    return append_text(buffer, form_amount(value, all, false), part, limit);
}

// ---- Comparison ----

// Signed decimal order of two amounts.
static int compare_amounts(const Cell* a, const Cell* b) {
    int sa = sign(a), sb = sign(b);
    if (sa != sb) return sa < sb ? -1 : 1;
    u128 x = magnitude(a), y = magnitude(b);
    if (x == y) return 0;
    return (x < y) == (sa > 0) ? -1 : 1;
}

int compare_float(const Cell* a, double b, int op) {
    if (std::isnan(b)) return float_::compare_numbers(to_float(a), b, op);
    // Every amount lies strictly between -1e17 and 1e17.
    if (float_too_big_q(b)) return b > 0 ? -1 : 1;
    FloatText t;
    float_text(b, t);
    Cell m;
    m.header = 0;
    make_from_text(&m, b < 0, nullptr, 0, t.text, t.point, t.end);
    int r = compare_amounts(a, &m);
    // Decimals past the fifth make the float's magnitude larger than the amount cut from it.
    if (r == 0 && t.point && t.end - t.point - 1 > 5) return b > 0 ? -1 : 1;
    return r;
}

int compare(const Cell* a, const Cell* b, int op) {
    bool strict = op == COMP_STRICT_EQUAL || op == COMP_SAME || op == COMP_EQUAL_FIND;
    if (strict && b->type() != TYPE_MONEY) return 1;
    switch (b->type()) {
        case TYPE_MONEY: {
            int ca = currency_of(a), cb = currency_of(b);
            if (ca != cb) {
                if (op == COMP_SORT || op == COMP_CASE_SORT) {
                    if (!ca || !cb) return ca ? 1 : -1;
                    int r = currency_code(ca).compare(currency_code(cb));
                    if (r) return r < 0 ? -1 : 1;
                } else if (op >= COMP_LESSER && op <= COMP_GREATER_EQUAL) {
                    Cell x = *a, y = *b;
                    fire(err::script::wrong_denom, &x, &y);
                } else {
                    return 1;
                }
            }
            return compare_amounts(a, b);
        }
        case TYPE_INTEGER: {
            Cell other;
            other.header = 0;
            from_integer(&other, b->i1());
            return compare_amounts(a, &other);
        }
        // percent! and time! compare by their number, as they do from their own side.
        case TYPE_FLOAT:
        case TYPE_PERCENT:
        case TYPE_TIME: return compare_float(a, b->f(), op);
        default: return -2;
    }
}

int compare_number(const Cell* number, const Cell* money, int op) {
    int mirrored = op;
    switch (op) {
        case COMP_LESSER: mirrored = COMP_GREATER; break;
        case COMP_LESSER_EQUAL: mirrored = COMP_GREATER_EQUAL; break;
        case COMP_GREATER: mirrored = COMP_LESSER; break;
        case COMP_GREATER_EQUAL: mirrored = COMP_LESSER_EQUAL; break;
        default: break;
    }
    return -compare(money, number, mirrored);
}

// ---- Arithmetic ----

// An operand as money!: integer! exactly, float! and percent! from their decimal text with extra
// decimals dropped.
static void operand(Cell* out, const Cell* v) {
    out->header = 0;
    switch (v->type()) {
        case TYPE_MONEY: *out = *v; break;
        case TYPE_INTEGER: from_integer(out, v->i1()); break;
        case TYPE_FLOAT:
        case TYPE_PERCENT: from_float(out, v->f(), false); break;
        default: number::fire_invalid_type(v);
    }
}

[[noreturn]] static void overflow() { number::fire_type_limit(TYPE_MONEY); }

void do_math(int op) {
    Cell* left = stack::arguments;
    Cell* right = left + 1;
    bool both_money = left->type() == TYPE_MONEY && right->type() == TYPE_MONEY;
    Cell a, b;
    operand(&a, left);
    operand(&b, right);
    int ca = currency_of(&a), cb = currency_of(&b);
    if (ca && cb && ca != cb) {
        Cell l = *left, r = *right;
        fire(err::script::wrong_denom, &l, &r);
    }
    int currency = ca ? ca : cb;
    u128 x = magnitude(&a), y = magnitude(&b);
    bool nx = negative_q(&a), ny = negative_q(&b);
    u128 m;
    bool negative;
    switch (op) {
        case OP_ADD:
        case OP_SUB:
            if (op == OP_SUB) ny = !ny;
            if (nx == ny) {
                m = x + y;
                negative = nx;
                if (m >= kLimit) overflow();
            } else if (x >= y) {
                m = x - y;
                negative = nx;
            } else {
                m = y - x;
                negative = ny;
            }
            break;
        case OP_MUL:
            // Two factors of la and lb digits give a product of at least la + lb - 1 digits, so
            // past 28 the result cannot fit 22 digits after dropping five.
            if (digit_count(x) + digit_count(y) > 28) overflow();
            m = x * y / kUnit;
            if (m >= kLimit) overflow();
            negative = nx != ny;
            break;
        case OP_DIV:
            if (!y) fire(err::math::zero_divide);
            m = x * kUnit / y;
            if (m >= kLimit) overflow();
            negative = nx != ny;
            break;
        case OP_REM:
            if (!y) fire(err::math::zero_divide);
            m = x % y;
            negative = nx;
            break;
        default: runtime::quit(101, KEL_CALLER_ADDRESS());
    }
    if (op == OP_DIV && both_money) {
        Cell q;
        q.header = 0;
        make_amount(&q, negative, 0, m);
        float_::make_at(left, to_float(&q));
    } else {
        make_amount(left, negative, currency, m);
    }
    stack::keep();
}

static void add(const int32_t*) { do_math(OP_ADD); }
static void subtract(const int32_t*) { do_math(OP_SUB); }
static void multiply(const int32_t*) { do_math(OP_MUL); }
static void divide(const int32_t*) { do_math(OP_DIV); }
static void remainder(const int32_t*) { do_math(OP_REM); }

static void absolute(const int32_t*) { set_sign(stack::arguments, false); }

static void negate(const int32_t*) {
    Cell* v = stack::arguments;
    if (!zero_q(v)) set_sign(v, !get_sign(v));
}

static void even_q(const int32_t*) {
    bool even = (get_digit(stack::arguments, kIntegerDigits) & 1) == 0;
    set_cell(stack::arguments, TYPE_LOGIC, even ? 1 : 0);
}

static void odd_q(const int32_t*) {
    bool odd = (get_digit(stack::arguments, kIntegerDigits) & 1) != 0;
    set_cell(stack::arguments, TYPE_LOGIC, odd ? 1 : 0);
}

// round value /to scale /even /down /half-down /floor /ceiling /half-ceiling: to a multiple of
// the scale (one unit by default), on magnitudes, the sign put back.
static void round(const int32_t* refs) {
    Cell* value = stack::arguments;
    if (zero_q(value)) return;
    u128 s = kUnit;
    if (refs[0] >= 0) {
        const Cell* scale = stack::arguments + refs[0];
        Cell sc;
        sc.header = 0;
        switch (scale->type()) {
            case TYPE_MONEY: sc = *scale; break;
            case TYPE_INTEGER: from_integer(&sc, scale->i1()); break;
            case TYPE_FLOAT: from_float(&sc, scale->f(), false); break;
            default: number::fire_not_related("round", scale->type());
        }
        s = magnitude(&sc);
        if (!s) fire(err::math::zero_divide);
    }
    u128 a = magnitude(value);
    u128 r = a % s;
    if (!r) return;
    bool negative = negative_q(value);
    u128 down = a - r;
    u128 up = a + (s - r);  // below 2 * 10^22: no wrap
    bool go_up;
    if (refs[2] >= 0)  // /down
        go_up = false;
    else if (refs[4] >= 0)  // /floor
        go_up = negative;
    else if (refs[5] >= 0)  // /ceiling
        go_up = !negative;
    else if (r < s - r)
        go_up = false;
    else if (r > s - r)
        go_up = true;
    else if (refs[1] >= 0)  // /even: the multiple whose quotient is even
        go_up = (a / s) % 2 != 0;
    else if (refs[3] >= 0)  // /half-down
        go_up = false;
    else if (refs[6] >= 0)  // /half-ceiling
        go_up = !negative;
    else
        go_up = true;
    u128 m = go_up ? up : down;
    if (m >= kLimit) overflow();
    make_amount(value, negative, currency_of(value), m);
}

// ---- make and to ----

[[noreturn]] static void fire_bad_make(const Cell* spec) {
    Cell type, s = *spec;
    datatype::make_at(&type, TYPE_MONEY);
    fire(err::script::bad_make_arg, &type, &s);
}

static Cell* to(Cell* proto, Cell* spec, int) {
    Cell out;
    out.header = 0;
    switch (spec->type()) {
        case TYPE_MONEY: out = *spec; break;
        case TYPE_INTEGER: from_integer(&out, spec->i1()); break;
        case TYPE_FLOAT: from_float(&out, spec->f(), true); break;
        case TYPE_STRING:
        case TYPE_FILE:
        case TYPE_URL:
        case TYPE_TAG:
        case TYPE_EMAIL:
        case TYPE_REF: {
            int32_t count;
            int unit;
            const uint8_t* units = number::text_units(spec, &count, &unit);
            if (!lexer::scan_money(&out, units, count, unit)) number::fire_bad_to_arg(TYPE_MONEY, spec);
            break;
        }
        default: number::fire_bad_to_arg(TYPE_MONEY, spec);
    }
    *proto = out;
    return proto;
}

// A currency word's index; an unknown code is refused.
static int currency_of_word(const Cell* w, const Cell* spec) {
    int index = currency_index(symbol::text(static_cast<int32_t>(w->data2)));
    if (!index) fire_bad_make(spec);
    return index;
}

static Cell* make(Cell* proto, Cell* spec, int type) {
    if (spec->type() == TYPE_WORD) {
        Cell out;
        out.header = 0;
        make_amount(&out, false, currency_of_word(spec, spec), 0);
        *proto = out;
        return proto;
    }
    if (spec->type() != TYPE_BLOCK) return to(proto, spec, type);
    // [code] amount [fraction]: the fraction counts in units of 0.00001, with the amount's sign.
    int32_t n = block::rs_length_q(spec);
    if (n < 1 || n > 3) fire_bad_make(spec);
    Cell items[3];
    for (int32_t i = 0; i < n; i++) items[i] = block::rs_head(spec)[i];
    int k = 0, currency = 0;
    if (items[0].type() == TYPE_WORD) currency = currency_of_word(&items[k++], spec);
    if (k >= n) fire_bad_make(spec);
    Cell amount;
    amount.header = 0;
    const Cell& a = items[k++];
    if (a.type() == TYPE_INTEGER) {
        from_integer(&amount, a.i1());
    } else if (a.type() == TYPE_FLOAT && k == n) {
        from_float(&amount, a.f(), true);
    } else {
        fire_bad_make(spec);
    }
    u128 m = magnitude(&amount);
    if (k < n) {
        const Cell& f = items[k++];
        if (f.type() != TYPE_INTEGER || f.i1() < 0 || f.i1() > 99999) fire_bad_make(spec);
        m += static_cast<u128>(f.i1());
    }
    if (k != n) fire_bad_make(spec);
    // The sign of the amount as given: make money! [-0 5] has none to give.
    bool negative = get_sign(&amount);
    Cell out;
    out.header = 0;
    make_amount(&out, negative, currency, m);
    *proto = out;
    return proto;
}

// ---- Path access and pick ----

// 1 for the currency code, 2 for the amount, 0 for another element.
static int part_of(const Cell* element) {
    if (element->type() == TYPE_INTEGER) {
        int32_t i = element->i1();
        return i == 1 || i == 2 ? i : 0;
    }
    if (element->type() == TYPE_WORD) {
        if (sym_code.is(element)) return 1;
        if (sym_amount.is(element)) return 2;
    }
    return 0;
}

static Cell* part_value(const Cell* value, int part, Cell* out) {
    Cell v = *value;
    if (part == 2) {
        set_currency(&v, 0);
        *out = v;
        return out;
    }
    int index = currency_of(&v);
    if (!index || currency_code(index).empty()) return set_cell(out, TYPE_NONE);
    Cell w;
    currency_word(&w, index);
    *out = w;
    return out;
}

static Cell* eval_path(PathStep& step, Cell* out) {
    int part = part_of(step.element);
    Cell path, element = *step.element;
    if (step.path)
        path = *step.path;
    else
        path = *step.value;
    if (step.store) fire(err::script::bad_path_set, &path, &element);
    if (!part) fire(err::script::invalid_path, &path, &element);
    return part_value(step.value, part, out);
}

static void pick(const int32_t*) {
    Cell* v = stack::arguments;
    int part = part_of(v + 1);
    if (!part) {
        Cell i = v[1];
        fire(err::script::out_of_range, &i);
    }
    Cell out;
    part_value(v, part, &out);
    *stack::arguments = out;
    stack::keep();
}

// ---- random ----

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
    if (zero_q(v)) set_sign(v, false);
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
        .set(ACT_ABSOLUTE, absolute)
        .set(ACT_ADD, add)
        .set(ACT_DIVIDE, divide)
        .set(ACT_MULTIPLY, multiply)
        .set(ACT_NEGATE, negate)
        .set(ACT_REMAINDER, remainder)
        .set(ACT_ROUND, round)
        .set(ACT_SUBTRACT, subtract)
        .set(ACT_EVEN_Q, even_q)
        .set(ACT_ODD_Q, odd_q)
        .set(ACT_PICK, pick);
    datatype::register_row(TYPE_MONEY, 0, "money!", row);
}

}  // namespace money
