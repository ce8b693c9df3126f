"""Writer for kamo's publish-history store, for tests and the demo.

The native history modules only read the store; this writes it, healthy or broken.

Layout (SQLite, rollback journal):
  runs(run_id, version, snapshot, fingerprints)       rowid order is run order
  entries(run_id, item_index, platform, state, result, retryable)
  accounts(run_id, platform, account_file, identity)  optional

By default columns have no declared type, so SQLite stores every value with the type
it was given: a test can put a float in ``version`` or bytes in ``snapshot`` and read
the same back. ``RawText(b"...")`` stores bytes as TEXT, for invalid UTF-8 text.
``create_store`` can also declare column types and collations, make tables WITHOUT
ROWID and add indexes, the layouts a runtime's store may have.

Typical use::

    run = Run([Item.video("/home/demo/videos/旅行.mp4", ["douyin", "bilibili"])],
              entries={(0, "bilibili"): Entry.failure("LOGIN_EXPIRED", retry=True)})
    run_id = write_run(path, run)          # creates the store when it has no tables

Every writer opens its own connection, commits and closes it.
"""

import contextlib
import hashlib
import json
import os
import sqlite3
import sys
import uuid
from dataclasses import dataclass, field
from typing import Any

__all__ = [
    "AUTO", "Entry", "Item", "RawText", "Run", "account_identity", "create_store",
    "demo_store", "fingerprint", "write_raw_account", "write_raw_entry", "write_raw_run",
    "write_run", "write_runs",
]

COLUMNS = {
    "runs": ["run_id", "version", "snapshot", "fingerprints"],
    "entries": ["run_id", "item_index", "platform", "state", "result", "retryable"],
    "accounts": ["run_id", "platform", "account_file", "identity"],
}
# Added by create_store(extra=True): columns a reader must not trip over.
EXTRA_COLUMNS = {
    "runs": ["created_at", "label"],
    "entries": ["updated_at"],
    "accounts": ["bound_at"],
}

ACCOUNT_DIR = "/home/demo/.kamo/accounts"


class _Auto:
    def __repr__(self):
        return "AUTO"


AUTO = _Auto()  # "work this cell out from the items", where None would mean NULL


@dataclass(frozen=True)
class RawText:
    """Bytes to be stored with type TEXT as they are, valid UTF-8 or not."""

    data: bytes


def fingerprint(path: str) -> str:
    """The digest recorded for a material path: sha256 of the path text, so it is stable."""
    return hashlib.sha256(path.encode("utf-8")).hexdigest()


def account_identity(platform: str, account_file: str) -> str:
    """The bound identity recorded for an account by default."""
    digest = hashlib.sha256(f"{platform}\n{account_file}".encode("utf-8")).hexdigest()
    return f"sha256-v1:{digest}"


def _new_run_id() -> str:
    return str(uuid.uuid4())


# --- items and entries -------------------------------------------------------------------

@dataclass
class Item:
    """One post in a run's snapshot.

    ``accounts`` maps platform key -> account file path (or None); it becomes the
    snapshot's ``platforms`` object as ``"<key>_account"`` keys, and feeds the default
    accounts rows. ``extra`` is merged over the item's JSON last, to set odd fields or
    break existing ones (``extra={"title": 5}``).
    """

    content_type: str
    enabled_platforms: list
    title: Any = "旅行日记"
    desc: Any = ""
    tags: Any = field(default_factory=list)
    publish_time: Any = None
    video_file: Any = ""
    images: Any = field(default_factory=list)
    accounts: dict = field(default_factory=dict)
    extra: dict = field(default_factory=dict)

    @staticmethod
    def _accounts(platforms, overrides):
        accounts = {p: f"{ACCOUNT_DIR}/{p}.json" for p in platforms}
        accounts.update(overrides or {})
        return accounts

    @classmethod
    def video(cls, path="/home/demo/videos/旅行.mp4", platforms=("douyin",), *,
              accounts=None, **kw) -> "Item":
        """A video post; each platform gets ACCOUNT_DIR/<key>.json unless accounts says else."""
        platforms = list(platforms)
        return cls("video", platforms, video_file=path,
                   accounts=cls._accounts(platforms, accounts), **kw)

    @classmethod
    def note(cls, images=("/home/demo/pictures/西湖.jpg",), platforms=("xiaohongshu",), *,
             accounts=None, **kw) -> "Item":
        """An image post: no video file, at least one image."""
        platforms = list(platforms)
        return cls("note", platforms, video_file="", images=list(images),
                   accounts=cls._accounts(platforms, accounts), **kw)

    def materials(self) -> list:
        found = [self.video_file] if isinstance(self.video_file, str) and self.video_file else []
        if isinstance(self.images, (list, tuple)):
            found += [i for i in self.images if isinstance(i, str)]
        return found

    def to_json(self) -> dict:
        data = {
            "content_type": self.content_type,
            "enabled_platforms": list(self.enabled_platforms),
            "platforms": {f"{p}_account": a for p, a in self.accounts.items()},
            "title": self.title,
            "desc": self.desc,
            "tags": self.tags,
            "publish_time": self.publish_time,
            "video_file": self.video_file,
            "images": self.images,
        }
        data.update(self.extra)
        return data


_KEEP = object()


@dataclass(frozen=True)
class Entry:
    """One (item, platform) row. ``result`` dict/list is stored as JSON text, None as NULL,
    anything else (str, bytes, RawText, a number) as it is."""

    state: str
    result: Any = None
    retryable: Any = 0

    @staticmethod
    def outcome(success, message=None, error_code=None, result_url=None, result_id=None,
                safe_to_retry=None, action=None) -> dict:
        """A result object with every field present."""
        return {"success": success, "message": message, "error_code": error_code,
                "result_url": result_url, "result_id": result_id,
                "safe_to_retry": safe_to_retry, "action": action}

    @classmethod
    def success(cls, url=None, id=None, message="发布成功", **fields) -> "Entry":
        return cls("success", cls.outcome(True, message, result_url=url, result_id=id, **fields))

    @classmethod
    def failure(cls, code="PUBLISH_FAILED", message="发布失败", *, retry=False,
                safe_to_retry=_KEEP, action=None, **fields) -> "Entry":
        """A failed entry; retryable is 1 when retry, and safe_to_retry follows retry
        unless given."""
        if safe_to_retry is _KEEP:
            safe_to_retry = bool(retry)
        return cls("failed", cls.outcome(False, message, error_code=code,
                                         safe_to_retry=safe_to_retry, action=action,
                                         **fields),
                   1 if retry else 0)

    @classmethod
    def pending(cls) -> "Entry":
        return cls("pending")

    @classmethod
    def running(cls) -> "Entry":
        return cls("running")


@dataclass
class Run:
    """A run to write.

    entries: (item_index, platform) -> Entry. Pairs of an item's enabled platforms that are
      not given get ``Entry.success()``, so a test spells out only the entry it is about.
      Map a pair to None to leave its row out; pairs outside the items are written too,
      after the others.
    accounts: AUTO gives, for version 2, one row per distinct (platform, account_file) over
      the items' enabled platforms with a non-null account file, and none for other
      versions; or a list of (platform, account_file, identity) rows written as given.
    identities: (platform, account_file) -> identity (None = unbound) over the default
      ``account_identity``.
    snapshot, fingerprints: AUTO derives them from the items; anything else is stored
      (dict/list as JSON text).
    """

    items: list
    entries: dict = field(default_factory=dict)
    version: Any = 2
    run_id: Any = field(default_factory=_new_run_id)
    accounts: Any = AUTO
    identities: dict = field(default_factory=dict)
    snapshot: Any = AUTO
    fingerprints: Any = AUTO

    def snapshot_json(self) -> list:
        return [item.to_json() for item in self.items]

    def default_fingerprints(self) -> dict:
        return {path: fingerprint(path) for item in self.items for path in item.materials()}

    def entry_rows(self) -> list:
        """[(item_index, platform, Entry)] in write order."""
        given = dict(self.entries)
        rows = []
        for index, item in enumerate(self.items):
            for platform in item.enabled_platforms:
                entry = given.pop((index, platform), Entry.success())
                if entry is not None:
                    rows.append((index, platform, entry))
        rows += [(i, p, e) for (i, p), e in given.items() if e is not None]
        return rows

    def account_rows(self) -> list:
        """[(platform, account_file, identity)] in write order."""
        if self.accounts is not AUTO:
            return [tuple(row) for row in self.accounts]
        if self.version != 2:
            return []
        seen = {}
        for item in self.items:
            for platform in item.enabled_platforms:
                account_file = item.accounts.get(platform)
                if account_file is not None:
                    seen.setdefault((platform, account_file), None)
        return [(p, a, self.identities.get((p, a), account_identity(p, a))) for p, a in seen]


# --- writing -----------------------------------------------------------------------------

@contextlib.contextmanager
def _connect(path):
    con = sqlite3.connect(path)
    try:
        with con:  # commits, or rolls back on error
            yield con
    finally:
        con.close()


def _cell(value):
    if isinstance(value, (dict, list)):
        return json.dumps(value, ensure_ascii=False)
    return value


def _quote(name: str) -> str:
    return '"' + name.replace('"', '""') + '"'


def _insert(con, table: str, cells: dict) -> int:
    names, marks, values = [], [], []
    for name, value in cells.items():
        names.append(_quote(name))
        if isinstance(value, RawText):
            marks.append("CAST(? AS TEXT)")
            values.append(bytes(value.data))
        else:
            marks.append("?")
            values.append(_cell(value))
    sql = f"INSERT INTO {_quote(table)} ({', '.join(names)}) VALUES ({', '.join(marks)})"
    return con.execute(sql, values).lastrowid


def _create_tables(con, accounts: bool, extra: bool, declared=None, primary_keys=None,
                   indexes=()) -> None:
    declared = declared or {}
    primary_keys = primary_keys or {}
    for table, columns in COLUMNS.items():
        if table == "accounts" and not accounts:
            continue
        columns = columns + (EXTRA_COLUMNS[table] if extra else [])
        parts = [f"{c} {declared[f'{table}.{c}']}" if f"{table}.{c}" in declared else c
                 for c in columns]
        tail = ""
        if table in primary_keys:
            parts.append(f"PRIMARY KEY ({primary_keys[table]})")
            tail = " WITHOUT ROWID"
        con.execute(f"CREATE TABLE IF NOT EXISTS {table} ({', '.join(parts)}){tail}")
    for n, index in enumerate(indexes):
        con.execute(f"CREATE INDEX IF NOT EXISTS layout_index_{n} ON {index}")


def _has_table(con, table: str) -> bool:
    return con.execute("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?",
                       (table,)).fetchone() is not None


def _ensure_store(con) -> None:
    # A path with no runs table gets the default layout; an existing one is left as it is.
    if not _has_table(con, "runs"):
        _create_tables(con, accounts=True, extra=False)


def create_store(path, *, accounts: bool = True, extra: bool = False, declared=None,
                 primary_keys=None, indexes=()) -> None:
    """Create the tables (those missing); accounts=False leaves out the accounts table,
    extra=True adds EXTRA_COLUMNS.

    declared: {"table.column": "TEXT COLLATE NOCASE", ...}, written after the column name.
    primary_keys: {"table": "col, col DESC, ..."}: that table gets the key and WITHOUT ROWID.
    indexes: ["entries(run_id)", "accounts(platform, run_id)", ...], created after the tables.
    """
    with _connect(path) as con:
        _create_tables(con, accounts, extra, declared, primary_keys, indexes)


def _write_one(con, run: Run, accounts: bool) -> str:
    snapshot = run.snapshot_json() if run.snapshot is AUTO else run.snapshot
    fingerprints = run.default_fingerprints() if run.fingerprints is AUTO else run.fingerprints
    _insert(con, "runs", {"run_id": run.run_id, "version": run.version,
                          "snapshot": snapshot, "fingerprints": fingerprints})
    for index, platform, entry in run.entry_rows():
        _insert(con, "entries", {"run_id": run.run_id, "item_index": index,
                                 "platform": platform, "state": entry.state,
                                 "result": entry.result, "retryable": entry.retryable})
    if accounts:
        for platform, account_file, identity in run.account_rows():
            _insert(con, "accounts", {"run_id": run.run_id, "platform": platform,
                                      "account_file": account_file, "identity": identity})
    return run.run_id


def write_run(path, run: Run) -> str:
    """Append run with its entries and accounts rows; returns its run_id.

    Accounts rows are skipped when the store has no accounts table.
    """
    return write_runs(path, [run])[0]


def write_runs(path, runs) -> list:
    """Append the runs in order in one transaction; returns their run_ids."""
    with _connect(path) as con:
        _ensure_store(con)
        accounts = _has_table(con, "accounts")
        return [_write_one(con, run, accounts) for run in runs]


def _write_raw(path, table: str, cells: dict) -> int:
    with _connect(path) as con:
        _ensure_store(con)
        return _insert(con, table, cells)


def write_raw_run(path, **cells) -> int:
    """Insert one runs row with exactly these cells (others NULL); returns its rowid."""
    return _write_raw(path, "runs", cells)


def write_raw_entry(path, **cells) -> int:
    """Insert one entries row with exactly these cells; returns its rowid."""
    return _write_raw(path, "entries", cells)


def write_raw_account(path, **cells) -> int:
    """Insert one accounts row with exactly these cells; returns its rowid."""
    return _write_raw(path, "accounts", cells)


# --- demo --------------------------------------------------------------------------------

def demo_runs() -> list:
    """A few runs as a user's store might hold them, oldest first."""
    v = "/home/demo/videos"
    p = "/home/demo/pictures"
    return [
        Run(version=1, run_id="0b6f4a1e-2c3d-4e5f-8a9b-1c2d3e4f5a6b",
            items=[Item.video(f"{v}/春节回家.mp4", ["douyin", "kuaishou"],
                              title="春节回家的路", desc="一路向南", tags=["春节", "回家"])]),
        Run(run_id="5d1e8c72-9f0a-4b3c-8d2e-6f7a8b9c0d1e",
            items=[Item.video(f"{v}/旅行.mp4", ["bilibili", "douyin", "weibo"],
                              title="周末去杭州旅行", desc="西湖边走了一整天",
                              tags=["旅行", "杭州", "西湖"],
                              publish_time="2024-05-01T08:00:00+08:00")],
            entries={
                (0, "bilibili"): Entry.success("https://www.bilibili.com/video/BV1xx411c7mD",
                                               "BV1xx411c7mD"),
                (0, "douyin"): Entry.failure("LOGIN_EXPIRED", "抖音登录已过期", retry=True,
                                             action="重新登录抖音账号后重试"),
                (0, "weibo"): Entry.failure("CONTENT_REJECTED", "内容未通过审核",
                                            action="修改标题或简介后重新发布"),
            }),
        Run(run_id="9a8b7c6d-5e4f-4a3b-9c2d-1e0f9a8b7c6d",
            items=[Item.note([f"{p}/美食1.jpg", f"{p}/美食2.jpg"], ["xiaohongshu", "weibo"],
                             title="街角的小面馆", desc="一碗面的温度 #美食", tags=["美食"]),
                   Item.video(f"{v}/猫咪日常.mov", ["douyin", "tencent"],
                              title="猫咪的一天", accounts={"tencent": None})],
            entries={
                (0, "xiaohongshu"): Entry.success("not-a-url", 6523),
                (0, "weibo"): Entry.success("https://weibo.com/1234567890/NpQrStUvW", None),
                (1, "douyin"): Entry.running(),
            },
            identities={("weibo", f"{ACCOUNT_DIR}/weibo.json"): None}),
        Run(run_id="e3c1f2a4-7b6d-4c8e-a1f0-2b3c4d5e6f70",
            items=[Item.video(f"{v}/日落.mp4", ["bilibili", "baijiahao", "tk"],
                              title="海边日落延时摄影", tags=["日落", "延时"])],
            entries={(0, "bilibili"): Entry.pending(), (0, "baijiahao"): Entry.pending(),
                     (0, "tk"): Entry.pending()}),
    ]


def demo_store(path) -> list:
    """Write the demo runs into a new store at path; returns their run_ids.

    Refuses an existing file, so a demo never lands in someone's real history.
    """
    if os.path.lexists(path):
        raise FileExistsError(f"{path} already exists")
    create_store(path)
    return [write_run(path, run) for run in demo_runs()]


def main(argv=None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    if len(argv) != 1:
        print("usage: python -m publish.historystore PATH", file=sys.stderr)
        return 2
    try:
        demo_store(argv[0])
    except FileExistsError as exc:
        print(f"[kamo] {exc}", file=sys.stderr)
        return 1
    print(argv[0])
    return 0


if __name__ == "__main__":
    sys.exit(main())
