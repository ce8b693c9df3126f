// Finds the SQLite of the interpreter's own sqlite3 module at import and installs it for the core.
//
// That SQLite is not always the system's libsqlite3: interpreters built standalone carry a
// private copy inside _sqlite3. A second copy in the process would not see the locks of the
// first, and its closes would drop them, so the reader uses no SQLite but that one.
#include "runlens/module_sqlite.hpp"

#include <dlfcn.h>

#include <nanobind/stl/string.h>

#include <mutex>
#include <string_view>

namespace runlens_py {

namespace sq = runlens::sqlite;

namespace {

std::string current_way;  // guarded by the GIL

// What the interpreter's SQLite hands this module when it loads it as an extension.
const sq::Routines* handed_over = nullptr;

// Does this table reach the very SQLite that the sqlite3 module calls? The soft heap limit is
// kept once per copy of SQLite and both sides can read and set it: set it through sqlite3, read
// it through the table, and put it back.
bool same_sqlite(const sq::Routines& r) {
    nb::object con = nb::module_::import_("sqlite3").attr("connect")(":memory:");
    auto limit = [&](const std::string& sql) {
        return nb::cast<long long>(con.attr("execute")(sql).attr("fetchone")()[0]);
    };
    bool same = false;
    try {
        const long long before = limit("PRAGMA soft_heap_limit");
        // Lowering always takes; raising may be capped by a hard limit, but not back to zero.
        const long long probe = before == 0 ? (1LL << 40) : before - 1;
        const long long set = limit("PRAGMA soft_heap_limit=" + std::to_string(probe));
        same = set != before && r.soft_heap_limit64(-1) == set;
        limit("PRAGMA soft_heap_limit=" + std::to_string(before));
    } catch (...) {
        con.attr("close")();
        throw;
    }
    con.attr("close")();
    return same;
}

// The file of the extension module sqlite3 imports, or empty where it is built into the
// interpreter.
std::string sqlite3_extension_file() {
    nb::module_::import_("sqlite3");
    nb::object ext = nb::module_::import_("_sqlite3");
    nb::object file = nb::getattr(ext, "__file__", nb::none());
    return file.is_none() ? std::string() : nb::cast<std::string>(file);
}

std::string this_module_file() {
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void*>(&install_host_sqlite), &info) || !info.dli_fname) return {};
    return info.dli_fname;
}

// dlsym through _sqlite3's own handle searches that object and then the libraries it needs, so
// it finds the copy _sqlite3 calls, a private one included, unless its symbols are hidden.
const sq::Routines* by_library(std::string& why) {
    const std::string file = sqlite3_extension_file();
    if (file.empty()) {
        why = "_sqlite3 is built into the interpreter";
        return nullptr;
    }
    void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (!handle) {
        const char* e = dlerror();
        why = e ? e : "dlopen failed";
        return nullptr;
    }
    static sq::Routines found;
    sq::Routines r{};
#define KAMO_SQLITE_FIND(name) \
    r.name = reinterpret_cast<decltype(r.name)>(dlsym(handle, "sqlite3_" #name));
    KAMO_SQLITE_FUNCTIONS(KAMO_SQLITE_FIND)
#undef KAMO_SQLITE_FIND
    dlclose(handle);  // only drops the reference taken above: _sqlite3 stays loaded
    why = sq::unusable(r);
    if (!why.empty()) {
        why = file + ": " + why;
        return nullptr;
    }
    if (!same_sqlite(r)) {
        why = file + ": the functions found are not those of the interpreter's SQLite";
        return nullptr;
    }
    // Filled once: a table already installed is never changed under a reader.
    static std::once_flag once;
    std::call_once(once, [&] { found = r; });
    return &found;
}

// Loads this module's own file as an extension on a private in-memory connection; the entry
// point below keeps the table SQLite hands it. SQLite closes its handle of the file with the
// connection, which leaves the module loaded: the import holds it.
const sq::Routines* by_extension(std::string& why) {
    if (handed_over) return handed_over;
    const std::string self = this_module_file();
    if (self.empty()) {
        why = "the module's own file is unknown";
        return nullptr;
    }
    nb::object con = nb::module_::import_("sqlite3").attr("connect")(":memory:");
    if (!nb::hasattr(con, "enable_load_extension")) {
        con.attr("close")();
        why = "the interpreter's sqlite3 cannot load extensions";
        return nullptr;
    }
    try {
        con.attr("enable_load_extension")(true);
        try {
            // Python 3.12 and newer take the entry point; 3.11 derives it from the file name, up
            // to its first dot: runlens.cpython-... gives sqlite3_runlens_init.
            if (PY_VERSION_HEX >= 0x030C0000)
                con.attr("load_extension")(self, nb::arg("entrypoint") = "sqlite3_runlens_init");
            else
                con.attr("load_extension")(self);
        } catch (nb::python_error& e) {
            why = e.what();
        }
        con.attr("enable_load_extension")(false);
    } catch (...) {
        con.attr("close")();
        throw;
    }
    con.attr("close")();
    if (!handed_over) {
        if (why.empty()) why = "the extension's entry point was not called";
        return nullptr;
    }
    why = sq::unusable(*handed_over);
    if (!why.empty()) {
        handed_over = nullptr;
        return nullptr;
    }
    return handed_over;
}

const sq::Routines* by_way(std::string_view way, std::string& why) {
    if (way == "library") return by_library(why);
    if (way == "extension") return by_extension(why);
    if (way == "python") {
        const sq::Routines* r = python_sqlite_routines();
        why = sq::unusable(*r);
        return why.empty() ? r : nullptr;
    }
    why = "no such way";
    return nullptr;
}

}  // namespace

void install_host_sqlite() {
    std::string reasons;
    for (const char* way : kSqliteWays) {
        std::string why;
        if (const sq::Routines* r = by_way(way, why)) {
            sq::install(r);
            current_way = way;
            return;
        }
        reasons += std::string(reasons.empty() ? "" : "; ") + way + ": " + why;
    }
    throw nb::import_error(("publish.runlens cannot use the interpreter's SQLite (" + reasons + ")").c_str());
}

void use_sqlite_way(const std::string& way) {
    std::string why;
    const sq::Routines* r = by_way(way, why);
    if (!r) throw std::runtime_error("the SQLite way " + way + " cannot serve: " + why);
    sq::install(r);
    current_way = way;
}

std::string sqlite_way() { return current_way; }

}  // namespace runlens_py

// The entry point the interpreter's SQLite calls when it loads this module as an extension: it
// keeps that SQLite's table of functions and leaves the connection as it was.
extern "C" __attribute__((visibility("default"))) int sqlite3_runlens_init(sqlite3*, char**,
                                                                            const sqlite3_api_routines* api) {
    runlens_py::handed_over = api;
    return SQLITE_OK;
}
