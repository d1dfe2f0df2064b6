// image!: making images, pixels as tuples, indexing by integer and pair, the byte views, text
// forms, comparison, copy and change, and the codec layer's decoders and encoders on hand-built
// and corrupt files.
#include "datatypes/image.h"

#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <cstring>
#include <string>
#include <vector>

#include "datatypes/binary.h"
#include "runtime/collector.h"
#include "services/bmp.h"
#include "services/imaging.h"
#include "tests/support/kel_cases.h"

using kel_test::eval;
using kel_test::expect_cases;

TEST(Image, MakeAndPixels) {
    expect_cases({
        {"make image! 2x2", "make image! [2x2 #{FFFFFFFFFFFFFFFFFFFFFFFF}]"},
        {"pick make image! 2x2 1", "255.255.255.0"},
        {"pick make image! [2x1 #{FF0000}] 1", "255.0.0.0"},
        {"pick make image! [2x1 #{FF0000}] 2", "255.255.255.0"},
        // Only whole groups of three bytes count; missing transparency bytes are opaque.
        {"make image! [2x1 #{FF00000102}]", "make image! [2x1 #{FF0000FFFFFF}]"},
        {"make image! [2x1 #{010203 040506} #{80}]", "make image! [2x1 #{010203040506} #{8000}]"},
        {"make image! [1x2 10.20.30]", "make image! [1x2 #{0A141E0A141E}]"},
        {"make image! [1x1 10.20.30.40]", "make image! [1x1 #{0A141E} #{28}]"},
        {"make image! -3x2", "make image! [0x2 #{}]"},
        {"make image! 0x0", "make image! [0x0 #{}]"},
        {"make image! []", "!script/invalid-arg"},
        {"i: make image! [1x1 #{010203}] j: make i [] j = i", "true"},
        {"make image! [2x2 \"x\"]", "!script/invalid-arg"},
        {"make image! [2 #{00}]", "!script/invalid-arg"},
        {"make image! [2x2 #{00} 3]", "!script/invalid-arg"},
        {"make image! 70000x1", "!script/size-limit"},
        {"make image! 65535x65535", "!internal/no-memory"},
        {"to image! 3", "!script/bad-to-arg"},
        {"to image! #{0102}", "!script/bad-to-arg"},
        {"i: make image! 1x1 j: to image! i poke j 1 0.0.0 i = j", "false"},
    });
}

TEST(Image, Indexing) {
    expect_cases({
        {"i: make image! [2x2 #{010101 020202 030303 040404}] pick i 4", "4.4.4.0"},
        {"i: make image! 2x2 pick i 5", "none"},
        {"i: make image! 2x2 poke i 5 1.2.3", "!script/out-of-range"},
        {"i: make image! 2x2 poke i 1 7", "!script/invalid-arg"},
        {"i: make image! [2x2 #{010101 020202 030303 040404}] pick i 2x2", "4.4.4.0"},
        {"i: make image! [2x2 #{010101 020202 030303 040404}] pick i 1x2", "3.3.3.0"},
        {"i: make image! 2x2 pick i 3x1", "none"},
        {"i: make image! 2x2 pick i 1x0", "none"},
        {"i: make image! [2x2 #{010101 020202 030303 040404}] pick next i 1", "2.2.2.0"},
        {"i: make image! [2x2 #{010101 020202 030303 040404}] pick next i -1", "1.1.1.0"},
        {"i: make image! [2x2 #{010101 020202 030303 040404}] i/(2x1)", "2.2.2.0"},
        {"i: make image! 2x2 i/2: 9.8.7.6 i/2", "9.8.7.6"},
        {"i: make image! 2x2 i/(1x2): 1.2.3 pick i 3", "1.2.3.0"},
        {"i: make image! 3x3 index? at i 1x1", "5"},
        {"i: make image! 3x3 index? at i 1", "2"},
        {"i: make image! 3x3 index? at next i 0", "2"},
        {"i: make image! 3x3 index? skip next i 1x1", "6"},
        {"i: make image! 3x3 index? at i 100", "10"},
        {"i: make image! 3x3 index? skip at i 2 2", "5"},
        {"i: make image! 2x2 tail? tail i", "true"},
        {"i: make image! 2x2 index? next tail i", "5"},
        {"i: make image! 2x2 length? next next i", "4"},
        {"i: make image! 2x2 index? back tail i", "4"},
        {"i: make image! 2x3 i/size", "2x3"},
        {"i: make image! 2x3 i/size: 1x1", "!script/invalid-path"},
        {"i: make image! 2x3 i/foo", "!script/invalid-path"},
        {"n: 0 foreach p make image! 3x2 [n: n + 1] n", "6"},
        {"r: copy [] foreach [a b] make image! [3x1 #{010101 020202 030303}] [append r a/1 append r b] r",
         "[1 2.2.2.0 3 none]"},
        {"n: 0 i: make image! 2x2 forall i [n: n + 1] n", "4"},
    });
}

TEST(Image, ByteViews) {
    expect_cases({
        {"i: make image! [1x1 #{FF0000}] i/rgb", "#{FF0000}"},
        {"i: make image! [1x1 #{FF0000}] i/alpha", "#{00}"},
        {"i: make image! [1x1 #{FF0000} #{10}] i/argb", "#{0000FFEF}"},
        {"i: make image! [2x1 #{FF0000}] i/rgb: #{010203 0405} i/rgb", "#{010203FFFFFF}"},
        {"i: make image! [2x1 #{FF0000} #{1020}] i/rgb: #{010203 040506} i/alpha", "#{1020}"},
        {"i: make image! 2x1 i/alpha: #{FF} i/argb", "#{FFFFFF00FFFFFFFF}"},
        {"i: make image! 2x1 i/argb: #{01020304} i/argb", "#{01020304FFFFFFFF}"},
        {"i: make image! 2x1 i/rgb: 1.2.3.4 i", "make image! [2x1 #{010203010203}]"},
        {"i: make image! 2x1 i/argb: 1.2.3.4 i/alpha", "#{0404}"},
        {"i: make image! 2x1 i/alpha: 5 i/alpha", "#{0505}"},
        {"i: make image! 1x1 i/rgb: \"x\"", "!script/invalid-arg"},
        // The views start at the first pixel whatever the head.
        {"i: make image! [2x1 #{010203 040506}] j: next i j/rgb", "#{010203040506}"},
        {"to binary! make image! [1x1 #{010203}]", "#{030201FF}"},
    });
}

TEST(Image, TextForms) {
    expect_cases({
        {"mold next make image! [2x1 #{010203 040506}]", "\"make image! [2x1 #{040506}]\""},
        {"form make image! [1x1 #{010203}]", "\"make image! [1x1 #{010203}]\""},
        {"mold/part make image! 4x4 20", "\"make image! [4x4 #{^/\""},
    });
    // More than 30 bytes of colour: a line every 10 pixels, the transparency bytes likewise.
    std::string text = eval("mold make image! [11x1 1.2.3.4]");
    std::string row;
    for (int i = 0; i < 10; i++) row += "010203";
    EXPECT_EQ(eval("mold/flat make image! [11x1 1.2.3]"), "{make image! [11x1 #{" + row + "010203}]}");
    EXPECT_EQ(text, "{make image! [11x1 #{^/    " + row + "^/    010203^/} #{^/    04040404040404040404^/    04^/}]}");
}

// Pixels from a binary's buffer, as the binary value format reads them: short data leaves the
// rest transparent.
TEST(Image, FromSeries) {
    kel_test::boot();
    Cell bytes, img;
    binary::load_at(&bytes, reinterpret_cast<const uint8_t*>("xx\x01\x02\x03\x04\x05\x06\x07\x08\x09"), 11);
    collector::Root keep(&bytes);
    set_cell(&img, TYPE_NONE);
    collector::Root keep_img(&img);
    image::make_from_series(&img, 3, 1, bytes.node(), 2);
    EXPECT_EQ(image::pixels_of(&img)[0], 0x04030201u);
    EXPECT_EQ(image::pixels_of(&img)[1], 0x08070605u);
    EXPECT_EQ(image::pixels_of(&img)[2], 0x00000009u);
}

TEST(Image, Compare) {
    expect_cases({
        {"i: make image! 2x2 i = copy i", "true"},
        {"i: make image! 2x2 same? i copy i", "false"},
        {"i: make image! 2x2 same? i i", "true"},
        {"i: make image! 2x2 same? i next i", "false"},
        {"(make image! 1x2) = make image! 2x1", "true"},
        {"(make image! 1x1) < make image! 2x1", "!script/invalid-compare"},
        {"strict-equal? make image! [1x1 0.0.1] make image! [1x1 0.0.1]", "true"},
        {"(make image! 0x0) = make image! 0x3", "true"},
        {"(make image! 1x1) = 1", "false"},
        // Fewer pixels first, then the stored bytes (B, G, R, A) in memory order.
        {"sort reduce [make image! [1x1 0.1.0] make image! [1x1 0.0.1] make image! 2x1]",
         "[make image! [1x1 #{000100}] make image! [1x1 #{000001}] make image! [2x1 #{FFFFFFFFFFFF}]]"},
    });
}

TEST(Image, CopyAndChange) {
    expect_cases({
        {"i: make image! [3x3 #{000000 010101 020202 030303 040404 050505 060606 070707 080808}] "
         "copy/part at i 4 2x2",
         "make image! [2x2 #{040404050505070707080808}]"},
        {"i: make image! [3x3 #{000000 010101 020202 030303 040404 050505 060606 070707 080808}] "
         "copy/part at i 8 5x5",
         "make image! [1x1 #{080808}]"},
        {"i: make image! [3x3 #{000000 010101 020202 030303 040404 050505 060606 070707 080808}] "
         "copy/part at i 5 at i 1",
         "make image! [1x1 #{010101}]"},
        {"i: make image! [2x1 #{000000 010101}] index? copy next i", "1"},
        {"i: make image! 2x2 copy/part i 2", "!internal/not-done"},
        {"i: make image! 2x2 copy/part i make image! 1x1", "!script/invalid-refine-arg"},
        {"i: make image! 2x2 copy/part i \"x\"", "!script/invalid-refine-arg"},
        {"i: make image! 2x1 j: change i 1.2.3 reduce [index? j i/1]", "[2 1.2.3.0]"},
        {"i: make image! 3x3 j: change at i 4 make image! [2x2 0.0.0] reduce [index? j i/rgb]",
         "[10 #{FFFFFFFFFFFFFFFFFFFFFFFF000000000000FFFFFF000000000000}]"},
        // Clipped to the target; the head ends on the last row written, past the rectangle.
        {"i: make image! 3x2 j: change at i 2 make image! [3x3 0.0.0] reduce [index? j i/rgb]",
         "[7 #{FFFFFFFFFFFF000000FFFFFFFFFFFF000000}]"},
        {"i: make image! 2x2 index? change tail i make image! 1x1", "5"},
        // Rows of a source wider than the rectangle are taken at the source's width; an image
        // changed with itself reads the pixels as they were before.
        {"i: make image! [3x2 #{010101 020202 030303 040404 050505 060606}] change at i 1 i i/rgb",
         "#{010101010101020202040404040404050505}"},
        // The last pixel is changed like any other; a 1x1 image can be changed whole.
        {"i: make image! 2x2 j: change at i 3 make image! [2x2 0.0.0] reduce [index? j i/rgb]",
         "[5 #{FFFFFFFFFFFFFFFFFF000000}]"},
        {"i: make image! 1x1 change i make image! [1x1 1.2.3] i/1", "1.2.3.0"},
        {"i: make image! 2x2 change i \"x\"", "!script/invalid-type"},
        {"i: make image! 2x2 change/dup i 1.2.3 2", "!internal/not-done"},
        {"i: make image! 2x2 change/part i 1.2.3 1", "!internal/not-done"},
    });
}

namespace {

// Decoded pixels into a plain vector.
class VectorSink final : public imaging::Sink {
public:
    int width = 0, height = 0, calls = 0;
    std::vector<uint8_t> data;
    uint8_t* pixels(int w, int h) override {
        calls++;
        width = w;
        height = h;
        data.assign(size_t(w) * size_t(h) * 4, 0xAB);
        return data.data();
    }
};

// A 3 × 2 picture with every kind of alpha.
std::vector<uint8_t> sample_pixels() {
    return {0, 0, 255, 255,   0, 255, 0, 128,  255, 0, 0, 0,  // B G R A
            10, 20, 30, 255,  40, 50, 60, 1,   70, 80, 90, 254};
}

std::vector<uint8_t> u32le(uint32_t v) {
    return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
}

void append(std::vector<uint8_t>& to, const std::vector<uint8_t>& bytes) { to.insert(to.end(), bytes.begin(), bytes.end()); }

}  // namespace

TEST(ImageCodecs, Sniff) {
    struct {
        const char* bytes;
        size_t n;
        int format;
    } cases[] = {
        {"\x89PNG\r\n", 6, imaging::PNG},  {"\xFF\xD8\xFF\xE0", 4, imaging::JPEG}, {"BM", 2, imaging::BMP},
        {"GIF89a", 6, imaging::GIF},       {"GIF87a", 6, imaging::GIF},            {"GIF88a", 6, -1},
        {"II*\0", 4, imaging::TIFF},       {"MM\0*", 4, imaging::TIFF},            {"MM*\0", 4, -1},
        {"B", 1, -1},                      {"", 0, -1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(imaging::sniff(reinterpret_cast<const uint8_t*>(c.bytes), c.n), c.format) << c.bytes;
}

// The exact bytes of a 2 × 1 BMP, worked out from the file format: file header, version 5 info
// header with bit fields, one bottom-up row of two 32-bit pixels.
TEST(ImageCodecs, BmpBytes) {
    std::vector<uint8_t> pixels = {1, 2, 3, 4, 5, 6, 7, 8};
    std::vector<uint8_t> out;
    ASSERT_TRUE(imaging::encode(imaging::BMP, pixels.data(), 2, 1, out));
    std::vector<uint8_t> expected = {'B', 'M'};
    append(expected, u32le(14 + 124 + 8));
    append(expected, u32le(0));
    append(expected, u32le(138));
    append(expected, u32le(124));
    append(expected, u32le(2));
    append(expected, u32le(1));
    append(expected, {1, 0, 32, 0});
    append(expected, u32le(3));
    append(expected, u32le(8));
    append(expected, u32le(2835));
    append(expected, u32le(2835));
    append(expected, u32le(0));
    append(expected, u32le(0));
    append(expected, u32le(0x00FF0000));
    append(expected, u32le(0x0000FF00));
    append(expected, u32le(0x000000FF));
    append(expected, u32le(0xFF000000));
    append(expected, {'B', 'G', 'R', 's'});
    expected.resize(expected.size() + 48, 0);
    append(expected, u32le(4));
    expected.resize(expected.size() + 12, 0);
    append(expected, pixels);
    EXPECT_EQ(out, expected);
}

// Lossless containers give back every pixel; JPEG stays close on a smooth picture.
TEST(ImageCodecs, RoundTrips) {
    std::vector<uint8_t> pixels = sample_pixels();
    for (int format : {imaging::BMP, imaging::PNG, imaging::TIFF}) {
        std::vector<uint8_t> bytes;
        ASSERT_TRUE(imaging::encode(format, pixels.data(), 3, 2, bytes)) << format;
        EXPECT_EQ(imaging::sniff(bytes.data(), bytes.size()), format);
        VectorSink sink;
        ASSERT_TRUE(imaging::decode(bytes.data(), bytes.size(), sink)) << format;
        EXPECT_EQ(sink.width, 3);
        EXPECT_EQ(sink.height, 2);
        EXPECT_EQ(sink.data, pixels) << format;
    }
    // GIF keeps colours exactly; only fully transparent pixels stay transparent, the others
    // become opaque.
    {
        std::vector<uint8_t> bytes;
        ASSERT_TRUE(imaging::encode(imaging::GIF, pixels.data(), 3, 2, bytes));
        VectorSink sink;
        ASSERT_TRUE(imaging::decode(bytes.data(), bytes.size(), sink));
        std::vector<uint8_t> expected = pixels;
        for (size_t i = 0; i < 6; i++) {
            if (expected[4 * i + 3] == 0)
                std::memset(&expected[4 * i], 0, 4);
            else
                expected[4 * i + 3] = 255;
        }
        EXPECT_EQ(sink.data, expected);
    }
    // A gradient of 64 × 64 pixels, more colours than a GIF palette holds.
    std::vector<uint8_t> smooth(64 * 64 * 4);
    for (int y = 0; y < 64; y++)
        for (int x = 0; x < 64; x++) {
            uint8_t* p = &smooth[size_t(y * 64 + x) * 4];
            p[0] = uint8_t(x * 4);
            p[1] = uint8_t(y * 4);
            p[2] = uint8_t(128);
            p[3] = 255;
        }
    for (int format : {imaging::JPEG, imaging::GIF}) {
        std::vector<uint8_t> bytes;
        ASSERT_TRUE(imaging::encode(format, smooth.data(), 64, 64, bytes));
        VectorSink sink;
        ASSERT_TRUE(imaging::decode(bytes.data(), bytes.size(), sink));
        int worst = 0;
        for (size_t i = 0; i < smooth.size(); i++) worst = std::max(worst, std::abs(int(sink.data[i]) - int(smooth[i])));
        EXPECT_LE(worst, format == imaging::JPEG ? 16 : 40) << format;
    }
    // A full palette of 256 opaque colours is kept exactly; past 256 colours a transparent pixel
    // that comes after the 256th colour still stays transparent.
    auto gif_of = [](const std::vector<uint8_t>& from, int w, int h) {
        std::vector<uint8_t> bytes;
        EXPECT_TRUE(imaging::encode(imaging::GIF, from.data(), w, h, bytes));
        VectorSink sink;
        EXPECT_TRUE(imaging::decode(bytes.data(), bytes.size(), sink));
        return sink.data;
    };
    std::vector<uint8_t> full(256 * 4);
    for (size_t i = 0; i < 256; i++) {
        full[4 * i] = uint8_t(i);
        full[4 * i + 1] = uint8_t(255 - i);
        full[4 * i + 2] = 7;
        full[4 * i + 3] = 255;
    }
    EXPECT_EQ(gif_of(full, 16, 16), full);
    std::vector<uint8_t> many(400 * 4);
    for (size_t i = 0; i < 400; i++) {
        many[4 * i] = uint8_t(i);
        many[4 * i + 1] = uint8_t(i >> 8);
        many[4 * i + 2] = 9;
        many[4 * i + 3] = 255;
    }
    many[4 * 399 + 3] = 0;
    EXPECT_EQ(gif_of(many, 20, 20)[4 * 399 + 3], 0);
}

// Print-ready JPEG files hold CMYK inks (stored inverted, as their writers do, under Adobe's
// marker); they load as the colours those inks give instead of failing.
TEST(ImageCodecs, CmykJpegLoads) {
    // Three 8 × 8 blocks: no ink, full magenta, full black (inverted samples: 255 is no ink).
    const uint8_t inks[3][4] = {{255, 255, 255, 255}, {255, 0, 255, 255}, {255, 255, 255, 0}};
    const uint8_t bgr[3][3] = {{255, 255, 255}, {255, 0, 255}, {0, 0, 0}};
    const int w = 24, h = 8;
    std::vector<uint8_t> cmyk(size_t(w) * h * 4);
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) std::memcpy(&cmyk[size_t(y * w + x) * 4], inks[x / 8], 4);
    tjhandle tj = tjInitCompress();
    ASSERT_NE(tj, nullptr);
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    ASSERT_EQ(tjCompress2(tj, cmyk.data(), w, 0, h, TJPF_CMYK, &jpeg, &size, TJSAMP_444, 100, 0), 0);
    std::vector<uint8_t> bytes(jpeg, jpeg + size);
    tjFree(jpeg);
    tjDestroy(tj);
    VectorSink sink;
    ASSERT_TRUE(imaging::decode(bytes.data(), bytes.size(), sink));
    ASSERT_EQ(sink.width, w);
    ASSERT_EQ(sink.height, h);
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) {
            const uint8_t* p = &sink.data[size_t(y * w + x) * 4];
            for (int k = 0; k < 3; k++) EXPECT_NEAR(p[k], bgr[x / 8][k], 4) << x << "," << y << " byte " << k;
            EXPECT_EQ(p[3], 255);
        }
    // Cut short, such a file still fails as any other does.
    VectorSink cut;
    EXPECT_FALSE(imaging::decode(bytes.data(), bytes.size() / 2, cut));
}

// Large images of one colour compress far beyond the general bound on pixels per input byte;
// every container must still read back what it wrote (GIF packs these some 1,400 pixels a byte).
TEST(ImageCodecs, LargeUniformImagesReadBack) {
    const int side = 4100;  // just above the pixels allowed whatever the input's size
    std::vector<uint32_t> words(size_t(side) * side, 0xFF102030u);
    const auto* pixels = reinterpret_cast<const uint8_t*>(words.data());
    for (int format : {imaging::PNG, imaging::GIF, imaging::TIFF, imaging::JPEG}) {
        std::vector<uint8_t> bytes;
        ASSERT_TRUE(imaging::encode(format, pixels, side, side, bytes)) << format;
        VectorSink sink;
        ASSERT_TRUE(imaging::decode(bytes.data(), bytes.size(), sink)) << format << " of " << bytes.size() << " bytes";
        EXPECT_EQ(sink.width, side);
        EXPECT_EQ(sink.height, side);
        if (format != imaging::JPEG) {
            EXPECT_EQ(std::memcmp(sink.data.data(), pixels, words.size() * 4), 0) << format;
        }
    }
    // A 1-bit PNG of 8,000 × 8,000 pixels deflates to under 8 KB; a forged size stays refused.
    EXPECT_TRUE(imaging::size_ok(8000, 8000, 7870, imaging::kPngPixelsPerByte));
    EXPECT_FALSE(imaging::size_ok(8000, 8000, 7000, imaging::kPngPixelsPerByte));
    EXPECT_FALSE(imaging::size_ok(65535, 65535, 1000, imaging::kGifPixelsPerByte));
}

// Other BMP layouts, built by hand: an 8-bit palette top-down file, 24 bits with row padding,
// 16 bits 5-5-5, and RLE8 with a jump and an early end.
TEST(ImageCodecs, BmpLayouts) {
    auto file = [](uint32_t info_size, int32_t w, int32_t h, uint16_t bpp, uint32_t compression,
                   const std::vector<uint8_t>& palette, const std::vector<uint8_t>& data) {
        std::vector<uint8_t> f = {'B', 'M'};
        uint32_t offset = 14 + info_size + uint32_t(palette.size());
        append(f, u32le(offset + uint32_t(data.size())));
        append(f, u32le(0));
        append(f, u32le(offset));
        append(f, u32le(info_size));
        append(f, u32le(uint32_t(w)));
        append(f, u32le(uint32_t(h)));
        append(f, {1, 0, uint8_t(bpp), 0});
        append(f, u32le(compression));
        f.resize(14 + info_size, 0);
        append(f, palette);
        append(f, data);
        return f;
    };
    std::vector<uint8_t> palette = {0, 0, 0, 0, 255, 0, 0, 0, 0, 0, 255, 0};  // black, blue, red
    struct Case {
        std::vector<uint8_t> bytes;
        int w, h;
        std::vector<uint8_t> pixels;
    };
    std::vector<Case> cases = {
        {file(40, 2, -2, 8, 0, palette, {1, 2, 0, 0, 2, 7, 0, 0}), 2, 2,
         {255, 0, 0, 255, 0, 0, 255, 255, 0, 0, 255, 255, 0, 0, 0, 255}},
        {file(40, 1, 2, 24, 0, {}, {1, 2, 3, 0, 4, 5, 6, 0}), 1, 2, {4, 5, 6, 255, 1, 2, 3, 255}},
        {file(40, 1, 1, 16, 0, {}, {0x1F, 0x7C, 0, 0}), 1, 1, {255, 0, 255, 255}},
        {file(40, 3, 2, 8, 1, palette, {2, 1, 0, 2, 1, 1, 0, 1}), 3, 2,
         {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 255, 0, 0, 255, 255, 0, 0, 255, 0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        VectorSink sink;
        ASSERT_TRUE(imaging::decode(c.bytes.data(), c.bytes.size(), sink));
        EXPECT_EQ(sink.width, c.w);
        EXPECT_EQ(sink.height, c.h);
        EXPECT_EQ(sink.data, c.pixels);
    }
    // Pixel rows that the file does not hold: refused.
    std::vector<uint8_t> short_file = file(40, 4, 4, 24, 0, {}, {1, 2, 3});
    VectorSink sink;
    EXPECT_FALSE(imaging::decode(short_file.data(), short_file.size(), sink));
}

// Every truncation of a valid file, and forged sizes, are refused without a crash; no forged
// size reaches the sink.
TEST(ImageCodecs, CorruptInput) {
    std::vector<uint8_t> pixels = sample_pixels();
    for (int format : {imaging::BMP, imaging::PNG, imaging::GIF, imaging::JPEG, imaging::TIFF}) {
        std::vector<uint8_t> bytes;
        ASSERT_TRUE(imaging::encode(format, pixels.data(), 3, 2, bytes));
        VectorSink whole;
        ASSERT_TRUE(imaging::decode(bytes.data(), bytes.size(), whole));
        for (size_t n = 0; n + 1 < bytes.size(); n++) {
            // A cut after the last pixel data (a PNG's end chunk, a GIF's trailer) may still
            // decode, and then to the whole picture.
            VectorSink sink;
            std::vector<uint8_t> cut(bytes.begin(), bytes.begin() + long(n));
            if (imaging::decode(cut.data(), cut.size(), sink)) {
                EXPECT_EQ(sink.data, whole.data) << format << " cut at " << n;
            }
        }
    }
    // A BMP header claiming 65,535 × 65,535 pixels in a small file.
    std::vector<uint8_t> bmp;
    ASSERT_TRUE(imaging::encode(imaging::BMP, pixels.data(), 3, 2, bmp));
    std::memcpy(&bmp[18], u32le(65535).data(), 4);
    std::memcpy(&bmp[22], u32le(65535).data(), 4);
    VectorSink sink;
    EXPECT_FALSE(imaging::decode(bmp.data(), bmp.size(), sink));
    EXPECT_EQ(sink.calls, 0);
    EXPECT_FALSE(imaging::size_ok(65536, 1, 1000));
    EXPECT_FALSE(imaging::size_ok(0, 1, 1000));
    EXPECT_TRUE(imaging::size_ok(4096, 4096, 0));
    EXPECT_FALSE(imaging::size_ok(8192, 8192, 1000));
    EXPECT_TRUE(imaging::size_ok(8192, 8192, 65536));
}
