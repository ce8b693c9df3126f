// What the public and the private bindings of publish.runlens share: the reader, what a query
// reads from the interpreter, and Ctrl-C while the core reads without the GIL.
#pragma once

#include <nanobind/nanobind.h>

#include <optional>
#include <string>

#include "runlens/environment.hpp"
#include "runlens/isodate.hpp"
#include "runlens/store.hpp"
#include "value/json.hpp"
#include "value/value.hpp"

namespace runlens_py {

namespace nb = nanobind;

struct Reader {
    nb::object path;
};

// Binds what the module takes from outside at load: PLATFORM_NAMES, HistoryError, the main
// thread and the interpreter's release. The module does not load without them.
void bind_host(nb::module_& m);

// Keys of PLATFORM_NAMES as they are now, so a runtime that changes the table is seen.
runlens::PlatformKeys platform_keys();
// sys.get_int_max_str_digits() as it is now: json.loads refuses longer integers, and so does the
// decoder, whether or not a record keeps the value.
kamo::json::Limits decoding_limits();
// fromisoformat's rules as the running interpreter has them, read from sys.version_info at load.
runlens::IsoRules iso_rules();
// What a query reads from the interpreter, once, before it lets the GIL go.
runlens::Environment environment();

// os.fspath, then the file-system encoding: the bytes the OS sees.
std::string fs_path(nb::handle path);

// Record values from Python; anything that has no record form fails every type check as null.
kamo::Value value_or_null(nb::handle h);

// list_runs' before: None lists the newest runs; anything else is a run id, checked as get_run
// checks one.
std::optional<std::string> checked_before(nb::handle before);

// Ctrl-C during a read. Signal handlers run only on the main thread, and only where the
// interpreter looks for them, which it never does while the core reads without the GIL. So the
// core polls this every few milliseconds: it takes the GIL for a moment and runs the handlers;
// what they raise (KeyboardInterrupt) stops the read and is raised once the read has let go of
// the store.
class SignalWatch {
public:
    SignalWatch();
    SignalWatch(const SignalWatch&) = delete;
    SignalWatch& operator=(const SignalWatch&) = delete;

    // No polls off the main thread: no handler could run there, and each poll costs the GIL.
    runlens::Interrupt hook() {
        return on_main_ ? runlens::Interrupt{&SignalWatch::poll, this} : runlens::Interrupt{};
    }

    // Runs body (which may release the GIL inside) with the GIL held on entry and exit, raising
    // what a signal handler raised in place of the core's Interrupted.
    template <class F>
    auto run(F&& body) -> decltype(body()) {
        try {
            return body();
        } catch (const runlens::Interrupted&) {
            raise();
        }
    }

    // With the GIL held, after the core threw Interrupted.
    [[noreturn]] void raise();

private:
    static bool poll(void* self) noexcept;

    bool on_main_ = false;
    std::optional<nb::python_error> raised_;
};

// The record as Python objects; the record is used up as it goes.
nb::object to_python_record(kamo::Value&& record);

// Runs a query on the store without the GIL and converts its record once, at the end. query is
// called as query(path, environment, interrupt).
template <class Query>
nb::object run_query(Reader& r, Query&& query) {
    std::string path = fs_path(r.path);
    runlens::Environment env = environment();
    SignalWatch watch;
    kamo::Value out;
    bool interrupted = false;
    {
        nb::gil_scoped_release unlocked;
        try {
            out = query(path, env, watch.hook());
        } catch (const runlens::Interrupted&) {
            interrupted = true;  // raised below, with the GIL
        }
    }
    if (interrupted) watch.raise();
    return to_python_record(std::move(out));
}

// Adds the module's private names (underscore functions, patterns, the scoped connection, and
// the reader's underscore methods), for the runtime's own use and for tests.
void add_private(nb::module_& m, nb::class_<Reader>& reader);

}  // namespace runlens_py
