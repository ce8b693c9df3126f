"""Caller values whose own code changes what is being read: a record, a TypeError or the
caller's own exception, never a crash.

Each case builds a hostile value and the plain value it must read as: every container is
read as it stood when the conversion reached it, whatever a member's code does afterwards.
"""

import contextlib
import io
import json

import pytest

from publish import runlens
from publish.runprint import _text, print_history
from stores import HistoryError, HistoryReader


class Clears(list):
    """A list that, when iterated, empties `victim` (its own parent) and shows nothing."""

    def __init__(self, victim):
        super().__init__()
        self.victim = victim

    def __iter__(self):
        self.victim.clear()
        return iter(())


class Oops(Exception):
    pass


def in_list():
    outer = []
    outer += [Clears(outer), "a" * 100]
    return outer, [[], "a" * 100]


def in_dict():
    outer = {}
    outer.update(first=Clears(outer), second="b" * 100)
    return outer, {"first": [], "second": "b" * 100}


def in_tuple_in_list():
    outer = []
    outer.append((Clears(outer), "c" * 100))
    return outer, [[[], "c" * 100]]


def in_grandparent():
    top = []
    top.append([Clears(top), "d" * 100])
    return top, [[[], "d" * 100]]


def dict_subclass():
    outer = []

    class Hostile(dict):
        def _clear(self):
            outer.clear()

        def __iter__(self):
            self._clear()
            return iter(())

        def keys(self):
            self._clear()
            return []

        def items(self):
            self._clear()
            return []

        def __getitem__(self, key):
            self._clear()
            raise KeyError(key)

    outer += [Hostile(a="e" * 100), "f" * 100]
    return outer, [{"a": "e" * 100}, "f" * 100]


def grows_parent():
    outer = []

    class Grows(list):
        def __iter__(self):
            outer.extend(["more"] * 1000)
            return iter(["x"])

    outer += [Grows(), 1]
    return outer, [["x"], 1]


def resizes_dict():
    outer = {}

    class Resizes(list):
        def __iter__(self):
            outer.update({f"k{i}": i for i in range(1000)})
            return iter(())

    outer.update(a=Resizes(), b="g" * 100)
    return outer, {"a": [], "b": "g" * 100}


def raises():
    class Raises(list):
        def __iter__(self):
            raise Oops("from the caller's code")

    return [Raises(), "h" * 100], Oops


HOSTILE = {f.__name__: f for f in [in_list, in_dict, in_tuple_in_list, in_grandparent,
                                    dict_subclass, grows_parent, resizes_dict, raises]}


def outcome(call, value):
    """What a call gives: its result and what it printed, or the kind and text it raised."""
    out = io.StringIO()
    try:
        with contextlib.redirect_stdout(out):
            result = call(value)
    except Exception as exc:  # compared, never swallowed: the test asserts on it
        if isinstance(exc, HistoryError):
            return ("raised", type(exc), exc.code, exc.message)
        return ("raised", type(exc), str(exc))
    return ("ok", result, out.getvalue())


CALLS = {
    "_text": _text,
    "_dumps": runlens._dumps,
    "print_history list": lambda v: print_history({"runs": v, "total": 1}, "history_list"),
    "print_history detail": lambda v: print_history({"run_id": "r", "items": v}, "history_detail"),
    "_decision": lambda v: HistoryReader._decision("failed", v, "bound"),
    "_identity": lambda v: HistoryReader._identity({"platforms": v}, "douyin", 2, {}, False),
    "list_runs": lambda v: HistoryReader("/nonexistent/store").list_runs(v),
    "get_run": lambda v: HistoryReader("/nonexistent/store").get_run(v),
}


@pytest.mark.parametrize("call", CALLS)
@pytest.mark.parametrize("case", HOSTILE)
def test_hostile_containers_read_as_they_stood(case, call):
    hostile, plain = HOSTILE[case]()
    got = outcome(CALLS[call], hostile)
    if plain is Oops:
        assert got == ("raised", Oops, "from the caller's code")
    else:
        assert got == outcome(CALLS[call], plain)


@pytest.mark.parametrize("case", [c for c in HOSTILE if c != "raises"])
def test_hostile_containers_against_json(case):
    hostile, plain = HOSTILE[case]()
    assert runlens._dumps(hostile) == json.dumps(plain, ensure_ascii=False)


def test_minimal_print_history_case():
    outer = []

    class Evil(list):
        def __iter__(self):
            outer.clear()
            return iter(())

    outer += [Evil(), "a" * 100]
    with pytest.raises((TypeError, KeyError)):
        print_history({"runs": outer, "total": 1}, "history_list")


# --- rows and account maps read by the test hooks -------------------------------------------

ENTRY = {"run_id": "r", "item_index": 0, "platform": "douyin", "state": "failed",
         "result": json.dumps({"success": False, "message": "x" * 100}), "retryable": 1}


def hostile_row(row, holder):
    """A mapping whose every read empties `holder` (the only other owner) and itself."""
    class Row(dict):
        def keys(self):
            holder.clear()
            self.clear()
            return list(row)

        def __getitem__(self, key):
            holder.clear()
            return row[key]

    r = Row(row)
    holder.append(r)
    return r


def test_row_read_by_name_from_a_mapping_that_empties_itself():
    holder = []
    assert HistoryReader._result(hostile_row(ENTRY, holder)) == HistoryReader._result(ENTRY)
    assert holder == []


def test_account_rows_that_empty_the_map_while_read():
    identity = "sha256-v1:" + "0" * 64
    accounts = {}

    class Row(dict):
        def __getitem__(self, key):
            accounts.clear()
            accounts.update({("x", str(i)): {"identity": None} for i in range(100)})
            return identity

    accounts[("douyin", "/a" * 40)] = Row()
    accounts[("kuaishou", "/b" * 40)] = Row()
    item = {"platforms": {"douyin_account": "/a" * 40}}
    assert HistoryReader._identity(item, "douyin", 2, accounts, True) == ("/a" * 40, "bound")
