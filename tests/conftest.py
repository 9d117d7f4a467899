import os
import shutil
import tempfile

import pytest

import r7u_razarozu


@pytest.fixture
def namespace():
    """The module's namespace, restored whole and in order afterwards (a
    name deleted and put back would otherwise move to the end)."""
    ns = vars(r7u_razarozu)
    saved = dict(ns)
    yield ns
    ns.clear()
    ns.update(saved)


@pytest.fixture
def rebind():
    """Rebinds module-level names for one test and puts them back."""
    saved = {}

    def set_(name, value):
        saved.setdefault(name, getattr(r7u_razarozu, name))
        setattr(r7u_razarozu, name, value)

    yield set_
    for name, value in saved.items():
        setattr(r7u_razarozu, name, value)


@pytest.fixture
def open_dir():
    """A folder outside pytest's private tree, so that another user can reach it."""
    d = tempfile.mkdtemp(prefix="r7u-book-")
    os.chmod(d, 0o755)
    yield d
    for dirpath, dirnames, _ in os.walk(d):
        for n in dirnames:
            os.chmod(os.path.join(dirpath, n), 0o755)
    shutil.rmtree(d)
