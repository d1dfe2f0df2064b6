"""Reading a child program's whole output from its pseudo-terminal."""
import fcntl
import os
import pty
import select
import signal
import struct
import subprocess
import termios
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


def start_on_pty(argv, columns, rows):
    """Starts argv on a new pseudo-terminal of the given size that becomes its controlling
    terminal; the slave side stays open here, so its modes can be read at any time. Answers the
    process, the master and the slave descriptors, and the terminal's modes from before the start."""
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", rows, columns, 0, 0))
    initial = termios.tcgetattr(slave)

    def child_setup():
        os.setsid()
        fcntl.ioctl(slave, termios.TIOCSCTTY, 0)
        # A signal ignored by whoever runs the tests would stay ignored in the program.
        for sig in (signal.SIGHUP, signal.SIGINT, signal.SIGQUIT, signal.SIGTERM):
            signal.signal(sig, signal.SIG_DFL)

    proc = subprocess.Popen(argv, stdin=slave, stdout=slave, stderr=slave, preexec_fn=child_setup,
                            close_fds=True)
    return proc, master, slave, initial


def stop_on_pty(proc, master, slave):
    """Ends what start_on_pty started: kills the program if it still runs, then closes both
    sides of its pseudo-terminal."""
    if proc.poll() is None:
        proc.kill()
    proc.wait()
    os.close(master)
    os.close(slave)
