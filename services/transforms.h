// Image transforms: a small kit of plane geometry, a bilinear resampler that maps a rectangle of
// 32-bit pixels into a quadrilateral (and a scaler built on it), an image drawn into a
// quadrilateral given by one to four points, and YUYV (4:2:2) bytes turned into 32-bit pixels.
//
// A quadrilateral is eight floats x0 y0 x1 y1 x2 y2 x3 y3: on a screen whose y axis grows
// downward P0 is the top-left corner, then clockwise P1 top-right, P2 bottom-right, P3
// bottom-left; its edges are E0 = P0 to P1 (top), E1 (right), E2 (bottom), E3 (left). Pixel
// buffers are rows of 32-bit pixels packed without padding, top row first; the resampler treats
// the four bytes of a pixel as four independent channels. Buffers made here are tracked heap
// blocks (runtime::allocate) that the caller frees with runtime::free.
#pragma once

#include <cstdint>

#include "datatypes/cell.h"

namespace geometry {

struct Vector {
    double x;
    double y;
};

double length(const Vector& v);
// Divides by the length (computed once); a zero vector is not guarded.
void normalize(Vector& v);
void make_vector(Vector& v, float x, float y);
// v := b - a.
void difference(Vector& v, float ax, float ay, float bx, float by);
double cross(const Vector& a, const Vector& b);
double dot(const Vector& a, const Vector& b);
// The sign of cross(Q - A, B - A).
bool cross_negative_q(float qx, float qy, float ax, float ay, float bx, float by);
bool cross_positive_q(float qx, float qy, float ax, float ay, float bx, float by);
// The distance of Q from the line through A and B.
double line_distance(float qx, float qy, float ax, float ay, float bx, float by);
// Turns the vector by whole degrees: x' = x cos t - y sin t, y' = x sin t - y cos t.
void rotate(Vector& v, int degrees);
// Reflects every x (or y) of the four points about k.
void flip_x4(float* quad, float k);
void flip_y4(float* quad, float k);
// Whether Q lies inside the quadrilateral or on its edges.
bool inside_quad_q(const float* quad, float qx, float qy);

}  // namespace geometry

namespace image {

// Copies the w × h rectangle at (x, y) of a source, clipped to it, into dest packed at the
// clipped width. 0 when the origin lies outside the source (nothing copied), else 1.
int copy_rect(const uint32_t* source, int32_t source_width, int32_t source_height, int32_t x, int32_t y, int32_t w,
              int32_t h, uint32_t* dest);
// Resamples a source of width × height pixels into a quadrilateral. Writes the placement (the
// bounding box: x, y, width, height, truncated toward zero) and answers a new buffer of width ×
// height pixels, zero outside the quadrilateral; null (placement not written) for an empty
// source, and null (placement written) when the box is empty, has a coordinate that is not a
// number or lies outside what an image can hold (a side above 65,535, or more pixels than an
// image's record takes).
uint32_t* transform(const uint32_t* source, int32_t width, int32_t height, const float* quad, int32_t* out_x,
                    int32_t* out_y, int32_t* out_width, int32_t* out_height);
// The source scaled to new_width × new_height through transform, or null.
uint32_t* scale_pixels(const uint32_t* source, int32_t width, int32_t height, int32_t new_width, int32_t new_height);
// YUYV bytes (Y0 U Y1 V for two pixels, rows not padded) to pixels 0xFF000000 | B << 16 | G << 8
// | R. Each row takes ceil(width / 2) groups: dest holds height × (width + width % 2) pixels and
// yuyv twice as many bytes.
void yuyv_to_rgb32(int32_t width, int32_t height, const uint8_t* yuyv, uint32_t* dest);

// The image drawn into a quadrilateral, as a new image! in result (none! when it cannot be made).
// points holds count point values (pair! or point2D!): one places the image (or the crop) at
// that point, two name opposite corners, three the top-left, top-right and bottom-left corners,
// four all of them in the order top-left, top-right, bottom-left, bottom-right; no point means the
// origin; five or more give none!. crop, when not null, is two pair! values: offset and size. The
// placement is written; a negative width or height marks an axis along which the quadrilateral
// was reflected.
void make_transformed(const Cell* img, Cell* result, const Cell* crop, const Cell* points, int count, int32_t* out_x,
                      int32_t* out_y, int32_t* out_width, int32_t* out_height);

// The pixels of an image for writing (valid until the next allocation), and the owner's notice
// afterwards (poke, index and part -1) when notify is set.
uint32_t* acquire_buffer(const Cell* img);
void release_buffer(const Cell* img, bool notify);

}  // namespace image
