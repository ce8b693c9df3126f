// Projection of one stored run: reads its entry and account rows, checks them into typed facts
// with the rules of entries, accounts and decisions, and builds its records from them.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "runfault/history_error.hpp"
#include "runlens/accounts.hpp"
#include "runlens/cell.hpp"
#include "runlens/entries.hpp"
#include "runlens/names.hpp"
#include "runlens/records.hpp"
#include "runlens/run_rows.hpp"
#include "runlens/snapshot.hpp"
#include "runlens/store.hpp"
#include "runlens/view_set.hpp"
#include "value/json.hpp"
#include "value/value.hpp"

namespace runlens {

// Projects the runs of one query; keeps its parsers, tables and statements from run to run.
class Projector {
public:
    Projector(Connection& conn, const Environment& env, bool accounts_present);
    Projector(const Projector&) = delete;
    Projector& operator=(const Projector&) = delete;
    ~Projector();

    // For a list: where a statement per run would scan a whole table, the entries (and the
    // accounts) of all these runs are read in one statement, the first time a run needs them.
    // run_by_run keeps a statement per run. runs must outlive the projector's use of them.
    void list(const std::vector<Row>& runs, bool run_by_run = false);
    // Whether the entries and the accounts are read in one pass (known once a run has read them).
    bool entries_in_one_pass() const { return entries_ && entries_->one_pass(); }
    bool accounts_in_one_pass() const { return accounts_ && accounts_->one_pass(); }

    // Checks the run at listing position k (0 for a run read alone): its row, its entry rows,
    // its account rows and every entry, in the fixed order; the first failure is thrown. With
    // results, each entry's StoredResult is kept there by slot, for projection().
    void check(std::size_t k, const Row& run, std::vector<kamo::Value>* results = nullptr);

    // Records of the run last checked.
    kamo::Value summary() const;
    kamo::Value projection(std::vector<kamo::Value>& results) const;

    const RunFacts& facts() const { return facts_; }

private:
    struct Slot {
        bool filled;
        State state;
        bool retry;
    };
    struct Columns {
        int item_index, platform, state, result, retryable;
    };
    RunRows& entry_rows();
    RunRows& account_rows();
    void read_entries(std::size_t k, std::vector<kamo::Value>* results);
    void read_accounts(std::size_t k);
    void decide();

    Connection& conn_;
    const Environment& env_;
    bool accounts_present_;
    const std::vector<Row>* listed_ = nullptr;
    bool run_by_run_ = true;

    Snapshot snapshot_;
    kamo::json::Parser results_parser_;
    std::unique_ptr<RunRows> entries_, accounts_;
    Columns entry_columns_{};
    int account_columns_[3]{};  // platform, account_file, identity
    AccountMap account_map_;
    std::vector<Slot> slots_;
    std::uint32_t failed_slot_ = 0;  // the first slot, in item order, whose entry failed its checks
    std::optional<runfault::HistoryError> slot_failure_;
    RunFacts facts_;
    mutable ViewSet paths_;  // scratch of projection()
};

}  // namespace runlens
