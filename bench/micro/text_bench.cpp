// Throughput of the text conversions, case mapping, record sorting and float text.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "datatypes/float.h"
#include "runtime/case_folding.h"
#include "runtime/dtoa.h"
#include "runtime/init.h"
#include "runtime/sort.h"
#include "runtime/unicode.h"

namespace {

void ready() {
    static bool done = [] {
        runtime::init();
        return true;
    }();
    (void)done;
}

// A string buffer reused by every iteration (nothing collects between iterations).
Cell reusable(uint32_t bytes) {
    Cell c;
    set_cell(&c, TYPE_STRING, 0, memory::alloc_series(int32_t(bytes), 1, 0), 0);
    return c;
}

void reset(Cell& c) {
    SeriesBuf* b = c.buffer();
    b->flags = (b->flags & ~series_flag::unit_mask) | 1;
    b->head = b->tail = 0;
}

std::string sample_text(bool ascii, size_t bytes) {
    std::mt19937 rng(1);
    std::string s;
    while (s.size() < bytes) {
        if (ascii || rng() % 4) {
            s += char('a' + rng() % 26);
        } else {
            static const char* pieces[] = {"\xC3\xA9", "\xE4\xB8\xAD", "\xE2\x82\xAC", "\xF0\x9F\x98\x80"};
            s += pieces[rng() % 4];
        }
    }
    return s;
}

void BM_LoadUtf8(benchmark::State& state) {
    ready();
    std::string text = sample_text(state.range(0) == 0, 1 << 20);
    Cell target = reusable(4 << 20);
    for (auto _ : state) {
        reset(target);
        unicode::load_utf8(unicode::Source::external(text.data()), uint32_t(text.size()), target.node(), false);
    }
    state.SetBytesProcessed(int64_t(state.iterations() * text.size()));
}
BENCHMARK(BM_LoadUtf8)->Arg(0)->Arg(1);

void BM_ToUtf8(benchmark::State& state) {
    ready();
    std::string text = sample_text(false, 1 << 20);
    Cell s = reusable(4 << 20);
    unicode::load_utf8(unicode::Source::external(text.data()), uint32_t(text.size()), s.node(), false);
    for (auto _ : state) {
        int32_t len = -1;
        benchmark::DoNotOptimize(unicode::to_utf8(&s, &len, false));
    }
    state.SetBytesProcessed(int64_t(state.iterations() * text.size()));
}
BENCHMARK(BM_ToUtf8);

void BM_CountChars(benchmark::State& state) {
    std::string text = sample_text(false, 1 << 20);
    const auto* p = reinterpret_cast<const uint8_t*>(text.data());
    for (auto _ : state) benchmark::DoNotOptimize(unicode::count_chars(p, p + text.size()));
    state.SetBytesProcessed(int64_t(state.iterations() * text.size()));
}
BENCHMARK(BM_CountChars);

void BM_CaseChange(benchmark::State& state) {
    std::vector<uint32_t> cps(1 << 16);
    std::mt19937 rng(2);
    for (auto& c : cps) c = rng() % 0x800;
    for (auto _ : state) {
        uint32_t sum = 0;
        for (uint32_t c : cps) sum += case_folding::change(c, true);
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(int64_t(state.iterations() * cps.size()));
}
BENCHMARK(BM_CaseChange);

int32_t compare_u32(const uint8_t* a, const uint8_t* b, intptr_t, int32_t) {
    uint32_t x, y;
    std::memcpy(&x, a, 4);
    std::memcpy(&y, b, 4);
    return x < y ? -1 : x > y ? 1 : 0;
}

void BM_Sort(benchmark::State& state) {
    ready();
    const uint32_t n = 100000;
    std::vector<uint8_t> input(size_t(n) * 16);
    std::mt19937 rng(3);
    for (uint32_t i = 0; i < n; i++) {
        uint32_t k = rng();
        std::memcpy(input.data() + size_t(i) * 16, &k, 4);
    }
    Node node = memory::alloc_series(int32_t(input.size()), 1, 0);
    for (auto _ : state) {
        std::memcpy(memory::nodes[node]->data(), input.data(), input.size());
        if (state.range(0))
            sort::stable(node, 0, n, 16, 0, 0, compare_u32);
        else
            sort::qsort(node, 0, n, 16, 0, 0, compare_u32);
    }
    state.SetItemsProcessed(int64_t(state.iterations() * n));
}
BENCHMARK(BM_Sort)->Arg(0)->Arg(1);

void BM_FloatText(benchmark::State& state) {
    std::vector<double> xs(1000);
    std::mt19937_64 rng(4);
    for (auto& x : xs) x = std::ldexp(double(rng() >> 11), int(rng() % 200) - 100);
    char out[dtoa::kTextSize];
    for (auto _ : state) {
        for (double x : xs) {
            int n = dtoa::form_float(x, 0, true, out);
            int left;
            benchmark::DoNotOptimize(dtoa::strtod(out, out + n, 0, &left));
        }
    }
    state.SetItemsProcessed(int64_t(state.iterations() * xs.size()));
}
BENCHMARK(BM_FloatText);

}  // namespace
