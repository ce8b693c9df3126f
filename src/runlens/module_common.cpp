// Shared parts of the publish.runlens bindings.
#include "runlens/module_common.hpp"

#include <nanobind/stl/string.h>

#include <stdexcept>

#include "bind/convert.hpp"
#include "runlens/queries.hpp"

namespace runlens_py {

namespace {

PyObject* platform_names = nullptr;  // bound at load, kept for the life of the process
PyObject* main_thread = nullptr;     // threading.main_thread, bound at load and kept
runlens::IsoRules host_iso_rules;    // set at load; a process runs one interpreter release

}  // namespace

void bind_host(nb::module_& m) {
    m.attr("PLATFORM_NAMES") = nb::module_::import_("publish.constants").attr("PLATFORM_NAMES");
    platform_names = nb::object(m.attr("PLATFORM_NAMES")).release().ptr();
    m.attr("HistoryError") = nb::module_::import_("publish.runfault").attr("HistoryError");
    main_thread = nb::object(nb::module_::import_("threading").attr("main_thread")).release().ptr();
    nb::object version = nb::module_::import_("sys").attr("version_info");
    host_iso_rules = runlens::IsoRules::for_python(nb::cast<int>(version[0]), nb::cast<int>(version[1]));
}

runlens::IsoRules iso_rules() { return host_iso_rules; }

runlens::PlatformKeys platform_keys() {
    runlens::PlatformKeys keys;
    for (nb::handle k : nb::handle(platform_names))
        if (PyUnicode_Check(k.ptr())) keys.push_back(bind::utf8_of(k));
    return keys;
}

kamo::json::Limits decoding_limits() {
    nb::object digits = nb::module_::import_("sys").attr("get_int_max_str_digits")();
    kamo::json::Limits limits;
    limits.max_int_digits = nb::cast<std::size_t>(digits);
    return limits;
}

runlens::Environment environment() { return {platform_keys(), decoding_limits(), host_iso_rules}; }

std::string fs_path(nb::handle path) {
    nb::object p = nb::steal(PyOS_FSPath(path.ptr()));
    if (!p.is_valid()) throw nb::python_error();
    if (PyUnicode_Check(p.ptr())) p = nb::steal(PyUnicode_EncodeFSDefault(p.ptr()));
    if (!p.is_valid()) throw nb::python_error();
    return std::string(PyBytes_AS_STRING(p.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(p.ptr())));
}

kamo::Value value_or_null(nb::handle h) {
    try {
        return bind::from_python(h);
    } catch (nb::builtin_exception&) {
        return kamo::Value(nullptr);  // no record form (type or depth)
    }
}

std::optional<std::string> checked_before(nb::handle before) {
    if (before.is_none()) return std::nullopt;
    return runlens::checked_run_id(value_or_null(before));
}

nb::object to_python_record(kamo::Value&& record) { return bind::to_python(std::move(record)); }

SignalWatch::SignalWatch() {
    nb::object main = nb::handle(main_thread)();
    nb::object ident = main.attr("ident");
    on_main_ = !ident.is_none() && nb::cast<unsigned long>(ident) == PyThread_get_thread_ident();
}

void SignalWatch::raise() {
    if (!raised_) throw std::logic_error("read interrupted without a Python exception");
    nb::python_error err = std::move(*raised_);
    raised_.reset();
    throw err;
}

bool SignalWatch::poll(void* self) noexcept {
    auto* w = static_cast<SignalWatch*>(self);
    PyGILState_STATE gil = PyGILState_Ensure();
    bool stop = PyErr_CheckSignals() != 0;
    if (stop) w->raised_.emplace();  // takes the raised exception
    PyGILState_Release(gil);
    return stop;
}

}  // namespace runlens_py
