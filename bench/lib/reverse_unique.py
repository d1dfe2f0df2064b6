from common import clock, make_text, next_random

values = [next_random() % 100000 for _ in range(1000000)]
text = make_text(200000, 8)
clock("reverse 1e6 values", values.reverse)
reversed_text = clock("reverse 10 MB of text", lambda: text[::-1])
distinct = clock("unique of 1e6 values", lambda: list(dict.fromkeys(values)))
print("reverse:", values[0], len(reversed_text), reversed_text[1:12])
print("unique:", len(distinct), distinct[0], distinct[-1])
