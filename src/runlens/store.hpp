// Read-only access to the history store: existence, the scoped connection, the layout test.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "runlens/cell.hpp"
#include "runlens/failures.hpp"
#include "runlens/sqlite_api.hpp"

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
// through the scope unchanged (the binding shows it as RuntimeError naming the path).
class SymlinkLoop : public std::runtime_error {
public:
    explicit SymlinkLoop(std::string path)
        : std::runtime_error("Symlink loop from '" + path + "'"), path(std::move(path)) {}
    std::string path;
};

// How the caller stops a long read (Ctrl-C). poll runs on the reading thread, at most every few
// milliseconds while SQLite or the core works, and answers whether to stop; it must not throw.
struct Interrupt {
    bool (*poll)(void* context) noexcept = nullptr;
    void* context = nullptr;
};

// The read stopped because Interrupt::poll said so; passes through the scope unchanged.
class Interrupted : public std::exception {
public:
    const char* what() const noexcept override { return "read interrupted"; }
};

class Connection;

// A prepared statement, started afresh for each use within one query, and a cursor over its
// rows: column positions are resolved once, and cells are read in place while their row is
// current.
class Statement {
public:
    Statement(Connection& conn, std::string_view sql);
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    // Position of the first column of that name at or after from, or -1.
    int column(std::string_view name, int from = 0) const;
    int columns() const { return static_cast<int>(names_->size()); }

    // Runs the statement afresh with these parameters, bound to ?1, ?2, ... in order.
    void start(const CellView* params = nullptr, std::size_t count = 0);
    void start(const CellView& param) { start(&param, 1); }
    // Steps to the next row; false after the last one.
    bool step();
    // The current row's cells from column `from` on, read in place: valid until the next step.
    // Python's sqlite3 decodes every text cell of a row it returns, so each text cell is checked
    // as UTF-8 here, and the first that is not fails as a storage-engine failure.
    const std::vector<CellView>& row(int from = 0);
    // An owned copy of the current row, checked the same way.
    Row copy();
    // The integer value of a column of the current row.
    std::int64_t integer(int i) const { return sq_.column_int64(stmt_, i); }

    // Every row for the parameters, owned.
    std::vector<Row> all(const CellView* params = nullptr, std::size_t count = 0);
    std::vector<Row> all(const CellView& param) { return all(&param, 1); }

private:
    CellView cell(int i) const;
    void read_names();

    Connection& conn_;
    const sqlite::Routines& sq_;
    sqlite3_stmt* stmt_ = nullptr;
    std::shared_ptr<const std::vector<std::string>> names_;
    std::vector<CellView> cells_;
};

// One read-only connection inside one read transaction; closing ends the transaction.
//
// Nothing here opens, reads or closes the store file itself: SQLite's locks on it are POSIX
// locks, owned by the process, and closing any descriptor of the file drops all of them, those
// of this process's other connections included. So the file type is checked by its status, the
// connection is opened first, and the header is read through SQLite's own file handle.
class Connection {
public:
    // Resolves the path, checks the file type, opens read-only, checks header and side files,
    // then begins the snapshot. The interrupt is polled while opening waits and while reading.
    explicit Connection(const std::string& path, Interrupt interrupt = {});
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    Statement prepare(std::string_view sql) { return Statement(*this, sql); }
    sqlite3* handle() { return db_; }
    // The SQLite this connection was opened through, and is called through to its end.
    const sqlite::Routines& sqlite() const { return sq_; }

    // Replaces the interrupt, for a connection that outlives one caller's call.
    void interrupt_with(Interrupt interrupt);

    // For core loops that run long without stepping SQLite: throws Interrupted when the
    // interrupt, polled at most every few milliseconds, says stop.
    void check() {
        if (interrupt_.poll && poll()) throw Interrupted();
    }

    // A storage-engine failure of this connection; Interrupted when the engine stopped on request.
    [[noreturn]] void fail(int rc);

private:
    static int on_progress(void* self) noexcept;
    static int on_busy(void* self, int count) noexcept;
    // True once the interrupt said stop; asks it at most every few milliseconds unless now_please.
    bool poll(bool now_please = false) noexcept;
    void open(const std::string& resolved);
    std::optional<std::string> header(const std::string& resolved, std::size_t n);

    const sqlite::Routines& sq_;
    sqlite3* db_ = nullptr;
    Interrupt interrupt_;
    bool stopped_ = false;
    std::int64_t last_poll_ns_ = 0;
    std::int64_t busy_since_ns_ = 0;
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
        throw io_error(runfault::Cause::sqlite(f.code, f.message));
    } catch (const OsFailure& f) {
        throw io_error(runfault::Cause::os(f.number, f.path));
    }
}

}  // namespace runlens
