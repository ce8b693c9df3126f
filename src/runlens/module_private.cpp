// The private names of publish.runlens: the module's rules one by one, the scoped connection and
// the reader's steps, for the runtime's own use and for tests that check each rule alone.
#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "bind/convert.hpp"
#include "runlens/accounts.hpp"
#include "runlens/decisions.hpp"
#include "runlens/entries.hpp"
#include "runlens/failures.hpp"
#include "runlens/isodate.hpp"
#include "runlens/links.hpp"
#include "runlens/names.hpp"
#include "runlens/patterns.hpp"
#include "runlens/project.hpp"
#include "runlens/module_common.hpp"
#include "runlens/module_sqlite.hpp"
#include "runlens/queries.hpp"
#include "runlens/run_rows.hpp"
#include "runlens/snapshot.hpp"
#include "runlens/store.hpp"
#include "runlens/stored_json.hpp"
#include "value/json.hpp"

namespace runlens_py {

using namespace nb::literals;

namespace {

// A Python argument as a stored cell, keeping what SQLite would keep.
runlens::Cell cell_of(nb::handle h) {
    runlens::Cell c;
    PyObject* o = h.ptr();
    if (o == Py_None) {
        c.type = runlens::CellType::Null;
    } else if (PyLong_Check(o)) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (overflow) {
            c.type = runlens::CellType::Other;
        } else {
            c.type = runlens::CellType::Integer;
            c.integer = v;
        }
    } else if (PyFloat_Check(o)) {
        c.type = runlens::CellType::Real;
        c.real = PyFloat_AS_DOUBLE(o);
    } else if (PyUnicode_Check(o)) {
        c.type = runlens::CellType::Text;
        c.bytes = bind::utf8_of(h);
    } else if (PyBytes_Check(o) || PyByteArray_Check(o) || PyMemoryView_Check(o)) {
        nb::object b = nb::steal(PyBytes_FromObject(o));
        if (!b.is_valid()) throw nb::python_error();
        c.type = runlens::CellType::Blob;
        c.bytes.assign(PyBytes_AS_STRING(b.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(b.ptr())));
    } else {
        c.type = runlens::CellType::Other;
    }
    return c;
}

// A mapping (dict, sqlite3.Row...) read as a store row by column name. Its text is a caller's,
// not checked as UTF-8 the way store rows are.
runlens::Row row_of(nb::handle mapping) {
    auto names = std::make_shared<std::vector<std::string>>();
    runlens::Row row;
    row.text_checked = false;
    for (nb::handle key : mapping.attr("keys")()) {
        if (!PyUnicode_Check(key.ptr())) continue;
        names->push_back(bind::utf8_of(key));
        row.cells.push_back(cell_of(mapping[key]));
    }
    row.names = std::move(names);
    return row;
}

// The scoped connection as Python sees it: a context manager whose value _schema and _project
// take. A call that works on it marks it busy for its whole length (an open waits without the
// GIL, and a signal handler polled during a read can run any Python code), so no other call
// can open, close or use it meanwhile.
struct Scope {
    std::string path;
    std::unique_ptr<runlens::Connection> conn;
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
    Watched(runlens::Connection& conn, SignalWatch& watch) : conn_(conn) { conn_.interrupt_with(watch.hook()); }
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

// Runs body on an open scope with the GIL held; the claim covers the moments a signal handler
// runs, and storage-engine and file-system failures become RUN-005.
template <class F>
auto on_scope(Scope& s, F&& body) {
    runlens::Connection& conn = s.open();
    Claim claim(s);
    SignalWatch watch;
    Watched watched(conn, watch);
    return watch.run([&] { return runlens::guarded([&] { return body(conn); }); });
}

// A failure the body of a scope raised, as the scope passes it on: storage-engine and
// file-system failures are read failures of the store, the RUN-005 failure with them as cause.
void raise_from_scope(nb::handle type, nb::handle value) {
    nb::object sqlite_error = nb::module_::import_("sqlite3").attr("Error");
    if (!PyErr_GivenExceptionMatches(type.ptr(), PyExc_OSError) &&
        !PyErr_GivenExceptionMatches(type.ptr(), sqlite_error.ptr()))
        return;
    nb::object err = bind::history_error(runlens::io_error());
    PyException_SetCause(err.ptr(), nb::borrow(value).release().ptr());
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(err.ptr())), err.ptr());
    throw nb::python_error();
}

// A constant table as Python holds it: a tuple, so no caller can change what records copy.
template <std::size_t N>
nb::tuple tuple_of(const std::array<std::string_view, N>& table) {
    nb::list items;
    for (std::string_view s : table) items.append(bind::str_of(s));
    return nb::tuple(items);
}

// A name of a closed set, as a store row gives it.
template <class E>
E name_arg(nb::handle h, const char* what) {
    if (!PyUnicode_Check(h.ptr())) throw nb::type_error((std::string(what) + " must be a str").c_str());
    std::optional<E> e = runlens::parse_name<E>(bind::utf8_of(h));
    if (!e) throw nb::value_error((std::string("no store holds the ") + what + " " + bind::utf8_of(nb::repr(h))).c_str());
    return *e;
}

}  // namespace

void add_private(nb::module_& m, nb::class_<Reader>& reader) {
    // The patterns as Python sees them; the core applies the same full matches itself.
    nb::object re = nb::module_::import_("re");
    m.attr("_UUID") = re.attr("compile")("[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}");
    m.attr("_SHA") = re.attr("compile")("[0-9a-f]{64}");
    m.attr("_IDENTITY") = re.attr("compile")("sha256-v1:[0-9a-f]{64}");
    // The constant tables every record copies from.
    m.attr("_STATES") = tuple_of(runlens::kStateKeys);
    m.attr("_RESUME") = tuple_of(runlens::kResumeKeys);
    m.attr("_RESULT_FIELDS") = tuple_of(runlens::kResultFields);
    m.attr("_RESUME_CHECKS") = tuple_of(runlens::kResumeChecks);
    m.attr("_EVIDENCE_CHECKS") = tuple_of(runlens::kEvidenceChecks);

    // The core's own matchers behind those patterns, by the pattern's name.
    // Which way the reader reaches the interpreter's SQLite, and a way forced, for tests.
    m.def("_sqlite_way", [] { return sqlite_way(); });
    m.def("_use_sqlite_way", [](const std::string& way) { use_sqlite_way(way); }, "way"_a);
    m.def("_matches", [](const std::string& name, nb::str text) {
        std::string t = bind::utf8_of(text);
        if (name == "_UUID") return runlens::match_uuid(t);
        if (name == "_SHA") return runlens::match_sha(t);
        if (name == "_IDENTITY") return runlens::match_identity(t);
        throw nb::value_error("no such pattern");
    }, "name"_a, "text"_a);

    m.def("_invalid", [](nb::str message) { return bind::history_error(runlens::invalid(bind::utf8_of(message))); },
          "message"_a = nb::str(runlens::kDefaultInvalid.data(), runlens::kDefaultInvalid.size()));
    m.def("_io_error", [] { return bind::history_error(runlens::io_error()); });
    m.def("_absolute_path", [](nb::handle value) {
        return PyUnicode_Check(value.ptr()) && runlens::absolute_path(std::string_view(bind::utf8_of(value)));
    }, "value"_a.none());
    m.def("_json", [](nb::handle value) {
        runlens::Cell c = cell_of(value);
        kamo::json::Parser parser(decoding_limits());
        kamo::Value v;
        {
            nb::gil_scoped_release unlocked;
            v = kamo::json::to_value(runlens::decode_stored_json(c.view(), parser, kamo::json::Input::Text));
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
    // The ISO 8601 rule behind publish_time, for checking it against datetime.fromisoformat:
    // the running interpreter's rules, or with python=(major, minor) another release's.
    m.def("_iso_datetime_error", [](nb::str text, std::optional<std::pair<int, int>> python) -> nb::object {
        runlens::IsoRules rules = python ? runlens::IsoRules::for_python(python->first, python->second) : iso_rules();
        auto err = runlens::iso_datetime_error(bind::utf8_of(text), rules);
        return err ? nb::object(bind::str_of(*err)) : nb::none();
    }, "text"_a, nb::kw_only(), "python"_a = nb::none());

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
                    runlens::guarded([&] { conn = std::make_unique<runlens::Connection>(s.path, watch.hook()); });
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
            s.conn.reset();
            if (!type.is_none()) raise_from_scope(type, value);
            return false;
        }, "exc_type"_a.none(), "exc"_a.none(), "tb"_a.none());

    reader
        .def("_connection", [](Reader& r) { return Scope{fs_path(r.path), nullptr}; })
        .def("_exists", [](Reader& r) {
            std::string path = fs_path(r.path);
            nb::gil_scoped_release unlocked;
            return runlens::exists(path);
        })
        .def_static("_schema", [](Scope& s) {
            return on_scope(s, [](runlens::Connection& conn) { return runlens::schema(conn); });
        }, "connection"_a)
        .def_static("_snapshot", [](nb::handle row) {
            runlens::Row r = row_of(row);
            runlens::Environment env = environment();
            kamo::Value items, prints;
            {
                nb::gil_scoped_release unlocked;
                runlens::Snapshot s(env);
                s.check(r);
                items = kamo::json::to_value(s.items());
                prints = kamo::json::to_value(s.fingerprints());
            }
            return nb::make_tuple(bind::to_python(items), bind::to_python(prints));
        }, "row"_a)
        .def_static("_result", [](nb::handle entry) {
            runlens::Row r = row_of(entry);
            kamo::json::Parser parser(decoding_limits());
            runlens::EntryFacts facts = runlens::check_entry(r.cell("state"), r.cell("retryable"), r.cell("result"),
                                                             parser, kamo::json::Input::Text);
            return bind::to_python(runlens::stored_result(facts));
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
                map.add(cell_of(key[0]).view(), cell_of(key[1]).view(), identity.view());
            }
            std::string p = PyUnicode_Check(platform.ptr()) ? bind::utf8_of(platform) : std::string();
            // The item as the core reads items: a parsed document.
            kamo::Value record = value_or_null(item);
            kamo::json::Parser parser;
            kamo::json::Node node = parser.adopt(record);
            kamo::json::Node path = runlens::account_path(node, p);
            runlens::Identity who = runlens::identity(cell_of(version).view(), map, p, path, runnable);
            return nb::make_tuple(bind::to_python(kamo::json::to_value(path)),
                                  bind::to_python(kamo::Value(kamo::lit(runlens::name_of(who)))));
        }, "item"_a.none(), "platform"_a.none(), "version"_a.none(), "accounts"_a, "runnable"_a)
        .def_static("_decision", [](nb::handle state, nb::handle retryable, nb::handle identity) {
            // Only what a checked entry and _identity can hand over: a state, a retry flag of 0 or
            // 1 set on a failed entry alone, and an identity status that _identity returns for
            // such an entry. The flag is read as any record value is (containers as they stood).
            runlens::State s = name_arg<runlens::State>(state, "state");
            kamo::Value flag = value_or_null(retryable);
            if (flag.kind() != kamo::Value::Kind::Int && !flag.is_bool())
                throw nb::type_error("retryable must be an int");
            std::int64_t n = flag.is_bool() ? flag.as_bool() : flag.as_int();
            if (n != 0 && n != 1) throw nb::value_error("retryable must be 0 or 1");
            runlens::Identity who = name_arg<runlens::Identity>(identity, "identity status");
            std::optional<bool> again = runlens::runnable(s, n == 1);
            if (!again) throw nb::value_error("no store holds a retry flag on an entry that is not failed");
            if (*again && !runlens::usable(who))
                throw nb::value_error("no store holds a runnable entry without a usable identity");
            return bind::to_python(runlens::decision_record(runlens::resume_status(s, n == 1, who)));
        }, "state"_a.none(), "retryable"_a.none(), "identity"_a.none())
        .def("_project", [](Reader&, Scope& s, nb::handle row, bool accounts_present) {
            // The caller's code runs while the row and the platform table are read; the scope is
            // looked at only after that.
            runlens::Row r = row_of(row);
            runlens::Environment env = environment();
            return to_python_record(on_scope(s, [&](runlens::Connection& conn) {
                runlens::Projector projector(conn, env, accounts_present);
                std::vector<kamo::Value> results;
                projector.check(0, r, &results);
                return projector.projection(results);
            }));
        }, "connection"_a, "row"_a, "accounts_present"_a)
        // list_runs with a statement per run whatever the layout, to compare with list_runs.
        .def("_list_runs_run_by_run", [](Reader& r, nb::handle limit, nb::handle before) {
            std::int64_t n = runlens::checked_limit(value_or_null(limit));
            std::optional<std::string> b = checked_before(before);
            return run_query(r, [&](const std::string& path, const runlens::Environment& env,
                                    runlens::Interrupt interrupt) {
                return runlens::list_runs(path, n, b, env, interrupt, runlens::Reading::RunByRun);
            });
        }, "limit"_a.none() = 20, "before"_a.none() = nb::none())
        // Whether list_runs reads a table ("entries" or "accounts") in one pass on this store.
        .def_static("_reads_in_one_pass", [](Scope& s, const std::string& table) {
            if (table != "entries" && table != "accounts") throw nb::value_error("no such table");
            return on_scope(s, [&](runlens::Connection& conn) { return runlens::scan_order(conn, table).has_value(); });
        }, "connection"_a, "table"_a);
}

}  // namespace runlens_py
