// Image transforms: the geometry kit, the quadrilateral resampler and scaler, copying a clipped
// rectangle, drawing an image into one to four points, and YUYV conversion.
#include "services/transforms.h"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "datatypes/image.h"
#include "datatypes/pair.h"
#include "runtime/collector.h"
#include "runtime/runtime.h"
#include "tests/support/kel_eval.h"

namespace {

struct Placement {
    int32_t x = 0, y = 0, w = 0, h = 0;
};

// Pixels whose four bytes are all the pixel's number, so a resampled byte shows where it came from.
std::vector<uint32_t> numbered(int w, int h) {
    std::vector<uint32_t> p(size_t(w) * size_t(h));
    for (size_t i = 0; i < p.size(); i++) p[i] = uint32_t(i) * 0x01010101u;
    return p;
}

}  // namespace

TEST(Geometry, Kit) {
    geometry::Vector v{3, 4};
    EXPECT_DOUBLE_EQ(geometry::length(v), 5);
    geometry::normalize(v);
    EXPECT_DOUBLE_EQ(v.x, 0.6);
    EXPECT_DOUBLE_EQ(v.y, 0.8);
    EXPECT_DOUBLE_EQ(geometry::cross({1, 0}, {0, 1}), 1);
    EXPECT_DOUBLE_EQ(geometry::dot({1, 2}, {3, 4}), 11);
    EXPECT_DOUBLE_EQ(geometry::line_distance(0, 5, -1, 0, 1, 0), 5);
    EXPECT_DOUBLE_EQ(geometry::line_distance(0, -5, -1, 0, 1, 0), 5);
    EXPECT_TRUE(geometry::cross_negative_q(0, 1, 0, 0, 1, 0));
    EXPECT_TRUE(geometry::cross_positive_q(0, -1, 0, 0, 1, 0));
    geometry::Vector r{0, 1};
    geometry::rotate(r, 0);
    EXPECT_DOUBLE_EQ(r.x, 0);
    EXPECT_DOUBLE_EQ(r.y, -1);
    float quad[8] = {0, 0, 4, 0, 4, 4, 0, 4};
    for (float p : {0.0f, 4.0f}) EXPECT_TRUE(geometry::inside_quad_q(quad, p, p));  // corners
    EXPECT_TRUE(geometry::inside_quad_q(quad, 2, 0));                               // an edge
    EXPECT_FALSE(geometry::inside_quad_q(quad, 5, 2));
    EXPECT_FALSE(geometry::inside_quad_q(quad, 2, -0.5f));
    geometry::flip_x4(quad, 1);
    EXPECT_EQ(quad[2], -2);
    EXPECT_EQ(quad[3], 0);
}

TEST(Transforms, CopyRect) {
    std::vector<uint32_t> src = numbered(3, 3), dest(16, 0xEEEEEEEE);
    EXPECT_EQ(image::copy_rect(src.data(), 3, 3, 2, 2, 4, 4, dest.data()), 1);
    EXPECT_EQ(dest[0], 8 * 0x01010101u);
    EXPECT_EQ(dest[1], 0xEEEEEEEEu);
    EXPECT_EQ(image::copy_rect(src.data(), 3, 3, 1, 0, 2, 2, dest.data()), 1);
    EXPECT_EQ(std::vector<uint32_t>(dest.begin(), dest.begin() + 4),
              (std::vector<uint32_t>{0x01010101u, 0x02020202u, 0x04040404u, 0x05050505u}));
    EXPECT_EQ(image::copy_rect(src.data(), 3, 3, 3, 0, 1, 1, dest.data()), 0);
    EXPECT_EQ(image::copy_rect(src.data(), 3, 3, -1, 0, 1, 1, dest.data()), 0);
}

TEST(Transforms, Resample) {
    std::vector<uint32_t> src = numbered(4, 2);
    // The identity quadrilateral gives every pixel back, except the right column and the bottom
    // row of the box, whose points lie on the right or bottom edge (source position W or H).
    float same[8] = {0, 0, 4, 0, 4, 2, 0, 2};
    Placement p;
    uint32_t* out = image::transform(src.data(), 4, 2, same, &p.x, &p.y, &p.w, &p.h);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(p.x, 0);
    EXPECT_EQ(p.y, 0);
    EXPECT_EQ(p.w, 4);
    EXPECT_EQ(p.h, 2);
    EXPECT_EQ(std::vector<uint32_t>(out, out + 8), (std::vector<uint32_t>{0, 0x01010101u, 0x02020202u, 0x03030303u,
                                                                          0x04040404u, 0x05050505u, 0x06060606u,
                                                                          0x07070707u}));
    runtime::free(out);
    // A triangle-like quadrilateral: every pixel outside it stays 0 in all four bytes.
    std::vector<uint32_t> white(16, 0xFFFFFFFFu);
    float diamond[8] = {4, 0, 8, 4, 4, 8, 0, 4};
    out = image::transform(white.data(), 4, 4, diamond, &p.x, &p.y, &p.w, &p.h);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(p.w, 8);
    for (int y = 0; y < 8; y++)
        for (int x = 0; x < 8; x++)
            if (!geometry::inside_quad_q(diamond, float(x), float(y))) {
                EXPECT_EQ(out[y * 8 + x], 0u) << x << "," << y;
            }
    EXPECT_NE(out[4 * 8 + 4], 0u);
    runtime::free(out);
    // Empty sources and boxes, and boxes larger than an image, give nothing.
    EXPECT_EQ(image::transform(src.data(), 0, 2, same, &p.x, &p.y, &p.w, &p.h), nullptr);
    float flat[8] = {1, 0, 1, 0, 1, 5, 1, 5};
    EXPECT_EQ(image::transform(src.data(), 4, 2, flat, &p.x, &p.y, &p.w, &p.h), nullptr);
    float nan[8] = {0, 0, std::numeric_limits<float>::quiet_NaN(), 0, 4, 2, 0, 2};
    // A corner that is not a number drops out of the box; its edges leave the pixels transparent.
    out = image::transform(src.data(), 4, 2, nan, &p.x, &p.y, &p.w, &p.h);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ((std::vector<int32_t>{p.x, p.y, p.w, p.h}), (std::vector<int32_t>{0, 0, 4, 2}));
    runtime::free(out);
    float huge[8] = {0, 0, 1e30f, 0, 1e30f, 2, 0, 2};
    EXPECT_EQ(image::transform(src.data(), 4, 2, huge, &p.x, &p.y, &p.w, &p.h), nullptr);
    // Each side fits an image but the box holds more pixels than any image can: refused at once,
    // not after filling gigabytes of a buffer whose image could never be made.
    float vast[8] = {0, 0, 60000, 0, 60000, 60000, 0, 60000};
    EXPECT_EQ(image::transform(src.data(), 4, 2, vast, &p.x, &p.y, &p.w, &p.h), nullptr);
    EXPECT_EQ((std::vector<int32_t>{p.x, p.y, p.w, p.h}), (std::vector<int32_t>{0, 0, 60000, 60000}));
    EXPECT_EQ(image::scale_pixels(src.data(), 4, 2, 60000, 60000), nullptr);
    // Doubling a 2 × 1 picture interpolates between its two pixels.
    std::vector<uint32_t> two = {0, 0x64646464u};
    out = image::scale_pixels(two.data(), 2, 1, 4, 2);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out[0], 0u);
    EXPECT_EQ(out[1] & 0xFF, 50u);
    EXPECT_EQ(out[2] & 0xFF, 100u);
    runtime::free(out);
}

TEST(Transforms, Yuyv) {
    const uint8_t grey[4] = {128, 128, 128, 128};
    uint32_t out[2];
    image::yuyv_to_rgb32(2, 1, grey, out);
    EXPECT_EQ(out[0], 0xFF808080u);
    EXPECT_EQ(out[1], 0xFF808080u);
    const uint8_t edge[4] = {0, 0, 255, 255};
    image::yuyv_to_rgb32(2, 1, edge, out);
    EXPECT_EQ(out[0], 0xFF0000B2u);                            // R 178, G 0, B 0
    EXPECT_EQ(out[1], 0xFF000000u | 28u << 16 | 208u << 8 | 255u);  // R 255, G 208, B 28
    // An odd width still takes whole groups: 3 pixels a row become 4.
    const uint8_t rows[16] = {10, 128, 20, 128, 30, 128, 40, 128, 50, 128, 60, 128, 70, 128, 80, 128};
    uint32_t wide[8];
    image::yuyv_to_rgb32(3, 2, rows, wide);
    EXPECT_EQ(wide[3] & 0xFF, 40u);
    EXPECT_EQ(wide[4] & 0xFF, 50u);
}

TEST(Transforms, MakeTransformed) {
    kel_test::boot();
    Cell img, result, points[5];
    set_cell(&img, TYPE_NONE);
    set_cell(&result, TYPE_NONE);
    collector::Root keep(&img), keep_result(&result);
    image::make_filled(&img, 4, 3, 0xFF102030u);
    Placement p;
    pair::make_at(set_cell(points, TYPE_PAIR), 10, 20);
    image::make_transformed(&img, &result, nullptr, points, 1, &p.x, &p.y, &p.w, &p.h);
    ASSERT_EQ(result.type(), TYPE_IMAGE);
    EXPECT_EQ((std::vector<int32_t>{p.x, p.y, p.w, p.h}), (std::vector<int32_t>{10, 20, 4, 3}));
    EXPECT_EQ(image::pixels_of(&result)[0], 0xFF102030u);
    // Two points the wrong way round: reflected along both axes.
    pair::make_at(set_cell(points, TYPE_PAIR), 10, 10);
    pair::make_at(set_cell(points + 1, TYPE_PAIR), 4, 4);
    image::make_transformed(&img, &result, nullptr, points, 2, &p.x, &p.y, &p.w, &p.h);
    ASSERT_EQ(result.type(), TYPE_IMAGE);
    EXPECT_EQ((std::vector<int32_t>{p.x, p.y, p.w, p.h}), (std::vector<int32_t>{10, 10, -6, -6}));
    EXPECT_EQ(image::width_of(&result), 6);
    // Three points: the fourth corner completes the parallelogram.
    pair::make_at(set_cell(points, TYPE_PAIR), 0, 0);
    pair::make_at(set_cell(points + 1, TYPE_PAIR), 8, 0);
    pair::make_at(set_cell(points + 2, TYPE_PAIR), 0, 6);
    image::make_transformed(&img, &result, nullptr, points, 3, &p.x, &p.y, &p.w, &p.h);
    EXPECT_EQ((std::vector<int32_t>{p.x, p.y, p.w, p.h}), (std::vector<int32_t>{0, 0, 8, 6}));
    // A crop of 2 × 2 at 3x2 is clipped to 1 × 1.
    Cell crop[2];
    pair::make_at(set_cell(crop, TYPE_PAIR), 3, 2);
    pair::make_at(set_cell(crop + 1, TYPE_PAIR), 2, 2);
    image::make_transformed(&img, &result, crop, points, 1, &p.x, &p.y, &p.w, &p.h);
    EXPECT_EQ((std::vector<int32_t>{p.x, p.y, p.w, p.h}), (std::vector<int32_t>{0, 0, 1, 1}));
    // Five points: none.
    image::make_transformed(&img, &result, nullptr, points, 5, &p.x, &p.y, &p.w, &p.h);
    EXPECT_EQ(result.type(), TYPE_NONE);
}
