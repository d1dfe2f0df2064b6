import ast

from common import clock, next_random

data = [[i, "name %d" % next_random(), "word", i * 0.5, ["alpha", "beta", "gamma"]]
        for i in range(1, 250001)]
text = clock("mold 250,000 records", lambda: repr(data))
back = clock("load 10 MB of text", lambda: ast.literal_eval(text))
record = back[123455]
print("records:", len(back), record[0], record[1], record[2], record[3])
