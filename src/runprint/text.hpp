// Untrusted record values turned into one inert line: JSON form, controls and format chars escaped.
#pragma once

#include <string>
#include <string_view>

#include "value/value.hpp"

namespace runprint {

// The display text of value: its JSON form (a string without its quotes), then every code point
// of category Cc, Cf, Zl or Zp written as \u and at least four lowercase hex digits. Never throws
// for a well-formed Value; ill-formed UTF-8 bytes pass through untouched.
std::string text(const kamo::Value& value);

// text() of a string value, straight from its UTF-8 bytes.
std::string text_of_string(std::string_view s);

// Appends text(value) to out.
void append_text(const kamo::Value& value, std::string& out);

// The last step alone: appends s with the Cc/Cf/Zl/Zp code points escaped.
void append_escaped(std::string_view s, std::string& out);

}  // namespace runprint
