"""Only in the sanitizer run (scripts/test-sanitizers.sh): the module under
test is the instrumented build, and a memory error in a child interpreter
is reported and fails it."""
import os

import pytest

import r7u_razarozu
from childrun import ChildFailed, run

pytestmark = pytest.mark.skipif("libasan" not in os.environ.get("LD_PRELOAD", ""),
                                reason="runs in the sanitizer run only")


def test_the_module_is_the_instrumented_build():
    with open("/proc/self/maps") as f:
        maps = f.read()
    assert "libasan" in maps and "libubsan" in maps
    assert os.path.dirname(r7u_razarozu.__file__) == os.path.abspath(os.environ["PYTHONPATH"].split(os.pathsep)[0])


def test_a_write_past_the_end_is_reported():
    # The report goes to the child's own error output here, not into the
    # run's report folder, which would fail the whole run.
    env = dict(os.environ, ASAN_OPTIONS="detect_leaks=0")
    with pytest.raises(ChildFailed, match="sanitizer report"):
        run("""
import ctypes
libc = ctypes.CDLL(None)
libc.malloc.restype = ctypes.c_void_p
p = libc.malloc(8)
libc.memset(ctypes.c_void_p(p), 0, 64)
""", env=env)
