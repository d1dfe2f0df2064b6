#include "loading/deflate.h"

#include <cstring>
#include <initializer_list>

#include "services/checksum.h"

namespace compress {

namespace {

// ---- Tables of the DEFLATE format ----

constexpr uint16_t kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                      31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                      2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint16_t kDistBase[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,
                                    33,  49,  65,  97,  129, 193,  257,  385,  513,  769,
                                    1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr uint8_t kDistExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                    6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
constexpr uint8_t kCodeLengthOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

constexpr uint32_t reverse_bits(uint32_t code, int length) {
    uint32_t r = 0;
    for (int i = 0; i < length; i++) r |= ((code >> i) & 1u) << (length - 1 - i);
    return r;
}

// The fixed literal/length code, already bit-reversed for the LSB-first stream.
struct FixedCode {
    uint16_t code[288];
    uint8_t length[288];
};
constexpr FixedCode make_fixed_code() {
    FixedCode f{};
    for (int s = 0; s < 288; s++) {
        uint32_t c = 0;
        int l = 0;
        if (s < 144) c = 0x30 + s, l = 8;
        else if (s < 256) c = 0x190 + (s - 144), l = 9;
        else if (s < 280) c = s - 256, l = 7;
        else c = 0xC0 + (s - 280), l = 8;
        f.code[s] = static_cast<uint16_t>(reverse_bits(c, l));
        f.length[s] = static_cast<uint8_t>(l);
    }
    return f;
}
constexpr FixedCode kFixed = make_fixed_code();

inline int floor_log2(uint32_t v) { return 31 - __builtin_clz(v); }

// ---- Bit writer: counts every byte, stores only those within the capacity ----

struct BitWriter {
    uint8_t* out;
    size_t cap;
    size_t pos = 0;
    uint64_t acc = 0;
    int count = 0;

    void put(uint32_t value, int bits) {
        acc |= uint64_t(value) << count;
        count += bits;
        while (count >= 8) {
            if (pos < cap) out[pos] = static_cast<uint8_t>(acc);
            pos++;
            acc >>= 8;
            count -= 8;
        }
    }
    void flush() {
        if (count > 0) put(0, 8 - count);
    }
};

inline void emit_literal(BitWriter& w, uint8_t byte) { w.put(kFixed.code[byte], kFixed.length[byte]); }

inline void emit_match(BitWriter& w, uint32_t length, uint32_t distance) {
    if (length == 258) {
        w.put(kFixed.code[285], kFixed.length[285]);
    } else {
        uint32_t v = length - 3;
        if (v < 8) {
            w.put(kFixed.code[257 + v], kFixed.length[257 + v]);
        } else {
            int lg = floor_log2(v);
            int extra = lg - 2;
            uint32_t sym = 257 + 4 * uint32_t(lg - 1) + ((v >> extra) & 3);
            w.put(kFixed.code[sym], kFixed.length[sym]);
            w.put(v & ((1u << extra) - 1), extra);
        }
    }
    uint32_t d = distance - 1;
    if (d < 4) {
        w.put(reverse_bits(d, 5), 5);
    } else {
        int lg = floor_log2(d);
        int extra = lg - 1;
        uint32_t sym = 2 * uint32_t(lg) + ((d >> extra) & 1);
        w.put(reverse_bits(sym, 5), 5);
        w.put(d & ((1u << extra) - 1), extra);
    }
}

inline uint32_t hash3(const uint8_t* p) {
    uint32_t x = uint32_t(p[0]) ^ (uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2]);
    x *= 0x7FEB352Du;
    x = (x ^ (x >> 15)) * 0x846CA68Bu;
    return (x ^ (x >> 16)) & 0x3FF;
}

// ---- Inflater ----

constexpr int kMaxBits = 15;
// Codes up to this long are decoded by one table look-up; longer ones bit by bit.
constexpr int kFastBits = 9;

// A canonical Huffman code: the number of codes of each length and the symbols in code order.
// fast maps the next kFastBits input bits (first bit lowest) to symbol << 4 | length for the code
// of at most kFastBits bits they start with, or to 0 where that code is longer or missing.
struct Huffman {
    uint16_t count[kMaxBits + 1];
    uint16_t symbol[288];
    uint16_t fast[1 << kFastBits];
};

// Builds a code from code lengths. Answers 0 for a complete code, above 0 for an incomplete one,
// below 0 for an over-subscribed one (which is never usable).
int build_huffman(Huffman& h, const uint8_t* lengths, int n) {
    std::memset(h.count, 0, sizeof h.count);
    std::memset(h.fast, 0, sizeof h.fast);
    for (int s = 0; s < n; s++) h.count[lengths[s]]++;
    if (h.count[0] == n) return 0;  // no codes: complete, but any use of it fails
    int left = 1;
    for (int len = 1; len <= kMaxBits; len++) {
        left <<= 1;
        left -= h.count[len];
        if (left < 0) return left;
    }
    uint16_t offsets[kMaxBits + 1];
    offsets[1] = 0;
    for (int len = 1; len < kMaxBits; len++) offsets[len + 1] = offsets[len] + h.count[len];
    for (int s = 0; s < n; s++)
        if (lengths[s] != 0) h.symbol[offsets[lengths[s]]++] = static_cast<uint16_t>(s);
    // Canonical codes in symbol order, as decode walks them; the stream sends a code's highest
    // bit first, so a table index holds the code reversed.
    uint32_t code = 0;
    int index = 0;
    for (int len = 1; len <= kFastBits; len++) {
        for (int k = 0; k < h.count[len]; k++, index++) {
            uint32_t entry = uint32_t(h.symbol[index]) << 4 | uint32_t(len);
            for (uint32_t w = reverse_bits(code + uint32_t(k), len); w < (1u << kFastBits); w += 1u << len)
                h.fast[w] = static_cast<uint16_t>(entry);
        }
        code = (code + h.count[len]) << 1;
    }
    return left;
}

struct Inflater {
    const uint8_t* in;
    size_t n;
    size_t pos = 0;
    uint64_t bitbuf = 0;
    int bitcount = 0;
    uint8_t* out;
    size_t cap;
    size_t produced = 0;

    // Makes at least k bits (k <= 32) available; false when the input ends first.
    bool need(int k) {
        while (bitcount < k) {
            if (pos >= n) return false;
            bitbuf |= uint64_t(in[pos++]) << bitcount;
            bitcount += 8;
        }
        return true;
    }
    uint32_t take(int k) {
        uint32_t v = static_cast<uint32_t>(bitbuf & ((uint64_t(1) << k) - 1));
        bitbuf >>= k;
        bitcount -= k;
        return v;
    }
    // Reads k bits into v; false when the input ends first.
    bool bits(int k, uint32_t& v) {
        if (!need(k)) return false;
        v = take(k);
        return true;
    }

    // The next symbol of a code, or -1 for a truncated stream or a code the table lacks.
    int decode(const Huffman& h) {
        // Load what the longest code could need, as far as the input allows.
        while (bitcount < kMaxBits && pos < n) {
            bitbuf |= uint64_t(in[pos++]) << bitcount;
            bitcount += 8;
        }
        // Bits past bitcount are zero, so an entry no longer than the bits held is the code the
        // walk below would find.
        uint32_t entry = h.fast[bitbuf & ((1u << kFastBits) - 1)];
        if (entry != 0 && int(entry & 15) <= bitcount) {
            take(int(entry & 15));
            return int(entry >> 4);
        }
        int code = 0, first = 0, index = 0;
        uint64_t b = bitbuf;
        int avail = bitcount;
        for (int len = 1; len <= kMaxBits; len++) {
            if (len > avail) return -1;
            code |= static_cast<int>(b & 1);
            b >>= 1;
            int count = h.count[len];
            if (code - count < first) {
                take(len);
                return h.symbol[index + (code - first)];
            }
            index += count;
            first += count;
            first <<= 1;
            code <<= 1;
        }
        return -1;
    }

    void put(uint8_t byte) {
        if (produced < cap) out[produced] = byte;
        produced++;
    }

    int stored() {
        // Drop to the byte boundary: whole bytes still in the bit buffer go back to the input.
        take(bitcount & 7);
        pos -= static_cast<size_t>(bitcount / 8);
        bitbuf = 0;
        bitcount = 0;
        if (n - pos < 4) return kStoredShort;
        size_t len = size_t(in[pos]) | size_t(in[pos + 1]) << 8;
        pos += 4;  // the complement is not checked
        if (len > n - pos) return kStoredShort;
        if (produced < cap) std::memcpy(out + produced, in + pos, len < cap - produced ? len : cap - produced);
        produced += len;
        pos += len;
        return kOk;
    }

    int codes(const Huffman& lencode, const Huffman& distcode) {
        // Decoded on a local copy: a byte written through out may alias any member, so working
        // on the members would store and reload the bit buffer around every output byte.
        Inflater local = *this;
        int r = local.decode_symbols(lencode, distcode);
        *this = local;
        return r;
    }

    int decode_symbols(const Huffman& lencode, const Huffman& distcode) {
        for (;;) {
            int sym = decode(lencode);
            if (sym < 0) return kCorrupt;
            if (sym < 256) {
                put(static_cast<uint8_t>(sym));
                continue;
            }
            if (sym == 256) return kOk;
            sym -= 257;
            if (sym >= 29) return kCorrupt;
            uint32_t extra;
            if (!bits(kLengthExtra[sym], extra)) return kCorrupt;
            size_t length = kLengthBase[sym] + extra;
            int dsym = decode(distcode);
            if (dsym < 0 || dsym >= 30) return kCorrupt;
            if (!bits(kDistExtra[dsym], extra)) return kCorrupt;
            size_t distance = kDistBase[dsym] + extra;
            if (distance > produced) return kBadDistance;
            if (produced + length <= cap) {
                uint8_t* d = out + produced;
                const uint8_t* s = d - distance;
                for (size_t i = 0; i < length; i++) d[i] = s[i];
                produced += length;
            } else {
                // Only what fits is written; a source byte always lies before the write position.
                for (size_t i = 0; i < length; i++) {
                    if (produced < cap) out[produced] = out[produced - distance];
                    produced++;
                }
            }
        }
    }

    int fixed() {
        static const struct Tables {
            Huffman lencode, distcode;
            Tables() {
                uint8_t lengths[288];
                for (int s = 0; s < 288; s++) lengths[s] = s < 144 ? 8 : s < 256 ? 9 : s < 280 ? 7 : 8;
                build_huffman(lencode, lengths, 288);
                for (int s = 0; s < 30; s++) lengths[s] = 5;
                build_huffman(distcode, lengths, 30);
            }
        } tables;
        return codes(tables.lencode, tables.distcode);
    }

    int dynamic() {
        uint32_t hlit, hdist, hclen;
        if (!bits(5, hlit) || !bits(5, hdist) || !bits(4, hclen)) return kCorrupt;
        hlit += 257;
        hdist += 1;
        hclen += 4;
        if (hlit > 286 || hdist > 30) return kCorrupt;
        uint8_t lengths[286 + 30] = {};
        for (uint32_t i = 0; i < hclen; i++) {
            uint32_t v;
            if (!bits(3, v)) return kCorrupt;
            lengths[kCodeLengthOrder[i]] = static_cast<uint8_t>(v);
        }
        Huffman lencode, distcode;
        if (build_huffman(lencode, lengths, 19) != 0) return kCorrupt;
        uint32_t total = hlit + hdist;
        uint32_t index = 0;
        while (index < total) {
            int sym = decode(lencode);
            if (sym < 0) return kCorrupt;
            if (sym < 16) {
                lengths[index++] = static_cast<uint8_t>(sym);
                continue;
            }
            uint8_t value = 0;
            uint32_t repeat;
            if (sym == 16) {
                if (index == 0) return kCorrupt;
                value = lengths[index - 1];
                if (!bits(2, repeat)) return kCorrupt;
                repeat += 3;
            } else if (sym == 17) {
                if (!bits(3, repeat)) return kCorrupt;
                repeat += 3;
            } else {
                if (!bits(7, repeat)) return kCorrupt;
                repeat += 11;
            }
            if (repeat > total - index) return kCorrupt;
            while (repeat--) lengths[index++] = value;
        }
        if (lengths[256] == 0) return kCorrupt;  // no end-of-block code
        // An incomplete code is only acceptable with a single code in it.
        int err = build_huffman(lencode, lengths, static_cast<int>(hlit));
        if (err < 0 || (err > 0 && hlit - lencode.count[0] != 1)) return kCorrupt;
        err = build_huffman(distcode, lengths + hlit, static_cast<int>(hdist));
        if (err < 0 || (err > 0 && hdist - distcode.count[0] != 1)) return kCorrupt;
        return codes(lencode, distcode);
    }

    int run() {
        for (;;) {
            // The input ending between blocks ends the data (only zero padding may remain).
            if (pos >= n && (bitbuf & ((uint64_t(1) << bitcount) - 1)) == 0) return kOk;
            uint32_t last, type;
            if (!bits(1, last) || !bits(2, type)) return kCorrupt;
            int r;
            switch (type) {
                case 0: r = stored(); break;
                case 1: r = fixed(); break;
                case 2: r = dynamic(); break;
                default: return kBadBlockType;
            }
            if (r != kOk) return r;
            if (last) return kOk;
        }
    }
};

}  // namespace

int deflate(uint8_t* out, size_t* len, const uint8_t* in, size_t n) {
    BitWriter w{out, *len};
    w.put(1, 1);  // final block
    w.put(1, 2);  // fixed codes
    uint32_t table[1024][4];
    std::memset(table, 0, sizeof table);
    size_t p = 0;
    while (p < n) {
        if (p < 3 || n - p < 3) {
            emit_literal(w, in[p]);
            p++;
            continue;
        }
        uint32_t bucket = hash3(in + p);
        size_t length = 0, distance = 0;
        for (int slot = 0; slot < 4; slot++) {
            size_t q = table[bucket][slot];
            if (q == 0 || q >= p || p - q >= 32768) continue;
            if (in[q] != in[p] || in[q + 1] != in[p + 1] || in[q + 2] != in[p + 2]) continue;
            size_t limit = n - p < 258 ? n - p : 258;
            size_t l = 3;
            while (l < limit && in[q + l] == in[p + l]) l++;
            length = l;
            distance = p - q;
            break;
        }
        size_t item = p;
        if (length) {
            emit_match(w, static_cast<uint32_t>(length), static_cast<uint32_t>(distance));
            p += length;
        } else {
            emit_literal(w, in[p]);
            p++;
        }
        // Positions are below 2^32 for every input a value can hold; larger ones are not kept.
        int slot = p + 2 < n ? ((in[p + 1] >> 6) - in[p + 2]) & 3 : 0;
        if (item <= 0xFFFFFFFFu) table[bucket][slot] = static_cast<uint32_t>(item);
    }
    w.put(0, 7);  // end of block
    w.flush();
    bool fits = w.pos <= *len;
    *len = w.pos;
    return fits ? kOk : kShort;
}

// inflate, also telling how many input bytes the stream took (up to the byte that holds its last
// bit): what follows it in a gzip file is the member's trailer.
static int inflate_used(uint8_t* out, size_t* len, const uint8_t* in, size_t n, size_t* used) {
    Inflater f;
    f.in = in;
    f.n = n;
    f.out = out;
    f.cap = out ? *len : 0;
    int r = f.run();
    *len = f.produced;
    *used = f.pos - size_t(f.bitcount / 8);
    if (r != kOk) return r;
    return f.produced > f.cap ? kShort : kOk;
}

int inflate(uint8_t* out, size_t* len, const uint8_t* in, size_t n) {
    size_t used;
    return inflate_used(out, len, in, n, &used);
}

// ---- zlib ----

int zlib(uint8_t* out, size_t* len, const uint8_t* in, size_t n) {
    size_t cap = out ? *len : 0;
    size_t dlen = cap >= 6 ? cap - 6 : 0;
    int r = deflate(cap >= 6 ? out + 2 : nullptr, &dlen, in, n);
    *len = dlen + 6;
    if (r != kOk || cap < 6) return kShort;
    out[0] = 0x78;
    out[1] = 0x01;
    uint32_t a = checksum::adler32(in, n);
    uint8_t* t = out + 2 + dlen;
    t[0] = uint8_t(a >> 24), t[1] = uint8_t(a >> 16), t[2] = uint8_t(a >> 8), t[3] = uint8_t(a);
    return kOk;
}

int unzlib(uint8_t* out, size_t* len, const uint8_t* in, size_t n) {
    if (n < 6) return kCorrupt;
    uint32_t cmf = in[0], flg = in[1];
    if ((cmf * 256 + flg) % 31 != 0 || (cmf & 0x0F) != 8 || (cmf >> 4) >= 8 || (flg & 0x20)) return kCorrupt;
    int r = inflate(out, len, in + 2, n - 6);
    if (r != kOk) return r;
    const uint8_t* t = in + n - 4;
    uint32_t want = uint32_t(t[0]) << 24 | uint32_t(t[1]) << 16 | uint32_t(t[2]) << 8 | t[3];
    return checksum::adler32(out, *len) == want ? kOk : kCorrupt;
}

// ---- gzip ----

int gzip(uint8_t* out, size_t* len, const uint8_t* in, size_t n) {
    size_t cap = out ? *len : 0;
    size_t dlen = cap >= 18 ? cap - 18 : 0;
    int r = deflate(cap >= 18 ? out + 10 : nullptr, &dlen, in, n);
    *len = dlen + 18;
    if (r != kOk || cap < 18) return kShort;
    static constexpr uint8_t kHeader[10] = {0x1F, 0x8B, 0x08, 0x00, 0, 0, 0, 0, 0x04, 0x04};
    std::memcpy(out, kHeader, 10);
    uint32_t c = checksum::crc32(in, n);
    uint32_t size = static_cast<uint32_t>(n);
    uint8_t* t = out + 10 + dlen;
    for (int i = 0; i < 4; i++) t[i] = uint8_t(c >> (8 * i)), t[4 + i] = uint8_t(size >> (8 * i));
    return kOk;
}

// One member at the head of in: its data goes to out (capacity *len) and *len becomes its size;
// *used is the member's length with its trailer.
static int gunzip_member(uint8_t* out, size_t* len, const uint8_t* in, size_t n, size_t* used) {
    if (n < 18) return kCorrupt;
    if (in[0] != 0x1F || in[1] != 0x8B || in[2] != 8 || (in[3] & 0xE0)) return kCorrupt;
    uint8_t flags = in[3];
    size_t end = n - 8;  // room for the trailer at least
    size_t pos = 10;
    if (flags & 0x04) {  // FEXTRA
        if (end - pos < 2) return kCorrupt;
        size_t xlen = size_t(in[pos]) | size_t(in[pos + 1]) << 8;
        pos += 2;
        if (xlen > end - pos) return kCorrupt;
        pos += xlen;
    }
    for (uint8_t bit : {uint8_t(0x08), uint8_t(0x10)}) {  // FNAME, FCOMMENT
        if (!(flags & bit)) continue;
        const void* zero = std::memchr(in + pos, 0, end - pos);
        if (!zero) return kCorrupt;
        pos = static_cast<size_t>(static_cast<const uint8_t*>(zero) - in) + 1;
    }
    if (flags & 0x02) {  // FHCRC
        if (end - pos < 2) return kCorrupt;
        uint32_t want = uint32_t(in[pos]) | uint32_t(in[pos + 1]) << 8;
        if ((checksum::crc32(in, pos) & 0xFFFF) != want) return kCorrupt;
        pos += 2;
    }
    size_t cap = *len;
    size_t produced = cap, data = 0;
    int r = inflate_used(out, &produced, in + pos, end - pos, &data);
    if (r != kOk && r != kShort) return r;
    const uint8_t* t = in + pos + data;  // within the input: data <= end - pos
    uint32_t want_crc = uint32_t(t[0]) | uint32_t(t[1]) << 8 | uint32_t(t[2]) << 16 | uint32_t(t[3]) << 24;
    uint32_t isize = uint32_t(t[4]) | uint32_t(t[5]) << 8 | uint32_t(t[6]) << 16 | uint32_t(t[7]) << 24;
    // The size in the trailer must be that of the data really inflated (modulo 2^32).
    if (static_cast<uint32_t>(produced) != isize) return kCorrupt;
    *len = produced;
    *used = pos + data + 8;
    if (r == kShort) return kShort;
    return checksum::crc32(out, produced) == want_crc ? kOk : kCorrupt;
}

int gunzip(uint8_t* out, size_t* len, const uint8_t* in, size_t n) {
    // A gzip file is a series of members (as `cat a.gz b.gz` makes): their data joined. Once
    // one does not fit, the rest are only measured, so *len ends as the whole size needed.
    size_t cap = out ? *len : 0;
    size_t total = 0, start = 0;
    bool fits = true;
    do {
        size_t room = fits ? cap - total : 0;
        size_t used = 0;
        int r = gunzip_member(room ? out + total : nullptr, &room, in + start, n - start, &used);
        if (r == kShort) {
            fits = false;
        } else if (r != kOk) {
            return r;
        }
        total += room;
        start += used;
    } while (start < n);
    *len = total;
    return fits ? kOk : kShort;
}

}  // namespace compress
