// publish.runlens: the reader and its two queries, bound thinly over the core. The module's private
// names are added by module_private.cpp.
#include <nanobind/nanobind.h>

#include "bind/convert.hpp"
#include "runlens/module_common.hpp"
#include "runlens/module_sqlite.hpp"
#include "runlens/queries.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using runlens_py::Reader;

NB_MODULE(runlens, m) {
    m.doc() = "Read-only projections of stored publish decisions, never a resume permit.";
    bind::register_history_error_translator();
    // As pathlib's resolve() words it, with the path decoded as os functions decode paths.
    nb::register_exception_translator([](const std::exception_ptr& p, void*) {
        try {
            std::rethrow_exception(p);
        } catch (const runlens::SymlinkLoop& e) {
            nb::object path = nb::steal(
                PyUnicode_DecodeFSDefaultAndSize(e.path.data(), static_cast<Py_ssize_t>(e.path.size())));
            if (path.is_valid()) PyErr_Format(PyExc_RuntimeError, "Symlink loop from %R", path.ptr());
        }
    });
    runlens_py::bind_host(m);
    runlens_py::install_host_sqlite();

    auto reader = nb::class_<Reader>(m, "HistoryReader",
                                     "Read the existing database in one snapshot without creating or upgrading it.");
    reader
        .def("__init__", [](Reader* self, nb::object path) {
            if (path.is_none())
                path = nb::module_::import_("pathlib").attr("Path").attr("home")() / nb::str(".kamo") /
                       nb::str("publish-history.sqlite3");
            new (self) Reader{std::move(path)};
        }, "path"_a = nb::none())
        .def_prop_ro("path", [](Reader& r) { return r.path; })
        // The arguments are checked, the limit first, before the path is even looked at.
        .def("list_runs", [](Reader& r, nb::handle limit, nb::handle before) {
            std::int64_t n = runlens::checked_limit(runlens_py::value_or_null(limit));
            std::optional<std::string> b = runlens_py::checked_before(before);
            return runlens_py::run_query(r, [&](const std::string& path, const runlens::Environment& env,
                                                runlens::Interrupt interrupt) {
                return runlens::list_runs(path, n, b, env, interrupt);
            });
        }, "limit"_a.none() = 20, "before"_a.none() = nb::none())
        .def("get_run", [](Reader& r, nb::handle run_id) {
            std::string id = runlens::checked_run_id(runlens_py::value_or_null(run_id));
            return runlens_py::run_query(r, [&](const std::string& path, const runlens::Environment& env,
                                                runlens::Interrupt interrupt) {
                return runlens::get_run(path, id, env, interrupt);
            });
        }, "run_id"_a.none());

    runlens_py::add_private(m, reader);
}
