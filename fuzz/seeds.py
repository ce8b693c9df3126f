"""Writes the seed corpus of every fuzz target into fuzz/corpus/TARGET/.

    PYTHONPATH=python python fuzz/seeds.py

Seeds are small and named for what they hold; the fuzzers read them and never write there.
Inputs kept from findings sit beside them under names of their own and are left alone here.
"""

import json
import os
import sqlite3
import struct
import sys
import tempfile
from pathlib import Path

from publish.historystore import Entry, Item, Run, create_store, demo_runs, write_run

CORPUS = Path(__file__).resolve().parent / "corpus"
RUN_ID = "5d1e8c72-9f0a-4b3c-8d2e-6f7a8b9c0d1e"  # the run fuzz/store.cpp asks for
PLATFORMS = ["douyin", "kuaishou", "bilibili", "xiaohongshu", "weibo", "tencent", "tk", "baijiahao",
             "youtube"]  # the order fuzz/links.cpp picks by its first byte

JSON = {
    "object": '{"k": ["é😀", 1, null], "a": {}}',
    "duplicate": '{"a": 1, "b": 2, "a": 1}',
    "nested-duplicate": '[0, {"x": {"a": [], "a": []}}]',
    "escapes": r'["\"\\\/\b\f\n\r\t", "\u0061\ud83d\ude00", "\ud800"]',
    "constants": '[NaN, Infinity, -Infinity, true, false, null]',
    "numbers": "[1e5, 1E+2, 1.5, 1e400, -1e-400, 4e-324, -0, -0.0, 9223372036854775808, 01, 1., .5]",
    "big": str(7 ** 60),
    "whitespace": " \t\n\r[1 ,\t2]\r\n ",
    "deep": "[" * 600 + "]" * 600,
    "snapshot": json.dumps(Run([Item.video()]).snapshot_json(), ensure_ascii=False),
    "result": json.dumps(Entry.failure("LOGIN_EXPIRED", "抖音登录已过期", retry=True).result,
                         ensure_ascii=False),
}
JSON_BYTES = {  # encodings json.loads detects in bytes
    "utf-16-le-bom": "\ufeff[1]".encode("utf-16-le"),
    "utf-16-be": '{"a": "é"}'.encode("utf-16-be"),
    "utf-32-le": '["x"]'.encode("utf-32-le"),
    "utf-32-be-bom": "\ufeff1".encode("utf-32-be"),
    "utf-8-bom": "\ufeff{}".encode("utf-8"),
    "invalid-utf-8": b'["\xc3\x28", "\xed\xa0\x80"]',
}

DATES = ["2025-01-31", "2025-01-31T20:00:00", "2025-01-31 20:00:00+08:00", "2025-01-31T12:00:00Z",
         "20250131T200000", "2025-W05-5", "2025W055", "2025-01-31T20:00:00.123456789",
         "2025-01-31T20:00:00,5-03:30:15.25", "2025-01-31T24:00:00", "2025-13-01", "2025-01",
         "2025-031", "+2025-01-31", "2025-01-31T20", "2025-01-31T2000", "2025-02-29",
         "2024-02-29T23:59:59.999999+23:59"]

LINKS = [
    ("bilibili", "https://www.bilibili.com/video/BV1xx411c7mD"),
    ("bilibili", "HTTPS://WWW.BILIBILI.COM/video/BV1xx411c7mD/?p=1#t=3"),
    ("douyin", "https://www.douyin.com/video/7301234567890123456"),
    ("douyin", "https://douyin.com:443/note/1"),
    ("kuaishou", "https://www.kuaishou.com/short-video/3x_abc-9"),
    ("tencent", "https://channels.weixin.qq.com/sph/Abc_1-2"),
    ("weibo", "https://weibo.com/tv/show/1034:4900000000000000"),
    ("tk", "https://www.tiktok.com/@名字/video/7301234567890123456"),
    ("xiaohongshu", "https://www.xiaohongshu.com/explore/64a1b2c3d4e5f6a7b8c9d0e1"),
    ("xiaohongshu", "https://xhslink.com/a/AbC123/"),
    ("baijiahao", "https://baijiahao.baidu.com/s?id=1790000000000000000&wfr=spider"),
    ("baijiahao", "https://baijiahao.baidu.com/s?id=%31%32&id="),
    ("douyin", "https://user:pw@www.douyin.com:8443/video/1"),
    ("douyin", "https://[::ffff:1.2.3.4%25eth0]:443/video/1"),
    ("douyin", "https://[v1.x]/video/1"),
    ("douyin", "https://[fe80::1/video/1"),
    ("douyin", "https://www.douyin.com\u2100/video/1"),
    ("bilibili", "https://www.bilibili.com./video/BV1xx411c7mD"),
    ("youtube", "https://www.youtube.com/watch?v=x"),
]

TEXT = {  # first byte: 0 UTF-8, 1 Latin-1, 2 UCS-2, 3 UCS-4, 4 JSON to show and render
    "plain": b"\x00" + "旅行 vlog".encode(),
    "controls": b"\x00" + "第一行\n第二行\t\x1b[31m\x7f\x85\xad say \"hi\" C:\\tmp".encode(),
    "format": b"\x00" + "abc\u202edef x\u2028y \U000e0001 👨\u200d👩".encode(),
    "latin-1": b"\x01" + "a\tb\x7f\x85\xa0\xad\xff\"\\".encode("latin-1"),
    "ucs-2": b"\x02" + "\u202e旅\u2028\ufeffx\n".encode("utf-16-le") + b"\x00\xd8",
    "ucs-4": b"\x03" + "\U000e0020😀\u200b\x00".encode("utf-32-le"),
}


def text_records():
    """Records as the reader makes them, for the listing: taken from the demo store itself."""
    sys.path.insert(0, "")
    from publish.runlens import HistoryReader  # needs the built modules
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "history.sqlite3"
        create_store(path)
        for run in demo_runs():
            write_run(path, run)
        reader = HistoryReader(path)
        return {"list": reader.list_runs(), "detail": reader.get_run(RUN_ID)}


def compact(path):
    """The smallest pages SQLite allows, so a store seed is a few kilobytes."""
    con = sqlite3.connect(path, isolation_level=None)
    try:
        con.execute("PRAGMA page_size=512")
        con.execute("VACUUM")
    finally:
        con.close()


def stores():
    out = {}
    with tempfile.TemporaryDirectory() as tmp:
        demo = Path(tmp) / "demo.sqlite3"
        create_store(demo)
        for run in demo_runs():
            write_run(demo, run)
        compact(demo)
        out["demo"] = demo.read_bytes()

        one = Path(tmp) / "one.sqlite3"
        create_store(one, accounts=False)
        write_run(one, Run([Item.note(platforms=["xiaohongshu", "weibo"], title="标题\u202e",
                                      publish_time="2025-01-31T20:00:00Z")],
                           version=1, run_id=RUN_ID,
                           entries={(0, "weibo"): Entry.success("https://weibo.com/tv/show/1034:1", "1")}))
        compact(one)
        out["one-run-v1-no-accounts"] = one.read_bytes()
        out["empty-file"] = b""
        header = bytearray(out["demo"][:100])
        header[18:20] = b"\x02\x02"
        out["wal-header"] = bytes(header) + out["demo"][100:]
    return out


def write(target, name, data):
    folder = CORPUS / target
    folder.mkdir(parents=True, exist_ok=True)
    (folder / name).write_bytes(data if isinstance(data, bytes) else data.encode())


def main():
    for name, text in JSON.items():
        write("json", name, text)
    for name, data in JSON_BYTES.items():
        write("json", name, data)
    for i, date in enumerate(DATES):
        write("isodate", f"date-{i:02}", date)
    for i, (platform, link) in enumerate(LINKS):
        write("links", f"{platform}-{i:02}", bytes([PLATFORMS.index(platform)]) + link.encode())
    for name, data in TEXT.items():
        write("text", name, data)
    for name, record in text_records().items():
        write("text", f"record-{name}", b"\x04" + json.dumps(record, ensure_ascii=False).encode())
    for name, data in stores().items():
        write("store", name, data)


if __name__ == "__main__":
    main()
