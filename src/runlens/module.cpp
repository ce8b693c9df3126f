// publish.runlens: thin bindings over the read-only history reader core.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include "bind/convert.hpp"
#include "runlens/isodate.hpp"
#include "runlens/links.hpp"
#include "runlens/rules.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace {

// A Python argument as a stored cell, keeping what SQLite would keep.
runlens::Cell cell_of(nb::handle h) {
    runlens::Cell c;
    PyObject* o = h.ptr();
    if (o == Py_None) {
        c.type = runlens::Cell::Type::Null;
    } else if (PyLong_Check(o)) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (overflow) {
            c.type = runlens::Cell::Type::Other;
        } else {
            c.type = runlens::Cell::Type::Integer;
            c.integer = v;
        }
    } else if (PyFloat_Check(o)) {
        c.type = runlens::Cell::Type::Real;
        c.real = PyFloat_AS_DOUBLE(o);
    } else if (PyUnicode_Check(o)) {
        c.type = runlens::Cell::Type::Text;
        c.bytes = bind::utf8_of(h);
    } else if (PyBytes_Check(o) || PyByteArray_Check(o) || PyMemoryView_Check(o)) {
        nb::object b = nb::steal(PyBytes_FromObject(o));
        if (!b.is_valid()) throw nb::python_error();
        c.type = runlens::Cell::Type::Blob;
        c.bytes.assign(PyBytes_AS_STRING(b.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(b.ptr())));
    } else {
        c.type = runlens::Cell::Type::Other;
    }
    return c;
}

}  // namespace

NB_MODULE(runlens, m) {
    m.doc() = "Read-only projections of stored publish decisions, never a resume permit.";
    bind::register_history_error_translator();

    // Bound at load: the module does not load without them.
    m.attr("PLATFORM_NAMES") = nb::module_::import_("publish.constants").attr("PLATFORM_NAMES");
    m.attr("HistoryError") = nb::module_::import_("publish.runfault").attr("HistoryError");

    // The patterns as Python sees them; the core applies the same full matches itself.
    nb::object re = nb::module_::import_("re");
    m.attr("_UUID") = re.attr("compile")("[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}");
    m.attr("_SHA") = re.attr("compile")("[0-9a-f]{64}");
    m.attr("_IDENTITY") = re.attr("compile")("sha256-v1:[0-9a-f]{64}");

    m.def("_invalid", [](nb::str message) { return bind::history_error(runlens::invalid(bind::utf8_of(message))); },
          "message"_a = nb::str(runlens::kDefaultInvalid.data(), runlens::kDefaultInvalid.size()));
    m.def("_io_error", [] { return bind::history_error(runlens::io_error()); });
    m.def("_absolute_path", [](nb::handle value) {
        return PyUnicode_Check(value.ptr()) && runlens::absolute_path(std::string_view(bind::utf8_of(value)));
    }, "value"_a);
    m.def("_json", [](nb::handle value) {
        runlens::Cell c = cell_of(value);
        kamo::Value v;
        {
            nb::gil_scoped_release unlocked;
            v = runlens::json(c);
        }
        return bind::to_python(v);
    }, "value"_a);
    m.def("_valid_link", [](nb::handle platform, nb::handle value) {
        if (!PyUnicode_Check(platform.ptr()) || !PyUnicode_Check(value.ptr())) return false;
        return runlens::valid_link(bind::utf8_of(platform), bind::utf8_of(value));
    }, "platform"_a.none(), "value"_a.none());  // None reaches the check instead of failing the call
    // The splitter behind _valid_link, for checking it against urllib.parse.
    m.def("_split_url", [](nb::handle value) -> nb::object {
        if (!PyUnicode_Check(value.ptr())) return nb::none();
        auto parts = runlens::split_url(bind::utf8_of(value));
        if (!parts) return nb::none();
        auto opt = [](const std::optional<std::string>& s) -> nb::object {
            return s ? nb::object(nb::str(s->data(), s->size())) : nb::none();
        };
        return nb::make_tuple(parts->scheme, parts->netloc, opt(parts->hostname), opt(parts->port_text),
                              parts->path, parts->query, parts->fragment);
    }, "value"_a);
    // The ISO 8601 rule behind publish_time, for checking it against datetime.fromisoformat.
    m.def("_iso_datetime_error", [](nb::str text) -> nb::object {
        auto err = runlens::iso_datetime_error(bind::utf8_of(text));
        return err ? nb::object(nb::str(err->data(), err->size())) : nb::none();
    }, "text"_a);
}
