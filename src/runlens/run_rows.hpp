// The rows of entries or accounts that belong to one run at a time: a statement per run, or all
// listed runs in one pass where a statement per run would scan the whole table.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "runlens/cell.hpp"
#include "runlens/store.hpp"

namespace runlens {

// The ORDER BY terms (over the table alias e) that give the order in which "SELECT * FROM table
// WHERE run_id=?" returns rows, when SQLite's planner would answer that statement by scanning the
// whole table: the row id, or a WITHOUT ROWID table's key. nullopt when the statement would use
// the row id or an index, when the table is no plain table, or when that order cannot be written.
// Decided from the schema (pragmas, and the CREATE text of the table and of partial indexes),
// never from the planner's own report, whose wording SQLite may change.
std::optional<std::string> scan_order(Connection& conn, std::string_view table);

class RunRows {
public:
    // One statement per run: "SELECT * FROM table WHERE run_id=?".
    RunRows(Connection& conn, std::string_view table);
    // One statement for the runs given as (listing position, run_id), in listing order. SQLite's
    // own = decides which rows belong to which run, as in the statement per run, with the
    // table's declared types and collations; the rows of each run come in scan_order.
    RunRows(Connection& conn, std::string_view table, std::vector<std::pair<std::size_t, CellView>> runs,
            const std::string& order);
    RunRows(const RunRows&) = delete;
    RunRows& operator=(const RunRows&) = delete;

    bool one_pass() const { return one_pass_; }

    // Moves to the rows of the run at listing position k, whose run_id is id. Positions only grow.
    void start(std::size_t k, const CellView& id);
    // Steps to the run's next row; false after its last.
    bool next();
    // The current row's cells, in the table's column order, read in place and checked as UTF-8;
    // valid until the next step.
    const std::vector<CellView>& row() { return st_.row(offset_); }
    // Position of a column in row(), or -1.
    int column(std::string_view name) const {
        int at = st_.column(name, offset_);
        return at < 0 ? -1 : at - offset_;
    }

private:
    std::int64_t group() const { return st_.integer(0); }

    Statement st_;
    bool one_pass_;
    int offset_;  // columns before the table's own: the listing position in one pass
    std::vector<CellView> ids_;
    bool executed_ = false;  // one pass: the statement has run
    bool has_row_ = false;   // one pass: the statement is on a row
    bool first_ = false;     // the next step is the run's first
    bool pending_ = false;   // the run may have more rows
    std::int64_t k_ = 0;
};

}  // namespace runlens
