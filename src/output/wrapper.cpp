// run_with_json: one command under a fresh report, its diagnostics on standard error, every way it
// ends turned into an exit code, and the document as the one line on standard output.
#include <Python.h>

#include "output/jsonwriter.hpp"
#include "output/output.hpp"
#include "output/redirect.hpp"

namespace output {

namespace {

bool record(PyObject* report, const char* code, const char* message, const char* action) {
    Ref c(PyUnicode_FromString(code)), m(PyUnicode_FromString(message)), a(PyUnicode_FromString(action));
    return c && m && a && append_error(report, c.get(), m.get(), a.get());
}

// The command ended with the failure that is set. Exit requests, user interrupts and ordinary
// failures end here with a code and an error entry; anything else stays set and passes on.
bool ended(PyObject* report, Ref& code) {
    if (PyErr_ExceptionMatches(PyExc_SystemExit)) {
        Pending exit_request;
        Ref status(PyObject_GetAttr(exit_request.value(), names().code));
        if (!status) return exit_request.chain(), false;
        // sys.exit(not ok) is common: a bool is the integer the process exits with.
        if (PyBool_Check(status.get()))
            code.reset(PyLong_FromLong(status.get() == Py_True));
        else
            code = PyLong_Check(status.get()) ? std::move(status) : Ref(PyLong_FromLong(2));
        int nonzero = code ? PyObject_RichCompareBool(code.get(), module_state().zero, Py_NE) : -1;
        if (nonzero > 0 && !record(report, "CFG-001", "命令行参数无效", "运行 kamo --help 检查参数")) nonzero = -1;
        if (nonzero < 0) return exit_request.chain(), false;
        return true;
    }
    if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) {
        Pending interrupt;
        code.reset(PyLong_FromLong(130));
        if (!code || !record(report, "RUN-002", "发布已中断，部分平台结果可能尚未确认", "检查平台作品状态后再决定是否重试"))
            return interrupt.chain(), false;
        return true;
    }
    if (PyErr_ExceptionMatches(PyExc_Exception)) {
        // Neither printed nor recorded beyond the entry.
        Pending failure;
        code.reset(PyLong_FromLong(2));
        if (!code || !record(report, "RUN-001", "运行时异常", "检查配置与环境后重试")) return failure.chain(), false;
        return true;
    }
    return false;
}

bool write_document(PyObject* report, PyObject* code, const Destination& where) {
    Ref doc(document(report, code));
    if (!doc) return false;
    JsonText text;
    return write_json(doc.get(), text) && print_document(text, where);
}

// The command under the redirection, which is undone on every path, then the
// document where standard output was when the redirection began.
bool run_redirected(PyObject* command, PyObject* report, Ref& code) {
    StdoutToStderr redirect;
    if (!redirect.enter()) return false;
    code.reset(PyObject_CallNoArgs(command));
    if (!code && !ended(report, code)) {
        Pending failure;
        failure.settle(redirect.exit());
        return false;
    }
    // No other redirection begins or ends until the document is out: descriptors stay where
    // leaving put them, and documents of other threads never interleave with this one.
    Gate gate;
    return redirect.exit(true) && write_document(report, code.get(), redirect.destination());
}

PyObject* run_with_json(PyObject*, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"command", nullptr};
    PyObject* command;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:run_with_json", const_cast<char**>(keywords), &command))
        return nullptr;
    Ref report(new_report());
    if (!report) return nullptr;
    PyObject* var = module_state().report_var;
    Ref token(PyContextVar_Set(var, report.get()));
    if (!token) return nullptr;
    Ref code;
    bool ok = run_redirected(command, report.get(), code);
    // _report is put back last, on every path.
    if (!ok) {
        Pending failure;
        failure.settle(PyContextVar_Reset(var, token.get()) == 0);
        return nullptr;
    }
    if (PyContextVar_Reset(var, token.get()) < 0) return nullptr;
    return code.release();
}

}  // namespace

PyMethodDef wrapper_methods[] = {
    {"run_with_json", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(run_with_json)),
     METH_VARARGS | METH_KEYWORDS,
     "run_with_json($module, command)\n--\n\n"
     "Run command() with a fresh report and its output on stderr; print the JSON document and "
     "return the exit code."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace output
