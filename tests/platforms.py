"""What the host platform offers the tests, in one place: skip markers for
the tests that need a POSIX feature, and the bytes a text-mode save leaves."""
import os
import tempfile

import pytest


def _can_symlink():
    if not hasattr(os, "symlink"):
        return False
    with tempfile.TemporaryDirectory() as d:
        try:
            os.symlink("target", os.path.join(d, "link"))
        except (OSError, NotImplementedError):
            return False  # Windows without the privilege or developer mode
    return True


HAS_SYMLINKS = _can_symlink()
HAS_FIFOS = hasattr(os, "mkfifo")

# Each marker skips a test on a host that lacks what the test builds.
needs_symlinks = pytest.mark.skipif(not HAS_SYMLINKS, reason="no symbolic links on this host")
needs_fifos = pytest.mark.skipif(not HAS_FIFOS, reason="no named pipes in the file system")
needs_folder_handles = pytest.mark.skipif(not {os.open, os.mkdir} <= os.supports_dir_fd,
                                          reason="no paths relative to folder handles here")
needs_posix_names = pytest.mark.skipif(os.name != "posix", reason="file names are bytes only on POSIX hosts")
needs_fork = pytest.mark.skipif(not hasattr(os, "fork"), reason="no fork() on this host")
needs_posix_modes = pytest.mark.skipif(os.name != "posix", reason="chmod sets only the read-only flag here")
# locale.getdefaultlocale reads LC_ALL, LC_CTYPE, LANG and LANGUAGE only
# where the interpreter has no native default (not on Windows).
needs_locale_variables = pytest.mark.skipif(os.name == "nt", reason="the default locale ignores LC_ALL and LANG here")


def on_disk(text):
    """The bytes a save writes for `text`: UTF-8, each line end the platform's."""
    return text.replace("\n", os.linesep).encode("utf-8")
