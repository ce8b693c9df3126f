// frontdoor: one module for older callers; each runtime module loads on its first requested name.
//
// Written against the C API rather than nanobind: its two module functions must be bound to the
// module (m_self), so the module -> namespace -> function -> module cycle stays visible to the
// garbage collector, and a start-up path this small should not pay for a binding runtime.
#include <Python.h>

#include <dlfcn.h>

#include <array>
#include <string_view>

#include "bind/pyref.hpp"

namespace {

using bind::Ref;

struct Export {
    const char* name;    // export name, also the attribute read from the module
    const char* module;  // dotted runtime module
};

constexpr std::array<Export, 35> kExports{{
    {"PublishOverrides", "publish.config"},
    {"default_params_from_overrides", "publish.config"},
    {"fill_empty_content", "publish.content"},
    {"get_video_content", "publish.content"},
    {"get_video_files", "publish.content"},
    {"load_content_templates", "publish.content"},
    {"resolve_path", "publish.content"},
    {"truncate_title", "publish.content"},
    {"PLATFORM_NAMES", "publish.constants"},
    {"TITLE_LIMITS", "publish.constants"},
    {"ensure_account_login", "publish.dispatch"},
    {"ensure_login", "publish.dispatch"},
    {"platform_requires_account_login", "publish.dispatch"},
    {"publish_to_baijiahao", "publish.dispatch"},
    {"publish_to_bilibili", "publish.dispatch"},
    {"publish_to_douyin", "publish.dispatch"},
    {"publish_to_kuaishou", "publish.dispatch"},
    {"publish_to_platform", "publish.dispatch"},
    {"publish_to_tencent", "publish.dispatch"},
    {"publish_to_tk", "publish.dispatch"},
    {"publish_to_weibo", "publish.dispatch"},
    {"publish_to_xiaohongshu", "publish.dispatch"},
    {"publish_one_item", "publish.orchestrator"},
    {"run_publish", "publish.orchestrator"},
    {"run_publish_sync", "publish.orchestrator"},
    {"run_publish_with_params", "publish.orchestrator"},
    {"print_header", "publish.reporter"},
    {"print_results", "publish.reporter"},
    {"install_patchright_chromium", "publish.runtime"},
    {"patchright_available", "publish.runtime"},
    {"patchright_chromium_installed", "publish.runtime"},
    {"playwright_browser_cache_dirs", "publish.runtime"},
    {"run_async_for_test", "publish.runtime"},
    {"runtime_preflight", "publish.runtime"},
    {"sync_python_dependencies", "publish.runtime"},
}};

// A global of the module, looked up at call time as a Python function would; borrowed.
PyObject* global(PyObject* ns, const char* name) {
    PyObject* v = PyDict_GetItemString(ns, name);
    if (!v) PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    return v;
}

// `from module import name`, with the ImportError that statement gives for a missing name.
PyObject* import_from(const char* module, const char* name) {
    Ref mod(PyImport_ImportModule(module));
    if (!mod) return nullptr;
    PyObject* v = PyObject_GetAttrString(mod.get(), name);
    if (v || !PyErr_ExceptionMatches(PyExc_AttributeError)) return v;
    PyErr_Clear();
    Ref mod_name(PyUnicode_FromString(module));
    Ref path(PyObject_GetAttrString(mod.get(), "__file__"));
    if (!path) PyErr_Clear();
    Ref msg(path ? PyUnicode_FromFormat("cannot import name '%s' from '%s' (%S)", name, module, path.get())
                 : PyUnicode_FromFormat("cannot import name '%s' from '%s' (unknown location)", name, module));
    if (mod_name && msg) PyErr_SetImportError(msg.get(), mod_name.get(), path.get());
    return nullptr;
}

// Binds ns[name] = value and drops the reference to value; false with the error set.
bool bind(PyObject* ns, const char* name, PyObject* value) {
    Ref v(value);
    return v && PyDict_SetItemString(ns, name, v.get()) == 0;
}

// This shared object's own path, as the dynamic loader opened it; __file__ when that is unknown.
PyObject* own_file(PyObject* ns) {
    static const char anchor = 0;
    Dl_info info;
    if (dladdr(&anchor, &info) != 0 && info.dli_fname && *info.dli_fname)
        return PyUnicode_DecodeFSDefault(info.dli_fname);
    PyObject* file = PyDict_GetItemString(ns, "__file__");
    if (!file) {
        PyErr_SetString(PyExc_ImportError, "frontdoor cannot find its own file");
        return nullptr;
    }
    return Py_NewRef(file);
}

// Puts this module's directory (absolute, symbolic links resolved) first on sys.path.
bool put_own_dir_first(PyObject* ns) {
    Ref file(own_file(ns));
    if (!file) return false;
    PyObject* os = global(ns, "os");
    PyObject* sys = global(ns, "sys");
    if (!os || !sys) return false;
    Ref os_path(PyObject_GetAttrString(os, "path"));
    if (!os_path) return false;
    Ref real(PyObject_CallMethod(os_path.get(), "realpath", "O", file.get()));
    if (!real) return false;
    Ref dir(PyObject_CallMethod(os_path.get(), "dirname", "O", real.get()));
    if (!dir) return false;
    Ref path(PyObject_GetAttrString(sys, "path"));
    if (!path) return false;
    Ref done(PyObject_CallMethod(path.get(), "insert", "iO", 0, dir.get()));
    return static_cast<bool>(done);
}

PyObject* public_imports() {
    Ref table(PyDict_New());
    if (!table) return nullptr;
    for (const Export& e : kExports) {
        Ref pair(Py_BuildValue("(ss)", e.module, e.name));
        if (!pair || PyDict_SetItemString(table.get(), e.name, pair.get()) < 0) return nullptr;
    }
    return table.release();
}

PyObject* all_names() {
    Ref names(PyList_New(0));
    if (!names) return nullptr;
    auto add = [&](const char* s) {
        Ref o(PyUnicode_InternFromString(s));
        return o && PyList_Append(names.get(), o.get()) == 0;
    };
    if (!add("build_parser") || !add("main")) return nullptr;
    for (const Export& e : kExports)
        if (!add(e.name)) return nullptr;
    return names.release();
}

// Raised bare: no cause, and no context either, even when the caller is handling an exception.
PyObject* no_attribute(PyObject* ns, PyObject* name) {
    PyObject* module_name = global(ns, "__name__");
    if (!module_name) return nullptr;
    Ref msg(PyUnicode_FromFormat("module %R has no attribute %R", module_name, name));
    if (!msg) return nullptr;
    PyObject* exc = PyObject_CallOneArg(PyExc_AttributeError, msg.get());
    if (!exc) return nullptr;
    PyErr_Restore(Py_NewRef(PyExc_AttributeError), exc, nullptr);
    return nullptr;
}

// The table's pair for name (new reference); nullptr with no error set when name is not a key.
PyObject* listed(PyObject* table, PyObject* name) {
    if (PyDict_Check(table)) return Py_XNewRef(PyDict_GetItemWithError(table, name));
    PyObject* pair = PyObject_GetItem(table, name);
    if (!pair && PyErr_ExceptionMatches(PyExc_KeyError)) PyErr_Clear();
    return pair;
}

PyObject* frontdoor_getattr(PyObject* module, PyObject* name) {
    PyObject* ns = PyModule_GetDict(module);
    PyObject* table = global(ns, "_PUBLIC_IMPORTS");
    if (!table) return nullptr;
    Ref pair(listed(table, name));
    if (!pair) return PyErr_Occurred() ? nullptr : no_attribute(ns, name);
    if (!PyTuple_Check(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2) {
        PyErr_Format(PyExc_TypeError, "_PUBLIC_IMPORTS[%R] is not a (module, attribute) pair", name);
        return nullptr;
    }
    PyObject* import_module = global(ns, "import_module");
    if (!import_module) return nullptr;
    // A module that fails to load, or lacks the attribute, raises its own error and binds nothing.
    Ref runtime(PyObject_CallOneArg(import_module, PyTuple_GET_ITEM(pair.get(), 0)));
    if (!runtime) return nullptr;
    Ref value(PyObject_GetAttr(runtime.get(), PyTuple_GET_ITEM(pair.get(), 1)));
    if (!value || PyDict_SetItem(ns, name, value.get()) < 0) return nullptr;
    return value.release();
}

PyObject* frontdoor_dir(PyObject* module, PyObject*) {
    PyObject* ns = PyModule_GetDict(module);
    PyObject* all = global(ns, "__all__");
    if (!all) return nullptr;
    Ref names(PySet_New(ns));
    Ref it(PyObject_GetIter(all));
    if (!names || !it) return nullptr;
    while (PyObject* item = PyIter_Next(it.get())) {
        Ref owned(item);
        if (PySet_Add(names.get(), item) < 0) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    Ref sorted(PySequence_List(names.get()));
    if (!sorted || PyList_Sort(sorted.get()) < 0) return nullptr;
    return sorted.release();
}

PyMethodDef frontdoor_functions[] = {
    {"__getattr__", frontdoor_getattr, METH_O, "Load a publishing export on its first request."},
    {"__dir__", reinterpret_cast<PyCFunction>(frontdoor_dir), METH_NOARGS,
     "Bound names and every export, sorted."},
    {nullptr, nullptr, 0, nullptr},
};

int frontdoor_exec(PyObject* module) {
    PyObject* ns = PyModule_GetDict(module);
    if (!bind(ns, "os", PyImport_ImportModule("os")) || !bind(ns, "subprocess", PyImport_ImportModule("subprocess")) ||
        !bind(ns, "sys", PyImport_ImportModule("sys")) || !bind(ns, "datetime", import_from("datetime", "datetime")) ||
        !bind(ns, "import_module", import_from("importlib", "import_module")) ||
        !bind(ns, "Path", import_from("pathlib", "Path")))
        return -1;
    // Before publish.cli: a publish package beside this file must win over any other one.
    if (!put_own_dir_first(ns)) return -1;
    if (!bind(ns, "build_parser", import_from("publish.cli", "build_parser")) ||
        !bind(ns, "main", import_from("publish.cli", "main")))
        return -1;
    if (!bind(ns, "_PUBLIC_IMPORTS", public_imports()) || !bind(ns, "__all__", all_names())) return -1;
    if (PyModule_AddFunctions(module, frontdoor_functions) < 0) return -1;

    PyObject* name = global(ns, "__name__");
    if (!name) return -1;
    if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, "__main__") == 0) {
        PyObject* main = global(ns, "main");
        PyObject* sys = global(ns, "sys");
        if (!main || !sys) return -1;
        Ref status(PyObject_CallNoArgs(main));
        if (!status) return -1;
        Ref exited(PyObject_CallMethod(sys, "exit", "O", status.get()));
        return -1;  // sys.exit raises SystemExit, which ends the process as a script's would
    }
    return 0;
}

PyModuleDef_Slot frontdoor_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(frontdoor_exec)},
    {0, nullptr},
};

PyModuleDef frontdoor_def = {
    PyModuleDef_HEAD_INIT,
    "frontdoor",
    "Compatibility entrypoint; publishing exports load only when requested.",
    0,
    nullptr,
    frontdoor_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_frontdoor() { return PyModuleDef_Init(&frontdoor_def); }
