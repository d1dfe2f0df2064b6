#include "evaluator/natives.h"

#include <cstring>
#include <ctime>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/datatype.h"
#include "datatypes/native.h"
#include "datatypes/word.h"
#include "evaluator/interpreter.h"
#include "evaluator/natives_build.h"
#include "evaluator/natives_control.h"
#include "evaluator/natives_encoding.h"
#include "evaluator/natives_errors.h"
#include "evaluator/natives_math.h"
#include "evaluator/natives_system.h"
#include "evaluator/natives_values.h"
#include "loading/lexer.h"
#include "runtime/collector.h"
#include "runtime/fire.h"
#include "runtime/root.h"
#include "runtime/stack.h"

namespace natives {

NativeFn table[kSlots] = {};
int counter = 1;
Node print_buffer = 0;
bool last_lf = true;

void (*do_file)(const Cell* file, const Cell* args) = nullptr;
void (*expand)(Cell* block) = nullptr;
void (*show_memory_stats)(const Cell* info) = nullptr;
void (*wait_events)() = nullptr;
static void system_clock(struct timespec* ts) { clock_gettime(CLOCK_REALTIME, ts); }
void (*read_clock)(struct timespec* ts) = system_clock;

// The native! and action! values made by define_words, cell n - 1 for native or action n.
static Node values_node = 0;
static Node action_values_node = 0;

// Natives whose work another module supplies through replace().
[[noreturn]] static void not_done(int, const int32_t*) { fire(err::internal::not_done); }

void install_table(int n, const NativeFn* fns) {
    for (int i = 0; i < n && counter <= kSlots; i++) table[counter++ - 1] = fns[i];
}

void replace(int n, NativeFn fn) {
    if (n >= 1 && n < counter) table[n - 1] = fn;
}

void init() {
    print_buffer = block::make_node(32);
    root::keep_node(print_buffer);
    values_node = block::make_node(kCount);
    root::keep_node(values_node);
    action_values_node = block::make_node(kActionCount);
    root::keep_node(action_values_node);
    static const NativeFn fns[kCount] = {
        if_,           unless,       either,      any,        all,         while_,         until,
        loop,          repeat,       forever,     foreach,    forall,      remove_each,    func,
        function,      does,         has,         switch_,    case_,       do_,            get,
        set,           print,        prin,        equal_q,    not_equal_q, strict_equal_q, lesser_q,
        greater_q,     lesser_or_equal_q, greater_or_equal_q, same_q, not_, type_q,         reduce,
        compose,       stats,        bind,        in,         not_done /* parse */,       union_,
        intersect,     unique,       difference,  exclude,    complement_q, dehex,         enhex,
        negative_q,    positive_q,   max,         min,        shift,       to_hex,         sine,
        cosine,        tangent,      arcsine,     arccosine,  arctangent,  arctangent2,    NaN_q,
        log_2,         log_10,       log_e,       exp,        square_root, construct,      value_q,
        try_,          uppercase,    lowercase,   as_pair,    as_point2D,  as_point3D,     as_money,
        break_,        continue_,    exit,        return_,    throw_,      catch_,         extend,
        debase,        to_local_file, wait,       checksum, unset, new_line, new_line_q,
        enbase,        context_q,    set_env,     get_env,    list_env,    now,            sign_q,
        as,            call, zero_q, size_q, browse, compress,
        decompress, recycle, transcode, apply,
    };
    install_table(kCount, fns);
}

// ---- Words of the boot data ----

// Pairs of a word and its spec block; every word is set to the value made from its spec.
template <class Make>
static void define_pairs(const Cell* block, Make make) {
    Cell list = *block;
    collector::Root keep_list(&list);
    int32_t n = block::rs_length_q(&list);
    int32_t number = 0;
    for (int32_t i = 0; i + 1 < n; i += 2) {
        Cell w = block::rs_head(&list)[i];
        Cell spec = block::rs_head(&list)[i + 1];
        if (!types::word_like(w.type()) || spec.type() != TYPE_BLOCK) fire(err::script::invalid_arg, &w);
        number++;
        if (block::rs_length_q(&spec) == 0) continue;
        collector::Root keep_w(&w), keep_spec(&spec);
        Cell value;
        set_cell(&value, TYPE_NONE);
        collector::Root keep_value(&value);
        make(&value, &spec, number);
        w.header = TYPE_WORD;
        word::set_value(&w, &value);
    }
}

void define_words(const Cell* natives_block, const Cell* actions_block) {
    Node values = values_node;
    define_pairs(natives_block, [values](Cell* out, const Cell* spec, int32_t n) {
        native::make_at(out, TYPE_NATIVE, spec, n);
        while (block::node_length(values) < n) set_cell(block::alloc_tail(values), TYPE_NONE);
        *block::node_cell(values, n - 1) = *out;
    });
    Node actions = action_values_node;
    define_pairs(actions_block, [actions](Cell* out, const Cell* spec, int32_t n) {
        native::make_at(out, TYPE_ACTION, spec, n);
        while (block::node_length(actions) < n) set_cell(block::alloc_tail(actions), TYPE_NONE);
        *block::node_cell(actions, n - 1) = *out;
    });
}

void define_boot_words() {
    Cell* code = stack::push_cell();
    set_cell(code, TYPE_NONE);
    load_boot_source(code);
    // The source is `natives: [...] actions: [...]` after its header block.
    Cell blocks[2];
    set_cell(&blocks[0], TYPE_NONE);
    set_cell(&blocks[1], TYPE_NONE);
    int32_t n = block::rs_length_q(code);
    int found = 0;
    for (int32_t i = 0; i + 1 < n && found < 2; i++) {
        Cell* c = block::rs_head(code) + i;
        if (c->type() == TYPE_SET_WORD && c[1].type() == TYPE_BLOCK) blocks[found++] = c[1];
    }
    if (found != 2) fire(err::script::invalid_arg, code);
    Cell* natives_block = stack::push(&blocks[0]);
    Cell* actions_block = stack::push(&blocks[1]);
    define_words(natives_block, actions_block);
    stack::top = code;
}

const Cell* value_of(int n) {
    static Cell none_cell = {TYPE_NONE, 0, 0, 0};
    if (n < 1 || n > block::node_length(values_node)) return &none_cell;
    return block::node_cell(values_node, n - 1);
}

bool words_defined() { return values_node && block::node_length(values_node) > 0; }

const Cell* action_value_of(int n) {
    static Cell none_cell = {TYPE_NONE, 0, 0, 0};
    if (!action_values_node || n < 1 || n > block::node_length(action_values_node)) return &none_cell;
    return block::node_cell(action_values_node, n - 1);
}

// ---- Argument checks ----

// Cache cells of the interpreter: a typeset per argument whose fetch mode is in bits 20-21 (3 for
// return:) and whose spec position interpreter::spec_position reads; refinement copies with their
// ordinal in data3.
static void check_one(const Cell* value, const Cell* ts, const Cell* fn) {
    if (interpreter::typeset_has(ts, value->type())) return;
    Cell name, type, arg;
    stack::get_call_name(&name);
    datatype::make_at(&type, value->type());
    int32_t pos = interpreter::spec_position(ts);
    arg = *block::node_cell(fn->data2, pos);
    arg.header = TYPE_WORD;
    fire(err::script::expect_arg, &name, &type, &arg);
}

void check_args(int n, const int32_t* refs) {
    const Cell* v = value_of(n);
    if (v->type() != TYPE_NATIVE) return;
    Cell fn = *v;
    Node cache = interpreter::arg_cache(&fn);
    int32_t count = block::node_length(cache);
    int32_t position = 0;  // next argument cell
    bool active = true;
    for (int32_t i = 0; i < count; i++) {
        const Cell* c = block::node_cell(cache, i);
        if (c->type() == TYPE_REFINEMENT) {
            int32_t at = refs ? refs[c->data3 - 1] : -1;
            active = at >= 0;
            if (active) position = at;
        } else if (c->type() == TYPE_TYPESET && ((c->header >> 20) & 3) != 3) {
            if (!active) continue;
            Cell ts = *c;
            check_one(stack::arguments + position, &ts, &fn);
            position++;
        }
    }
}

// ---- Shared helpers ----

void set_none() { set_cell(stack::arguments, TYPE_NONE), stack::keep(); }
void set_unset() { set_cell(stack::arguments, TYPE_UNSET), stack::keep(); }
void set_logic(bool b) { set_cell(stack::arguments, TYPE_LOGIC, b ? 1 : 0), stack::keep(); }
void set_integer(int32_t n) { set_cell(stack::arguments, TYPE_INTEGER, static_cast<uint32_t>(n)), stack::keep(); }
void set_float(double d) {
    set_cell(stack::arguments, TYPE_FLOAT);
    stack::arguments->set_f(d);
    stack::keep();
}

void eval_single(const Cell* value) {
    // The value becomes a block of its own, read as code with function values taken literally.
    Cell* held = stack::push(value);
    Cell* code = stack::push_cell();
    set_cell(code, TYPE_NONE);
    block::make_at(code, block::make_node(1));
    block::append_cell(code->node(), held);
    interpreter::eval_expression(code, 0, 1, true, false, true);
}

}  // namespace natives

namespace routines {

RoutineFn table[kSlots] = {};
int counter = 1;
static const char* names[kSlots] = {};

int register_(const char* name, RoutineFn fn) {
    if (int n = find(name)) {
        table[n - 1] = fn;
        return n;
    }
    if (counter > kSlots) return 0;
    table[counter - 1] = fn;
    names[counter - 1] = name;
    return counter++;
}

int find(const char* name) {
    for (int i = 0; i < counter - 1; i++)
        if (std::strcmp(names[i], name) == 0) return i + 1;
    return 0;
}

}  // namespace routines
