#include "datatypes/number.h"

#include "datatypes/datatype.h"
#include "datatypes/error.h"
#include "datatypes/string.h"
#include "datatypes/word.h"
#include "loading/lexer.h"
#include "runtime/fire.h"
#include "runtime/runtime.h"
#include "runtime/stack.h"

namespace number {

int action_of(int op) {
    switch (op) {
        case OP_ADD: return ACT_ADD;
        case OP_SUB: return ACT_SUBTRACT;
        case OP_MUL: return ACT_MULTIPLY;
        case OP_DIV: return ACT_DIVIDE;
        case OP_REM: return ACT_REMAINDER;
        case OP_OR: return ACT_OR_T;
        case OP_AND: return ACT_AND_T;
        case OP_XOR: return ACT_XOR_T;
        default: runtime::quit(101, KEL_CALLER_ADDRESS());
    }
}

const char* word_of(int op) {
    static const char* const words[] = {"add", "subtract", "multiply", "divide", "remainder", "or~", "and~", "xor~"};
    return op >= 0 && op <= OP_XOR ? words[op] : "";
}

bool run_type_math(int type, int op) {
    auto fn = reinterpret_cast<ActionFn>(datatype::slot(type, action_of(op)));
    if (!fn) return false;
    static const int32_t no_refs[1] = {-1};
    fn(no_refs);
    return true;
}

Cell scan_one(const Cell* text) {
    Cell value;
    set_cell(&value, TYPE_NONE);
    stack::Saved saved = stack::save();
    stack::mark_named(stack::body_symbol, FRAME_TRY);
    Cell* target = stack::push_cell();  // holds the scanned block while it is read
    set_cell(target, TYPE_NONE);
    try {
        value = *conversion::scan_single(text, target);
    } catch (const Throw& t) {
        if (t.code != codes::error) throw;
        Cell err = stack::pending_error;
        stack::restore(saved);
        // Text that does not even scan is no value of the kind asked for; other errors go on.
        if (error::id_of(&err).category != err::syntax::invalid.category) stack::throw_error(&err);
        runtime::sys.thrown = 0;
        return value;
    }
    stack::restore(saved);
    return value;
}

Cell scan_as(const Cell* text, int type) {
    Cell value = scan_one(text);
    if (value.type() != type) fire_bad_to_arg(type, text);
    return value;
}

const uint8_t* text_units(const Cell* text, int32_t* count, int* unit) {
    Cell t = *text;
    uint32_t head = string::rs_head(&t);
    *count = string::rs_length_q(&t);
    SeriesBuf* s = memory::nodes[t.node()];
    *unit = static_cast<int>(s->unit());
    return s->data() + head;
}

void fire_invalid_type(const Cell* value) {
    Cell type;
    datatype::make_at(&type, value->type());
    fire(err::script::invalid_type, &type);
}

void fire_not_related(const char* name, int type) {
    Cell w, t;
    word::load(&w, name);
    datatype::make_at(&t, type);
    fire(err::script::not_related, &w, &t);
}

void fire_not_related_call(int type) {
    Cell w, t;
    stack::get_call_name(&w);
    datatype::make_at(&t, type);
    fire(err::script::not_related, &w, &t);
}

void fire_bad_to_arg(int type, const Cell* spec) {
    Cell t, s = *spec;
    datatype::make_at(&t, type);
    fire(err::script::bad_to_arg, &t, &s);
}

void fire_expect_arg(const Cell* value, int index) {
    Cell name, type, arg;
    stack::get_call_name(&name);
    datatype::make_at(&type, value->type());
    error::get_call_argument(index, &arg);
    fire(err::script::expect_arg, &name, &type, &arg);
}

void fire_expect_arg_named(const Cell* value, const char* argument) {
    Cell name, type, arg;
    stack::get_call_name(&name);
    datatype::make_at(&type, value->type());
    word::load(&arg, argument);
    fire(err::script::expect_arg, &name, &type, &arg);
}

void fire_type_limit(int type) {
    Cell t;
    datatype::make_at(&t, type);
    fire(err::script::type_limit, &t);
}

}  // namespace number
