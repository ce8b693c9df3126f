// Validation of one stored run row: id, version, material snapshot and fingerprints.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "runlens/cell.hpp"
#include "runlens/environment.hpp"
#include "runlens/store.hpp"
#include "runlens/view_set.hpp"
#include "value/json.hpp"

namespace runlens {

// The account path an item records for a platform: its "platforms" map's member under the
// platform key followed by "_account"; absent when the item has no such member.
kamo::json::Node account_path(kamo::json::Node item, std::string_view platform);

// A checked runs row: the decoded snapshot and fingerprints, and the entries the run must have,
// one slot per (item, enabled platform) in item order. Checking the next row reuses the parsers
// and tables, so it allocates nothing once they have grown to size.
class Snapshot {
public:
    static constexpr std::uint32_t npos = UINT32_MAX;

    // conn, when given, is polled for a stop while long snapshots are checked.
    explicit Snapshot(const Environment& env, Connection* conn = nullptr)
        : env_(env), conn_(conn), items_parser_(env.limits), prints_parser_(env.limits) {}
    Snapshot(const Snapshot&) = delete;
    Snapshot& operator=(const Snapshot&) = delete;

    // Checks the row in a fixed order; the first failing check raises its RUN-003 failure. What
    // it returns stays valid until the next check, and while the row lives.
    void check(const Row& row);

    kamo::json::Node items() const { return items_; }                // the list, as decoded
    kamo::json::Node fingerprints() const { return fingerprints_; }  // the map, as decoded

    std::size_t item_count() const { return item_nodes_.size(); }
    kamo::json::Node item(std::size_t i) const { return item_nodes_[i]; }
    // The slots of item i are first_slot(i) up to first_slot(i + 1).
    std::uint32_t first_slot(std::size_t i) const { return first_slot_[i]; }
    std::size_t slot_count() const { return slot_platform_.size(); }
    std::string_view slot_platform(std::uint32_t slot) const { return slot_platform_[slot]; }
    // The slot of an entry for (item_index, platform), or npos when no item enables that pair.
    std::uint32_t slot_of(std::int64_t item_index, std::string_view platform) const;
    // The digest recorded for a material path; the check guarantees every one has a digest.
    kamo::json::Node digest(std::string_view path) const { return digests_[paths_.find(path)]; }

private:
    void check_item(kamo::json::Node item);
    bool known_platform(std::string_view key) const;
    void material(kamo::json::Node path);

    const Environment& env_;
    Connection* conn_;
    kamo::json::Parser items_parser_, prints_parser_;
    kamo::json::Node items_, fingerprints_;
    std::vector<kamo::json::Node> item_nodes_;
    std::vector<std::uint32_t> first_slot_;
    std::vector<std::string_view> slot_platform_;
    ViewSet paths_;                           // fingerprint paths, in stored order
    std::vector<kamo::json::Node> digests_;   // their digests
    std::vector<bool> used_;                  // which paths some item names
    std::size_t used_count_ = 0;
    bool unknown_material_ = false;           // an item names a path without a fingerprint
};

}  // namespace runlens
