// Line-driven driver of the text conversions for the differential tests in tests/py/.
// Each input line is a command; each answers one line:
//   u8 [c|-] HEX           load UTF-8 (c: CR LF folding) -> ok UNIT REMAINING CPS | err CAT IDX ARGHEX
//   u16 [c|-] HEX          load UTF-16LE                  -> ok UNIT 0 CPS | err ...
//   enc8 CPS               string of those codepoints to UTF-8  -> ok HEX | err ...
//   enc16 CPS              to UTF-16LE                    -> ok HEX | null
//   mold BITS              float text with the shortest digits
//   form KIND P BITS       pretty text of a kind, P 1/0 for pretty printing on/off
//   digits N BITS          at most N significant digits -> DIGITS POS
//   strtod EXTRA TEXT      -> BITS LEFT
//   case U|L FIRST LAST    mapped codepoints of FIRST..LAST (hex), comma-separated
// CPS are comma-separated hexadecimal codepoints ("-" for none); BITS a double's 16 hex digits.
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "../support/fired.h"
#include "datatypes/float.h"
#include "runtime/collector.h"
#include "runtime/case_folding.h"
#include "runtime/dtoa.h"
#include "runtime/init.h"
#include "runtime/platform.h"
#include "runtime/unicode.h"

namespace {

std::vector<uint8_t> from_hex(const std::string& s) {
    std::vector<uint8_t> out;
    if (s == "-") return out;
    for (size_t i = 0; i + 1 < s.size(); i += 2) out.push_back(uint8_t(std::stoul(s.substr(i, 2), nullptr, 16)));
    return out;
}

std::string to_hex(const uint8_t* p, size_t n) {
    static const char* d = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; i++) {
        s += d[p[i] >> 4];
        s += d[p[i] & 15];
    }
    return s.empty() ? "-" : s;
}

std::vector<uint32_t> parse_cps(const std::string& s) {
    std::vector<uint32_t> out;
    if (s == "-") return out;
    std::stringstream ss(s);
    std::string item;
    while (std::getline(ss, item, ',')) out.push_back(uint32_t(std::stoul(item, nullptr, 16)));
    return out;
}

// "UNIT REMAINING CPS" of a loaded buffer.
std::string loaded(Node node, uint32_t remaining) {
    SeriesBuf* b = memory::nodes[node];
    uint32_t unit = b->unit();
    std::string list;
    for (uint32_t off = b->head; off < b->tail; off += unit) {
        uint32_t cp = 0;
        std::memcpy(&cp, b->data() + off, unit);
        char tmp[16];
        std::snprintf(tmp, sizeof tmp, "%s%x", list.empty() ? "" : ",", cp);
        list += tmp;
    }
    return std::to_string(unit) + " " + std::to_string(remaining) + " " + (list.empty() ? "-" : list);
}

std::string error_line(const test_support::Fired& f) {
    std::ostringstream os;
    os << "err " << int(f.id.category) << ' ' << int(f.id.index) << ' ';
    if (f.has_arg1 && f.arg1.is(TYPE_BINARY)) {
        auto bytes = test_support::binary_bytes(f.arg1);
        os << to_hex(bytes.data(), bytes.size());
    } else if (f.has_arg1 && f.arg1.is(TYPE_INTEGER)) {
        os << "i" << std::hex << f.arg1.data1;
    } else {
        os << "-";
    }
    return os.str();
}

Cell string_of(const std::vector<uint32_t>& cps) {
    uint32_t unit = 1;
    for (uint32_t cp : cps) unit = std::max(unit, cp <= 0xFF ? 1u : cp <= 0xFFFF ? 2u : 4u);
    Node n = memory::alloc_series(int32_t(cps.size() + 1), int(unit), 0);
    SeriesBuf* b = memory::nodes[n];
    for (size_t i = 0; i < cps.size(); i++) std::memcpy(b->data() + i * unit, &cps[i], unit);
    b->tail = uint32_t(cps.size() * unit);
    Cell c;
    set_cell(&c, TYPE_STRING, 0, n, 0);
    return c;
}

double bits_to_double(const std::string& s) {
    uint64_t bits = std::stoull(s, nullptr, 16);
    double d;
    std::memcpy(&d, &bits, 8);
    return d;
}

std::string run(const std::string& line) {
    std::istringstream in(line);
    std::string cmd;
    in >> cmd;
    if (cmd == "u8" || cmd == "u16") {
        std::string flag, hex;
        in >> flag >> hex;
        std::vector<uint8_t> bytes = from_hex(hex);
        uint32_t remaining = 0;
        Node node = 0;
        auto err = test_support::fired([&] {
            if (cmd == "u8")
                node = unicode::load_utf8_new(bytes.data(), uint32_t(bytes.size()), flag == "c", &remaining);
            else
                node = unicode::load_utf16(unicode::Source::external(bytes.data()), uint32_t(bytes.size() / 2),
                                           nullptr, flag == "c");
        });
        if (err) return error_line(*err);
        return "ok " + loaded(node, remaining);
    }
    if (cmd == "enc8" || cmd == "enc16") {
        std::string list;
        in >> list;
        Cell str = string_of(parse_cps(list));
        collector::Root keep_str(&str);  // and the conversion buffer it gets in its third word
        std::string out;
        auto err = test_support::fired([&] {
            int32_t n = -1;
            if (cmd == "enc8") {
                const char* p = unicode::to_utf8(&str, &n, false);
                out = "ok " + to_hex(reinterpret_cast<const uint8_t*>(p), size_t(n));
            } else {
                const uint16_t* p = unicode::to_utf16_part(&str, &n, false);
                out = p ? "ok " + to_hex(reinterpret_cast<const uint8_t*>(p), size_t(n) * 2) : "null";
            }
        });
        return err ? error_line(*err) : out;
    }
    if (cmd == "mold") {
        std::string bits;
        in >> bits;
        return dtoa::form_float(bits_to_double(bits), 0, true);
    }
    if (cmd == "form") {
        int kind, pretty;
        std::string bits;
        in >> kind >> pretty >> bits;
        float_::pretty_print = pretty != 0;
        std::string s = float_::form_float(bits_to_double(bits), kind);
        float_::pretty_print = true;
        return s;
    }
    if (cmd == "digits") {
        int n;
        std::string bits;
        in >> n >> bits;
        int pos, len;
        bool sign;
        const char* t = dtoa::dtoa(bits_to_double(bits), n, &pos, &sign, &len, true);
        return std::string(t, size_t(len)) + " " + std::to_string(pos);
    }
    if (cmd == "strtod") {
        int extra;
        std::string text;
        in >> extra >> text;
        int left = -1;
        double d = dtoa::strtod(text.data(), text.data() + text.size(), extra, &left);
        uint64_t bits;
        std::memcpy(&bits, &d, 8);
        char buf[40];
        std::snprintf(buf, sizeof buf, "%016" PRIx64 " %d", bits, left);
        return buf;
    }
    if (cmd == "case") {
        std::string dir, first, last;
        in >> dir >> first >> last;
        std::string out;
        char tmp[16];
        for (uint32_t cp = uint32_t(std::stoul(first, nullptr, 16)), end = uint32_t(std::stoul(last, nullptr, 16)); cp <= end; cp++) {
            std::snprintf(tmp, sizeof tmp, "%s%x", out.empty() ? "" : ",", case_folding::change(cp, dir == "U"));
            out += tmp;
        }
        return out;
    }
    return "?";
}

}  // namespace

int main(int argc, char** argv) {
    platform::init(argc, argv);
    runtime::init();
    collector::enabled = true;  // as after start-up
    std::ios::sync_with_stdio(false);
    std::string line;
    while (std::getline(std::cin, line)) std::cout << run(line) << '\n';
    return 0;
}
