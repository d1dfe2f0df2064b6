#!/usr/bin/env python3
"""Generates the run-time's error ids and bootstrap message table from boot/catalog.kel.

The catalog file is a Kel script of `category: make object! [code: .. type: .. id: message ...]`
entries; each id's position in its object (code and type first) is the index the run-time uses.
"""
import re
import sys

KEYWORDS = {"break", "return", "throw", "continue", "protected", "default", "delete", "new",
            "private", "public", "this", "true", "false", "and", "or", "not", "xor", "if", "while",
            "do", "union", "case", "switch", "try", "catch", "class", "struct", "template",
            "typename", "operator", "register", "static", "const", "auto", "goto", "export"}


def cname(word):
    name = word.replace("-", "_")
    if name.endswith("?"):
        name = name[:-1] + "_q"
    return name + "_" if name in KEYWORDS else name


def main():
    src, out = sys.argv[1], sys.argv[2]
    text = open(src, encoding="utf-8").read()
    body = text[text.index("]", text.index("Kel [")) + 1:]
    categories = []
    current = None
    for line in body.splitlines():
        m = re.match(r"^([a-z0-9-]+): make object! \[\s*$", line)
        if m:
            current = {"name": m.group(1), "ids": [], "title": None, "code": None}
            categories.append(current)
            continue
        if current is None or line.strip() in ("", "]"):
            continue
        m = re.match(r"^\s+([a-z0-9-]+):\s(.*)$", line)
        if not m:
            raise SystemExit(f"catalog: cannot read line: {line!r}")
        key, value = m.group(1), m.group(2).strip()
        if key == "code":
            current["code"] = int(value)
        elif key == "type":
            current["title"] = value.strip('"')
        else:
            current["ids"].append((key, value))

    def cstr(s):
        return '"' + s.replace("\\", "\\\\").replace('"', '\\"') + '"'

    lines = ["// Generated from boot/catalog.kel by tools/gen_catalog.py. Do not edit.",
             "#pragma once", "#include <cstdint>", "",
             "struct ErrorId {", "    uint8_t category;  // 0 throw ... 9 internal",
             "    uint8_t index;     // position of the id in its category object (code, type first)",
             "};", "",
             "constexpr bool operator==(ErrorId a, ErrorId b) { return a.category == b.category && a.index == b.index; }",
             "", "namespace err {"]
    for k, cat in enumerate(categories):
        lines.append(f"namespace {cname(cat['name'])} {{")
        for i, (key, _) in enumerate(cat["ids"]):
            lines.append(f"constexpr ErrorId {cname(key)}{{{k}, {i + 2}}};")
        lines.append("}")
    lines.append("}  // namespace err")
    lines.append("")
    lines.append("namespace catalog {")
    lines.append("struct IdText { const char* name; const char* message; };")
    lines.append("struct Category { const char* name; int code; const char* title; int count; const IdText* ids; };")
    for k, cat in enumerate(categories):
        lines.append(f"inline constexpr IdText ids_{k}[] = {{")
        for key, value in cat["ids"]:
            lines.append(f"    {{{cstr(key)}, {cstr(value)}}},")
        lines.append("    {nullptr, nullptr}};")
    lines.append("inline constexpr Category categories[] = {")
    for k, cat in enumerate(categories):
        lines.append(f"    {{{cstr(cat['name'])}, {cat['code']}, {cstr(cat['title'])}, {len(cat['ids'])}, ids_{k}}},")
    lines.append("};")
    lines.append(f"constexpr int category_count = {len(categories)};")
    lines.append("}  // namespace catalog")
    open(out, "w", encoding="utf-8").write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
