#include "datatypes/function.h"

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/symbol.h"
#include "runtime/collector.h"
#include "runtime/stack.h"

namespace function {

static int32_t sym_local = 0;

int32_t local_symbol() {
    if (!sym_local) sym_local = symbol::make("local");
    return sym_local;
}

Cell* body_of(const Cell* fn) {
    if (fn->type() != TYPE_FUNCTION && fn->type() != TYPE_ROUTINE) return nullptr;
    return block::node_cell(fn->data3, MORE_BODY);
}

int32_t count_locals(Node spec, int32_t start, bool strict) {
    int32_t n = block::node_length(spec);
    int32_t count = -1;
    int32_t local = symbol::resolve(local_symbol());
    for (int32_t i = start; i < n; i++) {
        Cell* c = block::node_cell(spec, i);
        if (count < 0) {
            if (c->type() == TYPE_REFINEMENT && symbol::resolve(static_cast<int32_t>(c->data2)) == local) count = 1;
        } else if (c->type() == TYPE_WORD) {
            count++;
        }
    }
    if (count < 0) return strict ? -1 : 0;
    return count;
}

void init_locals(int32_t n) {
    if (n <= 0) return;
    set_cell(stack::push_cell(), TYPE_LOGIC, 0);
    for (int32_t i = 1; i < n; i++) set_cell(stack::push_cell(), TYPE_NONE);
}

Cell* make_at(Cell* out, const Cell* spec_in, const Cell* body_in, uint32_t flags) {
    Cell spec = *spec_in, body = *body_in;
    collector::Root keep_spec(&spec), keep_body(&body);
    // The spec is kept from its first cell.
    if (spec.index() > 0) {
        Node copy = block::copy_cells(&spec);
        block::make_at(&spec, copy);
    }
    Node ctx = context::make(&spec, true, false, context::KIND_FUNCTION);
    collector::NodeRoot keep_ctx(&ctx);
    Node more = memory::alloc_cells(5);
    collector::NodeRoot keep_more(&more);
    for (int i = 0; i < 5; i++) set_cell(block::alloc_tail(more), TYPE_UNSET);
    if (body.type() == TYPE_BLOCK) {
        Node copy = block::copy_deep(&body);
        Cell bound;
        block::make_at(&bound, copy);
        context::bind(&bound, ctx, false);
        *block::node_cell(more, MORE_BODY) = bound;
    } else {
        set_cell(block::node_cell(more, MORE_BODY), TYPE_NONE);
    }
    Cell fn;
    set_cell(&fn, TYPE_FUNCTION, ctx, spec.node(), more);
    fn.header |= flags;
    *context::owner_of(ctx) = fn;
    *out = fn;
    return out;
}

Node push(const Cell* spec, const Cell* body, Node, int32_t code, int32_t extra, uint32_t flags) {
    Cell fn;
    make_at(&fn, spec, body, flags);
    Cell* more = block::node_cell(fn.data3, 0);
    if (code) set_cell(more + MORE_CODE, TYPE_INTEGER, static_cast<uint32_t>(code));
    if (extra) set_cell(more + MORE_EXTRA, TYPE_INTEGER, static_cast<uint32_t>(extra));
    stack::push(&fn);
    return fn.data1;
}

void init() { local_symbol(); }

}  // namespace function
