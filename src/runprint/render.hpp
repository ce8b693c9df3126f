// The history records of the reader printed as the Chinese text listing.
#pragma once

#include <array>
#include <exception>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>

#include "runlens/names.hpp"
#include "value/value.hpp"

namespace runprint {

// A strict look-up found nothing: a record key, or a value without a row in its label table.
// key is what was looked up, as given.
class MissingKey : public std::exception {
public:
    explicit MissingKey(kamo::Value key) : key(std::move(key)) {}
    const char* what() const noexcept override { return "missing key"; }
    kamo::Value key;
};

// A record part of the wrong kind where the layout must look inside it (a map or a list).
class WrongShape : public std::exception {
public:
    explicit WrongShape(std::string message) : message(std::move(message)) {}
    const char* what() const noexcept override { return message.c_str(); }
    std::string message;
};

struct Label {
    std::string_view key;
    std::string_view label;
};

// The labels of the reader's names (runlens/names.hpp): its keys are the ones the records carry.
inline constexpr std::array<Label, 4> kStateNames{{
    {runlens::name_of(runlens::State::Pending), "未开始"},
    {runlens::name_of(runlens::State::Running), "进行中或提交未确认"},
    {runlens::name_of(runlens::State::Success), "记录成功"},
    {runlens::name_of(runlens::State::Failed), "记录失败"},
}};

inline constexpr std::array<Label, 5> kIdentityNames{{
    {runlens::name_of(runlens::Identity::Bound), "原身份已绑定（当前账号未核验）"},
    {runlens::name_of(runlens::Identity::Unbound), "原身份未绑定"},
    {runlens::name_of(runlens::Identity::Legacy), "旧版记录无原身份"},
    {runlens::name_of(runlens::Identity::NotRecorded), "原身份未记录"},
    {runlens::name_of(runlens::Identity::Invalid), "原身份记录损坏"},
}};

inline constexpr std::array<Label, 4> kLinkNames{{
    {runlens::name_of(runlens::Attribution::RecordedLink), "原记录链接，本次未核验"},
    {runlens::name_of(runlens::Attribution::MissingLink), "原记录缺少链接"},
    {runlens::name_of(runlens::Attribution::InvalidLink), "原记录链接无效"},
    {runlens::name_of(runlens::Attribution::NotConfirmed), "作品归因未确认"},
}};
static_assert(kStateNames.size() == runlens::kStateKeys.size() && kIdentityNames.size() == runlens::kIdentityKeys.size() &&
              kLinkNames.size() == runlens::kAttributionKeys.size());

// Platform key to display name.
using PlatformNames = std::map<std::string, std::string, std::less<>>;

// Receives the output; each call is one write. A line's text and its line feed come as two
// calls, as print() writes them, so the title block is one call holding its two inner feeds.
using Sink = std::function<void(std::string_view)>;

enum class Layout { List, Detail };

// Writes history (a RunList for List, a RunProjection for Detail) to sink as it goes. Throws
// MissingKey or WrongShape when the record does not fit, after the lines formed so far; whatever
// sink throws passes through.
void print_history(const kamo::Value& history, Layout layout, const PlatformNames& names, const Sink& sink);

}  // namespace runprint
