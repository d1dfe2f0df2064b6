// Face glue: the widget record of a face is made, brought up to date with the face's changed
// facets, and destroyed with its face. A face reaches its widget through the handle in state/1.
#include <algorithm>
#include <cmath>
#include <limits>
#include <unordered_set>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/handle.h"
#include "datatypes/image.h"
#include "datatypes/logic.h"
#include "datatypes/object.h"
#include "datatypes/pair.h"
#include "datatypes/point.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "runtime/collector.h"
#include "runtime/fire.h"
#include "tui/backend.h"
#include "tui/input.h"
#include "tui/loop.h"
#include "tui/render.h"
#include "tui/terminal.h"
#include "tui/widgets.h"

namespace gui {

using tui::state;
using tui::Widget;

namespace {

const symbol::Known kWindowType("window"), kScreenType("screen"), kTextListType("text-list"),
    kDropListType("drop-list"), kDropDownType("drop-down"), kFieldType("field"), kAreaType("area"),
    kDataWord("data"), kRemove("remove"), kTake("take"), kClear("clear"), kMove("move"), kMoved("moved"),
    kStateWord("state"), kPaneWord("pane"), kParentWord("parent"), kAutoSync("auto-sync?");

// A face! object has at least the facets up to draw.
bool face_q(const Cell* face) {
    return face->type() == TYPE_OBJECT && context::count(face->data1) > tui::kFDraw;
}

// The facet's cell; valid until the next allocation.
Cell* facet_at(const Cell* face, int i) { return object::get_values(face) + i; }

// A field of an object by name, or null.
Cell* field_of(const Cell* obj, const symbol::Known& name) {
    if (obj->type() != TYPE_OBJECT) return nullptr;
    int32_t i = context::find_word(obj->data1, name.id(), true);
    return i >= 0 ? object::get_values(obj) + i : nullptr;
}

bool word_is(const Cell* v, const symbol::Known& k) { return types::any_word(v->type()) && k.is(v); }

bool true_q(const Cell* v) { return v->type() == TYPE_LOGIC && v->data1 != 0; }

// A pair's integers or a point2D's floats; false for anything else.
bool xy_of(const Cell* v, float& x, float& y) {
    if (v->type() == TYPE_PAIR) {
        x = static_cast<float>(pair::x_of(v));
        y = static_cast<float>(pair::y_of(v));
        return true;
    }
    if (v->type() == TYPE_POINT2D) {
        x = point2D::coord(v, 0);
        y = point2D::coord(v, 1);
        return true;
    }
    return false;
}

Widget* window_of(Widget* w) {
    while (w && w->parent) w = w->parent;
    return w;
}

// Moves the focus flag quietly: at build time and from update-view no handler runs.
void focus_quietly(Widget* window, Widget* target) {
    tui::WindowRecord* rec = window ? window->window : nullptr;
    // Until a widget of the window has it, the focus rests on the window itself.
    Widget* old = rec && rec->focused ? rec->focused : window;
    if (old && old != target) old->flags &= ~tui::kHasFocus;
    if (rec) rec->focused = target;
    if (target) target->flags |= tui::kHasFocus;
    if (state.focused == old || !state.focused || window == state.current_window) state.focused = target;
}

void grow_bounds(Widget* window, const Widget* w) {
    tui::WindowRecord* rec = window->window;
    if (!rec) return;
    rec->x1 = std::min(rec->x1, w->x1);
    rec->y1 = std::min(rec->y1, w->y1);
    rec->x2 = std::max(rec->x2, w->x2);
    rec->y2 = std::max(rec->y2, w->y2);
}

// Reads the size facet into the widget's rectangle at its offset.
void apply_size(Widget* w, const Cell* size) {
    float width = 0, height = 0;
    if (size->type() == TYPE_PAIR) w->flags |= tui::kSizeGiven;
    xy_of(size, width, height);
    w->x2 = w->x1 + width;
    w->y2 = w->y1 + height;
}

void apply_face_flags(Widget* w, uint32_t flags) {
    auto set = [&](uint32_t face_bit, uint32_t widget_bit) {
        if (flags & face_bit)
            w->flags |= widget_bit;
        else
            w->flags &= ~widget_bit;
    };
    set(tui::kFfAllOver, tui::kAllOver);
    set(tui::kFfPassword, tui::kWPassword);
}

// Removes every cell of a block that is the object of a context.
void remove_object(Node blk, Node ctx) {
    for (int32_t i = block::node_length(blk) - 1; i >= 0; i--) {
        const Cell* c = block::node_cell(blk, i);
        if (c->type() != TYPE_OBJECT || c->data1 != ctx) continue;
        SeriesBuf* b = memory::nodes[blk];
        Cell* at = cells_head(b) + i;
        std::memmove(at, at + 1, (b->length() - uint32_t(i) - 1) * sizeof(Cell));
        b->tail -= sizeof(Cell);
    }
}

// Sets system/view/auto-sync? to false while the widget's update handler runs.
class NoSync {
public:
    NoSync() {
        Cell w;
        word::load(&w, "system");
        const Cell* sys = word::peek(&w);
        if (!sys || sys->type() != TYPE_OBJECT) return;
        static const symbol::Known kView("view");
        Cell* view = field_of(sys, kView);
        if (!view || view->type() != TYPE_OBJECT) return;
        view_ = *view;
        Cell* sync = field_of(&view_, kAutoSync);
        if (!sync) return;
        saved_ = *sync;
        active_ = true;
        logic::make_at(sync, false);
    }
    ~NoSync() {
        if (!active_) return;
        if (Cell* sync = field_of(&view_, kAutoSync)) *sync = saved_;
    }
    NoSync(const NoSync&) = delete;
    NoSync& operator=(const NoSync&) = delete;

private:
    Cell view_{};
    Cell saved_{};
    bool active_ = false;
    collector::Root keep_view_{&view_};
    collector::Root keep_saved_{&saved_};
};

// `open` holds the widgets whose destruction is under way: a face found again in its own pane
// (directly or further down) is left to the call that is already destroying it.
void destroy_tree(const Cell* face_in, std::vector<Widget*>& open) {
    Cell face = *face_in;
    collector::Root keep(&face);
    Widget* w = face_handle_q(&face);
    if (!w || std::find(open.begin(), open.end(), w) != open.end()) return;
    open.push_back(w);
    // Out of its font's and para's parent lists.
    for (int i : {static_cast<int>(tui::kFFont), static_cast<int>(tui::kFPara)}) {
        Cell owner = *facet_at(&face, i);
        Cell* parents = field_of(&owner, kParentWord);
        if (!parents || parents->type() != TYPE_BLOCK) continue;
        Node blk = parents->node();
        remove_object(blk, face.data1);
        if (i == tui::kFFont && block::node_length(blk) == 0)
            if (Cell* st = field_of(&owner, kStateWord)) set_cell(st, TYPE_NONE);
    }
    Cell pane = *facet_at(&face, tui::kFPane);
    if (pane.type() == TYPE_BLOCK) {
        collector::Root keep_pane(&pane);
        for (int32_t i = 0; i < block::rs_length_q(&pane); i++) {
            Cell child = block::rs_head(&pane)[i];
            if (face_q(&child)) destroy_tree(&child, open);
        }
    }
    open.pop_back();
    // The face's own widget may have been reached through its pane: look it up again.
    w = face_handle_q(&face);
    if (w) {
        bool was_window = std::find(state.windows.begin(), state.windows.end(), w) != state.windows.end();
        tui::free_widget(w);
        if (was_window && !state.windows.empty()) OS_show_window(state.windows.back());
    }
    set_cell(facet_at(&face, tui::kFState), TYPE_NONE);
}

// Caret widgets of a subtree now counted in another window; `seen` holds the widgets already
// visited, so that a face found again in its own pane is counted once.
void count_carets(const Cell* face_in, tui::WindowRecord* rec, std::unordered_set<Widget*>& seen) {
    Cell face = *face_in;
    collector::Root keep(&face);
    Widget* w = face_handle_q(&face);
    if (!w || !seen.insert(w).second) return;
    if (w->flags & tui::kShowsCaret) rec->carets++;
    Cell pane = *facet_at(&face, tui::kFPane);
    if (pane.type() != TYPE_BLOCK) return;
    collector::Root keep_pane(&pane);
    for (int32_t i = 0; i < block::rs_length_q(&pane); i++) {
        Cell child = block::rs_head(&pane)[i];
        if (face_q(&child)) count_carets(&child, rec, seen);
    }
}

// Faces moved into the owner's pane from another pane keep their widgets: those widgets now
// belong to the owner's, so that redraws, the focus and the keys go to the window that shows them.
void adopt_moved(const Cell* owner, Widget* parent, int32_t index, int32_t part) {
    Cell pane = *facet_at(owner, tui::kFPane);
    if (pane.type() != TYPE_BLOCK) return;
    collector::Root keep_pane(&pane);
    Widget* win = window_of(parent);
    for (int32_t i = std::max(index, 0); i < index + part; i++) {
        SeriesBuf* b = pane.buffer();
        if (uint32_t(i) >= b->length()) break;
        Cell child = cells_head(b)[i];
        Widget* w = face_handle_q(&child);
        if (!w || w == parent || w->parent == parent) continue;
        // A widget cannot hold one of its own ancestors.
        bool cycle = false;
        for (Widget* up = parent; up; up = up->parent)
            if (up == w) cycle = true;
        if (cycle) continue;
        Widget* old_win = window_of(w);
        w->parent = parent;
        if (parent == win) grow_bounds(win, w);
        if (old_win == win || !win->window) continue;
        // The window it left forgets it as the focused widget; the new one counts its carets.
        if (old_win && old_win->window) {
            Widget* f = old_win->window->focused;
            while (f && f != w) f = f->parent;
            if (f) old_win->window->focused = nullptr;
        }
        std::unordered_set<Widget*> seen;
        count_carets(&child, win->window, seen);
    }
}

}  // namespace

Widget* face_handle_q(const Cell* face) {
    if (!face_q(face)) return nullptr;
    const Cell* st = facet_at(face, tui::kFState);
    if (st->type() != TYPE_BLOCK || block::rs_length_q(st) < 1) return nullptr;
    const Cell* h = block::rs_head(st);
    if (h->type() != TYPE_HANDLE) return nullptr;
    return tui::widget_of(static_cast<uint32_t>(handle::value_of(h)));
}

Widget* get_face_handle(const Cell* face) {
    const Cell* h = block::rs_head(facet_at(face, tui::kFState));
    return tui::widget_of(static_cast<uint32_t>(h->data2));
}

Widget* OS_make_view(const Cell* face_in, Widget* parent) {
    Cell face = *face_in;
    collector::Root keep(&face);
    if (!face_q(&face)) fire(err::script::invalid_arg, &face);
    uint32_t face_flags = get_flags(facet_at(&face, tui::kFFlags));
    Cell* offset = facet_at(&face, tui::kFOffset);
    if (offset->type() == TYPE_PAIR)
        point2D::make_at(offset, static_cast<float>(pair::x_of(offset)), static_cast<float>(pair::y_of(offset)));
    uint32_t flags = 0;
    if (face_flags & tui::kFfFocusable) flags |= tui::kFocusable;
    if (face_flags & tui::kFfAllOver) flags |= tui::kAllOver;
    if (face_flags & tui::kFfPassword) flags |= tui::kWPassword;
    if (face_flags & tui::kFfFullscreen) flags |= tui::kFullScreen;
    if (!true_q(facet_at(&face, tui::kFVisible))) flags |= tui::kWHidden;
    if (!true_q(facet_at(&face, tui::kFEnabled))) flags |= tui::kDisabled;
    const Cell* type = facet_at(&face, tui::kFType);
    bool window = word_is(type, kWindowType);
    if (window) pair::make_at(facet_at(&face, tui::kFOffset), 0, 0);
    int32_t type_symbol = types::any_word(type->type()) ? static_cast<int32_t>(type->data2) : 0;

    Widget* w = tui::new_widget();
    // A face the kind or the rate refuses leaves no widget behind.
    try {
        w->parent = parent;
        w->flags = flags;
        w->type = type_symbol;
        xy_of(facet_at(&face, tui::kFOffset), w->x1, w->y1);
        apply_size(w, facet_at(&face, tui::kFSize));
        w->face = face;
        const uint32_t parent_id = parent ? parent->id : 0;
        tui::setup_kind(w);
        // The kind's set-up runs script code (the widget texts), which may have closed the
        // window being built: the widget then has no parent left to join.
        if (parent && tui::widget_of(parent_id) != parent) {
            parent = nullptr;
            w->parent = nullptr;
        }

        if (parent) {
            Widget* win = window_of(parent);
            if (parent == win) grow_bounds(win, w);
            if (win->window) {
                if (w->flags & tui::kShowsCaret) win->window->carets++;
                if ((w->flags & tui::kFocusable) && !win->window->focused) focus_quietly(win, w);
                // A face that the layout gave the focus (the window's selected) keeps it
                // over the first focusable one.
                const Cell* sel = facet_at(&win->face, tui::kFSelected);
                if (sel->type() == TYPE_OBJECT && sel->data1 == face.data1) focus_quietly(win, w);
            }
            const Cell* img = facet_at(&face, tui::kFImage);
            if (img->type() == TYPE_IMAGE) {
                Cell copy = *img;
                collector::Root keep_image(&copy);
                tui::draw_image(w, &copy);
            }
        }
        if (facet_at(&face, tui::kFRate)->type() != TYPE_NONE) {
            Cell rate = *facet_at(&face, tui::kFRate);
            tui::set_rate(w, &rate);
        }
    } catch (...) {
        tui::free_widget(w);
        throw;
    }
    return w;
}

void OS_update_view(const Cell* face_in) {
    Cell face = *face_in;
    collector::Root keep(&face);
    if (!face_q(&face) || facet_at(&face, tui::kFState)->type() != TYPE_BLOCK) return;
    Widget* w = face_handle_q(&face);
    if (!w) return;
    const Cell* st = facet_at(&face, tui::kFState);
    uint32_t bits = block::rs_length_q(st) >= 2 && block::rs_head(st)[1].type() == TYPE_INTEGER
                        ? block::rs_head(st)[1].data1
                        : 0;
    if (bits & 0x10000) {
        Cell rate = *facet_at(&face, tui::kFRate);
        tui::set_rate(w, &rate);
    }
    if (bits & 0x2) {
        float x = 0, y = 0;
        if (xy_of(facet_at(&face, tui::kFOffset), x, y)) {
            float width = w->x2 - w->x1, height = w->y2 - w->y1;
            w->x1 = x, w->y1 = y, w->x2 = x + width, w->y2 = y + height;
        }
    }
    if (bits & 0x4) {
        apply_size(w, facet_at(&face, tui::kFSize));
        if (w->window) {
            w->window->x1 = w->x1, w->window->y1 = w->y1;
            w->window->x2 = w->x2, w->window->y2 = w->y2;
        }
    }
    // A focus moved in the window on screen (set-focus, Tab) is told to both widgets, as a click
    // tells it; that is done last, once the widget is up to date, since actors run then.
    Widget* focus_to = nullptr;
    uint32_t focus_id = 0, window_id = 0;
    if (bits & 0x400) {
        const Cell* sel = facet_at(&face, tui::kFSelected);
        if (w->window && (sel->type() == TYPE_NONE || face_q(sel))) {
            Widget* target = sel->type() == TYPE_NONE ? nullptr : face_handle_q(sel);
            if (!target) target = w;
            if (w == state.current_window && state.focused != target) {
                focus_to = target;
                focus_id = target->id;
                window_id = w->id;
            } else {
                focus_quietly(w, target);
            }
        }
    }
    if (bits & 0x100) {
        if (true_q(facet_at(&face, tui::kFEnabled)))
            w->flags &= ~tui::kDisabled;
        else
            w->flags |= tui::kDisabled;
    }
    if (bits & 0x200) {
        if (true_q(facet_at(&face, tui::kFVisible)))
            w->flags &= ~tui::kWHidden;
        else
            w->flags |= tui::kWHidden;
    }
    if (bits & 0x800) apply_face_flags(w, get_flags(facet_at(&face, tui::kFFlags)));
    if (bits & 0x10) {
        const Cell* img = facet_at(&face, tui::kFImage);
        if (img->type() == TYPE_IMAGE) {
            Cell copy = *img;
            collector::Root keep_image(&copy);
            tui::draw_image(w, &copy);
        } else {
            delete w->image;
            w->image = nullptr;
        }
    }
    if (w->update) {
        NoSync no_sync;
        w->update(w);
    }
    // The handler may have destroyed the face's view.
    if ((w = face_handle_q(&face))) tui::mark_redraw(w);
    st = facet_at(&face, tui::kFState);
    if (st->type() == TYPE_BLOCK && block::rs_length_q(st) >= 2 && block::rs_head(st)[1].type() == TYPE_INTEGER)
        block::rs_head(st)[1].data1 = 0;
    Widget* window = tui::widget_of(window_id);
    if (focus_to && window && tui::widget_of(focus_id) == focus_to && window == state.current_window)
        tui::set_focus(focus_to, window->window);
}

void OS_update_facet(const Cell* owner_in, const Cell* word, const Cell*, const Cell* action, const Cell* new_,
                     int32_t index, int32_t part) {
    (void)new_;
    Cell owner = *owner_in;
    collector::Root keep(&owner);
    Widget* w = face_handle_q(&owner);
    if (w && word_is(word, kDataWord)) {
        const Cell* type = facet_at(&owner, tui::kFType);
        const Cell* data = facet_at(&owner, tui::kFData);
        if (word_is(type, kTextListType) && data->type() == TYPE_BLOCK &&
            (word_is(action, kRemove) || word_is(action, kTake) || word_is(action, kClear) || word_is(action, kMove))) {
            int32_t length = block::rs_length_q(data);
            if (index < w->scroll) w->scroll = index;
            if (index == 0 && part >= length) w->scroll = 0;
            Cell* sel = facet_at(&owner, tui::kFSelected);
            if (sel->type() == TYPE_INTEGER) {
                int64_t limit = std::max<int64_t>(0, int64_t(length) - part);
                if (int_of(sel) > limit) sel->data1 = static_cast<uint32_t>(static_cast<int32_t>(limit));
            }
        } else if ((word_is(type, kDropListType) || word_is(type, kDropDownType)) && part == 0) {
            return;
        }
    }
    if (w && word_is(word, kPaneWord) && word_is(action, kMoved)) adopt_moved(&owner, w, index, part);
    OS_update_view(&owner);
}

void OS_destroy_view(const Cell* face, bool empty) {
    std::vector<Widget*> open;
    destroy_tree(face, open);
    if (!state.windows.empty() && state.current_window) tui::mark_redraw(state.current_window);
    // A window that a waiting loop runs on (its state/4): closing it ends that loop.
    if (empty) post_quit_msg();
}

void update_font(const Cell* font, int32_t code) {
    if (code == 0 || code == 1 || code == 2 || code == 3 || code == 5)
        if (Cell* st = field_of(font, kStateWord)) set_cell(st, TYPE_NONE);
}

void update_para(const Cell* face, int32_t) {
    if (!face_q(face)) return;
    Cell* st = facet_at(face, tui::kFState);
    if (st->type() != TYPE_BLOCK || block::rs_length_q(st) < 2) return;
    Cell* bits = block::rs_head(st) + 1;
    if (bits->type() == TYPE_INTEGER) bits->data1 |= 0x40000;
}

void OS_show_window(Widget* window) {
    if (!window) return;
    // Showing the window that is already current again (a script's show, the dragging
    // handler's show of the parent) keeps the pointer state: a press or a drag goes on.
    bool same = state.current_window == window;
    state.current_window = window;
    tui::WindowRecord* rec = window->window;
    Widget* target = rec && rec->focused ? rec->focused : window;
    if (state.focused && state.focused != target) state.focused->flags &= ~tui::kHasFocus;
    state.focused = target;
    target->flags |= tui::kHasFocus;
    if ((!rec || rec->carets == 0) && state.gui_active) tui::cursor_hide();
    if (!same) {
        state.under_pointer = nullptr;
        state.captured = nullptr;
        state.pressed.clear();
    }
    state.redraw = 1;
}

void OS_refresh_window(Widget* w) { tui::mark_redraw(w); }
void OS_redraw(Widget* w) { tui::mark_redraw(w); }

}  // namespace gui
