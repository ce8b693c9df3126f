// JsonReport: the mutable record that collects one command's outcomes, and its document.
#include <Python.h>
#include <structmember.h>

#include <algorithm>
#include <cstddef>
#include <new>
#include <utility>
#include <vector>

#include "output/output.hpp"

namespace output {

namespace {

constexpr int kFields = 8;

struct ReportObject {
    PyObject_HEAD
    // In the order of the record: results, errors, mode, run_id, planned, result_positions,
    // next_position, history.
    PyObject* fields[kFields];
    PyObject* dict;
    PyObject* weakrefs;
};

// Field names as Python strings, in record order.
PyObject* field_name(int i) {
    const Names& n = names();
    PyObject* all[kFields] = {n.results, n.errors, n.mode, n.run_id, n.planned, n.result_positions,
                              n.next_position, n.history};
    return all[i];
}

int report_init(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"results", "errors", "mode", "run_id", "planned", "result_positions",
                                     "next_position", "history", nullptr};
    PyObject* given[kFields] = {};
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|OOOOOOOO:JsonReport", const_cast<char**>(keywords), &given[0],
                                     &given[1], &given[2], &given[3], &given[4], &given[5], &given[6], &given[7]))
        return -1;
    // Every report gets lists and a map of its own.
    PyObject* value[kFields];
    for (int i = 0; i < kFields; ++i) {
        if (given[i]) {
            Py_INCREF(given[i]);
            value[i] = given[i];
            continue;
        }
        switch (i) {
            case 0: case 1: case 4: value[i] = PyList_New(0); break;
            case 5: value[i] = PyDict_New(); break;
            case 2: value[i] = Py_NewRef(names().publish); break;
            case 6: value[i] = Py_NewRef(module_state().zero); break;
            default: value[i] = Py_NewRef(Py_None); break;
        }
        if (!value[i]) {
            for (int k = 0; k < i; ++k) Py_DECREF(value[k]);
            return -1;
        }
    }
    auto* r = reinterpret_cast<ReportObject*>(self);
    for (int i = 0; i < kFields; ++i) Py_XSETREF(r->fields[i], value[i]);
    return 0;
}

int report_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* r = reinterpret_cast<ReportObject*>(self);
    for (PyObject* f : r->fields) Py_VISIT(f);
    Py_VISIT(r->dict);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int report_clear(PyObject* self) {
    auto* r = reinterpret_cast<ReportObject*>(self);
    for (PyObject*& f : r->fields) Py_CLEAR(f);
    Py_CLEAR(r->dict);
    return 0;
}

void report_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (reinterpret_cast<ReportObject*>(self)->weakrefs) PyObject_ClearWeakRefs(self);
    report_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// The fields as a tuple, read as attributes (so a subclass's properties count), in record order.
PyObject* field_tuple(PyObject* self) {
    Ref t(PyTuple_New(kFields));
    if (!t) return nullptr;
    for (int i = 0; i < kFields; ++i) {
        PyObject* v = PyObject_GetAttr(self, field_name(i));
        if (!v) return nullptr;
        PyTuple_SET_ITEM(t.get(), i, v);
    }
    return t.release();
}

// As a dataclass writes it: JsonReport(results=[], errors=[], mode='publish', ...).
PyObject* report_repr(PyObject* self) {
    int seen = Py_ReprEnter(self);
    if (seen != 0) return seen > 0 ? PyUnicode_FromString("...") : nullptr;
    Ref text;
    {
        Ref qualname(PyType_GetQualName(Py_TYPE(self)));
        Ref fields(qualname ? field_tuple(self) : nullptr);
        if (fields) {
            PyObject** f = &PyTuple_GET_ITEM(fields.get(), 0);
            text.reset(PyUnicode_FromFormat(
                "%U(results=%R, errors=%R, mode=%R, run_id=%R, planned=%R, result_positions=%R, "
                "next_position=%R, history=%R)",
                qualname.get(), f[0], f[1], f[2], f[3], f[4], f[5], f[6], f[7]));
        }
    }
    Py_ReprLeave(self);
    return text.release();
}

// Field-wise equality with a report of the very same class, as a dataclass compares.
PyObject* report_richcompare(PyObject* self, PyObject* other, int op) {
    if ((op != Py_EQ && op != Py_NE) || Py_TYPE(other) != Py_TYPE(self)) Py_RETURN_NOTIMPLEMENTED;
    Ref mine(field_tuple(self));
    if (!mine) return nullptr;
    Ref theirs(field_tuple(other));
    if (!theirs) return nullptr;
    return PyObject_RichCompare(mine.get(), theirs.get(), op);
}

PyObject* report_document(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"exit_code", nullptr};
    PyObject* exit_code;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:document", const_cast<char**>(keywords), &exit_code))
        return nullptr;
    return document(self, exit_code);
}

// Copies and pickles rebuild the report from its fields, plus any attributes of its own.
PyObject* report_reduce(PyObject* self, PyObject*) {
    Ref fields(field_tuple(self));
    if (!fields) return nullptr;
    PyObject* dict = reinterpret_cast<ReportObject*>(self)->dict;
    if (dict && PyDict_GET_SIZE(dict) > 0)
        return Py_BuildValue("(OOO)", reinterpret_cast<PyObject*>(Py_TYPE(self)), fields.get(), dict);
    return Py_BuildValue("(OO)", reinterpret_cast<PyObject*>(Py_TYPE(self)), fields.get());
}

PyMethodDef report_methods[] = {
    {"__reduce__", report_reduce, METH_NOARGS, nullptr},
    {"document", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(report_document)),
     METH_VARARGS | METH_KEYWORDS,
     "document($self, exit_code)\n--\n\nThe outcome document: results by reserved position, then the errors."},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef report_members[] = {
    {"results", T_OBJECT_EX, offsetof(ReportObject, fields) + 0 * sizeof(PyObject*), 0, nullptr},
    {"errors", T_OBJECT_EX, offsetof(ReportObject, fields) + 1 * sizeof(PyObject*), 0, nullptr},
    {"mode", T_OBJECT_EX, offsetof(ReportObject, fields) + 2 * sizeof(PyObject*), 0, nullptr},
    {"run_id", T_OBJECT_EX, offsetof(ReportObject, fields) + 3 * sizeof(PyObject*), 0, nullptr},
    {"planned", T_OBJECT_EX, offsetof(ReportObject, fields) + 4 * sizeof(PyObject*), 0, nullptr},
    {"result_positions", T_OBJECT_EX, offsetof(ReportObject, fields) + 5 * sizeof(PyObject*), 0, nullptr},
    {"next_position", T_OBJECT_EX, offsetof(ReportObject, fields) + 6 * sizeof(PyObject*), 0, nullptr},
    {"history", T_OBJECT_EX, offsetof(ReportObject, fields) + 7 * sizeof(PyObject*), 0, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(ReportObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(ReportObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef report_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot report_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "JsonReport(results=[], errors=[], mode='publish', run_id=None, planned=[], "
                    "result_positions={}, next_position=0, history=None)\n\n"
                    "The machine-readable outcomes of one command; each report has lists and a map of its own.")},
    {Py_tp_init, reinterpret_cast<void*>(report_init)},
    {Py_tp_traverse, reinterpret_cast<void*>(report_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(report_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(report_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(report_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(report_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {Py_tp_methods, report_methods},
    {Py_tp_members, report_members},
    {Py_tp_getset, report_getset},
    {0, nullptr},
};

PyType_Spec report_spec = {
    "publish.output.JsonReport",
    sizeof(ReportObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    report_slots,
};

// Positions of the entries, in entry order; false with an error set.
bool positions_of(PyObject* entries, PyObject* result_positions, std::vector<Ref>& out) {
    const Py_ssize_t n = PyList_GET_SIZE(entries);
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        // Keyed by the entry's identity, id(entry), never by its contents.
        Ref id(PyLong_FromVoidPtr(PyList_GET_ITEM(entries, i)));
        if (!id) return false;
        Ref position(mapping_get(result_positions, id.get(), module_state().zero));
        if (!position) return false;
        out.push_back(std::move(position));
    }
    return true;
}

// Anything else is ordered by Python's own sort: a C++ sort assumes a strict weak order, and a
// __lt__ that answers inconsistently would make it read past its range. list.sort stays stable and
// within bounds whatever __lt__ answers, and compares exactly as sorted(entries, key=position).
// Fills order with the entry indices in sorted order; false with an error set.
bool python_sorted_order(const std::vector<Ref>& positions, std::vector<std::size_t>& order) {
    const auto n = static_cast<Py_ssize_t>(positions.size());
    Ref keys(PyList_New(n));
    Ref indices(keys ? PyList_New(n) : nullptr);
    if (!indices) return false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* index = PyLong_FromSsize_t(i);
        if (!index) return false;
        PyList_SET_ITEM(indices.get(), i, index);
        PyList_SET_ITEM(keys.get(), i, Py_NewRef(positions[static_cast<std::size_t>(i)].get()));
    }
    // indices.sort(key=keys.__getitem__): both lists are private, so nothing else can change them.
    Ref key(PyObject_GetAttrString(keys.get(), "__getitem__"));
    Ref sort(key ? PyObject_GetAttrString(indices.get(), "sort") : nullptr);
    Ref no_args(sort ? PyTuple_New(0) : nullptr);
    Ref kwargs(no_args ? PyDict_New() : nullptr);
    if (!kwargs || PyDict_SetItemString(kwargs.get(), "key", key.get()) < 0) return false;
    if (!Ref(PyObject_Call(sort.get(), no_args.get(), kwargs.get()))) return false;
    for (Py_ssize_t i = 0; i < n; ++i)
        order[static_cast<std::size_t>(i)] = static_cast<std::size_t>(PyLong_AsSsize_t(PyList_GET_ITEM(indices.get(), i)));
    return true;
}

// The entries stably sorted by position, as sorted(entries, key=position) gives them.
PyObject* sorted_by_position(PyObject* entries, const std::vector<Ref>& positions) {
    const std::size_t n = positions.size();
    std::vector<std::size_t> order(n);
    // Positions are integers in every use: compare them as C++ values when they all fit.
    std::vector<long long> small(n);
    bool all_small = true;
    for (std::size_t i = 0; i < n && all_small; ++i) {
        PyObject* p = positions[i].get();
        int overflow = 0;
        all_small = PyLong_CheckExact(p) && ((small[i] = PyLong_AsLongLongAndOverflow(p, &overflow)), !overflow);
    }
    if (all_small) {
        for (std::size_t i = 0; i < n; ++i) order[i] = i;
        std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return small[a] < small[b]; });
    } else if (!python_sorted_order(positions, order)) {
        return nullptr;
    }
    Ref out(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!out) return nullptr;
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* e = PyList_GET_ITEM(entries, static_cast<Py_ssize_t>(order[i]));
        PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), Py_NewRef(e));
    }
    return out.release();
}

bool set_item(PyObject* dict, PyObject* key, PyObject* value) {
    return value && PyDict_SetItem(dict, key, value) == 0;
}

bool is_history_mode(PyObject* mode) {
    return PyUnicode_Check(mode) && (PyUnicode_Compare(mode, names().history_list) == 0 ||
                                     PyUnicode_Compare(mode, names().history_detail) == 0);
}

}  // namespace

bool init_report_type(Module& m) {
    PyObject* type = PyType_FromSpec(&report_spec);
    if (!type) return false;
    m.report_type = reinterpret_cast<PyTypeObject*>(type);
    Ref match_args(PyTuple_New(kFields));
    if (!match_args) return false;
    for (int i = 0; i < kFields; ++i) PyTuple_SET_ITEM(match_args.get(), i, Py_NewRef(field_name(i)));
    return PyObject_SetAttrString(type, "__match_args__", match_args.get()) == 0;
}

PyObject* new_report() { return PyObject_CallNoArgs(reinterpret_cast<PyObject*>(module_state().report_type)); }

PyObject* document(PyObject* report, PyObject* exit_code) {
    const Names& n = names();
    try {
        Ref results(PyObject_GetAttr(report, n.results));
        if (!results) return nullptr;
        Ref result_positions(PyObject_GetAttr(report, n.result_positions));
        if (!result_positions) return nullptr;
        // One pass over the results, whatever iterable they are; the report's own list keeps its order.
        Ref entries(PySequence_List(results.get()));
        if (!entries) return nullptr;
        std::vector<Ref> positions;
        if (!positions_of(entries.get(), result_positions.get(), positions)) return nullptr;
        Ref sorted(sorted_by_position(entries.get(), positions));
        if (!sorted) return nullptr;

        long long succeeded = 0, failed = 0;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries.get()); ++i) {
            Ref flag(PyObject_GetItem(PyList_GET_ITEM(entries.get(), i), n.success));
            if (!flag) return nullptr;
            int truth = PyObject_IsTrue(flag.get());
            if (truth < 0) return nullptr;
            ++(truth ? succeeded : failed);
        }
        Ref summary(PyDict_New());
        if (!summary || !set_item(summary.get(), n.success, Ref(PyLong_FromLongLong(succeeded)).get()) ||
            !set_item(summary.get(), n.failed, Ref(PyLong_FromLongLong(failed)).get()))
            return nullptr;

        Ref mode(PyObject_GetAttr(report, n.mode));
        if (!mode) return nullptr;
        Ref doc(PyDict_New());
        if (!doc) return nullptr;
        Ref one(PyLong_FromLong(1));
        if (!set_item(doc.get(), n.schema_version, one.get()) || !set_item(doc.get(), n.mode, mode.get()) ||
            !set_item(doc.get(), n.run_id, Ref(PyObject_GetAttr(report, n.run_id)).get()) ||
            !set_item(doc.get(), n.planned, Ref(PyObject_GetAttr(report, n.planned)).get()) ||
            !set_item(doc.get(), n.exit_code, exit_code) || !set_item(doc.get(), n.summary, summary.get()) ||
            !set_item(doc.get(), n.results, sorted.get()) ||
            !set_item(doc.get(), n.errors, Ref(PyObject_GetAttr(report, n.errors)).get()))
            return nullptr;
        if (is_history_mode(mode.get()) &&
            !set_item(doc.get(), n.history, Ref(PyObject_GetAttr(report, n.history)).get()))
            return nullptr;
        return doc.release();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

}  // namespace output
