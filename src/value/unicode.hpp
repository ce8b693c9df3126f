// Unicode properties as the interpreter the modules are built for defines them (tables generated
// at build time from its unicodedata and str methods).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "value/unicode_data.hpp"

namespace kamo::unicode {

// The flag bits of cp. Anything past U+10FFFF reads as U+10FFFF, which has none: a clamp costs
// less than a branch in the escaping loops.
[[gnu::always_inline]] inline std::uint8_t flags(char32_t cp) {
    cp = cp < 0x10FFFF ? cp : 0x10FFFF;
    return data::kFlags[(char32_t{data::kIndex[cp >> data::kShift]} << data::kShift) | (cp & data::kMask)];
}

// General category Cc, Cf, Zl or Zp: what the text listing escapes.
[[gnu::always_inline]] inline bool hidden(char32_t cp) { return flags(cp) & data::kHidden; }

// str.isspace: category Zs, or bidirectional class WS, B or S.
inline bool space(char32_t cp) { return flags(cp) & data::kSpace; }

// str.isprintable: what repr() shows as it is.
inline bool printable(char32_t cp) { return flags(cp) & data::kPrintable; }

// Whether the NFKC form of cp holds one of "/?#@:" (U+2100 gives "a/c"); false for those five.
// No such character takes part in a composition, so a text's NFKC form holds one of them brought
// in by normalisation exactly when one of its own characters is flagged.
inline bool nfkc_brings_netloc_mark(char32_t cp) { return flags(cp) & data::kNfkcMark; }

// str.lower of UTF-8 text, appended to out: full mappings (U+0130 becomes two code points) and the
// final-sigma rule. False, with out unspecified, when s is not well-formed UTF-8 (surrogates too).
bool append_lower(std::string_view s, std::string& out);

}  // namespace kamo::unicode
