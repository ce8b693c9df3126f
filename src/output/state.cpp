// The module's load-time objects and the failure-in-flight helper.
#include <Python.h>

#include "output/output.hpp"

namespace output {

namespace {
Module g_module;
}  // namespace

const Module& module_state() { return g_module; }
const Names& names() { return g_module.names; }

Pending::Pending() {
    PyErr_Fetch(&type_, &value_, &tb_);
    if (!type_) return;
    PyErr_NormalizeException(&type_, &value_, &tb_);
    if (tb_) PyException_SetTraceback(value_, tb_);
}

Pending::~Pending() {
    Py_XDECREF(type_);
    Py_XDECREF(value_);
    Py_XDECREF(tb_);
}

void Pending::restore() {
    PyErr_Restore(type_, value_, tb_);
    type_ = value_ = tb_ = nullptr;
}

void Pending::chain() {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb) PyException_SetTraceback(value, tb);
    if (value && value_ && value != value_) {
        PyException_SetContext(value, value_);  // steals
        value_ = nullptr;
    }
    Py_CLEAR(type_);
    Py_CLEAR(value_);
    Py_CLEAR(tb_);
    PyErr_Restore(type, value, tb);
}

bool init_module(PyObject* module) {
    Module& m = g_module;
    if (!m.report_var) {
#define OUTPUT_NAME_INIT(member, text) \
    if (!(m.names.member = PyUnicode_InternFromString(text))) return false;
        OUTPUT_NAMES(OUTPUT_NAME_INIT)
#undef OUTPUT_NAME_INIT
        if (!(m.zero = PyLong_FromLong(0))) return false;
        PyObject* io = PyImport_ImportModule("io");
        if (!io) return false;
        PyObject* wrapper = PyObject_GetAttrString(io, "TextIOWrapper");
        Py_DECREF(io);
        if (!wrapper) return false;
        m.text_wrapper = reinterpret_cast<PyTypeObject*>(wrapper);
        if (!init_report_type(m) || !init_diagnostics_type(m)) return false;
        if (!(m.report_var = PyContextVar_New("publish_json_report", Py_None))) return false;
    }
    return PyModule_AddObjectRef(module, "JsonReport", reinterpret_cast<PyObject*>(m.report_type)) == 0 &&
           PyModule_AddObjectRef(module, "_report", m.report_var) == 0 &&
           PyModule_AddFunctions(module, recorder_methods) == 0 &&
           PyModule_AddFunctions(module, wrapper_methods) == 0 &&
           PyModule_AddFunctions(module, diagnostics_function) == 0;
}

}  // namespace output
