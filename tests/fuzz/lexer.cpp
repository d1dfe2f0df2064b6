// libFuzzer target: the lexer over arbitrary bytes in every mode. The input lives in a buffer of
// exactly its size, so AddressSanitizer reports any read past its end; a syntax error is the only
// acceptable way to refuse input.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "datatypes/binary.h"
#include "datatypes/string.h"
#include "loading/lexer.h"
#include "runtime/collector.h"
#include "runtime/init.h"
#include "runtime/runtime.h"
#include "runtime/stack.h"

namespace {

// Runs f under a try frame; language errors are expected, nothing else is.
template <class F>
void guarded(F&& f) {
    stack::Saved saved = stack::save();
    stack::mark_named(stack::body_symbol, FRAME_TRY);
    try {
        f();
    } catch (const Throw& t) {
        if (t.code != codes::error) throw;
    }
    stack::restore(saved);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    runtime::init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 16) return 0;
    // What each input loads is kept by nothing: a collection now and then keeps a long run within
    // its memory limit.
    static uint32_t runs = 0;
    if (++runs % 1024 == 0) collector::do_cycle();
    auto length = static_cast<uint32_t>(size);
    Cell out;

    // Load, one value, scan and prescan modes.
    for (int mode = 0; mode < 4; mode++) {
        lexer::Options o;
        o.one = mode == 1 || mode == 2;
        o.load = mode != 2;
        o.prescan = mode == 3;
        int32_t used = 0;
        guarded([&] { lexer::scan(&out, data, length, o, &used); });
        if (used < 0 || uint32_t(used) > length) __builtin_trap();
    }

    // A trace callback that sees every event and steps over every error.
    lexer::Trace trace;
    trace.fn = [&](lexer::TraceEvent& e) {
        if (e.start < 0 || e.end < e.start || uint32_t(e.end) > length) __builtin_trap();
        if (e.event == lexer::EV_ERROR) {
            e.resume = e.input + 1;
            return false;
        }
        return true;
    };
    lexer::Options traced;
    traced.trace = &trace;
    guarded([&] { lexer::scan(&out, data, length, traced, nullptr); });

    // The same bytes as a binary! scanned in part, and, when they are UTF-8, as a string!.
    guarded([&] {
        Cell bin;
        binary::load_at(&bin, data, size);
        lexer::Options o;
        lexer::scan_value(&out, &bin, static_cast<int32_t>(size / 2), o, nullptr);
    });
    guarded([&] {
        Cell text;
        string::load_at(&text, reinterpret_cast<const char*>(data), size);
        lexer::Options o;
        o.one = true;
        lexer::scan_value(&out, &text, -1, o, nullptr);
        Cell target;
        conversion::scan_single(&text, &target);
    });

    // The conversion scanners over 1-byte units.
    int error;
    lexer::scan_integer(data, static_cast<int32_t>(size), 1, &error);
    lexer::scan_float(data, static_cast<int32_t>(size), 1, &error);
    Cell value;
    lexer::scan_money(&value, data, static_cast<int32_t>(size), 1);
    lexer::scan_tuple(&value, data, static_cast<int32_t>(size), 1);
    return 0;
}
