#include "runtime/cycles.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "runtime/collector.h"
#include "runtime/platform.h"
#include "runtime/fire.h"
#include "runtime/runtime.h"

namespace cycles {

static Node* base = nullptr;
static int top = 0;
static bool refusing = false;

Refusing::Refusing() : was_(refusing) { refusing = true; }
Refusing::~Refusing() { refusing = was_; }

void init() {
    if (!base) base = static_cast<Node*>(runtime::allocate(sizeof(Node) * kSize));
    top = 0;
}

void push(Node n) {
    if (!base) init();
    // Each entry is a level of native recursion in the walk that pushes it: on a small stack the
    // native stack runs out well before the 999 entries do.
    if (platform::stack_exhausted()) {
        top = 0;
        fire(err::internal::stack_overflow);
    }
    base[top++] = n;
    // The push that fills the last slot fails: 999 nested series are walked, not 1000.
    if (top >= kSize) {
        top = 0;
        fire(err::internal::too_deep);
    }
}

void pop() {
    if (top > 0) top--;
}

void pop_n(int n) { top = n < top ? top - n : 0; }

void reset() { top = 0; }

int depth() { return top; }

bool find_q(Node n) {
    for (int i = 0; i < top; i++)
        if (base[i] == n) return true;
    return false;
}

Node node_of(const Cell* value) {
    // Objects (and maps' hash-backed blocks) are keyed on the node in their first payload word
    // or second, by type.
    switch (value->type()) {
        case TYPE_OBJECT:
        case TYPE_ERROR:
        case TYPE_PORT: return value->data1;
        default: return value->data2;
    }
}

bool detect_q(const Cell* value, Node buffer, int* remaining, bool mold) {
    if (!find_q(node_of(value))) return false;
    if (refusing) fire(err::internal::no_cycle);
    const char* marker = "...";
    if (mold) {
        switch (value->type()) {
            case TYPE_BLOCK:
            case TYPE_HASH: marker = "[...]"; break;
            case TYPE_PAREN: marker = "(...)"; break;
            case TYPE_MAP: marker = "#[...]"; break;
            case TYPE_OBJECT: marker = "make object! [...]"; break;
            default: marker = "..."; break;
        }
    }
    string::concatenate_literal(buffer, marker);
    *remaining -= static_cast<int>(std::strlen(marker));
    return true;
}

namespace {
struct PairKey {
    Node a;
    int32_t ia;
    Node b;
    int32_t ib;
    int op;
    bool operator==(const PairKey&) const = default;
};
struct PairHash {
    size_t operator()(const PairKey& k) const {
        uint64_t h = (uint64_t(k.a) << 32 | uint32_t(k.ia)) * 0x9E3779B97F4A7C15ull;
        h ^= (uint64_t(k.b) << 32 | uint32_t(k.ib)) + 0x632BE59BD9B4E019ull + (h << 6) + (h >> 2);
        return static_cast<size_t>(h ^ (uint64_t(uint32_t(k.op)) * 0xBF58476D1CE4E5B9ull));
    }
};
std::unordered_map<PairKey, int, PairHash> compared;
uint32_t compared_at_collection = 0;

// Nodes freed by a collection may be given to other series: what was keyed on them is forgotten.
void forget_after_collection() {
    if (compared_at_collection == collector::cycles) return;
    compared.clear();
    compared_at_collection = collector::cycles;
}
}  // namespace

bool Visited::recall(Node n, int32_t from) const {
    auto it = from_.find(n);
    return it != from_.end() && it->second <= from;
}

void Visited::keep(Node n, int32_t from) {
    auto [it, fresh] = from_.try_emplace(n, from);
    if (!fresh && from < it->second) it->second = from;
}

int Comparing::comparing_depth = 0;
uint64_t Comparing::nested_compares = 0;
bool Comparing::kept = false;

bool Comparing::recall(Node a, int32_t ia, Node b, int32_t ib, int op, int* r) {
    forget_after_collection();
    auto it = compared.find(PairKey{a, ia, b, ib, op});
    if (it == compared.end()) return false;
    *r = it->second;
    return true;
}

void Comparing::keep(Node a, int32_t ia, Node b, int32_t ib, int op, int r) {
    if (!kept) compared_at_collection = collector::cycles;
    forget_after_collection();
    compared[PairKey{a, ia, b, ib, op}] = r;
    kept = true;
}

void Comparing::end_comparing() {
    compared.clear();
    kept = false;
}

namespace {

bool walked_series(uint8_t type) {
    switch (type) {
        case TYPE_BLOCK: case TYPE_PAREN: case TYPE_HASH: case TYPE_PATH: case TYPE_LIT_PATH:
        case TYPE_SET_PATH: case TYPE_GET_PATH: return true;
        default: return false;
    }
}

bool walked(uint8_t type) { return walked_series(type) || type == TYPE_OBJECT || type == TYPE_MAP; }

// The cells of a walked value: (node, first cell, end); a map's block holds keys and values.
// The cells of a walked value (nothing allocates while they are counted, so the pointers hold).
struct Span {
    Node node;
    int32_t from;
    const Cell* cells;  // from the first cell counted
    int32_t n;
};

Span span_of(const Cell* v) {
    if (v->type() == TYPE_OBJECT) return {v->data1, 0, context::values(v->data1), context::count(v->data1)};
    if (v->type() == TYPE_MAP) return {v->data2, 0, block::node_cell(v->data2, 0), block::node_length(v->data2)};
    int32_t from = series::head_of(v), to = series::total_length(v);
    return {v->data2, from, from < to ? block::node_cell(v->data2, from) : nullptr, from < to ? to - from : 0};
}

uint64_t add_capped(uint64_t a, uint64_t b, uint64_t most) { return a >= most || b >= most - a ? most : a + b; }

// Deeper than the walks themselves go (they raise too-deep at 999 levels), or where the native
// stack runs short, counting stops: the walk itself then raises its error.
constexpr int kCountDepth = 1000;
bool too_deep(int depth) { return depth >= kCountDepth || platform::stack_exhausted(); }

// What a count takes in: every walked container and all its cells, or (for a deep copy) only
// block-like series and the series cells in them, each of which the copy makes anew.
enum class Counting { cells, series };

bool enters(Counting k, uint8_t type) { return k == Counting::cells ? walked(type) : walked_series(type); }

uint64_t counted(Counting k, const Span& s) {
    if (k == Counting::cells) return uint64_t(s.n);
    uint64_t n = 0;
    for (int32_t i = 0; i < s.n; i++) n += types::series(s.cells[i].type());
    return n;
}

// Counts without a table while the walk stays small; answers false once budget visits are spent.
bool count_small(Counting k, const Cell* v, int depth, uint64_t* n, uint64_t* budget) {
    if (too_deep(depth)) return true;
    Span s = span_of(v);
    if (uint64_t(s.n) > *budget) return false;
    *budget -= uint64_t(s.n);
    *n += counted(k, s);
    for (int32_t i = 0; i < s.n; i++)
        if (enters(k, s.cells[i].type()) && !count_small(k, &s.cells[i], depth + 1, n, budget)) return false;
    return true;
}

constexpr uint64_t kCounting = ~uint64_t(0);  // the series is on the walk's path

// Counts through a table, each distinct series once; stops with *left at 0 once that many cells
// were looked at (unlimited when left is null).
uint64_t count_shared(Counting k, const Cell* v, int depth, uint64_t most, std::unordered_map<uint64_t, uint64_t>& seen,
                      uint64_t* left) {
    Span s = span_of(v);
    uint64_t key = uint64_t(s.node) << 32 | uint32_t(s.from);
    auto [it, fresh] = seen.try_emplace(key, kCounting);
    if (!fresh) return it->second == kCounting ? 0 : it->second;
    if (left) {
        if (*left <= uint64_t(s.n)) {
            *left = 0;
            return 0;
        }
        *left -= uint64_t(s.n);
    }
    uint64_t n = std::min(counted(k, s), most);
    if (!too_deep(depth)) {
        for (int32_t i = 0; i < s.n && n < most && !(left && *left == 0); i++) {
            const Cell* c = &s.cells[i];
            if (enters(k, c->type())) n = add_capped(n, count_shared(k, c, depth + 1, most, seen, left), most);
        }
    }
    seen[key] = n;
    return n;
}

// With a limit on the cells looked at, answers false when it was reached before the count ended.
bool count(Counting k, const Cell* value, uint64_t most, uint64_t* n, uint64_t limit) {
    *n = 0;
    if (!enters(k, value->type())) return true;
    uint64_t budget = std::min<uint64_t>(limit, 1 << 16);
    if (count_small(k, value, 0, n, &budget)) {
        *n = std::min(*n, most);
        return true;
    }
    std::unordered_map<uint64_t, uint64_t> seen;
    uint64_t left = limit;
    *n = count_shared(k, value, 0, most, seen, limit == UINT64_MAX ? nullptr : &left);
    return limit == UINT64_MAX || left > 0;
}

uint64_t count(Counting k, const Cell* value, uint64_t most) {
    uint64_t n;
    count(k, value, most, &n, UINT64_MAX);
    return n;
}

}  // namespace

uint64_t unfolded_cells(const Cell* value, uint64_t most) { return count(Counting::cells, value, most); }

uint64_t unfolded_series(const Cell* value, uint64_t most) { return count(Counting::series, value, most); }

bool unfolded_series_within(const Cell* value, uint64_t most, uint64_t limit, uint64_t* n) {
    return count(Counting::series, value, most, n, limit);
}

int Writing::writing_depth = 0;
bool Writing::watching = false;
uint32_t Writing::check_at = 0;

namespace {
// The outermost value written; its caller keeps it reachable while it is written.
Cell writing_value;
constexpr uint64_t kMostText = 0x7FFFFFF0;  // the most characters a string holds
}  // namespace

void Writing::watch(const Cell* value, Node buffer, const Cell* part) {
    if (part || !walked(value->type())) return;
    uint32_t length = memory::nodes[buffer]->length();
    if (length > UINT32_MAX - kWritingCheckAt) return;
    writing_value = *value;
    check_at = length + kWritingCheckAt;
    watching = true;
}

void Writing::check() {
    watching = false;
    if (unfolded_cells(&writing_value, kMostText + 1) > kMostText) {
        writing_depth--;  // the call raising here was never entered
        fire(err::internal::no_memory);
    }
}

}  // namespace cycles
