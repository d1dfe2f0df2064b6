#include "services/imaging.h"

#include <gif_lib.h>
#include <png.h>
#include <tiffio.h>
#include <turbojpeg.h>

#include <algorithm>
#include <cstring>
#include <unordered_map>

#include "services/bmp.h"

namespace imaging {

int sniff(const uint8_t* p, size_t n) {
    if (n >= 4 && p[0] == 0x89 && p[1] == 'P' && p[2] == 'N' && p[3] == 'G') return PNG;
    if (n >= 3 && p[0] == 0xFF && p[1] == 0xD8 && p[2] == 0xFF) return JPEG;
    if (n >= 2 && p[0] == 'B' && p[1] == 'M') return BMP;
    if (n >= 6 && std::memcmp(p, "GIF8", 4) == 0 && (p[4] == '7' || p[4] == '9') && p[5] == 'a') return GIF;
    if (n >= 4 && ((p[0] == 'I' && p[1] == 'I' && p[2] == 0x2A && p[3] == 0) ||
                   (p[0] == 'M' && p[1] == 'M' && p[2] == 0 && p[3] == 0x2A)))
        return TIFF;
    return -1;
}

bool size_ok(uint64_t width, uint64_t height, size_t n, uint64_t per_byte) {
    if (width < 1 || height < 1 || width > kMaxSide || height > kMaxSide) return false;
    uint64_t pixels = width * height;
    if (pixels > kMaxPixels) return false;
    return pixels <= kFreePixels || pixels / per_byte <= n;
}

bool decode(const uint8_t* data, size_t n, Sink& sink) {
    switch (sniff(data, n)) {
        case PNG: return decode_png(data, n, sink);
        case JPEG: return decode_jpeg(data, n, sink);
        case BMP: return bmp::decode(data, n, sink);
        case GIF: return decode_gif(data, n, sink);
        case TIFF: return decode_tiff(data, n, sink);
        default: return false;
    }
}

bool encode(int format, const uint8_t* pixels, int width, int height, std::vector<uint8_t>& out) {
    out.clear();
    if (width < 1 || height < 1) return false;
    switch (format) {
        case BMP: return bmp::encode(pixels, width, height, out);
        case PNG: return encode_png(pixels, width, height, out);
        case GIF: return encode_gif(pixels, width, height, out);
        case JPEG: return encode_jpeg(pixels, width, height, out);
        case TIFF: return encode_tiff(pixels, width, height, out);
        default: return false;
    }
}

static bool opaque_q(const uint8_t* pixels, size_t count) {
    for (size_t i = 0; i < count; i++)
        if (pixels[4 * i + 3] != 255) return false;
    return true;
}

// ---- PNG (libpng's simplified interface: no longjmp reaches this code) ----

namespace {
struct PngImage {
    png_image image;
    PngImage() {
        std::memset(&image, 0, sizeof image);
        image.version = PNG_IMAGE_VERSION;
    }
    ~PngImage() { png_image_free(&image); }
};
}  // namespace

bool decode_png(const uint8_t* data, size_t n, Sink& sink) {
    PngImage png;
    // 16-bit samples without gamma information are taken as sRGB like 8-bit ones, not linear.
    if (!png_image_begin_read_from_memory(&png.image, data, n)) return false;
    png.image.flags |= PNG_IMAGE_FLAG_16BIT_sRGB;
    if (!size_ok(png.image.width, png.image.height, n, kPngPixelsPerByte)) return false;
    png.image.format = PNG_FORMAT_BGRA;
    uint8_t* out = sink.pixels(static_cast<int>(png.image.width), static_cast<int>(png.image.height));
    return png_image_finish_read(&png.image, nullptr, out, 0, nullptr) != 0;
}

bool encode_png(const uint8_t* pixels, int width, int height, std::vector<uint8_t>& out) {
    size_t count = size_t(width) * size_t(height);
    bool opaque = opaque_q(pixels, count);
    std::vector<uint8_t> rows;
    const uint8_t* source = pixels;
    if (opaque) {
        // Opaque images are written without their alpha channel.
        rows.resize(count * 3);
        for (size_t i = 0; i < count; i++) std::memcpy(&rows[3 * i], pixels + 4 * i, 3);
        source = rows.data();
    }
    PngImage png;
    png.image.width = static_cast<png_uint_32>(width);
    png.image.height = static_cast<png_uint_32>(height);
    png.image.format = opaque ? PNG_FORMAT_BGR : PNG_FORMAT_BGRA;
    png_alloc_size_t size = 0;
    if (!png_image_write_to_memory(&png.image, nullptr, &size, 0, source, 0, nullptr)) return false;
    out.resize(size);
    if (!png_image_write_to_memory(&png.image, out.data(), &size, 0, source, 0, nullptr)) return false;
    out.resize(size);
    return true;
}

// ---- JPEG (TurboJPEG, the libjpeg-turbo interface that reports errors by result) ----

namespace {
struct TjHandle {
    tjhandle h;
    explicit TjHandle(tjhandle handle) : h(handle) {}
    ~TjHandle() {
        if (h) tjDestroy(h);
    }
};
}  // namespace

// Whether the markers before the scan data hold Adobe's APP14 segment, whose writers store CMYK
// samples inverted (255 for no ink).
static bool adobe_marker_q(const uint8_t* data, size_t n) {
    size_t at = 2;
    while (at + 4 <= n && data[at] == 0xFF) {
        uint8_t marker = data[at + 1];
        if (marker == 0xFF) {  // fill byte
            at++;
            continue;
        }
        if (marker == 0xDA || marker == 0xD9) return false;  // scan data or end: no more segments
        size_t length = size_t(data[at + 2]) << 8 | data[at + 3];
        if (length < 2) return false;
        if (marker == 0xEE && length >= 7 && at + 9 <= n && std::memcmp(data + at + 4, "Adobe", 5) == 0) return true;
        at += 2 + length;
    }
    return false;
}

bool decode_jpeg(const uint8_t* data, size_t n, Sink& sink) {
    if (n > 0xFFFFFFFFu) return false;
    TjHandle tj(tjInitDecompress());
    if (!tj.h) return false;
    int width = 0, height = 0, subsampling = 0, colorspace = 0;
    auto size = static_cast<unsigned long>(n);
    if (tjDecompressHeader3(tj.h, data, size, &width, &height, &subsampling, &colorspace) != 0) return false;
    if (width < 1 || height < 1 || !size_ok(uint64_t(width), uint64_t(height), n)) return false;
    // A progressive file with thousands of scans is refused rather than decoded for minutes, and
    // a warning (such as data ending early) fails the decode instead of leaving grey pixels.
    int flags = TJFLAG_STOPONWARNING | TJFLAG_LIMITSCANS;
    if (colorspace == TJCS_CMYK || colorspace == TJCS_YCCK) {
        // Print-ready files hold inks, which the library gives only as CMYK: the pixels are
        // decoded in place (four bytes each, as BGRA) and turned into colours there.
        uint8_t* out = sink.pixels(width, height);
        if (tjDecompress2(tj.h, data, size, out, width, 0, height, TJPF_CMYK, flags) != 0) return false;
        bool inverted = adobe_marker_q(data, n);
        for (size_t i = 0, count = size_t(width) * size_t(height); i < count; i++) {
            uint8_t* p = out + 4 * i;
            int c = p[0], m = p[1], y = p[2], k = p[3];
            if (!inverted) c = 255 - c, m = 255 - m, y = 255 - y, k = 255 - k;
            // With inverted samples, 255 is no ink: each channel is what its ink and black leave.
            p[0] = static_cast<uint8_t>((y * k + 127) / 255);
            p[1] = static_cast<uint8_t>((m * k + 127) / 255);
            p[2] = static_cast<uint8_t>((c * k + 127) / 255);
            p[3] = 255;
        }
        return true;
    }
    uint8_t* out = sink.pixels(width, height);
    return tjDecompress2(tj.h, data, size, out, width, 0, height, TJPF_BGRA, flags) == 0;
}

bool encode_jpeg(const uint8_t* pixels, int width, int height, std::vector<uint8_t>& out) {
    TjHandle tj(tjInitCompress());
    if (!tj.h) return false;
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    int r = tjCompress2(tj.h, pixels, width, 0, height, TJPF_BGRA, &buffer, &size, TJSAMP_420, 90, 0);
    if (r == 0 && buffer) out.assign(buffer, buffer + size);
    if (buffer) tjFree(buffer);
    return r == 0;
}

// ---- GIF (giflib, record by record so that no buffer is sized by the file alone) ----

namespace {

struct MemoryReader {
    const uint8_t* data;
    size_t size;
    size_t at = 0;
};

int read_gif(GifFileType* gif, GifByteType* into, int count) {
    auto* r = static_cast<MemoryReader*>(gif->UserData);
    if (count <= 0) return 0;
    size_t n = std::min(size_t(count), r->size - r->at);
    std::memcpy(into, r->data + r->at, n);
    r->at += n;
    return static_cast<int>(n);
}

struct GifIn {
    GifFileType* gif;
    explicit GifIn(GifFileType* g) : gif(g) {}
    ~GifIn() {
        int error = 0;
        if (gif) DGifCloseFile(gif, &error);
    }
};

}  // namespace

bool decode_gif(const uint8_t* data, size_t n, Sink& sink) {
    MemoryReader reader{data, n};
    int error = 0;
    GifIn in(DGifOpen(&reader, read_gif, &error));
    GifFileType* gif = in.gif;
    if (!gif) return false;
    int transparent = -1;
    while (true) {
        GifRecordType type;
        if (DGifGetRecordType(gif, &type) == GIF_ERROR) return false;
        if (type == TERMINATE_RECORD_TYPE) return false;  // no image in the file
        if (type == EXTENSION_RECORD_TYPE) {
            int code = 0;
            GifByteType* ext = nullptr;
            if (DGifGetExtension(gif, &code, &ext) == GIF_ERROR) return false;
            // The graphics control block before the first image names its transparent colour.
            if (code == GRAPHICS_EXT_FUNC_CODE && ext && ext[0] >= 4) transparent = (ext[1] & 1) ? ext[4] : -1;
            while (ext) {
                if (DGifGetExtensionNext(gif, &ext) == GIF_ERROR) return false;
            }
            continue;
        }
        if (type != IMAGE_DESC_RECORD_TYPE) return false;
        if (DGifGetImageDesc(gif) == GIF_ERROR) return false;
        break;
    }
    const GifImageDesc& desc = gif->Image;
    const ColorMapObject* map = desc.ColorMap ? desc.ColorMap : gif->SColorMap;
    if (!map || map->ColorCount < 1 || !map->Colors) return false;
    int64_t left = desc.Left, top = desc.Top, fw = desc.Width, fh = desc.Height;
    if (fw < 1 || fh < 1) return false;
    // The logical screen when the first frame lies inside it; otherwise the frame alone.
    int64_t w = gif->SWidth, h = gif->SHeight;
    if (w < 1 || h < 1 || left + fw > w || top + fh > h) {
        w = fw;
        h = fh;
        left = top = 0;
    }
    if (!size_ok(uint64_t(w), uint64_t(h), n, kGifPixelsPerByte)) return false;
    std::vector<GifPixelType> line(static_cast<size_t>(fw));
    uint8_t* out = sink.pixels(static_cast<int>(w), static_cast<int>(h));
    std::memset(out, 0, size_t(w) * size_t(h) * 4);
    // Interlaced frames store rows in four passes.
    static const int kStart[4] = {0, 4, 2, 1}, kStep[4] = {8, 8, 4, 2};
    int passes = desc.Interlace ? 4 : 1;
    for (int pass = 0; pass < passes; pass++) {
        int64_t first = desc.Interlace ? kStart[pass] : 0, step = desc.Interlace ? kStep[pass] : 1;
        for (int64_t y = first; y < fh; y += step) {
            if (DGifGetLine(gif, line.data(), static_cast<int>(fw)) == GIF_ERROR) return false;
            uint8_t* row = out + ((top + y) * w + left) * 4;
            for (int64_t x = 0; x < fw; x++) {
                int index = line[size_t(x)];
                if (index == transparent) continue;  // stays transparent black
                const GifColorType& c = map->Colors[index < map->ColorCount ? index : 0];
                uint8_t* p = row + 4 * x;
                p[0] = c.Blue;
                p[1] = c.Green;
                p[2] = c.Red;
                p[3] = 255;
            }
        }
    }
    return true;
}

namespace {

int write_gif(GifFileType* gif, const GifByteType* bytes, int count) {
    auto* out = static_cast<std::vector<uint8_t>*>(gif->UserData);
    if (count > 0) out->insert(out->end(), bytes, bytes + count);
    return count;
}

struct GifOut {
    GifFileType* gif;
    explicit GifOut(GifFileType* g) : gif(g) {}
    ~GifOut() {
        int error = 0;
        if (gif) EGifCloseFile(gif, &error);
    }
};

struct ColorMap {
    ColorMapObject* map = nullptr;
    ~ColorMap() {
        if (map) GifFreeMapObject(map);
    }
};

}  // namespace

bool encode_gif(const uint8_t* pixels, int width, int height, std::vector<uint8_t>& out) {
    size_t count = size_t(width) * size_t(height);
    // Pixels without any opacity become the transparent index; the others keep their colour.
    std::vector<GifPixelType> indices(count);
    std::vector<GifColorType> palette;
    bool transparent = false;
    std::unordered_map<uint32_t, int> seen;
    bool exact = true;
    for (size_t i = 0; i < count && exact; i++) {
        const uint8_t* p = pixels + 4 * i;
        if (p[3] == 0) {
            transparent = true;
            continue;
        }
        uint32_t key = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16;
        auto it = seen.find(key);
        if (it == seen.end()) {
            if (seen.size() >= 256) exact = false;
            it = seen.emplace(key, static_cast<int>(palette.size())).first;
            palette.push_back(GifColorType{p[2], p[1], p[0]});
        }
        indices[i] = static_cast<GifPixelType>(it->second);
    }
    if (exact && transparent && palette.size() > 255) exact = false;
    if (!exact) {
        // More colours than a palette holds: median-cut quantisation to 255, keeping one index
        // free for transparency.
        // The count above stopped early: transparent pixels past that point are found here.
        std::vector<GifByteType> r(count), g(count), b(count);
        for (size_t i = 0; i < count; i++) {
            b[i] = pixels[4 * i];
            g[i] = pixels[4 * i + 1];
            r[i] = pixels[4 * i + 2];
            if (pixels[4 * i + 3] == 0) transparent = true;
        }
        int size = 255;
        palette.assign(256, GifColorType{0, 0, 0});
        if (GifQuantizeBuffer(static_cast<unsigned>(width), static_cast<unsigned>(height), &size, r.data(), g.data(),
                              b.data(), indices.data(), palette.data()) == GIF_ERROR)
            return false;
        palette.resize(static_cast<size_t>(size));
    }
    int transparent_index = -1;
    if (transparent) {
        transparent_index = static_cast<int>(palette.size());
        palette.push_back(GifColorType{0, 0, 0});
        for (size_t i = 0; i < count; i++)
            if (pixels[4 * i + 3] == 0) indices[i] = static_cast<GifPixelType>(transparent_index);
    }
    int entries = 2;
    while (entries < static_cast<int>(palette.size())) entries *= 2;
    palette.resize(size_t(entries), GifColorType{0, 0, 0});
    ColorMap map;
    map.map = GifMakeMapObject(entries, palette.data());
    if (!map.map) return false;
    int error = 0;
    GifOut gif_out(EGifOpen(&out, write_gif, &error));
    GifFileType* gif = gif_out.gif;
    if (!gif) return false;
    EGifSetGifVersion(gif, true);
    if (EGifPutScreenDesc(gif, width, height, GifBitSize(entries), 0, map.map) == GIF_ERROR) return false;
    if (transparent) {
        GifByteType control[4] = {1, 0, 0, static_cast<GifByteType>(transparent_index)};
        if (EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, 4, control) == GIF_ERROR) return false;
    }
    if (EGifPutImageDesc(gif, 0, 0, width, height, false, nullptr) == GIF_ERROR) return false;
    for (int y = 0; y < height; y++)
        if (EGifPutLine(gif, indices.data() + size_t(y) * size_t(width), width) == GIF_ERROR) return false;
    int close_error = 0;
    int closed = EGifCloseFile(gif, &close_error);
    gif_out.gif = nullptr;
    return closed != GIF_ERROR;
}

// ---- TIFF (libtiff over memory) ----

namespace {

struct TiffMemory {
    std::vector<uint8_t>* out = nullptr;  // writing
    const uint8_t* data = nullptr;        // reading
    size_t size = 0;
    size_t at = 0;
};

tmsize_t tiff_read(thandle_t h, void* into, tmsize_t count) {
    auto* m = static_cast<TiffMemory*>(h);
    if (count <= 0 || m->at >= m->size) return 0;
    size_t n = std::min(size_t(count), m->size - m->at);
    std::memcpy(into, m->data + m->at, n);
    m->at += n;
    return static_cast<tmsize_t>(n);
}

tmsize_t tiff_write(thandle_t h, void* from, tmsize_t count) {
    auto* m = static_cast<TiffMemory*>(h);
    if (!m->out || count < 0) return -1;
    size_t end = m->at + size_t(count);
    if (end > m->out->size()) m->out->resize(end);
    std::memcpy(m->out->data() + m->at, from, size_t(count));
    m->at = end;
    m->size = m->out->size();
    return count;
}

toff_t tiff_seek(thandle_t h, toff_t offset, int whence) {
    auto* m = static_cast<TiffMemory*>(h);
    uint64_t base = whence == SEEK_CUR ? m->at : whence == SEEK_END ? m->size : 0;
    uint64_t to = base + offset;
    // Reading cannot seek past the data; writing may (the gap reads as zeros).
    if (to > 0x7FFFFFFF || (!m->out && to > m->size)) return static_cast<toff_t>(-1);
    m->at = static_cast<size_t>(to);
    return to;
}

int tiff_close(thandle_t) { return 0; }
toff_t tiff_size(thandle_t h) { return static_cast<TiffMemory*>(h)->size; }
int tiff_map(thandle_t, void**, toff_t*) { return 0; }
void tiff_unmap(thandle_t, void*, toff_t) {}

int tiff_quiet(::TIFF*, void*, const char*, const char*, va_list) { return 1; }

struct TiffFile {
    ::TIFF* tif = nullptr;
    ~TiffFile() {
        if (tif) TIFFClose(tif);
    }
};

struct TiffOptions {
    TIFFOpenOptions* opts = TIFFOpenOptionsAlloc();
    ~TiffOptions() {
        if (opts) TIFFOpenOptionsFree(opts);
    }
};

::TIFF* open_tiff(TiffMemory& m, const char* mode, size_t input_size) {
    TiffOptions options;
    if (!options.opts) return nullptr;
    // libtiff's own buffers (strips, tiles, directories) stay proportionate to the input.
    tmsize_t cap = static_cast<tmsize_t>(std::max<size_t>(input_size * 64, size_t(64) << 20));
    TIFFOpenOptionsSetMaxSingleMemAlloc(options.opts, cap);
    TIFFOpenOptionsSetErrorHandlerExtR(options.opts, tiff_quiet, nullptr);
    TIFFOpenOptionsSetWarningHandlerExtR(options.opts, tiff_quiet, nullptr);
    return TIFFClientOpenExt("memory", mode, &m, tiff_read, tiff_write, tiff_seek, tiff_close, tiff_size, tiff_map,
                             tiff_unmap, options.opts);
}

}  // namespace

bool decode_tiff(const uint8_t* data, size_t n, Sink& sink) {
    TiffMemory m;
    m.data = data;
    m.size = n;
    TiffFile file;
    file.tif = open_tiff(m, "rm", n);
    ::TIFF* tif = file.tif;
    if (!tif) return false;
    uint32_t width = 0, height = 0;
    if (!TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width) || !TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height)) return false;
    if (!size_ok(width, height, n)) return false;
    char message[1024];
    if (!TIFFRGBAImageOK(tif, message)) return false;
    uint16_t bits = 0, samples = 0, photometric = 0, planar = PLANARCONFIG_CONTIG, extra_count = 0;
    uint16_t* extra = nullptr;
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric);
    TIFFGetFieldDefaulted(tif, TIFFTAG_EXTRASAMPLES, &extra_count, &extra);
    uint8_t* out = sink.pixels(static_cast<int>(width), static_cast<int>(height));
    size_t count = size_t(width) * height;
    bool straight = bits == 8 && photometric == PHOTOMETRIC_RGB && planar == PLANARCONFIG_CONTIG &&
                    (samples == 3 || (samples == 4 && extra_count == 1 && extra)) && !TIFFIsTiled(tif);
    if (straight && size_t(TIFFScanlineSize(tif)) >= size_t(width) * samples) {
        // 8-bit RGB(A) rows are read as they are: libtiff's general reader would premultiply an
        // unassociated alpha channel.
        bool associated = samples == 4 && extra[0] == EXTRASAMPLE_ASSOCALPHA;
        std::vector<uint8_t> row(static_cast<size_t>(TIFFScanlineSize(tif)));
        for (uint32_t y = 0; y < height; y++) {
            if (TIFFReadScanline(tif, row.data(), y, 0) < 0) return false;
            uint8_t* p = out + size_t(y) * width * 4;
            for (uint32_t x = 0; x < width; x++) {
                const uint8_t* s = row.data() + size_t(x) * samples;
                uint8_t a = samples == 4 ? s[3] : 255;
                uint8_t r = s[0], g = s[1], b = s[2];
                if (associated && a != 0 && a != 255) {
                    r = static_cast<uint8_t>(std::min(255, (r * 255 + a / 2) / a));
                    g = static_cast<uint8_t>(std::min(255, (g * 255 + a / 2) / a));
                    b = static_cast<uint8_t>(std::min(255, (b * 255 + a / 2) / a));
                }
                p[4 * x] = b;
                p[4 * x + 1] = g;
                p[4 * x + 2] = r;
                p[4 * x + 3] = a;
            }
        }
        return true;
    }
    // Every other layout (palettes, grey, CMYK, YCbCr, 16 bits, tiles) through libtiff's RGBA
    // reader, whose words hold R in the low byte: swap R and B into place.
    auto* words = reinterpret_cast<uint32_t*>(out);
    if (!TIFFReadRGBAImageOriented(tif, width, height, words, ORIENTATION_TOPLEFT, 0)) return false;
    for (size_t i = 0; i < count; i++) {
        uint32_t v = words[i];
        uint8_t* p = out + 4 * i;
        p[0] = static_cast<uint8_t>(TIFFGetB(v));
        p[1] = static_cast<uint8_t>(TIFFGetG(v));
        p[2] = static_cast<uint8_t>(TIFFGetR(v));
        p[3] = static_cast<uint8_t>(TIFFGetA(v));
    }
    return true;
}

bool encode_tiff(const uint8_t* pixels, int width, int height, std::vector<uint8_t>& out) {
    TiffMemory m;
    m.out = &out;
    TiffFile file;
    file.tif = open_tiff(m, "w", size_t(width) * size_t(height) * 4);
    ::TIFF* tif = file.tif;
    if (!tif) return false;
    uint16_t extra[1] = {EXTRASAMPLE_UNASSALPHA};
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, uint32_t(width));
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, uint32_t(height));
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 4);
    TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, extra);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
    TIFFSetField(tif, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tif, 0));
    std::vector<uint8_t> row(size_t(width) * 4);
    for (int y = 0; y < height; y++) {
        const uint8_t* s = pixels + size_t(y) * size_t(width) * 4;
        for (int x = 0; x < width; x++) {
            row[4 * size_t(x)] = s[4 * x + 2];
            row[4 * size_t(x) + 1] = s[4 * x + 1];
            row[4 * size_t(x) + 2] = s[4 * x];
            row[4 * size_t(x) + 3] = s[4 * x + 3];
        }
        if (TIFFWriteScanline(tif, row.data(), uint32_t(y), 0) < 0) return false;
    }
    if (!TIFFFlush(tif)) return false;  // writes the directory
    return !out.empty();
}

}  // namespace imaging
