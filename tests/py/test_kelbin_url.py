#!/usr/bin/env python3
"""The kelbin codec's decode reads a url! whole as binary, like a file!.

A server on 127.0.0.1 (an ephemeral port) serves one compact image, one plain image, a body
too short to be an image and eleven bytes that are no image; a port nobody listens on gives the
refused connection that read raises.
"""
import http.server
import os
import sys

import local_server

KEL = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "..", "build", "kel")

BODIES = {
    # [1 "ab"] in compact records.
    "/compact": bytes.fromhex("4B454C42494E0201010705028107086162"),
    # 42 in plain records.
    "/plain": bytes.fromhex("4B454C42494E020001000000080000000B0000002A000000"),
    "/short": b"KELBIN",
    "/other": b"not a kelbin",
}


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_GET(self):
        body = BODIES.get(self.path, b"")
        self.send_response(200 if self.path in BODIES else 404)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)


def main():
    server, base = local_server.start(Handler)
    dead = "http://127.0.0.1:%d/x" % local_server.refused_port()
    script = f"""Kel []
d: :system/codecs/kelbin/decode
foreach [label code] [
    compact [d {base}/compact]
    plain [d {base}/plain]
    short [d {base}/short]
    other [d {base}/other]
    refused [d {dead}]
] [
    set/any 'r try code
    print [label either error? :r [reduce [r/type r/id]] [mold/flat :r]]
]
"""
    run = local_server.run_script(KEL, "kelbin_url.kel", script)
    server.shutdown()
    expected = [
        'compact [1 "ab"]',
        "plain 42",
        "short script invalid-data",
        "other script invalid-data",
        "refused access no-connect",
    ]
    got = run.stdout.splitlines()
    if got != expected or run.returncode != 0:
        print("stdout:\n" + run.stdout + "\nstderr:\n" + run.stderr)
        print("expected:\n" + "\n".join(expected))
        sys.exit(1)
    print("ok: %d results" % len(got))


if __name__ == "__main__":
    main()
