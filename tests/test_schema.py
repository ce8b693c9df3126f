"""The published JSON Schema of the outcome document, against documents the modules write."""

import copy
import json
import math
from importlib import resources

import jsonschema
import pytest

from publish import records
from publish.output import JsonReport, record_result

from documents import (failed_commands, kamo_document, make_demo, recorded_publish, wrapped,
                       wrapped_line)


@pytest.fixture(scope="module")
def schema():
    text = resources.files("publish").joinpath("schema", "outcome-v1.json").read_text(encoding="utf-8")
    return json.loads(text)


@pytest.fixture(scope="module")
def validator(schema):
    jsonschema.Draft202012Validator.check_schema(schema)
    return jsonschema.Draft202012Validator(schema)


@pytest.fixture(scope="module")
def documents(tmp_path_factory):
    """name -> a real document, one per mode and per way a command ends."""
    path, run_ids = make_demo(tmp_path_factory.mktemp("demo"))
    docs = {
        "kamo --history --json": kamo_document("--history", "--db", path),
        "kamo --history --limit 2 --json": kamo_document("--history", "--limit", "2", "--db", path),
        "kamo --history --json, no store": kamo_document("--history", "--db", path + ".absent"),
        "kamo --history --limit 2 --before RUN_ID --json": kamo_document("--history", "--limit", "2", "--before",
                                                                         run_ids[2], "--db", path),
        **{f"kamo --history {run_id} --json": kamo_document("--history", run_id, "--db", path)
           for run_id in run_ids},
        "recorded publish": recorded_publish(),
        "empty report": (JsonReport().document(0), 0),
        **failed_commands(path),
    }
    return {name: doc for name, (doc, _) in docs.items()}


def test_schema_is_version_1_of_draft_2020_12(schema):
    assert schema["$schema"] == "https://json-schema.org/draft/2020-12/schema"
    assert schema["properties"]["schema_version"] == {"const": 1}


def test_real_documents_are_valid(validator, documents):
    for name, doc in documents.items():
        errors = [f"{list(e.absolute_path)}: {e.message}" for e in validator.iter_errors(doc)]
        assert errors == [], name
    modes = {doc["mode"] for doc in documents.values()}
    assert {"publish", "history_list", "history_detail"} <= modes
    codes = {e["error_code"] for doc in documents.values() for e in doc["errors"]}
    assert {"CFG-001", "RUN-001", "RUN-002", "RUN-003"} <= codes


def test_dry_run_document_is_valid(validator):
    from publish.output import record_plan

    doc, _ = wrapped(lambda: record_plan([{"content_type": "video", "title": "t",
                                           "enabled_platforms": ["douyin"]}]) or 0)
    assert doc["mode"] == "dry_run" and "history" not in doc
    validator.validate(doc)


def paths_to_objects(value, path=()):
    """Every (path, object) inside a document, the document itself included."""
    if isinstance(value, dict):
        yield path, value
        for key, item in value.items():
            yield from paths_to_objects(item, path + (key,))
    elif isinstance(value, list):
        for i, item in enumerate(value):
            yield from paths_to_objects(item, path + (i,))


def at(doc, path):
    for step in path:
        doc = doc[step]
    return doc


# The one open map of the document: path to digest, keyed by file path.
OPEN_MAPS = {"material_fingerprints"}


def closed_objects(doc):
    return [(path, obj) for path, obj in paths_to_objects(doc) if not (path and path[-1] in OPEN_MAPS)]


def test_every_missing_key_fails(validator, documents):
    # Each key of each object of each real document, removed in turn.
    checked = 0
    for name, doc in documents.items():
        for path, obj in closed_objects(doc):
            for key in obj:
                broken = copy.deepcopy(doc)
                del at(broken, path)[key]
                assert not validator.is_valid(broken), (name, path, key)
                checked += 1
    assert checked > 500


def test_an_extra_key_fails_in_every_object(validator, documents):
    for name, doc in documents.items():
        for path, obj in closed_objects(doc):
            broken = copy.deepcopy(doc)
            at(broken, path)["note"] = None
            assert not validator.is_valid(broken), (name, path)


def test_history_key_follows_the_mode(validator, documents):
    listing = documents["kamo --history --json"]
    publish = documents["recorded publish"]
    detail = next(doc for doc in documents.values() if doc["mode"] == "history_detail" and doc["history"])
    bad = [
        {**publish, "history": None},                           # not a history mode
        {**listing, "mode": "history_detail"},                  # a list where a run belongs
        {**detail, "mode": "history_list"},                     # a run where a list belongs
        {**listing, "history": {**listing["history"], "limit": 0}},
    ]
    for doc in bad:
        assert not validator.is_valid(doc)


@pytest.mark.parametrize("change", [
    lambda d: d.update(schema_version=2),
    lambda d: d.update(exit_code="0"),
    lambda d: d["results"][0].update(error_code=None),        # a failure always carries a code
    lambda d: d["results"][1].update(safe_to_retry=True),     # never retry a success
    lambda d: d["summary"].update(failed=-1),
])
def test_wrong_values_fail(validator, documents, change):
    doc = copy.deepcopy(documents["recorded publish"])
    assert [r["success"] for r in doc["results"]] == [False, True, False]
    change(doc)
    assert not validator.is_valid(doc)


def test_schema_records_and_typed_dicts_list_the_same_keys(schema):
    # One shape, two spellings: the schema for scripts, publish.records for Python code.
    shapes = {**schema["$defs"], "Summary": schema["properties"]["summary"]}
    typed = {name: getattr(records, name) for name in shapes if name != "RunId"}
    assert len(typed) == 14
    for name, record in typed.items():
        assert list(shapes[name]["properties"]) == list(record.__annotations__), name
        assert shapes[name]["required"] == list(record.__annotations__), name
        assert shapes[name]["additionalProperties"] is False, name
    assert list(schema["properties"]) == list(records.OutcomeDocument.__annotations__)
    assert set(schema["required"]) == records.OutcomeDocument.__required_keys__


def test_description_says_how_non_finite_numbers_are_written(schema):
    # What the description promises is what the writer does: json.dumps's words for them.
    def command():
        for value in (math.nan, math.inf, -math.inf):
            record_result({}, "douyin", {"success": False, "result_id": value})
        return 0

    line, _ = wrapped_line(command)
    for word in ("NaN", "Infinity", "-Infinity"):
        assert word in schema["description"]
        assert f'"result_id": {word},' in line
    assert line == json.dumps(json.loads(line), ensure_ascii=False) + "\n"
