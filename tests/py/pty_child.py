"""Reading a child program's whole output from its pseudo-terminal."""
import os
import select
import time


def read_all(pid, master, timeout, replies=None):
    """Reads what the child writes until it closes the pty or timeout passes, answering each
    request in replies (bytes -> bytes) once it has been written; closes the pty and reaps the
    child. Answers the bytes read and the exit status."""
    replies = dict(replies or {})
    out = b""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        ready, _, _ = select.select([master], [], [], 0.1)
        if not ready:
            continue
        try:
            chunk = os.read(master, 4096)
        except OSError:
            break
        if not chunk:
            break
        out += chunk
        for request in list(replies):
            if request in out:
                os.write(master, replies.pop(request))
    os.close(master)
    _, status = os.waitpid(pid, 0)
    return out, os.WEXITSTATUS(status)
