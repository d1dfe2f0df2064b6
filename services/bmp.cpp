#include "services/bmp.h"

#include <cstring>

namespace bmp {

namespace {

uint16_t u16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t u32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }

void put16(std::vector<uint8_t>& out, uint32_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}
void put32(std::vector<uint8_t>& out, uint32_t v) {
    put16(out, v & 0xFFFF);
    put16(out, v >> 16);
}

// One channel of a bit-field layout: its position and width, and the scale to 8 bits.
struct Channel {
    uint32_t mask = 0;
    int shift = 0;
    int bits = 0;
    void set(uint32_t m) {
        mask = m;
        shift = bits = 0;
        if (!m) return;
        while (!((m >> shift) & 1)) shift++;
        while (shift + bits < 32 && ((m >> (shift + bits)) & 1)) bits++;
    }
    // The channel of a pixel as 0-255, or fallback when the layout has no such channel.
    uint8_t get(uint32_t pixel, uint8_t fallback) const {
        if (!bits) return fallback;
        uint32_t v = (pixel & mask) >> shift;
        if (bits >= 8) return static_cast<uint8_t>(v >> (bits - 8));
        uint32_t top = (uint32_t(1) << bits) - 1;
        return static_cast<uint8_t>((v * 255 + top / 2) / top);
    }
};

enum Compression : uint32_t { RGB = 0, RLE8 = 1, RLE4 = 2, BITFIELDS = 3, ALPHABITFIELDS = 6 };

struct Header {
    int64_t width = 0, height = 0;
    bool top_down = false;
    uint32_t bpp = 0, compression = RGB, colors = 0;
    uint32_t palette_at = 0, palette_entry = 4;
    Channel r, g, b, a;
};

void set_pixel(uint8_t* p, uint8_t r, uint8_t g, uint8_t b, uint8_t a) {
    p[0] = b;
    p[1] = g;
    p[2] = r;
    p[3] = a;
}

// Run-length data: pairs of a count and a value, escapes for end of line, end of bitmap and a
// jump. Every write is checked against the image; running out of input ends the bitmap.
bool decode_rle(const uint8_t* d, size_t n, size_t at, const Header& h, const uint8_t* palette, uint32_t colors,
                uint8_t* out) {
    const bool four = h.compression == RLE4;
    int64_t x = 0, y = 0;  // y counts stored rows (bottom-up unless top-down)
    auto put = [&](uint32_t index) {
        if (x < h.width && y < h.height) {
            int64_t row = h.top_down ? y : h.height - 1 - y;
            uint8_t* p = out + (row * h.width + x) * 4;
            if (index < colors) {
                const uint8_t* c = palette + index * h.palette_entry;
                set_pixel(p, c[2], c[1], c[0], 255);
            } else {
                set_pixel(p, 0, 0, 0, 255);
            }
        }
        x++;
    };
    while (at + 2 <= n) {
        uint8_t count = d[at], value = d[at + 1];
        at += 2;
        if (count) {
            for (int i = 0; i < count; i++) put(four ? (i & 1 ? value & 0x0F : value >> 4) : value);
            continue;
        }
        if (value == 0) {  // end of line
            x = 0;
            y++;
        } else if (value == 1) {  // end of bitmap
            return true;
        } else if (value == 2) {  // jump right and up
            if (at + 2 > n) return false;
            x += d[at];
            y += d[at + 1];
            at += 2;
        } else {  // a run of literal values, padded to a 16-bit boundary
            size_t bytes = four ? (size_t(value) + 1) / 2 : value;
            if (at + bytes > n) return false;
            for (int i = 0; i < value; i++) {
                uint8_t byte = d[at + (four ? size_t(i) / 2 : size_t(i))];
                put(four ? (i & 1 ? byte & 0x0F : byte >> 4) : byte);
            }
            at += bytes + (bytes & 1);
        }
        if (y >= h.height) return true;
    }
    return true;  // data ending early leaves the rest transparent
}

}  // namespace

bool decode(const uint8_t* d, size_t n, imaging::Sink& sink) {
    if (n < kFileHeader + 4 || d[0] != 'B' || d[1] != 'M') return false;
    uint32_t offset = u32(d + 10);
    uint32_t info = u32(d + 14);
    Header h;
    if (info == 12) {
        if (n < kFileHeader + 12) return false;
        h.width = u16(d + 18);
        h.height = u16(d + 20);
        h.bpp = u16(d + 24);
        h.palette_entry = 3;
    } else if (info == 40 || info == 52 || info == 56 || info == 64 || info == 108 || info == 124) {
        if (n < kFileHeader + info) return false;
        h.width = static_cast<int32_t>(u32(d + 18));
        h.height = static_cast<int32_t>(u32(d + 22));
        h.bpp = u16(d + 28);
        h.compression = u32(d + 30);
        h.colors = u32(d + 46);
    } else {
        return false;
    }
    if (h.height < 0) {
        h.top_down = true;
        h.height = -h.height;
    }
    if (!imaging::size_ok(uint64_t(h.width < 0 ? 0 : h.width), uint64_t(h.height), n)) return false;
    uint32_t after_header = kFileHeader + info;
    bool fields = h.compression == BITFIELDS || h.compression == ALPHABITFIELDS;
    if (fields) {
        if (h.bpp != 16 && h.bpp != 32) return false;
        // Masks live in the larger headers, or follow a 40-byte one.
        uint32_t at = kFileHeader + 40;
        uint32_t count = h.compression == ALPHABITFIELDS || info >= 56 ? 4 : 3;
        if (at + 4 * count > n) return false;
        h.r.set(u32(d + at));
        h.g.set(u32(d + at + 4));
        h.b.set(u32(d + at + 8));
        if (count == 4) h.a.set(u32(d + at + 12));
        if (info == 40) after_header += 4 * count;
    } else if (h.compression == RGB && h.bpp == 16) {
        h.r.set(0x7C00);
        h.g.set(0x03E0);
        h.b.set(0x001F);
    } else if (h.compression == RGB && (h.bpp == 24 || h.bpp == 32)) {
        h.r.set(0x00FF0000);
        h.g.set(0x0000FF00);
        h.b.set(0x000000FF);
    } else if (h.compression == RLE8) {
        if (h.bpp != 8) return false;
    } else if (h.compression == RLE4) {
        if (h.bpp != 4) return false;
    } else if (h.compression != RGB || (h.bpp != 1 && h.bpp != 4 && h.bpp != 8)) {
        return false;
    }
    // The palette: as many entries as the header names (all the bit depth allows when 0), cut to
    // what the file holds before the pixels.
    const uint8_t* palette = nullptr;
    uint32_t colors = 0;
    if (h.bpp <= 8) {
        uint32_t most = uint32_t(1) << h.bpp;
        colors = h.colors == 0 || h.colors > most ? most : h.colors;
        uint32_t end = offset < n ? offset : static_cast<uint32_t>(n);
        if (after_header > end) return false;
        uint32_t room = (end - after_header) / h.palette_entry;
        if (colors > room) colors = room;
        palette = d + after_header;
    }
    if (offset >= n) return false;
    uint8_t* out = sink.pixels(static_cast<int>(h.width), static_cast<int>(h.height));
    size_t total = size_t(h.width) * size_t(h.height);
    if (h.compression == RLE8 || h.compression == RLE4) {
        std::memset(out, 0, total * 4);
        return decode_rle(d, n, offset, h, palette, colors, out);
    }
    uint64_t stride = (uint64_t(h.width) * h.bpp + 31) / 32 * 4;
    if (offset + stride * uint64_t(h.height) > n) return false;
    for (int64_t y = 0; y < h.height; y++) {
        const uint8_t* row = d + offset + stride * uint64_t(y);
        int64_t out_row = h.top_down ? y : h.height - 1 - y;
        uint8_t* p = out + out_row * h.width * 4;
        for (int64_t x = 0; x < h.width; x++, p += 4) {
            switch (h.bpp) {
                case 1:
                case 4:
                case 8: {
                    uint32_t per_byte = 8 / h.bpp;
                    uint8_t byte = row[x / per_byte];
                    uint32_t shift = 8 - h.bpp * (uint32_t(x % per_byte) + 1);
                    uint32_t index = (byte >> shift) & ((1u << h.bpp) - 1);
                    if (index < colors) {
                        const uint8_t* c = palette + index * h.palette_entry;
                        set_pixel(p, c[2], c[1], c[0], 255);
                    } else {
                        set_pixel(p, 0, 0, 0, 255);
                    }
                    break;
                }
                case 16: {
                    uint32_t v = u16(row + 2 * x);
                    set_pixel(p, h.r.get(v, 0), h.g.get(v, 0), h.b.get(v, 0), h.a.get(v, 255));
                    break;
                }
                case 24: set_pixel(p, row[3 * x + 2], row[3 * x + 1], row[3 * x], 255); break;
                default: {
                    uint32_t v = u32(row + 4 * x);
                    set_pixel(p, h.r.get(v, 0), h.g.get(v, 0), h.b.get(v, 0), h.a.get(v, 255));
                    break;
                }
            }
        }
    }
    return true;
}

bool encode(const uint8_t* pixels, int width, int height, std::vector<uint8_t>& out) {
    uint64_t bytes = uint64_t(width) * uint64_t(height) * 4;
    uint64_t file = kFileHeader + kInfoHeaderV5 + bytes;
    if (width < 1 || height < 1 || file > 0xFFFFFFFFu) return false;
    out.clear();
    out.reserve(static_cast<size_t>(file));
    out.push_back('B');
    out.push_back('M');
    put32(out, static_cast<uint32_t>(file));
    put32(out, 0);  // reserved
    put32(out, kFileHeader + kInfoHeaderV5);
    put32(out, kInfoHeaderV5);
    put32(out, static_cast<uint32_t>(width));
    put32(out, static_cast<uint32_t>(height));  // positive: rows bottom-up
    put16(out, 1);                              // planes
    put16(out, 32);                             // bits per pixel
    put32(out, BITFIELDS);
    put32(out, static_cast<uint32_t>(bytes));
    put32(out, 2835);  // 72 dots per inch, in dots per metre
    put32(out, 2835);
    put32(out, 0);  // colours used
    put32(out, 0);  // colours important
    put32(out, 0x00FF0000);
    put32(out, 0x0000FF00);
    put32(out, 0x000000FF);
    put32(out, 0xFF000000);
    put32(out, 0x73524742);                       // colour space "sRGB"
    for (int i = 0; i < 12; i++) put32(out, 0);  // end points (36 bytes) and gamma (12 bytes)
    put32(out, 4);                                // intent: pictures
    put32(out, 0);                                // profile data
    put32(out, 0);                                // profile size
    put32(out, 0);                                // reserved
    size_t row = size_t(width) * 4;
    for (int y = height - 1; y >= 0; y--) {
        const uint8_t* p = pixels + size_t(y) * row;
        out.insert(out.end(), p, p + row);
    }
    return true;
}

}  // namespace bmp
