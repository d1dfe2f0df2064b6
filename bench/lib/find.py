from common import clock, make_text, next_random

values = [next_random() for _ in range(1000000)]
target = values[899999]
text = make_text(200000, 8) + "needle"


def repeat(fn):
    for _ in range(99):
        fn()
    return fn()


found = clock("find x100 in a block of 1e6", lambda: repeat(lambda: values.index(target) + 1))
after = clock("select x100 in a block of 1e6", lambda: repeat(lambda: values[values.index(target) + 1]))
missing = clock("find x100 of a missing value", lambda: repeat(lambda: -1 in values))
at = clock("find x100 in a text of 10 MB", lambda: repeat(lambda: text.find("needle") + 1))
print("block:", found, after, "none" if not missing else missing)
print("text:", len(text), at)
