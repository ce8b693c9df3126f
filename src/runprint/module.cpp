// publish.runprint: thin bindings over the text listing core.
#include <nanobind/nanobind.h>

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
        // Strings, the common case, skip the Value: Python already holds their UTF-8.
        Py_ssize_t n = 0;
        const char* p = PyUnicode_AsUTF8AndSize(value.ptr(), &n);
        std::string held;
        if (!p) {
            PyErr_Clear();  // lone surrogates: take the bytes the slow way
            held = bind::utf8_of(value);
        }
        std::string_view in = p ? std::string_view(p, static_cast<std::size_t>(n)) : std::string_view(held);
        std::string shown = runprint::text_of_string(in);
        // Every escape is longer than what it replaces, so equal length means equal text.
        if (shown.size() == in.size() && PyUnicode_CheckExact(value.ptr())) return nb::borrow(value);
        return str_of(shown);
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
