"""Fuzzing of the file input and of the value walks (inputs: fuzzcases.py,
models: fuzzmodels.py). Each batch runs in a child interpreter: a crash is a
signal, a sanitizer report or an exception of an unexpected type fails it.

The seed is fixed and the counts are small enough for every CI run.
R7U_FUZZ_SCALE multiplies the counts and R7U_FUZZ_SEED changes the seed
(scripts/fuzz.sh runs a long campaign with both).
"""
import os

import pytest

from childrun import run_json

SEED = int(os.environ.get("R7U_FUZZ_SEED", "20240"))
SCALE = float(os.environ.get("R7U_FUZZ_SCALE", "1"))
BATCH = 2000

# (kind, assertions off, inputs per CI run)
PLAN = [("book", False, 2000), ("book", True, 1000), ("tree", False, 300), ("tree", True, 100),
        ("decode", False, 2000), ("decode", True, 500),
        ("clone", False, 1000), ("clone", True, 300), ("from_dict", False, 1000), ("from_dict", True, 1000)]


def batches(count):
    start = 0
    while start < count:
        yield start, min(BATCH, count - start)
        start += BATCH


@pytest.mark.parametrize("kind,optimize,count", PLAN,
                         ids=[f"{k}{'-O' if o else ''}" for k, o, _ in PLAN])
def test_fuzz(kind, optimize, count, tmp_path):
    count = max(1, int(count * SCALE))
    outcomes = {}
    for start, n in batches(count):
        seed = SEED + start if kind in ("clone", "from_dict") else SEED
        summary = run_json(
            "import fuzzcases, sys\nsys.exit(fuzzcases.main())",
            args=[kind, "--seed", str(seed), "--start", str(start), "--count", str(n)],
            cwd=tmp_path, optimize=optimize, prelude=False)
        # hypothesis may stop short of its budget once it has seen enough.
        assert 0 < summary["inputs"] <= n
        for key, value in summary["outcomes"].items():
            outcomes[key] = outcomes.get(key, 0) + value
    count = sum(outcomes.values())
    print(f"\n{kind}{' -O' if optimize else ''}: {count} inputs, seed {SEED}: {outcomes}")
    # The inputs reach both ends: some load, some are refused.
    loaded = sum(v for k, v in outcomes.items() if k.startswith("ok"))
    assert loaded >= count // 10, outcomes
    assert count - loaded >= count // 10, outcomes
    # ... and a fair share of the loads reaches past the native decoder.
    assert kind != "decode" or outcomes.get("ok-native", 0) >= count // 10, outcomes


def test_the_models_catch_wrong_results(monkeypatch):
    """The comparisons of the hypothesis runs are not empty: a copy rule
    that shares lists, or accepts None, is caught."""
    import copy

    import r7u_razarozu as m
    from fuzzmodels import Mismatch, check_clone_attribute, check_from_dict

    form = {"name": "n", "description": {"default": ""}, "attributes": {"v": [1, [2]]}}
    assert check_clone_attribute([1, [2]]) == "ok"
    assert check_from_dict(form) == "ok"
    monkeypatch.setattr(m, "_clone_attribute", lambda value: value)
    with pytest.raises(Mismatch):
        check_clone_attribute([1, [2]])
    with pytest.raises(Mismatch):
        check_from_dict(form)
    monkeypatch.setattr(m, "_clone_attribute", copy.deepcopy)
    with pytest.raises(Mismatch):
        check_clone_attribute([None])


def test_the_decoder_comparison_sees_types_and_shared_keys():
    import r7u_razarozu as m
    from fuzzcases import book_shape

    def shape(a, b):
        return book_shape(m.ParameterBook({"p": m.Parameter(a=a, b=b)}))
    k1, k2 = "".join(["k", "ey"]), "".join(["k", "ey"])
    assert shape({k1: 1}, {k1: 1}) != shape({k1: 1}, {k2: 1})
    assert len({repr(shape(v, 0)) for v in (1, 1.0, True, "1", [1], {"1": 1}, -0.0, 0.0)}) == 8
