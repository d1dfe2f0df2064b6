// Prints its arguments through the output hooks, as the language's print does, so that tests can
// watch the bytes that reach a terminal or a pipe.
//
//   probe_output [--unit 1|2|4] [--no-line] TEXT...
//
// Each TEXT (UTF-8) becomes one string of the given unit width (1 by default) and is printed with
// a line end unless --no-line is given. The process ends through the run-time's exit path, so the
// terminal restorers run.
#include <cstdio>
#include <cstring>
#include <vector>

#include "datatypes/cell.h"
#include "runtime/collector.h"
#include "runtime/init.h"
#include "runtime/memory.h"
#include "runtime/output.h"
#include "runtime/platform.h"
#include "runtime/runtime.h"

static std::vector<uint32_t> decode_utf8(const char* s) {
    std::vector<uint32_t> out;
    auto* p = reinterpret_cast<const unsigned char*>(s);
    while (*p) {
        uint32_t c = *p++;
        int more = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
        if (more) c &= 0x3F >> more;
        for (; more > 0 && (*p & 0xC0) == 0x80; more--) c = (c << 6) | (*p++ & 0x3F);
        out.push_back(c);
    }
    return out;
}

static void print_text(const char* text, int unit, bool line_end) {
    std::vector<uint32_t> cps = decode_utf8(text);
    Node node = memory::alloc_codepoints(static_cast<int32_t>(cps.size()), unit);
    SeriesBuf* s = memory::nodes[node];
    uint8_t* d = s->at_head();
    for (size_t i = 0; i < cps.size(); i++) std::memcpy(d + i * size_t(unit), &cps[i], size_t(unit));
    s->tail = s->head + static_cast<uint32_t>(cps.size() * size_t(unit));
    Cell str;
    set_cell(&str, TYPE_STRING, 0, node);
    output::call_hooks(&str, line_end);
}

int main(int argc, char** argv) {
    platform::init(argc, argv);
    runtime::init();
    collector::enabled = true;  // as after start-up
    int unit = 1;
    bool line_end = true;
    for (int i = 1; i < argc; i++) {
        if (!std::strcmp(argv[i], "--unit") && i + 1 < argc) {
            unit = argv[++i][0] - '0';
        } else if (!std::strcmp(argv[i], "--no-line")) {
            line_end = false;
        } else {
            print_text(argv[i], unit, line_end);
        }
    }
    runtime::quit(0);
}
