// Escaping of untrusted values for the text listing.
#include "runprint/text.hpp"

#include <cstdint>
#include <cstring>
#include <utility>

#include <unicode/uchar.h>

#include "value/json.hpp"

namespace runprint {
namespace {

constexpr std::uint32_t kHidden = U_GC_CC_MASK | U_GC_CF_MASK | U_GC_ZL_MASK | U_GC_ZP_MASK;

// ASCII below DEL never needs escaping, so whole words of it are skipped at once.
bool plain_ascii_word(const char* p) {
    std::uint64_t w;
    std::memcpy(&w, p, sizeof w);
    // High bit set: non-ASCII, or 0x7F (which +1 turns into 0x80). A carry out of a 0xFF byte only
    // ever lands next to a byte that is already flagged, so false alarms just fall to the slow path.
    return ((w | (w + 0x0101010101010101ULL)) & 0x8080808080808080ULL) == 0;
}

// The code point at s[i] and its length; surrogates decode too (a lone one may come from Python).
// Returns length 0 for a byte that starts no sequence.
std::size_t decode(std::string_view s, std::size_t i, char32_t& cp) {
    auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    auto cont = [&](std::size_t k) { return k < s.size() && (b(k) & 0xC0) == 0x80; };
    unsigned char c = b(i);
    if (c >= 0xC2 && c <= 0xDF && cont(i + 1)) {
        cp = (char32_t(c & 0x1F) << 6) | (b(i + 1) & 0x3F);
        return 2;
    }
    if (c >= 0xE0 && c <= 0xEF && cont(i + 1) && cont(i + 2)) {
        cp = (char32_t(c & 0x0F) << 12) | (char32_t(b(i + 1) & 0x3F) << 6) | (b(i + 2) & 0x3F);
        return cp >= 0x800 ? 3 : 0;
    }
    if (c >= 0xF0 && c <= 0xF4 && cont(i + 1) && cont(i + 2) && cont(i + 3)) {
        cp = (char32_t(c & 0x07) << 18) | (char32_t(b(i + 1) & 0x3F) << 12) |
             (char32_t(b(i + 2) & 0x3F) << 6) | (b(i + 3) & 0x3F);
        return cp >= 0x10000 && cp <= 0x10FFFF ? 4 : 0;
    }
    return 0;
}

void put_escape(char32_t cp, std::string& out) {
    static constexpr char hex[] = "0123456789abcdef";
    char buf[8];
    int n = 0;
    do {
        buf[n++] = hex[cp & 15];
        cp >>= 4;
    } while (cp);
    while (n < 4) buf[n++] = '0';
    out += "\\u";
    while (n) out.push_back(buf[--n]);
}

// Offset of the first code point that must be escaped, or s.size(); len gets its byte length.
std::size_t next_hidden(std::string_view s, std::size_t i, char32_t& cp, std::size_t& len) {
    const std::size_t n = s.size();
    while (i < n) {
        while (i + 8 <= n && plain_ascii_word(s.data() + i)) i += 8;
        if (i >= n) break;
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c < 0x7F) {
            ++i;
            continue;
        }
        if (c == 0x7F) {
            cp = 0x7F;
            len = 1;
            return i;
        }
        std::size_t k = decode(s, i, cp);
        if (k == 0) {
            ++i;
            continue;
        }
        if (U_MASK(u_charType(static_cast<UChar32>(cp))) & kHidden) {
            len = k;
            return i;
        }
        i += k;
    }
    return n;
}

void json_form(const kamo::Value& value, std::string& out) {
    if (value.is_str())
        kamo::json::encode_string_body(value.as_str(), out);
    else
        kamo::json::encode(value, out);
}

// Appends s to out, escaping from the first hidden code point, already found at `at`.
void escape_from(std::string_view s, std::size_t at, char32_t cp, std::size_t len, std::string& out) {
    std::size_t run = 0;
    while (at < s.size()) {
        out.append(s.data() + run, at - run);
        put_escape(cp, out);
        run = at + len;
        at = next_hidden(s, run, cp, len);
    }
    out.append(s.data() + run, s.size() - run);
}

// Escapes json, handing it back untouched when nothing in it needs escaping (the usual case).
std::string finish(std::string json) {
    char32_t cp = 0;
    std::size_t len = 0;
    std::size_t at = next_hidden(json, 0, cp, len);
    if (at == json.size()) return json;
    std::string out;
    out.reserve(json.size() + 16);
    escape_from(json, at, cp, len, out);
    return out;
}

}  // namespace

void append_escaped(std::string_view s, std::string& out) {
    char32_t cp = 0;
    std::size_t len = 0;
    std::size_t at = next_hidden(s, 0, cp, len);  // sets cp and len: call it before passing them
    escape_from(s, at, cp, len, out);
}

std::string text(const kamo::Value& value) {
    std::string json;
    json_form(value, json);
    return finish(std::move(json));
}

std::string text_of_string(std::string_view s) {
    std::string json;
    kamo::json::encode_string_body(s, json);
    return finish(std::move(json));
}

void append_text(const kamo::Value& value, std::string& out) {
    std::string json;
    json_form(value, json);
    append_escaped(json, out);
}

}  // namespace runprint
