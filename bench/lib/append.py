from common import clock


def pieces():
    text = ""
    for _ in range(1000000):
        text += "abcdefghij"
    return text


def numbers():
    text = ""
    for i in range(1, 1000001):
        text += str(i)
        text += ","
    return text


text = clock("append 1e6 pieces", pieces)
nums = clock("append 1e6 numbers", numbers)
print("pieces:", len(text))
print("numbers:", len(nums), nums[-16:])
