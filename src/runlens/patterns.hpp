// Textual tests of stored identifiers and paths: the fixed patterns and the absolute-path rule.
#pragma once

#include <string_view>

namespace runlens {

// Full matches of the fixed patterns.
bool match_uuid(std::string_view s);      // [0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}
bool match_sha(std::string_view s);       // [0-9a-f]{64}
bool match_identity(std::string_view s);  // sha256-v1:[0-9a-f]{64}

// Absolute under POSIX rules or, failing that, Windows rules; purely textual.
bool absolute_path(std::string_view s);

}  // namespace runlens
