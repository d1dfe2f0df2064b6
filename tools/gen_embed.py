#!/usr/bin/env python3
"""Embeds a text file in the run-time as a function answering its contents.

Usage: gen_embed.py INPUT OUTPUT NAMESPACE FUNCTION

The file's UTF-8 bytes are written as a C++ string literal, one source line per literal piece,
so the generated file stays readable and diffs of the input show in it line for line.
"""
import sys


def literal(line: bytes) -> str:
    out = []
    for b in line:
        c = chr(b)
        if c == '\\':
            out.append('\\\\')
        elif c == '"':
            out.append('\\"')
        elif c == '\n':
            out.append('\\n')
        elif c == '\t':
            out.append('\\t')
        elif 32 <= b < 127 and c != '?':
            out.append(c)
        else:
            out.append('\\%03o' % b)
    return '"' + ''.join(out) + '"'


def main() -> int:
    source, target, namespace, function = sys.argv[1:5]
    with open(source, 'rb') as f:
        data = f.read()
    lines = data.splitlines(keepends=True)
    body = '\n'.join('    ' + literal(line) for line in lines) or '    ""'
    text = (
        '// Generated from %s; do not edit.\n'
        '#include <string_view>\n\n'
        'namespace %s {\n\n'
        'static const char kText[] =\n%s;\n\n'
        'std::string_view %s() { return std::string_view(kText, sizeof kText - 1); }\n\n'
        '}  // namespace %s\n' % (source.rsplit('/', 1)[-1], namespace, body, function, namespace))
    with open(target, 'w', encoding='utf-8') as f:
        f.write(text)
    return 0


if __name__ == '__main__':
    sys.exit(main())
