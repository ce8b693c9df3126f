// What a resume would do with a platform entry, and what the local history attributes to it:
// the resume decisions, their check lists, the evidence record.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "runlens/names.hpp"
#include "value/value.hpp"

namespace runlens {

// The checks a resume makes before anything could be uploaded again.
inline constexpr std::array<std::string_view, 3> kResumeChecks{
    "恢复时重新核对原始素材内容指纹",
    "重新检查计划时间、许可证及运行环境",
    "上传前核验实际账号与原任务绑定的账号身份一致",
};
// What a person checks on the platform before trusting what the history says.
inline constexpr std::array<std::string_view, 4> kEvidenceChecks{
    "使用原账号进入平台作品后台；若发布进程仍在运行，先等待其结束",
    "按原完整标题、描述、标签、素材及计划时间核对对应作品",
    "分别确认提交状态、作品归因和公开页面访问或播放；记录链接本次未核验",
    "未知提交不要自动重发，不用后续任务的结果核销旧记录",
};

// The resume status: the first matching condition decides. retry is the entry's retry flag,
// which only a failed entry may carry.
Resume resume_status(State state, bool retry, Identity identity);
// The ResumeDecision record of a status.
kamo::Value decision_record(Resume status);

// The attribution of a stored result (null for pending and running entries); a link that is not
// a recorded work link is blanked in the result.
Attribution attribute(State state, kamo::Value& result, std::string_view platform, std::size_t max_int_digits);
// The PublishEvidence record.
kamo::Value evidence(State state, Attribution attribution);

// A fresh list of a constant table's texts, for one record.
template <std::size_t N>
kamo::Value list_of(const std::array<std::string_view, N>& table) {
    kamo::List l;
    l.reserve(N);
    for (auto s : table) l.emplace_back(kamo::lit(s));
    return kamo::Value(std::move(l));
}

}  // namespace runlens
