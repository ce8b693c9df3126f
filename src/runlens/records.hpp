// The records of a checked run: the RunSummary of a listing and the full RunProjection.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "runlens/cell.hpp"
#include "runlens/names.hpp"
#include "runlens/snapshot.hpp"
#include "runlens/store.hpp"
#include "runlens/view_set.hpp"
#include "value/value.hpp"

namespace runlens {

// Rows or entries between two looks at the interrupt.
inline constexpr std::size_t kPollEvery = 64;

// What one platform entry of a run comes to.
struct PlatformFacts {
    State state;
    Identity identity;
    Resume resume;
};

// The checked facts of one run.
struct RunFacts {
    CellView run_id, version;                            // views into the run row
    std::vector<PlatformFacts> platforms;                // one per slot of the snapshot, in item order
    std::array<std::int64_t, kStateKeys.size()> states{};  // by State
    std::array<std::int64_t, kResumeKeys.size()> resume{};  // by Resume
};

kamo::Value run_summary(const Snapshot& snapshot, const RunFacts& facts);

// results: each entry's StoredResult by slot, moved into the record. conn is polled for a stop;
// paths is scratch.
kamo::Value run_projection(const Snapshot& snapshot, const RunFacts& facts, std::vector<kamo::Value>& results,
                           std::size_t max_int_digits, Connection& conn, ViewSet& paths);

}  // namespace runlens
