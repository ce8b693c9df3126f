"""list_runs and get_run against the bare Python floor, on stores with and without indexes.

Stores of 200, 1,000 and 5,000 version 2 runs (5 items x 8 platforms each, mixed states,
accounts present), each as written (no index on run_id: the stand-in writer makes none) and as
an indexed copy of the same file (indexes on entries(run_id) and accounts(run_id)). On each:

  list_runs(200)  the full validated query, against the floor: a pure-Python reader that only
                  fetches the same rows with sqlite3 (one statement per run, as written) and
                  runs json.loads on each JSON cell;
  get_run         the same for one run;
  oldest page     list_runs(200, before) for the oldest 200 runs, the floor reading the same.

The two sides alternate in one process. Printed: best times, ratios to the floor, and the
ratio of list_runs(200) without indexes to the same call on the indexed copy. Then, each from a
child process (ru_maxrss): the peak memory of list_runs(200) on the 5,000-run store, and time
and peak memory of get_run on one run of 10^6 entries (142,858 items x 7 platforms), with the
floor's figures beside them.

Targets: no-index list_runs(200) on 5,000 runs <= 2x the indexed copy; indexed list_runs(200)
<= 0.25x the floor; get_run <= 1.0x the floor.

Generated stores are cached under the temporary directory, keyed by their parameters.
    tools/dev --python bench/bench_queries.py [--quick] [--no-huge | --huge-only] [--sqlite-way WAY]

--sqlite-way forces how the reader reaches the interpreter's SQLite ("library", "extension" or
"python"; by default the first that works), to show what each later way costs.
"""

import argparse
import json
import os
import resource
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from publish.constants import PLATFORM_NAMES
from publish.historystore import Entry, Item, Run, create_store, write_runs

PLATFORMS = list(PLATFORM_NAMES)
LINKS = {"bilibili": "https://www.bilibili.com/video/BV1xx411c7mD", "douyin": "https://www.douyin.com/video/7301",
         "weibo": "https://weibo.com/tv/show/1034:4890", "tk": "https://www.tiktok.com/@kamo/video/7301"}
# Bump when the generated stores change, so stale cached files are never used.
STORE_FORMAT = 2
CACHE = Path(tempfile.gettempdir()) / "kamo-bench-stores"
HUGE_ITEMS = 142_858  # x 7 platforms: 1,000,006 entries


def entry(n, platform):
    kind = n % 4
    if kind == 0:
        return Entry.success(LINKS.get(platform, ""), f"id-{n}", message="发布成功，已进入审核")
    if kind == 1:
        return Entry.failure("NET_TIMEOUT", "网络超时，稍后重试", retry=True, action="检查网络后重试")
    if kind == 2:
        return Entry.pending()
    return Entry.failure("REJECTED", "内容未通过审核")


def bench_run(r):
    items = [Item.video(f"/home/bench/videos/run{r}/第{i}集.mp4", PLATFORMS, title=f"第 {r} 次发布 · 第 {i} 集",
                        desc="一段足够长的描述文字，" * 4, tags=["旅行", "美食", "vlog"],
                        publish_time="2025-01-31T20:00:00+08:00") for i in range(5)]
    return Run(items, {(i, p): entry(r + i * 8 + k, p) for i in range(5) for k, p in enumerate(PLATFORMS)})


def huge_run():
    platforms = PLATFORMS[:7]
    items = [Item.video(f"/home/bench/huge/{i}.mp4", platforms, title=f"第 {i} 集", tags=["旅行"])
             for i in range(HUGE_ITEMS)]
    return Run(items, {(i, p): entry(i + k, p) for i in range(HUGE_ITEMS) for k, p in enumerate(platforms)})


def cached(name, make):
    """The store file named name under CACHE, made by make(path) on first use."""
    CACHE.mkdir(exist_ok=True)
    path = CACHE / f"{name}-v{STORE_FORMAT}.sqlite3"
    if not path.exists():
        part = path.with_suffix(".part")
        part.unlink(missing_ok=True)
        make(part)
        part.rename(path)
    return path


def add_indexes(path):
    con = sqlite3.connect(path)
    try:
        with con:
            con.execute("CREATE INDEX entries_run ON entries(run_id)")
            con.execute("CREATE INDEX accounts_run ON accounts(run_id)")
    finally:
        con.close()


def stores(runs):
    """(bare, indexed): the same runs without and with indexes on run_id."""
    def make(path):
        create_store(path)
        for start in range(0, runs, 500):
            write_runs(path, [bench_run(r) for r in range(start, min(runs, start + 500))])
    bare = cached(f"runs{runs}-items5-platforms8-bare", make)

    def copy(path):
        shutil.copyfile(bare, path)
        add_indexes(path)
    return bare, cached(f"runs{runs}-items5-platforms8-indexed", copy)


def huge_store():
    def make(path):
        create_store(path)
        write_runs(path, [huge_run()])
    return cached(f"huge{HUGE_ITEMS}x7", make)


# --- the floor: fetch the same rows with sqlite3, json.loads each JSON cell ---------------

def floor_project(con, row):
    snapshot, prints = json.loads(row["snapshot"]), json.loads(row["fingerprints"])
    entries = con.execute("SELECT * FROM entries WHERE run_id=?", (row["run_id"],)).fetchall()
    results = [json.loads(e["result"]) if e["result"] is not None else None for e in entries]
    accounts = con.execute("SELECT * FROM accounts WHERE run_id=?", (row["run_id"],)).fetchall()
    return snapshot, prints, results, accounts


def floor_connect(path):
    con = sqlite3.connect(f"file:{path}?mode=ro", uri=True)
    con.row_factory = sqlite3.Row
    return con


def floor_list(path, limit, before=None):
    con = floor_connect(path)
    try:
        con.execute("SELECT COUNT(*) FROM runs").fetchone()
        if before is None:
            rows = con.execute("SELECT * FROM runs ORDER BY rowid DESC LIMIT ?", (limit,)).fetchall()
        else:
            (first,) = con.execute("SELECT rowid FROM runs WHERE run_id=? ORDER BY rowid LIMIT 1",
                                   (before,)).fetchone()
            rows = con.execute("SELECT * FROM runs WHERE rowid < ? ORDER BY rowid DESC LIMIT ?",
                               (first, limit)).fetchall()
        return [floor_project(con, row) for row in rows]
    finally:
        con.close()


def floor_get(path, run_id):
    con = floor_connect(path)
    try:
        return floor_project(con, con.execute("SELECT * FROM runs WHERE run_id=?", (run_id,)).fetchone())
    finally:
        con.close()


# --- timing -------------------------------------------------------------------------------

def alternate(ours, floor, budget):
    """Best times of the two, run in turns until budget seconds are spent (at least 3 turns,
    or 1 when one turn alone takes longer than the budget)."""
    best = [float("inf"), float("inf")]
    spent, turns = 0.0, 0
    while turns < 3 or spent < budget:
        for k, fn in enumerate((ours, floor)):
            start = time.perf_counter()
            fn()
            took = time.perf_counter() - start
            best[k] = min(best[k], took)
            spent += took
        turns += 1
        if turns == 1 and spent > budget:
            break
    return best


def child(args):
    """Runs one call in a child process; returns its seconds, the process's peak memory (MiB),
    the peak before the call (the interpreter and the modules) and, where Linux can restart
    the count, how far the call itself took the resident size above where it started."""
    out = subprocess.run([sys.executable, __file__, "--child", *args], capture_output=True, text=True,
                         check=True, env=os.environ)
    return json.loads(out.stdout)


def status_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return None


def child_main(kind, path, arg):
    from publish.runlens import HistoryReader
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    rss = status_kib("VmRSS")
    try:  # restart the peak-RSS count, so the call's own peak shows even below the start-up peak
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        rss = None
    start = time.perf_counter()
    if kind == "list":
        HistoryReader(path).list_runs(int(arg))
    elif kind == "get":
        HistoryReader(path).get_run(arg)
    elif kind == "floor-get":
        floor_get(path, arg)
    else:
        floor_list(path, int(arg))
    took = time.perf_counter() - start
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    call = None if rss is None else (status_kib("VmHWM") - rss) / 1024
    print(json.dumps({"seconds": took, "peak_mib": peak / 1024, "base_mib": before / 1024, "call_mib": call}))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="shorter timing budget")
    parser.add_argument("--no-huge", action="store_true", help="skip the 10^6-entry run")
    parser.add_argument("--huge-only", action="store_true", help="only the 10^6-entry run")
    parser.add_argument("--sqlite-way", help="force a way to the interpreter's SQLite")
    parser.add_argument("--child", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.sqlite_way:
        os.environ["KAMO_BENCH_SQLITE_WAY"] = args.sqlite_way  # children take it too
    if os.environ.get("KAMO_BENCH_SQLITE_WAY"):
        from publish import runlens
        runlens._use_sqlite_way(os.environ["KAMO_BENCH_SQLITE_WAY"])
        if not args.child:
            print(f"SQLite reached by way {runlens._sqlite_way()!r}")
    if args.child:
        return child_main(*args.child)

    budget = 0.4 if args.quick else 1.5
    if not args.huge_only:
        timings(budget)
    if not args.no_huge:
        huge()


def timings(budget):
    from publish.runlens import HistoryReader
    print(f"{'store':<22} {'query':<15} {'ours ms':>10} {'floor ms':>10} {'ratio':>7}")
    listed = {}
    for runs in (200, 1000, 5000):
        for indexed, path in zip((False, True), stores(runs)):
            reader = HistoryReader(path)
            run_id = reader.list_runs(1)["runs"][0]["run_id"]
            label = f"{runs} runs, {'indexed' if indexed else 'no index'}"
            ours, floor = alternate(lambda: reader.list_runs(200), lambda: floor_list(path, 200), budget)
            listed[runs, indexed] = ours
            print(f"{label:<22} {'list_runs(200)':<15} {ours * 1e3:10.2f} {floor * 1e3:10.2f} {ours / floor:7.3f}")
            ours, floor = alternate(lambda: reader.get_run(run_id), lambda: floor_get(path, run_id), budget / 2)
            print(f"{label:<22} {'get_run':<15} {ours * 1e3:10.2f} {floor * 1e3:10.2f} {ours / floor:7.3f}")
            if runs > 200:  # the oldest page: before the run stored 201st
                con = sqlite3.connect(path)
                (before,) = con.execute("SELECT run_id FROM runs WHERE rowid = 201").fetchone()
                con.close()
                ours, floor = alternate(lambda: reader.list_runs(200, before),
                                        lambda: floor_list(path, 200, before), budget)
                print(f"{label:<22} {'oldest page':<15} {ours * 1e3:10.2f} {floor * 1e3:10.2f} {ours / floor:7.3f}")
    for runs in (200, 1000, 5000):
        print(f"list_runs(200) on {runs} runs, no index / indexed: "
              f"{listed[runs, False] / listed[runs, True]:.2f}  (target on 5000: <= 2)")

    bare, _ = stores(5000)
    ours, floor = child(["list", str(bare), "200"]), child(["floor-list", str(bare), "200"])
    print(f"peak memory, list_runs(200) on 5000 runs (no index): process {ours['peak_mib']:.1f} MiB, "
          f"the call {ours['call_mib']:.1f} MiB above its start; floor: process {floor['peak_mib']:.1f} MiB, "
          f"the call {floor['call_mib']:.1f} MiB")


def huge():
    path = huge_store()
    con = sqlite3.connect(path)
    run_id = con.execute("SELECT run_id FROM runs").fetchone()[0]
    con.close()
    ours, floor = child(["get", str(path), run_id]), child(["floor-get", str(path), run_id])
    print(f"get_run, one run of {HUGE_ITEMS * 7:,} entries: ours {ours['seconds']:.2f} s, "
          f"peak {ours['peak_mib']:.0f} MiB; floor {floor['seconds']:.2f} s, peak {floor['peak_mib']:.0f} MiB; "
          f"ratios: time {ours['seconds'] / floor['seconds']:.2f}, memory {ours['peak_mib'] / floor['peak_mib']:.2f}")

if __name__ == "__main__":
    main()
