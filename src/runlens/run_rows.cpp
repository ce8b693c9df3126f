// Rows of one run at a time, by a statement per run or in one pass over the listed runs.
#include "runlens/run_rows.hpp"

#include <cctype>

namespace runlens {

namespace {

std::string quoted(std::string_view name) {
    std::string out = "\"";
    for (char c : name) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

bool same_name(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// The text of a named column of a pragma row, or empty.
std::string_view text_of(const Row& r, std::string_view column) {
    const Cell* c = r.get(column);
    return c && c->is_text() ? std::string_view(c->bytes) : std::string_view();
}

std::optional<std::int64_t> integer_of(const Row& r, std::string_view column) {
    const Cell* c = r.get(column);
    if (!c || !c->is_integer()) return std::nullopt;
    return c->integer;
}

// A token of SQL text as SQLite's tokenizer splits it: a word (a keyword or a bare name), a
// quoted name or string with its quotes taken off, or one character of punctuation. Comments
// and white space fall between tokens.
struct Token {
    enum Kind { End, Word, Quoted, Punct } kind = End;
    std::string text;
};

class Tokens {
public:
    explicit Tokens(std::string_view sql) : s_(sql) {}

    Token next() {
        skip_space();
        Token t;
        if (at_ >= s_.size()) return t;
        const char c = s_[at_];
        if (c == '"' || c == '\'' || c == '`' || c == '[') {
            const char close = c == '[' ? ']' : c;
            t.kind = Token::Quoted;
            for (++at_; at_ < s_.size(); ++at_) {
                if (s_[at_] != close) {
                    t.text += s_[at_];
                } else if (close != ']' && at_ + 1 < s_.size() && s_[at_ + 1] == close) {
                    t.text += close;  // a doubled quote stands for itself
                    ++at_;
                } else {
                    ++at_;
                    break;
                }
            }
            return t;
        }
        if (word_char(c)) {
            t.kind = Token::Word;
            while (at_ < s_.size() && word_char(s_[at_])) t.text += s_[at_++];
            return t;
        }
        t.kind = Token::Punct;
        t.text = c;
        ++at_;
        return t;
    }

private:
    static bool word_char(char c) {
        const auto u = static_cast<unsigned char>(c);
        return std::isalnum(u) || c == '_' || c == '$' || u >= 0x80;
    }

    void skip_space() {
        while (at_ < s_.size()) {
            if (std::isspace(static_cast<unsigned char>(s_[at_]))) {
                ++at_;
            } else if (s_.substr(at_, 2) == "--") {
                at_ = s_.find('\n', at_);
                if (at_ == std::string_view::npos) at_ = s_.size();
            } else if (s_.substr(at_, 2) == "/*") {
                at_ = s_.find("*/", at_ + 2);
                at_ = at_ == std::string_view::npos ? s_.size() : at_ + 2;
            } else {
                break;
            }
        }
    }

    std::string_view s_;
    std::size_t at_ = 0;
};

// The collation a column's own definition gives it, from the CREATE TABLE text SQLite builds its
// schema from at every open (no pragma reports it): the last COLLATE clause among the column's
// constraints, else BINARY. Nested parentheses (a type's size, DEFAULT, CHECK, GENERATED) are
// expressions whose COLLATE is not the column's.
std::string column_collation(std::string_view create_table, std::string_view column) {
    Tokens tokens(create_table);
    Token t;
    do t = tokens.next();
    while (t.kind != Token::End && !(t.kind == Token::Punct && t.text == "("));
    std::string collation = "BINARY";
    int depth = 1;
    bool at_start = true, ours = false, after_collate = false;
    for (t = tokens.next(); t.kind != Token::End && depth > 0; t = tokens.next()) {
        if (t.kind == Token::Punct && (t.text == "(" || t.text == ")")) {
            depth += t.text == "(" ? 1 : -1;
            continue;
        }
        if (depth != 1) continue;
        if (t.kind == Token::Punct && t.text == ",") {
            at_start = true;
            ours = false;
            continue;
        }
        if (at_start) {
            // A column definition starts with its name; a table constraint with a keyword.
            at_start = false;
            bool constraint = false;
            if (t.kind == Token::Word)
                for (std::string_view k : {"CONSTRAINT", "PRIMARY", "UNIQUE", "CHECK", "FOREIGN"})
                    constraint = constraint || same_name(t.text, k);
            ours = !constraint && same_name(t.text, column);
            continue;
        }
        if (!ours) continue;
        if (after_collate) {
            if (t.kind != Token::Punct) collation = t.text;
            after_collate = false;
        } else {
            after_collate = t.kind == Token::Word && same_name(t.text, "COLLATE");
        }
    }
    return collation;
}

// Whether the WHERE clause of a partial index's CREATE INDEX text holds a NOT NULL test (x NOTNULL,
// x NOT NULL, x IS NOT NULL). The planner takes a partial index for an equality only where the
// equality implies the index's condition, and a comparison implies nothing but that its operand
// is not null; any other condition leaves the index out.
bool tests_not_null(std::string_view create_index) {
    Tokens tokens(create_index);
    int depth = 0;
    bool where = false, after_not = false;
    for (Token t = tokens.next(); t.kind != Token::End; t = tokens.next()) {
        const bool word = t.kind == Token::Word;
        if (t.kind == Token::Punct && (t.text == "(" || t.text == ")")) depth += t.text == "(" ? 1 : -1;
        if (!where) {
            where = depth == 0 && word && same_name(t.text, "WHERE");
            continue;
        }
        if (word && (same_name(t.text, "NOTNULL") || (after_not && same_name(t.text, "NULL")))) return true;
        after_not = word && same_name(t.text, "NOT");
    }
    return false;
}

std::string schema_sql(Connection& conn, std::string_view type, std::string_view name) {
    const CellView params[] = {CellView::text(type), CellView::text(name)};
    auto rows = conn.prepare("SELECT sql FROM sqlite_schema WHERE type=? AND name=?").all(params, 2);
    return rows.empty() ? std::string() : std::string(text_of(rows[0], "sql"));
}

std::string per_run_sql(std::string_view table) { return "SELECT * FROM " + std::string(table) + " WHERE run_id=?"; }

// Whether SQLite answers the statement per run by a key rather than by a scan of the table. The
// planner looks an equality up through the row id when run_id is the row id, or through an index
// whose first key column is run_id with the collation the comparison uses: the column's own (an
// index under another collation orders other values as equal). An expression index cannot serve
// it (its first key column is no column), nor a partial index whose condition the equality does
// not imply.
bool answered_by_key(Connection& conn, const std::string& table, bool without_rowid) {
    std::optional<std::int64_t> run_id, run_id_pk;
    for (const Row& c : conn.prepare("PRAGMA table_xinfo(" + table + ")").all())
        if (same_name(text_of(c, "name"), "run_id")) {
            run_id = integer_of(c, "cid");
            run_id_pk = integer_of(c, "pk");
        }
    if (!run_id) return true;  // nothing to decide on: keep the statement per run

    std::vector<Row> indexes = conn.prepare("PRAGMA index_list(" + table + ")").all();
    bool key_index = false;
    for (const Row& r : indexes) key_index = key_index || text_of(r, "origin") == "pk";
    // A rowid table whose primary key has no index of its own keeps it as the row id: an
    // INTEGER PRIMARY KEY column.
    if (!without_rowid && run_id_pk.value_or(0) != 0 && !key_index) return true;
    if (indexes.empty()) return false;

    // With statistics gathered by ANALYZE the planner weighs its indexes by them (and may skip
    // through an index led by another column): only the statement per run is sure to read alike.
    for (const Row& r : conn.prepare("PRAGMA table_list").all())
        if (text_of(r, "schema") == "main" && text_of(r, "name").substr(0, 11) == "sqlite_stat") return true;

    std::optional<std::string> own;  // the column's collation, read once an index could need it
    for (const Row& r : indexes) {
        const std::string_view name = text_of(r, "name");
        bool led = false;
        for (const Row& k : conn.prepare("PRAGMA index_xinfo(" + quoted(name) + ")").all()) {
            if (integer_of(k, "seqno") != 0) continue;
            if (integer_of(k, "cid") == run_id) {
                if (!own) own = column_collation(schema_sql(conn, "table", table), "run_id");
                led = same_name(text_of(k, "coll"), *own);
            }
            break;
        }
        if (led && (integer_of(r, "partial") == 0 || tests_not_null(schema_sql(conn, "index", name)))) return true;
    }
    return false;
}

}  // namespace

std::optional<std::string> scan_order(Connection& conn, std::string_view table) {
    const std::string t(table);
    std::optional<bool> without_rowid;
    for (const Row& r : conn.prepare("PRAGMA table_list(" + t + ")").all())
        if (text_of(r, "schema") == "main" && text_of(r, "type") == "table") {
            if (auto wr = integer_of(r, "wr")) without_rowid = *wr != 0;
        }
    // Not a plain table of the store (a view, a virtual table): keep the statement per run.
    if (!without_rowid) return std::nullopt;
    if (answered_by_key(conn, t, *without_rowid)) return std::nullopt;

    if (!*without_rowid) {
        // A table scan goes by row id; take a name for it that no column shadows.
        std::vector<Row> columns = conn.prepare("PRAGMA table_xinfo(" + t + ")").all();
        for (std::string_view name : {"rowid", "_rowid_", "oid"}) {
            bool shadowed = false;
            for (const Row& c : columns) shadowed = shadowed || same_name(text_of(c, "name"), name);
            if (!shadowed) return "e." + std::string(name);
        }
        return std::nullopt;
    }

    // A WITHOUT ROWID table is scanned in the order of its key, with the key's collations and
    // directions.
    std::string key_index;
    for (const Row& r : conn.prepare("PRAGMA index_list(" + t + ")").all())
        if (text_of(r, "origin") == "pk") key_index = std::string(text_of(r, "name"));
    if (key_index.empty()) return std::nullopt;
    std::string order;
    for (const Row& r : conn.prepare("PRAGMA index_xinfo(" + quoted(key_index) + ")").all()) {
        if (integer_of(r, "key") != 1) continue;
        std::string_view name = text_of(r, "name");
        std::string_view collation = text_of(r, "coll");
        if (name.empty() || collation.empty()) return std::nullopt;
        if (!order.empty()) order += ", ";
        order += "e." + quoted(name) + " COLLATE " + quoted(collation);
        if (integer_of(r, "desc") == 1) order += " DESC";
    }
    if (order.empty()) return std::nullopt;
    return order;
}

RunRows::RunRows(Connection& conn, std::string_view table)
    : st_(conn, per_run_sql(table)), one_pass_(false), offset_(0) {}

namespace {

std::string one_pass_sql(std::string_view table, const std::vector<std::pair<std::size_t, CellView>>& runs,
                         const std::string& order) {
    // The listed runs as a table of (position, run_id); the ids are bound, so they compare as the
    // bound id of the statement per run does: e.run_id on the left gives the comparison its
    // column's collation, and a bound value has no affinity of its own.
    std::string sql = "WITH r(n, id) AS (VALUES ";
    for (std::size_t k = 0; k < runs.size(); ++k) {
        if (k) sql += ", ";
        sql += '(';
        sql += std::to_string(runs[k].first);
        // Plain ?s, bound in order: numbered ones are named parameters to Python's sqlite3, which
        // the python way must bind by position.
        sql += ", ?)";
    }
    // CROSS JOIN keeps the table the outer loop: one scan of it, each row looked up among the
    // listed runs, rather than an index over the whole table built first.
    sql += ") SELECT r.n, e.* FROM " + std::string(table) + " AS e CROSS JOIN r WHERE e.run_id = r.id ORDER BY r.n, ";
    return sql + order;
}

}  // namespace

RunRows::RunRows(Connection& conn, std::string_view table, std::vector<std::pair<std::size_t, CellView>> runs,
                 const std::string& order)
    : st_(conn, one_pass_sql(table, runs, order)), one_pass_(true), offset_(1) {
    ids_.reserve(runs.size());
    for (const auto& [k, id] : runs) ids_.push_back(id);
}

void RunRows::start(std::size_t k, const CellView& id) {
    k_ = static_cast<std::int64_t>(k);
    pending_ = true;
    first_ = true;
    if (!one_pass_) {
        st_.start(id);
        return;
    }
    // The statement runs when the first run asks for its rows, after that run's own checks.
    if (!executed_) {
        st_.start(ids_.data(), ids_.size());
        executed_ = true;
        has_row_ = st_.step();
    }
    while (has_row_ && group() < k_) has_row_ = st_.step();
}

bool RunRows::next() {
    if (!pending_) return false;
    if (!one_pass_) {
        pending_ = st_.step();
        return pending_;
    }
    if (!first_) has_row_ = st_.step();
    first_ = false;
    pending_ = has_row_ && group() == k_;
    return pending_;
}

}  // namespace runlens
