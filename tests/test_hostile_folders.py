"""Unsafe or hostile folder content for ParameterDirectory.load (and a save
into such a folder): links that loop, the longest file names, names with
spaces, other scripts and bytes that are not UTF-8, entries that are not
what their names say, files nobody may read. Each ends in a correct result
or an ordinary exception, never a hang or a crash; every case runs in a
child interpreter."""
import json
import os
import shutil
import sys

import pytest

from childrun import run_json
from platforms import needs_fifos, needs_posix_names, needs_symlinks

# Output of the child: the loaded tree as nested dicts, books as the sorted
# names of their parameters, or the exception's type and errno.
HELPERS = """
def shape(item):
    if isinstance(item, D):
        return {name: shape(child) for name, child in item.items()}
    return sorted(item.names())

def attempt(fn):
    try:
        return {"result": fn()}
    except (AssertionError, TypeError, ValueError, KeyError, OSError, RecursionError) as e:
        return {"error": type(e).__name__, "errno": getattr(e, "errno", None)}

def book(path, *names):
    with open(path, "w", encoding="utf8") as f:
        f.write(json.dumps([{"name": n, "description": {"default": ""}, "attributes": {"value": 1}} for n in names]))

def depth(shape_, name):
    n = 0
    while isinstance(shape_, dict) and name in shape_:
        shape_ = shape_[name]
        n += 1
    return n
"""

ORDINARY = {"AssertionError", "TypeError", "ValueError", "KeyError", "OSError", "RecursionError",
            "PermissionError", "FileNotFoundError", "NotADirectoryError", "IsADirectoryError",
            "FileExistsError", "UnicodeDecodeError", "UnicodeEncodeError", "JSONDecodeError"}
# A folder that loops back is either walked as far as the host resolves
# links (40 links per path on this platform) or refused.
LOOP_BOUND = 64
# Only a guard: the cases below finish in well under a second each.
HANG = 120


def child(code, tmp_path, **kwargs):
    return run_json(HELPERS + code, cwd=tmp_path, timeout=HANG, **kwargs)


@needs_symlinks
def test_link_to_its_own_folder(tmp_path):
    out = child("""
os.mkdir("t")
book("t/a.d7ori", "x")
os.symlink(".", "t/loop")
r = attempt(lambda: shape(D.load("t")))
if "result" in r:
    r["depth"] = depth(r["result"], "loop")
    r.pop("result")
print(json.dumps(r))
""", tmp_path)
    if "error" in out:
        assert out["error"] in ORDINARY and out["errno"] is not None, out
    else:
        assert 1 <= out["depth"] <= LOOP_BOUND, out


@needs_symlinks
def test_two_links_that_loop(tmp_path):
    """Two ways back into the same folder: a walk that follows every link
    up to the host's limit would visit 2**40 folders."""
    out = child("""
os.mkdir("t")
book("t/a.d7ori", "x")
os.symlink(".", "t/one")
os.symlink(".", "t/two")
os.mkdir("t/sub")
os.symlink("..", "t/sub/up")
r = attempt(lambda: shape(D.load("t")))
r.pop("result", None)
print(json.dumps(r))
""", tmp_path)
    assert out.get("error", "OSError") in ORDINARY, out


@needs_symlinks
def test_links_that_go_nowhere(tmp_path):
    out = child("""
os.mkdir("t")
book("t/a.d7ori", "x")
os.symlink("self.d7ori", "t/self.d7ori")        # resolves to itself
os.symlink("missing", "t/dangling.d7ori")
os.symlink("missing", "t/dangling")
os.symlink("a.d7ori", "t/alias.d7ori")           # a second name for a book file
os.mkdir("real")
book("real/b.d7ori", "y")
os.symlink(os.path.abspath("real"), "t/linked")  # a folder elsewhere
print(json.dumps(attempt(lambda: shape(D.load("t")))))
""", tmp_path)
    assert out == {"result": {"a": ["x"], "alias": ["x"], "linked": {"b": ["y"]}}}


@needs_posix_names
@pytest.mark.parametrize("name", ["a" * 249, "é" * 124, "中" * 83],
                         ids=["ascii", "two-byte", "three-byte"])
def test_longest_file_names(name, tmp_path):
    encoded = len((name + ".d7ori").encode())
    assert 250 <= encoded <= 255
    out = child(f"""
name = {name!r}
os.mkdir("t")
book(os.path.join("t", name + ".d7ori"), "x")
os.mkdir(os.path.join("t", name + "x" * (255 - len((name + ".d7ori").encode()))))
loaded = attempt(lambda: shape(D.load("t")))
tree = D.load("t")
# Loaded, but its backup name would not fit: refused before anything changes.
refused = attempt(lambda: tree.save("copy"))
exists = os.path.exists("copy")
short = name if len((name + ".d7ori-").encode()) <= 255 else name[:-1]
tree.rename(name, short)
saved = attempt(lambda: tree.save("copy"))
again = attempt(lambda: shape(D.load("copy")))
tree[name + "é"] = B(values={{"v": 1}})
too_long = attempt(lambda: tree.save("copy"))
print(json.dumps({{"loaded": loaded, "refused": refused, "exists": exists, "saved": saved, "again": again,
                  "too_long": too_long, "short": short, "files": sorted(os.listdir("copy"))}}))
""", tmp_path)
    assert out["loaded"]["result"][name] == ["x"]
    if encoded + 1 > 255:
        assert out["refused"]["error"] == "ValueError" and not out["exists"], out
    else:
        assert out["refused"] == {"result": None}
    assert out["saved"] == {"result": None}
    assert out["again"]["result"][out["short"]] == ["x"]
    assert out["too_long"]["error"] == "ValueError", out
    assert out["short"] + ".d7ori" in out["files"]
    assert not [f for f in out["files"] if f.endswith("-")], "a backup was left behind"


@needs_posix_names
def test_names_with_spaces_and_other_scripts(tmp_path):
    names = ["a b", " lead", "trail ", "ä ö ü", "中文 名", "Ελληνικά", "emoji 🙂", "tab\there", "new\nline"]
    out = child(f"""
names = {names!r}
os.mkdir("t")
for i, name in enumerate(names):
    book(os.path.join("t", name + ".d7ori"), name)
    os.mkdir(os.path.join("t", "dir " + name))
loaded = attempt(lambda: shape(D.load("t")))
D.load("t").save("copy")
print(json.dumps({{"loaded": loaded, "again": attempt(lambda: shape(D.load("copy"))),
                  "files": sorted(os.listdir("copy"))}}))
""", tmp_path)
    expected = {name: [name] for name in names}
    expected.update({"dir " + name: {} for name in names})
    assert out["loaded"] == {"result": expected}
    assert out["again"] == out["loaded"]
    assert out["files"] == sorted([n + ".d7ori" for n in names] + ["dir " + n for n in names])


@needs_posix_names
def test_names_that_are_not_utf8(tmp_path):
    out = child("""
os.mkdir("t")
book(os.fsdecode(b"t/\\xff\\xfe.d7ori"), "x")
os.mkdir(os.fsdecode(b"t/dir\\xff"))
tree = D.load("t")
names = sorted(tree.names())
saved = attempt(lambda: tree.save("copy"))
print(json.dumps({"names": [os.fsencode(n).hex() for n in names], "saved": saved,
                  "files": sorted(os.fsencode(n).hex() for n in os.listdir("copy"))}))
""", tmp_path)
    assert sorted(out["names"]) == sorted([b"\xff\xfe".hex(), b"dir\xff".hex()])
    assert out["saved"] == {"result": None}
    assert out["files"] == sorted([b"\xff\xfe.d7ori".hex(), b"dir\xff".hex()])


@needs_fifos
def test_entries_that_are_not_what_their_names_say(tmp_path):
    out = child("""
os.mkdir("t")
os.mkdir("t/folder.d7ori")                  # a book name on a folder
book("t/folder.d7ori/inner.d7ori", "x")
os.mkfifo("t/pipe.d7ori")                   # reading it would wait for a writer
book("t/book", "y")                         # a book without its extension
book("t/old.d7ori-", "z")                   # a backup
with open("t/d7ori", "w") as f:             # the bare extension
    f.write("[]")
book("t/_ParameterDirectory__parameters.d7ori", "w")
r = {"tree": attempt(lambda: shape(D.load("t"))),
     "book_on_folder": attempt(lambda: B.load("t/folder.d7ori")),
     "folder_on_book": attempt(lambda: D.load("t/_ParameterDirectory__parameters.d7ori"))}
print(json.dumps(r))
""", tmp_path)
    assert out["tree"] == {"result": {"folder.d7ori": {"inner": ["x"]},
                                      "_ParameterDirectory__parameters": ["w"]}}
    assert out["book_on_folder"]["error"] in ("AssertionError", "IsADirectoryError")
    assert out["folder_on_book"]["error"] == "NotADirectoryError"


@needs_fifos
def test_save_into_a_folder_with_a_pipe_where_a_book_goes(tmp_path):
    """Opening a pipe for writing waits for a reader: the save must not."""
    out = child("""
os.mkdir("t")
os.mkfifo("t/a.d7ori")
tree = D({"a": B(values={"v": 1})})
r = attempt(lambda: tree.save("t"))
r["kind"] = "file" if os.path.isfile("t/a.d7ori") else "other"
print(json.dumps(r))
""", tmp_path)
    assert out.get("error", "OSError") in ORDINARY, out


@needs_symlinks
@pytest.mark.skipif(not os.path.exists("/proc/self/mem"), reason="needs /proc/self/mem")
def test_a_book_file_that_cannot_be_read(tmp_path):
    """/proc/self/mem is a regular file whose first page nobody can read,
    root included."""
    out = child("""
os.mkdir("t")
book("t/a.d7ori", "x")
os.symlink("/proc/self/mem", "t/b.d7ori")
print(json.dumps({"tree": attempt(lambda: D.load("t")), "book": attempt(lambda: B.load("t/b.d7ori"))}))
""", tmp_path)
    assert out["tree"] == {"error": "OSError", "errno": 5}
    assert out["book"] == {"error": "OSError", "errno": 5}


def _can_drop_privileges():
    return hasattr(os, "setuid") and (os.geteuid() != 0 or _nobody() is not None)


def _nobody():
    try:
        import pwd
        return pwd.getpwnam("nobody").pw_uid
    except (ImportError, KeyError):
        return None


@pytest.mark.skipif(not _can_drop_privileges(), reason="needs a user without root's rights")
def test_files_and_folders_without_permission():
    """Permission bits do not stop root: the child gives up root (as the
    user nobody) before it loads."""
    import tempfile
    work = tempfile.mkdtemp(prefix="r7u-perm-")
    try:
        os.chmod(work, 0o755)
        out = run_json(HELPERS + f"""
import pwd
os.chdir({work!r})
os.mkdir("t")
book("t/a.d7ori", "x")
os.chmod("t/a.d7ori", 0)
os.mkdir("u")
os.mkdir("u/closed")
os.chmod("u/closed", 0)
for p in ("t", "u"):
    os.chmod(p, 0o755)
if os.geteuid() == 0:
    nobody = pwd.getpwnam("nobody")
    os.setgroups([])
    os.setgid(nobody.pw_gid)
    os.setuid(nobody.pw_uid)
print(json.dumps({{"file": attempt(lambda: D.load("t")), "folder": attempt(lambda: D.load("u")),
                  "save": attempt(lambda: D({{"a": B()}}).save("t"))}}))
""", timeout=HANG)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    assert out["file"] == {"error": "PermissionError", "errno": 13}
    assert out["folder"] == {"error": "PermissionError", "errno": 13}
    assert out["save"]["error"] == "PermissionError"
