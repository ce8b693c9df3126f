"""list_runs reading all listed runs in one pass, against reading them run by run.

Where the store has no index on run_id, list_runs reads the rows of every listed run with one
statement. Reading run by run (a statement per run, whatever the layout) stays callable as
_list_runs_run_by_run, and is what the one pass must equal: the same records, or the same first
failure, on every store, healthy or damaged, for the newest runs and for pages further back, and
without changing a byte of it.
"""

import hashlib
import json
import sqlite3
import tempfile
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from publish import runlens
from publish.constants import PLATFORM_NAMES
from stores import Entry, HistoryError, HistoryReader, Item, Run, create_store, write_run

PLATFORMS = list(PLATFORM_NAMES)

# The ways to the interpreter's SQLite each comparison runs under: the functions of its library,
# its sqlite3 module, and what it hands an extension it loads (where this interpreter can).
# Under a way other than the one import chose, list_runs must also give what that way gives.
WAYS = ["library", "python", "extension"]
DEFAULT_WAY = runlens._sqlite_way()
OTHER_WAYS = [way for way in WAYS if way != DEFAULT_WAY]


@pytest.fixture
def way(request):
    before = runlens._sqlite_way()
    try:
        runlens._use_sqlite_way(request.param)
    except RuntimeError as err:
        pytest.skip(str(err))
    yield request.param
    runlens._use_sqlite_way(before)


def through(way):
    return pytest.mark.parametrize("way", way if isinstance(way, list) else [way], indirect=True)

NOCASE = "TEXT COLLATE NOCASE"
# Layouts a runtime's store may have: (create_store arguments, whether entries are read in one
# pass). A key or index that starts with run_id keeps the statement per run.
LAYOUTS = {
    "as written": ({}, True),
    "indexed": ({"indexes": ["entries(run_id)", "accounts(run_id)"]}, False),
    "index not led by run_id": ({"indexes": ["entries(platform, run_id)", "accounts(platform, run_id)"]}, True),
    "declared types": ({"declared": {"runs.run_id": "TEXT", "runs.version": "INTEGER", "entries.run_id": "TEXT",
                                     "entries.item_index": "INTEGER", "entries.retryable": "NUMERIC",
                                     "entries.result": "TEXT", "accounts.run_id": "TEXT"}}, True),
    "integer affinity run_id": ({"declared": {"entries.run_id": "INTEGER", "accounts.run_id": "INT"}}, True),
    "nocase run_id": ({"declared": {"entries.run_id": NOCASE, "accounts.run_id": NOCASE}}, True),
    "nocase runs.run_id": ({"declared": {"runs.run_id": NOCASE}}, True),
    "without rowid, key led by run_id": (
        {"primary_keys": {"entries": "run_id, item_index, platform", "accounts": "run_id, platform, account_file"}},
        False),
    "without rowid, key led elsewhere": (
        {"primary_keys": {"entries": "platform DESC, item_index, run_id",
                          "accounts": "account_file, platform, run_id"}}, True),
    "without rowid, nocase run_id in the key": (
        {"declared": {"entries.run_id": NOCASE, "accounts.run_id": NOCASE},
         "primary_keys": {"entries": "item_index, platform, run_id", "accounts": "platform, account_file, run_id"}},
        True),
    # Indexes led by run_id that the lookup cannot use: a condition it does not imply, an
    # expression, a collation other than the column's.
    "partial index": ({"indexes": ["entries(run_id) WHERE state = 'failed'",
                                   "accounts(run_id) WHERE identity IS NULL"]}, True),
    "expression index": ({"indexes": ["entries(lower(run_id))", "accounts((run_id || ''))"]}, True),
    "index under another collation": ({"indexes": ["entries(run_id COLLATE NOCASE)",
                                                   "accounts(run_id COLLATE RTRIM)"]}, True),
    "nocase run_id, binary index": ({"declared": {"entries.run_id": NOCASE, "accounts.run_id": NOCASE},
                                     "indexes": ["entries(run_id COLLATE BINARY)",
                                                 "accounts(run_id COLLATE binary, platform)"]}, True),
    "collations in checks and comments only": (
        {"declared": {"entries.run_id": "TEXT CHECK (run_id COLLATE NOCASE <> '') /* COLLATE NOCASE */",
                      "accounts.run_id": "TEXT DEFAULT ('x' COLLATE NOCASE) -- COLLATE NOCASE\n"},
         "indexes": ["entries(run_id COLLATE NOCASE)", "accounts(run_id COLLATE NOCASE)"]}, True),
    # And those it uses, or a key it looks the run up by.
    "index led by run_id": ({"indexes": ["entries(run_id, platform DESC)", "accounts(run_id, account_file)"]},
                            False),
    "partial index the lookup implies": ({"indexes": ["entries(run_id, platform) WHERE run_id IS NOT NULL",
                                                      "accounts(run_id) WHERE account_file > '' OR run_id NOTNULL"]},
                                         False),
    "nocase run_id, index under its collation": (
        {"declared": {"entries.run_id": 'TEXT COLLATE "NOCASE"', "accounts.run_id": "TEXT COLLATE RTRIM COLLATE nocase"},
         "indexes": ["entries(run_id)", "accounts(run_id COLLATE NoCase)"]}, False),
    "run_id INTEGER PRIMARY KEY": ({"declared": {"entries.run_id": "INTEGER PRIMARY KEY",
                                                 "accounts.run_id": "integer primary key"}}, False),
    "run_id INTEGER PRIMARY KEY DESC": ({"declared": {"entries.run_id": "INTEGER PRIMARY KEY DESC",
                                                      "accounts.run_id": "INTEGER PRIMARY KEY DESC"}}, False),
}

# What can be wrong with one run: each breaks a different check, so a failure names its run.
DAMAGE = ["none", "bad state", "bad result json", "result without success", "missing entry",
          "duplicate entry", "duplicate account", "bad identity", "bad snapshot", "long number"]
# Rows whose run_id only looks like a listed run's.
STRAYS = ["integer", "blob", "upper case", "unknown run"]


def damaged_run(n, version, platforms, damage, states):
    items = [Item.video(f"/home/demo/videos/{n}-{i}.mp4", platforms, title=f"第 {n} 次") for i in range(2)]
    entries = {}
    for k, platform in enumerate(platforms):
        entries[0, platform] = [Entry.success(None, f"id-{n}-{k}"), Entry.failure("NET", retry=True),
                                Entry.pending(), Entry.failure("REJECTED")][states[k % len(states)]]
    first = platforms[0]
    if damage == "bad state":
        entries[1, first] = Entry("exploded")
    elif damage == "bad result json":
        entries[1, first] = Entry("success", '{"success": true,')
    elif damage == "result without success":
        entries[1, first] = Entry("success", None)
    elif damage == "missing entry":
        entries[1, first] = None
    run = Run(items, entries, version=version)  # "duplicate entry": a second row, written by build
    if damage == "bad snapshot":
        run.snapshot = '[{"content_type": "video"}]'
    elif damage == "long number":  # past the digit limit, in a field no projection keeps
        long_field = '"unused": %s, "content_type"' % ("7" * 5001)
        run.snapshot = json.dumps(run.snapshot_json()).replace('"content_type"', long_field, 1)
    if version == 2 and damage in ("duplicate account", "bad identity"):
        rows = run.account_rows()
        if damage == "duplicate account":
            rows.append(rows[0])
        else:
            rows[0] = (rows[0][0], rows[0][1], "sha256-v1:nothex")
        run.accounts = rows
    return run


def raw(con, table, cells):
    names = ", ".join(cells)
    marks = ", ".join("?" * len(cells))
    try:
        con.execute(f"INSERT INTO {table} ({names}) VALUES ({marks})", list(cells.values()))
    except sqlite3.IntegrityError:
        pass  # a key the layout refuses: the store cannot hold this damage


def build(path, layout, runs, extras):
    create_store(path, **LAYOUTS[layout][0])
    ids = []
    for n, (version, platforms, damage, states, same_id_as) in enumerate(runs):
        run = damaged_run(n, version, platforms, damage, states)
        if same_id_as is not None and same_id_as < len(ids):
            run.run_id = ids[same_id_as]
        try:
            ids.append(write_run(path, run))
        except sqlite3.IntegrityError:  # a key the layout refuses
            ids.append(run.run_id)
            continue
        if damage == "duplicate entry":
            with sqlite3.connect(path) as con:
                raw(con, "entries", {"run_id": run.run_id, "item_index": 0, "platform": platforms[0],
                                     "state": "pending", "result": None, "retryable": 0})
    with sqlite3.connect(path) as con:
        for table, kind, target, platform in extras:
            run_id = ids[target % len(ids)]
            value = {"integer": 7, "blob": run_id.encode(), "upper case": run_id.upper(),
                     "unknown run": "00000000-0000-4000-8000-000000000000"}[kind]
            if table == "entries":
                raw(con, "entries", {"run_id": value, "item_index": 0, "platform": platform, "state": "pending",
                                     "result": None, "retryable": 0})
            else:
                raw(con, "accounts", {"run_id": value, "platform": platform,
                                      "account_file": f"/home/demo/.kamo/accounts/{platform}.json",
                                      "identity": "sha256-v1:" + "0" * 64})
    con.close()


def outcome(call):
    try:
        return "ok", call()
    except HistoryError as e:
        cause = e.__cause__
        return "failed", (e.code, e.message, e.action, type(cause), str(cause))


def digest(path):
    return hashlib.sha256(Path(path).read_bytes()).hexdigest()


def compare(path, limit, before=None):
    reader = HistoryReader(path)
    stored = digest(path)
    one_pass = outcome(lambda: reader.list_runs(limit, before))
    assert digest(path) == stored
    run_by_run = outcome(lambda: reader._list_runs_run_by_run(limit, before))
    assert digest(path) == stored
    assert one_pass == run_by_run
    way = runlens._sqlite_way()
    if way != DEFAULT_WAY:
        runlens._use_sqlite_way(DEFAULT_WAY)
        try:
            assert outcome(lambda: reader.list_runs(limit, before)) == one_pass
        finally:
            runlens._use_sqlite_way(way)
    return one_pass


def stored_ids(path):
    """The run_id of every runs row, oldest first."""
    con = sqlite3.connect(path)
    try:
        return [row[0] for row in con.execute("SELECT run_id FROM runs ORDER BY rowid")]
    finally:
        con.close()


def reads_in_one_pass(path, table):
    reader = HistoryReader(path)
    with reader._connection() as con:
        return HistoryReader._reads_in_one_pass(con, table)


def planner_scans(path, table):
    """Whether SQLite's planner answers the statement per run by a plain scan of the table."""
    con = sqlite3.connect(path)
    try:
        plan = con.execute(f"EXPLAIN QUERY PLAN SELECT * FROM {table} WHERE run_id=?", (None,)).fetchall()
    finally:
        con.close()
    return [row[3] for row in plan] in ([f"SCAN {table}"], [f"SCAN TABLE {table}"])


@through(WAYS)
@pytest.mark.parametrize("layout", LAYOUTS)
def test_the_layout_chooses_the_reading(tmp_path, way, layout):
    path = tmp_path / "history.sqlite3"
    create_store(path, **LAYOUTS[layout][0])
    try:
        write_run(path, Run([Item.video("/v/a.mp4", ["douyin"])]))
    except sqlite3.IntegrityError:  # a key the layout refuses: the choice rests on the layout alone
        pass
    expected = LAYOUTS[layout][1]
    # The planner is the oracle: one pass exactly where it would scan the table for each run.
    assert (planner_scans(path, "entries"), planner_scans(path, "accounts")) == (expected, expected)
    assert reads_in_one_pass(path, "entries") is expected
    assert reads_in_one_pass(path, "accounts") is expected


run_specs = st.lists(
    st.tuples(st.sampled_from([1, 2, 2]),
              st.lists(st.sampled_from(PLATFORMS), min_size=1, max_size=3, unique=True),
              st.sampled_from(DAMAGE) | st.just("none"),
              st.lists(st.integers(0, 3), min_size=1, max_size=3),
              st.none() | st.integers(0, 6)),
    min_size=1, max_size=7)
extra_rows = st.lists(st.tuples(st.sampled_from(["entries", "accounts"]), st.sampled_from(STRAYS),
                                st.integers(0, 6), st.sampled_from(PLATFORMS)), max_size=4)


def random_stores(examples):
    return lambda test: settings(
        max_examples=examples, deadline=None,
        suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture])(
        given(layout=st.sampled_from(list(LAYOUTS)), runs=run_specs, extras=extra_rows,
              limit=st.integers(1, 8), before=st.none() | st.integers(0, 6))(test))


def compare_on_random_store(layout, runs, extras, limit, before):
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "history.sqlite3"
        build(path, layout, runs, extras)
        compare(path, limit)
        ids = stored_ids(path)
        if before is not None and ids:  # and a page further back (a layout may refuse every run)
            compare(path, limit, ids[before % len(ids)])


@through(DEFAULT_WAY)
@random_stores(150)
def test_one_pass_equals_run_by_run(way, layout, runs, extras, limit, before):
    compare_on_random_store(layout, runs, extras, limit, before)


# Fewer stores for the other ways: each is also read through the default way.
@through(OTHER_WAYS)
@random_stores(40)
def test_one_pass_equals_run_by_run_through_other_ways(way, layout, runs, extras, limit, before):
    compare_on_random_store(layout, runs, extras, limit, before)


# Fixed stores that show each way the two readings could part.
def healthy(n):
    return (2, PLATFORMS[:2], "none", [0, 1], None)


CASES = {
    # The newest run is fine, an older one is damaged: the older one's failure, after the newest
    # was projected; two damaged runs: the failure of the one listed first.
    "bad cells in a later run": [healthy(0), (2, PLATFORMS[:2], "bad result json", [0], None), healthy(2)],
    "two damaged runs": [(2, PLATFORMS[:1], "bad state", [0], None), (2, PLATFORMS[:1], "duplicate account", [0], None),
                         healthy(2)],
    "too many digits in a later run": [healthy(0), (2, PLATFORMS[:1], "long number", [0], None), healthy(2)],
    "duplicate run_ids": [healthy(0), healthy(1), (2, PLATFORMS[:2], "none", [2], 0)],
    "duplicate run_ids, the copy unlisted": [(2, PLATFORMS[:2], "none", [2], None), healthy(1),
                                             (2, PLATFORMS[:2], "none", [1], 0)],
}
STRAY_CASES = {
    "integer run_id": [("entries", "integer", 1, "douyin"), ("accounts", "integer", 0, "douyin")],
    "blob run_id": [("entries", "blob", 1, "douyin"), ("accounts", "blob", 1, "douyin")],
    "run_id differing in case": [("entries", "upper case", 1, PLATFORMS[0]), ("accounts", "upper case", 2, "douyin")],
}


@through(WAYS)
@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("case", list(CASES) + list(STRAY_CASES))
def test_damaged_stores_fail_alike(tmp_path, way, layout, case):
    path = tmp_path / "history.sqlite3"
    runs = CASES.get(case, [healthy(0), healthy(1), healthy(2)])
    build(path, layout, runs, STRAY_CASES.get(case, []))
    for limit in (1, 2, 3):
        compare(path, limit)
        for run_id in stored_ids(path):
            compare(path, limit, run_id)


@through(WAYS)
def test_a_damaged_older_run_does_not_hide_behind_the_newer(tmp_path, way):
    # The one pass reads the older run's rows with the newer ones, yet a damaged older run fails
    # the list only when it is listed.
    path = tmp_path / "history.sqlite3"
    build(path, "as written", [(2, PLATFORMS[:2], "bad result json", [0], None), healthy(1), healthy(2)], [])
    assert compare(path, 2)[0] == "ok"
    assert compare(path, 3)[1][:2] == ("RUN-003", "发布记录不存在或已损坏")


@pytest.mark.parametrize("layout", ["as written", "indexed"])
@through(WAYS)
def test_a_page_past_a_damaged_run_does_not_read_it(tmp_path, layout, way):
    path = tmp_path / "history.sqlite3"
    build(path, layout, [healthy(0), healthy(1), (2, PLATFORMS[:2], "bad result json", [0], None)], [])
    newest = stored_ids(path)[-1]
    assert compare(path, 3)[0] == "failed"
    status, page = compare(path, 3, newest)
    assert (status, [run["run_id"] for run in page["runs"]]) == ("ok", stored_ids(path)[-2::-1])


@through(WAYS)
def test_rows_differing_only_in_case_join_a_nocase_run(tmp_path, way):
    # Under NOCASE the upper-case row is the run's own (a second entry for the pair); under the
    # default collation it belongs to no run.
    stray = [("entries", "upper case", 0, PLATFORMS[0])]
    for layout, expected in (("nocase run_id", ("failed", "发布记录条目重复")), ("as written", ("ok", None))):
        path = tmp_path / f"{layout}.sqlite3"
        build(path, layout, [(2, PLATFORMS[:1], "none", [1], None)], stray)
        got = compare(path, 1)
        assert (got[0], got[1][1] if got[0] == "failed" else None) == expected


@through(WAYS)
def test_statistics_keep_the_statement_per_run(tmp_path, way):
    # ANALYZE's statistics can make the planner skip through an index led by another column; the
    # reader does not weigh them, so it reads run by run, and the two readings stay equal.
    path = tmp_path / "history.sqlite3"
    build(path, "index not led by run_id", [healthy(0), healthy(1), healthy(2)], [])
    con = sqlite3.connect(path)
    with con:
        con.execute("ANALYZE")
        con.execute("DELETE FROM sqlite_stat1")
        con.execute("INSERT INTO sqlite_stat1 VALUES ('entries', 'layout_index_0', '100000 50000 1'), "
                    "('accounts', 'layout_index_1', '100000 50000 1')")
    con.close()
    assert not planner_scans(path, "entries") and not planner_scans(path, "accounts")
    assert not reads_in_one_pass(path, "entries") and not reads_in_one_pass(path, "accounts")
    for limit in (1, 3):
        assert compare(path, limit)[0] == "ok"
