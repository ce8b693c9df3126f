// The one UTF-8 decoder and encoder of the core.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace kamo::utf8 {

// Whether an encoded surrogate (ED A0..BF xx) counts as a code point. Stored and parsed text
// refuses them; a Python str may hold a lone one, which reaches the core as its surrogatepass
// bytes and is let through where text is only shown again.
enum class Surrogates { Refuse, Accept };

// The code point of the sequence at s[i] and its length (1 to 4), or 0 when the bytes there are
// ill-formed: a stray continuation byte, a truncated sequence, an overlong form, a code point past
// U+10FFFF, or (unless accepted) a surrogate. i must be inside s.
template <Surrogates S = Surrogates::Refuse>
[[gnu::always_inline]] inline std::size_t decode(std::string_view s, std::size_t i, char32_t& cp) {
    auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    auto tail = [](unsigned char c) { return (c & 0xC0) == 0x80; };
    const unsigned char c = b(i);
    const std::size_t n = s.size() - i;
    if (c < 0x80) {
        cp = c;
        return 1;
    }
    if (c >= 0xC2 && c <= 0xDF) {
        if (n < 2 || !tail(b(i + 1))) return 0;
        cp = (char32_t(c & 0x1F) << 6) | (b(i + 1) & 0x3F);
        return 2;
    }
    if (c >= 0xE0 && c <= 0xEF) {
        if (n < 3) return 0;
        const unsigned char c1 = b(i + 1);
        if (c == 0xE0 && c1 < 0xA0) return 0;  // overlong
        if (S == Surrogates::Refuse && c == 0xED && c1 >= 0xA0) return 0;
        if (!tail(c1) || !tail(b(i + 2))) return 0;
        cp = (char32_t(c & 0x0F) << 12) | (char32_t(c1 & 0x3F) << 6) | (b(i + 2) & 0x3F);
        return 3;
    }
    if (c >= 0xF0 && c <= 0xF4) {
        if (n < 4) return 0;
        const unsigned char c1 = b(i + 1);
        if (c == 0xF0 && c1 < 0x90) return 0;   // overlong
        if (c == 0xF4 && c1 >= 0x90) return 0;  // past U+10FFFF
        if (!tail(c1) || !tail(b(i + 2)) || !tail(b(i + 3))) return 0;
        cp = (char32_t(c & 0x07) << 18) | (char32_t(c1 & 0x3F) << 12) | (char32_t(b(i + 2) & 0x3F) << 6) |
             (b(i + 3) & 0x3F);
        return 4;
    }
    return 0;
}

// Eight bytes from p are all ASCII.
[[gnu::always_inline]] inline bool ascii8(const char* p) {
    std::uint64_t w;
    std::memcpy(&w, p, sizeof w);
    return (w & 0x8080808080808080ull) == 0;
}

// Offset of the first ill-formed sequence in s, or s.size() when there is none.
template <Surrogates S = Surrogates::Refuse>
std::size_t first_invalid(std::string_view s) {
    const std::size_t n = s.size();
    char32_t cp;
    for (std::size_t i = 0; i < n;) {
        while (i + 8 <= n && ascii8(s.data() + i)) i += 8;  // ASCII runs are the common case
        if (i >= n) break;
        std::size_t len = decode<S>(s, i, cp);
        if (!len) return i;
        i += len;
    }
    return n;
}

template <Surrogates S = Surrogates::Refuse>
bool valid(std::string_view s) {
    return first_invalid<S>(s) == s.size();
}

// Writes the UTF-8 form of cp at p and returns the end (at most U+10FFFF; surrogates are written
// as they come, as Python's "surrogatepass" writes them).
[[gnu::always_inline]] inline char* put(char32_t cp, char* p) {
    if (cp < 0x80) {
        *p++ = static_cast<char>(cp);
    } else if (cp < 0x800) {
        *p++ = static_cast<char>(0xC0 | (cp >> 6));
        *p++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        *p++ = static_cast<char>(0xE0 | (cp >> 12));
        *p++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *p++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        *p++ = static_cast<char>(0xF0 | (cp >> 18));
        *p++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        *p++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *p++ = static_cast<char>(0x80 | (cp & 0x3F));
    }
    return p;
}

// Appends the UTF-8 form of cp.
inline void append(char32_t cp, std::string& out) {
    char b[4];
    out.append(b, put(cp, b));
}

}  // namespace kamo::utf8
