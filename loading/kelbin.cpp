// KELBIN reader and writers. See kelbin.h for the container; the record layouts follow.
//
// Compact record: prefix bytes (0xC0 new line, 0xC1 shared, 0xC4 set pair), a header byte
// (0x00-0x7F typed: type in the low 6 bits, 63 meaning a varint type follows, the per-type flag
// in 0x40; 0x80-0xBF integer 0-63; 0xC2/0xC3 true/false; 0xFF a back-reference path) and a body.
// Plain record: u32 header (type in bits 0-7, bit 31 new line, bit 19 shared, type bits above),
// then u32 fields, every record dword-aligned.
//
// The writers assemble the image in C++ buffers and make the binary! once at the end, so nothing
// they read from the value can move while they write. The reader builds every value straight
// into the block that will hold it, so each new series is reachable before the next allocation.
#include "loading/kelbin.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "datatypes/binary.h"
#include "datatypes/bitset.h"
#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/datatype.h"
#include "datatypes/date.h"
#include "datatypes/error.h"
#include "datatypes/function.h"
#include "datatypes/hash.h"
#include "datatypes/image.h"
#include "datatypes/map.h"
#include "datatypes/money.h"
#include "datatypes/native.h"
#include "datatypes/object.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/tuple.h"
#include "datatypes/vector.h"
#include "datatypes/word.h"
#include "evaluator/actions.h"
#include "evaluator/natives.h"
#include "loading/lz.h"
#include "runtime/collector.h"
#include "runtime/fire.h"
#include "runtime/hashtable.h"
#include "runtime/output.h"
#include "runtime/platform.h"
#include "runtime/root.h"
#include "runtime/runtime.h"
#include "runtime/stack.h"
#include "runtime/unicode.h"
#include "services/files.h"

namespace kelbin {

bool codec_mode = true;
int32_t literal_base = 0;

namespace {

// Paths longer than this are corrupt.
constexpr int32_t kMaxPath = 65536;

// Plain header bits.
constexpr uint32_t kPlainNewline = 0x80000000u;
constexpr uint32_t kPlainShared = 0x80000u;
constexpr uint32_t kPlainGlobal = 0x2000000u;  // word bit 25
constexpr uint32_t kPlainNegative = 0x400000u;  // money bit 22
constexpr uint32_t kPlainComplement = 0x800000u;  // bitset bit 23
constexpr uint32_t kPlainExtra = 0x1000000u;  // object bit 24
constexpr uint32_t kPlainReference = 255;

inline bool block_like(uint8_t t) { return t == TYPE_BLOCK || t == TYPE_PAREN || types::any_path(t); }

// Types whose series, context or function a shared record may take.
bool shareable(uint8_t t) {
    return types::any_block(t) || types::any_string(t) || t == TYPE_VECTOR || t == TYPE_BINARY || t == TYPE_IMAGE ||
           t == TYPE_BITSET || t == TYPE_MAP || t == TYPE_NATIVE || t == TYPE_ACTION || t == TYPE_OP ||
           t == TYPE_FUNCTION || t == TYPE_ROUTINE;
}

[[noreturn]] void no_codec_type(int type) {
    Cell t;
    datatype::make_at(&t, type);
    fire(err::access::no_codec, &t);
}

bool supported_type(int t) { return t >= 1 && t <= TYPE_EVENT && t != TYPE_LOGIC && t != TYPE_SYMBOL && t != TYPE_SERIES; }

bool unsupported_type(int t) {
    return t == TYPE_ROUTINE || t == TYPE_TRIPLE || t == TYPE_HANDLE || t == TYPE_PORT || t == TYPE_EVENT;
}

// ======================================================================================
// Reader
// ======================================================================================

struct Reader {
    const uint8_t* origin = nullptr;  // positions in errors count from here
    int64_t bias = 0;                 // added to (p - origin)
    bool boot = false;
    Node block = 0;                   // the receiving block: the root of reference paths
    int32_t base = 0;                 // its length before the decode
    const uint8_t* records = nullptr; // start of the records (plain padding counts from it)
    // Symbol table.
    const uint8_t* offsets = nullptr;
    const uint8_t* names = nullptr;
    int32_t nsyms = 0;
    int32_t names_size = 0;
    std::vector<int32_t> symbols;  // run-time ids, 0 until made
    // A word whose owner record is being read: its cell gets the owner's context as soon as
    // that context exists, so a path through the word can reach the owner's values.
    Node patch_node = 0;
    int32_t patch_index = -1;
    // Live native!/action! values by index, looked up once.
    bool actions_known = false;
    std::vector<Cell> actions;
};

std::vector<int32_t> path_buffer;  // kept between decodes

[[noreturn]] void corrupt(const Reader& r, const uint8_t* p) {
    Cell pos;
    set_cell(&pos, TYPE_INTEGER, static_cast<uint32_t>(static_cast<int32_t>((p - r.origin) + r.bias + 1)));
    fire(err::script::kb_invalid_record, &pos);
}

void guard_depth() {
    if (platform::stack_exhausted()) fire(err::internal::stack_overflow);
}

inline uint32_t rd32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// ---- Numbers ----

// Plain: fixed dwords, the bytes checked for a whole record (at) at once.
inline void need(const Reader& r, const uint8_t* at, const uint8_t* p, const uint8_t* stop, int64_t n) {
    if (n < 0 || stop - p < n) corrupt(r, at);
}

inline uint32_t take32(const uint8_t*& p) {
    uint32_t v = rd32(p);
    p += 4;
    return v;
}

// Compact: bytes and varints, each checked as it is read.

inline uint8_t read_u8(const Reader& r, const uint8_t*& p, const uint8_t* stop) {
    if (p >= stop) corrupt(r, p);
    return *p++;
}

int32_t read_long_varint(const Reader& r, const uint8_t*& p, const uint8_t* stop) {
    uint32_t v = 0;
    for (int i = 0; i < 5; i++) {
        if (p >= stop) corrupt(r, p);
        uint8_t b = *p++;
        if (i == 4) {
            if (b & 0xF0) corrupt(r, p);
            return static_cast<int32_t>(v | uint32_t(b) << 28);
        }
        v |= uint32_t(b & 0x7F) << (7 * i);
        if (!(b & 0x80)) return static_cast<int32_t>(v);
    }
    corrupt(r, p);
}

// Most varints of an image are one byte: that case stays inline in the record readers.
inline int32_t read_varint(const Reader& r, const uint8_t*& p, const uint8_t* stop) {
    if (p < stop && *p < 0x80) return *p++;
    return read_long_varint(r, p, stop);
}

int32_t read_svarint(const Reader& r, const uint8_t*& p, const uint8_t* stop) {
    uint32_t v = static_cast<uint32_t>(read_varint(r, p, stop));
    return static_cast<int32_t>((v >> 1) ^ (0u - (v & 1)));
}

uint32_t read_fixed32(const Reader& r, const uint8_t*& p, const uint8_t* stop) {
    if (stop - p < 4) corrupt(r, p);
    uint32_t v = rd32(p);
    p += 4;
    return v;
}

// A count or size that must be 0 or more and at most limit.
int32_t read_count(const Reader& r, const uint8_t*& p, const uint8_t* stop, int64_t unit = 1) {
    int32_t n = read_varint(r, p, stop);
    if (n < 0 || int64_t(n) * unit > stop - p) corrupt(r, p);
    return n;
}

int32_t read_head(const Reader& r, const uint8_t*& p, const uint8_t* stop, bool flag) {
    if (!flag) return 0;
    int32_t h = read_varint(r, p, stop);
    if (h < 0) corrupt(r, p);
    return h;
}

// ---- Symbols ----

int32_t symbol_at(Reader& r, const uint8_t* at, int64_t i) {
    if (i < 0 || i >= r.nsyms) corrupt(r, at);
    if (r.symbols[size_t(i)]) return r.symbols[size_t(i)];
    uint32_t off = rd32(r.offsets + 4 * i);
    if (off & 0x80000000u || int64_t(off) >= r.names_size) corrupt(r, at);
    const uint8_t* name = r.names + off;
    const void* nul = std::memchr(name, 0, size_t(r.names_size - off));
    if (!nul || nul == name) corrupt(r, at);
    const uint8_t* end = static_cast<const uint8_t*>(nul);
    for (const uint8_t* q = name; q < end;) {
        int32_t cp;
        q = unicode::fast_decode_utf8_char(q, end, &cp);
        if (cp < 0) corrupt(r, at);
    }
    int32_t id = symbol::make_alt(reinterpret_cast<const char*>(name), size_t(end - name));
    r.symbols[size_t(i)] = id;
    return id;
}

// ---- Building cells ----

inline int32_t length_of(Node n) { return block::node_length(n); }

// Appends a cell and answers its position.
int32_t append(Node into, const Cell& c) {
    int32_t at = length_of(into);
    block::append_cell(into, &c);
    return at;
}

inline Cell* at_(Node n, int32_t i) { return block::node_cell(n, i); }

// The context a found value stands for, or 0.
Node context_of(const Cell& v) {
    uint8_t t = v.type();
    if (types::word_like(t) || t == TYPE_OBJECT || t == TYPE_ERROR || t == TYPE_FUNCTION) return v.data1;
    if (t == TYPE_OP && native::op_wrapped(&v) == TYPE_FUNCTION) return v.data1;
    return 0;
}

// ---- Reference paths ----

// Walks a path from the receiving block; the cell reached, copied.
Cell resolve(const Reader& r, const uint8_t* at, const int32_t* idx, int32_t count) {
    int32_t first = idx[0];
    if (first < 0 || first >= length_of(r.block) - r.base) corrupt(r, at);
    Cell cur = *block::node_cell(r.block, r.base + first);
    for (int32_t k = 1; k < count; k++) {
        int32_t i = idx[k];
        uint8_t t = cur.type();
        Node series = 0;
        const Cell* fn = nullptr;
        if (types::any_block(t) || t == TYPE_MAP) {
            series = cur.node();
        } else if (types::word_like(t)) {
            Node ctx = cur.data1;
            if (!ctx) corrupt(r, at);
            if (context::values_on_stack(ctx)) {
                if (context::owner_of(ctx)->type() != TYPE_FUNCTION) corrupt(r, at);
                fn = context::owner_of(ctx);
            } else {
                series = context::cell_of(ctx)->data2;
            }
        } else if (t == TYPE_NATIVE || t == TYPE_ACTION) {
            series = cur.data2;
        } else if (t == TYPE_OP && native::op_wrapped(&cur) != TYPE_FUNCTION) {
            // The writer numbers an op! as the value it wraps: a native's spec cells, as for
            // the native itself.
            series = cur.data2;
        } else if (t == TYPE_OP || t == TYPE_FUNCTION) {
            fn = &cur;
        } else if (t == TYPE_OBJECT) {
            if (context::values_on_stack(cur.data1)) corrupt(r, at);
            series = context::cell_of(cur.data1)->data2;
        } else if (t == TYPE_ERROR) {
            series = context::cell_of(cur.data1)->data2;
            if (i < 0 || i > 5) corrupt(r, at);
            i += 3;
        } else {
            corrupt(r, at);
        }
        if (fn) {
            Cell f = *fn;
            if (i == 1) {
                // An op! of a function keeps the function's body, where the writer numbers it.
                Cell body = *block::node_cell(f.data3, function::MORE_BODY);
                if (body.type() != TYPE_BLOCK) corrupt(r, at);
                cur = body;
            } else if (i == 0) {
                if (k + 1 < count) {
                    int32_t j = idx[++k];
                    if (j < 0 || j >= length_of(f.data2)) corrupt(r, at);
                    cur = *block::node_cell(f.data2, j);
                } else {
                    block::make_at(&cur, f.data2);
                }
            } else {
                corrupt(r, at);
            }
            continue;
        }
        if (!series || i < 0 || i >= length_of(series)) corrupt(r, at);
        cur = *block::node_cell(series, i);
    }
    return cur;
}

// A reference path: compact, a varint count and varint steps; plain, the reference header, a
// count and dword steps.
template <bool Plain>
Cell read_path(const Reader& r, const uint8_t*& p, const uint8_t* stop) {
    const uint8_t* at = p;
    int64_t n;
    if constexpr (Plain) {
        if (stop - p < 8 || rd32(p) != kPlainReference) corrupt(r, at);
        n = rd32(p + 4);
        if (n < 1 || n > kMaxPath || n * 4 > stop - p - 8) corrupt(r, at);
        p += 8;
    } else {
        n = read_varint(r, p, stop);
        if (n < 1 || n > kMaxPath || n > stop - p) corrupt(r, at);
    }
    if (path_buffer.size() < size_t(n)) path_buffer.resize(size_t(n) + 32);
    for (int64_t k = 0; k < n; k++)
        path_buffer[size_t(k)] = Plain ? static_cast<int32_t>(take32(p)) : read_varint(r, p, stop);
    return resolve(r, at, path_buffer.data(), static_cast<int32_t>(n));
}

// A shared series record: a copy of the found value with this record's type and head where the
// kinds agree.
Cell share_series(const Reader& r, const uint8_t* at, const Cell& found, uint8_t type, int32_t head) {
    uint8_t ft = found.type();
    Cell c = found;
    if (!shareable(ft)) corrupt(r, at);
    if (block_like(type)) {
        if (ft == TYPE_NATIVE || ft == TYPE_ACTION || ft == TYPE_OP || ft == TYPE_FUNCTION) {
            set_cell(&c, type, 0, found.data2);
        } else if (types::any_block(ft)) {
            set_cell(&c, type, 0, found.data2);
        } else {
            corrupt(r, at);
        }
    } else if (types::any_string(type)) {
        if (!types::any_string(ft)) corrupt(r, at);
        set_cell(&c, type, 0, found.data2);
    } else if (type == TYPE_BINARY || type == TYPE_HASH || type == TYPE_MAP || type == TYPE_VECTOR ||
               type == TYPE_BITSET || type == TYPE_IMAGE) {
        if (ft != type) corrupt(r, at);
        c.header = ft;
    } else {
        corrupt(r, at);
    }
    if (type == TYPE_IMAGE) {
        int32_t len = image::count_of(&c);
        c.set_index(head < len ? head : len);
    } else if (type != TYPE_MAP && type != TYPE_BITSET) {
        int32_t len = static_cast<int32_t>(memory::nodes[c.node()]->length());
        c.set_index(head < len ? head : len);
    }
    return c;
}

// ---- Shared building steps of both record forms ----

void check_codepoints(const Reader& r, const uint8_t* at, const uint8_t* bytes, int64_t n, uint32_t unit) {
    if (unit != 4) return;
    for (int64_t i = 0; i < n; i++)
        if (rd32(bytes + 4 * i) > unicode::kMaxCodepoint) corrupt(r, at);
}

Cell make_text(uint8_t type, const uint8_t* bytes, int32_t n, uint32_t unit, int32_t head) {
    Cell c;
    if (type == TYPE_BINARY) {
        binary::make_at(&c, n);
    } else {
        c.header = 0;
        string::make_at_unit(&c, n, unit);
        c.set_type(type);
    }
    SeriesBuf* b = memory::nodes[c.node()];
    if (n) std::memcpy(b->at_head(), bytes, size_t(n) * unit);
    b->tail = b->head + uint32_t(n) * unit;
    c.set_index(head < n ? head : n);
    return c;
}

bool valid_vector(int type, uint32_t unit) {
    if (type == TYPE_CHAR || type == TYPE_INTEGER) return unit == 1 || unit == 2 || unit == 4;
    if (type == TYPE_FLOAT || type == TYPE_PERCENT) return unit == 4 || unit == 8;
    return false;
}

Cell make_vector(int type, uint32_t unit, const uint8_t* bytes, int32_t n, int32_t head) {
    Cell c;
    vector::make_at(&c, n, type, unit);
    SeriesBuf* b = memory::nodes[c.node()];
    if (n) std::memcpy(b->at_head(), bytes, size_t(n) * unit);
    b->tail = b->head + uint32_t(n) * unit;
    c.set_index(head < n ? head : n);
    return c;
}

Cell make_bitset(const uint8_t* bytes, int32_t n, bool complemented) {
    Cell c;
    bitset::make_at(&c, uint32_t(n));
    SeriesBuf* b = memory::nodes[c.node()];
    if (n) std::memcpy(b->at_head(), bytes, size_t(n));
    if (complemented) b->flags |= series_flag::complement;
    return c;
}

Cell make_image(const uint8_t* pixels, int32_t width, int32_t height, int32_t head) {
    Cell c;
    image::make_from_pixels(&c, width, height, pixels);
    int32_t n = width * height;
    c.set_index(head < n ? head : n);
    return c;
}

bool valid_date(uint32_t packed, double t) {
    int m = date::month_of(packed), d = date::day_of(packed);
    if (m < 1 || m > 12 || d < 1 || d > date::days_in_month(date::year_of(packed), m)) return false;
    if (!date::has_time(packed)) return t == 0.0 && !(packed & date::zone_mask);
    // A west sign on a zone of no offset would be written "-00:00".
    if ((packed & date::zone_mask) == date::zone_sign) return false;
    // Every date made holds a clock reading within its day; another one is no date.
    double local = date::to_local(t, packed & date::zone_mask);
    return local >= 0.0 && local < 86400.0;
}

bool valid_money(const uint8_t* payload12) {
    if (payload12[0] > money::currency_count()) return false;
    for (int i = 1; i < 12; i++)
        if ((payload12[i] >> 4) > 9 || (payload12[i] & 15) > 9) return false;
    return true;
}

// Enters the key/value cells decoded into a map's block in its table. The map cell was made
// before its contents, so that a reference inside it to itself finds a map.
void finish_map(const Reader& r, const uint8_t* at, Node into, int32_t pos) {
    Cell m = *at_(into, pos);
    Node entries = m.node();
    int32_t n = length_of(entries);
    if (n & 1) corrupt(r, at);
    for (int32_t i = 0; i < n; i += 2) {
        Cell* k = block::node_cell(entries, i);
        if (!map::valid_key_q(k->type())) corrupt(r, at);
        map::preprocess_key(k);
    }
    // The entries come from a map, where keys that differ only in letter case can be distinct
    // (put/case): only keys that are strictly equal are one entry.
    hashtable::put_all(m.data3, 0, 2, COMP_STRICT_EQUAL);
}

// The live native! or action! of an index, when start-up has defined it.
const Cell* live_function(Reader& r, uint8_t type, int32_t n) {
    if (type == TYPE_NATIVE) {
        const Cell* v = natives::value_of(n);
        return v && v->type() == TYPE_NATIVE ? v : nullptr;
    }
    if (!r.actions_known) {
        r.actions_known = true;
        r.actions.assign(kActionCount + 1, Cell{});
        Node g = context::global_node;
        const Cell* vals = context::values(g);
        int32_t count = context::count(g);
        for (int32_t i = 0; vals && i < count; i++) {
            const Cell& v = vals[i];
            if (v.type() == TYPE_ACTION && v.i1() >= 1 && v.i1() <= kActionCount && !r.actions[size_t(v.i1())].header)
                r.actions[size_t(v.i1())] = v;
        }
    }
    const Cell& v = r.actions[size_t(n)];
    return v.header ? &v : nullptr;
}

bool valid_function_index(uint8_t type, int32_t n) {
    if (type == TYPE_ACTION) return n >= 1 && n <= kActionCount;
    return n >= 1 && n < natives::counter;
}

// A native! or action! cell from its index and a decoded spec block: the live value when there
// is one, so that a forged spec cannot give a built-in routine arguments it does not expect.
Cell make_native(Reader& r, uint8_t type, int32_t n, const Cell& spec) {
    const Cell* live = live_function(r, type, n);
    Cell c;
    if (live) {
        c = *live;
        c.header = type;
        return c;
    }
    native::make_at(&c, type, &spec, n);
    return c;
}

// Checks a decoded function: its spec must be valid and its context must hold exactly the words
// a context made from the spec holds, in that order, so that calls find their arguments.
void check_function(const Reader& r, const uint8_t* at, Cell fn) {
    collector::Root keep_fn(&fn);
    Cell spec;
    block::make_at(&spec, fn.data2);
    collector::Root keep(&spec);
    function::validate_spec(&spec);
    Node made = context::make(&spec, true, false, context::KIND_FUNCTION);
    Node ctx = fn.data1;
    int32_t n = context::count(ctx);
    if (context::count(made) != n) corrupt(r, at);
    for (int32_t i = 0; i < n; i++)
        if (context::word_at_node(made, i)->data2 != context::word_at_node(ctx, i)->data2) corrupt(r, at);
}

// Turns the last cell of a block into an op! of it.
void make_op(const Reader& r, const uint8_t* at, Node into, int32_t pos) {
    Cell f = *at_(into, pos);
    uint8_t t = f.type();
    if (t == TYPE_ROUTINE) no_codec_type(TYPE_ROUTINE);
    if (t != TYPE_NATIVE && t != TYPE_ACTION && t != TYPE_FUNCTION) corrupt(r, at);
    if (!native::op_valid_spec_q(f.data2)) corrupt(r, at);
    Cell op = f;
    op.header = TYPE_OP | (uint32_t(t) << 16) | (f.header & cell_flag::newline);
    if (t == TYPE_FUNCTION) *block::node_cell(f.data3, function::MORE_OP) = f;
    *at_(into, pos) = op;
}

// An error! value of a code; a code the catalog does not have is corrupt.
Cell make_error(const Reader& r, const uint8_t* at, int32_t code) {
    Cell spec, out;
    set_cell(&spec, TYPE_INTEGER, static_cast<uint32_t>(code));
    set_cell(&out, TYPE_NONE);
    collector::Root keep(&out);
    stack::Saved saved = stack::save();
    stack::mark_named(stack::body_symbol, FRAME_TRY);
    uint32_t thrown = catch_frame(codes::error, [&] { error::make(&out, &spec, TYPE_ERROR); });
    stack::restore(saved);
    if (thrown) {
        runtime::sys.thrown = 0;
        corrupt(r, at);
    }
    return out;
}

// Sets the word at (into, pos) to the last cell of the block and cuts the block back to pos.
void set_pair(const Reader& r, const uint8_t* at, Node into, int32_t pos) {
    if (length_of(into) != pos + 2) corrupt(r, at);
    Cell w = *at_(into, pos), v = *at_(into, pos + 1);
    collector::Root k1(&w), k2(&v);
    if (w.type() != TYPE_ISSUE) {
        block::set_tail(into, pos);
        context::set_in(&w, &v, w.data1, false);
    }
    block::set_tail(into, pos);
}

template <bool Plain>
const uint8_t* decode_record(Reader& r, const uint8_t* p, const uint8_t* stop, Node into);

// ======================================================================================
// Record bodies both forms share
// ======================================================================================
//
// A record's values and the steps that build them are the same in both forms; the forms differ
// in how numbers, counts and headers are written and in which byte an error is blamed on. The
// readers below take the form as a template argument (Plain) and read those parts by it.

// Reads n records into a block node.
template <bool Plain>
inline const uint8_t* decode_n(Reader& r, const uint8_t* p, const uint8_t* stop, Node into, int64_t n) {
    for (int64_t i = 0; i < n; i++) p = decode_record<Plain>(r, p, stop, into);
    return p;
}

// The cell count of a block-like record. A plain count is blamed on the record's start (at).
template <bool Plain>
inline int32_t read_block_count(const Reader& r, const uint8_t* at, const uint8_t*& p, const uint8_t* stop) {
    if constexpr (Plain) {
        need(r, at, p, stop, 4);
        uint32_t n = take32(p);
        if (n > uint32_t(stop - p) / 4) corrupt(r, at);
        return int32_t(n);
    } else {
        return read_count(r, p, stop);
    }
}

template <bool Plain>
inline int32_t read_symbol(Reader& r, const uint8_t*& p, const uint8_t* stop) {
    const uint8_t* at = p;
    int64_t i = Plain ? int64_t(take32(p)) : read_varint(r, p, stop);
    return symbol_at(r, at, i);
}

// Appends a finished cell with the record's new-line mark.
inline void put(Node into, Cell c, bool newline) {
    if (newline) c.header |= cell_flag::newline;
    append(into, c);
}

// A series record that shares the series of a value read before.
template <bool Plain>
const uint8_t* read_shared(Reader& r, const uint8_t* at, const uint8_t* p, const uint8_t* stop, Node into,
                           uint8_t type, int32_t head, bool newline) {
    Cell found = read_path<Plain>(r, p, stop);
    put(into, share_series(r, at, found, type, head), newline);
    return p;
}

// The flags and word count of a context record: compact, a flags byte and a count after the
// typed header the caller has read; plain, a header dword holding the flags, then the count.
struct ContextHead {
    int32_t count;
    int kind;
    bool option;
    bool no_storage;
    bool values;
};

template <bool Plain>
inline ContextHead read_context_head(const Reader& r, const uint8_t* at, const uint8_t*& p, const uint8_t* stop) {
    ContextHead head;
    if constexpr (Plain) {
        need(r, at, p, stop, 4);
        uint32_t h = take32(p);
        if ((h & 0xFF) != TYPE_CONTEXT) corrupt(r, at);
        head.kind = int((h >> 26) & 3);
        head.option = h & (1u << 28);
        head.no_storage = h & (1u << 29);
        head.values = h & (1u << 30);
    } else {
        uint8_t flags = read_u8(r, p, stop);
        head.kind = flags & 3;
        head.no_storage = flags & 4;
        head.option = flags & 8;
        head.values = flags & 16;
    }
    head.count = read_block_count<Plain>(r, at, p, stop);
    return head;
}

// A context record. make_owner builds the owner cell from the new context; it is stored in the
// context's owner slot and, with append_to set, appended there. Answers the position after the
// record.
template <bool Plain, class MakeOwner>
const uint8_t* read_context(Reader& r, const uint8_t* p, const uint8_t* stop, int required_kind, bool want_storage,
                            MakeOwner make_owner, Node append_to, int32_t* appended_at) {
    const uint8_t* at = p;
    ContextHead head = read_context_head<Plain>(r, at, p, stop);
    int32_t m = head.count;
    if (head.kind != required_kind || head.no_storage == want_storage) corrupt(r, at);
    Node ctx = context::create(m, head.no_storage, head.option, 0, head.kind);
    std::optional<collector::NodeRoot> keep;
    keep.emplace(&ctx);
    Cell owner = make_owner(ctx);
    std::optional<collector::Root> keep_owner;
    keep_owner.emplace(&owner);
    *context::owner_of(ctx) = owner;
    bool reachable = append_to != 0;
    if (r.patch_node) {
        at_(r.patch_node, r.patch_index)->data1 = ctx;
        r.patch_node = 0;
        reachable = true;
    }
    if (append_to) *appended_at = append(append_to, owner);
    for (int32_t i = 0; i < m; i++) {
        const uint8_t* sat = p;
        int32_t sym = read_symbol<Plain>(r, p, stop);
        int32_t index;
        if (context::add_word(ctx, sym, false, &index) != -1) corrupt(r, sat);
    }
    if (reachable) {
        // Held by append_to or by the word that binds to it from here on; guards held across
        // the nested records would use one per level, and deeply nested objects would run out.
        keep_owner.reset();
        keep.reset();
    }
    if (!head.no_storage) {
        Node vals = context::cell_of(ctx)->data2;
        if (head.values) {
            p = decode_n<Plain>(r, p, stop, vals, m);
        } else {
            Cell unset;
            set_cell(&unset, TYPE_UNSET);
            for (int32_t i = 0; i < m; i++) block::append_cell(vals, &unset);
        }
    }
    return p;
}

const uint8_t* expect_typed(const Reader& r, const uint8_t*& p, const uint8_t* stop, int type, bool* flag) {
    const uint8_t* at = p;
    uint8_t h = read_u8(r, p, stop);
    if (h >= 0x80 || (h & 0x3F) != type) corrupt(r, at);
    if (flag) *flag = h & 0x40;
    return at;
}

// An object! body (after its header): class id, with extra the two handler numbers, and the
// context. Answers the object cell; appended to into unless into is 0.
template <bool Plain>
const uint8_t* read_object(Reader& r, const uint8_t* p, const uint8_t* stop, bool extra, Node into, Cell* result) {
    int32_t class_id;
    if constexpr (Plain) {
        need(r, p, p, stop, extra ? 12 : 4);
        class_id = static_cast<int32_t>(take32(p));
        if (extra) p += 8;
    } else {
        class_id = read_svarint(r, p, stop);
        if (extra) {
            read_svarint(r, p, stop);
            read_svarint(r, p, stop);
        }
        expect_typed(r, p, stop, TYPE_CONTEXT, nullptr);
    }
    if (codec_mode) class_id = -1;
    int32_t pos = -1;
    Node ctx = 0;
    p = read_context<Plain>(
        r, p, stop, context::KIND_OBJECT, true,
        [&](Node c) {
            ctx = c;
            Cell o;
            set_cell(&o, TYPE_OBJECT, c, static_cast<uint32_t>(class_id), 0);
            return o;
        },
        into, &pos);
    collector::NodeRoot keep_ctx(&ctx);
    Cell o = *context::owner_of(ctx);
    if (extra) {
        collector::Root keep(&o);
        object::init_owner(&o);
        if (into) *at_(into, pos) = o;
    }
    *result = o;
    return p;
}

// Reads the spec or body block of a function into a prepared node, or takes a block read before.
template <bool Plain>
const uint8_t* read_function_block(Reader& r, const uint8_t* p, const uint8_t* stop, Node target, bool is_body,
                                   Node fn_ctx) {
    const uint8_t* at = p;
    bool shared = false;
    if constexpr (Plain) {
        need(r, at, p, stop, 8);
        uint32_t h = take32(p);
        if ((h & 0xFF) != TYPE_BLOCK) corrupt(r, at);
        p += 4;  // head
        shared = h & kPlainShared;
    } else {
        while (p < stop && (*p == 0xC0 || *p == 0xC1)) shared |= *p++ == 0xC1;
        bool flag;
        expect_typed(r, p, stop, TYPE_BLOCK, &flag);
        read_head(r, p, stop, flag);
    }
    if (shared) {
        Cell found = read_path<Plain>(r, p, stop);
        if (found.type() != TYPE_BLOCK) corrupt(r, at);
        Cell fn = *context::owner_of(fn_ctx);
        if (is_body) {
            block::node_cell(fn.data3, function::MORE_BODY)->data2 = found.node();
        } else {
            fn.data2 = found.node();
            *context::owner_of(fn_ctx) = fn;
        }
        return p;
    }
    int32_t n = read_block_count<Plain>(r, at, p, stop);
    return decode_n<Plain>(r, p, stop, target, n);
}

// A function! body (after its header): spec and body lengths, context, spec, body. The cell is
// appended to into unless into is 0.
template <bool Plain>
const uint8_t* read_function(Reader& r, const uint8_t* p, const uint8_t* stop, Node into, Cell* result) {
    const uint8_t* at = p;
    int32_t a, b;
    if constexpr (Plain) {
        need(r, at, p, stop, 8);
        uint32_t ua = take32(p), ub = take32(p);
        if (ua > uint32_t(stop - p) / 4 || ub > uint32_t(stop - p) / 4) corrupt(r, at);
        a = int32_t(ua);
        b = int32_t(ub);
    } else {
        a = read_count(r, p, stop);
        b = read_count(r, p, stop);
        expect_typed(r, p, stop, TYPE_CONTEXT, nullptr);
    }
    int32_t pos = -1;
    Node ctx = 0;
    // Appended to into, or bound to by the word being read: guarded by that while its spec and
    // body are read.
    bool reachable = into || r.patch_node;
    p = read_context<Plain>(
        r, p, stop, context::KIND_FUNCTION, false,
        [&](Node c) {
            ctx = c;
            Node spec = block::make_node(a);
            collector::NodeRoot keep_spec(&spec);
            Cell body;
            block::make_new(&body, b);
            Cell fn;
            function::make_with(&fn, spec, &body, c, 0);
            return fn;
        },
        into, &pos);
    std::optional<collector::NodeRoot> keep;
    if (!reachable) keep.emplace(&ctx);
    Cell fn = *context::owner_of(ctx);
    p = read_function_block<Plain>(r, p, stop, fn.data2, false, ctx);
    fn = *context::owner_of(ctx);
    Node body = block::node_cell(fn.data3, function::MORE_BODY)->node();
    p = read_function_block<Plain>(r, p, stop, body, true, ctx);
    check_function(r, at, *context::owner_of(ctx));
    fn = *context::owner_of(ctx);
    if (into) {
        Cell* slot = at_(into, pos);
        fn.header = (fn.header & ~cell_flag::newline) | (slot->header & cell_flag::newline);
        *slot = fn;
    }
    *result = fn;
    return p;
}

// A word of the boot image bound by number: c is the position of the decoded value whose
// context holds it, i its index there (-1: found by name).
inline Cell boot_word(const Reader& r, const uint8_t* at, uint8_t type, int32_t sym, int32_t c, int32_t i) {
    if (c < 0 || c >= length_of(r.block) - r.base) corrupt(r, at);
    Node ctx = context_of(*at_(r.block, r.base + c));
    if (!ctx) corrupt(r, at);
    if (i == -1)
        i = context::find_word(ctx, sym, false);
    else if (i < 0 || i >= context::count(ctx))
        corrupt(r, at);
    Cell w;
    set_cell(&w, type, ctx, static_cast<uint32_t>(sym), static_cast<uint32_t>(i));
    return w;
}

// A word bound to an object or function of the image (codec mode): by a path to its owner, or
// with the owner's record inline. Errors are blamed on at.
template <bool Plain>
const uint8_t* read_bound_word(Reader& r, const uint8_t* at, const uint8_t* p, const uint8_t* stop, Node into,
                               uint8_t type, int32_t sym, int32_t i, bool shared) {
    Cell w;
    Node ctx = 0;
    if (shared) {
        Cell found = read_path<Plain>(r, p, stop);
        ctx = context_of(found);
        if (!ctx) corrupt(r, at);
        set_cell(&w, type, ctx, static_cast<uint32_t>(sym), static_cast<uint32_t>(i));
        append(into, w);
    } else {
        // The word goes in first: paths inside its owner lead through it.
        set_cell(&w, type, context::global_node, static_cast<uint32_t>(sym), static_cast<uint32_t>(-1));
        int32_t pos = append(into, w);
        const uint8_t* oat = p;
        uint8_t ot;
        bool extra;
        if constexpr (Plain) {
            need(r, oat, p, stop, 4);
            uint32_t oh = take32(p);
            ot = oh & 0xFF;
            extra = oh & kPlainExtra;
            if (ot != TYPE_OBJECT && ot != TYPE_FUNCTION) corrupt(r, oat);
        } else {
            uint8_t h = read_u8(r, p, stop);
            ot = h & 0x3F;
            extra = h & 0x40;
            if (h >= 0x80 || (ot != TYPE_OBJECT && ot != TYPE_FUNCTION)) corrupt(r, oat);
        }
        r.patch_node = into;
        r.patch_index = pos;
        Cell owner;
        if (ot == TYPE_OBJECT)
            p = read_object<Plain>(r, p, stop, extra, 0, &owner);
        else
            p = read_function<Plain>(r, p, stop, 0, &owner);
        r.patch_node = 0;
        ctx = owner.data1;
        set_cell(&w, type, ctx, static_cast<uint32_t>(sym), static_cast<uint32_t>(i));
        *at_(into, pos) = w;
    }
    // -1 is a word bound without a slot: `self` in a method body reads the owner through it.
    if (i < -1 || i >= context::count(ctx)) corrupt(r, at);
    return p;
}

// The end of a word record at position pos of into: a set pair (pair_at, where a bad pair is
// blamed, not null) reads its value and leaves no cell; any other word takes its new-line mark.
template <bool Plain>
inline const uint8_t* end_word(Reader& r, const uint8_t* p, const uint8_t* stop, Node into, int32_t pos,
                               bool newline, const uint8_t* pair_at) {
    if (pair_at) {
        p = decode_record<Plain>(r, p, stop, into);
        set_pair(r, pair_at, into, pos);
        return p;
    }
    if (newline) at_(into, pos)->header |= cell_flag::newline;
    return p;
}

// A block-like or hash! record after its head.
template <bool Plain>
inline const uint8_t* read_block(Reader& r, const uint8_t* at, const uint8_t* p, const uint8_t* stop, Node into,
                                 uint8_t type, int32_t head, bool shared, bool newline) {
    if (shared) return read_shared<Plain>(r, at, p, stop, into, type, head, newline);
    int32_t n = read_block_count<Plain>(r, at, p, stop);
    Cell c;
    block::make_new(&c, n, type == TYPE_HASH ? uint8_t(TYPE_BLOCK) : type);
    if (newline) c.header |= cell_flag::newline;
    if (type == TYPE_HASH) {
        // Indexed while still empty, so that a reference inside it to itself finds a hash!.
        collector::Root keep(&c);
        Node table = hashtable::init(std::clamp(n, 1, 1 << 20), &c, hashtable::kHash, 0);
        c.set_type(TYPE_HASH);
        c.data3 = table;
    }
    int32_t pos = append(into, c);
    p = decode_n<Plain>(r, p, stop, c.node(), n);
    if (type == TYPE_HASH) hashtable::put_all(at_(into, pos)->data3, 0, 1);
    at_(into, pos)->set_index(head < n ? head : n);
    return p;
}

template <bool Plain>
const uint8_t* read_map(Reader& r, const uint8_t* at, const uint8_t* p, const uint8_t* stop, Node into, bool shared,
                        bool newline) {
    if (shared) return read_shared<Plain>(r, at, p, stop, into, TYPE_MAP, 0, newline);
    int32_t n = read_block_count<Plain>(r, at, p, stop);
    Cell m;
    int32_t pos;
    {
        // Guarded only until the map is in into: a guard held across the nested records would
        // use one per level, and deeply nested maps would run out of them.
        Cell c;
        block::make_new(&c, n);
        collector::Root keep(&c);
        map::make_at(&m, c.node());
        collector::Root keep_m(&m);
        if (newline) m.header |= cell_flag::newline;
        pos = append(into, m);
    }
    p = decode_n<Plain>(r, p, stop, m.node(), n);
    finish_map(r, at, into, pos);
    return p;
}

// A context record on its own comes back as an object! of no class.
template <bool Plain>
const uint8_t* read_bare_context(Reader& r, const uint8_t* p, const uint8_t* stop, Node into, bool newline) {
    int32_t pos = -1;
    p = read_context<Plain>(
        r, p, stop, context::KIND_OBJECT, true,
        [&](Node ctx) {
            Cell o;
            set_cell(&o, TYPE_OBJECT, ctx, static_cast<uint32_t>(-1), 0);
            return o;
        },
        into, &pos);
    if (newline) at_(into, pos)->header |= cell_flag::newline;
    return p;
}

// An object! or function! record after its header: a path to one read before (a function also
// through the op! that wraps it), or the value itself.
template <bool Plain>
const uint8_t* read_owner_record(Reader& r, const uint8_t* at, const uint8_t* p, const uint8_t* stop, Node into,
                                 uint8_t type, bool extra, bool shared, bool newline) {
    if (shared) {
        Cell found = read_path<Plain>(r, p, stop);
        Cell c;
        if (type == TYPE_FUNCTION && found.type() == TYPE_OP && native::op_wrapped(&found) == TYPE_FUNCTION) {
            c = found;
            c.header = TYPE_FUNCTION;
        } else {
            Node ctx = context_of(found);
            if (!ctx || context::owner_of(ctx)->type() != type) corrupt(r, at);
            c = *context::owner_of(ctx);
            c.header &= ~cell_flag::newline;
        }
        put(into, c, newline);
        return p;
    }
    int32_t pos = length_of(into);
    Cell v;
    if (type == TYPE_OBJECT)
        p = read_object<Plain>(r, p, stop, extra, into, &v);
    else
        p = read_function<Plain>(r, p, stop, into, &v);
    if (newline) at_(into, pos)->header |= cell_flag::newline;
    return p;
}

// A native! or action! record after its index n (read at index_at): the spec block follows.
template <bool Plain>
const uint8_t* read_native(Reader& r, const uint8_t* index_at, int32_t n, const uint8_t* p, const uint8_t* stop,
                           Node into, uint8_t type, bool newline) {
    if (!valid_function_index(type, n)) corrupt(r, index_at);
    Cell* tmp = block::push_new(1);
    Node tmp_node = tmp->node();
    const uint8_t* sat = p;
    p = decode_record<Plain>(r, p, stop, tmp_node);
    Cell spec = *block::node_cell(tmp_node, 0);
    if (spec.type() != TYPE_BLOCK) corrupt(r, sat);
    Cell c = make_native(r, type, n, spec);
    stack::pop(1);
    put(into, c, newline);
    return p;
}

// An op! record: the record of the function it wraps follows.
template <bool Plain>
const uint8_t* read_op(Reader& r, const uint8_t* at, const uint8_t* p, const uint8_t* stop, Node into, bool newline) {
    int32_t pos = length_of(into);
    p = decode_record<Plain>(r, p, stop, into);
    make_op(r, at, into, pos);
    if (newline) at_(into, pos)->header |= cell_flag::newline;
    return p;
}

// An error! record after its code (read at code_at). The six fields arg1 .. stack decode
// straight into its values, so that a path through the error reaches the fields read so far.
template <bool Plain>
const uint8_t* read_error(Reader& r, const uint8_t* code_at, int32_t code, const uint8_t* p, const uint8_t* stop,
                          Node into, bool newline) {
    Cell e = make_error(r, code_at, code);
    int32_t pos = append(into, e);
    Node vals = context::cell_of(e.data1)->data2;
    collector::NodeRoot keep(&vals);
    int32_t n = block::node_length(vals);
    if (n < error::FIELD_STACK + 1) corrupt(r, p);
    Cell rest = *block::push_new(n - error::FIELD_STACK - 1);
    Node rest_node = rest.node();
    for (int32_t i = error::FIELD_STACK + 1; i < n; i++) block::append_cell(rest_node, block::node_cell(vals, i));
    block::set_tail(vals, error::FIELD_ARG1);
    p = decode_n<Plain>(r, p, stop, vals, 6);
    // An integer in stack is a depth of this process's frame stack, which forming the error
    // walks: one from an image means nothing here.
    Cell* stack_field = block::node_cell(vals, error::FIELD_STACK);
    if (stack_field->type() == TYPE_INTEGER) set_cell(stack_field, TYPE_NONE);
    block::append_block(vals, &rest);
    stack::pop(1);
    if (newline) at_(into, pos)->header |= cell_flag::newline;
    return p;
}

// ======================================================================================
// Record headers
// ======================================================================================

// What a record's header says, in either form.
struct Header {
    const uint8_t* at;   // the record's first byte
    const uint8_t* hat;  // where a bad type is blamed: the header byte (compact), the record (plain)
    uint32_t bits;       // plain: the header dword, whose flag bits depend on the type
    int type;
    bool flag;     // compact: the header's one flag bit
    bool newline;
    bool shared;
    bool pair;     // compact: a set pair (boot images)
};

// Prefix bytes and a header byte. A value the header byte holds alone (a small integer, a logic
// value, a back-reference) is appended at once: answers false then.
inline bool read_header_compact(Reader& r, const uint8_t*& p, const uint8_t* stop, Node into, Header& hd) {
    hd.at = p;
    if (p >= stop) corrupt(r, p);
    bool newline = false, shared = false, pair = false;
    while (*p == 0xC0 || *p == 0xC1 || *p == 0xC4) {
        if (*p == 0xC0) newline = true;
        if (*p == 0xC1) shared = true;
        if (*p == 0xC4) {
            if (codec_mode) corrupt(r, p);
            pair = true;
        }
        p++;
        if (p >= stop) corrupt(r, p);
    }
    const uint8_t* hat = p;
    uint8_t h = *p++;
    if (h >= 0x80) {
        if (shared || pair) corrupt(r, hat);
        Cell c;
        if (h <= 0xBF) {
            set_cell(&c, TYPE_INTEGER, h - 0x80u);
        } else if (h == 0xC2 || h == 0xC3) {
            set_cell(&c, TYPE_LOGIC, h == 0xC2);
        } else if (h == 0xFF) {
            c = read_path<false>(r, p, stop);
            c.header &= ~cell_flag::newline;
        } else {
            corrupt(r, hat);
        }
        put(into, c, newline);
        return false;
    }
    int type = h & 0x3F;
    if (type == 63) type = read_varint(r, p, stop);
    if (type <= 0 || type > 255) corrupt(r, p);
    if (pair && (type < TYPE_WORD || type > TYPE_ISSUE)) corrupt(r, hat);
    if (unsupported_type(type)) no_codec_type(type);
    hd = {hd.at, hat, 0, type, (h & 0x40) != 0, newline, shared, pair};
    return true;
}

// A header dword (zero dwords before it are padding). A reference record is appended at once:
// answers false then.
inline bool read_header_plain(Reader& r, const uint8_t*& p, const uint8_t* stop, Node into, Header& hd) {
    const uint8_t* at;
    uint32_t h;
    do {
        at = p;
        need(r, at, p, stop, 4);
        h = take32(p);
    } while (h == 0);
    int type = h & 0xFF;
    bool newline = h & kPlainNewline;
    if (type == int(kPlainReference)) {
        p -= 4;
        Cell c = read_path<true>(r, p, stop);
        c.header &= ~cell_flag::newline;
        put(into, c, newline);
        return false;
    }
    if (unsupported_type(type)) no_codec_type(type);
    if (!supported_type(type) && type != TYPE_LOGIC) corrupt(r, at);
    hd = {at, at, h, type, false, newline, (h & kPlainShared) != 0, false};
    return true;
}

// ======================================================================================
// Compact words
// ======================================================================================

// A word record after its header; errors are blamed on the symbol.
const uint8_t* read_word(Reader& r, const uint8_t* p, const uint8_t* stop, Node into, uint8_t type, bool flag,
                         bool shared) {
    const uint8_t* at = p;
    int32_t sym = read_symbol<false>(r, p, stop);
    Cell w;
    if (type == TYPE_ISSUE) {
        set_cell(&w, TYPE_ISSUE, context::global_node, static_cast<uint32_t>(sym), static_cast<uint32_t>(-1));
        append(into, w);
        return p;
    }
    if (!flag) {
        word::make_global(&w, sym, type);
        append(into, w);
        return p;
    }
    if (!codec_mode) {
        int32_t c = read_varint(r, p, stop);
        int32_t i = read_svarint(r, p, stop);
        append(into, boot_word(r, at, type, sym, c, i));
        return p;
    }
    int32_t i = read_svarint(r, p, stop);
    return read_bound_word<false>(r, at, p, stop, into, type, sym, i, shared);
}

// ======================================================================================
// Plain series and words
// ======================================================================================

// The head of a series record: a dword, never negative.
inline int32_t read_plain_head(const Reader& r, const uint8_t* at, const uint8_t*& p, const uint8_t* stop) {
    need(r, at, p, stop, 4);
    int32_t head = static_cast<int32_t>(take32(p));
    if (head < 0) corrupt(r, at);
    return head;
}

// A count of elements of unit bytes, all of which the record must hold.
inline int32_t plain_elements(const Reader& r, const uint8_t* at, const uint8_t* p, const uint8_t* stop, uint32_t n,
                              uint32_t unit) {
    if (n > 0x7FFFFFFFu || int64_t(n) * unit > stop - p) corrupt(r, at);
    return int32_t(n);
}

// Series bytes are padded to a dword boundary of the records area.
inline const uint8_t* skip_padding(const Reader& r, const uint8_t* at, const uint8_t* p, const uint8_t* stop) {
    const uint8_t* q = p + ((4 - ((p - r.records) & 3)) & 3);
    if (q > stop) corrupt(r, at);
    return q;
}

// A word record after its header dword h; errors are blamed on the record (at).
const uint8_t* read_word_plain(Reader& r, const uint8_t* at, const uint8_t* p, const uint8_t* stop, Node into,
                               uint32_t h) {
    uint8_t type = h & 0xFF;
    need(r, at, p, stop, codec_mode ? 8 : 12);
    int32_t sym = symbol_at(r, at, int64_t(take32(p)));
    Cell w;
    if (!codec_mode) {
        int32_t c = static_cast<int32_t>(take32(p));
        int32_t i = static_cast<int32_t>(take32(p));
        if (c == -1)
            word::make_global(&w, sym, type);
        else
            w = boot_word(r, at, type, sym, c, i);
        append(into, w);
        return p;
    }
    int32_t i = static_cast<int32_t>(take32(p));
    if (h & kPlainGlobal) {
        word::make_global(&w, sym, type);
        append(into, w);
        return p;
    }
    return read_bound_word<true>(r, at, p, stop, into, type, sym, i, h & kPlainShared);
}

// ======================================================================================
// Records
// ======================================================================================

template <bool Plain>
inline int32_t read_series_head(const Reader& r, const uint8_t* at, const uint8_t*& p, const uint8_t* stop, bool flag) {
    if constexpr (Plain)
        return read_plain_head(r, at, p, stop);
    else
        return read_head(r, p, stop, flag);
}

// A dword of fixed data: the plain record has checked its length already.
template <bool Plain>
inline uint32_t fixed32(const Reader& r, const uint8_t*& p, const uint8_t* stop) {
    if constexpr (Plain)
        return take32(p);
    else
        return read_fixed32(r, p, stop);
}

// A number the compact form writes as a varint, the plain one as a dword; *field_at is where a bad
// value is blamed: the field (compact) or the record (plain).
template <bool Plain>
inline int32_t read_number(const Reader& r, const uint8_t* at, const uint8_t*& p, const uint8_t* stop,
                           const uint8_t** field_at) {
    if constexpr (Plain) {
        need(r, at, p, stop, 4);
        *field_at = at;
        return static_cast<int32_t>(take32(p));
    } else {
        *field_at = p;
        return read_varint(r, p, stop);
    }
}

// The unit and element count of a string-like or binary! record, checked against the bytes left
// (and for four-byte units, each codepoint).
template <bool Plain>
inline int32_t read_text_size(const Reader& r, const uint8_t* at, uint32_t h, uint8_t type, const uint8_t*& p,
                              const uint8_t* stop, uint32_t* unit) {
    int32_t n;
    if constexpr (Plain) {
        *unit = (h >> 8) & 0xFF;
        need(r, at, p, stop, 4);
        uint32_t count = take32(p);
        if (type == TYPE_BINARY ? *unit != 1 : (*unit != 1 && *unit != 2 && *unit != 4)) corrupt(r, at);
        n = plain_elements(r, at, p, stop, count, *unit);
        check_codepoints(r, at, p, n, *unit);
    } else if (type == TYPE_BINARY) {
        *unit = 1;
        n = read_count(r, p, stop);
    } else {
        // The count and the unit's shift in one varint.
        const uint8_t* eat = p;
        int32_t e = read_varint(r, p, stop);
        if (e < 0 || (e & 3) == 3) corrupt(r, eat);
        *unit = 1u << (e & 3);
        n = e >> 2;
        if (int64_t(n) * *unit > stop - p) corrupt(r, p);
        check_codepoints(r, eat, p, n, *unit);
    }
    return n;
}

// The unit, element type and count of a vector! record, checked against the bytes left.
template <bool Plain>
inline int32_t read_vector_size(const Reader& r, const uint8_t* at, uint32_t h, const uint8_t*& p,
                                const uint8_t* stop, uint32_t* unit, int* etype) {
    if constexpr (Plain) {
        *unit = (h >> 8) & 0xFF;
        need(r, at, p, stop, 8);
        uint32_t count = take32(p);
        *etype = int(take32(p));
        if (!valid_vector(*etype, *unit)) corrupt(r, at);
        int32_t n = plain_elements(r, at, p, stop, count, *unit);
        if (*etype == TYPE_CHAR) check_codepoints(r, at, p, n, *unit);
        return n;
    } else {
        // The element type and the unit's shift in one byte.
        const uint8_t* kat = p;
        uint8_t k = read_u8(r, p, stop);
        *unit = 1u << (k & 3);
        *etype = k >> 2;
        if (!valid_vector(*etype, *unit)) corrupt(r, kat);
        int32_t n = read_count(r, p, stop, *unit);
        // Wide char! elements must be codepoints, as the elements of wide text are.
        if (*etype == TYPE_CHAR) check_codepoints(r, kat, p, n, *unit);
        return n;
    }
}

// Reads one record and appends its value to into.
template <bool Plain>
const uint8_t* decode_record(Reader& r, const uint8_t* p, const uint8_t* stop, Node into) {
    guard_depth();
    Header hd;
    if constexpr (Plain) {
        if (!read_header_plain(r, p, stop, into, hd)) return p;
    } else {
        if (!read_header_compact(r, p, stop, into, hd)) return p;
    }
    const uint8_t* at = hd.at;
    const int type = hd.type;
    const uint32_t h = hd.bits;
    const bool flag = hd.flag, newline = hd.newline, shared = hd.shared;
    Cell c;
    switch (type) {
        case TYPE_DATATYPE: {
            int32_t t;
            if constexpr (Plain) {
                need(r, at, p, stop, 4);
                t = static_cast<int32_t>(take32(p));
                if (t < 1 || t > TYPE_EVENT) corrupt(r, at);
            } else {
                t = read_varint(r, p, stop);
                if (t < 1 || t > TYPE_EVENT) corrupt(r, p);
            }
            datatype::make_at(&c, t);
            break;
        }
        case TYPE_UNSET:
        case TYPE_NONE: set_cell(&c, uint8_t(type)); break;
        case TYPE_LOGIC:
            // Compact records hold logic values in the header byte alone.
            if constexpr (!Plain) corrupt(r, hd.hat);
            need(r, at, p, stop, 4);
            set_cell(&c, TYPE_LOGIC, take32(p) != 0);
            break;
        case TYPE_CHAR: {
            uint32_t cp;
            if constexpr (Plain) {
                need(r, at, p, stop, 4);
                cp = take32(p);
                if (cp > unicode::kMaxCodepoint) corrupt(r, at);
            } else {
                int32_t n = read_varint(r, p, stop);
                if (n < 0 || uint32_t(n) > unicode::kMaxCodepoint) corrupt(r, p);
                cp = uint32_t(n);
            }
            set_cell(&c, TYPE_CHAR, cp);
            break;
        }
        case TYPE_INTEGER:
            if constexpr (Plain) {
                need(r, at, p, stop, 4);
                set_cell(&c, TYPE_INTEGER, take32(p));
            } else {
                set_cell(&c, TYPE_INTEGER, uint32_t(read_svarint(r, p, stop)));
            }
            break;
        case TYPE_FLOAT:
        case TYPE_PERCENT:
        case TYPE_TIME: {
            if constexpr (Plain) {
                need(r, at, p, stop, 8);
                uint32_t hi = take32(p), lo = take32(p);
                set_cell(&c, uint8_t(type), 0, lo, hi);
            } else {
                // Whole numbers (hundredths for percent!) as a varint, others as the bits.
                double d;
                if (flag) {
                    int32_t n = read_svarint(r, p, stop);
                    d = type == TYPE_PERCENT ? n / 100.0 : double(n);
                } else {
                    uint32_t lo = read_fixed32(r, p, stop), hi = read_fixed32(r, p, stop);
                    uint64_t bits = uint64_t(hi) << 32 | lo;
                    std::memcpy(&d, &bits, 8);
                }
                set_cell(&c, uint8_t(type));
                c.set_f(d);
            }
            break;
        }
        case TYPE_TYPESET: {
            // Compact records drop the trailing zero bytes.
            int n = 12;
            if constexpr (Plain) {
                need(r, at, p, stop, 12);
            } else {
                n = read_u8(r, p, stop);
                if (n > 12 || n > stop - p) corrupt(r, p);
            }
            set_cell(&c, TYPE_TYPESET);
            std::memcpy(&c.data1, p, size_t(n));
            p += n;
            break;
        }
        case TYPE_PAIR: {
            uint32_t x, y;
            if constexpr (Plain) {
                need(r, at, p, stop, 8);
                x = take32(p);
                y = take32(p);
            } else {
                x = uint32_t(read_svarint(r, p, stop));
                y = uint32_t(read_svarint(r, p, stop));
            }
            set_cell(&c, TYPE_PAIR, 0, x, y);
            break;
        }
        case TYPE_TUPLE: {
            // Plain records hold all twelve bytes, compact ones only the tuple's.
            int n, size;
            if constexpr (Plain) {
                need(r, at, p, stop, 12);
                n = (h >> 8) & 0xFF;
                if (n < 1 || n > 12) corrupt(r, at);
                size = 12;
            } else {
                n = flag ? read_u8(r, p, stop) : 3;
                if (n < 1 || n > 12 || n > stop - p) corrupt(r, p);
                size = n;
            }
            set_cell(&c, TYPE_TUPLE);
            tuple::make_at(&c, p, n);
            p += size;
            break;
        }
        case TYPE_DATE: {
            if constexpr (Plain) {
                need(r, at, p, stop, 12);
                uint32_t packed = take32(p), hi = take32(p), lo = take32(p);
                set_cell(&c, TYPE_DATE, packed, lo, hi);
                if (!valid_date(packed, c.f())) corrupt(r, at);
            } else {
                // The time only when the date has one.
                const uint8_t* dat = p;
                uint32_t packed = read_fixed32(r, p, stop);
                double t = 0;
                if (date::has_time(packed) != flag) corrupt(r, p);
                if (flag) {
                    uint32_t lo = read_fixed32(r, p, stop), hi = read_fixed32(r, p, stop);
                    uint64_t bits = uint64_t(hi) << 32 | lo;
                    std::memcpy(&t, &bits, 8);
                }
                if (!valid_date(packed, t)) corrupt(r, dat);
                set_cell(&c, TYPE_DATE, packed);
                c.set_f(t);
            }
            break;
        }
        case TYPE_MONEY: {
            const uint8_t* bad = Plain ? at : p;
            if (stop - p < 12 || !valid_money(p)) corrupt(r, bad);
            set_cell(&c, TYPE_MONEY);
            std::memcpy(&c.data1, p, 12);
            money::set_sign(&c, Plain ? (h & kPlainNegative) != 0 : flag);
            p += 12;
            break;
        }
        case TYPE_POINT2D:
        case TYPE_POINT3D: {
            bool three = type == TYPE_POINT3D;
            if constexpr (Plain) need(r, at, p, stop, three ? 12 : 8);
            uint32_t x = fixed32<Plain>(r, p, stop), y = fixed32<Plain>(r, p, stop);
            uint32_t z = three ? fixed32<Plain>(r, p, stop) : 0;
            set_cell(&c, uint8_t(type), x, y, z);
            break;
        }
        case TYPE_ISSUE:
            if constexpr (Plain) {
                need(r, at, p, stop, 4);
                int32_t sym = symbol_at(r, at, int64_t(take32(p)));
                set_cell(&c, TYPE_ISSUE, context::global_node, static_cast<uint32_t>(sym), static_cast<uint32_t>(-1));
                break;
            }
            // Compact issues are read as words (and may be set pairs).
            [[fallthrough]];
        case TYPE_WORD:
        case TYPE_SET_WORD:
        case TYPE_LIT_WORD:
        case TYPE_GET_WORD:
        case TYPE_REFINEMENT: {
            int32_t pos = length_of(into);
            if constexpr (Plain) {
                if (codec_mode && r.nsyms == 0) corrupt(r, at);
                p = read_word_plain(r, at, p, stop, into, h);
                return end_word<true>(r, p, stop, into, pos, newline, !codec_mode && (h & kPlainGlobal) ? at : nullptr);
            } else {
                p = read_word(r, p, stop, into, uint8_t(type), flag, shared);
                return end_word<false>(r, p, stop, into, pos, newline, hd.pair ? hd.hat : nullptr);
            }
        }
        case TYPE_BLOCK:
        case TYPE_PAREN:
        case TYPE_PATH:
        case TYPE_LIT_PATH:
        case TYPE_SET_PATH:
        case TYPE_GET_PATH:
        case TYPE_HASH: {
            int32_t head = read_series_head<Plain>(r, at, p, stop, flag);
            return read_block<Plain>(r, at, p, stop, into, uint8_t(type), head, shared, newline);
        }
        case TYPE_MAP: return read_map<Plain>(r, at, p, stop, into, shared, newline);
        case TYPE_STRING:
        case TYPE_FILE:
        case TYPE_URL:
        case TYPE_TAG:
        case TYPE_EMAIL:
        case TYPE_REF:
        case TYPE_BINARY:
        case TYPE_VECTOR: {
            int32_t head = read_series_head<Plain>(r, at, p, stop, flag);
            if (shared) return read_shared<Plain>(r, at, p, stop, into, uint8_t(type), head, newline);
            uint32_t unit;
            int32_t n;
            if (type == TYPE_VECTOR) {
                int etype;
                n = read_vector_size<Plain>(r, at, h, p, stop, &unit, &etype);
                c = make_vector(etype, unit, p, n, head);
            } else {
                n = read_text_size<Plain>(r, at, h, uint8_t(type), p, stop, &unit);
                c = make_text(uint8_t(type), p, n, unit, head);
            }
            p += int64_t(n) * unit;
            if constexpr (Plain) p = skip_padding(r, at, p, stop);
            break;
        }
        case TYPE_IMAGE: {
            int32_t head = read_series_head<Plain>(r, at, p, stop, flag);
            if (shared) return read_shared<Plain>(r, at, p, stop, into, TYPE_IMAGE, head, newline);
            int32_t w, ht;
            if constexpr (Plain) {
                need(r, at, p, stop, 4);
                uint32_t size = take32(p);
                w = int32_t(size & 0xFFFF);
                ht = int32_t(size >> 16);
                if (int64_t(w) * ht * 4 > stop - p) corrupt(r, at);
            } else {
                const uint8_t* sat = p;
                w = read_varint(r, p, stop);
                ht = read_varint(r, p, stop);
                if (w < 0 || ht < 0 || w > image::kMaxSide || ht > image::kMaxSide || int64_t(w) * ht * 4 > stop - p)
                    corrupt(r, sat);
            }
            c = make_image(p, w, ht, head);
            p += int64_t(w) * ht * 4;
            break;
        }
        case TYPE_BITSET: {
            if (shared) return read_shared<Plain>(r, at, p, stop, into, TYPE_BITSET, 0, newline);
            int32_t n;
            bool complemented;
            if constexpr (Plain) {
                need(r, at, p, stop, 4);
                uint32_t count = take32(p);
                if (count >= (1u << 28) || int64_t(count) > stop - p) corrupt(r, at);
                n = int32_t(count);
                complemented = h & kPlainComplement;
            } else {
                n = read_count(r, p, stop);
                if (n >= (1 << 28)) corrupt(r, p);
                complemented = flag;
            }
            c = make_bitset(p, n, complemented);
            p += n;
            if constexpr (Plain) p = skip_padding(r, at, p, stop);
            break;
        }
        // A plain context record's head is its header dword: it is read again from the start.
        case TYPE_CONTEXT: return read_bare_context<Plain>(r, Plain ? at : p, stop, into, newline);
        case TYPE_OBJECT:
        case TYPE_FUNCTION: {
            bool extra = Plain ? (h & kPlainExtra) != 0 : flag;
            return read_owner_record<Plain>(r, at, p, stop, into, uint8_t(type), extra, shared, newline);
        }
        case TYPE_NATIVE:
        case TYPE_ACTION: {
            const uint8_t* index_at;
            int32_t n = read_number<Plain>(r, at, p, stop, &index_at);
            return read_native<Plain>(r, index_at, n, p, stop, into, uint8_t(type), newline);
        }
        case TYPE_OP: return read_op<Plain>(r, at, p, stop, into, newline);
        case TYPE_ERROR: {
            const uint8_t* code_at;
            int32_t code = read_number<Plain>(r, at, p, stop, &code_at);
            return read_error<Plain>(r, code_at, code, p, stop, into, newline);
        }
        default: corrupt(r, hd.hat);
    }
    put(into, c, newline);
    return p;
}

// ---- Container ----

[[noreturn]] void invalid_data(const Cell* arg) {
    Cell a;
    if (arg)
        a = *arg;
    else
        set_cell(&a, TYPE_NONE);
    fire(err::script::invalid_data, &a);
}

[[noreturn]] void boot_failure(const char* line) {
    output::write_text(line);
    output::write_text("\n");
    runtime::exit_with(0);
}

// The symbol table at p: n name offsets (dwords), then s bytes of names, each ending in a zero
// byte. Errors are blamed on at.
void take_symbols(Reader& r, const uint8_t* at, const uint8_t*& p, const uint8_t* end, int64_t n, int64_t s) {
    if (end) {
        int64_t left = end - p;
        if (n > left >> 2 || s > left - 4 * n) corrupt(r, at);
        if (s > 0 && p[4 * n + s - 1] != 0) corrupt(r, at);
    } else if (n > (1 << 24) || s > 0x7FFFFFFF) {
        corrupt(r, at);
    }
    r.offsets = p;
    r.names = p + 4 * n;
    r.nsyms = int32_t(n);
    r.names_size = int32_t(s);
    p += 4 * n + s;
}

void read_container(Reader& r, const uint8_t* p, const uint8_t* end, bool compact, bool has_symbols, Node block,
                    const Cell* invalid_arg) {
    int64_t body;
    if (compact) {
        const uint8_t* limit = end && end - p < 20 ? end : p + 20;
        read_varint(r, p, limit);
        body = read_varint(r, p, limit);
        if (has_symbols) {
            const uint8_t* lim2 = end && end - p < 20 ? end : p + 20;
            const uint8_t* at = p;
            int32_t n = read_varint(r, p, lim2);
            int32_t s = read_varint(r, p, lim2);
            if (n < 0 || s < 0) corrupt(r, at);
            take_symbols(r, at, p, end, n, s);
        }
    } else {
        if (end && end - p < 8) invalid_data(invalid_arg);
        body = rd32(p + 4);
        p += 8;
        if (has_symbols) {
            if (end && end - p < 8) corrupt(r, p);
            const uint8_t* at = p;
            uint32_t n = rd32(p), s = rd32(p + 4);
            p += 8;
            take_symbols(r, at, p, end, n, s);
        }
    }
    if (body < 0 || body > 0x7FFFFFFF || (end && body > end - p)) corrupt(r, p);
    const uint8_t* stop = p + body;
    r.symbols.assign(size_t(r.nsyms), 0);
    // Plain records are dword-aligned from the start of the records area.
    r.records = p;
    if (compact)
        while (p < stop) p = decode_record<false>(r, p, stop, block);
    else
        while (p < stop) p = decode_record<true>(r, p, stop, block);
}

// ======================================================================================
// Writers
// ======================================================================================

struct Writer {
    bool compact = true;
    std::vector<uint8_t> body;
    std::vector<int32_t> sym_ids;
    std::unordered_map<int32_t, int32_t> sym_index;
    std::string names;
    std::vector<uint32_t> offsets;
    // Tracking: the running index of the current level; the enclosing tracked values as a chain
    // of steps (each the running index saved when its value began, and the step of the value
    // around it), so that the path of a value is its step's chain read from the outermost; and
    // the step of every series, context and function written in full. A chain rather than a copy
    // of the index stack per value keeps deep nesting linear in memory.
    struct Step {
        int32_t index;
        int32_t parent;
    };
    int32_t running = 0;
    std::vector<Step> steps;
    int32_t top = -1;
    std::unordered_map<Node, int32_t> paths;
    std::vector<int32_t> scratch;
    std::vector<Node> errors;  // contexts of the errors being written

    // Images stay well inside what a binary! holds.
    static constexpr size_t kMaxImage = size_t(1) << 30;
    void check_size(size_t more) const {
        if (body.size() + more > kMaxImage) fire(err::internal::no_memory);
    }
    void u8(uint8_t b) { body.push_back(b); }
    void bytes(const uint8_t* p, size_t n) {
        check_size(n);
        body.insert(body.end(), p, p + n);
    }
    void varint(uint32_t v) {
        while (v >= 0x80) {
            body.push_back(uint8_t(v | 0x80));
            v >>= 7;
        }
        body.push_back(uint8_t(v));
    }
    void svarint(int32_t n) { varint((uint32_t(n) << 1) ^ uint32_t(n >> 31)); }
    void u32(uint32_t v) {
        for (int i = 0; i < 4; i++) body.push_back(uint8_t(v >> (8 * i)));
    }
    void header(int type, bool flag) {
        uint8_t f = flag ? 0x40 : 0;
        if (type > 62) {
            u8(0x3F | f);
            varint(uint32_t(type));
        } else {
            u8(uint8_t(type) | f);
        }
    }
    // Zero bytes up to a multiple of n from the start of the records.
    void pad(size_t n) {
        while (body.size() % n) body.push_back(0);
    }

    int32_t symbol(int32_t id) {
        auto it = sym_index.find(id);
        if (it != sym_index.end()) return it->second;
        int32_t i = static_cast<int32_t>(sym_ids.size());
        sym_ids.push_back(id);
        sym_index.emplace(id, i);
        std::string_view text = symbol::text(id);
        if (!compact) offsets.push_back(static_cast<uint32_t>(names.size()));
        names.append(text.data(), text.size());
        names.push_back('\0');
        if (!compact)
            while (names.size() % 8) names.push_back('\0');
        return i;
    }

    // Starts a tracked value written in full: its path is the index stack.
    void push_level(Node key) {
        steps.push_back({running, top});
        top = static_cast<int32_t>(steps.size() - 1);
        running = 0;
        paths[key] = top;
    }
    void pop_level() {
        running = steps[size_t(top)].index;
        top = steps[size_t(top)].parent;
    }
    const int32_t* find(Node key) const {
        auto it = paths.find(key);
        return it == paths.end() ? nullptr : &it->second;
    }
    void path(int32_t step) {
        scratch.clear();
        for (int32_t s = step; s >= 0; s = steps[size_t(s)].parent) scratch.push_back(steps[size_t(s)].index);
        // The reader takes no longer path; sharing at such depths makes the image grow with the
        // square of the depth.
        if (scratch.size() > size_t(kMaxPath)) fire(err::internal::too_deep);
        check_size(scratch.size() * 5);
        if (compact) {
            varint(uint32_t(scratch.size()));
            for (size_t i = scratch.size(); i-- > 0;) varint(uint32_t(scratch[i]));
        } else {
            u32(kPlainReference);
            u32(uint32_t(scratch.size()));
            for (size_t i = scratch.size(); i-- > 0;) u32(uint32_t(scratch[i]));
        }
    }
};

[[noreturn]] void no_codec_value(const Cell& v) {
    Cell a = v;
    fire(err::access::no_codec, &a);
}

void encode_value(Writer& w, const Cell& v);

// The owner kind of a bound word's context; 0 for a word written as global.
uint8_t word_owner(const Cell& v) {
    Node ctx = v.data1;
    if (!ctx || ctx == context::global_node || !memory::node_in_use(ctx)) return 0;
    uint8_t t = context::owner_of(ctx)->type();
    if (t == TYPE_NONE || t == TYPE_UNSET || t == TYPE_BLOCK) return 0;
    return t;
}

void write_context(Writer& w, Node ctx) {
    const Cell* cc = context::cell_of(ctx);
    bool no_storage = cc->header & context::on_stack;
    bool option = cc->header & context::object_flag;
    int kind = context::kind_of(ctx);
    int32_t m = context::count(ctx);
    bool values = false;
    if (!no_storage) {
        const Cell* vals = context::values(ctx);
        for (int32_t i = 0; vals && i < m && !values; i++) values = vals[i].type() != TYPE_UNSET;
    }
    if (w.compact) {
        w.header(TYPE_CONTEXT, false);
        w.u8(uint8_t(kind | (no_storage ? 4 : 0) | (option ? 8 : 0) | (values ? 16 : 0)));
        w.varint(uint32_t(m));
        for (int32_t i = 0; i < m; i++)
            w.varint(uint32_t(w.symbol(static_cast<int32_t>(context::word_at_node(ctx, i)->data2))));
    } else {
        w.u32(TYPE_CONTEXT | uint32_t(kind) << 26 | (option ? 1u << 28 : 0) | (no_storage ? 1u << 29 : 0) |
              (values ? 1u << 30 : 0));
        w.u32(uint32_t(m));
        for (int32_t i = 0; i < m; i++)
            w.u32(uint32_t(w.symbol(static_cast<int32_t>(context::word_at_node(ctx, i)->data2))));
    }
    if (values)
        for (int32_t i = 0; i < m; i++) {
            Cell v = context::values(ctx)[i];
            encode_value(w, v);
        }
}

// An object's record after its header: class id, handler numbers, context.
void write_object_body(Writer& w, const Cell& o) {
    bool extra = o.data3 != 0;
    if (w.compact) {
        w.svarint(o.i2());
        if (extra) {
            w.svarint(block::node_cell(o.data3, 0)->i2());
            w.svarint(block::node_cell(o.data3, 1)->i2());
        }
    } else {
        w.u32(o.data2);
        if (extra) {
            w.u32(block::node_cell(o.data3, 0)->data2);
            w.u32(block::node_cell(o.data3, 1)->data2);
        }
    }
    write_context(w, o.data1);
}

void write_object_header(Writer& w, const Cell& o, bool shared) {
    bool extra = !shared && o.data3 != 0;
    uint32_t nl = o.header & cell_flag::newline;
    if (w.compact) {
        if (nl) w.u8(0xC0);
        if (shared) w.u8(0xC1);
        w.header(TYPE_OBJECT, extra);
    } else {
        w.u32(TYPE_OBJECT | (nl ? kPlainNewline : 0) | (shared ? kPlainShared : 0) | (extra ? kPlainExtra : 0));
    }
}

void write_function_body(Writer& w, const Cell& f) {
    Cell body = *block::node_cell(f.data3, function::MORE_BODY);
    if (body.type() != TYPE_BLOCK) no_codec_value(f);
    uint32_t a = uint32_t(block::node_length(f.data2)), b = uint32_t(block::node_length(body.node()));
    if (w.compact) {
        w.varint(a);
        w.varint(b);
    } else {
        w.u32(a);
        w.u32(b);
    }
    write_context(w, f.data1);
    int32_t saved = w.running;
    Cell spec;
    block::make_at(&spec, f.data2);
    w.running = 0;
    encode_value(w, spec);
    w.running = 1;
    body.header = TYPE_BLOCK;
    body.set_index(0);
    encode_value(w, body);
    w.running = saved;
}

void write_function_header(Writer& w, const Cell& f, bool shared) {
    uint32_t nl = f.header & cell_flag::newline;
    if (w.compact) {
        if (nl) w.u8(0xC0);
        if (shared) w.u8(0xC1);
        w.header(TYPE_FUNCTION, false);
    } else {
        w.u32(TYPE_FUNCTION | (nl ? kPlainNewline : 0) | (shared ? kPlainShared : 0));
    }
}

void write_word(Writer& w, const Cell& v) {
    uint8_t t = v.type();
    uint32_t nl = v.header & cell_flag::newline;
    int32_t sym = static_cast<int32_t>(v.data2);
    uint8_t owner = word_owner(v);
    if (!owner) {
        int32_t s = w.symbol(sym);
        if (w.compact) {
            if (nl) w.u8(0xC0);
            w.header(t, false);
            w.varint(uint32_t(s));
        } else {
            int32_t index = v.data1 == context::global_node ? v.i3() : context::find_word(context::global_node, sym, true);
            w.u32(t | (nl ? kPlainNewline : 0) | kPlainGlobal);
            w.u32(uint32_t(s));
            w.u32(uint32_t(index));
        }
        return;
    }
    Node ctx = v.data1;
    const int32_t* found = w.find(ctx);
    // Only objects and functions can be carried inline; another owner (an error, whose spec
    // block make error! binds) is reachable only by a path to it written before.
    if (!found && owner != TYPE_OBJECT && owner != TYPE_FUNCTION) no_codec_value(v);
    int32_t s = w.symbol(sym);
    if (w.compact) {
        if (nl) w.u8(0xC0);
        if (found) w.u8(0xC1);
        w.header(t, true);
        w.varint(uint32_t(s));
        w.svarint(v.i3());
    } else {
        w.u32(t | (nl ? kPlainNewline : 0) | (found ? kPlainShared : 0));
        w.u32(uint32_t(s));
        w.u32(v.data3);
    }
    if (found) {
        w.path(*found);
        return;
    }
    w.push_level(ctx);
    Cell o = *context::owner_of(ctx);
    o.header &= ~cell_flag::newline;
    if (owner == TYPE_OBJECT) {
        write_object_header(w, o, false);
        write_object_body(w, o);
    } else {
        write_function_header(w, o, false);
        write_function_body(w, o);
    }
    w.pop_level();
}

// The header part of a series record: prefixes (compact), header, head.
void write_series_header(Writer& w, const Cell& v, uint8_t t, bool shared, uint32_t plain_bits, bool has_head) {
    uint32_t nl = v.header & cell_flag::newline;
    int32_t head = v.index() > 0 ? v.index() : 0;
    if (w.compact) {
        if (nl) w.u8(0xC0);
        if (shared) w.u8(0xC1);
        bool flag = has_head ? head != 0 : (plain_bits & kPlainComplement) != 0;
        w.header(t, flag);
        if (has_head && head) w.varint(uint32_t(head));
    } else {
        w.u32(t | (nl ? kPlainNewline : 0) | (shared ? kPlainShared : 0) | plain_bits);
        if (has_head) w.u32(uint32_t(head));
    }
}

void write_tracked(Writer& w, const Cell& v) {
    uint8_t t = v.type();
    Node key = (t == TYPE_OBJECT || t == TYPE_FUNCTION) ? v.data1 : v.data2;
    const int32_t* found = w.find(key);
    bool shared = found != nullptr;
    if (t == TYPE_OBJECT) {
        write_object_header(w, v, shared);
        if (shared) return w.path(*found);
        w.push_level(key);
        write_object_body(w, v);
        return w.pop_level();
    }
    if (t == TYPE_FUNCTION) {
        write_function_header(w, v, shared);
        if (shared) return w.path(*found);
        w.push_level(key);
        write_function_body(w, v);
        return w.pop_level();
    }
    SeriesBuf* b = memory::nodes[key];
    uint32_t unit = b->unit();
    if (types::any_string(t) || t == TYPE_BINARY || t == TYPE_VECTOR) {
        write_series_header(w, v, t, shared, unit << 8, true);
        if (shared) return w.path(*found);
        w.push_level(key);
        uint32_t n = b->length();
        if (w.compact) {
            if (types::any_string(t))
                w.varint(n << 2 | uint32_t(__builtin_ctz(unit)));
            else if (t == TYPE_VECTOR)
                w.u8(uint8_t(v.data3 << 2 | uint32_t(__builtin_ctz(unit)))), w.varint(n);
            else
                w.varint(n);
            w.bytes(b->at_head(), size_t(n) * unit);
        } else {
            w.u32(n);
            if (t == TYPE_VECTOR) w.u32(v.data3);
            w.bytes(b->at_head(), size_t(n) * unit);
            w.pad(4);
        }
        return w.pop_level();
    }
    if (t == TYPE_IMAGE) {
        write_series_header(w, v, t, shared, 0, true);
        if (shared) return w.path(*found);
        uint32_t width = uint32_t(image::width_of(&v)), height = uint32_t(image::height_of(&v));
        size_t bytes = size_t(width) * height * 4;
        if (b->tail < bytes) no_codec_value(v);
        w.push_level(key);
        if (w.compact) {
            w.varint(width);
            w.varint(height);
        } else {
            w.u32(width | height << 16);
        }
        w.bytes(b->data(), bytes);
        return w.pop_level();
    }
    if (t == TYPE_BITSET) {
        write_series_header(w, v, t, shared, (b->flags & series_flag::complement) ? kPlainComplement : 0, false);
        if (shared) return w.path(*found);
        w.push_level(key);
        uint32_t n = b->used_bytes();
        if (w.compact)
            w.varint(n);
        else
            w.u32(n);
        w.bytes(b->at_head(), n);
        if (!w.compact) w.pad(4);
        return w.pop_level();
    }
    if (t == TYPE_MAP) {
        write_series_header(w, v, t, shared, 0, false);
        if (shared) return w.path(*found);
        w.push_level(key);
        int32_t n = block::node_length(key);
        uint32_t live = 0;
        for (int32_t i = 0; i + 1 < n; i += 2)
            if (block::node_cell(key, i + 1)->header != 0) live++;
        if (w.compact)
            w.varint(2 * live);
        else
            w.u32(2 * live);
        for (int32_t i = 0; i + 1 < n; i += 2) {
            if (block::node_cell(key, i + 1)->header == 0) continue;
            Cell k = *block::node_cell(key, i), val = *block::node_cell(key, i + 1);
            encode_value(w, k);
            encode_value(w, val);
        }
        return w.pop_level();
    }
    // Block-likes and hash!.
    write_series_header(w, v, t, shared, 0, true);
    if (shared) return w.path(*found);
    w.push_level(key);
    int32_t n = block::node_length(key);
    if (w.compact)
        w.varint(uint32_t(n));
        else w.u32(uint32_t(n));
    for (int32_t i = 0; i < n; i++) {
        Cell c = *block::node_cell(key, i);
        encode_value(w, c);
    }
    w.pop_level();
}

void write_float(Writer& w, const Cell& v, uint8_t t) {
    double d = v.f();
    bool negative_zero = d == 0 && std::signbit(d);
    uint32_t nl = v.header & cell_flag::newline;
    if (!w.compact) {
        w.pad(8);
        w.u32(t | (nl ? kPlainNewline : 0));
        w.u32(v.data3);
        w.u32(v.data2);
        return;
    }
    if (nl) w.u8(0xC0);
    if (!negative_zero) {
        if (t == TYPE_PERCENT) {
            if (d >= -21474836.0 && d <= 21474836.0) {
                double scaled = d * 100.0;
                int32_t n = static_cast<int32_t>(scaled < 0 ? scaled - 0.5 : scaled + 0.5);
                if (n / 100.0 == d) {
                    w.header(t, true);
                    w.svarint(n);
                    return;
                }
            }
        } else if (d >= -2147483000.0 && d <= 2147483000.0 && d == std::trunc(d)) {
            w.header(t, true);
            w.svarint(static_cast<int32_t>(d));
            return;
        }
    }
    w.header(t, false);
    w.u32(v.data2);
    w.u32(v.data3);
}

void write_error(Writer& w, const Cell& v) {
    Node ctx = v.data1;
    for (Node e : w.errors)
        if (e == ctx) fire(err::internal::no_cycle);
    w.errors.push_back(ctx);
    w.push_level(ctx);
    uint32_t nl = v.header & cell_flag::newline;
    int32_t code = error::field(&v, error::FIELD_CODE)->i1();
    if (w.compact) {
        if (nl) w.u8(0xC0);
        w.header(TYPE_ERROR, false);
        w.varint(uint32_t(code));
    } else {
        w.u32(TYPE_ERROR | (nl ? kPlainNewline : 0));
        w.u32(uint32_t(code));
    }
    for (int i = 0; i < 6; i++) {
        Cell f = *error::field(&v, static_cast<error::Field>(error::FIELD_ARG1 + i));
        encode_value(w, f);
    }
    w.pop_level();
    w.errors.pop_back();
}

void encode_value(Writer& w, const Cell& v) {
    guard_depth();
    w.check_size(16);
    uint8_t t = v.type();
    uint32_t nl = v.header & cell_flag::newline;
    uint32_t pnl = nl ? kPlainNewline : 0;
    auto simple = [&](bool flag) {
        if (w.compact) {
            if (nl) w.u8(0xC0);
            w.header(t, flag);
        }
    };
    // A record of one number: a varint after the header byte, or a dword after the header.
    auto one_number = [&](uint32_t n) {
        simple(false);
        if (w.compact)
            w.varint(n);
        else
            w.u32(t | pnl), w.u32(n);
    };
    switch (t) {
        case TYPE_UNSET:
        case TYPE_NONE:
            simple(false);
            if (!w.compact) w.u32(t | pnl);
            break;
        case TYPE_DATATYPE:
        case TYPE_CHAR: one_number(v.data1); break;
        case TYPE_LOGIC:
            if (w.compact) {
                if (nl) w.u8(0xC0);
                w.u8(v.data1 ? 0xC2 : 0xC3);
            } else {
                w.u32(t | pnl), w.u32(v.data1 ? 1 : 0);
            }
            break;
        case TYPE_INTEGER:
            if (w.compact) {
                int32_t n = v.i1();
                if (nl) w.u8(0xC0);
                if (n >= 0 && n <= 63) {
                    w.u8(uint8_t(0x80 + n));
                } else {
                    w.header(t, false);
                    w.svarint(n);
                }
            } else {
                w.u32(t | pnl), w.u32(v.data1);
            }
            break;
        case TYPE_PAIR:
            simple(false);
            if (w.compact)
                w.svarint(v.i2()), w.svarint(v.i3());
            else
                w.u32(t | pnl), w.u32(v.data2), w.u32(v.data3);
            break;
        case TYPE_POINT2D:
        case TYPE_POINT3D:
            simple(false);
            if (!w.compact) w.u32(t | pnl);
            w.u32(v.data1);
            w.u32(v.data2);
            if (t == TYPE_POINT3D) w.u32(v.data3);
            break;
        case TYPE_FLOAT:
        case TYPE_PERCENT:
        case TYPE_TIME: write_float(w, v, t); break;
        case TYPE_DATE: {
            bool time = date::has_time(v.data1);
            if (w.compact) {
                simple(time);
                w.u32(v.data1);
                if (time) w.u32(v.data2), w.u32(v.data3);
            } else {
                w.u32(t | pnl), w.u32(v.data1), w.u32(v.data3), w.u32(v.data2);
            }
            break;
        }
        case TYPE_TYPESET: {
            const uint8_t* bits = reinterpret_cast<const uint8_t*>(&v.data1);
            if (w.compact) {
                int n = 12;
                while (n > 0 && bits[n - 1] == 0) n--;
                simple(false);
                w.u8(uint8_t(n));
                w.bytes(bits, size_t(n));
            } else {
                w.u32(t | pnl);
                w.bytes(bits, 12);
            }
            break;
        }
        case TYPE_TUPLE: {
            int n = tuple::count_of(&v);
            const uint8_t* bytes = tuple::bytes_of(&v);
            if (w.compact) {
                simple(n != 3);
                if (n != 3) w.u8(uint8_t(n));
                w.bytes(bytes, size_t(n));
            } else {
                w.u32(t | pnl | uint32_t(n) << 8);
                w.bytes(bytes, 12);
            }
            break;
        }
        case TYPE_MONEY: {
            bool negative = money::get_sign(&v);
            simple(negative);
            if (!w.compact) w.u32(t | pnl | (negative ? kPlainNegative : 0));
            w.bytes(reinterpret_cast<const uint8_t*>(&v.data1), 12);
            break;
        }
        case TYPE_ISSUE: one_number(uint32_t(w.symbol(static_cast<int32_t>(v.data2)))); break;
        case TYPE_WORD:
        case TYPE_SET_WORD:
        case TYPE_LIT_WORD:
        case TYPE_GET_WORD:
        case TYPE_REFINEMENT: write_word(w, v); break;
        case TYPE_NATIVE:
        case TYPE_ACTION: {
            one_number(v.data1);
            Cell spec;
            block::make_at(&spec, v.data2);
            encode_value(w, spec);
            w.running--;
            break;
        }
        case TYPE_OP: {
            uint8_t wrapped = native::op_wrapped(&v);
            if (wrapped == TYPE_ROUTINE || (wrapped != TYPE_NATIVE && wrapped != TYPE_ACTION && wrapped != TYPE_FUNCTION))
                no_codec_value(v);
            simple(false);
            if (!w.compact) w.u32(t | pnl | uint32_t(wrapped) << 16);
            Cell f = v;
            f.header = wrapped;
            encode_value(w, f);
            w.running--;
            break;
        }
        case TYPE_ERROR: write_error(w, v); break;
        case TYPE_BLOCK:
        case TYPE_PAREN:
        case TYPE_PATH:
        case TYPE_LIT_PATH:
        case TYPE_SET_PATH:
        case TYPE_GET_PATH:
        case TYPE_HASH:
        case TYPE_MAP:
        case TYPE_STRING:
        case TYPE_FILE:
        case TYPE_URL:
        case TYPE_TAG:
        case TYPE_EMAIL:
        case TYPE_REF:
        case TYPE_BINARY:
        case TYPE_VECTOR:
        case TYPE_BITSET:
        case TYPE_IMAGE:
        case TYPE_OBJECT:
        case TYPE_FUNCTION: write_tracked(w, v); break;
        default: no_codec_value(v);
    }
    w.running++;
}

// The whole image around the written records.
Cell* finish(Writer& w, Cell* out) {
    std::vector<uint8_t> image;
    size_t n = w.sym_ids.size();
    image.reserve(w.body.size() + w.names.size() + 4 * n + 24);
    const char magic[] = "KELBIN";
    image.insert(image.end(), magic, magic + 6);
    image.push_back(2);
    auto put32 = [&](uint32_t v) {
        for (int i = 0; i < 4; i++) image.push_back(uint8_t(v >> (8 * i)));
    };
    auto varint = [&](uint32_t v) {
        while (v >= 0x80) {
            image.push_back(uint8_t(v | 0x80));
            v >>= 7;
        }
        image.push_back(uint8_t(v));
    };
    if (w.compact) {
        image.push_back(n ? 5 : 1);
        varint(1);
        varint(uint32_t(w.body.size()));
        if (n) {
            varint(uint32_t(n));
            varint(uint32_t(w.names.size()));
            uint32_t off = 0;
            for (size_t i = 0; i < n; i++) {
                put32(off);
                off += uint32_t(std::strlen(w.names.data() + off)) + 1;
            }
            image.insert(image.end(), w.names.begin(), w.names.end());
        }
    } else {
        image.push_back(n ? 4 : 0);
        put32(1);
        put32(uint32_t(w.body.size()));
        if (n) {
            put32(uint32_t(n));
            put32(uint32_t(w.names.size()));
            for (uint32_t off : w.offsets) put32(off);
            image.insert(image.end(), w.names.begin(), w.names.end());
        }
    }
    image.insert(image.end(), w.body.begin(), w.body.end());
    if (image.size() > 0x7FFFFFFFu) fire(err::internal::no_memory);
    return binary::load_at(out, image.data(), image.size());
}

Cell* encode_image(Cell* out, const Cell* value, bool compact) {
    codec_mode = true;
    Writer w;
    w.compact = compact;
    Cell v = *value;
    collector::Root keep(&v);
    encode_value(w, v);
    return finish(w, out);
}

}  // namespace

// ======================================================================================
// Entry points
// ======================================================================================

int32_t decode(const uint8_t* data, int64_t length, Node block, int mode, const Cell* invalid_arg) {
    static const char magic[] = "KELBIN";
    bool boot = mode == MODE_BOOT;
    for (int i = 0; i < 6; i++) {
        if ((length >= 0 && i >= length) || data[i] != uint8_t(magic[i])) {
            if (boot) boot_failure("Error: Not a Kelbin file!");
            invalid_data(invalid_arg);
        }
    }
    Reader r;
    r.origin = data;
    r.boot = boot;
    r.block = block;
    const uint8_t* end = length >= 0 ? data + length : nullptr;
    if (end && length < 8) corrupt(r, end);
    uint8_t flags = data[7];
    const uint8_t* p = data + 8;
    std::vector<uint8_t> unpacked;
    if (flags & kFlagCompressed) {
        size_t size;
        if (end) {
            size = size_t(end - p);
        } else {
            size = size_t(rd32(p)) + 8;
        }
        bool unpacked_ok;
        try {
            unpacked_ok = compress::decompress(p, size, unpacked);
        } catch (const std::bad_alloc&) {
            // A few megabytes can promise gigabytes: more than memory holds is the no-memory
            // error, not the end of the process.
            fire(err::internal::no_memory);
        }
        if (!unpacked_ok) {
            if (boot) boot_failure("Error: Kelbin compressed data corrupted!");
            invalid_data(invalid_arg);
        }
        // Positions inside the unpacked bytes count as if they followed the flags byte.
        // An empty stream still has a known end (a null end would mean an unknown length).
        static const uint8_t nothing = 0;
        p = unpacked.empty() ? &nothing : unpacked.data();
        end = p + unpacked.size();
        r.origin = p;
        r.bias = 8;
    }
    r.base = block::node_length(block);
    collector::NodeRoot keep(&block);
    read_container(r, p, end, flags & kFlagCompact, flags & kFlagSymbols, block, invalid_arg);
    if (boot) literal_base = r.base;
    return r.base;
}

Cell* encode(Cell* out, const Cell* value) { return encode_image(out, value, false); }

Cell* encode_cp(Cell* out, const Cell* value) { return encode_image(out, value, true); }

int32_t boot_load(const uint8_t* data, bool keep_base) {
    codec_mode = false;
    struct Restore {
        bool enabled = collector::enabled;
        int32_t base = literal_base;
        bool keep;
        ~Restore() {
            collector::enabled = enabled;
            if (keep) literal_base = base;
        }
    } restore{collector::enabled, literal_base, keep_base};
    collector::enabled = false;
    return decode(data, -1, root::block_node, MODE_BOOT);
}

Cell* decode_value(Cell* out, const Cell* payload_in) {
    Cell payload = *payload_in;
    collector::Root keep_payload(&payload);
    Cell bytes = payload;
    collector::Root keep_bytes(&bytes);
    if (payload.type() == TYPE_FILE) simple_io::read(&payload, &bytes, -1, -1, true, false);
    if (payload.type() == TYPE_URL) {
        // Read whole as binary through the url! read action, so every scheme read knows works.
        Cell none;
        set_cell(&none, TYPE_NONE);
        const Cell* args[4] = {&payload, &none, &none, &none};
        const int32_t refs[6] = {-1, -1, 3, -1, -1, -1};  // /binary
        actions::call(&bytes, ACT_READ, args, 4, refs);
    }
    if (bytes.type() != TYPE_BINARY) invalid_data(&payload);
    int32_t n = binary::rs_length_q(&bytes);
    if (n <= 10) invalid_data(&payload);
    // Decoding allocates, which may move the binary's buffer: read from a copy.
    std::vector<uint8_t> data(binary::rs_head(&bytes), binary::rs_head(&bytes) + n);
    codec_mode = true;
    Cell* result = block::push_new(1);
    Node node = result->node();
    decode(data.data(), n, node, MODE_SCRIPT, &payload);
    if (block::node_length(node) == 1)
        *out = *block::node_cell(node, 0);
    else
        block::make_at(out, node);
    stack::pop(1);
    return out;
}

}  // namespace kelbin
