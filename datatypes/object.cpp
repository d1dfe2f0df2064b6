#include "datatypes/object.h"

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/symbol.h"
#include "evaluator/interpreter.h"
#include "runtime/collector.h"
#include "runtime/stack.h"

namespace object {

static int32_t class_counter = 1000000;

int32_t new_class_id() { return ++class_counter; }

Cell* make_at(Cell* c, int32_t n) {
    Node ctx = context::create(n, false, true, 0, context::KIND_OBJECT);
    set_cell(c, TYPE_OBJECT, ctx, 0, 0);
    *context::owner_of(ctx) = *c;
    return c;
}

void fire_on_change(Cell* owner, const Cell* word, int32_t index, const Cell* value) {
    Cell o = *owner, w = *word, v = *value;
    collector::Root keep_o(&o), keep_w(&w), keep_v(&v);
    Node ctx = o.data1;
    Cell old = context::values(ctx)[index];
    collector::Root keep_old(&old);
    context::values(ctx)[index] = v;
    static int32_t sym = 0;
    if (!sym) sym = symbol::make("on-change*");
    int32_t h = context::find_word(ctx, sym, true);
    if (h < 0) return;
    Cell handler = context::values(ctx)[h];
    if (handler.type() != TYPE_FUNCTION) return;
    const Cell* args[3] = {&w, &old, &v};
    Cell result;
    Cell* saved_top = stack::top;
    interpreter::call_with(&result, &handler, args, 3);
    stack::top = saved_top;
}

}  // namespace object
