// Read-only access to the history store: existence, the scoped connection, the layout test.
#pragma once

#include <sqlite3.h>

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "runlens/cell.hpp"
#include "runlens/rules.hpp"

namespace runlens {

// A storage-engine failure inside the connection scope; the scope turns it into RUN-005.
struct SqliteFailure {
    int code;
    std::string message;
};

// A file-system failure inside the connection scope; the scope turns it into RUN-005.
struct OsFailure {
    int number;
    std::string path;
};

// A symbolic-link loop met while resolving the store path: neither kind above, so it passes
// through the scope unchanged (the binding shows it as RuntimeError).
class SymlinkLoop : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A prepared statement, reset and rebound for each use within one query.
class Statement {
public:
    Statement(sqlite3* db, std::string_view sql);
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    // All rows for the given parameter (none when param is empty).
    std::vector<Row> all(const std::optional<Cell>& param = std::nullopt);

private:
    void bind(const std::optional<Cell>& param);
    bool step();  // true while a row is ready
    Row current();

    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
    std::shared_ptr<const std::vector<std::string>> names_;
};

// One read-only connection inside one read transaction; closing ends the transaction.
class Connection {
public:
    // Resolves the path, checks header and side files, opens read-only, begins the snapshot.
    explicit Connection(const std::string& path);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    Statement prepare(std::string_view sql) { return Statement(db_, sql); }
    sqlite3* handle() { return db_; }

private:
    sqlite3* db_ = nullptr;
};

// Does the store file exist (stat, following links)? Other failures are RUN-005.
bool exists(const std::string& path);

// Required tables and columns present? Returns whether the accounts table exists.
bool schema(Connection& conn);

// Runs body with storage-engine and file-system failures turned into RUN-005 with their cause;
// everything else passes through unchanged.
template <class F>
auto guarded(F&& body) -> decltype(body()) {
    try {
        return body();
    } catch (const SqliteFailure& f) {
        throw io_error({runfault::Cause::Kind::Sqlite, f.code, f.message, {}});
    } catch (const OsFailure& f) {
        throw io_error({runfault::Cause::Kind::OS, f.number, {}, f.path});
    }
}

}  // namespace runlens
