from common import clock, next_random

keys = ["key-%d" % next_random() for _ in range(100000)]
table = {}


def put():
    for i, key in enumerate(keys, 1):
        table[key] = i


def select():
    hits = 0
    for key in keys:
        if table.get(key):
            hits += 1
    return hits


clock("put 1e5 keys", put)
hits = clock("select 1e5 keys", select)
print("map:", len(table), hits, table[keys[77776]])
