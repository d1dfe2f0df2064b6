#include "datatypes/bitset.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "datatypes/datatype.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "evaluator/actions.h"
#include "evaluator/natives_values.h"
#include "runtime/collector.h"
#include "runtime/cycles.h"
#include "runtime/fire.h"
#include "runtime/stack.h"

namespace bitset {

namespace {

// The array never grows past this many bytes, so length? (bytes times 8) fits an integer!.
constexpr uint32_t kMaxBytes = 0x0FFFFFFF;
constexpr int64_t kMaxBit = int64_t(kMaxBytes) * 8 - 1;

const symbol::Known sym_not("not"), sym_dash("-");

inline SeriesBuf* sbuf(const Cell* bits) { return memory::nodes[bits->node()]; }

inline bool comp_of(const Cell* bits) { return (sbuf(bits)->flags & series_flag::complement) != 0; }

[[noreturn]] void fire_with_type(ErrorId id, int type, const Cell* value) {
    Cell t, v = *value;
    datatype::make_at(&t, type);
    fire(id, &t, &v);
}

// Makes the array at least `bytes` long; the new bytes are 0xFF in a complemented set (members,
// as the bits past the end were), 0 otherwise.
void grow_to_bytes(Cell* bits, uint32_t bytes) {
    SeriesBuf* b = sbuf(bits);
    uint32_t size = b->used_bytes();
    if (size >= bytes) return;
    uint8_t fill = (b->flags & series_flag::complement) ? 0xFF : 0;
    if (uint64_t(b->head) + bytes > b->capacity) {
        uint64_t want = std::max<uint64_t>(bytes, uint64_t(size) * 2);
        if (want > kMaxBytes + 16ull) want = bytes;
        b = memory::expand_series(bits->node(), static_cast<uint32_t>((want + 15) & ~uint64_t(15)));
    }
    std::memset(b->at_head() + size, fill, bytes - size);
    b->tail = b->head + bytes;
}

// Sets or clears the bits lo .. hi, which lie inside the array.
void fill_bits(uint8_t* p, uint32_t lo, uint32_t hi, bool on) {
    uint32_t lb = lo >> 3, hb = hi >> 3;
    uint8_t lmask = static_cast<uint8_t>(0xFFu >> (lo & 7));
    uint8_t hmask = static_cast<uint8_t>(0xFFu << (7 - (hi & 7)));
    auto apply = [on](uint8_t& byte, uint8_t mask) { byte = on ? (byte | mask) : (byte & ~mask); };
    if (lb == hb) {
        apply(p[lb], lmask & hmask);
        return;
    }
    apply(p[lb], lmask);
    if (hb > lb + 1) std::memset(p + lb + 1, on ? 0xFF : 0, hb - lb - 1);
    apply(p[hb], hmask);
}

// Whether every bit lo .. hi is a member.
bool all_members(const Cell* bits, int64_t lo, int64_t hi) {
    SeriesBuf* b = sbuf(bits);
    bool comp = (b->flags & series_flag::complement) != 0;
    int64_t size_bits = int64_t(b->used_bytes()) * 8;
    if (lo < 0 || hi >= size_bits) {
        if (!comp) return false;
        if (lo < 0) lo = 0;
        if (hi >= size_bits) hi = size_bits - 1;
        if (hi < lo) return true;
    }
    const uint8_t* p = b->at_head();
    uint32_t l = static_cast<uint32_t>(lo), h = static_cast<uint32_t>(hi);
    uint32_t lb = l >> 3, hb = h >> 3;
    uint8_t lmask = static_cast<uint8_t>(0xFFu >> (l & 7));
    uint8_t hmask = static_cast<uint8_t>(0xFFu << (7 - (h & 7)));
    if (lb == hb) return (p[lb] & (lmask & hmask)) == (lmask & hmask);
    if ((p[lb] & lmask) != lmask || (p[hb] & hmask) != hmask) return false;
    for (uint32_t i = lb + 1; i < hb; i++)
        if (p[i] != 0xFF) return false;
    return true;
}

struct Walker {
    Cell* bits;  // null in measure mode
    int mode;
    int caller;
    int64_t highest = -1;
    bool members = true;  // test mode: no non-member met yet
    cycles::Visited visited{};
};

[[noreturn]] void bad_spec(const Walker& w, const Cell* spec) {
    if (w.caller == FROM_MAKE) fire_with_type(err::script::bad_make_arg, TYPE_BITSET, spec);
    if (w.caller == FROM_TO) fire_with_type(err::script::bad_to_arg, TYPE_BITSET, spec);
    Cell v = *spec;
    fire(err::script::invalid_arg, &v);
}

// The bit number of a char!, integer! or float! (truncated). A number that no array can reach
// raises out-of-range, except in test mode, where it comes back as it is (a float past the int32
// range as -1 or kMaxBit + 1) for all_members to answer the complement flag.
int64_t bit_number(const Walker& w, const Cell* v) {
    int64_t n;
    switch (v->type()) {
        case TYPE_CHAR: n = cp_of(v); break;
        case TYPE_INTEGER: n = int_of(v); break;
        default: {
            double d = v->f();
            n = d >= -2147483648.0 && d < 2147483648.0 ? static_cast<int64_t>(d) : (d < 0 ? -1 : kMaxBit + 1);
            break;
        }
    }
    if ((n < 0 || n > kMaxBit) && w.mode != TEST) {
        Cell c = *v;
        fire(err::script::out_of_range, &c);
    }
    return n;
}

// Applies the walk's mode to the bits lo .. hi (lo <= hi; both within 0 .. kMaxBit outside test
// mode). Answers false when a test found a non-member.
bool apply_range(Walker& w, int64_t lo, int64_t hi) {
    if (hi > w.highest) w.highest = hi;
    switch (w.mode) {
        case MEASURE: return true;
        case TEST:
            if (!all_members(w.bits, lo, hi)) w.members = false;
            return w.members;
        default: break;
    }
    bool set = w.mode == SET;
    bool comp = comp_of(w.bits);
    uint32_t l = static_cast<uint32_t>(lo), h = static_cast<uint32_t>(hi);
    // Setting in a plain set, or clearing in a complemented one, may need room; the other two
    // already hold past the end.
    if (set != comp) grow_to_bytes(w.bits, (h >> 3) + 1);
    uint32_t size = sbuf(w.bits)->used_bytes();
    if ((l >> 3) >= size) return true;
    if ((h >> 3) >= size) h = size * 8 - 1;
    fill_bits(sbuf(w.bits)->at_head(), l, h, set);
    return true;
}

bool walk_value(Walker& w, const Cell* v, bool nested);

// Every codepoint of a string! from its head.
bool walk_string(Walker& w, const Cell* s) {
    SeriesBuf* b = memory::nodes[s->node()];
    uint32_t unit = string::text_unit(b);
    int64_t from = s->index() > 0 ? s->index() : 0;
    int64_t n = int64_t(b->length()) - from;
    if (n <= 0) return true;
    auto at = [&](int64_t i) { return string::get_char(memory::nodes[s->node()]->at_head() + (from + i) * unit, unit); };
    uint32_t top = 0;
    for (int64_t i = 0; i < n; i++) top = std::max(top, at(i));
    if (int64_t(top) > kMaxBit) {
        // Only a codepoint that no string can hold gets here.
        Cell c;
        set_cell(&c, TYPE_CHAR, top);
        if (w.mode != TEST) fire(err::script::out_of_range, &c);
    }
    if (int64_t(top) > w.highest) w.highest = top;
    if (w.mode == MEASURE) return true;
    if (w.mode == TEST) {
        for (int64_t i = 0; i < n; i++) {
            if (!match_q(w.bits, at(i))) {
                w.members = false;
                return false;
            }
        }
        return true;
    }
    bool set = w.mode == SET;
    if (set != comp_of(w.bits)) grow_to_bytes(w.bits, (top >> 3) + 1);
    // No allocation from here on: both buffers stay where they are.
    SeriesBuf* bb = sbuf(w.bits);
    uint8_t* p = bb->at_head();
    uint32_t size = bb->used_bytes();
    for (int64_t i = 0; i < n; i++) {
        uint32_t c = at(i);
        if ((c >> 3) >= size) continue;
        uint8_t mask = static_cast<uint8_t>(0x80u >> (c & 7));
        p[c >> 3] = set ? (p[c >> 3] | mask) : (p[c >> 3] & ~mask);
    }
    return true;
}

const Cell* block_head_or_null(const Cell* b) {
    SeriesBuf* s = memory::nodes[b->node()];
    int64_t i = b->index() > 0 ? b->index() : 0;
    return i < int64_t(s->length()) ? cells_head(s) + i : nullptr;
}

bool is_dash(const Cell* v) { return v->type() == TYPE_WORD && sym_dash.is(v); }

// The values of a block, with low - high ranges of char! or integer! values.
bool walk_block(Walker& w, const Cell* block) {
    Cell blk = *block;
    collector::Root keep(&blk);
    // A block met again inside itself names no new bits.
    int32_t from = blk.index() > 0 ? blk.index() : 0;
    uint64_t mark;
    if (cycles::find_q(blk.node()) || w.visited.walked_q(blk.node(), from, &mark)) return true;
    cycles::Scope scope(blk.node());
    int32_t i = from;
    for (;;) {
        int32_t n = static_cast<int32_t>(memory::nodes[blk.node()]->length());
        if (i >= n) {
            w.visited.done(blk.node(), from, mark);
            return true;
        }
        Cell v = *(cells_head(memory::nodes[blk.node()]) + i);
        collector::Root keep_v(&v);
        uint8_t t = v.type();
        if ((t == TYPE_CHAR || t == TYPE_INTEGER) && i + 1 < n && is_dash(cells_head(memory::nodes[blk.node()]) + i + 1)) {
            if (i + 2 >= n) fire(err::script::past_end);
            Cell high = *(cells_head(memory::nodes[blk.node()]) + i + 2);
            if (high.type() != t) fire(err::script::invalid_arg, &high);
            int64_t lo = bit_number(w, &v), hi = bit_number(w, &high);
            if (hi < lo) fire(err::script::past_end);
            i += 3;
            if (!apply_range(w, lo, hi)) return false;
            continue;
        }
        i++;
        if (!walk_value(w, &v, true)) return false;
    }
}

bool walk_value(Walker& w, const Cell* v, bool) {
    switch (v->type()) {
        case TYPE_CHAR:
        case TYPE_INTEGER:
        case TYPE_FLOAT: {
            int64_t n = bit_number(w, v);
            return apply_range(w, n, n);
        }
        case TYPE_STRING: return walk_string(w, v);
        case TYPE_BINARY: fire(err::internal::not_done);
        case TYPE_BLOCK: return walk_block(w, v);
        default: bad_spec(w, v);
    }
}

// A new bitset cell over a new zeroed array; complemented ones are all 0xFF.
Cell* new_bits(Cell* c, uint32_t bytes, bool comp) {
    Node n = memory::alloc_bytes(static_cast<int32_t>(bytes));
    SeriesBuf* b = memory::nodes[n];
    std::memset(b->data(), comp ? 0xFF : 0, b->capacity);
    b->tail = b->head + bytes;
    if (comp) b->flags |= series_flag::complement;
    return set_cell(c, TYPE_BITSET, 0, n, 0);
}

// A copy of a bitset's array and complement flag (never its owner).
Cell* copy_bits(Cell* out, const Cell* bits) {
    Cell src = *bits;
    collector::Root keep(&src);
    uint32_t size = byte_size(&src);
    Cell result;
    new_bits(&result, size, comp_of(&src));
    if (size) std::memcpy(sbuf(&result)->at_head(), sbuf(&src)->at_head(), size);
    *out = result;
    return out;
}

int32_t bytes_for_bits(int64_t highest) {
    int64_t bytes = (highest + 8) >> 3;
    return static_cast<int32_t>(bytes < 1 ? 1 : bytes);
}

// Whether a poke value clears the bits: none, false, 0 and 0.0 do.
bool clears_q(const Cell* v) {
    switch (v->type()) {
        case TYPE_NONE: return true;
        case TYPE_LOGIC: return v->data1 == 0;
        case TYPE_INTEGER: return int_of(v) == 0;
        case TYPE_FLOAT: return v->f() == 0.0;
        default: return false;
    }
}

// Sets or clears the bits a spec names, telling the owner before and after under `event`.
void change_bits(Cell* bits, const Cell* spec, int mode, series::Event event) {
    Cell s = *spec;
    collector::Root keep(&s);
    series::notify(bits, event, false, &s, 0, 0);
    process_spec(&s, bits, mode, false, FROM_ACTION);
    series::notify(bits, event, true, &s, 0, 0);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Making

Cell* make_at(Cell* c, uint32_t bytes) { return new_bits(c, bytes, false); }

Cell* push(const Cell* bits) { return stack::push(bits); }

int64_t process_spec(const Cell* spec, Cell* bits, int mode, bool nested, int caller) {
    Walker w{bits, mode, caller};
    Cell s = *spec;
    collector::Root keep(&s);
    walk_value(w, &s, nested);
    if (!nested && mode == SET) grow_to_bytes(bits, static_cast<uint32_t>(bytes_for_bits(w.highest)));
    if (mode == MEASURE) return w.highest;
    if (mode == TEST) return w.members ? 1 : 0;
    return 0;
}

Cell* make_from(Cell* out, const Cell* spec_in, bool to_mode) {
    Cell* work = stack::push_cell();
    set_cell(work, TYPE_NONE);
    Cell* spec = stack::push(spec_in);
    bool comp = false;
    if (spec->type() == TYPE_BLOCK) {
        const Cell* first = block_head_or_null(spec);
        if (first && first->type() == TYPE_WORD && sym_not.is(first)) {
            comp = true;
            spec->set_index((spec->index() > 0 ? spec->index() : 0) + 1);
            const Cell* next = block_head_or_null(spec);
            if (next && next->type() == TYPE_BINARY) *spec = *next;
        }
    }
    switch (spec->type()) {
        case TYPE_BITSET: copy_bits(work, spec); break;
        case TYPE_INTEGER:
        case TYPE_FLOAT: {
            if (to_mode) fire_with_type(err::script::bad_to_arg, TYPE_BITSET, spec);
            int64_t n;
            if (spec->type() == TYPE_INTEGER) {
                n = int_of(spec);
            } else {
                double d = spec->f();
                n = d >= -2147483648.0 && d < 2147483648.0 ? static_cast<int64_t>(d) : -1;
            }
            if (n < 0 || n > kMaxBit + 1) {
                Cell c = *spec;
                fire(err::script::out_of_range, &c);
            }
            new_bits(work, static_cast<uint32_t>((n + 7) >> 3), false);
            break;
        }
        case TYPE_BINARY: {
            SeriesBuf* b = memory::nodes[spec->node()];
            int64_t from = spec->index() > 0 ? spec->index() : 0;
            int64_t n = int64_t(b->used_bytes()) - from;
            if (n < 0) n = 0;
            if (n > kMaxBytes) fire(err::internal::no_memory);
            new_bits(work, static_cast<uint32_t>(n), comp);
            const uint8_t* src = memory::nodes[spec->node()]->at_head() + from;
            uint8_t* dst = sbuf(work)->at_head();
            for (int64_t i = 0; i < n; i++) dst[i] = comp ? static_cast<uint8_t>(~src[i]) : src[i];
            break;
        }
        default: {
            int caller = to_mode ? FROM_TO : FROM_MAKE;
            int64_t highest = process_spec(spec, nullptr, MEASURE, false, caller);
            new_bits(work, static_cast<uint32_t>(bytes_for_bits(highest)), comp);
            process_spec(spec, work, comp ? CLEAR : SET, false, caller);
            break;
        }
    }
    *out = *work;
    stack::top = work;
    return out;
}

// ---------------------------------------------------------------------------------------------
// Bitwise and set operations

void do_bitwise(int op) {
    Cell* args = stack::arguments;
    // Both sets stay on the stack until the result is made: the second may be held by nothing else.
    if (op == OP_UNIQUE) return stack::keep();
    if (args[1].type() != TYPE_BITSET) {
        Cell t;
        datatype::make_at(&t, args[1].type());
        fire(err::script::invalid_type, &t);
    }
    bool ca = comp_of(args), cb = comp_of(args + 1);
    uint32_t la = byte_size(args), lb = byte_size(args + 1);
    uint32_t longer = std::max(la, lb), shorter = std::min(la, lb);
    // Bytes past an array are members (0xFF) in a complemented set and not (0) in a plain one,
    // and the result's flag follows the operation on the two flags, so every bit, inside or
    // past the arrays, is what the set operation says.
    bool comp;
    uint32_t size;
    switch (op) {
        case OP_OR:
        case OP_UNION: comp = ca || cb; size = longer; break;
        case OP_AND:
            comp = ca && cb;
            // The bytes past the shorter array of a plain set are all 0 in the result.
            size = (la < lb ? !ca : !cb) ? shorter : longer;
            break;
        case OP_INTERSECT: comp = ca && cb; size = longer; break;
        case OP_EXCLUDE: comp = ca && !cb; size = longer; break;
        default: comp = ca != cb; size = longer; break;  // xor~, difference
    }
    Cell result;
    new_bits(&result, size, false);
    if (comp) sbuf(&result)->flags |= series_flag::complement;
    const uint8_t* a = sbuf(args)->at_head();
    const uint8_t* b = sbuf(args + 1)->at_head();
    uint8_t* r = sbuf(&result)->at_head();
    uint8_t fa = ca ? 0xFF : 0, fb = cb ? 0xFF : 0;
    for (uint32_t i = 0; i < size; i++) {
        uint8_t x = i < la ? a[i] : fa, y = i < lb ? b[i] : fb;
        switch (op) {
            case OP_OR:
            case OP_UNION: r[i] = x | y; break;
            case OP_AND:
            case OP_INTERSECT: r[i] = x & y; break;
            case OP_EXCLUDE: r[i] = static_cast<uint8_t>(x & ~y); break;
            default: r[i] = x ^ y; break;
        }
    }
    *args = result;
    stack::keep();
}

void set_op(bool, const Cell*, int op) { do_bitwise(op); }

void and_(const int32_t*) { do_bitwise(OP_AND); }
void or_(const int32_t*) { do_bitwise(OP_OR); }
void xor_(const int32_t*) { do_bitwise(OP_XOR); }

// A copy with the flag toggled and every byte inverted: the same members' complement.
static void complement_into(Cell* out, const Cell* bits) {
    copy_bits(out, bits);
    SeriesBuf* b = sbuf(out);
    b->flags ^= series_flag::complement;
    uint8_t* p = b->at_head();
    for (uint32_t i = 0; i < b->used_bytes(); i++) p[i] = static_cast<uint8_t>(~p[i]);
}

void complement(const int32_t*) {
    complement_into(stack::arguments, stack::arguments);
    stack::keep();
}

void negate(const int32_t*) {
    complement_into(stack::arguments, stack::arguments);
    stack::keep();
}

// ---------------------------------------------------------------------------------------------
// Text

int form(const Cell* value, Node buffer, const Cell* part, int limit) {
    return mold(value, buffer, false, false, false, part, limit, 0);
}

int mold(const Cell* value, Node buffer, bool, bool, bool, const Cell* part, int limit, int) {
    Cell bits = *value;
    collector::Root keep(&bits);
    bool comp = comp_of(&bits);
    string::concatenate_literal_n(buffer, "make bitset! ", 13);
    limit -= 13;
    if (comp) {
        string::concatenate_literal_n(buffer, "[not ", 5);
        limit -= 5;
    }
    string::concatenate_literal_n(buffer, "#{", 2);
    limit -= 2;
    uint8_t flip = comp ? 0xFF : 0;
    uint32_t size = byte_size(&bits);
    char chunk[1024];
    for (uint32_t i = 0; i < size;) {
        if (part && limit <= 0) return limit;
        uint32_t n = 0;
        // Whole bytes only, and no more than the budget asks for.
        while (i < size && n + 2 <= sizeof chunk && !(part && limit <= 0)) {
            string::byte_to_hex(static_cast<uint8_t>(sbuf(&bits)->at_head()[i] ^ flip), chunk + n);
            n += 2;
            limit -= 2;
            i++;
        }
        string::concatenate_literal_n(buffer, chunk, n);
    }
    if (part && limit <= 0) return limit;
    string::append_char(buffer, '}');
    limit -= 1;
    if (comp) {
        string::append_char(buffer, ']');
        limit -= 1;
    }
    return limit;
}

// ---------------------------------------------------------------------------------------------
// Comparison and access

int compare(const Cell* a, const Cell* b, int op) {
    if (b->type() != TYPE_BITSET) return -2;
    if (op == COMP_SAME) return a->node() == b->node() ? 0 : 1;
    uint32_t la = byte_size(a), lb = byte_size(b);
    if (la != lb) return la < lb ? -1 : 1;
    bool ca = comp_of(a), cb = comp_of(b);
    // Two empty arrays hold the same members only under the same flag.
    if (ca != cb) return ca ? 1 : -1;
    const uint8_t* pa = sbuf(a)->at_head();
    const uint8_t* pb = sbuf(b)->at_head();
    for (uint32_t i = la; i-- > 0;)
        if (pa[i] != pb[i]) return pa[i] < pb[i] ? -1 : 1;
    return 0;
}

Cell* eval_path(PathStep& step, Cell* out) {
    const Cell* el = step.element;
    if (el->type() != TYPE_INTEGER && el->type() != TYPE_CHAR) {
        Cell t;
        datatype::make_at(&t, el->type());
        fire(err::script::invalid_type, &t);
    }
    Cell bits = *step.value;
    collector::Root keep(&bits);
    if (!step.store) {
        bool member = process_spec(el, &bits, TEST, false, FROM_ACTION) != 0;
        return set_cell(out, TYPE_LOGIC, member ? 1 : 0);
    }
    Cell value = *step.store;
    collector::Root keep_value(&value);
    change_bits(&bits, el, clears_q(&value) ? CLEAR : SET, series::EV_POKE);
    *out = value;
    return out;
}

void pick(const int32_t*) {
    Cell* args = stack::arguments;
    bool member = process_spec(args + 1, args, TEST, false, FROM_ACTION) != 0;
    set_cell(args, TYPE_LOGIC, member ? 1 : 0);
    stack::keep();
}

void find(const int32_t*) {
    Cell* args = stack::arguments;
    bool member = process_spec(args + 1, args, TEST, false, FROM_ACTION) != 0;
    if (member)
        set_cell(args, TYPE_LOGIC, 1);
    else
        set_cell(args, TYPE_NONE);
    stack::keep();
}

void poke(const int32_t*) {
    Cell* args = stack::arguments;
    change_bits(args, args + 1, clears_q(args + 2) ? CLEAR : SET, series::EV_POKE);
    *args = args[2];
    stack::keep();
}

void append(const int32_t*) {
    Cell* args = stack::arguments;
    change_bits(args, args + 1, SET, series::EV_APPEND);
    stack::keep();
}

void insert(const int32_t*) {
    Cell* args = stack::arguments;
    change_bits(args, args + 1, SET, series::EV_INSERT);
    stack::keep();
}

void remove(const int32_t* refs) {
    Cell* args = stack::arguments;
    if (refs[0] < 0) fire(err::script::missing_arg);
    // The named bits stop being members, in a complemented set as in a plain one.
    change_bits(args, args + refs[0], CLEAR, series::EV_REMOVE);
    stack::keep();
}

void clear(const int32_t*) {
    Cell* args = stack::arguments;
    stack::keep();
    series::notify(args, series::EV_CLEAR, false, nullptr, 0, 0);
    SeriesBuf* b = sbuf(args);
    std::memset(b->at_head(), (b->flags & series_flag::complement) ? 0xFF : 0, b->used_bytes());
    series::notify(args, series::EV_CLEAR, true, nullptr, 0, 0);
}

void copy(const int32_t*) {
    copy_bits(stack::arguments, stack::arguments);
    stack::keep();
}

void length_q(const int32_t*) {
    Cell* args = stack::arguments;
    set_cell(args, TYPE_INTEGER, byte_size(args) * 8);
    stack::keep();
}

Cell* make(Cell* proto, Cell* spec, int) { return make_from(proto, spec, false); }

Cell* to(Cell* proto, Cell* spec, int) { return make_from(proto, spec, true); }

void init() {
    datatype::Row row;
    row.set(ACT_MAKE, make)
        .set(ACT_REFLECT, series::reflect)
        .set(ACT_TO, to)
        .set(ACT_FORM, form)
        .set(ACT_MOLD, mold)
        .set(ACT_EVAL_PATH, eval_path)
        .set(ACT_COMPARE, compare)
        .set(ACT_NEGATE, negate)
        .set(ACT_AND_T, and_)
        .set(ACT_COMPLEMENT, complement)
        .set(ACT_OR_T, or_)
        .set(ACT_XOR_T, xor_)
        .set(ACT_APPEND, append)
        .set(ACT_CLEAR, clear)
        .set(ACT_COPY, copy)
        .set(ACT_FIND, find)
        .set(ACT_INSERT, insert)
        .set(ACT_LENGTH_Q, length_q)
        .set(ACT_PICK, pick)
        .set(ACT_POKE, poke)
        .set(ACT_REMOVE, remove)
        .set(ACT_MODIFY, series::modify);
    datatype::register_row(TYPE_BITSET, 0, "bitset!", row);
    natives::register_set_op(TYPE_BITSET, set_op);
}

}  // namespace bitset
