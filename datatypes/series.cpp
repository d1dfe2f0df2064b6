#include "datatypes/series.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "datatypes/datatype.h"
#include "datatypes/error.h"
#include "datatypes/ownership.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "evaluator/actions.h"
#include "runtime/collector.h"
#include "runtime/fire.h"
#include "runtime/hashtable.h"
#include "runtime/platform.h"
#include "services/random.h"
#include "runtime/root.h"
#include "runtime/stack.h"

namespace series {

// ---------------------------------------------------------------------------------------------
// Services of other modules

Cell* (*vector_get_value)(const uint8_t*, uint32_t, int, Cell*) = nullptr;
void (*vector_set_value)(uint8_t*, int, uint32_t, const Cell*) = nullptr;

// ---------------------------------------------------------------------------------------------
// Owner notification

static const char* const kBeforeWords[EV_COUNT] = {"append", "insert", "change",  "clear", "move", "poke", "put",
                                                   "remove", "random", "reverse", "sort",  "swap", "take", "trim"};
static const char* const kAfterWords[EV_COUNT] = {"appended", "inserted", "changed", "cleared",    "moved",
                                                  "poked",    "put-ed",   "removed", "randomized", "reversed",
                                                  "sorted",   "swaped",   "taken",   "trimmed"};
static int32_t event_symbols[2][EV_COUNT];

void notify(const Cell* s, Event event, bool after, const Cell* value, int32_t index, int32_t part) {
    if (!owned_q(s)) return;
    int32_t& sym = event_symbols[after ? 1 : 0][event];
    if (!sym) sym = symbol::make(after ? kAfterWords[event] : kBeforeWords[event]);
    Cell target = *s;
    collector::Root keep_target(&target);
    Cell v;
    if (value)
        v = *value;
    else
        set_cell(&v, TYPE_NONE);
    collector::Root keep_value(&v);
    Cell w;
    word::make_global(&w, sym);
    collector::Root keep_word(&w);
    // An action may have let the stack top down to its result slot while its value argument
    // still sits above it; the handler's call pushes cells there and would overwrite the value
    // the action goes on to insert.
    Cell* saved_top = stack::top;
    if (value >= stack::top && value < stack::end) stack::top = const_cast<Cell*>(value) + 1;
    ownership::check(&target, &w, &v, index, part);
    stack::top = saved_top;
}

// ---------------------------------------------------------------------------------------------
// Shared routines

bool rs_tail_q(const Cell* v) { return head_of(v) >= total_length(v); }

bool rs_skip(Cell* v, int32_t n) {
    int32_t total = total_length(v);
    int64_t to = int64_t(v->index()) + n;
    if (to >= 0 && to <= total) v->set_index(static_cast<int32_t>(to));
    return v->index() >= total;
}

int32_t get_length(Cell* v, bool from_start) {
    int32_t total = total_length(v);
    if (v->index() > total) {
        v->set_index(total);
        return 0;
    }
    return from_start ? total : total - head_of(v);
}

int32_t get_part_length(int offset) {
    Cell* args = stack::arguments;
    const Cell* count = args + 1;
    if (count->type() != TYPE_INTEGER) fire(err::script::invalid_arg, count);
    int64_t n = count->i1();
    if (offset == 1 && n < 1) offset = 0;
    int64_t at = int64_t(args->index()) + n - offset;
    int32_t total = total_length(args);
    if (at < 0) at = 0;
    if (at > total) at = total;
    return static_cast<int32_t>(at);
}

void bad_refine(const char* refinement, const Cell* arg) {
    Cell a = *arg;
    collector::Root keep(&a);
    Cell w;
    word::load(&w, refinement);
    fire(err::script::invalid_refine_arg, &w, &a);
}

static bool same_series(const Cell* a, const Cell* b) {
    return a->type() == b->type() && a->node() == b->node() && a->type() != TYPE_PORT;
}

int32_t part_count(const Cell* s, const Cell* part, const char* refinement) {
    if (part->type() == TYPE_INTEGER) return part->i1();
    if (same_series(s, part)) {
        int64_t n = int64_t(part->index()) - s->index();
        if (n > INT32_MAX) n = INT32_MAX;
        if (n < INT32_MIN) n = INT32_MIN;
        return static_cast<int32_t>(n);
    }
    bad_refine(refinement, part);
}

Cell* element_at(const Cell* v, int32_t index, Cell* out) {
    SeriesBuf* s = buf_of(v);
    uint32_t unit = s->unit();
    const uint8_t* p = s->at_head() + size_t(index) * unit;
    uint8_t type = v->type();
    if (unit == 16) {
        *out = *reinterpret_cast<const Cell*>(p);
        return out;
    }
    if (type == TYPE_VECTOR) {
        if (!vector_get_value) fire(err::internal::not_done);
        int element = static_cast<int>(v->data3);
        return vector_get_value(p, unit, element, out);
    }
    if (type == TYPE_BINARY) return set_cell(out, TYPE_INTEGER, *p);
    return set_cell(out, TYPE_CHAR, string::get_char(p, unit));
}

Cell* copy_units(Cell* out, const Cell* v, int32_t from, int32_t count) {
    uint8_t type = v->type();
    uint32_t extra = type == TYPE_VECTOR ? v->data3 : 0;
    uint32_t unit = unit_of(v);
    Node node = memory::alloc_series(count > 0 ? count : 1, static_cast<int>(unit), 0);
    SeriesBuf* d = memory::nodes[node];
    SeriesBuf* s = buf_of(v);  // the allocation may have moved it
    constexpr uint32_t dropped =
        series_flag::owned | series_flag::big | series_flag::fixed | series_flag::mark | series_flag::middle;
    d->flags = (s->flags & ~dropped) | (d->flags & series_flag::big) | series_flag::in_use;
    if (count > 0) std::memcpy(d->data(), s->at_head() + size_t(from) * unit, size_t(count) * unit);
    d->head = 0;
    d->tail = uint32_t(count > 0 ? count : 0) * unit;
    return set_cell(out, type, 0, node, extra);
}

Cell* copy_core(Cell* out, const Cell* value, const Cell* part) {
    Cell v = *value;
    collector::Root keep(&v);
    int64_t total = total_length(&v);
    int64_t start = head_of(&v);
    int64_t count = total - start;
    if (part) {
        if (part->type() == TYPE_INTEGER) {
            count = part->i1();
        } else if (part->type() == TYPE_PAIR) {
            int64_t x = part->i2(), y = part->i3();
            start = x < 0 ? start + x : start + x - 1;
            if (start < 0) start = 0;
            count = y < x ? 0 : y - x;
        } else if (same_series(&v, part)) {
            count = int64_t(part->index()) - start;
        } else {
            bad_refine("part", part);
        }
        if (count < 0) {
            int64_t from = start + count;
            if (from < 0) from = 0;
            count = start - from;
            start = from;
        }
    }
    if (start > total) start = total;
    if (count > total - start) count = total - start;
    if (count < 0) count = 0;
    uint32_t marker = v.header & cell_flag::newline;
    copy_units(out, &v, static_cast<int32_t>(start), static_cast<int32_t>(count));
    out->header |= marker;
    return out;
}

void hash_removed(const Cell* v, int32_t from, int32_t count, int32_t old_length) {
    if (v->type() != TYPE_HASH || !v->data3 || count <= 0) return;
    Node t = v->data3;
    hashtable::remove_range(t, from, count);
    int32_t rest = old_length - from - count;
    if (rest > 0 && hashtable::refresh(t, -count, from + count, rest, false) == 1)
        hashtable::rebuild(t, old_length - count);
}

void hash_inserted(const Cell* v, int32_t from, int32_t count, int32_t old_length) {
    if (v->type() != TYPE_HASH || !v->data3 || count <= 0) return;
    Node t = v->data3;
    int32_t rest = old_length - from;
    if (rest > 0 && hashtable::refresh(t, count, from, rest, false) == 1) {
        hashtable::rebuild(t, old_length + count);
        return;
    }
    hashtable::put_range(t, from, count);
}

void hash_rebuild(const Cell* v) {
    if (v->type() != TYPE_HASH || !v->data3) return;
    hashtable::rebuild(v->data3, total_length(v));
}

void remove_units(const Cell* v, int32_t from, int32_t count) {
    SeriesBuf* s = buf_of(v);
    int32_t total = static_cast<int32_t>(s->length());
    if (from < 0 || from >= total || count <= 0) return;
    if (count > total - from) count = total - from;
    uint32_t unit = s->unit();
    uint8_t* at = s->at_head() + size_t(from) * unit;
    std::memmove(at, at + size_t(count) * unit, size_t(total - from - count) * unit);
    s->tail -= uint32_t(count) * unit;
    hash_removed(v, from, count, total);
}

// One scratch series per unit size for take without /part, made once and kept for the run.
static int32_t scratch_slots[17];

static Node scratch_node(uint32_t unit) {
    int32_t& slot = scratch_slots[unit];
    if (!slot) {
        Node n = memory::alloc_series(1, static_cast<int>(unit), 0);
        slot = root::keep_node(n) + 1;
    }
    return root::at(slot - 1)->node();
}

Cell* take_core(Cell* value, const Cell* part, bool last, Cell* out, TakePrepare prepare) {
    int32_t length = get_length(value, false);
    if (length == 0) return set_cell(out, TYPE_NONE);
    int32_t head = head_of(value);
    int32_t total = total_length(value);
    int64_t n = 1;
    int64_t start = last ? total - 1 : head;
    if (part) {
        if (part->type() == TYPE_INTEGER) {
            n = part->i1();
        } else if (same_series(value, part)) {
            if (part->index() < head)
                n = 0;
            else
                n = last ? int64_t(head) + length - part->index() : int64_t(part->index()) - head;
        } else {
            bad_refine("part", part);
        }
        // Nothing to take (a count of 0, or counting backwards from the end): an empty series of
        // the same type, and nobody is told.
        if (n == 0 || (n < 0 && last)) return copy_units(out, value, 0, 0);
        if (n < 0) {
            n = -n;
            if (n > head) n = head;
            if (n == 0) return copy_units(out, value, 0, 0);
            start = head - n;
        } else {
            if (n > length) n = length;
            start = last ? total - n : head;
        }
    }
    Cell v = *value;
    collector::Root keep(&v);
    // The owner sees the series at the first unit taken (the tail end for /last, before the
    // head for a negative count), as its index says: a pane's handler unlinks those faces.
    Cell at = v;
    at.set_index(static_cast<int32_t>(start));
    notify(&at, EV_TAKE, false, nullptr, static_cast<int32_t>(start), static_cast<int32_t>(n));
    // The owner's handler may have changed the series: take what is still there.
    total = total_length(&v);
    if (last) {
        // The units come off the tail as it is now, so they are counted back from it.
        if (head >= total) return set_cell(out, TYPE_NONE);
        if (n > total - head) n = total - head;
        start = total - n;
    }
    if (start >= total) return set_cell(out, TYPE_NONE);
    if (n > total - start) n = total - start;
    int32_t from = static_cast<int32_t>(start), count = static_cast<int32_t>(n);
    // The owner's handler told `taken` below may itself take from a series of the same unit,
    // which refills the shared scratch buffer: the unit taken here is kept apart (a cell as a
    // root, so that what it refers to survives the handler) and put back once it has returned.
    uint32_t scratch_unit = 0;
    uint8_t taken_bytes[16];
    Cell taken_cell;
    set_cell(&taken_cell, TYPE_NONE);
    collector::Root keep_taken(&taken_cell);
    if (part) {
        copy_units(out, &v, from, count);
    } else {
        SeriesBuf* s = buf_of(&v);
        uint32_t unit = s->unit();
        Node scratch = scratch_node(unit);
        s = buf_of(&v);
        SeriesBuf* d = memory::nodes[scratch];
        std::memcpy(d->data(), s->at_head() + size_t(from) * unit, unit);
        d->head = 0;
        d->tail = unit;
        set_cell(out, v.type(), 0, scratch, v.type() == TYPE_VECTOR ? v.data3 : 0);
        scratch_unit = unit;
        if (unit == 16)
            taken_cell = *reinterpret_cast<const Cell*>(d->data());
        else
            std::memcpy(taken_bytes, d->data(), unit);
    }
    Cell result = *out;
    collector::Root keep_result(&result);
    // The units prepare works on are kept as they were taken, to go back if it fails.
    Cell originals;
    set_cell(&originals, TYPE_NONE);
    collector::Root keep_originals(&originals);
    if (prepare && part) copy_units(&originals, &result, 0, count);
    if (last) {
        SeriesBuf* s = buf_of(&v);
        s->tail -= uint32_t(count) * s->unit();
        hash_removed(&v, from, count, total);
    } else {
        remove_units(&v, from, count);
    }
    if (prepare && (part || scratch_unit == 16)) {
        try {
            if (part)
                prepare(&result, false);
            else
                prepare(&taken_cell, true);
        } catch (...) {
            // Nothing is lost: the units go back where they were taken from.
            int32_t now = total_length(&v);
            int32_t back = from < now ? from : now;
            uint32_t unit = buf_of(&v)->unit();
            SeriesBuf* s = ::series::reserve(v.node(), uint32_t(count) * unit);
            uint8_t* at = s->at_head() + size_t(back) * unit;
            std::memmove(at + size_t(count) * unit, at, size_t(now - back) * unit);
            const uint8_t* units = part ? buf_of(&originals)->at_head() : reinterpret_cast<const uint8_t*>(&taken_cell);
            std::memcpy(at, units, size_t(count) * unit);
            s->tail += uint32_t(count) * unit;
            hash_inserted(&v, back, count, now);
            throw;
        }
    }
    at = v;
    at.set_index(from);
    notify(&at, EV_TAKE, true, nullptr, from, count);
    if (scratch_unit) {
        SeriesBuf* d = memory::nodes[result.node()];
        if (scratch_unit == 16)
            *reinterpret_cast<Cell*>(d->data()) = taken_cell;
        else
            std::memcpy(d->data(), taken_bytes, scratch_unit);
        d->head = 0;
        d->tail = scratch_unit;
    }
    *out = result;
    return out;
}

// ---------------------------------------------------------------------------------------------
// Position actions

void at(const int32_t*) {
    stack::arguments->set_index(get_part_length(1));
    stack::keep();
}

void skip(const int32_t*) {
    stack::arguments->set_index(get_part_length(0));
    stack::keep();
}

void head(const int32_t*) {
    stack::arguments->set_index(0);
    stack::keep();
}

void tail(const int32_t*) {
    stack::arguments->set_index(total_length(stack::arguments));
    stack::keep();
}

void next(const int32_t*) {
    rs_skip(stack::arguments, 1);
    stack::keep();
}

void back(const int32_t*) {
    Cell* v = stack::arguments;
    if (v->index() > 0) v->set_index(v->index() - 1);
    stack::keep();
}

void head_q(const int32_t*) {
    Cell* v = stack::arguments;
    set_cell(v, TYPE_LOGIC, v->index() == 0 ? 1 : 0);
    stack::keep();
}

void tail_q(const int32_t*) {
    Cell* v = stack::arguments;
    set_cell(v, TYPE_LOGIC, rs_tail_q(v) ? 1 : 0);
    stack::keep();
}

void index_q(const int32_t*) {
    Cell* v = stack::arguments;
    int64_t i = int64_t(v->index()) + 1;
    set_cell(v, TYPE_INTEGER, static_cast<uint32_t>(static_cast<int32_t>(i > INT32_MAX ? INT32_MAX : i)));
    stack::keep();
}

void length_q(const int32_t*) {
    Cell* v = stack::arguments;
    int32_t n = get_length(v, false);
    set_cell(v, TYPE_INTEGER, static_cast<uint32_t>(n));
    stack::keep();
}

// ---------------------------------------------------------------------------------------------
// Element actions

// Absolute position of a pick or poke index (0 for index 0: the callers reject it).
static int64_t position_of(const Cell* v, int32_t index) {
    return index > 0 ? int64_t(v->index()) + index - 1 : int64_t(v->index()) + index;
}

void pick(const int32_t*) {
    Cell* v = stack::arguments;
    int32_t index = actions::get_index_arg(v + 1);
    int64_t p = position_of(v, index);
    if (index == 0 || p < 0 || p >= total_length(v))
        set_cell(v, TYPE_NONE);
    else
        element_at(v, static_cast<int32_t>(p), v);
    stack::keep();
}

// Checks that a value can be stored into the series; raises invalid-arg (out-of-range for a
// byte value that no byte holds: an integer outside -128..255, as append takes them, or a char
// above 255) otherwise.
static void check_storable(const Cell* v, const Cell* value) {
    uint32_t unit = unit_of(v);
    uint8_t type = v->type();
    if (unit == 16) return;
    if (type == TYPE_VECTOR) {
        if (value->type() != static_cast<uint8_t>(v->data3)) fire(err::script::invalid_arg, value);
        return;
    }
    if (type == TYPE_BINARY) {
        if (value->type() != TYPE_INTEGER && value->type() != TYPE_CHAR) fire(err::script::invalid_arg, value);
        bool fits = value->type() == TYPE_INTEGER ? value->i1() >= -128 && value->i1() <= 255 : value->data1 <= 255;
        if (!fits) fire(err::script::out_of_range, value);
        return;
    }
    if (types::any_string(type)) {
        if (value->type() != TYPE_CHAR) fire(err::script::invalid_arg, value);
        return;
    }
    fire(err::script::invalid_arg, value);
}

// Stores a checked value at an absolute position that lies inside the series.
static void store_at(const Cell* v, int32_t p, const Cell* value) {
    SeriesBuf* s = buf_of(v);
    uint32_t unit = s->unit();
    uint8_t* at = s->at_head() + size_t(p) * unit;
    if (unit == 16) {
        bool hashed = v->type() == TYPE_HASH && v->data3;
        if (hashed) hashtable::delete_(v->data3, p);
        *reinterpret_cast<Cell*>(at) = *value;
        if (hashed) hashtable::add_cell(v->data3, p);
        return;
    }
    if (v->type() == TYPE_VECTOR) {
        if (!vector_set_value) fire(err::internal::not_done);
        vector_set_value(at, static_cast<int>(v->data3), unit, value);
        return;
    }
    if (v->type() == TYPE_BINARY) {
        *at = static_cast<uint8_t>(value->data1);
        return;
    }
    string::poke_char(v->node(), s->head / unit + uint32_t(p), value->data1);
}

void poke_at(const Cell* series, int64_t p, const Cell* index_cell, const Cell* value) {
    Cell v = *series;
    collector::Root keep_series(&v);
    Cell i = *index_cell;
    collector::Root keep_index(&i);
    Cell x = *value;
    collector::Root keep_value(&x);
    if (p < 0 || p >= total_length(&v)) fire(err::script::out_of_range, &i);
    check_storable(&v, &x);
    int32_t at = static_cast<int32_t>(p);
    notify(&v, EV_POKE, false, &x, at, 1);
    if (at >= total_length(&v)) fire(err::script::out_of_range, &i);
    store_at(&v, at, &x);
    notify(&v, EV_POKE, true, &x, at, 1);
}

void poke(const int32_t*) {
    Cell* v = stack::arguments;
    int32_t index = actions::get_index_arg(v + 1);
    if (index == 0) fire(err::script::out_of_range, v + 1);
    poke_at(v, position_of(v, index), v + 1, v + 2);
    *v = v[2];
    stack::keep();
}

void clear(const int32_t*) {
    Cell* v = stack::arguments;
    int32_t total = total_length(v);
    int32_t head = head_of(v);
    if (head < total) {
        notify(v, EV_CLEAR, false, nullptr, head, total - head);
        SeriesBuf* s = buf_of(v);
        total = static_cast<int32_t>(s->length());
        if (head < total) {
            if (v->type() == TYPE_HASH && v->data3) hashtable::remove_range(v->data3, head, total - head);
            s->tail = s->head + uint32_t(head) * s->unit();
        }
        notify(v, EV_CLEAR, true, nullptr, head, total - head);
    }
    stack::keep();
}

// find/case of a key from the series' head, through the series type's own find.
static bool find_key(Cell* out, const Cell* v, const Cell* key) {
    const Cell* args[2] = {v, key};
    int32_t refs[11] = {-1, -1, 0, -1, -1, -1, -1, -1, -1, -1, -1};
    actions::call(out, ACT_FIND, args, 2, refs);
    return out->type() != TYPE_NONE;
}

void remove(const int32_t* refs) {
    Cell* v = stack::arguments;
    const Cell* part = refs[0] >= 0 ? v + refs[0] : nullptr;
    const Cell* key = refs[1] >= 0 ? v + refs[1] : nullptr;
    int64_t n = 1;
    if (part) {
        n = part_count(v, part);
        if (n < 1) {
            stack::keep();
            return;
        }
    }
    int64_t start = head_of(v);
    const int32_t origin = head_of(v);
    if (key) {
        Cell found;
        if (!find_key(&found, v, key)) {
            set_cell(v, TYPE_NONE);
            stack::keep();
            return;
        }
        start = head_of(&found);
        n = part ? n + 1 : 2;
        v->set_index(static_cast<int32_t>(start));
    }
    int32_t total = total_length(v);
    if (start < total) {
        int64_t want = n;
        if (n > total - start) n = total - start;
        int32_t from = static_cast<int32_t>(start), count = static_cast<int32_t>(n);
        notify(v, EV_REMOVE, false, nullptr, from, count);
        if (key && owned_q(v)) {
            // The owner's handler may have moved or removed the key: what goes is the key and
            // what follows it, wherever they now are, not what took their old place.
            Cell found;
            v->set_index(origin);
            if (!find_key(&found, v, key)) {
                set_cell(v, TYPE_NONE);
                stack::keep();
                return;
            }
            from = head_of(&found);
            v->set_index(from);
            total = total_length(v);
            count = static_cast<int32_t>(want > total - from ? total - from : want);
        }
        remove_units(v, from, count);
        notify(v, EV_REMOVE, true, nullptr, from, count);
    }
    stack::keep();
}

// Reverses records of a fixed width: copies of a known size become plain moves, where a copy of a
// width known only at run time is a library call per character or cell.
template <uint32_t N>
static void reverse_records(uint8_t* first, int32_t records) {
    for (int32_t i = 0, j = records - 1; i < j; i++, j--) {
        uint8_t* a = first + size_t(i) * N;
        uint8_t* b = first + size_t(j) * N;
        uint8_t t[N];
        std::memcpy(t, a, N);
        std::memcpy(a, b, N);
        std::memcpy(b, t, N);
    }
}

void reverse(const int32_t* refs) {
    Cell* v = stack::arguments;
    const Cell* part = refs[0] >= 0 ? v + refs[0] : nullptr;
    const Cell* skip_arg = refs[1] >= 0 ? v + refs[1] : nullptr;
    stack::keep();
    if (rs_tail_q(v)) return;
    int32_t head = head_of(v);
    int32_t length = total_length(v) - head;
    if (part) {
        int32_t n = part_count(v, part);
        if (n < 1) return;
        if (n < length) length = n;
    }
    int32_t size = 1;
    if (skip_arg) {
        if (skip_arg->type() != TYPE_INTEGER) bad_refine("skip", skip_arg);
        size = skip_arg->i1();
        if (size < 1) fire(err::script::out_of_range, skip_arg);
        if (size == length) return;
        if (length < size || length % size != 0) bad_refine("skip", skip_arg);
    }
    notify(v, EV_REVERSE, false, nullptr, head, length);
    SeriesBuf* s = buf_of(v);
    int32_t total = static_cast<int32_t>(s->length());
    if (head + length > total) length = total > head ? total - head : 0;
    length -= length % size;
    uint32_t record = uint32_t(size) * s->unit();
    int32_t records = length / size;
    uint8_t* first = s->at_head() + size_t(head) * s->unit();
    switch (record) {
        case 1: reverse_records<1>(first, records); break;
        case 2: reverse_records<2>(first, records); break;
        case 4: reverse_records<4>(first, records); break;
        case 8: reverse_records<8>(first, records); break;
        case 16: reverse_records<16>(first, records); break;
        default: {
            std::vector<uint8_t> swap_area(record);
            for (int32_t i = 0, j = records - 1; i < j; i++, j--) {
                uint8_t* a = first + size_t(i) * record;
                uint8_t* b = first + size_t(j) * record;
                std::memcpy(swap_area.data(), a, record);
                std::memcpy(a, b, record);
                std::memcpy(b, swap_area.data(), record);
            }
        }
    }
    hash_rebuild(v);
    notify(v, EV_REVERSE, true, nullptr, head, length);
}

// The bytes that /seed hashes, so that equal contents seed alike in every run: text in the
// narrowest unit that holds it (its storage widens and never narrows back), and cells as they
// are except for what follows the run's history: a series named by a node handle is replaced by
// the digest of its contents from its head, a word by the digest of its spelling, and anything
// else a node names (contexts, functions, tables) by 0. Digests are kept per buffer and head so
// that shared series cost one walk, and a series that contains itself digests as 0 inside itself.
namespace {

struct SeedBytes {
    std::vector<uint8_t> out;
    std::unordered_map<uint64_t, uint32_t> known;  // (node, head) to its digest; 0 while open

    void text(SeriesBuf* s, int32_t head, int32_t length) {
        uint32_t unit = s->unit();
        const uint8_t* p = s->at_head() + size_t(head) * unit;
        uint32_t widest = 0;
        for (int32_t i = 0; i < length; i++) widest = std::max(widest, string::get_char(p + size_t(i) * unit, unit));
        uint32_t narrow = widest < 0x100 ? 1 : widest < 0x10000 ? 2 : 4;
        if (narrow == unit) {
            out.insert(out.end(), p, p + size_t(length) * unit);
            return;
        }
        for (int32_t i = 0; i < length; i++) {
            uint32_t c = string::get_char(p + size_t(i) * unit, unit);
            for (uint32_t b = 0; b < narrow; b++) out.push_back(uint8_t(c >> (8 * b)));
        }
    }

    void cells(SeriesBuf* s, int32_t head, int32_t length) {
        for (int32_t i = 0; i < length; i++) {
            Cell c = cells_of(s)[head + i];
            uint8_t t = c.type();
            if (types::any_block(t) || types::any_string(t) || t == TYPE_BINARY || t == TYPE_VECTOR ||
                t == TYPE_MAP) {
                c.data2 = digest(t, c.data2, t == TYPE_MAP ? 0 : head_of(&c));
                c.data1 = 0;                              // the head is in the digest
                if (t != TYPE_VECTOR) c.data3 = 0;        // text caches, hash tables
            } else if (t == TYPE_IMAGE || t == TYPE_BITSET) {
                c.data2 = digest(t, c.data2, 0);
            } else if (types::any_word(t)) {
                // A word by its spelling: symbol ids and slot indexes follow the order in which
                // the run met the words, and the context is a node.
                std::string_view name = symbol::text(static_cast<int32_t>(c.data2));
                c.data2 = hashtable::murmur3(name.data(), uint32_t(name.size()));
                c.data1 = c.data3 = 0;
            } else if (types::any_object(t)) {
                c.data1 = c.data3 = 0;
            } else if (t == TYPE_NATIVE || t == TYPE_ACTION) {
                c.data2 = c.data3 = 0;  // the spec series; the table index stays
            } else if (types::any_function(t) || t == TYPE_SYMBOL || t == TYPE_CONTEXT ||
                       (t == TYPE_EVENT && (c.header & 0x1000))) {
                c.data1 = c.data2 = c.data3 = 0;
            }
            const uint8_t* b = reinterpret_cast<const uint8_t*>(&c);
            out.insert(out.end(), b, b + sizeof c);
        }
    }

    uint32_t digest(uint8_t type, Node n, int32_t head) {
        if (!n || n >= memory::state.node_high || !memory::node_in_use(n)) return 0;
        uint64_t k = (uint64_t(n) << 32) | uint32_t(head);
        auto found = known.find(k);
        if (found != known.end()) return found->second;
        // Each level of nesting is a level of this walk.
        if (platform::stack_exhausted()) fire(err::internal::stack_overflow);
        known.emplace(k, 0);
        SeriesBuf* s = memory::nodes[n];
        int32_t total = static_cast<int32_t>(s->length());
        int32_t length = head < total ? total - head : 0;
        size_t mark = out.size();
        add(type, s, head, length);
        uint32_t d = hashtable::murmur3(out.data() + mark, uint32_t(out.size() - mark));
        out.resize(mark);
        known[k] = d;
        return d;
    }

    void add(uint8_t type, SeriesBuf* s, int32_t head, int32_t length) {
        if (s->unit() == sizeof(Cell))
            cells(s, head, length);
        else if (types::any_string(type))
            text(s, head, length);
        else {
            const uint8_t* p = s->at_head() + size_t(head) * s->unit();
            out.insert(out.end(), p, p + size_t(length) * s->unit());
        }
    }
};

}  // namespace

void random(const int32_t* refs) {
    Cell* v = stack::arguments;
    bool seed = refs[0] >= 0, secure = refs[1] >= 0, only = refs[2] >= 0;
    stack::keep();
    int32_t head = head_of(v);
    int32_t length = get_length(v, false);
    if (seed) {
        SeedBytes b;
        b.add(v->type(), buf_of(v), head, length);
        random_::seed(hashtable::murmur3(b.out.data(), uint32_t(b.out.size())));
        set_cell(v, TYPE_UNSET);
        return;
    }
    if (only) {
        if (length == 0) {
            set_cell(v, TYPE_NONE);
            return;
        }
        int32_t k = random_::int_(secure, length);
        element_at(v, head + k - 1, v);
        return;
    }
    if (length < 1) return;
    notify(v, EV_RANDOM, false, nullptr, head, length);
    SeriesBuf* s = buf_of(v);
    int32_t total = static_cast<int32_t>(s->length());
    if (head + length > total) length = total > head ? total - head : 0;
    uint32_t unit = s->unit();
    uint8_t swap_area[16];
    for (int32_t i = 0; i < length; i++) {
        int32_t k = random_::int_(secure, length - i);
        if (k <= 1) continue;
        s = buf_of(v);
        uint8_t* a = s->at_head() + size_t(head + i) * unit;
        uint8_t* b = a + size_t(k - 1) * unit;
        std::memcpy(swap_area, a, unit);
        std::memcpy(a, b, unit);
        std::memcpy(b, swap_area, unit);
    }
    hash_rebuild(v);
    notify(v, EV_RANDOM, true, nullptr, head, length);
}

// Text of different units: the target is widened for wider origin units, and narrower units are
// converted one codepoint at a time.
static void put_units(uint8_t* to, uint32_t to_unit, const uint8_t* from, uint32_t from_unit, int32_t n) {
    if (to_unit == from_unit) {
        std::memcpy(to, from, size_t(n) * to_unit);
        return;
    }
    for (int32_t i = 0; i < n; i++)
        string::put_char(to + size_t(i) * to_unit, to_unit, string::get_char(from + size_t(i) * from_unit, from_unit));
}

// Whether units of the same width keep their meaning in the other buffer: float elements are
// read only as floats, text and char! vectors take codepoints (or bytes) but not arbitrary
// integers, and an image is a fixed rectangle of pixels that nothing can be inserted into.
static bool same_kind_of_units(const Cell* origin, const Cell* target) {
    auto floats = [](const Cell* v) {
        return v->type() == TYPE_VECTOR && (v->data3 == TYPE_FLOAT || v->data3 == TYPE_PERCENT);
    };
    auto codepoints = [](const Cell* v) {
        return types::any_string(v->type()) || (v->type() == TYPE_VECTOR && v->data3 == TYPE_CHAR);
    };
    if (target->type() == TYPE_IMAGE) return false;
    if (floats(origin) != floats(target)) return false;
    return !(codepoints(target) && origin->type() == TYPE_VECTOR && origin->data3 != TYPE_CHAR);
}

// Raises move-bad when the units of the two buffers cannot cross as they are now.
static void check_units_cross(const Cell* origin, const Cell* target) {
    uint8_t ot = origin->type(), tt = target->type();
    uint32_t ou = unit_of(origin), tu = unit_of(target);
    bool o_strict = ot == TYPE_BINARY || ot == TYPE_VECTOR, t_strict = tt == TYPE_BINARY || tt == TYPE_VECTOR;
    if ((ou == 16) != (tu == 16) || ((o_strict || t_strict) && ou != tu) || !same_kind_of_units(origin, target)) {
        Cell a, b;
        datatype::make_at(&a, ot);
        datatype::make_at(&b, tt);
        fire(err::script::move_bad, &a, &b);
    }
}

static void move_between(Cell* origin, Cell* target, int32_t count) {
    check_units_cross(origin, target);
    int32_t oh = head_of(origin);
    notify(origin, EV_MOVE, false, nullptr, oh, count);
    notify(target, EV_MOVE, false, nullptr, head_of(target), count);
    // A handler may have widened either text: the units are weighed again as they now stand.
    check_units_cross(origin, target);
    int32_t ototal = total_length(origin);
    if (oh >= ototal) return;
    if (count > ototal - oh) count = ototal - oh;
    uint32_t ou = unit_of(origin);
    if (ou != 16 && ou > unit_of(target)) string::widen(target->node(), ou);
    uint32_t tu = unit_of(target);
    int32_t ttotal = total_length(target);
    int32_t th = head_of(target);
    if (th > ttotal) th = ttotal;
    uint64_t need = uint64_t(count) * tu;
    SeriesBuf* t = buf_of(target);
    if (t->room() < need) {
        uint64_t wanted = (uint64_t(t->used_bytes()) + need) * 2;
        if (wanted > 0x7FFFFFF0u) fire(err::internal::no_memory);
        memory::expand_series(target->node(), static_cast<uint32_t>(wanted));
        t = buf_of(target);
    }
    SeriesBuf* o = buf_of(origin);
    uint8_t* at = t->at_head() + size_t(th) * tu;
    std::memmove(at + need, at, size_t(ttotal - th) * tu);
    put_units(at, tu, o->at_head() + size_t(oh) * ou, ou, count);
    t->tail += static_cast<uint32_t>(need);
    hash_inserted(target, th, count, ttotal);
    remove_units(origin, oh, count);
    notify(origin, EV_MOVE, true, nullptr, oh, count);
    notify(target, EV_MOVE, true, nullptr, th, count);
}

// Within one buffer: the moved units are cut out and put back before the target's unit (after it
// when the target lies after the origin).
static Cell* move_within(Cell* origin, Cell* target, int32_t count) {
    int32_t total = total_length(origin);
    int32_t oh = head_of(origin);
    int32_t th = head_of(target);
    if (th > total) th = total;
    if (th == oh) return target;
    if (th > oh) {
        if (th != total && total - th < count) return origin;
        // A target inside the moved units has no place to go.
        if (th < oh + count) return target;
    }
    notify(origin, EV_MOVE, false, nullptr, oh, count);
    total = total_length(origin);
    if (oh + count > total) count = total > oh ? total - oh : 0;
    if (th > total) th = total;
    if (count > 0 && !(th > oh && th < oh + count)) {
        int32_t dest = th > oh ? (th == total ? total - count : th - count + 1) : th;
        SeriesBuf* s = buf_of(origin);
        uint32_t unit = s->unit();
        std::vector<uint8_t> moved(size_t(count) * unit);
        uint8_t* base = s->at_head();
        std::memcpy(moved.data(), base + size_t(oh) * unit, moved.size());
        std::memmove(base + size_t(oh) * unit, base + size_t(oh + count) * unit, size_t(total - oh - count) * unit);
        std::memmove(base + size_t(dest + count) * unit, base + size_t(dest) * unit,
                     size_t(total - count - dest) * unit);
        std::memcpy(base + size_t(dest) * unit, moved.data(), moved.size());
        if (origin->type() == TYPE_HASH && origin->data3) hashtable::move_range(origin->data3, oh, count, dest);
    }
    notify(origin, EV_MOVE, true, nullptr, oh, count);
    return target;
}

void move(const int32_t* refs) {
    Cell* origin = stack::arguments;
    Cell* target = origin + 1;
    const Cell* part = refs[0] >= 0 ? origin + refs[0] : nullptr;
    // The arguments stay below the stack top until the end: an owner's handler, called before
    // anything moves, pushes its own cells above them.
    if (!types::series(target->type())) {
        Cell name, type, arg;
        stack::get_call_name(&name);
        datatype::make_at(&type, target->type());
        error::get_call_argument(1, &arg);
        fire(err::script::expect_arg, &name, &type, &arg);
    }
    Cell result = *target;
    if (!rs_tail_q(origin)) {
        int32_t length = total_length(origin) - head_of(origin);
        // One unit unless /part says more, as remove and take do.
        int32_t count = 1;
        if (part) {
            if (part->type() != TYPE_INTEGER) bad_refine("part", part);
            count = part->i1();
            if (count > length) count = length;
        }
        if (count >= 1) {
            if (origin->node() == target->node())
                result = *move_within(origin, target, count);
            else
                move_between(origin, target, count);
        }
    }
    stack::keep();
    *stack::arguments = result;
}

void copy(const int32_t* refs) {
    Cell* v = stack::arguments;
    copy_core(v, v, refs[0] >= 0 ? v + refs[0] : nullptr);
    stack::keep();
}

void take(const int32_t* refs) {
    Cell* v = stack::arguments;
    const Cell* part = refs[0] >= 0 ? v + refs[0] : nullptr;
    take_core(v, part, refs[2] >= 0, v);
    if (!part && v->type() != TYPE_NONE) element_at(v, 0, v);
    stack::keep();
}

static int32_t owned_symbol() {
    static int32_t sym = 0;
    if (!sym) sym = symbol::make("owned");
    return sym;
}

static bool names_owned(const Cell* field) {
    return types::any_word(field->type()) &&
           symbol::resolve(static_cast<int32_t>(field->data2)) == symbol::resolve(owned_symbol());
}

void reflect(const int32_t*) {
    Cell* v = stack::arguments;
    if (!names_owned(v + 1)) fire(err::internal::not_done);
    Cell* owner = v->node() ? ownership::owner_of(v->node()) : nullptr;
    if (owner)
        *v = *owner;
    else
        set_cell(v, TYPE_NONE);
    stack::keep();
}

void modify(const int32_t*) {
    Cell* v = stack::arguments;
    Cell* field = v + 1;
    Cell* value = v + 2;
    if (names_owned(field)) {
        if (value->type() == TYPE_NONE) {
            ownership::unbind(v);
        } else if (value->type() == TYPE_BLOCK && get_length(value, false) >= 2) {
            SeriesBuf* s = buf_of(value);
            const Cell* spec = cells_head(s) + head_of(value);
            Cell owner = spec[0], word = spec[1];
            if (owner.type() == TYPE_OBJECT && types::any_word(word.type())) {
                collector::Root keep_owner(&owner);
                collector::Root keep_word(&word);
                ownership::set_owned(v, &owner, &word);
            }
        }
    }
    *v = *value;
    stack::keep();
}

void init() {
    datatype::Row row;
    row.set(ACT_RANDOM, random)
        .set(ACT_REFLECT, reflect)
        .set(ACT_AT, at)
        .set(ACT_BACK, back)
        .set(ACT_CLEAR, clear)
        .set(ACT_COPY, copy)
        .set(ACT_HEAD, head)
        .set(ACT_HEAD_Q, head_q)
        .set(ACT_INDEX_Q, index_q)
        .set(ACT_LENGTH_Q, length_q)
        .set(ACT_MOVE, move)
        .set(ACT_NEXT, next)
        .set(ACT_PICK, pick)
        .set(ACT_POKE, poke)
        .set(ACT_REMOVE, remove)
        .set(ACT_REVERSE, reverse)
        .set(ACT_SKIP, skip)
        .set(ACT_TAIL, tail)
        .set(ACT_TAIL_Q, tail_q)
        .set(ACT_TAKE, take)
        .set(ACT_MODIFY, modify);
    datatype::register_row(TYPE_SERIES, 0, "series!", row);
}

}  // namespace series
