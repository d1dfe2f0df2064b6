#include "loading/lz.h"

#include <algorithm>

namespace compress {

namespace {

constexpr uint32_t kMaxBlock = 0x100000;
constexpr uint32_t kMaxMatch = 566;
constexpr uint32_t kWindow = 0x40000;
constexpr uint32_t kLinks = 0x40000;  // ring of chain links, one per position in the window
constexpr uint32_t kHash3Bits = 19, kHash4Bits = 20;
constexpr int kChainTries = 256;

inline uint32_t read32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline void write32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; i++) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// The hashes of the 3 and 4 bytes at a position, as a running hash from a zero state gives them.
inline uint32_t hash3(const uint8_t* p) {
    return ((uint32_t(p[0]) << 14) + (uint32_t(p[1]) << 7) + p[2]) & ((1u << kHash3Bits) - 1);
}
inline uint32_t hash4(const uint8_t* p) {
    return ((uint32_t(p[0]) << 15) + (uint32_t(p[1]) << 10) + (uint32_t(p[2]) << 5) + p[3]) &
           ((1u << kHash4Bits) - 1);
}

struct BitWriter {
    uint8_t* out;
    size_t cap;
    size_t pos;
    uint64_t acc = 0;
    int count = 0;
    bool overflow = false;

    void put(uint32_t value, int bits) {
        acc |= uint64_t(value) << count;
        count += bits;
        while (count >= 8) {
            if (pos < cap) out[pos] = static_cast<uint8_t>(acc);
            else overflow = true;
            pos++;
            acc >>= 8;
            count -= 8;
        }
    }
    void flush() {
        if (count > 0) put(0, 8 - count);
    }
};

void put_match(BitWriter& w, uint32_t length, uint32_t distance) {
    w.put(1, 1);
    uint32_t e = length - 3;
    // Length codes: a unary prefix, then a field; the prefix bits go out one at a time.
    if (e < 4) w.put(1, 1), w.put(e, 2);
    else if (e < 8) w.put(2, 2), w.put(e - 4, 2);
    else if (e < 12) w.put(4, 3), w.put(e - 8, 2);
    else if (e < 20) w.put(8, 4), w.put(e - 12, 3);
    else if (e < 52) w.put(16, 5), w.put(e - 20, 5);
    else w.put(0, 5), w.put(e - 52, 9);
    uint32_t d = distance - 1;
    uint32_t j = 2;
    while (d >= (2u << j)) j++;
    w.put(j - 2, 4);
    if (j == 2) w.put(d, 3);
    else w.put(d - (1u << j), static_cast<int>(j));
}

struct BitReader {
    const uint8_t* in;
    size_t end;
    size_t pos;
    uint64_t acc = 0;
    int count = 0;

    // Reads k bits (k <= 24); false when the input ends first.
    bool bits(int k, uint32_t& v) {
        while (count < k) {
            if (pos >= end) return false;
            acc |= uint64_t(in[pos++]) << count;
            count += 8;
        }
        v = static_cast<uint32_t>(acc & ((1u << k) - 1));
        acc >>= k;
        count -= k;
        return true;
    }
};

}  // namespace

int64_t compress(const uint8_t* in, size_t n, uint8_t* out) {
    if (n < 128 || n > 0xFFFFFFFFu) return -1;
    std::vector<int32_t> head3(size_t(1) << kHash3Bits), head4(size_t(1) << kHash4Bits), links(kLinks);
    BitWriter w{out, n - 8, 8};
    for (size_t start = 0; start < n; start += kMaxBlock) {
        uint32_t len = static_cast<uint32_t>(n - start < kMaxBlock ? n - start : kMaxBlock);
        const uint8_t* b = in + start;
        if (w.pos + 4 > w.cap) return -1;
        write32(out + w.pos, len);
        w.pos += 4;
        std::fill(head3.begin(), head3.end(), -1);
        std::fill(head4.begin(), head4.end(), -1);
        auto enter = [&](uint32_t p) {
            if (p + 3 <= len) head3[hash3(b + p)] = static_cast<int32_t>(p);
            if (p + 4 <= len) {
                uint32_t h = hash4(b + p);
                links[p % kLinks] = head4[h];
                head4[h] = static_cast<int32_t>(p);
            }
        };
        auto match_length = [&](uint32_t c, uint32_t p) {
            uint32_t limit = len - p < kMaxMatch ? len - p : kMaxMatch;
            uint32_t l = 0;
            while (l < limit && b[c + l] == b[p + l]) l++;
            return l;
        };
        uint32_t p = 0;
        while (p < len) {
            uint32_t best = 0, best_dist = 0;
            if (p + 3 <= len) {
                int32_t c = head3[hash3(b + p)];
                if (c >= 0 && p - uint32_t(c) <= kWindow) {
                    uint32_t l = match_length(uint32_t(c), p);
                    if (l >= 3) best = l, best_dist = p - uint32_t(c);
                }
            }
            if (best < kMaxMatch && p + 4 <= len) {
                int32_t c = head4[hash4(b + p)];
                uint32_t previous = p;
                for (int tries = 0; tries < kChainTries && c >= 0; tries++) {
                    uint32_t cu = uint32_t(c);
                    // Links are a ring: a stale one points forward or out of the window.
                    if (cu >= previous || p - cu > kWindow) break;
                    previous = cu;
                    if (b[cu] == b[p] && (best == 0 || (p + best < len && b[cu + best] == b[p + best]))) {
                        uint32_t l = match_length(cu, p);
                        uint32_t dist = p - cu;
                        // A farther match must pay for its longer distance code.
                        uint32_t cost = 0;
                        for (uint32_t x = dist >> 4; x > best_dist; x >>= 3) cost++;
                        if (l >= 3 && (best == 0 || l > best + cost)) {
                            best = l;
                            best_dist = dist;
                            if (best == kMaxMatch) break;
                        }
                    }
                    c = links[cu % kLinks];
                }
            }
            if (best == 3 && best_dist > 0x10000) best = 0;
            if (best < 3) {
                w.put(0, 1);
                w.put(b[p], 8);
                enter(p);
                p++;
            } else {
                put_match(w, best, best_dist);
                for (uint32_t k = 0; k < best; k++) enter(p + k);
                p += best;
            }
            if (w.overflow) return -1;
        }
        w.put(0, 7);
        w.flush();
        if (w.overflow) return -1;
    }
    write32(out, static_cast<uint32_t>(w.pos - 8));
    write32(out + 4, static_cast<uint32_t>(n));
    return static_cast<int64_t>(w.pos);
}

bool decompress(const uint8_t* stream, size_t size, std::vector<uint8_t>& out) {
    out.clear();
    auto fail = [&] {
        out.clear();
        return false;
    };
    if (size < 8) return fail();
    uint32_t packed = read32(stream), unpacked = read32(stream + 4);
    if (packed > size - 8) return fail();
    size_t end = 8 + size_t(packed);
    size_t pos = 8;
    while (pos < end) {
        if (end - pos < 4) return fail();
        uint32_t n = read32(stream + pos);
        pos += 4;
        if (n < 1 || n > kMaxBlock || n > unpacked - out.size()) return fail();
        size_t i = out.size();
        size_t block_end = i + n;
        out.resize(block_end);
        uint8_t* o = out.data();
        BitReader r{stream, end, pos};
        while (i < block_end) {
            uint32_t bit, v;
            if (!r.bits(1, bit)) return fail();
            if (bit == 0) {
                if (!r.bits(8, v)) return fail();
                o[i++] = static_cast<uint8_t>(v);
                continue;
            }
            // Length: a prefix of up to five 0 bits ended by a 1, or five 0 bits.
            static constexpr uint8_t kFieldBits[6] = {2, 2, 2, 3, 5, 9};
            static constexpr uint16_t kBase[6] = {0, 4, 8, 12, 20, 52};
            int zeros = 0;
            for (; zeros < 5; zeros++) {
                if (!r.bits(1, bit)) return fail();
                if (bit) break;
            }
            if (!r.bits(kFieldBits[zeros], v)) return fail();
            size_t length = kBase[zeros] + v + 3;
            uint32_t j;
            if (!r.bits(4, j)) return fail();
            j += 2;
            uint32_t d;
            if (j == 2) {
                if (!r.bits(3, d)) return fail();
            } else {
                if (!r.bits(static_cast<int>(j), v)) return fail();
                d = (1u << j) + v;
            }
            size_t distance = size_t(d) + 1;
            if (distance > i || length > block_end - i) return fail();
            for (size_t k = 0; k < length; k++, i++) o[i] = o[i - distance];
        }
        // The block's bits end with 7 zero bits, then padding to the byte.
        uint32_t end_bits;
        if (!r.bits(7, end_bits)) return fail();
        pos = r.pos;
    }
    if (out.size() != unpacked) return fail();
    return true;
}

}  // namespace compress
