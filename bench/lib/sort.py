from common import clock, next_random

ints = [next_random() for _ in range(1000000)]
strs = ["%08X" % next_random() for _ in range(100000)]

clock("sort 1e6 integers", ints.sort)
clock("sort 1e5 strings", strs.sort)
print("integers:", ints[0], ints[499999], ints[-1])
print("strings:", strs[0], strs[49999], strs[-1])
