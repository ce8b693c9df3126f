// The history records of the reader printed as the Chinese text listing.
#pragma once

#include <array>
#include <exception>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>

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

inline constexpr std::array<Label, 4> kStateNames{{
    {"pending", "未开始"},
    {"running", "进行中或提交未确认"},
    {"success", "记录成功"},
    {"failed", "记录失败"},
}};

inline constexpr std::array<Label, 5> kIdentityNames{{
    {"bound", "原身份已绑定（当前账号未核验）"},
    {"unbound", "原身份未绑定"},
    {"legacy", "旧版记录无原身份"},
    {"not_recorded", "原身份未记录"},
    {"invalid", "原身份记录损坏"},
}};

inline constexpr std::array<Label, 4> kLinkNames{{
    {"recorded_link", "原记录链接，本次未核验"},
    {"missing_link", "原记录缺少链接"},
    {"invalid_link", "原记录链接无效"},
    {"not_confirmed", "作品归因未确认"},
}};

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
