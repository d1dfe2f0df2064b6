#include "evaluator/parse.h"

#include <climits>
#include <cstring>
#include <string>

#include "datatypes/bitset.h"
#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/datatype.h"
#include "datatypes/function.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "evaluator/actions.h"
#include "evaluator/interpreter.h"
#include "evaluator/natives.h"
#include "runtime/case_folding.h"
#include "runtime/collector.h"
#include "runtime/fire.h"
#include "runtime/root.h"
#include "runtime/runtime.h"
#include "runtime/stack.h"

// Datatype rules on binary! input scan the next token with the lexer, a module of its own.
#if __has_include("loading/lexer.h")
#include "loading/lexer.h"
#define KEL_PARSE_HAS_LEXER 1
#endif

namespace parse {

namespace {

// ---- Keywords and event words ----

enum Keyword : uint8_t {
    KW_NONE_ = 0,
    KW_ANY,
    KW_BREAK,
    KW_COPY,
    KW_END,
    KW_FAIL,
    KW_INTO,
    KW_OPT,
    KW_NOT,
    KW_QUOTE,
    KW_CASE,
    KW_REJECT,
    KW_SET,
    KW_SKIP,
    KW_SOME,
    KW_THRU,
    KW_TO,
    KW_NONE,
    KW_BAR,
    KW_IF,
    KW_REMOVE,
    KW_WHILE,
    KW_INSERT,
    KW_COLLECT,
    KW_KEEP,
    KW_AHEAD,
    KW_CHANGE,
    // Modifiers: keywords only right after the keyword they modify.
    KW_ONLY,
    KW_PICK,
    KW_AFTER,
    KW_COUNT
};
constexpr Keyword kFirstModifier = KW_ONLY;

const char* const kKeywordText[KW_COUNT] = {
    "",       "any",  "break",  "copy",   "end",     "fail", "into",  "opt",  "not",  "quote",
    "case",   "reject", "set",  "skip",   "some",    "thru", "to",    "none", "|",    "if",
    "remove", "while", "insert", "collect", "keep",  "ahead", "change", "only", "pick", "after",
};

int32_t keyword_symbols[KW_COUNT];
// Resolved symbol id -> keyword; ids past the end are no keyword.
uint8_t* keyword_map = nullptr;
int32_t keyword_map_size = 0;

enum EventId { E_PUSH, E_POP, E_FETCH, E_MATCH, E_ITERATE, E_PAREN, E_END, E_COUNT };
const char* const kEventText[E_COUNT] = {"push", "pop", "fetch", "match", "iterate", "paren", "end"};
// Root-block slots of the event word cells (bound in the global context) and of the two stacks.
int32_t event_slots[E_COUNT];
int32_t callback_symbol = 0;
int32_t rules_slot = -1;
int32_t series_slot = -1;

// The heads of the running call's level on the two stacks.
int32_t rules_base = 0;
int32_t series_base = 0;

inline Keyword keyword_of(const Cell* w) {
    int32_t s = symbol::resolve(static_cast<int32_t>(w->data2));
    return s > 0 && s < keyword_map_size ? static_cast<Keyword>(keyword_map[s]) : KW_NONE_;
}
// A keyword word as an error argument.
Cell keyword_word(Keyword k) {
    Cell w;
    word::make_global(&w, keyword_symbols[k]);
    return w;
}

// ---- Command codes (the first coordinate of a command frame's pair!) ----

enum Code : int32_t {
    C_REPEAT = -1,
    C_TO = -2,
    C_THRU = -3,
    C_COPY = -4,
    C_SET = -5,
    C_NOT = -6,
    C_INTO = -7,
    C_REMOVE = -9,
    C_WHILE = -11,
    C_COLLECT = -12,
    C_KEEP = -13,
    C_KEEP_PAREN = -14,
    C_AHEAD = -16,
    C_CHANGE = -17,
    C_CHANGE_ONLY = -18,
    C_CASE = -19,
};

// ---- Work stacks ----

// The root block keeps the stacks' nodes (and renumbers them if nodes move): read them from there.
inline Node rules_node() { return block::node_cell(root::block_node, rules_slot)->node(); }
inline Node series_node() { return block::node_cell(root::block_node, series_slot)->node(); }
// Cells of a block buffer without the division by the unit that SeriesBuf::length() does.
inline int32_t length_of(Node n) {
    SeriesBuf* b = memory::nodes[n];
    return static_cast<int32_t>((b->tail - b->head) >> 4);
}
// Units of any series buffer (units are powers of two).
inline int32_t units_of(Node n) {
    SeriesBuf* b = memory::nodes[n];
    return static_cast<int32_t>((b->tail - b->head) >> __builtin_ctz(b->unit() | 32));
}
inline void cut(Node n, int32_t length) {
    SeriesBuf* b = memory::nodes[n];
    if (length >= 0 && uint32_t(length) < (b->tail - b->head) >> 4) b->tail = b->head + uint32_t(length) * 16;
}

// Cuts both stacks back to the running level's heads.
void reset_stacks() {
    cut(rules_node(), rules_base);
    cut(series_node(), series_base);
}

// A level of nested calls: the enclosing call's heads are kept in a marker on the rules stack (for
// the trace callbacks that look at it) and in the object itself (what the way out relies on).
struct Level {
    int32_t saved_rules_base;
    int32_t saved_series_base;
    bool marked = false;

    Level() : saved_rules_base(rules_base), saved_series_base(series_base) {
        int32_t used = length_of(rules_node());
        if (used > rules_base) {
            Cell marker;
            set_cell(&marker, TYPE_TRIPLE, static_cast<uint32_t>(rules_base), static_cast<uint32_t>(series_base), 0);
            block::append_cell(rules_node(), &marker);
            marked = true;
            rules_base = used + 1;
        }
        series_base = length_of(series_node());
    }
    // Cuts the stacks at this level's heads and gives the enclosing call its heads back.
    void leave() {
        reset_stacks();
        if (marked) cut(rules_node(), rules_base - 1);
        rules_base = saved_rules_base;
        series_base = saved_series_base;
        marked = false;
    }
};

inline bool truthy(const Cell* v) { return !(v->type() == TYPE_NONE || (v->type() == TYPE_LOGIC && v->data1 == 0)); }

inline Cell none_value() {
    Cell c;
    set_cell(&c, TYPE_NONE);
    return c;
}
inline Cell logic_value(bool b) {
    Cell c;
    set_cell(&c, TYPE_LOGIC, b ? 1 : 0);
    return c;
}
inline Cell integer_value(int32_t n) {
    Cell c;
    set_cell(&c, TYPE_INTEGER, static_cast<uint32_t>(n));
    return c;
}

[[noreturn]] void fire_copy(ErrorId id, Cell a) { fire(id, &a); }
[[noreturn]] void fire_keyword(ErrorId id, Keyword k) { fire_copy(id, keyword_word(k)); }

// ---- Case folding for comparisons ----

// Upper-case forms of the one-byte codepoints, and for each one the other one-byte codepoint of
// the same upper-case form (itself when there is none), so that a search ignoring case in 1-byte
// text compares each unit with two bytes.
uint32_t fold_latin1[256];
uint8_t latin1_partner[256];

inline uint32_t fold(uint32_t c) {
    if (c < 256) return fold_latin1[c];
    if (c <= 0xFFFF) {
        uint32_t u = case_folding::to_upper_bmp(c);
        return u ? u : c;
    }
    return case_folding::change(c, true);
}
inline uint32_t fold_ascii(uint32_t c) { return c - 'a' < 26u ? c - 32 : c; }

inline bool in_bitset(const Cell* bits, uint32_t c) { return bitset::match_q(bits, c); }

enum InputKind { IN_BLOCK, IN_TEXT, IN_BINARY };

inline InputKind kind_of(uint8_t t) {
    if (types::any_block(t)) return IN_BLOCK;
    if (t == TYPE_BINARY) return IN_BINARY;
    return IN_TEXT;
}
inline bool string_like(uint8_t t) { return types::any_string(t); }
inline bool nested_input(uint8_t t) { return types::series(t) && t != TYPE_IMAGE && t != TYPE_VECTOR; }

// ---- Literal patterns over text and bytes ----

// What a literal value matches in string-like or binary! input, prepared once per match, loop or
// search. Nothing here allocates a series, so buffer addresses read inside one call stay valid.
struct Pattern {
    enum Kind { NONE, CHAR, BITSET, TEXT, BYTES };
    Kind kind = NONE;
    uint32_t cp = 0;         // CHAR (folded when fold is set)
    // CHAR in 1-byte units: the bytes that match (two when folding finds a partner); -1 when no
    // byte matches or a byte may match only through a wider codepoint's folding.
    int32_t byte1 = -1, byte2 = -1;
    const Cell* value = nullptr;  // BITSET, TEXT: the rule value
    int32_t head = 0;        // TEXT: first character of the value
    int32_t length = 0;      // units the pattern covers in the input
    bool tag = false;        // TEXT: a tag!, matched with its angle brackets
    bool fold = false;
    bool ascii_fold = false; // BYTES on binary! input ignoring case
    std::string bytes;       // BYTES: the value's bytes (UTF-8 for text values)

    // find: the value of a to/thru search, which also takes binary! values in text.
    void prepare(const Cell* v, InputKind input, int mode, bool find) {
        uint8_t t = v->type();
        value = v;
        if (t == TYPE_CHAR) {
            kind = CHAR;
            cp = v->data1;
            fold = input == IN_TEXT && mode == 0;
            if (cp < 256) {
                byte1 = static_cast<int32_t>(cp);
                byte2 = fold ? latin1_partner[cp] : byte1;
            }
            if (fold) cp = parse::fold(cp);
            length = 1;
        } else if (t == TYPE_BITSET) {
            kind = BITSET;
            length = 1;
        } else if (input == IN_TEXT && (string_like(t) || (find && t == TYPE_BINARY))) {
            kind = TEXT;
            tag = t == TYPE_TAG;
            head = v->index() > 0 ? v->index() : 0;
            int32_t total = static_cast<int32_t>(memory::nodes[v->node()]->length());
            if (head > total) head = total;
            length = total - head + (tag ? 2 : 0);
            fold = mode == 0 && t != TYPE_BINARY;
        } else if (input == IN_BINARY && (string_like(t) || t == TYPE_BINARY)) {
            kind = BYTES;
            if (t == TYPE_BINARY) {
                SeriesBuf* b = memory::nodes[v->node()];
                int32_t h = v->index() > 0 ? v->index() : 0;
                if (h < static_cast<int32_t>(b->length()))
                    bytes.assign(reinterpret_cast<const char*>(b->at_head() + h), b->length() - uint32_t(h));
            } else {
                if (t == TYPE_TAG) bytes.push_back('<');
                SeriesBuf* b = memory::nodes[v->node()];
                uint32_t unit = b->unit();
                int32_t n = static_cast<int32_t>(b->length());
                for (int32_t i = v->index() > 0 ? v->index() : 0; i < n; i++) {
                    uint32_t c = string::get_char(b->at_head() + size_t(i) * unit, unit);
                    append_utf8(c);
                }
                if (t == TYPE_TAG) bytes.push_back('>');
            }
            length = static_cast<int32_t>(bytes.size());
            ascii_fold = mode == 0 && t != TYPE_BINARY;
        }
    }

    void append_utf8(uint32_t c) {
        if (c < 0x80) {
            bytes.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            bytes.push_back(static_cast<char>(0xC0 | (c >> 6)));
            bytes.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            bytes.push_back(static_cast<char>(0xE0 | (c >> 12)));
            bytes.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            bytes.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            bytes.push_back(static_cast<char>(0xF0 | (c >> 18)));
            bytes.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            bytes.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            bytes.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }

    // The pattern's k-th unit of a TEXT pattern.
    uint32_t text_unit(int32_t k, const uint8_t* vp, uint32_t vu) const {
        if (tag) {
            if (k == 0) return '<';
            if (k == length - 1) return '>';
            k--;
        }
        return string::get_char(vp + size_t(k) * vu, vu);
    }

    // Whether one unit (a character or a byte) matches a CHAR or BITSET pattern.
    bool unit_matches(uint32_t c) const {
        if (kind == CHAR) return (fold ? parse::fold(c) : c) == cp;
        return in_bitset(value, c);
    }

    // Whether the pattern stands at input index i (units from the buffer's first used unit);
    // end is the index the match must not pass.
    bool matches_at(SeriesBuf* in, int32_t i, int32_t end) const {
        if (int64_t(i) + length > end) return false;
        uint32_t iu = in->unit();
        const uint8_t* ip = in->at_head() + size_t(i) * iu;
        switch (kind) {
            case CHAR:
            case BITSET: return unit_matches(string::get_char(ip, iu));
            case TEXT: {
                SeriesBuf* vb = memory::nodes[value->node()];
                uint32_t vu = vb->unit();
                const uint8_t* vp = vb->at_head() + size_t(head) * vu;
                if (!tag && iu == vu) {
                    if (!fold) return std::memcmp(ip, vp, size_t(length) * iu) == 0;
                    if (iu == 1) {
                        for (int32_t k = 0; k < length; k++)
                            if (ip[k] != vp[k] && fold_latin1[ip[k]] != fold_latin1[vp[k]]) return false;
                        return true;
                    }
                }
                for (int32_t k = 0; k < length; k++) {
                    uint32_t x = string::get_char(ip + size_t(k) * iu, iu);
                    uint32_t y = text_unit(k, vp, vu);
                    if (x != y && (!fold || parse::fold(x) != parse::fold(y))) return false;
                }
                return true;
            }
            case BYTES: {
                const uint8_t* bp = reinterpret_cast<const uint8_t*>(bytes.data());
                if (!ascii_fold) return std::memcmp(ip, bp, size_t(length)) == 0;
                for (int32_t k = 0; k < length; k++)
                    if (ip[k] != bp[k] && fold_ascii(ip[k]) != fold_ascii(bp[k])) return false;
                return true;
            }
            default: return false;
        }
    }
};

// ---- The engine ----

enum State {
    S_NEXT,
    S_LEAVE,
    S_AFTER,
    S_FAIL,
    S_COMPLETE,
    S_COMMAND_RULE,
    S_COMMAND_VALUE,
    S_DISPATCH,
    S_KEYWORD,
    S_LITERAL,
    S_END,
};

enum FrameKind { F_NONE, F_BLOCK, F_COMMAND };

// Thrown when the trace callback answers false: the parse ends at once.
struct Stop {};

class Engine {
public:
    // Registers that hold values: guarded, so the collector keeps them and updates their nodes.
    Cell rules;     // the current rule block (its index is the block's start)
    Cell input;     // the input series; its index is the input position
    Cell value;     // the element being dispatched
    Cell callback;  // the trace function, or none
    Cell work1;     // scratch values of one step
    Cell work2;
    collector::Root guard_rules{&rules};
    collector::Root guard_input{&input};
    collector::Root guard_value{&value};
    collector::Root guard_callback{&callback};
    collector::Root guard_work1{&work1};
    collector::Root guard_work2{&work2};

    int32_t pos = -1;  // rule position: a cell index of the rule block's buffer
    bool match = true;
    bool break_flag = false;
    bool ran_to_end = false;
    bool collect_result = false;
    bool after_command = false;
    bool has_callback = false;
    int mode = 0;
    int32_t limit = -1;
    int32_t collect_depth = 0;
    int32_t into_depth = 0;
    int32_t callback_locals = 0;
    uint32_t result_index = 0;  // data-stack index of the result cell
    InputKind kind = IN_BLOCK;

    Engine(const Cell* in, const Cell* rule_block, int m, int32_t lim, const Cell* cb) {
        input = *in;
        rules = *rule_block;
        set_cell(&value, TYPE_NONE);
        set_cell(&work1, TYPE_NONE);
        set_cell(&work2, TYPE_NONE);
        if (cb && cb->type() == TYPE_FUNCTION) {
            callback = *cb;
            has_callback = true;
        } else {
            set_cell(&callback, TYPE_NONE);
        }
        mode = m;
        limit = lim;
        kind = kind_of(input.type());
    }

    void start();
    State step(State s);
    Cell result_value();

    // ---- Input ----

    int32_t in_index() const { return input.index(); }
    void set_in_index(int32_t i) { input.set_index(i); }
    int32_t in_tail() const { return units_of(input.node()); }
    // The index the input ends at: its tail, or the /part limit of the outermost input.
    int32_t in_end() const {
        int32_t tail = in_tail();
        return limit >= 0 && into_depth == 0 && limit < tail ? limit : tail;
    }
    bool at_end() const { return in_index() >= in_end(); }
    int32_t remaining() const {
        int32_t n = in_tail() - in_index();
        return n > 0 ? n : 0;
    }
    void clamp_input() {
        int32_t tail = in_tail();
        if (in_index() > tail) set_in_index(tail);
        if (in_index() < 0) set_in_index(0);
    }
    bool same_series(const Cell* v) const { return v->type() == input.type() && v->node() == input.node(); }
    // The input element at an absolute index as a value: a char! of text, an integer! byte, a cell.
    Cell element_at(int32_t i) const {
        SeriesBuf* b = memory::nodes[input.node()];
        if (kind == IN_BLOCK) return cells_head(b)[i];
        Cell c;
        uint32_t unit = b->unit();
        uint32_t u = string::get_char(b->at_head() + size_t(i) * unit, unit);
        set_cell(&c, kind == IN_TEXT ? TYPE_CHAR : TYPE_INTEGER, u);
        return c;
    }
    // The input at another index (a position value of the input series).
    Cell input_at(int32_t i) const {
        Cell c = input;
        c.header = input.type();
        c.set_index(i);
        return c;
    }

    // ---- Rules ----

    int32_t rule_head() const { return rules.index() > 0 ? rules.index() : 0; }
    int32_t rule_tail() const { return length_of(rules.node()); }
    Cell rule_at(int32_t p) const { return *block::node_cell(rules.node(), p); }
    bool has_rule(int32_t p) const { return p >= rule_head() && p < rule_tail(); }
    // Frames hold positions that a trace callback may have rewritten: keep them in the block.
    void set_pos(int64_t p) {
        int32_t lo = rule_head() - 1, hi = rule_tail();
        pos = p < lo ? lo : (p > hi ? hi : static_cast<int32_t>(p));
    }

    // ---- Frames ----

    Cell* stack_cell(int32_t i) const { return block::node_cell(rules_node(), i); }
    int32_t stack_used() const { return length_of(rules_node()); }
    [[noreturn]] void corrupt() const {
        int32_t n = stack_used();
        Cell c = n > 0 ? *stack_cell(n - 1) : none_value();
        fire_copy(err::script::parse_rule, c);
    }
    // The first cell of the top frame, after checking that the frame is this level's.
    int32_t top_frame() const {
        int32_t n = stack_used();
        if (n - rules_base < 3) corrupt();
        return n - 3;
    }
    FrameKind top_kind() const {
        int32_t n = stack_used();
        if (n - rules_base < 3) return F_NONE;
        uint8_t t = stack_cell(n - 1)->type();
        if (t == TYPE_BLOCK) return F_BLOCK;
        if (t == TYPE_PAIR) return F_COMMAND;
        corrupt();
    }
    // A triple of the top frame (cell 0 or 1), checked.
    Cell* frame_triple(int32_t cell) const {
        Cell* c = stack_cell(top_frame() + cell);
        if (c->type() != TYPE_TRIPLE) corrupt();
        return c;
    }
    int32_t command_code() const {
        Cell* c = stack_cell(top_frame() + 2);
        if (c->type() != TYPE_PAIR) corrupt();
        return c->i2();
    }
    int32_t command_flag() const { return stack_cell(top_frame() + 2)->i3(); }
    int32_t frame_start() const { return frame_triple(1)->i2(); }
    // Clamps the input, then answers where the running command began: a paren may have shortened
    // the input since.
    int32_t clamped_start() {
        clamp_input();
        int32_t start = frame_start();
        int32_t tail = in_tail();
        if (start > tail) start = tail;
        if (start < 0) start = 0;
        return start;
    }
    void drop_frame() { cut(rules_node(), top_frame()); }

    void check_stack() const {
        if (length_of(rules_node()) > kStackLimit || length_of(series_node()) > kStackLimit) fire(err::script::parse_stack);
    }
    void push3(const Cell& a, const Cell& b, const Cell& c) {
        check_stack();
        Node n = rules_node();
        SeriesBuf* s = memory::nodes[n];
        if (s->room() < 3 * sizeof(Cell)) {
            // Growing may collect: the cells are held where the collector sees them.
            Cell x = a, y = b, z = c;
            collector::Root kx(&x), ky(&y), kz(&z);
            series::reserve(rules_node(), 3 * sizeof(Cell));
            s = memory::nodes[rules_node()];
            Cell* at = cells_tail(s);
            at[0] = x;
            at[1] = y;
            at[2] = z;
        } else {
            Cell* at = cells_tail(s);
            at[0] = a;
            at[1] = b;
            at[2] = c;
        }
        s->tail += 3 * sizeof(Cell);
    }
    // Enters a rule block: the position of the element that entered it is from.
    void enter(const Cell& block, int32_t from) {
        Cell b = block;
        collector::Root keep(&b);
        Cell t;
        set_cell(&t, TYPE_TRIPLE, static_cast<uint32_t>(from), static_cast<uint32_t>(in_index()), static_cast<uint32_t>(remaining()));
        push3(none_value(), t, rules);
        rules = b;
        pos = rule_head() - 1;
        match = true;
        event(E_PUSH);
    }
    // Pushes a command frame for the keyword (or prefix element) at pos and moves onto its rule.
    void push_command(int32_t code, int32_t min, int32_t max, int32_t flag, const Cell* first = nullptr) {
        Cell a, t, p;
        if (first)
            a = *first;
        else
            set_cell(&a, TYPE_TRIPLE, static_cast<uint32_t>(min), static_cast<uint32_t>(max), 1);
        set_cell(&t, TYPE_TRIPLE, static_cast<uint32_t>(pos), static_cast<uint32_t>(in_index()), static_cast<uint32_t>(remaining()));
        set_cell(&p, TYPE_PAIR, 0, static_cast<uint32_t>(code), static_cast<uint32_t>(flag));
        push3(a, t, p);
        pos++;
        event(E_PUSH);
    }
    // The keyword a command code stands for, for errors.
    static Keyword keyword_of_code(int32_t code) {
        switch (code) {
            case C_TO: return KW_TO;
            case C_THRU: return KW_THRU;
            case C_NOT: return KW_NOT;
            case C_REMOVE: return KW_REMOVE;
            case C_WHILE: return KW_WHILE;
            case C_COLLECT: return KW_COLLECT;
            case C_KEEP: return KW_KEEP;
            case C_AHEAD: return KW_AHEAD;
            default: return KW_NONE_;
        }
    }

    // ---- Script calls ----

    void event(EventId e);
    Cell eval_paren(const Cell& paren);
    Cell var(const Cell& w) const {
        Cell* v = word::peek(&w);
        if (v) return *v;
        Cell u;
        set_cell(&u, TYPE_UNSET);
        return u;
    }
    void set_word(const Cell& w, const Cell& v) {
        Cell word = w, val = v;
        collector::Root kw(&word), kv(&val);
        word.header = TYPE_WORD;
        context::set_value(&word, &val);
    }
    // Runs a series action on the given arguments; refs as the action takes them.
    Cell act(int action, const Cell& a, const Cell* b, const int32_t* refs) {
        Cell x = a, y = b ? *b : none_value();
        collector::Root kx(&x), ky(&y);
        const Cell* args[2] = {&x, &y};
        Cell out;
        actions::call(&out, action, args, b ? 2 : 1, refs);
        return out;
    }
    Cell act3(int action, const Cell& a, const Cell& b, const Cell& c, const int32_t* refs) {
        Cell x = a, y = b, z = c;
        collector::Root kx(&x), ky(&y), kz(&z);
        const Cell* args[3] = {&x, &y, &z};
        Cell out;
        actions::call(&out, action, args, 3, refs);
        return out;
    }
    // The replacement value of insert and change (the element at p).
    Cell replacement(int32_t p) {
        Cell e = rule_at(p);
        uint8_t t = e.type();
        if (t == TYPE_PATH || t == TYPE_SET_PATH || t == TYPE_GET_PATH) fire_copy(err::script::parse_rule, e);
        if (t == TYPE_PAREN) {
            Cell v = eval_paren(e);
            collector::Root keep(&v);
            event(E_PAREN);
            return v;
        }
        if (t == TYPE_WORD) {
            Cell v = var(e);
            if (v.type() == TYPE_UNSET) fire_copy(err::script::no_value, e);
            return v;
        }
        return e;
    }
    // Steps over the modifier when it follows the keyword at pos.
    bool take_modifier(Keyword modifier) {
        if (pos + 1 >= rule_tail()) return false;
        Cell next = rule_at(pos + 1);
        if (next.type() != TYPE_WORD || keyword_of(&next) != modifier) return false;
        pos++;
        return true;
    }
    // Whether the element at p is a word or get-word whose value is a position in the input.
    bool position_word(int32_t p, Cell* out) const {
        if (!has_rule(p)) return false;
        Cell e = rule_at(p);
        if (e.type() == TYPE_WORD && keyword_of(&e) != KW_NONE_) return false;
        if (e.type() != TYPE_WORD && e.type() != TYPE_GET_WORD) return false;
        Cell v = var(e);
        if (!same_series(&v)) return false;
        *out = v;
        return true;
    }

    // ---- Matching ----

    bool compare_values(const Cell& in, const Cell& rule) const {
        int op = mode;
        if (rule.type() == TYPE_LIT_WORD || rule.type() == TYPE_LIT_PATH) op = mode == 2 ? COMP_STRICT_EQUAL_WORD : COMP_FIND;
        return actions::compare_value(&in, &rule, op) == 0;
    }
    // Units a literal covers at the input position, or -1 when it does not match there.
    int32_t literal_at(const Cell& v);
    // Tight repetition of a literal; answers the outcome.
    bool match_repeat(const Cell& v, int32_t min, int32_t max);
    // to/thru search for a literal; answers the outcome.
    bool find_target(const Cell& v, bool thru);
    bool match_type(const Cell& v);

    // ---- Steps ----

    State dispatch();
    State keyword(Keyword k);
    State count_rule();
    State complete();
    State complete_repeat(int32_t code);
    State complete_search(int32_t code);
    void complete_collect();
    void complete_keep();
    void complete_into();
    void keep_value(const Cell& v);
    bool keeps_into(Node n) const;
    void insert_part(const Cell& target_word, bool into, int32_t from, int32_t n);
    State keyword_collect();
    State keyword_keep();
    State keyword_insert();
    State keyword_change();
    State keyword_remove();
    State keyword_into();
    State finish_command() {
        event(E_POP);
        drop_frame();
        return S_AFTER;
    }
};

// ---- Script calls ----

void Engine::event(EventId e) {
    if (!has_callback) return;
    Cell* saved_top = stack::top;
    Frame* saved_ctop = stack::ctop;
    Cell* saved_arguments = stack::arguments;
    stack::push_cell()->header = TYPE_NONE;  // the callback's result slot
    Cell name;
    set_cell(&name, TYPE_WORD, context::global_node, static_cast<uint32_t>(callback_symbol), static_cast<uint32_t>(-1));
    Node fctx = callback.data1;
    stack::mark_func(&name, fctx);
    stack::push(root::at(event_slots[e]));
    set_cell(stack::push_cell(), TYPE_LOGIC, match ? 1 : 0);
    Cell* rule = stack::push(&rules);
    int32_t at = pos < rule_head() ? rule_head() : pos;
    rule->set_index(at > rule_tail() ? rule_tail() : at);
    rule->header = TYPE_BLOCK;
    stack::push(&input);
    block::make_at(stack::push_cell(), rules_node(), rules_base);
    function::init_locals(callback_locals);
    interpreter::call_function(&callback, fctx, &name);
    bool go_on = truthy(stack::arguments);
    stack::restore_values(stack::ctop - 1);
    stack::ctop = saved_ctop;
    stack::top = saved_top;
    stack::arguments = saved_arguments;
    // The callback may have changed the input or the rules under the engine.
    clamp_input();
    if (!go_on) throw Stop{};
}

Cell Engine::eval_paren(const Cell& paren) {
    Cell code = paren;
    collector::Root keep(&code);
    code.header = TYPE_BLOCK;
    Cell* saved_top = stack::top;
    interpreter::eval_block(&code, false);
    Cell v = *saved_top;
    stack::top = saved_top;
    return v;
}

// ---- Matching ----

int32_t Engine::literal_at(const Cell& v) {
    int32_t i = in_index();
    if (kind == IN_BLOCK) {
        if (at_end()) return -1;
        Cell e = element_at(i);
        return compare_values(e, v) ? 1 : -1;
    }
    uint8_t t = v.type();
    if (at_end()) {
        bool empty_text = (t == TYPE_STRING || t == TYPE_FILE || t == TYPE_URL) && string::rs_length_q(&v) == 0;
        return kind == IN_TEXT && empty_text ? 0 : -1;
    }
    Pattern p;
    p.prepare(&v, kind, mode, false);
    if (p.kind == Pattern::NONE) return -1;
    return p.matches_at(memory::nodes[input.node()], i, in_end()) ? p.length : -1;
}

bool Engine::match_repeat(const Cell& v, int32_t min, int32_t max) {
    int32_t i = in_index();
    int32_t end = in_end();
    int32_t count = 0;
    if (end - i <= 0 || end - i < min) return min == 0;
    if (kind == IN_BLOCK) {
        while (i < end && (max < 0 || count < max)) {
            Cell e = element_at(i);
            if (!compare_values(e, v)) break;
            i++;
            count++;
            end = in_end();  // a comparison never shrinks the input, but stay within it
        }
    } else {
        Pattern p;
        p.prepare(&v, kind, mode, false);
        if (p.kind == Pattern::NONE) return min == 0;
        if (p.length == 0) return true;  // an empty text matches at once
        SeriesBuf* in = memory::nodes[input.node()];
        if (p.kind == Pattern::CHAR || p.kind == Pattern::BITSET) {
            uint32_t unit = in->unit();
            const uint8_t* base = in->at_head();
            int32_t stop = max >= 0 && int64_t(i) + max < end ? i + max : end;
            if (unit == 1 && p.kind == Pattern::CHAR && (!p.fold || p.byte1 >= 0)) {
                if (p.byte1 >= 0) {
                    uint8_t c1 = static_cast<uint8_t>(p.byte1), c2 = static_cast<uint8_t>(p.byte2);
                    while (i < stop && (base[i] == c1 || base[i] == c2)) i++;
                }
            } else if (unit == 1 && p.kind == Pattern::BITSET) {
                SeriesBuf* bits = memory::nodes[p.value->node()];
                const uint8_t* set = bits->at_head();
                uint32_t size = bits->tail - bits->head;
                bool beyond = (bits->flags & series_flag::complement) != 0;
                while (i < stop) {
                    uint32_t c = base[i];
                    if (!((c >> 3) < size ? (set[c >> 3] & (0x80u >> (c & 7))) != 0 : beyond)) break;
                    i++;
                }
            } else if (unit == 1) {
                while (i < stop && p.unit_matches(base[i])) i++;
            } else {
                while (i < stop && p.unit_matches(string::get_char(base + size_t(i) * unit, unit))) i++;
            }
            count = i - in_index();
        } else {
            while (i < end && (max < 0 || count < max) && p.matches_at(in, i, end)) {
                i += p.length;
                count++;
            }
        }
    }
    set_in_index(i);
    return count >= min && (max < 0 || count <= max);
}

bool Engine::find_target(const Cell& v, bool thru) {
    int32_t start = in_index();
    int32_t end = in_end();
    if (kind == IN_BLOCK) {
        for (int32_t i = start; i < end; i++) {
            Cell e = element_at(i);
            if (compare_values(e, v)) {
                set_in_index(thru ? i + 1 : i);
                return true;
            }
            end = in_end();
        }
        return false;
    }
    Pattern p;
    p.prepare(&v, kind, mode, true);
    if (p.kind == Pattern::NONE) fire_copy(err::script::parse_rule, v);
    SeriesBuf* in = memory::nodes[input.node()];
    uint32_t unit = in->unit();
    const uint8_t* base = in->at_head();
    int32_t found = -1;
    if (p.kind == Pattern::CHAR || p.kind == Pattern::BITSET) {
        if (p.kind == Pattern::CHAR && unit == 1 && (!p.fold || p.byte1 >= 0)) {
            if (p.byte1 >= 0 && start < end) {
                if (p.byte1 == p.byte2) {
                    const void* hit = std::memchr(base + start, p.byte1, size_t(end - start));
                    if (hit) found = static_cast<int32_t>(static_cast<const uint8_t*>(hit) - base);
                } else {
                    uint8_t c1 = static_cast<uint8_t>(p.byte1), c2 = static_cast<uint8_t>(p.byte2);
                    for (int32_t i = start; i < end; i++)
                        if (base[i] == c1 || base[i] == c2) {
                            found = i;
                            break;
                        }
                }
            }
        } else {
            for (int32_t i = start; i < end; i++)
                if (p.unit_matches(string::get_char(base + size_t(i) * unit, unit))) {
                    found = i;
                    break;
                }
        }
    } else {
        for (int32_t i = start; int64_t(i) + p.length <= end; i++)
            if (p.matches_at(in, i, end)) {
                found = i;
                break;
            }
    }
    if (found < 0) return false;
    set_in_index(thru ? found + p.length : found);
    return true;
}

bool Engine::match_type(const Cell& v) {
    if (kind == IN_TEXT) fire(err::script::parse_unsupported);
    if (at_end()) return false;
    auto accepts = [&](int type) {
        if (type <= 0 || type >= 256) return false;
        return v.type() == TYPE_DATATYPE ? static_cast<int>(v.data1) == type : interpreter::typeset_has(&v, type);
    };
    int32_t i = in_index();
    if (kind == IN_BLOCK) {
        if (!accepts(element_at(i).type())) return false;
        set_in_index(i + 1);
        return true;
    }
#ifdef KEL_PARSE_HAS_LEXER
    // The bytes are staged outside the series (the scan may allocate); a window that grows until
    // the token fits keeps a match near the start of a long input from copying all of it.
    int32_t end = in_end();
    int32_t window = 4096;
    while (true) {
        int32_t n = end - i < window ? end - i : window;
        SeriesBuf* b = memory::nodes[input.node()];
        std::string text(reinterpret_cast<const char*>(b->at_head() + i), size_t(n));
        lexer::Options options;
        options.one = true;
        options.load = false;
        int32_t consumed = 0;
        int32_t type = lexer::scan(&work1, text, options, &consumed);
        if (n < end - i && (consumed >= n || type == TYPE_ERROR || type == 0)) {
            window = window > (1 << 29) ? end - i : window * 2;
            continue;
        }
        if (type <= 0 || !accepts(type)) return false;
        set_in_index(i + (consumed > 0 ? consumed : 0));
        return true;
    }
#else
    fire(err::internal::not_done);
#endif
}

// ---- Dispatch ----

State Engine::dispatch() {
    switch (value.type()) {
        case TYPE_BLOCK:
            enter(value, pos);
            return S_NEXT;
        case TYPE_PAREN: {
            eval_paren(value);
            event(E_PAREN);
            // The code may have changed the rules or the input.
            int32_t tail = rule_tail();
            if (pos >= tail) pos = tail - 1;
            if (pos < rule_head() - 1) pos = rule_head() - 1;
            clamp_input();
            return S_AFTER;
        }
        case TYPE_SET_WORD:
            set_word(value, input_at(in_index()));
            return S_NEXT;
        case TYPE_GET_WORD: {
            Cell v = var(value);
            if (!same_series(&v)) fire_copy(err::script::parse_invalid_ref, value);
            set_in_index(v.index());
            clamp_input();
            match = true;
            return S_AFTER;
        }
        case TYPE_INTEGER: return count_rule();
        case TYPE_DATATYPE:
        case TYPE_TYPESET:
            match = match_type(value);
            event(E_MATCH);
            return S_AFTER;
        case TYPE_WORD: after_command = false; return S_KEYWORD;
        case TYPE_PATH:
        case TYPE_SET_PATH:
        case TYPE_GET_PATH: fire_copy(err::script::parse_rule, value);
        default: return S_LITERAL;
    }
}

State Engine::count_rule() {
    Cell n_cell = value;
    int32_t n = n_cell.i1();
    if (n < 0) fire_copy(err::script::out_of_range, n_cell);
    int32_t tail = rule_tail();
    if (pos + 1 >= tail) fire_copy(err::script::parse_rule, n_cell);
    Cell m = rule_at(pos + 1);
    if (m.type() == TYPE_WORD && keyword_of(&m) == KW_NONE_) m = var(m);
    bool range = m.type() == TYPE_INTEGER;
    if (range && (pos + 2 >= tail || m.i1() < n)) fire_copy(err::script::parse_rule, n_cell);
    if (n == 0 && (!range || m.i1() == 0)) {
        pos += range ? 2 : 1;
        match = true;
        return S_AFTER;
    }
    int32_t max = n;
    if (range) {
        max = m.i1();
        pos++;
    }
    push_command(C_REPEAT, n, max, 0);
    return S_COMMAND_RULE;
}

// ---- Keywords ----

State Engine::keyword(Keyword k) {
    int32_t tail = rule_tail();
    bool last = pos + 1 >= tail;
    switch (k) {
        case KW_ANY:
        case KW_SOME:
        case KW_OPT:
        case KW_WHILE:
            if (last) fire_keyword(err::script::parse_end, k);
            if (k == KW_WHILE)
                push_command(C_WHILE, 0, -1, 0);
            else
                push_command(C_REPEAT, k == KW_SOME ? 1 : 0, k == KW_OPT ? 1 : -1, 0);
            return S_COMMAND_RULE;
        case KW_SKIP:
            if (at_end()) {
                match = false;
            } else {
                set_in_index(in_index() + 1);
                match = true;
            }
            event(E_MATCH);
            return S_AFTER;
        case KW_END:
            match = at_end();
            event(E_MATCH);
            return S_AFTER;
        case KW_NONE:
            match = true;
            event(E_MATCH);
            return S_AFTER;
        case KW_FAIL:
            match = false;
            event(E_MATCH);
            return S_AFTER;
        case KW_BREAK:
        case KW_REJECT:
            match = k == KW_BREAK;
            break_flag = true;
            event(E_MATCH);
            return top_kind() == F_COMMAND ? S_COMPLETE : S_LEAVE;
        case KW_QUOTE:
            if (last) fire_keyword(err::script::parse_end, k);
            pos++;
            value = rule_at(pos);
            return S_LITERAL;
        case KW_IF: {
            if (last || rule_at(pos + 1).type() != TYPE_PAREN) fire_keyword(err::script::parse_end, k);
            pos++;
            Cell v = eval_paren(rule_at(pos));
            match = truthy(&v);
            set_pos(pos);
            clamp_input();
            event(E_MATCH);
            return S_AFTER;
        }
        case KW_CASE: {
            if (last || rule_at(pos + 1).type() != TYPE_WORD) fire_keyword(err::script::parse_end, k);
            pos++;
            Cell v = var(rule_at(pos));
            int previous = mode;
            push_command(C_CASE, -1, previous, 0);
            mode = truthy(&v) ? 2 : 0;
            return S_COMMAND_RULE;
        }
        case KW_TO:
        case KW_THRU: {
            if (last) fire_keyword(err::script::parse_end, k);
            Cell next = rule_at(pos + 1);
            if (next.type() == TYPE_WORD && keyword_of(&next) == KW_END) {
                pos++;
                if (!at_end()) set_in_index(in_end());
                match = true;
                event(E_MATCH);
                return S_AFTER;
            }
            push_command(k == KW_TO ? C_TO : C_THRU, -1, in_index(), 0);
            return S_COMMAND_RULE;
        }
        case KW_AHEAD:
        case KW_NOT:
            if (last) fire_keyword(err::script::parse_end, k);
            push_command(k == KW_AHEAD ? C_AHEAD : C_NOT, -1, -1, 0);
            return S_COMMAND_RULE;
        case KW_SET:
        case KW_COPY: {
            if (pos + 2 >= tail || rule_at(pos + 1).type() != TYPE_WORD) fire_keyword(err::script::parse_end, k);
            pos++;
            Cell w = rule_at(pos);
            push_command(k == KW_SET ? C_SET : C_COPY, -1, -1, 0, &w);
            return S_COMMAND_RULE;
        }
        case KW_BAR:
            // The alternative before it matched: the block has matched.
            pos = tail;
            return S_NEXT;
        case KW_INTO: return keyword_into();
        case KW_REMOVE: return keyword_remove();
        case KW_INSERT: return keyword_insert();
        case KW_CHANGE: return keyword_change();
        case KW_COLLECT: return keyword_collect();
        case KW_KEEP: return keyword_keep();
        default: return S_LITERAL;
    }
}

State Engine::keyword_into() {
    if (kind != IN_BLOCK) fire_copy(err::script::parse_block, input);
    if (pos + 1 >= rule_tail()) fire_keyword(err::script::parse_end, KW_INTO);
    work1 = rule_at(pos + 1);
    if (work1.type() == TYPE_WORD) work1 = var(work1);
    if (work1.type() != TYPE_BLOCK) fire_keyword(err::script::parse_end, KW_INTO);
    Cell inner = at_end() ? none_value() : element_at(in_index());
    if (!nested_input(inner.type())) {
        pos++;
        match = false;
        return S_AFTER;
    }
    check_stack();
    Node sn = series_node();
    int32_t used = length_of(sn);
    if (used <= series_base) corrupt();
    block::node_cell(sn, used - 1)->set_index(in_index());
    input = inner;
    block::append_cell(series_node(), &input);
    kind = kind_of(input.type());
    into_depth++;
    push_command(C_INTO, -1, -1, 0);
    enter(work1, pos);
    return S_NEXT;
}

State Engine::keyword_remove() {
    if (pos + 1 >= rule_tail()) fire_keyword(err::script::parse_end, KW_REMOVE);
    uint8_t t = rule_at(pos + 1).type();
    if (t == TYPE_PATH || t == TYPE_SET_PATH || t == TYPE_GET_PATH) fire_keyword(err::script::parse_rule, KW_REMOVE);
    Cell at;
    if (position_word(pos + 1, &at)) {
        pos++;
        int32_t a = in_index(), b = at.index();
        int32_t lo = a < b ? a : b, hi = a < b ? b : a;
        clamp_input();
        int32_t tail = in_tail();
        if (lo > tail) lo = tail;
        if (hi > tail) hi = tail;
        if (lo < 0) lo = 0;
        if (hi > lo) {
            Cell part = integer_value(hi - lo);
            int32_t refs[2] = {1, -1};
            act(ACT_REMOVE, input_at(lo), &part, refs);
        }
        set_in_index(lo);
        clamp_input();
        return S_AFTER;
    }
    push_command(C_REMOVE, -1, -1, 0);
    return S_COMMAND_RULE;
}

State Engine::keyword_insert() {
    bool only = take_modifier(KW_ONLY);
    if (pos + 1 >= rule_tail()) fire_keyword(err::script::parse_end, KW_INSERT);
    clamp_input();
    int32_t point = in_index();
    Cell at;
    if (position_word(pos + 1, &at)) {
        pos++;
        if (pos + 1 >= rule_tail()) fire_keyword(err::script::parse_rule, KW_INSERT);
        point = at.index();
    }
    pos++;
    work1 = replacement(pos);
    clamp_input();
    int32_t tail = in_tail();
    if (point > tail) point = tail;
    if (point < 0) point = 0;
    int32_t refs[3] = {-1, only ? 2 : -1, -1};
    // Counted from the position insert answers, not from the growth of the input: the owner's
    // handler may have added or removed values of its own.
    Cell r = act(ACT_INSERT, input_at(point), &work1, refs);
    int32_t inserted = r.index() - point;
    if (in_index() >= point && inserted > 0) set_in_index(in_index() + inserted);
    clamp_input();
    return S_AFTER;
}

State Engine::keyword_change() {
    bool only = take_modifier(KW_ONLY);
    if (pos + 1 >= rule_tail()) fire_keyword(err::script::parse_end, KW_CHANGE);
    Cell at;
    if (position_word(pos + 1, &at)) {
        pos++;
        if (pos + 1 >= rule_tail()) fire_keyword(err::script::parse_rule, KW_CHANGE);
        work2 = at;
        pos++;
        work1 = replacement(pos);
        clamp_input();
        int32_t a = in_index(), b = work2.index();
        int32_t t = in_tail();
        if (b > t) b = t;
        if (b < 0) b = 0;
        int32_t lo = a < b ? a : b, hi = a < b ? b : a;
        Cell part = integer_value(hi - lo);
        int32_t refs[3] = {2, only ? 2 : -1, -1};
        act3(ACT_CHANGE, input_at(lo), work1, part, refs);
        set_in_index(lo);
        clamp_input();
        return S_AFTER;
    }
    push_command(only ? C_CHANGE_ONLY : C_CHANGE, -1, -1, 0);
    return S_COMMAND_RULE;
}

State Engine::keyword_collect() {
    int32_t tail = rule_tail();
    Keyword modifier = KW_NONE_;
    if (pos + 1 < tail) {
        Cell next = rule_at(pos + 1);
        if (next.type() == TYPE_WORD) {
            Keyword k = keyword_of(&next);
            if (k == KW_SET || k == KW_INTO || k == KW_AFTER) modifier = k;
        }
    }
    int32_t target_start = -1;
    if (modifier != KW_NONE_) {
        if (pos + 2 >= tail || rule_at(pos + 2).type() != TYPE_WORD) fire_keyword(err::script::parse_end, KW_COLLECT);
        pos += 2;
        work1 = rule_at(pos);
        if (modifier == KW_SET) {
            work1.header = TYPE_WORD;
            stack::push(&work1);
            block::push_new(8);
        } else {
            work2 = var(work1);
            uint8_t tt = work2.type();
            uint8_t it = input.type();
            if (!nested_input(tt)) fire(err::script::parse_into_type);
            bool compatible = tt == it || (string_like(tt) && (kind == IN_TEXT || kind == IN_BINARY)) || types::any_block(tt);
            if (work2.node() == input.node()) fire(err::script::parse_into_bad);
            if (!compatible) fire(err::script::parse_into_type);
            target_start = work2.index();
            work1.header = modifier == KW_INTO ? TYPE_GET_WORD : TYPE_REFINEMENT;
            stack::push(&work1);
        }
    } else {
        block::push_new(8);
    }
    collect_depth++;
    push_command(C_COLLECT, -1, target_start, 0);
    return S_COMMAND_RULE;
}

State Engine::keyword_keep() {
    if (collect_depth <= 0) fire(err::script::parse_keep);
    int32_t tail = rule_tail();
    if (pos + 1 >= tail) fire_keyword(err::script::parse_end, KW_KEEP);
    bool pick = false;
    Cell next = rule_at(pos + 1);
    if (next.type() == TYPE_WORD && keyword_of(&next) == KW_PICK) {
        pick = true;
        pos++;
        if (pos + 1 >= tail) fire_keyword(err::script::parse_end, KW_KEEP);
        next = rule_at(pos + 1);
    }
    if (next.type() == TYPE_PAREN) {
        // The trace callback runs at the push and may rewrite the rules: evaluate the paren that
        // was read, held where the collector sees it.
        work2 = next;
        push_command(C_KEEP_PAREN, -1, -1, pick ? 1 : 0);
        work2 = eval_paren(work2);
        event(E_PAREN);
        set_pos(pos);
        clamp_input();
        if (pick && work2.type() == TYPE_BLOCK) {
            // Kept into the block it picks from, the walk would meet its own insertions: walk a copy.
            if (keeps_into(work2.node())) {
                int32_t refs[3] = {-1, -1, -1};
                work2 = act(ACT_COPY, work2, nullptr, refs);
            }
            for (int32_t i = 0; i < block::rs_length_q(&work2); i++) keep_value(block::rs_head(&work2)[i]);
        } else {
            keep_value(work2);
        }
        match = true;
        return finish_command();
    }
    push_command(C_KEEP, -1, -1, pick ? 1 : 0);
    return S_COMMAND_RULE;
}

// ---- Completion of commands ----

State Engine::complete() {
    if (top_kind() != F_COMMAND) return S_LEAVE;  // break and reject leave the block at once
    int32_t code = command_code();
    switch (code) {
        case C_REPEAT:
        case C_WHILE: return complete_repeat(code);
        case C_TO:
        case C_THRU: return complete_search(code);
        case C_COPY:
        case C_SET: {
            if (!match) break;
            Cell w = *stack_cell(top_frame());
            if (!types::any_word(w.type())) corrupt();
            work1 = w;
            int32_t start = clamped_start();
            if (code == C_SET) {
                work2 = in_index() > start ? element_at(start) : none_value();
            } else {
                Cell part = integer_value(in_index() - start);
                int32_t refs[3] = {1, -1, -1};
                work2 = act(ACT_COPY, input_at(start), &part, refs);
            }
            set_word(work1, work2);
            break;
        }
        case C_NOT: match = !match; break;
        case C_AHEAD:
            set_in_index(frame_start());
            clamp_input();
            break;
        case C_REMOVE: {
            if (!match) break;
            int32_t start = clamped_start();
            if (in_index() > start) {
                Cell part = integer_value(in_index() - start);
                int32_t refs[2] = {1, -1};
                act(ACT_REMOVE, input_at(start), &part, refs);
            }
            set_in_index(start);
            clamp_input();
            break;
        }
        case C_CASE: mode = frame_triple(0)->i2() == 2 ? 2 : 0; break;
        case C_INTO: complete_into(); break;
        case C_COLLECT: complete_collect(); break;
        case C_KEEP: complete_keep(); break;
        case C_KEEP_PAREN: break;
        case C_CHANGE:
        case C_CHANGE_ONLY: {
            if (pos + 1 >= rule_tail()) fire_keyword(err::script::parse_end, KW_CHANGE);
            pos++;
            work1 = replacement(pos);
            if (!match) break;
            int32_t start = clamped_start();
            int32_t n = in_index() - start;
            Cell part = integer_value(n > 0 ? n : 0);
            int32_t refs[3] = {2, code == C_CHANGE_ONLY ? 2 : -1, -1};
            Cell r = act3(ACT_CHANGE, input_at(start), work1, part, refs);
            set_in_index(r.index());
            clamp_input();
            break;
        }
        default: corrupt();
    }
    return finish_command();
}

State Engine::complete_repeat(int32_t code) {
    Cell* counts = frame_triple(0);
    int64_t min = counts->i1(), max = counts->i2(), c = counts->i3();
    Cell* saved = frame_triple(1);
    int32_t saved_index = saved->i2(), saved_length = saved->i3();
    bool go_on = match && (max < 0 || c < max) && c < INT32_MAX;
    if (code != C_WHILE && in_index() == saved_index && remaining() >= saved_length) {
        go_on = false;
        break_flag = false;
    }
    if (break_flag) {
        go_on = false;
        break_flag = false;
    }
    if (go_on) {
        saved = frame_triple(1);
        saved->data2 = static_cast<uint32_t>(in_index());
        saved->data3 = static_cast<uint32_t>(remaining());
        frame_triple(0)->data3 = static_cast<uint32_t>(c + 1);
        set_pos(int64_t(saved->i1()) + 1);
        event(E_ITERATE);
        return S_COMMAND_RULE;
    }
    match = match ? c >= min : (min == 0 || c - 1 >= min);
    return finish_command();
}

State Engine::complete_search(int32_t code) {
    Cell* saved = frame_triple(1);
    int32_t start = saved->i2();
    if (match) {
        if (code == C_TO) set_in_index(start);
        clamp_input();
        return finish_command();
    }
    bool limited = limit >= 0 && into_depth == 0;
    if (start < 0 || start >= in_tail() || (limited && start >= limit)) {
        set_in_index(frame_triple(0)->i2());
        clamp_input();
        return finish_command();
    }
    int32_t next = start + 1;
    saved->data2 = static_cast<uint32_t>(next);
    set_in_index(next);
    saved->data3 = static_cast<uint32_t>(remaining());
    int32_t rule_index = saved->i1();
    event(E_POP);
    event(E_ITERATE);
    set_pos(int64_t(rule_index) + 1);
    match = true;
    return S_COMMAND_RULE;
}

void Engine::complete_into() {
    bool ok = match && ran_to_end && in_index() >= in_tail();
    Node sn = series_node();
    int32_t used = length_of(sn);
    if (used - series_base < 2) corrupt();
    cut(sn, used - 1);
    Cell outer = *block::node_cell(sn, used - 2);
    if (!nested_input(outer.type())) corrupt();
    input = outer;
    kind = kind_of(input.type());
    into_depth--;
    if (ok) set_in_index(in_index() + 1);
    clamp_input();
    match = ok;
}

void Engine::complete_collect() {
    collect_depth--;
    Cell* result = stack::bottom + result_index;
    if (stack::top - 1 <= result) corrupt();
    Cell entry = *(stack::top - 1);
    stack::top--;
    if (entry.type() == TYPE_GET_WORD || entry.type() == TYPE_REFINEMENT) {
        // Back to where the target stood when the collect began.
        work1 = entry;
        work2 = var(work1);
        int32_t start = frame_triple(0)->i2();
        if (types::series(work2.type()) && start >= 0) {
            work2.set_index(start);
            set_word(work1, work2);
        }
        return;
    }
    work2 = entry;
    Cell* below = stack::top - 1;
    if (below == result) {
        if (collect_result && result->type() == TYPE_BLOCK) {
            block::append_cell(result->node(), &work2);
        } else {
            *result = work2;
            collect_result = true;
        }
        return;
    }
    switch (below->type()) {
        case TYPE_WORD:
            work1 = *below;
            stack::top--;
            set_word(work1, work2);
            break;
        case TYPE_BLOCK: block::append_cell(below->node(), &work2); break;
        default: keep_value(work2); break;
    }
}

void Engine::complete_keep() {
    if (!match) return;
    int32_t start = clamped_start();
    int32_t n = in_index() - start;
    if (n <= 0) return;
    if (n == 1) {
        keep_value(element_at(start));
        return;
    }
    if (command_flag() == 1) {
        if (keeps_into(input.node())) {
            // The values go into the input itself, where each insertion moves the ones after it:
            // take them all before the first goes in.
            int32_t end = start + n < in_tail() ? start + n : in_tail();
            block::make_at_size(&work2, end - start);
            for (int32_t i = start; i < end; i++) {
                Cell e = element_at(i);
                block::append_cell(work2.node(), &e);
            }
            for (int32_t i = 0; i < block::rs_length_q(&work2); i++) keep_value(block::rs_head(&work2)[i]);
            return;
        }
        for (int32_t i = start; i < start + n && i < in_tail(); i++) keep_value(element_at(i));
        return;
    }
    Cell* top = stack::top - 1;
    if ((top->type() == TYPE_GET_WORD || top->type() == TYPE_REFINEMENT) && kind != IN_BLOCK) {
        Cell target = var(*top);
        // A paren may have pointed the target word at the input itself: its units would move
        // under the copy, so that case takes the copying path below.
        if ((string_like(target.type()) || target.type() == TYPE_BINARY) && target.node() != input.node() &&
            memory::nodes[target.node()]->unit() == memory::nodes[input.node()]->unit()) {
            insert_part(*top, top->type() == TYPE_GET_WORD, start, n);
            return;
        }
    }
    Cell part = integer_value(n);
    int32_t refs[3] = {1, -1, -1};
    work2 = act(ACT_COPY, input_at(start), &part, refs);
    keep_value(work2);
}

// Whether the open collect puts kept values into the series of node n (an into/after target).
bool Engine::keeps_into(Node n) const {
    const Cell* top = stack::top - 1;
    if (top->type() != TYPE_GET_WORD && top->type() != TYPE_REFINEMENT) return false;
    Cell target = var(*top);
    return types::series(target.type()) && target.node() == n;
}

void Engine::keep_value(const Cell& v) {
    Cell kept = v;
    collector::Root keep_kept(&kept);
    Cell* top = stack::top - 1;
    if (top <= stack::bottom + result_index) corrupt();
    switch (top->type()) {
        case TYPE_BLOCK: block::append_cell(top->node(), &kept); return;
        case TYPE_GET_WORD:
        case TYPE_REFINEMENT: {
            Cell w = *top;
            collector::Root keep_w(&w);
            bool into = w.type() == TYPE_GET_WORD;
            Cell target = var(w);
            collector::Root keep_target(&target);
            if (!nested_input(target.type())) fire(err::script::parse_into_type);
            int32_t refs[3] = {-1, 2, -1};
            Cell r = act(into ? ACT_INSERT : ACT_APPEND, target, &kept, refs);
            if (into) {
                target.set_index(r.index());
                set_word(w, target);
            }
            return;
        }
        default: corrupt();
    }
}

// Puts n units of the input from index from into a text or binary! target of the same unit width:
// at the target's position (into, which then moves past them) or at its tail.
void Engine::insert_part(const Cell& target_word, bool into, int32_t from, int32_t n) {
    Cell w = target_word;
    collector::Root keep_w(&w);
    Cell target = var(w);
    collector::Root keep_target(&target);
    int32_t length = static_cast<int32_t>(memory::nodes[target.node()]->length());
    int32_t at = into ? (target.index() < 0 ? 0 : (target.index() > length ? length : target.index())) : length;
    series::notify(&target, series::EV_INSERT, false, nullptr, at, n);
    uint32_t unit = memory::nodes[target.node()]->unit();
    if (int64_t(n) * unit > 0x7FFFFFF0) fire(err::internal::no_memory);
    SeriesBuf* tb = series::reserve(target.node(), uint32_t(n) * unit);
    // The reserve may have moved the input's buffer too, and the owner's handler may have changed
    // either series.
    SeriesBuf* ib = memory::nodes[input.node()];
    int32_t available = static_cast<int32_t>(ib->length()) - from;
    if (available <= 0) return;
    if (n > available) n = available;
    if (ib->unit() != unit) {
        // The handler widened one of the two texts: the units no longer copy as they are, so
        // the kept text goes in through the action, which converts them.
        Cell part = integer_value(n);
        int32_t refs[3] = {1, -1, -1};
        work2 = act(ACT_COPY, input_at(from), &part, refs);
        keep_value(work2);
        return;
    }
    length = static_cast<int32_t>(tb->length());
    if (at > length) at = length;
    uint8_t* p = tb->at_head() + size_t(at) * unit;
    std::memmove(p + size_t(n) * unit, p, size_t(length - at) * unit);
    std::memcpy(p, ib->at_head() + size_t(from) * unit, size_t(n) * unit);
    tb->tail += uint32_t(n) * unit;
    series::notify(&target, series::EV_INSERT, true, nullptr, at, n);
    if (into) {
        target.set_index(at + n);
        set_word(w, target);
    }
}

// ---- The cycle ----

State Engine::step(State s) {
    switch (s) {
        case S_NEXT: {
            int32_t tail = rule_tail();
            if (pos < tail) pos++;
            if (pos < tail) {
                event(E_FETCH);
                if (pos < rule_tail()) {
                    value = rule_at(pos);
                    return S_DISPATCH;
                }
            }
            return top_kind() == F_COMMAND ? S_COMPLETE : S_LEAVE;
        }
        case S_LEAVE: {
            event(E_POP);
            int32_t base = top_frame();
            if (base == rules_base) return S_END;
            ran_to_end = pos >= rule_tail();
            Cell* t = stack_cell(base + 1);
            Cell* b = stack_cell(base + 2);
            if (t->type() != TYPE_TRIPLE || b->type() != TYPE_BLOCK) corrupt();
            int32_t from = t->i1();
            rules = *b;
            drop_frame();
            set_pos(from);
            return S_AFTER;
        }
        case S_AFTER:
            if (top_kind() == F_COMMAND) return S_COMPLETE;
            return match ? S_NEXT : S_FAIL;
        case S_FAIL: {
            int32_t base = top_frame();
            Cell* t = stack_cell(base + 1);
            if (t->type() != TYPE_TRIPLE) corrupt();
            set_in_index(t->i2());
            clamp_input();
            int32_t tail = rule_tail();
            int32_t bar = symbol::resolve(keyword_symbols[KW_BAR]);
            for (int32_t p = pos + 1 < rule_head() ? rule_head() : pos + 1; p < tail; p++) {
                Cell* c = block::node_cell(rules.node(), p);
                if (c->type() == TYPE_WORD && symbol::resolve(static_cast<int32_t>(c->data2)) == bar) {
                    pos = p;
                    match = true;
                    return S_NEXT;
                }
            }
            return S_LEAVE;
        }
        case S_COMPLETE: return complete();
        case S_COMMAND_RULE: {
            if (pos >= rule_tail()) {
                Keyword k = keyword_of_code(command_code());
                if (k != KW_NONE_) fire_keyword(err::script::parse_end, k);
                match = true;
                return S_AFTER;
            }
            value = rule_at(pos);
            return S_COMMAND_VALUE;
        }
        case S_COMMAND_VALUE:
            switch (value.type()) {
                case TYPE_BLOCK: enter(value, pos); return S_NEXT;
                case TYPE_WORD: after_command = true; return S_KEYWORD;
                case TYPE_INTEGER:
                case TYPE_PAREN:
                case TYPE_TYPESET:
                case TYPE_DATATYPE: return dispatch();
                default: {
                    // Under a repetition or a search every other value, set-words, get-words and
                    // paths included, is a literal to match; the other commands dispatch it.
                    int32_t code = command_code();
                    if (code == C_REPEAT || code == C_WHILE) {
                        Cell* counts = frame_triple(0);
                        match = match_repeat(value, counts->i1(), counts->i2());
                    } else if (code == C_TO || code == C_THRU) {
                        match = find_target(value, code == C_THRU);
                    } else {
                        return S_DISPATCH;
                    }
                    event(E_MATCH);
                    return finish_command();
                }
            }
        case S_DISPATCH: return dispatch();
        case S_KEYWORD: {
            Keyword k = keyword_of(&value);
            if (k != KW_NONE_ && k < kFirstModifier) return keyword(k);
            Cell w = value;
            value = var(w);
            if (value.type() == TYPE_UNSET) fire_copy(err::script::parse_rule, w);
            if (after_command) return value.type() == TYPE_WORD ? S_LITERAL : S_COMMAND_VALUE;
            if (value.type() == TYPE_WORD) fire_copy(err::script::parse_rule, value);
            return S_DISPATCH;
        }
        case S_LITERAL: {
            int32_t n = literal_at(value);
            match = n >= 0;
            if (match) set_in_index(in_index() + n);
            event(E_MATCH);
            return S_AFTER;
        }
        case S_END: return S_END;
    }
    return S_END;
}

void Engine::start() {
    if (has_callback) {
        Node fctx = callback.data1;
        int32_t slots = context::count(fctx);
        if (slots < 5) fire_copy(err::script::invalid_arg, callback);
        callback_locals = slots - 5;
    }
    Cell* r = stack::push_cell();
    set_cell(r, TYPE_NONE);
    result_index = stack::index_of(r);
    check_stack();
    block::append_cell(series_node(), &input);
    // The top rule block's frame names the rules block itself as its enclosing block.
    Cell t;
    set_cell(&t, TYPE_TRIPLE, static_cast<uint32_t>(-1), static_cast<uint32_t>(in_index()), static_cast<uint32_t>(remaining()));
    push3(none_value(), t, rules);
    pos = rule_head() - 1;
    match = true;
    event(E_PUSH);
    State s = S_NEXT;
    while (s != S_END) s = step(s);
    match = match && pos >= rule_tail() && at_end();
    event(E_END);
}

Cell Engine::result_value() {
    Cell* r = stack::bottom + result_index;
    if (collect_result && r->type() == TYPE_BLOCK) return *r;
    return logic_value(match);
}

}  // namespace

// ---- Interface ----

void init() {
    for (int k = 1; k < KW_COUNT; k++) keyword_symbols[k] = symbol::make(kKeywordText[k]);
    int32_t high = 0;
    for (int k = 1; k < KW_COUNT; k++) {
        int32_t s = symbol::resolve(keyword_symbols[k]);
        if (s > high) high = s;
    }
    keyword_map_size = high + 1;
    keyword_map = static_cast<uint8_t*>(runtime::allocate_zeroed(size_t(keyword_map_size)));
    for (int k = 1; k < KW_COUNT; k++) keyword_map[symbol::resolve(keyword_symbols[k])] = static_cast<uint8_t>(k);
    // Scripts see the keywords as words of the global context.
    for (int k = 1; k < KW_COUNT; k++) {
        Cell w;
        word::make_global(&w, keyword_symbols[k]);
    }
    for (int e = 0; e < E_COUNT; e++) {
        Cell w;
        word::make_global(&w, symbol::make(kEventText[e]));
        event_slots[e] = root::keep(&w);
    }
    callback_symbol = symbol::make("<parse-callback>");
    rules_slot = root::keep_node(block::make_node(100));
    series_slot = root::keep_node(block::make_node(8));
    rules_base = series_base = 0;
    // parse is native 40; the natives table is filled before this runs.
    natives::table[39] = native;
    for (uint32_t c = 0; c < 256; c++) fold_latin1[c] = case_folding::change(c, true);
    for (uint32_t c = 0; c < 256; c++) {
        latin1_partner[c] = static_cast<uint8_t>(c);
        for (uint32_t d = 0; d < 256; d++)
            if (d != c && fold_latin1[d] == fold_latin1[c]) latin1_partner[c] = static_cast<uint8_t>(d);
    }
}

int32_t rules_depth() { return rules_slot < 0 ? 0 : length_of(rules_node()); }
int32_t series_depth() { return series_slot < 0 ? 0 : length_of(series_node()); }

Cell* process(Cell* out, const Cell* input, const Cell* rules, int mode, int32_t limit, const Cell* callback) {
    uint8_t it = input->type();
    if (!types::any_block(it) && !types::any_string(it) && it != TYPE_BINARY) fire_copy(err::script::invalid_arg, *input);
    if (!types::any_block(rules->type())) fire_copy(err::script::invalid_arg, *rules);
    Level level;
    stack::Saved saved = stack::save();
    Engine engine(input, rules, mode, limit, callback);
    Cell result;
    try {
        engine.start();
        result = engine.result_value();
    } catch (const Stop&) {
        result = logic_value(engine.match);
    } catch (...) {
        level.leave();
        throw;
    }
    level.leave();
    stack::restore(saved);
    *out = result;
    return out;
}

void parse(const Cell* input_arg, const Cell* rules_arg, bool case_, const Cell* part, const Cell* callback_arg) {
    Cell input = *input_arg, rules = *rules_arg, callback;
    collector::Root keep_input(&input), keep_rules(&rules), keep_callback(&callback);
    if (callback_arg)
        callback = *callback_arg;
    else
        set_cell(&callback, TYPE_NONE);
    int32_t limit = -1;
    if (part) {
        int64_t at;
        if (part->type() == TYPE_INTEGER) {
            at = int64_t(input.index() > 0 ? input.index() : 0) + part->i1();
        } else if (part->type() == input.type() && part->node() == input.node()) {
            at = part->index();
        } else {
            Cell p = *part, w;
            word::make_global(&w, symbol::make("part"));
            fire(err::script::invalid_refine_arg, &w, &p);
        }
        // A limit at the head of the series or before it is no limit to the engine, which is
        // therefore not run: the answer is whether the input is empty from its position.
        if (at <= 0) {
            Cell* slot = stack::arguments;
            *slot = logic_value(units_of(input.node()) <= input.index());
            stack::top = slot + 1;
            return;
        }
        // A limit between the head and the input's position leaves nothing to match.
        limit = at > INT32_MAX ? INT32_MAX : static_cast<int32_t>(at);
    }
    bool interpreted = stack::eval_q(nullptr, false);
    Cell* slot = stack::arguments;
    stack::Saved saved = stack::save();
    try {
        process(slot, &input, &rules, case_ ? 2 : 0, limit, callback.type() == TYPE_FUNCTION ? &callback : nullptr);
    } catch (const Throw& t) {
        if (t.code >= codes::exit && t.code <= codes::brk && !interpreted) {
            // A compiled caller takes break, continue, return and exit from the pending code.
            runtime::sys.thrown = t.code;
            stack::restore(saved);
            set_cell(slot, TYPE_UNSET);
            stack::top = slot + 1;
            return;
        }
        throw;
    }
    stack::top = slot + 1;
}

void native(int check, const int32_t* refs) {
    Cell* args = stack::arguments;
    const Cell* part = refs[1] >= 0 ? args + refs[1] : nullptr;
    const Cell* callback = refs[2] >= 0 ? args + refs[2] : nullptr;
    if (check) {
        auto expect = [](const Cell* value, const char* arg) {
            Cell name, type, a;
            word::make_global(&name, symbol::make("parse"));
            datatype::make_at(&type, value->type());
            word::make_global(&a, symbol::make(arg));
            fire(err::script::expect_arg, &name, &type, &a);
        };
        uint8_t t = args[0].type();
        if (!(types::any_block(t) || types::any_string(t) || t == TYPE_BINARY)) expect(args, "input");
        if (args[1].type() != TYPE_BLOCK) expect(args + 1, "rules");
        if (part && !(types::number(part->type()) || types::series(part->type()))) expect(part, "length");
        if (callback && callback->type() != TYPE_FUNCTION) expect(callback, "callback");
    }
    parse(args, args + 1, refs[0] >= 0, part, callback);
}

}  // namespace parse
