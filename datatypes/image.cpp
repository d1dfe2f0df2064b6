#include "datatypes/image.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "datatypes/binary.h"
#include "datatypes/block.h"
#include "datatypes/object.h"
#include "datatypes/pair.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/tuple.h"
#include "datatypes/word.h"
#include "evaluator/interpreter.h"
#include "evaluator/natives.h"
#include "runtime/collector.h"
#include "runtime/fire.h"
#include "runtime/mold.h"
#include "runtime/stack.h"
#include "services/files.h"
#include "services/imaging.h"

namespace image {

namespace {

const symbol::Known kSize("size"), kRgb("rgb"), kAlpha("alpha"), kArgb("argb");

inline bool same_record(const Cell* a, const Cell* b) { return a->data2 == b->data2; }
inline int32_t head_of(const Cell* c) { return c->index() > 0 ? c->index() : 0; }

[[noreturn]] void fire_arg(const Cell* value) {
    Cell v = *value;
    fire(err::script::invalid_arg, &v);
}

// A new record of count pixels (left as the allocator gives them).
Node alloc_record(int64_t count) {
    if (count * 4 > 0x7FFFFFF0) fire(err::internal::no_memory);
    Node n = memory::alloc_series(static_cast<int32_t>(count > 0 ? count : 1), 4, 0);
    memory::nodes[n]->tail = static_cast<uint32_t>(count * 4);
    return n;
}

// Checks the sides of a new image: negative ones become 0, larger than 65,535 is refused.
void check_sides(int32_t* width, int32_t* height) {
    if (*width < 0) *width = 0;
    if (*height < 0) *height = 0;
    if (*width > kMaxSide || *height > kMaxSide) {
        Cell size;
        pair::make_at(set_cell(&size, TYPE_PAIR), *width, *height);
        fire(err::script::size_limit, &size);
    }
}

// Tells the owner of an image about a pixel change, before and after.
void notify(const Cell* img, bool after, const Cell* value, int32_t index, int32_t part) {
    if (series::owned_q(img)) series::notify(img, series::EV_POKE, after, value, index, part);
}

}  // namespace

uint32_t pixel_of_tuple(const Cell* t) {
    const uint8_t* b = tuple::bytes_of(t);
    uint8_t alpha = tuple::count_of(t) >= 4 ? static_cast<uint8_t>(255 - b[3]) : 255;
    return pixel_of_rgba(b[0], b[1], b[2], alpha);
}

Cell* tuple_of_pixel(Cell* out, uint32_t p) {
    uint8_t bytes[4] = {static_cast<uint8_t>(p >> 16), static_cast<uint8_t>(p >> 8), static_cast<uint8_t>(p),
                        static_cast<uint8_t>(255 - (p >> 24))};
    out->header = 0;
    return tuple::make_at(out, bytes, 4);
}

// ---- Making images ----

Cell* init_cell(Cell* c, Node record, int32_t width, int32_t height) {
    return set_cell(c, TYPE_IMAGE, 0, record, static_cast<uint32_t>(width) | static_cast<uint32_t>(height) << 16);
}

Cell* make_filled(Cell* c, int32_t width, int32_t height, uint32_t fill) {
    check_sides(&width, &height);
    int64_t count = int64_t(width) * height;
    Node n = alloc_record(count);
    init_cell(c, n, width, height);
    std::fill_n(pixels_of(c), count, fill);
    return c;
}

Cell* make_from_pixels(Cell* c, int32_t width, int32_t height, const uint8_t* pixels) {
    check_sides(&width, &height);
    int64_t count = int64_t(width) * height;
    Node n = alloc_record(count);
    init_cell(c, n, width, height);
    if (count) std::memcpy(pixels_of(c), pixels, size_t(count) * 4);
    return c;
}

Cell* make_from_series(Cell* c, int32_t width, int32_t height, Node source, uint32_t offset) {
    collector::NodeRoot keep(&source);
    make_filled(c, width, height, 0);
    SeriesBuf* b = memory::nodes[source];
    size_t wanted = size_t(count_of(c)) * 4;
    size_t held = b->tail > offset ? b->tail - offset : 0;
    if (wanted) std::memcpy(pixels_of(c), b->data() + offset, std::min(wanted, held));
    return c;
}

Cell* copy_rect(Cell* out, const Cell* img_in, int32_t x, int32_t y, int32_t width, int32_t height) {
    Cell img = *img_in;
    collector::Root keep(&img);
    int32_t w = width_of(&img), h = height_of(&img);
    x = std::clamp(x, 0, w);
    y = std::clamp(y, 0, h);
    width = std::clamp(width, 0, w - x);
    height = std::clamp(height, 0, h - y);
    Node n = alloc_record(int64_t(width) * height);
    init_cell(out, n, width, height);
    const uint32_t* from = pixels_of(&img);
    uint32_t* to = pixels_of(out);
    for (int32_t row = 0; row < height; row++)
        std::memcpy(to + size_t(row) * size_t(width), from + (size_t(y) + size_t(row)) * size_t(w) + size_t(x),
                    size_t(width) * 4);
    return out;
}

Cell* push_resized(const Cell* img_in, int32_t width, int32_t height) {
    Cell img = *img_in;
    collector::Root keep(&img);
    Cell* out = stack::push_cell();
    make_filled(out, width, height, 0);
    int32_t sw = width_of(&img), sh = height_of(&img);
    width = width_of(out);
    height = height_of(out);
    if (sw == 0 || sh == 0) return out;
    const uint32_t* from = pixels_of(&img);
    uint32_t* to = pixels_of(out);
    for (int32_t y = 0; y < height; y++) {
        int64_t sy = int64_t(y) * sh / height;
        for (int32_t x = 0; x < width; x++) to[size_t(y) * size_t(width) + size_t(x)] = from[sy * sw + int64_t(x) * sw / width];
    }
    return out;
}

// ---- Codecs ----

namespace {

// Decoded pixels go straight into a new record held by a cell the collector sees.
class CellSink final : public imaging::Sink {
public:
    explicit CellSink(Cell* out) : out_(out) {}
    uint8_t* pixels(int width, int height) override {
        make_filled(out_, width, height, 0);
        return reinterpret_cast<uint8_t*>(pixels_of(out_));
    }

private:
    Cell* out_;
};

// Work areas of the codecs live on the C++ heap: running out of memory there is the language's
// no-memory error, not the end of the process.
template <class F>
auto heap_or_no_memory(F&& f) {
    try {
        return f();
    } catch (const std::bad_alloc&) {
        fire(err::internal::no_memory);
    }
}

// The bytes of a binary from its head, copied out of the collected heap.
std::vector<uint8_t> bytes_of(const Cell* binary) {
    const uint8_t* p = binary::rs_head(binary);
    return heap_or_no_memory([&] { return std::vector<uint8_t>(p, p + binary::rs_length_q(binary)); });
}

bool decode_into(Cell* out, const std::vector<uint8_t>& bytes) {
    CellSink sink(out);
    return heap_or_no_memory([&] { return imaging::decode(bytes.data(), bytes.size(), sink); });
}

// A whole file's bytes; false when it cannot be read. No binary could hold more than
// kMaxFileBytes, so a larger file (or a device such as /dev/zero, which never ends) is the
// no-memory error that read gives it.
constexpr size_t kMaxFileBytes = 0x7FFFFFFF;
// The longest signature that sniff reads.
constexpr size_t kSignatureBytes = 6;

bool read_whole(const std::string& path, std::vector<uint8_t>& bytes) {
    int fd = simple_io::open_file(path, simple_io::OPEN_READ);
    if (fd < 0) return false;
    bool ok = true, too_big = false;
    uint8_t chunk[65536];
    try {
        while (true) {
            int64_t n = simple_io::read_data(fd, chunk, sizeof chunk);
            if (n < 0) ok = false;
            if (n <= 0) break;
            if (bytes.size() + size_t(n) > kMaxFileBytes) {
                too_big = true;
                break;
            }
            bytes.insert(bytes.end(), chunk, chunk + n);
            // Data that starts as no known image is not read on: a large file or an endless
            // device of other data fails at once instead of filling memory.
            if (bytes.size() == size_t(n) && bytes.size() >= kSignatureBytes &&
                imaging::sniff(bytes.data(), bytes.size()) < 0) {
                ok = false;
                break;
            }
            if (size_t(n) < sizeof chunk) break;
        }
    } catch (const std::bad_alloc&) {
        too_big = true;
    }
    simple_io::close_file(fd);
    if (too_big) fire(err::internal::no_memory);
    return ok;
}

}  // namespace

bool known_format_q(const Cell* binary) {
    return imaging::sniff(binary::rs_head(binary), size_t(binary::rs_length_q(binary))) >= 0;
}

Cell* decode_binary(Cell* out, const Cell* binary) {
    if (!known_format_q(binary)) return set_cell(out, TYPE_NONE);
    std::vector<uint8_t> bytes = bytes_of(binary);
    set_cell(out, TYPE_NONE);
    if (!decode_into(out, bytes)) fire(err::access::bad_media);
    return out;
}

Cell* load_file_value(Cell* out, const Cell* file) {
    Cell name = *file;
    collector::Root keep(&name);
    std::vector<uint8_t> bytes;
    bool ok = read_whole(simple_io::os_path(&name), bytes);
    set_cell(out, TYPE_NONE);
    if (!ok || !decode_into(out, bytes)) fire(err::access::cannot_open, &name);
    return out;
}

Cell* decode(Cell* out, const Cell* data) {
    if (data->type() == TYPE_BINARY) return decode_binary(out, data);
    return load_file_value(out, data);
}

Cell* encode(Cell* out, const Cell* img, int format) {
    if (img->data3 == 0) fire(err::access::bad_media);
    std::vector<uint8_t> bytes;
    int32_t w = width_of(img), h = height_of(img);
    if (w > 0 && h > 0) {
        const uint8_t* pixels = reinterpret_cast<const uint8_t*>(pixels_of(img));
        if (!heap_or_no_memory([&] { return imaging::encode(format, pixels, w, h, bytes); }))
            fire(err::access::bad_media);
    }
    return binary::load_at(out, bytes.data(), bytes.size());
}

// ---- Pixel access ----

Cell* extract_data(Cell* out, const Cell* img_in, int mode) {
    Cell img = *img_in;
    collector::Root keep(&img);
    int32_t count = count_of(&img);
    int32_t unit = mode == MODE_ARGB ? 4 : mode == MODE_RGB ? 3 : 1;
    binary::make_at(out, count * unit);
    SeriesBuf* b = memory::nodes[out->node()];
    uint8_t* to = b->at_head();
    const uint32_t* p = pixels_of(&img);
    if (mode == MODE_ARGB) {
        std::memcpy(to, p, size_t(count) * 4);
    } else {
        for (int32_t i = 0; i < count; i++) {
            uint32_t v = p[i];
            if (mode == MODE_RGB) {
                *to++ = static_cast<uint8_t>(v >> 16);
                *to++ = static_cast<uint8_t>(v >> 8);
                *to++ = static_cast<uint8_t>(v);
            } else {
                *to++ = static_cast<uint8_t>(255 - (v >> 24));
            }
        }
    }
    b->tail = b->head + static_cast<uint32_t>(count * unit);
    return out;
}

void set_data(const Cell* img_in, const Cell* source_in, int mode) {
    Cell img = *img_in, source = *source_in;
    collector::Root keep(&img), keep_source(&source);
    uint8_t t = source.type();
    if (t != TYPE_BINARY && t != TYPE_TUPLE && t != TYPE_INTEGER) fire_arg(&source);
    notify(&img, false, &source, 0, count_of(&img));
    int32_t count = count_of(&img);
    uint32_t* p = pixels_of(&img);
    if (t == TYPE_BINARY) {
        const uint8_t* s = binary::rs_head(&source);
        int64_t n = binary::rs_length_q(&source);
        if (mode == MODE_ARGB) {
            std::memcpy(p, s, size_t(std::min<int64_t>(n, int64_t(count) * 4)));
        } else if (mode == MODE_RGB) {
            int64_t pixels = std::min<int64_t>(n / 3, count);
            for (int64_t i = 0; i < pixels; i++, s += 3) p[i] = (p[i] & 0xFF000000u) | pixel_of_rgba(s[0], s[1], s[2], 0);
        } else {
            int64_t pixels = std::min<int64_t>(n, count);
            for (int64_t i = 0; i < pixels; i++) p[i] = (p[i] & 0x00FFFFFFu) | uint32_t(255 - s[i]) << 24;
        }
    } else {
        uint32_t colour;
        uint8_t transparency;
        if (t == TYPE_TUPLE) {
            colour = pixel_of_tuple(&source);
            transparency = tuple::bytes_of(&source)[0];
        } else {
            // An integer is the pixel word itself (argb), or the transparency byte (alpha).
            colour = source.data1;
            transparency = static_cast<uint8_t>(source.data1);
        }
        for (int32_t i = 0; i < count; i++) {
            if (mode == MODE_ARGB)
                p[i] = colour;
            else if (mode == MODE_RGB)
                p[i] = (p[i] & 0xFF000000u) | (colour & 0x00FFFFFFu);
            else
                p[i] = (p[i] & 0x00FFFFFFu) | uint32_t(255 - transparency) << 24;
        }
    }
    notify(&img, true, &source, 0, count);
}

int64_t index_of(const Cell* img, const Cell* index, int base, bool* out_of_range) {
    int64_t w = width_of(img), h = height_of(img), count = w * h;
    int64_t n;
    bool outside = false;
    if (index->type() == TYPE_PAIR) {
        int64_t x = pair::x_of(index), y = pair::y_of(index);
        if (base == 1) {
            n = x + w * (y > 0 ? y - 1 : 0);
            outside = x > w || x < 1 || y > h || y < 1;
        } else {
            n = x + w * y;
            outside = x >= w || x < 0 || y >= h || y < 0;
        }
    } else {
        n = int_of(index);
    }
    int64_t offset = n + head_of(img) - base;
    if (base == 1 && n <= 0) offset++;
    int64_t clamped = std::clamp<int64_t>(offset, 0, count);
    if (index->type() != TYPE_PAIR) outside = clamped != offset;
    if (out_of_range) *out_of_range = outside;
    return clamped;
}

// ---- Actions ----

Cell* make(Cell* proto, Cell* spec, int type) {
    switch (spec->type()) {
        case TYPE_PAIR: return make_filled(proto, pair::x_of(spec), pair::y_of(spec), 0xFFFFFFFFu);
        case TYPE_BLOCK: {
            int32_t n = block::rs_length_q(spec);
            if (n == 0) {
                if (proto->type() == TYPE_IMAGE) return copy_rect(proto, proto, 0, 0, width_of(proto), height_of(proto));
                fire_arg(spec);
            }
            Cell items[3];
            for (int i = 0; i < 3; i++) set_cell(items + i, TYPE_NONE);
            for (int i = 0; i < n && i < 3; i++) items[i] = block::rs_head(spec)[i];
            if (items[0].type() != TYPE_PAIR) fire_arg(items);
            if (n > 1 && items[1].type() != TYPE_BINARY && items[1].type() != TYPE_TUPLE) fire_arg(items + 1);
            if (n > 2 && items[2].type() != TYPE_BINARY) fire_arg(items + 2);
            // The spec block on the stack keeps the binaries; their bytes are fetched after the
            // allocation.
            if (items[1].type() == TYPE_TUPLE)
                return make_filled(proto, pair::x_of(items), pair::y_of(items), pixel_of_tuple(items + 1));
            make_filled(proto, pair::x_of(items), pair::y_of(items), 0xFFFFFFFFu);
            uint32_t* p = pixels_of(proto);
            int64_t count = count_of(proto);
            if (items[1].type() == TYPE_BINARY) {
                const uint8_t* s = binary::rs_head(items + 1);
                int64_t pixels = std::min<int64_t>(binary::rs_length_q(items + 1) / 3, count);
                for (int64_t i = 0; i < pixels; i++, s += 3) p[i] = pixel_of_rgba(s[0], s[1], s[2], 255);
            }
            if (items[2].type() == TYPE_BINARY) {
                const uint8_t* s = binary::rs_head(items + 2);
                int64_t pixels = std::min<int64_t>(binary::rs_length_q(items + 2), count);
                for (int64_t i = 0; i < pixels; i++) p[i] = (p[i] & 0x00FFFFFFu) | uint32_t(255 - s[i]) << 24;
            }
            return proto;
        }
        default: return to(proto, spec, type);
    }
}

Cell* to(Cell* proto, Cell* spec, int) {
    if (spec->type() == TYPE_IMAGE) return copy_rect(proto, spec, 0, 0, width_of(spec), height_of(spec));
    if (spec->type() == TYPE_OBJECT) {
        // A face would be handed to the GUI backend for its picture; the terminal backend has
        // none to give.
        Cell w;
        set_cell(&w, TYPE_WORD);
        word::load(&w, "face?");
        const Cell* test = word::peek(&w);
        if (test && types::any_function(test->type())) {
            Cell fn = *test, answer, object = *spec;
            collector::Root keep_fn(&fn), keep_object(&object);
            set_cell(&answer, TYPE_NONE);
            collector::Root keep_answer(&answer);
            const Cell* args[1] = {&object};
            interpreter::call_with(&answer, &fn, args, 1);
            if (!(answer.type() == TYPE_NONE || (answer.type() == TYPE_LOGIC && answer.data1 == 0)))
                return set_cell(proto, TYPE_NONE);
        }
    }
    Cell type, value = *spec;
    datatype::make_at(&type, TYPE_IMAGE);
    fire(err::script::bad_to_arg, &type, &value);
}

namespace {

// The text of mold and form: "make image! [WxH #{RRGGBB...}]", the transparency bytes as a
// second binary when any pixel is not opaque.
int mold_form(const Cell* value, Node buffer, bool flat, const Cell* part, int limit, int indent) {
    int32_t before = static_cast<int32_t>(memory::nodes[buffer]->length());
    auto left = [&] { return limit - (static_cast<int32_t>(memory::nodes[buffer]->length()) - before); };
    Cell img = *value;
    collector::Root keep(&img);
    char text[64];
    int n = std::snprintf(text, sizeof text, "make image! [%dx%d", width_of(&img), height_of(&img));
    string::concatenate_literal_n(buffer, text, size_t(n));
    int32_t count = count_of(&img);
    if (count == 0) {
        string::concatenate_literal_n(buffer, " #{}]", 5);
        return left();
    }
    int32_t head = std::min(head_of(&img), count);
    bool lines = !flat && int64_t(count - head) * 3 > 30;
    auto line_break = [&](int level) {
        string::append_char(buffer, '\n');
        mold::indent(buffer, level, 0);
    };
    string::concatenate_literal_n(buffer, " #{", 3);
    bool opaque = true;
    for (int32_t i = head; i < count; i++) {
        if (part && left() <= 0) return left();
        if (lines && (i - head) % 10 == 0) line_break(indent + 1);
        uint32_t p = pixels_of(&img)[i];
        string::byte_to_hex(static_cast<uint8_t>(p >> 16), text);
        string::byte_to_hex(static_cast<uint8_t>(p >> 8), text + 2);
        string::byte_to_hex(static_cast<uint8_t>(p), text + 4);
        string::concatenate_literal_n(buffer, text, 6);
    }
    if (lines) line_break(indent);
    string::append_char(buffer, '}');
    for (int32_t i = 0; i < count && opaque; i++) opaque = (pixels_of(&img)[i] >> 24) == 255;
    if (!opaque) {
        string::concatenate_literal_n(buffer, " #{", 3);
        for (int32_t i = 0; i < count; i++) {
            if (part && left() <= 0) return left();
            if (lines && i % 10 == 0) line_break(indent + 1);
            string::byte_to_hex(static_cast<uint8_t>(255 - (pixels_of(&img)[i] >> 24)), text);
            string::concatenate_literal_n(buffer, text, 2);
        }
        if (lines) line_break(indent);
        string::append_char(buffer, '}');
    }
    string::append_char(buffer, ']');
    return left();
}

// Writes a pixel at an offset with the checks of poke; answers nothing.
void poke_pixel(const Cell* img, const Cell* index, int64_t offset, bool outside, const Cell* value) {
    if (outside || offset >= count_of(img)) {
        Cell i = *index;
        fire(err::script::out_of_range, &i);
    }
    if (value->type() != TYPE_TUPLE) fire_arg(value);
    uint32_t pixel = pixel_of_tuple(value);
    notify(img, false, value, static_cast<int32_t>(offset), 1);
    pixels_of(img)[offset] = pixel;
    notify(img, true, value, static_cast<int32_t>(offset), 1);
}

int data_mode(const Cell* element) {
    if (!types::word_like(element->type())) return -1;
    if (kRgb.is(element)) return MODE_RGB;
    if (kAlpha.is(element)) return MODE_ALPHA;
    if (kArgb.is(element)) return MODE_ARGB;
    return -1;
}

}  // namespace

int form(const Cell* value, Node buffer, const Cell* part, int limit) { return mold_form(value, buffer, false, part, limit, 0); }

int mold(const Cell* value, Node buffer, bool, bool, bool flat, const Cell* part, int limit, int indent) {
    return mold_form(value, buffer, flat, part, limit, indent);
}

Cell* eval_path(PathStep& step, Cell* out) {
    Cell img = *step.value, element = *step.element;
    collector::Root keep(&img), keep_element(&element);
    if (element.type() == TYPE_INTEGER || element.type() == TYPE_PAIR) {
        bool outside = false;
        int64_t offset = index_of(&img, &element, 1, &outside);
        if (step.store) {
            Cell value = *step.store;
            collector::Root keep_value(&value);
            poke_pixel(&img, &element, offset, outside, &value);
            *out = value;
            return out;
        }
        if (outside || offset >= count_of(&img)) return set_cell(out, TYPE_NONE);
        return tuple_of_pixel(out, pixels_of(&img)[offset]);
    }
    bool size = types::word_like(element.type()) && kSize.is(&element);
    if (size && !step.store) {
        out->header = 0;
        return pair::make_at(out, width_of(&img), height_of(&img));
    }
    int mode = size ? -1 : data_mode(&element);
    if (mode < 0) {
        Cell p = step.path ? *step.path : img;
        fire(err::script::invalid_path, &p, &element);
    }
    if (step.store) {
        Cell value = *step.store;
        collector::Root keep_value(&value);
        set_data(&img, &value, mode);
        *out = value;
        return out;
    }
    return extract_data(out, &img, mode);
}

int compare(const Cell* a, const Cell* b, int op) {
    if (b->type() != TYPE_IMAGE) return -2;
    bool same = same_record(a, b) && a->index() == b->index();
    if (op == COMP_SAME) return same ? 0 : -1;
    switch (op) {
        case COMP_EQUAL:
        case COMP_NOT_EQUAL:
        case COMP_STRICT_EQUAL:
            if (same) return 0;
            break;
        case COMP_SORT:
        case COMP_CASE_SORT:
        case COMP_EQUAL_FIND: break;
        default: return -2;
    }
    int32_t ca = count_of(a), cb = count_of(b);
    if (ca != cb) return ca < cb ? -1 : 1;
    if (ca == 0) return 0;
    int r = std::memcmp(pixels_of(a), pixels_of(b), size_t(ca) * 4);
    return r < 0 ? -1 : r > 0 ? 1 : 0;
}

// at and skip both count from 0: at i 1 is the second pixel, at i 1x1 the pixel of the second
// column and row; skip moves from the head by a count, or by columns and rows.
void at(const int32_t*) {
    Cell* v = stack::arguments;
    if (v[1].type() != TYPE_INTEGER && v[1].type() != TYPE_PAIR) fire_arg(v + 1);
    v->set_index(static_cast<int32_t>(index_of(v, v + 1, 0, nullptr)));
    stack::keep();
}

void skip(const int32_t* refs) { at(refs); }

void next(const int32_t*) {
    Cell* v = stack::arguments;
    if (int64_t(head_of(v)) + 1 <= count_of(v)) v->set_index(head_of(v) + 1);
    stack::keep();
}

void tail(const int32_t*) {
    stack::arguments->set_index(count_of(stack::arguments));
    stack::keep();
}

void tail_q(const int32_t*) {
    Cell* v = stack::arguments;
    set_cell(v, TYPE_LOGIC, head_of(v) >= count_of(v) ? 1 : 0);
    stack::keep();
}

void length_q(const int32_t*) {
    Cell* v = stack::arguments;
    set_cell(v, TYPE_INTEGER, static_cast<uint32_t>(count_of(v)));
    stack::keep();
}

void pick(const int32_t*) {
    Cell* v = stack::arguments;
    if (v[1].type() != TYPE_INTEGER && v[1].type() != TYPE_PAIR) fire_arg(v + 1);
    bool outside = false;
    int64_t offset = index_of(v, v + 1, 1, &outside);
    if (outside || offset >= count_of(v))
        set_cell(v, TYPE_NONE);
    else
        tuple_of_pixel(v, pixels_of(v)[offset]);
    stack::keep();
}

void poke(const int32_t*) {
    Cell* v = stack::arguments;
    if (v[1].type() != TYPE_INTEGER && v[1].type() != TYPE_PAIR) fire_arg(v + 1);
    bool outside = false;
    int64_t offset = index_of(v, v + 1, 1, &outside);
    poke_pixel(v, v + 1, offset, outside, v + 2);
    v = stack::arguments;
    *v = v[2];
    stack::keep();
}

void change(const int32_t* refs) {
    Cell* v = stack::arguments;
    if (refs[0] >= 0 || (refs[2] >= 0 && !(v[refs[2]].type() == TYPE_INTEGER && v[refs[2]].i1() <= 1)))
        fire(err::internal::not_done);
    Cell img = *v, value = v[1];
    collector::Root keep(&img), keep_value(&value);
    int32_t head = head_of(&img), count = count_of(&img), w = width_of(&img), h = height_of(&img);
    if (value.type() == TYPE_TUPLE) {
        Cell one;
        set_cell(&one, TYPE_INTEGER, 1);
        poke_pixel(&img, &one, head, head >= count, &value);
        img.set_index(head + 1);
    } else if (value.type() == TYPE_IMAGE) {
        if (head < count) {
            int32_t col = head % w, row = head / w;
            int32_t sw = width_of(&value), sh = height_of(&value);
            int32_t cols = std::min(sw, w - col), rows = std::min(sh, h - row);
            if (cols > 0 && rows > 0) {
                notify(&img, false, &value, head, cols * rows);
                // From the source's first pixel; a source that is this very image is copied
                // first so that rows written do not feed later ones. Only the rectangle that is
                // written is copied: a source far larger than this image costs no more.
                std::vector<uint32_t> source = heap_or_no_memory([&] {
                    std::vector<uint32_t> part(size_t(cols) * size_t(rows));
                    const uint32_t* from = pixels_of(&value);
                    for (int32_t r = 0; r < rows; r++)
                        std::memcpy(part.data() + size_t(r) * size_t(cols), from + size_t(r) * size_t(sw),
                                    size_t(cols) * 4);
                    return part;
                });
                uint32_t* p = pixels_of(&img);
                for (int32_t r = 0; r < rows; r++)
                    std::memcpy(p + size_t(row + r) * size_t(w) + size_t(col), source.data() + size_t(r) * size_t(cols),
                                size_t(cols) * 4);
                notify(&img, true, &value, head, cols * rows);
                img.set_index((row + rows - 1) * w + std::min(col + cols, w));
            }
        }
    } else {
        Cell type;
        datatype::make_at(&type, value.type());
        fire(err::script::invalid_type, &type);
    }
    *stack::arguments = img;
    stack::keep();
}

void copy(const int32_t* refs) {
    Cell* v = stack::arguments;
    Cell img = *v;
    collector::Root keep(&img);
    int32_t w = width_of(&img), head = head_of(&img);
    int32_t col = w ? head % w : 0, row = w ? head / w : 0;
    if (refs[0] < 0) {
        copy_rect(v, &img, 0, 0, w, height_of(&img));
    } else {
        Cell part = v[refs[0]];
        if (part.type() == TYPE_INTEGER) fire(err::internal::not_done);
        if (part.type() == TYPE_PAIR) {
            copy_rect(v, &img, col, row, std::max(pair::x_of(&part), 0), std::max(pair::y_of(&part), 0));
        } else if (part.type() == TYPE_IMAGE && same_record(&part, &img)) {
            int32_t other = head_of(&part), ocol = w ? other % w : 0, orow = w ? other / w : 0;
            copy_rect(v, &img, std::min(col, ocol), std::min(row, orow), std::abs(ocol - col), std::abs(orow - row));
        } else {
            series::bad_refine("part", &part);
        }
    }
    stack::keep();
}

// ---- Registration ----

static Cell* pixel_bytes(Cell* out, const Cell* img) { return extract_data(out, img, MODE_ARGB); }

void init() {
    datatype::Row row;
    row.set(ACT_MAKE, make)
        .set(ACT_TO, to)
        .set(ACT_FORM, form)
        .set(ACT_MOLD, mold)
        .set(ACT_EVAL_PATH, eval_path)
        .set(ACT_COMPARE, compare)
        .set(ACT_AT, at)
        .set(ACT_NEXT, next)
        .set(ACT_SKIP, skip)
        .set(ACT_TAIL, tail)
        .set(ACT_TAIL_Q, tail_q)
        .set(ACT_LENGTH_Q, length_q)
        .set(ACT_PICK, pick)
        .set(ACT_POKE, poke)
        .set(ACT_CHANGE, change)
        .set(ACT_COPY, copy);
    row.inherit({ACT_BACK, ACT_HEAD, ACT_HEAD_Q, ACT_INDEX_Q, ACT_MODIFY});
    datatype::register_row(TYPE_IMAGE, TYPE_SERIES, "image!", row);
    binary::image_bytes = pixel_bytes;
}

// ---- Routines of the image codecs ----

namespace {

template <int Format>
void encode_routine() {
    Cell* img = stack::arguments;
    if (img->type() != TYPE_IMAGE) {
        Cell v = *img;
        fire(err::script::invalid_arg, &v);
    }
    Cell source = *img;
    collector::Root keep(&source);
    encode(stack::arguments, &source, Format);
    stack::keep();
}

void decode_routine() {
    Cell data = *stack::arguments;
    collector::Root keep(&data);
    if (data.type() == TYPE_BINARY) {
        decode_binary(stack::arguments, &data);
        if (stack::arguments->type() == TYPE_NONE) fire(err::access::bad_media);
    } else if (types::any_string(data.type())) {
        load_file_value(stack::arguments, &data);
    } else {
        fire(err::access::cannot_open, &data);
    }
    stack::keep();
}

}  // namespace

void register_routines() {
    routines::register_("image-encode-bmp", encode_routine<imaging::BMP>);
    routines::register_("image-encode-png", encode_routine<imaging::PNG>);
    routines::register_("image-encode-gif", encode_routine<imaging::GIF>);
    routines::register_("image-encode-jpeg", encode_routine<imaging::JPEG>);
    routines::register_("image-encode-tiff", encode_routine<imaging::TIFF>);
    routines::register_("image-decode", decode_routine);
}

}  // namespace image
