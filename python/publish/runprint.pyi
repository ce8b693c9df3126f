"""History as plain text, every control, format and line-separator character escaped."""

from publish.constants import PLATFORM_NAMES as PLATFORM_NAMES
from publish.records import RunList, RunProjection

def print_history(history: RunList | RunProjection, mode: str | None) -> None:
    """Write ``history`` to sys.stdout: the run list when ``mode`` is "history_list", else one run."""
