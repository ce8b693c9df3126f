// Strict JSON decoder and the ensure_ascii=False encoder.
#include "json.hpp"

#include "utf8.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

namespace kamo::json {
namespace {

[[noreturn]] void fail(const std::string& what, std::size_t pos) {
    throw DecodeError(what + ": char " + std::to_string(pos));
}

// Code units of UTF-16/UTF-32 text turned into UTF-8 in out; lone surrogates and bad lengths fail.
void transcode(std::string_view d, int unit, bool big_endian, std::string& out) {
    if (d.size() % unit) throw DecodeError("truncated data");
    out.clear();
    out.reserve(d.size() * 2);
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
}

// Bytes as UTF-8 text, choosing the encoding the way json.loads does for bytes; a transcoded
// text is written to buffer.
std::string_view bytes_to_text(std::string_view b, std::string& buffer) {
    auto u = [&](std::size_t k) { return static_cast<unsigned char>(b[k]); };
    auto starts = [&](std::string_view p) { return b.substr(0, p.size()) == p; };
    auto via = [&](std::string_view d, int unit, bool big_endian) {
        transcode(d, unit, big_endian, buffer);
        return std::string_view(buffer);
    };
    using namespace std::string_view_literals;
    if (starts("\x00\x00\xFE\xFF"sv)) return via(b.substr(4), 4, true);
    if (starts("\xFF\xFE\x00\x00"sv)) return via(b.substr(4), 4, false);
    if (starts("\xFE\xFF"sv)) return via(b.substr(2), 2, true);
    if (starts("\xFF\xFE"sv)) return via(b.substr(2), 2, false);
    if (starts("\xEF\xBB\xBF"sv)) return b.substr(3);
    if (b.size() >= 4) {
        if (!u(0)) return via(b, u(1) ? 2 : 4, true);
        if (!u(1)) return via(b, (u(2) || u(3)) ? 2 : 4, false);
    } else if (b.size() == 2) {
        if (!u(0)) return via(b, 2, true);
        if (!u(1)) return via(b, 2, false);
    }
    return b;
}

constexpr std::uint64_t kHigh8 = 0x8080808080808080ull;

// Eight bytes with nothing to escape, so none that ends a plain run of a string either; with
// kAscii also none from 0x80 up.
template <bool kAscii>
inline bool plain8(const void* p) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    return (escape::lanes<std::uint8_t>(w) | (kAscii ? w & kHigh8 : 0)) == 0;
}

// The word test is needed() a lane at a time: with any byte value in any lane among plain ones,
// a word is flagged exactly when needed() says so, and never in a lane below the hit. 16-bit
// lanes are checked for every low byte under a few high ones.
constexpr bool word_test_is_the_rule() {
    auto place = [](std::uint64_t fill, unsigned bits, unsigned k, std::uint64_t c) {
        const std::uint64_t lane = (std::uint64_t{1} << bits) - 1;
        return (fill & ~(lane << (bits * k))) | (c << (bits * k));
    };
    auto agrees = [](std::uint64_t hits, unsigned below, bool needed) {
        const std::uint64_t under = below ? (std::uint64_t{1} << below) - 1 : 0;
        return (hits != 0) == needed && (hits & under) == 0;
    };
    for (unsigned c = 0; c < 256; ++c) {
        for (std::uint64_t fill : {0x6161616161616161ull, 0xFFFFFFFFFFFFFFFFull})
            for (unsigned k = 0; k < 8; ++k)
                if (!agrees(escape::lanes<std::uint8_t>(place(fill, 8, k, c)), 8 * k, escape::needed(c)))
                    return false;
        for (std::uint64_t high : {0x00u, 0x7Fu, 0xFFu})
            for (unsigned k = 0; k < 4; ++k) {
                const std::uint64_t unit = high << 8 | c;
                if (!agrees(escape::lanes<std::uint16_t>(place(0x0061006100610061ull, 16, k, unit)), 16 * k,
                            escape::needed(static_cast<char32_t>(unit))))
                    return false;
            }
    }
    return true;
}
static_assert(word_test_is_the_rule(), "the word-at-a-time escape test differs from escape::needed");

using K = Value::Kind;

}  // namespace

// The state of one parse: the text, the position, and the parser's buffers.
class Parser::Run {
public:
    Run(Parser& p, std::string_view s, bool checked)
        : p_(p), s_(s), checked_(checked), tokens_(p.tokens_), unescaped_(p.unescaped_) {}

    void document() {
        skip_ws();
        value(0);
        skip_ws();
        if (i_ != s_.size()) fail("Extra data", i_);
    }

private:
    Parser& p_;
    std::string_view s_;
    bool checked_;  // the text is known to be well-formed UTF-8 without surrogates
    std::size_t i_ = 0;
    std::vector<Token>& tokens_;
    std::string& unescaped_;

    bool at_end() const { return i_ >= s_.size(); }
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

    Token& push(K kind) {
        Token& t = tokens_.emplace_back();
        t.kind = kind;
        t.size = 0;
        t.integer = 0;
        return t;
    }

    void value(int depth) {
        if (at_end()) fail("Expecting value", i_);
        switch (peek()) {
            case '{': return object(depth + 1);
            case '[': return array(depth + 1);
            case '"': return string();
            case 't': if (take("true")) { push(K::Bool).boolean = true; return; } break;
            case 'f': if (take("false")) { push(K::Bool).boolean = false; return; } break;
            case 'n': if (take("null")) { push(K::Null); return; } break;
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

    static std::uint32_t count(std::size_t n) {
        if (n > UINT32_MAX) throw DecodeError("document too large");
        return static_cast<std::uint32_t>(n);
    }

    void object(int depth) {
        if (depth > kMaxDepth) fail("nesting too deep", i_);
        ++i_;  // '{'
        const std::size_t at = tokens_.size();
        push(K::Map);
        std::vector<std::uint32_t>& keys = p_.keys_;
        const std::size_t base = keys.size();
        skip_ws();
        if (!at_end() && peek() == '}') {
            ++i_;
            tokens_[at].end = count(tokens_.size());
            return;
        }
        for (;;) {
            if (at_end() || peek() != '"') fail("Expecting property name enclosed in double quotes", i_);
            keys.push_back(count(tokens_.size()));
            string();
            skip_ws();
            if (at_end() || peek() != ':') fail("Expecting ':' delimiter", i_);
            ++i_;
            skip_ws();
            value(depth);
            skip_ws();
            if (at_end()) fail("Expecting ',' delimiter", i_);
            char c = s_[i_++];
            if (c == '}') break;
            if (c != ',') fail("Expecting ',' delimiter", i_ - 1);
            skip_ws();
        }
        check_unique(base);
        Token& t = tokens_[at];
        t.size = count(keys.size() - base);
        t.end = count(tokens_.size());
        keys.resize(base);
    }

    std::string_view key(std::uint32_t k) const { return {tokens_[k].text, tokens_[k].size}; }

    // Records are small: pairwise comparison beats sorting until maps grow.
    void check_unique(std::size_t base) {
        const std::vector<std::uint32_t>& keys = p_.keys_;
        const std::size_t n = keys.size() - base;
        if (n <= 16) {
            for (std::size_t i = base + 1; i < keys.size(); ++i)
                for (std::size_t j = base; j < i; ++j)
                    if (key(keys[i]) == key(keys[j])) throw DecodeError("duplicate record field");
            return;
        }
        std::vector<std::string_view>& sorted = p_.sorted_;
        sorted.clear();
        for (std::size_t i = base; i < keys.size(); ++i) sorted.push_back(key(keys[i]));
        std::sort(sorted.begin(), sorted.end());
        if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end())
            throw DecodeError("duplicate record field");
    }

    void array(int depth) {
        if (depth > kMaxDepth) fail("nesting too deep", i_);
        ++i_;  // '['
        const std::size_t at = tokens_.size();
        push(K::List);
        std::size_t n = 0;
        skip_ws();
        if (!at_end() && peek() == ']') {
            ++i_;
            tokens_[at].end = count(tokens_.size());
            return;
        }
        for (;;) {
            skip_ws();
            value(depth);
            ++n;
            skip_ws();
            if (at_end()) fail("Expecting ',' delimiter", i_);
            char c = s_[i_++];
            if (c == ']') break;
            if (c != ',') fail("Expecting ',' delimiter", i_ - 1);
        }
        Token& t = tokens_[at];
        t.size = count(n);
        t.end = count(tokens_.size());
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

    // Moves past the plain characters from i_ on: no quote, backslash or control character.
    // Text not checked before is checked here, the only place non-ASCII may stand.
    void skip_plain() {
        if (checked_) {
            while (i_ + 8 <= s_.size() && plain8<false>(s_.data() + i_)) i_ += 8;
            while (i_ < s_.size() && !escape::needed(static_cast<unsigned char>(s_[i_]))) ++i_;
            return;
        }
        for (;;) {
            while (i_ + 8 <= s_.size() && plain8<true>(s_.data() + i_)) i_ += 8;
            if (i_ >= s_.size()) return;
            unsigned char c = static_cast<unsigned char>(s_[i_]);
            if (c < 0x80) {
                if (escape::needed(c)) return;
                ++i_;
                continue;
            }
            char32_t cp;
            std::size_t n = utf8::decode(s_, i_, cp);  // a surrogate could never be printed again
            if (!n) fail("Invalid UTF-8 text at", i_);
            i_ += n;
        }
    }

    void string() {
        const std::size_t start = i_++;  // '"'
        std::size_t run = i_;
        skip_plain();
        if (!at_end() && s_[i_] == '"') {  // no escapes: the token points into the text
            Token& t = push(K::Str);
            t.text = s_.data() + run;
            t.size = count(i_ - run);
            ++i_;
            return;
        }
        // Escapes: the string is written to the buffer, reserved up front to the text's size
        // (unescaping never lengthens), so earlier strings stay where they are.
        const std::size_t from = unescaped_.size();
        for (;;) {
            unescaped_.append(s_.data() + run, i_ - run);
            if (at_end()) fail("Unterminated string starting at", start);
            char c = s_[i_];
            if (c == '"') {
                ++i_;
                break;
            }
            if (c != '\\') fail("Invalid control character at", i_);
            if (i_ + 1 >= s_.size()) fail("Unterminated string starting at", start);
            char e = s_[i_ + 1];
            i_ += 2;
            switch (e) {
                case '"': unescaped_.push_back('"'); break;
                case '\\': unescaped_.push_back('\\'); break;
                case '/': unescaped_.push_back('/'); break;
                case 'b': unescaped_.push_back('\b'); break;
                case 'f': unescaped_.push_back('\f'); break;
                case 'n': unescaped_.push_back('\n'); break;
                case 'r': unescaped_.push_back('\r'); break;
                case 't': unescaped_.push_back('\t'); break;
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
                    utf8::append(cp, unescaped_);
                    break;
                }
                default: fail("Invalid \\escape", i_ - 2);
            }
            run = i_;
            skip_plain();
        }
        Token& t = push(K::Str);
        t.text = unescaped_.data() + from;
        t.size = count(unescaped_.size() - from);
    }

    void number() {
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
            if (r.ec == std::errc()) {
                push(K::Int).integer = v;
                return;
            }
            // Past 64 bits; the host's limit on decimal digits applies, as int() applies it.
            if (auto refusal = int_digits_refusal(int_end - int_start, p_.limits_.max_int_digits))
                throw DecodeError(*refusal);
            Token& t = push(K::Big);
            t.text = text.data();
            t.size = count(text.size());
            return;
        }
        double d = 0;
        auto r = std::from_chars(text.data(), text.data() + text.size(), d);
        if (r.ec == std::errc::result_out_of_range) d = out_of_range(text, neg);
        else if (r.ec != std::errc() || r.ptr != text.data() + text.size()) fail("Expecting value", start);
        push(K::Float).real = d;
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

Node Parser::parse(std::string_view data, Input input) {
    std::string_view text = data;
    if (input == Input::Bytes) {
        text = bytes_to_text(data, transcoded_);
        // Only a transcoded text is known to be well-formed; other bytes are checked as parsed.
        input = text.data() == transcoded_.data() ? Input::ValidText : Input::Text;
    } else if (text.substr(0, 3) == "\xEF\xBB\xBF") {
        throw DecodeError("Unexpected UTF-8 BOM (decode using utf-8-sig)");
    }
    tokens_.clear();
    keys_.clear();
    unescaped_.clear();
    if (unescaped_.capacity() < text.size()) unescaped_.reserve(text.size());
    Run(*this, text, input == Input::ValidText).document();
    return Node(tokens_.data(), 0);
}

void Parser::push(const Value& v) {
    const std::size_t at = tokens_.size();
    Token& t = tokens_.emplace_back();
    t.size = 0;
    t.integer = 0;
    switch (v.kind()) {
        case K::Null: t.kind = K::Null; return;
        case K::Bool: t.kind = K::Bool; t.boolean = v.as_bool(); return;
        case K::Int: t.kind = K::Int; t.integer = v.as_int(); return;
        case K::Big:
            t.kind = K::Big;
            t.text = v.as_big().digits.data();
            t.size = static_cast<std::uint32_t>(v.as_big().digits.size());
            return;
        case K::Float: t.kind = K::Float; t.real = v.as_float(); return;
        case K::Str:
        case K::Static:
            t.kind = K::Str;
            t.text = v.as_str().data();
            t.size = static_cast<std::uint32_t>(v.as_str().size());
            return;
        case K::List:
            t.kind = K::List;
            for (const Value& e : v.as_list()) push(e);
            tokens_[at].size = static_cast<std::uint32_t>(v.as_list().size());
            break;
        case K::Map:
            t.kind = K::Map;
            for (const auto& [key, e] : v.as_map()) {
                Token& k = tokens_.emplace_back();
                k.kind = K::Str;
                k.text = key.data();
                k.size = static_cast<std::uint32_t>(key.size());
                push(e);
            }
            tokens_[at].size = static_cast<std::uint32_t>(v.as_map().size());
            break;
    }
    tokens_[at].end = static_cast<std::uint32_t>(tokens_.size());
}

Node Parser::adopt(const Value& v) {
    tokens_.clear();
    push(v);
    return Node(tokens_.data(), 0);
}

bool Node::truthy() const {
    if (!t_) return false;
    const Token& k = tok();
    switch (k.kind) {
        case K::Null: return false;
        case K::Bool: return k.boolean;
        case K::Int: return k.integer != 0;
        case K::Big: return true;  // never zero: zero fits 64 bits
        case K::Float: return k.real != 0.0;
        case K::Str:
        case K::List:
        case K::Map: return k.size != 0;
        default: return false;
    }
}

Node::Children Node::elements() const {
    if (!is_list()) return Children(t_, 0, 0);
    return Children(t_, i_ + 1, tok().end);
}

bool Node::operator==(const Node& o) const {
    if (!t_ || !o.t_) return !t_ && !o.t_;
    if (kind() != o.kind()) return false;
    switch (kind()) {
        case K::Null: return true;
        case K::Bool: return as_bool() == o.as_bool();
        case K::Int: return as_int() == o.as_int();
        case K::Float: return as_float() == o.as_float();
        case K::Big:
        case K::Str: return as_str() == o.as_str();
        case K::List: {
            if (size() != o.size()) return false;
            auto a = elements().begin(), b = o.elements().begin();
            for (auto e = elements().end(); a != e; ++a, ++b)
                if (!(*a == *b)) return false;
            return true;
        }
        case K::Map: {
            if (size() != o.size()) return false;
            bool same = true;
            std::uint32_t k = o.i_ + 1;
            each_member([&](std::string_view key, Node v) {
                Node ok(o.t_, k), ov(o.t_, k + 1);
                same = same && ok.as_str() == key && v == ov;
                k = ov.next();
            });
            return same;
        }
        default: return false;
    }
}

Value to_value(Node n) {
    if (!n) return Value(nullptr);
    switch (n.kind()) {
        case K::Null: return Value(nullptr);
        case K::Bool: return Value(n.as_bool());
        case K::Int: return Value(n.as_int());
        case K::Big: return Value(BigInt{std::string(n.big_digits())});
        case K::Float: return Value(n.as_float());
        case K::Str: return Value(std::string(n.as_str()));
        case K::List: {
            List l;
            l.reserve(n.size());
            for (Node e : n.elements()) l.push_back(to_value(e));
            return Value(std::move(l));
        }
        case K::Map: {
            Map m;
            m.reserve(n.size());
            n.each_member([&](std::string_view k, Node v) { m.emplace_back(std::string(k), to_value(v)); });
            return Value(std::move(m));
        }
        default: return Value(nullptr);
    }
}

Value decode(std::string_view data, Input input, Limits limits) {
    Parser p(limits);
    return to_value(p.parse(data, input));
}

namespace {

// Four 16-bit code units, all ASCII with nothing to escape.
inline bool plain_units(const std::uint16_t* s) {
    std::uint64_t w;
    std::memcpy(&w, s, 8);
    if (w & 0xFF80FF80FF80FF80ull) return false;
    return escape::lanes<std::uint16_t>(w) == 0;
}

// What each byte value asks of the string writer: 0 copy it, 1 escape it, 2 encode it as a
// code point (from 0x80 up, when the units are code points rather than UTF-8 bytes).
struct ByteClass {
    std::uint8_t utf8[256];
    std::uint8_t code_point[256];
    constexpr ByteClass() : utf8(), code_point() {
        for (int c = 0; c < 256; ++c) {
            utf8[c] = escape::needed(static_cast<char32_t>(c)) ? 1 : 0;
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
            for (; i + 8 <= n && plain8<!kUtf8>(s + i); i += 8, p += 8) std::memcpy(p, s + i, 8);
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
            p = escape::put(static_cast<unsigned char>(c), p);
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
