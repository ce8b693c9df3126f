// Validation of one stored run row: id, version, material snapshot and fingerprints.
#pragma once

#include <string>
#include <vector>

#include "runlens/cell.hpp"
#include "value/value.hpp"

namespace runlens {

// Platform keys the runtime knows, copied once per query.
using PlatformKeys = std::vector<std::string>;

struct Snapshot {
    kamo::Value items;         // list of item maps, as decoded
    kamo::Value fingerprints;  // map path -> digest, as decoded
};

// Checks the row in a fixed order; the first failing check raises its RUN-003 failure.
Snapshot snapshot(const Row& row, const PlatformKeys& platforms);

}  // namespace runlens
