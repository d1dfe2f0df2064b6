#include "runtime/hashtable.h"

#include <gtest/gtest.h>

#include "tests/support/held.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "runtime/case_folding.h"
#include "runtime/collector.h"
#include "runtime/memory.h"
#include "runtime/runtime.h"
#include "tests/support/stand_ins.h"

namespace {

using namespace hashtable;

Cell integer(int32_t v) {
    Cell c;
    set_cell(&c, TYPE_INTEGER, static_cast<uint32_t>(v));
    return c;
}

Cell text(const std::u32string& s, int unit, int32_t index = 0, uint8_t type = TYPE_STRING) {
    Node n = tv::hold_node(memory::alloc_series(static_cast<int32_t>(s.size()), unit, 0));
    SeriesBuf* b = memory::nodes[n];
    for (size_t i = 0; i < s.size(); i++) {
        uint32_t cp = s[i];
        std::memcpy(b->data() + i * unit, &cp, unit);  // little-endian: the low bytes
    }
    b->tail = static_cast<uint32_t>(s.size()) * unit;
    Cell c;
    set_cell(&c, type, static_cast<uint32_t>(index), n);
    return c;
}

Cell block_value(Node block) {
    Cell c;
    set_cell(&c, TYPE_BLOCK, 0, block);
    return c;
}

// Appends a cell to a block and answers its position.
int32_t append(Node block, const Cell& c) {
    uint32_t at = series::alloc_tail_bytes(block, 16);
    SeriesBuf* b = memory::nodes[block];
    cells_of(b)[at / 16] = c;
    return static_cast<int32_t>((at - b->head) / 16);
}

int32_t length_of(Node block) { return static_cast<int32_t>(memory::nodes[block]->used_bytes() / 16); }

void clear_all_marks() {
    for (Node n = 1; n < memory::state.node_high; n++)
        if (memory::node_in_use(n)) memory::nodes[n]->flags &= ~series_flag::mark;
}

// The symbol module's use of the table: intern by the two-pass lookup.
struct Symbols {
    Node block;
    Node table;
    Symbols() {
        // The test's symbols live for the whole run, as the run-time's own do.
        block = memory::alloc_cells(8);
        root::keep_node(block);
        Cell b = block_value(block);
        table = tv::hold_table(init(0, &b, kWords, 1), true);
    }
    int32_t intern(const std::string& s, bool flagged = false) {
        SymbolFind f = symbol_find(reinterpret_cast<const uint8_t*>(s.data()), static_cast<uint32_t>(s.size()), flagged);
        if (f.id) return f.id;
        if (flagged && f.alias > 0) return f.alias;
        Node u = tv::hold_node(memory::alloc_bytes(static_cast<int32_t>(s.size()) + 1));
        SeriesBuf* ub = memory::nodes[u];
        std::memcpy(ub->data(), s.data(), s.size());
        ub->data()[s.size()] = 0;
        ub->tail = static_cast<uint32_t>(s.size());
        Cell sym;
        set_cell(&sym, TYPE_SYMBOL, static_cast<uint32_t>(flagged ? -1 : f.alias), 0, u);
        int32_t id = append(block, sym) + 1;
        symbol_add(f, id);
        return id;
    }
    int32_t alias(int32_t id) { return cells_head(memory::nodes[block])[id - 1].i1(); }
};

Symbols& symbols_state() {
    static Symbols s;
    return s;
}

// The test's table stands in for the run-time's symbol table only while a test uses it, so the
// symbols of later tests are the run-time's own again.
struct SymbolsInUse {
    Symbols& s = symbols_state();
    Node saved = symbol_table();
    SymbolsInUse() { set_symbol_table(s.table); }
    ~SymbolsInUse() { set_symbol_table(saved); }
};

TEST(HashTable, SizingFollowsTheLoadBound) {
    struct Case {
        int32_t expected;
        uint32_t kind;
        uint32_t buckets;
        uint32_t upper;
    } cases[] = {
        {0, kMap, 8, 6},      {4, kMap, 8, 6},         {7, kMap, 16, 12},
        {100, kHash, 256, 197}, {-5, kNodeSet, 8, 6},  {4000, kWords, 16384, 12615},
    };
    for (const Case& c : cases) {
        Node t = tv::hold_table(init(c.expected, nullptr, c.kind, c.kind == kWords ? 2 : c.kind == kNodeSet ? 0 : 1));
        EXPECT_EQ(record(t)->buckets, c.buckets) << c.expected;
        EXPECT_EQ(record(t)->upper, c.upper) << c.expected;
        EXPECT_EQ(record(t)->occupied, 0u);
        // A fresh table has every bucket empty.
        SeriesBuf* s = memory::nodes[record(t)->states];
        for (uint32_t i = 0; i < c.buckets / 4; i++) EXPECT_EQ(s->data()[i], 0xAA);
    }
}

TEST(HashTable, MurmurKnownVectors) {
    uint32_t saved = seed;
    struct Case {
        const char* text;
        uint32_t seed;
        uint32_t hash;
    } cases[] = {
        {"", 0, 0},
        {"", 1, 0x514E28B7},
        {"", 0xFFFFFFFF, 0x81F16F39},
        {"aaaa", 0x9747B28C, 0x5A97808A},
        {"abc", 0, 0xB3DD93FA},
        {"Hello, world!", 0x9747B28C, 0x24884CBA},
        {"The quick brown fox jumps over the lazy dog", 0x9747B28C, 0x2FA826CD},
    };
    for (const Case& c : cases) {
        seed = c.seed;
        EXPECT_EQ(murmur3(c.text, static_cast<uint32_t>(std::strlen(c.text))), c.hash) << c.text;
    }
    seed = 0;
    const uint8_t zeros[4] = {};
    EXPECT_EQ(murmur3(zeros, 4), 0x2362F9DEu);
    seed = saved;
}

TEST(HashTable, FoldedByteHashMatchesHashOfLoweredBytes) {
    // Every byte value at every position of a word, including the high bytes that share their
    // low seven bits with A-Z.
    std::mt19937 rng(7);
    for (int round = 0; round < 2000; round++) {
        uint32_t n = rng() % 13;
        std::vector<uint8_t> bytes(n), lowered(n);
        for (uint32_t i = 0; i < n; i++) {
            bytes[i] = static_cast<uint8_t>(round < 256 && i == 0 ? round : rng());
            lowered[i] = bytes[i] >= 'A' && bytes[i] <= 'Z' ? bytes[i] + 32 : bytes[i];
        }
        ASSERT_EQ(hash_binary(bytes.data(), n), murmur3(lowered.data(), n)) << round;
    }
}

TEST(HashTable, TextHashAgreesAcrossUnitsAndCase) {
    std::u32string words[] = {U"abc", U"ÀÉÎ", U"Жук", U"\U00010400x", U""};
    std::u32string lower[] = {U"abc", U"àéî", U"жук", U"\U00010428x", U""};
    for (size_t w = 0; w < std::size(words); w++) {
        char32_t top = 0;
        for (char32_t c : words[w] + lower[w]) top = std::max(top, c);
        Cell l4 = text(lower[w], 4);
        uint32_t folded = hash_value(&l4, false);
        for (int unit : {1, 2, 4}) {
            if ((top > 0xFF && unit == 1) || (top > 0xFFFF && unit < 4)) continue;
            Cell a = text(words[w], unit);
            Cell b = text(lower[w], unit);
            EXPECT_EQ(hash_value(&a, false), folded) << w << " unit " << unit;
            EXPECT_EQ(hash_value(&b, true), hash_string(&l4, true)) << w << " unit " << unit;
            EXPECT_TRUE(keys_equal(&a, &b, 0));
            if (words[w] != lower[w]) {
                EXPECT_NE(hash_value(&a, true), hash_value(&b, true));
                EXPECT_FALSE(keys_equal(&a, &b, 2));
            }
        }
    }
    // Only the part from the value's index counts; an index past the tail is the empty text.
    Cell whole = text(U"abc", 1);
    Cell tail = text(U"xyzABC", 2, 3);
    EXPECT_EQ(hash_value(&whole, false), hash_value(&tail, false));
    Cell past = text(U"ab", 1, 9);
    Cell empty = text(U"", 4);
    EXPECT_EQ(hash_value(&past, false), hash_value(&empty, false));
    // Other string types share the text hash.
    Cell file = text(U"ABC", 1, 0, TYPE_FILE);
    EXPECT_EQ(hash_value(&file, false), hash_value(&whole, false));
}

TEST(HashTable, FixedHashesAndWordFamilies) {
    Cell u, n;
    set_cell(&u, TYPE_UNSET);
    set_cell(&n, TYPE_NONE);
    EXPECT_EQ(hash_value(&u, false), 0xFFFFFFFEu);
    EXPECT_EQ(hash_value(&n, false), 0xFFFFFFFFu);

    SymbolsInUse use;
    Symbols& s = use.s;
    int32_t foo = s.intern("hashfoo");
    int32_t Foo = s.intern("HashFoo");
    Cell w, sw;
    set_cell(&w, TYPE_WORD, 0, static_cast<uint32_t>(foo));
    set_cell(&sw, TYPE_SET_WORD, 7, static_cast<uint32_t>(Foo));
    // Case variants of any word type hash alike.
    EXPECT_EQ(hash_value(&w, false), hash_value(&sw, false));
    Cell w2 = w;
    w2.data2 = static_cast<uint32_t>(Foo);
    EXPECT_TRUE(keys_equal(&w, &w2, 0));
    EXPECT_FALSE(keys_equal(&w, &w2, 2));
    EXPECT_FALSE(keys_equal(&w, &sw, 0));  // type ids differ
}

TEST(HashTable, SymbolInterningUsesTwoPasses) {
    SymbolsInUse use;
    Symbols& s = use.s;
    int32_t foo = s.intern("foo");
    EXPECT_EQ(s.alias(foo), -1);
    int32_t Foo = s.intern("Foo");
    EXPECT_NE(Foo, foo);
    EXPECT_EQ(s.alias(Foo), foo);
    int32_t FOO = s.intern("FOO");
    EXPECT_EQ(s.alias(FOO), foo);
    EXPECT_EQ(resolve(FOO), foo);
    int32_t before = length_of(s.block);
    EXPECT_EQ(s.intern("Foo"), Foo);
    EXPECT_EQ(length_of(s.block), before);
    // Interning ignoring case answers the family without adding.
    EXPECT_EQ(s.intern("fOo", true), foo);
    EXPECT_EQ(length_of(s.block), before);
    // Non-ASCII case differences are different symbols without alias.
    int32_t e1 = s.intern("\xC3\xA9t\xC3\xA9");
    int32_t e2 = s.intern("\xC3\x89T\xC3\x89");
    EXPECT_NE(e1, e2);
    EXPECT_EQ(s.alias(e2), -1);
    int32_t empty = s.intern("");
    EXPECT_GT(empty, 0);
    EXPECT_EQ(s.intern(""), empty);
}

TEST(HashTable, SymbolTableGrowsAndKeepsAliasesCanonical) {
    SymbolsInUse use;
    Symbols& s = use.s;
    std::mt19937 rng(11);
    std::vector<std::string> bases;
    std::unordered_map<std::string, int32_t> ids;
    uint32_t start_buckets = record(s.table)->buckets;
    for (int i = 0; i < 3000; i++) {
        std::string t;
        if (!bases.empty() && rng() % 3 == 0) {
            t = bases[rng() % bases.size()];
            for (char& c : t) c = rng() % 2 ? static_cast<char>(std::toupper(c)) : c;
        } else {
            t = "sym" + std::to_string(rng() % 100000);
            bases.push_back(t);
        }
        int32_t id = s.intern(t);
        auto it = ids.find(t);
        if (it != ids.end()) {
            ASSERT_EQ(it->second, id) << t;
        }
        ids[t] = id;
    }
    EXPECT_GT(record(s.table)->buckets, start_buckets);
    EXPECT_LE(record(s.table)->occupied, record(s.table)->upper);
    for (auto& [t, id] : ids) {
        ASSERT_EQ(s.intern(t), id);
        int32_t a = s.alias(id);
        if (a > 0) {
            ASSERT_EQ(s.alias(a), -1) << t;  // never a chain of aliases
            std::string lower = t;
            for (char& c : lower) c = static_cast<char>(std::tolower(c));
            ASSERT_EQ(resolve(s.intern(lower)), a) << t;
        }
    }
}

TEST(HashTable, ContextWordTable) {
    SymbolsInUse use;
    Symbols& s = use.s;
    int32_t ctx_a = s.intern("ctxa");
    int32_t ctx_A = s.intern("CTXA");
    Node t = tv::hold_table(init(0, nullptr, kWords, 2));
    Node list = block_of(t);
    std::vector<int32_t> syms;
    for (int i = 0; i < 200; i++) syms.push_back(s.intern(std::string("w").append(std::to_string(i))));
    syms.push_back(ctx_a);
    for (size_t i = 0; i < syms.size(); i++) {
        ASSERT_EQ(context_find(t, syms[i], true), -1);
        Cell w;
        set_cell(&w, TYPE_WORD, 0, static_cast<uint32_t>(syms[i]), static_cast<uint32_t>(i));
        int32_t pos = append(list, w);
        put_key(t, pos);
    }
    EXPECT_GT(record(t)->buckets, 8u);
    for (size_t i = 0; i < syms.size(); i++) EXPECT_EQ(context_find(t, syms[i], false), static_cast<int32_t>(i));
    int32_t slot = static_cast<int32_t>(syms.size()) - 1;
    EXPECT_EQ(context_find(t, ctx_A, true), slot);
    EXPECT_EQ(context_find(t, ctx_A, false), -1);
    // The generic find takes the same route for word values.
    Cell w;
    set_cell(&w, TYPE_GET_WORD, 0, static_cast<uint32_t>(ctx_A));
    EXPECT_EQ(find(t, &w, 0, 1, 0, false, false), slot);
    EXPECT_EQ(find(t, &w, 0, 1, 2, false, false), -1);

    // A copied table indexes its own copy of the word list.
    Node c = tv::hold_table(copy_record(t));
    EXPECT_NE(block_of(c), list);
    EXPECT_EQ(length_of(block_of(c)), length_of(list));
    Cell extra;
    set_cell(&extra, TYPE_WORD, 0, static_cast<uint32_t>(s.intern("only-in-copy")));
    put_key(c, append(block_of(c), extra));
    EXPECT_EQ(context_find(c, extra.i2(), false), slot + 1);
    EXPECT_EQ(context_find(t, extra.i2(), false), -1);
    EXPECT_EQ(context_find(c, ctx_A, true), slot);
}

// ---- map! ----

struct MapFixture {
    Node t = tv::hold_table(init(0, nullptr, kMap, 1));
    int32_t put(const Cell& key, const Cell& value, int op = 0) {
        int32_t pos = find(t, &key, 0, 1, op, false, false);
        if (pos < 0) {
            pos = append(block_of(t), key);
            append(block_of(t), value);
            put_key(t, pos);
            return pos;
        }
        Cell* v = cell_at(t, pos + 1);
        bool hole = v->header == 0;
        *v = value;
        if (hole) adjust_count(t, 1);
        return pos;
    }
    const Cell* select(const Cell& key, int op = 0) {
        int32_t pos = find(t, &key, 0, 1, op, false, false);
        if (pos < 0 || cell_at(t, pos + 1)->header == 0) return nullptr;
        return cell_at(t, pos + 1);
    }
};

TEST(HashTable, MapWordKeysAreSetWords) {
    SymbolsInUse use;
    Symbols& s = use.s;
    int32_t a = s.intern("mapkey");
    MapFixture m;
    Cell w;
    set_cell(&w, TYPE_WORD, 0, static_cast<uint32_t>(a));
    int32_t pos = m.put(w, integer(1));
    EXPECT_EQ(cell_at(m.t, pos)->type(), TYPE_SET_WORD);
    for (uint8_t type : {TYPE_WORD, TYPE_SET_WORD, TYPE_LIT_WORD, TYPE_GET_WORD}) {
        Cell k = w;
        k.set_type(type);
        const Cell* v = m.select(k);
        ASSERT_NE(v, nullptr) << int(type);
        EXPECT_EQ(v->i1(), 1);
    }
    Cell r = w;
    r.set_type(TYPE_REFINEMENT);
    EXPECT_EQ(m.select(r), nullptr);
}

TEST(HashTable, MapTextKeysHolesAndRevival) {
    MapFixture m;
    m.put(text(U"B", 1), integer(2));
    EXPECT_NE(m.select(text(U"b", 2)), nullptr);
    EXPECT_EQ(m.select(text(U"b", 1), 2), nullptr);  // strict lookup
    EXPECT_EQ(count(m.t), 1u);

    Cell lower = text(U"b", 4);
    int32_t pos = find(m.t, &lower, 0, 1, 0, false, false);
    delete_(m.t, pos);
    EXPECT_EQ(count(m.t), 0u);
    EXPECT_EQ(m.select(text(U"B", 1)), nullptr);
    delete_(m.t, pos);  // a second removal changes nothing
    EXPECT_EQ(count(m.t), 0u);
    // The entry comes back in its old place.
    EXPECT_EQ(m.put(text(U"B", 1), integer(3)), pos);
    EXPECT_EQ(count(m.t), 1u);
    EXPECT_EQ(m.select(text(U"B", 1))->i1(), 3);

    // Case variants added under strict lookup are all reachable through find_next.
    m.put(text(U"b", 1), integer(4), 2);
    EXPECT_EQ(count(m.t), 2u);
    Probe p;
    Cell key = text(U"b", 1);
    std::vector<int32_t> seen;
    for (int32_t k = find_first(m.t, &key, 0, p); k >= 0; k = find_next(m.t, &key, 0, p)) seen.push_back(k);
    EXPECT_EQ(seen.size(), 2u);
}

TEST(HashTable, MapPutAllDropsRepeatedKeys) {
    SymbolsInUse use;
    Symbols& s = use.s;
    int32_t a = s.intern("pa");
    int32_t b = s.intern("pb");
    Node blk = tv::hold_node(memory::alloc_cells(8));
    Cell wa, wb;
    set_cell(&wa, TYPE_WORD, 0, static_cast<uint32_t>(a));
    set_cell(&wb, TYPE_LIT_WORD, 0, static_cast<uint32_t>(b));
    Cell sa = wa;
    sa.set_type(TYPE_SET_WORD);
    for (const Cell& c : {wa, integer(1), wb, integer(2), sa, integer(3)}) append(blk, c);
    Cell v = block_value(blk);
    Node t = tv::hold_table(init(3, &v, kMap, 1));
    EXPECT_EQ(length_of(blk), 4);
    EXPECT_EQ(count(t), 2u);
    EXPECT_EQ(find(t, &wa, 0, 1, 0, false, false), 0);
    EXPECT_EQ(cell_at(t, 1)->i1(), 3);
    EXPECT_EQ(cell_at(t, 2)->type(), TYPE_SET_WORD);
}

TEST(HashTable, MapAgainstUnorderedMap) {
    MapFixture m;
    std::unordered_map<int32_t, int32_t> model;
    std::mt19937 rng(3);
    for (int step = 0; step < 20000; step++) {
        int32_t k = static_cast<int32_t>(rng() % 400) - 200;
        Cell key = integer(k);
        switch (rng() % 4) {
            case 0:
            case 1: {
                int32_t v = static_cast<int32_t>(rng());
                m.put(key, integer(v));
                model[k] = v;
                break;
            }
            case 2: {
                int32_t pos = find(m.t, &key, 0, 1, 2, false, false);
                if (pos >= 0) delete_(m.t, pos);
                model.erase(k);
                break;
            }
            default: {
                const Cell* v = m.select(key);
                auto it = model.find(k);
                ASSERT_EQ(v != nullptr, it != model.end()) << step;
                if (v) {
                    ASSERT_EQ(v->i1(), it->second);
                }
            }
        }
        ASSERT_EQ(count(m.t), model.size());
        ASSERT_LE(record(m.t)->occupied, record(m.t)->upper);
    }
    // Holes are revived, never re-added: the block holds each key once.
    EXPECT_LE(length_of(block_of(m.t)), 2 * 400);
}

// ---- hash! ----

struct HashFixture {
    Node t = tv::hold_table(init(0, nullptr, kHash, 1));
    std::vector<int32_t> model;  // the block's integer values

    Node blk() { return block_of(t); }
    void check_block() {
        ASSERT_EQ(length_of(blk()), static_cast<int32_t>(model.size()));
        ASSERT_EQ(count(t), model.size());
    }
    void append_value(int32_t v) {
        int32_t pos = append(blk(), integer(v));
        model.push_back(v);
        add_cell(t, pos);
    }
    void insert_value(int32_t at, int32_t v) {
        int32_t old = static_cast<int32_t>(model.size());
        append(blk(), integer(0));
        Cell* c = cells_head(memory::nodes[blk()]);
        std::memmove(c + at + 1, c + at, size_t(old - at) * 16);
        c[at] = integer(v);
        model.insert(model.begin() + at, v);
        ASSERT_EQ(refresh(t, 1, at, old - at, false), 0);
        put_range(t, at, 1);
    }
    void remove_at(int32_t at, int32_t n) {
        int32_t old = static_cast<int32_t>(model.size());
        n = std::min(n, old - at);
        SeriesBuf* b = memory::nodes[blk()];
        Cell* c = cells_head(b);
        std::memmove(c + at, c + at + n, size_t(old - at - n) * 16);
        b->tail -= static_cast<uint32_t>(n) * 16;
        model.erase(model.begin() + at, model.begin() + at + n);
        ASSERT_EQ(refresh(t, -n, at + n, old - at - n, true), 0);
    }
    void move(int32_t from, int32_t n, int32_t to) {
        std::vector<int32_t> part(model.begin() + from, model.begin() + from + n);
        model.erase(model.begin() + from, model.begin() + from + n);
        model.insert(model.begin() + to, part.begin(), part.end());
        Cell* c = cells_head(memory::nodes[blk()]);
        for (size_t i = 0; i < model.size(); i++) c[i] = integer(model[i]);
        move_range(t, from, n, to);
    }
    int32_t expected(int32_t v, int32_t start, int32_t skip, bool last, bool reverse) {
        int32_t best = -1;
        for (int32_t p = 0; p < static_cast<int32_t>(model.size()); p++) {
            if (model[p] != v) continue;
            bool ok = reverse ? p < start && (start - p - 1) % skip == 0 : p >= start && (p - start) % skip == 0;
            if (!ok) continue;
            if (best < 0 || ((reverse || last) ? p > best : p < best)) best = p;
        }
        return best;
    }
};

TEST(HashTable, HashEqualKeysChainInOrder) {
    HashFixture h;
    for (int32_t v : {5, 1, 5, 2, 5, 3}) h.append_value(v);
    Cell five = integer(5);
    EXPECT_EQ(find(h.t, &five, 0, 1, 0, false, false), 0);
    EXPECT_EQ(find(h.t, &five, 1, 1, 0, false, false), 2);  // the second, searching after the first
    EXPECT_EQ(find(h.t, &five, 1, 1, 0, true, false), 4);   // /last
    EXPECT_EQ(find(h.t, &five, 4, 1, 0, false, true), 2);   // /reverse from position 4
    EXPECT_EQ(find(h.t, &five, 0, 3, 0, false, false), 0);
    EXPECT_EQ(find(h.t, &five, 1, 3, 0, false, false), 4);  // /skip 3 from 1: positions 1, 4
    EXPECT_EQ(find(h.t, &five, 5, 1, 0, false, false), -1);
    // Three equal keys share one bucket.
    EXPECT_EQ(record(h.t)->occupied, 4u);
    // Removing the keys one by one returns the bucket to deleted.
    h.remove_at(0, 1);
    h.remove_at(1, 1);
    EXPECT_EQ(find(h.t, &five, 0, 1, 0, false, false), 2);
    h.remove_at(2, 1);
    EXPECT_EQ(find(h.t, &five, 0, 1, 0, false, false), -1);
    h.check_block();
}

TEST(HashTable, HashFindRespectsTheComparisonMode) {
    Node t = tv::hold_table(init(0, nullptr, kHash, 1));
    for (const char32_t* s : {U"abc", U"ABC", U"Abc"}) add_cell(t, append(block_of(t), text(s, 1)));
    Cell v = text(U"ABC", 2);
    EXPECT_EQ(find(t, &v, 0, 1, 0, false, false), 0);
    EXPECT_EQ(find(t, &v, 0, 1, 2, false, false), 1);
    Cell same = *cell_at(t, 2);
    EXPECT_EQ(find(t, &same, 0, 1, 9, false, false), 2);
    Cell other = text(U"Abc", 1);
    EXPECT_EQ(find(t, &other, 0, 1, 9, false, false), -1);  // equal text, not the same series
}

TEST(HashTable, HashAgainstModel) {
    HashFixture h;
    std::mt19937 rng(5);
    for (int step = 0; step < 6000; step++) {
        int32_t n = static_cast<int32_t>(h.model.size());
        int32_t v = static_cast<int32_t>(rng() % 40);
        switch (rng() % 7) {
            case 0:
            case 1: h.append_value(v); break;
            case 2: h.insert_value(static_cast<int32_t>(rng() % (n + 1)), v); break;
            case 3:
                if (n) h.remove_at(static_cast<int32_t>(rng() % n), 1 + static_cast<int32_t>(rng() % 4));
                break;
            case 4:
                if (n > 2) {
                    int32_t cnt = 1 + static_cast<int32_t>(rng() % std::min(n - 1, 5));
                    int32_t from = static_cast<int32_t>(rng() % (n - cnt + 1));
                    int32_t to = static_cast<int32_t>(rng() % (n - cnt + 1));
                    h.move(from, cnt, to);
                }
                break;
            default: {
                Cell key = integer(v);
                int32_t start = static_cast<int32_t>(rng() % (n + 2));
                int32_t skip = 1 + static_cast<int32_t>(rng() % 3);
                bool last = rng() % 3 == 0;
                bool reverse = !last && rng() % 3 == 0;
                ASSERT_EQ(find(h.t, &key, start, skip, 0, last, reverse), h.expected(v, start, skip, last, reverse))
                    << "step " << step;
            }
        }
        if (::testing::Test::HasFatalFailure()) return;
        h.check_block();
        if (::testing::Test::HasFatalFailure()) return;
    }
    // The whole range removed empties the table.
    remove_range(h.t, 0, static_cast<int32_t>(h.model.size()));
    EXPECT_EQ(count(h.t), 0u);
    EXPECT_EQ(record(h.t)->occupied, 0u);
}

TEST(HashTable, GrowthAndPurgeKeepEveryKey) {
    HashFixture h;
    for (int32_t i = 0; i < 1000; i++) h.append_value(i);
    EXPECT_EQ(record(h.t)->buckets, 2048u);
    Cell k;
    for (int32_t i = 0; i < 1000; i++) {
        k = integer(i);
        ASSERT_EQ(find(h.t, &k, 0, 1, 0, false, false), i);
    }
    // Churn at the end: deleted buckets pile up until a purge at the same size clears them.
    HashFixture c;
    for (int32_t i = 0; i < 5; i++) c.append_value(i);
    for (int32_t i = 5; i < 400; i++) {
        c.append_value(i);
        c.remove_at(5, 1);
        ASSERT_LE(record(c.t)->occupied, record(c.t)->upper);
    }
    EXPECT_LE(record(c.t)->buckets, 16u);
    for (int32_t i = 0; i < 5; i++) {
        k = integer(i);
        EXPECT_EQ(find(c.t, &k, 0, 1, 0, false, false), i);
    }
}

TEST(HashTable, RefreshOfAHugeRangeAsksForARebuild) {
    HashFixture h;
    for (int32_t i = 0; i < 10; i++) h.append_value(i);
    Node keys = record(h.t)->keys;
    std::vector<uint8_t> before(memory::nodes[keys]->data(), memory::nodes[keys]->data() + record(h.t)->buckets * 4);
    EXPECT_EQ(refresh(h.t, 1, 0, 30001, false), 1);
    EXPECT_TRUE(std::equal(before.begin(), before.end(), memory::nodes[keys]->data()));
    EXPECT_EQ(refresh(h.t, 0, 0, 30000, false), 0);
    // Arguments that would overflow or reach far past the block change nothing.
    EXPECT_EQ(refresh(h.t, INT32_MAX, 5, 5, false), 1);
    EXPECT_EQ(refresh(h.t, INT32_MIN, 5, 5, true), 1);
    EXPECT_EQ(refresh(h.t, 1, INT32_MAX, 5, false), 0);
    move_range(h.t, 0, INT32_MAX, 5);
    move_range(h.t, INT32_MAX - 1, 2, 0);
    h.remove_at(0, 0);
    for (int32_t i = 5; i < 10; i++) {
        Cell k = integer(i);
        EXPECT_EQ(find(h.t, &k, 0, 1, 0, false, false), i);
    }
}

TEST(HashTable, NodeKeyedHashRehashesAfterNodesAreRenumbered) {
    Node t = tv::hold_table(init(0, nullptr, kHash, 1));
    std::vector<Node> blocks;
    for (int i = 0; i < 50; i++) {
        blocks.push_back(tv::hold_node(memory::alloc_cells(1)));
        add_cell(t, append(block_of(t), block_value(blocks.back())));
    }
    EXPECT_EQ(record(t)->stamp, collector::node_passes + 1);
    // What node compaction does: the buffers move to new nodes and every reached cell is
    // rewritten, but the table's hashes were taken with the old handles.
    for (int i = 0; i < 50; i++) {
        Node fresh = memory::alloc_node();
        memory::nodes[fresh] = memory::nodes[blocks[i]];
        memory::nodes[fresh]->node = fresh;
        memory::free_node(blocks[i]);
        blocks[i] = fresh;
        cell_at(t, i)->data2 = fresh;
    }
    collector::node_passes++;
    for (int i = 0; i < 50; i++) {
        Cell key = block_value(blocks[i]);
        ASSERT_EQ(find(t, &key, 0, 1, 0, false, false), i);
    }
    EXPECT_EQ(record(t)->stamp, collector::node_passes + 1);
}

TEST(HashTable, CopyIsIndependent) {
    HashFixture h;
    for (int32_t v : {1, 2, 2, 3}) h.append_value(v);
    Node nb = tv::hold_node(memory::copy_series(h.blk()));
    Node c = tv::hold_table(copy(h.t, nb));
    EXPECT_EQ(block_of(c), nb);
    // Changing the copy's chain leaves the original's alone.
    Cell two = integer(2);
    delete_(c, 1);
    EXPECT_EQ(find(c, &two, 0, 1, 0, false, false), 2);
    EXPECT_EQ(find(h.t, &two, 0, 1, 0, false, false), 1);
    EXPECT_EQ(count(c), 3u);
    EXPECT_EQ(count(h.t), 4u);
}

TEST(HashTable, CompareHookDecidesOtherTypes) {
    Cell a, b;
    set_cell(&a, TYPE_PAIR, 1, 10, 20);
    set_cell(&b, TYPE_PAIR, 2, 10, 20);
    EXPECT_EQ(hash_value(&a, false), hash_value(&b, false));
    auto saved = compare_hook;
    compare_hook = nullptr;
    EXPECT_FALSE(keys_equal(&a, &b, 0));  // identical payload required without the hook
    compare_hook = [](const Cell* x, const Cell* y, int) { return x->data2 == y->data2 ? 0 : 1; };
    EXPECT_TRUE(keys_equal(&a, &b, 0));
    compare_hook = saved;
    a.header |= cell_flag::newline;
    set_cell(&b, TYPE_PAIR, 1, 10, 20);
    EXPECT_TRUE(keys_equal(&a, &b, 0));  // header flags are not part of a key
}

// ---- record tables ----

TEST(HashTable, RecordTableAgainstUnorderedMap) {
    Node t = tv::hold_table(init(0, nullptr, kNodeSet, 1));
    std::unordered_map<uint32_t, int32_t> model;
    std::mt19937 rng(9);
    size_t most = 0;
    for (int step = 0; step < 20000; step++) {
        uint32_t key = rng() % 300;
        switch (rng() % 3) {
            case 0: {
                int32_t v = static_cast<int32_t>(rng());
                *put_int_key(t, key) = integer(v);
                model[key] = v;
                break;
            }
            case 1:
                remove_int_key(t, key);
                model.erase(key);
                break;
            default: {
                Cell* c = get_int_key(t, key);
                auto it = model.find(key);
                ASSERT_EQ(c != nullptr, it != model.end());
                if (c) {
                    ASSERT_EQ(c->i1(), it->second);
                }
            }
        }
        most = std::max(most, model.size());
        ASSERT_EQ(count(t), model.size());
    }
    // Freed records are reused: the block never holds more records than were ever live at once.
    EXPECT_LE(static_cast<size_t>(length_of(block_of(t))), 2 * most);
    // A new record's values are unset.
    Cell* fresh = put_int_key(t, 100000);
    EXPECT_EQ(fresh->type(), TYPE_UNSET);
    rebuild_keyed(t, 0);
    EXPECT_EQ(static_cast<size_t>(length_of(block_of(t))), 2 * (model.size() + 1));
    for (auto& [k, v] : model) ASSERT_EQ(get_int_key(t, k)->i1(), v);
}

TEST(HashTable, DeletedBucketIsReused) {
    Node t = tv::hold_table(init(0, nullptr, kNodeSet, 0));
    put_int_key(t, 42);
    put_int_key(t, 43);
    uint32_t occupied = record(t)->occupied;
    int32_t records = length_of(block_of(t));
    remove_int_key(t, 42);
    EXPECT_EQ(get_int_key(t, 42), nullptr);
    EXPECT_EQ(record(t)->occupied, occupied);
    put_int_key(t, 42);
    EXPECT_EQ(record(t)->occupied, occupied);
    EXPECT_EQ(length_of(block_of(t)), records);
    EXPECT_NE(get_int_key(t, 43), nullptr);

    IntTable* it = int_make(0);
    int_put(it, 7, 70);
    int_put(it, 8, 80);
    uint32_t before = it->occupied;
    EXPECT_TRUE(int_delete(it, 7));
    EXPECT_FALSE(int_delete(it, 7));
    int_put(it, 7, 71);
    EXPECT_EQ(it->occupied, before);
    EXPECT_EQ(*int_get(it, 7), 71u);
    int_destroy(it);
}

TEST(HashTable, PointerKeyTableAgainstUnorderedMap) {
    IntTable* t = int_make(0);
    std::unordered_map<uint32_t, uint32_t> model;
    std::mt19937 rng(13);
    for (int step = 0; step < 50000; step++) {
        uint32_t key = rng() % 1000 * 4096;
        if (rng() % 2) {
            uint32_t v = rng();
            int_put(t, key, v);
            model[key] = v;
        } else {
            EXPECT_EQ(int_delete(t, key), model.erase(key) == 1);
        }
        ASSERT_EQ(t->count, model.size());
        ASSERT_LE(t->occupied, t->upper);
    }
    EXPECT_LE(t->buckets, 2048u);  // churn purges instead of doubling forever
    std::unordered_map<uint32_t, uint32_t> seen;
    uint32_t cursor = 0, k, v;
    while (int_next(t, &cursor, &k, &v)) seen[k] = v;
    EXPECT_EQ(seen, model);
    int_clear(t);
    EXPECT_EQ(int_get(t, model.begin()->first), nullptr);
    int_destroy(t);
}

TEST(HashTable, OwnedSeriesTableIsWeak) {
    Node t = tv::hold_table(init(0, nullptr, kOwned, 3));
    Node kept = tv::hold_node(memory::alloc_bytes(4));
    Node dropped = tv::hold_node(memory::alloc_bytes(4));
    Node orphan = tv::hold_node(memory::alloc_bytes(4));
    Node owner_ctx = tv::hold_node(memory::alloc_cells(2));
    Node dead_owner = tv::hold_node(memory::alloc_cells(2));
    auto own = [&](Node series, Node ctx) {
        Cell* v = put_int_key(t, series);
        set_cell(v, TYPE_BINARY, 0, series);
        set_cell(v + 1, TYPE_OBJECT, ctx);
    };
    own(kept, owner_ctx);
    own(dropped, owner_ctx);
    own(orphan, dead_owner);

    clear_all_marks();
    Node slot = t;
    mark(&slot);
    collector::mark_values(nullptr, nullptr);
    // The table's own series are kept, the owned series are not.
    EXPECT_TRUE(memory::nodes[record(t)->keys]->flags & series_flag::mark);
    EXPECT_TRUE(memory::nodes[block_of(t)]->flags & series_flag::mark);
    EXPECT_FALSE(memory::nodes[kept]->flags & series_flag::mark);
    // The rest of the world reaches `kept`, `orphan` and one owner.
    collector::keep(&kept);
    collector::keep(&orphan);
    collector::keep(&owner_ctx);
    prune_dead(t);
    clear_all_marks();
    EXPECT_NE(get_int_key(t, kept), nullptr);
    EXPECT_EQ(get_int_key(t, dropped), nullptr);
    EXPECT_EQ(get_int_key(t, orphan), nullptr);
    EXPECT_EQ(count(t), 1u);
}

TEST(HashTable, NodeSetKeepsItsKeys) {
    Node t = tv::hold_table(init(0, nullptr, kNodeSet, 0));
    Node inner = tv::hold_node(memory::alloc_bytes(4));
    Node blk = tv::hold_node(memory::alloc_cells(2));
    Cell s;
    set_cell(&s, TYPE_STRING, 0, inner);
    append(blk, s);
    put_int_key(t, blk);
    clear_all_marks();
    Node slot = t;
    mark(&slot);
    collector::mark_values(nullptr, nullptr);  // finish the marking work queued so far
    EXPECT_TRUE(memory::nodes[blk]->flags & series_flag::mark);
    EXPECT_TRUE(memory::nodes[inner]->flags & series_flag::mark);  // the key block's values too
    clear_all_marks();
}

TEST(HashTable, TableOverAnExistingBlockStartsAtItsIndex) {
    Node blk = tv::hold_node(memory::alloc_cells(4));
    for (int32_t v : {7, 8, 9, 7}) append(blk, integer(v));
    Cell value = block_value(blk);
    value.set_index(2);
    Node t = tv::hold_table(init(2, &value, kHash, 1));
    EXPECT_EQ(block_of(t), blk);
    EXPECT_EQ(count(t), 2u);
    Cell seven = integer(7), eight = integer(8);
    EXPECT_EQ(find(t, &seven, 0, 1, 0, false, false), 3);
    EXPECT_EQ(find(t, &eight, 0, 1, 0, false, false), -1);
}

TEST(HashTable, ClearEmptiesEveryKind) {
    HashFixture h;
    for (int32_t v : {1, 1, 2}) h.append_value(v);
    clear(h.t);
    Cell one = integer(1);
    EXPECT_EQ(find(h.t, &one, 0, 1, 0, false, false), -1);
    EXPECT_EQ(count(h.t), 0u);
    // Re-adding the still present cells works after a clear.
    put_all(h.t, 0, 1);
    EXPECT_EQ(find(h.t, &one, 1, 1, 0, false, false), 1);

    Node r = tv::hold_table(init(0, nullptr, kOwned, 3));
    put_int_key(r, 5);
    clear(r);
    EXPECT_EQ(get_int_key(r, 5), nullptr);
    EXPECT_EQ(length_of(block_of(r)), 0);
}

}  // namespace
