#include "services/checksum.h"

#include <array>
#include <cstring>

#include "datatypes/integer.h"
#include "datatypes/symbol.h"
#include "runtime/fire.h"

namespace checksum {

// ---- Method words ----

static const symbol::Known sym_tcp("tcp"), sym_md5("md5"), sym_sha1("sha1"), sym_crc32("crc32"),
    sym_adler32("adler32"), sym_sha256("sha256"), sym_sha384("sha384"), sym_sha512("sha512"), sym_hash("hash");

Method method_of(const Cell* word) {
    if (!types::word_like(word->type())) return kNone;
    struct Entry {
        const symbol::Known* sym;
        Method method;
    };
    static const Entry entries[] = {
        {&sym_md5, kMd5},     {&sym_sha1, kSha1},       {&sym_sha256, kSha256}, {&sym_sha384, kSha384},
        {&sym_sha512, kSha512}, {&sym_crc32, kCrc32},   {&sym_tcp, kTcp},       {&sym_adler32, kAdler32},
        {&sym_hash, kHash},
    };
    for (const Entry& e : entries)
        if (e.sym->is(word)) return e.method;
    return kNone;
}

int digest_size(int code) {
    switch (code) {
        case kMd5: return 16;
        case kSha1: return 20;
        case kSha256: return 32;
        case kSha384: return 48;
        case kSha512: return 64;
        default: return 0;
    }
}

// ---- CRC-32 ----

// Eight tables for slicing by eight: table k maps a byte to its CRC after k further zero bytes.
using CrcTables = std::array<std::array<uint32_t, 256>, 8>;

static constexpr CrcTables make_crc_tables() {
    CrcTables t{};
    for (uint32_t i = 0; i < 256; i++) {
        uint32_t c = i;
        for (int k = 0; k < 8; k++) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        t[0][i] = c;
    }
    for (uint32_t i = 0; i < 256; i++)
        for (int k = 1; k < 8; k++) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
    return t;
}

static constexpr CrcTables crc_tables = make_crc_tables();

static inline uint32_t load_le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint32_t crc32(const uint8_t* p, size_t n, uint32_t crc) {
    const auto& t = crc_tables;
    uint32_t c = ~crc;
    for (; n >= 8; n -= 8, p += 8) {
        uint32_t lo = load_le32(p) ^ c, hi = load_le32(p + 4);
        c = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^
            t[3][hi & 0xFF] ^ t[2][(hi >> 8) & 0xFF] ^ t[1][(hi >> 16) & 0xFF] ^ t[0][hi >> 24];
    }
    for (; n; n--, p++) c = t[0][(c ^ *p) & 0xFF] ^ (c >> 8);
    return ~c;
}

// ---- Adler-32 ----

uint32_t adler32(const uint8_t* p, size_t n, uint32_t adler) {
    constexpr uint32_t kBase = 65521;
    // The longest run whose sums cannot pass 2^32 before they are reduced.
    constexpr size_t kRun = 5552;
    uint32_t a = adler & 0xFFFF, b = adler >> 16;
    while (n) {
        size_t run = n < kRun ? n : kRun;
        n -= run;
        for (; run >= 8; run -= 8, p += 8) {
            a += p[0]; b += a; a += p[1]; b += a; a += p[2]; b += a; a += p[3]; b += a;
            a += p[4]; b += a; a += p[5]; b += a; a += p[6]; b += a; a += p[7]; b += a;
        }
        for (; run; run--, p++) {
            a += *p;
            b += a;
        }
        a %= kBase;
        b %= kBase;
    }
    return b << 16 | a;
}

// ---- Internet checksum ----

void Tcp::update(const uint8_t* p, size_t n) {
    if (!n) return;
    if (pending_ >= 0) {
        sum_ += uint32_t(pending_) << 8 | *p++;
        n--;
        pending_ = -1;
    }
    // A 64-bit sum of 16-bit words cannot overflow for any input that fits in memory; the
    // carries are folded once at the end.
    uint64_t s = sum_;
    for (; n >= 2; n -= 2, p += 2) s += uint32_t(p[0]) << 8 | p[1];
    if (n) pending_ = *p;
    sum_ = s;
}

uint16_t Tcp::result() const {
    uint64_t s = sum_;
    if (pending_ >= 0) s += uint32_t(pending_) << 8;
    while (s >> 16) s = (s & 0xFFFF) + (s >> 16);
    return static_cast<uint16_t>(~s & 0xFFFF);
}

uint16_t tcp(const uint8_t* bytes, size_t n) {
    Tcp t;
    t.update(bytes, n);
    return t.result();
}

// ---- Digests ----

namespace {

constexpr uint32_t md5_k[64] = {
    0xd76aa478u, 0xe8c7b756u, 0x242070dbu, 0xc1bdceeeu, 0xf57c0fafu, 0x4787c62au, 0xa8304613u, 0xfd469501u,
    0x698098d8u, 0x8b44f7afu, 0xffff5bb1u, 0x895cd7beu, 0x6b901122u, 0xfd987193u, 0xa679438eu, 0x49b40821u,
    0xf61e2562u, 0xc040b340u, 0x265e5a51u, 0xe9b6c7aau, 0xd62f105du, 0x02441453u, 0xd8a1e681u, 0xe7d3fbc8u,
    0x21e1cde6u, 0xc33707d6u, 0xf4d50d87u, 0x455a14edu, 0xa9e3e905u, 0xfcefa3f8u, 0x676f02d9u, 0x8d2a4c8au,
    0xfffa3942u, 0x8771f681u, 0x6d9d6122u, 0xfde5380cu, 0xa4beea44u, 0x4bdecfa9u, 0xf6bb4b60u, 0xbebfbc70u,
    0x289b7ec6u, 0xeaa127fau, 0xd4ef3085u, 0x04881d05u, 0xd9d4d039u, 0xe6db99e5u, 0x1fa27cf8u, 0xc4ac5665u,
    0xf4292244u, 0x432aff97u, 0xab9423a7u, 0xfc93a039u, 0x655b59c3u, 0x8f0ccc92u, 0xffeff47du, 0x85845dd1u,
    0x6fa87e4fu, 0xfe2ce6e0u, 0xa3014314u, 0x4e0811a1u, 0xf7537e82u, 0xbd3af235u, 0x2ad7d2bbu, 0xeb86d391u,
};
constexpr uint8_t md5_shift[16] = {7, 12, 17, 22, 5, 9, 14, 20, 4, 11, 16, 23, 6, 10, 15, 21};

constexpr uint32_t sha256_k[64] = {
    0x428a2f98u, 0x71374491u, 0xb5c0fbcfu, 0xe9b5dba5u, 0x3956c25bu, 0x59f111f1u, 0x923f82a4u, 0xab1c5ed5u,
    0xd807aa98u, 0x12835b01u, 0x243185beu, 0x550c7dc3u, 0x72be5d74u, 0x80deb1feu, 0x9bdc06a7u, 0xc19bf174u,
    0xe49b69c1u, 0xefbe4786u, 0x0fc19dc6u, 0x240ca1ccu, 0x2de92c6fu, 0x4a7484aau, 0x5cb0a9dcu, 0x76f988dau,
    0x983e5152u, 0xa831c66du, 0xb00327c8u, 0xbf597fc7u, 0xc6e00bf3u, 0xd5a79147u, 0x06ca6351u, 0x14292967u,
    0x27b70a85u, 0x2e1b2138u, 0x4d2c6dfcu, 0x53380d13u, 0x650a7354u, 0x766a0abbu, 0x81c2c92eu, 0x92722c85u,
    0xa2bfe8a1u, 0xa81a664bu, 0xc24b8b70u, 0xc76c51a3u, 0xd192e819u, 0xd6990624u, 0xf40e3585u, 0x106aa070u,
    0x19a4c116u, 0x1e376c08u, 0x2748774cu, 0x34b0bcb5u, 0x391c0cb3u, 0x4ed8aa4au, 0x5b9cca4fu, 0x682e6ff3u,
    0x748f82eeu, 0x78a5636fu, 0x84c87814u, 0x8cc70208u, 0x90befffau, 0xa4506cebu, 0xbef9a3f7u, 0xc67178f2u,
};

constexpr uint64_t sha512_k[80] = {
    0x428a2f98d728ae22ull, 0x7137449123ef65cdull, 0xb5c0fbcfec4d3b2full, 0xe9b5dba58189dbbcull,
    0x3956c25bf348b538ull, 0x59f111f1b605d019ull, 0x923f82a4af194f9bull, 0xab1c5ed5da6d8118ull,
    0xd807aa98a3030242ull, 0x12835b0145706fbeull, 0x243185be4ee4b28cull, 0x550c7dc3d5ffb4e2ull,
    0x72be5d74f27b896full, 0x80deb1fe3b1696b1ull, 0x9bdc06a725c71235ull, 0xc19bf174cf692694ull,
    0xe49b69c19ef14ad2ull, 0xefbe4786384f25e3ull, 0x0fc19dc68b8cd5b5ull, 0x240ca1cc77ac9c65ull,
    0x2de92c6f592b0275ull, 0x4a7484aa6ea6e483ull, 0x5cb0a9dcbd41fbd4ull, 0x76f988da831153b5ull,
    0x983e5152ee66dfabull, 0xa831c66d2db43210ull, 0xb00327c898fb213full, 0xbf597fc7beef0ee4ull,
    0xc6e00bf33da88fc2ull, 0xd5a79147930aa725ull, 0x06ca6351e003826full, 0x142929670a0e6e70ull,
    0x27b70a8546d22ffcull, 0x2e1b21385c26c926ull, 0x4d2c6dfc5ac42aedull, 0x53380d139d95b3dfull,
    0x650a73548baf63deull, 0x766a0abb3c77b2a8ull, 0x81c2c92e47edaee6ull, 0x92722c851482353bull,
    0xa2bfe8a14cf10364ull, 0xa81a664bbc423001ull, 0xc24b8b70d0f89791ull, 0xc76c51a30654be30ull,
    0xd192e819d6ef5218ull, 0xd69906245565a910ull, 0xf40e35855771202aull, 0x106aa07032bbd1b8ull,
    0x19a4c116b8d2d0c8ull, 0x1e376c085141ab53ull, 0x2748774cdf8eeb99ull, 0x34b0bcb5e19b48a8ull,
    0x391c0cb3c5c95a63ull, 0x4ed8aa4ae3418acbull, 0x5b9cca4f7763e373ull, 0x682e6ff3d6b2b8a3ull,
    0x748f82ee5defb2fcull, 0x78a5636f43172f60ull, 0x84c87814a1f0ab72ull, 0x8cc702081a6439ecull,
    0x90befffa23631e28ull, 0xa4506cebde82bde9ull, 0xbef9a3f7b2c67915ull, 0xc67178f2e372532bull,
    0xca273eceea26619cull, 0xd186b8c721c0c207ull, 0xeada7dd6cde0eb1eull, 0xf57d4f7fee6ed178ull,
    0x06f067aa72176fbaull, 0x0a637dc5a2c898a6ull, 0x113f9804bef90daeull, 0x1b710b35131c471bull,
    0x28db77f523047d84ull, 0x32caab7b40c72493ull, 0x3c9ebe0a15c9bebcull, 0x431d67c49c100d4cull,
    0x4cc5d4becb3e42b6ull, 0x597f299cfc657e2aull, 0x5fcb6fab3ad6faecull, 0x6c44198c4a475817ull,
};

constexpr uint32_t sha256_h[8] = {
    0x6a09e667u, 0xbb67ae85u, 0x3c6ef372u, 0xa54ff53au, 0x510e527fu, 0x9b05688cu, 0x1f83d9abu, 0x5be0cd19u,
};
constexpr uint64_t sha512_h[8] = {
    0x6a09e667f3bcc908ull, 0xbb67ae8584caa73bull, 0x3c6ef372fe94f82bull, 0xa54ff53a5f1d36f1ull,
    0x510e527fade682d1ull, 0x9b05688c2b3e6c1full, 0x1f83d9abfb41bd6bull, 0x5be0cd19137e2179ull,
};
constexpr uint64_t sha384_h[8] = {
    0xcbbb9d5dc1059ed8ull, 0x629a292a367cd507ull, 0x9159015a3070dd17ull, 0x152fecd8f70e5939ull,
    0x67332667ffc00b31ull, 0x8eb44a8768581511ull, 0xdb0c2e0d64f98fa7ull, 0x47b5481dbefa4fa4ull,
};

inline uint32_t rotl32(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }
inline uint32_t rotr32(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }
inline uint64_t rotr64(uint64_t x, int n) { return (x >> n) | (x << (64 - n)); }

inline uint32_t load_be32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}
inline uint64_t load_be64(const uint8_t* p) { return uint64_t(load_be32(p)) << 32 | load_be32(p + 4); }
inline void store_be32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}
inline void store_le32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}
inline void store_be64(uint8_t* p, uint64_t v) {
    store_be32(p, uint32_t(v >> 32));
    store_be32(p + 4, uint32_t(v));
}

void md5_block(uint32_t* h, const uint8_t* block) {
    uint32_t m[16];
    for (int i = 0; i < 16; i++) m[i] = load_le32(block + 4 * i);
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3];
    for (int i = 0; i < 64; i++) {
        uint32_t f;
        int g;
        switch (i >> 4) {
            case 0: f = (b & c) | (~b & d); g = i; break;
            case 1: f = (d & b) | (~d & c); g = (5 * i + 1) & 15; break;
            case 2: f = b ^ c ^ d; g = (3 * i + 5) & 15; break;
            default: f = c ^ (b | ~d); g = (7 * i) & 15; break;
        }
        uint32_t t = d;
        d = c;
        c = b;
        b = b + rotl32(a + f + md5_k[i] + m[g], md5_shift[(i >> 4) * 4 + (i & 3)]);
        a = t;
    }
    h[0] += a;
    h[1] += b;
    h[2] += c;
    h[3] += d;
}

void sha1_block(uint32_t* h, const uint8_t* block) {
    uint32_t w[80];
    for (int i = 0; i < 16; i++) w[i] = load_be32(block + 4 * i);
    for (int i = 16; i < 80; i++) w[i] = rotl32(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
    for (int i = 0; i < 80; i++) {
        uint32_t f, k;
        if (i < 20) {
            f = (b & c) | (~b & d);
            k = 0x5A827999u;
        } else if (i < 40) {
            f = b ^ c ^ d;
            k = 0x6ED9EBA1u;
        } else if (i < 60) {
            f = (b & c) | (b & d) | (c & d);
            k = 0x8F1BBCDCu;
        } else {
            f = b ^ c ^ d;
            k = 0xCA62C1D6u;
        }
        uint32_t t = rotl32(a, 5) + f + e + k + w[i];
        e = d;
        d = c;
        c = rotl32(b, 30);
        b = a;
        a = t;
    }
    h[0] += a;
    h[1] += b;
    h[2] += c;
    h[3] += d;
    h[4] += e;
}

void sha256_block(uint32_t* h, const uint8_t* block) {
    uint32_t w[64];
    for (int i = 0; i < 16; i++) w[i] = load_be32(block + 4 * i);
    for (int i = 16; i < 64; i++) {
        uint32_t s0 = rotr32(w[i - 15], 7) ^ rotr32(w[i - 15], 18) ^ (w[i - 15] >> 3);
        uint32_t s1 = rotr32(w[i - 2], 17) ^ rotr32(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], hh = h[7];
    for (int i = 0; i < 64; i++) {
        uint32_t t1 = hh + (rotr32(e, 6) ^ rotr32(e, 11) ^ rotr32(e, 25)) + ((e & f) ^ (~e & g)) + sha256_k[i] + w[i];
        uint32_t t2 = (rotr32(a, 2) ^ rotr32(a, 13) ^ rotr32(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
        hh = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    h[0] += a;
    h[1] += b;
    h[2] += c;
    h[3] += d;
    h[4] += e;
    h[5] += f;
    h[6] += g;
    h[7] += hh;
}

void sha512_block(uint64_t* h, const uint8_t* block) {
    uint64_t w[80];
    for (int i = 0; i < 16; i++) w[i] = load_be64(block + 8 * i);
    for (int i = 16; i < 80; i++) {
        uint64_t s0 = rotr64(w[i - 15], 1) ^ rotr64(w[i - 15], 8) ^ (w[i - 15] >> 7);
        uint64_t s1 = rotr64(w[i - 2], 19) ^ rotr64(w[i - 2], 61) ^ (w[i - 2] >> 6);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint64_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], hh = h[7];
    for (int i = 0; i < 80; i++) {
        uint64_t t1 = hh + (rotr64(e, 14) ^ rotr64(e, 18) ^ rotr64(e, 41)) + ((e & f) ^ (~e & g)) + sha512_k[i] + w[i];
        uint64_t t2 = (rotr64(a, 28) ^ rotr64(a, 34) ^ rotr64(a, 39)) + ((a & b) ^ (a & c) ^ (b & c));
        hh = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    h[0] += a;
    h[1] += b;
    h[2] += c;
    h[3] += d;
    h[4] += e;
    h[5] += f;
    h[6] += g;
    h[7] += hh;
}

}  // namespace

Hasher::Hasher(int code) : code_(code) {
    switch (code) {
        case kMd5:
        case kSha1:
            h32_[0] = 0x67452301u;
            h32_[1] = 0xEFCDAB89u;
            h32_[2] = 0x98BADCFEu;
            h32_[3] = 0x10325476u;
            h32_[4] = 0xC3D2E1F0u;
            break;
        case kSha256: std::memcpy(h32_, sha256_h, sizeof sha256_h); break;
        case kSha384: std::memcpy(h64_, sha384_h, sizeof sha384_h); break;
        case kSha512: std::memcpy(h64_, sha512_h, sizeof sha512_h); break;
        default: {
            Cell v;
            integer::make_at(&v, code);
            fire(err::script::invalid_arg, &v);
        }
    }
}

void Hasher::compress(const uint8_t* block) {
    switch (code_) {
        case kMd5: md5_block(h32_, block); break;
        case kSha1: sha1_block(h32_, block); break;
        case kSha256: sha256_block(h32_, block); break;
        default: sha512_block(h64_, block); break;
    }
}

void Hasher::update(const uint8_t* p, size_t n) {
    size_t bs = block_size();
    length_ += n;
    if (fill_) {
        size_t take = bs - fill_ < n ? bs - fill_ : n;
        std::memcpy(block_ + fill_, p, take);
        fill_ += take;
        p += take;
        n -= take;
        if (fill_ < bs) return;
        compress(block_);
        fill_ = 0;
    }
    for (; n >= bs; n -= bs, p += bs) compress(p);
    if (n) std::memcpy(block_, p, n);
    fill_ = n;
}

void Hasher::finish(uint8_t* out) {
    size_t bs = block_size();
    // The bit length goes in the last 8 bytes (16 for the wide digests, whose top 8 bytes stay 0
    // for any length a 64-bit byte count can hold, save its top 3 bits).
    size_t length_room = wide() ? 16 : 8;
    uint64_t bits = length_ << 3;
    block_[fill_++] = 0x80;
    if (fill_ > bs - length_room) {
        std::memset(block_ + fill_, 0, bs - fill_);
        compress(block_);
        fill_ = 0;
    }
    std::memset(block_ + fill_, 0, bs - fill_);
    if (code_ == kMd5) {
        store_le32(block_ + 56, uint32_t(bits));
        store_le32(block_ + 60, uint32_t(bits >> 32));
    } else {
        store_be64(block_ + bs - 8, bits);
        if (wide()) store_be64(block_ + bs - 16, length_ >> 61);
    }
    compress(block_);
    switch (code_) {
        case kMd5:
            for (int i = 0; i < 4; i++) store_le32(out + 4 * i, h32_[i]);
            break;
        case kSha1:
        case kSha256:
            for (int i = 0; i < size() / 4; i++) store_be32(out + 4 * i, h32_[i]);
            break;
        default:
            for (int i = 0; i < size() / 8; i++) store_be64(out + 8 * i, h64_[i]);
            break;
    }
}

// ---- HMAC ----

Hmac::Hmac(int code, const uint8_t* key, size_t key_length) : inner_(code), outer_(code) {
    size_t bs = inner_.block_size();
    uint8_t pad[128] = {};
    if (key_length > bs) {
        Hasher k(code);
        k.update(key, key_length);
        k.finish(pad);
    } else if (key_length) {
        std::memcpy(pad, key, key_length);
    }
    for (size_t i = 0; i < bs; i++) pad[i] ^= 0x36;
    inner_.update(pad, bs);
    for (size_t i = 0; i < bs; i++) pad[i] ^= 0x36 ^ 0x5C;
    outer_.update(pad, bs);
}

void Hmac::finish(uint8_t* out) {
    uint8_t inner[kMaxDigest];
    inner_.finish(inner);
    outer_.update(inner, size_t(inner_.size()));
    outer_.finish(out);
}

void digest(int code, const uint8_t* bytes, size_t n, uint8_t* out) {
    Hasher h(code);
    h.update(bytes, n);
    h.finish(out);
}

void hmac(int code, const uint8_t* message, size_t n, const uint8_t* key, size_t key_length, uint8_t* out) {
    Hmac h(code, key, key_length);
    h.update(message, n);
    h.finish(out);
}

}  // namespace checksum
