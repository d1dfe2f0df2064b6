#include "boot/boot.h"

#include <string>
#include <unordered_set>
#include <vector>

#include "boot/sources.h"
#include "console/terminal.h"
#include "tui/loop.h"
#include "environment/routines.h"
#include "environment/tools.h"
#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/datatype.h"
#include "datatypes/error.h"
#include "datatypes/function.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "evaluator/interpreter.h"
#include "evaluator/natives.h"
#include "loading/kelbin.h"
#include "loading/lexer.h"
#include "runtime/collector.h"
#include "runtime/fire.h"
#include "runtime/root.h"
#include "runtime/stack.h"
#include "tui/draw.h"
#include "tui/text.h"

namespace boot {

bool running = false;

// Routines live in a private context: the boot sources refer to them through get-words bound
// there, so no extra global word is needed to reach them.
static Node routine_ctx = 0;

const boot_sources::File* (*image_of)(std::string_view name) = nullptr;

static Cell* text_block(Cell* out, const boot_sources::File* f) {
    if (const boot_sources::File* image = image_of ? image_of(f->name) : nullptr) {
        kelbin::codec_mode = true;
        Cell* decoded = block::push_new(1);
        Node node = decoded->node();
        kelbin::decode(image->data, int64_t(image->size), node, kelbin::MODE_SCRIPT);
        *out = *block::node_cell(node, 0);
        stack::pop(1);
        return out;
    }
    std::string_view text(reinterpret_cast<const char*>(f->data), f->size);
    lexer::load(out, text);
    return out;
}

// Drops the `Kel [...]` header of a loaded source.
static void drop_header(Cell* blk) {
    int32_t n = block::rs_length_q(blk);
    Cell* head = block::rs_head(blk);
    if (n >= 2 && head[0].type() == TYPE_WORD && symbol::to_string(static_cast<int32_t>(head[0].data2)) == "Kel" &&
        head[1].type() == TYPE_BLOCK)
        blk->set_index(blk->index() + 2);
}

// Counts the word! cells of a spec (the routine arity kept in the header).
static uint32_t count_words(Node spec) {
    uint32_t n = 0;
    int32_t len = block::node_length(spec);
    for (int32_t i = 0; i < len; i++)
        if (block::node_cell(spec, i)->type() == TYPE_WORD) n++;
    return n;
}

// Makes the routine! of a spec and the C++ code registered under a name.
static void make_routine(Cell* out, const Cell* spec_in, const std::string& name) {
    int code = routines::find(name.c_str());
    if (!code) {
        Cell s;
        string::load_at(&s, name);
        fire(err::internal::not_here, &s);
    }
    Cell spec = *spec_in;
    collector::Root keep_spec(&spec);
    Node ctx = context::make(&spec, true, false, context::KIND_FUNCTION);
    collector::NodeRoot keep_ctx(&ctx);
    Node more = memory::alloc_cells(5);
    set_cell(block::alloc_tail(more), TYPE_NONE);
    set_cell(block::alloc_tail(more), TYPE_UNSET);
    set_cell(block::alloc_tail(more), TYPE_INTEGER, static_cast<uint32_t>(code));
    set_cell(block::alloc_tail(more), TYPE_UNSET);
    set_cell(block::alloc_tail(more), TYPE_INTEGER, static_cast<uint32_t>(-1));
    uint32_t arity = count_words(spec.node()) & 31;
    set_cell(out, TYPE_ROUTINE, ctx, spec.node(), more);
    out->header |= arity << 25;
}

// Resolves what the boot sources write for the run-time's own code:
//   routine [spec] #name   a routine! of the C++ code registered as name
//   #include %file.kel     the contents of another embedded source
static void resolve(Node node) {
    // The environment's code runs as if compiled: a trace sees none of it (see interpreter).
    series::set_flags(node, series_flag::env_code);
    for (int32_t i = 0; i < block::node_length(node); i++) {
        Cell c = *block::node_cell(node, i);
        if (c.type() == TYPE_WORD && i + 2 < block::node_length(node) &&
            symbol::to_string(static_cast<int32_t>(c.data2)) == "routine" &&
            block::node_cell(node, i + 1)->type() == TYPE_BLOCK && block::node_cell(node, i + 2)->type() == TYPE_ISSUE) {
            Cell spec = *block::node_cell(node, i + 1);
            std::string name = symbol::to_string(static_cast<int32_t>(block::node_cell(node, i + 2)->data2));
            Cell routine;
            make_routine(&routine, &spec, name);
            collector::Root keep(&routine);
            int32_t sym = symbol::make(name);
            Cell w;
            set_cell(&w, TYPE_WORD, routine_ctx, static_cast<uint32_t>(sym), static_cast<uint32_t>(-1));
            context::set_or_add(routine_ctx, &w, &routine);
            int32_t index = context::find_word(routine_ctx, sym, false);
            Cell get;
            set_cell(&get, TYPE_GET_WORD, routine_ctx, static_cast<uint32_t>(sym), static_cast<uint32_t>(index));
            // Replace the three cells by the get-word.
            Cell target;
            block::make_at(&target, node, i);
            *block::node_cell(node, i) = get;
            SeriesBuf* b = memory::nodes[node];
            Cell* at = cells_head(b) + i + 1;
            std::memmove(at, at + 2, (b->length() - uint32_t(i) - 3) * sizeof(Cell));
            b->tail -= 32;
            continue;
        }
        if (c.type() == TYPE_ISSUE && i + 1 < block::node_length(node) &&
            symbol::to_string(static_cast<int32_t>(c.data2)) == "include" && block::node_cell(node, i + 1)->type() == TYPE_FILE) {
            Cell file = *block::node_cell(node, i + 1);
            Cell included;
            load_source(&included, string::to_utf8(&file));
            collector::Root keep(&included);
            // Splice: remove the two cells, insert the included values.
            int32_t n = block::rs_length_q(&included);
            SeriesBuf* b = memory::nodes[node];
            Cell* at = cells_head(b) + i;
            std::memmove(at, at + 2, (b->length() - uint32_t(i) - 2) * sizeof(Cell));
            b->tail -= 32;
            for (int32_t k = 0; k < n; k++) block::insert_cell(node, i + k, block::rs_head(&included) + k);
            i += n - 1;
            continue;
        }
        if (types::any_block(c.type())) resolve(c.node());
    }
}

Cell* load_source(Cell* out, std::string_view name) {
    const boot_sources::File* f = boot_sources::find(name);
    if (!f) {
        Cell s;
        string::load_at(&s, name);
        fire(err::access::cannot_open, &s);
    }
    text_block(out, f);
    collector::Root keep(out);
    drop_header(out);
    resolve(out->node());
    return out;
}

// The words of the datatype names, each set to its datatype (datatype! itself is set by the boot
// script; symbol!, context! and triple! have no word). Every other type id has its word, also
// those whose datatype registers later.
static void set_datatype_words() {
    for (int t = TYPE_UNSET; t < kTypeCount; t++) {
        if (!datatype::type_names[t] || t == TYPE_SYMBOL || t == TYPE_CONTEXT || t == TYPE_TRIPLE) continue;
        Cell dt, w;
        word::load(&w, datatype::type_names[t]);
        datatype::make_at(&dt, t);
        context::set_value(&w, &dt);
    }
}

// Rebinds the plain words of a block and of the blocks in it (paths' heads included) that name a
// global function to that function's twin in lib.
static void pin_block(Node node, Node lib, const std::vector<int32_t>& twin, std::unordered_set<Node>& seen) {
    if (!seen.insert(node).second) return;
    Node global = context::global_node;
    for (int32_t k = 0; k < block::node_length(node); k++) {
        Cell* c = block::node_cell(node, k);
        if (types::any_block(c->type())) {
            pin_block(c->node(), lib, twin, seen);
            continue;
        }
        if (c->type() != TYPE_WORD || c->data1 != global || c->data3 >= twin.size()) continue;
        int32_t t = twin[c->data3];
        if (t < 0) continue;
        c->data1 = lib;
        c->data3 = static_cast<uint32_t>(t);
    }
}

// The console keeps working whatever a line typed at it does to the global words: after
// `print: none` or `mold: func [v][1 / 0]` it must still show results and errors, and a line that
// puts the word back must still load. The functions of the console engine, of its launcher and
// of its help and shell commands call the functions the boot left in the global words, through
// twins in a private context.
// Set-words, get-words and lit-words stay global; the rest of the environment reads the shared
// words as before (scripts stub them on purpose).
static void pin_console_calls() {
    Node global = context::global_node;
    int32_t n = context::count(global);
    Node lib = context::create(64, false, false, 0, context::KIND_OBJECT);
    root::keep_node(lib);
    std::vector<int32_t> twin(static_cast<size_t>(n), -1);
    for (int32_t i = 0; i < n; i++) {
        Cell value = context::values(global)[i];
        if (!types::any_function(value.type())) continue;
        int32_t sym = static_cast<int32_t>(context::word_at_node(global, i)->data2);
        Cell w;
        set_cell(&w, TYPE_WORD, lib, static_cast<uint32_t>(sym), static_cast<uint32_t>(-1));
        context::set_or_add(lib, &w, &value);
        twin[static_cast<size_t>(i)] = context::find_word(lib, sym, false);
    }
    std::unordered_set<Node> seen;
    auto pin_function = [&](const Cell& fn) {
        Cell* body = function::body_of(&fn);
        if (fn.type() == TYPE_FUNCTION && body && types::any_block(body->type()))
            pin_block(body->node(), lib, twin, seen);
    };
    auto pin_object = [&](const Cell& obj) {
        if (obj.type() != TYPE_OBJECT) return;
        for (int32_t i = 0; i < context::count(obj.data1); i++) pin_function(context::values(obj.data1)[i]);
    };
    Cell w;
    word::load(&w, "system");
    if (Cell* v = word::peek(&w); v && v->type() == TYPE_OBJECT) {
        int32_t i = context::find_word(v->data1, symbol::make("console"), false);
        if (i >= 0) pin_object(context::values(v->data1)[i]);
    }
    // The help pages and the shell commands belong to the console too: a script's own `pad` or
    // `split` must not garble `help` or `ls`. (`about` is left to read the platform words as
    // they stand.)
    for (const char* name : {"cli-console-ctx", "help-ctx"}) {
        word::load(&w, name);
        if (Cell* v = word::peek(&w)) pin_object(*v);
    }
    for (const char* name : {"help", "what", "source", "help-string", "a-an", "ellipsize-at", "list-dir", "ls", "ll",
                             "pwd", "cd"}) {
        word::load(&w, name);
        if (Cell* v = word::peek(&w)) pin_function(*v);
    }
}

static void run(std::string_view name) {
    Cell code;
    load_source(&code, name);
    collector::Root keep(&code);
    stack::mark_named(stack::body_symbol, FRAME_INTERP_NATIVE);
    interpreter::eval_block(&code, true);
    stack::pop_frame();
}

void build_environment() {
    bool torture = collector::torture;
    if (!collector::torture_start_up) collector::torture = false;
    running = true;
    function::making_builtins = true;
    interpreter::provisional_types = true;
    env_routines::init();
    eval_tools::init();
    terminal::init();
    tui::draw_init();
    tui::register_text_routines();
    tui::register_loop_routines();
    routine_ctx = context::create(64, false, false, 0, context::KIND_OBJECT);
    root::keep_node(routine_ctx);
    natives::define_boot_words();
    set_datatype_words();
    for (int i = 0; i < boot_sources::count; i++) {
        std::string_view name = boot_sources::files[i].name;
        if (name == "boot/natives.kel" || name == "boot/catalog.kel") continue;
        run(name);
    }
    error::install_system_objects();
    pin_console_calls();
    running = false;
    function::making_builtins = false;
    interpreter::provisional_types = false;
    interpreter::settle_builtin_caches();
    // The routines' code, too, reads the arguments of the spec the boot gave it.
    for (int32_t i = 0; i < context::count(routine_ctx); i++) {
        Cell r = context::values(routine_ctx)[i];
        if (r.type() == TYPE_ROUTINE) interpreter::arg_cache(&r);
    }
    collector::torture = torture;
}

void hand_over() {
    Cell w;
    word::load(&w, "cli-console-ctx");
    Cell* ctx = word::peek(&w);
    if (!ctx || ctx->type() != TYPE_OBJECT) return;
    Cell code;
    lexer::load(&code, "cli-console-ctx/launch");
    collector::Root keep(&code);
    context::bind(&code, context::global_node, false);
    stack::mark_named(stack::body_symbol, FRAME_INTERP_NATIVE);
    interpreter::eval_block(&code, true);
    stack::pop_frame();
}

}  // namespace boot

namespace natives {

std::string_view boot_source() {
    const boot_sources::File* f = boot_sources::find("boot/natives.kel");
    return std::string_view(reinterpret_cast<const char*>(f->data), f->size);
}

Cell* load_boot_source(Cell* out) { return boot::text_block(out, boot_sources::find("boot/natives.kel")); }

}  // namespace natives
