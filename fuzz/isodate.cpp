// The ISO 8601 rule of publish_time: accepted or a reason, never anything else, for any bytes.
#include <cstdint>
#include <string_view>

#include "common.hpp"
#include "runlens/isodate.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto old_rules = runlens::IsoRules::for_python(3, 11);
    const auto new_rules = runlens::IsoRules::for_python(3, 13);
    auto first = runlens::iso_datetime_error(text, old_rules);
    // A pure rule: the same answer twice, and a reason that is never empty.
    auto second = runlens::iso_datetime_error(text, old_rules);
    fuzz::check(first == second, "two answers for one text");
    fuzz::check(!first || !first->empty(), "refused without a reason");
    // The releases part ways only on week dates of year 0, which both refuse.
    auto later = runlens::iso_datetime_error(text, new_rules);
    bool week_year_zero = text.substr(0, 5) == "0000W" || text.substr(0, 6) == "0000-W";
    bool malformed = later && later->rfind("Invalid isoformat string: ", 0) == 0;
    fuzz::check(later == first || (week_year_zero && first && malformed),
                "the releases' rules differ outside week dates of year 0");
    return 0;
}
