#include "evaluator/natives_control.h"

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/datatype.h"
#include "datatypes/function.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "evaluator/actions.h"
#include "evaluator/interpreter.h"
#include "evaluator/loop.h"
#include "evaluator/natives.h"
#include "loading/lexer.h"
#include "runtime/collector.h"
#include "runtime/fire.h"
#include "runtime/runtime.h"
#include "runtime/stack.h"

namespace natives {

// Native numbers, for argument checks of callers that pass the check flag.
enum : int {
    N_IF = 1, N_UNLESS, N_EITHER, N_ANY, N_ALL, N_WHILE, N_UNTIL, N_LOOP, N_REPEAT, N_FOREVER, N_FOREACH,
    N_FORALL, N_REMOVE_EACH, N_FUNC, N_FUNCTION, N_DOES, N_HAS, N_SWITCH, N_CASE, N_DO,
};

// Truth without an unset check: none and false are false, everything else (unset too) is true.
static inline bool truthy(const Cell* v) {
    uint8_t t = v->type();
    return !(t == TYPE_NONE || (t == TYPE_LOGIC && v->data1 == 0));
}

// Truth of either, while, until and case: an unset value is no answer.
static bool strict_truth(const Cell* v) {
    if (v->type() == TYPE_UNSET) fire(err::script::no_return);
    return truthy(v);
}

// Runs a loop's work under the loop catch: answers 0, codes::brk or codes::cont. Every other
// code passes on. After a break or continue the loop frame is on top again and its result slot
// holds unset or the break/return value. Besides the body, a loop's own steps run here: setting
// its words may call an on-change* handler, and remove-each's removal an on-deep-change*
// handler, whose break or continue has this loop as its target too.
template <class Work>
static uint32_t loop_catch(Work&& work) {
    try {
        work();
        return 0;
    } catch (const Throw& t) {
        if (t.code != codes::brk && t.code != codes::cont) throw;
        runtime::sys.thrown = 0;
        return t.code;
    }
}

static uint32_t run_body(const Cell* body, bool copy_result) {
    return loop_catch([&] { interpreter::eval_block_quick(body, copy_result); });
}

// One step of foreach or remove-each under the loop catch: false when the series is done or a
// break came; a continue skips this step's body.
enum class Step { next, skip, stop };
static Step take_step(bool many, int32_t n) {
    bool taken = false;
    uint32_t code = loop_catch([&] { taken = many ? ::loop::set_words(n) : ::loop::foreach_next(); });
    if (code == codes::brk) return Step::stop;
    if (code == codes::cont) return Step::skip;
    return taken ? Step::next : Step::stop;
}

static inline void push_loop_frame() { stack::mark_named(stack::body_symbol, FRAME_LOOP); }

// A loop frame whose result slot is taken from the start: every round of the body then runs at
// the same place on the stack, the first as those after a break or continue, so a tracer can
// tell a round that follows a continue from a nested block.
static inline void push_loop_frame_with_result() {
    push_loop_frame();
    set_cell(stack::push_cell(), TYPE_UNSET);
}

// Index of a series value clamped to its tail.
static void clamp_index(Cell* v) {
    int32_t n = block::node_length(v->node());
    if (v->index() > n) v->set_index(n);
}

// ---- Conditionals ----

void if_(int check, const int32_t* refs) {
    if (check) check_args(N_IF, refs);
    Cell* args = stack::arguments;
    if (!truthy(args)) return set_none();
    interpreter::eval_block(args + 1, true);
}

void unless(int check, const int32_t* refs) {
    if (check) check_args(N_UNLESS, refs);
    Cell* args = stack::arguments;
    if (truthy(args)) return set_none();
    interpreter::eval_block(args + 1, true);
}

void either(int check, const int32_t* refs) {
    if (check) check_args(N_EITHER, refs);
    Cell* args = stack::arguments;
    interpreter::eval_block(strict_truth(args) ? args + 1 : args + 2, true);
}

void any(int check, const int32_t* refs) {
    if (check) check_args(N_ANY, refs);
    Cell code = *stack::arguments;
    collector::Root keep(&code);
    int32_t pos = code.index() > 0 ? code.index() : 0;
    interpreter::trace_walk(interpreter::EV_ENTER, &code, pos, nullptr);
    bool found = false;
    while (!found && pos < block::node_length(code.node())) {
        pos = interpreter::eval_next(&code, pos, block::node_length(code.node()), false);
        found = truthy(stack::arguments);
    }
    if (!found) set_none();
    interpreter::trace_walk(interpreter::EV_EXIT, &code, block::node_length(code.node()), stack::arguments);
}

void all(int check, const int32_t* refs) {
    if (check) check_args(N_ALL, refs);
    Cell code = *stack::arguments;
    collector::Root keep(&code);
    int32_t pos = code.index() > 0 ? code.index() : 0;
    if (pos >= block::node_length(code.node())) return set_none();
    interpreter::trace_walk(interpreter::EV_ENTER, &code, pos, nullptr);
    // The event's callback may have emptied the block: then nothing is true either.
    if (pos >= block::node_length(code.node())) set_none();
    while (pos < block::node_length(code.node())) {
        pos = interpreter::eval_next(&code, pos, block::node_length(code.node()), false);
        if (!truthy(stack::arguments)) {
            set_none();
            break;
        }
    }
    interpreter::trace_walk(interpreter::EV_EXIT, &code, block::node_length(code.node()), stack::arguments);
}

// ---- Loops ----

void while_(int check, const int32_t* refs) {
    if (check) check_args(N_WHILE, refs);
    Cell* args = stack::arguments;
    push_loop_frame();
    while (true) {
        if (run_body(args, true)) fire(err::throw_::while_cond);
        if (!strict_truth(stack::arguments)) break;
        if (run_body(args + 1, true) == codes::brk) break;
    }
    stack::unwind();
    set_unset();
}

void until(int check, const int32_t* refs) {
    if (check) check_args(N_UNTIL, refs);
    Cell* args = stack::arguments;
    push_loop_frame_with_result();
    while (true) {
        uint32_t code = run_body(args, true);
        if (code == codes::brk) break;
        if (code == codes::cont) continue;
        if (strict_truth(stack::arguments)) break;
    }
    stack::unwind_last();
}

void loop(int check, const int32_t* refs) {
    if (check) check_args(N_LOOP, refs);
    Cell* args = stack::arguments;
    ::loop::count_to_int(args);
    int32_t n = args->i1();
    if (n < 1) return set_none();
    push_loop_frame_with_result();
    for (int32_t i = 0; i < n; i++)
        if (run_body(args + 1, true) == codes::brk) break;
    stack::unwind_last();
}

void repeat(int check, const int32_t* refs) {
    if (check) check_args(N_REPEAT, refs);
    Cell* args = stack::arguments;
    ::loop::count_to_int(args + 1);
    int32_t n = args[1].i1();
    if (n < 1) return set_none();
    push_loop_frame_with_result();
    // The counter lives here, not in the word: a body that changes the word does not change the
    // number of passes, and the last pass never steps past the count.
    for (int32_t i = 1;; i++) {
        Cell counter;
        set_cell(&counter, TYPE_INTEGER, static_cast<uint32_t>(i));
        uint32_t code = loop_catch([&] { word::set_value(args, &counter); });
        if (code == 0) code = run_body(args + 2, true);
        if (code == codes::brk) break;
        if (i == n) break;
    }
    stack::unwind_last();
}

void forever(int check, const int32_t* refs) {
    if (check) check_args(N_FOREVER, refs);
    Cell* args = stack::arguments;
    push_loop_frame();
    while (true) {
        if (run_body(args, false) == codes::brk) break;
        stack::reset();
    }
    stack::unwind_last();
}

void foreach(int check, const int32_t* refs) {
    if (check) check_args(N_FOREACH, refs);
    Cell* args = stack::arguments;
    stack::push(args + 1);  // the cursor
    stack::push(args);      // the word or words
    push_loop_frame();
    set_unset();
    int32_t n = 0;
    bool many = args->type() == TYPE_BLOCK;
    if (many) {
        n = block::rs_length_q(args);
        if (n < 1) fire(err::script::invalid_arg, args);
    } else if (args[1].type() == TYPE_MAP) {
        fire(err::script::invalid_arg, args);
    }
    for (Step step; (step = take_step(many, n)) != Step::stop;) {
        if (step == Step::skip) continue;
        stack::keep();
        if (run_body(args + 2, true) == codes::brk) break;
    }
    stack::unwind_last();
}

// A series as forall walks it: anything block-like or string-like, binary!, vector!, image!.
static bool forall_series(uint8_t t) { return types::series(t); }

void forall(int check, const int32_t* refs) {
    if (check) check_args(N_FORALL, refs);
    Cell* args = stack::arguments;
    Cell* saved = word::get(args);  // pushes the word's value: the saved series
    if (!forall_series(saved->type())) {
        Cell name, type, arg;
        stack::get_call_name(&name);
        datatype::make_at(&type, saved->type());
        word::load(&arg, "word");
        fire(err::script::expect_arg, &name, &type, &arg);
    }
    stack::push(args);
    push_loop_frame();
    set_unset();
    bool broken = false;
    if (!::loop::forall_next(false)) {
        while (true) {
            stack::keep();
            if (run_body(args + 1, true) == codes::brk) {
                broken = true;
                break;
            }
            Cell* current = word::peek(args);
            if (!current || !forall_series(current->type()) || current->node() != saved->node()) {
                Cell v;
                if (current)
                    v = *current;
                else
                    set_cell(&v, TYPE_UNSET);
                fire(err::script::bad_loop_series, &v);
            }
            if (::loop::forall_next(true)) break;
        }
    }
    // A break or continue from an on-change* handler of the word ends the loop as it is.
    if (!broken) loop_catch([] { ::loop::forall_end(); });
    stack::unwind_last();
}

void remove_each(int check, const int32_t* refs) {
    if (check) check_args(N_REMOVE_EACH, refs);
    Cell* args = stack::arguments;
    set_cell(stack::push_cell(), TYPE_INTEGER, 0);  // the word count
    stack::push(args + 1);                          // the cursor
    stack::push(args);                              // the word or words
    push_loop_frame();
    set_unset();  // the loop's result slot: the collector sees it from the first pass on
    ::loop::remove_each_init();
    bool many = args->type() == TYPE_BLOCK;
    int32_t n = stack::arguments[-3].i1();
    if (n > 0) {
        for (Step step; (step = take_step(many, n)) != Step::stop;) {
            if (step == Step::skip) continue;
            stack::keep();
            uint32_t code = run_body(args + 2, false);
            if (code == codes::brk) break;
            if (code == codes::cont) continue;
            if (loop_catch([&] { ::loop::remove_each_next(n); }) == codes::brk) break;
        }
    }
    stack::unwind();
    *args = args[1];
    stack::keep();
}

// ---- Function makers ----

void func(int check, const int32_t* refs) {
    if (check) check_args(N_FUNC, refs);
    Cell* args = stack::arguments;
    clamp_index(args);
    clamp_index(args + 1);
    uint32_t flags = function::validate_spec(args);
    function::push(args, args + 1, 0, 0, 0, flags);
    *args = *(stack::top - 1);
    stack::keep();
}

void function(int check, const int32_t* refs) {
    if (check) check_args(N_FUNCTION, refs);
    Cell* args = stack::arguments;
    clamp_index(args);
    Node copy = block::copy_cells(args);
    block::make_at(args, copy);
    Cell* scratch = stack::push_cell();
    set_cell(scratch, TYPE_NONE);
    function::collect_words(scratch, args, args + 1);
    stack::top = args + 2;
    func(0, refs);
}

void does(int check, const int32_t* refs) {
    if (check) check_args(N_DOES, refs);
    Cell* args = stack::arguments;
    stack::top = args + 1;
    stack::push(args);  // the body moves to the second argument
    block::make_new(args, 1);
    func(0, refs);
}

void has(int check, const int32_t* refs) {
    if (check) check_args(N_HAS, refs);
    Cell* args = stack::arguments;
    clamp_index(args);
    block::make_at(args, block::copy_cells(args));
    Cell* local = stack::push_cell();
    word::make_global(local, function::local_symbol(), TYPE_REFINEMENT);
    block::insert_cell(args->node(), 0, local);
    stack::top = args + 2;
    func(0, refs);
}

// ---- switch and case ----

void switch_(int check, const int32_t* refs) {
    if (check) check_args(N_SWITCH, refs);
    Cell* args = stack::arguments;
    const Cell* cases = args + 1;
    int32_t from = cases->index() > 0 ? cases->index() : 0;
    if (args->type() != TYPE_BLOCK) {
        for (int32_t i = from; i < block::node_length(cases->node()); i++) {
            Cell c = *block::node_cell(cases->node(), i);
            if (c.type() != args->type() || actions::compare_value(args, &c, COMP_EQUAL) != 0) continue;
            for (int32_t j = i + 1; j < block::node_length(cases->node()); j++) {
                Cell* b = block::node_cell(cases->node(), j);
                if (b->type() != TYPE_BLOCK) continue;
                Cell body = *b;
                Cell* held = stack::push(&body);
                interpreter::eval_block(held, true);
                return;
            }
            return set_none();
        }
    }
    if (refs[0] >= 0) {
        interpreter::eval_block(args + refs[0], true);
        return;
    }
    set_none();
}

void case_(int check, const int32_t* refs) {
    if (check) check_args(N_CASE, refs);
    bool all = refs[0] >= 0;
    Cell* code = stack::push(stack::arguments);
    int32_t pos = code->index() > 0 ? code->index() : 0;
    if (pos >= block::node_length(code->node())) return set_none();
    stack::mark_named(stack::anon_symbol, FRAME_NATIVE);
    interpreter::trace_walk(interpreter::EV_ENTER, code, pos, nullptr);
    bool matched = false;
    while (pos < block::node_length(code->node())) {
        pos = interpreter::eval_next(code, pos, block::node_length(code->node()), false);
        if (pos >= block::node_length(code->node())) {
            Cell w;
            word::load(&w, "case");
            fire(err::script::need_value, &w);
        }
        if (strict_truth(stack::arguments)) {
            Cell* branch = block::node_cell(code->node(), pos);
            if (branch->type() == TYPE_BLOCK) {
                Cell* held = stack::push(branch);
                interpreter::eval_block(held, true);
                pos++;
            } else {
                pos = interpreter::eval_next(code, pos, block::node_length(code->node()), false);
            }
            if (!all) {
                interpreter::trace_walk(interpreter::EV_EXIT, code, block::node_length(code->node()), stack::arguments);
                stack::unwind_last();
                return;
            }
            matched = true;
        } else {
            pos++;
            matched = false;
        }
    }
    if (!matched) set_cell(stack::arguments, TYPE_NONE);
    interpreter::trace_walk(interpreter::EV_EXIT, code, block::node_length(code->node()), stack::arguments);
    stack::unwind_last();
    if (!matched) set_none();
}

// ---- do ----

// Ends a trace that do/trace started, and gives back the caller's return-target flag it took.
static void finish_trace(Frame* claimed, bool started) {
    if (claimed) stack::clear_frame_flag(claimed);
    if (started) {
        uint32_t thrown = runtime::sys.thrown;
        runtime::sys.thrown = 0;
        interpreter::trace_end();
        runtime::sys.thrown = thrown;
    }
}

// The same while a throw passes through do/trace. The frames up to its catcher are gone by now
// (the catcher's own frame too, for an error) and the data stack top is still where the throw
// began, so the end event runs set aside from the throw in flight.
static void finish_trace_unwinding(Frame* claimed, bool started) {
    if (claimed) stack::clear_frame_flag(claimed);
    if (started) interpreter::run_aside([](void*) { interpreter::trace_end(); }, nullptr);
}

static void do_block(Cell* args, const int32_t* refs) {
    clamp_index(args);
    if (refs[0] >= 0) {
        if (!expand) fire(err::internal::not_done);
        expand(args);
    }
    if (refs[2] >= 0) {
        Cell position = args[refs[2]];
        collector::Root keep(&position);
        Cell block = *args;
        collector::Root keep_block(&block);
        int32_t next = interpreter::do_next(&block);
        Cell* rest = stack::push(&block);
        rest->set_index(next);
        word::set_value(&position, rest);
        stack::keep();
        return;
    }
    interpreter::eval_block(args, true);
}

static void do_value(Cell* args, const int32_t* refs) {
    switch (args->type()) {
        case TYPE_BLOCK:
        case TYPE_PAREN:
        case TYPE_HASH: do_block(args, refs); return;
        case TYPE_STRING: {
            Cell* loaded = stack::push_cell();
            set_cell(loaded, TYPE_NONE);
            lexer::Options options;
            lexer::scan_value(loaded, args, -1, options, nullptr);
            *args = *loaded;
            do_block(args, refs);
            return;
        }
        case TYPE_FILE:
        case TYPE_URL: {
            if (!do_file) fire(err::internal::not_done);
            Cell* script_args = stack::push_cell();
            if (refs[1] >= 0)
                *script_args = args[refs[1]];
            else
                set_cell(script_args, TYPE_NONE);
            Cell* file = stack::push(args);
            do_file(file, script_args);
            return;
        }
        case TYPE_PATH: interpreter::eval_path(args, args, 0, 0, false, false, false, false); return;
        case TYPE_ERROR: {
            Cell err = *args;
            stack::throw_error(&err);
        }
        default: eval_single(args); return;
    }
}

void do_(int check, const int32_t* refs) {
    if (check) check_args(N_DO, refs);
    bool interpreted = stack::eval_q(nullptr, false);
    Cell* args = stack::arguments;
    Frame* claimed = nullptr;
    bool started = false;
    if (refs[3] >= 0) {
        claimed = stack::claim_caller_flag();
        started = interpreter::trace_begin(args + refs[3]);
    }
    try {
        do_value(args, refs);
    } catch (const Throw& t) {
        finish_trace_unwinding(claimed, started);
        uint32_t code = t.code;
        if (code >= codes::exit && code <= codes::brk) {
            // Compiled callers take break, continue, return and exit from the pending code.
            if (!interpreted) {
                runtime::sys.thrown = code;
                return;
            }
            // The exit stopped at the caller whose flag do/trace took: look for its real target.
            if (claimed && (code == codes::ret || code == codes::exit)) stack::throw_exit(code == codes::ret, true);
        }
        throw;
    }
    finish_trace(claimed, started);
}

}  // namespace natives
