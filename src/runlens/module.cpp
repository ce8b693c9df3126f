// publish.runlens: thin bindings over the read-only history reader core.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <optional>
#include <stdexcept>

#include "bind/convert.hpp"
#include "runlens/isodate.hpp"
#include "runlens/links.hpp"
#include "runlens/project.hpp"
#include "runlens/queries.hpp"
#include "runlens/rules.hpp"
#include "runlens/snapshot.hpp"
#include "runlens/store.hpp"
#include "value/json.hpp"

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

// A mapping (dict, sqlite3.Row...) read as a store row by column name.
runlens::Row row_of(nb::handle mapping) {
    auto names = std::make_shared<std::vector<std::string>>();
    runlens::Row row;
    for (nb::handle key : mapping.attr("keys")()) {
        if (!PyUnicode_Check(key.ptr())) continue;
        names->push_back(bind::utf8_of(key));
        row.cells.push_back(cell_of(mapping[key]));
    }
    row.names = std::move(names);
    return row;
}

// Record values from Python; anything that has no record form fails every type check as null.
kamo::Value value_or_null(nb::handle h) {
    try {
        return bind::from_python(h);
    } catch (nb::builtin_exception&) {
        return kamo::Value(nullptr);  // no record form (type or depth)
    }
}

PyObject* platform_names = nullptr;  // bound at load, kept for the life of the process

// Keys of PLATFORM_NAMES as they are now, so a runtime that changes the table is seen.
runlens::PlatformKeys platform_keys() {
    runlens::PlatformKeys keys;
    for (nb::handle k : nb::handle(platform_names))
        if (PyUnicode_Check(k.ptr())) keys.push_back(bind::utf8_of(k));
    return keys;
}

// sys.get_int_max_str_digits() as it is now: json.loads refuses longer integers, and so does the
// decoder, whether or not a record keeps the value.
kamo::json::Limits decoding_limits() {
    nb::object digits = nb::module_::import_("sys").attr("get_int_max_str_digits")();
    kamo::json::Limits limits;
    limits.max_int_digits = nb::cast<std::size_t>(digits);
    return limits;
}

// What a query reads from the interpreter, once, before it lets the GIL go.
runlens::Environment environment() { return {platform_keys(), decoding_limits()}; }

// os.fspath, then the file-system encoding: the bytes the OS sees.
std::string fs_path(nb::handle path) {
    nb::object p = nb::steal(PyOS_FSPath(path.ptr()));
    if (!p.is_valid()) throw nb::python_error();
    if (PyUnicode_Check(p.ptr())) p = nb::steal(PyUnicode_EncodeFSDefault(p.ptr()));
    if (!p.is_valid()) throw nb::python_error();
    return std::string(PyBytes_AS_STRING(p.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(p.ptr())));
}

struct Reader {
    nb::object path;
};

PyObject* main_thread = nullptr;  // threading.main_thread, bound at load and kept

// Ctrl-C during a read. Signal handlers run only on the main thread, and only where the
// interpreter looks for them, which it never does while the core reads without the GIL. So the
// core polls this every few milliseconds: it takes the GIL for a moment and runs the handlers;
// what they raise (KeyboardInterrupt) stops the read and is raised once the read has let go of
// the store.
class SignalWatch {
public:
    SignalWatch() {
        nb::object main = nb::handle(main_thread)();
        nb::object ident = main.attr("ident");
        on_main_ = !ident.is_none() && nb::cast<unsigned long>(ident) == PyThread_get_thread_ident();
    }
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
    [[noreturn]] void raise() {
        if (!raised_) throw std::logic_error("read interrupted without a Python exception");
        nb::python_error err = std::move(*raised_);
        raised_.reset();
        throw err;
    }

private:
    static bool poll(void* self) noexcept {
        auto* w = static_cast<SignalWatch*>(self);
        PyGILState_STATE gil = PyGILState_Ensure();
        bool stop = PyErr_CheckSignals() != 0;
        if (stop) w->raised_.emplace();  // takes the raised exception
        PyGILState_Release(gil);
        return stop;
    }

    bool on_main_ = false;
    std::optional<nb::python_error> raised_;
};

// Runs a query on the store without the GIL and converts its record once, at the end.
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
    return bind::to_python(out);
}

// The scoped connection as Python sees it: a context manager whose value _schema and _project
// take. A call that works on it marks it busy for its whole length (an open waits without the
// GIL, and a signal handler polled during a read can run any Python code), so no other call
// can open, close or use it meanwhile.
struct Scope {
    std::string path;
    std::unique_ptr<runlens::Connection> conn;
    std::unique_ptr<runlens::RunStatements> statements;
    bool busy = false;

    runlens::Connection& open() {
        if (busy) throw nb::value_error("the connection is in use");
        if (!conn) throw nb::value_error("the connection is closed");
        return *conn;
    }
};

// A scope's connection polls the watch of the call that works on it, and that call's only.
class Watched {
public:
    Watched(runlens::Connection& conn, SignalWatch& watch) : conn_(conn) {
        conn_.interrupt_with(watch.hook());
    }
    ~Watched() { conn_.interrupt_with({}); }
    Watched(const Watched&) = delete;
    Watched& operator=(const Watched&) = delete;

private:
    runlens::Connection& conn_;
};

// Marks a scope busy for one call.
class Claim {
public:
    explicit Claim(Scope& s) : s_(s) { s_.busy = true; }
    ~Claim() { s_.busy = false; }
    Claim(const Claim&) = delete;
    Claim& operator=(const Claim&) = delete;

private:
    Scope& s_;
};

}  // namespace

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

    // Bound at load: the module does not load without them.
    m.attr("PLATFORM_NAMES") = nb::module_::import_("publish.constants").attr("PLATFORM_NAMES");
    platform_names = m.attr("PLATFORM_NAMES").ptr();
    Py_INCREF(platform_names);
    m.attr("HistoryError") = nb::module_::import_("publish.runfault").attr("HistoryError");
    main_thread = nb::object(nb::module_::import_("threading").attr("main_thread")).release().ptr();

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
    }, "value"_a.none());
    m.def("_json", [](nb::handle value) {
        runlens::Cell c = cell_of(value);
        kamo::json::Limits limits = decoding_limits();
        kamo::Value v;
        {
            nb::gil_scoped_release unlocked;
            v = runlens::json(c, limits);
        }
        return bind::to_python(v);
    }, "value"_a.none());
    // The encoder, exposed for checking against json.dumps(v, ensure_ascii=False).
    m.def("_dumps", [](nb::handle v) { return bind::str_of(kamo::json::encode(bind::from_python(v))); },
          "value"_a.none());
    m.def("_valid_link", [](nb::handle platform, nb::handle value) {
        if (!PyUnicode_Check(platform.ptr()) || !PyUnicode_Check(value.ptr())) return false;
        return runlens::valid_link(bind::utf8_of(platform), bind::utf8_of(value), decoding_limits().max_int_digits);
    }, "platform"_a.none(), "value"_a.none());
    // The splitter behind _valid_link, for checking it against urllib.parse.
    m.def("_split_url", [](nb::handle value) -> nb::object {
        if (!PyUnicode_Check(value.ptr())) return nb::none();
        auto parts = runlens::split_url(bind::utf8_of(value));
        if (!parts) return nb::none();
        auto opt = [](const std::optional<std::string>& s) -> nb::object {
            return s ? nb::object(bind::str_of(*s)) : nb::none();
        };
        return nb::make_tuple(bind::str_of(parts->scheme), bind::str_of(parts->netloc), opt(parts->hostname),
                              opt(parts->port_text), bind::str_of(parts->path), bind::str_of(parts->query),
                              bind::str_of(parts->fragment));
    }, "value"_a.none());
    // The ISO 8601 rule behind publish_time, for checking it against datetime.fromisoformat.
    m.def("_iso_datetime_error", [](nb::str text) -> nb::object {
        auto err = runlens::iso_datetime_error(bind::utf8_of(text));
        return err ? nb::object(bind::str_of(*err)) : nb::none();
    }, "text"_a);

    nb::class_<Scope>(m, "_Connection")
        .def("__enter__", [](Scope& s) -> Scope& {
            // Entering again would swap the snapshot under the open block and leave its prepared
            // statements on a closed connection. The claim is made before the GIL is let go, so
            // a second thread entering meanwhile is refused too.
            if (s.conn || s.busy) throw nb::value_error("the connection is already open");
            Claim claim(s);
            SignalWatch watch;
            std::unique_ptr<runlens::Connection> conn;
            bool interrupted = false;
            {
                nb::gil_scoped_release unlocked;  // opening may wait for a writer's lock
                try {
                    runlens::guarded(
                        [&] { conn = std::make_unique<runlens::Connection>(s.path, watch.hook()); });
                } catch (const runlens::Interrupted&) {
                    interrupted = true;
                }
            }
            if (interrupted) watch.raise();
            conn->interrupt_with({});  // the watch ends with this call
            s.conn = std::move(conn);
            return s;
        }, nb::rv_policy::reference)
        .def("__exit__", [](Scope& s, nb::handle type, nb::handle value, nb::handle) {
            if (s.busy) throw nb::value_error("the connection is in use");
            s.statements.reset();
            s.conn.reset();
            // Storage-engine and file-system failures raised by the body become RUN-005.
            if (!type.is_none()) {
                nb::object sqlite_error = nb::module_::import_("sqlite3").attr("Error");
                if (PyErr_GivenExceptionMatches(type.ptr(), PyExc_OSError) ||
                    PyErr_GivenExceptionMatches(type.ptr(), sqlite_error.ptr())) {
                    nb::object err = bind::history_error(runlens::io_error());
                    PyException_SetCause(err.ptr(), nb::borrow(value).release().ptr());
                    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(err.ptr())), err.ptr());
                    throw nb::python_error();
                }
            }
            return false;
        }, "exc_type"_a.none(), "exc"_a.none(), "tb"_a.none());

    nb::class_<Reader>(m, "HistoryReader", "Read the existing database in one snapshot without creating or upgrading it.")
        .def("__init__", [](Reader* self, nb::object path) {
            if (path.is_none())
                path = nb::module_::import_("pathlib").attr("Path").attr("home")() / nb::str(".kamo") /
                       nb::str("publish-history.sqlite3");
            new (self) Reader{std::move(path)};
        }, "path"_a = nb::none())
        .def_prop_ro("path", [](Reader& r) { return r.path; })
        .def("_connection", [](Reader& r) { return Scope{fs_path(r.path), nullptr, nullptr}; })
        .def("_exists", [](Reader& r) {
            std::string path = fs_path(r.path);
            nb::gil_scoped_release unlocked;
            return runlens::exists(path);
        })
        // Work on an open scope keeps the GIL; the claim covers the moments a signal handler runs.
        .def_static("_schema", [](Scope& s) {
            runlens::Connection& conn = s.open();
            Claim claim(s);
            SignalWatch watch;
            Watched watched(conn, watch);
            return watch.run([&] { return runlens::guarded([&] { return runlens::schema(conn); }); });
        }, "connection"_a)
        // The argument is checked before the path is even looked at.
        .def("list_runs", [](Reader& r, nb::handle limit) {
            std::int64_t n = runlens::checked_limit(value_or_null(limit));
            return run_query(r, [&](const std::string& path, const runlens::Environment& env,
                                    runlens::Interrupt interrupt) {
                return runlens::list_runs(path, n, env, interrupt);
            });
        }, "limit"_a.none() = 20)
        .def("get_run", [](Reader& r, nb::handle run_id) {
            std::string id = runlens::checked_run_id(value_or_null(run_id));
            return run_query(r, [&](const std::string& path, const runlens::Environment& env,
                                    runlens::Interrupt interrupt) {
                return runlens::get_run(path, id, env, interrupt);
            });
        }, "run_id"_a.none())
        .def_static("_snapshot", [](nb::handle row) {
            runlens::Row r = row_of(row);
            runlens::Environment env = environment();
            runlens::Snapshot s;
            {
                nb::gil_scoped_release unlocked;
                s = runlens::snapshot(r, env);
            }
            return nb::make_tuple(bind::to_python(s.items), bind::to_python(s.fingerprints));
        }, "row"_a)
        .def_static("_result", [](nb::handle entry) {
            runlens::Row r = row_of(entry);
            return bind::to_python(runlens::stored_result(r, decoding_limits()));
        }, "entry"_a)
        .def_static("_identity", [](nb::handle item, nb::handle platform, nb::handle version, nb::dict accounts,
                                    bool runnable) {
            runlens::AccountMap map;
            // A copy of the pairs: reading a row runs the caller's code, which may change the map.
            nb::list rows = nb::steal<nb::list>(PyDict_Items(accounts.ptr()));
            for (nb::handle pair : rows) {
                nb::tuple key = nb::cast<nb::tuple>(pair[0]);
                nb::object row = pair[1];
                runlens::Cell identity = cell_of(row["identity"]);
                map.add(cell_of(key[0]), cell_of(key[1]), identity);
            }
            std::string p = PyUnicode_Check(platform.ptr()) ? bind::utf8_of(platform) : std::string();
            runlens::Identity who = runlens::identity(value_or_null(item), p, cell_of(version), map, runnable);
            return nb::make_tuple(bind::to_python(who.account_file), bind::to_python(kamo::Value(who.status)));
        }, "item"_a.none(), "platform"_a.none(), "version"_a.none(), "accounts"_a, "runnable"_a)
        .def_static("_decision", [](nb::handle state, nb::handle retryable, nb::handle identity) {
            std::string s = PyUnicode_Check(state.ptr()) ? bind::utf8_of(state) : std::string();
            std::string i = PyUnicode_Check(identity.ptr()) ? bind::utf8_of(identity) : std::string();
            return bind::to_python(runlens::decision(s, value_or_null(retryable), i));
        }, "state"_a.none(), "retryable"_a.none(), "identity"_a.none())
        .def("_project", [](Reader&, Scope& s, nb::handle row, bool accounts_present) {
            // The caller's code runs while the row and the platform table are read; the scope is
            // looked at only after that.
            runlens::Row r = row_of(row);
            runlens::Environment env = environment();
            runlens::Connection& conn = s.open();
            Claim claim(s);
            SignalWatch watch;
            Watched watched(conn, watch);
            return bind::to_python(watch.run([&] {
                return runlens::guarded([&] {
                    if (!s.statements) s.statements = std::make_unique<runlens::RunStatements>(conn);
                    return runlens::project(*s.statements, r, accounts_present, env);
                });
            }));
        }, "connection"_a, "row"_a, "accounts_present"_a);
}
