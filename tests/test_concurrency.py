"""Reads beside other users of the store: this process's own connections, reader threads, a
writing process, a shared scope, and Ctrl-C during a long read."""

import contextlib
import json
import os
import random
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
from publish.historystore import Item, Run, create_store, write_run
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


@pytest.mark.soak
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
import json, os, signal, sys, time
from publish.runlens import HistoryReader
# Python leaves SIGINT ignored when it starts ignored (as in a background job): take Ctrl-C here.
signal.signal(signal.SIGINT, signal.default_int_handler)
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


# --- a writer that holds its lock, and dies mid-transaction ------------------------------------

# One writer process. Each run it inserts carries its entry count in its first title ("n=K"), and
# every update moves all entries of one run to one state in one transaction, so a consistent read
# sees each run with K entries all in one state. Some transactions hold the lock past the readers'
# busy timeout. After `seconds` it starts a last transaction, makes the journal hot (pages spill
# into the file), says "mid-transaction" and waits to be killed. Each line it prints is one JSON
# object: how long taking the lock took ("stall"), and which transactions it ran.
STUBBORN_WRITER = r"""
import json, random, sqlite3, sys, time
from publish.historystore import Entry, Item, Run

path, seed, seconds, die = sys.argv[1], int(sys.argv[2]), float(sys.argv[3]), sys.argv[4] == "die"
rnd = random.Random(seed)
con = sqlite3.connect(path, timeout=60, isolation_level=None)
assert con.execute("PRAGMA journal_mode").fetchone()[0] == "delete"

def say(**kw):
    print(json.dumps(kw), flush=True)

def begin(mode):
    start = time.monotonic()
    con.execute("BEGIN " + mode)
    if mode == "EXCLUSIVE":  # the whole wait for readers is here
        say(stall=time.monotonic() - start, where="begin")

def commit(mode):
    start = time.monotonic()
    con.execute("COMMIT")
    if mode == "IMMEDIATE":  # here the wait for readers is at the commit (with its syncs)
        say(stall=time.monotonic() - start, where="commit")

def insert_run():
    platforms = ["douyin", "kuaishou", "bilibili", "weibo", "tk", "tencent"]
    items = [Item.video(f"/v/{rnd.getrandbits(32)}.mp4", rnd.sample(platforms, rnd.randint(1, 3)))
             for _ in range(rnd.randint(1, 2))]
    entries = sum(len(i.enabled_platforms) for i in items)
    items[0].title = f"n={entries}"
    run = Run(items, version=rnd.choice([1, 2]))
    con.execute("INSERT INTO runs (run_id, version, snapshot, fingerprints) VALUES (?, ?, ?, ?)",
                (run.run_id, run.version, json.dumps(run.snapshot_json()),
                 json.dumps(run.default_fingerprints())))
    for index, platform, entry in run.entry_rows():  # one statement per row: a torn read would show
        con.execute("INSERT INTO entries (run_id, item_index, platform, state, result, retryable) "
                    "VALUES (?, ?, ?, ?, ?, ?)",
                    (run.run_id, index, platform, "pending", None, 0))
    for platform, account_file, identity in run.account_rows():
        con.execute("INSERT INTO accounts (run_id, platform, account_file, identity) VALUES (?, ?, ?, ?)",
                    (run.run_id, platform, account_file, identity))

STATES = {"pending": Entry.pending(), "running": Entry.running(), "success": Entry.success(),
          "failed": Entry.failure("X", retry=True)}

def update_run():
    ids = [r[0] for r in con.execute("SELECT run_id FROM runs ORDER BY rowid DESC LIMIT 20")]
    if not ids:
        return
    entry = STATES[rnd.choice(sorted(STATES))]
    result = None if entry.result is None else json.dumps(entry.result)
    run_id = rnd.choice(ids)
    for (rowid,) in con.execute("SELECT rowid FROM entries WHERE run_id=?", (run_id,)).fetchall():
        con.execute("UPDATE entries SET state=?, result=?, retryable=? WHERE rowid=?",
                    (entry.state, result, entry.retryable, rowid))

end = time.monotonic() + seconds
while time.monotonic() < end:
    roll = rnd.random()
    if roll < 0.06:  # past the readers' busy timeout
        begin("EXCLUSIVE")
        insert_run()
        say(held=1.3)
        time.sleep(1.3)
        commit("EXCLUSIVE")
    else:
        mode = rnd.choice(["EXCLUSIVE", "IMMEDIATE"])
        begin(mode)
        insert_run() if roll < 0.5 else update_run()
        commit(mode)
    time.sleep(rnd.uniform(0, 0.03))

if die:
    con.execute("PRAGMA cache_size=2")  # changed pages spill into the store: the journal must be kept
    begin("EXCLUSIVE")
    insert_run()
    con.execute("UPDATE filler SET x = randomblob(900)")
    say(mid_transaction=True)
    time.sleep(600)
con.close()
say(finished=True)
"""

# Reads in a loop in threads of its own process until the stop file appears, checking every
# record; prints one JSON summary. Also imported as the reading loop of the test's own threads.
READER_LOOP = r"""
import json, os, random, sqlite3, sys, threading, time
from publish.runlens import HistoryError, HistoryReader

BUSY, READONLY_ROLLBACK = 5, 776

def check_summary(run, problems):
    title = run["title"]
    entries = int(title[2:]) if title.startswith("n=") else None
    counts = [c for c in run["states"].values() if c]
    if run["entry_count"] != entries or len(counts) != 1 or counts[0] != entries:
        problems.append(f"torn run in a list: {run}")

def check_detail(run, problems):
    platforms = [p for item in run["items"] for p in item["platforms"]]
    entries = int(run["items"][0]["title"][2:])
    if len(platforms) != entries or len({p["state"] for p in platforms}) != 1:
        problems.append(f"torn run in a detail: {run['run_id']} {[p['state'] for p in platforms]}")

def read_loop(path, stop, stats, seed):
    rnd = random.Random(seed)
    reader = HistoryReader(path)
    known = []
    while not stop():
        query = "get_run" if known and rnd.random() < 0.4 else "list_runs"
        start = time.monotonic()
        try:
            if query == "list_runs":
                listed = reader.list_runs(20)
                took = time.monotonic() - start
                for run in listed["runs"]:
                    check_summary(run, stats["problems"])
                known = [r["run_id"] for r in listed["runs"]]
                if listed["total"] < len(listed["runs"]):
                    stats["problems"].append(f"total below the runs listed: {listed['total']}")
            else:
                check_detail(reader.get_run(rnd.choice(known)), stats["problems"])
                took = time.monotonic() - start
            stats["records"] += 1
            stats["longest_record"] = max(stats["longest_record"], took)
        except HistoryError as err:
            took = time.monotonic() - start
            code = getattr(err.__cause__, "sqlite_errorcode", None)
            if err.code == "RUN-005" and code is not None and code & 0xFF == BUSY:
                stats["busy"] += 1
                stats["shortest_busy"] = min(stats["shortest_busy"], took)
                stats["longest_busy"] = max(stats["longest_busy"], took)
            elif err.code == "RUN-005" and code == READONLY_ROLLBACK:
                stats["hot_journal"] += 1
            else:
                stats["problems"].append(f"{query}: {err.code} {err.message} {err.__cause__!r}")

def new_stats():
    return {"records": 0, "busy": 0, "hot_journal": 0, "longest_record": 0.0, "shortest_busy": 99.0,
            "longest_busy": 0.0, "problems": []}

def merge(total, stats):
    for k in ("records", "busy", "hot_journal"):
        total[k] += stats[k]
    for k in ("longest_record", "longest_busy"):
        total[k] = max(total[k], stats[k])
    total["shortest_busy"] = min(total["shortest_busy"], stats["shortest_busy"])
    total["problems"] += stats["problems"]

def open_fds(path=None):
    fds = {}
    for fd in os.listdir("/proc/self/fd"):
        try:
            fds[fd] = os.readlink(f"/proc/self/fd/{fd}")
        except OSError:
            pass  # the descriptor listdir itself used
    real = path and os.path.realpath(path)
    return sorted(t for t in fds.values() if t.startswith(real)) if path else len(fds)

if __name__ == "__main__":
    path, stop_file, threads, seed = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
    stop = lambda: os.path.exists(stop_file)
    before = open_fds()
    all_stats = [new_stats() for _ in range(threads)]
    workers = [threading.Thread(target=read_loop, args=(path, stop, s, seed + k)) for k, s in enumerate(all_stats)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    total = new_stats()
    for s in all_stats:
        merge(total, s)
    total["fds_before"], total["fds_after"], total["store_fds"] = before, open_fds(), open_fds(path)
    print(json.dumps(total))
"""


def reader_loop_module():
    namespace = {"__name__": "reader_loop"}
    exec(compile(READER_LOOP, "reader_loop", "exec"), namespace)
    return namespace


@pytest.mark.soak
def test_readers_against_a_writer_that_holds_and_dies(tmp_path):
    """Readers see whole transactions or a busy store, never change a hot journal or the store,
    never hold the writer up for longer than one read, and leak nothing."""
    loop = reader_loop_module()
    path = tmp_path / "history.sqlite3"
    journal = Path(f"{path}-journal")
    create_store(path)
    con = sqlite3.connect(path)
    try:
        with con:
            con.execute("CREATE TABLE filler (x)")
            con.executemany("INSERT INTO filler VALUES (randomblob(900))", [()] * 60)
    finally:
        con.close()
    # KAMO_CONTENTION_SEED=N replays a run's writer schedule; KAMO_CONTENTION_SECONDS lengthens it.
    seed = int(os.environ.get("KAMO_CONTENTION_SEED") or 1435858368)  # fixed unless asked for another
    seconds = float(os.environ.get("KAMO_CONTENTION_SECONDS") or 15)
    print(f"seed {seed} (KAMO_CONTENTION_SEED={seed} replays it), {seconds:.0f} s")
    rnd = random.Random(seed)
    fds_before = loop["open_fds"]()

    stop_file = tmp_path / "stop"
    stopping = threading.Event()
    thread_stats = [loop["new_stats"]() for _ in range(2)]
    threads = [threading.Thread(target=loop["read_loop"], args=(path, stopping.is_set, s, seed + 100 + k))
               for k, s in enumerate(thread_stats)]
    processes = [subprocess.Popen([sys.executable, "-c", READER_LOOP, str(path), str(stop_file), "2",
                                   str(seed + 200 + k)], stdout=subprocess.PIPE, text=True, env=CHILD_ENV)
                 for k in range(2)]
    for t in threads:
        t.start()

    stalls, holds, kills, hot_checks = [], 0, 0, []
    try:
        deadline = time.monotonic() + seconds
        while True:
            last = time.monotonic() + 4 > deadline
            writer = subprocess.Popen(
                [sys.executable, "-c", STUBBORN_WRITER, str(path), str(rnd.randrange(2 ** 32)),
                 str(rnd.uniform(1.5, 3.0)), "live" if last else "die"],
                stdout=subprocess.PIPE, text=True, env=CHILD_ENV)
            try:
                for line in writer.stdout:
                    said = json.loads(line)
                    if "stall" in said:
                        stalls.append((said["stall"], said["where"]))
                    holds += "held" in said
                    if said.get("mid_transaction"):
                        writer.kill()  # SIGKILL: nothing is rolled back
                        break
                writer.wait(timeout=60)
            finally:
                writer.stdout.close()
                if writer.poll() is None:
                    writer.kill()
                    writer.wait()
            if last:
                assert writer.returncode == 0
                break
            kills += 1
            # The journal is hot now; readers keep reading for a while and must leave it be.
            hot = journal.read_bytes()
            assert len(hot) > 512 and hot[:8] == bytes.fromhex("d9d505f920a163d7")
            store_bytes = path.read_bytes()
            time.sleep(0.6)
            hot_checks.append(journal.exists() and journal.read_bytes() == hot
                              and path.read_bytes() == store_bytes)
    finally:
        stopping.set()
        stop_file.touch()
        for t in threads:
            t.join()
        outputs = [p.communicate(timeout=60)[0] for p in processes]

    stats = loop["new_stats"]()
    for s in thread_stats:
        loop["merge"](stats, s)
    for p, out in zip(processes, outputs):
        assert p.returncode == 0
        child = json.loads(out)
        assert child["fds_after"] == child["fds_before"] and child["store_fds"] == []
        loop["merge"](stats, child)
    fds_after = loop["open_fds"]()
    longest_writer_stall = max(s for s, _ in stalls)
    print(f"writer: {len(stalls)} transactions, {holds} held past the busy timeout, {kills} killed "
          f"mid-transaction; longest lock wait caused by readers {longest_writer_stall * 1000:.0f} ms")
    print(f"readers: {stats['records']} records, {stats['busy']} busy after "
          f"{stats['shortest_busy'] * 1000:.0f}-{stats['longest_busy'] * 1000:.0f} ms, "
          f"{stats['hot_journal']} refused for a hot journal; longest read that gave a record "
          f"{stats['longest_record'] * 1000:.0f} ms; longest reader stall "
          f"{max(stats['longest_record'], stats['longest_busy']) * 1000:.0f} ms")

    assert stats["problems"] == []
    assert hot_checks and all(hot_checks)  # no reader rolled back, deleted or changed a hot journal
    assert not journal.exists() and integrity(path) == [("ok",)]
    assert fds_after == fds_before and loop["open_fds"](path) == []
    assert stats["records"] > 0 and stats["hot_journal"] > 0
    if holds:  # a writer holding past the busy timeout turns readers away, after that timeout only
        assert stats["busy"] > 0
    if stats["busy"]:
        assert stats["shortest_busy"] >= 0.95
    # A waiting writer keeps new readers out, so it waits for the reads under way and no more: one
    # read's length, plus the sleeps of SQLite's own busy handler (up to 100 ms each).
    assert longest_writer_stall <= stats["longest_record"] + 0.25
