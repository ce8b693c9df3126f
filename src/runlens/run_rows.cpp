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

std::string per_run_sql(std::string_view table) { return "SELECT * FROM " + std::string(table) + " WHERE run_id=?"; }

}  // namespace

std::optional<std::string> scan_order(Connection& conn, std::string_view table) {
    const std::string t(table);
    // What the planner does with the statement per run; anything but a plain scan of the table
    // (an index, a key, a virtual table) keeps that statement.
    std::vector<Row> plan = conn.prepare("EXPLAIN QUERY PLAN " + per_run_sql(table)).all();
    if (plan.size() != 1) return std::nullopt;
    std::string_view detail = text_of(plan[0], "detail");
    if (detail != "SCAN " + t && detail != "SCAN TABLE " + t) return std::nullopt;

    std::optional<bool> without_rowid;
    for (const Row& r : conn.prepare("PRAGMA table_list(" + t + ")").all())
        if (text_of(r, "schema") == "main") {
            if (auto wr = integer_of(r, "wr")) without_rowid = *wr != 0;
        }
    if (!without_rowid) return std::nullopt;  // a SQLite too old to say

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
        sql += ", ?";
        sql += std::to_string(k + 1);
        sql += ')';
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
