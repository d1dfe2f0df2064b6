// The LZ block codec: round trips across block boundaries, the exact form of a run, and the
// streams the decoder must refuse.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "loading/lz.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes pack(const Bytes& in) {
    Bytes out(in.size());
    int64_t n = compress::compress(in.data(), in.size(), out.data());
    out.resize(n < 0 ? 0 : size_t(n));
    return out;
}

void put32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; i++) b.push_back(uint8_t(v >> (8 * i)));
}

// A stream of one block holding the given bit-stream bytes.
Bytes stream(uint32_t unpacked, uint32_t block, const Bytes& bits) {
    Bytes s;
    put32(s, uint32_t(4 + bits.size()));
    put32(s, unpacked);
    put32(s, block);
    s.insert(s.end(), bits.begin(), bits.end());
    return s;
}

TEST(Lz, RoundTrips) {
    std::mt19937 rng(3);
    Bytes text(3 * 0x100000 + 777);  // several blocks, the last one short
    const char* words[] = {"one ", "two ", "three ", "four\n", "five five "};
    for (size_t i = 0; i < text.size();) {
        for (const char* w = words[rng() % 5]; *w && i < text.size(); w++) text[i++] = uint8_t(*w);
    }
    Bytes far(300000);  // the same random run again 200000 bytes later: only the chains find it
    for (size_t i = 0; i < 100000; i++) far[i] = far[i + 200000] = uint8_t(rng());
    for (size_t i = 100000; i < 200000; i++) far[i] = uint8_t(rng() % 4);
    for (const Bytes& in : {text, far, Bytes(128, 'q'), Bytes(5000, 0)}) {
        Bytes packed = pack(in), back;
        ASSERT_FALSE(packed.empty()) << in.size();
        EXPECT_LT(packed.size(), in.size());
        ASSERT_TRUE(compress::decompress(packed.data(), packed.size(), back)) << in.size();
        ASSERT_EQ(back, in);
    }
    EXPECT_LT(pack(text).size(), text.size() / 3);
}

TEST(Lz, RefusesWhatDoesNotShrink) {
    std::mt19937 rng(5);
    Bytes random(4096);
    for (auto& b : random) b = uint8_t(rng());
    Bytes out(4096);
    EXPECT_EQ(compress::compress(random.data(), random.size(), out.data()), -1);
    EXPECT_EQ(compress::compress(out.data(), 127, out.data()), -1);
}

TEST(Lz, RunIsOneLiteralAndOneOverlappingMatch) {
    // Literal 'a' (0, then 0x61 LSB first), then a match of 299 bytes (1, prefix 00000, 9 bits of
    // 244) at distance 1 (4 bits of 0, 3 bits of 0), then the end padding.
    Bytes expected = stream(300, 300, {0xC2, 0x02, 0x7A, 0x00, 0x00});
    EXPECT_EQ(pack(Bytes(300, 'a')), expected);
}

TEST(Lz, RefusesBrokenStreams) {
    Bytes out;
    Bytes empty;
    put32(empty, 0);
    put32(empty, 0);
    EXPECT_TRUE(compress::decompress(empty.data(), empty.size(), out));
    EXPECT_TRUE(out.empty());

    // The same literal and match in a block long enough for them.
    EXPECT_TRUE(compress::decompress(stream(4, 4, {0xC2, 0x06, 0x00, 0x00}).data(), 16, out));
    EXPECT_EQ(out, Bytes(4, 'a'));

    Bytes good = pack(Bytes(1000, 'z'));
    struct Case {
        const char* what;
        Bytes s;
    };
    Bytes forged_u = good;
    forged_u[7] = 0x7F;  // claims 2 GB
    const std::vector<Case> cases = {
        {"block length 0", stream(1, 0, {0x00, 0x00})},
        {"block length above the limit", stream(0x100001, 0x100001, {0x00, 0x00})},
        // These two carry every bit their match and the end of the block need: only the match
        // itself is wrong.
        {"match at position 0", stream(3, 3, {0x03, 0x00, 0x00})},
        {"match past the block", stream(3, 3, {0xC2, 0x06, 0x00, 0x00})},
        {"bits run out", stream(2, 2, {0xC2})},
        {"block beyond the unpacked size", stream(1, 2, {0xC2, 0x08, 0x03})},
        {"fewer bytes than the unpacked size", stream(9, 1, {0xC2, 0x00})},
        {"packed size beyond the input", Bytes(good.begin(), good.end() - 1)},
        {"header only", Bytes(good.begin(), good.begin() + 7)},
        {"forged unpacked size", forged_u},
    };
    for (const Case& c : cases) {
        EXPECT_FALSE(compress::decompress(c.s.data(), c.s.size(), out)) << c.what;
        EXPECT_TRUE(out.empty()) << c.what;
    }
}

}  // namespace
