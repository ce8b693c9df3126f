// Identifier patterns and the absolute-path test.
#include "runlens/patterns.hpp"

namespace runlens {

namespace {

constexpr bool lower_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

struct HexTable {
    bool is[256];
    constexpr HexTable() : is() {
        for (int c = 0; c < 256; ++c) is[c] = lower_hex(static_cast<char>(c));
    }
};
constexpr HexTable kHex;

// Digests and identities are checked by the thousand: one table look-up a byte, no early exit.
bool all_lower_hex(std::string_view s) {
    bool ok = true;
    for (char c : s) ok &= kHex.is[static_cast<unsigned char>(c)];
    return ok;
}

bool sep(char c) { return c == '/' || c == '\\'; }
bool letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// "X:" followed by a separator.
bool drive_with_root(std::string_view s) { return s.size() >= 3 && letter(s[0]) && s[1] == ':' && sep(s[2]); }

}  // namespace

bool match_uuid(std::string_view s) {
    if (s.size() != 36) return false;
    for (std::size_t i = 0; i < s.size(); ++i) {
        bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? s[i] != '-' : !lower_hex(s[i])) return false;
    }
    return true;
}

bool match_sha(std::string_view s) { return s.size() == 64 && all_lower_hex(s); }

bool match_identity(std::string_view s) {
    constexpr std::string_view prefix = "sha256-v1:";
    return s.substr(0, prefix.size()) == prefix && match_sha(s.substr(prefix.size()));
}

bool absolute_path(std::string_view s) {
    if (s.empty() || s.find('\0') != std::string_view::npos) return false;
    if (s[0] == '/') return true;
    if (drive_with_root(s)) return true;
    if (s.size() >= 2 && sep(s[0]) && sep(s[1])) {
        // \\?\C:\... : the extended-length prefix in front of a drive form.
        if (s.size() >= 4 && s[0] == '\\' && s[1] == '\\' && s[2] == '?' && s[3] == '\\')
            return drive_with_root(s.substr(4));
        // \\server\share: non-empty server, one separator, non-empty share.
        std::size_t i = 2;
        std::size_t server = i;
        while (i < s.size() && !sep(s[i])) ++i;
        if (i == server || i >= s.size()) return false;
        ++i;
        std::size_t share = i;
        while (i < s.size() && !sep(s[i])) ++i;
        return i > share;
    }
    return false;
}

}  // namespace runlens
