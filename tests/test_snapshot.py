"""Validation of one stored runs row: every check, in order, with its message."""

import datetime
import json

import pytest

from publish.runfault import HistoryError
from publish.runlens import HistoryReader

RUN_ID = "123e4567-e89b-42d3-a456-426614174000"
VIDEO = "/home/a/v.mp4"
IMAGE = "/home/a/p.jpg"
SHA = "ab" * 32
ACCOUNT = "/home/a/douyin.json"


def video_item(**over):
    item = {"content_type": "video", "enabled_platforms": ["douyin"],
            "platforms": {"douyin_account": ACCOUNT}, "title": "t", "desc": "d",
            "tags": ["x"], "publish_time": None, "video_file": VIDEO, "images": []}
    item.update(over)
    return item


def row(items=None, fingerprints=None, **cells):
    items = [video_item()] if items is None else items
    if fingerprints is None:
        fingerprints = {VIDEO: SHA}
    base = {"run_id": RUN_ID, "version": 2,
            "snapshot": items if isinstance(items, (str, bytes)) else json.dumps(items),
            "fingerprints": fingerprints if isinstance(fingerprints, (str, bytes)) else json.dumps(fingerprints)}
    base.update(cells)
    return base


def fails(r):
    with pytest.raises(HistoryError) as caught:
        HistoryReader._snapshot(r)
    assert caught.value.code == "RUN-003"
    assert caught.value.action == "检查 run_id 与原发布记录；先用原账号核对平台作品，不改写或自动重发"
    return caught.value


def without(key, **over):
    item = video_item(**over)
    del item[key]
    return item


@pytest.mark.parametrize("r", [
    row(),
    row(version=1),
    row(version=1.0),
    row(version=2.0),
    row([{"content_type": "note", "enabled_platforms": ["xiaohongshu"], "video_file": "", "images": [IMAGE]}],
        {IMAGE: SHA}),
    row([{"content_type": "video", "enabled_platforms": ["douyin"], "video_file": VIDEO}]),
    row([video_item(), video_item(enabled_platforms=["bilibili", "tk"])]),
    row([video_item(images=[VIDEO])]),
    row([video_item(platforms={})]),
    row([video_item(platforms={"douyin_account": None, "other": 5})]),
    row([without("platforms")]),
    row([video_item(publish_time="2025-01-31")]),
    row([video_item(publish_time="2025-01-31 20:00:00+08:00")]),
    row([video_item(publish_time="2025-W05-5")]),
    row([video_item(video_file="C:\\v.mp4")], {"C:\\v.mp4": SHA}),
    row(snapshot=json.dumps([video_item()]).encode("utf-16")),
], ids=lambda r: str(r)[:60])
def test_valid_rows_come_back_as_decoded(r):
    items, prints = HistoryReader._snapshot(r)
    expect_items = json.loads(r["snapshot"]) if not isinstance(r["snapshot"], bytes) else json.loads(r["snapshot"])
    assert items == expect_items
    assert prints == json.loads(r["fingerprints"])
    assert list(prints) == list(json.loads(r["fingerprints"]))


ID_OR_VERSION = "发布记录编号或版本不受支持"
DEFAULT = "发布记录不存在或已损坏"
PRINTS = "发布记录中的素材指纹已损坏"
FORMAT = "发布记录中的素材格式无效"
PLATFORMS = "发布记录中的平台无效"
ACCOUNT_PATH = "发布记录中的原账号路径无效"
TEXT = "发布记录中的文案无效"
TAGS = "发布记录中的标签无效"
TIME = "发布记录中的计划时间无效"
PATH = "发布记录中的素材路径无效"
MISSING = "发布记录缺少原始素材路径"
MISMATCH = "素材快照与保存的指纹不一致"


@pytest.mark.parametrize("r, message", [
    (row(run_id=RUN_ID.upper()), ID_OR_VERSION),
    (row(run_id=RUN_ID + "\n"), ID_OR_VERSION),
    (row(run_id=None), ID_OR_VERSION),
    (row(run_id=RUN_ID.encode()), ID_OR_VERSION),
    (row(version=3), ID_OR_VERSION),
    (row(version="1"), ID_OR_VERSION),
    (row(version=None), ID_OR_VERSION),
    (row(version=1.5), ID_OR_VERSION),
    (row(version=3, snapshot="not json"), ID_OR_VERSION),  # the id check comes first
    (row(snapshot="[1,"), DEFAULT),
    (row(snapshot=None), DEFAULT),
    (row(fingerprints='{"a": 1, "a": 2}'), DEFAULT),
    (row(snapshot="[]"), DEFAULT),
    (row(snapshot="{}"), DEFAULT),
    (row(fingerprints="{}"), DEFAULT),
    (row(fingerprints="[]"), DEFAULT),
    (row(fingerprints={VIDEO: SHA.upper()}), PRINTS),
    (row(fingerprints={VIDEO: 5}), PRINTS),
    (row(fingerprints={"v.mp4": SHA}), PRINTS),
    (row(fingerprints={VIDEO: SHA + "0"}), PRINTS),
    (row(["video"]), FORMAT),
    (row([video_item(content_type="Video")]), FORMAT),
    (row([without("content_type")]), FORMAT),
    (row([video_item(enabled_platforms=[])]), PLATFORMS),
    (row([video_item(enabled_platforms=["douyin", "douyin"])]), PLATFORMS),
    (row([video_item(enabled_platforms=["youtube"])]), PLATFORMS),
    (row([video_item(enabled_platforms="douyin")]), PLATFORMS),
    (row([video_item(enabled_platforms=[None])]), PLATFORMS),
    (row([without("enabled_platforms")]), PLATFORMS),
    (row([video_item(platforms=None)]), PLATFORMS),
    (row([video_item(platforms=[])]), PLATFORMS),
    (row([video_item(platforms={"douyin_account": "acct.json"})]), ACCOUNT_PATH),
    (row([video_item(platforms={"douyin_account": 7})]), ACCOUNT_PATH),
    (row([video_item(title=None)]), TEXT),
    (row([video_item(desc=5)]), TEXT),
    (row([video_item(tags=None)]), TAGS),
    (row([video_item(tags=["a", 1])]), TAGS),
    (row([video_item(tags="a")]), TAGS),
    (row([video_item(publish_time="2025-13-01")]), TIME),
    (row([video_item(publish_time="2025-01")]), TIME),
    (row([video_item(publish_time=20250131)]), TIME),
    (row([video_item(images=None)]), PATH),
    (row([video_item(images=["p.jpg"])]), PATH),
    (row([video_item(images=[IMAGE, None])]), PATH),
    (row([video_item(video_file="v.mp4")]), PATH),
    (row([video_item(video_file=1)]), PATH),
    (row([video_item(video_file=None)]), MISSING),
    (row([video_item(video_file="")]), MISSING),
    (row([without("video_file")]), MISSING),
    (row([{"content_type": "note", "enabled_platforms": ["douyin"], "images": []}]), MISSING),
    (row([{"content_type": "note", "enabled_platforms": ["douyin"]}]), MISSING),
    (row(fingerprints={VIDEO: SHA, IMAGE: SHA}), MISMATCH),
    (row([video_item(images=[IMAGE])]), MISMATCH),
])
def test_each_check_has_its_message(r, message):
    err = fails(r)
    assert err.message == message
    assert str(err) == message


def test_checks_run_in_order_first_failure_decides():
    # Bad fingerprint and a bad item: the fingerprint check comes first.
    assert fails(row([video_item(content_type="x")], {VIDEO: "nope"})).message == PRINTS
    # Within an item: platforms before text, text before tags, tags before time, time before paths.
    item = video_item(enabled_platforms=[], title=None, tags=None, publish_time="x", video_file=None)
    assert fails(row([item])).message == PLATFORMS
    item = video_item(title=None, tags=None, publish_time="x", video_file=None)
    assert fails(row([item])).message == TEXT
    item = video_item(tags=None, publish_time="x", video_file=None)
    assert fails(row([item])).message == TAGS
    item = video_item(publish_time="x", video_file=None)
    assert fails(row([item])).message == TIME
    # Items are checked one after another: the first bad item decides.
    assert fails(row([video_item(title=1), video_item(tags=1)])).message == TEXT


def test_decoding_failure_keeps_its_cause():
    err = fails(row(fingerprints='{"a": 1, "a": 2}'))
    assert err.message == DEFAULT
    assert isinstance(err.__cause__, ValueError)
    assert str(err.__cause__) == "duplicate record field"


def test_bad_publish_time_keeps_the_parse_failure():
    err = fails(row([video_item(publish_time="2025-13-01")]))
    assert isinstance(err.__cause__, ValueError)
    err = fails(row([video_item(publish_time=5)]))
    assert isinstance(err.__cause__, TypeError)


@pytest.mark.parametrize("text", ["2025-13-01", "2025-01-31T24:00", "0000-W01-1", "0000W011T20:00+24:00"])
def test_bad_publish_time_keeps_fromisoformat_s_own_text(text):
    # Week dates of year 0 are refused in other words from 3.13 on: the text is the running one's.
    with pytest.raises(ValueError) as theirs:
        datetime.datetime.fromisoformat(text)
    err = fails(row([video_item(publish_time=text)]))
    assert err.message == TIME
    assert type(err.__cause__) is ValueError
    assert str(err.__cause__) == str(theirs.value)


def test_platform_table_is_read_at_each_call(monkeypatch):
    import publish.runlens as runlens
    monkeypatch.setitem(runlens.PLATFORM_NAMES, "youtube", "YouTube")
    HistoryReader._snapshot(row([video_item(enabled_platforms=["youtube"])]))
    monkeypatch.delitem(runlens.PLATFORM_NAMES, "douyin")
    assert fails(row()).message == PLATFORMS


def test_two_items_may_share_a_video():
    items, prints = HistoryReader._snapshot(row([video_item(), video_item(enabled_platforms=["tk"])]))
    assert len(items) == 2 and prints == {VIDEO: SHA}
