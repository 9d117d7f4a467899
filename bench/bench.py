"""Workloads measured side by side with their baselines, alternating, in one process.

Prints, for each row, the median ratio workload/baseline over several rounds, the target it is held
to, and how many times slower the same work is when written in plain Python (bench/pure.py; every row
is held to at least 2). Run: `.venv-3.12/bin/python bench/bench.py` (after `bash scripts/test.sh` or
`bash scripts/example.sh` built the module), `--quick` for a short run, `--rows NAME...` for a subset.
"""
import argparse
import json
import os
import pickle
import shutil
import statistics
import sys
import tempfile
import timeit

import r7u_razarozu as m
import pure
from r7u_razarozu import Parameter, ParameterBook, ParameterDirectory


def realistic_parameter(i):
    """A parameter as applications keep them: numbers, text with some non-ASCII, lists, small dicts."""
    kind = i % 4
    if kind == 0:
        attrs = {"value": i * 0.5, "lo": 0, "hi": 1000.0, "unit": "mm/s"}
    elif kind == 1:
        attrs = {"value": f"Größe {i} – niveau élevé", "choices": ["a", "b", "c"], "enabled": True}
    elif kind == 2:
        attrs = {"value": [i, i + 1, i + 2], "limits": {"min": -1, "max": 1e9, "step": 0.25}}
    else:
        attrs = {"value": i, "mode": 1, "label": "Zeitüberschreitung \"hart\"\tTab"}
    return Parameter({"default": f"Parameter number {i}", "zh_CN": f"参数 {i} 的描述"}, **attrs)


def realistic_book(n):
    return ParameterBook({f"param_{i:04d}": realistic_parameter(i) for i in range(n)})


def forms_of(book):
    return [book[name].to_dict(name) for name in sorted(book.names())]


def nested_value(leaves):
    """A nested list/dict value with about `leaves` leaves."""
    per = 10
    groups = []
    for g in range(leaves // (per * 2)):
        groups.append({"id": g, "name": f"group {g}", "values": [g * 0.5 + k for k in range(per - 2)],
                       "flags": {"a": True, "b": False, "c": "x" * (g % 5)},
                       "pairs": [[k, str(k)] for k in range(per // 2)]})
    return {"groups": groups, "meta": {"version": 3, "tags": ["x", "y", "z"]}}


def count_leaves(v):
    if isinstance(v, dict):
        return sum(count_leaves(x) for x in v.values()) + len(v)
    if isinstance(v, list):
        return sum(count_leaves(x) for x in v)
    return 1


class Row:
    """A workload, its plain baseline and the same work done by the pure-Python twin (bench/pure.py)."""

    def __init__(self, name, target, workload, baseline, number, pure=None):
        self.name, self.target = name, target
        self.workload, self.baseline, self.number, self.pure = workload, baseline, number, pure

    def measure(self, rounds):
        ratios, speedups = [], []
        for _ in range(rounds):
            w = min(timeit.repeat(self.workload, number=self.number, repeat=3))
            b = min(timeit.repeat(self.baseline, number=self.number, repeat=3))
            ratios.append(w / b)
            if self.pure is not None:
                p = min(timeit.repeat(self.pure, number=self.number, repeat=3))
                speedups.append(p / w)
        speedup = statistics.median(speedups) if speedups else float("nan")
        return statistics.median(ratios), speedup, w / self.number, b / self.number


def build_rows(workdir, quick):
    rows = []
    p = Parameter("text", value=3, lo=0, hi=10.5, tags=["a", "b"])
    q = pure.twin_of(p)
    d = {"value": 3, "lo": 0, "hi": 10.5, "tags": ["a", "b"]}
    n = 20000 if quick else 200000
    # The loops are written out so the interpreter's call overhead is the same on all sides.
    rows.append(Row("p.get('value')", 1.35, lambda: [p.get("value") for _ in range(100)],
                    lambda: [d.get("value") for _ in range(100)], n // 100,
                    lambda: [q.get("value") for _ in range(100)]))
    rows.append(Row("p['value']", 1.25, lambda: [p["value"] for _ in range(100)],
                    lambda: [d["value"] for _ in range(100)], n // 100,
                    lambda: [q["value"] for _ in range(100)]))
    rows.append(Row("p.value", 2.4, lambda: [p.value for _ in range(100)],
                    lambda: [d["value"] for _ in range(100)], n // 100,
                    lambda: [q.value for _ in range(100)]))
    rows.append(Row("get/[]/get_or_set mix", 1.35,
                    lambda: [(p.get("value"), p["lo"], p.get_or_set("hi", 1)) for _ in range(100)],
                    lambda: [(d.get("value"), d["lo"], d.setdefault("hi", 1)) for _ in range(100)], n // 300,
                    lambda: [(q.get("value"), q["lo"], q.get_or_set("hi", 1)) for _ in range(100)]))

    def set_attr(o):
        def run():
            for i in range(100):
                o.x = i
        return run

    def set_item(o):
        def run():
            for i in range(100):
                o["x"] = i
        return run

    rows.append(Row("p.x = v", 1.8, set_attr(p), set_item(d), n // 100, set_attr(q)))
    rows.append(Row("p['x'] = v", 1.35, set_item(p), set_item(d), n // 100, set_item(q)))
    rows.append(Row("Parameter(...)", 1.7,
                    lambda: Parameter("text", value=3, lo=0, hi=10.5, tags=["a", "b"]),
                    lambda: ({"default": "text"}, {"value": 3, "lo": 0, "hi": 10.5, "tags": ["a", "b"]}),
                    n // 4, lambda: pure.Parameter("text", value=3, lo=0, hi=10.5, tags=["a", "b"])))
    value = nested_value(1000)
    rows.append(Row(f"_clone_attribute ({count_leaves(value)} leaves)", 0.45,
                    lambda: m._clone_attribute(value), lambda: pickle.loads(pickle.dumps(value)),
                    200 if quick else 2000, lambda: pure._clone_attribute(value)))

    book = realistic_book(1000)
    pbook = pure.twin_of(book)
    forms = forms_of(book)
    book_file = os.path.join(workdir, "book.d7ori")
    pure_file = os.path.join(workdir, "pure.d7ori")
    base_file = os.path.join(workdir, "base.json")

    def baseline_save():
        data = json.dumps(forms).encode("utf-8")
        with open(base_file, "wb") as f:
            f.write(data)

    def baseline_load():
        with open(book_file, "rb") as f:
            json.loads(f.read())

    k = 5 if quick else 30
    rows.append(Row("str(book) 1000 params", 0.45, lambda: str(book), lambda: json.dumps(forms), k,
                    lambda: str(pbook)))
    rows.append(Row("book.save(file)", 1.5, lambda: book.save(book_file), baseline_save, k,
                    lambda: pbook.save(pure_file)))
    book.save(book_file)
    rows.append(Row("ParameterBook.load(file)", 1.2, lambda: ParameterBook.load(book_file), baseline_load, k,
                    lambda: pure.ParameterBook.load(book_file)))

    tree = ParameterDirectory({
        f"dir{d:02d}": ParameterDirectory({
            f"book{b:02d}": ParameterBook({f"p{i:02d}": realistic_parameter(i) for i in range(50)})
            for b in range(20)})
        for d in range(10)})
    ptree = pure.twin_of(tree)
    tree_dir = os.path.join(workdir, "tree")
    pure_dir = os.path.join(workdir, "pure")
    tree.save(tree_dir)
    texts = []
    for dname, sub in tree.items():
        for bname, b in sub.items():
            texts.append((os.path.join(tree_dir, dname, bname + ".d7ori"), str(b)))
    plain_dir = os.path.join(workdir, "plain")
    for dname in tree.names():
        os.makedirs(os.path.join(plain_dir, dname), exist_ok=True)
    plain = [(path.replace(tree_dir, plain_dir, 1), text.encode("utf-8")) for path, text in texts]

    def baseline_tree_save():
        for path, data in plain:
            with open(path, "wb") as f:
                f.write(data)

    def baseline_tree_load():
        for path, _ in texts:
            with open(path, "rb") as f:
                json.loads(f.read())

    k = 2 if quick else 10
    rows.append(Row("tree.save 10x20x50", 3.5, lambda: tree.save(tree_dir), baseline_tree_save, k,
                    lambda: ptree.save(pure_dir)))
    rows.append(Row("ParameterDirectory.load", 1.6, lambda: ParameterDirectory.load(tree_dir),
                    baseline_tree_load, k, lambda: pure.ParameterDirectory.load(tree_dir)))
    return rows


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--quick", action="store_true", help="fewer iterations and rounds")
    ap.add_argument("--rounds", type=int, default=None, help="alternating rounds per row")
    ap.add_argument("--rows", nargs="*", help="substrings of the row names to run")
    args = ap.parse_args()
    rounds = args.rounds or (3 if args.quick else 7)
    workdir = tempfile.mkdtemp(prefix="r7u-bench-")
    try:
        rows = build_rows(workdir, args.quick)
        if args.rows:
            rows = [r for r in rows if any(s in r.name for s in args.rows)]
        print(f"Python {sys.version.split()[0]}, {rounds} rounds, median ratio workload/baseline")
        print(f"{'workload':34} {'ratio':>7} {'target':>7} {'python/':>8}  {'workload':>12} {'baseline':>12}")
        misses = 0
        for row in rows:
            ratio, speedup, w, b = row.measure(rounds)
            ok = ratio <= row.target and not speedup < 2.0
            misses += not ok
            print(f"{row.name:34} {ratio:7.2f} {row.target:7.2f} {speedup:8.2f}  {w * 1e6:10.2f}us {b * 1e6:10.2f}us"
                  f"{'' if ok else '  MISS'}")
        return 1 if misses else 0
    finally:
        shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
