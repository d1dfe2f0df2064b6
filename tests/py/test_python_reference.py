#!/usr/bin/env python3
"""Differential test of the scalar datatypes and encoders against Python 3 as the reference.

Random cases, each one Kel expression whose molded result (or the id of the error it raises) is
compared with what Python computes under the system's own rules where they differ from Python's:
- integer! arithmetic: overflow of + - * and inexact / turning into float!, truncated remainder,
  power, bitwise operations, shift, negate and absolute of the lowest integer, modulo;
- round of integer!, float! and money! under every refinement, on negative values and ties;
- float! text: every finite bit pattern molds to a text that loads back to the same bits, and
  texts Python prints in several formats load to the double Python reads;
- money! arithmetic on the exact decimal digits, with truncation and the 17-digit limit;
- date! and time!: day differences, weekdays, day of the year, ISO weeks, Unix seconds, zones,
  ISO 8601 literals, leap days, dates made from blocks, time arithmetic;
- string! case mapping, comparison, searching and sorting; sorting of numbers and records;
- enbase/debase in bases 2, 16, 58 and 64, and URL percent escapes.
One Kel process runs every case. The seed is fixed; KEL_SEED replays another.
"""
import base64
import datetime as dt
import math
import os
import random
import struct
import subprocess
import sys
import tempfile
import urllib.parse
from decimal import ROUND_DOWN, Decimal, getcontext
from fractions import Fraction

KEL = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "..", "build", "kel")
LO, HI = -2**31, 2**31 - 1
MONTHS = ["Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"]
MODES = ["", "even", "down", "half-down", "floor", "ceiling", "half-ceiling"]
# Collection torture makes every allocation collect: a tenth of the cases keep that run short.
TORTURE = os.environ.get("KEL_GC_TORTURE", "0") not in ("", "0")


def rounds(n):
    return max(1, n // 10) if TORTURE else n


PRELUDE = """Kel []
t: func [code [block!] /local r] [
    either error? set/any 'r try code [print ["E" r/id]] [print mold/all/flat :r]
]
"""


def logic(b):
    return "#(true)" if b else "#(false)"


def text(s):
    """A string literal in braces: only ^, { and } need escapes."""
    return "{" + s.replace("^", "^^").replace("{", "^{").replace("}", "^}") + "}"


def binary(b):
    return "#{" + b.hex().upper() + "}"


def string_is(s):
    """A molded string: quoted, or in braces when it is long."""
    return lambda g: g in ('"' + s + '"', "{" + s + "}")


def float_text(x):
    if math.isnan(x):
        return "1.#NaN"
    if math.isinf(x):
        return "1.#INF" if x > 0 else "-1.#INF"
    return repr(x)


def number_is(v):
    """An integer! or float! result, compared by type and, for floats, by bits."""
    def check(g):
        if isinstance(v, str):
            return g == v
        if isinstance(v, int):
            return g == str(v)
        if g.startswith("E") or not any(c in g for c in ".e#"):
            return False
        got = float(g.replace("1.#INF", "inf").replace("1.#NaN", "nan"))
        if math.isnan(v):
            return math.isnan(got)
        return struct.pack("<d", got) == struct.pack("<d", v)
    return check


def round_exact(x, s, mode):
    """x rounded to a multiple of s > 0 (Fractions) under a round refinement."""
    q = x / s
    fl, ce = math.floor(q), math.ceil(q)
    if fl == ce:
        return x
    toward, away = (fl, ce) if q > 0 else (ce, fl)
    if mode == "down":
        r = toward
    elif mode == "floor":
        r = fl
    elif mode == "ceiling":
        r = ce
    elif abs(q - toward) < Fraction(1, 2):
        r = toward
    elif abs(q - toward) > Fraction(1, 2):
        r = away
    elif mode == "even":
        r = toward if toward % 2 == 0 else away
    elif mode == "half-down":
        r = toward
    elif mode == "half-ceiling":
        r = ce
    else:
        r = away
    return r * s


def truncated_quotient(a, b):
    q = abs(a) // abs(b)
    return q if (a < 0) == (b < 0) else -q


def integer_cases(rng, cases):
    def rint():
        k = rng.randrange(5)
        if k == 0:
            return rng.choice([0, 1, -1, 2, -2, LO, HI, LO + 1, HI - 1, 46340, -46341, 65536, -65536])
        if k == 1:
            return rng.randrange(-20, 21)
        if k == 2:
            return rng.randrange(-2**16, 2**16)
        return rng.randrange(LO, HI + 1)

    for _ in range(rounds(500)):
        a, b = rint(), rint()
        op = rng.choice("+-*")
        r = eval(f"a {op} b")
        if not LO <= r <= HI:
            r = eval(f"float(a) {op} float(b)")
        cases.append((f"{a} {op} ({b})", number_is(r)))
        if b == 0:
            q = r = "E zero-divide"
        elif a == LO and b == -1:
            q = r = "E overflow"
        else:
            q = truncated_quotient(a, b) if a % b == 0 else a / b
            r = a - b * truncated_quotient(a, b)
        cases.append((f"divide {a} {b}", number_is(q)))
        cases.append((f"remainder {a} {b}", number_is(r)))
        if b != 0 and not (a == LO and b == -1):
            # modulo takes the absolute value of b first, which the lowest integer lacks
            cases.append((f"modulo {a} {b}", str(a % abs(b)) if b != LO else "E overflow"))
        e = rng.randrange(0, 40)
        p = a ** e
        if not LO <= p <= HI:
            try:
                p = math.pow(float(a), e)
            except OverflowError:
                p = math.copysign(math.inf, a) if e % 2 else math.inf
        cases.append((f"power {a} {e}", number_is(p)))
        for word, op in [("and~", "&"), ("or~", "|"), ("xor~", "^")]:
            cases.append((f"{word} {a} {b}", str(eval(f"a {op} b"))))
        cases.append((f"negate {a}", "E overflow" if a == LO else str(-a)))
        cases.append((f"absolute {a}", "E overflow" if a == LO else str(abs(a))))
        cases.append((f"complement {a}", str(~a)))
        k = rng.choice([rng.randrange(-2, 36), rng.randrange(0, 32)])
        n = max(k, 0)
        cases.append((f"shift {a} {k}", str(a >> min(n, 31))))
        left = (a << n) & 0xFFFFFFFF if n <= 31 else 0
        cases.append((f"shift/left {a} {k}", str(left - (1 << 32) if left & 0x80000000 else left)))
        logical = (a & 0xFFFFFFFF) >> n if n <= 31 else 0
        cases.append((f"shift/logical {a} {k}", str(logical - (1 << 32) if logical & 0x80000000 else logical)))
        # round/to with an integer scale: the result must be a multiple of the scale
        s = rng.choice([rint(), rng.randrange(1, 20), rng.randrange(-20, 0)])
        mode = rng.choice(MODES)
        if s == LO:
            r = "E overflow"
        elif s == 0:
            r = a
        else:
            r = int(round_exact(Fraction(a), Fraction(abs(s)), mode or "half-away"))
            if not LO <= r <= HI:
                r = "E overflow"
        cases.append((f"round/to{'/' + mode if mode else ''} {a} {s}", number_is(r)))
        # text and float conversions
        n = rng.choice([rint(), rng.randrange(-10**12, 10**12), HI + 1, LO - 1])
        cases.append((f"to integer! {text(str(n))}", str(n) if LO <= n <= HI else "E bad-to-arg"))
        x = rng.choice([rng.uniform(-3e9, 3e9), rng.uniform(-10, 10), float(rng.choice([HI, LO, HI + 1, LO - 1])) + rng.choice([0, 0.5, -0.5])])
        cases.append((f"to integer! {x!r}", "E type-limit" if x > HI or x < LO else str(int(x))))
        cases.append((f"to integer! to-hex {a}", str(a)))


def float_cases(rng, cases):
    def random_bits():
        k = rng.randrange(5)
        if k == 0:
            b = rng.getrandbits(64)
        elif k == 1:    # exponents at the edges of the range and around 1 and 2^31
            b = rng.getrandbits(52) | rng.choice([0, 0x7FE, 1, 0x3FF, 0x400, 0x43E, 0x41E]) << 52 | rng.getrandbits(1) << 63
        elif k == 2:    # subnormals
            b = rng.randrange(0, 1 << 20) | rng.getrandbits(1) << 63
        else:
            x = float(f"{rng.randrange(1, 10**rng.randrange(1, 18))}e{rng.randrange(-330, 310)}")
            b = struct.unpack("<Q", struct.pack("<d", x))[0]
        return b

    for _ in range(rounds(600)):
        b = random_bits()
        if (b >> 52) & 0x7FF == 0x7FF:
            continue
        x = struct.unpack("<d", struct.pack("<Q", b))[0]
        bits = binary(struct.pack(">d", x))
        cases.append((f"to float! {bits}", number_is(x)))
        cases.append((f"to binary! load mold to float! {bits}", bits))
        cases.append((f"to binary! to float! mold to float! {bits}", bits))
        cases.append((f"to binary! {x!r}", bits))
        fmt = rng.choice(["%.17g", "%.17e", "%.25g", "%.40e", "%g", "%.3f", "%.20E"])
        t = fmt % x
        if len(t) < 60:
            y = float(t)
            cases.append((f"to binary! to float! {text(t)}", binary(struct.pack(">d", y))))
        # form is the pretty text: close to the value, or 0.0 below the double epsilon
        if abs(x) < 2.220446049250313e-16:
            cases.append((f"form {x!r}", '"0.0"'))
        else:
            cases.append((f"form {x!r}", lambda g, x=x: g.startswith('"') and abs(float(g.strip('"')) - x) <= abs(x) * 1e-14))

    def rf():
        k = rng.randrange(4)
        if k == 0:
            return float(rng.randrange(-50, 50))
        if k == 1:
            return rng.uniform(-1000, 1000)
        if k == 2:
            return rng.choice([0.0, -0.0, 0.5, -0.5, 1e300, -1e-300, 5e-324, math.inf, -math.inf])
        return rng.randrange(-100, 100) / 8

    for _ in range(rounds(300)):
        a, b = rf(), rf()
        if math.isinf(b):
            r = a if not math.isinf(a) else math.nan
        elif math.isinf(a) or b == 0:
            r = math.nan
        else:
            r = math.fmod(a, b)
        cases.append((f"remainder {float_text(a)} {float_text(b)}", number_is(r)))
        if math.isfinite(a):
            mode = rng.choice(MODES)
            x = rng.choice([a, rng.randrange(-100, 100) + rng.choice([0.5, 0.25, 0.75])])
            # a result of zero may carry the sign of x (ceiling of -0.5 is -0.0)
            r = float(round_exact(Fraction(x), Fraction(1), mode or "half-away"))
            cases.append((f"round{'/' + mode if mode else ''} {x!r}", number_is(r) if r else (lambda g: g in ("0.0", "-0.0"))))


def money_cases(rng, cases):
    getcontext().prec = 80
    unit = Decimal("0.00001")
    top = Decimal("99999999999999999.99999")

    def rm():
        k = rng.randrange(5)
        if k == 0:
            return Decimal(rng.randrange(-10**6, 10**6)) * unit
        if k == 1:
            return Decimal(rng.randrange(-100, 100))
        if k == 2:
            return Decimal(rng.randrange(-10**22 + 1, 10**22)) * unit
        if k == 3:
            return Decimal(rng.randrange(-10**12, 10**12)) * unit
        return rng.choice([Decimal(0), unit, -unit, top, -top, Decimal("0.5"), Decimal("-0.5")])

    def lit(m):
        return ("-" if m < 0 else "") + f"${abs(m):.5f}"

    def result(m):
        if abs(m) > top:
            return "E type-limit"
        return lit(m.quantize(unit, rounding=ROUND_DOWN))

    for _ in range(rounds(400)):
        a, b = rm(), rm()
        cases.append((f"{lit(a)} + {lit(b)}", result(a + b)))
        cases.append((f"{lit(a)} - {lit(b)}", result(a - b)))
        cases.append((f"{lit(a)} * {lit(b)}", result(a * b)))
        n = rng.choice([i for i in range(-50, 50) if i])
        cases.append((f"{lit(a)} / {n}", result(a / n)))
        if b == 0:
            r = "E zero-divide"
        else:
            r = result(a - b * (a / b).to_integral_value(rounding=ROUND_DOWN))
        cases.append((f"remainder {lit(a)} {lit(b)}", r))
        mode = rng.choice(MODES)
        s = rng.choice([Decimal("0.01"), Decimal("0.05"), Decimal(1), Decimal(5), Decimal("0.00002"), Decimal(10)])
        r = round_exact(Fraction(a), Fraction(s), mode or "half-away")
        cases.append((f"round/to{'/' + mode if mode else ''} {lit(a)} {lit(s)}", result(Decimal(r.numerator) / Decimal(r.denominator))))
        grouped = f"{abs(a):,.5f}".replace(",", "'")
        cases.append((f"form {lit(a)}", string_is(("-" if a < 0 else "") + "$" + grouped[:-3])))
        x = rng.choice([rng.randrange(-10**9, 10**9) / 10**rng.randrange(0, 6), rng.uniform(-1e6, 1e6)])
        r = repr(x)
        if "e" not in r:
            decimals = len(r.split(".")[1]) if "." in r else 0
            cases.append((f"to money! {r}", "E bad-make-arg" if decimals > 5 else lit(Decimal(r))))
            cases.append((f"{lit(a)} < {r}", logic(a < Decimal(r))))


def date_text(d):
    return f"{d.day}-{MONTHS[d.month - 1]}-{d.year:04d}" if d.year < 100 else f"{d.day}-{MONTHS[d.month - 1]}-{d.year}"


def clock(secs):
    sign = "-" if secs < 0 else ""
    h, r = divmod(abs(secs), 3600)
    return f"{sign}{h}:{r // 60:02d}:{r % 60:02d}"


def zone_text(minutes):
    return "" if minutes == 0 else ("-" if minutes < 0 else "+") + f"{abs(minutes) // 60:02d}:{abs(minutes) % 60:02d}"


def date_cases(rng, cases):
    def rd():
        k = rng.randrange(3)
        if k == 0:
            o = rng.randrange(dt.date(1, 1, 1).toordinal(), dt.date(9999, 12, 31).toordinal())
        elif k == 1:
            o = rng.randrange(dt.date(1890, 1, 1).toordinal(), dt.date(2110, 1, 1).toordinal())
        else:
            y = rng.choice([1600, 1700, 1900, 2000, 2004, 2100, 2023, 2024, 400, 1])
            o = dt.date(y, rng.choice([1, 2, 3, 12]), 1).toordinal() + rng.randrange(-3, 3)
        return dt.date.fromordinal(max(1, o))

    for _ in range(rounds(300)):
        a, b = rd(), rd()
        cases.append((f"{date_text(a)} - {date_text(b)}", str((a - b).days)))
        cases.append((f"d: {date_text(a)} d/weekday", str(a.isoweekday())))
        cases.append((f"d: {date_text(a)} d/yearday", str(a.timetuple().tm_yday)))
        cases.append((f"d: {date_text(a)} d/isoweek", str(a.isocalendar()[1])))
        n = rng.randrange(-3000, 3000)
        if dt.date(1, 1, 1).toordinal() <= a.toordinal() + n <= dt.date(9999, 12, 31).toordinal():
            cases.append((f"{date_text(a)} + {n}", date_text(a + dt.timedelta(days=n))))
        y = a.year
        leap = y % 4 == 0 and (y % 100 != 0 or y % 400 == 0)
        cases.append((f"d: {date_text(a)} d/day: 1 d/month: 2 d/day: 29 d", date_text(dt.date(y, 2, 29) if leap else dt.date(y, 3, 1))))
        # a first number below 100 is the day: years before 100 have no ISO form here
        if y >= 100:
            bad = f"{y:04d}-02-{rng.choice([29, 30, 31])}"
            valid = bad.endswith("29") and leap
            cases.append((f"type? load {text(bad)}", "#(date!)" if valid else (lambda g: g.startswith("E "))))
            cases.append((f"load {text(a.isoformat())}", date_text(a)))
        cases.append((f"load {text(f'{y:04d}-{a.timetuple().tm_yday:03d}')}", date_text(a)))
        iy, iw, iwd = a.isocalendar()
        if iy == y and y >= 1000:
            cases.append((f"load {text(f'{iy:04d}-W{iw:02d}-{iwd}')}", date_text(a)))
        if 1902 <= y <= 2037:
            secs, zm = rng.randrange(86400), rng.randrange(-47, 48) * 15
            local = dt.datetime.combine(a, dt.time(secs // 3600, secs // 60 % 60, secs % 60), dt.timezone(dt.timedelta(minutes=zm)))
            lit = f"{date_text(a)}/{clock(secs)}{zone_text(zm)}"
            cases.append((f"load {text(local.isoformat())}", lit))
            u = int(local.timestamp())
            if LO <= u <= HI:
                cases.append((f"to integer! {lit}", str(u)))
                back = dt.datetime.fromtimestamp(u, dt.timezone.utc)
                cases.append((f"to date! {u}", f"{date_text(back.date())}/{clock(back.hour * 3600 + back.minute * 60 + back.second)}"))
            # the timezone field moves the clock and keeps the instant
            zm2 = rng.randrange(-47, 48) * 15
            other = local.astimezone(dt.timezone(dt.timedelta(minutes=zm2)))
            cases.append((f"d: {lit} d/timezone: {'-' if zm2 < 0 else ''}{abs(zm2) // 60}:{abs(zm2) % 60:02d} d",
                          f"{date_text(other.date())}/{clock(other.hour * 3600 + other.minute * 60 + other.second)}{zone_text(zm2)}"))
            c = rd() if rng.random() < 0.5 else a
            if 1902 <= c.year <= 2037:
                later = dt.datetime.combine(c, dt.time(rng.randrange(24), rng.randrange(60), rng.randrange(60)), dt.timezone(dt.timedelta(minutes=zm2)))
                lit2 = f"{date_text(c)}/{clock(later.hour * 3600 + later.minute * 60 + later.second)}{zone_text(zm2)}"
                cases.append((f"{lit} < {lit2}", logic(local < later)))
        # block specs: make refuses fields out of range, to rolls them over
        y, m, d = rng.randrange(1000, 9000), rng.randrange(1, 13), rng.randrange(1, 32)
        first_day = dt.date(y, m, 1)
        spec = f"{d} {m} {y}" if rng.random() < 0.5 else f"{y} {m} {d}"
        valid = d <= ((first_day.replace(month=m % 12 + 1) if m < 12 else first_day.replace(year=y + 1, month=1)) - first_day).days
        cases.append((f"make date! [{spec}]", date_text(dt.date(y, m, d)) if valid else "E bad-to-arg"))
        hh, mm, ss, zh, zq = rng.randrange(30), rng.randrange(70), rng.randrange(70), rng.randrange(-12, 13), rng.choice([0, 15, 30, 45])
        local = dt.datetime(y, m, 1) + dt.timedelta(days=d - 1, seconds=hh * 3600 + mm * 60 + ss)
        zone = "" if zh == zq == 0 else ("-" if zh < 0 else "+") + f"{abs(zh):02d}:{zq:02d}"
        cases.append((f"to date! [{spec} {hh} {mm} {ss} {zh} {zq}]",
                      f"{date_text(local.date())}/{clock(local.hour * 3600 + local.minute * 60 + local.second)}{zone}"))
        t1, t2 = rng.randrange(-10**7, 10**7), rng.randrange(-10**6, 10**6)
        cases.append((f"{clock(t1)} + {clock(t2)}", clock(t1 + t2)))
        cases.append((f"{clock(t1)} - {clock(t2)}", clock(t1 - t2)))
        k = rng.randrange(-5, 6)
        cases.append((f"{clock(t1)} * {k}", clock(t1 * k)))
        h = rng.randrange(-10**6, 10**6) / 2
        # whole seconds, a half second rounding up
        cases.append((f"to integer! to time! {h!r}", str(math.floor(h + 0.5))))


def string_cases(rng, cases):
    pools = ["abcXYZ_[`{~ 09", "aAbBéÉßÿŸıİ", "αΑβΒσΣςЖжЯя", "中文𝄞🎵aZ", "ǅǄǆ ſ K Å"]

    def upper(c):
        u = c.upper()
        return u if len(u) == 1 else c

    def lower(c):
        if c == "\u0130":       # the simple mapping; Python's lower() adds a combining dot
            return "i"
        u = c.lower()
        return u if len(u) == 1 else c

    def rs():
        pool = rng.choice(pools + ["".join(pools)])
        return "".join(rng.choice(pool) for _ in range(rng.randrange(0, 8)))

    def key(s):
        return [ord(upper(c)) for c in s]

    for _ in range(rounds(300)):
        s = rs()
        cases.append((f"to binary! uppercase {text(s)}", binary("".join(map(upper, s)).encode())))
        cases.append((f"to binary! lowercase {text(s)}", binary("".join(map(lower, s)).encode())))
        # a string's characters sort by their upper case whatever the width they are stored in
        cases.append((f"to binary! sort {text(s)}", lambda g, s=s: g.startswith("#{") and key(bytes.fromhex(g[2:-1]).decode()) == sorted(key(s))))
        a, b = rs(), rs()
        cases.append((f"lesser? {text(a)} {text(b)}", logic(key(a) < key(b))))
        cases.append((f"equal? {text(a)} {text(b)}", logic(key(a) == key(b))))
        cases.append((f"strict-equal? {text(a)} {text(b)}", logic(a == b)))
        cases.append((f"lesser? to binary! {text(a)} to binary! {text(b)}", logic(a.encode() < b.encode())))
        # blocks of strings: the keys are compared, so ties under folding may come in any order
        blk = [rs() for _ in range(rng.randrange(0, 12))]
        folded = sorted(key(x) for x in blk)
        cases.append((f"b: sort [{' '.join(map(text, blk))}] forall b [b/1: to binary! b/1] head b",
                      lambda g, folded=folded: g.startswith("[") and sorted(folded) == [key(bytes.fromhex(x[2:-1]).decode()) for x in g[1:-1].split()]))
        exact = sorted(blk, key=lambda s: [ord(c) for c in s])
        cases.append((f"b: sort/case [{' '.join(map(text, blk))}] forall b [b/1: to binary! b/1] head b",
                      "[" + " ".join(binary(x.encode()) for x in exact) + "]"))
        # searches fold case the same way; /case compares exactly
        hay = rs()
        if hay and rng.random() < 0.7:
            i = rng.randrange(len(hay))
            needle = "".join(c.swapcase() if len(c.swapcase()) == 1 and rng.random() < 0.5 else c for c in hay[i:i + rng.randrange(1, 4)])
        else:
            needle = rs() or "a"
        folded_hay, folded_needle = "".join(map(upper, hay)), "".join(map(upper, needle))
        for refinement, at in [("", folded_hay.find(folded_needle)), ("/case", hay.find(needle)), ("/last", folded_hay.rfind(folded_needle))]:
            cases.append((f"if f: find{refinement} {text(hay)} {text(needle)} [index? f]", "#(none)" if at < 0 else str(at + 1)))
        nums = [rng.choice([rng.randrange(-100, 100), rng.randrange(-10, 10) / 4, rng.uniform(-1e9, 1e9)]) for _ in range(rng.randrange(0, 15))]
        lit = " ".join(map(str, nums))
        cases.append((f"sort [{lit}]", lambda g, e=sorted(nums): g.startswith("[") and [float(v) for v in g[1:-1].split()] == e))
        cases.append((f"sort/reverse [{lit}]", lambda g, e=sorted(nums, reverse=True): g.startswith("[") and [float(v) for v in g[1:-1].split()] == e))
        recs = [(rng.randrange(5), rng.randrange(100)) for _ in range(rng.randrange(0, 8))]
        flat = " ".join(f"{x} {y}" for x, y in recs)
        cases.append((f"sort/skip/compare/stable [{flat}] 2 2", "[" + " ".join(f"{x} {y}" for x, y in sorted(recs, key=lambda r: r[1])) + "]"))
        cases.append((f"sort/skip/stable [{flat}] 2", "[" + " ".join(f"{x} {y}" for x, y in sorted(recs, key=lambda r: r[0])) + "]"))


def encoding_cases(rng, cases):
    alphabet58 = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz"

    def base58(b):
        n, s = int.from_bytes(b, "big"), ""
        while n:
            n, r = divmod(n, 58)
            s = alphabet58[r] + s
        return "1" * (len(b) - len(b.lstrip(b"\0"))) + s

    def sprinkle(s):
        """Blanks and line breaks between the digits, which every decoder skips."""
        return "".join(rng.choice(" \n\t\r") + c if rng.random() < 0.1 else c for c in s)

    for _ in range(rounds(250)):
        b = bytes(rng.randrange(256) for _ in range(rng.choice([0, 1, 2, 3, 4, 5, 10, 31, 32, 33, 57, 100])))
        if rng.random() < 0.2:
            b = b"\0" * rng.randrange(1, 4) + b
        bits = "".join(f"{x:08b}" for x in b)
        for base, enc in [(64, base64.b64encode(b).decode()), (16, b.hex().upper()), (2, bits), (58, base58(b))]:
            cases.append((f"enbase/base {binary(b)} {base}", string_is(enc)))
            cases.append((f"debase/base {text(sprinkle(enc if base != 16 else b.hex()))} {base}", binary(b)))
        t = "".join(rng.choice("aZ09-._~!*'();:@&=+$,/?#[] %é€😀\"<>\\^`{|}") for _ in range(rng.randrange(0, 10)))
        cases.append((f"to binary! dehex enhex {text(t)}", binary(t.encode())))
        cases.append((f"enhex {text(t)}", lambda g, t=t: g[:1] in '"{' and urllib.parse.unquote(g[1:-1].replace('^"', '"').replace("^^", "^")) == t))
        cases.append((f"to binary! dehex {text(urllib.parse.quote(t, safe=''))}", binary(t.encode())))


def main():
    seed = int(os.environ.get("KEL_SEED", "20261211"))
    print("seed", seed)
    rng = random.Random(seed)
    cases = []
    for section in [integer_cases, float_cases, money_cases, date_cases, string_cases, encoding_cases]:
        section(rng, cases)
    with tempfile.NamedTemporaryFile("w", suffix=".kel", delete=False, encoding="utf-8") as f:
        f.write(PRELUDE + "".join(f"t [{code}]\n" for code, _ in cases))
        script = f.name
    try:
        run = subprocess.run([KEL, script], capture_output=True, text=True, encoding="utf-8", timeout=240)
    finally:
        os.unlink(script)
    got = run.stdout.split("\n")
    if got and got[-1] == "":
        got.pop()
    if len(got) != len(cases):
        print(f"expected {len(cases)} lines, got {len(got)}; status {run.returncode}")
        print(run.stdout[-2000:], run.stderr[-2000:])
        return 1
    failures = []
    for (code, expected), g in zip(cases, got):
        ok = expected(g) if callable(expected) else g == expected
        if not ok:
            failures.append((code, "" if callable(expected) else expected, g))
    for code, expected, g in failures[:25]:
        print("case:    ", code)
        if expected:
            print("expected:", expected)
        print("     got:", g)
    print(f"{len(cases) - len(failures)} of {len(cases)} results agree")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
