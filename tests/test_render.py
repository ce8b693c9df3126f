"""print_history: the run list and run detail as plain text on sys.stdout."""
import contextlib
import io
import subprocess
import sys
import unicodedata

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from publish import constants, runprint
from publish.runprint import print_history

BS = "\\"
HEADER = "[kamo] 发布历史只读查询；公开访问 / 播放本次未核验\n"
RUN_A = "3f2a9c1e-8b7d-4e6f-a5c4-1d2e3f4a5b6c"
RUN_B = "0b1c2d3e-4f50-4617-8293-a4b5c6d7e8f9"

RESUME_CHECKS = [
    "恢复时重新核对原始素材内容指纹",
    "重新检查计划时间、许可证及运行环境",
    "上传前核验实际账号与原任务绑定的账号身份一致",
]
EVIDENCE_CHECKS = [
    "使用原账号进入平台作品后台；若发布进程仍在运行，先等待其结束",
    "按原完整标题、描述、标签、素材及计划时间核对对应作品",
    "分别确认提交状态、作品归因和公开页面访问或播放；记录链接本次未核验",
    "未知提交不要自动重发，不用后续任务的结果核销旧记录",
]
REUSE = "复用原成功结果，不再投稿；记录链接仍需独立核对"
CHECKS_ACTION = "记录层允许继续检查；--resume 仍须重新校验后才可能上传"
UNKNOWN_ACTION = "提交结果未确认；先等待正在运行的任务或使用原账号核对后台，不自动重发"
IDENTITY_ACTION = "原任务无可核验的账号身份；先核对原账号和未提交条目，不用当前账号补证"


def states(pending=0, running=0, success=0, failed=0):
    return {"pending": pending, "running": running, "success": success, "failed": failed}


def resumes(reuse=0, checks=0, unknown=0, identity=0):
    return {"reuse_success": reuse, "requires_checks": checks, "blocked_unknown": unknown, "blocked_identity": identity}


def summary(run_id, title, item_count, counts, resume):
    return {
        "run_id": run_id,
        "version": 2,
        "created_at": None,
        "title": title,
        "item_count": item_count,
        "entry_count": sum(counts.values()),
        "states": counts,
        "resume": resume,
    }


def run_list(runs, total):
    return {"database_present": True, "total": total, "limit": 20, "order": "insertion_desc", "runs": runs}


def result(success, message, error_code, url, result_id, safe_to_retry, action):
    return {
        "success": success,
        "message": message,
        "error_code": error_code,
        "result_url": url,
        "result_id": result_id,
        "safe_to_retry": safe_to_retry,
        "action": action,
    }


def evidence(submission, attribution):
    return {
        "source": "local_history",
        "submission": submission,
        "attribution": attribution,
        "public_access": "not_checked",
        "checks": list(EVIDENCE_CHECKS),
    }


def decision(status, error_code, action, checks):
    return {"status": status, "error_code": error_code, "action": action, "checks": list(checks)}


def platform(key, state, account_file, identity, stored, resume, proof):
    return {
        "platform": key,
        "state": state,
        "account_file": account_file,
        "identity_status": identity,
        "result": stored,
        "resume": resume,
        "evidence": proof,
    }


def detail_record():
    video = "/home/mei/videos/chengdu.mp4"
    images = ["/home/mei/notes/1.jpg", "/home/mei/notes/2.jpg"]
    douyin = platform(
        "douyin", "success", "/home/mei/.kamo/douyin.json", "bound",
        result(True, "发布成功", None, "https://www.douyin.com/video/7312345678901234567",
               "7312345678901234567", None, None),
        decision("reuse_success", None, REUSE, []),
        evidence("recorded_success", "recorded_link"),
    )
    bilibili = platform(
        "bilibili", "failed", "/home/mei/.kamo/bilibili.json", "bound",
        result(False, "上传超时", "PUB-bilibili", None, None, True, "稍后重试"),
        decision("requires_checks", None, CHECKS_ACTION, RESUME_CHECKS),
        evidence("not_confirmed", "not_confirmed"),
    )
    xhs = platform(
        "xiaohongshu", "running", None, "not_recorded", None,
        decision("blocked_unknown", "RUN-004", UNKNOWN_ACTION, EVIDENCE_CHECKS),
        evidence("not_confirmed", "not_confirmed"),
    )
    return {
        "database_present": True,
        "run_id": RUN_A,
        "version": 2,
        "created_at": None,
        "items": [
            {
                "item_index": 0,
                "content_type": "video",
                "material": video,
                "title": "成都三日游",
                "desc": "火锅、熊猫和夜景",
                "tags": ["旅行", "美食"],
                "publish_time": "2026-12-10T20:00:00+08:00",
                "material_fingerprints": {video: "sha256:" + "0" * 64},
                "platforms": [douyin, bilibili],
            },
            {
                "item_index": 1,
                "content_type": "note",
                "material": images,
                "title": "周末咖啡",
                "desc": "",
                "tags": [],
                "publish_time": None,
                "material_fingerprints": {p: "sha256:" + "1" * 64 for p in images},
                "platforms": [xhs],
            },
        ],
        "states": states(running=1, success=1, failed=1),
        "resume": resumes(reuse=1, checks=1, unknown=1),
    }


EVIDENCE_LINES = "".join(f"      - {c}\n" for c in EVIDENCE_CHECKS)
RESUME_LINES = "".join(f"      - {c}\n" for c in RESUME_CHECKS)

DETAIL = (
    HEADER
    + f"任务：{RUN_A}（记录版本 2，创建时间未记录）\n"
    "素材 1：/home/mei/videos/chengdu.mp4\n"
    "标题：成都三日游\n"
    "描述：火锅、熊猫和夜景\n"
    '标签：["旅行", "美食"]\n'
    "计划时间：2026-12-10T20:00:00+08:00\n"
    "  抖音：记录成功\n"
    "    原账号：/home/mei/.kamo/douyin.json；原身份已绑定（当前账号未核验）\n"
    "    原结果：发布成功；错误码 null\n"
    "    作品 ID：7312345678901234567；链接：https://www.douyin.com/video/7312345678901234567\n"
    "    归因：原记录链接，本次未核验；公开访问 / 播放：未核验\n"
    f"    恢复：reuse_success；{REUSE}\n"
    "    核对步骤：\n"
    + EVIDENCE_LINES
    + "  哔哩哔哩：记录失败\n"
    "    原账号：/home/mei/.kamo/bilibili.json；原身份已绑定（当前账号未核验）\n"
    "    原结果：上传超时；错误码 PUB-bilibili\n"
    "    作品 ID：null；链接：null\n"
    "    归因：作品归因未确认；公开访问 / 播放：未核验\n"
    f"    恢复：requires_checks；{CHECKS_ACTION}\n"
    + RESUME_LINES
    + "    核对步骤：\n"
    + EVIDENCE_LINES
    + '素材 2：["/home/mei/notes/1.jpg", "/home/mei/notes/2.jpg"]\n'
    "标题：周末咖啡\n"
    "描述：\n"
    "标签：[]\n"
    "计划时间：null\n"
    "  小红书：进行中或提交未确认\n"
    "    原账号：null；原身份未记录\n"
    "    归因：作品归因未确认；公开访问 / 播放：未核验\n"
    f"    恢复：RUN-004；{UNKNOWN_ACTION}\n"
    + EVIDENCE_LINES
    + "    核对步骤：\n"
    + EVIDENCE_LINES
)


def list_record():
    return run_list(
        [
            summary(RUN_A, "成都三日游", 2, states(running=1, success=1, failed=1), resumes(reuse=1, checks=1, unknown=1)),
            summary(RUN_B, "", 1, states(success=1), resumes(reuse=1)),
        ],
        57,
    )


LIST = (
    HEADER
    + "最近任务：2 / 57（按插入顺序倒序，创建时间未记录）\n"
    f"{RUN_A} | 成都三日游 | 2 个素材 | 未开始 0，进行中或提交未确认 1，记录成功 1，记录失败 1\n"
    f"{RUN_B} |  | 1 个素材 | 未开始 0，进行中或提交未确认 0，记录成功 1，记录失败 0\n"
    "查看任务详情：kamo --history RUN_ID\n"
)


class Recorder:
    """A stdout that keeps every write() call apart."""

    def __init__(self):
        self.writes = []

    def write(self, s):
        self.writes.append(s)
        return len(s)

    def flush(self):
        pass

    @property
    def text(self):
        return "".join(self.writes)


@contextlib.contextmanager
def recorded_stdout():
    # Swapped inside the test itself: pytest's capture resets sys.stdout between phases.
    rec = Recorder()
    saved, sys.stdout = sys.stdout, rec
    try:
        yield rec
    finally:
        sys.stdout = saved


def render(record, mode):
    with recorded_stdout() as out:
        assert print_history(record, mode) is None
    return out.text


def test_list_golden():
    assert render(list_record(), "history_list") == LIST


def test_detail_golden():
    with recorded_stdout() as out:
        assert print_history(history=detail_record(), mode="history_detail") is None
    assert out.text == DETAIL


def test_goes_through_capsys(capsys):
    print_history(list_record(), "history_list")
    assert capsys.readouterr().out == LIST


@pytest.mark.parametrize("mode", [None, "history_detail", "x", "", "HISTORY_LIST", "history_list ", 0, b"history_list"])
def test_other_modes_print_the_detail(mode):
    assert render(detail_record(), mode) == DETAIL


def test_list_mode_is_exactly_that_string():
    class Mode(str):
        pass

    assert render(list_record(), Mode("history_list")) == LIST


def test_empty_list_is_three_lines():
    record = run_list([], 0)
    record["database_present"] = False
    assert render(record, "history_list") == (
        HEADER + "最近任务：0 / 0（按插入顺序倒序，创建时间未记录）\n暂无发布记录\n"
    )


def test_counts_listed_and_total():
    runs = [summary(RUN_B, f"t{i}", 1, states(success=1), resumes(reuse=1)) for i in range(20)]
    lines = render(run_list(runs, 57), "history_list").splitlines()
    assert len(lines) == 23
    assert lines[1] == "最近任务：20 / 57（按插入顺序倒序，创建时间未记录）"
    assert lines[2:22] == [f"{RUN_B} | t{i} | 1 个素材 | 未开始 0，进行中或提交未确认 0，记录成功 1，记录失败 0" for i in range(20)]


def test_states_follow_the_map_order():
    counts = {"failed": 2, "success": 0, "pending": 10, "running": 3}
    text = render(run_list([summary(RUN_A, "x", 3, counts, resumes())], 1), "history_list")
    assert f"{RUN_A} | x | 3 个素材 | 记录失败 2，记录成功 0，未开始 10，进行中或提交未确认 3\n" in text


def test_list_title_stays_on_its_line():
    record = list_record()
    record["runs"][1]["title"] = "第一行\n第二行"
    lines = render(record, "history_list").split("\n")
    assert lines[3] == f"{RUN_B} | 第一行{BS}n第二行 | 1 个素材 | 未开始 0，进行中或提交未确认 0，记录成功 1，记录失败 0"
    assert len(lines) == 6


def set_in(path, value):
    def change(record):
        target = record
        for key in path[:-1]:
            target = target[key]
        target[path[-1]] = value

    return change


def resume_of_bilibili(**changes):
    def change(record):
        record["items"][0]["platforms"][1]["resume"].update(changes)

    return change


@pytest.mark.parametrize(
    "change, present, absent",
    [
        # An empty run prints its run line and nothing else.
        (set_in(["items"], []), HEADER + f"任务：{RUN_A}（记录版本 2，创建时间未记录）\n", None),
        (set_in(["items", 0, "tags"], []), "\n描述：火锅、熊猫和夜景\n标签：[]\n计划时间：", None),
        (set_in(["items", 0, "publish_time"], None), "\n计划时间：null\n  抖音：", None),
        (set_in(["items", 0, "material"], ["a.jpg", "b 2.jpg"]), '\n素材 1：["a.jpg", "b 2.jpg"]\n标题：', None),
        (set_in(["items", 0, "item_index"], 2**63 - 1), "\n素材 9223372036854775808：/home", None),
        (set_in(["items", 0, "item_index"], -5), "\n素材 -4：/home", None),
        (set_in(["items", 0, "platforms", 0, "account_file"], None), "\n    原账号：null；原身份已绑定（当前账号未核验）\n", None),
        (set_in(["items", 0, "platforms", 0, "identity_status"], "legacy"), "；旧版记录无原身份\n", None),
        (set_in(["items", 0, "platforms", 0, "identity_status"], "unbound"), "；原身份未绑定\n", None),
        (set_in(["items", 0, "platforms", 0, "identity_status"], "invalid"), "；原身份记录损坏\n", None),
        (set_in(["items", 0, "platforms", 0, "evidence", "attribution"], "missing_link"), "\n    归因：原记录缺少链接；公开访问", None),
        (set_in(["items", 0, "platforms", 0, "evidence", "attribution"], "invalid_link"), "\n    归因：原记录链接无效；公开访问", None),
        (set_in(["items", 0, "platforms", 0, "state"], "pending"), "\n  抖音：未开始\n", None),
        (set_in(["items", 0, "platforms", 0, "result", "result_url"], None), "\n    作品 ID：7312345678901234567；链接：null\n", None),
        (set_in(["items", 0, "platforms", 0, "result", "result_id"], 7312345678901234567), "\n    作品 ID：7312345678901234567；链接：https", None),
        (set_in(["items", 0, "platforms", 0, "result", "result_id"], ""), "\n    作品 ID：；链接：https", None),
        (set_in(["items", 0, "platforms", 0, "result", "message"], None), "\n    原结果：null；错误码 null\n", None),
        (set_in(["items", 0, "platforms", 0, "result", "error_code"], "E\n42"), f"\n    原结果：发布成功；错误码 E{BS}n42\n", None),
        # No result: neither result line, the entry goes straight on to the attribution.
        (set_in(["items", 0, "platforms", 0, "result"], None),
         "\n    原账号：/home/mei/.kamo/douyin.json；原身份已绑定（当前账号未核验）\n    归因：原记录链接", None),
        # A code is shown instead of the status; a null or empty code shows the status.
        (resume_of_bilibili(status="blocked_identity", error_code="RUN-006", action=IDENTITY_ACTION),
         f"\n    恢复：RUN-006；{IDENTITY_ACTION}\n", "blocked_identity"),
        (resume_of_bilibili(error_code=""), f"\n    恢复：requires_checks；{CHECKS_ACTION}\n", None),
        (resume_of_bilibili(checks=[]), f"\n    恢复：requires_checks；{CHECKS_ACTION}\n    核对步骤：\n      - 使用", None),
        # Checks and the action are the reader's own text: printed as they are.
        (resume_of_bilibili(checks=["a\tb"], action="先\u202e等"), "\n    恢复：requires_checks；先\u202e等\n      - a\tb\n    核对步骤：\n", None),
    ],
)
def test_detail_edges(change, present, absent):
    record = detail_record()
    change(record)
    text = render(record, None)
    assert present in text
    if absent is not None:
        assert absent not in text.split("素材 2")[0]


def test_entry_without_evidence_checks_ends_with_the_heading():
    record = detail_record()
    del record["items"][1:]
    for entry in record["items"][0]["platforms"]:
        entry["evidence"]["checks"] = []
    text = render(record, None)
    assert text.endswith(f"    恢复：requires_checks；{CHECKS_ACTION}\n" + RESUME_LINES + "    核对步骤：\n")
    assert text.count("    核对步骤：\n") == 2
    assert "      - 使用原账号" not in text


@pytest.mark.parametrize(
    "path, value, shown",
    [
        (["version"], "2", "（记录版本 2，"),
        (["version"], True, "（记录版本 true，"),
        (["version"], None, "（记录版本 null，"),
        (["version"], 1.5, "（记录版本 1.5，"),
        (["version"], ["x\n", "\u2028"], f'（记录版本 ["x{BS}n", "{BS}u2028"]，'),
        (["run_id"], 7, "任务：7（"),
        (["items", 0, "platforms", 1, "resume", "checks"], [3, None], "\n      - 3\n      - null\n"),
    ],
)
def test_wrong_types_in_plain_places_show_as_json(path, value, shown):
    record = detail_record()
    set_in(path, value)(record)
    assert shown in render(record, None)


@pytest.mark.parametrize(
    "count, shown", [(None, "未开始 null"), ("3", "未开始 3"), ([1], "未开始 [1]")]
)
def test_wrong_count_types_show_as_json(count, shown):
    record = list_record()
    record["runs"][0]["states"]["pending"] = count
    record["total"] = "57"
    text = render(record, "history_list")
    assert shown + "，" in text and "最近任务：2 / 57（" in text


def test_big_integers_print_in_decimal():
    record = detail_record()
    record["version"] = 2**70
    record["items"][0]["item_index"] = 2**64
    record["items"][1]["item_index"] = -(2**64)
    record["items"][0]["platforms"][0]["result"]["result_id"] = 10**30
    text = render(record, None)
    assert f"（记录版本 {2**70}，" in text
    assert "\n素材 18446744073709551617：" in text
    assert "\n素材 -18446744073709551615：" in text
    assert f"\n    作品 ID：{10**30}；" in text


def lines_until(text, stop):
    return text[: text.index(stop)]


@pytest.mark.parametrize(
    "mode, change, key, written",
    [
        ("history_list", lambda r: r.pop("total"), "total", HEADER),
        ("history_list", lambda r: r.pop("runs"), "runs", HEADER),
        ("history_list", lambda r: r["runs"][1].pop("item_count"), "item_count", lines_until(LIST, RUN_B)),
        ("history_list", lambda r: r["runs"][1]["states"].update(paused=0), "paused", lines_until(LIST, RUN_B)),
        (None, lambda r: r.pop("version"), "version", HEADER),
        (None, lambda r: r["items"][0].pop("desc"), "desc", lines_until(DETAIL, "标题：")),
        (None, lambda r: r["items"][0].pop("tags"), "tags", lines_until(DETAIL, "标题：")),
        (None, lambda r: r["items"][0].pop("publish_time"), "publish_time", lines_until(DETAIL, "计划时间：")),
        (None, set_in(["items", 0, "platforms", 0, "platform"], "youtube"), "youtube", lines_until(DETAIL, "  抖音")),
        (None, set_in(["items", 0, "platforms", 0, "state"], "done"), "done", lines_until(DETAIL, "  抖音")),
        (None, set_in(["items", 0, "platforms", 0, "identity_status"], "bound "), "bound ", lines_until(DETAIL, "    原账号：/home/mei/.kamo/douyin")),
        (None, set_in(["items", 0, "platforms", 1, "evidence", "attribution"], "?"), "?", lines_until(DETAIL, "    归因：作品归因未确认")),
        (None, lambda r: r["items"][0]["platforms"][1]["result"].pop("result_url"), "result_url", lines_until(DETAIL, "    作品 ID：null")),
        (None, lambda r: r["items"][0]["platforms"][0]["resume"].pop("status"), "status", lines_until(DETAIL, "    恢复：reuse")),
        (None, lambda r: r["items"][1]["platforms"][0]["evidence"].pop("checks"), "checks", DETAIL[: -len(EVIDENCE_LINES)]),
        (None, set_in(["items", 0, "platforms", 0, "state"], 5), 5, lines_until(DETAIL, "  抖音")),
    ],
    ids=lambda v: v if isinstance(v, str) and len(v) < 20 else None,
)
def test_missing_key_stops_after_the_written_lines(mode, change, key, written):
    record = list_record() if mode == "history_list" else detail_record()
    change(record)
    with recorded_stdout() as out, pytest.raises(KeyError) as caught:
        print_history(record, mode)
    assert caught.value.args == (key,)
    assert out.text == written


def test_missing_key_with_a_swapped_stringio(monkeypatch):
    record = detail_record()
    del record["items"][1]["platforms"][0]["account_file"]
    buffer = io.StringIO()
    monkeypatch.setattr(sys, "stdout", buffer)
    with pytest.raises(KeyError, match="account_file"):
        print_history(record, "history_detail")
    assert buffer.getvalue() == lines_until(DETAIL, "    原账号：null")


@pytest.mark.parametrize(
    "record, mode",
    [
        (["not", "a", "record"], "history_list"),
        (None, None),
        ({"runs": {}, "total": 0}, "history_list"),
        ({"runs": [None], "total": 1}, "history_list"),
        ({"runs": [dict(summary(RUN_A, "t", 1, states(), resumes()), states=[0, 0])], "total": 1}, "history_list"),
        ({"run_id": RUN_A, "version": 2, "items": [{"item_index": "0"}]}, None),
        ({"run_id": RUN_A, "version": 2, "items": [{"item_index": True}]}, None),
    ],
)
def test_wrong_shapes_raise_type_error(record, mode):
    with recorded_stdout() as out, pytest.raises(TypeError):
        print_history(record, mode)
    assert out.text.startswith(HEADER)


def test_unconvertible_record_writes_nothing():
    record = detail_record()
    record["items"][0]["title"] = object()
    with recorded_stdout() as out, pytest.raises(TypeError):
        print_history(record, None)
    assert out.writes == []


def test_title_block_is_one_write():
    with recorded_stdout() as out:
        print_history(detail_record(), None)
    assert "标题：成都三日游\n描述：火锅、熊猫和夜景\n标签：[\"旅行\", \"美食\"]" in out.writes
    assert "标题：周末咖啡\n描述：\n标签：[]" in out.writes
    # Every other write is one line's text, each followed by its own line feed.
    assert out.writes[1::2] == ["\n"] * (len(out.writes) // 2)
    assert [w for w in out.writes[::2] if "\n" in w] == [
        "标题：成都三日游\n描述：火锅、熊猫和夜景\n标签：[\"旅行\", \"美食\"]",
        "标题：周末咖啡\n描述：\n标签：[]",
    ]


def test_each_write_goes_to_the_current_stdout(monkeypatch):
    second = Recorder()

    class SwapAfterFirst(Recorder):
        def write(self, s):
            super().write(s)
            sys.stdout = second
            return len(s)

    first = SwapAfterFirst()
    monkeypatch.setattr(sys, "stdout", first)
    print_history(list_record(), "history_list")
    assert first.writes == [HEADER[:-1]]
    assert "".join(first.writes + second.writes) == LIST


def test_write_failure_propagates(monkeypatch):
    buffer = io.StringIO()
    buffer.close()
    monkeypatch.setattr(sys, "stdout", buffer)
    with pytest.raises(ValueError):
        print_history(list_record(), "history_list")


def test_lost_stdout(monkeypatch):
    monkeypatch.delattr(sys, "stdout")
    with pytest.raises(RuntimeError, match="lost sys.stdout"):
        print_history(list_record(), "history_list")


def test_no_stdout_drops_text_but_still_checks(monkeypatch):
    monkeypatch.setattr(sys, "stdout", None)
    assert print_history(list_record(), "history_list") is None
    with pytest.raises(KeyError):
        print_history({"runs": []}, "history_list")


HOSTILE = "a\u202eb\u2028c\x1b[2Jd\ne\u2029f\x85g\u200dh\ufeff"
HOSTILE_SHOWN = f"a{BS}u202eb{BS}u2028c{BS}u001b[2Jd{BS}ne{BS}u2029f{BS}u0085g{BS}u200dh{BS}ufeff"


def test_hostile_title_cannot_break_or_reorder_lines():
    record = detail_record()
    record["items"][0]["title"] = HOSTILE
    assert render(record, None) == DETAIL.replace("标题：成都三日游\n", f"标题：{HOSTILE_SHOWN}\n")
    listing = list_record()
    listing["runs"][0]["title"] = HOSTILE
    assert render(listing, "history_list") == LIST.replace(" | 成都三日游 | ", f" | {HOSTILE_SHOWN} | ")


def shape(text):
    """Each line up to its first full-width colon: which fact it is, in which order."""
    return [line.split("：")[0] for line in text.split("\n")]


UNTRUSTED = [
    ["items", 0, "material"],
    ["items", 0, "title"],
    ["items", 0, "desc"],
    ["items", 0, "publish_time"],
    ["items", 1, "material"],
    ["items", 0, "platforms", 0, "account_file"],
    ["items", 0, "platforms", 1, "result", "message"],
    ["items", 0, "platforms", 1, "result", "error_code"],
    ["items", 0, "platforms", 0, "result", "result_id"],
    ["items", 0, "platforms", 0, "result", "result_url"],
]
HIDDEN = {"Cc", "Cf", "Zl", "Zp"}


@settings(suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(st.text(), min_size=len(UNTRUSTED), max_size=len(UNTRUSTED)), st.lists(st.text(), max_size=3))
def test_untrusted_fields_cannot_add_hide_or_reorder_lines(texts, tags):
    record = detail_record()
    for path, text in zip(UNTRUSTED, texts):
        set_in(path, text)(record)
    record["items"][0]["tags"] = tags
    printed = render(record, None)
    assert shape(printed) == shape(DETAIL)
    assert not any(unicodedata.category(c) in HIDDEN for c in printed.replace("\n", ""))


def test_platform_names_come_from_the_module(monkeypatch):
    assert runprint.PLATFORM_NAMES is constants.PLATFORM_NAMES
    monkeypatch.setattr(runprint, "PLATFORM_NAMES", {"douyin": 7, "bilibili": "B站", "xiaohongshu": "小红书\n", 3: "x"})
    text = render(detail_record(), None)
    assert "\n  7：记录成功\n" in text
    assert "\n  B站：记录失败\n" in text
    assert "\n  小红书\n：进行中或提交未确认\n" in text


# Every name the reader gives a state, an identity or an attribution, and the words printed for it.
LABELS = [
    ("state", "pending", "\n  抖音：未开始\n"),
    ("state", "running", "\n  抖音：进行中或提交未确认\n"),
    ("state", "success", "\n  抖音：记录成功\n"),
    ("state", "failed", "\n  抖音：记录失败\n"),
    ("identity_status", "bound", "；原身份已绑定（当前账号未核验）\n"),
    ("identity_status", "unbound", "；原身份未绑定\n"),
    ("identity_status", "legacy", "；旧版记录无原身份\n"),
    ("identity_status", "not_recorded", "；原身份未记录\n"),
    ("identity_status", "invalid", "；原身份记录损坏\n"),
    ("attribution", "recorded_link", "\n    归因：原记录链接，本次未核验；公开访问"),
    ("attribution", "missing_link", "\n    归因：原记录缺少链接；公开访问"),
    ("attribution", "invalid_link", "\n    归因：原记录链接无效；公开访问"),
    ("attribution", "not_confirmed", "\n    归因：作品归因未确认；公开访问"),
]


@pytest.mark.parametrize("field, name, printed", LABELS)
def test_each_name_prints_its_label(field, name, printed):
    path = ["items", 0, "platforms", 0] + (["evidence"] if field == "attribution" else []) + [field]
    record = detail_record()
    set_in(path, name)(record)
    text = render(record, None)
    assert "\n  哔哩哔哩：" in text
    assert printed in text.split("\n  哔哩哔哩：")[0]  # in the changed entry's own lines


@pytest.mark.parametrize("args, kwargs", [((), {}), ((list_record(),), {}), ((), {"history": list_record()}),
                                          ((list_record(), "history_list", 1), {})])
def test_both_arguments_are_required(args, kwargs):
    with pytest.raises(TypeError):
        print_history(*args, **kwargs)


@pytest.mark.parametrize(
    "setup, outcome",
    [
        ("sys.modules['publish.constants'] = types.ModuleType('publish.constants')",
         "ImportError cannot import name 'PLATFORM_NAMES' from 'publish.constants'"),
        ("sys.modules['publish.constants'] = None", "ImportError (ModuleNotFoundError)"),
        ("sys.modules['publish.constants'] = types.SimpleNamespace(PLATFORM_NAMES={'tk': 'T'})", "loaded {'tk': 'T'}"),
    ],
)
def test_import_needs_platform_names(setup, outcome):
    code = (
        "import sys, types\n"
        f"{setup}\n"
        "try:\n"
        "    import publish.runprint as m\n"
        "except ImportError as e:\n"
        "    print(type(e).__name__, f'({type(e.__cause__).__name__})' if e.__cause__ else e)\n"
        "else:\n"
        "    print('loaded', m.PLATFORM_NAMES)\n"
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith(outcome)


scalars = st.none() | st.booleans() | st.integers(-(2**63), 2**63 - 1) | st.text(max_size=5)
anything = st.recursive(
    scalars,
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.sampled_from(["runs", "items", "title", "x"]), inner, max_size=3),
    max_leaves=8,
)


def paths(value, prefix=()):
    yield prefix
    children = value.items() if isinstance(value, dict) else enumerate(value) if isinstance(value, list) else ()
    for key, child in children:
        yield from paths(child, prefix + (key,))


@settings(suppress_health_check=[HealthCheck.too_slow])
@given(st.data(), st.sampled_from(["history_list", None]), anything)
def test_any_damage_ends_in_key_or_type_error(data, mode, replacement):
    record = list_record() if mode else detail_record()
    path = data.draw(st.sampled_from(list(paths(record))[1:]))
    if data.draw(st.booleans()) and isinstance(path[-1], str):
        target = record
        for key in path[:-1]:
            target = target[key]
        del target[path[-1]]
    else:
        set_in(list(path), replacement)(record)
    with recorded_stdout() as out:
        try:
            print_history(record, mode)
        except (KeyError, TypeError):
            pass
    # A failure comes between lines, never inside one.
    assert out.text.startswith(HEADER) and out.text.endswith("\n")
