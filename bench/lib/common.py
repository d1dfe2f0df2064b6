"""Shared helpers of the library benchmarks: the same clock and generator as common.kel."""
import time

_seed = 1


def clock(step, fn):
    start = time.perf_counter()
    result = fn()
    print("time", step, time.perf_counter() - start)
    return result


def next_random():
    global _seed
    _seed = _seed * 48271 % 2147483647
    return _seed


def make_text(count, width):
    """Text of count lines of width words of two to eight lower-case letters."""
    lines = []
    for _ in range(count):
        words = []
        for _ in range(width):
            n = 2 + next_random() % 7
            words.append("".join(chr(97 + next_random() % 26) for _ in range(n)))
        lines.append(" ".join(words) + "\n")
    return "".join(lines)
