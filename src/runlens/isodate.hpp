// ISO 8601 date and date-time texts, accepted exactly where datetime.fromisoformat accepts, with
// the messages of the CPython release the modules run on.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace runlens {

// Where fromisoformat's releases part ways, as far as a text can show. The modules take the
// set of the interpreter they run on, so a stored time is judged as that Python would judge it.
struct IsoRules {
    // From 3.13, a week date of ISO year 0 is malformed text; 3.11 and 3.12 build the date and
    // fail on its month (after the offset's own check).
    bool week_year_zero_malformed = false;

    // The rules of CPython major.minor; releases after the last known change share its rules.
    static IsoRules for_python(int major, int minor);
};

// nullopt when accepted; otherwise the reason, worded like fromisoformat's ValueError.
std::optional<std::string> iso_datetime_error(std::string_view text, IsoRules rules);

}  // namespace runlens
