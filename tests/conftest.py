import contextlib
import os
import shutil
import stat
import tempfile
from pathlib import Path
import sys

import pytest
from hypothesis import settings

from publish.historystore import demo_store

# Every Hypothesis test draws the same cases on every run (a seed fixed per test), so CI cannot
# pass or fail by chance; KAMO_HYPOTHESIS=random draws new ones, and a failure prints how to
# replay it.
settings.register_profile("fixed", derandomize=True)
settings.register_profile("random", derandomize=False)
settings.load_profile(os.environ.get("KAMO_HYPOTHESIS") or "fixed")


def pytest_collection_modifyitems(config, items):
    """Soak tests run for many seconds of wall-clock time, so they are skipped unless a -m
    expression names them (`-m soak`); .ci/run runs them once, on one interpreter."""
    if "soak" in (config.getoption("markexpr") or ""):
        return
    skip = pytest.mark.skip(reason="soak test: run it with -m soak")
    for item in items:
        if item.get_closest_marker("soak"):
            item.add_marker(skip)


@pytest.fixture
def store(tmp_path):
    """A healthy demo store of four runs."""
    path = tmp_path / "history.sqlite3"
    demo_store(path)
    return path


def folder_state(folder):
    """Every entry under folder: its kind, and for regular files their bytes and mtime."""
    state = {}
    for root, dirs, files in os.walk(folder):
        for name in dirs + files:
            path = os.path.join(root, name)
            st = os.lstat(path)
            if stat.S_ISREG(st.st_mode):
                with open(path, "rb") as f:
                    state[path] = ("file", f.read(), st.st_mtime_ns)
            else:
                state[path] = (stat.S_IFMT(st.st_mode), None, None)
    return state


@pytest.fixture
def digit_limit():
    """`digit_limit(n)` sets Python's limit on integer string digits (0: none) for one test."""
    saved = sys.get_int_max_str_digits()
    yield sys.set_int_max_str_digits
    sys.set_int_max_str_digits(saved)


@pytest.fixture
def unchanged():
    """`with unchanged(folder):` fails when the body adds, removes or alters anything under it."""
    @contextlib.contextmanager
    def watch(folder):
        before = folder_state(folder)
        yield
        assert folder_state(folder) == before
    return watch


@pytest.fixture
def open_folder():
    """A folder anyone may enter and list but only its owner may change."""
    folder = Path(tempfile.mkdtemp())
    folder.chmod(0o755)
    yield folder
    for root, dirs, _ in os.walk(folder):
        for name in dirs:
            os.chmod(os.path.join(root, name), 0o755)
    shutil.rmtree(folder)
