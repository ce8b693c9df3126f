// The host's limit on decimal integer text, as int() and json.loads apply it.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace kamo {

// Python's default sys.get_int_max_str_digits(), and the lowest limit sys.set_int_max_str_digits()
// takes besides 0: text of up to that many digits always converts, whatever the limit.
inline constexpr std::size_t kDefaultMaxIntDigits = 4300;
inline constexpr std::size_t kLeastMaxIntDigits = 640;

// Why int() refuses a decimal integer of `digits` digits (sign aside) under `limit` (0: no limit),
// in Python's own words; nothing when it converts.
inline std::optional<std::string> int_digits_refusal(std::size_t digits, std::size_t limit) {
    if (limit == 0 || digits <= limit) return std::nullopt;
    return "Exceeds the limit (" + std::to_string(limit) + " digits) for integer string conversion: value has " +
           std::to_string(digits) + " digits; use sys.set_int_max_str_digits() to increase the limit";
}

}  // namespace kamo
