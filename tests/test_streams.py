"""run_with_json in a whole process, under commands that attack standard output: they close or
replace sys.stdout, close or reroute descriptor 1, raise inside a flush, or start many children
that print. Standard output carries exactly one JSON line, or nothing when the failure passes on
by the wrapper's rules; either way sys.stdout and descriptor 1 are what they were before."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

# The child: sets a case up, runs it under run_with_json, and writes what it saw into a file
# (its standard streams may be broken by then).
HARNESS = """
import io, json, os, subprocess, sys, threading, time
from publish.output import run_with_json

def is_open(fd):
    try:
        os.fstat(fd)
        return True
    except OSError:
        return False

def fd1():
    st = os.fstat(1)
    return [st.st_dev, st.st_ino, os.get_inheritable(1)]

class Flaky:
    '''Standard output with a flush that raises once armed.'''
    def __init__(self, stream):
        self.stream, self.armed = stream, None
    def fileno(self):
        return self.stream.fileno()
    def write(self, text):
        return self.stream.write(text)
    def flush(self):
        if self.armed:
            raise self.armed
        self.stream.flush()

class Raising:
    def write(self, text):
        raise RuntimeError("write refused")
    def flush(self):
        raise RuntimeError("flush refused")

state_file = sys.argv[1]
{setup}
before_fd1, before_open, stream = fd1(), [fd for fd in range(256) if is_open(fd)], sys.stdout

def command():
{body}

try:
    outcome = ["returned", run_with_json(command)]
except BaseException as exc:
    outcome = ["raised", type(exc).__name__]
{after}
seen = {{"outcome": outcome, "stdout_restored": sys.stdout is stream, "fd1_restored": fd1() == before_fd1,
        "opened": sorted(set(fd for fd in range(256) if is_open(fd)) - set(before_open))}}
with open(state_file, "w") as f:
    json.dump(seen, f)
"""

# Prints from a child process, many lines on descriptors 1 and 2, one write each, so that lines
# of concurrent children never tear.
CHILD = ("import os, sys\n"
         "for i in range(200):\n"
         "    os.write(1, f'child {sys.argv[1]} {i}\\n'.encode()); os.write(2, f'child-err {i}\\n'.encode())")

CASES = {
    # name: (setup, command body, after, expected)
    # expected: ("document", exit code, error codes) or ("raised", exception name)
    "replaces sys.stdout": (
        "", "sys.stdout = io.StringIO(); print('kept in memory'); return 3", "",
        ("document", 3, [])),
    "replaces sys.stdout with a stream that refuses writes": (
        "", "sys.stdout = Raising(); return 0", "",
        ("document", 0, [])),
    "sets sys.stdout to None": (
        "", "sys.stdout = None; print('nowhere'); return 0", "",
        ("document", 0, [])),
    "deletes sys.stdout": (
        "", "del sys.stdout; return 0", "",
        ("document", 0, [])),
    "closes descriptor 1": (
        "", "print('before'); sys.stdout.flush(); os.close(1); return 0", "",
        ("document", 0, [])),
    "closes descriptor 1 and writes to it": (
        "", "os.close(1); os.write(1, b'lost')", "",
        ("document", 2, ["RUN-001"])),
    "points descriptor 1 elsewhere": (
        "", "fd = os.open(os.devnull, os.O_WRONLY); os.dup2(fd, 1); os.close(fd); print('x', flush=True); return 0",
        "", ("document", 0, [])),
    "closes descriptor 2": (
        "", "os.close(2); return 0", "",
        ("document", 0, [])),
    "writes to descriptor 1 directly": (
        "", "os.write(1, b'raw bytes on one\\n'); return 0", "",
        ("document", 0, [])),
    "raises inside a flush it calls": (
        "", "sys.stdout = Raising(); sys.stdout.flush()", "",
        ("document", 2, ["RUN-001"])),
    "is interrupted inside a flush": (
        "", "sys.stdout = Flaky(sys.stdout); sys.stdout.armed = KeyboardInterrupt(); print('x', flush=True)", "",
        ("document", 130, ["RUN-002"])),
    "exits inside a flush": (
        "", "sys.stdout = Flaky(sys.stdout); sys.stdout.armed = SystemExit(4); print('x', flush=True)", "",
        ("document", 4, ["CFG-001"])),
    "makes the standard-output flush fail on the way out": (
        "sys.stdout = flaky = Flaky(sys.stdout)", "flaky.armed = OSError('disk full'); return 0",
        "flaky.armed = None", ("raised", "OSError")),
    "makes the standard-error flush fail on the way out": (
        "", "sys.stderr = Flaky(sys.stderr); sys.stderr.armed = RuntimeError('stderr broke'); return 0",
        "sys.stderr = sys.__stderr__", ("raised", "RuntimeError")),
    "closes sys.stdout, which is standard error meanwhile": (
        "", "sys.stdout.close(); return 0", "",
        ("raised", "ValueError")),
    "closes the real standard-output stream": (
        "", "sys.__stdout__.close(); return 0", "",
        ("raised", "ValueError")),
    "deletes sys.stderr": (
        "", "del sys.stderr; return 0", "sys.stderr = sys.__stderr__",
        ("raised", "RuntimeError")),
    "starts many children that print": (
        "",
        f"""children = [subprocess.Popen([sys.executable, "-c", {CHILD!r}, str(k)]) for k in range(16)]
print("command", flush=True)
return max(c.wait() for c in children)""",
        "", ("document", 0, [])),
    "leaves children printing after it returns": (
        "",
        f"""global late
late = [subprocess.Popen([sys.executable, "-c", "import time; time.sleep(0.3)\\n" + {CHILD!r}, str(k)])
        for k in range(4)]
return 0""",
        "for child in late: child.wait()", ("document", 0, [])),
    "forks workers that print": (
        "import multiprocessing",
        """with multiprocessing.get_context("fork").Pool(4) as pool:
    pool.map(print, range(100))
return 0""",
        "", ("document", 0, [])),
    "runs run_with_json inside itself": (
        "", "print('outer'); return run_with_json(lambda: print('inner') or 6) + 1", "",
        ("document", 7, [])),
    "prints from threads": (
        "",
        """threads = [threading.Thread(target=lambda k=k: [print("thread", k, i) for i in range(500)]) for k in range(8)]
for t in threads: t.start()
for t in threads: t.join()
return 0""",
        "", ("document", 0, [])),
}


def run_case(tmp_path, setup, body, after):
    state = tmp_path / "state.json"
    code = HARNESS.format(setup=setup, body=textwrap.indent(body, "    "), after=after)
    done = subprocess.run([sys.executable, "-c", code, str(state)], capture_output=True, timeout=120,
                          env={**os.environ, "PYTHONIOENCODING": "utf-8"})
    assert done.returncode == 0, done.stderr.decode("utf-8", "replace")
    return done, json.loads(state.read_text())


@pytest.mark.parametrize("case", CASES)
def test_standard_output_under_attack(tmp_path, case):
    setup, body, after, expected = CASES[case]
    done, seen = run_case(tmp_path, setup, body, after)
    stdout = done.stdout.decode("utf-8")
    if expected[0] == "document":
        _, exit_code, errors = expected
        assert seen["outcome"] == ["returned", exit_code]
        # "before" was printed during the command: it went to standard error, like everything else.
        assert stdout.count("\n") == 1 and stdout.endswith("\n"), stdout
        doc = json.loads(stdout)
        assert doc["exit_code"] == exit_code
        assert [e["error_code"] for e in doc["errors"]] == errors
    else:
        assert seen["outcome"] == ["raised", expected[1]]
        assert stdout == ""  # no document when the failure passes on
    assert seen["stdout_restored"] and seen["fd1_restored"]
    assert seen["opened"] == []  # the saved descriptor is closed again


def test_children_and_nested_documents_reach_standard_error(tmp_path):
    setup, body, after, _ = CASES["starts many children that print"]
    done, _ = run_case(tmp_path, setup, body, after)
    err = done.stderr.decode("utf-8").splitlines()
    assert sorted(line for line in err if line.startswith("child ")) == sorted(
        f"child {k} {i}" for k in range(16) for i in range(200))
    assert err.count("command") == 1 and len([e for e in err if e.startswith("child-err")]) == 16 * 200
    setup, body, after, _ = CASES["runs run_with_json inside itself"]
    done, _ = run_case(tmp_path, setup, body, after)
    outer, inner, document = done.stderr.decode("utf-8").splitlines()
    assert (outer, inner, json.loads(document)["exit_code"]) == ("outer", "inner", 6)
    setup, body, after, _ = CASES["leaves children printing after it returns"]
    done, _ = run_case(tmp_path, setup, body, after)
    assert len([e for e in done.stderr.decode("utf-8").splitlines() if e.startswith("child ")]) == 4 * 200
