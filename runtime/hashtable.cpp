#include "runtime/hashtable.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "datatypes/date.h"
#include "runtime/arrays.h"
#include "runtime/case_folding.h"
#include "runtime/collector.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/print.h"
#include "runtime/runtime.h"

namespace hashtable {

uint32_t seed = 0;  // random_::init sets the run's value
int (*compare_hook)(const Cell* a, const Cell* b, int op) = nullptr;

static Node g_symbol_block = 0;
static Node g_symbol_table = 0;

constexpr uint32_t kNoBucket = 0xFFFFFFFFu;  // position index entry without a bucket
constexpr int32_t kMaxRefresh = 30000;

// ---------------------------------------------------------------------------------------------
// MurmurHash3 x86_32

static inline uint32_t rotl(uint32_t x, int r) { return (x << r) | (x >> (32 - r)); }

static inline uint32_t fmix(uint32_t h) {
    h ^= h >> 16;
    h *= 0x85EBCA6Bu;
    h ^= h >> 13;
    h *= 0xC2B2AE35u;
    h ^= h >> 16;
    return h;
}

static inline uint32_t mix_k(uint32_t k) {
    k *= 0xCC9E2D51u;
    k = rotl(k, 15);
    return k * 0x1B873593u;
}

static inline uint32_t mix_h(uint32_t h, uint32_t k) {
    h ^= mix_k(k);
    h = rotl(h, 13);
    return h * 5 + 0xE6546B64u;
}

static inline uint32_t load32(const uint8_t* p) {
    uint32_t k;
    std::memcpy(&k, p, 4);
    return k;
}

static inline uint32_t murmur_tail(uint32_t h, const uint8_t* tail, uint32_t rest) {
    uint32_t k = 0;
    switch (rest) {
        case 3: k ^= uint32_t(tail[2]) << 16; [[fallthrough]];
        case 2: k ^= uint32_t(tail[1]) << 8; [[fallthrough]];
        case 1: k ^= tail[0]; h ^= mix_k(k);
    }
    return h;
}

uint32_t murmur3(const void* data, uint32_t length) {
    const auto* p = static_cast<const uint8_t*>(data);
    uint32_t h = seed;
    uint32_t blocks = length / 4;
    for (uint32_t i = 0; i < blocks; i++) h = mix_h(h, load32(p + 4 * i));
    h = murmur_tail(h, p + 4 * blocks, length & 3);
    return fmix(h ^ length);
}

uint32_t hash_int(uint32_t key) { return fmix(key); }

static inline uint8_t ascii_lower(uint8_t c) { return static_cast<uint8_t>(c - 'A') < 26 ? c | 0x20 : c; }

// Lowers A-Z in the four bytes of a word at once.
static inline uint32_t ascii_lower4(uint32_t w) {
    uint32_t high = w & 0x80808080u;
    uint32_t low = w & 0x7F7F7F7Fu;
    uint32_t ge_a = low + 0x3F3F3F3Fu;  // bit 7 set where byte >= 'A'
    uint32_t gt_z = low + 0x25252525u;  // bit 7 set where byte > 'Z'
    uint32_t upper = ge_a & ~gt_z & ~high & 0x80808080u;
    return w | (upper >> 2);
}

uint32_t hash_binary(const uint8_t* data, uint32_t length) {
    uint32_t h = seed;
    uint32_t blocks = length / 4;
    for (uint32_t i = 0; i < blocks; i++) h = mix_h(h, ascii_lower4(load32(data + 4 * i)));
    uint8_t tail[3] = {};
    for (uint32_t i = 0; i < (length & 3); i++) tail[i] = ascii_lower(data[4 * blocks + i]);
    h = murmur_tail(h, tail, length & 3);
    return fmix(h ^ length);
}

// Keys fold to upper case as text comparison does: a lower-case fold would part keys that compare
// equal (U+017F and s share the upper case S, not a lower case) and join keys that do not (the
// Kelvin sign and k share only a lower case).
static inline uint32_t fold_case(uint32_t cp) {
    if (cp < 0x80) return static_cast<uint8_t>(cp - 'a') < 26 ? cp - 0x20 : cp;
    return case_folding::change(cp, true);
}

static inline uint32_t unit_at(const uint8_t* p, uint32_t unit, uint32_t i) {
    switch (unit) {
        case 1: return p[i];
        case 2: {
            uint16_t v;
            std::memcpy(&v, p + 2 * i, 2);
            return v;
        }
        default: return load32(p + 4 * i);
    }
}

// The text of a string value from its index: start address, unit and number of codepoints.
struct Text {
    const uint8_t* p;
    uint32_t unit;
    uint32_t length;
};

static Text text_of(const Cell* value) {
    SeriesBuf* b = memory::nodes[value->node()];
    uint32_t unit = b->unit();
    if (unit != 1 && unit != 2 && unit != 4) runtime::quit(101, KEL_CALLER_ADDRESS());
    uint32_t total = b->used_bytes() / unit;
    int32_t index = value->index();
    uint32_t from = index < 0 ? 0 : std::min<uint32_t>(static_cast<uint32_t>(index), total);
    return {b->at_head() + size_t(from) * unit, unit, total - from};
}

uint32_t hash_string(const Cell* value, bool case_sensitive) {
    Text t = text_of(value);
    uint32_t h = seed;
    if (case_sensitive) {
        for (uint32_t i = 0; i < t.length; i++) h = mix_h(h, unit_at(t.p, t.unit, i));
    } else if (t.unit == 1) {
        for (uint32_t i = 0; i < t.length; i++) h = mix_h(h, fold_case(t.p[i]));
    } else {
        for (uint32_t i = 0; i < t.length; i++) h = mix_h(h, fold_case(unit_at(t.p, t.unit, i)));
    }
    return fmix(h ^ (t.length * 4u));
}

bool node_keyed(uint8_t type) {
    switch (type) {
        case TYPE_BLOCK: case TYPE_PAREN: case TYPE_OBJECT: case TYPE_ERROR: case TYPE_HASH: case TYPE_MAP:
        case TYPE_PORT: case TYPE_IMAGE: case TYPE_EVENT:
            return true;
        default: return type >= TYPE_NATIVE && type <= TYPE_GET_PATH;
    }
}

static uint32_t murmur_words(const Cell* value, int first, uint32_t bytes) {
    const uint32_t* words = &value->data1;
    return murmur3(words + (first - 1), bytes);
}

uint32_t hash_value(const Cell* value, bool case_sensitive) {
    switch (value->type()) {
        case TYPE_DATATYPE: case TYPE_LOGIC: case TYPE_OBJECT: case TYPE_ERROR: case TYPE_PORT:
            return fmix(value->data1);
        case TYPE_UNSET: return 0xFFFFFFFEu;
        case TYPE_NONE: return 0xFFFFFFFFu;
        case TYPE_BLOCK: case TYPE_PAREN: case TYPE_PATH: case TYPE_LIT_PATH: case TYPE_SET_PATH:
        case TYPE_GET_PATH: case TYPE_HASH: case TYPE_IMAGE:
            return murmur_words(value, 1, 8);
        case TYPE_POINT2D: case TYPE_POINT3D: {
            // By the coordinates, with -0.0 taken as 0.0, which compares equal to it.
            float xyz[3];
            uint32_t n = value->type() == TYPE_POINT3D ? 3 : 2;
            std::memcpy(xyz, &value->data1, n * sizeof(float));
            for (uint32_t i = 0; i < n; i++)
                if (xyz[i] == 0.0f) xyz[i] = 0.0f;
            return murmur3(xyz, n * uint32_t(sizeof(float)));
        }
        case TYPE_STRING: case TYPE_FILE: case TYPE_URL: case TYPE_TAG: case TYPE_EMAIL: case TYPE_REF:
            return hash_string(value, case_sensitive);
        case TYPE_CHAR: case TYPE_INTEGER:
            return fmix(value->data1);
        case TYPE_MAP: case TYPE_HANDLE: case TYPE_EVENT:
            return fmix(value->data2);
        case TYPE_PAIR:
            return murmur_words(value, 2, 8);
        case TYPE_FLOAT: case TYPE_PERCENT: case TYPE_TIME: {
            // -0.0 equals 0.0: both must land in the same bucket.
            double d = value->f();
            if (d == 0.0) d = 0.0;
            return murmur3(&d, sizeof d);
        }
        case TYPE_SYMBOL: {
            SeriesBuf* b = memory::nodes[value->data3];
            return hash_binary(b->at_head(), b->used_bytes());
        }
        case TYPE_WORD: case TYPE_SET_WORD: case TYPE_LIT_WORD: case TYPE_GET_WORD: case TYPE_REFINEMENT:
        case TYPE_ISSUE:
            return fmix(static_cast<uint32_t>(resolve(value->i2())));
        case TYPE_NATIVE: case TYPE_ACTION: return fmix(value->data3);
        case TYPE_OP: case TYPE_FUNCTION: case TYPE_TRIPLE: case TYPE_TYPESET:
            return murmur_words(value, 1, 12);
        case TYPE_DATE: {
            // By the instant: the same moment in another zone, or a date alone and its midnight
            // UTC, are equal keys and must land in the same bucket.
            double v[2];
            date::instant(value, &v[0], &v[1]);
            if (v[1] == 0.0) v[1] = 0.0;  // -0.0
            return murmur3(v, sizeof v);
        }
        case TYPE_TUPLE: {
            // Missing bytes count as 0 (1.2.3 equals 1.2.3.0): trailing zeros are not hashed.
            uint32_t n = (value->header >> 19) & 0xF;
            if (n > 12) n = 12;
            const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&value->data1);
            while (n > 0 && bytes[n - 1] == 0) n--;
            return murmur3(bytes, n);
        }
        case TYPE_BINARY: {
            SeriesBuf* b = memory::nodes[value->node()];
            uint32_t used = b->used_bytes();
            int32_t index = value->index();
            uint32_t from = index < 0 ? 0 : std::min<uint32_t>(static_cast<uint32_t>(index), used);
            return murmur3(b->at_head() + from, used - from);
        }
        case TYPE_MONEY: {
            Cell c = *value;
            c.header = TYPE_MONEY;
            return murmur3(&c, sizeof c);
        }
        default: return 0;
    }
}

// ---------------------------------------------------------------------------------------------
// Key equality

static bool case_sensitive_op(int op) { return op == 2 || op == 8 || op == 10; }

static bool text_equal(const Cell* a, const Cell* b, int op) {
    if (op == 9) return a->node() == b->node() && a->index() == b->index();
    Text x = text_of(a);
    Text y = text_of(b);
    if (x.length != y.length) return false;
    bool strict = case_sensitive_op(op);
    // Same units and bytes are equal under every mode: a hit is settled without folding.
    if (x.unit == y.unit && std::memcmp(x.p, y.p, size_t(x.length) * x.unit) == 0) return true;
    if (strict && x.unit == y.unit) return false;
    for (uint32_t i = 0; i < x.length; i++) {
        uint32_t c = unit_at(x.p, x.unit, i);
        uint32_t d = unit_at(y.p, y.unit, i);
        if (c != d && (strict || fold_case(c) != fold_case(d))) return false;
    }
    return true;
}

static bool binary_equal(const Cell* a, const Cell* b, int op) {
    if (op == 9) return a->node() == b->node() && a->index() == b->index();
    auto span = [](const Cell* v, const uint8_t*& p) {
        SeriesBuf* s = memory::nodes[v->node()];
        uint32_t used = s->used_bytes();
        uint32_t from = v->index() < 0 ? 0 : std::min<uint32_t>(static_cast<uint32_t>(v->index()), used);
        p = s->at_head() + from;
        return used - from;
    };
    const uint8_t* p;
    const uint8_t* q;
    uint32_t n = span(a, p);
    uint32_t m = span(b, q);
    return n == m && std::memcmp(p, q, n) == 0;
}

static bool symbol_text_equal(const Cell* a, const Cell* b, int op) {
    SeriesBuf* x = memory::nodes[a->data3];
    SeriesBuf* y = memory::nodes[b->data3];
    uint32_t n = x->used_bytes();
    if (n != y->used_bytes()) return false;
    const uint8_t* p = x->at_head();
    const uint8_t* q = y->at_head();
    if (case_sensitive_op(op) || op == 9) return std::memcmp(p, q, n) == 0;
    for (uint32_t i = 0; i < n; i++)
        if (ascii_lower(p[i]) != ascii_lower(q[i])) return false;
    return true;
}

bool keys_equal(const Cell* a, const Cell* b, int op) {
    uint8_t type = a->type();
    if (type != b->type()) return false;
    if (op == kChainOp && type != TYPE_FLOAT && type != TYPE_PERCENT && type != TYPE_TIME) op = 0;
    switch (type) {
        case TYPE_UNSET: case TYPE_NONE: return true;
        case TYPE_LOGIC: case TYPE_DATATYPE: return a->data1 == b->data1;
        case TYPE_INTEGER: case TYPE_CHAR: return a->data1 == b->data1;
        case TYPE_FLOAT: case TYPE_PERCENT: case TYPE_TIME:
            // By value as compare has it: -0.0 equals 0.0 and a NaN equals nothing, not even
            // itself. same? looks at the bits; a hash! chain also holds one NaN's copies
            // together, so that find/same can reach them.
            if (op == 9 || op == kChainOp) {
                if (a->data2 == b->data2 && a->data3 == b->data3) return true;
                return op == kChainOp && a->f() == 0.0 && b->f() == 0.0;
            }
            return a->f() == b->f();
        case TYPE_SYMBOL: return symbol_text_equal(a, b, op);
        case TYPE_WORD: case TYPE_SET_WORD: case TYPE_LIT_WORD: case TYPE_GET_WORD: case TYPE_REFINEMENT:
        case TYPE_ISSUE:
            if (op == 9) return a->data1 == b->data1 && a->data2 == b->data2;
            if (case_sensitive_op(op)) return a->data2 == b->data2;
            return a->data2 == b->data2 || resolve(a->i2()) == resolve(b->i2());
        case TYPE_STRING: case TYPE_FILE: case TYPE_URL: case TYPE_TAG: case TYPE_EMAIL: case TYPE_REF:
            return text_equal(a, b, op);
        case TYPE_BINARY: return binary_equal(a, b, op);
        default:
            // A key hashed by its node matches only itself: a deep compare would find nothing
            // more, only cost time (and meet blocks that hold themselves).
            if (compare_hook && !node_keyed(type)) return compare_hook(a, b, op) == 0;
            return a->data1 == b->data1 && a->data2 == b->data2 && a->data3 == b->data3;
    }
}

// ---------------------------------------------------------------------------------------------
// Symbols

void set_symbol_block(Node block) { g_symbol_block = block; }
Node symbol_block() { return g_symbol_block; }
Node symbol_table() { return g_symbol_table; }

int32_t resolve(int32_t symbol) {
    if (!g_symbol_block || symbol <= 0) return symbol;
    SeriesBuf* b = memory::nodes[g_symbol_block];
    if (uint32_t(symbol) > b->used_bytes() / 16) return symbol;
    int32_t alias = cells_head(b)[symbol - 1].i1();
    return alias > 0 ? alias : symbol;
}

// ---------------------------------------------------------------------------------------------
// Keeping tables under construction alive, and their nodes in place

static constexpr int kMaxPins = 64;
static Node pins[kMaxPins];
static bool pin_is_table[kMaxPins];
static int pin_count = 0;

static void mark_module() {
    if (g_symbol_table) mark(&g_symbol_table);
    if (g_symbol_block) collector::mark_block(&g_symbol_block);
    for (int i = 0; i < pin_count; i++) {
        if (!pins[i]) continue;
        if (pin_is_table[i])
            mark(&pins[i]);
        else
            collector::keep(&pins[i]);
    }
}

static void ensure_marker() {
    static bool registered = false;
    if (!registered) {
        collector::add_marker(mark_module);
        registered = true;
    }
}

void set_symbol_table(Node table) {
    ensure_marker();
    g_symbol_table = table;
    if (table) g_symbol_block = record(table)->block;
}

namespace {

// A series the table code made and has not linked anywhere reachable yet.
struct Pin {
    explicit Pin(Node n, bool table = false) {
        ensure_marker();
        if (pin_count >= kMaxPins) runtime::quit(98, KEL_CALLER_ADDRESS());
        pins[pin_count] = n;
        pin_is_table[pin_count] = table;
        pin_count++;
    }
    ~Pin() { pin_count--; }
    Pin(const Pin&) = delete;
    Pin& operator=(const Pin&) = delete;
};

// Hashes of node-keyed values and positions held in locals stay valid only while nodes keep their
// handles: node compaction is off for the duration of every operation that may allocate.
struct NoNodeMoves {
    bool saved = collector::node_compaction;
    NoNodeMoves() { collector::node_compaction = false; }
    ~NoNodeMoves() { collector::node_compaction = saved; }
};

struct Guard {
    NoNodeMoves no_moves;
    Pin pin;
    explicit Guard(Node table) : pin(table, true) {}
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// Buckets

static inline uint32_t state_of(const uint8_t* s, uint32_t i) { return (s[i >> 2] >> ((i & 3) * 2)) & 3; }

static inline void set_state(uint8_t* s, uint32_t i, uint32_t v) {
    uint32_t shift = (i & 3) * 2;
    s[i >> 2] = static_cast<uint8_t>((s[i >> 2] & ~(3u << shift)) | (v << shift));
}

static inline uint8_t* states_of(Node t) { return memory::nodes[record(t)->states]->data(); }
// A bucket's key position beside the key's full hash: a probe compares hashes first and reads a
// key cell (and its text, through the node table) only when they agree.
struct Slot {
    int32_t key;
    uint32_t hash;
};
static inline Slot* slots_of(Node t) { return reinterpret_cast<Slot*>(memory::nodes[record(t)->keys]->data()); }
static inline uint32_t* index_of(Node t) { return reinterpret_cast<uint32_t*>(memory::nodes[record(t)->aux]->data()); }
static inline Cell* block_cells(Node t) { return cells_head(memory::nodes[record(t)->block]); }
static inline int32_t block_length(Node t) {
    return static_cast<int32_t>(memory::nodes[record(t)->block]->used_bytes() / 16);
}

static constexpr uint32_t kMaxBuckets = 1u << 28;  // keys of 1 GiB

static uint32_t pow2_at_least(uint64_t n) {
    if (n > kMaxBuckets) fire(err::internal::no_memory);
    uint32_t b = 4;
    while (b < n) b <<= 1;
    return b;
}

static uint32_t buckets_for(int64_t expected) {
    if (expected < 4) expected = 4;
    return pow2_at_least(static_cast<uint64_t>(static_cast<double>(expected) / 0.77));
}

static uint32_t upper_for(uint32_t buckets) { return static_cast<uint32_t>(static_cast<double>(buckets) * 0.77); }

static uint32_t grow_request(const Record* r) { return r->count * 2 < r->buckets ? r->buckets - 1 : r->buckets + 1; }

// Fresh, empty state and key arrays (the old ones are left to the collector).
static void new_arrays(Node t, uint32_t buckets) {
    Node states = memory::alloc_bytes_filled(static_cast<int32_t>(buckets / 4), 0xAA);
    Pin keep_states(states);
    memory::nodes[states]->tail = buckets / 4;
    Node keys = memory::alloc_series(static_cast<int32_t>(buckets) * 2, 4, 0);
    SeriesBuf* kb = memory::nodes[keys];
    std::memset(kb->data(), 0, size_t(buckets) * sizeof(Slot));
    kb->tail = buckets * uint32_t(sizeof(Slot));
    Record* r = record(t);
    r->states = states;
    r->keys = keys;
    r->buckets = buckets;
    r->upper = upper_for(buckets);
    r->occupied = 0;
}

// Walks the probe sequence of a hash. Answers the bucket whose key `match` accepts, or -1; then
// *slot is the bucket a new key takes (the first deleted one met, else the empty one that ended
// the walk). Only keys of the same hash reach match: equal keys hash alike. match may run the
// compare hook, so the arrays are fetched again at every step.
template <class Match>
static int32_t probe(Node t, uint32_t h, Match match, uint32_t* slot) {
    uint32_t n = record(t)->buckets;
    uint32_t mask = n - 1;
    uint32_t i = h & mask;
    uint32_t first_deleted = kNoBucket;
    for (uint32_t step = 0; step < n;) {
        uint32_t s = state_of(states_of(t), i);
        if (s == kEmpty) {
            if (slot) *slot = first_deleted != kNoBucket ? first_deleted : i;
            return -1;
        }
        if (s == kDeleted) {
            if (first_deleted == kNoBucket) first_deleted = i;
        } else if (slots_of(t)[i].hash == h && match(slots_of(t)[i].key)) {
            return static_cast<int32_t>(i);
        }
        step++;
        i = (i + step) & mask;
    }
    if (slot) *slot = first_deleted;
    return -1;
}

// Takes a bucket for a key (counts an empty bucket as newly occupied).
static void take_bucket(Node t, uint32_t bucket, int32_t key, uint32_t h) {
    uint8_t* st = states_of(t);
    Record* r = record(t);
    if (state_of(st, bucket) == kEmpty) r->occupied++;
    set_state(st, bucket, kUsed);
    slots_of(t)[bucket] = {key, h};
}

// Puts a key into a table known to hold no equal key and no deleted bucket (a rebuild).
static uint32_t place(Node t, uint32_t h, int32_t key) {
    Record* r = record(t);
    uint8_t* st = states_of(t);
    uint32_t mask = r->buckets - 1;
    uint32_t i = h & mask;
    for (uint32_t step = 0; state_of(st, i) != kEmpty;) {
        step++;
        i = (i + step) & mask;
    }
    set_state(st, i, kUsed);
    slots_of(t)[i] = {key, h};
    r->occupied++;
    return i;
}

static bool is_word_key(uint8_t type) { return type >= TYPE_WORD && type <= TYPE_GET_WORD; }

// ---------------------------------------------------------------------------------------------
// hash!: chains and the position index

static inline Cell* chain_cells(Node t) { return cells_head(memory::nodes[record(t)->chains]); }
static inline Node chain_node(Node t, int32_t k) { return chain_cells(t)[k].data2; }

static int32_t chain_first(Node t, int32_t k) {
    SeriesBuf* b = memory::nodes[chain_node(t, k)];
    return b->used_bytes() >= 4 ? static_cast<int32_t>(load32(b->at_head())) : -1;
}

// A new chain holding two positions; answers its number k (the key word is -k).
static int32_t new_chain(Node t, int32_t p1, int32_t p2) {
    Node a = array::make(4, 4);
    Pin keep_chain(a);
    array::append_int(a, p1);
    array::append_int(a, p2);
    Node list = record(t)->chains;
    int32_t k = chain_cells(t)[0].i1();
    if (k <= 0) {
        uint32_t at = series::alloc_tail_bytes(list, 16);
        k = static_cast<int32_t>((at - memory::nodes[list]->head) / 16);
    } else {
        chain_cells(t)[0].data1 = chain_cells(t)[k].data1;
    }
    set_cell(chain_cells(t) + k, TYPE_BINARY, 0, a, 0);
    return k;
}

static void free_chain(Node t, int32_t k) {
    Cell* c = chain_cells(t);
    set_cell(c + k, TYPE_NONE, c[0].data1);
    c[0].data1 = static_cast<uint32_t>(k);
}

static void reset_chains(Node t) {
    SeriesBuf* b = memory::nodes[record(t)->chains];
    b->tail = b->head + 16;
    set_cell(cells_head(b), TYPE_NONE, 0);
}

static int32_t index_length(Node t) { return static_cast<int32_t>(memory::nodes[record(t)->aux]->used_bytes() / 4); }

// Makes the position index cover n positions, new entries without a bucket.
static void ensure_index(Node t, int32_t n) {
    Node idx = record(t)->aux;
    SeriesBuf* b = memory::nodes[idx];
    uint32_t have = b->used_bytes();
    uint64_t want = uint64_t(n < 0 ? 0 : n) * 4;
    if (want <= have) return;
    uint32_t more = static_cast<uint32_t>(want - have);
    uint32_t at = series::alloc_tail_bytes(idx, more);
    std::memset(memory::nodes[idx]->data() + at, 0xFF, more);
}

// Forgets the key of one position of a hash!.
static void remove_position(Node t, int32_t pos) {
    if (pos < 0 || pos >= index_length(t)) return;
    uint32_t entry = index_of(t)[pos];
    if (entry == kNoBucket) return;
    uint32_t b = entry - 1;
    index_of(t)[pos] = kNoBucket;
    record(t)->count--;
    int32_t key = slots_of(t)[b].key;
    if (key >= 0) {
        set_state(states_of(t), b, kDeleted);
        return;
    }
    Node chain = chain_node(t, -key);
    array::remove_ptr(chain, static_cast<uint32_t>(pos));
    int32_t left = array::length_q(chain);
    if (left == 1) {
        slots_of(t)[b].key = array::pick_int(chain, 1);
        free_chain(t, -key);
    } else if (left == 0) {
        free_chain(t, -key);
        set_state(states_of(t), b, kDeleted);
    }
}

// Adds one position of a hash! (no growth check).
static void hash_add(Node t, int32_t pos) {
    if (pos < 0 || pos >= block_length(t)) return;
    ensure_index(t, pos + 1);
    if (index_of(t)[pos] != kNoBucket) remove_position(t, pos);
    Cell v = block_cells(t)[pos];
    uint32_t h = hash_value(&v, false);
    uint32_t slot = kNoBucket;
    int32_t b = probe(
        t, h,
        [&](int32_t key) {
            int32_t p = key >= 0 ? key : chain_first(t, -key);
            if (p < 0 || p >= block_length(t)) return false;
            Cell k = block_cells(t)[p];
            return keys_equal(&k, &v, kChainOp);
        },
        &slot);
    if (b >= 0) {
        int32_t key = slots_of(t)[b].key;
        if (key >= 0) {
            int32_t k = new_chain(t, key, pos);
            slots_of(t)[b].key = -k;
        } else {
            array::append_int(chain_node(t, -key), pos);
        }
    } else {
        if (slot == kNoBucket) fire(err::internal::no_memory);
        take_bucket(t, slot, pos, h);
        b = static_cast<int32_t>(slot);
    }
    index_of(t)[pos] = static_cast<uint32_t>(b) + 1;
    Record* r = record(t);
    r->count++;
    if (r->stamp == 0 && node_keyed(v.type())) r->stamp = collector::node_passes + 1;
}

// Re-adds every cell of a hash!'s block into at least `buckets` buckets.
static void rebuild_hash(Node t, uint32_t buckets) {
    int32_t n = block_length(t);
    buckets = std::max(buckets, buckets_for(n));
    new_arrays(t, buckets);
    Node idx = record(t)->aux;
    memory::nodes[idx]->tail = memory::nodes[idx]->head;
    reset_chains(t);
    Record* r = record(t);
    r->count = 0;
    r->stamp = 0;
    ensure_index(t, n);
    for (int32_t pos = 0; pos < n; pos++) hash_add(t, pos);
}

// A hash! whose table work fails part way (memory runs out as a chain, the position index or the
// arrays grow) is left with entries that name cells holding other values now, and with cells
// that have no entry: its block has changed already. It is indexed anew before the error goes
// on. A language error has unwound the frames to its try by then, so running out again in that
// repair ends the process (run-time error 94) instead of raising a second one.
static Node mending_table = 0;

static int add_one(Node t, int32_t position);

// Emptied in place and filled again, the arrays grow only when the keys need it: the repair needs
// less room than a rebuild, which makes new arrays for every position.
static void reindex(Node t) {
    clear(t);
    int32_t n = block_length(t);
    for (int32_t pos = 0; pos < n; pos++)
        if (add_one(t, pos) == 2) return;
}

template <class F>
static auto mending(Node t, F f) -> decltype(f()) {
    if (mending_table == t || record(t)->kind != kHash) return f();
    struct Scope {
        Node saved = mending_table;
        explicit Scope(Node t) { mending_table = t; }
        ~Scope() { mending_table = saved; }
    } scope(t);
    try {
        return f();
    } catch (const Throw&) {
        memory::AfterError repair;
        Guard g(t);
        reindex(t);
        throw;
    } catch (const std::bad_alloc&) {
        // Not raised yet: the caller turns it into no-memory.
        Guard g(t);
        reindex(t);
        throw;
    }
}

// ---------------------------------------------------------------------------------------------
// Growth of the kinds whose keys are the block's cells (map!, word tables) and record tables

static uint32_t key_hash(Node t, int32_t key) {
    Record* r = record(t);
    Cell* c = block_cells(t) + key;
    if (r->kind >= kNodeSet) return hash_int(c->data1);
    return hash_value(c, false);
}

void resize_value_table(Node t, uint32_t bucket_request) {
    Guard g(t);
    Record* r = record(t);
    if (r->kind == kHash) {
        mending(t, [&] { rebuild_hash(t, pow2_at_least(std::max<uint32_t>(bucket_request, 4))); });
        return;
    }
    uint32_t buckets = pow2_at_least(std::max<uint32_t>(bucket_request, 4));
    Node old_states = r->states;
    Node old_keys = r->keys;
    uint32_t old_buckets = r->buckets;
    Pin p1(old_states), p2(old_keys);
    new_arrays(t, buckets);
    int32_t length = block_length(t);
    for (uint32_t i = 0; i < old_buckets; i++) {
        if (state_of(memory::nodes[old_states]->data(), i) != kUsed) continue;
        int32_t key = reinterpret_cast<Slot*>(memory::nodes[old_keys]->data())[i].key;
        if (key < 0 || key >= length) continue;
        place(t, key_hash(t, key), key);
    }
}

void rehash_keyed(Node table, uint32_t bucket_request) { resize_value_table(table, bucket_request); }

// ---------------------------------------------------------------------------------------------
// Creation

static Node new_record(uint32_t kind, uint32_t mode) {
    Node t = memory::alloc_bytes(sizeof(Record));
    SeriesBuf* b = memory::nodes[t];
    std::memset(b->data(), 0, sizeof(Record));
    b->tail = sizeof(Record);
    Record* r = record(t);
    r->kind = kind;
    r->mode = mode;
    return t;
}

Node init(int32_t expected, const Cell* block, uint32_t kind, uint32_t mode) {
    if (kind > kOwned) {
        Cell arg;
        set_cell(&arg, TYPE_INTEGER, kind);
        fire(err::script::invalid_arg, &arg);
    }
    Cell source{};
    bool has_source = block && types::any_block(block->type()) && block->node();
    if (has_source) source = *block;
    int64_t want = expected < 0 ? 0 : expected;
    if (kind == kWords && want >= 4000) want *= 2;
    NoNodeMoves no_moves;
    Node t = new_record(kind, mode);
    Pin pin(t, true);
    if (kind >= kNodeSet) {
        record(t)->aux = (mode + 1) * 16;
        record(t)->stamp = collector::node_passes + 1;
    }
    new_arrays(t, buckets_for(want));
    int32_t room = static_cast<int32_t>(std::min<int64_t>(want, int64_t(1) << 20));
    if (kind == kHash) {
        Node idx = memory::alloc_series(room, 4, 0);
        record(t)->aux = idx;
        Node list = memory::alloc_cells(4);
        record(t)->chains = list;
        reset_chains(t);
    }
    if (kind >= kNodeSet || !has_source) {
        int64_t cells = kind >= kNodeSet ? int64_t(room) * (mode + 1) : room;
        Node b = memory::alloc_cells(static_cast<int32_t>(std::min<int64_t>(cells, int64_t(1) << 22)));
        record(t)->block = b;
    } else {
        record(t)->block = source.node();
        put_all(t, source.index() < 0 ? 0 : source.index(), kind == kMap ? 2 : 1);
    }
    return t;
}

// ---------------------------------------------------------------------------------------------
// Adding keys

static void map_add(Node t, int32_t pos) {
    Cell* k = block_cells(t) + pos;
    if (is_word_key(k->type())) k->set_type(TYPE_SET_WORD);
    Cell v = *k;
    uint32_t h = hash_value(&v, false);
    uint32_t slot = kNoBucket;
    probe(t, h, [](int32_t) { return false; }, &slot);
    take_bucket(t, slot, pos, h);
    record(t)->count++;
    Record* r = record(t);
    if (r->stamp == 0 && node_keyed(v.type())) r->stamp = collector::node_passes + 1;
}

static void word_add(Node t, int32_t pos) {
    uint32_t h = key_hash(t, pos);
    uint32_t slot = kNoBucket;
    probe(t, h, [](int32_t) { return false; }, &slot);
    take_bucket(t, slot, pos, h);
    record(t)->count++;
}

static int add_one(Node t, int32_t position) {
    Guard g(t);
    Record* r = record(t);
    if (position < 0 || position >= block_length(t) || r->kind >= kNodeSet) return 0;
    if (r->occupied >= r->upper) {
        if (r->kind == kHash) {
            rebuild_hash(t, pow2_at_least(grow_request(r)));
            return 2;
        }
        resize_value_table(t, r->kind == kMap ? r->buckets + 1 : grow_request(r));
    }
    switch (record(t)->kind) {
        case kHash: hash_add(t, position); break;
        case kMap: map_add(t, position); break;
        default: word_add(t, position); break;
    }
    return 0;
}

int add_cell(Node t, int32_t position) {
    return mending(t, [&] { return add_one(t, position); });
}

void put_key(Node table, int32_t position) { add_cell(table, position); }

void put_range(Node t, int32_t position, int32_t n) {
    Guard g(t);
    mending(t, [&] {
        for (int32_t i = 0; i < n; i++)
            if (add_one(t, position + i) == 2 && record(t)->kind == kHash) return;
    });
}

static int32_t map_lookup(Node t, const Cell* value, int op);

void put_all(Node t, int32_t from, int32_t step, int mode) {
    Guard g(t);
    if (step < 1) step = 1;
    if (from < 0) from = 0;
    uint32_t kind = record(t)->kind;
    if (kind >= kNodeSet) return;
    // Only tables being made take all their keys at once: nothing to mend when that fails.
    if (kind != kMap) {
        for (int32_t pos = from; pos < block_length(t); pos += step)
            if (add_one(t, pos) == 2 && kind == kHash) return;
        return;
    }
    // A repeated key: the first entry takes the later value and the later pair goes. The kept
    // pairs are packed down in one pass (`kept` is where the next one goes), so many repeats
    // cost no more than one move of the block each; the table only ever names packed positions.
    int32_t length = block_length(t);
    int32_t kept = from;
    int32_t pos = from;
    for (; pos + 1 < length; pos += step) {
        Cell* c = block_cells(t);
        if (is_word_key(c[pos].type())) c[pos].set_type(TYPE_SET_WORD);
        Cell key = c[pos];
        int32_t found = map_lookup(t, &key, mode);
        c = block_cells(t);
        if (found < 0) {
            if (kept != pos) {
                c[kept] = c[pos];
                c[kept + 1] = c[pos + 1];
            }
            add_cell(t, kept);
            kept += step;
            continue;
        }
        if (c[found + 1].header == 0) record(t)->count++;
        c[found + 1] = c[pos + 1];
    }
    if (kept == pos) return;
    Cell* c = block_cells(t);
    for (; pos < length; pos++) c[kept++] = c[pos];
    SeriesBuf* b = memory::nodes[record(t)->block];
    b->tail = b->head + uint32_t(kept) * 16;
}

// ---------------------------------------------------------------------------------------------
// Lookup

static bool table_key_ok(Node t, int32_t key) { return key >= 0 && key < block_length(t); }

static int32_t map_lookup(Node t, const Cell* value, int op) {
    Cell v = *value;
    if (is_word_key(v.type())) v.set_type(TYPE_SET_WORD);
    int32_t b = probe(
        t, hash_value(&v, false),
        [&](int32_t key) {
            if (!table_key_ok(t, key)) return false;
            Cell k = block_cells(t)[key];
            return keys_equal(&k, &v, op);
        },
        nullptr);
    return b < 0 ? -1 : slots_of(t)[b].key;
}

static int32_t int_key_bucket(Node t, uint32_t key) {
    Record* r = record(t);
    const uint8_t* st = states_of(t);
    const Slot* slots = slots_of(t);
    const Cell* cells = block_cells(t);
    int32_t length = block_length(t);
    uint32_t mask = r->buckets - 1;
    uint32_t h = hash_int(key);
    uint32_t i = h & mask;
    for (uint32_t step = 0; step < r->buckets;) {
        uint32_t s = state_of(st, i);
        if (s == kEmpty) return -1;
        if (s == kUsed && slots[i].hash == h) {
            int32_t k = slots[i].key;
            if (k >= 0 && k < length && cells[k].data1 == key && cells[k].header == TYPE_UNSET)
                return static_cast<int32_t>(i);
        }
        step++;
        i = (i + step) & mask;
    }
    return -1;
}

// Positions of the candidates of a hash! bucket, until f answers true.
template <class F>
static void for_each_position(Node t, int32_t key, F f) {
    if (key >= 0) {
        f(key);
        return;
    }
    Node chain = chain_node(t, -key);
    int32_t n = array::length_q(chain);
    for (int32_t i = 0; i < n; i++) {
        SeriesBuf* b = memory::nodes[chain];
        if (uint32_t(i) * 4 >= b->used_bytes()) break;
        if (f(static_cast<int32_t>(load32(b->at_head() + 4 * i)))) break;
    }
}

// With any, the first qualifying position found answers: a membership test need not walk a
// long chain of equal keys for the best one.
static int32_t hash_find(Node t, const Cell* value, int32_t start, int32_t skip, int op, bool last, bool reverse,
                         bool any = false) {
    Cell v = *value;
    int32_t b = probe(
        t, hash_value(&v, false),
        [&](int32_t key) {
            int32_t p = key >= 0 ? key : chain_first(t, -key);
            if (!table_key_ok(t, p)) return false;
            Cell k = block_cells(t)[p];
            return keys_equal(&k, &v, kChainOp);
        },
        nullptr);
    if (b < 0) return -1;
    // The chain holds keys equal by its own rule; the lookup's mode may be narrower.
    bool filter = op != 0 || v.type() == TYPE_FLOAT || v.type() == TYPE_PERCENT || v.type() == TYPE_TIME;
    if (skip < 1) skip = 1;
    int32_t best = -1;
    for_each_position(t, slots_of(t)[b].key, [&](int32_t p) {
        if (!table_key_ok(t, p)) return false;
        bool qualifies;
        if (reverse)
            qualifies = p < start && (int64_t(start) - p - 1) % skip == 0;
        else
            qualifies = p >= start && (int64_t(p) - start) % skip == 0;
        if (!qualifies) return false;
        bool better = best < 0 || (reverse || last ? p > best : p < best);
        if (!better) return false;
        if (filter) {
            Cell k = block_cells(t)[p];
            if (!keys_equal(&k, &v, op)) return false;
        }
        best = p;
        return any;
    });
    return best;
}

bool contains(Node t, const Cell* value, int32_t start, int32_t skip, int op) {
    if (record(t)->kind != kHash) return find(t, value, start, skip, op, false, false) >= 0;
    Cell v = *value;
    Guard g(t);
    check_moved(t);
    return hash_find(t, &v, start, skip, op, false, false, true) >= 0;
}

int32_t find(Node t, const Cell* value, int32_t start, int32_t skip, int op, bool last, bool reverse) {
    Cell v = *value;
    Guard g(t);
    check_moved(t);
    switch (record(t)->kind) {
        case kHash: return hash_find(t, &v, start, skip, op, last, reverse);
        case kMap: return map_lookup(t, &v, op);
        case kWords:
            if (record(t)->mode == 2 && types::any_word(v.type()))
                return context_find(t, v.i2(), !case_sensitive_op(op) && op != 9);
            return map_lookup(t, &v, op);
        default: {
            int32_t b = int_key_bucket(t, v.data1);
            return b < 0 ? -1 : slots_of(t)[b].key;
        }
    }
}

int32_t get(Node table, const Cell* value) { return find(table, value, 0, 1, 0, false, false); }

static int32_t probe_scan(Node t, const Cell* v, int op, Probe& probe) {
    uint32_t n = record(t)->buckets;
    uint32_t mask = n - 1;
    while (probe.visited < n) {
        uint32_t i = probe.bucket & mask;
        uint32_t s = state_of(states_of(t), i);
        probe.step++;
        probe.bucket = (i + probe.step) & mask;
        probe.visited++;
        if (s == kEmpty) {
            probe.visited = n;
            return -1;
        }
        if (s != kUsed || slots_of(t)[i].hash != probe.hash) continue;
        int32_t key = slots_of(t)[i].key;
        if (!table_key_ok(t, key)) continue;
        Cell k = block_cells(t)[key];
        if (keys_equal(&k, v, op)) return key;
    }
    return -1;
}

int32_t find_first(Node t, const Cell* value, int op, Probe& probe) {
    Cell v = *value;
    Guard g(t);
    check_moved(t);
    if (is_word_key(v.type())) v.set_type(TYPE_SET_WORD);
    probe.hash = hash_value(&v, false);
    probe.bucket = probe.hash & (record(t)->buckets - 1);
    probe.step = 0;
    probe.visited = 0;
    return probe_scan(t, &v, op, probe);
}

int32_t find_next(Node t, const Cell* value, int op, Probe& probe) {
    Cell v = *value;
    if (is_word_key(v.type())) v.set_type(TYPE_SET_WORD);
    return probe_scan(t, &v, op, probe);
}

// ---------------------------------------------------------------------------------------------
// Removal

// The bucket that holds a key position of a map! or word table.
static int32_t bucket_of_position(Node t, int32_t pos) {
    if (!table_key_ok(t, pos)) return -1;
    return probe(t, key_hash(t, pos), [&](int32_t key) { return key == pos; }, nullptr);
}

void delete_(Node t, int32_t position) {
    Record* r = record(t);
    switch (r->kind) {
        case kHash: remove_position(t, position); return;
        case kMap: {
            if (!table_key_ok(t, position + 1) || position < 0) return;
            Cell* value = block_cells(t) + position + 1;
            if (value->header != 0) {
                value->header = 0;
                r->count--;
            }
            return;
        }
        case kWords: {
            int32_t b = bucket_of_position(t, position);
            if (b < 0) return;
            set_state(states_of(t), static_cast<uint32_t>(b), kDeleted);
            r->count--;
            return;
        }
        default:
            if (table_key_ok(t, position)) remove_int_key(t, block_cells(t)[position].data1);
    }
}

void remove_range(Node t, int32_t position, int32_t n) {
    Record* r = record(t);
    int32_t length = r->kind == kHash ? std::max(block_length(t), index_length(t)) : block_length(t);
    if (position < 0) {
        n += position;
        position = 0;
    }
    if (n <= 0 || position >= length) return;
    if (n > length - position) n = length - position;
    if (r->kind == kHash) {
        // Emptied when the range covers every position that holds a key. The block itself may
        // already have lost the removed cells, so its length does not tell.
        if (position == 0) {
            int32_t keyed = index_length(t);
            while (keyed > 0 && index_of(t)[keyed - 1] == kNoBucket) keyed--;
            if (n >= keyed) {
                clear(t);
                return;
            }
        }
        for (int32_t p = position; p < position + n; p++) remove_position(t, p);
        return;
    }
    if (r->kind == kMap) {
        for (int32_t p = position + (position & 1); p < position + n; p += 2) {
            int32_t b = bucket_of_position(t, p);
            if (b < 0) continue;
            set_state(states_of(t), static_cast<uint32_t>(b), kDeleted);
            if (p + 1 < block_length(t) && block_cells(t)[p + 1].header != 0) record(t)->count--;
        }
        return;
    }
    for (int32_t p = position; p < position + n; p++) delete_(t, p);
}

void adjust_count(Node t, int32_t delta) { record(t)->count += static_cast<uint32_t>(delta); }

void clear(Node t) {
    Record* r = record(t);
    SeriesBuf* s = memory::nodes[r->states];
    std::memset(s->data(), 0xAA, s->capacity);
    r->occupied = 0;
    r->count = 0;
    if (r->kind == kHash) {
        Node idx = r->aux;
        memory::nodes[idx]->tail = memory::nodes[idx]->head;
        reset_chains(t);
        record(t)->stamp = 0;
    } else if (r->kind >= kNodeSet) {
        SeriesBuf* b = memory::nodes[r->block];
        b->tail = b->head;
        r->free_record = 0;
    }
}

// ---------------------------------------------------------------------------------------------
// Keeping a hash! in step with moves inside its block

// Moves the keys of the positions [lo, hi) to f(position); the images must be positions that
// hold no key afterwards except the moved ones.
template <class F>
static void remap(Node t, int32_t lo, int32_t hi, int32_t out_hi, F f) {
    if (hi <= lo) return;
    ensure_index(t, std::max(hi, out_hi));
    std::vector<uint32_t> saved(index_of(t) + lo, index_of(t) + hi);
    std::vector<int32_t> chains;
    Slot* slots = slots_of(t);
    for (uint32_t entry : saved) {
        if (entry == kNoBucket) continue;
        int32_t key = slots[entry - 1].key;
        if (key >= 0) {
            if (key >= lo && key < hi) slots[entry - 1].key = f(key);
        } else {
            chains.push_back(-key);
        }
    }
    std::sort(chains.begin(), chains.end());
    chains.erase(std::unique(chains.begin(), chains.end()), chains.end());
    for (int32_t k : chains) {
        SeriesBuf* b = memory::nodes[chain_node(t, k)];
        uint8_t* p = b->at_head();
        for (uint32_t off = 0; off + 4 <= b->used_bytes(); off += 4) {
            int32_t e = static_cast<int32_t>(load32(p + off));
            if (e >= lo && e < hi) {
                int32_t moved = f(e);
                std::memcpy(p + off, &moved, 4);
            }
        }
    }
    uint32_t* index = index_of(t);
    for (int32_t p = lo; p < hi; p++) index[p] = kNoBucket;
    for (int32_t p = lo; p < hi; p++)
        if (saved[p - lo] != kNoBucket) index[f(p)] = saved[p - lo];
}

// Positions a hash! can hold keys for: the block's cells and the index's entries.
static int32_t hash_extent(Node t) { return std::max(block_length(t), index_length(t)); }

// Index entries beyond this would need a buffer larger than a series can be.
constexpr int64_t kMaxPositions = 0x1FFFFFFC;

static int refresh_positions(Node t, int32_t shift, int32_t position, int32_t n, bool drop) {
    if (n > kMaxRefresh) return 1;
    Guard g(t);
    if (position < 0) position = 0;
    if (n < 0) n = 0;
    if (drop && shift < 0) {
        int32_t from = static_cast<int32_t>(std::max<int64_t>(0, int64_t(position) + shift));
        for (int32_t p = from; p < position && p < index_length(t); p++) remove_position(t, p);
    }
    int32_t extent = hash_extent(t);
    if (position >= extent) return 0;
    n = std::min(n, extent - position);
    if (shift == 0 || n == 0) return 0;
    int64_t first = int64_t(position) + shift;
    int64_t end = first + n;
    if (first < 0 || end > kMaxPositions) return 1;
    remap(t, position, position + n, static_cast<int32_t>(std::max<int64_t>(end, position + n)),
          [shift](int32_t p) { return p + shift; });
    return 0;
}

int refresh(Node t, int32_t shift, int32_t position, int32_t n, bool drop) {
    if (record(t)->kind != kHash) return 0;
    return mending(t, [&] { return refresh_positions(t, shift, position, n, drop); });
}

void move_range(Node t, int32_t from, int32_t n, int32_t to) {
    if (record(t)->kind != kHash || n <= 0 || from == to || from < 0 || to < 0) return;
    int64_t extent = hash_extent(t);
    if (int64_t(from) + n > extent || int64_t(to) + n > extent) return;
    Guard g(t);
    mending(t, [&] {
        if (to > from) {
            remap(t, from, to + n, to + n, [=](int32_t p) { return p < from + n ? p - from + to : p - n; });
        } else {
            remap(t, to, from + n, from + n, [=](int32_t p) { return p >= from ? p - from + to : p + n; });
        }
    });
}

// ---------------------------------------------------------------------------------------------
// Copies and rebuilds

Node copy(Node t, Node new_block) {
    Guard g(t);
    Node c = memory::copy_series(t);
    Pin pin(c, true);
    Record* r = record(c);
    r->block = new_block;
    Node states = memory::copy_series(record(t)->states);
    record(c)->states = states;
    Node keys = memory::copy_series(record(t)->keys);
    record(c)->keys = keys;
    if (record(t)->kind == kHash) {
        Node idx = memory::copy_series(record(t)->aux);
        record(c)->aux = idx;
        Node list = memory::copy_series(record(t)->chains);
        record(c)->chains = list;
        int32_t n = static_cast<int32_t>(memory::nodes[list]->used_bytes() / 16);
        for (int32_t k = 1; k < n; k++) {
            if (chain_cells(c)[k].type() != TYPE_BINARY) continue;
            Node chain = memory::copy_series(chain_cells(c)[k].data2);
            chain_cells(c)[k].data2 = chain;
        }
    }
    return c;
}

Node copy_record(Node t) {
    Guard g(t);
    Node b = memory::copy_series(record(t)->block);
    Pin pin(b);
    return copy(t, b);
}

void rebuild(Node t, int32_t expected) {
    Guard g(t);
    Record* r = record(t);
    uint32_t buckets = buckets_for(std::max<int64_t>(expected, 0));
    switch (r->kind) {
        case kHash: mending(t, [&] { rebuild_hash(t, buckets); }); return;
        case kMap: {
            new_arrays(t, std::max(buckets, buckets_for(block_length(t) / 2)));
            record(t)->count = 0;
            int32_t n = block_length(t);
            for (int32_t pos = 0; pos + 1 < n; pos += 2) {
                map_add(t, pos);
                if (block_cells(t)[pos + 1].header == 0) record(t)->count--;
            }
            return;
        }
        case kWords: {
            new_arrays(t, std::max(buckets, buckets_for(block_length(t))));
            record(t)->count = 0;
            int32_t n = block_length(t);
            for (int32_t pos = 0; pos < n; pos++) word_add(t, pos);
            return;
        }
        default: rebuild_keyed(t, expected);
    }
}

void rehash(Node t, int32_t expected) {
    Guard g(t);
    uint32_t buckets = buckets_for(std::max<int64_t>(expected, 0));
    if (record(t)->kind == kHash)
        mending(t, [&] { rebuild_hash(t, buckets); });
    else
        resize_value_table(t, std::max(buckets, buckets_for(record(t)->count)));
}

void check_moved(Node t) {
    Record* r = record(t);
    if (r->stamp == 0 || r->stamp == collector::node_passes + 1 || collector::active || r->kind == kWords) return;
    Guard g(t);
    if (r->kind == kHash)
        mending(t, [&] { rebuild_hash(t, r->buckets); });
    else
        resize_value_table(t, r->buckets);
    record(t)->stamp = collector::node_passes + 1;
}

// ---------------------------------------------------------------------------------------------
// Symbols and context word tables

SymbolFind symbol_find(const uint8_t* text, uint32_t length, bool case_insensitive_only) {
    Node t = g_symbol_table;
    if (!t) fire(err::internal::not_done);
    Record* r = record(t);
    if (r->occupied >= r->upper) resize_value_table(t, grow_request(r));
    r = record(t);
    uint32_t h = hash_binary(text, length);
    const uint8_t* st = states_of(t);
    const Slot* slots = slots_of(t);
    const Cell* cells = block_cells(t);
    int32_t count = block_length(t);
    uint32_t mask = r->buckets - 1;
    SymbolFind result{0, -1, kNoBucket, h};
    for (int pass = case_insensitive_only ? 1 : 0; pass < 2; pass++) {
        uint32_t i = h & mask;
        for (uint32_t step = 0; step < r->buckets;) {
            uint32_t s = state_of(st, i);
            if (s == kEmpty) {
                if (result.bucket == kNoBucket) result.bucket = i;
                break;
            }
            if (s == kDeleted) {
                if (result.bucket == kNoBucket) result.bucket = i;
            } else if (slots[i].hash == h && slots[i].key >= 0 && slots[i].key < count) {
                SeriesBuf* u = memory::nodes[cells[slots[i].key].data3];
                if (u->used_bytes() == length) {
                    const uint8_t* p = u->at_head();
                    bool same;
                    if (pass == 0) {
                        same = std::memcmp(p, text, length) == 0;
                    } else {
                        same = true;
                        for (uint32_t j = 0; j < length && same; j++) same = ascii_lower(p[j]) == ascii_lower(text[j]);
                    }
                    if (same) {
                        int32_t id = slots[i].key + 1;
                        if (pass == 0) {
                            result.id = id;
                            return result;
                        }
                        // The family's first-added member, even when a rehash put a later one
                        // earlier on the probe sequence: aliases never chain.
                        int32_t alias = cells[slots[i].key].i1();
                        result.alias = alias > 0 ? alias : id;
                        return result;
                    }
                }
            }
            step++;
            i = (i + step) & mask;
        }
    }
    return result;
}

void symbol_add(const SymbolFind& where, int32_t id) {
    Node t = g_symbol_table;
    if (!t || where.bucket == kNoBucket || where.bucket >= record(t)->buckets || id <= 0) return;
    take_bucket(t, where.bucket, id - 1, where.hash);
    record(t)->count++;
}

int32_t context_find(Node t, int32_t symbol, bool case_insensitive) {
    Record* r = record(t);
    int32_t wanted = resolve(symbol);
    const uint8_t* st = states_of(t);
    const Slot* slots = slots_of(t);
    const Cell* cells = block_cells(t);
    int32_t length = block_length(t);
    uint32_t mask = r->buckets - 1;
    uint32_t h = hash_int(static_cast<uint32_t>(wanted));
    uint32_t i = h & mask;
    for (uint32_t step = 0; step < r->buckets;) {
        uint32_t s = state_of(st, i);
        if (s == kEmpty) return -1;
        if (s == kUsed && slots[i].hash == h) {
            int32_t k = slots[i].key;
            if (k >= 0 && k < length) {
                int32_t sym = cells[k].i2();
                if (sym == symbol || (case_insensitive && resolve(sym) == wanted)) return k;
            }
        }
        step++;
        i = (i + step) & mask;
    }
    return -1;
}

// ---------------------------------------------------------------------------------------------
// Record tables

static int32_t record_cells(Node t) { return static_cast<int32_t>(record(t)->aux / 16); }

Cell* get_int_key(Node t, uint32_t key) {
    check_moved(t);
    int32_t b = int_key_bucket(t, key);
    return b < 0 ? nullptr : block_cells(t) + slots_of(t)[b].key + 1;
}

Cell* put_int_key(Node t, uint32_t key) {
    Guard g(t);
    check_moved(t);
    int32_t b = int_key_bucket(t, key);
    if (b >= 0) return block_cells(t) + slots_of(t)[b].key + 1;
    Record* r = record(t);
    if (r->occupied >= r->upper) resize_value_table(t, grow_request(r));
    uint32_t slot = kNoBucket;
    uint32_t h = hash_int(key);
    probe(t, h, [](int32_t) { return false; }, &slot);
    int32_t size = record_cells(t);
    int32_t pos;
    if (record(t)->free_record) {
        pos = static_cast<int32_t>(record(t)->free_record - 1);
        record(t)->free_record = block_cells(t)[pos].data2;
    } else {
        Node blk = record(t)->block;
        uint32_t at = series::alloc_tail_bytes(blk, static_cast<uint32_t>(size) * 16);
        pos = static_cast<int32_t>((at - memory::nodes[blk]->head) / 16);
    }
    Cell* c = block_cells(t) + pos;
    set_cell(c, TYPE_UNSET, key);
    for (int32_t i = 1; i < size; i++) set_cell(c + i, TYPE_UNSET);
    take_bucket(t, slot, pos, h);
    record(t)->count++;
    return c + 1;
}

static void free_record(Node t, int32_t pos) {
    Cell* c = block_cells(t) + pos;
    int32_t size = record_cells(t);
    for (int32_t i = 0; i < size; i++) set_cell(c + i, 0);
    c->data2 = record(t)->free_record;
    record(t)->free_record = static_cast<uint32_t>(pos) + 1;
}

void remove_int_key(Node t, uint32_t key) {
    int32_t b = int_key_bucket(t, key);
    if (b < 0) return;
    set_state(states_of(t), static_cast<uint32_t>(b), kDeleted);
    free_record(t, slots_of(t)[b].key);
    record(t)->count--;
}

void rebuild_keyed(Node t, int32_t expected) {
    Guard g(t);
    if (record(t)->kind < kNodeSet) {
        rebuild(t, expected);
        return;
    }
    int32_t size = record_cells(t);
    SeriesBuf* b = memory::nodes[record(t)->block];
    Cell* c = cells_head(b);
    int32_t length = static_cast<int32_t>(b->used_bytes() / 16);
    int32_t live = 0;
    for (int32_t pos = 0; pos + size <= length; pos += size) {
        if (c[pos].header != TYPE_UNSET) continue;
        if (pos != live) std::memmove(c + live, c + pos, size_t(size) * 16);
        live += size;
    }
    b->tail = b->head + static_cast<uint32_t>(live) * 16;
    record(t)->free_record = 0;
    int32_t records = live / size;
    new_arrays(t, buckets_for(std::max<int64_t>({expected, records, 0})));
    record(t)->count = static_cast<uint32_t>(records);
    for (int32_t pos = 0; pos < live; pos += size) place(t, hash_int(block_cells(t)[pos].data1), pos);
}

// ---------------------------------------------------------------------------------------------
// Collector hooks

// Keys of record tables are trusted no further than this: a handle outside the node table is
// never dereferenced.
static bool live_node(Node n) { return n && n < memory::state.node_high && memory::node_in_use(n); }

static bool node_marked(Node n) { return live_node(n) && (memory::nodes[n]->flags & series_flag::mark); }

void mark(Node* slot) {
    // The parts are marked even when the record was already kept as a plain series (a guard or a
    // node-set key naming it): marking them again costs little and never loses them.
    if (!live_node(*slot)) return;
    collector::keep(slot);
    Record* r = record(*slot);
    collector::keep(&r->states);
    collector::keep(&r->keys);
    switch (r->kind) {
        case kHash:
            collector::keep(&r->aux);
            collector::mark_block(&r->chains);
            collector::mark_block(&r->block);
            return;
        case kMap:
        case kWords: collector::mark_block(&r->block); return;
        case kNodeSet: {
            collector::mark_block(&r->block);
            // A table still being made has no block yet.
            if (!live_node(r->block)) return;
            int32_t size = static_cast<int32_t>(r->aux / 16);
            SeriesBuf* b = memory::nodes[r->block];
            int32_t length = static_cast<int32_t>(b->used_bytes() / 16);
            for (int32_t pos = 0; pos + size <= length; pos += size) {
                Cell* c = cells_head(memory::nodes[record(*slot)->block]) + pos;
                if (c->header != TYPE_UNSET || !live_node(c->data1)) continue;
                if (memory::nodes[c->data1]->unit() == 16)
                    collector::mark_block(&c->data1);
                else
                    collector::keep(&c->data1);
            }
            return;
        }
        default: collector::keep(&r->block); return;
    }
}

void prune_dead(Node t) {
    Record* r = record(t);
    if (r->kind < kNodeSet) return;
    int32_t size = record_cells(t);
    int32_t length = block_length(t);
    for (int32_t pos = 0; pos + size <= length; pos += size) {
        Cell* c = block_cells(t) + pos;
        if (c->header != TYPE_UNSET) continue;
        bool dead = !node_marked(c->data1);
        if (!dead && record(t)->kind == kOwned && size > 2 && c[2].type() == TYPE_OBJECT)
            dead = !node_marked(c[2].data1);
        if (dead) {
            remove_int_key(t, c->data1);
            continue;
        }
        collector::keep(&c->data1);
        if (record(t)->kind == kOwned) collector::mark_values(c + 1, c + size);
    }
}

void dump(Node t) {
    Record* r = record(t);
    for (uint32_t want : {kDeleted, kUsed}) {
        print_line({Typed::text(want == kDeleted ? "== Deleted keys ==" : "== Alive keys ==")});
        for (uint32_t i = 0; i < r->buckets; i++) {
            if (state_of(states_of(t), i) != want) continue;
            int32_t key = slots_of(t)[i].key;
            int32_t p = key >= 0 || r->kind != kHash ? key : chain_first(t, -key);
            int64_t type = table_key_ok(t, p) ? block_cells(t)[p].type() : -1;
            print_line({Typed::integer(i), Typed::text(": "), Typed::integer(key), Typed::text(" type "),
                        Typed::integer(type)});
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Pointer-key tables

static void int_arrays(IntTable* t, uint32_t buckets) {
    size_t state_bytes = std::max<size_t>(buckets / 4, 4);
    t->states = static_cast<uint8_t*>(runtime::allocate(state_bytes));
    std::memset(t->states, 0xAA, state_bytes);
    t->entries = static_cast<uint32_t*>(runtime::allocate_zeroed(size_t(buckets) * 8));
    t->buckets = buckets;
    t->upper = upper_for(buckets);
    t->occupied = 0;
}

IntTable* int_make(int32_t expected) {
    auto* t = static_cast<IntTable*>(runtime::allocate_zeroed(sizeof(IntTable)));
    int_arrays(t, buckets_for(expected < 0 ? 0 : expected));
    return t;
}

int32_t int_find_slot(IntTable* t, uint32_t key) {
    uint32_t mask = t->buckets - 1;
    uint32_t i = hash_int(key) & mask;
    for (uint32_t step = 0; step < t->buckets;) {
        uint32_t s = state_of(t->states, i);
        if (s == kEmpty) return -1;
        if (s == kUsed && t->entries[2 * i] == key) return static_cast<int32_t>(i);
        step++;
        i = (i + step) & mask;
    }
    return -1;
}

void int_resize(IntTable* t, uint32_t bucket_request) {
    uint8_t* old_states = t->states;
    uint32_t* old_entries = t->entries;
    uint32_t old_buckets = t->buckets;
    int_arrays(t, pow2_at_least(std::max<uint32_t>(bucket_request, 4)));
    uint32_t mask = t->buckets - 1;
    for (uint32_t j = 0; j < old_buckets; j++) {
        if (state_of(old_states, j) != kUsed) continue;
        uint32_t key = old_entries[2 * j];
        uint32_t i = hash_int(key) & mask;
        for (uint32_t step = 0; state_of(t->states, i) != kEmpty;) {
            step++;
            i = (i + step) & mask;
        }
        set_state(t->states, i, kUsed);
        t->entries[2 * i] = key;
        t->entries[2 * i + 1] = old_entries[2 * j + 1];
        t->occupied++;
    }
    runtime::free(old_states);
    runtime::free(old_entries);
}

void int_put(IntTable* t, uint32_t key, uint32_t value) {
    int32_t found = int_find_slot(t, key);
    if (found >= 0) {
        t->entries[2 * found + 1] = value;
        return;
    }
    // A table full of deleted buckets is purged at its size rather than doubled.
    if (t->occupied >= t->upper) int_resize(t, t->count * 2 < t->buckets ? t->buckets - 1 : t->buckets + 1);
    uint32_t mask = t->buckets - 1;
    uint32_t i = hash_int(key) & mask;
    for (uint32_t step = 0; state_of(t->states, i) == kUsed;) {
        step++;
        i = (i + step) & mask;
    }
    if (state_of(t->states, i) == kEmpty) t->occupied++;
    set_state(t->states, i, kUsed);
    t->entries[2 * i] = key;
    t->entries[2 * i + 1] = value;
    t->count++;
}

uint32_t* int_get(IntTable* t, uint32_t key) {
    int32_t i = int_find_slot(t, key);
    return i < 0 ? nullptr : &t->entries[2 * i + 1];
}

bool int_delete(IntTable* t, uint32_t key) {
    int32_t i = int_find_slot(t, key);
    if (i < 0) return false;
    set_state(t->states, static_cast<uint32_t>(i), kDeleted);
    t->count--;
    return true;
}

void int_clear(IntTable* t) {
    std::memset(t->states, 0xAA, std::max<size_t>(t->buckets / 4, 4));
    t->count = 0;
    t->occupied = 0;
}

bool int_next(IntTable* t, uint32_t* cursor, uint32_t* key, uint32_t* value) {
    for (uint32_t i = *cursor; i < t->buckets; i++) {
        if (state_of(t->states, i) != kUsed) continue;
        *key = t->entries[2 * i];
        *value = t->entries[2 * i + 1];
        *cursor = i + 1;
        return true;
    }
    *cursor = t->buckets;
    return false;
}

void int_destroy(IntTable* t) {
    if (!t) return;
    runtime::free(t->states);
    runtime::free(t->entries);
    runtime::free(t);
}

}  // namespace hashtable
