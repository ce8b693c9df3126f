// The ISO 8601 rule of publish_time: accepted or a reason, never anything else, for any bytes.
#include <cstdint>
#include <string_view>

#include "common.hpp"
#include "runlens/isodate.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    auto first = runlens::iso_datetime_error(text);
    // A pure rule: the same answer twice, and a reason that is never empty.
    auto second = runlens::iso_datetime_error(text);
    fuzz::check(first == second, "two answers for one text");
    fuzz::check(!first || !first->empty(), "refused without a reason");
    return 0;
}
