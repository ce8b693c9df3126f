// The SQLite a standalone program links, as the table the core calls through.
#include "linked_sqlite.hpp"

namespace kamo_fuzz {

const runlens::sqlite::Routines* linked_sqlite() {
    static const runlens::sqlite::Routines routines = [] {
        runlens::sqlite::Routines r{};
#define KAMO_SQLITE_LINK(name) r.name = &sqlite3_##name;
        KAMO_SQLITE_FUNCTIONS(KAMO_SQLITE_LINK)
#undef KAMO_SQLITE_LINK
        return r;
    }();
    return &routines;
}

}  // namespace kamo_fuzz
