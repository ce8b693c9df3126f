// The failure factories.
#include "runlens/failures.hpp"

#include <string>

namespace runlens {

runfault::HistoryError invalid(std::string_view message, runfault::Cause cause) {
    return {"RUN-003", std::string(message), std::string(kInvalidAction), std::move(cause)};
}

runfault::HistoryError io_error(runfault::Cause cause) {
    return {"RUN-005", std::string(kIoMessage), std::string(kIoAction), std::move(cause)};
}

}  // namespace runlens
