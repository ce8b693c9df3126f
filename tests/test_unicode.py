"""Every code point, against the running interpreter's own functions: the category escapes of
_text (unicodedata.category), and the host steps of link splitting (str.lower with the final-sigma
rule, and urlsplit's NFKC check on the network location)."""
import unicodedata

import pytest

from oracles import split_oracle, text_model
from publish.runlens import _split_url
from publish.runprint import _text

BLOCK = 0x1000
BLOCKS = range(0, 0x110000, BLOCK)


def block_chars(start):
    return [chr(cp) for cp in range(start, min(start + BLOCK, 0x110000))]


def block_id(start):
    return f"U+{start:04X}"


# ---- _text -----------------------------------------------------------------------------------


@pytest.mark.parametrize("start", BLOCKS, ids=block_id)
def test_text_of_every_code_point(start):
    chars = block_chars(start)  # lone surrogates included: a str may hold them
    wrong = [f"U+{ord(c):04X}" for c in chars if _text(c) != text_model(c)]
    assert wrong == []
    # The same characters inside strings stored one, two and four bytes wide, in a list (which
    # goes through the record form) and as map keys.
    for value in ("".join(chars), "\u65c5" + "".join(chars), "\U0001f469".join(chars), chars, dict.fromkeys(chars, 0)):
        assert _text(value) == text_model(value)


# ---- host lower-casing and the NFKC check ----------------------------------------------------

NETLOC_MARKS = "/?#@:"
# Characters that end or split a network location, or that urlsplit removes before splitting
# (_split_url is only handed screened text).
STRUCTURE = set("/?#@:[]%\t\r\n")


def brings_mark(c):
    return any(m in unicodedata.normalize("NFKC", c) for m in NETLOC_MARKS)


def sigma_contexts(c):
    """c lower-cased alone and on each side of a capital sigma, between "0"s, which are neither
    cased nor case-ignorable, so each piece decides its own sigmas."""
    return f"0{c}0{c}\u03a30A{c}\u03a30A\u03a3{c}0A\u03a3{c}A0\u03a3{c}0"


@pytest.mark.parametrize("start", BLOCKS, ids=block_id)
def test_host_of_every_code_point(start):
    chars = [c for c in block_chars(start) if c not in STRUCTURE and not "\ud800" <= c <= "\udfff"]
    plain = [c for c in chars if not brings_mark(c)]
    url = "https://" + "".join(sigma_contexts(c) for c in plain) + "/p"
    expected = split_oracle(url)
    assert expected is not None  # urlsplit takes all of them, and lower-cases the host
    if _split_url(url) != expected:
        wrong = [f"U+{ord(c):04X}" for c in plain
                 if _split_url(u := f"https://{sigma_contexts(c)}/p") != split_oracle(u)]
        assert wrong == []
    # A character that NFKC turns into a mark makes urlsplit raise, wherever it stands.
    for c in chars:
        if brings_mark(c):
            for u in (f"https://a{c}b/", f"https://{c}/", f"https://u@x{c}:443/", f"https://[::1]{c}/"):
                assert split_oracle(u) is None
                assert _split_url(u) is None, f"U+{ord(c):04X} in {u!r}"


@pytest.mark.parametrize("url", [
    # The marks themselves are taken out before normalising: a netloc that changes under NFKC but
    # only holds marks written as such passes.
    "https://u:p@\uff58.com:443/",
    "https://\u00bd@\u2460:1/",
    # Normalisation that brings in a mark through a composed or decomposed neighbour.
    "https://a\u0338\uff1a/",
    "https://\u2100\u0301/",
    "https://\ufe55x/",
    "https://\u2474/",
    # Final sigma around marks, digits, apostrophes and combining marks.
    "https://\u0130\u03a3'\u03a3.\u03a3\u0301/",
    "https://\u03a3\u00ad\u03a3\u00ad/",
    "https://x\u03a3\u03a3\u03a3/",
    "https://\u1f88\u03a3\u2163/",
])
def test_host_steps_in_context(url):
    assert _split_url(url) == split_oracle(url)


def test_lone_surrogates_in_hosts():
    # urlsplit takes them, but a stored link never holds one: the splitter refuses.
    assert all(_split_url(f"https://a{chr(cp)}b/") is None for cp in range(0xD800, 0xE000))
