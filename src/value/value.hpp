// The dynamic value every module exchanges: null, bool, integers, doubles, text, lists, ordered maps.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace kamo {

// How deep lists and maps may nest in a Value: deep enough for any real record, shallow enough
// that the recursive walks over one (decoding, encoding, conversion) never near the stack's end.
// The decoder and the reader of Python objects refuse deeper ones.
inline constexpr int kMaxDepth = 512;

// An integer beyond 64 bits, kept as its exact decimal text ("-" then digits, no leading zeros).
struct BigInt {
    std::string digits;
    bool operator==(const BigInt&) const = default;
};

// Text that lives for the whole process (labels, keys, fixed messages). The binding caches one
// Python string per such text, so constant labels cost no allocation when records are converted.
struct StaticText {
    std::string_view text;
    bool operator==(const StaticText&) const = default;
};

class Value;
using List = std::vector<Value>;
using Member = std::pair<std::string, Value>;
// Insertion-ordered map; records are small, so lookups scan.
using Map = std::vector<Member>;

class Value {
public:
    enum class Kind : std::uint8_t { Null, Bool, Int, Big, Float, Str, Static, List, Map };

    Value() = default;
    Value(std::nullptr_t) {}
    Value(bool b) : v_(b) {}
    Value(int i) : v_(std::int64_t{i}) {}
    Value(std::int64_t i) : v_(i) {}
    Value(BigInt b) : v_(std::move(b)) {}
    Value(double d) : v_(d) {}
    Value(std::string s) : v_(std::move(s)) {}
    Value(const char*) = delete;  // say which: owned text or StaticText
    Value(StaticText s) : v_(s) {}
    Value(kamo::List l) : v_(std::move(l)) {}
    Value(kamo::Map m) : v_(std::move(m)) {}

    Kind kind() const { return static_cast<Kind>(v_.index()); }
    bool is_null() const { return kind() == Kind::Null; }
    bool is_bool() const { return kind() == Kind::Bool; }
    // Integer in the JSON sense: 64-bit or big, never a bool.
    bool is_int() const { return kind() == Kind::Int || kind() == Kind::Big; }
    bool is_float() const { return kind() == Kind::Float; }
    bool is_str() const { return kind() == Kind::Str || kind() == Kind::Static; }
    bool is_list() const { return kind() == Kind::List; }
    bool is_map() const { return kind() == Kind::Map; }

    bool as_bool() const { return std::get<bool>(v_); }
    std::int64_t as_int() const { return std::get<std::int64_t>(v_); }
    const BigInt& as_big() const { return std::get<BigInt>(v_); }
    double as_float() const { return std::get<double>(v_); }
    std::string_view as_str() const {
        if (auto* s = std::get_if<std::string>(&v_)) return *s;
        return std::get<StaticText>(v_).text;
    }
    bool is_static() const { return kind() == Kind::Static; }
    const kamo::List& as_list() const { return std::get<kamo::List>(v_); }
    kamo::List& as_list() { return std::get<kamo::List>(v_); }
    const kamo::Map& as_map() const { return std::get<kamo::Map>(v_); }
    kamo::Map& as_map() { return std::get<kamo::Map>(v_); }

    // Map member by key, or nullptr when absent (or when this is not a map).
    const Value* find(std::string_view key) const {
        if (!is_map()) return nullptr;
        for (const auto& m : as_map())
            if (m.first == key) return &m.second;
        return nullptr;
    }
    Value* find(std::string_view key) {
        return const_cast<Value*>(static_cast<const Value*>(this)->find(key));
    }

    // Python truthiness of a decoded value.
    bool truthy() const;

    bool operator==(const Value& o) const;

private:
    std::variant<std::monostate, bool, std::int64_t, BigInt, double, std::string, StaticText,
                 kamo::List, kamo::Map>
        v_;
};

inline bool Value::truthy() const {
    switch (kind()) {
        case Kind::Null: return false;
        case Kind::Bool: return as_bool();
        case Kind::Int: return as_int() != 0;
        case Kind::Big: return true;  // never zero: zero fits 64 bits
        case Kind::Float: return as_float() != 0.0;
        case Kind::Str:
        case Kind::Static: return !as_str().empty();
        case Kind::List: return !as_list().empty();
        case Kind::Map: return !as_map().empty();
    }
    return false;
}

// Structural equality; owned and static text compare by content, ints by value.
inline bool Value::operator==(const Value& o) const {
    if (is_str() && o.is_str()) return as_str() == o.as_str();
    if (kind() != o.kind()) return false;
    switch (kind()) {
        case Kind::Null: return true;
        case Kind::Bool: return as_bool() == o.as_bool();
        case Kind::Int: return as_int() == o.as_int();
        case Kind::Big: return as_big() == o.as_big();
        case Kind::Float: return as_float() == o.as_float();
        case Kind::List: return as_list() == o.as_list();
        case Kind::Map: return as_map() == o.as_map();
        default: return false;
    }
}

// Shorthand for a constant text value.
constexpr StaticText lit(std::string_view s) { return StaticText{s}; }

}  // namespace kamo
