// A long allocation loop under automatic collection: strings, blocks, objects and functions made
// and dropped, with a bounded window of them kept alive. Peak resident memory after N iterations
// and after 10 x N should be about the same; a leak or a collector that never gives memory back
// shows as growth.
//
// Usage: kel_gc_bench [N [window]]   (defaults 20000 and 512)
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/function.h"
#include "datatypes/object.h"
#include "datatypes/string.h"
#include "datatypes/word.h"
#include "runtime/collector.h"
#include "runtime/init.h"
#include "runtime/platform.h"
#include "runtime/root.h"

namespace {

static int kWindow = 512;  // values kept alive at any time (second argument)

long peak_rss_kib() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

// One iteration's garbage and the one value it keeps (replacing the oldest kept value).
void step(Node window, int i) {
    Cell text;
    string::load_at(&text, "text number " + std::to_string(i) + std::string(size_t(i % 200), 'x'));
    collector::Root keep_text(&text);

    Cell blk;
    block::make_new(&blk, 4);
    collector::Root keep_blk(&blk);
    for (int k = 0; k < 8 + i % 24; k++) block::append_cell(blk.node(), &text);

    Cell obj;
    object::make_at(&obj, 2);
    collector::Root keep_obj(&obj);
    Cell name, value;
    word::load(&name, "field");
    set_cell(&value, TYPE_INTEGER, static_cast<uint32_t>(i));
    context::set_or_add(obj.data1, &name, &value);
    context::set_or_add(obj.data1, &name, &blk);

    // A function whose body holds the block: a closure over this iteration's data.
    Cell spec, body, fn;
    block::make_new(&spec, 1);
    collector::Root keep_spec(&spec);
    Cell arg;
    word::load(&arg, "arg");
    block::append_cell(spec.node(), &arg);
    block::make_new(&body, 2);
    collector::Root keep_body(&body);
    block::append_cell(body.node(), &arg);
    block::append_cell(body.node(), &blk);
    function::make_at(&fn, &spec, &body, 0);
    collector::Root keep_fn(&fn);

    const Cell* kept[] = {&text, &blk, &obj, &fn};
    *block::node_cell(window, i % kWindow) = *kept[i % 4];
}

}  // namespace

int main(int argc, char** argv) {
    long n = argc > 1 ? std::atol(argv[1]) : 20000;
    if (n < 1) n = 1;
    if (argc > 2) kWindow = std::max(1, std::atoi(argv[2]));
    platform::init(argc, argv);
    runtime::init();
    collector::enabled = true;
    Node window = block::make_node(kWindow);
    root::keep_node(window);
    memory::nodes[window]->tail = kWindow * 16;
    for (int k = 0; k < kWindow; k++) set_cell(block::node_cell(window, k), TYPE_NONE);

    auto started = std::chrono::steady_clock::now();
    long rss_at_n = 0;
    for (long i = 0; i < 10 * n; i++) {
        step(window, static_cast<int>(i % 1000000000));
        if (i + 1 == n) rss_at_n = peak_rss_kib();
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    long rss_at_10n = peak_rss_kib();
    std::printf("iterations %ld: peak RSS %ld KiB\n", n, rss_at_n);
    std::printf("iterations %ld: peak RSS %ld KiB (growth %.1f%%)\n", 10 * n, rss_at_10n,
                100.0 * double(rss_at_10n - rss_at_n) / double(rss_at_n));
    std::printf("collections %u, %.0f MiB reclaimed, %.2f s, %.2f us per iteration\n", collector::cycles,
                double(collector::bytes_freed) / 1048576.0, seconds, seconds * 1e6 / double(10 * n));
    return 0;
}
