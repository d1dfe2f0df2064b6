import hashlib
import zlib

from common import clock, make_text

chunk = make_text(20000, 8).encode()
data = bytearray()
while len(data) < 50000000:
    data += chunk
data = bytes(data)
crc = clock("checksum crc32 50 MB", lambda: zlib.crc32(data))
adler = clock("checksum adler32 50 MB", lambda: zlib.adler32(data))
sha = clock("checksum sha256 50 MB", lambda: hashlib.sha256(data).hexdigest().upper())
packed = clock("compress zlib 50 MB", lambda: zlib.compress(data, 6))
unpacked = clock("decompress zlib 50 MB", lambda: zlib.decompress(packed))
print("checksum:", len(data), "%08X" % crc, "%08X" % adler, sha, "true" if data == unpacked else "false")
