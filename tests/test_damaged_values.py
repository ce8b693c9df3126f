"""Any stored value gives a record or a HistoryError: never another exception, never a crash.

Hypothesis draws the damage as values: runs, entries and accounts written cell by cell through the
raw writers, read in this process. test_damaged_files.py instead damages whole stores the writer
made (rows, schema, file bytes, journals) and reads them in worker processes."""

import json
import os
import tempfile

from hypothesis import HealthCheck, event, given, settings, strategies as st

from publish.historystore import RawText, fingerprint
from stores import IDENTITY, HistoryError, HistoryReader, create_store, write_raw_account, write_raw_entry, write_raw_run

RUN_ID = "123e4567-e89b-42d3-a456-426614174000"
PLATFORMS = ["douyin", "bilibili", "tk", "xiaohongshu"]
LINKS = ["https://www.bilibili.com/video/BV1xx411c7mD", "https://www.douyin.com/video/7", "", None, "x"]

json_values = st.recursive(
    st.none() | st.booleans() | st.integers(-2 ** 70, 2 ** 70) | st.floats(allow_nan=False) | st.text(max_size=20),
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=12), inner, max_size=4),
    max_leaves=8)
cells = (st.none() | st.integers(-2 ** 63, 2 ** 63 - 1) | st.floats() | st.text(max_size=40)
         | st.binary(max_size=40) | st.builds(RawText, st.binary(max_size=20))
         | json_values.map(lambda v: json.dumps(v, ensure_ascii=False)))


@st.composite
def valid_runs(draw):
    """A well-formed run: items, one entry per enabled platform, accounts for version 2."""
    items, entries, accounts = [], [], {}
    version = draw(st.sampled_from([1, 2]))
    for i in range(draw(st.integers(1, 3))):
        enabled = draw(st.lists(st.sampled_from(PLATFORMS), min_size=1, max_size=3, unique=True))
        note = draw(st.booleans())
        item = {"content_type": "note" if note else "video", "enabled_platforms": enabled,
                "platforms": {f"{p}_account": f"/acct/{p}.json" for p in enabled},
                "title": draw(st.text(max_size=10)), "tags": draw(st.lists(st.text(max_size=5), max_size=2)),
                "publish_time": draw(st.sampled_from([None, "2025-01-31", "2025-01-31T20:00:00+08:00"])),
                "video_file": "" if note else f"/v/{i}.mp4", "images": [f"/p/{i}.jpg"] if note else []}
        items.append(item)
        for p in enabled:
            state = draw(st.sampled_from(["pending", "running", "success", "failed"]))
            retry = int(state == "failed" and draw(st.booleans()))
            result = None
            if state in ("success", "failed"):
                result = json.dumps({"success": state == "success", "message": draw(st.text(max_size=8)),
                                     "result_url": draw(st.sampled_from(LINKS)),
                                     "result_id": draw(st.sampled_from([None, "id", 7, 2 ** 70]))})
            entries.append({"run_id": RUN_ID, "item_index": i, "platform": p, "state": state, "result": result,
                            "retryable": retry})
            accounts[(p, f"/acct/{p}.json")] = draw(st.sampled_from([IDENTITY, None]))
    prints = {path: fingerprint(path) for it in items for path in ([it["video_file"]] if it["video_file"] else [])
              + it["images"]}
    run = {"run_id": RUN_ID, "version": version, "snapshot": json.dumps(items), "fingerprints": json.dumps(prints)}
    account_rows = [{"run_id": RUN_ID, "platform": p, "account_file": f, "identity": ident}
                    for (p, f), ident in accounts.items()] if version == 2 else []
    return run, entries, account_rows


@st.composite
def damaged_runs(draw):
    run, entries, accounts = draw(valid_runs())
    for _ in range(draw(st.integers(0, 3))):
        kind = draw(st.sampled_from(["run", "entry", "drop", "copy", "account", "item"]))
        if kind == "run":
            run[draw(st.sampled_from(list(run)))] = draw(cells)
        elif kind == "entry" and entries:
            entry = draw(st.sampled_from(entries))
            entry[draw(st.sampled_from(list(entry)))] = draw(cells | st.sampled_from([0, 1, 2, -1, "success"]))
        elif kind == "drop" and entries:
            entries.remove(draw(st.sampled_from(entries)))
        elif kind == "copy" and entries:
            entries.append(dict(draw(st.sampled_from(entries))))
        elif kind == "account":
            accounts.append({"run_id": RUN_ID, "platform": draw(st.sampled_from(PLATFORMS + [None])),
                             "account_file": draw(st.sampled_from(["/acct/douyin.json", None, 1])),
                             "identity": draw(cells)})
        elif kind == "item" and isinstance(run["snapshot"], str):
            try:
                items = json.loads(run["snapshot"])
                items[draw(st.integers(0, len(items) - 1))][draw(st.sampled_from(
                    ["content_type", "enabled_platforms", "platforms", "title", "tags", "publish_time",
                     "video_file", "images"]))] = draw(json_values)
                run["snapshot"] = json.dumps(items)
            except (ValueError, TypeError, IndexError, KeyError):
                pass
    return run, entries, accounts


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(damaged_runs())
def test_any_stored_values_give_a_record_or_a_history_error(stored):
    run, entries, accounts = stored
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "history.sqlite3")
        create_store(path)
        write_raw_run(path, **run)
        for e in entries:
            write_raw_entry(path, **e)
        for a in accounts:
            write_raw_account(path, **a)
        before = open(path, "rb").read()
        reader = HistoryReader(path)
        outcomes = []
        for query in (lambda: reader.list_runs(200), lambda: reader.get_run(RUN_ID)):
            try:
                record = query()
            except HistoryError as err:
                assert err.code in ("RUN-003", "RUN-005")
                outcomes.append(err.message)
            else:
                json.dumps(record)  # plain data all the way down
                outcomes.append("record")
        event(outcomes[1])
        # Both queries project the same run in full: they succeed or fail together, alike.
        if outcomes[1] not in ("未找到发布记录", "run_id 格式无效"):
            assert outcomes[0] == outcomes[1]
        assert open(path, "rb").read() == before
        assert sorted(os.listdir(tmp)) == ["history.sqlite3"]
