// The SQLite the reader calls: a table of its functions, filled by whoever loads the core.
//
// A process must hold one SQLite only. Two copies keep separate books of the POSIX locks on a
// file, so neither sees the other's locks, and a close in either drops the locks of both. So the
// core links no SQLite: the Python module fills this table from the SQLite the interpreter's own
// sqlite3 module uses, and a standalone program fills it from the library it links.
#pragma once

// The struct of function pointers SQLite hands its loadable extensions, without the macros that
// would turn every sqlite3_* name into a call through a global.
#ifndef SQLITE_CORE
#define SQLITE_CORE 1
#endif
#include <sqlite3ext.h>

#include <string>

namespace runlens::sqlite {

using Routines = sqlite3_api_routines;

// Every function the reader calls, by its name in Routines (the C name without "sqlite3_").
#define KAMO_SQLITE_FUNCTIONS(X)                                                                        \
    X(libversion_number) X(libversion) X(open_v2) X(close_v2) X(prepare_v2) X(finalize) X(reset)        \
    X(clear_bindings) X(bind_blob) X(bind_double) X(bind_int64) X(bind_null) X(bind_text) X(step)       \
    X(column_count) X(column_name) X(column_type) X(column_int64) X(column_double) X(column_text)       \
    X(column_blob) X(column_bytes) X(errmsg) X(errstr) X(extended_errcode) X(extended_result_codes)    \
    X(system_errno) X(file_control) X(progress_handler) X(busy_handler) X(exec) X(soft_heap_limit64)

// The oldest SQLite the reader runs on: PRAGMA table_list came with 3.37.0.
constexpr int kOldestVersion = 3'037'000;
constexpr const char* kOldestVersionText = "3.37.0";

// Why a table cannot serve the reader (a function missing, a SQLite too old), or empty. Asks
// the version first, so that a shorter table of an older SQLite is never read past its end.
std::string unusable(const Routines& routines);

// Makes routines the table every connection opened from now on calls through. It must stay
// valid for the rest of the process; a connection already open keeps the table it began with.
void install(const Routines* routines);

// The table now installed, or null before any.
const Routines* installed();

}  // namespace runlens::sqlite
