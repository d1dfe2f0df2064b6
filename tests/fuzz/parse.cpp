// libFuzzer target of the parse dialect with both the rules and the input from the fuzz data: the
// text before the first zero byte (or the first half) is loaded as the rules, the rest is the input,
// parsed as a string, as a binary and, when it loads, as a block.
#include "environment.h"

namespace {

const char* const kSetup = R"KEL(
    fuzz-one: func [data [binary!] /local cut rules input][
        cut: any [find data #{00} skip data (length? data) / 2]
        rules: load to string! copy/part data cut
        unless block? rules [rules: reduce [rules]]
        if all [not tail? cut zero? first cut][cut: next cut]
        input: to string! cut
        attempt [parse input rules]
        attempt [parse/case input rules]
        attempt [parse to binary! input rules]
        attempt [parse load input rules]
    ]
)KEL";

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    fuzz_env::initialize(argc, argv, kSetup);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096) return 0;
    // `while` over a rule that matches nothing, and loops in parens, evaluate no expression per
    // step, so the budget cannot stop them.
    std::string_view text(reinterpret_cast<const char*>(data), size);
    if (fuzz_env::long_run(text) || text.find("while") != std::string_view::npos) return 0;
    fuzz_env::run(fuzz_env::call_fuzz_one, data, size);
    return 0;
}
