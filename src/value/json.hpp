// Strict JSON decoding of stored columns and the JSON text form written for people and scripts.
#pragma once

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

}  // namespace kamo::json
