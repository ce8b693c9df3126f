// Run projection: what was submitted, what is known of each outcome, what a resume would check.
#include "runlens/project.hpp"

#include <set>
#include <utility>

#include "runlens/failures.hpp"
#include "runlens/links.hpp"
#include "runlens/patterns.hpp"
#include "runlens/stored_json.hpp"

namespace runlens {

using kamo::lit;
using kamo::List;
using kamo::Map;
using kamo::Value;
using kamo::json::Node;

namespace {

constexpr std::string_view kStates[] = {"pending", "running", "success", "failed"};
constexpr std::string_view kResume[] = {"reuse_success", "requires_checks", "blocked_unknown", "blocked_identity"};
constexpr std::string_view kIdentity[] = {"legacy", "bound", "unbound", "not_recorded", "invalid"};
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
Value counts(const std::string_view (&keys)[N], const std::array<std::int64_t, N>& n) {
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

// The cell at a resolved position; a column the statement lacks reads as null.
CellView at(const std::vector<CellView>& row, int column) { return column < 0 ? CellView{} : row[static_cast<std::size_t>(column)]; }

bool optional_text(Node v) { return !v || v.is_null() || v.is_str(); }

}  // namespace

std::string_view name_of(State s) { return kStates[static_cast<int>(s)]; }
std::string_view name_of(Resume r) { return kResume[static_cast<int>(r)]; }
std::string_view name_of(Identity i) { return kIdentity[static_cast<int>(i)]; }

EntryFacts check_entry(const CellView& state_cell, const CellView& retry, const CellView& stored, kamo::json::Parser& parser,
                       kamo::json::Input text) {
    int state = -1;
    if (state_cell.is_text())
        for (int i = 0; i < 4; ++i)
            if (kStates[i] == state_cell.bytes) state = i;
    if (state < 0 || !retry.is_integer() || (retry.integer != 0 && retry.integer != 1) || (retry.integer == 1 && state != 3))
        throw invalid("发布记录中的状态无效");

    EntryFacts facts;
    facts.state = static_cast<State>(state);
    facts.retry = retry.integer == 1;
    if (state <= 1) {
        if (!stored.is_null()) throw invalid("发布状态与保存结果不一致");
        return facts;
    }
    Node decoded = decode_stored_json(stored, parser, text);
    Node success = decoded.find("success");
    if (!success.is_bool() || success.as_bool() != (facts.state == State::Success))
        throw invalid("发布状态与保存结果不一致");
    for (std::string_view key : {"message", "error_code", "result_url", "action"})
        if (!optional_text(decoded.find(key))) throw invalid("发布结果字段无效");
    if (Node v = decoded.find("safe_to_retry"); v && !v.is_null() && !v.is_bool()) throw invalid("发布结果字段无效");
    if (Node id = decoded.find("result_id"); id && !id.is_null()) {
        bool ok = id.is_str() || (id.kind() == Value::Kind::Int && id.as_int() > 0) ||
                  (id.kind() == Value::Kind::Big && id.big_digits()[0] != '-');
        if (!ok) throw invalid("发布结果编号无效");
    }
    facts.result = decoded;
    return facts;
}

Value stored_result(const EntryFacts& facts) {
    if (!facts.result) return Value(nullptr);
    Map result;
    result.reserve(std::size(kResultFields));
    for (auto field : kResultFields) result.emplace_back(std::string(field), kamo::json::to_value(facts.result.find(field)));
    return Value(std::move(result));
}

// ---- accounts ----------------------------------------------------------------------------------

AccountMap::Stored AccountMap::store(const CellView& c) {
    Stored s{c.type, c.integer, c.real, arena_.size(), c.bytes.size()};
    arena_.append(c.bytes);
    return s;
}

CellView AccountMap::view(const Stored& s) const {
    CellView c;
    c.type = s.type;
    c.integer = s.integer;
    c.real = s.real;
    c.bytes = std::string_view(arena_).substr(s.offset, s.size);
    return c;
}

void AccountMap::clear() {
    rows_.clear();
    arena_.clear();
    table_.clear();
}

namespace {

// A run records a handful of accounts: a scan beats a table until there are more than this.
constexpr std::size_t kScanAccounts = 8;

std::size_t pair_hash(const CellView& platform, const CellView& account_file) {
    return value_hash(platform) * 31 + value_hash(account_file);
}

}  // namespace

std::optional<std::size_t> AccountMap::lookup(const CellView& platform, const CellView& account_file,
                                              std::size_t hash) const {
    auto same = [&](const Account& a) {
        return a.hash == hash && same_value(view(a.platform), platform) && same_value(view(a.account_file), account_file);
    };
    if (table_.empty()) {
        for (std::size_t i = 0; i < rows_.size(); ++i)
            if (same(rows_[i])) return i;
        return std::nullopt;
    }
    const std::size_t mask = table_.size() - 1;
    for (std::size_t at = hash & mask; table_[at]; at = (at + 1) & mask)
        if (same(rows_[table_[at] - 1])) return table_[at] - 1;
    return std::nullopt;
}

void AccountMap::index(std::size_t n) {
    const std::size_t mask = table_.size() - 1;
    std::size_t at = rows_[n].hash & mask;
    while (table_[at]) at = (at + 1) & mask;
    table_[at] = static_cast<std::uint32_t>(n + 1);
}

bool AccountMap::add(const CellView& platform, const CellView& account_file, const CellView& identity) {
    const std::size_t hash = pair_hash(platform, account_file);
    if (lookup(platform, account_file, hash)) return false;
    Identity status = identity.is_null()                                         ? Identity::Unbound
                      : identity.is_text() && match_identity(identity.bytes) ? Identity::Bound
                                                                             : Identity::Invalid;
    rows_.push_back({store(platform), store(account_file), status, hash});
    if (rows_.size() > kScanAccounts && 2 * rows_.size() > table_.size()) {
        table_.assign(table_.empty() ? 64 : table_.size() * 2, 0);
        for (std::size_t i = 0; i < rows_.size(); ++i) index(i);
    } else if (!table_.empty()) {
        index(rows_.size() - 1);
    }
    return true;
}

std::optional<Identity> AccountMap::find(std::string_view platform, Node path) const {
    CellView key_platform = CellView::text(platform);
    CellView key_path;  // absent or null: a null account_file
    if (path.is_str())
        key_path = CellView::text(path.as_str());
    else if (path && !path.is_null())
        return std::nullopt;  // snapshot validation admits only a path or null here
    auto n = lookup(key_platform, key_path, pair_hash(key_platform, key_path));
    if (!n) return std::nullopt;
    return rows_[*n].identity;
}

Identity identity(const CellView& version, const AccountMap& accounts, std::string_view platform, Node path,
                  bool runnable) {
    if (equals_int(version, 1)) return Identity::Legacy;
    std::optional<Identity> row = accounts.find(platform, path);
    if (!row || *row == Identity::Invalid) {
        if (runnable) throw invalid("发布记录中的原账号身份已损坏");
        return row ? Identity::Invalid : Identity::NotRecorded;
    }
    return *row;
}

// ---- decisions and evidence ---------------------------------------------------------------------

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

}  // namespace

Resume resume_status(std::string_view state, const CellView& retryable, std::string_view identity) {
    if (state == "success") return Resume::ReuseSuccess;
    if (state == "running" || (state == "failed" && equals_int(retryable, 0))) return Resume::BlockedUnknown;
    if (identity != "bound") return Resume::BlockedIdentity;
    return Resume::RequiresChecks;
}

Value decision_record(Resume status) {
    const DecisionRow& row = kDecisions[static_cast<int>(status)];
    Map d;
    d.reserve(4);
    d.emplace_back("status", Value(lit(name_of(status))));
    d.emplace_back("error_code", row.code.empty() ? Value(nullptr) : Value(lit(row.code)));
    d.emplace_back("action", Value(lit(row.action)));
    d.emplace_back("checks", row.checks == DecisionRow::None       ? Value(List{})
                             : row.checks == DecisionRow::Evidence ? copy_of(kEvidenceChecks)
                                                                   : copy_of(kResumeChecks));
    return Value(std::move(d));
}

namespace {

// The attribution of a stored result; a link that is not a recorded work link is blanked.
std::string_view attribute(State state, Value& result, std::string_view platform, std::size_t max_int_digits) {
    if (result.is_null()) return "not_confirmed";
    std::string_view attribution = "not_confirmed";
    Value* url = result.find("result_url");
    if (state == State::Success) {
        if (url->is_null() || url->as_str().empty())
            attribution = "missing_link";
        else
            attribution = valid_link(platform, url->as_str(), max_int_digits) ? "recorded_link" : "invalid_link";
    }
    if (attribution != "recorded_link") *url = Value(nullptr);
    return attribution;
}

Value evidence(State state, std::string_view attribution) {
    static constexpr std::string_view submission[] = {"not_started", "not_confirmed", "recorded_success",
                                                      "not_confirmed"};
    Map e;
    e.reserve(5);
    e.emplace_back("source", Value(lit("local_history")));
    e.emplace_back("submission", Value(lit(submission[static_cast<int>(state)])));
    e.emplace_back("attribution", Value(lit(attribution)));
    e.emplace_back("public_access", Value(lit("not_checked")));
    e.emplace_back("checks", copy_of(kEvidenceChecks));
    return Value(std::move(e));
}

// Rows between two looks at the interrupt.
constexpr std::size_t kPollEvery = 64;

}  // namespace

// ---- the projector ------------------------------------------------------------------------------

Projector::Projector(Connection& conn, const Environment& env, bool accounts_present)
    : conn_(conn), env_(env), accounts_present_(accounts_present), snapshot_(env, &conn), results_parser_(env.limits) {}

Projector::~Projector() = default;

void Projector::list(const std::vector<Row>& runs, bool run_by_run) {
    listed_ = &runs;
    run_by_run_ = run_by_run;
}

RunRows& Projector::entry_rows() {
    if (!entries_) {
        std::optional<std::string> order;
        if (listed_ && !run_by_run_ && listed_->size() > 1) order = scan_order(conn_, "entries");
        if (order) {
            std::vector<std::pair<std::size_t, CellView>> runs;
            for (std::size_t i = 0; i < listed_->size(); ++i) runs.emplace_back(i, (*listed_)[i].cell("run_id"));
            entries_ = std::make_unique<RunRows>(conn_, "entries", std::move(runs), *order);
        } else {
            entries_ = std::make_unique<RunRows>(conn_, "entries");
        }
        const RunRows& r = *entries_;
        entry_columns_ = {r.column("item_index"), r.column("platform"), r.column("state"), r.column("result"),
                          r.column("retryable")};
    }
    return *entries_;
}

RunRows& Projector::account_rows() {
    if (!accounts_) {
        std::optional<std::string> order;
        std::vector<std::pair<std::size_t, CellView>> runs;
        if (listed_ && !run_by_run_) {
            // Only version 2 runs read their accounts.
            for (std::size_t i = 0; i < listed_->size(); ++i)
                if (equals_int((*listed_)[i].cell("version"), 2)) runs.emplace_back(i, (*listed_)[i].cell("run_id"));
            if (runs.size() > 1) order = scan_order(conn_, "accounts");
        }
        if (order)
            accounts_ = std::make_unique<RunRows>(conn_, "accounts", std::move(runs), *order);
        else
            accounts_ = std::make_unique<RunRows>(conn_, "accounts");
        const RunRows& r = *accounts_;
        account_columns_[0] = r.column("platform");
        account_columns_[1] = r.column("account_file");
        account_columns_[2] = r.column("identity");
    }
    return *accounts_;
}

void Projector::read_entries(std::size_t k, std::vector<Value>* results) {
    RunRows& rows = entry_rows();
    const Columns& col = entry_columns_;
    const std::size_t slot_count = snapshot_.slot_count();
    slots_.assign(slot_count, Slot{false, State::Pending, false});
    if (results) results->assign(slot_count, Value(nullptr));
    failed_slot_ = Snapshot::npos;
    slot_failure_.reset();

    // All rows of the run are read before any is judged, as fetching them all at once would: a
    // row that cannot be read fails the run first. The entry checks then run in the order the
    // rows came; each entry's own checks are made as its row passes, and the first failure in
    // item order is kept for the moment the projection reaches that entry.
    std::optional<runfault::HistoryError> row_failure;
    std::set<std::pair<std::int64_t, std::string>> stray;  // pairs no item enables
    std::size_t filled = 0, n = 0;
    rows.start(k, facts_.run_id);
    while (rows.next()) {
        if (++n % kPollEvery == 0) conn_.check();
        const std::vector<CellView>& row = rows.row();
        if (row_failure) continue;
        CellView index = at(row, col.item_index), platform = at(row, col.platform);
        if (!index.is_integer() || index.integer < 0 || !platform.is_text()) {
            row_failure = invalid("发布记录条目无效");
            continue;
        }
        std::uint32_t slot = snapshot_.slot_of(index.integer, platform.bytes);
        if (slot == Snapshot::npos) {
            if (!stray.emplace(index.integer, std::string(platform.bytes)).second) row_failure = invalid("发布记录条目重复");
            continue;
        }
        if (slots_[slot].filled) {
            row_failure = invalid("发布记录条目重复");
            continue;
        }
        slots_[slot].filled = true;
        ++filled;
        // Past a stray row, or past the first failing entry, no entry's own checks can decide.
        if (!stray.empty() || slot > failed_slot_) continue;
        try {
            EntryFacts facts = check_entry(at(row, col.state), at(row, col.retryable), at(row, col.result), results_parser_);
            slots_[slot].state = facts.state;
            slots_[slot].retry = facts.retry;
            if (results) (*results)[slot] = stored_result(facts);
        } catch (const runfault::HistoryError& e) {
            failed_slot_ = slot;
            slot_failure_ = e;
        }
    }
    if (row_failure) throw *row_failure;
    if (!stray.empty() || filled != slot_count) throw invalid("发布记录与原素材或平台不一致");
}

void Projector::read_accounts(std::size_t k) {
    RunRows& rows = account_rows();
    std::size_t n = 0;
    rows.start(k, facts_.run_id);
    while (rows.next()) {
        if (++n % kPollEvery == 0) conn_.check();
        const std::vector<CellView>& row = rows.row();
        if (!account_map_.add(at(row, account_columns_[0]), at(row, account_columns_[1]), at(row, account_columns_[2])))
            throw invalid("发布记录中的账号身份重复");
    }
}

void Projector::decide() {
    facts_.platforms.resize(snapshot_.slot_count());
    facts_.states.fill(0);
    facts_.resume.fill(0);
    for (std::size_t i = 0; i < snapshot_.item_count(); ++i) {
        Node item = snapshot_.item(i);
        for (std::uint32_t slot = snapshot_.first_slot(i); slot < snapshot_.first_slot(i + 1); ++slot) {
            if (slot % kPollEvery == 0) conn_.check();
            if (slot == failed_slot_) throw *slot_failure_;
            const Slot& e = slots_[slot];
            std::string_view platform = snapshot_.slot_platform(slot);
            bool runnable = e.state == State::Pending || (e.state == State::Failed && e.retry);
            Identity who = identity(facts_.version, account_map_, platform, account_path(item, platform), runnable);
            Resume status = resume_status(name_of(e.state), CellView::of(e.retry ? 1 : 0), name_of(who));
            facts_.platforms[slot] = {e.state, who, status};
            ++facts_.states[static_cast<int>(e.state)];
            ++facts_.resume[static_cast<int>(status)];
        }
    }
}

void Projector::check(std::size_t k, const Row& run, std::vector<Value>* results) {
    snapshot_.check(run);
    facts_.run_id = run.cell("run_id");
    facts_.version = run.cell("version");
    read_entries(k, results);
    account_map_.clear();
    // Version 1 runs never read the accounts table, even when it exists.
    if (equals_int(facts_.version, 2) && accounts_present_) read_accounts(k);
    decide();
}

Value Projector::summary() const {
    std::int64_t entries = 0;
    for (std::int64_t n : facts_.states) entries += n;
    Node title = snapshot_.item(0).find("title");
    Map s;
    s.reserve(8);
    s.emplace_back("run_id", value_of(facts_.run_id));
    s.emplace_back("version", value_of(facts_.version));
    s.emplace_back("created_at", Value(nullptr));
    s.emplace_back("title", title ? Value(std::string(title.as_str())) : Value(lit("")));
    s.emplace_back("item_count", Value(static_cast<std::int64_t>(snapshot_.item_count())));
    s.emplace_back("entry_count", Value(entries));
    s.emplace_back("states", counts(kStates, facts_.states));
    s.emplace_back("resume", counts(kResume, facts_.resume));
    return Value(std::move(s));
}

Value Projector::projection(std::vector<Value>& results) const {
    using kamo::json::to_value;
    List items;
    items.reserve(snapshot_.item_count());
    for (std::size_t i = 0; i < snapshot_.item_count(); ++i) {
        Node item = snapshot_.item(i);
        Node video = item.find("video_file");
        Node images = item.find("images");

        // Each material path once, at its first place: the video, then the images.
        Map fingerprints;
        const bool many = images.is_list() && images.size() > 16;
        if (many) paths_.clear(images.size() + 1);
        auto add_print = [&](Node path) {
            std::string_view p = path.as_str();
            if (many) {
                if (!paths_.insert(p).second) return;
            } else {
                for (const auto& m : fingerprints)
                    if (m.first == p) return;
            }
            fingerprints.emplace_back(std::string(p), to_value(snapshot_.digest(p)));
        };
        if (video.truthy()) add_print(video);
        for (Node p : images.elements()) add_print(p);

        List platforms;
        platforms.reserve(snapshot_.first_slot(i + 1) - snapshot_.first_slot(i));
        for (std::uint32_t slot = snapshot_.first_slot(i); slot < snapshot_.first_slot(i + 1); ++slot) {
            if (slot % kPollEvery == 0) conn_.check();
            const PlatformFacts& f = facts_.platforms[slot];
            std::string_view platform = snapshot_.slot_platform(slot);
            Value result = std::move(results[slot]);
            std::string_view attribution = attribute(f.state, result, platform, env_.limits.max_int_digits);
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
    run.emplace_back("run_id", value_of(facts_.run_id));
    run.emplace_back("version", value_of(facts_.version));
    run.emplace_back("created_at", Value(nullptr));
    run.emplace_back("items", Value(std::move(items)));
    run.emplace_back("states", counts(kStates, facts_.states));
    run.emplace_back("resume", counts(kResume, facts_.resume));
    return Value(std::move(run));
}

}  // namespace runlens
