#include "datatypes/binary_codecs.h"

#include <cstring>
#include <vector>

#include "datatypes/string.h"

namespace binary {

static const char kHex[] = "0123456789ABCDEF";
static const char kBase58[] = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz";
static const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

uint8_t* encode_2(uint8_t* dest, const uint8_t* source, size_t count) {
    for (size_t i = 0; i < count; i++)
        for (int bit = 7; bit >= 0; bit--) *dest++ = static_cast<uint8_t>('0' + ((source[i] >> bit) & 1));
    return dest;
}

uint8_t* encode_16(uint8_t* dest, const uint8_t* source, size_t count) {
    for (size_t i = 0; i < count; i++) {
        *dest++ = static_cast<uint8_t>(kHex[source[i] >> 4]);
        *dest++ = static_cast<uint8_t>(kHex[source[i] & 15]);
    }
    return dest;
}

uint8_t* encode_64(uint8_t* dest, const uint8_t* source, size_t count) {
    size_t i = 0;
    for (; i + 3 <= count; i += 3) {
        uint32_t v = (uint32_t(source[i]) << 16) | (uint32_t(source[i + 1]) << 8) | source[i + 2];
        *dest++ = static_cast<uint8_t>(kBase64[(v >> 18) & 63]);
        *dest++ = static_cast<uint8_t>(kBase64[(v >> 12) & 63]);
        *dest++ = static_cast<uint8_t>(kBase64[(v >> 6) & 63]);
        *dest++ = static_cast<uint8_t>(kBase64[v & 63]);
    }
    size_t left = count - i;
    if (left > 0) {
        uint32_t v = uint32_t(source[i]) << 16;
        if (left == 2) v |= uint32_t(source[i + 1]) << 8;
        *dest++ = static_cast<uint8_t>(kBase64[(v >> 18) & 63]);
        *dest++ = static_cast<uint8_t>(kBase64[(v >> 12) & 63]);
        *dest++ = left == 2 ? static_cast<uint8_t>(kBase64[(v >> 6) & 63]) : '=';
        *dest++ = '=';
    }
    return dest;
}

// Base 58 over 64-bit limbs. Each sweep over the number divides it by 58^10 twice, the second
// division taking the quotient limbs of the first as they come, so the two carry chains overlap
// and a sweep yields twenty digits. The divisions use a precomputed reciprocal, as a 128-by-64-bit
// division is far slower than two multiplications.
namespace {

constexpr uint64_t kChunk58 = 430804206899405824ull;  // 58^10
constexpr int kShift58 = __builtin_clzll(kChunk58);
constexpr uint64_t kNorm58 = kChunk58 << kShift58;
constexpr uint64_t kInverse58 =
    static_cast<uint64_t>(~static_cast<unsigned __int128>(0) / kNorm58);  // less 2^64, which wraps
static_assert(kShift58 > 0, "the dividend shift below needs a non-zero shift");

// Divides high:low (high < kNorm58) by kNorm58; returns the quotient and leaves the remainder in high.
inline uint64_t divide_58(uint64_t& high, uint64_t low) {
    unsigned __int128 q = static_cast<unsigned __int128>(kInverse58) * high;
    q += (static_cast<unsigned __int128>(high + 1) << 64) | low;
    uint64_t q1 = static_cast<uint64_t>(q >> 64);
    uint64_t r = low - q1 * kNorm58;
    // The first correction happens about half the time, so it is done without a branch; the
    // second is rare.
    uint64_t over = uint64_t(0) - uint64_t(r > static_cast<uint64_t>(q));
    q1 += over;
    r += over & kNorm58;
    if (__builtin_expect(r >= kNorm58, 0)) {
        q1++;
        r -= kNorm58;
    }
    high = r;
    return q1;
}

}  // namespace

uint8_t* encode_58(uint8_t* dest, const uint8_t* source, size_t count) {
    size_t zeros = 0;
    while (zeros < count && source[zeros] == 0) zeros++;
    // Big-endian limbs of the bytes after the leading zeros.
    size_t n = count - zeros;
    std::vector<uint64_t> limbs((n + 7) / 8, 0);
    for (size_t i = 0; i < n; i++) {
        size_t from_end = n - 1 - i;
        limbs[limbs.size() - 1 - from_end / 8] |= uint64_t(source[zeros + i]) << (8 * (from_end % 8));
    }
    std::vector<uint8_t> digits;  // least significant first
    digits.reserve(n * 138 / 100 + 20);
    size_t first = 0;
    while (first < limbs.size()) {
        // Remainders are kept shifted by kShift58, which is how the normalised division wants
        // its dividend; the top bits of the next limb fill the gap.
        uint64_t rest_a = 0, rest_b = 0;
        for (size_t i = first; i < limbs.size(); i++) {
            uint64_t limb = limbs[i];
            rest_a |= limb >> (64 - kShift58);
            uint64_t q = divide_58(rest_a, limb << kShift58);
            rest_b |= q >> (64 - kShift58);
            limbs[i] = divide_58(rest_b, q << kShift58);
        }
        while (first < limbs.size() && limbs[first] == 0) first++;
        for (uint64_t rest : {rest_a >> kShift58, rest_b >> kShift58})
            for (int k = 0; k < 10; k++) {
                digits.push_back(static_cast<uint8_t>(rest % 58));
                rest /= 58;
            }
    }
    while (!digits.empty() && digits.back() == 0) digits.pop_back();
    for (size_t i = 0; i < zeros; i++) *dest++ = '1';
    for (size_t i = digits.size(); i-- > 0;) *dest++ = static_cast<uint8_t>(kBase58[digits[i]]);
    return dest;
}

// ---- Decoders ----

namespace {

// Reads the codepoints of a text one by one, skipping ";" comments up to the next line feed.
struct Reader {
    const uint8_t* text;
    int32_t length;
    uint32_t unit;
    int32_t at = 0;
    // The next codepoint, or -1 at the end.
    int64_t next() {
        while (at < length) {
            uint32_t c = string::get_char(text + size_t(at) * unit, unit);
            at++;
            if (c != ';') return c;
            while (at < length && string::get_char(text + size_t(at) * unit, unit) != '\n') at++;
        }
        return -1;
    }
};

bool ignorable(int64_t c) { return c == 8 || c == 9 || c == 10 || c == 12 || c == 13 || c == 32 || c == '\''; }

Node to_series(const std::vector<uint8_t>& bytes) {
    Node node = memory::alloc_bytes(static_cast<int32_t>(bytes.size() > 0 ? bytes.size() : 1));
    SeriesBuf* s = memory::nodes[node];
    if (!bytes.empty()) std::memcpy(s->at_head(), bytes.data(), bytes.size());
    s->tail = s->head + static_cast<uint32_t>(bytes.size());
    return node;
}

int hex_value(int64_t c) {
    if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
    if (c >= 'A' && c <= 'F') return static_cast<int>(c - 'A' + 10);
    if (c >= 'a' && c <= 'f') return static_cast<int>(c - 'a' + 10);
    return -1;
}

}  // namespace

Node decode_2(const uint8_t* text, int32_t length, uint32_t unit) {
    Reader r{text, length, unit};
    std::vector<uint8_t> out;
    uint32_t acc = 0;
    int bits = 0;
    for (int64_t c; (c = r.next()) >= 0;) {
        if (c <= 32) continue;
        if (c != '0' && c != '1') return 0;
        acc = (acc << 1) | uint32_t(c - '0');
        if (++bits == 8) {
            out.push_back(static_cast<uint8_t>(acc));
            acc = 0;
            bits = 0;
        }
    }
    if (bits != 0) return 0;
    return to_series(out);
}

Node decode_16(const uint8_t* text, int32_t length, uint32_t unit) {
    Reader r{text, length, unit};
    std::vector<uint8_t> out;
    int high = -1;
    for (int64_t c; (c = r.next()) >= 0;) {
        if (c <= 32) continue;
        int v = hex_value(c);
        if (v < 0) return 0;
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<uint8_t>((high << 4) | v));
            high = -1;
        }
    }
    return to_series(out);
}

Node decode_58(const uint8_t* text, int32_t length, uint32_t unit) {
    Reader r{text, length, unit};
    std::vector<uint8_t> digits;
    for (int64_t c; (c = r.next()) >= 0;) {
        if (c > 127) break;
        if (ignorable(c)) continue;
        const char* p = c ? std::strchr(kBase58, static_cast<int>(c)) : nullptr;
        if (!p) return 0;
        digits.push_back(static_cast<uint8_t>(p - kBase58));
    }
    size_t zeros = 0;
    while (zeros < digits.size() && digits[zeros] == 0) zeros++;
    // Little-endian 64-bit limbs; ten digits are folded in per multiplication by 58^k.
    std::vector<uint64_t> limbs;
    limbs.reserve((digits.size() - zeros) * 3 / 32 + 2);
    for (size_t i = zeros; i < digits.size();) {
        uint64_t factor = 1, chunk = 0;
        for (int k = 0; k < 10 && i < digits.size(); k++, i++) {
            factor *= 58;
            chunk = chunk * 58 + digits[i];
        }
        uint64_t carry = chunk;
        for (uint64_t& limb : limbs) {
            unsigned __int128 cur = static_cast<unsigned __int128>(limb) * factor + carry;
            limb = static_cast<uint64_t>(cur);
            carry = static_cast<uint64_t>(cur >> 64);
        }
        if (carry) limbs.push_back(carry);
    }
    std::vector<uint8_t> out(zeros, 0);
    size_t nbytes = limbs.size() * 8;
    size_t skip = 0;
    while (skip < nbytes) {
        size_t k = nbytes - 1 - skip;
        if ((limbs[k / 8] >> (8 * (k % 8))) & 0xFF) break;
        skip++;
    }
    for (size_t i = skip; i < nbytes; i++) {
        size_t k = nbytes - 1 - i;
        out.push_back(static_cast<uint8_t>(limbs[k / 8] >> (8 * (k % 8))));
    }
    return to_series(out);
}

Node decode_64(const uint8_t* text, int32_t length, uint32_t unit) {
    Reader r{text, length, unit};
    std::vector<uint8_t> out;
    uint32_t acc = 0;
    int pending = 0;
    for (int64_t c; (c = r.next()) >= 0;) {
        if (ignorable(c)) continue;
        if (c == '=') {
            if (pending == 3) {
                out.push_back(static_cast<uint8_t>(acc >> 10));
                out.push_back(static_cast<uint8_t>(acc >> 2));
            } else if (pending == 2) {
                out.push_back(static_cast<uint8_t>(acc >> 4));
            } else {
                return 0;
            }
            return to_series(out);
        }
        const char* p = c > 0 && c < 128 ? std::strchr(kBase64, static_cast<int>(c)) : nullptr;
        if (!p) return 0;
        acc = (acc << 6) | uint32_t(p - kBase64);
        if (++pending == 4) {
            out.push_back(static_cast<uint8_t>(acc >> 16));
            out.push_back(static_cast<uint8_t>(acc >> 8));
            out.push_back(static_cast<uint8_t>(acc));
            acc = 0;
            pending = 0;
        }
    }
    // Unpadded text: a final group of two or three characters still gives its bytes.
    if (pending == 1) return 0;
    if (pending == 3) {
        out.push_back(static_cast<uint8_t>(acc >> 10));
        out.push_back(static_cast<uint8_t>(acc >> 2));
    } else if (pending == 2) {
        out.push_back(static_cast<uint8_t>(acc >> 4));
    }
    return to_series(out);
}

}  // namespace binary
