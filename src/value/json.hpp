// Strict JSON decoding of stored columns and the JSON text form written for people and scripts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "int_digits.hpp"
#include "value.hpp"

namespace kamo::json {

// A decoding failure; what() is the decoder's text ("duplicate record field", "NaN", ...).
class DecodeError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// How a stored cell reached the decoder: text is UTF-8 already (ValidText: checked by the caller,
// well-formed and without surrogates); bytes need encoding detection.
enum class Input { Text, ValidText, Bytes };

// What the host allows while decoding, read once per query.
struct Limits {
    // sys.get_int_max_str_digits(): a longer integer fails as int_digits_refusal says.
    std::size_t max_int_digits = kDefaultMaxIntDigits;
};

// One value of a parsed document: kind, scalar or the extent of a container.
struct Token {
    Value::Kind kind;
    std::uint32_t size;  // bytes of a string or a big integer's digits; elements or members
    union {
        bool boolean;
        std::int64_t integer;
        double real;
        const char* text;    // string (unescaped) or big integer ("-" then digits)
        std::uint32_t end;   // list or map: index one past its last token
    };
};

// A read-only view of one value of a parsed document. A default Node stands for an absent value:
// it is no kind of value, so every type test is false. Valid until its parser parses again.
class Node {
public:
    Node() = default;
    Node(const Token* tokens, std::uint32_t index) : t_(tokens), i_(index) {}

    explicit operator bool() const { return t_ != nullptr; }
    Value::Kind kind() const { return tok().kind; }
    bool is_null() const { return t_ && tok().kind == Value::Kind::Null; }
    bool is_bool() const { return t_ && tok().kind == Value::Kind::Bool; }
    // Integer in the JSON sense: 64-bit or big, never a bool.
    bool is_int() const { return t_ && (tok().kind == Value::Kind::Int || tok().kind == Value::Kind::Big); }
    bool is_float() const { return t_ && tok().kind == Value::Kind::Float; }
    bool is_str() const { return t_ && tok().kind == Value::Kind::Str; }
    bool is_list() const { return t_ && tok().kind == Value::Kind::List; }
    bool is_map() const { return t_ && tok().kind == Value::Kind::Map; }

    bool as_bool() const { return tok().boolean; }
    std::int64_t as_int() const { return tok().integer; }
    std::string_view big_digits() const { return {tok().text, tok().size}; }
    double as_float() const { return tok().real; }
    std::string_view as_str() const { return {tok().text, tok().size}; }
    // Elements of a list, members of a map.
    std::size_t size() const { return tok().size; }

    // Python truthiness; an absent value is false.
    bool truthy() const;

    // Children in order: the elements of a list, or key and value alternately of a map.
    class Children {
    public:
        class iterator {
        public:
            iterator(const Token* t, std::uint32_t i) : t_(t), i_(i) {}
            Node operator*() const { return Node(t_, i_); }
            iterator& operator++() {
                const Token& k = t_[i_];
                i_ = (k.kind == Value::Kind::List || k.kind == Value::Kind::Map) ? k.end : i_ + 1;
                return *this;
            }
            bool operator!=(const iterator& o) const { return i_ != o.i_; }

        private:
            const Token* t_;
            std::uint32_t i_;
        };
        iterator begin() const { return {t_, first_}; }
        iterator end() const { return {t_, last_}; }

    private:
        friend class Node;
        Children(const Token* t, std::uint32_t first, std::uint32_t last) : t_(t), first_(first), last_(last) {}
        const Token* t_;
        std::uint32_t first_, last_;
    };
    // Elements of a list (empty for any other value).
    Children elements() const;

    // The member of a map under key, or an absent Node (also when this is not a map).
    Node find(std::string_view key) const {
        return find_if([key](std::string_view k) { return k == key; });
    }
    // The first member of a map whose key satisfies pred, or an absent Node.
    template <class Pred>
    Node find_if(Pred&& pred) const {
        if (!is_map()) return Node();
        for (std::uint32_t k = i_ + 1, end = tok().end; k < end;) {
            Node value(t_, k + 1);
            if (pred(Node(t_, k).as_str())) return value;
            k = value.next();
        }
        return Node();
    }
    // Members of a map in order, as (key, value); call only on a map.
    template <class F>
    void each_member(F&& f) const {
        for (std::uint32_t k = i_ + 1, end = tok().end; k < end;) {
            Node value(t_, k + 1);
            f(Node(t_, k).as_str(), value);
            k = value.next();
        }
    }

    // Same value as o (numbers by kind: 1 and 1.0 differ, as decoded values do).
    bool operator==(const Node& o) const;

    std::uint32_t index() const { return i_; }

private:
    const Token& tok() const { return t_[i_]; }
    std::uint32_t next() const {
        const Token& k = tok();
        return (k.kind == Value::Kind::List || k.kind == Value::Kind::Map) ? k.end : i_ + 1;
    }

    const Token* t_ = nullptr;
    std::uint32_t i_ = 0;
};

// A copy of n as a Value (an absent Node gives null).
Value to_value(Node n);

// A strict JSON parser that keeps its buffers between documents: parsing one more document of a
// size seen before allocates nothing. Strings without escapes point into the parsed text, the
// others into the parser's own buffer.
class Parser {
public:
    explicit Parser(Limits limits = {}) : limits_(limits) {}
    Parser(const Parser&) = delete;
    Parser& operator=(const Parser&) = delete;

    // Parses one document and returns its root, valid until the next parse and while data lives.
    // Duplicate member names fail, NaN/Infinity fail, integers past the digit limit fail, lone
    // surrogates fail, nesting is bounded. Throws DecodeError.
    Node parse(std::string_view data, Input input);

    // A value made elsewhere, read the way parsed documents are: its strings are viewed where
    // they are. Valid until the next parse and while v lives.
    Node adopt(const Value& v);

    const Limits& limits() const { return limits_; }

private:
    class Run;
    void push(const Value& v);
    Limits limits_;
    std::vector<Token> tokens_;
    std::vector<std::uint32_t> keys_;         // key tokens of the open maps, innermost last
    std::vector<std::string_view> sorted_;    // scratch for the duplicate test of large maps
    std::string unescaped_;                   // strings that had escapes
    std::string transcoded_;                  // bytes in UTF-16 or UTF-32, as UTF-8
};

// Decode JSON text strictly into a Value (a one-off Parser). Throws DecodeError.
Value decode(std::string_view data, Input input, Limits limits = {});

// Append the JSON text of v, as json.dumps(v, ensure_ascii=False) writes it.
void encode(const Value& v, std::string& out);
inline std::string encode(const Value& v) {
    std::string out;
    encode(v, out);
    return out;
}

// Append s as the inside of a JSON string literal (no surrounding quotes).
void encode_string_body(std::string_view s, std::string& out);

// The rules of the text form, for every reader and writer of JSON text in the project (this
// codec, the writer of Python objects straight to UTF-8, and the text listing, which escapes
// string bodies this way first): one implementation of each.

// Room a string body may take per code unit: an escaped control character takes six bytes, more
// than any code point takes in UTF-8.
inline constexpr std::size_t kMaxBytesPerUnit = 6;
// Room a number may take.
inline constexpr std::size_t kMaxNumberBytes = 32;

// Which characters a string body escapes, and how. The decoder stops its plain runs at the same
// characters: unescaped, a control is refused and a quote or backslash means something else.
namespace escape {

// U+0000 to U+001F are escaped, and so are these marks; every other character stands as itself.
inline constexpr char32_t kFirstPlain = 0x20;
inline constexpr char kMarks[] = {'"', '\\'};

constexpr bool needed(char32_t c) {
    if (c < kFirstPlain) return true;
    for (char m : kMarks)
        if (c == static_cast<unsigned char>(m)) return true;
    return false;
}

// The escape of each byte value: `size` bytes of `text`, or size 0 for a byte that stands as
// itself. The short forms where JSON has one, else \u00 and two lowercase hex digits.
struct Escape {
    char text[kMaxBytesPerUnit];
    std::uint8_t size;
};
struct Table {
    Escape byte[256];
};
constexpr Table make_table() {
    Table t{};
    constexpr char hex[] = "0123456789abcdef";
    for (unsigned c = 0; c < 256; ++c) {
        if (!needed(c)) continue;
        Escape& e = t.byte[c];
        char letter = 0;
        switch (c) {
            case '"': letter = '"'; break;
            case '\\': letter = '\\'; break;
            case '\b': letter = 'b'; break;
            case '\f': letter = 'f'; break;
            case '\n': letter = 'n'; break;
            case '\r': letter = 'r'; break;
            case '\t': letter = 't'; break;
        }
        e.text[0] = '\\';
        if (letter) {
            e.text[1] = letter;
            e.size = 2;
        } else {
            const char u[] = {'u', '0', '0', hex[c >> 4], hex[c & 15]};
            for (int k = 0; k < 5; ++k) e.text[k + 1] = u[k];
            e.size = 6;
        }
    }
    return t;
}
inline constexpr Table kTable = make_table();

// Writes the escape of c, for which needed(c) holds, at p and returns its end; p must have room
// for kMaxBytesPerUnit bytes.
[[gnu::always_inline]] inline char* put(unsigned char c, char* p) {
    const Escape& e = kTable.byte[c];
    std::memcpy(p, e.text, kMaxBytesPerUnit);
    return p + e.size;
}

// Word-at-a-time form of needed(): w holds eight 8-bit or four 16-bit lanes (Lane is the lane's
// type); the result has the high bit of each lane that holds a character to escape. A lane above
// a hit may be flagged too (a borrow), a word without any hit never is. A lane from 0x80 up (8 bits)
// or 0x8000 up (16 bits) is never a hit, so UTF-8 bytes pass.
template <class Lane>
[[gnu::always_inline]] constexpr std::uint64_t lanes(std::uint64_t w) {
    constexpr std::uint64_t ones = ~std::uint64_t{0} / static_cast<Lane>(~Lane{0});
    constexpr std::uint64_t high = ones << (8 * sizeof(Lane) - 1);
    std::uint64_t hits = (w - ones * kFirstPlain) & ~w & high;
    for (char m : kMarks) {
        const std::uint64_t v = w ^ (ones * static_cast<unsigned char>(m));
        hits |= (v - ones) & ~v & high;
    }
    return hits;
}

}  // namespace escape

// Write the inside of a JSON string literal at p and return its end; p must have room for
// kMaxBytesPerUnit bytes per code unit; what escape::needed names is escaped as put writes it. The text
// is UTF-8 (bytes from 0x80 up are copied as they are) or code points of 8, 16 or 32 bits, the
// three layouts of a Python str; those are written as UTF-8, and a surrogate code point as the three
// bytes UTF-8 would give it (what Python's "surrogatepass" writes and reads back), with `surrogate`
// set so the caller knows the text is not well-formed UTF-8.
char* write_string_body(std::string_view utf8, char* p);
char* write_string_body(const std::uint8_t* s, std::size_t n, char* p);
char* write_string_body(const std::uint16_t* s, std::size_t n, char* p, bool& surrogate);
char* write_string_body(const std::uint32_t* s, std::size_t n, char* p, bool& surrogate);

// A double as Python's repr writes it (shortest round-trip digits), and NaN, Infinity and
// -Infinity as json.dumps writes those. Needs kMaxNumberBytes of room; returns the end.
char* write_double(double d, char* p);
// A 64-bit integer in decimal. Needs kMaxNumberBytes of room; returns the end.
char* write_int(std::int64_t i, char* p);

}  // namespace kamo::json
