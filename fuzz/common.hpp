// Checks shared by the fuzz targets: a failed one aborts, which libFuzzer records as a crash.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "value/unicode.hpp"
#include "value/utf8.hpp"

namespace fuzz {

[[noreturn]] inline void fail(const char* what) {
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

inline void check(bool ok, const char* what) {
    if (!ok) fail(what);
}

// Well-formed UTF-8 in which no code point is a control, format or line/paragraph separator,
// except the characters listed in allowed.
inline bool inert(std::string_view s, std::u32string_view allowed = {}) {
    for (std::size_t i = 0; i < s.size();) {
        char32_t cp;
        std::size_t n = kamo::utf8::decode(s, i, cp);
        if (!n) return false;
        if (kamo::unicode::hidden(cp) && allowed.find(cp) == std::u32string_view::npos) return false;
        i += n;
    }
    return true;
}

}  // namespace fuzz
