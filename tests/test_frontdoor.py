"""frontdoor: the publishing runtime's names under one module, each loaded on first request.

Every case runs in a fresh interpreter, because what matters is which modules an import
loads and what it does to sys.path.
"""

import importlib.util
import json
import os
import re
import shutil
import subprocess
import sys
import textwrap

import pytest

# Found without importing it here: importing would put its folder first on this process's path.
FRONTDOOR = importlib.util.find_spec("frontdoor").origin

RUNTIME = ["publish.config", "publish.content", "publish.constants", "publish.dispatch",
           "publish.orchestrator", "publish.reporter", "publish.runtime"]

TABLE = [
    ("PublishOverrides", "publish.config"),
    ("default_params_from_overrides", "publish.config"),
    ("fill_empty_content", "publish.content"),
    ("get_video_content", "publish.content"),
    ("get_video_files", "publish.content"),
    ("load_content_templates", "publish.content"),
    ("resolve_path", "publish.content"),
    ("truncate_title", "publish.content"),
    ("PLATFORM_NAMES", "publish.constants"),
    ("TITLE_LIMITS", "publish.constants"),
    ("ensure_account_login", "publish.dispatch"),
    ("ensure_login", "publish.dispatch"),
    ("platform_requires_account_login", "publish.dispatch"),
    ("publish_to_baijiahao", "publish.dispatch"),
    ("publish_to_bilibili", "publish.dispatch"),
    ("publish_to_douyin", "publish.dispatch"),
    ("publish_to_kuaishou", "publish.dispatch"),
    ("publish_to_platform", "publish.dispatch"),
    ("publish_to_tencent", "publish.dispatch"),
    ("publish_to_tk", "publish.dispatch"),
    ("publish_to_weibo", "publish.dispatch"),
    ("publish_to_xiaohongshu", "publish.dispatch"),
    ("publish_one_item", "publish.orchestrator"),
    ("run_publish", "publish.orchestrator"),
    ("run_publish_sync", "publish.orchestrator"),
    ("run_publish_with_params", "publish.orchestrator"),
    ("print_header", "publish.reporter"),
    ("print_results", "publish.reporter"),
    ("install_patchright_chromium", "publish.runtime"),
    ("patchright_available", "publish.runtime"),
    ("patchright_chromium_installed", "publish.runtime"),
    ("playwright_browser_cache_dirs", "publish.runtime"),
    ("run_async_for_test", "publish.runtime"),
    ("runtime_preflight", "publish.runtime"),
    ("sync_python_dependencies", "publish.runtime"),
]
EXPORTS = [name for name, _ in TABLE]
STANDARD = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}


def fresh(code, cwd=None, env=None):
    """Runs code in a new interpreter and returns the JSON it printed last."""
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, cwd=cwd, env=env, timeout=120)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.splitlines()[-1])


def runtime_tree(folder, dispatch_source):
    """frontdoor copied into folder, beside a small publish package with the given dispatch."""
    folder.mkdir(parents=True, exist_ok=True)
    # A copy, not a link: frontdoor resolves links and would find the real package again.
    shutil.copy(FRONTDOOR, folder)
    package = folder / "publish"
    package.mkdir()
    (package / "__init__.py").write_text("")
    (package / "cli.py").write_text("def build_parser():\n    return 'parser'\n\n"
                                    "def main():\n    return 0\n")
    (package / "dispatch.py").write_text(textwrap.dedent(dispatch_source))
    return folder / os.path.basename(FRONTDOOR)


def test_load_binds_only_cli_and_the_standard_names():
    out = fresh(f"""
        import json, sys
        import frontdoor
        loaded = sorted(m for m in {RUNTIME!r} if m in sys.modules)
        import datetime, importlib, os, pathlib, subprocess
        import publish.cli
        ns = vars(frontdoor)
        print(json.dumps({{
            "loaded": loaded,
            "cli": "publish.cli" in sys.modules,
            "namespace": sorted(set(ns) - {STANDARD!r}),
            "same": [frontdoor.os is os, frontdoor.subprocess is subprocess, frontdoor.sys is sys,
                     frontdoor.datetime is datetime.datetime,
                     frontdoor.import_module is importlib.import_module,
                     frontdoor.Path is pathlib.Path, frontdoor.build_parser is publish.cli.build_parser,
                     frontdoor.main is publish.cli.main],
            "table_types": [type(frontdoor._PUBLIC_IMPORTS).__name__,
                            sorted({{type(v).__name__ for v in frontdoor._PUBLIC_IMPORTS.values()}})],
            "table": [[k, *v] for k, v in frontdoor._PUBLIC_IMPORTS.items()],
            "all": frontdoor.__all__,
            "all_type": type(frontdoor.__all__).__name__,
            "doc": frontdoor.__doc__,
        }}))
    """)
    assert out["loaded"] == [] and out["cli"]
    assert out["namespace"] == sorted(["os", "subprocess", "sys", "datetime", "import_module", "Path",
                                       "build_parser", "main", "_PUBLIC_IMPORTS", "__all__",
                                       "__getattr__", "__dir__"])
    assert all(out["same"])
    assert out["table_types"] == ["dict", ["tuple"]]
    assert out["table"] == [[name, module, name] for name, module in TABLE]
    assert (out["all"], out["all_type"]) == (["build_parser", "main", *EXPORTS], "list")
    assert out["doc"] == "Compatibility entrypoint; publishing exports load only when requested."


MAPPED = """
    import json
    {statement}
    with open("/proc/self/maps") as maps:
        print(json.dumps(sorted({{line.split()[-1] for line in maps if "/" in line and ".so" in line}})))
"""


# What a sanitizer build links into every module, frontdoor included.
SANITIZER_RUNTIME = re.compile(r"/lib(asan|ubsan|lsan|clang_rt)[^/]*$")


@pytest.mark.skipif(not os.path.exists("/proc/self/maps"), reason="needs /proc/self/maps")
def test_load_maps_no_shared_object_but_its_own():
    # Plain C API: no C++ runtime and no binding runtime beside what its bound names load anyway.
    baseline = fresh(MAPPED.format(statement="import datetime, importlib, os, pathlib, subprocess, sys, publish.cli"))
    loaded = fresh(MAPPED.format(statement="import frontdoor"))
    added = {path for path in set(loaded) - set(baseline) if not SANITIZER_RUNTIME.search(path)}
    assert added == {os.path.realpath(FRONTDOOR)}


def test_a_name_loads_its_module_once_and_binds_only_itself():
    out = fresh("""
        import json, sys
        import frontdoor
        calls = []
        resolve = frontdoor.__getattr__
        def counting(name):
            calls.append(name)
            return resolve(name)
        frontdoor.__getattr__ = counting
        names0, modules0 = set(vars(frontdoor)), set(sys.modules)
        douyin = frontdoor.publish_to_douyin
        names1, modules1 = set(vars(frontdoor)), set(sys.modules)
        again = frontdoor.publish_to_douyin
        bilibili = frontdoor.publish_to_bilibili
        names2, modules2 = set(vars(frontdoor)), set(sys.modules)
        import publish.dispatch as dispatch
        print(json.dumps({
            "first_bound": sorted(names1 - names0),
            "first_loaded": "publish.dispatch" in modules1 - modules0,
            "second_bound": sorted(names2 - names1),
            "second_loaded": sorted(modules2 - modules1),
            "calls": calls,
            "same": [douyin is dispatch.publish_to_douyin, again is douyin,
                     bilibili is dispatch.publish_to_bilibili],
        }))
    """)
    assert out["first_bound"] == ["publish_to_douyin"] and out["first_loaded"]
    assert out["second_bound"] == ["publish_to_bilibili"] and out["second_loaded"] == []
    # The second request for douyin is found in the namespace without asking __getattr__.
    assert out["calls"] == ["publish_to_douyin", "publish_to_bilibili"]
    assert all(out["same"])


@pytest.mark.parametrize("name, message", [
    ("upload", "module 'frontdoor' has no attribute 'upload'"),
    ("Publish_to_douyin", "module 'frontdoor' has no attribute 'Publish_to_douyin'"),
    ("it's", "module 'frontdoor' has no attribute \"it's\""),
    ("发布", "module 'frontdoor' has no attribute '发布'"),
])
@pytest.mark.parametrize("handling", [False, True], ids=["plain", "inside-except"])
def test_unknown_name(name, message, handling):
    out = fresh(f"""
        import json, sys
        import frontdoor
        def request():
            try:
                getattr(frontdoor, {name!r})
            except BaseException as e:
                return e
        if {handling!r}:
            try:
                raise KeyError("handled elsewhere")
            except KeyError:
                err = request()
        else:
            err = request()
        print(json.dumps({{
            "type": type(err).__name__, "message": str(err),
            "cause": repr(err.__cause__), "context": repr(err.__context__),
            "hasattr": hasattr(frontdoor, {name!r}),
            "runtime": sorted(m for m in {RUNTIME!r} if m in sys.modules),
        }}))
    """)
    assert out == {"type": "AttributeError", "message": message, "cause": "None", "context": "None",
                   "hasattr": False, "runtime": []}


def test_dir_lists_every_name_once_in_order():
    out = fresh("""
        import json
        import frontdoor
        before = dir(frontdoor)
        frontdoor.publish_to_douyin
        frontdoor.PLATFORM_NAMES
        after = dir(frontdoor)
        print(json.dumps({"before": before, "after": after, "namespace": sorted(vars(frontdoor)),
                          "all": frontdoor.__all__}))
    """)
    for listed in (out["before"], out["after"]):
        assert listed == sorted(listed)
        assert len(listed) == len(set(listed))
        assert set(out["all"]) <= set(listed)
    assert len(out["all"]) == 37
    assert out["after"] == sorted(set(out["namespace"]) | set(out["all"]))
    assert set(out["after"]) == set(out["before"])


def test_star_import_loads_every_runtime_module():
    out = fresh(f"""
        import importlib, json, sys
        import frontdoor
        names = {{}}
        exec("from frontdoor import *", names)
        print(json.dumps({{
            "loaded": sorted(m for m in {RUNTIME!r} if m in sys.modules),
            "imported": sorted(set(names) - {{"__builtins__"}}),
            "bound": sorted(n for n in frontdoor.__all__ if n in vars(frontdoor)),
            "same": [names[n] is getattr(importlib.import_module(m), n) for n, m in {TABLE!r}],
        }}))
    """)
    assert out["loaded"] == sorted(RUNTIME)
    assert out["imported"] == out["bound"] == sorted(["build_parser", "main", *EXPORTS])
    assert all(out["same"]) and len(out["same"]) == 35


@pytest.mark.parametrize("already_on_path", [False, True])
def test_own_folder_comes_first_on_the_path(tmp_path, already_on_path):
    real = tmp_path / "real"
    so = runtime_tree(real, "")
    (tmp_path / "link").symlink_to(real, target_is_directory=True)
    through_link = tmp_path / "link" / so.name
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    if already_on_path:
        env["PYTHONPATH"] = str(real)
    out = fresh(f"""
        import importlib.util, json, sys
        found = importlib.util.spec_from_file_location("frontdoor", {str(through_link)!r})
        frontdoor = importlib.util.module_from_spec(found)
        sys.modules["frontdoor"] = frontdoor
        found.loader.exec_module(frontdoor)
        import publish.cli
        print(json.dumps({{"path": sys.path, "cli": publish.cli.__file__,
                          "main": frontdoor.main is publish.cli.main,
                          "parser": frontdoor.build_parser()}}))
    """, cwd=tmp_path, env=env)
    folder = os.path.realpath(real)
    assert out["path"][0] == folder
    # Put first even when already there; the folder is not looked for first.
    assert out["path"].count(folder) == (2 if already_on_path else 1)
    assert out["cli"] == os.path.join(folder, "publish", "cli.py")
    assert out["main"] and out["parser"] == "parser"


def test_failing_runtime_module_propagates_and_is_tried_again(tmp_path):
    so = runtime_tree(tmp_path / "tree", """
        import os
        if os.path.exists(os.path.join(os.path.dirname(__file__), "broken")):
            raise LookupError("dispatch cannot start")
        publish_to_douyin = object()
    """)
    broken = so.parent / "publish" / "broken"
    broken.touch()
    out = fresh(f"""
        import json, os, sys
        import frontdoor
        try:
            frontdoor.publish_to_douyin
        except BaseException as e:
            failed = [type(e).__name__, str(e), "publish_to_douyin" in vars(frontdoor),
                      "publish.dispatch" in sys.modules]
        os.remove({str(broken)!r})
        value = frontdoor.publish_to_douyin
        import publish.dispatch
        print(json.dumps({{"failed": failed, "retried": value is publish.dispatch.publish_to_douyin,
                          "bound": vars(frontdoor)["publish_to_douyin"] is value}}))
    """, cwd=so.parent)
    assert out == {"failed": ["LookupError", "dispatch cannot start", False, False],
                   "retried": True, "bound": True}


def test_runtime_module_without_the_name_gives_its_own_error(tmp_path):
    so = runtime_tree(tmp_path / "tree", "publish_to_bilibili = object()\n")
    out = fresh("""
        import json, sys
        import frontdoor
        errors = []
        for _ in range(2):
            try:
                frontdoor.publish_to_douyin
            except AttributeError as e:
                errors.append([str(e), "publish_to_douyin" in vars(frontdoor)])
        sys.modules["publish.dispatch"].publish_to_douyin = value = object()
        print(json.dumps({"errors": errors, "later": frontdoor.publish_to_douyin is value}))
    """, cwd=so.parent)
    message = "module 'publish.dispatch' has no attribute 'publish_to_douyin'"
    assert out == {"errors": [[message, False]] * 2, "later": True}


def test_threads_requesting_the_same_name_get_the_runtime_object(tmp_path):
    # The runtime module is slow to load, so every thread asks while the first load is under way.
    so = runtime_tree(tmp_path / "tree", """
        import time
        time.sleep(0.3)
        publish_to_douyin = object()
    """)
    out = fresh("""
        import json, sys, threading
        import frontdoor
        barrier = threading.Barrier(8)
        got, errors = [], []
        def ask():
            barrier.wait()
            try:
                got.append(frontdoor.publish_to_douyin)
            except BaseException as e:
                errors.append(repr(e))
        threads = [threading.Thread(target=ask) for _ in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        expected = sys.modules["publish.dispatch"].publish_to_douyin
        print(json.dumps({"errors": errors, "count": len(got),
                          "same": all(v is expected for v in got),
                          "bound": vars(frontdoor)["publish_to_douyin"] is expected}))
    """, cwd=so.parent)
    assert out == {"errors": [], "count": 8, "same": True, "bound": True}


@pytest.mark.parametrize("argv, status, stream", [
    (["kamo"], 0, "stdout"),
    (["kamo", "--limit", "3"], 2, "stderr"),
])
def test_run_as_main_program_exits_with_mains_status(argv, status, stream):
    # No loader runs an extension module as __main__, so build one with that name by hand.
    code = f"""
        import ctypes, sys, types
        sys.argv = {argv!r}
        lib = ctypes.PyDLL({FRONTDOOR!r})
        lib.PyInit_frontdoor.restype = ctypes.c_void_p
        definition = lib.PyInit_frontdoor()
        api = ctypes.pythonapi
        api.PyModule_FromDefAndSpec2.restype = ctypes.py_object
        api.PyModule_FromDefAndSpec2.argtypes = [ctypes.c_void_p, ctypes.py_object, ctypes.c_int]
        api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
        as_main = types.SimpleNamespace(name="__main__")
        module = api.PyModule_FromDefAndSpec2(definition, as_main, sys.api_version)
        api.PyModule_ExecDef(module, definition)
        print("not reached")
    """
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == status, done.stderr
    assert "not reached" not in done.stdout
    assert getattr(done, stream).startswith("usage: kamo")
