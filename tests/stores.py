"""Small helpers over the stand-in's history writer, so each test shows its fault in a line, and
other processes on a store: a writer holding its lock, a writer that died mid-transaction."""

import contextlib
import hashlib
import sqlite3
import subprocess
import sys

from publish.historystore import (Entry, Item, Run, create_store, write_raw_account,
                                  write_raw_entry, write_raw_run, write_run, write_runs)
from publish.runfault import HistoryError
from publish.runlens import HistoryReader

__all__ = ["Entry", "Item", "Run", "create_store", "write_raw_account", "write_raw_entry",
           "write_raw_run", "write_run", "write_runs", "HistoryReader", "HistoryError", "sha", "IDENTITY",
           "another_process_holding", "hot_journal"]


def sha(text: str) -> str:
    return hashlib.sha256(text.encode()).hexdigest()


IDENTITY = "sha256-v1:" + sha("account")


HOLDER = """
import sqlite3, sys
con = sqlite3.connect(sys.argv[1], isolation_level=None)
con.execute("BEGIN " + sys.argv[2])
con.execute("INSERT INTO runs (run_id) VALUES ('not committed')")
print("ready", flush=True)
sys.stdin.read()
"""


@contextlib.contextmanager
def another_process_holding(path, mode):
    """A writer in another process inside BEGIN <mode> with one row inserted, until exit."""
    proc = subprocess.Popen([sys.executable, "-c", HOLDER, str(path), mode],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        assert proc.stdout.readline() == "ready\n"
        yield
    finally:
        proc.stdin.close()
        proc.stdout.close()
        proc.wait(timeout=30)


CRASHING_WRITER = """
import os, sqlite3, sys
con = sqlite3.connect(sys.argv[1], isolation_level=None)
con.execute("PRAGMA cache_size=5")  # small cache: changed pages spill, so the journal is written
con.execute("BEGIN")
con.execute("UPDATE filler SET x = randomblob(1000)")
os._exit(0)  # neither commit nor rollback
"""


def hot_journal(path):
    """Leaves a hot journal beside the store: a writer that dies inside its transaction."""
    con = sqlite3.connect(path)
    try:
        with con:
            con.execute("CREATE TABLE filler (x)")
            con.executemany("INSERT INTO filler VALUES (randomblob(1000))", [()] * 300)
    finally:
        con.close()
    subprocess.run([sys.executable, "-c", CRASHING_WRITER, str(path)], check=True, timeout=60)
