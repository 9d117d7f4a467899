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
