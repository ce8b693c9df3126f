"""Publish journal errors without importing the publishing runtime."""

class HistoryError(Exception):
    """An actionable failure that must stop another submission."""

    code: str
    message: str
    action: str
    def __init__(self, code: str, message: str, action: str) -> None: ...
