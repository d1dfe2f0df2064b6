#include "services/checksum.h"

#include <openssl/evp.h>

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

static const EVP_MD* md_of(int code) {
    switch (code) {
        case kMd5: return EVP_md5();
        case kSha1: return EVP_sha1();
        case kSha256: return EVP_sha256();
        case kSha384: return EVP_sha384();
        case kSha512: return EVP_sha512();
        default: return nullptr;
    }
}

Hasher::Hasher(int code) : code_(code) {
    const EVP_MD* md = md_of(code);
    if (!md) {
        Cell v;
        integer::make_at(&v, code);
        fire(err::script::invalid_arg, &v);
    }
    ctx_ = EVP_MD_CTX_new();
    // The library only fails here when memory runs out.
    if (!ctx_ || EVP_DigestInit_ex(ctx_, md, nullptr) != 1) {
        EVP_MD_CTX_free(ctx_);
        fire(err::internal::no_memory);
    }
}

Hasher::~Hasher() { EVP_MD_CTX_free(ctx_); }

void Hasher::update(const uint8_t* p, size_t n) {
    if (n) EVP_DigestUpdate(ctx_, p, n);
}

void Hasher::finish(uint8_t* out) {
    unsigned int written = 0;
    EVP_DigestFinal_ex(ctx_, out, &written);
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
