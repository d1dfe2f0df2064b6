// libFuzzer target of the preprocessor: the input is loaded and its directives expanded (with
// /clean, so that no macro of an earlier input is left); the expansion is molded.
#include "environment.h"

namespace {

const char* const kSetup = R"KEL(
    fuzz-one: func [data [binary!] /local code][
        code: load to string! data
        unless block? code [code: reduce [code]]
        mold expand-directives/clean code
    ]
)KEL";

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    fuzz_env::initialize(argc, argv, kSetup);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096) return 0;
    // #do and macros run code, with the same long runs as the eval target.
    if (fuzz_env::long_run(std::string_view(reinterpret_cast<const char*>(data), size))) return 0;
    fuzz_env::run(fuzz_env::call_fuzz_one, data, size);
    return 0;
}
