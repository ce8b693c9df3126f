// Run projection: what was submitted, what is known of each outcome, what a resume would check.
#include "runlens/project.hpp"

#include <functional>
#include <map>

#include "runlens/links.hpp"
#include "runlens/rules.hpp"

namespace runlens {

using kamo::lit;
using kamo::List;
using kamo::Map;
using kamo::Value;

namespace {

constexpr std::string_view kStates[] = {"pending", "running", "success", "failed"};
constexpr std::string_view kResume[] = {"reuse_success", "requires_checks", "blocked_unknown", "blocked_identity"};
constexpr std::string_view kResultFields[] = {"success", "message", "error_code", "result_url",
                                              "result_id", "safe_to_retry", "action"};
constexpr std::string_view kResumeChecks[] = {
    "恢复时重新核对原始素材内容指纹",
    "重新检查计划时间、许可证及运行环境",
    "上传前核验实际账号与原任务绑定的账号身份一致",
};
constexpr std::string_view kEvidenceChecks[] = {
    "使用原账号进入平台作品后台；若发布进程仍在运行，先等待其结束",
    "按原完整标题、描述、标签、素材及计划时间核对对应作品",
    "分别确认提交状态、作品归因和公开页面访问或播放；记录链接本次未核验",
    "未知提交不要自动重发，不用后续任务的结果核销旧记录",
};

// A fresh list for each record; the texts themselves are shared constants.
template <std::size_t N>
Value copy_of(const std::string_view (&table)[N]) {
    List l;
    l.reserve(N);
    for (auto s : table) l.emplace_back(lit(s));
    return Value(std::move(l));
}

template <std::size_t N>
Value zero_counts(const std::string_view (&keys)[N]) {
    Map m;
    m.reserve(N);
    for (auto k : keys) m.emplace_back(std::string(k), Value(std::int64_t{0}));
    return Value(std::move(m));
}

template <std::size_t N>
int index_of(const std::string_view (&table)[N], std::string_view s) {
    for (std::size_t i = 0; i < N; ++i)
        if (table[i] == s) return static_cast<int>(i);
    return -1;
}

// A cell as a record value: the stored value, with its own type.
Value value_of(const Cell& c) {
    switch (c.type) {
        case Cell::Type::Integer: return Value(c.integer);
        case Cell::Type::Real: return Value(c.real);
        case Cell::Type::Text: return Value(c.bytes);
        default: return Value(nullptr);
    }
}

bool equals_number(const Value& v, std::int64_t n) {
    if (v.kind() == Value::Kind::Int) return v.as_int() == n;
    if (v.is_bool()) return static_cast<std::int64_t>(v.as_bool()) == n;
    if (v.is_float()) return v.as_float() == static_cast<double>(n);
    return false;
}

// An integral real hashes like the integer it equals, so 2 and 2.0 land together.
std::size_t number_hash(double d) {
    if (d >= -9.2e18 && d <= 9.2e18 && static_cast<double>(static_cast<std::int64_t>(d)) == d)
        return std::hash<std::int64_t>()(static_cast<std::int64_t>(d));
    return std::hash<double>()(d);
}

std::size_t cell_hash(const Cell& c) {
    switch (c.type) {
        case Cell::Type::Integer: return std::hash<std::int64_t>()(c.integer);
        case Cell::Type::Real: return number_hash(c.real);
        case Cell::Type::Text: return std::hash<std::string>()(c.bytes) ^ 0x9e3779b97f4a7c15ull;
        case Cell::Type::Blob: return std::hash<std::string>()(c.bytes) ^ 0x51ed270b2b4a1d3full;
        default: return static_cast<std::size_t>(c.type);
    }
}

bool cells_equal(const Cell& a, const Cell& b) {
    using T = Cell::Type;
    bool an = a.type == T::Integer || a.type == T::Real, bn = b.type == T::Integer || b.type == T::Real;
    if (an && bn) {
        if (a.type == T::Integer && b.type == T::Integer) return a.integer == b.integer;
        if (a.type == T::Real && b.type == T::Real) return a.real == b.real;
        const Cell& i = a.type == T::Integer ? a : b;
        const Cell& r = a.type == T::Real ? a : b;
        return static_cast<double>(i.integer) == r.real &&
               (r.real < -9.2e18 || r.real > 9.2e18 || static_cast<std::int64_t>(r.real) == i.integer);
    }
    if (a.type != b.type) return false;
    if (a.type == T::Text || a.type == T::Blob) return a.bytes == b.bytes;
    return a.type == T::Null;  // Other never equals anything
}

}  // namespace

std::size_t AccountMap::Hash::operator()(const Key& k) const {
    return cell_hash(k.platform) * 31 + cell_hash(k.account_file);
}

bool AccountMap::Eq::operator()(const Key& a, const Key& b) const {
    return cells_equal(a.platform, b.platform) && cells_equal(a.account_file, b.account_file);
}

bool AccountMap::add(const Cell& platform, const Cell& account_file, const Cell& identity) {
    return rows_.emplace(Key{platform, account_file}, identity).second;
}

const Cell* AccountMap::find(std::string_view platform, const Value& path) const {
    Key k;
    k.platform.type = Cell::Type::Text;
    k.platform.bytes = platform;
    if (path.is_str()) {
        k.account_file.type = Cell::Type::Text;
        k.account_file.bytes = path.as_str();
    } else if (!path.is_null()) {
        return nullptr;  // snapshot validation admits only a path or null here
    }
    auto it = rows_.find(k);
    return it == rows_.end() ? nullptr : &it->second;
}

Statement& RunStatements::accounts() {
    if (!accounts_) accounts_.emplace(conn_, "SELECT * FROM accounts WHERE run_id=?");
    return *accounts_;
}

Value stored_result(const Row& entry, const kamo::json::Limits& limits) {
    const Cell& state_cell = entry.cell("state");
    const Cell& retry = entry.cell("retryable");
    int state = state_cell.is_text() ? index_of(kStates, state_cell.bytes) : -1;
    if (state < 0 || !retry.is_integer() || (retry.integer != 0 && retry.integer != 1) ||
        (retry.integer == 1 && state != 3))
        throw invalid("发布记录中的状态无效");

    const Cell& stored = entry.cell("result");
    if (state <= 1) {
        if (!stored.is_null()) throw invalid("发布状态与保存结果不一致");
        return Value(nullptr);
    }
    Value decoded = json(stored, limits);
    const Value* success = decoded.find("success");
    if (!success || !success->is_bool() || success->as_bool() != (state == 2))
        throw invalid("发布状态与保存结果不一致");
    for (std::string_view key : {"message", "error_code", "result_url", "action"}) {
        const Value* v = decoded.find(key);
        if (v && !v->is_null() && !v->is_str()) throw invalid("发布结果字段无效");
    }
    if (const Value* v = decoded.find("safe_to_retry"); v && !v->is_null() && !v->is_bool())
        throw invalid("发布结果字段无效");
    if (const Value* id = decoded.find("result_id"); id && !id->is_null()) {
        bool ok = id->is_str() || (id->kind() == Value::Kind::Int && id->as_int() > 0) ||
                  (id->kind() == Value::Kind::Big && id->as_big().digits[0] != '-');
        if (!ok) throw invalid("发布结果编号无效");
    }
    Map result;
    result.reserve(std::size(kResultFields));
    for (auto field : kResultFields) {
        Value* v = decoded.find(field);
        result.emplace_back(std::string(field), v ? std::move(*v) : Value(nullptr));
    }
    return Value(std::move(result));
}

Identity identity(const Value& item, std::string_view platform, const Cell& version, const AccountMap& accounts,
                  bool runnable) {
    Value path(nullptr);
    if (const Value* map = item.find("platforms")) {
        std::string key(platform);
        key += "_account";
        if (const Value* p = map->find(key)) path = *p;
    }
    if (version.equals(1)) return {std::move(path), lit("legacy")};
    const Cell* row = accounts.find(platform, path);
    bool usable = row && (row->is_null() || (row->is_text() && match_identity(row->bytes)));
    if (!usable) {
        if (runnable) throw invalid("发布记录中的原账号身份已损坏");
        return {std::move(path), lit(row ? "invalid" : "not_recorded")};
    }
    return {std::move(path), lit(row->is_null() ? "unbound" : "bound")};
}

namespace {

// One row per resume status, in the order of kResume.
struct DecisionRow {
    std::string_view code;  // empty: null
    std::string_view action;
    enum { None, Evidence, Resume } checks;
};
constexpr DecisionRow kDecisions[] = {
    {"", "复用原成功结果，不再投稿；记录链接仍需独立核对", DecisionRow::None},
    {"", "记录层允许继续检查；--resume 仍须重新校验后才可能上传", DecisionRow::Resume},
    {"RUN-004", "提交结果未确认；先等待正在运行的任务或使用原账号核对后台，不自动重发", DecisionRow::Evidence},
    {"RUN-006", "原任务无可核验的账号身份；先核对原账号和未提交条目，不用当前账号补证", DecisionRow::Evidence},
};

// The first matching condition decides: success, unconfirmed, identity, otherwise checks.
int resume_status(std::string_view state, const Value& retryable, std::string_view identity) {
    if (state == "success") return 0;
    if (state == "running" || (state == "failed" && equals_number(retryable, 0))) return 2;
    if (identity != "bound") return 3;
    return 1;
}

Value decision_record(int status) {
    const DecisionRow& row = kDecisions[status];
    Map d;
    d.reserve(4);
    d.emplace_back("status", Value(lit(kResume[status])));
    d.emplace_back("error_code", row.code.empty() ? Value(nullptr) : Value(lit(row.code)));
    d.emplace_back("action", Value(lit(row.action)));
    d.emplace_back("checks", row.checks == DecisionRow::None       ? Value(List{})
                             : row.checks == DecisionRow::Evidence ? copy_of(kEvidenceChecks)
                                                                   : copy_of(kResumeChecks));
    return Value(std::move(d));
}

}  // namespace

Value decision(std::string_view state, const Value& retryable, std::string_view identity) {
    return decision_record(resume_status(state, retryable, identity));
}

namespace {

using EntryKey = std::pair<std::int64_t, std::string_view>;

// Entry rows indexed by (item_index, platform), each pair at most once.
std::map<EntryKey, const Row*> index_entries(RunStatements& statements, const std::vector<Row>& rows) {
    std::map<EntryKey, const Row*> kept;
    for (const Row& r : rows) {
        statements.check();
        const Cell& index = r.cell("item_index");
        const Cell& platform = r.cell("platform");
        if (!index.is_integer() || index.integer < 0 || !platform.is_text()) throw invalid("发布记录条目无效");
        if (!kept.emplace(EntryKey{index.integer, platform.bytes}, &r).second) throw invalid("发布记录条目重复");
    }
    return kept;
}

// The attribution of a stored result; a link that is not a recorded work link is blanked.
std::string_view attribute(int state, Value& result, std::string_view platform, std::size_t max_int_digits) {
    if (result.is_null()) return "not_confirmed";
    std::string_view attribution = "not_confirmed";
    Value* url = result.find("result_url");
    if (state == 2) {
        if (url->is_null() || url->as_str().empty())
            attribution = "missing_link";
        else
            attribution = valid_link(platform, url->as_str(), max_int_digits) ? "recorded_link" : "invalid_link";
    }
    if (attribution != "recorded_link") *url = Value(nullptr);
    return attribution;
}

Value evidence(int state, std::string_view attribution) {
    static constexpr std::string_view submission[] = {"not_started", "not_confirmed", "recorded_success",
                                                      "not_confirmed"};
    Map e;
    e.reserve(5);
    e.emplace_back("source", Value(lit("local_history")));
    e.emplace_back("submission", Value(lit(submission[state])));
    e.emplace_back("attribution", Value(lit(attribution)));
    e.emplace_back("public_access", Value(lit("not_checked")));
    e.emplace_back("checks", copy_of(kEvidenceChecks));
    return Value(std::move(e));
}

void bump(Value& counts, std::string_view key) {
    Value* v = counts.find(key);
    *v = Value(v->as_int() + 1);
}

}  // namespace

Value project(RunStatements& statements, const Row& row, bool accounts_present, const Environment& env,
              Detail detail) {
    bool full = detail == Detail::Full;
    Snapshot snap = snapshot(row, env);
    const Cell& run_id = row.cell("run_id");
    const Cell& version = row.cell("version");

    std::vector<Row> entry_rows = statements.entries.all(run_id);
    auto kept = index_entries(statements, entry_rows);
    std::size_t expected = 0;
    bool same = true;
    List& items = snap.items.as_list();
    for (std::size_t i = 0; i < items.size() && same; ++i)
        for (const Value& p : items[i].find("enabled_platforms")->as_list()) {
            ++expected;
            if (!kept.count(EntryKey{static_cast<std::int64_t>(i), p.as_str()})) same = false;
        }
    if (!same || expected != kept.size()) throw invalid("发布记录与原素材或平台不一致");

    AccountMap accounts;
    std::vector<Row> account_rows;
    if (version.equals(2) && accounts_present) {
        account_rows = statements.accounts().all(run_id);
        for (const Row& r : account_rows) {
            statements.check();
            if (!accounts.add(r.cell("platform"), r.cell("account_file"), r.cell("identity")))
                throw invalid("发布记录中的账号身份重复");
        }
    }

    Value states = zero_counts(kStates);
    Value resume = zero_counts(kResume);
    List projected;
    projected.reserve(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        Value& item = items[i];
        List platforms;
        const List& enabled = item.find("enabled_platforms")->as_list();
        platforms.reserve(enabled.size());
        for (const Value& pv : enabled) {
            statements.check();
            std::string_view p = pv.as_str();
            const Row& entry = *kept.at(EntryKey{static_cast<std::int64_t>(i), p});
            Value result = stored_result(entry, env.limits);
            int state = index_of(kStates, entry.cell("state").bytes);
            const Cell& retry = entry.cell("retryable");
            bool runnable = state == 0 || (state == 3 && retry.integer == 1);
            Identity who = identity(item, p, version, accounts, runnable);
            int status = resume_status(kStates[state], Value(retry.integer), who.status.text);
            bump(states, kStates[state]);
            bump(resume, kResume[status]);
            if (!full) continue;  // everything above validates; the rest only describes

            Map pp;
            pp.reserve(7);
            pp.emplace_back("platform", Value(std::string(p)));
            pp.emplace_back("state", Value(lit(kStates[state])));
            pp.emplace_back("account_file", std::move(who.account_file));
            pp.emplace_back("identity_status", Value(who.status));
            std::string_view attribution = attribute(state, result, p, env.limits.max_int_digits);
            pp.emplace_back("result", std::move(result));
            pp.emplace_back("resume", decision_record(status));
            pp.emplace_back("evidence", evidence(state, attribution));
            platforms.emplace_back(std::move(pp));
        }

        auto take = [&](std::string_view key, Value fallback) {
            Value* v = item.find(key);
            return v ? std::move(*v) : fallback;
        };
        if (!full) {  // a summary reads the titles and the count of items only
            projected.emplace_back(Map{{"title", take("title", Value(lit("")))}});
            continue;
        }
        const Value* video = item.find("video_file");
        const Value* images = item.find("images");

        Map fingerprints;
        auto add_print = [&](std::string_view path) {
            for (const auto& m : fingerprints)
                if (m.first == path) return;
            fingerprints.emplace_back(std::string(path), *snap.fingerprints.find(path));
        };
        if (video && video->truthy()) add_print(video->as_str());
        if (images)
            for (const Value& p : images->as_list()) add_print(p.as_str());

        Map ip;
        ip.reserve(9);
        ip.emplace_back("item_index", Value(static_cast<std::int64_t>(i)));
        Value content_type = take("content_type", Value(nullptr));
        bool is_video = content_type.as_str() == "video";
        ip.emplace_back("content_type", std::move(content_type));
        ip.emplace_back("material", is_video ? take("video_file", Value(nullptr)) : take("images", Value(List{})));
        ip.emplace_back("title", take("title", Value(lit(""))));
        ip.emplace_back("desc", take("desc", Value(lit(""))));
        ip.emplace_back("tags", take("tags", Value(List{})));
        ip.emplace_back("publish_time", take("publish_time", Value(nullptr)));
        ip.emplace_back("material_fingerprints", Value(std::move(fingerprints)));
        ip.emplace_back("platforms", Value(std::move(platforms)));
        projected.emplace_back(std::move(ip));
    }

    Map run;
    run.reserve(7);
    run.emplace_back("database_present", Value(true));
    run.emplace_back("run_id", value_of(run_id));
    run.emplace_back("version", value_of(version));
    run.emplace_back("created_at", Value(nullptr));
    run.emplace_back("items", Value(std::move(projected)));
    run.emplace_back("states", std::move(states));
    run.emplace_back("resume", std::move(resume));
    return Value(std::move(run));
}

}  // namespace runlens
