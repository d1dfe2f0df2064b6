#!/usr/bin/env python3
"""Differential tests of the run-time's text conversions against Python's codecs and floats.

Drives the probe_text program (KEL_PROBE_DIR) with batches of random and hand-picked inputs:
- UTF-8 loading against Python's incremental UTF-8 decoder (surrogatepass, not final), with the
  run-time's own rules on top: overlong forms load, encoded surrogates outside DC00-DCFF load,
  a cut last sequence is left unread, a byte order mark is skipped;
- UTF-16LE loading and UTF-8 / UTF-16LE encoding against Python's codecs;
- float text against repr() and the C library's %g, and text to float against float();
- case mapping of every codepoint against str.upper() and str.lower() where those give one
  codepoint (codepoints unassigned in Python's own Unicode database are skipped).
The random seed is printed so that a failure can be replayed with KEL_SEED.
"""
import codecs
import decimal
import math
import os
import random
import struct
import subprocess
import sys
import unicodedata

PROBE = os.path.join(os.environ.get("KEL_PROBE_DIR", os.path.join(os.path.dirname(__file__), "..", "..", "build", "tests")), "probe_text")
ACCESS_INVALID_UTF8 = "5 4"   # category access, id invalid-utf8
SCRIPT_INVALID_CHAR = "3 62"  # category script, id invalid-char


def run_probe(lines):
    out = subprocess.run([PROBE], input="\n".join(lines) + "\n", capture_output=True, text=True, check=True).stdout
    result = out.split("\n")[:-1]
    assert len(result) == len(lines), f"probe answered {len(result)} lines for {len(lines)}"
    return result


class Failures:
    def __init__(self):
        self.items = []
        self.checked = 0

    def check(self, ok, what):
        self.checked += 1
        if not ok:
            self.items.append(what)


def unit_for(cps):
    top = max(cps, default=0)
    return 1 if top <= 0xFF else 2 if top <= 0xFFFF else 4


def fmt_cps(cps):
    return ",".join(f"{c:x}" for c in cps) if cps else "-"


# ---- UTF-8 ----

def model_utf8(data, crlf):
    """The loader's rules: ('ok', cps, remaining) or ('err', bytes at the bad sequence)."""
    cps, i, n = [], 0, len(data)
    if n > 2 and data[:3] == b"\xef\xbb\xbf":
        i = 3
    while i < n:
        b = data[i]
        if b < 0x80:
            if crlf and b == 0x0D:
                if i + 1 < n and data[i + 1] == 0x0A:
                    i += 1
                    continue
                b = 0x0A
            cps.append(b)
            i += 1
            continue
        if b < 0xC0 or b >= 0xF8:
            return ("err", data[i:i + 4])
        need = 2 if b < 0xE0 else 3 if b < 0xF0 else 4
        have = min(n - i, need)
        v = b & (0x7F >> need)
        for k in range(1, have):
            if data[i + k] & 0xC0 != 0x80:
                return ("err", data[i:i + 4])
            v = (v << 6) | (data[i + k] & 0x3F)
        v <<= 6 * (need - have)
        if (need == 3 and v >> 8 == 0xDC) or (need == 4 and v > 0x10FFFF):
            return ("err", data[i:i + 4])
        if have < need:
            return ("ok", cps, n - i)
        cps.append(v)
        i += need
    return ("ok", cps, 0)


def python_utf8(data):
    """Python's view: (cps, unread) with surrogates allowed and a cut tail buffered, or None."""
    dec = codecs.getincrementaldecoder("utf-8")("surrogatepass")
    try:
        text = dec.decode(data, final=False)
    except UnicodeDecodeError:
        return None
    return [ord(c) for c in text], len(dec.getstate()[0])


def expected_line(result):
    if result[0] == "err":
        return f"err {ACCESS_INVALID_UTF8} {result[1].hex() or '-'}"
    return f"ok {unit_for(result[1])} {result[2]} {fmt_cps(result[1])}"


def random_text(rng, n):
    pools = [(0x20, 0x7E), (0x80, 0xFF), (0x100, 0x7FF), (0x800, 0xD7FF), (0xE000, 0xFFFF), (0x10000, 0x10FFFF)]
    out = []
    for _ in range(n):
        lo, hi = pools[rng.randrange(len(pools))]
        out.append(rng.randint(lo, hi))
    return out


def utf8_cases(rng):
    cases = []
    # Valid text of every width, also cut at every kind of place.
    for _ in range(1500):
        cps = random_text(rng, rng.randint(0, 12))
        data = "".join(map(chr, cps)).encode("utf-8")
        cases.append((data, False))
        if data:
            cases.append((data[:rng.randint(0, len(data) - 1)], False))
    # Encoded surrogates: high and most low ones load, DC00-DCFF does not.
    for _ in range(400):
        s = rng.choice([rng.randint(0xD800, 0xDBFF), rng.randint(0xDC00, 0xDCFF), rng.randint(0xDD00, 0xDFFF)])
        pre = random_text(rng, rng.randint(0, 3))
        data = "".join(map(chr, pre)).encode("utf-8") + chr(s).encode("utf-8", "surrogatepass")
        cases.append((data, False))
        cases.append((data[:-1], False))
    # Overlong forms of every length.
    for _ in range(300):
        cp = rng.randint(0, 0x7FF)
        forms = [bytes([0xC0 | (cp >> 6) & 0x1F, 0x80 | cp & 0x3F]) if cp < 0x80 else None,
                 bytes([0xE0, 0x80 | (cp >> 6) & 0x3F, 0x80 | cp & 0x3F]),
                 bytes([0xF0, 0x80, 0x80 | (cp >> 6) & 0x3F, 0x80 | cp & 0x3F])]
        for f in forms:
            if f:
                cases.append((b"a" + f + b"z", False))
    # Byte soup biased toward sequence boundaries, CR LF handling, byte order marks.
    alphabet = [0x00, 0x0A, 0x0D, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1, 0xC2, 0xDF,
                0xE0, 0xE1, 0xEC, 0xED, 0xEE, 0xEF, 0xF0, 0xF1, 0xF3, 0xF4, 0xF5, 0xF7, 0xF8, 0xFF, 0xBB]
    for _ in range(4000):
        data = bytes(rng.choice(alphabet) for _ in range(rng.randint(0, 8)))
        cases.append((data, rng.random() < 0.3))
    for data in [b"\xef\xbb\xbf", b"\xef\xbb\xbfab", b"\xef\xbb", b"a\r\nb", b"a\rb", b"a\r", b"\r\n\r\n",
                 b"\xc0\x80", b"\xed\xb0\x80", b"\xed\xa0\x80", b"\xf4\x8f\xbf\xbf", b"\xf4\x90\x80\x80",
                 b"\xf4\x90", b"\xe2\x82", b"\xe2", b"\xf0\x9f\x98"]:
        cases.append((data, True))
        cases.append((data, False))
    return cases


def test_utf8(rng, f):
    cases = utf8_cases(rng)
    answers = run_probe([f"u8 {'c' if crlf else '-'} {data.hex() or '-'}" for data, crlf in cases])
    for (data, crlf), got in zip(cases, answers):
        want = model_utf8(data, crlf)
        f.check(got == expected_line(want), f"u8 {data.hex()} crlf={crlf}: got {got!r}, want {expected_line(want)!r}")
        # The rules agree with Python wherever Python's decoder takes the input.
        py = None if crlf or data.startswith(b"\xef\xbb\xbf") else python_utf8(data)
        # (Python buffers a cut ED B0-B3, the start of DC00-DCFF, which the rules reject at once.)
        cut_dc = py is not None and py[1] >= 2 and data[-py[1]] == 0xED and 0xB0 <= data[-py[1] + 1] <= 0xB3
        if py is not None and not cut_dc and not any(0xDC00 <= c <= 0xDCFF for c in py[0]):
            f.check(want == ("ok", py[0], py[1]), f"rules differ from Python on {data.hex()}: {want} vs {py}")


# ---- UTF-16 ----

def model_utf16(data, cr):
    units = [data[i] | data[i + 1] << 8 for i in range(0, len(data) - 1, 2)]
    width = 1
    i = 0
    while i < len(units):
        hi = units[i] >> 8
        if hi:
            width = max(width, 2)
        if 0xD8 <= hi <= 0xDF:
            width = 4
            if hi <= 0xDB:
                if i + 1 >= len(units):
                    return ("err", data[2 * i:2 * i + 2])
                if not 0xDC <= units[i + 1] >> 8 <= 0xDF:
                    return ("err", data[2 * i:2 * i + 4])
                i += 1
        i += 1
    if not units:
        width = 2
    text = data[:2 * len(units)].decode("utf-16-le", "surrogatepass")
    cps = [ord(c) for c in text if not (cr and c == "\r")]
    return ("ok", cps, width)


def test_utf16(rng, f):
    cases = []
    for _ in range(1500):
        cps = random_text(rng, rng.randint(0, 10))
        cases.append(("".join(map(chr, cps)).encode("utf-16-le"), rng.random() < 0.3))
    for _ in range(1500):
        units = [rng.choice([0x41, 0x0D, 0x0A, 0xE9, 0x20AC, 0xD800, 0xDBFF, 0xDC00, 0xDFFF, rng.randint(0, 0xFFFF)])
                 for _ in range(rng.randint(0, 6))]
        cases.append((struct.pack(f"<{len(units)}H", *units), rng.random() < 0.3))
    answers = run_probe([f"u16 {'c' if cr else '-'} {data.hex() or '-'}" for data, cr in cases])
    for (data, cr), got in zip(cases, answers):
        want = model_utf16(data, cr)
        line = (f"err {ACCESS_INVALID_UTF8} {want[1].hex()}" if want[0] == "err"
                else f"ok {want[2]} 0 {fmt_cps(want[1])}")
        f.check(got == line, f"u16 {data.hex()} cr={cr}: got {got!r}, want {line!r}")


# ---- Encoding ----

def test_encoders(rng, f):
    cases = [random_text(rng, rng.randint(0, 10)) for _ in range(1500)]
    cases += [[rng.randint(0, 0xFF) for _ in range(rng.randint(1, 8))] for _ in range(300)]
    cases += [[0x41, rng.randint(0xD800, 0xDFFF), 0xE9] for _ in range(100)]
    cases += [[0x41, 0x110000], [0x7FFFFFFF], [0x10FFFF, 0x10000, 0xFFFF, 0x800, 0x7FF, 0x80, 0x7F, 0]]
    lines = [f"enc8 {fmt_cps(c)}" for c in cases] + [f"enc16 {fmt_cps(c)}" for c in cases]
    answers = run_probe(lines)
    for c, got8, got16 in zip(cases, answers[:len(cases)], answers[len(cases):]):
        if max(c, default=0) > 0x10FFFF:
            bad = next(x for x in c if x > 0x10FFFF)
            f.check(got8 == f"err {SCRIPT_INVALID_CHAR} i{bad:x}", f"enc8 {c}: {got8!r}")
            f.check(got16 == "null", f"enc16 {c}: {got16!r}")
            continue
        text = "".join(map(chr, c))
        f.check(got8 == "ok " + (text.encode("utf-8", "surrogatepass").hex() or "-"), f"enc8 {c}: {got8!r}")
        f.check(got16 == "ok " + (text.encode("utf-16-le", "surrogatepass").hex() or "-"), f"enc16 {c}: {got16!r}")


# ---- Float text ----

def bits(x):
    return struct.pack(">d", x).hex()


def shortest(x):
    """Digits and point position of repr(x): x = 0.DIGITS * 10**pos."""
    r = repr(abs(x))
    if "e" in r:
        mant, exp = r.split("e")
        exp = int(exp)
    else:
        mant, exp = r, 0
    if "." in mant:
        ip, fp = mant.split(".")
    else:
        ip, fp = mant, ""
    digits = (ip + fp).lstrip("0")
    pos = len(ip) + exp - (len(ip + fp) - len((ip + fp).lstrip("0")))
    digits = digits.rstrip("0")
    return digits, pos


def layout(x, digits, pos, keep):
    """The mold layout from the digits."""
    if math.isnan(x):
        return "1.#NaN"
    if math.isinf(x):
        return "-1.#INF" if x < 0 else "1.#INF"
    neg = math.copysign(1.0, x) < 0
    if x == 0:
        return ("-" if neg else "") + ("0.0" if keep else "0")
    n, p = len(digits), pos
    exp = p > 17 or p < -6
    if exp:
        text = digits[0] + "." + digits[1:]
    elif p > 0:
        text = digits[:p] + "." + digits[p:] if p < n else digits + "0" * (p - n) + "."
    else:
        text = "0." + "0" * -p + digits
    if text.endswith("."):
        text = text + "0" if keep else text[:-1]
    if exp:
        text += f"e{p - 1}"
    return ("-" if neg else "") + text


def pretty(x, kind, on):
    if math.isnan(x):
        return "1.#NaN"
    if math.isinf(x):
        return "-1.#INF" if x < 0 else "1.#INF"
    percent = kind in (2, 3)
    if on and abs(x) < 2.220446049250313e-16:
        return "0%" if percent else "0" if kind == 5 else "0.0"
    if kind == 4:
        d = f"{abs(x):.5e}"
        m, e = d.split("e")
        digits = m.replace(".", "").rstrip("0")
        text = layout(x, digits, int(e) + 1, False)
    else:
        text = "%.*g" % ({0: 7, 1: 16, 2: 7, 3: 13, 5: 7}[kind], x)
    if on:
        e = text.find("e")
        mant = text if e < 0 else text[:e]
        lead = 1 if text.startswith("-") else 0
        long_text = len(mant) > 16 if e >= 0 else len(text) > 16 and (text[lead] != "0" or len(text) > 17)
        if long_text and mant[-2:] in ("01", "99"):
            text = "%.*g" % (5 if kind in (0, 4, 5) else 14, x)
    if "e" in text:
        m, e = text.split("e")
        sign = "-" if e.startswith("-") else ""
        e = e.lstrip("+-").lstrip("0") or "0"
        text = f"{m}e{sign}{e}"
    if kind <= 3 and "." not in text:
        text = text.replace("e", ".0e") if "e" in text else text + ".0"
    if percent:
        text += "%"
    return text


def random_doubles(rng, n):
    out = []
    for _ in range(n):
        k = rng.randrange(6)
        if k == 0:
            x = struct.unpack(">d", rng.getrandbits(64).to_bytes(8, "big"))[0]
        elif k == 1:
            x = round(rng.uniform(-1000, 1000), rng.randint(0, 6))
        elif k == 2:
            x = rng.choice([1, -1]) * float(f"1e{rng.randint(-330, 310)}")
        elif k == 3:
            x = rng.uniform(0, 1) * 2.0 ** rng.randint(-1074, 1023)
        elif k == 4:
            x = float(rng.randint(-10**17, 10**17))
        else:
            x = rng.random() + rng.random() * 1e-15
        if not math.isnan(x):
            out.append(x)
    return out + [0.0, -0.0, 0.1 + 0.2, 1e16, 1e17, 1e-7, 1e-8, 100.0, 5e-324, 1.7976931348623157e308,
                  2.220446049250313e-16, 1e-20, float("inf"), float("-inf"), 1.0000000000000009, 2 / 3]


def test_float_text(rng, f):
    xs = random_doubles(rng, 20000)
    lines = [f"mold {bits(x)}" for x in xs]
    kinds = []
    for x in xs[:3000]:
        for k, on in [(1, True), (1, False), (rng.choice([0, 2, 3, 4, 5]), rng.random() < 0.7)]:
            if k in (0, 2, 5) and not math.isinf(x):
                # 32-bit kinds show a float that came from single precision.
                try:
                    x = struct.unpack("f", struct.pack("f", x))[0]
                except OverflowError:
                    continue
            kinds.append((x, k, on))
    lines += [f"form {k} {int(on)} {bits(x)}" for x, k, on in kinds]
    answers = run_probe(lines + ["form 1 1 7ff8000000000000", "form 0 1 fff8000000000001", "mold fff8000000000000"])
    nan_answers = answers[-3:]
    answers = answers[:-3]
    for x, got in zip(xs, answers[:len(xs)]):
        if math.isinf(x) or x == 0:
            want = layout(x, "", 0, True)
        else:
            want = layout(x, *shortest(x), True)
        f.check(got == want, f"mold {x!r}: got {got!r}, want {want!r}")
        if not math.isinf(x):
            f.check(float(got) == x, f"mold {x!r} does not read back: {got!r}")
    for (x, k, on), got in zip(kinds, answers[len(xs):]):
        want = pretty(x, k, on)
        f.check(got == want, f"form kind {k} pretty={on} {x!r}: got {got!r}, want {want!r}")
    f.check(nan_answers == ["1.#NaN", "1.#NaN", "1.#NaN"], f"NaN texts: {nan_answers}")


def test_strtod(rng, f):
    texts = []
    for x in random_doubles(rng, 10000):
        texts.append((repr(x) if not math.isinf(x) else ("1.#INF" if x > 0 else "-1.#INF"), 0))
    for _ in range(3000):
        digits = "".join(rng.choice("0123456789") for _ in range(rng.randint(1, 60)))
        point = rng.randint(0, len(digits))
        text = digits[:point] + "." + digits[point:] if rng.random() < 0.7 else digits
        if rng.random() < 0.6:
            text += rng.choice("eE") + rng.choice(["", "+", "-"]) + str(rng.randint(0, 400))
        if rng.random() < 0.3:
            text = rng.choice("+-") + text
        texts.append((text, rng.choice([0, 0, -2])))
    texts += [("1e400", 0), ("1e-400", 0), ("-1e400", 0), ("2.4703282292062328e-324", 0),
              ("2.4703282292062327e-324", 0), ("1.7976931348623158e308", 0), ("1.7976931348623159e308", 0),
              ("0." + "0" * 400 + "1e400", 0), ("1" + "0" * 500 + "e-500", 0), ("50", -2), ("1.5e10", -2),
              ("1e99999999999999", 0), ("1e-99999999999999", 0), ("9" * 1000, 0), ("1.#NaN", 0), ("-1.#INF", 0)]
    answers = run_probe([f"strtod {extra} {t}" for t, extra in texts])
    for (t, extra), got in zip(texts, answers):
        hexbits, left = got.split()
        value = struct.unpack(">d", bytes.fromhex(hexbits))[0]
        if "#" in t:
            want = float("nan") if "NaN" in t else float(t.replace("1.#INF", "inf"))
        else:
            with decimal.localcontext() as ctx:
                ctx.prec = 2000
                ctx.Emax = decimal.MAX_EMAX
                ctx.Emin = decimal.MIN_EMIN
                want = float(decimal.Decimal(t).scaleb(extra))
        same = (math.isnan(value) and math.isnan(want)) or bits(value) == bits(want)
        f.check(same and left == "0", f"strtod {t!r} extra {extra}: got {value!r} left {left}, want {want!r}")


# ---- Case mapping ----

def test_case_mapping(rng, f):
    upper, lower = (run_probe([f"case {d} 0 10ffff"])[0].split(",") for d in "UL")
    for cp in range(0x110000):
        if unicodedata.category(chr(cp)) in ("Cn", "Cs"):
            continue
        for got, want in ((upper[cp], chr(cp).upper()), (lower[cp], chr(cp).lower())):
            # Multi-codepoint mappings (sharp s to SS) have no one-codepoint form in Python.
            if len(want) == 1:
                f.check(int(got, 16) == ord(want), f"case of U+{cp:04X}: got {got}, want {ord(want):x}")


def main():
    seed = int(os.environ.get("KEL_SEED", random.randrange(1 << 30)))
    print(f"seed {seed}")
    rng = random.Random(seed)
    f = Failures()
    for test in (test_utf8, test_utf16, test_encoders, test_float_text, test_strtod, test_case_mapping):
        before = len(f.items)
        test(rng, f)
        print(f"{test.__name__}: {'ok' if len(f.items) == before else 'FAILED'}")
        for item in f.items[before:before + 10]:
            print("  " + item)
    print(f"{f.checked - len(f.items)} passed, {len(f.items)} failed")
    return 1 if f.items else 0


if __name__ == "__main__":
    sys.exit(main())
