"""run_with_json and _diagnostics_to_stderr: every way a command ends, and standard output kept
to exactly one line, in process and as a whole process."""

import asyncio
import contextlib
import io
import json
import os
import subprocess
import sys
import textwrap

import pytest

from publish.output import (JsonReport, _diagnostics_to_stderr, _report, record_error, record_history, record_result,
                            register_result_order, run_with_json)

CFG = {"error_code": "CFG-001", "message": "命令行参数无效", "action": "运行 kamo --help 检查参数"}
INTERRUPTED = {"error_code": "RUN-002", "message": "发布已中断，部分平台结果可能尚未确认",
               "action": "检查平台作品状态后再决定是否重试"}
FAILED = {"error_code": "RUN-001", "message": "运行时异常", "action": "检查配置与环境后重试"}


def run(command):
    """(returned, document, stdout text, stderr text) with both streams in memory."""
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        code = run_with_json(command)
    lines = out.getvalue().splitlines()
    assert len(lines) == 1 and out.getvalue().endswith("\n")
    return code, json.loads(lines[0]), out.getvalue(), err.getvalue()


def raises(exc):
    def command():
        print("diagnostic before the end")
        raise exc
    return command


@pytest.mark.parametrize("command, code, errors", [
    (lambda: 0, 0, []),
    (lambda: 1, 1, []),
    (lambda: 7, 7, []),
    (raises(SystemExit(0)), 0, []),
    (raises(SystemExit(2)), 2, [CFG]),
    (raises(SystemExit(3)), 3, [CFG]),
    (raises(SystemExit("bad usage")), 2, [CFG]),
    (raises(SystemExit(None)), 2, [CFG]),
    (raises(KeyboardInterrupt()), 130, [INTERRUPTED]),
    (raises(ValueError("boom")), 2, [FAILED]),
    (raises(OSError(5, "io")), 2, [FAILED]),
])
def test_command_table(command, code, errors):
    returned, doc, _, err = run(command)
    assert returned == code and doc["exit_code"] == code
    assert doc["errors"] == errors
    if command.__name__ == "command":
        assert err.startswith("diagnostic before the end\n")
    assert _report.get() is None


@pytest.mark.parametrize("command, code, errors", [
    (raises(SystemExit(True)), 1, [CFG]),    # sys.exit(not ok)
    (raises(SystemExit(False)), 0, []),
    # A returned value is the command's own status and passes on as it is.
    (lambda: True, True, []),
    (lambda: False, False, []),
])
def test_a_bool_status(command, code, errors):
    returned, doc, out, _ = run(command)
    assert type(returned) is type(code) and returned == code
    assert type(doc["exit_code"]) is type(code) and doc["errors"] == errors
    assert f'"exit_code": {json.dumps(code)},' in out


def test_a_bool_exit_request_is_the_process_s_exit_status():
    done = script("""
        import sys
        from publish.output import run_with_json
        sys.exit(run_with_json(lambda: sys.exit(True)))
    """)
    code = one_line(done.stdout)["exit_code"]
    assert done.returncode == 1 and type(code) is int and code == 1


def test_help_text_goes_to_stderr():
    def command():
        print("usage: kamo [-h]")
        raise SystemExit(0)

    code, doc, out, err = run(command)
    assert (code, doc["errors"], err) == (0, [], "usage: kamo [-h]\n")
    assert "usage" not in out


def test_errors_recorded_before_a_failure_come_first():
    def command():
        record_error("RUN-005", "读取失败", "检查文件")
        raise RuntimeError("later")

    _, doc, _, _ = run(command)
    assert [e["error_code"] for e in doc["errors"]] == ["RUN-005", "RUN-001"]


def test_an_interrupt_keeps_the_results_in_position_order():
    def command():
        order = register_result_order(["douyin", "bilibili", "weibo"])
        record_result({"_result_order": order}, "weibo", {"success": True})
        record_result({"_result_order": order}, "douyin", {"success": False})
        raise KeyboardInterrupt

    code, doc, _, _ = run(command)
    assert code == 130
    assert [r["platform"] for r in doc["results"]] == ["douyin", "weibo"]
    assert doc["errors"] == [INTERRUPTED]


class Custom(BaseException):
    pass


@pytest.mark.parametrize("exc", [GeneratorExit(), asyncio.CancelledError(), Custom("mine")])
def test_other_endings_pass_on_without_a_document(exc):
    before = sys.stdout
    out = io.StringIO()
    with contextlib.redirect_stdout(out), pytest.raises(type(exc)) as raised:
        run_with_json(raises(exc))
    assert raised.value is exc
    assert out.getvalue() == ""
    assert _report.get() is None and sys.stdout is before


def test_the_wrappers_own_failure_passes_on_after_restoring():
    outer = JsonReport()
    token = _report.set(outer)
    out = io.StringIO()
    try:
        with contextlib.redirect_stdout(out), pytest.raises(TypeError, match="not JSON serializable"):
            run_with_json(lambda: record_history({"bad": {1, 2}}, "history_list") or 0)
        assert sys.stdout is not out and out.getvalue() == ""
        assert _report.get() is outer
    finally:
        _report.reset(token)
    assert outer == JsonReport()


def test_each_run_gets_a_fresh_report_and_restores_the_previous_one():
    seen = []

    def command():
        seen.append(_report.get())
        return 0

    outer = JsonReport(mode="outer")
    token = _report.set(outer)
    try:
        run(command)
        run(command)
        assert _report.get() is outer
    finally:
        _report.reset(token)
    assert seen[0] is not seen[1] and seen[0] is not outer
    assert seen[0].mode == "publish"


def test_in_memory_stdout_gets_the_stream_level_redirection_and_the_document():
    def command():
        print("to stderr")
        sys.stdout.write("also to stderr\n")
        return 0

    code, doc, out, err = run(command)
    assert err == "to stderr\nalso to stderr\n"
    assert doc["exit_code"] == 0 and out.count("\n") == 1


def test_print_semantics_on_any_stream():
    class Recorder:
        def __init__(self):
            self.calls = []

        def write(self, text):
            self.calls.append(text)

    stream = Recorder()
    with contextlib.redirect_stdout(stream):
        run_with_json(lambda: 0)
    assert len(stream.calls) == 2 and stream.calls[1] == "\n"
    assert json.loads(stream.calls[0])["exit_code"] == 0
    with contextlib.redirect_stdout(None):
        assert run_with_json(lambda: 3) == 3  # print() without a console writes nothing


class RecordingRaw(io.RawIOBase):
    """A raw stream that keeps, for every write, the bytes given, the whole object the view lies
    over and how much it took: at most `take` bytes a call."""

    def __init__(self, take=None):
        super().__init__()
        self.take, self.calls = take, []

    def writable(self):
        return True

    def write(self, b):
        view = memoryview(b)
        taken = view.nbytes if self.take is None else min(self.take, view.nbytes)
        self.calls.append((bytes(view), bytes(view.obj), len(view.obj), taken))
        return taken


@pytest.mark.parametrize("take", [None, 1000])
@pytest.mark.parametrize("size", [10, 100_000])  # inside the first block, and past it
def test_the_stream_sees_exactly_the_document_and_nothing_beyond(take, size):
    raw = RecordingRaw(take)
    stdout = io.TextIOWrapper(raw, encoding="utf-8")
    history = {"note": "发布记录" * size}
    with contextlib.redirect_stdout(stdout):
        run_with_json(lambda: record_history(history, "history_list") or 0)
    stdout.flush()
    document = json.dumps(JsonReport(mode="history_list", history=history).document(0),
                          ensure_ascii=False).encode("utf-8")
    assert b"".join(data[:taken] for data, _, _, taken in raw.calls) == document + b"\n"
    for data, whole, whole_size, _ in raw.calls:
        # What a view lies over is the document itself (or the very bytes given), never more.
        assert whole_size == len(whole)
        assert whole == document or whole == data


# ---- _diagnostics_to_stderr with real descriptors --------------------------------------------

@pytest.fixture
def files(tmp_path):
    """Two real files standing in for standard output and standard error."""
    out = open(tmp_path / "out", "w+", encoding="utf-8")
    err = open(tmp_path / "err", "w+", encoding="utf-8")
    yield out, err
    out.close()
    err.close()


def contents(stream):
    stream.flush()
    with open(stream.name, encoding="utf-8") as f:
        return f.read()


def identity(fd):
    st = os.fstat(fd)
    return st.st_dev, st.st_ino


def test_descriptor_and_stream_go_to_stderr_and_come_back(files):
    out, err = files
    out_id = identity(out.fileno())
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        print("before, still buffered")
        with _diagnostics_to_stderr() as value:
            assert value is None
            assert sys.stdout is err
            print("printed")
            os.write(out.fileno(), b"written to the descriptor\n")
            subprocess.run(["echo", "from a child"], stdout=out.fileno(), check=True)
        assert sys.stdout is out
        print("after")
    assert identity(out.fileno()) == out_id
    assert contents(out) == "before, still buffered\nafter\n"
    assert sorted(contents(err).splitlines()) == ["from a child", "printed", "written to the descriptor"]


def open_descriptors():
    def is_open(fd):
        try:
            os.fstat(fd)
        except OSError:
            return False
        return True
    return {fd for fd in range(1024) if is_open(fd)}


def test_the_saved_descriptor_is_closed_and_not_inherited(files):
    out, err = files
    before, out_id, inheritable = open_descriptors(), identity(out.fileno()), os.get_inheritable(out.fileno())
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        with _diagnostics_to_stderr():
            (saved,) = open_descriptors() - before
            assert identity(saved) == out_id
            assert identity(out.fileno()) == identity(err.fileno())
            assert not os.get_inheritable(saved)
    assert open_descriptors() == before
    assert (identity(out.fileno()), os.get_inheritable(out.fileno())) == (out_id, inheritable)


@pytest.mark.parametrize("first_ends_first", [True, False])
def test_redirections_that_end_in_either_order(files, first_ends_first):
    out, err = files
    before, out_id = open_descriptors(), identity(out.fileno())
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        first, second = _diagnostics_to_stderr(), _diagnostics_to_stderr()
        first.__enter__()
        print("under the first")
        second.__enter__()
        print("under both")
        (first if first_ends_first else second).__exit__(None, None, None)
        # One is still in force: so is the redirection, stream and descriptor.
        assert sys.stdout is err and identity(out.fileno()) == identity(err.fileno())
        os.write(out.fileno(), b"to the descriptor under one\n")
        (second if first_ends_first else first).__exit__(None, None, None)
        assert sys.stdout is out and identity(out.fileno()) == out_id
        print("after both")
    assert open_descriptors() == before
    assert contents(out) == "after both\n"
    assert contents(err) == "under the first\nunder both\nto the descriptor under one\n"


def test_a_failure_of_the_block_passes_on_unchanged(files):
    out, err = files
    failure = KeyError("inside")
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        with pytest.raises(KeyError) as raised:
            with _diagnostics_to_stderr():
                raise failure
        assert sys.stdout is out
    assert raised.value is failure


class Delegating:
    """A stream over a real file whose methods can be made to fail."""

    def __init__(self, stream, fail=None):
        self.stream, self.fail = stream, fail or {}

    def fileno(self):
        if "fileno" in self.fail:
            raise self.fail["fileno"]
        return self.stream.fileno()

    def flush(self):
        if "flush" in self.fail:
            raise self.fail["flush"]
        self.stream.flush()

    def write(self, text):
        return self.stream.write(text)


def test_a_failed_flush_on_the_way_out_passes_on_after_the_descriptor_is_back(files):
    out, err = files
    out_id = identity(out.fileno())
    flaky = Delegating(err)
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(flaky):
        with pytest.raises(OSError, match="disk full") as raised:
            with _diagnostics_to_stderr():
                flaky.fail["flush"] = OSError("disk full")
                raise ValueError("from the block")
        assert sys.stdout is out
    assert identity(out.fileno()) == out_id
    assert isinstance(raised.value.__context__, ValueError)


@pytest.mark.parametrize("failure", [OSError("no"), ValueError("closed"), io.UnsupportedOperation("fileno"),
                                     AttributeError("fileno")])
def test_no_descriptor_falls_back_to_the_stream_level(files, failure):
    out, err = files
    out_id = identity(out.fileno())
    stdout = Delegating(out, {"fileno": failure})
    with contextlib.redirect_stdout(stdout), contextlib.redirect_stderr(err):
        with _diagnostics_to_stderr():
            assert sys.stdout is err
            assert identity(out.fileno()) == out_id
            os.write(out.fileno(), b"descriptor untouched\n")
        assert sys.stdout is stdout
    assert contents(out) == "descriptor untouched\n"


def test_a_stdout_flush_failure_on_entry_falls_back(files):
    out, err = files
    stdout = Delegating(out, {"flush": ValueError("I/O operation on closed file.")})
    with contextlib.redirect_stdout(stdout), contextlib.redirect_stderr(err):
        with _diagnostics_to_stderr():
            os.write(out.fileno(), b"kept\n")
    assert contents(out) == "kept\n"


def test_any_other_failure_on_entry_passes_on_and_the_block_does_not_run(files):
    out, err = files
    stdout = Delegating(out, {"fileno": RuntimeError("unexpected")})
    ran = []
    with contextlib.redirect_stdout(stdout), contextlib.redirect_stderr(err):
        with pytest.raises(RuntimeError, match="unexpected"):
            with _diagnostics_to_stderr():
                ran.append(True)
        assert sys.stdout is stdout
    assert ran == []


def test_entered_once_only():
    cm = _diagnostics_to_stderr()
    with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):
        with cm:
            pass
        with pytest.raises(RuntimeError):
            cm.__enter__()
    with pytest.raises(RuntimeError):
        _diagnostics_to_stderr().__exit__(None, None, None)


# ---- the whole process ------------------------------------------------------------------------

def script(code, env=None):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          env={**os.environ, "PYTHONIOENCODING": "utf-8", **(env or {})})


def one_line(stdout):
    text = stdout.decode("utf-8")
    assert text.count("\n") == 1 and text.endswith("\n")
    return json.loads(text)


def test_a_command_that_prints_and_a_child_that_prints():
    done = script("""
        import subprocess, sys
        from publish.output import run_with_json
        def command():
            print("printed by the command 中文")
            subprocess.run(["echo", "printed by a child"], check=True)
            sys.stdout.flush()
            return 0
        sys.exit(run_with_json(command))
    """)
    assert done.returncode == 0
    doc = one_line(done.stdout)
    assert (doc["exit_code"], doc["errors"]) == (0, [])
    assert done.stderr.decode("utf-8").splitlines() == ["printed by the command 中文", "printed by a child"]


def test_buffered_text_before_the_call_comes_before_the_document():
    done = script("""
        import sys
        from publish.output import run_with_json
        print("written before", end="")
        print(" and still buffered")
        sys.exit(run_with_json(lambda: print("during") or 4))
    """)
    assert done.returncode == 4
    before, document, end = done.stdout.decode("utf-8").split("\n")
    assert (before, end) == ("written before and still buffered", "")
    assert json.loads(document)["exit_code"] == 4
    assert done.stderr.decode("utf-8") == "during\n"


def test_in_memory_stdout_in_a_whole_process():
    done = script("""
        import io, os, sys
        from publish.output import run_with_json
        real, sys.stdout = sys.stdout, io.StringIO()
        code = run_with_json(lambda: print("diagnostic") or 0)
        captured, sys.stdout = sys.stdout.getvalue(), real
        sys.stdout.write(captured)
    """)
    assert done.returncode == 0
    assert one_line(done.stdout)["exit_code"] == 0
    assert done.stderr.decode("utf-8") == "diagnostic\n"


def test_everything_is_as_before_after_the_return():
    done = script("""
        import os, sys
        from publish.output import _report, run_with_json, record_error
        def is_open(fd):
            try:
                return bool(os.fstat(fd))
            except OSError:
                return False
        def fd1():
            st = os.fstat(1)
            return st.st_dev, st.st_ino, os.get_inheritable(1), [fd for fd in range(256) if is_open(fd)]
        before, stream = fd1(), sys.stdout
        for ending in [lambda: 0, lambda: sys.exit(2), lambda: 1 / 0, lambda: record_error("X", "m", "a") or 5]:
            run_with_json(ending)
            assert _report.get() is None
            assert sys.stdout is stream
            assert fd1() == before, (fd1(), before)
        try:
            run_with_json(lambda: (_ for _ in ()).throw(GeneratorExit()))
        except GeneratorExit:
            pass
        assert _report.get() is None and sys.stdout is stream and fd1() == before
    """)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.decode("utf-8").splitlines()
    assert [json.loads(line)["exit_code"] for line in lines] == [0, 2, 2, 5]


def test_the_document_is_printed_as_print_would_print_it_on_any_encoding():
    body = """
        import json, sys
        from publish.output import JsonReport, record_error, run_with_json
        report = JsonReport(errors=[{"error_code": "E", "message": "中文 é", "action": "行动"}])
        if sys.argv[1] == "ours":
            run_with_json(lambda: record_error("E", "中文 é", "行动") or 0)
        else:
            print(json.dumps(report.document(0), ensure_ascii=False))
    """
    for encoding in ["utf-8", "UTF8", "ascii:backslashreplace", "latin-1:replace", "utf-16"]:
        outputs = [subprocess.run([sys.executable, "-c", textwrap.dedent(body), side], capture_output=True,
                                  env={**os.environ, "PYTHONIOENCODING": encoding}).stdout
                   for side in ("ours", "print")]
        assert outputs[0] == outputs[1], encoding
