#include "datatypes/block.h"

#include <cmath>
#include <cstring>
#include <exception>
#include <optional>
#include <vector>

#include "datatypes/error.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "evaluator/actions.h"
#include "evaluator/interpreter.h"
#include "runtime/collector.h"
#include "runtime/cycles.h"
#include "runtime/fire.h"
#include "runtime/hashtable.h"
#include "runtime/root.h"
#include "runtime/runtime.h"
#include "runtime/sort.h"
#include "runtime/stack.h"

// Text converts to a block through the lexer, a module of its own.
#if __has_include("loading/lexer.h")
#include "loading/lexer.h"
#define KEL_BLOCK_HAS_LEXER 1
#endif

namespace block {

using series::buf_of;
using series::head_of;
using series::total_length;

// Leaves the cycle stack as deep as it was on entry, also when an error unwinds through.
namespace {
class CycleGuard {
public:
    CycleGuard() : depth_(cycles::depth()) {}
    ~CycleGuard() {
        int d = cycles::depth();
        if (d > depth_) cycles::pop_n(d - depth_);
    }
    CycleGuard(const CycleGuard&) = delete;
    CycleGuard& operator=(const CycleGuard&) = delete;

private:
    int depth_;
};
}  // namespace

static inline Cell* cell_at(const Cell* v, int32_t i) { return cells_head(buf_of(v)) + i; }

// ---------------------------------------------------------------------------------------------
// Making blocks

Node make_node(int32_t n) { return memory::alloc_cells(n <= 0 ? 1 : n); }

Cell* make_at(Cell* c, Node node, int32_t index, uint8_t type) {
    return set_cell(c, type, static_cast<uint32_t>(index), node);
}

Cell* make_new(Cell* c, int32_t n, uint8_t type) { return make_at(c, make_node(n), 0, type); }

Cell* push_new(int32_t n, uint8_t type) {
    Node node = make_node(n);
    return make_at(stack::push_cell(), node, 0, type);
}

Cell* make_in(Node parent, int32_t n) {
    Node node = make_node(n);
    Cell c;
    make_at(&c, node);
    return append_cell(parent ? parent : root::block_node, &c);
}

Cell* push(const Cell* value) {
    Cell* c = stack::push(value);
    c->set_type(TYPE_BLOCK);
    return c;
}

// ---------------------------------------------------------------------------------------------
// Cell-series routines

Cell* alloc_tail(Node node) {
    SeriesBuf* s = memory::nodes[node];
    if (s->tail + 16 > s->capacity) s = memory::expand_series(node, 0);
    Cell* c = reinterpret_cast<Cell*>(s->at_tail());
    set_cell(c, TYPE_UNSET);
    s->tail += 16;
    return c;
}

Cell* append_cell(Node node, const Cell* value) {
    Cell copy = *value;  // the value may live in the buffer that grows
    collector::Root keep(&copy);
    Cell* c = alloc_tail(node);
    *c = copy;
    return c;
}

void insert_cell(Node node, int32_t index, const Cell* value) {
    Cell copy = *value;
    collector::Root keep(&copy);
    alloc_tail(node);
    SeriesBuf* s = memory::nodes[node];
    Cell* head = cells_head(s);
    int32_t len = static_cast<int32_t>(s->length());
    if (index < 0) index = 0;
    if (index > len - 1) index = len - 1;
    std::memmove(head + index + 1, head + index, size_t(len - 1 - index) * sizeof(Cell));
    head[index] = copy;
}

void insert_value(Cell* v, const Cell* value, bool at_first, bool advance) {
    Cell copy = *value;
    collector::Root keep(&copy);
    int32_t total = total_length(v);
    int32_t at = at_first ? 0 : head_of(v);
    if (at > total) at = total;
    insert_cell(v->node(), at, &copy);
    series::hash_inserted(v, at, 1, total);
    if (advance) v->set_index(at + 1);
}

void insert_block(Cell* v, const Cell* other) {
    Cell o = *other;
    collector::Root keep(&o);
    int32_t n = rs_length_q(&o);
    int32_t from = head_of(&o);
    for (int32_t i = 0; i < n && from + i < total_length(&o); i++) {
        Cell c = *cell_at(&o, from + i);
        insert_value(v, &c, false, true);
    }
}

void append_block(Node node, const Cell* other) {
    Cell o = *other;
    collector::Root keep(&o);
    int32_t n = rs_length_q(&o);
    if (n == 0) return;
    SeriesBuf* s = series::reserve(node, uint32_t(n) * 16);
    int32_t from = head_of(&o);
    std::memmove(s->at_tail(), cell_at(&o, from), size_t(n) * 16);
    s->tail += uint32_t(n) * 16;
}

bool rs_next(Cell* v) { return series::rs_skip(v, 1); }

void remove_last(Cell* v) {
    SeriesBuf* s = buf_of(v);
    if (s->tail <= s->head) return;
    s->tail -= 16;
    int32_t total = static_cast<int32_t>(s->length());
    if (v->index() > total) v->set_index(total);
}

void clear_at_head(const Cell* v) {
    SeriesBuf* s = buf_of(v);
    int32_t head = head_of(v);
    if (head < static_cast<int32_t>(s->length())) s->tail = s->head + uint32_t(head) * 16;
}

void set_tail(Node node, int32_t n) {
    SeriesBuf* s = memory::nodes[node];
    if (n >= 0 && n < static_cast<int32_t>(s->length())) s->tail = s->head + uint32_t(n) * 16;
}

void clear(Node node) {
    SeriesBuf* s = memory::nodes[node];
    s->tail = s->head;
}

static int32_t find_single(const Cell* v, const Cell* value, int32_t from) {
    Cell x = *value;
    collector::Root keep_value(&x);
    Cell c;
    set_cell(&c, TYPE_NONE);
    collector::Root keep_cell(&c);
    for (int32_t i = from; i < total_length(v); i++) {
        c = *cell_at(v, i);
        if (actions::compare(&c, &x, COMP_EQUAL_FIND)) return i;
    }
    return -1;
}

Cell* select_value(const Cell* block, const Cell* value, Cell* out) {
    Cell v = *block;
    collector::Root keep(&v);
    int32_t at = find_single(&v, value, head_of(&v));
    if (at < 0 || at + 1 >= total_length(&v)) return set_cell(out, TYPE_NONE);
    *out = *cell_at(&v, at + 1);
    return out;
}

bool remove_value(Cell* v, const Cell* value, bool at_first) {
    int32_t at = find_single(v, value, at_first ? 0 : head_of(v));
    if (at < 0) return false;
    series::remove_units(v, at, 1);
    return true;
}

// The position of the cell after the first word-like cell naming the word's symbol, or -1.
static int32_t select_word_at(const Cell* block, const Cell* word, bool case_) {
    SeriesBuf* s = buf_of(block);
    const Cell* c = cells_head(s);
    int32_t total = static_cast<int32_t>(s->length());
    int32_t sym = static_cast<int32_t>(word->data2);
    if (!case_) sym = symbol::resolve(sym);
    for (int32_t i = head_of(block); i < total; i++) {
        if (!types::word_like(c[i].type()) || c[i].type() == TYPE_REFINEMENT) continue;
        int32_t other = static_cast<int32_t>(c[i].data2);
        if (!case_) other = symbol::resolve(other);
        if (other != sym) continue;
        return i + 1 < total ? i + 1 : -1;
    }
    return -1;
}

Cell* select_word(const Cell* block, const Cell* word, bool case_, Cell* out) {
    int32_t at = select_word_at(block, word, case_);
    if (at < 0) return set_cell(out, TYPE_NONE);
    *out = *cell_at(block, at);
    return out;
}

// ---------------------------------------------------------------------------------------------
// Copies

Node copy_cells(const Cell* v) {
    int32_t n = rs_length_q(v);
    int32_t from = head_of(v);
    Node node = make_node(n);
    SeriesBuf* d = memory::nodes[node];
    std::memcpy(static_cast<void*>(d->data()), cells_head(buf_of(v)) + from, size_t(n) * sizeof(Cell));
    d->tail = uint32_t(n) * 16;
    return node;
}

// Lives for the copy of one block-like series within a deep copy. A copy needing more series
// than there can be is refused with internal no-memory: a block holding the same sub-block twice,
// nested 40 deep, copies 2^40 blocks and would otherwise fill memory for a long time before
// failing. Copies of fewer than kQuickAt nested blocks pay nothing. At that many the series the
// whole copy makes are counted, shared ones once each, while that takes few steps (a few
// distinct blocks, however often met); a larger value is counted once the copy has made
// kCheckAfter nested copies.
class DeepCopying {
public:
    static constexpr uint64_t kQuickAt = 64;
    static constexpr uint64_t kQuickCount = 1024;  // cells looked at by the quick count
    static constexpr uint64_t kCheckAfter = 1 << 16;

    explicit DeepCopying(const Cell* source) {
        if (depth_++ == 0) {
            // Its caller keeps the source reachable while it is copied.
            outermost_ = *source;
            made_ = 0;
            decided_ = false;
            return;
        }
        ++made_;
        if (decided_ || (made_ != kQuickAt && made_ != kCheckAfter)) return;
        size_t most = memory::most_nodes();
        uint64_t n;
        if (made_ == kQuickAt)
            decided_ = cycles::unfolded_series_within(&outermost_, most + 1, kQuickCount, &n);
        else
            n = cycles::unfolded_series(&outermost_, most + 1), decided_ = true;
        if (decided_ && n > most) {
            depth_--;
            fire(err::internal::no_memory);
        }
    }
    ~DeepCopying() { depth_--; }
    DeepCopying(const DeepCopying&) = delete;
    DeepCopying& operator=(const DeepCopying&) = delete;

private:
    static int depth_;
    static uint64_t made_;
    static bool decided_;  // the count was made: the copy fits
    static Cell outermost_;
};
uint64_t DeepCopying::made_ = 0;
bool DeepCopying::decided_ = false;
Cell DeepCopying::outermost_;
int DeepCopying::depth_ = 0;

// A value of a series type that a deep copy replaces by its own copy.
static bool deep_copied(uint8_t t) { return types::series(t); }

// The deep copy of one series cell of a fresh copy; block-like cells recurse under the cycle
// stack, hash! becoming block!.
static void deep_copy_cell(Cell* slot_value) {
    Cell c = *slot_value;
    collector::Root keep(&c);
    if (types::any_block(c.type())) {
        if (cycles::find_q(c.node())) fire(err::internal::no_cycle);
        DeepCopying copying(&c);
        cycles::push(c.node());
        Cell copy;
        set_cell(&copy, TYPE_NONE);
        collector::Root keep_copy(&copy);
        series::copy_core(&copy, &c, nullptr);
        if (copy.type() == TYPE_HASH) {
            copy.set_type(TYPE_BLOCK);
            copy.data3 = 0;
        }
        deep_copy_cells(&copy);
        cycles::pop();
        *slot_value = copy;
        return;
    }
    if (c.type() == TYPE_IMAGE) {
        const Cell* args[1] = {&c};
        Cell out;
        actions::call(&out, ACT_COPY, args, 1, nullptr);
        *slot_value = out;
        return;
    }
    series::copy_core(slot_value, &c, nullptr);
}

void deep_copy_cells(const Cell* copy) {
    Cell v = *copy;
    collector::Root keep(&v);
    Cell c;
    set_cell(&c, TYPE_NONE);
    collector::Root keep_cell(&c);
    for (int32_t i = head_of(&v); i < total_length(&v); i++) {
        c = *cell_at(&v, i);
        if (!deep_copied(c.type())) continue;
        deep_copy_cell(&c);
        if (i < total_length(&v)) {
            Cell* slot = cell_at(&v, i);
            uint32_t flags = slot->header & ~cell_flag::type_mask;
            *slot = c;
            slot->header = (slot->header & cell_flag::type_mask) | flags;
        }
    }
}

Node copy_deep(const Cell* v) {
    Cell src = *v;
    collector::Root keep_src(&src);
    DeepCopying copying(&src);
    Cell copy;
    make_at(&copy, copy_cells(&src));
    collector::Root keep(&copy);
    // A function made from the environment's code keeps it marked as such (see interpreter).
    memory::nodes[copy.node()]->flags |= memory::nodes[src.node()]->flags & series_flag::env_code;
    CycleGuard guard;
    if (cycles::find_q(src.node())) fire(err::internal::no_cycle);
    cycles::push(src.node());
    Cell c;
    set_cell(&c, TYPE_NONE);
    collector::Root keep_cell(&c);
    for (int32_t i = 0; i < total_length(&copy); i++) {
        c = *cell_at(&copy, i);
        if (!types::any_block(c.type())) continue;
        Node nested = copy_deep(&c);
        Cell* slot = cell_at(&copy, i);
        slot->data2 = nested;
        slot->data1 = 0;
        if (slot->type() == TYPE_HASH) slot->data3 = 0, slot->set_type(TYPE_BLOCK);
    }
    return copy.node();
}

// Recursive part of clone: nested cells of the chosen kinds are copied in place.
static void clone_nested(const Cell* copy, bool also_parens) {
    Cell v = *copy;
    collector::Root keep(&v);
    Cell c;
    set_cell(&c, TYPE_NONE);
    collector::Root keep_cell(&c);
    for (int32_t i = 0; i < total_length(&v); i++) {
        c = *cell_at(&v, i);
        uint8_t t = c.type();
        if (!(t == TYPE_BLOCK || (also_parens && (t == TYPE_PAREN || types::any_path(t))))) continue;
        if (cycles::find_q(c.node())) fire(err::internal::no_cycle);
        DeepCopying copying(&c);
        cycles::push(c.node());
        Cell nested;
        set_cell(&nested, TYPE_NONE);
        collector::Root keep_nested(&nested);
        make_at(&nested, copy_cells(&c));
        clone_nested(&nested, also_parens);
        cycles::pop();
        Cell* slot = cell_at(&v, i);
        slot->data1 = 0;
        slot->data2 = nested.node();
    }
}

Cell* clone(const Cell* value, bool deep, bool also_parens) {
    Cell src = *value;
    collector::Root keep(&src);
    Node node = copy_cells(&src);
    Cell* out = make_at(stack::push_cell(), node);
    if (deep) {
        DeepCopying copying(&src);
        CycleGuard guard;
        cycles::push(src.node());
        clone_nested(out, also_parens);
    }
    return out;
}

static bool kind_matches(const Cell* kind, uint8_t t) {
    if (kind->type() == TYPE_DATATYPE) return kind->data1 == t;
    return interpreter::typeset_has(kind, t);
}

static bool copied_by_type(uint8_t t) {
    return types::series(t) || t == TYPE_BITSET || t == TYPE_OBJECT || t == TYPE_ERROR || t == TYPE_MAP;
}

void copy_series_by_type(const Cell* value, int32_t from, int32_t count, int32_t step, const Cell* kind_in, bool deep) {
    Cell v = *value;
    collector::Root keep(&v);
    Cell kind = *kind_in;
    collector::Root keep_kind(&kind);
    Cell c;
    set_cell(&c, TYPE_NONE);
    collector::Root keep_cell(&c);
    if (step < 1) step = 1;
    int64_t end = int64_t(from) + count;
    for (int64_t i = from; i < end && i < total_length(&v); i += step) {
        c = *cell_at(&v, static_cast<int32_t>(i));
        uint8_t t = c.type();
        if (!kind_matches(&kind, t) || !copied_by_type(t)) continue;
        Cell copy;
        set_cell(&copy, TYPE_NONE);
        collector::Root keep_copy(&copy);
        if (types::any_block(t)) {
            std::optional<DeepCopying> copying;
            if (deep) {
                if (cycles::find_q(c.node())) fire(err::internal::no_cycle);
                copying.emplace(&c);
                cycles::push(c.node());
            }
            series::copy_core(&copy, &c, nullptr);
            if (copy.type() == TYPE_HASH) {
                if (deep) {
                    copy.set_type(TYPE_BLOCK);
                    copy.data3 = 0;
                } else {
                    copy.data3 = hashtable::init(rs_length_q(&copy), &copy, hashtable::kHash, 0);
                }
            }
            if (deep) {
                copy_series_by_type(&copy, 0, total_length(&copy), 1, &kind, true);
                cycles::pop();
            }
        } else if (types::any_string(t) || t == TYPE_BINARY || t == TYPE_VECTOR) {
            series::copy_core(&copy, &c, nullptr);
        } else {
            // A deep copy goes on inside maps and objects under the same type filter, so that
            // nothing the caller asked to copy stays shared (and a cycle is caught there).
            const Cell* args[2] = {&c, &kind};
            int32_t refs[3] = {-1, deep ? 0 : -1, deep ? 1 : -1};
            actions::call(&copy, ACT_COPY, args, deep ? 2 : 1, refs);
        }
        if (i < total_length(&v)) {
            Cell* slot = cell_at(&v, static_cast<int32_t>(i));
            uint32_t flags = slot->header & ~cell_flag::type_mask;
            *slot = copy;
            slot->header = (slot->header & cell_flag::type_mask) | flags;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Searching

static bool equality_op(int op) {
    return op == COMP_EQUAL || op == COMP_NOT_EQUAL || op == COMP_STRICT_EQUAL || op == COMP_STRICT_EQUAL_WORD ||
           op == COMP_FIND || op == COMP_EQUAL_FIND;
}

int32_t find_value(const Cell* series_in, const Cell* value_in, const FindOptions& o, FindMatch* match) {
    FindMatch unused;
    if (!match) match = &unused;
    Cell s = *series_in;
    collector::Root keep_series(&s);
    Cell v = *value_in;
    collector::Root keep_value(&v);
    match->length = 1;
    int32_t total = total_length(&s);
    int32_t head = s.index();
    if (total == 0 || (head >= total && !o.reverse)) return -1;
    if (head < 0) head = 0;
    int32_t step = 1;
    if (o.skip) {
        if (o.skip->type() != TYPE_INTEGER) series::bad_refine("skip", o.skip);
        step = o.skip->i1();
        if (step < 1) fire(err::script::out_of_range, o.skip);
    }
    bool has_limit = false;
    int64_t limit = 0;
    if (o.part) {
        if (o.part->type() == TYPE_INTEGER) {
            if (o.part->i1() < 1) return -1;
            limit = int64_t(head) + o.part->i1() - 1;
        } else if (o.part->type() == s.type() && o.part->node() == s.node()) {
            limit = o.part->index();
        } else {
            series::bad_refine("part", o.part);
        }
        if (limit >= total) limit = total - 1;
        has_limit = true;
    }
    int op = o.same ? COMP_SAME : (o.case_ ? COMP_STRICT_EQUAL : COMP_EQUAL_FIND);

    enum { SINGLE, TYPE_OF, TYPESET_OF, SEQUENCE } kind = SINGLE;
    int32_t seq_len = 1;
    uint8_t vt = v.type();
    if (!o.only) {
        if (vt == TYPE_DATATYPE)
            kind = TYPE_OF;
        else if (vt == TYPE_TYPESET)
            kind = TYPESET_OF;
        else if (types::any_block(vt) && rs_length_q(&v) > 0) {
            kind = SEQUENCE;
            seq_len = rs_length_q(&v);
        }
    }

    bool backward = o.last || o.reverse;
    if (s.type() == TYPE_HASH && s.data3 && !o.match && !(types::any_block(vt) && !(o.same && o.only)) &&
        !((vt == TYPE_DATATYPE || vt == TYPE_TYPESET) && !o.only) && !(vt == TYPE_OBJECT && !o.same)) {
        int32_t at = hashtable::find(s.data3, &v, head, step, op, o.last, o.reverse);
        if (at < 0 || (has_limit && at > limit)) return -1;
        match->tail = at + 1;
        return at;
    }
    match->length = seq_len;

    int64_t start, end;
    if (o.last) {
        start = has_limit ? limit : int64_t(total) - seq_len;
        end = 0;
    } else if (o.reverse) {
        start = has_limit ? limit : int64_t(head) - seq_len;
        end = 0;
        if (start < 0) return -1;
    } else {
        start = head;
        end = has_limit ? limit : int64_t(total) - 1;
    }
    if (backward && start > int64_t(total) - 1) start = int64_t(total) - 1;
    // Cells a sequence may extend over: up to the limit cell searching forward with /part, else to
    // the tail.
    int64_t bound = (!backward && has_limit) ? limit + 1 : total;

    Cell c, x;
    collector::Root keep_c(&c);
    collector::Root keep_x(&x);
    for (int64_t p = start; backward ? p >= end : p <= end; p += backward ? -step : step) {
        if (p < 0 || p >= total_length(&s)) {
            if (o.match) break;
            continue;
        }
        bool hit;
        c = *cell_at(&s, static_cast<int32_t>(p));
        switch (kind) {
            case TYPE_OF: hit = c.type() == v.data1; break;
            case TYPESET_OF: hit = interpreter::typeset_has(&v, c.type()); break;
            case SEQUENCE: {
                hit = true;
                int32_t vh = head_of(&v);
                for (int32_t j = 0; j < seq_len; j++) {
                    int64_t q = p + j;
                    if (q >= bound || q >= total_length(&s) || vh + j >= total_length(&v)) {
                        hit = false;
                        break;
                    }
                    c = *cell_at(&s, static_cast<int32_t>(q));
                    x = *cell_at(&v, vh + j);
                    if (!actions::compare(&c, &x, op)) {
                        hit = false;
                        break;
                    }
                }
                break;
            }
            default: hit = actions::compare(&c, &v, op); break;
        }
        if (hit) {
            int64_t after = kind == SEQUENCE ? p + seq_len : (backward ? p + 1 : p + step);
            int32_t now = total_length(&s);
            match->tail = static_cast<int32_t>(after > now ? now : after);
            return static_cast<int32_t>(p);
        }
        if (o.match) break;
    }
    return -1;
}

static FindOptions find_options(const Cell* args, const int32_t* refs, bool with_tail_match) {
    // find: /part /only /case /same /any /with /skip /last /reverse /tail /match
    // select: /part /only /case /same /any /with /skip /last /reverse
    FindOptions o;
    o.part = refs[0] >= 0 ? args + refs[0] : nullptr;
    o.only = refs[1] >= 0;
    o.case_ = refs[2] >= 0;
    o.same = refs[3] >= 0;
    o.skip = refs[6] >= 0 ? args + refs[6] : nullptr;
    o.last = refs[7] >= 0;
    o.reverse = refs[8] >= 0;
    if (with_tail_match) o.match = refs[10] >= 0;
    return o;
}

void find(const int32_t* refs) {
    Cell* args = stack::arguments;
    FindOptions o = find_options(args, refs, true);
    FindMatch m;
    int32_t at = find_value(args, args + 1, o, &m);
    if (at < 0)
        set_cell(args, TYPE_NONE);
    else
        args->set_index(refs[9] >= 0 ? m.tail : at);
    stack::keep();
}

void select(const int32_t* refs) {
    Cell* args = stack::arguments;
    FindOptions o = find_options(args, refs, false);
    FindMatch m;
    int32_t at = find_value(args, args + 1, o, &m);
    if (at < 0) {
        set_cell(args, TYPE_NONE);
    } else {
        uint8_t vt = args[1].type();
        // A sequence answers the cell after the whole sequence; an empty block value matched as
        // one cell answers the cell after it.
        int64_t after = int64_t(at) + 1;
        if (!o.only && (vt == TYPE_BLOCK || vt == TYPE_PAREN || types::any_path(vt))) after = int64_t(at) + m.length;
        if (after >= total_length(args))
            set_cell(args, TYPE_NONE);
        else
            *args = *cell_at(args, static_cast<int32_t>(after));
    }
    stack::keep();
}

// ---------------------------------------------------------------------------------------------
// Comparison

int compare(const Cell* a_in, const Cell* b_in, int op) {
    uint8_t ta = a_in->type(), tb = b_in->type();
    if (ta != tb) {
        bool paths = (ta == TYPE_PATH && tb == TYPE_LIT_PATH) || (ta == TYPE_LIT_PATH && tb == TYPE_PATH);
        if (!paths || (op != COMP_STRICT_EQUAL_WORD && op != COMP_FIND)) return -2;
    }
    if (a_in->node() == b_in->node() && a_in->index() == b_in->index()) return 0;
    if (op == COMP_SAME) return -1;
    if (cycles::find_q(a_in->node())) return cycles::find_q(b_in->node()) ? 0 : -1;
    int32_t la = rs_length_q(a_in), lb = rs_length_q(b_in);
    if (la != lb && equality_op(op)) return 1;
    if (la == 0 || lb == 0) return la == lb ? 0 : (la == 0 ? -1 : 1);
    Cell a = *a_in, b = *b_in;
    cycles::Comparing comparing;
    int known;
    if (comparing.known(a.node(), a.index(), b.node(), b.index(), op, &known)) return known;
    collector::Root keep_a(&a);
    collector::Root keep_b(&b);
    CycleGuard guard;
    cycles::push(a.node());
    cycles::push(b.node());
    Cell x, y;
    collector::Root keep_x(&x);
    collector::Root keep_y(&y);
    int32_t n = la < lb ? la : lb;
    int r = 0;
    for (int32_t i = 0; i < n && r == 0; i++) {
        if (head_of(&a) + i >= total_length(&a) || head_of(&b) + i >= total_length(&b)) break;
        x = *cell_at(&a, head_of(&a) + i);
        y = *cell_at(&b, head_of(&b) + i);
        uint8_t tx = x.type(), ty = y.type();
        if (tx != ty && !(types::any_word(tx) && types::any_word(ty)) && !(types::number(tx) && types::number(ty))) {
            r = tx < ty ? -1 : 1;
            break;
        }
        r = actions::compare_value(&x, &y, op);
    }
    if (r == 0 && la != lb) r = la < lb ? -1 : 1;
    comparing.note(a.node(), a.index(), b.node(), b.index(), op, r);
    return r;
}

// ---------------------------------------------------------------------------------------------
// make and to

// The body of an object! or a map! as a block!, through the type's reflect.
static Cell* body_of(Cell* out, const Cell* spec) {
    Cell field;
    word::load(&field, "body");
    collector::Root keep(&field);
    const Cell* args[2] = {spec, &field};
    actions::call(out, ACT_REFLECT, args, 2, nullptr);
    return out;
}

static Cell* vector_values(Cell* out, const Cell* spec) {
    Cell v = *spec;
    collector::Root keep(&v);
    int32_t n = series::get_length(&v, false);
    Node node = make_node(n);
    Cell result;
    make_at(&result, node);
    collector::Root keep_result(&result);
    Cell e;
    set_cell(&e, TYPE_NONE);
    collector::Root keep_e(&e);
    for (int32_t i = 0; i < n; i++) {
        series::element_at(&v, head_of(&v) + i, &e);
        append_cell(result.node(), &e);
    }
    *out = result;
    return out;
}

static Cell* shallow_copy(Cell* out, const Cell* spec, uint8_t type) {
    Node node = copy_cells(spec);
    return make_at(out, node, 0, type);
}

Cell* make(Cell* proto, Cell* spec, int type) {
    uint8_t t = static_cast<uint8_t>(type);
    uint8_t st = spec->type();
    if (types::any_block(st)) return shallow_copy(proto, spec, t);
    if (st == TYPE_INTEGER || st == TYPE_FLOAT) {
        int32_t n;
        if (st == TYPE_FLOAT) {
            double d = spec->f();
            if (!(d >= -2147483648.0 && d < 2147483648.0)) {
                Cell dt;
                datatype::make_at(&dt, type);
                fire(err::script::bad_make_arg, &dt, spec);
            }
            n = static_cast<int32_t>(d);
        } else {
            n = spec->i1();
        }
        return make_new(proto, n < 1 ? 1 : n, t);
    }
    if (st == TYPE_OBJECT || st == TYPE_MAP) {
        Cell s = *spec;
        collector::Root keep(&s);
        body_of(proto, &s);
        if (types::any_block(proto->type())) proto->set_type(TYPE_BLOCK);
        return proto;
    }
    if (st == TYPE_VECTOR) {
        vector_values(proto, spec);
        proto->set_type(t);
        return proto;
    }
    Cell dt;
    datatype::make_at(&dt, type);
    fire(err::script::bad_make_arg, &dt, spec);
}

Cell* to(Cell* proto, Cell* spec, int type) {
    uint8_t t = static_cast<uint8_t>(type);
    uint8_t st = spec->type();
    if (st == TYPE_OBJECT || st == TYPE_MAP) {
        Cell s = *spec;
        collector::Root keep(&s);
        body_of(proto, &s);
        if (types::any_block(proto->type())) proto->set_type(t);
        return proto;
    }
    if (st == TYPE_VECTOR) {
        vector_values(proto, spec);
        proto->set_type(t);
        return proto;
    }
    if (st == TYPE_TYPESET) {
        Cell ts = *spec;
        Node node = make_node(8);
        Cell result;
        make_at(&result, node, 0, t);
        collector::Root keep(&result);
        // The members are listed by their name words, as a type block writes them.
        for (int id = 1; id <= datatype::top_id && id < 96; id++) {
            if (!interpreter::typeset_has(&ts, id) || !datatype::names[id].name) continue;
            Cell w = datatype::names[id].word;
            append_cell(result.node(), &w);
        }
        *proto = result;
        return proto;
    }
    if (types::any_block(st)) return shallow_copy(proto, spec, t);
    if (st == TYPE_STRING) {
#ifdef KEL_BLOCK_HAS_LEXER
        lexer::Options options;
        lexer::scan_value(proto, spec, -1, options, nullptr);
        if (types::any_block(proto->type()))
            proto->set_type(t);
        else
            make_new(proto, 1, t);
        return proto;
#else
        fire(err::internal::not_done);
#endif
    }
    Cell value = *spec;
    collector::Root keep(&value);
    make_new(proto, 1, t);
    append_cell(proto->node(), &value);
    return proto;
}

// ---------------------------------------------------------------------------------------------
// form and mold

static uint32_t last_codepoint(Node buffer) {
    SeriesBuf* s = memory::nodes[buffer];
    if (s->tail <= s->head) return 0;
    uint32_t unit = s->unit();
    return string::get_char(s->at_tail() - unit, unit);
}

int form(const Cell* value, Node buffer, const Cell* part, int limit) {
    if (cycles::detect_q(value, buffer, &limit, false)) return limit;
    cycles::Writing writing(value, buffer, part);
    Cell v = *value;
    collector::Root keep(&v);
    CycleGuard guard;
    cycles::push(v.node());
    Cell c;
    set_cell(&c, TYPE_NONE);
    collector::Root keep_cell(&c);
    int32_t head = head_of(&v);
    for (int32_t i = head; i < total_length(&v); i++) {
        if (part && limit <= 0) break;
        c = *cell_at(&v, i);
        limit = actions::form(&c, buffer, part, limit);
        if (i + 1 < total_length(&v)) {
            uint32_t cp = last_codepoint(buffer);
            if (cp != '\t' && cp != '\n' && cp != '\r') {
                string::concatenate_literal_n(buffer, " ", 1);
                limit--;
            }
        }
    }
    return limit;
}

static int append_indent(Node buffer, int level, int limit) {
    string::concatenate_literal_n(buffer, "\n", 1);
    limit--;
    static const char spaces[] = "                                                                ";
    int64_t n = int64_t(level) * 4;
    while (n > 0) {
        int64_t k = n < 64 ? n : 64;
        string::concatenate_literal_n(buffer, spaces, static_cast<size_t>(k));
        n -= k;
    }
    return static_cast<int>(limit - int64_t(level) * 4);
}

int mold_each(const Cell* value, Node buffer, bool only, bool all, bool flat, const Cell* part, int limit, int indent) {
    Cell v = *value;
    collector::Root keep(&v);
    Cell c;
    set_cell(&c, TYPE_NONE);
    collector::Root keep_cell(&c);
    int level = indent;
    bool first_marked = false;
    int32_t head = head_of(&v);
    for (int32_t i = head; i < total_length(&v); i++) {
        if (part && limit <= 0) break;
        c = *cell_at(&v, i);
        bool first = i == head;
        if (!flat && (c.header & cell_flag::newline)) {
            if (first && !only) {
                level++;
                first_marked = true;
            }
            if (!(first && only)) limit = append_indent(buffer, level, limit);
        } else if (!first) {
            string::concatenate_literal_n(buffer, " ", 1);
            limit--;
        }
        limit = actions::mold(&c, buffer, false, all, flat, part, limit, level);
    }
    if (first_marked) limit = append_indent(buffer, level - 1, limit);
    return limit;
}

static int mold_series(const Cell* value, Node buffer, bool only, bool all, bool flat, const Cell* part, int limit,
                       int indent, const char* open, const char* close) {
    if (cycles::detect_q(value, buffer, &limit, true)) return limit;
    cycles::Writing writing(value, buffer, part);
    CycleGuard guard;
    cycles::push(value->node());
    if (!only) {
        string::concatenate_literal_n(buffer, open, 1);
        limit--;
    }
    limit = mold_each(value, buffer, only, all, flat, part, limit, indent);
    if (!only) {
        string::concatenate_literal_n(buffer, close, 1);
        limit--;
    }
    return limit;
}

int mold(const Cell* value, Node buffer, bool only, bool all, bool flat, const Cell* part, int limit, int indent) {
    return mold_series(value, buffer, only, all, flat, part, limit, indent, "[", "]");
}

// ---------------------------------------------------------------------------------------------
// Path access

Cell* eval_path(PathStep& step, Cell* out) {
    Cell parent = *step.value;
    collector::Root keep_parent(&parent);
    Cell element = *step.element;
    collector::Root keep_element(&element);
    if (element.type() == TYPE_INTEGER) {
        int32_t index = element.i1();
        int64_t p = index > 0 ? int64_t(parent.index()) + index - 1 : int64_t(parent.index()) + index;
        if (step.store) {
            if (index == 0) fire(err::script::out_of_range, &element);
            series::poke_at(&parent, p, &element, step.store);
            *out = *step.store;
            return out;
        }
        if (index == 0 || p < 0 || p >= total_length(&parent)) return set_cell(out, TYPE_NONE);
        *out = *cell_at(&parent, static_cast<int32_t>(p));
        return out;
    }
    if (step.store) {
        Cell value = *step.store;
        collector::Root keep_value(&value);
        FindOptions o;
        o.case_ = step.case_;
        int32_t at = find_value(&parent, &element, o);
        if (at < 0) {
            // Name the path and the missing key, as the message reads them.
            Cell where = step.path ? *step.path : parent;
            fire(err::script::bad_path_set, &where, &element);
        }
        int64_t p = int64_t(at) + 1;
        Cell index;
        set_cell(&index, TYPE_INTEGER, static_cast<uint32_t>(static_cast<int32_t>(p - head_of(&parent) + 1)));
        series::poke_at(&parent, p, &index, &value);
        *out = value;
        return out;
    }
    int32_t at = path_read_at(&parent, &element, step.case_);
    if (at < 0) return set_cell(out, TYPE_NONE);
    *out = *cell_at(&parent, at);
    return out;
}

int32_t path_read_at(const Cell* v, const Cell* element, bool case_) {
    if (element->type() == TYPE_WORD && v->type() != TYPE_HASH) return select_word_at(v, element, case_);
    FindOptions o;
    o.only = true;
    o.case_ = case_;
    int32_t at = find_value(v, element, o);
    return at < 0 || at + 1 >= total_length(v) ? -1 : at + 1;
}

// ---------------------------------------------------------------------------------------------
// append, insert and change

constexpr int64_t kMaxAddedCells = 0x8000000;

// The cells a value contributes: its cells from its head when it is block-like and /only is off,
// else the value itself.
struct Contribution {
    bool cells;     // from a block's buffer
    int32_t from;   // absolute index in that buffer
    int32_t count;  // number of cells
};

static Contribution contribution(const Cell* value, bool only) {
    if (!only && types::any_block(value->type())) return {true, head_of(value), rs_length_q(value)};
    return {false, 0, 1};
}

static int32_t dup_count(const Cell* args, const int32_t* refs) {
    if (refs[2] < 0) return 1;
    const Cell* dup = args + refs[2];
    if (dup->type() != TYPE_INTEGER) series::bad_refine("dup", dup);
    return dup->i1();
}

// Writes n cells at dest: the contributed cells repeated to fill them. The source cells are read
// from a separate copy when they lie in the target's own buffer.
static void fill_cells(Cell* dest, int64_t n, const Cell* src, int32_t count) {
    if (count <= 0) return;
    for (int64_t done = 0; done < n;) {
        int64_t k = n - done < count ? n - done : count;
        std::memcpy(dest + done, src, size_t(k) * sizeof(Cell));
        done += k;
    }
}

static void added_size_check(int64_t n, int64_t total) {
    if (n >= kMaxAddedCells || (total + n) * 16 > INT32_MAX) fire(err::internal::no_memory);
}

// Makes sure the buffer has room for `need` cells from its head; growth doubles when asked.
static void ensure_cells(const Cell* v, int64_t need, bool doubling) {
    SeriesBuf* s = buf_of(v);
    int64_t bytes = need * 16;
    if (int64_t(s->capacity) - s->head >= bytes) return;
    int64_t cap = doubling ? bytes * 2 : bytes;
    if (cap > 0x7FFFFFF0) cap = bytes;
    if (cap > 0x7FFFFFF0) fire(err::internal::no_memory);
    memory::expand_series(v->node(), static_cast<uint32_t>(cap));
}

// The arguments stay on the stack until the work is done: the value may be a block that nothing
// else holds, and the work allocates.
static void insert_or_append_work(const int32_t* refs, bool append_mode) {
    Cell* args = stack::arguments;
    Cell* target = args;
    Cell* value = args + 1;
    bool only = refs[1] >= 0;
    int32_t dup = dup_count(args, refs);
    // The value argument stays below the stack top until the end: the collector marks only the
    // cells below it, and a change handler pushes its own cells there.
    struct KeepResult {
        int unwinding = std::uncaught_exceptions();
        ~KeepResult() {
            if (std::uncaught_exceptions() == unwinding) stack::keep();
        }
    } keep_result;
    if (dup < 1) return;
    Contribution src = contribution(value, only);
    if (refs[0] >= 0) {
        int32_t limit = series::part_count(value, args + refs[0]);
        if (limit >= 0 && limit < src.count) src.count = limit;
    }
    if (src.count == 0) return;
    series::get_length(target, false);
    int64_t n = int64_t(src.count) * dup;
    int32_t total = total_length(target);
    added_size_check(n, total);
    int32_t head = head_of(target);
    series::notify(target, append_mode ? series::EV_APPEND : series::EV_INSERT, false, value,
                   append_mode ? total : head, static_cast<int32_t>(n));
    total = total_length(target);
    if (head > total) head = total;
    if (src.cells && src.from + src.count > total_length(value)) {
        src.count = total_length(value) > src.from ? total_length(value) - src.from : 0;
        if (src.count == 0) return;
        n = int64_t(src.count) * dup;
    }
    int32_t at = append_mode ? total : head;
    ensure_cells(target, total + n, dup <= 4);
    // No allocation from here on: buffer addresses stay valid.
    std::vector<Cell> own;
    const Cell* from;
    if (!src.cells) {
        from = value;
    } else if (value->node() == target->node()) {
        const Cell* c = cell_at(value, src.from);
        own.assign(c, c + src.count);
        from = own.data();
    } else {
        from = cell_at(value, src.from);
    }
    SeriesBuf* s = buf_of(target);
    Cell* base = cells_head(s);
    std::memmove(base + at + n, base + at, size_t(total - at) * sizeof(Cell));
    fill_cells(base + at, n, from, src.count);
    s->tail += static_cast<uint32_t>(n * 16);
    series::hash_inserted(target, at, static_cast<int32_t>(n), total);
    series::notify(target, append_mode ? series::EV_APPEND : series::EV_INSERT, true, value, at,
                   static_cast<int32_t>(n));
    if (append_mode) {
        target->set_index(0);
    } else {
        int64_t after = int64_t(at) + n;
        int32_t now = total_length(target);
        target->set_index(static_cast<int32_t>(after > now ? now : after));
    }
}

static void insert_or_append(const int32_t* refs, bool append_mode) {
    insert_or_append_work(refs, append_mode);
    stack::keep();
}

void append(const int32_t* refs) { insert_or_append(refs, true); }
void insert(const int32_t* refs) { insert_or_append(refs, false); }

static void change_work(const int32_t* refs) {
    Cell* args = stack::arguments;
    Cell* target = args;
    Cell* value = args + 1;
    bool only = refs[1] >= 0;
    int32_t dup = dup_count(args, refs);
    if (dup < 1) return;
    Contribution src = contribution(value, only);
    series::get_length(target, false);
    int32_t total = total_length(target);
    int32_t head = head_of(target);
    int64_t n = int64_t(src.count) * dup;
    added_size_check(n, total);
    int64_t replaced = refs[0] >= 0 ? series::part_count(target, args + refs[0]) : n;
    if (replaced < 0) replaced = 0;
    if (replaced > total - head) replaced = total - head;
    series::notify(target, series::EV_CHANGE, false, value, head, static_cast<int32_t>(replaced));
    total = total_length(target);
    if (head > total) head = total;
    if (replaced > total - head) replaced = total - head;
    if (src.cells && src.from + src.count > total_length(value)) {
        src.count = total_length(value) > src.from ? total_length(value) - src.from : 0;
        n = int64_t(src.count) * dup;
    }
    int64_t new_total = total - replaced + n;
    // Growth doubles, as for insert: a buffer grown to the exact size each time made a run of
    // growing changes (replace/all over a big block) copy the whole block on every step.
    if (n > replaced) ensure_cells(target, new_total, true);
    // The source cells are copied first when they lie in the target's own buffer, so that the
    // move below cannot shift or overwrite them.
    std::vector<Cell> own;
    const Cell* from = value;
    if (src.cells) {
        const Cell* c = cell_at(value, src.from);
        if (value->node() == target->node()) {
            own.assign(c, c + src.count);
            from = own.data();
        } else {
            from = c;
        }
    }
    SeriesBuf* s = buf_of(target);
    Cell* base = cells_head(s);
    std::memmove(base + head + n, base + head + replaced, size_t(total - head - replaced) * sizeof(Cell));
    fill_cells(base + head, n, from, src.count);
    s->tail = s->head + static_cast<uint32_t>(new_total * 16);
    series::hash_rebuild(target);
    series::notify(target, series::EV_CHANGE, true, value, head, static_cast<int32_t>(n));
    int64_t after = int64_t(head) + n;
    target->set_index(static_cast<int32_t>(after > new_total ? new_total : after));
}

// As insert and append: the arguments stay on the stack until the work is done.
void change(const int32_t* refs) {
    change_work(refs);
    stack::keep();
}

// ---------------------------------------------------------------------------------------------
// copy, take, put, swap, trim

void copy(const int32_t* refs) {
    Cell* args = stack::arguments;
    const Cell* part = refs[0] >= 0 ? args + refs[0] : nullptr;
    bool deep = refs[1] >= 0;
    const Cell* kind = refs[2] >= 0 ? args + refs[2] : nullptr;
    Cell src = *args;
    collector::Root keep(&src);
    series::copy_core(args, &src, part);
    if (src.type() == TYPE_HASH) {
        if (deep || kind) {
            args->set_type(TYPE_BLOCK);
            args->data3 = 0;
        } else {
            Node table = hashtable::init(rs_length_q(args), args, hashtable::kHash, 0);
            args->data3 = table;
        }
    }
    stack::keep();
    if (!deep && !kind) return;
    CycleGuard guard;
    if (deep) {
        if (cycles::find_q(src.node())) fire(err::internal::no_cycle);
        cycles::push(src.node());
    }
    std::optional<DeepCopying> copying;
    if (deep) copying.emplace(args);  // the shallow copy: its cells are what is copied deeply
    if (kind)
        copy_series_by_type(args, 0, total_length(args), 1, kind, deep);
    else
        deep_copy_cells(args);
}

// take/deep copies the taken cells as soon as they are out of the series, so that a copy that
// fails (a block that holds itself) puts them back instead of losing them.
static void take_deep_copy(Cell* taken, bool single) {
    CycleGuard guard;
    if (!single)
        deep_copy_cells(taken);
    else if (deep_copied(taken->type()))
        // The taken cell leaves the series, so the series itself is not on the cycle stack: it
        // is copied like any other block the taken value reaches.
        deep_copy_cell(taken);
}

void take(const int32_t* refs) {
    Cell* args = stack::arguments;
    const Cell* part = refs[0] >= 0 ? args + refs[0] : nullptr;
    bool deep = refs[1] >= 0;
    bool last = refs[2] >= 0;
    Cell src = *args;
    collector::Root keep(&src);
    series::take_core(args, part, last, args, deep ? take_deep_copy : nullptr);
    stack::keep();
    if (args->type() == TYPE_NONE) return;
    if (!part) {
        Cell scratch = *args;
        *args = *cell_at(&scratch, 0);
        // The scratch series lives for the run: left holding the cell, it would keep whatever
        // the taken value refers to from the collector until the next take.
        clear(scratch.node());
        return;
    }
    if (args->type() == TYPE_HASH) {
        Node table = hashtable::init(rs_length_q(args), args, hashtable::kHash, 0);
        args->data3 = table;
    }
}

void put(const int32_t* refs) {
    Cell* args = stack::arguments;
    Cell* target = args;
    Cell* key = args + 1;
    Cell* value = args + 2;
    FindOptions o;
    o.case_ = refs[0] >= 0;
    FindMatch m;
    int32_t at = find_value(target, key, o, &m);
    if (at < 0) {
        int32_t total = total_length(target);
        series::notify(target, series::EV_PUT, false, value, total, 2);
        // The owner's handler may have changed the block: the pair lands at its tail as it is now.
        total = total_length(target);
        append_cell(target->node(), key);
        append_cell(target->node(), value);
        series::hash_inserted(target, total, 2, total);
        series::notify(target, series::EV_PUT, true, value, total, 2);
    } else {
        int32_t after = at + m.length;
        series::notify(target, series::EV_PUT, false, value, after, 1);
        if (series::owned_q(target)) {
            // The owner's handler may have moved or removed the key: the value goes after the key
            // where it now is, never into the cell that took the key's old place.
            at = find_value(target, key, o, &m);
            if (at < 0) {
                int32_t total = total_length(target);
                append_cell(target->node(), key);
                append_cell(target->node(), value);
                series::hash_inserted(target, total, 2, total);
                series::notify(target, series::EV_PUT, true, value, total, 2);
                *args = *value;
                stack::keep();
                return;
            }
            after = at + m.length;
        }
        int32_t total = total_length(target);
        if (after < total) {
            Cell old = *cell_at(target, after);
            collector::Root keep_old(&old);
            if (!actions::compare(&old, value, COMP_EQUAL_FIND) && after < total_length(target)) {
                bool hashed = target->type() == TYPE_HASH && target->data3;
                if (hashed) hashtable::delete_(target->data3, after);
                *cell_at(target, after) = *value;
                if (hashed) hashtable::add_cell(target->data3, after);
            }
        } else {
            int32_t old_total = total;
            append_cell(target->node(), value);
            series::hash_inserted(target, old_total, 1, old_total);
        }
        series::notify(target, series::EV_PUT, true, value, after, 1);
    }
    *args = *value;
    stack::keep();
}

// A hash! forgets the key at a position before its cell changes and takes the new cell after: a
// table probe compares the cells its entries name, so no entry may name a cell that already holds
// something else.
static void unkey(const Cell* v, int32_t at) {
    if (v->type() == TYPE_HASH && v->data3) hashtable::delete_(v->data3, at);
}
static void rekey(const Cell* v, int32_t at) {
    if (v->type() == TYPE_HASH && v->data3) hashtable::add_cell(v->data3, at);
}

void swap(const int32_t*) {
    Cell* a = stack::arguments;
    Cell* b = a + 1;
    if (!types::any_block(b->type())) fire(err::script::invalid_arg, b);
    // Both arguments stay below the stack top until the end: an owner's handler pushes its own
    // cells above them.
    if (series::rs_tail_q(a) || series::rs_tail_q(b)) {
        stack::keep();
        return;
    }
    int32_t ia = head_of(a), ib = head_of(b);
    series::notify(a, series::EV_SWAP, false, b, ia, 1);
    series::notify(b, series::EV_SWAP, false, a, ib, 1);
    if (ia < total_length(a) && ib < total_length(b)) {
        unkey(a, ia);
        unkey(b, ib);
        Cell* ca = cell_at(a, ia);
        Cell* cb = cell_at(b, ib);
        Cell t = *ca;
        *ca = *cb;
        *cb = t;
        rekey(a, ia);
        rekey(b, ib);
    }
    series::notify(a, series::EV_SWAP, true, b, ia, 1);
    series::notify(b, series::EV_SWAP, true, a, ib, 1);
    stack::keep();
}

void trim(const int32_t*) {
    Cell* v = stack::arguments;
    stack::keep();
    int32_t head = head_of(v);
    int32_t total = total_length(v);
    if (head >= total) return;
    series::notify(v, series::EV_TRIM, false, nullptr, head, total - head);
    SeriesBuf* s = buf_of(v);
    total = static_cast<int32_t>(s->length());
    Cell* base = cells_head(s);
    int32_t w = head;
    for (int32_t r = head; r < total; r++)
        if (base[r].type() != TYPE_NONE) base[w++] = base[r];
    if (w < total) {
        s->tail = s->head + uint32_t(w) * 16;
        series::hash_rebuild(v);
    }
    series::notify(v, series::EV_TRIM, true, nullptr, head, total - w);
}

// ---------------------------------------------------------------------------------------------
// sort

// The records passed to a comparison function with /all: two blocks kept in the root block.
static int32_t sort_scratch[2];

static Node scratch_block(int k, int32_t cells) {
    int32_t& slot = sort_scratch[k];
    if (!slot || int64_t(memory::nodes[root::at(slot - 1)->node()]->capacity) < int64_t(cells) * 16) {
        Node n = make_node(cells);
        if (!slot) {
            Cell c;
            make_at(&c, n);
            slot = root::keep(&c) + 1;
        } else {
            root::at(slot - 1)->data2 = n;
        }
    }
    return root::at(slot - 1)->node();
}

// Returns the scratch blocks to one cell after a sort that needed very large records.
static void shrink_scratch() {
    for (int k = 0; k < 2; k++) {
        if (!sort_scratch[k]) continue;
        Node n = make_node(1);
        root::at(sort_scratch[k] - 1)->data2 = n;
    }
}

// Sorts with whole records passed to a function, running now (a comparison may sort too).
static int scratch_users = 0;

// Empties the scratch blocks once the last sort using them ends: the last records compared
// would otherwise stay reachable from the root block, with all they refer to, until the next
// such sort.
struct ScratchUse {
    bool on;
    explicit ScratchUse(bool used) : on(used) { scratch_users += on; }
    ~ScratchUse() {
        if (!on || --scratch_users > 0) return;
        for (int k = 0; k < 2; k++)
            if (sort_scratch[k]) clear(root::at(sort_scratch[k] - 1)->node());
    }
};

static int compare_cells(const Cell* pa, const Cell* pb, int op) {
    Cell a = *pa, b = *pb;
    collector::Root keep_a(&a);
    collector::Root keep_b(&b);
    int r = actions::compare_value(&a, &b, op);
    if (r == -2) r = static_cast<int>(a.type()) - static_cast<int>(b.type());
    return r;
}

// The default comparator: the compared cell of each record, or with whole records every cell
// in turn until one differs.
static int32_t sort_compare(const uint8_t* ra, const uint8_t* rb, intptr_t op, int32_t flags) {
    if (flags & 1) std::swap(ra, rb);
    const Cell* a = reinterpret_cast<const Cell*>(ra);
    const Cell* b = reinterpret_cast<const Cell*>(rb);
    if (flags & 2) {
        int32_t cells = flags >> 2;
        // A comparison may allocate and move the records: compare copies of them.
        Cell small[16];
        std::vector<Cell> heap;
        Cell* x = small;
        if (cells > 8) {
            heap.resize(size_t(cells) * 2);
            x = heap.data();
        }
        Cell* y = x + cells;
        std::memcpy(static_cast<void*>(x), a, size_t(cells) * sizeof(Cell));
        std::memcpy(static_cast<void*>(y), b, size_t(cells) * sizeof(Cell));
        for (int32_t i = 0; i < cells; i++) {
            int r = compare_cells(&x[i], &y[i], static_cast<int>(op));
            if (r != 0) return r;
        }
        return 0;
    }
    int32_t at = flags >> 2;
    return compare_cells(a + at, b + at, static_cast<int>(op));
}

// A comparison function's answer as an order: the function sees the second record first.
static int32_t sort_result(const Cell* r) {
    switch (r->type()) {
        case TYPE_LOGIC: return r->data1 ? 1 : -1;
        case TYPE_INTEGER: return r->i1();
        case TYPE_FLOAT: {
            double d = r->f();
            return d > 0 ? 1 : (d < 0 ? -1 : 0);
        }
        case TYPE_NONE: return -1;
        default: return 1;
    }
}

// What the comparison-function callback needs, handed over as the sort's operator value.
struct SortCall {
    uint32_t fn_index;  // data-stack index of the function! cell
    Node node;          // the sorted block's buffer
    uint32_t end;       // byte offset past the last sorted record
};

static int32_t sort_call(const uint8_t* ra, const uint8_t* rb, intptr_t op, int32_t flags) {
    const auto* cx = reinterpret_cast<const SortCall*>(op);
    const Cell* first = reinterpret_cast<const Cell*>(rb);
    const Cell* second = reinterpret_cast<const Cell*>(ra);
    if (flags & 1) std::swap(first, second);
    Cell* base = stack::top;
    // Both hold none until filled: the collector marks them if making a scratch block collects.
    Cell* x = set_cell(stack::push_cell(), TYPE_NONE);
    Cell* y = set_cell(stack::push_cell(), TYPE_NONE);
    if (flags & 2) {
        int32_t cells = flags >> 2;
        // The scratch blocks were sized before the sort began, but a sort run by the function
        // may have made them small again: growing them may move the sorted block, so records
        // in it are found again by their offsets (those in the stable sort's own area stay).
        const uint8_t* from[2] = {reinterpret_cast<const uint8_t*>(first), reinterpret_cast<const uint8_t*>(second)};
        SeriesBuf* sorted = memory::nodes[cx->node];
        size_t offsets[2];
        bool inside[2];
        for (int k = 0; k < 2; k++) {
            inside[k] = from[k] >= sorted->data() && from[k] < sorted->data() + sorted->capacity;
            offsets[k] = inside[k] ? size_t(from[k] - sorted->data()) : 0;
        }
        Node scratch[2] = {scratch_block(0, cells), scratch_block(1, cells)};
        sorted = memory::nodes[cx->node];
        const Cell* records[2];
        for (int k = 0; k < 2; k++)
            records[k] = reinterpret_cast<const Cell*>(inside[k] ? sorted->data() + offsets[k] : from[k]);
        Cell copies[2];
        for (int k = 0; k < 2; k++) {
            Node n = scratch[k];
            SeriesBuf* s = memory::nodes[n];
            s->head = 0;
            std::memcpy(static_cast<void*>(s->data()), records[k], size_t(cells) * sizeof(Cell));
            s->tail = uint32_t(cells) * 16;
            make_at(&copies[k], n);
        }
        *x = copies[0];
        *y = copies[1];
    } else {
        int32_t at = flags >> 2;
        *x = first[at];
        *y = second[at];
    }
    const Cell* args[2] = {x, y};
    Cell result;
    interpreter::call_with(&result, stack::at_index(cx->fn_index), args, 2);
    stack::top = base;
    // A function that cut the block short has left records past its tail, whose series nothing
    // keeps from the collector: the sort must not hand them to the function.
    if (memory::nodes[cx->node]->tail < cx->end) fire(err::script::past_end);
    return sort_result(&result);
}

void sort(const int32_t* refs) {
    Cell* v = stack::arguments;
    bool case_ = refs[0] >= 0;
    const Cell* skip_arg = refs[1] >= 0 ? v + refs[1] : nullptr;
    const Cell* comparator = refs[2] >= 0 ? v + refs[2] : nullptr;
    const Cell* part = refs[3] >= 0 ? v + refs[3] : nullptr;
    bool all = refs[4] >= 0;
    bool reverse = refs[5] >= 0;
    bool stable = refs[6] >= 0;
    int32_t length = series::get_length(v, false);
    int32_t head = head_of(v);
    int32_t n = part ? series::part_count(v, part) : 0;
    // Nothing from the head leaves nothing to sort, unless a negative /part reaches back before
    // it (sorting the last cells from the tail).
    if (length == 0 && n >= 0) {
        stack::keep();
        return;
    }
    if (part) {
        if (n == 0) {
            stack::keep();
            return;
        }
        if (n < 0) {
            int64_t from = int64_t(head) + n;
            if (from < 0) {
                v->set_index(0);
                stack::keep();
                return;
            }
            head = static_cast<int32_t>(from);
            v->set_index(head);
            length = -n;
        } else if (n < length) {
            length = n;
        }
    }
    int32_t step = 1;
    if (skip_arg) {
        if (skip_arg->type() != TYPE_INTEGER) series::bad_refine("skip", skip_arg);
        step = skip_arg->i1();
        if (step < 1 || step > length || length % step != 0) series::bad_refine("skip", skip_arg);
    }
    if (all && !skip_arg) fire(err::script::bad_refines);
    int op = case_ ? COMP_CASE_SORT : COMP_SORT;
    int32_t flags = reverse ? 1 : 0;
    sort::Compare cmp = sort_compare;
    intptr_t pass = op;
    if (comparator) {
        if (comparator->type() == TYPE_INTEGER) {
            if (!skip_arg || all) fire(err::script::bad_refines);
            int32_t k = comparator->i1();
            if (k < 1 || k > step) fire(err::script::out_of_range, comparator);
            flags |= (k - 1) << 2;
        } else if (comparator->type() == TYPE_FUNCTION) {
            cmp = sort_call;
            if (all) {
                flags |= 2 | (step << 2);
                scratch_block(0, step);
                scratch_block(1, step);
            }
        } else {
            series::bad_refine("compare", comparator);
        }
    } else if (all) {
        flags |= 2 | (step << 2);
    }
    series::notify(v, series::EV_SORT, false, nullptr, head, length);
    int32_t total = total_length(v);
    if (head + length > total) length = total > head ? total - head : 0;
    length -= length % step;
    uint32_t count = uint32_t(length / step);
    uint32_t width = uint32_t(step) * 16;
    uint32_t offset = buf_of(v)->head + uint32_t(head) * 16;
    SortCall call{0, v->node(), offset + count * width};
    if (cmp == sort_call) {
        call.fn_index = stack::index_of(comparator);
        pass = reinterpret_cast<intptr_t>(&call);
    }
    Cell sorted = *v;
    collector::Root keep_sorted(&sorted);
    ScratchUse scratch_use(cmp == sort_call && all);
    try {
        if (stable)
            sort::stable(v->node(), offset, count, width, pass, flags, cmp, true);
        else
            sort::qsort(v->node(), offset, count, width, pass, flags, cmp);
    } catch (const Throw&) {
        // A comparison function that failed or left has had some records moved: a hash! indexes
        // them anew, or its table would point at cells that hold other values now.
        memory::AfterError repair;
        series::hash_rebuild(&sorted);
        throw;
    }
    if (cmp == sort_call && all && width > 0x1FFFFF) shrink_scratch();
    series::hash_rebuild(v);
    series::notify(v, series::EV_SORT, true, nullptr, head, length);
    stack::keep();
}

// ---------------------------------------------------------------------------------------------
// Set operations

// Membership of a key in a set: through its table (a hash! set's own, or a temporary one), or for a
// block-like key with find/only. Either way only the records' first cells are keys: a key equal to
// another record's second cell is not in the set.
static bool member_q(const Cell* set, Node table, const Cell* key, int32_t step, bool case_) {
    if (types::any_block(key->type())) {
        Cell size;
        set_cell(&size, TYPE_INTEGER, static_cast<uint32_t>(step));
        FindOptions o;
        o.only = true;
        o.skip = &size;
        return find_value(set, key, o) >= 0;
    }
    return hashtable::contains(table, key, head_of(set), step, case_ ? COMP_STRICT_EQUAL : COMP_EQUAL);
}

void do_set_op(bool case_, const Cell* skip, int op) {
    Cell* args = stack::arguments;
    Cell* a = args;
    Cell* b = args + 1;
    int32_t step = 1;
    if (skip) {
        if (skip->type() != TYPE_INTEGER || skip->i1() < 1) series::bad_refine("skip", skip);
        step = skip->i1();
    }
    series::get_length(a, false);
    if (op != OP_UNIQUE) series::get_length(b, false);
    int64_t room = rs_length_q(a) + (op == OP_UNION ? rs_length_q(b) : 0);
    if (room < 1) room = 1;
    if (room > INT32_MAX / 16) fire(err::internal::no_memory);
    // A table made over a new block: the result's cells go to that block.
    Node table = hashtable::init(static_cast<int32_t>(room), nullptr, hashtable::kHash, 0);
    Cell* result = set_cell(stack::push_cell(), TYPE_HASH, 0, hashtable::block_of(table), table);
    Cell* tables = stack::push_cell();  // temporary table of the other set, kept reachable
    set_cell(tables, TYPE_NONE);
    int passes = (op == OP_UNION || op == OP_DIFFERENCE) ? 2 : 1;
    bool test = op == OP_INTERSECT || op == OP_EXCLUDE || op == OP_DIFFERENCE;
    Cell key;
    set_cell(&key, TYPE_NONE);
    collector::Root keep_key(&key);
    // The result's records begin at 0 and, when the first pass ended on a short record, again
    // where the second pass began appending: a key is looked up at those record starts only.
    int32_t second = -1;
    auto held = [&](const Cell* k) {
        if (types::any_block(k->type())) {
            Cell size, part;
            set_cell(&size, TYPE_INTEGER, static_cast<uint32_t>(step));
            FindOptions o;
            o.only = true;
            o.skip = &size;
            if (second < 0) return find_value(result, k, o) >= 0;
            set_cell(&part, TYPE_INTEGER, static_cast<uint32_t>(second));
            o.part = &part;
            if (find_value(result, k, o) >= 0) return true;
            Cell rest = *result;
            rest.set_index(second);
            o.part = nullptr;
            return find_value(&rest, k, o) >= 0;
        }
        int mode = case_ ? COMP_STRICT_EQUAL : COMP_EQUAL;
        int32_t at = hashtable::find(result->data3, k, 0, step, mode, false, false);
        if (at >= 0 && (second < 0 || at < second)) return true;
        return second >= 0 && hashtable::find(result->data3, k, second, step, mode, false, false) >= 0;
    };
    for (int pass = 0; pass < passes; pass++) {
        if (pass == 1 && total_length(result) % step != 0) second = total_length(result);
        Cell* walked = pass == 0 ? a : b;
        Cell* other = pass == 0 ? b : a;
        Node other_table = 0;
        if (test) {
            if (other->type() == TYPE_HASH && other->data3) {
                other_table = other->data3;
            } else {
                *tables = *other;
                tables->set_type(TYPE_BLOCK);
                Node t = hashtable::init(rs_length_q(tables), tables, hashtable::kHash, 0);
                tables->set_type(TYPE_HASH);
                tables->data3 = t;
                other_table = t;
            }
        }
        for (int64_t i = head_of(walked); i < total_length(walked); i += step) {
            key = *cell_at(walked, static_cast<int32_t>(i));
            if (test) {
                bool present = member_q(other, other_table, &key, step, case_);
                if (op == OP_INTERSECT ? !present : present) continue;
            }
            if (held(&key)) continue;
            int32_t record = step;
            if (i + record > total_length(walked)) record = static_cast<int32_t>(total_length(walked) - i);
            for (int32_t k = 0; k < record; k++) {
                Cell c = *cell_at(walked, static_cast<int32_t>(i + k));
                int32_t at = total_length(result);
                append_cell(result->node(), &c);
                if (k == 0) hashtable::add_cell(result->data3, at);
            }
        }
        set_cell(tables, TYPE_NONE);
    }
    bool keep_hash = a->type() == TYPE_HASH || (op != OP_UNIQUE && b->type() == TYPE_HASH);
    if (!keep_hash) {
        result->set_type(TYPE_BLOCK);
        result->data3 = 0;
    } else if (step > 1) {
        // Only the records' keys went into the table while it was built; a hash! must find its
        // other cells too.
        series::hash_rebuild(result);
    }
    *args = *result;
    stack::keep();
}

// ---------------------------------------------------------------------------------------------

void init() {
    datatype::Row row;
    row.set(ACT_MAKE, make)
        .set(ACT_TO, to)
        .set(ACT_FORM, form)
        .set(ACT_MOLD, mold)
        .set(ACT_EVAL_PATH, eval_path)
        .set(ACT_COMPARE, compare)
        .set(ACT_APPEND, append)
        .set(ACT_CHANGE, change)
        .set(ACT_COPY, copy)
        .set(ACT_FIND, find)
        .set(ACT_INSERT, insert)
        .set(ACT_PUT, put)
        .set(ACT_SELECT, select)
        .set(ACT_SORT, sort)
        .set(ACT_SWAP, swap)
        .set(ACT_TAKE, take)
        .set(ACT_TRIM, trim)
        .inherit({ACT_RANDOM, ACT_REFLECT, ACT_AT, ACT_BACK, ACT_CLEAR, ACT_HEAD, ACT_HEAD_Q, ACT_INDEX_Q, ACT_LENGTH_Q,
                  ACT_MOVE, ACT_NEXT, ACT_PICK, ACT_POKE, ACT_REMOVE, ACT_REVERSE, ACT_SKIP, ACT_TAIL, ACT_TAIL_Q,
                  ACT_MODIFY});
    datatype::register_row(TYPE_BLOCK, TYPE_SERIES, "block!", row);
}

}  // namespace block

namespace paren {

int mold(const Cell* value, Node buffer, bool only, bool all, bool flat, const Cell* part, int limit, int indent) {
    return block::mold_series(value, buffer, only, all, flat, part, limit, indent, "(", ")");
}

Cell* push(const Cell* value) {
    Cell* c = stack::push(value);
    c->set_type(TYPE_PAREN);
    return c;
}

void init() {
    datatype::Row row;
    row.set(ACT_MOLD, mold);
    for (int a = 1; a <= kActionCount; a++)
        if (a != ACT_MOLD && a != ACT_TRIM && a != ACT_SET_PATH) row.inherit({a});
    datatype::register_row(TYPE_PAREN, TYPE_BLOCK, "paren!", row);
}

}  // namespace paren
