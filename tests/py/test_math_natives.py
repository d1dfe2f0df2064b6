#!/usr/bin/env python3
"""Differential test of the math natives against Python's math module.

Drives probe_natives (KEL_PROBE_DIR) with random and hand-picked arguments of the trigonometric,
logarithmic and power natives and compares every float result bit for bit with the same
computation done by Python: the degree reduction of the natives (folding angles so that multiples
of 90 degrees come out exact), the epsilon rule of sine and cosine, the infinities of tangent at
plus and minus 90 degrees, and the conversions between degrees and radians in the order the
natives use. The random seed is printed so that a failure can be replayed with KEL_SEED.
"""
import math
import os
import random
import struct
import subprocess
import sys

PROBE = os.path.join(os.environ.get("KEL_PROBE_DIR", os.path.join(os.path.dirname(__file__), "..", "..", "build", "tests")), "probe_natives")
PI = 3.141592653589793
EPS = 2.220446049250313e-16


def run_probe(lines):
    out = subprocess.run([PROBE], input="\n".join(lines) + "\n", capture_output=True, text=True, check=True).stdout
    result = out.split("\n")[:-1]
    assert len(result) == len(lines), f"probe answered {len(result)} lines for {len(lines)}"
    return result


def literal(x):
    if math.isnan(x):
        return "1.#NaN"
    if math.isinf(x):
        return "1.#INF" if x > 0 else "-1.#INF"
    if x == int(x) and abs(x) < 2**31:
        return repr(float(x)) if isinstance(x, float) else str(x)
    return repr(float(x))


def reduce_degrees(x, mode):
    b = math.fmod(x, 360.0)
    if b > 180.0 or b < -180.0:
        b += -360.0 if b >= 0 else 360.0
    if b > 90.0 or b < -90.0:
        if mode == 0:
            b += -180.0 if b >= 0 else 180.0
        elif mode == 2:
            b = 180.0 - b if b >= 0 else -180.0 - b
    return b * PI / 180.0


def tidy(r):
    return 0.0 if abs(r) < EPS else r


def tangent_of(r):
    if r == PI / 2:
        return math.inf
    if r == -PI / 2:
        return -math.inf
    return math.tan(r)


def guarded(fn, x):
    try:
        return fn(x)
    except (ValueError, OverflowError):
        return math.nan if fn is not math.exp else math.inf


def log_e(x):
    if x == 0:
        return -math.inf
    if x < 0 or math.isnan(x):
        return math.nan
    return math.inf if math.isinf(x) else math.log(x)


def log_10(x):
    if x == 0:
        return -math.inf
    if x < 0 or math.isnan(x):
        return math.nan
    return math.inf if math.isinf(x) else math.log10(x)


def power_e(x):
    try:
        return math.pow(2.718281828459045, x)
    except OverflowError:
        return math.inf


NATIVES = {
    "sine": lambda x: tidy(math.sin(reduce_degrees(x, 2))) if math.isfinite(x) else math.nan,
    "cosine": lambda x: tidy(math.cos(reduce_degrees(x, 1))) if math.isfinite(x) else math.nan,
    "tangent": lambda x: tangent_of(reduce_degrees(x, 0)) if math.isfinite(x) else math.nan,
    "sine/radians": lambda x: tidy(math.sin(x)) if math.isfinite(x) else math.nan,
    "cosine/radians": lambda x: tidy(math.cos(x)) if math.isfinite(x) else math.nan,
    "tangent/radians": lambda x: tangent_of(x) if math.isfinite(x) else math.nan,
    "arcsine": lambda x: guarded(math.asin, x) * 180.0 / PI,
    "arccosine": lambda x: guarded(math.acos, x) * 180.0 / PI,
    "arctangent": lambda x: math.atan(x) * 180.0 / PI,
    "arcsine/radians": lambda x: guarded(math.asin, x),
    "arctangent/radians": lambda x: math.atan(x),
    "log-2": lambda x: log_e(x) / 0.6931471805599453,
    "log-10": log_10,
    "log-e": log_e,
    "exp": power_e,
    "square-root": lambda x: guarded(math.sqrt, x),
}


def same(a, b):
    return struct.pack("<d", a) == struct.pack("<d", b) or (math.isnan(a) and math.isnan(b))


def main():
    seed = int(os.environ.get("KEL_SEED", random.randrange(1 << 30)))
    rng = random.Random(seed)
    print(f"seed {seed}")
    args = [0, 30, 45, 60, 90, 120, 150, 180, 210, 270, 360, 390, -90, -180, -270, 720, 1e-9, -0.0, 0.5,
            1, 2, 8, 1000, -1, 1e300, -1e300, 5e-324, math.inf, -math.inf, math.nan]
    args += [rng.randint(-100000, 100000) * 90 for _ in range(20)]
    args += [rng.uniform(-1000, 1000) for _ in range(200)]
    args += [rng.uniform(-1.5, 1.5) for _ in range(100)]
    args += [math.ldexp(rng.random(), rng.randint(-60, 60)) * rng.choice([-1, 1]) for _ in range(100)]
    cases = []
    for name, fn in NATIVES.items():
        for x in args:
            cases.append((name, x, fn(float(x))))
    pairs = [(1, 1), (0, -1), (-1, 0), (0, 0), (-0.0, -1), (3, 4)] + [(rng.uniform(-9, 9), rng.uniform(-9, 9)) for _ in range(100)]
    lines = [f"{name} {literal(x)}" for name, x, _ in cases]
    lines += [f"arctangent2 {literal(y)} {literal(x)}" for y, x in pairs]
    lines += [f"arctangent2/radians {literal(y)} {literal(x)}" for y, x in pairs]
    expected = [e for _, _, e in cases]
    expected += [math.atan2(y, x) * (180.0 / PI) for y, x in pairs]
    expected += [math.atan2(y, x) for y, x in pairs]
    answers = run_probe(lines)
    failures = []
    for line, want, got in zip(lines, expected, answers):
        kind, _, text = got.partition(" ")
        if kind != "float":
            failures.append(f"{line}: {got}")
            continue
        value = struct.unpack("<d", bytes.fromhex(text)[::-1])[0]
        if not same(value, want):
            failures.append(f"{line}: got {value!r}, want {want!r}")
    print(f"{len(lines)} results compared")
    for f in failures[:40]:
        print("FAIL", f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
