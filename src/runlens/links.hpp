// Shape test of a stored result link: is it a work page of the entry's platform?
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "value/int_digits.hpp"

namespace runlens {

// The pieces of a URI as urllib.parse.urlsplit finds them. hostname is the bracket-free,
// lower-cased host (absent when empty); port is absent when not given or empty.
struct UrlParts {
    std::string scheme;  // lower-cased
    std::string netloc;
    std::optional<std::string> hostname;
    std::optional<std::string> port_text;  // raw text after the host's ":", when non-empty
    std::string path;
    std::string query;
    std::string fragment;
};

// Split as urlsplit does; nullopt where urlsplit would raise (unbalanced or invalid brackets, a
// netloc that NFKC turns into one with "/?#@:"). Made for text that valid_link's character screen
// lets through, so urlsplit's stripping of leading controls and spaces and its removal of tabs and
// line breaks are not repeated. Also nullopt for ill-formed UTF-8 (lone surrogates included).
std::optional<UrlParts> split_url(std::string_view text);

// True exactly when text has the shape of a work page on that platform. A port is read as int()
// reads it, under the host's limit of max_int_digits digits (0: no limit). Never throws.
bool valid_link(std::string_view platform, std::string_view text,
                std::size_t max_int_digits = kamo::kDefaultMaxIntDigits) noexcept;

}  // namespace runlens
