// Module-wide rules of the history reader: failure factories, identifier patterns, path test,
// strict decoding of stored JSON.
#pragma once

#include <string>
#include <string_view>

#include "runfault/history_error.hpp"
#include "runlens/cell.hpp"
#include "value/json.hpp"
#include "value/value.hpp"

namespace runlens {

inline constexpr std::string_view kDefaultInvalid = "发布记录不存在或已损坏";
inline constexpr std::string_view kInvalidAction = "检查 run_id 与原发布记录；先用原账号核对平台作品，不改写或自动重发";
inline constexpr std::string_view kIoMessage = "无法只读查询发布记录";
inline constexpr std::string_view kIoAction =
    "若有发布进程请等待其结束；检查数据目录权限和数据库日志，保留原文件，不删除或强制恢复日志";

// RUN-003: every data-validation failure.
runfault::HistoryError invalid(std::string_view message = kDefaultInvalid, runfault::Cause cause = {});
// RUN-005: every failure to open or read the store.
runfault::HistoryError io_error(runfault::Cause cause = {});

// Full matches of the fixed patterns.
bool match_uuid(std::string_view s);      // [0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}
bool match_sha(std::string_view s);       // [0-9a-f]{64}
bool match_identity(std::string_view s);  // sha256-v1:[0-9a-f]{64}

// Absolute under POSIX rules or, failing that, Windows rules; purely textual.
bool absolute_path(std::string_view s);
bool absolute_path(const kamo::Value& v);

// Strictly decoded JSON of a stored cell; any failure is RUN-003 with the default message.
kamo::Value json(const Cell& cell, const kamo::json::Limits& limits);

}  // namespace runlens
