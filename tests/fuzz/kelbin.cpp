// libFuzzer target: the binary value format's reader over arbitrary images held in a buffer of
// exactly their size, so AddressSanitizer reports any read past the end. A language error is the
// only acceptable way to refuse an image. What decodes is molded and formed (corrupt values must
// not upset the datatypes that print them), written again in both record forms, and read back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "datatypes/binary.h"
#include "datatypes/block.h"
#include "datatypes/string.h"
#include "evaluator/actions.h"
#include "evaluator/natives.h"
#include "loading/kelbin.h"
#include "runtime/collector.h"
#include "runtime/init.h"
#include "runtime/runtime.h"
#include "runtime/stack.h"

namespace {

// Runs f under a try frame; answers false when it raised a language error.
template <class F>
bool guarded(F&& f) {
    stack::Saved saved = stack::save();
    stack::mark_named(stack::body_symbol, FRAME_TRY);
    bool ok = true;
    try {
        f();
    } catch (const Throw& t) {
        if (t.code != codes::error) throw;
        ok = false;
    }
    stack::restore(saved);
    runtime::sys.thrown = 0;
    return ok;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    runtime::init();
    natives::define_boot_words();
    collector::enabled = true;  // as after start-up
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 16) return 0;
    // The input follows the magic; the image is held in a buffer of exactly its size.
    std::vector<uint8_t> image = {'K', 'E', 'L', 'B', 'I', 'N'};
    image.insert(image.end(), data, data + size);
    std::vector<uint8_t> exact(image);
    kelbin::codec_mode = true;
    Cell* slot = stack::push_cell();
    set_cell(slot, TYPE_NONE);
    bool decoded = guarded([&] {
        Cell bin;
        binary::load_at(&bin, exact.data(), exact.size());
        *slot = bin;
        kelbin::decode_value(slot, slot);
    });
    if (decoded) {
        guarded([&] {
            Cell* molded = stack::push_cell();
            set_cell(molded, TYPE_NONE);
            actions::mold_new(molded, slot);
        });
        guarded([&] {
            Cell* formed = stack::push_cell();
            set_cell(formed, TYPE_NONE);
            actions::form_new(formed, slot);
        });
        for (bool compact : {true, false}) {
            Cell* again = stack::push_cell();
            set_cell(again, TYPE_NONE);
            bool written = guarded([&] {
                if (compact)
                    kelbin::encode_cp(again, slot);
                else
                    kelbin::encode(again, slot);
            });
            if (written && !guarded([&] { kelbin::decode_value(again, again); })) std::abort();
            stack::pop(1);
        }
    }
    stack::pop(1);
    return 0;
}
