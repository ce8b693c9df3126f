"""Shapes of the history records and of the JSON outcome document, for type checkers.

The native modules build these as plain dicts with exactly these keys, in this order;
nothing here is used at run time by them. Import the names to annotate code that reads
``HistoryReader`` results or a parsed outcome document::

    from publish.records import RunProjection

The same shapes, as JSON, are published in ``publish/schema/outcome-v1.json``.
"""

from typing import Literal, NotRequired, TypedDict

__all__ = [
    "EntryState", "ResumeStatus", "IdentityStatus", "Attribution", "Submission",
    "StateCounts", "ResumeCounts", "StoredResult", "ResumeDecision", "PublishEvidence",
    "PlatformProjection", "ItemProjection", "RunProjection", "RunSummary", "RunList",
    "PlanItem", "ResultEntry", "ErrorEntry", "Summary", "OutcomeDocument",
]

EntryState = Literal["pending", "running", "success", "failed"]
ResumeStatus = Literal["reuse_success", "requires_checks", "blocked_unknown", "blocked_identity"]
IdentityStatus = Literal["legacy", "bound", "unbound", "not_recorded", "invalid"]
Attribution = Literal["recorded_link", "missing_link", "invalid_link", "not_confirmed"]
Submission = Literal["recorded_success", "not_started", "not_confirmed"]


# --- history records (HistoryReader.list_runs / get_run) ----------------------------------

class StateCounts(TypedDict):
    """Platform entries of a run by state; all four keys, zeros included."""

    pending: int
    running: int
    success: int
    failed: int


class ResumeCounts(TypedDict):
    """Platform entries of a run by resume status; all four keys, zeros included."""

    reuse_success: int
    requires_checks: int
    blocked_unknown: int
    blocked_identity: int


class StoredResult(TypedDict):
    """A platform's stored outcome; every field present, null when it was not stored."""

    success: bool
    message: str | None
    error_code: str | None
    result_url: str | None  # only a link of the platform's work-page shape survives
    result_id: str | int | None
    safe_to_retry: bool | None
    action: str | None


class ResumeDecision(TypedDict):
    """What a later --resume would do with one entry; never a permit to resume."""

    status: ResumeStatus
    error_code: Literal["RUN-004", "RUN-006"] | None
    action: str
    checks: list[str]


class PublishEvidence(TypedDict):
    """What the local history can and cannot show about one entry."""

    source: Literal["local_history"]
    submission: Submission
    attribution: Attribution
    public_access: Literal["not_checked"]
    checks: list[str]


class PlatformProjection(TypedDict):
    platform: str
    state: EntryState
    account_file: str | None
    identity_status: IdentityStatus
    result: StoredResult | None  # None for pending and running entries
    resume: ResumeDecision
    evidence: PublishEvidence


class ItemProjection(TypedDict):
    item_index: int
    content_type: Literal["video", "note"]
    material: str | list[str]  # the video file, or the note's images
    title: str
    desc: str
    tags: list[str]
    publish_time: str | None
    material_fingerprints: dict[str, str]
    platforms: list[PlatformProjection]


class RunProjection(TypedDict):
    """One run in full: what HistoryReader.get_run returns."""

    database_present: Literal[True]
    run_id: str
    version: int
    created_at: None
    items: list[ItemProjection]
    states: StateCounts
    resume: ResumeCounts


class RunSummary(TypedDict):
    run_id: str
    version: int
    created_at: None
    title: str
    item_count: int
    entry_count: int
    states: StateCounts
    resume: ResumeCounts


class RunList(TypedDict):
    """The newest runs first, or those before a run: what HistoryReader.list_runs returns."""

    database_present: bool
    total: int  # every run in the store, on a page as well
    limit: int
    order: Literal["insertion_desc"]
    runs: list[RunSummary]


# --- the outcome document (publish.output) -------------------------------------------------

class PlanItem(TypedDict):
    material: str | list[str] | None
    content_type: str
    title: str
    platforms: list[str]
    publish_time: str | None
    convert_to_video: bool


class ResultEntry(TypedDict):
    material: str | list[str] | None
    content_type: str | None
    platform: str
    success: bool
    message: str | None
    error_code: str | None
    result_url: str | None
    result_id: str | int | None
    safe_to_retry: bool
    reused: bool
    action: str | None


class ErrorEntry(TypedDict):
    error_code: str
    message: str
    action: str


class Summary(TypedDict):
    success: int
    failed: int


class OutcomeDocument(TypedDict):
    """The one JSON line ``run_with_json`` writes; "history" only in the two history modes."""

    schema_version: Literal[1]
    mode: str
    run_id: str | None
    planned: list[PlanItem]
    exit_code: int
    summary: Summary
    results: list[ResultEntry]
    errors: list[ErrorEntry]
    history: NotRequired[RunList | RunProjection | None]
