"""Runs Python code in a child interpreter, so that a crash shows as a
signal and a sanitizer report as a failed run instead of taking the test
session down. The child inherits the environment (PYTHONPATH, and in the
sanitizer run LD_PRELOAD and the sanitizer options)."""
import json
import os
import signal
import subprocess
import sys
import textwrap

try:
    import resource
except ImportError:  # Windows
    resource = None

# Only a guard against a hang: a run that needs this long is stuck.
HANG_SECONDS = 900
# Every child runs under this much memory, so that a fault that makes memory grow (a deep value
# walked without a bound, say) ends the child instead of eating the machine.
MEMORY_CAP = 3 << 30

SANITIZER_MARKS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:",
                   "SUMMARY: UndefinedBehaviorSanitizer")

PRELUDE = """\
import json, os, sys, warnings
warnings.simplefilter("ignore", DeprecationWarning)
import r7u_razarozu as m
P, B, D = m.Parameter, m.ParameterBook, m.ParameterDirectory

def outcome(fn):
    try:
        fn()
    except BaseException as e:
        return type(e).__name__
    return "ok"

# depth + 1 new cls() each holding the next under `key`: the first and the last.
def chain(cls, key, depth):
    root = node = cls()
    for _ in range(depth):
        child = cls()
        node[key] = child
        node = child
    return root, node
"""


class ChildFailed(AssertionError):
    pass


def describe(proc):
    if proc.returncode < 0:
        try:
            name = signal.Signals(-proc.returncode).name
        except ValueError:
            name = str(-proc.returncode)
        return f"child killed by signal {name}"
    return f"child exited with {proc.returncode}"


def run(code, cwd=None, args=(), optimize=False, timeout=HANG_SECONDS, env=None, prelude=True):
    """Runs `code` (with the prelude above) in a child interpreter. Returns
    its standard output; raises ChildFailed on a crash, a non-zero exit, a
    sanitizer report or a hang."""
    cmd = [sys.executable] + (["-O"] if optimize else []) + ["-c", (PRELUDE if prelude else "") + code, *args]
    child_env = _child_env(env)
    try:
        proc = subprocess.run(cmd, cwd=cwd, capture_output=True, text=True, errors="replace",
                              timeout=timeout, env=child_env, preexec_fn=_cap_memory)
    except subprocess.TimeoutExpired as e:
        raise ChildFailed(f"child still running after {timeout} s (hang)\n{_tail(e.stderr)}") from None
    report = [mark for mark in SANITIZER_MARKS if mark in proc.stderr]
    if proc.returncode != 0 or report:
        raise ChildFailed(f"{describe(proc)}{', sanitizer report' if report else ''}\n"
                          f"--- stdout\n{_tail(proc.stdout)}\n--- stderr\n{_tail(proc.stderr)}")
    return proc.stdout


def _limit_address_space():
    resource.setrlimit(resource.RLIMIT_AS, (MEMORY_CAP, MEMORY_CAP))


# The cap is on the address space; in a sanitizer run that is mostly shadow memory, and the cap
# goes into the sanitizer's options instead (_child_env).
_cap_memory = _limit_address_space if resource and "libasan" not in os.environ.get("LD_PRELOAD", "") else None


def _child_env(env=None):
    child_env = dict(os.environ if env is None else env)
    if "libasan" in child_env.get("LD_PRELOAD", ""):
        options = child_env.get("ASAN_OPTIONS", "")
        child_env["ASAN_OPTIONS"] = f"{options}:hard_rss_limit_mb={MEMORY_CAP >> 20}".lstrip(":")
    # The module and the helpers of this folder must import in the child,
    # which may run in another folder.
    here = os.path.dirname(os.path.abspath(__file__))
    paths = [os.path.abspath(p) for p in child_env.get("PYTHONPATH", "").split(os.pathsep) if p]
    child_env["PYTHONPATH"] = os.pathsep.join(paths + [here])
    return child_env


def python(code, *flags, cwd=None, timeout=300):
    """The finished child process that ran `code` (dedented, no prelude) with
    the interpreter flags given; its outcome is the caller's to judge."""
    return subprocess.run([sys.executable, *flags, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          env=_child_env(), cwd=cwd, timeout=timeout, preexec_fn=_cap_memory)


def python_output(code, *flags, cwd=None):
    """Standard output of python(); the child must exit cleanly."""
    proc = python(code, *flags, cwd=cwd)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    return proc.stdout


def run_json(code, **kwargs):
    """run(), where the child prints one JSON document as its last line."""
    out = run(code, **kwargs)
    return json.loads(out.strip().splitlines()[-1])


def _tail(text, limit=6000):
    if text is None:
        return ""
    if isinstance(text, bytes):
        text = text.decode("utf8", "replace")
    return text if len(text) <= limit else "..." + text[-limit:]
