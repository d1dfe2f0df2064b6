#include "runtime/print.h"

#include <charconv>
#include <cstdio>
#include <cstring>

#include "runtime/console.h"
#include "runtime/output.h"

namespace print {

static bool ends_in_blank(const Typed& t) {
    auto blank = [](unsigned char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; };
    if (t.kind == Typed::Text) {
        size_t n = t.s ? std::strlen(t.s) : 0;
        return n > 0 && blank(static_cast<unsigned char>(t.s[n - 1]));
    }
    if (t.kind == Typed::Byte) return blank(static_cast<unsigned char>(t.i));
    return false;
}

static void emit(const Typed& t) {
    char buf[64];
    int n = 0;
    switch (t.kind) {
        case Typed::Logic: output::write_text(t.i ? "true" : "false"); return;
        case Typed::Integer: n = std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(t.i)); break;
        case Typed::Byte: buf[0] = static_cast<char>(t.i); n = 1; break;
        case Typed::Float32: n = static_cast<int>(format_float(static_cast<float>(t.f), 7, buf)); break;
        case Typed::Float64: n = static_cast<int>(format_float(t.f, 16, buf)); break;
        case Typed::Text: if (t.s) output::write_text(t.s); return;
        default: n = std::snprintf(buf, sizeof buf, "%08X", static_cast<uint32_t>(t.i)); break;
    }
    output::write_bytes(buf, static_cast<size_t>(n));
}

void typed_list(std::initializer_list<Typed> items, bool separate) {
    output::begin_write();
    size_t k = 0;
    for (const Typed& t : items) {
        emit(t);
        if (separate && ++k < items.size() && !ends_in_blank(t)) output::write_bytes(" ", 1);
    }
    output::flush();
    output::end_write();
}

void typed(std::initializer_list<Typed> items) { typed_list(items, false); }
void typed_spaced(std::initializer_list<Typed> items) { typed_list(items, true); }

void byte(unsigned char c) { typed({Typed::byte(c)}); }

void char_literal(unsigned char c) {
    char buf[16];
    int n;
    if (c == 0) n = std::snprintf(buf, sizeof buf, "#\"^@\"");
    else if (c == 9) n = std::snprintf(buf, sizeof buf, "#\"^-\"");
    else if (c == 10) n = std::snprintf(buf, sizeof buf, "#\"^/\"");
    else if (c == 27) n = std::snprintf(buf, sizeof buf, "#\"^]\"");
    else if (c < 32) n = std::snprintf(buf, sizeof buf, "#\"^%c\"", 64 + c);
    else if (c < 128) n = std::snprintf(buf, sizeof buf, "#\"%c\"", c);
    else n = std::snprintf(buf, sizeof buf, "#\"^(%02X)\"", c);
    output::write_bytes(buf, static_cast<size_t>(n));
    output::flush();
}

void cstring_part(const char* text, int n) {
    size_t len = 0;
    while (static_cast<int>(len) < n && text[len]) len++;
    output::write_bytes(text, len);
    output::flush();
}

size_t format_float(double v, int digits, char* out) {
    auto r = std::to_chars(out, out + 31, v, std::chars_format::general, digits);
    *r.ptr = 0;
    return static_cast<size_t>(r.ptr - out);
}

void latin1(const void* text, size_t bytes) { console::print_ucs(text, bytes, 1, false); }
void latin1_line(const void* text, size_t bytes) { console::print_ucs(text, bytes, 1, true); }
void ucs2(const void* text, size_t bytes) { console::print_ucs(text, bytes, 2, false); }
void ucs2_line(const void* text, size_t bytes) { console::print_ucs(text, bytes, 2, true); }
void ucs4(const void* text, size_t bytes) { console::write_utf8(text, bytes, 4, false); }
void ucs4_line(const void* text, size_t bytes) { console::write_utf8(text, bytes, 4, true); }

const char* cstring(const char* text) {
    size_t n = std::strlen(text);
    output::write_raw(text, n);
    output::call_hooks_3(text, n, 0);
    return text;
}

void formatted(const char* text, size_t n) {
    console::print_ucs(text, n, 1, false);
    output::call_hooks_3(text, n, 0);
}

void integer(int32_t v) {
    char buf[16];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    formatted(buf, static_cast<size_t>(r.ptr - buf));
}

void hex_byte(uint8_t v) {
    char buf[4];
    formatted(buf, static_cast<size_t>(std::snprintf(buf, sizeof buf, "%02X", v)));
}

void hex(uint32_t v) {
    char buf[12];
    formatted(buf, static_cast<size_t>(std::snprintf(buf, sizeof buf, "%08X", v)));
}

void float_(double v) {
    char buf[32];
    formatted(buf, format_float(v, 16, buf));
}

void float32(float v) {
    char buf[32];
    formatted(buf, format_float(v, 7, buf));
}

}  // namespace print

void print_line(std::initializer_list<Typed> items) {
    output::begin_write();
    for (const Typed& t : items) print::emit(t);
    output::write_bytes("\n", 1);
    output::flush();
    output::end_write();
}

namespace cstring {
bool equal_q(const char* a, const char* b) { return std::strcmp(a, b) == 0; }
}
