#include "tui/input.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/event.h"
#include "datatypes/symbol.h"
#include "evaluator/interpreter.h"
#include "runtime/collector.h"
#include "runtime/runtime.h"
#include "runtime/stack.h"
#include "runtime/unicode.h"
#include "tui/loop.h"
#include "tui/terminal.h"

namespace tui {

namespace {

const symbol::Known sym_system("system"), sym_view("view"), sym_awake("awake"), sym_done("done"),
    sym_pane("pane");

// A queued sequence that grows past this without ending is dropped: a terminal that never
// finishes a string must not make the queue grow without bound.
constexpr int32_t kMaxPending = 4096;
// Parameters of a control sequence beyond this saturate instead of overflowing.
constexpr int32_t kMaxParameter = 1 << 20;

bool alive(const Widget* w, uint32_t id) { return w && widget_of(id) == w; }

bool has_face(const Widget* w) { return w->face.type() == TYPE_OBJECT; }

// The position of w relative to the window that holds it.
void offset_in_window(const Widget* w, float& x, float& y) {
    x = 0;
    y = 0;
    for (; w && w->parent; w = w->parent) {
        x += w->x1;
        y += w->y1;
    }
}

bool is_ancestor(const Widget* a, const Widget* b) {
    for (const Widget* p = b->parent; p; p = p->parent)
        if (p == a) return true;
    return false;
}

bool ancestor_or_sibling(const Widget* a, const Widget* b) {
    return is_ancestor(a, b) || (a != b && a->parent && a->parent == b->parent);
}

// ---- Keys ----

int32_t key_of_tilde(int32_t n) {
    switch (n) {
        case 3: return kKeyDelete;
        case 5: return kKeyPageUp;
        case 6: return kKeyPageDown;
        case 15: return -35;
        case 17: return -36;
        case 18: return -37;
        case 19: return -38;
        case 20: return -39;
        case 21: return -40;
        case 23: return -41;
        case 24: return -42;
        default: return 0;
    }
}

int32_t key_of_final(uint8_t final) {
    switch (final) {
        case 'A': return kKeyUp;
        case 'B': return kKeyDown;
        case 'C': return kKeyRight;
        case 'D': return kKeyLeft;
        case 'F': return kKeyEnd;
        case 'H': return kKeyHome;
        case 'Z': return kKeyBackTab;
        default: return 0;
    }
}

// ---- Mouse ----

struct Dispatched {
    int32_t handled = 0;     // some widget's awake answered done
    bool click_done = false;  // a click (or double-click) was answered done
    bool dbl_sent = false;    // a double-click was sent
};

Dispatched dispatch_button(int32_t type, Widget* w, float x, float y, uint32_t flags) {
    Dispatched r;
    uint32_t id = w->id;
    Widget* child = hit_test(w, x, y);
    if (child) {
        r = dispatch_button(type, child, x - child->x1, y - child->y1, flags);
        if (!alive(w, id)) return r;
    } else if (type == kEvUp && (w->flags & kFocusable) && !(w->flags & kHasFocus)) {
        set_focus(w);
        if (!alive(w, id)) return r;
    }
    if (!r.handled) r.handled = send_mouse_event(type, w, x, y, flags);
    if (!alive(w, id)) return r;
    if (type == kEvDown) {
        state.pressed.push_back(w);
    } else if (type == kEvUp && !r.click_done &&
               std::find(state.pressed.begin(), state.pressed.end(), w) != state.pressed.end()) {
        bool dbl = r.dbl_sent || (state.click_state == 2 && state.dbl_click_counter < 500);
        int32_t done = send_mouse_event(kEvClick, w, x, y, flags);
        if (dbl && alive(w, id)) {
            state.click_state = 10;
            done |= send_mouse_event(kEvDblClick, w, x, y, flags);
            r.dbl_sent = true;
        }
        if (done) r.click_done = true;
    }
    return r;
}

void button_event(int32_t type, Widget* window, float x, float y, uint32_t flags) {
    if (type == kEvDown) state.captured = state.under_pointer;
    dispatch_button(type, window, x, y, flags);
    if (type != kEvUp) return;
    Widget* cap = state.captured;
    if (cap && (cap->flags & kAway)) {
        cap->flags &= ~uint32_t(kAway);
        float cx, cy;
        offset_in_window(cap, cx, cy);
        send_mouse_event(kEvUp, cap, x - cx, y - cy, flags);
    }
    state.captured = nullptr;
    state.pressed.clear();
    state.click_state = state.click_state == 10 ? 0 : 2;
    state.dbl_click_counter = 0;
}

void over_event(Widget* w, float x, float y, uint32_t flags) {
    uint32_t id = w->id;
    if (!state.under_pointer) {
        send_mouse_event(kEvOver, w, x, y, flags);
        if (!alive(w, id)) return;
    }
    if (Widget* child = hit_test(w, x, y)) {
        over_event(child, x - child->x1, y - child->y1, flags);
        return;
    }
    Widget* old = state.under_pointer;
    bool inside = old == w;
    if (!inside) {
        if (old) {
            // Decided before the old widget hears that it is left: its actor may destroy it.
            bool entering = ancestor_or_sibling(old, w);
            if (ancestor_or_sibling(w, old)) {
                if (old == state.captured) old->flags |= kAway;
                send_mouse_event(kEvOver, old, state.last_x, state.last_y, flags | kEfAway);
                if (!alive(w, id)) return;
            }
            if (entering) {
                w->flags &= ~uint32_t(kAway);
                send_mouse_event(kEvOver, w, x, y, flags);
                if (!alive(w, id)) return;
            }
        }
        state.under_pointer = w;
    }
    state.last_x = x;
    state.last_y = y;
    if (inside && (w->flags & kAllOver)) send_mouse_event(kEvOver, w, x, y, flags);
}

int32_t wheel_event(Widget* w, float delta, float x, float y, uint32_t flags) {
    uint32_t id = w->id;
    int32_t done = 0;
    if (Widget* child = hit_test(w, x, y)) {
        done = wheel_event(child, delta, x - child->x1, y - child->y1, flags);
        if (!alive(w, id)) return done;
    }
    if (done || !has_face(w) || (w->flags & kDisabled)) return done;
    EventRecord rec;
    rec.widget = w;
    rec.x = x;
    rec.y = y;
    rec.delta = delta;
    return call_awake(kEvWheel, &rec, flags);
}

void mouse_report(int32_t b, int32_t column, int32_t row, bool release) {
    Widget* window = state.current_window;
    if (!window) return;
    float x = float(column - 1);
    float y = float(row - state.origin_row - 1);
    int32_t kind = (b & 3) | ((b & 64) >> 4);
    uint32_t flags = uint32_t((b >> 2) & 3) * kEfShift;
    if (b & 16) flags |= kEfControl;
    if (kind <= 2) {
        int32_t rel = release ? 1 : 0;
        if (rel != state.button_state) {
            state.button_state = rel;
            button_event(kind * 2 + rel + 1, window, x, y, flags);
            return;
        }
        flags |= kEfDown;
        kind = 3;
    }
    if (kind == 3) {
        uint32_t wid = window->id;
        over_event(window, x, y, flags);
        Widget* cap = state.captured;
        if (alive(window, wid) && cap && (cap->flags & kAway) && (cap->flags & kAllOver)) {
            float cx, cy;
            offset_in_window(cap, cx, cy);
            send_mouse_event(kEvOver, cap, x - cx, y - cy, flags);
        }
    } else if (kind == 4 || kind == 5) {
        wheel_event(window, kind == 4 ? 1.0f : -1.0f, x, y, flags);
    }
}

// ---- Decoding ----

enum class Seq { done, incomplete };

// A control sequence: input[i] is the byte after "\e[". Sets i past the sequence.
Seq control_sequence(size_t& i) {
    const std::vector<uint8_t>& in = state.input;
    int32_t params[4];
    int32_t count = 0;
    int32_t current = 0;
    bool digits = false;
    bool marker = false;
    for (;;) {
        if (i >= in.size()) return Seq::incomplete;
        uint8_t c = in[i++];
        if (c == 27) return Seq::done;  // abandoned, the escape dropped with it
        if (c == '<') {
            marker = true;
        } else if (c >= '0' && c <= '9') {
            current = std::min(current * 10 + (c - '0'), kMaxParameter);
            digits = true;
        } else if (c == ';') {
            if (count < 4) params[count++] = current;
            current = 0;
            digits = false;
        } else if (c >= 64 && c <= 126 && c != '[') {
            if ((digits || count > 0) && count < 4) params[count++] = current;
            state.read_index = int32_t(i);  // past the sequence before an actor can run
            if (c == 'M' || c == 'm') {
                if (count == 3) mouse_report(params[0], params[1], params[2], c == 'm');
            } else if (c == 'R') {
                if (state.report_pending > 0) state.report_pending--;
                if (count == 2) {
                    state.origin_row = params[0] - 1;
                    state.origin_column = params[1] - 1;
                }
            } else if (!marker) {
                int32_t key = 0;
                if (c == '~' && count == 1) key = key_of_tilde(params[0]);
                else if (count == 0) key = key_of_final(c);
                if (key) send_key(nullptr, 0, key);
            }
            return Seq::done;
        }
    }
}

// A string ended by "\e\\" (device control, operating system command).
Seq skip_string(size_t& i) {
    const std::vector<uint8_t>& in = state.input;
    for (; i + 1 < in.size(); i++) {
        if (in[i] == 27 && in[i + 1] == '\\') {
            i += 2;
            return Seq::done;
        }
    }
    return Seq::incomplete;
}

// input[i] is an escape character that is not the whole queue.
Seq escape_sequence(size_t& i) {
    const std::vector<uint8_t>& in = state.input;
    size_t j = i + 1;
    if (j >= in.size()) return Seq::incomplete;
    uint8_t c = in[j++];
    Seq s = Seq::done;
    if (c == '[') {
        s = control_sequence(j);
    } else if (c == 'P' || c == ']') {
        s = skip_string(j);
    } else if (c == 'O') {
        if (j >= in.size()) return Seq::incomplete;
        uint8_t f = in[j++];
        state.read_index = int32_t(j);
        if (f >= 'P' && f <= 'S') send_key(nullptr, 0, -31 - (f - 'P'));
    }
    // Any other pair (an Alt chord) names no key and is dropped.
    if (s == Seq::done) i = j;
    return s;
}

// Decodes one UTF-8 character at input[i]. Answers the code point and its length, -1 when the
// queue ends inside a sequence that more bytes may complete, -2 for a byte that starts no valid
// sequence.
int32_t utf8_at(size_t i, size_t& length) {
    const std::vector<uint8_t>& in = state.input;
    uint8_t b = in[i];
    int size = b < 0x80 ? 1 : unicode::utf8_lead_size(b);
    if (size == 0) return -2;
    size_t have = std::min(in.size() - i, size_t(size));
    for (size_t k = 1; k < have; k++)
        if ((in[i + k] & 0xC0) != 0x80) return -2;
    if (have < size_t(size)) return -1;
    int32_t cp;
    const uint8_t* p = in.data() + i;
    unicode::fast_decode_utf8_char(p, p + size, &cp);
    if (cp < 0) return -2;
    length = size_t(size);
    return cp;
}

}  // namespace

int32_t poll_input(bool drain) {
    if (!state.gui_active) return 0;
    if (take_resumed()) {
        // The shell wrote its own text meanwhile: the inline drawing starts again where the
        // cursor is now, and every frame is drawn whole.
        state.cursor_row = 0;
        state.drawn_inline = 0;
        state.redraw = 1;
        if (!state.alternate_screen) ask_cursor_position();
    }
    if (console_size_changed()) console_resized();
    int fd = input_fd();
    int32_t total = 0;
    uint8_t buf[512];
    for (;;) {
        pollfd pfd{fd, POLLIN, 0};
        int r = poll(&pfd, 1, 0);
        if (r <= 0 || !(pfd.revents & POLLIN)) break;
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        total += int32_t(n);
        if (!drain) state.input.insert(state.input.end(), buf, buf + n);
        if (size_t(n) < sizeof buf) break;
    }
    return total;
}

void empty_input() {
    state.input.clear();
    state.incomplete = 0;
    state.read_index = 0;
}

void decode_input() {
    state.incomplete = 0;
    if (size_t(state.read_index) >= state.input.size()) {
        empty_input();
        return;
    }
    // The read index passes each key before it is sent: an actor that waits runs a nested frame,
    // which decodes from here, and must neither see that key again nor lose the ones after it.
    // A nested loop empties the queue when it ends, which ends this one too.
    while (size_t(state.read_index) < state.input.size()) {
        size_t n = state.input.size();
        size_t i = size_t(state.read_index);
        size_t start = i;
        uint8_t b = state.input[i];
        if (n > 1 && b == 27) {
            if (escape_sequence(i) == Seq::incomplete) state.incomplete = 1;
            else if (state.read_index == int32_t(start) && i <= state.input.size())
                state.read_index = int32_t(i);  // sent nothing (or a nested loop emptied the queue)
        } else if (b < 32 || b == 127) {
            state.read_index = int32_t(i + 1);
            send_key(nullptr, b == 8 ? 127 : b == 10 ? 13 : b, 0);
        } else {
            size_t len = 0;
            int32_t cp = utf8_at(i, len);
            if (cp == -1) {
                state.incomplete = 1;
            } else if (cp == -2) {
                state.read_index = int32_t(i + 1);  // a byte no more input can make valid
            } else {
                state.read_index = int32_t(i + len);
                send_key(nullptr, cp, 0);
            }
        }
        if (state.incomplete) {
            if (state.input.size() - start > size_t(kMaxPending)) {
                empty_input();
                return;
            }
            state.input.erase(state.input.begin(), state.input.begin() + std::ptrdiff_t(start));
            state.read_index = 0;
            return;
        }
    }
}

void send_key(Widget* w, int32_t ch, int32_t special) {
    if (!w) {
        w = state.focused;
        // A focused widget that got disabled (a button that turns itself off) would swallow every
        // key, Tab, Escape and Ctrl-C included, and leave the window no way out; so would one
        // that was destroyed, leaving no focus at all. Its window, which a press beside a disabled
        // widget reaches too, takes the keys instead.
        if (!w) w = state.current_window;
        if (w && (w->flags & kDisabled))
            while (w->parent) w = w->parent;
    }
    if (!w || (w->flags & kDisabled)) return;
    uint32_t flags = 0;
    if (special == kKeyBackTab) {
        ch = 9;
        flags = kEfShift;
    } else if (special) {
        ch = special;
        flags = kEfSpecialKey;
    }
    if (ch == 0) return;
    uint32_t id = w->id;
    EventRecord rec;
    rec.widget = w;
    rec.key = ch;
    if (call_awake(kEvKeyDown, &rec, flags)) return;
    if (!alive(w, id) || call_awake(kEvKey, &rec, flags)) return;
    if (alive(w, id) && w->event) w->event(kEvKey, &rec);
}

int32_t send_mouse_event(int32_t type, Widget* w, float x, float y, uint32_t flags) {
    if (!w || (w->flags & kDisabled)) return 0;
    uint32_t id = w->id;
    EventRecord rec;
    rec.widget = w;
    rec.x = x;
    rec.y = y;
    if (w->event) w->event(type, &rec);
    if (!alive(w, id) || !has_face(w)) return 0;
    return call_awake(type, &rec, flags);
}

int32_t call_awake(int32_t type, EventRecord* rec, uint32_t flags) {
    Cell* sys = context::value_of_symbol(sym_system, context::global_node);
    if (!sys || sys->type() != TYPE_OBJECT) return 0;
    Cell* view = context::value_of_symbol(sym_view, sys->data1);
    if (!view || view->type() != TYPE_OBJECT) return 0;
    Cell* awake = context::value_of_symbol(sym_awake, view->data1);
    if (!awake || !types::any_function(awake->type())) return 0;
    Cell fn = *awake;
    Cell ev;
    Cell result;
    set_cell(&result, TYPE_NONE);
    uint32_t record = new_event_record(*rec);
    event::make_backend(&ev, type, flags, record);
    collector::Root keep_fn(&fn), keep_ev(&ev), keep_result(&result);
    stack::Saved saved = stack::save();
    const Cell* args[1] = {&ev};
    // A boundary frame: an error, and a throw, break or continue that would leave the call, stop
    // here. Under a mere try frame those three went on looking for their target among the
    // frames of the script running the loop, dropped them (and wrote their value over the cells
    // of the calls still running there) before this catch took them.
    stack::mark_named(stack::body_symbol, FRAME_BOUNDARY);
    uint32_t code = catch_frame(codes::all, [&] { interpreter::call_with(&result, &fn, args, 1); });
    stack::restore(saved);
    free_event_record(record);
    if (code) {
        runtime::sys.thrown = 0;
        return 0;
    }
    return result.type() == TYPE_WORD && sym_done.is(&result) ? 1 : 0;
}

void set_focus(Widget* w, WindowRecord* win) {
    if (!win && state.current_window) win = state.current_window->window;
    if (Widget* old = state.focused) {
        old->flags &= ~uint32_t(kHasFocus);
        state.focused = nullptr;
        // The unfocus actor may close the window: the new widget and the record may go with it.
        uint32_t id = w ? w->id : 0;
        Widget* owner = win ? win->window : nullptr;
        uint32_t owner_id = owner ? owner->id : 0;
        send_mouse_event(kEvUnfocus, old, 0, 0, 0);
        if (owner && !alive(owner, owner_id)) win = nullptr;
        if (w && !alive(w, id)) return;
        // An unfocus actor that gave the focus to a widget itself (a field that keeps it until
        // its text is valid) has the last word: taking it on would leave two widgets marked.
        if (state.focused) return;
    }
    if (win) win->focused = w;
    if (!w) return;
    state.focused = w;
    w->flags |= kHasFocus;
    send_mouse_event(kEvFocus, w, 0, 0, 0);
}

Widget* hit_test(Widget* w, float x, float y) {
    if (!has_face(w)) return nullptr;
    Cell* pane = context::value_of_symbol(sym_pane, w->face.data1);
    if (!pane || pane->type() != TYPE_BLOCK) return nullptr;
    Cell* head = block::rs_head(pane);
    for (Cell* c = block::rs_tail(pane); c > head;) {
        --c;
        Widget* child = gui::face_handle_q(c);
        if (!child || (child->flags & kWHidden)) continue;
        if (child->x1 <= x && x < child->x2 && child->y1 <= y && y < child->y2) return child;
    }
    return nullptr;
}

}  // namespace tui
