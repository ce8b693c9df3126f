"""Thousands of damaged store files, read in worker processes: every query gives a record or a
HistoryError, never another exception, a crash or a hang; no store or journal byte changes and no
file appears beside them. test_damaged_values.py has Hypothesis draw damaged values instead and
reads them in this process.

Damage starts from stores the writer made and is random but seeded: the seed is printed, one fixed
seed by default so that every run tries the same stores, and KAMO_DAMAGE_SEED=N tries others. KAMO_DAMAGE_STORES changes how many stores are tried.
"""

import collections
import hashlib
import json
import os
import queue
import random
import shutil
import sqlite3
import subprocess
import sys
import threading
import time
from pathlib import Path

import publish
from publish.historystore import Item, Run, create_store, demo_runs, write_run

PACKAGE_ROOT = Path(publish.__file__).absolute().parent.parent
CHILD_ENV = dict(os.environ, PYTHONPATH=str(PACKAGE_ROOT), PYTHONDONTWRITEBYTECODE="1")
STORE = "history.sqlite3"
ABSENT_ID = "00000000-0000-4000-8000-000000000000"
WORKERS = 2
# Nothing holds a lock on these stores, so no read waits; a store still unread after this long
# hangs (the busy timeout is one second).
HANG = 30.0

# Reads each store it is given (one JSON line per store on stdin) and answers with one JSON line:
# the outcome of list_runs and of get_run for each id, and how long the store took.
WORKER = r"""
import json, sqlite3, sys, time
from publish.runlens import HistoryError, HistoryReader

def outcome(call):
    try:
        record = call()
    except HistoryError as err:
        cause = err.__cause__
        return {"kind": "error", "code": err.code, "message": err.message, "cause": repr(cause),
                "engine_or_os": cause is None or isinstance(cause, (sqlite3.Error, OSError)),
                "cause_name": None if cause is None else f"{type(cause).__name__} {getattr(cause, 'sqlite_errorcode', '')} {cause}"}
    except BaseException as exc:
        return {"kind": "other", "repr": repr(exc)}
    try:
        json.dumps(record)
    except BaseException as exc:
        return {"kind": "other", "repr": "record without JSON form: " + repr(exc)}
    return {"kind": "record"}

for line in sys.stdin:
    job = json.loads(line)
    print(json.dumps({"start": job["index"]}), flush=True)
    reader = HistoryReader(job["path"])
    start = time.monotonic()
    results = [outcome(lambda: reader.list_runs(200))]
    results += [outcome(lambda i=i: reader.get_run(i)) for i in job["ids"]]
    print(json.dumps({"done": job["index"], "results": results, "seconds": time.monotonic() - start}),
          flush=True)
"""

# Dies inside a transaction, leaving a journal no one rolls back: a hot journal.
CRASHING_WRITER = """
import os, sqlite3, sys
con = sqlite3.connect(sys.argv[1], isolation_level=None)
con.execute("PRAGMA cache_size=1")  # pages spill into the file, so the journal must be kept
con.execute("BEGIN")
con.execute("UPDATE entries SET result = 'torn'")
con.execute("UPDATE runs SET snapshot = '[]'")
con.execute("UPDATE filler SET x = randomblob(700)")
os._exit(0)
"""


# --- stores the writer made ------------------------------------------------------------------

def compact(path, page_size):
    con = sqlite3.connect(path, isolation_level=None)
    try:
        con.execute(f"PRAGMA page_size={page_size}")
        con.execute("VACUUM")
    finally:
        con.close()


def more_runs(count, seed):
    rnd = random.Random(seed)
    runs = []
    for n in range(count):
        platforms = rnd.sample(["douyin", "kuaishou", "bilibili", "weibo", "tk", "tencent"], rnd.randint(1, 3))
        items = [Item.video(f"/home/demo/videos/{n}-{k}.mp4", platforms, title=f"第{n}个\u202e{k}",
                            tags=["旅行", "\n"], publish_time=rnd.choice([None, "2025-01-31T20:00:00Z"]))
                 for k in range(rnd.randint(1, 2))]
        runs.append(Run(items, version=rnd.choice([1, 2]),
                        run_id=f"{n:08x}-0000-4000-8000-{rnd.getrandbits(48):012x}"))
    return runs


def base_stores(folder):
    """name -> the files of one healthy or hot-journalled store, as {file name: bytes}."""
    bases = {}

    def make(name, runs, *, accounts=True, extra=False, page_size=None):
        path = folder / name
        create_store(path, accounts=accounts, extra=extra)
        for run in runs:
            write_run(path, run)
        if page_size:
            compact(path, page_size)
        bases[name] = {STORE: path.read_bytes()}
        return path

    make("demo", demo_runs())
    make("demo-small-pages", demo_runs(), page_size=512)
    make("no-accounts-extra-columns", demo_runs()[:2], accounts=False, extra=True)
    make("many-runs", more_runs(40, 1), page_size=1024)
    hot = make("hot-journal", demo_runs())
    con = sqlite3.connect(hot)
    try:
        with con:
            con.execute("CREATE TABLE filler (x)")
            con.executemany("INSERT INTO filler VALUES (randomblob(600))", [()] * 40)
    finally:
        con.close()
    subprocess.run([sys.executable, "-c", CRASHING_WRITER, str(hot)], check=True, timeout=60)
    bases["hot-journal"] = {STORE: hot.read_bytes(), STORE + "-journal": Path(f"{hot}-journal").read_bytes()}
    return bases


def run_ids(data):
    """The run ids a store holds, read from a scratch copy."""
    return [row[0] for row in sql_rows(data, "SELECT run_id FROM runs")]


def sql_rows(data, query):
    scratch = Path(os.environ.get("TMPDIR", "/tmp")) / f"kamo-damage-{os.getpid()}.sqlite3"
    scratch.write_bytes(data)
    try:
        con = sqlite3.connect(scratch)
        try:
            return con.execute(query).fetchall()
        finally:
            con.close()
    finally:
        scratch.unlink()


# --- damage --------------------------------------------------------------------------------

ODD_VALUES = [None, True, False, 0, 1, -1, 2, 3, 2 ** 62, 2 ** 70, -(2 ** 70), 1.5, 1e400, "", "x", "1",
              [], {}, [None], {"": None}, "\u202e\n\x1b[31m", "C:\\v.mp4", "/", "\\\\nas\\share",
              "2025-13-01", "2025-01-31", "https://www.bilibili.com/video/BV1xx411c7mD",
              "sha256-v1:" + "0" * 64, "0" * 64, "douyin", "weibo_account", "success", "failed",
              "pending", "running", "video", "note", ["douyin", "douyin"], [[[[[]]]]], "é"]


def json_paths(value, path=()):
    """Every place inside a decoded JSON value, as key paths."""
    yield path
    if isinstance(value, dict):
        for k, v in value.items():
            yield from json_paths(v, path + (k,))
    elif isinstance(value, list):
        for i, v in enumerate(value):
            yield from json_paths(v, path + (i,))


def edit_json(text, rnd):
    """A changed value, a removed member, a repeated member, or plain text damage."""
    try:
        value = json.loads(text)
    except (ValueError, TypeError, RecursionError):  # "[" * 2000 from an earlier edit is too deep
        value = None
    how = rnd.choice(["replace", "replace", "remove", "duplicate", "truncate", "character", "nest"])
    if value is not None and how in ("replace", "remove", "nest"):
        paths = list(json_paths(value))
        path = rnd.choice(paths)
        if not path:
            value = rnd.choice(ODD_VALUES)
        else:
            parent = value
            for step in path[:-1]:
                parent = parent[step]
            if how == "remove":
                del parent[path[-1]]
            elif how == "nest":
                parent[path[-1]] = [parent[path[-1]]] * rnd.randint(1, 3)
            else:
                parent[path[-1]] = rnd.choice(ODD_VALUES)
        return json.dumps(value, ensure_ascii=rnd.random() < 0.5)
    if not isinstance(text, str) or not text:
        return rnd.choice(["[]", "{}", "null", "[" * 2000, '"\\ud800"', "NaN", "1e400"])
    if how == "duplicate" and "{" in text:
        key = rnd.choice(["content_type", "title", "success", "result_url", "/home/demo/videos/旅行.mp4", "x"])
        at = text.index("{") + 1
        return text[:at] + json.dumps(key) + ": 1, " + text[at:] + ""
    if how == "truncate":
        return text[:rnd.randrange(len(text))]
    at = rnd.randrange(len(text))
    return text[:at] + rnd.choice(['"', "\\", "}", ",", "\x00", "\n", "é", "\ud83d"]) + text[at + 1:]


COLUMNS = {
    "runs": ["run_id", "version", "snapshot", "fingerprints"],
    "entries": ["run_id", "item_index", "platform", "state", "result", "retryable"],
    "accounts": ["run_id", "platform", "account_file", "identity"],
}
JSON_COLUMNS = [("runs", "snapshot"), ("runs", "fingerprints"), ("entries", "result")]


def tables_of(con):
    return {r[0] for r in con.execute("SELECT name FROM sqlite_master WHERE type='table'")}


def random_rowid(con, table, rnd):
    ids = [r[0] for r in con.execute(f"SELECT rowid FROM {table}")]
    return rnd.choice(ids) if ids else None


def sql_damage(con, rnd):
    """One change made through SQLite, as a buggy or older writer might make it."""
    tables = tables_of(con) & set(COLUMNS)
    if not tables:
        return "no tables"
    kind = rnd.choice(["json", "json", "json", "class", "class", "value", "delete", "duplicate", "schema",
                       "run_id"])
    if kind == "json":
        table, column = rnd.choice([tc for tc in JSON_COLUMNS if tc[0] in tables] or [("runs", "snapshot")])
        rowid = random_rowid(con, table, rnd) if table in tables else None
        if rowid is None:
            return kind
        text = con.execute(f"SELECT {column} FROM {table} WHERE rowid=?", (rowid,)).fetchone()[0]
        new = edit_json(text, rnd)
        try:
            con.execute(f"UPDATE {table} SET {column}=? WHERE rowid=?", (new, rowid))
        except (sqlite3.Error, UnicodeEncodeError):
            con.execute(f"UPDATE {table} SET {column}=? WHERE rowid=?",
                        (new.encode("utf-8", "surrogatepass"), rowid))
        return kind
    table = rnd.choice(sorted(tables))
    rowid = random_rowid(con, table, rnd)
    column = rnd.choice(COLUMNS[table])
    if kind == "class" and rowid is not None:
        cast = rnd.choice(["CAST({c} AS BLOB)", "CAST({c} AS INTEGER)", "CAST({c} AS REAL)", "CAST({c} AS TEXT)",
                           "NULL", "zeroblob(3)", "X'FFFE5B005D00'", "CAST(X'C328' AS TEXT)",
                           "CAST(X'EDA080' AS TEXT)", "CAST(CAST({c} AS BLOB) || X'00' AS TEXT)"])
        con.execute(f"UPDATE {table} SET {column}={cast.format(c=column)} WHERE rowid=?", (rowid,))
    elif kind == "value" and rowid is not None:
        value = rnd.choice(ODD_VALUES)
        if isinstance(value, (list, dict)) or (isinstance(value, int) and abs(value) >= 2 ** 63):
            value = json.dumps(value)
        con.execute(f"UPDATE {table} SET {column}=? WHERE rowid=?", (value, rowid))
    elif kind == "delete" and rowid is not None:
        con.execute(f"DELETE FROM {table} WHERE rowid=?", (rowid,))
    elif kind == "duplicate" and rowid is not None:
        con.execute(f"INSERT INTO {table} SELECT * FROM {table} WHERE rowid=?", (rowid,))
    elif kind == "schema":
        change = rnd.choice(["drop table", "rename column", "drop column", "add column", "rename table"])
        if change == "drop table":
            con.execute(f"DROP TABLE {table}")
        elif change == "rename column":
            con.execute(f"ALTER TABLE {table} RENAME COLUMN {column} TO {column}_old")
        elif change == "drop column":
            con.execute(f"ALTER TABLE {table} DROP COLUMN {column}")
        elif change == "add column":
            con.execute(f"ALTER TABLE {table} ADD COLUMN extra_{rnd.randrange(99)} DEFAULT 'x'")
        else:
            con.execute(f"ALTER TABLE {table} RENAME TO {table}_old")
    elif kind == "run_id" and rowid is not None:
        old = con.execute(f"SELECT run_id FROM {table} WHERE rowid=?", (rowid,)).fetchone()[0]
        others = [r[0] for r in con.execute("SELECT run_id FROM runs")] if "runs" in tables else []
        new = rnd.choice([str(old).upper(), str(old) + "\n", ABSENT_ID] + others)
        con.execute(f"UPDATE {table} SET run_id=? WHERE rowid=?", (new, rowid))
    return kind


def page_size(data):
    """The page size the header gives (1 stands for 65536), or 0 when there is no header."""
    if len(data) < 18:
        return 0
    size = int.from_bytes(data[16:18], "big")
    return 65536 if size == 1 else size


def byte_damage(data, rnd):
    """One change to the file's bytes: a cut, flipped bytes in pages or the header, a page moved."""
    data = bytearray(data)
    if not data:
        return bytes(data), "empty"
    kind = rnd.choice(["truncate", "flip", "flip", "header", "page"])
    if kind == "truncate":
        page = page_size(data) or 512
        cut = rnd.choice([rnd.randrange(len(data)), (rnd.randrange(len(data)) // page) * page, rnd.randrange(100)])
        del data[cut:]
    elif kind == "flip":
        for _ in range(rnd.randint(1, 8)):
            data[rnd.randrange(100, len(data)) if len(data) > 100 else rnd.randrange(len(data))] ^= rnd.randrange(1, 256)
    elif kind == "header":
        for _ in range(rnd.randint(1, 3)):
            at = rnd.randrange(min(100, len(data)))
            data[at] = rnd.choice([0, 1, 2, 0xFF, data[at] ^ rnd.randrange(1, 256)])
    else:
        page = page_size(data)
        pages = len(data) // page if page else 0
        if pages >= 2:
            src, dst = rnd.randrange(pages), rnd.randrange(1, pages)
            data[dst * page:(dst + 1) * page] = (bytes(page) if rnd.random() < 0.3
                                                 else data[src * page:(src + 1) * page])
    return bytes(data), kind


def damage(base, scratch, rnd):
    """A damaged copy of one base store: files as {name: bytes}, and what was done."""
    files = dict(base)
    done = []
    if rnd.random() < 0.6:
        scratch.write_bytes(files[STORE])
        journal = Path(f"{scratch}-journal")
        if journal.exists():
            journal.unlink()
        con = sqlite3.connect(scratch, isolation_level=None)
        try:
            for _ in range(rnd.randint(1, 3)):
                try:
                    con.execute("PRAGMA journal_mode=MEMORY")  # no journal of ours reaches the disk
                    done.append(sql_damage(con, rnd))
                except sqlite3.Error as err:  # refused: a dropped column in use, a torn file
                    done.append(f"refused: {err}")
        finally:
            con.close()
        files[STORE] = scratch.read_bytes()
    if not done or rnd.random() < 0.4:
        name = STORE if STORE + "-journal" not in files or rnd.random() < 0.5 else STORE + "-journal"
        files[name], kind = byte_damage(files[name], rnd)
        done.append(f"{kind} of {name}")
    return files, done


# --- reading them --------------------------------------------------------------------------

def snapshot(folder):
    """What a store's folder holds: every name with its bytes and modification time."""
    out = {}
    for name in sorted(os.listdir(folder)):
        path = folder / name
        out[name] = (hashlib.sha256(path.read_bytes()).hexdigest(), path.stat().st_mtime_ns)
    return out


def read_all(jobs):
    """Runs the jobs in worker processes; returns {index: answer}. Fails on a crash or a hang."""
    answers = {}
    shares = [jobs[k::WORKERS] for k in range(WORKERS)]
    workers = []
    for share in shares:
        proc = subprocess.Popen([sys.executable, "-c", WORKER], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                text=True, env=CHILD_ENV)
        lines = queue.Queue()

        def pump(proc=proc, lines=lines):
            for line in proc.stdout:
                lines.put(json.loads(line))
            lines.put(None)

        def feed(proc=proc, share=share):
            for job in share:
                proc.stdin.write(json.dumps(job) + "\n")
            proc.stdin.close()

        threading.Thread(target=pump, daemon=True).start()
        threading.Thread(target=feed, daemon=True).start()
        workers.append((proc, lines, share))
    try:
        for proc, lines, share in workers:
            current = None
            while True:
                try:
                    msg = lines.get(timeout=HANG)
                except queue.Empty:
                    raise AssertionError(f"store {current} still unread after {HANG} s: a hang")
                if msg is None:
                    break
                if "start" in msg:
                    current = msg["start"]
                else:
                    answers[msg["done"]] = msg
            status = proc.wait(timeout=HANG)
            assert status == 0, f"worker ended with status {status} while reading store {current}"
    finally:
        for proc, _, _ in workers:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
    return answers


# One seed every run tries unless asked for another; it once met "[" * 2000 in the helper above.
DEFAULT_SEED = 2111642683


def test_damaged_stores_give_a_record_or_a_history_error(tmp_path, capsys):
    seed = int(os.environ.get("KAMO_DAMAGE_SEED") or DEFAULT_SEED)
    count = int(os.environ.get("KAMO_DAMAGE_STORES") or 2000)
    with capsys.disabled():
        print(f"\ndamaged stores: seed {seed} (KAMO_DAMAGE_SEED={seed} replays it)", flush=True)
    rnd = random.Random(seed)
    started = time.monotonic()

    made = tmp_path / "bases"
    made.mkdir()
    bases = base_stores(made)
    ids = {name: run_ids(files[STORE]) for name, files in bases.items()}
    scratch = tmp_path / "scratch.sqlite3"

    jobs, expected, how = [], {}, {}
    for index in range(count):
        name = rnd.choice(sorted(bases))
        files, done = damage(bases[name], scratch, rnd)
        folder = tmp_path / f"{index:05}"
        folder.mkdir()
        for file_name, data in files.items():
            (folder / file_name).write_bytes(data)
        expected[index] = snapshot(folder)
        how[index] = f"{name}: {', '.join(done)}"
        jobs.append({"index": index, "path": str(folder / STORE), "ids": ids[name][:4] + [ABSENT_ID]})
    made_in = time.monotonic() - started

    answers = read_all(jobs)
    assert sorted(answers) == list(range(count))

    outcomes, refusals, stores = collections.Counter(), collections.Counter(), collections.Counter()
    slowest = 0.0
    for index, answer in sorted(answers.items()):
        where = f"store {index} ({how[index]}), seed {seed}"
        kinds = {result["kind"] for result in answer["results"][:-1]}  # the absent id never has one
        stores["records and HistoryError" if kinds == {"record", "error"} else
               "only records" if kinds == {"record"} else "only HistoryError"] += 1
        for result in answer["results"]:
            assert result["kind"] != "other", f"{where}: {result['repr']}"
            if result["kind"] == "record":
                outcomes["record"] += 1
            else:
                assert result["code"] in ("RUN-003", "RUN-005"), f"{where}: {result}"
                if result["code"] == "RUN-005":
                    # Only storage-engine and file-system failures become RUN-005, besides the
                    # refusals by header and side files, which have no cause.
                    assert result["engine_or_os"], f"{where}: {result}"
                    refusals[result["cause_name"] or "refused before SQLite"] += 1
                outcomes[f"{result['code']} {result['message']}"] += 1
        slowest = max(slowest, answer["seconds"])
        folder = tmp_path / f"{index:05}"
        assert snapshot(folder) == expected[index], f"{where}: the folder changed"

    total = time.monotonic() - started
    with capsys.disabled():
        print(f"damaged stores: {count} tried (seed {seed}), {sum(outcomes.values())} queries in "
              f"{total:.1f} s ({made_in:.1f} s making them); slowest store {slowest * 1000:.0f} ms", flush=True)
        print("  stores: " + ", ".join(f"{n} {kind}" for kind, n in stores.most_common()))
        for outcome, n in outcomes.most_common():
            print(f"  {n:6}  {outcome}")
        print("  RUN-005 by cause:")
        for cause, n in refusals.most_common():
            print(f"  {n:6}  {cause}")
    assert count >= 2000 or "KAMO_DAMAGE_STORES" in os.environ
    # Damage must reach every kind of outcome, or the test proves little.
    assert outcomes["record"] > 0
    assert any(o.startswith("RUN-005") for o in outcomes)
    assert any(o.startswith("RUN-003") and "未找到" not in o for o in outcomes)
    shutil.rmtree(tmp_path, ignore_errors=True)
