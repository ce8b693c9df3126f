"""Build and test on every CPython the package supports, and on a sanitizer build.

    nox -s tests-3.13            the README's install-and-test on CPython 3.13 (any pytest
                                 arguments after --)
    nox                          the same on each version in PYTHONS
    nox -s sanitize              the whole suite under AddressSanitizer and UBSan (tools/dev)

A version with no interpreter on this machine is skipped, and nox says so.
"""

import glob
import os
import sys
import tempfile
from pathlib import Path

import nox

ROOT = Path(__file__).resolve().parent
PYTHONS = ["3.11", "3.12", "3.13"]

nox.options.sessions = ["tests"]
# A missing interpreter skips its session instead of failing the run, on CI too.
nox.options.error_on_missing_interpreters = False
# Interpreters come from the machine; newer nox would otherwise download a missing one.
if hasattr(nox.options, "download_python"):
    nox.options.download_python = "never"

# pyenv's shims run only the versions pyenv has selected; its other versions are found in their
# own folders, put after everything else on PATH so they never shadow what is already there.
_pyenv_bins = sorted(glob.glob(os.path.join(os.environ.get("PYENV_ROOT") or os.path.expanduser("~/.pyenv"),
                                            "versions", "*", "bin")))
if _pyenv_bins:
    os.environ["PATH"] = os.pathsep.join([os.environ.get("PATH", ""), *_pyenv_bins])


@nox.session(python=PYTHONS, venv_backend="venv")
def tests(session):
    """pip install '.[test]' into a fresh environment of that version, then the whole suite."""
    session.install(".[test]")
    session.run("python", "-m", "pytest", *session.posargs)


@nox.session(venv_backend="venv")
def sanitize(session):
    """The suite on a build with AddressSanitizer (leaks included) and UndefinedBehaviorSanitizer.
    ASan and LSan write their reports to files, so a report from a child process whose exit
    status no test looks at still fails the session; UBSan ends its process with status 87."""
    # The dev dependency group, without building the package; groups need pip 25.1 or newer.
    session.install("-U", "pip>=25.1")
    session.install("--group", f"{ROOT / 'pyproject.toml'}:dev")
    reports = tempfile.mkdtemp(prefix="kamo-sanitizer-")
    env = {"KAMO_PYTHON": os.path.join(session.bin, "python"), "KAMO_CMAKE_ARGS": "-DKAMO_SANITIZE=ON",
           "ASAN_OPTIONS": f"log_path={reports}/asan"}
    try:
        session.run(str(ROOT / "tools" / "dev"), "-p", "no:cacheprovider", *session.posargs, env=env,
                    external=True)
    finally:
        found = sorted(os.listdir(reports))
        for name in found:
            sys.stderr.write(Path(reports, name).read_text(errors="replace"))
        for name in found:
            os.remove(os.path.join(reports, name))
        os.rmdir(reports)
        if found:
            session.error(f"sanitizer reports: {len(found)} process(es)")
