"""Reads beside other users of the store: this process's own connections, reader threads, a
writing process, a shared scope, and Ctrl-C during a long read."""

import contextlib
import json
import os
import signal
import sqlite3
import subprocess
import sys
import threading
import time
import uuid
from pathlib import Path

import pytest

import publish
from publish.historystore import Item, Run, create_store, demo_store, write_run
from publish.runlens import HistoryError, HistoryReader

PACKAGE_ROOT = Path(publish.__file__).absolute().parent.parent
CHILD_ENV = dict(os.environ, PYTHONPATH=str(PACKAGE_ROOT), PYTHONDONTWRITEBYTECODE="1")
IO = ("RUN-005", "无法只读查询发布记录")
BUSY = 5

TRY_LOCK = """
import sqlite3, sys
con = sqlite3.connect(sys.argv[1], timeout=0, isolation_level=None)
try:
    con.execute("BEGIN " + sys.argv[2])
    con.execute("INSERT INTO runs (run_id) VALUES ('from another process')")
    con.execute("COMMIT")
    print("locked out: no")
except sqlite3.OperationalError as err:
    print("locked out:", err)
"""


def another_process_tries(path, mode):
    """Whether a second process can take the store's lock (and write) at once."""
    done = subprocess.run([sys.executable, "-c", TRY_LOCK, str(path), mode], capture_output=True,
                          text=True, check=True, timeout=60)
    return done.stdout.strip()


def busy_io_error(err):
    return (type(err) is HistoryError and (err.code, err.message) == IO
            and isinstance(err.__cause__, sqlite3.OperationalError)
            and err.__cause__.sqlite_errorcode == BUSY)


def integrity(path):
    con = sqlite3.connect(path)
    try:
        return con.execute("PRAGMA integrity_check").fetchall()
    finally:
        con.close()


@pytest.fixture
def store(tmp_path):
    path = tmp_path / "history.sqlite3"
    demo_store(path)
    return path


# --- locks this process holds through other connections --------------------------------------

def test_own_exclusive_lock_survives_a_failed_read(store):
    before = store.read_bytes()
    holder = sqlite3.connect(store, isolation_level=None)
    try:
        holder.execute("BEGIN EXCLUSIVE")
        with pytest.raises(HistoryError) as info:
            HistoryReader(store).list_runs()
        assert busy_io_error(info.value)
        assert another_process_tries(store, "EXCLUSIVE") == "locked out: database is locked"
        holder.execute("ROLLBACK")
    finally:
        holder.close()
    assert store.read_bytes() == before


def copy_run(con, run_id):
    """Inserts a copy of a stored run under a new id, through con; returns the new id."""
    new = str(uuid.uuid4())
    con.execute("INSERT INTO runs (run_id, version, snapshot, fingerprints) "
                "SELECT ?, version, snapshot, fingerprints FROM runs WHERE run_id=?", (new, run_id))
    con.execute("INSERT INTO entries (run_id, item_index, platform, state, result, retryable) "
                "SELECT ?, item_index, platform, state, result, retryable FROM entries "
                "WHERE run_id=?", (new, run_id))
    con.execute("INSERT INTO accounts (run_id, platform, account_file, identity) "
                "SELECT ?, platform, account_file, identity FROM accounts WHERE run_id=?",
                (new, run_id))
    return new


def test_pending_write_of_this_process_commits_intact_after_a_read(store):
    reader = HistoryReader(store)
    old = [r["run_id"] for r in reader.list_runs()["runs"]]
    writer = sqlite3.connect(store, isolation_level=None)
    try:
        writer.execute("BEGIN IMMEDIATE")
        added = [copy_run(writer, old[i % len(old)]) for i in range(50)]
        # Big enough that the transaction holds many changed pages when the read comes.
        writer.execute("CREATE TABLE ballast (x)")
        writer.executemany("INSERT INTO ballast VALUES (randomblob(2000))", [()] * 200)
        assert [r["run_id"] for r in reader.list_runs()["runs"]] == old  # the committed state
        assert another_process_tries(store, "IMMEDIATE") == "locked out: database is locked"
        writer.execute("COMMIT")
    finally:
        writer.close()
    assert integrity(store) == [("ok",)]
    listed = reader.list_runs(200)
    assert listed["total"] == len(old) + 50
    assert [r["run_id"] for r in listed["runs"]] == added[::-1] + old


WRITER = """
import sys, time
from publish.historystore import Entry, Item, Run, write_run
path, seconds = sys.argv[1], float(sys.argv[2])
end = time.monotonic() + seconds
count = 0
while time.monotonic() < end:
    write_run(path, Run([Item.video(f"/v/{count}.mp4", ["douyin", "bilibili"], title=f"第{count}个"),
                         Item.note([f"/p/{count}.jpg"], ["xiaohongshu"])],
                        entries={(0, "bilibili"): Entry.failure("X", retry=True)}))
    count += 1
print(count)
"""


def test_reader_threads_against_a_committing_writer(tmp_path):
    """Every committed state is valid: readers see records or a busy store, never damage."""
    path = tmp_path / "history.sqlite3"
    create_store(path)
    write_run(path, Run([Item.video()]))
    seconds = 10
    writer = subprocess.Popen([sys.executable, "-c", WRITER, str(path), str(seconds)],
                              stdout=subprocess.PIPE, text=True, env=CHILD_ENV)
    results = {"records": 0, "empty": 0, "busy": 0, "other": []}
    lock = threading.Lock()

    def read():
        reader = HistoryReader(path)
        while writer.poll() is None:
            try:
                listed = reader.list_runs(20)
                kind = "records" if listed["runs"] else "empty"
            except HistoryError as err:
                if not busy_io_error(err):
                    with lock:
                        results["other"].append(f"{err.code} {err.message} {err.__cause__!r}")
                    continue
                kind = "busy"
            with lock:
                results[kind] += 1

    threads = [threading.Thread(target=read) for _ in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    written = int(writer.stdout.read())
    writer.wait()
    print(f"{written} runs written; reads: {results}")
    assert results["other"] == [] and results["empty"] == 0
    assert written > 0 and results["records"] > 0
    assert integrity(path) == [("ok",)]


# --- one scope, two threads ------------------------------------------------------------------

HOLDER = """
import sqlite3, sys
con = sqlite3.connect(sys.argv[1], isolation_level=None)
con.execute("BEGIN EXCLUSIVE")
print("ready", flush=True)
sys.stdin.read()
"""


def test_second_thread_entering_an_opening_scope_is_refused(store):
    holder = subprocess.Popen([sys.executable, "-c", HOLDER, str(store)], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True)
    assert holder.stdout.readline() == "ready\n"
    scope = HistoryReader(store)._connection()
    entering = threading.Event()
    box = []

    def first():
        entering.set()
        try:
            with scope as conn:
                box.append(HistoryReader._schema(conn))
        except BaseException as exc:  # handed to the test thread
            box.append(exc)

    worker = threading.Thread(target=first)
    worker.start()
    try:
        entering.wait()
        time.sleep(0.2)  # the first open now waits for the held lock, without the GIL
        with pytest.raises(ValueError, match="^the connection is already open$"):
            scope.__enter__()
    finally:
        holder.stdin.close()  # the first open gets the lock well within its second
        holder.wait(timeout=30)
        worker.join()
    assert box == [True]
    with scope as conn:  # closed again, so it may be entered again
        assert HistoryReader._schema(conn) is True


# --- Ctrl-C during a long read -----------------------------------------------------------------

INTERRUPTED = """
import json, os, sys, time
from publish.runlens import HistoryReader
path, call = sys.argv[1], sys.argv[2]
reader = HistoryReader(path)
calls = {
    "list_runs": lambda: reader.list_runs(200),
    "list_runs run by run": lambda: reader._list_runs_run_by_run(200),
    "get_run": lambda: reader.get_run("00000000-0000-4000-8000-000000000000"),
    "_connection": lambda: reader._connection().__enter__(),
}
print("ready", flush=True)
try:
    calls[call]()
    out = {"outcome": "finished"}
except KeyboardInterrupt:
    caught = time.monotonic()
    out = {"outcome": "KeyboardInterrupt", "caught": caught}
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
    run_id = write_run(path, Run([Item.video()]))
    con = sqlite3.connect(path)
    try:
        with con:
            for _ in range(199):
                copy_run(con, run_id)
            con.execute("""
                WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 1000000)
                INSERT INTO entries (run_id, item_index, platform, state, result, retryable)
                SELECT 'filler', i, 'douyin', 'pending', NULL, 0 FROM n""")
    finally:
        con.close()
    return path


@contextlib.contextmanager
def locked_by_another_process(path):
    holder = subprocess.Popen([sys.executable, "-c", HOLDER, str(path)], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline() == "ready\n"
        yield
    finally:
        holder.stdin.close()
        holder.wait(timeout=30)


# A long scan, and waits for a store another process holds (shorter than the 1 s they may last).
INTERRUPTIONS = {
    "list_runs scanning": ("list_runs run by run", False, 0.5),
    "list_runs waiting": ("list_runs", True, 0.3),
    "get_run waiting": ("get_run", True, 0.3),
    "_connection waiting": ("_connection", True, 0.3),
}


@pytest.mark.parametrize("case", INTERRUPTIONS)
def test_ctrl_c_stops_a_read_at_once(slow_store, case):
    call, locked, delay = INTERRUPTIONS[case]
    before = slow_store.read_bytes()
    with contextlib.ExitStack() as stack:
        if locked:
            stack.enter_context(locked_by_another_process(slow_store))
        child = subprocess.Popen([sys.executable, "-c", INTERRUPTED, str(slow_store), call],
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
    assert slow_store.read_bytes() == before
