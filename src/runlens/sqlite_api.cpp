// The table of SQLite functions the reader calls through, and its checks.
#include "runlens/sqlite_api.hpp"

#include <atomic>

namespace runlens::sqlite {

namespace {
std::atomic<const Routines*> current{nullptr};
}

std::string unusable(const Routines& r) {
    if (!r.libversion_number) return "sqlite3_libversion_number is missing";
    const int version = r.libversion_number();
    if (version < kOldestVersion) {
        const std::string found = r.libversion ? r.libversion() : std::to_string(version);
        return "SQLite " + found + " is older than " + kOldestVersionText;
    }
#define KAMO_SQLITE_REQUIRE(name) \
    if (!r.name) return "sqlite3_" #name " is missing";
    KAMO_SQLITE_FUNCTIONS(KAMO_SQLITE_REQUIRE)
#undef KAMO_SQLITE_REQUIRE
    return {};
}

void install(const Routines* routines) { current.store(routines, std::memory_order_release); }

const Routines* installed() { return current.load(std::memory_order_acquire); }

}  // namespace runlens::sqlite
