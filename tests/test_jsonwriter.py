"""The document's JSON text against json.dumps(..., ensure_ascii=False), the oracle.

Values reach the writer the way they do in use: recorded as the history of a "history_list"
report and written by run_with_json, so the whole line is compared with json.dumps of the same
document.
"""

import contextlib
import io
import json
import math
import sys
from decimal import Decimal

import pytest
from hypothesis import given, settings, strategies as st

from publish.output import _report, record_history, run_with_json


def document_of(value):
    return {"schema_version": 1, "mode": "history_list", "run_id": None, "planned": [], "exit_code": 0,
            "summary": {"success": 0, "failed": 0}, "results": [], "errors": [], "history": value}


def expected(value):
    return json.dumps(document_of(value), ensure_ascii=False) + "\n"


def command(value):
    return lambda: record_history(value, "history_list") or 0


def written(value):
    """What run_with_json prints when sys.stdout is an in-memory text stream."""
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        assert run_with_json(command(value)) == 0
    return out.getvalue()


def written_bytes(value, errors="strict"):
    """What reaches the bytes under a UTF-8 text stream (the stream kamo normally has)."""
    raw = io.BytesIO()
    out = io.TextIOWrapper(raw, encoding="utf-8", errors=errors)
    with contextlib.redirect_stdout(out):
        assert run_with_json(command(value)) == 0
    out.flush()
    return raw.getvalue()


def refusal(value, same_text=True):
    """The type of what json.dumps raises; the writer must raise the same (with the same text
    unless told otherwise) and write nothing."""
    with pytest.raises(Exception) as theirs:
        json.dumps(document_of(value), ensure_ascii=False)
    out = io.StringIO()
    with contextlib.redirect_stdout(out), pytest.raises(Exception) as ours:
        run_with_json(command(value))
    assert type(ours.value) is type(theirs.value)
    if same_text:
        assert str(ours.value) == str(theirs.value)
    assert out.getvalue() == ""
    assert _report.get() is None
    return type(ours.value)


# Subclasses whose own text forms must not be used: json reads the underlying value.
class Str(str):
    def __str__(self):
        return "wrong"

    __repr__ = __str__


class Int(int):
    def __repr__(self):
        return "wrong"

    __str__ = __repr__


class Float(float):
    def __repr__(self):
        return "wrong"

    __str__ = __repr__


class List(list):
    pass


class Tuple(tuple):
    pass


class Dict(dict):
    pass


class Backwards(list):
    """json iterates list subclasses: this one is written back to front."""

    def __iter__(self):
        return reversed(list(super().__iter__()))


class Doubled(tuple):
    def __iter__(self):
        for v in super().__iter__():
            yield v
            yield v


class SortedItems(dict):
    """json takes the members of dict subclasses from items()."""

    def items(self):
        return sorted(super().items(), key=lambda kv: str(kv[0]))


SURROGATES = st.characters(min_codepoint=0xD800, max_codepoint=0xDFFF, exclude_categories=())
TEXT = st.text(st.one_of(st.characters(exclude_categories=()), SURROGATES, st.sampled_from("\"\\\n\t\x00\x1f\x7f")))
KEYS = st.one_of(TEXT, TEXT.map(Str), st.integers(), st.integers(-10**40, 10**40).map(Int), st.floats(),
                 st.floats().map(Float), st.booleans(), st.none())
SCALARS = st.one_of(
    st.none(), st.booleans(),
    st.integers(), st.integers(-10**60, 10**60), st.integers(-10**30, 10**30).map(Int),
    st.floats(), st.floats().map(Float),
    TEXT, TEXT.map(Str),
)
VALUES = st.recursive(SCALARS, lambda inner: st.one_of(
    st.lists(inner, max_size=6),
    st.lists(inner, max_size=6).map(tuple),
    st.lists(inner, max_size=6).map(List),
    st.lists(inner, max_size=6).map(Tuple),
    st.lists(inner, max_size=6).map(Backwards),
    st.lists(inner, max_size=6).map(Doubled),
    st.dictionaries(KEYS, inner, max_size=6),
    st.dictionaries(KEYS, inner, max_size=6).map(Dict),
    st.dictionaries(TEXT, inner, max_size=6).map(SortedItems),
), max_leaves=40)


@settings(max_examples=400, deadline=None)
@given(VALUES)
def test_writes_what_json_dumps_writes(value):
    assert written(value) == expected(value)


@settings(max_examples=200, deadline=None)
@given(VALUES)
def test_bytes_under_a_utf8_stream_are_what_print_would_write(value):
    text = expected(value)
    try:
        want = text.encode("utf-8")
    except UnicodeEncodeError:
        # Lone surrogates: the stream refuses them as print(json.dumps(...)) would be refused...
        with pytest.raises(UnicodeEncodeError):
            written_bytes(value)
        # ...and a stream that lets them through gets the same bytes print would give it.
        assert written_bytes(value, "surrogatepass") == text.encode("utf-8", "surrogatepass")
    else:
        assert written_bytes(value) == want


@pytest.mark.parametrize("value", [
    "", "中文标题", "😀 non-BMP 𠀀", "\ud83d\ude00 as two code units", "\udfff\ud800 reversed",
    "ascii only", "é latin-1", "tab\tnewline\nquote\"backslash\\", "".join(map(chr, range(0x20))) + "\x7f\x85\u2028",
    "x" * 100_000, "中" * 70_000 + "\n", "😀" * 20_000, "é" * 50_000 + '"',
    0, -1, 2**63 - 1, -2**63, 2**63, -2**63 - 1, 10**300, -10**4000,
    0.0, -0.0, 1e16, 1e15, 1e-5, 1e-4, 123456789.125, 5e-324, 1.7976931348623157e308,
    math.nan, math.inf, -math.inf, 0.1 + 0.2,
    True, False, None,
    {1: "int", 1.5: "float", True: "bool", None: "none", math.nan: "nan", -math.inf: "-inf", 10**30: "big"},
    {False: 0, 0.0: 1, -0.0: 2},
    Dict(), List(), Tuple(), Backwards(), {"": {}}, [[], {}, ()],
    {Str("k"): Int(5), Int(7): Float(2.5), Float(0.5): Str("v")},
], ids=lambda v: type(v).__name__)
def test_cases(value):
    assert written(value) == expected(value)


def test_dict_subclass_with_an_empty_table_is_empty_whatever_items_says():
    class Phantom(dict):
        def items(self):
            return [("a", 1)]

    assert written([Phantom(), Phantom(x=0)]) == expected([Phantom(), Phantom(x=0)])
    assert '"history": [{}, {"a": 1}]}' in written([Phantom(), Phantom(x=0)])


def test_items_may_be_any_iterable_of_pairs():
    class Generated(dict):
        def items(self):
            return ((k, v) for k, v in [("b", 2), ("a", 1)])

    assert written(Generated(z=0)) == expected(Generated(z=0))


class NotPairs(dict):
    def items(self):
        return [("a", 1, 2)]


class Unsized(dict):
    def items(self):
        return 5


class Broken(list):
    def __iter__(self):
        raise KeyError("boom")


class Person:
    pass


class Disguised:
    @property
    def __class__(self):
        return Decimal


def circular_list():
    a = [1]
    a.append([a])
    return a


def circular_dict():
    d = {"a": 1}
    d["self"] = {"again": d}
    return d


def circular_subclass():
    d = Dict(a=1)
    d["b"] = List([d])
    return d


@pytest.mark.parametrize("value, kind", [
    ({1, 2}, TypeError), (b"bytes", TypeError), (bytearray(b"x"), TypeError), (object(), TypeError),
    (Person(), TypeError), (Disguised(), TypeError), (1j, TypeError), (Decimal("1.5"), TypeError),
    ([1, "a", {"k": frozenset()}], TypeError), (range(3), TypeError),
    ({(1, 2): "tuple key"}, TypeError), ({"ok": 1, b"k": 2}, TypeError), ({frozenset(): 1}, TypeError),
    (circular_list(), ValueError), (circular_dict(), ValueError), (circular_subclass(), ValueError),
    (NotPairs(x=1), ValueError), (Unsized(x=1), TypeError), (Broken([1]), KeyError),
    (10**5000, ValueError), ({10**5000: 1}, ValueError),
], ids=lambda v: v.__name__ if isinstance(v, type) else type(v).__name__)
def test_refusals_are_json_dumps_refusals(value, kind):
    assert refusal(value) is kind


def test_the_same_object_twice_is_not_a_cycle():
    shared = {"k": [1, 2]}
    value = [shared, shared, {"a": shared}]
    assert written(value) == expected(value)


def nested(depth, make):
    value = "leaf"
    for _ in range(depth):
        value = make(value)
    return value


@pytest.mark.parametrize("make", [lambda v: [v], lambda v: {"k": v}, lambda v: (v,), lambda v: List([v]),
                                  lambda v: Dict(k=v)])
def test_depth_100000_raises_recursion_error_without_a_crash(make):
    value = nested(100_000, make)
    # Where the limit is met depends on the frames above each writer, and so may its wording.
    assert refusal(value, same_text=False) is RecursionError


# How deep C code such as json's encoder may nest. Up to 3.11 that is the limit
# sys.setrecursionlimit sets (json.dumps itself recurses on the C stack there and crashes long
# before 100_000 levels; the writer does not). From 3.12 on C code has a fixed limit of its own
# that setrecursionlimit does not raise: about 1500 levels on 3.12 and 10000 on 3.13.
C_DEPTH_FOLLOWS_RECURSION_LIMIT = sys.version_info < (3, 12)


@contextlib.contextmanager
def recursion_limit(limit):
    old = sys.getrecursionlimit()
    sys.setrecursionlimit(limit)
    try:
        yield
    finally:
        sys.setrecursionlimit(old)


def deepest_json_dumps(most):
    """The deepest list nesting, up to most levels, that json.dumps writes here, found by halving.
    Only where C code has a limit of its own: otherwise json.dumps may crash on the way."""
    low, high = 0, most  # json.dumps writes low levels; more than high it refuses
    while low < high:
        middle = (low + high + 1) // 2
        try:
            json.dumps(nested(middle, lambda v: [v]))
        except RecursionError:
            high = middle - 1
        else:
            low = middle
    return low


def test_depth_100000_is_written_when_the_recursion_limit_allows_it():
    # The writer keeps its own stack: only the interpreter's limit bounds the depth.
    value = nested(100_000, lambda v: [v])
    with recursion_limit(200_000):
        if C_DEPTH_FOLLOWS_RECURSION_LIMIT:
            line = written(value)
            assert line == expected([]).replace('"history": []',
                                                '"history": ' + "[" * 100_000 + '"leaf"' + "]" * 100_000)
        else:
            # The limit does not allow it: the writer goes as deep as json.dumps, give or take
            # the few frames between them, and no deeper.
            deepest = deepest_json_dumps(100_000)
            assert 1_000 < deepest < 100_000
            within = nested(deepest - 10, lambda v: [v])
            assert written(within) == expected(within)
            assert refusal(nested(deepest + 10, lambda v: [v]), same_text=False) is RecursionError
            assert refusal(value, same_text=False) is RecursionError


def test_a_list_subclass_emptying_its_parent_dict_sees_the_dict_as_it_was():
    parent = {}

    class Clearing(list):
        def __iter__(self):
            parent.clear()
            parent["late"] = "added"
            return super().__iter__()

    parent.update(a=Clearing([1]), b="two", c={"three": 3})
    want = expected({"a": [1], "b": "two", "c": {"three": 3}})
    parent_copy = dict(parent)
    assert written(parent) == want
    if sys.version_info < (3, 12):
        parent.clear()
        parent.update(parent_copy)
        assert expected(parent) == want  # json.dumps reads it the same way
    # From 3.12 on json.dumps walks the dict in place: it writes {"a": [1]} and goes on with
    # members the clearing freed (3.13.0 crashes inside json.dumps, 3.12.1 later in the
    # collector), so it is not asked there.


def test_a_subclass_freeing_what_is_being_written_does_not_crash():
    # Each of these drops the last outside reference to objects still being written.
    holder = []

    class Dropping(dict):
        def items(self):
            holder.clear()
            return [("k", [{"deep": "value" * 50}] * 3)]

    class Emptying(list):
        def __iter__(self):
            holder.clear()
            return iter(["x", {"y": "z"}])

    holder.extend([Dropping(a=1), Emptying([0]), {"after": "gone"}])
    line = written(holder)
    # The list is read again at each step, as json's encoder reads it: the first member emptied it.
    assert json.loads(line)["history"] == [{"k": [{"deep": "value" * 50}] * 3}]
    holder.extend([{"kept": 1}, Emptying([0]), {"after": "gone"}])
    assert json.loads(written(holder))["history"] == [{"kept": 1}, ["x", {"y": "z"}]]


def test_surrogate_text_gives_json_dumps_str():
    value = {"\ud800key": ["\udc00", "a\ud83d\ude00b", "\U0001f600"]}
    assert written(value) == expected(value)
    assert written_bytes(value, "surrogatepass") == expected(value).encode("utf-8", "surrogatepass")
