import os

from common import clock, next_random

path = "/tmp/kel-bench-lines.txt"
lines = ["line %d value %d end" % (i, next_random()) for i in range(1, 1000001)]


def write():
    with open(path, "w") as f:
        for line in lines:
            f.write(line)
            f.write("\n")


def read():
    with open(path) as f:
        return [line.rstrip("\n") for line in f]


def total():
    n = 0
    for line in back:
        n += len(line)
    return n


clock("write/lines 1e6 lines", write)
back = clock("read/lines 1e6 lines", read)
n = clock("foreach over 1e6 lines", total)
os.remove(path)
print("lines:", len(back), n, back[-1])
