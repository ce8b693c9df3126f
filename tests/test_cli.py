"""The kamo command's history queries, run as a user runs them."""

import contextlib
import io
import json
import os
import subprocess
import sys

import pytest

from publish.historystore import Entry, Item, Run, demo_store, write_run
from publish.output import JsonReport
from publish.runfault import HistoryError
from publish.runlens import HistoryReader
from publish.runprint import print_history


def kamo(*args, cwd=None):
    return subprocess.run([sys.executable, "-m", "publish.cli", *args], capture_output=True, text=True,
                          encoding="utf-8", cwd=cwd, env={**os.environ, "PYTHONIOENCODING": "utf-8"})


def printed(record, mode):
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        print_history(record, mode)
    return out.getvalue()


@pytest.fixture(scope="module")
def demo(tmp_path_factory):
    path = tmp_path_factory.mktemp("demo") / "history.sqlite3"
    ids = demo_store(path)
    return path, ids


def test_history_list_is_what_print_history_gives(demo):
    path, _ = demo
    done = kamo("--history", "--db", str(path))
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout == printed(HistoryReader(path).list_runs(20), "history_list")
    assert done.stdout.splitlines()[1] == "最近任务：4 / 4（按插入顺序倒序，创建时间未记录）"


def test_history_limit(demo):
    path, ids = demo
    done = kamo("--history", "--limit", "2", "--db", str(path))
    assert done.returncode == 0
    assert done.stdout == printed(HistoryReader(path).list_runs(2), "history_list")
    assert done.stdout.splitlines()[1].startswith("最近任务：2 / 4")


@pytest.mark.parametrize("index", range(4))
def test_history_before_pages_back(demo, index):
    # The demo's runs, oldest first: before run k come the k older ones.
    path, ids = demo
    done = kamo("--history", "--limit", "2", "--before", ids[index], "--db", str(path))
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout == printed(HistoryReader(path).list_runs(2, ids[index]), "history_list")
    lines = done.stdout.splitlines()
    assert lines[1] == f"最近任务：{min(index, 2)} / 4（按插入顺序倒序，创建时间未记录）"
    assert [line.split(" | ")[0] for line in lines[2:2 + min(index, 2)]] == ids[:index][::-1][:2]


@pytest.mark.parametrize("index", range(4))
def test_history_detail_is_what_print_history_gives(demo, index):
    path, ids = demo
    done = kamo("--history", ids[index], "--db", str(path))
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout == printed(HistoryReader(path).get_run(ids[index]), "history_detail")


@pytest.mark.parametrize("args, code, message", [
    (["--history", "not-a-run"], "RUN-003", "run_id 格式无效"),
    (["--history", "123e4567-e89b-42d3-a456-426614174000"], "RUN-003", "未找到发布记录"),
    (["--history", "--limit", "0"], "RUN-003", "查询数量必须是 1–200 的整数"),
    (["--history", "--before", "not-a-run"], "RUN-003", "run_id 格式无效"),
    (["--history", "--before", "123e4567-e89b-42d3-a456-426614174000"], "RUN-003", "未找到发布记录"),
    (["--history", "--before", "not-a-run", "--limit", "0"], "RUN-003", "查询数量必须是 1–200 的整数"),
])
def test_history_errors_go_to_stderr_with_their_action(demo, args, code, message):
    path, _ = demo
    done = kamo(*args, "--db", str(path))
    assert done.returncode != 0
    assert done.stdout == ""
    assert done.stderr.splitlines()[0] == f"[kamo] {code}: {message}"
    assert "检查 run_id 与原发布记录" in done.stderr


@pytest.mark.parametrize("paging", [[], ["--before", "123e4567-e89b-42d3-a456-426614174000"]])
def test_missing_store_lists_nothing_and_creates_nothing(tmp_path, paging):
    done = kamo("--history", *paging, "--db", str(tmp_path / "none.sqlite3"))
    assert done.returncode == 0
    assert done.stdout.splitlines() == ["[kamo] 发布历史只读查询；公开访问 / 播放本次未核验",
                                        "最近任务：0 / 0（按插入顺序倒序，创建时间未记录）", "暂无发布记录"]
    assert os.listdir(tmp_path) == []


def test_hostile_title_cannot_break_or_reorder_lines(tmp_path):
    path = tmp_path / "history.sqlite3"
    title = "正常\u202e标题\u2028第二行\x1b[2J\n[kamo] 伪造的一行"
    run_id = write_run(path, Run([Item.video(platforms=["douyin"], title=title, desc="描述\u2029",
                                             tags=["\u200b", "a\rb"])],
                                 {(0, "douyin"): Entry.success(message="成功\n恢复：reuse_success")}))
    listing = kamo("--history", "--db", str(path)).stdout
    detail = kamo("--history", run_id, "--db", str(path)).stdout
    escaped = "正常\\u202e标题\\u2028第二行\\u001b[2J\\n[kamo] 伪造的一行"
    assert listing.splitlines()[2] == f"{run_id} | {escaped} | 1 个素材 | 未开始 0，进行中或提交未确认 0，记录成功 1，记录失败 0"
    lines = detail.splitlines()
    assert lines[3] == f"标题：{escaped}"
    assert lines[4] == "描述：描述\\u2029"
    assert lines[5] == '标签：["\\u200b", "a\\rb"]'
    assert "    原结果：成功\\n恢复：reuse_success；错误码 null" in lines
    for text in (listing, detail):
        assert not any(c in text for c in "\u202e\u2028\u2029\x1b\r\u200b")
        assert [line for line in text.splitlines() if line.startswith("[kamo]")] == [
            "[kamo] 发布历史只读查询；公开访问 / 播放本次未核验"]


def test_store_is_left_untouched(demo):
    path, ids = demo
    before = path.read_bytes()
    kamo("--history", "--db", str(path))
    kamo("--history", ids[0], "--db", str(path))
    assert path.read_bytes() == before
    assert sorted(os.listdir(path.parent)) == ["history.sqlite3"]


# ---- --json: one JSON document on stdout ----------------------------------------------------

CFG = {"error_code": "CFG-001", "message": "命令行参数无效", "action": "运行 kamo --help 检查参数"}


def document_line(done):
    assert done.stdout.count("\n") == 1 and done.stdout.endswith("\n"), done.stdout
    doc = json.loads(done.stdout)
    assert doc["exit_code"] == done.returncode
    return doc


def history_failure(call):
    with pytest.raises(HistoryError) as raised:
        call()
    err = raised.value
    return {"error_code": err.code, "message": err.message, "action": err.action}


def test_history_list_json_is_the_document_of_the_list(demo):
    path, _ = demo
    done = kamo("--history", "--json", "--db", str(path))
    assert (done.returncode, done.stderr) == (0, "")
    expected = JsonReport(mode="history_list", history=HistoryReader(path).list_runs(20)).document(0)
    assert done.stdout == json.dumps(expected, ensure_ascii=False) + "\n"
    assert len(document_line(done)["history"]["runs"]) == 4


@pytest.mark.parametrize("index", range(4))
def test_history_before_json_is_the_document_of_the_page(demo, index):
    path, ids = demo
    done = kamo("--history", "--before", ids[index], "--limit", "2", "--json", "--db", str(path))
    assert (done.returncode, done.stderr) == (0, "")
    expected = JsonReport(mode="history_list", history=HistoryReader(path).list_runs(2, ids[index])).document(0)
    assert done.stdout == json.dumps(expected, ensure_ascii=False) + "\n"
    history = document_line(done)["history"]
    assert (history["total"], history["limit"]) == (4, 2)
    assert [run["run_id"] for run in history["runs"]] == ids[:index][::-1][:2]


@pytest.mark.parametrize("index", range(4))
def test_history_detail_json_is_the_document_of_the_run(demo, index):
    path, ids = demo
    done = kamo("--history", ids[index], "--json", "--db", str(path))
    assert (done.returncode, done.stderr) == (0, "")
    expected = JsonReport(mode="history_detail", run_id=ids[index],
                          history=HistoryReader(path).get_run(ids[index])).document(0)
    assert done.stdout == json.dumps(expected, ensure_ascii=False) + "\n"


@pytest.mark.parametrize("args, mode, run_id, query", [
    (["--history", "not-a-run"], "history_detail", "not-a-run", lambda r: r.get_run("not-a-run")),
    (["--history", "123e4567-e89b-42d3-a456-426614174000"], "history_detail", "123e4567-e89b-42d3-a456-426614174000",
     lambda r: r.get_run("123e4567-e89b-42d3-a456-426614174000")),
    (["--history", "--limit", "0"], "history_list", None, lambda r: r.list_runs(0)),
    (["--history", "--before", "NOT-A-RUN"], "history_list", None, lambda r: r.list_runs(20, "NOT-A-RUN")),
    (["--history", "--before", "123e4567-e89b-42d3-a456-426614174000"], "history_list", None,
     lambda r: r.list_runs(20, "123e4567-e89b-42d3-a456-426614174000")),
])
def test_history_failures_are_error_entries(demo, args, mode, run_id, query):
    path, _ = demo
    done = kamo(*args, "--json", "--db", str(path))
    assert (done.returncode, done.stderr) == (2, "")
    doc = document_line(done)
    assert (doc["mode"], doc["run_id"], doc["history"]) == (mode, run_id, None)
    assert doc["errors"] == [history_failure(lambda: query(HistoryReader(path)))]


def test_missing_store_lists_nothing_in_json_and_creates_nothing(tmp_path):
    done = kamo("--history", "--json", "--db", str(tmp_path / "none.sqlite3"))
    assert done.returncode == 0
    assert document_line(done)["history"] == {"database_present": False, "total": 0, "limit": 20,
                                              "order": "insertion_desc", "runs": []}
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("args", [
    ["--history", "--json", "--bogus"],
    ["--history", "--limit", "many", "--json"],
    ["--history", "--demo-store", "x.sqlite3", "--json"],
    ["--json", "--history", "a", "b"],
    # --before pages the list, nothing else.
    ["--history", "123e4567-e89b-42d3-a456-426614174000", "--before", "123e4567-e89b-42d3-a456-426614174000",
     "--json"],
    ["--demo-store", "x.sqlite3", "--before", "123e4567-e89b-42d3-a456-426614174000", "--json"],
    ["video.mp4", "--before", "123e4567-e89b-42d3-a456-426614174000", "--json"],
    ["--history", "--before", "--json"],
])
def test_usage_errors_give_the_cfg_document_and_argparse_text(args):
    done = kamo(*args)
    assert done.returncode == 2
    assert document_line(done)["errors"] == [CFG]
    plain = kamo(*[a for a in args if a != "--json"])
    assert (plain.returncode, plain.stdout) == (2, "")
    assert done.stderr == plain.stderr and "kamo: error:" in done.stderr


@pytest.mark.parametrize("args", [["--json"], ["--jso"], ["--j", "--limit", "3"]])
def test_json_alone_is_a_usage_error_too(args):
    done = kamo(*args)
    assert done.returncode == 2
    assert document_line(done)["errors"] == [CFG]
    assert done.stderr.startswith("usage: kamo") and "nothing to do" in done.stderr


def test_help_with_json_goes_to_stderr():
    done = kamo("--help", "--json")
    assert done.returncode == 0
    assert document_line(done)["errors"] == []
    assert done.stderr == kamo("--help").stdout


def test_without_json_the_text_listing_is_unchanged(demo):
    path, _ = demo
    done = kamo("--history", "--db", str(path))
    assert done.stdout == printed(HistoryReader(path).list_runs(20), "history_list")
    assert not done.stdout.startswith("{")
