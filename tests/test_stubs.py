"""The type stubs and record types against the modules and the records they really produce."""

import ast
import json
import os
import reprlib
import subprocess
import sys
import sysconfig
import textwrap
import types
import typing
from pathlib import Path

import pytest

import publish
from publish import records
from publish.historystore import create_store, demo_runs, write_run
from publish.output import JsonReport

from documents import (failed_commands, history_records, kamo_document, make_demo,
                       recorded_publish)

MODULES = ["publish.runfault", "publish.runlens", "publish.output", "publish.runprint", "frontdoor"]
PACKAGE = Path(publish.__file__).parent
ROOT = PACKAGE.parent  # where the package and frontdoor are installed (or built, by tools/dev)
SOURCE = Path(__file__).resolve().parent.parent / "python"  # the checkout's own copies
EXAMPLE = Path(__file__).resolve().parent.parent / "examples" / "typed_report.py"


def stub_file(module):
    return ROOT.joinpath(*module.split(".")).with_suffix(".pyi")


# --- what the modules hold, looked at in a fresh interpreter -------------------------------
# (importing frontdoor puts its folder first on sys.path, and resolving its names loads the
# runtime modules: neither should leak into the rest of the suite)

INTROSPECT = textwrap.dedent("""
    import importlib, inspect, json, re, sys

    SAMPLES = {
        "publish.runfault.HistoryError": lambda c: c("RUN-003", "m", "a"),
        "publish.output.JsonReport": lambda c: c(),
        "publish.runlens.HistoryReader": lambda c: c("/nonexistent/history.sqlite3"),
    }

    def public(names):
        return sorted(n for n in names if not n.startswith("_"))

    def params(obj):
        # [name, has_default] per parameter, self and cls left out; None when not introspectable.
        # A nanobind function's signature is in __nb_signature__ alone: inspect cannot read it,
        # and from 3.13 on it answers with the (*args, **kwargs) of nb_func.__call__ instead.
        for text, *_ in getattr(obj, "__nb_signature__", None) or ():
            head = re.sub(r"\\\\[0-9]+", "...", text)  # \\0, \\1, ...: the defaults in order
            import ast
            fn = ast.parse(head + ": ...").body[0]
            args = fn.args.posonlyargs + fn.args.args
            first_default = len(args) - len(fn.args.defaults)
            out = [[a.arg, i >= first_default] for i, a in enumerate(args)]
            out += [[a.arg, d is not None] for a, d in zip(fn.args.kwonlyargs, fn.args.kw_defaults)]
            return [p for p in out if p[0] not in ("self", "cls")]
        try:
            sig = inspect.signature(obj)
        except (TypeError, ValueError):
            return None
        return [[p.name, p.default is not p.empty] for p in sig.parameters.values()
                if p.name not in ("self", "cls")]

    report = {}
    for name in json.loads(sys.argv[1]):
        module = importlib.import_module(name)
        listed = public(dir(module))
        entry = {"names": listed, "all": getattr(module, "__all__", None), "missing": [],
                 "classes": {}, "functions": {}}
        for attr in listed:
            try:
                value = getattr(module, attr)
            except AttributeError:
                entry["missing"].append(attr)
                continue
            if getattr(value, "__module__", None) != name:
                continue  # bound from elsewhere: checked where it is defined
            if inspect.isclass(value):
                qual = f"{name}.{attr}"
                base = value.__mro__[1]
                members = set(public(dir(value))) - set(public(dir(base)))
                sample = SAMPLES[qual](value)
                members |= set(public(dir(sample))) - set(public(dir(base)))
                methods = {m: params(getattr(value, m)) for m in sorted(members)
                           if callable(getattr(value, m, None))}
                match_args = getattr(value, "__match_args__", None)
                entry["classes"][attr] = {"members": sorted(members), "methods": methods,
                                          "fields": list(match_args) if match_args else None}
            elif callable(value):
                entry["functions"][attr] = params(value)
        report[name] = entry
    print(json.dumps(report))
""")


@pytest.fixture(scope="module")
def runtime():
    done = subprocess.run([sys.executable, "-c", INTROSPECT, json.dumps(MODULES)],
                          capture_output=True, text=True, check=True)
    return json.loads(done.stdout)


# --- what the stubs declare, read as a type checker reads them ----------------------------

def stub_names(body):
    """Name -> node for the names a stub exports (PEP 484: an import is exported only as `X as X`)."""
    names = {}
    for node in body:
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
            names[node.name] = node
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names[node.target.id] = node
        elif isinstance(node, ast.Assign):
            names.update((t.id, node) for t in node.targets if isinstance(t, ast.Name))
        elif isinstance(node, (ast.Import, ast.ImportFrom)):
            names.update((a.asname, node) for a in node.names if a.asname == a.name.split(".")[-1])
    return names


def public(names):
    return sorted(n for n in names if not n.startswith("_"))


def stub_params(fn):
    args = fn.args.posonlyargs + fn.args.args
    first_default = len(args) - len(fn.args.defaults)
    out = [[a.arg, i >= first_default] for i, a in enumerate(args)]
    out += [[a.arg, d is not None] for a, d in zip(fn.args.kwonlyargs, fn.args.kw_defaults)]
    return [p for p in out if p[0] not in ("self", "cls")]


def parsed_stub(module):
    return ast.parse(stub_file(module).read_text(encoding="utf-8"))


@pytest.mark.parametrize("module", MODULES)
def test_stub_declares_exactly_the_public_names(module, runtime):
    declared = stub_names(parsed_stub(module).body)
    held = runtime[module]
    assert held["missing"] == []  # every listed name resolves (frontdoor's lazy ones included)
    assert public(declared) == held["names"]
    if held["all"] is not None:
        assert ast.literal_eval(declared["__all__"].value) == held["all"]


@pytest.mark.parametrize("module", MODULES)
def test_stub_classes_and_functions_match(module, runtime):
    declared = stub_names(parsed_stub(module).body)
    held = runtime[module]
    for name, cls in held["classes"].items():
        body = stub_names(declared[name].body)
        assert public(body) == cls["members"], name
        for method, params in cls["methods"].items():
            if params is not None:
                assert stub_params(body[method]) == params, f"{name}.{method}"
        if cls["fields"] is not None:  # a record type: its constructor takes its fields
            assert [p for p, _ in stub_params(body["__init__"])] == cls["fields"]
    for name, params in held["functions"].items():
        if params is not None:
            assert stub_params(declared[name]) == params, name


def test_signatures_were_really_compared(runtime):
    # The comparison above skips what cannot be introspected; make sure that is not everything.
    compared = {f"{m}.{f}" for m, e in runtime.items() for f, p in e["functions"].items() if p is not None}
    compared |= {f"{m}.{c}.{f}" for m, e in runtime.items() for c, k in e["classes"].items()
                 for f, p in k["methods"].items() if p is not None}
    assert {"publish.runlens.HistoryReader.list_runs", "publish.runlens.HistoryReader.get_run",
            "publish.runprint.print_history", "publish.output.run_with_json",
            "publish.output.record_result", "publish.output.record_history",
            "publish.output.register_result_order", "publish.output.JsonReport.document"} <= compared


def test_stubs_ship_beside_the_modules():
    installed = {stub_file(m): SOURCE.joinpath(*m.split(".")).with_suffix(".pyi") for m in MODULES}
    # mypy reads a top-level module's stub only from a stub-only package named after it.
    installed[ROOT / "frontdoor-stubs" / "__init__.pyi"] = SOURCE / "frontdoor.pyi"
    installed[PACKAGE / "py.typed"] = SOURCE / "publish" / "py.typed"
    installed[PACKAGE / "schema" / "outcome-v1.json"] = SOURCE / "publish" / "schema" / "outcome-v1.json"
    for path, source in installed.items():
        assert path.is_file(), path
        if source.is_file():  # run from a checkout: what shipped is what is checked in
            assert path.read_bytes() == source.read_bytes(), path


# --- record types against real records ----------------------------------------------------

def conforms(value, annotation, where="value"):
    """Assert value has the shape annotation describes; TypedDict keys exact and in order."""
    origin = typing.get_origin(annotation)
    args = typing.get_args(annotation)
    if typing.is_typeddict(annotation):
        assert type(value) is dict, where
        hints = typing.get_type_hints(annotation)
        expected = [k for k in annotation.__annotations__
                    if k in annotation.__required_keys__ or k in value]
        assert list(value) == expected, f"{where}: keys {list(value)} != {expected}"
        for key in value:
            conforms(value[key], hints[key], f"{where}[{key!r}]")
    elif origin is typing.Literal:
        assert any(type(value) is type(a) and value == a for a in args), f"{where}: {reprlib.repr(value)} not in {args}"
    elif origin in (typing.Union, types.UnionType):
        errors = []
        for option in args:
            try:
                return conforms(value, option, where)
            except AssertionError as err:
                errors.append(str(err))
        raise AssertionError(f"{where}: {reprlib.repr(value)} matches none of {args}: {errors}")
    elif origin is list:
        assert type(value) is list, where
        for i, item in enumerate(value):
            conforms(item, args[0], f"{where}[{i}]")
    elif origin is dict:
        assert type(value) is dict, where
        for key, item in value.items():
            conforms(key, args[0], f"{where} key")
            conforms(item, args[1], f"{where}[{key!r}]")
    elif annotation in (None, type(None)):
        assert value is None, f"{where}: {reprlib.repr(value)} is not None"
    else:
        assert type(value) is annotation, f"{where}: {type(value).__name__} is not {annotation.__name__}"


@pytest.fixture(scope="module")
def demo(tmp_path_factory):
    return make_demo(tmp_path_factory.mktemp("demo"))


def walk(value, annotation):
    """Every (value, TypedDict) pair inside a conforming value, for coverage checks."""
    if typing.is_typeddict(annotation):
        yield value, annotation
        hints = typing.get_type_hints(annotation)
        for key in value:
            yield from walk(value[key], hints[key])
    elif typing.get_origin(annotation) is list:
        for item in value:
            yield from walk(item, typing.get_args(annotation)[0])
    elif typing.get_origin(annotation) in (typing.Union, types.UnionType):
        for option in typing.get_args(annotation):
            try:
                conforms(value, option)
            except AssertionError:
                continue
            yield from walk(value, option)
            return


def test_history_records_have_the_declared_shapes(demo, tmp_path):
    path, run_ids = demo
    listing, runs = history_records(path, run_ids)
    conforms(listing, records.RunList, "list_runs()")
    for run in runs:
        conforms(run, records.RunProjection, f"get_run({run['run_id']})")
    # Nothing absent is declared either: every record type turned up, each with every key.
    seen = {td for value in [listing, *runs]
            for _, td in walk(value, records.RunList if value is listing else records.RunProjection)}
    assert seen == {records.RunList, records.RunSummary, records.StateCounts, records.ResumeCounts,
                    records.RunProjection, records.ItemProjection, records.PlatformProjection,
                    records.StoredResult, records.ResumeDecision, records.PublishEvidence}
    conforms(history_records(tmp_path / "absent.sqlite3", [])[0], records.RunList, "no store")


def test_outcome_documents_have_the_declared_shape(demo):
    path, run_ids = demo
    documents = [kamo_document("--history", "--db", path)[0],
                 kamo_document("--history", run_ids[-2], "--db", path)[0],
                 recorded_publish()[0], JsonReport().document(0),
                 *(doc for doc, _ in failed_commands(path).values())]
    seen = set()
    for doc in documents:
        conforms(doc, records.OutcomeDocument, f"{doc['mode']} document")
        seen |= {td for _, td in walk(doc, records.OutcomeDocument)}
    assert {records.PlanItem, records.ResultEntry, records.ErrorEntry, records.Summary,
            records.RunList, records.RunProjection} <= seen


def test_record_types_and_stubs_disagree_with_a_wrong_record():
    # The checker itself: a missing key, an extra key, a reordered key and a wrong type all fail.
    good = JsonReport().document(0)
    conforms(good, records.OutcomeDocument)
    missing = {k: v for k, v in good.items() if k != "errors"}
    extra = {**good, "history": None, "note": 1}
    reordered = {"mode": good["mode"], **good}
    wrong = {**good, "exit_code": "0"}
    for bad in (missing, extra, reordered, wrong):
        with pytest.raises(AssertionError):
            conforms(bad, records.OutcomeDocument)


# --- mypy --strict on typed code that uses the modules ------------------------------------

MISUSE = textwrap.dedent("""\
    import frontdoor
    from publish.output import JsonReport, record_error, run_with_json
    from publish.runfault import HistoryError
    from publish.runlens import HistoryReader

    reader = HistoryReader("/tmp/history.sqlite3")
    reader.get_run(5)  # E: arg-type
    reader.list_runs(before=5)  # E: arg-type
    title: int = reader.list_runs()["runs"][0]["title"]  # E: assignment
    reader.list_runs()["runs"][0]["titel"]  # E: typeddict-item
    record_error("RUN-001", "运行时异常")  # E: call-arg
    run_with_json(lambda: "done")  # E: arg-type, return-value
    frontdoor.upload  # E: attr-defined
    HistoryError("RUN-003", "m").code  # E: call-arg
    JsonReport().document(0)["history"]["runs"]  # E: index, typeddict-item
""")


def site_dirs():
    paths = sysconfig.get_paths()
    return {Path(paths[k]).resolve() for k in ("purelib", "platlib")}


def mypy(tmp_path, files, mypypath=None):
    """mypy --strict over files: {line: error codes} per file name, notes left out."""
    # The stand-in runtime is untyped plain Python: read for its types, its own errors not ours
    # (for an installed package mypy does this by itself).
    standin = sorted(f"publish.{p.stem}" for p in PACKAGE.glob("*.py") if p.stem != "records")
    config = tmp_path / "mypy.ini"
    config.write_text(f"[mypy]\nstrict = True\n\n[mypy-publish,{','.join(standin)}]\nfollow_imports = silent\n")
    env = {k: v for k, v in os.environ.items() if k != "MYPYPATH"}
    if mypypath:
        env["MYPYPATH"] = str(mypypath)
    done = subprocess.run([sys.executable, "-m", "mypy", "--config-file", str(config),
                           "--cache-dir", str(tmp_path / "cache"), "--no-error-summary",
                           "--show-error-codes", *map(str, files)],
                          capture_output=True, text=True, env=env, cwd=tmp_path)
    assert done.stderr == "", done.stderr
    found = {}
    for line in done.stdout.splitlines():
        file, lineno, kind, message = line.split(":", 3)
        if kind.strip() != "note":
            assert kind.strip() == "error", line
            found.setdefault(Path(file).name, {}).setdefault(int(lineno), set()).add(
                message.rsplit("[", 1)[1].rstrip("]"))
    return found, done.stdout


def test_mypy_strict_accepts_typed_use_and_catches_misuse(tmp_path):
    misuse = tmp_path / "misuse.py"
    misuse.write_text(MISUSE, encoding="utf-8")
    # Found the way a user's mypy finds them: installed (py.typed, frontdoor-stubs), or in a
    # build tree on PYTHONPATH, which mypy does not read.
    installed = ROOT.resolve() in site_dirs()
    found, output = mypy(tmp_path, [EXAMPLE, misuse], None if installed else ROOT)
    expected = {i: {c.strip() for c in text.split("# E:")[1].split(",")}
                for i, text in enumerate(MISUSE.splitlines(), 1) if "# E:" in text}
    assert found == {"misuse.py": expected}, output


def test_stubs_pass_mypy_strict(tmp_path):
    # The stub files themselves, as checked in (what ships is compared with them above).
    stubs = [SOURCE.joinpath(*m.split(".")).with_suffix(".pyi") for m in MODULES]
    found, output = mypy(tmp_path, [*stubs, SOURCE / "publish" / "records.py"])
    assert found == {} and output == ""


def test_typed_example_runs(tmp_path):
    # Newest last: a run with stored results and an entry a resume must not touch.
    path = tmp_path / "history.sqlite3"
    create_store(path)
    run_ids = [write_run(path, run) for run in demo_runs()[1:3]]
    done = subprocess.run([sys.executable, str(EXAMPLE), str(path)], capture_output=True, text=True,
                          encoding="utf-8", env={**os.environ, "PYTHONIOENCODING": "utf-8"})
    assert done.returncode == 0, done.stderr
    doc = json.loads(done.stdout)
    newest = history_records(path, [run_ids[-1]])[1][0]
    assert (doc["mode"], doc["run_id"], doc["history"]) == ("history_detail", run_ids[-1], newest)
    stored = [(p["platform"], p["result"]) for item in newest["items"] for p in item["platforms"]]
    assert [r["platform"] for r in doc["results"]] == [p for p, result in stored if result is not None]
    blocked = [p for item in newest["items"] for p in item["platforms"] if p["resume"]["error_code"]]
    assert doc["results"] and blocked
    assert done.stderr.splitlines() == [f"{p['platform']}: {p['resume']['error_code']} {p['resume']['action']}"
                                        for p in blocked]
