from common import clock, make_text

text = make_text(200000, 8)
pieces = clock("split 10 MB on spaces", lambda: text.split(" "))
replaced = clock("replace/all in 10 MB", lambda: text.replace("ab", "XYZ"))
padded = text.replace("\n", "  \n  ")
# What trim does to a text: the blanks around every line go, and the text's leading and trailing
# lines are dropped when blank.
trimmed = clock("trim the lines of 10 MB",
                lambda: "\n".join(line.strip(" \t") for line in padded.split("\n")).strip("\n") + "\n")
print("text:", len(pieces), len(replaced), len(trimmed))
