"""A throw-away HTTP server on 127.0.0.1 for the tests that read URLs."""
import http.server
import os
import socket
import subprocess
import tempfile
import threading


def start(handler):
    """Serves handler on an ephemeral port in a daemon thread; answers the server and its base
    URL. The caller shuts it down."""
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server, "http://127.0.0.1:%d" % server.server_address[1]


def refused_port():
    """A port on 127.0.0.1 that nobody listens on (bound once, then let go)."""
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def run_script(kel, name, script, timeout=60):
    """Runs script (Kel source) from a temporary file named name; no proxy of the environment
    may stand between it and the local server. Answers the completed process (text output)."""
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, name)
        with open(path, "w") as f:
            f.write(script)
        env = {k: v for k, v in os.environ.items() if not k.lower().endswith("_proxy")}
        return subprocess.run([kel, path], capture_output=True, text=True, timeout=timeout, env=env)
