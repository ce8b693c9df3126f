// Stored run validation: every value of a runs row is checked before anything is shown.
#include "runlens/snapshot.hpp"

#include <algorithm>
#include <string_view>
#include <unordered_set>

#include "runlens/isodate.hpp"
#include "runlens/rules.hpp"

namespace runlens {

namespace {

bool known_platform(const PlatformKeys& keys, std::string_view key) {
    return std::find(keys.begin(), keys.end(), key) != keys.end();
}

const kamo::Value kNull;

const kamo::Value& member(const kamo::Value& map, std::string_view key) {
    const kamo::Value* v = map.find(key);
    return v ? *v : kNull;
}

void check_item(const kamo::Value& item, const PlatformKeys& keys, std::unordered_set<std::string_view>& paths) {
    const kamo::Value& type = member(item, "content_type");
    if (!item.is_map() || !type.is_str() || (type.as_str() != "video" && type.as_str() != "note"))
        throw invalid("发布记录中的素材格式无效");

    const kamo::Value& enabled = member(item, "enabled_platforms");
    const kamo::Value* accounts = item.find("platforms");
    bool platforms_ok = enabled.is_list() && !enabled.as_list().empty() && (!accounts || accounts->is_map());
    if (platforms_ok) {
        const auto& list = enabled.as_list();
        for (std::size_t i = 0; i < list.size() && platforms_ok; ++i) {
            platforms_ok = list[i].is_str() && known_platform(keys, list[i].as_str());
            for (std::size_t j = 0; j < i && platforms_ok; ++j) platforms_ok = !(list[j] == list[i]);
        }
    }
    if (!platforms_ok) throw invalid("发布记录中的平台无效");

    if (accounts) {
        for (const auto& p : enabled.as_list()) {
            std::string key = std::string(p.as_str()) + "_account";
            const kamo::Value& path = member(*accounts, key);
            if (!path.is_null() && !absolute_path(path)) throw invalid("发布记录中的原账号路径无效");
        }
    }

    for (std::string_view key : {"title", "desc"}) {
        const kamo::Value* v = item.find(key);
        if (v && !v->is_str()) throw invalid("发布记录中的文案无效");
    }

    if (const kamo::Value* tags = item.find("tags")) {
        bool ok = tags->is_list() && std::all_of(tags->as_list().begin(), tags->as_list().end(),
                                                 [](const kamo::Value& t) { return t.is_str(); });
        if (!ok) throw invalid("发布记录中的标签无效");
    }

    const kamo::Value& when = member(item, "publish_time");
    if (!when.is_null()) {
        if (!when.is_str())
            throw invalid("发布记录中的计划时间无效",
                          {runfault::Cause::Kind::Type, 0, "fromisoformat: argument must be str", {}});
        if (auto err = iso_datetime_error(when.as_str()))
            throw invalid("发布记录中的计划时间无效", {runfault::Cause::Kind::Value, 0, *err, {}});
    }

    const kamo::Value& video = member(item, "video_file");
    const kamo::Value* images = item.find("images");
    if (images && (!images->is_list() || !std::all_of(images->as_list().begin(), images->as_list().end(),
                                                      [](const kamo::Value& p) { return absolute_path(p); })))
        throw invalid("发布记录中的素材路径无效");
    if (video.truthy() && !absolute_path(video)) throw invalid("发布记录中的素材路径无效");

    bool has_images = images && !images->as_list().empty();
    if ((type.as_str() == "video" && !video.truthy()) || (type.as_str() == "note" && !has_images))
        throw invalid("发布记录缺少原始素材路径");

    if (video.truthy()) paths.insert(video.as_str());
    if (images)
        for (const auto& p : images->as_list()) paths.insert(p.as_str());
}

}  // namespace

Snapshot snapshot(const Row& row, const Environment& env) {
    const PlatformKeys& keys = env.platforms;
    const Cell& id = row.cell("run_id");
    const Cell& version = row.cell("version");
    if (!id.is_text() || !match_uuid(id.bytes) || !(version.equals(1) || version.equals(2)))
        throw invalid("发布记录编号或版本不受支持");

    Snapshot s{json(row.cell("snapshot"), env.limits), json(row.cell("fingerprints"), env.limits)};
    if (!s.items.is_list() || s.items.as_list().empty() || !s.fingerprints.is_map() ||
        s.fingerprints.as_map().empty())
        throw invalid();

    for (const auto& [path, digest] : s.fingerprints.as_map())
        if (!absolute_path(std::string_view(path)) || !digest.is_str() || !match_sha(digest.as_str()))
            throw invalid("发布记录中的素材指纹已损坏");

    std::unordered_set<std::string_view> paths;
    for (const auto& item : s.items.as_list()) check_item(item, keys, paths);

    // The decoder refuses duplicate keys, so equal sizes plus inclusion means equal sets.
    bool same = paths.size() == s.fingerprints.as_map().size();
    for (const auto& m : s.fingerprints.as_map())
        if (same && !paths.count(m.first)) same = false;
    if (!same) throw invalid("素材快照与保存的指纹不一致");
    return s;
}

}  // namespace runlens
