"""Workloads measured side by side with their baselines, alternating, in one process.

Prints, for each row, the median ratio workload/baseline over several rounds, the target it is held
to, and how many times slower the same work is when written in plain Python (bench/pure.py; every row
is held to at least 2). Run: `.venv-3.12/bin/python bench/bench.py` (after `bash scripts/test.sh` or
`bash scripts/example.sh` built the module), `--quick` for a short run, `--rows NAME...` for a subset.

The tree-save row on disk writes under `--disk DIR` (default /var/tmp, a real disk where /tmp may be
memory) and compares with the same texts written and flushed one file at a time in plain Python,
held to no more than that; `--against BUILD` compares with the tree save of the module built in the
folder BUILD instead (`scripts/dev-build.sh BUILD` in a checkout of the older code), held to 0.75 of
it.

`--memory` measures the text of large books instead, each call in a child interpreter of its own:
the peak memory that str(book) and book.save add (resident, and as tracemalloc counts it), against the
size of the text, from 10^3 to 10^6 parameters (held to 1.25 wherever the text has a MiB or more); and
how their processor time grows over those sizes next to json.dumps of the forms (the exponent of n).

`--instructions` counts instead of timing, for the rows of single calls and for the two loads held to
`json.loads` of the same texts (their targets are in instructions: a load also waits for the file
system, which that baseline does not): one run of the interpreter under callgrind (fixed hash seed)
does each row's workload and then its baseline, and prints the instructions per call of each, their
ratio, and the module's own cost: workload minus baseline. `--json FILE` keeps those figures.
"""
import argparse
import array
import atexit
import gc
import glob
import itertools
import json
import math
import os
import pickle
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import timeit
import tracemalloc

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


def build_hot_rows(quick):
    """The rows of single calls: their instruction counts are what the module itself costs per call."""
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
    for row in rows:
        row.ops = 1 if row.name == "Parameter(...)" else 100
    return rows


def build_load_rows(workdir):
    """The loads held to json.loads of the same texts: a book of 1000 parameters and a tree of 200 books.
    Counted for a few calls each (`calls`)."""
    book_file = os.path.join(workdir, "load.d7ori")
    realistic_book(1000).save(book_file)
    with open(book_file, encoding="utf8") as f:
        book_text = f.read()
    tree_dir = os.path.join(workdir, "load-tree")
    bench_tree().save(tree_dir)
    texts = []
    for root, _, files in sorted(os.walk(tree_dir)):
        for name in sorted(files):
            with open(os.path.join(root, name), encoding="utf8") as f:
                texts.append(f.read())
    rows = [Row("ParameterBook.load / json.loads", 0.9, lambda: ParameterBook.load(book_file),
                lambda: json.loads(book_text), 5),
            Row("ParameterDirectory.load / json.loads", 0.9, lambda: ParameterDirectory.load(tree_dir),
                lambda: [json.loads(text) for text in texts], 2)]
    rows[0].calls, rows[1].calls = 20, 2
    for row in rows:
        row.ops, row.counted_target = 1, row.target
    return rows


def rival_libraries():
    """orjson and msgspec where the benchmark's environment has them (scripts/bench.sh), else None."""
    try:
        import msgspec
        import orjson
    except ImportError:
        print("orjson or msgspec missing: the rows against them need the benchmark's environment "
              "(bash scripts/bench.sh)", file=sys.stderr)
        return None
    return orjson, msgspec


def build_rival_rows(workdir):
    """The book of 1000 parameters against the fastest JSON libraries a user could pick, each given the
    forms already made: the text as a str, the save (into tmpfs where there is one) and the load with the
    same-shape mapping built. Targets in instructions; counted for a few calls each."""
    libs = rival_libraries()
    if libs is None:
        return []
    orjson, msgspec = libs
    book = realistic_book(1000)
    forms = forms_of(book)
    folder = tempfile.mkdtemp(prefix="r7u-bench-", dir="/dev/shm" if os.path.isdir("/dev/shm") else workdir)
    atexit.register(shutil.rmtree, folder, True)
    ours, theirs = os.path.join(folder, "book.d7ori"), os.path.join(folder, "rival.json")
    book.save(ours)

    def write(data):
        with open(theirs, "wb") as f:
            f.write(data)

    def read():
        with open(ours, "rb") as f:
            return f.read()

    def mapping(decoded):
        return {f["name"]: {"description": f["description"], "attributes": f["attributes"]} for f in decoded}

    indent = orjson.OPT_INDENT_2
    rows = [Row("str(book) / orjson indent", 1.2, lambda: str(book),
                lambda: orjson.dumps(forms, option=indent).decode(), 1),
            Row("str(book) / msgspec indent", None, lambda: str(book),
                lambda: msgspec.json.format(msgspec.json.encode(forms), indent=4).decode(), 1),
            Row("book.save / orjson + write", 1.5, lambda: book.save(ours),
                lambda: write(orjson.dumps(forms, option=indent)), 1),
            Row("book.save / msgspec + write", None, lambda: book.save(ours),
                lambda: write(msgspec.json.format(msgspec.json.encode(forms), indent=4)), 1),
            Row("load / read + orjson + mapping", 1.0, lambda: ParameterBook.load(ours),
                lambda: mapping(orjson.loads(read())), 1),
            Row("load / read + orjson.loads", None, lambda: ParameterBook.load(ours),
                lambda: orjson.loads(read()), 1),
            Row("load / read + msgspec", None, lambda: ParameterBook.load(ours),
                lambda: msgspec.json.decode(read()), 1)]
    for row in rows:
        row.calls, row.ops, row.counted_target = 20, 1, row.target
    return rows


def bench_tree():
    """10 directories of 20 books of 50 parameters."""
    return ParameterDirectory({
        f"dir{d:02d}": ParameterDirectory({
            f"book{b:02d}": ParameterBook({f"p{i:02d}": realistic_parameter(i) for i in range(50)})
            for b in range(20)})
        for d in range(10)})


DISK_COPIES = 40


def spread_out(folder):
    """Marks `folder` as the top of a folder tree where the file system has such a mark (ext4's T
    attribute): its sub-folders are then placed apart on the disk."""
    if not sys.platform.startswith("linux"):
        return
    import fcntl
    get_flags, set_flags, top_dir = 0x80086601, 0x40086602, 0x20000
    fd = os.open(folder, os.O_RDONLY)
    try:
        flags = array.array("i", [0])
        fcntl.ioctl(fd, get_flags, flags, True)
        flags[0] |= top_dir
        fcntl.ioctl(fd, set_flags, flags)
    except OSError:
        pass  # no such mark here
    finally:
        os.close(fd)


class OtherBuild:
    """The benchmark's tree saved by the module built in another folder (say, the code before a
    change), in a child interpreter that saves it where it is told."""

    CODE = """import sys
sys.path[:0] = sys.argv[1:3]
import bench
tree = bench.bench_tree()
for line in sys.stdin:
    tree.save(line[:-1])
    print(flush=True)
"""

    def __init__(self, build):
        here = os.path.dirname(os.path.abspath(__file__))
        self.child = subprocess.Popen([sys.executable, "-c", self.CODE, build, here], stdin=subprocess.PIPE,
                                      stdout=subprocess.PIPE, text=True)

    def save(self, folder):
        self.child.stdin.write(folder + "\n")
        self.child.stdin.flush()
        if not self.child.stdout.readline():
            raise RuntimeError("the other build's saver ended")

    def close(self):
        self.child.stdin.close()
        self.child.wait()


def build_rows(workdir, quick, disk, against=None):
    rows = build_hot_rows(quick)
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

    tree = bench_tree()
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

    # Both sides replace the same files: the same folders, so the same places on the disk. They go
    # round copies of the tree whose folders the disk keeps apart, as a tree saved now and then is:
    # a file system without a journal (ext4) skips the inodes freed in the last minute when it makes
    # a file, and in one folder saved over and over that search soon costs more than the flushes.
    copies = [os.path.join(disk, f"tree{c:02d}") for c in range(DISK_COPIES)]
    spread_out(disk)
    for copy in copies:
        os.makedirs(copy)
        spread_out(copy)
        tree.save(copy)
    on_disk = {copy: [(path.replace(tree_dir, copy, 1), data) for (path, _), (_, data) in zip(texts, plain)]
               for copy in copies}

    def one_flush_at_a_time(copy):
        """The crash-safe protocol with each file flushed before the next is written."""
        for path, data in on_disk[copy]:
            fd = os.open(path + ".tmp", os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
            os.write(fd, data)
            os.fsync(fd)
            os.close(fd)
            os.replace(path + ".tmp", path)
        for dname in tree.names():
            fd = os.open(os.path.join(copy, dname), os.O_RDONLY)
            os.fsync(fd)
            os.close(fd)

    def baseline_tree_load():
        for path, _ in texts:
            with open(path, "rb") as f:
                json.loads(f.read())

    k = 2 if quick else 10
    rows.append(Row("tree.save 10x20x50", 3.5, lambda: tree.save(tree_dir), baseline_tree_save, k,
                    lambda: ptree.save(pure_dir)))
    # Each side saves the copies the other saved longest ago.
    half = DISK_COPIES // 2
    ours, theirs = itertools.cycle(copies), itertools.cycle(copies[half:] + copies[:half])
    baseline = (lambda: against.save(next(theirs))) if against else (lambda: one_flush_at_a_time(next(theirs)))
    rows.append(Row("tree.save on disk", 0.75 if against else 1.0, lambda: tree.save(next(ours)), baseline, 2 if quick else 3))
    rows.append(Row("ParameterDirectory.load", 1.6, lambda: ParameterDirectory.load(tree_dir),
                    baseline_tree_load, k, lambda: pure.ParameterDirectory.load(tree_dir)))
    rows.extend(build_load_rows(workdir))
    return rows


# ---------------------------------------------------------------------------
# --memory
# ---------------------------------------------------------------------------
GROWTH_SIZES = (1000, 10_000, 100_000, 200_000, 1_000_000)
# Peak memory is held to this much of the text wherever the text has at least a MiB.
MEMORY_TARGET = 1.25
MEMORY_OPS = ("str(book)", "book.save", "json.dumps")


def proc_status(key):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) << 10 for line in f if line.startswith(key))


def memory_child(op, n, folder):
    """One op on a book of n parameters, in a child of its own: prints the best processor time of a few
    calls, the size of the text, the peak resident memory the first call added and the peak that
    tracemalloc counts for one more call."""
    book = realistic_book(n)
    forms = forms_of(book) if op == "json.dumps" else None
    path = os.path.join(folder, "book")
    run = {"str(book)": lambda: str(book), "book.save": lambda: book.save(path),
           "json.dumps": lambda: json.dumps(forms)}[op]
    gc.collect()
    gc.disable()
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # the peak starts again from here
    before = proc_status("VmRSS:")
    best = math.inf
    for i in range(max(3, 10_000 // n)):
        start = time.process_time()
        text = run()
        best = min(best, time.process_time() - start)
        if i == 0:
            peak = proc_status("VmHWM:") - before
            size = os.path.getsize(path + ".d7ori") if op == "book.save" else sys.getsizeof(text)
        del text
    tracemalloc.start()
    text = run()
    traced = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    del text
    print(json.dumps({"cpu": best, "size": size, "peak": peak, "traced": traced}))


def print_memory(disk):
    print(f"Python {sys.version.split()[0]}, each call in a child interpreter; processor time, best of a few calls")
    print(f"{'workload':12} {'params':>9} {'text MB':>9} {'peak MB':>9} {'peak/text':>9} {'traced/text':>11} "
          f"{'ms':>10}")
    folder = tempfile.mkdtemp(prefix="r7u-bench-", dir=disk)
    results, misses = {}, 0
    try:
        for op in MEMORY_OPS:
            for n in GROWTH_SIZES:
                out = subprocess.run([sys.executable, os.path.abspath(__file__), "--memory-child", op, str(n), folder],
                                     check=True, capture_output=True, text=True).stdout
                r = results[op, n] = json.loads(out)
                ratio, traced = r["peak"] / r["size"], r["traced"] / r["size"]
                miss = op != "json.dumps" and r["size"] >= 1 << 20 and max(ratio, traced) > MEMORY_TARGET
                misses += miss
                print(f"{op:12} {n:9} {r['size'] / 1e6:9.1f} {r['peak'] / 1e6:9.1f} {ratio:9.2f} {traced:11.2f} "
                      f"{r['cpu'] * 1e3:10.2f}{f'  MISS (target {MEMORY_TARGET})' if miss else ''}")
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    low, high = GROWTH_SIZES[0], GROWTH_SIZES[-1]
    growth = {op: math.log(results[op, high]["cpu"] / results[op, low]["cpu"]) / math.log(high / low)
              for op in MEMORY_OPS}
    print(f"time grows as n^k from {low} to {high} parameters: "
          + ", ".join(f"{op} k = {k:.2f}" for op, k in growth.items()))
    return misses


# Callgrind dumps its counters whenever this libc function is entered; the counting child calls it
# (os.getppid) between phases and nothing else in the interpreter does.
MARKER = "getppid"
CALLS = 2000  # of each workload and baseline in the counting child


def count_child(names):
    """In the interpreter under callgrind: per row, a warm-up, then the workload, then the baseline,
    each phase ended by a marker call."""
    workdir = tempfile.mkdtemp(prefix="r7u-bench-")
    rows = [r for r in counted_rows(workdir) if r.name in names]
    for row in rows:
        calls = getattr(row, "calls", CALLS)
        for _ in range(min(50, calls)):  # the adaptive interpreter specializes in its first runs
            row.workload()
            row.baseline()
        os.getppid()
        for _ in range(calls):
            row.workload()
        os.getppid()
        for _ in range(calls):
            row.baseline()
        os.getppid()
    shutil.rmtree(workdir, ignore_errors=True)


def counted_rows(workdir):
    return build_hot_rows(True) + build_load_rows(workdir) + build_rival_rows(workdir)


def count_instructions(rows, workdir):
    """{row name: (workload, baseline) instructions per operation}, from one callgrind run."""
    if shutil.which("valgrind") is None:
        sys.exit("--instructions needs valgrind (callgrind)")
    out = os.path.join(workdir, "callgrind.out")
    env = dict(os.environ, PYTHONHASHSEED="0")
    cmd = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", f"--dump-before={MARKER}",
           sys.executable, os.path.abspath(__file__), "--count-child", *[r.name for r in rows]]
    subprocess.run(cmd, env=env, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    parts = {}
    for path in glob.glob(out + "*"):
        with open(path) as f:
            text = f.read()
        part = re.search(r"^part: (\d+)", text, re.M)
        total = re.search(r"^(?:summary|totals): (\d+)", text, re.M)
        parts[int(part.group(1)) if part else 0] = int(total.group(1))
    # Part 1 ends at the first marker; then three parts per row: workload, baseline, next warm-up.
    counts = [parts[k] for k in sorted(parts) if k > 0]
    result = {}
    for i, row in enumerate(rows):
        w, b = counts[3 * i + 1], counts[3 * i + 2]
        calls = getattr(row, "calls", CALLS)
        result[row.name] = (w / calls / row.ops, b / calls / row.ops)
    return result


def print_instructions(rows, workdir, json_path):
    counts = count_instructions(rows, workdir)
    version = "%d.%d" % sys.version_info[:2]
    print(f"Python {sys.version.split()[0]}, callgrind instructions per operation, PYTHONHASHSEED=0")
    print(f"{'workload':40} {'workload':>11} {'baseline':>11} {'ratio':>6} {'target':>6} {'own cost':>11}")
    targets = {row.name: getattr(row, "counted_target", None) for row in rows}
    misses = 0
    for name, (w, b) in counts.items():
        target = targets[name]
        miss = target is not None and w / b > target
        misses += miss
        print(f"{name:40} {w:11.0f} {b:11.0f} {w / b:6.2f} {target or '':>6} {w - b:11.0f}{'  MISS' if miss else ''}")
    if json_path:
        with open(json_path, "w") as f:
            json.dump({"python": version, "rows": {k: {"workload": w, "baseline": b} for k, (w, b) in counts.items()}},
                      f, indent=1)
    return misses


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--quick", action="store_true", help="fewer iterations and rounds")
    ap.add_argument("--rounds", type=int, default=None, help="alternating rounds per row")
    ap.add_argument("--rows", nargs="*", help="substrings of the row names to run")
    ap.add_argument("--disk", default="/var/tmp", help="a folder on a real disk, for the rows that flush files")
    ap.add_argument("--against", metavar="BUILD", help="the tree-save row on disk against the tree save of the "
                    "module built in this folder instead (in a child interpreter)")
    ap.add_argument("--memory", action="store_true", help="peak memory and growth of large books' texts")
    ap.add_argument("--memory-child", nargs=3, help=argparse.SUPPRESS)
    ap.add_argument("--instructions", action="store_true", help="count instructions under callgrind (rows of single calls)")
    ap.add_argument("--json", help="with --instructions: write the counts to this file")
    ap.add_argument("--count-child", nargs="*", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.count_child is not None:
        count_child(args.count_child)
        return 0
    if args.memory_child:
        op, n, folder = args.memory_child
        memory_child(op, int(n), folder)
        return 0
    if args.memory:
        return 1 if print_memory(args.disk) else 0
    if args.instructions:
        workdir = tempfile.mkdtemp(prefix="r7u-bench-")
        try:
            rows = [r for r in counted_rows(workdir) if not args.rows or any(s in r.name for s in args.rows)]
            return 1 if print_instructions(rows, workdir, args.json) else 0
        finally:
            shutil.rmtree(workdir, ignore_errors=True)
    rounds = args.rounds or (3 if args.quick else 7)
    workdir = tempfile.mkdtemp(prefix="r7u-bench-")
    disk = tempfile.mkdtemp(prefix="r7u-bench-", dir=args.disk)
    against = OtherBuild(args.against) if args.against else None
    try:
        rows = build_rows(workdir, args.quick, disk, against)
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
        shutil.rmtree(disk, ignore_errors=True)
        if against:
            against.close()


if __name__ == "__main__":
    sys.exit(main())
