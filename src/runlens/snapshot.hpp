// Validation of one stored run row: id, version, material snapshot and fingerprints.
#pragma once

#include <string>
#include <vector>

#include "runlens/cell.hpp"
#include "value/json.hpp"
#include "value/value.hpp"

namespace runlens {

// Platform keys the runtime knows, copied once per query.
using PlatformKeys = std::vector<std::string>;

// What one query takes from the host, read once at its start (with the host's lock held): the
// platform keys the runtime knows and the decoder's limits.
struct Environment {
    Environment(PlatformKeys platforms = {}, kamo::json::Limits limits = {})
        : platforms(std::move(platforms)), limits(limits) {}
    PlatformKeys platforms;
    kamo::json::Limits limits;
};

struct Snapshot {
    kamo::Value items;         // list of item maps, as decoded
    kamo::Value fingerprints;  // map path -> digest, as decoded
};

// Checks the row in a fixed order; the first failing check raises its RUN-003 failure.
Snapshot snapshot(const Row& row, const Environment& env);

}  // namespace runlens
