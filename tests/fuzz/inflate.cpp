// libFuzzer target: the inflater and its zlib and gzip readers over arbitrary bytes. Input and
// output live in buffers of exactly their size, so AddressSanitizer reports any access past
// either end. Every stream must end in a result code; a second call with the size the first one
// reported must give the same bytes (and succeed, unless a framing's check value fails); and
// what the compressor makes must inflate back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "loading/deflate.h"

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

using Codec = int (*)(uint8_t*, size_t*, const uint8_t*, size_t);

void decode(Codec codec, const uint8_t* data, size_t size, size_t cap) {
    std::vector<uint8_t> in(data, data + size);
    std::vector<uint8_t> out(cap);
    size_t len = cap;
    int r = codec(cap ? out.data() : nullptr, &len, in.data(), in.size());
    check(r >= 0 && r <= 5);
    if (r == compress::kShort) {
        check(len > cap);
        if (len > (size_t(1) << 24)) return;  // a bomb: measuring it was the point
        std::vector<uint8_t> full(len);
        size_t again = len;
        int r2 = codec(full.data(), &again, in.data(), in.size());
        // A framing can only test its check value once it holds all of the data.
        check(r2 == compress::kOk || (r2 == compress::kCorrupt && codec != compress::inflate));
        check(again == len);
        check(cap == 0 || std::memcmp(full.data(), out.data(), cap) == 0);
    } else if (r == compress::kOk) {
        check(len <= cap);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    // The first byte picks the output room, so both full and short buffers are explored.
    size_t cap = data[0] < 128 ? data[0] : size_t(data[0]) * 64;
    data++;
    size--;
    decode(compress::inflate, data, size, cap);
    decode(compress::unzlib, data, size, cap);
    decode(compress::gunzip, data, size, cap);

    Codec packers[3] = {compress::deflate, compress::zlib, compress::gzip};
    Codec readers[3] = {compress::inflate, compress::unzlib, compress::gunzip};
    for (int m = 0; m < 3; m++) {
        size_t len = 0;
        check(packers[m](nullptr, &len, data, size) == compress::kShort);
        std::vector<uint8_t> packed(len);
        size_t plen = len;
        check(packers[m](packed.data(), &plen, data, size) == compress::kOk && plen == len);
        std::vector<uint8_t> back(size);
        size_t blen = size;
        check(readers[m](back.data(), &blen, packed.data(), plen) == compress::kOk && blen == size);
        check(size == 0 || std::memcmp(back.data(), data, size) == 0);
    }
    return 0;
}
