"""Checks on the browser runtime the full kamo uses. This package only looks:
it never downloads or installs a browser or a Python package."""

import asyncio
import importlib.util
import os
import sys
from pathlib import Path

from publish.standin import raise_unavailable


def patchright_available() -> bool:
    return importlib.util.find_spec("patchright") is not None


def playwright_browser_cache_dirs() -> list[Path]:
    """Where browser builds may live: $PLAYWRIGHT_BROWSERS_PATH first, then the user cache.

    "0" in that variable means "inside the installed package", which we don't look into.
    """
    dirs = []
    env = os.environ.get("PLAYWRIGHT_BROWSERS_PATH")
    if env and env != "0":
        dirs.append(Path(env).expanduser())
    dirs.append(Path.home() / ".cache" / "ms-playwright")
    return dirs


def patchright_chromium_installed() -> bool:
    """True when a cache dir holds a chromium build folder (chromium-<rev>, ...)."""
    for d in playwright_browser_cache_dirs():
        try:
            if any(p.is_dir() and p.name.startswith("chromium") for p in d.iterdir()):
                return True
        except OSError:
            continue
    return False


def install_patchright_chromium():
    raise_unavailable("installing the patchright chromium browser")


def sync_python_dependencies():
    raise_unavailable("installing Python dependencies")


def run_async_for_test(coro):
    return asyncio.run(coro)


def runtime_preflight() -> dict:
    """Check name -> passed, for what the full runtime needs before it can publish."""
    return {
        "python": sys.version_info >= (3, 11),
        "patchright": patchright_available(),
        "chromium": patchright_chromium_installed(),
    }
