#include "services/os_info.h"

#include <sys/utsname.h>

#include <cstdio>

#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/object.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/tuple.h"
#include "datatypes/word.h"
#include "loading/lexer.h"
#include "runtime/collector.h"
#include "runtime/stack.h"

namespace os_info {

std::string os_release_value(std::string_view text, std::string_view key) {
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        size_t start = line.find_first_not_of(" \t");
        if (start == std::string_view::npos || line[start] == '#') continue;
        line.remove_prefix(start);
        if (line.size() <= key.size() || line.substr(0, key.size()) != key || line[key.size()] != '=') continue;
        std::string_view raw = line.substr(key.size() + 1);
        std::string value;
        char quote = 0;
        for (size_t i = 0; i < raw.size(); i++) {
            char c = raw[i];
            if (quote) {
                if (c == quote) {
                    quote = 0;
                } else if (quote == '"' && c == '\\' && i + 1 < raw.size()) {
                    value += raw[++i];
                } else {
                    value += c;
                }
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (c == '\\' && i + 1 < raw.size()) {
                value += raw[++i];
            } else if (c == ' ' || c == '\t' || c == '\r') {
                break;
            } else {
                value += c;
            }
        }
        return value;
    }
    return {};
}

const char* arch_of(std::string_view m) {
    if (m == "x86_64" || m == "amd64") return "x86-64";
    if (m == "aarch64" || m == "arm64" || m == "aarch64_be") return "ARM64";
    if (m == "ia64") return "IA-64";
    if (m.size() == 4 && m[0] == 'i' && m.substr(2) == "86" && m[1] >= '3' && m[1] <= '6') return "x86-32";
    if (m.substr(0, 3) == "arm") return "ARM";
    return "Unknown";
}

void release_numbers(std::string_view release, uint8_t out[3]) {
    out[0] = out[1] = out[2] = 0;
    size_t i = 0;
    for (int part = 0; part < 3; part++) {
        if (i >= release.size() || release[i] < '0' || release[i] > '9') return;
        unsigned v = 0;
        for (; i < release.size() && release[i] >= '0' && release[i] <= '9'; i++) v = v < 255 ? v * 10 + unsigned(release[i] - '0') : v;
        out[part] = static_cast<uint8_t>(v > 255 ? 255 : v);
        if (i >= release.size() || release[i] != '.') return;
        i++;
    }
}

int32_t build_number(std::string_view version) {
    size_t hash = version.find('#');
    if (hash == std::string_view::npos) return 0;
    int64_t v = 0;
    for (size_t i = hash + 1; i < version.size() && version[i] >= '0' && version[i] <= '9'; i++) {
        v = v * 10 + (version[i] - '0');
        if (v > INT32_MAX) return INT32_MAX;
    }
    return static_cast<int32_t>(v);
}

static std::string read_text(const char* path) {
    std::string text;
    FILE* f = std::fopen(path, "rb");
    if (!f) return text;
    char buf[4096];
    size_t n;
    // os-release is a few hundred bytes; a bound keeps an odd file from costing much.
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0 && text.size() < (1u << 16)) text.append(buf, n);
    std::fclose(f);
    return text;
}

Description describe() {
    Description d{};
    struct utsname u {};
    if (uname(&u) != 0) {
        d.name = "Linux";
        d.arch = "Unknown";
        return d;
    }
    std::string release = read_text("/etc/os-release");
    if (release.empty()) release = read_text("/usr/lib/os-release");
    d.name = os_release_value(release, "PRETTY_NAME");
    if (d.name.empty()) {
        d.name = os_release_value(release, "NAME");
        std::string version = os_release_value(release, "VERSION");
        if (!d.name.empty() && !version.empty()) d.name += " " + version;
    }
    if (d.name.empty()) d.name = u.sysname;
    d.arch = arch_of(u.machine);
    release_numbers(u.release, d.version);
    d.build = build_number(u.version);
    return d;
}

void make_object(Cell* out) {
    Description d = describe();
    Cell spec;
    lexer::load(&spec, "name: arch: version: build:");
    collector::Root keep_spec(&spec);
    Cell* obj = object::make_from_spec(&spec, nullptr, false);
    // Each value is made first, then stored: making one may move the object's values.
    const char* fields[4] = {"name", "arch", "version", "build"};
    for (int i = 0; i < 4; i++) {
        Cell v;
        switch (i) {
            case 0: string::load_at(&v, d.name); break;
            case 1: word::load(&v, d.arch); break;
            case 2: tuple::make_at(&v, d.version, 3); break;
            default: set_cell(&v, TYPE_INTEGER, static_cast<uint32_t>(d.build)); break;
        }
        collector::Root keep_v(&v);
        int32_t sym = symbol::make(fields[i]);
        *context::value_of_symbol(sym, obj->data1) = v;
    }
    *out = *obj;
}

}  // namespace os_info
