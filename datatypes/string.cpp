#include "datatypes/string.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <new>
#include <unordered_set>
#include <vector>

#include "datatypes/bitset.h"
#include "datatypes/block.h"
#include "datatypes/series.h"
#include "datatypes/symbol.h"
#include "datatypes/vector.h"
#include "datatypes/word.h"
#include "evaluator/actions.h"
#include "evaluator/interpreter.h"
#include "runtime/case_folding.h"
#include "runtime/collector.h"
#include "runtime/dtoa.h"
#include "runtime/fire.h"
#include "runtime/runtime.h"
#include "runtime/sort.h"
#include "runtime/stack.h"
#include "runtime/unicode.h"

namespace string {

namespace {

inline SeriesBuf* sbuf(const Cell* v) { return memory::nodes[v->node()]; }
inline int32_t head_of(const Cell* v) { return v->index() > 0 ? v->index() : 0; }
inline int32_t abs_length(Node n) {
    SeriesBuf* b = memory::nodes[n];
    return static_cast<int32_t>((b->tail - b->head) / text_unit(b));
}
// Upper case through the case tables; ASCII, the bulk of most text, without the call.
inline uint32_t upper(uint32_t cp) {
    if (cp < 0x80) return cp - 'a' < 26u ? cp - 32 : cp;
    return case_folding::change(cp, true);
}
// The unit a codepoint needs when appended (1-byte units hold only ASCII then) and when stored.
inline uint32_t unit_to_append(uint32_t cp) { return cp < 0x80 ? 1 : cp <= 0xFFFF ? 2 : 4; }
inline uint32_t unit_to_store(uint32_t cp) { return cp <= 0xFF ? 1 : cp <= 0xFFFF ? 2 : 4; }

// Where integer! and char! cells keep their number: the one place that knows it.
inline Cell* int_cell(Cell* c, int32_t v) { return set_cell(c, TYPE_INTEGER, static_cast<uint32_t>(v)); }
inline Cell* char_cell(Cell* c, uint32_t cp) { return set_cell(c, TYPE_CHAR, cp); }
inline Cell* none_cell(Cell* c) { return set_cell(c, TYPE_NONE); }

// The text types that contribute their characters as they are (tag! adds its brackets).
inline bool plain_text(uint8_t t) {
    return t == TYPE_STRING || t == TYPE_FILE || t == TYPE_URL || t == TYPE_EMAIL || t == TYPE_REF;
}

constexpr int64_t kMaxBytes = INT32_MAX;

[[noreturn]] void no_memory() { fire(err::internal::no_memory); }
inline void check_size(int64_t bytes) {
    if (bytes > kMaxBytes || bytes < 0) no_memory();
}

// Work areas on the C++ heap: running out of memory there is the language's no-memory error.
template <class F>
void heap_or_no_memory(F&& f) {
    try {
        f();
    } catch (const std::bad_alloc&) {
        no_memory();
    }
}

inline int clamp_budget(int64_t v) { return v < INT_MIN ? INT_MIN : v > INT_MAX ? INT_MAX : static_cast<int>(v); }

// A string value over the text of a string-like value, or of a symbol (from index 0).
bool as_text(const Cell* v, Cell* out) {
    if (types::any_string(v->type())) {
        *out = *v;
        return true;
    }
    if (v->type() == TYPE_SYMBOL) {
        Node n = v->data2;
        if (!n) {
            SeriesBuf* utf8 = memory::nodes[v->data3];
            n = unicode::load_utf8(unicode::Source::in_series(v->data3, utf8->head), utf8->tail - utf8->head, 0, false);
        }
        make_at(out, n);
        return true;
    }
    return false;
}

// Restores a buffer's length (in characters) when an operation fails part-way.
struct TailGuard {
    const Node* node;
    int32_t chars;
    bool armed = true;
    ~TailGuard() {
        if (!armed) return;
        SeriesBuf* b = memory::nodes[*node];
        uint32_t unit = b->unit();
        uint32_t t = b->head + uint32_t(chars) * unit;
        if (t < b->tail) b->tail = t;
    }
};

// Widens the buffer to unit when it is narrower and makes room for extra bytes after the tail.
SeriesBuf* prepare(Node node, uint32_t unit, int64_t extra) {
    check_size(extra);
    SeriesBuf* b = memory::nodes[node];
    if (unit > text_unit(b)) return unicode::widen(node, unit, static_cast<uint32_t>(extra));
    if (b->tail + uint64_t(extra) <= b->capacity) return b;
    return series::reserve(node, static_cast<uint32_t>(extra));
}

}  // namespace

// =============================================================================================
// Reading

uint32_t text_unit(const SeriesBuf* b) {
    uint32_t u = b->unit();
    if (u != 1 && u != 2 && u != 4) runtime::quit(101, KEL_CALLER_ADDRESS());
    return u;
}

int32_t rs_length_q(const Cell* value) {
    SeriesBuf* s = sbuf(value);
    int64_t n = int64_t(s->length()) - head_of(value);
    return n > 0 ? static_cast<int32_t>(n) : 0;
}

int32_t rs_abs_length_q(const Cell* value) { return static_cast<int32_t>(sbuf(value)->length()); }

uint32_t rs_head(Cell* value) {
    SeriesBuf* s = sbuf(value);
    int32_t len = static_cast<int32_t>(s->length());
    if (value->index() > len) value->set_index(len);
    if (value->index() < 0) value->set_index(0);
    return s->head + uint32_t(value->index()) * s->unit();
}

uint8_t* tail_address(const Cell* value) { return sbuf(value)->at_tail(); }

bool rs_tail_q(const Cell* value) { return rs_length_q(value) == 0; }

uint32_t rs_abs_at(const Cell* value, int32_t index) {
    SeriesBuf* s = sbuf(value);
    uint32_t unit = text_unit(s);
    return get_char(s->at_head() + size_t(index) * unit, unit);
}

int32_t find_char(const Cell* value, uint32_t cp) {
    SeriesBuf* s = sbuf(value);
    uint32_t unit = text_unit(s);
    int32_t n = rs_length_q(value);
    const uint8_t* p = s->at_head() + size_t(head_of(value)) * unit;
    for (int32_t i = 0; i < n; i++, p += unit)
        if (get_char(p, unit) == cp) return i;
    return -1;
}

bool match_literal_q(const Cell* value, const char* literal) {
    SeriesBuf* s = sbuf(value);
    uint32_t unit = text_unit(s);
    size_t len = std::strlen(literal);
    if (len > size_t(rs_length_q(value))) return false;
    const uint8_t* p = s->at_head() + size_t(head_of(value)) * unit;
    for (size_t i = 0; i < len; i++, p += unit)
        if (get_char(p, unit) != static_cast<unsigned char>(literal[i])) return false;
    return true;
}

// =============================================================================================
// Writing characters

void widen(Node node, uint32_t unit) { unicode::widen(node, unit); }

void append_char(Node node, uint32_t cp) {
    collector::NodeRoot keep(&node);
    SeriesBuf* s = memory::nodes[node];
    uint32_t unit = text_unit(s);
    uint32_t need = unit_to_append(cp);
    if (need > unit) {
        unicode::widen(node, need, need);
        unit = need;
    }
    uint32_t at = series::alloc_tail_bytes(node, unit);
    put_char(memory::nodes[node]->data() + at, unit, cp);
}

void poke_char(Node node, uint32_t char_index, uint32_t cp) {
    SeriesBuf* s = memory::nodes[node];
    uint32_t unit = text_unit(s);
    uint32_t need = unit_to_store(cp);
    if (need > unit) {
        // Widening rebuilds the buffer from its head: the index is kept relative to the head.
        int64_t rel = int64_t(char_index) - s->head / unit;
        s = unicode::widen(node, need);
        unit = need;
        char_index = static_cast<uint32_t>(s->head / unit + rel);
    }
    put_char(s->data() + size_t(char_index) * unit, unit, cp);
}

void overwrite_char(Node node, uint32_t char_index, uint32_t cp) {
    collector::NodeRoot keep(&node);
    SeriesBuf* s = memory::nodes[node];
    uint32_t unit = text_unit(s);
    int64_t rel = int64_t(char_index) - s->head / unit;
    if (rel < 0) return;  // before the first used unit: nothing there to store into
    uint32_t need = unit_to_store(cp);
    if (need > unit) {
        s = unicode::widen(node, need);
        unit = need;
    }
    int64_t end = int64_t(s->head) + (rel + 1) * unit;  // byte offset past the stored unit
    if (end > int64_t(s->capacity)) {
        check_size(end);
        s = series::reserve(node, static_cast<uint32_t>(end - s->tail));
    }
    uint8_t* p = s->at_head() + rel * unit;
    if (p > s->at_tail()) std::memset(s->at_tail(), 0, size_t(p - s->at_tail()));
    put_char(p, unit, cp);
    uint32_t e = s->head + static_cast<uint32_t>((rel + 1) * unit);
    if (e > s->tail) s->tail = e;
}

void insert_char(Node node, uint32_t char_index, uint32_t cp) {
    SeriesBuf* s = memory::nodes[node];
    uint32_t unit = text_unit(s);
    int64_t rel = int64_t(char_index) - s->head / unit;
    uint32_t need = unit_to_store(cp);
    if (need > unit) unit = need;
    s = prepare(node, unit, unit);
    uint8_t* at = s->at_head() + rel * unit;
    std::memmove(at + unit, at, size_t(s->at_tail() - at));
    put_char(at, unit, cp);
    s->tail += unit;
}

void remove_part(Cell* value, int32_t index, int32_t count) {
    SeriesBuf* s = sbuf(value);
    uint32_t unit = text_unit(s);
    int32_t len = static_cast<int32_t>(s->length());
    if (index < 0 || index >= len || count <= 0) return;
    if (count > len - index) count = len - index;
    uint8_t* at = s->at_head() + size_t(index) * unit;
    size_t rest = size_t(len - index - count) * unit;
    std::memmove(at, at + size_t(count) * unit, rest);
    s->tail -= uint32_t(count) * unit;
}

void remove_char(Cell* value, int32_t index) { remove_part(value, index, 1); }

void rs_reset(Cell* value) {
    SeriesBuf* s = sbuf(value);
    s->head = s->tail = 0;
    s->flags = (s->flags & ~series_flag::unit_mask) | 1;
    value->set_index(0);
}

void limit_tail(Node node, uint32_t n) {
    SeriesBuf* s = memory::nodes[node];
    if (s->length() > n) s->tail = s->head + n * s->unit();
}

// =============================================================================================
// Appending text

void concatenate_literal(Node node, const char* bytes) { concatenate_literal_n(node, bytes, std::strlen(bytes)); }

int concatenate_part(Node buffer, const Cell* part, int limit, const char* text, int length) {
    if (part && limit <= 0) return limit;
    concatenate_literal(buffer, text);
    return limit - length;
}

void concatenate_literal_n(Node node, const char* bytes, size_t n) {
    if (n == 0) return;
    bool ascii = true;
    for (size_t i = 0; i < n && ascii; i++) ascii = static_cast<unsigned char>(bytes[i]) < 128;
    if (!ascii) {
        for (size_t i = 0; i < n; i++) append_char(node, static_cast<unsigned char>(bytes[i]));
        return;
    }
    uint32_t unit = text_unit(memory::nodes[node]);
    check_size(int64_t(n) * unit);
    collector::NodeRoot keep(&node);
    uint32_t at = series::alloc_tail_bytes(node, static_cast<uint32_t>(n * unit));
    uint8_t* p = memory::nodes[node]->data() + at;
    if (unit == 1) {
        std::memcpy(p, bytes, n);
    } else {
        for (size_t i = 0; i < n; i++) put_char(p + i * unit, unit, static_cast<unsigned char>(bytes[i]));
    }
}

void append_utf8(Node node, const char* bytes, size_t n) {
    auto* p = reinterpret_cast<const uint8_t*>(bytes);
    check_size(int64_t(n));
    collector::NodeRoot keep(&node);
    int32_t old = abs_length(node);
    // The loader drops a byte order mark at the start of its input; here every U+FEFF is a
    // character of the text, so all the leading ones are taken before the loader sees the rest.
    size_t skip = 0;
    while (n - skip >= 3 && p[skip] == 0xEF && p[skip + 1] == 0xBB && p[skip + 2] == 0xBF) {
        append_char(node, 0xFEFF);
        skip += 3;
    }
    uint32_t remaining = 0;
    unicode::load_utf8(unicode::Source::external(p + skip), static_cast<uint32_t>(n - skip), node, false, &remaining);
    if (remaining) {
        SeriesBuf* b = memory::nodes[node];
        b->tail = b->head + uint32_t(old) * b->unit();
        Cell rest;
        Node bin = memory::alloc_bytes(static_cast<int32_t>(remaining));
        std::memcpy(memory::nodes[bin]->data(), p + n - remaining, remaining);
        memory::nodes[bin]->tail = remaining;
        set_cell(&rest, TYPE_BINARY, 0, bin);
        fire(err::access::invalid_utf8, &rest);
    }
}

void append_string(Node node, const Cell* source, int32_t part) {
    Cell target;
    make_at(&target, node);
    concatenate(&target, source, part, 0, true, CONCAT_APPEND);
}

void concatenate(Cell* target_in, const Cell* source_in, int32_t part, int32_t offset, bool keep_source, int mode) {
    Cell target, source;
    if (!as_text(target_in, &target)) fire(err::script::invalid_arg, target_in);
    collector::Root keep_target(&target);
    if (!as_text(source_in, &source)) fire(err::script::invalid_arg, source_in);
    collector::Root keep_source_cell(&source);
    Node tn = target.node(), sn = source.node();
    int32_t count = rs_length_q(&source);
    if (part >= 0 && part < count) count = part;
    if (count <= 0) return;
    int32_t from = head_of(&source);
    uint32_t tu = text_unit(memory::nodes[tn]);
    uint32_t su = text_unit(memory::nodes[sn]);
    bool same = sn == tn;
    if (su < tu && !keep_source && !same) {
        unicode::widen(sn, tu);
        su = tu;
    }
    // Allocations may renumber nodes: from here on they are read from the guarded cells.
    tn = target.node();
    uint32_t unit = std::max(tu, su);
    int32_t tlen = abs_length(tn);
    int32_t at = tlen;
    if (mode != CONCAT_APPEND) at = static_cast<int32_t>(std::clamp<int64_t>(int64_t(head_of(&target)) + offset, 0, tlen));
    int64_t end = int64_t(at) + count;
    int64_t grow = mode == CONCAT_OVERWRITE ? std::max<int64_t>(0, end - tlen) : count;
    check_size((int64_t(tlen) + grow) * unit);

    // An insert of a buffer into itself would move the characters it reads: copy them first.
    std::vector<uint8_t> copy;
    if (same && mode == CONCAT_INSERT) {
        SeriesBuf* s = memory::nodes[source.node()];
        const uint8_t* p = s->at_head() + size_t(from) * su;
        heap_or_no_memory([&] { copy.assign(p, p + size_t(count) * su); });
    }
    SeriesBuf* t = prepare(tn, unit, grow * unit);
    uint8_t* w = t->at_head() + size_t(at) * unit;
    if (mode == CONCAT_INSERT) std::memmove(w + size_t(count) * unit, w, size_t(t->at_tail() - w));
    // A source over the target's own buffer has the target's unit, so it never widened here.
    const uint8_t* r = copy.empty() ? memory::nodes[source.node()]->at_head() + size_t(from) * su : copy.data();
    if (su == unit) {
        std::memmove(w, r, size_t(count) * unit);
    } else {
        for (int32_t i = 0; i < count; i++) put_char(w + size_t(i) * unit, unit, get_char(r + size_t(i) * su, su));
    }
    if (mode == CONCAT_OVERWRITE) {
        uint32_t e = t->head + static_cast<uint32_t>(end * unit);
        if (e > t->tail) t->tail = e;
    } else {
        t->tail += uint32_t(count) * unit;
    }
}

void mold_char(Node node, uint32_t cp, int mode, bool all) {
    // A lone surrogate has no UTF-8 form that the lexer takes back, so it is always written in
    // hexadecimal: written as itself, the molded (or saved) text would no longer load.
    bool surrogate = cp >= 0xD800 && cp <= 0xDFFF;
    if (cp == 30 || (cp >= 0x80 && cp <= 0x9F) || (cp > 127 && all) || surrogate) {
        std::string hex = to_hex(static_cast<int32_t>(cp), true);
        char text[16];
        size_t n = 0;
        text[n++] = '^';
        text[n++] = '(';
        for (char c : hex) text[n++] = c;
        text[n++] = ')';
        concatenate_literal_n(node, text, n);
        return;
    }
    if (mode == 253) {
        // What follows the caret for the codepoints below 95 that have an escape (0: none).
        static const char escapes[95] = {
            '@', 'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', '-', '/', 'K', 'L', 'M', 'N', 'O',
            'P', 'Q', 'R', 'S', 'T', 'U', 'V', 'W', 'X', 'Y', 'Z', '[', '\\', ']', 0,   '_',
            0,   0,   '"', 0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,
            0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,
            0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,
            0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   '^'};
        if (cp < 95 && escapes[cp]) {
            char text[2] = {'^', escapes[cp]};
            concatenate_literal_n(node, text, 2);
            return;
        }
        if (cp == 127) {
            concatenate_literal_n(node, "^~", 2);
            return;
        }
    }
    append_char(node, cp);
}

// =============================================================================================
// Making strings

Node make_node(int32_t bytes, uint32_t unit) {
    if (bytes <= 0) bytes = 1;
    return memory::alloc_series(static_cast<int32_t>((int64_t(bytes) + unit - 1) / unit), static_cast<int>(unit), 0);
}

Cell* make_at(Cell* c, Node node, int32_t index, uint8_t type) { return set_cell(c, type, static_cast<uint32_t>(index), node); }

Cell* rs_make_at(Cell* c, int32_t bytes) { return make_at(c, make_node(bytes, 1)); }

Cell* make_at_unit(Cell* c, int32_t units, uint32_t unit) {
    return make_at(c, memory::alloc_series(units <= 0 ? 1 : units, static_cast<int>(unit), 0));
}

Cell* push(const Cell* value) { return stack::push(value); }

// A new string at c holding bytes as the appender reads them.
static Cell* load_by(Cell* c, const char* bytes, size_t n, void (*append)(Node, const char*, size_t)) {
    check_size(int64_t(n));
    Node node = make_node(static_cast<int32_t>(n ? n : 1), 1);
    collector::NodeRoot keep(&node);
    append(node, bytes, n);
    return make_at(c, node);
}

Cell* load_at(Cell* c, const char* bytes, size_t n) {
    return load_by(c, bytes, n, static_cast<void (*)(Node, const char*, size_t)>(append_utf8));
}

Cell* load_push(std::string_view s) {
    Cell c;
    load_at(&c, s);
    return stack::push(&c);
}

Cell* load(const uint8_t* bytes, int32_t length, Cell* out, int encoding) {
    if (length < 0) length = 0;
    Cell result;
    switch (encoding) {
        case 0: load_at(&result, reinterpret_cast<const char*>(bytes), size_t(length)); break;
        case -1: {
            Node n = unicode::load_utf16(unicode::Source::external(bytes), static_cast<uint32_t>(length), nullptr, false);
            make_at(&result, n);
            break;
        }
        default: {
            Cell e;
            int_cell(&e, encoding);
            fire(err::access::no_codec, &e);
        }
    }
    if (!out) return stack::push(&result);
    *out = result;
    return out;
}

Cell* load_in(Node block, const uint8_t* bytes, int32_t length, int encoding) {
    Cell s;
    load(bytes, length, &s, encoding);
    collector::Root keep(&s);
    return block::append_cell(block, &s);
}

Cell* load_binary(Cell* out, const Cell* binary) {
    SeriesBuf* b = sbuf(binary);
    int64_t avail = int64_t(b->tail - b->head) - head_of(binary);
    uint32_t n = avail > 0 ? static_cast<uint32_t>(avail) : 0;
    uint32_t offset = b->head + static_cast<uint32_t>(head_of(binary));
    Node bin = binary->node();
    collector::NodeRoot keep_bin(&bin);
    uint32_t remaining = 0;
    Node s = unicode::load_utf8(unicode::Source::in_series(bin, offset), n, 0, false, &remaining);
    if (remaining) {
        // The argument holds the bytes that remain, never more than the input has.
        Node rest = memory::alloc_bytes(static_cast<int32_t>(remaining));
        SeriesBuf* src = memory::nodes[bin];
        std::memcpy(memory::nodes[rest]->data(), src->data() + offset + n - remaining, remaining);
        memory::nodes[rest]->tail = remaining;
        Cell arg;
        set_cell(&arg, TYPE_BINARY, 0, rest);
        fire(err::access::invalid_utf8, &arg);
    }
    return make_at(out, s);
}

// The text's characters as UTF-8 from its head, part of them when part >= 0; os: the stand-ins
// for a system name's odd bytes (see append_os) become those bytes again.
static std::string text_bytes(const Cell* value, int32_t part, bool os) {
    Cell v;
    if (!as_text(value, &v)) return std::string();
    SeriesBuf* s = sbuf(&v);
    uint32_t unit = text_unit(s);
    int32_t n = rs_length_q(&v);
    if (part >= 0 && part < n) n = part;
    std::string out;
    out.reserve(size_t(n));
    const uint8_t* p = s->at_head() + size_t(head_of(&v)) * unit;
    uint8_t seq[4];
    for (int32_t i = 0; i < n; i++, p += unit) {
        uint32_t cp = get_char(p, unit);
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (os && cp >= 0xDC80 && cp <= 0xDCFF) {
            out.push_back(static_cast<char>(cp - 0xDC00));
        } else {
            int k = unicode::cp_to_utf8(cp, seq);
            out.append(reinterpret_cast<const char*>(seq), size_t(k));
        }
    }
    return out;
}

std::string to_utf8_part(const Cell* value, int32_t part) { return text_bytes(value, part, false); }

std::string to_utf8(const Cell* value) { return to_utf8_part(value, -1); }

void append_os(Node node, const char* bytes, size_t n) {
    check_size(int64_t(n));
    collector::NodeRoot keep(&node);
    const auto* p = reinterpret_cast<const uint8_t*>(bytes);
    const uint8_t* end = p + n;
    const uint8_t* run = p;  // start of the valid text not yet appended
    while (p < end) {
        if (*p < 0x80) {
            p++;
            continue;
        }
        int32_t cp;
        const uint8_t* next = unicode::fast_decode_utf8_char(p, end, &cp);
        if (cp >= 0) {
            p = next;
            continue;
        }
        // One byte at a time: the bytes after a bad lead may begin a good sequence.
        if (p > run) append_utf8(node, reinterpret_cast<const char*>(run), size_t(p - run));
        append_char(node, 0xDC00u | *p);
        run = ++p;
    }
    if (p > run) append_utf8(node, reinterpret_cast<const char*>(run), size_t(p - run));
}

Cell* load_os_at(Cell* c, const char* bytes, size_t n) { return load_by(c, bytes, n, append_os); }

std::string to_os(const Cell* value) { return text_bytes(value, -1, true); }

std::string node_to_utf8(Node node, uint32_t from_char) {
    Cell v;
    make_at(&v, node, static_cast<int32_t>(from_char));
    return to_utf8(&v);
}

void byte_to_hex(uint8_t byte, char out[2]) {
    static const char digits[] = "0123456789ABCDEF";
    out[0] = digits[byte >> 4];
    out[1] = digits[byte & 15];
}

std::string to_hex(int32_t value, bool trim) {
    static const char digits[] = "0123456789ABCDEF";
    auto v = static_cast<uint32_t>(value);
    std::string s(8, '0');
    for (int i = 7; i >= 0; i--, v >>= 4) s[size_t(i)] = digits[v & 15];
    if (trim) {
        size_t k = s.find_first_not_of('0');
        if (k == std::string::npos) return "00";
        s = s.substr(k);
    }
    return s;
}

double to_float(const char* text, int32_t length, bool* error) {
    if (length <= 0) {
        *error = true;
        return 0.0;
    }
    int left = 0;
    double d = dtoa::strtod(text, text + length, 0, &left);
    *error = left != 0;
    return d;
}

// =============================================================================================
// Comparison

int compare_strings(const Cell* a_in, const Cell* b_in, int op, bool prefix) {
    Cell a, b;
    if (!as_text(a_in, &a)) return -2;
    collector::Root keep_a(&a);
    if (!as_text(b_in, &b)) return -2;
    if (op == COMP_SAME) return a.node() == b.node() && a.index() == b.index() ? 0 : -1;
    bool equality = op == COMP_EQUAL || op == COMP_NOT_EQUAL || op == COMP_STRICT_EQUAL || op == COMP_EQUAL_FIND ||
                    op == COMP_STRICT_EQUAL_WORD || op == COMP_FIND;
    if (equality && a.node() == b.node() && a.index() == b.index()) return 0;
    int32_t na = rs_length_q(&a), nb = rs_length_q(&b);
    int32_t n;
    if (prefix) {
        if (nb == 0) return op == COMP_EQUAL_FIND ? 1 : 0;
        if (na < nb) return 1;
        n = nb;
    } else {
        if (na != nb && (equality || nb == 0)) return 1;
        n = std::min(na, nb);
    }
    bool fold = op != COMP_STRICT_EQUAL && op != COMP_CASE_SORT && op != COMP_STRICT_EQUAL_WORD;
    SeriesBuf* sa = sbuf(&a);
    SeriesBuf* sb = sbuf(&b);
    uint32_t ua = text_unit(sa), ub = text_unit(sb);
    const uint8_t* pa = sa->at_head() + size_t(head_of(&a)) * ua;
    const uint8_t* pb = sb->at_head() + size_t(head_of(&b)) * ub;
    for (int32_t i = 0; i < n; i++) {
        uint32_t x = get_char(pa + size_t(i) * ua, ua), y = get_char(pb + size_t(i) * ub, ub);
        if (x == y) continue;
        if (fold) {
            x = upper(x);
            y = upper(y);
            if (x == y) continue;
        }
        return x < y ? -1 : 1;
    }
    if (prefix) return 0;
    return na == nb ? 0 : (na < nb ? -1 : 1);
}

int compare(const Cell* a, const Cell* b, int op) {
    if (a->type() != b->type() && (!types::any_string(b->type()) || (op != COMP_EQUAL && op != COMP_NOT_EQUAL)))
        return -2;
    return compare_strings(a, b, op);
}


// =============================================================================================
// form and mold

int form(const Cell* value, Node buffer, const Cell* part, int limit) {
    Cell v;
    if (!as_text(value, &v)) fire(err::script::invalid_arg, value);
    collector::Root keep(&v);
    int32_t len = rs_length_q(&v);
    int32_t take = part ? std::clamp(limit, 0, len) : len;
    Cell out;
    make_at(&out, buffer);
    concatenate(&out, &v, take, 0, true, CONCAT_APPEND);
    return clamp_budget(int64_t(limit) - len);
}

namespace {

// Index of the first opening brace in the n characters from p that has no matching closing brace
// after it (nested pairs counted), or n when every one is matched. One backward pass over the
// running balance B: the brace at i is matched when B falls back to B(i) somewhere after it.
int32_t first_unmatched_brace(const uint8_t* p, uint32_t unit, int32_t n, int64_t balance) {
    int32_t first = n;
    int64_t after = balance;           // B(i + 1)
    int64_t lowest = INT64_MAX;        // the least B(k) for k from i + 2 to n
    for (int32_t i = n - 1; i >= 0; i--) {
        uint32_t cp = get_char(p + size_t(i) * unit, unit);
        int d = cp == '{' ? 1 : cp == '}' ? -1 : 0;
        int64_t before = after - d;
        if (d == 1 && lowest > before) first = i;
        lowest = std::min(lowest, after);
        after = before;
    }
    return first;
}

}  // namespace

int mold(const Cell* value, Node buffer, bool, bool all, bool, const Cell* part, int limit, int) {
    Cell v;
    if (!as_text(value, &v)) fire(err::script::invalid_arg, value);
    collector::Root keep(&v);
    int32_t len = rs_length_q(&v);
    int32_t n = part ? std::clamp(limit, 0, len) : len;
    int32_t from = head_of(&v);
    SeriesBuf* s = sbuf(&v);
    uint32_t unit = text_unit(s);
    const uint8_t* p = s->at_head() + size_t(from) * unit;
    int32_t lines = 0, quotes = 0;
    int64_t balance = 0;
    bool opens = false;
    for (int32_t i = 0; i < n; i++) {
        switch (get_char(p + size_t(i) * unit, unit)) {
            case '\n': lines++; break;
            case '"': quotes++; break;
            case '{':
                balance++;
                opens = true;
                break;
            case '}': balance--; break;
            default: break;
        }
    }
    bool braces = lines >= 3 || quotes > 0 || len > 49;
    int32_t unmatched = braces && opens ? first_unmatched_brace(p, unit, n, balance) : n;

    Node out = buffer;
    collector::NodeRoot keep_out(&out);
    append_char(out, braces ? '{' : '"');
    int32_t open = 0;
    for (int32_t i = 0; i < n; i++) {
        // Appending may move the source: fetch it for every character.
        SeriesBuf* src = sbuf(&v);
        uint32_t cp = get_char(src->at_head() + size_t(from + i) * unit, unit);
        if (braces) {
            switch (cp) {
                case '{':
                    if (i < unmatched) {
                        append_char(out, '{');
                        open++;
                    } else {
                        concatenate_literal_n(out, "^{", 2);
                    }
                    continue;
                case '}':
                    if (open == 0) {
                        concatenate_literal_n(out, "^}", 2);
                    } else {
                        append_char(out, '}');
                        open--;
                    }
                    continue;
                case '"': append_char(out, '"'); continue;
                case '^': concatenate_literal_n(out, "^^", 2); continue;
                default: break;
            }
        }
        mold_char(out, cp, 253, all);
    }
    append_char(out, braces ? '}' : '"');
    return clamp_budget(int64_t(limit) - n - 2);
}

// =============================================================================================
// make and to

Cell* make(Cell* proto, Cell* spec, int type) {
    uint8_t st = spec->type();
    if (st == TYPE_INTEGER || st == TYPE_FLOAT) {
        int64_t n;
        if (st == TYPE_FLOAT) {
            double d = spec->f();
            if (!(d > -2147483649.0 && d < 2147483648.0)) fire(err::script::out_of_range, spec);
            n = static_cast<int64_t>(d);
        } else {
            n = int_of(spec);
        }
        if (n < 0) fire(err::script::out_of_range, spec);
        Node node = make_node(static_cast<int32_t>(n), 1);
        set_cell(proto, static_cast<uint8_t>(type), 0, node);
        return proto;
    }
    if (type == TYPE_BINARY) {
        if (st == TYPE_MONEY) {
            Cell t, s = *spec;
            datatype::make_at(&t, TYPE_BINARY);
            fire(err::script::bad_make_arg, &t, &s);
        }
        auto fn = reinterpret_cast<MakeFn>(datatype::slot(TYPE_BINARY, ACT_TO));
        if (fn && fn != &to) return fn(proto, spec, type);
    }
    return to(proto, spec, type);
}

Cell* to(Cell* proto, Cell* spec_in, int type) {
    Cell spec = *spec_in;
    collector::Root keep_spec(&spec);
    Cell result;
    none_cell(&result);
    collector::Root keep_result(&result);
    uint8_t st = spec.type();
    if (st == TYPE_NONE) {
        Cell t;
        datatype::make_at(&t, type);
        fire(err::script::bad_to_arg, &t, &spec);
    }
    if (types::any_list(st)) {
        rs_make_at(&result, 16);
        append(&result, &spec, -1, false, 1, false);
    } else if (types::any_string(st) || st == TYPE_SYMBOL) {
        Cell text;
        as_text(&spec, &text);
        int32_t len = rs_length_q(&text);
        if (len == 0)
            make_at_unit(&result, 1, text_unit(sbuf(&text)));
        else
            make_at(&result, series::copy_part(text.node(), head_of(&text), len));
    } else if (st == TYPE_BINARY) {
        load_binary(&result, &spec);
    } else if (st == TYPE_REFINEMENT) {
        rs_make_at(&result, 16);
        if (type == TYPE_STRING)
            actions::form(&spec, result.node(), nullptr, INT_MAX);
        else
            actions::mold(&spec, result.node(), false, false, false, nullptr, INT_MAX, 0);
    } else {
        rs_make_at(&result, 16);
        actions::form(&spec, result.node(), nullptr, INT_MAX);
    }
    set_cell(proto, static_cast<uint8_t>(type), 0, result.node());
    return proto;
}

// =============================================================================================
// append, insert and change

namespace {

// The text that a char!, a string-like value or a tag! contributes; other values are formed.
struct NewText {
    bool is_char = false;
    uint32_t cp = 0;
    Cell src{TYPE_NONE, 0, 0, 0};  // the text's string (for a run)
    int32_t from = 0;  // its first character, absolute
    int32_t body = 0;  // characters taken from it
    bool tag = false;  // written between < and >
    int32_t n = 0;     // characters of the whole text
    uint32_t unit = 1; // unit the text needs
};

// Fills t for a value that contributes its own characters (at most part of them when part is not
// negative); false for a value that must be formed.
bool direct_text(const Cell* value, int32_t part, NewText* t) {
    uint8_t ty = value->type();
    if (ty == TYPE_CHAR) {
        t->is_char = true;
        t->cp = cp_of(value);
        t->n = 1;
        t->unit = unit_to_append(t->cp);
        return true;
    }
    if (!plain_text(ty) && ty != TYPE_TAG && ty != TYPE_SYMBOL) return false;
    as_text(value, &t->src);
    t->from = head_of(&t->src);
    int32_t len = rs_length_q(&t->src);
    t->tag = ty == TYPE_TAG;
    int64_t whole = int64_t(len) + (t->tag ? 2 : 0);
    check_size(whole);
    t->n = static_cast<int32_t>(whole);
    if (part >= 0 && part < t->n) t->n = part;
    t->body = t->tag ? std::clamp(t->n - 1, 0, len) : t->n;
    t->unit = text_unit(sbuf(&t->src));
    return true;
}

// A run whose source lies in the target's own buffer is copied first: moving the target's
// characters must not change the text being put in.
void detach(NewText* t, Node target) {
    if (t->is_char || t->src.node() != target || t->body == 0) return;
    Node copy = series::copy_part(target, t->from, t->body);
    make_at(&t->src, copy);
    t->from = 0;
}

// Writes the text at character position at (from the head); the target's unit is at least the
// text's and the buffer has room.
void write_text(Node node, int32_t at, const NewText& t) {
    SeriesBuf* d = memory::nodes[node];
    uint32_t tu = d->unit();
    uint8_t* w = d->at_head() + size_t(at) * tu;
    if (t.is_char) {
        put_char(w, tu, t.cp);
        return;
    }
    int32_t i = 0;
    if (t.tag) {
        if (t.n == 0) return;
        put_char(w, tu, '<');
        i = 1;
    }
    SeriesBuf* s = sbuf(&t.src);
    uint32_t su = s->unit();
    const uint8_t* r = s->at_head() + size_t(t.from) * su;
    if (su == tu) {
        std::memmove(w + size_t(i) * tu, r, size_t(t.body) * tu);
    } else {
        for (int32_t k = 0; k < t.body; k++) put_char(w + size_t(i + k) * tu, tu, get_char(r + size_t(k) * su, su));
    }
    i += t.body;
    if (t.tag && i < t.n) put_char(w + size_t(i) * tu, tu, '>');
}

// Repeats the n characters at position at until count copies stand there, doubling each copy.
void repeat_text(Node node, int32_t at, int32_t n, int32_t count) {
    if (count <= 1 || n <= 0) return;
    SeriesBuf* b = memory::nodes[node];
    uint32_t unit = b->unit();
    uint8_t* base = b->at_head() + size_t(at) * unit;
    size_t total = size_t(n) * size_t(count) * unit;
    size_t done = size_t(n) * unit;
    while (done < total) {
        size_t k = std::min(done, total - done);
        std::memcpy(base + done, base, k);
        done += k;
    }
}

// Characters of base + n x count in bytes of unit, raising no-memory beyond 31 bits.
int64_t total_bytes(int64_t base, int64_t n, int64_t count, uint32_t unit) {
    if (n > 0 && count > kMaxBytes / n) no_memory();
    int64_t chars = base + n * count;
    if (chars > kMaxBytes / unit) no_memory();
    return chars * unit;
}

const Cell* limit_cell() {
    static Cell c = [] {
        Cell x;
        set_cell(&x, TYPE_INTEGER);
        return x;
    }();
    return &c;
}

// Whether forming a value can read the characters of the target it is formed into: the target
// itself, or a container, which may hold it. Such a value is formed apart and then appended, or
// the text it shows would include what its own forming has already added (appending the block
// "-" s to s would read s back with the "-" at its end).
bool reads_text_of(const Cell* value, Node target) {
    uint8_t t = value->type();
    if (types::any_string(t)) return value->node() == target;
    return types::any_block(t) || types::any_object(t) || t == TYPE_MAP;
}

void append_node(Node target, Node text) {
    Cell s;
    make_at(&s, text);
    append_string(target, &s);
}

// Forms a value at the tail, with at most limit characters kept (no limit when negative);
// answers the characters added.
int32_t form_value_at_tail(const Node& node, const Cell* value, int32_t limit) {
    int32_t before = abs_length(node);
    Cell v = *value;
    collector::Root keep(&v);
    Node out = reads_text_of(&v, node) ? make_node(16, 1) : node;
    collector::NodeRoot keep_out(&out);
    actions::form(&v, out, limit >= 0 ? limit_cell() : nullptr, limit >= 0 ? limit : INT_MAX);
    if (out != node) append_node(node, out);
    int32_t added = abs_length(node) - before;
    if (limit >= 0 && added > limit) {
        limit_tail(node, uint32_t(before + limit));
        added = limit;
    }
    return added;
}

// Forms the values of a block one after the other at the tail: at most `values` of them (all when
// negative), sharing a limit of characters (none when negative); answers the characters added.
int32_t form_block_at_tail(const Node& node, const Cell* block, int32_t values, int32_t limit) {
    int32_t before = abs_length(node);
    Cell b = *block;
    collector::Root keep(&b);
    int32_t i = head_of(&b);
    bool apart = false;
    const Cell* cells = cells_head(memory::nodes[b.node()]);
    for (int32_t k = i, n = static_cast<int32_t>(memory::nodes[b.node()]->length()); k < n && !apart; k++)
        apart = reads_text_of(cells + k, node);
    Node out = apart ? make_node(16, 1) : node;
    collector::NodeRoot keep_out(&out);
    int32_t start = out == node ? before : 0;
    while (values != 0) {
        if (i >= static_cast<int32_t>(memory::nodes[b.node()]->length())) break;
        int32_t written = abs_length(out) - start;
        if (limit >= 0 && written >= limit) break;
        Cell item = *(cells_head(memory::nodes[b.node()]) + i);
        collector::Root keep_item(&item);
        actions::form(&item, out, limit >= 0 ? limit_cell() : nullptr, limit >= 0 ? limit - written : INT_MAX);
        i++;
        if (values > 0) values--;
    }
    if (out != node) append_node(node, out);
    int32_t added = abs_length(node) - before;
    if (limit >= 0 && added > limit) {
        limit_tail(node, uint32_t(before + limit));
        added = limit;
    }
    return added;
}

int32_t clamp_head(Cell* series, Node node) {
    int32_t len = abs_length(node);
    int32_t h = std::clamp(series->index(), 0, len);
    series->set_index(h);
    return h;
}

// Sets the bytes a text buffer uses once an edit has filled them.
void set_used_bytes(Node node, int64_t bytes) {
    SeriesBuf* b = memory::nodes[node];
    b->tail = b->head + static_cast<uint32_t>(bytes);
}

}  // namespace

void exchange_runs(uint8_t* p, uint32_t a, uint32_t b, uint32_t g) {
    if (b == 0) {
        if (g) std::memmove(p + g, p, a);
        return;
    }
    if (a == 0) return;
    // The shorter run waits in a scratch area of the run-time's; past its size the runs are
    // rotated in place instead, which needs no memory at all.
    constexpr uint32_t kScratch = 65536;
    static uint8_t scratch[kScratch];
    if (std::min(a, b) <= kScratch) {
        if (b <= a) {
            std::memcpy(scratch, p + a, b);
            std::memmove(p + b + g, p, a);
            std::memcpy(p, scratch, b);
        } else {
            std::memcpy(scratch, p, a);
            std::memmove(p, p + a, b);
            std::memcpy(p + b + g, scratch, a);
        }
        return;
    }
    std::rotate(p, p + a, p + a + b);
    if (g) std::memmove(p + b + g, p + b, a);
}

Cell* append(Cell* series, const Cell* value_in, int32_t part, bool only, int32_t dup, bool notify_owner) {
    collector::Root keep_series(series);
    Cell value = *value_in;
    collector::Root keep_value(&value);
    if (dup < 1) return series;
    Node node = series->node();
    collector::NodeRoot keep_node(&node);
    if (notify_owner) series::notify(series, series::EV_APPEND, false, &value, abs_length(node), part);
    int32_t old = abs_length(node);
    TailGuard guard{&node, old};
    NewText t;
    collector::Root keep_text(&t.src);
    if (direct_text(&value, part, &t)) {
        if (t.n == 0) {
            guard.armed = false;
            return series;
        }
        uint32_t unit = std::max(text_unit(memory::nodes[node]), t.unit);
        int64_t bytes = total_bytes(old, t.n, dup, unit);
        prepare(node, unit, bytes - int64_t(old) * unit);
        write_text(node, old, t);
        repeat_text(node, old, t.n, dup);
        set_used_bytes(node, bytes);
    } else {
        int32_t n = types::any_list(value.type()) ? (only ? form_block_at_tail(node, &value, -1, part)
                                                          : form_block_at_tail(node, &value, part, -1))
                                                  : form_value_at_tail(node, &value, only ? part : -1);
        if (n == 0) {
            guard.armed = false;
            return series;
        }
        if (dup > 1) {
            uint32_t unit = text_unit(memory::nodes[node]);
            int64_t bytes = total_bytes(old, n, dup, unit);
            prepare(node, unit, bytes - (int64_t(old) + n) * unit);
            repeat_text(node, old, n, dup);
            set_used_bytes(node, bytes);
        }
    }
    guard.armed = false;
    series->data2 = node;
    series->set_index(0);
    if (notify_owner) series::notify(series, series::EV_APPEND, true, &value, old, part < 0 ? 1 : part);
    return series;
}

Cell* insert(Cell* series, const Cell* value_in, int32_t part, bool only, int32_t dup) {
    collector::Root keep_series(series);
    Cell value = *value_in;
    collector::Root keep_value(&value);
    if (dup < 1) return series;
    Node node = series->node();
    collector::NodeRoot keep_node(&node);
    series::notify(series, series::EV_INSERT, false, &value, clamp_head(series, node), part);
    int32_t h = clamp_head(series, node);
    int32_t len = abs_length(node);
    if (h >= len) {
        append(series, &value, part, only, dup, false);
        series::notify(series, series::EV_INSERT, true, &value, h, part < 0 ? 1 : part);
        series->set_index(abs_length(node));
        return series;
    }
    NewText t;
    collector::Root keep_text(&t.src);
    int32_t n;
    if (direct_text(&value, part, &t)) {
        n = t.n;
        detach(&t, node);
        uint32_t unit = std::max(text_unit(memory::nodes[node]), t.unit);
        int64_t bytes = total_bytes(len, n, dup, unit);
        int64_t add = int64_t(n) * dup;
        SeriesBuf* b = prepare(node, unit, add * unit);
        uint8_t* at = b->at_head() + size_t(h) * unit;
        std::memmove(at + add * unit, at, size_t(len - h) * unit);
        write_text(node, h, t);
        repeat_text(node, h, n, dup);
        set_used_bytes(node, bytes);
    } else {
        // Formed text is made at the tail first, then brought to the head.
        TailGuard guard{&node, len};
        n = types::any_list(value.type()) ? form_block_at_tail(node, &value, -1, part)
                                          : form_value_at_tail(node, &value, part);
        uint32_t unit = text_unit(memory::nodes[node]);
        int64_t bytes = total_bytes(len, n, dup, unit);
        int64_t add = int64_t(n) * dup;
        SeriesBuf* b = prepare(node, unit, (add - n) * unit);
        exchange_runs(b->at_head() + size_t(h) * unit, uint32_t(len - h) * unit, uint32_t(n) * unit,
                      static_cast<uint32_t>((add - n) * unit));
        repeat_text(node, h, n, dup);
        set_used_bytes(node, bytes);
        guard.armed = false;
    }
    series->data2 = node;
    series::notify(series, series::EV_INSERT, true, &value, h, part < 0 ? 1 : part);
    int64_t at = int64_t(h) + int64_t(n) * dup;
    series->set_index(static_cast<int32_t>(std::min<int64_t>(at, abs_length(node))));
    return series;
}

Cell* change(Cell* series, const Cell* value_in, int32_t part, bool only, int32_t dup) {
    collector::Root keep_series(series);
    Cell value = *value_in;
    collector::Root keep_value(&value);
    if (dup < 1) return series;
    Node node = series->node();
    collector::NodeRoot keep_node(&node);
    int32_t h = clamp_head(series, node);
    int32_t after = abs_length(node) - h;
    int32_t told;
    if (part >= 0) {
        told = std::min(part, after);
    } else {
        int64_t k = types::any_block(value.type()) ? block::rs_length_q(&value) : 1;
        told = static_cast<int32_t>(std::min<int64_t>(k * dup, after));
    }
    series::notify(series, series::EV_CHANGE, false, &value, h, told);
    h = clamp_head(series, node);
    int32_t len = abs_length(node);
    after = len - h;
    if (part > after) part = after;
    if (h >= len) {
        append(series, &value, -1, only, dup, false);
        series::notify(series, series::EV_CHANGE, true, &value, h, abs_length(node) - len);
        series->set_index(abs_length(node));
        return series;
    }
    NewText t;
    collector::Root keep_text(&t.src);
    int32_t n;
    int32_t replaced;
    if (direct_text(&value, -1, &t)) {
        n = t.n;
        detach(&t, node);
        int64_t add = int64_t(n) * dup;
        replaced = part >= 0 ? part : static_cast<int32_t>(std::min<int64_t>(add, after));
        uint32_t unit = std::max(text_unit(memory::nodes[node]), t.unit);
        total_bytes(len, n, dup, unit);
        SeriesBuf* b = prepare(node, unit, std::max<int64_t>(0, add - replaced) * unit);
        uint8_t* base = b->at_head();
        std::memmove(base + size_t(h + add) * unit, base + size_t(h + replaced) * unit, size_t(len - h - replaced) * unit);
        write_text(node, h, t);
        repeat_text(node, h, n, dup);
        set_used_bytes(node, (int64_t(len) + add - replaced) * unit);
    } else {
        // The formed text is made whole at the tail (a /part only limits what it replaces).
        TailGuard guard{&node, len};
        n = types::any_list(value.type()) ? form_block_at_tail(node, &value, -1, -1)
                                          : form_value_at_tail(node, &value, -1);
        int64_t add = int64_t(n) * dup;
        replaced = part >= 0 ? part : static_cast<int32_t>(std::min<int64_t>(add, after));
        uint32_t unit = text_unit(memory::nodes[node]);
        total_bytes(len, n, dup, unit);
        SeriesBuf* b = prepare(node, unit, (add - n) * unit);
        uint8_t* base = b->at_head();
        // [h, h + replaced) old | rest up to len | formed text: bring the text before the rest,
        // with room for the repeats, then close the gap left by the replaced characters.
        exchange_runs(base + size_t(h + replaced) * unit, uint32_t(len - h - replaced) * unit, uint32_t(n) * unit,
                      static_cast<uint32_t>((add - n) * unit));
        std::memmove(base + size_t(h) * unit, base + size_t(h + replaced) * unit,
                     size_t(int64_t(len) + add - h - replaced) * unit);
        repeat_text(node, h, n, dup);
        set_used_bytes(node, (int64_t(len) + add - replaced) * unit);
        guard.armed = false;
    }
    series->data2 = node;
    int64_t added = int64_t(n) * dup;
    series::notify(series, series::EV_CHANGE, true, &value, h, static_cast<int32_t>(added));
    series->set_index(static_cast<int32_t>(h + added));
    return series;
}

int32_t part_arg(const int32_t* refs, int k) {
    if (refs[k] < 0) return -1;
    const Cell* p = stack::arguments + refs[k];
    return p->type() == TYPE_INTEGER ? int_of(p) : -1;
}

int32_t dup_arg(const int32_t* refs, int k) {
    if (refs[k] < 0) return 1;
    const Cell* d = stack::arguments + refs[k];
    if (d->type() != TYPE_INTEGER) fire(err::script::invalid_arg, d);
    return int_of(d);
}

void append_action(const int32_t* refs) {
    Cell* args = stack::arguments;
    append(args, args + 1, part_arg(refs, 0), refs[1] >= 0, dup_arg(refs, 2), true);
    stack::keep();
}

void insert_action(const int32_t* refs) {
    Cell* args = stack::arguments;
    insert(args, args + 1, part_arg(refs, 0), refs[1] >= 0, dup_arg(refs, 2));
    stack::keep();
}

void change_action(const int32_t* refs) {
    Cell* args = stack::arguments;
    // A /part that ends before the head replaces nothing; a negative count here would mean no
    // /part at all and replace as much as is written.
    int32_t part = part_arg(refs, 0);
    if (refs[0] >= 0 && part < 0) part = 0;
    change(args, args + 1, part, refs[1] >= 0, dup_arg(refs, 2));
    stack::keep();
}

// =============================================================================================
// find and select

namespace {

enum SeriesKind { KIND_TEXT, KIND_BINARY, KIND_VECTOR };

SeriesKind kind_of(const Cell* s) {
    if (s->type() == TYPE_BINARY) return KIND_BINARY;
    if (s->type() == TYPE_VECTOR) return KIND_VECTOR;
    return KIND_TEXT;
}

bool float_elements(const Cell* s) { return vector::float_type_q(static_cast<int>(s->data3)); }

// An element of a vector as a number.
double vector_number(const uint8_t* p, uint32_t unit, bool floats, bool chars = false) {
    return floats ? vector::read_float(p, unit) : double(vector::read_int(p, unit, chars));
}

// What a search looks for.
struct Pattern {
    enum Kind { CHAR, BITSET, NUMBER, TEXT, NOTHING } kind = NOTHING;
    uint32_t cp = 0;
    double number = 0;
    Cell text{TYPE_NONE, 0, 0, 0};  // TEXT: the characters searched for, from its head; BITSET: the bitset
    int32_t len = 0;
};

// Makes the pattern of a value for a series; the caller guards p->text.
void make_pattern(const Cell* series, const Cell* value, Pattern* p) {
    SeriesKind k = kind_of(series);
    uint8_t t = value->type();
    if (t == TYPE_CHAR) {
        p->kind = Pattern::CHAR;
        p->cp = cp_of(value);
        p->number = double(cp_of(value));
        p->len = 1;
        return;
    }
    if (t == TYPE_BITSET) {
        p->kind = Pattern::BITSET;
        p->text = *value;
        p->len = 1;
        return;
    }
    if (k != KIND_TEXT && (t == TYPE_INTEGER || t == TYPE_FLOAT || t == TYPE_PERCENT)) {
        p->kind = Pattern::NUMBER;
        p->number = t == TYPE_INTEGER ? double(int_of(value)) : value->f();
        p->len = 1;
        return;
    }
    if (k == KIND_VECTOR) return;  // a vector holds numbers only
    if (t == TYPE_BINARY) {
        if (k != KIND_BINARY) fire(err::script::invalid_arg, value);
        p->text = *value;
    } else {
        if (plain_text(t) || t == TYPE_SYMBOL) {
            as_text(value, &p->text);
        } else if (t == TYPE_WORD) {
            make_at(&p->text, symbol::get_string(static_cast<int32_t>(value->data2)));
        } else {
            Node n = make_node(16, 1);
            make_at(&p->text, n);
            actions::form(value, n, nullptr, INT_MAX);
        }
        if (k == KIND_BINARY) {
            // Text of any kind (a word's, a formed value's) is searched in bytes by its UTF-8
            // form: compared as codepoints it would match Latin-1 bytes and never the encoding.
            std::string u = to_utf8(&p->text);
            Node n = make_node(static_cast<int32_t>(u.size()), 1);
            std::memcpy(memory::nodes[n]->data(), u.data(), u.size());
            memory::nodes[n]->tail = static_cast<uint32_t>(u.size());
            make_at(&p->text, n);
        }
    }
    p->kind = Pattern::TEXT;
    p->len = rs_length_q(&p->text);
}

bool in_bitset(const Cell* bits, int64_t x) {
    if (x < 0) return false;
    return x > UINT32_MAX ? bitset::complemented_q(bits) : bitset::match_q(bits, uint32_t(x));
}

}  // namespace

namespace {

// The candidate positions of a search over text or bytes, compared with the pattern's characters
// (already folded when case does not matter), one loop per unit size.
struct Scan {
    const uint8_t* base;
    int64_t first, last, step, end;
    const uint32_t* pattern;
    int64_t length;
    bool fold;
    bool match_only;

    template <uint32_t U>
    static uint32_t load(const uint8_t* p) {
        if constexpr (U == 1) return *p;
        if constexpr (U == 2) return uint32_t(p[0]) | (uint32_t(p[1]) << 8);
        uint32_t v;
        std::memcpy(&v, p, 4);
        return v;
    }

    // Forward one position at a time over one-byte text whose lead is ASCII (no byte above
    // 0x7F folds to ASCII): the lead is found by memchr, or by a tight loop when case folding
    // lets a letter match in either case; the rest is compared as run() does.
    int64_t run_ascii_lead() const {
        uint32_t lead = pattern[0];
        bool letter = fold && lead - 'A' < 26u;
        uint8_t byte = static_cast<uint8_t>(letter ? lead | 0x20 : lead);
        int64_t stop = std::min(last, end - length);
        for (int64_t p = first; p <= stop; p++) {
            if (letter) {
                while (p <= stop && (base[p] | 0x20) != byte) p++;
                if (p > stop) break;
            } else {
                const void* hit = std::memchr(base + p, byte, size_t(stop - p + 1));
                if (!hit) break;
                p = static_cast<const uint8_t*>(hit) - base;
            }
            int64_t k = 1;
            for (; k < length; k++) {
                uint32_t x = base[p + k];
                if (fold) x = upper(x);
                if (x != pattern[k]) break;
            }
            if (k == length) return p;
        }
        return -1;
    }

    template <uint32_t U>
    int64_t run() const {
        uint32_t lead = pattern[0];
        for (int64_t p = first; step > 0 ? p <= last : p >= last; p += step) {
            if (p + length <= end) {
                const uint8_t* e = base + size_t(p) * U;
                uint32_t c = load<U>(e);
                if (fold) c = upper(c);
                if (c == lead) {
                    int64_t k = 1;
                    for (; k < length; k++) {
                        uint32_t x = load<U>(e + size_t(k) * U);
                        if (fold) x = upper(x);
                        if (x != pattern[k]) break;
                    }
                    if (k == length) return p;
                }
            }
            if (match_only) break;
        }
        return -1;
    }
};

}  // namespace

int32_t find_value(const Cell* series, const Cell* value, const FindOptions& o, int32_t* length) {
    Cell s = *series;
    collector::Root keep_series(&s);
    SeriesKind kind = kind_of(&s);
    int64_t total = kind == KIND_VECTOR ? int64_t(sbuf(&s)->length()) : abs_length(s.node());
    if (total == 0) return -1;
    int64_t head = head_of(&s);
    if (head >= total && !o.reverse) return -1;
    if (head > total) head = total;
    int64_t skip = o.skip < 1 ? 1 : o.skip;

    Pattern pat;
    collector::Root keep_pattern(&pat.text);
    make_pattern(&s, value, &pat);
    if (pat.kind == Pattern::NOTHING || pat.len == 0) return -1;
    if (length) *length = pat.len;

    int64_t end, first, last, step;
    if (o.reverse) {
        if (o.match) return -1;
        int64_t low = 0;
        if (o.part >= 0) {
            if (o.part < 1) return -1;
            low = std::max<int64_t>(0, head - o.part);
        }
        end = total;
        first = head - skip;
        last = low;
        step = -skip;
    } else {
        int64_t room = total - head;
        if (o.part >= 0) {
            if (o.part < 1) return -1;
            room = std::min<int64_t>(room, o.part);
        }
        end = head + room;
        if (o.last) {
            first = head + ((room - 1) / skip) * skip;
            last = head;
            step = -skip;
        } else {
            first = head;
            last = end - 1;
            step = skip;
        }
    }

    bool fold = kind == KIND_TEXT && !o.case_ && !o.same;
    SeriesBuf* b = sbuf(&s);
    uint32_t unit = kind == KIND_VECTOR ? b->unit() : text_unit(b);
    const uint8_t* base = b->at_head();
    bool floats = kind == KIND_VECTOR && float_elements(&s);
    bool char_elements = kind == KIND_VECTOR && s.data3 == TYPE_CHAR;
    int64_t plen = pat.len;

    // Nothing below allocates: the addresses stay valid through the loop.
    if (pat.kind == Pattern::TEXT || (pat.kind == Pattern::CHAR && kind != KIND_VECTOR)) {
        // The pattern's characters, folded once when case does not matter.
        std::vector<uint32_t> chars;
        if (pat.kind == Pattern::TEXT) {
            SeriesBuf* pb = sbuf(&pat.text);
            uint32_t pu = text_unit(pb);
            const uint8_t* pp = pb->at_head() + size_t(head_of(&pat.text)) * pu;
            heap_or_no_memory([&] { chars.resize(size_t(plen)); });
            for (int64_t k = 0; k < plen; k++) chars[size_t(k)] = get_char(pp + size_t(k) * pu, pu);
        } else {
            chars.push_back(pat.cp);
        }
        if (fold)
            for (uint32_t& c : chars) c = upper(c);
        Scan scan{base, first, last, step, end, chars.data(), plen, fold, o.match};
        bool ascii_lead = unit == 1 && step == 1 && !o.match && chars[0] < 0x80;
        int64_t at = ascii_lead ? scan.run_ascii_lead() : unit == 1 ? scan.run<1>() : unit == 2 ? scan.run<2>() : scan.run<4>();
        return static_cast<int32_t>(at);
    }

    auto element_matches = [&](int64_t p) -> bool {
        const uint8_t* e = base + size_t(p) * unit;
        if (pat.kind == Pattern::BITSET) {
            if (kind == KIND_VECTOR) {
                double d = vector_number(e, unit, floats, char_elements);
                return d >= 0 && d < 2147483648.0 && d == std::floor(d) && in_bitset(&pat.text, int64_t(d));
            }
            return in_bitset(&pat.text, get_char(e, unit));
        }
        // A number (or a character in a vector), compared by value.
        if (kind == KIND_VECTOR) return vector_number(e, unit, floats, char_elements) == pat.number;
        return double(get_char(e, unit)) == pat.number;
    };

    for (int64_t p = first; step > 0 ? p <= last : p >= last; p += step) {
        if (p + plen <= end && element_matches(p)) return static_cast<int32_t>(p);
        if (o.match) break;
    }
    return -1;
}

namespace {

// Options from the refinements of find and select (select has no /tail and /match).
FindOptions find_options(const int32_t* refs, bool is_find, bool* tail) {
    Cell* args = stack::arguments;
    if (refs[4] >= 0 || refs[5] >= 0) fire(err::internal::not_done);
    FindOptions o;
    if (refs[0] >= 0) o.part = series::part_count(args, args + refs[0]);
    if (o.part < 0 && refs[0] >= 0) o.part = 0;  // a position before the head searches nothing
    o.case_ = refs[2] >= 0;
    o.same = refs[3] >= 0;
    if (refs[6] >= 0) {
        const Cell* size = args + refs[6];
        if (size->type() != TYPE_INTEGER) series::bad_refine("skip", size);
        if (int_of(size) < 1) fire(err::script::out_of_range, size);
        o.skip = int_of(size);
    }
    o.last = refs[7] >= 0;
    o.reverse = refs[8] >= 0;
    *tail = false;
    if (is_find) {
        *tail = refs[9] >= 0;
        o.match = refs[10] >= 0;
    }
    return o;
}

int64_t series_total(const Cell* s) {
    return s->type() == TYPE_VECTOR ? int64_t(sbuf(s)->length()) : abs_length(s->node());
}

}  // namespace

void find_action(const int32_t* refs) {
    Cell* args = stack::arguments;
    bool tail;
    FindOptions o = find_options(refs, true, &tail);
    int32_t len = 0;
    int32_t at = find_value(args, args + 1, o, &len);
    if (at < 0)
        none_cell(args);
    else
        args->set_index(tail ? at + len : at);
    stack::keep();
}

void select_action(const int32_t* refs) {
    Cell* args = stack::arguments;
    bool tail;
    FindOptions o = find_options(refs, false, &tail);
    int32_t len = 0;
    int32_t at = find_value(args, args + 1, o, &len);
    // Text values (and a tag with its brackets, a word's text) read past the whole match; any
    // value searched by its formed text (an integer, a pair...) reads one element on, as a char.
    uint8_t t = args[1].type();
    if (!(plain_text(t) || t == TYPE_TAG || t == TYPE_BINARY || t == TYPE_WORD || t == TYPE_SYMBOL)) len = 1;
    if (at < 0 || int64_t(at) + len >= series_total(args)) {
        none_cell(args);
    } else {
        Cell out;
        series::element_at(args, at + len, &out);
        *args = out;
    }
    stack::keep();
}

// =============================================================================================
// Path access

Cell* eval_path(PathStep& step, Cell* out) {
    Cell s = *step.value;
    collector::Root keep_series(&s);
    const Cell* el = step.element;
    int64_t total = series_total(&s);
    int64_t head = head_of(&s);
    auto store = [&](int64_t at) {
        series::poke_at(&s, at, el, step.store);
        *out = *step.store;
        return out;
    };
    if (el->type() == TYPE_INTEGER) {
        int64_t i = int_of(el);
        int64_t p = i > 0 ? head + i - 1 : head + i;
        bool inside = i != 0 && p >= 0 && p < total;
        if (!step.store) return inside ? series::element_at(&s, static_cast<int32_t>(p), out) : none_cell(out);
        if (!inside) fire(err::script::out_of_range, el);
        return store(p);
    }
    if (el->type() == TYPE_WORD) {
        Cell e = *el;
        Cell where = step.path ? *step.path : s;
        fire(err::script::invalid_path, &where, &e);
    }
    FindOptions o;
    o.case_ = step.case_;
    int32_t len = 0;
    int32_t at = find_value(&s, el, o, &len);
    int64_t next = int64_t(at) + len;
    if (!step.store) return at < 0 || next >= total ? none_cell(out) : series::element_at(&s, static_cast<int32_t>(next), out);
    if (at < 0) {
        Cell e = *el;
        Cell where = step.path ? *step.path : s;
        fire(err::script::bad_path_set, &where, &e);
    }
    // A store is a poke at 2 of the found series: the unit right after the match's first one,
    // however long the key (unlike the read, which skips the whole match). A match on the last
    // unit leaves that poke out of range.
    Cell two;
    int_cell(&two, 2);
    series::poke_at(&s, int64_t(at) + 1, &two, step.store);
    *out = *step.store;
    return out;
}

// =============================================================================================
// sort

namespace {

// Character comparators: op 0 folds case, op 2 does not; flags bit 0 reverses, bit 1 compares
// whole records (size in bits 2 and up), else bits 2 and up give the offset of the compared
// character in the record. Every unit size folds through the case tables to upper case, as the
// comparison of strings does: the order of a text never depends on the width it is stored in.
// Three-way results: no subtraction can overflow.
template <uint32_t U, bool Signed>
int32_t compare_units(const uint8_t* a, const uint8_t* b, intptr_t op, int32_t flags) {
    if (flags & 1) std::swap(a, b);
    auto read = [](const uint8_t* p) -> int64_t {
        if constexpr (U == 1) return Signed ? int64_t(static_cast<int8_t>(*p)) : int64_t(*p);
        if constexpr (U == 2) {
            uint16_t h = uint16_t(p[0] | (p[1] << 8));
            return Signed ? int64_t(static_cast<int16_t>(h)) : int64_t(h);
        }
        int32_t v;
        std::memcpy(&v, p, 4);
        return v;
    };
    auto fold = [op](int64_t c) -> int64_t {
        if (op != 0 || c < 0 || c > 0x10FFFF) return c;
        return upper(static_cast<uint32_t>(c));
    };
    int32_t count = 1;
    uint32_t offset = 0;
    if (flags & 2)
        count = flags >> 2;
    else
        offset = uint32_t(flags >> 2) * U;
    for (int32_t i = 0; i < count; i++) {
        int64_t x = fold(read(a + offset + size_t(i) * U)), y = fold(read(b + offset + size_t(i) * U));
        if (x != y) return x < y ? -1 : 1;
    }
    return 0;
}

template <typename F>
int32_t compare_floats(const uint8_t* a, const uint8_t* b, intptr_t, int32_t flags) {
    if (flags & 1) std::swap(a, b);
    int32_t count = 1;
    uint32_t offset = 0;
    if (flags & 2)
        count = flags >> 2;
    else
        offset = uint32_t(flags >> 2) * sizeof(F);
    for (int32_t i = 0; i < count; i++) {
        F x, y;
        std::memcpy(&x, a + offset + size_t(i) * sizeof(F), sizeof(F));
        std::memcpy(&y, b + offset + size_t(i) * sizeof(F), sizeof(F));
        // A NaN on either side compares equal.
        if (x < y) return -1;
        if (x > y) return 1;
    }
    return 0;
}

// What the comparison-function callback needs, handed over as the sort's operator value.
struct CallContext {
    uint32_t fn_index;  // data-stack index of the function! cell
    Node node;          // the sorted series' buffer
    uint32_t unit;
    int32_t record;     // characters per record
    bool whole;         // /all with /skip: the function sees whole records as strings
    bool reverse;
    uint8_t type;       // the sorted series' type
    int element_type;   // a vector's element type
    int64_t end;        // units from the buffer's start to the end of the sorted records
};

int32_t call_result(const Cell* r) {
    switch (r->type()) {
        case TYPE_LOGIC: return r->data1 ? 1 : -1;
        case TYPE_INTEGER: return int_of(r) > 0 ? -1 : int_of(r) < 0 ? 1 : 0;
        case TYPE_FLOAT: {
            double d = r->f();
            return d > 0 ? -1 : d < 0 ? 1 : 0;
        }
        case TYPE_NONE: return -1;
        default: return 1;
    }
}

int32_t compare_symbol = 0;

int32_t sort_call(const uint8_t* ra, const uint8_t* rb, intptr_t op, int32_t) {
    const auto* cx = reinterpret_cast<const CallContext*>(op);
    // The function sees the second record first, unless reversed.
    const uint8_t* first = cx->reverse ? ra : rb;
    const uint8_t* second = cx->reverse ? rb : ra;
    Cell* base = stack::top;
    // Both hold none until made: the collector marks them while either is being made.
    Cell* x = set_cell(stack::push_cell(), TYPE_NONE);
    Cell* y = set_cell(stack::push_cell(), TYPE_NONE);
    if (cx->whole) {
        // Making the strings allocates and may move the sorted buffer: copy the records first.
        size_t bytes = size_t(cx->record) * cx->unit;
        std::vector<uint8_t> copies;
        heap_or_no_memory([&] { copies.resize(bytes * 2); });
        std::memcpy(copies.data(), first, bytes);
        std::memcpy(copies.data() + bytes, second, bytes);
        Cell* cells[2] = {x, y};
        for (int k = 0; k < 2; k++) {
            Node n = memory::alloc_series(cx->record, static_cast<int>(cx->unit), 0);
            SeriesBuf* s = memory::nodes[n];
            std::memcpy(s->data(), copies.data() + bytes * k, bytes);
            s->tail = static_cast<uint32_t>(bytes);
            set_cell(cells[k], cx->type == TYPE_VECTOR ? TYPE_VECTOR : TYPE_STRING, 0, n,
                     cx->type == TYPE_VECTOR ? uint32_t(cx->element_type) : 0);
        }
    } else if (cx->type == TYPE_VECTOR) {
        if (!series::vector_get_value) fire(err::internal::not_done);
        series::vector_get_value(first, cx->unit, cx->element_type, x);
        series::vector_get_value(second, cx->unit, cx->element_type, y);
    } else {
        char_cell(x, get_char(first, cx->unit));
        char_cell(y, get_char(second, cx->unit));
    }
    if (!compare_symbol) compare_symbol = symbol::make("<compare-callback>");
    stack::mark_named(static_cast<uint32_t>(compare_symbol), FRAME_NATIVE);
    const Cell* args[2] = {x, y};
    Cell result;
    interpreter::call_with(&result, stack::at_index(cx->fn_index), args, 2);
    stack::pop_frame();
    stack::top = base;
    // A function that widened the text (by putting a wider character into it) has turned the
    // records the sort holds into parts of characters: going on would scramble the text.
    if (cx->type != TYPE_VECTOR && text_unit(memory::nodes[cx->node]) != cx->unit) fire(err::script::past_end);
    // A function that cut the series short has left records past its tail: sorting on would
    // bring what it removed back in front of the tail.
    int64_t total = cx->type == TYPE_VECTOR ? int64_t(memory::nodes[cx->node]->length()) : abs_length(cx->node);
    if (total < cx->end) fire(err::script::past_end);
    return call_result(&result);
}

}  // namespace

Cell* sort(Cell* series, bool case_, const Cell* skip, const Cell* comparator, const Cell* part, bool all, bool reverse,
           bool stable) {
    collector::Root keep_series(series);
    Cell* saved_top = stack::top;
    bool vector = series->type() == TYPE_VECTOR;
    int64_t total = series_total(series);
    int64_t head = head_of(series);
    if (head > total) {
        // A head past the tail stands for the tail, also when a /part position is counted from it.
        head = total;
        series->set_index(static_cast<int32_t>(head));
    }
    int64_t length = total - head;
    if (part) {
        int32_t count = series::part_count(series, part);
        if (count < length) {
            if (count < 0) {
                if (head + count < 0) {
                    series->set_index(0);
                    return series;
                }
                head += count;
                series->set_index(static_cast<int32_t>(head));
                length = -int64_t(count);
            } else {
                length = count;
            }
        }
    }
    if (length == 0) return series;
    int64_t size = 1;
    if (skip) {
        if (skip->type() != TYPE_INTEGER) series::bad_refine("skip", skip);
        size = int_of(skip);
        if (size < 1 || size > length || length % size != 0) series::bad_refine("skip", skip);
    }
    if (all && !skip) fire(err::script::bad_refines);

    SeriesBuf* b = sbuf(series);
    uint32_t unit = vector ? b->unit() : text_unit(b);
    bool floats = vector && float_elements(series);
    bool signed_units = vector && !floats && series->data3 == TYPE_INTEGER;
    auto unit_compare = [&](uint32_t u) -> sort::Compare {
        if (floats) return u == 4 ? compare_floats<float> : compare_floats<double>;
        if (u == 1) return signed_units ? compare_units<1, true> : compare_units<1, false>;
        if (u == 2) return signed_units ? compare_units<2, true> : compare_units<2, false>;
        return compare_units<4, true>;
    };
    sort::Compare cmp = unit_compare(unit);
    // Bytes and numbers have no letter case.
    intptr_t op = case_ || vector || series->type() == TYPE_BINARY ? 2 : 0;
    int32_t flags = reverse ? 1 : 0;
    CallContext cx{};
    if (comparator) {
        if (comparator->type() == TYPE_FUNCTION) {
            cx.fn_index = stack::index_of(comparator);
            cx.node = series->node();
            cx.unit = unit;
            cx.record = static_cast<int32_t>(size);
            cx.whole = all && skip;
            cx.reverse = reverse;
            cx.type = series->type();
            cx.element_type = static_cast<int>(series->data3);
            if (comparator < stack::bottom || comparator >= stack::top) {
                // The function must sit on the data stack, where its index stays valid.
                cx.fn_index = stack::index_of(stack::push(comparator));
            }
            cmp = sort_call;
            op = reinterpret_cast<intptr_t>(&cx);
        } else if (comparator->type() == TYPE_INTEGER) {
            if (all || !skip) fire(err::script::bad_refines);
            int32_t k = int_of(comparator);
            if (k < 1 || k > size) fire(err::script::out_of_range, comparator);
            if (k - 1 > (INT32_MAX >> 2)) fire(err::script::too_long);
            flags |= (k - 1) << 2;
        } else {
            series::bad_refine("compare", comparator);
        }
    } else if (all && skip) {
        if (size > (INT32_MAX >> 2)) fire(err::script::too_long);
        flags |= 2 | static_cast<int32_t>(size << 2);
    }
    series::notify(series, series::EV_SORT, false, nullptr, static_cast<int32_t>(head), static_cast<int32_t>(length));
    // An owner's handler may have shortened the series: sort only what is still there.
    length = std::min(length, std::max<int64_t>(0, series_total(series) - head));
    length -= length % size;
    cx.end = head + length;
    b = sbuf(series);
    if (!vector && text_unit(b) != unit) {
        // The handler widened the text: its records are now wider.
        unit = text_unit(b);
        if (cmp == sort_call)
            cx.unit = unit;
        else
            cmp = unit_compare(unit);
    }
    uint32_t count = static_cast<uint32_t>(length / size);
    uint32_t width = static_cast<uint32_t>(size) * unit;
    uint32_t offset = b->head + static_cast<uint32_t>(head) * unit;
    if (stable)
        sort::stable(series->node(), offset, count, width, op, flags, cmp);
    else
        sort::qsort(series->node(), offset, count, width, op, flags, cmp);
    stack::top = saved_top;
    series::notify(series, series::EV_SORT, true, nullptr, static_cast<int32_t>(head), static_cast<int32_t>(length));
    return series;
}

void sort_action(const int32_t* refs) {
    Cell* args = stack::arguments;
    auto arg = [&](int k) -> const Cell* { return refs[k] >= 0 ? args + refs[k] : nullptr; };
    sort(args, refs[0] >= 0, arg(1), arg(2), arg(3), refs[4] >= 0, refs[5] >= 0, refs[6] >= 0);
    stack::keep();
}

// =============================================================================================
// swap and take

void swap_action(const int32_t*) {
    Cell* args = stack::arguments;
    Cell* a = args;
    Cell* b = args + 1;
    if (!types::any_string(b->type()) && b->type() != TYPE_BINARY) fire(err::script::invalid_arg, b);
    int64_t ha = head_of(a), hb = head_of(b);
    if (ha < series_total(a) && hb < series_total(b)) {
        uint32_t ca = rs_abs_at(a, static_cast<int32_t>(ha));
        uint32_t cb = rs_abs_at(b, static_cast<int32_t>(hb));
        // A binary! holds bytes: a character above 255 cannot go into one.
        Cell bad;
        if (a->type() == TYPE_BINARY && cb > 255) fire(err::script::invalid_arg, char_cell(&bad, cb));
        if (b->type() == TYPE_BINARY && ca > 255) fire(err::script::invalid_arg, char_cell(&bad, ca));
        series::notify(a, series::EV_SWAP, false, b, static_cast<int32_t>(ha), 1);
        series::notify(b, series::EV_SWAP, false, a, static_cast<int32_t>(hb), 1);
        // The units are read again as the owners' handlers left them (one may have put a
        // character in at the position); when a handler shortened either side, nothing is swapped.
        if (ha < series_total(a) && hb < series_total(b)) {
            ca = rs_abs_at(a, static_cast<int32_t>(ha));
            cb = rs_abs_at(b, static_cast<int32_t>(hb));
            if (a->type() == TYPE_BINARY && cb > 255) fire(err::script::invalid_arg, char_cell(&bad, cb));
            if (b->type() == TYPE_BINARY && ca > 255) fire(err::script::invalid_arg, char_cell(&bad, ca));
            for (int k = 0; k < 2; k++) {
                Cell* s = k == 0 ? a : b;
                int64_t h = k == 0 ? ha : hb;
                SeriesBuf* buf = sbuf(s);
                poke_char(s->node(), buf->head / text_unit(buf) + static_cast<uint32_t>(h), k == 0 ? cb : ca);
            }
        }
        series::notify(a, series::EV_SWAP, true, b, static_cast<int32_t>(ha), 1);
        series::notify(b, series::EV_SWAP, true, a, static_cast<int32_t>(hb), 1);
    }
    stack::keep();
}

void take_action(const int32_t* refs) {
    Cell* args = stack::arguments;
    const Cell* part = refs[0] >= 0 ? args + refs[0] : nullptr;
    Cell out;
    series::take_core(args, part, refs[2] >= 0, &out);
    // Without /part the one character taken is answered as a value of its own.
    if (!part && out.type() != TYPE_NONE)
        series::element_at(&out, 0, args);
    else
        *args = out;
    stack::keep();
}

// =============================================================================================
// trim

namespace {

bool white(uint32_t c) {
    return (c >= 1 && c <= 32) || c == 0x85 || c == 0xA0 || c == 0x1680 || c == 0x180E || (c >= 0x2000 && c <= 0x200A) ||
           c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

// Inside lines: space, tab and the wide blanks, but not line feeds or other control characters.
bool line_white(uint32_t c) { return c == ' ' || c == '\t' || (c >= 0x85 && white(c)); }

// A set of codepoints: a bitmap below 256, a sorted list above.
struct CharSet {
    uint8_t low[32] = {};
    std::vector<uint32_t> high;
    void add(uint32_t c) {
        if (c < 256)
            low[c >> 3] |= uint8_t(1u << (c & 7));
        else
            high.push_back(c);
    }
    void done() {
        std::sort(high.begin(), high.end());
        high.erase(std::unique(high.begin(), high.end()), high.end());
    }
    bool has(uint32_t c) const {
        if (c < 256) return low[c >> 3] & (1u << (c & 7));
        return std::binary_search(high.begin(), high.end(), c);
    }
};

// Rewrites the characters from the head through a filter that writes with put(); the filter never
// writes ahead of what it reads, so the work is done in place without allocating.
template <class F>
void rewrite(Cell* s, F&& filter) {
    SeriesBuf* b = sbuf(s);
    uint32_t unit = text_unit(b);
    int64_t total = (b->tail - b->head) / unit;
    int64_t h = std::min<int64_t>(head_of(s), total);
    uint8_t* base = b->at_head();
    int64_t w = h;
    auto get = [&](int64_t i) { return get_char(base + size_t(i) * unit, unit); };
    auto put = [&](uint32_t c) { put_char(base + size_t(w++) * unit, unit, c); };
    auto mark = [&]() { return w; };
    auto reset = [&](int64_t m) { w = m; };
    filter(h, total, get, put, mark, reset);
    b->tail = b->head + static_cast<uint32_t>(w * unit);
}

void trim_plain(Cell* s) {
    rewrite(s, [](int64_t h, int64_t t, auto& get, auto& put, auto& mark, auto& reset) {
        int64_t a = h, z = t;
        while (a < z && white(get(a))) a++;
        while (z > a && white(get(z - 1))) z--;
        bool line_end = false;
        for (int64_t i = z; i < t; i++)
            if (get(i) == '\n') line_end = true;
        bool line_start = true;
        int64_t run = -1;  // where the blanks written since the last other character begin
        for (int64_t i = a; i < z; i++) {
            uint32_t c = get(i);
            if (c == '\n') {
                if (run >= 0) reset(run);
                run = -1;
                put(c);
                line_start = true;
            } else if (line_white(c)) {
                if (line_start) continue;
                if (run < 0) run = mark();
                put(c);
            } else {
                run = -1;
                line_start = false;
                put(c);
            }
        }
        if (line_end && z > a) put('\n');
    });
}

void trim_lines(Cell* s) {
    rewrite(s, [](int64_t h, int64_t t, auto& get, auto& put, auto&, auto&) {
        bool blank = false, any = false;
        for (int64_t i = h; i < t; i++) {
            uint32_t c = get(i);
            if (white(c)) {
                blank = true;
                continue;
            }
            if (blank && any) put(' ');
            put(c);
            blank = false;
            any = true;
        }
    });
}

void trim_ends(Cell* s, bool head, bool tail) {
    rewrite(s, [head, tail](int64_t h, int64_t t, auto& get, auto& put, auto&, auto&) {
        int64_t a = h, z = t;
        if (head)
            while (a < z && white(get(a))) a++;
        if (tail)
            while (z > a && white(get(z - 1))) z--;
        for (int64_t i = a; i < z; i++) put(get(i));
    });
}

}  // namespace

void trim_chars(Cell* s, const Cell* with) {
    CharSet set;
    if (!with) {
        for (uint32_t c : {9u, 10u, 13u, 32u}) set.add(c);
    } else if (with->type() == TYPE_CHAR || with->type() == TYPE_INTEGER) {
        set.add(with->type() == TYPE_CHAR ? cp_of(with) : static_cast<uint32_t>(int_of(with)));
    } else if (types::any_string(with->type()) || with->type() == TYPE_BINARY) {
        SeriesBuf* b = sbuf(with);
        uint32_t unit = text_unit(b);
        int32_t n = rs_length_q(with);
        if (n == 0) return;
        const uint8_t* p = b->at_head() + size_t(head_of(with)) * unit;
        heap_or_no_memory([&] {
            for (int32_t i = 0; i < n; i++) set.add(get_char(p + size_t(i) * unit, unit));
        });
    } else {
        fire(err::script::invalid_arg, with);
    }
    heap_or_no_memory([&] { set.done(); });
    rewrite(s, [&set](int64_t h, int64_t t, auto& get, auto& put, auto&, auto&) {
        for (int64_t i = h; i < t; i++) {
            uint32_t c = get(i);
            if (!set.has(c)) put(c);
        }
    });
}

void trim_action(const int32_t* refs) {
    Cell* s = stack::arguments;
    bool head = refs[0] >= 0, tail = refs[1] >= 0, lines = refs[3] >= 0, all = refs[4] >= 0;
    const Cell* with = refs[5] >= 0 ? s + refs[5] : nullptr;
    if (refs[2] >= 0) fire(err::internal::not_done);
    int32_t h = head_of(s), n = rs_length_q(s);
    series::notify(s, series::EV_TRIM, false, nullptr, h, n);
    if (all || with)
        trim_chars(s, with);
    else if (lines)
        trim_lines(s);
    else if (head || tail)
        trim_ends(s, head, tail);
    else
        trim_plain(s);
    series::notify(s, series::EV_TRIM, true, nullptr, h, n);
    stack::keep();
}

// =============================================================================================
// Set operations

bool find_record_key(const Cell* series, uint32_t key, int32_t size, bool case_) {
    SeriesBuf* b = sbuf(series);
    uint32_t unit = text_unit(b);
    int64_t total = (b->tail - b->head) / unit;
    if (size < 1) size = 1;
    uint32_t k = case_ ? key : upper(key);
    const uint8_t* base = b->at_head();
    for (int64_t i = head_of(series); i < total; i += size) {
        uint32_t c = get_char(base + size_t(i) * unit, unit);
        if ((case_ ? c : upper(c)) == k) return true;
    }
    return false;
}

void do_set_op(Cell* set1, const Cell* set2, int op, bool case_, const Cell* skip_arg) {
    int32_t size = 1;
    if (skip_arg) {
        if (skip_arg->type() != TYPE_INTEGER || int_of(skip_arg) < 1) series::bad_refine("skip", skip_arg);
        size = int_of(skip_arg);
    }
    Cell a = *set1, b;
    collector::Root keep_a(&a);
    if (set2)
        b = *set2;
    else
        none_cell(&b);
    collector::Root keep_b(&b);
    clamp_head(&a, a.node());
    bool two = op != OP_UNIQUE;
    if (two) clamp_head(&b, b.node());
    bool both_passes = op == OP_UNION || op == OP_DIFFERENCE;
    int64_t room = rs_length_q(&a) + (both_passes ? rs_length_q(&b) : 0);
    check_size(room);
    Node out = make_node(static_cast<int32_t>(room), 1);
    collector::NodeRoot keep_out(&out);
    if (room > 0) heap_or_no_memory([&] {
        // The keys of a series' records, each folded unless case matters.
        auto keys_of = [&](const Cell* s) {
            CharSet k;
            SeriesBuf* sb = sbuf(s);
            uint32_t unit = text_unit(sb);
            int64_t total = (sb->tail - sb->head) / unit;
            for (int64_t i = head_of(s); i < total; i += size) {
                uint32_t c = get_char(sb->at_head() + size_t(i) * unit, unit);
                k.add(case_ ? c : upper(c));
            }
            k.done();
            return k;
        };
        CharSet taken;
        std::unordered_set<uint32_t> taken_high;
        auto was_taken = [&](uint32_t k) { return k < 256 ? taken.has(k) : taken_high.count(k) != 0; };
        int passes = both_passes ? 2 : 1;
        for (int pass = 0; pass < passes; pass++) {
            const Cell* src = pass == 0 ? &a : &b;
            const Cell* other = pass == 0 ? &b : &a;
            CharSet others;
            bool lookup = op == OP_INTERSECT || op == OP_EXCLUDE || op == OP_DIFFERENCE;
            if (lookup) others = keys_of(other);
            int64_t total = series_total(src);
            for (int64_t i = head_of(src); i < total; i += size) {
                uint32_t c = rs_abs_at(src, static_cast<int32_t>(i));
                uint32_t k = case_ ? c : upper(c);
                bool take = true;
                if (op == OP_INTERSECT) take = others.has(k);
                if (op == OP_EXCLUDE || op == OP_DIFFERENCE) take = !others.has(k);
                if (!take || was_taken(k)) continue;
                if (k < 256)
                    taken.add(k);
                else
                    taken_high.insert(k);
                int64_t end = std::min<int64_t>(i + size, total);
                for (int64_t j = i; j < end; j++) append_char(out, rs_abs_at(src, static_cast<int32_t>(j)));
            }
        }
    });
    set_cell(set1, a.type(), 0, out);
}

// =============================================================================================
// Matching at a string's head (the parse engine)

bool match_bitset_q(const Cell* string, const Cell* bitset) {
    if (rs_length_q(string) == 0) return false;
    return in_bitset(bitset, rs_abs_at(string, head_of(string)));
}

bool match_tag_q(const Cell* string, const Cell* tag) {
    int64_t h = head_of(string);
    int64_t total = abs_length(string->node());
    int64_t close = h + int64_t(rs_length_q(tag)) + 1;
    if (close >= total) return false;
    return rs_abs_at(string, static_cast<int32_t>(h)) == '<' && rs_abs_at(string, static_cast<int32_t>(close)) == '>';
}

bool match_value_q(const Cell* string, const Cell* value, int op) {
    uint8_t t = value->type();
    if (plain_text(t)) return compare_strings(string, value, op, true) == 0;
    if (t == TYPE_CHAR) {
        if (rs_length_q(string) == 0) return false;
        uint32_t c = rs_abs_at(string, head_of(string));
        if (c == cp_of(value)) return true;
        return op != COMP_STRICT_EQUAL && upper(c) == upper(cp_of(value));
    }
    if (t == TYPE_TAG) {
        if (!match_tag_q(string, value)) return false;
        Cell after = *string;
        after.set_index(head_of(string) + 1);
        Cell text = *value;
        text.set_type(TYPE_STRING);
        return compare_strings(&after, &text, op, true) == 0;
    }
    return false;
}

// =============================================================================================
// Registration

void init() {
    datatype::Row row;
    row.set(ACT_MAKE, make)
        .set(ACT_TO, to)
        .set(ACT_FORM, form)
        .set(ACT_MOLD, mold)
        .set(ACT_EVAL_PATH, eval_path)
        .set(ACT_COMPARE, compare)
        .set(ACT_APPEND, append_action)
        .set(ACT_CHANGE, change_action)
        .set(ACT_FIND, find_action)
        .set(ACT_INSERT, insert_action)
        .set(ACT_SELECT, select_action)
        .set(ACT_SORT, sort_action)
        .set(ACT_SWAP, swap_action)
        .set(ACT_TAKE, take_action)
        .set(ACT_TRIM, trim_action);
    row.inherit({ACT_RANDOM, ACT_REFLECT, ACT_AT, ACT_BACK, ACT_CLEAR, ACT_COPY, ACT_HEAD, ACT_HEAD_Q, ACT_INDEX_Q,
                 ACT_LENGTH_Q, ACT_MOVE, ACT_NEXT, ACT_PICK, ACT_POKE, ACT_REMOVE, ACT_REVERSE, ACT_SKIP, ACT_TAIL,
                 ACT_TAIL_Q, ACT_MODIFY});
    datatype::register_row(TYPE_STRING, TYPE_SERIES, "string!", row);
}

}  // namespace string
