// What one query takes from the host: the platform keys the runtime knows, the decoder's limits and
// the host release's date-time rules.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "runlens/isodate.hpp"
#include "value/json.hpp"

namespace runlens {

// Platform keys the runtime knows, copied once per query.
using PlatformKeys = std::vector<std::string>;

// Read once at the start of a query (with the host's lock held), so a host that changes any of it
// is seen by the next query and never halfway through one.
struct Environment {
    Environment(PlatformKeys platforms = {}, kamo::json::Limits limits = {}, IsoRules iso = {})
        : platforms(std::move(platforms)), limits(limits), iso(iso) {}
    PlatformKeys platforms;
    kamo::json::Limits limits;
    IsoRules iso;
};

}  // namespace runlens
