// The SQLite a standalone program links, for the core's table of SQLite functions.
#pragma once

#include "runlens/sqlite_api.hpp"

namespace kamo_fuzz {

const runlens::sqlite::Routines* linked_sqlite();

}  // namespace kamo_fuzz
