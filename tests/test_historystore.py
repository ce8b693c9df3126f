"""The stand-in's history writer (publish.historystore), which makes the demo and test stores: the
layout, rows and exact value types it writes, and how it opens and closes the store. The JSON
outcome writer is tested in test_jsonwriter.py."""

import json
import re
import sqlite3
import subprocess
import sys
import uuid
from pathlib import Path

import pytest

import publish
from publish import historystore as hs
from publish.historystore import (
    AUTO, Entry, Item, RawText, Run, account_identity, create_store, demo_store,
    fingerprint, write_raw_account, write_raw_entry, write_raw_run, write_run,
)

HEX64 = re.compile(r"[0-9a-f]{64}")
PACKAGE_ROOT = Path(publish.__file__).absolute().parent.parent


@pytest.fixture
def store(tmp_path):
    return tmp_path / "history.db"


def rows(path, sql, *params):
    con = sqlite3.connect(path)
    try:
        return con.execute(sql, params).fetchall()
    finally:
        con.close()


def columns(path, table):
    return [r[1] for r in rows(path, f"PRAGMA table_info({table})")]


# --- the layout --------------------------------------------------------------

@pytest.mark.parametrize("accounts, extra, expected", [
    (True, False, {"runs": ["run_id", "version", "snapshot", "fingerprints"],
                   "entries": ["run_id", "item_index", "platform", "state", "result",
                               "retryable"],
                   "accounts": ["run_id", "platform", "account_file", "identity"]}),
    (False, False, {"runs": ["run_id", "version", "snapshot", "fingerprints"],
                    "entries": ["run_id", "item_index", "platform", "state", "result",
                                "retryable"]}),
    (True, True, {"runs": ["run_id", "version", "snapshot", "fingerprints", "created_at",
                           "label"],
                  "entries": ["run_id", "item_index", "platform", "state", "result",
                              "retryable", "updated_at"],
                  "accounts": ["run_id", "platform", "account_file", "identity",
                               "bound_at"]}),
])
def test_create_store_tables(store, accounts, extra, expected):
    create_store(store, accounts=accounts, extra=extra)
    tables = [r[0] for r in rows(store, "SELECT name FROM sqlite_master WHERE type='table'")]
    assert {t: columns(store, t) for t in tables} == expected


def test_store_uses_rollback_journal_and_leaves_no_side_files(store):
    create_store(store)
    write_run(store, Run([Item.video()]))
    write_raw_entry(store, run_id="x")
    assert rows(store, "PRAGMA journal_mode") == [("delete",)]
    assert sorted(p.name for p in store.parent.iterdir()) == ["history.db"]


def test_every_connection_is_committed_and_closed(store, monkeypatch):
    opened = []
    real = sqlite3.connect

    def tracking(*a, **kw):
        con = real(*a, **kw)
        opened.append(con)
        return con

    monkeypatch.setattr(hs.sqlite3, "connect", tracking)
    create_store(store)
    write_run(store, Run([Item.video()]))
    write_raw_run(store, run_id="raw")
    monkeypatch.undo()
    assert len(opened) == 3
    for con in opened:
        with pytest.raises(sqlite3.ProgrammingError):
            con.execute("SELECT 1")
    assert rows(store, "SELECT count(*) FROM runs") == [(2,)]


def test_writers_create_a_missing_store_but_keep_an_existing_layout(store, tmp_path):
    write_run(store, Run([Item.video()]))
    assert columns(store, "accounts") == ["run_id", "platform", "account_file", "identity"]
    bare = tmp_path / "bare.db"
    create_store(bare, accounts=False)
    write_run(bare, Run([Item.video(platforms=["douyin", "weibo"])]))
    assert rows(bare, "SELECT name FROM sqlite_master WHERE name='accounts'") == []
    assert rows(bare, "SELECT count(*) FROM entries") == [(2,)]


# --- runs ----------------------------------------------------------------------

def test_run_row_and_snapshot_shape(store):
    video = Item.video("/home/demo/videos/旅行.mp4", ["douyin", "bilibili"], title="杭州",
                       desc="西湖", tags=["旅行"], publish_time="2024-05-01T08:00:00+08:00",
                       accounts={"bilibili": None})
    note = Item.note(["/home/demo/pictures/a.jpg", "/home/demo/pictures/b.jpg"],
                     ["xiaohongshu"])
    run_id = write_run(store, Run([video, note]))
    assert uuid.UUID(run_id).version == 4 and run_id == run_id.lower()
    [(rid, version, snapshot, fps)] = rows(store, "SELECT * FROM runs")
    assert (rid, version) == (run_id, 2)
    assert json.loads(snapshot) == [
        {"content_type": "video", "enabled_platforms": ["douyin", "bilibili"],
         "platforms": {"douyin_account": "/home/demo/.kamo/accounts/douyin.json",
                       "bilibili_account": None},
         "title": "杭州", "desc": "西湖", "tags": ["旅行"],
         "publish_time": "2024-05-01T08:00:00+08:00",
         "video_file": "/home/demo/videos/旅行.mp4", "images": []},
        {"content_type": "note", "enabled_platforms": ["xiaohongshu"],
         "platforms": {"xiaohongshu_account": "/home/demo/.kamo/accounts/xiaohongshu.json"},
         "title": "旅行日记", "desc": "", "tags": [], "publish_time": None,
         "video_file": "", "images": ["/home/demo/pictures/a.jpg", "/home/demo/pictures/b.jpg"]},
    ]
    assert "旅行" in snapshot  # stored as real text, not \u escapes
    fps = json.loads(fps)
    assert sorted(fps) == ["/home/demo/pictures/a.jpg", "/home/demo/pictures/b.jpg",
                           "/home/demo/videos/旅行.mp4"]
    assert all(HEX64.fullmatch(d) for d in fps.values())
    assert fps["/home/demo/videos/旅行.mp4"] == fingerprint("/home/demo/videos/旅行.mp4")
    assert len(set(fps.values())) == 3


def test_runs_keep_write_order(store):
    ids = [write_run(store, Run([Item.video()], version=v)) for v in (2, 1, 2)]
    assert rows(store, "SELECT run_id, version FROM runs ORDER BY rowid") == \
        list(zip(ids, [2, 1, 2]))


def test_item_extra_and_run_overrides_store_what_they_are_given(store):
    run = Run([Item.video(extra={"title": 5, "surprise": True})],
              run_id="fixed", version="2", fingerprints={"/x": "nothex"})
    write_run(store, run)
    [(rid, version, snapshot, fps)] = rows(store, "SELECT * FROM runs")
    assert (rid, version, json.loads(fps)) == ("fixed", "2", {"/x": "nothex"})
    assert json.loads(snapshot)[0]["title"] == 5
    assert json.loads(snapshot)[0]["surprise"] is True
    write_run(store, Run([Item.video()], run_id="r2", snapshot=b"\x00", fingerprints=None))
    assert rows(store, "SELECT snapshot, fingerprints FROM runs WHERE run_id='r2'") == \
        [(b"\x00", None)]


# --- entries -----------------------------------------------------------------

@pytest.mark.parametrize("entry, state, result, retryable", [
    (Entry.success(), "success",
     {"success": True, "message": "发布成功", "error_code": None, "result_url": None,
      "result_id": None, "safe_to_retry": None, "action": None}, 0),
    (Entry.success("https://www.bilibili.com/video/BV1xx411c7mD", "BV1xx411c7mD"), "success",
     {"success": True, "message": "发布成功", "error_code": None,
      "result_url": "https://www.bilibili.com/video/BV1xx411c7mD",
      "result_id": "BV1xx411c7mD", "safe_to_retry": None, "action": None}, 0),
    (Entry.success(id=42, message=None), "success",
     {"success": True, "message": None, "error_code": None, "result_url": None,
      "result_id": 42, "safe_to_retry": None, "action": None}, 0),
    (Entry.failure(), "failed",
     {"success": False, "message": "发布失败", "error_code": "PUBLISH_FAILED",
      "result_url": None, "result_id": None, "safe_to_retry": False, "action": None}, 0),
    (Entry.failure("LOGIN_EXPIRED", "登录过期", retry=True, action="重新登录"), "failed",
     {"success": False, "message": "登录过期", "error_code": "LOGIN_EXPIRED",
      "result_url": None, "result_id": None, "safe_to_retry": True, "action": "重新登录"}, 1),
    (Entry.failure("NET", retry=True, safe_to_retry=None), "failed",
     {"success": False, "message": "发布失败", "error_code": "NET", "result_url": None,
      "result_id": None, "safe_to_retry": None, "action": None}, 1),
    (Entry.pending(), "pending", None, 0),
    (Entry.running(), "running", None, 0),
])
def test_entry_helpers(store, entry, state, result, retryable):
    run_id = write_run(store, Run([Item.video(platforms=["douyin"])],
                                  entries={(0, "douyin"): entry}))
    [(rid, index, platform, st, res, retry)] = rows(store, "SELECT * FROM entries")
    assert (rid, index, platform, st, retry) == (run_id, 0, "douyin", state, retryable)
    assert (None if res is None else json.loads(res)) == result


def test_entry_rows_default_omit_and_extra(store):
    run = Run(
        [Item.video(platforms=["douyin", "bilibili"]), Item.note(platforms=["weibo"])],
        entries={(0, "bilibili"): None,                      # left out
                 (1, "weibo"): Entry.pending(),
                 (5, "tk"): Entry.failure(retry=True),        # outside the items
                 (0, "douyin"): Entry("success", "{not json", 7)},
    )
    write_run(store, run)
    got = rows(store, "SELECT item_index, platform, state, result, retryable "
                      "FROM entries ORDER BY rowid")
    assert [(i, p, s, r) for i, p, s, _, r in got] == [
        (0, "douyin", "success", 7), (1, "weibo", "pending", 0), (5, "tk", "failed", 1)]
    assert got[0][3] == "{not json"


def test_missing_entries_default_to_success(store):
    write_run(store, Run([Item.video(platforms=["douyin", "kuaishou"])]))
    got = rows(store, "SELECT platform, state, result, retryable FROM entries ORDER BY rowid")
    assert [(p, s, json.loads(r)["success"], n) for p, s, r, n in got] == [
        ("douyin", "success", True, 0), ("kuaishou", "success", True, 0)]


# --- accounts ----------------------------------------------------------------

def test_default_accounts_one_per_distinct_binding(store):
    shared = "/home/demo/.kamo/accounts/main.json"
    run = Run([Item.video(platforms=["douyin", "bilibili", "weibo"],
                          accounts={"douyin": shared, "weibo": None}),
               Item.note(platforms=["douyin", "xiaohongshu"], accounts={"douyin": shared})],
              identities={("xiaohongshu", "/home/demo/.kamo/accounts/xiaohongshu.json"): None})
    run_id = write_run(store, run)
    got = rows(store, "SELECT * FROM accounts ORDER BY rowid")
    assert got == [
        (run_id, "douyin", shared, account_identity("douyin", shared)),
        (run_id, "bilibili", "/home/demo/.kamo/accounts/bilibili.json",
         account_identity("bilibili", "/home/demo/.kamo/accounts/bilibili.json")),
        (run_id, "xiaohongshu", "/home/demo/.kamo/accounts/xiaohongshu.json", None),
    ]
    assert all(re.fullmatch(r"sha256-v1:[0-9a-f]{64}", r[3]) for r in got[:2])
    assert got[0][3] != got[1][3]


def test_accounts_for_other_versions_and_explicit_rows(store):
    write_run(store, Run([Item.video()], version=1))
    assert rows(store, "SELECT count(*) FROM accounts") == [(0,)]
    rid = write_run(store, Run([Item.video()], accounts=[("douyin", 3.5, b"\x01"),
                                                         ("ghost", None, "sha256-v1:x")]))
    assert rows(store, "SELECT * FROM accounts ORDER BY rowid") == [
        (rid, "douyin", 3.5, b"\x01"), (rid, "ghost", None, "sha256-v1:x")]


# --- raw writers ---------------------------------------------------------------

@pytest.mark.parametrize("value, sqltype, stored", [
    ("文本", "text", "文本"),
    (7, "integer", 7),
    (2.5, "real", 2.5),
    (b"\xff\x00", "blob", b"\xff\x00"),
    (None, "null", None),
    (RawText(b"\xff\xfe bad"), "text", b"\xff\xfe bad"),
    ({"a": "中"}, "text", '{"a": "中"}'.encode()),
])
@pytest.mark.parametrize("writer, table, column", [
    (write_raw_run, "runs", "snapshot"),
    (write_raw_entry, "entries", "result"),
    (write_raw_account, "accounts", "identity"),
])
def test_raw_writers_store_exact_types(store, writer, table, column, value, sqltype, stored):
    rowid = writer(store, **{column: value, "run_id": "r"})
    con = sqlite3.connect(store)
    con.text_factory = bytes
    try:
        got = con.execute(f"SELECT typeof({column}), {column}, run_id FROM {table} "
                          "WHERE rowid = ?", (rowid,)).fetchone()
    finally:
        con.close()
    expected = stored.encode() if isinstance(stored, str) else stored
    assert got == (sqltype.encode(), expected, b"r")


def test_raw_writers_reach_extra_columns_and_report_bad_ones(store):
    create_store(store, extra=True)
    write_raw_run(store, run_id="r", created_at="2024-05-01")
    assert rows(store, "SELECT run_id, version, created_at FROM runs") == \
        [("r", None, "2024-05-01")]
    with pytest.raises(sqlite3.OperationalError):
        write_raw_entry(store, nonsense=1)


# --- demo --------------------------------------------------------------------

def check_demo(path, run_ids):
    runs = rows(path, "SELECT run_id, version, snapshot FROM runs ORDER BY rowid")
    assert [r[0] for r in runs] == run_ids and len(runs) >= 3
    assert sorted({r[1] for r in runs}) == [1, 2]
    titles = [item["title"] for r in runs for item in json.loads(r[2])]
    assert all(re.search(r"[\u4e00-\u9fff]", t) for t in titles)
    states = {r[0] for r in rows(path, "SELECT state FROM entries")}
    assert states == {"pending", "running", "success", "failed"}
    urls = [json.loads(r[0])["result_url"]
            for r in rows(path, "SELECT result FROM entries WHERE state='success'")]
    assert "https://www.bilibili.com/video/BV1xx411c7mD" in urls
    assert any(u and not u.startswith("https://") for u in urls)
    paths = [p for r in runs for item in json.loads(r[2])
             for p in [item["video_file"], *item["images"], *item["platforms"].values()] if p]
    assert paths and all(p.startswith("/home/demo/") for p in paths)


def test_demo_store(store):
    check_demo(store, demo_store(store))
    with pytest.raises(FileExistsError):
        demo_store(store)


def test_demo_store_as_a_module(store):
    out = subprocess.run([sys.executable, "-m", "publish.historystore", str(store)],
                         env={"PYTHONPATH": str(PACKAGE_ROOT)}, capture_output=True,
                         text=True)
    assert (out.returncode, out.stdout) == (0, f"{store}\n")
    check_demo(store, [r[0] for r in rows(store, "SELECT run_id FROM runs")])
