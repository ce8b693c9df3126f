// Keys numbered in insertion order and found by hash with open addressing; cleared and reused
// without allocating again. The caller gives each key's hash and the equality, so a key can be
// looked up by anything that compares with it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace runlens {

// Up to Scan keys are found by a scan of the stored hashes, which beats probing a table for a
// handful; past that a table of slots is kept.
template <class Key, std::size_t Scan = 0>
class OpenTable {
public:
    static constexpr std::uint32_t npos = UINT32_MAX;

    // Empties the table, with room for about n keys. A table of slots much larger than this use
    // needs (left by a large one before) is cut back, so clearing stays in proportion to the use.
    void clear(std::size_t n = 0) {
        keys_.clear();
        hashes_.clear();
        if (n <= Scan) {
            slots_.clear();
            return;
        }
        std::size_t want = kMinSlots;
        while (want < 2 * n) want *= 2;
        if (slots_.size() < want || slots_.size() > 8 * want)
            slots_.assign(want, 0);
        else
            std::fill(slots_.begin(), slots_.end(), 0);
    }

    std::size_t size() const { return keys_.size(); }
    const Key& operator[](std::uint32_t i) const { return keys_[i]; }

    // The number of the key with this hash that same(key) accepts, or npos.
    template <class Same>
    std::uint32_t find(std::size_t hash, Same&& same) const {
        if (slots_.empty()) {
            for (std::size_t i = 0; i < keys_.size(); ++i)
                if (hashes_[i] == hash && same(keys_[i])) return static_cast<std::uint32_t>(i);
            return npos;
        }
        std::uint32_t slot = slots_[probe(hash, same)];
        return slot ? slot - 1 : npos;
    }

    // Adds key unless one that same accepts is there: the number of the key kept, and whether it
    // is the new one.
    template <class Same>
    std::pair<std::uint32_t, bool> insert(std::size_t hash, Key key, Same&& same) {
        if (std::uint32_t n = find(hash, same); n != npos) return {n, false};
        return {push(hash, std::move(key)), true};
    }

    // Adds a key the caller knows is not there yet; returns its number.
    std::uint32_t push(std::size_t hash, Key key) {
        keys_.push_back(std::move(key));
        hashes_.push_back(hash);
        const auto n = static_cast<std::uint32_t>(keys_.size() - 1);
        if (!slots_.empty() || keys_.size() > Scan) {
            if (2 * keys_.size() > slots_.size())
                grow();
            else
                place(n);
        }
        return n;
    }

private:
    static constexpr std::size_t kMinSlots = 16;

    // The slot holding the key same accepts, or the empty slot where a key of this hash goes.
    template <class Same>
    std::size_t probe(std::size_t hash, Same&& same) const {
        const std::size_t mask = slots_.size() - 1;
        std::size_t at = hash & mask;
        while (slots_[at] && !(hashes_[slots_[at] - 1] == hash && same(keys_[slots_[at] - 1]))) at = (at + 1) & mask;
        return at;
    }

    // Numbers are distinct, so a new one only needs an empty slot.
    void place(std::uint32_t n) {
        const std::size_t mask = slots_.size() - 1;
        std::size_t at = hashes_[n] & mask;
        while (slots_[at]) at = (at + 1) & mask;
        slots_[at] = n + 1;
    }

    void grow() {
        std::size_t want = std::max(kMinSlots, slots_.size() * 2);
        while (want < 2 * keys_.size()) want *= 2;
        slots_.assign(want, 0);
        for (std::size_t i = 0; i < keys_.size(); ++i) place(static_cast<std::uint32_t>(i));
    }

    std::vector<Key> keys_;
    std::vector<std::size_t> hashes_;
    std::vector<std::uint32_t> slots_;  // empty while scanning; else 0 for a free slot, else number + 1
};

}  // namespace runlens
