#!/usr/bin/env python3
"""HTTP reads and writes of url! values against a local server.

A server on 127.0.0.1 (an ephemeral port) answers fixed bodies, a 404, a redirect, repeated
headers, and echoes what it was sent; it records every request so that the methods, paths, headers and
bodies that went out are checked too. One Kel script makes all the requests and prints one line
per result. A port nobody listens on gives the refused connection.
"""
import http.server
import os
import subprocess
import sys

import local_server

KEL = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "..", "build", "kel")

TEXT = "first line\r\nsecond: line\nthird\n"
BINARY = bytes(range(256))
CODE = "1 + 2 [a b] %file"


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    requests = []

    def log_message(self, *args):
        pass

    def answer(self, status, body, headers=()):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def handle_any(self):
        length = int(self.headers.get("Content-Length", 0))
        body = self.rfile.read(length) if length else b""
        Handler.requests.append((self.command, self.path, list(self.headers.items()), body))
        if self.path == "/text":
            self.answer(200, TEXT.encode(), [("Content-Type", "text/plain"), ("X-Time", "Mon, 10:20:30 GMT")])
        elif self.path == "/binary":
            self.answer(200, BINARY, [("Content-Type", "application/octet-stream")])
        elif self.path == "/repeat":
            self.answer(200, b"r", [("X-Multi", "one"), ("X-Single", "alone"), ("X-Multi", "two"), ("X-Multi", "three")])
        elif self.path == "/missing":
            self.answer(404, b"not here", [("Content-Type", "text/plain")])
        elif self.path == "/moved":
            self.answer(302, b"", [("Location", "/text")])
        elif self.path == "/code":
            self.answer(200, CODE.encode(), [("Content-Type", "text/plain")])
        elif self.path == "/badname":
            # http.server sends header names as Latin-1: this one is not UTF-8.
            self.answer(200, b"b", [("X-Caf\xe9", "v")])
        elif self.path == "/big":
            self.answer(200, b"x" * (4 << 20), [("Content-Type", "application/octet-stream")])
        elif self.path == "/bom":
            self.answer(200, b"\xef\xbb\xbfcaf\xc3\xa9", [("Content-Type", "text/plain")])
        else:
            self.answer(200, b"echo " + self.command.encode() + b" " + body)

    do_GET = do_POST = do_PUT = do_DELETE = do_HEAD = do_PATCH = handle_any


def body_past_memory(base):
    """A body that the C++ heap cannot hold ends the transfer with no-memory, which a try takes;
    the next request works. probe_heap_limit refuses every C++ block of 1 MB or more."""
    probe = os.path.join(os.environ.get("KEL_PROBE_DIR", ""), "probe_heap_limit")
    lines = [f"r: try [read/binary {base}/big] r/id", f"length? read/binary {base}/binary"]
    env = {k: v for k, v in os.environ.items() if not k.lower().endswith("_proxy")}
    run = subprocess.run([probe, str(1 << 20)], input="\n".join(lines) + "\n", capture_output=True, text=True,
                         timeout=60, env=env)
    if run.returncode != 0 or run.stdout.split("\n")[:2] != ["value no-memory", "value 256"]:
        return ["body past memory: status %d stdout %r stderr %r" % (run.returncode, run.stdout, run.stderr)]
    return []


def main():
    server, base = local_server.start(Handler)
    dead = "http://127.0.0.1:%d/" % local_server.refused_port()
    script = f"""Kel []
base: {base}
show: func [label value][print [label mold/flat :value]]
show "text" read base/text
show "lines" read/lines base/text
show "binary" equal? read/binary base/binary #{{{BINARY.hex().upper()}}}
info: read/info base/text
show "info-status" info/1
show "info-type" type? info/2
show "info-time" select info/2 'X-Time
show "info-body" info/3
info: read/info/binary base/repeat
show "multi" select info/2 'X-Multi
show "single" select info/2 'X-Single
show "repeat-body" info/3
info: read/info/lines base/missing
show "missing" reduce [info/1 info/3]
show "missing-plain" read base/missing
show "moved" read base/moved
show "bom" read base/bom
show "load" load base/code
show "post" write base/echo "posted data"
show "post-binary" write/binary base/echo #{{00FF10}}
show "put" write base/echo [put [X-Word "w" X-Set: "s" "X-String" 5] "put body"]
show "delete" write/info base/echo [delete [] "gone"]
show "head" write base/echo [head []]
show "get-block" write base/echo []
show "patch" write base/echo [patch [Content-Type "text/plain"] #{{414243}}]
show "bad-header" write base/echo [post ["X Space" "v" "X-Caf\u00e9" "w" X-Nul "a^@b" X-Fine "f"] "kept body"]
show "escaped" read rejoin [base "/sp ace/caf\u00e9?q={{x}}|^^"]
show "percent" read rejoin [base "/pct%41"]
e: try [read {dead}]
show "refused" reduce [e/type e/id e/arg1]
e: try [write base/echo [post "no headers"]]
show "bad-headers" reduce [e/id]
e: try [write base/echo [1 2]]
show "bad-method" reduce [e/id]
e: try [write base/echo 12]
show "bad-body" reduce [e/id]
e: try [read/info base/badname]
show "bad-name" reduce [e/type e/id]
e: try [read/part base/text 2]
show "read-part" reduce [e/type e/id]
e: try [read nothing://x]
show "unknown-scheme" reduce [e/type e/id]
"""
    run = local_server.run_script(KEL, "http.kel", script)
    failures = body_past_memory(base)
    server.shutdown()
    out = run.stdout.splitlines()
    results = {}
    for line in out:
        label, _, value = line.partition(" ")
        results[label] = value

    def check(label, expected):
        if results.get(label) != expected:
            failures.append("%s: expected %r, got %r" % (label, expected, results.get(label)))

    check("text", '{first line^/second: line^/third^/}')
    check("lines", '["first line" "second: line" "third"]')
    check("binary", "true")
    check("info-status", "200")
    check("info-type", "map!")
    check("info-time", '"Mon, 10:20:30 GMT"')
    check("info-body", '{first line^/second: line^/third^/}')
    check("multi", '["one" "two" "three"]')
    check("single", '"alone"')
    check("repeat-body", "#{72}")
    check("missing", '[404 ["not here"]]')
    check("missing-plain", '"not here"')
    check("moved", '{first line^/second: line^/third^/}')
    check("bom", '"café"')
    check("load", "[1 + 2 [a b] %file]")
    check("post", '"echo POST posted data"')
    check("post-binary", "#{6563686F20504F53542000FF10}")
    check("put", '"echo PUT put body"')
    check("head", '""')
    check("get-block", '"echo GET "')
    check("patch", '"echo PATCH ABC"')
    # Headers that cannot go out as they are are left out; the request and its body still do.
    check("bad-header", '"echo POST kept body"')
    check("refused", "[access no-connect %s]" % dead)
    check("bad-headers", "[invalid-arg]")
    check("bad-method", "[invalid-arg]")
    check("bad-body", "[invalid-arg]")
    check("bad-name", "[access invalid-utf8]")
    check("read-part", "[internal not-done]")
    check("unknown-scheme", "[access unknown-scheme]")
    check("escaped", '"echo GET "')
    check("percent", '"echo GET "')
    if not results.get("delete", "").startswith("[200 ") or not results["delete"].endswith('"echo DELETE gone"]'):
        failures.append("delete: got %r" % results.get("delete"))

    # What went out, in order of the script's requests.
    reqs = Handler.requests

    def headers_of(i):
        return {k.lower(): v for k, v in reqs[i][2]}

    first = headers_of(0)
    if [first.get("content-type"), first.get("accept-charset"), first.get("user-agent")] != [
        "application/x-www-form-urlencoded", "UTF-8", "Mozilla/5.0 (Windows NT 6.1; Win64; x64)"]:
        failures.append("default headers: %r" % reqs[0][2])
    sent = {(m, p, b) for m, p, h, b in reqs}
    for want in [("POST", "/echo", b"posted data"), ("POST", "/echo", b"\x00\xff\x10"), ("PUT", "/echo", b"put body"),
                 ("DELETE", "/echo", b"gone"), ("HEAD", "/echo", b""), ("PATCH", "/echo", b"ABC")]:
        if want not in sent:
            failures.append("not sent: %r" % (want,))
    put = [r for r in reqs if r[0] == "PUT"]
    if put:
        h = {k.lower(): v for k, v in put[0][2]}
        if [h.get("x-word"), h.get("x-set"), h.get("x-string")] != ["w", "s", "5"]:
            failures.append("header block: %r" % put[0][2])
        for name in ("content-type", "accept-charset", "user-agent"):
            if name in h:
                failures.append("a header block still sent the default %s" % name)
    patch = [r for r in reqs if r[0] == "PATCH"]
    if patch and {k.lower(): v for k, v in patch[0][2]}.get("content-type") != "text/plain":
        failures.append("patch content type: %r" % patch[0][2])
    # Spaces, non-ASCII text and the characters a URL must escape go out percent-encoded (UTF-8);
    # a "%" already in the URL is sent as written.
    paths = [r[1] for r in reqs if r[0] == "GET"]
    for want in ("/sp%20ace/caf%C3%A9?q=%7Bx%7D%7C%5E", "/pct%41"):
        if want not in paths:
            failures.append("request path %s not sent: %r" % (want, paths))
    kept = [r for r in reqs if r[3] == b"kept body"]
    if not kept or sorted(k.lower() for k, v in kept[0][2] if k.lower().startswith("x")) != ["x-fine"]:
        failures.append("bad header names: %r" % (kept[0][2] if kept else None))

    if failures or run.returncode != 0:
        print("stdout:\n" + run.stdout + "\nstderr:\n" + run.stderr)
        for f in failures:
            print("FAIL", f)
        sys.exit(1)
    print("ok: %d results, %d requests" % (len(results), len(reqs)))


if __name__ == "__main__":
    main()
