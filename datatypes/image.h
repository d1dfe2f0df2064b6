// image!: a series-like value over a rectangle of 32-bit pixels.
//
// Cell: data1 the head (a pixel index from 0), data2 the node of the image record, data3 the size
// (width in bits 0-15, height in bits 16-31). The record is a series of 4-byte units holding the
// pixels, row by row from the top, each the word A << 24 | R << 16 | G << 8 | B (bytes B, G, R, A
// in memory); its length is width × height, so the series! actions that only move the head apply
// as they are. Like every buffer it moves when the collector compacts: fetch pixels_of again
// after anything that may allocate.
//
// A pixel as a value is the tuple R.G.B.T with the transparency T = 255 - A; a three-byte tuple is
// opaque. The byte views start at the first pixel whatever the head: rgb (3 bytes a pixel), alpha
// (the transparency byte of each pixel) and argb (the 4 stored bytes).
#pragma once

#include <cstdint>

#include "datatypes/cell.h"
#include "datatypes/datatype.h"

namespace image {

constexpr int32_t kMaxSide = 65535;

inline int32_t width_of(const Cell* c) { return static_cast<int32_t>(c->data3 & 0xFFFF); }
inline int32_t height_of(const Cell* c) { return static_cast<int32_t>(c->data3 >> 16); }
inline int32_t count_of(const Cell* c) { return width_of(c) * height_of(c); }
// The first pixel of the record (valid until the next allocation).
inline uint32_t* pixels_of(const Cell* c) { return reinterpret_cast<uint32_t*>(memory::nodes[c->data2]->data()); }

inline uint32_t pixel_of_rgba(uint8_t r, uint8_t g, uint8_t b, uint8_t a) {
    return uint32_t(a) << 24 | uint32_t(r) << 16 | uint32_t(g) << 8 | b;
}
// A tuple as a pixel (the fourth byte is the transparency; three bytes are opaque), and back.
uint32_t pixel_of_tuple(const Cell* tuple);
Cell* tuple_of_pixel(Cell* out, uint32_t pixel);

// The byte views.
enum DataMode : int { MODE_ALPHA = 0, MODE_RGB = 1, MODE_ARGB = 2 };

// ---- Making images ----

// An image! over a record: head 0, the given size.
Cell* init_cell(Cell* c, Node record, int32_t width, int32_t height);
// A new image of width × height pixels, each the fill word, into c (a cell the collector sees).
// Negative sides count as 0; a side above 65,535 raises script size-limit with the size.
Cell* make_filled(Cell* c, int32_t width, int32_t height, uint32_t fill);
// A new image with a copy of width × height pixels (B, G, R, A bytes, rows packed), into c. The
// bytes must not lie in a series (the allocation may move them).
Cell* make_from_pixels(Cell* c, int32_t width, int32_t height, const uint8_t* pixels);
// The same with the pixels taken from a series (a binary's buffer, say) at a byte offset from
// its data start, fetched after the allocation; pixels the series does not hold are left
// transparent black.
Cell* make_from_series(Cell* c, int32_t width, int32_t height, Node source, uint32_t offset);
// A new image of a rectangle of an image (clipped to it), head 0.
Cell* copy_rect(Cell* out, const Cell* img, int32_t x, int32_t y, int32_t width, int32_t height);
// A new image! of the record's pixels scaled to width × height, nearest neighbour, pushed on the
// data stack.
Cell* push_resized(const Cell* img, int32_t width, int32_t height);

// ---- Codecs ----

// Whether the bytes of a binary (from its head) start with the signature of a known format.
bool known_format_q(const Cell* binary);
// The image the bytes of a binary decode to, into out; none! when no format is recognised;
// access bad-media when they do not decode.
Cell* decode_binary(Cell* out, const Cell* binary);
// The image a file decodes to, into out; access cannot-open with the file when it cannot be read
// or decoded.
Cell* load_file_value(Cell* out, const Cell* file);
// A binary! goes to decode_binary, anything else is a file name for load_file_value.
Cell* decode(Cell* out, const Cell* data);
// A new binary! of the image encoded in a container (0 BMP, 1 PNG, 2 GIF, 3 JPEG, 4 TIFF), into
// out. An image of size 0x0 raises access bad-media; one with a zero side gives an empty binary.
Cell* encode(Cell* out, const Cell* img, int format);

// ---- Pixel access ----

// A new binary! of a byte view, into out.
Cell* extract_data(Cell* out, const Cell* img, int mode);
// Writes a byte view from a binary!, or fills it from a tuple! or integer!; script invalid-arg
// for another value. The owner hears of it (poke).
void set_data(const Cell* img, const Cell* source, int mode);
// The pixel offset of an integer! or pair! index (base 1 for pick and poke, 0 for at and skip),
// clamped to 0 .. width × height; out_of_range tells whether the index lies outside the image.
int64_t index_of(const Cell* img, const Cell* index, int base, bool* out_of_range);

// ---- Actions ----

Cell* make(Cell* proto, Cell* spec, int type);
Cell* to(Cell* proto, Cell* spec, int type);
int form(const Cell* value, Node buffer, const Cell* part, int limit);
int mold(const Cell* value, Node buffer, bool only, bool all, bool flat, const Cell* part, int limit, int indent);
Cell* eval_path(PathStep& step, Cell* out);
int compare(const Cell* a, const Cell* b, int op);
void at(const int32_t* refs);
void next(const int32_t* refs);
void skip(const int32_t* refs);
void tail(const int32_t* refs);
void tail_q(const int32_t* refs);
void length_q(const int32_t* refs);
void pick(const int32_t* refs);
void poke(const int32_t* refs);
void change(const int32_t* refs);
void copy(const int32_t* refs);

// Registers image! (type 53, parent series!) and the pixel bytes of to binary!.
void init();
// The routines of the image codecs (image-encode-bmp ... image-encode-tiff, image-decode).
void register_routines();

}  // namespace image
