// The scoped read-only connection to the history store and its layout test.
#include "runlens/store.hpp"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <set>

#include "value/json.hpp"

namespace runlens {

namespace {

[[noreturn]] void sqlite_fail(sqlite3* db, int rc) {
    throw SqliteFailure{db ? sqlite3_extended_errcode(db) : rc, db ? sqlite3_errmsg(db) : sqlite3_errstr(rc)};
}

// The OS reads a path up to its first NUL, which would name another, shorter path: refuse it
// the way Python's own file functions do (ValueError).
void check_no_nul(const std::string& path) {
    if (path.find('\0') != std::string::npos) throw std::invalid_argument("embedded null byte");
}

// Absolute path with symbolic links resolved; a missing tail is kept as written, the way
// pathlib's non-strict resolve keeps it.
std::string resolve(const std::string& path) {
    std::string abs = path;
    if (abs.empty() || abs[0] != '/') {
        char cwd[PATH_MAX];
        if (!getcwd(cwd, sizeof cwd)) throw OsFailure{errno, "."};
        abs = std::string(cwd) + (abs.empty() ? "" : "/" + abs);
    }
    char buf[PATH_MAX];
    if (realpath(abs.c_str(), buf)) return buf;
    if (errno == ELOOP) throw SymlinkLoop("Symlink loop from '" + abs + "'");
    if (errno != ENOENT && errno != ENOTDIR) throw OsFailure{errno, abs};
    // Resolve the longest existing parent and append the rest unchanged.
    std::size_t cut = abs.rfind('/');
    std::string parent = cut == 0 ? "/" : abs.substr(0, cut);
    std::string rest = abs.substr(cut + 1);
    std::string head = parent == abs ? parent : resolve(parent);
    return head == "/" ? "/" + rest : head + "/" + rest;
}

// The first bytes of the file, at most n. Anything but a regular file is refused: a FIFO or a
// device could block the reader forever.
std::string read_header(const std::string& path, std::size_t n) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) throw OsFailure{errno, path};
    struct stat st;
    if (fstat(fd, &st) != 0) {
        int e = errno;
        ::close(fd);
        throw OsFailure{e, path};
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        throw OsFailure{S_ISDIR(st.st_mode) ? EISDIR : EINVAL, path};
    }
    std::string out(n, '\0');
    std::size_t got = 0;
    while (got < n) {
        ssize_t r = ::read(fd, out.data() + got, n - got);
        if (r < 0) {
            if (errno == EINTR) continue;
            int e = errno;
            ::close(fd);
            throw OsFailure{e, path};
        }
        if (r == 0) break;
        got += static_cast<std::size_t>(r);
    }
    ::close(fd);
    out.resize(got);
    return out;
}

// A side file is present; errors that mean "no such file" count as absent, others fail.
bool side_file(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) return true;
    if (errno == ENOENT || errno == ENOTDIR || errno == EBADF || errno == ELOOP) return false;
    throw OsFailure{errno, path};
}

// SQLite opens a leftover journal without O_NONBLOCK and reads it: a FIFO there would block the
// reader forever. Absent is fine; anything but a regular file is refused like the store itself.
void check_journal(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR || errno == ELOOP) return;
        throw OsFailure{errno, path};
    }
    if (!S_ISREG(st.st_mode)) throw OsFailure{S_ISDIR(st.st_mode) ? EISDIR : EINVAL, path};
}

std::string uri_of(const std::string& path) {
    static const char* hex = "0123456789ABCDEF";
    std::string uri = "file://";
    for (unsigned char c : path) {
        bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                     c == '-' || c == '.' || c == '_' || c == '~' || c == '/';
        if (plain) {
            uri.push_back(static_cast<char>(c));
        } else {
            uri.push_back('%');
            uri.push_back(hex[c >> 4]);
            uri.push_back(hex[c & 15]);
        }
    }
    return uri + "?mode=ro";
}

void exec(sqlite3* db, const char* sql) {
    int rc = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) sqlite_fail(db, rc);
}

}  // namespace

Statement::Statement(sqlite3* db, std::string_view sql) : db_(db) {
    int rc = sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &stmt_, nullptr);
    if (rc != SQLITE_OK) sqlite_fail(db, rc);
    auto names = std::make_shared<std::vector<std::string>>();
    int n = sqlite3_column_count(stmt_);
    for (int i = 0; i < n; ++i) {
        const char* name = sqlite3_column_name(stmt_, i);
        names->emplace_back(name ? name : "");
    }
    names_ = std::move(names);
}

Statement::~Statement() { sqlite3_finalize(stmt_); }

void Statement::bind(const std::optional<Cell>& param) {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
    if (!param) return;
    int rc = SQLITE_OK;
    switch (param->type) {
        case Cell::Type::Integer: rc = sqlite3_bind_int64(stmt_, 1, param->integer); break;
        case Cell::Type::Real: rc = sqlite3_bind_double(stmt_, 1, param->real); break;
        case Cell::Type::Text:
            rc = sqlite3_bind_text(stmt_, 1, param->bytes.data(), static_cast<int>(param->bytes.size()),
                                   SQLITE_TRANSIENT);
            break;
        case Cell::Type::Blob:
            rc = sqlite3_bind_blob(stmt_, 1, param->bytes.data(), static_cast<int>(param->bytes.size()),
                                   SQLITE_TRANSIENT);
            break;
        default: rc = sqlite3_bind_null(stmt_, 1); break;
    }
    if (rc != SQLITE_OK) sqlite_fail(db_, rc);
}

bool Statement::step() {
    int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    sqlite_fail(db_, rc);
}

Row Statement::current() {
    Row row;
    row.names = names_;
    int n = static_cast<int>(names_->size());
    row.cells.resize(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
        Cell& c = row.cells[static_cast<std::size_t>(i)];
        switch (sqlite3_column_type(stmt_, i)) {
            case SQLITE_INTEGER:
                c.type = Cell::Type::Integer;
                c.integer = sqlite3_column_int64(stmt_, i);
                break;
            case SQLITE_FLOAT:
                c.type = Cell::Type::Real;
                c.real = sqlite3_column_double(stmt_, i);
                break;
            case SQLITE_TEXT: {
                c.type = Cell::Type::Text;
                auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, i));
                c.bytes.assign(p ? p : "", static_cast<std::size_t>(sqlite3_column_bytes(stmt_, i)));
                if (!kamo::json::valid_utf8(c.bytes))
                    throw SqliteFailure{SQLITE_ERROR, "Could not decode to UTF-8 column '" + (*names_)[i] + "'"};
                break;
            }
            case SQLITE_BLOB: {
                c.type = Cell::Type::Blob;
                auto* p = static_cast<const char*>(sqlite3_column_blob(stmt_, i));
                c.bytes.assign(p ? p : "", static_cast<std::size_t>(sqlite3_column_bytes(stmt_, i)));
                break;
            }
            default: c.type = Cell::Type::Null;
        }
    }
    return row;
}

std::vector<Row> Statement::all(const std::optional<Cell>& param) {
    bind(param);
    std::vector<Row> rows;
    while (step()) rows.push_back(current());
    sqlite3_reset(stmt_);
    return rows;
}

Connection::Connection(const std::string& path) {
    check_no_nul(path);
    std::string resolved = resolve(path);
    std::string header = read_header(resolved, 100);
    static constexpr std::string_view magic("SQLite format 3\0", 16);
    if (std::string_view(header).substr(0, 16) == magic &&
        !(header.size() >= 20 && header[18] == 1 && header[19] == 1))
        throw io_error();
    if (side_file(resolved + "-wal") || side_file(resolved + "-shm")) throw io_error();
    check_journal(resolved + "-journal");

    // The flags repeat mode=ro so that no path, however odd, can open for writing or create.
    // One thread at a time uses a connection (each query owns its own, and a Python-held scope
    // is used only under the GIL), so SQLite's per-call mutex is pure cost.
    int rc = sqlite3_open_v2(uri_of(resolved).c_str(), &db_,
                             SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        SqliteFailure f{db_ ? sqlite3_extended_errcode(db_) : rc, db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc)};
        sqlite3_close(db_);
        db_ = nullptr;
        throw f;
    }
    try {
        sqlite3_extended_result_codes(db_, 1);
        sqlite3_busy_timeout(db_, 1000);
        exec(db_, "PRAGMA locking_mode=EXCLUSIVE");
        exec(db_, "PRAGMA query_only=ON");
        exec(db_, "BEGIN");
        Statement mode(db_, "PRAGMA journal_mode");
        auto rows = mode.all();
        if (!rows.empty() && !rows[0].cells.empty() && rows[0].cells[0].is_text() &&
            rows[0].cells[0].bytes == "wal")
            throw io_error();
    } catch (...) {
        sqlite3_close_v2(db_);
        db_ = nullptr;
        throw;
    }
}

// Closing ends the read transaction; nothing is committed or rolled back.
Connection::~Connection() {
    if (db_) sqlite3_close_v2(db_);
}

bool exists(const std::string& path) {
    check_no_nul(path);
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) return true;
    if (errno == ENOENT) return false;
    throw io_error({runfault::Cause::Kind::OS, errno, {}, path});
}

bool schema(Connection& conn) {
    std::set<std::string> tables;
    for (const Row& r : conn.prepare("SELECT name FROM sqlite_master WHERE type='table'").all()) {
        const Cell* name = r.get("name");
        if (name && name->is_text()) tables.insert(name->bytes);
    }
    bool accounts = tables.count("accounts") > 0;
    struct Expected {
        const char* table;
        std::vector<const char*> columns;
    };
    std::vector<Expected> expected = {
        {"runs", {"run_id", "version", "snapshot", "fingerprints"}},
        {"entries", {"run_id", "item_index", "platform", "state", "result", "retryable"}},
    };
    if (accounts) expected.push_back({"accounts", {"run_id", "platform", "account_file", "identity"}});
    for (const auto& e : expected) {
        bool ok = tables.count(e.table) > 0;
        if (ok) {
            std::set<std::string> columns;
            for (const Row& r : conn.prepare(std::string("PRAGMA table_info(") + e.table + ")").all()) {
                const Cell* name = r.get("name");
                if (name && name->is_text()) columns.insert(name->bytes);
            }
            for (const char* c : e.columns) ok = ok && columns.count(c) > 0;
        }
        if (!ok) throw invalid("发布记录结构不受支持或已损坏");
    }
    return accounts;
}

}  // namespace runlens
