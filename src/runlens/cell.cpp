// The equality rule of stored values and its hash.
#include "runlens/cell.hpp"

#include <functional>

namespace runlens {

namespace {

// Every int64 converts to a double; the double is integral and within int64 range here only
// when it lies in [-2^63, 2^63).
constexpr double kTwo63 = 9223372036854775808.0;

bool integral_in_range(double d) { return d >= -kTwo63 && d < kTwo63 && static_cast<double>(static_cast<std::int64_t>(d)) == d; }

bool int_equals_real(std::int64_t i, double r) {
    return integral_in_range(r) && static_cast<std::int64_t>(r) == i;
}

}  // namespace

bool same_value(const CellView& a, const CellView& b) {
    using T = CellType;
    switch (a.type) {
        case T::Integer:
            if (b.type == T::Integer) return a.integer == b.integer;
            return b.type == T::Real && int_equals_real(a.integer, b.real);
        case T::Real:
            if (b.type == T::Real) return a.real == b.real;
            return b.type == T::Integer && int_equals_real(b.integer, a.real);
        case T::Text:
        case T::Blob: return a.type == b.type && a.bytes == b.bytes;
        case T::Null: return b.type == T::Null;
        case T::Other: return false;
    }
    return false;
}

std::size_t value_hash(const CellView& c) {
    using T = CellType;
    switch (c.type) {
        case T::Integer: return std::hash<std::int64_t>()(c.integer);
        // An integral real hashes like the integer it equals.
        case T::Real:
            if (integral_in_range(c.real)) return std::hash<std::int64_t>()(static_cast<std::int64_t>(c.real));
            return std::hash<double>()(c.real);
        case T::Text: return std::hash<std::string_view>()(c.bytes) ^ 0x9e3779b97f4a7c15ull;
        case T::Blob: return std::hash<std::string_view>()(c.bytes) ^ 0x51ed270b2b4a1d3full;
        default: return static_cast<std::size_t>(c.type);
    }
}

}  // namespace runlens
