#!/usr/bin/env python3
"""Model-based test of the mutable datatypes.

Generates random sequences of operations on blocks, strings, binaries, vectors, hashes, maps and
bitsets, runs each sequence as one script that prints the state after every step, and checks every
printed line against a reference model of the same operations written here. Several aliases of one
series at different positions (and past the tail after the series shrank) are kept and printed,
so position rules are checked along with contents. A failing sequence is shrunk to a small
reproduction before it is reported. The seed is fixed; KEL_SEED and KEL_ROUNDS change it.
"""
import os
import random
import subprocess
import sys
import tempfile

KEL = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "..", "build", "release", "kel")
SEED = int(os.environ.get("KEL_SEED", "20261211"))
ROUNDS = int(os.environ.get("KEL_ROUNDS", "200"))
STEPS = int(os.environ.get("KEL_STEPS", "30"))

PRELUDE = """Kel []
show: func [r] [either series? :r [rejoin [index? r " " mold r]] [mold/flat :r]]
step: func [code] [
    set/any 'r try code
    either error? get/any 'r [print ["E" r/id]] [print ["R" show get/any 'r]]
]
"""


class Err(Exception):
    def __init__(self, eid):
        self.eid = eid


# ---- series kinds -------------------------------------------------------------------------------

class Kind:
    name = ""
    append_keeps_head = False
    cap = 14
    cells = False
    vec = False

    def store(self, e):
        return e

    def elem(self, rnd):
        raise NotImplementedError

    def lit(self, e):
        return str(e)

    def make(self, elems):
        raise NotImplementedError

    def mold(self, elems):
        raise NotImplementedError

    def sort_key(self, e):
        return e


class Block(Kind):
    name = "block"
    cells = True

    def elem(self, rnd):
        return rnd.choice([0, 1, 2, 3, 4, 5, 6, 7, 8, 9, None])

    def lit(self, e):
        return "none" if e is None else str(e)

    def make(self, elems):
        return "reduce [" + " ".join(self.lit(e) for e in elems) + "]"

    def mold(self, elems):
        return "[" + " ".join(self.lit(e) for e in elems) + "]"

    def value_lit(self, e):
        return "none" if e is None else str(e)


class Hash(Block):
    name = "hash"

    def make(self, elems):
        return "make hash! " + Block.make(self, elems)

    def mold(self, elems):
        return "make hash! " + Block.mold(self, elems)


class Text(Kind):
    name = "string"
    CHARS = "abcde é中😀"

    def elem(self, rnd):
        return rnd.choice(self.CHARS[:6] * 6 + self.CHARS[6:])

    def lit(self, e):
        return '#"' + e + '"'

    def make(self, elems):
        return 'copy "' + "".join(elems) + '"'

    def mold(self, elems):
        return '"' + "".join(elems) + '"'

    def sort_key(self, e):
        return e.upper()


class Binary(Kind):
    name = "binary"
    cap = 8  # a longer binary molds over several lines

    def elem(self, rnd):
        return rnd.choice([0, 1, 2, 10, 127, 128, 255])

    def make(self, elems):
        return "copy " + self.mold(elems)

    def mold(self, elems):
        return "#{" + "".join("%02X" % e for e in elems) + "}"


class Vector(Kind):
    name = "vector"
    vec = True
    append_keeps_head = True

    def elem(self, rnd):
        return rnd.choice([-3, 0, 1, 2, 5, 9, 100])

    def make(self, elems):
        return "make vector! [integer! 32 [" + " ".join(map(str, elems)) + "]]"

    def mold(self, elems):
        if not elems:
            return "make vector! [integer! 32 []]"
        return "make vector! [" + " ".join(map(str, elems)) + "]"


class Vector8(Vector):
    """Bytes read back sign-extended: a value stores its low 8 bits."""
    name = "vector8"

    def elem(self, rnd):
        return rnd.choice([-128, -1, 0, 1, 5, 127, 200, 300])

    def store(self, e):
        return (e + 128) % 256 - 128

    def make(self, elems):
        return "make vector! [integer! 8 [" + " ".join(map(str, elems)) + "]]"

    def mold(self, elems):
        return "make vector! [integer! 8 [" + " ".join(str(self.store(e)) for e in elems) + "]]"


class BigHash(Hash):
    """Enough cells, many of them equal, for the table to grow and chain."""
    name = "bighash"
    cap = 80

    def elem(self, rnd):
        return rnd.randint(0, 12)


KINDS = [Block(), Hash(), Text(), Binary(), Vector(), Vector8(), BigHash()]


class SeriesModel:
    """One buffer and three aliases (a0 a1 a2) over it, each with its own head."""

    def __init__(self, kind, rnd):
        self.k = kind
        self.buf = [kind.elem(rnd) for _ in range(rnd.randint(0, 6 if kind.cap < 20 else 40))]
        if kind.name == "vector8":
            self.buf = [kind.store(e) for e in self.buf]
        self.heads = [0, 0, 0]

    def setup(self):
        return [f"a0: {self.k.make(self.buf)}", "a1: a0", "a2: a0"]

    def state(self):
        n = len(self.buf)
        lines = []
        for h in self.heads:
            lines.append(f"{h + 1} {max(0, n - h)} {self.k.mold(self.buf[h:])}")
        lines.append(self.k.mold(self.buf))
        return lines

    def state_code(self):
        return ('foreach a reduce [a0 a1 a2] [print [index? a length? a mold a]] '
                'print mold head a0')

    def res(self, head, elems=None):
        elems = self.buf if elems is None else elems
        return f"{head + 1} {self.k.mold(elems[head:])}"

    def scalar(self, e):
        return self.k.lit(e) if self.k.cells or self.k.name == "string" else str(e)

    def part_arg(self, rnd, part, y):
        """A /part argument: the integer given, or now and then another alias, whose head
        minus the series' head is the count (read when the step runs)."""
        if part is None or rnd.random() < 0.7:
            return (None if part is None else str(part)), (lambda: part)
        w = rnd.randrange(3)
        return f"a{w}", (lambda: self.heads[w] - self.heads[y])

    def gen(self, rnd):
        """Returns (code, apply) where apply() mutates the model and returns the result line."""
        k = self.k
        n = len(self.buf)
        x = rnd.randrange(3)
        y = rnd.randrange(3)
        src = f"a{y}"
        h = self.heads[y]
        op = rnd.choice(["next", "back", "head", "tail", "at", "skip", "insert", "insert-many",
                         "append", "change", "change-part", "remove", "remove-part", "clear",
                         "take", "take-last", "take-part", "copy-part", "poke", "pick",
                         "reverse", "reverse-part", "sort", "find", "find-last", "find-tail",
                         "select", "insert-dup", "trim", "self-insert", "self-append",
                         "self-change", "move", "swap", "find-reverse", "find-skip",
                         "sort-more", "reverse-skip", "copy-find", "put", "remove-key",
                         "trim-more", "part-insert", "change-dup", "copy-pair", "find-match",
                         "select-skip", "find-part", "self-part"])
        if op == "self-part" and k.vec:
            op = "find-part"
        if len(self.buf) > k.cap and op.startswith(("self", "insert", "append", "change", "part")):
            # Keeps the series short enough to mold on one line.
            op = "remove-part"
        if op == "trim" and not k.cells:
            op = "trim-more"
        if op == "put" and not k.cells:
            op = "copy-find"
        if op == "trim-more" and k.name not in ("string", "binary"):
            op = "trim" if not k.vec else "sort"
        if op == "part-insert" and k.name not in ("string", "binary"):
            op = "change-dup"

        def assign(newh):
            self.heads[x] = newh
            return self.res(newh)

        if op in ("next", "back", "head", "tail"):
            def ap():
                if op == "next":
                    nh = h + 1 if h + 1 <= len(self.buf) else h
                elif op == "back":
                    nh = h - 1 if h > 0 else h
                elif op == "head":
                    nh = 0
                else:
                    nh = len(self.buf)
                return assign(nh)
            return f"a{x}: {op} {src}", ap
        if op in ("at", "skip"):
            i = rnd.randint(-3, 6)

            def ap():
                if op == "at" and i >= 1:
                    nh = h + i - 1
                else:
                    nh = h + i
                return assign(min(max(nh, 0), len(self.buf)))
            return f"a{x}: {op} {src} {i}", ap

        if op in ("insert", "insert-many", "insert-dup", "append"):
            if op == "insert-many" or (op == "append" and rnd.random() < 0.4):
                vals = [k.elem(rnd) for _ in range(rnd.randint(0, 3))]
            else:
                vals = [k.elem(rnd)]
            dup = rnd.randint(0, 3) if op == "insert-dup" else 1
            v = self.value_code(vals, single=(op in ("insert", "insert-dup") or len(vals) == 1 and rnd.random() < 0.5))
            code = f"{'append' if op == 'append' else 'insert'}{'/dup' if op == 'insert-dup' else ''} {src} {v}{' ' + str(dup) if op == 'insert-dup' else ''}"
            assign_to = rnd.random() < 0.5

            def ap():
                if not vals or dup < 1:
                    # Nothing to add: the series comes back where it was; an empty value is
                    # found after a head past the tail was moved back to it, a /dup count
                    # below 1 before.
                    hh = min(h, len(self.buf)) if dup >= 1 and op != "append" else h
                    if op == "append" and k.name == "binary":
                        # A binary clamps its head to the tail before it looks at the value.
                        hh = min(h, len(self.buf))
                    if assign_to:
                        self.heads[x] = hh
                    return self.res(hh)
                hh = min(h, len(self.buf))
                new = vals * dup
                if op == "append":
                    self.buf[len(self.buf):] = new
                    nh = h if k.append_keeps_head else 0
                else:
                    self.buf[hh:hh] = new
                    nh = hh + len(new)
                if assign_to:
                    self.heads[x] = nh
                return self.res(nh)
            return (f"a{x}: " if assign_to else "") + code, ap

        if op in ("self-insert", "self-append", "self-change"):
            # The value is another alias of the same series: what goes in is its content as
            # it stood before the call.
            z = rnd.randrange(3)
            part = rnd.randint(0, 3) if op == "self-change" and rnd.random() < 0.5 else None
            dup = rnd.choice([1, 1, 2, 3])
            if len(self.buf) > 6:
                dup = 1
            verb = op[5:]
            code = f"{verb}{'/part' if part is not None else ''}{'/dup' if dup > 1 else ''} {src} a{z}{'' if part is None else ' ' + str(part)}{'' if dup == 1 else ' ' + str(dup)}"

            def ap():
                if k.vec:
                    # A vector is one value to a vector, never a run of elements.
                    raise Err("invalid-type")
                m = len(self.buf)
                vals = (self.buf[self.heads[z]:] if self.heads[z] < m else []) * dup
                hh = min(h, m)
                if not vals:
                    if verb == "change" and part is not None and part > 0:
                        del self.buf[hh:hh + part]
                    if verb == "append":
                        return self.res(hh if k.name == "binary" else h)
                    return self.res(hh)
                if verb == "append":
                    self.buf[m:] = vals
                    return self.res(h if k.append_keeps_head else 0)
                if verb == "insert":
                    self.buf[hh:hh] = vals
                    return self.res(hh + len(vals))
                rep = min(part if part is not None else len(vals), m - hh)
                if k.name == "string" and part is None:
                    rep = min(len(vals), m - hh)
                self.buf[hh:hh + rep] = vals
                return self.res(hh + len(vals))
            return code, ap

        if op == "move":
            z = rnd.randrange(3)
            part = rnd.randint(1, 3) if rnd.random() < 0.5 else None
            code = f"move{'/part' if part is not None else ''} {src} a{z}{'' if part is None else ' ' + str(part)}"

            def ap():
                m = len(self.buf)
                tz0 = self.heads[z]
                tz = min(tz0, m)
                if h >= m:
                    return self.res(tz0)
                c = min(1 if part is None else part, m - h)
                if tz == h:
                    return self.res(tz0)
                if tz > h and tz != m and m - tz < c:
                    return self.res(h)
                if h < tz < h + c:
                    # A target inside the moved units has no place to go.
                    return self.res(tz0)
                units = self.buf[h:h + c]
                del self.buf[h:h + c]
                if tz > h:
                    at_ = tz - c + 1 if tz < m else len(self.buf)
                    self.buf[at_:at_] = units
                else:
                    self.buf[tz:tz] = units
                return self.res(tz0)
            return code, ap

        if op == "swap":
            z = rnd.randrange(3)

            def ap():
                m = len(self.buf)
                tz = self.heads[z]
                if h < m and tz < m:
                    self.buf[h], self.buf[tz] = self.buf[tz], self.buf[h]
                return self.res(h)
            if k.vec:
                return self.gen(rnd)
            return f"swap {src} a{z}", ap

        if op in ("find-reverse", "find-skip"):
            e = k.elem(rnd)
            code = ("find/reverse" if op == "find-reverse" else "find/skip") + f" {src} {self.scalar(e)}" + (" 2" if op == "find-skip" else "")

            def ap():
                m = len(self.buf)
                if op == "find-reverse":
                    if k.cells and h > m:
                        # A block searched in reverse starts at the cell before its head.
                        start = h - 1
                    else:
                        start = min(h, m) - 1
                    for p in range(min(start, m - 1), -1, -1):
                        if self.buf[p] == e or (k.name == "string" and self.buf[p].upper() == e.upper()):
                            return self.res(p)
                    return "none"
                if h >= m:
                    return "none"
                for p in range(h, m, 2):
                    if self.buf[p] == e or (k.name == "string" and self.buf[p].upper() == e.upper()):
                        return self.res(p)
                return "none"
            return code, ap

        if op == "self-part":
            # insert/part and append/part of another alias, limited by a third alias: a
            # position in the value, whose head minus the value's head counts the units (a
            # position before the value's head takes the units before it).
            z, w = rnd.randrange(3), rnd.randrange(3)
            verb = rnd.choice(["insert", "append"])

            def ap():
                m = len(self.buf)
                vz = min(self.heads[z], m)
                pos = min(self.heads[w], m)
                count = pos - vz
                if count < 0:
                    start = max(vz + count, 0)
                    count, vz = vz - start, start
                if count == 0:
                    return self.res(h if verb == "append" else min(h, m))
                vals = self.buf[vz:vz + count]
                hh = min(h, m)
                if verb == "append":
                    self.buf += vals
                    return self.res(0)
                self.buf[hh:hh] = vals
                return self.res(hh + len(vals))
            return f"{verb}/part {src} a{z} a{w}", ap

        if op == "copy-pair":
            x1, y1 = rnd.randint(-2, 5), rnd.randint(-2, 6)

            def ap():
                m = len(self.buf)
                start = h + x1 - 1 if x1 >= 0 else h + x1
                start = max(start, 0)
                count = max(y1 - x1, 0)
                start = min(start, m)
                count = min(count, m - start)
                return f"1 {k.mold(self.buf[start:start + count])}"
            return f"copy/part {src} {x1}x{y1}", ap

        if op in ("find-match", "select-skip", "find-part"):
            e = k.elem(rnd)
            part = rnd.randint(0, 4)
            code = {"find-match": f"find/match {src} {self.scalar(e)}",
                    "select-skip": f"select/skip {src} {self.scalar(e)} 2",
                    "find-part": f"find/part {src} {self.scalar(e)} {part}"}[op]

            def eq(a):
                return a == e or (k.name == "string" and a.upper() == e.upper())

            def ap():
                m = len(self.buf)
                if h >= m:
                    return "none"
                if op == "find-match":
                    if eq(self.buf[h]):
                        return self.res(h)
                    return "none"
                if op == "find-part":
                    for p in range(h, min(h + part, m)):
                        if eq(self.buf[p]):
                            return self.res(p)
                    return "none"
                for p in range(h, m, 2):
                    if eq(self.buf[p]):
                        return "none" if p + 1 >= m else self.elem_mold(self.buf[p + 1])
                return "none"
            return code, ap

        if op == "sort-more":
            mode = rnd.choice(["reverse", "skip", "part", "part"])
            part = rnd.randint(-3, 4)
            code = {"reverse": f"sort/reverse {src}", "skip": f"sort/skip/stable {src} 2",
                    "part": f"sort/part {src} {part}"}[mode]

            def ap():
                key = (lambda e: (0, 0) if e is None else (1, e)) if k.cells else k.sort_key
                m = len(self.buf)
                hh = min(h, m)
                if mode == "part" and part < 0:
                    # The units before the head are sorted, and the answer stands at the first
                    # of them; past the first unit the head becomes 0 and nothing is sorted.
                    start = hh + part
                    if start < 0:
                        return self.res(0)
                    self.buf[start:hh] = sorted(self.buf[start:hh], key=key)
                    return self.res(start)
                seg = self.buf[hh:]
                if not seg:
                    return self.res(hh)
                key = (lambda e: (0, 0) if e is None else (1, e)) if k.cells else k.sort_key
                if mode == "reverse":
                    seg.sort(key=key, reverse=True)
                elif mode == "skip":
                    if len(seg) % 2:
                        raise Err("invalid-refine-arg")
                    recs = [seg[i:i + 2] for i in range(0, len(seg), 2)]
                    recs.sort(key=lambda r: key(r[0]))
                    seg = [e for r in recs for e in r]
                else:
                    c = min(part, len(seg))
                    seg[:c] = sorted(seg[:c], key=key)
                self.buf[hh:] = seg
                return self.res(hh)
            if mode == "reverse" and not k.cells:
                return self.gen(rnd)
            return code, ap

        if op == "reverse-skip":
            def ap():
                m = len(self.buf)
                if h >= m:
                    return self.res(h)
                n = m - h
                if n == 2:
                    return self.res(h)
                if n < 2 or n % 2:
                    raise Err("invalid-refine-arg")
                recs = [self.buf[i:i + 2] for i in range(h, m, 2)][::-1]
                self.buf[h:] = [e for r in recs for e in r]
                return self.res(h)
            return f"reverse/skip {src} 2", ap

        if op == "copy-find":
            e = k.elem(rnd)
            part = rnd.randint(1, 4) if rnd.random() < 0.5 else None
            code = f"find copy{'/part' if part is not None else ''} {src}{'' if part is None else ' ' + str(part)} {self.scalar(e)}"

            def ap():
                m = len(self.buf)
                seg = self.buf[min(h, m):]
                if part is not None:
                    seg = seg[:part]
                for p, x in enumerate(seg):
                    if x == e or (k.name == "string" and x.upper() == e.upper()):
                        return f"{p + 1} {k.mold(seg[p:])}"
                return "none"
            return code, ap

        if op == "put":
            key = k.elem(rnd)
            if key is None:
                key = 0
            val = k.elem(rnd)
            code = f"put {src} {self.scalar(key)} {self.scalar(val)}"

            def ap():
                m = len(self.buf)
                for p in range(min(h, m), m):
                    if self.buf[p] == key:
                        if p + 1 < m:
                            self.buf[p + 1] = val
                        else:
                            self.buf.append(val)
                        break
                else:
                    self.buf += [key, val]
                return self.elem_mold(val)
            return code, ap

        if op == "remove-key":
            # The key is searched case-sensitively from the head; it goes with the unit after
            # it, or with /part n the n units after it.
            key = k.elem(rnd)
            if key is None:
                key = 0
            if k.name == "string" and rnd.random() < 0.3:
                key = key.upper()
            part = rnd.randint(0, 3) if rnd.random() < 0.4 else None

            def ap():
                m = len(self.buf)
                if part is not None and part < 1:
                    return self.res(h)
                for p in range(min(h, m), m):
                    if self.buf[p] == key:
                        del self.buf[p:p + (2 if part is None else part + 1)]
                        return self.res(p)
                return "none"
            return f"remove/key{'/part' if part is not None else ''} {src} {self.scalar(key)}{'' if part is None else ' ' + str(part)}", ap

        if op == "trim-more":
            mode = rnd.choice(["", "/head", "/tail", "/all"])
            blank = " " if k.name == "string" else 0

            def ap():
                m = len(self.buf)
                if h < m:
                    seg = self.buf[h:]
                    if mode == "/all":
                        seg = [e for e in seg if e != blank]
                    else:
                        if mode in ("", "/head"):
                            while seg and seg[0] == blank:
                                seg.pop(0)
                        if mode in ("", "/tail"):
                            while seg and seg[-1] == blank:
                                seg.pop()
                    self.buf[h:] = seg
                return self.res(h)
            return f"trim{mode} {src}", ap

        if op == "part-insert":
            vals = [k.elem(rnd) for _ in range(rnd.randint(1, 4))]
            part = rnd.randint(1, 5)
            verb = rnd.choice(["insert", "append"])
            code = f"{verb}/part {src} {self.value_code(vals, False)} {part}"

            def ap():
                m = len(self.buf)
                hh = min(h, m)
                new = vals[:part]
                if verb == "append":
                    self.buf += new
                    return self.res(0)
                self.buf[hh:hh] = new
                return self.res(hh + len(new))
            return code, ap

        if op == "change-dup":
            vals = [k.elem(rnd) for _ in range(rnd.randint(1, 2))]
            dup = rnd.randint(1, 3)
            code = f"change/dup {src} {self.value_code(vals, len(vals) == 1)} {dup}"

            def ap():
                m = len(self.buf)
                hh = min(h, m)
                new = vals * dup
                self.buf[hh:hh + min(len(new), m - hh)] = new
                return self.res(hh + len(new))
            return code, ap

        if op in ("change", "change-part"):
            vals = [k.elem(rnd) for _ in range(rnd.randint(1, 3))]
            partc, partf = self.part_arg(rnd, rnd.randint(0, 4) if op == "change-part" else None, y)
            v = self.value_code(vals, single=len(vals) == 1)
            code = f"change{'/part' if partc is not None else ''} {src} {v}{'' if partc is None else ' ' + partc}"

            def ap():
                part = partf()
                if part is not None and part < 0:
                    part = 0
                hh = min(h, len(self.buf))
                a = len(self.buf) - hh
                rep = min(part, a) if part is not None else min(len(vals), a)
                self.buf[hh:hh + rep] = vals
                return self.res(hh + len(vals))
            return code, ap

        if op in ("remove", "remove-part"):
            partc, partf = self.part_arg(rnd, rnd.randint(-1, 4) if op == "remove-part" else None, y)
            if len(self.buf) > k.cap:
                src, h, partc, partf = "head a0", 0, "8", (lambda: 8)
            code = f"remove{'/part' if partc is not None else ''} {src}{'' if partc is None else ' ' + partc}"

            def ap():
                part = partf()
                size = 1 if part is None else part
                if h < len(self.buf) and size >= 1:
                    del self.buf[h:h + size]
                return self.res(h)
            return code, ap

        if op == "clear":
            def ap():
                if h < len(self.buf):
                    del self.buf[h:]
                return self.res(h)
            return f"clear {src}", ap

        if op in ("take", "take-last", "take-part"):
            last = op == "take-last" or (op == "take-part" and rnd.random() < 0.4)
            part = rnd.choice([-2, -1, 1, 2, 3, 5]) if op == "take-part" else None
            code = f"take{'/last' if last else ''}{'/part' if part is not None else ''} {src}{'' if part is None else ' ' + str(part)}"

            def ap():
                m = len(self.buf)
                if h >= m:
                    return "none"
                if part is None:
                    i = m - 1 if last else h
                    e = self.buf.pop(i)
                    return self.elem_mold(e)
                if part < 0:
                    if last:
                        return f"1 {k.mold([])}"
                    c = min(-part, h)
                    taken = self.buf[h - c:h]
                    del self.buf[h - c:h]
                else:
                    c = min(part, m - h)
                    if last:
                        taken = self.buf[m - c:]
                        del self.buf[m - c:]
                    else:
                        taken = self.buf[h:h + c]
                        del self.buf[h:h + c]
                return f"1 {k.mold(taken)}"
            return code, ap

        if op == "copy-part":
            partc, partf = self.part_arg(rnd, rnd.randint(-3, 5), y)

            def ap():
                m = len(self.buf)
                part = partf()
                start, count = h, part
                if count < 0:
                    start = max(h + count, 0)
                    count = h - start
                start = min(start, m)
                count = min(count, m - start)
                return f"1 {k.mold(self.buf[start:start + count])}"
            return f"copy/part {src} {partc}", ap

        if op in ("poke", "pick"):
            i = rnd.choice([-3, -2, -1, 0, 1, 2, 3, 5])
            e = k.elem(rnd)
            code = f"poke {src} {i} {self.scalar(e)}" if op == "poke" else f"pick {src} {i}"

            def ap():
                p = h + i - 1 if i > 0 else h + i
                bad = i == 0 or p < 0 or p >= len(self.buf)
                if op == "pick":
                    return "none" if bad else self.elem_mold(self.buf[p])
                if bad:
                    raise Err("out-of-range")
                self.buf[p] = e
                return self.elem_mold(e)
            return code, ap

        if op in ("reverse", "reverse-part"):
            partc, partf = self.part_arg(rnd, rnd.randint(-1, 4) if op == "reverse-part" else None, y)
            code = f"reverse{'/part' if partc is not None else ''} {src}{'' if partc is None else ' ' + partc}"

            def ap():
                part = partf()
                m = len(self.buf)
                if h < m and (part is None or part >= 1):
                    c = m - h if part is None else min(part, m - h)
                    self.buf[h:h + c] = self.buf[h:h + c][::-1]
                return self.res(h)
            return code, ap

        if op == "sort":
            def ap():
                if h < len(self.buf):
                    seg = self.buf[h:]
                    if k.cells:
                        seg.sort(key=lambda e: (0, 0) if e is None else (1, e))
                    else:
                        seg.sort(key=k.sort_key)
                    self.buf[h:] = seg
                # Sorting reads through the routine that moves a head past the tail back to it.
                return self.res(min(h, len(self.buf)))
            return f"sort {src}", ap

        if op == "trim":
            def ap():
                if h < len(self.buf):
                    self.buf[h:] = [e for e in self.buf[h:] if e is not None]
                return self.res(h)
            return f"trim {src}", ap

        if op in ("find", "find-last", "find-tail", "select"):
            e = k.elem(rnd)
            if k.name == "string" and rnd.random() < 0.3:
                e = e.upper()
            code = {"find": "find", "find-last": "find/last", "find-tail": "find/tail",
                    "select": "select"}[op] + f" {src} {self.scalar(e)}"

            def eq(a, b):
                if k.name == "string":
                    return a.upper() == b.upper()
                return a == b

            def ap():
                m = len(self.buf)
                if h >= m:
                    return "none"
                # A block searched from its last cell goes down to its first cell, whatever
                # its head; a hash! (through its table) and the other series stop at the head.
                low = 0 if k.cells and "hash" not in k.name else h
                rng = range(m - 1, low - 1, -1) if op == "find-last" else range(h, m)
                for p in rng:
                    if eq(self.buf[p], e):
                        if op == "select":
                            return "none" if p + 1 >= m else self.elem_mold(self.buf[p + 1])
                        return self.res(p + 1 if op == "find-tail" else p)
                return "none"
            return code, ap
        raise AssertionError(op)

    def elem_mold(self, e):
        k = self.k
        if k.name == "string":
            return '#"' + e + '"'
        if k.cells:
            return "none" if e is None else str(e)
        return str(e)

    def value_code(self, vals, single):
        k = self.k
        if single and len(vals) == 1:
            return self.scalar(vals[0])
        if k.name == "string":
            return '"' + "".join(vals) + '"'
        if k.name == "binary":
            return "#{" + "".join("%02X" % e for e in vals) + "}"
        return ("reduce [" if not k.vec else "[") + " ".join(k.lit(e) if not k.vec else str(e) for e in vals) + "]"


# ---- map ----------------------------------------------------------------------------------------

MAP_KEYS = ["a", "b", "c", "A", "1", "2", '"x"', '"X"']


def map_norm(key):
    return key.lower() if not key.startswith('"') else key.upper()


def map_key_mold(key):
    return key + ":" if key[0].isalpha() else key


class MapModel:
    def __init__(self, kind, rnd):
        self.entries = []  # [key as stored, value, live]
        for _ in range(rnd.randint(0, 3)):
            self.put(rnd.choice(MAP_KEYS), rnd.randint(0, 9))

    def setup(self):
        body = " ".join(f"{map_key_mold(k) if k[0].isalpha() else k} {v}" for k, v, live in self.entries)
        return [f"m: make map! [{body}]"]

    def find(self, key, strict=False):
        for e in self.entries:
            if (e[0] == key) if strict else (map_norm(e[0]) == map_norm(key)):
                return e
        return None

    def put(self, key, val):
        e = self.find(key)
        if e:
            e[1] = val
            e[2] = True
        else:
            self.entries.append([key, val, True])

    def state(self):
        live = [e for e in self.entries if e[2]]
        return [str(len(live)), "#[" + " ".join(f"{map_key_mold(k)} {v}" for k, v, _ in live) + "]"]

    def state_code(self):
        return "print length? m print mold/flat m"

    def gen(self, rnd):
        key = rnd.choice(MAP_KEYS)
        kl = key if not key[0].isalpha() else "'" + key
        op = rnd.choice(["put", "put", "path", "remove", "select", "find", "clear", "extend",
                         "copy", "foreach", "words"])
        if op == "extend":
            pairs = [(rnd.choice(MAP_KEYS), rnd.randint(0, 9)) for _ in range(rnd.randint(1, 3))]
            body = " ".join(f"{k2 if not k2[0].isalpha() else k2 + ':'} {v}" for k2, v in pairs)

            def ap():
                for k2, v in pairs:
                    self.put(k2, v)
                return None
            return f"extend m [{body}]", ap
        if op == "copy":
            # A copy gets a table of its own: changing it leaves the original alone.
            v = rnd.randint(0, 9)

            def ap():
                e = self.find(key)
                live = [x for x in self.entries if x[2]]
                c = len(live) + (0 if e and e[2] else 1)
                return str(c)
            return f"m2: copy m put m2 {kl} {v} remove/key m2 {kl} put m2 {kl} {v} length? m2", ap
        if op in ("foreach", "words"):
            def ap():
                live = [x for x in self.entries if x[2]]
                if op == "words":
                    return "1 [" + " ".join(x[0] for x in live) + "]"
                return "1 [" + " ".join(f"{x[0]} {x[1]}" for x in live) + "]"
            if op == "words":
                return "words-of m", ap
            return "collect [foreach [k v] m [keep k keep v]]", ap
        if op in ("put", "path"):
            v = rnd.randint(0, 9)
            code = f"put m {kl} {v}" if op == "put" or not key[0].isalpha() else f"m/{key}: {v}"

            def ap():
                self.put(key, v)
                return str(v)
            return code, ap
        if op == "remove":
            def ap():
                e = self.find(key, strict=True)
                if e:
                    e[2] = False
                return None
            return f"remove/key m {kl}", ap
        if op in ("select", "find"):
            def ap():
                e = self.find(key)
                if not e or not e[2]:
                    return "none"
                if op == "select":
                    return str(e[1])
                return "1 " + e[0] if e[0].startswith('"') else e[0]
            return f"{op} m {kl}", ap

        def ap():
            self.entries = []
            return None
        return "clear m", ap


# ---- bitset -------------------------------------------------------------------------------------

class BitsetModel:
    def __init__(self, kind, rnd):
        self.bits = bytearray(rnd.randint(0, 3))
        self.neg = rnd.random() < 0.3
        if self.neg:
            self.bits = bytearray(b"\xff" * max(1, len(self.bits)))

    def setup(self):
        if self.neg:
            return [f"bs: make bitset! [not #{{{''.join('%02X' % (b ^ 255) for b in self.bits)}}}]"]
        return [f"bs: make bitset! {len(self.bits) * 8}"]

    def test(self, n):
        if n >> 3 >= len(self.bits):
            return self.neg
        return bool(self.bits[n >> 3] & (0x80 >> (n & 7)))

    def grow(self, n):
        while len(self.bits) <= n >> 3:
            self.bits.append(0xFF if self.neg else 0)

    def setbit(self, n, on):
        if on:
            # Setting always moves the tail out to the highest bit named; a complemented
            # bitset grows with member bytes.
            self.grow(n)
            self.bits[n >> 3] |= 0x80 >> (n & 7)
        else:
            if n >> 3 >= len(self.bits) and not self.neg:
                return
            self.grow(n)
            self.bits[n >> 3] &= ~(0x80 >> (n & 7)) & 0xFF

    def state(self):
        inner = "#{" + "".join("%02X" % (b ^ 255 if self.neg else b) for b in self.bits) + "}"
        return [str(len(self.bits) * 8), "make bitset! " + (f"[not {inner}]" if self.neg else inner)]

    def state_code(self):
        return "print length? bs print mold bs"

    def gen(self, rnd):
        n = rnd.choice([0, 1, 7, 8, 9, 15, 16, 23, 30, 40])
        op = rnd.choice(["append", "poke-on", "poke-off", "remove", "pick", "find", "clear", "range",
                         "complement", "union", "intersect"])
        if op == "complement":
            def ap():
                self.neg = not self.neg
                self.bits = bytearray(b ^ 255 for b in self.bits)
                return None
            return "bs: complement bs", ap
        if op in ("union", "intersect"):
            m = n + rnd.randint(0, 9)

            def ap():
                other = BitsetModel.__new__(BitsetModel)
                other.neg = False
                other.bits = bytearray((m + 8) >> 3)
                for i in range(n, m + 1):
                    other.setbit(i, True)
                # Membership is what counts: a complemented operand has every bit past its
                # array, and the result is complemented when that holds of it too.
                a, b = self.bits, other.bits
                f = (lambda x, y: x | y) if op == "union" else (lambda x, y: x & y)
                size = max(len(a), len(b))
                res = bytearray(size)
                for i in range(size):
                    x = a[i] if i < len(a) else (0xFF if self.neg else 0)
                    y = b[i] if i < len(b) else 0
                    res[i] = f(x, y)
                self.bits = res
                self.neg = bool(f(int(self.neg), int(other.neg)))
                return None
            return f"bs: {op} bs make bitset! [{n} - {m}]", ap
        if op == "append":
            def ap():
                self.setbit(n, True)
                return None
            return f"append bs {n}", ap
        if op == "range":
            m = n + rnd.randint(0, 9)

            def ap():
                for i in range(n, m + 1):
                    self.setbit(i, True)
                return None
            return f"append bs [{n} - {m}]", ap
        if op in ("poke-on", "poke-off"):
            on = op == "poke-on"

            def ap():
                self.setbit(n, on)
                return "true" if on else "false"
            return f"poke bs {n} {'true' if on else 'false'}", ap
        if op == "remove":
            def ap():
                self.setbit(n, False)
                return None
            return f"remove/part bs {n}", ap
        if op in ("pick", "find"):
            def ap():
                t = self.test(n)
                return ("true" if t else "false") if op == "pick" else ("true" if t else "none")
            return f"{op} bs {n}", ap

        def ap():
            self.bits = bytearray((0xFF if self.neg else 0) for _ in self.bits)
            return None
        return "clear bs", ap


# ---- running ------------------------------------------------------------------------------------

MODELS = [(SeriesModel, k) for k in KINDS] + [(MapModel, None), (BitsetModel, None)]


def build_case(rnd):
    cls, kind = rnd.choice(MODELS)
    return cls, kind, rnd.getrandbits(64)


def replay(cls, kind, init_state, keep):
    """Rebuilds the case from its seed state and keeps only the steps whose index is in keep
    (None keeps all); the model is applied as it goes, so every step's expectation follows the
    state the earlier kept steps left."""
    rnd = random.Random(init_state)
    model = cls(kind, rnd)
    script = [PRELUDE] + model.setup() + [model.state_code()]
    expect = model.state()
    kept = []
    for i in range(STEPS):
        code, ap = model.gen(rnd)
        if keep is not None and i not in keep:
            continue
        kept.append(i)
        script.append(f"step [{code}] {model.state_code()}")
        try:
            r = ap()
            expect.append(None if r is None else "R " + r)
        except Err as e:
            expect.append("E " + e.eid)
        if hasattr(model, "buf"):
            model.buf = [model.k.store(e) for e in model.buf]
        expect.extend(model.state())
    return "\n".join(script) + "\n", expect, kept


def run(script):
    with tempfile.NamedTemporaryFile("w", suffix=".kel", delete=False) as f:
        f.write(script)
        name = f.name
    try:
        p = subprocess.run([KEL, name], capture_output=True, text=True, timeout=60)
    finally:
        os.unlink(name)
    return p.stdout.split("\n")[:-1], p


def compare(expect, got):
    """Index of the first line that differs, or None. An expectation of None accepts any line
    (the result of a step whose answer the model leaves open, such as the map or bitset itself)."""
    for i, e in enumerate(expect):
        if i >= len(got):
            return i
        if e is not None and e != got[i]:
            return i
    return None if len(got) == len(expect) else len(expect)


def check(cls, kind, init_state, keep):
    script, expect, kept = replay(cls, kind, init_state, keep)
    got, proc = run(script)
    return compare(expect, got), script, expect, got, proc


def shrink(cls, kind, init_state, first_bad_step):
    keep = set(range(first_bad_step + 1))
    changed = True
    while changed:
        changed = False
        for i in sorted(keep):
            trial = keep - {i}
            bad = check(cls, kind, init_state, trial)[0]
            if bad is not None:
                keep = trial
                changed = True
    return keep


def main():
    rnd = random.Random(SEED)
    failures = 0
    for round_no in range(ROUNDS):
        cls, kind, init_state = build_case(rnd)
        bad, script, expect, got, proc = check(cls, kind, init_state, None)
        if bad is None:
            continue
        failures += 1
        lines_per_step = len(cls(kind, random.Random(0)).state()) + 1
        step = max(0, (bad - (lines_per_step - 1)) // lines_per_step)
        keep = shrink(cls, kind, init_state, min(step, STEPS - 1))
        bad, script, expect, got, proc = check(cls, kind, init_state, keep)
        print(f"round {round_no} ({cls.__name__} {getattr(kind, 'name', '')}): mismatch at output line {bad}")
        print(script)
        print("expected:", expect[bad] if bad is not None and bad < len(expect) else "(end)")
        print("got:     ", got[bad] if bad is not None and bad < len(got) else "(end)")
        print(proc.stderr[-2000:])
        if failures >= int(os.environ.get("KEL_MAX_FAILURES", "3")):
            break
    if failures:
        print(f"seed {SEED}: {failures} failing round(s)")
        sys.exit(1)
    print(f"seed {SEED}: {ROUNDS} rounds of {STEPS} steps agree with the model")


if __name__ == "__main__":
    main()
