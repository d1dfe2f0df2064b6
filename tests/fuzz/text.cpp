// libFuzzer target of the text decoders and the float scanner. The first byte picks the
// operation; the rest is the input. Besides crashes and sanitizer reports it checks round trips:
// whatever loads encodes and loads back to the same codepoints, UTF-16 to the same units, and
// every float's text reads back to the same float.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "datatypes/float.h"
#include "runtime/collector.h"
#include "runtime/dtoa.h"
#include "runtime/fire.h"
#include "runtime/init.h"
#include "runtime/runtime.h"
#include "runtime/stack.h"
#include "runtime/unicode.h"

namespace {

#define CHECK(cond)                      \
    do {                                 \
        if (!(cond)) __builtin_trap();   \
    } while (0)

// Reused buffers: the run-time collects only now and then here, so fresh strings per input would pile up.
Cell first, second;

Cell reusable() {
    Cell c;
    set_cell(&c, TYPE_STRING, 0, memory::alloc_series(4 * 70000, 1, 0), 0);
    return c;
}

void reset(Cell& c) {
    SeriesBuf* b = c.buffer();
    b->flags = (b->flags & ~series_flag::unit_mask) | 1;
    b->head = b->tail = 0;
}

std::vector<uint32_t> cps_of(const Cell& c) {
    SeriesBuf* b = c.buffer();
    uint32_t unit = b->unit();
    std::vector<uint32_t> out;
    for (uint32_t off = b->head; off < b->tail; off += unit) {
        uint32_t cp = 0;
        std::memcpy(&cp, b->data() + off, unit);
        out.push_back(cp);
    }
    return out;
}

// Runs f; false when it raised a language error.
template <class F>
bool attempt(F&& f) {
    // Under a try frame, as the try native runs code: an error is taken there instead of ending
    // the process.
    stack::Saved saved = stack::save();
    stack::mark_named(stack::body_symbol, FRAME_TRY);
    try {
        f();
        stack::restore(saved);
        return true;
    } catch (const Throw& t) {
        CHECK(t.code == codes::error);
        stack::restore(saved);
        runtime::sys.thrown = 0;
        return false;
    }
}

void utf8(const uint8_t* data, uint32_t size, bool crlf) {
    reset(first);
    uint32_t remaining = 0;
    if (!attempt([&] { unicode::load_utf8(unicode::Source::external(data), size, first.node(), crlf, &remaining); }))
        return;
    CHECK(remaining <= 3 && remaining <= size);
    std::vector<uint32_t> cps = cps_of(first);
    uint32_t top = 0;
    for (uint32_t cp : cps) top = cp > top ? cp : top;
    CHECK(top <= unicode::kMaxCodepoint);
    CHECK(first.buffer()->unit() == (top <= 0xFF ? 1u : top <= 0xFFFF ? 2u : 4u));
    // The UTF-8 form of what loaded loads back to the same codepoints (surrogates 0xDC00-0xDCFF
    // excepted: the loader refuses them).
    for (uint32_t cp : cps)
        if (cp >= 0xDC00 && cp <= 0xDCFF) return;
    int32_t len = -1;
    const char* text = unicode::to_utf8(&first, &len, false);
    std::vector<uint8_t> copy(text, text + len);
    reset(second);
    uint32_t left = 0;
    CHECK(attempt([&] { unicode::load_utf8(unicode::Source::external(copy.data()), uint32_t(copy.size()), second.node(), false, &left); }));
    CHECK(left == 0);
    // A leading U+FEFF is read as a byte order mark the second time.
    std::vector<uint32_t> again = cps_of(second);
    if (!cps.empty() && cps[0] == 0xFEFF) cps.erase(cps.begin());
    CHECK(again == cps);
}

void utf16(const uint8_t* data, uint32_t size, bool cr) {
    uint32_t units = size / 2;
    if (!attempt([&] { unicode::load_utf16(unicode::Source::external(data), units, &first, cr); })) return;
    std::vector<uint16_t> want;
    for (uint32_t i = 0; i < units; i++) {
        uint16_t u = uint16_t(data[2 * i] | data[2 * i + 1] << 8);
        if (!(cr && u == '\r')) want.push_back(u);
    }
    int32_t len = -1;
    const uint16_t* out = unicode::to_utf16_part(&first, &len, false);
    CHECK(out != nullptr);
    CHECK(std::vector<uint16_t>(out, out + len) == want);
}

void scan(const uint8_t* data, uint32_t size) {
    const uint8_t* end = data + size;
    int32_t n = unicode::count_chars(data, end);
    CHECK(n >= 0 && uint32_t(n) <= size);
    CHECK(unicode::skip_chars(data, end, n) == end);
    const uint8_t* p = data;
    while (p < end) {
        int32_t remaining = int32_t(end - p);
        int32_t cp = 0;
        if (!attempt([&] { cp = unicode::decode_utf8_checked(p, &remaining); })) return;
        if (cp < 0) return;
        CHECK(cp <= int32_t(unicode::kMaxCodepoint) && remaining >= 1 && remaining <= end - p);
        p += remaining;
    }
}

void round_trip(double v) {
    char text[dtoa::kTextSize];
    int len = dtoa::form_float(v, 0, true, text);
    CHECK(len > 0 && len < dtoa::kTextSize);
    int left = -1;
    double back = dtoa::strtod(text, text + len, 0, &left);
    CHECK(left == 0);
    if (v == v) CHECK(std::memcmp(&back, &v, 8) == 0);
    char pretty[float_::kFormSize];
    for (int kind = 0; kind <= 5; kind++) {
        int n = float_::form_float(v, kind, pretty);
        CHECK(n > 0 && n < float_::kFormSize && pretty[n] == 0);
    }
}

void floats(const uint8_t* data, uint32_t size) {
    int left = -1;
    double v = dtoa::strtod(reinterpret_cast<const char*>(data), reinterpret_cast<const char*>(data) + size, 0, &left);
    CHECK(left >= 0 && uint32_t(left) <= size);
    round_trip(v);
    if (size >= 8) {
        double raw;
        std::memcpy(&raw, data, 8);
        round_trip(raw);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = [] {
        runtime::init();
        first = reusable();
        second = reusable();
        return true;
    }();
    (void)ready;
    // The errors that refused inputs raise pile up with no collector running: a collection now
    // and then keeps a long run within its memory limit.
    static collector::Root keep_first(&first), keep_second(&second);
    static uint32_t runs = 0;
    if (++runs % 4096 == 0) collector::do_cycle();
    if (size == 0 || size > 65536) return 0;
    uint8_t op = data[0];
    const uint8_t* in = data + 1;
    uint32_t n = uint32_t(size - 1);
    switch (op % 4) {
        case 0: utf8(in, n, op & 0x10); break;
        case 1: utf16(in, n, op & 0x10); break;
        case 2: scan(in, n); break;
        default: floats(in, n); break;
    }
    return 0;
}
