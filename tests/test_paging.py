"""Paging back through the whole history: list_runs(limit, before).

A page holds the runs stored before the first row with the run id `before` (the lowest row id
among the rows SQLite's = matches: the row get_run shows), newest first. Python's sqlite3, reading
the same rows in row id order, is the oracle for which runs a page holds; the listing without
`before` is the oracle for how each of them reads.
"""

import os
import sqlite3
import tempfile
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from stores import HistoryError, HistoryReader, Item, Run, create_store, write_raw_run, write_run, write_runs

NOT_FOUND = "未找到发布记录"
BAD_ID = "run_id 格式无效"
LIMIT_MESSAGE = "查询数量必须是 1–200 的整数"
UNKNOWN = "00000000-0000-4000-8000-000000000000"
NOCASE = "TEXT COLLATE NOCASE"


def raises(call, message, code="RUN-003"):
    with pytest.raises(HistoryError) as caught:
        call()
    assert (caught.value.code, caught.value.message) == (code, message)
    return caught.value


def titled(n):
    return Run([Item.video(f"/v/{n}.mp4", ["douyin", "bilibili"], title=f"run {n}")])


def write_copy(path, run, run_id):
    """The runs row of run alone, under an id another run has: the store then holds that id twice,
    and both rows read the first one's entries and accounts (all titled runs have the same)."""
    return write_raw_run(path, run_id=run_id, version=run.version, snapshot=run.snapshot_json(),
                         fingerprints=run.default_fingerprints())


def run_ids(listing):
    return [run["run_id"] for run in listing["runs"]]


def stored_rows(path):
    """(row id, run_id) of every runs row, newest first, as Python's sqlite3 reads them."""
    con = sqlite3.connect(path)
    try:
        return con.execute("SELECT rowid, run_id FROM runs ORDER BY rowid DESC").fetchall()
    finally:
        con.close()


def expected_page(rows, limit, before):
    """The run ids of the page, worked out in Python from rows (newest first)."""
    first = min(rowid for rowid, run_id in rows if run_id == before)
    return [run_id for rowid, run_id in rows if rowid < first][:limit]


def walked_in_python(rows, limit):
    """Row ids met following the pages from the newest, worked out in Python from rows."""
    met, bound = [], None
    while True:
        page = [row for row in rows if bound is None or row[0] < bound][:limit]
        if not page:
            return met
        met += [rowid for rowid, _ in page]
        bound = min(rowid for rowid, run_id in rows if run_id == page[-1][1])


def head(listing):
    return {key: listing[key] for key in ("database_present", "total", "limit", "order")}


@pytest.fixture(scope="module")
def history(tmp_path_factory):
    """450 runs: more than one listing shows."""
    path = tmp_path_factory.mktemp("paging") / "history.sqlite3"
    write_runs(path, [titled(n) for n in range(450)])
    return path


def test_pages_join_up_to_the_whole_history(history):
    reader = HistoryReader(history)
    pages, before = [], None
    for size in (200, 200, 50):
        page = reader.list_runs(200, before)
        assert head(page) == {"database_present": True, "total": 450, "limit": 200, "order": "insertion_desc"}
        assert len(page["runs"]) == size
        pages.append(page)
        before = page["runs"][-1]["run_id"]
    everything = [run for page in pages for run in page["runs"]]
    assert [run["run_id"] for run in everything] == [run_id for _, run_id in stored_rows(history)]
    assert [run["title"] for run in everything] == [f"run {n}" for n in range(449, -1, -1)]
    # The first page is the listing without before.
    assert pages[0] == reader.list_runs(200)
    # Before the oldest run there is nothing more.
    assert reader.list_runs(200, before) == {**head(pages[0]), "runs": []}


@pytest.mark.parametrize("limit", [1, 7, 200])
def test_a_page_is_the_listing_from_the_run_after_before(history, limit):
    # Each run a page shows reads exactly as the one listing of the newest 200 shows it.
    reader = HistoryReader(history)
    newest = reader.list_runs(200)["runs"]
    for k in (0, 1, 99, 198, 199):
        page = reader.list_runs(limit, before=newest[k]["run_id"])
        assert page["limit"] == limit and page["total"] == 450
        assert page["runs"][:199 - k] == newest[k + 1:k + 1 + limit]
        assert run_ids(page) == expected_page(stored_rows(history), limit, newest[k]["run_id"])


def test_none_is_no_before(history):
    reader = HistoryReader(history)
    assert reader.list_runs(3, None) == reader.list_runs(3) == reader.list_runs(limit=3, before=None)


# --- which row bounds the page ------------------------------------------------------------

def test_the_first_row_of_a_duplicated_run_id_bounds_the_page(tmp_path):
    # A damaged store holds run 1's id twice: as run 1 and again as run 4.
    path = tmp_path / "history.sqlite3"
    runs = [titled(n) for n in range(6)]
    for n, run in enumerate(runs):
        if n == 4:
            write_copy(path, run, runs[1].run_id)
        else:
            write_run(path, run)
    reader = HistoryReader(path)
    titles = lambda listing: [run["title"] for run in listing["runs"]]
    assert titles(reader.list_runs(20, runs[1].run_id)) == ["run 0"]
    assert titles(reader.list_runs(20, runs[5].run_id)) == ["run 4", "run 3", "run 2", "run 1", "run 0"]
    # The bound is the copy get_run shows.
    assert reader.get_run(runs[1].run_id)["items"][0]["title"] == "run 1"


@pytest.mark.parametrize("declared, found", [({}, False), ({"runs.run_id": NOCASE}, True)])
def test_before_matches_by_the_stores_own_equality(tmp_path, declared, found):
    # An upper-case id is the run under NOCASE, as for get_run, and no run under the default.
    path = tmp_path / "history.sqlite3"
    create_store(path, declared=declared)
    older = write_run(path, titled(0))
    upper = write_run(path, titled(1)).upper()
    con = sqlite3.connect(path)
    with con:
        con.execute("UPDATE runs SET run_id=? WHERE rowid=2", (upper,))
    con.close()
    reader = HistoryReader(path)
    if found:
        assert run_ids(reader.list_runs(5, upper.lower())) == [older]
    else:
        raises(lambda: reader.list_runs(5, upper.lower()), NOT_FOUND)


def test_the_bound_row_is_not_read_but_a_damaged_run_on_the_page_fails_it(tmp_path):
    path = tmp_path / "history.sqlite3"
    oldest = write_run(path, titled(0))
    damaged = "5d1e8c72-9f0a-4b3c-8d2e-6f7a8b9c0d1e"
    write_raw_run(path, run_id=damaged, version=2, snapshot="[", fingerprints="{}")
    newest = write_run(path, titled(2))
    reader = HistoryReader(path)
    assert run_ids(reader.list_runs(5, damaged)) == [oldest]
    raises(lambda: reader.list_runs(5, newest), "发布记录不存在或已损坏")
    raises(lambda: reader.list_runs(5), "发布记录不存在或已损坏")


# --- layouts: the page goes by what the listing goes by ------------------------------------

def test_a_column_named_rowid_orders_pages_as_it_orders_the_listing(tmp_path):
    path = tmp_path / "history.sqlite3"
    con = sqlite3.connect(path)
    con.execute("CREATE TABLE runs (run_id, version, snapshot, fingerprints, rowid)")
    con.close()
    create_store(path)
    write_runs(path, [titled(n) for n in range(7)])
    con = sqlite3.connect(path)
    with con:  # the column runs against the insertion order
        con.execute("UPDATE runs SET rowid = 100 - _rowid_")
    con.close()
    reader = HistoryReader(path)
    whole = reader.list_runs(200)["runs"]
    assert [run["title"] for run in whole] == [f"run {n}" for n in range(7)]
    pages, before = [], None
    for _ in range(len(whole)):
        page = reader.list_runs(2, before)["runs"]
        if not page:
            break
        pages += page
        before = page[-1]["run_id"]
    assert pages == whole


def test_without_rowid_runs_fail_paged_as_listed(tmp_path):
    path = tmp_path / "history.sqlite3"
    create_store(path, primary_keys={"runs": "run_id"})
    run_id = write_run(path, titled(0))
    listed = raises(lambda: HistoryReader(path).list_runs(), "无法只读查询发布记录", "RUN-005")
    paged = raises(lambda: HistoryReader(path).list_runs(5, run_id), "无法只读查询发布记录", "RUN-005")
    assert (type(paged.__cause__), str(paged.__cause__)) == (type(listed.__cause__), str(listed.__cause__))
    raises(lambda: HistoryReader(path).list_runs(5, "not-a-run"), BAD_ID)


LAYOUTS = {
    "as written": {},
    "indexed run_id": {"indexes": ["runs(run_id)"]},
    "nocase run_id, indexed": {"declared": {"runs.run_id": NOCASE}, "indexes": ["runs(run_id)"]},
    "declared types": {"declared": {"runs.run_id": "TEXT", "runs.version": "INTEGER"}},
}


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(layout=st.sampled_from(list(LAYOUTS)), count=st.integers(1, 24),
       copies=st.lists(st.tuples(st.integers(0, 23), st.integers(0, 23)), max_size=4),
       deleted=st.sets(st.integers(0, 23), max_size=5), limit=st.integers(1, 8), pick=st.integers(0, 23))
def test_pages_against_python(layout, count, copies, deleted, limit, pick):
    # Random stores with gaps in the row ids and run ids stored twice: a page is the one Python
    # works out, each run on it as the whole listing shows it; following the pages from the
    # newest ends where Python's walk ends, having met every run once when no id is stored twice.
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "history.sqlite3"
        create_store(path, **LAYOUTS[layout])
        runs = [titled(n) for n in range(count)]
        copied = {target: source for target, source in copies if source < target < count}
        for n, run in enumerate(runs):
            if n in copied:
                run.run_id = runs[copied[n]].run_id
                write_copy(path, run, run.run_id)
            else:
                write_run(path, run)
        con = sqlite3.connect(path)
        with con:
            con.executemany("DELETE FROM runs WHERE rowid=?", [(n + 1,) for n in deleted if n < count])
        con.close()
        rows = stored_rows(path)
        if not rows:
            return
        reader = HistoryReader(path)
        whole = reader.list_runs(200)["runs"]
        before = rows[pick % len(rows)][1]
        page = reader.list_runs(limit, before)
        assert head(page)["total"] == len(rows)
        assert run_ids(page) == expected_page(rows, limit, before)
        first = max(k for k, (_, run_id) in enumerate(rows) if run_id == before)
        assert page["runs"] == whole[first + 1:first + 1 + limit]

        walked, before = [], None
        for _ in range(len(rows) + 1):  # each page but the last holds at least one run
            runs_on_page = reader.list_runs(limit, before)["runs"]
            if not runs_on_page:
                break
            walked += [run["title"] for run in runs_on_page]
            before = runs_on_page[-1]["run_id"]
        # Run n was written as row n + 1.
        assert walked == [f"run {rowid - 1}" for rowid in walked_in_python(rows, limit)]
        if len({run_id for _, run_id in rows}) == len(rows):
            assert walked == [run["title"] for run in whole]


# --- failures -------------------------------------------------------------------------------

MALFORMED = ["123E4567-E89B-42D3-A456-426614174000", "123e4567e89b42d3a456426614174000", "",
             "123e4567-e89b-42d3-a456-426614174000\n", 5, 1.5, True, b"x",
             ["123e4567-e89b-42d3-a456-426614174000"], object()]


@pytest.mark.parametrize("before", MALFORMED, ids=lambda v: "object()" if type(v) is object else repr(v))
def test_malformed_before_is_refused_before_the_store_is_touched(tmp_path, unchanged, before):
    # Paths that would fail, or list nothing, were they looked at: the format check comes first.
    with unchanged(tmp_path):
        for path in (5, tmp_path, tmp_path / "absent.sqlite3"):
            raises(lambda: HistoryReader(path).list_runs(20, before), BAD_ID)
            raises(lambda: HistoryReader(path).list_runs(before=before), BAD_ID)


@pytest.mark.parametrize("limit", [0, 201, True, 20.0, "20", None])
@pytest.mark.parametrize("before", ["not-a-run", UNKNOWN])
def test_a_bad_limit_is_reported_before_before(tmp_path, limit, before):
    raises(lambda: HistoryReader(tmp_path).list_runs(limit, before), LIMIT_MESSAGE)


def test_missing_store_lists_nothing_for_any_before(tmp_path, unchanged):
    path = tmp_path / "absent.sqlite3"
    with unchanged(tmp_path):
        assert HistoryReader(path).list_runs(7, UNKNOWN) == {"database_present": False, "total": 0, "limit": 7,
                                                            "order": "insertion_desc", "runs": []}


def test_before_that_is_not_stored_is_not_found(tmp_path):
    path = tmp_path / "history.sqlite3"
    create_store(path)
    raises(lambda: HistoryReader(path).list_runs(20, UNKNOWN), NOT_FOUND)  # no runs at all
    write_run(path, titled(0))
    raises(lambda: HistoryReader(path).list_runs(20, UNKNOWN), NOT_FOUND)


def test_the_layout_is_checked_before_before_is_looked_up(tmp_path):
    path = tmp_path / "history.sqlite3"
    create_store(path)
    con = sqlite3.connect(path)
    con.execute("DROP TABLE entries")
    con.close()
    raises(lambda: HistoryReader(path).list_runs(20, UNKNOWN), "发布记录结构不受支持或已损坏")


def test_paging_leaves_the_store_alone(history, unchanged):
    newest = HistoryReader(history).list_runs(1)["runs"][0]["run_id"]
    with unchanged(os.path.dirname(history)):
        HistoryReader(history).list_runs(200, newest)
        raises(lambda: HistoryReader(history).list_runs(200, UNKNOWN), NOT_FOUND)
