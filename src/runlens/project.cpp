// The projector's reading: the entry and account rows of each run, by a statement per run or in
// one pass over a listing, checked into the run's facts in the fixed order.
#include "runlens/project.hpp"

#include <set>
#include <utility>

#include "runlens/decisions.hpp"
#include "runlens/failures.hpp"

namespace runlens {

using kamo::Value;
using kamo::json::Node;

namespace {

// The cell at a resolved position; a column the statement lacks reads as null.
CellView at(const std::vector<CellView>& row, int column) { return column < 0 ? CellView{} : row[static_cast<std::size_t>(column)]; }

}  // namespace

Projector::Projector(Connection& conn, const Environment& env, bool accounts_present)
    : conn_(conn), env_(env), accounts_present_(accounts_present), snapshot_(env, &conn), results_parser_(env.limits) {}

Projector::~Projector() = default;

void Projector::list(const std::vector<Row>& runs, bool run_by_run) {
    listed_ = &runs;
    run_by_run_ = run_by_run;
}

RunRows& Projector::entry_rows() {
    if (!entries_) {
        std::optional<std::string> order;
        if (listed_ && !run_by_run_ && listed_->size() > 1) order = scan_order(conn_, "entries");
        if (order) {
            std::vector<std::pair<std::size_t, CellView>> runs;
            for (std::size_t i = 0; i < listed_->size(); ++i) runs.emplace_back(i, (*listed_)[i].cell("run_id"));
            entries_ = std::make_unique<RunRows>(conn_, "entries", std::move(runs), *order);
        } else {
            entries_ = std::make_unique<RunRows>(conn_, "entries");
        }
        const RunRows& r = *entries_;
        entry_columns_ = {r.column("item_index"), r.column("platform"), r.column("state"), r.column("result"),
                          r.column("retryable")};
    }
    return *entries_;
}

RunRows& Projector::account_rows() {
    if (!accounts_) {
        std::optional<std::string> order;
        std::vector<std::pair<std::size_t, CellView>> runs;
        if (listed_ && !run_by_run_) {
            // Only version 2 runs read their accounts.
            for (std::size_t i = 0; i < listed_->size(); ++i)
                if (equals_int((*listed_)[i].cell("version"), 2)) runs.emplace_back(i, (*listed_)[i].cell("run_id"));
            if (runs.size() > 1) order = scan_order(conn_, "accounts");
        }
        if (order)
            accounts_ = std::make_unique<RunRows>(conn_, "accounts", std::move(runs), *order);
        else
            accounts_ = std::make_unique<RunRows>(conn_, "accounts");
        const RunRows& r = *accounts_;
        account_columns_[0] = r.column("platform");
        account_columns_[1] = r.column("account_file");
        account_columns_[2] = r.column("identity");
    }
    return *accounts_;
}

void Projector::read_entries(std::size_t k, std::vector<Value>* results) {
    RunRows& rows = entry_rows();
    const Columns& col = entry_columns_;
    const std::size_t slot_count = snapshot_.slot_count();
    slots_.assign(slot_count, Slot{false, State::Pending, false});
    if (results) results->assign(slot_count, Value(nullptr));
    failed_slot_ = Snapshot::npos;
    slot_failure_.reset();

    // All rows of the run are read before any is judged, as fetching them all at once would: a
    // row that cannot be read fails the run first. The entry checks then run in the order the
    // rows came; each entry's own checks are made as its row passes, and the first failure in
    // item order is kept for the moment the projection reaches that entry.
    std::optional<runfault::HistoryError> row_failure;
    std::set<std::pair<std::int64_t, std::string>> stray;  // pairs no item enables
    std::size_t filled = 0, n = 0;
    rows.start(k, facts_.run_id);
    while (rows.next()) {
        if (++n % kPollEvery == 0) conn_.check();
        const std::vector<CellView>& row = rows.row();
        if (row_failure) continue;
        CellView index = at(row, col.item_index), platform = at(row, col.platform);
        if (!index.is_integer() || index.integer < 0 || !platform.is_text()) {
            row_failure = invalid("发布记录条目无效");
            continue;
        }
        std::uint32_t slot = snapshot_.slot_of(index.integer, platform.bytes);
        if (slot == Snapshot::npos) {
            if (!stray.emplace(index.integer, std::string(platform.bytes)).second) row_failure = invalid("发布记录条目重复");
            continue;
        }
        if (slots_[slot].filled) {
            row_failure = invalid("发布记录条目重复");
            continue;
        }
        slots_[slot].filled = true;
        ++filled;
        // Past a stray row, or past the first failing entry, no entry's own checks can decide.
        if (!stray.empty() || slot > failed_slot_) continue;
        try {
            EntryFacts facts = check_entry(at(row, col.state), at(row, col.retryable), at(row, col.result), results_parser_);
            slots_[slot].state = facts.state;
            slots_[slot].retry = facts.retry;
            if (results) (*results)[slot] = stored_result(facts);
        } catch (const runfault::HistoryError& e) {
            failed_slot_ = slot;
            slot_failure_ = e;
        }
    }
    if (row_failure) throw *row_failure;
    if (!stray.empty() || filled != slot_count) throw invalid("发布记录与原素材或平台不一致");
}

void Projector::read_accounts(std::size_t k) {
    RunRows& rows = account_rows();
    std::size_t n = 0;
    rows.start(k, facts_.run_id);
    while (rows.next()) {
        if (++n % kPollEvery == 0) conn_.check();
        const std::vector<CellView>& row = rows.row();
        if (!account_map_.add(at(row, account_columns_[0]), at(row, account_columns_[1]), at(row, account_columns_[2])))
            throw invalid("发布记录中的账号身份重复");
    }
}

void Projector::decide() {
    facts_.platforms.resize(snapshot_.slot_count());
    facts_.states.fill(0);
    facts_.resume.fill(0);
    for (std::size_t i = 0; i < snapshot_.item_count(); ++i) {
        Node item = snapshot_.item(i);
        for (std::uint32_t slot = snapshot_.first_slot(i); slot < snapshot_.first_slot(i + 1); ++slot) {
            if (slot % kPollEvery == 0) conn_.check();
            if (slot == failed_slot_) throw *slot_failure_;
            const Slot& e = slots_[slot];
            std::string_view platform = snapshot_.slot_platform(slot);
            // The entry's checks admitted the pair, so it has an answer.
            bool again = runnable(e.state, e.retry).value_or(false);
            Identity who = identity(facts_.version, account_map_, platform, account_path(item, platform), again);
            Resume status = resume_status(e.state, e.retry, who);
            facts_.platforms[slot] = {e.state, who, status};
            ++facts_.states[static_cast<std::size_t>(e.state)];
            ++facts_.resume[static_cast<std::size_t>(status)];
        }
    }
}

void Projector::check(std::size_t k, const Row& run, std::vector<Value>* results) {
    snapshot_.check(run);
    facts_.run_id = run.cell("run_id");
    facts_.version = run.cell("version");
    read_entries(k, results);
    account_map_.clear();
    // Version 1 runs never read the accounts table, even when it exists.
    if (equals_int(facts_.version, 2) && accounts_present_) read_accounts(k);
    decide();
}

Value Projector::summary() const { return run_summary(snapshot_, facts_); }

Value Projector::projection(std::vector<Value>& results) const {
    return run_projection(snapshot_, facts_, results, env_.limits.max_int_digits, conn_, paths_);
}

}  // namespace runlens
