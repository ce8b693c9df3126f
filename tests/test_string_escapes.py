"""One escape rule behind every JSON string of the project, checked where a word-at-a-time scan
could disagree with it: each byte value, and a few wider characters, at each position of two
words, in each layout of a Python str. The core encoder, the document writer and the text listing
escape it as json.dumps does; the decoder ends a plain run where json.loads ends one.
"""

import contextlib
import io
import json
import unicodedata

import pytest

from publish import runlens
from publish.output import record_history, run_with_json
from publish.runfault import HistoryError
from publish.runprint import _text

HIDDEN = {"Cc", "Cf", "Zl", "Zp"}
CHARS = [chr(c) for c in range(0x100)] + ["\u07ff", "\u0800", "\u2028", "\ufeff", "\uffff", "\U0001f600"]
# A character after the run sets the str's width: ASCII or Latin-1, UCS-2, UCS-4.
LAYOUTS = {"narrow": "", "ucs2": "中", "ucs4": "😀"}
WORD = 16  # two words of bytes; four of 16-bit units


def strings(layout):
    """c at every position of a plain run of WORD characters, then the layout's character."""
    wide = LAYOUTS[layout]
    return ["a" * at + c + "b" * (WORD - at) + wide for c in CHARS for at in range(WORD + 1)]


def shown(value):
    """What _text gives, from json.dumps and unicodedata."""
    text = json.dumps(value, ensure_ascii=False)
    if isinstance(value, str):
        text = text[1:-1]
    return "".join(f"\\u{ord(c):04x}" if unicodedata.category(c) in HIDDEN else c for c in text)


def written(value):
    """The line run_with_json prints for a history_list document holding value."""
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        assert run_with_json(lambda: record_history(value, "history_list") or 0) == 0
    return out.getvalue()


def loads(text):
    """Strict json.loads, or None where it refuses."""
    try:
        return json.loads(text)
    except ValueError:
        return None


def decoded(data):
    """_json(data), or None where it refuses with RUN-003."""
    try:
        return runlens._json(data)
    except HistoryError as err:
        assert err.code == "RUN-003" and type(err.__cause__) is ValueError
        return None


@pytest.mark.parametrize("layout", LAYOUTS)
def test_core_encoder_escapes_as_json_dumps(layout):
    values = strings(layout)
    assert runlens._dumps(values) == json.dumps(values, ensure_ascii=False)


@pytest.mark.parametrize("layout", LAYOUTS)
def test_document_writer_escapes_as_json_dumps(layout):
    values = strings(layout)
    line = written(values)
    assert json.loads(line)["history"] == values
    assert line.endswith(", \"history\": " + json.dumps(values, ensure_ascii=False) + "}\n")


@pytest.mark.parametrize("layout", LAYOUTS)
def test_text_listing_escapes_string_bodies_as_json_dumps(layout):
    values = strings(layout)
    assert [_text(s) for s in values] == [shown(s) for s in values]
    assert _text(values) == shown(values)


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("form", ["raw", "escaped", "ascii"])
def test_decoder_ends_plain_runs_where_json_loads_does(layout, form):
    """Raw: the character unescaped inside the string, where a control is refused and a quote or a
    backslash changes what follows. UTF-8 text is checked as it is read, UTF-16 is not."""
    for s in strings(layout):
        text = {"raw": '"' + s + '"', "escaped": json.dumps(s, ensure_ascii=False), "ascii": json.dumps(s)}[form]
        expected = loads(text)
        for data in text, text.encode(), text.encode("utf-16"):
            assert decoded(data) == expected, (s, data)
