"""The one error every browser-driving entry point of this stand-in raises."""

from typing import NoReturn


class RuntimeUnavailable(RuntimeError):
    """Raised where the full kamo runtime would drive a browser or touch the network."""


def raise_unavailable(what: str) -> NoReturn:
    raise RuntimeUnavailable(
        f"{what} is done by the full kamo runtime, not by this package"
    )
