// publish.runfault: the HistoryError type, made with the C API because its constructor takes
// three fields while the exception itself carries only the message.
#include <nanobind/nanobind.h>

namespace nb = nanobind;

namespace {

int history_error_init(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* names[] = {"code", "message", "action", nullptr};
    PyObject *code, *message, *action;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OOO:HistoryError", const_cast<char**>(names), &code,
                                     &message, &action))
        return -1;
    // The base keeps the message alone, so str(err) and err.args show just the message.
    PyObject* base_args = PyTuple_Pack(1, message);
    if (!base_args) return -1;
    int rc = reinterpret_cast<PyTypeObject*>(PyExc_Exception)->tp_init(self, base_args, nullptr);
    Py_DECREF(base_args);
    if (rc < 0) return -1;
    if (PyObject_SetAttrString(self, "code", code) < 0) return -1;
    if (PyObject_SetAttrString(self, "message", message) < 0) return -1;
    if (PyObject_SetAttrString(self, "action", action) < 0) return -1;
    return 0;
}

PyType_Slot history_error_slots[] = {
    {Py_tp_init, reinterpret_cast<void*>(history_error_init)},
    {Py_tp_doc, const_cast<char*>("An actionable failure that must stop another submission.")},
    {0, nullptr},
};

PyType_Spec history_error_spec = {
    "publish.runfault.HistoryError",
    0,
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    history_error_slots,
};

}  // namespace

NB_MODULE(runfault, m) {
    m.doc() = "Publish journal errors without importing the publishing runtime.";
    PyObject* type = PyType_FromSpecWithBases(&history_error_spec, PyExc_Exception);
    if (!type) throw nb::python_error();
    m.attr("HistoryError") = nb::steal(type);
}
