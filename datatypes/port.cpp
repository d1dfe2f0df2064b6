#include "datatypes/port.h"

#include <utility>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/function.h"
#include "datatypes/object.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "evaluator/actions.h"
#include "evaluator/interpreter.h"
#include "runtime/collector.h"
#include "runtime/cycles.h"
#include "runtime/fire.h"
#include "runtime/stack.h"

namespace port {

namespace {

const symbol::Known sym_system("system"), sym_standard("standard"), sym_port("port"), sym_url_parts("url-parts"),
    sym_schemes("schemes");

// Forwarded actions from append (25) on: the action's name, its fixed arguments (the port
// included) and, per refinement in spec order, whether it takes an argument.
struct Shape {
    const char* name;
    int8_t fixed;
    int8_t refinements;
    int8_t takes[11];
};
constexpr Shape kShapes[kNativeActions] = {
    {"append", 2, 3, {1, 0, 1}},
    {"at", 2, 0, {}},
    {"back", 1, 0, {}},
    {"change", 2, 3, {1, 0, 1}},
    {"clear", 1, 0, {}},
    {"copy", 1, 3, {1, 0, 1}},
    {"find", 2, 11, {1, 0, 0, 0, 0, 1, 1, 0, 0, 0, 0}},
    {"head", 1, 0, {}},
    {"head?", 1, 0, {}},
    {"index?", 1, 0, {}},
    {"insert", 2, 3, {1, 0, 1}},
    {"length?", 1, 0, {}},
    {"move", 2, 1, {1}},
    {"next", 1, 0, {}},
    {"pick", 2, 0, {}},
    {"poke", 3, 0, {}},
    {"put", 3, 1, {0}},
    {"remove", 1, 2, {1, 1}},
    {"reverse", 1, 2, {1, 1}},
    {"select", 2, 9, {1, 0, 0, 0, 0, 1, 1, 0, 0}},
    {"sort", 1, 7, {0, 1, 1, 1, 0, 0, 0}},
    {"skip", 2, 0, {}},
    {"swap", 2, 0, {}},
    {"tail", 1, 0, {}},
    {"tail?", 1, 0, {}},
    {"take", 1, 3, {1, 0, 0}},
    {"trim", 1, 6, {0, 0, 0, 0, 0, 1}},
    {"create", 1, 0, {}},
    {"close", 1, 0, {}},
    {"delete", 1, 0, {}},
    {"modify", 3, 1, {0}},
    {"open", 1, 5, {0, 0, 0, 0, 1}},
    {"open?", 1, 0, {}},
    {"query", 1, 0, {}},
    {"read", 1, 6, {1, 1, 0, 0, 0, 1}},
    {"rename", 2, 0, {}},
    {"update", 1, 0, {}},
    {"write", 2, 8, {0, 0, 0, 0, 1, 1, 1, 1}},
};
// Enough for the port, the fixed arguments and every refinement's flag and argument.
constexpr int kMaxCells = 32;

const Shape& shape_of(int action) { return kShapes[action - ACT_APPEND]; }

Cell* action_word(Cell* out, int action) {
    return word::load(out, shape_of(action).name);
}

[[noreturn]] void no_port_action(int action) {
    Cell w;
    action_word(&w, action);
    fire(err::access::no_port_action, &w);
}

// Native actor tables; a handle value names entry (value - kFirstNative).
constexpr int32_t kFirstNative = 0x50000000;
std::vector<const NativeActor*>& native_actors() {
    static std::vector<const NativeActor*> list;
    return list;
}

// Field 2 of a port whose context has one, else null.
const Cell* actor_field(const Cell* port) {
    if (!types::any_object(port->type()) || object::get_size(port) < 3) return nullptr;
    return object::get_values(port) + 2;
}

// The action dispatcher asks here first for every series and port action on a port: a handle
// actor answers with its table's entry, an object actor leaves the action to the port row.
void* handle_action(const Cell* value, int action) {
    const Cell* actor = actor_field(value);
    if (!actor || actor->type() != TYPE_HANDLE) return nullptr;
    int64_t i = static_cast<int64_t>(actor->i2()) - kFirstNative;
    auto& list = native_actors();
    ActionFn fn = i >= 0 && i < static_cast<int64_t>(list.size()) ? list[i]->actions[action - ACT_APPEND] : nullptr;
    if (!fn) no_port_action(action);
    return reinterpret_cast<void*>(fn);
}

// A field of an object value by symbol, or null.
Cell* field_of(const Cell* obj, int32_t symbol) {
    if (!obj || obj->type() != TYPE_OBJECT) return nullptr;
    return context::value_of_symbol(symbol, obj->data1);
}

Cell* system_standard(int32_t symbol) {
    if (!context::global_node) return nullptr;
    Cell* sys = context::value_of_symbol(sym_system, context::global_node);
    Cell* found = field_of(field_of(sys, sym_standard), symbol);
    return found && found->type() == TYPE_OBJECT ? found : nullptr;
}

// The scheme object registered under a name: the value after the first equal name in
// system/schemes, or null.
const Cell* find_scheme(const Cell* name) {
    Cell* sys = context::global_node ? context::value_of_symbol(sym_system, context::global_node) : nullptr;
    Cell* schemes = field_of(sys, sym_schemes);
    if (!schemes || schemes->type() != TYPE_BLOCK) return nullptr;
    int32_t n = block::rs_length_q(schemes);
    const Cell* head = block::rs_head(schemes);
    for (int32_t i = 0; i + 1 < n; i += 2) {
        if (!types::any_word(head[i].type())) continue;
        if (symbol::resolve(static_cast<int32_t>(head[i].data2)) == symbol::resolve(static_cast<int32_t>(name->data2)))
            return head + i + 1;
    }
    return nullptr;
}

// Runs the actor's function for the action with the port and the forwarded cells.
void forward(int action, const Cell* cells, int n) {
    Cell* args = stack::arguments;
    Cell actor, w;
    set_cell(&actor, TYPE_NONE);
    collector::Root keep_actor(&actor);
    get_actor(&actor, args);
    action_word(&w, action);
    call_actor(args, &actor, &w, cells, n);
    stack::keep();
}

// The frame's port and arguments as the actor gets them: the fixed arguments, then per
// refinement a logic! flag and, when it takes one, its argument or none!. open hands its four
// flags and then the allow argument without a flag.
template <int A>
void forward_action(const int32_t* refs) {
    const Shape& s = shape_of(A);
    Cell* args = stack::arguments;
    Cell cells[kMaxCells];
    int n = 0;
    for (int i = 0; i < s.fixed; i++) cells[n++] = args[i];
    for (int r = 0; r < s.refinements; r++) {
        bool present = refs[r] >= 0;
        if (!(A == ACT_OPEN && r == 4)) set_cell(&cells[n++], TYPE_LOGIC, present ? 1 : 0);
        if (s.takes[r]) {
            if (present)
                cells[n++] = args[refs[r]];
            else
                set_cell(&cells[n++], TYPE_NONE);
        }
    }
    forward(A, cells, n);
}

template <int... I>
void set_forwarding(datatype::Row& row, std::integer_sequence<int, I...>) {
    (row.set(ACT_APPEND + I, forward_action<ACT_APPEND + I>), ...);
}

int write_port(const Cell* value, Node buffer, bool all, bool flat, const Cell* part, int limit, int level) {
    if (cycles::detect_q(value, buffer, &limit, true)) return limit;
    string::concatenate_literal(buffer, "make port! [");
    limit -= 12;
    limit = object::serialize(value, buffer, false, all, flat, part, limit, true, level + 1, true);
    if (!flat && level >= 1) {
        for (int i = 0; i < level; i++) string::concatenate_literal(buffer, "    ");
        limit -= 4 * level;
    }
    string::append_char(buffer, ']');
    return limit - 1;
}

// Runs one of the port's own actions with the given arguments; the result goes into out.
void own_action(Cell* out, int action, const Cell* const* args, int nargs, const int32_t* refs) {
    actions::call(out, action, args, nargs, refs);
}

}  // namespace

int32_t register_native_actor(const NativeActor* table) {
    auto& list = native_actors();
    list.push_back(table);
    return kFirstNative + static_cast<int32_t>(list.size() - 1);
}

Cell* make(Cell* proto, Cell* spec_in, int) {
    Cell spec = *spec_in;
    collector::Root keep_spec(&spec);
    Cell spec_obj;
    set_cell(&spec_obj, TYPE_NONE);
    collector::Root keep_spec_obj(&spec_obj);
    if (spec.type() == TYPE_OBJECT) {
        object::duplicate(&spec, &spec_obj, false, nullptr, false);
    } else {
        // A block extends the standard spec prototype: the parts of a URL, the scheme first.
        if (Cell* parts = system_standard(sym_url_parts))
            spec_obj = *parts;
        else
            datatype::make_at(&spec_obj, TYPE_OBJECT);
        object::make(&spec_obj, &spec, TYPE_OBJECT);
    }
    if (object::get_size(&spec_obj) < 1 || object::get_values(&spec_obj)[0].type() != TYPE_WORD)
        fire(err::access::no_scheme, &spec_obj);
    Cell scheme_word = object::get_values(&spec_obj)[0];

    const Cell* found = system_standard(sym_port);
    if (!found || object::get_size(found) < 3) fire(err::access::invalid_port);
    Cell standard = *found, port;
    set_cell(&port, TYPE_NONE);
    collector::Root keep_standard(&standard), keep_port(&port);
    object::duplicate(&standard, &port, false, nullptr, false);
    port.set_type(TYPE_PORT);
    port.data2 = static_cast<uint32_t>(kClassId);
    *context::owner_of(port.data1) = port;
    Cell* fields = object::get_values(&port);
    fields[0] = spec_obj;
    fields[1] = scheme_word;

    const Cell* scheme = find_scheme(&scheme_word);
    if (!scheme || scheme->type() != TYPE_OBJECT) fire(err::access::unknown_scheme, &spec_obj);
    const Cell* actor = object::get_size(scheme) > 3 ? object::get_values(scheme) + 3 : nullptr;
    if (!actor || (actor->type() != TYPE_OBJECT && actor->type() != TYPE_HANDLE))
        fire(err::access::invalid_actor, &spec_obj);
    object::get_values(&port)[2] = *actor;
    *proto = port;
    return proto;
}

int form(const Cell* value, Node buffer, const Cell* part, int limit) {
    return write_port(value, buffer, false, false, part, limit, 0);
}

int mold(const Cell* value, Node buffer, bool, bool all, bool flat, const Cell* part, int limit, int level) {
    return write_port(value, buffer, all, flat, part, limit, level);
}

Cell* get_actor(Cell* out, const Cell* port) {
    const Cell* actor = actor_field(port);
    if (!actor || actor->type() != TYPE_OBJECT) fire(err::access::invalid_port);
    *out = *actor;
    return out;
}

Cell* call_actor(Cell* out, const Cell* actor, const Cell* action_word, const Cell* args, int nargs) {
    Cell w = *action_word;
    Cell fn = *object::get_word(actor, &w);
    if (fn.type() != TYPE_FUNCTION) fire(err::access::no_port_action, &w);
    Cell* saved_top = stack::top;
    const Cell* held = stack::push(&fn);
    stack::mark_interp_func(&w);
    Frame* f = stack::top_frame();
    f->function_context = fn.data1;
    f->saved_values = context::cell_of(fn.data1)->data2;
    // The cells fill the function's arguments and refinements in order; its locals follow. A
    // function that takes fewer drops the rest, one that takes more gets none! for them.
    int32_t locals = function::count_locals(fn.data2, 0, false);
    int32_t params = context::count(fn.data1) - locals;
    for (int32_t i = 0; i < params; i++) {
        if (i < nargs)
            stack::push(args + i);
        else
            set_cell(stack::push_cell(), TYPE_NONE);
    }
    function::init_locals(locals);
    interpreter::call_function(held, fn.data1, &w);
    stack::unwind();
    Cell result = *(stack::top - 1);
    stack::top = saved_top;
    *out = result;
    return out;
}

void read(const int32_t* refs) {
    Cell* args = stack::arguments;
    Cell port = args[0], part, result;
    set_cell(&part, TYPE_NONE);
    set_cell(&result, TYPE_NONE);
    if (refs[0] >= 0) part = args[refs[0]];
    collector::Root keep_port(&port), keep_part(&part), keep_result(&result);
    const Cell* one[1] = {&port};
    const Cell* two[2] = {&port, &part};
    int32_t open_refs[5] = {-1, -1, -1, refs[1] >= 0 ? 0 : -1, -1};
    own_action(&result, ACT_OPEN, one, 1, open_refs);
    int32_t copy_refs[3] = {refs[0] >= 0 ? 1 : -1, -1, -1};
    own_action(&result, ACT_COPY, two, 2, copy_refs);
    Cell ignored;
    set_cell(&ignored, TYPE_NONE);
    collector::Root keep_ignored(&ignored);
    own_action(&ignored, ACT_CLOSE, one, 1, nullptr);
    *stack::arguments = result;
    stack::keep();
}

void write(const int32_t* refs) {
    Cell* args = stack::arguments;
    Cell port = args[0], data = args[1], part, result;
    set_cell(&part, TYPE_NONE);
    set_cell(&result, TYPE_NONE);
    bool has_part = refs[4] >= 0 && args[refs[4]].type() == TYPE_INTEGER;
    if (has_part) part = args[refs[4]];
    collector::Root keep_port(&port), keep_data(&data), keep_part(&part), keep_result(&result);
    const Cell* one[1] = {&port};
    const Cell* three[3] = {&port, &data, &part};
    int32_t open_refs[5] = {-1, -1, 0, -1, -1};
    own_action(&result, ACT_OPEN, one, 1, open_refs);
    int32_t insert_refs[3] = {has_part ? 2 : -1, -1, -1};
    own_action(&result, ACT_INSERT, three, has_part ? 3 : 2, insert_refs);
    own_action(&result, ACT_COPY, one, 1, nullptr);
    Cell ignored;
    set_cell(&ignored, TYPE_NONE);
    collector::Root keep_ignored(&ignored);
    own_action(&ignored, ACT_CLOSE, one, 1, nullptr);
    *stack::arguments = result;
    stack::keep();
}

void init() {
    datatype::Row row;
    row.set(ACT_MAKE, make).set(ACT_FORM, form).set(ACT_MOLD, mold);
    row.inherit({ACT_REFLECT, ACT_EVAL_PATH, ACT_COMPARE});
    set_forwarding(row, std::make_integer_sequence<int, kNativeActions>{});
    row.set(ACT_OPEN_Q, static_cast<const void*>(nullptr));
    row.set(ACT_READ, read).set(ACT_WRITE, write);
    datatype::register_row(TYPE_PORT, TYPE_OBJECT, "port!", row);
    actions::port_action_hook = handle_action;
}

}  // namespace port
