// A set of strings held by view, numbered in insertion order; reused without allocating again.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>
#include <utility>

#include "runlens/open_table.hpp"

namespace runlens {

class ViewSet {
public:
    static constexpr std::uint32_t npos = OpenTable<std::string_view>::npos;

    // Empties the set, with room for about n strings.
    void clear(std::size_t n = 0) { table_.clear(n); }

    std::size_t size() const { return table_.size(); }
    std::string_view operator[](std::uint32_t i) const { return table_[i]; }

    // Adds s unless present; returns its number and whether it is new. s must outlive the set's
    // use of it.
    std::pair<std::uint32_t, bool> insert(std::string_view s) { return table_.insert(hash(s), s, same(s)); }

    // The number of s, or npos.
    std::uint32_t find(std::string_view s) const { return table_.find(hash(s), same(s)); }

private:
    static std::size_t hash(std::string_view s) { return std::hash<std::string_view>()(s); }
    struct Same {
        std::string_view s;
        bool operator()(std::string_view key) const { return key == s; }
    };
    static Same same(std::string_view s) { return Same{s}; }

    OpenTable<std::string_view> table_;
};

}  // namespace runlens
