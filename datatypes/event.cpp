#include "datatypes/event.h"

#include "datatypes/block.h"
#include "datatypes/datatype.h"
#include "datatypes/integer.h"
#include "datatypes/logic.h"
#include "datatypes/char.h"
#include "datatypes/pair.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "runtime/collector.h"
#include "runtime/fire.h"
#include "runtime/stack.h"
#include "tui/backend.h"

namespace event {

namespace {

const symbol::Known kTypeWords[kTypeCount] = {
    symbol::Known("down"),      symbol::Known("up"),        symbol::Known("mid-down"),
    symbol::Known("mid-up"),    symbol::Known("alt-down"),  symbol::Known("alt-up"),
    symbol::Known("aux-down"),  symbol::Known("aux-up"),    symbol::Known("click"),
    symbol::Known("dbl-click"), symbol::Known("wheel"),     symbol::Known("over"),
    symbol::Known("key"),       symbol::Known("key-down"),  symbol::Known("key-up"),
    symbol::Known("ime"),       symbol::Known("focus"),     symbol::Known("unfocus"),
    symbol::Known("enter"),     symbol::Known("zoom"),      symbol::Known("pan"),
    symbol::Known("rotate"),    symbol::Known("two-tap"),   symbol::Known("press-tap"),
    symbol::Known("select"),    symbol::Known("change"),    symbol::Known("menu"),
    symbol::Known("close"),     symbol::Known("move"),      symbol::Known("resize"),
    symbol::Known("moving"),    symbol::Known("resizing"),  symbol::Known("time"),
    symbol::Known("drawing"),   symbol::Known("scroll"),    symbol::Known("minimize"),
    symbol::Known("maximize"),  symbol::Known("restore"),
};

// In field order: the accessor words of event!.
const symbol::Known kFieldWords[kFieldCount] = {
    symbol::Known("type"),     symbol::Known("face"),      symbol::Known("window"),
    symbol::Known("offset"),   symbol::Known("key"),       symbol::Known("picked"),
    symbol::Known("flags"),    symbol::Known("away?"),     symbol::Known("down?"),
    symbol::Known("mid-down?"), symbol::Known("alt-down?"), symbol::Known("aux-down?"),
    symbol::Known("ctrl?"),    symbol::Known("shift?"),    symbol::Known("orientation"),
};

// The bit that fields 8 to 14 test.
constexpr uint32_t kFieldBits[] = {kAway, kDown, kMidDown, kAltDown, kAuxDown, kControl, kShift};

struct FlagWord {
    symbol::Known word;
    uint32_t bit;
};
const FlagWord kFlagWords[] = {
    {symbol::Known("control"), kControl}, {symbol::Known("shift"), kShift},
    {symbol::Known("alt"), kAlt},         {symbol::Known("command"), kCommand},
    {symbol::Known("away"), kAway},       {symbol::Known("down"), kDown},
    {symbol::Known("mid-down"), kMidDown}, {symbol::Known("alt-down"), kAltDown},
    {symbol::Known("aux-down"), kAuxDown},
};

const symbol::Known kSpecType("type"), kSpecKey("key"), kSpecFlags("flags"), kSpecFace("face"),
    kSpecWindow("window"), kSpecOffset("offset"), kSpecPicked("picked");

// Cells of the record block of a made event.
enum RecordCell : int32_t { kRFace = 0, kRWindow, kROffset, kRPicked };

bool is_sym(const Cell* w, const symbol::Known& k) { return k.is(w); }

// A spec value: a word or get-word that has a value stands for that value.
Cell resolved(const Cell* v) {
    if (v->type() == TYPE_WORD || v->type() == TYPE_GET_WORD) {
        if (const Cell* value = word::peek(v)) return *value;
        Cell u;
        set_cell(&u, TYPE_UNSET);
        return u;
    }
    return *v;
}

uint32_t flag_bits(const Cell* block) {
    uint32_t bits = 0;
    int32_t n = block::rs_length_q(block);
    for (int32_t i = 0; i < n; i++) {
        const Cell* w = block::rs_head(block) + i;
        if (!types::any_word(w->type())) continue;
        for (const FlagWord& f : kFlagWords)
            if (is_sym(w, f.word)) bits |= f.bit;
    }
    return bits;
}

Cell* make(Cell* proto, Cell* spec, int) {
    Cell ev;
    set_cell(&ev, TYPE_EVENT);
    ev.header |= kMade;
    Cell record[4];
    bool have[4] = {false, false, false, false};
    if (spec->type() == TYPE_BLOCK) {
        Cell s = *spec;
        collector::Root keep_spec(&s);
        int32_t n = block::rs_length_q(&s);
        for (int32_t i = 0; i + 1 < n; i++) {
            Cell name = block::rs_head(&s)[i];
            if (name.type() != TYPE_SET_WORD) continue;
            Cell v = resolved(block::rs_head(&s) + i + 1);
            i++;
            if (is_sym(&name, kSpecType)) {
                if (v.type() == TYPE_WORD || v.type() == TYPE_LIT_WORD) ev.data1 = static_cast<uint32_t>(word_to_type(&v));
            } else if (is_sym(&name, kSpecKey)) {
                if (v.type() == TYPE_CHAR) ev.data3 = (ev.data3 & ~0xFFFFu) | (cp_of(&v) & 0xFFFFu);
            } else if (is_sym(&name, kSpecFlags)) {
                if (v.type() == TYPE_BLOCK) ev.data3 |= flag_bits(&v);
            } else if (is_sym(&name, kSpecFace) || is_sym(&name, kSpecWindow)) {
                int k = is_sym(&name, kSpecFace) ? kRFace : kRWindow;
                if (v.type() == TYPE_OBJECT) record[k] = v, have[k] = true;
            } else if (is_sym(&name, kSpecOffset)) {
                if (v.type() == TYPE_PAIR || v.type() == TYPE_POINT2D) record[kROffset] = v, have[kROffset] = true;
            } else if (is_sym(&name, kSpecPicked)) {
                if (v.type() == TYPE_INTEGER) record[kRPicked] = v, have[kRPicked] = true;
            }
        }
    }
    if (have[0] || have[1] || have[2] || have[3]) {
        if (!have[kRFace]) set_cell(&record[kRFace], TYPE_NONE);
        if (!have[kRWindow]) set_cell(&record[kRWindow], TYPE_NONE);
        if (!have[kROffset]) pair::make_at(&record[kROffset], 0, 0);
        if (!have[kRPicked]) integer::make_at(&record[kRPicked], 0);
        collector::Root k0(&record[0]), k1(&record[1]);
        Node b = block::make_node(4);
        for (const Cell& c : record) block::append_cell(b, &c);
        ev.data2 = b;
    }
    *proto = ev;
    return proto;
}

int form(const Cell*, Node buffer, const Cell*, int limit) {
    string::concatenate_literal_n(buffer, "event", 5);
    return limit - 5;
}

int mold(const Cell* value, Node buffer, bool, bool, bool, const Cell* part, int limit, int) {
    return form(value, buffer, part, limit);
}

Cell* eval_path(PathStep& step, Cell* out) {
    Cell none;
    set_cell(&none, TYPE_NONE);
    int n = types::any_word(step.element->type()) ? field_index(step.element, &none) : -1;
    if (n < 0) {
        Cell p = step.path ? *step.path : *step.value, e = *step.element;
        fire(err::script::invalid_path, &p, &e);
    }
    if (!step.store) return get_field(step.value, n, out);
    Cell p = step.path ? *step.path : *step.value;
    if (n != kFType) {
        Cell e = *step.element;
        fire(err::script::bad_path_set, &p, &e);
    }
    if (step.store->type() != TYPE_WORD && step.store->type() != TYPE_LIT_WORD) {
        Cell v = *step.store;
        fire(err::script::bad_path_set, &p, &v);
    }
    // The path walk stores the changed cell back where it was read from.
    step.value->data1 = static_cast<uint32_t>(word_to_type(step.store));
    *out = *step.store;
    return out;
}

void pick(const int32_t*) {
    Cell* a = stack::arguments;
    int n;
    if (types::any_word(a[1].type())) {
        n = field_index(a + 1, a);
    } else if (a[1].type() == TYPE_INTEGER && int_of(a + 1) >= 1 && int_of(a + 1) <= kFieldCount) {
        n = int_of(a + 1);
    } else {
        Cell i = a[1];
        fire(err::script::out_of_range, &i);
    }
    Cell ev = *a;
    collector::Root keep(&ev);
    Cell result;
    get_field(&ev, n, &result);
    *stack::arguments = result;
    stack::keep();
}

}  // namespace

const char* key_name(int32_t code) {
    static const char* const names[] = {"up",     "down",    "right",     "left",      "end",  "home",
                                        "insert", "delete",  "page-up",   "page-down", nullptr, "F1",
                                        "F2",     "F3",      "F4",        "F5",        "F6",   "F7",
                                        "F8",     "F9",      "F10",       "F11",       "F12"};
    if (code > -20 || code < -42) return nullptr;
    return names[-20 - code];
}

Cell* make_backend(Cell* out, int32_t type, uint32_t flags, uint32_t record) {
    return set_cell(out, TYPE_EVENT, static_cast<uint32_t>(type), record, flags);
}

Cell* push(const Cell* ev) { return stack::push(ev); }

Cell* type_to_word(Cell* out, int32_t code) {
    if (code < 1 || code > kTypeCount) return set_cell(out, TYPE_NONE);
    return word::make_global(out, kTypeWords[code - 1].id());
}

int32_t word_to_type(const Cell* w) {
    if (types::any_word(w->type()))
        for (int i = 0; i < kTypeCount; i++)
            if (is_sym(w, kTypeWords[i])) return i + 1;
    Cell v = *w;
    fire(err::script::not_event_type, &v);
}

int field_index(const Cell* w, const Cell* value) {
    for (int i = 0; i < kFieldCount; i++)
        if (is_sym(w, kFieldWords[i])) return i + 1;
    if (value && value->type() == TYPE_EVENT) {
        Cell a = *w, b = *value;
        fire(err::script::cannot_use, &a, &b);
    }
    return -1;
}

Cell* get_field(const Cell* ev_in, int n, Cell* out) {
    Cell ev = *ev_in;
    collector::Root keep(&ev);
    if (made_q(&ev)) {
        Node rec = ev.data2;
        switch (n) {
            case kFFace:
            case kFWindow:
                if (rec) return *out = *block::node_cell(rec, n == kFFace ? kRFace : kRWindow), out;
                return set_cell(out, TYPE_NONE);
            case kFOffset:
                if (rec) return *out = *block::node_cell(rec, kROffset), out;
                return pair::make_at(out, 0, 0);
            case kFKey:
                if (ev.data3 & 0xFFFFu) return char_::make_at(out, static_cast<int32_t>(ev.data3 & 0xFFFFu));
                return set_cell(out, TYPE_NONE);
            case kFPicked:
                if (rec) return *out = *block::node_cell(rec, kRPicked), out;
                return integer::make_at(out, 0);
            case kFOrientation: return set_cell(out, TYPE_NONE);
            default: break;
        }
    }
    switch (n) {
        case kFType: return type_to_word(out, static_cast<int32_t>(ev.data1));
        case kFFace: return tui::event_face(&ev, out);
        case kFWindow: return tui::event_window(&ev, out);
        case kFOffset: return tui::event_offset(&ev, out);
        case kFKey: return tui::event_key(&ev, out);
        case kFPicked: return tui::event_picked(&ev, out);
        case kFFlags: return tui::event_flags(&ev, out);
        case kFOrientation: return set_cell(out, TYPE_NONE);
        default: break;
    }
    if (n >= kFAway && n <= kFShift) return logic::make_at(out, (ev.data3 & kFieldBits[n - kFAway]) != 0);
    Cell i;
    integer::make_at(&i, n);
    fire(err::script::out_of_range, &i);
}

void init() {
    datatype::Row row;
    row.set(ACT_MAKE, make)
        .set(ACT_FORM, form)
        .set(ACT_MOLD, mold)
        .set(ACT_EVAL_PATH, eval_path)
        .set(ACT_COMPARE, datatype::compare_alike)
        .set(ACT_PICK, pick);
    datatype::register_row(TYPE_EVENT, 0, "event!", row);
}

}  // namespace event
