// ISO 8601 date and date-time texts, accepted exactly where datetime.fromisoformat (3.11) accepts.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace runlens {

// nullopt when accepted; otherwise the reason, worded like fromisoformat's ValueError.
std::optional<std::string> iso_datetime_error(std::string_view text);

}  // namespace runlens
