// Result-link shape test: a splitter that agrees with urllib.parse.urlsplit, one path rule per platform.
#include "runlens/links.hpp"

#include <array>
#include <cstdint>

#include "value/unicode.hpp"
#include "value/utf8.hpp"

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

// Non-empty, well-formed, and free of controls and white space (below 0x80 that is the controls,
// DEL and the space itself).
bool screened(sv s) {
    if (s.empty()) return false;
    for (std::size_t i = 0; i < s.size();) {
        char32_t cp;
        std::size_t len = kamo::utf8::decode(s, i, cp);
        if (!len || cp < 0x20 || cp == 0x7F || kamo::unicode::space(cp)) return false;
        i += len;
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

// ---- host and port, as urlsplit finds them ----------------------------------------------------

// The host part of a netloc: what follows its last "@". With a "[", the host runs from there to
// the "]" and the port follows the first ":" after it; without, they are split at the first ":".
struct HostInfo {
    bool bracketed = false;
    sv before_bracket;  // text before the "["
    sv after_bracket;   // text after the "]", port included
    sv host;            // as written: brackets off, case kept
    sv port;            // empty when there is none
};

HostInfo host_info(sv netloc) {
    HostInfo h;
    std::size_t at = netloc.rfind('@');
    sv hostinfo = at == npos ? netloc : netloc.substr(at + 1);
    std::size_t open = hostinfo.find('[');
    if (open != npos) {
        h.bracketed = true;
        h.before_bracket = hostinfo.substr(0, open);
        sv bracketed = hostinfo.substr(open + 1);
        std::size_t close = bracketed.find(']');
        h.host = bracketed.substr(0, close);
        if (close != npos) {
            h.after_bracket = bracketed.substr(close + 1);
            std::size_t c = h.after_bracket.find(':');
            if (c != npos) h.port = h.after_bracket.substr(c + 1);
        }
    } else {
        std::size_t c = hostinfo.find(':');
        h.host = hostinfo.substr(0, c);
        if (c != npos) h.port = hostinfo.substr(c + 1);
    }
    return h;
}

// A netloc holding both brackets, judged as current urlsplit judges it: the "[" must come first,
// only a ":" port may follow the "]", and the host must be an IP literal. Older 3.11 releases
// looked only between the first "[" and "]"; the stricter rule refuses text glued to the brackets
// ("[::1]junk"), which never names a work page anyway.
bool bracketed_netloc(sv netloc) {
    HostInfo h = host_info(netloc);
    if (h.bracketed && (!h.before_bracket.empty() || (!h.after_bracket.empty() && h.after_bracket[0] != ':')))
        return false;
    return bracketed_host(h.host);
}

// ---- the NFKC check and lower-casing ----------------------------------------------------------

// urlsplit refuses a non-ASCII netloc whose NFKC form, once "@", ":", "#" and "?" are taken out,
// differs and holds one of "/?#@:" (U+2100 gives "a/c"). Those five never compose, so that is
// exactly when a character other than them brings one in by its own decomposition.
bool nfkc_reroutes(sv netloc) {
    for (std::size_t i = 0; i < netloc.size();) {
        char32_t cp;
        std::size_t len = kamo::utf8::decode(netloc, i, cp);
        if (!len) return true;
        if (kamo::unicode::nfkc_brings_netloc_mark(cp)) return true;
        i += len;
    }
    return false;
}

// str.lower: full Unicode mappings with the final-sigma rule.
std::optional<std::string> python_lower(sv s) {
    if (all_of(s, [](unsigned char c) { return c < 0x80; })) return ascii_lower(s);
    std::string out;
    if (!kamo::unicode::append_lower(s, out)) return std::nullopt;
    return out;
}

}  // namespace

// ---- splitting --------------------------------------------------------------------------------

std::optional<UrlParts> split_url(std::string_view text) {
    if (!kamo::utf8::valid(text)) return std::nullopt;
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
        if (open != npos && !bracketed_netloc(netloc)) return std::nullopt;
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

    // Host and port as the result's hostname and port read them.
    const HostInfo h = host_info(netloc);
    const sv host = h.host, port = h.port;
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

// No port, or one that .port reads as 443: ASCII digits, leading zeros allowed, that int() takes
// under the host's limit of digits.
bool default_port(const std::optional<std::string>& port, std::size_t max_digits) {
    if (!port) return true;
    if (!all_of(*port, ascii_digit) || kamo::int_digits_refusal(port->size(), max_digits)) return false;
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

    // Nothing more, not even a final "/".
    bool done() const { return rest_.empty(); }

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

// "/s" exactly: an article link takes no final slash.
bool baijiahao_path(Path p) { return p.lit("/s") && p.done(); }

bool any_query(sv) { return true; }

// One rule per platform and host set: a link is a work page when its host is one of the row's and
// its path, and its query, pass the row's tests. A platform may have several rows, one per host set.
struct Row {
    sv platform;
    std::array<sv, 2> hosts;  // an empty slot never matches: an empty host is absent
    bool (*path)(Path);
    bool (*query)(sv) = any_query;
};

constexpr Row kRows[] = {
    {"bilibili", {"bilibili.com", "www.bilibili.com"}, bilibili_path},
    {"douyin", {"douyin.com", "www.douyin.com"}, douyin_path},
    {"kuaishou", {"kuaishou.com", "www.kuaishou.com"}, kuaishou_path},
    {"tencent", {"channels.weixin.qq.com", ""}, tencent_path},
    {"weibo", {"weibo.com", "www.weibo.com"}, weibo_path},
    {"tk", {"tiktok.com", "www.tiktok.com"}, tk_path},
    {"xiaohongshu", {"xiaohongshu.com", "www.xiaohongshu.com"}, xiaohongshu_path},
    {"xiaohongshu", {"xhslink.com", ""}, xhslink_path},  // the short-link domain
    {"baijiahao", {"baijiahao.baidu.com", ""}, baijiahao_path, single_numeric_id},
};

bool valid_split(sv platform, const UrlParts& url, std::size_t max_digits) {
    if (url.scheme != "https" || url.netloc.find('@') != npos || !default_port(url.port_text, max_digits))
        return false;
    if (!url.hostname) return false;
    sv host = *url.hostname;
    for (const Row& row : kRows)
        if (row.platform == platform && (host == row.hosts[0] || host == row.hosts[1]))
            return row.path(Path(url.path)) && row.query(url.query);
    return false;
}

}  // namespace

bool valid_link(std::string_view platform, std::string_view text, std::size_t max_int_digits) noexcept {
    try {
        if (!screened(text)) return false;
        auto url = split_url(text);
        return url && valid_split(platform, *url, max_int_digits);
    } catch (...) {  // only allocation can throw; a link too big to split is no work page
        return false;
    }
}

}  // namespace runlens
