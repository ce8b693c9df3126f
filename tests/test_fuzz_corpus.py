"""Every input kept in the fuzz corpus (seeds and the inputs of past findings), replayed through the
Python modules and checked against the standard library where it has the same rule."""

import json
import re
from pathlib import Path

import pytest

from oracles import (MAX_DEPTH, REFUSED, agrees, iso_oracle, json_oracle, link_model, refusal, split_oracle,
                     text_model)
from publish.constants import PLATFORM_NAMES
from publish.runlens import HistoryError, HistoryReader, _iso_datetime_error, _split_url, _valid_link
from publish.runprint import _text, print_history

FUZZ = Path(__file__).resolve().parent.parent / "fuzz"
CORPUS = FUZZ / "corpus"
# The order fuzz/links.cpp picks a platform in, by the first byte: every platform, then one that
# has no link rule.
PLATFORMS = [*PLATFORM_NAMES, "youtube"]
RUN_ID = "5d1e8c72-9f0a-4b3c-8d2e-6f7a8b9c0d1e"  # the run fuzz/store.cpp asks for


def test_platform_order_is_the_fuzz_target_s():
    source = (FUZZ / "links.cpp").read_text()
    listed = re.search(r"kPlatforms\[\] = \{([^}]*)\}", source)
    assert listed and re.findall(r'"([^"]*)"', listed[1]) == PLATFORMS


def inputs(target):
    files = sorted((CORPUS / target).iterdir())
    assert files, f"no corpus for {target}"
    return pytest.mark.parametrize("data", [f.read_bytes() for f in files], ids=[f.name for f in files])


def utf8(data):
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError:
        return None


def too_deep(form):
    """Whether form is JSON nested past the decoder's limit (checked without recursion)."""
    try:
        value = json.loads(form)
    except (ValueError, RecursionError):
        return False
    containers, nesting = [value], 0
    while containers := [v for v in containers if isinstance(v, (list, dict))]:
        nesting += 1
        if nesting > MAX_DEPTH:
            return True
        containers = [c for v in containers for c in (v.values() if isinstance(v, dict) else v)]
    return False


@inputs("json")
def test_json(data):
    for form in (data, utf8(data)):
        if form is None:
            continue
        if too_deep(form):
            assert type(refusal(form)) is ValueError
        else:
            agrees(form)


@inputs("isodate")
def test_isodate(data):
    text = utf8(data)
    if text is not None:
        assert _iso_datetime_error(text) == iso_oracle(text)


@inputs("links")
def test_links(data):
    platform, text = PLATFORMS[data[0] % len(PLATFORMS)], utf8(data[1:])
    if text is None:
        return
    assert _valid_link(platform, text) == link_model(platform, text)
    # The splitter is made for text the character screen lets through.
    if text and not any(c < " " or c == "\x7f" or c.isspace() for c in text):
        assert _split_url(text) == split_oracle(text)


def as_str(data):
    """The fuzz target's reading of a text input as a str, or None for bytes it takes as UTF-8."""
    mode, rest = data[0] % 5, data[1:]
    if mode == 0:
        return utf8(rest)
    if mode == 1:
        return rest.decode("latin-1")
    if mode == 2:
        return rest[:len(rest) // 2 * 2].decode("utf-16-le", "surrogatepass")
    if mode == 3:
        units = [int.from_bytes(rest[i:i + 4], "little") for i in range(0, len(rest) // 4 * 4, 4)]
        return "".join(chr(u % 0x110000 if u > 0x10FFFF else u) for u in units)
    return None


@inputs("text")
def test_text(data):
    if data[0] % 5 != 4:
        text = as_str(data)
        if text is not None:
            assert _text(text) == text_model(text)
        return
    value = json_oracle(data[1:])
    if value is REFUSED:
        return
    assert _text(value) == text_model(value)
    for mode in ("history_list", "history_detail"):
        try:
            print_history(value, mode)
        except (KeyError, TypeError):  # a value that is no record of that layout
            pass


@inputs("store")
def test_store(data, tmp_path, unchanged):
    path = tmp_path / "history.sqlite3"
    path.write_bytes(data)
    reader = HistoryReader(path)
    with unchanged(tmp_path):
        for query in (lambda: reader.list_runs(200), lambda: reader.get_run(RUN_ID)):
            try:
                json.dumps(query())
            except HistoryError as err:
                assert err.code in ("RUN-003", "RUN-005")
