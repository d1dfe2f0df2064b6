// The cycle stack: mold, form, binding and ownership walks push the series they enter, so a
// series met again is written as a short marker instead of being walked forever.
#pragma once

#include <cstdint>
#include <unordered_map>

#include "datatypes/cell.h"
#include "runtime/memory.h"

namespace cycles {

constexpr int kSize = 1000;  // at most 999 nested entries

void init();
// Pushes a series node; raises internal too-deep (after emptying the stack) when it is full.
void push(Node n);
void pop();
void pop_n(int n);
void reset();
bool find_q(Node n);
int depth();
// The node a value's walk is keyed on: the context for objects, else the series.
Node node_of(const Cell* value);
// When the value's series is being walked: appends its marker ("[...]", "(...)", "#[...]",
// "make object! [...]", "..."; always "..." in form mode) to the string buffer, lowers the
// remaining length by the marker's length and answers true.
bool detect_q(const Cell* value, Node buffer, int* remaining, bool mold);

// While one lives, a series met again raises internal no-cycle instead of being written as its
// marker: text that is to be loaded back (save) must not stand a word for the lost series.
class Refusing {
public:
    Refusing();
    ~Refusing();
    Refusing(const Refusing&) = delete;
    Refusing& operator=(const Refusing&) = delete;

private:
    bool was_;
};

// Pushes a node for a scope; leaving the scope, normally or by a throw, drops it and anything
// pushed above it.
class Scope {
public:
    explicit Scope(Node n) : depth_(depth()) { push(n); }
    ~Scope() {
        int d = depth();
        if (d > depth_) pop_n(d - depth_);
    }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

private:
    int depth_;
};

// Shared sub-series: a block holding the same sub-block twice, nested n deep, holds n blocks but
// has 2^n paths through them, so a deep comparison that walks every path never ends. Within one
// outermost comparison the answer for a pair of series positions met again is taken from a table
// instead of walking the pair again. Only pairs whose comparison took kCompareMemoWork nested
// comparisons or more are kept: walking a smaller pair again costs less than the table, and
// small values never reach it.
constexpr uint64_t kCompareMemoWork = 32;

// Lives for the comparison of one pair of containers; the outermost one empties the table when
// it ends, also when an error passes.
class Comparing {
public:
    Comparing() : start_(nested_compares++) { comparing_depth++; }
    ~Comparing() {
        if (--comparing_depth == 0 && kept) end_comparing();
    }
    Comparing(const Comparing&) = delete;
    Comparing& operator=(const Comparing&) = delete;

    // True, with the earlier answer in *r, when the pair was compared under op before within the
    // outermost comparison.
    bool known(Node a, int32_t ia, Node b, int32_t ib, int op, int* r) {
        return kept && recall(a, ia, b, ib, op, r);
    }
    void note(Node a, int32_t ia, Node b, int32_t ib, int op, int r) {
        // The outermost pair is never met again within its own comparison.
        if (comparing_depth > 1 && nested_compares - start_ >= kCompareMemoWork) keep(a, ia, b, ib, op, r);
    }

private:
    static bool recall(Node a, int32_t ia, Node b, int32_t ib, int op, int* r);
    static void keep(Node a, int32_t ia, Node b, int32_t ib, int op, int r);
    static void end_comparing();
    static int comparing_depth;
    static uint64_t nested_compares;
    static bool kept;
    uint64_t start_;
};

// A walk that does the same to a series wherever it meets it (binding words, collecting words,
// setting bits) does it once per walk: a block holding the same sub-block twice, nested n deep,
// has 2^n paths through n blocks. A series is remembered when its walk ends, and only when that
// walk entered kRememberAfter series or more: walking a smaller one again costs less than the
// table, and walks of plain trees never build it.
class Visited {
public:
    static constexpr uint64_t kRememberAfter = 32;

    // True when the series was walked from at or before from within this walk; else counts the
    // entry and gives what done needs in *mark.
    bool walked_q(Node n, int32_t from, uint64_t* mark) {
        *mark = entered_++;
        return !from_.empty() && recall(n, from);
    }
    // The walk of the series from from, entered at mark, has ended.
    void done(Node n, int32_t from, uint64_t mark) {
        if (entered_ - mark >= kRememberAfter) keep(n, from);
    }

private:
    bool recall(Node n, int32_t from) const;
    void keep(Node n, int32_t from);

    uint64_t entered_ = 0;
    std::unordered_map<Node, int32_t> from_;
};

// The number of cells a deep walk of value meets (series cells of blocks, parens, hashes and
// paths, fields of objects, entries of maps), a series shared by several places counted each
// time it is met and one that holds itself not again; saturates at most. Quick where the walk is
// small; shared series are counted once each through a table.
uint64_t unfolded_cells(const Cell* value, uint64_t most);
// The series a deep copy of value makes: the series cells reached through its block-like series,
// counted the same way.
uint64_t unfolded_series(const Cell* value, uint64_t most);
// The same, looking at no more than limit cells: false when the count could not end within them.
bool unfolded_series_within(const Cell* value, uint64_t most, uint64_t limit, uint64_t* n);

// Lives for the form or mold of one container. Once the text of the outermost container has grown by
// kWritingCheckAt characters, its deep walk is counted, and a value whose text would have more
// cells than a string holds characters is refused with internal no-memory: a block holding the
// same sub-block twice, nested 40 deep, would otherwise be written for hours before the string
// overflows. Text that stays short costs no count; with a /part limit the text is bounded.
constexpr uint32_t kWritingCheckAt = 1u << 20;

class Writing {
public:
    Writing(const Cell* value, Node buffer, const Cell* part) {
        if (writing_depth++ == 0)
            watch(value, buffer, part);
        else if (watching && memory::nodes[buffer]->length() >= check_at)
            check();  // leaves the depth as it was when it raises
    }
    ~Writing() {
        if (--writing_depth == 0) watching = false;
    }
    Writing(const Writing&) = delete;
    Writing& operator=(const Writing&) = delete;

private:
    static void watch(const Cell* value, Node buffer, const Cell* part);
    static void check();
    static int writing_depth;
    static bool watching;
    static uint32_t check_at;
};

}  // namespace cycles
