#include "datatypes/string.h"

#include <cstring>

#include "datatypes/datatype.h"
#include "runtime/fire.h"
#include "runtime/stack.h"

namespace string {

static SeriesBuf* sbuf(const Cell* v) { return memory::nodes[v->node()]; }

int32_t rs_length_q(const Cell* value) {
    SeriesBuf* s = sbuf(value);
    int64_t n = int64_t(s->length()) - value->index();
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

bool rs_tail_q(const Cell* value) { return rs_length_q(value) == 0; }

uint32_t rs_abs_at(const Cell* value, int32_t index) {
    SeriesBuf* s = sbuf(value);
    return get_char(s->at_head() + size_t(index) * s->unit(), s->unit());
}

int32_t find_char(const Cell* value, uint32_t cp) {
    SeriesBuf* s = sbuf(value);
    uint32_t unit = s->unit();
    int32_t n = rs_length_q(value);
    const uint8_t* p = s->at_head() + size_t(value->index()) * unit;
    for (int32_t i = 0; i < n; i++, p += unit)
        if (get_char(p, unit) == cp) return i;
    return -1;
}

bool match_literal_q(const Cell* value, const char* literal) {
    SeriesBuf* s = sbuf(value);
    uint32_t unit = s->unit();
    size_t len = std::strlen(literal);
    if (len > size_t(rs_length_q(value))) return false;
    const uint8_t* p = s->at_head() + size_t(value->index()) * unit;
    for (size_t i = 0; i < len; i++, p += unit)
        if (get_char(p, unit) != static_cast<unsigned char>(literal[i])) return false;
    return true;
}

// Widening runs from the tail down so it can be done in place once the buffer has room.
void widen(Node node, uint32_t unit) {
    SeriesBuf* s = memory::nodes[node];
    uint32_t old = s->unit();
    if (unit <= old) return;
    uint32_t chars_to_tail = s->tail / old;  // characters from the data start
    uint64_t need = uint64_t(chars_to_tail) * unit;
    if (need > s->capacity) {
        uint64_t cap = s->capacity ? s->capacity : 16;
        while (cap < need) cap *= 2;
        if (cap > 0x7FFFFFF0u) fire(err::internal::no_memory);
        // expand_series copies from the head: copy the whole data area so that the head
        // offset survives, then put the head back.
        uint32_t old_head = s->head;
        uint32_t old_tail = s->tail;
        s->head = 0;
        s = memory::expand_series(node, static_cast<uint32_t>(cap));
        s->head = old_head;
        s->tail = old_tail;
    }
    uint8_t* d = s->data();
    for (int64_t i = int64_t(chars_to_tail) - 1; i >= 0; i--) {
        uint32_t cp = get_char(d + size_t(i) * old, old);
        put_char(d + size_t(i) * unit, unit, cp);
    }
    s->head = s->head / old * unit;
    s->tail = chars_to_tail * unit;
    s->flags = (s->flags & ~series_flag::unit_mask) | unit;
}

static uint32_t unit_for_append(uint32_t unit, uint32_t cp) {
    if (unit == 1 && cp > 127) return cp > 0xFFFF ? 4 : 2;
    if (unit == 2 && cp > 0xFFFF) return 4;
    return unit;
}

static uint32_t unit_for_store(uint32_t unit, uint32_t cp) {
    if (unit == 1 && cp > 255) return cp > 0xFFFF ? 4 : 2;
    if (unit == 2 && cp > 0xFFFF) return 4;
    return unit;
}

void append_char(Node node, uint32_t cp) {
    SeriesBuf* s = memory::nodes[node];
    uint32_t unit = unit_for_append(s->unit(), cp);
    if (unit != s->unit()) widen(node, unit);
    uint32_t at = series::alloc_tail_bytes(node, unit);
    put_char(memory::nodes[node]->data() + at, unit, cp);
}

void poke_char(Node node, uint32_t char_index, uint32_t cp) {
    SeriesBuf* s = memory::nodes[node];
    uint32_t unit = unit_for_store(s->unit(), cp);
    if (unit != s->unit()) widen(node, unit);
    s = memory::nodes[node];
    put_char(s->data() + size_t(char_index) * unit, unit, cp);
}

void overwrite_char(Node node, uint32_t char_index, uint32_t cp) {
    SeriesBuf* s = memory::nodes[node];
    uint32_t unit = unit_for_store(s->unit(), cp);
    if (unit != s->unit()) widen(node, unit);
    s = memory::nodes[node];
    uint64_t end = (uint64_t(char_index) + 1) * unit;
    if (end > s->capacity) s = series::reserve(node, static_cast<uint32_t>(end - s->tail));
    put_char(s->data() + size_t(char_index) * unit, unit, cp);
    if (end > s->tail) s->tail = static_cast<uint32_t>(end);
}

void insert_char(Node node, uint32_t char_index, uint32_t cp) {
    SeriesBuf* s = memory::nodes[node];
    uint32_t unit = unit_for_store(s->unit(), cp);
    if (unit != s->unit()) widen(node, unit);
    s = series::reserve(node, unit);
    uint8_t* at = s->data() + size_t(char_index) * unit;
    std::memmove(at + unit, at, s->tail - size_t(char_index) * unit);
    put_char(at, unit, cp);
    s->tail += unit;
}

void remove_part(Cell* value, int32_t index, int32_t count) {
    SeriesBuf* s = sbuf(value);
    uint32_t unit = s->unit();
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

void concatenate_literal(Node node, const char* bytes) { concatenate_literal_n(node, bytes, std::strlen(bytes)); }

void concatenate_literal_n(Node node, const char* bytes, size_t n) {
    SeriesBuf* s = memory::nodes[node];
    uint32_t unit = s->unit();
    bool ascii = true;
    for (size_t i = 0; i < n && ascii; i++) ascii = static_cast<unsigned char>(bytes[i]) < 128;
    if (!ascii) {
        for (size_t i = 0; i < n; i++) append_char(node, static_cast<unsigned char>(bytes[i]));
        return;
    }
    uint32_t at = series::alloc_tail_bytes(node, static_cast<uint32_t>(n * unit));
    uint8_t* p = memory::nodes[node]->data() + at;
    if (unit == 1) {
        std::memcpy(p, bytes, n);
    } else {
        for (size_t i = 0; i < n; i++) put_char(p + i * unit, unit, static_cast<unsigned char>(bytes[i]));
    }
}

// Decodes UTF-8 bounded by n; malformed sequences raise access invalid-utf8 with the bytes that
// remain.
void append_utf8(Node node, const char* bytes, size_t n) {
    auto* p = reinterpret_cast<const uint8_t*>(bytes);
    size_t i = 0;
    while (i < n) {
        // Runs of ASCII go in one block move.
        size_t j = i;
        while (j < n && p[j] < 0x80) j++;
        if (j > i) {
            concatenate_literal_n(node, bytes + i, j - i);
            i = j;
            if (i >= n) break;
        }
        uint8_t b = p[i];
        uint32_t cp;
        size_t len;
        if (b >= 0xC2 && b <= 0xDF) {
            cp = b & 0x1F;
            len = 2;
        } else if (b >= 0xE0 && b <= 0xEF) {
            cp = b & 0x0F;
            len = 3;
        } else if (b >= 0xF0 && b <= 0xF4) {
            cp = b & 0x07;
            len = 4;
        } else {
            len = 0;
            cp = 0;
        }
        bool ok = len != 0 && i + len <= n;
        for (size_t k = 1; ok && k < len; k++) {
            if ((p[i + k] & 0xC0) != 0x80) ok = false;
            cp = (cp << 6) | (p[i + k] & 0x3F);
        }
        if (ok && ((len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF))))
            ok = false;
        if (!ok) {
            Cell rest;
            Node bin = memory::alloc_bytes(static_cast<int32_t>(n - i));
            std::memcpy(memory::nodes[bin]->data(), p + i, n - i);
            memory::nodes[bin]->tail = static_cast<uint32_t>(n - i);
            set_cell(&rest, TYPE_BINARY, 0, bin);
            fire(err::access::invalid_utf8, &rest);
        }
        append_char(node, cp);
        i += len;
    }
}

void append_string(Node node, const Cell* source, int32_t part) {
    int32_t len = rs_length_q(source);
    if (part >= 0 && part < len) len = part;
    Node src = source->node();
    uint32_t src_unit = memory::nodes[src]->unit();
    uint32_t from = memory::nodes[src]->head / src_unit + uint32_t(source->index());
    if (len <= 0) return;
    if (memory::nodes[node]->unit() < src_unit) widen(node, src_unit);
    uint32_t unit = memory::nodes[node]->unit();
    uint32_t at = series::alloc_tail_bytes(node, uint32_t(len) * unit);
    // Fetch both buffers after the growth: the target may have moved, and may be the source.
    SeriesBuf* s = memory::nodes[src];
    uint8_t* out = memory::nodes[node]->data() + at;
    const uint8_t* in = s->data() + size_t(from) * src_unit;
    if (unit == src_unit) {
        std::memmove(out, in, size_t(len) * unit);
    } else {
        for (int32_t i = 0; i < len; i++) put_char(out + size_t(i) * unit, unit, get_char(in + size_t(i) * src_unit, src_unit));
    }
}

void mold_char(Node node, uint32_t cp, int mode, bool all) {
    if (cp == 30 || (cp >= 0x80 && cp <= 0x9F) || (cp > 127 && all)) {
        concatenate_literal(node, "^(");
        concatenate_literal(node, to_hex(static_cast<int32_t>(cp), true).c_str());
        concatenate_literal(node, ")");
        return;
    }
    if (mode == 253) {
        // What follows the caret for the codepoints below 95 that have an escape (0 none).
        static const char escapes[95] = {
            '@', 'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', '-', '/', 'K', 'L', 'M', 'N', 'O',
            'P', 'Q', 'R', 'S', 'T', 'U', 'V', 'W', 'X', 'Y', 'Z', '[', '\\', ']', 0,   '_',
            0,   0,   '"', 0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,
            0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,
            0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,
            0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   '^'};
        if (cp < 95 && escapes[cp]) {
            char text[3] = {'^', escapes[cp], 0};
            concatenate_literal(node, text);
            return;
        }
        if (cp == 127) {
            concatenate_literal(node, "^~");
            return;
        }
    }
    append_char(node, cp);
}

Node make_node(int32_t bytes, uint32_t unit) {
    if (bytes <= 0) bytes = 1;
    return memory::alloc_series(static_cast<int32_t>((bytes + unit - 1) / unit), static_cast<int>(unit), 0);
}

Cell* make_at(Cell* c, Node node, int32_t index, uint8_t type) { return set_cell(c, type, static_cast<uint32_t>(index), node); }

Cell* rs_make_at(Cell* c, int32_t bytes) { return make_at(c, make_node(bytes, 1)); }

Cell* make_at_unit(Cell* c, int32_t units, uint32_t unit) {
    return make_at(c, memory::alloc_series(units <= 0 ? 1 : units, static_cast<int>(unit), 0));
}

Cell* push(const Cell* value) { return stack::push(value); }

Cell* load_at(Cell* c, const char* bytes, size_t n) {
    Node node = make_node(static_cast<int32_t>(n ? n : 1), 1);
    append_utf8(node, bytes, n);
    return make_at(c, node);
}

Cell* load_push(std::string_view s) {
    Cell c;
    load_at(&c, s);
    return stack::push(&c);
}

static void append_utf8_cp(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

std::string to_utf8_part(const Cell* value, int32_t part) {
    SeriesBuf* s = sbuf(value);
    uint32_t unit = s->unit();
    int32_t n = rs_length_q(value);
    if (part >= 0 && part < n) n = part;
    std::string out;
    out.reserve(size_t(n));
    const uint8_t* p = s->at_head() + size_t(value->index()) * unit;
    for (int32_t i = 0; i < n; i++, p += unit) append_utf8_cp(out, get_char(p, unit));
    return out;
}

std::string to_utf8(const Cell* value) { return to_utf8_part(value, -1); }

std::string node_to_utf8(Node node, uint32_t from_char) {
    Cell v;
    make_at(&v, node, static_cast<int32_t>(from_char));
    return to_utf8(&v);
}

static inline uint32_t fold(uint32_t cp) { return cp < 128 && cp >= 'A' && cp <= 'Z' ? cp + 32 : cp; }

int compare(const Cell* a, const Cell* b, int op) {
    if (!types::any_string(b->type())) return -2;
    SeriesBuf* sa = sbuf(a);
    SeriesBuf* sb = sbuf(b);
    uint32_t ua = sa->unit(), ub = sb->unit();
    int32_t na = rs_length_q(a), nb = rs_length_q(b);
    const uint8_t* pa = sa->at_head() + size_t(a->index() > 0 ? a->index() : 0) * ua;
    const uint8_t* pb = sb->at_head() + size_t(b->index() > 0 ? b->index() : 0) * ub;
    bool strict = op == COMP_STRICT_EQUAL || op == COMP_CASE_SORT || op == COMP_SAME;
    if ((op == COMP_EQUAL || op == COMP_STRICT_EQUAL || op == COMP_NOT_EQUAL) && na != nb) return 1;
    int32_t n = na < nb ? na : nb;
    for (int32_t i = 0; i < n; i++) {
        uint32_t x = get_char(pa + size_t(i) * ua, ua), y = get_char(pb + size_t(i) * ub, ub);
        if (!strict) {
            x = fold(x);
            y = fold(y);
        }
        if (x != y) return x < y ? -1 : 1;
    }
    return na == nb ? 0 : (na < nb ? -1 : 1);
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

}  // namespace string
