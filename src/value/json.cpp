// Strict JSON decoder and the ensure_ascii=False encoder.
#include "json.hpp"

#include "utf8.hpp"

#include <charconv>
#include <cmath>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

namespace kamo::json {
namespace {

// Deep enough for any real record, shallow enough that recursion never nears the stack's end.
constexpr int kMaxDepth = 512;

[[noreturn]] void fail(const std::string& what, std::size_t pos) {
    throw DecodeError(what + ": char " + std::to_string(pos));
}

// Code units of UTF-16/UTF-32 text turned into UTF-8; lone surrogates and bad lengths fail.
std::string transcode(std::string_view d, int unit, bool big_endian) {
    if (d.size() % unit) throw DecodeError("truncated data");
    std::string out;
    out.reserve(d.size());
    auto at = [&](std::size_t i) -> char32_t {
        char32_t v = 0;
        for (int k = 0; k < unit; ++k) {
            char32_t byte = static_cast<unsigned char>(d[i + (big_endian ? k : unit - 1 - k)]);
            v = (v << 8) | byte;
        }
        return v;
    };
    for (std::size_t i = 0; i < d.size(); i += unit) {
        char32_t c = at(i);
        if (unit == 2 && c >= 0xD800 && c <= 0xDBFF && i + 2 < d.size()) {
            char32_t lo = at(i + 2);
            if (lo >= 0xDC00 && lo <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (lo - 0xDC00);
                i += 2;
            }
        }
        if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF)
            throw DecodeError("invalid code point in encoded text");
        utf8::append(c, out);
    }
    return out;
}

// Bytes to UTF-8 text, choosing the encoding the way json.loads does for bytes.
std::string bytes_to_text(std::string_view b) {
    auto u = [&](std::size_t k) { return static_cast<unsigned char>(b[k]); };
    auto starts = [&](std::string_view p) { return b.substr(0, p.size()) == p; };
    using namespace std::string_view_literals;
    if (starts("\x00\x00\xFE\xFF"sv)) return transcode(b.substr(4), 4, true);
    if (starts("\xFF\xFE\x00\x00"sv)) return transcode(b.substr(4), 4, false);
    if (starts("\xFE\xFF"sv)) return transcode(b.substr(2), 2, true);
    if (starts("\xFF\xFE"sv)) return transcode(b.substr(2), 2, false);
    if (starts("\xEF\xBB\xBF"sv)) return std::string(b.substr(3));
    if (b.size() >= 4) {
        if (!u(0)) return transcode(b, u(1) ? 2 : 4, true);
        if (!u(1)) return transcode(b, (u(2) || u(3)) ? 2 : 4, false);
    } else if (b.size() == 2) {
        if (!u(0)) return transcode(b, 2, true);
        if (!u(1)) return transcode(b, 2, false);
    }
    return std::string(b);
}

class Parser {
public:
    explicit Parser(std::string_view s) : s_(s) {}

    Value document() {
        skip_ws();
        Value v = value(0);
        skip_ws();
        if (i_ != s_.size()) fail("Extra data", i_);
        return v;
    }

private:
    std::string_view s_;
    std::size_t i_ = 0;
    std::vector<Member> members_;
    std::vector<Value> elements_;

    bool at_end() const { return i_ >= s_.size(); }

    // Eight bytes with no quote, backslash, control character or non-ASCII byte.
    static bool plain8(const char* p) {
        constexpr std::uint64_t ones = 0x0101010101010101ull, high = 0x8080808080808080ull;
        std::uint64_t w;
        std::memcpy(&w, p, 8);
        auto zero_byte = [&](std::uint64_t v) { return (v - ones) & ~v & high; };
        std::uint64_t special = zero_byte(w ^ (ones * '"')) | zero_byte(w ^ (ones * '\\')) |
                                ((w - ones * 0x20) & ~w & high) | (w & high);
        return special == 0;
    }
    char peek() const { return s_[i_]; }

    void skip_ws() {
        while (i_ < s_.size()) {
            char c = s_[i_];
            if (c != ' ' && c != '\t' && c != '\n' && c != '\r') break;
            ++i_;
        }
    }

    bool take(std::string_view word) {
        if (s_.substr(i_, word.size()) != word) return false;
        i_ += word.size();
        return true;
    }

    Value value(int depth) {
        if (at_end()) fail("Expecting value", i_);
        switch (peek()) {
            case '{': return object(depth + 1);
            case '[': return array(depth + 1);
            case '"': return Value(string());
            case 't': if (take("true")) return Value(true); break;
            case 'f': if (take("false")) return Value(false); break;
            case 'n': if (take("null")) return Value(nullptr); break;
            case 'N': if (take("NaN")) throw DecodeError("NaN"); break;
            case 'I': if (take("Infinity")) throw DecodeError("Infinity"); break;
            case '-':
                if (s_.substr(i_, 9) == "-Infinity") throw DecodeError("-Infinity");
                return number();
            default:
                if (peek() >= '0' && peek() <= '9') return number();
        }
        fail("Expecting value", i_);
    }

    Value object(int depth) {
        if (depth > kMaxDepth) fail("nesting too deep", i_);
        ++i_;  // '{'
        // Members collect on a scratch stack shared by all depths, so each map is allocated once
        // at its final size.
        const std::size_t base = members_.size();
        skip_ws();
        if (!at_end() && peek() == '}') {
            ++i_;
            return Value(Map{});
        }
        for (;;) {
            if (at_end() || peek() != '"')
                fail("Expecting property name enclosed in double quotes", i_);
            std::string key = string();
            skip_ws();
            if (at_end() || peek() != ':') fail("Expecting ':' delimiter", i_);
            ++i_;
            skip_ws();
            Value v = value(depth);
            members_.emplace_back(std::move(key), std::move(v));
            skip_ws();
            if (at_end()) fail("Expecting ',' delimiter", i_);
            char c = s_[i_++];
            if (c == '}') break;
            if (c != ',') fail("Expecting ',' delimiter", i_ - 1);
            skip_ws();
        }
        auto first = members_.begin() + static_cast<std::ptrdiff_t>(base);
        Map m(std::make_move_iterator(first), std::make_move_iterator(members_.end()));
        members_.resize(base);
        check_unique(m);
        return Value(std::move(m));
    }

    // Records are small: pairwise comparison beats hashing until maps grow.
    static void check_unique(const Map& m) {
        if (m.size() <= 16) {
            for (std::size_t i = 1; i < m.size(); ++i)
                for (std::size_t j = 0; j < i; ++j)
                    if (m[i].first == m[j].first) throw DecodeError("duplicate record field");
            return;
        }
        std::unordered_set<std::string_view> seen;
        seen.reserve(m.size());
        for (const auto& member : m)
            if (!seen.insert(member.first).second) throw DecodeError("duplicate record field");
    }

    Value array(int depth) {
        if (depth > kMaxDepth) fail("nesting too deep", i_);
        ++i_;  // '['
        const std::size_t base = elements_.size();
        skip_ws();
        if (!at_end() && peek() == ']') {
            ++i_;
            return Value(List{});
        }
        for (;;) {
            skip_ws();
            Value v = value(depth);
            elements_.push_back(std::move(v));
            skip_ws();
            if (at_end()) fail("Expecting ',' delimiter", i_);
            char c = s_[i_++];
            if (c == ']') break;
            if (c != ',') fail("Expecting ',' delimiter", i_ - 1);
        }
        auto first = elements_.begin() + static_cast<std::ptrdiff_t>(base);
        List l(std::make_move_iterator(first), std::make_move_iterator(elements_.end()));
        elements_.resize(base);
        return Value(std::move(l));
    }

    int hex4(std::size_t at) {
        if (at + 4 > s_.size()) fail("Invalid \\uXXXX escape", at);
        int v = 0;
        for (std::size_t k = at; k < at + 4; ++k) {
            char c = s_[k];
            int d;
            if (c >= '0' && c <= '9') d = c - '0';
            else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
            else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
            else fail("Invalid \\uXXXX escape", at);
            v = v * 16 + d;
        }
        return v;
    }

    std::string string() {
        std::size_t start = i_++;  // '"'
        std::string out;
        for (;;) {
            // Copy the run of plain characters in one go; non-ASCII text is checked as it passes,
            // which is the only place it may stand.
            std::size_t run = i_;
            for (;;) {
                while (i_ + 8 <= s_.size() && plain8(s_.data() + i_)) i_ += 8;
                if (i_ >= s_.size()) break;
                unsigned char c = static_cast<unsigned char>(s_[i_]);
                if (c < 0x80) {
                    if (c == '"' || c == '\\' || c < 0x20) break;
                    ++i_;
                    continue;
                }
                char32_t cp;
                std::size_t n = utf8::decode(s_, i_, cp);  // a surrogate could never be printed again
                if (!n) fail("Invalid UTF-8 text at", i_);
                i_ += n;
            }
            out.append(s_.data() + run, i_ - run);
            if (at_end()) fail("Unterminated string starting at", start);
            char c = s_[i_];
            if (c == '"') {
                ++i_;
                return out;
            }
            if (c != '\\') fail("Invalid control character at", i_);
            if (i_ + 1 >= s_.size()) fail("Unterminated string starting at", start);
            char e = s_[i_ + 1];
            i_ += 2;
            switch (e) {
                case '"': out.push_back('"'); break;
                case '\\': out.push_back('\\'); break;
                case '/': out.push_back('/'); break;
                case 'b': out.push_back('\b'); break;
                case 'f': out.push_back('\f'); break;
                case 'n': out.push_back('\n'); break;
                case 'r': out.push_back('\r'); break;
                case 't': out.push_back('\t'); break;
                case 'u': {
                    char32_t cp = static_cast<char32_t>(hex4(i_));
                    i_ += 4;
                    if (cp >= 0xD800 && cp <= 0xDBFF && s_.substr(i_, 2) == "\\u") {
                        char32_t lo = static_cast<char32_t>(hex4(i_ + 2));
                        if (lo >= 0xDC00 && lo <= 0xDFFF) {
                            cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
                            i_ += 6;
                        }
                    }
                    // Deliberately stricter than Python: a lone surrogate makes a string that
                    // can never be printed or encoded again, so the record counts as malformed.
                    if (cp >= 0xD800 && cp <= 0xDFFF) fail("Lone surrogate in \\u escape", i_ - 6);
                    utf8::append(cp, out);
                    break;
                }
                default: fail("Invalid \\escape", i_ - 2);
            }
        }
    }

    Value number() {
        std::size_t start = i_;
        bool neg = false;
        if (peek() == '-') {
            neg = true;
            ++i_;
        }
        auto digit = [&] { return !at_end() && peek() >= '0' && peek() <= '9'; };
        if (!digit()) fail("Expecting value", start);
        std::size_t int_start = i_;
        if (peek() == '0') ++i_;
        else while (digit()) ++i_;
        std::size_t int_end = i_;
        bool is_float = false;
        if (!at_end() && peek() == '.' && i_ + 1 < s_.size() && s_[i_ + 1] >= '0' && s_[i_ + 1] <= '9') {
            is_float = true;
            ++i_;
            while (digit()) ++i_;
        }
        if (!at_end() && (peek() == 'e' || peek() == 'E')) {
            std::size_t save = i_;
            ++i_;
            if (!at_end() && (peek() == '+' || peek() == '-')) ++i_;
            if (digit()) {
                is_float = true;
                while (digit()) ++i_;
            } else {
                i_ = save;  // not an exponent: the number ends before the 'e'
            }
        }
        std::string_view text = s_.substr(start, i_ - start);
        if (!is_float) {
            std::int64_t v = 0;
            auto r = std::from_chars(text.data(), text.data() + text.size(), v);
            if (r.ec == std::errc()) return Value(v);
            std::string digits(neg ? "-" : "");
            digits.append(s_.substr(int_start, int_end - int_start));
            return Value(BigInt{std::move(digits)});
        }
        double d = 0;
        auto r = std::from_chars(text.data(), text.data() + text.size(), d);
        if (r.ec == std::errc::result_out_of_range) d = out_of_range(text, neg);
        else if (r.ec != std::errc() || r.ptr != text.data() + text.size()) fail("Expecting value", start);
        return Value(d);
    }

    // from_chars leaves the value untouched when it is out of range; Python's float() gives an
    // infinity on overflow and a zero on underflow, so decide which this was.
    static double out_of_range(std::string_view text, bool neg) {
        std::size_t e = text.find_first_of("eE");
        std::string_view mant = text.substr(0, e);
        long long exp = 0;
        if (e != std::string_view::npos) {
            std::string_view ex = text.substr(e + 1);
            bool eneg = !ex.empty() && ex[0] == '-';
            if (!ex.empty() && (ex[0] == '-' || ex[0] == '+')) ex.remove_prefix(1);
            // Saturate instead of stopping: a mantissa of millions of digits shifts the magnitude
            // by millions, so only an exponent past any text length decides the result alone.
            for (char c : ex)
                if (exp < 100'000'000'000'000'000LL) exp = exp * 10 + (c - '0');
            if (eneg) exp = -exp;
        }
        // Decimal magnitude: position of the first significant digit relative to the point.
        long long mag = 0;
        std::size_t dot = mant.find('.');
        std::string_view ip = mant.substr(neg ? 1 : 0, dot == std::string_view::npos ? std::string_view::npos : dot - (neg ? 1 : 0));
        if (ip != "0") {
            mag = static_cast<long long>(ip.size());
        } else if (dot != std::string_view::npos) {
            std::size_t k = dot + 1;
            while (k < mant.size() && mant[k] == '0') { --mag; ++k; }
        }
        double v = (mag + exp > 0) ? HUGE_VAL : 0.0;
        return neg ? -v : v;
    }
};

// The escape rule of the text form: the characters a string must escape, and how.
constexpr bool needs_escape(char32_t c) { return c < 0x20 || c == '"' || c == '\\'; }

char* write_escape(unsigned char c, char* p) {
    static constexpr char hex[] = "0123456789abcdef";
    *p++ = '\\';
    switch (c) {
        case '"': *p++ = '"'; break;
        case '\\': *p++ = '\\'; break;
        case '\b': *p++ = 'b'; break;
        case '\f': *p++ = 'f'; break;
        case '\n': *p++ = 'n'; break;
        case '\r': *p++ = 'r'; break;
        case '\t': *p++ = 't'; break;
        default:
            *p++ = 'u';
            *p++ = '0';
            *p++ = '0';
            *p++ = hex[c >> 4];
            *p++ = hex[c & 15];
    }
    return p;
}

// Word-at-a-time tests for runs of characters that are copied unchanged. Each flags a lane that
// holds a hit, and may flag lanes above a real hit, never one without any.
constexpr std::uint64_t kOnes8 = 0x0101010101010101ull, kHigh8 = 0x8080808080808080ull;
constexpr std::uint64_t kOnes16 = 0x0001000100010001ull, kHigh16 = 0x8000800080008000ull;

template <std::uint64_t kOnes, std::uint64_t kHigh>
inline std::uint64_t escapes_in(std::uint64_t w) {
    auto zero = [](std::uint64_t v) { return (v - kOnes) & ~v & kHigh; };
    return zero(w ^ (kOnes * '"')) | zero(w ^ (kOnes * '\\')) | ((w - kOnes * 0x20) & ~w & kHigh);
}

// Eight bytes with nothing to escape; with kAscii also none from 0x80 up.
template <bool kAscii>
inline bool plain_bytes(const unsigned char* s) {
    std::uint64_t w;
    std::memcpy(&w, s, 8);
    if (kAscii && (w & kHigh8)) return false;
    return escapes_in<kOnes8, kHigh8>(w) == 0;
}

// Four 16-bit code units, all ASCII with nothing to escape.
inline bool plain_units(const std::uint16_t* s) {
    std::uint64_t w;
    std::memcpy(&w, s, 8);
    if (w & 0xFF80FF80FF80FF80ull) return false;
    return escapes_in<kOnes16, kHigh16>(w) == 0;
}

// What each byte value asks of the string writer: 0 copy it, 1 escape it, 2 encode it as a
// code point (from 0x80 up, when the units are code points rather than UTF-8 bytes).
struct ByteClass {
    std::uint8_t utf8[256];
    std::uint8_t code_point[256];
    constexpr ByteClass() : utf8(), code_point() {
        for (int c = 0; c < 256; ++c) {
            utf8[c] = needs_escape(static_cast<char32_t>(c)) ? 1 : 0;
            code_point[c] = c >= 0x80 ? 2 : utf8[c];
        }
    }
};
constexpr ByteClass kByteClass;

// The one string writer behind every overload: Unit is the code unit, kUtf8 says the bytes are
// UTF-8 already (copied through) rather than code points to encode.
template <class Unit, bool kUtf8>
char* write_body(const Unit* s, std::size_t n, char* p, bool& surrogate) {
    const std::uint8_t* classes = kUtf8 ? kByteClass.utf8 : kByteClass.code_point;
    std::size_t i = 0;
    for (;;) {
        if constexpr (sizeof(Unit) == 1) {
            for (; i + 8 <= n && plain_bytes<!kUtf8>(s + i); i += 8, p += 8) std::memcpy(p, s + i, 8);
        } else if constexpr (sizeof(Unit) == 2) {
            for (; i + 4 <= n && plain_units(s + i); i += 4, p += 4)
                for (int k = 0; k < 4; ++k) p[k] = static_cast<char>(s[i + k]);
            // Runs of CJK and other text from U+0800 up (surrogates aside): three bytes each.
            for (; i < n && s[i] >= 0x800 && (s[i] & 0xF800) != 0xD800; ++i, p += 3) {
                const unsigned c = s[i];
                p[0] = static_cast<char>(0xE0 | (c >> 12));
                p[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
                p[2] = static_cast<char>(0x80 | (c & 0x3F));
            }
        }
        if (i >= n) return p;
        char32_t c = s[i++];
        std::uint8_t what = c < 0x100 ? classes[c] : 2;
        if (what == 0) {
            *p++ = static_cast<char>(c);
        } else if (what == 1) {
            p = write_escape(static_cast<unsigned char>(c), p);
        } else {
            if constexpr (sizeof(Unit) > 1)
                if (c >= 0xD800 && c <= 0xDFFF) surrogate = true;
            p = utf8::put(c, p);
        }
    }
}

char* copy(const char* text, char* p) {
    while (*text) *p++ = *text++;
    return p;
}

}  // namespace

Value decode(std::string_view data, Input input) {
    std::string transcoded;
    std::string_view text = data;
    if (input == Input::Bytes) {
        transcoded = bytes_to_text(data);
        text = transcoded;
    } else if (text.substr(0, 3) == "\xEF\xBB\xBF") {
        throw DecodeError("Unexpected UTF-8 BOM (decode using utf-8-sig)");
    }
    return Parser(text).document();
}

bool valid_utf8(std::string_view s) { return utf8::valid(s); }

char* write_string_body(std::string_view utf8, char* p) {
    bool unused = false;
    return write_body<unsigned char, true>(reinterpret_cast<const unsigned char*>(utf8.data()), utf8.size(), p,
                                           unused);
}

char* write_string_body(const std::uint8_t* s, std::size_t n, char* p) {
    bool unused = false;
    return write_body<std::uint8_t, false>(s, n, p, unused);
}

char* write_string_body(const std::uint16_t* s, std::size_t n, char* p, bool& surrogate) {
    return write_body<std::uint16_t, false>(s, n, p, surrogate);
}

char* write_string_body(const std::uint32_t* s, std::size_t n, char* p, bool& surrogate) {
    return write_body<std::uint32_t, false>(s, n, p, surrogate);
}

char* write_double(double d, char* p) {
    if (std::isnan(d)) return copy("NaN", p);
    if (std::isinf(d)) return copy(d < 0 ? "-Infinity" : "Infinity", p);
    if (d == 0) return copy(std::signbit(d) ? "-0.0" : "0.0", p);
    char sci[kMaxNumberBytes];
    const char* end = std::to_chars(sci, sci + sizeof sci, d, std::chars_format::scientific).ptr;
    // sci is "[-]d[.ddd]e(+|-)xx": the shortest digits that read back to d.
    const char* q = sci;
    if (*q == '-') *p++ = *q++;
    char digits[24];
    int nd = 0;
    for (; *q != 'e'; ++q)
        if (*q != '.') digits[nd++] = *q;
    bool exp_neg = q[1] == '-';
    int exp = 0;
    for (q += 2; q < end; ++q) exp = exp * 10 + (*q - '0');
    if (exp_neg) exp = -exp;
    int decpt = exp + 1;  // value = 0.digits * 10^decpt
    // Python's repr: positional from 1e-4 up to below 1e16, scientific outside.
    if (decpt > -4 && decpt <= 16) {
        if (decpt <= 0) {
            *p++ = '0';
            *p++ = '.';
            for (int k = decpt; k < 0; ++k) *p++ = '0';
            for (int k = 0; k < nd; ++k) *p++ = digits[k];
        } else if (decpt >= nd) {
            for (int k = 0; k < nd; ++k) *p++ = digits[k];
            for (int k = nd; k < decpt; ++k) *p++ = '0';
            *p++ = '.';
            *p++ = '0';
        } else {
            for (int k = 0; k < nd; ++k) {
                if (k == decpt) *p++ = '.';
                *p++ = digits[k];
            }
        }
        return p;
    }
    *p++ = digits[0];
    if (nd > 1) {
        *p++ = '.';
        for (int k = 1; k < nd; ++k) *p++ = digits[k];
    }
    int e = decpt - 1;
    *p++ = 'e';
    *p++ = e < 0 ? '-' : '+';
    if (e < 0) e = -e;
    if (e < 10) *p++ = '0';
    return std::to_chars(p, p + 4, e).ptr;
}

char* write_int(std::int64_t i, char* p) { return std::to_chars(p, p + kMaxNumberBytes, i).ptr; }

void encode_string_body(std::string_view s, std::string& out) {
    std::size_t old = out.size();
    out.resize(old + kMaxBytesPerUnit * s.size());
    char* end = write_string_body(s, out.data() + old);
    out.resize(static_cast<std::size_t>(end - out.data()));
}

void encode(const Value& v, std::string& out) {
    switch (v.kind()) {
        case Value::Kind::Null: out += "null"; return;
        case Value::Kind::Bool: out += v.as_bool() ? "true" : "false"; return;
        case Value::Kind::Int: {
            char buf[kMaxNumberBytes];
            out.append(buf, write_int(v.as_int(), buf));
            return;
        }
        case Value::Kind::Big: out += v.as_big().digits; return;
        case Value::Kind::Float: {
            char buf[kMaxNumberBytes];
            out.append(buf, write_double(v.as_float(), buf));
            return;
        }
        case Value::Kind::Str:
        case Value::Kind::Static:
            out.push_back('"');
            encode_string_body(v.as_str(), out);
            out.push_back('"');
            return;
        case Value::Kind::List: {
            out.push_back('[');
            bool first = true;
            for (const auto& e : v.as_list()) {
                if (!first) out += ", ";
                first = false;
                encode(e, out);
            }
            out.push_back(']');
            return;
        }
        case Value::Kind::Map: {
            out.push_back('{');
            bool first = true;
            for (const auto& [k, e] : v.as_map()) {
                if (!first) out += ", ";
                first = false;
                out.push_back('"');
                encode_string_body(k, out);
                out += "\": ";
                encode(e, out);
            }
            out.push_back('}');
            return;
        }
    }
}

}  // namespace kamo::json
