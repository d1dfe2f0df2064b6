// DEFLATE and its zlib and gzip framings: exact bytes of the small cases, round trips over a table
// of inputs, the measuring calls, and the result codes of malformed and truncated streams.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "loading/deflate.h"
#include "services/checksum.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Codec = int (*)(uint8_t*, size_t*, const uint8_t*, size_t);

// Runs a codec twice: once measuring, once into a buffer of exactly the reported size.
int run(Codec codec, const Bytes& in, Bytes& out) {
    size_t len = 0;
    int r = codec(nullptr, &len, in.data(), in.size());
    if (r != compress::kOk && r != compress::kShort) return r;
    out.assign(len, 0);
    size_t got = len;
    r = codec(out.data(), &got, in.data(), in.size());
    EXPECT_EQ(got, len);
    return r;
}

Bytes pack(Codec codec, const Bytes& in) {
    Bytes out;
    EXPECT_EQ(run(codec, in, out), compress::kOk);
    return out;
}

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

std::vector<Bytes> inputs() {
    std::mt19937 rng(7);
    Bytes random(100000), mixed(1 << 20);
    for (auto& b : random) b = static_cast<uint8_t>(rng());
    // A megabyte of words drawn from a small vocabulary: matches at every distance and length.
    const char* words[] = {"alpha ", "beta ", "gamma\n", "delta-delta ", "e ", "zeta zeta zeta "};
    size_t i = 0;
    while (i < mixed.size()) {
        const char* w = words[rng() % 6];
        for (; *w && i < mixed.size(); w++) mixed[i++] = static_cast<uint8_t>(*w);
    }
    Bytes run_of_a(70000, 'a');
    Bytes all_bytes(256);
    for (int b = 0; b < 256; b++) all_bytes[b] = static_cast<uint8_t>(b);
    return {Bytes{}, Bytes{'x'}, text("abcde"), text("abcabcabcabc"), run_of_a, all_bytes, random, mixed};
}

TEST(Deflate, ExactBytesOfEmptyInput) {
    EXPECT_EQ(pack(compress::deflate, {}), (Bytes{0x03, 0x00}));
    EXPECT_EQ(pack(compress::zlib, {}), (Bytes{0x78, 0x01, 0x03, 0x00, 0x00, 0x00, 0x00, 0x01}));
    EXPECT_EQ(pack(compress::gzip, {}),
              (Bytes{0x1F, 0x8B, 0x08, 0, 0, 0, 0, 0, 0x04, 0x04, 0x03, 0x00, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(Deflate, RoundTripsEveryMethod) {
    Codec packers[] = {compress::deflate, compress::zlib, compress::gzip};
    Codec readers[] = {compress::inflate, compress::unzlib, compress::gunzip};
    for (const Bytes& in : inputs()) {
        for (int m = 0; m < 3; m++) {
            Bytes packed = pack(packers[m], in), back;
            ASSERT_EQ(run(readers[m], packed, back), compress::kOk) << "method " << m << " size " << in.size();
            ASSERT_EQ(back, in) << "method " << m << " size " << in.size();
        }
    }
    // Repetition really is found: the long run and the text shrink a lot.
    EXPECT_LT(pack(compress::deflate, Bytes(70000, 'a')).size(), 1000u);
}

TEST(Deflate, ShortOutputReportsTheSizeNeededAndWritesNothingPast) {
    Bytes in = text("the quick brown fox jumps over the lazy dog, the quick brown fox");
    Bytes packed = pack(compress::zlib, in);
    for (size_t cap : {size_t(0), size_t(5), in.size() - 1}) {
        Bytes out(cap + 8, 0xEE);
        size_t len = cap;
        EXPECT_EQ(compress::unzlib(out.data(), &len, packed.data(), packed.size()), compress::kShort);
        EXPECT_EQ(len, in.size());
        for (size_t i = cap; i < out.size(); i++) ASSERT_EQ(out[i], 0xEE);
        for (size_t i = 0; i < cap; i++) ASSERT_EQ(out[i], in[i]);
    }
    for (Codec packer : {compress::deflate, compress::zlib, compress::gzip}) {
        Bytes out(4, 0xEE);
        size_t len = 2;
        EXPECT_EQ(packer(out.data(), &len, in.data(), in.size()), compress::kShort);
        EXPECT_EQ(len, pack(packer, in).size());
        EXPECT_EQ(out[2], 0xEE);
    }
}

TEST(Deflate, BlockKindsAndTheirErrors) {
    struct Case {
        Bytes stream;
        int code;
        std::string out;
    };
    const std::vector<Case> cases = {
        // Stored blocks: the complement is not checked; a length past the input is code 3.
        {{0x01, 0x03, 0x00, 0xFC, 0xFF, 'a', 'b', 'c'}, compress::kOk, "abc"},
        {{0x01, 0x03, 0x00, 0x00, 0x00, 'a', 'b', 'c'}, compress::kOk, "abc"},
        {{0x01, 0x04, 0x00, 0xFB, 0xFF, 'a', 'b', 'c'}, compress::kStoredShort, ""},
        {{0x01, 0x03, 0x00}, compress::kStoredShort, ""},
        // A non-final stored block then a final fixed one.
        {{0x00, 0x01, 0x00, 0xFE, 0xFF, 'x', 0x03, 0x00}, compress::kOk, "x"},
        // Block type 3.
        {{0x07}, compress::kBadBlockType, ""},
        // Fixed block: literal 'a' then a match of length 3 at distance 2 (before the start).
        {{0x4B, 0x04, 0x42, 0x00}, compress::kBadDistance, ""},
        // A match at the very first position.
        {{0x03, 0x02, 0x00}, compress::kBadDistance, ""},
        // A stream that ends without a final block keeps what it produced.
        {{0x00, 0x01, 0x00, 0xFE, 0xFF, 'z'}, compress::kOk, "z"},
        // Truncated inside a fixed block.
        {{0x4B, 0x4C}, compress::kCorrupt, ""},
        // Dynamic header: 16 (repeat) as the very first length.
        {{0x05, 0x00, 0x02, 0x24, 0x00}, compress::kCorrupt, ""},
        // Dynamic header with an over-subscribed code-length code (all 19 lengths 1).
        {{0x05, 0xE0, 0x93, 0x24, 0x49, 0x92, 0x24, 0x49, 0x92, 0x00}, compress::kCorrupt, ""},
    };
    for (const Case& c : cases) {
        Bytes out(64);
        size_t len = out.size();
        int r = compress::inflate(out.data(), &len, c.stream.data(), c.stream.size());
        EXPECT_EQ(r, c.code) << ::testing::PrintToString(c.stream);
        if (c.code == compress::kOk) {
            EXPECT_EQ(std::string(out.begin(), out.begin() + len), c.out);
        }
    }
}

// Bits of a hand-made stream: fields go in least significant bit first, Huffman codes most
// significant bit first.
struct BitWriter {
    Bytes out;
    int used = 0;
    void bit(int b) {
        if (used % 8 == 0) out.push_back(0);
        if (b) out.back() |= uint8_t(1 << (used % 8));
        used++;
    }
    BitWriter& field(uint32_t v, int n) {
        for (int i = 0; i < n; i++) bit((v >> i) & 1);
        return *this;
    }
    BitWriter& code(uint32_t c, int n) {
        for (int i = n - 1; i >= 0; i--) bit((c >> i) & 1);
        return *this;
    }
};

// A final dynamic block whose literal/length code holds 'a' and end-of-block (one bit each),
// or end-of-block alone, and whose lengths end with a run of zeros over the other literal/length entries and
// the one distance entry (with distance, the run stops short of it and gives it a length of 1).
// The code-length code: 1 -> "0", 0 -> "10", 18 -> "11".
Bytes dynamic_block(uint32_t hlit, uint32_t final_zeros, bool literal = true, bool distance = false) {
    BitWriter w;
    w.field(1, 1).field(2, 2).field(hlit - 257, 5).field(0, 5).field(18 - 4, 4);
    // Code-length lengths in their fixed order 16 17 18 0 8 7 9 6 10 5 11 4 12 3 13 2 14 1.
    const uint32_t cl[18] = {0, 0, 2, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    for (uint32_t v : cl) w.field(v, 3);
    w.code(3, 2).field(97 - 11, 7);   // 0-96: zeros
    if (literal)
        w.code(0, 1);  // 97 ('a'): 1
    else
        w.code(2, 2);  // 97: 0
    w.code(3, 2).field(138 - 11, 7);  // 98-235: zeros
    w.code(3, 2).field(20 - 11, 7);   // 236-255: zeros
    w.code(0, 1);                     // 256: 1
    w.code(3, 2).field(final_zeros - 11, 7);
    if (distance) w.code(0, 1);
    if (literal)
        w.code(0, 1).code(1, 1);  // 'a', end of block
    else
        w.code(0, 1);  // end of block
    return w.out;
}

TEST(Deflate, CodesOutsideTheAlphabetsAreCorrupt) {
    struct Case {
        const char* what;
        Bytes stream;
        int code;
        std::string out;
    };
    auto fixed = [](std::initializer_list<std::pair<uint32_t, int>> codes) {
        BitWriter w;
        w.field(1, 1).field(1, 2);
        for (auto [c, n] : codes) w.code(c, n);
        w.field(0, 32);  // zeros: distance 0, extra bits 0, then end of block
        return w.out;
    };
    const std::pair<uint32_t, int> a{0x30 + 'a', 8}, length3{1, 7};
    const std::vector<Case> cases = {
        {"dynamic block as built", dynamic_block(286, 30), compress::kOk, "a"},
        // A code of a single symbol is incomplete, and the one such code that is allowed.
        {"end-of-block alone", dynamic_block(286, 30, false), compress::kOk, ""},
        {"a distance code of one symbol", dynamic_block(286, 29, true, true), compress::kOk, "a"},
        {"a zero run past the last length", dynamic_block(286, 31), compress::kCorrupt, ""},
        {"287 literal/length codes", dynamic_block(287, 31), compress::kCorrupt, ""},
        {"288 literal/length codes", dynamic_block(288, 32), compress::kCorrupt, ""},
        {"fixed: a match then end", fixed({a, length3}), compress::kOk, "aaaa"},
        {"fixed length symbol 286", fixed({a, {0xC6, 8}}), compress::kCorrupt, ""},
        {"fixed length symbol 287", fixed({a, {0xC7, 8}}), compress::kCorrupt, ""},
        {"fixed distance symbol 30", fixed({a, length3, {30, 5}}), compress::kCorrupt, ""},
        {"fixed distance symbol 31", fixed({a, length3, {31, 5}}), compress::kCorrupt, ""},
    };
    for (const Case& c : cases) {
        Bytes out(64);
        size_t len = out.size();
        int r = compress::inflate(out.data(), &len, c.stream.data(), c.stream.size());
        EXPECT_EQ(r, c.code) << c.what;
        if (c.code == compress::kOk) {
            EXPECT_EQ(std::string(out.begin(), out.begin() + len), c.out) << c.what;
        }
    }
}

TEST(Deflate, FramingChecks) {
    Bytes in = text("framing framing framing");
    Bytes z = pack(compress::zlib, in), g = pack(compress::gzip, in), out;
    struct Case {
        const char* what;
        Codec reader;
        Bytes stream;
        int code;
    };
    auto edit = [](Bytes b, size_t at, uint8_t v) { b[at] = v; return b; };
    auto cut = [](Bytes b, size_t n) { b.resize(b.size() - n); return b; };
    // A member whose FNAME and FCOMMENT are set, and one whose FHCRC matches its header.
    Bytes named = {0x1F, 0x8B, 0x08, 0x18, 0, 0, 0, 0, 0, 3, 'f', '.', 't', 0, 'c', 0};
    named.insert(named.end(), g.begin() + 10, g.end());
    Bytes hcrc(g.begin(), g.begin() + 10);
    hcrc[3] = 0x02;
    uint32_t h = checksum::crc32(hcrc.data(), 10);
    hcrc.push_back(uint8_t(h));
    hcrc.push_back(uint8_t(h >> 8));
    hcrc.insert(hcrc.end(), g.begin() + 10, g.end());
    const std::vector<Case> cases = {
        {"zlib level-9 header", compress::unzlib, edit(edit(z, 1, 0xDA), 0, 0x78), compress::kOk},
        {"zlib header check", compress::unzlib, edit(z, 1, 0x02), compress::kCorrupt},
        {"zlib dictionary flag", compress::unzlib, edit(z, 1, 0x20 | (31 - (0x7820 % 31))), compress::kCorrupt},
        {"zlib method", compress::unzlib, edit(edit(z, 0, 0x77), 1, 0x01 + 31 - (0x7701 % 31)), compress::kCorrupt},
        {"zlib adler", compress::unzlib, edit(z, z.size() - 1, z.back() ^ 1), compress::kCorrupt},
        {"zlib truncated", compress::unzlib, cut(z, 3), compress::kCorrupt},
        {"zlib too short", compress::unzlib, Bytes{0x78, 0x01, 0x03}, compress::kCorrupt},
        {"gzip name and comment", compress::gunzip, named, compress::kOk},
        {"gzip header crc", compress::gunzip, hcrc, compress::kOk},
        {"gzip wrong header crc", compress::gunzip, edit(hcrc, 10, hcrc[10] ^ 1), compress::kCorrupt},
        {"gzip crc", compress::gunzip, edit(g, g.size() - 8, g[g.size() - 8] ^ 1), compress::kCorrupt},
        {"gzip size", compress::gunzip, edit(g, g.size() - 4, g[g.size() - 4] + 1), compress::kCorrupt},
        {"gzip forged huge size", compress::gunzip, edit(g, g.size() - 1, 0x7F), compress::kCorrupt},
        {"gzip magic", compress::gunzip, edit(g, 1, 0x8C), compress::kCorrupt},
        {"gzip reserved flag", compress::gunzip, edit(g, 3, 0x20), compress::kCorrupt},
        {"gzip extra too long", compress::gunzip, edit(edit(g, 3, 0x04), 10, 0xFF), compress::kCorrupt},
        {"gzip name unterminated", compress::gunzip, edit(Bytes(g.begin(), g.begin() + 18), 3, 0x08),
         compress::kCorrupt},
        {"gzip truncated", compress::gunzip, cut(g, 5), compress::kCorrupt},
    };
    for (const Case& c : cases) {
        int r = run(c.reader, c.stream, out);
        EXPECT_EQ(r, c.code) << c.what;
        if (c.code == compress::kOk) {
            EXPECT_EQ(out, in) << c.what;
        }
    }
}

}  // namespace
