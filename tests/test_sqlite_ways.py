"""The ways the reader reaches the interpreter's own SQLite, and what each must keep: the records and
failures of the way chosen at import, the locks of this process's other connections, and a store
left exactly as it was."""

import contextlib
import errno
import hashlib
import json
import os
import random
import signal
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, seed, settings, strategies as st

import publish
from publish import runlens
from publish.historystore import (Entry, Item, RawText, Run, create_store, demo_runs, demo_store,
                                  write_raw_entry, write_run, write_runs)
from publish.runlens import HistoryError, HistoryReader
from stores import another_process_holding, hot_journal

PACKAGE_ROOT = Path(publish.__file__).absolute().parent.parent
CHILD_ENV = dict(os.environ, PYTHONPATH=str(PACKAGE_ROOT), PYTHONDONTWRITEBYTECODE="1")
IO = ("RUN-005", "无法只读查询发布记录",
      "若有发布进程请等待其结束；检查数据目录权限和数据库日志，保留原文件，不删除或强制恢复日志")
DEMO_IDS = [run.run_id for run in demo_runs()]
UNKNOWN_ID = "00000000-0000-4000-8000-000000000000"


def scope_schema(reader):
    with reader._connection() as conn:
        return HistoryReader._schema(conn)


# Every way in to the store.
READS = {
    "list_runs": lambda r: r.list_runs(200),
    "get_run": lambda r: r.get_run(DEMO_IDS[1]),
    "get_run unknown": lambda r: r.get_run(UNKNOWN_ID),
    "_schema": scope_schema,
}


def outcome(call):
    """The record, or what a failure shows: code, message, action, and its cause."""
    try:
        return "ok", call()
    except HistoryError as err:
        cause = err.__cause__
        return "failed", (err.code, err.message, err.action, type(cause),
                          None if cause is None else str(cause),
                          getattr(cause, "sqlite_errorcode", None), getattr(cause, "errno", None))


class Ways:
    """Switches the way the reader takes; the fixture puts back the way import chose."""

    def __init__(self):
        self.default = runlens._sqlite_way()

    def use(self, way):
        runlens._use_sqlite_way(way)
        assert runlens._sqlite_way() == way

    def outcomes(self, way, path, reads=READS):
        self.use(way)
        return {name: outcome(lambda: read(HistoryReader(path))) for name, read in reads.items()}


@pytest.fixture
def ways():
    w = Ways()
    yield w
    runlens._use_sqlite_way(w.default)


def digest(path):
    return hashlib.sha256(Path(path).read_bytes()).hexdigest()


# =================================================================================================
# The way through Python's sqlite3 module ("python"), down to the end of the file. Helpers above
# this line serve every way.
# =================================================================================================

# sqlite3.connect raises an audit event with the database it opens: the python way opens each
# connection that way, the others never.
_connects = None


def _audit(event, args):
    if event == "sqlite3.connect" and _connects is not None:
        _connects.append(args[0])


sys.addaudithook(_audit)


@contextlib.contextmanager
def sqlite3_connects():
    global _connects
    _connects = []
    try:
        yield _connects
    finally:
        _connects = None


def uri_of(path):
    """The read-only URI of a store path, percent-encoded as urllib.parse.quote does it."""
    return "file://" + urllib.parse.quote(os.fsencode(os.path.realpath(path)), safe="/") + "?mode=ro"


def test_the_python_way_opens_through_sqlite3_read_only(ways, store):
    ways.use(ways.default)
    with sqlite3_connects() as opened:
        listed = HistoryReader(store).list_runs()
    if ways.default != "python":
        assert opened == []
    ways.use("python")
    with sqlite3_connects() as opened:
        assert HistoryReader(store).list_runs() == listed
    assert opened == [uri_of(store)]


# Stores the reader meets, healthy or not. A failure must read alike whichever way reaches SQLite:
# the same code, message and action, and the same cause from the same SQLite.
def make_tables(path, tables):
    con = sqlite3.connect(path)
    try:
        with con:
            for table, columns in tables.items():
                con.execute(f"CREATE TABLE {table} ({columns})")
    finally:
        con.close()


def demo_then(change):
    def make(path):
        demo_store(path)
        change(path)
    return make


def bad_state_text(path):
    write_raw_entry(path, run_id=DEMO_IDS[1], item_index=0, platform="douyin",
                    state=RawText(b"succ\xe9ss"), result=None, retryable=0)


def bad_state(path):
    write_raw_entry(path, run_id=DEMO_IDS[1], item_index=5, platform="douyin", state="exploded",
                    result=None, retryable=0)


def flip_schema_byte(path):
    # SQLite quotes the damaged bytes in its message, which Python's sqlite3 cannot word as str.
    data = bytearray(path.read_bytes())
    data[data.index(b"CREATE TABLE runs") + 5] = 0xB6
    path.write_bytes(bytes(data))


def columns_named_like_the_listing_position(path):
    # The one pass selects the listed position as n beside every column of entries: a subquery
    # would rename the second n to n:1, a name this table has too.
    con = sqlite3.connect(path)
    try:
        with con:
            con.execute("ALTER TABLE entries ADD COLUMN n")
            con.execute('ALTER TABLE entries ADD COLUMN "n:1"')
            con.execute("UPDATE entries SET n = 'x', \"n:1\" = rowid")
    finally:
        con.close()


# Each store with how list_runs ends on it.
STORES = {
    "demo": (demo_store, "ok"),
    "missing": (lambda p: None, "ok"),
    "empty file": (lambda p: p.write_bytes(b""), "RUN-003"),
    "accounts without identity": (lambda p: make_tables(p, {
        "runs": "run_id, version, snapshot, fingerprints",
        "entries": "run_id, item_index, platform, state, result, retryable",
        "accounts": "run_id, platform, account_file"}), "RUN-003"),
    "columns named like the listing position": (demo_then(columns_named_like_the_listing_position), "ok"),
    "a bad entry state": (demo_then(bad_state), "RUN-003"),
    "not a database": (lambda p: p.write_bytes(random.Random(0).randbytes(4096)), "RUN-005"),
    "cut short": (demo_then(lambda p: p.write_bytes(p.read_bytes()[:1024])), "RUN-005"),
    "text cell not UTF-8": (demo_then(bad_state_text), "RUN-005"),
    "schema text not UTF-8": (demo_then(flip_schema_byte), "RUN-005"),
    "hot journal": (demo_then(hot_journal), "RUN-005"),
    "-wal beside it": (demo_then(lambda p: Path(f"{p}-wal").write_bytes(b"")), "RUN-005"),
}


@pytest.mark.parametrize("kind", STORES)
def test_python_way_reads_as_the_default_way(tmp_path, unchanged, ways, kind):
    make, ends = STORES[kind]
    path = tmp_path / "history.sqlite3"
    make(path)
    with unchanged(tmp_path):
        expected = ways.outcomes(ways.default, path)
        assert ways.outcomes("python", path) == expected
    status, detail = expected["list_runs"]
    assert (status if status == "ok" else detail[0]) == ends


def test_python_way_reaches_a_file_whose_name_has_uri_characters(tmp_path, unchanged, ways):
    path = str(tmp_path / "d %41#?x" / "h %3F?mode=rw&cache=shared#x ü 名.sqlite3")
    os.mkdir(os.path.dirname(path))
    demo_store(path)
    # Empty stores wherever a misread URI would land.
    for decoy in {path.split("?")[0], path.split("#")[0], urllib.parse.unquote(path)}:
        os.makedirs(os.path.dirname(decoy), exist_ok=True)
        create_store(decoy)
    with unchanged(tmp_path):
        expected = ways.outcomes(ways.default, path)
        with sqlite3_connects() as opened:
            assert ways.outcomes("python", path) == expected
    assert expected["get_run"][0] == "ok"
    assert set(opened) == {uri_of(path)}


# Headers other than a rollback journal's: the default way refuses them before any statement
# runs, with no cause; the python way has no file object of SQLite's to read the header through
# (and may open no descriptor of the store itself), so SQLite decides, and refuses these too.
# A WAL header (2, 2) and a WAL read version (1, 2) make the read-only connection in exclusive
# locking mode fail with SQLITE_IOERR_LOCK ("disk I/O error") rather than open the log; a read
# version past 2 is SQLITE_NOTADB ("file is not a database").
def with_header(b18, b19):
    def change(path):
        data = bytearray(path.read_bytes())
        data[18:20] = bytes([b18, b19])
        path.write_bytes(bytes(data))
    return demo_then(change)


def wal_store(path):
    con = sqlite3.connect(path)
    try:
        con.execute("PRAGMA journal_mode=WAL")
        write_run(path, Run([Item.video()]))
    finally:
        con.close()
    assert path.read_bytes()[18:20] == b"\x02\x02"


HEADERS = {
    "WAL store": (wal_store, sqlite3.OperationalError, sqlite3.SQLITE_IOERR_LOCK, "disk I/O error"),
    "header 1 2": (with_header(1, 2), sqlite3.OperationalError, sqlite3.SQLITE_IOERR_LOCK, "disk I/O error"),
    "header 3 3": (with_header(3, 3), sqlite3.DatabaseError, sqlite3.SQLITE_NOTADB, "file is not a database"),
}


@pytest.mark.parametrize("kind", HEADERS)
def test_python_way_leaves_other_headers_to_sqlite(tmp_path, unchanged, ways, kind):
    make, cause_type, code, text = HEADERS[kind]
    path = tmp_path / "history.sqlite3"
    make(path)
    reads = {name: READS[name] for name in ("list_runs", "get_run", "_schema")}
    with unchanged(tmp_path):
        if ways.default != "python":
            refused = ("failed", (*IO, type(None), None, None, None))
            assert ways.outcomes(ways.default, path, reads) == {name: refused for name in reads}
        by_sqlite = ("failed", (*IO, cause_type, text, code, None))
        assert ways.outcomes("python", path, reads) == {name: by_sqlite for name in reads}


# --- python way: locks ---------------------------------------------------------------------------

TRY_LOCK = """
import sqlite3, sys
con = sqlite3.connect(sys.argv[1], timeout=0, isolation_level=None)
try:
    con.execute("BEGIN " + sys.argv[2])
    con.execute("ROLLBACK")
    print("locked out: no")
except sqlite3.OperationalError as err:
    print("locked out:", err)
"""


def another_process_tries(path, mode):
    """Whether a second process can take the store's lock at once."""
    done = subprocess.run([sys.executable, "-c", TRY_LOCK, str(path), mode], capture_output=True,
                          text=True, check=True, timeout=60)
    return done.stdout.strip()


BUSY = ("failed", (*IO, sqlite3.OperationalError, "database is locked", sqlite3.SQLITE_BUSY, None))


def timed_outcomes(ways, way, path, reads):
    ways.use(way)
    out = {}
    for name in reads:
        start = time.monotonic()
        got = outcome(lambda: READS[name](HistoryReader(path)))
        out[name] = (got, time.monotonic() - start)
    return out


def test_python_way_waits_for_a_writer_of_another_process_then_fails(store, unchanged, ways):
    reads = ["list_runs", "get_run", "_schema"]
    with another_process_holding(store, "EXCLUSIVE"), unchanged(store.parent):
        expected = timed_outcomes(ways, ways.default, store, reads)
        got = timed_outcomes(ways, "python", store, reads)
    for name in reads:
        assert expected[name][0] == got[name][0] == BUSY
        assert 0.5 <= got[name][1] < 10  # waited for the lock, then gave up: no hang


def test_python_way_keeps_the_lock_of_this_processs_own_writer(store, ways):
    before = store.read_bytes()
    holder = sqlite3.connect(store, isolation_level=None)
    try:
        holder.execute("BEGIN EXCLUSIVE")
        ways.use("python")
        for read in READS.values():
            assert outcome(lambda: read(HistoryReader(store))) == BUSY
        # Had anything of the read closed a descriptor of the store, the lock would be gone.
        assert another_process_tries(store, "EXCLUSIVE") == "locked out: database is locked"
        holder.execute("ROLLBACK")
    finally:
        holder.close()
    assert store.read_bytes() == before


def test_python_way_reads_past_this_processs_pending_write_and_keeps_its_lock(store, ways):
    ways.use("python")
    reader = HistoryReader(store)
    listed = reader.list_runs()
    writer = sqlite3.connect(store, isolation_level=None)
    try:
        writer.execute("BEGIN IMMEDIATE")
        added = write_run_through(writer)
        assert reader.list_runs() == listed  # the committed state only
        assert another_process_tries(store, "IMMEDIATE") == "locked out: database is locked"
        writer.execute("COMMIT")
    finally:
        writer.close()
    after = reader.list_runs()
    assert after["total"] == listed["total"] + 1 and after["runs"][0]["run_id"] == added


def write_run_through(con):
    """Copies the newest demo run under a new id through con; returns the id."""
    new = "11111111-2222-4333-8444-555555555555"
    con.execute("INSERT INTO runs (run_id, version, snapshot, fingerprints) "
                "SELECT ?, version, snapshot, fingerprints FROM runs WHERE run_id=?", (new, DEMO_IDS[-1]))
    for table, columns in (("entries", "item_index, platform, state, result, retryable"),
                           ("accounts", "platform, account_file, identity")):
        con.execute(f"INSERT INTO {table} (run_id, {columns}) SELECT ?, {columns} FROM {table} "
                    "WHERE run_id=?", (new, DEMO_IDS[-1]))
    return new


# --- python way: threads, permissions ------------------------------------------------------------

def test_other_threads_run_while_the_python_way_waits_for_a_lock(store, ways):
    ticks = 0
    stop = threading.Event()

    def tick():
        nonlocal ticks
        while not stop.wait(0.005):
            ticks += 1

    ways.use("python")
    with another_process_holding(store, "EXCLUSIVE"):
        ticker = threading.Thread(target=tick)
        ticker.start()
        try:
            before = ticks
            assert outcome(lambda: HistoryReader(store).list_runs()) == BUSY
            during = ticks - before
        finally:
            stop.set()
            ticker.join()
    # The wait lasts about a second; a held GIL would let the ticker wake once at most.
    assert during >= 20


def test_threads_share_one_reader_under_the_python_way(store, ways):
    ways.use("python")
    reader = HistoryReader(store)
    expected = [reader.list_runs()] + [reader.get_run(i) for i in DEMO_IDS]
    results, errors = [], []

    def work(k):
        try:
            for n in range(8):
                i = (k + n) % len(DEMO_IDS)
                results.append((reader.list_runs(), expected[0]))
                results.append((reader.get_run(DEMO_IDS[i]), expected[1 + i]))
        except BaseException as exc:  # handed to the test thread
            errors.append(exc)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    assert len(results) == 64 and all(got == want for got, want in results)


AS_OTHER_USER = """
import json, os, sys
from publish import runlens
from publish.runlens import HistoryError, HistoryReader
runlens._use_sqlite_way(sys.argv[2])
if os.geteuid() == 0:
    os.setgroups([])
    os.setgid(65534)
    os.setuid(65534)
try:
    out = {"total": HistoryReader(sys.argv[1]).list_runs()["total"]}
except HistoryError as err:
    cause = err.__cause__
    out = {"code": err.code, "cause": type(cause).__name__, "errno": getattr(cause, "errno", None),
           "filename": getattr(cause, "filename", None)}
print(json.dumps(out))
"""


@pytest.mark.parametrize("name", ["history.sqlite3", "h %3F?mode=rw#x ü.sqlite3"])
def test_python_way_names_the_os_reason_a_store_cannot_be_opened(open_folder, unchanged, ways, name):
    # SQLite gives no descriptor's reason through Python's sqlite3; the OS's answer for the same
    # path, asked without opening it, stands in for it.
    path = open_folder / name
    demo_store(path)
    path.chmod(0)
    with unchanged(open_folder):
        answers = {}
        for way in (ways.default, "python"):
            done = subprocess.run([sys.executable, "-c", AS_OTHER_USER, os.fspath(path), way],
                                  capture_output=True, text=True, check=True, timeout=60, cwd="/",
                                  env=CHILD_ENV)
            answers[way] = json.loads(done.stdout)
    assert answers["python"] == answers[ways.default] == {
        "code": "RUN-005", "cause": "PermissionError", "errno": errno.EACCES, "filename": os.path.realpath(path)}


# --- python way: cells of every storage class, random --------------------------------------------

DEFAULT_SEED = 1_470_226_113
SEED = int(os.environ.get("KAMO_WAYS_SEED") or DEFAULT_SEED)

CELL = st.one_of(
    st.none(), st.integers(-2**63, 2**63 - 1), st.sampled_from([0, 1, -1, 2**63 - 1, -2**63]),
    st.floats(allow_nan=False), st.sampled_from([0.0, -0.0, 1.0, 2.5, float("inf"), 5e-324]),
    st.text(max_size=12), st.binary(max_size=12), st.binary(max_size=12).map(RawText),
    st.sampled_from(["pending", "success", "failed", "douyin", '{"success": true}', "2"]))
# Columns a random cell may go to: extra columns no rule reads (yet every cell of a row is read and
# its text checked), and columns whose rules see the cell's storage class.
SLOTS = [("runs", "label"), ("runs", "created_at"), ("runs", "version"), ("entries", "updated_at"),
         ("entries", "item_index"), ("entries", "retryable"), ("entries", "state"),
         ("entries", "result"), ("accounts", "bound_at"), ("accounts", "identity")]


def random_cells_store(path, cells):
    create_store(path, extra=True)
    ids = [write_run(path, Run([Item.video("/v/a.mp4", ["douyin", "bilibili"])],
                               entries={(0, "bilibili"): Entry.failure("X", retry=True)})),
           write_run(path, Run([Item.video("/v/b.mp4", ["douyin"])]))]
    con = sqlite3.connect(path)
    try:
        with con:
            for (table, column, row), value in cells.items():
                mark, value = ("CAST(? AS TEXT)", value.data) if isinstance(value, RawText) else ("?", value)
                con.execute(f"UPDATE {table} SET {column} = {mark} WHERE rowid = "
                            f"(SELECT rowid FROM {table} ORDER BY rowid LIMIT 1 OFFSET ?)", (value, row))
    finally:
        con.close()
    return ids


@seed(SEED)
@settings(max_examples=60, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
@given(cells=st.dictionaries(st.tuples(st.sampled_from(SLOTS), st.integers(0, 2)).map(lambda t: (*t[0], t[1])),
                             CELL, max_size=5))
def test_random_cells_read_alike_through_both_ways(ways, cells):
    print(f"random cells: seed {SEED} (KAMO_WAYS_SEED={SEED} replays it)")
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "history.sqlite3"
        ids = random_cells_store(path, cells)
        reads = {"list_runs": READS["list_runs"], **{i: (lambda r, i=i: r.get_run(i)) for i in ids}}
        before = digest(path)
        expected = ways.outcomes(ways.default, path, reads)
        assert ways.outcomes("python", path, reads) == expected
        assert digest(path) == before and os.listdir(folder) == ["history.sqlite3"]


# --- python way: Ctrl-C --------------------------------------------------------------------------

INTERRUPTED = """
import json, os, signal, sys, time
from publish import runlens
from publish.runlens import HistoryReader
# Python leaves SIGINT ignored when it starts ignored (as in a background job): take Ctrl-C here.
signal.signal(signal.SIGINT, signal.default_int_handler)
path, way, call = sys.argv[1], sys.argv[2], sys.argv[3]
runlens._use_sqlite_way(way)
reader = HistoryReader(path)
calls = {
    "list_runs run by run": lambda: reader._list_runs_run_by_run(200),
    "get_run": lambda: reader.get_run("00000000-0000-4000-8000-000000000000"),
}
print("ready", flush=True)
try:
    calls[call]()
    out = {"outcome": "finished"}
except KeyboardInterrupt:
    out = {"outcome": "KeyboardInterrupt", "caught": time.monotonic()}
except BaseException as exc:
    out = {"outcome": repr(exc)}
real = os.path.realpath(path)
out["open"] = [os.readlink(f"/proc/self/fd/{fd}") for fd in os.listdir("/proc/self/fd")
               if os.path.exists(f"/proc/self/fd/{fd}")
               and os.readlink(f"/proc/self/fd/{fd}").startswith(real)]
print(json.dumps(out), flush=True)
"""


@pytest.fixture(scope="module")
def slow_store(tmp_path_factory):
    """200 runs over 10**6 entry rows without an index: listing them with a statement per run
    takes many seconds (a scan of the whole table each)."""
    path = tmp_path_factory.mktemp("slow") / "history.sqlite3"
    create_store(path)
    write_runs(path, [Run([Item.video()]) for _ in range(200)])
    con = sqlite3.connect(path)
    try:
        with con:
            con.execute("""
                WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 1000000)
                INSERT INTO entries (run_id, item_index, platform, state, result, retryable)
                SELECT 'filler', i, 'douyin', 'pending', NULL, 0 FROM n""")
    finally:
        con.close()
    return path


# A long scan, and a wait for a store another process holds (shorter than the 1 s it may last).
INTERRUPTIONS = {
    "scanning": ("list_runs run by run", False, 0.5),
    "waiting for a lock": ("get_run", True, 0.3),
}


@pytest.mark.parametrize("case", INTERRUPTIONS)
def test_ctrl_c_reaches_the_caller_under_the_python_way(slow_store, case):
    call, locked, delay = INTERRUPTIONS[case]
    before = digest(slow_store)
    with contextlib.ExitStack() as stack:
        if locked:
            stack.enter_context(another_process_holding(slow_store, "EXCLUSIVE"))
        child = subprocess.Popen([sys.executable, "-c", INTERRUPTED, str(slow_store), "python", call],
                                 stdout=subprocess.PIPE, text=True, env=CHILD_ENV)
        try:
            assert child.stdout.readline() == "ready\n"
            time.sleep(delay)
            sent = time.monotonic()  # CLOCK_MONOTONIC: one clock for both processes
            child.send_signal(signal.SIGINT)
            out = json.loads(child.stdout.readline())
        finally:
            child.kill()
            child.wait()
    assert out["outcome"] == "KeyboardInterrupt"
    latency = out["caught"] - sent
    print(f"{case}: SIGINT to KeyboardInterrupt in {latency * 1000:.1f} ms")
    assert 0 <= latency < 0.2
    assert out["open"] == []  # the connection let go of the store
    assert digest(slow_store) == before
