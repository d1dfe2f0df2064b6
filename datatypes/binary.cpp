#include "datatypes/binary.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>
#include <unordered_map>

#include "datatypes/binary_codecs.h"
#include "datatypes/bitset.h"
#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/tuple.h"
#include "runtime/collector.h"
#include "runtime/cycles.h"
#include "runtime/fire.h"
#include "runtime/stack.h"
#include "runtime/unicode.h"

namespace binary {

Cell* (*image_bytes)(Cell* out, const Cell* image) = nullptr;

namespace {

constexpr int64_t kMaxBytes = INT32_MAX;
constexpr uint32_t kMaxCapacity = 0x7FFFFFF0u;

inline SeriesBuf* sbuf(const Cell* v) { return memory::nodes[v->node()]; }
inline uint32_t used(const Cell* v) { return sbuf(v)->used_bytes(); }
// The head index clamped to 0 .. the tail.
inline uint32_t head_at(const Cell* v) {
    uint32_t n = used(v);
    return v->index() <= 0 ? 0 : std::min(static_cast<uint32_t>(v->index()), n);
}

[[noreturn]] void no_memory() { fire(err::internal::no_memory); }

Cell* binary_type(Cell* c) {
    datatype::make_at(c, TYPE_BINARY);
    return c;
}

// Makes sure the buffer holds size bytes from its head: it grows to twice its capacity, or to
// size when that is more. The content keeps its place relative to the head.
SeriesBuf* ensure(Node node, int64_t size) {
    if (size > kMaxBytes) no_memory();
    SeriesBuf* b = memory::nodes[node];
    if (b->head + uint64_t(size) <= b->capacity) return b;
    uint64_t want = std::max<uint64_t>(uint64_t(b->capacity) * 2, uint64_t(size));
    if (want > kMaxCapacity) want = uint64_t(size);
    if (want > kMaxCapacity) no_memory();
    return memory::expand_series(node, static_cast<uint32_t>(want));
}

// ---- Values as bytes ----

// A block met again in one walk gives the same bytes: a block holding the same sub-block twice,
// nested 40 deep, has 2^40 paths through 40 blocks. Once a walk has entered this many blocks, the
// bytes of each block it ends are remembered (where they were written, and how many) and copied
// when the block is met again.
constexpr uint64_t kBlocksUnremembered = 64;

struct Written {
    int64_t at;  // offset from the start of the walk's output
    int64_t n;
};

// What a walk of one value may still produce.
struct Budget {
    int64_t left;  // bytes allowed; negative: no limit
    uint8_t* base = nullptr;  // where the walk's output starts; null when it only measures
    uint64_t blocks = 0;      // blocks entered
    std::unordered_map<uint64_t, Written> written{};
    int64_t take(int64_t n) const { return left < 0 ? n : std::min(n, left); }
    void use(int64_t n) {
        if (left >= 0) left -= n;
    }
    bool done() const { return left == 0; }
};

// Counts saturate here: a shared block met many times must not overflow the count.
constexpr int64_t kCountCap = int64_t(1) << 40;

[[noreturn]] void bad_value(const Cell* value, bool from_to) {
    Cell v = *value;
    if (from_to) {
        Cell t;
        fire(err::script::bad_to_arg, binary_type(&t), &v);
    }
    fire(err::script::invalid_arg, &v);
}

int64_t put_value(uint8_t* dest, const Cell* value, Budget& budget, int32_t values, bool from_to);

int64_t put_block(uint8_t* dest, const Cell* block, Budget& budget, int32_t values, bool from_to) {
    Node node = block->node();
    if (cycles::find_q(node)) fire(err::internal::no_cycle);
    SeriesBuf* b = memory::nodes[node];
    int64_t total = b->length();
    int64_t i = block->index() > 0 ? block->index() : 0;
    uint64_t key = uint64_t(node) << 32 | uint32_t(i);
    bool remember = values < 0 && budget.blocks++ >= kBlocksUnremembered;
    if (remember) {
        auto it = budget.written.find(key);
        if (it != budget.written.end() && (budget.left < 0 || it->second.n <= budget.left)) {
            int64_t n = it->second.n;
            if (dest && n > 0) std::memmove(dest, budget.base + it->second.at, size_t(n));
            budget.use(n);
            return n;
        }
    }
    cycles::Scope scope(node);
    int64_t end = values > 0 ? std::min<int64_t>(total, i + values) : total;
    int64_t count = 0;
    for (; i < end && !budget.done(); i++) {
        const Cell* item = cells_head(memory::nodes[node]) + i;
        count += put_value(dest ? dest + count : nullptr, item, budget, -1, from_to);
        if (count > kCountCap) count = kCountCap;
    }
    // Bytes cut short by the budget are not the block's whole bytes.
    if (remember && !budget.done()) budget.written[key] = Written{dest ? dest - budget.base : 0, count};
    return count;
}

int64_t put_value(uint8_t* dest, const Cell* value, Budget& budget, int32_t values, bool from_to) {
    uint8_t t = value->type();
    int64_t n;
    switch (t) {
        case TYPE_CHAR: {
            uint32_t cp = cp_of(value);
            int size = unicode::cp_utf8_size(cp);
            n = budget.take(size);
            if (dest && n > 0) unicode::cp_to_utf8_limit(cp, dest, n);
            break;
        }
        case TYPE_INTEGER: {
            int32_t v = int_of(value);
            if (v < -128 || v > 255) {
                Cell c = *value;
                fire(err::script::invalid_arg, &c);
            }
            n = budget.take(1);
            if (dest && n > 0) *dest = static_cast<uint8_t>(v);
            break;
        }
        case TYPE_BINARY:
            n = budget.take(rs_length_q(value));
            if (dest && n > 0) std::memmove(dest, rs_head(value), size_t(n));
            break;
        case TYPE_TUPLE:
            n = budget.take(tuple::count_of(value));
            if (dest && n > 0) std::memcpy(dest, tuple::bytes_of(value), size_t(n));
            break;
        case TYPE_STRING:
        case TYPE_FILE:
        case TYPE_URL:
        case TYPE_TAG:
        case TYPE_EMAIL:
        case TYPE_REF: {
            if (dest) {
                n = budget.left < 0 ? kMaxBytes : budget.left;
                n = unicode::write_utf8_limit(value, -1, dest, n, false);
            } else {
                int32_t chars = string::rs_length_q(value);
                SeriesBuf* b = sbuf(value);
                uint32_t unit = b->unit();
                const uint8_t* start = b->at_tail() - size_t(chars) * unit;
                n = budget.take(unicode::utf8_length(start, b->at_tail(), unit));
            }
            break;
        }
        case TYPE_BLOCK:
        case TYPE_PAREN:
        case TYPE_HASH:
            return put_block(dest, value, budget, values, from_to);
        default: bad_value(value, from_to);
    }
    budget.use(n);
    return n;
}

int64_t measure(const Cell* value, int32_t part, bool only, bool from_to) {
    return value_bytes(nullptr, value, part, only, from_to);
}

// ---- Putting bytes into a binary ----

// The shared work of append, insert and change: the n bytes of value, dup times, replace the
// `replaced` bytes at h. The new bytes are written past the tail first, where they cannot
// overlap a source that lies in the same buffer, and are then brought to h.
void put(Node& node, const Cell* value, int32_t part, bool only, int64_t n, int64_t dup, uint32_t h,
         uint32_t replaced) {
    uint32_t len = memory::nodes[node]->used_bytes();
    int64_t add = n * dup;
    ensure(node, int64_t(len) + add);
    SeriesBuf* b = memory::nodes[node];
    uint8_t* base = b->at_head();
    value_bytes(base + len, value, part, only);
    string::exchange_runs(base + h + replaced, len - h - replaced, static_cast<uint32_t>(n),
                          static_cast<uint32_t>(add - n));
    if (replaced) std::memmove(base + h, base + h + replaced, size_t(int64_t(len) + add - h - replaced));
    memory::fill_pattern(base + h, size_t(n), size_t(add));
    b->tail = b->head + static_cast<uint32_t>(int64_t(len) + add - replaced);
}

// n x dup more bytes on top of size, within 31 bits.
void check_growth(int64_t size, int64_t n, int64_t dup) {
    if (n > 0 && (dup > (kMaxBytes - size) / n)) no_memory();
}

// ---- Trim ----

// Keeps the bytes from the head for which keep() holds, in place.
template <class F>
void filter_bytes(Cell* s, F&& keep) {
    SeriesBuf* b = sbuf(s);
    uint32_t h = head_at(s), n = b->used_bytes();
    uint8_t* p = b->at_head();
    uint32_t w = h;
    for (uint32_t i = h; i < n; i++)
        if (keep(p[i])) p[w++] = p[i];
    b->tail = b->head + w;
}

void trim_zeros(Cell* s, bool head, bool tail) {
    SeriesBuf* b = sbuf(s);
    uint32_t h = head_at(s), n = b->used_bytes();
    uint8_t* p = b->at_head();
    uint32_t a = h, z = n;
    if (head)
        while (a < z && p[a] == 0) a++;
    if (tail)
        while (z > a && p[z - 1] == 0) z--;
    if (a > h) std::memmove(p + h, p + a, z - a);
    b->tail = b->head + h + (z - a);
}

// ---- Comparing with text ----

// Compares the bytes at p (count n) with the UTF-8 form of a text value from its head: answers
// whether they are equal, or with prefix whether the text's bytes begin the binary.
bool equal_text(const uint8_t* p, uint32_t n, const Cell* text, bool prefix) {
    SeriesBuf* b = sbuf(text);
    uint32_t unit = b->unit();
    int32_t chars = string::rs_length_q(text);
    const uint8_t* q = b->at_tail() - size_t(chars) * unit;
    uint32_t at = 0;
    uint8_t tmp[4];
    for (int32_t i = 0; i < chars; i++, q += unit) {
        uint32_t cp = string::get_char(q, unit);
        int k = cp < 0x80 ? (tmp[0] = static_cast<uint8_t>(cp), 1) : unicode::cp_to_utf8(cp, tmp);
        if (n - at < uint32_t(k) || std::memcmp(p + at, tmp, size_t(k)) != 0) return false;
        at += uint32_t(k);
    }
    return prefix || at == n;
}

}  // namespace

// =============================================================================================
// Reading

int32_t rs_length_q(const Cell* value) { return static_cast<int32_t>(used(value) - head_at(value)); }

const uint8_t* rs_head(const Cell* value) { return sbuf(value)->at_head() + head_at(value); }

const uint8_t* rs_tail(const Cell* value) { return sbuf(value)->at_tail(); }

bool rs_tail_q(const Cell* value) { return head_at(value) >= used(value); }

uint8_t get_byte(const Cell* value) { return *rs_head(value); }

void rs_skip(Cell* value, int32_t n) {
    int64_t to = int64_t(head_at(value)) + n;
    value->set_index(static_cast<int32_t>(std::clamp<int64_t>(to, 0, used(value))));
}

void rs_next(Cell* value) { rs_skip(value, 1); }

bool byte_in_bitset_q(const Cell* value, const Cell* bitset) {
    if (rs_tail_q(value)) return false;
    return bitset::match_q(bitset, get_byte(value));
}

// =============================================================================================
// Writing

void rs_clear(Cell* value) {
    SeriesBuf* b = sbuf(value);
    b->tail = b->head + head_at(value);
}

uint8_t* rs_append(Cell* value, const uint8_t* bytes, size_t n) {
    uint32_t len = used(value);
    if (n > size_t(kMaxBytes - len)) no_memory();
    SeriesBuf* b = ensure(value->node(), int64_t(len) + int64_t(n));
    uint8_t* at = b->at_tail();
    if (n) std::memcpy(at, bytes, n);
    b->tail += static_cast<uint32_t>(n);
    return at;
}

void rs_insert(Cell* value, int32_t offset, const uint8_t* bytes, size_t n) {
    uint32_t len = used(value);
    if (n > size_t(kMaxBytes - len)) no_memory();
    int64_t at = std::clamp<int64_t>(int64_t(head_at(value)) + std::max(offset, 0), 0, len);
    SeriesBuf* b = ensure(value->node(), int64_t(len) + int64_t(n));
    uint8_t* p = b->at_head() + at;
    std::memmove(p + n, p, size_t(len - at));
    if (n) std::memcpy(p, bytes, n);
    b->tail += static_cast<uint32_t>(n);
}

void rs_overwrite(Cell* value, int32_t offset, const uint8_t* bytes, size_t n) {
    uint32_t len = used(value);
    int64_t at = int64_t(head_at(value)) + std::max(offset, 0);
    if (at > kMaxBytes || n > size_t(kMaxBytes - at)) no_memory();
    int64_t end = at + int64_t(n);
    SeriesBuf* b = ensure(value->node(), std::max<int64_t>(end, len));
    // A gap between the old tail and the offset is zero-filled.
    if (at > len) std::memset(b->at_head() + len, 0, size_t(at - len));
    if (n) std::memcpy(b->at_head() + at, bytes, n);
    if (end > len) b->tail = b->head + static_cast<uint32_t>(end);
}

void append_int32(Cell* value, uint32_t v) {
    uint8_t be[4] = {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
    rs_append(value, be, 4);
}

void set_byte(uint8_t* address, const Cell* value) {
    if (value->type() != TYPE_INTEGER && value->type() != TYPE_CHAR) {
        Cell c = *value;
        fire(err::script::invalid_arg, &c);
    }
    *address = static_cast<uint8_t>(value->data1);
}

// =============================================================================================
// Making

Cell* make_at(Cell* c, int32_t size) {
    if (size < 0) size = 0;
    Node node = memory::alloc_bytes(size);
    return set_cell(c, TYPE_BINARY, 0, node);
}

Cell* make_in(Node block, int32_t size) {
    Node b = block;
    collector::NodeRoot keep(&b);
    Cell c;
    make_at(&c, size);
    collector::Root keep_c(&c);
    return block::append_cell(b, &c);
}

Cell* load_at(Cell* c, const uint8_t* bytes, size_t n) {
    if (n > size_t(kMaxBytes)) no_memory();
    Node node = memory::alloc_bytes(static_cast<int32_t>(n ? n : 1));
    SeriesBuf* s = memory::nodes[node];
    if (n) std::memcpy(s->data(), bytes, n);
    s->tail = s->head + static_cast<uint32_t>(n);
    return set_cell(c, TYPE_BINARY, 0, node);
}

Cell* load(const uint8_t* bytes, size_t n) {
    Cell c;
    load_at(&c, bytes, n);
    return stack::push(&c);
}

Cell* load_in(Node block, const uint8_t* bytes, size_t n) {
    Node b = block;
    collector::NodeRoot keep(&b);
    Cell c;
    load_at(&c, bytes, n);
    collector::Root keep_c(&c);
    return block::append_cell(b, &c);
}

Cell* push(const Cell* value) { return stack::push(value); }

// =============================================================================================
// Values as bytes

int64_t value_bytes(uint8_t* dest, const Cell* value, int32_t part, bool only, bool from_to) {
    bool block = types::any_list(value->type());
    Budget budget{part > 0 && (!block || only) ? part : -1, dest};
    int32_t values = part > 0 && block && !only ? part : -1;
    return put_value(dest, value, budget, values, from_to);
}

bool equal_q(const Cell* value, const Cell* other, bool prefix) {
    const uint8_t* p = rs_head(value);
    uint32_t n = static_cast<uint32_t>(rs_length_q(value));
    if (other->type() == TYPE_BINARY) {
        uint32_t m = static_cast<uint32_t>(rs_length_q(other));
        if (prefix ? m > n : m != n) return false;
        return m == 0 || std::memcmp(p, rs_head(other), m) == 0;
    }
    if (!types::any_string(other->type())) return false;
    return equal_text(p, n, other, prefix);
}

// =============================================================================================
// to

Cell* to(Cell* proto, Cell* spec_in, int) {
    Cell spec = *spec_in;
    collector::Root keep_spec(&spec);
    Cell out;
    uint8_t be[8];
    switch (spec.type()) {
        case TYPE_INTEGER: {
            uint32_t v = spec.data1;
            for (int i = 0; i < 4; i++) be[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
            load_at(&out, be, 4);
            break;
        }
        case TYPE_FLOAT:
        case TYPE_PERCENT: {
            double d = spec.f();
            uint64_t bits;
            std::memcpy(&bits, &d, 8);
            for (int i = 0; i < 8; i++) be[i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
            load_at(&out, be, 8);
            break;
        }
        case TYPE_BITSET: {
            uint32_t n = bitset::byte_size(&spec);
            make_at(&out, static_cast<int32_t>(n));
            SeriesBuf* d = sbuf(&out);
            if (n) std::memcpy(d->at_head(), bitset::rs_head(&spec), n);
            d->tail = d->head + n;
            break;
        }
        case TYPE_ISSUE: {
            // The symbol's text may move while the decoder allocates: it works on a copy.
            std::string text = symbol::to_string(static_cast<int32_t>(spec.data2));
            if (text.size() > size_t(kMaxBytes)) no_memory();
            Node n = decode_16(reinterpret_cast<const uint8_t*>(text.data()), static_cast<int32_t>(text.size()), 1);
            if (!n) fire(err::script::invalid_data, &spec);
            set_cell(&out, TYPE_BINARY, 0, n);
            break;
        }
        case TYPE_IMAGE:
            if (image_bytes) {
                image_bytes(&out, &spec);
                break;
            }
            bad_value(&spec, true);
        case TYPE_CHAR:
        case TYPE_TUPLE:
        case TYPE_BINARY:
        case TYPE_STRING:
        case TYPE_FILE:
        case TYPE_URL:
        case TYPE_TAG:
        case TYPE_EMAIL:
        case TYPE_REF:
        case TYPE_BLOCK:
        case TYPE_PAREN:
        case TYPE_HASH: {
            int64_t n = measure(&spec, -1, false, true);
            if (n > kMaxBytes) no_memory();
            make_at(&out, static_cast<int32_t>(n));
            SeriesBuf* d = sbuf(&out);
            value_bytes(d->at_head(), &spec, -1, false, true);
            d->tail = d->head + static_cast<uint32_t>(n);
            break;
        }
        default: bad_value(&spec, true);
    }
    *proto = out;
    return proto;
}

// =============================================================================================
// form, mold, compare

namespace {

void indent_to(Node buffer, int level) {
    for (int i = 0; i < level; i++) string::concatenate_literal_n(buffer, "    ", 4);
}

// Long binaries go on lines of 32 bytes, one level deeper than the value. Every full line ends
// with a break to the deeper level, so after a last full line the closing brace stays there;
// after a shorter last line it returns to the value's own level.
int serialize(const Cell* value, Node buffer, bool only, bool flat, const Cell* part, int limit, int indent) {
    int32_t n = rs_length_q(value);
    int32_t before = static_cast<int32_t>(memory::nodes[buffer]->length());
    auto used_chars = [&] { return static_cast<int32_t>(memory::nodes[buffer]->length()) - before; };
    bool lines = !flat && n >= 31;
    if (!only) string::concatenate_literal_n(buffer, "#{", 2);
    if (lines) {
        string::append_char(buffer, '\n');
        indent_to(buffer, indent + 1);
    }
    Node src = value->node();
    uint32_t head = head_at(value);
    char hex[64];
    for (int32_t i = 0; i < n;) {
        if (part && limit - used_chars() <= 0) return limit - used_chars();
        // A run of bytes up to the next line break goes in one append.
        int32_t run = 32 - (i % 32);
        if (run > n - i) run = n - i;
        const uint8_t* p = memory::nodes[src]->at_head() + head + uint32_t(i);
        for (int32_t k = 0; k < run; k++) string::byte_to_hex(p[k], hex + 2 * k);
        string::concatenate_literal_n(buffer, hex, size_t(run) * 2);
        i += run;
        if (lines && i % 32 == 0) {
            string::append_char(buffer, '\n');
            indent_to(buffer, indent + 1);
        }
    }
    if (lines && n % 32 != 0) {
        string::append_char(buffer, '\n');
        indent_to(buffer, indent);
    }
    if (!only) string::append_char(buffer, '}');
    return limit - used_chars();
}

}  // namespace

int form(const Cell* value, Node buffer, const Cell* part, int limit) {
    return serialize(value, buffer, false, false, part, limit, 0);
}

int mold(const Cell* value, Node buffer, bool only, bool, bool flat, const Cell* part, int limit, int indent) {
    return serialize(value, buffer, only, flat, part, limit, indent);
}

int compare(const Cell* a, const Cell* b, int op) {
    if (b->type() != TYPE_BINARY) return -2;
    if (a->node() == b->node() && a->index() == b->index()) return 0;
    if (op == COMP_SAME) return -1;
    int32_t la = rs_length_q(a), lb = rs_length_q(b);
    bool equality = op == COMP_EQUAL || op == COMP_NOT_EQUAL || op == COMP_STRICT_EQUAL || op == COMP_EQUAL_FIND;
    if (equality && la != lb) return 1;
    int32_t n = la < lb ? la : lb;
    int r = n ? std::memcmp(rs_head(a), rs_head(b), size_t(n)) : 0;
    if (r) return r < 0 ? -1 : 1;
    return la == lb ? 0 : (la < lb ? -1 : 1);
}

// =============================================================================================
// append, insert, change

Cell* append(Cell* series, const Cell* value_in, int32_t part, bool only, int32_t dup, bool at_tail) {
    collector::Root keep_series(series);
    Cell value = *value_in;
    collector::Root keep_value(&value);
    if (dup < 1) return series;
    series::Event event = at_tail ? series::EV_APPEND : series::EV_INSERT;
    uint32_t h = head_at(series);
    series->set_index(static_cast<int32_t>(h));
    // A value that cannot become bytes fails before the owner hears of anything.
    int64_t n = measure(&value, part, only, false);
    bool owned = series::owned_q(series);
    if (owned) {
        series::notify(series, event, false, &value, static_cast<int32_t>(at_tail ? used(series) : h), part);
        // The owner's handler may have changed the series or the value.
        h = head_at(series);
        series->set_index(static_cast<int32_t>(h));
        n = measure(&value, part, only, false);
    }
    if (n == 0) return series;
    uint32_t len = used(series);
    if (at_tail) h = len;
    check_growth(len, n, dup);
    Node node = series->node();
    collector::NodeRoot keep_node(&node);
    put(node, &value, part, only, n, dup, h, 0);
    series->data2 = node;
    if (owned) series::notify(series, event, true, &value, static_cast<int32_t>(at_tail ? len : h), part < 0 ? 1 : part);
    if (at_tail) {
        series->set_index(0);
    } else {
        int64_t past = int64_t(h) + n * dup;
        series->set_index(static_cast<int32_t>(std::min<int64_t>(past, used(series))));
    }
    return series;
}

Cell* change(Cell* series, const Cell* value_in, int32_t part, bool only, int32_t dup) {
    collector::Root keep_series(series);
    Cell value = *value_in;
    collector::Root keep_value(&value);
    if (dup < 1) return series;
    uint32_t h = head_at(series);
    series->set_index(static_cast<int32_t>(h));
    int64_t n = measure(&value, -1, only, false);
    check_growth(used(series), n, dup);
    bool owned = series::owned_q(series);
    if (owned) {
        uint32_t after = used(series) - h;
        int64_t told = std::min<int64_t>(part >= 0 ? part : n * int64_t(dup), after);
        series::notify(series, series::EV_CHANGE, false, &value, static_cast<int32_t>(h), static_cast<int32_t>(told));
        h = head_at(series);
        series->set_index(static_cast<int32_t>(h));
        n = measure(&value, -1, only, false);
    }
    uint32_t len = used(series), after = len - h;
    // The new bytes are first written whole past the tail: that room must fit too.
    check_growth(len, n, dup);
    uint32_t replaced = static_cast<uint32_t>(std::min<int64_t>(part >= 0 ? part : n * int64_t(dup), after));
    Node node = series->node();
    collector::NodeRoot keep_node(&node);
    put(node, &value, -1, only, n, dup, h, replaced);
    series->data2 = node;
    int64_t added = n * dup;
    if (owned) series::notify(series, series::EV_CHANGE, true, &value, static_cast<int32_t>(h), static_cast<int32_t>(added));
    series->set_index(static_cast<int32_t>(std::min<int64_t>(int64_t(h) + added, used(series))));
    return series;
}

void append_action(const int32_t* refs) {
    Cell* args = stack::arguments;
    append(args, args + 1, string::part_arg(refs, 0), refs[1] >= 0, string::dup_arg(refs, 2), true);
    stack::keep();
}

void insert_action(const int32_t* refs) {
    Cell* args = stack::arguments;
    append(args, args + 1, string::part_arg(refs, 0), refs[1] >= 0, string::dup_arg(refs, 2), false);
    stack::keep();
}

void change_action(const int32_t* refs) {
    Cell* args = stack::arguments;
    // A /part that ends before the head replaces nothing; a negative count here would mean no
    // /part at all and replace as much as is written.
    int32_t part = string::part_arg(refs, 0);
    if (refs[0] >= 0 && part < 0) part = 0;
    change(args, args + 1, part, refs[1] >= 0, string::dup_arg(refs, 2));
    stack::keep();
}

// =============================================================================================
// trim, complement, and~, or~, xor~

void trim_action(const int32_t* refs) {
    Cell* s = stack::arguments;
    bool head = refs[0] >= 0, tail = refs[1] >= 0, all = refs[4] >= 0;
    const Cell* with = refs[5] >= 0 ? s + refs[5] : nullptr;
    if (refs[2] >= 0 || refs[3] >= 0) fire(err::internal::not_done);
    int32_t h = static_cast<int32_t>(head_at(s)), n = rs_length_q(s);
    series::notify(s, series::EV_TRIM, false, nullptr, h, n);
    if (with)
        string::trim_chars(s, with);
    else if (all)
        filter_bytes(s, [](uint8_t c) { return c != 0; });
    else
        trim_zeros(s, head || !tail, tail || !head);
    series::notify(s, series::EV_TRIM, true, nullptr, h, n);
    stack::keep();
}

void complement_action(const int32_t*) {
    Cell* s = stack::arguments;
    SeriesBuf* b = sbuf(s);
    uint8_t* p = b->at_head();
    for (uint32_t i = head_at(s), n = b->used_bytes(); i < n; i++) p[i] = static_cast<uint8_t>(~p[i]);
    stack::keep();
}

void do_bitwise(int op) {
    Cell* args = stack::arguments;
    if (args[1].type() != TYPE_BINARY) {
        Cell c = args[1];
        fire(err::script::invalid_arg, &c);
    }
    int32_t la = rs_length_q(args), lb = rs_length_q(args + 1);
    Cell out;
    make_at(&out, std::max(la, lb));
    // Only the fresh buffer is allocated: the operands' addresses are taken after it.
    SeriesBuf* d = sbuf(&out);
    const uint8_t* a = rs_head(args);
    const uint8_t* b = rs_head(args + 1);
    const uint8_t* longer = la >= lb ? a : b;
    int32_t shorter = std::min(la, lb), total = std::max(la, lb);
    uint8_t* w = d->at_head();
    for (int32_t i = 0; i < shorter; i++) {
        switch (op) {
            case OP_AND: w[i] = a[i] & b[i]; break;
            case OP_OR: w[i] = a[i] | b[i]; break;
            default: w[i] = a[i] ^ b[i]; break;
        }
    }
    if (op == OP_AND)
        std::memset(w + shorter, 0, size_t(total - shorter));
    else
        std::memcpy(w + shorter, longer + shorter, size_t(total - shorter));
    d->tail = d->head + static_cast<uint32_t>(total);
    *args = out;
    stack::keep();
}

void and_(const int32_t*) { do_bitwise(OP_AND); }
void or_(const int32_t*) { do_bitwise(OP_OR); }
void xor_(const int32_t*) { do_bitwise(OP_XOR); }

void init() {
    datatype::Row row;
    row.inherit({ACT_MAKE, ACT_RANDOM, ACT_REFLECT, ACT_EVAL_PATH, ACT_AT, ACT_BACK, ACT_CLEAR, ACT_COPY, ACT_FIND,
                 ACT_HEAD, ACT_HEAD_Q, ACT_INDEX_Q, ACT_LENGTH_Q, ACT_MOVE, ACT_NEXT, ACT_PICK, ACT_POKE, ACT_REMOVE,
                 ACT_REVERSE, ACT_SELECT, ACT_SORT, ACT_SKIP, ACT_SWAP, ACT_TAIL, ACT_TAIL_Q, ACT_TAKE, ACT_MODIFY});
    row.set(ACT_TO, to).set(ACT_FORM, form).set(ACT_MOLD, mold).set(ACT_COMPARE, compare);
    row.set(ACT_AND_T, and_).set(ACT_COMPLEMENT, complement_action).set(ACT_OR_T, or_).set(ACT_XOR_T, xor_);
    row.set(ACT_APPEND, append_action).set(ACT_CHANGE, change_action).set(ACT_INSERT, insert_action);
    row.set(ACT_TRIM, trim_action);
    datatype::register_row(TYPE_BINARY, TYPE_STRING, "binary!", row);
}

}  // namespace binary
