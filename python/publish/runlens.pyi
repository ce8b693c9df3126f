"""Read-only projections of stored publish decisions, never a resume permit."""

from _typeshed import StrOrBytesPath

from publish.constants import PLATFORM_NAMES as PLATFORM_NAMES
from publish.records import RunList, RunProjection
from publish.runfault import HistoryError as HistoryError

# The constant tables every record copies from, in record order.
_STATES: tuple[str, str, str, str]
_RESUME: tuple[str, str, str, str]
_RESULT_FIELDS: tuple[str, str, str, str, str, str, str]
_RESUME_CHECKS: tuple[str, str, str]
_EVIDENCE_CHECKS: tuple[str, str, str, str]

class HistoryReader:
    """Read the existing database in one snapshot without creating or upgrading it."""

    def __init__(self, path: StrOrBytesPath | None = None) -> None:
        """``path`` defaults to ~/.kamo/publish-history.sqlite3."""
    @property
    def path(self) -> StrOrBytesPath: ...
    def list_runs(self, limit: int = 20, before: str | None = None) -> RunList:
        """The newest runs first, at most ``limit`` (1 to 200); with ``before``, a run id, the
        runs stored before that run instead, to page back; raises HistoryError."""
    def get_run(self, run_id: str) -> RunProjection:
        """One run in full, by its lower-case UUID; raises HistoryError."""
