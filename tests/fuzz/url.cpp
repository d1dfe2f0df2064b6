// libFuzzer target of URL text: decode-url and encode-url, url! values made from text, dehex and
// enhex (which must invert each other), and the HTTP response header parser over the raw bytes.
#include "environment.h"
#include "services/http.h"

namespace {

const char* const kSetup = R"KEL(
    fuzz-one: func [data [binary!] /local text parts url][
        text: to string! data
        attempt [
            parts: decode-url text
            if parts [mold encode-url parts]
        ]
        attempt [
            url: to url! text
            form url
            decode-url url
            load mold url
        ]
        attempt [dehex text]
        unless equal? text dehex enhex text [
            fault: rejoin ["dehex of enhex " mold text " differs: " mold enhex text]
        ]
    ]
)KEL";

void headers_then_call(Cell* code, const uint8_t* data, size_t size) {
    fuzz_env::guarded([&] {
        Cell map;
        set_cell(&map, TYPE_NONE);
        collector::Root keep(&map);
        simple_io::parse_headers(std::string(reinterpret_cast<const char*>(data), size), &map);
    });
    fuzz_env::call_fuzz_one(code, data, size);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    fuzz_env::initialize(argc, argv, kSetup);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096) return 0;
    fuzz_env::run(headers_then_call, data, size);
    return 0;
}
