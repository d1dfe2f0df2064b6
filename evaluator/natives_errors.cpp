#include "evaluator/natives_errors.h"

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/error.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "evaluator/interpreter.h"
#include "evaluator/natives.h"
#include "runtime/fire.h"
#include "runtime/runtime.h"
#include "runtime/stack.h"

namespace natives {

enum : int { N_TRY = 70, N_BREAK = 77, N_CONTINUE, N_EXIT, N_RETURN, N_THROW, N_CATCH };

static const symbol::Known sym_try("try"), sym_catch("catch"), sym_name("name");

void try_(int check, const int32_t* refs) {
    if (check) check_args(N_TRY, refs);
    bool all = refs[0] >= 0, keep = refs[1] >= 0;
    Cell* args = stack::arguments;
    stack::mark(sym_try, context::global_node, all ? FRAME_BOUNDARY : FRAME_TRY);
    uint32_t code = 0;
    try {
        interpreter::eval_block(args, true);
        stack::unwind_last();
    } catch (const Throw& t) {
        if (t.code > codes::error) throw;
        code = t.code;
    }
    if (!all) {
        if (code >= codes::exit && code <= codes::brk) {
            // A loop or function exit that belongs to an enclosing loop or function goes on;
            // a compiled caller finds it pending.
            if (stack::eval_q(nullptr, false)) runtime::throw_code(code);
            runtime::sys.thrown = code;
            return;
        }
        if (code != 0 && code != codes::error) runtime::throw_code(code);
    }
    // The error (or, with /all, whatever the exit left) becomes the result.
    stack::arguments = args;
    stack::keep_error();
    runtime::sys.thrown = 0;
    if (keep && args->type() == TYPE_ERROR) error::set_stack(args);
}

void try_end(bool keep) {
    Cell* caught = stack::top_cell();
    if (caught->type() == TYPE_ERROR) {
        if (keep) error::set_stack(caught);
        if (error::is(caught, err::throw_::throw_)) {
            Cell e = *caught;
            stack::throw_error(&e);
        }
    }
    *stack::arguments = *caught;
    stack::keep();
}

void break_(int check, const int32_t* refs) {
    if (check) check_args(N_BREAK, refs);
    stack::throw_break(refs[0] >= 0, false);
}

void continue_(int check, const int32_t* refs) {
    if (check) check_args(N_CONTINUE, refs);
    stack::throw_break(false, true);
}

void exit(int check, const int32_t* refs) {
    if (check) check_args(N_EXIT, refs);
    stack::throw_exit(false, false);
}

void return_(int check, const int32_t* refs) {
    if (check) check_args(N_RETURN, refs);
    stack::throw_exit(true, false);
}

void throw_(int check, const int32_t* refs) {
    if (check) check_args(N_THROW, refs);
    Cell* args = stack::arguments;
    if (interpreter::tracing) interpreter::fire_event(interpreter::EV_THROW, nullptr, -1, nullptr, args);
    // The cell after the value holds the name, or unset.
    if (refs[0] < 0) {
        stack::top = args + 1;
        set_cell(stack::push_cell(), TYPE_UNSET);
    }
    stack::throw_throw(codes::throw_);
}

// Whether a catch with /name takes a throw of the given name.
static bool takes(const Cell* names, const Cell* thrown) {
    if (thrown->type() != TYPE_WORD) return false;
    int32_t sym = symbol::resolve(static_cast<int32_t>(thrown->data2));
    if (names->type() == TYPE_WORD) return symbol::resolve(static_cast<int32_t>(names->data2)) == sym;
    int32_t n = block::rs_length_q(names);
    for (int32_t i = 0; i < n; i++) {
        const Cell* e = block::rs_head(names) + i;
        if (e->type() != TYPE_WORD) {
            Cell w, b = *names;
            word::make_global(&w, sym_name);
            fire(err::script::invalid_refine_arg, &w, &b);
        }
        if (symbol::resolve(static_cast<int32_t>(e->data2)) == sym) return true;
    }
    return false;
}

void catch_(int check, const int32_t* refs) {
    if (check) check_args(N_CATCH, refs);
    Cell* args = stack::arguments;
    stack::mark(sym_catch, context::global_node, FRAME_CATCH);
    Cell* base = stack::arguments;
    uint32_t code = 0;
    try {
        interpreter::eval_block(args, true);
    } catch (const Throw& t) {
        if (t.code > codes::throw_) throw;
        code = t.code;
    }
    // After a throw the catch frame is on top again, its base holding the value and the name.
    Cell thrown_name = base[1];
    stack::unwind_last();
    if (code == 0) return;
    if (code != codes::throw_) runtime::throw_code(code);
    if (refs[0] >= 0 && !takes(args + refs[0], &thrown_name)) {
        args[1] = thrown_name;
        stack::throw_throw(codes::throw_);
    }
    runtime::sys.thrown = 0;
    // The throwing call was remembered for an error nobody raises now: a later error must not
    // name it as the place it happened.
    stack::remembered = false;
    if (interpreter::tracing) interpreter::fire_event(interpreter::EV_CATCH, nullptr, -1, nullptr, args);
}

}  // namespace natives
