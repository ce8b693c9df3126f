"""publish_time rule: accepted exactly where datetime.fromisoformat (CPython's C parser) accepts,
with the messages of the release the module runs on."""
import datetime
import re
import sys

import pytest
from hypothesis import given, seed, settings
from hypothesis import strategies as st

from oracles import iso_oracle
from publish.runlens import _iso_datetime_error


def bad(text):
    return f"Invalid isoformat string: {text!r}"


OFFSET_24H = (
    "offset must be a timedelta strictly between -timedelta(hours=24) and timedelta(hours=24), "
    "not datetime.timedelta(days=1)."
)

CASES = [
    # the usual shapes
    ("2025-01-31", None),
    ("2025-01-31T20:00:00", None),
    ("2025-01-31 20:00:00+08:00", None),
    ("2025-01-31T12:00:00Z", None),
    ("20250131T200000", None),
    ("20250131T2000", None),
    ("20250131T20", None),
    ("2025-W05-5", None),
    ("2025W055", None),
    ("2025-W05", None),
    ("2025W05", None),
    ("2020-W53-7", None),
    ("2024-02-29", None),
    ("2000-02-29", None),
    ("0001-01-01", None),
    ("9999-12-31T23:59:59.999999", None),
    ("0001-W01-1", None),
    ("9999-W52-5", None),
    # fractions, offsets
    ("2025-01-31T20:00:00.123456789", None),
    ("2025-01-31T20:00:00,5", None),
    ("2025-01-31T20.5", None),
    ("2025-01-31T20:00+05:30:15.25", None),
    ("2025-01-31T20:00:00+0800", None),
    ("2025-01-31T20:00:00+08", None),
    ("2025-01-31T20:00-23:59:59.999999", None),
    ("2025-01-31T20:00-00:00:00.5", None),
    # any one character separates date and time
    ("2025-01-31é20:00", None),
    ("2025-01-31中20:00", None),
    ("2025-01-31😀20:00", None),
    ("2025-01-31x20:00", None),
    ("2025-01-31\x0020:00", None),
    ("2025-01-3112000", None),
    # a digit after YYYY-Www- is read as the time, an odd digit run after YYYYWww as a weekday
    ("2025-W05-1230", None),
    ("2025W0551230", None),
    ("2025W05512300", None),
    # C parser leniencies
    ("2025-01-31T20\x00", None),
    ("2025-01-31T20:00Z\x00junk", None),
    ("2025-01-31T20:00:00.123456\x00abc", None),
    ("2025-01-31T20x+01:00", None),
    ("2025-01-31T20:+01:00", None),
    ("2025-01-31T20:00:00.+01:00", None),
    ("2025-01-31T20:00:00:123", None),
    ("2025-01-31T20000012", None),
    ("2025-01-31T20:00+01:00.5", None),
    # refused shapes
    ("2025-01", "Invalid isoformat string: '2025-01'"),
    ("2025-031", bad("2025-031")),
    ("2025031", bad("2025031")),
    ("+2025-01-31", bad("+2025-01-31")),
    ("-2025-01-31", bad("-2025-01-31")),
    ("12025-01-31", bad("12025-01-31")),
    ("2025-1-31", bad("2025-1-31")),
    ("2025-0131", bad("2025-0131")),
    ("202501-31", bad("202501-31")),
    ("２０２５-01-31", bad("２０２５-01-31")),
    (" 2025-01-31", bad(" 2025-01-31")),
    ("2025-01-31 ", bad("2025-01-31 ")),
    ("2025-01-31\n", "Invalid isoformat string: '2025-01-31\\n'"),
    ("2025-01-31T", bad("2025-01-31T")),
    ("2025-01-31\x00", bad("2025-01-31\x00")),
    ("2025-01-31T20:00:00.", bad("2025-01-31T20:00:00.")),
    ("2025-01-31T20:00:0", bad("2025-01-31T20:00:0")),
    ("2025-01-31T2000001", bad("2025-01-31T2000001")),
    ("2025-01-31T20:00Zx", bad("2025-01-31T20:00Zx")),
    ("2025-01-31T20:00+080", bad("2025-01-31T20:00+080")),
    ("2025-01-31T20:00+01:00.5x", bad("2025-01-31T20:00+01:00.5x")),
    ("2025-01-31T20:00:00.123\x00abc", bad("2025-01-31T20:00:00.123\x00abc")),
    ("2025-W055", bad("2025-W055")),
    ("2025-W05-", bad("2025-W05-")),
    ("2025-W53-1", bad("2025-W53-1")),
    ("2025-W00-1", bad("2025-W00-1")),
    ("2025-W05-0", bad("2025-W05-0")),
    ("2025-W05-8", bad("2025-W05-8")),
    ("9999-W53-1", bad("9999-W53-1")),
    ("0000-W53-1", bad("0000-W53-1")),
    ("2025'01-31", "Invalid isoformat string: \"2025'01-31\""),
    ("2025-01-31\x85", "Invalid isoformat string: '2025-01-31\\x85'"),
    # well-formed but out of range
    ("2025-13-01", "month must be in 1..12"),
    ("2025-00-10", "month must be in 1..12"),
    ("2025-02-29", "day is out of range for month"),
    ("1900-02-29", "day is out of range for month"),
    ("2025-04-31", "day is out of range for month"),
    ("2025-01-00", "day is out of range for month"),
    ("0000-01-01", "year 0 is out of range"),
    ("9999-W52-6", "year 10000 is out of range"),
    ("2025-01-31T24:00", "hour must be in 0..23"),
    ("2025-01-31T24:00:00", "hour must be in 0..23"),
    ("2025-01-31T23:60", "minute must be in 0..59"),
    ("2025-01-31T23:59:60", "second must be in 0..59"),
    ("2025-01-31T20:00+24:00", OFFSET_24H),
    ("2025-01-31T20:00-24:00", OFFSET_24H.replace("days=1", "days=-1")),
    # the offset is checked before the date
    ("2025-13-01T20:00+25:00", OFFSET_24H.replace("days=1", "days=1, seconds=3600")),
    # the message shows the text as repr() does: unassigned and format characters escaped
    ("2025-01-31T20:00\u0378", bad("2025-01-31T20:00\u0378")),
    ("2025\U00013439-01-31", bad("2025\U00013439-01-31")),
    ("2025-01-31\u200b20:00\U000e0001", bad("2025-01-31\u200b20:00\U000e0001")),
]


# Where the releases part ways. 3.11 and 3.12 turn a week date of ISO year 0 into a date before
# 0001-01-01 and fail on its month, after checking any offset; 3.13 refuses the text itself.
RELEASES = [(3, 11), (3, 12), (3, 13)]
FIRST_CHANGED = (3, 13)
CHANGED = [
    ("0000-W01-1", "month must be in 1..12"),
    ("0000W011", "month must be in 1..12"),
    ("0000-W01", "month must be in 1..12"),
    ("0000W52", "month must be in 1..12"),
    ("0000-W52-7T23:59:59.999999", "month must be in 1..12"),
    ("0000-W01-1T24:00", "month must be in 1..12"),
    ("0000-W01-1T20:00+24:00", OFFSET_24H),
]


@pytest.mark.parametrize(("text", "expected"), CASES)
def test_table(text, expected):
    assert iso_oracle(text) == expected
    assert _iso_datetime_error(text) == expected
    for release in RELEASES:  # no release parts ways here
        assert _iso_datetime_error(text, python=release) == expected


def on_release(release, text, before):
    """What fromisoformat of that release says: releases since FIRST_CHANGED share its answer."""
    return bad(text) if release >= FIRST_CHANGED else before


@pytest.mark.parametrize(("text", "before"), CHANGED)
def test_changed_texts_follow_the_running_release(text, before):
    expected = on_release(sys.version_info[:2], text, before)
    assert iso_oracle(text) == expected
    assert _iso_datetime_error(text) == expected


@pytest.mark.parametrize("release", RELEASES)
@pytest.mark.parametrize(("text", "before"), CHANGED)
def test_each_release_s_rules_on_the_changed_texts(text, before, release):
    assert _iso_datetime_error(text, python=release) == on_release(release, text, before)


DATES = ["2025-01-31", "20250131", "2025-W05-5", "2025W055", "2025-W05", "2025W05", "2024-02-29",
         "2025-02-29", "0000-W01-1", "0000W52", "9999-W52-7", "2020-W53", "2020W537", "2025-W53"]

# Digit groups, time-shaped groups, separators and a few non-ASCII characters (no surrogates:
# see above).
PIECES = [*"0123456789", "2025", "0000", "9999", "01", "12", "13", "29", "31", "00", "24", "59", "60",
          "53", "123", "123456", "20:00", "20:00:00", "+08:00", "T12", "-", ":", "T", " ", "W", "Z", "+",
          ".", ",", "\x00", "é", "中", "😀", "\x85", "'"]


def compose(raw):
    """Each byte picks a piece; most first bytes also put a date-shaped head in front. Drawing
    bytes keeps Hypothesis fast enough for thousands of examples."""
    if not raw:
        return ""
    head = DATES[raw[0] // 4 % len(DATES)] if raw[0] % 4 else ""
    return head + "".join(PIECES[b % len(PIECES)] for b in raw[1:])


@pytest.mark.parametrize("date", DATES)
@pytest.mark.parametrize("separator", ["T", "\x7f", "\x80", "é", "\u07ff", "\u0800", "中", "\uffff", "😀",
                                       "\U0010ffff"])
@pytest.mark.parametrize("time", ["20", "2000", "20:00:00.5+08:00", "2x"])
def test_separator_of_any_utf8_length(date, separator, time):
    text = date + separator + time
    assert _iso_datetime_error(text) == iso_oracle(text)


@settings(max_examples=3000, deadline=None)
@given(st.binary(max_size=14).map(compose))
def test_agrees_with_fromisoformat(text):
    assert _iso_datetime_error(text) == iso_oracle(text)


@seed(20250131)  # fixed, so a failure comes back on the next run
@settings(max_examples=1000, deadline=None)
@given(st.binary(max_size=14).map(compose))
def test_releases_part_ways_only_on_week_dates_of_year_zero(text):
    before, since = (_iso_datetime_error(text, python=release) for release in [(3, 12), FIRST_CHANGED])
    if before != since:
        assert re.match("0000-?W", text) and before is not None and since == bad(text)


@settings(max_examples=500, deadline=None)
@given(st.text(max_size=30))
def test_agrees_on_any_text(text):
    mine, theirs = _iso_datetime_error(text), iso_oracle(text)
    assert mine == theirs


offsets = st.one_of(
    st.none(),
    st.timedeltas(min_value=-datetime.timedelta(hours=24) + datetime.timedelta(microseconds=1),
                  max_value=datetime.timedelta(hours=24) - datetime.timedelta(microseconds=1))
    .map(datetime.timezone),
)


@settings(max_examples=500, deadline=None)
@given(st.datetimes(timezones=offsets),
       st.characters(exclude_categories=("Cs",)),
       st.sampled_from(["auto", "hours", "minutes", "seconds", "milliseconds", "microseconds"]))
def test_isoformat_output_is_accepted(value, sep, precision):
    assert _iso_datetime_error(value.isoformat(sep, precision)) is None
    assert _iso_datetime_error(value.date().isoformat()) is None
