"""Running Kel under a limit on its address space, for the tests of running out of memory.

A build with AddressSanitizer or ThreadSanitizer reserves its shadow memory and allocator space up
front and cannot start under such a limit: those tests have nothing to run there. Collection torture is left out of the child's
environment, since it would collect at each of the millions of allocations that fill memory.
"""
import os
import resource
import subprocess
import tempfile


def sanitizer_build(kel, also_undefined=False):
    """Whether `kel` carries a sanitizer's run-time. With `also_undefined`, UndefinedBehaviorSanitizer
    counts too: its run-time and checks leave too little of a limit of a few tens of megabytes to
    load the libraries, before the program could report anything."""
    with open(kel, "rb") as f:
        image = f.read()
    return (b"__asan_init" in image or b"__tsan_init" in image
            or (also_undefined and b"__ubsan_handle_" in image))


def skip_sanitizer_build(kel):
    """True (having said why) when the binary cannot run under a limit."""
    if sanitizer_build(kel):
        print("skipped: the sanitizer build cannot run under an address-space limit")
        return True
    return False


def without_torture():
    return {k: v for k, v in os.environ.items() if k != "KEL_GC_TORTURE"}


def run_limited(kel, script, megabytes, timeout=120, args=()):
    """Runs the Kel text `script` under a limit of `megabytes`; the completed process."""
    size = megabytes << 20

    def limit():
        resource.setrlimit(resource.RLIMIT_AS, (size, size))

    with tempfile.NamedTemporaryFile("w", suffix=".kel") as f:
        f.write(script)
        f.flush()
        return subprocess.run([kel, f.name, *args], capture_output=True, text=True, timeout=timeout,
                              preexec_fn=limit, env=without_torture())


def expect_lines(kel, script, megabytes, expected, timeout=120):
    """Runs `script` under a limit of `megabytes`: 0 when it ends with status 0 having printed the
    lines `expected` (or when the binary cannot run under a limit), else 1, having shown the run."""
    if skip_sanitizer_build(kel):
        return 0
    run = run_limited(kel, script, megabytes, timeout=timeout)
    if run.returncode != 0 or run.stdout.splitlines() != expected:
        print("status", run.returncode, "stdout", run.stdout, "stderr", run.stderr)
        return 1
    print("ok")
    return 0


def only_error_94(run):
    """True when the run ended with run-time error 94 and printed its report and nothing else."""
    lines = [line for line in run.stdout.splitlines() if line]
    return (run.returncode == 94 and len(lines) == 2 and lines[0] == "*** Runtime Error 94: out of memory"
            and lines[1].startswith("*** at: "))
