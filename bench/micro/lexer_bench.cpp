// Lexer throughput over script-like text: loading builds every value, scanning only checks.
#include <benchmark/benchmark.h>

#include <string>

#include "datatypes/cell.h"
#include "loading/lexer.h"
#include "runtime/init.h"
#include "tests/support/stand_ins.h"

namespace {

void init_once() {
    static bool done = false;
    if (!done) {
        runtime::init();
        done = true;
    }
}

// About 16 KB of typical source: words, paths, numbers, strings, blocks and comments.
const std::string& source() {
    static const std::string text = [] {
        std::string s;
        for (int i = 0; i < 40; i++) {
            s += "f";
            s += std::to_string(i);
            s += ": func [\"Doc string\" a [integer!] /ref b] [\n";
            s += "    ; a comment line\n";
            s += "    either a > 10 [print [\"big\" a * 2.5 1x2 $1.50]] [obj/field/";
            s += std::to_string(i);
            s += ": {text}]\n";
            s += "    foreach [k v] #[key: 1 other: \"v\"] [append out reduce [k v 12:30 1-Jan-2024 50%]]\n";
            s += "    parse s [some [\"a\" | #\"b\" | skip] end] %file.txt http://host/path\n";
            s += "]\n";
        }
        return s;
    }();
    return text;
}

// Nothing is collected here, so loading runs a bounded number of iterations.
void BM_LexerLoad(benchmark::State& state) {
    init_once();
    const std::string& text = source();
    for (auto _ : state) {
        Cell out;
        lexer::load(&out, text);
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}
BENCHMARK(BM_LexerLoad)->Iterations(2000);

void BM_LexerScan(benchmark::State& state) {
    init_once();
    const std::string& text = source();
    lexer::Options o;
    o.load = false;
    for (auto _ : state) {
        Cell out;
        benchmark::DoNotOptimize(lexer::scan(&out, text, o));
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}
BENCHMARK(BM_LexerScan);

}  // namespace
