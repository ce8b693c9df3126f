// Stored run validation: every value of a runs row is checked before anything is shown.
#include "runlens/snapshot.hpp"

#include <algorithm>

#include "runlens/failures.hpp"
#include "runlens/isodate.hpp"
#include "runlens/patterns.hpp"
#include "runlens/stored_json.hpp"

namespace runlens {

using kamo::json::Node;

namespace {

bool absolute(Node v) { return v.is_str() && absolute_path(v.as_str()); }

bool all_of(Node list, bool (*pred)(Node)) {
    for (Node e : list.elements())
        if (!pred(e)) return false;
    return true;
}

constexpr std::string_view kAccountSuffix = "_account";

}  // namespace

Node account_path(Node item, std::string_view platform) {
    return item.find("platforms").find_if([platform](std::string_view key) {
        return key.size() == platform.size() + kAccountSuffix.size() && key.substr(0, platform.size()) == platform &&
               key.substr(platform.size()) == kAccountSuffix;
    });
}

bool Snapshot::known_platform(std::string_view key) const {
    return std::find(env_.platforms.begin(), env_.platforms.end(), key) != env_.platforms.end();
}

void Snapshot::material(Node path) {
    std::uint32_t n = paths_.find(path.as_str());
    if (n == ViewSet::npos) {
        unknown_material_ = true;
    } else if (!used_[n]) {
        used_[n] = true;
        ++used_count_;
    }
}

void Snapshot::check_item(Node item) {
    Node type = item.find("content_type");
    if (!item.is_map() || !type.is_str() || (type.as_str() != "video" && type.as_str() != "note"))
        throw invalid("发布记录中的素材格式无效");

    Node enabled = item.find("enabled_platforms");
    Node accounts = item.find("platforms");
    const std::size_t first = slot_platform_.size();
    bool platforms_ok = enabled.is_list() && enabled.size() > 0 && (!accounts || accounts.is_map());
    if (platforms_ok) {
        for (Node p : enabled.elements()) {
            platforms_ok = p.is_str() && known_platform(p.as_str());
            // Known keys are distinct, so this stays within the size of the key table.
            for (std::size_t j = first; j < slot_platform_.size() && platforms_ok; ++j)
                platforms_ok = slot_platform_[j] != p.as_str();
            if (!platforms_ok) break;
            slot_platform_.push_back(p.as_str());
        }
    }
    if (!platforms_ok) throw invalid("发布记录中的平台无效");

    if (accounts) {
        for (std::size_t j = first; j < slot_platform_.size(); ++j) {
            Node path = account_path(item, slot_platform_[j]);
            if (path && !path.is_null() && !absolute(path)) throw invalid("发布记录中的原账号路径无效");
        }
    }

    for (std::string_view key : {"title", "desc"}) {
        Node v = item.find(key);
        if (v && !v.is_str()) throw invalid("发布记录中的文案无效");
    }

    if (Node tags = item.find("tags")) {
        if (!tags.is_list() || !all_of(tags, [](Node t) { return t.is_str(); })) throw invalid("发布记录中的标签无效");
    }

    Node when = item.find("publish_time");
    if (when && !when.is_null()) {
        if (!when.is_str())
            throw invalid("发布记录中的计划时间无效",
                          runfault::Cause::type("fromisoformat: argument must be str"));
        if (auto err = iso_datetime_error(when.as_str(), env_.iso))
            throw invalid("发布记录中的计划时间无效", runfault::Cause::value(*err));
    }

    Node video = item.find("video_file");
    Node images = item.find("images");
    if (images && (!images.is_list() || !all_of(images, absolute))) throw invalid("发布记录中的素材路径无效");
    if (video.truthy() && !absolute(video)) throw invalid("发布记录中的素材路径无效");

    bool has_images = images && images.size() > 0;
    if ((type.as_str() == "video" && !video.truthy()) || (type.as_str() == "note" && !has_images))
        throw invalid("发布记录缺少原始素材路径");

    if (video.truthy()) material(video);
    for (Node p : images.elements()) material(p);
}

void Snapshot::check(const Row& row) {
    CellView id = row.cell("run_id");
    CellView version = row.cell("version");
    if (!id.is_text() || !match_uuid(id.bytes) || !(equals_int(version, 1) || equals_int(version, 2)))
        throw invalid("发布记录编号或版本不受支持");

    const auto text = row.text_checked ? kamo::json::Input::ValidText : kamo::json::Input::Text;
    items_ = decode_stored_json(row.cell("snapshot"), items_parser_, text);
    fingerprints_ = decode_stored_json(row.cell("fingerprints"), prints_parser_, text);
    if (!items_.is_list() || items_.size() == 0 || !fingerprints_.is_map() || fingerprints_.size() == 0)
        throw invalid();

    // The decoder refuses duplicate keys, so every path is numbered once, in stored order.
    paths_.clear(fingerprints_.size());
    digests_.clear();
    bool prints_ok = true;
    fingerprints_.each_member([&](std::string_view path, Node digest) {
        prints_ok = prints_ok && absolute_path(path) && digest.is_str() && match_sha(digest.as_str());
        paths_.insert(path);
        digests_.push_back(digest);
    });
    if (!prints_ok) throw invalid("发布记录中的素材指纹已损坏");

    used_.assign(paths_.size(), false);
    used_count_ = 0;
    unknown_material_ = false;
    item_nodes_.clear();
    first_slot_.clear();
    slot_platform_.clear();
    std::size_t n = 0;
    for (Node item : items_.elements()) {
        if (conn_ && ++n % 1024 == 0) conn_->check();
        first_slot_.push_back(static_cast<std::uint32_t>(slot_platform_.size()));
        check_item(item);
        item_nodes_.push_back(item);
    }
    first_slot_.push_back(static_cast<std::uint32_t>(slot_platform_.size()));

    // The set of material paths equals the set of fingerprinted paths.
    if (unknown_material_ || used_count_ != paths_.size()) throw invalid("素材快照与保存的指纹不一致");
}

std::uint32_t Snapshot::slot_of(std::int64_t item_index, std::string_view platform) const {
    if (item_index < 0 || static_cast<std::uint64_t>(item_index) >= item_nodes_.size()) return npos;
    const auto i = static_cast<std::size_t>(item_index);
    for (std::uint32_t s = first_slot_[i]; s < first_slot_[i + 1]; ++s)
        if (slot_platform_[s] == platform) return s;
    return npos;
}

}  // namespace runlens
