// The checksum service fed in pieces against one call, and the sums on inputs long enough to
// overflow careless accumulators. The results themselves are checked against Python's zlib,
// hashlib and hmac by tests/py/test_checksums.py.
#include "services/checksum.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "tests/support/fired.h"

namespace {

std::vector<uint8_t> random_bytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(n);
    for (auto& b : v) b = static_cast<uint8_t>(rng());
    return v;
}

const int kDigests[] = {checksum::kMd5, checksum::kSha1, checksum::kSha256, checksum::kSha384, checksum::kSha512};

}  // namespace

// Every cut of the input between updates gives the digest of one update: pieces that fill the
// pending block exactly, leave it one short, or span several blocks.
TEST(Checksum, DigestsInPiecesEqualOneCall) {
    auto data = random_bytes(400, 7);
    for (int code : kDigests) {
        for (size_t n : {0u, 1u, 55u, 56u, 63u, 64u, 65u, 111u, 112u, 127u, 128u, 129u, 255u, 400u}) {
            uint8_t whole[checksum::kMaxDigest];
            checksum::digest(code, data.data(), n, whole);
            for (size_t piece : {1u, 3u, 63u, 64u, 65u, 127u, 128u, 200u}) {
                checksum::Hasher h(code);
                for (size_t at = 0; at < n; at += piece) h.update(data.data() + at, std::min(piece, n - at));
                uint8_t parts[checksum::kMaxDigest];
                h.finish(parts);
                EXPECT_EQ(0, std::memcmp(whole, parts, size_t(h.size()))) << code << " n " << n << " piece " << piece;
            }
        }
    }
}

TEST(Checksum, HmacInPiecesEqualsOneCall) {
    auto data = random_bytes(300, 8);
    auto key = random_bytes(200, 9);
    for (int code : kDigests) {
        for (size_t key_length : {0u, 64u, 65u, 128u, 129u, 200u}) {
            uint8_t whole[checksum::kMaxDigest], parts[checksum::kMaxDigest];
            checksum::hmac(code, data.data(), data.size(), key.data(), key_length, whole);
            checksum::Hmac h(code, key.data(), key_length);
            for (size_t at = 0; at < data.size(); at += 37) h.update(data.data() + at, std::min<size_t>(37, data.size() - at));
            h.finish(parts);
            EXPECT_EQ(0, std::memcmp(whole, parts, size_t(h.size()))) << code << " key " << key_length;
        }
    }
}

// A running CRC, Adler-32 or Internet checksum continues across updates, also when an update
// ends in the middle of a 16-bit word.
TEST(Checksum, SumsContinueAcrossUpdates) {
    auto data = random_bytes(1001, 10);
    uint32_t crc = checksum::crc32(data.data(), data.size());
    uint32_t adler = checksum::adler32(data.data(), data.size());
    uint16_t tcp = checksum::tcp(data.data(), data.size());
    for (size_t piece : {1u, 2u, 3u, 7u, 8u, 9u, 500u}) {
        uint32_t c = 0, a = 1;
        checksum::Tcp t;
        for (size_t at = 0; at < data.size(); at += piece) {
            size_t n = std::min(piece, data.size() - at);
            c = checksum::crc32(data.data() + at, n, c);
            a = checksum::adler32(data.data() + at, n, a);
            t.update(data.data() + at, n);
        }
        EXPECT_EQ(crc, c) << piece;
        EXPECT_EQ(adler, a) << piece;
        EXPECT_EQ(tcp, t.result()) << piece;
    }
}

// All-0xFF input drives both sums to their largest values: Adler-32 must reduce before its sums
// wrap, and the Internet checksum must not lose carries past 32 bits (above 128 KiB of input).
TEST(Checksum, LongInputsKeepEveryCarry) {
    std::vector<uint8_t> ones(300000, 0xFF);
    uint32_t a = 1, b = 0;
    for (uint8_t byte : ones) {
        a = (a + byte) % 65521;
        b = (b + a) % 65521;
    }
    EXPECT_EQ(b << 16 | a, checksum::adler32(ones.data(), ones.size()));
    // Every word is 0xFFFF, the ones'-complement zero, so the sum stays 0xFFFF and its
    // complement is 0; one word less than 0xFFFF leaves its complement.
    EXPECT_EQ(0, checksum::tcp(ones.data(), ones.size()));
    ones[1001] = 0xFE;
    EXPECT_EQ(1, checksum::tcp(ones.data(), ones.size()));
}

TEST(Checksum, DigestCodeOutOfRangeIsAnError) {
    for (int code : {int(checksum::kTcp), int(checksum::kCrc32), int(checksum::kAdler32), int(checksum::kHash), 99}) {
        auto e = test_support::fired([&] { checksum::Hasher h(code); });
        ASSERT_TRUE(e) << code;
        EXPECT_TRUE(e->id == err::script::invalid_arg);
        EXPECT_EQ(code, e->arg1.i1());
    }
}
