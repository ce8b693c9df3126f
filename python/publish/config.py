"""Command-line overrides for the content of a publish run."""

from dataclasses import dataclass, fields


@dataclass
class PublishOverrides:
    """Values given on the command line; None means "not given, keep the content's own"."""

    title: str | None = None
    desc: str | None = None
    tags: list[str] | None = None
    publish_time: str | None = None
    platforms: list[str] | None = None


def default_params_from_overrides(overrides: PublishOverrides | None) -> dict:
    """The overrides that were given, as a dict; an empty list or string counts as given."""
    if overrides is None:
        return {}
    return {
        f.name: getattr(overrides, f.name)
        for f in fields(overrides)
        if getattr(overrides, f.name) is not None
    }
