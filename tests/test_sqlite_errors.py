"""A storage-engine failure reaches the caller as the sqlite3 exception Python's own sqlite3 module
raises for its result code: the class, the code and the message.

Real failures of Python's sqlite3 are made first. Then, in a child interpreter whose sqlite3.connect
raises the code and message of one of them, the reader opens the store through Python's sqlite3
(the "python" way), and the cause of its RUN-005 failure must read back as the real failure.
"""

import json
import os
import sqlite3
import subprocess
import sys
from pathlib import Path

import pytest

import publish
from publish.historystore import demo_store

PACKAGE_ROOT = Path(publish.__file__).absolute().parent.parent
IO = ["RUN-005", "无法只读查询发布记录",
      "若有发布进程请等待其结束；检查数据目录权限和数据库日志，保留原文件，不删除或强制恢复日志"]


def failure(make):
    with pytest.raises(sqlite3.Error) as info:
        make()
    return info.value


def syntax(tmp):
    sqlite3.connect(":memory:").execute("select nope")


def unique(tmp):
    con = sqlite3.connect(":memory:")
    con.execute("create table t (a unique)")
    con.executemany("insert into t values (?)", [(1,), (1,)])


def mismatch(tmp):
    con = sqlite3.connect(":memory:")
    con.execute("create table t (id integer primary key)")
    con.execute("insert into t values ('x')")


def too_big(tmp):
    con = sqlite3.connect(":memory:")
    con.setlimit(sqlite3.SQLITE_LIMIT_LENGTH, 10)
    con.execute("select zeroblob(100)").fetchall()


def read_only(tmp):
    path = tmp / "ro.sqlite3"
    sqlite3.connect(path).execute("create table t (a)")
    sqlite3.connect(f"file:{path}?mode=ro", uri=True).execute("insert into t values (1)")


def not_authorized(tmp):
    con = sqlite3.connect(":memory:")
    con.set_authorizer(lambda *args: sqlite3.SQLITE_DENY)
    con.execute("select 1")


def not_a_database(tmp):
    path = tmp / "junk.sqlite3"
    path.write_bytes(b"not a database, just text " * 100)
    sqlite3.connect(path).execute("select * from sqlite_master")


def interrupted(tmp):
    con = sqlite3.connect(":memory:")
    con.set_progress_handler(lambda: 1, 1)
    con.execute("with recursive n(i) as (select 1 union all select i + 1 from n) select count(*) from n")


def locked(tmp):
    path = tmp / "locked.sqlite3"
    holder = sqlite3.connect(path, isolation_level=None)
    holder.execute("create table t (a)")
    holder.execute("begin exclusive")
    sqlite3.connect(path, timeout=0).execute("select * from t")


def full(tmp):
    con = sqlite3.connect(":memory:")
    con.execute("pragma max_page_count = 2")
    con.execute("create table t (a)")
    con.execute("insert into t values (zeroblob(100000))")


FAILURES = [syntax, unique, mismatch, too_big, read_only, not_authorized, not_a_database, interrupted, locked,
            full]

CHILD = r"""
import json, sqlite3, sys

case = json.loads(sys.argv[2])
error = sqlite3.Error(case["message"])  # the base class: only the code tells the reader what failed
error.sqlite_errorcode = case["code"]


def connect(*args, **kwargs):
    raise error


from publish import runlens
from publish.runlens import HistoryError, HistoryReader

# The python way binds sqlite3.connect when it is first taken: too late once import took it.
if runlens._sqlite_way() == "python":
    print(json.dumps("import took the python way"))
    sys.exit()
sqlite3.connect = connect
runlens._use_sqlite_way("python")
try:
    HistoryReader(sys.argv[1]).list_runs(1)
except HistoryError as err:
    cause = err.__cause__
    print(json.dumps([err.code, err.message, err.action, type(cause).__module__, type(cause).__name__,
                      cause.sqlite_errorcode, str(cause)]))
"""


def read_failing_with(store, case):
    env = dict(os.environ, PYTHONPATH=str(PACKAGE_ROOT), PYTHONDONTWRITEBYTECODE="1")
    done = subprocess.run([sys.executable, "-c", CHILD, str(store), json.dumps(case)], env=env,
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    out = json.loads(done.stdout)
    if isinstance(out, str):
        pytest.skip(out)
    return out


@pytest.mark.parametrize("make", FAILURES, ids=[f.__name__ for f in FAILURES])
def test_engine_failure_is_the_sqlite3_error_python_raises(tmp_path, make):
    error = failure(lambda: make(tmp_path))
    case = {"class": type(error).__name__, "code": error.sqlite_errorcode, "message": str(error)}
    store = tmp_path / "history.sqlite3"
    demo_store(store)
    assert read_failing_with(store, case) == [*IO, "sqlite3", case["class"], case["code"], case["message"]]
