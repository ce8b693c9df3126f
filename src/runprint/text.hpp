// Untrusted record values turned into one inert line: JSON form, controls and format chars escaped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "value/value.hpp"

namespace runprint {

// The display text of value: its JSON form (a string without its quotes), then every code point
// of category Cc, Cf, Zl or Zp written as \u and at least four lowercase hex digits. Never throws
// for a well-formed Value; ill-formed UTF-8 bytes pass through untouched.
std::string text(const kamo::Value& value);

// Appends text(value) to out.
void append_text(const kamo::Value& value, std::string& out);

// text() of a string held as code units of one width (Latin-1, UCS-2 or UCS-4), in two passes so
// the result can be written straight into its final place: measure_shown, then write_shown of
// exactly size.length units. Lone surrogates stay as they are.
struct ShownSize {
    std::size_t length = 0;     // of the result; equal to the input's exactly when nothing changes,
                                // since every escape is longer than what it replaces
    std::size_t unchanged = 0;  // leading characters that show as themselves
    std::size_t escaped = 0;    // characters that do not
    char32_t kept = 0;          // bitwise OR of the characters that stay (every escape is ASCII),
                                // which lies in the same width class as their maximum
};
template <class Unit>
ShownSize measure_shown(const Unit* s, std::size_t n);
template <class Unit, class Out>
void write_shown(const Unit* s, std::size_t n, const ShownSize& size, Out* out);

extern template ShownSize measure_shown(const std::uint8_t*, std::size_t);
extern template ShownSize measure_shown(const std::uint16_t*, std::size_t);
extern template ShownSize measure_shown(const std::uint32_t*, std::size_t);
extern template void write_shown(const std::uint8_t*, std::size_t, const ShownSize&, std::uint8_t*);
extern template void write_shown(const std::uint16_t*, std::size_t, const ShownSize&, std::uint8_t*);
extern template void write_shown(const std::uint16_t*, std::size_t, const ShownSize&, std::uint16_t*);
extern template void write_shown(const std::uint32_t*, std::size_t, const ShownSize&, std::uint8_t*);
extern template void write_shown(const std::uint32_t*, std::size_t, const ShownSize&, std::uint16_t*);
extern template void write_shown(const std::uint32_t*, std::size_t, const ShownSize&, std::uint32_t*);

}  // namespace runprint
