// Projection of one stored run: its entries, stored results, account identities and resume
// decisions are checked into typed facts; the RunProjection and the RunSummary are built from them.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "runfault/history_error.hpp"
#include "runlens/cell.hpp"
#include "runlens/run_rows.hpp"
#include "runlens/snapshot.hpp"
#include "runlens/store.hpp"
#include "value/json.hpp"
#include "value/value.hpp"

namespace runlens {

enum class State : std::uint8_t { Pending, Running, Success, Failed };
enum class Resume : std::uint8_t { ReuseSuccess, RequiresChecks, BlockedUnknown, BlockedIdentity };
enum class Identity : std::uint8_t { Legacy, Bound, Unbound, NotRecorded, Invalid };

std::string_view name_of(State s);
std::string_view name_of(Resume r);
std::string_view name_of(Identity i);

// An entry's state and retry flag, and its stored result as decoded (absent for pending and
// running entries), all checked.
struct EntryFacts {
    State state = State::Pending;
    bool retry = false;  // retryable is 1
    kamo::json::Node result;
};

// Checks an entry's state, retry flag and stored result in the fixed order and throws the first
// failure. Decoding the result allocates nothing once the parser's buffers have grown; the
// result node lives until the parser parses again. text: how a text cell reads (stored_json.hpp).
EntryFacts check_entry(const CellView& state, const CellView& retryable, const CellView& result,
                       kamo::json::Parser& parser, kamo::json::Input text = kamo::json::Input::ValidText);

// The StoredResult of checked facts: the seven fields, or null for pending and running entries.
kamo::Value stored_result(const EntryFacts& facts);

// Account rows of a run keyed by (platform, account_file) with the equality of stored values.
// Holds copies of the cells, so rows can be read in place and let go.
class AccountMap {
public:
    void clear();
    // False when the pair is already present.
    bool add(const CellView& platform, const CellView& account_file, const CellView& identity);
    // What the identity stored under (platform, path) is: Bound (a well-formed identity),
    // Unbound (null) or Invalid (anything else); nullopt when no row exists. An absent or null
    // path looks up a null account_file; a path that is no string finds nothing.
    std::optional<Identity> find(std::string_view platform, kamo::json::Node path) const;

private:
    struct Stored {
        CellType type;
        std::int64_t integer;
        double real;
        std::size_t offset, size;  // bytes in arena_
    };
    struct Account {
        Stored platform, account_file;
        Identity identity;  // judged once per row, not once per entry that looks it up
        std::size_t hash;
    };
    Stored store(const CellView& c);
    CellView view(const Stored& s) const;
    std::optional<std::size_t> lookup(const CellView& platform, const CellView& account_file, std::size_t hash) const;
    void index(std::size_t n);

    std::vector<Account> rows_;
    std::string arena_;
    std::vector<std::uint32_t> table_;  // open addressing over rows_ once there are many: 0 empty, else n + 1
};

// The identity status of a platform entry; a runnable entry of a version 2 run without a usable
// identity fails.
Identity identity(const CellView& version, const AccountMap& accounts, std::string_view platform,
                  kamo::json::Node path, bool runnable);

// The resume status: the first matching condition decides. Never throws for any state, retry
// flag or identity status.
Resume resume_status(std::string_view state, const CellView& retryable, std::string_view identity);
// The ResumeDecision record of a status.
kamo::Value decision_record(Resume status);

// What one platform entry of a run comes to.
struct PlatformFacts {
    State state;
    Identity identity;
    Resume resume;
};

// The checked facts of one run.
struct RunFacts {
    CellView run_id, version;            // views into the run row
    std::vector<PlatformFacts> platforms;  // one per slot of the snapshot, in item order
    std::array<std::int64_t, 4> states{};  // by State
    std::array<std::int64_t, 4> resume{};  // by Resume
};

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
