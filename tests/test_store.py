"""Store access: a read never changes the store, never creates a file, never blocks for long,
and fails only with a HistoryError (or TypeError/ValueError for an argument that is no path)."""

import errno
import json
import os
import random
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import publish
from publish.historystore import (
    COLUMNS, Item, RawText, Run, create_store, demo_runs, demo_store, write_raw_account,
    write_raw_entry, write_raw_run, write_run,
)
from publish.runlens import HistoryError, HistoryReader
from stores import another_process_holding, hot_journal

PACKAGE_ROOT = Path(publish.__file__).absolute().parent.parent

DATA_ACTION = "检查 run_id 与原发布记录；先用原账号核对平台作品，不改写或自动重发"
IO = ("RUN-005", "无法只读查询发布记录",
      "若有发布进程请等待其结束；检查数据目录权限和数据库日志，保留原文件，不删除或强制恢复日志")
LAYOUT = ("RUN-003", "发布记录结构不受支持或已损坏", DATA_ACTION)
NOT_FOUND = ("RUN-003", "未找到发布记录", DATA_ACTION)

DEMO_IDS = [run.run_id for run in demo_runs()]
NEWEST_FIRST = DEMO_IDS[::-1]

# SQLite result codes the causes carry.
BUSY, CORRUPT, NOTADB = sqlite3.SQLITE_BUSY, sqlite3.SQLITE_CORRUPT, sqlite3.SQLITE_NOTADB
READONLY_ROLLBACK, ERROR = sqlite3.SQLITE_READONLY_ROLLBACK, sqlite3.SQLITE_ERROR


def schema_of(reader):
    with reader._connection() as conn:
        return HistoryReader._schema(conn)


# Every way in to the store; each must fail the same way on the same file.
READS = {
    "list_runs": lambda r: r.list_runs(),
    "get_run": lambda r: r.get_run(DEMO_IDS[0]),
    "_schema": schema_of,
}


def os_cause(number):
    return ("os", number)


def sqlite_cause(code, kind=sqlite3.Error):
    return ("sqlite", code, kind)


def check_error(err, expected, cause=None):
    assert type(err) is HistoryError
    assert (err.code, err.message, err.action, str(err)) == (*expected, expected[1])
    got = err.__cause__
    if cause is None:
        assert got is None
    elif cause[0] == "os":
        # The subclass OSError itself picks for the number (FileNotFoundError...).
        assert type(got) is type(OSError(cause[1], "")) and got.errno == cause[1]
    else:
        assert isinstance(got, cause[2]) and got.sqlite_errorcode == cause[1]


def fails(read, reader, expected, cause=None):
    with pytest.raises(HistoryError) as info:
        read(reader)
    check_error(info.value, expected, cause)
    return info.value


def writable_now(path):
    """Commit a write without waiting: fails while any reader still holds the file."""
    con = sqlite3.connect(path, timeout=0)
    try:
        with con:
            con.execute("CREATE TABLE IF NOT EXISTS probe (x)")
            con.execute("INSERT INTO probe VALUES (1)")
    finally:
        con.close()


def lockable_now(path):
    """Take the exclusive lock without waiting and without reading the schema."""
    con = sqlite3.connect(path, timeout=0, isolation_level=None)
    try:
        con.execute("BEGIN EXCLUSIVE")
        con.execute("ROLLBACK")
    finally:
        con.close()


def make_store(path, tables):
    con = sqlite3.connect(path)
    try:
        with con:
            for table, columns in tables.items():
                con.execute(f"CREATE TABLE {table} ({', '.join(columns)})")
    finally:
        con.close()


# --- a missing store ----------------------------------------------------------------------

@pytest.mark.parametrize("where", ["file", "folder", "dangling link"])
def test_missing_store_is_absent_and_never_created(tmp_path, unchanged, where):
    path = tmp_path / "history.sqlite3"
    if where == "folder":
        path = tmp_path / "gone" / "history.sqlite3"
    elif where == "dangling link":
        path.symlink_to(tmp_path / "target.sqlite3")
    reader = HistoryReader(path)
    with unchanged(tmp_path):
        assert reader._exists() is False
        assert reader.list_runs(7) == {"database_present": False, "total": 0, "limit": 7,
                                       "order": "insertion_desc", "runs": []}
        fails(lambda r: r.get_run(DEMO_IDS[0]), reader, NOT_FOUND)
        fails(schema_of, reader, IO, os_cause(errno.ENOENT))


def test_exists_failure_other_than_missing(tmp_path, unchanged):
    (tmp_path / "plain").write_bytes(b"")
    reader = HistoryReader(tmp_path / "plain" / "history.sqlite3")
    with unchanged(tmp_path):
        for read in [lambda r: r._exists(), *READS.values()]:
            fails(read, reader, IO, os_cause(errno.ENOTDIR))


# --- what sits at the path ----------------------------------------------------------------

def cut_short(path):
    demo_store(path)
    path.write_bytes(path.read_bytes()[:1024])


def with_header_bytes(path, b18, b19):
    data = bytearray(path.read_bytes())
    data[18:20] = bytes([b18, b19])
    path.write_bytes(bytes(data))


def demo_then(change):
    """The demo store, then change(path) done to it."""
    def make(path):
        demo_store(path)
        change(path)
    return make


def wal_store(path):
    con = sqlite3.connect(path)
    try:
        con.execute("PRAGMA journal_mode=WAL")
        write_run(path, Run([Item.video()]))
    finally:
        con.close()
    assert path.read_bytes()[18:20] == b"\x02\x02"
    assert sorted(os.listdir(path.parent)) == ["history.sqlite3"]


def side_files(*suffixes):
    return demo_then(lambda p: [Path(f"{p}{suffix}").write_bytes(b"") for suffix in suffixes])


# What may sit at the store's path, and how every read fails on it. A header other than a
# rollback journal's (bytes 18 and 19 both 1), or too short to show one, is refused before any
# statement runs: no engine cause, and no -wal or -shm file left behind.
FILES = {
    "empty": (lambda p: p.write_bytes(b""), LAYOUT, None),
    "random bytes": (lambda p: p.write_bytes(random.Random(0).randbytes(4096)),
                     IO, sqlite_cause(NOTADB, sqlite3.DatabaseError)),
    "cut short": (cut_short, IO, sqlite_cause(CORRUPT, sqlite3.DatabaseError)),
    "directory": (lambda p: p.mkdir(), IO, os_cause(errno.EISDIR)),
    **{f"header bytes {b18} {b19}": (demo_then(lambda p, b=(b18, b19): with_header_bytes(p, *b)), IO, None)
       for b18, b19 in [(2, 2), (1, 2), (2, 1), (0, 0)]},
    **{f"header cut to {size} bytes": (demo_then(lambda p, n=size: p.write_bytes(p.read_bytes()[:n])), IO, None)
       for size in [16, 18, 19]},
    "WAL store": (wal_store, IO, None),
    "-wal beside it": (side_files("-wal"), IO, None),
    "-shm beside it": (side_files("-shm"), IO, None),
    "-wal and -shm beside it": (side_files("-wal", "-shm"), IO, None),
    "journal directory": (demo_then(lambda p: Path(f"{p}-journal").mkdir()), IO, os_cause(errno.EISDIR)),
}


@pytest.mark.parametrize("read", READS)
@pytest.mark.parametrize("kind", FILES)
def test_what_sits_at_the_path(tmp_path, unchanged, kind, read):
    make, expected, cause = FILES[kind]
    path = tmp_path / "history.sqlite3"
    make(path)
    with unchanged(tmp_path):
        fails(READS[read], HistoryReader(path), expected, cause)


def finishes(call, fifo):
    """The error call() raises; fails if it is still blocked after 10 s (then unblocks it)."""
    box = []

    def run():
        try:
            call()
        except BaseException as exc:  # handed to the test thread
            box.append(exc)
        else:
            box.append(None)

    worker = threading.Thread(target=run, daemon=True)
    worker.start()
    worker.join(10)
    blocked = worker.is_alive()
    if blocked:
        os.close(os.open(fifo, os.O_WRONLY | os.O_NONBLOCK))  # lets a blocked open return
        worker.join()
    assert not blocked, "the read blocked on a FIFO"
    return box[0]


@pytest.mark.parametrize("read", READS)
@pytest.mark.parametrize("suffix", ["", "-journal"])
def test_fifo_never_blocks(tmp_path, unchanged, suffix, read):
    path = tmp_path / "history.sqlite3"
    if suffix:
        demo_store(path)
    fifo = Path(f"{path}{suffix}")
    os.mkfifo(fifo)
    with unchanged(tmp_path):
        err = finishes(lambda: READS[read](HistoryReader(path)), fifo)
        check_error(err, IO, os_cause(errno.EINVAL))


def test_side_files_of_the_linked_file_count(tmp_path, store, unchanged):
    link = tmp_path / "link.sqlite3"
    link.symlink_to(store)
    Path(f"{store}-wal").write_bytes(b"")
    with unchanged(tmp_path):
        for read in READS.values():
            fails(read, HistoryReader(link), IO)


# --- journals -----------------------------------------------------------------------------

def test_hot_journal_refused_and_left(store, unchanged):
    hot_journal(store)
    journal = Path(f"{store}-journal").read_bytes()
    assert len(journal) > 512 and journal[:8] == bytes.fromhex("d9d505f920a163d7")
    with unchanged(store.parent):
        for read in READS.values():
            fails(read, HistoryReader(store), IO,
                  sqlite_cause(READONLY_ROLLBACK, sqlite3.OperationalError))


def test_empty_journal_is_not_hot_and_stays(store, unchanged):
    Path(f"{store}-journal").write_bytes(b"")
    with unchanged(store.parent):
        assert [r["run_id"] for r in HistoryReader(store).list_runs()["runs"]] == NEWEST_FIRST


# --- permissions, as an unprivileged user -------------------------------------------------

AS_OTHER_USER = """
import json, os, sqlite3, sys
from publish.runlens import HistoryError, HistoryReader
# Imports first: the interpreter may live where the other user cannot read.
if os.geteuid() == 0:
    os.setgroups([])
    os.setgid(65534)
    os.setuid(65534)
try:
    out = {"total": HistoryReader(sys.argv[1]).list_runs()["total"]}
except HistoryError as err:
    cause = err.__cause__
    out = {"code": err.code, "message": err.message, "cause": type(cause).__name__,
           "errno": getattr(cause, "errno", None)}
print(json.dumps(out))
"""


def read_as_nobody(path):
    """list_runs in a child that drops to user nobody when run as root."""
    done = subprocess.run(
        [sys.executable, "-c", AS_OTHER_USER, os.fspath(path)], capture_output=True, text=True,
        check=True, timeout=60, cwd="/",
        env=dict(os.environ, PYTHONPATH=str(PACKAGE_ROOT), PYTHONDONTWRITEBYTECODE="1"))
    return json.loads(done.stdout)


def test_read_needs_no_write_access(open_folder, unchanged):
    path = open_folder / "history.sqlite3"
    demo_store(path)
    path.chmod(0o644)
    with unchanged(open_folder):
        assert read_as_nobody(path) == {"total": 4}


@pytest.mark.parametrize("lock", ["file", "folder"])
def test_no_permission(open_folder, unchanged, lock):
    inner = open_folder / "data"
    inner.mkdir()
    path = inner / "history.sqlite3"
    demo_store(path)
    (path if lock == "file" else inner).chmod(0)
    with unchanged(open_folder):
        assert read_as_nobody(path) == {"code": IO[0], "message": IO[1],
                                        "cause": "PermissionError", "errno": errno.EACCES}


# --- layout -------------------------------------------------------------------------------

def without(table, column=None):
    return {t: [c for c in cols if c != column or t != table]
            for t, cols in COLUMNS.items() if column is not None or t != table}


LAYOUT_FAULTS = [(t, c) for t, cols in COLUMNS.items() for c in cols] + [("runs", None),
                                                                         ("entries", None)]


@pytest.mark.parametrize("table, column", LAYOUT_FAULTS)
def test_missing_table_or_column(tmp_path, unchanged, table, column):
    path = tmp_path / "history.sqlite3"
    make_store(path, without(table, column))
    with unchanged(tmp_path):
        for read in READS.values():
            fails(read, HistoryReader(path), LAYOUT)


@pytest.mark.parametrize("extra", [False, True])
@pytest.mark.parametrize("accounts", [True, False])
def test_accepted_layouts(tmp_path, unchanged, accounts, extra):
    path = tmp_path / "history.sqlite3"
    create_store(path, accounts=accounts, extra=extra)
    if extra:
        con = sqlite3.connect(path)
        try:
            with con:
                con.execute("CREATE TABLE notes (run_id, text)")
                con.execute("CREATE VIEW newest AS SELECT run_id FROM runs")
                con.execute("CREATE INDEX by_run ON entries (run_id)")
        finally:
            con.close()
    run_id = write_run(path, Run([Item.video()]))
    reader = HistoryReader(path)
    with unchanged(tmp_path):
        assert schema_of(reader) is accounts
        assert [r["run_id"] for r in reader.list_runs()["runs"]] == [run_id]
        assert reader.get_run(run_id)["run_id"] == run_id


# --- cell contents ------------------------------------------------------------------------

def bad_run_id(path):
    write_raw_run(path, run_id=RawText(b"run-\xff"), version=2, snapshot="[]", fingerprints="{}")


def bad_snapshot(path):
    write_raw_run(path, run_id="7c4a0f9e-1d2b-4c3a-8e5f-6a7b8c9d0e1f", version=2,
                  snapshot=RawText(b'[{"title": "\xe6\x97"}]'), fingerprints="{}")


def bad_state(path):
    run_id = write_run(path, Run([Item.video()], entries={(0, "douyin"): None}))
    write_raw_entry(path, run_id=run_id, item_index=0, platform="douyin",
                    state=RawText(b"succ\xe9ss"), result=None, retryable=0)


def bad_identity(path):
    run_id = write_run(path, Run([Item.video()], accounts=[]))
    write_raw_account(path, run_id=run_id, platform="douyin",
                      account_file="/home/demo/.kamo/accounts/douyin.json",
                      identity=RawText(b"sha256-v1:\xc0\x80"))


@pytest.mark.parametrize("write_bad", [bad_run_id, bad_snapshot, bad_state, bad_identity])
def test_invalid_utf8_text_is_an_engine_failure(store, unchanged, write_bad):
    write_bad(store)
    with unchanged(store.parent):
        fails(READS["list_runs"], HistoryReader(store), IO, sqlite_cause(ERROR))
    writable_now(store)  # the failed read let go of the file


def flip_schema_byte(path):
    """The stored CREATE TABLE text of runs with one byte turned into one that is not UTF-8."""
    data = bytearray(path.read_bytes())
    at = data.index(b"CREATE TABLE runs")
    data[at + 5] = 0xB6
    path.write_bytes(bytes(data))


@pytest.mark.parametrize("read", READS)
def test_damaged_schema_text_is_an_engine_failure_with_a_readable_cause(store, unchanged, read):
    flip_schema_byte(store)
    with unchanged(store.parent):
        err = fails(READS[read], HistoryReader(store), IO, sqlite_cause(CORRUPT, sqlite3.DatabaseError))
    # SQLite quotes the damaged bytes; they arrive as replacement characters.
    raw = b'malformed database schema (runs) - near "CREAT\xb6": syntax error'
    assert str(err.__cause__) == raw.decode("utf-8", "replace")
    lockable_now(store)  # Python's sqlite3 itself cannot word this schema's error to write


def test_non_utf8_path_in_a_file_system_cause(tmp_path, unchanged):
    folder = os.path.join(os.fsencode(tmp_path), b"\xff\xfe")
    store = os.path.join(folder, b"history.sqlite3")
    os.makedirs(store)  # a directory where the store should be
    with unchanged(tmp_path):
        for path in [store, os.fsdecode(store)]:
            for read in READS.values():
                err = fails(read, HistoryReader(path), IO, os_cause(errno.EISDIR))
                assert err.__cause__.filename == os.fsdecode(store)


def test_non_utf8_symlink_loop_names_its_path(tmp_path):
    a = os.path.join(os.fsencode(tmp_path), b"loop-\xff")
    os.symlink(a, a)
    with pytest.raises(RuntimeError) as info:
        schema_of(HistoryReader(a))
    assert type(info.value) is RuntimeError
    assert str(info.value) == f"Symlink loop from {os.fsdecode(a)!r}"


# --- concurrent writers -------------------------------------------------------------------

def test_exclusive_writer_fails_after_about_a_second(store, unchanged):
    with another_process_holding(store, "EXCLUSIVE"), unchanged(store.parent):
        for read in READS.values():
            start = time.monotonic()
            fails(read, HistoryReader(store), IO, sqlite_cause(BUSY, sqlite3.OperationalError))
            waited = time.monotonic() - start
            assert 0.5 <= waited < 10  # waited for the lock, then gave up: no hang


def test_reserved_writer_lets_the_read_through_unseen(store, unchanged):
    with another_process_holding(store, "IMMEDIATE"), unchanged(store.parent):
        reader = HistoryReader(store)
        listed = reader.list_runs()
        assert listed["total"] == 4
        assert [r["run_id"] for r in listed["runs"]] == NEWEST_FIRST
        assert reader.get_run(DEMO_IDS[2])["run_id"] == DEMO_IDS[2]
        assert schema_of(reader) is True


@pytest.mark.parametrize("read", READS)
def test_other_threads_run_while_waiting_for_a_lock(store, read):
    ticks = 0
    stop = threading.Event()

    def tick():
        nonlocal ticks
        while not stop.wait(0.005):
            ticks += 1

    with another_process_holding(store, "EXCLUSIVE"):
        ticker = threading.Thread(target=tick)
        ticker.start()
        try:
            before = ticks
            with pytest.raises(HistoryError):
                READS[read](HistoryReader(store))
            during = ticks - before
        finally:
            stop.set()
            ticker.join()
    # The wait lasts about a second; a held GIL would let the ticker wake once at most.
    assert during >= 20


# --- the scope ----------------------------------------------------------------------------

@pytest.mark.parametrize("make", [
    lambda: HistoryError("RUN-003", "发布记录不存在或已损坏", DATA_ACTION),
    lambda: ValueError("not a path"),
    lambda: KeyboardInterrupt(),
], ids=["HistoryError", "ValueError", "KeyboardInterrupt"])
def test_other_errors_in_the_body_pass_unchanged(store, make):
    err = make()
    with pytest.raises(type(err)) as info:
        with HistoryReader(store)._connection() as conn:
            assert HistoryReader._schema(conn) is True
            with pytest.raises(sqlite3.OperationalError):
                writable_now(store)  # held while the scope is open
            raise err
    assert info.value is err and err.__cause__ is None
    writable_now(store)


@pytest.mark.parametrize("make", [
    lambda: OSError(errno.EIO, "read failed"),
    lambda: FileNotFoundError(errno.ENOENT, "gone"),
    lambda: sqlite3.OperationalError("database is locked"),
    lambda: sqlite3.IntegrityError("constraint"),
], ids=["OSError", "FileNotFoundError", "OperationalError", "IntegrityError"])
def test_engine_and_file_errors_in_the_body_become_io(store, make):
    err = make()
    with pytest.raises(HistoryError) as info:
        with HistoryReader(store)._connection() as conn:
            HistoryReader._schema(conn)
            raise err
    assert (info.value.code, info.value.message, info.value.action) == IO
    assert info.value.__cause__ is err
    writable_now(store)


def test_entering_an_open_scope_is_refused(store):
    scope = HistoryReader(store)._connection()
    with scope as conn:
        with pytest.raises(ValueError):
            with scope:
                pass
        assert HistoryReader._schema(conn) is True  # the open block keeps its connection
    writable_now(store)
    with scope as again:  # once closed, it may be entered again
        assert HistoryReader._schema(again) is True
    writable_now(store)


def test_closed_scope_refuses_use(store):
    with HistoryReader(store)._connection() as conn:
        pass
    with pytest.raises(ValueError):
        HistoryReader._schema(conn)
    writable_now(store)


def test_symlink_loop(tmp_path, unchanged):
    a, b = tmp_path / "a", tmp_path / "b"
    a.symlink_to(b)
    b.symlink_to(a)
    reader = HistoryReader(a)
    with unchanged(tmp_path):
        for read in [lambda r: r._exists(), READS["list_runs"], READS["get_run"]]:
            fails(read, reader, IO, os_cause(errno.ELOOP))
        with pytest.raises(RuntimeError) as info:
            schema_of(reader)
        assert type(info.value) is RuntimeError


# --- paths --------------------------------------------------------------------------------

class FsPath:
    def __init__(self, path):
        self._path = path

    def __fspath__(self):
        return self._path


def relative(store, monkeypatch):
    monkeypatch.chdir(store.parent)
    return store.name


def file_link(store, monkeypatch):
    link = store.parent / "link.sqlite3"
    link.symlink_to(store)
    return link


def folder_link(store, monkeypatch):
    link = store.parent / "alias"
    link.symlink_to(store.parent, target_is_directory=True)
    return str(link / store.name)


PATHS = {
    "str": lambda s, m: str(s),
    "bytes": lambda s, m: os.fsencode(s),
    "Path": lambda s, m: s,
    "PathLike of str": lambda s, m: FsPath(str(s)),
    "PathLike of bytes": lambda s, m: FsPath(os.fsencode(s)),
    "relative": relative,
    "link to the file": file_link,
    "link to its folder": folder_link,
}


@pytest.mark.parametrize("kind", PATHS)
def test_path_forms_reach_the_store(store, monkeypatch, unchanged, kind):
    path = PATHS[kind](store, monkeypatch)
    reader = HistoryReader(path)
    assert reader.path is path
    with unchanged(store.parent):
        assert reader._exists() is True
        assert [r["run_id"] for r in reader.list_runs()["runs"]] == NEWEST_FIRST
        assert reader.get_run(DEMO_IDS[1])["run_id"] == DEMO_IDS[1]
        assert schema_of(reader) is True


def test_uri_characters_reach_that_file(tmp_path, unchanged):
    path = str(tmp_path / "d %41#?x" / "h %3F?mode=rw&cache=shared#x ü 名.sqlite3")
    os.mkdir(os.path.dirname(path))
    demo_store(path)
    # Empty stores wherever a misread URI would land.
    for decoy in {path.split("?")[0], path.split("#")[0], urllib.parse.unquote(path)}:
        os.makedirs(os.path.dirname(decoy), exist_ok=True)
        create_store(decoy)
    reader = HistoryReader(path)
    with unchanged(tmp_path):
        assert [r["run_id"] for r in reader.list_runs()["runs"]] == NEWEST_FIRST
        assert reader.get_run(DEMO_IDS[3])["run_id"] == DEMO_IDS[3]


@pytest.fixture(scope="module")
def demo_bytes(tmp_path_factory):
    path = tmp_path_factory.mktemp("demo") / "history.sqlite3"
    demo_store(path)
    return path.read_bytes()


NAMES = st.binary(min_size=1, max_size=60).filter(
    lambda n: b"/" not in n and b"\0" not in n and n not in (b".", b".."))


@settings(max_examples=40, deadline=None)
@given(name=NAMES, as_bytes=st.booleans())
def test_any_file_name_reaches_that_file(demo_bytes, name, as_bytes):
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(os.fsencode(folder), name)
        with open(path, "wb") as f:
            f.write(demo_bytes)
        reader = HistoryReader(path if as_bytes else os.fsdecode(path))
        assert [r["run_id"] for r in reader.list_runs()["runs"]] == NEWEST_FIRST
        assert os.listdir(os.fsencode(folder)) == [name]


@pytest.mark.parametrize("read", [lambda r: r._exists(), *READS.values()],
                         ids=["_exists", *READS])
def test_embedded_nul_never_reads_a_shorter_path(store, unchanged, read):
    reader = HistoryReader(f"{store}\0.other")
    with unchanged(store.parent), pytest.raises(ValueError):
        read(reader)


@pytest.mark.parametrize("value", [5, 1.5, object(), ["history.sqlite3"]],
                         ids=["int", "float", "object", "list"])
def test_non_path_is_a_type_error(tmp_path, monkeypatch, unchanged, value):
    monkeypatch.chdir(tmp_path)
    demo_store(tmp_path / "5")  # what str(5) would name
    reader = HistoryReader(value)
    assert reader.path is value
    with unchanged(tmp_path):
        for read in [lambda r: r._exists(), *READS.values()]:
            with pytest.raises(TypeError):
                read(reader)


def test_default_path_under_home(tmp_path, monkeypatch, unchanged):
    monkeypatch.setenv("HOME", str(tmp_path))
    reader = HistoryReader()
    assert reader.path == tmp_path / ".kamo" / "publish-history.sqlite3"
    assert isinstance(reader.path, Path)
    with unchanged(tmp_path):
        assert reader.list_runs()["database_present"] is False
    reader.path.parent.mkdir()
    demo_store(reader.path)
    assert [r["run_id"] for r in HistoryReader(None).list_runs()["runs"]] == NEWEST_FIRST
