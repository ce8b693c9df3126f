import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

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

PYTHON_DIR = Path(__file__).resolve().parent.parent / "python"


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
