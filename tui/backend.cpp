// The backend's state, its start-up, the side tables of widgets and event records, the fields of
// backend events and the print hooks.
#include "tui/backend.h"
#include "tui/loop.h"
#include "tui/render.h"
#include "tui/terminal.h"
#include "tui/widgets.h"

#include <cmath>
#include <cstdio>
#include <limits>

#include "datatypes/block.h"
#include "datatypes/char.h"
#include "datatypes/context.h"
#include "datatypes/event.h"
#include "datatypes/float.h"
#include "datatypes/integer.h"
#include "datatypes/object.h"
#include "datatypes/pair.h"
#include "datatypes/symbol.h"
#include "datatypes/tuple.h"
#include "datatypes/word.h"
#include "evaluator/interpreter.h"
#include "runtime/collector.h"
#include "runtime/fire.h"
#include "runtime/output.h"

namespace tui {

State state;

namespace {

// ---- Side tables ----
// An id is (generation << kSlotBits) | (slot + 1): a slot is reused under a new generation, so an
// old id never finds the record that took its place.

constexpr uint32_t kWidgetSlotBits = 18;
constexpr uint32_t kEventSlotBits = 16;

struct WidgetSlot {
    Widget* widget = nullptr;
    uint32_t generation = 1;
};
std::vector<WidgetSlot> widget_slots;
std::vector<uint32_t> free_widget_slots;

struct EventSlot {
    EventRecord record;
    uint32_t generation = 1;
    bool live = false;
};
std::vector<EventSlot> event_slots;
std::vector<uint32_t> free_event_slots;

template <uint32_t Bits>
uint32_t make_id(uint32_t slot, uint32_t generation) {
    return (generation << Bits) | (slot + 1);
}
template <uint32_t Bits>
bool split_id(uint32_t id, uint32_t& slot, uint32_t& generation) {
    uint32_t low = id & ((1u << Bits) - 1);
    if (low == 0) return false;
    slot = low - 1;
    generation = id >> Bits;
    return true;
}
template <uint32_t Bits>
uint32_t next_generation(uint32_t g) {
    g = (g + 1) & ((1u << (32 - Bits)) - 1);
    return g ? g : 1;
}

void mark_widget(Widget* w) {
    collector::mark_values(&w->ui, &w->ui + 1);
    collector::mark_values(&w->face, &w->face + 1);
}

void marker() {
    for_each_widget(mark_widget);
}


int32_t clamp_int(double v) {
    if (std::isnan(v)) return 0;
    if (v <= double(std::numeric_limits<int32_t>::min())) return std::numeric_limits<int32_t>::min();
    if (v >= double(std::numeric_limits<int32_t>::max())) return std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(v);
}

const symbol::Known kFlagAway("away"), kFlagDown("down"), kFlagMidDown("mid-down"), kFlagAltDown("alt-down"),
    kFlagAuxDown("aux-down"), kFlagControl("control"), kFlagShift("shift"), kFlagAlt("alt"),
    kFlagCommand("command");

}  // namespace

void ensure_marker_registered() {
    static bool registered = false;
    if (registered) return;
    registered = true;
    collector::add_marker(marker);
}

// ---- Widgets ----

Widget* widget_of(uint32_t id) {
    uint32_t slot, generation;
    if (!split_id<kWidgetSlotBits>(id, slot, generation) || slot >= widget_slots.size()) return nullptr;
    const WidgetSlot& s = widget_slots[slot];
    return s.widget && s.generation == generation ? s.widget : nullptr;
}

uint32_t add_widget(Widget* w) {
    ensure_marker_registered();
    uint32_t slot;
    if (!free_widget_slots.empty()) {
        slot = free_widget_slots.back();
        free_widget_slots.pop_back();
    } else {
        if (widget_slots.size() >= (1u << kWidgetSlotBits) - 1) return 0;
        slot = static_cast<uint32_t>(widget_slots.size());
        widget_slots.emplace_back();
    }
    w->id = make_id<kWidgetSlotBits>(slot, widget_slots[slot].generation);
    widget_slots[slot].widget = w;
    return w->id;
}

void remove_widget(Widget* w) {
    uint32_t slot, generation;
    if (w && split_id<kWidgetSlotBits>(w->id, slot, generation) && slot < widget_slots.size() &&
        widget_slots[slot].widget == w) {
        widget_slots[slot].widget = nullptr;
        widget_slots[slot].generation = next_generation<kWidgetSlotBits>(generation);
        free_widget_slots.push_back(slot);
    }
    if (w) w->id = 0;
}

Widget* new_widget() {
    Widget* w = new Widget();
    set_cell(&w->ui, TYPE_NONE);
    set_cell(&w->face, TYPE_NONE);
    if (!add_widget(w)) {
        delete w;
        fire(err::internal::no_memory);
    }
    return w;
}

static void forget_widget(std::vector<Widget*>& list, const Widget* w) {
    std::erase(list, w);
}

void free_widget(Widget* w) {
    if (!w || widget_of(w->id) != w) return;
    // Nothing may keep pointing at the record once it is gone.
    for (EventSlot& e : event_slots)
        if (e.live && e.record.widget == w) e.record.widget = nullptr;
    // Through the loop's own removal: a timer may be firing right now.
    auto owns_timer = [w] {
        for (const Timer* t : state.timers)
            if (t->owner == w) return true;
        return false;
    };
    while (owns_timer()) remove_timer(w);
    forget_widget(state.windows, w);
    forget_widget(state.pressed, w);
    if (state.focused == w) state.focused = nullptr;
    if (state.current_window == w) state.current_window = nullptr;
    if (state.under_pointer == w) state.under_pointer = nullptr;
    if (state.captured == w) state.captured = nullptr;
    for (Widget* win : state.windows)
        if (win->window && win->window->focused == w) win->window->focused = nullptr;
    for (const WidgetSlot& s : widget_slots)
        if (s.widget && s.widget->parent == w) s.widget->parent = nullptr;
    release_kind(w);
    delete w->window;
    remove_widget(w);
    delete w;
}

void for_each_widget(void (*fn)(Widget* w)) {
    for (const WidgetSlot& s : widget_slots)
        if (s.widget) fn(s.widget);
}

// ---- Event records ----

uint32_t new_event_record(const EventRecord& record) {
    uint32_t slot;
    if (!free_event_slots.empty()) {
        slot = free_event_slots.back();
        free_event_slots.pop_back();
    } else {
        if (event_slots.size() >= (1u << kEventSlotBits) - 1) fire(err::internal::no_memory);
        slot = static_cast<uint32_t>(event_slots.size());
        event_slots.emplace_back();
    }
    EventSlot& s = event_slots[slot];
    s.record = record;
    s.live = true;
    return make_id<kEventSlotBits>(slot, s.generation);
}

EventRecord* event_record(uint32_t id) {
    uint32_t slot, generation;
    if (!split_id<kEventSlotBits>(id, slot, generation) || slot >= event_slots.size()) return nullptr;
    EventSlot& s = event_slots[slot];
    return s.live && s.generation == generation ? &s.record : nullptr;
}

void free_event_record(uint32_t id) {
    if (!event_record(id)) return;
    uint32_t slot = (id & ((1u << kEventSlotBits) - 1)) - 1;
    EventSlot& s = event_slots[slot];
    s.live = false;
    s.generation = next_generation<kEventSlotBits>(s.generation);
    free_event_slots.push_back(slot);
}

// ---- Fields of backend events ----

Cell* event_face(const Cell* ev, Cell* out) {
    const EventRecord* r = event_record(ev->data2);
    if (!r || !r->widget) return set_cell(out, TYPE_NONE);
    *out = r->widget->face;
    return out;
}

Cell* event_window(const Cell*, Cell* out) { return set_cell(out, TYPE_NONE); }

Cell* event_offset(const Cell* ev, Cell* out) {
    const EventRecord* r = event_record(ev->data2);
    if (!r) return set_cell(out, TYPE_NONE);
    return pair::make_at(out, clamp_int(r->x), clamp_int(r->y));
}

Cell* event_key(const Cell* ev, Cell* out) {
    const EventRecord* r = event_record(ev->data2);
    if (!r) return set_cell(out, TYPE_NONE);
    if (ev->data3 & kEfSpecialKey) {
        const char* name = event::key_name(r->key);
        if (!name) return set_cell(out, TYPE_NONE);
        return word::make_global(out, symbol::make(name));
    }
    if (r->key < 0 || r->key > 0x10FFFF) return set_cell(out, TYPE_NONE);
    return char_::make_at(out, r->key);
}

Cell* event_picked(const Cell* ev, Cell* out) {
    const EventRecord* r = event_record(ev->data2);
    if (!r) return set_cell(out, TYPE_NONE);
    if (ev->i1() == kEvWheel) return float_::make_at(out, double(r->delta));
    return integer::make_at(out, r->key);
}

Cell* event_flags(const Cell* ev, Cell* out) {
    if (!event_record(ev->data2) && !event::made_q(ev)) return set_cell(out, TYPE_NONE);
    uint32_t bits = ev->data3;
    // A new block each time: a block kept from one event must not change with the next.
    Cell block;
    block::make_new(&block, 8);
    collector::Root keep(&block);
    Node b = block.node();
    struct Entry {
        const symbol::Known& word;
        uint32_t bit;
    };
    const Entry order[] = {{kFlagAway, kEfAway},       {kFlagDown, kEfDown},       {kFlagMidDown, kEfMidDown},
                           {kFlagAltDown, kEfAltDown}, {kFlagAuxDown, kEfAuxDown}, {kFlagControl, kEfControl},
                           {kFlagShift, kEfShift},     {kFlagAlt, kEfAlt},         {kFlagCommand, kEfCommand}};
    for (const Entry& e : order)
        if (bits & e.bit) word::make_in(e.word.id(), b);
    *out = block;
    return out;
}

bool event_flag_q(const Cell* ev, uint32_t bit) { return (ev->data3 & bit) != 0; }

// ---- Print hooks ----
// Raw mode leaves output processing on, so printed text needs no change of terminal mode: only
// the inline drawing has to make way for it.

void print_begin() {
    if (!state.gui_active) return;
    erase_inline();
    std::fflush(stdout);
    std::fflush(stderr);
}

void print_end() {
    if (!state.gui_active) return;
    output::flush();
    state.redraw = 1;
    // The answer (a cursor position report) tells the input decoder where the next frame starts.
    ask_cursor_position();
}

}  // namespace tui

namespace gui {

namespace {

void set_field(const Cell* obj, const char* name, const Cell* value) {
    int32_t i = context::find_word(obj->data1, symbol::make(name), true);
    if (i >= 0) *(object::get_values(obj) + i) = *value;
}

// The colour mode that the view engine's helper reads from the environment; 4 (true colour)
// while the helper is not there.
int32_t colour_mode() {
    Cell w;
    word::load(&w, "TUI-helpers");
    const Cell* helpers = word::peek(&w);
    if (!helpers || helpers->type() != TYPE_OBJECT) return 4;
    Cell obj = *helpers;
    int32_t i = context::find_word(obj.data1, symbol::make("check-color-support"), true);
    if (i < 0) return 4;
    Cell fn = *(object::get_values(&obj) + i);
    if (!types::any_function(fn.type())) return 4;
    collector::Root keep(&fn);
    Cell answer;
    set_cell(&answer, TYPE_NONE);
    collector::Root keep_answer(&answer);
    interpreter::call_with(&answer, &fn, nullptr, 0);
    return answer.type() == TYPE_INTEGER && int_of(&answer) == 2 ? 2 : 4;
}

struct FlagName {
    symbol::Known word;
    uint32_t bit;
};
const FlagName kFaceFlags[] = {
    {symbol::Known("all-over"), tui::kFfAllOver},     {symbol::Known("focusable"), tui::kFfFocusable},
    {symbol::Known("tri-state"), tui::kFfTriState},   {symbol::Known("scrollable"), tui::kFfScrollable},
    {symbol::Known("password"), tui::kFfPassword},    {symbol::Known("no-sync"), tui::kFfNoSync},
    {symbol::Known("fullscreen"), tui::kFfFullscreen}, {symbol::Known("popup"), tui::kFfPopup},
    {symbol::Known("modal"), tui::kFfModal},           {symbol::Known("resize"), tui::kFfResize},
    {symbol::Known("no-buttons"), tui::kFfNoButtons}, {symbol::Known("no-max"), tui::kFfNoMax},
    {symbol::Known("no-min"), tui::kFfNoMin},         {symbol::Known("no-title"), tui::kFfNoTitle},
    {symbol::Known("no-border"), tui::kFfNoBorder},
};

uint32_t flag_of(const Cell* w) {
    if (types::any_word(w->type()))
        for (const FlagName& f : kFaceFlags)
            if (f.word.is(w)) return f.bit;
    Cell v = *w;
    fire(err::script::invalid_arg, &v);
}

}  // namespace

uint32_t get_flags(const Cell* facet) {
    if (types::any_word(facet->type())) return flag_of(facet);
    if (facet->type() != TYPE_BLOCK) return 0;
    uint32_t bits = 0;
    int32_t n = block::rs_length_q(facet);
    for (int32_t i = 0; i < n; i++) bits |= flag_of(block::rs_head(facet) + i);
    return bits;
}

void init(const Cell* platform_in) {
    using tui::state;
    if (platform_in && platform_in->type() == TYPE_OBJECT) {
        Cell platform = *platform_in;
        collector::Root keep(&platform);
        const uint8_t version[3] = {10, 10, 10};
        Cell v;
        tuple::make_at(&v, version, 3);
        set_field(&platform, "version", &v);
        integer::make_at(&v, 1000);
        set_field(&platform, "build", &v);
        integer::make_at(&v, 0);
        set_field(&platform, "product", &v);
    }
    state.colour_mode = colour_mode();
    state.windows.reserve(4);
    state.pressed.reserve(16);
    state.output.reserve(2000);
    state.timers.reserve(8);
    state.input.reserve(100);
    tui::ensure_marker_registered();
    output::set_print_brackets(tui::print_begin, tui::print_end);
}

}  // namespace gui
