// publish.runprint: thin bindings over the text listing core.
#include <nanobind/nanobind.h>

#include <algorithm>
#include <string>
#include <string_view>

#include "bind/convert.hpp"
#include "runprint/render.hpp"
#include "runprint/text.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace {

// Lone surrogates from the caller's own strings travel through the core as their UTF-8 bytes.
using bind::str_of;

template <std::size_t N>
nb::dict table(const std::array<runprint::Label, N>& rows) {
    nb::dict d;
    for (const auto& row : rows) d[str_of(row.key)] = str_of(row.label);
    return d;
}

// Each piece goes to whatever sys.stdout is at that moment, as print() would find it.
void write_stdout(std::string_view piece) {
    PyObject* out = PySys_GetObject("stdout");  // borrowed
    if (!out) throw nb::builtin_exception(nb::exception_type::runtime_error, "lost sys.stdout");
    if (out == Py_None) return;  // no console at all (pythonw): print() drops the text too
    nb::str s = str_of(piece);
    PyObject* r = PyObject_CallMethod(out, "write", "O", s.ptr());
    if (!r) throw nb::python_error();
    Py_DECREF(r);
}

runprint::PlatformNames platform_names(nb::handle module) {
    runprint::PlatformNames names;
    nb::object items = module.attr("PLATFORM_NAMES").attr("items")();
    for (nb::handle pair : items) {
        nb::object key = pair[0], value = pair[1];
        // Record platforms are always str, so no other key could ever be looked up.
        if (!PyUnicode_Check(key.ptr())) continue;
        nb::object shown = PyUnicode_Check(value.ptr()) ? value : nb::str(value);
        names.insert_or_assign(bind::utf8_of(key), bind::utf8_of(shown));
    }
    return names;
}

template <class Unit, class Out>
void write_shown(const void* in, std::size_t n, const runprint::ShownSize& size, void* out) {
    runprint::write_shown(static_cast<const Unit*>(in), n, size, static_cast<Out*>(out));
}

// Into a str of kind out_kind, never wider than the input's.
template <class Unit>
void write_shown_as(int out_kind, const void* in, std::size_t n, const runprint::ShownSize& size, void* out) {
    if (out_kind == PyUnicode_1BYTE_KIND) write_shown<Unit, Py_UCS1>(in, n, size, out);
    if constexpr (sizeof(Unit) >= 2)
        if (out_kind == PyUnicode_2BYTE_KIND) write_shown<Unit, Py_UCS2>(in, n, size, out);
    if constexpr (sizeof(Unit) == 4)
        if (out_kind == PyUnicode_4BYTE_KIND) write_shown<Unit, Py_UCS4>(in, n, size, out);
}

// _text of a str, read and written in the interpreter's own storage: no UTF-8 either way.
nb::object text_of_str(nb::handle value) {
    PyObject* s = value.ptr();
    if (PyUnicode_READY(s) < 0) throw nb::python_error();
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    const auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(s));
    runprint::ShownSize size;
    switch (kind) {
        case PyUnicode_1BYTE_KIND: size = runprint::measure_shown(static_cast<const Py_UCS1*>(data), n); break;
        case PyUnicode_2BYTE_KIND: size = runprint::measure_shown(static_cast<const Py_UCS2*>(data), n); break;
        default: size = runprint::measure_shown(static_cast<const Py_UCS4*>(data), n); break;
    }
    if (size.length == n && PyUnicode_CheckExact(s)) return nb::borrow(value);
    // The kind follows from the characters kept, as the interpreter requires of every str.
    PyObject* r = PyUnicode_New(static_cast<Py_ssize_t>(size.length), std::min<Py_UCS4>(size.kept, 0x10FFFF));
    if (!r) throw nb::python_error();
    const int out_kind = PyUnicode_KIND(r);
    void* out = PyUnicode_DATA(r);
    switch (kind) {
        case PyUnicode_1BYTE_KIND: write_shown_as<Py_UCS1>(out_kind, data, n, size, out); break;
        case PyUnicode_2BYTE_KIND: write_shown_as<Py_UCS2>(out_kind, data, n, size, out); break;
        default: write_shown_as<Py_UCS4>(out_kind, data, n, size, out); break;
    }
    return nb::steal(r);
}

}  // namespace

NB_MODULE(runprint, m) {
    m.doc() = "Publish history as plain text, with untrusted controls escaped.";

    nb::register_exception_translator([](const std::exception_ptr& p, void*) {
        try {
            std::rethrow_exception(p);
        } catch (const runprint::MissingKey& e) {
            try {
                PyErr_SetObject(PyExc_KeyError, bind::to_python(e.key).ptr());
            } catch (nb::python_error& pe) {
                pe.restore();
            }
        } catch (const runprint::WrongShape& e) {
            try {
                PyErr_SetObject(PyExc_TypeError, str_of(e.what()).ptr());
            } catch (nb::python_error& pe) {
                pe.restore();
            }
        }
    });

    // Bound at load: the module does not load without it, failing as a from-import would.
    nb::module_ constants = nb::module_::import_("publish.constants");
    if (!nb::hasattr(constants, "PLATFORM_NAMES"))
        throw nb::import_error("cannot import name 'PLATFORM_NAMES' from 'publish.constants'");
    m.attr("PLATFORM_NAMES") = constants.attr("PLATFORM_NAMES");
    m.attr("_STATE_NAMES") = table(runprint::kStateNames);
    m.attr("_IDENTITY_NAMES") = table(runprint::kIdentityNames);
    m.attr("_LINK_NAMES") = table(runprint::kLinkNames);

    m.def("_text", [](nb::handle value) -> nb::object {
        if (!PyUnicode_Check(value.ptr())) return str_of(runprint::text(bind::from_python(value)));
        return text_of_str(value);
    }, "value"_a.none());

    nb::handle self = m;
    m.def("print_history", [self](nb::handle history, nb::handle mode) {
        auto layout = PyUnicode_Check(mode.ptr()) && PyUnicode_CompareWithASCIIString(mode.ptr(), "history_list") == 0
                          ? runprint::Layout::List
                          : runprint::Layout::Detail;
        kamo::Value record = bind::from_python(history);
        runprint::PlatformNames names = platform_names(self);
        runprint::print_history(record, layout, names, write_stdout);
    }, "history"_a.none(), "mode"_a.none());
}
