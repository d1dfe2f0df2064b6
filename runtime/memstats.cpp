#include "runtime/memstats.h"

#include "datatypes/block.h"
#include "runtime/collector.h"
#include "runtime/runtime.h"

namespace memstats {

void append_count(Node block, double bytes) {
    Cell c;
    if (bytes > 2147483647.0) {
        set_cell(&c, TYPE_FLOAT);
        c.set_f(bytes);
    } else {
        set_cell(&c, TYPE_INTEGER, static_cast<uint32_t>(static_cast<int32_t>(bytes)));
    }
    block::append_cell(block, &c);
}

static void append_int(Node block, double n) {
    Cell c;
    set_cell(&c, TYPE_INTEGER, static_cast<uint32_t>(static_cast<int32_t>(n > 2147483647.0 ? 2147483647.0 : n)));
    block::append_cell(block, &c);
}

// A new block of three counts appended to a block, with the new-line marker.
static void append_triple(Node block, double a, double b, double c) {
    Node inner = block::make_node(3);
    collector::NodeRoot keep(&inner);
    append_int(inner, a);
    append_int(inner, b);
    append_int(inner, c);
    Cell v;
    block::make_at(&v, inner);
    v.header |= cell_flag::newline;
    block::append_cell(block, &v);
}

// Appends a new empty block to parent and answers its node.
static Node append_block(Node parent) {
    Node n = block::make_node(8);
    collector::NodeRoot keep(&n);
    Cell v;
    block::make_at(&v, n);
    block::append_cell(parent, &v);
    return n;
}

double collect(Node parent, Node output, int mode) {
    if (mode == 0) return 0;
    struct Disabled {
        bool saved = collector::enabled;
        Disabled() { collector::enabled = false; }
        ~Disabled() { collector::enabled = saved; }
    } disabled;
    double total = 0;
    for (NodeFrame* f = memory::state.node_first; f; f = f->next) total += 4.0 * f->in_use;
    for (SeriesFrame* f = memory::state.series_first; f; f = f->next) total += double(f->free - f->data());
    for (BigRegion* r = memory::state.big_first; r; r = r->next) total += double(r->size);
    if (mode >= 2) {
        collector::NodeRoot keep_parent(&parent), keep_output(&output);
        Node nodes = append_block(parent);
        collector::NodeRoot keep_nodes(&nodes);
        for (NodeFrame* f = memory::state.node_first; f; f = f->next)
            append_triple(nodes, double(f->capacity - f->in_use), double(f->in_use), double(f->capacity));
        Node series = append_block(parent);
        collector::NodeRoot keep_series(&series);
        for (SeriesFrame* f = memory::state.series_first; f; f = f->next) {
            double used = double(f->free - f->data());
            double size = double(f->end - f->data());
            append_triple(series, size - used, used, size);
        }
        Node big = append_block(parent);
        collector::NodeRoot keep_big(&big);
        double big_total = 0;
        for (BigRegion* r = memory::state.big_first; r; r = r->next) {
            append_int(big, double(r->size));
            big_total += double(r->size) + 12;
        }
        append_count(output, big_total);
        double heap = 0;
        for (HeapBlock* b = runtime::sys.heap_first; b; b = b->next) heap += double(b->size) + 16;
        append_count(output, heap);
    }
    return total;
}

}  // namespace memstats
