"""The two public queries, end to end against real stores."""

import json
import os

import pytest

from publish import runlens
from stores import Entry, HistoryError, HistoryReader, Item, Run, create_store, write_raw_run, write_run

LIMIT_MESSAGE = "查询数量必须是 1–200 的整数"


@pytest.fixture
def db(tmp_path):
    return tmp_path / "history.sqlite3"


def raises(call, message, code="RUN-003"):
    with pytest.raises(HistoryError) as caught:
        call()
    assert (caught.value.code, caught.value.message) == (code, message)
    return caught.value


def titled(n, **kw):
    return Run([Item.video(f"/v/{n}.mp4", ["douyin"], title=f"run {n}")], **kw)


@pytest.mark.parametrize("limit", [0, 201, -1, True, False, 20.0, "20", None, [20], 10 ** 30])
def test_bad_limits_are_refused_before_the_store_is_touched(tmp_path, limit):
    # A path that would fail as a store: the argument check must come first.
    raises(lambda: HistoryReader(tmp_path).list_runs(limit), LIMIT_MESSAGE)
    raises(lambda: HistoryReader(5).list_runs(limit), LIMIT_MESSAGE)


@pytest.mark.parametrize("run_id", ["123E4567-E89B-42D3-A456-426614174000", "123e4567e89b42d3a456426614174000",
                                    5, None, "", "123e4567-e89b-42d3-a456-426614174000\n", b"x"])
def test_bad_run_ids_are_refused_before_the_store_is_touched(tmp_path, run_id):
    raises(lambda: HistoryReader(5).get_run(run_id), "run_id 格式无效")
    raises(lambda: HistoryReader(tmp_path).get_run(run_id=run_id), "run_id 格式无效")


def test_missing_store_lists_nothing_and_creates_nothing(tmp_path):
    path = tmp_path / "absent.sqlite3"
    assert HistoryReader(path).list_runs() == {"database_present": False, "total": 0, "limit": 20,
                                               "order": "insertion_desc", "runs": []}
    assert list(HistoryReader(path).list_runs(7)) == ["database_present", "total", "limit", "order", "runs"]
    raises(lambda: HistoryReader(path).get_run("123e4567-e89b-42d3-a456-426614174000"), "未找到发布记录")
    assert os.listdir(tmp_path) == []


def test_unknown_run_id_is_not_found(db):
    write_run(db, titled(1))
    raises(lambda: HistoryReader(db).get_run("123e4567-e89b-42d3-a456-426614174000"), "未找到发布记录")


def test_newest_runs_first_with_the_total(db):
    ids = [write_run(db, titled(n)) for n in range(12)]
    listed = HistoryReader(db).list_runs(5)
    assert (listed["database_present"], listed["total"], listed["limit"], listed["order"]) == \
        (True, 12, 5, "insertion_desc")
    assert [r["run_id"] for r in listed["runs"]] == ids[::-1][:5]
    assert [r["title"] for r in listed["runs"]] == [f"run {n}" for n in range(11, 6, -1)]


@pytest.mark.parametrize("limit, count", [(1, 1), (200, 3), (20, 3)])
def test_limits_at_the_edges(db, limit, count):
    for n in range(3):
        write_run(db, titled(n))
    assert len(HistoryReader(db).list_runs(limit)["runs"]) == count
    assert len(HistoryReader(db).list_runs()["runs"]) == 3


def test_summary_record(db):
    run = Run([Item.video(platforms=["douyin", "tk"], title=""), Item.note(platforms=["weibo"], title="x")],
              {(0, "douyin"): Entry.running(), (0, "tk"): Entry.failure(), (1, "weibo"): Entry.success()},
              version=1)
    write_run(db, run)
    (summary,) = HistoryReader(db).list_runs()["runs"]
    assert summary == {
        "run_id": run.run_id, "version": 1, "created_at": None, "title": "", "item_count": 2, "entry_count": 3,
        "states": {"pending": 0, "running": 1, "success": 1, "failed": 1},
        "resume": {"reuse_success": 1, "requires_checks": 0, "blocked_unknown": 2, "blocked_identity": 0},
    }
    assert list(summary) == ["run_id", "version", "created_at", "title", "item_count", "entry_count", "states",
                             "resume"]


def test_one_damaged_run_fails_the_whole_list(db):
    write_run(db, titled(1))
    write_run(db, Run([Item.video(platforms=["douyin"])], {(0, "douyin"): Entry("success", None, 2)}))
    write_run(db, titled(2))
    raises(lambda: HistoryReader(db).list_runs(), "发布记录中的状态无效")
    # Outside the listed window, the damaged run is not read.
    assert len(HistoryReader(db).list_runs(1)["runs"]) == 1


def test_damaged_run_row_fails_the_list_with_its_message(db):
    write_run(db, titled(1))
    write_raw_run(db, run_id="not-a-uuid", version=2, snapshot="[]", fingerprints="{}")
    raises(lambda: HistoryReader(db).list_runs(), "发布记录编号或版本不受支持")


def test_layout_failures_reach_both_queries(db):
    create_store(db)
    import sqlite3
    con = sqlite3.connect(db)
    con.execute("DROP TABLE entries")
    con.commit()
    con.close()
    raises(lambda: HistoryReader(db).list_runs(), "发布记录结构不受支持或已损坏")
    raises(lambda: HistoryReader(db).get_run("123e4567-e89b-42d3-a456-426614174000"), "发布记录结构不受支持或已损坏")


def test_get_run_equals_the_projection_behind_the_summary(db):
    run_id = write_run(db, Run([Item.video(platforms=["douyin", "bilibili"])],
                               {(0, "douyin"): Entry.pending()}))
    detail = HistoryReader(db).get_run(run_id)
    (summary,) = HistoryReader(db).list_runs()["runs"]
    assert summary["states"] == detail["states"] and summary["resume"] == detail["resume"]
    assert summary["entry_count"] == sum(detail["states"].values()) == sum(detail["resume"].values()) == 2


def test_queries_accept_every_path_form(db):
    run_id = write_run(db, titled(1))
    for path in (db, str(db), os.fsencode(db)):
        assert HistoryReader(path).get_run(run_id)["run_id"] == run_id
        assert HistoryReader(path=path).path == path


def test_store_path_must_be_a_path(db):
    write_run(db, titled(1))
    with pytest.raises(TypeError):
        HistoryReader(3.5).list_runs()
    with pytest.raises(TypeError):
        HistoryReader(object()).get_run("123e4567-e89b-42d3-a456-426614174000")


# --- the limit on integer digits --------------------------------------------------------------

LONG = 5001  # digits: past Python's default limit of 4300


MARK = "@long@"


def with_long(value, digits):
    """JSON text of value with the string MARK replaced by an integer of that many digits
    (json.dumps itself refuses to write one past the limit)."""
    return json.dumps(value, ensure_ascii=False).replace(json.dumps(MARK), "7" * digits)


def long_result_id(digits):
    outcome = Entry.outcome(True, "发布成功", result_url="https://www.douyin.com/video/7301", result_id=MARK)
    return Run([Item.video("/v/a.mp4", ["douyin"])], {(0, "douyin"): Entry("success", with_long(outcome, digits))})


def long_dropped_field(digits):
    # A snapshot member no projection keeps.
    run = Run([Item.video("/v/a.mp4", ["douyin"], extra={"unused": MARK})])
    run.snapshot = with_long(run.snapshot_json(), digits)
    return run


def long_fingerprint(digits):
    return Run([Item.video("/v/a.mp4", ["douyin"])], fingerprints=with_long({"/v/a.mp4": MARK}, digits))


# What each run is once the decoder reads it: readable, or the check that then fails.
DIGIT_CASES = {
    "stored result_id": (long_result_id, None),
    "dropped snapshot field": (long_dropped_field, None),
    "fingerprint value": (long_fingerprint, "发布记录中的素材指纹已损坏"),
}
QUERIES = {
    "list_runs": lambda reader, run_id: reader.list_runs(),
    "get_run": lambda reader, run_id: reader.get_run(run_id),
}


def json_refusal(digits):
    with pytest.raises(ValueError) as caught:
        json.loads(with_long([MARK], digits))
    return str(caught.value)


@pytest.mark.parametrize("query", QUERIES)
@pytest.mark.parametrize("case", DIGIT_CASES)
def test_integers_past_the_digit_limit_are_unreadable(db, digit_limit, case, query):
    make, _ = DIGIT_CASES[case]
    run_id = write_run(db, make(LONG))
    for limit in (4300, 640):
        digit_limit(limit)
        err = raises(lambda: QUERIES[query](HistoryReader(db), run_id), "发布记录不存在或已损坏")
        assert type(err.__cause__) is ValueError
        assert str(err.__cause__) == json_refusal(LONG)


@pytest.mark.parametrize("query", QUERIES)
@pytest.mark.parametrize("case", DIGIT_CASES)
@pytest.mark.parametrize("limit", [0, LONG, LONG + 1])
def test_a_raised_digit_limit_is_honoured(db, digit_limit, case, query, limit):
    make, then = DIGIT_CASES[case]
    run_id = write_run(db, make(LONG))
    digit_limit(limit)
    if then is not None:
        raises(lambda: QUERIES[query](HistoryReader(db), run_id), then)
        return
    got = QUERIES[query](HistoryReader(db), run_id)
    if query == "list_runs":
        assert [r["run_id"] for r in got["runs"]] == [run_id]
    elif case == "stored result_id":
        assert got["items"][0]["platforms"][0]["result"]["result_id"] == int("7" * LONG)
    else:
        assert got["run_id"] == run_id


def test_the_limit_is_read_at_each_query(db, digit_limit):
    run_id = write_run(db, long_result_id(LONG))
    reader = HistoryReader(db)
    digit_limit(0)
    assert reader.get_run(run_id)["items"][0]["platforms"][0]["result"]["result_id"] == int("7" * LONG)
    digit_limit(4300)
    raises(lambda: reader.get_run(run_id), "发布记录不存在或已损坏")
    digit_limit(LONG)
    assert reader.list_runs()["runs"][0]["run_id"] == run_id


@pytest.mark.parametrize("digits", [641, 4300, 20000])
def test_long_integers_convert_exactly_at_any_length(db, digit_limit, digits):
    digit_limit(0)
    for sign in ("", "-"):
        text = sign + "9" + "1234567890" * (digits // 10)
        assert runlens._json('{"n": %s}' % text) == {"n": int(text)}
