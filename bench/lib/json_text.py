import json

from common import clock, next_random

records = []
for i in range(1, 160001):
    name = "name %d" % next_random()
    records.append({"id": i, "name": name, "score": i * 0.25,
                    "tags": ["alpha", "beta", next_random() % 1000], "active": i % 2 == 1,
                    "note": 'a line\nwith a "quote" and \u00e9'})
text = clock("to-json 160,000 records",
             lambda: json.dumps(records, separators=(",", ":"), ensure_ascii=False))
back = clock("load-json 20 MB", lambda: json.loads(text))
record = back[98764]
print("json:", len(text), len(back), record["name"], record["score"], record["tags"][2])
