#include "runtime/sort.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "runtime/collector.h"
#include "runtime/fire.h"
#include "runtime/runtime.h"

namespace sort {

namespace {

constexpr uint32_t kMinRun = 24;        // runs shorter than this are completed by insertion
constexpr uint32_t kInsertionMax = 7;   // quicksort ranges up to this size use insertion
constexpr uint32_t kMedianOf3Max = 511;  // larger ranges take their pivot from a sample
constexpr uint32_t kSample = 63;
constexpr uint32_t kSampleStride = 97;  // pairs sampled to tell nearly ordered input

// Temporary area of a stable sort. The active ones form a stack (sorts may nest through their
// callbacks) so that the collector can mark the cells they hold.
struct TempArea {
    uint8_t* data = nullptr;
    size_t bytes = 0;
    bool cells = false;
    TempArea* below = nullptr;
    static TempArea* top;

    // n bytes of records, then `extra` bytes for the sort's own use.
    TempArea(size_t n, size_t extra, bool cell_records) : bytes(n), cells(cell_records) {
        // Released on every way out of the sort, so it needs no place in the run-time's heap list.
        // Cell areas start zeroed: the collector may look at them before they are filled.
        size_t total = n + extra;
        data = static_cast<uint8_t*>(cell_records ? std::calloc(total ? total : 1, 1) : std::malloc(total ? total : 1));
        if (!data) fire(err::internal::no_memory);
        below = top;
        top = this;
    }
    ~TempArea() {
        top = below;
        std::free(data);
    }
    TempArea(const TempArea&) = delete;
    TempArea& operator=(const TempArea&) = delete;
};
TempArea* TempArea::top = nullptr;

inline int sign(int32_t r) { return (r > 0) - (r < 0); }

class Sorter {
public:
    Sorter(Node node, uint32_t offset, uint32_t count, uint32_t width, intptr_t op, int32_t flags, Compare cmp)
        : node_(node), offset_(offset), count_(count), width_(width), op_(op), flags_(flags), cmp_(cmp),
          bytewise_(width % 4 != 0), end_(uint64_t(offset) + uint64_t(count) * width), keep_(&node_) {
        check();
    }

    // ---- Stable merge sort ----

    void stable(uint8_t* temp, uint8_t* bits) {
        temp_ = temp;
        bits_ = bits;
        struct Entry {
            uint32_t start;
            uint32_t power;
        } stack[64];
        int top = 0;
        uint32_t s1 = 0;
        uint32_t e1 = next_run(0);
        while (e1 < count_) {
            uint32_t s2 = e1;
            uint32_t e2 = next_run(s2);
            uint32_t p = node_power(s1, e1, s2, e2);
            while (top > 0 && stack[top - 1].power > p) {
                uint32_t start = stack[--top].start;
                merge_runs(start, s1, e1);
                s1 = start;
            }
            // Powers on the stack strictly increase and stay below 64 for any 32-bit count.
            if (top == 64) runtime::quit(101, KEL_CALLER_ADDRESS());
            stack[top++] = {s1, p};
            s1 = s2;
            e1 = e2;
        }
        while (top > 0) {
            uint32_t start = stack[--top].start;
            merge_runs(start, s1, count_);
            s1 = start;
        }
    }

    // ---- Quicksort ----

    void quick() {
        // Ordered prefix: the first non-zero result fixes the direction (-1 ascending).
        int dir = 0;
        uint32_t h = prefix(0, &dir);
        if (h == count_) {
            if (dir > 0) reverse(0, count_);
            return;
        }
        int64_t score = 0;
        for (uint64_t k = h; k + 1 < count_; k += kSampleStride) {
            int s = sign(compare(static_cast<uint32_t>(k), static_cast<uint32_t>(k + 1)));
            score -= s;
        }
        if (score > int64_t(count_ / 512) || -score > int64_t(count_ / 512)) {
            int want = score > 0 ? -1 : 1;
            if (dir != want) {
                dir = want;
                h = prefix(want, &dir);
            }
            h = walk(h, dir);
        }
        if (dir > 0) reverse(0, h);
        if (h < count_) {
            int depth = 2;
            for (uint32_t n = count_; n > 1; n >>= 1) depth += 2;
            qsort_range(0, count_, h, depth);
        }
    }

private:
    Node node_;
    uint32_t offset_;
    uint32_t count_;
    uint32_t width_;
    intptr_t op_;
    int32_t flags_;
    Compare cmp_;
    bool bytewise_;
    uint64_t end_;
    collector::NodeRoot keep_;  // the callback may allocate: the node is held for the whole sort
    uint8_t* temp_ = nullptr;
    uint8_t* bits_ = nullptr;  // outcomes of a merge's comparisons, one bit each

    // The records must still lie inside the buffer after the callback ran.
    bool intact() const { return memory::node_in_use(node_) && end_ <= memory::nodes[node_]->capacity; }
    void check() const {
        if (!intact()) fire(err::script::past_end);
    }
    uint8_t* at(uint32_t i) const { return memory::nodes[node_]->data() + offset_ + size_t(i) * width_; }
    uint8_t* tmp(uint32_t i) const { return temp_ + size_t(i) * width_; }

    int32_t compare_ptr(const uint8_t* a, const uint8_t* b) {
        int32_t r = cmp_(a, b, op_, flags_);
        check();
        return r;
    }
    int32_t compare(uint32_t i, uint32_t j) { return compare_ptr(at(i), at(j)); }
    void exchange(uint32_t i, uint32_t j) { swap(at(i), at(j), width_, bytewise_); }
    void reverse(uint32_t from, uint32_t to) {
        while (to - from > 1) exchange(from++, --to);
    }

    // Records from `start` to the end of the first run, completed to kMinRun by insertion.
    uint32_t next_run(uint32_t start) {
        uint32_t e = start + 1;
        if (e >= count_) return count_;
        if (compare(start, e) <= 0) {
            for (e++; e < count_ && compare(e - 1, e) <= 0;) e++;
        } else {
            // Strictly descending only: equal neighbours never join, so reversing keeps them in order.
            for (e++; e < count_ && compare(e - 1, e) > 0;) e++;
            reverse(start, e);
        }
        uint32_t min_end = count_ - start > kMinRun ? start + kMinRun : count_;
        for (; e < min_end; e++)
            for (uint32_t j = e; j > start && compare(j - 1, j) > 0; j--) exchange(j - 1, j);
        return e;
    }

    // Depth of the boundary between two adjacent runs in the merge tree over [0, count): the first
    // binary digit where their doubled midpoints, as fractions of 2 count, differ.
    uint32_t node_power(uint64_t s1, uint64_t e1, uint64_t s2, uint64_t e2) const {
        uint64_t n = count_;
        uint64_t a = s1 + e1;
        uint64_t b = s2 + e2;
        uint32_t steps = 0;
        for (;;) {
            bool ha = a >= n;
            bool hb = b >= n;
            if (ha != hb) break;
            if (ha) {
                a -= n;
                b -= n;
            }
            a *= 2;
            b *= 2;
            steps++;
        }
        return steps + 1;
    }

    // Merges [s, m) and [m, e) in two phases. First every comparison is made with the records
    // where they are and its outcome noted; only then are the records moved, through a copy of
    // the shorter run, with no callback in between. A callback that reorders or changes the
    // series thus never meets a gap of stale copies: the buffer always holds every record.
    void merge_runs(uint32_t s, uint32_t m, uint32_t e) {
        size_t w = width_;
        uint32_t n = 0;
        auto note = [&](bool v) {
            if (v)
                bits_[n >> 3] |= uint8_t(1u << (n & 7));
            else
                bits_[n >> 3] &= uint8_t(~(1u << (n & 7)));
            n++;
        };
        auto noted = [&](uint32_t k) { return (bits_[k >> 3] >> (k & 7)) & 1; };
        if (e - m < m - s) {
            // From the back: a right record goes last when the left one is not greater.
            for (uint32_t i = m, j = e; i > s && j > m;) {
                bool right = compare(i - 1, j - 1) <= 0;
                note(right);
                if (right)
                    j--;
                else
                    i--;
            }
            uint32_t tn = e - m;
            std::memcpy(temp_, at(m), tn * w);
            uint32_t li = m, tj = tn, d = e;  // the gap is [li, li + tj)
            for (uint32_t k = 0; k < n; k++) {
                d--;
                if (noted(k)) {
                    std::memcpy(at(d), tmp(--tj), w);
                } else {
                    std::memcpy(at(d), at(li - 1), w);
                    li--;
                }
            }
            std::memcpy(at(li), temp_, size_t(tj) * w);
        } else {
            // From the front: a left record goes first when it is not greater.
            for (uint32_t i = s, j = m; i < m && j < e;) {
                bool left = compare(i, j) <= 0;
                note(left);
                if (left)
                    i++;
                else
                    j++;
            }
            uint32_t tn = m - s;
            std::memcpy(temp_, at(s), tn * w);
            uint32_t ti = 0, d = s, j = m;  // the gap is [d, d + tn - ti)
            for (uint32_t k = 0; k < n; k++, d++) {
                if (noted(k))
                    std::memcpy(at(d), tmp(ti++), w);
                else
                    std::memcpy(at(d), at(j++), w);
            }
            std::memcpy(at(d), tmp(ti), size_t(tn - ti) * w);
        }
    }

    // Length of the ordered prefix from record 0. With *dir 0 the first non-zero result sets the
    // direction; the prefix ends at the first pair ordered the other way.
    uint32_t prefix(int want, int* dir) {
        *dir = want;
        uint32_t h = 1;
        while (h < count_) {
            int s = sign(compare(h - 1, h));
            if (s != 0) {
                if (*dir == 0)
                    *dir = s;
                else if (s != *dir)
                    break;
            }
            h++;
        }
        return h;
    }

    // Nearly ordered input: grows the ordered prefix by moving each record that breaks the order
    // back into place, while the place lies within the last quarter of the prefix and the records
    // moved stay within one pass over the input; stops at the first record that does not qualify.
    uint32_t walk(uint32_t h, int dir) {
        auto ord = [&](uint32_t i, uint32_t j) { return dir > 0 ? -sign(compare(i, j)) : sign(compare(i, j)); };
        uint64_t budget = count_;
        while (h < count_) {
            if (ord(h - 1, h) <= 0) {
                h++;
                continue;
            }
            uint32_t reach = h / 4;
            if (reach == 0) break;
            uint32_t lo = h - reach;
            if (ord(lo, h) > 0) break;
            // First place p in (lo, h) whose record comes after record h.
            uint32_t a = lo, b = h - 1;  // ord(a, h) <= 0 < ord(b, h)
            while (b - a > 1) {
                uint32_t mid = a + (b - a) / 2;
                if (ord(mid, h) > 0)
                    b = mid;
                else
                    a = mid;
            }
            if (h - b > budget) break;
            budget -= h - b;
            for (uint32_t j = h; j > b; j--) exchange(j - 1, j);
            h++;
        }
        return h;
    }

    void insertion(uint32_t lo, uint32_t n) {
        for (uint32_t i = lo + 1; i < lo + n; i++)
            for (uint32_t j = i; j > lo && compare(j - 1, j) > 0; j--) exchange(j - 1, j);
    }

    // Bounds the quicksort's work on inputs that defeat its pivots.
    void heapsort(uint32_t lo, uint32_t n) {
        auto sift = [&](uint32_t root, uint32_t size) {
            for (;;) {
                uint32_t child = 2 * root + 1;
                if (child >= size) return;
                if (child + 1 < size && compare(lo + child, lo + child + 1) < 0) child++;
                if (compare(lo + root, lo + child) >= 0) return;
                exchange(lo + root, lo + child);
                root = child;
            }
        };
        for (uint32_t i = n / 2; i-- > 0;) sift(i, n);
        for (uint32_t end = n; end-- > 1;) {
            exchange(lo, lo + end);
            sift(0, end);
        }
    }

    // Sorts [lo, lo + n), whose first h records are already ordered.
    void qsort_range(uint32_t lo, uint32_t n, uint32_t h, int depth) {
        while (n > kInsertionMax) {
            if (depth-- <= 0) {
                heapsort(lo, n);
                return;
            }
            // The pivot goes to record lo.
            if (h > 2 && h > n / 256) {
                exchange(lo, lo + h / 2);
            } else if (n <= kMedianOf3Max) {
                uint32_t last = lo + n - 1;
                exchange(lo + n / 2, lo + 1);
                if (compare(lo, lo + 1) > 0) exchange(lo, lo + 1);
                if (compare(lo + 1, last) > 0) {
                    exchange(lo + 1, last);
                    if (compare(lo, lo + 1) > 0) exchange(lo, lo + 1);
                }
                exchange(lo, lo + 1);
            } else {
                qsort_range(lo, kSample, 0, depth);
                exchange(lo, lo + kSample / 2);
            }
            h = 0;
            // Three-way partition: [lo, a) equal to the pivot, [a, b) smaller, (c, end) greater.
            uint32_t a = lo + 1, b = lo + 1, c = lo + n - 1;
            for (;;) {
                while (b <= c) {
                    int32_t r = compare(b, lo);
                    if (r > 0) break;
                    if (r == 0) exchange(a++, b);
                    b++;
                }
                int32_t rc = 0;
                while (b <= c) {
                    rc = compare(c, lo);
                    if (rc <= 0) break;
                    c--;
                }
                if (b > c) break;
                exchange(b, c);
                if (rc == 0) exchange(a++, b);
                b++;
                c--;
            }
            uint32_t equal = a - lo;
            uint32_t less = b - a;
            uint32_t moved = std::min(equal, less);
            for (uint32_t k = 0; k < moved; k++) exchange(lo + k, b - moved + k);
            uint32_t greater = lo + n - b;
            if (less < greater) {
                qsort_range(lo, less, 0, depth);
                lo = b;
                n = greater;
            } else {
                qsort_range(b, greater, 0, depth);
                n = less;
            }
        }
        if (n > 1) insertion(lo, n);
    }
};

}  // namespace

void swap(uint8_t* a, uint8_t* b, uint32_t width, bool bytewise) {
    if (!bytewise) {
        for (uint32_t i = 0; i < width; i += 4) {
            uint32_t x, y;
            std::memcpy(&x, a + i, 4);
            std::memcpy(&y, b + i, 4);
            std::memcpy(a + i, &y, 4);
            std::memcpy(b + i, &x, 4);
        }
    } else {
        for (uint32_t i = 0; i < width; i++) std::swap(a[i], b[i]);
    }
}

namespace {
void mark_cell_areas() { mark_temp_areas(collector::mark_values); }
}  // namespace

void stable(Node node, uint32_t offset, uint32_t count, uint32_t width, intptr_t op, int32_t flags,
            Compare cmp, bool cell_records) {
    if (count < 2 || width == 0) return;
    // Cells taken out into the temporary area are marked by the collector through this.
    if (cell_records) collector::add_marker(mark_cell_areas);
    Sorter s(node, offset, count, width, op, flags, cmp);
    uint64_t bytes = uint64_t(count / 2) * width;
    if (bytes > 0x7FFFFFFF) fire(err::script::too_long);
    // A merge of n records makes fewer than n comparisons.
    TempArea area(static_cast<size_t>(bytes), size_t(count) / 8 + 1, cell_records);
    s.stable(area.data, area.data + bytes);
}

void qsort(Node node, uint32_t offset, uint32_t count, uint32_t width, intptr_t op, int32_t flags,
           Compare cmp) {
    if (count < 2 || width == 0) return;
    Sorter s(node, offset, count, width, op, flags, cmp);
    s.quick();
}

void mark_temp_areas(void (*mark)(Cell* first, Cell* end)) {
    for (TempArea* t = TempArea::top; t; t = t->below) {
        if (!t->cells) continue;
        auto* first = reinterpret_cast<Cell*>(t->data);
        mark(first, first + t->bytes / sizeof(Cell));
    }
}

}  // namespace sort
