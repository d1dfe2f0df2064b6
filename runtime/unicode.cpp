#include "runtime/unicode.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>

#include "char_width_tables.h"
#include "runtime/collector.h"
#include "runtime/fire.h"
#include "runtime/runtime.h"

namespace unicode {

namespace {

// ---- Strict table-driven UTF-8 automaton ----
// Byte classes, then transitions indexed by state + class; states are multiples of 12:
// 0 accept, 12 reject, 24 one follower left, 36 two left, 48 after E0 (A0-BF next),
// 60 after ED (80-9F next), 72 after F0 (90-BF next), 84 after F1-F3, 96 after F4 (80-8F next).
constexpr uint32_t kAccept = 0;
constexpr uint32_t kReject = 12;

constexpr std::array<uint8_t, 256> make_classes() {
    std::array<uint8_t, 256> c{};
    for (int b = 0; b < 256; b++) {
        uint8_t k;
        if (b < 0x80) k = 0;
        else if (b < 0x90) k = 1;
        else if (b < 0xA0) k = 9;
        else if (b < 0xC0) k = 7;
        else if (b < 0xC2) k = 8;
        else if (b < 0xE0) k = 2;
        else if (b == 0xE0) k = 10;
        else if (b == 0xED) k = 4;
        else if (b < 0xF0) k = 3;
        else if (b == 0xF0) k = 11;
        else if (b < 0xF4) k = 6;
        else if (b == 0xF4) k = 5;
        else k = 8;
        c[b] = k;
    }
    return c;
}

constexpr std::array<uint8_t, 108> make_transitions() {
    std::array<uint8_t, 108> t{};
    for (auto& x : t) x = kReject;
    // From accept, by class of the lead byte.
    constexpr uint8_t from_start[12] = {0, 12, 24, 36, 60, 96, 84, 12, 12, 12, 48, 72};
    for (int k = 0; k < 12; k++) t[k] = from_start[k];
    auto follow = [&t](int state, std::initializer_list<int> classes, uint8_t next) {
        for (int k : classes) t[state + k] = next;
    };
    follow(24, {1, 7, 9}, 0);
    follow(36, {1, 7, 9}, 24);
    follow(48, {7}, 24);
    follow(60, {1, 9}, 24);
    follow(72, {7, 9}, 36);
    follow(84, {1, 7, 9}, 36);
    follow(96, {1}, 36);
    return t;
}

constexpr auto kClass = make_classes();
constexpr auto kTransition = make_transitions();

// Units other than 1, 2 and 4 mean a corrupted string buffer: run-time failure 101.
inline uint32_t text_unit(const SeriesBuf* b) {
    uint32_t u = b->unit();
    if (u != 1 && u != 2 && u != 4) runtime::quit(101, KEL_CALLER_ADDRESS());
    return u;
}

inline uint32_t unit_for(uint32_t cp) { return cp <= 0xFF ? 1 : cp <= 0xFFFF ? 2 : 4; }

[[noreturn]] void fire_invalid_char(uint32_t cp) {
    Cell arg;
    set_cell(&arg, TYPE_INTEGER, cp);
    fire(err::script::invalid_char, &arg);
}

constexpr uint32_t kMaxBytes = 0x7FFFFFF0u;

inline uint32_t checked_size(uint64_t bytes) {
    if (bytes > kMaxBytes) fire(err::internal::no_memory);
    return static_cast<uint32_t>(bytes);
}

// Room for `bytes` more after the tail.
inline SeriesBuf* room_for(Node node, uint64_t bytes) {
    SeriesBuf* b = memory::nodes[node];
    if (b->tail + bytes <= b->capacity) return b;
    return series::reserve(node, checked_size(bytes));
}

// First byte of a string value's head and the number of characters from there to the tail.
struct Span {
    uint32_t start;  // byte offset from the data start
    uint32_t count;
    uint32_t unit;
};

Span span_of(const Cell* value, int32_t n) {
    SeriesBuf* b = value->buffer();
    uint32_t unit = text_unit(b);
    uint32_t total = (b->tail - b->head) / unit;
    int64_t index = value->index();
    uint32_t avail = index < 0 ? total : index >= total ? 0 : total - static_cast<uint32_t>(index);
    uint32_t skip = index < 0 ? 0 : total - avail;
    uint32_t count = n < 0 || static_cast<uint32_t>(n) >= avail ? avail : static_cast<uint32_t>(n);
    return {b->head + skip * unit, count, unit};
}

}  // namespace

[[noreturn]] void fire_invalid_utf8(const uint8_t* p, int32_t available) {
    // Copy first: making the binary! allocates and may move the buffer p points into.
    uint8_t bytes[4];
    uint32_t n = static_cast<uint32_t>(std::clamp(available, 0, 4));
    std::memcpy(bytes, p, n);
    Node node = memory::alloc_bytes(static_cast<int32_t>(n));
    SeriesBuf* b = memory::nodes[node];
    std::memcpy(b->data(), bytes, n);
    b->head = 0;
    b->tail = n;
    Cell arg;
    set_cell(&arg, TYPE_BINARY, 0, node, 0);
    fire(err::access::invalid_utf8, &arg);
}

// ---- Decoding and counting ----

const uint8_t* fast_decode_utf8_char(const uint8_t* p, const uint8_t* end, int32_t* cp) {
    if (p >= end) {
        *cp = -1;
        return p;
    }
    uint8_t byte = *p++;
    uint32_t cls = kClass[byte];
    uint32_t value = (0xFFu >> cls) & byte;
    uint32_t state = kTransition[cls];
    while (state != kAccept && state != kReject) {
        if (p >= end) {
            *cp = -1;
            return p;
        }
        byte = *p++;
        value = (byte & 0x3Fu) | (value << 6);
        state = kTransition[state + kClass[byte]];
    }
    *cp = state == kAccept ? static_cast<int32_t>(value) : -1;
    return p;
}

int32_t count_chars(const uint8_t* start, const uint8_t* end) {
    int32_t n = 0;
    int32_t cp;
    while (start < end) {
        // ASCII runs cost one compare per byte.
        if (*start < 0x80) {
            start++;
        } else {
            start = fast_decode_utf8_char(start, end, &cp);
        }
        n++;
    }
    return n;
}

const uint8_t* skip_chars(const uint8_t* p, const uint8_t* end, int32_t n) {
    int32_t cp;
    while (n > 0 && p < end) {
        p = *p < 0x80 ? p + 1 : fast_decode_utf8_char(p, end, &cp);
        n--;
    }
    return p;
}

int utf8_lead_size(uint8_t byte) {
    if ((byte & 0xF0) == 0xF0) return 4;
    if ((byte & 0xE0) == 0xE0) return 3;
    if ((byte & 0xC0) == 0xC0) return 2;
    return 0;
}

int32_t decode_utf8_checked(const uint8_t* p, int32_t* remaining) {
    int32_t avail = *remaining;
    if (avail <= 0) return -1;
    uint8_t lead = p[0];
    if (lead < 0x80) {
        *remaining = 1;
        return lead;
    }
    if (lead < 0xC0 || lead >= 0xF8) fire_invalid_utf8(p, avail);
    int need = lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    int have = std::min<int32_t>(avail, need);
    uint32_t value = lead & (0x7Fu >> need);
    for (int i = 1; i < have; i++) {
        if ((p[i] & 0xC0) != 0x80) fire_invalid_utf8(p, avail);
        value = (value << 6) | (p[i] & 0x3Fu);
    }
    // Missing followers count as 0x80, the smallest: a cut sequence is reported as cut only when
    // some completion of it would be valid.
    value <<= 6 * (need - have);
    if (need == 3 && (value >> 8) == 0xDC) fire_invalid_utf8(p, avail);
    if (need == 4 && value > kMaxCodepoint) fire_invalid_utf8(p, avail);
    if (have < need) return -1;
    *remaining = need;
    return static_cast<int32_t>(value);
}

// ---- Encoding UTF-8 ----

int cp_utf8_size(uint32_t cp) {
    if (cp <= 0x7F) return 1;
    if (cp <= 0x7FF) return 2;
    if (cp <= 0xFFFF) return 3;
    if (cp <= kMaxCodepoint) return 4;
    fire_invalid_char(cp);
}

int64_t utf8_length(const uint8_t* start, const uint8_t* end, uint32_t unit) {
    int64_t n = 0;
    if (unit == 1) {
        for (const uint8_t* p = start; p < end; p++) n += *p < 0x80 ? 1 : 2;
        return n;
    }
    for (const uint8_t* p = start; p + unit <= end; p += unit) n += cp_utf8_size(get_unit(p, unit));
    return n;
}

namespace {

// Length of the leading run of bytes below 0x80, tested eight at a time.
size_t ascii_run(const uint8_t* p, size_t n) {
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t word;
        std::memcpy(&word, p + i, 8);
        if (word & 0x8080808080808080ull) break;
    }
    while (i < n && p[i] < 0x80) i++;
    return i;
}

// One-byte text as UTF-8 at w: its ASCII runs copied whole, only the bytes above encoded.
// Answers the end of what was written.
uint8_t* one_byte_to_utf8(const uint8_t* p, size_t count, uint8_t* w);

}  // namespace

int cp_to_utf8(uint32_t cp, uint8_t* dst) {
    if (cp <= 0x7F) {
        dst[0] = static_cast<uint8_t>(cp);
        return 1;
    }
    if (cp <= 0x7FF) {
        dst[0] = static_cast<uint8_t>(0xC0 | (cp >> 6));
        dst[1] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp <= 0xFFFF) {
        dst[0] = static_cast<uint8_t>(0xE0 | (cp >> 12));
        dst[1] = static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F));
        dst[2] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
        return 3;
    }
    if (cp <= kMaxCodepoint) {
        dst[0] = static_cast<uint8_t>(0xF0 | (cp >> 18));
        dst[1] = static_cast<uint8_t>(0x80 | ((cp >> 12) & 0x3F));
        dst[2] = static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F));
        dst[3] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
        return 4;
    }
    fire_invalid_char(cp);
}

int cp_to_utf8_limit(uint32_t cp, uint8_t* dst, int64_t left) {
    if (left <= 0) return 0;
    uint8_t seq[4];
    int n = cp_to_utf8(cp, seq);
    int k = static_cast<int>(std::min<int64_t>(n, left));
    std::memcpy(dst, seq, static_cast<size_t>(k));
    return k;
}

namespace {

uint8_t* one_byte_to_utf8(const uint8_t* p, size_t count, uint8_t* w) {
    size_t i = 0;
    while (i < count) {
        size_t run = ascii_run(p + i, count - i);
        std::memcpy(w, p + i, run);
        w += run;
        i += run;
        if (i < count) w += cp_to_utf8(p[i++], w);
    }
    return w;
}

}  // namespace

void append_utf8(Node bytes, uint32_t cp) {
    uint8_t seq[4];
    int n = cp_to_utf8(cp, seq);
    uint32_t at = series::alloc_tail_bytes(bytes, static_cast<uint32_t>(n));
    std::memcpy(memory::nodes[bytes]->data() + at, seq, static_cast<size_t>(n));
}

uint8_t* scratch_buffer(Cell* value, uint32_t bytes) {
    Node s = value->data3;
    if (bytes == 0) bytes = 1;
    if (s == 0 || !memory::node_in_use(s)) {
        s = memory::alloc_bytes(static_cast<int32_t>(checked_size(bytes)));
        value->data3 = s;
    } else if (memory::nodes[s]->capacity < bytes) {
        memory::realloc_series(s, checked_size((uint64_t(bytes) + 15) & ~uint64_t(15)));
    }
    SeriesBuf* b = memory::nodes[s];
    b->head = 0;
    b->tail = 0;
    return b->data();
}

const char* to_utf8(Cell* value, int32_t* length, bool crlf) {
    Span sp = span_of(value, *length);
    static constexpr uint32_t kPerUnit[5] = {0, 2, 3, 0, 4};
    uint8_t* out = scratch_buffer(value, checked_size((uint64_t(sp.count) + 1) * kPerUnit[sp.unit]));
    // The scratch allocation may have moved the string: fetch it now.
    const uint8_t* p = value->buffer()->data() + sp.start;
    uint8_t* w = out;
    if (sp.unit == 1 && !crlf) {
        w = one_byte_to_utf8(p, sp.count, w);
        *w = 0;
        *length = static_cast<int32_t>(w - out);
        return reinterpret_cast<const char*>(out);
    }
    for (uint32_t i = 0; i < sp.count; i++, p += sp.unit) {
        uint32_t cp = get_unit(p, sp.unit);
        if (cp < 0x80) {
            if (cp == '\n' && crlf) *w++ = '\r';
            *w++ = static_cast<uint8_t>(cp);
        } else {
            w += cp_to_utf8(cp, w);
        }
    }
    *w = 0;
    *length = static_cast<int32_t>(w - out);
    return reinterpret_cast<const char*>(out);
}

int64_t write_utf8(const Cell* value, int32_t n, uint8_t* dst, bool nul) {
    Span sp = span_of(value, n);
    const uint8_t* p = value->buffer()->data() + sp.start;
    uint8_t* w = dst;
    if (sp.unit == 1) {
        w = one_byte_to_utf8(p, sp.count, w);
    } else {
        for (uint32_t i = 0; i < sp.count; i++, p += sp.unit) w += cp_to_utf8(get_unit(p, sp.unit), w);
    }
    if (nul) *w = 0;
    return w - dst;
}

int64_t write_utf8_limit(const Cell* value, int32_t n, uint8_t* dst, int64_t limit, bool nul) {
    if (nul) limit--;
    if (limit < 0) return 0;
    Span sp = span_of(value, n);
    const uint8_t* p = value->buffer()->data() + sp.start;
    int64_t written = 0;
    if (sp.unit == 1) {
        size_t i = 0;
        while (i < sp.count && written < limit) {
            size_t run = std::min<size_t>(ascii_run(p + i, sp.count - i), size_t(limit - written));
            std::memcpy(dst + written, p + i, run);
            written += int64_t(run);
            i += run;
            if (i < sp.count && written < limit) written += cp_to_utf8_limit(p[i++], dst + written, limit - written);
        }
    } else {
        for (uint32_t i = 0; i < sp.count && written < limit; i++, p += sp.unit)
            written += cp_to_utf8_limit(get_unit(p, sp.unit), dst + written, limit - written);
    }
    if (nul) dst[written] = 0;
    return written;
}

// ---- Widening ----

SeriesBuf* widen(Node node, uint32_t to, uint32_t extra_bytes) {
    SeriesBuf* b = memory::nodes[node];
    uint32_t from = text_unit(b);
    if (to <= from) return extra_bytes ? room_for(node, extra_bytes) : b;
    uint32_t count = (b->tail - b->head) / from;
    uint64_t need = uint64_t(count) * to + std::max(extra_bytes, to);
    if (need > b->capacity) {
        // The expansion copies the content to the new buffer's data start.
        b = memory::expand_series(node, checked_size((need + 15) & ~uint64_t(15)));
    } else if (b->head != 0) {
        std::memmove(b->data(), b->at_head(), b->tail - b->head);
        b->tail -= b->head;
        b->head = 0;
    }
    // From the last unit down: every destination lies at or above its source.
    uint8_t* d = b->data();
    for (uint32_t i = count; i-- > 0;) put_unit(d + size_t(i) * to, to, get_unit(d + size_t(i) * from, from));
    b->flags = (b->flags & ~series_flag::unit_mask) | to;
    b->tail = b->head + count * to;
    return b;
}

SeriesBuf* latin1_to_ucs2(Node buffer) { return widen(buffer, 2); }
SeriesBuf* latin1_to_ucs4(Node buffer) { return widen(buffer, 4); }
SeriesBuf* ucs2_to_ucs4(Node buffer) { return widen(buffer, 4); }

// ---- Loading UTF-8 ----

Node load_utf8(Source src, uint32_t length, Node target, bool crlf, uint32_t* remaining) {
    if (remaining) *remaining = 0;
    // A source in a series and the string being filled are held across every allocation below.
    std::optional<collector::NodeRoot> keep_source;
    if (src.node) keep_source.emplace(&src.node);
    Node node = target;
    collector::NodeRoot keep_node(&node);
    if (node) {
        SeriesBuf* b = memory::nodes[node];
        room_for(node, uint64_t(std::max<uint32_t>(length, 1)) * text_unit(b));
    } else {
        node = memory::alloc_series(static_cast<int32_t>(checked_size(std::max<uint32_t>(length, 1))), 1, 0);
    }
    if (length == 0) return node;

    uint32_t pos = 0;
    {
        const uint8_t* in = src.at();
        if (length > 2 && in[0] == 0xEF && in[1] == 0xBB && in[2] == 0xBF) pos = 3;
    }
    // An invalid sequence leaves the target with the characters it had (possibly widened).
    SeriesBuf* b0 = memory::nodes[node];
    uint32_t old_chars = (b0->tail - b0->head) / text_unit(b0);
    struct Restore {
        const Node* node;
        uint32_t chars;
        bool armed = true;
        ~Restore() {
            if (!armed) return;
            SeriesBuf* b = memory::nodes[*node];
            b->tail = b->head + chars * b->unit();
        }
    } restore{&node, old_chars};

    while (pos < length) {
        const uint8_t* in = src.at() + pos;
        uint32_t avail = length - pos;
        SeriesBuf* b = memory::nodes[node];
        uint32_t unit = b->unit();
        // ASCII run: no decoding, one block copy in 1-byte units.
        uint32_t run = 0;
        if (crlf) {
            while (run < avail && in[run] < 0x80 && in[run] != '\r') run++;
        } else {
            run = static_cast<uint32_t>(ascii_run(in, avail));
        }
        if (run) {
            if (b->tail + uint64_t(run) * unit > b->capacity) {
                b = room_for(node, (uint64_t(avail) + 1) * unit);
                in = src.at() + pos;
            }
            uint8_t* w = b->data() + b->tail;
            if (unit == 1) {
                std::memcpy(w, in, run);
            } else {
                for (uint32_t i = 0; i < run; i++) put_unit(w + size_t(i) * unit, unit, in[i]);
            }
            b->tail += run * unit;
            pos += run;
            continue;
        }
        uint32_t cp;
        uint32_t used;
        if (in[0] == '\r') {
            // Only reached with crlf: CR LF keeps the LF, a lone CR becomes one.
            pos++;
            if (avail > 1 && in[1] == '\n') continue;
            cp = '\n';
            used = 0;
        } else {
            int32_t n = static_cast<int32_t>(std::min<uint32_t>(avail, 0x7FFFFFFF));
            int32_t c = decode_utf8_checked(in, &n);
            if (c < 0) {
                if (remaining) *remaining = avail;
                break;
            }
            cp = static_cast<uint32_t>(c);
            used = static_cast<uint32_t>(n);
        }
        pos += used;
        uint32_t need = unit_for(cp);
        uint64_t rest = uint64_t(length - pos) + 1;
        if (need > unit) {
            b = widen(node, need, checked_size(rest * need));
            unit = need;
        } else if (b->tail + unit > b->capacity) {
            b = room_for(node, rest * unit);
        }
        put_unit(b->data() + b->tail, unit, cp);
        b->tail += unit;
    }
    restore.armed = false;
    return node;
}

// ---- UTF-16 ----

namespace {

inline uint32_t u16_at(const uint8_t* p, uint32_t i) { return uint32_t(p[2 * i]) | (uint32_t(p[2 * i + 1]) << 8); }

// Width as utf16_width, and every high surrogate checked against its follower.
uint32_t checked_utf16_width(const uint8_t* src, uint32_t units) {
    uint32_t width = 1;
    for (uint32_t i = 0; i < units; i++) {
        uint8_t hi = src[2 * i + 1];
        if (hi == 0) continue;
        if (width < 2) width = 2;
        if (hi >= 0xD8 && hi <= 0xDF) {
            width = 4;
            if (hi <= 0xDB) {
                if (i + 1 >= units) fire_invalid_utf8(src + 2 * i, 2);
                uint8_t next = src[2 * i + 3];
                if (next < 0xDC || next > 0xDF) fire_invalid_utf8(src + 2 * i, 4);
                i++;
            }
        }
    }
    return width;
}

}  // namespace

uint32_t utf16_width(const uint8_t* src, uint32_t units) {
    uint32_t width = 1;
    for (uint32_t i = 0; i < units; i++) {
        uint8_t hi = src[2 * i + 1];
        if (hi >= 0xD8 && hi <= 0xDF) return 4;
        if (hi) width = 2;
    }
    return width;
}

Node load_utf16(Source src, uint32_t units, Cell* target, bool cr) {
    if (!src.ptr && !src.node) {
        if (!target || !target->data3) {
            if (units) fire(err::script::past_end);
        } else {
            src = Source::in_series(target->data3, 0);
        }
    }
    if (src.node && uint64_t(src.offset) + uint64_t(units) * 2 > memory::nodes[src.node]->capacity)
        fire(err::script::past_end);
    std::optional<collector::NodeRoot> keep_source;
    if (src.node) keep_source.emplace(&src.node);
    uint32_t width = units ? checked_utf16_width(src.at(), units) : 2;
    uint32_t bytes = checked_size(uint64_t(std::max<uint32_t>(units, 1)) * width);
    Node node = 0;
    collector::NodeRoot keep_node(&node);
    if (target) {
        node = target->node();
        SeriesBuf* b = memory::nodes[node];
        text_unit(b);
        // The content is replaced, so a smaller buffer is exchanged without copying.
        if (b->capacity < bytes) b = memory::realloc_series(node, (bytes + 15) & ~15u);
        b->flags = (b->flags & ~series_flag::unit_mask) | width;
        b->head = 0;
        b->tail = 0;
    } else {
        node = memory::alloc_series(static_cast<int32_t>(std::max<uint32_t>(units, 1)), static_cast<int>(width), 0);
    }
    SeriesBuf* b = memory::nodes[node];
    b->flags |= kUtf16Loaded;
    const uint8_t* in = src.at();
    uint8_t* w = b->data();
    uint32_t kept = 0;
    if (width == 2 && !cr) {
        if (units) std::memcpy(w, in, size_t(units) * 2);
        kept = units;
    } else {
        for (uint32_t i = 0; i < units; i++) {
            uint32_t u = u16_at(in, i);
            if (cr && u == '\r') continue;
            if (width == 4 && u >= 0xD800 && u <= 0xDBFF) {
                // Checked above: a low surrogate follows.
                uint32_t lo = u16_at(in, ++i);
                u = 0x10000 + (((u & 0x3FF) << 10) | (lo & 0x3FF));
            }
            put_unit(w + size_t(kept) * width, width, u);
            kept++;
        }
    }
    b->tail = kept * width;
    return node;
}

int cp_to_utf16(uint32_t cp, uint16_t* dst) {
    if (cp < 0x10000) {
        dst[0] = static_cast<uint16_t>(cp);
        return 1;
    }
    if (cp <= kMaxCodepoint) {
        cp -= 0x10000;
        dst[0] = static_cast<uint16_t>(0xD800 | (cp >> 10));
        dst[1] = static_cast<uint16_t>(0xDC00 | (cp & 0x3FF));
        return 2;
    }
    return 0;
}

int64_t utf16_size(const uint8_t* start, const uint8_t* end, uint32_t unit) {
    int64_t extra = 0;
    for (const uint8_t* p = start; p + unit <= end; p += unit) {
        uint32_t cp = get_unit(p, unit);
        if (cp == '\n' || cp > 0xFFFF) extra += 2;
    }
    return extra;
}

const uint16_t* to_utf16_part(Cell* value, int32_t* length, bool crlf) {
    Span sp = span_of(value, *length);
    const uint8_t* p = value->buffer()->data() + sp.start;
    uint64_t extra = uint64_t(utf16_size(p, p + size_t(sp.count) * sp.unit, sp.unit));
    uint8_t* out = scratch_buffer(value, checked_size(uint64_t(sp.count) * 2 + 2 + extra));
    p = value->buffer()->data() + sp.start;
    // Series data areas are at least 8-byte aligned, so 16-bit stores are aligned.
    auto* w = reinterpret_cast<uint16_t*>(out);
    uint16_t* start = w;
    if (sp.unit == 2 && !crlf) {
        std::memcpy(w, p, size_t(sp.count) * 2);
        w += sp.count;
    } else {
        for (uint32_t i = 0; i < sp.count; i++, p += sp.unit) {
            uint32_t cp = get_unit(p, sp.unit);
            if (cp == '\n' && crlf) *w++ = '\r';
            int n = cp_to_utf16(cp, w);
            if (n == 0) return nullptr;
            w += n;
        }
    }
    *w = 0;
    *length = static_cast<int32_t>(w - start);
    return start;
}

// ---- Display width ----

bool interval_search(uint32_t cp, const uint32_t* table, uint32_t count) {
    if (count < 2 || cp < table[0] || cp > table[count - 1]) return false;
    // Binary search over the pairs: the last pair whose low end is at most cp.
    uint32_t lo = 0, hi = count / 2;
    while (hi - lo > 1) {
        uint32_t mid = (lo + hi) / 2;
        if (table[2 * mid] <= cp)
            lo = mid;
        else
            hi = mid;
    }
    return table[2 * lo] <= cp && cp <= table[2 * lo + 1];
}

int char_width(uint32_t cp) {
    using namespace char_width_data;
    if (cp == 0) return 0;
    if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) return 1;
    if (cp < 0x300) return 1;
    if (interval_search(cp, zero_width, std::size(zero_width))) return 0;
    if (interval_search(cp, wide, std::size(wide))) return 2;
    return 1;
}

int char_width_cjk(uint32_t cp) {
    if (interval_search(cp, char_width_data::ambiguous, std::size(char_width_data::ambiguous))) return 2;
    return char_width(cp);
}

}  // namespace unicode
