// Result-link shape test: a splitter that agrees with urllib.parse.urlsplit, one path rule per platform.
#include "runlens/links.hpp"

#include <unicode/uchar.h>
#include <unicode/unorm2.h>
#include <unicode/ustring.h>

#include <array>
#include <cstdint>
#include <limits>

namespace runlens {
namespace {

using sv = std::string_view;
constexpr std::size_t npos = sv::npos;

// ---- characters -------------------------------------------------------------------------------

bool ascii_digit(unsigned char c) { return c >= '0' && c <= '9'; }
bool ascii_letter(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool ascii_alnum(unsigned char c) { return ascii_digit(c) || ascii_letter(c); }
bool ascii_hex(unsigned char c) { return ascii_digit(c) || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'); }
bool word_or_dash(unsigned char c) { return ascii_alnum(c) || c == '_' || c == '-'; }
// Bytes of a multi-byte UTF-8 sequence are all 0x80 or more, so per byte this is per character.
bool not_slash(unsigned char c) { return c != '/'; }
bool scheme_char(unsigned char c) { return ascii_alnum(c) || c == '+' || c == '-' || c == '.'; }

bool all_of(sv s, bool (*cls)(unsigned char)) {
    for (char c : s)
        if (!cls(static_cast<unsigned char>(c))) return false;
    return true;
}

std::string ascii_lower(sv s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

// Strict UTF-8 (no overlong forms, surrogates or code points past U+10FFFF); advances i.
bool next_code_point(sv s, std::size_t& i, char32_t& cp) {
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char lead = byte(i);
    if (lead < 0x80) {
        cp = lead;
        ++i;
        return true;
    }
    std::size_t tail;
    char32_t least;
    if (lead >= 0xC2 && lead <= 0xDF) {
        tail = 1, cp = lead & 0x1F, least = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        tail = 2, cp = lead & 0x0F, least = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        tail = 3, cp = lead & 0x07, least = 0x10000;
    } else {
        return false;
    }
    if (s.size() - i <= tail) return false;
    for (std::size_t k = 1; k <= tail; ++k) {
        unsigned char b = byte(i + k);
        if ((b & 0xC0) != 0x80) return false;
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += tail + 1;
    return true;
}

bool well_formed(sv s) {
    char32_t cp;
    for (std::size_t i = 0; i < s.size();)
        if (!next_code_point(s, i, cp)) return false;
    return true;
}

// str.isspace: general category Zs, or bidirectional class WS, B or S.
bool python_space(char32_t cp) {
    UChar32 c = static_cast<UChar32>(cp);
    if (u_charType(c) == U_SPACE_SEPARATOR) return true;
    switch (u_charDirection(c)) {
        case U_WHITE_SPACE_NEUTRAL:
        case U_BLOCK_SEPARATOR:
        case U_SEGMENT_SEPARATOR:
            return true;
        default:
            return false;
    }
}

// Non-empty, well-formed, and free of controls and white space. Below 0x80 only the controls,
// DEL and the space itself are refused, so ICU is asked about non-ASCII characters only.
bool screened(sv s) {
    if (s.empty()) return false;
    for (std::size_t i = 0; i < s.size();) {
        char32_t cp;
        if (!next_code_point(s, i, cp)) return false;
        if (cp <= 0x20 || cp == 0x7F) return false;
        if (cp >= 0x80 && python_space(cp)) return false;
    }
    return true;
}

// ---- bracketed hosts, as ipaddress and urlsplit judge them ------------------------------------

// IPv4Address: four decimal octets of one to three ASCII digits, no leading zero, at most 255.
bool ipv4_literal(sv s) {
    int octets = 0;
    for (;;) {
        std::size_t dot = s.find('.');
        sv octet = s.substr(0, dot);
        if (octet.empty() || octet.size() > 3 || !all_of(octet, ascii_digit)) return false;
        if (octet.size() > 1 && octet[0] == '0') return false;
        int value = 0;
        for (char c : octet) value = value * 10 + (c - '0');
        if (value > 255 || ++octets > 4) return false;
        if (dot == npos) return octets == 4;
        s.remove_prefix(dot + 1);
    }
}

bool hextet(sv s) { return !s.empty() && s.size() <= 4 && all_of(s, ascii_hex); }

// IPv6Address, zone included: a non-empty "%zone" holding no further "%", then eight hextets, or
// fewer around one "::", the last two of which may be written as a dotted IPv4 tail.
bool ipv6_literal(sv s) {
    std::size_t percent = s.find('%');
    if (percent != npos) {
        sv zone = s.substr(percent + 1);
        if (zone.empty() || zone.find('%') != npos) return false;
        s = s.substr(0, percent);
    }
    constexpr std::size_t kMaxParts = 9;  // eight hextets plus the empty end of a leading or trailing "::"
    std::array<sv, kMaxParts + 1> parts;
    std::size_t n = 0;
    for (;;) {
        if (n == kMaxParts) return false;
        std::size_t colon = s.find(':');
        parts[n++] = s.substr(0, colon);
        if (colon == npos) break;
        s.remove_prefix(colon + 1);
    }
    if (n < 3) return false;
    if (parts[n - 1].find('.') != npos) {
        if (!ipv4_literal(parts[n - 1])) return false;
        parts[n - 1] = "0";  // stands for the two hextets the tail spells
        parts[n++] = "0";
        if (n > kMaxParts) return false;
    }
    std::size_t skip = npos;
    for (std::size_t i = 1; i + 1 < n; ++i) {
        if (!parts[i].empty()) continue;
        if (skip != npos) return false;
        skip = i;
    }
    std::size_t hi = n, lo = 0;
    if (skip != npos) {
        hi = skip;
        lo = n - skip - 1;
        if (parts[0].empty() && --hi != 0) return false;
        if (parts[n - 1].empty() && --lo != 0) return false;
        if (hi + lo > 7) return false;
    } else if (n != 8) {
        return false;
    }
    for (std::size_t i = 0; i < hi; ++i)
        if (!hextet(parts[i])) return false;
    for (std::size_t i = n - lo; i < n; ++i)
        if (!hextet(parts[i])) return false;
    return true;
}

// "v", hex digits, ".", then at least one more character (a regex "." stops at a line feed).
bool ipvfuture_literal(sv s) {
    std::size_t i = 1;
    while (i < s.size() && ascii_hex(static_cast<unsigned char>(s[i]))) ++i;
    if (i == 1 || i >= s.size() || s[i] != '.') return false;
    sv rest = s.substr(i + 1);
    return !rest.empty() && rest.find('\n') == npos;
}

// A dotted IPv4 literal fails here too: urlsplit refuses one in brackets.
bool bracketed_host(sv s) { return !s.empty() && s[0] == 'v' ? ipvfuture_literal(s) : ipv6_literal(s); }

// ---- the NFKC check and lower-casing, with ICU ------------------------------------------------

// urlsplit refuses a netloc where NFKC would bring in "/", "?", "#", "@" or ":" (U+2100 gives
// "a/c"). Only a character's own decomposition can: ASCII maps to itself and composition never
// absorbs these marks, so each character is looked at alone.
bool nfkc_reroutes(sv netloc) {
    UErrorCode err = U_ZERO_ERROR;
    const UNormalizer2* nfkc = unorm2_getNFKCInstance(&err);
    if (U_FAILURE(err)) return true;
    for (std::size_t i = 0; i < netloc.size();) {
        char32_t cp;
        if (!next_code_point(netloc, i, cp)) return true;
        if (cp < 0x80) continue;
        std::array<UChar, 64> buf;  // the longest mapping (U+FDFA) is 18 units
        err = U_ZERO_ERROR;
        int32_t len = unorm2_getDecomposition(nfkc, static_cast<UChar32>(cp), buf.data(),
                                              static_cast<int32_t>(buf.size()), &err);
        if (U_FAILURE(err)) return true;
        for (int32_t k = 0; k < len; ++k) {
            UChar u = buf[static_cast<std::size_t>(k)];
            if (u == '/' || u == '?' || u == '#' || u == '@' || u == ':') return true;
        }
    }
    return false;
}

// ICU counts in 32-bit lengths; a host past this is refused rather than cut.
constexpr std::size_t kMaxIcuHost = std::size_t{1} << 26;

// str.lower: full Unicode mappings with the final-sigma rule, no locale; ICU's root locale does the same.
std::optional<std::string> python_lower(sv s) {
    if (all_of(s, [](unsigned char c) { return c < 0x80; })) return ascii_lower(s);
    if (s.size() > kMaxIcuHost) return std::nullopt;
    UErrorCode err = U_ZERO_ERROR;
    std::u16string wide(s.size(), u'\0');
    int32_t wlen = 0;
    u_strFromUTF8(wide.data(), static_cast<int32_t>(wide.size()), &wlen, s.data(),
                  static_cast<int32_t>(s.size()), &err);
    if (U_FAILURE(err)) return std::nullopt;
    wide.resize(static_cast<std::size_t>(wlen));

    std::u16string lower(wide.size() * 2 + 4, u'\0');  // lower-casing grows a character to at most three units
    for (int pass = 0; pass < 2; ++pass) {
        err = U_ZERO_ERROR;
        int32_t llen = u_strToLower(lower.data(), static_cast<int32_t>(lower.size()), wide.data(), wlen, "", &err);
        if (err == U_BUFFER_OVERFLOW_ERROR && pass == 0) {
            lower.resize(static_cast<std::size_t>(llen));
            continue;
        }
        if (U_FAILURE(err)) return std::nullopt;
        lower.resize(static_cast<std::size_t>(llen));
        break;
    }

    std::string out(lower.size() * 3, '\0');
    int32_t olen = 0;
    err = U_ZERO_ERROR;
    u_strToUTF8(out.data(), static_cast<int32_t>(out.size()), &olen, lower.data(),
                static_cast<int32_t>(lower.size()), &err);
    if (U_FAILURE(err)) return std::nullopt;
    out.resize(static_cast<std::size_t>(olen));
    return out;
}

}  // namespace

// ---- splitting --------------------------------------------------------------------------------

std::optional<UrlParts> split_url(std::string_view text) {
    if (!well_formed(text)) return std::nullopt;
    UrlParts parts;
    sv rest = text;

    std::size_t colon = rest.find(':');
    if (colon != npos && colon > 0 && ascii_letter(static_cast<unsigned char>(rest[0])) &&
        all_of(rest.substr(0, colon), scheme_char)) {
        parts.scheme = ascii_lower(rest.substr(0, colon));
        rest.remove_prefix(colon + 1);
    }

    sv netloc;
    if (rest.substr(0, 2) == "//") {
        std::size_t end = rest.find_first_of("/?#", 2);
        netloc = rest.substr(2, end == npos ? npos : end - 2);
        rest = end == npos ? sv{} : rest.substr(end);
        std::size_t open = netloc.find('['), close = netloc.find(']');
        if ((open == npos) != (close == npos)) return std::nullopt;
        if (open != npos) {
            // Between the first "[" and the first "]" after it, wherever they sit in the netloc.
            sv inside = netloc.substr(open + 1);
            if (!bracketed_host(inside.substr(0, inside.find(']')))) return std::nullopt;
        }
        if (nfkc_reroutes(netloc)) return std::nullopt;
        parts.netloc = netloc;
    }

    std::size_t hash = rest.find('#');
    if (hash != npos) {
        parts.fragment = rest.substr(hash + 1);
        rest = rest.substr(0, hash);
    }
    std::size_t question = rest.find('?');
    if (question != npos) {
        parts.query = rest.substr(question + 1);
        rest = rest.substr(0, question);
    }
    parts.path = rest;

    // Host and port as the result's hostname and port read them: after the last "@"; with a "[",
    // the host runs to the "]" and the port follows the first ":" after it.
    std::size_t at = netloc.rfind('@');
    sv hostinfo = at == npos ? netloc : netloc.substr(at + 1);
    sv host, port;
    std::size_t open = hostinfo.find('[');
    if (open != npos) {
        sv bracketed = hostinfo.substr(open + 1);
        std::size_t close = bracketed.find(']');
        host = bracketed.substr(0, close);
        if (close != npos) {
            sv after = bracketed.substr(close + 1);
            std::size_t c = after.find(':');
            if (c != npos) port = after.substr(c + 1);
        }
    } else {
        std::size_t c = hostinfo.find(':');
        host = hostinfo.substr(0, c);
        if (c != npos) port = hostinfo.substr(c + 1);
    }
    if (!host.empty()) {
        // An IPv6 zone after "%" keeps its case.
        std::size_t percent = host.find('%');
        auto lower = python_lower(host.substr(0, percent));
        if (!lower) return std::nullopt;
        if (percent != npos) lower->append(host.substr(percent));
        parts.hostname = std::move(*lower);
    }
    if (!port.empty()) parts.port_text = std::string(port);
    return parts;
}

namespace {

// ---- ports and queries ------------------------------------------------------------------------

// No port, or one that .port reads as 443: ASCII digits, leading zeros allowed, but int() takes
// no more than 4300 digits.
bool default_port(const std::optional<std::string>& port) {
    if (!port) return true;
    if (port->size() > 4300 || !all_of(*port, ascii_digit)) return false;
    sv digits = *port;
    while (digits.size() > 1 && digits[0] == '0') digits.remove_prefix(1);
    return digits == "443";
}

int hex_value(unsigned char c) {
    if (ascii_digit(c)) return c - '0';
    return (c | 0x20) - 'a' + 10;
}

// A form-encoded name or value as bytes: "+" is a space, "%XX" a byte, a stray "%" itself.
std::string form_bytes(sv s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c == '+') {
            out += ' ';
        } else if (c == '%' && i + 2 < s.size() && ascii_hex(static_cast<unsigned char>(s[i + 1])) &&
                   ascii_hex(static_cast<unsigned char>(s[i + 2]))) {
            out += static_cast<char>(hex_value(static_cast<unsigned char>(s[i + 1])) * 16 +
                                     hex_value(static_cast<unsigned char>(s[i + 2])));
            i += 2;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

// parse_qs finds exactly one "id" and it is all ASCII digits. Compared as decoded bytes: a byte of
// 0x80 or more never decodes to ASCII, so the U+FFFD replacements need not be built.
bool single_numeric_id(sv query) {
    int ids = 0;
    bool numeric = false;
    for (;;) {
        std::size_t amp = query.find('&');
        sv piece = query.substr(0, amp);
        std::size_t eq = piece.find('=');
        if (eq != npos && eq + 1 < piece.size() && form_bytes(piece.substr(0, eq)) == "id") {
            std::string value = form_bytes(piece.substr(eq + 1));
            ++ids;
            numeric = !value.empty() && all_of(value, ascii_digit);
        }
        if (amp == npos) break;
        query.remove_prefix(amp + 1);
    }
    return ids == 1 && numeric;
}

// ---- path rules -------------------------------------------------------------------------------

// Full-match steps over a path. Every class used excludes "/", and each run is followed by "/" or
// the end, so a greedy run never has to give anything back.
class Path {
public:
    explicit Path(sv s) : rest_(s) {}

    // The exact text next; nothing is consumed on a miss.
    bool lit(sv text) {
        if (rest_.substr(0, text.size()) != text) return false;
        rest_.remove_prefix(text.size());
        return true;
    }

    // Between least and most characters of cls.
    bool run(bool (*cls)(unsigned char), std::size_t least, std::size_t most = npos) {
        std::size_t n = 0;
        while (n < rest_.size() && n < most && cls(static_cast<unsigned char>(rest_[n]))) ++n;
        if (n < least) return false;
        rest_.remove_prefix(n);
        return true;
    }

    // "/?" and then nothing.
    bool end() {
        if (!rest_.empty() && rest_[0] == '/') rest_.remove_prefix(1);
        return rest_.empty();
    }

private:
    sv rest_;
};

bool bilibili_path(Path p) { return p.lit("/video/BV") && p.run(ascii_alnum, 10, 10) && p.end(); }
bool douyin_path(Path p) { return (p.lit("/video/") || p.lit("/note/")) && p.run(ascii_digit, 1) && p.end(); }
bool kuaishou_path(Path p) { return p.lit("/short-video/") && p.run(word_or_dash, 1) && p.end(); }
bool tencent_path(Path p) { return p.lit("/sph/") && p.run(word_or_dash, 1) && p.end(); }
bool weibo_path(Path p) { return p.lit("/tv/show/1034:") && p.run(ascii_digit, 1) && p.end(); }
bool tk_path(Path p) {
    return p.lit("/@") && p.run(not_slash, 1) && p.lit("/video/") && p.run(ascii_digit, 1) && p.end();
}
bool xiaohongshu_path(Path p) {
    return (p.lit("/explore/") || p.lit("/discovery/item/") || p.lit("/item/")) && p.run(ascii_hex, 1) && p.end();
}
// "/(?:a/)?[0-9A-Za-z]+/?": the optional "a/" gives way when no id follows it, so "/a/" reads as
// the id "a" with a final slash.
bool xhslink_path(Path p) {
    Path q = p;
    return (q.lit("/a/") && q.run(ascii_alnum, 1) && q.end()) || (p.lit("/") && p.run(ascii_alnum, 1) && p.end());
}

struct Row {
    sv platform;
    std::array<sv, 2> hosts;  // an empty slot never matches: an empty host is absent
    bool (*path)(Path);
};

constexpr Row kRows[] = {
    {"bilibili", {"bilibili.com", "www.bilibili.com"}, bilibili_path},
    {"douyin", {"douyin.com", "www.douyin.com"}, douyin_path},
    {"kuaishou", {"kuaishou.com", "www.kuaishou.com"}, kuaishou_path},
    {"tencent", {"channels.weixin.qq.com", ""}, tencent_path},
    {"weibo", {"weibo.com", "www.weibo.com"}, weibo_path},
    {"tk", {"tiktok.com", "www.tiktok.com"}, tk_path},
    {"xiaohongshu", {"xiaohongshu.com", "www.xiaohongshu.com"}, xiaohongshu_path},
};

constexpr sv kBaijiahaoHost = "baijiahao.baidu.com";
constexpr sv kXhslinkHost = "xhslink.com";

bool valid_split(sv platform, const UrlParts& url) {
    if (url.scheme != "https" || url.netloc.find('@') != npos || !default_port(url.port_text)) return false;
    if (!url.hostname) return false;
    sv host = *url.hostname;
    if (platform == "baijiahao") return host == kBaijiahaoHost && url.path == "/s" && single_numeric_id(url.query);
    if (platform == "xiaohongshu" && host == kXhslinkHost) return xhslink_path(Path(url.path));
    for (const Row& row : kRows)
        if (row.platform == platform) return (host == row.hosts[0] || host == row.hosts[1]) && row.path(Path(url.path));
    return false;
}

}  // namespace

bool valid_link(std::string_view platform, std::string_view text) noexcept {
    try {
        if (!screened(text)) return false;
        auto url = split_url(text);
        return url && valid_split(platform, *url);
    } catch (...) {  // only allocation can throw; a link too big to split is no work page
        return false;
    }
}

}  // namespace runlens
