"""list_runs(200) and get_run against a bare fetch-and-decode baseline, measured side by side.

Writes a store of 200 version 2 runs (5 items x 8 platforms, mixed states, accounts present),
then times the full validated queries against a pure-Python reader that only fetches the same
rows with sqlite3 and decodes the same JSON columns with json.loads. Prints both and the ratio.
"""

import json
import sqlite3
import statistics
import sys
import tempfile
import time
from pathlib import Path

from publish.constants import PLATFORM_NAMES
from publish.historystore import Entry, Item, Run, create_store, write_run
from publish.runlens import HistoryReader

PLATFORMS = list(PLATFORM_NAMES)
LINKS = {"bilibili": "https://www.bilibili.com/video/BV1xx411c7mD", "douyin": "https://www.douyin.com/video/7301",
         "weibo": "https://weibo.com/tv/show/1034:4890", "tk": "https://www.tiktok.com/@kamo/video/7301"}


def entry(n, platform):
    kind = n % 4
    if kind == 0:
        return Entry.success(LINKS.get(platform, ""), f"id-{n}", message="发布成功，已进入审核")
    if kind == 1:
        return Entry.failure("NET_TIMEOUT", "网络超时，稍后重试", retry=True, action="检查网络后重试")
    if kind == 2:
        return Entry.pending()
    return Entry.failure("REJECTED", "内容未通过审核")


def write_store(path):
    create_store(path)
    for r in range(200):
        items = [Item.video(f"/home/bench/videos/run{r}/第{i}集.mp4", PLATFORMS, title=f"第 {r} 次发布 · 第 {i} 集",
                            desc="一段足够长的描述文字，" * 4, tags=["旅行", "美食", "vlog"],
                            publish_time="2025-01-31T20:00:00+08:00") for i in range(5)]
        entries = {(i, p): entry(r + i * 8 + k, p) for i in range(5) for k, p in enumerate(PLATFORMS)}
        write_run(path, Run(items, entries))
    # The runtime's store keys entries and accounts by run; without these both readers spend
    # their time scanning whole tables, and the ratio would say nothing about the reader.
    con = sqlite3.connect(path)
    con.execute("CREATE INDEX entries_run ON entries(run_id)")
    con.execute("CREATE INDEX accounts_run ON accounts(run_id)")
    con.commit()
    con.close()


def baseline_list(path, limit):
    con = sqlite3.connect(f"file:{path}?mode=ro", uri=True)
    con.row_factory = sqlite3.Row
    try:
        out = []
        con.execute("SELECT COUNT(*) FROM runs").fetchone()
        for row in con.execute("SELECT * FROM runs ORDER BY rowid DESC LIMIT ?", (limit,)).fetchall():
            snapshot, prints = json.loads(row["snapshot"]), json.loads(row["fingerprints"])
            entries = con.execute("SELECT * FROM entries WHERE run_id=?", (row["run_id"],)).fetchall()
            results = [json.loads(e["result"]) if e["result"] is not None else None for e in entries]
            accounts = con.execute("SELECT * FROM accounts WHERE run_id=?", (row["run_id"],)).fetchall()
            out.append((snapshot, prints, results, accounts))
        return out
    finally:
        con.close()


def best(fn, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times), statistics.median(times)


def main():
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "bench.sqlite3"
        write_store(path)
        reader = HistoryReader(path)
        run_id = reader.list_runs(1)["runs"][0]["run_id"]
        assert len(reader.list_runs(200)["runs"]) == 200

        repeat = int(sys.argv[1]) if len(sys.argv) > 1 else 15
        ours = best(lambda: reader.list_runs(200), repeat)
        base = best(lambda: baseline_list(path, 200), repeat)
        one = best(lambda: reader.get_run(run_id), repeat * 4)
        base_one = best(lambda: baseline_list_one(path, run_id), repeat * 4)
        print(f"list_runs(200): ours {ours[0] * 1e3:8.2f} ms  baseline {base[0] * 1e3:8.2f} ms  "
              f"ratio {ours[0] / base[0]:.3f}  (medians {ours[1] * 1e3:.2f} / {base[1] * 1e3:.2f} ms)")
        print(f"get_run:        ours {one[0] * 1e3:8.2f} ms  baseline {base_one[0] * 1e3:8.2f} ms  "
              f"ratio {one[0] / base_one[0]:.3f}")


def baseline_list_one(path, run_id):
    con = sqlite3.connect(f"file:{path}?mode=ro", uri=True)
    con.row_factory = sqlite3.Row
    try:
        row = con.execute("SELECT * FROM runs WHERE run_id=?", (run_id,)).fetchone()
        snapshot, prints = json.loads(row["snapshot"]), json.loads(row["fingerprints"])
        entries = con.execute("SELECT * FROM entries WHERE run_id=?", (run_id,)).fetchall()
        results = [json.loads(e["result"]) if e["result"] is not None else None for e in entries]
        accounts = con.execute("SELECT * FROM accounts WHERE run_id=?", (run_id,)).fetchall()
        return snapshot, prints, results, accounts
    finally:
        con.close()


if __name__ == "__main__":
    main()
