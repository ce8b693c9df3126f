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


PYPROJECT = tomllib.loads((REPO / "pyproject.toml").read_text())
GROUPS = PYPROJECT["dependency-groups"]


def group(name, seen=()):
    """A dependency group's requirements, its {include-group = ...} entries followed."""
    assert name not in seen, f"dependency groups include each other: {seen}"
    out = []
    for entry in GROUPS[name]:
        out += group(entry["include-group"], (*seen, name)) if isinstance(entry, dict) else [entry]
    return out


def project_name(requirement):
    return re.match(r"[A-Za-z0-9_.-]+", requirement).group().lower().replace("_", "-")


@pytest.mark.parametrize("kind, name", [("extra", "test"), ("group", "dev")])
def test_requirements_install_everything_the_tests_use(kind, name):
    # The README's install-and-test uses the test extra; tools/dev runs the tests with the dev group.
    requirements = PYPROJECT["project"]["optional-dependencies"][name] if kind == "extra" else group(name)
    needs = third_party_needs()
    assert {"pytest", "hypothesis", "mypy", "jsonschema"} <= needs  # the scan sees them
    assert {project_name(n) for n in needs} <= {project_name(req) for req in requirements}


def test_test_group_is_the_test_extra():
    # Written twice because a group cannot name an extra without building the package.
    assert sorted(group("test")) == sorted(PYPROJECT["project"]["optional-dependencies"]["test"])


def test_dev_group_is_the_tests_and_the_build_tools_once_each():
    dev = group("dev")
    assert len(set(map(project_name, dev))) == len(dev)
    assert sorted(dev) == sorted(group("test") + group("build"))
    assert {project_name(req) for req in group("build")} >= {"nanobind", "cmake", "ninja"}
    # tools/dev builds with the nanobind the package's own build asks for.
    nanobind = [req for req in PYPROJECT["build-system"]["requires"] if project_name(req) == "nanobind"]
    assert nanobind and set(nanobind) <= set(group("build"))


# Each place that installs or names a group, and how it names it.
GROUP_USES = [
    ("README.md", r"--group (\w+)"),
    (".ci/run", r"--group (\w+)"),
    ("noxfile.py", r"pyproject\.toml'\}:(\w+)"),
    ("tools/dev", r"kamo_find_python \S+ (\w+)"),
    ("tools/fuzz", r"kamo_find_python \S+ (\w+)"),
]


@pytest.mark.parametrize("path, pattern", GROUP_USES, ids=[p for p, _ in GROUP_USES])
def test_every_group_named_exists(path, pattern):
    named = set(re.findall(pattern, (REPO / path).read_text(encoding="utf-8")))
    assert named, f"{path} names no dependency group"
    assert named <= set(GROUPS)


def test_fuzz_targets_are_listed_once_and_described():
    # The shell's own tools, not this process's sanitizer runtime (its leak check fails them).
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    listed = subprocess.run([str(REPO / "tools" / "fuzz"), "--list"], capture_output=True, text=True,
                            check=True, env=env).stdout.split()
    lines = (REPO / "fuzz" / "targets.txt").read_text().splitlines()
    assert listed == [line for line in lines if line and not line.startswith("#")]
    for target in listed:
        assert "LLVMFuzzerTestOneInput" in (REPO / "fuzz" / f"{target}.cpp").read_text()
        assert any((REPO / "fuzz" / "corpus" / target).iterdir()), f"{target} has no seeds"
    # The README describes each one where it says how to run them.
    readme = " ".join(README.read_text(encoding="utf-8").split())
    described = re.search(r"Fuzzing: `tools/fuzz TARGET SECONDS`.*? runs it: (.*?); `fuzz/targets\.txt`", readme)
    assert described
    # each name, then what it fuzzes in parentheses
    assert re.findall(r"`(\w+)`", re.sub(r"\([^)]*\)", "", described.group(1))) == listed


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
