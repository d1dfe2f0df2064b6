"""A throw-away HTTP server on 127.0.0.1 for the tests that read URLs."""
import http.server
import socket
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
