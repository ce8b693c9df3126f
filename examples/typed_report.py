"""A typed script over the history layer: the newest run's stored outcomes as an outcome document.

    python examples/typed_report.py [STORE]

Writes one JSON line on stdout (mode "history_detail", the run under "history", each stored
platform outcome as a result) and a short account on stderr. It is also what the test suite
checks with ``mypy --strict``, so it shows the types the stubs give.
"""

import sys

from publish.output import (record_error, record_history, record_result, register_result_order,
                            run_with_json)
from publish.records import PlatformProjection, RunProjection
from publish.runfault import HistoryError
from publish.runlens import HistoryReader


def blocked(run: RunProjection) -> list[PlatformProjection]:
    """The entries a resume would refuse to touch (RUN-004 or RUN-006)."""
    return [entry for item in run["items"] for entry in item["platforms"]
            if entry["resume"]["error_code"] is not None]


def newest_run(path: str | None) -> int:
    reader = HistoryReader(path)
    try:
        listing = reader.list_runs(limit=1)
        if not listing["runs"]:
            print("no runs yet")
            return 0
        run = reader.get_run(listing["runs"][0]["run_id"])
    except HistoryError as err:
        record_error(err.code, err.message, err.action)
        return 2
    record_history(run, "history_detail", run["run_id"])
    for item in run["items"]:
        params: dict[str, object] = {
            "content_type": item["content_type"],
            "_result_order": register_result_order([entry["platform"] for entry in item["platforms"]]),
        }
        if isinstance(item["material"], str):
            params["video_file"] = item["material"]
        else:
            params["images"] = item["material"]
        for entry in item["platforms"]:
            if entry["result"] is not None:
                record_result(params, entry["platform"], entry["result"])
    # Printed text goes to stderr while run_with_json runs: stdout is kept for the document.
    for entry in blocked(run):
        print(f"{entry['platform']}: {entry['resume']['error_code']} {entry['resume']['action']}")
    return 0


def main() -> int:
    path = sys.argv[1] if len(sys.argv) > 1 else None
    return run_with_json(lambda: newest_run(path))


if __name__ == "__main__":
    sys.exit(main())
