// Series allocation and hash-table lookups.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "datatypes/cell.h"
#include "runtime/hashtable.h"
#include "runtime/memory.h"
#include "tests/support/stand_ins.h"

namespace {

// Nothing is collected here, so allocation benchmarks run a bounded number of iterations.
constexpr int64_t kAllocIterations = 1 << 18;

void BM_AllocCells(benchmark::State& state) {
    memory::init();
    for (auto _ : state) benchmark::DoNotOptimize(memory::alloc_cells(static_cast<int32_t>(state.range(0))));
}
BENCHMARK(BM_AllocCells)->Arg(4)->Arg(64)->Iterations(kAllocIterations);

void BM_AllocBytes(benchmark::State& state) {
    memory::init();
    for (auto _ : state) benchmark::DoNotOptimize(memory::alloc_bytes(static_cast<int32_t>(state.range(0))));
}
BENCHMARK(BM_AllocBytes)->Arg(16)->Arg(256)->Iterations(kAllocIterations);

Cell integer(int32_t v) {
    Cell c;
    set_cell(&c, TYPE_INTEGER, 0, static_cast<uint32_t>(v));
    return c;
}

void append(Node block, const Cell& c) {
    uint32_t at = series::alloc_tail_bytes(block, 16);
    reinterpret_cast<Cell*>(memory::nodes[block]->data())[at / 16] = c;
}

void BM_MapFindInteger(benchmark::State& state) {
    memory::init();
    int32_t n = static_cast<int32_t>(state.range(0));
    Node t = hashtable::init(n, nullptr, hashtable::kMap, 1);
    for (int32_t i = 0; i < n; i++) {
        append(hashtable::block_of(t), integer(i * 7919));
        append(hashtable::block_of(t), integer(i));
        hashtable::put_key(t, 2 * i);
    }
    int32_t i = 0;
    for (auto _ : state) {
        Cell key = integer((i++ % n) * 7919);
        benchmark::DoNotOptimize(hashtable::find(t, &key, 0, 1, 0, false, false));
    }
}
BENCHMARK(BM_MapFindInteger)->Arg(100)->Arg(100000);

void BM_HashFindString(benchmark::State& state) {
    memory::init();
    int32_t n = static_cast<int32_t>(state.range(0));
    Node t = hashtable::init(n, nullptr, hashtable::kHash, 1);
    std::vector<Cell> keys;
    for (int32_t i = 0; i < n; i++) {
        std::string s = "key-" + std::to_string(i);
        Node node = memory::alloc_bytes(static_cast<int32_t>(s.size()));
        std::memcpy(memory::nodes[node]->data(), s.data(), s.size());
        memory::nodes[node]->tail = static_cast<uint32_t>(s.size());
        Cell c;
        set_cell(&c, TYPE_STRING, 0, node);
        append(hashtable::block_of(t), c);
        hashtable::add_cell(t, i);
        keys.push_back(c);
    }
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(hashtable::find(t, &keys[i++ % keys.size()], 0, 1, 0, false, false));
    }
}
BENCHMARK(BM_HashFindString)->Arg(100)->Arg(100000);

void BM_ContextFind(benchmark::State& state) {
    memory::init();
    int32_t n = static_cast<int32_t>(state.range(0));
    Node t = hashtable::init(n, nullptr, hashtable::kWords, 2);
    for (int32_t i = 0; i < n; i++) {
        Cell w;
        set_cell(&w, TYPE_WORD, 0, static_cast<uint32_t>(i + 1), static_cast<uint32_t>(i));
        append(hashtable::block_of(t), w);
        hashtable::put_key(t, i);
    }
    int32_t i = 0;
    for (auto _ : state) benchmark::DoNotOptimize(hashtable::context_find(t, (i++ % n) + 1, true));
}
BENCHMARK(BM_ContextFind)->Arg(16)->Arg(4000);

void BM_PointerKeyTable(benchmark::State& state) {
    memory::init();
    hashtable::IntTable* t = hashtable::int_make(20000);
    for (uint32_t i = 0; i < 20000; i++) hashtable::int_put(t, i * 4096, i);
    uint32_t i = 0;
    for (auto _ : state) benchmark::DoNotOptimize(hashtable::int_get(t, (i++ % 20000) * 4096));
    hashtable::int_destroy(t);
}
BENCHMARK(BM_PointerKeyTable);

}  // namespace
