// The image codec layer: decodes BMP, PNG, JPEG, GIF and TIFF data into 32-bit pixels and encodes
// pixels into those containers. PNG, JPEG, GIF and TIFF go through libpng, libjpeg-turbo, giflib
// and libtiff; BMP is read and written here (services/bmp).
//
// Pixels are 32-bit words B, G, R, A in memory order (A 255 opaque), rows packed, top row first.
// Nothing here allocates in the collected heap: a decoder asks its sink for the destination once
// it knows the size, and an encoder writes into a std::vector.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace imaging {

enum Format : int { BMP = 0, PNG = 1, GIF = 2, JPEG = 3, TIFF = 4 };

constexpr uint32_t kMaxSide = 65535;
// Pixels a decoded image may have whatever its input: above this, the input must be large
// enough to describe the image (kMaxPixelsPerByte), so a forged size in a small file cannot
// drive a huge allocation.
constexpr uint64_t kFreePixels = uint64_t(1) << 24;
constexpr uint64_t kMaxPixelsPerByte = 1024;
// The most pixels one input byte can describe where the format allows more: PNG rows of 1-bit
// samples deflated at most 1032:1, and GIF strings of up to 4,096 pixels in a 12-bit code.
constexpr uint64_t kPngPixelsPerByte = 8 * 1032;
constexpr uint64_t kGifPixelsPerByte = 4096;
// The largest pixel count a series can hold (4 bytes each).
constexpr uint64_t kMaxPixels = 0x7FFFFFF0 / 4;

// The container the bytes start with, or -1: 0x89 "PNG", FF D8 FF, "BM", "GIF87a"/"GIF89a",
// "II" 2A 00 or "MM" 00 2A.
int sniff(const uint8_t* data, size_t n);

// Whether a decoded size may be allocated for an input of n bytes: both sides 1 to 65,535, the
// pixel count within a series, and beyond kFreePixels at most per_byte pixels per input byte.
bool size_ok(uint64_t width, uint64_t height, size_t n, uint64_t per_byte = kMaxPixelsPerByte);

// Where a decoder puts its pixels: called once with the checked size; answers the address of
// width × height × 4 bytes that stay valid until the decoder returns. It may raise a language
// error instead (the decoder's resources are released on the way out).
class Sink {
public:
    virtual uint8_t* pixels(int width, int height) = 0;

protected:
    ~Sink() = default;
};

// Decodes the first frame of the data. False when the data is no image of a known format, is
// corrupt or truncated, or has a size that size_ok refuses; the sink is then not called, or its
// pixels are left partly written.
bool decode(const uint8_t* data, size_t n, Sink& sink);

// Encodes width × height pixels (both at least 1) into a container; false when the library
// fails. JPEG drops the alpha channel; GIF keeps fully transparent pixels transparent and reduces
// to 256 colours when there are more.
bool encode(int format, const uint8_t* pixels, int width, int height, std::vector<uint8_t>& out);

// Per format, for the dispatchers above.
bool decode_png(const uint8_t* data, size_t n, Sink& sink);
bool decode_jpeg(const uint8_t* data, size_t n, Sink& sink);
bool decode_gif(const uint8_t* data, size_t n, Sink& sink);
bool decode_tiff(const uint8_t* data, size_t n, Sink& sink);
bool encode_png(const uint8_t* pixels, int width, int height, std::vector<uint8_t>& out);
bool encode_jpeg(const uint8_t* pixels, int width, int height, std::vector<uint8_t>& out);
bool encode_gif(const uint8_t* pixels, int width, int height, std::vector<uint8_t>& out);
bool encode_tiff(const uint8_t* pixels, int width, int height, std::vector<uint8_t>& out);

}  // namespace imaging
