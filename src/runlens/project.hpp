// Projection of one stored run: entries, stored results, account identities, resume decisions.
#pragma once

#include <string_view>
#include <unordered_map>

#include "runlens/cell.hpp"
#include "runlens/snapshot.hpp"
#include "runlens/store.hpp"
#include "value/value.hpp"

namespace runlens {

// Account rows of a run keyed by (platform, account_file) with SQLite's value equality
// (an integer and an equal real are the same key, text and blob never are).
class AccountMap {
public:
    // False when the pair is already present.
    bool add(const Cell& platform, const Cell& account_file, const Cell& identity);
    // The identity cell stored under (platform, path or null), or nullptr when no row exists.
    const Cell* find(std::string_view platform, const kamo::Value& path) const;

private:
    struct Key {
        Cell platform, account_file;
    };
    struct Hash {
        std::size_t operator()(const Key& k) const;
    };
    struct Eq {
        bool operator()(const Key& a, const Key& b) const;
    };
    std::unordered_map<Key, Cell, Hash, Eq> rows_;
};

// The StoredResult of an entry row, or null for pending and running entries.
kamo::Value stored_result(const Row& entry, const kamo::json::Limits& limits);

struct Identity {
    kamo::Value account_file;  // the path string, or null
    kamo::StaticText status;
};
Identity identity(const kamo::Value& item, std::string_view platform, const Cell& version,
                  const AccountMap& accounts, bool runnable);

// Never throws for any state, retry flag or identity status.
kamo::Value decision(std::string_view state, const kamo::Value& retryable, std::string_view identity);

// Statements prepared once per query and reused for every run it projects.
struct RunStatements {
    explicit RunStatements(Connection& conn)
        : entries(conn.prepare("SELECT * FROM entries WHERE run_id=?")), conn_(conn) {}
    Statement entries;
    Statement& accounts();  // prepared on first use: stores without the table never need it
    void check() { conn_.check(); }  // lets a long projection stop on request

private:
    Connection& conn_;
    std::optional<Statement> accounts_;
};

// Full: the RunProjection. Summary: every check runs the same, but items keep only their title,
// for a list that shows counts and the first title.
enum class Detail { Full, Summary };
kamo::Value project(RunStatements& statements, const Row& row, bool accounts_present, const Environment& env,
                    Detail detail = Detail::Full);

}  // namespace runlens
