"""A read writes no file, not even a temporary one: the one-pass listing sorts the rows of all
listed runs, and past SQLite's in-memory sorter limit that sort would spill into a file of the
temporary folder, failing on a healthy store when that folder is full or files may not be written.
"""

import json
import os
import resource
import signal
import subprocess
import sys
from pathlib import Path

import pytest

import publish
from publish.constants import PLATFORM_NAMES
from publish.historystore import Entry, Item, Run, write_runs

PACKAGE_ROOT = Path(publish.__file__).absolute().parent.parent

# Lists the store in a child whose files are limited by the caller; prints the record as JSON.
LIST = """
import json, sys
from publish.runlens import HistoryReader
print(json.dumps(HistoryReader(sys.argv[1]).list_runs(20), ensure_ascii=False))
"""

# The same spilling sort through sqlite3 with temporary files allowed: shows that the limits
# really refuse a temporary file, so that the listing's success means it wrote none.
SPILL = """
import sqlite3, sys
con = sqlite3.connect(sys.argv[1])
con.execute("PRAGMA temp_store=FILE")
con.execute("SELECT e.* FROM entries AS e ORDER BY e.result, e.rowid").fetchall()
"""


@pytest.fixture(scope="module")
def big_store(tmp_path_factory):
    """20 runs of 60 items x 8 platforms, with long stored results and no index: the listing's
    sort holds several megabytes."""
    path = tmp_path_factory.mktemp("big") / "history.sqlite3"
    platforms = list(PLATFORM_NAMES)
    runs = []
    for r in range(20):
        items = [Item.video(f"/v/{r}-{i}.mp4", platforms, title=f"第{i}个") for i in range(60)]
        entries = {(i, p): Entry.failure("NET_TIMEOUT", f"{r}-{i}-{p} " + "网络超时，稍后重试" * 20, retry=True)
                   for i in range(60) for p in platforms}
        runs.append(Run(items, entries=entries))
    write_runs(path, runs)
    assert path.stat().st_size > 3 * 2 ** 20
    return path


def unwritable_folder(tmp_path):
    """A folder in which no file can be made: read-only by its mode, or, for root, whom modes do
    not stop, one of a read-only file system."""
    folder = tmp_path / "read-only"
    folder.mkdir()
    folder.chmod(0o500)
    for candidate in (folder, Path("/sys"), Path("/proc/sys")):
        try:
            (candidate / "kamo-probe").write_bytes(b"")
        except OSError:
            return candidate
        (candidate / "kamo-probe").unlink()
    pytest.skip("no folder here refuses new files")


def limit_file_size():
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # a write past the limit fails with EFBIG instead
    resource.setrlimit(resource.RLIMIT_FSIZE, (2 ** 20, 2 ** 20))


def child(code, store, env=None, limit=None):
    return subprocess.run([sys.executable, "-c", code, str(store)], capture_output=True, text=True,
                          timeout=300, preexec_fn=limit,
                          env=dict(os.environ, PYTHONPATH=str(PACKAGE_ROOT), **(env or {})))


@pytest.mark.parametrize("restriction", ["file size of 1 MiB", "read-only temporary folder"])
def test_listing_that_would_spill_writes_no_temporary_file(big_store, tmp_path, restriction):
    if restriction == "file size of 1 MiB":
        env, limit = None, limit_file_size
    else:
        folder = unwritable_folder(tmp_path)
        env, limit = {"SQLITE_TMPDIR": str(folder), "TMPDIR": str(folder)}, None
    before = big_store.read_bytes()
    free = child(LIST, big_store)
    assert free.returncode == 0, free.stderr
    record = json.loads(free.stdout)
    assert record["total"] == 20 and len(record["runs"]) == 20
    assert child(SPILL, big_store, env, limit).returncode != 0, "the restriction lets a temporary file be written"
    restricted = child(LIST, big_store, env, limit)
    assert restricted.returncode == 0, restricted.stderr
    assert json.loads(restricted.stdout) == record
    assert big_store.read_bytes() == before
