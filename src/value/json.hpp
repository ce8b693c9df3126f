// Strict JSON decoding of stored columns and the JSON text form written for people and scripts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "value.hpp"

namespace kamo::json {

// A decoding failure; what() is the decoder's text ("duplicate record field", "NaN", ...).
class DecodeError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// How a stored cell reached the decoder: text is UTF-8 already; bytes need encoding detection.
enum class Input { Text, Bytes };

// Decode JSON text strictly: duplicate member names fail, NaN/Infinity fail, big integers stay
// exact, lone surrogates fail, nesting is bounded. Throws DecodeError.
Value decode(std::string_view data, Input input);

// Append the JSON text of v, as json.dumps(v, ensure_ascii=False) writes it.
void encode(const Value& v, std::string& out);
inline std::string encode(const Value& v) {
    std::string out;
    encode(v, out);
    return out;
}

// Well-formed UTF-8 without surrogates.
bool valid_utf8(std::string_view s);

// Append s as the inside of a JSON string literal (no surrounding quotes).
void encode_string_body(std::string_view s, std::string& out);

// The rules of the text form, for every writer of JSON text in the project (this encoder, and the
// one that writes Python objects straight to UTF-8): one implementation of each.

// Room a string body may take per code unit: an escaped control character takes six bytes, more
// than any code point takes in UTF-8.
inline constexpr std::size_t kMaxBytesPerUnit = 6;
// Room a number may take.
inline constexpr std::size_t kMaxNumberBytes = 32;

// Write the inside of a JSON string literal at p and return its end; p must have room for
// kMaxBytesPerUnit bytes per code unit. Only '"', '\\' and U+0000 to U+001F are escaped. The text
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
