// The evaluation tools' run-time side. `trace` is a routine because it writes the interpreter's
// trace switch: a function body puts the switch back as it found it when it ends, so a switch
// written from inside any function would not outlast the call. Its other modes call back into
// the tracer functions of system/tools.
#include "environment/tools.h"

#include "datatypes/context.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "evaluator/interpreter.h"
#include "evaluator/natives.h"
#include "runtime/collector.h"
#include "runtime/fire.h"
#include "runtime/stack.h"

namespace eval_tools {

namespace {

symbol::Known sym_system("system");
symbol::Known sym_tools("tools");
symbol::Known sym_tracers("tracers");
symbol::Known sym_do_handler("do-handler");
symbol::Known sym_dumper("dumper");
symbol::Known sym_guided_trace("guided-trace");
symbol::Known sym_inspector("inspector");
symbol::Known sym_inspect("inspect");

// A member of an object value, or null when the value is no object or has no such member.
Cell* member(const Cell* obj, int32_t sym) {
    if (!obj || obj->type() != TYPE_OBJECT) return nullptr;
    return context::value_of_symbol(sym, obj->data1);
}

[[noreturn]] void missing(int32_t sym) {
    Cell w;
    word::make_global(&w, sym);
    fire(err::script::no_value, &w);
}

// A function member of system/tools (through `tracers` when asked); a missing or replaced one
// is the script error of a word that has no function.
void tools_function(Cell* out, int32_t sym, int32_t sub = 0) {
    Cell* obj = member(context::value_of_symbol(sym_system, context::global_node), sym_tools);
    if (sub) obj = member(obj, sub);
    Cell* fn = member(obj, sym);
    if (!fn || !types::any_function(fn->type())) missing(sym);
    *out = *fn;
}

bool logic_arg(int i) {
    const Cell* c = stack::arguments + i;
    return c->type() == TYPE_LOGIC && c->data1 != 0;
}

// trace code /raw /deep /all /debug
void trace() {
    Cell code = *stack::arguments;
    if (code.type() == TYPE_LOGIC) {
        // Event delivery can be turned on only while a handler is installed.
        interpreter::tracing = interpreter::trace_active && code.data1 != 0;
        set_cell(stack::arguments, TYPE_UNSET);
        stack::keep();
        return;
    }
    collector::Root keep_code(&code);
    bool raw = logic_arg(1), deep = logic_arg(2), all = logic_arg(3), debug = logic_arg(4);
    // The tools' own calls are not part of what is traced.
    struct SwitchBack {
        bool was = interpreter::tracing;
        ~SwitchBack() { interpreter::tracing = was; }
    } switch_back;
    interpreter::tracing = false;
    Cell fn, handler, result;
    set_cell(&fn, TYPE_NONE);
    set_cell(&handler, TYPE_NONE);
    set_cell(&result, TYPE_UNSET);
    collector::Root keep_fn(&fn), keep_handler(&handler), keep_result(&result);
    if (raw) {
        tools_function(&fn, sym_do_handler);
        tools_function(&handler, sym_dumper, sym_tracers);
        const Cell* args[2] = {&code, &handler};
        interpreter::call_with(&result, &fn, args, 2);
    } else {
        tools_function(&fn, sym_guided_trace, sym_tracers);
        Cell* tracers = member(member(context::value_of_symbol(sym_system, context::global_node), sym_tools), sym_tracers);
        Cell* inspect = member(member(tracers, sym_inspector), sym_inspect);
        if (!inspect || !types::any_function(inspect->type())) missing(sym_inspect);
        handler = *inspect;
        Cell flags[3];
        set_cell(&flags[0], TYPE_LOGIC, all ? 1 : 0);
        set_cell(&flags[1], TYPE_LOGIC, deep ? 1 : 0);
        set_cell(&flags[2], TYPE_LOGIC, debug ? 1 : 0);
        const Cell* args[5] = {&handler, &code, &flags[0], &flags[1], &flags[2]};
        interpreter::call_with(&result, &fn, args, 5);
    }
    *stack::arguments = result;
    stack::keep();
}

// Whether an evaluation runs under a trace handler, whether or not its events are delivered at
// this moment (the system's own functions never see them).
void trace_active_q() {
    set_cell(stack::arguments, TYPE_LOGIC, interpreter::trace_active ? 1 : 0);
    stack::keep();
}

}  // namespace

void init() {
    routines::register_("trace", trace);
    routines::register_("trace-active?", trace_active_q);
}

}  // namespace eval_tools
