// Resume decisions and evidence of one platform entry.
#include "runlens/decisions.hpp"

#include "runlens/entries.hpp"
#include "runlens/links.hpp"

namespace runlens {

using kamo::lit;
using kamo::List;
using kamo::Map;
using kamo::Value;

namespace {

// One row per resume status, in enum order.
struct DecisionRow {
    std::string_view code;  // empty: null
    std::string_view action;
    enum { None, Evidence, Resume } checks;
};
constexpr std::array<DecisionRow, kResumeKeys.size()> kDecisions{{
    {"", "复用原成功结果，不再投稿；记录链接仍需独立核对", DecisionRow::None},
    {"", "记录层允许继续检查；--resume 仍须重新校验后才可能上传", DecisionRow::Resume},
    {"RUN-004", "提交结果未确认；先等待正在运行的任务或使用原账号核对后台，不自动重发", DecisionRow::Evidence},
    {"RUN-006", "原任务无可核验的账号身份；先核对原账号和未提交条目，不用当前账号补证", DecisionRow::Evidence},
}};

// What the history says of a submission, by state.
constexpr std::array<std::string_view, kStateKeys.size()> kSubmission{"not_started", "not_confirmed",
                                                                      "recorded_success", "not_confirmed"};

}  // namespace

Resume resume_status(State state, bool retry, Identity identity) {
    if (state == State::Success) return Resume::ReuseSuccess;
    // Past a success, an entry a resume may not submit again is running or failed for good: its
    // submission is unconfirmed.
    if (runnable(state, retry) == false) return Resume::BlockedUnknown;
    if (identity != Identity::Bound) return Resume::BlockedIdentity;
    return Resume::RequiresChecks;
}

Value decision_record(Resume status) {
    const DecisionRow& row = kDecisions[static_cast<std::size_t>(status)];
    Map d;
    d.reserve(4);
    d.emplace_back("status", Value(lit(name_of(status))));
    d.emplace_back("error_code", row.code.empty() ? Value(nullptr) : Value(lit(row.code)));
    d.emplace_back("action", Value(lit(row.action)));
    d.emplace_back("checks", row.checks == DecisionRow::None       ? Value(List{})
                             : row.checks == DecisionRow::Evidence ? list_of(kEvidenceChecks)
                                                                   : list_of(kResumeChecks));
    return Value(std::move(d));
}

Attribution attribute(State state, Value& result, std::string_view platform, std::size_t max_int_digits) {
    if (result.is_null()) return Attribution::NotConfirmed;
    Attribution attribution = Attribution::NotConfirmed;
    Value* url = result.find("result_url");
    if (state == State::Success) {
        if (url->is_null() || url->as_str().empty())
            attribution = Attribution::MissingLink;
        else
            attribution = valid_link(platform, url->as_str(), max_int_digits) ? Attribution::RecordedLink
                                                                               : Attribution::InvalidLink;
    }
    if (attribution != Attribution::RecordedLink) *url = Value(nullptr);
    return attribution;
}

Value evidence(State state, Attribution attribution) {
    Map e;
    e.reserve(5);
    e.emplace_back("source", Value(lit("local_history")));
    e.emplace_back("submission", Value(lit(kSubmission[static_cast<std::size_t>(state)])));
    e.emplace_back("attribution", Value(lit(name_of(attribution))));
    e.emplace_back("public_access", Value(lit("not_checked")));
    e.emplace_back("checks", list_of(kEvidenceChecks));
    return Value(std::move(e));
}

}  // namespace runlens
