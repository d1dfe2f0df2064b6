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

// Base 58 over 32-bit limbs: the number is divided by 58^5 at a time, giving five digits per
// pass, so long inputs take a fifth of the passes of digit-by-digit division.
uint8_t* encode_58(uint8_t* dest, const uint8_t* source, size_t count) {
    size_t zeros = 0;
    while (zeros < count && source[zeros] == 0) zeros++;
    // Big-endian limbs of the bytes after the leading zeros.
    size_t n = count - zeros;
    std::vector<uint32_t> limbs((n + 3) / 4, 0);
    for (size_t i = 0; i < n; i++) {
        size_t from_end = n - 1 - i;
        limbs[limbs.size() - 1 - from_end / 4] |= uint32_t(source[zeros + i]) << (8 * (from_end % 4));
    }
    constexpr uint32_t kChunk = 656356768;  // 58^5
    std::vector<uint8_t> digits;  // least significant first
    size_t first = 0;
    while (first < limbs.size()) {
        uint64_t rest = 0;
        for (size_t i = first; i < limbs.size(); i++) {
            uint64_t cur = (rest << 32) | limbs[i];
            limbs[i] = static_cast<uint32_t>(cur / kChunk);
            rest = cur % kChunk;
        }
        while (first < limbs.size() && limbs[first] == 0) first++;
        for (int k = 0; k < 5; k++) {
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
    // Little-endian 32-bit limbs; five digits are folded in per multiplication by 58^k.
    std::vector<uint32_t> limbs;
    for (size_t i = zeros; i < digits.size();) {
        uint64_t factor = 1, chunk = 0;
        for (int k = 0; k < 5 && i < digits.size(); k++, i++) {
            factor *= 58;
            chunk = chunk * 58 + digits[i];
        }
        uint64_t carry = chunk;
        for (uint32_t& limb : limbs) {
            uint64_t cur = uint64_t(limb) * factor + carry;
            limb = static_cast<uint32_t>(cur);
            carry = cur >> 32;
        }
        if (carry) limbs.push_back(static_cast<uint32_t>(carry));
    }
    std::vector<uint8_t> out(zeros, 0);
    size_t nbytes = limbs.size() * 4;
    size_t skip = 0;
    while (skip < nbytes) {
        size_t k = nbytes - 1 - skip;
        if ((limbs[k / 4] >> (8 * (k % 4))) & 0xFF) break;
        skip++;
    }
    for (size_t i = skip; i < nbytes; i++) {
        size_t k = nbytes - 1 - i;
        out.push_back(static_cast<uint8_t>(limbs[k / 4] >> (8 * (k % 4))));
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
