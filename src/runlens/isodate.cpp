// Placeholder until the date rules land.
#include "runlens/isodate.hpp"

namespace runlens {
std::optional<std::string> iso_datetime_error(std::string_view) { return std::nullopt; }
}  // namespace runlens
