"""Projection of stored runs: entries, results, identities, resume decisions and evidence."""

import copy

import pytest
from hypothesis import given, settings, strategies as st

from publish import runlens
from stores import (IDENTITY, Entry, HistoryError, HistoryReader, Item, Run, create_store,
                    write_raw_account, write_raw_entry, write_run)

RESUME_CHECKS = ["恢复时重新核对原始素材内容指纹", "重新检查计划时间、许可证及运行环境",
                 "上传前核验实际账号与原任务绑定的账号身份一致"]
EVIDENCE_CHECKS = ["使用原账号进入平台作品后台；若发布进程仍在运行，先等待其结束",
                   "按原完整标题、描述、标签、素材及计划时间核对对应作品",
                   "分别确认提交状态、作品归因和公开页面访问或播放；记录链接本次未核验",
                   "未知提交不要自动重发，不用后续任务的结果核销旧记录"]
ACTIONS = {
    "reuse_success": "复用原成功结果，不再投稿；记录链接仍需独立核对",
    "blocked_unknown": "提交结果未确认；先等待正在运行的任务或使用原账号核对后台，不自动重发",
    "blocked_identity": "原任务无可核验的账号身份；先核对原账号和未提交条目，不用当前账号补证",
    "requires_checks": "记录层允许继续检查；--resume 仍须重新校验后才可能上传",
}
BILI = "https://www.bilibili.com/video/BV1xx411c7mD"


@pytest.fixture
def db(tmp_path):
    return tmp_path / "history.sqlite3"


def project(db, run, accounts=True):
    create_store(db, accounts=accounts)
    write_run(db, run)
    return HistoryReader(db).get_run(run.run_id)


def failure(db, run, accounts=True, extra=()):
    create_store(db, accounts=accounts)
    write_run(db, run)
    for table, cells in extra:
        {"entries": write_raw_entry, "accounts": write_raw_account}[table](db, run_id=run.run_id, **cells)
    with pytest.raises(HistoryError) as caught:
        HistoryReader(db).get_run(run.run_id)
    assert caught.value.code == "RUN-003"
    return caught.value.message


def only_platform(record):
    (item,) = record["items"]
    (platform,) = item["platforms"]
    return platform


def one(entry, platform="douyin", version=2, **run):
    return Run([Item.video(platforms=[platform])], {(0, platform): entry}, version=version, **run)


BAD_ENTRY = "发布记录条目无效"
DUPLICATE = "发布记录条目重复"
MISMATCH = "发布记录与原素材或平台不一致"
DUP_ACCOUNT = "发布记录中的账号身份重复"
STATE = "发布记录中的状态无效"
CONTRADICTS = "发布状态与保存结果不一致"
FIELD = "发布结果字段无效"
RESULT_ID = "发布结果编号无效"
IDENTITY_BROKEN = "发布记录中的原账号身份已损坏"


def ok(**over):
    return {**Entry.outcome(True, "发布成功"), **over}


@pytest.mark.parametrize("run, extra, message", [
    (one(None), [("entries", dict(item_index="0", platform="douyin", state="success", result=ok(), retryable=0))],
     BAD_ENTRY),
    (one(None), [("entries", dict(item_index=0.0, platform="douyin", state="success", result=ok(), retryable=0))],
     BAD_ENTRY),
    (one(None), [("entries", dict(item_index=-1, platform="douyin", state="success", result=ok(), retryable=0))],
     BAD_ENTRY),
    (one(None), [("entries", dict(item_index=0, platform=None, state="success", result=ok(), retryable=0))],
     BAD_ENTRY),
    (one(Entry.success()), [("entries", dict(item_index=0, platform="douyin", state="pending", retryable=0))],
     DUPLICATE),
    (one(None), [], MISMATCH),
    (one(Entry.success()), [("entries", dict(item_index=0, platform="tk", state="pending", retryable=0))], MISMATCH),
    (one(Entry.success()), [("entries", dict(item_index=1, platform="douyin", state="pending", retryable=0))],
     MISMATCH),
    (one(Entry.success()), [("accounts", dict(platform="kuaishou", account_file="/a", identity=None)),
                            ("accounts", dict(platform="kuaishou", account_file="/a", identity=IDENTITY))],
     DUP_ACCOUNT),
    (one(Entry.success()), [("accounts", dict(platform="kuaishou", account_file=None, identity=None)),
                            ("accounts", dict(platform="kuaishou", account_file=None, identity=None))],
     DUP_ACCOUNT),
    (one(Entry("done")), [], STATE),
    (one(Entry("Success", ok())), [], STATE),
    (one(Entry("failed", Entry.outcome(False), 2)), [], STATE),
    (one(Entry("failed", Entry.outcome(False), "1")), [], STATE),
    (one(Entry("failed", Entry.outcome(False), 1.0)), [], STATE),
    (one(Entry("failed", Entry.outcome(False), None)), [], STATE),
    (one(Entry("success", ok(), 1)), [], STATE),
    (one(Entry("pending", None, 1)), [], STATE),
    (one(Entry("pending", ok())), [], CONTRADICTS),
    (one(Entry("running", "")), [], CONTRADICTS),
    (one(Entry("success", Entry.outcome(False))), [], CONTRADICTS),
    (one(Entry("failed", Entry.outcome(True))), [], CONTRADICTS),
    (one(Entry("success", {"message": "x"})), [], CONTRADICTS),
    (one(Entry("success", {"success": 1})), [], CONTRADICTS),
    (one(Entry("success", [True])), [], CONTRADICTS),
    (one(Entry("success", ok(message=5))), [], FIELD),
    (one(Entry("success", ok(error_code=[]))), [], FIELD),
    (one(Entry("success", ok(result_url={}))), [], FIELD),
    (one(Entry("success", ok(action=False))), [], FIELD),
    (one(Entry("success", ok(safe_to_retry="yes"))), [], FIELD),
    (one(Entry("success", ok(safe_to_retry=0))), [], FIELD),
    (one(Entry("success", ok(result_id=0))), [], RESULT_ID),
    (one(Entry("success", ok(result_id=-3))), [], RESULT_ID),
    (one(Entry("success", ok(result_id=True))), [], RESULT_ID),
    (one(Entry("success", ok(result_id=1.5))), [], RESULT_ID),
    (one(Entry("success", ok(result_id=-10 ** 30))), [], RESULT_ID),
    (one(Entry("success", ok(result_id=[1]))), [], RESULT_ID),
    (one(Entry.pending(), accounts=[]), [], IDENTITY_BROKEN),
    (one(Entry.pending(), identities={("douyin", "/home/demo/.kamo/accounts/douyin.json"): "sha256-v1:" + "A" * 64}),
     [], IDENTITY_BROKEN),
    (one(Entry.failure(retry=True), identities={("douyin", "/home/demo/.kamo/accounts/douyin.json"): 5}),
     [], IDENTITY_BROKEN),
], ids=lambda v: v if isinstance(v, str) else "")
def test_each_fault_has_its_message(db, run, extra, message):
    assert failure(db, run, extra=extra) == message


def test_success_without_a_stored_result_fails_in_the_decoder(db):
    create_store(db)
    run = one(Entry("success", None))
    write_run(db, run)
    with pytest.raises(HistoryError) as caught:
        HistoryReader(db).get_run(run.run_id)
    assert caught.value.message == "发布记录不存在或已损坏"
    assert isinstance(caught.value.__cause__, TypeError)


def test_malformed_result_fails_with_decoder_cause(db):
    create_store(db)
    run = one(Entry("success", '{"success": true, "success": true}'))
    write_run(db, run)
    with pytest.raises(HistoryError) as caught:
        HistoryReader(db).get_run(run.run_id)
    assert caught.value.message == "发布记录不存在或已损坏"
    assert str(caught.value.__cause__) == "duplicate record field"


@pytest.mark.parametrize("result_id", ["", "abc", 7, 10 ** 30, None])
def test_result_ids_accepted_unchanged(db, result_id):
    platform = only_platform(project(db, one(Entry("success", ok(result_id=result_id)))))
    assert platform["result"]["result_id"] == result_id
    assert type(platform["result"]["result_id"]) is type(result_id)


def test_result_keeps_its_seven_fields_only(db):
    entry = Entry("failed", {"message": "m", "success": False, "extra": 1, "result_url": BILI}, 0)
    platform = only_platform(project(db, one(entry)))
    assert platform["result"] == {"success": False, "message": "m", "error_code": None, "result_url": None,
                                  "result_id": None, "safe_to_retry": None, "action": None}
    assert list(platform["result"]) == ["success", "message", "error_code", "result_url", "result_id",
                                        "safe_to_retry", "action"]


@pytest.mark.parametrize("state, retryable, identity, status, code", [
    ("success", 0, "bound", "reuse_success", None),
    ("success", 0, "invalid", "reuse_success", None),
    ("running", 0, "bound", "blocked_unknown", "RUN-004"),
    ("failed", 0, "bound", "blocked_unknown", "RUN-004"),
    ("failed", 1, "legacy", "blocked_identity", "RUN-006"),
    ("pending", 0, "unbound", "blocked_identity", "RUN-006"),
    ("failed", 1, "unbound", "blocked_identity", "RUN-006"),
    ("running", 0, "not_recorded", "blocked_unknown", "RUN-004"),
    ("failed", 0, "invalid", "blocked_unknown", "RUN-004"),
    ("pending", 0, "bound", "requires_checks", None),
    ("failed", 1, "bound", "requires_checks", None),
])
def test_decision_table(state, retryable, identity, status, code):
    decision = HistoryReader._decision(state, retryable, identity)
    checks = {"reuse_success": [], "requires_checks": RESUME_CHECKS}.get(status, EVIDENCE_CHECKS)
    assert decision == {"status": status, "error_code": code, "action": ACTIONS[status], "checks": checks}
    assert list(decision) == ["status", "error_code", "action", "checks"]


# What no store can hand over: a value outside its set, a retry flag on an entry that is not
# failed, a runnable entry without a usable identity (the reader fails such a run instead).
@pytest.mark.parametrize("state, retryable, identity, refusal", [
    (None, None, None, TypeError),
    ("pending", 0, None, TypeError),
    ("pending", None, "bound", TypeError),
    ("pending", 0.0, "bound", TypeError),
    ("pending", "0", "bound", TypeError),
    ("done", 0, "bound", ValueError),
    ("Pending", 0, "bound", ValueError),
    ("pending", 0, "Bound", ValueError),
    ("failed", 2, "bound", ValueError),
    ("failed", -1, "bound", ValueError),
    ("pending", 1, "bound", ValueError),
    ("success", 1, "bound", ValueError),
    ("running", 1, "legacy", ValueError),
    ("pending", 0, "not_recorded", ValueError),
    ("failed", 1, "invalid", ValueError),
])
def test_decision_refuses_what_no_store_holds(state, retryable, identity, refusal):
    with pytest.raises(refusal):
        HistoryReader._decision(state, retryable, identity)


ACCOUNT = "/home/demo/.kamo/accounts/douyin.json"
STORED_ENTRY = {"pending": lambda retry: Entry("pending", None, retry),
                "running": lambda retry: Entry("running", None, retry),
                "success": lambda retry: Entry("success", ok(), retry),
                "failed": lambda retry: Entry("failed", Entry.outcome(False), retry)}
STORED_IDENTITY = {"legacy": {"version": 1}, "bound": {}, "unbound": {"identities": {("douyin", ACCOUNT): None}},
                   "not_recorded": {"accounts": []},
                   "invalid": {"identities": {("douyin", ACCOUNT): "sha256-v1:" + "A" * 64}}}


@pytest.mark.parametrize("identity", STORED_IDENTITY)
@pytest.mark.parametrize("retryable", [0, 1])
@pytest.mark.parametrize("state", STORED_ENTRY)
def test_decision_takes_exactly_what_a_store_holds(db, state, retryable, identity):
    # Every state, retry flag and identity status, written to a store: where the reader projects
    # the entry, _decision gives the entry's decision; where the reader fails the run, _decision
    # refuses the same facts.
    run = one(STORED_ENTRY[state](retryable), **STORED_IDENTITY[identity])
    try:
        platform = only_platform(project(db, run))
    except HistoryError as err:
        assert err.message in (STATE, IDENTITY_BROKEN)
        with pytest.raises(ValueError):
            HistoryReader._decision(state, retryable, identity)
    else:
        assert (platform["state"], platform["identity_status"]) == (state, identity)
        assert HistoryReader._decision(state, retryable, identity) == platform["resume"]


def test_each_decision_hands_out_its_own_lists():
    first = HistoryReader._decision("pending", 0, "bound")
    first["checks"].append("x")
    assert HistoryReader._decision("pending", 0, "bound")["checks"] == RESUME_CHECKS


TABLES = {
    "_STATES": ("pending", "running", "success", "failed"),
    "_RESUME": ("reuse_success", "requires_checks", "blocked_unknown", "blocked_identity"),
    "_RESULT_FIELDS": ("success", "message", "error_code", "result_url", "result_id", "safe_to_retry", "action"),
    "_RESUME_CHECKS": tuple(RESUME_CHECKS),
    "_EVIDENCE_CHECKS": tuple(EVIDENCE_CHECKS),
}


@pytest.mark.parametrize("name", TABLES)
def test_constant_tables_are_immutable_module_attributes(name):
    table = getattr(runlens, name)
    assert type(table) is tuple and table == TABLES[name]
    assert all(type(text) is str for text in table)
    with pytest.raises(TypeError):
        table[0] = "changed"
    with pytest.raises(AttributeError):
        table.append("changed")


def test_records_copy_the_tables_afresh(db, monkeypatch):
    run = Run([Item.video(platforms=["douyin", "kuaishou"])],
              {(0, "douyin"): Entry.pending(), (0, "kuaishou"): Entry.success()})
    first = project(db, run)
    second = HistoryReader(db).get_run(run.run_id)
    assert tuple(first["states"]) == runlens._STATES and tuple(first["resume"]) == runlens._RESUME
    pending, success = first["items"][0]["platforms"]
    assert tuple(success["result"]) == runlens._RESULT_FIELDS
    assert pending["resume"]["checks"] == list(runlens._RESUME_CHECKS)
    lists = [pending["resume"]["checks"], pending["evidence"]["checks"], success["evidence"]["checks"],
             second["items"][0]["platforms"][0]["evidence"]["checks"]]
    assert all(type(checks) is list for checks in lists)
    assert len({id(checks) for checks in lists}) == len(lists)
    for checks in lists[:3]:
        checks.append("changed")
    assert lists[3] == EVIDENCE_CHECKS
    # Rebinding a module attribute changes no record: the tables records copy are the reader's own.
    monkeypatch.setattr(runlens, "_RESUME_CHECKS", ("changed",))
    monkeypatch.setattr(runlens, "_EVIDENCE_CHECKS", ("changed",))
    assert HistoryReader(db).get_run(run.run_id) == second
    assert HistoryReader._decision("pending", 0, "bound")["checks"] == RESUME_CHECKS


ITEM = {"platforms": {"douyin_account": "/a.json"}}
ROW = {"identity": IDENTITY}


@pytest.mark.parametrize("item, version, accounts, runnable, expected", [
    (ITEM, 1, {}, True, ("/a.json", "legacy")),
    ({}, 1, {}, False, (None, "legacy")),
    (ITEM, 2, {("douyin", "/a.json"): ROW}, True, ("/a.json", "bound")),
    (ITEM, 2.0, {("douyin", "/a.json"): ROW}, True, ("/a.json", "bound")),
    (ITEM, 2, {("douyin", "/a.json"): {"identity": None}}, False, ("/a.json", "unbound")),
    (ITEM, 2, {("douyin", "/a.json"): {"identity": None}}, True, ("/a.json", "unbound")),
    (ITEM, 2, {}, False, ("/a.json", "not_recorded")),
    (ITEM, 2, {("douyin", "/b.json"): ROW}, False, ("/a.json", "not_recorded")),
    (ITEM, 2, {("douyin", "/a.json"): {"identity": IDENTITY.upper()}}, False, ("/a.json", "invalid")),
    (ITEM, 2, {("douyin", "/a.json"): {"identity": IDENTITY + "\n"}}, False, ("/a.json", "invalid")),
    (ITEM, 2, {("douyin", "/a.json"): {"identity": 1}}, False, ("/a.json", "invalid")),
    ({}, 2, {("douyin", None): ROW}, True, (None, "bound")),
    ({"platforms": {}}, 2, {("douyin", None): {"identity": None}}, False, (None, "unbound")),
])
def test_identity_table(item, version, accounts, runnable, expected):
    assert HistoryReader._identity(item, "douyin", version, accounts, runnable) == expected


@pytest.mark.parametrize("accounts", [{}, {("douyin", "/a.json"): {"identity": "sha256-v1:x"}}])
def test_unusable_identity_of_a_runnable_entry_fails(accounts):
    with pytest.raises(HistoryError) as caught:
        HistoryReader._identity(ITEM, "douyin", 2, accounts, True)
    assert caught.value.message == IDENTITY_BROKEN


@pytest.mark.parametrize("entry, platform, attribution, url", [
    (Entry.success(BILI), "bilibili", "recorded_link", BILI),
    (Entry.success(""), "bilibili", "missing_link", None),
    (Entry.success(None), "bilibili", "missing_link", None),
    (Entry.success("https://www.bilibili.com/video/BV1xx411c7m"), "bilibili", "invalid_link", None),
    (Entry.success(BILI), "douyin", "invalid_link", None),
    (Entry.failure(result_url=BILI), "bilibili", "not_confirmed", None),
    (Entry.pending(), "bilibili", "not_confirmed", None),
    (Entry.running(), "bilibili", "not_confirmed", None),
])
def test_attribution(db, entry, platform, attribution, url):
    p = only_platform(project(db, one(entry, platform)))
    assert p["evidence"]["attribution"] == attribution
    if p["result"] is not None:
        assert p["result"]["result_url"] == url
    if entry.state == "success":
        assert p["resume"]["status"] == "reuse_success"


@pytest.mark.parametrize("entry, submission", [
    (Entry.success(), "recorded_success"), (Entry.pending(), "not_started"),
    (Entry.running(), "not_confirmed"), (Entry.failure(), "not_confirmed"),
])
def test_evidence_record(db, entry, submission):
    evidence = only_platform(project(db, one(entry)))["evidence"]
    assert evidence == {"source": "local_history", "submission": submission,
                        "attribution": evidence["attribution"], "public_access": "not_checked",
                        "checks": EVIDENCE_CHECKS}
    assert list(evidence) == ["source", "submission", "attribution", "public_access", "checks"]


def test_version_one_never_reads_accounts(db):
    run = Run([Item.video(platforms=["douyin", "kuaishou"])],
              {(0, "douyin"): Entry.pending(), (0, "kuaishou"): Entry.failure(retry=True)}, version=1)
    record = project(db, run)
    for table_row in range(2):  # duplicates that would fail a version 2 run
        write_raw_account(db, run_id=run.run_id, platform="douyin", account_file=None, identity=None)
    record = HistoryReader(db).get_run(run.run_id)
    statuses = [(p["identity_status"], p["resume"]["status"], p["resume"]["error_code"])
                for p in record["items"][0]["platforms"]]
    assert statuses == [("legacy", "blocked_identity", "RUN-006")] * 2
    assert record["resume"] == {"reuse_success": 0, "requires_checks": 0, "blocked_unknown": 0,
                                "blocked_identity": 2}


def test_version_two_without_accounts_table(db):
    run = Run([Item.video(platforms=["douyin", "kuaishou", "bilibili"])],
              {(0, "douyin"): Entry.running(), (0, "kuaishou"): Entry.success(),
               (0, "bilibili"): Entry.failure()})
    record = project(db, run, accounts=False)
    assert [p["identity_status"] for p in record["items"][0]["platforms"]] == ["not_recorded"] * 3
    assert failure(db.with_name("other.sqlite3"), one(Entry.pending()), accounts=False) == IDENTITY_BROKEN


def test_duplicate_accounts_fail_even_when_unused(db):
    run = one(Entry.success())
    extra = [("accounts", dict(platform="weibo", account_file="/w", identity=None))] * 2
    assert failure(db, run, extra=extra) == DUP_ACCOUNT


def test_duplicate_entries_fail_before_sets_are_compared(db):
    run = one(None)
    extra = [("entries", dict(item_index=0, platform="tk", state="pending", retryable=0))] * 2
    assert failure(db, run, extra=extra) == DUPLICATE


def test_material_fingerprints_keep_first_position(db):
    video = "/m/v.mp4"
    item = Item.video(video, ["douyin"], images=["/m/a.jpg", video, "/m/b.jpg", "/m/a.jpg"])
    record = project(db, Run([item]))
    prints = record["items"][0]["material_fingerprints"]
    assert list(prints) == [video, "/m/a.jpg", "/m/b.jpg"]
    assert record["items"][0]["material"] == video


@pytest.mark.parametrize("images", [
    [f"/m/{n % 7}.jpg" for n in range(20)],           # many images, few paths
    [f"/m/{n}.jpg" for n in range(40)] + ["/m/3.jpg"],  # past the size kept in a scan
    ["/m/v.mp4"] + [f"/m/{n}.jpg" for n in range(17)] + ["/m/v.mp4"],
])
def test_many_material_paths_keep_first_positions(db, images):
    record = project(db, Run([Item.video("/m/v.mp4", ["douyin"], images=images)]))
    assert list(record["items"][0]["material_fingerprints"]) == list(dict.fromkeys(["/m/v.mp4", *images]))


ACCOUNT_FILES = [f"/home/demo/.kamo/accounts/{n}.json" for n in range(24)]
STATUS_OF = {None: "unbound", IDENTITY: "bound", "sha256-v1:" + "A" * 64: "invalid", 7: "invalid"}


@settings(max_examples=300, deadline=None)
@given(rows=st.dictionaries(st.tuples(st.sampled_from(["douyin", "tk"]), st.none() | st.sampled_from(ACCOUNT_FILES)),
                            st.sampled_from(list(STATUS_OF)), max_size=48),
       path=st.none() | st.sampled_from(ACCOUNT_FILES), runnable=st.booleans())
def test_identity_among_many_account_rows(rows, path, runnable):
    # A dict is the oracle of the reader's account table, scanned for a few rows and hashed past
    # them: the same pairs are found, with the same identity.
    item = {"platforms": {} if path is None else {"douyin_account": path}}
    accounts = {key: {"identity": identity} for key, identity in rows.items()}
    status = STATUS_OF[rows[("douyin", path)]] if ("douyin", path) in rows else "not_recorded"
    if runnable and status in ("not_recorded", "invalid"):
        with pytest.raises(HistoryError) as caught:
            HistoryReader._identity(item, "douyin", 2, accounts, runnable)
        assert caught.value.message == IDENTITY_BROKEN
    else:
        assert HistoryReader._identity(item, "douyin", 2, accounts, runnable) == (path, status)


def test_absent_optional_keys_take_their_defaults(db):
    run = Run([Item.video(platforms=["douyin"])], {(0, "douyin"): Entry.success()},
              snapshot=[{"content_type": "video", "enabled_platforms": ["douyin"], "video_file": "/v.mp4"}],
              fingerprints={"/v.mp4": "0" * 64}, accounts=[("douyin", None, IDENTITY)])
    item = project(db, run)["items"][0]
    assert (item["title"], item["desc"], item["tags"], item["publish_time"]) == ("", "", [], None)
    assert item["platforms"][0]["account_file"] is None
    assert item["platforms"][0]["identity_status"] == "bound"


def test_counts_carry_all_keys_in_order(db):
    record = project(db, one(Entry.success()))
    assert list(record["states"].items()) == [("pending", 0), ("running", 0), ("success", 1), ("failed", 0)]
    assert list(record["resume"].items()) == [("reuse_success", 1), ("requires_checks", 0),
                                              ("blocked_unknown", 0), ("blocked_identity", 0)]


def test_version_stored_as_real_is_shown_as_stored(db):
    record = project(db, one(Entry.pending(), version=2.0))
    assert record["version"] == 2.0 and type(record["version"]) is float
    assert only_platform(record)["identity_status"] == "bound"


def test_full_record_of_a_realistic_run(db):
    acct = "/home/demo/.kamo/accounts"
    run = Run(
        [Item.video("/v/旅行.mp4", ["bilibili", "douyin"], title="周末旅行", desc="西湖", tags=["旅行"],
                    publish_time="2025-01-31T20:00:00+08:00"),
         Item.note(["/p/1.jpg", "/p/2.jpg"], ["xiaohongshu"], title="美食", accounts={"xiaohongshu": None})],
        {(0, "bilibili"): Entry.success(BILI, "BV1xx411c7mD"),
         (0, "douyin"): Entry.failure("LOGIN", "登录过期", retry=True, action="重新登录"),
         (1, "xiaohongshu"): Entry.pending()},
        accounts=[("bilibili", f"{acct}/bilibili.json", IDENTITY), ("douyin", f"{acct}/douyin.json", IDENTITY),
                  ("xiaohongshu", None, None)])
    record = project(db, run)

    def platform(name, state, account, identity, result, status, code, checks, submission, attribution):
        return {"platform": name, "state": state, "account_file": account, "identity_status": identity,
                "result": result,
                "resume": {"status": status, "error_code": code, "action": ACTIONS[status], "checks": checks},
                "evidence": {"source": "local_history", "submission": submission, "attribution": attribution,
                             "public_access": "not_checked", "checks": EVIDENCE_CHECKS}}

    from stores import sha
    expected = {
        "database_present": True, "run_id": run.run_id, "version": 2, "created_at": None,
        "items": [
            {"item_index": 0, "content_type": "video", "material": "/v/旅行.mp4", "title": "周末旅行",
             "desc": "西湖", "tags": ["旅行"], "publish_time": "2025-01-31T20:00:00+08:00",
             "material_fingerprints": {"/v/旅行.mp4": sha("/v/旅行.mp4")},
             "platforms": [
                 platform("bilibili", "success", f"{acct}/bilibili.json", "bound",
                          {"success": True, "message": "发布成功", "error_code": None, "result_url": BILI,
                           "result_id": "BV1xx411c7mD", "safe_to_retry": None, "action": None},
                          "reuse_success", None, [], "recorded_success", "recorded_link"),
                 platform("douyin", "failed", f"{acct}/douyin.json", "bound",
                          {"success": False, "message": "登录过期", "error_code": "LOGIN", "result_url": None,
                           "result_id": None, "safe_to_retry": True, "action": "重新登录"},
                          "requires_checks", None, RESUME_CHECKS, "not_confirmed", "not_confirmed"),
             ]},
            {"item_index": 1, "content_type": "note", "material": ["/p/1.jpg", "/p/2.jpg"], "title": "美食",
             "desc": "", "tags": [], "publish_time": None,
             "material_fingerprints": {"/p/1.jpg": sha("/p/1.jpg"), "/p/2.jpg": sha("/p/2.jpg")},
             "platforms": [
                 platform("xiaohongshu", "pending", None, "unbound", None, "blocked_identity", "RUN-006",
                          EVIDENCE_CHECKS, "not_started", "not_confirmed"),
             ]},
        ],
        "states": {"pending": 1, "running": 0, "success": 1, "failed": 1},
        "resume": {"reuse_success": 1, "requires_checks": 1, "blocked_unknown": 0, "blocked_identity": 1},
    }
    assert record == expected

    def keys(v):  # key order, all the way down
        if isinstance(v, dict):
            return [(k, keys(x)) for k, x in v.items()]
        if isinstance(v, list):
            return [keys(x) for x in v]
        return None
    assert keys(record) == keys(expected)

    # Records are the caller's: changing one changes nothing the next call returns.
    mutated = copy.deepcopy(record)
    record["items"][0]["platforms"][0]["evidence"]["checks"].clear()
    assert HistoryReader(db).get_run(run.run_id) == mutated


def test_static_result_rule():
    entry = {"state": "success", "retryable": 0, "result": '{"success": true, "result_id": 7, "x": 1}'}
    assert HistoryReader._result(entry) == {"success": True, "message": None, "error_code": None,
                                            "result_url": None, "result_id": 7, "safe_to_retry": None,
                                            "action": None}
    assert HistoryReader._result({"state": "running", "retryable": 0, "result": None}) is None
