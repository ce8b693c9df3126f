// A set of strings held by view, numbered in insertion order; reused without allocating again.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string_view>
#include <utility>
#include <vector>

namespace runlens {

class ViewSet {
public:
    static constexpr std::uint32_t npos = UINT32_MAX;

    // Empties the set, with room for about n strings.
    void clear(std::size_t n = 0) {
        keys_.clear();
        std::size_t want = 16;
        while (want < 2 * n) want *= 2;
        // A table much larger than this use needs (left by a large document) is cut back, so
        // clearing stays in proportion to the use.
        if (slots_.size() < want || slots_.size() > 8 * want)
            slots_.assign(want, 0);
        else
            std::fill(slots_.begin(), slots_.end(), 0);
        mask_ = slots_.size() - 1;
    }

    std::size_t size() const { return keys_.size(); }
    std::string_view operator[](std::uint32_t i) const { return keys_[i]; }

    // Adds s unless present; returns its number and whether it is new. s must outlive the set's
    // use of it.
    std::pair<std::uint32_t, bool> insert(std::string_view s) {
        if (2 * (keys_.size() + 1) > slots_.size()) grow();
        std::size_t at = probe(s);
        if (slots_[at]) return {slots_[at] - 1, false};
        keys_.push_back(s);
        slots_[at] = static_cast<std::uint32_t>(keys_.size());
        return {slots_[at] - 1, true};
    }

    // The number of s, or npos.
    std::uint32_t find(std::string_view s) const {
        if (slots_.empty()) return npos;
        std::uint32_t slot = slots_[probe(s)];
        return slot ? slot - 1 : npos;
    }

private:
    // The slot holding s, or the empty slot where it would go.
    std::size_t probe(std::string_view s) const {
        std::size_t at = std::hash<std::string_view>()(s) & mask_;
        while (slots_[at] && keys_[slots_[at] - 1] != s) at = (at + 1) & mask_;
        return at;
    }

    void grow() {
        std::size_t want = slots_.empty() ? 16 : slots_.size() * 2;
        slots_.assign(want, 0);
        mask_ = want - 1;
        for (std::size_t i = 0; i < keys_.size(); ++i) slots_[probe(keys_[i])] = static_cast<std::uint32_t>(i + 1);
    }

    std::vector<std::string_view> keys_;
    std::vector<std::uint32_t> slots_;  // 0: empty; else number + 1
    std::size_t mask_ = 0;
};

}  // namespace runlens
