// The RunSummary and RunProjection records of a checked run.
#include "runlens/records.hpp"

#include "runlens/decisions.hpp"

namespace runlens {

using kamo::lit;
using kamo::List;
using kamo::Map;
using kamo::Value;
using kamo::json::Node;

namespace {

template <std::size_t N>
Value counts(const std::array<std::string_view, N>& keys, const std::array<std::int64_t, N>& n) {
    Map m;
    m.reserve(N);
    for (std::size_t i = 0; i < N; ++i) m.emplace_back(std::string(keys[i]), Value(n[i]));
    return Value(std::move(m));
}

// A cell as a record value: the stored value, with its own type.
Value value_of(const CellView& c) {
    switch (c.type) {
        case CellType::Integer: return Value(c.integer);
        case CellType::Real: return Value(c.real);
        case CellType::Text: return Value(std::string(c.bytes));
        default: return Value(nullptr);
    }
}

}  // namespace

Value run_summary(const Snapshot& snapshot, const RunFacts& facts) {
    std::int64_t entries = 0;
    for (std::int64_t n : facts.states) entries += n;
    Node title = snapshot.item(0).find("title");
    Map s;
    s.reserve(8);
    s.emplace_back("run_id", value_of(facts.run_id));
    s.emplace_back("version", value_of(facts.version));
    s.emplace_back("created_at", nullptr);
    s.emplace_back("title", title ? Value(std::string(title.as_str())) : Value(lit("")));
    s.emplace_back("item_count", static_cast<std::int64_t>(snapshot.item_count()));
    s.emplace_back("entry_count", entries);
    s.emplace_back("states", counts(kStateKeys, facts.states));
    s.emplace_back("resume", counts(kResumeKeys, facts.resume));
    return Value(std::move(s));
}

Value run_projection(const Snapshot& snapshot, const RunFacts& facts, std::vector<Value>& results,
                     std::size_t max_int_digits, Connection& conn, ViewSet& paths) {
    using kamo::json::to_value;
    List items;
    items.reserve(snapshot.item_count());
    for (std::size_t i = 0; i < snapshot.item_count(); ++i) {
        Node item = snapshot.item(i);
        Node video = item.find("video_file");
        Node images = item.find("images");

        // Each material path once, at its first place: the video, then the images.
        Map fingerprints;
        const bool many = images.is_list() && images.size() > 16;
        if (many) paths.clear(images.size() + 1);
        auto add_print = [&](Node path) {
            std::string_view p = path.as_str();
            if (many) {
                if (!paths.insert(p).second) return;
            } else {
                for (const auto& m : fingerprints)
                    if (m.first == p) return;
            }
            fingerprints.emplace_back(std::string(p), to_value(snapshot.digest(p)));
        };
        if (video.truthy()) add_print(video);
        for (Node p : images.elements()) add_print(p);

        List platforms;
        platforms.reserve(snapshot.first_slot(i + 1) - snapshot.first_slot(i));
        for (std::uint32_t slot = snapshot.first_slot(i); slot < snapshot.first_slot(i + 1); ++slot) {
            if (slot % kPollEvery == 0) conn.check();
            const PlatformFacts& f = facts.platforms[slot];
            std::string_view platform = snapshot.slot_platform(slot);
            Value result = std::move(results[slot]);
            Attribution attribution = attribute(f.state, result, platform, max_int_digits);
            Map pp;
            pp.reserve(7);
            pp.emplace_back("platform", Value(std::string(platform)));
            pp.emplace_back("state", Value(lit(name_of(f.state))));
            pp.emplace_back("account_file", to_value(account_path(item, platform)));
            pp.emplace_back("identity_status", Value(lit(name_of(f.identity))));
            pp.emplace_back("result", std::move(result));
            pp.emplace_back("resume", decision_record(f.resume));
            pp.emplace_back("evidence", evidence(f.state, attribution));
            platforms.emplace_back(std::move(pp));
        }

        Node type = item.find("content_type");
        Node title = item.find("title"), desc = item.find("desc"), tags = item.find("tags");
        Map ip;
        ip.reserve(9);
        ip.emplace_back("item_index", Value(static_cast<std::int64_t>(i)));
        ip.emplace_back("content_type", to_value(type));
        ip.emplace_back("material", type.as_str() == "video" ? to_value(video) : images ? to_value(images) : Value(List{}));
        ip.emplace_back("title", title ? to_value(title) : Value(lit("")));
        ip.emplace_back("desc", desc ? to_value(desc) : Value(lit("")));
        ip.emplace_back("tags", tags ? to_value(tags) : Value(List{}));
        ip.emplace_back("publish_time", to_value(item.find("publish_time")));
        ip.emplace_back("material_fingerprints", Value(std::move(fingerprints)));
        ip.emplace_back("platforms", Value(std::move(platforms)));
        items.emplace_back(std::move(ip));
    }

    Map run;
    run.reserve(7);
    run.emplace_back("database_present", Value(true));
    run.emplace_back("run_id", value_of(facts.run_id));
    run.emplace_back("version", value_of(facts.version));
    run.emplace_back("created_at", Value(nullptr));
    run.emplace_back("items", Value(std::move(items)));
    run.emplace_back("states", counts(kStateKeys, facts.states));
    run.emplace_back("resume", counts(kResumeKeys, facts.resume));
    return Value(std::move(run));
}

}  // namespace runlens
