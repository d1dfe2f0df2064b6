// The routines through which the view engine reaches the terminal backend: the slots of
// system/view/platform, send-event-os, find-flag? and the widget helpers of TUI-helpers.
#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/datatype.h"
#include "datatypes/event.h"
#include "datatypes/handle.h"
#include "datatypes/integer.h"
#include "datatypes/logic.h"
#include "datatypes/object.h"
#include "datatypes/ownership.h"
#include "datatypes/pair.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "evaluator/interpreter.h"
#include "evaluator/natives.h"
#include "runtime/collector.h"
#include "runtime/fire.h"
#include "runtime/output.h"
#include "runtime/stack.h"
#include "tui/terminal.h"
#include "tui/backend.h"

namespace tui {

namespace {

Cell* arg(int i) { return stack::arguments + i; }

void result(const Cell* v) {
    *stack::arguments = *v;
    stack::keep();
}
void result_none() {
    set_cell(stack::arguments, TYPE_NONE);
    stack::keep();
}
void result_logic(bool b) {
    logic::make_at(stack::arguments, b);
    stack::keep();
}

[[noreturn]] void invalid_type(const Cell* v) {
    Cell t;
    datatype::make_at(&t, v->type());
    fire(err::script::invalid_type, &t);
}

Widget* widget_of_handle(const Cell* h) {
    return h->type() == TYPE_HANDLE ? widget_of(static_cast<uint32_t>(handle::value_of(h))) : nullptr;
}

// ---- Platform slots ----

void make_null_handle() {
    Cell h;
    handle::make_at(&h, 0, handle::kNull);
    result(&h);
}

void get_screen_size() {
    tui::read_console_size();
    Cell p;
    pair::make_at(&p, state.columns, state.rows);
    result(&p);
}

void on_change_facet() {
    const Cell* new_ = arg(4)->type() == TYPE_NONE ? nullptr : arg(4);
    gui::OS_update_facet(arg(0), arg(1), arg(2), arg(3), new_, int_of(arg(5)), int_of(arg(6)));
    result_none();
}

void update_font() {
    gui::update_font(arg(0), int_of(arg(1)));
    result_none();
}

void update_para() {
    gui::update_para(arg(0), int_of(arg(1)));
    result_none();
}

void destroy_view() {
    gui::OS_destroy_view(arg(0), logic::get(arg(1)));
    result_none();
}

void detach_image() {
    if (arg(0)->type() == TYPE_IMAGE) ownership::unbind(arg(0));
    result_none();
}

void update_view() {
    static const symbol::Known screen("screen");
    Cell v = *arg(0);
    if (v.type() == TYPE_BLOCK) {
        int32_t n = block::rs_length_q(&v);
        for (int32_t i = 0; i < n; i++)
            if (block::rs_head(&v)[i].type() != TYPE_OBJECT) invalid_type(block::rs_head(&v) + i);
        for (int32_t i = 0; i < block::rs_length_q(&v); i++) {
            Cell face = block::rs_head(&v)[i];
            gui::OS_update_view(&face);
        }
    } else if (v.type() == TYPE_OBJECT) {
        const Cell* type = context::count(v.data1) > 0 ? object::get_values(&v) : nullptr;
        if (!(type && types::any_word(type->type()) && screen.is(type))) gui::OS_update_view(&v);
    } else {
        invalid_type(&v);
    }
    result_none();
}

void refresh_window() {
    gui::OS_refresh_window(widget_of_handle(arg(0)));
    result_none();
}

void redraw() {
    if (Widget* w = gui::face_handle_q(arg(0))) gui::OS_redraw(w);
    result_none();
}

void show_window() {
    gui::OS_show_window(widget_of_handle(arg(0)));
    result_none();
}

void make_view() {
    Widget* w = gui::OS_make_view(arg(0), widget_of_handle(arg(1)));
    Cell h;
    handle::make_at(&h, static_cast<int32_t>(w->id), handle::kWindow);
    result(&h);
}

// Calls a function of TUI-helpers with the given arguments; none when it is not there.
void call_helper(const char* name, const Cell* const* args, int n) {
    Cell w;
    word::load(&w, "TUI-helpers");
    const Cell* helpers = word::peek(&w);
    if (!helpers || helpers->type() != TYPE_OBJECT) return result_none();
    int32_t i = context::find_word(helpers->data1, symbol::make(name), true);
    if (i < 0) return result_none();
    Cell fn = *(object::get_values(helpers) + i);
    if (!types::any_function(fn.type())) return result_none();
    collector::Root keep(&fn);
    Cell answer;
    set_cell(&answer, TYPE_NONE);
    collector::Root keep_answer(&answer);
    interpreter::call_with(&answer, &fn, args, n);
    result(&answer);
}

// The requesters take no title and no filter here: the dialogs show their own. The file
// requester is told the file name; the folder requester always starts in the current folder.
void request_file() {
    Cell none, name = *arg(1), save = *arg(3), multi = *arg(4);
    set_cell(&none, TYPE_NONE);
    collector::Root k(&name);
    const Cell* args[] = {&none, &name, &none, &save, &multi};
    call_helper("request-file", args, 5);
}

void request_dir() {
    Cell none, keep_ = *arg(3), multi = *arg(4);
    set_cell(&none, TYPE_NONE);
    const Cell* args[] = {&none, &none, &none, &keep_, &multi};
    call_helper("request-dir", args, 5);
}

void none_routine() { result_none(); }
void false_routine() { result_logic(false); }

// The backend's start-up, run by the view engine's init once system/view/platform is set.
void init_routine() {
    static const symbol::Known view("view"), platform("platform");
    Cell w, found;
    set_cell(&found, TYPE_NONE);
    word::load(&w, "system");
    if (const Cell* sys = word::peek(&w); sys && sys->type() == TYPE_OBJECT) {
        int32_t i = context::find_word(sys->data1, view.id(), true);
        const Cell* v = i >= 0 ? object::get_values(sys) + i : nullptr;
        if (v && v->type() == TYPE_OBJECT) {
            int32_t k = context::find_word(v->data1, platform.id(), true);
            if (k >= 0) found = *(object::get_values(v) + k);
        }
    }
    collector::Root keep(&found);
    gui::init(&found);
    result_none();
}

// ---- Global and TUI-helpers routines ----

void find_flag_q() {
    const Cell* facet = arg(0);
    const Cell* flag = arg(1);
    auto same = [&](const Cell* w) {
        return symbol::resolve(static_cast<int32_t>(w->data2)) == symbol::resolve(static_cast<int32_t>(flag->data2));
    };
    bool found = false;
    if (facet->type() == TYPE_WORD) {
        found = same(facet);
    } else if (facet->type() == TYPE_BLOCK) {
        int32_t n = block::rs_length_q(facet);
        for (int32_t i = 0; i < n && !found; i++) {
            const Cell* v = block::rs_head(facet) + i;
            found = (v->type() == TYPE_WORD || v->type() == TYPE_LIT_WORD) && same(v);
        }
    }
    result_logic(found);
}

void focused_q() {
    Widget* w = gui::face_handle_q(arg(0));
    result_logic(w && (w->flags & kHasFocus));
}

void widget_data() {
    Widget* w = gui::face_handle_q(arg(0));
    Cell v;
    integer::make_at(&v, w ? w->scroll : 0);
    result(&v);
}

void set_face_ui() {
    if (Widget* w = gui::face_handle_q(arg(0)))
        if (arg(1)->type() == TYPE_STRING) w->ui = *arg(1);
    result_none();
}

void event_init() {
    event::init();
    result_none();
}

}  // namespace

void register_routines() {
    static const struct {
        const char* name;
        routines::RoutineFn fn;
    } table[] = {
        {"gui-init", init_routine},
        {"gui-make-null-handle", make_null_handle},
        {"gui-fetch-all-screens", none_routine},
        {"gui-get-screen-size", get_screen_size},
        {"gui-on-change-facet", on_change_facet},
        {"gui-update-text", none_routine},
        {"gui-update-font", update_font},
        {"gui-update-para", update_para},
        {"gui-destroy-view", destroy_view},
        {"gui-detach-image", detach_image},
        {"gui-update-view", update_view},
        {"gui-refresh-window", refresh_window},
        {"gui-redraw", redraw},
        {"gui-show-window", show_window},
        {"gui-make-view", make_view},
        {"gui-request-font", none_routine},
        {"gui-request-file", request_file},
        {"gui-request-dir", request_dir},
        {"gui-update-scroller", none_routine},
        {"gui-set-dark-mode", none_routine},
        {"gui-support-dark-mode?", false_routine},
        {"gui-toggle-GPU", none_routine},
        {"send-event-os", false_routine},
        {"find-flag?", find_flag_q},
        {"tui-focused?", focused_q},
        {"tui-widget-data", widget_data},
        {"tui-set-face-ui", set_face_ui},
        {"event-init", event_init},
    };
    for (const auto& r : table) routines::register_(r.name, r.fn);
}

}  // namespace tui
