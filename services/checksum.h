// Checksums and digests, all computed here: CRC-32, Adler-32, the 16-bit Internet checksum, MD5,
// SHA-1, SHA-256, SHA-384, SHA-512 and HMAC over the digests. The `checksum` native picks one by
// a method word. Every function works on caller-given memory and never allocates in the
// collected heap, so a caller may hash bytes that lie in a series buffer.
#pragma once

#include <cstddef>
#include <cstdint>

#include "datatypes/cell.h"

struct evp_md_ctx_st;

namespace checksum {

// Algorithm codes; adler32 and hash have codes of their own past the digest range.
enum Method : int {
    kNone = -1,
    kTcp = 0,
    kCrc32 = 1,
    kMd5 = 2,
    kSha1 = 3,
    kSha256 = 4,
    kSha384 = 5,
    kSha512 = 6,
    kAdler32 = 7,
    kHash = 8,
};

constexpr size_t kMaxDigest = 64;

// The method a word names, letter case ignored (tcp md5 sha1 crc32 adler32 sha256 sha384 sha512
// hash), or kNone.
Method method_of(const Cell* word);
inline bool method_q(const Cell* word) { return method_of(word) != kNone; }
// Digest bytes of codes 2 to 6 (16, 20, 32, 48, 64); 0 for any other code.
int digest_size(int code);
inline bool digest_q(int code) { return digest_size(code) != 0; }

// ---- Checksums ----

// CRC-32 (reflected polynomial 0xEDB88320, initial value and result complemented: the CRC of
// zlib and gzip). Continue a running CRC by passing the previous result; start from 0.
uint32_t crc32(const uint8_t* bytes, size_t n, uint32_t crc = 0);
// Adler-32; continue by passing the previous result; start from 1.
uint32_t adler32(const uint8_t* bytes, size_t n, uint32_t adler = 1);

// The 16-bit ones'-complement Internet checksum: big-endian 16-bit words summed with end-around
// carry, an odd last byte padded with a zero byte after it, the sum complemented.
class Tcp {
public:
    void update(const uint8_t* bytes, size_t n);
    uint16_t result() const;

private:
    uint64_t sum_ = 0;
    int pending_ = -1;  // the first byte of a word cut by the end of the last update
};
uint16_t tcp(const uint8_t* bytes, size_t n);

// ---- Digests ----

// A running digest of one of codes 2 to 6; any other code raises script invalid-arg with it.
class Hasher {
public:
    explicit Hasher(int code);
    ~Hasher();
    Hasher(const Hasher&) = delete;
    Hasher& operator=(const Hasher&) = delete;
    void update(const uint8_t* bytes, size_t n);
    // Writes size() bytes; the hasher is then spent.
    void finish(uint8_t* out);
    int size() const { return digest_size(code_); }
    // Bytes per compression block: 128 for SHA-384 and SHA-512, 64 for the others.
    size_t block_size() const { return code_ == kSha384 || code_ == kSha512 ? 128 : 64; }

private:
    int code_;
    evp_md_ctx_st* ctx_ = nullptr;  // the digest library's running state
};

// HMAC (RFC 2104) over one of the digests: a key longer than the block is replaced by its
// digest, then padded with zeros to the block.
class Hmac {
public:
    Hmac(int code, const uint8_t* key, size_t key_length);
    void update(const uint8_t* bytes, size_t n) { inner_.update(bytes, n); }
    void finish(uint8_t* out);
    int size() const { return inner_.size(); }

private:
    Hasher inner_, outer_;
};

// One-shot forms: out receives digest_size(code) bytes (room for kMaxDigest is always enough).
void digest(int code, const uint8_t* bytes, size_t n, uint8_t* out);
void hmac(int code, const uint8_t* message, size_t n, const uint8_t* key, size_t key_length, uint8_t* out);

}  // namespace checksum
