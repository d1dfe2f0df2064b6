// libFuzzer target: the LZ block decoder over arbitrary bytes held in a buffer of exactly their
// size, and the encoder's round trip of the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "loading/lz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint8_t> in(data, data + size), out;
    if (!compress::decompress(in.data(), in.size(), out) && !out.empty()) std::abort();
    std::vector<uint8_t> packed(size);
    int64_t n = compress::compress(in.data(), in.size(), packed.data());
    if (n >= 0) {
        if (!compress::decompress(packed.data(), size_t(n), out) || out != in) std::abort();
    }
    return 0;
}
