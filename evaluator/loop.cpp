#include "evaluator/loop.h"

#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/series.h"
#include "datatypes/word.h"
#include "evaluator/actions.h"
#include "runtime/collector.h"
#include "runtime/fire.h"
#include "runtime/stack.h"

namespace loop {

static inline bool cell_series(uint8_t t) { return types::any_block(t) || t == TYPE_MAP; }
static inline int32_t head_index(const Cell* c) { return c->index() > 0 ? c->index() : 0; }
static inline int32_t total(const Cell* c) { return static_cast<int32_t>(memory::nodes[c->node()]->length()); }

// Series whose elements series::element_at reads directly.
static inline bool unit_series(uint8_t t) { return types::any_string(t) || t == TYPE_BINARY || t == TYPE_VECTOR; }

bool cursor_valid_q(const Cell* cursor) {
    uint8_t t = cursor->type();
    if (!types::series(t) && t != TYPE_MAP) return false;
    return head_index(cursor) < total(cursor);
}

// A map's text or binary key goes out as a copy, so that changing it cannot change the key
// under the map's table.
static void copy_text_key(Cell* key) {
    uint8_t t = key->type();
    if (!types::any_string(t) && t != TYPE_BINARY) return;
    Cell shared = *key;
    collector::Root keep(&shared);
    series::copy_core(key, &shared, nullptr);
    key->header = (key->header & ~cell_flag::newline) | (shared.header & cell_flag::newline);
}

Cell* pick_at(const Cell* series, int32_t i, Cell* out) {
    uint8_t t = series->type();
    int64_t at = int64_t(head_index(series)) + i - 1;
    if (cell_series(t)) {
        if (at < 0 || at >= total(series)) return set_cell(out, TYPE_NONE);
        *out = *block::rs_abs_at(series, static_cast<int32_t>(at));
        if (t == TYPE_MAP) {
            // A removed map entry leaves a cleared cell behind: it holds nothing.
            if (out->header == 0) {
                set_cell(out, TYPE_NONE);
            } else if ((at & 1) == 0) {
                copy_text_key(out);
            }
        }
        return out;
    }
    if (unit_series(t)) {
        if (at < 0 || at >= total(series)) return set_cell(out, TYPE_NONE);
        return series::element_at(series, static_cast<int32_t>(at), out);
    }
    Cell index;
    set_cell(&index, TYPE_INTEGER, static_cast<uint32_t>(i));
    const Cell* args[2] = {series, &index};
    actions::call(out, ACT_PICK, args, 2, nullptr);
    return out;
}

// Words of a loop word block are set through a plain word! copy of each element.
static void set_word(const Cell* element, const Cell* value) {
    Cell w = *element;
    w.header = TYPE_WORD;
    word::set_value(&w, value);
}

bool foreach_next() {
    Cell* cursor = stack::arguments - 2;
    if (!cursor_valid_q(cursor)) return false;
    Cell value;
    set_cell(&value, TYPE_NONE);
    collector::Root keep(&value);
    pick_at(cursor, 1, &value);
    // The cursor moves on first: setting the word may run an on-change* handler whose continue
    // goes on with the next step, which must not take this one again.
    cursor->set_index(head_index(cursor) + 1);
    set_word(stack::arguments - 1, &value);
    return true;
}

// The next live entry of a map cursor: removed entries (a value cell whose header is 0) are
// skipped. Answers false at the tail.
static bool map_step(Cell* cursor, const Cell* words) {
    int32_t at = head_index(cursor);
    int32_t n = total(cursor);
    while (at + 1 < n && block::rs_abs_at(cursor, at + 1)->header == 0) at += 2;
    if (at + 1 >= n) {
        cursor->set_index(n);
        return false;
    }
    Cell key = *block::rs_abs_at(cursor, at);
    Cell value = *block::rs_abs_at(cursor, at + 1);
    if (key.type() == TYPE_SET_WORD) key.header = TYPE_WORD;
    collector::Root keep_key(&key), keep_value(&value);
    copy_text_key(&key);
    // The body may have cut the word block since the loop counted its words.
    if (block::rs_length_q(words) < 2) fire(err::script::invalid_arg, words);
    Cell w0 = *block::rs_head(words), w1 = block::rs_head(words)[1];
    collector::Root keep_w0(&w0), keep_w1(&w1);
    for (const Cell* w : {&w0, &w1})
        if (!types::word_like(w->type()) || w->type() == TYPE_REFINEMENT) fire(err::script::invalid_arg, w);
    // On before the words are set, as in foreach_next.
    cursor->set_index(at + 2);
    set_word(&w0, &key);
    set_word(&w1, &value);
    return true;
}

bool set_words(int32_t n) {
    Cell* cursor = stack::arguments - 2;
    const Cell* words = stack::arguments - 1;
    if (n <= 0 || !cursor_valid_q(cursor)) return false;
    uint8_t t = cursor->type();
    if (t == TYPE_MAP) {
        if (n != 2) fire(err::script::invalid_arg, words);
        return map_step(cursor, words);
    }
    // The body may have cut the word block since the loop counted its words: setting fewer words
    // than the loop steps over would leave the rest holding stale values.
    if (words->type() == TYPE_BLOCK && block::rs_length_q(words) < n) fire(err::script::invalid_arg, words);
    // The words are set from a copy of this step's position, with the cursor already on at the
    // next one, as in foreach_next.
    Cell from = *cursor;
    collector::Root keep(&from);
    int64_t next = int64_t(head_index(cursor)) + n;
    cursor->set_index(next > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int32_t>(next));
    if (types::any_block(t))
        assign_words(words, &from, n, false, false, false);
    else
        set_words_by_pick(words, &from, n);
    return true;
}

void remove_each_next(int32_t n) {
    const Cell* value = stack::top - 1;
    uint8_t t = value->type();
    bool truthy = !(t == TYPE_NONE || (t == TYPE_LOGIC && value->data1 == 0));
    if (!truthy || n <= 0) return;
    Cell* cursor = stack::arguments - 2;
    int32_t at = head_index(cursor) - n;
    if (at < 0) at = 0;
    cursor->set_index(at);
    Cell target = *cursor;
    collector::Root keep(&target);
    Cell out;
    set_cell(&out, TYPE_NONE);
    collector::Root keep_out(&out);
    if (n == 1) {
        const Cell* args[1] = {&target};
        actions::call(&out, ACT_REMOVE, args, 1, nullptr);
    } else {
        Cell part;
        set_cell(&part, TYPE_INTEGER, static_cast<uint32_t>(n));
        const Cell* args[2] = {&target, &part};
        int32_t refs[2] = {1, -1};
        actions::call(&out, ACT_REMOVE, args, 2, refs);
    }
}

void remove_each_init() {
    const Cell* words = stack::arguments - 1;
    int32_t n = words->type() == TYPE_BLOCK ? block::rs_length_q(words) : 1;
    set_cell(stack::arguments - 3, TYPE_INTEGER, static_cast<uint32_t>(n));
}

static bool at_end(const Cell* v) { return !cursor_valid_q(v); }

bool forall_next(bool advance) {
    Cell* v = word::peek(stack::arguments - 1);
    if (!v) return true;
    if (advance) v->set_index(head_index(v) + 1);
    return at_end(v);
}

void forall_end() {
    Cell w = stack::arguments[-1];
    Cell saved = stack::arguments[-2];
    collector::Root keep_w(&w), keep_saved(&saved);
    word::set_value(&w, &saved);
}

void count_to_int(Cell* c) {
    if (c->type() != TYPE_FLOAT) return;
    double x = c->f();
    // A count far below zero runs nothing, like any count below 1; only NaN and a count too large
    // to hold have no answer.
    if (x <= -2147483649.0) x = -2147483648.0;
    if (!(x > -2147483649.0 && x < 2147483648.0)) {
        Cell v = *c;
        fire(err::script::out_of_range, &v);
    }
    set_cell(c, TYPE_INTEGER, static_cast<uint32_t>(static_cast<int32_t>(x)));
}

void assign_words(const Cell* words_in, const Cell* source_in, int32_t n, bool any, bool only, bool some) {
    Cell words = *words_in, source = *source_in;
    collector::Root keep_words(&words), keep_source(&source);
    bool spread = !only && (types::any_block(source.type()) || source.type() == TYPE_MAP);
    int32_t count = block::rs_length_q(&words);
    if (n > count) n = count;
    // The values are gathered first, so that setting a word that is also the source changes
    // nothing. A few go on the data stack; a long word block's go into a block of their own,
    // as they would overflow the stack.
    Cell* base = stack::top;
    Cell* held = n > 256 ? block::push_new(n) : nullptr;
    Cell slot;
    set_cell(&slot, TYPE_NONE);
    collector::Root keep_slot(&slot);
    auto gather = [&]() {
        if (held) block::append_cell(held->node(), &slot);
        else stack::push(&slot);
    };
    auto value_at = [&](int32_t i) -> const Cell* { return held ? block::node_cell(held->node(), i) : base + i; };
    if (spread && source.type() == TYPE_MAP) {
        // A removed entry stays in the map's block as a hole: skip it whole, key and value, so
        // that the words take the live entries in order, as every other view of the map shows.
        int32_t at = head_index(&source);
        for (int32_t i = 0; i < n; i++) {
            set_cell(&slot, TYPE_NONE);
            int32_t end = total(&source);
            while ((at & 1) == 0 && at + 1 < end && block::rs_abs_at(&source, at + 1)->header == 0) at += 2;
            if (at < end) pick_at(&source, at - head_index(&source) + 1, &slot);
            at++;
            gather();
        }
    } else {
        for (int32_t i = 1; i <= n; i++) {
            set_cell(&slot, TYPE_NONE);
            if (spread)
                pick_at(&source, i, &slot);
            else
                slot = source;
            gather();
        }
    }
    for (int32_t i = 0; i < n; i++) {
        Cell w = block::rs_head(&words)[i];
        uint8_t t = w.type();
        if (t != TYPE_WORD && t != TYPE_SET_WORD && t != TYPE_GET_WORD && t != TYPE_LIT_WORD)
            fire(err::script::invalid_arg, &w);
        if (!any && value_at(i)->type() == TYPE_UNSET) fire(err::script::need_value, &w);
    }
    for (int32_t i = 0; i < n; i++) {
        Cell v = *value_at(i);
        if (some && v.type() == TYPE_NONE) continue;
        // Setting a word may run an on-change* handler that cuts the word block: never read
        // past its tail.
        if (i >= block::rs_length_q(&words)) fire(err::script::invalid_arg, &words);
        Cell w = block::rs_head(&words)[i];
        uint8_t t = w.type();
        if (t != TYPE_WORD && t != TYPE_SET_WORD && t != TYPE_GET_WORD && t != TYPE_LIT_WORD)
            fire(err::script::invalid_arg, &w);
        collector::Root keep_v(&v);
        set_word(&w, &v);
    }
    stack::top = base;
}

void set_words_by_pick(const Cell* words_in, const Cell* source_in, int32_t n) {
    Cell words = *words_in, source = *source_in;
    collector::Root keep_words(&words), keep_source(&source);
    int32_t count = block::rs_length_q(&words);
    if (n > count) n = count;
    for (int32_t i = 1; i <= n; i++) {
        Cell value;
        set_cell(&value, TYPE_NONE);
        collector::Root keep(&value);
        pick_at(&source, i, &value);
        // An on-change* handler run by the previous word may have cut the word block.
        if (i > block::rs_length_q(&words)) fire(err::script::invalid_arg, &words);
        Cell w = block::rs_head(&words)[i - 1];
        if (!types::word_like(w.type()) || w.type() == TYPE_REFINEMENT) fire(err::script::invalid_arg, &w);
        set_word(&w, &value);
    }
}

}  // namespace loop
