import re

from common import clock, make_text

text = make_text(200000, 8)
valid = clock("parse: check 200,000 lines",
              lambda: re.fullmatch(r"(?:[a-z]+(?: [a-z]+)*\n)*", text) is not None)
words = clock("parse: collect 1.6e6 words", lambda: re.findall(r"[a-z]+", text))
print("parse:", len(text), "true" if valid else "false", len(words), words[-1])
