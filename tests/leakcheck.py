"""Reference and memory leak check for calls into the module.

A call is repeated in a few rounds; after each round the reference counts of
the watched objects (the arguments, the classes, the function objects), the
number of allocated memory blocks and the number of live gc-tracked objects
of each type are compared with the counts before it. A leak shows in every
round, at least once per call; one-time caches and free lists settle during
the warm-up and stay below the threshold.
"""
import gc
import sys
import warnings
from array import array
from collections import Counter

import r7u_razarozu as m

WARMUP = 4
ROUNDS = 3
CALLS = 40


class LeakError(AssertionError):
    pass


def entry_points(module=m):
    """Every function of the module by qualified name: module-level function
    objects, and each class's functions, static methods and properties."""
    func_type = type(module._clone_attribute)
    found = []
    for name, value in vars(module).items():
        if type(value) is func_type:
            found.append(name)
        elif isinstance(value, type) and value.__module__ == module.__name__:
            for member, v in vars(value).items():
                if type(v) is func_type or isinstance(v, (staticmethod, property)):
                    found.append(f"{name}.{member}")
    return found


def module_objects(module=m):
    """Objects of the module whose reference counts a leak would raise: the
    classes, every function object (also inside staticmethod and property),
    and the module dict's own values."""
    objs = []
    func_type = type(module._clone_attribute)
    for value in vars(module).values():
        if isinstance(value, type) and value.__module__ == module.__name__:
            objs.append(value)
            for v in vars(value).values():
                if isinstance(v, staticmethod):
                    objs.append(v.__func__)
                elif isinstance(v, property):
                    objs.append(v.fget)
                if type(v) is func_type or isinstance(v, (staticmethod, property)):
                    objs.append(v)
        elif type(value) is func_type:
            objs.append(value)
    # Exception classes and the builtins the module raises or calls.
    objs += [TypeError, KeyError, AssertionError, ValueError, RuntimeError, NameError,
             OSError, RecursionError, AttributeError, open]
    return objs


def _live():
    counts = Counter(map(type, gc.get_objects()))
    counts.pop(Counter, None)
    return counts


def _run(fn, raises, calls):
    if raises is None:
        for _ in range(calls):
            fn()
    else:
        for _ in range(calls):
            try:
                fn()
            except raises:
                pass


def outcome(fn, raises):
    """Runs fn once and checks that it ends as expected (a result, or an
    exception of the type `raises`)."""
    try:
        fn()
    except BaseException as e:  # noqa: BLE001 - reported with its type
        if raises is None or not isinstance(e, raises):
            raise LeakError(f"unexpected outcome {type(e).__name__}: {e!r}") from e
        return
    if raises is not None:
        raise LeakError(f"expected {raises}, the call succeeded")


def check(fn, raises=None, watch=(), calls=CALLS, rounds=ROUNDS):
    """Asserts that repeated calls of fn (which raises `raises`, or nothing)
    leave the counts unchanged."""
    watched = list(watch) + module_objects()
    # Objects older than the check are moved out of the collector's sight:
    # each collection then only looks at what the calls made.
    gc.collect()
    gc.freeze()
    try:
        with warnings.catch_warnings():
            _check(fn, raises, watched, calls, rounds)
    finally:
        gc.unfreeze()


def _check(fn, raises, watched, calls, rounds):
    warnings.simplefilter("ignore")
    outcome(fn, raises)
    _run(fn, raises, WARMUP)
    problems = _measure(fn, raises, watched, calls, rounds)
    if problems and not any(p.startswith("references") for p in problems):
        # Some caches of the interpreter fill over hundreds of calls: a
        # growth that fades under five times as many calls is one of them.
        problems = _measure(fn, raises, watched, calls * 5, rounds)
    if problems:
        raise LeakError("; ".join(problems))


def _measure(fn, raises, watched, calls, rounds):
    # Counts go into arrays made beforehand, so that measuring allocates
    # (nearly) nothing between two measurements. The live objects are those
    # made since the freeze in check(), so counting them is cheap; they
    # also stand in for the block count where the interpreter runs without
    # its own allocator (PYTHONMALLOC=malloc, as in the sanitizer run).
    n = len(watched)
    refs = array("q", bytes(8 * n * (rounds + 1)))
    blocks = array("q", bytes(8 * (rounds + 1)))
    grown = []
    gc.collect()
    live = _live()
    for r in range(rounds + 1):
        if r:
            _run(fn, raises, calls)
        gc.collect()
        blocks[r] = sys.getallocatedblocks()
        for i in range(n):
            refs[r * n + i] = sys.getrefcount(watched[i])
        now = _live()
        if r:
            grown.append({tp: c - live[tp] for tp, c in now.items() if c > live[tp]})
        live = now
        del now
    problems = []
    for i, obj in enumerate(watched):
        per_round = [refs[(r + 1) * n + i] - refs[r * n + i] for r in range(rounds)]
        # Reference counts are exact: growth in every round is a leak.
        if all(d > 0 for d in per_round):
            problems.append(f"references to {_short(obj)} grow by {per_round} per {calls} calls")
    block_deltas = [blocks[r + 1] - blocks[r] for r in range(rounds)]
    if all(d >= calls // 2 for d in block_deltas):
        problems.append(f"allocated blocks grow by {block_deltas} per {calls} calls")
    for tp in grown[0]:
        per_round = [g.get(tp, 0) for g in grown]
        if all(d >= calls // 2 for d in per_round):
            problems.append(f"live {tp.__qualname__} objects grow by {per_round} per {calls} calls")
    return problems


def _short(obj):
    text = repr(obj)
    return text if len(text) < 80 else text[:77] + "..."


# From 3.13 the interpreter's attribute cache holds the names it looked up,
# until another name with the same slot evicts them: a count taken with the
# cache full would depend on the hash seed.
_clear_caches = getattr(sys, "_clear_internal_caches", None) or sys._clear_type_cache


def refcounts(*objs):
    """The reference counts of objs, with cycles collected and the
    interpreter's attribute cache emptied first."""
    gc.collect()
    _clear_caches()
    return [sys.getrefcount(o) for o in objs]


def assert_refcounts_settle(work, *watched, rounds=2000, warmup=1):
    """Runs work() `warmup` times, then `rounds` more times: the reference
    counts of the watched objects must come back to what they were after
    the warm-up."""
    for _ in range(warmup):
        work()
    before = refcounts(*watched)
    for _ in range(rounds):
        work()
    assert refcounts(*watched) == before
