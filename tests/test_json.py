import codecs
import json

import pytest
from hypothesis import given, settings, strategies as st

from oracles import MAX_DEPTH, REFUSED, agrees, has_surrogate, refusal, shape
from publish import runlens

ENCODINGS = ["utf-8", "utf-8-sig", "utf-16", "utf-16-le", "utf-16-be", "utf-32", "utf-32-le", "utf-32-be"]


class Refused:
    def __init__(self, cause=ValueError, text=None):
        self.cause, self.text = cause, text


DOC = '{"k": ["é😀", 1, null], "a": {}}'
DOC_VALUE = {"k": ["é😀", 1, None], "a": {}}

CASES = [
    # Repeated member names, at the top and deep down.
    ('{"a": 1, "a": 2}', Refused(text="duplicate record field"), "dup-top"),
    ('{"a": 1, "b": 2, "a": 1}', Refused(text="duplicate record field"), "dup-top-same-value"),
    ('[0, {"x": {"a": [], "a": []}}]', Refused(text="duplicate record field"), "dup-nested"),
    ('{"a": {"a": 1}, "b": {"a": 1}}', {"a": {"a": 1}, "b": {"a": 1}}, "same-name-other-objects"),
    ('{"\\u0061": 1, "a": 2}', Refused(text="duplicate record field"), "dup-via-escape"),
    # Non-finite constants fail with their own text.
    ("[NaN]", Refused(text="NaN"), "nan"),
    ("[1, Infinity]", Refused(text="Infinity"), "infinity"),
    ('[{"a": -Infinity}]', Refused(text="-Infinity"), "minus-infinity"),
    ("NaN", Refused(text="NaN"), "nan-top"),
    # Numbers.
    ("1e5", 100000.0, "exponent-is-float"),
    ("1E+2", 100.0, "upper-exponent"),
    ("1.5", 1.5, "fraction"),
    ("1e400", float("inf"), "overflow-inf"),
    ("-1e400", float("-inf"), "overflow-minus-inf"),
    ("1e-400", 0.0, "underflow-zero"),
    ("-1e-400", -0.0, "underflow-minus-zero"),
    ("4e-324", 5e-324, "subnormal"),
    # A mantissa longer than the exponent's cut-off still counts against the exponent.
    ("1" + "0" * 10**7 + "e-100000000000", 0.0, "long-mantissa-huge-negative-exponent"),
    ("-0." + "0" * 10**7 + "1e100000000000", float("-inf"), "long-fraction-huge-exponent"),
    ("-0", 0, "minus-zero-int"),
    ("-0.0", -0.0, "minus-zero-float"),
    ("9223372036854775807", 2**63 - 1, "int64-max"),
    ("-9223372036854775808", -(2**63), "int64-min"),
    ("9223372036854775808", 2**63, "beyond-int64"),
    ("-9223372036854775809", -(2**63) - 1, "beyond-int64-negative"),
    (str(7**200), 7**200, "big-int"),
    (str(-(7**200)), -(7**200), "big-int-negative"),
    ("01", Refused(), "leading-zero"),
    ("-01", Refused(), "leading-zero-negative"),
    ("1.", Refused(), "bare-point"),
    (".5", Refused(), "no-integer-part"),
    ("-", Refused(), "lone-minus"),
    ("+1", Refused(), "plus-sign"),
    ("1e", Refused(), "bare-exponent"),
    ("1e+", Refused(), "signed-bare-exponent"),
    ("0x10", Refused(), "hex"),
    ("- 1", Refused(), "space-after-minus"),
    # Whitespace: only space, tab, LF and CR.
    (" \t\n\r[1 ,\t2]\r\n ", [1, 2], "json-whitespace"),
    ("\f1", Refused(), "leading-form-feed"),
    ("1\f", Refused(), "trailing-form-feed"),
    ("\v1", Refused(), "vertical-tab"),
    ("\xa01", Refused(), "leading-nbsp"),
    ("1\xa0", Refused(), "trailing-nbsp"),
    ("[1,\u20282]", Refused(), "line-separator"),
    # Strings.
    ('"a\x01b"', Refused(), "control-char"),
    ('"\x1f"', Refused(), "control-char-1f"),
    ('"\t"', Refused(), "raw-tab-in-string"),
    ('"\x7f\\u0000\\/"', "\x7f\x00/", "del-nul-solidus"),
    ('"\\ud800"', Refused(), "lone-high-escape"),
    ('"\\udc00"', Refused(), "lone-low-escape"),
    ('"\\ud800\\u0041"', Refused(), "high-then-not-low"),
    ('"\\udc00\\ud800"', Refused(), "reversed-pair"),
    ('"\\ud83d\\ude00"', "😀", "escaped-pair"),
    ('{"\\ud800": 1}', Refused(), "lone-surrogate-key"),
    ('"\ud800"', Refused(), "raw-lone-surrogate-text"),
    ('"\ud83d\ude00"', Refused(), "raw-surrogate-code-points-text"),
    ('"\\x41"', Refused(), "bad-escape"),
    ('"\\u12"', Refused(), "short-u-escape"),
    ('"abc', Refused(), "unterminated"),
    # Document shape.
    ('"x"', "x", "top-string"),
    ("true", True, "top-true"),
    ("null", None, "top-null"),
    ("", Refused(), "empty"),
    ("  ", Refused(), "blank"),
    ("1 2", Refused(), "extra-data"),
    ("[1,]", Refused(), "trailing-comma"),
    ('{"a": 1,}', Refused(), "trailing-comma-object"),
    ("{'a': 1}", Refused(), "single-quotes"),
    ("[1", Refused(), "unclosed"),
    ("tru", Refused(), "cut-literal"),
    ('{"b": 1, "a": [], "c": {"z": 0, "y": 1}}', {"b": 1, "a": [], "c": {"z": 0, "y": 1}}, "member-order"),
    # Byte-order marks and encodings.
    ("\ufeff[1]", Refused(), "bom-in-str"),
    (b"\xef\xbb\xbf[1]", [1], "utf8-bom-bytes"),
    (b"\xef\xbb\xbf\xef\xbb\xbf[1]", Refused(), "two-utf8-boms"),
    (b"", Refused(), "empty-bytes"),
    (bytearray(b'{"a": 1}'), {"a": 1}, "bytearray"),
    (b'["\xff"]', Refused(), "invalid-utf8"),
    (b'["\xc3"]', Refused(), "truncated-utf8"),
    (b'["\xc0\xaf"]', Refused(), "overlong-utf8"),
    (b'["\xf4\x90\x80\x80"]', Refused(), "beyond-unicode-utf8"),
    (b'["\xed\xa0\x80"]', Refused(), "encoded-surrogate-utf8"),
    (b"\xff\xfe" + b"[\x001\x00]", Refused(), "utf16-bom-odd-length"),
    (b"[\x001\x00]", Refused(), "utf16le-odd-length"),
    (b"\x00[\x001\x00", Refused(), "utf16be-odd-length"),
    (b"\x00\x00\x00[\x00\x00\x00", Refused(), "utf32be-cut"),
    ('"\ud800"'.encode("utf-16-le", "surrogatepass"), Refused(), "utf16-lone-surrogate"),
    (b'\x00\x00\x00"\x00\x11\x00\x00\x00\x00\x00"', Refused(), "utf32-beyond-unicode"),
    # Only text and bytes are JSON documents.
    (None, Refused(TypeError), "none"),
    (5, Refused(TypeError), "int"),
    (1.5, Refused(TypeError), "float"),
    ([], Refused(TypeError), "list"),
]


@pytest.mark.parametrize("data, expected", [pytest.param(d, e, id=i) for d, e, i in CASES])
def test_cases(data, expected):
    if isinstance(expected, Refused):
        cause = refusal(data)
        assert type(cause) is expected.cause
        if expected.text is not None:
            assert str(cause) == expected.text
    else:
        assert shape(runlens._json(data)) == shape(expected)


# U+0100 right after the quote gives UTF-16-LE its "XX 00 00 XX" start.
@pytest.mark.parametrize("doc, value", [
    ("1", 1), ('"é"', "é"), ('"\u0100"', "\u0100"), ("[]", []), (DOC, DOC_VALUE)])
@pytest.mark.parametrize("encode", [
    lambda s: s.encode("utf-8"),
    lambda s: s.encode("utf-8-sig"),
    lambda s: s.encode("utf-16"),
    lambda s: codecs.BOM_UTF16_LE + s.encode("utf-16-le"),
    lambda s: codecs.BOM_UTF16_BE + s.encode("utf-16-be"),
    lambda s: s.encode("utf-16-le"),
    lambda s: s.encode("utf-16-be"),
    lambda s: s.encode("utf-32"),
    lambda s: codecs.BOM_UTF32_LE + s.encode("utf-32-le"),
    lambda s: codecs.BOM_UTF32_BE + s.encode("utf-32-be"),
    lambda s: s.encode("utf-32-le"),
    lambda s: s.encode("utf-32-be"),
], ids=["utf8", "utf8-bom", "utf16-bom", "utf16le-bom", "utf16be-bom", "utf16le", "utf16be",
        "utf32-bom", "utf32le-bom", "utf32be-bom", "utf32le", "utf32be"])
def test_encodings_detected_like_json_loads(doc, value, encode):
    data = encode(doc)
    assert shape(agrees(data)) == shape(value)


def nested(depth, kind):
    text = "0"
    for level in range(depth):
        array = kind == "array" or (kind == "mixed" and level % 2)
        text = f"[{text}]" if array else f'{{"k": {text}}}'
    return text


@pytest.mark.parametrize("kind", ["array", "object", "mixed"])
@pytest.mark.parametrize("depth", [MAX_DEPTH - 1, MAX_DEPTH, MAX_DEPTH + 1])
def test_nesting_limit(kind, depth):
    text = nested(depth, kind)
    if depth > MAX_DEPTH:
        assert type(refusal(text)) is ValueError
        return
    v = runlens._json(text)
    for _ in range(depth):
        v = v[0] if isinstance(v, list) else v["k"]
    assert v == 0 and type(v) is int


@pytest.mark.parametrize("kind", ["array", "object", "mixed"])
@pytest.mark.parametrize("depth", [511, 512, 513])
def test_python_values_nest_as_deep_as_decoded_ones(kind, depth):
    text = nested(depth, kind)
    value = json.loads(text)
    if depth > 512:
        with pytest.raises(ValueError, match="^value nested too deeply$"):
            runlens._dumps(value)
        return
    assert runlens._dumps(value) == text


@pytest.mark.parametrize("data", [
    "[" * 100000,
    "[" * 100000 + "]" * 100000,
    '{"a": ' * 100000 + "1" + "}" * 100000,
    ("[" * 100000 + "]" * 100000).encode("utf-16"),
], ids=["open", "balanced", "objects", "utf16"])
def test_very_deep_documents_fail_cleanly(data):
    assert type(refusal(data)) is ValueError


@pytest.mark.parametrize("limit", [0, 640, 4300])
@pytest.mark.parametrize("sign", ["", "-"])
@pytest.mark.parametrize("container", ["{}", '{{"n": [{}]}}'])
@pytest.mark.parametrize("as_bytes", [False, True])
def test_long_integers_follow_the_int_digit_limit(digit_limit, limit, sign, container, as_bytes):
    digit_limit(limit)
    for digits in (limit or 5000) - 1, limit or 5000, (limit or 5000) + 1:
        text = container.format(sign + "7" * digits)
        data = text.encode() if as_bytes else text
        expected = agrees(data)
        assert (expected is REFUSED) == bool(limit and digits > limit)


@pytest.mark.parametrize("limit", [640, 4300])
@pytest.mark.parametrize("sign", ["", "-"])
def test_long_integer_refusal_reads_as_json_loads_refusal(digit_limit, limit, sign):
    digit_limit(limit)
    text = f'[{sign}{"7" * (limit + 1)}]'
    with pytest.raises(ValueError) as theirs:
        json.loads(text)
    assert str(refusal(text)) == str(theirs.value)


# Values json.dumps can write and json.loads reads back exactly.
SURROGATES = st.integers(0xD800, 0xDFFF).map(chr)


@st.composite
def member_text(draw):
    """Short text; one in ten holds a surrogate code point, which dumps happily writes."""
    s = draw(st.text(max_size=8))
    if draw(st.integers(0, 9)) == 0:
        at = draw(st.integers(0, len(s)))
        s = s[:at] + draw(SURROGATES) + s[at:]
    return s


TEXT = member_text()
INTS = st.integers() | st.integers(min_value=-(10**80), max_value=10**80)
VALUES = st.recursive(
    st.none() | st.booleans() | INTS | st.floats(allow_nan=False, allow_infinity=False) | TEXT,
    lambda kids: st.lists(kids, max_size=5) | st.dictionaries(TEXT, kids, max_size=5),
    max_leaves=25,
)


@settings(deadline=None, max_examples=300)
@given(VALUES)
def test_dumped_values_read_back_like_json_loads(v):
    for ensure_ascii in True, False:
        text = json.dumps(v, ensure_ascii=ensure_ascii)
        for data in [text] + [text.encode(enc, "surrogatepass") for enc in ENCODINGS]:
            expected = agrees(data)
            if not has_surrogate(v):
                assert shape(expected) == shape(v)


TOKENS = list('{}[]:,"\\/ \t\n\r\f\x00\x01\x1f0123456789-+.eEé\ufeff\u2028😀\ud800\udc00') + [
    "true", "false", "null", "NaN", "Infinity", "-Infinity", '"a"', '"a":', "\\u", "d83d", "de00", "00e9"]
JSONISH = st.lists(st.sampled_from(TOKENS), max_size=30).map("".join)


@st.composite
def edited(draw):
    """A dumped value with a token spliced in: mostly near-valid documents."""
    text = json.dumps(draw(VALUES), ensure_ascii=draw(st.booleans()))
    at = draw(st.integers(0, len(text)))
    cut = draw(st.integers(0, 2))
    return text[:at] + draw(st.sampled_from(TOKENS)) + text[at + cut:]


TEXTS = st.text() | st.text(st.characters() | SURROGATES, max_size=5) | JSONISH | edited()
PREFIXES = [b"", codecs.BOM_UTF8, codecs.BOM_UTF16_LE, codecs.BOM_UTF16_BE, codecs.BOM_UTF32_LE,
            codecs.BOM_UTF32_BE, b"\x00", b"\x00\x00"]
BYTES = (
    st.binary()
    | st.builds(lambda p, b: p + b, st.sampled_from(PREFIXES), st.binary())
    | st.builds(lambda t, enc: t.encode(enc, "surrogatepass"),
                TEXTS | VALUES.map(json.dumps), st.sampled_from(ENCODINGS))
    | st.builds(lambda t, enc, p: p + t.encode(enc, "surrogatepass"),
                TEXTS, st.sampled_from(ENCODINGS), st.sampled_from(PREFIXES))
)


@settings(deadline=None, max_examples=500)
@given(TEXTS)
def test_any_text_decodes_like_strict_json_loads(s):
    agrees(s)


@settings(deadline=None, max_examples=500)
@given(BYTES)
def test_any_bytes_decode_like_strict_json_loads(b):
    agrees(b)


NUMBER = r"-?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][-+]?[0-9]+)?"


@settings(deadline=None, max_examples=500)
@given(st.from_regex(NUMBER, fullmatch=True) | st.builds(
    "{}{}.{}e{}{}".format, st.sampled_from(["", "-"]), st.integers(0, 10**30), st.integers(0, 10**30),
    st.sampled_from(["", "-", "+"]), st.integers(0, 10**25)))
def test_number_text_reads_like_json_loads(text):
    assert agrees(text) is not REFUSED


FLOATS = st.floats() | st.sampled_from([
    0.0, -0.0, 5e-324, -5e-324, 2.2250738585072014e-308, 1.7976931348623157e308, 1e16, 1e-05,
    1e-4, 9999999999999998.0, 1e22, 0.1 + 0.2, float("nan"), float("inf"), float("-inf")])
ENCODABLE = st.recursive(
    st.none() | st.booleans() | INTS | FLOATS | st.text(),
    lambda kids: st.lists(kids, max_size=5) | st.lists(kids, max_size=5).map(tuple)
    | st.dictionaries(st.text(), kids, max_size=5),
    max_leaves=25,
)


@settings(deadline=None, max_examples=500)
@given(ENCODABLE)
def test_encoder_writes_what_json_dumps_writes(v):
    assert runlens._dumps(v) == json.dumps(v, ensure_ascii=False)


SHORT_ESCAPES = {8: "\\b", 9: "\\t", 10: "\\n", 12: "\\f", 13: "\\r"}


@pytest.mark.parametrize("value, text", [
    (1.5, "1.5"),
    (100000.0, "100000.0"),
    (1e16, "1e+16"),
    (1e-05, "1e-05"),
    (0.0001, "0.0001"),
    (-0.0, "-0.0"),
    (5e-324, "5e-324"),
    (1.7976931348623157e308, "1.7976931348623157e+308"),
    (float("nan"), "NaN"),
    (float("-inf"), "-Infinity"),
    (-(2**100), "-1267650600228229401496703205376"),
    ("".join(map(chr, range(0x20))) + '"\\\x7f',
     '"' + "".join(SHORT_ESCAPES.get(c, f"\\u{c:04x}") for c in range(0x20)) + '\\"\\\\\x7f"'),
    ("é😀\u2028", '"é😀\u2028"'),
    ({"b": (1, [True, None]), "a": {}}, '{"b": [1, [true, null]], "a": {}}'),
], ids=lambda p: repr(p)[:20])
def test_encoder_cases(value, text):
    assert runlens._dumps(value) == text == json.dumps(value, ensure_ascii=False)
