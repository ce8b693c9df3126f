// What one query takes from the host: the platform keys the runtime knows and the decoder's limits.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "value/json.hpp"

namespace runlens {

// Platform keys the runtime knows, copied once per query.
using PlatformKeys = std::vector<std::string>;

// Read once at the start of a query (with the host's lock held), so a host that changes either
// is seen by the next query and never halfway through one.
struct Environment {
    Environment(PlatformKeys platforms = {}, kamo::json::Limits limits = {})
        : platforms(std::move(platforms)), limits(limits) {}
    PlatformKeys platforms;
    kamo::json::Limits limits;
};

}  // namespace runlens
