// Placeholder until the link rules land.
#include "runlens/links.hpp"

namespace runlens {
std::optional<UrlParts> split_url(std::string_view) { return std::nullopt; }
bool valid_link(std::string_view, std::string_view) noexcept { return false; }
}  // namespace runlens
