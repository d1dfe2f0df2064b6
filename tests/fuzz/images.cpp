// libFuzzer target: the image decoders (BMP, PNG, JPEG, GIF, TIFF) over arbitrary bytes. The
// input lives in a buffer of exactly its size and the pixels in one of exactly width × height × 4
// bytes, so AddressSanitizer reports any access past either. A decoder may refuse the input but
// must not ask for a size that the input cannot describe; what it decodes must survive a lossless
// round trip (BMP and PNG) unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "services/imaging.h"

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

class Sink final : public imaging::Sink {
public:
    size_t input = 0;
    uint64_t per_byte = imaging::kMaxPixelsPerByte;
    int width = 0, height = 0, calls = 0;
    std::vector<uint8_t> pixels_;
    uint8_t* pixels(int w, int h) override {
        check(++calls == 1);
        check(imaging::size_ok(uint64_t(w), uint64_t(h), input, per_byte));
        width = w;
        height = h;
        pixels_.assign(size_t(w) * size_t(h) * 4, 0);
        return pixels_.data();
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint8_t> in(data, data + size);
    Sink sink;
    sink.input = size;
    int kind = imaging::sniff(data, size);
    if (kind == imaging::PNG) sink.per_byte = imaging::kPngPixelsPerByte;
    if (kind == imaging::GIF) sink.per_byte = imaging::kGifPixelsPerByte;
    if (!imaging::decode(in.data(), in.size(), sink)) return 0;
    check(sink.calls == 1);
    if (size_t(sink.width) * size_t(sink.height) > (size_t(1) << 16)) return 0;
    for (int format : {imaging::BMP, imaging::PNG}) {
        std::vector<uint8_t> bytes;
        check(imaging::encode(format, sink.pixels_.data(), sink.width, sink.height, bytes));
        Sink again;
        again.input = bytes.size();
        if (format == imaging::PNG) again.per_byte = imaging::kPngPixelsPerByte;
        check(imaging::decode(bytes.data(), bytes.size(), again));
        check(again.width == sink.width && again.height == sink.height && again.pixels_ == sink.pixels_);
    }
    return 0;
}
