#include "services/transforms.h"

#include <cmath>
#include <cstring>
#include <limits>

#include "datatypes/image.h"
#include "datatypes/point.h"
#include "datatypes/series.h"
#include "runtime/collector.h"
#include "runtime/runtime.h"
#include "services/imaging.h"

namespace geometry {

double length(const Vector& v) { return std::sqrt(v.x * v.x + v.y * v.y); }

void normalize(Vector& v) {
    double n = length(v);
    v.x = v.x / n;
    v.y = v.y / n;
}

void make_vector(Vector& v, float x, float y) {
    v.x = x;
    v.y = y;
}

void difference(Vector& v, float ax, float ay, float bx, float by) {
    v.x = double(bx) - double(ax);
    v.y = double(by) - double(ay);
}

double cross(const Vector& a, const Vector& b) { return a.x * b.y - a.y * b.x; }
double dot(const Vector& a, const Vector& b) { return a.x * b.x + a.y * b.y; }

static double cross_at(float qx, float qy, float ax, float ay, float bx, float by) {
    Vector q, e;
    difference(q, ax, ay, qx, qy);
    difference(e, ax, ay, bx, by);
    return cross(q, e);
}

bool cross_negative_q(float qx, float qy, float ax, float ay, float bx, float by) {
    return cross_at(qx, qy, ax, ay, bx, by) < 0;
}

bool cross_positive_q(float qx, float qy, float ax, float ay, float bx, float by) {
    return cross_at(qx, qy, ax, ay, bx, by) > 0;
}

double line_distance(float qx, float qy, float ax, float ay, float bx, float by) {
    Vector q, e;
    difference(q, ax, ay, qx, qy);
    difference(e, ax, ay, bx, by);
    normalize(e);
    double d = cross(q, e);
    return d < 0 ? 0 - d : d;
}

void rotate(Vector& v, int degrees) {
    double theta = degrees * 3.14159265359 / 180;
    double s = std::sin(theta), c = std::cos(theta);
    double x = v.x, y = v.y;
    v.x = x * c - y * s;
    v.y = x * s - y * c;
}

void flip_x4(float* quad, float k) {
    float twice = static_cast<float>(k * 2.0);
    for (int i = 0; i < 4; i++) quad[2 * i] = twice - quad[2 * i];
}

void flip_y4(float* quad, float k) {
    float twice = static_cast<float>(k * 2.0);
    for (int i = 0; i < 4; i++) quad[2 * i + 1] = twice - quad[2 * i + 1];
}

bool inside_quad_q(const float* q, float qx, float qy) {
    for (int i = 0; i < 4; i++) {
        int j = (i + 1) % 4;
        if (cross_positive_q(qx, qy, q[2 * i], q[2 * i + 1], q[2 * j], q[2 * j + 1])) return false;
    }
    return true;
}

}  // namespace geometry

namespace image {

int copy_rect(const uint32_t* source, int32_t sw, int32_t sh, int32_t x, int32_t y, int32_t w, int32_t h,
              uint32_t* dest) {
    if (x < 0 || y < 0 || x >= sw || y >= sh) return 0;
    if (int64_t(x) + w > sw) w = sw - x;
    if (int64_t(y) + h > sh) h = sh - y;
    if (w <= 0) return 1;
    const uint32_t* from = source + size_t(y) * size_t(sw) + size_t(x);
    for (int32_t row = 0; row < h; row++) {
        std::memcpy(dest, from, size_t(w) * 4);
        dest += w;
        from += sw;
    }
    return 1;
}

// A float truncated toward zero into an int32, or false when it is not a number or too large.
static bool truncate(float f, int32_t* out) {
    if (!(f > -2147483648.0f && f < 2147483648.0f)) return false;
    *out = static_cast<int32_t>(f);
    return true;
}

uint32_t* transform(const uint32_t* source, int32_t width, int32_t height, const float* q, int32_t* out_x,
                    int32_t* out_y, int32_t* out_width, int32_t* out_height) {
    if (width < 1 || height < 1) return nullptr;
    constexpr float kLargest = std::numeric_limits<float>::max();
    float min_x = kLargest, min_y = kLargest, max_x = -kLargest, max_y = -kLargest;
    for (int i = 0; i < 4; i++) {
        float x = q[2 * i], y = q[2 * i + 1];
        if (!(max_x > x)) max_x = x;
        if (!(min_x < x)) min_x = x;
        if (!(max_y > y)) max_y = y;
        if (!(min_y < y)) min_y = y;
    }
    int32_t ox = 0, oy = 0, ow = 0, oh = 0;
    bool ok_x = truncate(min_x, &ox), ok_y = truncate(min_y, &oy);
    bool ok_w = truncate(max_x - min_x, &ow), ok_h = truncate(max_y - min_y, &oh);
    bool ok = ok_x && ok_y && ok_w && ok_h;
    *out_x = ox;
    *out_y = oy;
    *out_width = ow;
    *out_height = oh;
    if (!ok || ow < 1 || oh < 1 || ow > image::kMaxSide || oh > image::kMaxSide) return nullptr;
    // The result becomes an image: a box with more pixels than one can hold is refused before
    // gigabytes are filled for nothing.
    if (uint64_t(ow) * uint64_t(oh) > imaging::kMaxPixels) return nullptr;
    geometry::Vector u[4];
    for (int i = 0; i < 4; i++) {
        int j = (i + 1) % 4;
        geometry::difference(u[i], q[2 * i], q[2 * i + 1], q[2 * j], q[2 * j + 1]);
        geometry::normalize(u[i]);
    }
    double w = width, h = height;
    auto* out = static_cast<uint32_t*>(runtime::allocate_zeroed(size_t(ow) * size_t(oh) * 4));
    auto* bytes = reinterpret_cast<uint8_t*>(out);
    const auto* src = reinterpret_cast<const uint8_t*>(source);
    for (int32_t r = 0; r < oh; r++) {
        for (int32_t c = 0; c < ow; c++) {
            float qx = static_cast<float>(int64_t(c) + ox), qy = static_cast<float>(int64_t(r) + oy);
            if (!geometry::inside_quad_q(q, qx, qy)) continue;
            double d[4];
            for (int i = 0; i < 4; i++) {
                geometry::Vector v;
                geometry::difference(v, q[2 * i], q[2 * i + 1], qx, qy);
                double x = geometry::cross(v, u[i]);
                d[i] = x < 0 ? 0 - x : x;
            }
            float sx = static_cast<float>(d[3] / (d[3] + d[1]) * w);
            float sy = static_cast<float>(d[0] / (d[0] + d[2]) * h);
            // Positions that truncate outside the source (and those that are not numbers, where
            // a point lies on two opposite edges) stay transparent.
            if (!(sx > -1.0f && sx < float(width)) || !(sy > -1.0f && sy < float(height))) continue;
            int32_t ix = static_cast<int32_t>(sx), iy = static_cast<int32_t>(sy);
            if (ix < 0 || ix >= width || iy < 0 || iy >= height) continue;
            int32_t ix1 = ix == width - 1 ? ix : ix + 1, iy1 = iy == height - 1 ? iy : iy + 1;
            float fx = sx - float(ix), fy = sy - float(iy);
            if (fx < 0) fx = 0;
            if (fy < 0) fy = 0;
            float w00 = (1 - fx) * (1 - fy), w10 = fx * (1 - fy), w01 = (1 - fx) * fy, w11 = fx * fy;
            const uint8_t* s00 = src + (size_t(iy) * size_t(width) + size_t(ix)) * 4;
            const uint8_t* s10 = src + (size_t(iy) * size_t(width) + size_t(ix1)) * 4;
            const uint8_t* s01 = src + (size_t(iy1) * size_t(width) + size_t(ix)) * 4;
            const uint8_t* s11 = src + (size_t(iy1) * size_t(width) + size_t(ix1)) * 4;
            uint8_t* o = bytes + (size_t(r) * size_t(ow) + size_t(c)) * 4;
            for (int k = 0; k < 4; k++) {
                float acc = w00 * float(s00[k]);
                acc = acc + w10 * float(s10[k]);
                acc = acc + w01 * float(s01[k]);
                acc = acc + w11 * float(s11[k]);
                o[k] = static_cast<uint8_t>(static_cast<uint32_t>(acc) & 0xFF);
            }
        }
    }
    return out;
}

uint32_t* scale_pixels(const uint32_t* source, int32_t width, int32_t height, int32_t new_width, int32_t new_height) {
    float q[8] = {0, 0, float(new_width), 0, float(new_width), float(new_height), 0, float(new_height)};
    int32_t x, y, w, h;
    uint32_t* out = transform(source, width, height, q, &x, &y, &w, &h);
    if (out && (w != new_width || h != new_height)) {
        runtime::free(out);
        return nullptr;
    }
    return out;
}

static int32_t clamp_channel(int32_t v) { return v < 0 ? 0 : v > 255 ? 255 : v; }

void yuyv_to_rgb32(int32_t width, int32_t height, const uint8_t* yuyv, uint32_t* dest) {
    for (int32_t row = 0; row < height; row++) {
        for (int32_t j = 0; j < width; j += 2) {
            int32_t u = int32_t(yuyv[1]) - 128, v = int32_t(yuyv[3]) - 128;
            for (int k = 0; k < 2; k++) {
                int32_t y = yuyv[k * 2];
                // Arithmetic shifts of negative products round toward minus infinity.
                int32_t r = clamp_channel(y + ((v * 91881) >> 16));
                int32_t g = clamp_channel(y - ((v * 46792) >> 16) - ((u * 21889) >> 16));
                int32_t b = clamp_channel(y + ((u * 116129) >> 16));
                *dest++ = 0xFF000000u | uint32_t(b) << 16 | uint32_t(g) << 8 | uint32_t(r);
            }
            yuyv += 4;
        }
    }
}

uint32_t* acquire_buffer(const Cell* img) { return pixels_of(img); }

void release_buffer(const Cell* img, bool notify) {
    if (notify && series::owned_q(img)) series::notify(img, series::EV_POKE, false, img, -1, -1);
}

namespace {

void point_of(const Cell* value, float* x, float* y) {
    if (value->type() == TYPE_PAIR) {
        *x = static_cast<float>(value->i2());
        *y = static_cast<float>(value->i3());
    } else {
        *x = point2D::coord(value, 0);
        *y = point2D::coord(value, 1);
    }
}

// A heap buffer freed on every way out.
struct Buffer {
    uint32_t* p = nullptr;
    ~Buffer() {
        if (p) runtime::free(p);
    }
};

}  // namespace

void make_transformed(const Cell* img_in, Cell* result, const Cell* crop, const Cell* points, int count,
                      int32_t* out_x, int32_t* out_y, int32_t* out_width, int32_t* out_height) {
    Cell img = *img_in;
    collector::Root keep(&img);
    int32_t W = width_of(&img), H = height_of(&img);
    float q[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    if (count > 0) point_of(points, &q[0], &q[1]);
    int32_t cx = 0, cy = 0, cw = W, ch = H;
    if (crop) {
        cx = crop[0].i2();
        cy = crop[0].i3();
        cw = crop[1].i2();
        ch = crop[1].i3();
        if (int64_t(cx) + cw > W) cw = W - cx;
        if (int64_t(cy) + ch > H) ch = H - cy;
    }
    switch (count) {
        case 0:
        case 1: {
            float w = static_cast<float>(crop ? cw : W), h = static_cast<float>(crop ? ch : H);
            q[2] = q[0] + w, q[3] = q[1];
            q[4] = q[0] + w, q[5] = q[1] + h;
            q[6] = q[0], q[7] = q[1] + h;
            break;
        }
        case 2: {
            float x1, y1;
            point_of(points + 1, &x1, &y1);
            q[2] = x1, q[3] = q[1];
            q[4] = x1, q[5] = y1;
            q[6] = q[0], q[7] = y1;
            break;
        }
        case 3:
        case 4: {
            point_of(points + 1, &q[2], &q[3]);
            point_of(points + 2, &q[6], &q[7]);
            if (count == 4) {
                point_of(points + 3, &q[4], &q[5]);
            } else {
                q[4] = static_cast<float>(double(q[0]) + (double(q[2]) - q[0]) + (double(q[6]) - q[0]));
                q[5] = static_cast<float>(double(q[1]) + (double(q[3]) - q[1]) + (double(q[7]) - q[1]));
            }
            break;
        }
        default: set_cell(result, TYPE_NONE); return;
    }
    bool mirror_x = false, mirror_y = false;
    if (q[2] < q[0]) {
        geometry::flip_x4(q, q[0]);
        mirror_x = true;
    }
    if (q[5] < q[3]) {
        geometry::flip_y4(q, q[1]);
        mirror_y = true;
    }
    // Nothing below allocates in the collected heap until the result image: the pixel address
    // stays valid.
    const uint32_t* pixels = acquire_buffer(&img);
    Buffer resampled;
    if (crop) {
        if (cw < 1 || ch < 1 || cx < 0 || cy < 0 || cx >= W || cy >= H) {
            set_cell(result, TYPE_NONE);
            return;
        }
        Buffer part;
        part.p = static_cast<uint32_t*>(runtime::allocate(size_t(cw) * size_t(ch) * 4));
        copy_rect(pixels, W, H, cx, cy, cw, ch, part.p);
        resampled.p = transform(part.p, cw, ch, q, out_x, out_y, out_width, out_height);
    } else {
        resampled.p = transform(pixels, W, H, q, out_x, out_y, out_width, out_height);
    }
    release_buffer(&img, false);
    if (!resampled.p) {
        set_cell(result, TYPE_NONE);
        return;
    }
    make_filled(result, *out_width, *out_height, 0);
    std::memcpy(acquire_buffer(result), resampled.p, size_t(*out_width) * size_t(*out_height) * 4);
    release_buffer(result, true);
    if (mirror_x) *out_width = -*out_width;
    if (mirror_y) *out_height = -*out_height;
}

}  // namespace image
