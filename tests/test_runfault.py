import ast
import itertools
import os
import subprocess
import sys
from pathlib import Path

import pytest

import publish
from publish import runfault
from publish.runfault import HistoryError

PACKAGE_ROOT = Path(publish.__file__).absolute().parent.parent
FIELDS = {"code": "RUN-003", "message": "发布记录不存在或已损坏", "action": "检查后重试"}


def test_docstrings_and_identity():
    assert runfault.__doc__ == "Publish journal errors without importing the publishing runtime."
    assert HistoryError.__doc__ == "An actionable failure that must stop another submission."
    assert HistoryError.__module__ == "publish.runfault"
    assert HistoryError.__qualname__ == "HistoryError"
    assert HistoryError.__mro__[1:] == Exception.__mro__


@pytest.mark.parametrize("how", ["positional", "mixed"] + [
    "keywords:" + ",".join(order) for order in itertools.permutations(FIELDS)])
def test_fields_by_position_or_name(how):
    if how == "positional":
        err = HistoryError(FIELDS["code"], FIELDS["message"], FIELDS["action"])
    elif how == "mixed":
        err = HistoryError(FIELDS["code"], action=FIELDS["action"], message=FIELDS["message"])
    else:
        err = HistoryError(**{name: FIELDS[name] for name in how.split(":")[1].split(",")})
    assert (err.code, err.message, err.action) == (FIELDS["code"], FIELDS["message"], FIELDS["action"])
    # The exception itself carries the message alone.
    assert err.args == (FIELDS["message"],)
    assert str(err) == FIELDS["message"]


@pytest.mark.parametrize("args, kwargs", [
    ((), {}),
    (("RUN-003",), {}),
    (("RUN-003", "m"), {}),
    (("RUN-003", "m", "a", "extra"), {}),
    (("RUN-003", "m"), {"actions": "a"}),
    (("RUN-003", "m", "a"), {"code": "RUN-005"}),
    (("RUN-003",), {"message": "m", "action": "a", "cause": None}),
    ((), {"code": "RUN-003", "message": "m"}),
])
def test_wrong_arguments_raise_type_error(args, kwargs):
    with pytest.raises(TypeError):
        HistoryError(*args, **kwargs)


def test_raised_caught_and_chained():
    cause = ValueError("NaN")
    with pytest.raises(Exception) as caught:
        try:
            raise cause
        except ValueError as e:
            raise HistoryError("RUN-003", "m", "a") from e
    err = caught.value
    assert type(err) is HistoryError
    assert err.__cause__ is cause
    assert (err.code, err.message, err.action) == ("RUN-003", "m", "a")


def test_subclass_keeps_fields():
    class Narrower(HistoryError):
        pass

    err = Narrower(action="a", code="RUN-005", message="m")
    assert isinstance(err, HistoryError)
    assert (err.code, err.message, err.action, err.args) == ("RUN-005", "m", "a", ("m",))


def test_import_pulls_in_no_other_publish_module():
    code = ("import sys, publish.runfault; "
            "print(sorted(m for m in sys.modules if m == 'publish' or m.startswith('publish.')))")
    env = dict(os.environ, PYTHONPATH=str(PACKAGE_ROOT))
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True, env=env)
    assert ast.literal_eval(out.stdout) == ["publish", "publish.runfault"]
