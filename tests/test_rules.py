"""Reader rules: the absolute-path test, identifier patterns and the RUN-003/RUN-005 failures."""
import hashlib
import itertools
import re
import sys
from pathlib import PurePosixPath, PureWindowsPath

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from publish import runlens
from publish.runfault import HistoryError

# ---- _absolute_path ----


def rule(s):
    """Absolute under POSIX rules, or under Windows rules with both a drive and a root; empty and
    NUL-carrying text never is. Drive and root rather than is_absolute(): up to 3.12 they are the
    same, and from 3.13 is_absolute() is ntpath.isabs, true for anything after two separators."""
    if s == "" or "\x00" in s:
        return False
    if PurePosixPath(s).is_absolute():
        return True
    windows = PureWindowsPath(s)
    return bool(windows.drive and windows.root)


def exotic(s):
    """Forms where PureWindowsPath and the reader part ways, left out of the comparisons on
    purpose: the extended-length prefix spelled with '/', followed by a separator or by UNC\\,
    and a UNC server with an empty share (\\\\nas\\)."""
    norm = s.replace("/", "\\")
    if norm.startswith("\\\\?\\"):
        return not s.startswith("\\\\?\\") or norm[4:5] == "\\" or norm[4:8] == "UNC\\"
    return s[:1] == "\\" and re.fullmatch(r"[\\/]{2}[^\\/]+[\\/]", s) is not None


# The drives the rule knows: a letter and a colon, \\server\share with neither name empty, and
# the extended-length prefix in front of a letter drive.
RULE_DRIVE = re.compile(r"[A-Za-z]:|\\\\(?!\?\\)[^\\]+\\[^\\]+|\\\\\?\\[A-Za-z]:")


def splitroot_departs(s):
    """From 3.12 on PureWindowsPath splits with ntpath.splitroot, which the rule does not follow:
    it takes any character before a colon for a drive letter (1:\\v.mp4), a UNC name with an
    empty server or share (\\\\nas\\\\share), and the extended-length prefix before anything but
    a letter drive (\\\\?\\x\\y) for drives with a root; and it gives a device name
    (\\\\.\\x, and \\\\?.\\x, since it asks whether the server is in "?.") no root. The rule
    judges these as 3.11 did; PATHLIB_CHANGES pins both answers."""
    if sys.version_info < (3, 12) or s.startswith("/") or "\x00" in s:
        return False
    windows = PureWindowsPath(s)
    drive = windows.drive.replace("/", "\\")
    if windows.root:
        return bool(drive) and RULE_DRIVE.fullmatch(drive) is None
    return re.fullmatch(r"\\\\(\.|\?\.)\\[^\\]+", drive) is not None


def departs(s):
    return exotic(s) or splitroot_departs(s)


PATHS = [
    ("/", True),
    ("/Users/a/v.mp4", True),
    ("//nas/share/v.mp4", True),
    ("C:\\v.mp4", True),
    ("c:/v.mp4", True),
    ("C:\\", True),
    ("\\\\nas\\share\\v.mp4", True),
    ("\\\\nas\\share", True),
    ("\\\\nas/share", True),
    ("\\\\?\\C:\\work\\a.mp4", True),
    ("\\\\?\\c:/work/a.mp4", True),
    ("\\\\.\\C:\\a", True),
    ("", False),
    ("videos/v.mp4", False),
    ("./v.mp4", False),
    ("C:v.mp4", False),
    ("C:", False),
    ("1:\\v.mp4", False),
    ("\\v.mp4", False),
    ("\\\\nas", False),
    ("\\\\nas\\\\share", False),
    ("\\\\?\\C:", False),
    ("\\\\?\\C:v.mp4", False),
    ("/a\x00b", False),
    ("C:\\v\x00.mp4", False),
    ("\x00", False),
]


@pytest.mark.parametrize(("text", "expected"), PATHS)
def test_absolute_path_table(text, expected):
    assert runlens._absolute_path(text) is expected
    if not departs(text):  # the others are in PATHLIB_CHANGES
        assert rule(text) is expected


# Texts whose PureWindowsPath.is_absolute() changed between releases, with the rule's answer,
# which stays. 3.12 moved to ntpath.splitroot (see splitroot_departs) and gave \\nas\ no root;
# 3.13's is_absolute() is ntpath.isabs: true for any text that starts with two separators.
RELEASES = [(3, 11), (3, 12), (3, 13)]
PATHLIB_CHANGES = [
    # text, the rule, is_absolute() on 3.11, 3.12, 3.13
    ("\\\\nas", False, (False, False, True)),
    ("\\\\nas\\\\share", False, (False, True, True)),
    ("1:\\v.mp4", False, (False, True, True)),
    ("::/", False, (False, True, True)),
    ("\\\\?\\C:", False, (False, False, True)),
    ("\\\\?\\C:v.mp4", False, (False, False, True)),
    ("\\\\?\\x\\y", False, (False, True, True)),
    ("\\\\\\share\\v", False, (False, True, True)),
    ("\\\\nas\\", False, (True, False, True)),
    ("\\\\.\\C", True, (True, False, True)),
]


@pytest.mark.parametrize(("text", "expected", "by_release"), PATHLIB_CHANGES)
def test_absolute_path_where_pathlib_changed(text, expected, by_release):
    assert runlens._absolute_path(text) is expected
    # A later release is held to the last known answers: a new change must be looked at.
    release = min(sys.version_info[:2], RELEASES[-1])
    assert PureWindowsPath(text).is_absolute() is by_release[RELEASES.index(release)]
    assert departs(text) or rule(text) is expected


@pytest.mark.parametrize("value", [1, 1.5, b"/", ["/"], ("C:\\",), {"/": 1}])
def test_absolute_path_refuses_non_strings(value):
    assert runlens._absolute_path(value) is False


def test_absolute_path_refuses_none():
    assert runlens._absolute_path(None) is False


ALPHABET = ["/", "\\", "C", "c", ":", "?", ".", "a", "\x00"]


def test_absolute_path_every_short_text():
    for n in range(5):
        for chars in itertools.product(ALPHABET, repeat=n):
            s = "".join(chars)
            if splitroot_departs(s):  # left out exactly where the two part ways
                assert runlens._absolute_path(s) != rule(s), s
            elif not exotic(s):
                assert runlens._absolute_path(s) == rule(s), s


# Bytes picking characters: much cheaper to draw than lists of characters.
@settings(max_examples=2000, deadline=None)
@given(st.binary(max_size=14).map(lambda raw: "".join(ALPHABET[b % len(ALPHABET)] for b in raw))
       .filter(lambda s: not departs(s)))
def test_absolute_path_agrees_with_pathlib(text):
    assert runlens._absolute_path(text) == rule(text)


@settings(max_examples=300, deadline=None)
@given(st.text(max_size=16).filter(lambda s: not departs(s)))
def test_absolute_path_agrees_on_any_text(text):
    assert runlens._absolute_path(text) == rule(text)


# ---- identifier patterns ----

GOOD_UUID = "123e4567-e89b-12d3-a456-426614174000"
GOOD_SHA = hashlib.sha256(b"kamo").hexdigest()
GOOD_IDENTITY = "sha256-v1:" + GOOD_SHA

PATTERNS = [
    ("_UUID", GOOD_UUID, True),
    ("_UUID", "00000000-0000-0000-0000-000000000000", True),
    ("_UUID", GOOD_UUID.upper(), False),
    ("_UUID", "{" + GOOD_UUID + "}", False),
    ("_UUID", GOOD_UUID.replace("-", ""), False),
    ("_UUID", GOOD_UUID + "\n", False),
    ("_UUID", " " + GOOD_UUID, False),
    ("_UUID", "urn:uuid:" + GOOD_UUID, False),
    ("_UUID", GOOD_UUID[:-1], False),
    ("_UUID", GOOD_UUID + "0", False),
    ("_UUID", GOOD_UUID[:-1] + "g", False),
    ("_UUID", "123e4567e-89b-12d3-a456-426614174000", False),
    ("_SHA", GOOD_SHA, True),
    ("_SHA", "0" * 64, True),
    ("_SHA", GOOD_SHA.upper(), False),
    ("_SHA", GOOD_SHA + "\n", False),
    ("_SHA", GOOD_SHA[:-1], False),
    ("_SHA", GOOD_SHA + "0", False),
    ("_SHA", "{" + GOOD_SHA + "}", False),
    ("_SHA", "sha256-v1:" + GOOD_SHA, False),
    ("_IDENTITY", GOOD_IDENTITY, True),
    ("_IDENTITY", GOOD_IDENTITY.upper(), False),
    ("_IDENTITY", "sha256-v1:" + GOOD_SHA.upper(), False),
    ("_IDENTITY", "SHA256-v1:" + GOOD_SHA, False),
    ("_IDENTITY", GOOD_IDENTITY + "\n", False),
    ("_IDENTITY", "sha256-v2:" + GOOD_SHA, False),
    ("_IDENTITY", "sha256:" + GOOD_SHA, False),
    ("_IDENTITY", GOOD_SHA, False),
    ("_IDENTITY", "sha256-v1:" + GOOD_SHA[:-1], False),
]


# The rules as written for run ids, digests and identities; the core applies them itself and
# exports them as compiled patterns for the runtime.
SOURCES = {
    "_UUID": "[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}",
    "_SHA": "[0-9a-f]{64}",
    "_IDENTITY": "sha256-v1:[0-9a-f]{64}",
}


def oracle(name, text):
    return re.fullmatch(SOURCES[name], text) is not None


@pytest.mark.parametrize("name", SOURCES)
def test_exported_patterns_are_the_rules(name):
    assert getattr(runlens, name).pattern == SOURCES[name]


@pytest.mark.parametrize(("name", "text", "expected"), PATTERNS)
def test_core_matchers_table(name, text, expected):
    assert oracle(name, text) is expected  # the table itself is right
    assert runlens._matches(name, text) is expected


# A text that matches, then one character replaced, inserted or removed: hex digits of both
# cases, dashes, the prefix's characters, a newline and a non-ASCII digit.
EDITS = "0123456789abcdefABCDEF-:sh256v1\n\u0663"
GOOD = {"_UUID": GOOD_UUID, "_SHA": GOOD_SHA, "_IDENTITY": GOOD_IDENTITY}


@st.composite
def near(draw):
    name = draw(st.sampled_from(list(SOURCES)))
    text = draw(st.sampled_from(list(GOOD.values())))
    at = draw(st.integers(0, len(text)))
    char = draw(st.sampled_from(EDITS))
    edit = draw(st.sampled_from(["replace", "insert", "remove", "keep"]))
    text = {"replace": text[:at] + char + text[at + 1:], "insert": text[:at] + char + text[at:],
            "remove": text[:at] + text[at + 1:], "keep": text}[edit]
    return name, text


@settings(max_examples=2000, deadline=None)
@given(near() | st.tuples(st.sampled_from(list(SOURCES)), st.text(max_size=80)))
def test_core_matchers_agree_with_re(case):
    name, text = case
    assert runlens._matches(name, text) is oracle(name, text)


@settings(max_examples=300, deadline=None)
@given(st.uuids(), st.binary(max_size=32))
def test_core_matchers_on_generated_ids(u, data):
    digest = hashlib.sha256(data).hexdigest()
    for name, text in [("_UUID", str(u)), ("_SHA", digest), ("_IDENTITY", "sha256-v1:" + digest)]:
        for variant in (text, text.upper(), text + "\n", text[:-1], u.hex):
            assert runlens._matches(name, variant) is oracle(name, variant)


# ---- failures ----

INVALID_ACTION = "检查 run_id 与原发布记录；先用原账号核对平台作品，不改写或自动重发"
IO_ACTION = "若有发布进程请等待其结束；检查数据目录权限和数据库日志，保留原文件，不删除或强制恢复日志"

FAILURES = [
    (runlens._invalid, (), "RUN-003", "发布记录不存在或已损坏", INVALID_ACTION),
    (runlens._invalid, ("run_id 格式无效",), "RUN-003", "run_id 格式无效", INVALID_ACTION),
    (runlens._io_error, (), "RUN-005", "无法只读查询发布记录", IO_ACTION),
]


@pytest.mark.parametrize(("make", "args", "code", "message", "action"), FAILURES)
def test_failure_factories(make, args, code, message, action):
    err = make(*args)  # returned, not raised
    assert type(err) is HistoryError
    assert (err.code, err.message, err.action) == (code, message, action)
    assert str(err) == message
    assert err.args == (message,)
    assert err.__cause__ is None
    assert make(*args) is not err
    with pytest.raises(HistoryError) as caught:
        raise err
    assert caught.value is err


def test_invalid_takes_message_by_keyword():
    assert runlens._invalid(message="run_id 格式无效").message == "run_id 格式无效"


@pytest.mark.parametrize("message", ["\ud800", "a\udcff\U0001f600"])
def test_invalid_keeps_any_message_it_is_given(message):
    assert runlens._invalid(message).message == message
