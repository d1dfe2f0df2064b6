// libFuzzer target: arbitrary bytes loaded as Kel source and evaluated in the whole environment,
// the way the console evaluates a typed line (see environment.h for the sandbox and the budget).
#include "environment.h"

namespace {

void load_code(Cell* code, const uint8_t* data, size_t size) {
    lexer::load(code, std::string_view(reinterpret_cast<const char*>(data), size));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    fuzz_env::initialize(argc, argv, "");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096) return 0;
    std::string_view text(reinterpret_cast<const char*>(data), size);
    if (fuzz_env::long_run(text)) return 0;
    fuzz_env::run(load_code, data, size);
    return 0;
}
