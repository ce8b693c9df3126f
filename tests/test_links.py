"""_valid_link per platform, and its splitter _split_url against urllib.parse.urlsplit (CPython 3.11)."""
import unicodedata

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

from oracles import ROWS, link_model, split_oracle, urlsplit
from publish.runlens import _split_url, _valid_link

# ---- one work link per platform, and what every platform shares --------------------------------

# (platform, host, path, "?query")
SAMPLES = [
    ("bilibili", "www.bilibili.com", "/video/BV1GJ411x7h7", ""),
    ("douyin", "www.douyin.com", "/video/7251234567890123456", ""),
    ("kuaishou", "www.kuaishou.com", "/short-video/3xf8enb4b2ryqu6", ""),
    ("tencent", "channels.weixin.qq.com", "/sph/AbC_d-9", ""),
    ("weibo", "weibo.com", "/tv/show/1034:4912345678901234", ""),
    ("tk", "www.tiktok.com", "/@some.user/video/7234567890123456789", ""),
    ("xiaohongshu", "www.xiaohongshu.com", "/explore/64a1b2c3d4e5f6a7b8c9d0e1", ""),
    ("xiaohongshu", "xhslink.com", "/a/AbC123", ""),
    ("baijiahao", "baijiahao.baidu.com", "/s", "?id=1771234567890123456"),
]
SAMPLE_IDS = [f"{p}-{h}" for p, h, _, _ in SAMPLES]


def bare(host):
    return host.removeprefix("www.")


# (name, url from host/path/query, expected) for every sample
VARIANTS = [
    ("as-is", lambda h, p, q: f"https://{h}{p}{q}", True),
    ("scheme-in-capitals", lambda h, p, q: f"HTTPS://{h}{p}{q}", True),
    ("scheme-mixed-case", lambda h, p, q: f"hTtPs://{h}{p}{q}", True),
    ("host-in-capitals", lambda h, p, q: f"https://{h.upper()}{p}{q}", True),
    ("port-443", lambda h, p, q: f"https://{h}:443{p}{q}", True),
    ("port-443-leading-zero", lambda h, p, q: f"https://{h}:0443{p}{q}", True),
    ("port-empty-is-none", lambda h, p, q: f"https://{h}:{p}{q}", True),
    ("fragment", lambda h, p, q: f"https://{h}{p}{q}#top", True),
    ("fragment-with-query-marks", lambda h, p, q: f"https://{h}{p}{q}#?id=x&id=y", True),
    ("query-added", lambda h, p, q: f"https://{h}{p}{q or '?'}&utm_source=share", True),
    ("path-in-capitals", lambda h, p, q: f"https://{h}{p.upper()}{q}", False),
    ("path-extra-segment", lambda h, p, q: f"https://{h}{p}/x{q}", False),
    ("path-two-final-slashes", lambda h, p, q: f"https://{h}{p}//{q}", False),
    ("path-escaped-slash", lambda h, p, q: f"https://{h}{p}%2F{q}", False),
    ("http", lambda h, p, q: f"http://{h}{p}{q}", False),
    ("ftp", lambda h, p, q: f"ftp://{h}{p}{q}", False),
    ("https-with-suffix", lambda h, p, q: f"https+x://{h}{p}{q}", False),
    ("no-scheme", lambda h, p, q: f"//{h}{p}{q}", False),
    ("no-slashes", lambda h, p, q: f"https:{h}{p}{q}", False),
    ("one-slash", lambda h, p, q: f"https:/{h}{p}{q}", False),
    ("three-slashes", lambda h, p, q: f"https:///{h}{p}{q}", False),
    ("port-80", lambda h, p, q: f"https://{h}:80{p}{q}", False),
    ("port-0", lambda h, p, q: f"https://{h}:0{p}{q}", False),
    ("port-65535", lambda h, p, q: f"https://{h}:65535{p}{q}", False),
    ("port-65536", lambda h, p, q: f"https://{h}:65536{p}{q}", False),
    ("port-443-then-letter", lambda h, p, q: f"https://{h}:443a{p}{q}", False),
    ("port-signed", lambda h, p, q: f"https://{h}:+443{p}{q}", False),
    ("port-arabic-indic-digits", lambda h, p, q: f"https://{h}:\u0664\u0664\u0663{p}{q}", False),
    ("port-fullwidth-digits", lambda h, p, q: f"https://{h}:\uff14\uff14\uff13{p}{q}", False),
    ("port-twice", lambda h, p, q: f"https://{h}:443:443{p}{q}", False),
    ("port-huge", lambda h, p, q: f"https://{h}:{'9' * 40}{p}{q}", False),
    ("user", lambda h, p, q: f"https://user@{h}{p}{q}", False),
    ("user-and-password", lambda h, p, q: f"https://user:pw@{h}{p}{q}", False),
    ("at-with-nothing-before", lambda h, p, q: f"https://@{h}{p}{q}", False),
    ("colon-at", lambda h, p, q: f"https://:@{h}{p}{q}", False),
    ("at-after-port", lambda h, p, q: f"https://{h}:443@{p}{q}", False),
    ("at-after-host", lambda h, p, q: f"https://{h}@{h}{p}{q}", False),
    ("trailing-dot-host", lambda h, p, q: f"https://{h}.{p}{q}", False),
    ("other-subdomain", lambda h, p, q: f"https://m.{bare(h)}{p}{q}", False),
    ("suffixed-domain", lambda h, p, q: f"https://{h}.evil.example{p}{q}", False),
    ("prefixed-domain", lambda h, p, q: f"https://evil{bare(h)}{p}{q}", False),
    ("escaped-host", lambda h, p, q: f"https://{h[:-1]}%{ord(h[-1]):02X}{p}{q}", False),
    ("ipv4-host", lambda h, p, q: f"https://127.0.0.1{p}{q}", False),
    ("ipv6-host", lambda h, p, q: f"https://[::1]{p}{q}", False),
    ("ipv6-host-port-443", lambda h, p, q: f"https://[::1]:443{p}{q}", False),
    ("host-in-brackets", lambda h, p, q: f"https://[{h}]{p}{q}", False),
    ("open-bracket-only", lambda h, p, q: f"https://[{h}{p}{q}", False),
    ("close-bracket-only", lambda h, p, q: f"https://{h}]{p}{q}", False),
    ("no-host", lambda h, p, q: f"https://{p}{q}", False),
    ("backslash-before-path", lambda h, p, q: f"https://{h}\\{p}{q}", False),
]


@pytest.mark.parametrize("platform,host,path,query", SAMPLES, ids=SAMPLE_IDS)
@pytest.mark.parametrize("make,expected", [v[1:] for v in VARIANTS], ids=[v[0] for v in VARIANTS])
def test_shared_rules(platform, host, path, query, make, expected):
    url = make(host, path, query)
    assert _valid_link(platform, url) is expected
    assert link_model(platform, url) is expected


@pytest.mark.parametrize("platform,host,path,query", SAMPLES, ids=SAMPLE_IDS)
def test_link_counts_only_for_its_own_platform(platform, host, path, query):
    url = f"https://{host}{path}{query}"
    accepted = {p for p in [*ROWS, "baijiahao", "unknown", "", "Bilibili", " bilibili"] if _valid_link(p, url)}
    assert accepted == {platform}


# ---- platform tables --------------------------------------------------------------------------

PLATFORM_CASES = [
    # bilibili: exactly ten ASCII letters or digits after BV
    ("bilibili", "https://www.bilibili.com/video/BV1GJ411x7h7", True),
    ("bilibili", "https://bilibili.com/video/BV1GJ411x7h7/", True),
    ("bilibili", "https://www.bilibili.com/video/BV1GJ411x7h7?p=2&t=30#reply", True),
    ("bilibili", "https://www.bilibili.com/video/BV1GJ411x7h", False),
    ("bilibili", "https://www.bilibili.com/video/BV1GJ411x7h7a", False),
    ("bilibili", "https://www.bilibili.com/video/BV1GJ411x7h/", False),
    ("bilibili", "https://www.bilibili.com/video/bv1GJ411x7h7", False),
    ("bilibili", "https://www.bilibili.com/video/BV1GJ411x7_7", False),
    ("bilibili", "https://www.bilibili.com/video/BV1GJ411x7\uff17", False),
    ("bilibili", "https://www.bilibili.com/video/BV1GJ411x7h%37", False),
    ("bilibili", "https://www.bilibili.com/video/av170001", False),
    ("bilibili", "https://www.bilibili.com//video/BV1GJ411x7h7", False),
    ("bilibili", "https://b23.tv/BV1GJ411x7h7", False),
    ("bilibili", "https://space.bilibili.com/video/BV1GJ411x7h7", False),
    # douyin: video or note, then digits
    ("douyin", "https://www.douyin.com/video/7251234567890123456", True),
    ("douyin", "https://douyin.com/note/7251234567890123456/", True),
    ("douyin", "https://www.douyin.com/video/", False),
    ("douyin", "https://www.douyin.com/video/72512a", False),
    ("douyin", "https://www.douyin.com/videos/7251234567890123456", False),
    ("douyin", "https://www.douyin.com/user/7251234567890123456", False),
    ("douyin", "https://www.douyin.com/video/\uff17\uff12", False),
    ("douyin", "https://www.douyin.com/video/\u0667\u0662", False),
    ("douyin", "https://v.douyin.com/video/7251234567890123456", False),
    ("douyin", "https://www.iesdouyin.com/video/7251234567890123456", False),
    # kuaishou: letters, digits, "_" and "-"
    ("kuaishou", "https://www.kuaishou.com/short-video/3xf8enb4b2ryqu6", True),
    ("kuaishou", "https://kuaishou.com/short-video/a_B-9/", True),
    ("kuaishou", "https://www.kuaishou.com/short-video/-", True),
    ("kuaishou", "https://www.kuaishou.com/short-video/", False),
    ("kuaishou", "https://www.kuaishou.com/short-video/a.b", False),
    ("kuaishou", "https://www.kuaishou.com/short-video/a/b", False),
    ("kuaishou", "https://www.kuaishou.com/short_video/abc", False),
    ("kuaishou", "https://v.kuaishou.com/short-video/abc", False),
    # Python lower-cases the host with Unicode rules: the Kelvin sign becomes "k"
    ("kuaishou", "https://\u212auaishou.com/short-video/abc", True),
    ("kuaishou", "https://\u212aUAISHOU.COM/short-video/abc", True),
    # tencent: the one channels host, no www. form
    ("tencent", "https://channels.weixin.qq.com/sph/AbC_d-9", True),
    ("tencent", "https://CHANNELS.weixin.qq.com/sph/AbC_d-9/", True),
    ("tencent", "https://www.channels.weixin.qq.com/sph/AbC_d-9", False),
    ("tencent", "https://weixin.qq.com/sph/AbC_d-9", False),
    ("tencent", "https://channels.weixin.qq.com/sph/", False),
    ("tencent", "https://channels.weixin.qq.com/sph/a~b", False),
    ("tencent", "https://channels.weixin.qq.com/web/pages/feed?eid=abc", False),
    # weibo: the 1034 video id space only
    ("weibo", "https://weibo.com/tv/show/1034:4912345678901234", True),
    ("weibo", "https://www.weibo.com/tv/show/1034:4912345678901234/", True),
    ("weibo", "https://weibo.com/tv/show/1035:4912345678901234", False),
    ("weibo", "https://weibo.com/tv/show/11034:4912345678901234", False),
    ("weibo", "https://weibo.com/tv/show/034:4912345678901234", False),
    ("weibo", "https://weibo.com/tv/show/1034:", False),
    ("weibo", "https://weibo.com/tv/show/1034:49a", False),
    ("weibo", "https://weibo.com/tv/show/1034%3A4912345678901234", False),
    ("weibo", "https://m.weibo.cn/tv/show/1034:4912345678901234", False),
    # tk: any name without a slash
    ("tk", "https://www.tiktok.com/@some.user/video/7234567890123456789", True),
    ("tk", "https://tiktok.com/@u/video/1/", True),
    ("tk", "https://www.tiktok.com/@\u540d\u5b57/video/1", True),
    ("tk", "https://www.tiktok.com/@@:%2F!/video/1", True),
    ("tk", "https://www.tiktok.com/@\U0001f600/video/1", True),
    ("tk", "https://www.tiktok.com/@/video/1", False),
    ("tk", "https://www.tiktok.com/@a/b/video/1", False),
    ("tk", "https://www.tiktok.com/@a/video/1/video/2", False),
    ("tk", "https://www.tiktok.com/@a/video/", False),
    ("tk", "https://www.tiktok.com/@a/video/1a", False),
    ("tk", "https://www.tiktok.com/user/video/1", False),
    ("tk", "https://www.tiktok.com/@a/photo/1", False),
    ("tk", "https://vm.tiktok.com/@a/video/1", False),
    # xiaohongshu, primary domain: three work-page forms, hexadecimal ids
    ("xiaohongshu", "https://www.xiaohongshu.com/explore/64a1b2c3d4e5f6a7b8c9d0e1", True),
    ("xiaohongshu", "https://xiaohongshu.com/discovery/item/64A1B2/", True),
    ("xiaohongshu", "https://www.xiaohongshu.com/item/0", True),
    ("xiaohongshu", "https://www.xiaohongshu.com/explore/", False),
    ("xiaohongshu", "https://www.xiaohongshu.com/explore/64a1g2", False),
    ("xiaohongshu", "https://www.xiaohongshu.com/discovery/64a1b2", False),
    ("xiaohongshu", "https://www.xiaohongshu.com/a/AbC123", False),
    ("xiaohongshu", "https://www.xiaohongshu.com/AbC123", False),
    # xiaohongshu, short-link domain: its own pattern instead of the table's
    ("xiaohongshu", "https://xhslink.com/a/AbC123", True),
    ("xiaohongshu", "https://xhslink.com/a/AbC123/", True),
    ("xiaohongshu", "https://xhslink.com/AbC123", True),
    ("xiaohongshu", "https://XHSLINK.com/AbC123/", True),
    # the optional a/ gives way: "/a/" is the id "a" with its final slash, as re.fullmatch says
    ("xiaohongshu", "https://xhslink.com/a/", True),
    ("xiaohongshu", "https://xhslink.com/a//", False),
    ("xiaohongshu", "https://xhslink.com/a/x/y", False),
    ("xiaohongshu", "https://xhslink.com/b/AbC123", False),
    ("xiaohongshu", "https://xhslink.com/a/Ab_C", False),
    ("xiaohongshu", "https://xhslink.com/", False),
    ("xiaohongshu", "https://xhslink.com/explore/64a1b2", False),
    ("xiaohongshu", "https://www.xhslink.com/a/AbC123", False),
    ("bilibili", "https://xhslink.com/a/AbC123", False),
    # baijiahao: one all-digit id on the article host, path exactly /s
    ("baijiahao", "https://baijiahao.baidu.com/s?id=1771234567890123456", True),
    ("baijiahao", "https://baijiahao.baidu.com/s?id=1771234567890123456&wfr=spider&for=pc", True),
    ("baijiahao", "https://baijiahao.baidu.com/s?id=%31%32", True),
    ("baijiahao", "https://baijiahao.baidu.com/s?%69%64=12", True),
    ("baijiahao", "https://baijiahao.baidu.com/s?&&x=&id=12&&", True),
    ("baijiahao", "https://baijiahao.baidu.com/s?id&id=12", True),
    ("baijiahao", "https://baijiahao.baidu.com/s?id=12&id=", True),
    ("baijiahao", "https://baijiahao.baidu.com/s?id=12#id=13", True),
    ("baijiahao", "https://baijiahao.baidu.com/s?id=", False),
    ("baijiahao", "https://baijiahao.baidu.com/s?id=1&id=2", False),
    ("baijiahao", "https://baijiahao.baidu.com/s?id=12&id=12", False),
    ("baijiahao", "https://baijiahao.baidu.com/s?id=12&i%64=3", False),
    ("baijiahao", "https://baijiahao.baidu.com/s?id=12&id=%", False),
    ("baijiahao", "https://baijiahao.baidu.com/s?id=12a", False),
    ("baijiahao", "https://baijiahao.baidu.com/s?id=a12", False),
    ("baijiahao", "https://baijiahao.baidu.com/s?id=+12", False),
    ("baijiahao", "https://baijiahao.baidu.com/s?id=12%2B", False),
    ("baijiahao", "https://baijiahao.baidu.com/s?id=%3", False),
    ("baijiahao", "https://baijiahao.baidu.com/s?id=%E4%B8%80", False),
    ("baijiahao", "https://baijiahao.baidu.com/s?id=%FF12", False),
    ("baijiahao", "https://baijiahao.baidu.com/s?id=\uff11\uff12", False),
    ("baijiahao", "https://baijiahao.baidu.com/s?ID=12", False),
    ("baijiahao", "https://baijiahao.baidu.com/s?id%20=12", False),
    ("baijiahao", "https://baijiahao.baidu.com/s?x=12", False),
    ("baijiahao", "https://baijiahao.baidu.com/s?", False),
    ("baijiahao", "https://baijiahao.baidu.com/s", False),
    ("baijiahao", "https://baijiahao.baidu.com/s#id=12", False),
    ("baijiahao", "https://baijiahao.baidu.com/s/?id=12", False),
    ("baijiahao", "https://baijiahao.baidu.com/S?id=12", False),
    ("baijiahao", "https://baijiahao.baidu.com/?id=12", False),
    ("baijiahao", "https://baijiahao.baidu.com?id=12", False),
    ("baijiahao", "https://baidu.com/s?id=12", False),
    ("baijiahao", "https://www.baijiahao.baidu.com/s?id=12", False),
    ("baijiahao", "https://mbd.baidu.com/s?id=12", False),
    # platform keys without a row
    ("youtube", "https://www.youtube.com/watch?v=abc", False),
    ("", "https://www.bilibili.com/video/BV1GJ411x7h7", False),
    ("BILIBILI", "https://www.bilibili.com/video/BV1GJ411x7h7", False),
]


@pytest.mark.parametrize("platform,url,expected", PLATFORM_CASES, ids=[f"{p}:{u}" for p, u, _ in PLATFORM_CASES])
def test_platform_rules(platform, url, expected):
    assert _valid_link(platform, url) is expected
    assert link_model(platform, url) is expected


def test_kelvin_sign_host_follows_python_lowercasing():
    url = "https://\u212auaishou.com/short-video/abc"
    assert urlsplit(url).hostname == "kuaishou.com"
    assert _split_url(url)[2] == "kuaishou.com"


@pytest.mark.parametrize("limit,digits,expected", [(4300, 4300, True), (4300, 4301, False), (640, 641, False),
                                                   (0, 6000, True), (6000, 6000, True), (6000, 6001, False)])
def test_port_digits_limit_follows_int(digit_limit, limit, digits, expected):
    # .port goes through int(), which takes leading zeros but refuses more digits than the limit.
    digit_limit(limit)
    url = "https://www.bilibili.com:" + "443".rjust(digits, "0") + "/video/BV1GJ411x7h7"
    assert _valid_link("bilibili", url) is expected
    assert link_model("bilibili", url) is expected


# ---- characters refused before splitting ------------------------------------------------------

REFUSED_CHARS = ["\t", "\n", "\r", " ", "\x00", "\x1c", "\x1f", "\x7f", "\x85", "\xa0", "\u1680", "\u2000",
                 "\u200a", "\u2028", "\u2029", "\u202f", "\u205f", "\u3000"]


@pytest.mark.parametrize("char", REFUSED_CHARS, ids=[f"U+{ord(c):04X}" for c in REFUSED_CHARS])
@pytest.mark.parametrize("platform,host,path,query", SAMPLES, ids=SAMPLE_IDS)
def test_controls_and_white_space_anywhere(char, platform, host, path, query):
    url = f"https://{host}{path}{query}"
    for at in (0, len(url), len("https://"), len("https://") + 3, url.index(path) + 2, len(url) - 1):
        assert _valid_link(platform, url[:at] + char + url[at:]) is False


def test_screen_matches_isspace_over_all_code_points():
    # The name in a tk link takes any character but "/", so only the screen can refuse one here.
    wrong = []
    for cp in range(0x110000):
        c = chr(cp)
        refused = cp < 0x20 or cp == 0x7F or c.isspace() or 0xD800 <= cp <= 0xDFFF or c in "/?#"
        if _valid_link("tk", f"https://www.tiktok.com/@{c}/video/1") is refused:
            wrong.append(f"U+{cp:04X}")
    assert wrong == []


def test_empty_value():
    assert _valid_link("bilibili", "") is False


@pytest.mark.parametrize("value", [None, 1, 1.5, True, b"https://www.bilibili.com/video/BV1GJ411x7h7",
                                   bytearray(b"https://www.bilibili.com/video/BV1GJ411x7h7"),
                                   ["https://www.bilibili.com/video/BV1GJ411x7h7"], object()],
                         ids=lambda v: type(v).__name__)
def test_non_string_values(value):
    assert _valid_link("bilibili", value) is False


@pytest.mark.parametrize("platform", [None, 1, b"bilibili"], ids=repr)
def test_non_string_platform(platform):
    assert _valid_link(platform, "https://www.bilibili.com/video/BV1GJ411x7h7") is False


@pytest.mark.parametrize("url", ["https://www.tiktok.com/@\ud800/video/1", "https://www.tiktok.com/@a/video/1#\udfff",
                                 "https://www.bilibili.com\udc80/video/BV1GJ411x7h7", "\ud83d\ude00"])
def test_lone_surrogates(url):
    assert _valid_link("tk", url) is False
    assert _valid_link("bilibili", url) is False
    assert _split_url(url) is None


HUGE = 10**7
# Built when the case runs, so the session does not hold every one at once.
HUGE_CASES = [
    ("bilibili", lambda: "https://www.bilibili.com/video/BV1GJ411x7h7?" + "a" * HUGE, True),
    ("douyin", lambda: "https://www.douyin.com/video/" + "1" * HUGE, True),
    ("tk", lambda: "https://www.tiktok.com/@" + "\u540d" * HUGE + "/video/1", True),
    ("baijiahao", lambda: "https://baijiahao.baidu.com/s?" + "&" * HUGE + "id=1", True),
    ("baijiahao", lambda: "https://baijiahao.baidu.com/s?" + "id=1&" * (HUGE // 5), False),
    ("baijiahao", lambda: "https://baijiahao.baidu.com/s?id=" + "%" * HUGE, False),
    ("bilibili", lambda: "https://" + "a" * HUGE + "/video/BV1GJ411x7h7", False),
    ("bilibili", lambda: "https://" + "\u00e9" * HUGE + "/video/BV1GJ411x7h7", False),
    ("bilibili", lambda: "https://[" + ":" * HUGE + "]/video/BV1GJ411x7h7", False),
    ("bilibili", lambda: "https://" + "[" * HUGE, False),
    ("bilibili", lambda: "https://www.bilibili.com:" + "0" * HUGE + "443/video/BV1GJ411x7h7", False),
    ("bilibili", lambda: "https://www.bilibili.com/video/BV1GJ411x7h7" + " " * HUGE, False),
]


@pytest.mark.parametrize("platform,make,expected", HUGE_CASES, ids=[f"{p}-{i}" for i, (p, _, _) in enumerate(HUGE_CASES)])
def test_huge_values(platform, make, expected):
    assert _valid_link(platform, make()) is expected


def test_huge_non_ascii_host_splits_like_urlsplit():
    url = "https://" + "\u00c9\u03a3" * 10**6 + "/x"
    assert _split_url(url) == split_oracle(url)


# ---- _split_url against urlsplit --------------------------------------------------------------
# Generated text passes the character screen (no controls, no white space), the only text
# _valid_link splits; urlsplit's stripping of leading controls and spaces and its removal of tabs
# and line breaks therefore never come into play.

SPLIT_CASES = [
    "https://www.bilibili.com/video/BV1GJ411x7h7?p=1#t",
    "HTTPS://User:Pw@Host.EXAMPLE:0443/P?Q#F",
    "https://[::1]:443/x",
    "https://[::1]junk:443/x",
    "https://a]@[::1/x",
    "https://a[b]c",
    "https://]a[",
    "https://[fe80::1%ZoNe]/",
    "https://[fe80::1%[x]/",
    "https://[fe80::1%]/",
    "https://[fe80::1%a%b]/",
    "https://Host%ZoNe/",
    "https://[v1.x]/",
    "https://[V1.x]/",
    "https://[v.x]/",
    "https://[v1.]/",
    "https://[vg.x]/",
    "https://[1.2.3.4]/",
    "https://[::ffff:1.2.3.4]/",
    "https://[::ffff:01.2.3.4]/",
    "https://[::ffff:1.2.3]/",
    "https://[1:2:3:4:5:6:1.2.3.4]/",
    "https://[1:2:3:4:5:6:7:1.2.3.4]/",
    "https://[1:2:3:4:5:6:7:8]/",
    "https://[1:2:3:4:5:6:7:8:9]/",
    "https://[1:2:3:4:5:6:7::]/",
    "https://[::2:3:4:5:6:7:8]/",
    "https://[1::2::3]/",
    "https://[1:2:3:4::5:6:7:8]/",
    "https://[1:2:3:4::5:6:1.2.3.4]/",
    "https://[1:2:3::5:6:1.2.3.4]/",
    "https://[:1:2:3:4:5:6:7]/",
    "https://[1:2:3:4:5:6:7:]/",
    "https://[::]/",
    "https://[:::]/",
    "https://[12345::]/",
    "https://[\uff11::]/",
    "https://[]/",
    "https://\u2100.com/",
    "https://a\uff20b.com/",
    "https://\u212a\u0130\u03a3/",
    "https://\u03bf\u03b4\u039f\u03a3.gr/",
    "https://\u2a74/",
    "https://\u00bd/",
    "1https://x/y",
    "h.t+t-p://x",
    "\u00e9t\u00e9://x",
    ":x",
    "x:",
    "x://",
    "//",
    "///x",
    "?#",
    "#?",
    "a#b?c",
    "https://x?y#z/w",
    "https://x#y?z",
    "https:x/y:z",
    "",
]


@pytest.mark.parametrize("value", SPLIT_CASES)
def test_split_cases(value):
    assert _split_url(value) == split_oracle(value)


def _interesting_chars():
    """Non-ASCII characters that lower-case or NFKC-normalise to something else."""
    out = []
    for cp in range(0x80, 0x110000):
        c = chr(cp)
        if 0xD800 <= cp <= 0xDFFF or c.isspace():
            continue
        if c.lower() != c or not unicodedata.is_normalized("NFKC", c):
            out.append(c)
    return out


def test_split_each_character_in_the_host():
    wrong = [f"U+{ord(c):04X}" for c in _interesting_chars()
             if _split_url(f"https://A{c}b/") != split_oracle(f"https://A{c}b/")]
    assert wrong == []


screened_chars = st.characters(exclude_categories=("Cs", "Cc", "Zs", "Zl", "Zp")).filter(lambda c: not c.isspace())
marks = st.sampled_from(list(":/?#[]@%.+-vV0fF") + ["\u2100", "\uff20", "\uff1a", "\uff0f", "\ufe56", "\u2047",
                                                    "\u2a74", "\u212a", "\u0130", "\u03a3", "\u017f"])
chunks = st.sampled_from(["//", "::", "https:", "HTTP:", "[::1]", "[v1.x]", "1.2.3.4", "%eth0", ":443", "@",
                          "www.bilibili.com", "xhslink.com"])
loose_text = st.lists(st.one_of(marks, chunks, screened_chars), max_size=30).map("".join)

hextet_ish = st.sampled_from(["", "", "0", "1", "ffff", "FFFF", "abcd", "12345", "g", "1.2.3.4", "01.2.3.4",
                              "256.1.1.1", "1.2.3", "1.2.3.4.5", "\uff11"])
ipv6_ish = st.tuples(st.lists(hextet_ish, max_size=11).map(":".join),
                     st.sampled_from(["", "", "%eth0", "%", "%a%b", "%[x"])).map("".join)
bracketed = st.one_of(
    ipv6_ish.map(lambda s: f"[{s}]"),
    st.ip_addresses(v=6).map(lambda a: f"[{a}]"),
    st.ip_addresses(v=6).map(lambda a: f"[{a.exploded}]"),
    st.ip_addresses(v=4).map(lambda a: f"[::ffff:{a}]"),
    st.sampled_from(["[v1.x]", "[V1.x]", "[v.x]", "[vff.]", "[v1a.\u540d]", "[", "]", "][", "[[::1]]"]),
)
host_ish = st.one_of(st.sampled_from(["", "www.bilibili.com", "BiliBili.COM", "\u212auaishou.com", "xn--fsq.com",
                                      "127.0.0.1", "a%B", "\u0130\u03a3.\u03a3"]),
                     bracketed, st.lists(st.one_of(marks, screened_chars), max_size=8).map("".join))
structured = st.tuples(
    st.sampled_from(["https:", "HTTPS:", "http:", "h1+.-:", "1h:", "\u00e9:", ""]),
    st.sampled_from(["//", "//", "/", ""]),
    st.sampled_from(["", "", "@", "u@", "u:p@", "a@b@", "[x]@"]),
    host_ish,
    st.sampled_from(["", "", ":", ":443", ":0443", ":65536", ":x", ":1:2", ":\u0664", "junk:1"]),
    loose_text,
).map("".join)


@settings(max_examples=1000)
@given(st.one_of(structured, loose_text))
@example("https://[::1]@x")
@example("https://x@[::1]junk:443:5/p")
def test_split_agrees_with_urlsplit(value):
    expected = split_oracle(value)
    assert _split_url(value) == expected
    if expected is None:
        assert not any(_valid_link(p, value) for p in [*ROWS, "baijiahao"])


# ---- _valid_link against the model ------------------------------------------------------------
# Links are drawn per platform from near-misses of its own shape, so both answers come up often.

ALNUM = "0123456789abcdefxyzABCDEFXYZ"


def chars(alphabet, least=0, most=12):
    return st.text(alphabet=alphabet, min_size=least, max_size=most)


def joined(*parts):
    return st.tuples(*parts).map("".join)


def pick(*options):
    return st.sampled_from(options)


def mostly(usual, *others):
    """usual about six times in seven."""
    return st.sampled_from((usual,) * (2 * len(others)) + others)


def id_run(alphabet, near_miss_alphabet, least=1, most=8):
    return st.one_of(chars(alphabet, least, most), chars(near_miss_alphabet, 0, most))


final = mostly("", "/", "//")
digits = id_run("0123456789", "0123456789a\uff11")
WORK_PATHS = {
    "bilibili": joined(mostly("/video/BV", "/video/bv", "/video/"),
                       st.one_of(chars(ALNUM, 10, 10), chars(ALNUM + "_", 9, 11)), final),
    "douyin": joined(mostly("/video/", "/note/", "/user/", "/video"), digits, final),
    "kuaishou": joined(mostly("/short-video/", "/short_video/"), id_run(ALNUM + "_-", ALNUM + "_-."), final),
    "tencent": joined(mostly("/sph/", "/sph", "/SPH/"), id_run(ALNUM + "_-", ALNUM + "_-~"), final),
    "weibo": joined(mostly("/tv/show/1034:", "/tv/show/1035:", "/tv/show/1034"), digits, final),
    "tk": joined(mostly("/@", "/"), id_run("ab.\u540d@%", "ab/"), mostly("/video/", "/photo/", "/video"), digits, final),
    "xiaohongshu": st.one_of(
        joined(pick("/explore/", "/discovery/item/", "/item/", "/discovery/"), id_run("0123456789abcdefABCDEF", "0fg"), final),
        joined(pick("/a/", "/", "/b/", "/a"), id_run(ALNUM, ALNUM + "_", 0), final)),
    "baijiahao": mostly("/s", "/s/", "/S", ""),
    "unknown": pick("/video/BV1GJ411x7h7", "/s"),
}
WORK_HOSTS = {
    "bilibili": ["bilibili.com", "www.bilibili.com"],
    "douyin": ["douyin.com", "www.douyin.com"],
    "kuaishou": ["kuaishou.com", "www.kuaishou.com", "\u212auaishou.com"],
    "tencent": ["channels.weixin.qq.com"],
    "weibo": ["weibo.com", "www.weibo.com"],
    "tk": ["tiktok.com", "www.tiktok.com"],
    "xiaohongshu": ["xiaohongshu.com", "www.xiaohongshu.com", "xhslink.com"],
    "baijiahao": ["baijiahao.baidu.com"],
    "unknown": ["www.bilibili.com", "baijiahao.baidu.com"],
}
OTHER_HOSTS = ["", "[::1]", "127.0.0.1", "m.bilibili.com", "v.douyin.com", "www.channels.weixin.qq.com", "m.weibo.cn",
               "www.xhslink.com", "baidu.com", "bilibili.com.", "xhslink.com", "www.xiaohongshu.com"]
query_piece = st.one_of(joined(mostly("id=", "ID=", "%69d=", "id"), id_run("0123456789", "0123456789a%+", 0, 3)),
                        pick("", "x=1", "id=%31%32", "id=%E4%B8%80", "id=\uff11"))
link_query = st.one_of(st.just(""), joined(st.just("?id="), chars("0123456789", 1, 5), mostly("", "&x=1", "&id=2")),
                       st.lists(query_piece, max_size=3).map(lambda ps: "?" + "&".join(ps)))


def link_for(platform):
    host = st.sampled_from(WORK_HOSTS[platform])
    host = st.one_of(host, host, host.map(str.upper), st.sampled_from(OTHER_HOSTS))
    return joined(mostly("https://", "HTTPS://", "http://", "https:", "//"),
                  mostly("", "@", "u:p@"),
                  host,
                  mostly("", ":", ":443", ":0443", ":80", ":65536", ":44x"),
                  WORK_PATHS[platform],
                  link_query,
                  mostly("", "#", "#x", "#?id=1", " "))


@settings(max_examples=1000)
@given(st.sampled_from(sorted(WORK_PATHS)).flatmap(lambda p: st.tuples(st.just(p), link_for(p))))
@example(("xiaohongshu", "https://xhslink.com/a/"))
@example(("tk", "https://www.tiktok.com/@a/video/1/video/2"))
def test_valid_link_agrees_with_model(case):
    platform, value = case
    assert _valid_link(platform, value) is link_model(platform, value)
