"""Small helpers over the stand-in's history writer, so each test shows its fault in a line."""

import hashlib

from publish.historystore import (Entry, Item, Run, create_store, write_raw_account,
                                  write_raw_entry, write_raw_run, write_run, write_runs)
from publish.runfault import HistoryError
from publish.runlens import HistoryReader

__all__ = ["Entry", "Item", "Run", "create_store", "write_raw_account", "write_raw_entry",
           "write_raw_run", "write_run", "write_runs", "HistoryReader", "HistoryError", "sha", "IDENTITY"]


def sha(text: str) -> str:
    return hashlib.sha256(text.encode()).hexdigest()


IDENTITY = "sha256-v1:" + sha("account")
