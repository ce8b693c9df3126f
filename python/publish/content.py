"""Reading post content from the files that sit next to the videos."""

import copy
import json
import os
import re
from pathlib import Path

from publish.constants import TITLE_LIMITS

VIDEO_EXTENSIONS = frozenset({".mp4", ".mov", ".mkv", ".webm", ".avi"})

_HASHTAG = re.compile(r"#([^\s#]+)")


def _is_empty(value) -> bool:
    # 0 and False are real values; only absent text and empty collections get filled.
    return value is None or (isinstance(value, (str, list, tuple, dict)) and not value)


def fill_empty_content(content: dict, defaults: dict) -> dict:
    """A new dict: content, with keys that are missing or empty taken from defaults."""
    filled = dict(content)
    for key, value in defaults.items():
        if _is_empty(filled.get(key)):
            filled[key] = copy.deepcopy(value)
    return filled


def _tags(value) -> list[str]:
    if value is None:
        return []
    if isinstance(value, str):
        value = re.split(r"[\s,，]+", value)
    return [str(t).strip().lstrip("#") for t in value if str(t).strip().lstrip("#")]


def get_video_content(path) -> dict:
    """Title, desc and tags for a video, from ``<stem>.json`` or else ``<stem>.txt`` beside it.

    The JSON form is an object with title/desc/tags (tags a list or a space- or
    comma-separated string). The text form is: first line the title, the rest the
    desc, and every ``#word`` in the desc a tag. No sidecar gives empty values.
    """
    video = Path(path)
    sidecar_json = video.with_suffix(".json")
    sidecar_txt = video.with_suffix(".txt")
    if sidecar_json.is_file():
        data = json.loads(sidecar_json.read_text(encoding="utf-8"))
        if not isinstance(data, dict):
            raise ValueError(f"{sidecar_json}: expected a JSON object")
        return {
            "title": str(data.get("title") or ""),
            "desc": str(data.get("desc") or ""),
            "tags": _tags(data.get("tags")),
        }
    if sidecar_txt.is_file():
        title, _, desc = sidecar_txt.read_text(encoding="utf-8").partition("\n")
        desc = desc.strip()
        return {"title": title.strip(), "desc": desc, "tags": _HASHTAG.findall(desc)}
    return {"title": "", "desc": "", "tags": []}


def get_video_files(folder) -> list[Path]:
    """Video files directly in folder, sorted by name; a missing folder is an error."""
    return sorted(
        p for p in Path(folder).iterdir()
        if p.is_file() and p.suffix.lower() in VIDEO_EXTENSIONS
    )


def load_content_templates(path) -> dict:
    """The JSON object in path, or {} when the file does not exist."""
    try:
        text = Path(path).read_text(encoding="utf-8")
    except FileNotFoundError:
        return {}
    data = json.loads(text)
    if not isinstance(data, dict):
        raise ValueError(f"{path}: expected a JSON object")
    return data


def resolve_path(value, base=None) -> str:
    """value with ~ expanded, made absolute against base (or the cwd); it need not exist."""
    expanded = os.path.expanduser(os.fspath(value))
    if base is not None and not os.path.isabs(expanded):
        expanded = os.path.join(os.path.expanduser(os.fspath(base)), expanded)
    return os.path.abspath(expanded)


def truncate_title(title: str, platform: str) -> str:
    """title cut to the platform's limit; titles for unknown platforms pass unchanged."""
    limit = TITLE_LIMITS.get(platform)
    return title if limit is None else title[:limit]
