// The scoped read-only connection to the history store and its layout test.
#include "runlens/store.hpp"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <optional>
#include <set>

#include "value/utf8.hpp"

namespace runlens {

namespace {

// Polls of the interrupt, at most this often; Ctrl-C is seen within about this time.
constexpr std::int64_t kPollEveryNs = 5'000'000;
// SQLite virtual-machine steps between two looks at the clock.
constexpr int kProgressSteps = 1000;
// How long a locked store is waited for in total, and the slices the wait sleeps in.
constexpr std::int64_t kBusyTimeoutNs = 1'000'000'000;
constexpr std::int64_t kBusySliceNs = 5'000'000;

std::int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
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
    if (errno == ELOOP) throw SymlinkLoop(abs);
    if (errno != ENOENT && errno != ENOTDIR) throw OsFailure{errno, abs};
    // Resolve the longest existing parent and append the rest unchanged.
    std::size_t cut = abs.rfind('/');
    std::string parent = cut == 0 ? "/" : abs.substr(0, cut);
    std::string rest = abs.substr(cut + 1);
    std::string head = parent == abs ? parent : resolve(parent);
    return head == "/" ? "/" + rest : head + "/" + rest;
}

// Anything but a regular file is refused: SQLite opens without O_NONBLOCK, so a FIFO or a device
// could block the reader forever, and a directory is no store.
void refuse_irregular(const struct stat& st, const std::string& path) {
    if (!S_ISREG(st.st_mode)) throw OsFailure{S_ISDIR(st.st_mode) ? EISDIR : EINVAL, path};
}

void check_store_file(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) throw OsFailure{errno, path};
    refuse_irregular(st, path);
}

// A side file is present; errors that mean "no such file" count as absent, others fail.
bool side_file(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) return true;
    if (errno == ENOENT || errno == ENOTDIR || errno == EBADF || errno == ELOOP) return false;
    throw OsFailure{errno, path};
}

// SQLite opens a leftover journal and reads it: absent is fine, anything but a regular file is
// refused like the store itself.
void check_journal(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR || errno == ELOOP) return;
        throw OsFailure{errno, path};
    }
    refuse_irregular(st, path);
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

}  // namespace

Statement::Statement(Connection& conn, std::string_view sql) : conn_(conn), sq_(conn.sqlite()) {
    int rc = sq_.prepare_v2(conn.handle(), sql.data(), static_cast<int>(sql.size()), &stmt_, nullptr);
    if (rc != SQLITE_OK) conn.fail(rc);
    read_names();
}

// A SQLite reached through Python's sqlite3 module names a pragma's columns only once it has
// run, so an unnamed statement is asked again when it starts.
void Statement::read_names() {
    auto names = std::make_shared<std::vector<std::string>>();
    int n = sq_.column_count(stmt_);
    for (int i = 0; i < n; ++i) {
        const char* name = sq_.column_name(stmt_, i);
        names->emplace_back(name ? name : "");
    }
    names_ = std::move(names);
}

Statement::~Statement() { sq_.finalize(stmt_); }

int Statement::column(std::string_view name, int from) const {
    for (int i = from; i < columns(); ++i)
        if ((*names_)[static_cast<std::size_t>(i)] == name) return i;
    return -1;
}

void Statement::start(const CellView* params, std::size_t count) {
    sq_.reset(stmt_);
    sq_.clear_bindings(stmt_);
    for (std::size_t k = 0; k < count; ++k) {
        const CellView& p = params[k];
        const int at = static_cast<int>(k) + 1;
        int rc = SQLITE_OK;
        switch (p.type) {
            case CellType::Integer: rc = sq_.bind_int64(stmt_, at, p.integer); break;
            case CellType::Real: rc = sq_.bind_double(stmt_, at, p.real); break;
            case CellType::Text:
                rc = sq_.bind_text(stmt_, at, p.bytes.data(), static_cast<int>(p.bytes.size()), SQLITE_TRANSIENT);
                break;
            case CellType::Blob:
                rc = sq_.bind_blob(stmt_, at, p.bytes.data(), static_cast<int>(p.bytes.size()), SQLITE_TRANSIENT);
                break;
            default: rc = sq_.bind_null(stmt_, at); break;
        }
        if (rc != SQLITE_OK) conn_.fail(rc);
    }
    if (names_->empty()) read_names();
}

bool Statement::step() {
    int rc = sq_.step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    conn_.fail(rc);
}

CellView Statement::cell(int i) const {
    CellView c;
    switch (sq_.column_type(stmt_, i)) {
        case SQLITE_INTEGER:
            c.type = CellType::Integer;
            c.integer = sq_.column_int64(stmt_, i);
            break;
        case SQLITE_FLOAT:
            c.type = CellType::Real;
            c.real = sq_.column_double(stmt_, i);
            break;
        case SQLITE_TEXT: {
            c.type = CellType::Text;
            auto* p = reinterpret_cast<const char*>(sq_.column_text(stmt_, i));
            c.bytes = std::string_view(p ? p : "", static_cast<std::size_t>(sq_.column_bytes(stmt_, i)));
            break;
        }
        case SQLITE_BLOB: {
            c.type = CellType::Blob;
            auto* p = static_cast<const char*>(sq_.column_blob(stmt_, i));
            c.bytes = std::string_view(p ? p : "", static_cast<std::size_t>(sq_.column_bytes(stmt_, i)));
            break;
        }
        default: c.type = CellType::Null;
    }
    return c;
}

const std::vector<CellView>& Statement::row(int from) {
    cells_.clear();
    for (int i = from; i < columns(); ++i) {
        CellView c = cell(i);
        if (c.type == CellType::Text && !kamo::utf8::valid(c.bytes))
            throw SqliteFailure{SQLITE_ERROR,
                                "Could not decode to UTF-8 column '" + (*names_)[static_cast<std::size_t>(i)] + "'"};
        cells_.push_back(c);
    }
    return cells_;
}

Row Statement::copy() {
    Row r;
    r.names = names_;
    const std::vector<CellView>& cells = row();
    r.cells.reserve(cells.size());
    for (const CellView& c : cells) r.cells.emplace_back(c);
    return r;
}

std::vector<Row> Statement::all(const CellView* params, std::size_t count) {
    start(params, count);
    std::vector<Row> rows;
    while (step()) rows.push_back(copy());
    sq_.reset(stmt_);
    return rows;
}

namespace {
const sqlite::Routines& installed_sqlite() {
    const sqlite::Routines* r = sqlite::installed();
    if (!r) throw std::logic_error("no SQLite installed for the history reader");
    return *r;
}
}  // namespace

Connection::Connection(const std::string& path, Interrupt interrupt)
    : sq_(installed_sqlite()), interrupt_(interrupt), last_poll_ns_(now_ns()) {
    check_no_nul(path);
    std::string resolved = resolve(path);
    check_store_file(resolved);
    open(resolved);
    try {
        // Refusals by header and side files come before any statement touches the store.
        // Without a file object of SQLite's (a SQLite reached only through Python's sqlite3
        // module) the header is left to SQLite: no descriptor of ours may touch the store.
        if (std::optional<std::string> h = header(resolved, 100)) {
            static constexpr std::string_view magic("SQLite format 3\0", 16);
            if (std::string_view(*h).substr(0, 16) == magic && !(h->size() >= 20 && (*h)[18] == 1 && (*h)[19] == 1))
                throw io_error();
        }
        if (side_file(resolved + "-wal") || side_file(resolved + "-shm")) throw io_error();
        check_journal(resolved + "-journal");

        sq_.extended_result_codes(db_, 1);
        sq_.busy_handler(db_, &Connection::on_busy, this);
        interrupt_with(interrupt_);
        // Sorts and other temporary structures stay in memory: past SQLite's in-memory limit they
        // would otherwise spill into a file of the temporary folder, and a read writes nothing.
        for (const char* sql :
             {"PRAGMA locking_mode=EXCLUSIVE", "PRAGMA query_only=ON", "PRAGMA temp_store=MEMORY", "BEGIN"}) {
            int rc = sq_.exec(db_, sql, nullptr, nullptr, nullptr);
            if (rc != SQLITE_OK) fail(rc);
        }
        Statement mode(*this, "PRAGMA journal_mode");
        auto rows = mode.all();
        if (!rows.empty() && !rows[0].cells.empty() && rows[0].cells[0].is_text() && rows[0].cells[0].bytes == "wal")
            throw io_error();
    } catch (...) {
        sq_.close_v2(db_);
        db_ = nullptr;
        throw;
    }
}

// Opening runs no statement and takes no lock; it gives SQLite its own descriptor of the file,
// whose close SQLite defers while any connection of this process holds a lock on the file.
void Connection::open(const std::string& resolved) {
    // The flags repeat mode=ro so that no path, however odd, can open for writing or create.
    // One thread at a time uses a connection (each query owns its own, and a Python-held scope
    // is used by one caller at a time), so SQLite's per-call mutex is pure cost.
    int rc = sq_.open_v2(uri_of(resolved).c_str(), &db_,
                             SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc == SQLITE_OK) return;
    int code = db_ ? sq_.extended_errcode(db_) : rc;
    std::string message = db_ ? sq_.errmsg(db_) : sq_.errstr(rc);
    int number = db_ ? sq_.system_errno(db_) : 0;
    sq_.close_v2(db_);
    db_ = nullptr;
    // A file the OS would not open (permission denied) fails with the OS's own reason.
    if ((code & 0xFF) == SQLITE_CANTOPEN && number != 0) throw OsFailure{number, resolved};
    throw SqliteFailure{code, std::move(message)};
}

// The first bytes of the store, at most n, read through SQLite's own handle of the file; nullopt
// where SQLite is reached through a layer that gives no file object.
std::optional<std::string> Connection::header(const std::string& resolved, std::size_t n) {
    sqlite3_file* file = nullptr;
    int rc = sq_.file_control(db_, "main", SQLITE_FCNTL_FILE_POINTER, &file);
    if (rc == SQLITE_NOTFOUND && !file) return std::nullopt;
    if (rc == SQLITE_OK && (!file || !file->pMethods)) rc = SQLITE_CANTOPEN;
    if (rc != SQLITE_OK) throw SqliteFailure{rc, sq_.errstr(rc)};
    sqlite3_int64 size = 0;
    rc = file->pMethods->xFileSize(file, &size);
    if (rc != SQLITE_OK) throw SqliteFailure{rc, sq_.errstr(rc)};
    std::string out(static_cast<std::size_t>(std::clamp<sqlite3_int64>(size, 0, static_cast<sqlite3_int64>(n))), '\0');
    if (out.empty()) return out;
    errno = 0;
    rc = file->pMethods->xRead(file, out.data(), static_cast<int>(out.size()), 0);
    if (rc == SQLITE_IOERR_SHORT_READ) {
        // The file shrank meanwhile; the missing tail reads as zeros, so cut it off.
        if (file->pMethods->xFileSize(file, &size) == SQLITE_OK && size >= 0 &&
            static_cast<std::size_t>(size) < out.size())
            out.resize(static_cast<std::size_t>(size));
    } else if (rc != SQLITE_OK) {
        if (errno != 0) throw OsFailure{errno, resolved};
        throw SqliteFailure{rc, sq_.errstr(rc)};
    }
    return out;
}

// Closing ends the read transaction; nothing is committed or rolled back.
Connection::~Connection() {
    if (db_) sq_.close_v2(db_);
}

void Connection::fail(int rc) {
    if (stopped_) throw Interrupted();
    throw SqliteFailure{db_ ? sq_.extended_errcode(db_) : rc, db_ ? sq_.errmsg(db_) : sq_.errstr(rc)};
}

void Connection::interrupt_with(Interrupt interrupt) {
    interrupt_ = interrupt;
    stopped_ = false;
    last_poll_ns_ = now_ns();
    if (interrupt_.poll)
        sq_.progress_handler(db_, kProgressSteps, &Connection::on_progress, this);
    else
        sq_.progress_handler(db_, 0, nullptr, nullptr);
}

bool Connection::poll(bool now_please) noexcept {
    if (stopped_) return true;
    std::int64_t now = now_ns();
    if (!now_please && now - last_poll_ns_ < kPollEveryNs) return false;
    last_poll_ns_ = now;
    stopped_ = interrupt_.poll(interrupt_.context);
    return stopped_;
}

// Every kProgressSteps steps of a statement: a nonzero answer makes the step fail with
// SQLITE_INTERRUPT, which fail() turns into Interrupted.
int Connection::on_progress(void* self) noexcept { return static_cast<Connection*>(self)->poll() ? 1 : 0; }

// A locked store is waited for, in short sleeps, for kBusyTimeoutNs in all; the interrupt is
// polled between the sleeps. Zero gives up (SQLITE_BUSY).
int Connection::on_busy(void* self, int count) noexcept {
    auto* c = static_cast<Connection*>(self);
    std::int64_t now = now_ns();
    if (count == 0) c->busy_since_ns_ = now;
    std::int64_t left = kBusyTimeoutNs - (now - c->busy_since_ns_);
    if (left <= 0) return 0;
    std::int64_t slice = std::min(left, kBusySliceNs);
    struct timespec ts = {static_cast<time_t>(slice / 1'000'000'000), static_cast<long>(slice % 1'000'000'000)};
    // A signal ends the sleep early; then the interrupt is asked at once, not at its next turn.
    bool woken = nanosleep(&ts, nullptr) != 0;
    if (c->interrupt_.poll && c->poll(woken)) return 0;
    return 1;
}

bool exists(const std::string& path) {
    check_no_nul(path);
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) return true;
    if (errno == ENOENT) return false;
    throw io_error(runfault::Cause::os(errno, path));
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
