"""The README's commands, run as a new user would run them, against what it says they print."""

import ast
import os
import re
import shlex
import subprocess
import sys
import sysconfig
import tomllib
from pathlib import Path

import pytest

from publish.historystore import demo_store
from publish.runlens import HistoryReader

REPO = Path(__file__).resolve().parent.parent
README = REPO / "README.md"


def blocks():
    """(heading, language, text) of every fenced block, under the nearest heading above it."""
    heading, fence, out, body = None, None, [], []
    for line in README.read_text(encoding="utf-8").splitlines():
        if fence is None and line.startswith("```"):
            fence, body = line[3:].strip(), []
        elif fence is not None and line.startswith("```"):
            out.append((heading, fence, "\n".join(body) + "\n"))
            fence = None
        elif fence is not None:
            body.append(line)
        elif line.startswith("#"):
            heading = line
    assert fence is None, "unclosed code block"
    return out


def block(heading, language="sh"):
    found = [text for h, lang, text in blocks() if h == heading and lang == language]
    assert len(found) == 1, (heading, language)
    return found[0]


def chain(text):
    """A shell block's one command, its continuation lines joined, split at each &&."""
    return [part.strip() for part in text.replace("\\\n", " ").strip().split("&&")]


@pytest.fixture
def shell_env(tmp_path):
    """PATH with kamo on it (the installed script, or the package run the same way) and $demo."""
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    env = {**os.environ, "PATH": f"{bin_dir}:{os.environ['PATH']}", "PYTHONIOENCODING": "utf-8",
           "LC_ALL": "C.UTF-8"}
    # A sanitizer build preloads its runtime; the shell's own tools (mktemp) must not get it.
    preload = env.pop("LD_PRELOAD", None)
    installed = Path(sysconfig.get_path("scripts")) / "kamo"
    if installed.exists() and not preload:
        (bin_dir / "kamo").symlink_to(installed)
    else:  # a tools/dev build tree: no console script, same entry point
        setting = f"LD_PRELOAD={shlex.quote(preload)} " if preload else ""
        (bin_dir / "kamo").write_text(f'#!/bin/sh\n{setting}exec {shlex.quote(sys.executable)} -m publish "$@"\n')
        (bin_dir / "kamo").chmod(0o755)
    demo = tmp_path / "demo" / "publish-history.sqlite3"
    demo.parent.mkdir()
    demo_store(demo)
    return {**env, "demo": str(demo)}


def test_install_and_test_is_what_ci_runs():
    # .ci/run takes the command from under this heading with awk; it must find this one.
    awk = r"""/^### Install and test/{f=1} f&&/^```sh/{g=1;next} g&&/^```/{exit} g{print}"""
    extracted = subprocess.run(["awk", awk, str(README)], capture_output=True, text=True, check=True).stdout
    assert extracted == block("### Install and test")
    assert chain(extracted) == ["python3 -m venv .venv", ". .venv/bin/activate",
                                "pip install '.[test]'", "python -m pytest"]


def third_party_needs():
    """Distributions the tests import, or run with python -m, beyond the standard library."""
    local = {p.stem for p in (REPO / "tests").glob("*.py")} | {"publish", "frontdoor"}
    needs = set()
    for path in (REPO / "tests").glob("*.py"):
        source = path.read_text(encoding="utf-8")
        for node in ast.walk(ast.parse(source)):
            if isinstance(node, ast.Import):
                needs |= {a.name.split(".")[0] for a in node.names}
            elif isinstance(node, ast.ImportFrom) and node.level == 0:
                needs.add(node.module.split(".")[0])
        needs |= set(re.findall(r'"-m",\s*"(\w+)"', source))
    # pip comes with every virtual environment the README's commands make.
    return needs - local - set(sys.stdlib_module_names) - {"pip"}


def test_test_extra_installs_everything_the_tests_use():
    extra = tomllib.loads((REPO / "pyproject.toml").read_text())["project"]["optional-dependencies"]["test"]
    names = {re.match(r"[A-Za-z0-9_.-]+", req).group().lower() for req in extra}
    needs = third_party_needs()
    assert {"pytest", "hypothesis", "mypy", "jsonschema"} <= needs  # the scan sees them
    assert needs <= names


def test_prerequisites_name_what_a_bare_machine_lacks():
    parts = chain(block("## Commands"))
    assert parts[0] == "apt-get update"
    packages = shlex.split(parts[1])
    assert packages[:3] == ["apt-get", "install", "-y"]
    # the venv module, Python's headers, the compiler and SQLite's headers; no ICU any more
    assert set(packages[3:]) == {"git", "python3-venv", "python3-dev", "g++", "libsqlite3-dev"}


def test_install_and_run_works_after_the_install(shell_env):
    parts = chain(block("### Install and run"))
    # The set-up itself is what the install-and-test command does as well (and CI runs that).
    assert parts[:3] == ["python3 -m venv .venv", ". .venv/bin/activate", "pip install ."]
    done = subprocess.run(["bash", "-euo", "pipefail", "-c", " && ".join(parts[3:])], capture_output=True,
                          text=True, encoding="utf-8", env=shell_env)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[0].endswith("/publish-history.sqlite3")  # the demo store it wrote
    assert "最近任务：4 / 4（按插入顺序倒序，创建时间未记录）" in lines
    assert "任务：5d1e8c72-9f0a-4b3c-8d2e-6f7a8b9c0d1e（记录版本 2，创建时间未记录）" in lines


def console_examples():
    """(command, expected lines) for every `$ ` line of the console blocks."""
    out = []
    for _, lang, text in blocks():
        if lang != "console":
            continue
        for line in text.splitlines():
            if line.startswith("$ "):
                out.append((line[2:], []))
            else:
                out[-1][1].append(line)
    return out


def matches(expected, actual):
    """Lines equal one for one, where a `...` line stands for any number of lines."""
    if not expected:
        return not actual
    if expected[0] == "...":
        return any(matches(expected[1:], actual[i:]) for i in range(len(actual) + 1))
    return bool(actual) and expected[0] == actual[0] and matches(expected[1:], actual[1:])


EXAMPLES = console_examples()


@pytest.mark.parametrize("command, expected", EXAMPLES, ids=[c for c, _ in EXAMPLES])
def test_console_example_prints_what_the_readme_shows(shell_env, command, expected):
    done = subprocess.run(["bash", "-c", command], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True, encoding="utf-8", env=shell_env)
    assert matches(expected, done.stdout.splitlines()), done.stdout


def test_console_examples_cover_the_options():
    commands = " ".join(c for c, _ in EXAMPLES)
    for option in ("--history", "--limit", "--before", "--json", "--db"):
        assert option in commands


def test_python_example_reads_the_default_store(tmp_path):
    home = tmp_path / "home"
    store = home / ".kamo" / "publish-history.sqlite3"
    store.parent.mkdir(parents=True)
    demo_store(store)
    runs = HistoryReader(store).list_runs(5)
    (code,) = [text for _, lang, text in blocks() if lang == "python"]
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, encoding="utf-8",
                          env={**os.environ, "HOME": str(home), "PYTHONIOENCODING": "utf-8"})
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout == f"{runs['total']} {[run['title'] for run in runs['runs']]}\n"
