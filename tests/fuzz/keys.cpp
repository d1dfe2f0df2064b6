// libFuzzer target: the key decoder over arbitrary terminal input, read the way the key reader
// reads it (a buffer refilled as keys are taken, cut into pieces by the fuzzer's first byte). Every
// step must take bytes or ask for more, never read past what it was given, and never ask for more
// once nothing more will come.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "console/keys.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    size_t piece = data[0] % 16 + 1;
    data++;
    size--;
    std::vector<uint8_t> buffer;
    size_t fed = 0;
    while (fed < size || !buffer.empty()) {
        bool more = fed < size;
        if (buffer.empty() || more) {
            size_t n = size - fed < piece ? size - fed : piece;
            buffer.insert(buffer.end(), data + fed, data + fed + n);
            fed += n;
            more = fed < size;
        }
        if (buffer.empty()) break;
        // An exact-size copy: AddressSanitizer sees any read past the end.
        auto* exact = static_cast<uint8_t*>(std::malloc(buffer.size()));
        std::memcpy(exact, buffer.data(), buffer.size());
        keys::Decoded d = keys::decode(exact, buffer.size(), more);
        std::free(exact);
        if (d.length > buffer.size()) std::abort();
        if (d.length == 0) {
            if (!more) std::abort();
            if (buffer.size() >= 2 * keys::kMaxSequence) std::abort();  // would wait forever
            continue;
        }
        if (d.key > 0x10FFFF || (d.key < 0 && (d.key > keys::up || d.key < keys::f12))) std::abort();
        buffer.erase(buffer.begin(), buffer.begin() + d.length);
    }
    return 0;
}
