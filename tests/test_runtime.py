import importlib
import importlib.util
import json
import os
import sqlite3
import subprocess
import sys
import types
from pathlib import Path

import pytest

import publish
from publish import cli, dispatch, orchestrator, runtime

from publish.config import PublishOverrides, default_params_from_overrides
from publish.constants import PLATFORM_NAMES, TITLE_LIMITS
from publish.content import (
    fill_empty_content,
    get_video_content,
    get_video_files,
    load_content_templates,
    resolve_path,
    truncate_title,
)

from publish.reporter import print_header, print_results
from publish.standin import RuntimeUnavailable

# Subprocesses import the same package tree as this process.
PACKAGE_ROOT = Path(publish.__file__).absolute().parent.parent

MODULES = ["publish", "publish.constants", "publish.config", "publish.content",
           "publish.dispatch", "publish.orchestrator", "publish.reporter",
           "publish.runtime", "publish.cli", "publish.historystore"]

NAMES = {
    "config": ["PublishOverrides", "default_params_from_overrides"],
    "content": ["fill_empty_content", "get_video_content", "get_video_files",
                "load_content_templates", "resolve_path", "truncate_title"],
    "constants": ["PLATFORM_NAMES", "TITLE_LIMITS"],
    "dispatch": ["ensure_account_login", "ensure_login", "platform_requires_account_login",
                 "publish_to_baijiahao", "publish_to_bilibili", "publish_to_douyin",
                 "publish_to_kuaishou", "publish_to_platform", "publish_to_tencent",
                 "publish_to_tk", "publish_to_weibo", "publish_to_xiaohongshu"],
    "orchestrator": ["publish_one_item", "run_publish", "run_publish_sync",
                     "run_publish_with_params"],
    "reporter": ["print_header", "print_results"],
    "runtime": ["install_patchright_chromium", "patchright_available",
                "patchright_chromium_installed", "playwright_browser_cache_dirs",
                "run_async_for_test", "runtime_preflight", "sync_python_dependencies"],
}


def _run(code):
    env = dict(os.environ, PYTHONPATH=str(PACKAGE_ROOT))
    return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True,
                          text=True, check=True).stdout


# --- the module surface ------------------------------------------------------

def test_name_table_is_what_frontdoor_loads_on_request():
    # Every name the compatibility entry point re-exports lazily, by the module that defines it.
    out = _run("import json, frontdoor\n"
               "print(json.dumps(sorted([m, n] for m, n in frontdoor._PUBLIC_IMPORTS.values())))")
    assert json.loads(out) == sorted([f"publish.{m}", n] for m, names in NAMES.items() for n in names)
    assert len(json.loads(out)) == 35


@pytest.mark.parametrize("module, name",
                         [(m, n) for m, names in NAMES.items() for n in names])
def test_name_exists(module, name):
    assert hasattr(importlib.import_module(f"publish.{module}"), name)


def test_package_import_pulls_in_nothing():
    out = _run("import sys; before = set(sys.modules); import publish; "
               "print(sorted(set(sys.modules) - before))")
    assert out.strip() == "['publish']"


def test_modules_import_without_native_modules_or_output():
    code = ("import importlib, sys\n"
            f"for m in {MODULES!r}: importlib.import_module(m)\n"
            "native = [m for m in sys.modules if m.split('.')[-1] in "
            "('runfault', 'runlens', 'runprint')]\n"
            "assert not native, native\n")
    assert _run(code) == ""


# --- constants ---------------------------------------------------------------

def test_platform_names_in_order():
    assert list(PLATFORM_NAMES.items()) == [
        ("douyin", "抖音"),
        ("kuaishou", "快手"),
        ("bilibili", "哔哩哔哩"),
        ("xiaohongshu", "小红书"),
        ("weibo", "微博"),
        ("tencent", "微信视频号"),
        ("tk", "TikTok"),
        ("baijiahao", "百家号"),
    ]


def test_title_limits_cover_every_platform():
    assert list(TITLE_LIMITS) == list(PLATFORM_NAMES)
    assert all(type(n) is int and n > 0 for n in TITLE_LIMITS.values())


# --- config ------------------------------------------------------------------

@pytest.mark.parametrize("overrides, expected", [
    (None, {}),
    (PublishOverrides(), {}),
    (PublishOverrides(title="新标题", tags=[]), {"title": "新标题", "tags": []}),
    (
        PublishOverrides("t", "d", ["a"], "2024-05-01T08:00:00", ["douyin"]),
        {"title": "t", "desc": "d", "tags": ["a"],
         "publish_time": "2024-05-01T08:00:00", "platforms": ["douyin"]},
    ),
])
def test_default_params_keep_only_given_overrides(overrides, expected):
    assert default_params_from_overrides(overrides) == expected


# --- content -----------------------------------------------------------------

@pytest.mark.parametrize("content, expected", [
    ({}, {"title": "默认", "tags": ["x"], "desc": "d"}),
    ({"title": "", "tags": [], "desc": None}, {"title": "默认", "tags": ["x"], "desc": "d"}),
    ({"title": "自己的", "tags": ["y"], "desc": "mine"},
     {"title": "自己的", "tags": ["y"], "desc": "mine"}),
    ({"title": 0, "other": 1}, {"title": 0, "tags": ["x"], "desc": "d", "other": 1}),
])
def test_fill_empty_content(content, expected):
    defaults = {"title": "默认", "tags": ["x"], "desc": "d"}
    before = json.dumps(content)
    filled = fill_empty_content(content, defaults)
    assert filled == expected
    assert json.dumps(content) == before  # the input is left alone
    filled.get("tags", []).append("z")
    assert defaults["tags"] == ["x"]  # nor shared with the defaults


@pytest.mark.parametrize("files, expected", [
    ({}, {"title": "", "desc": "", "tags": []}),
    ({"v.json": json.dumps({"title": "旅行", "desc": "杭州", "tags": ["#西湖", "秋天"]})},
     {"title": "旅行", "desc": "杭州", "tags": ["西湖", "秋天"]}),
    ({"v.json": json.dumps({"title": "t", "tags": "a, b #c"})},
     {"title": "t", "desc": "", "tags": ["a", "b", "c"]}),
    ({"v.txt": "标题一行\n第一段 #美食\n第二段 #旅行\n"},
     {"title": "标题一行", "desc": "第一段 #美食\n第二段 #旅行", "tags": ["美食", "旅行"]}),
    ({"v.txt": "only txt", "v.json": json.dumps({"title": "json wins"})},
     {"title": "json wins", "desc": "", "tags": []}),
])
def test_get_video_content_from_sidecar(tmp_path, files, expected):
    for name, text in files.items():
        (tmp_path / name).write_text(text, encoding="utf-8")
    assert get_video_content(tmp_path / "v.mp4") == expected


def test_get_video_files_sorted_videos_only(tmp_path):
    for name in ["b.mov", "a.MP4", "c.webm", "d.mkv", "e.avi", "notes.txt", "f.mp4.json"]:
        (tmp_path / name).write_text("x")
    (tmp_path / "dir.mp4").mkdir()
    assert [p.name for p in get_video_files(tmp_path)] == [
        "a.MP4", "b.mov", "c.webm", "d.mkv", "e.avi"]
    with pytest.raises(FileNotFoundError):
        get_video_files(tmp_path / "missing")


def test_load_content_templates(tmp_path):
    assert load_content_templates(tmp_path / "missing.json") == {}
    good = tmp_path / "t.json"
    good.write_text(json.dumps({"travel": {"title": "旅行"}}), encoding="utf-8")
    assert load_content_templates(good) == {"travel": {"title": "旅行"}}
    bad = tmp_path / "list.json"
    bad.write_text("[1]")
    with pytest.raises(ValueError):
        load_content_templates(bad)


@pytest.mark.parametrize("value, base, expected", [
    ("/abs/x.mp4", None, "/abs/x.mp4"),
    ("/abs/x.mp4", "/other", "/abs/x.mp4"),
    ("x.mp4", "/base/dir", "/base/dir/x.mp4"),
    ("../x.mp4", "/base/dir", "/base/x.mp4"),
    ("~/v/x.mp4", "/base", "/home/someone/v/x.mp4"),
    ("x.mp4", "~/v", "/home/someone/v/x.mp4"),
    ("x.mp4", None, "/cwd/here/x.mp4"),
])
def test_resolve_path(monkeypatch, tmp_path, value, base, expected):
    monkeypatch.setenv("HOME", "/home/someone")
    monkeypatch.setattr(os, "getcwd", lambda: "/cwd/here")
    assert resolve_path(value, base) == expected
    assert resolve_path(Path(value), base) == expected


@pytest.mark.parametrize("title, platform, expected", [
    ("一" * 40, "douyin", "一" * 30),
    ("一" * 40, "tencent", "一" * 16),
    ("一" * 16, "tencent", "一" * 16),
    ("短标题", "xiaohongshu", "短标题"),
    ("一" * 400, "unknown", "一" * 400),
])
def test_truncate_title(title, platform, expected):
    assert truncate_title(title, platform) == expected


# --- dispatch, orchestrator: the browser work is not here ---------------------

@pytest.mark.parametrize("platform, expected", [
    *[(key, True) for key in PLATFORM_NAMES],
    ("youtube", False), ("", False), ("Douyin", False),
])
def test_platform_requires_account_login(platform, expected):
    assert dispatch.platform_requires_account_login(platform) is expected


UNAVAILABLE_CALLS = [
    *[(f"publish_to_{key}", lambda f: f({"title": "t"})) for key in PLATFORM_NAMES],
    ("publish_to_platform", lambda f: f("douyin", {"title": "t"})),
    ("ensure_login", lambda f: f("douyin")),
    ("ensure_account_login", lambda f: f("bilibili", "/home/demo/acct.json")),
]


@pytest.mark.parametrize("name, call", UNAVAILABLE_CALLS, ids=[c[0] for c in UNAVAILABLE_CALLS])
def test_dispatch_says_the_full_runtime_publishes(name, call):
    with pytest.raises(RuntimeError, match="full kamo runtime, not by this package"):
        call(getattr(dispatch, name))


def test_publishers_name_their_platform():
    for key, display in PLATFORM_NAMES.items():
        f = getattr(dispatch, f"publish_to_{key}")
        assert f.__name__ == f"publish_to_{key}"
        with pytest.raises(RuntimeUnavailable, match=display):
            f({})


def test_publish_to_platform_rejects_unknown_platform():
    with pytest.raises(ValueError, match="youtube"):
        dispatch.publish_to_platform("youtube", {})


@pytest.mark.parametrize("call", [
    lambda: orchestrator.publish_one_item({"title": "t"}),
    lambda: runtime.run_async_for_test(orchestrator.run_publish([])),
    lambda: orchestrator.run_publish_sync([]),
    lambda: orchestrator.run_publish_with_params({"title": "t"}),
    runtime.install_patchright_chromium,
    runtime.sync_python_dependencies,
])
def test_runs_and_installs_say_the_full_runtime_does_them(call):
    with pytest.raises(RuntimeUnavailable, match="full kamo runtime"):
        call()


# --- reporter ----------------------------------------------------------------

def test_print_header(capsys):
    print_header("发布结果")
    assert capsys.readouterr().out == "==== 发布结果 ====\n"


def test_print_results(capsys):
    print_results([
        {"platform": "douyin", "success": True, "message": "发布成功"},
        {"platform": "bilibili", "success": False, "message": "登录已过期"},
        {"platform": "mystery", "success": False},
    ])
    assert capsys.readouterr().out.splitlines() == [
        "[成功] 抖音: 发布成功",
        "[失败] 哔哩哔哩: 登录已过期",
        "[失败] mystery",
        "共 3 个，成功 1 个，失败 2 个",
    ]


# --- runtime -----------------------------------------------------------------

@pytest.mark.parametrize("found", [True, False])
def test_patchright_available_follows_find_spec(monkeypatch, found):
    real = importlib.util.find_spec
    monkeypatch.setattr(importlib.util, "find_spec",
                        lambda name, *a: (object() if found else None)
                        if name == "patchright" else real(name, *a))
    assert runtime.patchright_available() is found


@pytest.mark.parametrize("env, expected", [
    (None, ["/home/u/.cache/ms-playwright"]),
    ("/opt/browsers", ["/opt/browsers", "/home/u/.cache/ms-playwright"]),
    ("0", ["/home/u/.cache/ms-playwright"]),
])
def test_playwright_browser_cache_dirs(monkeypatch, env, expected):
    monkeypatch.setenv("HOME", "/home/u")
    if env is None:
        monkeypatch.delenv("PLAYWRIGHT_BROWSERS_PATH", raising=False)
    else:
        monkeypatch.setenv("PLAYWRIGHT_BROWSERS_PATH", env)
    assert runtime.playwright_browser_cache_dirs() == [Path(p) for p in expected]


@pytest.mark.parametrize("layout, expected", [
    ([], False),
    (["firefox-1400/"], False),
    (["chromium-1140"], False),  # a file, not a build folder
    (["ffmpeg-1010/", "chromium-1140/"], True),
])
def test_patchright_chromium_installed(monkeypatch, tmp_path, layout, expected):
    monkeypatch.setenv("HOME", str(tmp_path / "home"))  # no user cache
    cache = tmp_path / "browsers"
    cache.mkdir()
    for name in layout:
        if name.endswith("/"):
            (cache / name).mkdir()
        else:
            (cache / name).write_text("")
    monkeypatch.setenv("PLAYWRIGHT_BROWSERS_PATH", str(cache))
    assert runtime.patchright_chromium_installed() is expected
    assert runtime.runtime_preflight()["chromium"] is expected


def test_runtime_preflight_reports_each_check(monkeypatch):
    monkeypatch.setattr(runtime, "patchright_available", lambda: False)
    monkeypatch.setattr(runtime, "patchright_chromium_installed", lambda: True)
    assert runtime.runtime_preflight() == {"python": True, "patchright": False,
                                           "chromium": True}


def test_run_async_for_test_returns_the_result():
    async def answer():
        return 42
    assert runtime.run_async_for_test(answer()) == 42


# --- cli ---------------------------------------------------------------------

@pytest.mark.parametrize("argv, expected", [
    (["--history"], {"history": "", "limit": 20, "db": None, "json": False}),
    (["--history", "--limit", "5", "--db", "/tmp/h.db", "--json"],
     {"history": "", "limit": 5, "db": "/tmp/h.db", "json": True}),
    (["--history", "run-1"], {"history": "run-1", "limit": 20, "before": None}),
    (["--history", "--before", "run-1"], {"history": "", "before": "run-1"}),
    (["--demo-store", "/tmp/d.db"], {"demo_store": "/tmp/d.db", "history": None}),
    (["--resume", "run-1"], {"resume": "run-1", "targets": []}),
    (["a.mp4", "b.mp4"], {"targets": ["a.mp4", "b.mp4"], "history": None}),
])
def test_build_parser(argv, expected):
    parser = cli.build_parser()
    assert parser.prog == "kamo"
    args = vars(parser.parse_args(argv))
    assert {k: args[k] for k in expected} == expected


class FakeHistoryError(Exception):
    def __init__(self, code, message, action):
        super().__init__(message)
        self.code, self.message, self.action = code, message, action


@pytest.fixture
def history(monkeypatch):
    """Stands in for the native history modules; records how main drives them."""
    calls = []

    class HistoryReader:
        def __init__(self, db):
            calls.append(("open", db))

        def list_runs(self, limit, before=None):
            calls.append(("list_runs", limit) if before is None else ("list_runs", limit, before))
            return ["listing"]

        def get_run(self, run_id):
            calls.append(("get_run", run_id))
            if run_id == "missing":
                raise FakeHistoryError("RUN_NOT_FOUND", "找不到这次发布", "用 --history 查看可用记录")
            if run_id == "bare":
                raise FakeHistoryError("STORE_BROKEN", "历史库已损坏", "")
            return {"run": run_id}

    def print_history(history, view):
        calls.append(("print_history", history, view))

    modules = {"publish.runfault": {"HistoryError": FakeHistoryError},
               "publish.runlens": {"HistoryReader": HistoryReader},
               "publish.runprint": {"print_history": print_history}}
    for name, attrs in modules.items():
        module = types.ModuleType(name)
        module.__dict__.update(attrs)
        monkeypatch.setitem(sys.modules, name, module)
    return calls


def run_main(monkeypatch, *argv):
    monkeypatch.setattr(sys, "argv", ["kamo", *argv])
    return cli.main()


@pytest.mark.parametrize("argv, calls", [
    (["--history"], [("open", None), ("list_runs", 20),
                     ("print_history", ["listing"], "history_list")]),
    (["--history", "--limit", "3", "--db", "/h.db"],
     [("open", "/h.db"), ("list_runs", 3), ("print_history", ["listing"], "history_list")]),
    (["--history", "--before", "r0", "--limit", "3"],
     [("open", None), ("list_runs", 3, "r0"), ("print_history", ["listing"], "history_list")]),
    (["--history", "r1"],
     [("open", None), ("get_run", "r1"), ("print_history", {"run": "r1"}, "history_detail")]),
])
def test_main_history(monkeypatch, history, argv, calls):
    assert run_main(monkeypatch, *argv) == 0
    assert history == calls


@pytest.mark.parametrize("argv, calls, status, mode, record, errors", [
    (["--history", "r1", "--json"], [("open", None), ("get_run", "r1")], 0, "history_detail", {"run": "r1"}, []),
    (["--json", "--history", "--limit", "3"], [("open", None), ("list_runs", 3)], 0, "history_list", ["listing"], []),
    (["--json", "--history", "--before", "r0"], [("open", None), ("list_runs", 20, "r0")], 0, "history_list",
     ["listing"], []),
    (["--history", "missing", "--json"], [("open", None), ("get_run", "missing")], 2, "history_detail", None,
     [{"error_code": "RUN_NOT_FOUND", "message": "找不到这次发布", "action": "用 --history 查看可用记录"}]),
])
def test_main_history_json_records_instead_of_printing(monkeypatch, capsys, history, argv, calls, status, mode,
                                                        record, errors):
    assert run_main(monkeypatch, *argv) == status
    assert history == calls
    out, err = capsys.readouterr()
    assert err == "" and out.count("\n") == 1
    doc = json.loads(out)
    assert (doc["exit_code"], doc["mode"], doc["history"], doc["errors"]) == (status, mode, record, errors)


@pytest.mark.parametrize("run_id, err", [
    ("missing", "[kamo] RUN_NOT_FOUND: 找不到这次发布\n[kamo] 处理建议：用 --history 查看可用记录\n"),
    ("bare", "[kamo] STORE_BROKEN: 历史库已损坏\n"),
])
def test_main_reports_history_errors(monkeypatch, capsys, history, run_id, err):
    assert run_main(monkeypatch, "--history", run_id) == 2
    assert capsys.readouterr() == ("", err)


@pytest.mark.parametrize("argv, status, out, err", [
    ([], 0, "usage: kamo", ""),
    (["--help"], 0, "usage: kamo", ""),
    (["--limit", "5"], 2, "", "nothing to do"),
    (["--history", "r1", "extra.mp4"], 2, "", "cannot be combined"),
    (["--demo-store", "d.db", "--resume", "r1"], 2, "", "cannot be combined"),
    (["--limit", "many", "--history"], 2, "", "invalid int value"),
    (["--history", "r1", "--before", "r0"], 2, "", "--before pages back through the list"),
    (["--demo-store", "d.db", "--before", "r0"], 2, "", "--before pages back through the list"),
    (["video.mp4"], 1, "", "[kamo] running a publish is done by the full kamo runtime"),
    (["--resume", "r1"], 1, "", "[kamo] running a publish is done by the full kamo runtime"),
])
def test_main_statuses(monkeypatch, capsys, argv, status, out, err):
    assert run_main(monkeypatch, *argv) == status
    captured = capsys.readouterr()
    assert captured.out.startswith(out) and err in captured.err
    assert bool(captured.out) == bool(out)


def test_main_writes_demo_store_once(monkeypatch, capsys, tmp_path):
    path = str(tmp_path / "demo.db")
    assert run_main(monkeypatch, "--demo-store", path) == 0
    assert capsys.readouterr().out == f"{path}\n"
    con = sqlite3.connect(path)
    try:
        assert con.execute("SELECT count(*) FROM runs").fetchone()[0] >= 3
    finally:
        con.close()
    assert run_main(monkeypatch, "--demo-store", path) == 1
    assert "already exists" in capsys.readouterr().err


def test_console_exits_with_main_status(monkeypatch):
    monkeypatch.setattr(sys, "argv", ["kamo", "--limit", "1"])
    with pytest.raises(SystemExit) as exc:
        cli.console()
    assert exc.value.code == 2


def test_cli_runs_as_a_module():
    env = dict(os.environ, PYTHONPATH=str(PACKAGE_ROOT))
    done = subprocess.run([sys.executable, "-m", "publish.cli", "--help"], env=env,
                          capture_output=True, text=True)
    assert done.returncode == 0 and done.stdout.startswith("usage: kamo")


@pytest.mark.parametrize("args, status", [(["--help"], 0), ([], 0), (["--limit", "1"], 2)])
def test_package_runs_as_the_cli(args, status):
    env = dict(os.environ, PYTHONPATH=str(PACKAGE_ROOT))
    runs = [subprocess.run([sys.executable, "-m", module, *args], env=env, capture_output=True,
                           text=True) for module in ("publish", "publish.cli")]
    assert [(r.returncode, r.stdout, r.stderr) for r in runs] == [(status, runs[1].stdout, runs[1].stderr)] * 2
    assert (runs[0].stdout or runs[0].stderr).startswith("usage: kamo")
