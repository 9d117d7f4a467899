"""Fuzz inputs for the module and the child program that runs them.

Kinds:
  book       mutated book files through ParameterBook.load (and a save/load
             round trip of every book that loads)
  tree       mutated folder trees through ParameterDirectory.load (and a
             save/load round trip of every tree that loads)
  decode     book texts of every value, valid, mutated and hostile, through
             ParameterBook.load natively and the ordinary way (json.loads):
             the same book, key identities, or error, message and notes
  clone      random nested values through _clone_attribute (hypothesis),
             checked against a model of the copy rule
  from_dict  random dictionary forms through Parameter.from_dict
             (hypothesis), checked against a model of its steps

Every input must end in a result or an exception of the ordinary types
below; anything else, a crash, a hang or a sanitizer report fails the run.
Input i of a seed is the same on every run:

  python fuzzcases.py book --seed 7 --start 1234 --count 1

re-runs exactly input 1234 of seed 7 (the mutated kinds; hypothesis prints
its own reproduction).
"""
import argparse
import errno
import json
import math
import os
import random
import shutil
import struct
import sys
import tempfile
import types
import warnings

warnings.simplefilter("ignore", DeprecationWarning)

import r7u_razarozu as m  # noqa: E402
from platforms import HAS_FIFOS, HAS_SYMLINKS  # noqa: E402

P, B, D = m.Parameter, m.ParameterBook, m.ParameterDirectory
ORDINARY = (AssertionError, TypeError, ValueError, KeyError, OSError, RecursionError)
ASSERTIONS = sys.flags.optimize == 0


class Unexpected(Exception):
    pass


# ---------------------------------------------------------------------------
# Book texts and their mutations.
# ---------------------------------------------------------------------------
INTERESTING_TEXT = ["", " ", "a b", "ä", "中文", "🙂", "\u2028", "\x00", "\x1f", '"', "\\",
                    "d7ori", "a.d7ori", "_ParameterBook__parameters", "description", "self", "value",
                    "__class__", "a" * 300]


def random_text(rng):
    r = rng.random()
    if r < 0.01:
        return "\ud800"  # a lone surrogate: invalid UTF-8 in a file, or an escape in JSON
    if r < 0.4:
        return rng.choice(INTERESTING_TEXT)
    if r < 0.7:
        return "".join(rng.choice("abcxyz_.- 0") for _ in range(rng.randint(0, 8)))
    return "".join(chr(rng.choice([rng.randint(0x20, 0x7e), rng.randint(0, 0x1f), rng.randint(0xa0, 0x2fff),
                                   rng.randint(0x1f000, 0x1faff)])) for _ in range(rng.randint(0, 8)))


def random_number(rng):
    return rng.choice([0, 1, -1, True, False, 2 ** 63, -(2 ** 64) - 1, 10 ** 40, 0.5, -0.0, 1e16, 5e-324,
                       1.7976931348623157e308, math.nan, math.inf, -math.inf, rng.randint(-1000, 1000),
                       rng.uniform(-1e6, 1e6)])


def random_value(rng, depth=0):
    r = rng.random()
    if depth > 3 or r < 0.5:
        return random_number(rng) if rng.random() < 0.5 else random_text(rng)
    if r < 0.75:
        return [random_value(rng, depth + 1) for _ in range(rng.randint(0, 4))]
    return {random_text(rng): random_value(rng, depth + 1) for _ in range(rng.randint(0, 4))}


def random_form(rng):
    description = {"default": random_text(rng)}
    for _ in range(rng.randint(0, 2)):
        description[rng.choice(["en_US", "zh_CN", "de_DE", random_text(rng)])] = random_text(rng)
    attributes = {}
    for _ in range(rng.randint(0, 5)):
        name = rng.choice(["value", "lo", "hi", "unit", "items", random_text(rng)])
        if name not in ("description", "self"):
            attributes[name] = random_value(rng)
    return {"name": random_text(rng), "description": description, "attributes": attributes}


def random_book_text(rng):
    forms = [random_form(rng) for _ in range(rng.randint(0, 5))]
    return json.dumps(forms, indent=rng.choice([4, 4, 4, None, 0, 2]), ensure_ascii=rng.random() < 0.2)


def random_json_document(rng):
    """JSON of every other shape: scalars, objects, arrays of non-objects,
    objects with keys missing or of the wrong type."""
    shapes = [
        lambda: random_value(rng),
        lambda: None,
        lambda: {"name": "a", "description": {"default": ""}, "attributes": {}},
        lambda: [random_value(rng) for _ in range(rng.randint(1, 3))],
        lambda: [[random_form(rng)]],
        lambda: [None],
    ]
    doc = rng.choice(shapes)()
    if isinstance(doc, list) and rng.random() < 0.5:
        doc.append(broken_form(rng))
    return json.dumps(doc)


def broken_form(rng):
    form = random_form(rng)
    how = rng.randrange(9)
    if how == 0:
        del form[rng.choice(["name", "description", "attributes"])]
    elif how == 1:
        form["name"] = rng.choice([None, 1, [], {}, 1.5, True])
    elif how == 2:
        form["description"] = rng.choice([None, 1, "text", [], {}, {"en": "x"}, {"default": 1}, {"default": None}])
    elif how == 3:
        form["attributes"] = rng.choice([None, 1, "ab", [], [["a", 1]], [1], {"a": None}])
    elif how == 4:
        form["attributes"][rng.choice(["description", "self", "", "a b", "1"])] = 1
    elif how == 5:
        form["attributes"]["v"] = [1, None, {"x": None}]
    elif how == 6:
        form["description"][random_text(rng)] = rng.choice([None, 1, [], {"a": [None]}])
    elif how == 7:
        form["extra"] = random_value(rng)
    else:
        form["attributes"]["v"] = rng.choice([math.nan, math.inf, 10 ** 30])
    return form


SPECIAL_NUMBERS = [b"NaN", b"Infinity", b"-Infinity", b"1e999", b"-1e999", b"1e-400", b"-0", b"9" * 5000,
                   b"1" * 4300, b"0.1e+1", b"01", b"1.", b".5", b"0x10", b"+1", b"1_000"]
SPECIAL_BYTES = [b"{", b"}", b"[", b"]", b",", b":", b'"', b"\\", b"\\u", b"\\ud800", b"\\udc00", b"\\u0000",
                 b"null", b"true", b"false", b"\x00", b"\xff", b"\xfe", b"\xc0\xaf", b"\xed\xa0\x80",
                 b"\xe2\x82", b"\xf4\x90\x80\x80", b"\xef\xbb\xbf", b"\r\n", b"\t", b" " * 10]


def flip(rng, data):
    if not data:
        return data
    data = bytearray(data)
    for _ in range(rng.randint(1, 4)):
        data[rng.randrange(len(data))] ^= 1 << rng.randrange(8)
    return bytes(data)


def cut(rng, data):
    return data[:rng.randint(0, len(data))]


def duplicate(rng, data):
    if not data:
        return data
    a = rng.randrange(len(data))
    b = min(len(data), a + rng.randint(1, 200))
    at = rng.randint(0, len(data))
    return data[:at] + data[a:b] * rng.randint(1, 3) + data[at:]


def delete(rng, data):
    if not data:
        return data
    a = rng.randrange(len(data))
    return data[:a] + data[a + rng.randint(1, 50):]


def insert(rng, data):
    at = rng.randint(0, len(data))
    return data[:at] + rng.choice(SPECIAL_BYTES) + data[at:]


def number(rng, data):
    """Replaces a number, or inserts one where a value may stand."""
    digits = [i for i, c in enumerate(data) if 0x30 <= c <= 0x39]
    special = rng.choice(SPECIAL_NUMBERS)
    if digits:
        i = rng.choice(digits)
        j = i
        while j < len(data) and data[j] in b"0123456789.eE+-":
            j += 1
        return data[:i] + special + data[j:]
    return data.replace(b": ", b": " + special + b", ", 1)


def nest(rng, data):
    """Wraps a value in deep brackets, balanced or not."""
    depth = rng.choice([10, 1000, 100_000])
    opening, closing = rng.choice([(b"[", b"]"), (b'{"a":', b"}")])
    at = data.find(b": ")
    if at < 0:
        return opening * depth + data + closing * depth
    tail = closing * (depth if rng.random() < 0.8 else depth // 2)
    return data[:at + 2] + opening * depth + b"1" + tail + data[at + 2:].split(b",", 1)[-1]


def bom(rng, data):
    text = data.decode("utf8", "replace")
    return rng.choice([b"\xef\xbb\xbf" + data, text.encode("utf-16"), text.encode("utf-16-le"),
                       b"\xef\xbb\xbf\xef\xbb\xbf" + data, text.encode("utf-32")])


def invalid_utf8(rng, data):
    bad = rng.choice([b"\xff", b"\xc0\xaf", b"\xed\xa0\x80", b"\xe2\x82", b"\x80", b"\xf8\x88\x80\x80\x80"])
    quotes = [i for i, c in enumerate(data) if c == 0x22]
    at = rng.choice(quotes) + 1 if quotes else rng.randint(0, len(data))
    return data[:at] + bad + data[at:]


def structural(rng, data):
    """Parses the text and breaks one form, or swaps the document."""
    try:
        doc = json.loads(data)
    except (ValueError, RecursionError):
        return data
    if isinstance(doc, list) and doc and rng.random() < 0.8:
        i = rng.randrange(len(doc))
        action = rng.randrange(3)
        if action == 0:
            doc[i] = broken_form(rng)
        elif action == 1:
            doc.insert(i, doc[i])  # the same name twice
        else:
            doc.insert(i, random_value(rng))
        try:
            return json.dumps(doc, indent=4, ensure_ascii=False).encode("utf8", "surrogatepass")
        except RecursionError:
            return data
    return random_json_document(rng).encode("utf8", "surrogatepass")


# Mutators that keep the text valid UTF-8 and JSON come more often, so that
# a fair share of the inputs reaches past the decoder.
MUTATORS = [flip, cut, duplicate, delete, insert, number, number, nest, bom, invalid_utf8] + [structural] * 5


def book_input(rng):
    """The bytes of one book file: mostly a valid text, mutated 0 to 3 times."""
    if rng.random() < 0.1:
        data = random_json_document(rng).encode("utf8", "surrogatepass")
    else:
        data = random_book_text(rng).encode("utf8", "surrogatepass")
    for _ in range(rng.choice([0, 0, 1, 1, 1, 2, 3])):
        data = rng.choice(MUTATORS)(rng, data)
    return data


# ---------------------------------------------------------------------------
# Texts for the native decoder: written token by token, with whitespace,
# escapes, number spellings and key orders that json.dumps never makes.
# ---------------------------------------------------------------------------
class Num(str):
    """A number as it stands in the text."""


HARD_NUMBERS = ["2.2250738585072011e-308", "2.2250738585072012e-308", "4.9406564584124654e-324",
                "2.4703282292062327e-324", "2.4703282292062328e-324", "1.7976931348623157e308",
                "1.7976931348623158e308", "1.7976931348623159e308", "9007199254740993.0", "1e23", "8.5e-323",
                "0.1e1", "-0", "-0.0", "0E0", "123456789012345678", "1234567890123456789", "-999999999999999999"]


def digits(rng, n):
    return "".join(rng.choice("0123456789") for _ in range(n))


def number_text(rng):
    r = rng.random()
    if r < 0.15:
        return Num(rng.choice(HARD_NUMBERS))
    if r < 0.3:
        return Num(repr(struct.unpack("<d", rng.randbytes(8))[0]).replace("nan", "NaN").replace("inf", "Infinity"))
    rare = rng.random() < 0.1  # past what the decoder reads itself
    lead = rng.choice(["0", str(rng.randint(1, 9)) + digits(rng, rng.choice([17, 18, 25, 400] if rare else [0, 1, 5, 16]))])
    frac = rng.choice(["", "", "." + digits(rng, rng.choice([1, 3, 17, 40, 800]))])
    exp = rng.choice(["", "", rng.choice("eE") + rng.choice(["", "+", "-"]) + str(
        rng.choice([300, 308, 309, 324, 400]) if rare else rng.randint(0, 40))])
    return Num(rng.choice(["", "-"]) + lead + frac + exp)


def decode_value(rng, depth=0):
    r = rng.random()
    if depth > 3 or r < 0.55:
        return rng.choice([number_text(rng), random_text(rng), rng.random() < 0.5, rng.choice(["/", "a\\b"])])
    if r < 0.8:
        return [decode_value(rng, depth + 1) for _ in range(rng.randint(0, 4))]
    return {rng.choice(["value", "a", "", random_text(rng)]): decode_value(rng, depth + 1)
            for _ in range(rng.randint(0, 4))}


def string_text(s, rng):
    if rng.random() < 0.92:
        return json.dumps(s, ensure_ascii=rng.random() < 0.3)
    # Escapes json.dumps never writes: any character as \\uXXXX in either case, "/" as "\\/".
    parts = []
    for c in s:
        if rng.random() < 0.3 and not 0xD800 <= ord(c) <= 0xDFFF:
            units = struct.unpack(f"<{len(c.encode('utf-16-le')) // 2}H", c.encode("utf-16-le"))
            parts.append("".join(f"\\u{u:04{rng.choice('xX')}}" for u in units))
        else:
            parts.append("\\/" if c == "/" else json.dumps(c, ensure_ascii=False)[1:-1])
    return '"' + "".join(parts) + '"'


def emit(v, rng, out):
    def ws():
        return rng.choice(["", "", " ", "\n    ", "\t", "\r\n", " \r "])
    if isinstance(v, (dict, list)):
        items = list(v.items()) if isinstance(v, dict) else list(v)
        if isinstance(v, dict) and items and rng.random() < 0.03:
            items.append(rng.choice(items))  # a key given twice
        out.append(("{" if isinstance(v, dict) else "[") + ws())
        for i, item in enumerate(items):
            if i:
                out.append(ws() + "," + ws())
            if isinstance(v, dict):
                out.append(string_text(item[0], rng) + ws() + ":" + ws())
                item = item[1]
            emit(item, rng, out)
        out.append(ws() + ("}" if isinstance(v, dict) else "]"))
    elif isinstance(v, Num):
        out.append(v)
    elif isinstance(v, str):
        out.append(string_text(v, rng))
    else:
        out.append(json.dumps(v))


def decode_input(rng):
    forms = []
    for _ in range(rng.randint(0, 6)):
        form = random_form(rng)
        form["attributes"] = {k: decode_value(rng) for k in form["attributes"]}
        if rng.random() < 0.05:
            form["attributes"].update((f"k{i}", i) for i in range(rng.randint(50, 150)))
        if rng.random() < 0.2:
            form = dict(rng.sample(list(form.items()), 3))  # the members in another order
        forms.append(broken_form(rng) if rng.random() < 0.05 else form)
    out = []
    emit(forms, rng, out)
    data = "".join(out).encode("utf8", "surrogatepass")
    if rng.random() < 0.3:
        data = rng.choice(MUTATORS)(rng, data)
    return data


ORDINARY_JSON = types.SimpleNamespace(loads=json.loads, dumps=json.dumps)  # not json itself: the ordinary road


def book_shape(book):
    """The book's names, parameters and values with their exact types, and
    which keys are the same object."""
    keys = []

    def shape(v):
        if type(v) is dict:
            keys.extend(v)
            return ("dict", [(type(k).__name__, k, shape(x)) for k, x in v.items()])
        if type(v) is list:
            return ("list", [shape(x) for x in v])
        return (type(v).__name__, repr(v))
    body = [(type(n).__name__, n, type(p).__name__, shape(vars(p))) for n, p in book.items()]
    first = {}
    return body, [first.setdefault(id(k), i) for i, k in enumerate(keys)]


def load_outcome(path):
    try:
        return ("ok", book_shape(B.load(path)))
    except ORDINARY as e:
        return (type(e).__name__, str(e), getattr(e, "__notes__", None))


def decoded_natively(path):
    """The outcome of a load, and whether json.loads ran for it."""
    ran = []
    sys.setprofile(lambda frame, event, arg: ran.append(1) if frame.f_code is json.loads.__code__ else None)
    try:
        return load_outcome(path), not ran
    finally:
        sys.setprofile(None)


def run_decode(rng, work):
    data = decode_input(rng)
    path = os.path.join(work, "in.d7ori")
    with open(path, "wb") as f:
        f.write(data)
    native, skipped_loads = decoded_natively(path)
    m._json = ORDINARY_JSON
    try:
        ordinary = load_outcome(path)
    finally:
        m._json = json
    if native != ordinary:
        raise Unexpected(f"the native decoder differs: {native!r:.500} against {ordinary!r:.500}")
    return "ok-native" if native[0] == "ok" and skipped_loads else native[0]


# ---------------------------------------------------------------------------
# Folder trees.
# ---------------------------------------------------------------------------
UNREADABLE = "/proc/self/mem"  # a regular file whose first bytes even root cannot read


def unreadable_available():
    try:
        with open(UNREADABLE, "rb") as f:
            f.read(1)
    except OSError as e:
        return e.errno == errno.EIO
    return False


ENTRY_NAMES = ["a", "b", "a.b", "x.d7ori", "d7ori", ".d7ori", "..d7ori", "a b", "ä", "中文", "名前.d7ori",
               "_ParameterDirectory__parameters", "a.d7ori-", "A.D7ORI", "n" * 200, "é" * 60]


def entry_name(rng, ext):
    base = rng.choice(ENTRY_NAMES)
    if ext and not base.endswith(".d7ori"):
        base += rng.choice([".d7ori", ".d7ori", ".x.d7ori", ".d7ori-"])
    return base


def build_tree(rng, root, depth, state):
    """A random folder tree under root (which exists)."""
    for _ in range(rng.randint(0, 5)):
        kind = rng.choices(["book", "badbook", "other", "folder", "folderbook", "link", "fifo", "unreadable"],
                           [8, 2, 2, 3 if depth < 3 else 0, 1, 2 if HAS_SYMLINKS else 0, 1 if HAS_FIFOS else 0, 1])[0]
        name = entry_name(rng, kind in ("book", "badbook", "folderbook", "fifo", "unreadable")
                          or (kind == "link" and rng.random() < 0.5))
        path = os.path.join(root, name)
        if os.path.lexists(path):
            continue
        if kind == "book":
            with open(path, "wb") as f:
                f.write(random_book_text(rng).encode("utf8", "surrogatepass"))
        elif kind == "badbook":
            with open(path, "wb") as f:
                f.write(book_input(rng))
        elif kind == "other":
            with open(path, "wb") as f:
                f.write(b"not a book")
        elif kind in ("folder", "folderbook"):
            os.mkdir(path)
            build_tree(rng, path, depth + 1, state)
        elif kind == "fifo":
            os.mkfifo(path)
        elif kind == "unreadable":
            if state["unreadable"]:
                os.symlink(UNREADABLE, path)
        else:
            target = rng.choice(["self", "missing", "file", "up"])
            if target == "up":
                # One way back up per tree: more than one cycle makes a
                # walk that follows links exponential (the hostile folder
                # tests have that case).
                if state["cycle"]:
                    continue
                state["cycle"] = True
                os.symlink(".." if depth else ".", path)
            elif target == "self":
                os.symlink(name, path)
            elif target == "missing":
                os.symlink("no-such-entry", path)
            else:
                with open(path + ".target", "w") as f:
                    f.write("[]")
                os.symlink(name + ".target", path)


# ---------------------------------------------------------------------------
# Comparing results.
# ---------------------------------------------------------------------------
def canonical(item):
    """A directory as a dict of names to book texts or sub-directories."""
    if isinstance(item, D):
        return {name: canonical(child) for name, child in item.items()}
    return str(item)


def collides(item):
    """A book a and a sub-directory a.d7ori side by side: both load (the
    folder a.d7ori is a sub-directory, a.x.d7ori the book a), but they
    cannot be saved together, since both want the name a.d7ori."""
    if not isinstance(item, D):
        return False
    folders = {name for name, child in item.items() if isinstance(child, D)}
    books = {name + ".d7ori" for name, child in item.items() if not isinstance(child, D)}
    return bool(folders & books) or any(collides(child) for _, child in item.items())


def has_surrogate(text):
    return any(0xD800 <= ord(c) <= 0xDFFF for c in text)


def outcome_of(fn):
    try:
        return "ok", fn()
    except ORDINARY as e:
        return type(e).__name__, e


# ---------------------------------------------------------------------------
# The kinds.
# ---------------------------------------------------------------------------
def run_book(rng, work):
    data = book_input(rng)
    path = os.path.join(work, "in.d7ori")
    with open(path, "wb") as f:
        f.write(data)
    kind, book = outcome_of(lambda: B.load(path))
    if kind != "ok":
        return kind
    if not all(type(name) is str for name in book.names()):
        return "ok-odd-names"  # only with assertions off
    text = str(book)
    kind, err = outcome_of(lambda: book.save(os.path.join(work, "out")))
    if kind != "ok":
        if isinstance(err, UnicodeEncodeError) and has_surrogate(text):
            return "ok-unsavable"
        raise Unexpected(f"a loaded book did not save: {err!r}")
    again = str(B.load(os.path.join(work, "out.d7ori")))
    if again != text:
        raise Unexpected("a saved book loads back different")
    return "ok"


def run_tree(rng, work, state):
    root = os.path.join(work, "tree")
    out = os.path.join(work, "out")
    for p in (root, out):
        if os.path.lexists(p):
            shutil.rmtree(p)
    os.mkdir(root)
    state["cycle"] = False
    build_tree(rng, root, 0, state)
    target = root
    if rng.random() < 0.1:
        # Whatever an entry is (a file, a pipe, a link), loaded as a folder,
        # or a path that goes on below it.
        entries = os.listdir(root)
        if entries:
            target = os.path.join(root, rng.choice(entries))
            if rng.random() < 0.5:
                target = os.path.join(target, "below")
    kind, tree = outcome_of(lambda: D.load(target))
    if kind != "ok":
        return kind
    try:
        before = canonical(tree)
    except TypeError:
        if ASSERTIONS:
            raise
        return "ok-odd-names"  # a book name that is not a str: only with assertions off
    kind, err = outcome_of(lambda: tree.save(out))
    if kind != "ok":
        # A collision fails on whichever of the two comes second: a book
        # file where a folder goes, or a folder where a book file goes.
        if isinstance(err, UnicodeEncodeError) or (isinstance(err, (AssertionError, OSError)) and collides(tree)):
            return "ok-unsavable"
        raise Unexpected(f"a loaded tree did not save: {err!r}")
    if canonical(D.load(out)) != before:
        raise Unexpected("a saved tree loads back different")
    return "ok"


def run_hypothesis(kind, seed, count):
    from hypothesis import given, settings, HealthCheck
    from hypothesis import seed as hseed
    import fuzzmodels

    test = {"clone": fuzzmodels.check_clone_attribute, "from_dict": fuzzmodels.check_from_dict}[kind]
    strategy = {"clone": fuzzmodels.values(), "from_dict": fuzzmodels.forms()}[kind]
    outcomes = {}

    def body(value):
        result = test(value)
        outcomes[result] = outcomes.get(result, 0) + 1

    runner = settings(max_examples=count, deadline=None, database=None, derandomize=False,
                      suppress_health_check=list(HealthCheck))(given(strategy)(body))
    hseed(seed)(runner)()
    return outcomes


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("kind", choices=["book", "tree", "decode", "clone", "from_dict"])
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--start", type=int, default=0)
    parser.add_argument("--count", type=int, default=100)
    args = parser.parse_args(argv)

    if args.kind in ("clone", "from_dict"):
        outcomes = run_hypothesis(args.kind, args.seed, args.count)
        print(json.dumps({"kind": args.kind, "inputs": sum(outcomes.values()), "assertions": ASSERTIONS,
                          "outcomes": outcomes}))
        return 0

    work = tempfile.mkdtemp(prefix="r7u-fuzz-")
    state = {"unreadable": unreadable_available()}
    outcomes = {}
    try:
        for i in range(args.start, args.start + args.count):
            # Progress first: after a crash the last line names the input.
            print(f"input {args.kind} seed={args.seed} start={i}", flush=True)
            rng = random.Random(f"{args.kind}:{args.seed}:{i}")
            try:
                run = {"book": run_book, "decode": run_decode}.get(args.kind)
                result = run(rng, work) if run else run_tree(rng, work, state)
            except Unexpected as e:
                print(f"FAILED input {i}: {e}", flush=True)
                return 1
            except BaseException as e:
                print(f"FAILED input {i}: unexpected {type(e).__name__}: {e!r}"[:2000], flush=True)
                raise
            outcomes[result] = outcomes.get(result, 0) + 1
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print(json.dumps({"kind": args.kind, "inputs": args.count, "assertions": ASSERTIONS,
                      "outcomes": outcomes, "unreadable": state["unreadable"]}))
    return 0


if __name__ == "__main__":
    sys.exit(main())
