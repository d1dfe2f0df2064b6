"""Killing Kel at a chosen system call, for the tests of what a kill part-way leaves behind.

Kel ignores the file size limit's signal (a write past the limit is an error it reports), so a
limit no longer stands in for a kill. strace injects the kill instead: at the fsync of a file
written beside the one it replaces, after the last byte and before the rename.
"""
import shutil
import subprocess


def kill_at_fsync_or_skip(test):
    """The command prefix that kills the program it runs at its first fsync; skips `test` when
    strace is missing or may not trace here."""
    if not shutil.which("strace"):
        test.skipTest("strace is missing")
    prefix = ("strace", "-f", "-qq", "-o", "/dev/null", "-e", "trace=fsync", "-e", "inject=fsync:signal=KILL")
    probe = subprocess.run([*prefix, "true"], capture_output=True, timeout=60)
    if probe.returncode != 0:
        test.skipTest("strace may not trace here: " + probe.stderr.decode(errors="replace").strip())
    return prefix


def fail_on_path_or_skip(test, syscall, error, path, when="1"):
    """The command prefix that makes the given system call fail with errno `error` (a name such
    as "EIO") when it works on `path`, on the calls `when` counts (strace's syntax: "1", "1..3");
    skips `test` when strace is missing or may not trace here."""
    if not shutil.which("strace"):
        test.skipTest("strace is missing")
    prefix = ("strace", "-f", "-qq", "-o", "/dev/null", "-P", path, "-e", "trace=" + syscall,
              "-e", f"inject={syscall}:error={error}:when={when}")
    probe = subprocess.run(["strace", "-qq", "-o", "/dev/null", "true"], capture_output=True, timeout=60)
    if probe.returncode != 0:
        test.skipTest("strace may not trace here: " + probe.stderr.decode(errors="replace").strip())
    return prefix
