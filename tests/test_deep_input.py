"""Values nested deeper than the interpreter's recursion limit, and values
that contain themselves, at every entry that walks user data: each ends in
RecursionError (or the JSON encoder's own error), never in a crash. Every
case runs in a child interpreter, where a crash shows as a signal."""
import pytest

from childrun import run_json
from platforms import needs_folder_handles

# Builders for the child: deeper than both the interpreter's limit and the
# limit of nested C calls.
BUILD = """
N = 100_000
def deep_list(n=N):
    v = []
    for _ in range(n):
        v = [v]
    return v
def deep_dict(n=N):
    v = {}
    for _ in range(n):
        v = {"k": v}
    return v
def deep_mixed(n=N):
    v = 1
    for i in range(n):
        v = [v] if i % 2 else {"k": v, "x": [1.5, "s"]}
    return v
class L(list):
    pass
class Dsub(dict):
    pass
def deep_subclass(n=N):
    v = L()
    for i in range(n):
        v = L([v]) if i % 2 else Dsub(k=v)
    return v
def looped_list():
    v = [1]
    v.append(v)
    return v
def looped_dict():
    v = {"a": 1}
    v["b"] = [v]
    return v
VALUES = {"deep_list": deep_list, "deep_dict": deep_dict, "deep_mixed": deep_mixed,
          "deep_subclass": deep_subclass, "looped_list": looped_list, "looped_dict": looped_dict}
make = VALUES[sys.argv[1]]
"""

VALUES = ["deep_list", "deep_dict", "deep_mixed", "deep_subclass", "looped_list", "looped_dict"]
RECURSION = {"RecursionError"}
# The standard encoder reports a value that contains itself as circular.
ENCODER = {"RecursionError", "ValueError"}


def run_case(code, value, tmp_path, optimize=False):
    return run_json(BUILD + code, args=[value], cwd=tmp_path, optimize=optimize)


@pytest.mark.parametrize("value", VALUES)
def test_clone_attribute_constructor_and_clone(value, tmp_path):
    result = run_case("""
v = make()
p = P("x")
p["v"] = v
out = {
    "clone_attribute": outcome(lambda: m._clone_attribute(v)),
    "in_list": outcome(lambda: m._clone_attribute([1, {"a": v}])),
    "constructor_value": outcome(lambda: P("x", v=v)),
    "constructor_description": outcome(lambda: P({"default": "x", "en": v})),
    "clone": outcome(p.clone),
    "from_dict": outcome(lambda: P.from_dict({"name": "n", "description": {"default": ""}, "attributes": {"v": v}})),
    "book_values": outcome(lambda: B(values={"a": v})),
    "book_clone": outcome(lambda: B({"p": p})),
    # Still usable afterwards.
    "after": m._clone_attribute([1, [2]]) == [1, [2]],
}
print(json.dumps(out))
""", value, tmp_path)
    assert result.pop("after") is True
    assert set(result.values()) == RECURSION, result


@pytest.mark.parametrize("value", VALUES)
def test_book_text_and_save(value, tmp_path):
    result = run_case("""
v = make()
book = B(values={"a": 1, "b": 2})
book.set_parameter_value("a", v)          # stored as given, no copy
with open("kept.d7ori", "w", encoding="utf8") as f:
    f.write("old text")
tree = D({"sub": D()})
tree["sub"]["book"] = book
out = {
    "str": outcome(lambda: str(book)),
    "save": outcome(lambda: book.save("kept")),
    "tree_save": outcome(lambda: tree.save("tree")),
}
with open("kept.d7ori", encoding="utf8") as f:
    out["kept"] = f.read()
out["leftovers"] = sorted(os.listdir("."))
print(json.dumps(out))
""", value, tmp_path)
    assert result.pop("kept") == "old text"
    # Nothing but the untouched file stays behind: the tree save fails
    # before anything on disk changes.
    assert result.pop("leftovers") == ["kept.d7ori"]
    assert set(result.values()) <= ENCODER, result
    if value.startswith("deep"):
        assert set(result.values()) == RECURSION, result


def test_deep_directory_tree_in_memory(tmp_path):
    result = run_json("""
root, node = chain(D, "d", 100_000)
node["b"] = B(values={"v": 1})
out = {
    "clone": outcome(root.clone),
    "constructor": outcome(lambda: D({"r": root})),
    "save": outcome(lambda: root.save("deep")),
}
print(json.dumps(out))
""", cwd=tmp_path)
    # Saving may also stop at the host's limit for path lengths.
    assert result.pop("save") in ("RecursionError", "OSError"), result
    assert set(result.values()) == RECURSION, result


@needs_folder_handles
def test_deep_directory_tree_on_disk(tmp_path):
    """A folder tree deeper than the nesting of C calls allows (made and
    removed through folder handles, since its paths are too long)."""
    result = run_json("""
def make(depth):
    fd = os.open(".", os.O_RDONLY)
    os.mkdir("deep")
    fds = [fd]
    fd = os.open("deep", os.O_RDONLY, dir_fd=fd)
    for i in range(depth):
        fds.append(fd)
        os.mkdir("a", dir_fd=fd)
        if i == depth // 2:
            with open(os.open("b.d7ori", os.O_WRONLY | os.O_CREAT, dir_fd=fd), "w") as f:
                f.write("[]")
        fd = os.open("a", os.O_RDONLY, dir_fd=fd)
    fds.append(fd)
    return fds
def remove(fds):
    # Bottom up: each level holds at most the folder "a" and "b.d7ori".
    for parent in reversed(fds[1:-1]):
        for name in os.listdir(parent):
            if name == "a":
                os.rmdir("a", dir_fd=parent)
            else:
                os.unlink(name, dir_fd=parent)
    for fd in fds:
        os.close(fd)
fds = make(2200)
out = {"load": outcome(lambda: D.load("deep"))}
remove(fds)
os.rmdir("deep")
print(json.dumps(out))
""", cwd=tmp_path)
    # The nesting limit or the path length limit, whichever comes first.
    assert result["load"] in ("RecursionError", "OSError"), result


def test_deeply_nested_book_file(tmp_path):
    result = run_json("""
with open("deep.d7ori", "w") as f:
    f.write('[{"name": "a", "description": {"default": ""}, "attributes": {"v": ' + "[" * 100000 + "]" * 100000 + "}}]")
with open("array.d7ori", "w") as f:
    f.write("[" * 100000 + "]" * 100000)
os.mkdir("tree")
with open(os.path.join("tree", "x.d7ori"), "w") as f:
    f.write("[" * 100000 + "]" * 100000)
print(json.dumps({"value": outcome(lambda: B.load("deep.d7ori")),
                  "array": outcome(lambda: B.load("array.d7ori")),
                  "tree": outcome(lambda: D.load("tree"))}))
""", cwd=tmp_path)
    assert set(result.values()) == RECURSION, result


@pytest.mark.parametrize("value", ["deep_list", "looped_dict"])
def test_assertions_off(value, tmp_path):
    result = run_case("""
v = make()
book = B(values={"a": 1})
book.set_parameter_value("a", v)
print(json.dumps({"clone": outcome(lambda: m._clone_attribute(v)),
                  "from_dict": outcome(lambda: P.from_dict({"name": "n", "description": "d", "attributes": [("v", v)]})),
                  "str": outcome(lambda: str(book))}))
""", value, tmp_path, optimize=True)
    assert result["clone"] == result["from_dict"] == "RecursionError"
    assert result["str"] in ENCODER
