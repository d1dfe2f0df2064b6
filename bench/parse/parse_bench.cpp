// Throughput of the parse dialect on a web server's access log (bench/parse/compare.py makes the
// file and runs the same grammar through Python's re module and Lua patterns).
//
//   kel_parse_bench FILE REPEAT   -> one line per workload: NAME SECONDS RESULT
//
// Workloads: "check" matches the whole log against the line grammar; "extract" collects the
// request path of every line; "errors" collects the last two digits of every 5xx status; "scan"
// walks the lines with thru and to.
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/string.h"
#include "datatypes/word.h"
#include "evaluator/parse.h"
#include "runtime/collector.h"
#include "runtime/init.h"
#include "runtime/platform.h"
#include "runtime/stack.h"

#if __has_include("loading/lexer.h")
#include "loading/lexer.h"
#define BENCH_HAS_LEXER 1
#endif

namespace {

#ifdef BENCH_HAS_LEXER
Cell charset(const std::string& chars) {
    Node n = memory::alloc_bytes_filled(32, 0);
    SeriesBuf* b = memory::nodes[n];
    b->tail = b->head + 32;
    for (unsigned char c : chars) b->at_head()[c >> 3] |= static_cast<uint8_t>(0x80 >> (c & 7));
    Cell c;
    set_cell(&c, TYPE_BITSET, 0, n);
    return c;
}

void set_word(const char* name, const Cell& value) {
    Cell w, v = value;
    word::load(&w, name);
    context::set_value(&w, &v);
}

std::string range(char from, char to) {
    std::string s;
    for (char c = from; c <= to; c++) s += c;
    return s;
}

// The grammar of one log line:
//   127.0.0.1 - frank [10/Oct/2000:13:55:36 -0700] "GET /apache_pb.gif HTTP/1.0" 200 2326
const char* kGrammar = R"(
    line: [
        some digit #"." some digit #"." some digit #"." some digit
        " - " some user-char " [" thru "] " #"^""
        some upper #" " path " HTTP/1." digit #"^"" #" "
        status #" " some digit #"^/"
    ]
    path: [some path-char]
    status: [3 digit]
    check: [some line]
    extract: [collect [some [thru #"^"" thru #" " keep path thru #"^/"]]]
    errors: [collect [some [thru #"^"" thru #"^"" #" " [#"5" keep 2 digit | 3 digit] thru #"^/"]]]
    scan: [some [thru #"[" to #"]" thru #"^/"]]
)";
#endif

}  // namespace

int main(int argc, char** argv) {
    platform::init(argc, argv);
    runtime::init();
    if (argc < 3) {
        std::fprintf(stderr, "usage: kel_parse_bench FILE REPEAT\n");
        return 2;
    }
#ifndef BENCH_HAS_LEXER
    std::printf("nolexer\n");
    return 0;
#else
    std::ifstream file(argv[1], std::ios::binary);
    std::stringstream data;
    data << file.rdbuf();
    long repeat = std::atol(argv[2]);
    if (repeat < 1) repeat = 1;

    Cell input, code, out;
    set_cell(&input, TYPE_NONE);
    set_cell(&code, TYPE_NONE);
    set_cell(&out, TYPE_NONE);
    collector::Root keep_input(&input), keep_code(&code), keep_out(&out);
    string::load_at(&input, data.str());
    set_word("digit", charset(range('0', '9')));
    set_word("upper", charset(range('A', 'Z')));
    set_word("user-char", charset(range('a', 'z') + range('A', 'Z') + range('0', '9') + "-_"));
    set_word("path-char", charset(range('a', 'z') + range('A', 'Z') + range('0', '9') + "/._-?=&%"));
    lexer::load(&code, kGrammar);
    // The grammar's set-words, set as a script would.
    for (int32_t i = 0; i + 1 < block::rs_length_q(&code); i += 2) {
        Cell w = block::rs_head(&code)[i], v = block::rs_head(&code)[i + 1];
        w.header = TYPE_WORD;
        context::set_value(&w, &v);
    }
    for (const char* name : {"check", "extract", "errors", "scan"}) {
        Cell w, rules;
        word::load(&w, name);
        rules = *context::get(&w);
        double best = 1e30;
        std::string result;
        for (long r = 0; r < repeat; r++) {
            auto start = std::chrono::steady_clock::now();
            parse::process(&out, &input, &rules, 0, -1, nullptr);
            double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            if (t < best) best = t;
            if (out.type() == TYPE_LOGIC)
                result = out.data1 ? "true" : "false";
            else
                result = std::to_string(block::rs_length_q(&out));
        }
        std::printf("%s %.6f %s\n", name, best, result.c_str());
    }
    return 0;
#endif
}
