"""Collect machine-readable outcomes without parsing human-readable logs."""

from collections.abc import Callable, Collection, Iterable, Mapping
from typing import Any, ClassVar

from publish.records import (
    ErrorEntry,
    OutcomeDocument,
    PlanItem,
    ResultEntry,
    RunList,
    RunProjection,
)

class JsonReport:
    """The machine-readable outcomes of one command; each report has lists and a map of its own."""

    results: list[ResultEntry]
    errors: list[ErrorEntry]
    mode: str
    run_id: str | None
    planned: list[PlanItem]
    result_positions: dict[int, int]  # id(entry) -> output position
    next_position: int
    history: RunList | RunProjection | None
    __match_args__: ClassVar[tuple[str, ...]]
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __init__(
        self,
        results: list[ResultEntry] = ...,
        errors: list[ErrorEntry] = ...,
        mode: str = "publish",
        run_id: str | None = None,
        planned: list[PlanItem] = ...,
        result_positions: dict[int, int] = ...,
        next_position: int = 0,
        history: RunList | RunProjection | None = None,
    ) -> None: ...
    def __eq__(self, other: object) -> bool: ...
    def document(self, exit_code: int) -> OutcomeDocument:
        """The outcome document, results in reserved order; the report is left unchanged."""

def register_result_order(platforms: Collection[str]) -> dict[str, int]:
    """Reserve output positions before tasks start; completed results stay immediate."""

def record_plan(items: Iterable[Mapping[str, Any]]) -> None:
    """Record what a dry run would publish, replacing any earlier plan."""

def record_run(run_id: str, mode: str) -> None:
    """Record the run the command works on, and its mode."""

def record_history(history: RunList | RunProjection | None, mode: str, run_id: str | None = None) -> None:
    """Record the history view a history command shows."""

def record_error(code: str, message: str, action: str) -> None:
    """Record a command-level error for the user."""

def record_result(params: Mapping[str, Any], platform: str, result: Mapping[str, Any]) -> None:
    """Record one platform's outcome the moment it completes, at its reserved position."""

def run_with_json(command: Callable[[], int]) -> int:
    """Run ``command`` with its output on stderr, then write the outcome document on stdout.

    Returns the exit status, also written as the document's "exit_code".
    """
