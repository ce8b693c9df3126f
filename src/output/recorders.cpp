// The six recorders: each finds the report of the current execution context through _report and
// changes it; where none is installed they do nothing, so the runtime calls them unconditionally.
#include <Python.h>
#include <datetime.h>

#include "output/output.hpp"

namespace output {

PyObject* current_report() {
    PyObject* report = nullptr;
    if (PyContextVar_Get(module_state().report_var, nullptr, &report) < 0) return nullptr;
    return report;
}

PyObject* mapping_get(PyObject* mapping, PyObject* key, PyObject* dflt) {
    if (PyDict_CheckExact(mapping)) {
        PyObject* v = PyDict_GetItemWithError(mapping, key);
        if (v) return Py_NewRef(v);
        return PyErr_Occurred() ? nullptr : Py_NewRef(dflt);
    }
    return PyObject_CallMethodObjArgs(mapping, names().get, key, dflt, nullptr);
}

bool append_error(PyObject* report, PyObject* code, PyObject* message, PyObject* action) {
    const Names& n = names();
    Ref entry(PyDict_New());
    if (!entry || PyDict_SetItem(entry.get(), n.error_code, code) < 0 ||
        PyDict_SetItem(entry.get(), n.message, message) < 0 || PyDict_SetItem(entry.get(), n.action, action) < 0)
        return false;
    Ref errors(PyObject_GetAttr(report, n.errors));
    if (!errors) return false;
    if (PyList_CheckExact(errors.get())) return PyList_Append(errors.get(), entry.get()) == 0;
    return Ref(PyObject_CallMethodObjArgs(errors.get(), n.append, entry.get(), nullptr)).get() != nullptr;
}

namespace {

PyObject* call_method(PyObject* self, PyObject* name) { return PyObject_CallMethodObjArgs(self, name, nullptr); }

bool set_item(PyObject* dict, PyObject* key, Ref value) {
    return value && PyDict_SetItem(dict, key, value.get()) == 0;
}

// value is exactly True (not merely truthy).
PyObject* is_true(PyObject* mapping, PyObject* key) {
    Ref v(mapping_get(mapping, key, Py_None));
    if (!v) return nullptr;
    return PyBool_FromLong(v.get() == Py_True);
}

#define ARGS PyObject *, PyObject *args, PyObject *kwds
#define PARSE(format, ...)                                                                             \
    if (!PyArg_ParseTupleAndKeywords(args, kwds, format, const_cast<char**>(keywords), __VA_ARGS__)) \
        return nullptr

PyObject* register_result_order(ARGS) {
    static const char* keywords[] = {"platforms", nullptr};
    PyObject* platforms;
    PARSE("O:register_result_order", &platforms);
    Ref report(current_report());
    if (!report) return nullptr;
    Ref positions(PyDict_New());
    if (!positions || report.get() == Py_None) return positions.release();
    const Names& n = names();
    Ref base(PyObject_GetAttr(report.get(), n.next_position));
    if (!base) return nullptr;
    // Walked once, a key given twice keeping its later position, then counted: the count is
    // added only after the walk.
    Ref it(PyObject_GetIter(platforms));
    if (!it) return nullptr;
    long long index = 0;
    while (Ref platform{PyIter_Next(it.get())}) {
        Ref offset(PyLong_FromLongLong(index++));
        if (!offset) return nullptr;
        Ref position(PyNumber_Add(base.get(), offset.get()));
        if (!position || PyDict_SetItem(positions.get(), platform.get(), position.get()) < 0) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    Py_ssize_t count = PyObject_Size(platforms);
    if (count < 0) return nullptr;
    Ref next(PyObject_GetAttr(report.get(), n.next_position));
    if (!next) return nullptr;
    Ref added(PyLong_FromSsize_t(count));
    if (!added) return nullptr;
    Ref moved(PyNumber_InPlaceAdd(next.get(), added.get()));
    if (!moved || PyObject_SetAttr(report.get(), n.next_position, moved.get()) < 0) return nullptr;
    return positions.release();
}

// One plan item, keys in record order; the required keys fail as item[key] does.
PyObject* plan_item(PyObject* item) {
    const Names& n = names();
    Ref entry(PyDict_New());
    if (!entry) return nullptr;
    Ref content_type(PyObject_GetItem(item, n.content_type));
    if (!content_type) return nullptr;
    int video = PyObject_RichCompareBool(content_type.get(), n.video, Py_EQ);
    if (video < 0) return nullptr;
    Ref material(video ? mapping_get(item, n.video_file, Py_None) : PyObject_GetItem(item, n.images));
    if (!set_item(entry.get(), n.material, std::move(material)) ||
        !set_item(entry.get(), n.content_type, Ref(PyObject_GetItem(item, n.content_type))) ||
        !set_item(entry.get(), n.title, Ref(PyObject_GetItem(item, n.title))) ||
        !set_item(entry.get(), n.platforms, Ref(PyObject_GetItem(item, n.enabled_platforms))))
        return nullptr;
    Ref when(mapping_get(item, n.publish_time, Py_None));
    if (!when) return nullptr;
    int truthy = PyObject_IsTrue(when.get());
    if (truthy < 0) return nullptr;
    Ref shown = Ref::borrow(Py_None);
    if (truthy) {
        if (!PyDateTimeAPI) {
            PyDateTime_IMPORT;
            if (!PyDateTimeAPI) return nullptr;
        }
        if (!PyDateTime_Check(when.get())) {
            PyErr_Format(PyExc_TypeError, "publish_time must be a datetime, not %.100s", Py_TYPE(when.get())->tp_name);
            return nullptr;
        }
        shown.reset(call_method(when.get(), n.isoformat));
    }
    if (!set_item(entry.get(), n.publish_time, std::move(shown)) ||
        !set_item(entry.get(), n.convert_to_video, Ref(mapping_get(item, n.convert_to_video, Py_False))))
        return nullptr;
    return entry.release();
}

PyObject* record_plan(ARGS) {
    static const char* keywords[] = {"items", nullptr};
    PyObject* items;
    PARSE("O:record_plan", &items);
    Ref report(current_report());
    if (!report) return nullptr;
    if (report.get() == Py_None) Py_RETURN_NONE;
    const Names& n = names();
    if (PyObject_SetAttr(report.get(), n.mode, n.dry_run) < 0) return nullptr;
    // The new plan replaces the old one only once every item is built.
    Ref planned(PyList_New(0));
    Ref it(PyObject_GetIter(items));
    if (!planned || !it) return nullptr;
    while (Ref item{PyIter_Next(it.get())}) {
        Ref entry(plan_item(item.get()));
        if (!entry || PyList_Append(planned.get(), entry.get()) < 0) return nullptr;
    }
    if (PyErr_Occurred() || PyObject_SetAttr(report.get(), n.planned, planned.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* record_run(ARGS) {
    static const char* keywords[] = {"run_id", "mode", nullptr};
    PyObject *run_id, *mode;
    PARSE("OO:record_run", &run_id, &mode);
    Ref report(current_report());
    if (!report) return nullptr;
    if (report.get() == Py_None) Py_RETURN_NONE;
    if (PyObject_SetAttr(report.get(), names().run_id, run_id) < 0 ||
        PyObject_SetAttr(report.get(), names().mode, mode) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* record_history(ARGS) {
    static const char* keywords[] = {"history", "mode", "run_id", nullptr};
    PyObject *history, *mode, *run_id = Py_None;
    PARSE("OO|O:record_history", &history, &mode, &run_id);
    Ref report(current_report());
    if (!report) return nullptr;
    if (report.get() == Py_None) Py_RETURN_NONE;
    const Names& n = names();
    if (PyObject_SetAttr(report.get(), n.history, history) < 0 || PyObject_SetAttr(report.get(), n.mode, mode) < 0 ||
        PyObject_SetAttr(report.get(), n.run_id, run_id) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* record_error(ARGS) {
    static const char* keywords[] = {"code", "message", "action", nullptr};
    PyObject *code, *message, *action;
    PARSE("OOO:record_error", &code, &message, &action);
    Ref report(current_report());
    if (!report) return nullptr;
    if (report.get() != Py_None && !append_error(report.get(), code, message, action)) return nullptr;
    Py_RETURN_NONE;
}

// The entry's "material": the video file, or a new list of the images.
PyObject* material_of(PyObject* params, bool video) {
    const Names& n = names();
    if (video) return mapping_get(params, n.video_file, Py_None);
    // params.get("images", []): the default is a new list of its own.
    Ref absent(PyList_New(0));
    if (!absent) return nullptr;
    Ref images(mapping_get(params, n.images, absent.get()));
    if (!images) return nullptr;
    if (images.get() == absent.get()) return absent.release();
    // A list of paths; anything else (null, a text whose letters would pass for paths) is refused.
    if (!PyList_Check(images.get()) && !PyTuple_Check(images.get())) {
        PyErr_Format(PyExc_TypeError, "images must be a list, not %.100s", Py_TYPE(images.get())->tp_name);
        return nullptr;
    }
    return PySequence_List(images.get());
}

PyObject* result_entry(PyObject* params, PyObject* platform, PyObject* result) {
    const Names& n = names();
    Ref success(is_true(result, n.success));
    if (!success) return nullptr;
    const bool ok = success.get() == Py_True;
    Ref content_type(mapping_get(params, n.content_type, Py_None));
    if (!content_type) return nullptr;
    int video = PyObject_RichCompareBool(content_type.get(), n.video, Py_EQ);
    if (video < 0) return nullptr;

    Ref entry(PyDict_New());
    if (!entry || !set_item(entry.get(), n.material, Ref(material_of(params, video != 0))) ||
        !set_item(entry.get(), n.content_type, std::move(content_type)) ||
        !set_item(entry.get(), n.platform, Ref::borrow(platform)) ||
        !set_item(entry.get(), n.success, Ref::borrow(success.get())) ||
        !set_item(entry.get(), n.message, Ref(mapping_get(result, n.message, n.empty))))
        return nullptr;

    Ref error_code = Ref::borrow(Py_None);
    if (!ok) {
        error_code.reset(mapping_get(result, n.error_code, Py_None));
        if (!error_code) return nullptr;
        int truthy = PyObject_IsTrue(error_code.get());
        if (truthy < 0) return nullptr;
        if (!truthy) {
            Ref key(PyObject_Format(platform, n.empty));
            error_code.reset(key ? PyUnicode_Concat(n.pub_prefix, key.get()) : nullptr);
        }
    }
    if (!set_item(entry.get(), n.error_code, std::move(error_code)) ||
        !set_item(entry.get(), n.result_url, Ref(mapping_get(result, n.result_url, Py_None))) ||
        !set_item(entry.get(), n.result_id, Ref(mapping_get(result, n.result_id, Py_None))))
        return nullptr;
    Ref retry = Ref::borrow(Py_False);
    if (!ok) retry.reset(is_true(result, n.safe_to_retry));
    if (!set_item(entry.get(), n.safe_to_retry, std::move(retry)) ||
        !set_item(entry.get(), n.reused, Ref(is_true(result, n.reused))) ||
        !set_item(entry.get(), n.action, Ref(mapping_get(result, n.action, Py_None))))
        return nullptr;
    return entry.release();
}

PyObject* record_result(ARGS) {
    static const char* keywords[] = {"params", "platform", "result", nullptr};
    PyObject *params, *platform, *result;
    PARSE("OOO:record_result", &params, &platform, &result);
    Ref report(current_report());
    if (!report) return nullptr;
    if (report.get() == Py_None) Py_RETURN_NONE;
    const Names& n = names();
    // The entry is built before a position is taken: a bad entry leaves the report unchanged.
    Ref entry(result_entry(params, platform, result));
    if (!entry) return nullptr;
    Ref no_order(PyDict_New());
    if (!no_order) return nullptr;
    Ref order(mapping_get(params, n.result_order, no_order.get()));
    if (!order) return nullptr;
    Ref position(mapping_get(order.get(), platform, Py_None));
    if (!position) return nullptr;
    if (position.get() == Py_None) {
        position.reset(PyObject_GetAttr(report.get(), n.next_position));
        if (!position) return nullptr;
        Ref one(PyLong_FromLong(1));
        Ref next(one ? PyNumber_InPlaceAdd(position.get(), one.get()) : nullptr);
        if (!next || PyObject_SetAttr(report.get(), n.next_position, next.get()) < 0) return nullptr;
    }
    Ref positions(PyObject_GetAttr(report.get(), n.result_positions));
    Ref results(positions ? PyObject_GetAttr(report.get(), n.results) : nullptr);
    Ref id(results ? PyLong_FromVoidPtr(entry.get()) : nullptr);
    if (!id || PyObject_SetItem(positions.get(), id.get(), position.get()) < 0) return nullptr;
    if (PyList_CheckExact(results.get())) {
        if (PyList_Append(results.get(), entry.get()) < 0) return nullptr;
    } else if (!Ref(PyObject_CallMethodObjArgs(results.get(), n.append, entry.get(), nullptr))) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

#undef PARSE
#undef ARGS

template <auto F>
constexpr PyCFunction fn() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

}  // namespace

PyMethodDef recorder_methods[] = {
    {"register_result_order", fn<register_result_order>(), METH_VARARGS | METH_KEYWORDS,
     "register_result_order($module, platforms)\n--\n\n"
     "Reserve output positions before tasks start; completed results stay immediate."},
    {"record_plan", fn<record_plan>(), METH_VARARGS | METH_KEYWORDS,
     "record_plan($module, items)\n--\n\nRecord what a dry run would publish, replacing any earlier plan."},
    {"record_run", fn<record_run>(), METH_VARARGS | METH_KEYWORDS,
     "record_run($module, run_id, mode)\n--\n\nRecord the run the command works on, and its mode."},
    {"record_history", fn<record_history>(), METH_VARARGS | METH_KEYWORDS,
     "record_history($module, history, mode, run_id=None)\n--\n\nRecord the history view a history command shows."},
    {"record_error", fn<record_error>(), METH_VARARGS | METH_KEYWORDS,
     "record_error($module, code, message, action)\n--\n\nRecord a command-level error for the user."},
    {"record_result", fn<record_result>(), METH_VARARGS | METH_KEYWORDS,
     "record_result($module, params, platform, result)\n--\n\n"
     "Record one platform's outcome the moment it completes, at its reserved position."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace output
