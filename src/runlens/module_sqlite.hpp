// Finding the SQLite that the interpreter's own sqlite3 module uses, and installing it as the
// table the core calls through.
#pragma once

#include <nanobind/nanobind.h>

#include <string>

#include "runlens/sqlite_api.hpp"

namespace runlens_py {

namespace nb = nanobind;

// The ways to reach the interpreter's SQLite, in the order they are tried at import:
//   "library":   the functions of the shared object that _sqlite3 itself is or links, by dlsym;
//   "extension": handed over by the interpreter's SQLite when the module loads as its extension
//                (reaches a copy built into the interpreter or with hidden symbols);
//   "python":    calls through the sqlite3 module itself, where neither of the above works.
inline constexpr const char* kSqliteWays[] = {"library", "extension", "python"};

// Installs the first way that works, or raises ImportError naming why each failed.
void install_host_sqlite();

// Installs the given way, or raises RuntimeError saying why it cannot serve; for tests. Connections
// already open keep the table they began with.
void use_sqlite_way(const std::string& way);

// The way now installed.
std::string sqlite_way();

// The Python-module way: a table whose functions call Python's sqlite3 module, taking the GIL for
// each call. Never null; it serves any interpreter that has sqlite3.
const runlens::sqlite::Routines* python_sqlite_routines();

}  // namespace runlens_py
