"""One reader shared by many threads, one open scope misused by many threads, and a reader used
after os.fork: correct records or clear errors, never a crash or a hang.

Each runs in a process of its own, so that a crash fails one test with its output instead of
ending the run, and a hang ends at a timeout."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

import publish
from publish.historystore import demo_runs, demo_store

PACKAGE_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(publish.__file__)))
CHILD_ENV = dict(os.environ, PYTHONPATH=PACKAGE_ROOT, PYTHONDONTWRITEBYTECODE="1")
IDS = [run.run_id for run in demo_runs()]


@pytest.fixture
def store(tmp_path):
    path = tmp_path / "history.sqlite3"
    demo_store(path)
    return path


def run_script(code, *args, timeout=120):
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code), *map(str, args)], capture_output=True,
                          text=True, timeout=timeout, env=CHILD_ENV)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.splitlines()[-1])


SHARED_READER = """
    import json, random, sys, threading
    from publish.runlens import HistoryError, HistoryReader
    path, ids = sys.argv[1], sys.argv[2].split(",")
    sys.setswitchinterval(1e-6)  # switch threads as often as the interpreter can
    reader = HistoryReader(path)
    listed, details = reader.list_runs(200), {i: reader.get_run(i) for i in ids}
    wrong, errors, calls = [], [], [0]
    lock = threading.Lock()
    barrier = threading.Barrier(16)

    def work(seed):
        rnd = random.Random(seed)
        barrier.wait()
        for _ in range(150):
            choice = rnd.randrange(4)
            try:
                if choice == 0:
                    ok = reader.list_runs(200) == listed
                elif choice == 1:
                    i = rnd.choice(ids)
                    ok = reader.get_run(i) == details[i]
                elif choice == 2:
                    ok = reader.list_runs(2) == dict(listed, limit=2, runs=listed["runs"][:2])
                else:
                    with reader._connection() as conn:
                        ok = HistoryReader._schema(conn) is True
            except BaseException as exc:
                with lock:
                    errors.append(repr(exc))
                continue
            with lock:
                calls[0] += 1
                if not ok:
                    wrong.append(choice)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(16)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    print(json.dumps({"calls": calls[0], "wrong": wrong, "errors": errors}))
"""


def test_many_threads_share_one_reader(store):
    seen = run_script(SHARED_READER, store, ",".join(IDS))
    assert seen == {"calls": 16 * 150, "wrong": [], "errors": []}


MISUSED_SCOPE = """
    import json, random, sqlite3, sys, threading
    from publish.runlens import HistoryError, HistoryReader
    path, ids = sys.argv[1], sys.argv[2].split(",")
    sys.setswitchinterval(1e-6)
    reader = HistoryReader(path)
    details = {i: reader.get_run(i) for i in ids}
    con = sqlite3.connect(f"file:{path}?mode=ro", uri=True)
    con.row_factory = sqlite3.Row
    rows = {r["run_id"]: dict(r) for r in con.execute("SELECT * FROM runs")}
    con.close()

    scope = reader._connection()  # one scope, entered, used and left by every thread at random
    CLEAR = {"the connection is already open", "the connection is in use", "the connection is closed"}
    outcomes, wrong, unclear = {}, [], []
    lock = threading.Lock()
    barrier = threading.Barrier(12)

    def work(seed):
        rnd = random.Random(seed)
        barrier.wait()
        for _ in range(300):
            step = rnd.choice(["enter", "schema", "project", "project", "exit"])
            try:
                if step == "enter":
                    scope.__enter__()
                    ok = True
                elif step == "schema":
                    ok = HistoryReader._schema(scope) is True
                elif step == "project":
                    i = rnd.choice(ids)
                    ok = reader._project(scope, rows[i], True) == details[i]
                else:
                    ok = scope.__exit__(None, None, None) is False
                result = "ok"
            except ValueError as exc:
                result = str(exc)
                ok = result in CLEAR
                if not ok:
                    with lock:
                        unclear.append(repr(exc))
            except BaseException as exc:
                with lock:
                    unclear.append(repr(exc))
                continue
            with lock:
                outcomes[f"{step}: {result}"] = outcomes.get(f"{step}: {result}", 0) + 1
                if not ok:
                    wrong.append(step)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(12)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    scope.__exit__(None, None, None)
    # Closed for good: the store is free for a writer again.
    writer = sqlite3.connect(path, timeout=0)
    writer.execute("BEGIN EXCLUSIVE")
    writer.rollback()
    writer.close()
    print(json.dumps({"outcomes": outcomes, "wrong": wrong, "unclear": unclear}))
"""


def test_one_scope_misused_across_threads(store):
    seen = run_script(MISUSED_SCOPE, store, ",".join(IDS))
    print(seen["outcomes"])
    assert seen["wrong"] == [] and seen["unclear"] == []
    outcomes = seen["outcomes"]
    assert sum(outcomes.values()) == 12 * 300
    # The scope really was used, and really was refused, from many threads.
    assert outcomes.get("project: ok", 0) > 0 and outcomes.get("schema: ok", 0) > 0
    assert outcomes.get("project: the connection is closed", 0) > 0
    assert outcomes.get("enter: the connection is already open", 0) > 0


# A child forked from a single-threaded parent reads with the parent's reader (and a scope the
# parent holds open stays the parent's). Forking while another thread reads is not safe, as with
# Python's own sqlite3: the child may inherit a lock taken by that thread and wait on it forever.
FORKED = """
    import json, os, sys
    from publish.runlens import HistoryError, HistoryReader
    path, ids = sys.argv[1], sys.argv[2].split(",")
    reader = HistoryReader(path)
    listed, details = reader.list_runs(), {i: reader.get_run(i) for i in ids}
    results = {}
    for held in (False, True):
        scope = reader._connection()
        if held:
            scope.__enter__()  # the parent holds its snapshot across the fork
        r, w = os.pipe()
        pid = os.fork()
        if pid == 0:
            os.close(r)
            try:
                child = HistoryReader(path)
                ok = (reader.list_runs() == listed and child.list_runs() == listed
                      and all(reader.get_run(i) == details[i] for i in ids))
                with child._connection() as conn:
                    ok = ok and HistoryReader._schema(conn) is True
                message = "ok" if ok else "wrong records"
            except BaseException as exc:
                message = repr(exc)
            os.write(w, message.encode())
            os._exit(0)
        os.close(w)
        with os.fdopen(r) as f:
            message = f.read()
        _, status = os.waitpid(pid, 0)
        results[str(held)] = [message, status]
        if held:
            assert HistoryReader._schema(scope) is True  # still the parent's, still open
            scope.__exit__(None, None, None)
    print(json.dumps(results))
"""


def test_reader_in_a_forked_child(store):
    seen = run_script(FORKED, store, ",".join(IDS), timeout=60)
    assert seen == {"False": ["ok", 0], "True": ["ok", 0]}
