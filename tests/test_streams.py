"""run_with_json in a whole process, under commands that attack standard output: they close or
replace sys.stdout, close or reroute descriptor 1, raise inside a flush, or start many children
that print. Standard output carries exactly one JSON line, or nothing when the failure passes on
by the wrapper's rules; either way sys.stdout and descriptor 1 are what they were before."""

import json
import os
import random
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


# ---- run_with_json on overlapping threads ------------------------------------------------------

# The child: commands on threads named a, b, c..., begun in that order, each one only once the one
# before is running, and ended in the order given ("*": all at once). Each command prints, records
# a large history (so that every document takes many writes to a pipe) and returns its own exit
# code. With "race", standard output's first flush (on the first command's way in) starts the
# second thread and gives it every chance to get in meanwhile.
OVERLAP = """
import json, os, sys, threading
from publish.output import _report, record_history, run_with_json

def is_open(fd):
    try:
        os.fstat(fd)
        return True
    except OSError:
        return False

def identity(fd):
    st = os.fstat(fd)
    return [st.st_dev, st.st_ino]

state_file, names, ending, race = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4] == "race"
running = {n: threading.Event() for n in names}
may_end = {n: threading.Event() for n in names}
codes = {n: 10 + k for k, n in enumerate(names)}
returned = {}

def command(name):
    k = names.index(name)
    if k:
        running[names[k - 1]].wait()  # one line at a time
    print("printed by", name)
    running[name].set()
    record_history({"by": name, "filler": "记录" * 50_000}, "history_list")
    may_end[name].wait()
    return codes[name]

def thread(name):
    returned[name] = [run_with_json(lambda: command(name)), _report.get() is None]

threads = {n: threading.Thread(target=thread, args=(n,)) for n in names}

class Racing:
    '''Standard output whose first flush on the first thread starts the second one.'''
    def __init__(self, stream):
        self.stream, self.armed = stream, True
    def fileno(self):
        return self.stream.fileno()
    def write(self, text):
        return self.stream.write(text)
    def flush(self):
        if self.armed and threading.current_thread() is threads[names[0]]:
            self.armed = False
            threads[names[1]].start()
            running[names[1]].wait(timeout=0.5)  # it must not get in before the first is in
        self.stream.flush()

if race:
    sys.stdout = Racing(sys.stdout)
stream, stdout_id, stderr_id = sys.stdout, identity(1), identity(2)
before_open = [fd for fd in range(256) if is_open(fd)]

for k, n in enumerate(names):
    if not (race and k == 1):
        threads[n].start()
    running[n].wait()
between = []
if ending == "*":
    for n in names:
        may_end[n].set()
    for n in names:
        threads[n].join()
for k, n in enumerate(ending.strip("*")):
    may_end[n].set()
    threads[n].join()
    if k < len(ending) - 1:
        # Others are still running: the redirection stays in force, for children too.
        between.append([sys.stdout is sys.stderr, identity(1) == stderr_id])
        os.write(1, f"raw write after {n} ended\\n".encode())
seen = {"returned": returned, "between": between, "stdout_restored": sys.stdout is stream,
        "fd1_restored": identity(1) == stdout_id, "report_restored": _report.get() is None,
        "opened": sorted(set(fd for fd in range(256) if is_open(fd)) - set(before_open)), "codes": codes}
with open(state_file, "w") as f:
    json.dump(seen, f)
"""

OVERLAP_SEED = int(os.environ.get("KAMO_OVERLAP_SEED", "20250611"))


def shuffled(names, seed):
    order = list(names)
    random.Random(seed).shuffle(order)
    return "".join(order)


@pytest.mark.parametrize("names, ending, race", [
    ("ab", "ab", False),   # the first one ends first
    ("ab", "ba", False),   # nested order
    ("ab", "ab", True),
    ("ab", "ba", True),
    ("abc", "bac", False),
    ("abcdef", shuffled("abcdef", OVERLAP_SEED), False),
    ("abcdef", "*", False),
])
def test_overlapping_commands_on_threads(tmp_path, names, ending, race):
    print(f"ending {ending} (seed {OVERLAP_SEED}, KAMO_OVERLAP_SEED={OVERLAP_SEED} replays it)")
    state = tmp_path / "state.json"
    done = subprocess.run([sys.executable, "-c", OVERLAP, str(state), names, ending, "race" if race else ""],
                          capture_output=True, timeout=120, env={**os.environ, "PYTHONIOENCODING": "utf-8"})
    assert done.returncode == 0, done.stderr.decode("utf-8", "replace")[-2000:]
    seen = json.loads(state.read_text())
    codes = seen["codes"]
    assert seen["returned"] == {n: [codes[n], True] for n in names}
    assert seen["between"] == [[True, True]] * (len(ending) - 1)
    assert seen["stdout_restored"] and seen["fd1_restored"] and seen["report_restored"]
    assert seen["opened"] == []  # every saved descriptor closed, once
    # The first one's document is the one line on standard output; each later one's went where
    # standard output then was, standard error, as a whole line of its own.
    (line,) = done.stdout.decode("utf-8").splitlines(keepends=True)
    assert line.endswith("\n") and json.loads(line)["history"]["by"] == names[0]
    err = done.stderr.decode("utf-8").splitlines()
    documents = [json.loads(e) for e in err if e.startswith("{")]
    assert sorted(d["history"]["by"] for d in documents) == sorted(names[1:])
    assert all(d["exit_code"] == codes[d["history"]["by"]] for d in documents)
    assert sorted(e for e in err if e.startswith("printed by")) == [f"printed by {n}" for n in names]
    assert [e for e in err if e.startswith("raw write")] == [f"raw write after {n} ended" for n in ending[:-1].strip("*")]
