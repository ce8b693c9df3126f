"""run_with_json writing a large history document, against json.dumps plus the same write.

The document is a "history_list" document whose history is a run list of 2,000 run summaries,
with 20 full run projections beside them under "details" (all records as runlens returns them,
read from a store of 20 runs of 5 items x 8 platforms). Standard output goes to /dev/null while
timing. The two sides alternate in one run:

  ours      run_with_json(command), the command recording the history (report, redirection,
            document, JSON text, write);
  baseline  print(json.dumps(document, ensure_ascii=False)) of the same document.

Prints the best and median times of each and the ratio of the best times (target: 0.15 or less).
"""

import contextlib
import io
import json
import os
import statistics
import sys
import tempfile
import time
from pathlib import Path

from publish.constants import PLATFORM_NAMES
from publish.historystore import Entry, Item, Run, create_store, write_run
from publish.output import JsonReport, record_history, run_with_json
from publish.runlens import HistoryReader

PLATFORMS = list(PLATFORM_NAMES)


def entry(n, platform):
    kind = n % 4
    if kind == 0:
        return Entry.success(f"https://www.bilibili.com/video/BV1xx411c7m{n % 10}", f"id-{n}",
                             message="发布成功，已进入审核")
    if kind == 1:
        return Entry.failure("NET_TIMEOUT", "网络超时，稍后重试", retry=True, action="检查网络后重试")
    if kind == 2:
        return Entry.pending()
    return Entry.failure("REJECTED", "内容未通过审核")


def history_record(tmp):
    path = Path(tmp) / "bench.sqlite3"
    create_store(path)
    for r in range(20):
        items = [Item.video(f"/home/bench/videos/run{r}/第{i}集.mp4", PLATFORMS, title=f"第 {r} 次发布 · 第 {i} 集",
                            desc="一段足够长的描述文字，" * 4, tags=["旅行", "美食", "vlog"],
                            publish_time="2025-01-31T20:00:00+08:00") for i in range(5)]
        write_run(path, Run(items, {(i, p): entry(r + i * 8 + k, p) for i in range(5) for k, p in enumerate(PLATFORMS)}))
    reader = HistoryReader(path)
    listed = reader.list_runs(20)
    details = [reader.get_run(s["run_id"]) for s in listed["runs"]]
    summaries = []
    for n in range(2000):
        s = dict(listed["runs"][n % 20])
        s["run_id"] = f"{n:08x}-9f0a-4b3c-8d2e-6f7a8b9c0d1e"
        s["title"] = f"{s['title']} · 副本 {n}"
        summaries.append(s)
    return dict(listed, total=2000, limit=2000, runs=summaries, details=details)


def command_for(history):
    def command():
        record_history(history, "history_list")
        return 0
    return command


def once(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


@contextlib.contextmanager
def stdout_to_devnull():
    """Descriptor 1 on /dev/null, sys.stdout still the process's own text stream on it."""
    sys.stdout.flush()
    saved = os.dup(1)
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 1)
    os.close(null)
    try:
        yield
    finally:
        sys.stdout.flush()
        os.dup2(saved, 1)
        os.close(saved)


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 30
    sys.stdout.reconfigure(encoding="utf-8")
    with tempfile.TemporaryDirectory() as tmp:
        history = history_record(tmp)
    command = command_for(history)
    document = JsonReport(mode="history_list", history=history).document(0)
    expected = json.dumps(document, ensure_ascii=False)

    # Same bytes first, through a text stream like the real one.
    written = io.TextIOWrapper(io.BytesIO(), encoding="utf-8")
    with contextlib.redirect_stdout(written):
        run_with_json(command)
    written.flush()
    if written.buffer.getvalue() != (expected + "\n").encode("utf-8"):
        raise SystemExit("run_with_json wrote something other than json.dumps")

    ours, base = [], []
    with stdout_to_devnull():
        for _ in range(rounds):
            ours.append(once(lambda: run_with_json(command)))
            base.append(once(lambda: print(json.dumps(document, ensure_ascii=False))))
    size = len(expected.encode("utf-8"))
    print(f"document:     {size / 1e6:.2f} MB UTF-8, 2,000 summaries + 20 details, {rounds} rounds each")
    print(f"run_with_json: best {min(ours) * 1e3:7.2f} ms  median {statistics.median(ours) * 1e3:7.2f} ms")
    print(f"json.dumps:    best {min(base) * 1e3:7.2f} ms  median {statistics.median(base) * 1e3:7.2f} ms")
    print(f"ratio:         {min(ours) / min(base):.3f} (target 0.15 or less)")


if __name__ == "__main__":
    main()
