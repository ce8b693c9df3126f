// The reader's two queries: the newest runs, and one run in full.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "runlens/environment.hpp"
#include "runlens/store.hpp"
#include "value/value.hpp"

namespace runlens {

// Argument checks, run before the store is touched. They return the checked value.
std::int64_t checked_limit(const kamo::Value& limit);
std::string checked_run_id(const kamo::Value& run_id);

// How list_runs reads the entries and accounts of the listed runs.
enum class Reading {
    ByLayout,  // in one pass where a statement per run would scan the whole table
    RunByRun,  // a statement per run, always
};

// RunList of the newest `limit` runs, each checked in full; one bad run fails the whole list.
// With `before` (a checked run id), the page of at most `limit` runs stored before the first row
// with that id, newest first: the row of lowest row id among those SQLite's = matches, which is
// the row get_run shows. An id no row holds is "未找到发布记录"; a missing store lists nothing.
// The interrupt lets the caller stop either query while it reads (Interrupted).
kamo::Value list_runs(const std::string& path, std::int64_t limit, const std::optional<std::string>& before,
                      const Environment& env, Interrupt interrupt = {}, Reading reading = Reading::ByLayout);
// RunProjection of one run.
kamo::Value get_run(const std::string& path, const std::string& run_id, const Environment& env,
                    Interrupt interrupt = {});

}  // namespace runlens
