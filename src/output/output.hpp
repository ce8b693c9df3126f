// publish.output internals shared by its source files: owned references, a failure kept in flight
// while cleanup runs, the interned names, and the module's objects.
#pragma once

#include <Python.h>

#include "bind/pyref.hpp"

namespace output {

using bind::Ref;

// The current failure, taken off the thread so that cleanup may call into Python, and put back
// afterwards the way a `finally` block does: unchanged, or as the context of a newer failure.
class Pending {
public:
    Pending();
    ~Pending();
    Pending(const Pending&) = delete;
    Pending& operator=(const Pending&) = delete;

    bool matches(PyObject* type) const { return PyErr_GivenExceptionMatches(type_, type) != 0; }
    PyObject* value() const { return value_; }
    // Puts this failure back as the current one.
    void restore();
    // Cleanup failed as well: its failure stays current, with this one as its context.
    void chain();
    // Cleanup ran and the outcome is whatever it left: restore() when it succeeded, chain() when not.
    void settle(bool cleanup_ok) { cleanup_ok ? restore() : chain(); }

private:
    PyObject *type_ = nullptr, *value_ = nullptr, *tb_ = nullptr;
};

// Python strings made once at load and kept for the life of the process.
#define OUTPUT_NAMES(X)                                                                         \
    X(results, "results") X(errors, "errors") X(mode, "mode") X(run_id, "run_id")                \
    X(planned, "planned") X(result_positions, "result_positions")                                \
    X(next_position, "next_position") X(history, "history") X(schema_version, "schema_version") \
    X(exit_code, "exit_code") X(summary, "summary") X(success, "success") X(failed, "failed")    \
    X(material, "material") X(content_type, "content_type") X(title, "title")                    \
    X(platforms, "platforms") X(publish_time, "publish_time")                                    \
    X(convert_to_video, "convert_to_video") X(video_file, "video_file") X(images, "images")      \
    X(enabled_platforms, "enabled_platforms") X(platform, "platform") X(message, "message")      \
    X(error_code, "error_code") X(result_url, "result_url") X(result_id, "result_id")            \
    X(safe_to_retry, "safe_to_retry") X(reused, "reused") X(action, "action")                    \
    X(result_order, "_result_order") X(get, "get") X(append, "append") X(fileno, "fileno")       \
    X(flush, "flush") X(write, "write") X(encoding, "encoding") X(buffer, "buffer")              \
    X(isoformat, "isoformat") X(code, "code") X(publish, "publish") X(dry_run, "dry_run")         \
    X(video, "video") X(history_list, "history_list") X(history_detail, "history_detail")        \
    X(newline, "\n") X(empty, "") X(pub_prefix, "PUB-") X(stdout_, "stdout") X(stderr_, "stderr")

struct Names {
#define OUTPUT_NAME_MEMBER(member, text) PyObject* member = nullptr;
    OUTPUT_NAMES(OUTPUT_NAME_MEMBER)
#undef OUTPUT_NAME_MEMBER
};

// The module's objects, made once at load (C-level only: the module itself holds nothing else).
struct Module {
    Names names;
    PyObject* report_var = nullptr;           // _report: ContextVar("publish_json_report", default=None)
    PyTypeObject* report_type = nullptr;      // JsonReport
    PyTypeObject* diagnostics_type = nullptr; // what _diagnostics_to_stderr() returns
    PyTypeObject* text_wrapper = nullptr;     // io.TextIOWrapper
    PyObject* zero = nullptr;                 // the int 0
};

const Module& module_state();
const Names& names();

// Builds everything above and fills the module: JsonReport, _report and the functions.
// Returns false with a Python error set.
bool init_module(PyObject* module);

// Pieces used across files; each returns nullptr / false / -1 with a Python error set.
bool init_report_type(Module& m);
bool init_diagnostics_type(Module& m);
PyObject* new_report();                                   // JsonReport()
PyObject* document(PyObject* report, PyObject* exit_code); // JsonReport.document
PyObject* current_report();                               // _report.get(): the report or None
bool append_error(PyObject* report, PyObject* code, PyObject* message, PyObject* action);
// mapping.get(key, default): straight from the table for a plain dict, else the mapping's own get.
PyObject* mapping_get(PyObject* mapping, PyObject* key, PyObject* dflt);
// print(text) of the finished document where the redirection that ended says it goes.
struct JsonText;
struct Destination;
bool print_document(JsonText& text, const Destination& where);

// Module functions: the recorders, run_with_json, _diagnostics_to_stderr.
extern PyMethodDef recorder_methods[];
extern PyMethodDef wrapper_methods[];
extern PyMethodDef diagnostics_function[];

}  // namespace output
