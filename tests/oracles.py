"""Models of the modules' rules written with Python's standard library, each as strict as the module
it stands for: the tests of each rule and the replay of the fuzz corpus hold the modules to them."""

import datetime
import json
import re
import unicodedata
import urllib.parse
from unittest import mock
from urllib.parse import parse_qs

import pytest

from publish import runlens
from publish.runfault import HistoryError

# ---- stored JSON: json.loads with duplicate names, NaN and lone surrogates refused ----------------

# The stored-JSON decoder refuses documents nested deeper than this, arrays and objects alike
# (kMaxDepth in src/value/json.cpp; no module exposes it). json.loads has no such rule, so the
# tests hold the decoder to this number on their own.
MAX_DEPTH = 512

MESSAGE = "发布记录不存在或已损坏"
ACTION = "检查 run_id 与原发布记录；先用原账号核对平台作品，不改写或自动重发"
SURROGATE = re.compile("[\ud800-\udfff]")
REFUSED = object()


def shape(v):
    """Type- and order-exact form of a decoded value: 1 != 1.0 != True, -0.0 != 0.0, dict order counts."""
    if v is None or isinstance(v, (bool, str)):
        return (type(v).__name__, v)
    if isinstance(v, int):
        return ("int", v)
    if isinstance(v, float):
        return ("float", repr(v))
    if isinstance(v, list):
        return ("list", tuple(shape(e) for e in v))
    if isinstance(v, dict):
        return ("dict", tuple((k, shape(e)) for k, e in v.items()))
    raise AssertionError(f"not a JSON value: {type(v)}")


def has_surrogate(v):
    if isinstance(v, str):
        return bool(SURROGATE.search(v))
    if isinstance(v, list):
        return any(has_surrogate(e) for e in v)
    if isinstance(v, dict):
        return any(has_surrogate(k) or has_surrogate(e) for k, e in v.items())
    return False


def reject_duplicates(pairs):
    if len({k for k, _ in pairs}) != len(pairs):
        raise ValueError("duplicate record field")
    return dict(pairs)


def reject_constant(name):
    raise ValueError(name)


def json_oracle(data):
    """json.loads made as strict as the store reader, or REFUSED."""
    try:
        v = json.loads(data, object_pairs_hook=reject_duplicates, parse_constant=reject_constant)
    except ValueError:  # JSONDecodeError and UnicodeDecodeError included
        return REFUSED
    # Lone surrogates are refused on purpose, where Python would keep them.
    return REFUSED if has_surrogate(v) else v


def refusal(data):
    """The cause of the RUN-003 failure _json must raise for data."""
    with pytest.raises(HistoryError) as caught:
        runlens._json(data)
    err = caught.value
    assert (err.code, err.message, err.action) == ("RUN-003", MESSAGE, ACTION)
    assert err.args == (MESSAGE,)
    return err.__cause__


def agrees(data):
    """_json(data) matches the strict oracle: the same value, or RUN-003 caused by a ValueError."""
    expected = json_oracle(data)
    if expected is REFUSED:
        assert type(refusal(data)) is ValueError
    else:
        assert shape(runlens._json(data)) == shape(expected)
    return expected


# ---- publish_time: datetime.fromisoformat ----------------------------------------------------


def iso_oracle(text):
    """fromisoformat's ValueError message, or None when it parses."""
    try:
        datetime.datetime.fromisoformat(text)
    except ValueError as e:
        return str(e)
    return None


# ---- links: urlsplit, parse_qs and re ----------------------------------------------------------


def _check_bracketed_netloc(netloc):
    """The netloc check of current urllib.parse: after the last "@", nothing before the "[",
    only a ":" port after the "]", and an IP literal inside."""
    host_and_port = netloc.rpartition("@")[2]
    before, bracket, inside = host_and_port.partition("[")
    if bracket:
        host, _, port = inside.partition("]")
        if before or (port and not port.startswith(":")):
            raise ValueError("Invalid IPv6 URL")
    else:
        host = host_and_port.partition(":")[0]
    urllib.parse._check_bracketed_host(host)


def urlsplit(value):
    """urllib.parse.urlsplit as current CPython releases judge bracketed hosts.

    Releases of 3.11 before the fix checked only what stands between the first "[" and "]" of
    the whole netloc, so they accept text glued to a literal ("[::1]junk"); later releases (and
    distributions' patched 3.11.2) check the host after the last "@" instead, as _split_url does.
    On an older interpreter the newer check replaces the older one here.
    """
    if hasattr(urllib.parse, "_check_bracketed_netloc"):
        return urllib.parse.urlsplit(value)
    with mock.patch.object(urllib.parse, "_check_bracketed_host", lambda host: None):
        url = urllib.parse.urlsplit(value)
    if "[" in url.netloc and "]" in url.netloc:
        _check_bracketed_netloc(url.netloc)
    return url


def split_oracle(value):
    """urlsplit's parts in _split_url's order (raw port text as .port reads it), or None where it raises."""
    try:
        url = urlsplit(value)
        return (url.scheme, url.netloc, url.hostname, url._hostinfo[1], url.path, url.query, url.fragment)
    except ValueError:
        return None


ROWS = {
    "bilibili": ({"bilibili.com", "www.bilibili.com"}, r"/video/BV[0-9A-Za-z]{10}/?"),
    "douyin": ({"douyin.com", "www.douyin.com"}, r"/(?:video|note)/[0-9]+/?"),
    "kuaishou": ({"kuaishou.com", "www.kuaishou.com"}, r"/short-video/[0-9A-Za-z_-]+/?"),
    "tencent": ({"channels.weixin.qq.com"}, r"/sph/[0-9A-Za-z_-]+/?"),
    "weibo": ({"weibo.com", "www.weibo.com"}, r"/tv/show/1034:[0-9]+/?"),
    "tk": ({"tiktok.com", "www.tiktok.com"}, r"/@[^/]+/video/[0-9]+/?"),
    "xiaohongshu": ({"xiaohongshu.com", "www.xiaohongshu.com"}, r"/(?:explore|discovery/item|item)/[0-9a-fA-F]+/?"),
}


def link_model(platform, value):
    """The rules written with Python's own re, urlsplit and parse_qs."""
    if not isinstance(value, str) or not value:
        return False
    if any(c < " " or c == "\x7f" or c.isspace() for c in value):
        return False
    try:
        url = urlsplit(value)
        port = url.port
    except ValueError:
        return False
    if url.scheme != "https" or "@" in url.netloc or port not in (None, 443):
        return False
    host, path = url.hostname, url.path
    if platform == "baijiahao":
        ids = parse_qs(url.query).get("id", [])
        return host == "baijiahao.baidu.com" and path == "/s" and len(ids) == 1 and bool(re.fullmatch("[0-9]+", ids[0]))
    if platform == "xiaohongshu" and host == "xhslink.com":
        return bool(re.fullmatch(r"/(?:a/)?[0-9A-Za-z]+/?", path))
    hosts, pattern = ROWS.get(platform, (set(), "(?!)"))
    return host in hosts and bool(re.fullmatch(pattern, path))


# ---- text: the JSON body with hidden characters escaped -----------------------------------------

HIDDEN = {"Cc", "Cf", "Zl", "Zp"}


def escape_hidden(text):
    """Each hidden character (a category in HIDDEN) as a \\uXXXX escape, the rest as it is."""
    return "".join(f"\\u{ord(c):04x}" if unicodedata.category(c) in HIDDEN else c for c in text)


def text_model(value):
    """What _text gives for value: its JSON form (a string's without the quotes), hidden characters
    escaped."""
    shown = json.dumps(value, ensure_ascii=False)
    return escape_hidden(shown[1:-1] if isinstance(value, str) else shown)
