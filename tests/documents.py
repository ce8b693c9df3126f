"""Real outcome documents and history records, made the way users and the runtime make them.

Shared by the tests that hold the published shapes (stubs, record types, JSON Schema) against
what the modules actually write.
"""

import contextlib
import io
import json
import os
import subprocess
import sys
from datetime import datetime, timedelta, timezone

from publish.historystore import demo_store
from publish.output import (record_error, record_plan, record_result, record_run,
                            register_result_order, run_with_json)
from publish.runlens import HistoryReader

def make_demo(folder):
    """A demo store under folder; returns (path, run ids oldest first)."""
    path = os.path.join(folder, "history.sqlite3")
    return path, demo_store(path)


def kamo(*args):
    """The kamo command as a user runs it; returns the finished process."""
    return subprocess.run([sys.executable, "-m", "publish", *args], capture_output=True, text=True,
                          encoding="utf-8", env={**os.environ, "PYTHONIOENCODING": "utf-8"})


def kamo_document(*args):
    """kamo ARGS --json: (document, exit status), checking that stdout is exactly one line."""
    done = kamo(*args, "--json")
    assert done.stdout.count("\n") == 1 and done.stdout.endswith("\n"), (done.stdout, done.stderr)
    return json.loads(done.stdout), done.returncode


def wrapped_line(command):
    """The line run_with_json writes for command, as written, with its exit status."""
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        status = run_with_json(command)
    line = out.getvalue()
    assert line.count("\n") == 1 and line.endswith("\n"), line
    return line, status


def wrapped(command):
    """The document run_with_json writes for command, with its exit status."""
    line, status = wrapped_line(command)
    return json.loads(line), status


def recorded_publish():
    """A publish as the runtime records it: a plan, a run, reserved and unreserved results, an error."""
    def command():
        record_plan([
            {"content_type": "video", "video_file": "/home/demo/videos/旅行.mp4", "title": "周末去杭州旅行",
             "enabled_platforms": ["douyin", "bilibili"],
             "publish_time": datetime(2024, 5, 1, 8, tzinfo=timezone(timedelta(hours=8)))},
            {"content_type": "note", "images": ["/home/demo/pictures/美食1.jpg"], "title": "街角的小面馆",
             "enabled_platforms": ["xiaohongshu"], "publish_time": None, "convert_to_video": True},
        ])
        record_run("5d1e8c72-9f0a-4b3c-8d2e-6f7a8b9c0d1e", "publish")
        order = register_result_order(["douyin", "bilibili"])
        video = {"content_type": "video", "video_file": "/home/demo/videos/旅行.mp4", "_result_order": order}
        note = {"content_type": "note", "images": ["/home/demo/pictures/美食1.jpg"]}
        record_result(video, "bilibili", {"success": True, "message": "发布成功", "reused": True,
                                          "result_url": "https://www.bilibili.com/video/BV1xx411c7mD",
                                          "result_id": "BV1xx411c7mD", "safe_to_retry": True})
        record_result(video, "douyin", {"success": False, "message": "抖音登录已过期",
                                        "error_code": "LOGIN_EXPIRED", "safe_to_retry": True,
                                        "action": "重新登录抖音账号后重试"})
        record_result(note, "xiaohongshu", {"success": 1, "result_id": 6523})
        record_error("RUN-003", "未找到发布记录", "检查 run_id 与原发布记录")
        return 1
    return wrapped(command)


def failed_commands(store):
    """Documents of commands that failed, each way a command can fail: name -> (document, status)."""
    def crashes():
        raise RuntimeError("boom")

    def interrupted():
        record_run("5d1e8c72-9f0a-4b3c-8d2e-6f7a8b9c0d1e", "publish")
        raise KeyboardInterrupt

    def not_ok():
        ok = False
        sys.exit(not ok)

    return {
        "unknown run": kamo_document("--history", "00000000-0000-4000-8000-000000000000", "--db", store),
        "bad run id": kamo_document("--history", "NOT-A-RUN", "--db", store),
        "bad limit": kamo_document("--history", "--limit", "0", "--db", store),
        "bad before": kamo_document("--history", "--before", "NOT-A-RUN", "--db", store),
        "usage error": kamo_document("--limit", "3"),
        "runtime failure": wrapped(crashes),
        "interrupted": wrapped(interrupted),
        "exit(not ok)": wrapped(not_ok),
    }


def history_records(store, run_ids):
    """Every record the reader returns for the store: the list, and each run in full."""
    reader = HistoryReader(store)
    return reader.list_runs(), [reader.get_run(run_id) for run_id in run_ids]
