import csv
import io

from common import clock, next_random

rows = [[i, "name %d" % next_random(), i * 0.25, 'say "hi", then go', "plain"]
        for i in range(1, 200001)]


def write():
    out = io.StringIO()
    csv.writer(out, lineterminator="\n").writerows(rows)
    return out.getvalue()


text = clock("to-csv 200,000 rows", write)
back = clock("load-csv 200,000 rows", lambda: list(csv.reader(io.StringIO(text))))
row = back[123455]
print("csv:", len(back), row[0], row[1], row[3])
