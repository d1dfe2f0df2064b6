// Test support: Kel text evaluated through the lexer and the interpreter, with the natives and
// actions bound to their words the way start-up binds them, and the few constants, typesets and
// operators that the boot script sets before any spec names them.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/datatype.h"
#include "datatypes/error.h"
#include "datatypes/native.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "evaluator/actions.h"
#include "evaluator/interpreter.h"
#include "evaluator/natives.h"
#include "loading/lexer.h"
#include "runtime/output.h"
#include "runtime/runtime.h"
#include "runtime/stack.h"

namespace kel_test {

// The constants the boot script sets first (the typesets every spec names are made in C++ before
// any native or action runs, since argument checks need them).
inline const char* const kPrelude = R"(
    none: make none! 0
    true: make logic! 1
    false: make logic! 0
    yes: on: true
    no: off: false
    pi: 3.141592653589793
)";

struct Outcome {
    bool error = false;
    std::string text;     // the molded value, or "category/id" of the error
    std::string message;  // the formed error
};

inline std::string utf8_of(const Cell* string_value) { return string::to_utf8(string_value); }

// Evaluates Kel text under a try frame, as the console does; the value is molded.
Outcome run(std::string_view code);

inline void set_global(const char* name, const Cell* value) {
    Cell w;
    word::load(&w, name);
    word::set_value(&w, value);
}

// Binds the natives, actions, datatype words and the prelude once per process.
inline void boot() {
    static bool done = false;
    if (done) return;
    done = true;
    natives::define_boot_words();
    // Every datatype word, also of the types whose modules come later (specs name them).
    static const char* const type_names[] = {
        nullptr,     "datatype!", "unset!",    "none!",     "logic!",    "block!",    "paren!",    "string!",
        "file!",     "url!",      "char!",     "integer!",  "float!",    "symbol!",   "context!",  "word!",
        "set-word!", "lit-word!", "get-word!", "refinement!", "issue!",  "native!",   "action!",   "op!",
        "function!", "path!",     "lit-path!", "set-path!", "get-path!", "routine!",  "bitset!",   "triple!",
        "object!",   "typeset!",  "error!",    "vector!",   "hash!",     "pair!",     "percent!",  "tuple!",
        "map!",      "binary!",   "series!",   "time!",     "tag!",      "email!",    "handle!",   "date!",
        "port!",     "money!",    "ref!",      "point2D!",  "point3D!",  "image!",    "event!",
    };
    for (int t = 1; t <= TYPE_EVENT; t++) {
        Cell v;
        datatype::make_at(&v, t);
        set_global(type_names[t], &v);
    }
    // Typesets: a list of datatypes and earlier typesets each.
    static const char* const typesets[][2] = {
        {"internal!", "unset!"},
        {"external!", "event!"},
        {"number!", "integer! float! percent!"},
        {"planar!", "pair! point2D!"},
        {"any-point!", "point2D! point3D!"},
        {"scalar!", "number! any-point! money! char! pair! tuple! time! date!"},
        {"any-word!", "word! set-word! lit-word! get-word!"},
        {"all-word!", "any-word! refinement! issue!"},
        {"any-list!", "block! paren! hash!"},
        {"any-path!", "path! lit-path! set-path! get-path!"},
        {"any-block!", "any-path! any-list!"},
        {"any-function!", "native! action! op! function! routine!"},
        {"any-object!", "object! error! port!"},
        {"any-string!", "string! file! url! tag! email! ref!"},
        {"series!", "binary! image! vector! any-block! any-string!"},
        {"immediate!", "scalar! all-word! none! logic! datatype! typeset! handle! date!"},
        {"default!", "series! immediate! any-object! external! any-function! map! bitset!"},
        {"any-type!", "default! internal!"},
    };
    for (auto& ts : typesets) {
        Cell set;
        set_cell(&set, TYPE_TYPESET);
        std::string_view list = ts[1];
        while (!list.empty()) {
            size_t sp = list.find(' ');
            std::string name(list.substr(0, sp));
            list = sp == std::string_view::npos ? std::string_view() : list.substr(sp + 1);
            Cell w;
            word::load(&w, name);
            const Cell* v = word::peek(&w);
            if (v && v->type() == TYPE_DATATYPE) interpreter::typeset_set(&set, static_cast<int>(v->data1));
            if (v && v->type() == TYPE_TYPESET) {
                set.data1 |= v->data1;
                set.data2 |= v->data2;
                set.data3 |= v->data3;
            }
        }
        set_global(ts[0], &set);
    }
    // Operators over the natives and actions, as the boot script makes them.
    static const char* const ops[][2] = {
        {"+", "add"}, {"-", "subtract"}, {"*", "multiply"}, {"/", "divide"}, {"%", "remainder"},
        {"=", "equal?"}, {"<>", "not-equal?"}, {"==", "strict-equal?"}, {"=?", "same?"}, {"<", "lesser?"},
        {">", "greater?"}, {"<=", "lesser-or-equal?"}, {">=", "greater-or-equal?"}, {"**", "power"},
        {"and", "and~"}, {"or", "or~"}, {"xor", "xor~"},
    };
    for (auto& op : ops) {
        Cell fn_word;
        word::load(&fn_word, op[1]);
        Cell fn = *word::peek(&fn_word), value;
        native::op_make(&value, &fn, TYPE_OP);
        set_global(op[0], &value);
    }
    Outcome o = run(kPrelude);
    if (o.error) {
        fprintf(stderr, "prelude failed: %s %s\n", o.text.c_str(), o.message.c_str());
        abort();
    }
}

inline Outcome run(std::string_view code) {
    boot();
    stack::Saved saved = stack::save();
    Outcome out;
    Cell* source = stack::push_cell();
    set_cell(source, TYPE_NONE);
    static const int32_t sym = symbol::make("test");
    try {
        stack::mark(sym, context::global_node, FRAME_TRY);
        lexer::load(source, code);
        interpreter::eval_block(source, true);
        Cell* molded = stack::push_cell();
        set_cell(molded, TYPE_NONE);
        actions::mold_new(molded, stack::arguments);
        out.text = utf8_of(molded);
    } catch (const Throw& t) {
        out.error = true;
        Cell* err = stack::top_cell();
        if (t.code == codes::error && err->type() == TYPE_ERROR) {
            out.text = std::string(symbol::text(error::get_type(err))) + "/" + std::string(symbol::text(error::get_id(err)));
            Cell* formed = stack::push_cell();
            set_cell(formed, TYPE_NONE);
            actions::form_new(formed, err);
            out.message = utf8_of(formed);
        } else {
            out.text = "throw " + std::to_string(t.code);
        }
    }
    runtime::sys.thrown = 0;
    stack::restore(saved);
    return out;
}

// The molded value, or "!category/id" for an error.
inline std::string eval(std::string_view code) {
    Outcome o = run(code);
    return o.error ? "!" + o.text : o.text;
}

// A snippet and its molded value ("!category/id" for an error).
struct Case {
    const char* code;
    const char* expected;
};

// Everything printed through the output hooks while it lives: each string, then "\n" when the
// print ended the line.
class Capture {
public:
    Capture() {
        current() = this;
        output::add_hooks(hook, nullptr);
        output::remove_hooks(output::print_string, nullptr);
    }
    ~Capture() {
        output::remove_hooks(hook, nullptr);
        output::add_hooks(output::print_string, nullptr);
        current() = nullptr;
    }
    std::string text;

private:
    static Capture*& current() {
        static Capture* c = nullptr;
        return c;
    }
    static void hook(const Cell* s, bool line_end) {
        if (!current()) return;
        current()->text += string::to_utf8(s);
        if (line_end) current()->text += "\n";
    }
};

}  // namespace kel_test
