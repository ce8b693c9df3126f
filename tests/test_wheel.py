"""The built wheel on its own: installed with no index into a fresh virtual environment, it writes
a demo store and reads its history, with no compiler, headers or SQLite library of its own.

KAMO_WHEEL names the wheel to try: .ci/run builds one, checks it with auditwheel and runs this
file with it. Without it the tests are skipped, since building a wheel takes minutes.
"""

import os
import subprocess
import venv
import zipfile
from pathlib import Path

import pytest


@pytest.fixture(scope="module")
def wheel():
    given = os.environ.get("KAMO_WHEEL")
    if not given:
        pytest.skip("KAMO_WHEEL names no wheel (pip wheel --no-deps -w dist . makes one)")
    return Path(given)


def test_wheel_carries_no_sqlite_library(wheel):
    names = zipfile.ZipFile(wheel).namelist()
    assert [n for n in names if "sqlite" in n.lower() and n.endswith((".so", ".a"))] == []
    assert not any(".libs/" in n for n in names), "auditwheel vendored a library"


def test_wheel_installs_and_reads_history_with_no_index(wheel, tmp_path):
    env_dir = tmp_path / "venv"
    venv.EnvBuilder(with_pip=True).create(env_dir)
    python = env_dir / "bin" / "python"
    clean = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "LD_PRELOAD", "PYTHONHOME")}
    subprocess.run([python, "-m", "pip", "install", "--no-index", "-q", str(wheel)], check=True,
                   env=clean, timeout=600)
    kamo = env_dir / "bin" / "kamo"
    store = tmp_path / "demo" / "publish-history.sqlite3"
    store.parent.mkdir()
    subprocess.run([kamo, "--demo-store", str(store)], check=True, env=clean, timeout=120,
                   capture_output=True)
    listed = subprocess.run([kamo, "--history", "--db", str(store)], check=True, env=clean,
                            timeout=120, capture_output=True, text=True)
    lines = listed.stdout.splitlines()
    assert lines[0] == "[kamo] 发布历史只读查询；公开访问 / 播放本次未核验"
    assert lines[1].startswith("最近任务：4 / 4")
    run_id = lines[2].split(" | ")[0]
    shown = subprocess.run([kamo, "--history", run_id, "--db", str(store)], check=True, env=clean,
                           timeout=120, capture_output=True, text=True)
    assert f"任务：{run_id}" in shown.stdout
    # The installed modules, not this checkout's.
    where = subprocess.run([python, "-c", "import publish.runlens as r; print(r.__file__, r._sqlite_way())"],
                           check=True, env=clean, capture_output=True, text=True, cwd=tmp_path).stdout.split()
    assert where[0].startswith(str(env_dir)) and where[1] == "library"
