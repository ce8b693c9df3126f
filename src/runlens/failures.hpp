// The reader's two failures: RUN-003 for bad data, RUN-005 for a store that cannot be read.
#pragma once

#include <string_view>

#include "runfault/history_error.hpp"

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

}  // namespace runlens
