"""Start-up cost of `import frontdoor` against importing what it must bind anyway.

Each sample is a fresh interpreter that times its one import statement; the two kinds alternate
so a busy machine slows both alike. Prints the medians and their ratio (target: at most 1.05),
and the same for the whole process's wall time.
"""
import argparse
import statistics
import subprocess
import sys
import time

TIMED = """\
import time
t = time.perf_counter_ns()
{statement}
print(time.perf_counter_ns() - t)
"""

STATEMENTS = {
    "frontdoor": "import frontdoor",
    "baseline": "import os, subprocess, sys, datetime, importlib, pathlib, publish.cli",
}


def sample(statement):
    """(import time, process wall time), both in seconds."""
    start = time.perf_counter()
    done = subprocess.run([sys.executable, "-c", TIMED.format(statement=statement)],
                          capture_output=True, text=True, check=True)
    wall = time.perf_counter() - start
    return int(done.stdout) / 1e9, wall


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("-n", type=int, default=41, help="samples of each kind (at least 21)")
    n = max(parser.parse_args().n, 21)

    for statement in STATEMENTS.values():  # warm the file system cache and .pyc files
        sample(statement)
    imports = {kind: [] for kind in STATEMENTS}
    walls = {kind: [] for kind in STATEMENTS}
    for i in range(n):
        kinds = list(STATEMENTS) if i % 2 == 0 else list(reversed(STATEMENTS))
        for kind in kinds:
            t_import, t_wall = sample(STATEMENTS[kind])
            imports[kind].append(t_import)
            walls[kind].append(t_wall)

    print(f"samples:            {n} of each, alternating")
    for label, data in (("import", imports), ("process", walls)):
        fd, base = (statistics.median(data[k]) for k in ("frontdoor", "baseline"))
        print(f"{label + ' frontdoor:':20}{fd * 1e3:8.3f} ms (median)")
        print(f"{label + ' baseline:':20}{base * 1e3:8.3f} ms (median)")
        print(f"{label + ' ratio:':20}{fd / base:8.4f}")


if __name__ == "__main__":
    main()
