// Escaping of untrusted values for the text listing.
#include "runprint/text.hpp"

#include <array>
#include <cstring>

#include "value/json.hpp"
#include "value/unicode.hpp"
#include "value/utf8.hpp"

namespace runprint {
namespace {

// Every piece of text a character can turn into is at most eight ASCII bytes ("\u10ffff"), kept
// in a word: byte k (counting from the least significant) is the k-th character.
using Word = std::uint64_t;

constexpr char kHex[] = "0123456789abcdef";

// Length of the hidden-character escape: \u and at least four lowercase hex digits.
[[gnu::always_inline]] inline std::size_t escape_length(char32_t c) {
    return 6 + (c >= 0x10000) + (c >= 0x100000);
}

// The hidden-character escape of c. Six digits are looked up a byte at a time, then the leading
// ones beyond the needed count are shifted out; no branch on c.
[[gnu::always_inline]] inline Word escape_word(char32_t c) {
    static constexpr auto pairs = [] {
        std::array<std::uint16_t, 256> t{};
        for (unsigned b = 0; b < 256; ++b)
            t[b] = static_cast<std::uint16_t>(kHex[b >> 4] | kHex[b & 15] << 8);
        return t;
    }();
    const Word digits = Word{pairs[(c >> 16) & 0xFF]} | Word{pairs[(c >> 8) & 0xFF]} << 16 | Word{pairs[c & 0xFF]} << 32;
    const std::size_t drop = 8 - escape_length(c);
    return Word{'\\'} | Word{'u'} << 8 | (digits >> (8 * drop)) << 16;
}

// How a code point below 256 shows: len 1 is the character itself, otherwise word holds its
// escape (the JSON encoder's, or the hidden-character one).
struct Shown {
    std::uint8_t len;
    Word word;
};
using Latin1 = std::array<Shown, 256>;

// in_string: inside a string body, where the JSON encoder's escapes come first. Taken from the
// encoder's own table, so the two cannot disagree.
Latin1 make_latin1(bool in_string) {
    Latin1 t{};
    for (char32_t c = 0; c < 256; ++c) {
        Shown& e = t[c];
        const kamo::json::escape::Escape& json = kamo::json::escape::kTable.byte[c];
        if (in_string && json.size) {
            e.len = json.size;
            for (std::size_t k = 0; k < json.size; ++k) e.word |= Word{static_cast<unsigned char>(json.text[k])} << (8 * k);
        } else if (kamo::unicode::hidden(c)) {
            e.len = static_cast<std::uint8_t>(escape_length(c));
            e.word = escape_word(c);
        } else {
            e.len = 1;
        }
    }
    return t;
}

const Latin1& string_latin1() {
    static const Latin1 t = make_latin1(true);
    return t;
}

const Latin1& json_text_latin1() {
    static const Latin1 t = make_latin1(false);
    return t;
}

// Escapes are dense in hostile text and fall at random, so the per-character steps below do not
// branch on whether a character is escaped: both answers are computed and one is picked by a mask.

// All ones when b holds, else zero.
template <class T>
[[gnu::always_inline]] inline T mask(bool b) {
    return T{0} - static_cast<T>(b);
}

template <class T>
[[gnu::always_inline]] inline T pick(bool b, T yes, T no) {
    return no ^ ((yes ^ no) & mask<T>(b));
}

// Units c shows as; 1 when it stays as it is.
[[gnu::always_inline]] inline std::size_t shown_length_of(const Latin1& latin, char32_t c) {
    const std::size_t hidden = kamo::unicode::hidden(c);
    const std::size_t wide = 1 + hidden * (escape_length(c) - 1);
    return pick<std::size_t>(c < 256, latin[c & 255].len, wide);
}

// The escape c shows as, when shown_length_of(c) is more than 1.
[[gnu::always_inline]] inline Word shown_word(const Latin1& latin, char32_t c) {
    return pick<Word>(c < 256, latin[c & 255].word, escape_word(c));
}

void append_word(Word w, std::size_t len, std::string& out) {
    char buf[8];
    for (std::size_t k = 0; k < len; ++k) buf[k] = static_cast<char>((w >> (8 * k)) & 0xFF);
    out.append(buf, len);
}

// Where a step starts: inside a string body, the JSON encoder's escapes come first; over JSON
// text already written, only the hidden characters are left.
enum class Step { StringBody, JsonText };

template <Step S>
const Latin1& latin1() {
    return S == Step::StringBody ? string_latin1() : json_text_latin1();
}

// Eight bytes of ASCII that show as themselves.
template <Step S>
[[gnu::always_inline]] inline bool plain8(const char* p) {
    constexpr Word ones = 0x0101010101010101ull, high = 0x8080808080808080ull;
    Word w;
    std::memcpy(&w, p, sizeof w);
    // High bit set: 0x80 or more, or 0x7F (which + 1 turns into 0x80). A carry or borrow only
    // ever reaches past a byte that is flagged already.
    Word special = (w | (w + ones)) & high;
    if constexpr (S == Step::StringBody) special |= kamo::json::escape::lanes<std::uint8_t>(w);
    return special == 0;
}

// Offset of the first code point at or after i in UTF-8 text that does not show as itself, or
// s.size(); c and len get that code point and its byte length. Ill-formed bytes show as they
// are; an encoded lone surrogate is a code point like any other.
template <Step S>
std::size_t next_shown(std::string_view s, std::size_t i, char32_t& c, std::size_t& len) {
    const Latin1& latin = latin1<S>();
    const std::size_t n = s.size();
    while (i < n) {
        while (i + 8 <= n && plain8<S>(s.data() + i)) i += 8;
        if (i >= n) break;
        const auto b = static_cast<unsigned char>(s[i]);
        if (b < 0x80) {
            if (latin[b].len != 1) {
                c = b;
                len = 1;
                return i;
            }
            ++i;
            continue;
        }
        len = kamo::utf8::decode<kamo::utf8::Surrogates::Accept>(s, i, c);
        if (len && shown_length_of(latin, c) != 1) return i;
        i += len ? len : 1;
    }
    return n;
}

// Appends s from `from` on, as step S shows it; the first code point to change is already known.
template <Step S>
void append_shown(std::string_view s, std::size_t from, std::size_t at, char32_t c, std::size_t len, std::string& out) {
    const Latin1& latin = latin1<S>();
    while (at < s.size()) {
        out.append(s.data() + from, at - from);
        append_word(shown_word(latin, c), shown_length_of(latin, c), out);
        from = at + len;
        at = next_shown<S>(s, from, c, len);
    }
    out.append(s.data() + from, s.size() - from);
}

void append_value(const kamo::Value& value, std::string& out) {
    char32_t c = 0;
    std::size_t len = 0;
    if (value.is_str()) {
        std::string_view s = value.as_str();
        std::size_t at = next_shown<Step::StringBody>(s, 0, c, len);
        append_shown<Step::StringBody>(s, 0, at, c, len, out);
        return;
    }
    // The JSON text goes straight into out and is left there when nothing in it is hidden.
    const std::size_t start = out.size();
    kamo::json::encode(value, out);
    std::size_t at = next_shown<Step::JsonText>(std::string_view(out).substr(start), 0, c, len);
    if (start + at == out.size()) return;
    std::string json = out.substr(start);
    out.resize(start);
    append_shown<Step::JsonText>(json, 0, at, c, len, out);
}

}  // namespace

std::string text(const kamo::Value& value) {
    std::string out;
    append_value(value, out);
    return out;
}

void append_text(const kamo::Value& value, std::string& out) { append_value(value, out); }

namespace {

// Offset of the first character that does not show as itself, or n; kept gets the bitwise OR of
// the characters before it, or a value in the same width class.
template <class Unit>
std::size_t first_shown(const Latin1& latin, const Unit* s, std::size_t n, char32_t& kept) {
    std::size_t i = 0;
    char32_t bits = 0;
    if constexpr (sizeof(Unit) == 1) {  // plain ASCII adds nothing to kept's width class
        while (i + 8 <= n && plain8<Step::StringBody>(reinterpret_cast<const char*>(s + i))) i += 8;
    }
    for (; i < n; ++i) {
        const char32_t c = s[i];
        if (c < 256 ? latin[c].len != 1 : kamo::unicode::hidden(c)) break;
        bits |= c;
    }
    kept = bits;
    return i;
}

}  // namespace

template <class Unit>
ShownSize measure_shown(const Unit* s, std::size_t n) {
    const Latin1& latin = string_latin1();
    // Plain text is the common case: a scan whose branches go one way, then a count that has none.
    ShownSize size;
    size.unchanged = first_shown(latin, s, n, size.kept);
    std::size_t len = size.unchanged, escaped = 0;
    char32_t bits = 0;
    for (std::size_t i = size.unchanged; i < n; ++i) {
        const char32_t c = s[i];
        const std::size_t k = shown_length_of(latin, c);
        len += k;
        escaped += k != 1;
        bits |= c & mask<char32_t>(k == 1);
    }
    size.length = len;
    size.escaped = escaped;
    size.kept |= bits;
    return size;
}

template <class Unit, class Out>
void write_shown(const Unit* s, std::size_t n, const ShownSize& size, Out* out) {
    const Latin1& latin = string_latin1();
    Out* const end = out + size.length;
    std::size_t i = 0;
    for (; i < size.unchanged; ++i) out[i] = static_cast<Out>(s[i]);
    out += i;
    // Where escapes are dense, eight units go out for every character and the next one starts
    // where its text ends, which is safe while eight units of room remain. Where they are sparse,
    // a branch that mostly goes one way costs less.
    const bool dense = size.escaped * 8 > n - size.unchanged;
    for (; dense && i < n && end - out >= 8; ++i) {
        const char32_t c = s[i];
        const std::size_t k = shown_length_of(latin, c);
        const Word w = shown_word(latin, c);
        out[0] = static_cast<Out>(pick<char32_t>(k == 1, c, U'\\'));
        for (unsigned b = 1; b < 8; ++b) out[b] = static_cast<Out>((w >> (8 * b)) & 0xFF);
        out += k;
    }
    for (; i < n; ++i) {
        const char32_t c = s[i];
        const std::size_t k = shown_length_of(latin, c);
        if (k == 1) {
            *out++ = static_cast<Out>(c);
            continue;
        }
        const Word w = shown_word(latin, c);
        for (std::size_t b = 0; b < k; ++b) *out++ = static_cast<Out>((w >> (8 * b)) & 0xFF);
    }
}

template ShownSize measure_shown(const std::uint8_t*, std::size_t);
template ShownSize measure_shown(const std::uint16_t*, std::size_t);
template ShownSize measure_shown(const std::uint32_t*, std::size_t);
template void write_shown(const std::uint8_t*, std::size_t, const ShownSize&, std::uint8_t*);
template void write_shown(const std::uint16_t*, std::size_t, const ShownSize&, std::uint8_t*);
template void write_shown(const std::uint16_t*, std::size_t, const ShownSize&, std::uint16_t*);
template void write_shown(const std::uint32_t*, std::size_t, const ShownSize&, std::uint8_t*);
template void write_shown(const std::uint32_t*, std::size_t, const ShownSize&, std::uint16_t*);
template void write_shown(const std::uint32_t*, std::size_t, const ShownSize&, std::uint32_t*);

}  // namespace runprint
