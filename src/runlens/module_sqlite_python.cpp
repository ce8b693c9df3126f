// The "python" way to the interpreter's SQLite: each function of the reader's table carried out
// through Python's sqlite3 module, for interpreters whose SQLite has hidden symbols and cannot
// load extensions.
//
// The core calls these without the GIL, on the thread that runs the query; each takes it for
// its own length (PyGILState also serves a caller that holds it already). Nothing escapes them:
// Python and C++ exceptions become SQLite result codes, kept on the connection for errmsg and
// extended_errcode as SQLite keeps them. Nothing here opens, reads or closes the store file: the
// only descriptors of it are those of that one SQLite, whose unix layer guards their locks.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include <nanobind/stl/string.h>

#include "runlens/module_sqlite.hpp"
#include "value/utf8.hpp"

namespace runlens_py {

namespace {

namespace sq = runlens::sqlite;

// Bound once with the GIL held, kept for the life of the process.
PyObject* connect_fn = nullptr;   // sqlite3.connect
PyObject* sqlite_error = nullptr;  // sqlite3.Error
PyObject* misuse_errors = nullptr;  // (sqlite3.ProgrammingError, sqlite3.InterfaceError)
// The text_factory of every connection: a bytes subclass, so that TEXT cells arrive as their raw
// bytes (the core checks them as UTF-8 itself) and stay apart from BLOBs (plain bytes).
PyObject* text_type = nullptr;
int version_number = 0;
std::string version_text;

class Gil {
public:
    Gil() : state_(PyGILState_Ensure()) {}
    ~Gil() { PyGILState_Release(state_); }
    Gil(const Gil&) = delete;
    Gil& operator=(const Gil&) = delete;

private:
    PyGILState_STATE state_;
};

// sqlite3_errstr's English texts, by primary result code.
const char* error_text(int rc) {
    switch (rc) {
        case SQLITE_ABORT_ROLLBACK: return "abort due to ROLLBACK";
        case SQLITE_ROW: return "another row available";
        case SQLITE_DONE: return "no more rows available";
        default: break;
    }
    static const char* const texts[] = {
        "not an error", "SQL logic error", nullptr, "access permission denied", "query aborted",
        "database is locked", "database table is locked", "out of memory", "attempt to write a readonly database",
        "interrupted", "disk I/O error", "database disk image is malformed", "unknown operation",
        "database or disk is full", "unable to open database file", "locking protocol", nullptr,
        "database schema has changed", "string or blob too big", "constraint failed", "datatype mismatch",
        "bad parameter or other API misuse", nullptr, "authorization denied", nullptr, "column index out of range",
        "file is not a database", "notification message", "warning message",
    };
    const int primary = rc & 0xFF;
    if (primary < static_cast<int>(sizeof texts / sizeof texts[0]) && texts[primary]) return texts[primary];
    return "unknown error";
}

struct Error {
    int code;
    std::string message;
};

std::string utf8(PyObject* str) {
    Py_ssize_t n = 0;
    const char* p = str ? PyUnicode_AsUTF8AndSize(str, &n) : nullptr;
    if (!p) {
        PyErr_Clear();
        return {};
    }
    return std::string(p, static_cast<std::size_t>(n));
}

bool is_instance(PyObject* o, PyObject* type) {
    int is = PyObject_IsInstance(o, type);
    if (is < 0) PyErr_Clear();
    return is == 1;
}

// The SQLite error a Python exception stands for. Never raises.
Error error_of(PyObject* exc) {
    PyObject* text = PyObject_Str(exc);
    std::string message = utf8(text);
    Py_XDECREF(text);
    if (is_instance(exc, sqlite_error)) {
        int code = SQLITE_ERROR;
        PyObject* c = PyObject_GetAttrString(exc, "sqlite_errorcode");
        if (c && PyLong_Check(c)) {
            code = static_cast<int>(PyLong_AsLong(c));
        } else if (is_instance(exc, misuse_errors)) {
            code = SQLITE_MISUSE;  // raised by the module itself: closed, wrong parameter count...
        }
        Py_XDECREF(c);
        PyErr_Clear();
        return {code, message};
    }
    // The module words SQLite's messages as str, and an error message that quotes bytes of a
    // damaged schema is not UTF-8: then the message comes as the bytes that failed to decode.
    // (A column name that is not UTF-8 fails the same way, and reads as SQLITE_ERROR with the
    // name for message: the module cannot name that column at all.)
    if (PyObject_TypeCheck(exc, reinterpret_cast<PyTypeObject*>(PyExc_UnicodeDecodeError))) {
        PyObject* raw = PyUnicodeDecodeError_GetObject(exc);
        if (raw && PyBytes_Check(raw)) {
            std::string bytes(PyBytes_AS_STRING(raw), static_cast<std::size_t>(PyBytes_GET_SIZE(raw)));
            Py_DECREF(raw);
            // SQLite words a schema it cannot parse so, and always with SQLITE_CORRUPT.
            bool schema = bytes.rfind("malformed database schema", 0) == 0;
            return {schema ? SQLITE_CORRUPT : SQLITE_ERROR, std::move(bytes)};
        }
        Py_XDECREF(raw);
        PyErr_Clear();
    }
    if (PyErr_GivenExceptionMatches(exc, PyExc_MemoryError)) return {SQLITE_NOMEM, error_text(SQLITE_NOMEM)};
    return {SQLITE_ERROR, std::string(Py_TYPE(exc)->tp_name) + ": " + message};
}

// A connection: the sqlite3.Connection (none when opening failed) and what SQLite would keep
// beside it.
struct Db {
    nb::object con;
    int code = SQLITE_OK;
    std::string message = error_text(SQLITE_OK);
    int os_errno = 0;
    int (*busy)(void*, int) = nullptr;
    void* busy_context = nullptr;
    int statements = 0;  // not yet finalized: a closed connection lives on until the last one goes
    bool closed = false;

    int fail(int rc, std::string_view text) noexcept {
        code = rc;
        try {
            message.assign(text);
        } catch (...) {
            message.clear();
        }
        return rc;
    }
    int fail(int rc) noexcept { return fail(rc, error_text(rc)); }
    int fail(const Error& e) noexcept { return fail(e.code, e.message); }
    void ok() noexcept { fail(SQLITE_OK); }
};

Db* db_of(sqlite3* db) { return reinterpret_cast<Db*>(db); }

// Runs f, which calls into Python; a Python exception becomes the connection's error.
template <class F>
int attempt(Db& db, F&& f) {
    try {
        f();
        return SQLITE_OK;
    } catch (nb::python_error& e) {
        return db.fail(error_of(e.value().ptr()));
    }
}

// A locked store is waited for through the busy handler the caller gave, as SQLite would: the
// connection has no timeout of its own, so the caller's handler decides how long to wait and
// can poll Ctrl-C between its sleeps. attempt must have had no effect when it met the lock.
template <class F>
int with_busy(Db& db, F&& attempt) {
    for (int count = 0;; ++count) {
        int rc = attempt();
        if ((rc & 0xFF) != SQLITE_BUSY || !db.busy) return rc;
        int again;
        Py_BEGIN_ALLOW_THREADS
        again = db.busy(db.busy_context, count);
        Py_END_ALLOW_THREADS
        if (!again) return rc;
    }
}

// Runs the body of an entry point: exceptions other than Python's (which attempt handles) must
// not reach the caller either.
template <class F>
int guarded(Db& db, F&& body) noexcept {
    try {
        return body();
    } catch (nb::python_error& e) {
        return db.fail(error_of(e.value().ptr()));
    } catch (const std::bad_alloc&) {
        return db.fail(SQLITE_NOMEM);
    } catch (...) {
        return db.fail(SQLITE_ERROR, "unexpected failure calling Python's sqlite3");
    }
}

// --- reading the core's SQL ---------------------------------------------------------------------

bool word_char(unsigned char c) { return std::isalnum(c) || c == '_' || c == '$' || c >= 0x80; }

// Skips a quoted name or literal, a comment or one other character from i; returns the next index.
std::size_t skip_token(std::string_view sql, std::size_t i) {
    const char c = sql[i];
    if (c == '\'' || c == '"' || c == '`' || c == '[') {
        const char end = c == '[' ? ']' : c;
        for (++i; i < sql.size(); ++i)
            if (sql[i] == end) {
                if (end != ']' && i + 1 < sql.size() && sql[i + 1] == end) {
                    ++i;  // a doubled quote stands for itself
                    continue;
                }
                return i + 1;
            }
        return sql.size();
    }
    if (c == '-' && i + 1 < sql.size() && sql[i + 1] == '-') {
        std::size_t end = sql.find('\n', i);
        return end == std::string_view::npos ? sql.size() : end + 1;
    }
    if (c == '/' && i + 1 < sql.size() && sql[i + 1] == '*') {
        std::size_t end = sql.find("*/", i + 2);
        return end == std::string_view::npos ? sql.size() : end + 2;
    }
    return i + 1;
}

// The statement's first keyword in upper case, or empty for a statement of only space and comments.
std::string first_keyword(std::string_view sql) {
    std::size_t i = 0;
    while (i < sql.size()) {
        const char c = sql[i];
        const char next = i + 1 < sql.size() ? sql[i + 1] : '\0';
        if (std::isspace(static_cast<unsigned char>(c)))
            ++i;
        else if ((c == '-' && next == '-') || (c == '/' && next == '*'))
            i = skip_token(sql, i);
        else
            break;
    }
    std::string word;
    while (i < sql.size() && std::isalpha(static_cast<unsigned char>(sql[i])))
        word.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(sql[i++]))));
    return word;
}

// The number of parameters SQLite gives the statement, which a sequence of values must match:
// ?NNN is number NNN, a bare ? the one after the largest so far, and each name (:a, @a, $a)
// one number for all its uses.
int count_parameters(std::string_view sql) {
    constexpr int kMost = 32766;  // SQLite's own limit on a parameter's number
    int count = 0;
    std::vector<std::string_view> names;
    std::size_t i = 0;
    while (i < sql.size()) {
        unsigned char c = static_cast<unsigned char>(sql[i]);
        if (c == '?') {
            std::size_t j = i + 1;
            long number = 0;
            while (j < sql.size() && std::isdigit(static_cast<unsigned char>(sql[j]))) {
                number = std::min<long>(number * 10 + (sql[j] - '0'), kMost + 1);
                ++j;
            }
            count = j == i + 1 ? count + 1 : std::max(count, static_cast<int>(number));
            i = j;
        } else if ((c == ':' || c == '@' || c == '$') && i + 1 < sql.size() &&
                   word_char(static_cast<unsigned char>(sql[i + 1]))) {
            std::size_t j = i + 1;
            while (j < sql.size() && word_char(static_cast<unsigned char>(sql[j]))) ++j;
            std::string_view name = sql.substr(i, j - i);
            bool seen = false;
            for (std::string_view n : names) seen = seen || n == name;
            if (!seen) {
                names.push_back(name);
                ++count;
            }
            i = j;
        } else if (word_char(c)) {
            while (i < sql.size() && word_char(static_cast<unsigned char>(sql[i]))) ++i;
        } else {
            i = skip_token(sql, i);
        }
    }
    return std::min(count, kMost + 1);
}

// The text SQLite gives a number cell read as text.
std::string number_text(PyObject* o) {
    if (PyLong_CheckExact(o)) return std::to_string(PyLong_AsLongLong(o));
    const double v = PyFloat_AS_DOUBLE(o);
    if (std::isinf(v)) return v < 0 ? "-Inf" : "Inf";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.15g", v);
    std::string s = buf;
    // Written so that it reads back as a real: 2.0, 1.0e+20.
    if (s.find_first_of(".n") == std::string::npos) {
        std::size_t e = s.find('e');
        s.insert(e == std::string::npos ? s.size() : e, ".0");
    }
    return s;
}

// --- statements ----------------------------------------------------------------------------------

struct Stmt {
    Db* db = nullptr;
    nb::object sql;  // str
    // A SELECT names its columns without running (see read_names); any other statement once it
    // has run.
    bool names_ahead = false;
    int parameters = 0;
    std::vector<nb::object> values;  // bound, by number - 1; unset for NULL
    nb::object cursor;               // the run under way
    nb::object fetch;                // its fetchone
    // A run made before the first step, to name the columns: the values it ran with, its result.
    nb::object ran_with;
    Error ran{SQLITE_OK, {}};
    bool stepped = false;    // stepped since the last reset
    bool exhausted = false;  // the last step gave SQLITE_DONE or failed
    int last_rc = SQLITE_OK;
    nb::object row;                 // the current row, a tuple
    std::vector<nb::object> texts;  // text forms of the current row's number cells, by column
    std::vector<std::string> names;
    bool named = false;
};

Stmt* stmt_of(sqlite3_stmt* s) { return reinterpret_cast<Stmt*>(s); }

nb::tuple bound_values(const Stmt& s) {
    nb::object t = nb::steal(PyTuple_New(static_cast<Py_ssize_t>(s.values.size())));
    if (!t.is_valid()) throw nb::python_error();
    for (std::size_t k = 0; k < s.values.size(); ++k) {
        PyObject* v = s.values[k].is_valid() ? s.values[k].ptr() : Py_None;
        Py_INCREF(v);
        PyTuple_SET_ITEM(t.ptr(), static_cast<Py_ssize_t>(k), v);
    }
    return nb::borrow<nb::tuple>(t);
}

bool same_values(nb::handle a, nb::handle b) {
    const Py_ssize_t n = PyTuple_GET_SIZE(a.ptr());
    if (n != PyTuple_GET_SIZE(b.ptr())) return false;
    for (Py_ssize_t k = 0; k < n; ++k) {
        PyObject* x = PyTuple_GET_ITEM(a.ptr(), k);
        PyObject* y = PyTuple_GET_ITEM(b.ptr(), k);
        if (Py_TYPE(x) != Py_TYPE(y)) return false;
        int eq = PyObject_RichCompareBool(x, y, Py_EQ);
        if (eq != 1) {
            PyErr_Clear();
            return false;
        }
    }
    return true;
}

std::vector<std::string> names_of(nb::handle cursor) {
    std::vector<std::string> names;
    nb::object description = cursor.attr("description");
    if (description.is_none()) return names;
    for (nb::handle column : description) names.push_back(utf8(nb::object(column[0]).ptr()));
    return names;
}

void close_cursor(Stmt& s) {
    if (s.cursor.is_valid()) {
        if (!PyObject_CallMethod(s.cursor.ptr(), "close", nullptr)) PyErr_Clear();
    }
    s.cursor = nb::object();
    s.fetch = nb::object();
    s.ran_with = nb::object();
}

void drop_row(Stmt& s) {
    s.row = nb::object();
    s.texts.clear();
}

// Runs the statement afresh with these values, waiting for a locked store; names its columns
// if nothing has yet.
int run(Stmt& s, nb::handle values) {
    close_cursor(s);
    Db& db = *s.db;
    int rc = with_busy(db, [&] {
        return attempt(db, [&] {
            nb::object cursor = db.con.attr("cursor")();
            cursor.attr("execute")(s.sql, values);
            s.cursor = cursor;
        });
    });
    if (rc != SQLITE_OK) return rc;
    s.fetch = s.cursor.attr("fetchone");
    if (!s.named) {
        s.names = names_of(s.cursor);
        s.named = true;
    }
    return SQLITE_OK;
}

// Column names of a SELECT without running it: the module gives names only once a statement has
// run, so run one that returns no row. SQLite renames columns of the same name in a subquery
// (a, a:1): where any name has a colon, the statement itself runs, with values that keep a
// LIMIT ? valid, and its rows are dropped.
int read_names(Stmt& s, std::string_view text) {
    while (!text.empty() && (std::isspace(static_cast<unsigned char>(text.back())) || text.back() == ';'))
        text.remove_suffix(1);
    Db& db = *s.db;
    auto names_from = [&](nb::handle sql, nb::handle values) {
        return with_busy(db, [&] {
            return attempt(db, [&] {
                nb::object cursor = db.con.attr("cursor")();
                cursor.attr("execute")(sql, values);
                s.names = names_of(cursor);
                cursor.attr("close")();
            });
        });
    };
    std::string wrapped = "SELECT * FROM (\n" + std::string(text) + "\n) LIMIT 0";
    nb::object nulls = nb::steal(PySequence_Repeat(nb::make_tuple(nb::none()).ptr(), s.parameters));
    if (!nulls.is_valid()) throw nb::python_error();
    int rc = names_from(nb::str(wrapped.data(), wrapped.size()), nulls);
    if (rc != SQLITE_OK) return rc;
    bool renamed = false;
    for (const std::string& n : s.names) renamed = renamed || n.find(':') != std::string::npos;
    if (renamed) {
        nb::object zeros = nb::steal(PySequence_Repeat(nb::make_tuple(0).ptr(), s.parameters));
        if (!zeros.is_valid()) throw nb::python_error();
        rc = names_from(s.sql, zeros);
        if (rc != SQLITE_OK) return rc;
    }
    s.named = true;
    return SQLITE_OK;
}

// The names of a statement that has not yet run: it runs now, with the values bound so far, and
// its first step takes that run if the values are still the same.
void run_ahead(Stmt& s) {
    nb::tuple values = bound_values(s);
    Error before{s.db->code, s.db->message};
    int rc = run(s, values);
    s.ran = rc == SQLITE_OK ? Error{SQLITE_OK, {}} : Error{s.db->code, s.db->message};
    s.ran_with = values;
    s.db->fail(before);  // asking for names leaves the connection's error alone
}

void need_names(Stmt& s) {
    if (!s.named && !s.names_ahead && !s.stepped && !s.ran_with.is_valid()) run_ahead(s);
}

PyObject* cell(Stmt& s, int i) {
    if (!s.row.is_valid() || i < 0 || i >= PyTuple_GET_SIZE(s.row.ptr())) return nullptr;
    return PyTuple_GET_ITEM(s.row.ptr(), i);
}

int type_of(PyObject* o) {
    if (!o || o == Py_None) return SQLITE_NULL;
    if (PyLong_CheckExact(o)) return SQLITE_INTEGER;
    if (PyFloat_CheckExact(o)) return SQLITE_FLOAT;
    if (Py_TYPE(o) == reinterpret_cast<PyTypeObject*>(text_type)) return SQLITE_TEXT;
    if (PyBytes_Check(o)) return SQLITE_BLOB;
    return SQLITE_NULL;
}

// The cell's bytes as text (numbers written out, kept with the row), or null for NULL.
PyObject* text_bytes(Stmt& s, int i) noexcept {
    PyObject* o = cell(s, i);
    switch (type_of(o)) {
        case SQLITE_TEXT:
        case SQLITE_BLOB: return o;
        case SQLITE_INTEGER:
        case SQLITE_FLOAT: {
            try {
                if (s.texts.size() <= static_cast<std::size_t>(i)) s.texts.resize(static_cast<std::size_t>(i) + 1);
                nb::object& t = s.texts[static_cast<std::size_t>(i)];
                if (!t.is_valid()) {
                    std::string text = number_text(o);
                    t = nb::steal(PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
                    if (!t.is_valid()) PyErr_Clear();
                }
                return t.is_valid() ? t.ptr() : nullptr;
            } catch (...) {
                return nullptr;  // out of memory: read as NULL
            }
        }
        default: return nullptr;
    }
}

int bind_value(sqlite3_stmt* stmt, int i, PyObject* (*make)(const void*), const void* arg) noexcept {
    if (!stmt) return SQLITE_MISUSE;
    Stmt& s = *stmt_of(stmt);
    Gil gil;
    return guarded(*s.db, [&] {
        // SQLite binds only a statement that is reset.
        if (s.stepped) return s.db->fail(SQLITE_MISUSE);
        if (i < 1 || i > s.parameters) return s.db->fail(SQLITE_RANGE);
        nb::object v = nb::steal(make(arg));
        if (!v.is_valid()) throw nb::python_error();
        s.values[static_cast<std::size_t>(i - 1)] = std::move(v);
        return SQLITE_OK;
    });
}

struct Bytes {
    const char* data;
    Py_ssize_t size;
};

// SQLite calls a destructor the caller gave once it is done with the value, also on failure.
void let_go(const void* p, void (*destructor)(void*)) {
    if (destructor && destructor != SQLITE_TRANSIENT) destructor(const_cast<void*>(p));
}

struct Progress {
    int (*fn)(void*);
    void* context;
};

PyObject* call_progress(PyObject* self, PyObject*) {
    auto* p = static_cast<Progress*>(PyCapsule_GetPointer(self, "runlens.progress"));
    if (!p) return nullptr;
    return PyBool_FromLong(p->fn(p->context) != 0);
}

PyMethodDef progress_method = {"progress", call_progress, METH_NOARGS, nullptr};

void free_progress(PyObject* capsule) {
    delete static_cast<Progress*>(PyCapsule_GetPointer(capsule, "runlens.progress"));
}

// The path a file: URI names, for the OS's reason when SQLite could not open it.
std::string path_of_uri(std::string_view uri) {
    if (uri.substr(0, 5) != "file:") return std::string(uri);
    uri.remove_prefix(5);
    if (uri.substr(0, 2) == "//") {
        std::size_t slash = uri.find('/', 2);
        uri.remove_prefix(slash == std::string_view::npos ? uri.size() : slash);
    }
    uri = uri.substr(0, std::min(uri.find('?'), uri.find('#')));
    std::string path;
    for (std::size_t i = 0; i < uri.size(); ++i) {
        if (uri[i] == '%' && i + 2 < uri.size() && std::isxdigit(static_cast<unsigned char>(uri[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(uri[i + 2]))) {
            path.push_back(static_cast<char>(std::stoi(std::string(uri.substr(i + 1, 2)), nullptr, 16)));
            i += 2;
        } else {
            path.push_back(uri[i]);
        }
    }
    return path;
}

// Why the OS would not let this process read the file, found without opening it (a descriptor
// of ours, closed, would drop the locks of every connection of the process); 0 if it would.
int os_reason(const std::string& path) {
    if (faccessat(AT_FDCWD, path.c_str(), R_OK, AT_EACCESS) != 0) return errno;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return errno;
    return 0;
}

// Only read-only opens through a URI that says mode=ro: Python's sqlite3 opens for writing and
// creating unless the URI says otherwise, and takes no flags.
bool read_only_uri(std::string_view uri) {
    std::size_t q = uri.find('?');
    if (q == std::string_view::npos) return false;
    std::string_view query = uri.substr(q + 1, uri.find('#', q) - q - 1);
    int modes = 0;
    bool ro = false;
    while (!query.empty()) {
        std::size_t amp = query.find('&');
        std::string_view param = query.substr(0, amp);
        if (param.substr(0, 5) == "mode=") {
            ++modes;
            ro = param == "mode=ro";
        }
        query.remove_prefix(amp == std::string_view::npos ? query.size() : amp + 1);
    }
    return modes == 1 && ro;
}

}  // namespace

// --- the table's functions, by their names in it --------------------------------------------------

namespace py_sqlite {

int libversion_number() noexcept { return version_number; }

const char* libversion() noexcept { return version_text.c_str(); }

const char* errstr(int rc) noexcept { return error_text(rc); }

int open_v2(const char* filename, sqlite3** out, int flags, const char* vfs) noexcept {
    if (!out) return SQLITE_MISUSE;
    *out = nullptr;
    Db* db = new (std::nothrow) Db;
    if (!db) return SQLITE_NOMEM;
    *out = reinterpret_cast<sqlite3*>(db);
    if (!filename) return db->fail(SQLITE_MISUSE);
    const bool read_only = (flags & SQLITE_OPEN_READONLY) && !(flags & (SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE));
    if (!read_only || !(flags & SQLITE_OPEN_URI) || vfs || !read_only_uri(filename))
        return db->fail(SQLITE_MISUSE, "only a read-only URI with mode=ro opens through Python's sqlite3");
    Gil gil;
    return guarded(*db, [&] {
        int rc = attempt(*db, [&] {
            nb::object con = nb::handle(connect_fn)(
                nb::str(filename), nb::arg("timeout") = 0.0, nb::arg("isolation_level") = nb::none(),
                nb::arg("check_same_thread") = false, nb::arg("cached_statements") = 16, nb::arg("uri") = true);
            con.attr("text_factory") = nb::handle(text_type);
            db->con = std::move(con);
        });
        if (rc == SQLITE_OK)
            db->ok();
        else if ((rc & 0xFF) == SQLITE_CANTOPEN)
            db->os_errno = os_reason(path_of_uri(filename));
        return rc;
    });
}

int close_v2(sqlite3* handle) noexcept {
    if (!handle) return SQLITE_OK;
    Db* db = db_of(handle);
    Gil gil;
    if (db->con.is_valid()) {
        if (!PyObject_CallMethod(db->con.ptr(), "close", nullptr)) PyErr_Clear();
        db->con = nb::object();
    }
    db->closed = true;
    if (db->statements == 0) delete db;
    return SQLITE_OK;
}

int prepare_v2(sqlite3* handle, const char* sql, int bytes, sqlite3_stmt** out, const char** tail) noexcept {
    if (out) *out = nullptr;
    if (!handle || !sql || !out) return SQLITE_MISUSE;
    Db& db = *db_of(handle);
    const std::size_t n = bytes < 0 ? std::strlen(sql) : strnlen(sql, static_cast<std::size_t>(bytes));
    // One statement per text: the module refuses more, so the rest of the text is taken too.
    if (tail) *tail = sql + n;
    Gil gil;
    return guarded(db, [&] {
        if (!db.con.is_valid()) return db.fail(SQLITE_MISUSE);
        std::string_view text(sql, n);
        std::string keyword = first_keyword(text);
        if (keyword.empty()) {
            db.ok();
            return SQLITE_OK;  // nothing to run: no statement, as SQLite does
        }
        auto s = std::make_unique<Stmt>();
        s->db = &db;
        s->sql = nb::str(sql, n);
        s->parameters = count_parameters(text);
        s->values.resize(static_cast<std::size_t>(s->parameters));
        s->names_ahead = keyword == "SELECT" || keyword == "VALUES" || keyword == "WITH";
        if (s->names_ahead) {
            int rc = read_names(*s, text);
            // A WITH that leads a statement other than a query cannot be a subquery.
            if (rc != SQLITE_OK && keyword == "WITH" && (rc & 0xFF) == SQLITE_ERROR) {
                s->names_ahead = false;
                rc = SQLITE_OK;
            }
            if (rc != SQLITE_OK) return rc;
        }
        ++db.statements;
        *out = reinterpret_cast<sqlite3_stmt*>(s.release());
        db.ok();
        return SQLITE_OK;
    });
}

int finalize(sqlite3_stmt* stmt) noexcept {
    if (!stmt) return SQLITE_OK;
    Stmt* s = stmt_of(stmt);
    Db* db = s->db;
    Gil gil;
    const int rc = s->last_rc == SQLITE_ROW || s->last_rc == SQLITE_DONE ? SQLITE_OK : s->last_rc;
    close_cursor(*s);
    delete s;
    if (--db->statements == 0 && db->closed) delete db;
    return rc;
}

int reset(sqlite3_stmt* stmt) noexcept {
    if (!stmt) return SQLITE_OK;
    Stmt& s = *stmt_of(stmt);
    Gil gil;
    const int rc = s.last_rc == SQLITE_ROW || s.last_rc == SQLITE_DONE ? SQLITE_OK : s.last_rc;
    drop_row(s);
    // A run made ahead for the names is kept for the first step; any other is over.
    if (s.stepped || !s.ran_with.is_valid()) close_cursor(s);
    s.stepped = false;
    s.exhausted = false;
    s.last_rc = SQLITE_OK;
    return rc;
}

int clear_bindings(sqlite3_stmt* stmt) noexcept {
    if (!stmt) return SQLITE_OK;
    Stmt& s = *stmt_of(stmt);
    Gil gil;
    for (nb::object& v : s.values) v = nb::object();
    return SQLITE_OK;
}

int bind_int64(sqlite3_stmt* stmt, int i, sqlite3_int64 value) noexcept {
    return bind_value(stmt, i, [](const void* p) { return PyLong_FromLongLong(*static_cast<const sqlite3_int64*>(p)); },
                      &value);
}

int bind_double(sqlite3_stmt* stmt, int i, double value) noexcept {
    return bind_value(stmt, i, [](const void* p) { return PyFloat_FromDouble(*static_cast<const double*>(p)); },
                      &value);
}

int bind_null(sqlite3_stmt* stmt, int i) noexcept {
    return bind_value(stmt, i, [](const void*) { return Py_NewRef(Py_None); }, nullptr);
}

// Text goes to Python as str, which its sqlite3 binds as UTF-8; text that is not UTF-8 cannot
// be bound this way at all.
int bind_text(sqlite3_stmt* stmt, int i, const char* text, int n, void (*destructor)(void*)) noexcept {
    Bytes b{text, text ? (n < 0 ? static_cast<Py_ssize_t>(std::strlen(text)) : n) : 0};
    int rc;
    if (stmt && text && !kamo::utf8::valid(std::string_view(text, static_cast<std::size_t>(b.size)))) {
        Gil gil;
        rc = stmt_of(stmt)->db->fail(SQLITE_MISMATCH, "text to bind is not UTF-8");
    } else {
        rc = bind_value(stmt, i, [](const void* p) {
            auto* b = static_cast<const Bytes*>(p);
            if (!b->data) return Py_NewRef(Py_None);
            return PyUnicode_DecodeUTF8(b->data, b->size, "strict");
        }, &b);
    }
    let_go(text, destructor);
    return rc;
}

int bind_blob(sqlite3_stmt* stmt, int i, const void* data, int n, void (*destructor)(void*)) noexcept {
    if (n < 0) {
        let_go(data, destructor);
        return SQLITE_MISUSE;
    }
    Bytes b{static_cast<const char*>(data), n};
    int rc = bind_value(stmt, i, [](const void* p) {
        auto* b = static_cast<const Bytes*>(p);
        if (!b->data) return Py_NewRef(Py_None);
        return PyBytes_FromStringAndSize(b->data, b->size);
    }, &b);
    let_go(data, destructor);
    return rc;
}

int step(sqlite3_stmt* stmt) noexcept {
    if (!stmt) return SQLITE_MISUSE;
    Stmt& s = *stmt_of(stmt);
    Db& db = *s.db;
    Gil gil;
    s.last_rc = guarded(db, [&] {
        if (!db.con.is_valid()) return db.fail(SQLITE_MISUSE);
        drop_row(s);
        if (s.exhausted) {  // a statement stepped past its end runs again, as SQLite's does
            close_cursor(s);
            s.stepped = false;
            s.exhausted = false;
        }
        if (!s.stepped) {
            s.stepped = true;
            nb::tuple values = bound_values(s);
            int rc;
            if (s.ran_with.is_valid() && same_values(s.ran_with, values)) {
                s.ran_with = nb::object();
                rc = s.ran.code == SQLITE_OK ? SQLITE_OK : db.fail(s.ran);
            } else {
                rc = run(s, values);
            }
            if (rc != SQLITE_OK) {
                close_cursor(s);
                s.exhausted = true;
                return rc;
            }
        }
        if (!s.fetch.is_valid()) {
            s.exhausted = true;
            return db.fail(SQLITE_MISUSE);
        }
        int rc = attempt(db, [&] { s.row = s.fetch(); });
        if (rc != SQLITE_OK) {
            s.row = nb::object();
            close_cursor(s);
            s.exhausted = true;
            return rc;
        }
        if (s.row.is_none()) {
            s.row = nb::object();
            s.exhausted = true;
            db.ok();
            return SQLITE_DONE;
        }
        db.ok();
        return SQLITE_ROW;
    });
    return s.last_rc;
}

int column_count(sqlite3_stmt* stmt) noexcept {
    if (!stmt) return 0;
    Stmt& s = *stmt_of(stmt);
    Gil gil;
    guarded(*s.db, [&] {
        need_names(s);
        return SQLITE_OK;
    });
    return static_cast<int>(s.names.size());
}

const char* column_name(sqlite3_stmt* stmt, int i) noexcept {
    if (!stmt) return nullptr;
    Stmt& s = *stmt_of(stmt);
    Gil gil;
    guarded(*s.db, [&] {
        need_names(s);
        return SQLITE_OK;
    });
    if (i < 0 || static_cast<std::size_t>(i) >= s.names.size()) return nullptr;
    return s.names[static_cast<std::size_t>(i)].c_str();
}

int column_type(sqlite3_stmt* stmt, int i) noexcept {
    if (!stmt) return SQLITE_NULL;
    Gil gil;
    return type_of(cell(*stmt_of(stmt), i));
}

sqlite3_int64 column_int64(sqlite3_stmt* stmt, int i) noexcept {
    if (!stmt) return 0;
    Stmt& s = *stmt_of(stmt);
    Gil gil;
    PyObject* o = cell(s, i);
    switch (type_of(o)) {
        case SQLITE_INTEGER: return PyLong_AsLongLong(o);
        case SQLITE_FLOAT: {
            const double v = PyFloat_AS_DOUBLE(o);
            if (std::isnan(v)) return 0;
            if (v <= -9.2233720368547758e18) return std::numeric_limits<sqlite3_int64>::min();
            if (v >= 9.2233720368547758e18) return std::numeric_limits<sqlite3_int64>::max();
            return static_cast<sqlite3_int64>(v);
        }
        case SQLITE_TEXT:
        case SQLITE_BLOB: return std::strtoll(PyBytes_AS_STRING(o), nullptr, 10);  // bytes end in NUL
        default: return 0;
    }
}

double column_double(sqlite3_stmt* stmt, int i) noexcept {
    if (!stmt) return 0.0;
    Stmt& s = *stmt_of(stmt);
    Gil gil;
    PyObject* o = cell(s, i);
    switch (type_of(o)) {
        case SQLITE_INTEGER: return static_cast<double>(PyLong_AsLongLong(o));
        case SQLITE_FLOAT: return PyFloat_AS_DOUBLE(o);
        case SQLITE_TEXT:
        case SQLITE_BLOB: return std::strtod(PyBytes_AS_STRING(o), nullptr);
        default: return 0.0;
    }
}

// Pointers into bytes the row keeps: valid until the next step, reset or finalize, and ending in
// the NUL every bytes object carries.
const unsigned char* column_text(sqlite3_stmt* stmt, int i) noexcept {
    if (!stmt) return nullptr;
    Gil gil;
    PyObject* b = text_bytes(*stmt_of(stmt), i);
    return b ? reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(b)) : nullptr;
}

const void* column_blob(sqlite3_stmt* stmt, int i) noexcept {
    if (!stmt) return nullptr;
    Gil gil;
    PyObject* b = text_bytes(*stmt_of(stmt), i);
    // SQLite gives a zero-length BLOB as a null pointer.
    return b && PyBytes_GET_SIZE(b) > 0 ? PyBytes_AS_STRING(b) : nullptr;
}

int column_bytes(sqlite3_stmt* stmt, int i) noexcept {
    if (!stmt) return 0;
    Gil gil;
    PyObject* b = text_bytes(*stmt_of(stmt), i);
    return b ? static_cast<int>(PyBytes_GET_SIZE(b)) : 0;
}

const char* errmsg(sqlite3* handle) noexcept { return handle ? db_of(handle)->message.c_str() : error_text(SQLITE_NOMEM); }

int extended_errcode(sqlite3* handle) noexcept { return handle ? db_of(handle)->code : SQLITE_NOMEM; }

int extended_result_codes(sqlite3*, int) noexcept { return SQLITE_OK; }  // the module reports extended codes

int system_errno(sqlite3* handle) noexcept { return handle ? db_of(handle)->os_errno : 0; }

// SQLite's own file object is out of reach through the module.
int file_control(sqlite3*, const char*, int, void*) noexcept { return SQLITE_NOTFOUND; }

void progress_handler(sqlite3* handle, int steps, int (*fn)(void*), void* context) noexcept {
    if (!handle) return;
    Db& db = *db_of(handle);
    Gil gil;
    guarded(db, [&] {
        if (!db.con.is_valid()) return SQLITE_MISUSE;
        if (steps < 1 || !fn) {
            db.con.attr("set_progress_handler")(nb::none(), 0);
            return SQLITE_OK;
        }
        auto* p = new Progress{fn, context};
        nb::object capsule = nb::steal(PyCapsule_New(p, "runlens.progress", free_progress));
        if (!capsule.is_valid()) {
            delete p;
            throw nb::python_error();
        }
        nb::object callable = nb::steal(PyCFunction_New(&progress_method, capsule.ptr()));
        if (!callable.is_valid()) throw nb::python_error();
        db.con.attr("set_progress_handler")(callable, steps);
        return SQLITE_OK;
    });
}

int busy_handler(sqlite3* handle, int (*fn)(void*, int), void* context) noexcept {
    if (!handle) return SQLITE_MISUSE;
    Db& db = *db_of(handle);
    db.busy = fn;
    db.busy_context = fn ? context : nullptr;
    return SQLITE_OK;
}

// One statement, its rows handed to the callback as text. An error message cannot be handed
// back in memory from SQLite's allocator, which is out of reach: *error stays null.
int exec(sqlite3* handle, const char* sql, sqlite3_callback callback, void* context, char** error) noexcept {
    if (error) *error = nullptr;
    if (!handle || !sql) return SQLITE_MISUSE;
    Db& db = *db_of(handle);
    Gil gil;
    return guarded(db, [&] {
        if (!db.con.is_valid()) return db.fail(SQLITE_MISUSE);
        Stmt s;
        s.db = &db;
        s.sql = nb::str(sql);
        int rc = run(s, nb::make_tuple());
        std::vector<char*> values, names;
        for (std::string& n : s.names) names.push_back(n.data());
        while (rc == SQLITE_OK) {
            rc = attempt(db, [&] { s.row = s.fetch(); });
            if (rc != SQLITE_OK || s.row.is_none()) break;
            if (!callback) continue;
            s.texts.clear();
            values.clear();
            for (int k = 0; k < static_cast<int>(names.size()); ++k) {
                PyObject* b = text_bytes(s, k);
                values.push_back(b ? PyBytes_AS_STRING(b) : nullptr);
            }
            if (callback(context, static_cast<int>(names.size()), values.data(), names.data()) != 0)
                rc = db.fail(SQLITE_ABORT);
        }
        drop_row(s);
        close_cursor(s);
        if (rc == SQLITE_OK) db.ok();
        return rc;
    });
}

// The limit as the module's SQLite has it, read and set through a private in-memory connection;
// negative when that fails.
sqlite3_int64 soft_heap_limit64(sqlite3_int64 n) noexcept {
    Gil gil;
    try {
        nb::object con = nb::handle(connect_fn)(":memory:");
        auto limit = [&](const std::string& sql) {
            return nb::cast<sqlite3_int64>(con.attr("execute")(sql).attr("fetchone")()[0]);
        };
        sqlite3_int64 before = -1;
        try {
            before = limit("PRAGMA soft_heap_limit");
            if (n >= 0) limit("PRAGMA soft_heap_limit=" + std::to_string(n));
        } catch (...) {
            con.attr("close")();
            throw;
        }
        con.attr("close")();
        return before;
    } catch (nb::python_error&) {
        return -1;
    } catch (...) {
        return -1;
    }
}

}  // namespace py_sqlite

const runlens::sqlite::Routines* python_sqlite_routines() {
    static const sq::Routines table = [] {
        sq::Routines r{};
#define KAMO_SQLITE_PYTHON(name) r.name = &py_sqlite::name;
        KAMO_SQLITE_FUNCTIONS(KAMO_SQLITE_PYTHON)
#undef KAMO_SQLITE_PYTHON
        return r;
    }();
    // Bound once, with the GIL that every caller of this function holds.
    if (!connect_fn) {
        nb::module_ sqlite3 = nb::module_::import_("sqlite3");
        nb::object info = sqlite3.attr("sqlite_version_info");
        version_number = nb::cast<int>(info[0]) * 1'000'000 + nb::cast<int>(info[1]) * 1'000 + nb::cast<int>(info[2]);
        version_text = nb::cast<std::string>(sqlite3.attr("sqlite_version"));
        nb::dict body;
        body["__module__"] = "publish.runlens";
        body["__doc__"] = "TEXT cells as their stored bytes.";
        nb::object text = nb::handle(reinterpret_cast<PyObject*>(&PyType_Type))(
            "_Text", nb::make_tuple(nb::handle(reinterpret_cast<PyObject*>(&PyBytes_Type))), body);
        nb::object misuse = nb::make_tuple(sqlite3.attr("ProgrammingError"), sqlite3.attr("InterfaceError"));
        sqlite_error = nb::object(sqlite3.attr("Error")).release().ptr();
        misuse_errors = misuse.release().ptr();
        text_type = text.release().ptr();
        connect_fn = nb::object(sqlite3.attr("connect")).release().ptr();
    }
    return &table;
}

}  // namespace runlens_py
