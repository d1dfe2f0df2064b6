#!/usr/bin/env python3
"""Program fuzzer: generates random but well-formed Kel programs that call the real natives,
actions and environment functions with plausible arguments of many types (nested blocks,
functions, objects, loops, parse rules, try/catch/throw/break/return, code that changes itself),
runs each under a build (best the sanitizer build) with a time limit, and keeps those that crash,
trip a sanitizer or an assertion, end with a run-time error, hang, or let an error escape.

    programs.py gen KEL SEED [STATEMENTS]          print one program
    programs.py run KEL FIRST COUNT [STATEMENTS]   run COUNT programs, findings to ./found/
    programs.py reduce KEL FILE KIND [SECONDS]     cut FILE line by line while it still fails as KIND

Every third program runs under collection torture. JOBS sets the parallel runs (2 by default).
The signatures of the callable words come from the binary itself, so the generator follows the
environment as it changes."""
import os
import random
import re
import subprocess
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor

# Words that reach files, the terminal, other processes or the clock, end the process, or wait:
# a finding must not depend on the machine, and a program must not stop itself.
SKIP = set("""quit q quit-return halt exit-console write write-clipboard delete delete-dir make-dir
rename create open close update modify change-dir cd set-current-dir set-env call wait browse launch
run ask input read-clipboard read-thru load-thru do-thru read do-file view unview show do-events ls ll
list-dir routine forever save about help what source debug profile trace ?? dir create-dir
flip-exe-flag _save-cfg _terminate-console _set-buffer-history _read-input input-stdin read-stdin
send-event-os stop-events do-no-sync show-memory-stats dump-reactions dump-face what-dir pwd
get-current-dir request-font stats time-it dt clock f fetch-help help-string ? write-stdout
path-thru exists-thru? get-env list-env now while until loop repeat for metrics? collect-calls set-slot-quiet""".split())


# Lists every function word of the global context: "FN name type", then its arguments (indented
# under the refinement they belong to) and their type blocks; "ret" marks a return: type block.
SIGNATURES = r"""Kel []
foreach w words-of system/words [
    if all [value? w any-function? get/any w] [
        f: get w
        out: copy []
        ref: none
        foreach s spec-of :f [
            case [
                refinement? s [if s = /local [break] ref: s append out rejoin ["/" s]]
                any [word? s lit-word? s get-word? s] [append out rejoin [either ref ["  "][""] "arg " mold s]]
                set-word? s [append out "ret"]
                block? s [append out rejoin ["  types " mold s]]
            ]
        ]
        print rejoin ["FN " w " " mold type? :f]
        foreach o out [print o]
    ]
]
"""


def signatures(kel):
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "sigs.kel")
        with open(path, "w") as f:
            f.write(SIGNATURES)
        text = subprocess.run([kel, path], capture_output=True, text=True, cwd=d,
                              env=dict(ENV, HOME=d), check=True).stdout
    return load_sigs(text.splitlines())


def load_sigs(lines):
    sigs = {}
    cur = None
    ref = None
    for line in lines:
        line = line.rstrip("\n")
        if line.startswith("FN "):
            _, name, kind = line.split(" ", 2)
            cur = {"name": name, "kind": kind, "args": [], "refs": {}}
            ref = None
            if name not in SKIP:
                sigs[name] = cur
        elif line.startswith("/"):
            ref = line[1:]
            cur["refs"][ref] = []
        elif line.strip().startswith("arg "):
            a = {"name": line.strip()[4:], "types": None}
            (cur["refs"][ref] if ref else cur["args"]).append(a)
        elif line.strip() == "ret":
            cur["_ret"] = True
        elif line.strip().startswith("types "):
            if cur.get("_ret"):
                cur["_ret"] = False
                continue
            lst = cur["refs"][ref] if ref else cur["args"]
            if lst:
                lst[-1]["types"] = re.findall(r"[\w\-?~*]+!", line)
    return sigs


ALL_TYPES = ["integer!", "float!", "string!", "block!", "char!", "pair!", "tuple!", "binary!",
             "word!", "file!", "url!", "email!", "tag!", "issue!", "percent!", "money!", "time!",
             "date!", "bitset!", "map!", "hash!", "vector!", "object!", "point2D!", "point3D!",
             "image!", "typeset!", "datatype!", "logic!", "none!", "function!", "refinement!",
             "path!", "paren!", "error!", "ref!", "lit-word!", "set-word!", "get-word!",
             "lit-path!", "set-path!", "get-path!", "native!", "action!", "op!"]

TYPESETS = {
    "any-type!": ALL_TYPES, "default!": ALL_TYPES,
    "series!": ["string!", "block!", "binary!", "file!", "url!", "tag!", "email!", "paren!",
                "path!", "hash!", "vector!", "image!", "ref!"],
    "any-string!": ["string!", "file!", "url!", "tag!", "email!", "ref!"],
    "any-list!": ["block!", "paren!", "hash!"],
    "any-block!": ["block!", "paren!", "hash!", "path!", "lit-path!", "set-path!", "get-path!"],
    "any-path!": ["path!", "lit-path!", "set-path!", "get-path!"],
    "any-word!": ["word!", "lit-word!", "set-word!", "get-word!", "refinement!", "issue!"],
    "all-word!": ["word!", "lit-word!", "set-word!", "get-word!", "refinement!", "issue!"],
    "any-function!": ["function!", "native!", "action!", "op!"],
    "any-object!": ["object!", "error!"],
    "number!": ["integer!", "float!", "percent!"],
    "scalar!": ["integer!", "float!", "percent!", "char!", "pair!", "tuple!", "money!", "time!",
                "date!", "point2D!", "point3D!"],
    "immediate!": ["integer!", "float!", "char!", "pair!", "logic!", "none!", "time!", "date!"],
    "any-point!": ["point2D!", "point3D!"],
    "planar!": ["pair!", "point2D!"],
    "internal!": ["integer!"],
}

NAMES = ["v1", "v2", "v3", "v4", "v5", "v6"]
FUNCS = ["f1", "f2", "f3"]
OBJS = ["o1", "o2"]
CODES = ["c1", "c2"]


class Gen:
    def __init__(self, sigs, rng):
        self.sigs = sigs
        self.fnames = sorted(sigs)
        self.r = rng
        self.depth = 0
        self.locals = []
        self.ncnt = 0

    def ch(self, seq):
        return self.r.choice(seq)

    def p(self, prob):
        return self.r.random() < prob

    # ---- literal values ----
    def integer(self):
        return str(self.ch([0, 1, -1, 2, 3, 5, 7, 10, 16, 31, 32, 63, 64, 100, 255, 256, 1000, 65535,
                            65536, 2147483647, -2147483648, -2147483647, 1073741824, -7,
                            self.r.randint(-50, 50), self.r.randint(0, 10)]))

    def float_(self):
        return self.ch(["0.0", "1.5", "-2.5", "1e308", "-1e308", "1e-308", "4.9e-324", "3.14159",
                        "0.1", "1.#NaN", "1.#INF", "-1.#INF", "2147483648.0", "-0.0", "1e10",
                        "%d.%d" % (self.r.randint(-99, 99), self.r.randint(0, 99))])

    def string(self):
        s = self.ch(['""', '"abc"', '"héllo wörld"', '"a^/b^-c"', '"^@"', '"日本語"', '"😀x"',
                     '"  spaces  "', '"ABC def"', '"1 2 3"', '"[a b]"', '"{"', '"a,b;c"',
                     '"%41%"', '"x"', '"<tag>"', '"12:30"', '"1.5"', '"{^"a^": 1}"',
                     '"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"', '"^(1F600)"',
                     '"^(FF)"', '"a^(0)b"', '"\\\\"'])
        if self.p(0.1):
            return "(append/dup copy %s %s %d)" % (s, self.ch(['"x"', '"é"', '"😀"', '"ab"']),
                                                    self.ch([10, 100, 1000, 5000]))
        return s

    def char(self):
        return self.ch(['#"a"', '#"Z"', '#"^@"', '#"é"', '#"日"', '#"^(1F600)"', '#" "', '#"^/"',
                        '#"0"', '#"^(FFFF)"', '#"^(10FFFF)"'])

    def block_lit(self):
        return self.ch(["[]", "[1 2 3]", "[a b c]", '[1 "a" #"b" x: :y \'z /r]', "[[1 2] [3 [4]]]",
                        "[a 1 b 2 c 3]", '["b" "a" "c"]', "[3 1 2 1]", "[1.5 2 3%]",
                        "[x: 1 y: 2]", "[(1 + 2) [print 1]]", "[none true false]",
                        "[integer! string!]", "[a/b c/d: :e/f 'g/h]", "[#[a: 1] 1x2 3.4.5]",
                        "[1 + 2 * 3]", "[if true [1]]", "[append [] 1]", "[%f http://u a@b <t>]",
                        "[- + * /]", "[1 [2 [3 [4 [5 [6]]]]]]", "[a a a b b]", "[[] [] []]"])

    def pair(self):
        return self.ch(["1x2", "0x0", "-3x4", "100x100", "2147483647x-2147483648", "3x0", "1x1"])

    def tuple_(self):
        return self.ch(["1.2.3", "255.255.255", "0.0.0.0", "1.2.3.4.5.6.7.8.9.10.11.12",
                        "10.20.30.40", "255.0.0"])

    def binary(self):
        return self.ch(["#{}", "#{00}", "#{DEADBEEF}", "#{FF}", "#{0102030405060708090A}",
                        "#{E282AC}", "#{C0}", "#{789C030000000001}", "#{1F8B}", "64#{AQID}",
                        "2#{10101010}", "#{00000000000000000000000000000000}"])

    def value_of(self, t):
        r = self.r
        m = {
            "integer!": self.integer, "float!": self.float_, "string!": self.string,
            "char!": self.char, "block!": self.block_any, "pair!": self.pair,
            "tuple!": self.tuple_, "binary!": self.binary,
            "word!": lambda: "'" + self.ch(["a", "b", "x", "v1", "foo", "self", "f1", "o1", "v2"]),
            "file!": lambda: self.ch(["%f.txt", "%dir/", "%/", "%a%20b", "%../x", "%.kel"]),
            "url!": lambda: self.ch(["http://example.com/a?b=c#d", "ftp://u:p@h:21/x",
                                     "mailto:a@b", "http://x", "https://h/%20%zz"]),
            "email!": lambda: self.ch(["a@b.c", "user@host", "x@y"]),
            "tag!": lambda: self.ch(["<a>", '<a href="x">', "</b>", "<br/>"]),
            "issue!": lambda: self.ch(["#abc", "#123", "#a-b"]),
            "percent!": lambda: self.ch(["0%", "50%", "100%", "-25%", "1e10%", "0.5%"]),
            "money!": lambda: self.ch(["$0", "$1.50", "-$0.01", "USD$2", "$99999999999999.99",
                                       "-EUR$3.25", "$0.00001"]),
            "time!": lambda: self.ch(["0:00", "1:02:03", "-1:00", "0:0:0.5", "24:00", "99999:0:0",
                                      "12:34:56.789"]),
            "date!": lambda: self.ch(["1-Jan-2000", "29-Feb-2024/10:00:00+2:00", "31-Dec-9999",
                                      "1-Jan-0001", "15-Jun-2020/12:00", "2021-03-04"]),
            "bitset!": lambda: self.ch(['(charset "abc")', "(make bitset! 64)",
                                        "(charset [#\"a\" - #\"z\"])", "(make bitset! #{FF00})",
                                        "(complement charset \"x\")", "(make bitset! 0)",
                                        "(charset [0 - 300])"]),
            "map!": lambda: self.ch(["#[a: 1 b: 2]", "(make map! [1 2 \"k\" v])", "#[]",
                                     "(make map! 10)", "#[x: [1 2] y: #[z: 3]]"]),
            "hash!": lambda: self.ch(["(make hash! [a 1 b 2])", "(make hash! [])",
                                      "(make hash! [1 2 3 1 2 3])"]),
            "vector!": lambda: self.ch(["(make vector! [1 2 3])",
                                        "(make vector! [float! 64 [1.0 2.0]])",
                                        "(make vector! [integer! 8 4])", "(make vector! 0)",
                                        "(make vector! [char! 32 [#\"a\" #\"b\"]])",
                                        "(make vector! [percent! 64 [10% 20%]])",
                                        "(make vector! [integer! 16 [1 -1 32767]])"]),
            "object!": lambda: self.ch(["(object [a: 1 b: \"x\"])", "(object [])", "o1", "o2",
                                        "(make o1 [z: 3])", "(context [f: func [x][x * 2]])"]),
            "point2D!": lambda: self.ch(["(1, 2)", "(0.5, -1.5)", "(1e300, 1e300)", "(0, 0)"]),
            "point3D!": lambda: self.ch(["(1, 2, 3)", "(0, 0, 0)", "(-1.5, 2, 1e10)"]),
            "image!": lambda: self.ch(["(make image! 2x2)", "(make image! [3x3 255.0.0])",
                                       "(make image! 0x0)", "(make image! [1x4 #{FF00FF00FF00FF00FF00FF00}])"]),
            "typeset!": lambda: self.ch(["(make typeset! [integer! string!])", "any-type!",
                                         "number!", "series!"]),
            "datatype!": lambda: self.ch(["integer!", "block!", "string!", "float!", "map!",
                                          "object!", "word!", "binary!", "char!", "image!",
                                          "vector!", "pair!", "datatype!", "none!", "file!"]),
            "logic!": lambda: self.ch(["true", "false"]),
            "none!": lambda: "none",
            "function!": lambda: self.ch([":f1", ":f2", "func [x][x]", ":append", ":add",
                                          "func [a b][a]", ":print", ":probe"]),
            "native!": lambda: self.ch([":if", ":reduce", ":parse"]),
            "action!": lambda: self.ch([":append", ":add", ":pick"]),
            "op!": lambda: self.ch([":+", ":=", ":and"]),
            "refinement!": lambda: self.ch(["/part", "/deep", "/x", "/only"]),
            "path!": lambda: self.ch(["'a/b/c", "'o1/a", "'v1/1", "(to path! [a b])"]),
            "lit-path!": lambda: "(to lit-path! [a b])",
            "set-path!": lambda: "(to set-path! [o1 a])",
            "get-path!": lambda: "(to get-path! [o1 a])",
            "paren!": lambda: self.ch(["quote (1 + 2)", "(to paren! [a b])", "quote ()"]),
            "error!": lambda: self.ch(["(make error! \"boom\")", "(try [1 / 0])",
                                       "(make error! [type: 'math id: 'zero-divide])"]),
            "ref!": lambda: self.ch(["@ref", "@a.b", "@x"]),
            "lit-word!": lambda: "quote 'lw",
            "set-word!": lambda: "quote sw:",
            "get-word!": lambda: "quote :gw",
            "unset!": lambda: "()",
        }
        if t in TYPESETS:
            t = self.ch(TYPESETS[t])
        f = m.get(t)
        if f is None:
            return self.ch(["1", "none", '"s"', "[]"])
        return f()

    def block_any(self):
        if self.depth < 3 and self.p(0.3):
            return "[" + " ".join(self.expr() for _ in range(self.r.randint(0, 4))) + "]"
        if self.p(0.2):
            return self.ch(CODES)
        return self.block_lit()

    def var(self):
        pool = NAMES + self.locals
        return self.ch(pool)

    # ---- expressions ----
    def arg_for(self, a):
        types = a["types"] or ["any-type!"]
        name = a["name"]
        if self.p(0.35):
            return self.var()
        if self.p(0.1):
            return self.expr()
        if name.startswith("'") or name.startswith(":"):
            if "word!" in types or "any-word!" in types:
                return self.ch(NAMES + ["x", "a", "b"])
        t = self.ch(types)
        return self.value_of(t)

    def call(self):
        name = self.ch(self.fnames)
        sig = self.sigs[name]
        path = name
        extra = []
        if sig["refs"] and self.p(0.5):
            for ref in self.r.sample(sorted(sig["refs"]), self.r.randint(1, min(2, len(sig["refs"])))):
                path += "/" + ref
                extra += [self.arg_for(a) for a in sig["refs"][ref]]
        args = [self.arg_for(a) for a in sig["args"]]
        if sig["kind"] == "op!" and len(args) == 2 and not re.match(r"^[a-z]", name):
            return "(%s %s %s)" % (args[0], name, args[1])
        return "(" + " ".join([path] + args + extra) + ")"

    def expr(self):
        self.depth += 1
        try:
            if self.depth > 4:
                return self.ch([self.var(), self.integer(), self.string(), self.block_lit()])
            k = self.r.random()
            if k < 0.45:
                return self.call()
            if k < 0.55:
                return self.var()
            if k < 0.62:
                return self.value_of(self.ch(ALL_TYPES))
            if k < 0.68:
                return "(%s %s %s)" % (self.var(), self.ch(["+", "-", "*", "/", "//", "=", "<", "<>",
                                                             "and", "or", "xor", "**", "<<", ">>", "==",
                                                             "%", ">=", "=?"]),
                                       self.ch([self.var(), self.integer(), self.float_(), self.pair()]))
            if k < 0.74:
                v = self.var()
                return self.ch(["%s/1" % v, "%s/a" % v, "%s/(%s)" % (v, self.integer()),
                                "first %s" % v, "pick %s %s" % (v, self.integer()),
                                "o1/a", "o1/f 2", "o2/m", "%s/x/y" % v, "%s/-1" % v,
                                "select %s %s" % (v, self.var())])
            if k < 0.80:
                return "(%s %s)" % (self.ch(FUNCS), " ".join(self.arg_simple() for _ in range(2)))
            if k < 0.86:
                return self.ch(["(do %s)" % self.ch(CODES), "(reduce %s)" % self.block_any(),
                                "(compose %s)" % self.block_any(),
                                "(compose/deep [a (%s) [b (%s)]])" % (self.var(), self.var()),
                                "(load mold %s)" % self.var(), "(load mold/all %s)" % self.var(),
                                "(to-json %s)" % self.var(), "(load-json to-json %s)" % self.var(),
                                "(to-csv %s)" % self.var(), "(load-csv form %s)" % self.var(),
                                "(transcode form %s)" % self.var(),
                                "(decompress compress to-binary form %s)" % self.var(),
                                "(load save #{} %s)" % self.var(),
                                "(copy/deep %s)" % self.var(), "(form %s)" % self.var()])
            if k < 0.92:
                return "(" + self.control() + ")"
            return self.ch(["(catch [%s])" % self.stmts(2), "(try [%s])" % self.stmts(2),
                            "(attempt [%s])" % self.stmts(2), "(try/all [%s])" % self.stmts(2),
                            "(catch/name [throw/name %s 'nm] 'nm)" % self.var()])
        finally:
            self.depth -= 1

    def arg_simple(self):
        return self.ch([self.var(), self.integer(), self.string(), self.block_lit(),
                        self.value_of(self.ch(ALL_TYPES))])

    def control(self):
        n = self.ch(["0", "1", "2", "3", "5", "-1"])
        w = self.ch(["i", "j"])
        if w not in self.locals:
            self.locals.append(w)
        body = lambda: "[" + self.stmts(self.r.randint(1, 3)) + "]"
        opts = [
            lambda: "if %s %s" % (self.expr(), body()),
            lambda: "either %s %s %s" % (self.expr(), body(), body()),
            lambda: "unless %s %s" % (self.expr(), body()),
            lambda: "loop %s %s" % (n, body()),
            lambda: "repeat %s %s %s" % (w, n, body()),
            lambda: "foreach %s %s %s" % (w, self.var(), body()),
            lambda: "foreach [%s k] %s %s" % (w, self.var(), body()),
            lambda: "forall %s %s" % (self.var(), body()),
            lambda: "remove-each %s %s [%s]" % (w, self.var(), self.expr()),
            lambda: "while [(cnt: cnt + 1) < 5] %s" % body(),
            # The count comes first and decides alone: a continue in the body would skip it.
            lambda: "until [either (cnt: cnt + 1) > 5 [true] [%s false]]" % self.stmts(1),
            lambda: "case [%s %s %s %s]" % (self.expr(), body(), self.expr(), body()),
            lambda: "switch %s [1 %s \"abc\" %s a %s] " % (self.var(), body(), body(), body()),
            lambda: "switch/default %s [1 %s] %s" % (self.var(), body(), body()),
            lambda: "any [%s %s]" % (self.expr(), self.expr()),
            lambda: "all [%s %s]" % (self.expr(), self.expr()),
            lambda: "parse %s %s" % (self.var(), self.rule(0)),
            lambda: "parse/case %s %s" % (self.var(), self.rule(0)),
            lambda: "collect [keep %s keep/only %s %s]" % (self.expr(), self.var(), self.stmts(1)),
        ]
        self.ncnt += 1
        cnt = "cnt%d" % self.ncnt
        return (cnt + ": 0 " + self.ch(opts)()).replace("(cnt: cnt + 1)", "(%s: %s + 1)" % (cnt, cnt))

    def rule(self, d):
        if d > 3:
            return "[skip]"
        items = []
        for _ in range(self.r.randint(1, 4)):
            k = self.r.random()
            atom = self.ch(['"a"', '"b"', "#\"x\"", "skip", "end", "integer!", "word!", "string!",
                            "block!", "any-type!", "none", "to end", "thru \"a\"", "to \"b\"",
                            "(cnt: cnt + 1)", "1 3 skip", "charset \"abc\"",
                            "'a", "quote 1", "[]", "2 skip", "| skip", "ahead skip", "not end",
                            "opt \"a\"", "copy x skip", "set y skip", "x:", ":x", "keep skip",
                            "collect [keep skip]", "insert \"q\"", "remove skip",
                            "change skip \"z\"", "if (true)", "fail", "reject", "break",
                            "into [any skip]", "some skip", "while [skip]", "any [skip]",
                            "to [\"a\" | \"b\"]", "thru end", "accept"])
            if k < 0.2 and d < 3:
                atom = self.ch(["some ", "any ", "opt ", "1 2 ", "not ", "ahead ",
                                "copy v6 ", "thru ", "to "]) + self.rule(d + 1)
            items.append(atom)
        if self.p(0.3):
            items.append("|")
            items.append(self.ch(["to end", "skip", "end", "fail", "[any skip]"]))
        return "[" + " ".join(items) + "]"

    def stmt(self):
        self.depth += 1
        try:
            k = self.r.random()
            if k < 0.3:
                return "%s: %s" % (self.ch(NAMES), self.expr())
            if k < 0.55:
                return self.expr()
            if k < 0.65:
                return self.control()
            if k < 0.7:
                return self.ch(["break", "continue", "return %s" % self.var(), "exit",
                                "throw %s" % self.var(), "throw/name 1 'nm", "recycle",
                                "do make error! \"e\"", "cause-error 'math 'zero-divide []",
                                "break/return %s" % self.var()])
            if k < 0.8:
                return self.selfmod()
            if k < 0.85:
                return "%s/%s: %s" % (self.ch(OBJS), self.ch(["a", "b", "f", "z"]), self.expr())
            if k < 0.9:
                return "%s/%s: %s" % (self.var(), self.ch(["1", "2", "a", "(i)", "-1", "0"]), self.expr())
            return self.ch(["recycle", "probe %s" % self.var(), "print mold/flat/part %s 200" % self.var(),
                            "%s: %s" % (self.ch(CODES), self.block_any())])
        finally:
            self.depth -= 1

    def selfmod(self):
        c = self.ch(CODES)
        f = self.ch(FUNCS)
        v = self.var()
        return self.ch([
            "append %s [append %s 1]" % (c, c),
            "if 50 > length? %s [append %s %s]" % (c, c, self.ch(["[clear " + c + "]", "[1 + 2]", "[" + self.stmt() + "]"])),
            "insert tail body-of :%s [%s]" % (f, self.stmt()),
            "append body-of :%s [%s]" % (f, self.stmt()),
            "clear body-of :%s" % f,
            "change body-of :%s [%s]" % (f, self.expr()),
            "clear spec-of :%s" % f,
            "append spec-of :%s [z]" % f,
            "do %s" % c,
            "do next %s" % c,
            "foreach xx %s [if 20 > length? %s [append %s xx]]" % (v, v, v),
            "forall %s [remove %s]" % (v, v),
            "forall %s [if 20 > length? head %s [insert %s 0] %s: next %s]" % (v, v, v, v, v),
            "remove-each xx %s [clear %s true]" % (v, v),
            "parse %s [any [p: (clear p) skip]]" % v,
            "parse %s [any [p: (if 50 > length? head p [insert p 1]) skip skip]]" % v,
            "sort/compare %s func [a b][clear %s a < b]" % (v, v),
            "sort/compare %s func [a b][append %s 1 true]" % (v, v),
            "%s: func [x][%s: 1 x]" % (f, f),
            "bind %s %s" % (c, self.ch(OBJS)),
            "set words-of %s %s" % (self.ch(OBJS), v),
            "%s: head %s" % (v, v),
            "%s: tail %s" % (v, v),
            "%s: skip %s %s" % (v, v, self.integer()),
            "%s: %s" % (v, self.ch(NAMES)),
            "append/only %s %s" % (v, v),
            "insert/only %s %s" % (v, v),
            "o1/self: o2" , "extend %s [q: 1]" % self.ch(OBJS),
            "%s: copy/deep %s" % (c, self.block_any()),
            "do bind %s :%s" % (c, f),
            "apply :%s [%s %s]" % (f, self.var(), self.var()),
        ])

    def stmts(self, n):
        return " ".join(self.stmt() for _ in range(n))

    def program(self, n):
        out = ["Kel []", "cnt: 0 i: j: x: y: a: b: k: p: xx: 1"]
        init = []
        for v in NAMES:
            self.depth = 3
            init.append("%s: attempt [%s]" % (v, self.value_of(self.ch(ALL_TYPES + ["block!", "string!", "block!"]))))
        for c in CODES:
            out.append("%s: [%s]" % (c, self.ch(["1 + 2", "append v1 1", "v1", "print 1"])))
        out.append("o1: object [a: 1 b: \"x\" f: func [n][n * 2] z: 0 self2: none]")
        out.append("o2: make o1 [m: func [][a + 1] c: [1 2 3]]")
        self.depth = 0
        for f in FUNCS:
            self.locals = ["x", "y"]
            body = self.stmts(self.r.randint(1, 4))
            spec = self.ch(["[x y]", "[x [any-type!] y [any-type!] /local z]",
                            "[x y /r z]", "[x 'y]", "[:x y]", "[x [integer!] y]"])
            kind = self.ch(["func", "function", "func"])
            out.append("%s: %s %s [depth: depth + 1 if depth > 200 [return none] %s]"
                       % (f, kind, spec, body))
            self.locals = []
        out.insert(2, "depth: 0")
        out += init
        for _ in range(n):
            self.depth = 0
            self.locals = []
            s = self.stmt()
            out.append("catch/name [catch [loop 1 [attempt [%s]]]] 'nm" % s)
        out.append('print "done"')
        return "\n".join(out) + "\n"


ENV = dict(os.environ, ASAN_OPTIONS="detect_leaks=0:hard_rss_limit_mb=3000:allocator_may_return_null=1",
           UBSAN_OPTIONS="print_stacktrace=1", KEL_TEST="1")


def classify(rc, out, err):
    """The kind of failure a run shows, or None for a clean one."""
    text = err + out[-4000:]
    if "AddressSanitizer" in text:
        return "asan"
    if "runtime error:" in err:
        return "ubsan"
    if "Runtime Error" in text:
        return "rterr"
    if "Assertion" in text:
        return "assert"
    if rc < 0:
        return "signal%d" % -rc
    if "Internal Error" in out:
        return "internal"
    # Every statement runs inside catch and attempt, so only a broken environment (a program that
    # unset `none`, say) lets an error reach the top: worth a look, seldom a fault.
    if "done" not in out[-200:]:
        return "escaped" if "*** " in out else "nodone"
    return None


def run_program(kel, text, torture, seconds):
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "p.kel")
        with open(path, "w") as f:
            f.write(text)
        env = dict(ENV, HOME=d)
        if torture:
            env["KEL_GC_TORTURE"] = "1"
        try:
            p = subprocess.run(["nice", kel, path], capture_output=True, cwd=d, env=env,
                               timeout=seconds, stdin=subprocess.DEVNULL)
        except subprocess.TimeoutExpired as e:
            return "timeout", e.stdout or b"", e.stderr or b""
    return classify(p.returncode, p.stdout.decode("utf-8", "replace"),
                    p.stderr.decode("utf-8", "replace")), p.stdout, p.stderr


def run(kel, first, count, statements):
    sigs = signatures(kel)
    found = os.path.abspath("found")
    os.makedirs(found, exist_ok=True)

    def one(seed):
        text = Gen(sigs, random.Random(seed)).program(statements)
        torture = seed % 3 == 0
        kind, out, err = run_program(kel, text, torture, 60 if torture else 20)
        if kind:
            base = os.path.join(found, "%s-%d" % (kind, seed))
            with open(base + ".kel", "w") as f:
                f.write(text)
            with open(base + ".log", "wb") as f:
                f.write(err[-20000:] + b"\n----stdout----\n" + out[-5000:])
        return kind

    start, counts = time.time(), {}
    with ThreadPoolExecutor(int(os.environ.get("JOBS", "2"))) as ex:
        for i, kind in enumerate(ex.map(one, range(first, first + count))):
            counts[kind] = counts.get(kind, 0) + 1
            if (i + 1) % 50 == 0:
                print(i + 1, round(time.time() - start), counts, flush=True)
    print("total", count, counts, flush=True)


def reduce(kel, path, kind, seconds):
    """Removes ever smaller runs of lines while the program still fails the same way."""
    torture = os.environ.get("KEL_GC_TORTURE", "0") != "0"

    def fails(lines):
        return run_program(kel, "\n".join(lines) + "\n", torture, seconds)[0] == kind

    lines = open(path).read().splitlines()
    if not fails(lines):
        sys.exit("the program does not fail as " + kind)
    chunk = len(lines) // 2
    while chunk >= 1:
        i = 1  # the header stays
        while i < len(lines):
            if fails(lines[:i] + lines[i + chunk:]):
                lines = lines[:i] + lines[i + chunk:]
            else:
                i += chunk
        chunk //= 2
    print("\n".join(lines))


def main():
    cmd, kel = sys.argv[1], os.path.abspath(sys.argv[2])
    args = sys.argv[3:]
    if cmd == "gen":
        n = int(args[1]) if len(args) > 1 else 40
        sys.stdout.write(Gen(signatures(kel), random.Random(int(args[0]))).program(n))
    elif cmd == "run":
        run(kel, int(args[0]), int(args[1]), int(args[2]) if len(args) > 2 else 40)
    elif cmd == "reduce":
        reduce(kel, args[0], args[1], float(args[2]) if len(args) > 2 else 20)
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
