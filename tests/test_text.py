"""_text: one inert line for any record value."""
import json
import re
import unicodedata

import pytest
from hypothesis import given, strategies as st

from oracles import HIDDEN, text_model
from publish.runprint import _text

BS = "\\"


@pytest.mark.parametrize(
    "value, expected",
    [
        ("旅行 vlog", "旅行 vlog"),
        ("第一行\n第二行", "第一行" + BS + "n第二行"),
        ('say "hi"', "say " + BS + '"hi' + BS + '"'),
        ("C:" + BS + "tmp", "C:" + BS + BS + "tmp"),
        ("a\tb", "a" + BS + "tb"),
        ("\x1b[31m", BS + "u001b[31m"),
        ("abc\u202edef", "abc" + BS + "u202edef"),
        ("x\u2028y", "x" + BS + "u2028y"),
        ("\u2029", BS + "u2029"),
        ("\u00ad", BS + "u00ad"),
        ("\x7f", BS + "u007f"),
        ("\x85", BS + "u0085"),
        ("\U000e0001", BS + "ue0001"),
        ("\U000e007f", BS + "ue007f"),
        ("👩\u200d💻", "👩" + BS + "u200d💻"),
        ("\ufeff", BS + "ufeff"),
        ("\u061c\u180e\u2066", BS + "u061c" + BS + "u180e" + BS + "u2066"),
        # Spaces, marks, private use and unassigned code points pass as they are.
        (" \u00a0\u3000 ❤\ufe0f\ue000\U000f0000\u0378 ", " \u00a0\u3000 ❤\ufe0f\ue000\U000f0000\u0378 "),
        ("", ""),
        ('"', BS + '"'),
        ("\x00\x08\x0c\r\x1f", BS + "u0000" + BS + "b" + BS + "f" + BS + "r" + BS + "u001f"),
        # Long ASCII runs around a DEL exercise the word-at-a-time skip.
        ("a" * 17 + "\x7f" + "b" * 9, "a" * 17 + BS + "u007f" + "b" * 9),
        ("\ud800", "\ud800"),
        (None, "null"),
        (42, "42"),
        (-7, "-7"),
        (True, "true"),
        (False, "false"),
        (["美食", "旅行"], '["美食", "旅行"]'),
        (("美食", 1), '["美食", 1]'),
        ([], "[]"),
        ({"a": 1}, '{"a": 1}'),
        ({"z": [None, "\u202e\n"], "a": {}}, '{"z": [null, "' + BS + "u202e" + BS + 'n"], "a": {}}'),
        (1.5, "1.5"),
        (1e16, "1e+16"),
    ],
)
def test_escapes(value, expected):
    assert _text(value) == expected


def test_by_name():
    assert _text(value="\u2028") == BS + "u2028"


@pytest.mark.parametrize("value, expected", [("plain", "plain"), ("a\u200bb", "a" + BS + "u200bb")])
def test_str_subclass_gives_a_plain_str(value, expected):
    class Title(str):
        pass

    result = _text(Title(value))
    assert type(result) is str and result == expected


def escape_length(result, i):
    """Digits of the hidden-character escape at result[i]; 0 when it is the JSON encoder's own \\u00XX."""
    for n in (4, 5, 6):
        digits = result[i + 2 : i + 2 + n]
        if len(digits) < n or not re.fullmatch("[0-9a-f]+", digits) or f"{int(digits, 16):04x}" != digits:
            continue
        cp = int(digits, 16)
        if cp < 0x20:
            return 0
        if cp <= 0x10FFFF and unicodedata.category(chr(cp)) in HIDDEN:
            return n
    raise AssertionError(f"stray escape at {i}: {result!r}")


def undo(result):
    """Turns the hidden-character escapes back into their characters; JSON escapes stay for json.loads.
    Input backslashes always come doubled, so a single one starts an escape."""
    out, i = [], 0
    while i < len(result):
        if result.startswith(BS + "u", i) and (n := escape_length(result, i)):
            out.append(chr(int(result[i + 2 : i + 2 + n], 16)))
            i += 2 + n
        elif result[i] == BS:
            out.append(result[i : i + 2])
            i += 2
        else:
            out.append(result[i])
            i += 1
    return "".join(out)


values = st.recursive(
    st.none() | st.booleans() | st.integers(-(2**63), 2**63 - 1) | st.floats() | st.text(),
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=6), inner, max_size=4),
    max_leaves=12,
)


@given(values)
def test_never_shows_hidden_characters(value):
    assert not any(unicodedata.category(c) in HIDDEN for c in _text(value))


@given(st.text())
def test_string_round_trips(value):
    result = _text(value)
    assert json.loads('"' + undo(result) + '"') == value


# Unassigned code points included: the categories are the running interpreter's own.
any_text = st.text(st.characters(blacklist_categories=("Cs",)))
any_values = st.recursive(
    st.none() | st.booleans() | st.integers(-(2**63), 2**63 - 1) | st.floats() | any_text,
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(any_text, inner, max_size=4),
    max_leaves=12,
)


@given(any_text)
def test_string_is_json_body_escaped(value):
    assert _text(value) == text_model(value)


@given(any_values.filter(lambda v: not isinstance(v, str)))
def test_other_values_are_json_escaped(value):
    assert _text(value) == text_model(value)


@pytest.mark.parametrize("value", [2**64, -(2**70), [10**30]])
def test_big_integers(value):
    assert _text(value) == json.dumps(value)
